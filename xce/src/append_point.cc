// Where a table or memo file takes appends, from its header.
#include "xce/append_point.h"

#include <algorithm>
#include <memory>

#include "dbf_format.h"
#include "memo_file.h"

namespace xce {

Status ReadTableAppendPoint(FileSystem* fs, const std::string& path, AppendPoint* out) {
  std::unique_ptr<File> f;
  XCE_RETURN_IF_ERROR(fs->Open(path, OpenMode::kReadOnly, &f));
  uint8_t bytes[kHeaderSize];
  std::size_t got = 0;
  XCE_RETURN_IF_ERROR(f->ReadAt(0, bytes, sizeof bytes, &got));
  if (got < sizeof bytes) {
    return Status(kErrCorrupt, "Table " + path + " is damaged: the header is truncated");
  }
  const DbfFileHeader header = DecodeDbfHeader(bytes);
  out->headerLength = header.headerLength;
  out->dataEnd = out->headerLength + static_cast<uint64_t>(header.recordCount) * header.recordLength;
  return Status::Ok();
}

Status ReadMemoAppendPoint(FileSystem* fs, const std::string& path, AppendPoint* out) {
  std::unique_ptr<File> f;
  XCE_RETURN_IF_ERROR(fs->Open(path, OpenMode::kReadOnly, &f));
  std::unique_ptr<MemoFile> memo;
  XCE_RETURN_IF_ERROR(MemoFile::Open(std::move(f), MemoKind::kFpt, &memo));
  out->headerLength = kFptHeaderSize;
  out->dataEnd =
      static_cast<uint64_t>(std::max(memo->nextFree(), memo->firstDataBlock())) * memo->blockSize();
  return Status::Ok();
}

}  // namespace xce
