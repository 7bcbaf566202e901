// Tests for decoding whole words with phoneticize_word, on small models
// built in code.
#include "nbest/pipeline.h"


#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>
#include <sstream>

#include <gtest/gtest.h>

#include "decode_test_util.h"
#include "nbest/phonemes.h"

namespace tamsu {
namespace {

using test::Fd2Capture;

// Input: a 3, b 4, c 5, h 6, "c|h" 7, x 8 (no arcs).
// Output: A 3, B 4, K 5, H 6, T 7, S 8, "T|S" 9, "K|_" 10.
// One state, final with weight 0.5.
std::unique_ptr<Model> letters_model() {
  return test::make_model(
      {"<eps>", "|", "_", "a", "b", "c", "h", "c|h", "x"},
      {"<eps>", "|", "_", "A", "B", "K", "H", "T", "S", "T|S", "K|_"}, 1,
      {{0, "a", "A", 1.0f, 0},
       {0, "a", "B", 2.0f, 0},
       {0, "a", "_", 5.0f, 0},
       {0, "c", "K", 1.0f, 0},
       {0, "h", "H", 1.0f, 0},
       {0, "c|h", "T|S", 0.3f, 0},
       {0, "b", "K|_", 0.7f, 0}},
      {{0, 0.5f}});
}

// Six arcs d:D of different weights, so that a word of n d's has 6^n
// paths that all spell D n times.
const std::vector<float> kDWeights = {0.5f, 0.6f, 0.75f, 0.9f, 1.1f, 1.3f};

std::unique_ptr<Model> repeated_model() {
  std::vector<test::TextArc> arcs;
  for (float w : kDWeights) arcs.push_back({0, "d", "D", w, 0});
  return test::make_model({"<eps>", "|", "_", "d"}, {"<eps>", "|", "_", "D"},
                          1, arcs, {{0, 0.0f}});
}

struct ExpectedRecord {
  LabelList uniques;
  float weight;
};

struct PipelineCase {
  const char *name;
  std::string word;
  DecodeOptions options;
  std::vector<ExpectedRecord> records;
};

void PrintTo(const PipelineCase &c, std::ostream *os) { *os << c.name; }

DecodeOptions with_nbest(std::uint64_t nbest) {
  DecodeOptions options;
  options.nbest = nbest;
  return options;
}

DecodeOptions with(std::uint64_t nbest, std::uint64_t beam, float threshold,
                   double pmass) {
  DecodeOptions options = with_nbest(nbest);
  options.beam = beam;
  options.threshold = threshold;
  options.pmass = pmass;
  return options;
}

// -log(e^-1.8 + e^-2.8 + e^-3.5): the total of the three best of "cha".
const float kChaTop3 = static_cast<float>(
    -std::log(std::exp(-1.8) + std::exp(-2.8) + std::exp(-3.5)));

class PipelineTest : public ::testing::TestWithParam<PipelineCase> {
 protected:
  void SetUp() override { configure_openfst(); }
};

TEST_P(PipelineTest, Records) {
  const PipelineCase &c = GetParam();
  const auto model = letters_model();
  std::vector<PathData> records;
  std::string diagnostics;
  {
    Fd2Capture capture;
    records = phoneticize_word(*model, c.word, c.options);
    diagnostics = capture.text();
  }
  EXPECT_EQ(diagnostics, "");
  ASSERT_EQ(records.size(), c.records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i].uniques, c.records[i].uniques) << "record " << i;
    EXPECT_NEAR(records[i].path_weight, c.records[i].weight, 1e-5)
        << "record " << i;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Words, PipelineTest,
    ::testing::Values(
        PipelineCase{"BestOnly", "cha", with_nbest(1), {{{7, 8, 3}, 1.8f}}},
        PipelineCase{"ThreeBest",
                     "cha",
                     with_nbest(3),
                     {{{7, 8, 3}, 1.8f}, {{7, 8, 4}, 2.8f}, {{5, 6, 3}, 3.5f}}},
        // Fewer pronunciations than asked for; "_" is no phoneme.
        PipelineCase{"AllSix",
                     "cha",
                     with_nbest(10),
                     {{{7, 8, 3}, 1.8f},
                      {{7, 8, 4}, 2.8f},
                      {{5, 6, 3}, 3.5f},
                      {{5, 6, 4}, 4.5f},
                      {{7, 8}, 5.8f},
                      {{5, 6}, 7.5f}}},
        PipelineCase{"ClusterPartSkipSymbolDropped", "b", with_nbest(1),
                     {{{5}, 1.2f}}},
        PipelineCase{"SkipSymbolOnlyGivesEmptyUniques",
                     "a",
                     with_nbest(3),
                     {{{3}, 1.5f}, {{4}, 2.5f}, {{}, 5.5f}}},
        PipelineCase{"Beam", "cha", with(3, 1, 99.0f, 99.0), {{{7, 8, 3}, 1.8f}}},
        PipelineCase{"Threshold",
                     "cha",
                     with(3, 10000, 3.0f, 99.0),
                     {{{7, 8, 3}, 1.8f}, {{7, 8, 4}, 2.8f}}},
        PipelineCase{"Pmass", "cha", with(3, 10000, 99.0f, 0.5),
                     {{{7, 8, 3}, 1.8f - kChaTop3}}},
        PipelineCase{"NbestZero", "cha", with_nbest(0), {}},
        PipelineCase{"EmptyLattice", "xa", with_nbest(5), {}},
        PipelineCase{"EmptyWord", "", with_nbest(5), {}}),
    [](const ::testing::TestParamInfo<PipelineCase> &info) {
      return std::string(info.param.name);
    });

TEST(Pipeline, PathListsIncludeClosingFinalWeightArc) {
  configure_openfst();
  const auto model = letters_model();
  const auto records = phoneticize_word(*model, "cha", with_nbest(1));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ilabels, (LabelList{7, 3, 0}));
  EXPECT_EQ(records[0].olabels, (LabelList{9, 3, 0}));
  EXPECT_EQ(records[0].path_weights, (std::vector<float>{0.3f, 1.0f, 0.5f}));
  EXPECT_EQ(render_phonemes(*model, records[0].uniques),
            (std::vector<std::string>{"T", "S", "A"}));
}

TEST(Pipeline, UnknownPiecesReportedAndDropped) {
  configure_openfst();
  const auto model = letters_model();
  std::vector<PathData> records;
  std::string diagnostics;
  {
    Fd2Capture capture;
    // "c?h": the cluster c|h still matches across the dropped piece.
    records = phoneticize_word(*model, "c?ha", with_nbest(1));
    diagnostics = capture.text();
  }
  EXPECT_EQ(diagnostics, test::unknown_piece_message("?"));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].uniques, (LabelList{7, 8, 3}));
}

TEST(Pipeline, DelimiterFromModel) {
  configure_openfst();
  auto model = letters_model();
  model->delim = " ";
  const auto records = phoneticize_word(*model, "c|h a", with_nbest(1));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].ilabels, (LabelList{7, 3, 0}));
}

// -log of the summed probabilities of the `count` best paths of a word of
// `length` d's.
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

// With nbest 2 but one pronunciation, the request doubles to the cap of
// 1024 paths: with accumulate, the single record sums exactly those.
TEST(Pipeline, RequestDoublesToCapWhenPronunciationsRunShort) {
  configure_openfst();
  const auto model = repeated_model();
  DecodeOptions options = with_nbest(2);
  options.accumulate = true;
  const auto records = phoneticize_word(*model, "dddd", options);  // 1296 paths
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].uniques, (LabelList{3, 3, 3, 3}));
  EXPECT_NEAR(records[0].path_weight, log_sum_of_best(4, 1024), 1e-3);
  // The sums over 512 or over all paths are clearly different.
  ASSERT_GT(std::abs(log_sum_of_best(4, 1024) - log_sum_of_best(4, 512)), 0.05);
  ASSERT_GT(std::abs(log_sum_of_best(4, 1024) - log_sum_of_best(4, 1296)), 0.01);

  options.accumulate = false;
  const auto best = phoneticize_word(*model, "dddd", options);
  ASSERT_EQ(best.size(), 1u);
  EXPECT_FLOAT_EQ(best[0].path_weight, 2.0f);
  EXPECT_EQ(best[0].path_weights, (std::vector<float>{0.5f, 0.5f, 0.5f, 0.5f}));
}

TEST(Pipeline, RequestLargerThanLatticeCollectsEveryPath) {
  configure_openfst();
  const auto model = repeated_model();
  DecodeOptions options = with_nbest(2);
  options.accumulate = true;
  const auto records = phoneticize_word(*model, "dd", options);  // 36 paths
  ASSERT_EQ(records.size(), 1u);
  EXPECT_NEAR(records[0].path_weight, log_sum_of_best(2, 36), 1e-4);
}

TEST(Pipeline, HugeNbestDoesNotOverflow) {
  configure_openfst();
  const auto model = letters_model();
  for (const std::uint64_t nbest :
       {std::uint64_t{1} << 61, std::numeric_limits<std::uint64_t>::max()}) {
    const auto records = phoneticize_word(*model, "cha", with_nbest(nbest));
    EXPECT_EQ(records.size(), 6u) << nbest;
  }
}

TEST(Pipeline, FailedCompositionIsSilentAndEmpty) {
  configure_openfst();
  // The cluster's label (3) is below its first part's (4), so the acceptor
  // is not sorted by output label; the model claims no input sort.
  auto model = test::make_model({"<eps>", "|", "_", "c|h", "c", "h"},
                                {"<eps>", "|", "_", "K"}, 1,
                                {{0, "c", "K", 1.0f, 0}, {0, "h", "K", 1.0f, 0}},
                                {{0, 0.0f}});
  model->fst.SetProperties(fst::kNotILabelSorted,
                           fst::kILabelSorted | fst::kNotILabelSorted);
  model->search_plan = plan_search(model->fst);  // now OpenFst's route
  const CerrCapture cerr_text;
  std::vector<PathData> records;
  std::string diagnostics;
  {
    Fd2Capture capture;
    records = phoneticize_word(*model, "ch", with_nbest(1));
    diagnostics = capture.text();
  }
  // The call's silence ends with it: this thread's writes reach the
  // capture again.
  std::cerr << "after";
  EXPECT_TRUE(records.empty());
  EXPECT_EQ(diagnostics, "");
  EXPECT_EQ(cerr_text.text(), "after");
}

}  // namespace
}  // namespace tamsu
