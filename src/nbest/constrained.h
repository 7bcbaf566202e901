// The model's score of given pronunciations of a word: the best joint path
// of the word and each pronunciation, for rescoring another model's
// candidates (a neural model's beam, say) with this one.
#ifndef TAMSU_NBEST_CONSTRAINED_H_
#define TAMSU_NBEST_CONSTRAINED_H_

#include <optional>
#include <string>
#include <vector>

#include "base/expected.h"
#include "base/parallel.h"
#include "model/model.h"
#include "nbest/path_data.h"

namespace tamsu {

// For each candidate (phoneme texts of the model's output table), the
// weight (-log) of the best path of `word` ∘ model whose output, clusters
// expanded and skips left out, is that candidate: the word's acceptor
// composed with the model, then with an acceptor of the output-label
// sequences that spell the candidate, and the shortest distance of that.
// Empty for a candidate no path spells (or with a phoneme the model
// lacks). Fails as phoneticize_word does (kNoKnownGraphemes, OpenFst
// errors, options.limits' lattice size, options.interrupted), writing the
// same unknown-piece diagnostic; the other options are ignored.
Expected<std::vector<std::optional<float>>, DecodeFailure>
constrained_weights(const Model &model, const std::string &word,
                    const std::vector<std::vector<std::string>> &candidates,
                    const DecodeOptions &options);


// Candidate pronunciations of one word, as phoneme texts.
using TextCandidates = std::vector<std::vector<std::string>>;

// constrained_weights of each word and its candidates, on run.threads
// threads (the calling thread polling inside its words too), in input
// order; a word that fails, or is not reached once run.stop is set, gets
// empty weights.
std::vector<std::vector<std::optional<float>>> constrained_weights_batch(
    const Model &model, const std::vector<std::string> &words,
    const std::vector<TextCandidates> &candidates, const ParallelRun &run);

}  // namespace tamsu

#endif  // TAMSU_NBEST_CONSTRAINED_H_
