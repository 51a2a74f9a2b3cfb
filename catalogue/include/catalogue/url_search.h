// Searching the URL records for words anywhere in their text: the search
// everywhere of the main window, below the window.
//
// A record matches when every word of the search text is contained in its
// address (the whole address, kept beside the URL table when it is longer
// than the URL field), its name or its description, each word in any of
// them and in any order. Letters compare with their case folded (Latin and
// Cyrillic), "ё" as "е"; text stored as character references ("&#252;")
// compares as the characters they stand for. Deleted records never match.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "xce.h"

namespace catalogue {

class WholeAddresses;

// A character as the search compares it: Latin and Cyrillic capitals as
// their small letters, "ё" as "е"; any other character as it is.
char32_t FoldSearchChar(char32_t c);

// UTF-8 text with each character folded as FoldSearchChar folds it.
std::string FoldSearchText(std::string_view utf8);

// The words of a search text (UTF-8), folded: the pieces between blanks
// (spaces, tabs, line ends, no-break spaces). Empty when it has none.
std::vector<std::string> SearchWords(std::string_view utf8);

// Text stored in the URL table (the program's character set, references for
// characters the table cannot hold) as folded UTF-8, ready for matching.
std::string FoldStoredText(std::string_view stored);

// Where a search over the URL table stands: it looks at records from `next`
// on, in record number order, and is `done` once it has looked at them all.
struct UrlSearchProgress {
  uint32_t next = 1;
  bool done = false;
};

// Appends to *recnos, in ascending order, the record numbers of the URL
// records that match `text` (UTF-8; see above), looking at records from
// progress->next on and stopping after about `budget` of them, so that a
// window can look at a table a part at a time between its events and drop
// a search the user typed past. A search that can answer at once (an index)
// answers for every record in one call. Called again with the same progress
// it goes on; progress->done tells when it has finished.
//
// `urls` is the URL table (open, with no change pending: the cursor is
// moved and put back on the record it stood on); `whole` holds its whole
// addresses (no table when the catalogue has none). A text without words
// matches every live record.
[[nodiscard]] XDSRESULT FindUrlRecords(XDSHANDLE urls, WholeAddresses& whole,
                                       std::string_view text, UrlSearchProgress* progress,
                                       uint32_t budget, std::vector<uint32_t>* recnos);

// The same over the whole table in one call.
[[nodiscard]] XDSRESULT FindAllUrlRecords(XDSHANDLE urls, WholeAddresses& whole,
                                          std::string_view text, std::vector<uint32_t>* recnos);

}  // namespace catalogue
