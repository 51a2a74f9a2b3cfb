// The search everywhere of the main window, headless (offscreen), on the
// search benches' catalogue (search_bench_data.h), against SQLite on the same
// records in the same run:
//   the time from the keystroke that completes a word to the first screen of
//   matches in the grid, and to the count of every match ("Найдено: N"),
//   median and worst of the runs, with the longest the window's thread went
//   without serving its events meanwhile;
//   SQLite's FTS5 with the trigram tokenizer (MATCH; a word under three
//   characters, which trigrams cannot answer, as LIKE on the same table) and
//   a plain LIKE scan of the table, each for the first screen (LIMIT) and
//   for the count;
//   start-up of the main window and the process's memory before and after.
// SQLite's LIKE folds the case of Latin letters only and neither peer takes
// "ё" as "е": their counts differ from the window's there, which the figures
// show beside each other.
//
//   search_all_bench [N] [DIR]
// DIR (default /tmp/tavo_search_bench_N) keeps the catalogue of N URL records
// (default 1000000), written when missing; every run works on a copy of it
// beside it.
#include <QApplication>
#include <QElapsedTimer>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "Unit1.h"
#include "bench_util.h"
#include "exception_handler.h"
#include "search_bench_data.h"

namespace {

namespace fs = std::filesystem;

constexpr int kRuns = 5;

void Fail(const std::string& what) {
  std::fprintf(stderr, "search_all_bench: %s\n", what.c_str());
  std::exit(1);
}

sqlite3_stmt* Prepare(sqlite3* db, const std::string& sql) {
  sqlite3_stmt* st = nullptr;
  bench::CheckSql(sqlite3_prepare_v2(db, sql.c_str(), -1, &st, nullptr), db, sql.c_str());
  return st;
}

void Exec(sqlite3* db, const char* sql) {
  bench::CheckSql(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql);
}

// Runs a statement to its end: the number of rows, or the first column of
// its one row when `counting`.
long Run(sqlite3* db, sqlite3_stmt* st) {
  long rows = 0;
  int rc = 0;
  while ((rc = sqlite3_step(st)) == SQLITE_ROW) {
    ++rows;
  }
  bench::CheckSql(rc, db, "query");
  sqlite3_reset(st);
  return rows;
}

long Count(sqlite3* db, sqlite3_stmt* st) {
  long count = 0;
  int rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) {
    count = sqlite3_column_int64(st, 0);
    rc = sqlite3_step(st);
  }
  bench::CheckSql(rc, db, "count");
  sqlite3_reset(st);
  return count;
}

std::vector<std::string> Words(const std::string& text) {
  std::vector<std::string> words;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(' ', at);
    end = end == std::string::npos ? text.size() : end;
    if (end > at) {
      words.push_back(text.substr(at, end - at));
    }
    at = end + 1;
  }
  return words;
}

std::size_t Characters(const std::string& utf8) {
  return static_cast<std::size_t>(
      std::count_if(utf8.begin(), utf8.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

// One peer's question for a search: the first screen (LIMIT), then the
// count, each the best of the runs.
struct PeerFigures {
  double screen = 1e9;
  double count = 1e9;
  long found = 0;
};

PeerFigures AskPeer(sqlite3* db, const std::string& where, const std::vector<std::string>& binds,
                    const char* table, int screenRows) {
  sqlite3_stmt* screen = Prepare(db, std::string("SELECT rowid FROM ") + table + " WHERE " + where +
                                         " ORDER BY rowid LIMIT " + std::to_string(screenRows));
  sqlite3_stmt* count =
      Prepare(db, std::string("SELECT count(*) FROM ") + table + " WHERE " + where);
  PeerFigures f;
  for (int run = 0; run < kRuns; ++run) {
    for (sqlite3_stmt* st : {screen, count}) {
      for (std::size_t i = 0; i < binds.size(); ++i) {
        sqlite3_bind_text(st, static_cast<int>(i + 1), binds[i].data(),
                          static_cast<int>(binds[i].size()), SQLITE_STATIC);
      }
    }
    bench::Span start = bench::Now();
    (void)Run(db, screen);
    f.screen = std::min(f.screen, bench::Seconds(start).wall);
    start = bench::Now();
    f.found = Count(db, count);
    f.count = std::min(f.count, bench::Seconds(start).wall);
  }
  sqlite3_finalize(screen);
  sqlite3_finalize(count);
  return f;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  bench::gProgram = "search_all_bench";
  const uint32_t n = argc > 1 ? static_cast<uint32_t>(std::stoul(argv[1])) : 1000000;
  const std::string pristine =
      argc > 2 ? argv[2] : "/tmp/tavo_search_bench_" + std::to_string(n);
  bench::EnsureSearchBenchCatalogue(pristine, n);
  const std::string dir = fs::absolute(pristine).string() + "-work";
  fs::remove_all(dir);
  fs::create_directories(dir);
  for (const auto& entry : fs::directory_iterator(pristine)) {
    if (entry.is_regular_file()) {
      fs::copy_file(entry.path(), fs::path(dir) / entry.path().filename());
    }
  }

  // SQLite's copy: a plain table and an FTS5 table with the trigram
  // tokenizer, both with the record number as rowid.
  std::vector<bench::SearchBenchRow> rows = bench::ReadSearchBenchRows(dir);
  std::size_t descrChars = 0;
  for (const bench::SearchBenchRow& r : rows) {
    descrChars += Characters(r.descr);
  }
  std::printf("%zu URL records, descriptions of %.0f characters on average\n", rows.size(),
              static_cast<double>(descrChars) / static_cast<double>(rows.size()));
  sqlite3* db = bench::OpenSqlite(dir + "/bench.sqlite", true);
  Exec(db, "CREATE TABLE urls(address TEXT, name TEXT, descr TEXT)");
  Exec(db,
       "CREATE VIRTUAL TABLE docs USING fts5(address, name, descr, tokenize='trigram')");
  const bench::Span load = bench::Now();
  Exec(db, "BEGIN");
  for (const char* table : {"urls", "docs"}) {
    sqlite3_stmt* st = Prepare(
        db, std::string("INSERT INTO ") + table + "(rowid, address, name, descr) VALUES(?,?,?,?)");
    for (const bench::SearchBenchRow& r : rows) {
      sqlite3_bind_int64(st, 1, r.recno);
      sqlite3_bind_text(st, 2, r.address.data(), static_cast<int>(r.address.size()),
                        SQLITE_STATIC);
      sqlite3_bind_text(st, 3, r.name.data(), static_cast<int>(r.name.size()), SQLITE_STATIC);
      sqlite3_bind_text(st, 4, r.descr.data(), static_cast<int>(r.descr.size()), SQLITE_STATIC);
      bench::CheckSql(sqlite3_step(st), db, "insert");
      sqlite3_reset(st);
    }
    sqlite3_finalize(st);
  }
  Exec(db, "COMMIT");
  bench::ReportSeconds("SQLite load (table and FTS5 trigram)", bench::Seconds(load));
  rows.clear();
  rows.shrink_to_fit();

  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  ui::TApplication app(argc, argv);
  fs::current_path(dir);
  bench::ResetPeakMemory();
  const double residentBefore = bench::ResidentMb();
  const bench::Span startUp = bench::Now();
  TForm1 form;  // start-up opens the catalogue of the current folder
  if (!form.HDSUrls->Active()) {
    Fail("start-up did not open the catalogue");
  }
  form.show();
  if (!QTest::qWaitForWindowExposed(&form)) {
    Fail("the main window was not shown");
  }
  bench::ReportSeconds("main window start-up, to shown", bench::Seconds(startUp));
  const double residentStarted = bench::ResidentMb();
  const int screenRows = std::max(form.DBGrid1->VisibleRowCount(), 1);
  std::printf("the grid shows %d rows; resident %.1f MB before start-up, %.1f MB after\n",
              screenRows, residentBefore, residentStarted);

  // The longest the window's thread goes without serving a timer.
  QElapsedTimer tick;
  qint64 longestPause = 0;
  QTimer beat;
  beat.setInterval(1);
  QObject::connect(&beat, &QTimer::timeout, [&] {
    longestPause = std::max(longestPause, tick.restart());
  });

  std::printf("%-18s %-12s %10s %10s %10s %8s | %10s %10s %9s | %10s %10s %9s\n", "search",
              "text", "screen med", "screen max", "count med", "pause", "fts5 scr", "fts5 cnt",
              "fts5 n", "like scr", "like cnt", "like n");
  double worstScreen = 0;
  std::vector<double> allScreens;
  for (const bench::BenchSearch& search : bench::SearchBenchSearches()) {
    const QString text = QString::fromUtf8(search.text);
    std::vector<double> screens;
    std::vector<double> counts;
    qint64 pause = 0;
    uint32_t found = 0;
    for (int run = 0; run < kRuns; ++run) {
      form.EditSearchAll->clear();
      form.HDSUrls->First();
      form.EditSearchAll->setText(text.left(text.size() - 1));
      QCoreApplication::processEvents();
      form.EditSearchAll->clear();  // the search before is dropped, not finished
      form.EditSearchAll->setText(text.left(text.size() - 1));
      QElapsedTimer clock;
      clock.start();
      longestPause = 0;
      tick.start();
      beat.start();
      form.EditSearchAll->insert(text.right(1));  // the keystroke
      while (!form.SearchAllShown()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
      }
      screens.push_back(static_cast<double>(clock.nsecsElapsed()) * 1e-9);
      while (!form.SearchAllDone()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
      }
      counts.push_back(static_cast<double>(clock.nsecsElapsed()) * 1e-9);
      beat.stop();
      pause = std::max(pause, longestPause);
      found = form.SearchAllCount();
    }
    // The peers: every word in one of the three columns.
    const std::vector<std::string> words = Words(search.text);
    std::string likeWhere;
    std::string ftsWhere;
    std::vector<std::string> likeBinds;
    std::vector<std::string> ftsBinds;
    bool shortWord = false;
    for (const std::string& w : words) {
      shortWord = shortWord || Characters(w) < 3;
    }
    std::string ftsMatch;
    for (std::size_t i = 0; i < words.size(); ++i) {
      const std::string p = "?" + std::to_string(i + 1);
      likeWhere += std::string(i == 0 ? "" : " AND ") + "(address LIKE " + p + " OR name LIKE " +
                   p + " OR descr LIKE " + p + ")";
      likeBinds.push_back("%" + words[i] + "%");
      ftsMatch += (i == 0 ? "\"" : " \"") + words[i] + "\"";
    }
    if (shortWord) {
      ftsWhere = likeWhere;
      ftsBinds = likeBinds;
    } else {
      ftsWhere = "docs MATCH ?1";
      ftsBinds = {ftsMatch};
    }
    const PeerFigures fts = AskPeer(db, ftsWhere, ftsBinds, "docs", screenRows);
    const PeerFigures like = AskPeer(db, likeWhere, likeBinds, "urls", screenRows);
    const double screenMedian = Median(screens);
    const double screenWorst = *std::max_element(screens.begin(), screens.end());
    worstScreen = std::max(worstScreen, screenWorst);
    allScreens.insert(allScreens.end(), screens.begin(), screens.end());
    std::printf(
        "%-18s %-12s %8.2fms %8.2fms %8.2fms %6lldms | %8.2fms %8.2fms %9ld | %8.2fms %8.2fms "
        "%9ld  window found %u\n",
        search.kind, search.text, screenMedian * 1e3, screenWorst * 1e3, Median(counts) * 1e3,
        static_cast<long long>(pause), fts.screen * 1e3, fts.count * 1e3, fts.found,
        like.screen * 1e3, like.count * 1e3, like.found, found);
    std::fflush(stdout);
  }
  std::printf("first screen over every search: median %.2f ms, worst %.2f ms\n",
              Median(allScreens) * 1e3, worstScreen * 1e3);
  std::printf("resident %.1f MB after the searches (%.1f MB more than after start-up), peak %.1f MB\n",
              bench::ResidentMb(), bench::ResidentMb() - residentStarted, bench::PeakMemoryMb());
  form.EditSearchAll->clear();
  sqlite3_close(db);
  return 0;
}
