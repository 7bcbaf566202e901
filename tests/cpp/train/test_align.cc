// Alignment on lexicons small enough to check by hand.
#include "train/align.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "train_test_util.h"

namespace tamsu {
namespace {

EncodedLexicon lexicon_of(const test::Pairs &pairs) {
  auto encoded = encode_lexicon(test::entries_of(pairs));
  EXPECT_TRUE(encoded.has_value());
  return std::move(encoded).value();
}

AlignOptions with(unsigned g, unsigned p, unsigned d, unsigned iterations = 12) {
  AlignOptions o;
  o.max_graphemes = g, o.max_phonemes = p, o.max_deleted = d;
  o.iterations = iterations, o.threads = 1;
  return o;
}

// Chunk texts joined by "|", or "_" for no text.
std::string joined(const LabelList &ids,
                   const std::vector<std::string> &texts) {
  std::string text = ids.empty() ? "_" : "";
  for (auto id : ids) text += (text.empty() ? "" : "|") + texts[id];
  return text;
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
      text += (text.empty() ? "" : " ") + joined(chunk.graphemes, lexicon.grapheme_texts) +
              ":" + joined(chunk.phonemes, lexicon.phoneme_texts);
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
  EXPECT_EQ(texts[1] + ", " + texts[5], "g:G r:R a:A p|h:F, f:F o:O x:K|S");
}

TEST(Align, SilentGraphemesMapToNothing) {
  const auto lexicon =
      lexicon_of({{"kat", "K A T"}, {"knat", "N A T"}, {"nat", "N A T"},
                  {"kan", "K A N"}, {"knot", "N O T"}, {"not", "N O T"}});
  EXPECT_EQ(align(lexicon, with(1, 2, 1))[1], "k:_ n:N a:A t:T");  // no "kn"
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
  const test::Pairs words = {
      {"phone", "F OW N"}, {"fox", "F AA K S"}, {"tax", "T AE K S"},
      {"knot", "N AA T"}, {"photo", "F OW T OW"}, {"cone", "K OW N"},
      {"graph", "G R AE F"}, {"tic", "T IH K"}, {"nap", "N AE P"},
      {"cat", "K AE T"}, {"axe", "AE K S"}, {"pin", "P IH N"}};
  test::Pairs pairs;
  for (int i = 0; pairs.size() < 4200; ++i) {
    pairs.push_back(words[(i * 7 + i / 12) % words.size()]);
  }
  const auto lexicon = lexicon_of(pairs);
  AlignOptions options = with(2, 2, 1, 6);
  options.tolerance = 0.0;
  const auto one = align_lexicon(lexicon, options, nullptr);
  for (unsigned threads : {2u, 3u, 4u}) {
    options.threads = threads;
    const auto many = align_lexicon(lexicon, options, nullptr);
    EXPECT_EQ(many->probabilities, one->probabilities) << threads;
    EXPECT_EQ(many->log_likelihoods, one->log_likelihoods) << threads;
    EXPECT_EQ(many->alignments, one->alignments) << threads;
  }
}

}  // namespace
}  // namespace tamsu
