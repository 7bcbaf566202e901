// Labels and label lists shared by every core unit, with the hash used
// wherever a whole label sequence is a map key.
#ifndef TAMSU_BASE_LABELS_H_
#define TAMSU_BASE_LABELS_H_

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tamsu {

// A symbol id of one symbol table. 0 is epsilon; the text of 1 is the
// cluster separator.
using Label = std::uint32_t;
using LabelList = std::vector<Label>;

// Hashes a whole label sequence (FNV-1a over the labels); equality is the
// vector's element-wise comparison.
struct LabelListHash {
  std::size_t operator()(const LabelList &labels) const noexcept {
    std::uint64_t h = 14695981039346656037ull;
    for (Label label : labels) {
      h ^= label;
      h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h ^ (h >> 32));
  }
};

}  // namespace tamsu

#endif  // TAMSU_BASE_LABELS_H_
