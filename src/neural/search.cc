#include "neural/search.h"

#include <algorithm>
#include <limits>
#include <tuple>

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
                                         generic::score_pass, "generic"};
#if TAMSU_NEURAL_AVX2
  static constexpr NeuralPasses kAvx2{avx2::search_pass, avx2::score_pass,
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

}  // namespace

std::vector<std::vector<double>> score_candidates_batch(
    const NeuralModel &model, const std::vector<LabelList> &words,
    const std::vector<Candidates> &candidates, bool portable) {
  constexpr double kImpossible = -std::numeric_limits<double>::infinity();
  std::vector<std::vector<double>> scores;
  for (const Candidates &list : candidates) {
    scores.emplace_back(list.size(), kImpossible);
  }
  std::vector<std::size_t> batch;
  std::vector<LabelList> targets;  // of the pass's candidates
  std::vector<std::pair<std::size_t, std::size_t>> owners;  // (word, c)
  const auto run_pass = [&] {
    passes_for(portable).score(model, words, batch, targets, owners, scores);
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
