// Bookmarks into and out of the catalogue's four tables.
//
// An import is all or nothing. Its work is done in a folder beside the
// catalogue: the index files are copied there; the tables and memo files get
// a second name there and take their new records in place, under an undo
// record (their old lengths, headers and end bytes) made durable first. At
// the end a journal naming the index copies is written and renamed into
// place (the moment the import counts as done), each copy is renamed over
// its original, then the undo record and the journal go. A failure before
// the journal's rename puts the tables back; a process killed at any point
// leaves a journal, whose import the next run finishes, or an undo record,
// which it plays back (FinishInterruptedImport), before it does anything
// else. While it runs, the import holds the catalogue's tables open for
// exclusive use, so the program cannot open a half-made catalogue, and an
// import refuses a catalogue the program has open.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "bookmark_tree.h"
#include "xce/file.h"

namespace bookmarks {

// Sections with no section of their own are exported into this folder, and
// an import of such a folder files its links under no section.
extern const char* const kUnfiledFolder;  // "Без раздела" (UTF-8)

struct Skipped {
  std::string title;
  std::string href;
  std::string reason;
};

struct ImportSummary {
  bool createdCatalogue = false;
  std::size_t links = 0;             // links read from the file
  std::size_t sectionsCreated = 0;
  std::size_t sectionsReused = 0;    // folders that met a section of the same name and parent
  std::size_t urlsAdded = 0;
  std::size_t urlsMerged = 0;        // already in the catalogue: new memberships only
  std::size_t linksJoined = 0;       // the same address again in the file
  std::size_t membershipsAdded = 0;
  std::vector<std::string> typesCreated;
  std::size_t namesCut = 0;          // full name kept at the top of the description
  std::size_t textsAltered = 0;      // characters the code pages lack, written as references
  std::vector<std::string> sectionNamesCut;
  std::vector<Skipped> skipped;
};

struct ImportOptions {
  // File system for the swap; tests pass one that fails on demand.
  xce::FileSystem* fs = nullptr;
  // Called now and then with links done and links in the file.
  std::function<void(std::size_t done, std::size_t total)> progress;
};

// Imports `tree` into the catalogue in `dir`, creating the folder and an
// empty catalogue when there is none. False with a one-line reason when the
// catalogue is unchanged (or, said in the reason, when a swap already
// committed could not be finished: the next run finishes it; or when the
// tables could not be put back: the next run puts them back).
[[nodiscard]] bool ImportBookmarks(const Tree& tree, const std::string& dir,
                                   const ImportOptions& options, ImportSummary* summary,
                                   std::string* error);

// The whole catalogue as a tree: sections as folders, each URL record as a
// link in the folder of every section it is filed under, records filed
// nowhere in the folder kUnfiledFolder.
[[nodiscard]] bool ReadCatalogue(const std::string& dir, Tree* tree, std::string* error);

// Finishes an import whose swap was committed, or undoes one that was not.
[[nodiscard]] bool FinishInterruptedImport(xce::FileSystem* fs, const std::string& dir,
                                           std::string* error);

// Holds a folder for one import or export at a time (a lock on the folder,
// released with the object). ok() is false when another run holds it.
class FolderLock {
 public:
  explicit FolderLock(const std::string& dir);
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }

 private:
  int fd_ = -1;
  bool ok_ = false;
  std::string error_;
};

}  // namespace bookmarks
