// Whether a model's lattices may be searched by the specialised lattice
// search instead of OpenFst's composition and n-shortest search, decided
// once when the model is loaded.
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
  };
  Refusal refusal = Refusal::kNotPlanned;
  // For each state, its place in a topological order of the graph made of
  // the input-epsilon arcs: an epsilon arc from q to r has
  // epsilon_rank[q] < epsilon_rank[r]. Empty unless refusal is kNone.
  std::vector<std::uint32_t> epsilon_rank;

  bool usable() const { return refusal == Refusal::kNone; }
};

// Inspects `fst`, whose arcs are sorted by input label (epsilons first),
// once: O(states + arcs).
SearchPlan plan_search(const fst::StdVectorFst &fst);

// A short description of a refusal, for diagnostics ("epsilon cycle").
const char *describe(SearchPlan::Refusal refusal);

}  // namespace tamsu

#endif  // TAMSU_MODEL_SEARCH_PLAN_H_
