// The URL list's program-wide state and the membership helpers the URL
// commands and the editor window share.
#pragma once

#include <cstdint>
#include <string>

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
