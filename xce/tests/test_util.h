// Shared helpers of the engine tests: temporary directories, file bytes and
// a table opened through the C API.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "temp_dir.h"
#include "xce.h"

namespace xcetest {

namespace fs = std::filesystem;

inline std::string LastError() {
  int32_t code = 0;
  char text[600];
  uint16_t len = sizeof text;
  XdsGetLastError(&code, text, &len);
  return std::to_string(code) + ": " + std::string(text, len);
}

inline int32_t LastCode() {
  int32_t code = 0;
  XdsGetLastError(&code, nullptr, nullptr);
  return code;
}

inline std::string ReadBytes(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteBytes(const fs::path& p, const std::string& bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline fs::path FixturesDir() { return fs::path(TAVO_FIXTURES_DIR); }

// Moves `handle` by n records. Moving off either end is how a walk ends, not
// a failure; any other result is one.
inline void SkipRecords(XDSHANDLE handle, int32_t n) {
  const XDSRESULT r = XdsSkip(handle, n);
  EXPECT_TRUE(r == 0 || r == XDS_ERR_NO_CURRENT_RECORD) << LastError();
}

using TempDir = testsupport::TempDir;

// A connection and at most one table, released on destruction.
class ApiTable {
 public:
  explicit ApiTable(const std::string& dir) {
    EXPECT_EQ(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &connection_), 0)
        << LastError();
  }
  ~ApiTable() {
    Close();
    if (connection_ != 0) {
      EXPECT_EQ(XdsDisconnect(connection_), 0);
    }
  }
  XDSRESULT Create(const std::string& name, std::vector<XDSFIELDDEF> fields,
                   uint16_t charType = XDS_CHAR_ANSI) {
    return XdsCreateTable(connection_, name.c_str(), charType, static_cast<uint16_t>(fields.size()),
                          fields.data());
  }
  XDSRESULT Open(const std::string& name, uint32_t options = XDS_OPEN_EXCLUSIVE,
                 uint16_t charType = XDS_CHAR_ANSI) {
    Close();
    return XdsOpenTable(connection_, name.c_str(), nullptr, XDS_TABLE_CDX, charType,
                        XDS_LOCK_PROPRIETARY, XDS_RIGHTS_CHECK, options, &table_);
  }
  XDSRESULT Close() {
    XDSRESULT r = 0;
    if (table_ != 0) {
      r = XdsCloseTable(table_);
      table_ = 0;
    }
    return r;
  }
  // Appends one record from field texts (empty strings are left blank).
  XDSRESULT Append(const std::vector<std::string>& values) {
    XDSRESULT r = XdsAppendRecord(table_);
    for (std::size_t i = 0; r == 0 && i < values.size(); ++i) {
      if (!values[i].empty()) {
        r = XdsSetField(table_, static_cast<uint16_t>(i + 1), values[i].data(),
                        static_cast<uint32_t>(values[i].size()));
      }
    }
    return r == 0 ? XdsWriteRecord(table_) : r;
  }
  std::string Field(uint16_t field, uint16_t options = XDS_GET_NO_TRIM) {
    std::vector<char> buf(1 << 16);
    uint32_t len = static_cast<uint32_t>(buf.size());
    XDSRESULT r = XdsGetField(table_, field, buf.data(), &len, options);
    EXPECT_EQ(r, 0) << LastError();
    return r == 0 ? std::string(buf.data(), len) : std::string();
  }
  uint32_t Recno() {
    uint32_t r = 0;
    EXPECT_EQ(XdsGetRecordNum(table_, XDS_COUNT_IGNORE_FILTERS, &r), 0);
    return r;
  }
  uint32_t Count(uint16_t option = XDS_COUNT_IGNORE_FILTERS) {
    uint32_t n = 0;
    EXPECT_EQ(XdsGetRecordCount(table_, option, &n), 0) << LastError();
    return n;
  }
  bool Eof() {
    uint16_t f = 0;
    EXPECT_EQ(XdsAtEOF(table_, &f), 0);
    return f != 0;
  }
  bool Bof() {
    uint16_t f = 0;
    EXPECT_EQ(XdsAtBOF(table_, &f), 0);
    return f != 0;
  }
  XDSHANDLE connection() const { return connection_; }
  XDSHANDLE table() const { return table_; }

 private:
  XDSHANDLE connection_ = 0;
  XDSHANDLE table_ = 0;
};

}  // namespace xcetest
