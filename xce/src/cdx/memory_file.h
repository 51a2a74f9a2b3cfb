// A File held in memory: index files read from a byte buffer (the fuzz
// target, the tests) and scratch indexes.
#pragma once

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "xce/file.h"

namespace xce::cdx {

class MemoryFile : public File {
 public:
  MemoryFile(std::string path, std::vector<uint8_t> bytes)
      : path_(std::move(path)), bytes_(std::make_shared<std::vector<uint8_t>>(std::move(bytes))) {}
  // Shares the bytes of another memory file, so a test can reopen what was written.
  MemoryFile(std::string path, std::shared_ptr<std::vector<uint8_t>> bytes)
      : path_(std::move(path)), bytes_(std::move(bytes)) {}

  Status ReadAt(uint64_t offset, void* buf, std::size_t n, std::size_t* got) override {
    *got = 0;
    if (offset < bytes_->size()) {
      *got = static_cast<std::size_t>(std::min<uint64_t>(n, bytes_->size() - offset));
      std::memcpy(buf, bytes_->data() + offset, *got);
    }
    return Status::Ok();
  }
  Status WriteAt(uint64_t offset, const void* buf, std::size_t n) override {
    if (bytes_->size() < offset + n) {
      bytes_->resize(offset + n);
    }
    std::memcpy(bytes_->data() + offset, buf, n);
    return Status::Ok();
  }
  Status Size(uint64_t* size) override {
    *size = bytes_->size();
    return Status::Ok();
  }
  Status Truncate(uint64_t size) override {
    bytes_->resize(size);
    return Status::Ok();
  }
  Status Sync() override { return Status::Ok(); }
  Status LockFile(LockKind) override { return Status::Ok(); }
  Status UnlockFile() override { return Status::Ok(); }
  Status LockRange(uint64_t, uint64_t) override { return Status::Ok(); }
  Status UnlockRange(uint64_t, uint64_t) override { return Status::Ok(); }
  const std::string& path() const override { return path_; }

  const std::shared_ptr<std::vector<uint8_t>>& bytes() const { return bytes_; }

 private:
  std::string path_;
  std::shared_ptr<std::vector<uint8_t>> bytes_;
};

}  // namespace xce::cdx
