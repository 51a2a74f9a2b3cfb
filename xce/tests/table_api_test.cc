// Behaviour of tables through the C API: handles, names, movement, values.
#include <sys/wait.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "test_util.h"

namespace xcetest {
namespace {

std::vector<XDSFIELDDEF> Simple() { return {{"ID", 'N', 10, 0}, {"NAME", 'C', 20, 0}}; }

TEST(Handles, ZeroStaleAndForeignHandlesAreRefused) {
  TempDir dir;
  ApiTable t(dir.str());
  ASSERT_EQ(t.Create("a.dbf", Simple()), 0) << LastError();
  ASSERT_EQ(t.Open("a.dbf"), 0) << LastError();
  XDSHANDLE table = t.table();
  uint16_t flag = 0;
  EXPECT_EQ(XdsGotoTop(0), 6001);
  EXPECT_EQ(XdsAtEOF(0xDEADBEEF, &flag), 6001);
  EXPECT_EQ(XdsGotoTop(t.connection()), 6001);  // a connection is no table
  EXPECT_EQ(XdsDisconnect(table), 5024);        // a table is no connection
  ASSERT_EQ(t.Close(), 0);
  EXPECT_EQ(XdsGotoTop(table), 6001);  // stale
  EXPECT_EQ(XdsCloseTable(table), 6001);
  EXPECT_NE(LastError().find(std::to_string(table)), std::string::npos);
}

TEST(Handles, DisconnectClosesTablesAndLaterCallsFail) {
  TempDir dir;
  XDSHANDLE c = 0;
  XDSHANDLE table = 0;
  ASSERT_EQ(XdsConnect60(dir.str().c_str(), 1, "", "", 0, &c), 0);
  XDSFIELDDEF f[] = {{"A", 'C', 5, 0}};
  ASSERT_EQ(XdsCreateTable(c, "x", XDS_CHAR_ANSI, 1, f), 0) << LastError();
  ASSERT_EQ(XdsOpenTable(c, "x", nullptr, 2, 1, 1, 1, XDS_OPEN_EXCLUSIVE, &table), 0);
  EXPECT_EQ(XdsDisconnect(c), 0);
  EXPECT_EQ(XdsGotoTop(table), 6001);
  EXPECT_EQ(XdsDisconnect(c), 5024);
  // The exclusive lock went with the table: the file opens again.
  ApiTable again(dir.str());
  EXPECT_EQ(again.Open("X.DBF"), 0) << LastError();
}

TEST(Open, MissingDirectoryAndTableGive5132NamingThem) {
  XDSHANDLE c = 0;
  EXPECT_EQ(XdsConnect60("/no/such/dir", 1, "", "", 0, &c), 5132);
  EXPECT_NE(LastError().find("/no/such/dir"), std::string::npos);
  TempDir dir;
  ApiTable t(dir.str());
  EXPECT_EQ(t.Open("nothere.dbf"), 5132);
  EXPECT_NE(LastError().find("nothere.dbf"), std::string::npos);
}

TEST(Open, RejectsUnknownTypesAndOptions) {
  TempDir dir;
  ApiTable t(dir.str());
  ASSERT_EQ(t.Create("a.dbf", Simple()), 0);
  XDSHANDLE h = 0;
  EXPECT_NE(XdsOpenTable(t.connection(), "a.dbf", nullptr, XDS_TABLE_NTX, 1, 1, 1, 0, &h), 0);
  EXPECT_NE(XdsOpenTable(t.connection(), "a.dbf", nullptr, 2, 1, 1, 1, 0x8000, &h), 0);
  EXPECT_EQ(XdsOpenTable(t.connection(), "a.dbf", nullptr, 2, 1, 1, 1, 0x301, &h), 0)
      << LastError();
  EXPECT_EQ(XdsCloseTable(h), 0);
}

TEST(Open, NamesResolveWithoutRegardToCase) {
  TempDir dir;
  {
    ApiTable t(dir.str());
    ASSERT_EQ(t.Create("URLS.DBF", {{"NAME", 'C', 10, 0}, {"DESCR", 'M', 0, 0}}), 0) << LastError();
    ASSERT_EQ(t.Open("URLS.DBF"), 0);
    ASSERT_EQ(t.Append({"n", "memo text"}), 0) << LastError();
  }
  ASSERT_TRUE(fs::exists(dir / "URLS.FPT"));
  fs::rename(dir / "URLS.FPT", dir / "urls.fpt");
  ApiTable t(dir.str());
  ASSERT_EQ(t.Open("urls.DBF", XDS_OPEN_READONLY), 0) << LastError();
  EXPECT_EQ(t.Field(2), "memo text");
  t.Close();
  ASSERT_EQ(t.Open(dir.str() + "\\Urls", XDS_OPEN_READONLY), 0) << LastError();
}

TEST(Open, MissingMemoFileIsAClearError) {
  TempDir dir;
  {
    ApiTable t(dir.str());
    ASSERT_EQ(t.Create("m.dbf", {{"DESCR", 'M', 0, 0}}), 0);
  }
  fs::remove(dir / "m.fpt");
  ApiTable t(dir.str());
  EXPECT_EQ(t.Open("m.dbf"), 5132);
  EXPECT_NE(LastError().find("m.fpt"), std::string::npos);
}

class Movement : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(t_.Create("m.dbf", Simple()), 0);
    ASSERT_EQ(t_.Open("m.dbf"), 0);
    for (int i = 1; i <= 5; ++i) {
      ASSERT_EQ(t_.Append({std::to_string(i), "n" + std::to_string(i)}), 0) << LastError();
    }
    for (uint32_t r : {2u, 5u}) {
      ASSERT_EQ(XdsGotoRecord(t_.table(), r), 0);
      ASSERT_EQ(XdsDeleteRecord(t_.table()), 0);
      ASSERT_EQ(XdsWriteRecord(t_.table()), 0);
    }
  }
  std::vector<uint32_t> Walk(int32_t step) {
    std::vector<uint32_t> seen;
    XDSRESULT r = step > 0 ? XdsGotoTop(t_.table()) : XdsGotoBottom(t_.table());
    EXPECT_EQ(r, 0);
    while (!(step > 0 ? t_.Eof() : t_.Bof())) {
      seen.push_back(t_.Recno());
      r = XdsSkip(t_.table(), step);
      if (r != 0) {
        EXPECT_EQ(r, 5068);
        break;
      }
    }
    return seen;
  }
  TempDir dir_;
  ApiTable t_{dir_.str()};
};

TEST_F(Movement, ShowsDeletedRecordsByDefault) {
  EXPECT_EQ(Walk(1), (std::vector<uint32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(Walk(-1), (std::vector<uint32_t>{5, 4, 3, 2, 1}));
  EXPECT_EQ(t_.Count(XDS_COUNT_RESPECT_FILTERS), 5u);
}

TEST_F(Movement, HidingDeletedRecordsSkipsThemEverywhere) {
  ASSERT_EQ(XdsSetDeleted(t_.table(), 1), 0);
  uint16_t hidden = 0;
  EXPECT_EQ(XdsGetDeleted(t_.table(), &hidden), 0);
  EXPECT_EQ(hidden, 1);
  EXPECT_EQ(Walk(1), (std::vector<uint32_t>{1, 3, 4}));
  EXPECT_EQ(Walk(-1), (std::vector<uint32_t>{4, 3, 1}));
  EXPECT_EQ(t_.Count(XDS_COUNT_RESPECT_FILTERS), 3u);
  EXPECT_EQ(t_.Count(XDS_COUNT_IGNORE_FILTERS), 5u);
  // GotoRecord reaches a hidden record, which then reports itself invisible.
  ASSERT_EQ(XdsGotoRecord(t_.table(), 2), 0);
  uint16_t visible = 1;
  ASSERT_EQ(XdsIsRecordVisible(t_.table(), &visible), 0);
  EXPECT_EQ(visible, 0);
  EXPECT_EQ(XdsSkip(t_.table(), 1), 0);
  EXPECT_EQ(t_.Recno(), 3u);
}

TEST_F(Movement, EndsAndBadRecordNumbers) {
  ASSERT_EQ(XdsGotoBottom(t_.table()), 0);
  EXPECT_EQ(XdsSkip(t_.table(), 1), 5068);
  EXPECT_TRUE(t_.Eof());
  EXPECT_FALSE(t_.Bof());
  EXPECT_EQ(t_.Recno(), 6u);
  uint16_t visible = 0;
  EXPECT_EQ(XdsIsRecordVisible(t_.table(), &visible), 5068);
  EXPECT_EQ(XdsSkip(t_.table(), -1), 0);  // back from the end lands on the last
  EXPECT_EQ(t_.Recno(), 5u);
  ASSERT_EQ(XdsGotoTop(t_.table()), 0);
  EXPECT_EQ(XdsSkip(t_.table(), -1), 5068);
  EXPECT_TRUE(t_.Bof());
  EXPECT_EQ(XdsSkip(t_.table(), 1), 0);  // forward from before the first
  EXPECT_EQ(t_.Recno(), 1u);
  ASSERT_EQ(XdsGotoRecord(t_.table(), 3), 0);
  EXPECT_EQ(XdsGotoRecord(t_.table(), 6), 5022);
  EXPECT_EQ(XdsGotoRecord(t_.table(), 0), 5022);
  EXPECT_EQ(t_.Recno(), 3u);  // unchanged
  EXPECT_EQ(XdsSkip(t_.table(), 2), 0);
  EXPECT_EQ(t_.Recno(), 5u);
  EXPECT_EQ(XdsSkip(t_.table(), -4), 0);
  EXPECT_EQ(t_.Recno(), 1u);
}

TEST_F(Movement, EmptyViewSetsBothEnds) {
  ASSERT_EQ(XdsZapTable(t_.table()), 0) << LastError();
  ASSERT_EQ(XdsGotoTop(t_.table()), 0);
  EXPECT_TRUE(t_.Eof());
  EXPECT_TRUE(t_.Bof());
  EXPECT_EQ(XdsGotoRecord(t_.table(), 1), 5022);
  uint32_t len = 0;
  EXPECT_EQ(XdsGetRecordLength(t_.table(), &len), 0);
  std::vector<char> rec(len);
  EXPECT_EQ(XdsGetRecord(t_.table(), rec.data(), len), 5068);
}

TEST_F(Movement, BookmarksAreRecordNumbers) {
  ASSERT_EQ(XdsGotoRecord(t_.table(), 4), 0);
  uint16_t len = 0;
  ASSERT_EQ(XdsGetBookmarkLength(t_.table(), &len), 0);
  ASSERT_EQ(len, 4);
  uint32_t a = 0;
  uint16_t alen = 4;
  ASSERT_EQ(XdsGetBookmark60(t_.table(), &a, &alen), 0);
  EXPECT_EQ(a, 4u);
  uint32_t b = 2;
  int16_t cmp = 0;
  ASSERT_EQ(XdsCompareBookmarks(t_.table(), &a, &b, &cmp), 0);
  EXPECT_EQ(cmp, 1);
  ASSERT_EQ(XdsGotoBookmark(t_.table(), b), 0);
  EXPECT_EQ(t_.Field(2, XDS_GET_TRIM), "n2");
}

// The one-call reader step agrees with the separate calls: ends are flags,
// not failures; a hidden record is reported but not delivered; a record being
// appended is delivered; a bookmark buffer too small is refused unwritten.
TEST_F(Movement, FetchRecordIsOneReaderStep) {
  uint32_t len = 0;
  ASSERT_EQ(XdsGetRecordLength(t_.table(), &len), 0);
  std::vector<char> rec(len);
  uint32_t bookmark = 0;
  XDSFETCHINFO at{};
  auto fetch = [&](int32_t count) {
    at.bookmarkLength = sizeof bookmark;
    bookmark = 0;
    return XdsFetchRecord(t_.table(), count, rec.data(), len, &bookmark, &at);
  };
  ASSERT_EQ(XdsGotoRecord(t_.table(), 4), 0);
  ASSERT_EQ(fetch(1), 0) << LastError();
  EXPECT_EQ(at.visible, 1);
  EXPECT_EQ(at.recno, 5u);
  EXPECT_EQ(bookmark, 5u);
  EXPECT_EQ(at.bookmarkLength, 4);
  EXPECT_EQ(rec[0], '*');  // deleted, shown by default
  ASSERT_EQ(fetch(1), 0);
  EXPECT_EQ(at.atEof, 1);
  EXPECT_EQ(at.visible, 0);
  ASSERT_EQ(fetch(-1), 0);
  EXPECT_EQ(at.recno, 5u);
  EXPECT_EQ(at.atEof, 0);
  // Hidden: GotoRecord reaches it, the step says it is not to be shown.
  ASSERT_EQ(XdsSetDeleted(t_.table(), 1), 0);
  ASSERT_EQ(XdsGotoRecord(t_.table(), 2), 0);
  ASSERT_EQ(fetch(0), 0);
  EXPECT_EQ(at.visible, 0);
  EXPECT_EQ(bookmark, 0u);
  ASSERT_EQ(fetch(-1), 0);
  EXPECT_EQ(at.recno, 1u);
  ASSERT_EQ(fetch(-1), 0);
  EXPECT_EQ(at.atBof, 1);
  ASSERT_EQ(XdsAppendRecord(t_.table()), 0);
  ASSERT_EQ(fetch(0), 0) << LastError();
  EXPECT_EQ(at.visible, 1);
  EXPECT_EQ(at.recno, 6u);
  EXPECT_EQ(XdsCancelUpdate(t_.table()), 0);
  at.bookmarkLength = 2;
  EXPECT_EQ(XdsFetchRecord(t_.table(), 0, rec.data(), len, &bookmark, &at), 6008);
  EXPECT_EQ(at.bookmarkLength, 4);
  at.bookmarkLength = 4;
  EXPECT_EQ(XdsFetchRecord(t_.table(), 0, rec.data(), len - 1, &bookmark, &at), 6008);
}

TEST_F(Movement, FieldValuesFitTheCallersBufferOrAreRefused) {
  ASSERT_EQ(XdsGotoRecord(t_.table(), 3), 0);
  char buf[32];
  std::memset(buf, '#', sizeof buf);
  uint32_t len = 5;  // the blank-padded name needs 20
  EXPECT_EQ(XdsGetField(t_.table(), 2, buf, &len, XDS_GET_NO_TRIM), 6008);
  EXPECT_EQ(len, 20u);
  EXPECT_EQ(buf[0], '#');  // nothing written
  len = 2;  // trimmed, "n3" fits exactly: no room, so no NUL
  ASSERT_EQ(XdsGetField(t_.table(), 2, buf, &len, XDS_GET_TRIM), 0);
  EXPECT_EQ(len, 2u);
  EXPECT_EQ(std::string(buf, 3), "n3#");
  len = sizeof buf;
  ASSERT_EQ(XdsGetField(t_.table(), 1, buf, &len, XDS_GET_NO_TRIM), 0);
  EXPECT_EQ(std::string(buf), "3");
  EXPECT_EQ(XdsGetField(t_.table(), 2, nullptr, &len, XDS_GET_TRIM), 6005);
}

TEST_F(Movement, CancelDropsAnAppendAndRestoresThePosition) {
  ASSERT_EQ(XdsGotoRecord(t_.table(), 3), 0);
  ASSERT_EQ(XdsAppendRecord(t_.table()), 0);
  EXPECT_EQ(t_.Recno(), 6u);
  ASSERT_EQ(XdsSetField(t_.table(), 2, "zz", 2), 0);
  EXPECT_EQ(XdsCancelUpdate(t_.table()), 0);
  EXPECT_EQ(XdsCancelUpdate(t_.table()), 5085);
  EXPECT_EQ(t_.Recno(), 3u);
  EXPECT_EQ(t_.Count(), 5u);
  // A pending change is written when the record pointer moves on.
  ASSERT_EQ(XdsSetField(t_.table(), 2, "changed", 7), 0);
  ASSERT_EQ(XdsSkip(t_.table(), 1), 0);
  ASSERT_EQ(XdsGotoRecord(t_.table(), 3), 0);
  EXPECT_EQ(t_.Field(2, XDS_GET_TRIM), "changed");
  ASSERT_EQ(XdsRecallRecord(t_.table()), 0);
}

struct TypeCase {
  XDSFIELDDEF def;
  std::string in;
  std::string out;  // XdsGetField text after a reopen
};

TEST(Values, EveryWrittenTypeRoundTrips) {
  const std::vector<TypeCase> cases = {
      {{"C", 'C', 8, 0}, "abc", "abc     "},
      {{"N", 'N', 8, 2}, "-12.5", "-12.50"},
      {{"NI", 'N', 10, 0}, "2147483647", "2147483647"},
      {{"F", 'F', 12, 4}, "3.14159", "3.1416"},
      {{"D", 'D', 8, 0}, "20240229", "20240229"},
      {{"L", 'L', 1, 0}, "T", "T"},
      {{"M", 'M', 0, 0}, "line 1\r\nline 2", "line 1\r\nline 2"},
      {{"I", 'I', 4, 0}, "-123456", "-123456"},
      {{"B", 'B', 8, 3}, "2.5", "2.500"},
      {{"T", 'T', 8, 0}, "20010203040506789", "20010203040506789"},
      {{"Y", 'Y', 8, 4}, "-3765.4322", "-3765.4322"},
  };
  TempDir dir;
  std::vector<XDSFIELDDEF> defs;
  std::vector<std::string> values;
  for (const TypeCase& c : cases) {
    defs.push_back(c.def);
    values.push_back(c.in);
  }
  {
    ApiTable t(dir.str());
    ASSERT_EQ(t.Create("all.dbf", defs), 0) << LastError();
    ASSERT_EQ(t.Open("all.dbf"), 0);
    ASSERT_EQ(t.Append(values), 0) << LastError();
    ASSERT_EQ(t.Append({}), 0) << LastError();
  }
  std::string bytes = ReadBytes(dir / "all.dbf");
  EXPECT_EQ(static_cast<uint8_t>(bytes[0]), 0x30);  // I B T Y make a Visual FoxPro table
  ApiTable t(dir.str());
  ASSERT_EQ(t.Open("all.dbf", XDS_OPEN_READONLY), 0);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    uint16_t f = static_cast<uint16_t>(i + 1);
    EXPECT_EQ(t.Field(f), cases[i].out) << cases[i].def.name;
    uint16_t empty = 1;
    ASSERT_EQ(XdsIsEmpty(t.table(), f, &empty), 0);
    EXPECT_EQ(empty, 0) << cases[i].def.name;
  }
  uint16_t type = 0;
  const uint16_t expectedTypes[] = {4, 2, 2, 2, 3, 1, 5, 11, 10, 14, 17};
  for (uint16_t f = 1; f <= cases.size(); ++f) {
    ASSERT_EQ(XdsGetFieldType(t.table(), f, &type), 0);
    EXPECT_EQ(type, expectedTypes[f - 1]) << cases[f - 1].def.name;
  }
  ASSERT_EQ(XdsSkip(t.table(), 1), 0);
  for (uint16_t f = 1; f <= cases.size(); ++f) {
    uint16_t empty = 0;
    ASSERT_EQ(XdsIsEmpty(t.table(), f, &empty), 0);
    EXPECT_EQ(empty, 1) << cases[f - 1].def.name;
  }
}

TEST(Values, RawWritesAndCurrencyAsDouble) {
  TempDir dir;
  ApiTable t(dir.str());
  ASSERT_EQ(t.Create("r.dbf", {{"N", 'N', 6, 2}, {"Y", 'Y', 0, 0}}), 0);
  ASSERT_EQ(t.Open("r.dbf"), 0);
  ASSERT_EQ(XdsAppendRecord(t.table()), 0);
  EXPECT_EQ(XdsSetField(t.table(), 1, "1234567", 7), 6011);
  EXPECT_NE(LastError().find("r.dbf"), std::string::npos);
  ASSERT_EQ(XdsSetField(t.table(), 1, "12.5", 4), 0);
  EXPECT_EQ(XdsSetFieldRaw(t.table(), 1, "12", 2), 6005);  // not the field length
  double money = 12.34;
  ASSERT_EQ(XdsSetFieldRaw(t.table(), 2, &money, 8), 0);
  ASSERT_EQ(XdsWriteRecord(t.table()), 0);
  EXPECT_EQ(t.Field(1), "12.50");
  EXPECT_EQ(t.Field(2), "12.3400");
  uint32_t len = 0;
  EXPECT_EQ(XdsGetRecordLength(t.table(), &len), 0);
  std::vector<char> rec(len);
  ASSERT_EQ(XdsGetRecord(t.table(), rec.data(), len), 0);
  EXPECT_EQ(std::string(rec.data() + 1, 6), " 12.50");
  uint16_t off = 0;
  EXPECT_EQ(XdsGetFieldOffset(t.table(), 2, &off), 0);
  double back = 0;
  std::memcpy(&back, rec.data() + off, 8);
  EXPECT_DOUBLE_EQ(back, 12.34);
}

TEST(Values, OemTablesHold866AndCallersSee1251) {
  // "Ёлка ёж" in Windows-1251 and in 866.
  const std::string ansi = "\xA8\xEB\xEA\xE0 \xB8\xE6";
  const std::string oem = "\xF0\xAB\xAA\xA0 \xF1\xA6";
  TempDir dir;
  {
    ApiTable t(dir.str());
    ASSERT_EQ(t.Create("o.dbf", {{"NAME", 'C', 10, 0}, {"DESCR", 'M', 0, 0}}, XDS_CHAR_OEM), 0);
    ASSERT_EQ(t.Open("o.dbf", XDS_OPEN_EXCLUSIVE, XDS_CHAR_OEM), 0);
    ASSERT_EQ(t.Append({ansi, ansi}), 0) << LastError();
    EXPECT_EQ(t.Field(1, XDS_GET_TRIM), ansi);
    EXPECT_EQ(t.Field(2), ansi);
  }
  std::string bytes = ReadBytes(dir / "o.dbf");
  EXPECT_EQ(static_cast<uint8_t>(bytes[29]), 0x65);  // code page mark 866
  ApiTable raw(dir.str());
  ASSERT_EQ(raw.Open("o.dbf", XDS_OPEN_READONLY, XDS_CHAR_ANSI), 0);
  EXPECT_EQ(raw.Field(1, XDS_GET_TRIM), oem);
  EXPECT_EQ(raw.Field(2), oem);
}

TEST(Values, JulianConversions) {
  int32_t jd = 0;
  ASSERT_EQ(XdsConvertStringToJulian("20000101", &jd), 0);
  EXPECT_EQ(jd, 2451545);
  ASSERT_EQ(XdsConvertStringToJulian("20240229", &jd), 0);
  EXPECT_EQ(XdsConvertStringToJulian("20230229", &jd), 6005);
  EXPECT_EQ(XdsConvertStringToJulian("2024-1-1", &jd), 6005);
  char text[16];
  uint16_t len = sizeof text;
  ASSERT_EQ(XdsConvertJulianToString(2460370, text, &len), 0);
  EXPECT_EQ(std::string(text, len), "20240229");
}

TEST(Files, HeaderCountSizeAndEndMarkAgreeAfterEveryAppend) {
  for (uint32_t options : {0u, static_cast<uint32_t>(XDS_OPEN_EXCLUSIVE)}) {
    TempDir dir;
    ApiTable t(dir.str());
    ASSERT_EQ(t.Create("h.dbf", Simple()), 0);
    ASSERT_EQ(t.Open("h.dbf", options), 0);
    for (uint32_t n = 1; n <= 3; ++n) {
      ASSERT_EQ(t.Append({std::to_string(n), "x"}), 0);
      if (options != 0) {
        // Exclusive opens write appends in batches: at a flush or the next move.
        ASSERT_EQ(n % 2 == 0 ? XdsFlushTable(t.table()) : XdsGotoTop(t.table()), 0);
      }
      std::string b = ReadBytes(dir / "h.dbf");
      uint32_t count = static_cast<uint8_t>(b[4]) | static_cast<uint8_t>(b[5]) << 8;
      uint32_t header = static_cast<uint8_t>(b[8]) | static_cast<uint8_t>(b[9]) << 8;
      EXPECT_EQ(count, n);
      EXPECT_EQ(b.size(), header + n * 31 + 1);
      EXPECT_EQ(b.back(), '\x1A');
      std::time_t now = std::time(nullptr);
      std::tm tm;
      localtime_r(&now, &tm);
      EXPECT_EQ(static_cast<uint8_t>(b[1]), (tm.tm_year + 1900) % 100);
      EXPECT_EQ(static_cast<uint8_t>(b[2]), tm.tm_mon + 1);
    }
  }
}

uint32_t MemoBlockOf(const fs::path& dbf, uint32_t recno) {
  std::string b = ReadBytes(dbf);
  uint32_t header = static_cast<uint8_t>(b[8]) | static_cast<uint8_t>(b[9]) << 8;
  uint32_t reclen = static_cast<uint8_t>(b[10]) | static_cast<uint8_t>(b[11]) << 8;
  std::string ptr = b.substr(header + (recno - 1) * reclen + 1, 10);
  return static_cast<uint32_t>(std::strtoul(ptr.c_str(), nullptr, 10));
}

uint32_t NextFree(const fs::path& fpt) {
  std::string b = ReadBytes(fpt);
  return static_cast<uint32_t>(static_cast<uint8_t>(b[0]) << 24 | static_cast<uint8_t>(b[1]) << 16 |
                               static_cast<uint8_t>(b[2]) << 8 | static_cast<uint8_t>(b[3]));
}

TEST(Memo, GrowsShrinksAndRewritesInPlace) {
  TempDir dir;
  ApiTable t(dir.str());
  ASSERT_EQ(t.Create("m.dbf", {{"DESCR", 'M', 0, 0}}), 0);
  ASSERT_EQ(t.Open("m.dbf", 0), 0);  // shared: every change goes to disk at once
  auto set = [&](const std::string& v) {
    ASSERT_EQ(XdsSetField(t.table(), 1, v.data(), static_cast<uint32_t>(v.size())), 0)
        << LastError();
    ASSERT_EQ(XdsWriteRecord(t.table()), 0) << LastError();
    EXPECT_EQ(t.Field(1), v);
  };
  ASSERT_EQ(t.Append({"first value"}), 0);
  uint32_t first = MemoBlockOf(dir / "m.dbf", 1);
  EXPECT_EQ(first, 8u);  // first block after the 512-byte header with 64-byte blocks
  EXPECT_EQ(NextFree(dir / "m.fpt"), 9u);
  set("a longer value that still fits its block");
  EXPECT_EQ(MemoBlockOf(dir / "m.dbf", 1), first);  // rewritten in place
  EXPECT_EQ(NextFree(dir / "m.fpt"), 9u);
  std::string big(500, 'x');
  set(big);
  EXPECT_EQ(MemoBlockOf(dir / "m.dbf", 1), 9u);  // moved to new blocks
  EXPECT_EQ(NextFree(dir / "m.fpt"), 9u + 8u);   // (8 + 500) / 64 rounded up
  set("short");
  EXPECT_EQ(MemoBlockOf(dir / "m.dbf", 1), 9u);
  set("");
  EXPECT_EQ(MemoBlockOf(dir / "m.dbf", 1), 0u);
  uint16_t empty = 0;
  ASSERT_EQ(XdsIsEmpty(t.table(), 1, &empty), 0);
  EXPECT_EQ(empty, 1);
  EXPECT_EQ(ReadBytes(dir / "m.fpt").size(), 17u * 64u);
}

TEST(Maintenance, PackDropsDeletedRecordsAndCompactsMemos) {
  TempDir dir;
  ApiTable t(dir.str());
  ASSERT_EQ(t.Create("p.dbf", {{"ID", 'N', 4, 0}, {"DESCR", 'M', 0, 0}}), 0);
  ASSERT_EQ(t.Open("p.dbf"), 0);
  for (int i = 1; i <= 10; ++i) {
    ASSERT_EQ(t.Append({std::to_string(i), std::string(100 * i, static_cast<char>('a' + i))}), 0);
    if (i % 2 == 0) {
      ASSERT_EQ(XdsDeleteRecord(t.table()), 0);
      ASSERT_EQ(XdsWriteRecord(t.table()), 0);
    }
  }
  ASSERT_EQ(XdsFlushTable(t.table()), 0);
  auto memoBefore = ReadBytes(dir / "p.fpt").size();
  ASSERT_EQ(XdsPackTable(t.table()), 0) << LastError();
  EXPECT_EQ(t.Count(), 5u);
  EXPECT_EQ(t.Recno(), 1u);
  for (int i = 1; i <= 9; i += 2) {
    EXPECT_EQ(t.Field(1, XDS_GET_TRIM), std::to_string(i));
    EXPECT_EQ(t.Field(2), std::string(100 * i, static_cast<char>('a' + i)));
    SkipRecords(t.table(), 1);
  }
  EXPECT_LT(ReadBytes(dir / "p.fpt").size(), memoBefore);
  EXPECT_FALSE(fs::exists(dir / "p.dbf.swap"));
  ASSERT_EQ(XdsZapTable(t.table()), 0) << LastError();
  EXPECT_EQ(t.Count(), 0u);
  ASSERT_EQ(t.Close(), 0);
  std::string b = ReadBytes(dir / "p.dbf");
  uint32_t header = static_cast<uint8_t>(b[8]) | static_cast<uint8_t>(b[9]) << 8;
  EXPECT_EQ(b.size(), header + 1u);
  EXPECT_EQ(ReadBytes(dir / "p.fpt").size(), 512u);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

TEST(Maintenance, PackAndZapNeedAnExclusiveOpen) {
  TempDir dir;
  ApiTable t(dir.str());
  ASSERT_EQ(t.Create("p.dbf", Simple()), 0);
  ASSERT_EQ(t.Open("p.dbf", 0), 0);
  EXPECT_EQ(XdsPackTable(t.table()), 6010);
  EXPECT_EQ(XdsZapTable(t.table()), 6010);
}

std::vector<std::string> Snapshot(const fs::path& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    out.push_back(e.path().filename().string() + "=" + ReadBytes(e.path()));
  }
  std::sort(out.begin(), out.end());
  return out;
}

TEST(Files, ReadOnlyOpenChangesNoByte) {
  if (!fs::exists(FixturesDir() / "catalogue/urls.DBF")) {
    GTEST_SKIP() << "fixtures not found at " << FixturesDir();
  }
  TempDir dir;
  for (const char* f : {"urls.DBF", "urls.fpt"}) {
    fs::copy_file(FixturesDir() / "catalogue" / f, dir / f);
  }
  for (const char* f : {"urls.DBF", "urls.fpt"}) {
    fs::permissions(dir / f,
                    fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  }
  auto before = Snapshot(dir.path());
  {
    ApiTable t(dir.str());
    ASSERT_EQ(t.Open("URLS.dbf", XDS_OPEN_READONLY | XDS_OPEN_EXCLUSIVE, XDS_CHAR_OEM), 0)
        << LastError();
    uint32_t options = 0;
    ASSERT_EQ(XdsGetTableOpenOptions(t.table(), &options), 0);
    EXPECT_EQ(options & 0x63u, 3u);  // exclusive, read-only, neither update nor insert
    while (!t.Eof()) {
      t.Field(2);
      t.Field(3);
      SkipRecords(t.table(), 1);
    }
    ASSERT_EQ(XdsGotoTop(t.table()), 0);
    EXPECT_EQ(XdsAppendRecord(t.table()), 6006);
    EXPECT_EQ(XdsSetField(t.table(), 1, "x", 1), 6006);
    EXPECT_EQ(XdsDeleteRecord(t.table()), 6006);
    EXPECT_EQ(XdsPackTable(t.table()), 6006);
  }
  EXPECT_EQ(Snapshot(dir.path()), before);
}

TEST(Files, StructuralIndexTablesAreWritableOnlyWithTheirIndex) {
  if (!fs::exists(FixturesDir() / "catalogue/TEM.dbf")) {
    GTEST_SKIP() << "fixtures not found at " << FixturesDir();
  }
  TempDir dir;
  fs::copy_file(FixturesDir() / "catalogue/TEM.dbf", dir / "TEM.dbf");
  fs::permissions(dir / "TEM.dbf", fs::perms::owner_write, fs::perm_options::add);
  auto before = Snapshot(dir.path());
  {
    // Without its index file the table can be read but not changed.
    ApiTable t(dir.str());
    ASSERT_EQ(t.Open("tem.dbf", XDS_OPEN_EXCLUSIVE), 0) << LastError();
    EXPECT_EQ(t.Field(1, XDS_GET_TRIM), "1");
    uint32_t options = 0;
    ASSERT_EQ(XdsGetTableOpenOptions(t.table(), &options), 0);
    EXPECT_EQ(options & 0x60u, 0u);
    uint16_t perms = 0;
    ASSERT_EQ(XdsGetColumnPermissions(t.table(), 1, &perms), 0);
    EXPECT_EQ(perms, XDS_PERMISSION_READ);
    EXPECT_EQ(XdsAppendRecord(t.table()), 6007);
    EXPECT_NE(LastError().find("TEM.dbf"), std::string::npos);
    EXPECT_EQ(XdsSetField(t.table(), 2, "x", 1), 6007);
    EXPECT_EQ(XdsDeleteRecord(t.table()), 6007);
    EXPECT_EQ(XdsPackTable(t.table()), 6007);
    EXPECT_EQ(XdsZapTable(t.table()), 6007);
  }
  EXPECT_EQ(Snapshot(dir.path()), before);
  // With it, writes go through and keep the tags true.
  fs::copy_file(FixturesDir() / "catalogue/TEM.cdx", dir / "TEM.cdx");
  fs::permissions(dir / "TEM.cdx", fs::perms::owner_write, fs::perm_options::add);
  {
    ApiTable t(dir.str());
    ASSERT_EQ(t.Open("tem.dbf", XDS_OPEN_EXCLUSIVE), 0) << LastError();
    uint32_t options = 0;
    ASSERT_EQ(XdsGetTableOpenOptions(t.table(), &options), 0);
    EXPECT_EQ(options & 0x60u, 0x60u);
    ASSERT_EQ(XdsAppendRecord(t.table()), 0);
    ASSERT_EQ(XdsSetField(t.table(), 2, "x", 1), 0);
    ASSERT_EQ(XdsWriteRecord(t.table()), 0) << LastError();
  }
  ApiTable c(dir.str());
  char report[1024];
  uint32_t length = sizeof report;
  EXPECT_EQ(XdsCheckTable(c.connection(), "TEM", report, &length), 0)
      << std::string(report, std::min<uint32_t>(length, sizeof report));
}

// Runs `body` in a child process; its return value becomes the exit status.
template <typename F>
int InChild(F body) {
  pid_t pid = fork();
  if (pid == 0) {
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 255;
}

int OpenCode(const std::string& dir, uint32_t options) {
  XDSHANDLE c = 0;
  XDSHANDLE h = 0;
  XDSRESULT r = XdsConnect60(dir.c_str(), 1, "", "", 0, &c);
  if (r != 0) {
    return 1;
  }
  r = XdsOpenTable(c, "l.dbf", nullptr, 2, 1, 1, 1, options, &h);
  if (r == 0) {
    EXPECT_EQ(XdsCloseTable(h), 0);
  }
  return r == 0 ? 0 : (r == 6003 ? 3 : 1);
}

TEST(Locks, ExclusiveOpensAreEnforcedBetweenProcesses) {
  TempDir dir;
  ApiTable t(dir.str());
  ASSERT_EQ(t.Create("l.dbf", Simple()), 0);
  ASSERT_EQ(t.Open("l.dbf", XDS_OPEN_EXCLUSIVE), 0);
  EXPECT_EQ(InChild([&] { return OpenCode(dir.str(), 0); }), 3);
  EXPECT_EQ(InChild([&] { return OpenCode(dir.str(), XDS_OPEN_READONLY); }), 3);
  EXPECT_EQ(OpenCode(dir.str(), 0), 3);  // a second open in this process too
  ASSERT_EQ(t.Open("l.dbf", 0), 0);      // shared
  EXPECT_EQ(InChild([&] { return OpenCode(dir.str(), 0); }), 0);
  EXPECT_EQ(InChild([&] { return OpenCode(dir.str(), XDS_OPEN_EXCLUSIVE); }), 3);
  t.Close();
  EXPECT_EQ(InChild([&] { return OpenCode(dir.str(), XDS_OPEN_EXCLUSIVE); }), 0);
}

TEST(Locks, RecordLocksHoldBetweenProcesses) {
  TempDir dir;
  ApiTable t(dir.str());
  ASSERT_EQ(t.Create("l.dbf", Simple()), 0);
  ASSERT_EQ(t.Open("l.dbf", 0), 0);
  ASSERT_EQ(t.Append({"1", "a"}), 0);
  ASSERT_EQ(t.Append({"2", "b"}), 0);
  ASSERT_EQ(XdsLockRecord(t.table(), 1), 0);
  auto tryLock = [&](uint32_t recno) {
    return InChild([&] {
      XDSHANDLE c = 0;
      XDSHANDLE h = 0;
      if (XdsConnect60(dir.str().c_str(), 1, "", "", 0, &c) != 0 ||
          XdsOpenTable(c, "l.dbf", nullptr, 2, 1, 1, 1, 0, &h) != 0) {
        return 9;
      }
      XDSRESULT r = XdsLockRecord(h, recno);
      return r == 0 ? 0 : (r == 6003 ? 3 : 1);
    });
  };
  EXPECT_EQ(tryLock(1), 3);
  EXPECT_EQ(tryLock(2), 0);
  ASSERT_EQ(XdsUnlockRecord(t.table(), 1), 0);
  EXPECT_EQ(tryLock(1), 0);
  EXPECT_EQ(XdsLockRecord(t.table(), 3), 5022);
}

TEST(Files, SharedOpensSeeEachOthersAppends) {
  TempDir dir;
  ApiTable a(dir.str());
  ApiTable b(dir.str());
  ASSERT_EQ(a.Create("s.dbf", Simple()), 0);
  ASSERT_EQ(a.Open("s.dbf", 0), 0);
  ASSERT_EQ(b.Open("s.dbf", 0), 0);
  ASSERT_EQ(a.Append({"1", "from a"}), 0);
  ASSERT_EQ(b.Append({"2", "from b"}), 0);
  EXPECT_EQ(b.Recno(), 2u);
  EXPECT_EQ(a.Count(XDS_COUNT_IGNORE_FILTERS | XDS_COUNT_FRESH), 2u);
  ASSERT_EQ(XdsGotoBottom(a.table()), 0);
  EXPECT_EQ(a.Field(2, XDS_GET_TRIM), "from b");
}

}  // namespace
}  // namespace xcetest
