#include "csv_dump.h"

#include <string>
#include <vector>

namespace xcetool {
namespace {

std::string Hex(const std::string& bytes) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string s;
  s.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    s += kHex[c >> 4];
    s += kHex[c & 15];
  }
  return s;
}

struct Column {
  uint16_t number;
  uint16_t type;
  uint16_t length;
};

}  // namespace

std::string LastErrorText() {
  int32_t code = 0;
  char text[600];
  uint16_t length = sizeof text;
  XdsGetLastError(&code, text, &length);
  return std::string(text, length);
}

XDSRESULT DumpCsv(XDSHANDLE table, std::ostream& out, XDSHANDLE order) {
  const XDSHANDLE mover = order != 0 ? order : table;
  uint16_t count = 0;
  XDSRESULT r = XdsGetNumFields(table, &count);
  if (r != 0) {
    return r;
  }
  std::vector<Column> columns;
  for (uint16_t f = 1; f <= count; ++f) {
    Column c{f, 0, 0};
    if ((r = XdsGetFieldType(table, f, &c.type)) != 0 ||
        (r = XdsGetFieldLength(table, f, &c.length)) != 0) {
      return r;
    }
    if (c.type != 0) {  // hidden system fields are not shown
      columns.push_back(c);
    }
  }
  std::string value;
  std::string line;
  if ((r = XdsGotoTop(mover)) != 0) {
    return r;
  }
  for (;;) {
    uint16_t eof = 0;
    if ((r = XdsAtEOF(table, &eof)) != 0) {
      return r;
    }
    if (eof != 0) {
      break;
    }
    uint32_t recno = 0;
    uint16_t deleted = 0;
    if ((r = XdsGetRecordNum(table, XDS_COUNT_IGNORE_FILTERS, &recno)) != 0 ||
        (r = XdsIsRecordDeleted(table, &deleted)) != 0) {
      return r;
    }
    line = std::to_string(recno) + (deleted != 0 ? ";*" : "; ");
    for (const Column& c : columns) {
      uint32_t length = 0;
      bool memo = c.type >= XDS_TYPE_MEMO && c.type <= XDS_TYPE_VARCHAR;
      if (memo) {
        if ((r = XdsGetMemoLength(table, c.number, &length)) != 0) {
          return r;
        }
      } else {
        length = c.length + 400u;  // a double prints with up to 309 digits
      }
      value.resize(length + 1);
      uint32_t got = static_cast<uint32_t>(value.size());
      if ((r = XdsGetField(table, c.number, value.data(), &got, XDS_GET_NO_TRIM)) != 0) {
        return r;
      }
      value.resize(got);
      line += ';';
      line += (memo || c.type == XDS_TYPE_STRING) ? Hex(value) : value;
    }
    line += '\n';
    out << line;
    r = XdsSkip(mover, 1);
    if (r != 0 && r != XDS_ERR_NO_CURRENT_RECORD) {
      return r;
    }
  }
  return 0;
}

}  // namespace xcetool
