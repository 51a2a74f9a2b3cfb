#include "current_dir.h"

#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <vector>

#include "exception.h"

namespace platform {

std::string GetCurrentDirectory() {
  std::vector<char> buf(256);
  while (getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE || buf.size() > (1u << 20)) {
      throw Exception("Unable to get the current directory");
    }
    buf.resize(buf.size() * 2);
  }
  return std::string(buf.data());
}

std::string ExecutableDirectory() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || !exe.has_parent_path()) {
    return "";
  }
  std::string dir = exe.parent_path().string();
  if (dir.back() != '/') {
    dir += '/';
  }
  return dir;
}

}  // namespace platform
