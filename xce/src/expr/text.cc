// Number and date text forms of the expression language: VAL, STR, CTOD,
// CTOT, DTOS, and the julian day arithmetic behind dates.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "dbf_format.h"
#include "expr/node.h"

namespace xce::expr {
namespace {

constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                             1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

bool IsDigit(char ch) { return ch >= '0' && ch <= '9'; }

// Slow path of ParseNumber: exponents and long digit runs go to strtod.
double ParseWithStrtod(const char* p, std::size_t n) {
  char buf[80];
  std::size_t k = std::min(n, sizeof buf - 1);
  std::memcpy(buf, p, k);
  buf[k] = '\0';
  double v = std::strtod(buf, nullptr);
  return std::isfinite(v) ? v : 0;
}

int DaysInMonth(int year, int month) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// Reads up to three numbers separated by one non-digit each; returns how many
// were read, their digit counts, and the first separator.
int SplitNumbers(std::string_view s, int values[3], int digits[3], char* separator) {
  int count = 0;
  std::size_t i = 0;
  *separator = 0;
  while (count < 3 && i < s.size()) {
    if (!IsDigit(s[i])) {
      return -1;
    }
    int v = 0;
    int d = 0;
    while (i < s.size() && IsDigit(s[i])) {
      if (d < 9) {
        v = v * 10 + (s[i] - '0');
      }
      ++d;
      ++i;
    }
    values[count] = v;
    digits[count] = d;
    ++count;
    if (i < s.size()) {
      if (*separator == 0) {
        *separator = s[i];
      }
      ++i;
    }
  }
  return i < s.size() ? -1 : count;
}

int PivotYear(int year, int digits) {
  if (digits > 2) {
    return year;
  }
  return year < 50 ? 2000 + year : 1900 + year;
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\0')) {
    s.remove_suffix(1);
  }
  return s;
}

}  // namespace

const char* TypeName(ValueType t) {
  switch (t) {
    case ValueType::kCharacter:
      return "character";
    case ValueType::kNumeric:
      return "numeric";
    case ValueType::kDate:
      return "date";
    case ValueType::kLogical:
      return "logical";
    case ValueType::kDateTime:
      return "datetime";
  }
  return "unknown";
}

// The day arithmetic is the table code's; these add the calendar checks that
// expression values need (an invalid date is the empty date).
int64_t JulianFromYmd(int year, int month, int day) {
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 ||
      day > DaysInMonth(year, month)) {
    return 0;
  }
  return xce::JulianFromYmd(year, month, day);
}

bool YmdFromJulian(int64_t jd, int* year, int* month, int* day) {
  // 0001-01-01 .. 9999-12-31
  if (jd < 1721426 || jd > 5373484) {
    return false;
  }
  xce::YmdFromJulian(jd, year, month, day);
  return true;
}

int64_t JulianFromDtos(std::string_view s) {
  if (s.size() < 8) {
    return 0;
  }
  int v[8];
  for (int i = 0; i < 8; ++i) {
    if (!IsDigit(s[i])) {
      return 0;
    }
    v[i] = s[i] - '0';
  }
  return JulianFromYmd(v[0] * 1000 + v[1] * 100 + v[2] * 10 + v[3], v[4] * 10 + v[5],
                       v[6] * 10 + v[7]);
}

double ParseNumber(const char* p, std::size_t n) {
  std::size_t i = 0;
  while (i < n && (p[i] == ' ' || p[i] == '\t')) {
    ++i;
  }
  std::size_t start = i;
  bool negative = false;
  if (i < n && (p[i] == '-' || p[i] == '+')) {
    negative = p[i] == '-';
    ++i;
  }
  int64_t mantissa = 0;
  int digits = 0;
  int fraction = 0;
  while (i < n && IsDigit(p[i])) {
    mantissa = mantissa * 10 + (p[i] - '0');
    ++digits;
    ++i;
    if (digits > 15) {
      return ParseWithStrtod(p + start, n - start);
    }
  }
  if (i < n && p[i] == '.') {
    ++i;
    while (i < n && IsDigit(p[i])) {
      mantissa = mantissa * 10 + (p[i] - '0');
      ++digits;
      ++fraction;
      ++i;
      if (digits > 15) {
        return ParseWithStrtod(p + start, n - start);
      }
    }
  }
  if (i + 1 < n && (p[i] == 'e' || p[i] == 'E') &&
      (IsDigit(p[i + 1]) || p[i + 1] == '-' || p[i + 1] == '+')) {
    return ParseWithStrtod(p + start, n - start);
  }
  // Both operands are exact, so the quotient is correctly rounded.
  double v = static_cast<double>(mantissa) / kPow10[fraction];
  return negative ? -v : v;
}

double RoundHalfAway(double v, int dec) {
  if (!std::isfinite(v)) {
    return v;
  }
  dec = std::clamp(dec, -18, 18);
  // Whole powers of ten are exact doubles, so the table gives what pow()
  // gives, without its cost on every key of an index build.
  double scale = dec >= 0 ? kPow10[dec] : std::pow(10.0, dec);
  double x = v * scale;
  if (!std::isfinite(x) || std::fabs(x) >= 4503599627370496.0) {
    return v;  // already whole at this precision
  }
  double r = x >= 0 ? std::floor(x + 0.5) : std::ceil(x - 0.5);
  return r / scale;
}

// STR(): right-aligned in `len` characters with `dec` decimals; decimals are
// dropped when the number does not fit, and a number too wide for the
// length becomes asterisks.
void FormatStrInto(double v, int len, int dec, char* out) {
  if (len <= 0) {
    return;
  }
  if (std::isfinite(v)) {
    char buf[400];
    for (int d = std::min(dec, len); d >= 0; --d) {
      double r = RoundHalfAway(v, d);
      if (r == 0) {
        r = 0;  // no "-0"
      }
      int n;
      if (d == 0 && std::fabs(r) < 1e15) {
        auto whole = static_cast<int64_t>(r);
        uint64_t mag = whole < 0 ? static_cast<uint64_t>(-whole) : static_cast<uint64_t>(whole);
        char* end = buf + sizeof buf;
        char* p = end;
        do {
          *--p = static_cast<char>('0' + mag % 10);
          mag /= 10;
        } while (mag != 0);
        if (whole < 0) {
          *--p = '-';
        }
        n = static_cast<int>(end - p);
        std::memmove(buf, p, static_cast<std::size_t>(n));
      } else {
        n = std::snprintf(buf, sizeof buf, "%.*f", d, r);
      }
      if (n > 0 && n <= len && n < static_cast<int>(sizeof buf)) {
        std::memset(out, ' ', static_cast<std::size_t>(len - n));
        std::memcpy(out + (len - n), buf, static_cast<std::size_t>(n));
        return;
      }
    }
  }
  std::memset(out, '*', static_cast<std::size_t>(len));
}

void FormatStr(double v, int len, int dec, std::string* out) {
  out->assign(static_cast<std::size_t>(std::max(len, 0)), ' ');
  FormatStrInto(v, len, dec, out->data());
}

// Date text as people type it: yyyy-mm-dd or yyyy.mm.dd (year first when it
// has four digits), yyyymmdd, dd.mm.yyyy and dd-mm-yyyy (day first), and
// mm/dd/yyyy (month first with slashes). Two-digit years below 50 fall in
// this century. Blank or invalid text gives the empty date.
int64_t ParseDateText(std::string_view s) {
  s = TrimBlanks(s);
  if (s.empty()) {
    return 0;
  }
  if (s.size() == 8 && std::all_of(s.begin(), s.end(), IsDigit)) {
    return JulianFromDtos(s);
  }
  int v[3] = {0, 0, 0};
  int digits[3] = {0, 0, 0};
  char sep = 0;
  if (SplitNumbers(s, v, digits, &sep) != 3) {
    return 0;
  }
  if (digits[0] >= 3) {
    return JulianFromYmd(v[0], v[1], v[2]);
  }
  int year = PivotYear(v[2], digits[2]);
  if (sep == '/') {
    return JulianFromYmd(year, v[0], v[1]);
  }
  return JulianFromYmd(year, v[1], v[0]);
}

// A date as above, then optionally a blank or 'T' and hh:mm[:ss[.fff]] with
// an optional AM or PM.
int64_t ParseDateTimeText(std::string_view s) {
  s = TrimBlanks(s);
  std::size_t cut = s.find_first_of(" Tt");
  int64_t jd = ParseDateText(s.substr(0, cut));
  if (jd == 0) {
    return 0;
  }
  int64_t ms = 0;
  if (cut != std::string_view::npos) {
    std::string_view t = TrimBlanks(s.substr(cut + 1));
    int pm = -1;
    if (t.size() >= 2) {
      std::string_view tail = t.substr(t.size() - 2);
      if (tail == "AM" || tail == "am" || tail == "PM" || tail == "pm") {
        pm = tail[0] == 'P' || tail[0] == 'p' ? 1 : 0;
        t = TrimBlanks(t.substr(0, t.size() - 2));
      }
    }
    int part[4] = {0, 0, 0, 0};
    int count = 0;
    std::size_t i = 0;
    while (i < t.size() && count < 4) {
      if (!IsDigit(t[i])) {
        return 0;
      }
      int v = 0;
      int d = 0;
      while (i < t.size() && IsDigit(t[i]) && d < 3) {
        v = v * 10 + (t[i] - '0');
        ++d;
        ++i;
      }
      part[count++] = v;
      if (i < t.size()) {
        char sep = t[i];
        if (sep != ':' && !(sep == '.' && count == 3)) {
          return 0;
        }
        ++i;
      }
    }
    if (i < t.size() || count == 0) {
      return 0;
    }
    if (pm >= 0) {
      if (part[0] < 1 || part[0] > 12) {
        return 0;
      }
      part[0] = part[0] % 12 + (pm == 1 ? 12 : 0);
    }
    if (part[0] > 23 || part[1] > 59 || part[2] > 59) {
      return 0;
    }
    ms = ((part[0] * 60 + part[1]) * 60 + part[2]) * int64_t{1000} + part[3];
  }
  return jd * 86400000 + ms;
}

}  // namespace xce::expr
