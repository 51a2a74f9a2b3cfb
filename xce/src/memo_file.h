// Memo files: FPT (read and written) and dBASE DBT (read only). A memo value
// lives in an item at a block number that the record's memo field stores;
// block 0 means "no value".
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "dbf_format.h"
#include "xce/file.h"

namespace xce {

// FPT item types.
constexpr uint32_t kMemoItemBinary = 0;
constexpr uint32_t kMemoItemText = 1;
constexpr uint32_t kMemoItemObject = 2;
constexpr uint32_t kDefaultMemoBlockSize = 64;

// The memo files' layouts, described in docs/formats.md, "FPT memo file".
// Their offsets are named here once and read and written only through
// these encode/decode pairs.

// An FPT file's header: the first 512 bytes, ahead of the first data block.
// Only its first kFptHeaderUsed bytes mean anything; the rest is zeros.
constexpr uint32_t kFptHeaderSize = 512;
constexpr std::size_t kFptHeaderNextFree = 0;  // BE32, block the next append goes to
constexpr std::size_t kFptHeaderNextFreeSize = 4;
constexpr std::size_t kFptHeaderBlockSize = 6;  // BE16
constexpr std::size_t kFptHeaderUsed = 8;

struct FptHeader {
  uint32_t nextFree = 0;
  uint16_t blockSize = 0;
};

// `bytes` holds kFptHeaderUsed bytes. Encoding writes the named fields only.
FptHeader DecodeFptHeader(const uint8_t* bytes);
void EncodeFptHeader(const FptHeader& h, uint8_t* bytes);
// The next free block alone, as an append rewrites it in place: the
// kFptHeaderNextFreeSize bytes that go to file offset kFptHeaderNextFree.
void EncodeFptNextFree(uint32_t nextFree, uint8_t* bytes);
// The first block after the header, where the first item goes.
constexpr uint32_t FptFirstDataBlock(uint32_t blockSize) {
  return (kFptHeaderSize + blockSize - 1) / blockSize;
}

// An FPT item at the start of its block: its type and length, then the bytes.
constexpr std::size_t kFptItemType = 0;    // BE32, kMemoItem...
constexpr std::size_t kFptItemLength = 4;  // BE32, bytes after this header
constexpr std::size_t kFptItemHeaderSize = 8;

struct FptItemHeader {
  uint32_t type = kMemoItemText;
  uint32_t length = 0;
};

FptItemHeader DecodeFptItemHeader(const uint8_t* bytes);
void EncodeFptItemHeader(const FptItemHeader& h, uint8_t* bytes);

// dBASE memo files, read only. Both keep the next free block LE at offset 0;
// a dBASE III file has 512-byte blocks and items ending in 0x1A, a dBASE IV
// file names its block size and starts each item with a marker and the
// item's whole length.
constexpr std::size_t kDbtHeaderNextFree = 0;   // LE32
constexpr std::size_t kDbt4HeaderBlockSize = 20;  // LE16
constexpr std::size_t kDbtHeaderUsed = 22;
constexpr uint32_t kDbt3BlockSize = 512;
constexpr std::size_t kDbt4ItemMarker = 0;  // FF FF 08 00
constexpr std::size_t kDbt4ItemLength = 4;  // LE32, this header included
constexpr std::size_t kDbt4ItemHeaderSize = 8;
constexpr uint8_t kDbtEndMark = 0x1A;

struct DbtHeader {
  uint32_t nextFree = 0;
  uint16_t blockSize = 0;  // dBASE IV only
};
// `bytes` holds kDbtHeaderUsed bytes.
DbtHeader DecodeDbtHeader(const uint8_t* bytes, MemoKind kind);

struct Dbt4ItemHeader {
  bool marked = false;  // the item starts with the FF FF marker
  uint32_t length = 0;  // kDbt4ItemHeaderSize included
};
Dbt4ItemHeader DecodeDbt4ItemHeader(const uint8_t* bytes);

class MemoFile {
 public:
  // Takes over an open file and reads its header.
  static Status Open(std::unique_ptr<File> file, MemoKind kind, std::unique_ptr<MemoFile>* out);
  // Writes the header of an empty FPT into `file` (which must be empty).
  static Status WriteEmptyFpt(File* file, uint32_t blockSize);

  // Reads the item at `block`. A block inside the header reads as empty; a
  // block or length past the end of the file is an error naming the file.
  Status Read(uint32_t block, std::string* data, uint32_t* itemType);
  Status Length(uint32_t block, uint32_t* length, uint32_t* itemType);

  // Stores `data` and returns its block in *newBlock (0 for an empty value).
  // With `inPlace` an item that fits into the blocks of the old item at
  // `oldBlock` is overwritten there with a single write; otherwise the item is
  // appended at the next free block, then the header is advanced.
  Status Write(uint32_t oldBlock, std::string_view data, uint32_t itemType, bool inPlace,
               uint32_t* newBlock);

  // Re-reads the next-free block from disk (another process may have appended).
  Status ReloadHeader();
  // Set for a file no other process writes (its table is open exclusively):
  // appends then trust the header as last read or written.
  void SetSoleWriter(bool sole) { soleWriter_ = sole; }

  uint32_t blockSize() const { return blockSize_; }
  uint32_t nextFree() const { return nextFree_; }
  uint32_t firstDataBlock() const { return FptFirstDataBlock(blockSize_); }
  MemoKind kind() const { return kind_; }
  File* file() { return file_.get(); }
  const std::string& path() const { return file_->path(); }

 private:
  MemoFile(std::unique_ptr<File> file, MemoKind kind) : file_(std::move(file)), kind_(kind) {}
  Status ReadDbt(uint32_t block, std::string* data, uint32_t* length);

  std::unique_ptr<File> file_;
  MemoKind kind_;
  uint32_t blockSize_ = kDefaultMemoBlockSize;
  uint32_t nextFree_ = 0;
  uint64_t fileSize_ = 0;
  bool soleWriter_ = false;
};

// A new FPT written from its first data block on, one value after the
// other, through one buffer: the file MemoFile::Write makes of the same
// values appended in the same order, without a write per value.
class FptWriter {
 public:
  // `file` must be empty; the header of an empty FPT is written at once.
  FptWriter(File* file, uint32_t blockSize) : file_(file), blockSize_(blockSize) {}
  Status Start();
  // Stores `data` and returns its block in *block (0 for an empty value).
  Status Add(std::string_view data, uint32_t itemType, uint32_t* block);
  // Writes what is held and the header's next free block.
  Status Finish();

 private:
  Status Flush();

  File* file_;
  uint32_t blockSize_;
  uint64_t nextFree_ = 0;
  uint64_t heldAt_ = 0;  // where the held bytes go
  std::vector<char> held_;
};

}  // namespace xce
