// Unsigned 64-bit arithmetic that stops at the largest value instead of
// wrapping: request sizes and path counts grow from user input.
#ifndef TAMSU_BASE_SATURATING_H_
#define TAMSU_BASE_SATURATING_H_

#include <cstdint>
#include <limits>

namespace tamsu {

inline constexpr std::uint64_t kSaturated =
    std::numeric_limits<std::uint64_t>::max();

constexpr std::uint64_t saturating_multiply(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  return __builtin_mul_overflow(a, b, &product) ? kSaturated : product;
}

constexpr std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t sum = 0;
  return __builtin_add_overflow(a, b, &sum) ? kSaturated : sum;
}

}  // namespace tamsu

#endif  // TAMSU_BASE_SATURATING_H_
