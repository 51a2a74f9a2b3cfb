#include "current_dir.h"

#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

namespace platform {

std::string GetCurrentDirectory() {
  std::vector<char> buf(256);
  while (getcwd(buf.data(), buf.size()) == nullptr) {
    if (errno != ERANGE || buf.size() > (1u << 20)) {
      throw std::runtime_error("Unable to get the current directory");
    }
    buf.resize(buf.size() * 2);
  }
  return std::string(buf.data());
}

}  // namespace platform
