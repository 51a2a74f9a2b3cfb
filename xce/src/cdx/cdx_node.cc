#include "cdx/cdx_node.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace xce::cdx {

namespace {

uint64_t Shr(uint64_t v, int s) { return s >= 64 ? 0 : v >> s; }

int BitLength(uint64_t v) { return static_cast<int>(std::bit_width(v)); }

// Key bytes are compared eight at a time; the byte order of the machine
// decides which end of a word holds the first of them.
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

uint64_t Load64(const uint8_t* p) {
  uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}

int TrailCount(const uint8_t* key, int keyLen, uint8_t pad) {
  int t = 0;
  if constexpr (kLittleEndian) {
    const uint64_t pads = 0x0101010101010101ull * pad;
    for (; t + 8 <= keyLen; t += 8) {
      const uint64_t diff = Load64(key + keyLen - t - 8) ^ pads;
      if (diff != 0) {
        return t + std::countl_zero(diff) / 8;
      }
    }
  }
  while (t < keyLen && key[keyLen - 1 - t] == pad) {
    ++t;
  }
  return t;
}

int CommonPrefix(const uint8_t* a, const uint8_t* b, int len) {
  int i = 0;
  if constexpr (kLittleEndian) {
    for (; i + 8 <= len; i += 8) {
      const uint64_t diff = Load64(a + i) ^ Load64(b + i);
      if (diff != 0) {
        return i + std::countr_zero(diff) / 8;
      }
    }
  }
  while (i < len && a[i] == b[i]) {
    ++i;
  }
  return i;
}

}  // namespace

int EntryBytes(uint32_t maxRecno, int countBits) {
  // The fewest bytes, at least 3, whose bits hold the record number and both counts.
  const int bits = BitLength(maxRecno) + 2 * countBits;
  return std::max(3, (bits + 7) / 8);
}

void EntryCounts(const uint8_t* prev, const uint8_t* key, int keyLen, uint8_t pad, int* dup,
                 int* trail) {
  *trail = TrailCount(key, keyLen, pad);
  if (prev == nullptr) {
    *dup = 0;
    return;
  }
  // Only the previous key's stored bytes are shared, never its padding: every
  // reader rebuilds keys correctly from that.
  int prevTrail = TrailCount(prev, keyLen, pad);
  int cap = keyLen - std::max(*trail, prevTrail);
  *dup = std::min(CommonPrefix(prev, key, keyLen), std::max(cap, 0));
}

namespace {

void Compress(const Node& node, int i, bool first, uint8_t pad, int* dup, int* trail) {
  EntryCounts(first ? nullptr : node.key(i - 1), node.key(i), node.keyLen, pad, dup, trail);
}

}  // namespace

void Node::Insert(int i, const uint8_t* key, uint32_t recno, uint32_t child) {
  keys.insert(keys.begin() + static_cast<std::ptrdiff_t>(i) * keyLen, key, key + keyLen);
  recnos.insert(recnos.begin() + i, recno);
  if (!leaf()) {
    children.insert(children.begin() + i, child);
  }
}

void Node::Erase(int i) {
  auto kb = keys.begin() + static_cast<std::ptrdiff_t>(i) * keyLen;
  keys.erase(kb, kb + keyLen);
  recnos.erase(recnos.begin() + i);
  if (!leaf()) {
    children.erase(children.begin() + i);
  }
}

void Node::Set(int i, const uint8_t* key, uint32_t recno) {
  std::memmove(mutable_key(i), key, keyLen);
  recnos[i] = recno;
}

void Node::MoveTail(int from, Node* to) {
  to->keys.insert(to->keys.end(), keys.begin() + static_cast<std::ptrdiff_t>(from) * keyLen,
                  keys.end());
  to->recnos.insert(to->recnos.end(), recnos.begin() + from, recnos.end());
  keys.resize(static_cast<std::size_t>(from) * keyLen);
  recnos.resize(from);
  if (!leaf()) {
    to->children.insert(to->children.end(), children.begin() + from, children.end());
    children.resize(from);
  }
}

int InteriorCapacity(int keyLen) { return (kPageSize - kNodeHeaderSize) / (keyLen + 8); }

int CountBits(int keyLen) { return BitLength(static_cast<uint64_t>(keyLen)); }

int LeafBytes(const Node& node, int from, int to, uint8_t pad) {
  uint32_t maxRecno = 0;
  int keyBytes = 0;
  for (int i = from; i < to; ++i) {
    int dup, trail;
    Compress(node, i, i == from, pad, &dup, &trail);
    keyBytes += node.keyLen - dup - trail;
    maxRecno = std::max(maxRecno, node.recnos[i]);
  }
  int e = EntryBytes(maxRecno, CountBits(node.keyLen));
  return kLeafHeaderSize + (to - from) * e + keyBytes;
}

int LeafFill(const Node& node, int from, int limit, uint8_t pad) {
  const int countBits = CountBits(node.keyLen);
  uint32_t maxRecno = 0;
  int keyBytes = 0;
  int to = from;
  for (; to < limit; ++to) {
    int dup, trail;
    Compress(node, to, to == from, pad, &dup, &trail);
    const uint32_t m = std::max(maxRecno, node.recnos[to]);
    const int k = keyBytes + node.keyLen - dup - trail;
    if (kLeafHeaderSize + (to - from + 1) * EntryBytes(m, countBits) + k >
        static_cast<int>(kPageSize)) {
      break;
    }
    maxRecno = m;
    keyBytes = k;
  }
  return std::max(to, from + 1);
}

void EncodeNode(const Node& node, uint8_t pad, uint8_t* page) {
  std::memset(page, 0, kPageSize);
  const int n = node.size();
  const int keyLen = node.keyLen;
  if (!node.leaf()) {
    EncodeNodeHeader({node.attr, static_cast<uint16_t>(n), node.left, node.right}, page);
    for (int i = 0; i < n; ++i) {
      EncodeInteriorEntry(node.key(i), keyLen, node.recnos[i], node.children[i],
                          InteriorEntryAt(page, keyLen, i));
    }
    return;
  }
  LeafWriter w;
  w.Start(page, keyLen);
  for (int i = 0; i < n; ++i) {
    int dup, trail;
    Compress(node, i, i == 0, pad, &dup, &trail);
    w.Append(node.key(i), dup, trail, node.recnos[i]);
  }
  w.Finish(node.attr, node.left, node.right);
}

void LeafWriter::Start(uint8_t* page, int keyLen) {
  page_ = page;
  keyLen_ = keyLen;
  n_ = 0;
  pos_ = kPageSize;
  maxRecno_ = 0;
  std::memset(page, 0, kPageSize);
}

void LeafWriter::Finish(uint16_t attr, uint32_t left, uint32_t right) {
  EncodeNodeHeader({attr, static_cast<uint16_t>(n_), left, right}, page_);
  const int bits = CountBits(keyLen_);
  const int e = EntryBytes(maxRecno_, bits);
  const int r = 8 * e - 2 * bits;
  const auto countMask = static_cast<uint8_t>((1u << bits) - 1);
  LeafHeader h;
  h.freeBytes = static_cast<uint16_t>(pos_ - kLeafHeaderSize - n_ * e);
  h.recnoMask = r >= 32 ? 0xFFFFFFFFu : (1u << r) - 1;
  h.dupMask = countMask;
  h.trailMask = countMask;
  h.recnoBits = static_cast<uint8_t>(r);
  h.dupBits = static_cast<uint8_t>(bits);
  h.trailBits = static_cast<uint8_t>(bits);
  h.entryBytes = static_cast<uint8_t>(e);
  EncodeLeafHeader(h, page_);
  for (int i = 0; i < n_; ++i) {
    const uint64_t v = recnos_[i] | (uint64_t{dups_[i]} << r) | (uint64_t{trails_[i]} << (r + bits));
    EncodeLeafEntry(v, i, e, page_);
  }
}

namespace {

Status Damaged(std::string what) { return Status(kErrCorrupt, std::move(what)); }

// Whether a leaf's widths and count describe entries inside the page.
bool LeafEntriesFit(const LeafHeader& h, int n) {
  const int e = h.entryBytes;
  return n == 0 || (e >= 1 && e <= 8 && h.recnoBits + h.dupBits + h.trailBits <= 8 * e &&
                    kLeafHeaderSize + n * e <= static_cast<int>(kPageSize));
}

}  // namespace

Status DecodeNode(const uint8_t* page, int keyLen, uint8_t pad, Node* out) {
  const NodeHeader header = DecodeNodeHeader(page);
  out->attr = header.attr;
  out->left = header.left;
  out->right = header.right;
  out->keyLen = keyLen;
  out->keys.clear();
  out->recnos.clear();
  out->children.clear();
  const int n = header.keyCount;
  if (out->attr > 7) {  // bit 2 is set by some writers on every page of a tag; it is kept
    return Damaged("bad page attribute " + std::to_string(out->attr));
  }
  if (keyLen < 1 || keyLen > kMaxKeyLength) {
    return Damaged("bad key length " + std::to_string(keyLen));
  }
  if (!out->leaf()) {
    if (n == 0 || n > InteriorCapacity(keyLen)) {
      return Damaged("interior page holds " + std::to_string(n) + " keys");
    }
    out->keys.resize(static_cast<std::size_t>(n) * keyLen);
    out->recnos.resize(n);
    out->children.resize(n);
    for (int i = 0; i < n; ++i) {
      const uint8_t* entry = InteriorEntryAt(page, keyLen, i);
      std::memcpy(out->mutable_key(i), entry, keyLen);
      out->recnos[i] = InteriorEntryRecno(entry, keyLen);
      out->children[i] = InteriorEntryChild(entry, keyLen);
    }
    return Status::Ok();
  }
  const LeafHeader leaf = DecodeLeafHeader(page);
  const uint32_t recMask = leaf.recnoMask;
  const uint32_t dupMask = leaf.dupMask;
  const uint32_t trailMask = leaf.trailMask;
  const int r = leaf.recnoBits;
  const int d = leaf.dupBits;
  const int e = leaf.entryBytes;
  if (n > 0 && (e < 1 || e > 8 || r + d + leaf.trailBits > 8 * e)) {
    return Damaged("leaf bit widths cannot hold an entry");
  }
  if (kLeafHeaderSize + n * e > static_cast<int>(kPageSize)) {
    return Damaged("leaf key count " + std::to_string(n) + " does not fit the page");
  }
  // Every key starts as padding, so only the shared and stored bytes are copied.
  out->keys.assign(static_cast<std::size_t>(n) * keyLen, pad);
  out->recnos.resize(n);
  const int entriesEnd = kLeafHeaderSize + n * e;
  int pos = kPageSize;
  for (int i = 0; i < n; ++i) {
    const uint64_t v = DecodeLeafEntry(page, i, e);
    uint32_t recno = static_cast<uint32_t>(v) & recMask;
    int dup = static_cast<int>(Shr(v, r) & dupMask);
    int trail = static_cast<int>(Shr(v, r + d) & trailMask);
    if (dup + trail > keyLen || (i == 0 && dup != 0)) {
      return Damaged("leaf entry " + std::to_string(i) + " has impossible counts");
    }
    int stored = keyLen - dup - trail;
    pos -= stored;
    if (pos < entriesEnd) {
      return Damaged("leaf key bytes overlap the entries");
    }
    uint8_t* key = out->mutable_key(i);
    if (dup > 0) {
      std::memcpy(key, key - keyLen, dup);
    }
    std::memcpy(key + dup, page + pos, stored);
    out->recnos[i] = recno;
  }
  return Status::Ok();
}

Status RenumberPage(uint8_t* page, int keyLen, const std::vector<uint32_t>& removed,
                    bool* changed) {
  *changed = false;
  const uint32_t first = removed.empty() ? UINT32_MAX : removed.front();
  auto lowered = [&](uint32_t r) {
    return r <= first ? r
                      : r - static_cast<uint32_t>(std::upper_bound(removed.begin(), removed.end(), r) -
                                                  removed.begin());
  };
  const NodeHeader header = DecodeNodeHeader(page);
  const int n = header.keyCount;
  if ((header.attr & kAttrLeaf) == 0) {
    for (int i = 0; i < n; ++i) {
      uint8_t* entry = InteriorEntryAt(page, keyLen, i);
      const uint32_t old = InteriorEntryRecno(entry, keyLen);
      if (old > first) {
        SetInteriorEntryRecno(entry, keyLen, lowered(old));
        *changed = true;
      }
    }
    return Status::Ok();
  }
  const LeafHeader leaf = DecodeLeafHeader(page);
  const uint32_t recMask = leaf.recnoMask;
  const int e = leaf.entryBytes;
  if (!LeafEntriesFit(leaf, n)) {
    return Damaged("leaf bit widths or key count do not fit the page");
  }
  // An entry is e little-endian bytes whose low bits under the mask hold the
  // record number; lowering it leaves the other bits alone.
  for (int i = 0; i < n; ++i) {
    const uint64_t v = DecodeLeafEntry(page, i, e);
    const uint32_t old = static_cast<uint32_t>(v) & recMask;
    if (old <= first) {
      continue;
    }
    const uint32_t now = lowered(old);
    if ((now & ~recMask) != 0) {
      // Only a mask that is no run of low bits lets this happen; the pages
      // before this one may be changed already, so the caller gives up.
      return Damaged("leaf record number mask " + std::to_string(recMask) +
                     " is not a run of low bits");
    }
    EncodeLeafEntry((v & ~uint64_t{recMask}) | now, i, e, page);
    *changed = true;
  }
  return Status::Ok();
}

}  // namespace xce::cdx
