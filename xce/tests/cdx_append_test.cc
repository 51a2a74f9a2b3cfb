// Appends to an indexed table reach the table file in the same call as their
// keys reach the index, so a process that dies between calls leaves both in
// agreement.
#include <sys/wait.h>
#include <unistd.h>

#include "test_util.h"

namespace xcetest {
namespace {

TEST(CdxAppend, ProcessDyingAfterAppendsLeavesTableAndIndexInAgreement) {
  TempDir dir;
  {
    ApiTable t(dir.str());
    ASSERT_EQ(t.Create("k.dbf", {{"ID", 'N', 4, 0}}), 0);
    ASSERT_EQ(t.Open("k.dbf"), 0);
    ASSERT_EQ(XdsCreateIndexTag(t.table(), "ID", "ID", "", 0, 0), 0) << LastError();
  }
  pid_t pid = fork();
  if (pid == 0) {
    ApiTable t(dir.str());
    if (t.Open("k.dbf") != 0) _exit(2);
    for (int i = 1; i <= 3; ++i) {
      if (t.Append({std::to_string(i)}) != 0) _exit(3);
    }
    _exit(0);  // no move, flush or close after the last append
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0);

  ApiTable t(dir.str());
  ASSERT_EQ(t.Open("k.dbf"), 0) << LastError();
  EXPECT_EQ(t.Count(), 3u);
  ASSERT_EQ(t.Append({"9"}), 0) << LastError();
  XDSHANDLE idx = 0;
  ASSERT_EQ(XdsGetIndexHandle(t.table(), "ID", &idx), 0);
  std::string seen;
  int visited = 0;
  for (XDSRESULT r = XdsGotoTop(idx); r == 0 && visited < 10; r = XdsSkip(idx, 1)) {
    if (t.Eof()) {
      break;
    }
    seen += t.Field(1, XDS_GET_TRIM) + "@" + std::to_string(t.Recno()) + " ";
    ++visited;
  }
  EXPECT_EQ(seen, "1@1 2@2 3@3 9@4 ");
  t.Close();
  std::vector<char> report(4096);
  uint32_t len = static_cast<uint32_t>(report.size());
  EXPECT_EQ(XdsCheckTable(t.connection(), "k.dbf", report.data(), &len), 0)
      << std::string(report.data(), len);
}

}  // namespace
}  // namespace xcetest
