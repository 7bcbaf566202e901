// Alignment on lexicons small enough to check by hand.
#include "train/align.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "train_test_util.h"

namespace tamsu {
namespace {

// "word" -> one grapheme per character; "P H" -> phonemes.
EncodedLexicon lexicon_of(
    const std::vector<std::pair<std::string, std::string>> &pairs) {
  const std::vector<LexiconEntry> entries = test::entries_of(pairs);
  auto encoded = encode_lexicon(entries);
  EXPECT_TRUE(encoded.has_value());
  return std::move(encoded).value();
}

// An alignment as "g|g:p|p g:_ ..." for readable comparisons.
std::string render(const EncodedLexicon &lexicon, const AlignmentResult &result,
                   std::size_t entry) {
  std::string text;
  for (std::uint32_t id : result.alignments[entry]) {
    const Chunk &chunk = result.chunks[id];
    if (!text.empty()) text += ' ';
    for (std::size_t i = 0; i < chunk.graphemes.size(); ++i) {
      if (i) text += '|';
      text += lexicon.grapheme_texts[chunk.graphemes[i]];
    }
    text += ':';
    if (chunk.phonemes.empty()) text += '_';
    for (std::size_t i = 0; i < chunk.phonemes.size(); ++i) {
      if (i) text += '|';
      text += lexicon.phoneme_texts[chunk.phonemes[i]];
    }
  }
  return text;
}

AlignmentResult align(const EncodedLexicon &lexicon, AlignOptions options) {
  auto result = align_lexicon(lexicon, options, nullptr);
  EXPECT_TRUE(result.has_value()) << result.error().detail;
  return std::move(result).value();
}

AlignOptions with(unsigned g, unsigned p, unsigned d, unsigned iterations,
                  unsigned threads) {
  AlignOptions options;
  options.max_graphemes = g;
  options.max_phonemes = p;
  options.max_deleted = d;
  options.iterations = iterations;
  options.threads = threads;
  return options;
}

TEST(AlignTest, OneToOneHasASingleSegmentation) {
  const auto lexicon = lexicon_of({{"cat", "K AE T"}, {"tac", "T AE K"}});
  AlignOptions options;
  options.max_graphemes = 1;
  options.max_phonemes = 1;
  options.max_deleted = 0;
  const auto result = align(lexicon, options);
  EXPECT_EQ(render(lexicon, result, 0), "c:K a:AE t:T");
  EXPECT_EQ(render(lexicon, result, 1), "t:T a:AE c:K");
  EXPECT_EQ(result.unaligned, 0u);
}

// "ph" is always F; the only consistent explanation across the lexicon is
// the two-grapheme chunk, while "x" is always two phonemes.
TEST(AlignTest, LearnsManyToOneAndOneToManyChunks) {
  const auto lexicon = lexicon_of({{"phon", "F O N"},
                                   {"graph", "G R A F"},
                                   {"phat", "F A T"},
                                   {"fan", "F A N"},
                                   {"tax", "T A K S"},
                                   {"fox", "F O K S"},
                                   {"ax", "A K S"},
                                   {"hot", "H O T"},
                                   {"pat", "P A T"},
                                   {"rat", "R A T"},
                                   {"tag", "T A G"},
                                   {"gap", "G A P"},
                                   {"pot", "P O T"},
                                   {"top", "T O P"},
                                   {"grin", "G R I N"},
                                   {"trap", "T R A P"}});
  const auto result = align(lexicon, AlignOptions{});
  EXPECT_EQ(render(lexicon, result, 0), "p|h:F o:O n:N");
  EXPECT_EQ(render(lexicon, result, 1), "g:G r:R a:A p|h:F");
  EXPECT_EQ(render(lexicon, result, 5), "f:F o:O x:K|S");
  EXPECT_EQ(render(lexicon, result, 8), "p:P a:A t:T");
}

TEST(AlignTest, SilentGraphemesMapToNothing) {
  const auto lexicon = lexicon_of({{"kat", "K A T"},
                                   {"knat", "N A T"},
                                   {"nat", "N A T"},
                                   {"kan", "K A N"},
                                   {"knot", "N O T"},
                                   {"not", "N O T"}});
  AlignOptions options;
  options.max_graphemes = 1;  // no "kn" chunk: k must be silent
  const auto result = align(lexicon, options);
  EXPECT_EQ(render(lexicon, result, 1), "k:_ n:N a:A t:T");
  EXPECT_EQ(render(lexicon, result, 4), "k:_ n:N o:O t:T");
}

struct UnalignableCase {
  std::string word;
  std::string phonemes;
  unsigned max_graphemes;
  unsigned max_phonemes;
  unsigned max_deleted;
};

class UnalignableTest : public testing::TestWithParam<UnalignableCase> {};

TEST_P(UnalignableTest, IsSkippedAndCounted) {
  const auto &c = GetParam();
  const auto lexicon = lexicon_of({{"ab", "A B"}, {c.word, c.phonemes}});
  AlignOptions options;
  options.max_graphemes = c.max_graphemes;
  options.max_phonemes = c.max_phonemes;
  options.max_deleted = c.max_deleted;
  const auto result = align(lexicon, options);
  EXPECT_EQ(result.unaligned, 1u);
  EXPECT_TRUE(result.alignments[1].empty());
  EXPECT_EQ(render(lexicon, result, 0), "a:A b:B");
}

INSTANTIATE_TEST_SUITE_P(
    Limits, UnalignableTest,
    testing::Values(
        // An abbreviation: one letter, seven phonemes.
        UnalignableCase{"w", "D AH B AH L Y UW", 2, 2, 1},
        // Too many graphemes for the phonemes without deletions.
        UnalignableCase{"abcde", "A", 2, 2, 0},
        // Phonemes that need a wider chunk than allowed.
        UnalignableCase{"x", "K S", 1, 1, 1},
        // An entry without phonemes.
        UnalignableCase{"a", "", 2, 2, 1}));

TEST(AlignTest, NothingAlignableIsAnError) {
  const auto lexicon = lexicon_of({{"w", "D AH B AH L Y UW"}});
  auto result = align_lexicon(lexicon, AlignOptions{}, nullptr);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, TrainError::Kind::kNothingAligned);
}

class BadAlignOptionsTest : public testing::TestWithParam<AlignOptions> {};

TEST_P(BadAlignOptionsTest, AreRejected) {
  const auto lexicon = lexicon_of({{"ab", "A B"}});
  auto result = align_lexicon(lexicon, GetParam(), nullptr);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, TrainError::Kind::kInvalidOptions);
}

INSTANTIATE_TEST_SUITE_P(Options, BadAlignOptionsTest,
                         testing::Values(with(0, 2, 0, 5, 1),
                                         with(2, 0, 1, 5, 1),
                                         with(9, 2, 1, 5, 1),
                                         with(1, 2, 2, 5, 1),
                                         with(2, 2, 1, 0, 1),
                                         with(2, 2, 1, 5, 0)));

// Long entries multiply hundreds of small probabilities; scaling must keep
// them from underflowing to "unalignable".
TEST(AlignTest, LongEntriesStayAlignable) {
  std::string word, phonemes;
  for (int i = 0; i < 400; ++i) {
    word += static_cast<char>('a' + i % 26);
    phonemes += std::string(1, static_cast<char>('A' + i % 26)) + " ";
  }
  const auto lexicon = lexicon_of({{word, phonemes}, {"ab", "A B"}});
  // One segmentation whose probability, about 27^-400, underflows a double.
  const auto result = align(lexicon, with(1, 1, 0, 5, 1));
  EXPECT_EQ(result.unaligned, 0u);
  EXPECT_EQ(result.alignments[0].size(), 400u);
}

class ThreadsTest : public testing::TestWithParam<unsigned> {};

TEST_P(ThreadsTest, GiveTheSameAlignmentsAsOneThread) {
  std::vector<std::pair<std::string, std::string>> pairs;
  const char *stems[] = {"phon", "tax", "knot", "cat", "shop", "fox"};
  const char *prons[] = {"F O N", "T A K S", "N O T", "K A T", "SH O P",
                         "F O K S"};
  for (int i = 0; i < 3000; ++i) pairs.emplace_back(stems[i % 6], prons[i % 6]);
  const auto lexicon = lexicon_of(pairs);
  AlignOptions one;
  AlignOptions many;
  many.threads = GetParam();
  const auto a = align(lexicon, one), b = align(lexicon, many);
  for (std::size_t e = 0; e < pairs.size(); ++e) {
    ASSERT_EQ(render(lexicon, a, e), render(lexicon, b, e)) << e;
  }
}

INSTANTIATE_TEST_SUITE_P(Counts, ThreadsTest, testing::Values(2u, 3u));

TEST(AlignTest, ProgressCanCancel) {
  const auto lexicon = lexicon_of({{"ab", "A B"}});
  auto result = align_lexicon(lexicon, AlignOptions{},
                              [](const Progress &) { return false; });
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(result.error().kind, TrainError::Kind::kCancelled);
}

class ReservedSymbolTest
    : public testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(ReservedSymbolTest, IsRejectedByTheEncoder) {
  const auto &[grapheme, phoneme] = GetParam();
  auto encoded = encode_lexicon({LexiconEntry{{"a", grapheme}, {"A", phoneme}}});
  ASSERT_FALSE(encoded.has_value());
  EXPECT_EQ(encoded.error().kind, TrainError::Kind::kInvalidSymbol);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, ReservedSymbolTest,
    testing::Values(std::make_pair("|", "B"), std::make_pair("a|b", "B"),
                    std::make_pair("", "B"), std::make_pair("<eps>", "B"),
                    std::make_pair("b", "_"), std::make_pair("b", "|"),
                    std::make_pair("b", "<eps>"), std::make_pair("b", "")));

}  // namespace
}  // namespace tamsu
