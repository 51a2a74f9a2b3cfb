#include "child_process.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "temp_dir.h"

extern char** environ;

namespace testsupport {
namespace {

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) {
    out.push_back(s.data());
  }
  out.push_back(nullptr);
  return out;
}

void Redirect(posix_spawn_file_actions_t* actions, int fd, const std::string& file) {
  if (file.empty()) {
    posix_spawn_file_actions_addopen(actions, fd, "/dev/null", O_WRONLY, 0);
  } else {
    posix_spawn_file_actions_addopen(actions, fd, file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  }
}

std::string Slurp(const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

}  // namespace

pid_t StartChild(const std::vector<std::string>& argv, const ChildStreams& streams,
                 const std::vector<std::string>& extraEnv) {
  std::vector<std::string> args = argv;
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    env.emplace_back(*e);
  }
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> argp = Pointers(args);
  std::vector<char*> envp = Pointers(env);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  Redirect(&actions, 1, streams.out);
  if (!streams.err.empty() && streams.err == streams.out) {
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
  } else {
    Redirect(&actions, 2, streams.err);
  }
  pid_t pid = 0;
  const int rc = args.empty() ? -1
                              : posix_spawnp(&pid, args[0].c_str(), &actions, nullptr, argp.data(),
                                             envp.data());
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

int WaitChild(pid_t pid) {
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) {
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int RunChildWith(const std::vector<std::string>& argv, const ChildStreams& streams) {
  const pid_t pid = StartChild(argv, streams);
  return pid < 0 ? -1 : WaitChild(pid);
}

ChildRun RunChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
  TempDir io("child");
  const ChildStreams streams = {io.str("out"), io.str("err")};
  ChildRun run;
  const pid_t pid = StartChild(argv, streams, extraEnv);
  if (pid >= 0) {
    run.status = WaitChild(pid);
  }
  run.out = Slurp(streams.out);
  run.err = Slurp(streams.err);
  return run;
}

std::string Python() {
  return std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

}  // namespace testsupport
