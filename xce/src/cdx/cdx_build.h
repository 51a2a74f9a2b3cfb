// Building trees bottom-up from sorted entries, used by file creation, tag
// creation and every rebuild.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cdx/cdx_file.h"
#include "cdx/cdx_node.h"

namespace xce::cdx {

// Sorts the tag's entries by (key, record number); a unique tag then keeps
// the first record of each key value.
void SortEntries(TagSpec* tagSpec);

// The pages of one tree, leaves first, then each interior level. While built,
// sibling and child pointers are page indexes into `nodes`; PlaceTree turns
// them into byte offsets once the tree's place in the file is known.
struct BuiltTree {
  std::vector<Node> nodes;
  uint32_t rootIndex = 0;
};
BuiltTree BuildTree(const uint8_t* keys, const uint32_t* recnos, std::size_t n, int keyLen,
                    uint8_t pad);
void PlaceTree(BuiltTree* tree, uint32_t base);
// Encodes the placed tree's pages into out (nodes.size() * 512 bytes).
void EncodeTree(const BuiltTree& tree, uint8_t pad, uint8_t* out);

// Fields of a 1024-byte header (the file header or a tag header).
struct HeaderFields {
  uint32_t root = 0;
  uint32_t freeHead = 0;
  uint32_t counter = 0;
  int keyLen = 0;
  uint8_t options = 0;
  bool descending = false;
  std::string collation;
  std::string keyExpr;
  std::string forExpr;
  bool directory = false;
};
// False when the expressions do not fit the header's pool.
bool EncodeHeader(const HeaderFields& h, uint8_t* out);

// Checks a new tag's name, key length and expressions; empty when usable.
std::string ValidateSpec(const TagSpec& tagSpec);
// The directory key of a tag name: upper case, padded with blanks.
std::vector<uint8_t> DirectoryKey(const std::string& name, int keyLen);

// Runs fn(i) for i in [0, n) on up to two threads.
void ParallelFor(std::size_t n, const std::function<void(std::size_t)>& fn);

}  // namespace xce::cdx
