#include "catalogue.h"

#include <vector>

namespace xcetool {
namespace {

struct TableDef {
  const char* file;
  uint16_t charType;
  std::vector<XDSFIELDDEF> fields;
};

}  // namespace

XDSRESULT CreateCatalogue(XDSHANDLE connection) {
  // Ids are whole numbers up to 2 147 483 647: N(10,0) holds them all.
  const std::vector<TableDef> tables = {
      {"TEM.dbf",
       XDS_CHAR_ANSI,
       {{"INID", 'N', 10, 0}, {"INNAME", 'C', 50, 0}, {"PREIN", 'N', 10, 0}}},
      {"TYPE.DBF",
       XDS_CHAR_ANSI,
       {{"TYPE_ID", 'C', 10, 0}, {"TYPE_NAME", 'C', 100, 0}, {"TYPRPRESTR", 'C', 30, 0}}},
      {"URLIN.DBF", XDS_CHAR_ANSI, {{"TEM_ID", 'N', 10, 0}, {"URL_ID", 'N', 10, 0}}},
      {"urls.DBF",
       XDS_CHAR_OEM,
       {{"URL", 'C', 100, 0},
        {"NAME", 'C', 100, 0},
        {"DESCR", 'M', 10, 0},
        {"ADRESTYPE", 'C', 10, 0},
        {"URL_ID", 'N', 10, 0}}},
  };
  for (const TableDef& t : tables) {
    XDSRESULT r = XdsCreateTable(connection, t.file, t.charType,
                                 static_cast<uint16_t>(t.fields.size()), t.fields.data());
    if (r != 0) {
      return r;
    }
  }
  return 0;
}

}  // namespace xcetool
