#include "train/realign.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <thread>
#include <unordered_map>

namespace tamsu {
namespace {

constexpr double kNegInf = -std::numeric_limits<double>::infinity();
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kBlock = 1024;  // entries per unit of thread work

// Token id per chunk, keyed by graphemes, a separator, then phonemes.
class TokenIndex {
 public:
  explicit TokenIndex(const std::vector<Chunk> &chunks) {
    ids_.reserve(chunks.size());
    for (std::size_t t = 0; t < chunks.size(); ++t) {
      key_of(chunks[t].graphemes.data(), chunks[t].graphemes.size(),
             chunks[t].phonemes.data(), chunks[t].phonemes.size(), key_);
      ids_.emplace(key_, static_cast<std::uint32_t>(t));
    }
  }

  // The token of the chunk (g[0..a), p[0..b)), or kNone; `key` is scratch.
  std::uint32_t find(const Label *g, std::size_t a, const Label *p,
                     std::size_t b, LabelList &key) const {
    key_of(g, a, p, b, key);
    auto it = ids_.find(key);
    return it == ids_.end() ? kNone : it->second;
  }

 private:
  static constexpr Label kSplit = std::numeric_limits<Label>::max();

  static void key_of(const Label *g, std::size_t a, const Label *p,
                     std::size_t b, LabelList &key) {
    key.assign(g, g + a);
    key.push_back(kSplit);
    key.insert(key.end(), p, p + b);
  }

  std::unordered_map<LabelList, std::uint32_t, LabelListHash> ids_;
  LabelList key_;
};

// One partial segmentation ending at a lattice node: the model state it
// leaves, its score, and where it came from.
struct Hypothesis {
  std::uint32_t state;
  double score;
  std::uint32_t from_node;
  std::uint32_t from_index;
  std::uint32_t token;
};

// Viterbi over (graphemes consumed, phonemes consumed, model state). Each
// lattice node keeps the best hypothesis per model state: the future
// depends on nothing else, so the search is exact.
class Realigner {
 public:
  Realigner(const std::vector<ChunkShape> &shapes, const TokenIndex &index,
            const NgramModel &model, const std::vector<char> &states)
      : shapes_(shapes), index_(index), model_(model), states_(states),
        start_(start_history(model, states)) {}

  // The best token sequence of (g, p); empty if no segmentation uses only
  // tokens.
  Sentence best(const LabelList &g, const LabelList &p) {
    const std::size_t n = g.size(), rows = p.size() + 1;
    const std::size_t nodes = (n + 1) * rows;
    if (lattice_.size() < nodes) lattice_.resize(nodes);
    for (std::size_t i = 0; i < nodes; ++i) lattice_[i].clear();
    lattice_[0].push_back({start_, 0.0, kNone, kNone, kNone});
    for (std::size_t node = 0; node + 1 < nodes; ++node) {
      if (lattice_[node].empty()) continue;
      const std::size_t k = node / rows, j = node % rows;
      for (const ChunkShape &shape : shapes_) {
        const std::size_t a = shape.graphemes, b = shape.phonemes;
        if (k + a > n || j + b >= rows) continue;
        const std::uint32_t token =
            index_.find(g.data() + k, a, p.data() + j, b, key_);
        if (token == kNone) continue;
        const std::size_t next = (k + a) * rows + j + b;
        // lattice_[node] is not the target, so it stays put while the
        // target grows.
        for (std::uint32_t h = 0; h < lattice_[node].size(); ++h) {
          const Hypothesis &from = lattice_[node][h];
          const double lp = log_probability_at(model_, from.state, token);
          if (lp == kNegInf) continue;
          relax(lattice_[next],
                {next_history(model_, states_, from.state, token),
                 from.score + lp, static_cast<std::uint32_t>(node), h, token});
        }
      }
    }
    const std::size_t end = nodes - 1;
    std::uint32_t winner = kNone;
    double best_score = kNegInf;
    for (std::uint32_t h = 0; h < lattice_[end].size(); ++h) {
      const Hypothesis &hyp = lattice_[end][h];
      const double score =
          hyp.score + log_probability_at(model_, hyp.state, model_.end_token());
      if (score > best_score) {
        best_score = score;
        winner = h;
      }
    }
    Sentence tokens;
    for (std::size_t node = end; winner != kNone;) {
      const Hypothesis &hyp = lattice_[node][winner];
      if (hyp.token == kNone) break;
      tokens.push_back(hyp.token);
      node = hyp.from_node;
      winner = hyp.from_index;
    }
    std::reverse(tokens.begin(), tokens.end());
    return tokens;
  }

 private:
  // Keeps `candidate` if its state is new at the node or it beats the
  // hypothesis there; a tie keeps the earlier one.
  static void relax(std::vector<Hypothesis> &hyps, const Hypothesis &candidate) {
    for (Hypothesis &hyp : hyps) {
      if (hyp.state != candidate.state) continue;
      if (candidate.score > hyp.score) hyp = candidate;
      return;
    }
    hyps.push_back(candidate);
  }

  const std::vector<ChunkShape> &shapes_;
  const TokenIndex &index_;
  const NgramModel &model_;
  const std::vector<char> &states_;
  const std::uint32_t start_;
  std::vector<std::vector<Hypothesis>> lattice_;
  LabelList key_;
};

}  // namespace

std::size_t realign_entries(const EncodedLexicon &lexicon,
                            const AlignOptions &options,
                            const std::vector<Chunk> &token_chunks,
                            const NgramModel &model,
                            std::vector<Sentence> &sentences) {
  const std::vector<ChunkShape> shapes = allowed_shapes(options);
  const TokenIndex index(token_chunks);
  const std::vector<char> states = history_states(model);
  const std::size_t count = sentences.size();
  const unsigned threads = static_cast<unsigned>(std::max<std::size_t>(
      1, std::min<std::size_t>(options.threads, count / kBlock)));
  std::vector<std::size_t> changed(threads, 0);
  // Thread t takes blocks t, t + threads, ...; each writes only its own
  // entries' sentences.
  auto worker = [&](unsigned t) {
    Realigner realigner(shapes, index, model, states);
    for (std::size_t begin = t * kBlock; begin < count;
         begin += threads * kBlock) {
      const std::size_t end = std::min(count, begin + kBlock);
      for (std::size_t e = begin; e < end; ++e) {
        if (sentences[e].empty()) continue;
        Sentence best = realigner.best(lexicon.graphemes[e], lexicon.phonemes[e]);
        if (best.empty() || best == sentences[e]) continue;
        sentences[e] = std::move(best);
        ++changed[t];
      }
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < threads; ++t) pool.emplace_back(worker, t);
  worker(0);
  for (std::thread &thread : pool) thread.join();
  std::size_t total = 0;
  for (std::size_t c : changed) total += c;
  return total;
}

}  // namespace tamsu
