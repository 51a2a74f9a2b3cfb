#include "db/db_error.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int length = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string result;
  if (length > 0) {
    result.resize(static_cast<size_t>(length) + 1);
    std::vsnprintf(result.data(), result.size(), format, args);
    result.resize(static_cast<size_t>(length));
  }
  va_end(args);
  return result;
}

void DatabaseError(const std::string& message, const std::string& componentName) {
  if (componentName.empty()) {
    throw EDatabaseError(message);
  }
  throw EDatabaseError(componentName + ": " + message);
}

namespace {
TApplicationExceptionHandler& ApplicationHandler() {
  static TApplicationExceptionHandler handler;
  return handler;
}
}  // namespace

void SetApplicationExceptionHandler(TApplicationExceptionHandler handler) {
  ApplicationHandler() = std::move(handler);
}

bool HandleApplicationException(std::exception_ptr error) {
  auto& handler = ApplicationHandler();
  if (!handler) {
    return false;
  }
  handler(std::move(error));
  return true;
}
