// Tables with chosen records for the filter and search tests, written
// straight through the engine so that they do not depend on the layer's own
// editing.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cp1251.h"
#include "xds_test_util.h"

namespace xdstest {

// Creates file in dir with the fields, appends the rows (every value as the
// engine's text, "" leaves a field blank; "*" as the last cell marks the
// record deleted) and creates the tags.
inline void WriteTable(const std::string& dir, const std::string& file,
                       const std::vector<XDSFIELDDEF>& fields,
                       const std::vector<std::vector<std::string>>& rows,
                       const std::vector<XDSTAGDEF>& tags, bool oem = false) {
  CreateTable(dir, file, fields, oem);
  XDSHANDLE c = 0;
  ASSERT_EQ(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), 0);
  XDSHANDLE t = 0;
  ASSERT_EQ(XdsOpenTable(c, file.c_str(), nullptr, XDS_TABLE_CDX,
                         oem ? XDS_CHAR_OEM : XDS_CHAR_ANSI, XDS_LOCK_PROPRIETARY,
                         XDS_RIGHTS_CHECK, XDS_OPEN_EXCLUSIVE, &t),
            0);
  for (const auto& row : rows) {
    ASSERT_EQ(XdsAppendRecord(t), 0);
    for (size_t i = 0; i < row.size() && i < fields.size(); ++i) {
      if (!row[i].empty()) {
        ASSERT_EQ(XdsSetField(t, static_cast<uint16_t>(i + 1), row[i].data(),
                              static_cast<uint32_t>(row[i].size())),
                  0)
            << row[i];
      }
    }
    if (row.size() > fields.size() && row.back() == "*") {
      ASSERT_EQ(XdsDeleteRecord(t), 0);
    }
    ASSERT_EQ(XdsWriteRecord(t), 0);
  }
  if (!tags.empty()) {
    ASSERT_EQ(XdsCreateIndexTags(t, static_cast<uint16_t>(tags.size()), tags.data()), 0);
  }
  EXPECT_EQ(XdsCloseTable(t), 0);
  EXPECT_EQ(XdsDisconnect(c), 0);
}

// Text written here in UTF-8 as the program's character set holds it.
inline std::string Ansi(std::string_view utf8) { return platform::Utf8ToCp1251(utf8); }

// The engine's optimized filter text of an open table ("" when none).
inline std::string EngineAof(XDSHANDLE table) {
  char text[1024] = {};
  uint16_t length = sizeof text;
  return XdsGetAOF(table, text, &length) == 0 ? std::string(text, length) : std::string();
}

inline uint16_t EngineExact(XDSHANDLE table) {
  uint16_t exact = 99;
  EXPECT_EQ(XdsGetExact22(table, &exact), 0);
  return exact;
}

// Every value of a field from the current record to the end.
inline std::vector<std::string> Column(TDataSet& t, const std::string& field) {
  std::vector<std::string> values;
  for (; !t.Eof(); t.Next()) {
    values.push_back(t.FieldByName(field)->AsString());
  }
  return values;
}

}  // namespace xdstest
