// Read-only consistency check of a table's files, for the command-line tool
// and for callers that want to know before they open.
#include <vector>

#include "table.h"

namespace xce {

Status CheckTableFiles(FileSystem* fs, const std::string& path, std::string* report) {
  report->clear();
  OpenOptions options;
  options.readOnly = true;
  std::unique_ptr<File> f;
  XCE_RETURN_IF_ERROR(fs->Open(path, OpenMode::kReadOnly, &f));
  uint64_t size = 0;
  XCE_RETURN_IF_ERROR(f->Size(&size));
  std::vector<uint8_t> head(static_cast<std::size_t>(std::min<uint64_t>(size, 65536)));
  std::size_t got = 0;
  XCE_RETURN_IF_ERROR(f->ReadAt(0, head.data(), head.size(), &got));
  DbfLayout layout;
  Status parsed = ParseDbfHeader(path, head.data(), got, size, &layout);
  if (!parsed.ok()) {
    *report += parsed.message() + "\n";
    return Status::Ok();
  }
  uint64_t expected =
      layout.headerLength + static_cast<uint64_t>(layout.recordCount) * layout.recordLength;
  // A missing end mark is common and harmless; bytes past it are not.
  if (size > expected + 1) {
    *report += "Table " + path + ": " + std::to_string(size - expected - 1) +
               " bytes follow the last counted record (record count " +
               std::to_string(layout.recordCount) + ")\n";
  } else if (size == expected + 1) {
    uint8_t eof = 0;
    XCE_RETURN_IF_ERROR(f->ReadAt(expected, &eof, 1, &got));
    if (eof != kEofByte) {
      *report += "Table " + path + ": the byte after the last record is not the end mark\n";
    }
  }
  f.reset();
  if (!layout.hasMemoFields) {
    return Status::Ok();
  }
  std::shared_ptr<Table> t;
  Status opened = Table::Open(fs, path, options, &t);
  if (!opened.ok()) {
    *report += opened.message() + "\n";
    return Status::Ok();
  }
  MemoFile* memo = t->memo();
  std::vector<char> rec(t->recordLength());
  std::size_t problems = 0;
  for (uint32_t r = 1; r <= t->RecordCount() && problems < 100; ++r) {
    XCE_RETURN_IF_ERROR(t->ReadRecord(r, rec.data()));
    for (const FieldInfo& fi : t->fields()) {
      if (!fi.isMemo) {
        continue;
      }
      uint32_t block = MemoBlock(fi, rec.data());
      if (block == 0) {
        continue;
      }
      uint32_t len = 0;
      uint32_t type = 0;
      Status s = memo->Length(block, &len, &type);
      if (!s.ok()) {
        *report += "Record " + std::to_string(r) + ", field " + fi.name + ": " + s.message() + "\n";
        ++problems;
      } else if (memo->kind() == MemoKind::kFpt &&
                 (block < memo->firstDataBlock() || block >= memo->nextFree())) {
        *report += "Record " + std::to_string(r) + ", field " + fi.name + ": memo block " +
                   std::to_string(block) + " lies outside the used part of " + memo->path() + "\n";
        ++problems;
      }
    }
  }
  return t->Close();
}

}  // namespace xce
