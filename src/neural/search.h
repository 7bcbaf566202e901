// Decoding with a neural model: a word's graphemes, beam search for its
// n best pronunciations, and teacher-forced scores of given pronunciations
// (for rescoring another model's n-best list). Inputs and outputs are in
// reading order whatever the model's direction.
#ifndef TAMSU_NEURAL_SEARCH_H_
#define TAMSU_NEURAL_SEARCH_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "base/labels.h"
#include "base/parallel.h"
#include "neural/neural_model.h"

namespace tamsu {

// The model's grapheme ids of a UTF-8 word split into code points; a code
// point the model lacks (or a byte that is not UTF-8) is left out of `ids`
// and listed in `unknown`.
struct WordGraphemes {
  LabelList ids;
  std::vector<std::string> unknown;
};
WordGraphemes word_graphemes(const NeuralModel &model, std::string_view word);

struct BeamOptions {
  std::size_t beam = 5;   // hypotheses kept per step (at least nbest)
  std::size_t nbest = 1;  // pronunciations returned
  // The forward pass built for any processor even where a faster one runs
  // (for tests and benchmarks).
  bool portable = false;
};

struct NeuralPath {
  LabelList phonemes;     // phoneme ids, without <s> and </s>
  double log_probability; // natural log of the model's probability
};

// The longest pronunciation considered for `graphemes` input symbols.
std::size_t max_output_length(std::size_t graphemes);

// Up to options.nbest pronunciations of each word (grapheme ids), best
// first; ties keep the order of discovery, so the result is deterministic
// and the same whichever words share a batch. A search that reaches
// max_output_length ends its hypotheses there. Empty for an empty word.
// A continuation whose score is not finite is never kept.
// The words are searched side by side, each decoder step one product over
// all their hypotheses.
std::vector<std::vector<NeuralPath>> beam_search_batch(
    const NeuralModel &model, const std::vector<LabelList> &words,
    const BeamOptions &options);

// beam_search_batch of one word.
std::vector<NeuralPath> beam_search(const NeuralModel &model,
                                    const LabelList &graphemes,
                                    const BeamOptions &options);

// Candidate pronunciations, as phoneme texts.
using Candidates = std::vector<std::vector<std::string>>;

// The log-probability of each candidate pronunciation of each word, all in
// one teacher-forced pass per batch of words; -infinity for a candidate
// with a text the model does not know as a phoneme, for one longer than
// max_output_length, and for every candidate of an empty word (and, were
// the arithmetic to fail, for a candidate whose score is NaN). `portable`
// runs the forward pass built for any processor (for tests). A score is
// the same bits whichever words and candidates share the call.
std::vector<std::vector<double>> score_candidates_batch(
    const NeuralModel &model, const std::vector<LabelList> &words,
    const std::vector<Candidates> &candidates, bool portable = false);

// score_candidates_batch of one word.
std::vector<double> score_candidates(const NeuralModel &model,
                                     const LabelList &graphemes,
                                     const Candidates &candidates);

// How a rescoring ranks a word's candidates: by (1 - weight) * prior +
// weight * mean, `prior` the caller's log score of the candidate (another
// model's; at most 0) and `mean` the members' mean log-probability (also
// at most 0), so that no candidate can rank above its bound, its
// (1 - weight) * prior.
struct RescoreOptions {
  double weight = 1;  // from 0 to 1
  // 0: every candidate is scored. Otherwise the candidates are taken best
  // prior first, and scoring stops once `keep` answers (candidates with
  // phonemes and a finite mean) have combined scores above the bound of
  // every candidate left: the `keep` best candidates and their order are
  // then those of scoring them all. A candidate's decoding also stops at
  // the first prefix whose log-probability (a bound of the whole's) leaves
  // it below the keep best found before its turn. The candidates left,
  // those below the keep best at their turn, and the empty ones get NaN;
  // which these are depends on the word's own scores alone.
  std::size_t keep = 0;
  bool portable = false;  // as in BeamOptions
};

// Each member's log-probability of each candidate of each word, as
// [word][member][candidate]: what score_candidates_batch gives each
// member, or NaN where `options.keep` left the candidate unscored.
// words[m][i] is word i as member m spells it; priors[i][c] the prior of
// candidates[i][c] (unread when keep is 0). Each word is encoded once per
// member and each prefix of its candidates decoded once, however many
// rounds the scoring takes.
std::vector<std::vector<std::vector<double>>> rescore_batch(
    const std::vector<const NeuralModel *> &members,
    const std::vector<std::vector<LabelList>> &words,
    const std::vector<Candidates> &candidates,
    const std::vector<std::vector<double>> &priors,
    const RescoreOptions &options);

// beam_search_batch, score_candidates_batch and rescore_batch with the
// words shared out in tasks of a few dozen among run.threads threads,
// results in input order. Words not reached once run.stop is set get no
// paths (scores -infinity): the caller knows that it stopped.
std::vector<std::vector<NeuralPath>> beam_search_parallel(
    const NeuralModel &model, const std::vector<LabelList> &words,
    const BeamOptions &options, const ParallelRun &run);
std::vector<std::vector<double>> score_candidates_parallel(
    const NeuralModel &model, const std::vector<LabelList> &words,
    const std::vector<Candidates> &candidates, const ParallelRun &run);
std::vector<std::vector<std::vector<double>>> rescore_parallel(
    const std::vector<const NeuralModel *> &members,
    const std::vector<std::vector<LabelList>> &words,
    const std::vector<Candidates> &candidates,
    const std::vector<std::vector<double>> &priors,
    const RescoreOptions &options, const ParallelRun &run);

}  // namespace tamsu

#endif  // TAMSU_NEURAL_SEARCH_H_
