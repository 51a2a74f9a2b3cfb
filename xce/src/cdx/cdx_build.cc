#include "cdx/cdx_build.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <thread>

namespace xce::cdx {

namespace {

// Eight key bytes from `from` as a big-endian integer (zeros past the key).
uint64_t Prefix8(const uint8_t* key, int keyLen, int from = 0) {
  if (std::endian::native == std::endian::little && from + 8 <= keyLen) {
    uint64_t v;
    std::memcpy(&v, key + from, 8);
    return __builtin_bswap64(v);
  }
  uint64_t v = 0;
  for (int i = from; i < from + 8; ++i) {
    v = (v << 8) | (i < keyLen ? key[i] : 0);
  }
  return v;
}

// An entry while sorting: the first sixteen key bytes as two big-endian
// integers decide most comparisons without touching the key array.
struct SortItem {
  uint64_t prefix;
  uint64_t prefix2;
  uint32_t recno;
  uint32_t index;
};

uint8_t PrefixByte(const SortItem& item, int depth) {
  const uint64_t v = depth < 8 ? item.prefix : item.prefix2;
  return static_cast<uint8_t>(v >> (56 - 8 * (depth & 7)));
}

// Below this many entries a group is finished by comparison.
constexpr std::size_t kRadixCutoff = 64;

// Items [first, first + count) that share their first `depth` prefix bytes.
struct SortGroup {
  std::size_t first;
  std::size_t count;
  int depth;
};

// Most significant byte first: distributes items [0, n) by the prefix byte at
// `depth` into groups, then each group by the next byte, up to `maxDepth`
// bytes; small groups and groups whose prefix bytes are all equal are
// finished by `less`, which compares the whole key and the record number.
// `tmp` has room for n items. With `groups`, groups of at most `shareLimit`
// items are handed back unsorted, for the caller to share out; larger ones
// are split further first, so that no one group holds most of the work.
template <typename Less>
void RadixSort(SortItem* a, SortItem* tmp, std::size_t n, int depth, int maxDepth,
               const Less& less, std::vector<SortGroup>* groups, std::size_t shareLimit = 0) {
  if (n <= kRadixCutoff) {
    std::sort(a, a + n, less);
    return;
  }
  // Bytes every item has alike are passed over: one pass finds the first
  // byte that differs, from the bits where the union and the intersection of
  // the prefixes disagree.
  uint64_t any1 = 0, all1 = ~uint64_t{0}, any2 = 0, all2 = ~uint64_t{0};
  for (std::size_t i = 0; i < n; ++i) {
    any1 |= a[i].prefix;
    all1 &= a[i].prefix;
    any2 |= a[i].prefix2;
    all2 &= a[i].prefix2;
  }
  const SortItem differ{any1 ^ all1, any2 ^ all2, 0, 0};
  while (depth < maxDepth && PrefixByte(differ, depth) == 0) {
    ++depth;
  }
  if (depth >= maxDepth) {
    // Alike in every prefix byte: often a run of one key, already in record
    // order, since distributing keeps the order items came in.
    if (!std::is_sorted(a, a + n, less)) {
      std::sort(a, a + n, less);
    }
    return;
  }
  std::size_t count[256] = {};
  for (std::size_t i = 0; i < n; ++i) {
    ++count[PrefixByte(a[i], depth)];
  }
  std::size_t start[256];
  std::size_t at = 0;
  for (int b = 0; b < 256; ++b) {
    start[b] = at;
    at += count[b];
  }
  std::size_t next[256];
  std::memcpy(next, start, sizeof next);
  for (std::size_t i = 0; i < n; ++i) {
    tmp[next[PrefixByte(a[i], depth)]++] = a[i];
  }
  std::memcpy(a, tmp, n * sizeof(SortItem));
  for (int b = 0; b < 256; ++b) {
    if (count[b] < 2) {
      continue;
    }
    if (groups == nullptr) {
      RadixSort(a + start[b], tmp + start[b], count[b], depth + 1, maxDepth, less, nullptr);
    } else if (count[b] > shareLimit) {
      std::vector<SortGroup> inner;
      RadixSort(a + start[b], tmp + start[b], count[b], depth + 1, maxDepth, less, &inner,
                shareLimit);
      for (SortGroup g : inner) {
        g.first += start[b];
        groups->push_back(g);
      }
    } else {
      groups->push_back({start[b], count[b], depth + 1});
    }
  }
}

}  // namespace

void SortEntries(TagSpec* tagSpec) {
  if (tagSpec->sorted && !tagSpec->unique) {
    return;
  }
  const int keyLen = tagSpec->keyLen;
  const std::size_t n = tagSpec->recnos.size();
  std::vector<SortItem> items(n);
  for (std::size_t i = 0; i < n; ++i) {
    const uint8_t* key = tagSpec->keys.data() + i * keyLen;
    items[i] = {Prefix8(key, keyLen), keyLen > 8 ? Prefix8(key, keyLen, 8) : 0, tagSpec->recnos[i],
                static_cast<uint32_t>(i)};
  }
  const uint8_t* keys = tagSpec->keys.data();
  auto keyCompare = [&](const SortItem& a, const SortItem& b) {
    if (a.prefix != b.prefix) {
      return a.prefix < b.prefix ? -1 : 1;
    }
    if (a.prefix2 != b.prefix2) {
      return a.prefix2 < b.prefix2 ? -1 : 1;
    }
    if (keyLen <= 16) {
      return 0;
    }
    return std::memcmp(keys + std::size_t{a.index} * keyLen + 16,
                       keys + std::size_t{b.index} * keyLen + 16, keyLen - 16);
  };
  auto less = [&](const SortItem& a, const SortItem& b) {
    int c = keyCompare(a, b);
    return c != 0 ? c < 0 : a.recno < b.recno;
  };
  if (n > 0) {
    std::vector<SortItem> tmp(n);
    const int maxDepth = std::min(keyLen, 16);
    const bool shared = n >= (1u << 16) && std::thread::hardware_concurrency() >= 2;
    std::vector<SortGroup> groups;
    RadixSort(items.data(), tmp.data(), n, 0, maxDepth, less, shared ? &groups : nullptr, n / 16);
    // The groups are independent: both cores take them in turn, largest first.
    std::sort(groups.begin(), groups.end(),
              [](const SortGroup& x, const SortGroup& y) { return x.count > y.count; });
    ParallelFor(groups.size(), [&](std::size_t i) {
      const SortGroup& g = groups[i];
      RadixSort(items.data() + g.first, tmp.data() + g.first, g.count, g.depth, maxDepth, less,
                nullptr);
    });
  }
  // The keys are gathered in their new order: reads all over the key array,
  // so each is asked for some items ahead of its turn.
  constexpr std::size_t kAhead = 16;
  std::vector<uint8_t> sortedKeys(tagSpec->keys.size());
  std::vector<uint32_t> sortedRecnos(n);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (i + kAhead < n) {
      __builtin_prefetch(keys + std::size_t{items[i + kAhead].index} * keyLen);
    }
    if (tagSpec->unique && i > 0 && keyCompare(items[i - 1], items[i]) == 0) {
      continue;
    }
    std::memcpy(sortedKeys.data() + kept * keyLen, keys + std::size_t{items[i].index} * keyLen,
                keyLen);
    sortedRecnos[kept++] = items[i].recno;
  }
  sortedKeys.resize(kept * keyLen);
  sortedRecnos.resize(kept);
  tagSpec->keys = std::move(sortedKeys);
  tagSpec->recnos = std::move(sortedRecnos);
}

BuiltTree BuildTree(const uint8_t* keys, const uint32_t* recnos, std::size_t n, int keyLen,
                    uint8_t pad) {
  BuiltTree tree;
  const int bits = CountBits(keyLen);
  auto newNode = [&](uint16_t attr) {
    Node node;
    node.attr = attr;
    node.keyLen = keyLen;
    node.offset = static_cast<uint32_t>(tree.nodes.size());
    tree.nodes.push_back(std::move(node));
    return &tree.nodes.back();
  };
  // Leaves, each filled as far as its compressed entries go.
  Node* leaf = newNode(kAttrLeaf);
  int keyBytes = 0;
  uint32_t maxRecno = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const uint8_t* key = keys + i * keyLen;
    const uint8_t* prev = leaf->size() == 0 ? nullptr : leaf->key(leaf->size() - 1);
    int dup, trail;
    EntryCounts(prev, key, keyLen, pad, &dup, &trail);
    uint32_t newMax = std::max(maxRecno, recnos[i]);
    int need = kLeafHeaderSize + (leaf->size() + 1) * EntryBytes(newMax, bits) + keyBytes +
               (keyLen - dup - trail);
    if (leaf->size() > 0 && need > static_cast<int>(kPageSize)) {
      leaf = newNode(kAttrLeaf);
      EntryCounts(nullptr, key, keyLen, pad, &dup, &trail);
      keyBytes = 0;
      newMax = recnos[i];
    }
    keyBytes += keyLen - dup - trail;
    maxRecno = newMax;
    leaf->keys.insert(leaf->keys.end(), key, key + keyLen);
    leaf->recnos.push_back(recnos[i]);
  }
  // Interior levels above, each entry naming its child's last entry.
  std::size_t levelBegin = 0;
  std::size_t levelEnd = tree.nodes.size();
  const std::size_t capacity = InteriorCapacity(keyLen);
  while (true) {
    for (std::size_t i = levelBegin; i < levelEnd; ++i) {
      tree.nodes[i].left = i == levelBegin ? kNoPage : static_cast<uint32_t>(i - 1);
      tree.nodes[i].right = i + 1 == levelEnd ? kNoPage : static_cast<uint32_t>(i + 1);
    }
    if (levelEnd - levelBegin == 1) {
      break;
    }
    std::size_t nextBegin = tree.nodes.size();
    Node* parent = nullptr;
    for (std::size_t i = levelBegin; i < levelEnd; ++i) {
      if (parent == nullptr || parent->size() == static_cast<int>(capacity)) {
        parent = newNode(kAttrInterior);
      }
      const Node& child = tree.nodes[i];
      parent->keys.insert(parent->keys.end(), child.key(child.size() - 1),
                          child.key(child.size() - 1) + keyLen);
      parent->recnos.push_back(child.recnos.back());
      parent->children.push_back(static_cast<uint32_t>(i));
    }
    levelBegin = nextBegin;
    levelEnd = tree.nodes.size();
  }
  tree.rootIndex = static_cast<uint32_t>(levelBegin);
  tree.nodes[levelBegin].attr |= kAttrRoot;
  return tree;
}

void PlaceTree(BuiltTree* tree, uint32_t base) {
  auto place = [base](uint32_t index) {
    return index == kNoPage ? kNoPage : base + index * kPageSize;
  };
  for (Node& node : tree->nodes) {
    node.offset = place(node.offset);
    node.left = place(node.left);
    node.right = place(node.right);
    for (uint32_t& c : node.children) {
      c = place(c);
    }
  }
}

void EncodeTree(const BuiltTree& tree, uint8_t pad, uint8_t* out) {
  for (std::size_t i = 0; i < tree.nodes.size(); ++i) {
    EncodeNode(tree.nodes[i], pad, out + i * kPageSize);
  }
}

bool EncodeHeader(const HeaderFields& h, uint8_t* out) {
  std::memset(out, 0, 2 * kPageSize);
  if (h.keyExpr.size() + h.forExpr.size() + 2 > kPageSize) {
    return false;
  }
  PutLe32(out, h.root);
  PutLe32(out + 4, h.freeHead);
  PutBe32(out + 8, h.counter);
  PutLe16(out + 12, static_cast<uint16_t>(h.keyLen));
  out[14] = h.options;
  out[15] = 0x01;
  std::memcpy(out + 494, h.collation.data(), std::min<std::size_t>(h.collation.size(), 8));
  PutLe16(out + 502, h.descending ? 1 : 0);
  const auto keyLen = static_cast<uint16_t>(h.keyExpr.size() + 1);
  PutLe16(out + 504, keyLen);
  PutLe16(out + 506, static_cast<uint16_t>(h.forExpr.size() + 1));
  PutLe16(out + 508, 0);
  PutLe16(out + 510, keyLen);
  std::memcpy(out + 512, h.keyExpr.data(), h.keyExpr.size());
  std::memcpy(out + 512 + keyLen, h.forExpr.data(), h.forExpr.size());
  return true;
}

std::string ValidateSpec(const TagSpec& tagSpec) {
  if (tagSpec.name.empty() || tagSpec.name.size() > 10) {
    return "tag name \"" + tagSpec.name + "\" must have 1 to 10 characters";
  }
  for (char c : tagSpec.name) {
    bool ok =
        (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
    if (!ok) {
      return "tag name \"" + tagSpec.name + "\" may hold only letters, digits and _";
    }
  }
  if (tagSpec.keyLen < 1 || tagSpec.keyLen > kMaxKeyLength) {
    return "tag " + tagSpec.name + ": key length " + std::to_string(tagSpec.keyLen) +
           " is outside 1 to 240";
  }
  if (tagSpec.keyExpr.empty()) {
    return "tag " + tagSpec.name + ": empty key expression";
  }
  if (tagSpec.keyExpr.size() + tagSpec.forExpr.size() + 2 > kPageSize) {
    return "tag " + tagSpec.name + ": expressions longer than 510 characters";
  }
  if (tagSpec.keys.size() != tagSpec.recnos.size() * static_cast<std::size_t>(tagSpec.keyLen)) {
    return "tag " + tagSpec.name + ": key bytes do not match the entries";
  }
  return {};
}

std::vector<uint8_t> DirectoryKey(const std::string& name, int keyLen) {
  std::vector<uint8_t> key(keyLen, 0x20);
  for (std::size_t i = 0; i < name.size() && i < key.size(); ++i) {
    char c = name[i];
    key[i] = static_cast<uint8_t>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  return key;
}

void ParallelFor(std::size_t n, const std::function<void(std::size_t)>& fn) {
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i = next++; i < n; i = next++) {
      fn(i);
    }
  };
  if (n < 2 || std::thread::hardware_concurrency() < 2) {
    work();
    return;
  }
  std::thread helper(work);
  work();
  helper.join();
}

}  // namespace xce::cdx
