// Every table of the real-world fixture set either opens and reads to the
// end, or fails with a clear error naming the file; never a crash or a hang.
#include <algorithm>

#include "test_util.h"

namespace xcetest {
namespace {

bool IsTable(const fs::path& p) {
  std::string ext = p.extension().string();
  std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
  return ext == ".dbf" || ext == ".dbc";
}

// Every tag walks to its end both ways over the same records, whatever order
// its writer left the keys in; a tag without a FOR condition holds at most
// one entry per record.
void WalkEveryTag(ApiTable& t, uint32_t records, int* walked) {
  XDSHANDLE tags[64];
  uint16_t count = 64;
  ASSERT_EQ(XdsGetAllIndexes(t.table(), &count, tags), 0) << LastError();
  for (uint16_t i = 0; i < count; ++i) {
    char name[32];
    uint16_t length = sizeof name;
    ASSERT_EQ(XdsGetIndexName(tags[i], name, &length), 0);
    SCOPED_TRACE(std::string("tag ") + std::string(name, length));
    std::vector<uint32_t> forward;
    std::vector<uint32_t> backward;
    for (bool back : {false, true}) {
      std::vector<uint32_t>& seen = back ? backward : forward;
      ASSERT_EQ(back ? XdsGotoBottom(tags[i]) : XdsGotoTop(tags[i]), 0) << LastError();
      while (seen.size() <= records) {
        uint16_t end = 0;
        back ? XdsAtBOF(tags[i], &end) : XdsAtEOF(tags[i], &end);
        if (end != 0) {
          break;
        }
        uint32_t recno = 0;
        ASSERT_EQ(XdsGetRecordNum(tags[i], XDS_COUNT_IGNORE_FILTERS, &recno), 0);
        seen.push_back(recno);
        XDSRESULT s = XdsSkip(tags[i], back ? -1 : 1);
        ASSERT_TRUE(s == 0 || s == XDS_ERR_NO_CURRENT_RECORD) << LastError();
      }
    }
    ++*walked;
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(forward, backward);
    length = sizeof name;
    ASSERT_EQ(XdsGetIndexCondition(tags[i], name, &length), 0);
    if (length == 0) {
      EXPECT_LE(forward.size(), records);
    }
  }
}

TEST(RealWorld, EveryTableOpensAndReadsOrFailsClearly) {
  fs::path root = FixturesDir() / "realworld";
  if (!fs::exists(root)) {
    GTEST_SKIP() << "fixtures not found at " << root;
  }
  int opened = 0;
  int refused = 0;
  int tagsWalked = 0;
  for (const auto& e : fs::recursive_directory_iterator(root)) {
    if (!e.is_regular_file() || !IsTable(e.path())) {
      continue;
    }
    SCOPED_TRACE(e.path().string());
    ApiTable t(e.path().parent_path().string());
    XDSRESULT r = t.Open(e.path().filename().string(), XDS_OPEN_READONLY);
    if (r != 0) {
      ++refused;
      EXPECT_NE(LastError().find(e.path().filename().string()), std::string::npos) << LastError();
      continue;
    }
    ++opened;
    uint16_t fields = 0;
    uint32_t length = 0;
    ASSERT_EQ(XdsGetNumFields(t.table(), &fields), 0);
    ASSERT_EQ(XdsGetRecordLength(t.table(), &length), 0);
    std::vector<char> rec(length);
    std::vector<char> value(1 << 20);
    uint32_t records = 0;
    while (!t.Eof()) {
      ASSERT_EQ(XdsGetRecord(t.table(), rec.data(), length), 0) << LastError();
      for (uint16_t f = 1; f <= fields; ++f) {
        uint32_t len = static_cast<uint32_t>(value.size());
        if (XdsGetField(t.table(), f, value.data(), &len, 0) != 0) {
          EXPECT_FALSE(LastError().empty());
        }
      }
      ++records;
      XDSRESULT s = XdsSkip(t.table(), 1);
      ASSERT_TRUE(s == 0 || s == 5068) << LastError();
    }
    EXPECT_EQ(records, t.Count());
    WalkEveryTag(t, records, &tagsWalked);
    t.Close();
    std::vector<char> report(1 << 16);
    uint32_t len = static_cast<uint32_t>(report.size());
    if (XdsCheckTable(t.connection(), e.path().filename().c_str(), report.data(), &len) != 0) {
      EXPECT_NE(LastError().find(e.path().filename().string()), std::string::npos) << LastError();
    }
  }
  EXPECT_GT(opened, 30);
  EXPECT_GE(tagsWalked, 30);
  RecordProperty("opened", opened);
  RecordProperty("refused", refused);
}

}  // namespace
}  // namespace xcetest
