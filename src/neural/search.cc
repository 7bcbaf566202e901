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

// Words searched side by side: at most this many hypotheses per decoder
// step (the words of a pass times the beam), which bounds the memory of
// the keys and values kept; enough rows for the products to run at full
// speed.
constexpr std::size_t kSearchRows = 256;
// Words scored per task of a parallel run.
constexpr std::size_t kScoreTask = 64;

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

// The words of a search pass (and task): enough hypotheses to fill it.
std::size_t words_per_pass(const BeamOptions &options) {
  return std::max<std::size_t>(
      kSearchRows / std::max(options.beam, options.nbest), 1);
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
  for (std::size_t b = 0; b < alive.size(); ++b) {
    const auto row = static_cast<Eigen::Index>(alive[b].row);
    candidates.push_back({alive[b].score + log_probs(row, kEndPhoneme), b,
                          kEndPhoneme});
    // At the length limit only the end remains.
    if (step == search.max_length) continue;
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

// Searches words[i] for each i of `batch` side by side into results[i].
void search_pass(const NeuralModel &model,
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
  const EncodedWords encoded = encode(model, inputs);
  DecoderCache cache = make_decoder_cache(model, batch.size() * beam, 8);
  DecoderCache next_cache = make_decoder_cache(model, batch.size() * beam, 8);
  DecoderScratch scratch;
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
    decode_step(model, encoded, tokens, word_of, step, cache, scratch,
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
    gather_cache(model, cache, parents, step + 1, next_cache);
    std::swap(cache, next_cache);
  }
  for (std::size_t k = 0; k < batch.size(); ++k) {
    results[batch[k]] =
        best_paths(model, std::move(searches[k].finished), options.nbest);
  }
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

std::vector<std::vector<NeuralPath>> beam_search_batch(
    const NeuralModel &model, const std::vector<LabelList> &words,
    const BeamOptions &options) {
  std::vector<std::vector<NeuralPath>> results(words.size());
  if (options.nbest == 0) return results;
  const std::size_t per_batch = words_per_pass(options);
  std::vector<std::size_t> batch;
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (!words[i].empty()) batch.push_back(i);
    if (batch.size() == per_batch || (i + 1 == words.size() && !batch.empty())) {
      search_pass(model, words, batch, options, results);
      batch.clear();
    }
  }
  return results;
}

std::vector<NeuralPath> beam_search(const NeuralModel &model,
                                    const LabelList &graphemes,
                                    const BeamOptions &options) {
  return std::move(
      beam_search_batch(model, std::vector<LabelList>{graphemes}, options)[0]);
}

namespace {

// A candidate's teacher-forced targets: phoneme ids in model order, then
// </s>; empty when it cannot be scored.
LabelList targets_of(const NeuralModel &model,
                     const std::vector<std::string> &candidate,
                     std::size_t max_length) {
  LabelList ids;
  for (const std::string &text : candidate) {
    auto found = model.phoneme_ids.find(text);
    if (found == model.phoneme_ids.end() || found->second < kFirstPhoneme) {
      return {};
    }
    ids.push_back(found->second);
  }
  if (ids.size() > max_length) return {};
  if (model.direction == Direction::kRightToLeft) {
    std::reverse(ids.begin(), ids.end());
  }
  ids.push_back(kEndPhoneme);
  return ids;
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

// Scores `items` of the words `batch`, step by step down their prefix
// trees (`nodes`, roots first, one per word).
void score_pass(const NeuralModel &model, const std::vector<LabelList> &words,
                const std::vector<std::size_t> &batch,
                std::vector<PrefixNode> &nodes,
                const std::vector<Scoring> &items,
                std::vector<std::vector<double>> &scores) {
  std::vector<LabelList> inputs;
  for (std::size_t i : batch) inputs.push_back(model_order(model, words[i]));
  const EncodedWords encoded = encode(model, inputs);
  DecoderCache cache = make_decoder_cache(model, items.size(), 8);
  DecoderCache next_cache = make_decoder_cache(model, items.size(), 8);
  DecoderScratch scratch;
  Matrix log_probs;
  std::vector<std::size_t> level(batch.size()), next, parents, word_of;
  for (std::size_t w = 0; w < batch.size(); ++w) level[w] = w;
  LabelList tokens;
  for (std::size_t step = 0; !level.empty(); ++step) {
    tokens.clear();
    word_of.clear();
    for (std::size_t node : level) {
      nodes[node].row = tokens.size();
      tokens.push_back(nodes[node].token);
      word_of.push_back(nodes[node].word);
    }
    decode_step(model, encoded, tokens, word_of, step, cache, scratch,
                log_probs);
    next.clear();
    parents.clear();
    for (std::size_t node : level) {
      const auto row = static_cast<Eigen::Index>(nodes[node].row);
      for (std::size_t child : nodes[node].children) {
        nodes[child].score =
            nodes[node].score + log_probs(row, nodes[child].token);
        if (nodes[child].children.empty()) continue;  // ended by </s>
        next.push_back(child);
        parents.push_back(nodes[node].row);
      }
    }
    level.swap(next);
    gather_cache(model, cache, parents, step + 1, next_cache);
    std::swap(cache, next_cache);
  }
  for (const Scoring &item : items) {
    scores[batch[item.word]][item.candidate] = nodes[item.node].score;
  }
}

}  // namespace

std::vector<std::vector<double>> score_candidates_batch(
    const NeuralModel &model, const std::vector<LabelList> &words,
    const std::vector<Candidates> &candidates) {
  constexpr double kImpossible = -std::numeric_limits<double>::infinity();
  std::vector<std::vector<double>> scores;
  for (const Candidates &list : candidates) {
    scores.emplace_back(list.size(), kImpossible);
  }
  std::vector<std::size_t> batch;
  std::vector<LabelList> targets;  // of the pass's candidates
  std::vector<std::pair<std::size_t, std::size_t>> owners;  // (word, c)
  const auto run_pass = [&] {
    std::vector<PrefixNode> nodes;
    for (std::size_t w = 0; w < batch.size(); ++w) {
      nodes.push_back({kStartPhoneme, w, 0.0, 0, {}});
    }
    std::vector<Scoring> items;
    for (std::size_t k = 0; k < targets.size(); ++k) {
      const std::size_t w = owners[k].first;
      items.push_back({w, owners[k].second, add_prefixes(nodes, w, targets[k])});
    }
    score_pass(model, words, batch, nodes, items, scores);
    batch.clear();
    targets.clear();
    owners.clear();
  };
  for (std::size_t i = 0; i < words.size(); ++i) {
    const std::size_t max_length = max_output_length(words[i].size());
    bool any = false;
    for (std::size_t c = 0; !words[i].empty() && c < candidates[i].size();
         ++c) {
      LabelList ids = targets_of(model, candidates[i][c], max_length);
      if (ids.empty()) continue;
      targets.push_back(std::move(ids));
      owners.emplace_back(batch.size(), c);
      any = true;
    }
    if (any) batch.push_back(i);
    if (targets.size() >= kSearchRows) run_pass();
  }
  if (!batch.empty()) run_pass();
  return scores;
}

std::vector<double> score_candidates(const NeuralModel &model,
                                     const LabelList &graphemes,
                                     const Candidates &candidates) {
  return std::move(score_candidates_batch(
      model, std::vector<LabelList>{graphemes},
      std::vector<Candidates>{candidates})[0]);
}

namespace {

// Runs `batch` on words[first .. first + size) for task i of `size` words
// each, writing results[first ..].
template <class Result, class Batch>
std::vector<Result> run_tasks(std::size_t count, std::size_t size,
                              const ParallelRun &run, Result empty,
                              Batch &&batch) {
  std::vector<Result> results(count, empty);
  run_parallel((count + size - 1) / size, run,
               [&](std::size_t task, const std::function<bool()> &) {
    const std::size_t first = task * size;
    const std::size_t last = std::min(first + size, count);
    std::vector<Result> found = batch(first, last);
    std::move(found.begin(), found.end(), results.begin() + first);
  });
  return results;
}

}  // namespace

std::vector<std::vector<NeuralPath>> beam_search_parallel(
    const NeuralModel &model, const std::vector<LabelList> &words,
    const BeamOptions &options, const ParallelRun &run) {
  return run_tasks(words.size(), words_per_pass(options), run,
                   std::vector<NeuralPath>{},
                   [&](std::size_t first, std::size_t last) {
                     return beam_search_batch(
                         model,
                         std::vector<LabelList>(words.begin() + first,
                                                words.begin() + last),
                         options);
                   });
}

std::vector<std::vector<double>> score_candidates_parallel(
    const NeuralModel &model, const std::vector<LabelList> &words,
    const std::vector<Candidates> &candidates, const ParallelRun &run) {
  std::vector<std::vector<double>> results = run_tasks(
      words.size(), kScoreTask, run, std::vector<double>{},
      [&](std::size_t first, std::size_t last) {
        return score_candidates_batch(
            model,
            std::vector<LabelList>(words.begin() + first,
                                   words.begin() + last),
            std::vector<Candidates>(candidates.begin() + first,
                                    candidates.begin() + last));
      });
  for (std::size_t i = 0; i < results.size(); ++i) {  // those not reached
    results[i].resize(candidates[i].size(),
                      -std::numeric_limits<double>::infinity());
  }
  return results;
}

}  // namespace tamsu
