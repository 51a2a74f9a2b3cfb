#include "cdx/bulk_memory.h"

#include <sys/mman.h>

#include <mutex>

namespace xce::cdx {

namespace {

// Blocks a reuse scope keeps: a sort's items and its scatter space.
constexpr std::size_t kKeptBlocks = 2;

struct Kept {
  void* p;
  std::size_t bytes;
};

struct ReusePool {
  std::mutex mu;
  int scopes = 0;
  std::vector<Kept> kept;  // oldest first
};

ReusePool& Pool() {
  static ReusePool pool;
  return pool;
}

void* MapBulk(std::size_t bytes) {
  void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) {
    throw std::bad_alloc();
  }
  // Only advice: without huge pages the buffer works as well, more slowly.
  (void)::madvise(p, bytes, MADV_HUGEPAGE);
  return p;
}

}  // namespace

void* AllocateBulk(std::size_t bytes) {
  ReusePool& pool = Pool();
  {
    std::lock_guard<std::mutex> lock(pool.mu);
    for (auto it = pool.kept.begin(); it != pool.kept.end(); ++it) {
      if (it->bytes == bytes) {
        void* p = it->p;
        pool.kept.erase(it);
        return p;
      }
    }
  }
  return MapBulk(bytes);
}

void FreeBulk(void* p, std::size_t bytes) {
  ReusePool& pool = Pool();
  Kept dropped{nullptr, 0};
  {
    std::lock_guard<std::mutex> lock(pool.mu);
    if (pool.scopes == 0) {
      dropped = {p, bytes};
    } else {
      if (pool.kept.size() == kKeptBlocks) {
        dropped = pool.kept.front();
        pool.kept.erase(pool.kept.begin());
      }
      pool.kept.push_back({p, bytes});
    }
  }
  if (dropped.p != nullptr) {
    ::munmap(dropped.p, dropped.bytes);
  }
}

BulkReuse::BulkReuse() {
  ReusePool& pool = Pool();
  std::lock_guard<std::mutex> lock(pool.mu);
  ++pool.scopes;
}

BulkReuse::~BulkReuse() {
  ReusePool& pool = Pool();
  std::vector<Kept> dropped;
  {
    std::lock_guard<std::mutex> lock(pool.mu);
    if (--pool.scopes == 0) {
      dropped.swap(pool.kept);
    }
  }
  for (const Kept& k : dropped) {
    ::munmap(k.p, k.bytes);
  }
}

}  // namespace xce::cdx
