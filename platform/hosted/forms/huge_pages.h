// Memory for the large arrays a reader makes as it goes through a file.
#ifndef BRINDLE_PLATFORM_HOSTED_FORMS_HUGE_PAGES_H_
#define BRINDLE_PLATFORM_HOSTED_FORMS_HUGE_PAGES_H_

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace brindle {

/// Backs an array of 2 MB or more with huge pages where the system allows:
/// a reader fills such arrays a few bytes at a time, and a page fault every
/// 4 KB cost more than the reading itself.
template <typename T>
struct HugePageAllocator {
  using value_type = T;
  static constexpr std::size_t kHuge = std::size_t{2} << 20;

  HugePageAllocator() = default;
  template <typename U>
  HugePageAllocator(const HugePageAllocator<U>&) {}

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kHuge) return static_cast<T*>(::operator new(bytes));
    void* at = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) throw std::bad_alloc();
    ::madvise(at, bytes, MADV_HUGEPAGE);  // a hint: no harm when refused
    return static_cast<T*>(at);
  }
  void deallocate(T* at, std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kHuge) {
      ::operator delete(at);
    } else {
      ::munmap(at, bytes);
    }
  }
  template <typename U>
  bool operator==(const HugePageAllocator<U>&) const {
    return true;
  }
  template <typename U>
  bool operator!=(const HugePageAllocator<U>&) const {
    return false;
  }
};

/// A vector whose large storage is backed by huge pages.
template <typename T>
using HugePageVector = std::vector<T, HugePageAllocator<T>>;

}  // namespace brindle

#endif  // BRINDLE_PLATFORM_HOSTED_FORMS_HUGE_PAGES_H_
