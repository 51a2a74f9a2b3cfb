// The real file system: POSIX files whose locks belong to the open file
// description, so two opens of one file conflict even inside one process.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>

#include "xce/file.h"

namespace xce {
namespace {

Status ErrnoStatus(const std::string& what, const std::string& path, int err) {
  return Status(kErrIo, what + " " + path + ": " + std::strerror(err));
}

class PosixFile : public File {
 public:
  PosixFile(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
  ~PosixFile() override {
    Unmap();
    ::close(fd_);
  }

  Status ReadAt(uint64_t offset, void* buf, std::size_t n, std::size_t* got) override {
    if (mapped_ && ReadMapped(offset, buf, n, got)) {
      return Status::Ok();
    }
    std::size_t done = 0;
    auto* p = static_cast<char*>(buf);
    while (done < n) {
      ssize_t r = ::pread(fd_, p + done, n - done, static_cast<off_t>(offset + done));
      if (r < 0) {
        if (errno == EINTR) {
          continue;
        }
        return ErrnoStatus("Cannot read", path_, errno);
      }
      if (r == 0) {
        break;
      }
      done += static_cast<std::size_t>(r);
    }
    *got = done;
    return Status::Ok();
  }

  Status WriteAt(uint64_t offset, const void* buf, std::size_t n) override {
    std::size_t done = 0;
    const auto* p = static_cast<const char*>(buf);
    while (done < n) {
      ssize_t r = ::pwrite(fd_, p + done, n - done, static_cast<off_t>(offset + done));
      if (r < 0) {
        if (errno == EINTR) {
          continue;
        }
        return ErrnoStatus("Cannot write", path_, errno);
      }
      done += static_cast<std::size_t>(r);
    }
    if (mapped_ && offset + n > fileSize_) {
      fileSize_ = offset + n;
    }
    return Status::Ok();
  }

  Status Size(uint64_t* size) override {
    struct stat st;
    if (::fstat(fd_, &st) != 0) {
      return ErrnoStatus("Cannot stat", path_, errno);
    }
    *size = static_cast<uint64_t>(st.st_size);
    return Status::Ok();
  }

  Status Truncate(uint64_t size) override {
    if (mapped_) {
      // Pages past the new end must not be read through the map; the next
      // mapped read maps the file afresh.
      Unmap();
    }
    if (::ftruncate(fd_, static_cast<off_t>(size)) != 0) {
      int err = errno;
      UpdateMappedSize();
      return ErrnoStatus("Cannot truncate", path_, err);
    }
    if (mapped_) {
      fileSize_ = size;
    }
    return Status::Ok();
  }

  Status Sync() override {
    if (::fdatasync(fd_) != 0) {
      return ErrnoStatus("Cannot sync", path_, errno);
    }
    return Status::Ok();
  }

  // The whole-file lock is a flock: it belongs to this open (so a second open
  // in the same process conflicts too) and, unlike a write lock on a byte
  // range, it can be taken exclusively on a file opened for reading only.
  Status LockFile(LockKind kind) override {
    int op = (kind == LockKind::kExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    while (::flock(fd_, op) != 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == EWOULDBLOCK) {
        return Status(kErrLocked, "File " + path_ + " is in use by another program");
      }
      return ErrnoStatus("Cannot lock", path_, errno);
    }
    return Status::Ok();
  }
  Status UnlockFile() override {
    if (::flock(fd_, LOCK_UN) != 0) {
      return ErrnoStatus("Cannot unlock", path_, errno);
    }
    return Status::Ok();
  }
  Status LockRange(uint64_t offset, uint64_t length) override {
    return SetLock(F_WRLCK, static_cast<off_t>(offset), static_cast<off_t>(length),
                   "has a record locked by another user");
  }
  Status UnlockRange(uint64_t offset, uint64_t length) override {
    return SetLock(F_UNLCK, static_cast<off_t>(offset), static_cast<off_t>(length), "");
  }

  const std::string& path() const override { return path_; }

  bool EnableMappedReads() override {
    if (!mapped_) {
      mapped_ = true;
      UpdateMappedSize();
    }
    return true;
  }

  void ReleaseMapped(uint64_t offset, uint64_t n) override {
    // Whole pages inside the range only: the pages at its ends may hold
    // bytes that are still wanted.
    const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    const uint64_t first = (offset + page - 1) / page * page;
    const uint64_t end = (offset >= mapLen_ || n >= mapLen_ - offset ? mapLen_ : offset + n) / page * page;
    if (map_ != nullptr && n > 0 && end > first) {
      ::madvise(const_cast<char*>(map_) + first, static_cast<std::size_t>(end - first),
                MADV_DONTNEED);
    }
  }

  void ForgetCached(uint64_t offset, uint64_t n) override {
    ReleaseMapped(offset, n);  // mapped pages are not dropped from the cache
    const uint64_t page = static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
    const uint64_t first = (offset + page - 1) / page * page;
    const uint64_t end = n >= UINT64_MAX - offset ? UINT64_MAX : (offset + n) / page * page;
    if (n > 0 && end > first) {
      // Length 0 reaches to the end of the file.
      const off_t length = end == UINT64_MAX ? 0 : static_cast<off_t>(end - first);
      (void)::posix_fadvise(fd_, static_cast<off_t>(first), length, POSIX_FADV_DONTNEED);
    }
  }

  void Prefetch(uint64_t offset, std::size_t n) override {
    // Only within what is mapped already: a hint never remaps.
    if (map_ != nullptr && n > 0 && offset < fileSize_ && n <= fileSize_ - offset &&
        offset + n <= mapLen_) {
      __builtin_prefetch(map_ + offset);
      __builtin_prefetch(map_ + offset + n - 1);
    }
  }

 private:
  // Copies [offset, offset + n) from the map when it lies within both the file
  // and the mapped window, mapping a larger window when the file has grown.
  bool ReadMapped(uint64_t offset, void* buf, std::size_t n, std::size_t* got) {
    if (n == 0) {
      *got = 0;  // an empty read may come with no buffer at all
      return true;
    }
    uint64_t end = offset + n;
    if (end < offset || end > fileSize_) {
      return false;  // reads at or past the end go to the file and report short counts
    }
    if (end > mapLen_ && !Remap()) {
      return false;
    }
    std::memcpy(buf, map_ + offset, n);
    *got = n;
    return true;
  }

  // Maps room for growth so that appends do not remap on every read back.
  bool Remap() {
    Unmap();
    uint64_t want = fileSize_ + fileSize_ / 2 + (uint64_t{1} << 20);
    void* p = ::mmap(nullptr, static_cast<std::size_t>(want), PROT_READ, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) {
      return false;
    }
    map_ = static_cast<const char*>(p);
    mapLen_ = want;
    return true;
  }

  void Unmap() {
    if (map_ != nullptr) {
      ::munmap(const_cast<char*>(map_), static_cast<std::size_t>(mapLen_));
      map_ = nullptr;
      mapLen_ = 0;
    }
  }

  void UpdateMappedSize() {
    struct stat st;
    fileSize_ = ::fstat(fd_, &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
  }

  Status SetLock(short type, off_t offset, off_t length, const char* conflict) {
    struct flock fl;
    std::memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = offset;
    fl.l_len = length;
    if (::fcntl(fd_, F_OFD_SETLK, &fl) != 0) {
      if (errno == EAGAIN || errno == EACCES) {
        return Status(kErrLocked, "File " + path_ + " " + conflict);
      }
      return ErrnoStatus("Cannot lock", path_, errno);
    }
    return Status::Ok();
  }

  int fd_;
  std::string path_;
  bool mapped_ = false;  // reads may come from map_
  const char* map_ = nullptr;
  uint64_t mapLen_ = 0;    // bytes mapped, possibly past the end of the file
  uint64_t fileSize_ = 0;  // the file's size as this open has made it
};

class PosixFileSystem : public FileSystem {
 public:
  Status Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* out) override {
    // Without waiting: opening a FIFO for reading would block until a writer
    // came. Only regular files are taken.
    int flags = O_CLOEXEC | O_NONBLOCK;
    switch (mode) {
      case OpenMode::kReadOnly:
        flags |= O_RDONLY;
        break;
      case OpenMode::kReadWrite:
        flags |= O_RDWR;
        break;
      case OpenMode::kCreate:
        flags |= O_RDWR | O_CREAT | O_TRUNC;
        break;
    }
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
      int err = errno;
      if (err == ENOENT) {
        return Status(kErrTableNotFound, "File " + path + " does not exist");
      }
      return ErrnoStatus("Cannot open", path, err);
    }
    struct stat st;
    if (::fstat(fd, &st) != 0) {
      int err = errno;
      ::close(fd);
      return ErrnoStatus("Cannot stat", path, err);
    }
    if (!S_ISREG(st.st_mode)) {
      ::close(fd);
      return Status(
          kErrIo, "Cannot open " + path +
                      (S_ISDIR(st.st_mode) ? ": it is a directory" : ": it is not a regular file"));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    *out = std::make_unique<PosixFile>(fd, path);
    return Status::Ok();
  }

  Status OpenTemporary(const std::string& dir, std::unique_ptr<File>* out) override {
    const std::string where = dir.empty() ? "." : dir;
    int fd = ::open(where.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    std::string path = where + "/(scratch file)";
    if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
      // A file system without unnamed files: a unique name, removed at once.
      std::string name = where + "/xce-scratch-XXXXXX";
      fd = ::mkostemp(name.data(), O_CLOEXEC);
      if (fd >= 0) {
        ::unlink(name.c_str());
        path = name;
      }
    }
    if (fd < 0) {
      return ErrnoStatus("Cannot create a scratch file in", where, errno);
    }
    *out = std::make_unique<PosixFile>(fd, path);
    return Status::Ok();
  }

  Status Rename(const std::string& from, const std::string& to) override {
    if (::rename(from.c_str(), to.c_str()) != 0) {
      return ErrnoStatus("Cannot rename " + from + " to", to, errno);
    }
    return Status::Ok();
  }

  Status Remove(const std::string& path) override {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      return ErrnoStatus("Cannot remove", path, errno);
    }
    return Status::Ok();
  }

  bool Exists(const std::string& path) override {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
  }

  Status ListDir(const std::string& dir, std::vector<std::string>* names) override {
    names->clear();
    DIR* d = ::opendir(dir.empty() ? "." : dir.c_str());
    if (d == nullptr) {
      return ErrnoStatus("Cannot list directory", dir, errno);
    }
    while (struct dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) {
        names->emplace_back(e->d_name);
      }
    }
    ::closedir(d);
    return Status::Ok();
  }

  Status SyncDir(const std::string& dir) override {
    int fd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
      return ErrnoStatus("Cannot open directory", dir, errno);
    }
    int rc = ::fsync(fd);
    int err = errno;
    ::close(fd);
    if (rc != 0) {
      return ErrnoStatus("Cannot sync directory", dir, err);
    }
    return Status::Ok();
  }
};

}  // namespace

Status FileSystem::OpenTemporary(const std::string& dir, std::unique_ptr<File>* out) {
  static std::atomic<uint64_t> counter{0};
  const std::string where = dir.empty() ? "." : dir;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string path = where + "/xce-scratch-" + std::to_string(::getpid()) + "-" +
                             std::to_string(counter++) + ".tmp";
    if (Exists(path)) {
      continue;
    }
    XCE_RETURN_IF_ERROR(Open(path, OpenMode::kCreate, out));
    Status s = Remove(path);  // the open file outlives its name
    if (!s.ok()) {
      out->reset();
      (void)Remove(path);
    }
    return s;
  }
  return Status(kErrIo, "Cannot create a scratch file in " + where + ": every name is taken");
}

FileSystem* FileSystem::Default() {
  static PosixFileSystem fs;
  return &fs;
}

}  // namespace xce
