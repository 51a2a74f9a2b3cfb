// A memo file whose header names a next free block that cannot be right is
// read as before, but a new memo value is refused instead of being written
// over other records' memos or gigabytes past the end of the file.
#include "test_util.h"

namespace xcetest {
namespace {

void PutBe32(std::string& b, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    b[at + i] = static_cast<char>(v >> (8 * (3 - i)));
  }
}

struct NextFree {
  const char* name;
  uint32_t block;  // the damaged header's next free block; block size 64
};

class MemoNextFree : public ::testing::TestWithParam<NextFree> {};

TEST_P(MemoNextFree, RefusesToWriteAndKeepsTheFiles) {
  TempDir dir;
  {
    ApiTable t(dir.str());
    ASSERT_EQ(t.Create("m.dbf", {{"ID", 'N', 4, 0}, {"DESCR", 'M', 0, 0}}), 0);
    ASSERT_EQ(t.Open("m.dbf"), 0);
    ASSERT_EQ(t.Append({"1", "first memo"}), 0);
    ASSERT_EQ(t.Append({"2", "second memo"}), 0);
  }
  std::string fpt = ReadBytes(dir / "m.fpt");
  PutBe32(fpt, 0, GetParam().block);
  WriteBytes(dir / "m.fpt", fpt);
  const std::string dbf = ReadBytes(dir / "m.dbf");
  {
    ApiTable t(dir.str());
    ASSERT_EQ(t.Open("m.dbf"), 0) << LastError();
    EXPECT_EQ(t.Field(2), "first memo");
    ASSERT_EQ(XdsGotoRecord(t.table(), 2), 0);
    const std::string value(200, 'x');  // longer than the old item: new blocks
    EXPECT_EQ(XdsSetField(t.table(), 2, value.data(), static_cast<uint32_t>(value.size())), 0);
    EXPECT_EQ(XdsWriteRecord(t.table()), 6004);
    EXPECT_NE(LastError().find("m.fpt"), std::string::npos) << LastError();
    EXPECT_EQ(XdsCancelUpdate(t.table()), 0);
    EXPECT_EQ(t.Append({"3", "third memo"}), 6004);
    XdsCancelUpdate(t.table());
    EXPECT_EQ(t.Field(2), "second memo");
  }
  EXPECT_EQ(ReadBytes(dir / "m.dbf"), dbf);
  EXPECT_EQ(ReadBytes(dir / "m.fpt"), fpt);
}

INSTANTIATE_TEST_SUITE_P(Cases, MemoNextFree,
                         ::testing::Values(NextFree{"Zero", 0}, NextFree{"InsideTheHeader", 3},
                                           NextFree{"FarPastTheEnd", 0x7FFFFFFF},
                                           NextFree{"BlocksPastTheEnd", 20}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace xcetest
