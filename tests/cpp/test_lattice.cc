// Tests for the failures of composition and for the n-shortest request;
// the lattices themselves are compared with fstcompose's in
// tests/test_differential.py.
#include "nbest/lattice.h"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "decode_test_util.h"
#include "fsa/fsa.h"
#include "nbest/search.h"

namespace tamsu {
namespace {

TEST(BuildLattice, UnsortedOperandsAreAnError) {
  configure_openfst();
  auto model = test::make_model({"<eps>", "|", "_", "c", "h"},
                                {"<eps>", "|", "_", "K"}, 1,
                                {{0, "c", "K", 1.0f, 0}}, {{0, 0.0f}});
  model->fst.SetProperties(fst::kNotILabelSorted,
                           fst::kILabelSorted | fst::kNotILabelSorted);
  // The cluster arc (label 1) follows a larger label: no side is sorted.
  test::Fd2Capture quiet;  // OpenFst's own complaint
  const auto lattice = build_lattice(build_fsa({3, 4}, {{{3, 4}, 1}}, 2), model->fst);
  ASSERT_FALSE(lattice.has_value());
  EXPECT_EQ(lattice.error().kind, DecodeError::Kind::kCompositionFailed);
}

// A lattice 0 -> 1 with one arc 3:(i + 3) per weight, state 1 final.
fst::StdVectorFst parallel_lattice(const std::vector<float> &weights) {
  fst::StdVectorFst lattice;
  lattice.SetStart(lattice.AddState());
  lattice.SetFinal(lattice.AddState(), 0.0f);
  for (std::size_t i = 0; i < weights.size(); ++i) {
    lattice.AddArc(0, fst::StdArc(3, static_cast<int>(i) + 3, weights[i], 1));
  }
  return lattice;
}

TEST(FindShortestPaths, LargeRequestsAreClampedNotWrapped) {
  configure_openfst();
  std::vector<float> weights;
  for (int i = 0; i < 20; ++i) weights.push_back(static_cast<float>(i));
  const auto lattice = parallel_lattice(weights);
  // 2^32 would wrap to 0 (nothing) and 2^32 + 1 to 1 (unframed).
  for (const std::uint64_t request :
       {std::uint64_t{1} << 32, (std::uint64_t{1} << 32) + 1,
        std::uint64_t{1} << 31, std::numeric_limits<std::uint64_t>::max()}) {
    const auto result = find_shortest_paths(lattice, request);
    ASSERT_TRUE(result.has_value()) << request;
    EXPECT_EQ(result->NumArcs(result->Start()), 20u) << request;
  }
}

TEST(FindShortestPaths, NoFinitePathGivesNoStartAndErrorsAreErrors) {
  configure_openfst();
  const auto none = find_shortest_paths(
      parallel_lattice({std::numeric_limits<float>::infinity()}), 16);
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->Start(), fst::kNoStateId);
  auto broken = parallel_lattice({1.0f});
  broken.SetProperties(fst::kError, fst::kError);
  const auto result = find_shortest_paths(broken, 16);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, DecodeError::Kind::kSearchFailed);
}

}  // namespace
}  // namespace tamsu
