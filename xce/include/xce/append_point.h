// Where a table or memo file takes appends, for programs that keep the bytes
// an append changes so they can put a file back (an undo record): appends
// only rewrite the header and grow the file from the end of its data.
#pragma once

#include <cstdint>
#include <string>

#include "xce/file.h"
#include "xce/status.h"

namespace xce {

struct AppendPoint {
  uint64_t headerLength = 0;  // bytes from the start an append may rewrite
  uint64_t dataEnd = 0;       // where the next record or memo item goes
};

// A DBF table: its header's length and the end of its last record.
[[nodiscard]] Status ReadTableAppendPoint(FileSystem* fs, const std::string& path,
                                          AppendPoint* out);
// An FPT memo file: its header block and the start of its next free block.
[[nodiscard]] Status ReadMemoAppendPoint(FileSystem* fs, const std::string& path,
                                         AppendPoint* out);

}  // namespace xce
