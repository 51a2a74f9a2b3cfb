// The UI edge of the program's character set: text below the UI is
// Windows-1251 bytes, Qt wants Unicode. A character the code page cannot
// hold travels below as a numeric character reference ("&#252;"), so the
// user sees and edits the character itself.
#pragma once

#include <QString>
#include <string>
#include <string_view>

class TField;

namespace ui {

// Text of the program's character set, its references read as characters.
QString ToQString(std::string_view cp1251);

// Characters the program's character set cannot hold become references, and
// the "&" of a typed "&#" is guarded, so ToQString gives the text back.
std::string FromQString(const QString& text);

// A field's value as shown: a text field's references read as characters
// of its table's code page; an address as it is stored.
QString ToQString(std::string_view stored, const TField& field);

// Text for a field, by its table's code page and its kind (references for
// text, percent-encoding for an address), before any cut to its size.
std::string StoredText(const QString& text, const TField& field);

// The bytes the field stores of the text (a reference takes more than its
// character): above the field's size, the text is cut.
std::size_t StoredLength(const QString& text, const TField& field);

// Text for a field, a text field's value cut to the field's size before a
// reference that would not fit whole.
std::string FromQString(const QString& text, const TField& field);

// For a box that refuses what its field cannot store: drops the characters
// just before *cursor (what was typed or pasted there) until the text's
// stored bytes fit in `limit`. False when the text fitted as it was.
bool FitStoredText(QString* text, int* cursor, std::size_t limit, bool oem);
// The same by a text field's size and table; false for any other field.
bool FitStoredText(QString* text, int* cursor, const TField& field);

}  // namespace ui
