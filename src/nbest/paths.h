// Walks the paths of an n-shortest result into distinct pronunciations
// (distinct phoneme sequences), and selects the records a call returns.
#ifndef TAMSU_NBEST_PATHS_H_
#define TAMSU_NBEST_PATHS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include <fst/vector-fst.h>

#include "base/expected.h"
#include "base/labels.h"
#include "model/model.h"
#include "nbest/decode_error.h"
#include "nbest/path_data.h"

namespace tamsu {

// Paths with distinct `uniques`, in the order their sequence was first
// seen. Results never depend on the map's iteration order.
struct UniquePaths {
  std::vector<PathData> paths;  // one record per distinct sequence
  // A path's `uniques` -> its record's position in `paths`.
  std::unordered_map<LabelList, std::size_t, LabelListHash> position;
};

// The log-semiring sum -log(e^-a + e^-b) in single precision. An infinite
// operand (either sign) is neutral: the result is the other operand.
float log_add(float a, float b);

// Appends `arc` to `path`: its labels, its weight, its phoneme labels
// (expand_output_label) to `uniques`, and its weight to `path_weight`.
// An arc 0:0 whose weight lies within 2^-10 of 0 is skipped entirely.
void extend_path(PathData &path, const fst::StdArc &arc, const Model &model);

// As extend_path, but only `uniques` and `path_weight`: enough to tell a
// path that repeats a pronunciation already held.
void extend_phonemes(PathData &path, const fst::StdArc &arc,
                     const Model &model);

// Files `path` under its `uniques`. A sequence already present keeps its
// first record; with `accumulate` that record's path_weight becomes the
// log_add of both weights.
void insert_path(UniquePaths &collection, PathData path, bool accumulate);

// Walks the paths of `result`, the output of find_shortest_paths with a
// start state: one per arc of the start state, best first, each following
// first arcs until a final state or a state without arcs. Stops taking
// paths once `nbest` distinct sequences are held. Fails with kMissingState
// (carrying the state) when a path leads to a state that does not exist,
// including a missing start state, and with kCyclicPath when a path takes
// more steps than there are states: it loops, which an n-shortest result
// never does.
Expected<UniquePaths, DecodeError> collect_paths(
    const fst::StdVectorFst &result, const Model &model, std::uint64_t nbest,
    bool accumulate);

// Consumes `collection` and returns its records in order, filtered:
// with a pmass, each path_weight becomes its share -log(p) of the
// collection's total and selection stops once the visited share's -log
// falls below pmass (records above the threshold still count towards it);
// with a threshold, records whose path_weight exceeds it are left out;
// selection stops once `beam` records are held (the test follows each
// append, so beam 0 keeps at most one). Cannot fail.
std::vector<PathData> select_paths(UniquePaths collection, std::uint64_t beam,
                                   std::optional<float> threshold,
                                   std::optional<double> pmass);

}  // namespace tamsu

#endif  // TAMSU_NBEST_PATHS_H_
