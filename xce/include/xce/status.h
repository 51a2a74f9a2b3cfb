// Status: the engine's internal error value. Codes become C API results only
// at the API edge (api.cc); nothing inside the engine throws across it.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

namespace xce {

// Result codes with a fixed meaning for callers of the engine.
enum ErrorCode : int32_t {
  kOk = 0,
  kErrNoBuffer = 5005,  // a buffer was asked for but none was given / filter present
  kErrNotCustom = 5017,
  kErrBadRecordNumber = 5022,  // GotoRecord to a number that names no record
  kErrDisconnect = 5024,
  kErrNoFilter = 5037,  // no filter to clear
  kErrNoScope = 5038,   // no scope set
  kErrNoKeyPosition = 5041,
  kErrNoPermission = 5054,
  kErrStaticView = 5064,
  kErrNoCurrentRecord = 5068,  // moved past either end
  kErrNoUpdatePending = 5085,
  kErrTableNotFound = 5132,  // a table, memo or directory that does not exist

  // The engine's own codes for situations the callers do not single out.
  kErrInvalidHandle = 6001,      // 0, stale or foreign handle, or a handle of the wrong kind
  kErrIo = 6002,                 // the operating system refused a read, write or rename
  kErrLocked = 6003,             // file or record held by another open
  kErrCorrupt = 6004,            // damaged table or memo file
  kErrBadArgument = 6005,        // null pointer, bad option, bad field definition
  kErrReadOnly = 6006,           // write to a table opened read-only
  kErrIndexProtected = 6007,     // write to a table whose structural index is not maintained
  kErrBufferTooSmall = 6008,     // caller's buffer cannot hold the value
  kErrNotSupported = 6009,       // feature of the format the engine does not write
  kErrExclusiveRequired = 6010,  // pack and zap need an exclusive open
  kErrNumericOverflow = 6011,    // value does not fit the field
  kErrBadFieldNumber = 6012,     // field number outside 1..field count
  kErrAlreadyExists = 6013,      // create over an existing table
  kErrFieldNotWritable = 6014,   // a value given for a field the table fills itself
};

// Success carries nothing, so passing Ok() up through the layers of a hot path
// (one call per record) costs no string construction.
class [[nodiscard]] Status {
 public:
  Status() = default;
  Status(int32_t code, std::string message)
      : code_(code), message_(std::make_shared<const std::string>(std::move(message))) {}

  static Status Ok() { return Status(); }

  bool ok() const { return code_ == 0; }
  int32_t code() const { return code_; }
  const std::string& message() const {
    static const std::string kEmpty;
    return message_ != nullptr ? *message_ : kEmpty;
  }

 private:
  int32_t code_ = 0;
  std::shared_ptr<const std::string> message_;
};

}  // namespace xce

#define XCE_RETURN_IF_ERROR(expr)       \
  do {                                  \
    ::xce::Status xce_status_ = (expr); \
    if (!xce_status_.ok()) {            \
      return xce_status_;               \
    }                                   \
  } while (0)
