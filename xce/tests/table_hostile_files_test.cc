// Files that are not what a table's name promises: a FIFO or a device under
// a table's or memo's name, and a pack journal that names other files.
#include <sys/stat.h>

#include "test_util.h"

namespace xcetest {
namespace {

void MakeTable(const TempDir& dir) {
  ApiTable t(dir.str());
  ASSERT_EQ(t.Create("t.dbf", {{"ID", 'N', 4, 0}, {"DESCR", 'M', 0, 0}}), 0);
  ASSERT_EQ(t.Open("t.dbf"), 0);
  ASSERT_EQ(t.Append({"1", "memo"}), 0);
}

TEST(HostileFiles, FifoUnderATableOrMemoNameFailsAtOnce) {
  for (const char* name : {"t.dbf", "t.fpt"}) {
    TempDir dir;
    MakeTable(dir);
    fs::remove(dir / name);
    ASSERT_EQ(::mkfifo((dir / name).c_str(), 0600), 0);
    ApiTable t(dir.str());
    for (uint32_t options : {XDS_OPEN_READONLY, XDS_OPEN_EXCLUSIVE}) {
      EXPECT_NE(t.Open("t.dbf", options), 0) << name;  // not a hang
      EXPECT_NE(LastError().find(name), std::string::npos) << LastError();
    }
  }
}

TEST(HostileFiles, PackJournalNamingOtherFilesIsNotFollowed) {
  TempDir dir;
  MakeTable(dir);
  WriteBytes(dir / "victim.txt", "keep me");
  WriteBytes(dir / "t.dbf.rebuild.tmp", "not a table");
  const std::string victim = (dir / "victim.txt").string();
  const std::string journal = "xce-swap 1\n" + victim + "\t" + (dir / "moved.txt").string() + "\n" +
                              (dir / "t.dbf.rebuild.tmp").string() + "\t" + victim + "\nend\n";
  const std::string table = ReadBytes(dir / "t.dbf");
  for (bool complete : {true, false}) {
    WriteBytes(dir / "t.dbf.swap", complete ? journal : journal.substr(0, journal.size() - 4));
    ApiTable t(dir.str());
    EXPECT_EQ(t.Open("t.dbf"), 0) << LastError();
    EXPECT_EQ(t.Field(2), "memo");
    t.Close();
    EXPECT_EQ(ReadBytes(dir / "victim.txt"), "keep me");
    EXPECT_FALSE(fs::exists(dir / "moved.txt"));
    EXPECT_EQ(ReadBytes(dir / "t.dbf"), table);
    EXPECT_FALSE(fs::exists(dir / "t.dbf.swap"));
  }
}

}  // namespace
}  // namespace xcetest
