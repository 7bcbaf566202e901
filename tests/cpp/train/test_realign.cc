// Re-segmentation under the joint n-gram, and the n-gram read as an
// automaton over histories that it walks.
#include "train/realign.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tamsu {
namespace {

NgramModel estimate(const std::vector<Sentence> &sentences, Token vocabulary,
                    NgramOptions options) {
  auto model = estimate_ngrams(sentences, vocabulary, options, nullptr);
  EXPECT_TRUE(model.has_value()) << model.error().detail;
  return std::move(model).value();
}

// Walking the states must score every sentence exactly as the backoff
// model does with the whole history in hand, pruned or not.
class AutomatonTest : public ::testing::TestWithParam<std::uint64_t> {};

TEST_P(AutomatonTest, StatesScoreAsTheFullHistory) {
  const std::vector<Sentence> corpus = {
      {0, 1, 2}, {0, 1, 2, 0, 1}, {2, 1, 0}, {1, 1, 1, 2}, {0, 2, 0, 2},
      {2, 2, 0, 1}, {1, 0, 1, 0}, {0, 1, 2}, {2, 0}};
  const NgramModel model = estimate(corpus, 3, NgramOptions{4, GetParam(), 0});
  const std::vector<char> states = history_states(model);
  const std::vector<Sentence> probes = {{0, 1, 2, 0, 1}, {2, 2, 2, 2}, {1, 0}};
  for (const Sentence &probe : probes) {
    Sentence history = {model.start_token()};
    std::uint32_t state = start_history(model, states);
    Sentence tokens = probe;
    tokens.push_back(model.end_token());
    for (Token token : tokens) {
      EXPECT_NEAR(log_probability_at(model, state, token),
                  log_probability(model, history, token), 1e-12);
      if (token == model.end_token()) break;
      state = next_history(model, states, state, token);
      ASSERT_TRUE(states[state]);
      EXPECT_LT(model.nodes[state].length, model.order);
      history.push_back(token);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Pruning, AutomatonTest,
                         ::testing::Values(0u, 12u, 20u));

// The word "aa" said "A": tokens 0 = a:A and 1 = a:_. The corpus says "a:A
// then a:_" three times and the other way once; a bigram model moves the
// one reversed entry to the common order, a unigram model cannot tell the
// two apart and keeps it.
TEST(RealignTest, FollowsTheHistoryTheModelSaw) {
  EncodedLexicon lexicon;
  lexicon.grapheme_texts = {"a"};
  lexicon.phoneme_texts = {"A"};
  lexicon.graphemes = {{0, 0}, {0, 0}};
  lexicon.phonemes = {{0}, {}};
  const std::vector<Chunk> tokens = {{{0}, {0}}, {{0}, {}}};
  AlignOptions options;
  options.max_graphemes = 1;
  const std::vector<Sentence> corpus = {{0, 1}, {0, 1}, {0, 1}, {1, 0}};

  std::vector<Sentence> sentences = {{1, 0}, {}};
  EXPECT_EQ(realign_entries(lexicon, options, tokens,
                            estimate(corpus, 2, NgramOptions{2, 0, 0}),
                            sentences),
            1u);
  EXPECT_EQ(sentences[0], (Sentence{0, 1}));
  EXPECT_TRUE(sentences[1].empty());  // unaligned stays unaligned

  sentences = {{1, 0}, {}};
  EXPECT_EQ(realign_entries(lexicon, options, tokens,
                            estimate(corpus, 2, NgramOptions{1, 0, 0}),
                            sentences),
            0u);
  EXPECT_EQ(sentences[0], (Sentence{1, 0}));
}

// A chunk that is no token is never proposed, even when the shapes allow
// it: "ab" said "A B" with only a:A|B and b:_ as tokens keeps that split.
TEST(RealignTest, UsesOnlyTokens) {
  EncodedLexicon lexicon;
  lexicon.grapheme_texts = {"a", "b"};
  lexicon.phoneme_texts = {"A", "B"};
  lexicon.graphemes = {{0, 1}};
  lexicon.phonemes = {{0, 1}};
  const std::vector<Chunk> tokens = {{{0}, {0, 1}}, {{1}, {}}};
  AlignOptions options;
  options.max_graphemes = 2;
  std::vector<Sentence> sentences = {{0, 1}};
  EXPECT_EQ(realign_entries(lexicon, options, tokens,
                            estimate({{0, 1}}, 2, NgramOptions{3, 0, 0}),
                            sentences),
            0u);
  EXPECT_EQ(sentences[0], (Sentence{0, 1}));
}

}  // namespace
}  // namespace tamsu
