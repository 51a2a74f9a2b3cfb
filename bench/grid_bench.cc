// Scrolling a large URL table in the data-aware grid, against the usual Qt
// way of showing an SQL table (a QTableView over a QSqlQueryModel on
// SQLite), on the same records in the same run, both widgets offscreen and
// painted after every step.
//
//   grid_bench [N]   (default N = 1,000,000 URL records)
//
// Times per page of 40 rows (Page Down from the top, in record order and in
// the NAME tag's order), per jump by the scroll bar (to the end, to the
// middle), and for the SQL model the fetching it needs before its end can
// be shown.
#include <QApplication>
#include <QHeaderView>
#include <QScrollBar>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QSqlQueryModel>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "bench_util.h"
#include "catalogue/demo_catalogue.h"
#include "db/datasource.h"
#include "dbgrid.h"
#include "qt_text.h"
#include "xds/xds.h"

namespace {

constexpr int kRows = 40;
constexpr int kPages = 2000;
constexpr int kJumps = 20;

void Report(const char* what, bench::Span span, int count, const char* unit) {
  std::printf("  %-44s %9.3f ms/%s wall %9.3f ms/%s cpu\n", what, span.wall * 1000 / count, unit,
              span.cpu * 1000 / count, unit);
}

// Pages down `pages` times from the top; each page is painted.
bench::Span TimePages(QWidget* widget, QWidget* painted, int pages) {
  QTest::keyClick(widget, Qt::Key_Home, Qt::ControlModifier);
  painted->repaint();
  bench::Span start = bench::Now();
  for (int i = 0; i < pages; ++i) {
    QTest::keyClick(widget, Qt::Key_PageDown);
    painted->repaint();
  }
  return bench::Seconds(start);
}

// Drags the scroll bar's thumb alternately to the end and to the middle.
bench::Span TimeJumps(QScrollBar* bar, QWidget* painted, int jumps) {
  bench::Span start = bench::Now();
  for (int i = 0; i < jumps; ++i) {
    bar->setSliderDown(true);
    bar->setSliderPosition(i % 2 == 0 ? bar->maximum() : bar->maximum() / 2);
    bar->setSliderDown(false);
    painted->repaint();
  }
  return bench::Seconds(start);
}

// The grid sized to show exactly kRows rows.
void SizeForRows(TDBGrid& grid) {
  int height = kRows * grid.RowHeight();
  grid.resize(700, height);
  QApplication::processEvents();
  while (grid.VisibleRowCount() < kRows) {
    grid.resize(700, ++height);
  }
  while (grid.VisibleRowCount() > kRows) {
    grid.resize(700, --height);
  }
}

void RunGrid(const std::string& dir, const char* index, int pages) {
  auto connection = std::make_unique<TXdsConnection>("Form1");
  connection->SetName("XdsConnection1");
  connection->XdsServerTypes = stXDS_LOCAL;
  connection->SetConnectPath(dir);
  connection->SetIsConnected(true);
  TXdsTable urls;
  urls.SetName("HDSUrls");
  urls.SetXdsConnection(connection.get());
  urls.SetTableType(ttXdsCDX);
  urls.SetTableName("urls.DBF");
  urls.SetExclusive(true);
  urls.SetIndexName(index);
  urls.Open();
  TDataSource source;
  source.SetDataSet(&urls);
  TDBGrid grid;
  grid.SetColumnFields({"URL", "NAME", "ADRESTYPE"});
  grid.SetColumnWidths({"250", "250", "80"});
  grid.SetDataSource(&source);
  grid.show();
  SizeForRows(grid);
  grid.setFocus();

  std::printf("TDBGrid over TXdsTable, %s order:\n", *index ? index : "record");
  Report("Page Down (40 rows)", TimePages(&grid, grid.viewport(), pages), pages, "page");
  bench::Span start = bench::Now();
  QTest::keyClick(&grid, Qt::Key_End, Qt::ControlModifier);
  grid.viewport()->repaint();
  Report("Ctrl+End", bench::Seconds(start), 1, "jump");
  Report("scroll bar to the end / the middle", TimeJumps(grid.verticalScrollBar(), grid.viewport(), kJumps),
         kJumps, "jump");
  grid.SetDataSource(nullptr);
}

void RunSql(const std::string& file, const char* order, int pages) {
  {
    QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "bench");
    db.setDatabaseName(QString::fromStdString(file));
    if (!db.open()) {
      std::fprintf(stderr, "grid_bench: %s\n", db.lastError().text().toLocal8Bit().constData());
      std::exit(1);
    }
    QSqlQuery pragmas(db);
    for (const char* p : {"PRAGMA locking_mode=EXCLUSIVE", "PRAGMA journal_mode=OFF",
                          "PRAGMA synchronous=OFF", "PRAGMA cache_size=-1000000"}) {
      pragmas.exec(p);
    }
    QSqlQueryModel model;
    bench::Span start = bench::Now();
    model.setQuery(QString("SELECT url, name, adrestype FROM urls ORDER BY %1").arg(order), db);
    QTableView view;
    view.setModel(&model);
    view.setColumnWidth(0, 250);
    view.setColumnWidth(1, 250);
    view.verticalHeader()->setDefaultSectionSize(18);
    view.verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    view.resize(700, kRows * 18 + view.horizontalHeader()->sizeHint().height() + 20);
    view.show();
    QApplication::processEvents();
    view.setFocus();
    view.setCurrentIndex(model.index(0, 0));
    view.viewport()->repaint();
    bench::Span opened = bench::Seconds(start);

    std::printf("QTableView over QSqlQueryModel (SQLite), ORDER BY %s:\n", order);
    Report("query and first page", opened, 1, "open");
    Report("Page Down (40 rows)", TimePages(&view, view.viewport(), pages), pages, "page");
    start = bench::Now();
    while (model.canFetchMore()) {
      model.fetchMore();
    }
    bench::Span fetched = bench::Seconds(start);
    std::printf("  %-44s %9.3f ms wall %9.3f ms cpu (%d rows)\n", "fetchMore until the end",
                fetched.wall * 1000, fetched.cpu * 1000, model.rowCount());
    start = bench::Now();
    QTest::keyClick(&view, Qt::Key_End, Qt::ControlModifier);
    view.viewport()->repaint();
    Report("Ctrl+End (all rows fetched)", bench::Seconds(start), 1, "jump");
    Report("scroll bar to the end / the middle", TimeJumps(view.verticalScrollBar(), view.viewport(), kJumps),
           kJumps, "jump");
  }
  QSqlDatabase::removeDatabase("bench");
}

// The URL table's records copied into SQLite, with an index on the name.
void CopyToSqlite(const std::string& dir, const std::string& file) {
  auto connection = std::make_unique<TXdsConnection>("Form1");
  connection->XdsServerTypes = stXDS_LOCAL;
  connection->SetConnectPath(dir);
  connection->SetIsConnected(true);
  TXdsTable urls;
  urls.SetName("HDSUrls");
  urls.SetXdsConnection(connection.get());
  urls.SetTableType(ttXdsCDX);
  urls.SetTableName("urls.DBF");
  urls.Open();
  sqlite3* db = nullptr;
  bench::CheckSql(sqlite3_open(file.c_str(), &db), db, "open");
  bench::CheckSql(sqlite3_exec(db,
                               "PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
                               "CREATE TABLE urls(id INTEGER PRIMARY KEY, url TEXT, name TEXT,"
                               " adrestype TEXT); BEGIN",
                               nullptr, nullptr, nullptr),
                  db, "create");
  sqlite3_stmt* insert = nullptr;
  bench::CheckSql(sqlite3_prepare_v2(db, "INSERT INTO urls VALUES (?, ?, ?, ?)", -1, &insert,
                                     nullptr),
                  db, "prepare");
  TField* url = urls.FieldByName("URL");
  TField* name = urls.FieldByName("NAME");
  TField* type = urls.FieldByName("ADRESTYPE");
  for (int id = 1; !urls.Eof(); urls.Next(), ++id) {
    // SQLite holds UTF-8, as a Qt program would store it.
    QByteArray u = ui::ToQString(url->AsString()).toUtf8();
    QByteArray n = ui::ToQString(name->AsString()).toUtf8();
    QByteArray t = ui::ToQString(type->AsString()).toUtf8();
    sqlite3_bind_int(insert, 1, id);
    sqlite3_bind_text(insert, 2, u.constData(), static_cast<int>(u.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 3, n.constData(), static_cast<int>(n.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(insert, 4, t.constData(), static_cast<int>(t.size()), SQLITE_TRANSIENT);
    bench::CheckSql(sqlite3_step(insert), db, "insert");
    sqlite3_reset(insert);
  }
  sqlite3_finalize(insert);
  bench::CheckSql(sqlite3_exec(db, "COMMIT; CREATE INDEX urls_name ON urls(name)", nullptr,
                               nullptr, nullptr),
                  db, "index");
  sqlite3_close(db);
}

}  // namespace

int main(int argc, char** argv) {
  bench::gProgram = "grid_bench";
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  uint32_t count = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1000000;
  int pages = std::min<int>(kPages, static_cast<int>(count / kRows) - 1);
  QTemporaryDir tmp;
  std::string dir = tmp.path().toStdString();
  std::printf("grid_bench: %u URL records, %d pages of %d rows, %d jumps\n", count, pages, kRows,
              kJumps);
  bench::Check(catalogue::WriteDemoCatalogue(dir, count), "demo catalogue");
  std::string sqlite = dir + "/urls.sqlite";
  CopyToSqlite(dir, sqlite);

  RunGrid(dir, "", pages);
  RunSql(sqlite, "id", pages);
  RunGrid(dir, "NAME", pages);
  RunSql(sqlite, "name", pages);
  return 0;
}
