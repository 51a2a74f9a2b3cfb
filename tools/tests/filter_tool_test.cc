// xcetool dump and count with --filter, run as the program on the fixtures.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"

namespace fs = std::filesystem;

namespace {

// Runs xcetool with `args` (no shell); returns its exit status and stdout.
int RunTool(const std::vector<std::string>& args, std::string* out) {
  std::vector<std::string> argv = {XCETOOL_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  testsupport::ChildRun run = testsupport::RunChild(argv);
  *out += run.out;
  return run.status;
}

TEST(FilterTool, DumpAndCountSelectWhatTheFilterSays) {
  fs::path big = fs::path(TAVO_FIXTURES_DIR) / "big" / "BIG.DBF";
  if (!fs::exists(big)) {
    GTEST_SKIP() << "fixtures not found at " << TAVO_FIXTURES_DIR;
  }
  // The reference lines of live records in group 7 (recno;deleted;ID;NAME;GRP;D;NOTE).
  std::ifstream csv(big.parent_path() / "BIG.RECNO.csv");
  std::string line;
  std::string want;
  int wantCount = 0;
  while (std::getline(csv, line)) {
    std::vector<std::string> cols;
    std::stringstream ss(line);
    for (std::string c; std::getline(ss, c, ';');) {
      cols.push_back(c);
    }
    if (cols.size() > 4 && cols[1] != "*" && cols[4] == "7") {
      want += line + "\n";
      ++wantCount;
    }
  }
  ASSERT_GT(wantCount, 0);
  const std::string filter = "GRP = 7 .AND. !DELETED()";
  std::string out;
  ASSERT_EQ(RunTool({"dump", big.string(), "--filter", filter}, &out), 0);
  EXPECT_EQ(out, want);
  out.clear();
  ASSERT_EQ(RunTool({"count", big.string(), "--filter", filter}, &out), 0);
  EXPECT_EQ(out, std::to_string(wantCount) + "\n");
  out.clear();
  EXPECT_NE(RunTool({"count", big.string(), "--filter", "GRP ="}, &out), 0);
  EXPECT_EQ(out, "");
}

}  // namespace
