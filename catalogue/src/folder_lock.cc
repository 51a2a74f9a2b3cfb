#include "catalogue/folder_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace catalogue {

FolderLock::FolderLock(const std::string& dir) {
  fd_ = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd_ < 0) {
    error_ = "cannot open the folder " + dir + ": " + std::strerror(errno);
    return;
  }
  if (::flock(fd_, LOCK_EX | LOCK_NB) != 0) {
    error_ = "another import, export or catalogue repair is running in " + dir;
    return;
  }
  ok_ = true;
}

FolderLock::~FolderLock() {
  if (fd_ >= 0) {
    ::close(fd_);
  }
}

}  // namespace catalogue
