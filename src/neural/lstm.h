// The LSTM network's forward pass (architecture 2, whose equations
// neural_model.h documents) over a loaded NeuralModel, for many words at
// once: the words' rows are stacked, so that every linear map of a step is
// one matrix-matrix product over all of them. The decoder runs one step at
// a time for a batch of hypotheses (of a beam search, or prefixes of given
// pronunciations), each carrying its own state.
#ifndef TAMSU_NEURAL_LSTM_H_
#define TAMSU_NEURAL_LSTM_H_

#include <cstddef>
#include <vector>

#include <Eigen/Core>

#include "base/labels.h"
#include "neural/kernel.h"
#include "neural/neural_model.h"

namespace tamsu::TAMSU_NEURAL_KERNEL {

// Words through the bidirectional encoder, with the attention's keys over
// them (computed once, read at every step). Word w owns rows offsets[w] ..
// offsets[w + 1] - 1 of memory and keys.
struct LstmEncoded {
  std::vector<Eigen::Index> offsets;
  Matrix memory;  // [rows, H]: the last layer's outputs, M
  Matrix keys;    // [rows, H]: M A^T
  // [P, 4H]: each phoneme's embedding through the first decoder layer's
  // W_ih, plus its biases (computed once a pass, not once a step).
  Matrix phoneme_gates;
};

// Encodes words of grapheme ids in the order the model reads them (each
// non-empty, every id below the model's grapheme count: the caller checks),
// each at its own length.
LstmEncoded lstm_encode(const NeuralModel &model,
                        const std::vector<LabelList> &words);

// The decoder states of a batch of hypotheses: row b is hypothesis b's.
struct LstmState {
  std::vector<Matrix> hidden;  // per decoder layer, [rows, H]: h
  std::vector<Matrix> cell;    // per decoder layer, [rows, H]: c
  Matrix feed;                 // [rows, H]: the last attentional vector
};

// `rows` start states (all zero).
LstmState lstm_start(const NeuralModel &model, std::size_t rows);

// Makes row i of `to` a copy of row parents[i] of `from` (`to` grows to
// `from`'s rows when smaller).
void lstm_gather(const LstmState &from,
                 const std::vector<std::size_t> &parents, LstmState &to);

// The matrices a decoder step works in, kept from step to step so that a
// search allocates them once.
struct LstmScratch {
  Matrix gates, joined, scores;
  Matrix depth_log_probs;  // of one depth of a prefix tree
};

// One decoder step for a batch: hypothesis b (of word word_of[b]) feeds
// tokens[b] with its state in row b of `state`, which the step advances
// (rows it lacks are added as start states), and gets the log-probabilities
// of the next phoneme in row b of `log_probs` ([batch, P], resized). Rows
// of one word lie side by side.
void lstm_step(const NeuralModel &model, const LstmEncoded &words,
               const LabelList &tokens,
               const std::vector<std::size_t> &word_of, LstmState &state,
               LstmScratch &scratch, Matrix &log_probs);

// Prefix trees of given pronunciations (kernel.h), teacher-forced depth by
// depth, each row's state advanced from its parent's. Row r of `log_probs`
// ([rows, P], resized) gets the log-probabilities of the phoneme after row
// r's prefix: what lstm_step gives, step by step, for the same prefixes.
void lstm_prefixes(const NeuralModel &model, const LstmEncoded &words,
                   const PrefixRows &rows, LstmScratch &scratch,
                   Matrix &log_probs);

}  // namespace tamsu::TAMSU_NEURAL_KERNEL

#endif  // TAMSU_NEURAL_LSTM_H_
