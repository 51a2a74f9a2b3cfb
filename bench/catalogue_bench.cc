// Start-up and close of the real main window on a large catalogue, headless,
// with the reindex part against SQLite's REINDEX of the same rows in the same
// run.
//
//   catalogue_bench DIR [--urls N]
//
// DIR holds a catalogue (xcetool demo-catalogue DIR --urls N); when it holds
// none, one of N URL records (default 1,000,000) is written there first.
// The program's grid-width file is written into DIR by the close.
#include <unistd.h>

#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "Unit1.h"
#include "bench_util.h"
#include "catalogue/demo_catalogue.h"
#include "catalogue/schema.h"
#include "exception_handler.h"
#include "section_tree.h"
#include "xds/xds.h"

namespace {

using bench::Now;
using bench::Seconds;
using bench::Span;

void Report(const char* what, Span s) {
  std::printf("  %-44s %9.1f ms wall %9.1f ms cpu\n", what, s.wall * 1e3, s.cpu * 1e3);
}

// A table of the catalogue copied into SQLite as text columns, with one
// index per tag of the engine's table.
void CopyTable(sqlite3* db, XDSHANDLE connection, const catalogue::CatalogueTable& def,
               const std::string& name) {
  XDSHANDLE t = 0;
  bench::Check(catalogue::OpenCatalogueTable(connection, def, true, &t), "open for copy");
  std::string columns;
  std::string marks;
  for (std::size_t i = 0; i < def.fields.size(); ++i) {
    columns += (i ? "," : "") + std::string(def.fields[i].name);
    marks += i ? ",?" : "?";
  }
  bench::CheckSql(sqlite3_exec(db, ("CREATE TABLE " + name + "(" + columns + ")").c_str(), nullptr,
                               nullptr, nullptr),
                  db, "create");
  sqlite3_stmt* ins = nullptr;
  bench::CheckSql(sqlite3_prepare_v2(db, ("INSERT INTO " + name + " VALUES(" + marks + ")").c_str(),
                                     -1, &ins, nullptr),
                  db, "prepare insert");
  bench::CheckSql(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  std::vector<char> value(1 << 16);
  uint16_t eof = 0;
  bench::Check(XdsGotoTop(t), "top");
  for (; XdsAtEOF(t, &eof) == 0 && !eof; bench::SkipOne(t, "next record")) {
    for (std::size_t i = 0; i < def.fields.size(); ++i) {
      uint32_t length = static_cast<uint32_t>(value.size());
      bench::Check(XdsGetField(t, static_cast<uint16_t>(i + 1), value.data(), &length, XDS_GET_TRIM),
                   "read field");
      if (def.fields[i].type == 'N') {
        sqlite3_bind_int64(ins, static_cast<int>(i + 1), std::atoll(value.data()));
      } else {
        sqlite3_bind_text(ins, static_cast<int>(i + 1), value.data(), static_cast<int>(length),
                          SQLITE_TRANSIENT);
      }
    }
    bench::CheckSql(sqlite3_step(ins), db, "insert");
    sqlite3_reset(ins);
  }
  bench::CheckSql(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  sqlite3_finalize(ins);
  bench::Check(XdsCloseTable(t), "close after copy");
  for (const catalogue::CatalogueTag& tag : def.tags) {
    std::string key = tag.key;
    for (char& c : key) {
      if (c == '+') {
        c = ',';
      }
    }
    // Keys such as STR(TEM_ID,10)+STR(URL_ID,10) become the plain columns.
    std::string plain;
    for (std::size_t i = 0; i < def.fields.size(); ++i) {
      if (key.find(def.fields[i].name) != std::string::npos) {
        plain += (plain.empty() ? "" : ",") + std::string(def.fields[i].name);
      }
    }
    std::string sql = "CREATE INDEX " + name + "_" + tag.name + " ON " + name + "(" + plain + ")";
    bench::CheckSql(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), db, "index");
  }
}

}  // namespace

int main(int argc, char** argv) {
  bench::gProgram = "catalogue_bench";
  if (argc < 2) {
    std::fprintf(stderr, "usage: catalogue_bench DIR [--urls N]\n");
    return 2;
  }
  const std::filesystem::path dir = std::filesystem::absolute(argv[1]);
  uint32_t urls = 1000000;
  if (argc >= 4 && std::string(argv[2]) == "--urls") {
    urls = static_cast<uint32_t>(std::stoul(argv[3]));
  }
  qputenv("QT_QPA_PLATFORM", "offscreen");
  ui::TApplication app(argc, argv);
  if (catalogue::CatalogueFilesIn(dir.string()).empty()) {
    std::filesystem::create_directories(dir);
    std::printf("writing a demo catalogue of %u URL records into %s\n", urls, dir.c_str());
    bench::Check(catalogue::WriteDemoCatalogue(dir.string(), urls), "demo catalogue");
  }
  if (chdir(dir.c_str()) != 0) {
    std::perror("catalogue_bench: chdir");
    return 1;
  }
  // An error box would wait for a user: report it and stop.
  QTimer boxes;
  QObject::connect(&boxes, &QTimer::timeout, [] {
    if (QApplication::activeModalWidget() != nullptr) {
      std::fprintf(stderr, "catalogue_bench: an error box was shown\n");
      std::exit(1);
    }
  });
  boxes.start(50);

  std::printf("catalogue in %s\n", dir.c_str());
  Span t = Now();
  auto form = std::make_unique<TForm1>();
  Span startup = Seconds(t);
  if (!form->HDSTem->Active()) {
    std::fprintf(stderr, "catalogue_bench: start-up failed\n");
    return 1;
  }
  const std::size_t sections = TreeNodes(form->TreeView1).size();
  std::printf("%d URL records, %d memberships, %zu sections\n", form->HDSUrls->RecordCount(),
              form->HDSUrlIn->RecordCount(), sections);
  Report("start-up (FormCreate)", startup);

  // The parts, run again on the open window.
  Span reindex{};
  for (TXdsTable* table : {form->HDSType, form->HDSUrlIn, form->HDSUrls, form->HDSTem}) {
    t = Now();
    table->ReindexTable();
    Span s = Seconds(t);
    reindex.wall += s.wall;
    reindex.cpu += s.cpu;
    Report(("  reindex " + table->TableName()).c_str(), s);
  }
  Report("  reindex, all four tables", reindex);
  t = Now();
  LoadTreeFromTable(*form->HDSTem, form->TreeView1, catalogue::kSectionId,
                    catalogue::kSectionParent, catalogue::kSectionName);
  Report("  tree load", Seconds(t));
  t = Now();
  SaveTreeToTable(*form->HDSTem, form->TreeView1, catalogue::kSectionId, catalogue::kSectionParent,
                  catalogue::kSectionName);
  Report("  tree save", Seconds(t));

  t = Now();
  bool closed = form->close();
  Span close = Seconds(t);
  if (!closed) {
    std::fprintf(stderr, "catalogue_bench: the window did not close\n");
    return 1;
  }
  Report("close (FormCloseQuery)", close);
  form.reset();

  // SQLite: the same rows, one index per tag, REINDEX.
  const std::string dbPath = (dir / "catalogue_bench.sqlite").string();
  sqlite3* db = bench::OpenSqlite(dbPath, true);
  XDSHANDLE connection = 0;
  bench::Check(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &connection), "connect");
  const char* names[] = {"tem", "type", "urlin", "urls"};
  for (int i = 0; i < 4; ++i) {
    CopyTable(db, connection, catalogue::CatalogueTables()[i], names[i]);
  }
  bench::Check(XdsDisconnect(connection), "disconnect");
  t = Now();
  bench::CheckSql(sqlite3_exec(db, "REINDEX", nullptr, nullptr, nullptr), db, "reindex");
  Span sqliteReindex = Seconds(t);
  Report("SQLite REINDEX, same rows and indexes", sqliteReindex);
  std::printf("  reindex ratio (SQLite / engine, wall): %.2fx\n", sqliteReindex.wall / reindex.wall);
  sqlite3_close(db);
  std::filesystem::remove(dbPath);
  return 0;
}
