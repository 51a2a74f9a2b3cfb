#include "utf8.h"

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

}  // namespace

char32_t NextUtf8(std::string_view s, std::size_t* pos) {
  const auto* b = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t i = *pos;
  const unsigned char c = b[i];
  *pos = i + 1;
  if (c < 0x80) {
    return c;
  }
  int extra = 0;
  char32_t cp = 0;
  if (c >= 0xC2 && c <= 0xDF) {
    extra = 1;
    cp = c & 0x1F;
  } else if (c >= 0xE0 && c <= 0xEF) {
    extra = 2;
    cp = c & 0x0F;
  } else if (c >= 0xF0 && c <= 0xF4) {
    extra = 3;
    cp = c & 0x07;
  } else {
    return kReplacement;
  }
  if (i + static_cast<std::size_t>(extra) >= s.size()) {
    return kReplacement;
  }
  for (int k = 1; k <= extra; ++k) {
    const unsigned char t = b[i + static_cast<std::size_t>(k)];
    if ((t & 0xC0) != 0x80) {
      return kReplacement;
    }
    cp = (cp << 6) | (t & 0x3F);
  }
  static constexpr char32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    return kReplacement;
  }
  *pos = i + 1 + static_cast<std::size_t>(extra);
  return cp;
}

void AppendUtf8(char32_t c, std::string* out) {
  if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
    c = kReplacement;
  }
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

}  // namespace platform
