// The catalogue's tables checked against each other, and mended.
//
// Each table can be sound on its own while the catalogue is not: a
// membership naming a URL record or a section that is not there, the same
// membership twice, two URL records or two sections with one id, ids that
// are not positive, sections whose parents are missing or lead round in a
// cycle, link type codes no link type has, memberships of URL records marked
// deleted, and rows of the table of whole addresses naming no URL record or
// repeating another. The check reads each table once in record order and
// keeps ids in sorted vectors and bitmaps, so a catalogue of a million URL
// records is checked in a few seconds.
//
// The repair loses no URL record and no section: it drops the memberships
// that name nothing, repeat another or belong to a deleted URL record, gives
// a URL record or a section whose id repeats an older record's or is not
// positive a new id (the oldest record keeps a repeated id, and the
// memberships and subsections naming it stay with it), adds the missing link
// types (their code as their name, no prefix), and puts a section whose
// parent is missing, or which the tree loader puts at the top level to break
// a cycle, at the top level, so the program shows the same tree as before.
//
// It is all or nothing across the tables: repaired copies of the tables it
// changes are made in a folder beside them, made durable, and named in a
// journal whose appearance (one rename) is the moment the repair is done;
// then each copy is renamed over its original. A repair cut short before the
// journal changed nothing (its folder is removed); one cut short after it is
// finished by FinishInterruptedRepair, which the check, the repair and the
// program's start run first.
#pragma once

#include <string>
#include <vector>

#include "xce/file.h"

namespace catalogue {

enum class FindingKind {
  kSectionIdNotPositive,
  kSectionIdRepeated,
  kSectionParentMissing,
  kSectionParentCycle,
  kUrlIdNotPositive,
  kUrlIdRepeated,
  kLinkTypeMissing,
  kMembershipNoSection,
  kMembershipNoUrl,
  kMembershipOfDeletedUrl,
  kMembershipRepeated,
  kWholeAddressNoUrl,
  kWholeAddressRepeated,
};

// One finding: its kind and its line ("URLIN.DBF record 17: ...").
struct Finding {
  FindingKind kind;
  std::string text;
};

// Checks the catalogue in `dir` (the four tables, and URLFULL.DBF when it is
// there), changing nothing. False, with the engine's text in *error, when a
// table cannot be opened or read; *findings is then incomplete.
[[nodiscard]] bool CheckCatalogue(const std::string& dir, std::vector<Finding>* findings,
                                  std::string* error);

struct RepairOptions {
  // File system for the swap of the repaired copies; tests pass one that
  // fails on demand. The copies themselves are made through the engine.
  xce::FileSystem* fs = nullptr;
};

// Checks the catalogue as CheckCatalogue does and mends every finding, all or
// nothing. *findings: what was found; *done: one line per thing done. False
// with a one-line reason when the catalogue could not be read or changed: it
// is then as it was, unless the reason says that the repair is done and the
// next run finishes moving its files into place.
[[nodiscard]] bool RepairCatalogue(const std::string& dir, const RepairOptions& options,
                                   std::vector<Finding>* findings, std::vector<std::string>* done,
                                   std::string* error);

// Finishes a repair whose journal was written, or clears away the work of one
// that stopped before it. Harmless when there is none.
[[nodiscard]] bool FinishInterruptedRepair(xce::FileSystem* fs, const std::string& dir,
                                           std::string* error);

}  // namespace catalogue
