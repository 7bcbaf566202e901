#include "neural/lstm.h"

#include <algorithm>
#include <cstring>
#include <numeric>
#include <utility>

namespace tamsu::TAMSU_NEURAL_KERNEL {
namespace {

// Each row of `gates` starts at the cell's two biases summed.
void start_gates(const LstmCellWeights &cell, Rows gates) {
  gates.rowwise() = VectorMap(cell.input_bias, gates.cols()) +
                    VectorMap(cell.hidden_bias, gates.cols());
}

// The cell's update from its pre-activations `gates` [rows, 4n] (blocks
// i, f, g, o): c = sigmoid(f) c + sigmoid(i) tanh(g), h = sigmoid(o)
// tanh(c), in place.
void update_cell(Rows gates, Rows h, Rows c) {
  const Index n = h.cols();
  // Eight columns of every block at a time, each through Eigen's vector
  // functions whatever its address (see each_element), in one pass.
  Chunk in, forget, candidate, output, cell;
  for (Index r = 0; r < gates.rows(); ++r) {
    const float *g = gates.row(r).data();
    float *cells = c.row(r).data();
    float *out = h.row(r).data();
    for (Index j = 0; j < n; j += 8) {
      const Index count = n - j < 8 ? n - j : 8;
      load_chunk(in, g + j, count);
      load_chunk(forget, g + n + j, count);
      load_chunk(candidate, g + 2 * n + j, count);
      load_chunk(output, g + 3 * n + j, count);
      load_chunk(cell, cells + j, count);
      cell = forget.logistic() * cell + in.logistic() * candidate.tanh();
      store_chunk(cells + j, cell, count);
      output = output.logistic() * cell.tanh();
      store_chunk(out + j, output, count);
    }
  }
}

// One decoder step over the first `tokens.size()` rows of `state`, row r
// feeding tokens[r]; the log-probabilities go to `log_probs` [rows, P].
void step_rows(const NeuralModel &model, const LstmEncoded &words,
               const LabelList &tokens, const std::vector<Run> &runs,
               LstmState &state, LstmScratch &s, View log_probs) {
  const LstmWeights &w = model.lstm_weights;
  const Index hidden = model.hyper.d_model;
  const Index embedding = model.hyper.d_ff;
  const auto rows = static_cast<Index>(tokens.size());
  View gates = shaped(s.gates, rows, 4 * hidden);
  for (std::size_t l = 0; l < w.decoder.size(); ++l) {
    const LstmCellWeights &cell = w.decoder[l];
    auto h = state.hidden[l].topRows(rows);
    if (l == 0) {
      for (Index r = 0; r < rows; ++r) {
        gates.row(r) = VectorMap(
            w.phoneme_gates + static_cast<Index>(tokens[r]) * 4 * hidden,
            4 * hidden);
      }
      // W_ih's inputs after the embedding's are the feed's.
      add_product_part(state.feed.topRows(rows), cell.input_weight,
                       embedding + hidden, embedding, gates);
    } else {
      start_gates(cell, gates);
      add_product(state.hidden[l - 1].topRows(rows), cell.input_weight,
                  gates);
    }
    add_product(h, cell.hidden_weight, gates);
    update_cell(gates, h, state.cell[l].topRows(rows));
  }
  // joined = [context; s], s the last layer's h.
  const auto top = state.hidden.back().topRows(rows);
  View joined = shaped(s.joined, rows, 2 * hidden);
  joined.rightCols(hidden) = top;
  for (const Run &run : runs) {
    const Index first = words.offsets[run.word];
    const Index length = words.offsets[run.word + 1] - first;
    float *weights = shaped(s.scores, 1, length).data();
    for (Index r = run.begin; r < run.end; ++r) {
      attend_row(top.row(r).data(), words.keys.row(first).data(),
                 words.memory.row(first).data(), hidden, length, hidden,
                 1.0f, weights, joined.row(r).data());
    }
  }
  auto feed = state.feed.topRows(rows);
  linear(joined, w.combine_weight, w.combine_bias, feed);
  each_element_of_rows(feed, [](const auto &v) { return v.tanh(); });
  linear(feed, w.output_weight, w.output_bias, log_probs);
  log_softmax_rows(log_probs);
}

// Grows `state` to at least `rows` rows, keeping what it holds; the new
// rows are start states.
void reserve_rows(LstmState &state, Index rows) {
  if (state.feed.rows() >= rows) return;
  const auto grow = [rows](Matrix &m) {
    m.conservativeResizeLike(Matrix::Zero(rows, m.cols()));
  };
  for (Matrix &m : state.hidden) grow(m);
  for (Matrix &m : state.cell) grow(m);
  grow(state.feed);
}

}  // namespace

LstmEncoded lstm_encode(const NeuralModel &model,
                        const std::vector<LabelList> &words) {
  const LstmWeights &w = model.lstm_weights;
  const Index hidden = model.hyper.d_model;
  const Index half = hidden / 2;
  const Index embedding = model.hyper.d_ff;
  LstmEncoded encoded;
  encoded.offsets.push_back(0);
  for (const LabelList &word : words) {
    encoded.offsets.push_back(encoded.offsets.back() +
                              static_cast<Index>(word.size()));
  }
  const Index rows = encoded.offsets.back();
  // Longest first: the words still running at a position are a prefix of
  // this order, whose states are the first rows of h and c.
  std::vector<std::size_t> order(words.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) {
                     return words[a].size() > words[b].size();
                   });
  const std::size_t longest = words.empty() ? 0 : words[order[0]].size();
  Matrix input(rows, embedding);
  for (std::size_t i = 0; i < words.size(); ++i) {
    for (std::size_t k = 0; k < words[i].size(); ++k) {
      input.row(encoded.offsets[i] + static_cast<Index>(k)) = VectorMap(
          w.encoder_embedding +
              static_cast<std::size_t>(words[i][k]) * embedding,
          embedding);
    }
  }
  const auto count = static_cast<Index>(words.size());
  Matrix output(rows, hidden), projected(rows, 4 * half);
  Matrix h(count, half), c(count, half), gates(count, 4 * half);
  for (std::size_t l = 0; l < w.encoder_forward.size(); ++l) {
    for (const bool reverse : {false, true}) {
      const LstmCellWeights &cell =
          reverse ? w.encoder_reverse[l] : w.encoder_forward[l];
      // Every position's input term at once; only h's waits for the
      // position before.
      start_gates(cell, projected);
      add_product(input, cell.input_weight, projected);
      h.setZero();
      c.setZero();
      Index running = count;
      for (std::size_t t = 0; t < longest; ++t) {
        while (words[order[running - 1]].size() <= t) --running;
        const auto row_of = [&](Index i) {
          const std::size_t word = order[i];
          const std::size_t position = reverse ? words[word].size() - 1 - t : t;
          return encoded.offsets[word] + static_cast<Index>(position);
        };
        for (Index i = 0; i < running; ++i) {
          gates.row(i) = projected.row(row_of(i));
        }
        add_product(h.topRows(running), cell.hidden_weight,
                    gates.topRows(running));
        update_cell(gates.topRows(running), h.topRows(running),
                    c.topRows(running));
        for (Index i = 0; i < running; ++i) {
          output.row(row_of(i)).segment(reverse ? half : 0, half) = h.row(i);
        }
      }
    }
    std::swap(input, output);
    output.resize(rows, hidden);
  }
  encoded.memory = std::move(input);
  encoded.keys.setZero(rows, hidden);
  add_product(encoded.memory, w.attention_weight, encoded.keys);
  return encoded;
}

LstmState lstm_start(const NeuralModel &model, std::size_t rows) {
  const Matrix zero =
      Matrix::Zero(static_cast<Index>(rows), model.hyper.d_model);
  LstmState state;
  state.hidden.assign(model.lstm_weights.decoder.size(), zero);
  state.cell.assign(model.lstm_weights.decoder.size(), zero);
  state.feed = zero;
  return state;
}

void lstm_gather(const LstmState &from,
                 const std::vector<std::size_t> &parents, LstmState &to) {
  reserve_rows(to, from.feed.rows());
  const auto copy = [&](const Matrix &source, Matrix &target) {
    for (std::size_t i = 0; i < parents.size(); ++i) {
      target.row(static_cast<Index>(i)) =
          source.row(static_cast<Index>(parents[i]));
    }
  };
  for (std::size_t l = 0; l < from.hidden.size(); ++l) {
    copy(from.hidden[l], to.hidden[l]);
    copy(from.cell[l], to.cell[l]);
  }
  copy(from.feed, to.feed);
}

void lstm_step(const NeuralModel &model, const LstmEncoded &words,
               const LabelList &tokens,
               const std::vector<std::size_t> &word_of, LstmState &state,
               LstmScratch &scratch, Matrix &log_probs) {
  const auto rows = static_cast<Index>(tokens.size());
  std::vector<Run> runs;
  for (Index r = 0; r < rows; ++r) {
    const std::size_t word = word_of[static_cast<std::size_t>(r)];
    if (runs.empty() || runs.back().word != word) runs.push_back({r, r, word});
    runs.back().end = r + 1;
  }
  reserve_rows(state, rows);
  log_probs.resize(rows, static_cast<Index>(model.phonemes.size()));
  step_rows(model, words, tokens, runs, state, scratch,
            View(log_probs.data(), rows, log_probs.cols()));
}

void lstm_nodes(const NeuralModel &model, const LstmEncoded &words,
                const LabelList &tokens,
                const std::vector<std::size_t> &word_of,
                const std::vector<std::size_t> &parents, LstmNodes &nodes,
                LstmState &state, LstmScratch &scratch, Matrix &log_probs) {
  const auto rows = static_cast<Index>(tokens.size());
  if (nodes.states.hidden.empty()) nodes.states = lstm_start(model, 0);
  if (state.hidden.empty()) state = lstm_start(model, tokens.size());
  reserve_rows(state, rows);
  const auto copy = [](const LstmState &from, Index i, LstmState &to,
                       Index j) {
    for (std::size_t l = 0; l < from.hidden.size(); ++l) {
      to.hidden[l].row(j) = from.hidden[l].row(i);
      to.cell[l].row(j) = from.cell[l].row(i);
    }
    to.feed.row(j) = from.feed.row(i);
  };
  for (Index b = 0; b < rows; ++b) {
    const std::size_t parent = parents[static_cast<std::size_t>(b)];
    if (parent != kNoParent) {
      copy(nodes.states, static_cast<Index>(parent), state, b);
      continue;
    }
    for (std::size_t l = 0; l < state.hidden.size(); ++l) {
      state.hidden[l].row(b).setZero();
      state.cell[l].row(b).setZero();
    }
    state.feed.row(b).setZero();
  }
  lstm_step(model, words, tokens, word_of, state, scratch, log_probs);
  const auto count = static_cast<Index>(nodes.count);
  // Grown by doubling: a pass adds a few rows per step.
  reserve_rows(nodes.states, std::max(count + rows, 2 * count));
  for (Index b = 0; b < rows; ++b) copy(state, b, nodes.states, count + b);
  nodes.count += tokens.size();
}

}  // namespace tamsu::TAMSU_NEURAL_KERNEL
