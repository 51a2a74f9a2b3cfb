#include "memo_file.h"

#include <cstring>
#include <vector>

namespace xce {
namespace {

constexpr uint32_t kMaxMemoLength = 0x7FFFFFF0;

// The header bytes read on open: enough for every memo kind's fields.
constexpr std::size_t kMemoHeaderRead = 24;
static_assert(kMemoHeaderRead >= kFptHeaderUsed && kMemoHeaderRead >= kDbtHeaderUsed);

// FptWriter's buffer goes to the file in writes of about this size.
constexpr std::size_t kFptWriteBytes = std::size_t{1} << 20;

Status Damaged(const std::string& path, const std::string& what) {
  return Status(kErrCorrupt, "Memo file " + path + " is damaged: " + what);
}

// Appends the FPT item of a value to *out: its type and length, the bytes,
// and zeros to the end of its last block. Returns the blocks it takes.
uint64_t AppendItem(std::string_view data, uint32_t itemType, uint32_t blockSize,
                    std::vector<char>* out) {
  const uint64_t blocks = (kFptItemHeaderSize + data.size() + blockSize - 1) / blockSize;
  const std::size_t at = out->size();
  out->resize(at + static_cast<std::size_t>(blocks * blockSize), 0);
  auto* item = reinterpret_cast<uint8_t*>(out->data() + at);
  EncodeFptItemHeader({itemType, static_cast<uint32_t>(data.size())}, item);
  std::memcpy(item + kFptItemHeaderSize, data.data(), data.size());
  return blocks;
}

}  // namespace

FptHeader DecodeFptHeader(const uint8_t* bytes) {
  FptHeader h;
  h.nextFree = Be32(bytes + kFptHeaderNextFree);
  h.blockSize = Be16(bytes + kFptHeaderBlockSize);
  return h;
}

void EncodeFptHeader(const FptHeader& h, uint8_t* bytes) {
  EncodeFptNextFree(h.nextFree, bytes + kFptHeaderNextFree);
  PutBe16(bytes + kFptHeaderBlockSize, h.blockSize);
}

void EncodeFptNextFree(uint32_t nextFree, uint8_t* bytes) { PutBe32(bytes, nextFree); }

FptItemHeader DecodeFptItemHeader(const uint8_t* bytes) {
  FptItemHeader h;
  h.type = Be32(bytes + kFptItemType);
  h.length = Be32(bytes + kFptItemLength);
  return h;
}

void EncodeFptItemHeader(const FptItemHeader& h, uint8_t* bytes) {
  PutBe32(bytes + kFptItemType, h.type);
  PutBe32(bytes + kFptItemLength, h.length);
}

DbtHeader DecodeDbtHeader(const uint8_t* bytes, MemoKind kind) {
  DbtHeader h;
  h.nextFree = Le32(bytes + kDbtHeaderNextFree);
  h.blockSize = kind == MemoKind::kDbt4 ? Le16(bytes + kDbt4HeaderBlockSize) : kDbt3BlockSize;
  return h;
}

Dbt4ItemHeader DecodeDbt4ItemHeader(const uint8_t* bytes) {
  Dbt4ItemHeader h;
  h.marked = bytes[kDbt4ItemMarker] == 0xFF && bytes[kDbt4ItemMarker + 1] == 0xFF;
  h.length = Le32(bytes + kDbt4ItemLength);
  return h;
}

Status MemoFile::Open(std::unique_ptr<File> file, MemoKind kind, std::unique_ptr<MemoFile>* out) {
  std::unique_ptr<MemoFile> m(new MemoFile(std::move(file), kind));
  XCE_RETURN_IF_ERROR(m->ReloadHeader());
  *out = std::move(m);
  return Status::Ok();
}

Status MemoFile::ReloadHeader() {
  XCE_RETURN_IF_ERROR(file_->Size(&fileSize_));
  uint8_t h[kMemoHeaderRead];
  std::size_t got = 0;
  XCE_RETURN_IF_ERROR(file_->ReadAt(0, h, sizeof h, &got));
  if (got < sizeof h) {
    return Damaged(path(), "the header is truncated");
  }
  switch (kind_) {
    case MemoKind::kFpt: {
      const FptHeader fpt = DecodeFptHeader(h);
      nextFree_ = fpt.nextFree;
      blockSize_ = fpt.blockSize;
      break;
    }
    case MemoKind::kDbt3:
    case MemoKind::kDbt4: {
      const DbtHeader dbt = DecodeDbtHeader(h, kind_);
      nextFree_ = dbt.nextFree;
      blockSize_ = dbt.blockSize;
      break;
    }
    case MemoKind::kNone:
      return Damaged(path(), "unknown memo format");
  }
  if (blockSize_ == 0) {
    return Damaged(path(), "the block size is 0");
  }
  return Status::Ok();
}

Status MemoFile::WriteEmptyFpt(File* file, uint32_t blockSize) {
  std::vector<uint8_t> h(kFptHeaderSize, 0);
  uint32_t first = FptFirstDataBlock(blockSize);
  EncodeFptHeader({first, static_cast<uint16_t>(blockSize)}, h.data());
  h.resize(static_cast<std::size_t>(first) * blockSize, 0);
  return file->WriteAt(0, h.data(), h.size());
}

Status MemoFile::ReadDbt(uint32_t block, std::string* data, uint32_t* length) {
  uint64_t offset = static_cast<uint64_t>(block) * blockSize_;
  if (offset >= fileSize_) {
    return Damaged(path(), "memo block " + std::to_string(block) + " lies past the end");
  }
  if (kind_ == MemoKind::kDbt4) {
    uint8_t h[kDbt4ItemHeaderSize];
    std::size_t got = 0;
    XCE_RETURN_IF_ERROR(file_->ReadAt(offset, h, sizeof h, &got));
    if (got < sizeof h) {
      return Damaged(path(), "memo block " + std::to_string(block) + " lies past the end");
    }
    const Dbt4ItemHeader item = DecodeDbt4ItemHeader(h);
    if (!item.marked || item.length < kDbt4ItemHeaderSize || offset + item.length > fileSize_) {
      return Damaged(path(),
                     "memo length at block " + std::to_string(block) + " goes past the end");
    }
    *length = item.length - static_cast<uint32_t>(kDbt4ItemHeaderSize);
    if (data != nullptr) {
      data->resize(*length);
      XCE_RETURN_IF_ERROR(
          file_->ReadAt(offset + kDbt4ItemHeaderSize, data->data(), *length, &got));
    }
    return Status::Ok();
  }
  // dBASE III: text ends with 0x1A (normally doubled) or at the end of the file.
  std::string out;
  std::vector<char> chunk(4096);
  uint64_t pos = offset;
  while (pos < fileSize_) {
    std::size_t got = 0;
    XCE_RETURN_IF_ERROR(file_->ReadAt(pos, chunk.data(), chunk.size(), &got));
    if (got == 0) {
      break;
    }
    const void* eof = std::memchr(chunk.data(), kDbtEndMark, got);
    if (eof != nullptr) {
      out.append(chunk.data(), static_cast<const char*>(eof) - chunk.data());
      break;
    }
    out.append(chunk.data(), got);
    pos += got;
    if (out.size() > kMaxMemoLength) {
      return Damaged(path(), "memo at block " + std::to_string(block) + " has no end mark");
    }
  }
  *length = static_cast<uint32_t>(out.size());
  if (data != nullptr) {
    *data = std::move(out);
  }
  return Status::Ok();
}

Status MemoFile::Length(uint32_t block, uint32_t* length, uint32_t* itemType) {
  *length = 0;
  *itemType = kMemoItemText;
  if (block == 0 || block < firstDataBlock()) {
    return Status::Ok();
  }
  if (kind_ != MemoKind::kFpt) {
    return ReadDbt(block, nullptr, length);
  }
  uint64_t offset = static_cast<uint64_t>(block) * blockSize_;
  uint8_t h[kFptItemHeaderSize];
  std::size_t got = 0;
  if (offset + kFptItemHeaderSize > fileSize_) {
    return Damaged(path(), "memo block " + std::to_string(block) + " lies past the end");
  }
  XCE_RETURN_IF_ERROR(file_->ReadAt(offset, h, sizeof h, &got));
  if (got < sizeof h) {
    return Damaged(path(), "memo block " + std::to_string(block) + " lies past the end");
  }
  const FptItemHeader item = DecodeFptItemHeader(h);
  if (offset + kFptItemHeaderSize + item.length > fileSize_) {
    return Damaged(path(), "memo length at block " + std::to_string(block) + " goes past the end");
  }
  *length = item.length;
  *itemType = item.type;
  return Status::Ok();
}

Status MemoFile::Read(uint32_t block, std::string* data, uint32_t* itemType) {
  data->clear();
  if (kind_ != MemoKind::kFpt) {
    *itemType = kMemoItemText;
    if (block == 0 || block < firstDataBlock()) {
      return Status::Ok();
    }
    uint32_t len = 0;
    return ReadDbt(block, data, &len);
  }
  uint32_t n = 0;
  XCE_RETURN_IF_ERROR(Length(block, &n, itemType));
  if (n == 0) {
    return Status::Ok();
  }
  data->resize(n);
  std::size_t got = 0;
  XCE_RETURN_IF_ERROR(
      file_->ReadAt(static_cast<uint64_t>(block) * blockSize_ + kFptItemHeaderSize, data->data(), n,
                    &got));
  if (got < n) {
    return Damaged(path(), "memo at block " + std::to_string(block) + " is truncated");
  }
  return Status::Ok();
}

Status MemoFile::Write(uint32_t oldBlock, std::string_view data, uint32_t itemType, bool inPlace,
                       uint32_t* newBlock) {
  if (kind_ != MemoKind::kFpt) {
    return Status(kErrNotSupported, "Memo file " + path() +
                                        " is a dBASE memo file; the engine "
                                        "writes FPT memo files only");
  }
  if (data.empty()) {
    *newBlock = 0;
    return Status::Ok();
  }
  if (data.size() > kMaxMemoLength) {
    return Status(kErrBadArgument, "Memo value too long for " + path());
  }
  uint64_t itemBytes = kFptItemHeaderSize + data.size();
  std::vector<char> item;
  const uint64_t blocks = AppendItem(data, itemType, blockSize_, &item);

  if (inPlace && oldBlock >= firstDataBlock() && oldBlock != 0) {
    uint32_t oldLen = 0;
    uint32_t oldType = 0;
    if (Length(oldBlock, &oldLen, &oldType).ok()) {
      uint64_t oldBlocks =
          (kFptItemHeaderSize + static_cast<uint64_t>(oldLen) + blockSize_ - 1) / blockSize_;
      if (blocks <= oldBlocks) {
        XCE_RETURN_IF_ERROR(file_->WriteAt(static_cast<uint64_t>(oldBlock) * blockSize_,
                                           item.data(), static_cast<std::size_t>(itemBytes)));
        *newBlock = oldBlock;
        return Status::Ok();
      }
    }
  }
  // Another process may have appended since we last looked.
  if (!soleWriter_) {
    XCE_RETURN_IF_ERROR(ReloadHeader());
  }
  // The next free block must lie between the header and the end of the file
  // (the last item may end short of its last block). Anything else is a
  // damaged header: writing there would overwrite other records' memos, or
  // reach far past the end of the file.
  const uint64_t endBlock = (fileSize_ + blockSize_ - 1) / blockSize_;
  const uint64_t headerEnd = static_cast<uint64_t>(firstDataBlock()) * blockSize_;
  if (nextFree_ > endBlock || (nextFree_ < firstDataBlock() && fileSize_ > headerEnd)) {
    return Damaged(path(), "the next free block " + std::to_string(nextFree_) +
                               " lies outside the file's " + std::to_string(endBlock) + " blocks");
  }
  uint32_t at = nextFree_ < firstDataBlock() ? firstDataBlock() : nextFree_;
  uint64_t after = at + blocks;
  if (after > UINT32_MAX) {
    return Status(kErrNotSupported, "Memo file " + path() + " is full");
  }
  XCE_RETURN_IF_ERROR(
      file_->WriteAt(static_cast<uint64_t>(at) * blockSize_, item.data(), item.size()));
  uint8_t h[kFptHeaderNextFreeSize];
  EncodeFptNextFree(static_cast<uint32_t>(after), h);
  XCE_RETURN_IF_ERROR(file_->WriteAt(kFptHeaderNextFree, h, sizeof h));
  nextFree_ = static_cast<uint32_t>(after);
  uint64_t end = after * blockSize_;
  if (end > fileSize_) {
    fileSize_ = end;
  }
  *newBlock = at;
  return Status::Ok();
}

Status FptWriter::Start() {
  XCE_RETURN_IF_ERROR(MemoFile::WriteEmptyFpt(file_, blockSize_));
  nextFree_ = FptFirstDataBlock(blockSize_);
  heldAt_ = nextFree_ * blockSize_;
  held_.reserve(kFptWriteBytes + 2 * blockSize_);
  return Status::Ok();
}

Status FptWriter::Add(std::string_view data, uint32_t itemType, uint32_t* block) {
  *block = 0;
  if (data.empty()) {
    return Status::Ok();
  }
  if (data.size() > kMaxMemoLength) {
    return Status(kErrBadArgument, "Memo value too long for " + file_->path());
  }
  const uint64_t blocks = (kFptItemHeaderSize + data.size() + blockSize_ - 1) / blockSize_;
  if (nextFree_ + blocks > UINT32_MAX) {
    return Status(kErrNotSupported, "Memo file " + file_->path() + " is full");
  }
  if (!held_.empty() && held_.size() + blocks * blockSize_ > kFptWriteBytes) {
    XCE_RETURN_IF_ERROR(Flush());
  }
  AppendItem(data, itemType, blockSize_, &held_);
  *block = static_cast<uint32_t>(nextFree_);
  nextFree_ += blocks;
  return Status::Ok();
}

Status FptWriter::Flush() {
  if (held_.empty()) {
    return Status::Ok();
  }
  XCE_RETURN_IF_ERROR(file_->WriteAt(heldAt_, held_.data(), held_.size()));
  heldAt_ += held_.size();
  held_.clear();
  return Status::Ok();
}

Status FptWriter::Finish() {
  XCE_RETURN_IF_ERROR(Flush());
  uint8_t h[kFptHeaderNextFreeSize];
  EncodeFptNextFree(static_cast<uint32_t>(nextFree_), h);
  return file_->WriteAt(kFptHeaderNextFree, h, sizeof h);
}

}  // namespace xce
