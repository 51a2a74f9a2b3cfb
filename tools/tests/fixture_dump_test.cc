// Tables written by other software dump exactly as their reference CSVs.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "csv_dump.h"
#include "fixture_table.h"

namespace fs = std::filesystem;

namespace {

using fixturetable::Fixtures;
using fixturetable::ReadFile;

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
  ASSERT_NO_FATAL_FAILURE(fixturetable::OpenReadOnly(table, &c, &t));
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

INSTANTIATE_TEST_SUITE_P(Sets, FixtureDump, ::testing::ValuesIn(fixturetable::kTables));

}  // namespace
