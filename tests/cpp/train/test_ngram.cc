// Kneser-Ney estimation and pruning on corpora small enough to work out by
// hand.
#include "train/ngram.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numeric>

namespace tamsu {
namespace {

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
//   History b: gamma = 0.6, p(</s>|b) = 0.4 + 0.6 p(</s>) = 0.65.
TEST(NgramTest, WorkedExample) {
  const NgramModel model = estimate({{0, 1}, {0}}, 2, NgramOptions{2, 0, 0.0});
  const Token a = 0, b = 1, end = model.end_token(), start = model.start_token();
  const double pa = 0.125 + 0.5 / 3, pend = 0.25 + 0.5 / 3;
  EXPECT_NEAR(p(model, {}, b), pa, 1e-12);
  EXPECT_NEAR(p(model, {}, end), pend, 1e-12);
  EXPECT_NEAR(p(model, {a}, b), 0.375, 1e-12);
  EXPECT_NEAR(p(model, {a}, end), 0.45, 1e-12);
  EXPECT_NEAR(p(model, {start}, a), 0.5 + 0.5 * pa, 1e-12);
  EXPECT_NEAR(p(model, {b}, end), 0.65, 1e-12);
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
