// The table layer against the bare engine and SQLite on the same data in
// the same run: N records of ID N(10) (a random permutation of 1..N),
// NAME C(40), GRP N(6), with a tag on NAME.
//   walk every record with Next reading ID, NAME and GRP through the field
//   objects, in record order and in NAME order; the same walks through the
//   engine's C API alone (XdsSkip, XdsGetRecord, the three fields taken from
//   the record image); SQLite's walk by rowid and ordered by name (an index
//   on name); opening the table component and reading its first 40 records.
// SQLite runs at its fastest for a single user (exclusive locking, no
// journal, no syncs, a cache that holds the whole database, prepared
// statements, the load in one transaction).
//
//   xds_bench [N] [DIR]     (files are kept when DIR is given)
// Each walk is run three times; the best is reported, as wall and CPU time.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench_util.h"
#include "xds/xds.h"
#include "xce.h"

namespace {

using bench::Check;
using bench::CheckSql;
using bench::MakeName;
using bench::Seconds;
using bench::ParseDigits;
using bench::Span;

// The best of three runs of body, which returns a checksum.
Span Best(const std::function<int64_t()>& body, int64_t& checksum) {
  Span best{1e9, 1e9};
  for (int run = 0; run < 3; ++run) {
    Span start = bench::Now();
    checksum = body();
    Span s = Seconds(start);
    best.wall = std::min(best.wall, s.wall);
    best.cpu = std::min(best.cpu, s.cpu);
  }
  return best;
}

void Report(const char* what, Span s, int64_t checksum) {
  std::printf("%-44s %9.1f ms wall %9.1f ms cpu   (checksum %lld)\n", what, s.wall * 1e3,
              s.cpu * 1e3, static_cast<long long>(checksum));
}

void BuildEngineTable(const std::string& dir, const std::vector<uint32_t>& ids) {
  auto [c, table] = bench::CreateBenchTable(dir);
  for (uint32_t i = 0; i < ids.size(); ++i) {
    bench::AppendBenchRecord(table, ids[i], ids[i] % 1000);
  }
  const XDSTAGDEF tags[] = {{"NAME", "NAME", "", 0, 0}};
  Check(XdsCreateIndexTags(table, 1, tags), "tag");
  Check(XdsCloseTable(table), "close");
  Check(XdsDisconnect(c), "disconnect");
}

// The bench table opened through the C API alone, in a tag's order or in
// record order, and closed with its connection.
struct BareTable {
  BareTable(const std::string& dir, const char* tag) {
    Check(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &connection), "connect");
    Check(XdsOpenTable(connection, "bench.dbf", nullptr, XDS_TABLE_CDX, XDS_CHAR_ANSI, 1, 1,
                       XDS_OPEN_EXCLUSIVE, &table),
          "open");
    order = table;
    if (tag != nullptr) {
      Check(XdsGetIndexHandle(table, tag, &order), "index");
    }
  }
  ~BareTable() {
    Check(XdsCloseTable(table), "close");
    Check(XdsDisconnect(connection), "disconnect");
  }
  // Moves on; false after the last record.
  bool Next() {
    XDSRESULT r = XdsSkip(order, 1);
    if (r != 0 && r != XDS_ERR_NO_CURRENT_RECORD) {
      Check(r, "skip");
    }
    uint16_t eof = 0;
    Check(XdsAtEOF(table, &eof), "eof");
    return eof == 0;
  }
  // To the first record; false when there is none.
  bool First() {
    Check(XdsGotoTop(order), "top");
    uint16_t eof = 0;
    Check(XdsAtEOF(table, &eof), "eof");
    return eof == 0;
  }
  XDSHANDLE connection = 0;
  XDSHANDLE table = 0;
  XDSHANDLE order = 0;
};

// The walk through the C API alone: move, read the record image, take the
// three fields from it.
int64_t BareWalk(const std::string& dir, const char* tag) {
  BareTable b(dir, tag);
  XDSHANDLE table = b.table;
  uint32_t len = 0;
  Check(XdsGetRecordLength(table, &len), "length");
  std::vector<char> rec(len);
  int64_t sum = 0;
  for (bool more = b.First(); more; more = b.Next()) {
    Check(XdsGetRecord(table, rec.data(), len), "record");
    sum += ParseDigits(rec.data() + 1, 10) + rec[11] + ParseDigits(rec.data() + 51, 6);
  }
  return sum;
}

// The walk through the C API as a program reads fields: move, then each
// field's text with XdsGetField.
int64_t BareFieldWalk(const std::string& dir, const char* tag) {
  BareTable b(dir, tag);
  XDSHANDLE table = b.table;
  int64_t sum = 0;
  char text[64];
  for (bool more = b.First(); more; more = b.Next()) {
    uint32_t len = sizeof text;
    Check(XdsGetField(table, 1, text, &len, XDS_GET_TRIM), "id");
    sum += ParseDigits(text, static_cast<int>(len));
    len = sizeof text;
    Check(XdsGetField(table, 2, text, &len, XDS_GET_TRIM), "name");
    sum += text[0];
    len = sizeof text;
    Check(XdsGetField(table, 3, text, &len, XDS_GET_TRIM), "grp");
    sum += ParseDigits(text, static_cast<int>(len));
  }
  return sum;
}

// The same walk through the table component and its field objects.
int64_t LayerWalk(TXdsConnection& connection, const char* tag) {
  TXdsTable t;
  t.SetName("HDSBench");
  t.SetXdsConnection(&connection);
  t.SetTableType(ttXdsCDX);
  t.SetTableName("bench.dbf");
  t.SetExclusive(true);
  if (tag != nullptr) {
    t.SetIndexName(tag);
  }
  t.Open();
  TField* id = t.FieldByName("ID");
  TField* name = t.FieldByName("NAME");
  TField* grp = t.FieldByName("GRP");
  int64_t sum = 0;
  while (!t.Eof()) {
    sum += id->AsInteger() + name->AsString()[0] + grp->AsInteger();
    t.Next();
  }
  return sum;
}

sqlite3* BuildSqlite(const std::string& path, const std::vector<uint32_t>& ids) {
  sqlite3* db = bench::OpenSqlite(path, true);
  CheckSql(sqlite3_exec(db, "CREATE TABLE t(id INTEGER, name TEXT, grp INTEGER);", nullptr,
                        nullptr, nullptr),
           db, "create");
  sqlite3_stmt* ins = nullptr;
  CheckSql(sqlite3_prepare_v2(db, "INSERT INTO t(id, name, grp) VALUES(?, ?, ?)", -1, &ins, nullptr),
           db, "prepare insert");
  CheckSql(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  char name[41];
  for (uint32_t id : ids) {
    MakeName(id, name);
    sqlite3_bind_int64(ins, 1, id);
    sqlite3_bind_text(ins, 2, name, 40, SQLITE_STATIC);
    sqlite3_bind_int64(ins, 3, id % 1000);
    CheckSql(sqlite3_step(ins), db, "insert");
    sqlite3_reset(ins);
  }
  CheckSql(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  sqlite3_finalize(ins);
  CheckSql(sqlite3_exec(db, "CREATE INDEX t_name ON t(name);", nullptr, nullptr, nullptr), db,
           "index");
  return db;
}

int64_t SqliteWalk(sqlite3* db, const char* sql) {
  sqlite3_stmt* s = nullptr;
  CheckSql(sqlite3_prepare_v2(db, sql, -1, &s, nullptr), db, "prepare walk");
  int64_t sum = 0;
  while (sqlite3_step(s) == SQLITE_ROW) {
    sum += sqlite3_column_int64(s, 0) + sqlite3_column_text(s, 1)[0] + sqlite3_column_int64(s, 2);
  }
  sqlite3_finalize(s);
  return sum;
}

}  // namespace

int main(int argc, char** argv) {
  bench::gProgram = "xds_bench";
  uint32_t n = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1000000;
  bool keep = argc > 2;
  std::string dir;
  if (keep) {
    dir = argv[2];
    std::filesystem::create_directories(dir);
  } else {
    char tmpl[] = "/tmp/xds_bench.XXXXXX";
    dir = ::mkdtemp(tmpl);
  }
  std::vector<uint32_t> ids(n);
  for (uint32_t i = 0; i < n; ++i) {
    ids[i] = i + 1;
  }
  std::shuffle(ids.begin(), ids.end(), std::mt19937(42));
  std::filesystem::remove(dir + "/bench.dbf");
  std::filesystem::remove(dir + "/bench.cdx");
  BuildEngineTable(dir, ids);
  sqlite3* db = BuildSqlite(dir + "/bench.sqlite", ids);
  std::printf("xds_bench: %u records\n", n);

  TXdsConnection connection;
  connection.SetName("XdsConnection1");
  connection.XdsServerTypes = stXDS_LOCAL;
  connection.LoginPrompt = false;
  connection.SetConnectPath(dir);
  connection.SetIsConnected(true);

  int64_t sum = 0;
  if (std::getenv("XDS_BENCH_LAYER_ONLY") != nullptr) {  // for a profiler
    for (int i = 0; i < 5; ++i) {
      Report("table component walk, record order",
             Best([&] { return LayerWalk(connection, nullptr); }, sum), sum);
    }
    return 0;
  }
  Span bareRec = Best([&] { return BareWalk(dir, nullptr); }, sum);
  Report("C API walk, record order", bareRec, sum);
  Span fieldRec = Best([&] { return BareFieldWalk(dir, nullptr); }, sum);
  Report("C API walk with XdsGetField, record order", fieldRec, sum);
  Span layerRec = Best([&] { return LayerWalk(connection, nullptr); }, sum);
  Report("table component walk, record order", layerRec, sum);
  Span sqlRowid = Best([&] { return SqliteWalk(db, "SELECT id, name, grp FROM t"); }, sum);
  Report("SQLite walk by rowid", sqlRowid, sum);
  Span bareTag = Best([&] { return BareWalk(dir, "NAME"); }, sum);
  Report("C API walk, NAME order", bareTag, sum);
  Span fieldTag = Best([&] { return BareFieldWalk(dir, "NAME"); }, sum);
  Report("C API walk with XdsGetField, NAME order", fieldTag, sum);
  Span layerTag = Best([&] { return LayerWalk(connection, "NAME"); }, sum);
  Report("table component walk, NAME order", layerTag, sum);
  Span sqlOrdered =
      Best([&] { return SqliteWalk(db, "SELECT id, name, grp FROM t ORDER BY name"); }, sum);
  Report("SQLite walk ORDER BY name (index)", sqlOrdered, sum);

  // Opening and the first 40 records, as the grid shows them at start.
  Span open{1e9, 1e9};
  for (int run = 0; run < 5; ++run) {
    Span start = bench::Now();
    TXdsTable t;
    t.SetName("HDSBench");
    t.SetXdsConnection(&connection);
    t.SetTableType(ttXdsCDX);
    t.SetTableName("bench.dbf");
    t.SetExclusive(true);
    t.SetIndexName("NAME");
    t.Open();
    TField* name = t.FieldByName("NAME");
    for (int i = 0; i < 40 && !t.Eof(); ++i) {
      sum += name->AsString().size();
      t.Next();
    }
    Span s = Seconds(start);
    open.wall = std::min(open.wall, s.wall);
    open.cpu = std::min(open.cpu, s.cpu);
  }
  Report("open + first 40 records (NAME order)", open, sum);

  // The goal compares like with like: the C API walk that reads the same
  // three fields. The record-image walk, which takes one byte of the name
  // and parses digits in place, is the floor no field reader reaches.
  std::printf("\nlayer / C API record-image floor, record order: %.2fx wall, %.2fx cpu\n",
              layerRec.wall / bareRec.wall, layerRec.cpu / bareRec.cpu);
  std::printf("layer / C API record-image floor, NAME order:   %.2fx wall, %.2fx cpu\n",
              layerTag.wall / bareTag.wall, layerTag.cpu / bareTag.cpu);
  std::printf("layer / C API with XdsGetField, record order: %.2fx wall, %.2fx cpu (goal <= 2x)\n",
              layerRec.wall / fieldRec.wall, layerRec.cpu / fieldRec.cpu);
  std::printf("layer / C API with XdsGetField, NAME order:   %.2fx wall, %.2fx cpu (goal <= 2x)\n",
              layerTag.wall / fieldTag.wall, layerTag.cpu / fieldTag.cpu);
  std::printf("SQLite ordered / layer NAME order: %.2fx wall, %.2fx cpu (goal >= 2x)\n",
              sqlOrdered.wall / layerTag.wall, sqlOrdered.cpu / layerTag.cpu);
  sqlite3_close(db);
  if (!keep) {
    std::filesystem::remove_all(dir);
  }
  return 0;
}
