// Opening a document or address with the program the desktop associates with
// it, in place of the first platform's shell call.
#pragma once

#include <string>

namespace platform {

// Result of a launch the desktop accepted; every failure is 32 or less.
constexpr int kShellOk = 42;
// The opener program is missing, or the target it was given does not exist.
constexpr int kShellFileNotFound = 2;
// The start directory does not exist or cannot be entered.
constexpr int kShellPathNotFound = 3;
// No program is associated with the target, or the opener failed otherwise.
constexpr int kShellNoAssociation = 31;

// A launch under way. `fd` is the read end of a pipe on which the opener's
// result arrives, as soon as the opener has exited, for ReadShellResult; -1
// when `result` is final already (the launch could not even begin).
struct ShellLaunch {
  int result = kShellOk;
  int fd = -1;
};

// Hands `target`, text in the program's character set, to the desktop's
// opener (xdg-open) as its one argument, in UTF-8: no shell ever sees the
// text, so blanks, quotes and semicolons reach the opener unchanged. The
// opener starts in `directory` (a path as the system spells it, like
// ExecutableDirectory's); an empty one leaves it in the current directory.
// Returns at once: the opener runs on its own, and outlives the program if
// it must; nothing is left for the caller to reap. The caller owns `fd` and
// closes it, with ReadShellResult or CloseShellLaunch.
[[nodiscard]] ShellLaunch StartShellExecute(const std::string& target,
                                            const std::string& directory = "");

// The result of a launch whose pipe is readable (waits until it is) and the
// pipe closed: kShellOk, kShellFileNotFound, kShellPathNotFound or
// kShellNoAssociation.
[[nodiscard]] int ReadShellResult(int fd);
// Lets go of a launch whose result is no longer wanted.
void CloseShellLaunch(int fd);

// StartShellExecute waiting a short while for the opener's verdict; an
// opener still running after that is taken as a launched program and left
// to run on its own. Returns as ReadShellResult does.
int ShellExecute(const std::string& target, const std::string& directory = "");

// Points ShellExecute at another opener program (a name looked up in PATH or
// a path); an empty name restores xdg-open. For tests.
void SetShellOpenerForTesting(const std::string& program);

}  // namespace platform
