// Alignment and Kneser-Ney estimation on lexicons and corpora small enough
// to check by hand.
#include "train/align.h"

#include <cmath>
#include <numeric>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "train/ngram.h"
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

// Kneser-Ney estimation and pruning.

NgramModel estimate(const std::vector<Sentence> &sentences, Token vocabulary,
                    NgramOptions options) {
  auto model = estimate_ngrams(sentences, vocabulary, options, nullptr);
  EXPECT_TRUE(model.has_value()) << model.error().detail;
  return std::move(model).value();
}

double p(const NgramModel &model, const Sentence &history, Token token) {
  return std::exp(log_probability(model, history, token));
}

// Tokens a = 0, b = 1; </s> = 2, <s> = 3. Corpus "<s> a b </s>",
// "<s> a </s>", order 2.
//   Bigram counts: <s>a 2, ab 1, b</s> 1, a</s> 1 -> n1 = 3, n2 = 1, so
//   Y = 3/5, D1 = 1 - 2 Y n2/n1 = 0.6; D2 falls back to 1.0 (n3 = 0).
//   Unigram continuation counts: a 1 (<s>), b 1 (a), </s> 2 (a, b):
//   n1 = 2, n2 = 1, Y = 1/2, D1 = 0.5, D2 = 1.0.
//   Root: total 4, gamma = (0.5 * 2 + 1.0 * 1) / 4 = 0.5, uniform 1/3:
//   p(a) = p(b) = 0.5/4 + 0.5/3 = 0.291667, p(</s>) = 1/4 + 0.5/3.
//   History a: total 2, gamma = 0.6 * 2 / 2 = 0.6:
//   p(b|a) = 0.4/2 + 0.6 p(b) = 0.375, p(</s>|a) = 0.2 + 0.6 p(</s>) = 0.45.
//   History <s>: total 2, gamma = 1.0 / 2 = 0.5, p(a|<s>) = 0.5 + 0.5 p(a).
TEST(NgramTest, WorkedExample) {
  const NgramModel model = estimate({{0, 1}, {0}}, 2, NgramOptions{2, 0, 0.0});
  const Token a = 0, b = 1, end = model.end_token(), start = model.start_token();
  const double pa = 0.125 + 0.5 / 3, pend = 0.25 + 0.5 / 3;
  EXPECT_NEAR(p(model, {}, b), pa, 1e-12);
  EXPECT_NEAR(p(model, {}, end), pend, 1e-12);
  EXPECT_NEAR(p(model, {a}, b), 0.375, 1e-12);
  EXPECT_NEAR(p(model, {a}, end), 0.45, 1e-12);
  EXPECT_NEAR(p(model, {start}, a), 0.5 + 0.5 * pa, 1e-12);
  // Unseen continuations back off with the history's weight.
  EXPECT_NEAR(p(model, {a}, a), 0.6 * pa, 1e-12);
  EXPECT_NEAR(p(model, {start}, end), 0.5 * pend, 1e-12);
}

// "a b" three times and "a" once: c(a b) = 3 takes the third discount,
// c(a </s>) = 1 the first (no count of 2: the defaults 0.5, 1.0, 1.5).
TEST(NgramTest, CountsOfThreeTakeTheThirdDiscount) {
  const NgramModel model =
      estimate({{0, 1}, {0, 1}, {0, 1}, {0}}, 2, NgramOptions{2, 0, 0.0});
  const auto &d = model.discounts[1];
  ASSERT_NE(d[2], d[1]);
  const double backoff =
      std::exp(model.nodes[find_child(model, 0, 0)].log_backoff);
  EXPECT_NEAR(backoff, (d[2] + d[0]) / 4, 1e-12);
  EXPECT_NEAR(p(model, {0}, 1) - backoff * p(model, {}, 1), (3 - d[2]) / 4,
              1e-12);
}

// A corpus with repeated and varied n-grams, so that every discount class
// occurs.
std::vector<Sentence> corpus() {
  std::vector<Sentence> sentences;
  for (Token i = 0; i < 40; ++i) {
    Sentence s;
    for (Token j = 0; j < 3 + i % 5; ++j) s.push_back((i * 7 + j * j * 3) % 6);
    sentences.push_back(s);
    if (i % 3 == 0) sentences.push_back(s);
  }
  return sentences;
}

// Every history of up to order - 1 tokens, seen or not, optionally
// after <s>.
std::vector<Sentence> histories(const NgramModel &model, unsigned order) {
  std::vector<Sentence> found = {{}};
  for (std::size_t k = 0; k < found.size(); ++k) {
    const Sentence h = found[k];
    if (h.size() + 1 >= order || (!h.empty() && h[0] == model.start_token())) continue;
    for (Token t = 0; t <= model.start_token(); ++t) {
      if (t == model.end_token()) continue;
      found.push_back(h);
      found.back().insert(found.back().begin(), t);
    }
  }
  return found;
}

TEST(NgramTest, EveryHistoryDistributesAllMass) {
  for (const auto &[order, max_ngrams] :
       {std::pair{1u, 0ul}, {3u, 0ul}, {5u, 0ul}, {5u, 30ul}}) {
    const NgramModel model =
        estimate(corpus(), 6, NgramOptions{order, max_ngrams, 0.0});
    for (const Sentence &history : histories(model, order)) {
      double sum = 0.0;
      for (Token t = 0; t <= model.end_token(); ++t) sum += p(model, history, t);
      EXPECT_NEAR(sum, 1.0, 1e-9) << order << " " << history.size();
    }
    if (max_ngrams > 0) {
      EXPECT_LE(std::accumulate(model.kept_per_order.begin(),
                                model.kept_per_order.end(), 0ul), max_ngrams);
    }
  }
}

}  // namespace
}  // namespace tamsu
