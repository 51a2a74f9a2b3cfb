#include "memo_file.h"

#include <cstring>
#include <vector>

namespace xce {
namespace {

constexpr uint32_t kMaxMemoLength = 0x7FFFFFF0;

// FptWriter's buffer goes to the file in writes of about this size.
constexpr std::size_t kFptWriteBytes = std::size_t{1} << 20;

Status Damaged(const std::string& path, const std::string& what) {
  return Status(kErrCorrupt, "Memo file " + path + " is damaged: " + what);
}

// Appends the FPT item of a value to *out: its type and length, the bytes,
// and zeros to the end of its last block. Returns the blocks it takes.
uint64_t AppendItem(std::string_view data, uint32_t itemType, uint32_t blockSize,
                    std::vector<char>* out) {
  const uint64_t blocks = (8 + data.size() + blockSize - 1) / blockSize;
  const std::size_t at = out->size();
  out->resize(at + static_cast<std::size_t>(blocks * blockSize), 0);
  auto* item = reinterpret_cast<uint8_t*>(out->data() + at);
  PutBe32(item, itemType);
  PutBe32(item + 4, static_cast<uint32_t>(data.size()));
  std::memcpy(item + 8, data.data(), data.size());
  return blocks;
}

}  // namespace

Status MemoFile::Open(std::unique_ptr<File> file, MemoKind kind, std::unique_ptr<MemoFile>* out) {
  std::unique_ptr<MemoFile> m(new MemoFile(std::move(file), kind));
  XCE_RETURN_IF_ERROR(m->ReloadHeader());
  *out = std::move(m);
  return Status::Ok();
}

Status MemoFile::ReloadHeader() {
  XCE_RETURN_IF_ERROR(file_->Size(&fileSize_));
  uint8_t h[24];
  std::size_t got = 0;
  XCE_RETURN_IF_ERROR(file_->ReadAt(0, h, sizeof h, &got));
  if (got < sizeof h) {
    return Damaged(path(), "the header is truncated");
  }
  switch (kind_) {
    case MemoKind::kFpt:
      nextFree_ = Be32(h);
      blockSize_ = static_cast<uint32_t>(h[6]) << 8 | h[7];
      break;
    case MemoKind::kDbt3:
      nextFree_ = Le32(h);
      blockSize_ = 512;
      break;
    case MemoKind::kDbt4:
      nextFree_ = Le32(h);
      blockSize_ = Le16(h + 20);
      break;
    case MemoKind::kNone:
      return Damaged(path(), "unknown memo format");
  }
  if (blockSize_ == 0) {
    return Damaged(path(), "the block size is 0");
  }
  return Status::Ok();
}

Status MemoFile::WriteEmptyFpt(File* file, uint32_t blockSize) {
  std::vector<uint8_t> h(512, 0);
  uint32_t first = (512 + blockSize - 1) / blockSize;
  PutBe32(&h[0], first);
  h[6] = static_cast<uint8_t>(blockSize >> 8);
  h[7] = static_cast<uint8_t>(blockSize);
  h.resize(static_cast<std::size_t>(first) * blockSize, 0);
  return file->WriteAt(0, h.data(), h.size());
}

Status MemoFile::ReadDbt(uint32_t block, std::string* data, uint32_t* length) {
  uint64_t offset = static_cast<uint64_t>(block) * blockSize_;
  if (offset >= fileSize_) {
    return Damaged(path(), "memo block " + std::to_string(block) + " lies past the end");
  }
  if (kind_ == MemoKind::kDbt4) {
    uint8_t h[8];
    std::size_t got = 0;
    XCE_RETURN_IF_ERROR(file_->ReadAt(offset, h, 8, &got));
    if (got < 8) {
      return Damaged(path(), "memo block " + std::to_string(block) + " lies past the end");
    }
    uint32_t total = Le32(h + 4);
    if (h[0] != 0xFF || h[1] != 0xFF || total < 8 || offset + total > fileSize_) {
      return Damaged(path(),
                     "memo length at block " + std::to_string(block) + " goes past the end");
    }
    *length = total - 8;
    if (data != nullptr) {
      data->resize(*length);
      XCE_RETURN_IF_ERROR(file_->ReadAt(offset + 8, data->data(), *length, &got));
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
    const void* eof = std::memchr(chunk.data(), 0x1A, got);
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
  uint8_t h[8];
  std::size_t got = 0;
  if (offset + 8 > fileSize_) {
    return Damaged(path(), "memo block " + std::to_string(block) + " lies past the end");
  }
  XCE_RETURN_IF_ERROR(file_->ReadAt(offset, h, 8, &got));
  if (got < 8) {
    return Damaged(path(), "memo block " + std::to_string(block) + " lies past the end");
  }
  uint32_t n = Be32(h + 4);
  if (offset + 8 + n > fileSize_) {
    return Damaged(path(), "memo length at block " + std::to_string(block) + " goes past the end");
  }
  *length = n;
  *itemType = Be32(h);
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
      file_->ReadAt(static_cast<uint64_t>(block) * blockSize_ + 8, data->data(), n, &got));
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
  uint64_t itemBytes = 8 + data.size();
  std::vector<char> item;
  const uint64_t blocks = AppendItem(data, itemType, blockSize_, &item);

  if (inPlace && oldBlock >= firstDataBlock() && oldBlock != 0) {
    uint32_t oldLen = 0;
    uint32_t oldType = 0;
    if (Length(oldBlock, &oldLen, &oldType).ok()) {
      uint64_t oldBlocks = (8 + static_cast<uint64_t>(oldLen) + blockSize_ - 1) / blockSize_;
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
  uint8_t h[4];
  PutBe32(h, static_cast<uint32_t>(after));
  XCE_RETURN_IF_ERROR(file_->WriteAt(0, h, 4));
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
  nextFree_ = (512 + blockSize_ - 1) / blockSize_;
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
  const uint64_t blocks = (8 + data.size() + blockSize_ - 1) / blockSize_;
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
  uint8_t h[4];
  PutBe32(h, static_cast<uint32_t>(nextFree_));
  return file_->WriteAt(0, h, 4);
}

}  // namespace xce
