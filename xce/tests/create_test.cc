// Creating a table or its index never overwrites a file that is there, and a
// failed create leaves nothing behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "fault_file.h"
#include "table.h"
#include "test_util.h"

namespace xcetest {
namespace {

std::set<std::string> Names(const fs::path& dir) {
  std::set<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    out.insert(e.path().filename().string());
  }
  return out;
}

const std::vector<XDSFIELDDEF> kMemoTable = {{"NAME", 'C', 10, 0}, {"NOTES", 'M', 10, 0}};

TEST(CreateTable, RefusesWhenTableMemoOrIndexExistsInAnyCase) {
  struct Case {
    const char* create;
    const char* present;
    std::vector<XDSFIELDDEF> fields;
  } cases[] = {
      {"t.dbf", "T.DBF", kMemoTable},
      {"t.dbf", "T.FPT", kMemoTable},  // was truncated to an empty memo file
      {"T.DBF", "t.fpt", kMemoTable},
      {"t.dbf", "t.CDX", {{"NAME", 'C', 10, 0}}},
      {"t.dbf", "T.fpt", {{"NAME", 'C', 10, 0}}},  // a memo the new table would take over
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.create) + " over " + c.present);
    TempDir dir;
    const std::string precious = "somebody's data";
    WriteBytes(dir / c.present, precious);
    ApiTable t(dir.str());
    EXPECT_NE(t.Create(c.create, c.fields), 0);
    EXPECT_EQ(LastCode(), XDS_ERR_EXISTS);
    EXPECT_NE(LastError().find(c.present), std::string::npos) << LastError();
    EXPECT_EQ(ReadBytes(dir / c.present), precious);
    EXPECT_EQ(Names(dir.path()), std::set<std::string>{c.present});
  }
}

TEST(CreateTable, CreatesTableAndMemoOnlyAndOpens) {
  TempDir dir;
  ApiTable t(dir.str());
  ASSERT_EQ(t.Create("t.dbf", kMemoTable), 0) << LastError();
  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"t.dbf", "t.fpt"}));
  ASSERT_EQ(t.Open("t.dbf"), 0) << LastError();
}

// A failure at any write leaves either the complete table or no file of it;
// with a transient failure the temporary files are cleaned up too.
TEST(CreateTable, FailureAtAnyWriteLeavesNothingBehind) {
  TempDir dir;
  std::vector<xce::FieldSpec> fields = {{"NAME", 'C', 10, 0}, {"NOTES", 'M', 10, 0}};
  xce::FaultInjectingFileSystem probe(xce::FileSystem::Default());
  ASSERT_TRUE(xce::Table::Create(&probe, (dir / "p.dbf").string(), fields, false).ok());
  const uint64_t writes = probe.writes();
  ASSERT_GT(writes, 2u);
  for (uint64_t n = 1; n <= writes; ++n) {
    SCOPED_TRACE("write " + std::to_string(n));
    TempDir d;
    xce::FaultInjectingFileSystem fs(xce::FileSystem::Default());
    fs.FailAtWrite(n, /*once=*/true);
    xce::Status s = xce::Table::Create(&fs, (d / "t.dbf").string(), fields, false);
    if (s.ok()) {
      EXPECT_EQ(Names(d.path()), (std::set<std::string>{"t.dbf", "t.fpt"}));
    } else {
      EXPECT_EQ(Names(d.path()), std::set<std::string>{});
    }
  }
}

TEST(CreateIndex, RefusesToReplaceAnIndexFileTheTableDoesNotAnnounce) {
  TempDir dir;
  ApiTable t(dir.str());
  ASSERT_EQ(t.Create("t.dbf", {{"NAME", 'C', 10, 0}}), 0) << LastError();
  ASSERT_EQ(t.Open("t.dbf"), 0) << LastError();
  // Another program's file appears while the table is open without an index.
  const std::string stray = "an index of another table";
  WriteBytes(dir / "T.CDX", stray);
  EXPECT_NE(XdsCreateIndexTag(t.table(), "NAME", "NAME", nullptr, 0, 0), 0);
  EXPECT_EQ(LastCode(), XDS_ERR_EXISTS);
  EXPECT_NE(LastError().find("T.CDX"), std::string::npos) << LastError();
  EXPECT_EQ(ReadBytes(dir / "T.CDX"), stray);
  ASSERT_EQ(t.Close(), 0);
  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"t.dbf", "T.CDX"}));
}

}  // namespace
}  // namespace xcetest
