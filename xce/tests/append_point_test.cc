// The published append points: everything an append changes in a table or
// memo file lies in its header or from the append point on, which is what a
// program keeping undo records of those files relies on.
#include "xce/append_point.h"

#include "test_util.h"

namespace xcetest {
namespace {

struct Files {
  std::string table;
  std::string memo;
};

Files Snapshot(const TempDir& dir) { return {ReadBytes(dir / "T.dbf"), ReadBytes(dir / "T.fpt")}; }

// The bytes of `before` between its header and its append point are the same
// in `after`, and `after` has grown past the append point.
void ExpectAppendOnlyChangedHeaderAndEnd(const std::string& before, const std::string& after,
                                         const xce::AppendPoint& at) {
  ASSERT_LE(at.headerLength, at.dataEnd);
  ASSERT_LE(at.dataEnd, before.size());
  ASSERT_GT(after.size(), at.dataEnd);
  const std::size_t from = static_cast<std::size_t>(at.headerLength);
  const std::size_t n = static_cast<std::size_t>(at.dataEnd - at.headerLength);
  EXPECT_EQ(after.substr(from, n), before.substr(from, n));
}

TEST(AppendPoint, AppendsChangeOnlyTheHeaderAndWhatLiesPastTheAppendPoint) {
  TempDir dir;
  xce::FileSystem* fs = xce::FileSystem::Default();
  {
    ApiTable t(dir.str());
    ASSERT_EQ(t.Create("T", {{"NAME", 'C', 10, 0}, {"NOTE", 'M', 10, 0}}), 0) << LastError();
    ASSERT_EQ(t.Open("T"), 0) << LastError();
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(t.Append({"n" + std::to_string(i), std::string(100 + 90 * i, 'x')}), 0)
          << LastError();
    }
  }
  const Files before = Snapshot(dir);
  xce::AppendPoint table;
  xce::AppendPoint memo;
  ASSERT_TRUE(xce::ReadTableAppendPoint(fs, (dir / "T.dbf").string(), &table).ok());
  ASSERT_TRUE(xce::ReadMemoAppendPoint(fs, (dir / "T.fpt").string(), &memo).ok());
  // Three records of a deleted flag, 10 characters and a 10-byte memo pointer.
  EXPECT_EQ(table.dataEnd - table.headerLength, 3u * 21u);
  EXPECT_EQ(memo.headerLength, 512u);
  EXPECT_EQ(memo.dataEnd, before.memo.size());
  {
    ApiTable t(dir.str());
    ASSERT_EQ(t.Open("T"), 0) << LastError();
    ASSERT_EQ(t.Append({"new", std::string(300, 'y')}), 0) << LastError();
  }
  const Files after = Snapshot(dir);
  ExpectAppendOnlyChangedHeaderAndEnd(before.table, after.table, table);
  ExpectAppendOnlyChangedHeaderAndEnd(before.memo, after.memo, memo);
}

TEST(AppendPoint, ShortOrMissingFilesAreErrors) {
  TempDir dir;
  xce::FileSystem* fs = xce::FileSystem::Default();
  WriteBytes(dir / "SHORT.dbf", std::string(20, '\x03'));
  WriteBytes(dir / "SHORT.fpt", std::string(5, '\0'));
  xce::AppendPoint at;
  EXPECT_FALSE(xce::ReadTableAppendPoint(fs, (dir / "SHORT.dbf").string(), &at).ok());
  EXPECT_FALSE(xce::ReadMemoAppendPoint(fs, (dir / "SHORT.fpt").string(), &at).ok());
  EXPECT_FALSE(xce::ReadTableAppendPoint(fs, (dir / "NONE.dbf").string(), &at).ok());
  EXPECT_FALSE(xce::ReadMemoAppendPoint(fs, (dir / "NONE.fpt").string(), &at).ok());
}

}  // namespace
}  // namespace xcetest
