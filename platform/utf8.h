// UTF-8, the encoding of file names and of text from outside the program.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Decodes one character at s[*pos] and advances *pos; a malformed byte
// (overlong forms and surrogates included) gives U+FFFD one byte at a time.
char32_t NextUtf8(std::string_view s, std::size_t* pos);

// Appends a character; one past the code points or a surrogate is U+FFFD.
void AppendUtf8(char32_t c, std::string* out);

}  // namespace platform
