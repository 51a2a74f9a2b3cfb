// What the benchmarks share: timing on two clocks, and failing loudly with
// the engine's or SQLite's own message.
#pragma once

#include <malloc.h>
#include <sqlite3.h>
#include <time.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

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

// One figure's line: its wall and processor seconds.
inline void ReportSeconds(const char* what, Span s) {
  std::printf("  %-44s %8.3f s wall %8.3f s cpu\n", what, s.wall, s.cpu);
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

// Moves on one record; running off the end is how a walk stops, any other
// failure ends the bench.
inline void SkipOne(XDSHANDLE handle, const char* what) {
  const XDSRESULT r = XdsSkip(handle, 1);
  if (r != 0 && r != XDS_ERR_NO_CURRENT_RECORD) {
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

// A new SQLite database at `path` (any old one removed), set up for a single
// user: exclusive locking, no journal, no syncs; `fastest` adds a cache that
// holds the whole database and temporary data in memory.
inline sqlite3* OpenSqlite(const std::string& path, bool fastest) {
  std::remove(path.c_str());
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    std::fprintf(stderr, "%s: cannot open %s\n", gProgram, path.c_str());
    std::exit(1);
  }
  CheckSql(sqlite3_exec(db,
                        fastest ? "PRAGMA locking_mode=EXCLUSIVE; PRAGMA journal_mode=OFF;"
                                  "PRAGMA synchronous=OFF; PRAGMA cache_size=-2000000;"
                                  "PRAGMA temp_store=MEMORY;"
                                : "PRAGMA locking_mode=EXCLUSIVE; PRAGMA journal_mode=OFF;"
                                  "PRAGMA synchronous=OFF;",
                        nullptr, nullptr, nullptr),
           db, "set up");
  return db;
}

// Peak resident memory of the process: reset the high-water mark to the
// current resident size before an operation (after giving freed heap memory
// back), read it after, in megabytes.
// The pages of memory-mapped files count as they are touched.
inline void ResetPeakMemory() {
  malloc_trim(0);  // freed heap memory of earlier work would count otherwise
  if (FILE* f = std::fopen("/proc/self/clear_refs", "w")) {
    std::fputs("5", f);
    std::fclose(f);
  }
}

inline double StatusMegabytes(const char* field) {
  double mb = 0;
  if (FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[256];
    const std::size_t n = std::strlen(field);
    while (std::fgets(line, sizeof line, f) != nullptr) {
      if (std::strncmp(line, field, n) == 0 && line[n] == ':') {
        mb = std::strtod(line + n + 1, nullptr) / 1024.0;
        break;
      }
    }
    std::fclose(f);
  }
  return mb;
}

inline double PeakMemoryMb() { return StatusMegabytes("VmHWM"); }
inline double ResidentMb() { return StatusMegabytes("VmRSS"); }

// Right-aligned decimal text of v in a field of width w.
inline void FormatNumber(uint64_t v, char* out, int w) {
  std::memset(out, ' ', static_cast<std::size_t>(w));
  int i = w - 1;
  do {
    out[i--] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0 && i >= 0);
}

// The plain table of the engine's benches, "bench.dbf": ID N(10),
// NAME C(40), GRP N(6), made empty in `dir` and opened exclusively on a
// connection of its own.
struct BenchTable {
  XDSHANDLE connection = 0;
  XDSHANDLE table = 0;
};

inline BenchTable CreateBenchTable(const std::string& dir) {
  BenchTable t;
  Check(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &t.connection), "connect");
  XDSFIELDDEF defs[] = {{"ID", 'N', 10, 0}, {"NAME", 'C', 40, 0}, {"GRP", 'N', 6, 0}};
  Check(XdsCreateTable(t.connection, "bench.dbf", XDS_CHAR_ANSI, 3, defs), "create");
  Check(XdsOpenTable(t.connection, "bench.dbf", nullptr, XDS_TABLE_CDX, XDS_CHAR_ANSI, 1, 1,
                     XDS_OPEN_EXCLUSIVE, &t.table),
        "open");
  return t;
}

// Appends a record to the bench table: `id`, its made-up name, group `grp`.
inline void AppendBenchRecord(XDSHANDLE table, uint32_t id, uint32_t grp) {
  char idText[10];
  char name[40];
  char grpText[6];
  FormatNumber(id, idText, 10);
  MakeName(id, name);
  FormatNumber(grp, grpText, 6);
  Check(XdsAppendRecord(table), "append");
  Check(XdsSetFieldRaw(table, 1, idText, 10), "set id");
  Check(XdsSetFieldRaw(table, 2, name, 40), "set name");
  Check(XdsSetFieldRaw(table, 3, grpText, 6), "set grp");
  Check(XdsWriteRecord(table), "write");
}

}  // namespace bench
