// Table engine against SQLite, N records of N(10), C(40), N(6):
//   bulk append; read of every record in record order; N random
//   GotoRecord + GetRecord (SQLite: lookup by rowid).
// SQLite runs at its fastest for a single user: exclusive locking, no
// journal, no syncs, a cache that holds the whole database, prepared
// statements, the bulk load in one transaction.
//
//   table_bench [N] [DIR]     (files are kept when DIR is given)
#include <sqlite3.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "xce.h"

namespace {

using bench::Check;
using bench::CheckSql;
using bench::Die;
using bench::FormatNumber;
using bench::Seconds;
using bench::ParseDigits;
using bench::Span;

void MakeName(uint32_t i, char* name40) {
  std::memcpy(name40, "record name                             ", 40);
  FormatNumber(i, name40 + 28, 12);
}

struct Times {
  Span append;
  Span scan;
  Span random;
  int64_t checksum = 0;
};

Times RunEngine(const std::string& dir, uint32_t n, const std::vector<uint32_t>& order) {
  Times t;
  auto [c, table] = bench::CreateBenchTable(dir);
  char id[10];
  char name[40];
  char grp[6];
  auto start = bench::Now();
  for (uint32_t i = 1; i <= n; ++i) {
    FormatNumber(i, id, 10);
    MakeName(i, name);
    FormatNumber(i % 1000, grp, 6);
    Check(XdsAppendRecord(table), "append");
    Check(XdsSetFieldRaw(table, 1, id, 10), "set id");
    Check(XdsSetFieldRaw(table, 2, name, 40), "set name");
    Check(XdsSetFieldRaw(table, 3, grp, 6), "set grp");
    Check(XdsWriteRecord(table), "write");
  }
  Check(XdsFlushTable(table), "flush");
  t.append = Seconds(start);

  uint32_t len = 0;
  Check(XdsGetRecordLength(table, &len), "record length");
  std::vector<char> rec(len);
  start = bench::Now();
  int64_t sum = 0;
  uint32_t seen = 0;
  Check(XdsGotoTop(table), "top");
  for (;;) {
    Check(XdsGetRecord(table, rec.data(), len), "get record");
    sum += ParseDigits(rec.data() + 1, 10) + ParseDigits(rec.data() + 51, 6) + rec[50];
    ++seen;
    XDSRESULT r = XdsSkip(table, 1);
    if (r == XDS_ERR_NO_CURRENT_RECORD) {
      break;
    }
    Check(r, "skip");
  }
  t.scan = Seconds(start);
  if (seen != n) {
    std::fprintf(stderr, "table_bench: read %u records, expected %u\n", seen, n);
    std::exit(1);
  }

  start = bench::Now();
  for (uint32_t r : order) {
    Check(XdsGotoRecord(table, r), "goto");
    Check(XdsGetRecord(table, rec.data(), len), "get record");
    sum += ParseDigits(rec.data() + 1, 10) + ParseDigits(rec.data() + 51, 6) + rec[50];
  }
  t.random = Seconds(start);
  t.checksum = sum;
  Check(XdsCloseTable(table), "close");
  Check(XdsDisconnect(c), "disconnect");
  return t;
}

Times RunSqlite(const std::string& dir, uint32_t n, const std::vector<uint32_t>& order) {
  Times t;
  sqlite3* db = bench::OpenSqlite(dir + "/bench.sqlite", true);
  CheckSql(sqlite3_exec(db, "CREATE TABLE t(id INTEGER, name TEXT, grp INTEGER);", nullptr, nullptr,
                        nullptr),
           db, "set up");
  sqlite3_stmt* ins = nullptr;
  CheckSql(
      sqlite3_prepare_v2(db, "INSERT INTO t(id, name, grp) VALUES(?, ?, ?)", -1, &ins, nullptr), db,
      "prepare insert");
  char name[40];
  auto start = bench::Now();
  CheckSql(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  for (uint32_t i = 1; i <= n; ++i) {
    MakeName(i, name);
    sqlite3_bind_int64(ins, 1, i);
    sqlite3_bind_text(ins, 2, name, 40, SQLITE_STATIC);
    sqlite3_bind_int64(ins, 3, i % 1000);
    CheckSql(sqlite3_step(ins), db, "insert");
    sqlite3_reset(ins);
  }
  CheckSql(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  t.append = Seconds(start);
  sqlite3_finalize(ins);

  sqlite3_stmt* scan = nullptr;
  CheckSql(sqlite3_prepare_v2(db, "SELECT id, name, grp FROM t ORDER BY rowid", -1, &scan, nullptr),
           db, "prepare scan");
  int64_t sum = 0;
  start = bench::Now();
  uint32_t seen = 0;
  while (sqlite3_step(scan) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(scan, 1);
    sum += sqlite3_column_int64(scan, 0) + sqlite3_column_int64(scan, 2) + text[39];
    ++seen;
  }
  t.scan = Seconds(start);
  sqlite3_finalize(scan);
  if (seen != n) {
    std::fprintf(stderr, "table_bench: SQLite read %u rows, expected %u\n", seen, n);
    std::exit(1);
  }

  sqlite3_stmt* get = nullptr;
  CheckSql(sqlite3_prepare_v2(db, "SELECT id, name, grp FROM t WHERE rowid = ?", -1, &get, nullptr),
           db, "prepare lookup");
  start = bench::Now();
  for (uint32_t r : order) {
    sqlite3_bind_int64(get, 1, r);
    if (sqlite3_step(get) == SQLITE_ROW) {
      const unsigned char* text = sqlite3_column_text(get, 1);
      sum += sqlite3_column_int64(get, 0) + sqlite3_column_int64(get, 2) + text[39];
    }
    sqlite3_reset(get);
  }
  t.random = Seconds(start);
  t.checksum = sum;
  sqlite3_finalize(get);
  sqlite3_close(db);
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  bench::gProgram = "table_bench";
  uint32_t n = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1000000;
  std::string dir =
      argc > 2
          ? argv[2]
          : (std::filesystem::temp_directory_path() / ("table_bench." + std::to_string(::getpid())))
                .string();
  std::filesystem::create_directories(dir);
  std::vector<uint32_t> order(n);
  std::mt19937 rng(12345);
  std::uniform_int_distribution<uint32_t> pick(1, n);
  for (uint32_t& r : order) {
    r = pick(rng);
  }
  Times e = RunEngine(dir, n, order);
  Times s = RunSqlite(dir, n, order);
  if (e.checksum != s.checksum) {
    std::fprintf(stderr, "table_bench: results differ (%lld vs %lld)\n",
                 static_cast<long long>(e.checksum), static_cast<long long>(s.checksum));
  }
  std::printf("records: %u (seconds of CPU time, wall time in brackets)\n", n);
  std::printf("%-28s %18s %18s %8s\n", "", "engine", "SQLite", "ratio");
  auto row = [](const char* what, const Span& a, const Span& b) {
    std::printf("%-28s %7.3f (%7.3f) %7.3f (%7.3f) %7.2fx\n", what, a.cpu, a.wall, b.cpu, b.wall,
                b.cpu / a.cpu);
  };
  row("bulk append", e.append, s.append);
  row("read all in record order", e.scan, s.scan);
  row("random GotoRecord+GetRecord", e.random, s.random);
  if (argc <= 2) {
    std::filesystem::remove_all(dir);
  }
  return 0;
}
