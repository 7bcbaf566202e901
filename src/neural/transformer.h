// The transformer's forward pass over a loaded NeuralModel, for many words
// at once: the words' rows are stacked, so that every linear map is one
// product over all of them (each row's result its own: kernel.h). The
// decoder runs one step at a
// time for a batch of hypotheses (of a beam search, or prefixes of given
// pronunciations), each keeping its own self-attention keys and values.
// The equations are those neural_model.h documents for the file's
// architecture.
#ifndef TAMSU_NEURAL_TRANSFORMER_H_
#define TAMSU_NEURAL_TRANSFORMER_H_

#include <cstddef>
#include <vector>

#include <Eigen/Core>

#include "base/labels.h"
#include "neural/kernel.h"
#include "neural/neural_model.h"

namespace tamsu::TAMSU_NEURAL_KERNEL {

// Words through the encoder, and each decoder layer's cross-attention keys
// and values over them (computed once, read at every step). Word w owns
// rows offsets[w] .. offsets[w + 1] - 1 of every matrix.
struct EncodedWords {
  std::vector<Eigen::Index> offsets;
  std::vector<Matrix> cross_keys;    // per decoder layer, [rows, d]
  std::vector<Matrix> cross_values;  // per decoder layer, [rows, d]
};

// Encodes words of grapheme ids in the order the model reads them (each
// non-empty, every id below the model's grapheme count: the caller checks).
EncodedWords encode(const NeuralModel &model,
                    const std::vector<LabelList> &words);

// The self-attention keys and values of a batch of hypotheses decoded step
// by step: row b of a layer's [rows, capacity * d] matrix holds hypothesis
// b's keys of its steps so far, one d-wide slice per step.
struct DecoderCache {
  std::vector<Matrix> keys;    // per decoder layer
  std::vector<Matrix> values;  // per decoder layer
};

// A cache of `rows` hypotheses and `capacity` steps (decode_step grows it
// when a batch needs more).
DecoderCache make_decoder_cache(const NeuralModel &model, std::size_t rows,
                                std::size_t capacity);

// Makes row i of `to` a copy of row parents[i] of `from`, for the first
// `steps` steps (`to` grows to `from`'s size when smaller).
void gather_cache(const NeuralModel &model, const DecoderCache &from,
                  const std::vector<std::size_t> &parents, std::size_t steps,
                  DecoderCache &to);

// The matrices a decoder step works in, kept from step to step so that a
// search allocates them once.
struct DecoderScratch {
  Matrix x, normed, queries, keys, values, mixed, hidden, scores;
};

// One decoder step for a batch: hypothesis b (of word word_of[b]) feeds
// tokens[b] at position `step` (rows of one word side by side), appends its
// keys and values to row b of `cache`, and gets the log-probabilities of
// the next phoneme in row b of `log_probs` ([batch, P], resized).
void decode_step(const NeuralModel &model, const EncodedWords &words,
                 const LabelList &tokens,
                 const std::vector<std::size_t> &word_of, std::size_t step,
                 DecoderCache &cache, DecoderScratch &scratch,
                 Matrix &log_probs);

// The nodes of prefix trees of given pronunciations, each decoded once:
// node n's self-attention keys and values (one d-wide slice per decoder
// layer, at n * d) and its parent (a root's: kNoParent).
struct DecoderNodes {
  std::vector<std::vector<float>> keys;    // per decoder layer
  std::vector<std::vector<float>> values;  // per decoder layer
  std::vector<std::size_t> parents;
};

// One decoder step for new nodes of prefix trees: row b (of word
// word_of[b]) feeds tokens[b] at position `step` after the prefix of node
// parents[b] of `nodes` (kNoParent, with step 0, for a root), is added to
// `nodes` as node nodes.parents.size() + b (sizes before the call), and
// gets its log-probabilities in row b of `log_probs`: what decode_step
// gives for the same prefix. `cache` is scratch kept between calls.
void decode_nodes(const NeuralModel &model, const EncodedWords &words,
                  const LabelList &tokens,
                  const std::vector<std::size_t> &word_of,
                  const std::vector<std::size_t> &parents, std::size_t step,
                  DecoderNodes &nodes, DecoderCache &cache,
                  DecoderScratch &scratch, Matrix &log_probs);

}  // namespace tamsu::TAMSU_NEURAL_KERNEL

#endif  // TAMSU_NEURAL_TRANSFORMER_H_
