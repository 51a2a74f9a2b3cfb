// Tag builds of the catalogue's two large tables against SQLite, with the
// peak resident memory of each operation beside its time:
//   a URL table of N records (URL C(100), NAME C(100), DESCR memo,
//   ADRESTYPE C(10), URL_ID N(10); tags URL, URL_ID, NAME, ADRESTYPE) and a
//   membership table of 3N rows (TEM_ID N(10), URL_ID N(10); tags
//   STR(TEM_ID,10)+STR(URL_ID,10), TEM_ID, URL_ID).
// For each: build the tags on the filled table, reindex, delete every 10th
// record and pack. SQLite: CREATE INDEX for the same keys (at its fastest
// settings and at its default cache size, the faster counted), REINDEX and
// DELETE + VACUUM, at its default cache size, where its memory stays small.
// Peak memory is the process's resident high-water mark during the
// operation (memory-mapped table pages included), reset before each one.
//
//   build_bench [N] [DIR]     (N = 1,000,000; the tables are kept in DIR, as
//                              they are after the reindex, when DIR is given)
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"
#include "xce.h"

namespace {

using bench::Check;
using bench::CheckSql;
using bench::FormatNumber;
using bench::Seconds;
using bench::Span;

struct Measure {
  Span time;
  double peakMb = 0;
};

template <typename Fn>
Measure Measured(Fn&& fn) {
  bench::ResetPeakMemory();
  auto start = bench::Now();
  fn();
  Measure m;
  m.time = Seconds(start);
  m.peakMb = bench::PeakMemoryMb();
  return m;
}

const char* kWords[] = {"alpha", "bravo",  "charlie", "delta",  "echo",    "foxtrot", "golf",
                        "hotel", "india",  "juliet",  "kilo",   "lima",    "mike",    "november",
                        "oscar", "papa",   "quebec",  "romeo",  "sierra",  "tango",   "uniform",
                        "victor", "whiskey", "xray",  "yankee", "zulu"};
constexpr uint32_t kWordCount = sizeof kWords / sizeof kWords[0];

uint32_t Mix(uint32_t v) {
  v ^= v >> 16;
  v *= 0x7feb352dU;
  v ^= v >> 15;
  v *= 0x846ca68bU;
  v ^= v >> 16;
  return v;
}

// An address as people file them: a few schemes, hosts that recur, a path.
void MakeUrl(uint32_t id, char* out100) {
  static const char* kSchemes[] = {"http://www.", "https://www.", "http://", "https://"};
  static const char* kZones[] = {".com", ".ru", ".org", ".net", ".info"};
  const uint32_t h = Mix(id);
  const uint32_t host = h % 40000;
  std::memset(out100, ' ', 100);
  int n = std::snprintf(out100, 101, "%s%s%s%u%s/%s/%s/page%u.html", kSchemes[h >> 30],
                        kWords[host % kWordCount], kWords[(host / kWordCount) % kWordCount],
                        host / 700, kZones[host % 5], kWords[(h >> 8) % kWordCount],
                        kWords[(h >> 13) % kWordCount], id);
  out100[std::min(n, 100)] = ' ';
}

void MakeTitle(uint32_t id, char* out100) {
  const uint32_t h = Mix(id * 7 + 1);
  std::memset(out100, ' ', 100);
  int n = std::snprintf(out100, 101, "%s %s %s - %s notes %u", kWords[h % kWordCount],
                        kWords[(h >> 5) % kWordCount], kWords[(h >> 10) % kWordCount],
                        kWords[(h >> 15) % kWordCount], h % 100000);
  out100[std::min(n, 100)] = ' ';
}

struct TableTimes {
  Measure build, buildDefault, reindex, pack;
};

// The engine's side: fill the table, then build, reindex and pack.
TableTimes RunEngine(const std::string& dir, const char* file, uint16_t charType,
                     const std::vector<XDSFIELDDEF>& fields, const std::vector<XDSTAGDEF>& tags,
                     uint32_t rows, void (*fill)(uint32_t row, char* record)) {
  TableTimes t;
  XDSHANDLE c = 0;
  XDSHANDLE table = 0;
  Check(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), "connect");
  Check(XdsCreateTable(c, file, charType, static_cast<uint16_t>(fields.size()), fields.data()),
        "create");
  Check(XdsOpenTable(c, file, nullptr, XDS_TABLE_CDX, charType, XDS_LOCK_PROPRIETARY,
                     XDS_RIGHTS_CHECK, XDS_OPEN_EXCLUSIVE, &table),
        "open");
  uint32_t len = 0;
  Check(XdsGetRecordLength(table, &len), "record length");
  std::vector<char> rec(len);
  for (uint32_t r = 1; r <= rows; ++r) {
    std::memset(rec.data(), ' ', len);
    fill(r, rec.data());
    Check(XdsAppendRecord(table), "append");
    uint32_t at = 1;
    for (std::size_t f = 0; f < fields.size(); ++f) {
      if (fields[f].type != 'M') {
        Check(XdsSetFieldRaw(table, static_cast<uint16_t>(f + 1), rec.data() + at,
                             fields[f].length),
              "set field");
      }
      at += fields[f].length;
    }
    Check(XdsWriteRecord(table), "write");
  }
  Check(XdsFlushTable(table), "flush");
  // The build reads the table from the disk cache, as after a fresh open.
  Check(XdsCloseTable(table), "close");
  Check(XdsOpenTable(c, file, nullptr, XDS_TABLE_CDX, charType, XDS_LOCK_PROPRIETARY,
                     XDS_RIGHTS_CHECK, XDS_OPEN_EXCLUSIVE, &table),
        "open");
  t.build = Measured([&] {
    Check(XdsCreateIndexTags(table, static_cast<uint16_t>(tags.size()), tags.data()), "tags");
  });
  Check(XdsCloseTable(table), "close");
  Check(XdsOpenTable(c, file, nullptr, XDS_TABLE_CDX, charType, XDS_LOCK_PROPRIETARY,
                     XDS_RIGHTS_CHECK, XDS_OPEN_EXCLUSIVE, &table),
        "open");
  t.reindex = Measured([&] { Check(XdsReindex61(table, 512), "reindex"); });
  Check(XdsCloseTable(table), "close");
  // The tables are left as they are after the reindex, for measuring tools on them.
  std::filesystem::path copyDir = std::filesystem::path(dir) / "pack";
  std::filesystem::create_directories(copyDir);
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    if (e.is_regular_file() && e.path().stem() == std::filesystem::path(file).stem()) {
      std::filesystem::copy_file(e.path(), copyDir / e.path().filename(),
                                 std::filesystem::copy_options::overwrite_existing);
    }
  }
  XDSHANDLE pc = 0;
  Check(XdsConnect60(copyDir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &pc), "connect");
  Check(XdsOpenTable(pc, file, nullptr, XDS_TABLE_CDX, charType, XDS_LOCK_PROPRIETARY,
                     XDS_RIGHTS_CHECK, XDS_OPEN_EXCLUSIVE, &table),
        "open");
  for (uint32_t r = 10; r <= rows; r += 10) {
    Check(XdsGotoRecord(table, r), "goto");
    Check(XdsDeleteRecord(table), "delete");
  }
  Check(XdsFlushTable(table), "flush");
  t.pack = Measured([&] { Check(XdsPackTable(table), "pack"); });
  Check(XdsCloseTable(table), "close");
  Check(XdsDisconnect(pc), "disconnect");
  std::filesystem::remove_all(copyDir);
  Check(XdsDisconnect(c), "disconnect");
  return t;
}

// The SQLite side: the same rows, CREATE INDEX at both cache sizes, then
// REINDEX and DELETE + VACUUM at the default one.
TableTimes RunSqlite(const std::string& dir, const char* createTable, const char* insert,
                     int columns, const char* createIndexes, uint32_t rows,
                     void (*bind)(sqlite3_stmt*, uint32_t row)) {
  TableTimes t;
  for (bool fastest : {true, false}) {
    const std::string path = dir + "/bench.sqlite";
    sqlite3* db = bench::OpenSqlite(path, fastest);
    CheckSql(sqlite3_exec(db, createTable, nullptr, nullptr, nullptr), db, "create");
    sqlite3_stmt* ins = nullptr;
    CheckSql(sqlite3_prepare_v2(db, insert, -1, &ins, nullptr), db, "prepare insert");
    CheckSql(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
    for (uint32_t r = 1; r <= rows; ++r) {
      bind(ins, r);
      CheckSql(sqlite3_step(ins), db, "insert");
      sqlite3_reset(ins);
    }
    (void)columns;
    CheckSql(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    sqlite3_finalize(ins);
    Measure build = Measured([&] {
      CheckSql(sqlite3_exec(db, createIndexes, nullptr, nullptr, nullptr), db, "create indexes");
    });
    (fastest ? t.build : t.buildDefault) = build;
    if (!fastest) {
      t.reindex = Measured(
          [&] { CheckSql(sqlite3_exec(db, "REINDEX", nullptr, nullptr, nullptr), db, "reindex"); });
      t.pack = Measured([&] {
        CheckSql(sqlite3_exec(db, "DELETE FROM t WHERE rowid % 10 = 0; VACUUM;", nullptr, nullptr,
                              nullptr),
                 db, "delete and vacuum");
      });
    }
    sqlite3_close(db);
    std::filesystem::remove(path);
  }
  return t;
}

void FillUrl(uint32_t r, char* rec) {
  MakeUrl(r, rec + 1);
  MakeTitle(r, rec + 101);
  rec[211] = static_cast<char>('1' + Mix(r * 3) % 6);
  FormatNumber(r, rec + 221, 10);
}

uint32_t gUrlCount = 1;

void FillMembership(uint32_t r, char* rec) {
  FormatNumber(1 + Mix(r * 5 + 2) % 2000, rec + 1, 10);
  FormatNumber(1 + Mix(r * 11 + 3) % gUrlCount, rec + 11, 10);
}

void BindUrl(sqlite3_stmt* s, uint32_t r) {
  static char rec[232];
  std::memset(rec, ' ', sizeof rec);
  FillUrl(r, rec);
  sqlite3_bind_text(s, 1, rec + 1, 100, SQLITE_TRANSIENT);
  sqlite3_bind_text(s, 2, rec + 101, 100, SQLITE_TRANSIENT);
  sqlite3_bind_text(s, 3, rec + 211, 10, SQLITE_TRANSIENT);
  sqlite3_bind_int64(s, 4, r);
}

void BindMembership(sqlite3_stmt* s, uint32_t r) {
  sqlite3_bind_int64(s, 1, 1 + Mix(r * 5 + 2) % 2000);
  sqlite3_bind_int64(s, 2, 1 + Mix(r * 11 + 3) % gUrlCount);
}

void Row(const char* what, const Measure& e, const Measure& s) {
  std::printf("%-30s %8.3f %8.3f %6.2fx %8.3f %8.3f %6.2fx %8.0f %8.0f\n", what, e.time.wall,
              s.time.wall, s.time.wall / e.time.wall, e.time.cpu, s.time.cpu,
              s.time.cpu / e.time.cpu, e.peakMb, s.peakMb);
}

Measure Faster(const Measure& a, const Measure& b) { return a.time.wall <= b.time.wall ? a : b; }

}  // namespace

int main(int argc, char** argv) {
  bench::gProgram = "build_bench";
  const uint32_t n = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1000000;
  gUrlCount = n;
  const std::string dir =
      argc > 2
          ? argv[2]
          : (std::filesystem::temp_directory_path() / ("build_bench." + std::to_string(::getpid())))
                .string();
  std::filesystem::create_directories(dir);

  const std::vector<XDSFIELDDEF> urlFields = {{"URL", 'C', 100, 0},
                                              {"NAME", 'C', 100, 0},
                                              {"DESCR", 'M', 10, 0},
                                              {"ADRESTYPE", 'C', 10, 0},
                                              {"URL_ID", 'N', 10, 0}};
  const std::vector<XDSTAGDEF> urlTags = {{"URL", "URL", "", 0, 0},
                                          {"URL_ID", "URL_ID", "", 0, 0},
                                          {"NAME", "NAME", "", 0, 0},
                                          {"ADRESTYPE", "ADRESTYPE", "", 0, 0}};
  const std::vector<XDSFIELDDEF> memberFields = {{"TEM_ID", 'N', 10, 0}, {"URL_ID", 'N', 10, 0}};
  const std::vector<XDSTAGDEF> memberTags = {
      {"TEMURL", "STR(TEM_ID,10)+STR(URL_ID,10)", "", 0, 0},
      {"TEM_ID", "TEM_ID", "", 0, 0},
      {"TEM_URL", "URL_ID", "", 0, 0}};

  std::printf("startup resident memory: %.0f MB\n", bench::ResidentMb());
  TableTimes eu = RunEngine(dir, "urls.DBF", XDS_CHAR_OEM, urlFields, urlTags, n, FillUrl);
  TableTimes em =
      RunEngine(dir, "URLIN.DBF", XDS_CHAR_ANSI, memberFields, memberTags, 3 * n, FillMembership);
  TableTimes su = RunSqlite(dir,
                            "CREATE TABLE t(url TEXT, name TEXT, adrestype TEXT, url_id INTEGER);",
                            "INSERT INTO t VALUES(?, ?, ?, ?)", 4,
                            "CREATE INDEX t_url ON t(url); CREATE INDEX t_id ON t(url_id);"
                            "CREATE INDEX t_name ON t(name); CREATE INDEX t_type ON t(adrestype);",
                            n, BindUrl);
  TableTimes sm = RunSqlite(dir, "CREATE TABLE t(tem_id INTEGER, url_id INTEGER);",
                            "INSERT INTO t VALUES(?, ?)", 2,
                            "CREATE INDEX t_temurl ON t(tem_id, url_id);"
                            "CREATE INDEX t_tem ON t(tem_id); CREATE INDEX t_url ON t(url_id);",
                            3 * n, BindMembership);

  std::printf("URL table %u records, membership table %u rows (ratio = SQLite / engine)\n", n,
              3 * n);
  std::printf("%-30s %8s %8s %7s %8s %8s %7s %8s %8s\n", "", "wall s", "SQLite", "ratio", "CPU s",
              "SQLite", "ratio", "peak MB", "SQLite");
  Row("URL table: build 4 tags", eu.build, Faster(su.build, su.buildDefault));
  Row("URL table: reindex", eu.reindex, su.reindex);
  Row("URL table: delete 10%, pack", eu.pack, su.pack);
  Row("membership: build 3 tags", em.build, Faster(sm.build, sm.buildDefault));
  Row("membership: reindex", em.reindex, sm.reindex);
  Row("membership: delete 10%, pack", em.pack, sm.pack);
  if (argc <= 2) {
    std::filesystem::remove_all(dir);
  }
  return 0;
}
