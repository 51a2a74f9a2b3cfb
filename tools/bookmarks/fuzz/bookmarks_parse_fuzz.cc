// Reads arbitrary bytes as a bookmark file, writes what was read in both
// formats, and reads those back: the counts of folders and links must
// survive, and nothing may crash, hang or read out of bounds. The address
// and text rules run on every link too.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "bookmark_text.h"
#include "bookmark_tree.h"
#include "bookmark_write.h"

namespace {

void Require(bool condition) {
  if (!condition) {
    __builtin_trap();
  }
}

void Reread(const std::string& text, const bookmarks::Tree& original) {
  bookmarks::Tree again;
  std::string error;
  Require(bookmarks::ParseBookmarks(text, &again, &error));
  Require(again.folders.size() == original.folders.size());
  Require(again.links.size() == original.links.size());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view bytes(reinterpret_cast<const char*>(data), size);
  bookmarks::Tree tree;
  std::string error;
  if (!bookmarks::ParseBookmarks(bytes, &tree, &error)) {
    Require(!error.empty());
    return 0;
  }
  for (const bookmarks::Link& link : tree.links) {
    Require(link.folder < static_cast<int>(tree.folders.size()));
    bool altered = false;
    (void)bookmarks::ComparableUrl(link.href);
    (void)bookmarks::StorableUrl(link.href, true);
    (void)bookmarks::StorableText(link.title, true, &altered);
    (void)bookmarks::StorableText(link.description, true, &altered);
  }
  for (const bookmarks::Folder& folder : tree.folders) {
    Require(folder.parent < static_cast<int>(tree.folders.size()));
  }
  Reread(bookmarks::WriteNetscape(tree), tree);
  if (tree.unresolved.empty()) {
    Reread(bookmarks::WriteXbel(tree), tree);
  }
  return 0;
}
