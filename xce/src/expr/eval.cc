// Per-record evaluation of compiled expression trees.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include "expr/node.h"

namespace xce::expr {
namespace {

constexpr int64_t kMsPerDay = 86400000;

// Doubles become integers only through this: out-of-range and NaN inputs are
// clamped, so no conversion is undefined.
int64_t ToInt(double v) {
  if (!(v == v)) {
    return 0;
  }
  if (v >= 9.0e18) {
    return static_cast<int64_t>(9.0e18);
  }
  if (v <= -9.0e18) {
    return static_cast<int64_t>(-9.0e18);
  }
  return static_cast<int64_t>(v);
}

// A count or position argument, clamped to what a string can hold.
int64_t ToCount(double v) {
  int64_t n = ToInt(v);
  const int64_t kLimit = static_cast<int64_t>(kMaxStringLength) + 1;
  return std::clamp<int64_t>(n, -kLimit, kLimit);
}

uint32_t Le32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return uint32_t{u[0]} | uint32_t{u[1]} << 8 | uint32_t{u[2]} << 16 | uint32_t{u[3]} << 24;
}

uint64_t Le64(const char* p) { return uint64_t{Le32(p)} | uint64_t{Le32(p + 4)} << 32; }

bool IsBlankText(std::string_view s) {
  for (char ch : s) {
    if (ch != ' ' && ch != '\t' && ch != '\r' && ch != '\n' && ch != '\0') {
      return false;
    }
  }
  return true;
}

// Ordering compares blank-padded; only "=" and "<>" follow the setting.
// String "=": with exact comparison off the left side equals the right when
// it begins with it (so an empty right side matches everything); with it on,
// both sides are compared as if padded with blanks.
bool StringEquals(std::string_view a, std::string_view b, bool exact) {
  if (exact) {
    return ComparePadded(a, b) == 0;
  }
  return a.size() >= b.size() && (b.empty() || std::memcmp(a.data(), b.data(), b.size()) == 0);
}

bool CompareStrings(CmpOp op, std::string_view a, std::string_view b, bool exact) {
  switch (op) {
    case CmpOp::kEq:
      return StringEquals(a, b, exact);
    case CmpOp::kExactEq:
      return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
    case CmpOp::kNe:
      return !StringEquals(a, b, exact);
    case CmpOp::kLt:
      return ComparePadded(a, b) < 0;
    case CmpOp::kLe:
      return ComparePadded(a, b) <= 0;
    case CmpOp::kGt:
      return ComparePadded(a, b) > 0;
    case CmpOp::kGe:
      return ComparePadded(a, b) >= 0;
  }
  return false;
}

// Most stored numbers are blanks and plain digits; anything else (signs,
// decimals, long digit runs) takes the general parser.
inline double ReadStoredNumber(const char* field, std::size_t length) {
  const char* p = field;
  const char* end = field + length;
  if constexpr (std::endian::native == std::endian::little) {
    // Leading blanks eight at a time: their count varies from record to
    // record, which a byte loop pays for in mispredicted branches.
    while (end - p >= 8) {
      uint64_t w;
      std::memcpy(&w, p, sizeof w);
      uint64_t notBlank = w ^ 0x2020202020202020ull;
      if (notBlank != 0) {
        p += std::countr_zero(notBlank) / 8;
        break;
      }
      p += 8;
    }
  }
  while (p < end && *p == ' ') {
    ++p;
  }
  const char* digits = p;
  int64_t v = 0;
  while (p < end && static_cast<unsigned>(*p - '0') < 10) {
    v = v * 10 + (*p++ - '0');
  }
  if (p == end && end - digits <= 15) {
    return static_cast<double>(v);
  }
  return ParseNumber(field, length);
}

bool FoldedPrefixEquals(const Node& fold, std::string_view raw, std::string_view prefix) {
  if (raw.size() < prefix.size()) {
    return false;
  }
  const auto* map = reinterpret_cast<const unsigned char*>(fold.str.data());
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (map[static_cast<unsigned char>(raw[i])] != static_cast<unsigned char>(prefix[i])) {
      return false;
    }
  }
  return true;
}

template <typename T>
bool CompareOrdered(CmpOp op, T a, T b) {
  switch (op) {
    case CmpOp::kEq:
    case CmpOp::kExactEq:
      return a == b;
    case CmpOp::kNe:
      return !(a == b);
    case CmpOp::kLt:
      return a < b;
    case CmpOp::kLe:
      return a <= b;
    case CmpOp::kGt:
      return a > b;
    case CmpOp::kGe:
      return a >= b;
  }
  return false;
}

// Three-way comparison of two operands of node type t, for MIN, MAX, BETWEEN.
int CompareOperands(const Node& a, const Node& b, EvalContext& c) {
  switch (a.type) {
    case ValueType::kCharacter:
      return ComparePadded(EvalC(a, c), EvalC(b, c));
    case ValueType::kNumeric: {
      double x = EvalN(a, c);
      double y = EvalN(b, c);
      return x < y ? -1 : (x > y ? 1 : 0);
    }
    case ValueType::kDate:
    case ValueType::kDateTime: {
      int64_t x = EvalD(a, c);
      int64_t y = EvalD(b, c);
      return x < y ? -1 : (x > y ? 1 : 0);
    }
    case ValueType::kLogical:
      return int{EvalL(a, c)} - int{EvalL(b, c)};
  }
  return 0;
}

bool StringTooLong(std::size_t n, EvalContext& c) {
  if (n > kMaxStringLength) {
    c.Fail(Status(kErrExpression, "Expression result is longer than " +
                                      std::to_string(kMaxStringLength) + " characters."));
    return true;
  }
  return false;
}

std::string_view Pad(const Node& n, EvalContext& c) {
  std::string_view s = EvalC(*n.kid[0], c);
  int64_t len = ToCount(EvalN(*n.kid[1], c));
  char fill = ' ';
  if (n.kid[2]) {
    std::string_view f = EvalC(*n.kid[2], c);
    fill = f.empty() ? ' ' : f[0];
  }
  if (len <= 0 || StringTooLong(static_cast<std::size_t>(len), c)) {
    return {};
  }
  auto want = static_cast<std::size_t>(len);
  if (s.size() >= want) {
    return s.substr(0, want);
  }
  std::size_t extra = want - s.size();
  std::size_t left = n.op == Op::kPadl ? extra : (n.op == Op::kPadc ? extra / 2 : 0);
  n.buf.assign(left, fill);
  n.buf.append(s);
  n.buf.append(extra - left, fill);
  return n.buf;
}

void AppendTwoDigits(std::string* out, int v) {
  out->push_back(static_cast<char>('0' + v / 10 % 10));
  out->push_back(static_cast<char>('0' + v % 10));
}

int64_t Today(bool withTime) {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  int64_t jd = JulianFromYmd(tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday);
  if (!withTime) {
    return jd;
  }
  return jd * kMsPerDay + (tm.tm_hour * 3600 + tm.tm_min * 60 + tm.tm_sec) * int64_t{1000};
}

// Days of a date or a datetime operand.
int64_t DayOf(const Node& n, EvalContext& c) {
  int64_t v = EvalD(n, c);
  return n.type == ValueType::kDateTime ? v / kMsPerDay : v;
}

// The position of the nth occurrence of a text in another (AT), 0 for none.
// The rarer and longer functions stay out of the evaluator's switches, which
// every record of a filter or a key passes through.
__attribute__((noinline)) double FindOccurrence(const Node& n, EvalContext& c) {
  std::string_view needle = EvalC(*n.kid[0], c);
  std::string_view hay = EvalC(*n.kid[1], c);
  int64_t occurrence = n.kid[2] ? ToCount(EvalN(*n.kid[2], c)) : 1;
  if (needle.empty() || occurrence < 1) {
    return 0;
  }
  std::size_t pos = 0;
  for (;;) {
    pos = hay.find(needle, pos);
    if (pos == std::string_view::npos) {
      return 0;
    }
    if (--occurrence == 0) {
      return static_cast<double>(pos + 1);
    }
    ++pos;
  }
}

std::string_view Substr(const Node& n, EvalContext& c) {
  std::string_view s = EvalC(*n.kid[0], c);
  int64_t start = ToCount(EvalN(*n.kid[1], c));
  int64_t len = n.kid[2] ? ToCount(EvalN(*n.kid[2], c)) : static_cast<int64_t>(s.size());
  if (start < 1) {
    start = 1;
  }
  if (start > static_cast<int64_t>(s.size()) || len <= 0) {
    return {};
  }
  return s.substr(static_cast<std::size_t>(start - 1), static_cast<std::size_t>(len));
}

// LEFT and RIGHT.
std::string_view LeftOrRight(const Node& n, EvalContext& c) {
  std::string_view s = EvalC(*n.kid[0], c);
  int64_t len = ToCount(EvalN(*n.kid[1], c));
  if (len <= 0) {
    return {};
  }
  auto k = std::min(s.size(), static_cast<std::size_t>(len));
  return n.op == Op::kLeft ? s.substr(0, k) : s.substr(s.size() - k);
}

// RTRIM, LTRIM and ALLTRIM.
std::string_view Trimmed(const Node& n, EvalContext& c) {
  std::string_view s = EvalC(*n.kid[0], c);
  if (n.op != Op::kLtrim) {
    while (!s.empty() && s.back() == ' ') {
      s.remove_suffix(1);
    }
  }
  if (n.op != Op::kRtrim) {
    while (!s.empty() && s.front() == ' ') {
      s.remove_prefix(1);
    }
  }
  return s;
}

__attribute__((noinline)) std::string_view Replicate(const Node& n, EvalContext& c) {
  std::string_view s = EvalC(*n.kid[0], c);
  int64_t times = ToCount(EvalN(*n.kid[1], c));
  if (times <= 0 || s.empty()) {
    return {};
  }
  if (static_cast<uint64_t>(times) > kMaxStringLength / s.size() + 1 ||
      StringTooLong(s.size() * static_cast<std::size_t>(times), c)) {
    StringTooLong(kMaxStringLength + 1, c);
    return {};
  }
  n.buf.clear();
  for (int64_t i = 0; i < times; ++i) {
    n.buf.append(s);
  }
  return n.buf;
}

// DTOS, DTOC and TTOC: a date or date-time as text; blanks for an empty one.
__attribute__((noinline)) std::string_view DateText(const Node& n, EvalContext& c) {
  int64_t v = EvalD(*n.kid[0], c);
  int64_t jd = n.kid[0]->type == ValueType::kDateTime ? v / kMsPerDay : v;
  int y = 0;
  int m = 0;
  int d = 0;
  n.buf.clear();
  if (v == 0 || !YmdFromJulian(jd, &y, &m, &d)) {
    n.buf.assign(static_cast<std::size_t>(n.width), ' ');
    return n.buf;
  }
  if (n.op == Op::kDtos) {
    AppendTwoDigits(&n.buf, y / 100);
    AppendTwoDigits(&n.buf, y % 100);
    AppendTwoDigits(&n.buf, m);
    AppendTwoDigits(&n.buf, d);
    return n.buf;
  }
  AppendTwoDigits(&n.buf, d);
  n.buf.push_back('.');
  AppendTwoDigits(&n.buf, m);
  n.buf.push_back('.');
  AppendTwoDigits(&n.buf, y / 100);
  AppendTwoDigits(&n.buf, y % 100);
  if (n.op == Op::kTtoc) {
    int64_t ms = n.kid[0]->type == ValueType::kDateTime ? v % kMsPerDay : 0;
    int64_t secs = ms / 1000;
    n.buf.push_back(' ');
    AppendTwoDigits(&n.buf, static_cast<int>(secs / 3600));
    n.buf.push_back(':');
    AppendTwoDigits(&n.buf, static_cast<int>(secs / 60 % 60));
    n.buf.push_back(':');
    AppendTwoDigits(&n.buf, static_cast<int>(secs % 60));
  }
  return n.buf;
}

}  // namespace

bool EvalL(const Node& n, EvalContext& c) {
  switch (n.op) {
    case Op::kConst:
      return n.logical;
    case Op::kFieldL: {
      char ch = c.record[n.offset];
      return ch == 'T' || ch == 't' || ch == 'Y' || ch == 'y';
    }
    case Op::kNot:
      return !EvalL(*n.kid[0], c);
    case Op::kAnd:
      return EvalL(*n.kid[0], c) && EvalL(*n.kid[1], c);
    case Op::kOr:
      return EvalL(*n.kid[0], c) || EvalL(*n.kid[1], c);
    case Op::kCompare: {
      const Node& a = *n.kid[0];
      const Node& b = *n.kid[1];
      switch (n.operandType) {
        case ValueType::kCharacter:
          if ((a.op == Op::kUpper || a.op == Op::kLower) && !c.exact &&
              (n.cmp == CmpOp::kEq || n.cmp == CmpOp::kNe)) {
            // UPPER(field) = "AB" with exact comparison off: fold only the
            // prefix that is compared instead of the whole field.
            return FoldedPrefixEquals(a, EvalC(*a.kid[0], c), EvalC(b, c)) == (n.cmp == CmpOp::kEq);
          }
          return CompareStrings(n.cmp, EvalC(a, c), EvalC(b, c), c.exact);
        case ValueType::kNumeric:
          if (a.op == Op::kFieldN && b.IsConst()) {
            // The common filter form: a stored number against a constant.
            return CompareOrdered(n.cmp, ReadStoredNumber(c.record + a.offset, a.length), b.num);
          }
          return CompareOrdered(n.cmp, EvalN(a, c), b.IsConst() ? b.num : EvalN(b, c));
        case ValueType::kDate:
        case ValueType::kDateTime:
          return CompareOrdered(n.cmp, EvalD(a, c), EvalD(b, c));
        case ValueType::kLogical:
          return CompareOrdered(n.cmp, EvalL(a, c), EvalL(b, c));
      }
      return false;
    }
    case Op::kContains: {
      std::string_view needle = EvalC(*n.kid[0], c);
      std::string_view hay = EvalC(*n.kid[1], c);
      return !needle.empty() && hay.find(needle) != std::string_view::npos;
    }
    case Op::kDeleted:
      return c.record[0] == '*';
    case Op::kEmpty: {
      const Node& a = *n.kid[0];
      switch (a.type) {
        case ValueType::kCharacter:
          return IsBlankText(EvalC(a, c));
        case ValueType::kNumeric:
          return EvalN(a, c) == 0;
        case ValueType::kDate:
        case ValueType::kDateTime:
          return EvalD(a, c) == 0;
        case ValueType::kLogical:
          return !EvalL(a, c);
      }
      return false;
    }
    case Op::kIif:
      return EvalL(*n.kid[0], c) ? EvalL(*n.kid[1], c) : EvalL(*n.kid[2], c);
    case Op::kBetween:
      return CompareOperands(*n.kid[0], *n.kid[1], c) >= 0 &&
             CompareOperands(*n.kid[0], *n.kid[2], c) <= 0;
    default:
      return false;
  }
}

double EvalN(const Node& n, EvalContext& c) {
  switch (n.op) {
    case Op::kConst:
      return n.num;
    case Op::kFieldN:
      return ReadStoredNumber(c.record + n.offset, n.length);
    case Op::kFieldI:
      return static_cast<int32_t>(Le32(c.record + n.offset));
    case Op::kFieldB: {
      uint64_t bits = Le64(c.record + n.offset);
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return d;
    }
    case Op::kFieldY:
      return static_cast<double>(static_cast<int64_t>(Le64(c.record + n.offset))) / n.num;
    case Op::kNeg:
      return -EvalN(*n.kid[0], c);
    case Op::kAdd:
      return EvalN(*n.kid[0], c) + EvalN(*n.kid[1], c);
    case Op::kSub:
      return EvalN(*n.kid[0], c) - EvalN(*n.kid[1], c);
    case Op::kMul:
      return EvalN(*n.kid[0], c) * EvalN(*n.kid[1], c);
    case Op::kDiv: {
      double a = EvalN(*n.kid[0], c);
      double b = EvalN(*n.kid[1], c);
      if (b == 0) {
        // Shows as a numeric overflow (asterisks in STR) rather than an error.
        return a == 0 ? 0 : std::copysign(std::numeric_limits<double>::infinity(), a);
      }
      return a / b;
    }
    case Op::kMod: {
      double a = EvalN(*n.kid[0], c);
      double b = EvalN(*n.kid[1], c);
      if (b == 0 || !std::isfinite(b)) {
        return a;
      }
      // The result takes the divisor's sign.
      return a - b * std::floor(a / b);
    }
    case Op::kPow:
      return std::pow(EvalN(*n.kid[0], c), EvalN(*n.kid[1], c));
    case Op::kRecno:
      return c.recno;
    case Op::kAsc: {
      std::string_view s = EvalC(*n.kid[0], c);
      if (s.empty()) {
        return 0;
      }
      auto u = static_cast<unsigned char>(s[0]);
      return n.codePage == CodePage::kCp866 ? Cp866To1251(u) : u;
    }
    case Op::kLen:
      return static_cast<double>(EvalC(*n.kid[0], c).size());
    case Op::kAt:
      return FindOccurrence(n, c);
    case Op::kVal: {
      std::string_view s = EvalC(*n.kid[0], c);
      return ParseNumber(s.data(), s.size());
    }
    case Op::kYear:
    case Op::kMonth:
    case Op::kDay: {
      int y = 0;
      int m = 0;
      int d = 0;
      if (!YmdFromJulian(DayOf(*n.kid[0], c), &y, &m, &d)) {
        return 0;
      }
      return n.op == Op::kYear ? y : (n.op == Op::kMonth ? m : d);
    }
    case Op::kAbs:
      return std::fabs(EvalN(*n.kid[0], c));
    case Op::kInt:
      return std::trunc(EvalN(*n.kid[0], c));
    case Op::kRound:
      return RoundHalfAway(EvalN(*n.kid[0], c), static_cast<int>(std::clamp<int64_t>(
                                                    ToInt(EvalN(*n.kid[1], c)), -18, 18)));
    case Op::kMin:
    case Op::kMax: {
      double a = EvalN(*n.kid[0], c);
      double b = EvalN(*n.kid[1], c);
      return n.op == Op::kMin ? (b < a ? b : a) : (b > a ? b : a);
    }
    case Op::kIif:
      return EvalL(*n.kid[0], c) ? EvalN(*n.kid[1], c) : EvalN(*n.kid[2], c);
    case Op::kDateDiff: {
      int64_t a = EvalD(*n.kid[0], c);
      int64_t b = EvalD(*n.kid[1], c);
      double diff = static_cast<double>(a) - static_cast<double>(b);
      return n.kid[0]->type == ValueType::kDateTime ? diff / 1000.0 : diff;
    }
    default:
      return 0;
  }
}

void StrLayout(const Node& str, EvalContext& c, int* len, int* dec) {
  const int64_t l = str.kid[1] ? ToCount(EvalN(*str.kid[1], c)) : 10;
  const int64_t d = str.kid[2] ? ToCount(EvalN(*str.kid[2], c)) : 0;
  *len = static_cast<int>(std::clamp<int64_t>(l, 0, 255));
  *dec = static_cast<int>(std::clamp<int64_t>(d, 0, 18));
}

std::string_view EvalC(const Node& n, EvalContext& c) {
  switch (n.op) {
    case Op::kConst:
      return n.str;
    case Op::kFieldC:
      return std::string_view(c.record + n.offset, n.length);
    case Op::kFieldMemo: {
      Status s = c.src->ReadMemo(n.field, &n.buf);
      if (!s.ok()) {
        c.Fail(std::move(s));
        return {};
      }
      return n.buf;
    }
    case Op::kConcat:
    case Op::kConcatTrim: {
      std::string_view a = EvalC(*n.kid[0], c);
      std::string_view b = EvalC(*n.kid[1], c);
      if (StringTooLong(a.size() + b.size(), c)) {
        return {};
      }
      std::size_t keep = a.size();
      if (n.op == Op::kConcatTrim) {
        while (keep > 0 && a[keep - 1] == ' ') {
          --keep;
        }
      }
      n.buf.assign(a.data(), keep);
      n.buf.append(b);
      n.buf.append(a.size() - keep, ' ');
      return n.buf;
    }
    case Op::kUpper:
    case Op::kLower: {
      std::string_view s = EvalC(*n.kid[0], c);
      n.buf.resize(s.size());
      const auto* map = reinterpret_cast<const unsigned char*>(n.str.data());
      for (std::size_t i = 0; i < s.size(); ++i) {
        n.buf[i] = static_cast<char>(map[static_cast<unsigned char>(s[i])]);
      }
      return n.buf;
    }
    case Op::kChr: {
      auto code = static_cast<unsigned char>(ToInt(EvalN(*n.kid[0], c)) & 0xFF);
      n.buf.assign(1, static_cast<char>(n.codePage == CodePage::kCp866 ? Cp1251To866(code) : code));
      return n.buf;
    }
    case Op::kSubstr:
      return Substr(n, c);
    case Op::kLeft:
    case Op::kRight:
      return LeftOrRight(n, c);
    case Op::kRtrim:
    case Op::kLtrim:
    case Op::kAlltrim:
      return Trimmed(n, c);
    case Op::kSpace: {
      int64_t len = ToCount(EvalN(*n.kid[0], c));
      if (len <= 0 || StringTooLong(static_cast<std::size_t>(len), c)) {
        return {};
      }
      n.buf.assign(static_cast<std::size_t>(len), ' ');
      return n.buf;
    }
    case Op::kReplicate:
      return Replicate(n, c);
    case Op::kPadl:
    case Op::kPadr:
    case Op::kPadc:
      return Pad(n, c);
    case Op::kStr: {
      double v = EvalN(*n.kid[0], c);
      int len = 0;
      int dec = 0;
      StrLayout(n, c, &len, &dec);
      FormatStr(v, len, dec, &n.buf);
      return n.buf;
    }
    case Op::kDtos:
    case Op::kDtoc:
    case Op::kTtoc:
      return DateText(n, c);
    case Op::kIif:
      return EvalL(*n.kid[0], c) ? EvalC(*n.kid[1], c) : EvalC(*n.kid[2], c);
    case Op::kMin:
    case Op::kMax: {
      int r = CompareOperands(*n.kid[0], *n.kid[1], c);
      bool first = n.op == Op::kMin ? r <= 0 : r >= 0;
      return EvalC(first ? *n.kid[0] : *n.kid[1], c);
    }
    default:
      return {};
  }
}

int64_t EvalD(const Node& n, EvalContext& c) {
  switch (n.op) {
    case Op::kConst:
      return n.date;
    case Op::kFieldD:
      return JulianFromDtos(std::string_view(c.record + n.offset, 8));
    case Op::kFieldT: {
      auto jd = static_cast<int32_t>(Le32(c.record + n.offset));
      auto ms = static_cast<int32_t>(Le32(c.record + n.offset + 4));
      if (jd <= 0) {
        return 0;
      }
      return int64_t{jd} * kMsPerDay + std::clamp<int32_t>(ms, 0, kMsPerDay - 1);
    }
    case Op::kDateAdd:
    case Op::kDateSub: {
      int64_t v = EvalD(*n.kid[0], c);
      double k = EvalN(*n.kid[1], c);
      if (v == 0) {
        return 0;
      }
      int64_t delta = n.type == ValueType::kDateTime ? ToInt(std::round(k * 1000.0)) : ToInt(k);
      // A date may itself come from sums far past any calendar (D + 9e18 + 9e18):
      // the result saturates instead of wrapping.
      int64_t r = 0;
      if (n.op == Op::kDateAdd ? __builtin_add_overflow(v, delta, &r)
                               : __builtin_sub_overflow(v, delta, &r)) {
        r = (n.op == Op::kDateAdd) == (delta > 0) ? INT64_MAX : 0;
      }
      return r > 0 ? r : 0;
    }
    case Op::kCtod:
      return ParseDateText(EvalC(*n.kid[0], c));
    case Op::kCtot:
      return ParseDateTimeText(EvalC(*n.kid[0], c));
    case Op::kStod:
      return JulianFromDtos(EvalC(*n.kid[0], c));
    case Op::kToday:
      return Today(false);
    case Op::kNow:
      return Today(true);
    case Op::kDateToTime: {
      int64_t d = EvalD(*n.kid[0], c);
      // Dates past any calendar (saturated sums) stay at the end of the range.
      return d == 0 ? 0 : d > INT64_MAX / kMsPerDay ? INT64_MAX : d * kMsPerDay;
    }
    case Op::kTimeToDate:
      return EvalD(*n.kid[0], c) / kMsPerDay;
    case Op::kIif:
      return EvalL(*n.kid[0], c) ? EvalD(*n.kid[1], c) : EvalD(*n.kid[2], c);
    case Op::kMin:
    case Op::kMax: {
      int64_t a = EvalD(*n.kid[0], c);
      int64_t b = EvalD(*n.kid[1], c);
      return n.op == Op::kMin ? std::min(a, b) : std::max(a, b);
    }
    default:
      return 0;
  }
}

// Compares as if the shorter string were padded with blanks.
int ComparePadded(std::string_view a, std::string_view b) {
  std::size_t n = std::min(a.size(), b.size());
  int r = n == 0 ? 0 : std::memcmp(a.data(), b.data(), n);
  if (r != 0) {
    return r;
  }
  std::string_view rest = a.size() > n ? a.substr(n) : b.substr(n);
  int sign = a.size() > n ? 1 : -1;
  for (char ch : rest) {
    auto u = static_cast<unsigned char>(ch);
    if (u != ' ') {
      return u > ' ' ? sign : -sign;
    }
  }
  return 0;
}

}  // namespace xce::expr
