// Shared set-up of the dump tests over tables written by other software:
// the tables they dump, their reference CSVs, and opening one read-only.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "csv_dump.h"

namespace fixturetable {

namespace fs = std::filesystem;

inline fs::path Fixtures() { return fs::path(TAVO_FIXTURES_DIR); }

// The fixture tables every dump test goes through, relative to Fixtures().
inline const std::vector<std::string> kTables = {"catalogue/TEM.dbf",   "catalogue/TYPE.DBF",
                                                 "catalogue/URLIN.DBF", "catalogue/urls.DBF",
                                                 "types/ALLTYPES.DBF",  "big/BIG.DBF"};

inline std::string ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Connects to the table's folder and opens it read-only (CDX, CP1251);
// callers wrap it in ASSERT_NO_FATAL_FAILURE.
inline void OpenReadOnly(const fs::path& table, XDSHANDLE* c, XDSHANDLE* t) {
  ASSERT_EQ(XdsConnect60(table.parent_path().c_str(), XDS_SERVER_LOCAL, "", "", 0, c), 0);
  ASSERT_EQ(XdsOpenTable(*c, table.filename().c_str(), nullptr, XDS_TABLE_CDX, XDS_CHAR_ANSI, 1, 1,
                         XDS_OPEN_READONLY, t),
            0)
      << xcetool::LastErrorText();
}

}  // namespace fixturetable
