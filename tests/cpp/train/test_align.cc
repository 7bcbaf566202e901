// Alignment on lexicons small enough to check by hand.
#include "train/align.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "train_test_util.h"

namespace tamsu {
namespace {

EncodedLexicon lexicon_of(
    const std::vector<std::pair<std::string, std::string>> &pairs) {
  auto encoded = encode_lexicon(test::entries_of(pairs));
  EXPECT_TRUE(encoded.has_value());
  return std::move(encoded).value();
}

AlignOptions with(unsigned g, unsigned p, unsigned d, unsigned iterations = 12,
                  unsigned threads = 1) {
  AlignOptions options;
  options.max_graphemes = g;
  options.max_phonemes = p;
  options.max_deleted = d;
  options.iterations = iterations;
  options.threads = threads;
  return options;
}

// The alignment of every entry as "g|g:p|p g:_ ...".
std::vector<std::string> align(const EncodedLexicon &lexicon,
                               const AlignOptions &options,
                               std::size_t *unaligned = nullptr) {
  auto result = align_lexicon(lexicon, options, nullptr);
  EXPECT_TRUE(result.has_value()) << result.error().detail;
  std::vector<std::string> texts;
  for (const auto &alignment : result->alignments) {
    std::string text;
    for (std::uint32_t id : alignment) {
      const Chunk &chunk = result->chunks[id];
      if (!text.empty()) text += ' ';
      for (std::size_t i = 0; i < chunk.graphemes.size(); ++i) {
        text += (i ? "|" : "") + lexicon.grapheme_texts[chunk.graphemes[i]];
      }
      text += ':';
      if (chunk.phonemes.empty()) text += '_';
      for (std::size_t i = 0; i < chunk.phonemes.size(); ++i) {
        text += (i ? "|" : "") + lexicon.phoneme_texts[chunk.phonemes[i]];
      }
    }
    texts.push_back(text);
  }
  if (unaligned) *unaligned = result->unaligned;
  return texts;
}

// "ph" is always F and "x" always K S: the only consistent explanation
// across the lexicon uses the two-grapheme and the two-phoneme chunk.
TEST(Align, LearnsManyToOneAndOneToManyChunks) {
  const auto lexicon = lexicon_of(
      {{"phon", "F O N"}, {"graph", "G R A F"}, {"phat", "F A T"},
       {"fan", "F A N"},  {"tax", "T A K S"},   {"fox", "F O K S"},
       {"ax", "A K S"},   {"hot", "H O T"},     {"pat", "P A T"},
       {"rat", "R A T"},  {"tag", "T A G"},     {"gap", "G A P"},
       {"pot", "P O T"},  {"top", "T O P"},     {"grin", "G R I N"},
       {"trap", "T R A P"}});
  const auto texts = align(lexicon, AlignOptions{});
  EXPECT_EQ(texts[0], "p|h:F o:O n:N");
  EXPECT_EQ(texts[1], "g:G r:R a:A p|h:F");
  EXPECT_EQ(texts[5], "f:F o:O x:K|S");
  EXPECT_EQ(texts[8], "p:P a:A t:T");
}

TEST(Align, SilentGraphemesMapToNothing) {
  const auto lexicon =
      lexicon_of({{"kat", "K A T"}, {"knat", "N A T"}, {"nat", "N A T"},
                  {"kan", "K A N"}, {"knot", "N O T"}, {"not", "N O T"}});
  const auto texts = align(lexicon, with(1, 2, 1));  // no "kn" chunk
  EXPECT_EQ(texts[1], "k:_ n:N a:A t:T");
  EXPECT_EQ(texts[4], "k:_ n:N o:O t:T");
}

TEST(Align, UnalignableEntriesAreSkippedAndCounted) {
  for (const auto &[word, phonemes, options] :
       {std::tuple{"w", "D AH B AH L Y UW", with(2, 2, 1)},
        {"abcde", "A", with(2, 2, 0)}, {"x", "K S", with(1, 1, 1)},
        {"a", "", with(2, 2, 1)}}) {
    std::size_t unaligned = 0;
    const auto texts =
        align(lexicon_of({{"ab", "A B"}, {word, phonemes}}), options, &unaligned);
    EXPECT_EQ(unaligned, 1u) << word;
    EXPECT_EQ(texts, (std::vector<std::string>{"a:A b:B", ""})) << word;
  }
}

TEST(Align, FailuresAreErrorValues) {
  const auto lexicon = lexicon_of({{"w", "D AH B AH L Y UW"}});
  auto result = align_lexicon(lexicon, AlignOptions{}, nullptr);
  EXPECT_EQ(result.error().kind, TrainError::Kind::kNothingAligned);
  result = align_lexicon(lexicon_of({{"ab", "A B"}}), AlignOptions{},
                         [](const Progress &) { return false; });
  EXPECT_EQ(result.error().kind, TrainError::Kind::kCancelled);
  for (const auto &options : {with(0, 2, 0), with(2, 0, 1), with(9, 2, 1),
                              with(1, 2, 2), with(2, 2, 1, 0), with(2, 2, 1, 5, 0)}) {
    result = align_lexicon(lexicon, options, nullptr);
    EXPECT_EQ(result.error().kind, TrainError::Kind::kInvalidOptions);
  }
  for (const auto &[grapheme, phoneme] :
       {std::pair{"a|b", "B"}, {"", "B"}, {"<eps>", "B"}, {"b", "_"}, {"b", ""}}) {
    auto encoded = encode_lexicon({LexiconEntry{{"a", grapheme}, {"A", phoneme}}});
    EXPECT_EQ(encoded.error().kind, TrainError::Kind::kInvalidSymbol) << grapheme;
  }
}

// Long entries multiply hundreds of small probabilities (about 27^-400
// here); scaling must keep them from underflowing to "unalignable".
TEST(Align, LongEntriesStayAlignable) {
  std::string word, phonemes;
  for (int i = 0; i < 400; ++i) {
    word += static_cast<char>('a' + i % 26);
    phonemes += std::string(1, static_cast<char>('A' + i % 26)) + " ";
  }
  std::size_t unaligned = 1;
  align(lexicon_of({{word, phonemes}, {"ab", "A B"}}), with(1, 1, 0), &unaligned);
  EXPECT_EQ(unaligned, 0u);
}

// A model trained on a 2-core machine and on a 16-core one must be the
// same file: bitwise, as any difference could flip a tie or the stopping
// test. Enough entries for four threads of 1,024 each.
TEST(Align, SameResultForEveryThreadCount) {
  const std::vector<std::pair<std::string, std::string>> words = {
      {"phone", "F OW N"}, {"fox", "F AA K S"}, {"tax", "T AE K S"},
      {"knot", "N AA T"}, {"photo", "F OW T OW"}, {"cone", "K OW N"},
      {"graph", "G R AE F"}, {"tic", "T IH K"}, {"nap", "N AE P"},
      {"cat", "K AE T"}, {"axe", "AE K S"}, {"pin", "P IH N"}};
  std::vector<std::pair<std::string, std::string>> pairs;
  for (int i = 0; pairs.size() < 4200; ++i) {
    pairs.push_back(words[(i * 7 + i / 12) % words.size()]);
  }
  const auto lexicon = lexicon_of(pairs);
  AlignOptions options = with(2, 2, 1, 6);
  options.tolerance = 0.0;
  std::vector<AlignmentResult> results;
  for (unsigned threads : {1u, 2u, 3u, 4u}) {
    options.threads = threads;
    auto result = align_lexicon(lexicon, options, nullptr);
    ASSERT_TRUE(result.has_value());
    results.push_back(std::move(result).value());
  }
  for (std::size_t i = 1; i < results.size(); ++i) {
    EXPECT_EQ(results[i].probabilities, results[0].probabilities) << i;
    EXPECT_EQ(results[i].log_likelihoods, results[0].log_likelihoods) << i;
    EXPECT_EQ(results[i].alignments, results[0].alignments) << i;
  }
}

}  // namespace
}  // namespace tamsu
