// What the forward passes of the two networks (transformer.h, lstm.h)
// share: the namespace of the compiled copy, the matrix types, linear maps
// and the log-softmax, and the rows of teacher-forced prefix trees.
#ifndef TAMSU_NEURAL_KERNEL_H_
#define TAMSU_NEURAL_KERNEL_H_

#include <cmath>
#include <cstddef>
#include <vector>

#include <Eigen/Core>

#include "base/labels.h"

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

// y += x W^T for a PyTorch linear map W [out, in], out = y.cols(). The
// maps start y at the bias, or add it, and let the product add to that:
// an assigned product would first clear y, and the bias take another pass
// over it.
inline void add_product(ConstRows x, const float *weight, Rows y) {
  y.noalias() += x * WeightMap(weight, y.cols(), x.cols()).transpose();
}

// y = x W^T + b.
inline void linear(ConstRows x, const float *weight, const float *bias,
                   Rows y) {
  y.rowwise() = VectorMap(bias, y.cols());
  add_product(x, weight, y);
}

// Each row of `logits` turned into log-probabilities, in place.
inline void log_softmax_rows(Rows logits) {
  for (Index r = 0; r < logits.rows(); ++r) {
    const float top = logits.row(r).maxCoeff();
    const float total = std::log((logits.row(r).array() - top).exp().sum());
    logits.row(r).array() -= top + total;
  }
}

// Rows begin .. end - 1 of a decoder step belong to one word.
struct Run {
  Index begin, end;
  std::size_t word;
};

// Prefix trees of given pronunciations, teacher-forced in one pass: row r
// feeds tokens[r] at position depths[r] after its ancestors (parents[r],
// parents[parents[r]], ... up to a row of depth 0), so that a child's
// depth is its parent's plus one. The rows of word w are blocks[w] ..
// blocks[w + 1] - 1, a parent's row before its children's.
struct PrefixRows {
  LabelList tokens;
  std::vector<std::size_t> depths;
  std::vector<std::size_t> parents;  // a root's is its own row
  std::vector<std::size_t> blocks;   // words + 1 bounds
};

}  // namespace tamsu::TAMSU_NEURAL_KERNEL

#endif  // TAMSU_NEURAL_KERNEL_H_
