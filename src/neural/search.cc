#include "neural/search.h"

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <numeric>
#include <tuple>
#include <type_traits>

#include "neural/passes.h"

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

// Words searched side by side: at most this many hypotheses per decoder
// step (the words of a pass times the beam), which bounds the memory of
// the keys and values kept; enough rows for the products to run at full
// speed.
constexpr std::size_t kSearchRows = 256;
// Candidates rescored in one group: a G2P.map chunk's (256 words of 10),
// so that the rounds after the first, which keep few candidates a word,
// still fill their steps.
constexpr std::size_t kRescoreRows = 2560;
// Words scored per task of a parallel run.
constexpr std::size_t kScoreTask = 64;

// The words of a search pass (and task): enough hypotheses to fill it.
std::size_t words_per_pass(const BeamOptions &options) {
  return std::max<std::size_t>(
      kSearchRows / std::max(options.beam, options.nbest), 1);
}

}  // namespace

const NeuralPasses &passes_for(bool portable) {
  static constexpr NeuralPasses kGeneric{generic::search_pass,
                                         generic::make_scorer, "generic"};
#if TAMSU_NEURAL_AVX2
  static constexpr NeuralPasses kAvx2{avx2::search_pass, avx2::make_scorer,
                                      "avx2"};
  // libgcc's check includes the system's support of the AVX registers.
  static const bool avx2_runs =
      __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  if (avx2_runs && !portable) return kAvx2;
#else
  static_cast<void>(portable);
#endif
  return kGeneric;
}

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
      passes_for(options.portable).search(model, words, batch, options, results);
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

// A word a member cannot read has no place in its scorer's batch.
constexpr std::size_t kNoPlace = static_cast<std::size_t>(-1);

// One word's rescoring (see RescoreOptions).
struct WordRescoring {
  std::vector<std::size_t> order;  // its candidates, best prior first
  std::size_t next = 0;            // in `order`
  std::vector<double> answers;     // combined scores found so far
  // By candidate: scored, and counted (at least the bar at its turn).
  std::vector<bool> scored, counted;
  bool done = false;
};

// The combined score below which `rescoring`'s candidates left cannot
// reach its keep best, or -infinity while fewer were found. The margin
// lets a caller's own rounding of the same formula (its mean summed
// otherwise) never lift a candidate left out above one found.
double bar_of(WordRescoring &rescoring, std::size_t keep) {
  std::vector<double> &found = rescoring.answers;
  if (found.size() < keep) return -std::numeric_limits<double>::infinity();
  std::nth_element(found.begin(), found.begin() + (keep - 1), found.end(),
                   std::greater<double>());
  const double kth = found[keep - 1];
  return kth - 1e-9 * (1 + std::fabs(kth));
}

// rescore_batch of words [first, last), whose candidates fill about one
// pass.
void rescore_group(const std::vector<const NeuralModel *> &members,
                   const std::vector<std::vector<LabelList>> &words,
                   const std::vector<Candidates> &candidates,
                   const std::vector<std::vector<double>> &priors,
                   const RescoreOptions &options, std::size_t first,
                   std::size_t last,
                   std::vector<std::vector<std::vector<double>>> &scores) {
  const std::size_t count = members.size();
  // Each member's scorer of the words it can read, and their places.
  std::vector<std::unique_ptr<CandidateScorer>> scorers;
  std::vector<std::vector<std::size_t>> place(
      count, std::vector<std::size_t>(last - first, kNoPlace));
  for (std::size_t m = 0; m < count; ++m) {
    std::vector<std::size_t> batch;
    for (std::size_t i = first; i < last; ++i) {
      if (words[m][i].empty() || candidates[i].empty()) continue;
      place[m][i - first] = batch.size();
      batch.push_back(i);
    }
    scorers.push_back(batch.empty() ? nullptr
                                    : passes_for(options.portable).scorer(
                                          *members[m], words[m], batch));
  }
  std::vector<WordRescoring> rescorings(last - first);
  for (std::size_t i = first; i < last; ++i) {
    WordRescoring &r = rescorings[i - first];
    r.order.resize(candidates[i].size());
    r.scored.assign(candidates[i].size(), false);
    r.counted.assign(candidates[i].size(), false);
    std::iota(r.order.begin(), r.order.end(), std::size_t{0});
    if (options.keep > 0) {
      std::stable_sort(r.order.begin(), r.order.end(),
                       [&](std::size_t a, std::size_t b) {
                         return priors[i][a] > priors[i][b];
                       });
    }
  }
  const double weight = options.weight;
  // (word, candidate, the least mean log-probability it needs to reach
  // the word's bar when picked).
  std::vector<std::tuple<std::size_t, std::size_t, double>> picked;
  std::vector<LabelList> targets;
  std::vector<std::size_t> owners, wanted;
  std::vector<double> floors;
  const auto bound_of = [&](std::size_t i, std::size_t c) {
    return (1 - weight) * priors[i][c];
  };
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const auto need_of = [&](std::size_t i, std::size_t c, double bar) {
    return weight > 0 ? (bar - bound_of(i, c)) / weight
                      : -std::numeric_limits<double>::infinity();
  };
  while (true) {
    picked.clear();
    for (std::size_t i = first; i < last; ++i) {
      WordRescoring &r = rescorings[i - first];
      if (options.keep == 0) {
        if (r.done) continue;
        for (std::size_t c : r.order) {
          picked.emplace_back(i, c, -std::numeric_limits<double>::infinity());
        }
        r.done = true;
        continue;
      }
      // Takes the candidates in order, best prior first, while one may
      // still reach the keep best; stops at the first not yet scored.
      while (!r.done) {
        if (r.next == r.order.size()) {
          r.done = true;
          break;
        }
        const std::size_t c = r.order[r.next];
        const double bar = bar_of(r, options.keep);
        if (bound_of(i, c) < bar) {
          r.done = true;  // so are all after it
          break;
        }
        if (candidates[i][c].empty()) {
          ++r.next;
          continue;
        }
        if (r.scored[c]) {
          ++r.next;
          double sum = 0;
          for (std::size_t m = 0; m < count; ++m) sum += scores[i][m][c];
          const double mean = sum / static_cast<double>(count);
          const double combined = bound_of(i, c) + weight * mean;
          // Below the bar, a candidate can be no answer: it counts as
          // unscored, as when its decoding stopped below it.
          if (!(combined >= bar)) continue;
          r.counted[c] = true;
          if (std::isfinite(mean)) r.answers.push_back(combined);
          continue;
        }
        picked.emplace_back(i, c, need_of(i, c, bar));
        r.scored[c] = true;
        break;
      }
    }
    if (picked.empty()) break;
    for (std::size_t m = 0; m < count; ++m) {
      targets.clear();
      owners.clear();
      wanted.clear();
      floors.clear();
      for (std::size_t k = 0; k < picked.size(); ++k) {
        const auto [i, c, need] = picked[k];
        scores[i][m][c] = -std::numeric_limits<double>::infinity();
        const std::size_t at = place[m][i - first];
        if (at == kNoPlace) continue;
        // The members before this one have scored the candidate.
        double before = 0;
        for (std::size_t earlier = 0; earlier < m; ++earlier) {
          before += scores[i][earlier][c];
        }
        // Below the bar already (the members after it score at most 0).
        if (std::isfinite(need) && !(before > -kInfinity)) continue;
        LabelList ids = targets_of(*members[m], candidates[i][c],
                                   max_output_length(words[m][i].size()));
        if (ids.empty()) continue;
        targets.push_back(std::move(ids));
        owners.push_back(at);
        wanted.push_back(k);
        // The members after it score at most 0: this one must bring the
        // sum to `count` times the mean needed.
        floors.push_back(static_cast<double>(count) * need - before);
      }
      if (targets.empty()) continue;
      const std::vector<double> found =
          scorers[m]->score(targets, owners, floors);
      for (std::size_t k = 0; k < found.size(); ++k) {
        const auto [i, c, need] = picked[wanted[k]];
        scores[i][m][c] = found[k];
      }
    }
    if (options.keep == 0) break;
  }
  if (options.keep == 0) return;
  for (std::size_t i = first; i < last; ++i) {
    const WordRescoring &r = rescorings[i - first];
    for (std::size_t c = 0; c < r.counted.size(); ++c) {
      if (r.counted[c]) continue;
      for (std::size_t m = 0; m < count; ++m) {
        scores[i][m][c] = std::numeric_limits<double>::quiet_NaN();
      }
    }
  }
}

}  // namespace

std::vector<std::vector<std::vector<double>>> rescore_batch(
    const std::vector<const NeuralModel *> &members,
    const std::vector<std::vector<LabelList>> &words,
    const std::vector<Candidates> &candidates,
    const std::vector<std::vector<double>> &priors,
    const RescoreOptions &options) {
  // Unscored until a round reaches them; with keep 0 every one is.
  const double unscored = options.keep > 0
                              ? std::numeric_limits<double>::quiet_NaN()
                              : -std::numeric_limits<double>::infinity();
  std::vector<std::vector<std::vector<double>>> scores;
  for (const Candidates &list : candidates) {
    scores.emplace_back(members.size(),
                        std::vector<double>(list.size(), unscored));
  }
  // Groups of words whose candidates fill a pass.
  std::size_t first = 0, held = 0;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    held += candidates[i].size();
    if (held >= kRescoreRows || i + 1 == candidates.size()) {
      rescore_group(members, words, candidates, priors, options, first, i + 1,
                    scores);
      first = i + 1;
      held = 0;
    }
  }
  return scores;
}

std::vector<std::vector<double>> score_candidates_batch(
    const NeuralModel &model, const std::vector<LabelList> &words,
    const std::vector<Candidates> &candidates, bool portable) {
  RescoreOptions options;
  options.portable = portable;
  std::vector<std::vector<std::vector<double>>> found =
      rescore_batch({&model}, {words}, candidates, {}, options);
  std::vector<std::vector<double>> scores;
  for (auto &word : found) scores.push_back(std::move(word[0]));
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

std::vector<std::vector<std::vector<double>>> rescore_parallel(
    const std::vector<const NeuralModel *> &members,
    const std::vector<std::vector<LabelList>> &words,
    const std::vector<Candidates> &candidates,
    const std::vector<std::vector<double>> &priors,
    const RescoreOptions &options, const ParallelRun &run) {
  const auto slice = [](const auto &all, std::size_t first, std::size_t last) {
    using Vector = std::decay_t<decltype(all)>;
    return last <= all.size() ? Vector(all.begin() + first, all.begin() + last)
                              : Vector{};
  };
  std::vector<std::vector<std::vector<double>>> results = run_tasks(
      candidates.size(), kScoreTask, run,
      std::vector<std::vector<double>>{},
      [&](std::size_t first, std::size_t last) {
        std::vector<std::vector<LabelList>> spelled;
        for (const auto &member : words) {
          spelled.push_back(slice(member, first, last));
        }
        return rescore_batch(members, spelled,
                             slice(candidates, first, last),
                             slice(priors, first, last), options);
      });
  for (std::size_t i = 0; i < results.size(); ++i) {  // those not reached
    results[i].resize(members.size());
    for (std::vector<double> &member : results[i]) {
      member.resize(candidates[i].size(),
                    -std::numeric_limits<double>::infinity());
    }
  }
  return results;
}

}  // namespace tamsu
