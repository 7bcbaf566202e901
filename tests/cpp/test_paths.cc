// Tests for walking n-shortest results into distinct paths and selecting
// the records a call returns.
#include "nbest/paths.h"

#include <cmath>
#include <limits>
#include <tuple>

#include <gtest/gtest.h>

#include "decode_test_util.h"
#include "nbest/phonemes.h"

namespace tamsu {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// Output labels: 3 A, 4 B, 5..7 plain phonemes, 8 the cluster of 5 and 7,
// 9 a cluster of A and the skip symbol "_" (label 2).
const auto model = test::make_model(
    {"<eps>", "|", "_", "a"},
    {"<eps>", "|", "_", "A", "B", "P5", "P6", "P7", "P5|P7", "A|_"}, 1, {}, {{0, 0.0f}});

using Step = std::tuple<int, int, float>;  // ilabel, olabel, weight

// A result shaped like an n-shortest one: one start arc per path, each
// path framed by two 0:0 arcs of weight 0 and closed by a 0:0 arc carrying
// `final_weight`, its last state final.
fst::StdVectorFst make_result(const std::vector<std::vector<Step>> &paths,
                              float final_weight = 0.0f) {
  fst::StdVectorFst result;
  result.SetStart(result.AddState());
  for (const auto &inner : paths) {
    std::vector<Step> steps = {{0, 0, 0.0f}, {0, 0, 0.0f}};
    steps.insert(steps.end(), inner.begin(), inner.end());
    steps.push_back({0, 0, final_weight});
    int from = 0;
    for (const auto &[i, o, w] : steps) {
      result.AddArc(from, fst::StdArc(i, o, w, result.AddState()));
      from = result.NumStates() - 1;
    }
    result.SetFinal(from, 0.0f);
  }
  return result;
}

TEST(Phonemes, ClustersSplitVetoedAndUnknownLabelsDropped) {
  LabelList uniques;
  for (Label olabel : {0u, 1u, 2u, 3u, 8u, 9u, 42u}) expand_output_label(*model, olabel, uniques);
  EXPECT_EQ(uniques, (LabelList{3, 5, 7, 3}));
  EXPECT_EQ(render_phonemes(*model, {5, 7, 3, 9, 10}),
            (std::vector<std::string>{"P5", "P7", "A", "A|_"}));
}

// Only 0:0 arcs within 2^-10 of zero (both ends included) are framing.
TEST(CollectPaths, SkipsOnlyFramingArcs) {
  const auto result = make_result(
      {{{0, 8, 0.0f}, {0, 0, 0.0009765625f}, {3, 0, 0.0f},
        {0, 0, -0.0009765625f}, {0, 0, 0.001f}, {0, 0, -0.001f}, {3, 9, 0.5f}}},
      1.5f);
  const PathData path = collect_paths(result, *model, 1, false)->paths.at(0);
  EXPECT_EQ(path.ilabels, (LabelList{0, 3, 0, 0, 3, 0}));
  EXPECT_EQ(path.olabels, (LabelList{8, 0, 0, 0, 9, 0}));
  EXPECT_EQ(path.path_weights, (std::vector<float>{0.0f, 0.0f, 0.001f, -0.001f, 0.5f, 1.5f}));
  EXPECT_FLOAT_EQ(path.path_weight, 2.0f);
  EXPECT_EQ(path.uniques, (LabelList{5, 7, 3}));
}

// Uniques [5, 7] twice (the second spelled by other labels), then [6].
fst::StdVectorFst duplicates() {
  return make_result({{{3, 8, 1.0f}}, {{3, 5, 1.0f}, {3, 7, 1.0f}}, {{3, 6, 3.0f}}});
}

TEST(CollectPaths, EqualPhonemesFileOnceUnderTheFirstPath) {
  for (const bool accumulate : {false, true}) {
    const auto collected = collect_paths(duplicates(), *model, 2, accumulate);
    ASSERT_EQ(collected->paths.size(), 2u);
    EXPECT_EQ(collected->paths[0].olabels, (LabelList{8}));
    EXPECT_NEAR(collected->paths[0].path_weight,
                accumulate ? 1.0 - std::log1p(std::exp(-1.0)) : 1.0, 1e-6);
    EXPECT_EQ(collected->paths[1].uniques, (LabelList{6}));
  }
  // With nbest 1 the second path is never walked (nothing accumulates) and
  // the broken fourth one never reached.
  auto result = duplicates();
  result.AddArc(0, fst::StdArc(0, 0, 0.0f, 99));
  EXPECT_EQ(collect_paths(result, *model, 1, true)->paths.at(0).path_weight, 1.0f);
}

TEST(CollectPaths, BrokenResultsAreErrorsNotCrashesOrHangs) {
  auto dangling = duplicates();
  const int last = dangling.NumStates() - 1;
  dangling.AddArc(last, fst::StdArc(0, 0, 0.0f, 40));
  dangling.SetFinal(last, fst::StdArc::Weight::Zero());
  auto collected = collect_paths(dangling, *model, 5, false);
  EXPECT_EQ(collected.error().kind, DecodeError::Kind::kMissingState);
  EXPECT_EQ(collected.error().state, 40);

  auto loop = make_result({{{3, 3, 1.0f}}});
  loop.DeleteArcs(3);
  loop.AddArc(3, fst::StdArc(3, 3, 1.0f, 3));
  EXPECT_EQ(collect_paths(loop, *model, 1, false).error().kind, DecodeError::Kind::kCyclicPath);
}

// A collection whose record i has the phonemes {i} and weight weights[i].
UniquePaths collection_of(const std::vector<float> &weights) {
  UniquePaths collection;
  for (std::size_t i = 0; i < weights.size(); ++i) {
    const auto l = static_cast<Label>(i);
    insert_path(collection, PathData{weights[i], {weights[i]}, {l}, {l}, {l}}, false);
  }
  return collection;
}

struct SelectCase {
  std::vector<float> weights;
  std::uint64_t beam;
  std::optional<float> threshold;  // none: no threshold
  std::optional<double> pmass;     // none: no normalisation, no mass stop
  std::vector<Label> selected;  // positions of the records returned
};

class SelectPaths : public ::testing::TestWithParam<SelectCase> {};

TEST_P(SelectPaths, RecordsAndWeights) {
  const SelectCase &c = GetParam();
  const auto selected = select_paths(collection_of(c.weights), c.beam, c.threshold, c.pmass);
  ASSERT_EQ(selected.size(), c.selected.size());
  double sum = 0.0;  // weights become shares of the mass with a pmass
  for (float w : c.weights) sum += std::exp(-double{w});
  const double total = c.pmass ? -std::log(sum) : 0.0;
  for (std::size_t i = 0; i < selected.size(); ++i) {
    const float raw = c.weights[c.selected[i]];
    EXPECT_EQ(selected[i].uniques, (LabelList{c.selected[i]}));
    EXPECT_NEAR(selected[i].path_weight, raw - total, 1e-5) << i;
    EXPECT_EQ(selected[i].path_weights, (std::vector<float>{raw}));
  }
}

constexpr std::uint64_t kBeam = 10000;

INSTANTIATE_TEST_SUITE_P(
    Options, SelectPaths,
    ::testing::Values(
        SelectCase{{}, kBeam, 1.0f, 0.5, {}},
        SelectCase{{1.0f, 3.0f, 2.0f}, kBeam, 2.5f, {}, {0, 2}},
        // Only heavier paths are left out: equal to the threshold stays.
        SelectCase{{1.0f, 2.5f, 3.0f}, kBeam, 2.5f, {}, {0, 1}},
        SelectCase{{1.0f, 2.0f, 3.0f}, 0, {}, {}, {0}},
        SelectCase{{1.0f, 2.0f, 3.0f}, 2, {}, {}, {0, 1}},
        SelectCase{{0.2f, 2.0f, 3.0f}, kBeam, {}, 0.1, {0, 1}},
        SelectCase{{0.2f, 2.0f, 3.0f}, kBeam, {}, 98.9, {0}},
        // A record left out by the threshold still moves the covered
        // mass, so the second one ends the selection.
        SelectCase{{1.0f, 0.9f, 0.95f}, kBeam, 1.1f, 0.5, {1}}));

TEST(SelectPathsEdges, SinglePathIsExactlyZeroAndInfinityMovesNothing) {
  EXPECT_EQ(select_paths(collection_of({4.25f}), kBeam, {}, 0.5).at(0).path_weight, 0.0f);
  const auto selected = select_paths(collection_of({kInf, 1.0f}), kBeam, {}, 50.0);
  EXPECT_EQ(selected.at(0).path_weight, kInf);
  EXPECT_EQ(selected.at(1).path_weight, 0.0f);
}

}  // namespace
}  // namespace tamsu
