// Deleting one URL record with three memberships the way the catalogue does
// it, against SQLite on the same data in the same run.
//
// The catalogue (made by the demo-catalogue writer, N URL records, about 3N
// memberships) is opened through the table components: the URL table in
// "URL_ID" order, the membership table exclusively in "TEM_ID" order. One
// delete is the URL table's Delete whose before-delete handler takes the
// membership table's filter off, moves to its first row and repeats
// LocateExpression "URL_ID=<id>" forward, DeleteCurrentRecord and PackTable
// until nothing is found; the after-delete handler puts the filter back and
// returns the URL table to the saved record number.
// SQLite (at its fastest for a single user: exclusive locking, no journal,
// no syncs, the whole database cached) deletes the URL's membership rows by
// an index on url_id and marks the URL row deleted, in one transaction.
//
//   url_delete_bench [N] [DIR]   (DIR is kept; a catalogue already in it is reused)
// Five URL records with three memberships each are deleted one after the
// other; every time and the median are reported.
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"
#include "catalogue/demo_catalogue.h"
#include "xce.h"
#include "xds/xds.h"

namespace {

using bench::Check;
using bench::CheckSql;
using bench::ParseDigits;
using bench::Seconds;
using bench::Span;

// (TEM_ID, URL_ID) of every membership row, read through the engine.
std::vector<std::pair<int64_t, int64_t>> ReadMemberships(const std::string& dir) {
  XDSHANDLE c = 0;
  XDSHANDLE t = 0;
  Check(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), "connect");
  Check(XdsOpenTable(c, "URLIN.DBF", nullptr, XDS_TABLE_CDX, XDS_CHAR_ANSI, 1, 1,
                     XDS_OPEN_EXCLUSIVE, &t),
        "open URLIN");
  uint32_t length = 0;
  Check(XdsGetRecordLength(t, &length), "record length");
  std::vector<char> image(length);
  std::vector<std::pair<int64_t, int64_t>> rows;
  XDSRESULT r = XdsGotoTop(t);
  while (r == 0) {
    uint16_t eof = 0;
    Check(XdsAtEOF(t, &eof), "eof");
    if (eof != 0) {
      break;
    }
    Check(XdsGetRecord(t, image.data(), length), "read membership");
    rows.emplace_back(ParseDigits(image.data() + 1, 10), ParseDigits(image.data() + 11, 10));
    r = XdsSkip(t, 1);
  }
  Check(r == 0 || r == XDS_ERR_NO_CURRENT_RECORD ? 0 : r, "walk memberships");
  Check(XdsCloseTable(t), "close memberships");
  Check(XdsDisconnect(c), "disconnect");
  return rows;
}

// Up to `count` URL ids with exactly three memberships, spread over the ids.
std::vector<int64_t> PickUrls(const std::vector<std::pair<int64_t, int64_t>>& rows, int count) {
  int64_t maxId = 0;
  for (auto [tem, url] : rows) {
    maxId = std::max(maxId, url);
  }
  std::vector<int> per(static_cast<size_t>(maxId) + 1, 0);
  for (auto [tem, url] : rows) {
    ++per[static_cast<size_t>(url)];
  }
  std::vector<int64_t> picked;
  for (int i = 0; i < count; ++i) {
    for (int64_t id = maxId * (2 * i + 1) / (2 * count); id <= maxId; ++id) {
      if (per[static_cast<size_t>(id)] == 3 &&
          std::find(picked.begin(), picked.end(), id) == picked.end()) {
        picked.push_back(id);
        break;
      }
    }
  }
  return picked;
}

sqlite3* LoadSqlite(const std::string& path, const std::vector<std::pair<int64_t, int64_t>>& rows,
                    int64_t urls) {
  sqlite3* db = bench::OpenSqlite(path, true);
  CheckSql(sqlite3_exec(db,
                        "CREATE TABLE urls(url_id INTEGER PRIMARY KEY, url TEXT, name TEXT,"
                        " adrestype TEXT, deleted INTEGER);"
                        "CREATE TABLE urlin(tem_id INTEGER, url_id INTEGER);"
                        "BEGIN;",
                        nullptr, nullptr, nullptr),
           db, "create");
  sqlite3_stmt* insUrl = nullptr;
  sqlite3_stmt* insIn = nullptr;
  CheckSql(sqlite3_prepare_v2(db, "INSERT INTO urls VALUES(?, 'http://example.com/', 'name', '1', 0)",
                              -1, &insUrl, nullptr),
           db, "prepare");
  CheckSql(sqlite3_prepare_v2(db, "INSERT INTO urlin VALUES(?, ?)", -1, &insIn, nullptr), db,
           "prepare");
  for (int64_t id = 1; id <= urls; ++id) {
    sqlite3_bind_int64(insUrl, 1, id);
    CheckSql(sqlite3_step(insUrl), db, "insert url");
    sqlite3_reset(insUrl);
  }
  for (auto [tem, url] : rows) {
    sqlite3_bind_int64(insIn, 1, tem);
    sqlite3_bind_int64(insIn, 2, url);
    CheckSql(sqlite3_step(insIn), db, "insert membership");
    sqlite3_reset(insIn);
  }
  sqlite3_finalize(insUrl);
  sqlite3_finalize(insIn);
  CheckSql(sqlite3_exec(db,
                        "CREATE INDEX urlin_tem ON urlin(tem_id);"
                        "CREATE INDEX urlin_url ON urlin(url_id);"
                        "CREATE INDEX urlin_temurl ON urlin(tem_id, url_id);"
                        "COMMIT;",
                        nullptr, nullptr, nullptr),
           db, "index");
  return db;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

void Report(const char* what, const std::vector<double>& ms) {
  std::printf("%-40s", what);
  for (double m : ms) {
    std::printf(" %8.1f", m);
  }
  std::printf("   median %8.1f ms\n", Median(ms));
}

}  // namespace

int main(int argc, char** argv) {
  bench::gProgram = "url_delete_bench";
  uint32_t n = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 100000;
  bool keep = argc > 2;
  std::string dir = keep ? argv[2]
                         : (std::filesystem::temp_directory_path() /
                            ("url_delete_bench." + std::to_string(getpid())))
                               .string();
  std::filesystem::create_directories(dir);
  if (!std::filesystem::exists(std::filesystem::path(dir) / "URLIN.DBF")) {
    std::printf("writing a catalogue of %u URL records into %s\n", n, dir.c_str());
    Check(catalogue::WriteDemoCatalogue(dir, n), "demo catalogue");
  }
  auto rows = ReadMemberships(dir);
  int64_t urls = 0;
  for (auto [tem, url] : rows) {
    urls = std::max(urls, url);
  }
  std::vector<int64_t> victims = PickUrls(rows, 5);
  std::printf("%lld URL records, %zu memberships; deleting URL ids", static_cast<long long>(urls),
              rows.size());
  for (int64_t id : victims) {
    std::printf(" %lld", static_cast<long long>(id));
  }
  std::printf("\n");

  // --- SQLite
  std::string sqlitePath = dir + "/url_delete_bench.sqlite";
  sqlite3* db = LoadSqlite(sqlitePath, rows, urls);
  rows.clear();
  rows.shrink_to_fit();
  sqlite3_stmt* delIn = nullptr;
  sqlite3_stmt* delUrl = nullptr;
  CheckSql(sqlite3_prepare_v2(db, "DELETE FROM urlin WHERE url_id = ?", -1, &delIn, nullptr), db,
           "prepare");
  CheckSql(sqlite3_prepare_v2(db, "UPDATE urls SET deleted = 1 WHERE url_id = ?", -1, &delUrl,
                              nullptr),
           db, "prepare");
  std::vector<double> sqliteMs;
  for (int64_t id : victims) {
    Span start = bench::Now();
    CheckSql(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
    sqlite3_bind_int64(delIn, 1, id);
    CheckSql(sqlite3_step(delIn), db, "delete memberships");
    sqlite3_reset(delIn);
    if (sqlite3_changes(db) != 3) {
      std::fprintf(stderr, "url_delete_bench: SQLite deleted %d rows\n", sqlite3_changes(db));
      return 1;
    }
    sqlite3_bind_int64(delUrl, 1, id);
    CheckSql(sqlite3_step(delUrl), db, "mark url");
    sqlite3_reset(delUrl);
    CheckSql(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
    sqliteMs.push_back(Seconds(start).wall * 1e3);
  }
  sqlite3_finalize(delIn);
  sqlite3_finalize(delUrl);
  sqlite3_close(db);
  std::filesystem::remove(sqlitePath);

  // --- The table components, as the catalogue's handlers use them
  auto connection = std::make_unique<TXdsConnection>("Form1");
  connection->SetName("XdsConnection1");
  connection->XdsServerTypes = stXDS_LOCAL;
  connection->LoginPrompt = false;
  connection->SetConnectPath(dir);
  connection->SetIsConnected(true);
  auto table = [&](const char* name, const char* file, const char* tag) {
    auto t = std::make_unique<TXdsTable>();
    t->SetName(name);
    t->SetOwnerName("Form1");
    t->SetXdsConnection(connection.get());
    t->SetTableType(ttXdsCDX);
    t->SetTableName(file);
    t->SetExclusive(true);
    t->SetIndexName(tag);
    return t;
  };
  auto urlsTable = table("HDSUrls", "urls.DBF", "URL_ID");
  urlsTable->XdsTableOptions().SetXdsCharType(OEM);
  urlsTable->SetIndexCollationMismatch(icmReindex);
  auto urlIn = table("HDSUrlIn", "URLIN.DBF", "TEM_ID");
  urlsTable->Open();
  urlIn->Open();

  std::string savedFilter;
  bool savedFiltered = false;
  int savedRecNo = 0;
  int removed = 0;
  urlsTable->BeforeDelete = [&](TDataSet& urlsSet) {
    savedFilter = urlIn->Filter();
    savedFiltered = urlIn->Filtered();
    savedRecNo = urlsSet.RecNo();
    urlIn->SetFiltered(false);
    urlIn->First();
    std::string expression =
        "URL_ID=" + std::to_string(urlsSet.FieldByName("URL_ID")->AsInteger());
    while (urlIn->LocateExpression(expression, true)) {
      urlIn->DeleteCurrentRecord();
      urlIn->PackTable();
      ++removed;
    }
  };
  urlsTable->AfterDelete = [&](TDataSet&) {
    urlIn->SetFilter(savedFilter);
    urlIn->SetFiltered(savedFiltered);
    urlsTable->GotoRecord(savedRecNo);
  };
  std::vector<double> layerMs;
  std::vector<double> layerCpuMs;
  for (int64_t id : victims) {
    // The demo catalogue numbers URL records in record order.
    urlsTable->GotoRecord(static_cast<int32_t>(id));
    if (urlsTable->FieldByName("URL_ID")->AsInteger() != id) {
      std::fprintf(stderr, "url_delete_bench: record %lld holds URL id %d\n",
                   static_cast<long long>(id), urlsTable->FieldByName("URL_ID")->AsInteger());
      return 1;
    }
    removed = 0;
    Span start = bench::Now();
    urlsTable->Delete();
    Span took = Seconds(start);
    layerMs.push_back(took.wall * 1e3);
    layerCpuMs.push_back(took.cpu * 1e3);
    if (removed != 3) {
      std::fprintf(stderr, "url_delete_bench: %d memberships removed\n", removed);
      return 1;
    }
  }
  urlIn->Close();
  urlsTable->Close();

  Report("delete a URL, 3 memberships: table layer", layerMs);
  Report("  the same, CPU time", layerCpuMs);
  Report("delete a URL, 3 memberships: SQLite", sqliteMs);
  if (!keep) {
    std::filesystem::remove_all(dir);
  }
  return 0;
}
