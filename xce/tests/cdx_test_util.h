// Helpers shared by the index tests.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "cdx/cdx_file.h"
#include "cdx/memory_file.h"
#include "cdx/table_index.h"
#include "table.h"

namespace xce::cdx::testing {

inline std::vector<uint8_t> ReadBytes(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

inline std::filesystem::path FixturesDir() { return TAVO_FIXTURES_DIR; }

// Opens index bytes held in memory.
inline Status OpenBytes(const std::string& name, std::vector<uint8_t> bytes,
                        std::unique_ptr<CdxFile>* out, bool readOnly = true) {
  return CdxFile::Open(std::make_unique<MemoryFile>(name, std::move(bytes)), readOnly, out);
}

// Opens a table exclusively with its indexes (an empty set when it has none),
// with the engine's raw open options `raw`.
inline Status OpenTable(FileSystem* fs, const std::string& path, std::shared_ptr<Table>* t,
                        std::shared_ptr<TableIndexes>* indexes, uint32_t raw = 0) {
  OpenOptions o;
  o.exclusive = true;
  o.rawOptions = raw;
  XCE_RETURN_IF_ERROR(Table::Open(fs, path, o, t));
  XCE_RETURN_IF_ERROR(TableIndexes::Attach(*t, raw, indexes));
  if (*indexes == nullptr) {
    *indexes = TableIndexes::Ensure(*t);
  }
  return Status::Ok();
}

// Record numbers of a tag in its order.
inline std::vector<uint32_t> WalkRecnos(CdxTag* tag, Status* status) {
  std::vector<uint32_t> out;
  auto c = tag->NewCursor();
  for (c->SeekToFirst(); c->Valid(); c->Next()) {
    out.push_back(c->recno());
  }
  *status = c->status();
  return out;
}

}  // namespace xce::cdx::testing
