// The hand-written bookmark files of the tests, shaped as each browser
// writes them.
#pragma once

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace bookmarks_test {

inline std::filesystem::path DataDir() {
  return std::filesystem::path(TAVO_SOURCE_DIR) / "tools" / "bookmarks" / "tests" / "data";
}

inline std::string ReadData(const std::string& name) {
  std::ifstream in(DataDir() / name, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace bookmarks_test
