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
// An FPT file's header: the first 512 bytes, ahead of the first data block.
constexpr uint32_t kFptHeaderSize = 512;

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
  uint32_t firstDataBlock() const { return (kFptHeaderSize + blockSize_ - 1) / blockSize_; }
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
