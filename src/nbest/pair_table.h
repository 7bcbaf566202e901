// A map from 64-bit keys (two 32-bit halves packed) to dense 32-bit ids,
// open addressing: the searches' state tables, where std::unordered_map's
// node per entry costs more than the search itself.
#ifndef TAMSU_NBEST_PAIR_TABLE_H_
#define TAMSU_NBEST_PAIR_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tamsu {

// Keys are never removed; the table doubles at half load.
class PairTable {
 public:
  explicit PairTable(std::size_t expected) {
    std::size_t capacity = 256;
    while (capacity < 2 * expected) capacity *= 2;
    resize(capacity);
  }
  // The id of `key`, or `fresh` after recording it under `key`.
  std::int32_t find_or_add(std::uint64_t key, std::int32_t fresh) {
    if (2 * (size_ + 1) > keys_.size()) resize(2 * keys_.size());
    std::size_t slot = hash(key) & (keys_.size() - 1);
    while (values_[slot] != kEmpty) {
      if (keys_[slot] == key) return values_[slot];
      slot = (slot + 1) & (keys_.size() - 1);
    }
    keys_[slot] = key;
    values_[slot] = fresh;
    ++size_;
    return fresh;
  }

 private:
  static constexpr std::int32_t kEmpty = -1;
  static std::size_t hash(std::uint64_t key) {
    key *= 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(key ^ (key >> 29));
  }
  void resize(std::size_t capacity) {
    std::vector<std::uint64_t> keys(capacity);
    std::vector<std::int32_t> values(capacity, kEmpty);
    for (std::size_t i = 0; i < keys_.size(); ++i) {
      if (values_[i] == kEmpty) continue;
      std::size_t slot = hash(keys_[i]) & (capacity - 1);
      while (values[slot] != kEmpty) slot = (slot + 1) & (capacity - 1);
      keys[slot] = keys_[i];
      values[slot] = values_[i];
    }
    keys_ = std::move(keys);
    values_ = std::move(values);
  }

  std::vector<std::uint64_t> keys_;
  std::vector<std::int32_t> values_;
  std::size_t size_ = 0;
};

}  // namespace tamsu

#endif  // TAMSU_NBEST_PAIR_TABLE_H_
