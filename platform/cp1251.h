// The program's character set, Windows-1251, and its Unicode mapping. Strings
// below the UI are single-byte Windows-1251; the UI converts at its edge, and
// file names (UTF-8 bytes on this platform) are converted where they become
// part of a message.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// The Unicode code point of a Windows-1251 byte.
char32_t Cp1251ToUnicode(unsigned char c);

// The Windows-1251 byte of a code point, or '?' when the code page lacks it.
char Cp1251FromUnicode(char32_t u);

std::string Cp1251ToUtf8(std::string_view s);

// Converts UTF-8 text; characters Windows-1251 cannot hold and malformed
// byte sequences each become '?'.
std::string Utf8ToCp1251(std::string_view s);

}  // namespace platform
