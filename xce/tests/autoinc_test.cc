// Autoincrement fields: every append takes the header's next value and moves
// the counter on by its step; a value given for such a field is refused.
#include <gtest/gtest.h>

#include "test_util.h"

namespace xcetest {
namespace {

uint32_t Le32At(const std::string& b, std::size_t at) {
  return static_cast<uint8_t>(b[at]) | static_cast<uint8_t>(b[at + 1]) << 8 |
         static_cast<uint8_t>(b[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(b[at + 3])) << 24;
}

// A Visual FoxPro table whose first field ID is an autoincrement field with
// the given counter, as that program writes one.
void MakeAutoTable(const TempDir& dir, uint32_t next, uint8_t step) {
  {
    ApiTable t(dir.str());
    ASSERT_EQ(t.Create("a.dbf", {{"ID", 'I', 0, 0}, {"NAME", 'C', 10, 0}}), 0) << LastError();
  }
  std::string b = ReadBytes(dir / "a.dbf");
  b[0] = 0x31;
  b[32 + 18] = 0x0C;
  for (int i = 0; i < 4; ++i) {
    b[32 + 19 + i] = static_cast<char>(next >> (8 * i));
  }
  b[32 + 23] = static_cast<char>(step);
  WriteBytes(dir / "a.dbf", b);
}

TEST(AutoIncrement, AppendsTakeTheNextValueAndAdvanceTheCounter) {
  TempDir dir;
  MakeAutoTable(dir, 100, 5);
  for (uint32_t options : {uint32_t{XDS_OPEN_EXCLUSIVE}, uint32_t{0}}) {
    SCOPED_TRACE(options == 0 ? "shared open" : "exclusive open");
    ApiTable t(dir.str());
    ASSERT_EQ(t.Open("a.dbf", options), 0) << LastError();
    if (options != 0) {
      ASSERT_EQ(XdsCreateIndexTag(t.table(), "ID", "ID", nullptr, 0, 0), 0) << LastError();
    }
    const uint32_t first = options != 0 ? 100 : 115;
    for (uint32_t i = 0; i < 3; ++i) {
      ASSERT_EQ(XdsAppendRecord(t.table()), 0);
      EXPECT_EQ(t.Field(1), std::to_string(first + 5 * i));  // shown before the write
      ASSERT_EQ(XdsSetField(t.table(), 2, "n", 1), 0);
      ASSERT_EQ(XdsWriteRecord(t.table()), 0) << LastError();
      EXPECT_EQ(t.Field(1), std::to_string(first + 5 * i));
    }
    // A cancelled append takes no value.
    ASSERT_EQ(XdsAppendRecord(t.table()), 0);
    ASSERT_EQ(XdsCancelUpdate(t.table()), 0);
    ASSERT_EQ(t.Close(), 0);
    EXPECT_EQ(Le32At(ReadBytes(dir / "a.dbf"), 32 + 19), first + 15);
  }
  ApiTable t(dir.str());
  ASSERT_EQ(t.Open("a.dbf", XDS_OPEN_READONLY), 0);
  std::string ids;
  ASSERT_EQ(XdsGotoTop(t.table()), 0);
  for (; !t.Eof(); SkipRecords(t.table(), 1)) {
    ids += t.Field(1) + " ";
  }
  EXPECT_EQ(ids, "100 105 110 115 120 125 ");
  ASSERT_EQ(t.Close(), 0);
  std::vector<char> report(4096);
  uint32_t len = static_cast<uint32_t>(report.size());
  EXPECT_EQ(XdsCheckTable(t.connection(), "a.dbf", report.data(), &len), 0)
      << std::string(report.data(), len);
}

TEST(AutoIncrement, ValuesGivenForTheFieldAreRefused) {
  TempDir dir;
  MakeAutoTable(dir, 1, 1);
  ApiTable t(dir.str());
  ASSERT_EQ(t.Open("a.dbf"), 0) << LastError();
  ASSERT_EQ(t.Append({"", "a"}), 0) << LastError();
  const int32_t raw = 77;
  for (bool appending : {false, true}) {
    SCOPED_TRACE(appending ? "new record" : "stored record");
    if (appending) {
      ASSERT_EQ(XdsAppendRecord(t.table()), 0);
    }
    EXPECT_EQ(XdsSetField(t.table(), 1, "77", 2), XDS_ERR_FIELD_NOT_WRITABLE);
    EXPECT_NE(LastError().find("ID"), std::string::npos) << LastError();
    EXPECT_NE(LastError().find("autoincrement"), std::string::npos) << LastError();
    EXPECT_EQ(XdsSetFieldRaw(t.table(), 1, &raw, 4), XDS_ERR_FIELD_NOT_WRITABLE);
    EXPECT_EQ(XdsSetEmpty(t.table(), 1), XDS_ERR_FIELD_NOT_WRITABLE);
  }
  ASSERT_EQ(XdsWriteRecord(t.table()), 0) << LastError();
  EXPECT_EQ(t.Field(1), "2");
  uint16_t permissions = 0;
  ASSERT_EQ(XdsGetColumnPermissions(t.table(), 1, &permissions), 0);
  EXPECT_EQ(permissions, XDS_PERMISSION_READ);
}

TEST(AutoIncrement, CounterAtItsLimitRefusesTheAppend) {
  TempDir dir;
  MakeAutoTable(dir, 0x7FFFFFFF, 1);
  ApiTable t(dir.str());
  ASSERT_EQ(t.Open("a.dbf"), 0) << LastError();
  ASSERT_EQ(XdsAppendRecord(t.table()), 0);
  EXPECT_EQ(XdsWriteRecord(t.table()), XDS_ERR_NUMERIC_OVERFLOW);
  ASSERT_EQ(XdsCancelUpdate(t.table()), 0);
  EXPECT_EQ(t.Count(), 0u);
}

}  // namespace
}  // namespace xcetest
