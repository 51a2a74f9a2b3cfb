// Locate in an index order: whether the few records a tag names are compared
// by their places in the order, or the order is walked, the record found is
// the first match from the current one on in the handle's order.

#include <array>
#include <cstdlib>
#include <random>

#include "test_util.h"

using namespace xcetest;

namespace {

struct Fixture {
  TempDir dir;
  XDSHANDLE connection = 0;
  XDSHANDLE table = 0;

  // 240 records: A in 0..29 (tag TA, so "A=x" names a handful of records),
  // B a shuffled four-letter text (tag TB, the order searched in), C with no
  // tag (its searches walk).
  Fixture() {
    EXPECT_EQ(XdsConnect60(dir.str().c_str(), XDS_SERVER_LOCAL, "", "", 0, &connection), 0);
    XDSFIELDDEF fields[] = {{"A", 'N', 5, 0}, {"B", 'C', 4, 0}, {"C", 'N', 5, 0}};
    EXPECT_EQ(XdsCreateTable(connection, "L.DBF", XDS_CHAR_ANSI, 3, fields), 0);
    EXPECT_EQ(XdsOpenTable(connection, "L.DBF", nullptr, XDS_TABLE_CDX, XDS_CHAR_ANSI, 1, 1,
                           XDS_OPEN_EXCLUSIVE, &table),
              0);
    std::mt19937 rng(7);
    for (int i = 0; i < 240; ++i) {
      std::string a = std::to_string(rng() % 30);
      std::string b = std::to_string(1000 + rng() % 9000);
      std::string c = std::to_string(rng() % 30);
      EXPECT_EQ(XdsAppendRecord(table), 0);
      EXPECT_EQ(XdsSetField(table, 1, a.data(), static_cast<uint32_t>(a.size())), 0);
      EXPECT_EQ(XdsSetField(table, 2, b.data(), static_cast<uint32_t>(b.size())), 0);
      EXPECT_EQ(XdsSetField(table, 3, c.data(), static_cast<uint32_t>(c.size())), 0);
      EXPECT_EQ(XdsWriteRecord(table), 0);
    }
    XDSTAGDEF tags[] = {{"TA", "A", nullptr, 0, 0}, {"TB", "B", nullptr, 0, 0}};
    EXPECT_EQ(XdsCreateIndexTags(table, 2, tags), 0) << LastError();
  }
  ~Fixture() {
    EXPECT_EQ(XdsCloseTable(table), 0);
    EXPECT_EQ(XdsDisconnect(connection), 0);
  }

  uint32_t Recno() {
    uint32_t r = 0;
    EXPECT_EQ(XdsGetRecordNum(table, XDS_COUNT_IGNORE_FILTERS, &r), 0);
    return r;
  }
  bool Flag(XDSRESULT (*f)(XDSHANDLE, uint16_t*)) {
    uint16_t v = 0;
    EXPECT_EQ(f(table, &v), 0);
    return v != 0;
  }
  int Field(uint16_t no) {
    char text[8] = {};
    uint32_t length = sizeof text - 1;
    EXPECT_EQ(XdsGetField(table, no, text, &length, 1), 0);
    return std::atoi(text);
  }
  // The visible records in the order of `order`, with A and C.
  std::vector<std::array<int, 3>> Walk(XDSHANDLE order) {
    std::vector<std::array<int, 3>> rows;
    XDSRESULT r = XdsGotoTop(order);
    while (r == 0 && !Flag(XdsAtEOF)) {
      rows.push_back({static_cast<int>(Recno()), Field(1), Field(3)});
      r = XdsSkip(order, 1);
    }
    return rows;
  }
};

// Every start, both directions, a tagged and an untagged field, with deleted
// records hidden and a filter set: the result is the brute-force answer.
TEST(LocateOrder, TagPathAndWalkFindTheFirstMatchInTheOrder) {
  Fixture f;
  XDSHANDLE tb = 0;
  ASSERT_EQ(XdsGetIndexHandle(f.table, "TB", &tb), 0);
  for (uint32_t r : {3u, 17u, 40u, 41u, 99u, 150u}) {
    ASSERT_EQ(XdsGotoRecord(f.table, r), 0);
    ASSERT_EQ(XdsDeleteRecord(f.table), 0);
  }
  ASSERT_EQ(XdsWriteRecord(f.table), 0);
  ASSERT_EQ(XdsSetDeleted(f.table, 1), 0);
  ASSERT_EQ(XdsSetFilter(f.table, "A<>5"), 0);
  const auto rows = f.Walk(tb);
  ASSERT_GT(rows.size(), 200u);
  for (int field : {1, 3}) {
    for (int value : {0, 5, 7, 29, 31}) {
      const std::string expr = std::string(field == 1 ? "A=" : "C=") + std::to_string(value);
      for (size_t start = 0; start < rows.size(); start += 7) {
        for (int forward : {1, 0}) {
          ASSERT_EQ(XdsGotoRecord(f.table, static_cast<uint32_t>(rows[start][0])), 0);
          uint16_t found = 9;
          ASSERT_EQ(XdsLocate(tb, expr.c_str(), static_cast<uint16_t>(forward), &found), 0)
              << LastError();
          int expected = 0;
          for (size_t i = start; i < rows.size(); forward ? ++i : --i) {
            if (rows[i][field == 1 ? 1 : 2] == value) {
              expected = rows[i][0];
              break;
            }
            if (!forward && i == 0) {
              break;
            }
          }
          SCOPED_TRACE(expr + " from row " + std::to_string(start) +
                       (forward ? " forward" : " backward"));
          ASSERT_EQ(found, expected != 0 ? 1 : 0);
          if (expected != 0) {
            EXPECT_EQ(f.Recno(), static_cast<uint32_t>(expected));
          } else {
            EXPECT_TRUE(forward ? f.Flag(XdsAtEOF) : f.Flag(XdsAtBOF));
          }
        }
      }
    }
  }
}

// From the top of the order (before the first record) a forward search
// starts at the first record; past the end nothing is searched.
TEST(LocateOrder, SearchFromEitherEnd) {
  Fixture f;
  XDSHANDLE tb = 0;
  ASSERT_EQ(XdsGetIndexHandle(f.table, "TB", &tb), 0);
  const auto rows = f.Walk(tb);
  ASSERT_EQ(XdsGotoTop(tb), 0);
  ASSERT_EQ(XdsSkip(tb, -1), XDS_ERR_NO_CURRENT_RECORD);
  uint16_t found = 0;
  const std::string first = "A=" + std::to_string(rows[0][1]);
  ASSERT_EQ(XdsLocate(tb, first.c_str(), 1, &found), 0);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(f.Recno(), static_cast<uint32_t>(rows[0][0]));
  ASSERT_EQ(XdsGotoBottom(tb), 0);
  ASSERT_EQ(XdsSkip(tb, 1), XDS_ERR_NO_CURRENT_RECORD);
  ASSERT_EQ(XdsLocate(tb, first.c_str(), 1, &found), 0);
  EXPECT_EQ(found, 0);
  EXPECT_TRUE(f.Flag(XdsAtEOF));
  const std::string last = "A=" + std::to_string(rows.back()[1]);
  ASSERT_EQ(XdsLocate(tb, last.c_str(), 0, &found), 0);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(f.Recno(), static_cast<uint32_t>(rows.back()[0]));
}

}  // namespace
