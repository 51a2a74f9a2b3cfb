// A process killed during a reindex: the next open rolls the reindex forward
// from its journal, as it does a pack, and leaves no temporary file behind.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cdx/table_index.h"
#include "table.h"
#include "test_util.h"

namespace xcetest {
namespace {

bool EndsWith(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// The real file system, except that the process dies at one point of a
// reindex's commit, as a crash or a kill would end it.
class DyingFileSystem : public xce::FileSystem {
 public:
  enum Point { kBeforeRename, kBeforeJournalRemoved };
  explicit DyingFileSystem(Point point) : point_(point) {}
  xce::Status Open(const std::string& path, xce::OpenMode mode,
                   std::unique_ptr<xce::File>* out) override {
    return base_->Open(path, mode, out);
  }
  xce::Status Rename(const std::string& from, const std::string& to) override {
    if (point_ == kBeforeRename && EndsWith(from, xce::kReindexSuffix)) {
      raise(SIGKILL);
    }
    return base_->Rename(from, to);
  }
  xce::Status Remove(const std::string& path) override {
    if (point_ == kBeforeJournalRemoved && EndsWith(path, xce::kSwapSuffix)) {
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
};

TEST(ReindexCrash, KilledReindexIsRolledForwardOnTheNextOpen) {
  for (auto point : {DyingFileSystem::kBeforeRename, DyingFileSystem::kBeforeJournalRemoved}) {
    SCOPED_TRACE(point == DyingFileSystem::kBeforeRename ? "killed before the rename"
                                                         : "killed before the journal went");
    TempDir dir;
    {
      ApiTable t(dir.str());
      ASSERT_EQ(t.Create("r.dbf", {{"NAME", 'C', 10, 0}}), 0);
      ASSERT_EQ(t.Open("r.dbf"), 0);
      for (int i = 0; i < 500; ++i) {
        ASSERT_EQ(t.Append({"n" + std::to_string((i * 37) % 500)}), 0);
      }
      ASSERT_EQ(XdsCreateIndexTag(t.table(), "NAME", "NAME", "", 0, 1), 0) << LastError();
    }
    const std::string table = (dir / "r.dbf").string();
    pid_t pid = fork();
    if (pid == 0) {
      DyingFileSystem fs(point);
      xce::OpenOptions options;
      options.exclusive = true;
      std::shared_ptr<xce::Table> t;
      std::shared_ptr<xce::cdx::TableIndexes> indexes;
      if (!xce::Table::Open(&fs, table, options, &t).ok() ||
          !xce::cdx::TableIndexes::Attach(t, 0, &indexes).ok() || indexes == nullptr) {
        _exit(2);
      }
      (void)indexes->Reindex();
      _exit(3);  // not reached: the commit kills the process
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    ASSERT_TRUE(fs::exists(dir / "r.dbf.swap"));
    const bool renamed = point == DyingFileSystem::kBeforeJournalRemoved;
    ASSERT_EQ(fs::exists(dir / "r.cdx.reindex.tmp"), !renamed);
    const std::string rebuilt =
        ReadBytes(dir / (renamed ? "r.cdx" : "r.cdx.reindex.tmp"));

    ApiTable t(dir.str());
    ASSERT_EQ(t.Open("r.dbf"), 0) << LastError();
    EXPECT_FALSE(fs::exists(dir / "r.dbf.swap"));
    EXPECT_FALSE(fs::exists(dir / "r.cdx.reindex.tmp"));
    EXPECT_EQ(ReadBytes(dir / "r.cdx"), rebuilt);
    XDSHANDLE index = 0;
    ASSERT_EQ(XdsGetIndexHandle(t.table(), "NAME", &index), 0);
    uint16_t found = 0;
    ASSERT_EQ(XdsSeek(index, "n499", 4, XDS_KEY_STRING, XDS_SEEK_HARD, &found), 0);
    EXPECT_EQ(found, 1);
    ASSERT_EQ(t.Close(), 0);
    std::vector<char> report(4096);
    uint32_t len = static_cast<uint32_t>(report.size());
    EXPECT_EQ(XdsCheckTable(t.connection(), "r.dbf", report.data(), &len), 0)
        << std::string(report.data(), len);
  }
}

}  // namespace
}  // namespace xcetest
