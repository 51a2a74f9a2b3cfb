#include "fault_file.h"

namespace xce {
namespace {

Status Injected(const std::string& what, const std::string& path) {
  return Status(kErrIo, "Cannot " + what + " " + path + ": injected failure");
}

class FaultFile : public File {
 public:
  FaultFile(FaultInjectingFileSystem* fs, std::unique_ptr<File> base)
      : fs_(fs), base_(std::move(base)) {}

  Status ReadAt(uint64_t offset, void* buf, std::size_t n, std::size_t* got) override {
    fs_->CountRead();
    return base_->ReadAt(offset, buf, n, got);
  }
  Status WriteAt(uint64_t offset, const void* buf, std::size_t n) override {
    if (!fs_->AllowWrite()) {
      return Injected("write", path());
    }
    std::size_t allowed = fs_->AllowBytes(n);
    if (allowed < n) {
      if (allowed > 0) {
        (void)base_->WriteAt(offset, buf, allowed);  // a torn write: the failure is injected below
      }
      return Injected("write", path());
    }
    return base_->WriteAt(offset, buf, n);
  }
  Status Size(uint64_t* size) override { return base_->Size(size); }
  Status Truncate(uint64_t size) override {
    if (!fs_->AllowWrite()) {
      return Injected("truncate", path());
    }
    return base_->Truncate(size);
  }
  Status Sync() override { return base_->Sync(); }
  Status LockFile(LockKind kind) override { return base_->LockFile(kind); }
  Status UnlockFile() override { return base_->UnlockFile(); }
  Status LockRange(uint64_t offset, uint64_t length) override {
    return base_->LockRange(offset, length);
  }
  Status UnlockRange(uint64_t offset, uint64_t length) override {
    return base_->UnlockRange(offset, length);
  }
  const std::string& path() const override { return base_->path(); }

 private:
  FaultInjectingFileSystem* fs_;
  std::unique_ptr<File> base_;
};

}  // namespace

bool FaultInjectingFileSystem::AllowWrite() {
  std::lock_guard<std::mutex> lock(mu_);
  ++writes_;
  if (failAt_ == 0) {
    return true;
  }
  return once_ ? writes_ != failAt_ : writes_ < failAt_;
}

std::size_t FaultInjectingFileSystem::AllowBytes(std::size_t n) {
  std::lock_guard<std::mutex> lock(mu_);
  uint64_t left = bytes_ >= byteLimit_ ? 0 : byteLimit_ - bytes_;
  std::size_t allowed = left < n ? static_cast<std::size_t>(left) : n;
  bytes_ += allowed;
  return allowed;
}

Status FaultInjectingFileSystem::Open(const std::string& path, OpenMode mode,
                                      std::unique_ptr<File>* out) {
  if (mode == OpenMode::kCreate && !AllowWrite()) {
    return Injected("create", path);
  }
  std::unique_ptr<File> base;
  XCE_RETURN_IF_ERROR(base_->Open(path, mode, &base));
  *out = std::make_unique<FaultFile>(this, std::move(base));
  return Status::Ok();
}

Status FaultInjectingFileSystem::OpenTemporary(const std::string& dir,
                                               std::unique_ptr<File>* out) {
  {
    std::lock_guard<std::mutex> lock(mu_);
    scratchDirs_.push_back(dir);
  }
  if (!AllowWrite()) {
    return Injected("create a scratch file in", dir);
  }
  std::unique_ptr<File> base;
  XCE_RETURN_IF_ERROR(base_->OpenTemporary(dir, &base));
  *out = std::make_unique<FaultFile>(this, std::move(base));
  return Status::Ok();
}

Status FaultInjectingFileSystem::Rename(const std::string& from, const std::string& to) {
  if (!AllowWrite()) {
    return Injected("rename", from);
  }
  return base_->Rename(from, to);
}

Status FaultInjectingFileSystem::Remove(const std::string& path) {
  if (!AllowWrite()) {
    return Injected("remove", path);
  }
  return base_->Remove(path);
}

}  // namespace xce
