// The n-shortest-path request over a lattice. OpenFst's n-shortest path
// lives in its own translation unit: instantiating it is costly to compile.
#ifndef TAMSU_NBEST_SEARCH_H_
#define TAMSU_NBEST_SEARCH_H_

#include <cstdint>
#include <limits>

#include <fst/vector-fst.h>

#include "model/expected.h"
#include "nbest/decode_error.h"

namespace tamsu {

// The most paths one request can return: OpenFst takes an int32 count.
inline constexpr std::uint64_t kMaxShortestPaths =
    std::numeric_limits<std::int32_t>::max();

// Returns OpenFst's `nshortest` lowest-cost paths of `lattice` (delta 1e-6,
// not unique, no thresholds). For nshortest > 1 the result's start state
// has one arc per path, best first; each path is framed by two 0:0 arcs of
// weight 0 before the lattice arcs and one 0:0 arc carrying the lattice's
// final weight after them, and ends at the one final state. A lattice that
// accepts nothing gives a result without a start state. Requests above
// kMaxShortestPaths are clamped to it, never wrapped.
// Fails with kSearchFailed when OpenFst flags the result with kError (it
// then logs to std::cerr: callers capture that).
Expected<fst::StdVectorFst, DecodeError> find_shortest_paths(
    const fst::StdVectorFst &lattice, std::uint64_t nshortest);

// The number of successful paths of `lattice` (trimmed by Connect),
// saturating at the largest uint64; a lattice with a cycle has that many.
// A request for more paths than this returns the same result as a request
// for exactly this many: OpenFst's search then never prunes and stops when
// its heap runs dry.
std::uint64_t count_paths(const fst::StdVectorFst &lattice);

}  // namespace tamsu

#endif  // TAMSU_NBEST_SEARCH_H_
