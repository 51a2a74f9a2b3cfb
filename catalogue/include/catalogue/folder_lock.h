// One writer of a catalogue folder at a time among the bookmark import and
// export, the catalogue check and repair, and the program's start when it
// finishes their interrupted work: a lock on the folder itself.
#pragma once

#include <string>

namespace catalogue {

// Holds the folder until the object goes. ok() is false when another run
// holds it or the folder cannot be opened; error() then says which.
class FolderLock {
 public:
  explicit FolderLock(const std::string& dir);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
  std::string error_;
};

}  // namespace catalogue
