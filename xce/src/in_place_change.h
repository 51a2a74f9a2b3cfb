// Changes to a table's files made in place, all or nothing.
//
// The files are changed through staged views: their writes and truncations
// are held in memory (reads see them) until Commit. Commit writes an undo
// journal beside the table holding the bytes the change overwrites and each
// file's size, makes it durable, writes the change into the files, syncs
// them and removes the journal last. Recover, at the next open, puts an
// interrupted change back: after a failure or a crash at any point the files
// hold what they held before, or the whole change.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "xce/file.h"
#include "xce/status.h"

namespace xce {

class InPlaceChange {
 public:
  InPlaceChange(FileSystem* fs, std::string journalPath, std::string dir);
  ~InPlaceChange();
  InPlaceChange(const InPlaceChange&) = delete;
  InPlaceChange& operator=(const InPlaceChange&) = delete;

  // A view of `base` whose writes stay staged here. `base` must outlive the
  // change and is not written before Commit; several views of one file
  // share its staged bytes.
  std::unique_ptr<File> Stage(File* base);

  // Bytes staged so far, in whole pages: the commit writes them twice, once
  // into the journal (what they replace) and once into the files.
  uint64_t staged_bytes() const;
  // Staged bytes must stay within `bytes`: a write that would stage more
  // fails (kErrNotSupported) and stages nothing.
  void SetLimit(uint64_t bytes) { limit_ = bytes; }
  // Bytes of the whole pages [offset, offset + n) of a file touches.
  static uint64_t PageBytes(uint64_t offset, uint64_t n);

  // Makes every staged change part of the files. When it fails the files
  // are put back as they were if they still let themselves be written;
  // otherwise *rolledBack is false and the next open finishes the job.
  Status Commit(bool* rolledBack);

  // Puts back what an interrupted change left, or drops a journal that was
  // never complete (the files were not touched then). The journal names its
  // files inside `dir`, where the staged files must lie; one naming a file
  // `belongs` refuses is not this table's and is dropped unapplied.
  // With `readOnly` nothing is changed and a pending change is an error.
  static Status Recover(FileSystem* fs, const std::string& journalPath, const std::string& dir,
                        const std::function<bool(const std::string&)>& belongs, bool readOnly);

  struct Staging;

 private:
  Status Apply();

  FileSystem* fs_;
  std::string journalPath_;
  std::string dir_;
  std::vector<std::shared_ptr<Staging>> stagings_;
  uint64_t limit_ = UINT64_MAX;
  // Pages staged in every file together, shared with the views.
  std::shared_ptr<uint64_t> pages_ = std::make_shared<uint64_t>(0);
};

// Suffix of the undo journal, after the table's own name.
inline constexpr const char* kUndoSuffix = ".undo";

}  // namespace xce
