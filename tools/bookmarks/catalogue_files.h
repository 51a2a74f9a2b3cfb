// The catalogue's files as the import handles them: copies, syncs, the order
// of a swap, and undo records of files that take appends in place.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "xce/file.h"

namespace bookmarks {

std::string Join(const std::string& dir, const std::string& name);

// Copies a file with the kernel's copy, then makes it durable.
[[nodiscard]] bool CopyFile(const std::string& from, const std::string& to, std::string* error);
[[nodiscard]] bool SyncFile(xce::FileSystem* fsys, const std::string& path, std::string* error);
// A name a journal may rename: a plain file name of one of the catalogue's
// tables, memo or index files, so a planted journal cannot touch other files.
bool IsCatalogueFileName(const std::string& name);
// Memo and index files first, the table last: a table swapped in always
// finds memo blocks it points to.
int SwapRank(const std::string& name);
// False when the file cannot be read or is longer than `limit`.
[[nodiscard]] bool ReadWholeFile(xce::FileSystem* fsys, const std::string& path, std::string* out,
                                 uint64_t limit = 1 << 16);
// Writes `content` to `path` so that the file appears whole or not at all:
// through a temporary file made durable first, then renamed into place.
[[nodiscard]] xce::Status WriteFileAtomically(xce::FileSystem* fsys, const std::string& dir,
                                              const std::string& path, const std::string& content);

// Tables and memo files gain records in place: appends only grow a file and
// rewrite its header and what lies past its data (a table's end mark, the
// unused part of a memo file's last block). An undo record keeps the old
// length and those bytes, so cutting the file back and writing them again
// restores every byte. Index files are rewritten throughout and are copied
// aside instead.
struct UndoRecord {
  std::string name;
  uint64_t size = 0;
  std::string head;  // bytes from 0
  uint64_t tailAt = 0;
  std::string tail;  // bytes from tailAt to size
};

// The undo record of a table (.dbf) or memo file (.fpt) of `dir`, or false
// when the file's header cannot say where appends go or too much lies past
// its data: such a file is copied aside.
[[nodiscard]] bool MakeUndoRecord(xce::FileSystem* fsys, const std::string& dir,
                                  const std::string& name, UndoRecord* out);
std::string EncodeUndo(const std::vector<UndoRecord>& records);
// False when the text is not a whole undo file of this program.
[[nodiscard]] bool DecodeUndo(const std::string& text, std::vector<UndoRecord>* records);
// Puts each file back as its undo record keeps it, durably. Doing it again
// after an interruption gives the same bytes.
[[nodiscard]] bool RollBack(xce::FileSystem* fsys, const std::string& dir,
                            const std::vector<UndoRecord>& records, std::string* error);
// Every catalogue file of a folder with its identity, length and time of
// change: a catalogue that changed between two looks differs in one of them.
std::string Fingerprint(const std::string& dir);

}  // namespace bookmarks
