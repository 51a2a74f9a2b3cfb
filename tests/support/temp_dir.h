// A fresh folder for one test under the system's temporary folder, removed
// with everything in it when the object goes.
#pragma once

#include <filesystem>
#include <string>

namespace testsupport {

class TempDir {
 public:
  // `prefix` starts the folder's name, so a folder left by a killed test
  // says whose it was.
  explicit TempDir(const std::string& prefix = "tavotest");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  // The path of `name` inside the folder.
  std::string str(const std::string& name) const { return (path_ / name).string(); }
  std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

}  // namespace testsupport
