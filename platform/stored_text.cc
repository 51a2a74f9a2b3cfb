#include "stored_text.h"

#include <cstdint>

#include "codepage.h"
#include "cp1251.h"
#include "utf8.h"

namespace platform {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The longest reference: "&#1114111;".
constexpr std::size_t kLongestReference = 10;

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// The program's character set byte of a character the table holds, or 0.
char HeldByte(char32_t c, bool oem) {
  if (c < 0x80) {
    return static_cast<char>(c);
  }
  if (c > 0xFFFF) {
    return 0;
  }
  const char b = Cp1251FromUnicode(c);
  if (b == '?') {
    return 0;
  }
  return !oem || xce::Cp1251To866(static_cast<unsigned char>(b)) != '?' ? b : 0;
}

void AppendReference(char32_t c, std::string* out) {
  char digits[8];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + c % 10);
    c /= 10;
  } while (c != 0);
  out->append("&#");
  while (n > 0) {
    out->push_back(digits[--n]);
  }
  out->push_back(';');
}

void AppendText(char32_t c, bool oem, std::string* out) {
  if (const char b = HeldByte(c, oem); b != 0 || c == 0) {
    out->push_back(b);
  } else {
    AppendReference(c, out);
  }
}

// The length of the reference EncodeText writes at s[at], with *c the
// character it stands for; 0 when what stands there is not one.
std::size_t ReferenceAt(std::string_view s, std::size_t at, bool oem, char32_t* c) {
  std::size_t i = at + 2;
  if (i >= s.size() || s[at] != '&' || s[at + 1] != '#' || s[i] < '1' || s[i] > '9') {
    return 0;
  }
  uint32_t v = 0;
  for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) {
    if (i - at > 8) {
      return 0;  // eight digits and more are past every code point
    }
    v = v * 10 + static_cast<uint32_t>(s[i] - '0');
  }
  if (i >= s.size() || s[i] != ';') {
    return 0;
  }
  if (v == '&') {
    if (i + 1 >= s.size() || s[i + 1] != '#') {
      return 0;
    }
  } else if (v > 0x10FFFF || IsSurrogate(v) || HoldsCharacter(v, oem)) {
    return 0;
  }
  *c = v;
  return i + 1 - at;
}

template <class Append>
void Decode(std::string_view stored, bool oem, Append append) {
  for (std::size_t i = 0; i < stored.size();) {
    char32_t c = 0;
    if (stored[i] == '&') {
      if (std::size_t length = ReferenceAt(stored, i, oem, &c); length > 0) {
        append(c);
        i += length;
        continue;
      }
    }
    append(Cp1251ToUnicode(static_cast<unsigned char>(stored[i])));
    ++i;
  }
}

// Each character of UTF-16 text; a lone surrogate is `lone`.
template <class Visit>
void EachCharacter(std::u16string_view text, char32_t lone, Visit visit) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (IsSurrogate(c)) {
      if (c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        ++i;
      } else {
        c = lone;
      }
    }
    visit(c, i + 1 < text.size() && text[i + 1] == u'#');
  }
}

}  // namespace

bool HoldsCharacter(char32_t c, bool oem) { return c < 0x80 || HeldByte(c, oem) != 0; }

std::string EncodeText(std::u16string_view text, bool oem) {
  std::string out;
  out.reserve(text.size());
  EachCharacter(text, '?', [&](char32_t c, bool hashNext) {
    if (c == '&' && hashNext) {
      out.append("&#38;");
    } else {
      AppendText(c, oem, &out);
    }
  });
  return out;
}

std::string EncodeTextUtf8(std::string_view utf8, bool oem, bool* referenced) {
  std::string out;
  out.reserve(utf8.size());
  bool any = false;
  for (std::size_t i = 0; i < utf8.size();) {
    const char32_t c = NextUtf8(utf8, &i);
    if (c == '&' && i < utf8.size() && utf8[i] == '#') {
      out.append("&#38;");
      continue;
    }
    any = any || !HoldsCharacter(c, oem);
    AppendText(c, oem, &out);
  }
  if (referenced != nullptr) {
    *referenced = any;
  }
  return out;
}

std::u16string DecodeText(std::string_view stored, bool oem) {
  std::u16string out;
  out.reserve(stored.size());
  Decode(stored, oem, [&out](char32_t c) {
    if (c > 0xFFFF) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(c));
    }
  });
  return out;
}

std::string DecodeTextToUtf8(std::string_view stored, bool oem) {
  std::string out;
  out.reserve(stored.size() + stored.size() / 2);
  Decode(stored, oem, [&out](char32_t c) { AppendUtf8(c, &out); });
  return out;
}

void AppendPercentEncoded(std::string_view bytes, std::string* out) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  for (char ch : bytes) {
    const auto b = static_cast<unsigned char>(ch);
    out->push_back('%');
    out->push_back(kHex[b >> 4]);
    out->push_back(kHex[b & 15]);
  }
}

std::string EncodeAddress(std::u16string_view text, bool oem) {
  std::string out;
  out.reserve(text.size());
  std::string bytes;
  EachCharacter(text, kReplacement, [&](char32_t c, bool) {
    if (const char b = HeldByte(c, oem); b != 0 || c == 0) {
      out.push_back(b);
      return;
    }
    bytes.clear();
    AppendUtf8(c, &bytes);
    AppendPercentEncoded(bytes, &out);
  });
  return out;
}

std::size_t TextCut(std::string_view stored, std::size_t limit, bool oem) {
  if (stored.size() <= limit) {
    return stored.size();
  }
  // A reference that the limit cuts begins fewer than its length before it.
  const std::size_t from = limit > kLongestReference ? limit - kLongestReference : 0;
  for (std::size_t at = from; at < limit; ++at) {
    char32_t c = 0;
    std::size_t length = stored[at] == '&' ? ReferenceAt(stored, at, oem, &c) : 0;
    // A guarded "&#" is whole only with its "#".
    std::size_t end = at + length + (c == '&' ? 1 : 0);
    if (length > 0 && end > limit) {
      return at;
    }
  }
  return limit;
}

}  // namespace platform
