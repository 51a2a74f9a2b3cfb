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
  const HeaderPatch patch = RootPatch(offset);
  Status s = file_->file()->WriteAt(headerOffset_ + patch.offset, patch.bytes, sizeof patch.bytes);
  if (!s.ok()) {
    return file_->IoError(s);
  }
  root_ = offset;
  return Status::Ok();
}

Status CdxTag::Store(std::vector<PathStep>* path, int depth, Node* node) {
  const int n = node->size();
  if (n == 0 && depth > 0) {
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
  // Split: the upper part moves to a new page on the right.
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
  // Every page of the tree once, from the root down; more pages than the
  // file holds means a child pointer loops.
  std::vector<uint32_t> pending{root_};
  uint32_t visited = 0;
  uint8_t page[kPageSize];
  Node node;
  std::string error;
  auto damaged = [&](uint32_t offset) {
    return file_->Corrupt("tag " + name_ + ": page " + std::to_string(offset) + ": " + error);
  };
  while (!pending.empty()) {
    const uint32_t offset = pending.back();
    pending.pop_back();
    if (++visited > file_->page_count() || !file_->ValidPageOffset(offset)) {
      error = visited > file_->page_count() ? "a child pointer loops" : "lies outside the file";
      return damaged(offset);
    }
    XCE_RETURN_IF_ERROR(file_->ReadPage(offset, page));
    if ((Le16(page) & kAttrLeaf) == 0) {
      // Interior pages are decoded for their children; leaves need no keys.
      if (!DecodeNode(page, keyLen_, pad_, &node, &error)) {
        return damaged(offset);
      }
      pending.insert(pending.end(), node.children.begin(), node.children.end());
    }
    bool changed = false;
    if (!RenumberPage(page, keyLen_, removed, &changed, &error)) {
      return damaged(offset);
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
