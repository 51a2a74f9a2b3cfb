// Catalogue folders for the section tree's and the program's tests: the
// four empty tables made by the table tool's code, rows put straight into
// them through the engine, and what a table holds and what its check says.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "xce.h"

namespace cattest {

namespace fs = std::filesystem;

struct Row {
  int32_t id;
  int32_t parent;
  std::string name;  // Windows-1251
  bool operator==(const Row&) const = default;
};

// Windows-1251 bytes of UTF-8 text (Russian letters and ASCII only).
std::string Cp1251(const std::string& utf8);

// A connection to dir for the duration of one helper call.
class EngineConnection {
 public:
  explicit EngineConnection(const fs::path& dir);
  ~EngineConnection();
  XDSHANDLE handle() const { return handle_; }

 private:
  XDSHANDLE handle_ = 0;
};

// Makes the four empty catalogue tables in dir.
void CreateCatalogue(const fs::path& dir);

// Appends rows to the sections table of dir (id, parent, name).
void AppendSections(const fs::path& dir, const std::vector<Row>& rows);

// Appends membership rows (section id, URL id) to dir's URLIN.DBF.
void AppendMemberships(const fs::path& dir, const std::vector<std::pair<int, int>>& rows);

// The rows of dir's sections table in stored order, deleted ones left out;
// a failure to open it is a test failure.
std::vector<Row> Sections(const fs::path& dir);

// How many records the URL table of dir holds, those marked deleted
// included.
uint32_t StoredUrlRecords(const fs::path& dir);

// What the engine's check finds wrong with a table of dir ("" when sound).
std::string CheckTable(const fs::path& dir, const std::string& table);

// The records of a table of dir as Debian's python3-dbf reads them, one line
// per record not marked deleted, fields separated by "|", text fields
// trimmed and in UTF-8, whole numbers without decimals. nullopt when
// python3-dbf is not installed; a line "error: ..." when it fails.
std::optional<std::string> PythonDbfRecords(const fs::path& dir, const std::string& table,
                                            const std::string& codepage);

}  // namespace cattest
