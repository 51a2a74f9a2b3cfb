// Handle registry: the C API's 32-bit handles map to engine objects here.
// Handle 0 is never issued; a stale handle (its object released) or a handle
// of the wrong kind is refused with an error, never dereferenced.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "xce/status.h"

namespace xce {

enum class HandleKind { kConnection, kTable, kIndex };

class HandleObject {
 public:
  explicit HandleObject(HandleKind kind) : kind_(kind) {}
  virtual ~HandleObject() = default;
  HandleKind kind() const { return kind_; }

 private:
  HandleKind kind_;
};

class Registry {
 public:
  static Registry& Get() { return instance_; }

  uint32_t Add(std::shared_ptr<HandleObject> obj);
  // The object, or null when the handle is 0, stale or foreign.
  std::shared_ptr<HandleObject> Find(uint32_t handle);
  // The same without taking the lock or touching reference counts: answered
  // from a small per-thread cache that is dropped whenever any handle is
  // removed. The pointer stays valid for the rest of the calling API
  // function (the cache holds a reference).
  HandleObject* FindFast(uint32_t handle);
  // Drops the handle; false when it was not live (closing what is already
  // gone is no failure, so callers may leave it unread).
  bool Remove(uint32_t handle);
  // All live handles of a kind (for disconnecting a connection's tables).
  std::vector<uint32_t> Handles(HandleKind kind);

  template <typename T>
  Status Lookup(uint32_t handle, HandleKind kind, std::shared_ptr<T>* out) {
    std::shared_ptr<HandleObject> obj = Find(handle);
    if (obj == nullptr || obj->kind() != kind) {
      return Status(kErrInvalidHandle,
                    "Invalid " + KindName(kind) + " handle " + std::to_string(handle));
    }
    *out = std::static_pointer_cast<T>(obj);
    return Status::Ok();
  }
  static std::string KindName(HandleKind kind);

 private:
  HandleObject* FindAndCache(uint32_t handle, uint64_t epoch);

  static constexpr uint32_t kSlotBits = 20;
  struct Slot {
    uint32_t generation = 0;
    std::shared_ptr<HandleObject> obj;
  };
  std::mutex mu_;
  std::atomic<uint64_t> epoch_{1};
  std::vector<Slot> slots_;
  std::vector<uint32_t> free_;
  static Registry instance_;
};

struct Connection : public HandleObject {
  Connection() : HandleObject(HandleKind::kConnection) {}
  std::string dir;
};

}  // namespace xce
