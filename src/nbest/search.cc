#include "nbest/search.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

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

std::uint64_t count_paths(const fst::StdVectorFst &lattice) {
  using StateId = fst::StdArc::StateId;
  constexpr std::uint64_t kMany = std::numeric_limits<std::uint64_t>::max();
  const StateId num_states = lattice.NumStates();
  const StateId start = lattice.Start();
  if (start == fst::kNoStateId || start >= num_states) return 0;
  // Depth-first, without recursion: a state's count is its own final
  // path plus its successors' counts, known once all of them are done.
  enum : char { kUnseen, kOpen, kDone };
  std::vector<char> mark(static_cast<std::size_t>(num_states), kUnseen);
  std::vector<std::uint64_t> count(static_cast<std::size_t>(num_states), 0);
  std::vector<std::pair<StateId, std::size_t>> stack{{start, 0}};
  mark[static_cast<std::size_t>(start)] = kOpen;
  while (!stack.empty()) {
    auto &[s, position] = stack.back();
    fst::ArcIterator<fst::StdVectorFst> arcs(lattice, s);
    arcs.Seek(position);
    if (!arcs.Done()) {
      ++position;
      const StateId t = arcs.Value().nextstate;
      if (t < 0 || t >= num_states) return kMany;
      if (mark[static_cast<std::size_t>(t)] == kOpen) return kMany;  // cycle
      if (mark[static_cast<std::size_t>(t)] == kUnseen) {
        mark[static_cast<std::size_t>(t)] = kOpen;
        stack.emplace_back(t, 0);
      }
      continue;
    }
    std::uint64_t total =
        lattice.Final(s) != fst::StdArc::Weight::Zero() ? 1 : 0;
    for (arcs.Reset(); !arcs.Done(); arcs.Next()) {
      const std::uint64_t more =
          count[static_cast<std::size_t>(arcs.Value().nextstate)];
      total = __builtin_add_overflow(total, more, &total) ? kMany : total;
    }
    count[static_cast<std::size_t>(s)] = total;
    mark[static_cast<std::size_t>(s)] = kDone;
    stack.pop_back();
  }
  return count[static_cast<std::size_t>(start)];
}

}  // namespace tamsu
