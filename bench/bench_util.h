// What the benchmarks share: timing on two clocks, and failing loudly with
// the engine's or SQLite's own message.
#pragma once

#include <sqlite3.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "xce.h"

namespace bench {

// The program's name, leading its error messages.
inline const char* gProgram = "bench";

// A time taken on the wall clock and as CPU time of the whole process (all
// threads), which a busy shared machine disturbs less.
struct Span {
  double wall = 0;
  double cpu = 0;
};

inline double ReadClock(clockid_t id) {
  timespec ts;
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline Span Now() { return {ReadClock(CLOCK_MONOTONIC), ReadClock(CLOCK_PROCESS_CPUTIME_ID)}; }

inline Span Seconds(Span since) {
  Span now = Now();
  return {now.wall - since.wall, now.cpu - since.cpu};
}

[[noreturn]] inline void Die(const char* what) {
  int32_t code = 0;
  char text[600];
  uint16_t len = sizeof text;
  XdsGetLastError(&code, text, &len);
  std::fprintf(stderr, "%s: %s failed: %d %.*s\n", gProgram, what, code, static_cast<int>(len),
               text);
  std::exit(1);
}

inline void Check(XDSRESULT r, const char* what) {
  if (r != 0) {
    Die(what);
  }
}

inline void CheckSql(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "%s: %s failed: %s\n", gProgram, what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

// A NAME of 40 characters for record id, not following the record order.
// A stored number's digits as an integer; blanks and signs are skipped, which
// is all the benchmarks' plain positive fields need.
inline int64_t ParseDigits(const char* p, int width) {
  int64_t v = 0;
  for (int i = 0; i < width; ++i) {
    if (p[i] >= '0' && p[i] <= '9') {
      v = v * 10 + (p[i] - '0');
    }
  }
  return v;
}

inline void MakeName(uint32_t id, char* name40) {
  static const char* kWords[] = {"alpha",   "bravo", "charlie", "delta", "echo",
                                 "foxtrot", "golf",  "hotel",   "india", "juliet"};
  uint32_t h = id * 2654435761u;
  std::memset(name40, ' ', 40);
  int n = std::snprintf(name40, 41, "%s %s %u", kWords[h % 10], kWords[(h >> 8) % 10],
                        (h >> 4) % 1000000);
  name40[n] = ' ';
}

// Right-aligned decimal text of v in a field of width w.
inline void FormatNumber(uint64_t v, char* out, int w) {
  std::memset(out, ' ', static_cast<std::size_t>(w));
  int i = w - 1;
  do {
    out[i--] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0 && i >= 0);
}

}  // namespace bench
