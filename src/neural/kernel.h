// What the forward passes of the two networks (transformer.h, lstm.h)
// share: the namespace of the compiled copy, the matrix types, linear maps,
// attention and the log-softmax.
//
// Every operation here computes a row from that row's inputs alone, in a
// fixed order: a word's scores are then the same bits whichever words
// share its pass, whatever the thread count. Eigen's own products and
// reductions do not promise that (their blocking follows the number of
// rows, their vector loops peel off a head that depends on the address),
// so the passes use Eigen for storage and element-wise arithmetic only.
#ifndef TAMSU_NEURAL_KERNEL_H_
#define TAMSU_NEURAL_KERNEL_H_

#include <cmath>
#include <cstddef>
#include <cstring>
#include <vector>

#include <Eigen/Core>
#ifdef __FMA__
#include <immintrin.h>
#endif

#include "base/labels.h"
#include "neural/neural_model.h"

// The namespace of the copy being compiled (see passes.h): generic, or
// avx2 where passes_avx2.cc includes the forward passes again.
#ifndef TAMSU_NEURAL_KERNEL
#define TAMSU_NEURAL_KERNEL generic
#endif

namespace tamsu::TAMSU_NEURAL_KERNEL {

using Matrix =
    Eigen::Matrix<float, Eigen::Dynamic, Eigen::Dynamic, Eigen::RowMajor>;
using Index = Eigen::Index;
using RowVector = Eigen::Matrix<float, 1, Eigen::Dynamic>;
using WeightMap = Eigen::Map<const Matrix>;
using VectorMap = Eigen::Map<const RowVector>;
using View = Eigen::Map<Matrix>;
using ConstRows = Eigen::Ref<const Matrix>;
using Rows = Eigen::Ref<Matrix>;

// `buffer`'s memory as a rows x cols matrix; the buffer only ever grows,
// so a search stops allocating once it has seen its largest batch.
inline View shaped(Matrix &buffer, Index rows, Index cols) {
  if (buffer.size() < rows * cols) buffer.resize(rows, cols);
  return View(buffer.data(), rows, cols);
}

// c + a b, rounded once where the processor fuses it (the AVX2 copy).
inline float multiply_add(float a, float b, float c) {
#ifdef __FMA__
  return __builtin_fmaf(a, b, c);
#else
  return a * b + c;
#endif
}

// A product reads a linear map's packed weights (NeuralModel::packed) one
// panel at a time, from the first input's weights to the last, while it
// adds into kRows rows at a time, the panel's columns in registers: the
// panel stays in cache while every row passes over it.
inline constexpr Index kPanel = static_cast<Index>(kPanelWidth);
inline constexpr Index kRows = 6;

// Eight floats, as GCC's vector extension gives them: one AVX register
// in the AVX2 copy, two SSE registers in the generic one.
using Lanes = float __attribute__((vector_size(32)));
using UnalignedLanes = float __attribute__((vector_size(32), aligned(4)));

// R rows of y[:, c0 .. c0 + width) += x[:, 0 .. in) P, P one panel whose
// rows are the weights of inputs first .. first + in - 1. Each output
// adds its terms in input order, one multiply-add each, whatever R, the
// column and the rows' addresses: a row's result never depends on what
// else is in the product.
template <int R>
inline void product_tile(const float *x, Index x_stride, const float *panel,
                         Index in, float *y, Index y_stride, Index width) {
  Lanes sums[R][2];
  for (int i = 0; i < R; ++i) {
    float *row = y + i * y_stride;
    if (width == kPanel) {
      sums[i][0] = *reinterpret_cast<const UnalignedLanes *>(row);
      sums[i][1] = *reinterpret_cast<const UnalignedLanes *>(row + 8);
    } else {
      float padded[kPanel] = {};
      std::memcpy(padded, row, sizeof(float) * width);
      std::memcpy(&sums[i][0], padded, sizeof(Lanes));
      std::memcpy(&sums[i][1], padded + 8, sizeof(Lanes));
    }
  }
  for (Index k = 0; k < in; ++k) {
    const Lanes low = *reinterpret_cast<const Lanes *>(panel + k * kPanel);
    const Lanes high =
        *reinterpret_cast<const Lanes *>(panel + k * kPanel + 8);
#pragma GCC unroll 8
    for (int i = 0; i < R; ++i) {
      const float a = x[i * x_stride + k];
#ifdef __FMA__
      const __m256 broadcast = _mm256_set1_ps(a);
      sums[i][0] = _mm256_fmadd_ps(broadcast, low, sums[i][0]);
      sums[i][1] = _mm256_fmadd_ps(broadcast, high, sums[i][1]);
#else
      sums[i][0] = a * low + sums[i][0];
      sums[i][1] = a * high + sums[i][1];
#endif
    }
  }
  for (int i = 0; i < R; ++i) {
    float *row = y + i * y_stride;
    if (width == kPanel) {
      *reinterpret_cast<UnalignedLanes *>(row) = sums[i][0];
      *reinterpret_cast<UnalignedLanes *>(row + 8) = sums[i][1];
    } else {
      float padded[kPanel];
      std::memcpy(padded, &sums[i][0], sizeof(Lanes));
      std::memcpy(padded + 8, &sums[i][1], sizeof(Lanes));
      std::memcpy(row, padded, sizeof(float) * width);
    }
  }
}

// `rows` rows of y[:, c0 .. c0 + width) += x P for one panel P, a tile
// of kRows at a time and the rows left in tiles of 4 and fewer.
inline void product_panel(const float *x, Index x_stride, Index rows,
                          const float *panel, Index in, float *y,
                          Index y_stride, Index width) {
  Index r = 0;
  for (; r + kRows <= rows; r += kRows) {
    product_tile<kRows>(x + r * x_stride, x_stride, panel, in,
                        y + r * y_stride, y_stride, width);
  }
  x += r * x_stride;
  y += r * y_stride;
  const Index left = rows - r;
  if (left >= 4) {
    product_tile<4>(x, x_stride, panel, in, y, y_stride, width);
    x += 4 * x_stride;
    y += 4 * y_stride;
  }
  switch (left % 4) {
    case 3:
      product_tile<3>(x, x_stride, panel, in, y, y_stride, width);
      break;
    case 2:
      product_tile<2>(x, x_stride, panel, in, y, y_stride, width);
      break;
    case 1:
      product_tile<1>(x, x_stride, panel, in, y, y_stride, width);
      break;
    default:
      break;
  }
}

// Rows a product takes through every panel before the next rows: their
// inputs (a few hundred floats each) stay in the core's own cache while
// the panels pass.
inline constexpr Index kBlockRows = 16 * kRows;

// y += x W^T for inputs first .. first + x.cols() - 1 of a linear map W
// [out, in] (PyTorch's layout; out = y.cols()), given as its packed
// weights. The maps start y at the bias, or add it, and let the product
// add to that.
inline void add_product_part(ConstRows x, const float *packed, Index in,
                             Index first, Rows y) {
  const Index rows = x.rows(), count = x.cols(), out = y.cols();
  const Index x_stride = x.outerStride(), y_stride = y.outerStride();
  for (Index r = 0; r < rows; r += kBlockRows) {
    const Index block = rows - r < kBlockRows ? rows - r : kBlockRows;
    const float *xs = x.data() + r * x_stride;
    float *ys = y.data() + r * y_stride;
    for (Index c = 0; c < out; c += kPanel) {
      product_panel(xs, x_stride, block,
                    packed + (c / kPanel) * in * kPanel + first * kPanel,
                    count, ys + c, y_stride,
                    out - c < kPanel ? out - c : kPanel);
    }
  }
}

// y += x W^T over all of W's inputs (in = x.cols()).
inline void add_product(ConstRows x, const float *packed, Rows y) {
  add_product_part(x, packed, x.cols(), 0, y);
}

// y = x W^T + b.
inline void linear(ConstRows x, const float *packed, const float *bias,
                   Rows y) {
  y.rowwise() = VectorMap(bias, y.cols());
  add_product(x, packed, y);
}

// Eight floats for Eigen's vector functions.
using Chunk = Eigen::Array<float, 8, 1>;

// The `count` (at most 8) floats at `from` into `chunk`, the rest zero. A
// whole chunk copies at a constant size, which compiles to one load.
inline void load_chunk(Chunk &chunk, const float *from, Index count) {
  if (count == 8) {
    std::memcpy(chunk.data(), from, sizeof(Chunk));
    return;
  }
  chunk.setZero();
  std::memcpy(chunk.data(), from, sizeof(float) * count);
}

// The first `count` (at most 8) floats of `chunk` to `to`.
inline void store_chunk(float *to, const Chunk &chunk, Index count) {
  if (count == 8) {
    std::memcpy(to, chunk.data(), sizeof(Chunk));
    return;
  }
  std::memcpy(to, chunk.data(), sizeof(float) * count);
}

// f (an Eigen array expression) of each of the n floats at `values`, in
// place, eight at a time through an aligned copy (the tail padded): every
// element takes the same vector code whatever its address, where Eigen's
// own loop would give an unaligned head to scalar exp or tanh, whose last
// bit can differ.
template <class F>
inline void each_element(float *values, Index n, F &&f) {
  Chunk chunk;
  for (Index i = 0; i < n; i += 8) {
    const Index count = n - i < 8 ? n - i : 8;
    load_chunk(chunk, values + i, count);
    chunk = f(chunk);
    store_chunk(values + i, chunk, count);
  }
}

// each_element of every row of m.
template <class F>
inline void each_element_of_rows(Rows m, F &&f) {
  for (Index r = 0; r < m.rows(); ++r) each_element(m.row(r).data(), m.cols(), f);
}

// The sum of n floats, in order.
inline double sum_of(const float *values, Index n) {
  double sum = 0;
  for (Index i = 0; i < n; ++i) sum += values[i];
  return sum;
}

// a . b over n floats: eight running sums (lane i % 8), then those in
// order, so that the compiler may vectorise it without reordering a sum.
inline float dot(const float *a, const float *b, Index n) {
  float lanes[8] = {};
  Index i = 0;
  for (; i + 8 <= n; i += 8) {
    for (Index j = 0; j < 8; ++j) {
      lanes[j] = multiply_add(a[i + j], b[i + j], lanes[j]);
    }
  }
  for (; i < n; ++i) lanes[i % 8] = multiply_add(a[i], b[i], lanes[i % 8]);
  float sum = 0;
  for (float lane : lanes) sum += lane;
  return sum;
}

// The largest of n > 0 floats (a maximum does not depend on the order).
inline float largest(const float *values, Index n) {
  float top = values[0];
  for (Index i = 1; i < n; ++i) top = values[i] > top ? values[i] : top;
  return top;
}

// The n scores at `scores` turned into a softmax of scale * score, in
// place.
inline void softmax(float *scores, Index n, float scale) {
  const float top = largest(scores, n);
  each_element(scores, n, [&](const auto &v) { return ((v - top) * scale).exp(); });
  const auto total = static_cast<float>(sum_of(scores, n));
  for (Index i = 0; i < n; ++i) scores[i] /= total;
}

// One query's attention over `count` keys and values (rows `stride` floats
// apart, `width` of them read), into out[0 .. width): the softmax of the
// scaled dot products, then the values weighed in key order. `weights`
// holds at least `count` floats.
inline void attend_row(const float *query, const float *keys,
                       const float *values, Index stride, Index count,
                       Index width, float scale, float *weights, float *out) {
  for (Index m = 0; m < count; ++m) {
    weights[m] = dot(query, keys + m * stride, width);
  }
  softmax(weights, count, scale);
  for (Index j = 0; j < width; ++j) out[j] = 0.0f;
  for (Index m = 0; m < count; ++m) {
    const float *v = values + m * stride;
    for (Index j = 0; j < width; ++j) out[j] = multiply_add(weights[m], v[j], out[j]);
  }
}

// The sum of exp(v) over the n floats at `values`, eight at a time as
// each_element takes them, summed in order.
inline double sum_of_exp(const float *values, Index n) {
  Chunk chunk;
  double sum = 0;
  for (Index i = 0; i < n; i += 8) {
    const Index count = n - i < 8 ? n - i : 8;
    load_chunk(chunk, values + i, count);
    chunk = chunk.exp();
    for (Index j = 0; j < count; ++j) sum += chunk[j];
  }
  return sum;
}

// Each row of `logits` turned into log-probabilities, in place.
inline void log_softmax_rows(Rows logits) {
  const Index n = logits.cols();
  for (Index r = 0; r < logits.rows(); ++r) {
    float *row = logits.row(r).data();
    const float top = largest(row, n);
    for (Index i = 0; i < n; ++i) row[i] -= top;
    const auto total = static_cast<float>(std::log(sum_of_exp(row, n)));
    for (Index i = 0; i < n; ++i) row[i] -= total;
  }
}

// The parent of a prefix tree's root.
inline constexpr std::size_t kNoParent = static_cast<std::size_t>(-1);

// Rows begin .. end - 1 of a decoder step belong to one word.
struct Run {
  Index begin, end;
  std::size_t word;
};

}  // namespace tamsu::TAMSU_NEURAL_KERNEL

#endif  // TAMSU_NEURAL_KERNEL_H_
