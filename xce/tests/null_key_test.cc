// Keys of nullable fields in Visual FoxPro tables: a null value has the null
// key, which sorts before every value; walks, seeks, check and reindex agree.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "test_util.h"

namespace xcetest {
namespace {

// A Visual FoxPro table (ID I, NAME C(10) nullable, _NullFlags) holding
// names b, a, c, d, e with the names of records 2 and 4 null, as that
// program writes one.
void MakeNullTable(const TempDir& dir) {
  {
    ApiTable t(dir.str());
    ASSERT_EQ(t.Create("n.dbf", {{"ID", 'I', 0, 0}, {"NAME", 'C', 10, 0}, {"NULLFLAGSX", 'C', 1, 0}}),
              0)
        << LastError();
    ASSERT_EQ(t.Open("n.dbf"), 0);
    int id = 1;
    for (const char* name : {"b", "a", "c", "d", "e"}) {
      ASSERT_EQ(t.Append({std::to_string(id++), name, ""}), 0) << LastError();
    }
  }
  std::string b = ReadBytes(dir / "n.dbf");
  const std::size_t name = 32 + 32;
  const std::size_t flags = 32 + 64;
  b[name + 18] = 0x02;  // NAME is nullable
  std::memcpy(&b[flags], "_NullFlags", 10);
  b[flags + 11] = '0';
  b[flags + 18] = 0x05;
  const std::size_t header = static_cast<uint8_t>(b[8]) | static_cast<uint8_t>(b[9]) << 8;
  const std::size_t length = static_cast<uint8_t>(b[10]) | static_cast<uint8_t>(b[11]) << 8;
  for (std::size_t r = 0; r < 5; ++r) {
    // Field bytes: flag 1, ID 4, NAME 10, then the null flags byte.
    b[header + r * length + 15] = (r == 1 || r == 3) ? 0x01 : 0x00;
    if (r == 1 || r == 3) {
      // A null field's own bytes mean nothing; these would sort last.
      std::memset(&b[header + r * length + 5], 'z', 10);
    }
  }
  WriteBytes(dir / "n.dbf", b);
}

std::vector<uint32_t> Walk(XDSHANDLE index, ApiTable& t) {
  std::vector<uint32_t> recnos;
  EXPECT_EQ(XdsGotoTop(index), 0) << LastError();
  for (int guard = 0; guard < 20 && !t.Eof(); ++guard) {
    recnos.push_back(t.Recno());
    SkipRecords(index, 1);
  }
  return recnos;
}

XDSRESULT CheckTable(ApiTable& t, std::string* report) {
  std::vector<char> text(4096);
  uint32_t len = static_cast<uint32_t>(text.size());
  XDSRESULT r = XdsCheckTable(t.connection(), "n.dbf", text.data(), &len);
  report->assign(text.data(), len);
  return r;
}

TEST(NullKeys, NullValuesHaveTheNullKeyAndSortFirst) {
  TempDir dir;
  MakeNullTable(dir);
  ApiTable t(dir.str());
  ASSERT_EQ(t.Open("n.dbf"), 0) << LastError();
  ASSERT_EQ(XdsCreateIndexTag(t.table(), "NAME", "UPPER(NAME)", nullptr, 0, 0), 0) << LastError();
  XDSHANDLE index = 0;
  ASSERT_EQ(XdsGetIndexHandle(t.table(), "NAME", &index), 0);
  const std::vector<uint32_t> expected = {2, 4, 1, 3, 5};
  EXPECT_EQ(Walk(index, t), expected);

  // The null key: all zero bytes, one longer than the value's key.
  std::vector<uint8_t> null(11, 0);
  uint16_t found = 0;
  ASSERT_EQ(XdsSeek(index, null.data(), 11, XDS_KEY_RAW, XDS_SEEK_HARD, &found), 0) << LastError();
  EXPECT_EQ(found, 1);
  EXPECT_EQ(t.Recno(), 2u);
  ASSERT_EQ(XdsSeek(index, "C", 1, XDS_KEY_STRING, XDS_SEEK_HARD, &found), 0) << LastError();
  EXPECT_EQ(found, 1);
  EXPECT_EQ(t.Recno(), 3u);

  // A value written over a null clears it, and the key follows.
  ASSERT_EQ(XdsGotoRecord(t.table(), 4), 0);
  ASSERT_EQ(XdsSetField(t.table(), 2, "aa", 2), 0);
  ASSERT_EQ(XdsWriteRecord(t.table()), 0) << LastError();
  EXPECT_EQ(Walk(index, t), (std::vector<uint32_t>{2, 4, 1, 3, 5}));
  ASSERT_EQ(XdsGotoRecord(t.table(), 5), 0);
  ASSERT_EQ(XdsSetField(t.table(), 2, "0", 1), 0);
  ASSERT_EQ(XdsWriteRecord(t.table()), 0) << LastError();
  EXPECT_EQ(Walk(index, t), (std::vector<uint32_t>{2, 5, 4, 1, 3}));
  ASSERT_EQ(t.Close(), 0);
  std::string report;
  EXPECT_EQ(CheckTable(t, &report), 0) << report;

  ASSERT_EQ(t.Open("n.dbf"), 0) << LastError();
  ASSERT_EQ(XdsReindex61(t.table(), 512), 0) << LastError();
  ASSERT_EQ(XdsGetIndexHandle(t.table(), "NAME", &index), 0);
  EXPECT_EQ(Walk(index, t), (std::vector<uint32_t>{2, 5, 4, 1, 3}));
  ASSERT_EQ(t.Close(), 0);
  EXPECT_EQ(CheckTable(t, &report), 0) << report;
}

}  // namespace
}  // namespace xcetest
