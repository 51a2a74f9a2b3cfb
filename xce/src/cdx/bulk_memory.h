// Memory for the large buffers of an index build. A sort, and the gather of
// keys in sorted order after it, touch entries all over buffers of hundreds
// of megabytes; in small pages nearly every such touch misses the address
// translation cache and the first touch of each page faults. Buffers this
// large are therefore asked for in huge pages, and their elements are left
// uninitialised where the build writes them before reading.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace xce::cdx {

// Below this size a buffer comes from the ordinary heap.
constexpr std::size_t kBulkMinBytes = std::size_t{4} << 20;

// Memory of `bytes` bytes, whose contents are not defined; throws
// std::bad_alloc when there is none.
void* AllocateBulk(std::size_t bytes);
void FreeBulk(void* p, std::size_t bytes);

// While one is alive, the last blocks freed are kept and handed out again
// for blocks of the same size, instead of going back to the system and
// coming back as fresh pages it must clear: the spills of a build sort one
// full buffer after another, each in a work space of the same size. What is
// kept is the work space of one sort, which the build's memory budget
// counts already. Kept blocks are freed when the last one ends.
class BulkReuse {
 public:
  BulkReuse();
  ~BulkReuse();
  BulkReuse(const BulkReuse&) = delete;
  BulkReuse& operator=(const BulkReuse&) = delete;
};

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
