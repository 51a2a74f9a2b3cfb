// The values of fields in a record image: blank and empty values, null
// bits, memo pointers, dates, and the text forms values are shown and given in.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "ascii.h"
#include "dbf_format.h"

namespace xce {
namespace {

std::string Trim(std::string_view s) {
  std::size_t b = 0;
  std::size_t e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\0')) {
    ++b;
  }
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\0')) {
    --e;
  }
  return std::string(s.substr(b, e - b));
}

bool AllBlankOrNul(const char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] != ' ' && p[i] != '\0') {
      return false;
    }
  }
  return true;
}

bool AllZero(const char* p, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] != '\0') {
      return false;
    }
  }
  return true;
}

int64_t ReadLe64(const char* p) {
  uint64_t v = 0;
  for (int i = 7; i >= 0; --i) {
    v = (v << 8) | static_cast<uint8_t>(p[i]);
  }
  return static_cast<int64_t>(v);
}

void WriteLe64(char* p, int64_t value) {
  auto v = static_cast<uint64_t>(value);
  for (int i = 0; i < 8; ++i) {
    p[i] = static_cast<char>(v >> (8 * i));
  }
}

double ReadDouble(const char* p) {
  double d;
  std::memcpy(&d, p, 8);
  return d;
}

int64_t Pow10(int n) {
  int64_t v = 1;
  for (int i = 0; i < n; ++i) {
    v *= 10;
  }
  return v;
}

// Fixed-point text of a scaled integer: -37654322 with 4 decimals -> "-3765.4322".
std::string ScaledText(int64_t v, int decimals) {
  bool neg = v < 0;
  uint64_t mag = neg ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
  auto scale = static_cast<uint64_t>(Pow10(decimals));
  std::string s = std::to_string(mag / scale);
  if (decimals > 0) {
    std::string frac = std::to_string(mag % scale);
    s += "." + std::string(static_cast<std::size_t>(decimals) - frac.size(), '0') + frac;
  }
  return (neg && mag != 0 ? "-" : "") + s;
}

// Plain decimal text of a stored N/F value, shown with exactly `decimals`
// digits after the point; a blank field reads as 0.
std::string NumericText(std::string_view stored, int decimals) {
  char buf[kPlainNumberRoom];
  if (std::size_t n = PlainNumericText(stored, decimals, buf)) {
    return std::string(buf, n);
  }
  std::string t = Trim(stored);
  bool neg = false;
  std::size_t i = 0;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) {
    neg = t[i] == '-';
    ++i;
  }
  std::string intPart;
  std::string fracPart;
  bool point = false;
  bool plain = true;
  for (; i < t.size(); ++i) {
    char c = t[i];
    if (c >= '0' && c <= '9') {
      (point ? fracPart : intPart) += c;
    } else if (c == '.' && !point) {
      point = true;
    } else {
      plain = false;
      break;
    }
  }
  if (!plain || static_cast<int>(fracPart.size()) > decimals) {
    char* end = nullptr;
    double d = std::strtod(t.c_str(), &end);
    if (end == t.c_str() || *end != '\0' || !std::isfinite(d)) {
      return t;  // "*****" and other junk is shown as stored
    }
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, d);
    std::string s = buf;
    if (s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos) {
      s.erase(0, 1);
    }
    return s;
  }
  std::size_t nz = intPart.find_first_not_of('0');
  intPart = nz == std::string::npos ? "0" : intPart.substr(nz);
  fracPart.append(static_cast<std::size_t>(decimals) - fracPart.size(), '0');
  std::string s = intPart;
  if (decimals > 0) {
    s += "." + fracPart;
  }
  if (neg && s.find_first_not_of("0.") != std::string::npos) {
    s.insert(0, "-");
  }
  return s;
}

// Decimal places of a currency-like scaled integer field.
int CurrencyDecimals(const FieldInfo& f) {
  return f.type == 'Y' ? 4 : std::min<int>(f.decimals, 18);
}

bool TestBit(const FieldInfo& f, const char* image, int32_t bit) {
  if (bit < 0 || static_cast<uint32_t>(bit / 8) >= f.nullFlagsLength) {
    return false;
  }
  return (static_cast<uint8_t>(image[f.nullFlagsOffset + bit / 8]) >> (bit % 8)) & 1;
}

void ClearBit(const FieldInfo& f, char* image, int32_t bit) {
  if (bit >= 0 && static_cast<uint32_t>(bit / 8) < f.nullFlagsLength) {
    image[f.nullFlagsOffset + bit / 8] = static_cast<char>(
        static_cast<uint8_t>(image[f.nullFlagsOffset + bit / 8]) & ~(1u << (bit % 8)));
  }
}

// A text that is no value of field f.
Status CannotStore(const std::string& path, const FieldInfo& f, std::string_view text,
                   const std::string& why) {
  return Status(kErrBadArgument, "Cannot store \"" + std::string(text) + "\" in field " + f.name +
                                     " of " + path + ": " + why);
}

// T, Y, F, N in either case, or a blank or ? for "not set".
Status EncodeLogicalText(const std::string& path, const FieldInfo& f, std::string_view text,
                         const std::string& t, char* p) {
  auto bad = [&](const std::string& why) { return CannotStore(path, f, text, why); };
  char c = t.empty() ? ' ' : t[0];
  if (t.size() > 1) {
    return bad("not a logical value");
  }
  if (c == 't' || c == 'T' || c == 'y' || c == 'Y') {
    *p = 'T';
  } else if (c == 'f' || c == 'F' || c == 'n' || c == 'N') {
    *p = 'F';
  } else if (c == ' ' || c == '?') {
    *p = ' ';
  } else {
    return bad("not a logical value");
  }
  return Status::Ok();
}

// A number stored as a whole count of its smallest unit.
Status EncodeCurrencyText(const std::string& path, const FieldInfo& f, std::string_view text,
                          const std::string& t, char* p) {
  auto bad = [&](const std::string& why) { return CannotStore(path, f, text, why); };
  char* end = nullptr;
  long double d = t.empty() ? 0.0L : std::strtold(t.c_str(), &end);
  if (!t.empty() && (end == t.c_str() || *end != '\0')) {
    return bad("not a number");
  }
  long double scaled = d * static_cast<long double>(Pow10(CurrencyDecimals(f)));
  if (!(std::fabs(scaled) < 9.2e18L)) {
    return Status(kErrNumericOverflow,
                  "Value " + t + " does not fit field " + f.name + " of " + path);
  }
  WriteLe64(p, static_cast<int64_t>(std::llroundl(scaled)));
  return Status::Ok();
}

// YYYYMMDDhhmmss with optional milliseconds; empty text stores no time.
Status EncodeTimestampText(const std::string& path, const FieldInfo& f, std::string_view text,
                           const std::string& t, char* p) {
  auto bad = [&](const std::string& why) { return CannotStore(path, f, text, why); };
  if (t.empty()) {
    std::memset(p, 0, 8);
    return Status::Ok();
  }
  int64_t jd;
  if ((t.size() != 14 && t.size() != 17) || !JulianFromText(t.substr(0, 8), &jd)) {
    return bad("not a timestamp in the form YYYYMMDDhhmmss[fff]");
  }
  uint32_t parts[4] = {0, 0, 0, 0};
  const std::size_t widths[4] = {2, 2, 2, 3};
  std::size_t pos = 8;
  for (int k = 0; k < 4 && pos < t.size(); ++k) {
    for (std::size_t i = 0; i < widths[k]; ++i, ++pos) {
      char c = t[pos];
      if (c < '0' || c > '9') {
        return bad("not a timestamp in the form YYYYMMDDhhmmss[fff]");
      }
      parts[k] = parts[k] * 10 + static_cast<uint32_t>(c - '0');
    }
  }
  if (parts[0] > 23 || parts[1] > 59 || parts[2] > 59) {
    return bad("not a valid time of day");
  }
  uint32_t ms = ((parts[0] * 60 + parts[1]) * 60 + parts[2]) * 1000 + parts[3];
  PutLe32(reinterpret_cast<uint8_t*>(p), static_cast<uint32_t>(jd));
  PutLe32(reinterpret_cast<uint8_t*>(p + 4), ms);
  return Status::Ok();
}

}  // namespace

std::size_t PlainNumericText(std::string_view stored, int decimals, char* out) {
  if (stored.size() > kPlainNumberMaxStored || decimals < 0 || decimals > kPlainNumberMaxDecimals) {
    return 0;
  }
  std::size_t b = 0;
  std::size_t e = stored.size();
  while (b < e && stored[b] == ' ') {
    ++b;
  }
  while (e > b && stored[e - 1] == ' ') {
    --e;
  }
  auto digitsFrom = [&](std::size_t i) {
    while (i < e && stored[i] >= '0' && stored[i] <= '9') {
      ++i;
    }
    return i;
  };
  const bool neg = b < e && stored[b] == '-';
  std::size_t intBegin = neg ? b + 1 : b;
  const std::size_t intEnd = digitsFrom(intBegin);
  std::size_t fracBegin = intEnd;
  std::size_t fracEnd = intEnd;
  if (fracBegin < e && stored[fracBegin] == '.') {
    ++fracBegin;
    fracEnd = digitsFrom(fracBegin);
  }
  const std::size_t fracLen = fracEnd - fracBegin;
  if (fracEnd != e || fracLen > static_cast<std::size_t>(decimals)) {
    return 0;
  }
  while (intBegin < intEnd && stored[intBegin] == '0') {
    ++intBegin;
  }
  bool zero = intBegin == intEnd;
  for (std::size_t i = fracBegin; zero && i < fracEnd; ++i) {
    zero = stored[i] == '0';
  }
  char* o = out;
  if (neg && !zero) {
    *o++ = '-';
  }
  if (intBegin < intEnd) {
    std::memcpy(o, stored.data() + intBegin, intEnd - intBegin);
    o += intEnd - intBegin;
  } else {
    *o++ = '0';
  }
  if (decimals > 0) {
    *o++ = '.';
    std::memcpy(o, stored.data() + fracBegin, fracLen);
    o += fracLen;
    std::memset(o, '0', static_cast<std::size_t>(decimals) - fracLen);
    o += static_cast<std::size_t>(decimals) - fracLen;
  }
  return static_cast<std::size_t>(o - out);
}

bool FieldIsNull(const FieldInfo& f, const char* image) { return TestBit(f, image, f.nullBit); }

uint32_t FieldValueLength(const FieldInfo& f, const char* image) {
  if (TestBit(f, image, f.varBit)) {
    uint32_t n = static_cast<uint8_t>(image[f.offset + f.length - 1]);
    return n < f.length ? n : f.length - 1;
  }
  return f.length;
}

void ClearNullAndVarBits(const FieldInfo& f, char* image) {
  ClearBit(f, image, f.nullBit);
  ClearBit(f, image, f.varBit);
}

void BlankField(const FieldInfo& f, char* image) {
  char* p = image + f.offset;
  bool binary = f.engineType == kTypeInteger || f.engineType == kTypeDouble ||
                f.engineType == kTypeCurrency || f.engineType == kTypeTimestamp ||
                f.engineType == kTypeAutoInc || (f.isMemo && f.binaryMemoPointer) ||
                f.type == '0' || f.type == 'Q';
  std::memset(p, binary ? 0 : ' ', f.length);
}

void BlankRecord(const DbfLayout& layout, char* image) {
  std::memset(image, ' ', layout.recordLength);
  image[0] = static_cast<char>(kLiveFlag);
  for (const FieldInfo& f : layout.fields) {
    BlankField(f, image);
  }
}

bool FieldIsEmpty(const FieldInfo& f, const char* image) {
  if (FieldIsNull(f, image)) {
    return true;
  }
  const char* p = image + f.offset;
  if (f.isMemo) {
    return MemoBlock(f, image) == 0;
  }
  switch (f.engineType) {
    case kTypeInteger:
    case kTypeDouble:
    case kTypeCurrency:
    case kTypeTimestamp:
    case kTypeAutoInc:
      return AllZero(p, f.length);
    default:
      return AllBlankOrNul(p, f.length) || (f.engineType == kTypeLogical && p[0] == '?');
  }
}

uint32_t MemoBlock(const FieldInfo& f, const char* image) {
  const char* p = image + f.offset;
  if (f.binaryMemoPointer) {
    return Le32(reinterpret_cast<const uint8_t*>(p));
  }
  uint64_t v = 0;
  for (uint32_t i = 0; i < f.length; ++i) {
    char c = p[i];
    if (c == ' ' || c == '\0') {
      continue;
    }
    if (c < '0' || c > '9') {
      return 0;
    }
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > UINT32_MAX) {
      return 0;
    }
  }
  return static_cast<uint32_t>(v);
}

void SetMemoBlock(const FieldInfo& f, char* image, uint32_t block) {
  char* p = image + f.offset;
  if (f.binaryMemoPointer) {
    PutLe32(reinterpret_cast<uint8_t*>(p), block);
    return;
  }
  std::memset(p, ' ', f.length);
  if (block != 0) {
    std::string s = std::to_string(block);
    std::memcpy(p + f.length - s.size(), s.data(), s.size());
  }
}

int64_t JulianFromYmd(int y, int m, int d) {
  int64_t a = (14 - m) / 12;
  int64_t yy = y + 4800 - a;
  int64_t mm = m + 12 * a - 3;
  return d + (153 * mm + 2) / 5 + 365 * yy + yy / 4 - yy / 100 + yy / 400 - 32045;
}

void YmdFromJulian(int64_t jd, int* y, int* m, int* d) {
  int64_t a = jd + 32044;
  int64_t b = (4 * a + 3) / 146097;
  int64_t c = a - 146097 * b / 4;
  int64_t dd = (4 * c + 3) / 1461;
  int64_t e = c - 1461 * dd / 4;
  int64_t mm = (5 * e + 2) / 153;
  *d = static_cast<int>(e - (153 * mm + 2) / 5 + 1);
  *m = static_cast<int>(mm + 3 - 12 * (mm / 10));
  *y = static_cast<int>(100 * b + dd - 4800 + mm / 10);
}

bool JulianFromText(std::string_view text, int64_t* jd) {
  if (text.size() != 8) {
    return false;
  }
  int v[3] = {0, 0, 0};
  const int widths[3] = {4, 2, 2};
  std::size_t pos = 0;
  for (int k = 0; k < 3; ++k) {
    for (int i = 0; i < widths[k]; ++i, ++pos) {
      char c = text[pos];
      if (c < '0' || c > '9') {
        return false;
      }
      v[k] = v[k] * 10 + (c - '0');
    }
  }
  static const int kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (v[1] < 1 || v[1] > 12 || v[2] < 1 || v[2] > kDays[v[1] - 1]) {
    return false;
  }
  bool leap = (v[0] % 4 == 0 && v[0] % 100 != 0) || v[0] % 400 == 0;
  if (v[1] == 2 && v[2] == 29 && !leap) {
    return false;
  }
  *jd = JulianFromYmd(v[0], v[1], v[2]);
  return true;
}

std::string TextFromJulian(int64_t jd) {
  if (jd <= 0 || jd > 5373484) {  // beyond 31 Dec 9999
    return "00000000";
  }
  int y, m, d;
  YmdFromJulian(jd, &y, &m, &d);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
  return buf;
}

std::string FieldDisplayText(const FieldInfo& f, const char* image) {
  if (FieldIsNull(f, image)) {
    return std::string();
  }
  const char* p = image + f.offset;
  switch (f.engineType) {
    case kTypeNumeric:
      return NumericText(std::string_view(p, f.length), std::min<int>(f.decimals, 30));
    case kTypeDate:
      return std::string(p, f.length);
    case kTypeLogical: {
      char c = p[0];
      return (c == 'T' || c == 't' || c == 'Y' || c == 'y') ? "T" : "F";
    }
    case kTypeInteger:
    case kTypeAutoInc:
      return std::to_string(static_cast<int32_t>(Le32(reinterpret_cast<const uint8_t*>(p))));
    case kTypeCurrency:
      return ScaledText(ReadLe64(p), CurrencyDecimals(f));
    case kTypeDouble: {
      double d = ReadDouble(p);
      if (!std::isfinite(d)) {
        return "0";
      }
      char buf[400];
      if (f.decimals == 0) {
        // No display decimals given: the shortest text that reads back exactly.
        for (int precision = 15; precision <= 17; ++precision) {
          std::snprintf(buf, sizeof buf, "%.*g", precision, d);
          if (std::strtod(buf, nullptr) == d) {
            break;
          }
        }
        return buf;
      }
      std::snprintf(buf, sizeof buf, "%.*f", std::min<int>(f.decimals, 30), d);
      std::string s = buf;
      if (s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos) {
        s.erase(0, 1);
      }
      return s;
    }
    case kTypeTimestamp: {
      auto jd = static_cast<int32_t>(Le32(reinterpret_cast<const uint8_t*>(p)));
      uint32_t ms = Le32(reinterpret_cast<const uint8_t*>(p + 4));
      if (ms >= 86400000u) {
        ms = 0;
      }
      char buf[32];
      std::snprintf(buf, sizeof buf, "%s%02u%02u%02u%03u", TextFromJulian(jd).c_str(),
                    ms / 3600000u, ms / 60000u % 60u, ms / 1000u % 60u, ms % 1000u);
      return buf;
    }
    default: {
      static const char kHex[] = "0123456789ABCDEF";
      std::string s;
      for (uint32_t i = 0; i < f.length; ++i) {
        auto c = static_cast<unsigned char>(p[i]);
        s += kHex[c >> 4];
        s += kHex[c & 15];
      }
      return s;
    }
  }
}

bool FormatNumeric(double value, uint32_t width, uint32_t decimals, std::string* out) {
  if (!std::isfinite(value)) {
    return false;
  }
  char buf[400];
  int n = std::snprintf(buf, sizeof buf, "%.*f", static_cast<int>(decimals), value);
  if (n < 0 || static_cast<uint32_t>(n) > width) {
    return false;
  }
  std::string s = buf;
  if (s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos) {
    s.erase(0, 1);
  }
  *out = std::string(width - s.size(), ' ') + s;
  return true;
}

Status EncodeFieldText(const std::string& path, const FieldInfo& f, std::string_view text,
                       char* image) {
  char* p = image + f.offset;
  auto bad = [&](const std::string& why) { return CannotStore(path, f, text, why); };
  std::string t = Trim(text);
  switch (f.engineType) {
    case kTypeString: {
      std::size_t n = std::min<std::size_t>(text.size(), f.length);
      std::memcpy(p, text.data(), n);
      std::memset(p + n, ' ', f.length - n);
      return Status::Ok();
    }
    case kTypeNumeric: {
      if (t.empty()) {
        std::memset(p, ' ', f.length);
        return Status::Ok();
      }
      char* end = nullptr;
      double d = std::strtod(t.c_str(), &end);
      if (end == t.c_str() || *end != '\0') {
        return bad("not a number");
      }
      std::string s;
      if (!FormatNumeric(d, f.length, f.decimals, &s)) {
        return Status(kErrNumericOverflow,
                      "Numeric value " + t + " does not fit field " + f.name + " of " + path);
      }
      std::memcpy(p, s.data(), f.length);
      return Status::Ok();
    }
    case kTypeDate: {
      int64_t jd;
      if (t.empty()) {
        std::memset(p, ' ', 8);
        return Status::Ok();
      }
      if (!JulianFromText(t, &jd)) {
        return bad("not a date in the form YYYYMMDD");
      }
      std::memcpy(p, t.data(), 8);
      return Status::Ok();
    }
    case kTypeLogical:
      return EncodeLogicalText(path, f, text, t, p);
    case kTypeInteger:
    case kTypeAutoInc: {
      char* end = nullptr;
      errno = 0;
      long long v = t.empty() ? 0 : std::strtoll(t.c_str(), &end, 10);
      if (!t.empty() &&
          (end == t.c_str() || *end != '\0' || errno != 0 || v < INT32_MIN || v > INT32_MAX)) {
        return bad("not a 32-bit whole number");
      }
      PutLe32(reinterpret_cast<uint8_t*>(p), static_cast<uint32_t>(static_cast<int32_t>(v)));
      return Status::Ok();
    }
    case kTypeDouble: {
      char* end = nullptr;
      double d = t.empty() ? 0.0 : std::strtod(t.c_str(), &end);
      if (!t.empty() && (end == t.c_str() || *end != '\0')) {
        return bad("not a number");
      }
      std::memcpy(p, &d, 8);
      return Status::Ok();
    }
    case kTypeCurrency:
      return EncodeCurrencyText(path, f, text, t, p);
    case kTypeTimestamp:
      return EncodeTimestampText(path, f, text, t, p);
    default:
      return Status(kErrNotSupported,
                    "Field " + f.name + " of " + path + " cannot be written as text");
  }
}

}  // namespace xce
