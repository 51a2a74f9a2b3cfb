// Field values: the bytes of an engine field in a record image turned into
// the field object's native value and back.

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "xds_internal.h"

namespace {

// Julian day number of the framework's day 1 (1 January of year 1) minus 1.
constexpr int32_t kJulianOffset = 1721425;
constexpr int kMSecsPerDayInt = 86400000;

// Engine types the public header does not name.
constexpr uint16_t kTypeCompactDate = 9;
constexpr uint16_t kTypeShortInteger = 12;
constexpr uint16_t kTypeTime = 13;

bool AllBytes(const uint8_t* bytes, int length, bool blankToo) {
  for (int i = 0; i < length; ++i) {
    if (bytes[i] != 0 && !(blankToo && bytes[i] == ' ')) {
      return false;
    }
  }
  return true;
}

// The length of a character field's value: its bytes without the trailing
// blanks, which fill the field and are no part of the value. Names fill
// about half their field, so whole words of blanks are passed at once.
int TrimmedLength(const uint8_t* bytes, int length) {
  constexpr uint64_t kBlanks = 0x2020202020202020ull;
  int n = length;
  while (n >= 8) {
    uint64_t word;
    std::memcpy(&word, bytes + n - 8, 8);
    if (word != kBlanks) {
      break;
    }
    n -= 8;
  }
  while (n > 0 && bytes[n - 1] == ' ') {
    --n;
  }
  return n;
}

template <class T>
T Load(const uint8_t* bytes) {
  T value;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

template <class T>
void Store(uint8_t* bytes, T value) {
  std::memcpy(bytes, &value, sizeof value);
}

// A stored number's characters as a number, "." as the decimal separator;
// false when they are not one.
bool ParseStoredNumber(const uint8_t* bytes, int length, double& value) {
  const char* begin = reinterpret_cast<const char*>(bytes);
  const char* end = begin + length;
  while (begin < end && (*begin == ' ' || *begin == '\0')) {
    ++begin;
  }
  while (end > begin && (end[-1] == ' ' || end[-1] == '\0')) {
    --end;
  }
  if (begin < end && *begin == '+') {
    ++begin;
  }
  if (begin == end) {
    return false;
  }
  // Whole numbers are most of what tables hold: read them without the
  // general conversion.
  const char* p = begin;
  bool negative = *p == '-';
  if (negative) {
    ++p;
  }
  if (p < end && end - p <= 18) {
    int64_t whole = 0;
    const char* q = p;
    while (q < end && *q >= '0' && *q <= '9') {
      whole = whole * 10 + (*q++ - '0');
    }
    if (q == end) {
      value = static_cast<double>(negative ? -whole : whole);
      return true;
    }
  }
  auto [ptr, ec] = std::from_chars(begin, end, value, std::chars_format::fixed);
  return ec == std::errc() && ptr == end;
}

// A numeric field's value in the field object's native form.
void StoreNumber(const TField& field, double value, uint8_t* out) {
  if (field.DataType() == ftSmallint) {
    Store<int16_t>(out, static_cast<int16_t>(std::lround(value)));
  } else {
    Store<double>(out, value);
  }
}

// YYYYMMDD text of a compact date's three bytes.
std::string DecodeCompactDate(const uint8_t* b) {
  unsigned word = static_cast<unsigned>(b[0]) * 256 + b[1];
  unsigned year = word >> 1;
  unsigned month = (word & 1) * 8 + (b[2] >> 5);
  unsigned day = b[2] & 0x1F;
  char text[16];
  std::snprintf(text, sizeof text, "%04u%02u%02u", year % 10000, month % 100, day % 100);
  return text;
}

void EncodeCompactDate(const char* yyyymmdd, uint8_t* b) {
  auto number = [&](int from, int count) {
    int v = 0;
    for (int i = from; i < from + count; ++i) {
      v = v * 10 + (yyyymmdd[i] - '0');
    }
    return v;
  };
  int year = number(0, 4);
  int month = number(4, 2);
  int day = number(6, 2);
  unsigned word = static_cast<unsigned>(year * 2 + (month >> 3));
  b[0] = static_cast<uint8_t>(word >> 8);
  b[1] = static_cast<uint8_t>(word);
  b[2] = static_cast<uint8_t>(month * 32 + day);
}

}  // namespace

// --- Reading ---------------------------------------------------------------------

const uint8_t* TXdsDataSet::StateImage(const TRecordBuffer*& buffer) const {
  buffer = nullptr;
  switch (State()) {
    case dsSetKey:
      return keyBuffers_[keyBuffer_].image.empty() ? nullptr
                                                   : keyBuffers_[keyBuffer_].image.data();
    case dsOldValue:
      return oldRecord_.empty() ? nullptr : oldRecord_.data();
    default:
      buffer = TDataSet::StateBuffer();
      return buffer == nullptr ? nullptr : Buf(buffer).Bytes();
  }
}

uint32_t TXdsDataSet::StateRecNo() const {
  const TRecordBuffer* buffer = nullptr;
  if (State() == dsInsert || StateImage(buffer) == nullptr || buffer == nullptr) {
    return 0;
  }
  return BufBookmarkRecNo(buffer);
}

bool TXdsDataSet::FieldIsEmpty(const TXCEFieldDef& def, const uint8_t* bytes) const {
  const bool xdt = engineTableType_ == XDS_TABLE_XDT;
  const int length = def.length;
  switch (def.type) {
    case XDS_TYPE_LOGICAL:
      return xdt ? bytes[0] == ' ' : AllBytes(bytes, length, true);
    case XDS_TYPE_NUMERIC:
    case XDS_TYPE_STRING:
      return AllBytes(bytes, length, !xdt);
    case XDS_TYPE_DATE:
      if (xdt) {
        return AllBytes(bytes, length, false);
      }
      return length == 4 ? Load<int32_t>(bytes) == 0 : AllBytes(bytes, length, true);
    case kTypeCompactDate:
      return AllBytes(bytes, length, false);
    case XDS_TYPE_RAW:
      return xdt ? AllBytes(bytes, length, false) : true;
    case XDS_TYPE_MEMO:
    case XDS_TYPE_BINARY:
    case XDS_TYPE_IMAGE:
    case XDS_TYPE_VARCHAR:
      return Load<int32_t>(bytes) == 0;
    case XDS_TYPE_DOUBLE:
    case XDS_TYPE_CURRENCY:
      return xdt && Load<uint32_t>(bytes) == 0x00000020u &&
             Load<uint32_t>(bytes + 4) == 0x80000000u;
    case XDS_TYPE_INTEGER:
      return xdt && Load<uint32_t>(bytes) == 0x80000000u;
    case kTypeShortInteger:
      return xdt && Load<uint16_t>(bytes) == 0x8000u;
    case kTypeTime:
      return !xdt || Load<int32_t>(bytes) == -1;
    // A DBF keeps date-times and automatic numbers in every record; only a
    // blank or zeroed one has no value.
    case XDS_TYPE_AUTOINC:
      return xdt ? Load<int32_t>(bytes) == -1 : AllBytes(bytes, length, true);
    case XDS_TYPE_TIMESTAMP:
      return xdt ? Load<uint32_t>(bytes) == 0 : AllBytes(bytes, length, true);
    default:
      return true;
  }
}

void TXdsDataSet::ReadFieldValue(const TField& field, const TXCEFieldDef& def,
                                 const uint8_t* bytes, void* dest) const {
  auto* out = static_cast<uint8_t*>(dest);
  auto julianToDate = [&](const std::string& text) {
    int32_t julian = 0;
    CheckXceResult(this, Xce().XdsConvertStringToJulian(text.c_str(), &julian));
    Store<int32_t>(out, julian - kJulianOffset);
  };
  switch (def.type) {
    case XDS_TYPE_LOGICAL: {
      char c = static_cast<char>(bytes[0]);
      bool value = c == '1' || c == 'T' || c == 'Y' || c == 't' || c == 'y';
      Store<int16_t>(out, value ? -1 : 0);
      break;
    }
    case XDS_TYPE_NUMERIC: {
      double value = 0;
      // A value, but none that can be shown as a number, leaves dest alone.
      if (ParseStoredNumber(bytes, def.length, value)) {
        StoreNumber(field, value, out);
      }
      break;
    }
    case XDS_TYPE_DATE:
      if (def.length == 4) {
        Store<int32_t>(out, Load<int32_t>(bytes) - kJulianOffset);
      } else {
        julianToDate(std::string(reinterpret_cast<const char*>(bytes), 8));
      }
      break;
    case XDS_TYPE_STRING: {
      // Trailing blanks are not part of the value: copy only what is before
      // them, then fill the rest of the field's room with NULs.
      int n = TrimmedLength(bytes, def.length);
      std::memcpy(out, bytes, static_cast<size_t>(n));
      std::memset(out + n, 0, static_cast<size_t>(def.length - n) + 1);
      break;
    }
    case kTypeCompactDate:
      julianToDate(DecodeCompactDate(bytes));
      break;
    case XDS_TYPE_DOUBLE:
    case XDS_TYPE_CURRENCY:
      std::memcpy(out, bytes, 8);
      break;
    case XDS_TYPE_INTEGER:
    case XDS_TYPE_AUTOINC:
    case kTypeTime:
      std::memcpy(out, bytes, 4);
      break;
    case kTypeShortInteger:
      std::memcpy(out, bytes, 2);
      break;
    case XDS_TYPE_TIMESTAMP: {
      double value = (static_cast<double>(Load<int32_t>(bytes)) - kJulianOffset) * kMSecsPerDay +
                     Load<int32_t>(bytes + 4);
      Store<double>(out, value < 0 ? 0.0 : value);
      break;
    }
    case XDS_TYPE_RAW:
      std::memcpy(out, bytes, def.length);
      break;
    default:
      break;
  }
}

bool TXdsDataSet::GetFieldData(const TField& field, void* dest) const {
  const TRecordBuffer* buffer = nullptr;
  const uint8_t* image = StateImage(buffer);
  if (image == nullptr) {
    return false;
  }
  if (field.FieldNo() <= 0) {
    switch (State()) {
      case dsBrowse:
      case dsEdit:
      case dsInsert:
      case dsCalcFields:
      case dsFilter:
        return buffer != nullptr &&
               ReadCalcFieldData(field, buffer, image + CalcAreaOffset(), dest);
      default:
        return false;
    }
  }
  const TXCEFieldDef* def = xceFields_.ByNumber(field.FieldNo());
  if (def == nullptr) {
    return false;
  }
  FinishFetchBeforeRead(buffer, def->type);
  const uint8_t* bytes = image + def->offset;
  // Character and numeric fields of DBF tables, most of what is read: one
  // pass over the bytes tells the emptiness and reads the value.
  if (engineTableType_ != XDS_TABLE_XDT) {
    if (def->type == XDS_TYPE_STRING) {
      const int n = TrimmedLength(bytes, def->length);
      if (AllBytes(bytes, n, true)) {
        return false;
      }
      if (dest != nullptr) {
        auto* out = static_cast<uint8_t*>(dest);
        std::memcpy(out, bytes, static_cast<size_t>(n));
        std::memset(out + n, 0, static_cast<size_t>(def->length - n) + 1);
      }
      return true;
    }
    if (def->type == XDS_TYPE_NUMERIC) {
      double value = 0;
      if (!ParseStoredNumber(bytes, def->length, value)) {
        return !AllBytes(bytes, def->length, true);
      }
      if (dest != nullptr) {
        StoreNumber(field, value, static_cast<uint8_t*>(dest));
      }
      return true;
    }
  }
  bool empty;
  const TXdsBlobCache* cache = nullptr;
  if (def->type >= XDS_TYPE_MEMO && def->type <= XDS_TYPE_VARCHAR &&
      (State() == dsEdit || State() == dsInsert) &&
      (cache = BlobCacheOf(const_cast<TRecordBuffer*>(buffer), def->number)) != nullptr &&
      cache->modified) {
    empty = cache->Data().empty();
  } else {
    empty = FieldIsEmpty(*def, bytes);
  }
  if (empty) {
    return false;
  }
  if (dest != nullptr && !(def->type >= XDS_TYPE_MEMO && def->type <= XDS_TYPE_VARCHAR)) {
    ReadFieldValue(field, *def, bytes, dest);
  }
  return true;
}

// --- Writing ----------------------------------------------------------------------

namespace {

// Whole numbers into fields without decimals (every key and id, and the
// search record of every Locate on one) need no general formatting: written
// right-aligned straight into the field's width bytes. False when the value
// is not such a number (a negative zero keeps its sign the general way) or
// does not fit; out is then untouched.
bool StoreWholeNumber(double value, int width, int decimals, uint8_t* out) {
  if (decimals != 0 || !(std::fabs(value) < 1e15) || value != std::trunc(value) ||
      (value == 0 && std::signbit(value))) {
    return false;
  }
  char digits[24];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, static_cast<int64_t>(value));
  const int n = static_cast<int>(end - digits);
  if (ec != std::errc() || n > width) {
    return false;
  }
  std::memset(out, ' ', static_cast<size_t>(width - n));
  std::memcpy(out + (width - n), digits, static_cast<size_t>(n));
  return true;
}

// The value in fixed notation as the numeric field stores it, right-aligned
// in width; false when it does not fit.
bool FormatStoredNumber(double value, int width, int decimals, std::string& text) {
  if (!std::isfinite(value)) {
    return false;
  }
  const int precision = decimals > 0 ? width - 1 : width;
  double magnitude = std::fabs(value);
  if (decimals == 0 && magnitude < 1e15 && value == std::trunc(value) &&
      !(value == 0 && std::signbit(value))) {
    text.assign(static_cast<size_t>(width), ' ');
    return StoreWholeNumber(value, width, decimals, reinterpret_cast<uint8_t*>(text.data()));
  }
  int wholeDigits = magnitude < 1 ? 0 : static_cast<int>(std::floor(std::log10(magnitude))) + 1;
  if (wholeDigits > precision) {
    return false;  // fixed notation would turn into exponent notation
  }
  // Precision counts significant digits: what is left after the whole part
  // limits the decimals that carry meaning; the rest are written as zeros.
  int kept = wholeDigits == 0 ? decimals : std::min(decimals, precision - wholeDigits);
  char buffer[400];
  std::snprintf(buffer, sizeof buffer, "%.*f", kept, value);
  std::string digits = buffer;
  if (kept < decimals) {
    if (kept == 0) {
      digits += '.';
    }
    digits.append(static_cast<size_t>(decimals - kept), '0');
  }
  size_t point = digits.find('.');
  size_t whole = (point == std::string::npos ? digits.size() : point) - (digits[0] == '-' ? 1 : 0);
  if (static_cast<int>(whole) > precision || digits.find('E') != std::string::npos ||
      static_cast<int>(digits.size()) > width) {
    return false;
  }
  text.assign(static_cast<size_t>(width) - digits.size(), ' ');
  text += digits;
  return true;
}

}  // namespace

void TXdsDataSet::EncodeEmptyValue(const TXCEFieldDef& def, uint8_t* bytes) const {
  const size_t length = def.length;
  if (engineTableType_ != XDS_TABLE_XDT) {
    bool zeros = (def.type >= XDS_TYPE_MEMO && def.type <= kTypeShortInteger) ||
                 def.type == XDS_TYPE_CURRENCY;
    std::memset(bytes, zeros ? 0 : ' ', length);
    return;
  }
  switch (def.type) {
    case XDS_TYPE_LOGICAL:
      bytes[0] = ' ';
      break;
    case XDS_TYPE_DOUBLE:
    case XDS_TYPE_CURRENCY:
      Store<uint32_t>(bytes, 0x00000020u);
      Store<uint32_t>(bytes + 4, 0x80000000u);
      break;
    case XDS_TYPE_INTEGER:
      Store<uint32_t>(bytes, 0x80000000u);
      break;
    case kTypeShortInteger:
      Store<uint16_t>(bytes, 0x8000u);
      break;
    case kTypeTime:
    case XDS_TYPE_AUTOINC:
      Store<int32_t>(bytes, -1);
      break;
    case XDS_TYPE_TIMESTAMP:
      Store<int32_t>(bytes, 0);
      Store<int32_t>(bytes + 4, -1);
      break;
    default:
      std::memset(bytes, 0, length);
      break;
  }
}

void TXdsDataSet::EncodeFieldValue(const TField& field, const TXCEFieldDef& def, uint8_t* bytes,
                                   const void* source) const {
  if (source == nullptr) {
    EncodeEmptyValue(def, bytes);
    return;
  }
  const auto* in = static_cast<const uint8_t*>(source);
  const size_t length = def.length;
  auto dateText = [&](int32_t days) {
    char text[32] = {};
    uint16_t textLength = sizeof text - 1;
    CheckXceResult(this, Xce().XdsConvertJulianToString(days + kJulianOffset, text, &textLength));
    return std::string(text, textLength);
  };
  switch (def.type) {
    case XDS_TYPE_LOGICAL:
      bytes[0] = Load<int16_t>(in) != 0 ? 'T' : 'F';
      break;
    case XDS_TYPE_NUMERIC: {
      if (field.DataType() != ftSmallint &&
          StoreWholeNumber(Load<double>(in), static_cast<int>(length), def.decimals, bytes)) {
        break;
      }
      std::string text;
      if (field.DataType() == ftSmallint) {
        text = std::to_string(Load<int16_t>(in));
        if (text.size() > length) {
          XdsDatabaseError(this, xdsmsg::kNumericOutOfRange);
        }
        text.insert(0, length - text.size(), ' ');
      } else if (!FormatStoredNumber(Load<double>(in), def.length, def.decimals, text)) {
        XdsDatabaseError(this, xdsmsg::kNumericOutOfRange);
      }
      std::memcpy(bytes, text.data(), length);
      break;
    }
    case XDS_TYPE_DATE:
      if (length == 4) {
        Store<int32_t>(bytes, Load<int32_t>(in) + kJulianOffset);
      } else {
        std::string text = dateText(Load<int32_t>(in));
        if (text.size() > length) {
          XdsDatabaseError(this, xdsmsg::kDateFunctions);
        }
        std::memset(bytes, ' ', length);
        std::memcpy(bytes, text.data(), text.size());
      }
      break;
    case XDS_TYPE_STRING: {
      size_t n = strnlen(reinterpret_cast<const char*>(in), length);
      bool xdtEmpty = engineTableType_ == XDS_TABLE_XDT && n == 0;
      std::memset(bytes, xdtEmpty ? 0 : ' ', length);
      std::memcpy(bytes, in, n);
      break;
    }
    case kTypeCompactDate: {
      std::string text = dateText(Load<int32_t>(in));
      if (text.size() < 8) {
        XdsDatabaseError(this, xdsmsg::kDateFunctions);
      }
      EncodeCompactDate(text.c_str(), bytes);
      break;
    }
    case XDS_TYPE_DOUBLE:
    case XDS_TYPE_CURRENCY:
      std::memcpy(bytes, in, 8);
      break;
    case XDS_TYPE_INTEGER:
    case XDS_TYPE_AUTOINC:
    case kTypeTime:
      std::memcpy(bytes, in, 4);
      break;
    case kTypeShortInteger:
      std::memcpy(bytes, in, 2);
      break;
    case XDS_TYPE_TIMESTAMP: {
      double value = Load<double>(in);
      double days = std::trunc(value / kMSecsPerDay);
      Store<int32_t>(bytes, static_cast<int32_t>(days) + kJulianOffset);
      Store<int32_t>(bytes + 4, static_cast<int32_t>(std::lround(value - days * kMSecsPerDayInt)));
      break;
    }
    case XDS_TYPE_RAW:
      std::memcpy(bytes, in, length);
      break;
    default:
      break;
  }
}

void TXdsDataSet::SetFieldData(TField& field, const void* source) {
  const TDataSetState state = State();
  switch (state) {
    case dsEdit:
    case dsInsert:
    case dsSetKey:
    case dsCalcFields:
    case dsFilter:
    case dsNewValue:
    case dsInternalCalc:
      break;
    default:
      XdsDatabaseError(this, dbmsg::kNotEditing);
  }
  if (state == dsSetKey && field.FieldNo() <= 0 && !IsIndexField(field)) {
    Error(Format(dbmsg::kNotCalcField, field.DisplayName().c_str()));
  }
  if (field.FieldNo() <= 0) {
    TRecordBuffer* buffer = state == dsInternalCalc ? CalcBuffer() : TDataSet::StateBuffer();
    if (buffer == nullptr) {
      return;
    }
    WriteCalcFieldData(field, Buf(buffer).Bytes() + CalcAreaOffset(), source);
    NotifyFieldWritten(field);
    return;
  }
  if (state == dsCalcFields) {
    XdsDatabaseError(this, dbmsg::kNotEditing);
  }
  if (field.ReadOnly() && state != dsSetKey && state != dsFilter) {
    Error(Format(dbmsg::kFieldReadOnly, field.DisplayName().c_str()));
  }
  TXCEFieldDef* def = xceFields_.ByNumber(field.FieldNo());
  uint8_t* image = nullptr;
  if (state == dsSetKey) {
    TXdsKeyBuffer& key = keyBuffers_[keyBuffer_];
    image = key.image.empty() ? nullptr : key.image.data();
  } else {
    TRecordBuffer* buffer = state == dsInternalCalc ? CalcBuffer() : TDataSet::StateBuffer();
    image = buffer == nullptr ? nullptr : Buf(buffer).Bytes();
    if (def != nullptr) {
      FinishFetchBeforeRead(buffer, def->type);
    }
  }
  if (def == nullptr || image == nullptr) {
    return;
  }
  if (state == dsEdit || state == dsInsert) {
    field.Validate(source);
  }
  if (field.FieldKind() != fkInternalCalc) {
    if (state == dsEdit && (def->permissions & XDS_PERMISSION_UPDATE) == 0) {
      RaiseXceError(this, kXdsPermissionError,
                    xdsmsg::kUpdatePermissionField + field.FieldName() + ".");
    }
    if (state == dsInsert && (def->permissions & XDS_PERMISSION_INSERT) == 0) {
      RaiseXceError(this, kXdsPermissionError,
                    xdsmsg::kInsertPermissionField + field.FieldName() + ".");
    }
  }
  // Encode into a copy first: a refused value leaves the record as it was.
  uint8_t encoded[512];
  std::vector<uint8_t> large;
  uint8_t* work = encoded;
  if (def->length > sizeof encoded) {
    large.resize(def->length);
    work = large.data();
  }
  std::memcpy(work, image + def->offset, def->length);
  EncodeFieldValue(field, *def, work, source);
  std::memcpy(image + def->offset, work, def->length);
  def->modified = true;
  if (state == dsSetKey) {
    TXdsKeyBuffer& key = keyBuffers_[keyBuffer_];
    size_t slot = static_cast<size_t>(def->number - 1);
    if (slot < key.lengths.size()) {
      key.lengths[slot] =
          field.DataType() == ftString && source != nullptr
              ? static_cast<uint16_t>(strnlen(static_cast<const char*>(source), def->length))
              : 1;
    }
  }
  NotifyFieldWritten(field);
}
