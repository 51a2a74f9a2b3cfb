// A process killed during a reindex: the next open rolls the reindex forward
// from its journal, as it does a pack, and leaves no temporary file behind.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "cdx/table_index.h"
#include "dying_file_system.h"
#include "table.h"
#include "test_util.h"

namespace xcetest {
namespace {

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
      DyingFileSystem fs(point, xce::kReindexSuffix);
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
