// Building trees bottom-up from sorted entries: the tag directory in memory
// (BuildTree), tags of any size streamed page by page to their file
// (TreeWriter).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cdx/cdx_file.h"
#include "cdx/cdx_header.h"
#include "cdx/cdx_node.h"
#include "cdx/key_sorter.h"
#include "xce/file.h"
#include "xce/status.h"

namespace xce::cdx {

// Builds a tree bottom-up from entries given in (key, recno) order, writing
// its pages to `file` as they are completed: compact leaves filled as far as
// their compressed entries go, each interior level above from the last entry
// of each page below, the root last, all in consecutive pages from `base`.
// Only the last entry of each leaf is kept in memory.
class TreeWriter : public EntrySink {
 public:
  TreeWriter(File* file, uint32_t base, int keyLen, uint8_t pad);
  Status Put(const uint8_t* key, uint32_t recno) override;
  // Writes the last leaf and the levels above it; *root is the root's
  // offset, *end the offset just past the tree's last page.
  Status Finish(uint32_t* root, uint32_t* end);

 private:
  Status CloseLeaf(bool last);
  Status Emit(const uint8_t* page);
  Status FlushPages();
  uint32_t PageOffset(uint64_t index) const {
    return static_cast<uint32_t>(base_ + index * kPageSize);
  }

  File* file_;
  uint64_t base_;
  int keyLen_;
  uint8_t pad_;
  int bits_;
  uint8_t page_[kPageSize];
  LeafWriter leaf_;
  int keyBytes_ = 0;
  uint32_t maxRecno_ = 0;
  std::vector<uint8_t> prev_;  // the current leaf's last key
  uint32_t prevRecno_ = 0;
  uint64_t pages_ = 0;  // pages completed (written or waiting in out_)
  uint64_t leaves_ = 0;
  std::vector<uint8_t> out_;  // completed pages not yet written
  // The last entry of every page of the level being completed.
  std::vector<uint8_t> levelKeys_;
  std::vector<uint32_t> levelRecnos_;
};

// Checks a new tag's name, key length and expressions; empty when usable.
std::string ValidateSpec(const TagSpec& tagSpec);
// The directory key of a tag name: upper case, padded with blanks.
std::vector<uint8_t> DirectoryKey(const std::string& name, int keyLen);

// Processors the machine offers, asked once: the answer is read from a
// system file each time it is asked.
unsigned Cores();
// Runs fn(i) for i in [0, n) on up to two threads.
void ParallelFor(std::size_t n, const std::function<void(std::size_t)>& fn);

}  // namespace xce::cdx
