#include "bookmark_text.h"

#include <algorithm>
#include <array>
#include <ctime>
#include <vector>

#include "cp1251.h"
#include "stored_text.h"
#include "utf8.h"

namespace bookmarks {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsAsciiAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }
char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

std::string AsciiLowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    c = AsciiLower(c);
  }
  return out;
}

struct NamedReference {
  const char* name;
  char32_t code;
};
constexpr std::array<NamedReference, 24> kNamed = {{
    {"amp", '&'},       {"lt", '<'},        {"gt", '>'},       {"quot", '"'},
    {"apos", '\''},     {"nbsp", 0xA0},     {"laquo", 0xAB},   {"raquo", 0xBB},
    {"ndash", 0x2013},  {"mdash", 0x2014},  {"hellip", 0x2026}, {"copy", 0xA9},
    {"reg", 0xAE},      {"trade", 0x2122},  {"shy", 0xAD},     {"lsquo", 0x2018},
    {"rsquo", 0x2019},  {"ldquo", 0x201C},  {"rdquo", 0x201D}, {"bdquo", 0x201E},
    {"bull", 0x2022},   {"middot", 0xB7},   {"deg", 0xB0},     {"numero", 0x2116},
}};

// RFC 3492 Punycode.
constexpr uint32_t kBase = 36, kTMin = 1, kTMax = 26, kSkew = 38, kDamp = 700;

uint32_t Adapt(uint32_t delta, uint32_t points, bool first) {
  delta = first ? delta / kDamp : delta / 2;
  delta += delta / points;
  uint32_t k = 0;
  while (delta > ((kBase - kTMin) * kTMax) / 2) {
    delta /= kBase - kTMin;
    k += kBase;
  }
  return k + (kBase - kTMin + 1) * delta / (delta + kSkew);
}

// The Punycode of one label's code points.
bool Punycode(const std::vector<char32_t>& input, std::string* out) {
  auto digit = [](uint32_t d) { return static_cast<char>(d < 26 ? 'a' + d : '0' + (d - 26)); };
  auto adapt = Adapt;
  uint32_t n = 128, delta = 0, bias = 72;
  uint32_t handled = 0;
  for (char32_t c : input) {
    if (c < 128) {
      out->push_back(static_cast<char>(c));
      ++handled;
    }
  }
  const uint32_t basic = handled;
  if (basic > 0) {
    out->push_back('-');
  }
  while (handled < input.size()) {
    uint32_t m = UINT32_MAX;
    for (char32_t c : input) {
      if (c >= n && c < m) {
        m = c;
      }
    }
    if (static_cast<uint64_t>(m - n) * (handled + 1) + delta > UINT32_MAX / 2) {
      return false;
    }
    delta += (m - n) * (handled + 1);
    n = m;
    for (char32_t c : input) {
      if (c < n) {
        ++delta;
      }
      if (c == n) {
        uint32_t q = delta;
        for (uint32_t k = kBase;; k += kBase) {
          uint32_t t = k <= bias ? kTMin : k >= bias + kTMax ? kTMax : k - bias;
          if (q < t) {
            break;
          }
          out->push_back(digit(t + (q - t) % (kBase - t)));
          q = (q - t) / (kBase - t);
        }
        out->push_back(digit(q));
        bias = adapt(delta, handled + 1, handled == basic);
        delta = 0;
        ++handled;
      }
    }
    ++delta;
    ++n;
  }
  return true;
}

// The code points of a label's Punycode (what follows "xn--"), when it is
// the very form Punycode gives them: lower case and with at least one
// character beyond ASCII.
bool PunycodeDecode(std::string_view input, std::vector<char32_t>* out) {
  out->clear();
  const std::size_t delimiter = input.rfind('-');
  std::size_t pos = 0;
  if (delimiter != std::string_view::npos) {
    for (char c : input.substr(0, delimiter)) {
      if (static_cast<unsigned char>(c) >= 0x80) {
        return false;
      }
      out->push_back(static_cast<unsigned char>(c));
    }
    pos = delimiter + 1;
  }
  uint32_t n = 128, i = 0, bias = 72;
  while (pos < input.size()) {
    const uint32_t old = i;
    uint32_t w = 1;
    for (uint32_t k = kBase;; k += kBase) {
      if (pos >= input.size()) {
        return false;
      }
      const char c = input[pos++];
      const uint32_t d = c >= 'a' && c <= 'z'   ? static_cast<uint32_t>(c - 'a')
                         : c >= '0' && c <= '9' ? static_cast<uint32_t>(c - '0' + 26)
                                                : kBase;
      if (d >= kBase || d > (UINT32_MAX - i) / w) {
        return false;
      }
      i += d * w;
      const uint32_t t = k <= bias ? kTMin : k >= bias + kTMax ? kTMax : k - bias;
      if (d < t) {
        break;
      }
      if (w > UINT32_MAX / (kBase - t)) {
        return false;
      }
      w *= kBase - t;
    }
    const auto count = static_cast<uint32_t>(out->size() + 1);
    bias = Adapt(i - old, count, old == 0);
    if (i / count > 0x10FFFF - n) {
      return false;
    }
    n += i / count;
    i %= count;
    if (n < 0x80 || (n >= 0xD800 && n <= 0xDFFF)) {
      return false;
    }
    out->insert(out->begin() + i, n);
    ++i;
  }
  std::string again;
  return out->size() > (delimiter != std::string_view::npos ? delimiter : 0) &&
         Punycode(*out, &again) && again == input;
}

// Lower case for the letters hosts are written in (Latin and Cyrillic).
char32_t LowerLetter(char32_t c) {
  if (c >= 'A' && c <= 'Z') {
    return c + 32;
  }
  if (c >= 0x410 && c <= 0x42F) {
    return c + 32;
  }
  if (c >= 0x400 && c <= 0x40F) {
    return c + 80;
  }
  return c;
}

int DefaultPort(std::string_view scheme) {
  if (scheme == "http" || scheme == "ws") {
    return 80;
  }
  if (scheme == "https" || scheme == "wss") {
    return 443;
  }
  if (scheme == "ftp") {
    return 21;
  }
  return -1;
}

// The parts of an address with an authority ("scheme://host..."), as views
// of the address.
struct UrlParts {
  std::string_view scheme;    // as written
  std::string_view userinfo;  // with its "@", or ""
  std::string_view host;
  std::string_view port;  // digits, without ":"
  std::string_view rest;  // path, query and fragment
};

// The rest of an address after its host without the "/" of an empty path
// ("/", "/?query", "/#fragment").
std::string_view WithoutLoneSlash(std::string_view rest) {
  const bool lone =
      rest.size() >= 1 && rest[0] == '/' && (rest.size() == 1 || rest[1] == '?' || rest[1] == '#');
  return lone ? rest.substr(1) : rest;
}

bool SplitUrl(std::string_view url, UrlParts* p) {
  std::size_t colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0 || !IsAsciiAlpha(url[0])) {
    return false;
  }
  for (std::size_t i = 1; i < colon; ++i) {
    char c = url[i];
    if (!IsAsciiAlpha(c) && !IsAsciiDigit(c) && c != '+' && c != '-' && c != '.') {
      return false;
    }
  }
  if (url.substr(colon + 1, 2) != "//") {
    return false;
  }
  p->scheme = url.substr(0, colon);
  std::size_t start = colon + 3;
  std::size_t end = url.find_first_of("/?#", start);
  if (end == std::string_view::npos) {
    end = url.size();
  }
  std::string_view authority = url.substr(start, end - start);
  p->rest = url.substr(end);
  std::size_t at = authority.rfind('@');
  if (at != std::string_view::npos) {
    p->userinfo = authority.substr(0, at + 1);
    authority.remove_prefix(at + 1);
  }
  std::size_t portColon = authority.rfind(':');
  if (portColon != std::string_view::npos && authority.find(']', portColon) == std::string_view::npos) {
    std::string_view port = authority.substr(portColon + 1);
    bool digits = true;
    for (char c : port) {
      digits = digits && IsAsciiDigit(c);
    }
    if (digits) {
      p->port = port;
      authority = authority.substr(0, portColon);
    }
  }
  p->host = authority;
  return true;
}

}  // namespace

char32_t NextCodePoint(std::string_view s, std::size_t* pos) { return platform::NextUtf8(s, pos); }

void AppendUtf8(char32_t c, std::string* out) { platform::AppendUtf8(c, out); }

std::string DecodeReferences(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t amp = text.find('&', i);
    if (amp == std::string_view::npos) {
      out.append(text.substr(i));
      break;
    }
    out.append(text.substr(i, amp - i));
    std::size_t semi = text.find(';', amp + 1);
    if (semi == std::string_view::npos || semi - amp > 12) {
      out.push_back('&');
      i = amp + 1;
      continue;
    }
    std::string_view body = text.substr(amp + 1, semi - amp - 1);
    char32_t code = 0;
    bool ok = false;
    if (body.size() >= 2 && body[0] == '#') {
      bool hex = body[1] == 'x' || body[1] == 'X';
      std::string_view digits = body.substr(hex ? 2 : 1);
      ok = !digits.empty();
      uint64_t v = 0;
      for (char c : digits) {
        int d = IsAsciiDigit(c)                            ? c - '0'
                : hex && AsciiLower(c) >= 'a' && AsciiLower(c) <= 'f' ? AsciiLower(c) - 'a' + 10
                                                           : -1;
        if (d < 0) {
          ok = false;
          break;
        }
        // Past the last code point the value stops growing; it is replaced below.
        v = std::min<uint64_t>(v * (hex ? 16 : 10) + static_cast<uint64_t>(d), 0x110000);
      }
      code = v > 0x10FFFF ? kReplacement : static_cast<char32_t>(v);
      if (ok && (code == 0 || (code >= 0xD800 && code <= 0xDFFF))) {
        code = kReplacement;
      }
    } else {
      for (const NamedReference& n : kNamed) {
        if (body == n.name) {
          code = n.code;
          ok = true;
          break;
        }
      }
    }
    if (!ok) {
      out.push_back('&');
      i = amp + 1;
      continue;
    }
    AppendUtf8(code, &out);
    i = semi + 1;
  }
  return out;
}

std::string EscapeMarkup(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size() + utf8.size() / 8);
  for (char c : utf8) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 && c != '\n' && c != '\t') {
          out += "&#" + std::to_string(static_cast<int>(c)) + ";";
        } else {
          out.push_back(c);
        }
    }
  }
  return out;
}

bool HostToAscii(std::string_view host, std::string* out) {
  out->clear();
  std::size_t start = 0;
  while (start <= host.size()) {
    std::size_t dot = host.find('.', start);
    if (dot == std::string_view::npos) {
      dot = host.size();
    }
    std::string_view label = host.substr(start, dot - start);
    std::vector<char32_t> points;
    bool ascii = true;
    for (std::size_t i = 0; i < label.size();) {
      char32_t c = LowerLetter(NextCodePoint(label, &i));
      if (c == kReplacement) {
        return false;
      }
      ascii = ascii && c < 0x80;
      points.push_back(c);
    }
    if (ascii) {
      for (char32_t c : points) {
        out->push_back(static_cast<char>(c));
      }
    } else {
      std::string encoded;
      if (!Punycode(points, &encoded)) {
        return false;
      }
      *out += "xn--" + encoded;
    }
    if (dot == host.size()) {
      break;
    }
    out->push_back('.');
    start = dot + 1;
  }
  return true;
}

std::string SchemeOf(std::string_view url) {
  std::size_t colon = url.find(':');
  if (colon == std::string_view::npos || colon == 0 || !IsAsciiAlpha(url[0])) {
    return "";
  }
  for (std::size_t i = 1; i < colon; ++i) {
    char c = url[i];
    if (!IsAsciiAlpha(c) && !IsAsciiDigit(c) && c != '+' && c != '-' && c != '.') {
      return "";
    }
  }
  return AsciiLowered(url.substr(0, colon));
}

namespace {

// The compared form of an address that is in it already but for a lone "/"
// after the host: a lower-case scheme and "//", then a host of printable
// ASCII without capitals, "@" or a port. Most stored addresses are; they are
// compared without being taken apart. False for any other address.
bool SimpleComparableUrl(std::string_view url, std::string* out) {
  std::size_t i = 0;
  while (i < url.size() && ((url[i] >= 'a' && url[i] <= 'z') ||
                            (i > 0 && (IsAsciiDigit(url[i]) || url[i] == '+' || url[i] == '-' ||
                                       url[i] == '.')))) {
    ++i;
  }
  if (i == 0 || url.substr(i, 3) != "://") {
    return false;
  }
  std::size_t end = i + 3;
  for (; end < url.size() && url[end] != '/' && url[end] != '?' && url[end] != '#'; ++end) {
    const char c = url[end];
    if (c <= 0x20 || c >= 0x7F || (c >= 'A' && c <= 'Z') || c == '@' || c == ':') {
      return false;
    }
  }
  out->assign(url.substr(0, end));
  out->append(WithoutLoneSlash(url.substr(end)));
  return true;
}

}  // namespace

std::string ComparableUrl(std::string_view url) {
  if (std::string simple; SimpleComparableUrl(url, &simple)) {
    return simple;
  }
  UrlParts p;
  if (!SplitUrl(url, &p)) {
    std::string scheme = SchemeOf(url);
    if (scheme.empty()) {
      return std::string(url);
    }
    return scheme + std::string(url.substr(scheme.size()));
  }
  std::string scheme = AsciiLowered(p.scheme);
  std::string host;
  if (!HostToAscii(p.host, &host)) {
    host = AsciiLowered(p.host);
  }
  std::string out = scheme + "://";
  out.append(p.userinfo).append(host);
  if (!p.port.empty() && std::to_string(DefaultPort(scheme)) != p.port) {
    out.append(":").append(p.port);
  }
  return out.append(WithoutLoneSlash(p.rest));
}

uint64_t AddressSketch(std::string_view url) {
  uint64_t h = 14695981039346656037ull;
  auto mix = [&h](unsigned char c) { h = (h ^ c) * 1099511628211ull; };
  UrlParts p;
  if (SplitUrl(url, &p)) {
    // The host up to a colon: a port is dropped or kept by the scheme, and a
    // colon inside a host can make the next split take digits after it for
    // a port.
    mix(2);
    for (char c : p.host.substr(0, p.host.find(':'))) {
      mix(static_cast<unsigned char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
    }
    mix(3);
    for (char c : WithoutLoneSlash(p.rest)) {
      mix(static_cast<unsigned char>(c));
    }
    return h;
  }
  // Unsplit, only the scheme's letter case changes.
  const std::size_t scheme = SchemeOf(url).size();
  mix(scheme > 0 ? 1 : 0);
  for (char c : url.substr(scheme)) {
    mix(static_cast<unsigned char>(c));
  }
  return h;
}

bool Storable(char32_t c, bool oem) { return platform::HoldsCharacter(c, oem); }

bool HostToUnicode(std::string_view host, bool oem, std::string* out) {
  std::string ascii;
  if (!HostToAscii(host, &ascii)) {
    return false;
  }
  out->clear();
  std::size_t start = 0;
  while (true) {
    std::size_t dot = ascii.find('.', start);
    if (dot == std::string::npos) {
      dot = ascii.size();
    }
    const std::string_view label = std::string_view(ascii).substr(start, dot - start);
    std::vector<char32_t> points;
    bool held = label.substr(0, 4) == "xn--" && PunycodeDecode(label.substr(4), &points);
    for (char32_t c : points) {
      held = held && Storable(c, oem);
    }
    if (held) {
      for (char32_t c : points) {
        AppendUtf8(c, out);
      }
    } else {
      out->append(label);
    }
    if (dot == ascii.size()) {
      break;
    }
    out->push_back('.');
    start = dot + 1;
  }
  return true;
}

std::string StorableUrl(std::string_view utf8, bool oem) {
  std::string text(utf8);
  UrlParts p;
  if (SplitUrl(text, &p)) {
    std::string host;
    if (HostToUnicode(p.host, oem, &host)) {
      std::string joined(p.scheme);
      joined.append("://").append(p.userinfo).append(host);
      if (!p.port.empty()) {
        joined.append(":").append(p.port);
      }
      text = joined.append(p.rest);
    }
  }
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    std::size_t at = i;
    char32_t c = NextCodePoint(text, &i);
    if (c >= 0x20 && c != 0x7F && c != ' ' && c != kReplacement && Storable(c, oem)) {
      out.push_back(platform::Cp1251FromUnicode(c));
      continue;
    }
    // Percent-encode the character's own bytes (a malformed byte stays itself).
    platform::AppendPercentEncoded(std::string_view(text).substr(at, i - at), &out);
  }
  return out;
}

std::string StorableAddress(std::string_view utf8, bool oem, bool* altered) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    std::size_t at = i;
    char32_t c = NextCodePoint(utf8, &i);
    if (c != kReplacement && Storable(c, oem)) {
      out.push_back(platform::Cp1251FromUnicode(c));
      continue;
    }
    *altered = true;
    platform::AppendPercentEncoded(utf8.substr(at, i - at), &out);
  }
  return out;
}

std::string StorableText(std::string_view utf8, bool oem, bool* altered) {
  bool referenced = false;
  std::string out = platform::EncodeTextUtf8(utf8, oem, &referenced);
  *altered = *altered || referenced;
  return out;
}

std::string FormatUnixTime(int64_t seconds) {
  // Up to the year 9999, which every real bookmark date is far below.
  if (seconds <= 0 || seconds > 253402300799LL) {
    return "";
  }
  std::time_t t = static_cast<std::time_t>(seconds);
  std::tm tm{};
  if (gmtime_r(&t, &tm) == nullptr) {
    return "";
  }
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

}  // namespace bookmarks
