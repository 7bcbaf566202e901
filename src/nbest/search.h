// The n-shortest-path request over a lattice, and what both routes share
// about it: the request sizes of the search attempts, OpenFst's comparison
// tolerance and the bound on one search's work. OpenFst's n-shortest path
// lives in its own translation unit: instantiating it is costly to compile.
#ifndef TAMSU_NBEST_SEARCH_H_
#define TAMSU_NBEST_SEARCH_H_

#include <algorithm>
#include <cstdint>
#include <limits>

#include <fst/vector-fst.h>

#include "base/expected.h"
#include "base/saturating.h"
#include "nbest/decode_error.h"
#include "nbest/path_data.h"

namespace tamsu {

// The most paths one request can return: OpenFst takes an int32 count.
inline constexpr std::uint64_t kMaxShortestPaths =
    std::numeric_limits<std::int32_t>::max();

// The tolerance OpenFst's shortest distance and n-shortest search are given
// for their convergence and their comparison of path weights.
inline constexpr float kShortestPathDelta = 1e-6f;

// The request sizes of the search attempts for `nbest` distinct paths. The
// first asks for max(8 nbest, 16) paths, more than nbest since paths are
// made distinct by their phonemes only afterwards; each next one doubles,
// up to max(256 nbest, 1024). Products saturate instead of wrapping.
class RequestSchedule {
 public:
  explicit RequestSchedule(std::uint64_t nbest)
      : size_(std::max<std::uint64_t>(saturating_multiply(8, nbest), 16)),
        cap_(std::max<std::uint64_t>(saturating_multiply(256, nbest), 1024)) {}

  std::uint64_t size() const { return size_; }
  // Whether an attempt that completed `found` paths ran the lattice out of
  // paths: OpenFst's search then pruned nothing, and any larger request
  // would repeat this one step for step and give the same result.
  bool exhausted(std::uint64_t found) const {
    return found < std::min(size_, kMaxShortestPaths);
  }
  // Whether no larger request can follow one that completed `found` paths.
  bool last(std::uint64_t found) const {
    return size_ >= cap_ || size_ >= kMaxShortestPaths || exhausted(found);
  }
  void grow() { size_ = std::min(cap_, saturating_multiply(2, size_)); }

 private:
  std::uint64_t size_;
  std::uint64_t cap_;
};

// The most partial paths (states of OpenFst's n-shortest result before
// Connect) a search for `request` paths may create over the lattice of a
// word of `positions` acceptor states. At least 3, at most an int32.
std::uint64_t max_search_pairs(const WorkLimits &limits,
                               std::uint64_t positions, std::uint64_t request);

// What one n-shortest request gave.
struct ShortestPaths {
  fst::StdVectorFst fst;
  // The partial paths the search created. Once `max_pairs` of them exist
  // the search stops extending paths (limit_reached): `fst` then holds the
  // paths completed before, in the same order.
  std::uint64_t pairs = 0;
  bool limit_reached = false;
};

// Returns OpenFst's `nshortest` lowest-cost paths of `lattice` (delta
// kShortestPathDelta, not unique, no weight threshold). For nshortest > 1
// the result's start state has one arc per path, best first; each path is
// framed by two 0:0 arcs of weight 0 before the lattice arcs and one 0:0
// arc carrying the lattice's final weight after them, and ends at the one
// final state. A lattice that accepts nothing gives a result without a
// start state. Requests above kMaxShortestPaths are clamped to it, never
// wrapped; `max_pairs` is OpenFst's state threshold (clamped to an int32).
// Fails with kSearchFailed when OpenFst flags the result with kError (it
// then logs to std::cerr: callers capture that).
Expected<ShortestPaths, DecodeError> find_shortest_paths(
    const fst::StdVectorFst &lattice, std::uint64_t nshortest,
    std::uint64_t max_pairs = kMaxShortestPaths);

// The number of successful paths of `lattice` (trimmed by Connect),
// saturating at the largest uint64; a lattice with a cycle has that many.
// A request for more paths than this returns the same result as a request
// for exactly this many: OpenFst's search then never prunes and stops when
// its heap runs dry.
std::uint64_t count_paths(const fst::StdVectorFst &lattice);

}  // namespace tamsu

#endif  // TAMSU_NBEST_SEARCH_H_
