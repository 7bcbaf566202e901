#include "nbest/search.h"

#include <algorithm>
#include <limits>
#include <utility>
#include <vector>

#include <fst/shortest-path.h>

namespace tamsu {
namespace {

// A result FST that counts the states OpenFst's search adds to it: each is
// one partial path, and the count tells whether the state threshold
// stopped the search (once reached, every later pop is skipped).
class CountingFst : public fst::StdVectorFst {
 public:
  StateId AddState() override {
    ++added_;
    return fst::StdVectorFst::AddState();
  }
  std::uint64_t added() const { return added_; }

 private:
  std::uint64_t added_ = 0;
};

}  // namespace

std::uint64_t max_search_pairs(const WorkLimits &limits,
                               std::uint64_t positions, std::uint64_t request) {
  const std::uint64_t scaled = saturating_multiply(
      saturating_multiply(limits.search_pairs_per_position_and_path, positions),
      request);
  return std::clamp<std::uint64_t>(std::min(scaled, limits.search_pairs_max), 3,
                                   std::numeric_limits<std::int32_t>::max());
}

Expected<ShortestPaths, DecodeError> find_shortest_paths(
    const fst::StdVectorFst &lattice, std::uint64_t nshortest,
    std::uint64_t max_pairs) {
  using Weight = fst::StdArc::Weight;
  constexpr std::uint64_t kMaxStates = std::numeric_limits<std::int32_t>::max();
  // A wrapped count of 0 or less would silently return nothing.
  const auto request =
      static_cast<std::int32_t>(std::min(nshortest, kMaxShortestPaths));
  const auto threshold =
      static_cast<fst::StdArc::StateId>(std::min(max_pairs, kMaxStates));

  CountingFst result;
  fst::ShortestPath(lattice, &result, request, /*unique=*/false,
                    /*first_path=*/false, Weight::Zero(), threshold,
                    kShortestPathDelta);
  if (result.Properties(fst::kError, false) != 0) {
    return make_unexpected(DecodeError{DecodeError::Kind::kSearchFailed});
  }
  ShortestPaths found;
  found.pairs = result.added();
  found.limit_reached = found.pairs >= static_cast<std::uint64_t>(threshold);
  found.fst = std::move(result);
  return found;
}

std::uint64_t count_paths(const fst::StdVectorFst &lattice) {
  using StateId = fst::StdArc::StateId;
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
      if (t < 0 || t >= num_states) return kSaturated;
      if (mark[static_cast<std::size_t>(t)] == kOpen) return kSaturated;  // cycle
      if (mark[static_cast<std::size_t>(t)] == kUnseen) {
        mark[static_cast<std::size_t>(t)] = kOpen;
        stack.emplace_back(t, 0);
      }
      continue;
    }
    std::uint64_t total =
        lattice.Final(s) != fst::StdArc::Weight::Zero() ? 1 : 0;
    for (arcs.Reset(); !arcs.Done(); arcs.Next()) {
      total = saturating_add(
          total, count[static_cast<std::size_t>(arcs.Value().nextstate)]);
    }
    count[static_cast<std::size_t>(s)] = total;
    mark[static_cast<std::size_t>(s)] = kDone;
    stack.pop_back();
  }
  return count[static_cast<std::size_t>(start)];
}

}  // namespace tamsu
