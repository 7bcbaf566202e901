// An allocator for large tables read at random by every decode: blocks of
// 2 MiB or more are aligned to 2 MiB and offered to the kernel for
// transparent huge pages, so that a walk over a model of tens of megabytes
// misses in the address-translation caches far less often.
#ifndef TAMSU_MODEL_HUGE_PAGES_H_
#define TAMSU_MODEL_HUGE_PAGES_H_

#include <cstddef>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace tamsu {

inline constexpr std::size_t kHugePage = std::size_t{2} << 20;

template <class T>
struct HugePageAllocator {
  using value_type = T;

  HugePageAllocator() = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U> &) {}

  T *allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kHugePage) return static_cast<T *>(::operator new(bytes));
    // Whole huge pages: the tail of the last one would be wasted anyway.
    const std::size_t rounded = (bytes + kHugePage - 1) / kHugePage * kHugePage;
    void *block = ::operator new(rounded, std::align_val_t{kHugePage});
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Advice only: where huge pages are off the block keeps small ones.
    madvise(block, rounded, MADV_HUGEPAGE);
#endif
    return static_cast<T *>(block);
  }

  void deallocate(T *block, std::size_t n) noexcept {
    if (n * sizeof(T) < kHugePage) {
      ::operator delete(block);
    } else {
      ::operator delete(block, std::align_val_t{kHugePage});
    }
  }

  template <class U>
  bool operator==(const HugePageAllocator<U> &) const { return true; }
  template <class U>
  bool operator!=(const HugePageAllocator<U> &) const { return false; }
};

}  // namespace tamsu

#endif  // TAMSU_MODEL_HUGE_PAGES_H_
