#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "cdx/cdx_file.h"

namespace xce::cdx {

void TagCursor::Fail(Status s) {
  status_ = std::move(s);
  leaf_.reset();
}

bool TagCursor::LoadLeaf(uint32_t offset) {
  std::shared_ptr<const Node> node;
  Status s = tag_->file_->ReadNode(offset, tag_->keyLen_, tag_->pad_, &node);
  if (!s.ok()) {
    Fail(std::move(s));
    return false;
  }
  if (!node->leaf()) {
    Fail(tag_->file_->Corrupt("tag " + tag_->name_ + ": a leaf's sibling is not a leaf"));
    return false;
  }
  leaf_ = std::move(node);
  return true;
}

void TagCursor::PhysSeek(const CdxTag::Target& t) {
  status_ = Status::Ok();
  hops_ = 0;
  hopDirection_ = 0;
  // Seeks in key order one after another (a membership looked up for each
  // record of a list in id order) mostly land in the leaf the cursor stands
  // in: when the target falls after the leaf's first entry and not after its
  // last, the first entry not before it is in this leaf, and the descent from
  // the root is spared.
  if (leaf_ != nullptr && version_ == tag_->version_ && leaf_->size() > 0 &&
      CdxTag::Before(*leaf_, 0, t) && !CdxTag::Before(*leaf_, leaf_->size() - 1, t)) {
    // The target is mostly a few entries on from the last one: looked for
    // there first, then by halving what is left.
    int lo = 0;
    int hi = leaf_->size() - 1;  // not before the target
    if (index_ > 0 && index_ < hi) {
      if (CdxTag::Before(*leaf_, index_, t)) {
        lo = index_ + 1;
        for (int probe = 0; probe < 4 && lo < hi; ++probe, ++lo) {
          if (!CdxTag::Before(*leaf_, lo, t)) {
            hi = lo;
            break;
          }
        }
      } else {
        hi = index_;
      }
    }
    while (lo < hi) {
      const int mid = lo + (hi - lo) / 2;
      if (CdxTag::Before(*leaf_, mid, t)) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    index_ = lo;
    return;
  }
  version_ = tag_->version_;
  Status s = tag_->DescendToLeaf(t, &leaf_, &index_);
  if (!s.ok()) {
    Fail(std::move(s));
    return;
  }
}

// Files written elsewhere may hold keys out of byte order, and a walk shows
// them as stored, so key order cannot tell a damaged chain from a sound one.
// What can: a walk in one direction never takes more sibling hops than the
// file has pages.
bool TagCursor::CountHop(int direction) {
  if (direction != hopDirection_) {
    hopDirection_ = direction;
    hops_ = 0;
  }
  if (++hops_ > tag_->file_->page_count()) {
    Fail(tag_->file_->Corrupt("tag " + tag_->name_ + ": the leaf chain loops"));
    return false;
  }
  return true;
}

void TagCursor::SettleForward() {
  while (leaf_ != nullptr && index_ >= leaf_->size()) {
    if (leaf_->right == kNoPage) {
      Invalidate();
      return;
    }
    if (!CountHop(1) || !LoadLeaf(leaf_->right)) {
      return;
    }
    index_ = 0;
  }
}

void TagCursor::SettleBackward() {
  while (leaf_ != nullptr && index_ < 0) {
    if (leaf_->left == kNoPage) {
      Invalidate();
      return;
    }
    if (!CountHop(-1) || !LoadLeaf(leaf_->left)) {
      return;
    }
    index_ = leaf_->size() - 1;
  }
}

void TagCursor::PhysFirst() {
  PhysSeek({CdxTag::Target::kPrefixLower, nullptr, 0, 0});
  SettleForward();
}

void TagCursor::PhysLast() {
  PhysSeek({CdxTag::Target::kPrefixUpper, nullptr, 0, 0});
  if (leaf_ != nullptr) {
    index_ = leaf_->size() - 1;
    SettleBackward();
  }
}

bool TagCursor::Resync() {
  std::vector<uint8_t> key(leaf_->key(index_), leaf_->key(index_) + tag_->keyLen_);
  uint32_t recno = leaf_->recnos[index_];
  // Finding the entry again continues the same walk, so its hops still count.
  const uint32_t hops = hops_;
  const int direction = hopDirection_;
  const bool found = SeekEntry(key.data(), recno);
  hops_ = hops;
  hopDirection_ = direction;
  return found;
}

void TagCursor::PhysNext() {
  if (leaf_ == nullptr) {
    return;
  }
  if (version_ != tag_->version_ && !Resync()) {
    return;  // the entry went away; the cursor already stands on its successor
  }
  ++index_;
  SettleForward();
}

void TagCursor::PhysPrev() {
  if (leaf_ == nullptr) {
    return;
  }
  if (version_ != tag_->version_) {
    // A vanished entry leaves the cursor on its successor, whose predecessor
    // is the step wanted; the leaf tells whether there is one.
    (void)Resync();
    if (leaf_ == nullptr) {
      if (status_.ok()) {
        PhysLast();
      }
      return;
    }
  }
  --index_;
  SettleBackward();
}

void TagCursor::SeekToFirst() { tag_->descending_ ? PhysLast() : PhysFirst(); }
void TagCursor::SeekToLast() { tag_->descending_ ? PhysFirst() : PhysLast(); }
void TagCursor::Next() { tag_->descending_ ? PhysPrev() : PhysNext(); }
void TagCursor::Prev() { tag_->descending_ ? PhysNext() : PhysPrev(); }

bool TagCursor::Seek(const uint8_t* key, int len, bool partial) {
  const int keyLen = tag_->keyLen_;
  std::array<uint8_t, kMaxKeyLength> target;
  std::memset(target.data(), tag_->pad_, keyLen);
  len = std::clamp(len, 0, keyLen);
  if (len > 0) {
    std::memcpy(target.data(), key, len);
  }
  if (!partial) {
    len = keyLen;
  }
  if (!tag_->descending_) {
    PhysSeek({CdxTag::Target::kPrefixLower, target.data(), len, 0});
    SettleForward();
  } else {
    // The last entry whose key is <= the target comes first in descending order.
    PhysSeek({CdxTag::Target::kPrefixUpper, target.data(), len, 0});
    if (leaf_ != nullptr) {
      --index_;
      SettleBackward();
    }
  }
  return Valid() && CompareBytes(leaf_->key(index_), target.data(), len) == 0;
}

void TagCursor::PhysicalSeek(const uint8_t* key, int len) {
  len = std::clamp(len, 0, tag_->keyLen_);
  PhysSeek({CdxTag::Target::kPrefixLower, key, len, 0});
  SettleForward();
}

void TagCursor::SeekPast(const uint8_t* key, int len) {
  len = std::clamp(len, 0, tag_->keyLen_);
  std::vector<uint8_t> target(key, key + len);
  if (!tag_->descending_) {
    PhysSeek({CdxTag::Target::kPrefixUpper, target.data(), len, 0});
    SettleForward();
  } else {
    PhysSeek({CdxTag::Target::kPrefixLower, target.data(), len, 0});
    if (leaf_ != nullptr) {
      --index_;
      SettleBackward();
    }
  }
}

bool TagCursor::SeekEntry(const uint8_t* key, uint32_t recno) {
  PhysSeek({CdxTag::Target::kEntry, key, tag_->keyLen_, recno});
  SettleForward();
  return Valid() && leaf_->recnos[index_] == recno &&
         CompareBytes(leaf_->key(index_), key, tag_->keyLen_) == 0;
}

Status TagCursor::GetPosition(uint64_t* index, uint64_t* total) {
  *index = 0;
  *total = 0;
  if (Valid() && version_ != tag_->version_) {
    (void)Resync();  // found or not, the position below is the cursor's own
  }
  if (!Valid()) {
    return status_.ok() ? Status(kErrNoKeyPosition, "No current key in tag " + tag_->name_)
                        : status_;
  }
  XCE_RETURN_IF_ERROR(tag_->BuildLeafIndex());
  const auto& leaves = tag_->leafIndex_;
  auto it = leaves.ordinal.find(leaf_->offset);
  if (it == leaves.ordinal.end()) {
    return tag_->file_->Corrupt("tag " + tag_->name_ + ": a leaf is missing from the leaf chain");
  }
  uint64_t pos = leaves.before[it->second] + index_;
  *total = leaves.total;
  *index = tag_->descending_ ? leaves.total - 1 - pos : pos;
  return Status::Ok();
}

Status TagCursor::GetRelativePosition(double* fraction) {
  *fraction = 0;
  uint64_t index = 0;
  uint64_t total = 0;
  XCE_RETURN_IF_ERROR(GetPosition(&index, &total));
  *fraction = total > 1 ? static_cast<double>(index) / static_cast<double>(total - 1) : 0;
  return Status::Ok();
}

void TagCursor::SetRelativePosition(double fraction) {
  status_ = Status::Ok();
  Status s = tag_->BuildLeafIndex();
  if (!s.ok()) {
    Fail(std::move(s));
    return;
  }
  const auto& index = tag_->leafIndex_;
  if (index.total == 0) {
    Invalidate();
    return;
  }
  double f = std::isnan(fraction) ? 0.0 : std::clamp(fraction, 0.0, 1.0);
  if (tag_->descending_) {
    f = 1.0 - f;
  }
  auto pos = static_cast<uint64_t>(std::llround(f * static_cast<double>(index.total - 1)));
  std::size_t leaf =
      std::upper_bound(index.before.begin(), index.before.end(), pos) - index.before.begin() - 1;
  version_ = tag_->version_;
  hops_ = 0;
  hopDirection_ = 0;
  if (!LoadLeaf(index.offsets[leaf])) {
    return;
  }
  index_ = static_cast<int>(pos - index.before[leaf]);
  SettleForward();
}

}  // namespace xce::cdx
