// Tests for walking n-shortest results into distinct paths and selecting
// the records a call returns.
#include "nbest/paths.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "decode_test_util.h"
#include "nbest/phonemes.h"

namespace tamsu {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// Output labels: 3 A, 4 B, 5..7 plain phonemes, 8 the cluster of 5 and 7,
// 9 a cluster of A and the skip symbol "_" (label 2).
std::unique_ptr<Model> phoneme_model() {
  return test::make_model({"<eps>", "|", "_", "a"},
                          {"<eps>", "|", "_", "A", "B", "P5", "P6", "P7",
                           "P5|P7", "A|_"},
                          1, {}, {{0, 0.0f}});
}

// One arc of a hand-built search result: ilabel, olabel, weight.
struct Step {
  int ilabel;
  int olabel;
  float weight;
};

// A result whose start state 0 has one arc per path: the path's first
// step leaves state 0, each further step leaves the state the previous one
// reached, and the last state reached is final with weight 0.
fst::StdVectorFst make_result(const std::vector<std::vector<Step>> &paths) {
  fst::StdVectorFst result;
  result.SetStart(result.AddState());
  for (const auto &path : paths) {
    int from = 0;
    for (const Step &step : path) {
      const int to = result.AddState();
      result.AddArc(from,
                    fst::StdArc(step.ilabel, step.olabel, step.weight, to));
      from = to;
    }
    result.SetFinal(from, 0.0f);
  }
  return result;
}

// Each path framed as an n-shortest result frames it.
std::vector<Step> framed(std::vector<Step> inner, float final_weight = 0.0f) {
  std::vector<Step> steps = {{0, 0, 0.0f}, {0, 0, 0.0f}};
  steps.insert(steps.end(), inner.begin(), inner.end());
  steps.push_back({0, 0, final_weight});
  return steps;
}

TEST(LogAdd, InfiniteOperandIsNeutral) {
  EXPECT_EQ(log_add(kInf, 2.5f), 2.5f);
  EXPECT_EQ(log_add(2.5f, kInf), 2.5f);
  EXPECT_EQ(log_add(-kInf, 2.5f), 2.5f);
  EXPECT_EQ(log_add(2.5f, -kInf), 2.5f);
  EXPECT_EQ(log_add(kInf, kInf), kInf);
}

TEST(LogAdd, IsNegativeLogOfSummedProbabilities) {
  for (const auto &[a, b] : {std::pair{1.0f, 2.0f}, {2.0f, 1.0f},
                            {0.5f, 0.5f}, {-3.0f, 4.0f}, {10.0f, 40.0f}}) {
    const double expected = -std::log(std::exp(-double{a}) + std::exp(-double{b}));
    EXPECT_NEAR(log_add(a, b), expected, 1e-5) << a << " " << b;
    EXPECT_EQ(log_add(a, b), log_add(b, a));
  }
  EXPECT_NEAR(log_add(1.0f, 2.0f), 0.6867f, 1e-4);
}

TEST(ExpandOutputLabel, ClustersSplitAndVetoedLabelsDropped) {
  const auto model = phoneme_model();
  LabelList uniques;
  for (Label olabel : {0u, 1u, 2u, 3u, 8u, 9u, 3u, 42u}) {
    expand_output_label(*model, olabel, uniques);
  }
  EXPECT_EQ(uniques, (LabelList{3, 5, 7, 3, 3}));
}

TEST(RenderPhonemes, TextsInOrderLabelsOutsideTableSkipped) {
  const auto model = phoneme_model();
  EXPECT_EQ(render_phonemes(*model, {5, 7, 3, 3, 99}),
            (std::vector<std::string>{"P5", "P7", "A", "A"}));
  EXPECT_TRUE(render_phonemes(*model, {}).empty());
}

struct EpsilonArcCase {
  float weight;
  bool kept;
};

class ExtendPathEpsilonTest : public ::testing::TestWithParam<EpsilonArcCase> {};

TEST_P(ExtendPathEpsilonTest, SkipsOnlyNearZeroWeights) {
  const auto model = phoneme_model();
  PathData path;
  path.path_weight = 1.0f;
  extend_path(path, fst::StdArc(0, 0, GetParam().weight, 1), *model);
  if (GetParam().kept) {
    EXPECT_EQ(path.ilabels, (LabelList{0}));
    EXPECT_EQ(path.olabels, (LabelList{0}));
    EXPECT_EQ(path.path_weights, (std::vector<float>{GetParam().weight}));
    EXPECT_EQ(path.path_weight, GetParam().weight + 1.0f);
  } else {
    EXPECT_TRUE(path.ilabels.empty());
    EXPECT_TRUE(path.path_weights.empty());
    EXPECT_EQ(path.path_weight, 1.0f);
  }
  EXPECT_TRUE(path.uniques.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Weights, ExtendPathEpsilonTest,
    ::testing::Values(EpsilonArcCase{0.0f, false}, EpsilonArcCase{0.0005f, false},
                      EpsilonArcCase{-0.0005f, false},
                      EpsilonArcCase{0.0009765625f, false},
                      EpsilonArcCase{-0.0009765625f, false},
                      EpsilonArcCase{0.001f, true}, EpsilonArcCase{-0.001f, true},
                      EpsilonArcCase{0.002f, true}, EpsilonArcCase{1.5f, true},
                      EpsilonArcCase{kInf, true}));

TEST(ExtendPath, NonEpsilonArcOfWeightZeroIsKept) {
  const auto model = phoneme_model();
  PathData path;
  extend_path(path, fst::StdArc(0, 8, 0.0f, 1), *model);
  extend_path(path, fst::StdArc(3, 0, 0.0f, 2), *model);
  EXPECT_EQ(path.ilabels, (LabelList{0, 3}));
  EXPECT_EQ(path.olabels, (LabelList{8, 0}));
  EXPECT_EQ(path.uniques, (LabelList{5, 7}));
}

TEST(CollectPaths, FramingArcsSkippedOtherArcsRecorded) {
  const auto model = phoneme_model();
  const auto result = make_result(
      {framed({{3, 8, 0.25f}, {0, 0, 0.0005f}, {0, 0, 0.002f}, {3, 9, 0.5f}},
              1.5f)});
  const auto collected = collect_paths(result, *model, 1, false);
  ASSERT_TRUE(collected.has_value());
  ASSERT_EQ(collected->paths.size(), 1u);
  const PathData &path = collected->paths[0];
  EXPECT_EQ(path.ilabels, (LabelList{3, 0, 3, 0}));
  EXPECT_EQ(path.olabels, (LabelList{8, 0, 9, 0}));
  EXPECT_EQ(path.path_weights, (std::vector<float>{0.25f, 0.002f, 0.5f, 1.5f}));
  EXPECT_FLOAT_EQ(path.path_weight, 2.252f);
  EXPECT_EQ(path.uniques, (LabelList{5, 7, 3}));
}

// Paths with uniques [5, 7], [5, 7] (spelled by other output labels) and
// [6], weights 1, 2 and 3.
fst::StdVectorFst worked_example_result() {
  return make_result({framed({{3, 8, 1.0f}}), framed({{3, 5, 1.0f}, {3, 7, 1.0f}}),
                      framed({{3, 6, 3.0f}})});
}

TEST(CollectPaths, EqualPhonemesFileOnceUnderFirstPath) {
  const auto model = phoneme_model();
  const auto collected = collect_paths(worked_example_result(), *model, 2, false);
  ASSERT_TRUE(collected.has_value());
  ASSERT_EQ(collected->paths.size(), 2u);
  EXPECT_EQ(collected->paths[0].uniques, (LabelList{5, 7}));
  EXPECT_EQ(collected->paths[0].olabels, (LabelList{8}));
  EXPECT_EQ(collected->paths[0].path_weight, 1.0f);
  EXPECT_EQ(collected->paths[1].uniques, (LabelList{6}));
  EXPECT_EQ(collected->paths[1].path_weight, 3.0f);
}

TEST(CollectPaths, AccumulateLogAddsEqualPhonemes) {
  const auto model = phoneme_model();
  const auto collected = collect_paths(worked_example_result(), *model, 2, true);
  ASSERT_TRUE(collected.has_value());
  ASSERT_EQ(collected->paths.size(), 2u);
  EXPECT_NEAR(collected->paths[0].path_weight, 1.0 - std::log1p(std::exp(-1.0)),
              1e-6);
  EXPECT_NEAR(collected->paths[0].path_weight, 0.6867, 1e-4);
  EXPECT_EQ(collected->paths[0].olabels, (LabelList{8}));  // first path's lists
  EXPECT_EQ(collected->paths[1].path_weight, 3.0f);
}

TEST(CollectPaths, StopsOnceNbestDistinctPathsAreHeld) {
  const auto model = phoneme_model();
  // With nbest 1 the second path (same phonemes) is never walked, so
  // nothing accumulates, and the broken third path is never reached.
  auto result = worked_example_result();
  result.AddArc(0, fst::StdArc(0, 0, 0.0f, 99));
  const auto collected = collect_paths(result, *model, 1, true);
  ASSERT_TRUE(collected.has_value());
  ASSERT_EQ(collected->paths.size(), 1u);
  EXPECT_EQ(collected->paths[0].path_weight, 1.0f);
}

TEST(CollectPaths, PathsWithoutPhonemesMergeUnderEmptyKey) {
  const auto model = phoneme_model();
  const auto result = make_result({framed({{3, 0, 1.0f}}), framed({{3, 2, 2.0f}}),
                                   framed({{3, 3, 4.0f}})});
  const auto collected = collect_paths(result, *model, 5, true);
  ASSERT_TRUE(collected.has_value());
  ASSERT_EQ(collected->paths.size(), 2u);
  EXPECT_TRUE(collected->paths[0].uniques.empty());
  EXPECT_NEAR(collected->paths[0].path_weight, 1.0 - std::log1p(std::exp(-1.0)),
              1e-6);
  EXPECT_EQ(collected->paths[1].uniques, (LabelList{3}));
}

TEST(CollectPaths, StopsAtFinalStateOrStateWithoutArcs) {
  const auto model = phoneme_model();
  fst::StdVectorFst result;
  for (int s = 0; s < 5; ++s) result.AddState();
  result.SetStart(0);
  result.AddArc(0, fst::StdArc(3, 3, 1.0f, 1));
  result.AddArc(1, fst::StdArc(3, 4, 1.0f, 2));
  result.SetFinal(2, 0.0f);
  result.AddArc(2, fst::StdArc(3, 5, 1.0f, 3));  // after a final state: unread
  result.AddArc(0, fst::StdArc(3, 6, 1.0f, 4));  // state 4: not final, no arcs
  const auto collected = collect_paths(result, *model, 5, false);
  ASSERT_TRUE(collected.has_value());
  ASSERT_EQ(collected->paths.size(), 2u);
  EXPECT_EQ(collected->paths[0].uniques, (LabelList{3, 4}));
  EXPECT_EQ(collected->paths[1].uniques, (LabelList{6}));
}

TEST(CollectPaths, MissingStateIsAnError) {
  const auto model = phoneme_model();
  auto result = worked_example_result();
  const int last = result.NumStates() - 1;
  result.AddArc(last, fst::StdArc(0, 0, 0.0f, 40));  // not final any more
  result.SetFinal(last, fst::StdArc::Weight::Zero());
  const auto collected = collect_paths(result, *model, 5, false);
  ASSERT_FALSE(collected.has_value());
  EXPECT_EQ(collected.error().kind, DecodeError::Kind::kMissingState);
  EXPECT_EQ(collected.error().state, 40);
}

TEST(CollectPaths, MissingStartStateIsAnError) {
  const auto model = phoneme_model();
  fst::StdVectorFst result;
  result.AddState();
  const auto collected = collect_paths(result, *model, 1, false);
  ASSERT_FALSE(collected.has_value());
  EXPECT_EQ(collected.error().kind, DecodeError::Kind::kMissingState);
  EXPECT_EQ(collected.error().state, fst::kNoStateId);
}

TEST(CollectPaths, LoopingPathIsAnErrorNotAHang) {
  const auto model = phoneme_model();
  fst::StdVectorFst result;
  result.AddState();
  result.AddState();
  result.SetStart(0);
  result.AddArc(0, fst::StdArc(3, 3, 1.0f, 1));
  result.AddArc(1, fst::StdArc(3, 3, 1.0f, 1));
  const auto collected = collect_paths(result, *model, 1, false);
  ASSERT_FALSE(collected.has_value());
  EXPECT_EQ(collected.error().kind, DecodeError::Kind::kCyclicPath);
}

TEST(InsertPath, KeepsFirstListsAndAccumulatesOnlyWhenAsked) {
  for (const bool accumulate : {false, true}) {
    UniquePaths collection;
    insert_path(collection, PathData{2.0f, {2.0f}, {3}, {5}, {5}}, accumulate);
    insert_path(collection, PathData{1.0f, {1.0f}, {4}, {5}, {5}}, accumulate);
    insert_path(collection, PathData{0.5f, {0.5f}, {4}, {6}, {}}, accumulate);
    ASSERT_EQ(collection.paths.size(), 2u);
    EXPECT_EQ(collection.paths[0].ilabels, (LabelList{3}));
    const float expected = accumulate ? log_add(2.0f, 1.0f) : 2.0f;
    EXPECT_EQ(collection.paths[0].path_weight, expected);
    EXPECT_TRUE(collection.paths[1].uniques.empty());
    EXPECT_EQ(collection.position.at(LabelList{}), 1u);
  }
}

// A collection whose record i has the phoneme list {i} and weight
// weights[i].
UniquePaths collection_of(const std::vector<float> &weights) {
  UniquePaths collection;
  for (std::size_t i = 0; i < weights.size(); ++i) {
    const auto label = static_cast<Label>(i);
    insert_path(collection, PathData{weights[i], {weights[i]}, {label}, {label},
                                     {label}},
                false);
  }
  return collection;
}

// -log of the summed probabilities e^-w of `weights`, in double precision.
double total_of(const std::vector<float> &weights) {
  double sum = 0.0;
  for (float w : weights) sum += std::exp(-double{w});
  return -std::log(sum);
}

struct SelectCase {
  const char *name;
  std::vector<float> weights;
  std::uint64_t beam;
  float threshold;
  double pmass;
  std::vector<Label> selected;  // positions of the records returned
};

void PrintTo(const SelectCase &c, std::ostream *os) { *os << c.name; }

class SelectPathsTest : public ::testing::TestWithParam<SelectCase> {};

TEST_P(SelectPathsTest, RecordsAndWeights) {
  const SelectCase &c = GetParam();
  const std::vector<PathData> selected =
      select_paths(collection_of(c.weights), c.beam, c.threshold, c.pmass);
  ASSERT_EQ(selected.size(), c.selected.size());
  const bool normalised = c.pmass < 99.0;
  const double total = normalised ? total_of(c.weights) : 0.0;
  for (std::size_t i = 0; i < selected.size(); ++i) {
    const Label position = c.selected[i];
    EXPECT_EQ(selected[i].uniques, (LabelList{position}));
    const float raw = c.weights[position];
    EXPECT_NEAR(selected[i].path_weight, raw - total, 1e-5) << "record " << i;
    // Only the total moves; the per-arc weights stay as collected.
    EXPECT_EQ(selected[i].path_weights, (std::vector<float>{raw}));
  }
}

constexpr std::uint64_t kBeam = 10000;

INSTANTIATE_TEST_SUITE_P(
    Options, SelectPathsTest,
    ::testing::Values(
        SelectCase{"DefaultsKeepAll", {1.0f, 2.0f, 3.0f}, kBeam, 99.0f, 99.0, {0, 1, 2}},
        SelectCase{"EmptyCollection", {}, kBeam, 1.0f, 0.5, {}},
        SelectCase{"ThresholdLeavesOutHeavier", {1.0f, 3.0f, 2.0f}, kBeam, 2.5f, 99.0,
                   {0, 2}},
        SelectCase{"ThresholdAt99IsOff", {1.0f, 150.0f}, kBeam, 99.0f, 99.0, {0, 1}},
        SelectCase{"ThresholdJustBelow99IsOn", {1.0f, 150.0f}, kBeam, 98.9f, 99.0, {0}},
        SelectCase{"EveryRecordAboveThreshold", {5.0f, 6.0f}, kBeam, 1.0f, 99.0, {}},
        SelectCase{"Beam0ReturnsOne", {1.0f, 2.0f, 3.0f}, 0, 99.0f, 99.0, {0}},
        SelectCase{"Beam1ReturnsOne", {1.0f, 2.0f, 3.0f}, 1, 99.0f, 99.0, {0}},
        SelectCase{"Beam2ReturnsTwo", {1.0f, 2.0f, 3.0f}, 2, 99.0f, 99.0, {0, 1}},
        SelectCase{"Beam0AfterThresholdSkip", {5.0f, 1.0f, 2.0f}, 0, 3.0f, 99.0, {1}},
        SelectCase{"PmassSinglePathWeighsZero", {4.25f}, kBeam, 99.0f, 0.5, {0}},
        SelectCase{"PmassStopsAfterFirst", {0.2f, 2.0f, 3.0f}, kBeam, 99.0f, 0.5, {0}},
        SelectCase{"PmassStopsAfterSecond", {0.2f, 2.0f, 3.0f}, kBeam, 99.0f, 0.1,
                   {0, 1}},
        SelectCase{"PmassAt99IsOff", {0.2f, 2.0f, 3.0f}, kBeam, 99.0f, 99.0, {0, 1, 2}},
        // Active pmass this large is reached by the first record.
        SelectCase{"PmassJustBelow99IsOn", {0.2f, 2.0f, 3.0f}, kBeam, 99.0f, 98.9,
                   {0}},
        // The first record is above the threshold but its share still
        // counts, so the second one ends the selection; without it the
        // third would be appended too.
        SelectCase{"ThresholdSkippedRecordMovesCum", {1.0f, 0.9f, 0.95f}, kBeam, 1.1f,
                   0.5, {1}},
        SelectCase{"ThresholdOnRawWeightsWithoutPmass", {1.0f, 0.9f, 0.95f}, kBeam, 1.1f,
                   99.0, {0, 1, 2}}),
    [](const ::testing::TestParamInfo<SelectCase> &info) {
      return std::string(info.param.name);
    });

TEST(SelectPaths, PmassSinglePathIsExactlyZero) {
  const auto selected = select_paths(collection_of({4.25f}), kBeam, 99.0f, 0.5);
  ASSERT_EQ(selected.size(), 1u);
  EXPECT_EQ(selected[0].path_weight, 0.0f);
}

TEST(SelectPaths, WorkedExampleWeights) {
  // After a walk with nbest 2: [5, 7] at 1.0 (or 0.6867 accumulated), [6]
  // at 3.0.
  const auto model = phoneme_model();
  for (const bool accumulate : {false, true}) {
    auto collected = collect_paths(worked_example_result(), *model, 2, accumulate);
    ASSERT_TRUE(collected.has_value());
    const auto selected =
        select_paths(std::move(collected).value(), kBeam, 99.0f, 99.0);
    ASSERT_EQ(selected.size(), 2u);
    EXPECT_EQ(selected[0].uniques, (LabelList{5, 7}));
    EXPECT_NEAR(selected[0].path_weight, accumulate ? 0.6867f : 1.0f, 1e-4);
    EXPECT_EQ(selected[1].uniques, (LabelList{6}));
    EXPECT_EQ(selected[1].path_weight, 3.0f);
  }
}

TEST(SelectPaths, InfiniteWeightDoesNotMoveTotals) {
  const auto selected = select_paths(collection_of({kInf, 1.0f}), kBeam, 99.0f, 50.0);
  ASSERT_EQ(selected.size(), 2u);
  EXPECT_EQ(selected[0].path_weight, kInf);
  EXPECT_EQ(selected[1].path_weight, 0.0f);
}

}  // namespace
}  // namespace tamsu
