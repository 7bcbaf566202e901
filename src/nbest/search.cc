#include "nbest/search.h"

#include <algorithm>

#include <fst/shortest-path.h>

namespace tamsu {

Expected<fst::StdVectorFst, DecodeError> find_shortest_paths(
    const fst::StdVectorFst &lattice, std::uint64_t nshortest) {
  using Weight = fst::StdArc::Weight;
  // A wrapped count of 0 or less would silently return nothing.
  const auto request =
      static_cast<std::int32_t>(std::min(nshortest, kMaxShortestPaths));
  constexpr float kDelta = 1e-6f;

  fst::StdVectorFst result;
  fst::ShortestPath(lattice, &result, request, /*unique=*/false,
                    /*first_path=*/false, Weight::Zero(), fst::kNoStateId,
                    kDelta);
  if (result.Properties(fst::kError, false) != 0) {
    return make_unexpected(DecodeError{DecodeError::Kind::kSearchFailed});
  }
  return result;
}

}  // namespace tamsu
