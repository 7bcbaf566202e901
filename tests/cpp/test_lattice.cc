// Tests for composing a word acceptor with the model, and for the
// n-shortest request over the lattice.
#include "nbest/lattice.h"

#include <cstdint>
#include <limits>

#include <gtest/gtest.h>

#include "decode_test_util.h"
#include "fsa/fsa.h"
#include "nbest/search.h"

namespace tamsu {
namespace {

// Every path of an acyclic FST as (ilabels, olabels, weight with the final
// weight), sorted.
using LatticePath = std::tuple<LabelList, LabelList, float>;

void enumerate(const fst::StdVectorFst &fst, int s, LatticePath prefix,
               std::vector<LatticePath> &out) {
  if (fst.Final(s) != fst::TropicalWeight::Zero()) {
    out.push_back(prefix);
    std::get<2>(out.back()) += fst.Final(s).Value();
  }
  for (fst::ArcIterator<fst::StdVectorFst> it(fst, s); !it.Done(); it.Next()) {
    LatticePath next = prefix;
    std::get<0>(next).push_back(it.Value().ilabel);
    std::get<1>(next).push_back(it.Value().olabel);
    std::get<2>(next) += it.Value().weight.Value();
    enumerate(fst, it.Value().nextstate, next, out);
  }
}

TEST(BuildLattice, HoldsEveryPronunciationOnceAndLeavesTheModel) {
  configure_openfst();
  // Input a 3, b 4, c 5, h 6, c|h 7; output A 3, B 4, K 5, H 6, E 7; an
  // input-epsilon detour before b.
  const auto model = test::make_model(
      {"<eps>", "|", "_", "a", "b", "c", "h", "c|h"},
      {"<eps>", "|", "_", "A", "B", "K", "H", "E"}, 3,
      {{0, "a", "A", 1.0f, 0}, {0, "a", "B", 2.0f, 0}, {0, "c", "K", 1.0f, 0},
       {0, "h", "H", 1.0f, 0}, {0, "c|h", "K", 0.5f, 0},
       {0, "<eps>", "E", 0.25f, 1}, {1, "b", "B", 1.0f, 2},
       {0, "b", "B", 3.0f, 2}, {2, "<eps>", "E", 0.5f, 0}},
      {{0, 0.5f}});
  const auto before = test::arc_rows(model->fst);
  const auto lattice_of = [&](const LabelList &labels) {
    const auto clusters = model->input_clusters;
    auto acceptor = build_fsa(labels, clusters.parts_to_label, clusters.max_parts);
    auto lattice = build_lattice(std::move(acceptor), model->fst);
    EXPECT_TRUE(lattice.has_value());
    std::vector<LatticePath> paths;
    if (lattice->Start() != fst::kNoStateId) {
      enumerate(*lattice, lattice->Start(), {}, paths);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
  };
  EXPECT_EQ(lattice_of({5, 6, 3}),
            (std::vector<LatticePath>{{{5, 6, 3}, {5, 6, 3}, 3.5f},
                                      {{5, 6, 3}, {5, 6, 4}, 4.5f},
                                      {{7, 3}, {5, 3}, 2.0f},
                                      {{7, 3}, {5, 4}, 3.0f}}));
  EXPECT_EQ(lattice_of({4}), (std::vector<LatticePath>{
                                 {{0, 4, 0}, {7, 4, 7}, 2.25f},
                                 {{4, 0}, {4, 7}, 4.0f}}));
  EXPECT_TRUE(lattice_of({6, 6, 2}).empty());
  EXPECT_EQ(test::arc_rows(model->fst), before);
}

TEST(BuildLattice, UnsortedOperandsAreAnError) {
  configure_openfst();
  auto model = test::make_model({"<eps>", "|", "_", "c", "h"},
                                {"<eps>", "|", "_", "K"}, 1,
                                {{0, "c", "K", 1.0f, 0}}, {{0, 0.0f}});
  model->fst.SetProperties(fst::kNotILabelSorted,
                           fst::kILabelSorted | fst::kNotILabelSorted);
  // The cluster arc (label 1) follows a larger label: no side is sorted.
  test::Fd2Capture quiet;  // OpenFst's own complaint
  const auto lattice =
      build_lattice(build_fsa({3, 4}, {{{3, 4}, 1}}, 2), model->fst);
  ASSERT_FALSE(lattice.has_value());
  EXPECT_EQ(lattice.error().kind, DecodeError::Kind::kCompositionFailed);
}

// A lattice 0 -> 1 with one arc 3:(i + 3) per weight, state 1 final.
fst::StdVectorFst parallel_lattice(const std::vector<float> &weights,
                                   float final_weight) {
  fst::StdVectorFst lattice;
  lattice.AddState();
  lattice.AddState();
  lattice.SetStart(0);
  for (std::size_t i = 0; i < weights.size(); ++i) {
    lattice.AddArc(0, fst::StdArc(3, static_cast<int>(i) + 3, weights[i], 1));
  }
  lattice.SetFinal(1, final_weight);
  return lattice;
}

TEST(FindShortestPaths, LargeRequestsAreClampedNotWrapped) {
  configure_openfst();
  std::vector<float> weights;
  for (int i = 0; i < 20; ++i) weights.push_back(static_cast<float>(i));
  const auto lattice = parallel_lattice(weights, 0.0f);
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
      parallel_lattice({std::numeric_limits<float>::infinity()}, 0.0f), 16);
  ASSERT_TRUE(none.has_value());
  EXPECT_EQ(none->Start(), fst::kNoStateId);
  auto broken = parallel_lattice({1.0f}, 0.0f);
  broken.SetProperties(fst::kError, fst::kError);
  const auto result = find_shortest_paths(broken, 16);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, DecodeError::Kind::kSearchFailed);
}

}  // namespace
}  // namespace tamsu
