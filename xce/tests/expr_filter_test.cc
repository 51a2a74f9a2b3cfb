// Filters, optimized filters, the exact setting and Locate through the C API,
// on real tables in a temporary directory.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "temp_dir.h"
#include "xce.h"

namespace {

class FilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(XdsConnect60(dir_.c_str(), 1, "", "", 0, &conn_), 0);
  }
  void TearDown() override {
    EXPECT_EQ(XdsDisconnect(conn_), 0);
  }

  // A membership-like table: TEM_ID N(10), URL_ID N(10), NAME C(20), DESCR M.
  // Record i (1-based) has TEM_ID i % 3, URL_ID i and the given name.
  XDSHANDLE MakeTable(uint16_t charType, const std::vector<std::string>& names) {
    const XDSFIELDDEF defs[] = {
        {"TEM_ID", 'N', 10, 0}, {"URL_ID", 'N', 10, 0}, {"NAME", 'C', 20, 0}, {"DESCR", 'M', 0, 0}};
    EXPECT_EQ(XdsCreateTable(conn_, "t.dbf", charType, 4, defs), 0);
    XDSHANDLE t = 0;
    EXPECT_EQ(XdsOpenTable(conn_, "t.dbf", nullptr, 2, charType, 0, 1, 1, &t), 0);
    for (std::size_t i = 1; i <= names.size(); ++i) {
      Append(t, static_cast<int>(i % 3), static_cast<int>(i), names[i - 1]);
    }
    return t;
  }

  void Append(XDSHANDLE t, int tem, int url, const std::string& name,
              const std::string& memo = "") {
    ASSERT_EQ(XdsAppendRecord(t), 0);
    SetNumber(t, 1, tem);
    SetNumber(t, 2, url);
    ASSERT_EQ(XdsSetField(t, 3, name.data(), static_cast<uint32_t>(name.size())), 0);
    if (!memo.empty()) {
      ASSERT_EQ(XdsSetField(t, 4, memo.data(), static_cast<uint32_t>(memo.size())), 0);
    }
    ASSERT_EQ(XdsWriteRecord(t), 0);
  }

  static void SetNumber(XDSHANDLE t, uint16_t field, int v) {
    std::string s = std::to_string(v);
    ASSERT_EQ(XdsSetField(t, field, s.data(), static_cast<uint32_t>(s.size())), 0);
  }

  static uint32_t Recno(XDSHANDLE h) {
    uint32_t r = 0;
    EXPECT_EQ(XdsGetRecordNum(h, 1, &r), 0);
    return r;
  }

  // Record numbers met walking the whole table forward, then backward.
  static std::vector<uint32_t> Walk(XDSHANDLE h, bool forward) {
    std::vector<uint32_t> seen;
    XDSRESULT rc = forward ? XdsGotoTop(h) : XdsGotoBottom(h);
    for (int guard = 0; guard < 1000; ++guard) {
      uint16_t end = 0;
      EXPECT_EQ(forward ? XdsAtEOF(h, &end) : XdsAtBOF(h, &end), 0);
      if (end != 0 || (rc != 0 && rc != 5068)) {
        break;
      }
      seen.push_back(Recno(h));
      rc = XdsSkip(h, forward ? 1 : -1);
    }
    return seen;
  }

  static uint32_t Count(XDSHANDLE h, uint16_t option) {
    uint32_t n = 0;
    EXPECT_EQ(XdsGetRecordCount(h, option, &n), 0);
    return n;
  }

  static std::string LastError() {
    int32_t code = 0;
    char text[600];
    uint16_t len = sizeof text;
    XdsGetLastError(&code, text, &len);
    return text;
  }

  testsupport::TempDir tmp_{"xce_filter"};
  std::string dir_ = tmp_.str();
  XDSHANDLE conn_ = 0;
};

std::vector<std::string> Names(int n) {
  std::vector<std::string> v;
  for (int i = 1; i <= n; ++i) {
    v.push_back("name" + std::to_string(i));
  }
  return v;
}

// Both kinds of filter must give the same view, with deleted records hidden.
TEST_F(FilterTest, FiltersAndDeletedRecordsTogether) {
  for (bool optimized : {false, true}) {
    for (uint16_t option : {1, 2}) {
      XDSHANDLE t = MakeTable(1, Names(10));
      // Delete records 4 and 5 (TEM_ID 1 and 2).
      for (uint32_t r : {4u, 5u}) {
        ASSERT_EQ(XdsGotoRecord(t, r), 0);
        ASSERT_EQ(XdsDeleteRecord(t), 0);
        ASSERT_EQ(XdsWriteRecord(t), 0);
      }
      const char* expr = "(TEM_ID=1) OR (TEM_ID=2)";
      ASSERT_EQ(optimized ? XdsSetAOF(t, expr, option) : XdsSetFilter(t, expr), 0);
      EXPECT_EQ(Walk(t, true), (std::vector<uint32_t>{1, 2, 4, 5, 7, 8, 10}));
      EXPECT_EQ(Count(t, 1), 7u);
      EXPECT_EQ(Count(t, 2), 10u);

      ASSERT_EQ(XdsSetDeleted(t, 1), 0);
      EXPECT_EQ(Walk(t, true), (std::vector<uint32_t>{1, 2, 7, 8, 10}));
      EXPECT_EQ(Walk(t, false), (std::vector<uint32_t>{10, 8, 7, 2, 1}));
      EXPECT_EQ(Count(t, 1), 5u);

      uint16_t visible = 9;
      ASSERT_EQ(XdsGotoRecord(t, 3), 0);  // TEM_ID 0
      ASSERT_EQ(XdsIsRecordVisible(t, &visible), 0);
      EXPECT_EQ(visible, 0);
      ASSERT_EQ(XdsGotoRecord(t, 4), 0);  // deleted
      ASSERT_EQ(XdsIsRecordVisible(t, &visible), 0);
      EXPECT_EQ(visible, 0);
      ASSERT_EQ(XdsGotoRecord(t, 7), 0);
      ASSERT_EQ(XdsIsRecordVisible(t, &visible), 0);
      EXPECT_EQ(visible, 1);
      // Skipping from an invisible record lands on visible ones only.
      ASSERT_EQ(XdsGotoRecord(t, 3), 0);
      ASSERT_EQ(XdsSkip(t, 1), 0);
      EXPECT_EQ(Recno(t), 7u);

      ASSERT_EQ(optimized ? XdsClearAOF(t) : XdsClearFilter(t), 0);
      EXPECT_EQ(optimized ? XdsClearAOF(t) : XdsClearFilter(t), 5037);
      EXPECT_EQ(Count(t, 1), 8u);
      ASSERT_EQ(XdsCloseTable(t), 0);
      std::filesystem::remove(dir_ + "/t.dbf");
      std::filesystem::remove(dir_ + "/t.fpt");
    }
  }
}

TEST_F(FilterTest, CatalogueFiltersSelectTheRightRecords) {
  XDSHANDLE t = MakeTable(1, Names(9));
  const std::pair<const char*, std::vector<uint32_t>> cases[] = {
      {"not deleted()", {1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {"(TEM_ID=2) OR (TEM_ID=0)", {2, 3, 5, 6, 8, 9}},
      {"TEM_ID=1 and TEM_ID=2", {}},
      {"URL_ID=7", {7}},
      {"(empty(DESCR))", {1, 2, 3, 4, 5, 6, 7, 8, 9}},
      {"NAME=\"name1\"", {1}},  // exact on: name1 only
  };
  ASSERT_EQ(XdsSetExact22(t, 1), 0);
  for (const auto& [expr, want] : cases) {
    ASSERT_EQ(XdsSetAOF(t, expr, 2), 0) << expr;
    EXPECT_EQ(Walk(t, true), want) << expr;
    ASSERT_EQ(XdsSetFilter(t, expr), 0) << expr;
    ASSERT_EQ(XdsClearAOF(t), 0);
    EXPECT_EQ(Walk(t, true), want) << expr;
    ASSERT_EQ(XdsClearFilter(t), 0);
  }
  // The wildcard form NAME="name1*" reaches the engine as NAME="name1" with
  // exact comparison off, and then selects the names beginning with it.
  ASSERT_EQ(XdsSetExact22(t, 0), 0);
  ASSERT_EQ(XdsSetAOF(t, "NAME=\"name1\"", 1), 0);
  ASSERT_EQ(XdsAppendRecord(t), 0);
  ASSERT_EQ(XdsSetField(t, 3, "name12", 6), 0);
  ASSERT_EQ(XdsWriteRecord(t), 0);
  EXPECT_EQ(Walk(t, true), (std::vector<uint32_t>{1, 10}));
  // Turning exact comparison on changes what the same filter selects, also
  // for a filter that learnt part of its set under the old setting.
  ASSERT_EQ(XdsSetExact22(t, 1), 0);
  uint16_t exact = 0;
  ASSERT_EQ(XdsGetExact22(t, &exact), 0);
  EXPECT_EQ(exact, 1);
  EXPECT_EQ(Walk(t, true), (std::vector<uint32_t>{1}));
  ASSERT_EQ(XdsSetAOF(t, "NAME=\"name1\"", 2), 0);
  EXPECT_EQ(Walk(t, true), (std::vector<uint32_t>{1}));
  ASSERT_EQ(XdsSetExact22(t, 0), 0);
  EXPECT_EQ(Walk(t, false), (std::vector<uint32_t>{10, 1}));
}

TEST_F(FilterTest, OptimizedFilterStaysTrueAcrossAppendsWritesAndPack) {
  XDSHANDLE t = MakeTable(1, Names(6));
  ASSERT_EQ(XdsSetAOF(t, "TEM_ID = 1", 1), 0);
  EXPECT_EQ(Walk(t, true), (std::vector<uint32_t>{1, 4}));
  Append(t, 1, 7, "new");  // matches
  Append(t, 2, 8, "new");  // does not
  EXPECT_EQ(Walk(t, true), (std::vector<uint32_t>{1, 4, 7}));
  // Record 4 stops matching, record 2 starts to.
  ASSERT_EQ(XdsGotoRecord(t, 4), 0);
  SetNumber(t, 1, 0);
  ASSERT_EQ(XdsWriteRecord(t), 0);
  ASSERT_EQ(XdsGotoRecord(t, 2), 0);
  SetNumber(t, 1, 1);
  ASSERT_EQ(XdsWriteRecord(t), 0);
  EXPECT_EQ(Walk(t, true), (std::vector<uint32_t>{1, 2, 7}));
  EXPECT_EQ(Count(t, 1), 3u);
  // A change that is cancelled leaves the set as it was.
  ASSERT_EQ(XdsGotoRecord(t, 1), 0);
  SetNumber(t, 1, 2);
  ASSERT_EQ(XdsCancelUpdate(t), 0);
  EXPECT_EQ(Walk(t, true), (std::vector<uint32_t>{1, 2, 7}));
  // Pack renumbers: delete record 1, pack, and 2 and 7 become 1 and 6.
  ASSERT_EQ(XdsGotoRecord(t, 1), 0);
  ASSERT_EQ(XdsDeleteRecord(t), 0);
  ASSERT_EQ(XdsWriteRecord(t), 0);
  ASSERT_EQ(XdsPackTable(t), 0);
  EXPECT_EQ(Walk(t, true), (std::vector<uint32_t>{1, 6}));
}

TEST_F(FilterTest, GetAofReportsTextAndMissingBuffer) {
  XDSHANDLE t = MakeTable(1, Names(3));
  uint16_t len = 0;
  EXPECT_EQ(XdsGetAOF(t, nullptr, &len), 5037);
  ASSERT_EQ(XdsSetAOF(t, "URL_ID=12", 2), 0);
  len = 0;
  EXPECT_EQ(XdsGetAOF(t, nullptr, &len), 5005);
  EXPECT_EQ(len, 9);
  EXPECT_EQ(XdsGetAOF(t, nullptr, nullptr), 5005);
  char buf[9];
  len = sizeof buf;
  EXPECT_EQ(XdsGetAOF(t, buf, &len), 5005);  // no room for the NUL
  char big[64];
  len = sizeof big;
  ASSERT_EQ(XdsGetAOF(t, big, &len), 0);
  EXPECT_STREQ(big, "URL_ID=12");
  EXPECT_EQ(XdsSetAOF(t, "URL_ID=1", 3), 6005);
}

TEST_F(FilterTest, InvalidExpressionsFailWithText) {
  XDSHANDLE t = MakeTable(1, Names(3));
  const char* bad[] = {"TEM_ID=", "URL_ID", "NOSUCH=1", "UPPER(NAME"};
  for (const char* expr : bad) {
    EXPECT_EQ(XdsSetFilter(t, expr), XDS_ERR_EXPRESSION) << expr;
    EXPECT_NE(LastError().find(std::string("\"") + expr + "\""), std::string::npos) << LastError();
    EXPECT_EQ(XdsSetAOF(t, expr, 1), XDS_ERR_EXPRESSION) << expr;
    uint16_t found = 9;
    EXPECT_EQ(XdsLocate(t, expr, 1, &found), XDS_ERR_EXPRESSION) << expr;
    EXPECT_EQ(found, 0);
  }
  // A failed set leaves no filter behind.
  EXPECT_EQ(XdsClearFilter(t), 5037);
  EXPECT_EQ(XdsClearAOF(t), 5037);
  EXPECT_NE(XdsSetFilter(999999, "1=1"), 0);
}

TEST_F(FilterTest, LocateForwardBackwardFoundAndNotFound) {
  XDSHANDLE t = MakeTable(1, Names(9));
  uint16_t found = 0;
  uint16_t end = 0;
  ASSERT_EQ(XdsGotoTop(t), 0);
  // The current record counts: locating from record 1 finds record 1.
  ASSERT_EQ(XdsLocate(t, "TEM_ID=1", 1, &found), 0);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(Recno(t), 1u);
  ASSERT_EQ(XdsSkip(t, 1), 0);
  ASSERT_EQ(XdsLocate(t, "TEM_ID=1", 1, &found), 0);
  EXPECT_EQ(Recno(t), 4u);
  ASSERT_EQ(XdsLocate(t, "URL_ID<3", 0, &found), 0);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(Recno(t), 2u);
  // With a filter, records it hides are not found.
  ASSERT_EQ(XdsSetFilter(t, "TEM_ID<>1"), 0);
  ASSERT_EQ(XdsGotoTop(t), 0);
  ASSERT_EQ(XdsLocate(t, "URL_ID>=4", 1, &found), 0);
  EXPECT_EQ(Recno(t), 5u);
  // Not found forward ends at EOF, backward at BOF.
  ASSERT_EQ(XdsLocate(t, "URL_ID=7", 1, &found), 0);
  EXPECT_EQ(found, 0);
  ASSERT_EQ(XdsAtEOF(t, &end), 0);
  EXPECT_EQ(end, 1);
  ASSERT_EQ(XdsGotoRecord(t, 5), 0);
  ASSERT_EQ(XdsLocate(t, "URL_ID=99", 0, &found), 0);
  EXPECT_EQ(found, 0);
  ASSERT_EQ(XdsAtBOF(t, &end), 0);
  EXPECT_EQ(end, 1);
}

// Locate's filter path: the expression Locate builds, applied as an
// optimized filter with exact comparison off, combined with "not deleted()".
TEST_F(FilterTest, LocateExpressionWithQuoteAndCyrillicOnOemTable) {
  // NAME values in the program's code page; the OEM table stores them in 866.
  std::vector<std::string> names = {"zz", "ab\"cd", "\xC8\xE2\xE0\xED\xEE\xE2", "AB\"CX",
                                    "\xB8\xEB\xEA\xE0"};
  XDSHANDLE t = MakeTable(2, names);
  ASSERT_EQ(XdsGotoRecord(t, 2), 0);
  ASSERT_EQ(XdsDeleteRecord(t), 0);
  ASSERT_EQ(XdsWriteRecord(t), 0);
  ASSERT_EQ(XdsSetExact22(t, 0), 0);
  ASSERT_EQ(XdsSetAOF(t, "(UPPER(NAME)=UPPER(\"ab\"+ Chr(34) + \"c\")) AND (not deleted())", 2), 0);
  ASSERT_EQ(XdsGotoTop(t), 0);
  EXPECT_EQ(Recno(t), 4u);
  ASSERT_EQ(XdsClearAOF(t), 0);
  // Case-insensitive Cyrillic: "ИВА" matches "Иванов", "Ё" matches "ёлка".
  const std::pair<const char*, uint32_t> cyr[] = {
      {"UPPER(NAME)=UPPER(\"\xE8\xE2\xE0\")", 3},
      {"UPPER(NAME)=\"\xA8\xCB\"", 5},
      {"LOWER(NAME)=\"\xB8\xEB\xEA\xE0\"", 5},
  };
  for (const auto& [expr, want] : cyr) {
    ASSERT_EQ(XdsSetAOF(t, expr, 1), 0) << expr;
    ASSERT_EQ(XdsGotoTop(t), 0) << expr;
    EXPECT_EQ(Recno(t), want) << expr;
    ASSERT_EQ(XdsClearAOF(t), 0);
  }
}

TEST_F(FilterTest, MemoFieldsReadAsCharacter) {
  XDSHANDLE t = MakeTable(1, Names(2));
  Append(t, 0, 3, "m", "a long description with \"quotes\"\r\nand a line break");
  ASSERT_EQ(XdsSetFilter(t, "\"line break\" $ DESCR"), 0);
  EXPECT_EQ(Walk(t, true), (std::vector<uint32_t>{3}));
  ASSERT_EQ(XdsSetFilter(t, "EMPTY(DESCR)"), 0);
  EXPECT_EQ(Walk(t, true), (std::vector<uint32_t>{1, 2}));
}

}  // namespace
