// Child processes for tests: a program started with its arguments as they
// are (no shell), its output in files, its exit status.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// Where a child's output goes: a file, made or emptied, or nowhere when the
// name is empty. `err` equal to `out` sends both into the one file.
struct ChildStreams {
  std::string out;
  std::string err;
};

// Starts `argv[0]` (looked up in PATH when it has no "/") with `argv`, with
// this process's environment plus the "NAME=value" entries of `extraEnv`.
// The child's pid, or -1 when it could not be started.
pid_t StartChild(const std::vector<std::string>& argv, const ChildStreams& streams,
                 const std::vector<std::string>& extraEnv = {});

// Waits for the child: its exit status, or -1 when a signal ended it.
int WaitChild(pid_t pid);

// What a child that ran to its end left: its exit status (-1 when it could
// not be started or a signal ended it) and its two outputs.
struct ChildRun {
  int status = -1;
  std::string out;
  std::string err;
};

// Runs `argv` to its end with its outputs caught in a temporary folder.
ChildRun RunChild(const std::vector<std::string>& argv,
                  const std::vector<std::string>& extraEnv = {});

// Runs `argv` to its end with its outputs in `streams`: its exit status, or
// -1 when it could not be started or a signal ended it.
int RunChildWith(const std::vector<std::string>& argv, const ChildStreams& streams);

// Python 3, by its usual path when it is there, else as PATH finds it.
std::string Python();

}  // namespace testsupport
