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

}  // namespace xce
