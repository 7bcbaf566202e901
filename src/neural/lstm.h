// The LSTM network's forward pass (architecture 2, whose equations
// neural_model.h documents) over a loaded NeuralModel, for many words at
// once: the words' rows are stacked, so that every linear map of a step is
// one product over all of them (each row's result its own: kernel.h). The
// decoder runs one step at
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

// The states of the nodes of prefix trees of given pronunciations, each
// decoded once: node n's is row n of `states` (which may hold more rows).
struct LstmNodes {
  LstmState states;
  std::size_t count = 0;
};

// One decoder step for new nodes of prefix trees: row b (of word
// word_of[b]) feeds tokens[b] after the prefix of node parents[b] of
// `nodes` (kNoParent for a root, which starts from zero states), is added
// to `nodes` as node nodes.count + b (the count before the call), and gets
// its log-probabilities in row b of `log_probs`: what lstm_step gives for
// the same prefix. `state` is scratch kept between calls.
void lstm_nodes(const NeuralModel &model, const LstmEncoded &words,
                const LabelList &tokens,
                const std::vector<std::size_t> &word_of,
                const std::vector<std::size_t> &parents, LstmNodes &nodes,
                LstmState &state, LstmScratch &scratch, Matrix &log_probs);

}  // namespace tamsu::TAMSU_NEURAL_KERNEL

#endif  // TAMSU_NEURAL_LSTM_H_
