// Index files another program wrote with a few keys out of byte order: the
// tag is walked and counted as stored, check lists every inversion, reindex
// repairs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "cdx/cdx_file.h"
#include "cdx/memory_file.h"
#include "cdx_test_util.h"
#include "test_util.h"

namespace xce::cdx {
namespace {

using xcetest::ApiTable;
using xcetest::LastError;
using xcetest::TempDir;

constexpr int kRecords = 400;

std::string Name(int v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "K%04d", v);
  return buf;
}

// A table of kRecords names appended in a scrambled order, with tag NAME.
// Returns the names in the order the tag's entries are stored after the
// damage: sorted, but for one pair swapped across the boundary of the first
// two leaves and one pair swapped inside the second leaf.
std::vector<std::string> BuildInvertedTable(const TempDir& dir) {
  {
    ApiTable t(dir.str());
    EXPECT_EQ(t.Create("inv.dbf", {{"NAME", 'C', 10, 0}}), 0) << LastError();
    EXPECT_EQ(t.Open("inv.dbf"), 0) << LastError();
    for (int i = 0; i < kRecords; ++i) {
      EXPECT_EQ(t.Append({Name((i * 157) % kRecords)}), 0) << LastError();
    }
    EXPECT_EQ(XdsCreateIndexTag(t.table(), "NAME", "NAME", nullptr, 0, 0), 0) << LastError();
  }
  std::vector<std::string> order;
  for (int v = 0; v < kRecords; ++v) {
    order.push_back(Name(v));
  }
  auto bytes = std::make_shared<std::vector<uint8_t>>(testing::ReadBytes(dir / "inv.cdx"));
  std::unique_ptr<CdxFile> cdx;
  Status s = CdxFile::Open(std::make_unique<MemoryFile>("inv.cdx", bytes), false, &cdx);
  EXPECT_TRUE(s.ok()) << s.message();
  if (!s.ok()) {
    return order;
  }
  CdxTag* tag = cdx->FindTag("NAME");
  std::shared_ptr<const Node> root;
  EXPECT_TRUE(cdx->ReadNode(tag->root(), 10, 0x20, &root).ok());
  EXPECT_FALSE(root->leaf());
  EXPECT_GE(root->size(), 3);
  std::shared_ptr<const Node> first;
  std::shared_ptr<const Node> second;
  EXPECT_TRUE(cdx->ReadNode(root->children[0], 10, 0x20, &first).ok());
  EXPECT_TRUE(cdx->ReadNode(root->children[1], 10, 0x20, &second).ok());
  EXPECT_TRUE(first->leaf() && second->leaf());

  Node a = *first;
  Node b = *second;
  const int k = a.size();
  // Across the boundary: the first leaf ends with the second leaf's first key.
  std::vector<uint8_t> lastA(a.key(k - 1), a.key(k - 1) + 10);
  const uint32_t lastARecno = a.recnos[k - 1];
  a.Set(k - 1, b.key(0), b.recnos[0]);
  b.Set(0, lastA.data(), lastARecno);
  std::swap(order[k - 1], order[k]);
  // Inside the second leaf: two neighbours in the middle change places.
  const int i = b.size() / 2;
  std::vector<uint8_t> keyI(b.key(i), b.key(i) + 10);
  const uint32_t recnoI = b.recnos[i];
  b.Set(i, b.key(i + 1), b.recnos[i + 1]);
  b.Set(i + 1, keyI.data(), recnoI);
  std::swap(order[k + i], order[k + i + 1]);
  EXPECT_TRUE(LeafFits(a, 0, a.size(), 0x20) && LeafFits(b, 0, b.size(), 0x20));
  EXPECT_TRUE(cdx->WriteNode(a, 0x20).ok());
  EXPECT_TRUE(cdx->WriteNode(b, 0x20).ok());
  // The parent holds each leaf's last entry, as the writer of such a file keeps it.
  Node parent = *root;
  parent.Set(0, a.key(k - 1), a.recnos[k - 1]);
  parent.Set(1, b.key(b.size() - 1), b.recnos[b.size() - 1]);
  EXPECT_TRUE(cdx->WriteNode(parent, 0x20).ok());
  EXPECT_TRUE(cdx->Flush().ok());
  cdx.reset();
  xcetest::WriteBytes(dir / "inv.cdx", std::string(bytes->begin(), bytes->end()));
  return order;
}

std::vector<std::string> WalkNames(ApiTable& t, XDSHANDLE index, bool backwards) {
  std::vector<std::string> names;
  EXPECT_EQ(backwards ? XdsGotoBottom(index) : XdsGotoTop(index), 0) << LastError();
  for (int guard = 0; guard <= kRecords; ++guard) {
    uint16_t end = 0;
    backwards ? XdsAtBOF(index, &end) : XdsAtEOF(index, &end);
    if (end != 0) {
      break;
    }
    names.push_back(t.Field(1, XDS_GET_TRIM));
    XDSRESULT r = XdsSkip(index, backwards ? -1 : 1);
    if (r != 0 && xcetest::LastCode() != XDS_ERR_NO_CURRENT_RECORD) {
      ADD_FAILURE() << LastError();
      break;
    }
  }
  return names;
}

std::string CheckReport(ApiTable& t, XDSRESULT* result) {
  std::vector<char> report(1 << 16);
  uint32_t length = static_cast<uint32_t>(report.size());
  *result = XdsCheckTable(t.connection(), "inv.dbf", report.data(), &length);
  return std::string(report.data(), length);
}

TEST(CdxInversionTest, TagWithKeysOutOfOrderIsWalkedAsStoredReportedAndRepaired) {
  TempDir dir;
  const std::vector<std::string> stored = BuildInvertedTable(dir);
  ASSERT_FALSE(::testing::Test::HasFailure());
  ApiTable t(dir.str());

  XDSRESULT checked = 0;
  std::string report = CheckReport(t, &checked);
  EXPECT_NE(checked, 0);
  // Both inversions, each with its tag, page and keys; nothing else.
  std::size_t lines = std::count(report.begin(), report.end(), '\n');
  EXPECT_EQ(lines, 2u) << report;
  for (std::size_t p = 0; p + 1 < stored.size(); ++p) {
    if (stored[p] > stored[p + 1]) {
      const std::string pair = "\"" + stored[p] + "\" (record ";
      EXPECT_NE(report.find(pair), std::string::npos) << report;
      EXPECT_NE(report.find("before \"" + stored[p + 1] + "\""), std::string::npos) << report;
    }
  }
  EXPECT_NE(report.find("tag NAME: keys out of order in page 0x"), std::string::npos) << report;
  EXPECT_NE(report.find("(after page 0x"), std::string::npos) << report;

  ASSERT_EQ(t.Open("inv.dbf", XDS_OPEN_READONLY), 0) << LastError();
  XDSHANDLE index = 0;
  ASSERT_EQ(XdsGetIndexHandle(t.table(), "NAME", &index), 0) << LastError();
  EXPECT_EQ(WalkNames(t, index, false), stored);
  std::vector<std::string> back = WalkNames(t, index, true);
  std::reverse(back.begin(), back.end());
  EXPECT_EQ(back, stored);
  // Key positions count every stored entry.
  ASSERT_EQ(XdsGotoBottom(index), 0);
  double position = 0;
  EXPECT_EQ(XdsGetRelKeyPos(index, &position), 0) << LastError();
  EXPECT_DOUBLE_EQ(position, 1.0);
  // A key away from the inversions is still found.
  uint16_t found = 0;
  EXPECT_EQ(XdsSeek(index, "K0003", 5, XDS_KEY_STRING, XDS_SEEK_HARD, &found), 0) << LastError();
  EXPECT_EQ(found, 1);
  EXPECT_EQ(t.Field(1, XDS_GET_TRIM), "K0003");

  ASSERT_EQ(t.Open("inv.dbf", XDS_OPEN_EXCLUSIVE), 0) << LastError();
  ASSERT_EQ(XdsReindex61(t.table(), 512), 0) << LastError();
  ASSERT_EQ(XdsGetIndexHandle(t.table(), "NAME", &index), 0) << LastError();
  std::vector<std::string> sorted = stored;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(WalkNames(t, index, false), sorted);
  ASSERT_EQ(t.Close(), 0);
  report = CheckReport(t, &checked);
  EXPECT_EQ(checked, 0) << report;
  EXPECT_EQ(report, "");
}

}  // namespace
}  // namespace xce::cdx
