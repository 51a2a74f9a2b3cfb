// Compound indexes against SQLite on the same data in the same run:
// N records of ID N(10) (a random permutation of 1..N), NAME C(40), GRP N(6).
//   build three tags (SQLite: three CREATE INDEX, at its fastest settings and
//   at its default cache size, the faster counted); N random exact seeks by
//   ID; a visit of every record in NAME order reading its fields; the count of
//   GRP = 5 through an optimized filter and by scanning; reindex; delete every
//   10th record, then pack (SQLite: DELETE and VACUUM).
// SQLite runs at its fastest for a single user: exclusive locking, no
// journal, no syncs, a cache that holds the whole database, prepared
// statements, the bulk load in one transaction.
//
//   index_bench [N] [DIR]     (files are kept when DIR is given)
// Each operation is reported as wall time and as CPU time of all threads;
// the builds use both cores, so the two differ there. Builds, reindex and
// pack also report the process's peak resident memory during them (the
// table's memory-mapped pages included).
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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
using bench::MakeName;
using bench::Seconds;
using bench::Span;

struct Data {
  std::vector<uint32_t> ids;    // ID of record i+1
  std::vector<uint32_t> grps;   // GRP of record i+1
  std::vector<uint32_t> seeks;  // IDs to seek
};

struct Times {
  Span build;
  Span buildDefault;
  Span seek;
  Span visit;
  Span countIndexed;
  Span countScan;
  Span reindex;
  Span pack;
  // Peak resident memory in MB during the builds (memory-mapped pages included).
  double buildMb = 0, buildDefaultMb = 0, reindexMb = 0, packMb = 0;
  int64_t checksum = 0;
  uint32_t countResult = 0;
};

Times RunEngine(const std::string& dir, const Data& d) {
  Times t;
  const uint32_t n = static_cast<uint32_t>(d.ids.size());
  auto [c, table] = bench::CreateBenchTable(dir);
  for (uint32_t i = 0; i < n; ++i) {
    bench::AppendBenchRecord(table, d.ids[i], d.grps[i]);
  }
  Check(XdsFlushTable(table), "flush");

  bench::ResetPeakMemory();
  auto start = bench::Now();
  const XDSTAGDEF tags[] = {
      {"ID", "ID", "", 0, 0}, {"NAME", "NAME", "", 0, 0}, {"GRP", "GRP", "", 0, 0}};
  Check(XdsCreateIndexTags(table, 3, tags), "tags");
  t.build = Seconds(start);
  t.buildMb = bench::PeakMemoryMb();

  XDSHANDLE byId = 0;
  XDSHANDLE byName = 0;
  Check(XdsGetIndexHandle(table, "ID", &byId), "index ID");
  Check(XdsGetIndexHandle(table, "NAME", &byName), "index NAME");
  uint32_t len = 0;
  Check(XdsGetRecordLength(table, &len), "record length");
  std::vector<char> rec(len);
  int64_t sum = 0;
  start = bench::Now();
  char key[16];
  for (uint32_t s : d.seeks) {
    int k = std::snprintf(key, sizeof key, "%u", s);
    uint16_t found = 0;
    Check(XdsSeek(byId, key, static_cast<uint16_t>(k), XDS_KEY_STRING, XDS_SEEK_SOFT, &found),
          "seek");
    if (found == 0) {
      Die("seek found nothing");
    }
    Check(XdsGetRecord(table, rec.data(), len), "get record");
    sum += rec[50];
  }
  t.seek = Seconds(start);

  start = bench::Now();
  char value[64];
  uint32_t seen = 0;
  Check(XdsGotoTop(byName), "top");
  for (;;) {
    uint32_t vl = sizeof value;
    Check(XdsGetField(table, 1, value, &vl, XDS_GET_NO_TRIM), "get ID");
    sum += value[vl - 1];
    vl = sizeof value;
    Check(XdsGetField(table, 2, value, &vl, XDS_GET_NO_TRIM), "get NAME");
    sum += value[0];
    vl = sizeof value;
    Check(XdsGetField(table, 3, value, &vl, XDS_GET_NO_TRIM), "get GRP");
    sum += value[vl - 1];
    ++seen;
    XDSRESULT r = XdsSkip(byName, 1);
    if (r == XDS_ERR_NO_CURRENT_RECORD) {
      break;
    }
    Check(r, "skip");
  }
  t.visit = Seconds(start);
  if (seen != n) {
    std::fprintf(stderr, "index_bench: visited %u records, expected %u\n", seen, n);
    std::exit(1);
  }

  start = bench::Now();
  Check(XdsSetAOF(table, "GRP = 5", 1), "set optimized filter");
  Check(XdsGetRecordCount(table, XDS_COUNT_RESPECT_FILTERS, &t.countResult), "count");
  t.countIndexed = Seconds(start);
  Check(XdsClearAOF(table), "clear optimized filter");
  start = bench::Now();
  Check(XdsSetFilter(table, "GRP = 5"), "set filter");
  uint32_t scanned = 0;
  Check(XdsGetRecordCount(table, XDS_COUNT_RESPECT_FILTERS, &scanned), "count");
  t.countScan = Seconds(start);
  Check(XdsClearFilter(table), "clear filter");
  if (scanned != t.countResult) {
    std::fprintf(stderr, "index_bench: counts differ (%u vs %u)\n", t.countResult, scanned);
  }

  bench::ResetPeakMemory();
  start = bench::Now();
  Check(XdsReindex61(table, 512), "reindex");
  t.reindex = Seconds(start);
  t.reindexMb = bench::PeakMemoryMb();

  bench::ResetPeakMemory();
  start = bench::Now();
  for (uint32_t r = 10; r <= n; r += 10) {
    Check(XdsGotoRecord(table, r), "goto");
    Check(XdsDeleteRecord(table), "delete");
  }
  Check(XdsPackTable(table), "pack");
  t.pack = Seconds(start);
  t.packMb = bench::PeakMemoryMb();
  t.checksum = sum;
  Check(XdsCloseTable(table), "close");
  Check(XdsDisconnect(c), "disconnect");
  return t;
}

sqlite3* OpenSqlite(const std::string& path, bool fastest) {
  sqlite3* db = bench::OpenSqlite(path, fastest);
  CheckSql(sqlite3_exec(db, "CREATE TABLE t(id INTEGER, name TEXT, grp INTEGER);", nullptr, nullptr,
                        nullptr),
           db, "create");
  return db;
}

void Load(sqlite3* db, const Data& d) {
  sqlite3_stmt* ins = nullptr;
  CheckSql(
      sqlite3_prepare_v2(db, "INSERT INTO t(id, name, grp) VALUES(?, ?, ?)", -1, &ins, nullptr), db,
      "prepare insert");
  char name[40];
  CheckSql(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  for (std::size_t i = 0; i < d.ids.size(); ++i) {
    MakeName(d.ids[i], name);
    sqlite3_bind_int64(ins, 1, d.ids[i]);
    sqlite3_bind_text(ins, 2, name, 40, SQLITE_STATIC);
    sqlite3_bind_int64(ins, 3, d.grps[i]);
    CheckSql(sqlite3_step(ins), db, "insert");
    sqlite3_reset(ins);
  }
  CheckSql(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  sqlite3_finalize(ins);
}

const char* kCreateIndexes =
    "CREATE INDEX t_id ON t(id); CREATE INDEX t_name ON t(name); CREATE INDEX t_grp ON t(grp);";

Times RunSqlite(const std::string& dir, const Data& d) {
  Times t;
  {
    // Index building at SQLite's default cache size, which builds faster there.
    sqlite3* db = OpenSqlite(dir + "/default.sqlite", false);
    Load(db, d);
    bench::ResetPeakMemory();
    auto start = bench::Now();
    CheckSql(sqlite3_exec(db, kCreateIndexes, nullptr, nullptr, nullptr), db, "create indexes");
    t.buildDefault = Seconds(start);
    t.buildDefaultMb = bench::PeakMemoryMb();
    bench::ResetPeakMemory();
    start = bench::Now();
    CheckSql(sqlite3_exec(db, "REINDEX", nullptr, nullptr, nullptr), db, "reindex");
    t.reindex = Seconds(start);
    t.reindexMb = bench::PeakMemoryMb();
    sqlite3_close(db);
    std::filesystem::remove(dir + "/default.sqlite");
  }
  sqlite3* db = OpenSqlite(dir + "/bench.sqlite", true);
  Load(db, d);
  bench::ResetPeakMemory();
  auto start = bench::Now();
  CheckSql(sqlite3_exec(db, kCreateIndexes, nullptr, nullptr, nullptr), db, "create indexes");
  t.build = Seconds(start);
  t.buildMb = bench::PeakMemoryMb();

  int64_t sum = 0;
  sqlite3_stmt* get = nullptr;
  CheckSql(sqlite3_prepare_v2(db, "SELECT id, name, grp FROM t WHERE id = ?", -1, &get, nullptr),
           db, "prepare seek");
  start = bench::Now();
  for (uint32_t s : d.seeks) {
    sqlite3_bind_int64(get, 1, s);
    if (sqlite3_step(get) != SQLITE_ROW) {
      std::fprintf(stderr, "index_bench: SQLite found no id %u\n", s);
      std::exit(1);
    }
    const unsigned char* text = sqlite3_column_text(get, 1);
    sum += text[39];
    sqlite3_reset(get);
  }
  t.seek = Seconds(start);
  sqlite3_finalize(get);

  sqlite3_stmt* visit = nullptr;
  CheckSql(sqlite3_prepare_v2(db, "SELECT id, name, grp FROM t ORDER BY name", -1, &visit, nullptr),
           db, "prepare visit");
  start = bench::Now();
  while (sqlite3_step(visit) == SQLITE_ROW) {
    sum += sqlite3_column_int64(visit, 0) + sqlite3_column_text(visit, 1)[0] +
           sqlite3_column_int64(visit, 2);
  }
  t.visit = Seconds(start);
  sqlite3_finalize(visit);

  sqlite3_stmt* count = nullptr;
  CheckSql(sqlite3_prepare_v2(db, "SELECT count(*) FROM t WHERE grp = 5", -1, &count, nullptr), db,
           "prepare count");
  start = bench::Now();
  sqlite3_step(count);
  t.countResult = static_cast<uint32_t>(sqlite3_column_int64(count, 0));
  t.countIndexed = Seconds(start);
  sqlite3_finalize(count);
  CheckSql(sqlite3_prepare_v2(db, "SELECT count(*) FROM t NOT INDEXED WHERE grp = 5", -1, &count,
                              nullptr),
           db, "prepare scan count");
  start = bench::Now();
  sqlite3_step(count);
  t.countScan = Seconds(start);
  sqlite3_finalize(count);

  bench::ResetPeakMemory();
  start = bench::Now();
  CheckSql(
      sqlite3_exec(db, "DELETE FROM t WHERE rowid % 10 = 0; VACUUM;", nullptr, nullptr, nullptr),
      db, "delete and vacuum");
  t.pack = Seconds(start);
  t.packMb = bench::PeakMemoryMb();
  t.checksum = sum;
  sqlite3_close(db);
  return t;
}

void Row(const char* what, Span engine, Span sqlite, double engineMb = 0, double sqliteMb = 0) {
  std::printf("%-36s %9.4f %9.4f %7.2fx %9.4f %9.4f %7.2fx", what, engine.wall, sqlite.wall,
              sqlite.wall / engine.wall, engine.cpu, sqlite.cpu, sqlite.cpu / engine.cpu);
  if (engineMb > 0) {
    std::printf(" %8.0f %8.0f", engineMb, sqliteMb);
  }
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  bench::gProgram = "index_bench";
  uint32_t n = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1000000;
  std::string dir =
      argc > 2
          ? argv[2]
          : (std::filesystem::temp_directory_path() / ("index_bench." + std::to_string(::getpid())))
                .string();
  std::filesystem::create_directories(dir);
  Data d;
  d.ids.resize(n);
  for (uint32_t i = 0; i < n; ++i) {
    d.ids[i] = i + 1;
  }
  std::mt19937 rng(12345);
  std::shuffle(d.ids.begin(), d.ids.end(), rng);
  d.grps.resize(n);
  for (uint32_t& g : d.grps) {
    g = rng() % 100;
  }
  d.seeks.resize(n);
  std::uniform_int_distribution<uint32_t> pick(1, n);
  for (uint32_t& s : d.seeks) {
    s = pick(rng);
  }
  Times e = RunEngine(dir, d);
  Times s = RunSqlite(dir, d);
  if (e.countResult != s.countResult) {
    std::fprintf(stderr, "index_bench: counts differ (%u vs %u)\n", e.countResult, s.countResult);
  }
  // SQLite builds indexes at either cache size; the faster counts.
  const bool defaultFaster = s.buildDefault.wall < s.build.wall;
  const Span sqliteBuild{std::min(s.build.wall, s.buildDefault.wall),
                         std::min(s.build.cpu, s.buildDefault.cpu)};
  const double sqliteBuildMb = defaultFaster ? s.buildDefaultMb : s.buildMb;
  std::printf("records: %u   (ratio = SQLite time / engine time)\n", n);
  std::printf("%-36s %9s %9s %8s %9s %9s %8s %8s %8s\n", "", "wall s", "SQLite", "ratio", "CPU s",
              "SQLite", "ratio", "peak MB", "SQLite");
  Row("build three tags", e.build, sqliteBuild, e.buildMb, sqliteBuildMb);
  Row("random exact seeks by ID", e.seek, s.seek);
  Row("visit in NAME order reading fields", e.visit, s.visit);
  Row("count GRP = 5, optimized filter", e.countIndexed, s.countIndexed);
  Row("count GRP = 5, scanning", e.countScan, s.countScan);
  Row("reindex", e.reindex, s.reindex, e.reindexMb, s.reindexMb);
  Row("delete every 10th, pack / VACUUM", e.pack, s.pack, e.packMb, s.packMb);
  if (argc <= 2) {
    std::filesystem::remove_all(dir);
  }
  return 0;
}
