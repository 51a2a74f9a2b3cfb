// One tree page of a compound index, decoded: interior pages hold the last
// (key, record number) of each child subtree, compact leaves hold every entry.
// Decoding checks every count, width and offset against the page so a damaged
// page gives an error, never a read outside it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "byte_order.h"
#include "cdx/cdx_page.h"
#include "xce/status.h"

namespace xce::cdx {

struct Node {
  uint32_t offset = 0;
  uint16_t attr = kAttrLeaf;
  uint32_t left = kNoPage;
  uint32_t right = kNoPage;
  int keyLen = 0;
  std::vector<uint8_t> keys;  // size() * keyLen bytes, keys fully expanded
  std::vector<uint32_t> recnos;
  std::vector<uint32_t> children;  // interior pages only

  bool leaf() const { return (attr & kAttrLeaf) != 0; }
  bool root() const { return (attr & kAttrRoot) != 0; }
  int size() const { return static_cast<int>(recnos.size()); }
  const uint8_t* key(int i) const { return keys.data() + static_cast<std::size_t>(i) * keyLen; }
  uint8_t* mutable_key(int i) { return keys.data() + static_cast<std::size_t>(i) * keyLen; }

  void Insert(int i, const uint8_t* key, uint32_t recno, uint32_t child);
  void Erase(int i);
  void Set(int i, const uint8_t* key, uint32_t recno);
  // Moves entries [from, size()) to the end of `to` (which must have the same key length).
  void MoveTail(int from, Node* to);
};

// Number of entries an interior page of this key length holds.
int InteriorCapacity(int keyLen);

// Decodes a 512-byte page. On damage fails with kErrCorrupt and a short
// English description of what is wrong (the caller adds file and page).
Status DecodeNode(const uint8_t* page, int keyLen, uint8_t pad, Node* out);

// Lowers each record number of an encoded page by the count of `removed`
// (ascending) below it, in place, keeping the page's layout (a leaf keeps
// its bit widths, which a lower number always fits). *changed tells whether
// a byte changed. An interior page must be one DecodeNode accepted; a leaf
// is checked here: kErrCorrupt, with the page unchanged, when its widths and
// count do not describe entries inside the page.
Status RenumberPage(uint8_t* page, int keyLen, const std::vector<uint32_t>& removed,
                    bool* changed);

// Bytes a compact leaf needs for entries [from, to) of `node` (header included).
int LeafBytes(const Node& node, int from, int to, uint8_t pad);
inline bool LeafFits(const Node& node, int from, int to, uint8_t pad) {
  return LeafBytes(node, from, to, pad) <= static_cast<int>(kPageSize);
}
// The end of the most entries from `from` on, up to `limit`, that one leaf
// holds (LeafFits), found in one pass; at least one entry.
int LeafFill(const Node& node, int from, int limit, uint8_t pad);

// Encodes `node` into a 512-byte page. REQUIRES: it fits (LeafFits for leaves,
// size() <= InteriorCapacity for interior pages).
void EncodeNode(const Node& node, uint8_t pad, uint8_t* page);

// Writes a compact leaf page entry by entry, the one encoder of the leaf
// layout: each key's stored bytes go to the end of the page as it comes; the
// entry bits, whose width depends on the largest record number, once the
// page is complete. The caller decides what fits (LeafBytes, EntryBytes).
class LeafWriter {
 public:
  // The most entries a page can hold (entries of 3 bytes storing no key byte).
  static constexpr int kMaxEntries = (kPageSize - kLeafHeaderSize) / 3;

  // Starts an empty leaf in `page` (512 bytes, zeroed here).
  void Start(uint8_t* page, int keyLen);
  // Appends a key stored after its first dup bytes, without its trail pad bytes.
  void Append(const uint8_t* key, int dup, int trail, uint32_t recno) {
    const int stored = keyLen_ - dup - trail;
    pos_ -= stored;
    std::memcpy(page_ + pos_, key + dup, static_cast<std::size_t>(stored));
    recnos_[n_] = recno;
    dups_[n_] = static_cast<uint8_t>(dup);
    trails_[n_] = static_cast<uint8_t>(trail);
    maxRecno_ = recno > maxRecno_ ? recno : maxRecno_;
    ++n_;
  }
  // Writes the header and the entries.
  void Finish(uint16_t attr, uint32_t left, uint32_t right);
  int size() const { return n_; }

 private:
  uint8_t* page_ = nullptr;
  int keyLen_ = 0;
  int n_ = 0;
  int pos_ = 0;
  uint32_t maxRecno_ = 0;
  uint32_t recnos_[kMaxEntries];
  uint8_t dups_[kMaxEntries];
  uint8_t trails_[kMaxEntries];
};

// Entry width in bytes for a leaf whose largest record number is maxRecno: at
// least 3, as other writers use, and wide enough for the record number.
int EntryBytes(uint32_t maxRecno, int countBits);

// Duplicate and trailing counts of `key` stored after `prev` in a leaf (prev
// null for a page's first key).
void EntryCounts(const uint8_t* prev, const uint8_t* key, int keyLen, uint8_t pad, int* dup,
                 int* trail);

// Bit length of the key length: the width of the duplicate and trailing counts.
int CountBits(int keyLen);

// Compares `len` bytes; keys are ordered by unsigned bytes. Only the sign of
// the result tells. Eight bytes (numeric and date keys) compare as one word:
// every seek compares keys at each step of its search.
inline int CompareBytes(const uint8_t* a, const uint8_t* b, int len) {
  if (len == 8) {
    const uint64_t x = Be64(a);
    const uint64_t y = Be64(b);
    return (x > y) - (x < y);
  }
  return len <= 0 ? 0 : std::memcmp(a, b, static_cast<std::size_t>(len));
}

// Entries are ordered by key bytes, then by record number.
inline bool EntryLess(const Node& a, int i, const Node& b, int j) {
  int c = CompareBytes(a.key(i), b.key(j), a.keyLen);
  return c < 0 || (c == 0 && a.recnos[i] < b.recnos[j]);
}

}  // namespace xce::cdx
