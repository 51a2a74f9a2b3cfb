// The table layer on the catalogue's own tables against SQLite on the same
// data in the same run:
//   section filter: five sections marked, the membership filter rebuilt and
//     the URL list refetched through its per-record handler (one membership
//     Locate per URL record) up to the 40 rows a grid shows;
//   address search: one keystroke of the case-insensitive partial Locate on
//     the OEM URL table; and the same on a Cyrillic name.
// Usage: xds_search_bench [N] [DIR] [--engine-only]. DIR (default
// /tmp/tavo_xds_search_bench_N) receives a demo catalogue of N URL records (default
// 100000) unless it holds one. --engine-only leaves SQLite out (profiling).

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "bench_util.h"
#include "catalogue/demo_catalogue.h"
#include "catalogue_sqlite.h"
#include "db/datasource.h"
#include "xds/xds.h"

namespace {

using bench::Now;
using bench::Seconds;
using bench::LoadSqlite;
using bench::ReadCatalogue;
using bench::Span;
using bench::UrlRow;

constexpr int kGridRows = 40;
constexpr int kMarked = 5;
constexpr int kRuns = 5;

// The rows a grid shows: the dataset keeps this many buffers.
class TGridLink : public TDataLink {};

// The catalogue's three tables as the main window declares them.
struct Catalogue {
  explicit Catalogue(const std::string& dir) {
    connection.SetName("XdsConnection1");
    connection.XdsServerTypes = stXDS_LOCAL;
    connection.LoginPrompt = false;
    connection.SetConnectPath(dir);
    connection.SetIsConnected(true);
    auto setUp = [&](TXdsTable& t, const char* name, const char* file) {
      t.SetName(name);
      t.SetXdsConnection(&connection);
      t.SetTableType(ttXdsCDX);
      t.SetTableName(file);
      t.SetExclusive(true);
    };
    setUp(types, "HDSType", "TYPE.DBF");
    setUp(urlIn, "HDSUrlIn", "URLIN.DBF");
    setUp(urls, "HDSUrls", "urls.DBF");
    urls.XdsTableOptions().SetXdsCharType(OEM);
    types.Open();
    urlIn.SetIndexName("TEM_ID");
    urlIn.Open();
    AddField<TStringField>(urls, "URL", 100);
    AddField<TStringField>(urls, "NAME", 100);
    AddField<TMemoField>(urls, "DESCR");
    AddField<TStringField>(urls, "ADRESTYPE", 10);
    AddField<TFloatField>(urls, "URL_ID");
    auto* urlType = AddField<TStringField>(urls, "URL_TYPE", 100);
    urlType->SetFieldKind(fkLookup);
    urlType->SetKeyFields("ADRESTYPE");
    urlType->SetLookupDataSet(&types);
    urlType->SetLookupKeyFields("TYPE_ID");
    urlType->SetLookupResultField("TYPE_NAME");
    urls.SetFilter("not deleted()");
    urls.SetFiltered(true);
    urls.SetOnFilterRecord([this](TDataSet&, bool& accept) {
      if (filterOn) {
        accept = urlIn.Locate("URL_ID", TVariant(urls.FieldByName("URL_ID")->AsFloat()), 0);
      }
    });
    urls.SetIndexName("URL_ID");
    urls.Open();
    source.SetDataSet(&urls);
    grid.SetBufferCount(kGridRows);
    grid.SetDataSource(&source);
  }

  // The marks changed: the membership filter rebuilt, the list refetched.
  void ApplySectionFilter(const std::vector<int>& marked) {
    std::string filter;
    for (int id : marked) {
      filter += (filter.empty() ? "(TEM_ID=" : " OR (TEM_ID=") + std::to_string(id) + ")";
    }
    urlIn.SetIndexName("TEM_ID");
    urlIn.SetFiltered(false);
    urlIn.SetFilter(filter);
    urlIn.SetFiltered(true);
    urls.SetFiltered(false);
    urls.SetFiltered(true);
  }

  TXdsConnection connection{"Form1"};
  TXdsTable types;
  TXdsTable urlIn;
  TXdsTable urls;
  TDataSource source;
  TGridLink grid;
  bool filterOn = true;
};

std::vector<int> MarkedSections(uint32_t sections, int run) {
  std::vector<int> marked;
  for (int i = 0; i < kMarked; ++i) {
    marked.push_back(static_cast<int>(1 + (static_cast<uint32_t>(run * 7919 + i * 104729) %
                                           sections)));
  }
  return marked;
}

void Report(const char* what, Span engine, double sqlite, const std::string& detail) {
  std::printf("%-40s engine %8.2f ms (cpu %8.2f)  sqlite %8.2f ms  %s\n", what,
              engine.wall * 1e3, engine.cpu * 1e3, sqlite * 1e3, detail.c_str());
}

Span Best(const Span& a, const Span& b) { return a.wall <= b.wall ? a : b; }

}  // namespace

int main(int argc, char** argv) {
  bench::gProgram = "xds_search_bench";
  std::vector<std::string> args(argv + 1, argv + argc);
  const bool engineOnly = std::erase(args, "--engine-only") > 0;
  const uint32_t n = !args.empty() ? static_cast<uint32_t>(std::stoul(args[0])) : 100000;
  const std::string dir = args.size() > 1 ? args[1] : "/tmp/tavo_xds_search_bench_" + std::to_string(n);
  if (!std::filesystem::exists(std::filesystem::path(dir) / "urls.DBF")) {
    std::printf("writing a demo catalogue of %u URL records into %s\n", n, dir.c_str());
    bench::Check(catalogue::WriteDemoCatalogue(dir, n), "demo catalogue");
  }
  const catalogue::DemoCounts counts = catalogue::DemoCountsFor(n);

  std::vector<UrlRow> urlRows;
  std::vector<std::pair<int, int>> memberships;
  std::vector<std::pair<std::string, std::string>> typeRows;
  ReadCatalogue(dir, urlRows, memberships, typeRows);
  sqlite3* db = nullptr;
  if (engineOnly) {
    bench::CheckSql(sqlite3_open(":memory:", &db), db, "open");
    bench::CheckSql(sqlite3_exec(db,
                                 "CREATE TABLE urls(url_id INTEGER, url TEXT, name TEXT, "
                                 "adrestype TEXT); CREATE TABLE urlin(tem_id INTEGER, url_id "
                                 "INTEGER); CREATE TABLE types(type_id TEXT, type_name TEXT)",
                                 nullptr, nullptr, nullptr),
                    db, "create");
  } else {
    db = LoadSqlite(dir + "/bench.sqlite", urlRows, memberships, typeRows);
  }
  std::printf("%zu URL records, %zu memberships, %u sections\n", urlRows.size(),
              memberships.size(), counts.sections);

  Catalogue cat(dir);

  // --- Section filter ---------------------------------------------------------
  sqlite3_stmt* sectionQuery = nullptr;
  bench::CheckSql(
      sqlite3_prepare_v2(db,
                         "SELECT u.url_id, u.url, u.name, t.type_name FROM urls u "
                         "LEFT JOIN types t ON t.type_id = u.adrestype "
                         "WHERE EXISTS (SELECT 1 FROM urlin m WHERE m.url_id = u.url_id "
                         "AND m.tem_id IN (?,?,?,?,?)) ORDER BY u.url_id LIMIT 40",
                         -1, &sectionQuery, nullptr),
      db, "prepare");
  Span engineBest{1e9, 1e9};
  double sqliteBest = 1e9;
  std::string detail;
  for (int run = 0; run < kRuns; ++run) {
    std::vector<int> marked = MarkedSections(counts.sections, run);
    Span start = Now();
    cat.ApplySectionFilter(marked);
    Span took = Seconds(start);
    engineBest = Best(engineBest, took);
    int shown = cat.grid.RecordCount();
    int lastId = 0;
    if (shown > 0) {
      cat.grid.SetActiveRecord(shown - 1);
      lastId = cat.urls.FieldByName("URL_ID")->AsInteger();
      cat.grid.SetActiveRecord(0);
    }

    Span sqlStart = Now();
    sqlite3_reset(sectionQuery);
    for (int i = 0; i < kMarked; ++i) {
      sqlite3_bind_int(sectionQuery, i + 1, marked[static_cast<size_t>(i)]);
    }
    int rows = 0;
    int sqlLastId = 0;
    int rc = 0;
    while ((rc = sqlite3_step(sectionQuery)) == SQLITE_ROW) {
      ++rows;
      sqlLastId = sqlite3_column_int(sectionQuery, 0);
    }
    bench::CheckSql(rc, db, "section query");
    sqliteBest = std::min(sqliteBest, Seconds(sqlStart).wall);
    if (!engineOnly && (rows != shown || sqlLastId != lastId)) {
      std::fprintf(stderr, "xds_search_bench: the section filter shows %d rows up to id %d, SQLite %d up to %d\n",
                   shown, lastId, rows, sqlLastId);
      return 1;
    }
    detail = std::to_string(shown) + " rows up to URL id " + std::to_string(lastId);
  }
  Report("section filter, 5 sections, 40 rows", engineBest, sqliteBest, detail);
  sqlite3_finalize(sectionQuery);
  cat.filterOn = false;
  cat.urls.SetFiltered(false);
  cat.urls.SetFiltered(true);

  // --- Address and name search --------------------------------------------------
  // Typed texts whose first match lies in the middle of the URL_ID order.
  const UrlRow& middle = urlRows[urlRows.size() / 2];
  std::string address = middle.url.substr(0, std::min<size_t>(middle.url.size(), 14));
  for (char& ch : address) {
    ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
  }
  struct Search {
    const char* what;
    const char* field;
    const char* column;
    std::string text;
  };
  std::vector<Search> searches = {
      {"address search keystroke (upper case)", "URL", "url", address},
      {"address search keystroke, no match", "URL", "url", "ZZZ.NOWHERE"},
  };
  for (const Search& s : searches) {
    sqlite3_stmt* q = nullptr;
    std::string sql = std::string("SELECT url_id FROM urls WHERE ") + s.column +
                      " LIKE ?1 || '%' ORDER BY url_id LIMIT 1";
    bench::CheckSql(sqlite3_prepare_v2(db, sql.c_str(), -1, &q, nullptr), db, "prepare");
    Span best{1e9, 1e9};
    double sqlBest = 1e9;
    int engineId = 0;
    int sqlId = 0;
    for (int run = 0; run < kRuns; ++run) {
      cat.urls.First();
      Span start = Now();
      bool found = cat.urls.Locate(s.field, TVariant(s.text), loCaseInsensitive | loPartialKey);
      best = Best(best, Seconds(start));
      engineId = found ? cat.urls.FieldByName("URL_ID")->AsInteger() : 0;
      Span sqlStart = Now();
      sqlite3_reset(q);
      sqlite3_bind_text(q, 1, s.text.data(), static_cast<int>(s.text.size()), SQLITE_STATIC);
      int rc = sqlite3_step(q);
      sqlId = rc == SQLITE_ROW ? sqlite3_column_int(q, 0) : 0;
      bench::CheckSql(rc, db, "search");
      sqlBest = std::min(sqlBest, Seconds(sqlStart).wall);
    }
    sqlite3_finalize(q);
    if (!engineOnly && engineId != sqlId) {
      std::fprintf(stderr, "xds_search_bench: %s finds URL id %d, SQLite %d\n", s.what, engineId,
                   sqlId);
      return 1;
    }
    Report(s.what, best, sqlBest, "\"" + s.text + "\" -> URL id " + std::to_string(engineId));
  }
  sqlite3_close(db);
  return 0;
}
