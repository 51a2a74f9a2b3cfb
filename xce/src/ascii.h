// Upper-casing of names the formats keep in ASCII capitals (tags, fields,
// collations, the expression language's words). Only a-z change: a byte of
// a code page is never taken for a letter, whatever the process's locale.
#pragma once

#include <string>
#include <string_view>

namespace xce {

inline std::string AsciiUpper(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return out;
}

// Whether two names are the same but for the case of ASCII letters.
inline bool AsciiSameUpper(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i];
    char y = b[i];
    x = x >= 'a' && x <= 'z' ? static_cast<char>(x - 'a' + 'A') : x;
    y = y >= 'a' && y <= 'z' ? static_cast<char>(y - 'a' + 'A') : y;
    if (x != y) {
      return false;
    }
  }
  return true;
}

}  // namespace xce
