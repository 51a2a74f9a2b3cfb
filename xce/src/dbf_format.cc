#include "dbf_format.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <set>

#include "ascii.h"

namespace xce {
namespace {

Status Corrupt(const std::string& path, const std::string& what) {
  return Status(kErrCorrupt, "Table " + path + " is damaged: " + what);
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

// A table definition that cannot be created.
Status CannotCreate(const std::string& path, const std::string& what) {
  return Status(kErrBadArgument, "Cannot create table " + path + ": " + what);
}

// The length, decimals and type of a new field from its definition; sets
// *vfp for the types only newer tables hold and *memo for a memo field.
// REQUIRES: f->name is the definition's name in upper case.
Status FieldFromSpec(const std::string& path, const FieldSpec& s, FieldInfo* f, bool* vfp,
                     bool* memo) {
  auto bad = [&](const std::string& what) { return CannotCreate(path, what); };
  const std::string& name = f->name;
  f->type = static_cast<char>(std::toupper(static_cast<unsigned char>(s.type)));
  uint32_t len = s.length;
  uint32_t dec = s.decimals;
  auto fixed = [&](uint32_t n) { return len == 0 || len == n; };
  switch (f->type) {
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
      *memo = true;
      len = 0;  // decided below by the flavour
      dec = 0;
      break;
    case 'I':
      if (!fixed(4)) {
        return bad("integer field " + name + " must have length 4");
      }
      *vfp = true;
      len = 4;
      dec = 0;
      break;
    case 'B':
      if (!fixed(8) || dec > 15) {
        return bad("double field " + name + " must have length 8");
      }
      *vfp = true;
      len = 8;
      break;
    case 'T':
      if (!fixed(8)) {
        return bad("timestamp field " + name + " must have length 8");
      }
      *vfp = true;
      len = 8;
      dec = 0;
      break;
    case 'Y':
      if (!fixed(8)) {
        return bad("currency field " + name + " must have length 8");
      }
      *vfp = true;
      len = 8;
      dec = 4;
      break;
    default:
      return bad("field " + name +
                 " has a type the engine does not write: " + std::string(1, f->type));
  }
  f->length = len;
  f->decimals = static_cast<uint8_t>(dec);
  return Status::Ok();
}

}  // namespace

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
  auto bad = [&](const std::string& what) { return CannotCreate(path, what); };
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
    XCE_RETURN_IF_ERROR(FieldFromSpec(path, s, &f, &vfp, &memo));
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

}  // namespace xce
