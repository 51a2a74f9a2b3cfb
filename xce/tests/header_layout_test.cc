// The table header and field descriptor codecs: what is encoded decodes
// unchanged, lands at the documented bytes, and the reserved bytes between
// the fields are left as they were.
#include <gtest/gtest.h>

#include <cstring>

#include "dbf_format.h"

namespace xce {
namespace {

TEST(HeaderLayout, EncodeDecodeRoundTripKeepsReservedBytes) {
  uint8_t bytes[kHeaderSize];
  std::memset(bytes, 0xEE, sizeof bytes);
  DbfFileHeader h;
  h.version = 0x30;
  h.date[0] = 26;
  h.date[1] = 12;
  h.date[2] = 7;
  h.recordCount = 0x01020304;
  h.headerLength = 0x0A0B;
  h.recordLength = 0x0C0D;
  h.tableFlags = kTableFlagCdx | kTableFlagMemo;
  h.codePageMark = kCodePageMark1251;
  EncodeDbfHeader(h, bytes);
  const uint8_t want[kHeaderSize] = {0x30, 26,   12,   7,    0x04, 0x03, 0x02, 0x01, 0x0B, 0x0A, 0x0D,
                                     0x0C, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE,
                                     0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0x03, 0xC9, 0xEE, 0xEE};
  EXPECT_EQ(0, std::memcmp(bytes, want, kHeaderSize));
  const DbfFileHeader back = DecodeDbfHeader(bytes);
  EXPECT_EQ(back.version, h.version);
  EXPECT_EQ(0, std::memcmp(back.date, h.date, kHeaderDateSize));
  EXPECT_EQ(back.recordCount, h.recordCount);
  EXPECT_EQ(back.headerLength, h.headerLength);
  EXPECT_EQ(back.recordLength, h.recordLength);
  EXPECT_EQ(back.tableFlags, h.tableFlags);
  EXPECT_EQ(back.codePageMark, h.codePageMark);

  // A descriptor's name is NUL padded over stale bytes; the reserved tail stays.
  uint8_t desc[kDescriptorSize];
  std::memset(desc, 'X', sizeof desc);
  DbfFieldDescriptor d;
  d.name = "ID";
  d.type = 'I';
  d.fieldOffset = 1;
  d.length = 4;
  d.flags = 0x0C;
  d.autoNext = 0x7FFFFFFF;
  d.autoStep = 3;
  EncodeFieldDescriptor(d, desc);
  EXPECT_EQ(desc[2], 0);
  EXPECT_EQ(desc[10], 0);
  EXPECT_EQ(desc[kDescriptorSize - 1], 'X');
  const DbfFieldDescriptor e = DecodeFieldDescriptor(desc);
  EXPECT_EQ(e.name, "ID");
  EXPECT_EQ(e.type, 'I');
  EXPECT_EQ(e.fieldOffset, 1u);
  EXPECT_EQ(e.length, 4);
  EXPECT_EQ(e.decimals, 0);
  EXPECT_EQ(e.flags, 0x0C);
  EXPECT_EQ(e.autoNext, 0x7FFFFFFFu);
  EXPECT_EQ(e.autoStep, 3);
}

}  // namespace
}  // namespace xce
