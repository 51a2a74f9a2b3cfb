// Importing a browser's bookmark file through the program's "Сервис" menu
// against tavo-bookmarks on the same file and the same catalogue, in the
// same run: into an empty catalogue and into one of N URL records (default
// 1,000,000). The program's time runs from the menu command to its summary
// window, so it includes letting go of the tables and opening them again.
//   service_bench [N] [SEED]
// SEED keeps the catalogue of N URL records for the next run.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "Unit1.h"
#include "bench_util.h"
#include "bookmark_bench_file.h"
#include "catalogue/demo_catalogue.h"
#include "catalogue/schema.h"
#include "exception_handler.h"
#include "service_windows.h"

extern char** environ;

namespace fs = std::filesystem;
using bench::Now;
using bench::Seconds;
using bench::Span;

namespace {

// Every file of a folder on the disk: a user's catalogue is there before an
// import starts, so writing it back is not the import's to pay for.
void SyncFolder(const std::string& dir) {
  for (const auto& e : fs::directory_iterator(dir)) {
    int fd = ::open(e.path().c_str(), O_RDONLY);
    if (fd < 0 || ::fsync(fd) != 0) {
      std::fprintf(stderr, "service_bench: cannot sync %s\n", e.path().c_str());
      std::exit(1);
    }
    ::close(fd);
  }
}

// A copy of the seed catalogue (or an empty catalogue), on the disk before
// the import starts.
void PrepareCatalogue(const std::string& seed, const std::string& dir) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  if (seed.empty()) {
    XDSHANDLE c = 0;
    bench::Check(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), "connect");
    bench::Check(catalogue::CreateCatalogue(c), "create catalogue");
    bench::Check(XdsDisconnect(c), "disconnect");
  } else {
    for (const auto& e : fs::directory_iterator(seed)) {
      fs::copy_file(e.path(), dir + "/" + e.path().filename().string());
    }
  }
  SyncFolder(dir);
}

// tavo-bookmarks import FILE DIR as its own process: wall time, and the
// child's CPU time.
Span CommandLineImport(const std::string& file, const std::string& dir) {
  std::string program = TAVO_BOOKMARKS_PATH;
  std::string command = "import";
  char* argv[] = {program.data(), command.data(), const_cast<char*>(file.c_str()),
                  const_cast<char*>(dir.c_str()), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  Span start = Now();
  pid_t pid = 0;
  if (posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ) != 0) {
    std::fprintf(stderr, "service_bench: cannot run %s\n", program.c_str());
    std::exit(1);
  }
  posix_spawn_file_actions_destroy(&actions);
  int status = 0;
  rusage usage{};
  if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "service_bench: tavo-bookmarks failed\n");
    std::exit(1);
  }
  Span took = Seconds(start);
  took.cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
             static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
  return took;
}

// The same import through the main window's menu, up to its summary window.
Span ProgramImport(const std::string& file, const std::string& dir) {
  if (chdir(dir.c_str()) != 0) {
    std::perror("service_bench: chdir");
    std::exit(1);
  }
  auto form = std::make_unique<TForm1>();
  if (!form->HDSUrls->Active()) {
    std::fprintf(stderr, "service_bench: start-up failed\n");
    std::exit(1);
  }
  // Start-up rebuilt the indexes.
  SyncFolder(dir);
  ChooseFileToOpen = [file](QWidget*, const QString&, const QString&) {
    return QString::fromStdString(file);
  };
  Span start{};
  Span took{};
  QTimer watch;
  QObject::connect(&watch, &QTimer::timeout, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    if (auto* summary = qobject_cast<TImportSummaryForm*>(modal)) {
      took = Seconds(start);
      summary->accept();
    } else if (qobject_cast<QMessageBox*>(modal) != nullptr) {
      std::fprintf(stderr, "service_bench: %s\n",
                   qobject_cast<QMessageBox*>(modal)->text().toUtf8().constData());
      std::exit(1);
    }
  });
  watch.start(1);
  start = Now();
  form->actionImportBookmarks->trigger();
  watch.stop();
  if (took.wall == 0) {
    std::fprintf(stderr, "service_bench: no summary was shown\n");
    std::exit(1);
  }
  form->hide();
  form.reset();
  (void)chdir("/");
  return took;
}

void RunCase(const char* title, const std::string& root, const std::string& file,
             const std::string& seed) {
  std::printf("%s\n", title);
  // Each side twice, taking turns, so that neither gains from the other's
  // warm cache alone; the better run of each counts.
  Span cli{1e9, 1e9};
  Span app{1e9, 1e9};
  for (int round = 0; round < 2; ++round) {
    PrepareCatalogue(seed, root + "/cli");
    Span c = CommandLineImport(file, root + "/cli");
    PrepareCatalogue(seed, root + "/app");
    Span a = ProgramImport(file, root + "/app");
    cli = {std::min(cli.wall, c.wall), std::min(cli.cpu, c.cpu)};
    app = {std::min(app.wall, a.wall), std::min(app.cpu, a.cpu)};
  }
  bench::ReportSeconds("tavo-bookmarks import (process)", cli);
  bench::ReportSeconds("program: menu command to summary", app);
  std::printf("  program / tavo-bookmarks: %.2fx wall, %.2fx cpu\n", app.wall / cli.wall,
              app.cpu / cli.cpu);
}

}  // namespace

int main(int argc, char** argv) {
  bench::gProgram = "service_bench";
  const uint32_t urls =
      argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1000000;
  qputenv("QT_QPA_PLATFORM", "offscreen");
  ui::TApplication app(argc, argv);
  const std::string root =
      (fs::temp_directory_path() / ("service_bench." + std::to_string(getpid()))).string();
  fs::create_directories(root);
  const std::string file = root + "/bookmarks.html";
  std::ofstream(file, std::ios::binary) << bench::MakeBookmarkFile();
  std::printf("bookmark file: %ju bytes, %d links in %d folders\n",
              static_cast<uintmax_t>(fs::file_size(file)), bench::kBookmarkLinks,
              bench::kBookmarkFolders);

  RunCase("into an empty catalogue", root, file, "");
  const std::string seed = argc > 2 ? argv[2] : root + "/seed";
  if (!fs::exists(seed)) {
    std::printf("(making a catalogue of %u URL records)\n", urls);
    bench::Check(catalogue::WriteDemoCatalogue(seed, urls), "demo catalogue");
  }
  char title[80];
  std::snprintf(title, sizeof title, "into a catalogue of %u URL records", urls);
  RunCase(title, root, file, seed);
  fs::remove_all(root);
  return 0;
}
