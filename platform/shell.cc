#include "shell.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "cp1251.h"

namespace platform {
namespace {

// How long the opener gets to say whether it could open the target. Desktop
// openers hand the target to a running service and return at once; one that
// is still running after this has started the program itself.
constexpr long kVerdictWaitMs = 2000;

std::string& Opener() {
  static std::string opener = "xdg-open";
  return opener;
}

// The result for an opener's exit status: xdg-open exits 1 for a target it
// cannot take as an argument, 2 for a missing file, 3 when no program for
// the target exists and 4 when the program failed.
int ResultOfExit(int status) {
  if (!WIFEXITED(status)) {
    return kShellNoAssociation;
  }
  switch (WEXITSTATUS(status)) {
    case 0:
      return kShellOk;
    case 1:
    case 2:
      return kShellFileNotFound;
    default:
      return kShellNoAssociation;
  }
}

// Runs in the watcher, a grandchild of the program that init adopts: starts
// the opener in a child of its own, waits for it to exit and writes the
// result to `out`. A program gone by then no longer reads it; the write then
// fails quietly. Only async-signal-safe calls from here on.
[[noreturn]] void Report(int out, int result) {
  ssize_t ignored = write(out, &result, sizeof result);
  (void)ignored;
  _exit(0);
}

[[noreturn]] void WatchOpener(char* const argv[], const char* directory, int out) {
  signal(SIGPIPE, SIG_IGN);
  // The watcher may outlive the program: it keeps none of the program's
  // files open (a table's lock would outlive the program with them).
  if (out > 3) {
    close_range(3, static_cast<unsigned>(out) - 1, 0);
  }
  close_range(static_cast<unsigned>(out) + 1, ~0U, 0);
  if (directory[0] != '\0' && chdir(directory) != 0) {
    Report(out, kShellPathNotFound);
  }
  int errPipe[2];
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    Report(out, kShellNoAssociation);
  }
  pid_t pid = fork();
  if (pid < 0) {
    Report(out, kShellNoAssociation);
  }
  if (pid == 0) {
    close(errPipe[0]);
    close(out);
    setsid();
    execvp(argv[0], argv);
    int err = errno;
    ssize_t ignored = write(errPipe[1], &err, sizeof err);
    (void)ignored;
    _exit(127);
  }
  close(errPipe[1]);
  int err = 0;
  ssize_t got;
  do {
    got = read(errPipe[0], &err, sizeof err);
  } while (got < 0 && errno == EINTR);
  close(errPipe[0]);
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  if (got == static_cast<ssize_t>(sizeof err)) {
    // The opener could not be started at all.
    Report(out, err == ENOENT || err == ENOTDIR || err == EACCES ? kShellFileNotFound
                                                            : kShellNoAssociation);
  }
  Report(out, r == pid ? ResultOfExit(status) : kShellNoAssociation);
}

}  // namespace

ShellLaunch StartShellExecute(const std::string& target, const std::string& directory) {
  // Everything the children need is made before fork: allocating after fork
  // in a threaded process is not safe.
  std::string program = Opener();
  // The program's text is Windows-1251; the desktop's programs take UTF-8.
  std::string arg = Cp1251ToUtf8(target);
  std::string dir = directory;
  std::vector<char*> argv = {program.data(), arg.data(), nullptr};
  int resultPipe[2];
  if (pipe2(resultPipe, O_CLOEXEC) != 0) {
    return {kShellNoAssociation, -1};
  }
  // The first child only starts the watcher and exits, so it is reaped at
  // once and the watcher passes to init.
  pid_t pid = fork();
  if (pid < 0) {
    close(resultPipe[0]);
    close(resultPipe[1]);
    return {kShellNoAssociation, -1};
  }
  if (pid == 0) {
    close(resultPipe[0]);
    pid_t watcher = fork();
    if (watcher == 0) {
      WatchOpener(argv.data(), dir.c_str(), resultPipe[1]);
    }
    _exit(watcher < 0 ? 1 : 0);
  }
  close(resultPipe[1]);
  int status = 0;
  pid_t r;
  do {
    r = waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  if (r != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    close(resultPipe[0]);
    return {kShellNoAssociation, -1};
  }
  return {kShellOk, resultPipe[0]};
}

int ReadShellResult(int fd) {
  int result = 0;
  ssize_t got;
  do {
    got = read(fd, &result, sizeof result);
  } while (got < 0 && errno == EINTR);
  close(fd);
  return got == static_cast<ssize_t>(sizeof result) ? result : kShellNoAssociation;
}

void CloseShellLaunch(int fd) { close(fd); }

int ShellExecute(const std::string& target, const std::string& directory) {
  ShellLaunch launch = StartShellExecute(target, directory);
  if (launch.fd < 0) {
    return launch.result;
  }
  pollfd ready{launch.fd, POLLIN, 0};
  int n;
  do {
    n = poll(&ready, 1, static_cast<int>(kVerdictWaitMs));
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    // Still running: a program the opener started itself.
    CloseShellLaunch(launch.fd);
    return kShellOk;
  }
  return ReadShellResult(launch.fd);
}

void SetShellOpenerForTesting(const std::string& program) {
  Opener() = program.empty() ? "xdg-open" : program;
}

}  // namespace platform
