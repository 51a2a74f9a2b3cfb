#include "shell.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
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
constexpr long kPollMs = 10;

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

// Runs in the first child: starts the opener in a grandchild, waits for its
// verdict and exits with the result. A grandchild still running when the
// child exits passes to init, which reaps it, so no zombie is left behind.
// Only async-signal-safe calls from here on.
[[noreturn]] void RunOpener(char* const argv[], const char* directory) {
  if (directory[0] != '\0' && chdir(directory) != 0) {
    _exit(kShellPathNotFound);
  }
  int errPipe[2];
  if (pipe2(errPipe, O_CLOEXEC) != 0) {
    _exit(kShellNoAssociation);
  }
  pid_t pid = fork();
  if (pid < 0) {
    _exit(kShellNoAssociation);
  }
  if (pid == 0) {
    close(errPipe[0]);
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
  if (got == static_cast<ssize_t>(sizeof err)) {
    // The opener could not be started at all.
    int status;
    waitpid(pid, &status, 0);
    _exit(err == ENOENT || err == ENOTDIR || err == EACCES ? kShellFileNotFound
                                                           : kShellNoAssociation);
  }
  for (long waited = 0; waited < kVerdictWaitMs; waited += kPollMs) {
    int status;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
      _exit(ResultOfExit(status));
    }
    if (r < 0 && errno != EINTR) {
      _exit(kShellNoAssociation);
    }
    timespec ts{0, kPollMs * 1000000};
    nanosleep(&ts, nullptr);
  }
  _exit(kShellOk);
}

}  // namespace

int ShellExecute(const std::string& target, const std::string& directory) {
  // Everything the children need is made before fork: allocating after fork
  // in a threaded process is not safe.
  std::string program = Opener();
  // The program's text is Windows-1251; the desktop's programs take UTF-8.
  std::string arg = Cp1251ToUtf8(target);
  std::string dir = directory;
  std::vector<char*> argv = {program.data(), arg.data(), nullptr};
  pid_t pid = fork();
  if (pid < 0) {
    return kShellNoAssociation;
  }
  if (pid == 0) {
    RunOpener(argv.data(), dir.c_str());
  }
  int status;
  pid_t r;
  do {
    r = waitpid(pid, &status, 0);
  } while (r < 0 && errno == EINTR);
  if (r != pid || !WIFEXITED(status)) {
    return kShellNoAssociation;
  }
  return WEXITSTATUS(status);
}

void SetShellOpenerForTesting(const std::string& program) {
  Opener() = program.empty() ? "xdg-open" : program;
}

}  // namespace platform
