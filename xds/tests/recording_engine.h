// A recording wrapper around the real engine: every call the table layer
// makes is written to a log as "XdsName(arg, ...)" before it is forwarded,
// and a test may make any call fail instead. Output arguments (pointers
// other than strings) are shown as "*".
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "xds/xce_calls.h"

namespace xdstest {

class RecordingEngine;

namespace recording {

template <std::size_t N>
struct Name {
  constexpr Name(const char (&text)[N]) {  // NOLINT
    for (std::size_t i = 0; i < N; ++i) {
      chars[i] = text[i];
    }
  }
  char chars[N];
};

inline RecordingEngine*& Current() {
  static RecordingEngine* current = nullptr;
  return current;
}

template <class T>
std::string Show(T value) {
  if constexpr (std::is_same_v<T, const char*>) {
    return value == nullptr ? "null" : "\"" + std::string(value) + "\"";
  } else if constexpr (std::is_pointer_v<T>) {
    return "*";
  } else if constexpr (std::is_floating_point_v<T>) {
    std::string s = std::to_string(value);
    while (s.size() > 1 && s.back() == '0') {
      s.pop_back();
    }
    return s;
  } else {
    return std::to_string(value);
  }
}

// Forwards to F after logging; defined after RecordingEngine.
template <auto F, Name N>
struct Wrap;

}  // namespace recording

class RecordingEngine {
 public:
  // Replaces every call of the layer with its recording wrapper.
  RecordingEngine();
  ~RecordingEngine() {
    Xce() = TXceCalls{};
    recording::Current() = nullptr;
  }
  RecordingEngine(const RecordingEngine&) = delete;
  RecordingEngine& operator=(const RecordingEngine&) = delete;

  std::vector<std::string> calls;
  // Asked before each call with its log line; a value makes the call fail
  // with that result (and sets the engine's last error to it).
  std::function<std::optional<XDSRESULT>(const std::string& call)> fail;
  // The last error code an injected failure leaves (its result when unset).
  std::optional<int32_t> failLastError;

  // The calls so far whose line starts with one of the prefixes; clears the log.
  std::vector<std::string> Take(const std::vector<std::string>& prefixes = {}) {
    std::vector<std::string> result;
    for (const std::string& c : calls) {
      if (prefixes.empty()) {
        result.push_back(c);
        continue;
      }
      for (const std::string& p : prefixes) {
        if (c.compare(0, p.size(), p) == 0) {
          result.push_back(c);
          break;
        }
      }
    }
    calls.clear();
    return result;
  }

};

namespace recording {

template <class... A, XDSRESULT (*F)(A...), Name N>
struct Wrap<F, N> {
  static XDSRESULT Call(A... args) {
    RecordingEngine* self = Current();
    const std::string name = N.chars;
    // Reading and setting the last error is how failures are reported;
    // logging them would drown the calls that matter.
    if (self == nullptr || name == "XdsGetLastError" || name == "XdsSetLastError") {
      return F(args...);
    }
    std::string line = name + "(";
    bool first = true;
    ((line += (first ? "" : ", ") + Show(args), first = false), ...);
    line += ")";
    self->calls.push_back(line);
    if (self->fail) {
      if (std::optional<XDSRESULT> r = self->fail(line)) {
        XdsSetLastError(self->failLastError.value_or(*r), ("injected failure of " + line).c_str());
        return *r;
      }
    }
    return F(args...);
  }
};

}  // namespace recording

inline RecordingEngine::RecordingEngine() {
  recording::Current() = this;
#define XDS_RECORD_CALL(name) Xce().name = &recording::Wrap<&::name, #name>::Call;
  XDS_ENGINE_CALLS(XDS_RECORD_CALL)
#undef XDS_RECORD_CALL
}

// Runs `body` under a recording engine whose `n`th call fails with
// XDS_ERR_IO (n = 0: none fails): whether `body` threw, and in *calls how
// many calls it made. A close is left to the engine, since it releases its
// table even when it fails and a refused one would leave the table held.
inline bool RunWithCallFailing(int n, int* calls, const std::function<void()>& body) {
  int count = 0;
  bool failed = false;
  {
    RecordingEngine rec;
    rec.fail = [&](const std::string& call) -> std::optional<XDSRESULT> {
      if (call.rfind("XdsCloseTable", 0) == 0) {
        return std::nullopt;
      }
      return ++count == n ? std::optional<XDSRESULT>(XDS_ERR_IO) : std::nullopt;
    };
    try {
      body();
    } catch (const std::exception&) {
      failed = true;
    }
  }
  *calls = count;
  return failed;
}

}  // namespace xdstest
