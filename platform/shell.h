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

// Hands `target`, text in the program's character set, to the desktop's
// opener (xdg-open) as its one argument, in UTF-8: no shell ever sees the
// text, so blanks, quotes and semicolons reach the opener unchanged. Waits a short while for the
// opener's verdict; an opener still running after that is taken as a launched program and left to
// run on its own. The opener starts in `directory` (a path as the system
// spells it, like ExecutableDirectory's); an empty one leaves it in the current directory. Returns kShellOk,
// kShellFileNotFound, kShellPathNotFound or kShellNoAssociation.
int ShellExecute(const std::string& target, const std::string& directory = "");

// Points ShellExecute at another opener program (a name looked up in PATH or
// a path); an empty name restores xdg-open. For tests.
void SetShellOpenerForTesting(const std::string& program);

}  // namespace platform
