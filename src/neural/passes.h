// The decoding passes over a batch of words, in two compiled copies: one
// for any processor (namespace generic) and, with GCC on x86-64, one for
// processors with AVX2 and FMA (namespace avx2, passes_avx2.cc), where
// Eigen's products run about 1.5 times as fast. passes_for() picks the copy
// the processor can run. The interface holds no Eigen type, so that each
// copy keeps its own build of Eigen.
#ifndef TAMSU_NEURAL_PASSES_H_
#define TAMSU_NEURAL_PASSES_H_

#include <cstddef>
#include <utility>
#include <vector>

#include "base/labels.h"
#include "neural/neural_model.h"
#include "neural/search.h"

namespace tamsu {

// search(model, words, batch, options, results): beam search of
// words[i] for each i of `batch` side by side, into results[i].
// score(model, words, batch, targets, owners, scores): targets[k] (phoneme
// ids in model order, ending in </s>) of the word batch[owners[k].first]
// teacher-forced; its log-probability goes to
// scores[batch[owners[k].first]][owners[k].second]. The words of `batch`
// are non-empty, in reading order (the passes turn them round for a model
// that reads right to left).
struct NeuralPasses {
  void (*search)(const NeuralModel &, const std::vector<LabelList> &,
                 const std::vector<std::size_t> &, const BeamOptions &,
                 std::vector<std::vector<NeuralPath>> &);
  void (*score)(const NeuralModel &, const std::vector<LabelList> &,
                const std::vector<std::size_t> &,
                const std::vector<LabelList> &,
                const std::vector<std::pair<std::size_t, std::size_t>> &,
                std::vector<std::vector<double>> &);
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
  void score_pass(                                                         \
      const NeuralModel &model, const std::vector<LabelList> &words,       \
      const std::vector<std::size_t> &batch,                               \
      const std::vector<LabelList> &targets,                               \
      const std::vector<std::pair<std::size_t, std::size_t>> &owners,      \
      std::vector<std::vector<double>> &scores);                           \
  }
TAMSU_NEURAL_PASSES(generic)
TAMSU_NEURAL_PASSES(avx2)
#undef TAMSU_NEURAL_PASSES

}  // namespace tamsu

#endif  // TAMSU_NEURAL_PASSES_H_
