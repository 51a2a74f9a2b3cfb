// Text and address rules of the bookmark import: UTF-8, character
// references, host names in their ASCII form, URL comparison, and text the
// catalogue's code pages can hold.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace bookmarks {

// Decodes one UTF-8 character at s[*pos] and advances *pos; malformed bytes
// give U+FFFD one byte at a time, as platform::NextUtf8 does.
char32_t NextCodePoint(std::string_view s, std::size_t* pos);
void AppendUtf8(char32_t c, std::string* out);

// Replaces character references (&amp; &#1081; &#x44b; and the usual named
// ones) by their UTF-8 text; unknown or broken references stay as written.
std::string DecodeReferences(std::string_view text);

// Escapes & < > " for HTML and XML text and attribute values; carriage
// returns and other control characters become numeric references, so text
// read back is byte for byte what was written.
std::string EscapeMarkup(std::string_view utf8);

// A host name in its ASCII form: lower case, labels with other characters
// written as "xn--" and their Punycode. False when a label cannot be encoded.
bool HostToAscii(std::string_view host, std::string* out);

// The form two addresses are compared in: scheme and host in lower case, the
// host in its ASCII form, the scheme's default port and the "/" of an empty
// path dropped. Text without a scheme compares as it stands.
std::string ComparableUrl(std::string_view url);

// A hash of what ComparableUrl keeps of an address beyond the letter case of
// its scheme and host and its port: addresses in ASCII whose compared forms
// are equal have equal sketches, and an address's sketch is that of its
// compared form. A cheap first test before ComparableUrl decides.
uint64_t AddressSketch(std::string_view url);

// The scheme of an address in lower case ("http", "mailto"), or "" when the
// text does not begin with one.
std::string SchemeOf(std::string_view url);

// A host name with each label that Punycode writes ("xn--e1afmkfd") in its
// characters when the table holds them all ("пример"), any other label in
// its ASCII form; as UTF-8. False when a label cannot be encoded.
bool HostToUnicode(std::string_view host, bool oem, std::string* out);

// An address as the URL table stores it: the host as HostToUnicode writes
// it, and every character the table cannot hold, a space or a control
// character percent-encoded (as UTF-8). The result is in the program's
// character set (Windows-1251).
std::string StorableUrl(std::string_view utf8, bool oem);

// An address as it stands, but for characters the table cannot hold, which
// are percent-encoded; *altered tells whether any was.
std::string StorableAddress(std::string_view utf8, bool oem, bool* altered);

// Text for a character field or memo of a table in the program's character
// set: characters the table cannot hold (`oem`: the OEM table holds only what
// both code pages share) become numeric references "&#N;", which the program
// shows as the characters, and the "&" of an "&#" becomes "&#38;". *altered
// is set when any character became a reference.
std::string StorableText(std::string_view utf8, bool oem, bool* altered);

// Whether a character is stored as itself.
bool Storable(char32_t c, bool oem);

// Seconds since 1970 (UTC) as "YYYY-MM-DD HH:MM:SS"; "" for 0 or out of range.
std::string FormatUnixTime(int64_t seconds);

}  // namespace bookmarks
