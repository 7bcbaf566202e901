// Whether a model's lattices may be searched by the specialised lattice
// search instead of OpenFst's composition and n-shortest search, decided
// once when the model is loaded, and the model laid out for that search.
#ifndef TAMSU_MODEL_SEARCH_PLAN_H_
#define TAMSU_MODEL_SEARCH_PLAN_H_

#include <cstdint>
#include <vector>

#include <fst/vector-fst.h>

namespace tamsu {

struct SearchPlan {
  // Why a model must take the OpenFst route; kNone when it need not.
  enum class Refusal {
    kNone,
    kNotPlanned,      // no plan was made (a model built by hand)
    kNoStartState,    // nothing to search from
    kNotInputSorted,  // arcs not recorded as sorted by input label
    kNegativeLabel,   // a label OpenFst's matchers would read as "no label"
    kUnusableWeight,  // a NaN or infinite arc weight, or a NaN or -inf final
    kEpsilonCycle,    // input-epsilon arcs form a cycle: lattices may loop
    kTooLarge,        // more arcs than the flat layout's 32-bit offsets hold
  };
  // One state of the flat layout: 16 bytes, so that a state's record is
  // one read and its arcs, contiguous, the next.
  struct State {
    std::uint32_t arc_begin;  // its arcs: arcs[arc_begin, arc_begin + num_arcs)
    std::uint32_t num_arcs;
    float final_weight;       // +inf when not final
    // Its place in a topological order of the graph made of the
    // input-epsilon arcs: an epsilon arc from q to r has rank q < rank r.
    std::uint32_t epsilon_rank;
  };

  Refusal refusal = Refusal::kNotPlanned;
  // The FST's states and arcs (in stored order), copied once. Empty unless
  // refusal is kNone.
  std::vector<State> states;
  std::vector<fst::StdArc> arcs;
  // When the model has one state that every state reaches over
  // input-epsilon arcs (a backoff model's root) and it is final, the input
  // labels that state reads, by label; otherwise empty. A lattice whose
  // every position offers one of these labels keeps all its states: from
  // any of them the root, and from the root the next position, is reached.
  std::vector<bool> root_reads;

  bool usable() const { return refusal == Refusal::kNone; }
};

// Inspects `fst`, whose arcs are sorted by input label (epsilons first),
// once: O(states + arcs).
SearchPlan plan_search(const fst::StdVectorFst &fst);

// A short description of a refusal, for diagnostics ("epsilon cycle").
const char *describe(SearchPlan::Refusal refusal);

}  // namespace tamsu

#endif  // TAMSU_MODEL_SEARCH_PLAN_H_
