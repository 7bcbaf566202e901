// Joint-sequence n-gram estimation: counting, interpolated modified
// Kneser-Ney smoothing held in backoff form, and relative-entropy pruning.
#ifndef TAMSU_TRAIN_NGRAM_H_
#define TAMSU_TRAIN_NGRAM_H_

#include <array>
#include <cstdint>
#include <limits>
#include <vector>

#include "base/expected.h"
#include "train/progress.h"
#include "train/train_error.h"

namespace tamsu {

using Token = std::uint32_t;
using Sentence = std::vector<Token>;

inline constexpr std::uint32_t kNoNode =
    std::numeric_limits<std::uint32_t>::max();

struct NgramOptions {
  // Longest n-gram, 1..32; chosen by measurement on a development split
  // of the CMU dictionary.
  unsigned order = 7;
  // Relative-entropy pruning (Stolcke 1998) of n-grams of order two and
  // up. max_ngrams > 0 keeps at most that many n-grams in all, unigrams
  // included (never fewer than the unigrams). prune_threshold > 0 drops
  // every n-gram whose removal costs less than that many nats of
  // weighted relative entropy. Both may be set; 0 switches each off.
  std::uint64_t max_ngrams = 0;
  double prune_threshold = 0.0;
};

// A backoff model over the tokens 0 .. vocabulary - 1, an end-of-sentence
// token and a start token that is only ever a history. One trie node per
// n-gram seen; node 0 is the empty history.
struct NgramModel {
  struct Node {
    std::uint32_t parent = kNoNode;  // the history: all tokens but the last
    std::uint32_t suffix = kNoNode;  // the same n-gram without its first token
    std::uint32_t first_child = 0;   // index into `children`
    std::uint32_t child_count = 0;
    Token token = 0;                 // the last token
    std::uint32_t length = 0;        // tokens in the n-gram; 0 for the root
    bool kept = true;                // false once pruned
    double log_prob = 0.0;   // ln p(token | parent's n-gram)
    double log_backoff = 0.0;  // ln of this n-gram's weight as a history
  };

  unsigned order = 0;
  Token vocabulary = 0;
  std::vector<Node> nodes;
  std::vector<std::uint32_t> children;  // per parent, sorted by token
  // Modified Kneser-Ney discounts D1, D2, D3+ per order (index 0: order 1).
  std::vector<std::array<double, 3>> discounts;
  std::vector<std::uint64_t> kept_per_order;  // index 0: order 1

  Token end_token() const { return vocabulary; }
  Token start_token() const { return vocabulary + 1; }
};

// Counts every n-gram of each sentence padded as <s> tokens </s> and
// smooths with interpolated modified Kneser-Ney (continuation counts below
// the top order, except for n-grams that start with <s>; discounts from
// count-of-counts; the unigram level interpolates with the uniform
// distribution over the vocabulary and </s>). Then prunes as `options`
// ask. kInvalidOptions for an order out of range or a token outside the
// vocabulary; kNoEntries when there are no sentences; kCancelled when
// `progress` returns false.
Expected<NgramModel, TrainError> estimate_ngrams(
    const std::vector<Sentence> &sentences, Token vocabulary,
    const NgramOptions &options, const ProgressFn &progress);

// The kept child of `node` for `token`, or kNoNode.
std::uint32_t find_child(const NgramModel &model, std::uint32_t node,
                         Token token);

// ln p(token | history) under the backoff model, where `history` is the
// list of earlier tokens (it may begin with the start token). The token
// must be a regular token or the end token.
double log_probability(const NgramModel &model, const Sentence &history,
                       Token token);

}  // namespace tamsu

#endif  // TAMSU_TRAIN_NGRAM_H_
