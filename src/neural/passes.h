// The decoding passes over a batch of words, in two compiled copies: one
// for any processor (namespace generic) and, with GCC on x86-64, one for
// processors with AVX2 and FMA (namespace avx2, passes_avx2.cc), where
// Eigen's products run about 1.5 times as fast. passes_for() picks the copy
// the processor can run. The interface holds no Eigen type, so that each
// copy keeps its own build of Eigen.
#ifndef TAMSU_NEURAL_PASSES_H_
#define TAMSU_NEURAL_PASSES_H_

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

#include "base/labels.h"
#include "neural/neural_model.h"
#include "neural/search.h"

namespace tamsu {

// The candidate pronunciations of a batch of words, scored teacher-forced
// a few at a time: the words are encoded once, when the scorer is made,
// and each call decodes only the prefixes no earlier call decoded, so that
// scoring a list in several calls costs what scoring it in one does.
class CandidateScorer {
 public:
  virtual ~CandidateScorer() = default;
  // The log-probability of each targets[k] (phoneme ids in model order,
  // ending in </s>) given the word at place owners[k] of the batch, when
  // it is at least floors[k] (-infinity: always); -infinity for one below
  // its floor (whose decoding may stop at the first prefix below it) and
  // where the arithmetic gives NaN.
  virtual std::vector<double> score(const std::vector<LabelList> &targets,
                                    const std::vector<std::size_t> &owners,
                                    const std::vector<double> &floors) = 0;
};

// search(model, words, batch, options, results): beam search of
// words[i] for each i of `batch` side by side, into results[i].
// scorer(model, words, batch): a CandidateScorer of words[i] for each i
// of `batch` (the model must outlive it). The words of `batch` are
// non-empty, in reading order (the passes turn them round for a model that
// reads right to left). Every row's result is the same whichever rows
// share its step (kernel.h).
struct NeuralPasses {
  void (*search)(const NeuralModel &, const std::vector<LabelList> &,
                 const std::vector<std::size_t> &, const BeamOptions &,
                 std::vector<std::vector<NeuralPath>> &);
  std::unique_ptr<CandidateScorer> (*scorer)(
      const NeuralModel &, const std::vector<LabelList> &,
      const std::vector<std::size_t> &);
  const char *name;  // "generic" or "avx2"
};

// The fastest copy this processor runs; the generic one when `portable`.
const NeuralPasses &passes_for(bool portable);

#define TAMSU_NEURAL_PASSES(kernel)                                        \
  namespace kernel {                                                       \
  void search_pass(const NeuralModel &model,                               \
                   const std::vector<LabelList> &words,                    \
                   const std::vector<std::size_t> &batch,                  \
                   const BeamOptions &options,                             \
                   std::vector<std::vector<NeuralPath>> &results);         \
  std::unique_ptr<CandidateScorer> make_scorer(                            \
      const NeuralModel &model, const std::vector<LabelList> &words,       \
      const std::vector<std::size_t> &batch);                              \
  }
TAMSU_NEURAL_PASSES(generic)
TAMSU_NEURAL_PASSES(avx2)
#undef TAMSU_NEURAL_PASSES

}  // namespace tamsu

#endif  // TAMSU_NEURAL_PASSES_H_
