// Tables written by other software dump in the order of each of their tags
// exactly as the tag's reference CSV, descending, unique and FOR tags included.
#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "csv_dump.h"
#include "fixture_table.h"

namespace fs = std::filesystem;

namespace {

using fixturetable::ReadFile;

class FixtureOrderDump : public ::testing::TestWithParam<std::string> {};

TEST_P(FixtureOrderDump, EveryTagMatchesItsCsv) {
  fs::path table = fs::path(TAVO_FIXTURES_DIR) / GetParam();
  if (!fs::exists(table)) {
    GTEST_SKIP() << "fixtures not found at " << TAVO_FIXTURES_DIR;
  }
  XDSHANDLE c = 0;
  XDSHANDLE t = 0;
  ASSERT_NO_FATAL_FAILURE(fixturetable::OpenReadOnly(table, &c, &t));
  XDSHANDLE tags[50];
  uint16_t count = 50;
  ASSERT_EQ(XdsGetAllIndexes(t, &count, tags), 0) << xcetool::LastErrorText();
  ASSERT_GT(count, 0);
  for (uint16_t i = 0; i < count; ++i) {
    char name[32];
    uint16_t length = sizeof name;
    ASSERT_EQ(XdsGetIndexName(tags[i], name, &length), 0);
    std::string tag(name, length);
    std::ostringstream out;
    ASSERT_EQ(xcetool::DumpCsv(t, out, tags[i]), 0) << xcetool::LastErrorText();
    EXPECT_EQ(out.str(),
              ReadFile(table.parent_path() / (table.stem().string() + "." + tag + ".csv")))
        << GetParam() << " tag " << tag;
  }
  EXPECT_EQ(XdsCloseTable(t), 0);
  EXPECT_EQ(XdsDisconnect(c), 0);
}

INSTANTIATE_TEST_SUITE_P(Sets, FixtureOrderDump, ::testing::ValuesIn(fixturetable::kTables));

}  // namespace
