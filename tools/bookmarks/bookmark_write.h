// Writing bookmark files (UTF-8) that browsers import, carrying what the
// catalogue needs to read them back unchanged.
#pragma once

#include <string>

#include "bookmark_tree.h"

namespace bookmarks {

// The HTML bookmark file browsers export and import.
std::string WriteNetscape(const Tree& tree);

// XBEL; a link filed in several folders is written once and aliased after.
std::string WriteXbel(const Tree& tree);

}  // namespace bookmarks
