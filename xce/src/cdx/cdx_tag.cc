#include <algorithm>
#include <cstring>

#include "cdx/cdx_file.h"

namespace xce::cdx {

namespace {

// Deeper trees than this do not exist at 240-byte keys and 4 GB; deeper
// descents mean a child pointer loops.
constexpr int kMaxDepth = 32;

}  // namespace

bool CdxTag::Before(const Node& node, int i, const Target& t) {
  switch (t.mode) {
    case Target::kEntry: {
      int c = CompareBytes(node.key(i), t.key, node.keyLen);
      return c < 0 || (c == 0 && node.recnos[i] < t.recno);
    }
    case Target::kPrefixLower:
      return CompareBytes(node.key(i), t.key, t.len) < 0;
    case Target::kPrefixUpper:
      return CompareBytes(node.key(i), t.key, t.len) <= 0;
  }
  return false;
}

int CdxTag::LowerBound(const Node& node, const Target& t) {
  int lo = 0;
  int hi = node.size();
  while (lo < hi) {
    int mid = (lo + hi) / 2;
    if (Before(node, mid, t)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

Status CdxTag::Descend(const Target& t, std::vector<PathStep>* path) {
  path->clear();
  XCE_RETURN_IF_ERROR(Settle());
  uint32_t offset = root_;
  for (int depth = 0; depth <= kMaxDepth; ++depth) {
    std::shared_ptr<const Node> node;
    XCE_RETURN_IF_ERROR(file_->ReadNode(offset, keyLen_, pad_, &node));
    int i = LowerBound(*node, t);
    if (node->leaf()) {
      path->push_back({std::move(node), i});
      return Status::Ok();
    }
    i = std::min(i, node->size() - 1);
    offset = node->children[i];
    path->push_back({std::move(node), i});
  }
  return file_->Corrupt("tag " + name_ + ": the tree is deeper than " + std::to_string(kMaxDepth) +
                        " levels (a child pointer loops)");
}

Status CdxTag::DescendToLeaf(const Target& t, std::shared_ptr<const Node>* leaf, int* index) {
  XCE_RETURN_IF_ERROR(Settle());
  // Interior pages are looked at through the page cache without taking a
  // share of each: a seek then costs no reference counting on the way down.
  uint32_t offset = root_;
  for (int depth = 0; depth <= kMaxDepth; ++depth) {
    const Node* node = nullptr;
    XCE_RETURN_IF_ERROR(file_->PeekNode(offset, keyLen_, pad_, &node));
    int i = LowerBound(*node, t);
    if (node->leaf()) {
      XCE_RETURN_IF_ERROR(file_->ReadNode(offset, keyLen_, pad_, leaf));
      *index = i;
      return Status::Ok();
    }
    i = std::min(i, node->size() - 1);
    offset = node->children[i];
  }
  return file_->Corrupt("tag " + name_ + ": the tree is deeper than " + std::to_string(kMaxDepth) +
                        " levels (a child pointer loops)");
}

Status CdxTag::SetRoot(uint32_t offset) {
  XCE_RETURN_IF_ERROR(file_->PatchHeader(headerOffset_, RootPatch(offset)));
  root_ = offset;
  return Status::Ok();
}

Status CdxTag::Store(std::vector<PathStep>* path, int depth, Node* node) {
  const int n = node->size();
  if (n == 0 && depth > 0) {
    return DropEmptied(path, depth, node);
  }
  if (n == 0) {
    // The whole tree emptied: the root becomes an empty root leaf.
    node->attr = kAttrRoot | kAttrLeaf;
    node->left = node->right = kNoPage;
    node->children.clear();
    return file_->WriteNode(*node, pad_);
  }
  const bool fits = node->leaf() ? LeafFits(*node, 0, n, pad_) : n <= InteriorCapacity(keyLen_);
  if (fits) {
    XCE_RETURN_IF_ERROR(file_->WriteNode(*node, pad_));
    if (depth == 0) {
      return Status::Ok();
    }
    const PathStep& up = (*path)[depth - 1];
    if (up.node->recnos[up.index] == node->recnos[n - 1] &&
        CompareBytes(up.node->key(up.index), node->key(n - 1), keyLen_) == 0) {
      return Status::Ok();
    }
    Node parent = *up.node;
    parent.Set(up.index, node->key(n - 1), node->recnos[n - 1]);
    return Store(path, depth - 1, &parent);
  }
  // An interior page that holds two entries at most would split into a page
  // of one entry and a page of two; keys added in ascending (or descending)
  // order then leave a page of one entry on every level they pass, and each
  // split deepens the tree. A neighbour under the same parent with room takes
  // the end entry instead, as long as there is one.
  if (!node->leaf() && depth > 0 && InteriorCapacity(keyLen_) < 3) {
    bool moved = false;
    XCE_RETURN_IF_ERROR(ShiftToNeighbour(path, depth, node, &moved));
    if (moved) {
      return Status::Ok();
    }
  }
  return Split(path, depth, node);
}

Status CdxTag::DropEmptied(std::vector<PathStep>* path, int depth, Node* node) {
  // An emptied page leaves its level and its parent, and is freed.
  for (uint32_t side : {node->left, node->right}) {
    if (side == kNoPage) {
      continue;
    }
    std::shared_ptr<const Node> sibling;
    XCE_RETURN_IF_ERROR(file_->ReadNode(side, keyLen_, pad_, &sibling));
    Node copy = *sibling;
    if (side == node->left) {
      copy.right = node->right;
    } else {
      copy.left = node->left;
    }
    XCE_RETURN_IF_ERROR(file_->WriteNode(copy, pad_));
  }
  XCE_RETURN_IF_ERROR(file_->FreePage(node->offset));
  const PathStep& up = (*path)[depth - 1];
  Node parent = *up.node;
  parent.Erase(up.index);
  return Store(path, depth - 1, &parent);
}

Status CdxTag::Split(std::vector<PathStep>* path, int depth, Node* node) {
  const int n = node->size();
  // The upper part moves to a new page on the right.
  int k = n / 2;
  if (node->leaf()) {
    int best = -1;
    for (int d = 0; d < n && best < 0; ++d) {
      for (int cand : {n / 2 - d, n / 2 + d}) {
        if (cand >= 1 && cand <= n - 1 && LeafFits(*node, 0, cand, pad_) &&
            LeafFits(*node, cand, n, pad_)) {
          best = cand;
          break;
        }
      }
    }
    if (best < 0) {
      return file_->Corrupt("tag " + name_ + ": a leaf cannot be split");
    }
    k = best;
  }
  Node right;
  right.keyLen = keyLen_;
  right.attr = static_cast<uint16_t>(node->attr & ~kAttrRoot);
  XCE_RETURN_IF_ERROR(file_->AllocPage(&right.offset));
  node->MoveTail(k, &right);
  right.left = node->offset;
  right.right = node->right;
  if (node->right != kNoPage) {
    std::shared_ptr<const Node> after;
    XCE_RETURN_IF_ERROR(file_->ReadNode(node->right, keyLen_, pad_, &after));
    Node copy = *after;
    copy.left = right.offset;
    XCE_RETURN_IF_ERROR(file_->WriteNode(copy, pad_));
  }
  node->right = right.offset;
  const bool wasRoot = depth == 0;
  node->attr = static_cast<uint16_t>(node->attr & ~kAttrRoot);
  XCE_RETURN_IF_ERROR(file_->WriteNode(right, pad_));
  XCE_RETURN_IF_ERROR(file_->WriteNode(*node, pad_));
  if (wasRoot) {
    Node root;
    root.keyLen = keyLen_;
    root.attr = kAttrRoot;
    XCE_RETURN_IF_ERROR(file_->AllocPage(&root.offset));
    root.Insert(0, node->key(node->size() - 1), node->recnos.back(), node->offset);
    root.Insert(1, right.key(right.size() - 1), right.recnos.back(), right.offset);
    XCE_RETURN_IF_ERROR(file_->WriteNode(root, pad_));
    return SetRoot(root.offset);
  }
  const PathStep& up = (*path)[depth - 1];
  Node parent = *up.node;
  parent.Set(up.index, node->key(node->size() - 1), node->recnos.back());
  parent.Insert(up.index + 1, right.key(right.size() - 1), right.recnos.back(), right.offset);
  return Store(path, depth - 1, &parent);
}

Status CdxTag::ShiftToNeighbour(std::vector<PathStep>* path, int depth, Node* node, bool* moved) {
  *moved = false;
  const PathStep& up = (*path)[depth - 1];
  const int capacity = InteriorCapacity(keyLen_);
  const int n = node->size();
  for (const bool toLeft : {true, false}) {
    const int at = up.index + (toLeft ? -1 : 1);
    if (at < 0 || at >= up.node->size()) {
      continue;
    }
    std::shared_ptr<const Node> sibling;
    XCE_RETURN_IF_ERROR(file_->ReadNode(up.node->children[at], keyLen_, pad_, &sibling));
    if (sibling->leaf() || sibling->size() >= capacity) {
      continue;
    }
    Node next = *sibling;
    const int from = toLeft ? 0 : n - 1;
    next.Insert(toLeft ? next.size() : 0, node->key(from), node->recnos[from],
                node->children[from]);
    node->Erase(from);
    XCE_RETURN_IF_ERROR(file_->WriteNode(next, pad_));
    XCE_RETURN_IF_ERROR(file_->WriteNode(*node, pad_));
    // The parent names each page by its last entry.
    Node parent = *up.node;
    parent.Set(up.index, node->key(node->size() - 1), node->recnos.back());
    parent.Set(at, next.key(next.size() - 1), next.recnos.back());
    *moved = true;
    return Store(path, depth - 1, &parent);
  }
  return Status::Ok();
}

Status CdxTag::Insert(const uint8_t* key, uint32_t recno, bool* added) {
  if (added != nullptr) {
    *added = false;
  }
  if (file_->read_only()) {
    return file_->CheckWritable();
  }
  if (unique()) {
    TagCursor probe(this);
    bool present = probe.Seek(key, keyLen_, false);
    XCE_RETURN_IF_ERROR(probe.status());
    if (present) {
      return Status::Ok();
    }
  }
  std::vector<PathStep> path;
  XCE_RETURN_IF_ERROR(Descend({Target::kEntry, key, keyLen_, recno}, &path));
  const PathStep& at = path.back();
  if (at.index < at.node->size() && at.node->recnos[at.index] == recno &&
      CompareBytes(at.node->key(at.index), key, keyLen_) == 0) {
    return Status::Ok();
  }
  Node leaf = *at.node;
  leaf.Insert(at.index, key, recno, 0);
  ++version_;
  XCE_RETURN_IF_ERROR(Store(&path, static_cast<int>(path.size()) - 1, &leaf));
  if (added != nullptr) {
    *added = true;
  }
  return Status::Ok();
}

Status CdxTag::Hold(const uint8_t* key, uint32_t recno) {
  if (unique()) {
    return Insert(key, recno);
  }
  XCE_RETURN_IF_ERROR(file_->CheckWritable());
  heldKeys_.insert(heldKeys_.end(), key, key + keyLen_);
  heldRecnos_.push_back(recno);
  ++version_;  // cursors find their entry again, which settles the tag
  return Status::Ok();
}

Status CdxTag::Settle() {
  if (heldRecnos_.empty()) {
    return Status::Ok();
  }
  // Taken out first: the insert reads the tree, which settles the tag.
  std::vector<uint8_t> keys = std::move(heldKeys_);
  std::vector<uint32_t> recnos = std::move(heldRecnos_);
  heldKeys_.clear();
  heldRecnos_.clear();
  const auto kl = static_cast<std::size_t>(keyLen_);
  auto less = [&](uint32_t a, uint32_t b) {
    const int c = std::memcmp(keys.data() + a * kl, keys.data() + b * kl, kl);
    return c < 0 || (c == 0 && recnos[a] < recnos[b]);
  };
  std::vector<uint32_t> order(recnos.size());
  for (uint32_t i = 0; i < order.size(); ++i) {
    order[i] = i;
  }
  std::vector<uint8_t> sortedKeys;
  std::vector<uint32_t> sortedRecnos;
  if (!std::is_sorted(order.begin(), order.end(), less)) {
    std::sort(order.begin(), order.end(), less);
  }
  sortedKeys.reserve(keys.size());
  sortedRecnos.reserve(recnos.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    const uint32_t i = order[k];
    if (k > 0 && !less(order[k - 1], i)) {
      continue;  // held twice
    }
    sortedKeys.insert(sortedKeys.end(), keys.begin() + static_cast<std::ptrdiff_t>(i * kl),
                      keys.begin() + static_cast<std::ptrdiff_t>((i + 1) * kl));
    sortedRecnos.push_back(recnos[i]);
  }
  Status s = InsertSorted(sortedKeys.data(), sortedRecnos.data(), sortedRecnos.size());
  if (!s.ok()) {
    heldKeys_ = std::move(sortedKeys);
    heldRecnos_ = std::move(sortedRecnos);
  }
  return s;
}

Status CdxTag::InsertSorted(const uint8_t* keys, const uint32_t* recnos, std::size_t n) {
  XCE_RETURN_IF_ERROR(file_->CheckWritable());
  if (unique()) {
    for (std::size_t i = 0; i < n; ++i) {
      XCE_RETURN_IF_ERROR(Insert(keys + i * static_cast<std::size_t>(keyLen_), recnos[i]));
    }
    return Status::Ok();
  }
  if (n == 0) {
    return Status::Ok();
  }
  ++version_;
  file_->BeginBatch();
  Status s = MergeBatch(keys, recnos, n);
  Status e = file_->EndBatch();
  return s.ok() ? e : s;
}

Status CdxTag::MergeBatch(const uint8_t* keys, const uint32_t* recnos, std::size_t n) {
  Batch b{keys, recnos, {}};
  Pieces top;
  XCE_RETURN_IF_ERROR(MergeSubtree(root_, 0, 0, n, &b, &top));
  // Right neighbours of split pages that took no entries themselves.
  for (const auto& [offset, left] : b.leftOf) {
    std::shared_ptr<const Node> node;
    XCE_RETURN_IF_ERROR(file_->ReadNode(offset, keyLen_, pad_, &node));
    Node copy = *node;
    copy.left = left;
    XCE_RETURN_IF_ERROR(file_->WriteNode(copy, pad_));
  }
  // A root that split gets a level above its pieces, as often as it takes.
  while (top.size() > 1) {
    Node level;
    level.keyLen = keyLen_;
    level.attr = kAttrRoot;
    level.keys = std::move(top.keys);
    level.recnos = std::move(top.recnos);
    level.children = std::move(top.offsets);
    top = Pieces();
    XCE_RETURN_IF_ERROR(WriteCut(&level, true, &b, &top));
  }
  return top.offsets[0] == root_ ? Status::Ok() : SetRoot(top.offsets[0]);
}

Status CdxTag::MergeSubtree(uint32_t offset, int depth, std::size_t lo, std::size_t hi, Batch* b,
                            Pieces* out) {
  if (depth > kMaxDepth) {
    return file_->Corrupt("tag " + name_ + ": the tree is deeper than " +
                          std::to_string(kMaxDepth) + " levels (a child pointer loops)");
  }
  std::shared_ptr<const Node> node;
  XCE_RETURN_IF_ERROR(file_->ReadNode(offset, keyLen_, pad_, &node));
  const int n = node->size();
  if (n == 0 && (depth > 0 || !node->leaf())) {
    return file_->Corrupt("tag " + name_ + ": page " + std::to_string(offset) +
                          " holds no entries");
  }
  Node merged;
  merged.offset = node->offset;
  merged.attr = node->attr;
  merged.left = node->left;
  merged.right = node->right;
  merged.keyLen = keyLen_;
  const auto kl = static_cast<std::size_t>(keyLen_);
  bool changed = false;
  if (node->leaf()) {
    merged.keys.reserve((static_cast<std::size_t>(n) + hi - lo) * kl);
    merged.recnos.reserve(static_cast<std::size_t>(n) + hi - lo);
    int i = 0;
    std::size_t j = lo;
    while (i < n || j < hi) {
      int c = 1;  // > 0: the batch's entry comes first
      if (i < n && j < hi) {
        c = CompareBytes(node->key(i), b->keys + j * kl, keyLen_);
        c = c != 0 ? c : (node->recnos[i] < b->recnos[j] ? -1 : node->recnos[i] > b->recnos[j]);
      } else if (i < n) {
        c = -1;
      }
      if (c <= 0) {
        merged.keys.insert(merged.keys.end(), node->key(i), node->key(i) + kl);
        merged.recnos.push_back(node->recnos[i]);
        ++i;
        j += c == 0 ? 1 : 0;  // present already
      } else {
        merged.keys.insert(merged.keys.end(), b->keys + j * kl, b->keys + (j + 1) * kl);
        merged.recnos.push_back(b->recnos[j]);
        ++j;
        changed = true;
      }
    }
  } else {
    // Each child takes the entries up to its last one; the last child the rest.
    std::size_t j = lo;
    for (int c = 0; c < n; ++c) {
      std::size_t end = j;
      if (c == n - 1) {
        end = hi;
      } else {
        while (end < hi &&
               !Before(*node, c, {Target::kEntry, b->keys + end * kl, keyLen_, b->recnos[end]})) {
          ++end;
        }
      }
      if (end == j) {
        merged.keys.insert(merged.keys.end(), node->key(c), node->key(c) + kl);
        merged.recnos.push_back(node->recnos[c]);
        merged.children.push_back(node->children[c]);
        continue;
      }
      Pieces sub;
      XCE_RETURN_IF_ERROR(MergeSubtree(node->children[c], depth + 1, j, end, b, &sub));
      changed = changed || sub.size() != 1 || sub.recnos[0] != node->recnos[c] ||
                CompareBytes(sub.keys.data(), node->key(c), keyLen_) != 0;
      merged.keys.insert(merged.keys.end(), sub.keys.begin(), sub.keys.end());
      merged.recnos.insert(merged.recnos.end(), sub.recnos.begin(), sub.recnos.end());
      merged.children.insert(merged.children.end(), sub.offsets.begin(), sub.offsets.end());
      j = end;
    }
  }
  if (auto fix = b->leftOf.find(offset); fix != b->leftOf.end()) {
    merged.left = fix->second;
    b->leftOf.erase(fix);
    changed = true;
  }
  if (!changed) {
    out->keys.assign(node->key(n - 1), node->key(n - 1) + kl);
    out->recnos.push_back(node->recnos[n - 1]);
    out->offsets.push_back(offset);
    return Status::Ok();
  }
  return WriteCut(&merged, false, b, out);
}

std::vector<int> CdxTag::Cuts(const Node& node) const {
  const int n = node.size();
  // The most entries from `from` on, up to `limit`, that one page holds.
  auto fill = [&](int from, int limit) {
    if (!node.leaf()) {
      return std::min(limit, from + InteriorCapacity(keyLen_));
    }
    return LeafFill(node, from, limit, pad_);
  };
  int pages = 0;
  for (int from = 0; from < n; from = fill(from, n)) {
    ++pages;
  }
  std::vector<int> cuts{0};
  for (int from = 0; from < n; --pages) {
    const int left = std::max(pages, 1);
    from = fill(from, from + (n - from + left - 1) / left);
    cuts.push_back(from);
  }
  return cuts;
}

Status CdxTag::WriteCut(Node* merged, bool fresh, Batch* b, Pieces* out) {
  const std::vector<int> cuts = Cuts(*merged);
  const std::size_t count = cuts.size() - 1;
  std::vector<uint32_t> offsets(count, merged->offset);
  for (std::size_t k = fresh ? 0 : 1; k < count; ++k) {
    XCE_RETURN_IF_ERROR(file_->AllocPage(&offsets[k]));
  }
  if (count > 1 && merged->right != kNoPage) {
    b->leftOf[merged->right] = offsets.back();
  }
  const auto kl = static_cast<std::size_t>(keyLen_);
  for (std::size_t k = 0; k < count; ++k) {
    const auto from = static_cast<std::size_t>(cuts[k]);
    const auto to = static_cast<std::size_t>(cuts[k + 1]);
    Node piece;
    piece.offset = offsets[k];
    piece.attr = count > 1 ? static_cast<uint16_t>(merged->attr & ~kAttrRoot) : merged->attr;
    piece.left = k == 0 ? merged->left : offsets[k - 1];
    piece.right = k + 1 == count ? merged->right : offsets[k + 1];
    piece.keyLen = keyLen_;
    piece.keys.assign(merged->keys.begin() + static_cast<std::ptrdiff_t>(from * kl),
                      merged->keys.begin() + static_cast<std::ptrdiff_t>(to * kl));
    piece.recnos.assign(merged->recnos.begin() + static_cast<std::ptrdiff_t>(from),
                        merged->recnos.begin() + static_cast<std::ptrdiff_t>(to));
    if (!merged->leaf()) {
      piece.children.assign(merged->children.begin() + static_cast<std::ptrdiff_t>(from),
                            merged->children.begin() + static_cast<std::ptrdiff_t>(to));
    }
    XCE_RETURN_IF_ERROR(file_->WriteNode(piece, pad_));
    out->keys.insert(out->keys.end(), piece.key(piece.size() - 1),
                     piece.key(piece.size() - 1) + kl);
    out->recnos.push_back(piece.recnos.back());
    out->offsets.push_back(piece.offset);
  }
  return Status::Ok();
}

Status CdxTag::Delete(const uint8_t* key, uint32_t recno, bool* removed) {
  if (removed != nullptr) {
    *removed = false;
  }
  std::vector<PathStep> path;
  XCE_RETURN_IF_ERROR(Descend({Target::kEntry, key, keyLen_, recno}, &path));
  const PathStep& at = path.back();
  if (at.index >= at.node->size() || at.node->recnos[at.index] != recno ||
      CompareBytes(at.node->key(at.index), key, keyLen_) != 0) {
    return Status::Ok();
  }
  Node leaf = *at.node;
  leaf.Erase(at.index);
  ++version_;
  XCE_RETURN_IF_ERROR(Store(&path, static_cast<int>(path.size()) - 1, &leaf));
  if (removed != nullptr) {
    *removed = true;
  }
  return Status::Ok();
}

Status CdxTag::Renumber(const std::vector<uint32_t>& removed) {
  XCE_RETURN_IF_ERROR(file_->CheckWritable());
  XCE_RETURN_IF_ERROR(Settle());
  // Every page of the tree once, from the root down; more pages than the
  // file holds means a child pointer loops.
  std::vector<uint32_t> pending{root_};
  uint32_t visited = 0;
  uint8_t page[kPageSize];
  Node node;
  auto damaged = [&](uint32_t offset, const std::string& error) {
    return file_->Corrupt("tag " + name_ + ": page " + std::to_string(offset) + ": " + error);
  };
  while (!pending.empty()) {
    const uint32_t offset = pending.back();
    pending.pop_back();
    if (++visited > file_->page_count() || !file_->ValidPageOffset(offset)) {
      return damaged(offset,
                     visited > file_->page_count() ? "a child pointer loops" : "lies outside the file");
    }
    XCE_RETURN_IF_ERROR(file_->ReadPage(offset, page));
    if (!PageIsLeaf(page)) {
      // Interior pages are decoded for their children; leaves need no keys.
      if (Status s = DecodeNode(page, keyLen_, pad_, &node); !s.ok()) {
        return damaged(offset, s.message());
      }
      pending.insert(pending.end(), node.children.begin(), node.children.end());
    }
    bool changed = false;
    if (Status s = RenumberPage(page, keyLen_, removed, &changed); !s.ok()) {
      return damaged(offset, s.message());
    }
    if (changed) {
      XCE_RETURN_IF_ERROR(file_->WritePage(offset, page));
    }
  }
  ++version_;
  return Status::Ok();
}

Status CdxTag::Contains(const uint8_t* key, uint32_t recno, bool* found) {
  std::vector<PathStep> path;
  XCE_RETURN_IF_ERROR(Descend({Target::kEntry, key, keyLen_, recno}, &path));
  const PathStep& at = path.back();
  *found = at.index < at.node->size() && at.node->recnos[at.index] == recno &&
           CompareBytes(at.node->key(at.index), key, keyLen_) == 0;
  return Status::Ok();
}

Status CdxTag::BuildLeafIndex() {
  XCE_RETURN_IF_ERROR(Settle());
  if (leafIndex_.version == version_) {
    return Status::Ok();
  }
  LeafIndex index;
  uint32_t offset = root_;
  std::shared_ptr<const Node> node;
  for (int depth = 0;; ++depth) {
    if (depth > kMaxDepth) {
      return file_->Corrupt("tag " + name_ + ": a child pointer loops");
    }
    XCE_RETURN_IF_ERROR(file_->ReadNode(offset, keyLen_, pad_, &node));
    if (node->leaf()) {
      break;
    }
    offset = node->children[0];
  }
  while (true) {
    if (!node->leaf()) {
      return file_->Corrupt("tag " + name_ + ": the leaf chain reaches an interior page");
    }
    // Stored key order is not checked: a chain is sound as long as it ends.
    if (!index.ordinal.emplace(node->offset, index.offsets.size()).second) {
      return file_->Corrupt("tag " + name_ + ": the leaf chain loops");
    }
    index.offsets.push_back(node->offset);
    index.before.push_back(index.total);
    index.total += node->size();
    if (node->right == kNoPage) {
      break;
    }
    XCE_RETURN_IF_ERROR(file_->ReadNode(node->right, keyLen_, pad_, &node));
  }
  index.version = version_;
  leafIndex_ = std::move(index);
  return Status::Ok();
}

Status CdxTag::Count(uint64_t* n) {
  XCE_RETURN_IF_ERROR(BuildLeafIndex());
  *n = leafIndex_.total;
  return Status::Ok();
}

void CdxTag::SetKeyType(KeyType type) {
  uint8_t pad = PadByte(type);
  if (pad != pad_) {
    pad_ = pad;
    file_->ClearCache();
    ++version_;
  }
}

std::unique_ptr<TagCursor> CdxTag::NewCursor() { return std::make_unique<TagCursor>(this); }

}  // namespace xce::cdx
