// Memory for the large buffers of an index build. A sort, and the gather of
// keys in sorted order after it, touch entries all over buffers of hundreds
// of megabytes; in small pages nearly every such touch misses the address
// translation cache and the first touch of each page faults. Buffers this
// large are therefore asked for in huge pages, and their elements are left
// uninitialised where the build writes them before reading.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace xce::cdx {

// Below this size a buffer comes from the ordinary heap.
constexpr std::size_t kBulkMinBytes = std::size_t{4} << 20;

inline void* AllocateBulk(std::size_t bytes) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    throw std::bad_alloc();
  }
  // Only advice: without huge pages the buffer works as well, more slowly.
  (void)::madvise(p, bytes, MADV_HUGEPAGE);
  return p;
}

inline void FreeBulk(void* p, std::size_t bytes) { ::munmap(p, bytes); }

// A standard allocator whose large blocks are bulk memory; elements are
// default-initialised, so a resize does not write what the caller writes.
template <typename T>
struct BulkAllocator {
  using value_type = T;
  BulkAllocator() = default;
  template <typename U>
  BulkAllocator(const BulkAllocator<U>&) {}  // NOLINT: allocators convert implicitly

  T* allocate(std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    return bytes < kBulkMinBytes ? std::allocator<T>().allocate(n)
                                 : static_cast<T*>(AllocateBulk(bytes));
  }
  void deallocate(T* p, std::size_t n) {
    const std::size_t bytes = n * sizeof(T);
    if (bytes < kBulkMinBytes) {
      std::allocator<T>().deallocate(p, n);
    } else {
      FreeBulk(p, bytes);
    }
  }
  template <typename U, typename... Args>
  void construct(U* p, Args&&... args) {
    if constexpr (sizeof...(Args) == 0) {
      ::new (static_cast<void*>(p)) U;
    } else {
      ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
  }
  template <typename U>
  bool operator==(const BulkAllocator<U>&) const {
    return true;
  }
};

template <typename T>
using BulkVector = std::vector<T, BulkAllocator<T>>;

}  // namespace xce::cdx
