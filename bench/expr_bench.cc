// Expression speed against SQLite on the same 1,000,000 records:
// counting by scanning (GRP = 5; NAME beginning with a prefix, exact
// comparison off), locating a record near the end, and compiling.
//
// The engine side is a DBF table through the C API. SQLite runs at its fastest single-user settings
// with no index on the searched columns, so both sides scan.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "expr/expr.h"
#include "xce.h"

namespace {

std::atomic<uint64_t> gAllocations{0};

}  // namespace

// Counts allocations so the scans can show they make none per record.
void* operator new(std::size_t n) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n == 0 ? 1 : n)) {
    return p;
  }
  throw std::bad_alloc();
}
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wpragmas"
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

using xce::CodePage;
using xce::Status;
using xce::expr::Expression;
using xce::expr::FieldInfo;

constexpr int kRecords = 1000000;
constexpr int kRecLen = 1 + 10 + 40 + 6;

struct Row {
  int id;
  std::string name;
  int grp;
};

std::vector<Row> MakeRows() {
  std::vector<Row> rows;
  rows.reserve(kRecords);
  uint64_t x = 88172645463325252ull;
  auto next = [&x]() {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
  };
  for (int i = 1; i <= kRecords; ++i) {
    Row r;
    r.id = i;
    int len = 8 + static_cast<int>(next() % 23);
    for (int k = 0; k < len; ++k) {
      uint64_t v = next() % 52;
      r.name.push_back(static_cast<char>(v < 26 ? 'A' + v : 'a' + (v - 26)));
    }
    r.grp = static_cast<int>(next() % 100);
    rows.push_back(std::move(r));
  }
  return rows;
}

class ImageSource : public xce::expr::ExprSource {
 public:
  ImageSource() {
    fields_ = {FieldInfo{"ID", 'N', 1, 10, 0}, FieldInfo{"NAME", 'C', 11, 40, 0},
               FieldInfo{"GRP", 'N', 51, 6, 0}};
  }
  const std::vector<FieldInfo>& Fields() const override { return fields_; }
  CodePage TableCodePage() const override { return CodePage::kCp1251; }
  const char* RecordImage() const override { return image_; }
  uint32_t RecordNumber() const override { return recno_; }
  bool ExactCompare() const override { return false; }
  Status ReadMemo(int, std::string* text) const override {
    text->clear();
    return Status::Ok();
  }

  const char* image_ = nullptr;
  uint32_t recno_ = 0;

 private:
  std::vector<FieldInfo> fields_;
};

// The records' DBF images in one block, for timing the evaluator alone.
struct Images {
  explicit Images(const std::vector<Row>& rows) : data(rows.size() * kRecLen, ' ') {
    char buf[32];
    for (std::size_t i = 0; i < rows.size(); ++i) {
      char* rec = &data[i * kRecLen];
      std::snprintf(buf, sizeof buf, "%10d", rows[i].id);
      std::memcpy(rec + 1, buf, 10);
      std::memcpy(rec + 11, rows[i].name.data(), rows[i].name.size());
      std::snprintf(buf, sizeof buf, "%6d", rows[i].grp);
      std::memcpy(rec + 51, buf, 6);
    }
  }
  int64_t Count(const Expression& e) {
    int64_t n = 0;
    for (std::size_t i = 0; i * kRecLen < data.size(); ++i) {
      source.image_ = &data[i * kRecLen];
      source.recno_ = static_cast<uint32_t>(i + 1);
      bool r = false;
      n += e.EvalLogical(source, &r).ok() && r;
    }
    return n;
  }
  std::vector<char> data;
  ImageSource source;
};

double Seconds(const std::function<void()>& f, int repeat = 3) {
  double best = 1e9;
  for (int i = 0; i < repeat; ++i) {
    auto t0 = std::chrono::steady_clock::now();
    f();
    auto t1 = std::chrono::steady_clock::now();
    best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
  }
  return best;
}

void Check(int rc, sqlite3* db) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite: %s\n", sqlite3_errmsg(db));
    std::exit(1);
  }
}

sqlite3* LoadSqlite(const std::vector<Row>& rows, const std::string& path) {
  std::remove(path.c_str());
  sqlite3* db = nullptr;
  Check(sqlite3_open(path.c_str(), &db), db);
  for (const char* sql :
       {"PRAGMA locking_mode=EXCLUSIVE", "PRAGMA journal_mode=OFF", "PRAGMA synchronous=OFF",
        "PRAGMA cache_size=-2000000", "PRAGMA temp_store=MEMORY",
        "CREATE TABLE t(ID INTEGER, NAME TEXT, GRP INTEGER)", "BEGIN"}) {
    Check(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db);
  }
  sqlite3_stmt* ins = nullptr;
  Check(sqlite3_prepare_v2(db, "INSERT INTO t VALUES(?,?,?)", -1, &ins, nullptr), db);
  for (const Row& r : rows) {
    sqlite3_bind_int(ins, 1, r.id);
    sqlite3_bind_text(ins, 2, r.name.data(), static_cast<int>(r.name.size()), SQLITE_STATIC);
    sqlite3_bind_int(ins, 3, r.grp);
    Check(sqlite3_step(ins), db);
    sqlite3_reset(ins);
  }
  sqlite3_finalize(ins);
  Check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db);
  return db;
}

int64_t SqliteScalar(sqlite3_stmt* st) {
  sqlite3_reset(st);
  int64_t v = -1;
  if (sqlite3_step(st) == SQLITE_ROW) {
    v = sqlite3_column_int64(st, 0);
  }
  return v;
}

void Report(const char* what, double engine, double sqlite, int64_t engineResult,
            int64_t sqliteResult) {
  std::printf("%-34s engine %9.3f ms  sqlite %9.3f ms  ratio %5.2fx  (%lld / %lld)\n", what,
              engine * 1e3, sqlite * 1e3, sqlite / engine, static_cast<long long>(engineResult),
              static_cast<long long>(sqliteResult));
}

// The same records in a DBF table through the engine's C API.
class EngineTable {
 public:
  explicit EngineTable(const std::vector<Row>& rows) {
    char tmpl[] = "/tmp/tavo_expr_bench_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    dir_ = tmpl;
    Ok(XdsConnect60(dir_.c_str(), 1, "", "", 0, &conn_));
    const XDSFIELDDEF defs[] = {{"ID", 'N', 10, 0}, {"NAME", 'C', 40, 0}, {"GRP", 'N', 6, 0}};
    Ok(XdsCreateTable(conn_, "bench.dbf", 1, 3, defs));
    Ok(XdsOpenTable(conn_, "bench.dbf", nullptr, 2, 1, 0, 1, 1, &table_));
    for (const Row& r : rows) {
      Ok(XdsAppendRecord(table_));
      std::string id = std::to_string(r.id);
      std::string grp = std::to_string(r.grp);
      Ok(XdsSetField(table_, 1, id.data(), static_cast<uint32_t>(id.size())));
      Ok(XdsSetField(table_, 2, r.name.data(), static_cast<uint32_t>(r.name.size())));
      Ok(XdsSetField(table_, 3, grp.data(), static_cast<uint32_t>(grp.size())));
      Ok(XdsWriteRecord(table_));
    }
    Ok(XdsFlushTable(table_));
    // Sequential movement reads whole windows of records, as a program that
    // walks a table asks for.
    Ok(XdsCacheRecords(table_, 4096));
  }
  ~EngineTable() {
    Ok(XdsCloseTable(table_));
    Ok(XdsDisconnect(conn_));
    std::filesystem::remove_all(dir_);
  }

  static void Ok(XDSRESULT r) {
    if (r != 0) {
      int32_t code = 0;
      char text[600];
      uint16_t len = sizeof text;
      XdsGetLastError(&code, text, &len);
      std::fprintf(stderr, "engine: %d %s\n", r, text);
      std::exit(1);
    }
  }

  XDSHANDLE table() const { return table_; }

 private:
  std::string dir_;
  XDSHANDLE conn_ = 0;
  XDSHANDLE table_ = 0;
};

}  // namespace

int main() {
  std::vector<Row> rows = MakeRows();
  sqlite3* db = LoadSqlite(rows, "/tmp/tavo_expr_bench.sqlite");
  EngineTable engine(rows);
  Images images(rows);
  XDSHANDLE t = engine.table();
  std::printf("%d records; best of 3 runs each\n", kRecords);

  struct Query {
    const char* what;
    const char* expr;
    const char* sql;
  };
  const Query queries[] = {
      {"count GRP = 5", "GRP = 5", "SELECT count(*) FROM t WHERE GRP = 5"},
      {"count NAME prefix (exact off)", "NAME = \"Ab\"",
       "SELECT count(*) FROM t WHERE NAME GLOB 'Ab*'"},
      {"count UPPER(NAME) prefix", "UPPER(NAME) = UPPER(\"ab\")",
       "SELECT count(*) FROM t WHERE upper(NAME) GLOB 'AB*'"},
  };
  for (const Query& q : queries) {
    sqlite3_stmt* st = nullptr;
    Check(sqlite3_prepare_v2(db, q.sql, -1, &st, nullptr), db);
    int64_t sqliteCount = 0;
    double ts = Seconds([&] { sqliteCount = SqliteScalar(st); });
    sqlite3_finalize(st);

    // Plain filter: the count tests every record as it goes.
    uint32_t n = 0;
    EngineTable::Ok(XdsSetExact22(t, 0));
    uint64_t before = gAllocations.load();
    double te = Seconds([&] {
      EngineTable::Ok(XdsSetFilter(t, q.expr));
      EngineTable::Ok(XdsGetRecordCount(t, 1, &n));
      EngineTable::Ok(XdsClearFilter(t));
    });
    uint64_t allocs = gAllocations.load() - before;
    Report(q.what, te, ts, n, sqliteCount);
    std::printf("%-34s allocations in 3 runs of 1,000,000 records: %llu\n", "",
                static_cast<unsigned long long>(allocs));
    // Optimized filter resolved at once, then counted from its set.
    te = Seconds([&] {
      EngineTable::Ok(XdsSetAOF(t, q.expr, 1));
      EngineTable::Ok(XdsGetRecordCount(t, 1, &n));
      EngineTable::Ok(XdsClearAOF(t));
    });
    Report("  same as optimized filter", te, ts, n, sqliteCount);
    // The evaluator alone, over the same record images in memory: what the
    // expression costs apart from the table's walk.
    std::unique_ptr<Expression> e;
    if (!Expression::Compile(q.expr, images.source, &e).ok()) {
      std::exit(1);
    }
    int64_t alone = 0;
    te = Seconds([&] { alone = images.Count(*e); });
    Report("  evaluator alone (record images)", te, ts, alone, sqliteCount);
  }

  // Locate a record near the end: from the top until the first match.
  {
    uint16_t found = 0;
    uint32_t recno = 0;
    double te = Seconds([&] {
      EngineTable::Ok(XdsGotoTop(t));
      EngineTable::Ok(XdsLocate(t, "ID = 999990", 1, &found));
      EngineTable::Ok(XdsGetRecordNum(t, 1, &recno));
    });
    sqlite3_stmt* st = nullptr;
    Check(sqlite3_prepare_v2(db, "SELECT rowid FROM t WHERE ID = 999990 LIMIT 1", -1, &st, nullptr),
          db);
    int64_t sqliteFound = 0;
    double ts = Seconds([&] { sqliteFound = SqliteScalar(st); });
    sqlite3_finalize(st);
    Report("locate ID = 999990", te, ts, found ? recno : 0, sqliteFound);
  }

  // Compiling: the Locate expression against preparing a statement.
  {
    ImageSource src;
    const int kTimes = 10000;
    double te = Seconds([&] {
      for (int i = 0; i < kTimes; ++i) {
        std::unique_ptr<Expression> e;  // a text known to compile: only the time counts
        (void)Expression::Compile("(UPPER(NAME)=UPPER(\"ab\"+ Chr(34) + \"c\")) AND (GRP=5)", src, &e);
      }
    });
    double ts = Seconds([&] {
      for (int i = 0; i < kTimes; ++i) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db,
                           "SELECT count(*) FROM t WHERE upper(NAME) GLOB upper('ab' || char(34) "
                           "|| 'c') || '*' AND GRP = 5",
                           -1, &st, nullptr);
        sqlite3_finalize(st);
      }
    });
    std::printf("%-34s engine %9.3f us  sqlite %9.3f us  ratio %5.2fx\n",
                "compile (per expression)", te / kTimes * 1e6, ts / kTimes * 1e6, ts / te);
  }
  sqlite3_close(db);
  std::remove("/tmp/tavo_expr_bench.sqlite");
  return 0;
}
