// The URL list and the URL commands through the main window's own handlers,
// headless (offscreen), on a demo catalogue, against SQLite on the same data
// in the same run:
//   a keystroke in the address box and in the name box (case-insensitive
//     partial search, typed in capitals);
//   the filter panel clicked with five sections marked, to the first screen
//     of rows the grid shows;
//   one more section marked with the filter on (the mark and the rebuilt
//     filter, as the tree's mouse handler does);
//   the new-URL command from the click to the main window shown again, the
//     editor window accepted as soon as it shows with one section marked;
//   the delete command on a URL record with its memberships.
// SQLite answers the same questions with the indexes the tags stand for
// (exclusive locking, no journal, no syncs, everything cached).
//
//   url_catalogue_bench [N] [DIR]
// DIR (default /tmp/tavo_url_catalogue_bench_N) keeps a demo catalogue of N
// URL records (default 1000000), written when missing; every run works on a
// copy of it beside it, so the commands change nothing in it.
#include <QApplication>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "Unit1.h"
#include "Unit2.h"
#include "bench_util.h"
#include "catalogue/demo_catalogue.h"
#include "catalogue_sqlite.h"
#include "exception_handler.h"
#include "qt_text.h"
#include "section_edit.h"
#include "section_tree.h"
#include "url_catalogue.h"

namespace {

namespace fs = std::filesystem;
using bench::Now;
using bench::Seconds;
using bench::Span;

constexpr int kRuns = 5;
constexpr int kCommandRuns = 3;

Span Best(const Span& a, const Span& b) { return a.wall <= b.wall ? a : b; }

void Report(const char* what, Span engine, double sqlite, const std::string& detail) {
  std::printf("%-44s window %8.2f ms (cpu %8.2f)  sqlite %8.2f ms  %s\n", what, engine.wall * 1e3,
              engine.cpu * 1e3, sqlite * 1e3, detail.c_str());
  std::fflush(stdout);
}

void Fail(const std::string& what) {
  std::fprintf(stderr, "url_catalogue_bench: %s\n", what.c_str());
  std::exit(1);
}

// A statement run to its end; the first column of the last row (0 for none)
// and the number of rows.
std::pair<int, int> Run(sqlite3* db, sqlite3_stmt* st) {
  int rows = 0;
  int last = 0;
  int rc = 0;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    ++rows;
    last = sqlite3_column_int(st, 0);
  }
  bench::CheckSql(rc, db, "query");
  sqlite3_reset(st);
  return {last, rows};
}

sqlite3_stmt* Prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* st = nullptr;
  bench::CheckSql(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), db, sql.c_str());
  return st;
}

void Exec(sqlite3* db, const char* sql) {
  bench::CheckSql(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql);
}

int CurrentId(TForm1& form) { return form.HDSUrls->FieldByName("URL_ID")->AsInteger(); }

}  // namespace

int main(int argc, char** argv) {
  bench::gProgram = "url_catalogue_bench";
  const uint32_t n = argc > 1 ? static_cast<uint32_t>(std::stoul(argv[1])) : 1000000;
  const std::string pristine =
      argc > 2 ? argv[2] : "/tmp/tavo_url_catalogue_bench_" + std::to_string(n);
  if (!fs::exists(fs::path(pristine) / "urls.DBF")) {
    std::printf("writing a demo catalogue of %u URL records into %s\n", n, pristine.c_str());
    bench::Check(catalogue::WriteDemoCatalogue(pristine, n), "demo catalogue");
  }
  const std::string dir = fs::absolute(pristine).string() + "-work";
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (const auto& entry : fs::directory_iterator(pristine)) {
    if (entry.is_regular_file() && entry.path().extension() != ".sqlite") {
      fs::copy_file(entry.path(), fs::path(dir) / entry.path().filename());
    }
  }

  std::vector<bench::UrlRow> urlRows;
  std::vector<std::pair<int, int>> memberships;
  std::vector<std::pair<std::string, std::string>> typeRows;
  bench::ReadCatalogue(dir, urlRows, memberships, typeRows);
  sqlite3* db = bench::LoadSqlite(dir + "/bench.sqlite", urlRows, memberships, typeRows);
  const catalogue::DemoCounts counts = catalogue::DemoCountsFor(n);
  std::printf("%zu URL records, %zu memberships, %u sections\n", urlRows.size(), memberships.size(),
              counts.sections);
  std::map<int, int> membershipsOf;
  for (auto [section, url] : memberships) {
    ++membershipsOf[url];
  }
  memberships.clear();
  memberships.shrink_to_fit();

  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  ui::TApplication app(argc, argv);
  fs::current_path(dir);
  TForm1 form;  // start-up opens the catalogue of the current folder
  if (!form.HDSUrls->Active()) {
    Fail("start-up did not open the catalogue");
  }
  form.show();
  if (!QTest::qWaitForWindowExposed(&form)) {
    Fail("the main window was not shown");
  }
  const int gridRows = form.DBGrid1->VisibleRowCount();
  const std::string limit = " LIMIT " + std::to_string(gridRows);
  std::printf("the grid shows %d rows\n", gridRows);

  // --- A keystroke in each search box -------------------------------------------
  // Texts whose first match lies in the middle of the list, typed in
  // capitals. SQLite's LIKE folds the letters of the address; the stored
  // bytes of a Cyrillic name are not UTF-8 to it, so it gets the name's
  // stored letters as a range of its index instead.
  const bench::UrlRow& middle = urlRows[urlRows.size() / 2];
  form.HDSUrls->Locate("URL_ID", TVariant(middle.id), 0);
  struct Search {
    const char* what;
    QLineEdit* box;
    const char* where;
    QString typed;
    std::string stored;
  };
  auto prefix = [&](const char* field) {
    std::string text = form.HDSUrls->FieldByName(field)->AsString();
    return text.substr(0, std::min<size_t>(text.size(), 14));
  };
  const std::string urlPrefix = prefix("URL");
  const std::string namePrefix = prefix("NAME");
  std::vector<Search> searches = {
      {"address box keystroke", form.Edit1, "url LIKE ?1 || '%'",
       ui::ToQString(urlPrefix).toUpper(), std::string(middle.url.substr(0, urlPrefix.size()))},
      {"name box keystroke (Cyrillic)", form.Edit2, "name >= ?1 AND name < ?1 || x'FF'",
       ui::ToQString(namePrefix).toUpper(),
       std::string(middle.name.substr(0, middle.name.size() < 14 ? middle.name.size() : 14))},
  };
  for (const Search& s : searches) {
    sqlite3_stmt* q = Prepare(
        db, std::string("SELECT url_id FROM urls WHERE ") + s.where + " ORDER BY url_id LIMIT 1");
    Span best{1e9, 1e9};
    double sqlBest = 1e9;
    int windowId = 0;
    int sqlId = 0;
    for (int run = 0; run < kRuns; ++run) {
      s.box->clear();
      form.HDSUrls->First();
      s.box->setText(s.typed.left(s.typed.size() - 1));
      Span start = Now();
      s.box->insert(s.typed.right(1));  // the keystroke: one search
      best = Best(best, Seconds(start));
      windowId = CurrentId(form);
      Span sqlStart = Now();
      sqlite3_bind_text(q, 1, s.stored.data(), static_cast<int>(s.stored.size()), SQLITE_STATIC);
      sqlId = Run(db, q).first;
      sqlBest = std::min(sqlBest, Seconds(sqlStart).wall);
    }
    sqlite3_finalize(q);
    if (windowId != sqlId) {
      Fail(std::string(s.what) + " finds URL id " + std::to_string(windowId) + ", SQLite " +
           std::to_string(sqlId));
    }
    Report(s.what, best, sqlBest, "-> URL id " + std::to_string(windowId));
    s.box->clear();
  }

  // --- The section filter switched on, then one more mark -----------------------
  std::vector<TTreeNode*> nodes = TreeNodes(form.TreeView1);
  auto marked = [&](int run, int count) {
    std::vector<TTreeNode*> chosen;
    for (int i = 0; i < count; ++i) {
      chosen.push_back(nodes[(static_cast<size_t>(run) * 7919 + static_cast<size_t>(i) * 104729) %
                             nodes.size()]);
    }
    return chosen;
  };
  auto sectionQuery = [&](int count) {
    std::string in;
    for (int i = 0; i < count; ++i) {
      in += i == 0 ? "?" : ",?";
    }
    return Prepare(db,
                   "SELECT u.url_id, u.url, u.name, t.type_name FROM urls u "
                   "LEFT JOIN types t ON t.type_id = u.adrestype "
                   "WHERE EXISTS (SELECT 1 FROM urlin m WHERE m.url_id = u.url_id AND m.tem_id "
                   "IN (" +
                       in + ")) ORDER BY u.url_id" + limit);
  };
  auto sqlSections = [&](sqlite3_stmt* q, const std::vector<TTreeNode*>& chosen) {
    for (size_t i = 0; i < chosen.size(); ++i) {
      sqlite3_bind_int(q, static_cast<int>(i + 1), static_cast<int>(chosen[i]->Data()));
    }
    return Run(db, q);
  };
  sqlite3_stmt* five = sectionQuery(5);
  sqlite3_stmt* six = sectionQuery(6);
  Span filterBest{1e9, 1e9};
  Span markBest{1e9, 1e9};
  double filterSql = 1e9;
  double markSql = 1e9;
  std::string filterDetail;
  std::string markDetail;
  for (int run = 0; run < kRuns; ++run) {
    std::vector<TTreeNode*> chosen = marked(run, 6);
    for (int i = 0; i < 5; ++i) {
      SetSectionMark(chosen[static_cast<size_t>(i)], kSectionMarked);
    }
    Span start = Now();
    QTest::mouseClick(form.Panel2, Qt::LeftButton);  // on
    filterBest = Best(filterBest, Seconds(start));
    const int rows = form.DBGrid1->RowCount();
    Span sqlStart = Now();
    const int sqlRows = sqlSections(five, {chosen.begin(), chosen.begin() + 5}).second;
    filterSql = std::min(filterSql, Seconds(sqlStart).wall);
    if (rows != sqlRows) {
      Fail("the section filter shows " + std::to_string(rows) + " rows, SQLite " +
           std::to_string(sqlRows));
    }
    filterDetail = std::to_string(rows) + " rows";

    start = Now();
    SetSectionMark(chosen[5], kSectionMarked);
    form.ApplySectionFilter();
    markBest = Best(markBest, Seconds(start));
    const int markRows = form.DBGrid1->RowCount();
    sqlStart = Now();
    const int markSqlRows = sqlSections(six, chosen).second;
    markSql = std::min(markSql, Seconds(sqlStart).wall);
    if (markRows != markSqlRows) {
      Fail("the sixth mark shows " + std::to_string(markRows) + " rows, SQLite " +
           std::to_string(markSqlRows));
    }
    markDetail = std::to_string(markRows) + " rows";

    QTest::mouseClick(form.Panel2, Qt::LeftButton);  // off
    for (TTreeNode* node : chosen) {
      SetSectionMark(node, kSectionUnmarked);
    }
  }
  sqlite3_finalize(five);
  sqlite3_finalize(six);
  Report("section filter on, 5 sections, first screen", filterBest, filterSql, filterDetail);
  Report("sixth section marked, filter on", markBest, markSql, markDetail);
  form.ApplySectionFilter();

  // --- The new-URL command ----------------------------------------------------------
  int nextId = 0;
  for (const bench::UrlRow& u : urlRows) {
    nextId = std::max(nextId, u.id);
  }
  sqlite3_stmt* firstScreen =
      Prepare(db, "SELECT url_id, url, name FROM urls ORDER BY url_id" + limit);
  sqlite3_stmt* insertUrl = Prepare(db, "INSERT INTO urls VALUES(?, 'new', 'new', '1')");
  sqlite3_stmt* insertIn = Prepare(db, "INSERT INTO urlin VALUES(?, ?)");
  Span newBest{1e9, 1e9};
  double newSql = 1e9;
  const uint32_t section = nodes.front()->Data();
  for (int run = 0; run < kCommandRuns; ++run) {
    ++nextId;
    QTimer::singleShot(0, [&] {
      if (Form2.isNull() || !Form2->isVisible()) {
        Fail("the editor window did not show");
      }
      SetSectionMark(TreeNodes(Form2->TreeView1).front(), kSectionMarked);
      Form2->Button1->click();
    });
    Span start = Now();
    form.ToolButton1->click();
    newBest = Best(newBest, Seconds(start));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    if (!form.isVisible() || CurrentId(form) != nextId) {
      Fail("the new URL is not the current record: " + std::to_string(CurrentId(form)));
    }
    Span sqlStart = Now();
    Exec(db, "BEGIN");
    sqlite3_bind_int(insertUrl, 1, nextId);
    bench::CheckSql(sqlite3_step(insertUrl), db, "insert url");
    sqlite3_reset(insertUrl);
    sqlite3_bind_int(insertIn, 1, static_cast<int>(section));
    sqlite3_bind_int(insertIn, 2, nextId);
    bench::CheckSql(sqlite3_step(insertIn), db, "insert membership");
    sqlite3_reset(insertIn);
    Exec(db, "COMMIT");
    Run(db, firstScreen);
    newSql = std::min(newSql, Seconds(sqlStart).wall);
  }
  sqlite3_finalize(insertUrl);
  sqlite3_finalize(insertIn);
  Report("new URL, click to main window shown", newBest, newSql, "one membership");

  // --- The delete command -----------------------------------------------------------
  // URL records with three memberships each, spread over the list.
  std::vector<int> victims;
  for (size_t i = urlRows.size() / 3; i < urlRows.size() && victims.size() < kCommandRuns;
       i += 997) {
    if (membershipsOf[urlRows[i].id] == 3) {
      victims.push_back(urlRows[i].id);
    }
  }
  sqlite3_stmt* delIn = Prepare(db, "DELETE FROM urlin WHERE url_id = ?");
  sqlite3_stmt* delUrl = Prepare(db, "DELETE FROM urls WHERE url_id = ?");
  Span delBest{1e9, 1e9};
  double delSql = 1e9;
  for (int id : victims) {
    if (!form.HDSUrls->Locate("URL_ID", TVariant(id), 0)) {
      Fail("no URL record " + std::to_string(id));
    }
    Span start = Now();
    form.ToolButton3->click();
    delBest = Best(delBest, Seconds(start));
    if (form.HDSUrls->Locate("URL_ID", TVariant(id), 0)) {
      Fail("URL record " + std::to_string(id) + " is still shown");
    }
    Span sqlStart = Now();
    Exec(db, "BEGIN");
    sqlite3_bind_int(delIn, 1, id);
    bench::CheckSql(sqlite3_step(delIn), db, "delete memberships");
    sqlite3_reset(delIn);
    sqlite3_bind_int(delUrl, 1, id);
    bench::CheckSql(sqlite3_step(delUrl), db, "delete url");
    sqlite3_reset(delUrl);
    Exec(db, "COMMIT");
    Run(db, firstScreen);
    delSql = std::min(delSql, Seconds(sqlStart).wall);
  }
  sqlite3_finalize(delIn);
  sqlite3_finalize(delUrl);
  sqlite3_finalize(firstScreen);
  Report("delete URL with 3 memberships", delBest, delSql,
         std::to_string(victims.size()) + " runs");

  sqlite3_close(db);
  return 0;
}
