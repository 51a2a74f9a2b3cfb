// Reads served from a memory map on exclusive opens stay true while the file
// is written, grows past the mapped window, shrinks, or is swapped by pack,
// zap and reindex; several tags created in one call equal tags made singly.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "xce/file.h"
#include "test_util.h"

namespace {

using xcetest::ApiTable;
using xcetest::LastError;
using xcetest::TempDir;

std::string ReadString(xce::File* f, uint64_t offset, std::size_t n) {
  std::string out(n, '\0');
  std::size_t got = 0;
  EXPECT_TRUE(f->ReadAt(offset, out.data(), n, &got).ok());
  out.resize(got);
  return out;
}

TEST(MappedReads, FileSeesWritesGrowthAndTruncation) {
  TempDir dir;
  std::unique_ptr<xce::File> f;
  ASSERT_TRUE(
      xce::FileSystem::Default()->Open((dir / "f").string(), xce::OpenMode::kCreate, &f).ok());
  ASSERT_TRUE(f->WriteAt(0, "abcdef", 6).ok());
  ASSERT_TRUE(f->EnableMappedReads());
  EXPECT_EQ(ReadString(f.get(), 0, 6), "abcdef");
  EXPECT_EQ(ReadString(f.get(), 4, 10), "ef");  // short at the end, as from the file
  ASSERT_TRUE(f->WriteAt(2, "XY", 2).ok());
  EXPECT_EQ(ReadString(f.get(), 0, 6), "abXYef");
  // Far past the first window (a few MB): the file is mapped afresh.
  const uint64_t far = uint64_t{5} << 20;
  ASSERT_TRUE(f->WriteAt(far, "tail", 4).ok());
  EXPECT_EQ(ReadString(f.get(), far, 4), "tail");
  EXPECT_EQ(ReadString(f.get(), far - 2, 6), std::string("\0\0tail", 6));
  EXPECT_EQ(ReadString(f.get(), 0, 3), "abX");
  // Shrinking then reading where the file ended must not fault.
  ASSERT_TRUE(f->Truncate(3).ok());
  EXPECT_EQ(ReadString(f.get(), 0, 6), "abX");
  EXPECT_EQ(ReadString(f.get(), far, 4), "");
  ASSERT_TRUE(f->WriteAt(3, "Z", 1).ok());
  EXPECT_EQ(ReadString(f.get(), 0, 6), "abXZ");
}

// Dropping a file's cached pages is a hint: every byte reads back as it was,
// those not yet written out included, through the map and after it.
TEST(MappedReads, ForgottenPagesReadBackWhole) {
  TempDir dir;
  std::unique_ptr<xce::File> f;
  ASSERT_TRUE(
      xce::FileSystem::Default()->Open((dir / "f").string(), xce::OpenMode::kCreate, &f).ok());
  std::string bytes(5 * 4096 + 100, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<char>('a' + i * 7 % 26);
  }
  ASSERT_TRUE(f->WriteAt(0, bytes.data(), bytes.size()).ok());
  ASSERT_TRUE(f->EnableMappedReads());
  EXPECT_EQ(ReadString(f.get(), 0, bytes.size()), bytes);
  f->ForgetCached(100, 2 * 4096);  // partial pages at both ends
  EXPECT_EQ(ReadString(f.get(), 0, bytes.size()), bytes);
  ASSERT_TRUE(f->Sync().ok());
  f->ForgetCached(4096, UINT64_MAX);  // to the end of the file, and past it
  f->ForgetCached(uint64_t{1} << 40, 4096);
  f->ForgetCached(0, 0);
  EXPECT_EQ(ReadString(f.get(), 0, bytes.size()), bytes);
  ASSERT_TRUE(f->WriteAt(3 * 4096, "new", 3).ok());  // written after, not yet on disk
  bytes.replace(3 * 4096, 3, "new");
  f->ForgetCached(0, UINT64_MAX);
  EXPECT_EQ(ReadString(f.get(), 0, bytes.size()), bytes);
}

std::string Name(int i) { return "name " + std::to_string(i * 7919 % 10007); }

// Appends `n` records numbered from `from` with a wide field so that a few
// thousand records outgrow the first mapped window.
void AppendRecords(ApiTable& t, int from, int n) {
  for (int i = from; i < from + n; ++i) {
    ASSERT_EQ(t.Append({std::to_string(i), Name(i), std::string(200, 'a' + i % 26)}), 0)
        << LastError();
  }
}

void ExpectRecord(ApiTable& t, uint32_t recno, int id) {
  ASSERT_EQ(XdsGotoRecord(t.table(), recno), 0) << LastError();
  EXPECT_EQ(t.Field(1, XDS_GET_TRIM), std::to_string(id)) << "record " << recno;
  EXPECT_EQ(t.Field(2, XDS_GET_TRIM), Name(id)) << "record " << recno;
}

TEST(MappedReads, TableStaysTrueThroughAppendsPackZapAndReindex) {
  TempDir dir;
  ApiTable t(dir.str());
  ASSERT_EQ(t.Create("m.dbf", {{"ID", 'N', 6, 0}, {"NAME", 'C', 20, 0}, {"PAD", 'C', 200, 0}}), 0);
  ASSERT_EQ(t.Open("m.dbf"), 0) << LastError();
  AppendRecords(t, 1, 10);
  ASSERT_EQ(XdsFlushTable(t.table()), 0);
  ExpectRecord(t, 3, 3);  // mapped now
  // Appended after a mapped read, buffered and flushed, well past the window.
  AppendRecords(t, 11, 6000);
  ASSERT_EQ(XdsFlushTable(t.table()), 0);
  for (uint32_t r : {11u, 4000u, 6010u, 1u}) {
    ExpectRecord(t, r, static_cast<int>(r));
  }
  // A field written in place is seen by the next read.
  ASSERT_EQ(XdsGotoRecord(t.table(), 5000), 0);
  ASSERT_EQ(XdsSetField(t.table(), 2, "changed", 7), 0);
  ASSERT_EQ(XdsWriteRecord(t.table()), 0);
  ASSERT_EQ(XdsGotoRecord(t.table(), 1), 0);
  ASSERT_EQ(XdsGotoRecord(t.table(), 5000), 0);
  EXPECT_EQ(t.Field(2, XDS_GET_TRIM), "changed");

  const XDSTAGDEF tags[] = {{"ID", "ID", nullptr, 0, 1}, {"NAME", "NAME", "", 0, 0}};
  ASSERT_EQ(XdsCreateIndexTags(t.table(), 2, tags), 0) << LastError();
  // Pack swaps in a smaller file under the same handle.
  for (uint32_t r = 1; r <= 6010; r += 2) {
    ASSERT_EQ(XdsGotoRecord(t.table(), r), 0);
    ASSERT_EQ(XdsDeleteRecord(t.table()), 0);
  }
  ASSERT_EQ(XdsPackTable(t.table()), 0) << LastError();
  ASSERT_EQ(t.Count(), 3005u);
  ExpectRecord(t, 1, 2);
  ExpectRecord(t, 3005, 6010);
  XDSHANDLE byId = 0;
  ASSERT_EQ(XdsGetIndexHandle(t.table(), "ID", &byId), 0);
  ASSERT_EQ(XdsGotoTop(byId), 0);
  EXPECT_EQ(t.Field(1, XDS_GET_TRIM), "6010");  // descending
  ASSERT_EQ(XdsReindex61(t.table(), 512), 0) << LastError();
  ASSERT_EQ(XdsGotoBottom(byId), 0);
  EXPECT_EQ(t.Field(1, XDS_GET_TRIM), "2");
  // Zap empties the file; appends after it are read back.
  ASSERT_EQ(XdsZapTable(t.table()), 0) << LastError();
  EXPECT_EQ(t.Count(), 0u);
  AppendRecords(t, 1, 3);
  ASSERT_EQ(XdsFlushTable(t.table()), 0);
  ExpectRecord(t, 2, 2);
  ASSERT_EQ(XdsGotoTop(byId), 0);
  EXPECT_EQ(t.Field(1, XDS_GET_TRIM), "3");
}

// Keys of a tag in its order, as record numbers.
std::vector<uint32_t> Walk(ApiTable& t, const char* tag) {
  std::vector<uint32_t> out;
  XDSHANDLE h = 0;
  EXPECT_EQ(XdsGetIndexHandle(t.table(), tag, &h), 0) << LastError();
  for (XDSRESULT r = XdsGotoTop(h); r == 0 && !t.Eof(); r = XdsSkip(h, 1)) {
    out.push_back(t.Recno());
  }
  return out;
}

TEST(CreateIndexTags, EqualsTagsCreatedOneByOne) {
  const XDSTAGDEF tags[] = {{"ID", "ID", "", 0, 1},
                            {"NAME", "NAME", "ID > 100", 0, 0},
                            {"UNAME", "UPPER(NAME)", "", 1, 0}};
  std::vector<std::vector<uint32_t>> walks[2];
  for (int together = 0; together < 2; ++together) {
    TempDir dir;
    ApiTable t(dir.str());
    ASSERT_EQ(t.Create("c.dbf", {{"ID", 'N', 6, 0}, {"NAME", 'C', 20, 0}, {"PAD", 'C', 1, 0}}), 0);
    ASSERT_EQ(t.Open("c.dbf"), 0);
    AppendRecords(t, 1, 300);
    if (together != 0) {
      ASSERT_EQ(XdsCreateIndexTags(t.table(), 3, tags), 0) << LastError();
    } else {
      for (const XDSTAGDEF& d : tags) {
        ASSERT_EQ(XdsCreateIndexTag(t.table(), d.name, d.keyExpression, d.forExpression, d.unique,
                                    d.descending),
                  0)
            << LastError();
      }
    }
    for (const XDSTAGDEF& d : tags) {
      walks[together].push_back(Walk(t, d.name));
    }
    // Names already used, in the file or twice in one call, are refused.
    const XDSTAGDEF again[] = {{"NAME", "ID", "", 0, 0}};
    EXPECT_NE(XdsCreateIndexTags(t.table(), 1, again), 0);
    const XDSTAGDEF twice[] = {{"X", "ID", "", 0, 0}, {"x", "NAME", "", 0, 0}};
    EXPECT_NE(XdsCreateIndexTags(t.table(), 2, twice), 0);
    XDSHANDLE handles[8];
    uint16_t count = 8;
    ASSERT_EQ(XdsGetAllIndexes(t.table(), &count, handles), 0);
    EXPECT_EQ(count, 3);
  }
  EXPECT_EQ(walks[0], walks[1]);
  EXPECT_EQ(walks[1][0].size(), 300u);
  EXPECT_EQ(walks[1][1].size(), 200u);
}

}  // namespace
