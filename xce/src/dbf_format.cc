#include "dbf_format.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <set>

#include "ascii.h"

namespace xce {
namespace {

Status Corrupt(const std::string& path, const std::string& what) {
  return Status(kErrCorrupt, "Table " + path + " is damaged: " + what);
}

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

bool ValidFieldName(const std::string& n) {
  if (n.empty() || n.size() > 10) {
    return false;
  }
  if (!std::isalpha(static_cast<unsigned char>(n[0]))) {
    return false;
  }
  for (char c : n) {
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') {
      return false;
    }
  }
  return true;
}

void Classify(FieldInfo* f) {
  f->isMemo = false;
  f->binaryMemo = false;
  f->binaryMemoPointer = f->length == 4;
  switch (f->type) {
    case 'C':
    case 'V':
      f->engineType = kTypeString;
      break;
    case 'N':
    case 'F':
      f->engineType = kTypeNumeric;
      break;
    case 'D':
      f->engineType = f->length == 8 ? kTypeDate : kTypeRaw;
      break;
    case 'L':
      f->engineType = kTypeLogical;
      break;
    case 'M':
      f->engineType = kTypeMemo;
      f->isMemo = true;
      f->binaryMemo = (f->flags & 0x04) != 0;
      break;
    case 'G':
    case 'P':
      f->engineType = kTypeImage;
      f->isMemo = true;
      f->binaryMemo = true;
      break;
    case 'W':
      f->engineType = kTypeBinary;
      f->isMemo = true;
      f->binaryMemo = true;
      break;
    case 'I':
      if (f->length == 4) {
        f->engineType = (f->flags & 0x0C) == 0x0C ? kTypeAutoInc : kTypeInteger;
      } else if (f->length == 8) {
        f->engineType = kTypeCurrency;  // 64-bit scaled integer
      } else {
        f->engineType = kTypeRaw;
      }
      break;
    case '+':
      f->engineType = f->length == 4 ? kTypeAutoInc : kTypeRaw;
      break;
    case 'B':
    case 'O':
      f->engineType = f->length == 8 ? kTypeDouble : kTypeRaw;
      break;
    case 'Y':
      f->engineType = f->length == 8 ? kTypeCurrency : kTypeRaw;
      break;
    case 'T':
    case '@':
      f->engineType = f->length == 8 ? kTypeTimestamp : kTypeRaw;
      break;
    case 'Q':
      f->engineType = kTypeRaw;
      break;
    default:
      f->engineType = kTypeUnknown;  // hidden null flags and types we do not know
      break;
  }
  if (f->isMemo && f->length != 4 && f->length != 10) {
    f->isMemo = false;  // no pointer form we can read; shown as raw bytes
    f->engineType = kTypeRaw;
  }
}

// Decimal places of a currency-like scaled integer field.
int CurrencyDecimals(const FieldInfo& f) {
  return f.type == 'Y' ? 4 : std::min<int>(f.decimals, 18);
}

// Bits are handed out in field order: a V or Q field's varlength bit, then
// a nullable field's null bit.
void AssignNullBits(std::vector<FieldInfo>* fields) {
  const FieldInfo* flags = nullptr;
  for (const FieldInfo& f : *fields) {
    if (f.type == '0' && EqualsNoCase(f.name, "_NullFlags")) {
      flags = &f;
    }
  }
  if (flags == nullptr) {
    return;
  }
  const uint32_t offset = flags->offset;
  const uint32_t length = flags->length;
  int32_t next = 0;
  for (FieldInfo& f : *fields) {
    if (f.type == '0') {
      continue;
    }
    if (f.type == 'V' || f.type == 'Q') {
      f.varBit = next++;
    }
    if ((f.flags & 0x02) != 0) {
      f.nullBit = next++;
    }
    f.nullFlagsOffset = offset;
    f.nullFlagsLength = length;
  }
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

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

DbfFileHeader DecodeDbfHeader(const uint8_t* bytes) {
  DbfFileHeader h;
  h.version = bytes[kHeaderVersion];
  std::memcpy(h.date, bytes + kHeaderDate, kHeaderDateSize);
  h.recordCount = Le32(bytes + kHeaderRecordCount);
  h.headerLength = Le16(bytes + kHeaderLength);
  h.recordLength = Le16(bytes + kHeaderRecordLength);
  h.tableFlags = bytes[kHeaderTableFlags];
  h.codePageMark = bytes[kHeaderCodePageMark];
  return h;
}

void EncodeDbfHeader(const DbfFileHeader& h, uint8_t* bytes) {
  bytes[kHeaderVersion] = h.version;
  std::memcpy(bytes + kHeaderDate, h.date, kHeaderDateSize);
  PutLe32(bytes + kHeaderRecordCount, h.recordCount);
  PutLe16(bytes + kHeaderLength, h.headerLength);
  PutLe16(bytes + kHeaderRecordLength, h.recordLength);
  bytes[kHeaderTableFlags] = h.tableFlags;
  bytes[kHeaderCodePageMark] = h.codePageMark;
}

DbfFieldDescriptor DecodeFieldDescriptor(const uint8_t* bytes) {
  DbfFieldDescriptor d;
  const uint8_t* name = bytes + kDescriptorName;
  std::size_t nameLen = 0;
  while (nameLen < kDescriptorNameSize && name[nameLen] != 0) {
    ++nameLen;
  }
  d.name.assign(reinterpret_cast<const char*>(name), nameLen);
  d.type = bytes[kDescriptorType];
  d.fieldOffset = Le32(bytes + kDescriptorFieldOffset);
  d.length = bytes[kDescriptorLength];
  d.decimals = bytes[kDescriptorDecimals];
  d.flags = bytes[kDescriptorFlags];
  d.autoNext = Le32(bytes + kDescriptorAutoNext);
  d.autoStep = bytes[kDescriptorAutoStep];
  return d;
}

void EncodeFieldDescriptor(const DbfFieldDescriptor& d, uint8_t* bytes) {
  const std::size_t nameLen = std::min(d.name.size(), kDescriptorNameSize);
  std::memcpy(bytes + kDescriptorName, d.name.data(), nameLen);
  std::memset(bytes + kDescriptorName + nameLen, 0, kDescriptorNameSize - nameLen);
  bytes[kDescriptorType] = d.type;
  PutLe32(bytes + kDescriptorFieldOffset, d.fieldOffset);
  bytes[kDescriptorLength] = d.length;
  bytes[kDescriptorDecimals] = d.decimals;
  bytes[kDescriptorFlags] = d.flags;
  PutLe32(bytes + kDescriptorAutoNext, d.autoNext);
  bytes[kDescriptorAutoStep] = d.autoStep;
}

Status ParseDbfHeader(const std::string& path, const uint8_t* head, std::size_t headSize,
                      uint64_t fileSize, DbfLayout* out) {
  if (fileSize < kHeaderSize || headSize < kHeaderSize) {
    return Corrupt(path, "the header is truncated");
  }
  const DbfFileHeader fh = DecodeDbfHeader(head);
  DbfLayout l;
  l.version = fh.version;
  l.recordCount = fh.recordCount;
  l.headerLength = fh.headerLength;
  l.recordLength = fh.recordLength;
  l.tableFlags = fh.tableFlags;
  l.codePageMark = fh.codePageMark;
  if (l.headerLength < kHeaderSize + 1) {
    return Corrupt(path, "the header length is too small");
  }
  if (l.headerLength > fileSize || l.headerLength > headSize) {
    return Corrupt(path, "the header length points past the end of the file");
  }
  if (l.recordLength < 2) {
    return Corrupt(path, "the record length is too small");
  }
  std::size_t pos = kHeaderSize;
  bool terminated = false;
  while (pos < l.headerLength) {
    // Some old writers end the list with a line feed in the header's last byte.
    if (head[pos] == 0x0D || (head[pos] == 0x0A && pos + 1 == l.headerLength)) {
      terminated = true;
      break;
    }
    if (pos + kDescriptorSize > l.headerLength) {
      break;
    }
    const DbfFieldDescriptor d = DecodeFieldDescriptor(head + pos);
    FieldInfo f;
    f.name = d.name;
    f.type = static_cast<char>(d.type);
    f.length = d.length;
    f.decimals = d.decimals;
    f.flags = d.flags;
    f.descriptorOffset = static_cast<uint32_t>(pos);
    f.autoNext = static_cast<int32_t>(d.autoNext);
    f.autoStep = d.autoStep;
    l.fields.push_back(f);
    pos += kDescriptorSize;
  }
  if (!terminated) {
    return Corrupt(path, "the field list has no terminator");
  }
  if (l.fields.empty()) {
    return Corrupt(path, "the table has no fields");
  }
  uint64_t total = 1;
  for (const FieldInfo& f : l.fields) {
    total += f.length;
  }
  if (total != l.recordLength) {
    // Some writers keep character lengths above 255 in the decimals byte.
    uint64_t wide = 1;
    for (const FieldInfo& f : l.fields) {
      wide += f.length + (f.type == 'C' ? 256u * f.decimals : 0u);
    }
    if (wide == l.recordLength) {
      for (FieldInfo& f : l.fields) {
        if (f.type == 'C') {
          f.length += 256u * f.decimals;
          f.decimals = 0;
        }
      }
      total = wide;
    }
  }
  if (total > l.recordLength) {
    return Corrupt(path, "the field lengths exceed the record length");
  }
  uint32_t offset = 1;
  for (FieldInfo& f : l.fields) {
    if (f.length == 0) {
      return Corrupt(path, "field " + f.name + " has length 0");
    }
    f.offset = offset;
    offset += f.length;
    Classify(&f);
    if (f.isMemo) {
      l.hasMemoFields = true;
    }
  }
  AssignNullBits(&l.fields);
  if (l.headerLength + static_cast<uint64_t>(l.recordCount) * l.recordLength > fileSize) {
    return Corrupt(path, "the record count " + std::to_string(l.recordCount) +
                             " goes beyond the end of the file");
  }
  if (l.hasMemoFields) {
    l.memoKind = l.version == 0x83   ? MemoKind::kDbt3
                 : l.version == 0x8B ? MemoKind::kDbt4
                                     : MemoKind::kFpt;
  }
  *out = std::move(l);
  return Status::Ok();
}

Status BuildDbfHeader(const std::string& path, const std::vector<FieldSpec>& specs, bool oem,
                      std::vector<uint8_t>* header, DbfLayout* layout) {
  auto bad = [&](const std::string& what) {
    return Status(kErrBadArgument, "Cannot create table " + path + ": " + what);
  };
  if (specs.empty()) {
    return bad("no fields given");
  }
  if (specs.size() > 255) {
    return bad("more than 255 fields");
  }
  bool vfp = false;
  bool memo = false;
  std::set<std::string> names;
  std::vector<FieldInfo> fields;
  for (const FieldSpec& s : specs) {
    const std::string name = AsciiUpper(s.name);
    if (!ValidFieldName(name)) {
      return bad("invalid field name \"" + s.name + "\"");
    }
    if (!names.insert(name).second) {
      return bad("duplicate field name " + name);
    }
    FieldInfo f;
    f.name = name;
    f.type = static_cast<char>(std::toupper(static_cast<unsigned char>(s.type)));
    uint32_t len = s.length;
    uint32_t dec = s.decimals;
    auto fixed = [&](uint32_t n) { return len == 0 || len == n; };
    switch (f.type) {
      case 'C':
        if (len < 1 || len > 254 || dec != 0) {
          return bad("character field " + name + " needs a length of 1 to 254");
        }
        break;
      case 'N':
      case 'F':
        if (len < 1 || len > 20 || (dec > 0 && (dec > 15 || dec + 2 > len))) {
          return bad("numeric field " + name + " has an invalid length or decimals");
        }
        break;
      case 'D':
        if (!fixed(8)) {
          return bad("date field " + name + " must have length 8");
        }
        len = 8;
        dec = 0;
        break;
      case 'L':
        if (!fixed(1)) {
          return bad("logical field " + name + " must have length 1");
        }
        len = 1;
        dec = 0;
        break;
      case 'M':
        memo = true;
        len = 0;  // decided below by the flavour
        dec = 0;
        break;
      case 'I':
        if (!fixed(4)) {
          return bad("integer field " + name + " must have length 4");
        }
        vfp = true;
        len = 4;
        dec = 0;
        break;
      case 'B':
        if (!fixed(8) || dec > 15) {
          return bad("double field " + name + " must have length 8");
        }
        vfp = true;
        len = 8;
        break;
      case 'T':
        if (!fixed(8)) {
          return bad("timestamp field " + name + " must have length 8");
        }
        vfp = true;
        len = 8;
        dec = 0;
        break;
      case 'Y':
        if (!fixed(8)) {
          return bad("currency field " + name + " must have length 8");
        }
        vfp = true;
        len = 8;
        dec = 4;
        break;
      default:
        return bad("field " + name +
                   " has a type the engine does not write: " + std::string(1, f.type));
    }
    f.length = len;
    f.decimals = static_cast<uint8_t>(dec);
    fields.push_back(f);
  }
  DbfLayout l;
  uint32_t offset = 1;
  for (FieldInfo& f : fields) {
    if (f.type == 'M') {
      f.length = vfp ? 4 : 10;
    }
    if (vfp && (f.type == 'I' || f.type == 'B' || f.type == 'T' || f.type == 'Y')) {
      f.flags = 0x04;  // binary: never translated
    }
    f.offset = offset;
    offset += f.length;
    Classify(&f);
  }
  if (offset > 65535) {
    return bad("the record is longer than 65535 bytes");
  }
  l.fields = fields;
  l.recordLength = offset;
  l.hasMemoFields = memo;
  l.memoKind = memo ? MemoKind::kFpt : MemoKind::kNone;
  l.version = vfp ? 0x30 : (memo ? 0xF5 : 0x03);
  l.tableFlags = vfp && memo ? kTableFlagMemo : 0;
  l.codePageMark = oem ? kCodePageMark866 : kCodePageMark1251;
  l.headerLength = static_cast<uint32_t>(kHeaderSize + kDescriptorSize * fields.size() + 1 +
                                         (vfp ? kVfpBacklinkSize : 0));
  std::vector<uint8_t> h(l.headerLength, 0);
  DbfFileHeader fh;
  fh.version = l.version;
  TodayHeaderDate(fh.date);
  fh.recordCount = 0;
  fh.headerLength = static_cast<uint16_t>(l.headerLength);
  fh.recordLength = static_cast<uint16_t>(l.recordLength);
  fh.tableFlags = l.tableFlags;
  fh.codePageMark = l.codePageMark;
  EncodeDbfHeader(fh, h.data());
  std::size_t pos = kHeaderSize;
  for (const FieldInfo& f : fields) {
    DbfFieldDescriptor d;
    d.name = f.name;
    d.type = static_cast<uint8_t>(f.type);
    d.fieldOffset = f.offset;
    d.length = static_cast<uint8_t>(f.length);
    d.decimals = f.decimals;
    d.flags = f.flags;
    EncodeFieldDescriptor(d, &h[pos]);
    pos += kDescriptorSize;
  }
  h[pos] = 0x0D;
  *header = std::move(h);
  *layout = std::move(l);
  return Status::Ok();
}

void TodayHeaderDate(uint8_t date3[3]) {
  std::time_t now = std::time(nullptr);
  std::tm tm;
  localtime_r(&now, &tm);
  date3[0] = static_cast<uint8_t>((tm.tm_year + 1900) % 100);
  date3[1] = static_cast<uint8_t>(tm.tm_mon + 1);
  date3[2] = static_cast<uint8_t>(tm.tm_mday);
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
  auto bad = [&](const std::string& why) {
    return Status(kErrBadArgument, "Cannot store \"" + std::string(text) + "\" in field " + f.name +
                                       " of " + path + ": " + why);
  };
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
    case kTypeLogical: {
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
    case kTypeCurrency: {
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
    case kTypeTimestamp: {
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
    default:
      return Status(kErrNotSupported,
                    "Field " + f.name + " of " + path + " cannot be written as text");
  }
}

}  // namespace xce
