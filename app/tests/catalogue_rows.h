// Catalogue records put into and read out of a catalogue folder's tables
// through the engine, past the program, for tests that check what the
// windows stored.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "catalogue/schema.h"
#include "catalogue_test_util.h"
#include "cp1251.h"
#include "xce.h"

namespace apptest {

using Values = std::map<std::string, std::string>;  // field name -> UTF-8 text

// Records put straight into a catalogue table of `dir` through the engine.
inline void Put(const std::filesystem::path& dir, catalogue::CatalogueTableIndex table,
                const std::vector<Values>& records) {
  cattest::EngineConnection c(dir);
  XDSHANDLE t = 0;
  ASSERT_EQ(catalogue::OpenCatalogueTable(c.handle(), catalogue::CatalogueTables()[table], false, &t),
            0);
  for (const Values& record : records) {
    ASSERT_EQ(XdsAppendRecord(t), 0);
    for (const auto& [name, utf8] : record) {
      uint16_t no = 0;
      ASSERT_EQ(XdsGetFieldNumber(t, name.c_str(), &no), 0) << name;
      std::string text = platform::Utf8ToCp1251(utf8);
      ASSERT_EQ(XdsSetField(t, no, text.data(), static_cast<uint32_t>(text.size())), 0);
    }
    ASSERT_EQ(XdsWriteRecord(t), 0);
  }
  ASSERT_EQ(XdsCloseTable(t), 0);
}

// Every record stored in a table of `dir`, the deleted ones too ("*" first
// when deleted), as "field|field|..." in UTF-8, trimmed.
inline std::vector<std::string> Stored(const std::filesystem::path& dir, catalogue::CatalogueTableIndex table,
                                const std::vector<std::string>& fields) {
  cattest::EngineConnection c(dir);
  XDSHANDLE t = 0;
  std::vector<std::string> rows;
  EXPECT_EQ(catalogue::OpenCatalogueTable(c.handle(), catalogue::CatalogueTables()[table], true, &t),
            0);
  uint32_t count = 0;
  EXPECT_EQ(XdsGetRecordCount(t, XDS_COUNT_IGNORE_FILTERS, &count), 0);
  for (uint32_t r = 1; r <= count; ++r) {
    EXPECT_EQ(XdsGotoRecord(t, r), 0);
    uint16_t deleted = 0;
    EXPECT_EQ(XdsIsRecordDeleted(t, &deleted), 0);
    std::string row = deleted ? "*" : "";
    for (const std::string& name : fields) {
      uint16_t no = 0;
      EXPECT_EQ(XdsGetFieldNumber(t, name.c_str(), &no), 0) << name;
      std::vector<char> buf(1 << 12);
      uint32_t len = static_cast<uint32_t>(buf.size());
      EXPECT_EQ(XdsGetField(t, no, buf.data(), &len, XDS_GET_TRIM), 0);
      row += (row.empty() || row == "*" ? "" : "|") + platform::Cp1251ToUtf8({buf.data(), len});
    }
    rows.push_back(row);
  }
  EXPECT_EQ(XdsCloseTable(t), 0);
  return rows;
}

}  // namespace apptest
