#include "cdx/cdx_build.h"

#include "cdx/cdx_file.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <thread>

namespace xce::cdx {

namespace {

// Completed pages gathered before one write.
constexpr std::size_t kWriteBatchPages = 128;
// Index files address pages with 32 bits; the last page must end below this.
constexpr uint64_t kMaxIndexFileSize = 0xFFFFF000u;

}  // namespace

TreeWriter::TreeWriter(File* file, uint32_t base, int keyLen, uint8_t pad)
    : file_(file), base_(base), keyLen_(keyLen), pad_(pad), bits_(CountBits(keyLen)),
      prev_(static_cast<std::size_t>(keyLen)) {
  leaf_.Start(page_, keyLen);
  out_.reserve(kWriteBatchPages * kPageSize);
}

Status TreeWriter::Put(const uint8_t* key, uint32_t recno) {
  int dup, trail;
  EntryCounts(leaf_.size() == 0 ? nullptr : prev_.data(), key, keyLen_, pad_, &dup, &trail);
  uint32_t newMax = std::max(maxRecno_, recno);
  const int need = kLeafHeaderSize + (leaf_.size() + 1) * EntryBytes(newMax, bits_) + keyBytes_ +
                   (keyLen_ - dup - trail);
  if (leaf_.size() > 0 && need > static_cast<int>(kPageSize)) {
    XCE_RETURN_IF_ERROR(CloseLeaf(false));
    EntryCounts(nullptr, key, keyLen_, pad_, &dup, &trail);
    keyBytes_ = 0;
    newMax = recno;
  }
  keyBytes_ += keyLen_ - dup - trail;
  maxRecno_ = newMax;
  leaf_.Append(key, dup, trail, recno);
  std::memcpy(prev_.data(), key, static_cast<std::size_t>(keyLen_));
  prevRecno_ = recno;
  return Status::Ok();
}

Status TreeWriter::CloseLeaf(bool last) {
  const uint16_t attr = kAttrLeaf | (last && leaves_ == 0 ? kAttrRoot : 0);
  leaf_.Finish(attr, leaves_ == 0 ? kNoPage : PageOffset(leaves_ - 1),
               last ? kNoPage : PageOffset(leaves_ + 1));
  levelKeys_.insert(levelKeys_.end(), prev_.begin(), prev_.end());
  levelRecnos_.push_back(prevRecno_);
  ++leaves_;
  XCE_RETURN_IF_ERROR(Emit(page_));
  leaf_.Start(page_, keyLen_);
  return Status::Ok();
}

Status TreeWriter::Emit(const uint8_t* page) {
  if (base_ + (pages_ + 1) * kPageSize > kMaxIndexFileSize) {
    return Status(kErrBadTagDefinition, "Index file " + file_->path() + " would exceed 4 GB");
  }
  out_.insert(out_.end(), page, page + kPageSize);
  ++pages_;
  return out_.size() >= kWriteBatchPages * kPageSize ? FlushPages() : Status::Ok();
}

Status TreeWriter::FlushPages() {
  if (out_.empty()) {
    return Status::Ok();
  }
  const uint64_t first = pages_ - out_.size() / kPageSize;
  Status s = file_->WriteAt(base_ + first * kPageSize, out_.data(), out_.size());
  out_.clear();
  return s;
}

Status TreeWriter::Finish(uint32_t* root, uint32_t* end) {
  XCE_RETURN_IF_ERROR(CloseLeaf(true));
  // Interior levels, each entry naming its child's last entry, until one
  // page holds the level.
  const std::size_t capacity = static_cast<std::size_t>(InteriorCapacity(keyLen_));
  const std::size_t keyLen = static_cast<std::size_t>(keyLen_);
  uint64_t levelBegin = 0;
  uint64_t levelCount = leaves_;
  std::vector<uint8_t> nextKeys;
  std::vector<uint32_t> nextRecnos;
  Node node;
  node.keyLen = keyLen_;
  uint8_t page[kPageSize];
  while (levelCount > 1) {
    const uint64_t nextBegin = pages_;
    const uint64_t parents = (levelCount + capacity - 1) / capacity;
    nextKeys.clear();
    nextRecnos.clear();
    for (uint64_t p = 0; p < parents; ++p) {
      const std::size_t from = static_cast<std::size_t>(p * capacity);
      const std::size_t to = std::min<std::size_t>(from + capacity, levelCount);
      node.attr = kAttrInterior | (parents == 1 ? kAttrRoot : 0);
      node.left = p == 0 ? kNoPage : PageOffset(nextBegin + p - 1);
      node.right = p + 1 == parents ? kNoPage : PageOffset(nextBegin + p + 1);
      node.keys.assign(levelKeys_.begin() + from * keyLen, levelKeys_.begin() + to * keyLen);
      node.recnos.assign(levelRecnos_.begin() + from, levelRecnos_.begin() + to);
      node.children.clear();
      for (std::size_t c = from; c < to; ++c) {
        node.children.push_back(PageOffset(levelBegin + c));
      }
      EncodeNode(node, pad_, page);
      XCE_RETURN_IF_ERROR(Emit(page));
      nextKeys.insert(nextKeys.end(), node.keys.end() - keyLen, node.keys.end());
      nextRecnos.push_back(node.recnos.back());
    }
    levelKeys_.swap(nextKeys);
    levelRecnos_.swap(nextRecnos);
    levelBegin = nextBegin;
    levelCount = parents;
  }
  XCE_RETURN_IF_ERROR(FlushPages());
  *root = PageOffset(levelBegin);
  *end = PageOffset(pages_);
  return Status::Ok();
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

unsigned Cores() {
  static const unsigned cores = std::thread::hardware_concurrency();
  return cores;
}

void ParallelFor(std::size_t n, const std::function<void(std::size_t)>& fn) {
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i = next++; i < n; i = next++) {
      fn(i);
    }
  };
  if (n < 2 || Cores() < 2) {
    work();
    return;
  }
  std::thread helper(work);
  work();
  helper.join();
}

}  // namespace xce::cdx
