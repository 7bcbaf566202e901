// Tests for what phoneticize_word decides (widening the search, failures),
// the n-shortest request and dump files. Decoding as a whole is compared
// with OpenFst's tools in tests/test_differential.py.
#include "nbest/pipeline.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>
#include <set>
#include <tuple>

#include <gtest/gtest.h>

#include "decode_test_util.h"
#include "nbest/batch.h"
#include "diag/cerr_router.h"
#include "nbest/dump.h"
#include "nbest/lattice.h"
#include "nbest/search.h"

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
  double sum = 0.0;
  for (std::size_t i = 0; i < std::min(count, weights.size()); ++i) sum += std::exp(-weights[i]);
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
    options.nbest = 2, options.accumulate = true;
    auto records = phoneticize_word(*model, "dddd", options);  // 1296 paths
    ASSERT_EQ(records.size(), 1u);
    EXPECT_NEAR(records[0].path_weight, log_sum_of_best(4, 1024), 1e-3);
    EXPECT_NEAR(phoneticize_word(*model, "dd", options).at(0).path_weight,
                log_sum_of_best(2, 36), 1e-4);  // all 36 paths
    options.nbest = 0;
    EXPECT_TRUE(phoneticize_word(*model, "dd", options).empty());
  }
}

// A batch on four threads gives each word what phoneticize_word gives it,
// in input order, failures included; a set stop flag decodes nothing.
TEST(Batch, ThreadsGiveTheSequentialResultsInOrder) {
  configure_openfst();
  std::vector<test::TextArc> arcs;
  for (float w : kDWeights) arcs.push_back({0, "d", "D", w, 0});
  arcs.push_back({0, "e", "D", 0.25f, 0});
  const std::shared_ptr<const Model> model = test::make_model(
      {"<eps>", "|", "_", "d", "e"}, {"<eps>", "|", "_", "D"}, 1, arcs,
      {{0, 0.0f}});
  std::vector<std::string> words;
  for (int i = 0; i < 400; ++i) {
    words.push_back(i % 7 == 0 ? "x" : std::string(1 + i % 5, "de"[i % 2]));
  }
  DecodeOptions options;
  options.nbest = 3;
  std::atomic<bool> stop{false};
  BatchRun run{4, &stop, [] { return false; }};
  const auto results = phoneticize_words(*model, words, options, run);
  ASSERT_EQ(results.size(), words.size());
  for (std::size_t i = 0; i < words.size(); ++i) {
    DecodeReport report;
    const auto expected = phoneticize_word(*model, words[i], options, &report);
    EXPECT_EQ(results[i].failure, report.failure) << words[i];
    ASSERT_EQ(results[i].paths.size(), expected.size()) << words[i];
    for (std::size_t p = 0; p < expected.size(); ++p) {
      EXPECT_EQ(results[i].paths[p].path_weight, expected[p].path_weight);
      EXPECT_EQ(results[i].paths[p].ilabels, expected[p].ilabels);
      EXPECT_EQ(results[i].paths[p].uniques, expected[p].uniques);
    }
  }
  stop = true;
  for (const WordResult &result : phoneticize_words(*model, words, options, run)) {
    EXPECT_EQ(result.failure, DecodeFailure::kInterrupted);
  }
}

// Both routes count the same work at the same steps: under any limit they
// give the same list, or fail alike. Huge requests end at the limit or when
// the lattice runs out of paths.
TEST(Pipeline, WorkLimitsStopBothRoutesAlike) {
  configure_openfst();
  std::vector<test::TextArc> arcs = {{0, "d", "E", 0.8f, 0}, {0, "e", "E", 0.1f, 1}};
  for (float w : kDWeights) arcs.push_back({0, "d", "D", w, 0});
  auto model = test::make_model({"<eps>", "|", "_", "d", "e"},
                                {"<eps>", "|", "_", "D", "E"}, 2, arcs, {{0, 0.0f}});
  std::set<DecodeFailure> seen;
  using Case = std::pair<const char *, std::uint64_t>;
  using Limits = std::pair<std::uint64_t, std::uint64_t>;  // lattice, pairs
  for (const auto &[word, nbest] : {Case{"dddd", 3}, Case{"dd", UINT64_MAX}, Case{"ddddd", UINT64_MAX}}) {
    std::vector<Limits> limits = {{1, 1 << 23}, {8, 1 << 23}, {64, 1 << 23}};
    for (std::uint64_t pairs = 3; pairs < 400; ++pairs) limits.emplace_back(64, pairs);
    for (const auto &[lattice, pairs] : limits) {
      DecodeOptions options;
      options.nbest = nbest, options.accumulate = true, options.limits.lattice_per_position = lattice;
      options.limits.search_pairs_per_position_and_path = 1, options.limits.search_pairs_max = pairs;
      std::vector<std::tuple<float, LabelList, DecodeFailure>> answers[2];
      for (const bool reference : {false, true}) {
        options.reference_route = reference;
        DecodeReport report;
        for (const PathData &path : phoneticize_word(*model, word, options, &report)) {
          answers[reference].emplace_back(path.path_weight, path.uniques, report.failure);
        }
        if (answers[reference].empty()) answers[reference].emplace_back(0.0f, LabelList{}, report.failure);
        EXPECT_EQ(report.route == DecodeRoute::kNone, report.failure != DecodeFailure::kNone);
      }
      EXPECT_EQ(answers[0], answers[1]) << word << " " << lattice << " " << pairs;
      seen.insert(std::get<2>(answers[0].front()));
    }
  }
  EXPECT_EQ(seen, (std::set<DecodeFailure>{DecodeFailure::kNone, DecodeFailure::kWorkLimit}));
  // A huge request stopped by the limit keeps the best paths it completed
  // (of the 32 pronunciations of "ddddd"), as one stopped by its cap does.
  DecodeOptions huge;
  huge.nbest = UINT64_MAX, huge.accumulate = true, huge.limits.search_pairs_max = 200;
  huge.limits.search_pairs_per_position_and_path = 1;
  for (const bool reference : {false, true}) {
    huge.reference_route = reference;
    DecodeReport limited;
    const auto kept = phoneticize_word(*model, "ddddd", huge, &limited);
    EXPECT_EQ(limited.failure, DecodeFailure::kNone);
    EXPECT_GT(kept.size(), 0u);
    EXPECT_LT(kept.size(), 32u);
  }
  DecodeReport report;
  EXPECT_TRUE(phoneticize_word(*model, "xx", {}, &report).empty());
  EXPECT_EQ(report.failure, DecodeFailure::kNoKnownGraphemes);
  EXPECT_TRUE(phoneticize_word(*model, "ed", {}, &report).empty());  // state 1 has no arcs
  EXPECT_EQ(report.failure, DecodeFailure::kNoPath);
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
  testing::internal::CaptureStderr();  // descriptor 2
  EXPECT_TRUE(phoneticize_word(*model, "ch", DecodeOptions{}).empty());
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
  // The call's silence ends with it: this thread's writes reach the
  // capture again.
  std::cerr << "after";
  EXPECT_EQ(cerr_text.text(), "after");
}

// The n-shortest request.

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
  const auto lattice = parallel_lattice(std::vector<float>(20, 1.0f));
  // 2^32 would wrap to 0 (nothing) and 2^32 + 1 to 1 (unframed).
  for (const std::uint64_t request :
       {std::uint64_t{1} << 32, (std::uint64_t{1} << 32) + 1,
        std::uint64_t{1} << 31, std::numeric_limits<std::uint64_t>::max()}) {
    const auto result = find_shortest_paths(lattice, request);
    ASSERT_TRUE(result.has_value()) << request;
    EXPECT_EQ(result->fst.NumArcs(result->fst.Start()), 20u) << request;
  }
}

// Dump files.

std::string contents(const std::string &file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Magic, "vector" and "standard" with their lengths, version, flags,
// properties, start and state count come before the arc count.
constexpr std::size_t kArcCount = 4 + (4 + 6) + (4 + 8) + 4 + 4 + 8 + 8 + 8;

TEST(Dump, SameBytesAsOpenFstButTheRealArcCount) {
  configure_openfst();
  fst::StdVectorFst f;
  for (int s = 0; s < 3; ++s) f.AddState();
  f.SetStart(0);
  f.AddArc(0, fst::StdArc(3, 4, 0.5f, 1));
  f.AddArc(0, fst::StdArc(4, 5, 1.25f, 2));
  f.AddArc(1, fst::StdArc(3, 0, -0.5f, 2));
  f.SetFinal(2, 1.5f);
  f.SetInputSymbols(test::make_symbols({"<eps>", "|", "_", "a", "b"}).get());
  f.SetOutputSymbols(test::make_symbols({"<eps>", "|", "_", "A", "B", "C"}).get());
  const std::string path = test::temp_path("d.fst");
  ASSERT_TRUE(f.Write(path));
  const std::string theirs = contents(path);
  std::ofstream(path) << std::string(100000, 'x');
  ASSERT_TRUE(write_fst(f, path));  // over a longer file
  std::string ours = contents(path);
  std::remove(path.c_str());
  ASSERT_EQ(ours.size(), theirs.size());
  std::int64_t arcs;
  std::memcpy(&arcs, &ours[kArcCount], 8);
  EXPECT_EQ(arcs, 3);
  std::memset(&ours[kArcCount], 0, 8);
  EXPECT_EQ(ours, theirs);

  // Failures write nothing, not even OpenFst's complaints.
  testing::internal::CaptureStderr();  // descriptor 2
  EXPECT_FALSE(write_fst(f, test::temp_path("no-such-dir/abc.fst")));
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace tamsu
