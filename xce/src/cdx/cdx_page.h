// The bytes of one 512-byte tree page of a compound index: the header every
// page starts with, the interior entries, the compact leaf's header and entry
// bits, and the link a free page keeps. Layout described in docs/formats.md,
// "CDX tree pages". Its offsets are named here once and read and written only
// through these encode/decode pairs; cdx_node.h builds whole pages from them.
//
// Everything here is inline: a seek decodes a page at every level it passes.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "byte_order.h"

namespace xce::cdx {

constexpr uint32_t kPageSize = 512;
constexpr uint32_t kNoPage = 0xFFFFFFFF;
constexpr int kMaxKeyLength = 240;

// ---------------------------------------------------------------- page header

constexpr uint32_t kNodeAttribute = 0;  // LE16, NodeAttribute bits
constexpr uint32_t kNodeKeyCount = 2;   // LE16
constexpr uint32_t kNodeLeft = 4;       // LE32, kNoPage on a level's first page
constexpr uint32_t kNodeRight = 8;      // LE32, kNoPage on a level's last page
constexpr int kNodeHeaderSize = 12;

enum NodeAttribute : uint16_t {
  kAttrInterior = 0,
  kAttrRoot = 1,
  kAttrLeaf = 2,
};

struct NodeHeader {
  uint16_t attr = kAttrLeaf;
  uint16_t keyCount = 0;
  uint32_t left = kNoPage;
  uint32_t right = kNoPage;
};

inline NodeHeader DecodeNodeHeader(const uint8_t* page) {
  NodeHeader h;
  h.attr = Le16(page + kNodeAttribute);
  h.keyCount = Le16(page + kNodeKeyCount);
  h.left = Le32(page + kNodeLeft);
  h.right = Le32(page + kNodeRight);
  return h;
}

inline void EncodeNodeHeader(const NodeHeader& h, uint8_t* page) {
  PutLe16(page + kNodeAttribute, h.attr);
  PutLe16(page + kNodeKeyCount, h.keyCount);
  PutLe32(page + kNodeLeft, h.left);
  PutLe32(page + kNodeRight, h.right);
}

// Whether a page is a leaf, read from its attribute alone.
inline bool PageIsLeaf(const uint8_t* page) {
  return (Le16(page + kNodeAttribute) & kAttrLeaf) != 0;
}

// ---------------------------------------------------------------- interior entries

// From kNodeHeaderSize on, entries of keyLen + kInteriorEntryExtra bytes: the
// whole key, then the last record number and the child page of its subtree.
constexpr int kInteriorRecno = 0;  // BE32, after the key
constexpr int kInteriorChild = 4;  // BE32, after the key
constexpr int kInteriorEntryExtra = 8;

inline uint8_t* InteriorEntryAt(uint8_t* page, int keyLen, int i) {
  return page + kNodeHeaderSize + i * (keyLen + kInteriorEntryExtra);
}
inline const uint8_t* InteriorEntryAt(const uint8_t* page, int keyLen, int i) {
  return page + kNodeHeaderSize + i * (keyLen + kInteriorEntryExtra);
}

inline void EncodeInteriorEntry(const uint8_t* key, int keyLen, uint32_t recno, uint32_t child,
                                uint8_t* entry) {
  std::memcpy(entry, key, static_cast<std::size_t>(keyLen));
  PutBe32(entry + keyLen + kInteriorRecno, recno);
  PutBe32(entry + keyLen + kInteriorChild, child);
}

inline uint32_t InteriorEntryRecno(const uint8_t* entry, int keyLen) {
  return Be32(entry + keyLen + kInteriorRecno);
}
inline uint32_t InteriorEntryChild(const uint8_t* entry, int keyLen) {
  return Be32(entry + keyLen + kInteriorChild);
}
inline void SetInteriorEntryRecno(uint8_t* entry, int keyLen, uint32_t recno) {
  PutBe32(entry + keyLen + kInteriorRecno, recno);
}

// ---------------------------------------------------------------- compact leaf

constexpr uint32_t kLeafFreeBytes = 12;  // LE16, the gap between entries and key bytes
constexpr uint32_t kLeafRecnoMask = 14;  // LE32
constexpr uint32_t kLeafDupMask = 18;
constexpr uint32_t kLeafTrailMask = 19;
constexpr uint32_t kLeafRecnoBits = 20;
constexpr uint32_t kLeafDupBits = 21;
constexpr uint32_t kLeafTrailBits = 22;
constexpr uint32_t kLeafEntryBytes = 23;
constexpr int kLeafHeaderSize = 24;

// A leaf's own header, after the page header. Each page carries its own
// widths: an entry is entryBytes little-endian bytes holding the record
// number in its low recnoBits, the duplicate count above it and the trailing
// count in the top bits.
struct LeafHeader {
  uint16_t freeBytes = 0;
  uint32_t recnoMask = 0;
  uint8_t dupMask = 0;
  uint8_t trailMask = 0;
  uint8_t recnoBits = 0;
  uint8_t dupBits = 0;
  uint8_t trailBits = 0;
  uint8_t entryBytes = 0;
};

inline LeafHeader DecodeLeafHeader(const uint8_t* page) {
  LeafHeader h;
  h.freeBytes = Le16(page + kLeafFreeBytes);
  h.recnoMask = Le32(page + kLeafRecnoMask);
  h.dupMask = page[kLeafDupMask];
  h.trailMask = page[kLeafTrailMask];
  h.recnoBits = page[kLeafRecnoBits];
  h.dupBits = page[kLeafDupBits];
  h.trailBits = page[kLeafTrailBits];
  h.entryBytes = page[kLeafEntryBytes];
  return h;
}

inline void EncodeLeafHeader(const LeafHeader& h, uint8_t* page) {
  PutLe16(page + kLeafFreeBytes, h.freeBytes);
  PutLe32(page + kLeafRecnoMask, h.recnoMask);
  page[kLeafDupMask] = h.dupMask;
  page[kLeafTrailMask] = h.trailMask;
  page[kLeafRecnoBits] = h.recnoBits;
  page[kLeafDupBits] = h.dupBits;
  page[kLeafTrailBits] = h.trailBits;
  page[kLeafEntryBytes] = h.entryBytes;
}

// The bits of leaf entry i, `e` bytes wide (1..8). Entries are read eight
// bytes at a time where the page leaves room for it.
inline uint64_t DecodeLeafEntry(const uint8_t* page, int i, int e) {
  const uint8_t* at = page + kLeafHeaderSize + i * e;
  if (std::endian::native == std::endian::little && at + 8 <= page + kPageSize) {
    uint64_t v;
    std::memcpy(&v, at, 8);
    return e >= 8 ? v : v & ((uint64_t{1} << (8 * e)) - 1);
  }
  uint64_t v = 0;
  for (int b = e - 1; b >= 0; --b) {
    v = (v << 8) | at[b];
  }
  return v;
}

inline void EncodeLeafEntry(uint64_t v, int i, int e, uint8_t* page) {
  uint8_t* at = page + kLeafHeaderSize + i * e;
  for (int b = 0; b < e; ++b) {
    at[b] = static_cast<uint8_t>(v >> (8 * b));
  }
}

// ---------------------------------------------------------------- free page

// A page on the free list keeps the offset of the next free page (0: none).
constexpr uint32_t kFreePageNext = 0;  // LE32

inline uint32_t DecodeFreePageNext(const uint8_t* page) { return Le32(page + kFreePageNext); }
// Writes the link only; the caller decides what the rest of the page holds.
inline void EncodeFreePageNext(uint32_t next, uint8_t* page) {
  PutLe32(page + kFreePageNext, next);
}

}  // namespace xce::cdx
