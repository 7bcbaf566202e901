#include "neural/transformer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace tamsu::TAMSU_NEURAL_KERNEL {
namespace {

constexpr float kNormEpsilon = 1e-5f;

// y += x W^T + b (a residual connection).
void add_linear(ConstRows x, const float *weight, const float *bias,
                Rows y) {
  y.rowwise() += VectorMap(bias, y.cols());
  add_product(x, weight, y);
}

void layer_norm(ConstRows x, const NormWeights &norm, Rows y) {
  const Index d = x.cols();
  const VectorMap gain(norm.gain, d);
  const VectorMap bias(norm.bias, d);
  for (Index r = 0; r < x.rows(); ++r) {
    const auto mean = static_cast<float>(sum_of(x.row(r).data(), d) / d);
    y.row(r) = x.row(r).array() - mean;
    double squares = 0;
    for (Index j = 0; j < d; ++j) squares += double{y(r, j)} * y(r, j);
    const auto variance = static_cast<float>(squares / d);
    y.row(r) = (y.row(r) / std::sqrt(variance + kNormEpsilon))
                   .cwiseProduct(gain) + bias;
  }
}

// The sinusoidal encodings of positions first .. first + count - 1, one
// row each: sin at even, cos at odd columns.
void positions(std::size_t first, Index count, Index d, Matrix &out) {
  out.resize(count, d);
  for (Index j = 0; j < d; ++j) {
    const double wavelength = std::pow(
        10000.0, static_cast<double>(j - j % 2) / static_cast<double>(d));
    for (Index r = 0; r < count; ++r) {
      const double angle =
          static_cast<double>(first + static_cast<std::size_t>(r)) /
          wavelength;
      out(r, j) = static_cast<float>(j % 2 ? std::cos(angle) : std::sin(angle));
    }
  }
}

// Row r of x: token r's embedding scaled by sqrt(d) plus `position`.
void embed_row(const float *table, Label token, const float *position,
               Index r, Rows x) {
  const Index d = x.cols();
  x.row(r) = VectorMap(table + static_cast<std::size_t>(token) * d, d) *
                 std::sqrt(static_cast<float>(d)) +
             VectorMap(position, d);
}

// Scaled dot-product attention of row r of `queries` over `count` keys
// and values (rows d floats apart from `keys` and `values`), head by head,
// into row r of `out`.
void attend(ConstRows queries, Index r, const float *keys,
            const float *values, Index count, Index heads, Matrix &scratch,
            Rows out) {
  const Index d = queries.cols();
  const Index width = d / heads;
  const float scale = 1.0f / std::sqrt(static_cast<float>(width));
  float *weights = shaped(scratch, 1, count).data();
  for (Index h = 0; h < heads; ++h) {
    attend_row(queries.row(r).data() + h * width, keys + h * width,
               values + h * width, d, count, width, scale, weights,
               out.row(r).data() + h * width);
  }
}

// Cross-attention of each run's queries over its word's encoding.
void cross_attend(const EncodedWords &words, std::size_t layer,
                  ConstRows queries, const std::vector<Run> &runs,
                  Index heads, Matrix &scratch, Rows out) {
  for (const Run &run : runs) {
    const Index first = words.offsets[run.word];
    const Index length = words.offsets[run.word + 1] - first;
    for (Index r = run.begin; r < run.end; ++r) {
      attend(queries, r, words.cross_keys[layer].row(first).data(),
             words.cross_values[layer].row(first).data(), length, heads,
             scratch, out);
    }
  }
}

// The scratch matrices as views of `rows` rows.
struct Views {
  View normed, queries, keys, values, mixed, hidden;
  Views(DecoderScratch &s, Index rows, Index d, Index d_ff)
      : normed(shaped(s.normed, rows, d)),
        queries(shaped(s.queries, rows, d)),
        keys(shaped(s.keys, rows, d)),
        values(shaped(s.values, rows, d)),
        mixed(shaped(s.mixed, rows, d)),
        hidden(shaped(s.hidden, rows, d_ff)) {}
};

// x += attention(norm(x)); mix(queries, keys, values, mixed) attends each
// row over what it may see.
template <class Mix>
void add_self_attention(View &x, const NormWeights &norm,
                        const AttentionWeights &a, Views &v, Mix &&mix) {
  layer_norm(x, norm, v.normed);
  linear(v.normed, a.q_weight, a.q_bias, v.queries);
  linear(v.normed, a.k_weight, a.k_bias, v.keys);
  linear(v.normed, a.v_weight, a.v_bias, v.values);
  mix(v.queries, v.keys, v.values, v.mixed);
  add_linear(v.mixed, a.o_weight, a.o_bias, x);
}

// x += feed_forward(norm(x)).
void add_feed_forward(View &x, const NormWeights &norm,
                      const FeedForwardWeights &ff, Views &v) {
  layer_norm(x, norm, v.normed);
  linear(v.normed, ff.weight1, ff.bias1, v.hidden);
  v.hidden = v.hidden.cwiseMax(0.0f);  // exact: no rounding to vary
  add_linear(v.hidden, ff.weight2, ff.bias2, x);
}

// The decoder stack over embedded rows `x`, ending in log-softmax scores;
// self_attend(layer, queries, keys, values, mixed) mixes each row's
// history.
template <class SelfAttend>
void run_decoder(const NeuralModel &model, const EncodedWords &words,
                 const std::vector<Run> &runs, SelfAttend &&self_attend,
                 DecoderScratch &s, View &x, Matrix &log_probs) {
  const TransformerWeights &w = model.weights;
  const auto heads = static_cast<Index>(model.hyper.heads);
  Views v(s, x.rows(), x.cols(), model.hyper.d_ff);
  for (std::size_t l = 0; l < w.decoder.size(); ++l) {
    const DecoderLayer &layer = w.decoder[l];
    add_self_attention(x, layer.norm1, layer.self_attention, v,
                       [&](View &queries, View &keys, View &values,
                           View &mixed) {
                         self_attend(l, queries, keys, values, mixed);
                       });
    const AttentionWeights &c = layer.cross_attention;
    layer_norm(x, layer.norm2, v.normed);
    linear(v.normed, c.q_weight, c.q_bias, v.queries);
    cross_attend(words, l, v.queries, runs, heads, s.scores, v.mixed);
    add_linear(v.mixed, c.o_weight, c.o_bias, x);
    add_feed_forward(x, layer.norm3, layer.feed_forward, v);
  }
  layer_norm(x, w.decoder_norm, v.normed);
  log_probs.resize(x.rows(), static_cast<Index>(model.phonemes.size()));
  linear(v.normed, w.output_weight, w.output_bias, log_probs);
  log_softmax_rows(log_probs);
}

}  // namespace

EncodedWords encode(const NeuralModel &model,
                    const std::vector<LabelList> &words) {
  const TransformerWeights &w = model.weights;
  const Index d = model.hyper.d_model;
  const auto heads = static_cast<Index>(model.hyper.heads);
  EncodedWords encoded;
  encoded.offsets.push_back(0);
  std::size_t longest = 0;
  for (const LabelList &word : words) {
    encoded.offsets.push_back(encoded.offsets.back() +
                              static_cast<Index>(word.size()));
    longest = std::max(longest, word.size());
  }
  const Index rows = encoded.offsets.back();
  Matrix position;
  positions(0, static_cast<Index>(longest), d, position);
  DecoderScratch scratch;
  View x = shaped(scratch.x, rows, d);
  for (std::size_t i = 0; i < words.size(); ++i) {
    for (std::size_t k = 0; k < words[i].size(); ++k) {
      embed_row(w.encoder_embedding, words[i][k],
                position.row(static_cast<Index>(k)).data(),
                encoded.offsets[i] + static_cast<Index>(k), x);
    }
  }
  Views v(scratch, rows, d, model.hyper.d_ff);
  for (const EncoderLayer &layer : w.encoder) {
    add_self_attention(
        x, layer.norm1, layer.attention, v,
        [&](View &queries, View &keys, View &values, View &mixed) {
          for (std::size_t i = 0; i < words.size(); ++i) {
            const Index first = encoded.offsets[i];
            const Index length = encoded.offsets[i + 1] - first;
            for (Index r = first; r < first + length; ++r) {
              attend(queries, r, keys.row(first).data(),
                     values.row(first).data(), length, heads,
                     scratch.scores, mixed);
            }
          }
        });
    add_feed_forward(x, layer.norm2, layer.feed_forward, v);
  }
  layer_norm(x, w.encoder_norm, v.normed);
  for (const DecoderLayer &layer : w.decoder) {
    const AttentionWeights &a = layer.cross_attention;
    encoded.cross_keys.emplace_back(rows, d);
    linear(v.normed, a.k_weight, a.k_bias, encoded.cross_keys.back());
    encoded.cross_values.emplace_back(rows, d);
    linear(v.normed, a.v_weight, a.v_bias, encoded.cross_values.back());
  }
  return encoded;
}

DecoderCache make_decoder_cache(const NeuralModel &model, std::size_t rows,
                                std::size_t capacity) {
  const Matrix empty(static_cast<Index>(rows),
                     static_cast<Index>(capacity * model.hyper.d_model));
  DecoderCache cache;
  cache.keys.assign(model.weights.decoder.size(), empty);
  cache.values.assign(model.weights.decoder.size(), empty);
  return cache;
}

void gather_cache(const NeuralModel &model, const DecoderCache &from,
                  const std::vector<std::size_t> &parents, std::size_t steps,
                  DecoderCache &to) {
  const auto used = static_cast<Index>(steps * model.hyper.d_model);
  const auto copy = [&](const Matrix &source, Matrix &target) {
    if (target.rows() < source.rows() || target.cols() < source.cols()) {
      target.resize(source.rows(), source.cols());
    }
    for (std::size_t i = 0; i < parents.size(); ++i) {
      target.row(static_cast<Index>(i)).head(used) =
          source.row(static_cast<Index>(parents[i])).head(used);
    }
  };
  for (std::size_t l = 0; l < from.keys.size(); ++l) {
    copy(from.keys[l], to.keys[l]);
    copy(from.values[l], to.values[l]);
  }
}

void decode_step(const NeuralModel &model, const EncodedWords &words,
                 const LabelList &tokens,
                 const std::vector<std::size_t> &word_of, std::size_t step,
                 DecoderCache &cache, DecoderScratch &scratch,
                 Matrix &log_probs) {
  const Index d = model.hyper.d_model;
  const auto heads = static_cast<Index>(model.hyper.heads);
  const auto rows = static_cast<Index>(tokens.size());
  Matrix position;
  positions(step, 1, d, position);
  View x = shaped(scratch.x, rows, d);
  std::vector<Run> runs;
  for (Index r = 0; r < rows; ++r) {
    embed_row(model.weights.decoder_embedding, tokens[r], position.data(), r,
              x);
    const std::size_t word = word_of[static_cast<std::size_t>(r)];
    if (runs.empty() || runs.back().word != word) runs.push_back({r, r, word});
    runs.back().end = r + 1;
  }
  const Index seen = static_cast<Index>(step + 1) * d;
  for (std::size_t l = 0; l < cache.keys.size(); ++l) {
    for (Matrix *m : {&cache.keys[l], &cache.values[l]}) {
      // Grown by half again when full, keeping what it holds.
      if (m->rows() < rows || m->cols() < seen) {
        m->conservativeResize(std::max(m->rows(), rows),
                              std::max(seen, m->cols() + m->cols() / 2));
      }
    }
  }
  const auto self_attend = [&](std::size_t l, View &queries, View &keys,
                               View &values, View &mixed) {
    Matrix &key_cache = cache.keys[l];
    Matrix &value_cache = cache.values[l];
    for (Index b = 0; b < rows; ++b) {
      key_cache.row(b).segment(seen - d, d) = keys.row(b);
      value_cache.row(b).segment(seen - d, d) = values.row(b);
      attend(queries, b, key_cache.row(b).data(), value_cache.row(b).data(),
             static_cast<Index>(step + 1), heads, scratch.scores, mixed);
    }
  };
  run_decoder(model, words, runs, self_attend, scratch, x, log_probs);
}

void decode_nodes(const NeuralModel &model, const EncodedWords &words,
                  const LabelList &tokens,
                  const std::vector<std::size_t> &word_of,
                  const std::vector<std::size_t> &parents, std::size_t step,
                  DecoderNodes &nodes, DecoderCache &cache,
                  DecoderScratch &scratch, Matrix &log_probs) {
  const Index d = model.hyper.d_model;
  const std::size_t layers = model.weights.decoder.size();
  if (nodes.keys.empty()) {
    nodes.keys.resize(layers);
    nodes.values.resize(layers);
  }
  if (cache.keys.empty()) cache = make_decoder_cache(model, tokens.size(), step + 1);
  const auto rows = static_cast<Index>(tokens.size());
  for (std::size_t l = 0; l < layers; ++l) {
    for (Matrix *m : {&cache.keys[l], &cache.values[l]}) {
      const Index seen = static_cast<Index>(step + 1) * d;
      if (m->rows() < rows || m->cols() < seen) {
        m->resize(std::max(m->rows(), rows), std::max(m->cols(), seen));
      }
    }
  }
  // Each row's history: its ancestors' slices, the root's first.
  for (Index b = 0; b < rows; ++b) {
    std::size_t node = parents[static_cast<std::size_t>(b)];
    for (std::size_t t = step; t-- > 0; node = nodes.parents[node]) {
      const auto at = static_cast<Index>(t) * d;
      for (std::size_t l = 0; l < layers; ++l) {
        std::memcpy(cache.keys[l].row(b).data() + at,
                    nodes.keys[l].data() + node * d, sizeof(float) * d);
        std::memcpy(cache.values[l].row(b).data() + at,
                    nodes.values[l].data() + node * d, sizeof(float) * d);
      }
    }
  }
  decode_step(model, words, tokens, word_of, step, cache, scratch, log_probs);
  const Index at = static_cast<Index>(step) * d;
  for (Index b = 0; b < rows; ++b) {
    for (std::size_t l = 0; l < layers; ++l) {
      const float *key = cache.keys[l].row(b).data() + at;
      const float *value = cache.values[l].row(b).data() + at;
      nodes.keys[l].insert(nodes.keys[l].end(), key, key + d);
      nodes.values[l].insert(nodes.values[l].end(), value, value + d);
    }
    nodes.parents.push_back(parents[static_cast<std::size_t>(b)]);
  }
}

}  // namespace tamsu::TAMSU_NEURAL_KERNEL
