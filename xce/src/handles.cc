#include "handles.h"

namespace xce {

Registry Registry::instance_;

std::string Registry::KindName(HandleKind kind) {
  switch (kind) {
    case HandleKind::kConnection:
      return "connection";
    case HandleKind::kTable:
      return "table";
    case HandleKind::kIndex:
      return "index";
  }
  return "object";
}

uint32_t Registry::Add(std::shared_ptr<HandleObject> obj) {
  std::lock_guard<std::mutex> lock(mu_);
  uint32_t index;
  if (!free_.empty()) {
    index = free_.back();
    free_.pop_back();
  } else {
    if (slots_.size() >= (1u << kSlotBits) - 1) {
      return 0;
    }
    index = static_cast<uint32_t>(slots_.size());
    slots_.emplace_back();
  }
  Slot& s = slots_[index];
  s.generation = (s.generation + 1) & ((1u << (32 - kSlotBits)) - 1);
  s.obj = std::move(obj);
  return (s.generation << kSlotBits) | (index + 1);
}

std::shared_ptr<HandleObject> Registry::Find(uint32_t handle) {
  uint32_t index = (handle & ((1u << kSlotBits) - 1));
  if (index == 0) {
    return nullptr;
  }
  --index;
  std::lock_guard<std::mutex> lock(mu_);
  if (index >= slots_.size()) {
    return nullptr;
  }
  const Slot& s = slots_[index];
  if (s.obj == nullptr || s.generation != handle >> kSlotBits) {
    return nullptr;
  }
  return s.obj;
}

namespace {

// The fast path reads only plain data, so it needs no TLS initialisation
// check; the references that keep cached objects alive sit beside it and are
// touched on a miss only. Initial-exec TLS: the library is linked, not loaded
// late, and the general model's lookup call would cost more than the rest of
// a record read.
struct FastEntry {
  uint32_t handle;
  uint64_t epoch;
  HandleObject* obj;
};
// Room for the handles of a list's step together with the searches each step
// makes in other tables (a filter handler's Locate, a lookup): two tables and
// their orders and a search's index handle, with room to spare.
constexpr unsigned kFastEntries = 8;
thread_local FastEntry tlsEntries[kFastEntries] __attribute__((tls_model("initial-exec")));
thread_local unsigned tlsNext __attribute__((tls_model("initial-exec")));
thread_local std::shared_ptr<HandleObject> tlsKeep[kFastEntries];

}  // namespace

HandleObject* Registry::FindFast(uint32_t handle) {
  const uint64_t epoch = epoch_.load(std::memory_order_acquire);
  for (const FastEntry& e : tlsEntries) {
    if (e.handle == handle && e.epoch == epoch && e.obj != nullptr) {
      return e.obj;
    }
  }
  return FindAndCache(handle, epoch);
}

// Kept out of line so the hit above stays a leaf without a stack frame.
__attribute__((noinline)) HandleObject* Registry::FindAndCache(uint32_t handle, uint64_t epoch) {
  std::shared_ptr<HandleObject> obj = Find(handle);
  if (obj == nullptr) {
    return nullptr;
  }
  unsigned slot = tlsNext++ % kFastEntries;
  FastEntry& e = tlsEntries[slot];
  e.handle = handle;
  e.epoch = epoch;
  e.obj = obj.get();
  tlsKeep[slot] = std::move(obj);
  return e.obj;
}

bool Registry::Remove(uint32_t handle) {
  std::shared_ptr<HandleObject> dropped;
  {
    uint32_t index = (handle & ((1u << kSlotBits) - 1));
    if (index == 0) {
      return false;
    }
    --index;
    std::lock_guard<std::mutex> lock(mu_);
    if (index >= slots_.size()) {
      return false;
    }
    Slot& s = slots_[index];
    if (s.obj == nullptr || s.generation != handle >> kSlotBits) {
      return false;
    }
    dropped = std::move(s.obj);
    s.obj = nullptr;
    free_.push_back(index);
    epoch_.fetch_add(1, std::memory_order_acq_rel);
  }
  return true;  // `dropped` is released outside the lock
}

std::vector<uint32_t> Registry::Handles(HandleKind kind) {
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<uint32_t> out;
  for (uint32_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].obj != nullptr && slots_[i].obj->kind() == kind) {
      out.push_back((slots_[i].generation << kSlotBits) | (i + 1));
    }
  }
  return out;
}

}  // namespace xce
