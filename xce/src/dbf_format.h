// DBF file layout: the fixed header, field descriptors, record images and the
// text forms of field values. Everything read from disk is checked here
// before the rest of the engine trusts it. Layout described in
// docs/formats.md, "DBF table file".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "byte_order.h"
#include "xce/status.h"

namespace xce {

// Engine field types as callers see them (XdsGetFieldType).
enum EngineType : uint16_t {
  kTypeUnknown = 0,
  kTypeLogical = 1,
  kTypeNumeric = 2,
  kTypeDate = 3,
  kTypeString = 4,
  kTypeMemo = 5,
  kTypeBinary = 6,
  kTypeImage = 7,
  kTypeVarchar = 8,
  kTypeCompactDate = 9,
  kTypeDouble = 10,
  kTypeInteger = 11,
  kTypeShort = 12,
  kTypeTime = 13,
  kTypeTimestamp = 14,
  kTypeAutoInc = 15,
  kTypeRaw = 16,
  kTypeCurrency = 17,
};

constexpr std::size_t kHeaderSize = 32;

// The table's 32-byte fixed header. Its offsets are named here once; a
// caller that rewrites a part of it in place (the date, the record count,
// the flags) writes the byte range these name.
constexpr std::size_t kHeaderVersion = 0;
constexpr std::size_t kHeaderDate = 1;  // Y % 100, M, D
constexpr std::size_t kHeaderDateSize = 3;
constexpr std::size_t kHeaderRecordCount = 4;  // LE32
constexpr std::size_t kHeaderLength = 8;       // LE16, file offset of record 1
constexpr std::size_t kHeaderRecordLength = 10;  // LE16, deletion flag included
constexpr std::size_t kHeaderTableFlags = 28;
constexpr std::size_t kHeaderCodePageMark = 29;

struct DbfFileHeader {
  uint8_t version = 0x03;
  uint8_t date[kHeaderDateSize] = {0, 0, 0};
  uint32_t recordCount = 0;
  uint16_t headerLength = 0;
  uint16_t recordLength = 0;
  uint8_t tableFlags = 0;
  uint8_t codePageMark = 0;
};

// `bytes` holds kHeaderSize bytes. Encoding writes the named fields only and
// leaves the reserved bytes as they are.
DbfFileHeader DecodeDbfHeader(const uint8_t* bytes);
void EncodeDbfHeader(const DbfFileHeader& h, uint8_t* bytes);
constexpr std::size_t kDescriptorSize = 32;
constexpr std::size_t kVfpBacklinkSize = 263;
constexpr unsigned char kLiveFlag = 0x20;
constexpr unsigned char kDeletedFlag = 0x2A;
constexpr unsigned char kEofByte = 0x1A;
constexpr unsigned char kTableFlagCdx = 0x01;
constexpr unsigned char kTableFlagMemo = 0x02;
constexpr unsigned char kCodePageMark866 = 0x65;
constexpr unsigned char kCodePageMark1251 = 0xC9;

enum class MemoKind { kNone, kFpt, kDbt3, kDbt4 };

struct FieldInfo {
  std::string name;     // as stored (upper case in files we write)
  char type = 'C';      // descriptor type letter
  uint32_t offset = 0;  // inside the record image; byte 0 is the deletion flag
  uint32_t length = 0;
  uint8_t decimals = 0;
  uint8_t flags = 0;  // VFP field flags
  EngineType engineType = kTypeUnknown;
  bool isMemo = false;             // value lives in the memo file
  bool binaryMemo = false;         // memo holds bytes, not text (no code page conversion)
  bool binaryMemoPointer = false;  // 4-byte LE block pointer (VFP) instead of 10 digits
  // Visual FoxPro null and varlength bits in the hidden _NullFlags field
  // (-1: the field has none).
  int32_t nullBit = -1;
  int32_t varBit = -1;
  uint32_t nullFlagsOffset = 0;
  uint32_t nullFlagsLength = 0;
  // Where the field's descriptor sits in the file, and an autoincrement
  // field's counter kept in it: the next value and the step.
  uint32_t descriptorOffset = 0;
  int32_t autoNext = 0;
  uint8_t autoStep = 0;
};

// The 32-byte field descriptor. Its offsets are named here once; the
// autoincrement counter is also read and written in place by appends.
constexpr std::size_t kDescriptorName = 0;  // 11 bytes, NUL padded
constexpr std::size_t kDescriptorNameSize = 11;
constexpr std::size_t kDescriptorType = 11;
constexpr std::size_t kDescriptorFieldOffset = 12;  // LE32, offset inside the record
constexpr std::size_t kDescriptorLength = 16;
constexpr std::size_t kDescriptorDecimals = 17;
constexpr std::size_t kDescriptorFlags = 18;
constexpr std::size_t kDescriptorAutoNext = 19;  // LE32
constexpr std::size_t kDescriptorAutoStep = 23;

struct DbfFieldDescriptor {
  std::string name;  // up to the first NUL, at most 11 bytes
  uint8_t type = 'C';
  uint32_t fieldOffset = 0;
  uint8_t length = 0;
  uint8_t decimals = 0;
  uint8_t flags = 0;
  uint32_t autoNext = 0;
  uint8_t autoStep = 0;
};

// `bytes` holds kDescriptorSize bytes. Encoding writes the named fields only
// (a name longer than 11 bytes is cut) and leaves the reserved bytes as they are.
DbfFieldDescriptor DecodeFieldDescriptor(const uint8_t* bytes);
void EncodeFieldDescriptor(const DbfFieldDescriptor& d, uint8_t* bytes);

struct DbfLayout {
  uint8_t version = 0x03;
  uint32_t recordCount = 0;
  uint32_t headerLength = 0;
  uint32_t recordLength = 1;
  uint8_t tableFlags = 0;
  uint8_t codePageMark = 0;
  std::vector<FieldInfo> fields;
  MemoKind memoKind = MemoKind::kNone;
  bool hasMemoFields = false;
  bool hasStructuralCdx() const { return (tableFlags & kTableFlagCdx) != 0; }
};

// Parses and checks a header. `head` holds the first bytes of the file (at
// least min(fileSize, 65535 + 1) when available). Errors name `path`.
Status ParseDbfHeader(const std::string& path, const uint8_t* head, std::size_t headSize,
                      uint64_t fileSize, DbfLayout* out);

// One field definition as a caller gives it to table creation.
struct FieldSpec {
  std::string name;
  char type = 'C';
  uint32_t length = 0;
  uint32_t decimals = 0;
};

// Checks the definitions and builds the complete header bytes of a new, empty
// table (no records, no EOF byte). `oem` selects the 866 code page mark.
Status BuildDbfHeader(const std::string& path, const std::vector<FieldSpec>& specs, bool oem,
                      std::vector<uint8_t>* header, DbfLayout* layout);

// Writes the header's date bytes (offset 1..3) for today into `date3`.
void TodayHeaderDate(uint8_t date3[3]);

// The record image of a new record: live flag, every field empty.
void BlankRecord(const DbfLayout& layout, char* image);
void BlankField(const FieldInfo& f, char* image);

// Field content tests and conversions over a record image.
bool FieldIsNull(const FieldInfo& f, const char* image);
// Bytes of a character field's value: its length, or less for a V field
// whose varlength bit says the real length is in its last byte.
uint32_t FieldValueLength(const FieldInfo& f, const char* image);
// Clears the field's null bit and, as a full-length value, its varlength bit.
void ClearNullAndVarBits(const FieldInfo& f, char* image);
bool FieldIsEmpty(const FieldInfo& f, const char* image);
uint32_t MemoBlock(const FieldInfo& f, const char* image);  // 0 when none or unreadable
void SetMemoBlock(const FieldInfo& f, char* image, uint32_t block);

// Julian day numbers (day 0 = 1 Jan 4713 BC, proleptic Julian).
int64_t JulianFromYmd(int y, int m, int d);
void YmdFromJulian(int64_t jd, int* y, int* m, int* d);
// "YYYYMMDD" <-> Julian day; false on text that is no valid date.
[[nodiscard]] bool JulianFromText(std::string_view text, int64_t* jd);
std::string TextFromJulian(int64_t jd);

// Text form of a field value in the dump CSV format (numbers plain decimal
// with the field's decimals, dates YYYYMMDD, logical T/F, timestamps
// YYYYMMDDhhmmssfff). Character and memo fields are not handled here.
std::string FieldDisplayText(const FieldInfo& f, const char* image);

// The display text of a stored N/F value that is plain (blanks, an optional
// minus, digits, an optional point and no more decimals than shown), written
// to out (kPlainNumberRoom bytes) in one pass; 0 for any other form, which
// FieldDisplayText converts the general way.
constexpr std::size_t kPlainNumberMaxStored = 32;
constexpr int kPlainNumberMaxDecimals = 30;
constexpr std::size_t kPlainNumberRoom = kPlainNumberMaxStored + kPlainNumberMaxDecimals + 4;
std::size_t PlainNumericText(std::string_view stored, int decimals, char* out);

// Encodes a value given as text into the field (the inverse of the display
// text for every writable type). Character fields are padded with blanks.
Status EncodeFieldText(const std::string& path, const FieldInfo& f, std::string_view text,
                       char* image);

// Numeric text of `value` right-aligned in `width` with `decimals`; false when
// it does not fit.
[[nodiscard]] bool FormatNumeric(double value, uint32_t width, uint32_t decimals, std::string* out);

// ASCII-only case-insensitive equality, for field and file names.
bool EqualsNoCase(std::string_view a, std::string_view b);

}  // namespace xce
