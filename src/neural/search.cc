#include "neural/search.h"

#include <algorithm>
#include <limits>
#include <tuple>

#include "neural/transformer.h"

namespace tamsu {
namespace {

// The byte length of the UTF-8 sequence starting at word[i], or 0 when it
// is not a well-formed one.
std::size_t code_point_length(std::string_view word, std::size_t i) {
  const auto lead = static_cast<unsigned char>(word[i]);
  std::size_t length = lead < 0x80 ? 1 : lead >> 5 == 6 ? 2
                     : lead >> 4 == 14 ? 3 : lead >> 3 == 30 ? 4 : 0;
  if (length == 0 || length > word.size() - i) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if (static_cast<unsigned char>(word[i + k]) >> 6 != 2) return 0;
  }
  return length;
}

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
  std::size_t cache;  // index into the step's caches
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

}  // namespace

WordGraphemes word_graphemes(const NeuralModel &model, std::string_view word) {
  WordGraphemes result;
  for (std::size_t i = 0; i < word.size();) {
    const std::size_t length = std::max<std::size_t>(code_point_length(word, i), 1);
    std::string text(word.substr(i, length));
    auto found = model.grapheme_ids.find(text);
    if (found != model.grapheme_ids.end() && found->second != 0) {
      result.ids.push_back(found->second);
    } else {
      result.unknown.push_back(std::move(text));
    }
    i += length;
  }
  return result;
}

std::size_t max_output_length(std::size_t graphemes) {
  return 2 * graphemes + 8;
}

std::vector<NeuralPath> beam_search(const NeuralModel &model,
                                    const LabelList &graphemes,
                                    const BeamOptions &options) {
  std::vector<NeuralPath> finished;
  if (graphemes.empty() || options.nbest == 0) return finished;
  const std::size_t beam = std::max(options.beam, options.nbest);
  const std::size_t max_length = max_output_length(graphemes.size());
  const EncodedWord word = encode(model, model_order(model, graphemes));
  const auto num_phonemes = static_cast<Label>(model.phonemes.size());

  std::vector<Hypothesis> alive{{{}, 0.0, 0}};
  std::vector<DecoderCache> caches{make_decoder_cache(model, max_length + 1)};
  std::vector<Candidate> candidates;
  for (std::size_t step = 0; step <= max_length && !alive.empty(); ++step) {
    LabelList tokens;
    for (const Hypothesis &h : alive) {
      tokens.push_back(step == 0 ? kStartPhoneme : h.phonemes.back());
    }
    const Matrix log_probs = decode_step(model, word, tokens, step, caches);

    candidates.clear();
    for (std::size_t b = 0; b < alive.size(); ++b) {
      const auto row = static_cast<Eigen::Index>(b);
      candidates.push_back({alive[b].score + log_probs(row, kEndPhoneme), b,
                            kEndPhoneme});
      // At the length limit only the end remains.
      if (step == max_length) continue;
      for (Label p = kFirstPhoneme; p < num_phonemes; ++p) {
        candidates.push_back({alive[b].score + log_probs(row, p), b, p});
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
        if (rank < beam) finished.push_back({from.phonemes, c.score});
        continue;
      }
      next.push_back({from.phonemes, c.score, from.cache});
      next.back().phonemes.push_back(c.phoneme);
    }
    // A parent's cache moves to its last child and is copied for others.
    std::vector<std::size_t> children(caches.size(), 0);
    for (const Hypothesis &h : next) ++children[h.cache];
    std::vector<DecoderCache> next_caches;
    for (Hypothesis &h : next) {
      if (--children[h.cache] == 0) {
        next_caches.push_back(std::move(caches[h.cache]));
      } else {
        next_caches.push_back(caches[h.cache]);
      }
      h.cache = next_caches.size() - 1;
    }
    alive = std::move(next);
    caches = std::move(next_caches);

    // Scores only fall as a hypothesis grows: once the nbest-th finished
    // one beats every live one, nothing can overtake it.
    if (finished.size() >= options.nbest && !alive.empty()) {
      std::vector<double> scores;
      for (const NeuralPath &p : finished) scores.push_back(p.log_probability);
      std::nth_element(scores.begin(), scores.begin() + (options.nbest - 1),
                       scores.end(), std::greater<double>());
      if (alive.front().score <= scores[options.nbest - 1]) break;
    }
  }
  std::stable_sort(finished.begin(), finished.end(),
                   [](const NeuralPath &a, const NeuralPath &b) {
                     return a.log_probability > b.log_probability;
                   });
  if (finished.size() > options.nbest) finished.resize(options.nbest);
  if (model.direction == Direction::kRightToLeft) {
    for (NeuralPath &p : finished) {
      std::reverse(p.phonemes.begin(), p.phonemes.end());
    }
  }
  return finished;
}

std::vector<double> score_candidates(
    const NeuralModel &model, const LabelList &graphemes,
    const std::vector<std::vector<std::string>> &candidates) {
  constexpr double kImpossible = -std::numeric_limits<double>::infinity();
  std::vector<double> scores(candidates.size(), kImpossible);
  if (graphemes.empty()) return scores;
  const std::size_t max_length = max_output_length(graphemes.size());
  // The scorable candidates' targets: phoneme ids then </s>.
  std::vector<std::size_t> batch;
  std::vector<LabelList> targets;
  for (std::size_t c = 0; c < candidates.size(); ++c) {
    LabelList ids;
    for (const std::string &text : candidates[c]) {
      auto found = model.phoneme_ids.find(text);
      if (found == model.phoneme_ids.end() || found->second < kFirstPhoneme) {
        break;
      }
      ids.push_back(found->second);
    }
    if (ids.size() != candidates[c].size() || ids.size() > max_length) {
      continue;
    }
    if (model.direction == Direction::kRightToLeft) {
      std::reverse(ids.begin(), ids.end());
    }
    ids.push_back(kEndPhoneme);
    batch.push_back(c);
    targets.push_back(std::move(ids));
    scores[c] = 0.0;
  }
  if (batch.empty()) return scores;
  std::size_t steps = 0;
  for (const LabelList &t : targets) steps = std::max(steps, t.size());

  const EncodedWord word = encode(model, model_order(model, graphemes));
  std::vector<DecoderCache> caches(batch.size(),
                                   make_decoder_cache(model, steps));
  for (std::size_t step = 0; step < steps; ++step) {
    // A finished candidate goes on with padding; its rows are ignored.
    LabelList tokens;
    for (const LabelList &t : targets) {
      tokens.push_back(step == 0 ? kStartPhoneme
                       : step < t.size() ? t[step - 1] : kPadPhoneme);
    }
    const Matrix log_probs = decode_step(model, word, tokens, step, caches);
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if (step < targets[i].size()) {
        scores[batch[i]] +=
            log_probs(static_cast<Eigen::Index>(i), targets[i][step]);
      }
    }
  }
  return scores;
}

}  // namespace tamsu
