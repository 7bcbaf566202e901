// The search made for a word acceptor composed with a backoff model. It
// walks (position, model state) pairs directly, numbering them as OpenFst's
// composition and Connect number the lattice's states, and replays OpenFst's
// n-shortest search (its heap, comparisons and pruning) over that graph
// without building any FST. It therefore yields the same paths, weights and
// order, ties included, as the OpenFst route, at a fraction of its cost.
// The few words it does not replay (see LatticeRefusal) are handed back
// to the OpenFst route.
#ifndef TAMSU_NBEST_LATTICE_SEARCH_H_
#define TAMSU_NBEST_LATTICE_SEARCH_H_

#include <cstdint>
#include <functional>
#include <vector>

#include <fst/vector-fst.h>

#include "model/model.h"
#include "nbest/paths.h"

namespace tamsu {

// A word's lattice as plain arrays: the states OpenFst's composition would
// create, trimmed and renumbered as Connect would, with their arcs in the
// same order. State 0 is the start; no states means no successful path.
struct WordLattice {
  struct Arc {
    std::int32_t ilabel;
    std::int32_t olabel;
    float weight;
    std::int32_t next;
  };
  std::vector<std::uint32_t> arc_begin;  // state s: arcs[arc_begin[s]..[s+1])
  std::vector<Arc> arcs;
  std::vector<float> final_weight;       // +inf for a state that is not final
  // OpenFst's shortest distance from the start (delta 1e-6), per state.
  std::vector<float> distance;

  std::int32_t num_states() const {
    return static_cast<std::int32_t>(final_weight.size());
  }
};

// The states of `lattice` in the postorder of a depth-first search from the
// start, arcs taken in stored order (every state is reachable from it): for
// an acyclic lattice, each state after all of its successors.
std::vector<std::int32_t> depth_first_postorder(const WordLattice &lattice);

// Why a word cannot take the lattice search.
enum class LatticeRefusal {
  kAcceptorEpsilon,   // an acceptor arc with label 0 (an "<eps>" word piece)
  kDistanceOverflow,  // a shortest distance overflowed to infinity
  kInterrupted,       // `interrupted` returned true
  kWorkLimit,         // the lattice or the search outgrew its WorkLimits
};

// Builds the lattice of `acceptor` (from build_fsa) and `model`, whose
// search_plan must be usable, with OpenFst's shortest distances.
// `interrupted` (may be empty) is polled now and then. Counts the states
// and arcs of the composition in `expanded` (may be null) as build_lattice
// does, and fails with kWorkLimit at the same state as it once they exceed
// `max_size`.
Expected<WordLattice, LatticeRefusal> build_word_lattice(
    const Model &model, const fst::StdVectorFst &acceptor,
    const std::function<bool()> &interrupted,
    std::uint64_t max_size = UINT64_MAX, std::uint64_t *expanded = nullptr);

// What the search attempts over a lattice gave: the distinct paths,
// whether the lattice ran out of paths before the attempts stopped, and
// the most partial paths one attempt held.
struct DistinctPaths {
  UniquePaths collection;
  bool exhausted = false;
  std::uint64_t pairs = 0;
};

// The pipeline's search attempts (RequestSchedule's requests, each
// collected with collect_paths until `nbest` distinct paths are held)
// replayed over `lattice`, with the same result. Fails with kInterrupted
// when `interrupted` returns true. Where OpenFst's search, bounded by
// max_search_pairs(limits, positions, request), would stop before `nbest`
// distinct paths were completed, gives the paths completed until then, and
// fails with kWorkLimit when there are none. `lattice` must have
// states.
Expected<DistinctPaths, LatticeRefusal> search_word_lattice(
    const WordLattice &lattice, const Model &model, std::uint64_t nbest,
    bool accumulate, const std::function<bool()> &interrupted,
    const WorkLimits &limits, std::uint64_t positions);

}  // namespace tamsu

#endif  // TAMSU_NBEST_LATTICE_SEARCH_H_
