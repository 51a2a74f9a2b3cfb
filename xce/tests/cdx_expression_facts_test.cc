// What a tag's expressions read (the record number, the deletion flag) is
// known from their compiled form, however they are spelt.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "test_util.h"

namespace xcetest {
namespace {

std::vector<std::string> WalkTag(ApiTable& t, const char* tag) {
  XDSHANDLE index = 0;
  EXPECT_EQ(XdsGetIndexHandle(t.table(), tag, &index), 0) << LastError();
  std::vector<std::string> names;
  EXPECT_EQ(XdsGotoTop(index), 0);
  for (int guard = 0; guard < 100 && !t.Eof(); ++guard) {
    names.push_back(t.Field(1, XDS_GET_TRIM));
    SkipRecords(index, 1);
  }
  return names;
}

std::string Check(ApiTable& t, const char* table, XDSRESULT* r) {
  std::vector<char> report(1 << 16);
  uint32_t length = static_cast<uint32_t>(report.size());
  *r = XdsCheckTable(t.connection(), table, report.data(), &length);
  return std::string(report.data(), length);
}

// Abbreviated RECNO() and DELETED(): a pack renumbers the first tag's keys,
// and deleting a record takes it out of the second.
TEST(CdxExpressionFacts, AbbreviatedRecnoAndDeletedKeepTagsTrue) {
  TempDir dir;
  ApiTable t(dir.str());
  ASSERT_EQ(t.Create("f.dbf", {{"NAME", 'C', 10, 0}}), 0) << LastError();
  ASSERT_EQ(t.Open("f.dbf"), 0) << LastError();
  for (const char* name : {"a", "b", "c", "d", "e", "f"}) {
    ASSERT_EQ(t.Append({name}), 0) << LastError();
  }
  const XDSTAGDEF tags[] = {{"RN", "str( Recn(), 10 )", nullptr, 0, 1},
                            {"LIVE", "NAME", "!Dele()", 0, 0},
                            {"FLAG", "IIF(DELE(), 'X', ' ') + NAME", nullptr, 0, 0}};
  ASSERT_EQ(XdsCreateIndexTags(t.table(), 3, tags), 0) << LastError();
  for (uint32_t r : {2u, 4u}) {
    ASSERT_EQ(XdsGotoRecord(t.table(), r), 0);
    ASSERT_EQ(XdsDeleteRecord(t.table()), 0);
    ASSERT_EQ(XdsWriteRecord(t.table()), 0) << LastError();
  }
  EXPECT_EQ(WalkTag(t, "LIVE"), (std::vector<std::string>{"a", "c", "e", "f"}));
  EXPECT_EQ(WalkTag(t, "FLAG"), (std::vector<std::string>{"a", "c", "e", "f", "b", "d"}));
  ASSERT_EQ(t.Close(), 0);
  XDSRESULT r = 0;
  EXPECT_EQ(Check(t, "f.dbf", &r), "");
  EXPECT_EQ(r, 0);

  ASSERT_EQ(t.Open("f.dbf"), 0) << LastError();
  ASSERT_EQ(XdsPackTable(t.table()), 0) << LastError();
  EXPECT_EQ(WalkTag(t, "RN"), (std::vector<std::string>{"f", "e", "c", "a"}));
  EXPECT_EQ(WalkTag(t, "LIVE"), (std::vector<std::string>{"a", "c", "e", "f"}));
  ASSERT_EQ(t.Close(), 0);
  EXPECT_EQ(Check(t, "f.dbf", &r), "");
  EXPECT_EQ(r, 0);
}

}  // namespace
}  // namespace xcetest
