// The layout codecs (table header and field descriptor, memo header and
// item, index page header and leaf header): what is encoded decodes
// unchanged, lands at the documented bytes, and the bytes between the fields
// are left as they were.
#include <gtest/gtest.h>

#include <cstring>

#include "cdx/cdx_page.h"
#include "dbf_format.h"
#include "memo_file.h"

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
  const uint8_t want[kHeaderSize] = {0x30, 26,   12,   7,    0x04, 0x03, 0x02, 0x01,
                                     0x0B, 0x0A, 0x0D, 0x0C, 0xEE, 0xEE, 0xEE, 0xEE,
                                     0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE,
                                     0xEE, 0xEE, 0xEE, 0xEE, 0x03, 0xC9, 0xEE, 0xEE};
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

TEST(HeaderLayout, MemoHeaderAndItemAreBigEndianAtTheirOffsets) {
  uint8_t bytes[kFptHeaderUsed];
  std::memset(bytes, 0xEE, sizeof bytes);
  EncodeFptHeader({0x01020304, 0x0506}, bytes);
  const uint8_t want[kFptHeaderUsed] = {0x01, 0x02, 0x03, 0x04, 0xEE, 0xEE, 0x05, 0x06};
  EXPECT_EQ(0, std::memcmp(bytes, want, sizeof want));
  const FptHeader h = DecodeFptHeader(bytes);
  EXPECT_EQ(h.nextFree, 0x01020304u);
  EXPECT_EQ(h.blockSize, 0x0506);
  EXPECT_EQ(FptFirstDataBlock(64), 8u);
  EXPECT_EQ(FptFirstDataBlock(512), 1u);
  EXPECT_EQ(FptFirstDataBlock(100), 6u);

  uint8_t item[kFptItemHeaderSize];
  EncodeFptItemHeader({kMemoItemText, 0x0A0B0C0D}, item);
  const uint8_t wantItem[kFptItemHeaderSize] = {0, 0, 0, 1, 0x0A, 0x0B, 0x0C, 0x0D};
  EXPECT_EQ(0, std::memcmp(item, wantItem, sizeof wantItem));
  const FptItemHeader back = DecodeFptItemHeader(item);
  EXPECT_EQ(back.type, kMemoItemText);
  EXPECT_EQ(back.length, 0x0A0B0C0Du);

  // dBASE files keep their numbers little-endian.
  uint8_t dbt[kDbtHeaderUsed] = {0x10, 0x00, 0x00, 0x00};
  dbt[kDbt4HeaderBlockSize] = 0x00;
  dbt[kDbt4HeaderBlockSize + 1] = 0x02;
  EXPECT_EQ(DecodeDbtHeader(dbt, MemoKind::kDbt4).blockSize, 512);
  EXPECT_EQ(DecodeDbtHeader(dbt, MemoKind::kDbt3).nextFree, 16u);
}

TEST(HeaderLayout, IndexPageHeadersAndEntriesLandAtTheirBytes) {
  using namespace cdx;
  uint8_t page[kPageSize];
  std::memset(page, 0xEE, sizeof page);
  EncodeNodeHeader({kAttrLeaf | kAttrRoot, 0x0102, kNoPage, 0x00000600}, page);
  LeafHeader leaf;
  leaf.freeBytes = 488;
  leaf.recnoMask = 0xFFFF;
  leaf.dupMask = 0x0F;
  leaf.trailMask = 0x0F;
  leaf.recnoBits = 16;
  leaf.dupBits = 4;
  leaf.trailBits = 4;
  leaf.entryBytes = 3;
  EncodeLeafHeader(leaf, page);
  const uint8_t want[kLeafHeaderSize] = {3,    0,    2,    1,    0xFF, 0xFF, 0xFF, 0xFF,
                                         0x00, 0x06, 0x00, 0x00, 0xE8, 0x01, 0xFF, 0xFF,
                                         0x00, 0x00, 0x0F, 0x0F, 16,   4,    4,    3};
  EXPECT_EQ(0, std::memcmp(page, want, sizeof want));
  const NodeHeader h = DecodeNodeHeader(page);
  EXPECT_EQ(h.attr, kAttrLeaf | kAttrRoot);
  EXPECT_EQ(h.keyCount, 0x0102);
  EXPECT_EQ(h.left, kNoPage);
  EXPECT_EQ(h.right, 0x600u);
  EXPECT_TRUE(PageIsLeaf(page));
  const LeafHeader l = DecodeLeafHeader(page);
  EXPECT_EQ(l.freeBytes, 488);
  EXPECT_EQ(l.recnoMask, 0xFFFFu);
  EXPECT_EQ(l.entryBytes, 3);

  // Leaf entries are little-endian and exactly their width; the last one of a
  // full page is read without reaching past the page.
  EncodeLeafEntry(0xABCDEF, 0, 3, page);
  EXPECT_EQ(page[kLeafHeaderSize], 0xEF);
  EXPECT_EQ(page[kLeafHeaderSize + 2], 0xAB);
  EXPECT_EQ(DecodeLeafEntry(page, 0, 3), 0xABCDEFu);
  const int last = (kPageSize - kLeafHeaderSize) / 4 - 1;
  EncodeLeafEntry(0x11223344, last, 4, page);
  EXPECT_EQ(DecodeLeafEntry(page, last, 4), 0x11223344u);

  // Interior entries: the key, then big-endian record number and child.
  const uint8_t key[3] = {'A', 'B', 'C'};
  EncodeInteriorEntry(key, 3, 0x01020304, 0x00000A00, InteriorEntryAt(page, 3, 1));
  const uint8_t wantEntry[11] = {'A', 'B', 'C', 1, 2, 3, 4, 0, 0, 0x0A, 0};
  EXPECT_EQ(0, std::memcmp(page + kNodeHeaderSize + 11, wantEntry, sizeof wantEntry));
  EXPECT_EQ(InteriorEntryRecno(InteriorEntryAt(page, 3, 1), 3), 0x01020304u);
  EXPECT_EQ(InteriorEntryChild(InteriorEntryAt(page, 3, 1), 3), 0xA00u);

  EncodeFreePageNext(0x800, page);
  EXPECT_EQ(DecodeFreePageNext(page), 0x800u);
}

}  // namespace
}  // namespace xce
