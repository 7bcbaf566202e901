// The transformer's forward pass over a loaded NeuralModel: encode a word
// once, then run the decoder one step at a time for a batch of hypotheses,
// each keeping its own self-attention keys and values. The equations are
// those neural_model.h documents for the file's architecture.
#ifndef TAMSU_NEURAL_TRANSFORMER_H_
#define TAMSU_NEURAL_TRANSFORMER_H_

#include <cstddef>
#include <vector>

#include <Eigen/Core>

#include "base/labels.h"
#include "neural/neural_model.h"

namespace tamsu {

using Matrix =
    Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;

// One word through the encoder, and each decoder layer's cross-attention
// keys and values over it (computed once, read at every step).
struct EncodedWord {
  Matrix memory;                     // [n, d]
  std::vector<Matrix> cross_keys;    // per decoder layer, [n, d]
  std::vector<Matrix> cross_values;  // per decoder layer, [n, d]
};

// The keys and values of one hypothesis's earlier decoder steps: rows
// 0 .. step-1 of each layer's [capacity, d] matrix are filled.
struct DecoderCache {
  std::vector<Matrix> keys;
  std::vector<Matrix> values;
};

// Encodes grapheme ids (at least one, each below the model's grapheme
// count: the caller checks).
EncodedWord encode(const NeuralModel &model, const LabelList &graphemes);

// A cache for up to `capacity` decoder steps.
DecoderCache make_decoder_cache(const NeuralModel &model,
                                std::size_t capacity);

// Scaled dot-product attention of `queries` [r, d] over `keys` and `values`
// [m, d], head by head; m >= 1.
Matrix attend(const Matrix &queries, const Eigen::Ref<const Matrix> &keys,
              const Eigen::Ref<const Matrix> &values, std::size_t heads);

// One decoder step for a batch: hypothesis b feeds `tokens[b]` at position
// `step` (< its cache's capacity), appends its keys and values to
// `caches[b]`, and gets the log-probabilities of the next phoneme in row b
// of the result ([batch, P]).
Matrix decode_step(const NeuralModel &model, const EncodedWord &word,
                   const LabelList &tokens, std::size_t step,
                   std::vector<DecoderCache> &caches);

}  // namespace tamsu

#endif  // TAMSU_NEURAL_TRANSFORMER_H_
