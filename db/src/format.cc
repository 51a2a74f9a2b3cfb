#include "db/format.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <vector>

#include "codepage.h"
#include "db/db_error.h"

TFormatSettings& FormatSettings() {
  static TFormatSettings settings;
  return settings;
}

const char* FieldTypeName(TFieldType type) {
  static const char* const kNames[] = {
      "Unknown", "String",   "SmallInt", "Integer", "Word", "Boolean",
      "Float",   "Currency", "BCD",      "Date",    "Time", "DateTime",
      "Bytes",   "VarBytes", "AutoInc",  "Blob",    "Memo", "Graphic",
  };
  auto index = static_cast<size_t>(type);
  return index < std::size(kNames) ? kNames[index] : "Unknown";
}

bool IsBlobType(TFieldType type) { return type == ftBlob || type == ftMemo || type == ftGraphic; }

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) {
    return {};
  }
  size_t end = text.find_last_not_of(' ');
  return text.substr(begin, end - begin + 1);
}

std::string TrimRight(const std::string& text) {
  size_t end = text.find_last_not_of(' ');
  return end == std::string::npos ? std::string() : text.substr(0, end + 1);
}

std::string AnsiUpperCase(const std::string& text) {
  std::string result = text;
  for (char& c : result) {
    c = static_cast<char>(xce::UpperChar(xce::CodePage::kCp1251, static_cast<unsigned char>(c)));
  }
  return result;
}

bool SameText(const std::string& a, const std::string& b) {
  // Field names are compared on every FieldByName: byte by byte, folding only
  // bytes that differ, with no copies.
  if (a.size() != b.size()) {
    return false;
  }
  for (size_t i = 0; i < a.size(); ++i) {
    const auto x = static_cast<unsigned char>(a[i]);
    const auto y = static_cast<unsigned char>(b[i]);
    if (x != y && xce::UpperChar(xce::CodePage::kCp1251, x) !=
                      xce::UpperChar(xce::CodePage::kCp1251, y)) {
      return false;
    }
  }
  return true;
}

std::string FloatToStr(double value, int precision) {
  if (std::isnan(value)) {
    return "NAN";
  }
  if (std::isinf(value)) {
    return value > 0 ? "INF" : "-INF";
  }
  if (precision < 1 || precision > 15) {
    precision = 15;
  }
  char text[64];
  std::snprintf(text, sizeof text, "%.*G", precision, value);
  std::string result = text;
  for (char& c : result) {
    if (c == '.') {
      c = FormatSettings().DecimalSeparator;
    }
  }
  return result;
}

bool TryStrToFloat(const std::string& text, double& value) {
  std::string s = Trim(text);
  if (s.empty()) {
    return false;
  }
  for (char& c : s) {
    if (c == FormatSettings().DecimalSeparator) {
      c = '.';
    }
  }
  for (char c : s) {
    bool allowed =
        (c >= '0' && c <= '9') || c == '.' || c == '-' || c == '+' || c == 'e' || c == 'E';
    if (!allowed) {
      return false;
    }
  }
  errno = 0;
  char* end = nullptr;
  double parsed = std::strtod(s.c_str(), &end);
  if (end != s.c_str() + s.size() || errno == ERANGE || !std::isfinite(parsed)) {
    return false;
  }
  value = parsed;
  return true;
}

double StrToFloat(const std::string& text) {
  double value = 0;
  if (!TryStrToFloat(text, value)) {
    throw EConvertError(Format(dbmsg::kInvalidFloat, text.c_str()));
  }
  return value;
}

bool TryStrToInt(const std::string& text, int64_t& value) {
  std::string s = Trim(text);
  if (s.empty()) {
    return false;
  }
  size_t i = (s[0] == '-' || s[0] == '+') ? 1 : 0;
  if (i == s.size()) {
    return false;
  }
  for (size_t j = i; j < s.size(); ++j) {
    if (s[j] < '0' || s[j] > '9') {
      return false;
    }
  }
  errno = 0;
  long long parsed = std::strtoll(s.c_str(), nullptr, 10);
  if (errno == ERANGE) {
    return false;
  }
  value = parsed;
  return true;
}

int64_t StrToInt(const std::string& text) {
  int64_t value = 0;
  if (!TryStrToInt(text, value)) {
    throw EConvertError(Format(dbmsg::kInvalidInteger, text.c_str()));
  }
  return value;
}

bool DoubleToInt(double value, int64_t min, int64_t max, int64_t& result) {
  if (std::isnan(value)) {
    return false;
  }
  double rounded = std::nearbyint(value);
  if (rounded < static_cast<double>(min) || rounded > static_cast<double>(max)) {
    return false;
  }
  result = static_cast<int64_t>(rounded);
  return true;
}

// ---------------------------------------------------------------------------
// FormatFloat

namespace {

// Splits a format into its ";" sections, keeping quoted text whole.
std::vector<std::string> SplitSections(const std::string& format) {
  std::vector<std::string> sections(1);
  char quote = 0;
  for (char c : format) {
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
      }
      sections.back() += c;
    } else if (c == '"' || c == '\'') {
      quote = c;
      sections.back() += c;
    } else if (c == ';') {
      sections.emplace_back();
    } else {
      sections.back() += c;
    }
  }
  return sections;
}

std::string FormatSection(const std::string& section, double value, bool withSign) {
  std::string prefix;
  std::string suffix;
  int intZeros = 0;
  int fracZeros = 0;
  int fracHashes = 0;
  bool seenPlaceholder = false;
  bool afterPoint = false;
  bool thousands = false;
  char quote = 0;
  for (char c : section) {
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
      } else {
        (seenPlaceholder ? suffix : prefix) += c;
      }
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '0' || c == '#') {
      seenPlaceholder = true;
      suffix.clear();
      if (afterPoint) {
        (c == '0' ? fracZeros : fracHashes) += 1;
        if (c == '0') {
          fracZeros += fracHashes;
          fracHashes = 0;
        }
      } else if (c == '0') {
        ++intZeros;
      }
    } else if (c == '.' && !afterPoint) {
      afterPoint = true;
    } else if (c == ',' && !afterPoint) {
      thousands = true;
    } else {
      (seenPlaceholder ? suffix : prefix) += c;
    }
  }
  if (!seenPlaceholder) {
    return prefix;
  }
  int decimals = std::min(fracZeros + fracHashes, 30);
  fracZeros = std::min(fracZeros, decimals);
  // Halves round away from zero, as people write numbers.
  double magnitude = std::fabs(value);
  double scale = std::pow(10.0, decimals);
  if (decimals <= 15 && magnitude * scale < 1e15) {
    magnitude = std::round(magnitude * scale) / scale;
  }
  char digits[512];
  std::snprintf(digits, sizeof digits, "%.*f", decimals, magnitude);
  std::string text = digits;
  std::string intPart = text.substr(0, text.find('.'));
  std::string fracPart = decimals > 0 ? text.substr(text.find('.') + 1) : std::string();
  while (fracPart.size() > static_cast<size_t>(fracZeros) && !fracPart.empty() &&
         fracPart.back() == '0') {
    fracPart.pop_back();
  }
  if (intPart == "0" && intZeros == 0) {
    intPart.clear();
  }
  while (intPart.size() < static_cast<size_t>(intZeros)) {
    intPart.insert(intPart.begin(), '0');
  }
  if (thousands) {
    for (int i = static_cast<int>(intPart.size()) - 3; i > 0; i -= 3) {
      intPart.insert(static_cast<size_t>(i), 1, ' ');
    }
  }
  std::string result = prefix;
  bool negative = withSign && value < 0 &&
                  (intPart.find_first_not_of("0 ") != std::string::npos ||
                   fracPart.find_first_not_of('0') != std::string::npos);
  if (negative) {
    result += '-';
  }
  result += intPart;
  if (!fracPart.empty()) {
    result += FormatSettings().DecimalSeparator;
    result += fracPart;
  }
  return result + suffix;
}

}  // namespace

std::string FormatFloat(const std::string& format, double value) {
  if (format.empty() || !std::isfinite(value)) {
    return FloatToStr(value);
  }
  std::vector<std::string> sections = SplitSections(format);
  if (value < 0 && sections.size() >= 2 && !sections[1].empty()) {
    return FormatSection(sections[1], value, false);
  }
  if (value == 0 && sections.size() >= 3 && !sections[2].empty()) {
    return FormatSection(sections[2], value, false);
  }
  return FormatSection(sections[0], value, true);
}

// ---------------------------------------------------------------------------
// Dates and times

namespace {

// Days since 1 January 1970 of a proleptic Gregorian date.
int64_t DaysFromCivil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2 ? 1 : 0;
  int64_t era = (y >= 0 ? y : y - 399) / 400;
  int64_t yoe = y - era * 400;
  int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

void CivilFromDays(int64_t z, int& year, int& month, int& day) {
  z += 719468;
  int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  int64_t doe = z - era * 146097;
  int64_t yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  int64_t y = yoe + era * 400;
  int64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  int64_t mp = (5 * doy + 2) / 153;
  day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  year = static_cast<int>(y + (month <= 2 ? 1 : 0));
}

constexpr int64_t kUnixToDateTime = 25569;  // 1 January 1970 as a TDateTime

bool ValidDate(int year, int month, int day) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) {
    return false;
  }
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  int limit = kDays[month - 1] + (month == 2 && leap ? 1 : 0);
  return day <= limit;
}

std::vector<int> Numbers(const std::string& text, bool& ok) {
  std::vector<int> numbers;
  ok = true;
  size_t i = 0;
  while (i < text.size()) {
    if (text[i] >= '0' && text[i] <= '9') {
      int64_t n = 0;
      while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        n = n * 10 + (text[i] - '0');
        if (n > 1000000) {
          ok = false;
          return numbers;
        }
        ++i;
      }
      numbers.push_back(static_cast<int>(n));
    } else if (text[i] == ' ' || text[i] == FormatSettings().DateSeparator ||
               text[i] == FormatSettings().TimeSeparator || text[i] == '/' || text[i] == '-' ||
               text[i] == '.' || text[i] == ':') {
      ++i;
    } else {
      ok = false;
      return numbers;
    }
  }
  return numbers;
}

bool TryStrToDate(const std::string& text, TDateTime& value) {
  bool ok = false;
  std::vector<int> n = Numbers(text, ok);
  if (!ok || n.size() != 3) {
    return false;
  }
  // Order of day, month and year as the short date format names them.
  std::string order;
  for (char c : AnsiUpperCase(FormatSettings().ShortDateFormat)) {
    if ((c == 'D' || c == 'M' || c == 'Y') && order.find(c) == std::string::npos) {
      order += c;
    }
  }
  if (order.size() != 3) {
    order = "DMY";
  }
  int day = n[order.find('D')];
  int month = n[order.find('M')];
  int year = n[order.find('Y')];
  if (year < 100) {
    year += year < 50 ? 2000 : 1900;
  }
  if (!ValidDate(year, month, day)) {
    return false;
  }
  value = EncodeDate(year, month, day);
  return true;
}

bool TryStrToTime(const std::string& text, TDateTime& value) {
  bool ok = false;
  std::vector<int> n = Numbers(text, ok);
  if (!ok || n.size() < 2 || n.size() > 4) {
    return false;
  }
  n.resize(4, 0);
  if (n[0] > 23 || n[1] > 59 || n[2] > 59 || n[3] > 999) {
    return false;
  }
  value = EncodeTime(n[0], n[1], n[2], n[3]);
  return true;
}

}  // namespace

TDateTime EncodeDate(int year, int month, int day) {
  if (!ValidDate(year, month, day)) {
    throw EConvertError(Format("Invalid argument to date encode"));
  }
  return static_cast<double>(DaysFromCivil(year, month, day) + kUnixToDateTime);
}

void DecodeDate(TDateTime value, int& year, int& month, int& day) {
  double days = std::floor(value);
  if (!std::isfinite(days) || days < -kDateDelta || days > 2958465) {
    year = month = day = 0;
    return;
  }
  CivilFromDays(static_cast<int64_t>(days) - kUnixToDateTime, year, month, day);
}

TDateTime EncodeTime(int hour, int minute, int second, int msec) {
  return (((hour * 60.0 + minute) * 60.0 + second) * 1000.0 + msec) / kMSecsPerDay;
}

void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec) {
  double fraction = std::fabs(value - std::trunc(value));
  auto ms = static_cast<int64_t>(std::llround(fraction * kMSecsPerDay));
  if (ms >= static_cast<int64_t>(kMSecsPerDay)) {
    ms = static_cast<int64_t>(kMSecsPerDay) - 1;
  }
  msec = static_cast<int>(ms % 1000);
  ms /= 1000;
  second = static_cast<int>(ms % 60);
  ms /= 60;
  minute = static_cast<int>(ms % 60);
  hour = static_cast<int>(ms / 60);
}

std::string FormatDateTime(const std::string& format, TDateTime value) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, msec = 0;
  DecodeDate(value, year, month, day);
  DecodeTime(value, hour, minute, second, msec);
  auto two = [](int n) { return Format("%02d", n); };
  std::string result;
  size_t i = 0;
  const std::string upper = AnsiUpperCase(format);
  auto run = [&](char c) {
    size_t n = 0;
    while (i + n < upper.size() && upper[i + n] == c) {
      ++n;
    }
    return n;
  };
  while (i < format.size()) {
    char c = upper[i];
    if (c == '"' || c == '\'') {
      size_t end = format.find(format[i], i + 1);
      if (end == std::string::npos) {
        end = format.size();
      }
      result += format.substr(i + 1, end - i - 1);
      i = end + 1;
      continue;
    }
    size_t n = 0;
    switch (c) {
      case 'D':
        n = run('D');
        result += n >= 2 ? two(day) : std::to_string(day);
        break;
      case 'M':
        n = run('M');
        result += n >= 2 ? two(month) : std::to_string(month);
        break;
      case 'Y':
        n = run('Y');
        result += n >= 3 ? Format("%04d", year) : two(year % 100);
        break;
      case 'H':
        n = run('H');
        result += n >= 2 ? two(hour) : std::to_string(hour);
        break;
      case 'N':
        n = run('N');
        result += n >= 2 ? two(minute) : std::to_string(minute);
        break;
      case 'S':
        n = run('S');
        result += n >= 2 ? two(second) : std::to_string(second);
        break;
      case 'Z':
        n = run('Z');
        result += n >= 3 ? Format("%03d", msec) : std::to_string(msec);
        break;
      case 'C':
        n = 1;
        result += FormatDateTime(FormatSettings().ShortDateFormat, value);
        if (hour != 0 || minute != 0 || second != 0) {
          result += ' ' + FormatDateTime(FormatSettings().LongTimeFormat, value);
        }
        break;
      case '/':
        n = 1;
        result += FormatSettings().DateSeparator;
        break;
      case ':':
        n = 1;
        result += FormatSettings().TimeSeparator;
        break;
      default:
        n = 1;
        result += format[i];
        break;
    }
    i += n;
  }
  return result;
}

TDateTime StrToDate(const std::string& text) {
  TDateTime value = 0;
  if (!TryStrToDate(Trim(text), value)) {
    throw EConvertError(Format(dbmsg::kInvalidDate, text.c_str()));
  }
  return value;
}

TDateTime StrToTime(const std::string& text) {
  TDateTime value = 0;
  if (!TryStrToTime(Trim(text), value)) {
    throw EConvertError(Format(dbmsg::kInvalidTime, text.c_str()));
  }
  return value;
}

TDateTime StrToDateTime(const std::string& text) {
  std::string s = Trim(text);
  size_t space = s.find(' ');
  TDateTime date = 0;
  TDateTime time = 0;
  bool ok = space == std::string::npos
                ? TryStrToDate(s, date)
                : TryStrToDate(s.substr(0, space), date) && TryStrToTime(s.substr(space + 1), time);
  if (!ok) {
    throw EConvertError(Format(dbmsg::kInvalidDateTime, text.c_str()));
  }
  return date + time;
}
