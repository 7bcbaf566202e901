// The alignment's result does not depend on how many threads share the
// E-step: a model trained on a 2-core machine and on a 16-core one must
// be the same file.
#include "train/align.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "train_test_util.h"

namespace tamsu {
namespace {

TEST(AlignThreadsTest, SameResultForEveryThreadCount) {
  // Enough entries for four threads of 1,024 each, and varied enough that
  // the posteriors are far from round numbers.
  const std::vector<std::pair<std::string, std::string>> words = {
      {"phone", "F OW N"}, {"fox", "F AA K S"}, {"tax", "T AE K S"},
      {"knot", "N AA T"}, {"photo", "F OW T OW"}, {"cone", "K OW N"},
      {"graph", "G R AE F"}, {"tic", "T IH K"}, {"nap", "N AE P"},
      {"cat", "K AE T"}, {"axe", "AE K S"}, {"pin", "P IH N"}};
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int i = 0; pairs.size() < 4200; ++i) {
    pairs.push_back(words[(i * 7 + i / 12) % words.size()]);
  }
  auto lexicon = encode_lexicon(test::entries_of(pairs));
  ASSERT_TRUE(lexicon.has_value());
  AlignOptions options;
  options.iterations = 6;
  options.tolerance = 0.0;
  std::vector<AlignmentResult> results;
  for (unsigned threads : {1u, 2u, 3u, 4u}) {
    options.threads = threads;
    auto result = align_lexicon(*lexicon, options, nullptr);
    ASSERT_TRUE(result.has_value());
    results.push_back(std::move(result).value());
  }
  for (std::size_t i = 1; i < results.size(); ++i) {
    // Bitwise: any difference could flip a tie or the stopping test.
    EXPECT_EQ(results[i].probabilities, results[0].probabilities) << i;
    EXPECT_EQ(results[i].log_likelihoods, results[0].log_likelihoods) << i;
    EXPECT_EQ(results[i].alignments, results[0].alignments) << i;
  }
}

}  // namespace
}  // namespace tamsu
