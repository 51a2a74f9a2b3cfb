// Packing the catalogue's URL table (a memo and four tags, two on
// 100-character keys) with deleted records, against copying the table's
// three files and syncing them, and against SQLite's DELETE + VACUUM of the
// same rows, all in the same run:
//   - "2% spread": every 50th record deleted, the first near the top;
//   - "0.1% near the end": 1,000 records of the last 10,000 deleted (the
//     in-place move of the tail at its best).
// Each is timed as `xcetool pack urls.DBF` (a process of its own: wall
// time, CPU time and peak resident memory), optionally the same with an
// older xcetool for comparison, and as the program's close: the main window
// made on the catalogue in a process of its own, then timed from the close
// request to the end of that process.
// SQLite: the URL rows with one index per tag, exclusive locking, no
// journal, no syncs, its default cache; the same rows deleted, then VACUUM.
//
//   pack_bench [N] [DIR] [--before XCETOOL] [--runs R]
//     N = 1,000,000 URL records; DIR keeps the demo catalogue for the next
//     run (each run works on copies); R = 3 runs of each, medians shown.
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Unit1.h"
#include "bench_util.h"
#include "catalogue/demo_catalogue.h"
#include "catalogue/schema.h"
#include "exception_handler.h"

namespace {

namespace fs = std::filesystem;
using bench::Span;

const char* const kUrlFiles[] = {"urls.DBF", "urls.FPT", "urls.CDX"};

void Fail(const std::string& what) {
  std::fprintf(stderr, "pack_bench: %s\n", what.c_str());
  std::exit(1);
}

// Copies `from` to `to` through one buffer; with `sync` the copy is made
// durable before the call returns.
void CopyFile(const fs::path& from, const fs::path& to, bool sync) {
  const int in = ::open(from.c_str(), O_RDONLY);
  const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || out < 0) {
    Fail("cannot copy " + from.string());
  }
  std::vector<char> buf(1 << 20);
  for (;;) {
    const ssize_t n = ::read(in, buf.data(), buf.size());
    if (n < 0) {
      Fail("cannot read " + from.string());
    }
    if (n == 0) {
      break;
    }
    if (::write(out, buf.data(), static_cast<std::size_t>(n)) != n) {
      Fail("cannot write " + to.string());
    }
  }
  if (sync && ::fsync(out) != 0) {
    Fail("cannot sync " + to.string());
  }
  ::close(in);
  ::close(out);
}

// The record numbers a case deletes, ascending.
std::vector<uint32_t> Picked(bool spread, uint32_t count) {
  std::vector<uint32_t> out;
  if (spread) {
    for (uint32_t r = 25; r <= count; r += 50) {
      out.push_back(r);
    }
  } else {
    const uint32_t span = std::min<uint32_t>(10000, count);
    const uint32_t step = std::max<uint32_t>(span / 1000, 1);
    for (uint32_t r = count - span + 1; r <= count && out.size() < 1000; r += step) {
      out.push_back(r);
    }
  }
  return out;
}

// Marks records deleted straight in the DBF file: the tags do not read the
// deletion mark, so they stay true.
void MarkDeleted(const fs::path& dbf, const std::vector<uint32_t>& recnos) {
  const int fd = ::open(dbf.c_str(), O_RDWR);
  uint8_t h[12];
  if (fd < 0 || ::pread(fd, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) {
    Fail("cannot read " + dbf.string());
  }
  const uint64_t headerLength = h[8] | h[9] << 8;
  const uint64_t recordLength = h[10] | h[11] << 8;
  for (uint32_t r : recnos) {
    if (::pwrite(fd, "*", 1, static_cast<off_t>(headerLength + (r - 1) * recordLength)) != 1) {
      Fail("cannot mark " + dbf.string());
    }
  }
  ::fsync(fd);
  ::close(fd);
}

// A fresh copy of the catalogue in `work` with the case's records deleted;
// with `whole` every table, else the URL table's files.
void Prepare(const fs::path& base, const fs::path& work, bool whole,
             const std::vector<uint32_t>& deleted) {
  fs::remove_all(work);
  fs::create_directories(work);
  for (const auto& e : fs::directory_iterator(base)) {
    const std::string name = e.path().filename().string();
    if (whole || name.rfind("urls.", 0) == 0) {
      CopyFile(e.path(), work / name, false);
    }
  }
  MarkDeleted(work / "urls.DBF", deleted);
  ::sync();
}

// Each timed command writes about the URL table's size in new files. A
// virtual machine's host may take back memory the guest has left free for a
// few seconds, and the guest's first write to such memory then costs several
// times what a write to memory freed just before does (0.12 s against 0.8 to
// 1.0 s of system time for 370 MB here). So that the copy and the pack start
// alike, each is timed right after as many bytes of files were dropped: the
// URL files are copied into `copy` (unsynced) and removed.
void GiveBackMemory(const fs::path& work, const fs::path& copy) {
  fs::remove_all(copy);
  fs::create_directories(copy);
  for (const char* f : kUrlFiles) {
    CopyFile(work / f, copy / f, false);
  }
  fs::remove_all(copy);
  fs::create_directories(copy);
}

struct Run {
  Span time;
  double peakMb = 0;
};

// Runs a program to its end: wall time, CPU time of the process, peak
// resident memory.
Run RunProcess(const std::vector<std::string>& args, const char* libraryPath) {
  std::vector<char*> argv;
  for (const std::string& a : args) {
    argv.push_back(const_cast<char*>(a.c_str()));
  }
  argv.push_back(nullptr);
  const Span start = bench::Now();
  const pid_t pid = fork();
  if (pid == 0) {
    if (libraryPath != nullptr) {
      setenv("LD_LIBRARY_PATH", libraryPath, 1);
    }
    const int null = ::open("/dev/null", O_WRONLY);
    dup2(null, 1);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Run run;
  run.time.wall = bench::Seconds(start).wall;
  run.time.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  run.peakMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    Fail(args[0] + " failed");
  }
  return run;
}

// The program's close in a process of its own: this program again, which
// makes the main window on the catalogue, says so, and on a byte from its
// parent closes the window and ends. Timed from the byte to the end.
Run RunClose(const std::string& self, const fs::path& dir, const std::function<void()>& before) {
  int toChild[2];
  int fromChild[2];
  if (pipe(toChild) != 0 || pipe(fromChild) != 0) {
    Fail("pipe");
  }
  const pid_t pid = fork();
  if (pid == 0) {
    dup2(toChild[0], 0);
    dup2(fromChild[1], 3);
    ::close(toChild[1]);
    ::close(fromChild[0]);
    execl(self.c_str(), self.c_str(), "--close-child", dir.c_str(), nullptr);
    _exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  char ready = 0;
  if (::read(fromChild[0], &ready, 1) != 1 || ready != 'R') {
    Fail("the main window did not come up");
  }
  before();
  const Span start = bench::Now();
  if (::write(toChild[1], "C", 1) != 1) {
    Fail("cannot ask for the close");
  }
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  Run run;
  run.time.wall = bench::Seconds(start).wall;
  run.peakMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
  ::close(toChild[1]);
  ::close(fromChild[0]);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    Fail("the close failed");
  }
  return run;
}

int CloseChild(int argc, char** argv, const char* dir) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  if (chdir(dir) != 0) {
    return 1;
  }
  ui::TApplication app(argc, argv);
  auto form = std::make_unique<TForm1>();
  if (!form->HDSUrls->Active()) {
    return 1;
  }
  if (::write(3, "R", 1) != 1) {
    return 1;
  }
  char c = 0;
  if (::read(0, &c, 1) != 1) {
    return 1;
  }
  const bool closed = form->close();
  form.reset();
  return closed ? 0 : 1;
}

// The URL rows of the catalogue in SQLite with one index per tag.
void LoadSqlite(const fs::path& catalogue, const std::string& path) {
  sqlite3* db = bench::OpenSqlite(path, false);
  bench::CheckSql(sqlite3_exec(db,
                               "CREATE TABLE urls(url TEXT, name TEXT, descr TEXT, "
                               "adrestype TEXT, url_id INTEGER)",
                               nullptr, nullptr, nullptr),
                  db, "create");
  XDSHANDLE c = 0;
  bench::Check(XdsConnect60(catalogue.c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), "connect");
  XDSHANDLE t = 0;
  bench::Check(catalogue::OpenCatalogueTable(c, catalogue::CatalogueTables()[3], true, &t), "open");
  sqlite3_stmt* ins = nullptr;
  bench::CheckSql(sqlite3_prepare_v2(db, "INSERT INTO urls VALUES(?,?,?,?,?)", -1, &ins, nullptr),
                  db, "prepare");
  bench::CheckSql(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  std::vector<char> value(1 << 16);
  uint32_t count = 0;
  bench::Check(XdsGetRecordCount(t, XDS_COUNT_IGNORE_FILTERS, &count), "count");
  for (uint32_t r = 1; r <= count; ++r) {
    bench::Check(XdsGotoRecord(t, r), "goto");
    for (uint16_t f = 1; f <= 5; ++f) {
      uint32_t length = static_cast<uint32_t>(value.size());
      bench::Check(XdsGetField(t, f, value.data(), &length, XDS_GET_TRIM), "read");
      if (f == 5) {
        sqlite3_bind_int64(ins, f, std::atoll(value.data()));
      } else {
        sqlite3_bind_text(ins, f, value.data(), static_cast<int>(length), SQLITE_TRANSIENT);
      }
    }
    bench::CheckSql(sqlite3_step(ins), db, "insert");
    sqlite3_reset(ins);
  }
  bench::CheckSql(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  sqlite3_finalize(ins);
  bench::Check(XdsCloseTable(t), "close");
  bench::Check(XdsDisconnect(c), "disconnect");
  bench::CheckSql(sqlite3_exec(db,
                               "CREATE INDEX u_url ON urls(url); CREATE INDEX u_id ON urls(url_id);"
                               "CREATE INDEX u_name ON urls(name);"
                               "CREATE INDEX u_type ON urls(adrestype);",
                               nullptr, nullptr, nullptr),
                  db, "index");
  sqlite3_close(db);
}

// DELETE of the case's rows and VACUUM, on a copy of the loaded database.
Span SqliteDeleteVacuum(const std::string& loaded, const std::string& path,
                        const std::vector<uint32_t>& deleted, const std::function<void()>& before) {
  CopyFile(loaded, path, false);
  ::sync();
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
    Fail("cannot open " + path);
  }
  bench::CheckSql(sqlite3_exec(db,
                               "PRAGMA locking_mode=EXCLUSIVE; PRAGMA journal_mode=OFF;"
                               "PRAGMA synchronous=OFF;",
                               nullptr, nullptr, nullptr),
                  db, "set up");
  sqlite3_stmt* del = nullptr;
  bench::CheckSql(sqlite3_prepare_v2(db, "DELETE FROM urls WHERE rowid=?", -1, &del, nullptr), db,
                  "prepare");
  before();
  const Span start = bench::Now();
  bench::CheckSql(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
  for (uint32_t r : deleted) {
    sqlite3_bind_int64(del, 1, r);
    bench::CheckSql(sqlite3_step(del), db, "delete");
    sqlite3_reset(del);
  }
  bench::CheckSql(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
  bench::CheckSql(sqlite3_exec(db, "VACUUM", nullptr, nullptr, nullptr), db, "vacuum");
  const Span took = bench::Seconds(start);
  sqlite3_finalize(del);
  sqlite3_close(db);
  fs::remove(path);
  return took;
}

void Report(const char* what, const Run& run, bool memory) {
  std::printf("  %-40s %8.0f ms wall", what, run.time.wall * 1e3);
  if (run.time.cpu > 0) {  // the close's process has done more than the close
    std::printf(" %8.0f ms cpu", run.time.cpu * 1e3);
  } else {
    std::printf("        - ms cpu");
  }
  if (memory) {
    std::printf(" %6.0f MB peak", run.peakMb);
  }
  std::printf("\n");
}

double MedianOf(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t n = v.size();
  return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The median of each figure over the runs (a slow or a lucky run does not
// move it).
Run Median(const std::vector<Run>& runs) {
  std::vector<double> wall, cpu, peak;
  for (const Run& r : runs) {
    wall.push_back(r.time.wall);
    cpu.push_back(r.time.cpu);
    peak.push_back(r.peakMb);
  }
  Run m;
  m.time.wall = MedianOf(wall);
  m.time.cpu = MedianOf(cpu);
  m.peakMb = MedianOf(peak);
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  bench::gProgram = "pack_bench";
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // progress shows as it comes
  if (argc == 3 && std::string(argv[1]) == "--close-child") {
    return CloseChild(argc, argv, argv[2]);
  }
  uint32_t n = 1000000;
  fs::path dir;
  std::string before;
  int runs = 3;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--before" && i + 1 < argc) {
      before = argv[++i];
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (!a.empty() && a[0] >= '0' && a[0] <= '9' && dir.empty() && n == 1000000) {
      n = static_cast<uint32_t>(std::stoul(a));
    } else {
      dir = a;
    }
  }
  const bool keep = !dir.empty();
  if (!keep) {
    dir = fs::temp_directory_path() / ("pack_bench." + std::to_string(getpid()));
  }
  dir = fs::absolute(dir);
  const fs::path base = dir / "catalogue";
  const std::string self = fs::canonical("/proc/self/exe").string();
  const std::string xcetool =
      (fs::path(self).parent_path().parent_path() / "tools" / "xcetool").string();
  if (catalogue::CatalogueFilesIn(base.string()).empty()) {
    fs::create_directories(base);
    std::printf("writing a demo catalogue of %u URL records into %s\n", n, base.c_str());
    bench::Check(catalogue::WriteDemoCatalogue(base.string(), n), "demo catalogue");
  }
  uint64_t bytes = 0;
  for (const char* f : kUrlFiles) {
    bytes += fs::file_size(base / f);
  }
  uint32_t count = 0;
  {
    const int fd = ::open((base / "urls.DBF").c_str(), O_RDONLY);
    uint8_t h[8];
    if (fd < 0 || ::pread(fd, h, sizeof h, 0) != static_cast<ssize_t>(sizeof h)) {
      Fail("cannot read the URL table");
    }
    count = h[4] | h[5] << 8 | h[6] << 16 | static_cast<uint32_t>(h[7]) << 24;
    ::close(fd);
  }
  std::printf("URL table of %u records: urls.DBF, urls.FPT, urls.CDX, %.0f MB together\n", count,
              static_cast<double>(bytes) / (1 << 20));
  const std::string loaded = (dir / "urls.sqlite").string();
  std::printf("loading the URL rows into SQLite\n");
  LoadSqlite(base, loaded);
  const fs::path work = dir / "work";
  const fs::path copy = dir / "copy";
  std::string beforeLibs;
  if (!before.empty()) {
    before = fs::absolute(before).string();
    beforeLibs = (fs::path(before).parent_path()).string() + ":" +
                 (fs::path(before).parent_path().parent_path() / "xce").string();
  }
  for (bool spread : {true, false}) {
    const std::vector<uint32_t> deleted = Picked(spread, count);
    std::printf("\n%s: %zu records deleted, the first at %u\n",
                spread ? "2% spread" : "0.1% near the end", deleted.size(), deleted.front());
    std::vector<Run> copies, packs, olds, closes;
    std::vector<Span> sqlites;
    for (int r = 0; r < runs; ++r) {
      Prepare(base, work, false, deleted);
      GiveBackMemory(work, copy);
      Span start = bench::Now();
      for (const char* f : kUrlFiles) {
        CopyFile(work / f, copy / f, true);
      }
      Run c;
      c.time = bench::Seconds(start);
      copies.push_back(c);
      GiveBackMemory(work, copy);
      packs.push_back(RunProcess({xcetool, "pack", (work / "urls.DBF").string()}, nullptr));
      if (!before.empty()) {
        Prepare(base, work, false, deleted);
        GiveBackMemory(work, copy);
        olds.push_back(
            RunProcess({before, "pack", (work / "urls.DBF").string()}, beforeLibs.c_str()));
      }
      Prepare(base, work, true, deleted);
      closes.push_back(RunClose(self, work, [&] { GiveBackMemory(work, copy); }));
      sqlites.push_back(SqliteDeleteVacuum(loaded, (dir / "vacuum.sqlite").string(), deleted,
                                           [&] { GiveBackMemory(work, copy); }));
    }
    Report("copy the three files and sync them", Median(copies), false);
    Report("xcetool pack urls.DBF", Median(packs), true);
    if (!olds.empty()) {
      Report("xcetool pack urls.DBF, the older tool", Median(olds), true);
    }
    Report("the program's close (request to exit)", Median(closes), true);
    std::vector<Run> vacuums;
    for (const Span& v : sqlites) {
      vacuums.push_back(Run{v, 0});
    }
    Report("SQLite DELETE + VACUUM, same rows", Median(vacuums), false);
    // Ratios run by run: the copy and the pack of one run met the same load.
    std::vector<double> ratios;
    std::printf("  pack / copy, run by run:");
    for (std::size_t r = 0; r < packs.size(); ++r) {
      ratios.push_back(packs[r].time.wall / copies[r].time.wall);
      std::printf(" %.2fx", ratios.back());
    }
    std::printf("; median %.2fx (%d runs, every figure above a median)\n", MedianOf(ratios), runs);
  }
  fs::remove_all(work);
  fs::remove_all(copy);
  fs::remove(loaded);
  if (!keep) {
    fs::remove_all(dir);
  }
  return 0;
}
