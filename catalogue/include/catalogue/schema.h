// The catalogue's four tables: their definitions, and creating them empty.
// The one description of their files: the program declares its table
// components from it, and the tools make and open the tables by it.
#pragma once

#include <string>
#include <vector>

#include "xce.h"

namespace catalogue {

struct CatalogueTag {
  const char* name;
  const char* key;
};

struct CatalogueTable {
  const char* file;
  uint16_t charType;
  std::vector<XDSFIELDDEF> fields;
  std::vector<CatalogueTag> tags;
};

// TEM.dbf (sections), TYPE.DBF (link types), URLIN.DBF (memberships) and
// urls.DBF (URL records, with urls.FPT), in that order.
const std::vector<CatalogueTable>& CatalogueTables();
enum CatalogueTableIndex { kTem = 0, kType = 1, kUrlIn = 2, kUrls = 3 };

// The sections table's fields: a section's id, its parent's id (0 for a
// top-level section) and its name.
inline constexpr char kSectionId[] = "INID";
inline constexpr char kSectionParent[] = "PREIN";
inline constexpr char kSectionName[] = "INNAME";

// Characters of the text fields whose values are cut to fit: a section's
// name, a URL record's address (its first part, see whole_address.h) and
// its name.
inline constexpr uint16_t kSectionNameLength = 50;
inline constexpr uint16_t kUrlFieldLength = 100;
inline constexpr uint16_t kUrlNameLength = 100;

// Creates the four tables with their index tags in the connection's
// directory. Stops at the first failure and returns its result.
[[nodiscard]] XDSRESULT CreateCatalogue(XDSHANDLE connection);

// Creates the four tables without index tags, for callers that fill them in
// bulk and build the tags afterwards with CreateCatalogueTags.
[[nodiscard]] XDSRESULT CreateCatalogueTables(XDSHANDLE connection);

// Builds every tag of `def` on an exclusively open table in one pass.
[[nodiscard]] XDSRESULT CreateCatalogueTags(XDSHANDLE table, const CatalogueTable& def);

// Opens one catalogue table of the connection's directory with the
// catalogue's own options (its code page, exclusive unless `shared`).
[[nodiscard]] XDSRESULT OpenCatalogueTable(XDSHANDLE connection, const CatalogueTable& def,
                                           bool shared, XDSHANDLE* table);

// The catalogue's files (tables, memo and index files, the table of whole
// addresses' too) present in `dir`,
// letter case ignored; empty when the folder holds none or does not exist.
std::vector<std::string> CatalogueFilesIn(const std::string& dir);

// Whether `name` is a plain file name (no folder) of one of those files.
bool IsCatalogueFileName(const std::string& name);

}  // namespace catalogue
