// The URL list's program-wide state and the membership helpers the URL
// commands and the editor window share.
#pragma once

#include <QString>
#include <cstdint>
#include <string>
#include <vector>

class TTreeView;
class TXdsTable;

// The URL id the next inserted URL record is numbered after.
extern int32_t LastUrlId;

// The captions of the filter panel.
extern const char* const kFilterOffCaption;  // UTF-8
extern const char* const kFilterOnCaption;   // UTF-8
// Said when a cell's editor refuses characters past its field; %1 is the
// field's size.
extern const char* const kCutToField;  // UTF-8
// What the user reads when the opener fails; %d is its number.
extern const char* const kNoProgramForLink;  // UTF-8
// What a command that would change the catalogue says after a start-up
// that did not open it whole.
extern const char* const kCatalogueNotOpen;  // UTF-8
// The object name of what waits for an opener's verdict; one per launch
// still running.
extern const char* const kOpenerWatchName;

// Rewrites the memberships of the URL table's current record from the
// marks of the current editor window's tree. All or nothing: after a failure
// the memberships are as they were.
void SaveUrlSections();
// Marks the current editor window's sections that the URL table's current
// record is filed under.
void MarkUrlSections();

// A window's section tree's names edited in place take no more than the
// sections table's name field holds, and say so when they refuse more.
void LimitSectionNames(TTreeView* tree);

// A window's section tree read from, or written back to, the sections table.
void LoadSections(TXdsTable& sections, TTreeView* tree);
void SaveSections(TXdsTable& sections, TTreeView* tree);

// Hands `command`, text in the program's character set, to the desktop's
// opener as the main window's browse button does; a failure is reported
// once the opener's verdict comes.
void OpenWithOpener(const std::string& command);

// Commands on URL records named by id, for windows that list records the
// main list may no longer show. Each leaves the list refetched from its first
// record.
//
// Files the records under the top-level section `name` of the main tree,
// made when missing (the sections table is rewritten from the tree then);
// a record filed there already stays as it is. All or nothing over the
// memberships. Returns how many records were filed.
int FileUrlsUnderSection(const std::vector<int32_t>& ids, const QString& name);
// Gives the record `address` (the whole address, with the scheme) through
// the editor's save path, so a long one is kept whole. The record's link
// type prefix is left out of what is stored; when the address does not begin
// with it, the record takes the link type whose prefix it begins with (the
// longest). False, and nothing changed, when no link type fits or the record
// is gone.
[[nodiscard]] bool ReplaceUrlAddress(int32_t id, const QString& address);
// Deletes the record as the main window's delete command does, with its
// memberships and its whole address. False when it is gone already.
[[nodiscard]] bool DeleteUrlRecord(int32_t id);
