#include "cdx/cdx_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>

#include "ascii.h"
#include "cdx/cdx_build.h"
#include "cdx/key_sorter.h"
#include "cdx/memory_file.h"

namespace xce::cdx {

namespace {

// Decoded pages kept per file; the cache is simply dropped when full.
constexpr std::size_t kMaxCachedPages = 1 << 16;
// Pages held back by deferred writes (8 MB), and the longest single write of
// neighbouring ones.
constexpr std::size_t kMaxHeldPages = 1 << 14;
constexpr std::size_t kHeldRunBytes = std::size_t{1} << 20;
// Pages are found by page number in a vector; pages past this number (files
// over 1 GB) are not kept.
constexpr std::size_t kMaxCachedSlot = std::size_t{1} << 21;

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

// Writes a tag's tree from its entries at headerOffset + 1024, then its
// header at headerOffset; *end is the offset just past the tree.
Status WriteTag(File* file, TagSpec* tagSpec, uint32_t headerOffset, uint32_t* end) {
  const uint8_t pad = PadByte(tagSpec->keyType);
  auto writer = std::make_unique<TreeWriter>(file, headerOffset + kTagHeaderSize, tagSpec->keyLen,
                                             pad);
  bool streamed = false;
  if (tagSpec->stream) {
    XCE_RETURN_IF_ERROR(tagSpec->stream(writer.get(), &streamed));
    if (!streamed) {
      // What the stream wrote is dropped: the tree is written again over it.
      writer = std::make_unique<TreeWriter>(file, headerOffset + kTagHeaderSize, tagSpec->keyLen,
                                            pad);
      XCE_RETURN_IF_ERROR(file->Truncate(headerOffset));
      XCE_RETURN_IF_ERROR(tagSpec->gather(&tagSpec->sorter));
    }
  }
  if (!streamed) {
    std::shared_ptr<KeySorter> sorter = std::move(tagSpec->sorter);
    if (sorter == nullptr) {
      sorter = std::make_shared<KeySorter>(tagSpec->keyLen, tagSpec->unique, tagSpec->sorted,
                                           tagSpec->recnos.size(), ScratchPlace{});
      sorter->Adopt(std::move(tagSpec->keys), std::move(tagSpec->recnos));
    }
    XCE_RETURN_IF_ERROR(sorter->Drain(writer.get()));
  }
  HeaderFields th;
  XCE_RETURN_IF_ERROR(writer->Finish(&th.root, end));
  th.keyLen = tagSpec->keyLen;
  th.options = kOptCompound | kOptCompact | (tagSpec->unique ? kOptUnique : 0) |
               (tagSpec->forExpr.empty() ? 0 : kOptHasFor) | (tagSpec->nullable ? kOptNullable : 0);
  th.descending = tagSpec->descending;
  th.collation = "MACHINE";
  th.keyExpr = tagSpec->keyExpr;
  th.forExpr = tagSpec->forExpr;
  uint8_t header[kTagHeaderSize];
  if (!EncodeHeader(th, header)) {
    // Definitions are checked before a build starts; this keeps a header
    // with a cut expression from ever reaching the file.
    return Status(kErrBadTagDefinition, "Tag expressions do not fit the index tag header: " +
                                            th.keyExpr + " FOR " + th.forExpr);
  }
  return file->WriteAt(headerOffset, header, sizeof header);
}

}  // namespace

CdxFile::~CdxFile() = default;

Status CdxFile::Corrupt(const std::string& what) const {
  return Status(kErrIndexCorrupt, "Index file " + path() + " is damaged: " + what);
}

Status CdxFile::IoError(const Status& cause) const {
  if (cause.message().find(path()) != std::string::npos) {
    return cause;
  }
  return Status(cause.code() != 0 ? cause.code() : kErrIndexIo,
                "Index file " + path() + ": " + cause.message());
}

Status CdxFile::CheckWritable() const {
  if (readOnly_) {
    return Status(kErrIndexReadOnly, "Index file " + path() + " is open for reading only");
  }
  return Status::Ok();
}

bool CdxFile::ValidPageOffset(uint32_t offset) const {
  return offset % kPageSize == 0 && offset >= kPageSize &&
         uint64_t{offset} + kPageSize <= uint64_t{fileEnd_};
}

Status CdxFile::ReadPage(uint32_t offset, uint8_t* page) {
  if (auto held = held_.find(offset); held != held_.end()) {
    std::memcpy(page, held->second.data(), kPageSize);
    return Status::Ok();
  }
  std::size_t got = 0;
  Status s = file_->ReadAt(offset, page, kPageSize, &got);
  if (!s.ok()) {
    return IoError(s);
  }
  if (got != kPageSize) {
    return Corrupt("page " + Hex(offset) + " lies past the end of the file");
  }
  return Status::Ok();
}

const std::shared_ptr<const Node>* CdxFile::CachedNode(uint32_t offset) const {
  const std::size_t slot = offset / kPageSize;
  return slot < cache_.size() && cache_[slot] != nullptr ? &cache_[slot] : nullptr;
}

void CdxFile::CacheNode(std::shared_ptr<const Node> node) {
  const std::size_t slot = node->offset / kPageSize;
  if (slot >= kMaxCachedSlot) {
    return;
  }
  if (cached_ >= kMaxCachedPages) {
    ClearCache();
  }
  if (slot >= cache_.size()) {
    cache_.resize(std::max(slot + 1, cache_.size() * 2));
  }
  cached_ += cache_[slot] == nullptr ? 1 : 0;
  cache_[slot] = std::move(node);
}

void CdxFile::ForgetNode(uint32_t offset) {
  const std::size_t slot = offset / kPageSize;
  if (slot < cache_.size() && cache_[slot] != nullptr) {
    cache_[slot].reset();
    --cached_;
  }
}

Status CdxFile::ReadNode(uint32_t offset, int keyLen, uint8_t pad,
                         std::shared_ptr<const Node>* out) {
  if (const std::shared_ptr<const Node>* hit = CachedNode(offset);
      hit != nullptr && (*hit)->keyLen == keyLen) {
    *out = *hit;
    return Status::Ok();
  }
  if (!ValidPageOffset(offset)) {
    return Corrupt("page pointer " + Hex(offset) + " lies outside the file");
  }
  uint8_t page[kPageSize];
  XCE_RETURN_IF_ERROR(ReadPage(offset, page));
  auto node = std::make_shared<Node>();
  if (Status s = DecodeNode(page, keyLen, pad, node.get()); !s.ok()) {
    return Corrupt("page " + Hex(offset) + ": " + s.message());
  }
  node->offset = offset;
  CacheNode(node);
  *out = std::move(node);
  return Status::Ok();
}

Status CdxFile::PeekNode(uint32_t offset, int keyLen, uint8_t pad, const Node** out) {
  if (const std::shared_ptr<const Node>* hit = CachedNode(offset);
      hit != nullptr && (*hit)->keyLen == keyLen) {
    *out = hit->get();
    return Status::Ok();
  }
  XCE_RETURN_IF_ERROR(ReadNode(offset, keyLen, pad, &peeked_));
  *out = peeked_.get();
  return Status::Ok();
}

Status CdxFile::WriteNode(const Node& node, uint8_t pad) {
  XCE_RETURN_IF_ERROR(CheckWritable());
  uint8_t page[kPageSize];
  EncodeNode(node, pad, page);
  Status s = PutPage(node.offset, page);
  if (!s.ok()) {
    ForgetNode(node.offset);
    return s;
  }
  fileEnd_ = std::max(fileEnd_, node.offset + kPageSize);
  dirty_ = true;
  CacheNode(std::make_shared<Node>(node));
  return Status::Ok();
}

Status CdxFile::WritePage(uint32_t offset, const uint8_t* page) {
  XCE_RETURN_IF_ERROR(CheckWritable());
  ForgetNode(offset);
  held_.erase(offset);
  Status s = file_->WriteAt(offset, page, kPageSize);
  if (!s.ok()) {
    return IoError(s);
  }
  fileEnd_ = std::max(fileEnd_, offset + kPageSize);
  dirty_ = true;
  return Status::Ok();
}

Status CdxFile::WriteFileHeaderField(const HeaderPatch& patch) {
  Status s = file_->WriteAt(patch.offset, patch.bytes, sizeof patch.bytes);
  return s.ok() ? Status::Ok() : IoError(s);
}

Status CdxFile::PatchHeader(uint32_t header, const HeaderPatch& patch) {
  if (deferWrites_) {
    std::memcpy(heldPatches_[header + patch.offset].data(), patch.bytes, sizeof patch.bytes);
    dirty_ = true;
    return Status::Ok();
  }
  Status s = file_->WriteAt(header + patch.offset, patch.bytes, sizeof patch.bytes);
  return s.ok() ? Status::Ok() : IoError(s);
}

void CdxFile::BeginBatch() { ++batches_; }

Status CdxFile::EndBatch() {
  --batches_;
  return batches_ == 0 && held_.size() >= kMaxHeldPages ? WriteHeld() : Status::Ok();
}

Status CdxFile::AllocPage(uint32_t* offset) {
  XCE_RETURN_IF_ERROR(CheckWritable());
  if (freeHead_ != 0 && freeHead_ != kNoPage) {
    if (!ValidPageOffset(freeHead_)) {
      return Corrupt("free page list points to " + Hex(freeHead_));
    }
    uint8_t page[kPageSize];
    XCE_RETURN_IF_ERROR(ReadPage(freeHead_, page));
    uint32_t next = DecodeFreePageNext(page);
    if (next != 0 && next != kNoPage && !ValidPageOffset(next)) {
      return Corrupt("free page list points to " + Hex(next));
    }
    *offset = freeHead_;
    XCE_RETURN_IF_ERROR(PatchHeader(0, FreeHeadPatch(next == kNoPage ? 0 : next)));
    freeHead_ = next == kNoPage ? 0 : next;
    ForgetNode(*offset);
    return Status::Ok();
  }
  *offset = fileEnd_;
  fileEnd_ += kPageSize;
  return Status::Ok();
}

Status CdxFile::FreePage(uint32_t offset) {
  XCE_RETURN_IF_ERROR(CheckWritable());
  uint8_t page[kPageSize] = {};
  EncodeFreePageNext(freeHead_ == kNoPage ? 0 : freeHead_, page);
  XCE_RETURN_IF_ERROR(PutPage(offset, page));
  ForgetNode(offset);
  XCE_RETURN_IF_ERROR(PatchHeader(0, FreeHeadPatch(offset)));
  freeHead_ = offset;
  dirty_ = true;
  return Status::Ok();
}

Status CdxFile::PutPage(uint32_t offset, const uint8_t* page) {
  if (deferWrites_) {
    std::memcpy(held_[offset].data(), page, kPageSize);
    return held_.size() >= kMaxHeldPages && batches_ == 0 ? WriteHeld() : Status::Ok();
  }
  Status s = file_->WriteAt(offset, page, kPageSize);
  return s.ok() ? Status::Ok() : IoError(s);
}

Status CdxFile::WriteHeld() {
  std::vector<uint8_t> run;
  uint32_t runStart = 0;
  auto writeRun = [&]() -> Status {
    Status s = run.empty() ? Status::Ok() : file_->WriteAt(runStart, run.data(), run.size());
    run.clear();
    return s.ok() ? Status::Ok() : IoError(s);
  };
  for (const auto& [offset, page] : held_) {
    if (!run.empty() && (offset != runStart + run.size() || run.size() >= kHeldRunBytes)) {
      XCE_RETURN_IF_ERROR(writeRun());
    }
    if (run.empty()) {
      runStart = offset;
    }
    run.insert(run.end(), page.begin(), page.end());
  }
  XCE_RETURN_IF_ERROR(writeRun());
  // Header fields after the pages they point to.
  for (const auto& [offset, bytes] : heldPatches_) {
    Status s = file_->WriteAt(offset, bytes.data(), bytes.size());
    if (!s.ok()) {
      return IoError(s);
    }
  }
  // Cleared only once every page is out: after a failure the next flush
  // writes them all again.
  held_.clear();
  heldPatches_.clear();
  return Status::Ok();
}

Status CdxFile::Flush() {
  if (readOnly_) {
    return Status::Ok();
  }
  for (const auto& t : tags_) {
    XCE_RETURN_IF_ERROR(t->Settle());  // entries held back go in first
  }
  if (!dirty_) {
    return Status::Ok();
  }
  XCE_RETURN_IF_ERROR(WriteHeld());
  ++counter_;
  XCE_RETURN_IF_ERROR(WriteFileHeaderField(CounterPatch(counter_)));
  dirty_ = false;
  return Status::Ok();
}

CdxTag* CdxFile::FindTag(std::string_view name) const {
  std::string wanted = AsciiUpper(name);
  for (const auto& t : tags_) {
    if (AsciiUpper(t->name()) == wanted) {
      return t.get();
    }
  }
  return nullptr;
}

Status CdxFile::LoadTagHeader(CdxTag* tag) {
  uint8_t buf[kTagHeaderSize];
  std::size_t got = 0;
  Status s = file_->ReadAt(tag->headerOffset_, buf, sizeof buf, &got);
  if (!s.ok()) {
    return IoError(s);
  }
  const std::string what = tag->headerOffset_ == 0 ? "the file header" : "tag " + tag->name_;
  if (got != sizeof buf) {
    return Corrupt(what + " lies past the end of the file");
  }
  HeaderFields h = DecodeHeader(buf);
  tag->root_ = h.root;
  tag->keyLen_ = h.keyLen;
  tag->options_ = h.options;
  if (tag->keyLen_ < 1 || tag->keyLen_ > kMaxKeyLength) {
    return Corrupt(what + " has key length " + std::to_string(tag->keyLen_));
  }
  if (!ValidPageOffset(tag->root_)) {
    return Corrupt(what + " has its root at " + Hex(tag->root_) + ", outside the file");
  }
  std::string& collation = h.collation;
  while (!collation.empty() && collation.back() == ' ') {
    collation.pop_back();
  }
  tag->collation_ = AsciiUpper(collation);
  tag->descending_ = h.descending;
  tag->forExpr_ = std::move(h.forExpr);
  tag->keyExpr_ = std::move(h.keyExpr);
  if (tag->headerOffset_ == 0) {
    freeHead_ = h.freeHead;
    counter_ = h.counter;
  }
  return Status::Ok();
}

Status CdxFile::Load() {
  uint64_t size = 0;
  Status s = file_->Size(&size);
  if (!s.ok()) {
    return IoError(s);
  }
  if (size < kTagHeaderSize) {
    return Corrupt("the file is shorter than its header");
  }
  if (size > 0xFFFFF000u) {
    return Corrupt("the file is larger than 4 GB");
  }
  fileEnd_ = static_cast<uint32_t>(size / kPageSize * kPageSize);
  directory_.reset(new CdxTag(this, 0));
  XCE_RETURN_IF_ERROR(LoadTagHeader(directory_.get()));
  // Tags in creation order, i.e. by header offset.
  std::vector<std::pair<uint32_t, std::string>> entries;
  TagCursor cursor(directory_.get());
  for (cursor.PhysFirst(); cursor.Valid(); cursor.PhysNext()) {
    std::string name(reinterpret_cast<const char*>(cursor.key()), directory_->keyLen_);
    while (!name.empty() && (name.back() == ' ' || name.back() == '\0')) {
      name.pop_back();
    }
    entries.emplace_back(cursor.recno(), name);
    if (entries.size() > page_count()) {
      return Corrupt("the tag directory holds more tags than the file has pages");
    }
  }
  XCE_RETURN_IF_ERROR(cursor.status());
  std::sort(entries.begin(), entries.end());
  std::set<uint32_t> used;
  for (const auto& [offset, name] : entries) {
    if (offset % kPageSize != 0 || offset == 0 ||
        uint64_t{offset} + kTagHeaderSize > uint64_t{fileEnd_}) {
      return Corrupt("tag " + name + " has its header at " + Hex(offset) + ", outside the file");
    }
    if (!used.insert(offset).second) {
      return Corrupt("two tags share the header at " + Hex(offset));
    }
    auto tag = std::unique_ptr<CdxTag>(new CdxTag(this, offset));
    tag->name_ = name;
    XCE_RETURN_IF_ERROR(LoadTagHeader(tag.get()));
    tags_.push_back(std::move(tag));
  }
  return Status::Ok();
}

Status CdxFile::Open(std::unique_ptr<File> file, bool readOnly, std::unique_ptr<CdxFile>* out) {
  std::unique_ptr<CdxFile> cdx(new CdxFile(std::move(file), readOnly));
  XCE_RETURN_IF_ERROR(cdx->Load());
  *out = std::move(cdx);
  return Status::Ok();
}

Status CdxFile::Create(std::unique_ptr<File> file, std::vector<TagSpec> specs,
                       std::unique_ptr<CdxFile>* out) {
  constexpr int kDirKeyLen = 10;
  std::set<std::string> names;
  for (const TagSpec& tagSpec : specs) {
    std::string error = ValidateSpec(tagSpec);
    if (error.empty() && !names.insert(AsciiUpper(tagSpec.name)).second) {
      error = "two tags are named " + AsciiUpper(tagSpec.name);
    }
    if (!error.empty()) {
      return Status(kErrBadTagDefinition, "Index file " + file->path() + ": " + error);
    }
  }
  // The directory comes first; its size is fixed by the number of tags, so
  // it is sized with the largest possible header offsets and written last,
  // when the tags' real offsets are known.
  std::vector<std::size_t> byName(specs.size());
  for (std::size_t i = 0; i < specs.size(); ++i) {
    byName[i] = i;
  }
  std::sort(byName.begin(), byName.end(), [&](std::size_t a, std::size_t b) {
    return AsciiUpper(specs[a].name) < AsciiUpper(specs[b].name);
  });
  auto writeDirectory = [&](File* out, const std::vector<uint32_t>& offsets, uint32_t* root,
                            uint32_t* end) {
    TreeWriter writer(out, kTagHeaderSize, kDirKeyLen, 0x20);
    for (std::size_t i : byName) {
      auto key = DirectoryKey(specs[i].name, kDirKeyLen);
      XCE_RETURN_IF_ERROR(writer.Put(key.data(), offsets[i]));
    }
    return writer.Finish(root, end);
  };
  uint32_t dirRoot = 0;
  uint32_t dirEnd = 0;
  {
    MemoryFile sizing("directory", std::vector<uint8_t>());
    XCE_RETURN_IF_ERROR(writeDirectory(
        &sizing, std::vector<uint32_t>(specs.size(), 0xFFFFFE00u), &dirRoot, &dirEnd));
  }
  const uint32_t dirPagesEnd = dirEnd;
  std::vector<uint32_t> headerOffsets(specs.size());
  Status s = file->Truncate(0);
  uint32_t at = dirPagesEnd;
  for (std::size_t i = 0; s.ok() && i < specs.size(); ++i) {
    headerOffsets[i] = at;
    if (uint64_t{at} + kTagHeaderSize > 0xFFFFF000u) {
      return Status(kErrBadTagDefinition, "Index file " + file->path() + " would exceed 4 GB");
    }
    s = WriteTag(file.get(), &specs[i], at, &at);
  }
  if (s.ok()) {
    s = writeDirectory(file.get(), headerOffsets, &dirRoot, &dirEnd);
  }
  if (s.ok()) {
    // A directory that came out smaller leaves pages over; they go on the free list.
    std::vector<uint8_t> head(dirPagesEnd - dirEnd + kTagHeaderSize, 0);
    uint32_t freeHead = 0;
    for (uint32_t off = dirEnd; off < dirPagesEnd; off += kPageSize) {
      EncodeFreePageNext(freeHead, head.data() + kTagHeaderSize + (off - dirEnd));
      freeHead = off;
    }
    HeaderFields dh;
    dh.root = dirRoot;
    dh.freeHead = freeHead;
    dh.keyLen = kDirKeyLen;
    dh.options = kOptDirectory | kOptCompound | kOptCompact;
    dh.directory = true;
    (void)EncodeHeader(dh, head.data());  // the directory has no expressions to overflow
    s = file->WriteAt(0, head.data(), kTagHeaderSize);
    if (s.ok() && dirEnd < dirPagesEnd) {
      s = file->WriteAt(dirEnd, head.data() + kTagHeaderSize, dirPagesEnd - dirEnd);
    }
  }
  if (!s.ok()) {
    if (s.code() == kErrBadTagDefinition) {
      return s;
    }
    return Status(s.code() != 0 ? s.code() : kErrIndexIo,
                  "Index file " + file->path() + ": " + s.message());
  }
  std::unique_ptr<CdxFile> cdx;
  XCE_RETURN_IF_ERROR(Open(std::move(file), false, &cdx));
  for (std::size_t i = 0; i < specs.size(); ++i) {
    if (CdxTag* tag = cdx->FindTag(specs[i].name)) {
      tag->SetKeyType(specs[i].keyType);
    }
  }
  *out = std::move(cdx);
  return Status::Ok();
}

Status CdxFile::AddTag(TagSpec tagSpec, CdxTag** out) {
  XCE_RETURN_IF_ERROR(CheckWritable());
  std::string error = ValidateSpec(tagSpec);
  if (!error.empty()) {
    return Status(kErrBadTagDefinition, "Index file " + path() + ": " + error);
  }
  if (FindTag(tagSpec.name) != nullptr) {
    return Status(kErrTagExists,
                  "Index file " + path() + " already holds a tag " + AsciiUpper(tagSpec.name));
  }
  if (static_cast<int>(tagSpec.name.size()) > directory_->keyLen_) {
    return Status(kErrBadTagDefinition, "Index file " + path() + ": tag name too long");
  }
  const uint32_t headerOffset = fileEnd_;
  uint64_t sizeBefore = 0;
  XCE_RETURN_IF_ERROR(file_->Size(&sizeBefore));
  uint32_t end = 0;
  Status s = uint64_t{headerOffset} + kTagHeaderSize > 0xFFFFF000u
                 ? Status(kErrBadTagDefinition, "Index file " + path() + " would exceed 4 GB")
                 : WriteTag(file_.get(), &tagSpec, headerOffset, &end);
  if (!s.ok()) {
    // Pages written past the end belong to nothing; the file keeps its size.
    (void)file_->Truncate(sizeBefore);
    return s.code() == kErrBadTagDefinition ? s : IoError(s);
  }
  fileEnd_ = end;
  // The tag exists once the directory names it.
  auto key = DirectoryKey(tagSpec.name, directory_->keyLen_);
  XCE_RETURN_IF_ERROR(directory_->Insert(key.data(), headerOffset));
  auto tag = std::unique_ptr<CdxTag>(new CdxTag(this, headerOffset));
  tag->name_ = AsciiUpper(tagSpec.name);
  XCE_RETURN_IF_ERROR(LoadTagHeader(tag.get()));
  tag->SetKeyType(tagSpec.keyType);
  *out = tag.get();
  tags_.push_back(std::move(tag));
  dirty_ = true;
  return Flush();
}

Status CdxFile::DropTag(std::string_view name) {
  XCE_RETURN_IF_ERROR(CheckWritable());
  CdxTag* tag = FindTag(name);
  if (tag == nullptr) {
    return Status(kErrTagNotFound, "Index file " + path() + " holds no tag " + AsciiUpper(name));
  }
  // Gather the tree's pages first so a damaged tree frees nothing.
  std::vector<uint32_t> pages;
  std::set<uint32_t> seen;
  std::vector<std::pair<uint32_t, int>> stack{{tag->root_, 0}};
  while (!stack.empty()) {
    auto [offset, depth] = stack.back();
    stack.pop_back();
    if (depth > 32 || !seen.insert(offset).second) {
      return Corrupt("tag " + tag->name_ + " has a loop in its tree");
    }
    std::shared_ptr<const Node> node;
    XCE_RETURN_IF_ERROR(ReadNode(offset, tag->keyLen_, tag->pad_, &node));
    pages.push_back(offset);
    for (uint32_t c : node->children) {
      stack.emplace_back(c, depth + 1);
    }
  }
  auto key = DirectoryKey(tag->name_, directory_->keyLen_);
  bool removed = false;
  XCE_RETURN_IF_ERROR(directory_->Delete(key.data(), tag->headerOffset_, &removed));
  if (!removed) {
    return Corrupt("the tag directory does not name tag " + tag->name_);
  }
  pages.push_back(tag->headerOffset_);
  pages.push_back(tag->headerOffset_ + kPageSize);
  for (uint32_t p : pages) {
    XCE_RETURN_IF_ERROR(FreePage(p));
  }
  tags_.erase(std::find_if(tags_.begin(), tags_.end(),
                           [tag](const std::unique_ptr<CdxTag>& t) { return t.get() == tag; }));
  return Flush();
}

}  // namespace xce::cdx
