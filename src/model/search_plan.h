// Whether a model's lattices may be searched by the specialised lattice
// search instead of OpenFst's composition and n-shortest search, decided
// once when the model is loaded, and the model laid out for that search.
#ifndef TAMSU_MODEL_SEARCH_PLAN_H_
#define TAMSU_MODEL_SEARCH_PLAN_H_

#include <cstdint>
#include <vector>

#include <fst/vector-fst.h>

#include "model/huge_pages.h"

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
    kTooLarge,        // more states and arcs than 32-bit cell numbers reach
  };
  // The flat layout is one array of 16-byte cells: each state's header
  // followed by its arcs, in stored order, so that the state's first
  // fetch from memory brings its first arcs along. Arcs name the cell of
  // their next state's header.
  struct Header {
    std::uint32_t num_arcs;  // the arcs are the next num_arcs cells
    // Its place in a topological order of the graph made of the
    // input-epsilon arcs: an epsilon arc from q to r has rank q < rank r.
    std::uint32_t epsilon_rank;
    float final_weight;  // +inf when not final
    std::int32_t state;  // the FST's state id
  };
  struct Arc {
    std::int32_t ilabel;
    std::int32_t olabel;
    float weight;
    std::uint32_t next;  // the next state's header cell
  };
  union Cell {
    Header header;
    Arc arc;
  };

  Refusal refusal = Refusal::kNotPlanned;
  // The FST's states and arcs, copied once. Empty unless refusal is kNone.
  std::vector<Cell, HugePageAllocator<Cell>> cells;
  std::uint32_t start_cell = 0;  // the start state's header
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
