// Damaged tables give an error code and a text naming the file, and are not
// written.
#include <algorithm>
#include <functional>

#include "test_util.h"

namespace xcetest {
namespace {

struct Damage {
  const char* name;
  const char* file;  // which file to damage
  std::function<void(std::string&)> mutate;
  bool failsAtOpen;  // otherwise reading the first record's memo fails
};

void PutLe16(std::string& b, std::size_t at, uint16_t v) {
  b[at] = static_cast<char>(v);
  b[at + 1] = static_cast<char>(v >> 8);
}

void PutLe32(std::string& b, std::size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    b[at + i] = static_cast<char>(v >> (8 * i));
  }
}

// Fields ID N(4), NAME C(10), DESCR M(10): header 32 + 3 * 32 + 1 = 129,
// record 25 bytes.
const std::vector<Damage>& Damages() {
  static const std::vector<Damage> kDamages = {
      {"TruncatedHeader", "d.dbf", [](std::string& b) { b.resize(20); }, true},
      {"HeaderLengthPastTheEnd", "d.dbf", [](std::string& b) { PutLe16(b, 8, 0xFFF0); }, true},
      {"HeaderLengthTooSmall", "d.dbf", [](std::string& b) { PutLe16(b, 8, 10); }, true},
      {"RecordCountBeyondFileSize", "d.dbf", [](std::string& b) { PutLe32(b, 4, 1000); }, true},
      {"HugeRecordCount", "d.dbf", [](std::string& b) { PutLe32(b, 4, 0xFFFFFFFF); }, true},
      {"NoDescriptorTerminator", "d.dbf", [](std::string& b) { b[128] = 'X'; }, true},
      {"FieldLengthsBeyondRecordLength", "d.dbf", [](std::string& b) { b[64 + 16] = 100; }, true},
      {"ZeroRecordLength", "d.dbf", [](std::string& b) { PutLe16(b, 10, 0); }, true},
      {"ZeroFieldLength", "d.dbf", [](std::string& b) { b[32 + 16] = 0; }, true},
      {"MemoFileHeaderTruncated", "d.fpt", [](std::string& b) { b.resize(6); }, true},
      {"MemoBlockSizeZero", "d.fpt", [](std::string& b) { b[6] = b[7] = 0; }, true},
      {"MemoPointerPastTheEnd", "d.dbf",
       [](std::string& b) { b.replace(129 + 15, 10, "    999999"); }, false},
      {"MemoLengthPastTheEnd", "d.fpt",
       [](std::string& b) {
         b[8 * 64 + 4] = 0x7F;  // big-endian length of the item at block 8
       },
       false},
  };
  return kDamages;
}

class DamagedTable : public ::testing::TestWithParam<Damage> {
 protected:
  void SetUp() override {
    ApiTable t(dir_.str());
    ASSERT_EQ(t.Create("d.dbf", {{"ID", 'N', 4, 0}, {"NAME", 'C', 10, 0}, {"DESCR", 'M', 0, 0}}),
              0);
    ASSERT_EQ(t.Open("d.dbf"), 0);
    for (int i = 1; i <= 3; ++i) {
      ASSERT_EQ(t.Append({std::to_string(i), "name", "memo " + std::to_string(i)}), 0);
    }
  }
  TempDir dir_;
};

TEST_P(DamagedTable, GivesAnErrorNamingTheFileAndWritesNothing) {
  const Damage& d = GetParam();
  std::string bytes = ReadBytes(dir_ / d.file);
  d.mutate(bytes);
  WriteBytes(dir_ / d.file, bytes);
  const std::string dbf = ReadBytes(dir_ / "d.dbf");
  const std::string fpt = ReadBytes(dir_ / "d.fpt");
  {
    ApiTable t(dir_.str());
    XDSRESULT r = t.Open("d.dbf", XDS_OPEN_EXCLUSIVE);
    if (d.failsAtOpen) {
      EXPECT_EQ(r, 6004) << LastError();
    } else {
      ASSERT_EQ(r, 0) << LastError();
      std::vector<char> buf(256);
      uint32_t len = static_cast<uint32_t>(buf.size());
      r = XdsGetField(t.table(), 3, buf.data(), &len, 0);
      EXPECT_EQ(r, 6004);
      uint32_t memoLength = 0;
      EXPECT_EQ(XdsGetMemoLength(t.table(), 3, &memoLength), 6004);
      // The rest of the table stays readable.
      EXPECT_EQ(t.Field(1, XDS_GET_TRIM), "1");
    }
    EXPECT_NE(LastError().find("d."), std::string::npos) << LastError();
    std::vector<char> report(4096);
    uint32_t len = static_cast<uint32_t>(report.size());
    t.Close();
    EXPECT_NE(XdsCheckTable(t.connection(), "d.dbf", report.data(), &len), 0) << d.name;
  }
  EXPECT_EQ(ReadBytes(dir_ / "d.dbf"), dbf);
  EXPECT_EQ(ReadBytes(dir_ / "d.fpt"), fpt);
}

INSTANTIATE_TEST_SUITE_P(Cases, DamagedTable, ::testing::ValuesIn(Damages()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(DamagedTable, BytesPastTheLastRecordAreReportedByCheck) {
  TempDir dir;
  {
    ApiTable t(dir.str());
    ASSERT_EQ(t.Create("d.dbf", {{"ID", 'N', 4, 0}}), 0);
    ASSERT_EQ(t.Open("d.dbf"), 0);
    ASSERT_EQ(t.Append({"1"}), 0);
  }
  std::string good = ReadBytes(dir / "d.dbf");
  for (const std::string& bytes : {good + "junk", good.substr(0, good.size() - 1) + "J"}) {
    WriteBytes(dir / "d.dbf", bytes);
    ApiTable t(dir.str());
    ASSERT_EQ(t.Open("d.dbf", XDS_OPEN_READONLY), 0);  // still readable
    EXPECT_EQ(t.Field(1, XDS_GET_TRIM), "1");
    t.Close();
    std::vector<char> report(4096);
    uint32_t len = static_cast<uint32_t>(report.size());
    EXPECT_EQ(XdsCheckTable(t.connection(), "d.dbf", report.data(), &len), 6004);
    EXPECT_GT(len, 0u);
  }
}

}  // namespace
}  // namespace xcetest
