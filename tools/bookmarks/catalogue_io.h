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
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bookmark_tree.h"
#include "catalogue/folder_lock.h"
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
  // Asked now and then until the import commits: true abandons it, and the
  // catalogue is put back as it was (the import then fails with kCancelled).
  std::function<bool()> cancelled;
};

// The reason a cancelled import gives.
extern const char* const kCancelled;

// Imports `tree` into the catalogue in `dir`, creating the folder and an
// empty catalogue when there is none. False with a one-line reason when the
// catalogue is unchanged (or, said in the reason, when a swap already
// committed could not be finished: the next run finishes it; or when the
// tables could not be put back: the next run puts them back).
[[nodiscard]] bool ImportBookmarks(const Tree& tree, const std::string& dir,
                                   const ImportOptions& options, ImportSummary* summary,
                                   std::string* error);

// Reads a bookmark file whole; false with a one-line reason when it is no
// regular file, cannot be read or is larger than any bookmark file.
[[nodiscard]] bool ReadBookmarkFile(const std::string& path, std::string* bytes,
                                    std::string* error);

// Whether a file of this name is written as XBEL (a ".xbel" name) rather
// than as the browsers' HTML.
bool XbelByName(const std::string& path);

// Writes the whole catalogue in `dir` to `file` (whole or not at all), as
// XBEL or as HTML; holds the folder and finishes an interrupted import
// first. False with a one-line reason.
[[nodiscard]] bool ExportBookmarks(const std::string& dir, const std::string& file, bool xbel,
                                   std::string* error);

// The whole catalogue as a tree: sections as folders, each URL record as a
// link in the folder of every section it is filed under, records filed
// nowhere in the folder kUnfiledFolder.
[[nodiscard]] bool ReadCatalogue(const std::string& dir, Tree* tree, std::string* error);

// A URL record of the catalogue whose address another record has too.
struct DuplicateRecord {
  int64_t id = 0;
  std::string address;   // its link type's prefix and its whole address (UTF-8)
  std::string name;      // UTF-8, references shown as their characters
  std::string typeName;  // UTF-8; "" when it has no link type
  std::vector<int64_t> sections;  // the sections it is filed under, no repeats
};

// Records whose addresses compare equal as the import compares them, the
// oldest (lowest id) first.
struct DuplicateGroup {
  std::vector<DuplicateRecord> records;
};

// The groups of the catalogue in `dir`, in the order of their oldest
// records: one pass over the URL table, records whose compared addresses may
// be equal read again, and one pass over the memberships.
[[nodiscard]] bool FindDuplicateUrls(const std::string& dir, std::vector<DuplicateGroup>* groups,
                                     std::string* error);

// Finishes an import whose swap was committed, or undoes one that was not;
// a catalogue repair cut short after it was done is finished first.
[[nodiscard]] bool FinishInterruptedImport(xce::FileSystem* fs, const std::string& dir,
                                           std::string* error);

// Holds a folder for one import, export or catalogue repair at a time.
using FolderLock = catalogue::FolderLock;

}  // namespace bookmarks
