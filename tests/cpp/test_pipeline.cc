// Tests for what only phoneticize_word decides: widening the search, and
// failures. Decoding as a whole is compared with OpenFst's tools in
// tests/test_differential.py.
#include "nbest/pipeline.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <gtest/gtest.h>

#include "decode_test_util.h"
#include "diag/cerr_router.h"

namespace tamsu {
namespace {

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
// record sums exactly those. Both routes; nbest 0 asks for nothing.
TEST(Pipeline, RequestDoublesToTheCapWhenPronunciationsRunShort) {
  configure_openfst();
  std::vector<test::TextArc> arcs;
  for (float w : kDWeights) arcs.push_back({0, "d", "D", w, 0});
  auto model = test::make_model({"<eps>", "|", "_", "d"},
                                {"<eps>", "|", "_", "D"}, 1, arcs, {{0, 0.0f}});
  ASSERT_GT(std::abs(log_sum_of_best(4, 1024) - log_sum_of_best(4, 512)), 0.05);
  for (const bool lattice_route : {true, false}) {
    if (!lattice_route) model->search_plan = SearchPlan{};  // OpenFst's route
    DecodeOptions options;
    options.nbest = 2;
    options.accumulate = true;
    auto records = phoneticize_word(*model, "dddd", options);  // 1296 paths
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NEAR(records[0].path_weight, log_sum_of_best(4, 1024), 1e-3);
    records = phoneticize_word(*model, "dd", options);  // 36 paths
    EXPECT_NEAR(records.at(0).path_weight, log_sum_of_best(2, 36), 1e-4);
    options.nbest = 0;
    EXPECT_TRUE(phoneticize_word(*model, "dd", options).empty());
  }
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
  model->search_plan = plan_search(model->fst);  // now OpenFst's route
  const CerrCapture cerr_text;
  {
    test::Fd2Capture capture;
    EXPECT_TRUE(phoneticize_word(*model, "ch", DecodeOptions{}).empty());
    EXPECT_EQ(capture.text(), "");
  }
  // The call's silence ends with it: this thread's writes reach the
  // capture again.
  std::cerr << "after";
  EXPECT_EQ(cerr_text.text(), "after");
}

}  // namespace
}  // namespace tamsu
