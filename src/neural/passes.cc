// Compiled once for any processor and, where passes_avx2.cc is built, once
// more for AVX2 and FMA (see passes.h): everything here lives in the
// namespace TAMSU_NEURAL_KERNEL names.
#include "neural/passes.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <tuple>
#include <utility>

#include "neural/lstm.h"
#include "neural/transformer.h"

namespace tamsu::TAMSU_NEURAL_KERNEL {
namespace {

// The two networks as the passes drive them: the words encoded once, the
// decoder states of a batch of hypotheses, one step for them, their states
// gathered by parent (for `steps` steps so far), and new nodes of prefix
// trees decoded after their parents' decoded prefixes.
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
  using Nodes = DecoderNodes;
  using NodeScratch = DecoderCache;
  static void feed_nodes(const NeuralModel &model, const Encoded &words,
                         const LabelList &tokens,
                         const std::vector<std::size_t> &word_of,
                         const std::vector<std::size_t> &parents,
                         std::size_t depth, Nodes &nodes, NodeScratch &cache,
                         Scratch &scratch, Matrix &log_probs) {
    decode_nodes(model, words, tokens, word_of, parents, depth, nodes, cache,
                 scratch, log_probs);
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
  using Nodes = LstmNodes;
  using NodeScratch = LstmState;
  static void feed_nodes(const NeuralModel &model, const Encoded &words,
                         const LabelList &tokens,
                         const std::vector<std::size_t> &word_of,
                         const std::vector<std::size_t> &parents, std::size_t,
                         Nodes &nodes, NodeScratch &state, Scratch &scratch,
                         Matrix &log_probs) {
    lstm_nodes(model, words, tokens, word_of, parents, nodes, state, scratch,
               log_probs);
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

// The candidates of a word as one tree of prefixes: a prefix shared by
// several candidates is decoded once, which the n-best lists of one word
// mostly are.
struct PrefixNode {
  Label token;          // its last phoneme (<s> at a root)
  std::size_t word;     // its word's place in the batch
  std::size_t depth;    // 0 at a root
  std::size_t parent;   // kNoParent at a root
  double score;         // log-probability of the prefix
  std::size_t decoded;  // its decoded node (kNoParent until decoded)
  std::vector<std::size_t> children;
  // The lowest floor of the targets through it in this call (see
  // CandidateScorer::score).
  double floor = -std::numeric_limits<double>::infinity();
};

// Adds `targets` below `root`; returns the node of the whole candidate.
std::size_t add_prefixes(std::vector<PrefixNode> &nodes, std::size_t root,
                         const LabelList &targets) {
  std::size_t node = root;
  for (Label token : targets) {
    std::size_t next = kNoParent;
    for (std::size_t child : nodes[node].children) {
      if (nodes[child].token == token) next = child;
    }
    if (next == kNoParent) {
      next = nodes.size();
      nodes[node].children.push_back(next);
      nodes.push_back({token, nodes[node].word, nodes[node].depth + 1, node,
                       0.0, kNoParent, {}, 0.0});
    }
    node = next;
  }
  return node;
}

// The words of a batch encoded once, their candidates' prefixes decoded
// once each, depth by depth (all words' new prefixes of a depth in one
// step, a word's rows side by side).
template <class Network>
class TreeScorer final : public CandidateScorer {
 public:
  TreeScorer(const NeuralModel &model, const std::vector<LabelList> &words,
             const std::vector<std::size_t> &batch)
      : model_(model) {
    std::vector<LabelList> inputs;
    for (std::size_t i : batch) inputs.push_back(model_order(model, words[i]));
    encoded_ = Network::encode(model, inputs);
    for (std::size_t w = 0; w < batch.size(); ++w) {
      nodes_.push_back(
          {kStartPhoneme, w, 0, kNoParent, 0.0, kNoParent, {}, 0.0});
    }
  }

  std::vector<double> score(const std::vector<LabelList> &targets,
                            const std::vector<std::size_t> &owners,
                            const std::vector<double> &floors) override {
    std::vector<std::size_t> ends;
    for (std::size_t k = 0; k < targets.size(); ++k) {
      ends.push_back(add_prefixes(nodes_, owners[k], targets[k]));
    }
    // A prefix is worth decoding while some target through it may still
    // reach its floor: a prefix's log-probability bounds its extensions'.
    for (PrefixNode &node : nodes_) node.floor = kNever;
    for (std::size_t k = 0; k < ends.size(); ++k) {
      for (std::size_t n = ends[k]; n != kNoParent; n = nodes_[n].parent) {
        nodes_[n].floor = std::min(nodes_[n].floor, floors[k]);
      }
    }
    std::vector<std::vector<std::size_t>> by_depth;
    for (std::size_t n = 0; n < nodes_.size(); ++n) {
      const PrefixNode &node = nodes_[n];
      if (node.children.empty() || node.decoded != kNoParent ||
          node.floor == kNever) {
        continue;
      }
      if (node.depth >= by_depth.size()) by_depth.resize(node.depth + 1);
      by_depth[node.depth].push_back(n);
    }
    const auto phonemes = static_cast<Index>(model_.phonemes.size());
    for (std::size_t depth = 0; depth < by_depth.size(); ++depth) {
      std::vector<std::size_t> &level = by_depth[depth];
      // Only the prefixes whose own prefix was decoded, and which may
      // still reach a floor (the scores of a depth are known once the
      // depth before it is decoded).
      level.erase(std::remove_if(level.begin(), level.end(),
                                 [&](std::size_t n) {
                                   return !update_score(n) ||
                                          !may_reach(nodes_[n]);
                                 }),
                  level.end());
      if (level.empty()) continue;
      std::stable_sort(level.begin(), level.end(),
                       [&](std::size_t a, std::size_t b) {
                         return nodes_[a].word < nodes_[b].word;
                       });
      tokens_.clear();
      word_of_.clear();
      parents_.clear();
      for (std::size_t n : level) {
        const PrefixNode &node = nodes_[n];
        tokens_.push_back(node.token);
        word_of_.push_back(node.word);
        parents_.push_back(node.parent == kNoParent
                               ? kNoParent
                               : nodes_[node.parent].decoded);
      }
      Network::feed_nodes(model_, encoded_, tokens_, word_of_, parents_,
                          depth, decoded_, node_scratch_, scratch_,
                          log_probs_);
      for (std::size_t i = 0; i < level.size(); ++i) {
        nodes_[level[i]].decoded = decoded_count_ + i;
        const float *row = log_probs_.row(static_cast<Index>(i)).data();
        decoded_log_probs_.insert(decoded_log_probs_.end(), row,
                                  row + phonemes);
      }
      decoded_count_ += level.size();
    }
    std::vector<double> scores;
    for (std::size_t end : ends) {
      // -infinity for a target cut off below its floor, or whose
      // arithmetic gave NaN.
      const bool reached = update_score(end) && may_reach(nodes_[end]);
      const double score = nodes_[end].score;
      scores.push_back(!reached || std::isnan(score)
                           ? -std::numeric_limits<double>::infinity()
                           : score);
    }
    return scores;
  }

 private:
  static constexpr double kNever = std::numeric_limits<double>::infinity();

  // Sets node n's score from its parent's decoded row; false when the
  // parent was not decoded. A root's score is 0.
  bool update_score(std::size_t n) {
    PrefixNode &node = nodes_[n];
    if (node.parent == kNoParent) return true;
    const PrefixNode &parent = nodes_[node.parent];
    if (parent.decoded == kNoParent) return false;
    node.score = parent.score +
                 decoded_log_probs_[parent.decoded *
                                        static_cast<std::size_t>(
                                            model_.phonemes.size()) +
                                    static_cast<std::size_t>(node.token)];
    return true;
  }

  // Whether a node's score lets a target through it reach its floor. The
  // margin keeps a target whose score rounds to its floor.
  static bool may_reach(const PrefixNode &node) {
    return !(node.score <
             node.floor - 1e-6 * (1 + std::fabs(node.floor)));
  }

 private:
  const NeuralModel &model_;
  typename Network::Encoded encoded_;
  std::vector<PrefixNode> nodes_;  // the roots first, one per word
  typename Network::Nodes decoded_;
  std::size_t decoded_count_ = 0;
  std::vector<float> decoded_log_probs_;  // P per decoded node
  typename Network::NodeScratch node_scratch_;
  typename Network::Scratch scratch_;
  Matrix log_probs_;
  LabelList tokens_;
  std::vector<std::size_t> word_of_, parents_;
};

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

std::unique_ptr<CandidateScorer> make_scorer(
    const NeuralModel &model, const std::vector<LabelList> &words,
    const std::vector<std::size_t> &batch) {
  if (model.hyper.architecture == kLstmArchitecture) {
    return std::make_unique<TreeScorer<LstmNetwork>>(model, words, batch);
  }
  return std::make_unique<TreeScorer<TransformerNetwork>>(model, words, batch);
}

}  // namespace tamsu::TAMSU_NEURAL_KERNEL
