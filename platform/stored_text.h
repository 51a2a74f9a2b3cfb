// Text in any alphabet in tables whose text is single-byte: a character the
// table's code page cannot hold is stored as a numeric character reference
// ("&#252;") and read back as the character; an address keeps what the code
// page holds and percent-encodes the rest as UTF-8, as browsers do.
//
// A table's text is handed to the engine in the program's character set
// (Windows-1251). An OEM table stores it in 866, so it holds only the
// characters both code pages share: "€" and "«" are references there. The
// references and the "&#38;" that guards a typed "&#" are plain ASCII, which
// every code page and every older reader keeps as it is.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace platform {

// Whether a table stores the character as itself (`oem`: the table's text is
// in 866).
bool HoldsCharacter(char32_t c, bool oem);

// Text for a table: each character the table cannot hold becomes "&#N;" (N
// its code point in decimal) and the "&" of an "&#" becomes "&#38;"; the
// rest is the program's character set. A lone UTF-16 surrogate becomes "?".
std::string EncodeText(std::u16string_view text, bool oem);
// The same from UTF-8; a malformed byte is the replacement character U+FFFD.
// *referenced tells whether any character became a reference.
std::string EncodeTextUtf8(std::string_view utf8, bool oem, bool* referenced = nullptr);

// Stored text as the characters it stands for. Only what EncodeText writes
// is read as a reference: "&#N;" without leading zeros for a character the
// table cannot hold, and "&#38;" before "#". Any other "&" (a text typed on
// the first platform, "&amp;", "&#1081;" for a character the table holds)
// reads as it stands.
std::u16string DecodeText(std::string_view stored, bool oem);
std::string DecodeTextToUtf8(std::string_view stored, bool oem);

// Whether stored text may hold a reference; when not, each byte is one
// character of the program's character set.
inline bool MayHoldReferences(std::string_view stored) {
  return stored.find('&') != std::string_view::npos;
}

// An address for a table: characters the table holds as they are, any other
// one percent-encoded as its UTF-8 bytes ("%C3%BC"); nothing else changes.
std::string EncodeAddress(std::u16string_view text, bool oem);
// Appends "%XX" for each byte.
void AppendPercentEncoded(std::string_view bytes, std::string* out);

// The length of the longest start of stored text that fits in `limit` bytes
// without cutting a reference (a guarded "&#" counts as one piece).
std::size_t TextCut(std::string_view stored, std::size_t limit, bool oem);

}  // namespace platform
