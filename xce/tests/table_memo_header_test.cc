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
    EXPECT_EQ(XdsCancelUpdate(t.table()), 0);
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

// Memo files written by other programs use other block sizes; values are
// stored, rewritten and packed in whole blocks of the file's own size.
TEST(MemoBlockSize, OddSizesRoundTripThroughWritesAndPack) {
  for (uint32_t blockSize : {1u, 7u, 33u, 512u, 1024u}) {
    TempDir dir;
    ApiTable t(dir.str());
    ASSERT_EQ(t.Create("b.dbf", {{"ID", 'N', 4, 0}, {"DESCR", 'M', 0, 0}}), 0);
    const uint32_t first = (512 + blockSize - 1) / blockSize;
    std::string fpt(static_cast<std::size_t>(first) * blockSize, '\0');
    PutBe32(fpt, 0, first);
    fpt[6] = static_cast<char>(blockSize >> 8);
    fpt[7] = static_cast<char>(blockSize);
    WriteBytes(dir / "b.fpt", fpt);
    ASSERT_EQ(t.Open("b.dbf"), 0) << LastError();
    const std::vector<std::string> values = {"a", std::string(blockSize + 3, 'b'), "", "dd"};
    for (std::size_t i = 0; i < values.size(); ++i) {
      ASSERT_EQ(t.Append({std::to_string(i + 1), values[i]}), 0) << blockSize << LastError();
    }
    // Shorter in place, longer to new blocks, then record 1 is packed away.
    ASSERT_EQ(XdsGotoRecord(t.table(), 2), 0);
    ASSERT_EQ(XdsSetField(t.table(), 2, "short", 5), 0);
    ASSERT_EQ(XdsWriteRecord(t.table()), 0) << LastError();
    const std::string longer(3 * blockSize + 20, 'd');
    ASSERT_EQ(XdsGotoRecord(t.table(), 4), 0);
    ASSERT_EQ(XdsSetField(t.table(), 2, longer.data(), static_cast<uint32_t>(longer.size())), 0);
    ASSERT_EQ(XdsWriteRecord(t.table()), 0) << LastError();
    ASSERT_EQ(XdsGotoRecord(t.table(), 1), 0);
    ASSERT_EQ(XdsDeleteRecord(t.table()), 0);
    ASSERT_EQ(XdsWriteRecord(t.table()), 0);
    ASSERT_EQ(XdsPackTable(t.table()), 0) << LastError();
    t.Close();
    ASSERT_EQ(t.Open("b.dbf", XDS_OPEN_READONLY), 0);
    const std::vector<std::string> expected = {"short", "", longer};
    for (std::size_t i = 0; i < expected.size(); ++i) {
      ASSERT_EQ(XdsGotoRecord(t.table(), static_cast<uint32_t>(i + 1)), 0);
      EXPECT_EQ(t.Field(2), expected[i]) << "block size " << blockSize << ", record " << i + 1;
    }
    t.Close();
    std::vector<char> report(4096);
    uint32_t len = static_cast<uint32_t>(report.size());
    EXPECT_EQ(XdsCheckTable(t.connection(), "b.dbf", report.data(), &len), 0)
        << blockSize << ": " << std::string(report.data(), len);
    const std::string packed = ReadBytes(dir / "b.fpt");
    EXPECT_EQ(static_cast<uint8_t>(packed[7]), blockSize & 0xFF);
  }
}

}  // namespace
}  // namespace xcetest
