// Bookmarks as a browser file holds them, read into flat lists: folders with
// their parents, links with their folder. Nothing here is recursive, so any
// depth of nesting is safe to walk. All text is UTF-8.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bookmarks {

// Folders nested deeper than this keep their links in their ancestor at this
// depth: the section tree of the program is walked recursively.
constexpr int kMaxFolderDepth = 64;

// What our own exports add so that an import gives back the same catalogue.
struct CatalogueFacts {
  bool present = false;   // the link came from a catalogue export
  std::string url;        // the address as the URL table stores it
  std::string id;         // the URL record's id in the exported catalogue
  bool typed = false;     // the record has a link type
  std::string typeName;
  std::string typePrefix;
};

struct Folder {
  std::string name;
  int parent = -1;        // index in Tree::folders; -1 for the top level
  bool unfiled = false;   // our export's folder of URLs filed under no section
};

struct Link {
  int folder = -1;        // index in Tree::folders; -1 for the top level
  std::string href;
  std::string title;
  std::string description;
  std::string tags;       // as the browser wrote them, comma-separated
  std::string added;      // readable dates, "" when unknown
  std::string modified;
  std::string keyword;
  CatalogueFacts catalogue;
};

struct Tree {
  enum class Format { kNetscape, kXbel };
  Format format = Format::kNetscape;
  std::vector<Folder> folders;  // each after its parent
  std::vector<Link> links;      // in file order; a link filed twice appears twice
  // What the file held that has no place in the catalogue, for the summary.
  std::size_t separators = 0;
  std::size_t folderDescriptions = 0;
  std::size_t foldersTooDeep = 0;
  std::vector<std::string> unresolved;  // aliases that name no bookmark
};

// Reads a Netscape bookmark file (the HTML browsers export) or an XBEL file,
// recognised by content. Broken markup is read as far as it makes sense;
// false with a one-line reason only when the text is neither format.
[[nodiscard]] bool ParseBookmarks(std::string_view bytes, Tree* tree, std::string* error);

}  // namespace bookmarks
