// Indexes through the C API: fixture tables in every tag's order, seeks,
// scopes, key positions, bookmarks across index handles, tag creation.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "cdx_test_util.h"
#include "temp_dir.h"
#include "xce.h"

namespace xce::cdx {
namespace {

namespace fs = std::filesystem;

using TempDir = testsupport::TempDir;

std::string LastError() {
  int32_t code = 0;
  char text[600];
  uint16_t length = sizeof text;
  XdsGetLastError(&code, text, &length);
  return std::to_string(code) + " " + std::string(text, length);
}

std::vector<uint32_t> CsvRecnos(const fs::path& csv) {
  std::vector<uint32_t> out;
  std::ifstream in(csv);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) {
      out.push_back(static_cast<uint32_t>(std::stoul(line.substr(0, line.find(';')))));
    }
  }
  return out;
}

// Record numbers visited from top to bottom through a handle.
std::vector<uint32_t> Visit(XDSHANDLE handle) {
  std::vector<uint32_t> out;
  XDSRESULT r = XdsGotoTop(handle);
  while (r == 0) {
    uint16_t eof = 1;
    EXPECT_EQ(XdsAtEOF(handle, &eof), 0);
    if (eof) {
      break;
    }
    uint32_t recno = 0;
    EXPECT_EQ(XdsGetRecordNum(handle, XDS_COUNT_IGNORE_FILTERS, &recno), 0);
    out.push_back(recno);
    r = XdsSkip(handle, 1);
  }
  return out;
}

std::vector<uint32_t> VisitBackwards(XDSHANDLE handle) {
  std::vector<uint32_t> out;
  XDSRESULT r = XdsGotoBottom(handle);
  while (r == 0) {
    uint16_t bof = 1;
    EXPECT_EQ(XdsAtBOF(handle, &bof), 0);
    if (bof) {
      break;
    }
    uint32_t recno = 0;
    EXPECT_EQ(XdsGetRecordNum(handle, XDS_COUNT_IGNORE_FILTERS, &recno), 0);
    out.push_back(recno);
    r = XdsSkip(handle, -1);
  }
  std::reverse(out.begin(), out.end());
  return out;
}

class Connection {
 public:
  explicit Connection(const fs::path& dir) {
    EXPECT_EQ(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &handle_), 0) << LastError();
  }
  ~Connection() { EXPECT_EQ(XdsDisconnect(handle_), 0); }
  XDSHANDLE handle() const { return handle_; }
  XDSHANDLE Open(const std::string& name, uint32_t options = XDS_OPEN_EXCLUSIVE,
                 uint16_t charType = XDS_CHAR_ANSI) {
    XDSHANDLE t = 0;
    XDSRESULT r =
        XdsOpenTable(handle_, name.c_str(), nullptr, XDS_TABLE_CDX, charType, 1, 1, options, &t);
    EXPECT_EQ(r, 0) << LastError();
    return t;
  }

 private:
  XDSHANDLE handle_ = 0;
};

std::string IndexName(XDSHANDLE index) {
  char name[64];
  uint16_t length = sizeof name;
  EXPECT_EQ(XdsGetIndexName(index, name, &length), 0);
  return std::string(name, length);
}

TEST(CdxApiTest, FixtureTablesVisitEveryTagInTheOrderOfItsCsvAndCheckClean) {
  const fs::path fixtures = testing::FixturesDir();
  if (!fs::exists(fixtures / "big")) {
    GTEST_SKIP() << "fixtures not found at " << fixtures;
  }
  struct Set {
    const char* dir;
    const char* table;
    uint16_t charType;
  } sets[] = {{"catalogue", "TEM", XDS_CHAR_ANSI},  {"catalogue", "TYPE", XDS_CHAR_ANSI},
              {"catalogue", "urls", XDS_CHAR_OEM},  {"catalogue", "URLIN", XDS_CHAR_ANSI},
              {"types", "ALLTYPES", XDS_CHAR_ANSI}, {"big", "BIG", XDS_CHAR_OEM}};
  for (const Set& set : sets) {
    SCOPED_TRACE(set.table);
    TempDir dir;
    for (const auto& e : fs::directory_iterator(fixtures / set.dir)) {
      if (e.path().stem() == set.table && e.path().extension() != ".csv") {
        fs::copy_file(e.path(), dir.path() / e.path().filename());
      }
    }
    Connection c(dir.path());
    XDSHANDLE t = c.Open(set.table, XDS_OPEN_EXCLUSIVE | XDS_OPEN_REINDEX_ON_COLLATION_MISMATCH,
                         set.charType);
    ASSERT_NE(t, 0u);
    XDSHANDLE handles[50];
    uint16_t count = 50;
    ASSERT_EQ(XdsGetAllIndexes(t, &count, handles), 0) << LastError();
    ASSERT_GT(count, 0);
    for (uint16_t i = 0; i < count; ++i) {
      std::string name = IndexName(handles[i]);
      SCOPED_TRACE(name);
      std::vector<uint32_t> want =
          CsvRecnos(fixtures / set.dir / (std::string(set.table) + "." + name + ".csv"));
      EXPECT_EQ(Visit(handles[i]), want);
      EXPECT_EQ(VisitBackwards(handles[i]), want);
      XDSHANDLE same = 0;
      ASSERT_EQ(XdsGetIndexHandle(t, name.c_str(), &same), 0);
      EXPECT_EQ(same, handles[i]);
    }
    EXPECT_EQ(XdsCloseTable(t), 0);
    char report[4096];
    uint32_t length = sizeof report;
    EXPECT_EQ(XdsCheckTable(c.handle(), set.table, report, &length), 0)
        << std::string(report, std::min<uint32_t>(length, sizeof report));
  }
}

// A table changed behind its index's back, and an index with a damaged
// page, are both reported by the check; neither crashes.
TEST(CdxApiTest, CheckReportsStaleAndDamagedIndexes) {
  const fs::path fixtures = testing::FixturesDir();
  if (!fs::exists(fixtures / "catalogue")) {
    GTEST_SKIP() << "fixtures not found at " << fixtures;
  }
  for (bool damagePage : {false, true}) {
    TempDir dir;
    fs::copy_file(fixtures / "catalogue/TEM.dbf", dir.path() / "TEM.dbf");
    fs::copy_file(fixtures / "catalogue/TEM.cdx", dir.path() / "TEM.cdx");
    fs::permissions(dir.path() / "TEM.dbf", fs::perms::owner_write, fs::perm_options::add);
    fs::permissions(dir.path() / "TEM.cdx", fs::perms::owner_write, fs::perm_options::add);
    std::vector<uint8_t> bytes;
    if (damagePage) {
      bytes = testing::ReadBytes(dir.path() / "TEM.cdx");
      PutLe32(bytes.data() + 0xA00 + 8, 0xA00);  // a leaf that is its own right sibling
      std::ofstream(dir.path() / "TEM.cdx", std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    } else {
      bytes = testing::ReadBytes(dir.path() / "TEM.dbf");
      uint32_t header = Le16(bytes.data() + 8);
      bytes[header + 1 + 10] = 'Z';  // the first record's INNAME, behind the index's back
      std::ofstream(dir.path() / "TEM.dbf", std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    }
    Connection c(dir.path());
    char report[4096];
    uint32_t length = sizeof report;
    EXPECT_NE(XdsCheckTable(c.handle(), "TEM", report, &length), 0);
    std::string text(report, std::min<uint32_t>(length, sizeof report));
    EXPECT_NE(text.find(damagePage ? "TEM.cdx" : "wrong key"), std::string::npos) << text;
  }
}

// A small table of names made through the API, for the movement tests.
class NamesTable : public ::testing::Test {
 protected:
  void SetUp() override {
    conn_ = std::make_unique<Connection>(dir_.path());
    XDSFIELDDEF fields[] = {{"NAME", 'C', 12, 0}, {"NUM", 'N', 6, 0}};
    ASSERT_EQ(XdsCreateTable(conn_->handle(), "names", XDS_CHAR_ANSI, 2, fields), 0) << LastError();
    table_ = conn_->Open("names");
    const char* names[] = {"pear", "apple", "fig", "apricot", "plum", "apple", "banana", "kiwi"};
    for (int i = 0; i < 8; ++i) {
      ASSERT_EQ(XdsAppendRecord(table_), 0);
      ASSERT_EQ(XdsSetField(table_, 1, names[i], static_cast<uint32_t>(std::strlen(names[i]))), 0);
      std::string num = std::to_string((i * 37) % 11 - 5);
      ASSERT_EQ(XdsSetField(table_, 2, num.c_str(), static_cast<uint32_t>(num.size())), 0);
      ASSERT_EQ(XdsWriteRecord(table_), 0) << LastError();
    }
    ASSERT_EQ(XdsCreateIndexTag(table_, "NAME", "NAME", "", 0, 0), 0) << LastError();
    ASSERT_EQ(XdsCreateIndexTag(table_, "NUMD", "NUM", "", 0, 1), 0) << LastError();
    ASSERT_EQ(XdsCreateIndexTag(table_, "POS", "NAME", "NUM > 0", 0, 0), 0) << LastError();
    ASSERT_EQ(XdsGetIndexHandle(table_, "name", &name_), 0);
    ASSERT_EQ(XdsGetIndexHandle(table_, "numd", &numd_), 0);
  }
  // A test that closed the table itself leaves a stale handle here.
  void TearDown() override {
    const XDSRESULT r = XdsCloseTable(table_);
    EXPECT_TRUE(r == 0 || r == XDS_ERR_INVALID_HANDLE) << r;
  }

  uint32_t Recno() {
    uint32_t r = 0;
    EXPECT_EQ(XdsGetRecordNum(table_, XDS_COUNT_IGNORE_FILTERS, &r), 0);
    return r;
  }

  TempDir dir_;
  std::unique_ptr<Connection> conn_;
  XDSHANDLE table_ = 0, name_ = 0, numd_ = 0;
};

TEST_F(NamesTable, TagsFollowAppendsWritesAndSurviveReopening) {
  EXPECT_EQ(Visit(name_), (std::vector<uint32_t>{2, 6, 4, 7, 3, 8, 1, 5}));
  // Change "kiwi" to "cherry": it moves in NAME order at once.
  ASSERT_EQ(XdsGotoRecord(table_, 8), 0);
  ASSERT_EQ(XdsSetField(table_, 1, "cherry", 6), 0);
  ASSERT_EQ(XdsWriteRecord(table_), 0);
  EXPECT_EQ(Visit(name_), (std::vector<uint32_t>{2, 6, 4, 7, 8, 3, 1, 5}));
  std::vector<uint32_t> desc = Visit(numd_);
  ASSERT_EQ(XdsCloseTable(table_), 0);
  table_ = conn_->Open("names");
  ASSERT_EQ(XdsGetIndexHandle(table_, "NAME", &name_), 0);
  ASSERT_EQ(XdsGetIndexHandle(table_, "NUMD", &numd_), 0);
  EXPECT_EQ(Visit(name_), (std::vector<uint32_t>{2, 6, 4, 7, 8, 3, 1, 5}));
  EXPECT_EQ(Visit(numd_), desc);
  XDSHANDLE pos = 0;
  ASSERT_EQ(XdsGetIndexHandle(table_, "POS", &pos), 0);
  char cond[64];
  uint16_t length = sizeof cond;
  ASSERT_EQ(XdsGetIndexCondition(pos, cond, &length), 0);
  EXPECT_EQ(std::string(cond, length), "NUM > 0");
  uint16_t segments = 0;
  ASSERT_EQ(XdsGetNumSegments(pos, &segments), 0);
  EXPECT_EQ(segments, 1);
  uint16_t flag = 0;
  ASSERT_EQ(XdsIsIndexDescending(numd_, &flag), 0);
  EXPECT_EQ(flag, 1);
}

TEST_F(NamesTable, RewriteFromAnotherTableRebuildsEveryTag) {
  XDSFIELDDEF fields[] = {{"NAME", 'C', 12, 0}, {"NUM", 'N', 6, 0}};
  ASSERT_EQ(XdsCreateTable(conn_->handle(), "fresh", XDS_CHAR_ANSI, 2, fields), 0) << LastError();
  XDSHANDLE fresh = conn_->Open("fresh");
  for (const char* name : {"zebra", "ant", "mole"}) {
    ASSERT_EQ(XdsAppendRecord(fresh), 0);
    ASSERT_EQ(XdsSetField(fresh, 1, name, static_cast<uint32_t>(std::strlen(name))), 0);
    ASSERT_EQ(XdsSetField(fresh, 2, "3", 1), 0);
    ASSERT_EQ(XdsWriteRecord(fresh), 0) << LastError();
  }
  // A table of other fields is refused and changes nothing.
  XDSFIELDDEF other[] = {{"NAME", 'C', 11, 0}, {"NUM", 'N', 6, 0}};
  ASSERT_EQ(XdsCreateTable(conn_->handle(), "other", XDS_CHAR_ANSI, 2, other), 0) << LastError();
  XDSHANDLE wrong = conn_->Open("other");
  EXPECT_EQ(XdsRewriteTable(table_, wrong), XDS_ERR_BAD_ARGUMENT);
  EXPECT_EQ(XdsRewriteTable(table_, table_), XDS_ERR_BAD_ARGUMENT);
  ASSERT_EQ(XdsCloseTable(wrong), 0);
  EXPECT_EQ(Visit(name_).size(), 8u);

  ASSERT_EQ(XdsRewriteTable(table_, fresh), 0) << LastError();
  EXPECT_EQ(Recno(), 1u);
  EXPECT_EQ(Visit(name_), (std::vector<uint32_t>{2, 3, 1}));
  // As many new records as old ones: the keys are the new records' all the
  // same (not the old entries renumbered, as a pack may).
  ASSERT_EQ(XdsGotoRecord(fresh, 2), 0);
  ASSERT_EQ(XdsSetField(fresh, 1, "zzz", 3), 0);
  ASSERT_EQ(XdsWriteRecord(fresh), 0);
  ASSERT_EQ(XdsRewriteTable(table_, fresh), 0) << LastError();
  ASSERT_EQ(XdsCloseTable(fresh), 0);
  EXPECT_EQ(Visit(name_), (std::vector<uint32_t>{3, 1, 2}));
  ASSERT_EQ(XdsCloseTable(table_), 0);
  table_ = conn_->Open("names");
  ASSERT_EQ(XdsGetIndexHandle(table_, "NAME", &name_), 0);
  EXPECT_EQ(Visit(name_), (std::vector<uint32_t>{3, 1, 2}));
  XDSHANDLE pos = 0;
  ASSERT_EQ(XdsGetIndexHandle(table_, "POS", &pos), 0);
  EXPECT_EQ(Visit(pos), (std::vector<uint32_t>{3, 1, 2}));
  ASSERT_EQ(XdsCloseTable(table_), 0);
  table_ = 0;
  std::string report(4096, '\0');
  uint32_t length = static_cast<uint32_t>(report.size());
  EXPECT_EQ(XdsCheckTable(conn_->handle(), "names.dbf", report.data(), &length), 0)
      << report.substr(0, std::min<size_t>(length, report.size()));
}

TEST_F(NamesTable, SeekFindsExactAndPartialRawKeys) {
  struct Case {
    const char* value;
    bool partial;
    uint16_t found;
    uint32_t recno;
  } cases[] = {{"apple", false, 1, 2}, {"ap", true, 1, 2},      {"apr", true, 1, 4},
               {"b", true, 1, 7},      {"cherry", false, 0, 3}, {"zz", true, 0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.value);
    ASSERT_EQ(XdsInitRawKey(name_), 0);
    std::string v = c.value;
    if (!c.partial) {
      v.resize(12, ' ');
    }
    ASSERT_EQ(XdsSetField(name_, 1, v.data(), static_cast<uint32_t>(v.size())), 0);
    uint8_t key[256];
    uint16_t keyLength = sizeof key;
    ASSERT_EQ(XdsBuildRawKey(name_, key, &keyLength), 0) << LastError();
    EXPECT_EQ(keyLength, c.partial ? std::strlen(c.value) : 12u);
    uint16_t found = 9;
    ASSERT_EQ(XdsSeek(name_, key, keyLength, XDS_KEY_RAW, XDS_SEEK_SOFT, &found), 0) << LastError();
    EXPECT_EQ(found, c.found);
    uint16_t eof = 0;
    EXPECT_EQ(XdsAtEOF(table_, &eof), 0);
    EXPECT_EQ(eof != 0, c.recno == 0);
    if (c.recno != 0) {
      EXPECT_EQ(Recno(), c.recno);
    }
  }
}

TEST_F(NamesTable, HardSeekUnderAFilterFindsTheFirstVisibleEqualKeyOrEndsAtTheEnd) {
  auto seek = [&](const char* value, uint16_t* found) {
    return XdsSeek(name_, value, static_cast<uint16_t>(std::strlen(value)), XDS_KEY_STRING,
                   XDS_SEEK_HARD, found);
  };
  // The first "apple" (record 2, NUM -1) is hidden; the second (6, NUM 4) is not.
  ASSERT_EQ(XdsSetAOF(table_, "NUM > 0", 2), 0) << LastError();
  uint16_t found = 9;
  ASSERT_EQ(seek("apple", &found), 0) << LastError();
  EXPECT_EQ(found, 1);
  EXPECT_EQ(Recno(), 6u);
  uint16_t eof = 0;
  ASSERT_EQ(XdsSkip(name_, 1), 0) << "the order goes on from the record found";
  EXPECT_EQ(Recno(), 3u) << "fig: apricot and banana are hidden";
  // Every "apple" hidden: not found, at the end, whatever follows the key.
  ASSERT_EQ(XdsSetAOF(table_, "NUM > 3 AND NAME <> \"apple\"", 2), 0) << LastError();
  ASSERT_EQ(seek("apple", &found), 0) << LastError();
  EXPECT_EQ(found, 0);
  ASSERT_EQ(XdsAtEOF(table_, &eof), 0);
  EXPECT_EQ(eof, 1);
  ASSERT_EQ(seek("ap", &found), 0) << LastError();
  EXPECT_EQ(found, 0) << "no visible name begins with ap";
  ASSERT_EQ(XdsClearAOF(table_), 0);
  ASSERT_EQ(seek("ap", &found), 0) << LastError();
  EXPECT_EQ(found, 1);
  EXPECT_EQ(Recno(), 2u);
}

TEST_F(NamesTable, ScopesLimitMovementAndCounting) {
  ASSERT_EQ(XdsSetScope(name_, XDS_SCOPE_TOP, "apple", 5, XDS_KEY_STRING), 0);
  ASSERT_EQ(XdsSetScope(name_, XDS_SCOPE_BOTTOM, "b", 1, XDS_KEY_STRING), 0);
  EXPECT_EQ(Visit(name_), (std::vector<uint32_t>{2, 6, 4, 7}));
  EXPECT_EQ(VisitBackwards(name_), (std::vector<uint32_t>{2, 6, 4, 7}));
  uint32_t count = 0;
  ASSERT_EQ(XdsGetRecordCount(name_, XDS_COUNT_RESPECT_SCOPES, &count), 0);
  EXPECT_EQ(count, 4u);
  char top[16];
  uint16_t length = sizeof top;
  ASSERT_EQ(XdsGetScope(name_, XDS_SCOPE_TOP, top, &length), 0);
  EXPECT_EQ(std::string(top, length), "apple");
  ASSERT_EQ(XdsClearScope(name_, XDS_SCOPE_TOP), 0);
  EXPECT_EQ(XdsClearScope(name_, XDS_SCOPE_TOP), 5038);
  EXPECT_EQ(XdsGetScope(name_, XDS_SCOPE_TOP, top, &length), 5038);
  ASSERT_EQ(XdsClearAllScopes(table_), 0);
  EXPECT_EQ(XdsGetScope(name_, XDS_SCOPE_BOTTOM, top, &length), 5038);
  EXPECT_EQ(Visit(name_).size(), 8u);
  // A numeric descending tag scoped from 3 down to -2.
  ASSERT_EQ(XdsSetScope(numd_, XDS_SCOPE_TOP, "3", 1, XDS_KEY_STRING), 0);
  ASSERT_EQ(XdsSetScope(numd_, XDS_SCOPE_BOTTOM, "-2", 2, XDS_KEY_STRING), 0);
  std::vector<uint32_t> scoped = Visit(numd_);
  for (uint32_t r : scoped) {
    int num = static_cast<int>(((r - 1) * 37) % 11) - 5;
    EXPECT_TRUE(num <= 3 && num >= -2) << r;
  }
  EXPECT_FALSE(scoped.empty());
}

TEST_F(NamesTable, KeyPositionsAndBookmarksAcrossHandles) {
  ASSERT_EQ(XdsGotoTop(name_), 0);
  double pos = -1;
  ASSERT_EQ(XdsGetRelKeyPos(name_, &pos), 0);
  EXPECT_EQ(pos, 0.0);
  ASSERT_EQ(XdsGotoBottom(name_), 0);
  ASSERT_EQ(XdsGetRelKeyPos(name_, &pos), 0);
  EXPECT_EQ(pos, 1.0);
  ASSERT_EQ(XdsSetRelKeyPos(name_, 3.0 / 7.0), 0);
  EXPECT_EQ(Recno(), 7u);  // the fourth name: banana
  ASSERT_EQ(XdsGetRelKeyPos(name_, &pos), 0);
  EXPECT_NEAR(pos, 3.0 / 7.0, 1e-12);
  // A bookmark taken through one index handle returns through another.
  uint32_t mark = 0;
  ASSERT_EQ(XdsGetBookmark(name_, &mark), 0);
  ASSERT_EQ(XdsGotoTop(numd_), 0);
  ASSERT_EQ(XdsGotoBookmark(numd_, mark), 0);
  EXPECT_EQ(Recno(), 7u);
  ASSERT_EQ(XdsSkip(name_, 1), 0);
  EXPECT_EQ(Recno(), 3u);  // fig follows banana in NAME order
  XDSHANDLE pos0 = 0;
  ASSERT_EQ(XdsGetIndexHandle(table_, "POS", &pos0), 0);
  ASSERT_EQ(XdsGotoRecord(table_, 1), 0);
  double p = 0;
  int32_t code = XdsGetRelKeyPos(pos0, &p);
  // Record 1 has NUM -5, outside the FOR condition: no position.
  EXPECT_EQ(code, 5041);
}

TEST_F(NamesTable, DeletingTheLastTagRemovesTheFileAndTheFlag) {
  for (const char* tag : {"NAME", "NUMD", "POS"}) {
    ASSERT_EQ(XdsDeleteIndexTag(table_, tag), 0) << LastError();
  }
  uint16_t count = 50;
  XDSHANDLE handles[50];
  ASSERT_EQ(XdsGetAllIndexes(table_, &count, handles), 0);
  EXPECT_EQ(count, 0);
  EXPECT_FALSE(fs::exists(dir_.path() / "names.cdx"));
  ASSERT_EQ(XdsCloseTable(table_), 0);
  table_ = conn_->Open("names");
  ASSERT_EQ(XdsAppendRecord(table_), 0);
  EXPECT_EQ(XdsWriteRecord(table_), 0) << LastError();
}

}  // namespace
}  // namespace xce::cdx

namespace xce::cdx {
namespace {

// Optimized filters answered from tags give the records that evaluating
// every record gives, for index terms, other terms and their mixtures.
TEST(CdxApiTest, OptimizedFiltersFromTagsEqualEvaluatingEveryRecord) {
  TempDir dir;
  Connection c(dir.path());
  XDSFIELDDEF fields[] = {{"NAME", 'C', 8, 0}, {"NUM", 'N', 6, 1}, {"D", 'D', 8, 0}};
  ASSERT_EQ(XdsCreateTable(c.handle(), "f", XDS_CHAR_ANSI, 3, fields), 0) << LastError();
  XDSHANDLE t = c.Open("f");
  std::mt19937 rng(99);
  const char* names[] = {"ab", "abc", "abd", "b", "", "ab c", "zz", "\xC0\xC1"};
  for (int i = 0; i < 400; ++i) {
    ASSERT_EQ(XdsAppendRecord(t), 0);
    const char* n = names[rng() % std::size(names)];
    ASSERT_EQ(XdsSetField(t, 1, n, static_cast<uint32_t>(std::strlen(n))), 0);
    std::string num = std::to_string(static_cast<int>(rng() % 21) - 10) + ".5";
    ASSERT_EQ(XdsSetField(t, 2, num.c_str(), static_cast<uint32_t>(num.size())), 0);
    std::string d = rng() % 5 == 0 ? "" : "202401" + std::to_string(10 + rng() % 20);
    ASSERT_EQ(XdsSetField(t, 3, d.c_str(), static_cast<uint32_t>(d.size())), 0);
    ASSERT_EQ(XdsWriteRecord(t), 0) << LastError();
  }
  ASSERT_EQ(XdsCreateIndexTag(t, "NAME", "NAME", "", 0, 0), 0) << LastError();
  ASSERT_EQ(XdsCreateIndexTag(t, "NUM", "NUM", "", 0, 1), 0) << LastError();
  ASSERT_EQ(XdsCreateIndexTag(t, "D", "D", "", 0, 0), 0) << LastError();
  const char* filters[] = {
      "NAME = \"ab\"",
      "NAME == \"ab      \"",
      "NAME <> \"ab\"",
      "NAME < \"abd\"",
      "NAME >= \"ab c\"",
      "NAME > \"b\"",
      "NAME <= \"\"",
      "\"abc\" = NAME",
      "NUM = 2.5",
      "NUM > -3.5",
      "NUM <= 0.5",
      "5 < NUM",
      "NUM # 1.5",
      "D = {^2024-01-15}",
      "D < {^2024-01-20}",
      "EMPTY(D)",
      "NAME = \"ab\" AND NUM > 0",
      "NAME = \"ab\" OR NUM > 8",
      "NOT (NUM > 0) .AND. NAME >= \"b\"",
      "NAME = \"a\" AND RECNO() % 3 = 0",
      "!(NAME = \"ab\") OR EMPTY(D)",
      "(NUM < 0 OR NUM > 5) AND NOT DELETED()",
      "NAME = \"ab\" AND (NUM = 1.5 OR NUM = 2.5 OR D > {^2024-01-25})",
  };
  for (uint16_t exact : {0, 1}) {
    ASSERT_EQ(XdsSetExact22(t, exact), 0);
    for (const char* f : filters) {
      SCOPED_TRACE(std::string(f) + (exact ? " exact" : ""));
      uint32_t optimized = 0;
      uint32_t plain = 0;
      ASSERT_EQ(XdsSetAOF(t, f, 1), 0) << LastError();
      ASSERT_EQ(XdsGetRecordCount(t, XDS_COUNT_RESPECT_FILTERS, &optimized), 0);
      std::vector<uint32_t> viaAof = Visit(t);
      ASSERT_EQ(XdsClearAOF(t), 0);
      ASSERT_EQ(XdsSetFilter(t, f), 0) << LastError();
      ASSERT_EQ(XdsGetRecordCount(t, XDS_COUNT_RESPECT_FILTERS, &plain), 0);
      std::vector<uint32_t> viaFilter = Visit(t);
      ASSERT_EQ(XdsClearFilter(t), 0);
      EXPECT_EQ(optimized, plain);
      EXPECT_EQ(viaAof, viaFilter);
    }
  }
  EXPECT_EQ(XdsCloseTable(t), 0);
}

}  // namespace
}  // namespace xce::cdx

namespace xce::cdx {
namespace {

// Going to either end of an index order under an optimized filter that keeps
// a few records far along the order compares their places instead of walking
// to them; it must land where the walk lands, a hidden record passed over.
TEST(CdxApiTest, EndsOfAnIndexOrderUnderANarrowFilterAreWhereAWalkLands) {
  TempDir dir;
  Connection c(dir.path());
  XDSFIELDDEF fields[] = {{"NUM", 'N', 6, 0}};
  ASSERT_EQ(XdsCreateTable(c.handle(), "w", XDS_CHAR_ANSI, 1, fields), 0) << LastError();
  XDSHANDLE t = c.Open("w");
  uint32_t withNum1500 = 0;
  for (uint32_t i = 1; i <= 2000; ++i) {  // NUM runs through 0..1999 out of record order
    const uint32_t num = i * 7919 % 2000;
    withNum1500 = num == 1500 ? i : withNum1500;
    std::string text = std::to_string(num);
    ASSERT_EQ(XdsAppendRecord(t), 0);
    ASSERT_EQ(XdsSetField(t, 1, text.c_str(), static_cast<uint32_t>(text.size())), 0);
    ASSERT_EQ(XdsWriteRecord(t), 0) << LastError();
  }
  ASSERT_EQ(XdsCreateIndexTag(t, "NUM", "NUM", "", 0, 0), 0) << LastError();
  ASSERT_EQ(XdsCreateIndexTag(t, "NUMD", "NUM", "", 0, 1), 0) << LastError();
  ASSERT_EQ(XdsGotoRecord(t, withNum1500), 0);
  ASSERT_EQ(XdsDeleteRecord(t), 0);
  ASSERT_EQ(XdsWriteRecord(t), 0);
  const char* filter = "NUM = 1500 OR NUM = 1600 OR NUM = 1700";
  for (uint16_t hidden : {0, 1}) {
    ASSERT_EQ(XdsSetDeleted(t, hidden), 0);
    for (const char* tag : {"NUM", "NUMD"}) {
      SCOPED_TRACE(std::string(tag) + (hidden ? ", deleted hidden" : ""));
      XDSHANDLE order = 0;
      ASSERT_EQ(XdsGetIndexHandle(t, tag, &order), 0);
      ASSERT_EQ(XdsSetFilter(t, filter), 0) << LastError();
      const std::vector<uint32_t> walked = Visit(order);
      const std::vector<uint32_t> walkedBack = VisitBackwards(order);
      ASSERT_EQ(XdsClearFilter(t), 0);
      ASSERT_EQ(XdsSetAOF(t, filter, 1), 0) << LastError();
      EXPECT_EQ(Visit(order), walked);
      EXPECT_EQ(VisitBackwards(order), walkedBack);
      ASSERT_EQ(XdsClearAOF(t), 0);
      EXPECT_EQ(walked.size(), hidden ? 2u : 3u);
    }
  }
  EXPECT_EQ(XdsCloseTable(t), 0);
}

}  // namespace
}  // namespace xce::cdx
