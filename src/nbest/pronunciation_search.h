// The best distinct pronunciations of a word's lattice, searched for as
// pronunciations rather than as paths: the list a rescorer scores, at a
// fraction of the cost of walking the many alignments of each one.
#ifndef TAMSU_NBEST_PRONUNCIATION_SEARCH_H_
#define TAMSU_NBEST_PRONUNCIATION_SEARCH_H_

#include <cstdint>
#include <functional>

#include "model/model.h"
#include "nbest/lattice_search.h"

namespace tamsu {

// Returns the `nbest` distinct pronunciations (phoneme sequences, clusters
// expanded as expand_output_label does) of `lattice` (from
// build_word_lattice) with the lowest Viterbi weights, best first, each as
// the record extend_path makes of its best path. That is the collection
// search_word_lattice gives without accumulate (pronunciations of equal
// weight may come in another order, and a tie for a pronunciation's best
// path may pick another alignment), except where that search ends at its
// request cap (RequestSchedule) short of `nbest`: this one goes on and
// lists the pronunciations the cap left out. `exhausted` is set when the lattice
// holds fewer; `pairs` counts the search's records. Fails with
// kInterrupted when `interrupted` (may be empty) returns true. Once the
// search holds max_search_pairs(limits, positions, 8 nbest) records, it
// ends with the pronunciations completed so far, or fails with kWorkLimit
// when there are none. `lattice` must have states.
Expected<DistinctPaths, LatticeRefusal> search_pronunciations(
    const WordLattice &lattice, const Model &model, std::uint64_t nbest,
    const std::function<bool()> &interrupted, const WorkLimits &limits,
    std::uint64_t positions);

}  // namespace tamsu

#endif  // TAMSU_NBEST_PRONUNCIATION_SEARCH_H_
