#include "catalogue.h"

#include <vector>

namespace xcetool {
namespace {

struct TagDef {
  const char* name;
  const char* key;
};

struct TableDef {
  const char* file;
  uint16_t charType;
  std::vector<XDSFIELDDEF> fields;
  std::vector<TagDef> tags;
};

}  // namespace

XDSRESULT CreateCatalogue(XDSHANDLE connection) {
  // Ids are whole numbers up to 2 147 483 647: N(10,0) holds them all.
  const std::vector<TableDef> tables = {
      {"TEM.dbf",
       XDS_CHAR_ANSI,
       {{"INID", 'N', 10, 0}, {"INNAME", 'C', 50, 0}, {"PREIN", 'N', 10, 0}},
       {{"INID", "INID"}, {"INNAME", "INNAME"}}},
      {"TYPE.DBF",
       XDS_CHAR_ANSI,
       {{"TYPE_ID", 'C', 10, 0}, {"TYPE_NAME", 'C', 100, 0}, {"TYPRPRESTR", 'C', 30, 0}},
       {{"TYPE_ID", "TYPE_ID"}, {"TYPE_NAME", "TYPE_NAME"}}},
      {"URLIN.DBF",
       XDS_CHAR_ANSI,
       {{"TEM_ID", 'N', 10, 0}, {"URL_ID", 'N', 10, 0}},
       // TEMURL orders by section, then URL id; nothing selects it.
       {{"TEMURL", "STR(TEM_ID,10)+STR(URL_ID,10)"}, {"TEM_ID", "TEM_ID"}, {"TEM_URL", "URL_ID"}}},
      {"urls.DBF",
       XDS_CHAR_OEM,
       {{"URL", 'C', 100, 0},
        {"NAME", 'C', 100, 0},
        {"DESCR", 'M', 10, 0},
        {"ADRESTYPE", 'C', 10, 0},
        {"URL_ID", 'N', 10, 0}},
       {{"URL", "URL"}, {"URL_ID", "URL_ID"}, {"NAME", "NAME"}, {"ADRESTYPE", "ADRESTYPE"}}},
  };
  for (const TableDef& t : tables) {
    XDSRESULT r = XdsCreateTable(connection, t.file, t.charType,
                                 static_cast<uint16_t>(t.fields.size()), t.fields.data());
    if (r != 0) {
      return r;
    }
    XDSHANDLE table = 0;
    r = XdsOpenTable(connection, t.file, nullptr, XDS_TABLE_CDX, t.charType, XDS_LOCK_PROPRIETARY,
                     XDS_RIGHTS_CHECK, XDS_OPEN_EXCLUSIVE, &table);
    for (std::size_t i = 0; r == 0 && i < t.tags.size(); ++i) {
      r = XdsCreateIndexTag(table, t.tags[i].name, t.tags[i].key, "", 0, 0);
    }
    if (table != 0) {
      XDSRESULT closed = XdsCloseTable(table);
      r = r != 0 ? r : closed;
    }
    if (r != 0) {
      return r;
    }
  }
  return 0;
}

}  // namespace xcetool
