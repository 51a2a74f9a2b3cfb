// The base of every exception the program's C++ layers raise (the engine
// below them answers with result codes instead): a message and nothing else.
// It lives here, in the lowest layer that throws, so the profile files and
// the current directory raise the same family the record-set framework, the
// table layer and the windows do, and one handler shows them all.
#pragma once

#include <exception>
#include <string>
#include <utility>

class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& Message() const { return message_; }
  void SetMessage(std::string message) { message_ = std::move(message); }

 private:
  std::string message_;
};
