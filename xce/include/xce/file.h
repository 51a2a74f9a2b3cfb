// The one file interface every engine file access goes through, so tests can
// run the engine over files that fail after N writes or N bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "xce/status.h"

namespace xce {

enum class OpenMode {
  kReadOnly,   // existing file, reads only
  kReadWrite,  // existing file
  kCreate,     // new file, or an existing one truncated to 0
};

enum class LockKind { kShared, kExclusive };

class File {
 public:
  virtual ~File() = default;

  // Reads up to n bytes at offset; *got tells how many (short only at end of file).
  virtual Status ReadAt(uint64_t offset, void* buf, std::size_t n, std::size_t* got) = 0;
  // Writes all n bytes at offset or fails.
  virtual Status WriteAt(uint64_t offset, const void* buf, std::size_t n) = 0;
  virtual Status Size(uint64_t* size) = 0;
  virtual Status Truncate(uint64_t size) = 0;
  virtual Status Sync() = 0;

  // Whole-file lock held between processes for as long as the lock is held;
  // never waits: a conflicting lock fails at once.
  virtual Status LockFile(LockKind kind) = 0;
  virtual Status UnlockFile() = 0;
  // Byte-range lock for record locks between processes; never waits.
  virtual Status LockRange(uint64_t offset, uint64_t length) = 0;
  virtual Status UnlockRange(uint64_t offset, uint64_t length) = 0;

  virtual const std::string& path() const = 0;

  // Serves later reads from a shared read-only memory map of the file instead
  // of a system call each. Only for opens where no other process can shrink
  // the file (an exclusive lock is held): a mapped page past the end of the
  // file faults. Writes through WriteAt stay visible to mapped reads. Returns
  // false when the file cannot be mapped; reads then go to the file as before.
  virtual bool EnableMappedReads() { return false; }
  // A hint that [offset, offset + n) will be read soon; files without mapped
  // reads ignore it.
  virtual void Prefetch(uint64_t offset, std::size_t n) {
    (void)offset;
    (void)n;
  }
  // A hint after a one-time scan: [offset, offset + n) will not be read again
  // soon, so its mapped pages leave this process's memory (the system keeps
  // them cached). Files without mapped reads ignore it.
  virtual void ReleaseMapped(uint64_t offset, uint64_t n) {
    (void)offset;
    (void)n;
  }
  // A hint for a file about to be replaced: [offset, offset + n) will not be
  // read again, so its pages leave this process's memory and the system's
  // cache too (pages not yet written out stay). Their memory is free for the
  // replacement's pages as they are written, and dropping the old file later
  // has little left to do. Files that keep no cache ignore it.
  virtual void ForgetCached(uint64_t offset, uint64_t n) {
    (void)offset;
    (void)n;
  }
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The real file system.
  static FileSystem* Default();

  virtual Status Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* out) = 0;
  // A scratch file in `dir` that no other program sees and that is gone once
  // closed, even after a crash: unnamed where the file system allows it,
  // otherwise given a name of its own that is removed at once (what this
  // default does through Open and Remove).
  virtual Status OpenTemporary(const std::string& dir, std::unique_ptr<File>* out);
  // Atomically replaces `to` with `from` (rename within one directory).
  virtual Status Rename(const std::string& from, const std::string& to) = 0;
  virtual Status Remove(const std::string& path) = 0;
  virtual bool Exists(const std::string& path) = 0;
  virtual Status ListDir(const std::string& dir, std::vector<std::string>* names) = 0;
  // Makes a completed rename durable.
  virtual Status SyncDir(const std::string& dir) = 0;
};

}  // namespace xce
