// The real file system, except that the process dies at one point of a swap
// of new files for old ones (a reindex's or a pack's), as a crash or a kill
// would end it.
#pragma once

#include <signal.h>

#include <memory>
#include <string>
#include <vector>

#include "xce/file.h"
#include "table.h"

namespace xcetest {

class DyingFileSystem : public xce::FileSystem {
 public:
  enum Point { kBeforeRename, kBeforeJournalRemoved };
  // Dies before renaming a file whose name holds `tmpSuffix`, or before
  // removing the swap journal.
  DyingFileSystem(Point point, std::string tmpSuffix)
      : point_(point), tmpSuffix_(std::move(tmpSuffix)) {}
  xce::Status Open(const std::string& path, xce::OpenMode mode,
                   std::unique_ptr<xce::File>* out) override {
    return base_->Open(path, mode, out);
  }
  xce::Status Rename(const std::string& from, const std::string& to) override {
    if (point_ == kBeforeRename && from.find(tmpSuffix_) != std::string::npos) {
      raise(SIGKILL);
    }
    return base_->Rename(from, to);
  }
  xce::Status Remove(const std::string& path) override {
    if (point_ == kBeforeJournalRemoved && path.find(xce::kSwapSuffix) != std::string::npos) {
      raise(SIGKILL);
    }
    return base_->Remove(path);
  }
  bool Exists(const std::string& path) override { return base_->Exists(path); }
  xce::Status ListDir(const std::string& dir, std::vector<std::string>* names) override {
    return base_->ListDir(dir, names);
  }
  xce::Status SyncDir(const std::string& dir) override { return base_->SyncDir(dir); }

 private:
  xce::FileSystem* base_ = xce::FileSystem::Default();
  Point point_;
  std::string tmpSuffix_;
};

}  // namespace xcetest
