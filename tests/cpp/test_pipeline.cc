// Tests for decoding whole words with phoneticize_word, on small models
// built in code.
#include "nbest/pipeline.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "decode_test_util.h"
#include "nbest/phonemes.h"

namespace tamsu {
namespace {

// Input: a 3, b 4, c 5, h 6, "c|h" 7, x 8 (no arcs).
// Output: A 3, B 4, K 5, H 6, T 7, S 8, "T|S" 9, "K|_" 10.
// One state, final with weight 0.5.
std::unique_ptr<Model> letters_model() {
  return test::make_model(
      {"<eps>", "|", "_", "a", "b", "c", "h", "c|h", "x"},
      {"<eps>", "|", "_", "A", "B", "K", "H", "T", "S", "T|S", "K|_"}, 1,
      {{0, "a", "A", 1.0f, 0}, {0, "a", "B", 2.0f, 0}, {0, "a", "_", 5.0f, 0},
       {0, "c", "K", 1.0f, 0}, {0, "h", "H", 1.0f, 0},
       {0, "c|h", "T|S", 0.3f, 0}, {0, "b", "K|_", 0.7f, 0}},
      {{0, 0.5f}});
}

DecodeOptions with(std::uint64_t nbest, std::uint64_t beam = 10000,
                   float threshold = 99.0f, double pmass = 99.0) {
  DecodeOptions options;
  options.nbest = nbest;
  options.beam = beam;
  options.threshold = threshold;
  options.pmass = pmass;
  return options;
}

struct PipelineCase {
  std::string word;
  DecodeOptions options;
  std::vector<std::pair<LabelList, float>> records;  // uniques, weight
};

class PipelineTest : public ::testing::TestWithParam<PipelineCase> {};

TEST_P(PipelineTest, Records) {
  configure_openfst();
  const PipelineCase &c = GetParam();
  const auto model = letters_model();
  test::Fd2Capture capture;
  const auto records = phoneticize_word(*model, c.word, c.options);
  EXPECT_EQ(capture.text(), "");
  ASSERT_EQ(records.size(), c.records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].uniques, c.records[i].first) << i;
    EXPECT_NEAR(records[i].path_weight, c.records[i].second, 1e-5) << i;
  }
}

// -log(e^-1.8 + e^-2.8 + e^-3.5): the total of the three best of "cha".
const float kChaTop3 = static_cast<float>(
    -std::log(std::exp(-1.8) + std::exp(-2.8) + std::exp(-3.5)));

INSTANTIATE_TEST_SUITE_P(
    Words, PipelineTest,
    ::testing::Values(
        PipelineCase{"cha", with(1), {{{7, 8, 3}, 1.8f}}},
        // Fewer pronunciations than asked for; "_" is no phoneme.
        PipelineCase{"cha",
                     with(10),
                     {{{7, 8, 3}, 1.8f}, {{7, 8, 4}, 2.8f}, {{5, 6, 3}, 3.5f},
                      {{5, 6, 4}, 4.5f}, {{7, 8}, 5.8f}, {{5, 6}, 7.5f}}},
        PipelineCase{"b", with(1), {{{5}, 1.2f}}},
        PipelineCase{"cha", with(3, 1), {{{7, 8, 3}, 1.8f}}},
        PipelineCase{"cha", with(3, 10000, 3.0f),
                     {{{7, 8, 3}, 1.8f}, {{7, 8, 4}, 2.8f}}},
        PipelineCase{"cha", with(3, 10000, 99.0f, 0.5),
                     {{{7, 8, 3}, 1.8f - kChaTop3}}},
        PipelineCase{"cha", with(0), {}},
        PipelineCase{"xa", with(5), {}},
        PipelineCase{"", with(5), {}}));

TEST(Pipeline, RecordsKeepTheClosingFinalWeightArcAndUnknownPiecesDrop) {
  configure_openfst();
  const auto model = letters_model();
  test::Fd2Capture capture;
  // "c?h": the cluster c|h still matches across the dropped piece.
  const auto records = phoneticize_word(*model, "c?ha", with(1));
  EXPECT_EQ(capture.text(), test::unknown_piece_message("?"));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ilabels, (LabelList{7, 3, 0}));
  EXPECT_EQ(records[0].olabels, (LabelList{9, 3, 0}));
  EXPECT_EQ(records[0].path_weights, (std::vector<float>{0.3f, 1.0f, 0.5f}));
}

// Six arcs d:D, so a word of n d's has 6^n paths that all spell D n times.
const std::vector<float> kDWeights = {0.5f, 0.6f, 0.75f, 0.9f, 1.1f, 1.3f};

// -log of the summed probabilities of the `count` best paths of d^length.
double log_sum_of_best(int length, std::size_t count) {
  std::vector<double> weights = {0.0};
  for (int i = 0; i < length; ++i) {
    std::vector<double> longer;
    for (double prefix : weights) {
      for (float w : kDWeights) longer.push_back(prefix + w);
    }
    weights.swap(longer);
  }
  std::sort(weights.begin(), weights.end());
  weights.resize(std::min(count, weights.size()));
  double sum = 0.0;
  for (double w : weights) sum += std::exp(-w);
  return -std::log(sum);
}

// With nbest 2 but one pronunciation, the request doubles up to its cap of
// 1024 paths (all of them when the lattice has fewer): accumulated, the
// record sums exactly those.
TEST(Pipeline, RequestDoublesToTheCapWhenPronunciationsRunShort) {
  configure_openfst();
  std::vector<test::TextArc> arcs;
  for (float w : kDWeights) arcs.push_back({0, "d", "D", w, 0});
  const auto model = test::make_model({"<eps>", "|", "_", "d"},
                                      {"<eps>", "|", "_", "D"}, 1, arcs,
                                      {{0, 0.0f}});
  DecodeOptions options = with(2);
  options.accumulate = true;
  auto records = phoneticize_word(*model, "dddd", options);  // 1296 paths
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NEAR(records[0].path_weight, log_sum_of_best(4, 1024), 1e-3);
  ASSERT_GT(std::abs(log_sum_of_best(4, 1024) - log_sum_of_best(4, 512)), 0.05);
  records = phoneticize_word(*model, "dd", options);  // 36 paths
  EXPECT_NEAR(records.at(0).path_weight, log_sum_of_best(2, 36), 1e-4);
}

TEST(Pipeline, FailedCompositionIsSilentAndEmpty) {
  configure_openfst();
  // The cluster's label (3) is below its first part's (4): the acceptor is
  // not sorted, and the model claims no input sort.
  auto model = test::make_model({"<eps>", "|", "_", "c|h", "c", "h"},
                                {"<eps>", "|", "_", "K"}, 1,
                                {{0, "c", "K", 1.0f, 0}, {0, "h", "K", 1.0f, 0}},
                                {{0, 0.0f}});
  model->fst.SetProperties(fst::kNotILabelSorted,
                           fst::kILabelSorted | fst::kNotILabelSorted);
  test::Fd2Capture capture;
  EXPECT_TRUE(phoneticize_word(*model, "ch", with(1)).empty());
  EXPECT_EQ(capture.text(), "");
}

}  // namespace
}  // namespace tamsu
