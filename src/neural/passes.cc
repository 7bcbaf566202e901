// Compiled once for any processor and, where passes_avx2.cc is built, once
// more for AVX2 and FMA (see passes.h): everything here lives in the
// namespace TAMSU_NEURAL_KERNEL names.
#include "neural/passes.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>
#include <utility>

#include "neural/lstm.h"
#include "neural/transformer.h"

namespace tamsu::TAMSU_NEURAL_KERNEL {
namespace {

// The two networks as the passes drive them: the words encoded once, the
// decoder states of a batch of hypotheses, one step for them, their states
// gathered by parent (for `steps` steps so far), and a scoring pass's
// prefix rows.
struct TransformerNetwork {
  using Encoded = EncodedWords;
  using State = DecoderCache;
  using Scratch = DecoderScratch;
  static Encoded encode(const NeuralModel &model,
                        const std::vector<LabelList> &words) {
    return tamsu::TAMSU_NEURAL_KERNEL::encode(model, words);
  }
  static State start(const NeuralModel &model, std::size_t rows) {
    return make_decoder_cache(model, rows, 8);
  }
  static void step(const NeuralModel &model, const Encoded &words,
                   const LabelList &tokens,
                   const std::vector<std::size_t> &word_of, std::size_t step,
                   State &state, Scratch &scratch, Matrix &log_probs) {
    decode_step(model, words, tokens, word_of, step, state, scratch,
                log_probs);
  }
  static void gather(const NeuralModel &model, const State &from,
                     const std::vector<std::size_t> &parents,
                     std::size_t steps, State &to) {
    gather_cache(model, from, parents, steps, to);
  }
  static void prefixes(const NeuralModel &model, const Encoded &words,
                       const PrefixRows &rows, Scratch &scratch,
                       Matrix &log_probs) {
    decode_prefixes(model, words, rows, scratch, log_probs);
  }
};

// An LSTM's state is its last step's alone: it needs no step count.
struct LstmNetwork {
  using Encoded = LstmEncoded;
  using State = LstmState;
  using Scratch = LstmScratch;
  static Encoded encode(const NeuralModel &model,
                        const std::vector<LabelList> &words) {
    return lstm_encode(model, words);
  }
  static State start(const NeuralModel &model, std::size_t rows) {
    return lstm_start(model, rows);
  }
  static void step(const NeuralModel &model, const Encoded &words,
                   const LabelList &tokens,
                   const std::vector<std::size_t> &word_of, std::size_t,
                   State &state, Scratch &scratch, Matrix &log_probs) {
    lstm_step(model, words, tokens, word_of, state, scratch, log_probs);
  }
  static void gather(const NeuralModel &, const State &from,
                     const std::vector<std::size_t> &parents, std::size_t,
                     State &to) {
    lstm_gather(from, parents, to);
  }
  static void prefixes(const NeuralModel &model, const Encoded &words,
                       const PrefixRows &rows, Scratch &scratch,
                       Matrix &log_probs) {
    lstm_prefixes(model, words, rows, scratch, log_probs);
  }
};

// Input ids in the order the model reads them.
LabelList model_order(const NeuralModel &model, LabelList ids) {
  if (model.direction == Direction::kRightToLeft) {
    std::reverse(ids.begin(), ids.end());
  }
  return ids;
}

struct Hypothesis {
  LabelList phonemes;
  double score;
  std::size_t row;  // its row in the step's batch (its parent's, when new)
};

struct Candidate {
  double score;
  std::size_t hypothesis;
  Label phoneme;
};

// Better first; equal scores in (hypothesis, phoneme) order.
bool better(const Candidate &a, const Candidate &b) {
  return std::tie(b.score, a.hypothesis, a.phoneme) <
         std::tie(a.score, b.hypothesis, b.phoneme);
}

// One word's beam search.
struct WordSearch {
  std::size_t max_length;
  std::vector<Hypothesis> alive;
  std::vector<NeuralPath> finished;
};

// Extends `search`'s hypotheses by their rows of `log_probs`; false once
// the search is over.
bool advance(WordSearch &search, const Matrix &log_probs, std::size_t step,
             std::size_t beam, std::size_t nbest, Label num_phonemes,
             std::vector<Candidate> &candidates) {
  const std::vector<Hypothesis> &alive = search.alive;
  candidates.clear();
  // A score that is not finite never reaches an answer (the loader's
  // weight bound keeps them finite; this keeps a NaN out of the ranking).
  const auto consider = [&](double score, std::size_t b, Label p) {
    if (std::isfinite(score)) candidates.push_back({score, b, p});
  };
  for (std::size_t b = 0; b < alive.size(); ++b) {
    const auto row = static_cast<Eigen::Index>(alive[b].row);
    consider(alive[b].score + log_probs(row, kEndPhoneme), b, kEndPhoneme);
    // At the length limit only the end remains.
    if (step == search.max_length) continue;
    for (Label p = kFirstPhoneme; p < num_phonemes; ++p) {
      consider(alive[b].score + log_probs(row, p), b, p);
    }
  }
  const std::size_t keep = std::min(candidates.size(), 2 * beam);
  std::partial_sort(candidates.begin(), candidates.begin() + keep,
                    candidates.end(), better);

  // The best `beam` continuations go on; an end among the best `beam`
  // candidates finishes its hypothesis.
  std::vector<Hypothesis> next;
  for (std::size_t rank = 0; rank < keep && next.size() < beam; ++rank) {
    const Candidate &c = candidates[rank];
    const Hypothesis &from = alive[c.hypothesis];
    if (c.phoneme == kEndPhoneme) {
      if (rank < beam) search.finished.push_back({from.phonemes, c.score});
      continue;
    }
    next.push_back({from.phonemes, c.score, from.row});
    next.back().phonemes.push_back(c.phoneme);
  }
  search.alive = std::move(next);
  if (search.alive.empty()) return false;

  // Scores only fall as a hypothesis grows: once the nbest-th finished
  // one beats every live one, nothing can overtake it.
  if (search.finished.size() >= nbest) {
    std::vector<double> scores;
    for (const NeuralPath &p : search.finished) {
      scores.push_back(p.log_probability);
    }
    std::nth_element(scores.begin(), scores.begin() + (nbest - 1),
                     scores.end(), std::greater<double>());
    if (search.alive.front().score <= scores[nbest - 1]) return false;
  }
  return true;
}

// The n best finished paths, best first, in reading order.
std::vector<NeuralPath> best_paths(const NeuralModel &model,
                                   std::vector<NeuralPath> finished,
                                   std::size_t nbest) {
  std::stable_sort(finished.begin(), finished.end(),
                   [](const NeuralPath &a, const NeuralPath &b) {
                     return a.log_probability > b.log_probability;
                   });
  if (finished.size() > nbest) finished.resize(nbest);
  if (model.direction == Direction::kRightToLeft) {
    for (NeuralPath &p : finished) {
      std::reverse(p.phonemes.begin(), p.phonemes.end());
    }
  }
  return finished;
}

// The candidates of a scoring pass as one tree of prefixes per word: a
// prefix shared by several candidates is decoded once, which the n-best
// lists of one word mostly are.
struct PrefixNode {
  Label token;    // its last phoneme (<s> at a root)
  std::size_t word;   // the pass's word
  double score;   // log-probability of the prefix
  std::size_t row;    // its row in its step's batch
  std::vector<std::size_t> children;
};

// Adds `targets` below `root`; returns the node of the whole candidate.
std::size_t add_prefixes(std::vector<PrefixNode> &nodes, std::size_t root,
                         const LabelList &targets) {
  std::size_t node = root;
  for (Label token : targets) {
    std::size_t next = 0;
    for (std::size_t child : nodes[node].children) {
      if (nodes[child].token == token) next = child;
    }
    if (next == 0) {
      next = nodes.size();
      nodes[node].children.push_back(next);
      nodes.push_back({token, nodes[node].word, 0.0, 0, {}});
    }
    node = next;
  }
  return node;
}

// One candidate of a pass: where its score goes and its tree node.
struct Scoring {
  std::size_t word, candidate, node;
};

// Scores `items` of the words `batch` down their prefix trees (`nodes`,
// roots first, one per word), all prefixes in one pass.
template <class Network>
void score_trees(const NeuralModel &model, const std::vector<LabelList> &words,
                 const std::vector<std::size_t> &batch,
                 std::vector<PrefixNode> &nodes,
                 const std::vector<Scoring> &items,
                 std::vector<std::vector<double>> &scores) {
  std::vector<LabelList> inputs;
  for (std::size_t i : batch) inputs.push_back(model_order(model, words[i]));
  const typename Network::Encoded encoded = Network::encode(model, inputs);
  // The nodes fed to the decoder (all but the ends), word by word, each
  // word's breadth first: a parent's row comes before its children's.
  PrefixRows rows;
  std::vector<std::size_t> fed;  // the node of each row
  rows.blocks.push_back(0);
  for (std::size_t w = 0; w < batch.size(); ++w) {
    const auto feed = [&](std::size_t node, std::size_t depth,
                          std::size_t parent) {
      nodes[node].row = fed.size();
      fed.push_back(node);
      rows.tokens.push_back(nodes[node].token);
      rows.depths.push_back(depth);
      rows.parents.push_back(parent);
    };
    feed(w, 0, fed.size());
    for (std::size_t r = rows.blocks.back(); r < fed.size(); ++r) {
      for (std::size_t child : nodes[fed[r]].children) {
        if (!nodes[child].children.empty()) feed(child, rows.depths[r] + 1, r);
      }
    }
    rows.blocks.push_back(fed.size());
  }
  typename Network::Scratch scratch;
  Matrix log_probs;
  Network::prefixes(model, encoded, rows, scratch, log_probs);
  for (std::size_t r = 0; r < fed.size(); ++r) {
    const PrefixNode &node = nodes[fed[r]];
    for (std::size_t child : node.children) {
      nodes[child].score = node.score + log_probs(static_cast<Eigen::Index>(r),
                                                  nodes[child].token);
    }
  }
  for (const Scoring &item : items) {
    const double score = nodes[item.node].score;
    scores[batch[item.word]][item.candidate] =
        std::isnan(score) ? -std::numeric_limits<double>::infinity() : score;
  }
}

// Searches words[i] for each i of `batch` side by side into results[i].
template <class Network>
void search_words(const NeuralModel &model,
                  const std::vector<LabelList> &words,
                  const std::vector<std::size_t> &batch,
                  const BeamOptions &options,
                  std::vector<std::vector<NeuralPath>> &results) {
  const std::size_t beam = std::max(options.beam, options.nbest);
  const auto num_phonemes = static_cast<Label>(model.phonemes.size());
  std::vector<LabelList> inputs;
  std::vector<WordSearch> searches;
  std::vector<std::size_t> active;
  for (std::size_t i : batch) {
    inputs.push_back(model_order(model, words[i]));
    searches.push_back({max_output_length(words[i].size()), {{{}, 0.0, 0}}, {}});
    active.push_back(active.size());
  }
  const typename Network::Encoded encoded = Network::encode(model, inputs);
  typename Network::State states = Network::start(model, batch.size() * beam);
  typename Network::State next_states =
      Network::start(model, batch.size() * beam);
  typename Network::Scratch scratch;
  Matrix log_probs;
  LabelList tokens;
  std::vector<std::size_t> word_of, parents, still;
  std::vector<Candidate> candidates;
  for (std::size_t step = 0; !active.empty(); ++step) {
    tokens.clear();
    word_of.clear();
    for (std::size_t w : active) {
      for (Hypothesis &h : searches[w].alive) {
        h.row = tokens.size();
        tokens.push_back(step == 0 ? kStartPhoneme : h.phonemes.back());
        word_of.push_back(w);
      }
    }
    Network::step(model, encoded, tokens, word_of, step, states, scratch,
                  log_probs);
    still.clear();
    parents.clear();
    for (std::size_t w : active) {
      if (!advance(searches[w], log_probs, step, beam, options.nbest,
                   num_phonemes, candidates)) {
        continue;
      }
      still.push_back(w);
      for (const Hypothesis &h : searches[w].alive) parents.push_back(h.row);
    }
    active.swap(still);
    Network::gather(model, states, parents, step + 1, next_states);
    std::swap(states, next_states);
  }
  for (std::size_t k = 0; k < batch.size(); ++k) {
    results[batch[k]] =
        best_paths(model, std::move(searches[k].finished), options.nbest);
  }
}

}  // namespace

void search_pass(const NeuralModel &model,
                 const std::vector<LabelList> &words,
                 const std::vector<std::size_t> &batch,
                 const BeamOptions &options,
                 std::vector<std::vector<NeuralPath>> &results) {
  if (model.hyper.architecture == kLstmArchitecture) {
    search_words<LstmNetwork>(model, words, batch, options, results);
  } else {
    search_words<TransformerNetwork>(model, words, batch, options, results);
  }
}

void score_pass(const NeuralModel &model, const std::vector<LabelList> &words,
                const std::vector<std::size_t> &batch,
                const std::vector<LabelList> &targets,
                const std::vector<std::pair<std::size_t, std::size_t>> &owners,
                std::vector<std::vector<double>> &scores) {
  std::vector<PrefixNode> nodes;
  for (std::size_t w = 0; w < batch.size(); ++w) {
    nodes.push_back({kStartPhoneme, w, 0.0, 0, {}});
  }
  std::vector<Scoring> items;
  for (std::size_t k = 0; k < targets.size(); ++k) {
    const std::size_t w = owners[k].first;
    items.push_back({w, owners[k].second, add_prefixes(nodes, w, targets[k])});
  }
  if (model.hyper.architecture == kLstmArchitecture) {
    score_trees<LstmNetwork>(model, words, batch, nodes, items, scores);
  } else {
    score_trees<TransformerNetwork>(model, words, batch, nodes, items,
                                    scores);
  }
}

}  // namespace tamsu::TAMSU_NEURAL_KERNEL
