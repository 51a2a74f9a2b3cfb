// Tables written by other software dump exactly as their reference CSVs.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "csv_dump.h"

namespace fs = std::filesystem;

namespace {

std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

fs::path Fixtures() { return fs::path(TAVO_FIXTURES_DIR); }

class FixtureDump : public ::testing::TestWithParam<std::string> {};

TEST_P(FixtureDump, MatchesRecnoCsv) {
  fs::path table = Fixtures() / GetParam();
  if (!fs::exists(table)) {
    GTEST_SKIP() << "fixtures not found at " << Fixtures();
  }
  std::string stem = table.stem().string();
  std::string expected = ReadFile(table.parent_path() / (stem + ".RECNO.csv"));
  XDSHANDLE c = 0;
  XDSHANDLE t = 0;
  ASSERT_EQ(XdsConnect60(table.parent_path().c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), 0);
  ASSERT_EQ(XdsOpenTable(c, table.filename().c_str(), nullptr, XDS_TABLE_CDX, XDS_CHAR_ANSI, 1, 1,
                         XDS_OPEN_READONLY, &t),
            0)
      << xcetool::LastErrorText();
  std::ostringstream out;
  ASSERT_EQ(xcetool::DumpCsv(t, out), 0) << xcetool::LastErrorText();
  std::string got = out.str();
  if (got != expected) {
    std::istringstream a(got), b(expected);
    std::string la, lb;
    int line = 1;
    while (std::getline(a, la) && std::getline(b, lb) && la == lb) {
      ++line;
    }
    FAIL() << GetParam() << " differs at line " << line << "\n got: " << la.substr(0, 300)
           << "\nwant: " << lb.substr(0, 300);
  }
  EXPECT_EQ(XdsCloseTable(t), 0);
  EXPECT_EQ(XdsDisconnect(c), 0);
}

INSTANTIATE_TEST_SUITE_P(Sets, FixtureDump,
                         ::testing::Values("catalogue/TEM.dbf", "catalogue/TYPE.DBF",
                                           "catalogue/URLIN.DBF", "catalogue/urls.DBF",
                                           "types/ALLTYPES.DBF", "big/BIG.DBF"));

}  // namespace
