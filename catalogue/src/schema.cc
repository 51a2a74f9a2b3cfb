#include "catalogue/schema.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "catalogue/whole_address.h"

namespace catalogue {

const std::vector<CatalogueTable>& CatalogueTables() {
  // Ids are whole numbers up to 2 147 483 647: N(10,0) holds them all.
  static const std::vector<CatalogueTable> tables = {
      {"TEM.dbf",
       XDS_CHAR_ANSI,
       {{kSectionId, 'N', 10, 0},
        {kSectionName, 'C', kSectionNameLength, 0},
        {kSectionParent, 'N', 10, 0}},
       {{kSectionId, kSectionId}, {kSectionName, kSectionName}}},
      {"TYPE.DBF",
       XDS_CHAR_ANSI,
       {{"TYPE_ID", 'C', 10, 0}, {"TYPE_NAME", 'C', 100, 0}, {"TYPRPRESTR", 'C', 30, 0}},
       {{"TYPE_ID", "TYPE_ID"}, {"TYPE_NAME", "TYPE_NAME"}}},
      {"URLIN.DBF",
       XDS_CHAR_ANSI,
       {{"TEM_ID", 'N', 10, 0}, {"URL_ID", 'N', 10, 0}},
       // TEMURL orders by section, then URL id; nothing selects it. TEM_URL
       // keys on URL_ID alone, whatever its name says.
       {{"TEMURL", "STR(TEM_ID,10)+STR(URL_ID,10)"}, {"TEM_ID", "TEM_ID"}, {"TEM_URL", "URL_ID"}}},
      {"urls.DBF",
       XDS_CHAR_OEM,
       {{"URL", 'C', kUrlFieldLength, 0},
        {"NAME", 'C', kUrlNameLength, 0},
        {"DESCR", 'M', 10, 0},
        {"ADRESTYPE", 'C', 10, 0},
        {"URL_ID", 'N', 10, 0}},
       {{"URL", "URL"}, {"URL_ID", "URL_ID"}, {"NAME", "NAME"}, {"ADRESTYPE", "ADRESTYPE"}}},
  };
  return tables;
}

XDSRESULT CreateCatalogueTables(XDSHANDLE connection) {
  for (const CatalogueTable& t : CatalogueTables()) {
    XDSRESULT r = XdsCreateTable(connection, t.file, t.charType,
                                 static_cast<uint16_t>(t.fields.size()), t.fields.data());
    if (r != 0) {
      return r;
    }
  }
  return 0;
}

XDSRESULT CreateCatalogueTags(XDSHANDLE table, const CatalogueTable& def) {
  std::vector<XDSTAGDEF> tags;
  for (const CatalogueTag& tag : def.tags) {
    tags.push_back({tag.name, tag.key, nullptr, 0, 0});
  }
  return XdsCreateIndexTags(table, static_cast<uint16_t>(tags.size()), tags.data());
}

XDSRESULT OpenCatalogueTable(XDSHANDLE connection, const CatalogueTable& def, bool shared,
                             XDSHANDLE* table) {
  return XdsOpenTable(connection, def.file, nullptr, XDS_TABLE_CDX, def.charType,
                      XDS_LOCK_PROPRIETARY, XDS_RIGHTS_CHECK, shared ? 0 : XDS_OPEN_EXCLUSIVE,
                      table);
}

XDSRESULT CreateCatalogue(XDSHANDLE connection) {
  XDSRESULT r = CreateCatalogueTables(connection);
  for (std::size_t i = 0; r == 0 && i < CatalogueTables().size(); ++i) {
    const CatalogueTable& def = CatalogueTables()[i];
    XDSHANDLE table = 0;
    r = OpenCatalogueTable(connection, def, false, &table);
    if (r == 0) {
      r = CreateCatalogueTags(table, def);
    }
    if (table != 0) {
      XDSRESULT closed = XdsCloseTable(table);
      r = r != 0 ? r : closed;
    }
  }
  return r;
}

bool IsCatalogueFileName(const std::string& name) {
  auto lower = [](std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
  };
  const std::size_t dot = name.rfind('.');
  if (name.find('/') != std::string::npos || dot == std::string::npos) {
    return false;
  }
  const std::string ext = lower(name.substr(dot + 1));
  if (ext != "dbf" && ext != "cdx" && ext != "fpt") {
    return false;
  }
  const std::string stem = lower(name.substr(0, dot));
  std::vector<const CatalogueTable*> tables;
  for (const CatalogueTable& t : CatalogueTables()) {
    tables.push_back(&t);
  }
  tables.push_back(&WholeAddressTable());
  for (const CatalogueTable* t : tables) {
    const std::string file = lower(t->file);
    if (file.substr(0, file.find('.')) == stem) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> CatalogueFilesIn(const std::string& dir) {
  std::vector<std::string> found;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    std::string name = entry.path().filename().string();
    if (IsCatalogueFileName(name)) {
      found.push_back(name);
    }
  }
  std::sort(found.begin(), found.end());
  return found;
}

}  // namespace catalogue
