// A file system double for tests: wraps another file system and fails writes
// on demand, the way a full disk or a crash would.
//
//   FaultInjectingFileSystem fs(FileSystem::Default());
//   fs.FailAtWrite(3);        // the 3rd write operation and every later one fail
//   fs.FailAfterBytes(1000);  // writes fail once 1000 bytes have been written;
//                             // the write that crosses the limit is cut short
//
// Write operations are WriteAt, Truncate, Rename and Remove; reads are never
// failed. The counters are shared by every file opened through the double.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "xce/file.h"

namespace xce {

class FaultInjectingFileSystem : public FileSystem {
 public:
  explicit FaultInjectingFileSystem(FileSystem* base) : base_(base) {}

  // 0 disables. With `once` only that single operation fails (a transient
  // error); otherwise it and all later ones fail (a crash at that point).
  void FailAtWrite(uint64_t n, bool once = false) {
    failAt_ = n;
    once_ = once;
  }
  void FailAfterBytes(uint64_t bytes) { byteLimit_ = bytes; }
  // Read operations (ReadAt) through every file opened by the double.
  uint64_t reads() const { return reads_; }
  void CountRead() { ++reads_; }
  void Reset() {
    failAt_ = 0;
    byteLimit_ = UINT64_MAX;
    writes_ = 0;
    bytes_ = 0;
  }
  uint64_t writes() const { return writes_; }
  // The folders scratch files were asked for in, in order.
  const std::vector<std::string>& scratch_dirs() const { return scratchDirs_; }
  uint64_t bytes() const { return bytes_; }

  // Counts one write operation; false when it must fail.
  bool AllowWrite();
  // How many of n bytes may still be written before the byte limit.
  std::size_t AllowBytes(std::size_t n);

  Status Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* out) override;
  // Counted as one write (the creation); the file's writes are counted too.
  Status OpenTemporary(const std::string& dir, std::unique_ptr<File>* out) override;
  Status Rename(const std::string& from, const std::string& to) override;
  Status Remove(const std::string& path) override;
  bool Exists(const std::string& path) override { return base_->Exists(path); }
  Status ListDir(const std::string& dir, std::vector<std::string>* names) override {
    return base_->ListDir(dir, names);
  }
  Status SyncDir(const std::string& dir) override { return base_->SyncDir(dir); }

 private:
  FileSystem* base_;
  // A table's files may be written from several threads at once (a pack
  // builds the index while the table is written): counting is serialised.
  std::mutex mu_;
  std::atomic<uint64_t> reads_{0};
  uint64_t failAt_ = 0;
  bool once_ = false;
  uint64_t byteLimit_ = UINT64_MAX;
  uint64_t writes_ = 0;
  uint64_t bytes_ = 0;
  std::vector<std::string> scratchDirs_;
};

}  // namespace xce
