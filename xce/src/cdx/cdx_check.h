// Structural check of a compound index: every tag's order, counts, levels,
// interior entries, sibling chains, and that every page is used exactly once
// (by the header, a tag or the free list, or noted as lost). It reads through the same checked
// page access as everything else, so a damaged file yields problems, never a
// crash or a hang.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cdx/cdx_file.h"

namespace xce::cdx {

struct TagCheck {
  uint64_t entries = 0;
  std::vector<std::string> problems;
};

// Checks one tag. maxRecno (0: unknown) bounds the record numbers.
TagCheck CheckTag(CdxTag* tag, uint32_t maxRecno = 0);

// Checks the directory, every tag and the free list; returns every problem
// found, each naming the file and the tag. Empty means sound. Pages that
// belong to nothing (other writers leave them behind) are only noted.
std::vector<std::string> CheckIndexFile(CdxFile* file, uint32_t maxRecno = 0,
                                        std::vector<std::string>* notes = nullptr);

}  // namespace xce::cdx
