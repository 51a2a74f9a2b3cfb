// Status: the engine's internal error value. Codes become C API results only
// at the API edge (api.cc); nothing inside the engine throws across it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

namespace xce {

// Result codes with a fixed meaning for callers of the engine.
enum ErrorCode : int32_t {
  kOk = 0,
  kErrNoBuffer = 5005,          // a buffer was asked for but none was given / filter present
  kErrNotCustom = 5017,
  kErrBadRecordNumber = 5022,   // GotoRecord to a number that names no record
  kErrDisconnect = 5024,
  kErrNoFilter = 5037,          // no filter to clear
  kErrNoScope = 5038,           // no scope set
  kErrNoKeyPosition = 5041,
  kErrNoPermission = 5054,
  kErrStaticView = 5064,
  kErrNoCurrentRecord = 5068,   // moved past either end
  kErrNoUpdatePending = 5085,
  kErrTableNotFound = 5132,
};

class Status {
 public:
  Status() = default;
  Status(int32_t code, std::string message) : code_(code), message_(std::move(message)) {}

  static Status Ok() { return Status(); }

  bool ok() const { return code_ == 0; }
  int32_t code() const { return code_; }
  const std::string& message() const { return message_; }

 private:
  int32_t code_ = 0;
  std::string message_;
};

}  // namespace xce

#define XCE_RETURN_IF_ERROR(expr)          \
  do {                                     \
    ::xce::Status xce_status_ = (expr);    \
    if (!xce_status_.ok()) {               \
      return xce_status_;                  \
    }                                      \
  } while (0)
