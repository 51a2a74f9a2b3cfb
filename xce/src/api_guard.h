// The C API edge shared by every file of Xds functions: a Status becomes a
// result code and the caller's last error, and nothing thrown inside the
// engine crosses into the caller.
#pragma once

#include <new>
#include <string>

#include "xce/status.h"
#include "xce.h"

namespace xce::api {

// 0 for success; otherwise records the code and text as the last error.
inline XDSRESULT Report(const Status& s) {
  if (s.ok()) {
    return 0;
  }
  XdsSetLastError(s.code(), s.message().c_str());
  return s.code();
}

// Runs `body` and turns what it returns (or throws) into a result code.
template <typename F>
XDSRESULT Guard(F&& body) {
  try {
    return Report(body());
  } catch (const std::bad_alloc&) {
    return Report(Status(kErrIo, "The engine ran out of memory"));
  } catch (...) {
    return Report(Status(kErrIo, "Internal engine error"));
  }
}

inline Status NullArgument(const char* what) {
  return Status(kErrBadArgument, std::string("No ") + what + " given");
}

}  // namespace xce::api
