// Shared set-up of the table layer's tests: temporary directories holding
// real tables, the shared fixture sets copied into them, and components
// opened on them.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "temp_dir.h"
#include "xds/xds.h"

namespace xdstest {

namespace fs = std::filesystem;

using TempDir = testsupport::TempDir;

inline fs::path FixturesDir() { return fs::path(TAVO_FIXTURES_DIR); }

// Copies a fixture set (catalogue, types, big) into dir; false when the
// shared fixtures are absent.
inline bool CopyFixtureSet(const std::string& set, const TempDir& dir) {
  fs::path from = FixturesDir() / set;
  std::error_code ec;
  if (!fs::is_directory(from, ec)) {
    return false;
  }
  for (const auto& entry : fs::directory_iterator(from)) {
    if (entry.path().extension() != ".csv") {
      fs::copy_file(entry.path(), dir / entry.path().filename().string(),
                    fs::copy_options::overwrite_existing);
    }
  }
  return true;
}

#define XDS_REQUIRE_FIXTURES(set, dir)                                                     \
  if (!::xdstest::CopyFixtureSet(set, dir)) {                                              \
    GTEST_SKIP() << "shared fixtures not found at " << ::xdstest::FixturesDir().string(); \
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

// The CSV of a fixture set, one vector of cells per line.
inline std::vector<std::vector<std::string>> ReadCsv(const std::string& set,
                                                     const std::string& name) {
  std::ifstream in(FixturesDir() / set / name);
  std::vector<std::vector<std::string>> rows;
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> cells;
    std::stringstream ss(line);
    std::string cell;
    while (std::getline(ss, cell, ';')) {
      cells.push_back(cell);
    }
    if (!line.empty() && line.back() == ';') {
      cells.emplace_back();
    }
    rows.push_back(cells);
  }
  return rows;
}

inline std::string FromHex(const std::string& hex) {
  std::string bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// Creates a table through the engine in dir (CP1251 unless oem).
inline void CreateTable(const std::string& dir, const std::string& name,
                        const std::vector<XDSFIELDDEF>& fields, bool oem = false) {
  XDSHANDLE c = 0;
  ASSERT_EQ(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), 0);
  ASSERT_EQ(XdsCreateTable(c, name.c_str(), oem ? XDS_CHAR_OEM : XDS_CHAR_ANSI,
                           static_cast<uint16_t>(fields.size()), fields.data()),
            0);
  EXPECT_EQ(XdsDisconnect(c), 0);
}

// A connection to dir with the catalogue's settings, connected.
inline std::unique_ptr<TXdsConnection> Connect(const std::string& dir) {
  auto c = std::make_unique<TXdsConnection>("Form1");
  c->SetName("XdsConnection1");
  c->XdsServerTypes = stXDS_LOCAL;
  c->LoginPrompt = false;
  c->SetConnectPath(dir);
  c->SetIsConnected(true);
  return c;
}

// Creates one table through the engine in dir (CP1251 unless oem), then
// connects to dir as Connect does.
inline std::unique_ptr<TXdsConnection> CreateAndConnect(const TempDir& dir, const std::string& name,
                                                        const std::vector<XDSFIELDDEF>& fields,
                                                        bool oem = false) {
  CreateTable(dir.str(), name, fields, oem);
  return Connect(dir.str());
}

// A test on a copy of the catalogue fixture set in a temporary directory and
// a connection to it, which the test body uses as dir and c.
class CatalogueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    XDS_REQUIRE_FIXTURES("catalogue", dir);
    c = Connect(dir.str());
  }

  TempDir dir;
  std::unique_ptr<TXdsConnection> c;
};

// A table component on a connection, CDX, not open.
template <class T = TXdsTable>
inline std::unique_ptr<T> TableComponent(TXdsConnection& c, const std::string& name,
                                         const std::string& tableName, bool exclusive) {
  auto t = std::make_unique<T>();
  t->SetName(name);
  t->SetOwnerName("Form1");
  t->SetXdsConnection(&c);
  t->SetTableType(ttXdsCDX);
  t->SetTableName(tableName);
  t->SetExclusive(exclusive);
  return t;
}

inline std::unique_ptr<TXdsTable> Table(TXdsConnection& c, const std::string& name,
                                        const std::string& tableName, bool exclusive = true) {
  return TableComponent(c, name, tableName, exclusive);
}

// The catalogue's URL table set up as the program sets it: CP866 text, an
// index built under another collation rebuilt; not open.
inline std::unique_ptr<TXdsTable> UrlTable(TXdsConnection& c, bool exclusive = true) {
  auto t = Table(c, "HDSUrls", "urls.DBF", exclusive);
  t->XdsTableOptions().SetXdsCharType(OEM);
  t->SetIndexCollationMismatch(icmReindex);
  return t;
}

}  // namespace xdstest

namespace xdstest {

// A table component whose record buffers and states tests may look into.
class ProbeTable : public TXdsTable {
 public:
  using TDataSet::ActiveBuffer;
  using TDataSet::RestoreState;
  using TDataSet::SetTempState;
  // The active buffer's record image.
  const uint8_t* Image() const { return Buf(ActiveBuffer()).Bytes(); }
  uint8_t* MutableImage() { return Buf(ActiveBuffer()).Bytes(); }
  int RecordSize() const { return recordSize_; }
  // Runs body with the dataset in state, as the framework does for a
  // moment (no events).
  template <class F>
  void InState(TDataSetState state, F&& body) {
    TDataSetState saved = SetTempState(state);
    try {
      body();
    } catch (...) {
      RestoreState(saved);
      throw;
    }
    RestoreState(saved);
  }
};

inline std::unique_ptr<ProbeTable> Probe(TXdsConnection& c, const std::string& name,
                                         const std::string& tableName, bool exclusive = true) {
  return TableComponent<ProbeTable>(c, name, tableName, exclusive);
}

// The CP1251 text of CP866 bytes (Cyrillic letters; ASCII as it is).
inline std::string Cp866To1251(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x80 && c <= 0xAF) {
      out.push_back(static_cast<char>(c + 0x40));
    } else if (c >= 0xE0 && c <= 0xEF) {
      out.push_back(static_cast<char>(c + 0x10));
    } else if (c == 0xF0) {
      out.push_back(static_cast<char>(0xA8));
    } else if (c == 0xF1) {
      out.push_back(static_cast<char>(0xB8));
    } else {
      out.push_back(static_cast<char>(c));
    }
  }
  return out;
}

inline std::string RightTrim(std::string s) {
  while (!s.empty() && s.back() == ' ') {
    s.pop_back();
  }
  return s;
}

}  // namespace xdstest
