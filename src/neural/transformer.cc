#include "neural/transformer.h"

#include <cmath>

namespace tamsu {
namespace {

using RowVector = Eigen::Matrix<float, 1, Eigen::Dynamic>;
using WeightMap = Eigen::Map<const Matrix>;
using BiasMap = Eigen::Map<const RowVector>;

constexpr float kNormEpsilon = 1e-5f;

// x W^T + b for a PyTorch linear map W [out, in].
Matrix linear(const Matrix &x, const float *weight, const float *bias,
              Eigen::Index out) {
  const WeightMap w(weight, out, x.cols());
  Matrix y(x.rows(), out);
  if (x.rows() <= 16) {
    // A handful of rows (a beam's hypotheses): one matrix-vector product
    // each beats a general product, which would repack the weights.
    for (Eigen::Index r = 0; r < x.rows(); ++r) {
      y.row(r).noalias() = (w * x.row(r).transpose()).transpose();
    }
  } else {
    y.noalias() = x * w.transpose();
  }
  y.rowwise() += BiasMap(bias, out);
  return y;
}

Matrix layer_norm(const Matrix &x, const NormWeights &norm) {
  const Eigen::Index d = x.cols();
  Matrix y(x.rows(), d);
  for (Eigen::Index r = 0; r < x.rows(); ++r) {
    const float mean = x.row(r).mean();
    const RowVector centred = x.row(r).array() - mean;
    const float variance = centred.squaredNorm() / static_cast<float>(d);
    y.row(r) = (centred / std::sqrt(variance + kNormEpsilon))
                   .cwiseProduct(BiasMap(norm.gain, d)) +
               BiasMap(norm.bias, d);
  }
  return y;
}

Matrix feed_forward(const Matrix &x, const FeedForwardWeights &ff,
                    Eigen::Index d_ff) {
  Matrix hidden = linear(x, ff.weight1, ff.bias1, d_ff).cwiseMax(0.0f);
  return linear(hidden, ff.weight2, ff.bias2, x.cols());
}

// Token embeddings scaled by sqrt(d) plus the sinusoidal encoding of
// positions first, first + 1, ... (one row each).
Matrix embed(const float *table, const LabelList &tokens, Eigen::Index d,
             std::size_t first_position, bool same_position) {
  const auto rows = static_cast<Eigen::Index>(tokens.size());
  Matrix x(rows, d);
  const float scale = std::sqrt(static_cast<float>(d));
  std::vector<double> wavelengths(static_cast<std::size_t>(d));
  for (Eigen::Index j = 0; j < d; ++j) {
    wavelengths[static_cast<std::size_t>(j)] = std::pow(
        10000.0, static_cast<double>(j - j % 2) / static_cast<double>(d));
  }
  for (Eigen::Index r = 0; r < rows; ++r) {
    x.row(r) = BiasMap(table + static_cast<std::size_t>(tokens[r]) * d, d) *
               scale;
    const double position = static_cast<double>(
        first_position + (same_position ? 0 : static_cast<std::size_t>(r)));
    for (Eigen::Index j = 0; j < d; ++j) {
      const double angle = position / wavelengths[static_cast<std::size_t>(j)];
      x(r, j) += static_cast<float>(j % 2 ? std::cos(angle) : std::sin(angle));
    }
  }
  return x;
}

}  // namespace

Matrix attend(const Matrix &queries, const Eigen::Ref<const Matrix> &keys,
              const Eigen::Ref<const Matrix> &values, std::size_t heads) {
  const Eigen::Index d = queries.cols();
  const Eigen::Index width = d / static_cast<Eigen::Index>(heads);
  const float scale = 1.0f / std::sqrt(static_cast<float>(width));
  Matrix out(queries.rows(), d);
  for (Eigen::Index h = 0; h < static_cast<Eigen::Index>(heads); ++h) {
    Matrix scores = queries.middleCols(h * width, width) *
                    keys.middleCols(h * width, width).transpose() * scale;
    for (Eigen::Index r = 0; r < scores.rows(); ++r) {
      scores.row(r) = (scores.row(r).array() - scores.row(r).maxCoeff()).exp();
      scores.row(r) /= scores.row(r).sum();
    }
    out.middleCols(h * width, width) =
        scores * values.middleCols(h * width, width);
  }
  return out;
}

EncodedWord encode(const NeuralModel &model, const LabelList &graphemes) {
  const NeuralHyperParameters &hyper = model.hyper;
  const TransformerWeights &w = model.weights;
  const Eigen::Index d = hyper.d_model;
  Matrix x = embed(w.encoder_embedding, graphemes, d, 0, false);
  for (const EncoderLayer &layer : w.encoder) {
    const AttentionWeights &a = layer.attention;
    Matrix h = layer_norm(x, layer.norm1);
    Matrix mixed = attend(linear(h, a.q_weight, a.q_bias, d),
                          linear(h, a.k_weight, a.k_bias, d),
                          linear(h, a.v_weight, a.v_bias, d), hyper.heads);
    x += linear(mixed, a.o_weight, a.o_bias, d);
    x += feed_forward(layer_norm(x, layer.norm2), layer.feed_forward,
                      hyper.d_ff);
  }
  EncodedWord word;
  word.memory = layer_norm(x, w.encoder_norm);
  for (const DecoderLayer &layer : w.decoder) {
    const AttentionWeights &a = layer.cross_attention;
    word.cross_keys.push_back(linear(word.memory, a.k_weight, a.k_bias, d));
    word.cross_values.push_back(linear(word.memory, a.v_weight, a.v_bias, d));
  }
  return word;
}

DecoderCache make_decoder_cache(const NeuralModel &model,
                                std::size_t capacity) {
  const auto rows = static_cast<Eigen::Index>(capacity);
  const Eigen::Index d = model.hyper.d_model;
  DecoderCache cache;
  cache.keys.assign(model.weights.decoder.size(), Matrix(rows, d));
  cache.values.assign(model.weights.decoder.size(), Matrix(rows, d));
  return cache;
}

Matrix decode_step(const NeuralModel &model, const EncodedWord &word,
                   const LabelList &tokens, std::size_t step,
                   std::vector<DecoderCache> &caches) {
  const NeuralHyperParameters &hyper = model.hyper;
  const TransformerWeights &w = model.weights;
  const Eigen::Index d = hyper.d_model;
  const auto batch = static_cast<Eigen::Index>(tokens.size());
  const auto row = static_cast<Eigen::Index>(step);
  Matrix x = embed(w.decoder_embedding, tokens, d, step, true);
  for (std::size_t l = 0; l < w.decoder.size(); ++l) {
    const DecoderLayer &layer = w.decoder[l];
    const AttentionWeights &s = layer.self_attention;
    Matrix h = layer_norm(x, layer.norm1);
    Matrix queries = linear(h, s.q_weight, s.q_bias, d);
    Matrix keys = linear(h, s.k_weight, s.k_bias, d);
    Matrix values = linear(h, s.v_weight, s.v_bias, d);
    Matrix mixed(batch, d);
    for (Eigen::Index b = 0; b < batch; ++b) {
      DecoderCache &cache = caches[static_cast<std::size_t>(b)];
      cache.keys[l].row(row) = keys.row(b);
      cache.values[l].row(row) = values.row(b);
      mixed.row(b) = attend(queries.row(b), cache.keys[l].topRows(row + 1),
                            cache.values[l].topRows(row + 1), hyper.heads);
    }
    x += linear(mixed, s.o_weight, s.o_bias, d);

    const AttentionWeights &c = layer.cross_attention;
    h = layer_norm(x, layer.norm2);
    mixed = attend(linear(h, c.q_weight, c.q_bias, d), word.cross_keys[l],
                   word.cross_values[l], hyper.heads);
    x += linear(mixed, c.o_weight, c.o_bias, d);
    x += feed_forward(layer_norm(x, layer.norm3), layer.feed_forward,
                      hyper.d_ff);
  }
  const auto phonemes = static_cast<Eigen::Index>(model.phonemes.size());
  Matrix logits = linear(layer_norm(x, w.decoder_norm), w.output_weight,
                         w.output_bias, phonemes);
  for (Eigen::Index b = 0; b < batch; ++b) {
    const float top = logits.row(b).maxCoeff();
    const float total = std::log((logits.row(b).array() - top).exp().sum());
    logits.row(b).array() -= top + total;
  }
  return logits;
}

}  // namespace tamsu
