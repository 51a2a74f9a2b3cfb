#include "catalogue/whole_address.h"

#include "catalogue/field_text.h"

#include <strings.h>

#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <vector>

namespace catalogue {
namespace {

namespace fs = std::filesystem;

// The table is made under this name and renamed into place whole, so that a
// process killed while making it leaves no half-made URLFULL.DBF that would
// stop the next start-up.
constexpr const char* kNewStem = "URLFULLN";
constexpr const char* kStem = "URLFULL";
constexpr const char* kExtensions[] = {".FPT", ".CDX", ".DBF"};  // the table last

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && s.back() == ' ') {
    s.remove_suffix(1);
  }
  return s;
}

// A field's whole value: the first read's buffer is usually big enough.
XDSRESULT ReadId(XDSHANDLE t, uint16_t field, int64_t* id) {
  char text[32];
  uint32_t length = sizeof text - 1;
  XDSRESULT r = XdsGetField(t, field, text, &length, XDS_GET_TRIM);
  text[r == 0 ? length : 0] = '\0';
  *id = std::strtoll(text, nullptr, 10);
  return r;
}

XDSRESULT AtEnd(XDSHANDLE handle, bool* end) {
  uint16_t eof = 0;
  XDSRESULT r = XdsAtEOF(handle, &eof);
  *end = r != 0 || eof != 0;
  return r;
}

std::string FoundFile(const std::string& dir, const std::string& stem, const std::string& ext) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(dir.empty() ? "." : dir, ec)) {
    std::string name = entry.path().filename().string();
    if (name.size() == stem.size() + ext.size() &&
        strncasecmp(name.c_str(), stem.c_str(), stem.size()) == 0 &&
        strcasecmp(name.c_str() + stem.size(), ext.c_str()) == 0) {
      return entry.path().string();
    }
  }
  return {};
}

XDSRESULT IoFailure(const std::string& what, const std::error_code& ec) {
  XdsSetLastError(XDS_ERR_IO, (what + ": " + ec.message()).c_str());
  return XDS_ERR_IO;
}

}  // namespace

const CatalogueTable& WholeAddressTable() {
  static const CatalogueTable table = {"URLFULL.DBF",
                                       XDS_CHAR_OEM,
                                       {{"URL_ID", 'N', 10, 0}, {"ADDRESS", 'M', 10, 0}},
                                       {{"URL_ID", "URL_ID"}}};
  return table;
}

std::string UrlFieldPart(std::string_view address) {
  return std::string(address.substr(0, kUrlFieldLength));
}

bool WholeAddressMatches(std::string_view whole, std::string_view url) {
  return IsLongAddress(whole) && TrimRight(whole.substr(0, kUrlFieldLength)) == TrimRight(url);
}

bool HasWholeAddressTable(const std::string& dir) { return !FoundFile(dir, kStem, ".DBF").empty(); }

WholeAddresses::~WholeAddresses() { (void)Close(); }

XDSRESULT WholeAddresses::Close() {
  XDSRESULT r = 0;
  if (table_ != 0) {
    r = XdsCloseTable(table_);
    table_ = 0;
    byId_ = 0;
  }
  return r;
}

XDSRESULT WholeAddresses::Fields() {
  XDSRESULT r = XdsGetFieldNumber(table_, "URL_ID", &idField_);
  if (r == 0) {
    r = XdsGetFieldNumber(table_, "ADDRESS", &addressField_);
  }
  if (r == 0) {
    r = XdsGetIndexHandle(table_, "URL_ID", &byId_);
  }
  return r;
}

XDSRESULT WholeAddresses::OpenIfPresent(const std::string& dir) {
  dir_ = dir;
  if (table_ != 0 || !HasWholeAddressTable(dir)) {
    return 0;
  }
  XDSRESULT r = OpenCatalogueTable(connection_, WholeAddressTable(), shared_, &table_);
  if (r == 0) {
    r = Fields();
  }
  if (r != 0 && table_ != 0) {
    // The failure is the one to report, not the close's.
    int32_t code = r;
    char text[600];
    uint16_t length = sizeof text - 1;
    if (XdsGetLastError(&code, text, &length) != 0) {
      length = 0;
    }
    text[length] = '\0';
    (void)XdsCloseTable(table_);
    XdsSetLastError(code, text);
  }
  if (r != 0) {
    table_ = 0;
  }
  return r;
}

XDSRESULT WholeAddresses::Reindex() {
  if (table_ == 0) {
    return 0;
  }
  XDSRESULT r = XdsReindex61(table_, 512);
  // The rebuilt tag has a new handle.
  return r != 0 ? r : XdsGetIndexHandle(table_, "URL_ID", &byId_);
}

XDSRESULT WholeAddresses::EnsureTable() {
  if (table_ != 0) {
    return 0;
  }
  // Left by a process killed while it made the table.
  std::error_code ec;
  for (const char* ext : kExtensions) {
    if (std::string old = FoundFile(dir_, kNewStem, ext); !old.empty()) {
      fs::remove(old, ec);
    }
  }
  CatalogueTable def = WholeAddressTable();
  const std::string newName = std::string(kNewStem) + ".DBF";
  def.file = newName.c_str();
  XDSRESULT r = XdsCreateTable(connection_, def.file, def.charType,
                               static_cast<uint16_t>(def.fields.size()), def.fields.data());
  XDSHANDLE made = 0;
  if (r == 0) {
    r = OpenCatalogueTable(connection_, def, false, &made);
  }
  if (r == 0) {
    r = CreateCatalogueTags(made, def);
  }
  if (made != 0) {
    XDSRESULT closed = XdsCloseTable(made);
    r = r != 0 ? r : closed;
  }
  for (const char* ext : kExtensions) {
    if (r != 0) {
      break;
    }
    const std::string from = FoundFile(dir_, kNewStem, ext);
    if (from.empty()) {
      continue;
    }
    fs::rename(from, (fs::path(dir_.empty() ? "." : dir_) / (std::string(kStem) + ext)), ec);
    if (ec) {
      r = IoFailure("Cannot rename " + from, ec);
    }
  }
  if (r == 0) {
    r = OpenIfPresent(dir_);
  }
  return r;
}

template <class Visit>
XDSRESULT WholeAddresses::ForEachRow(uint32_t id, Visit&& visit) {
  if (table_ == 0) {
    return 0;
  }
  const std::string key = std::to_string(id);
  uint16_t found = 0;
  XDSRESULT r = XdsSeek(byId_, key.data(), static_cast<uint16_t>(key.size()), XDS_KEY_STRING,
                        XDS_SEEK_HARD, &found);
  if (r != 0 || found == 0) {
    return r;
  }
  for (;;) {
    bool end = false;
    r = AtEnd(table_, &end);
    if (r != 0 || end) {
      return r;
    }
    int64_t rowId = 0;
    r = ReadId(table_, idField_, &rowId);
    if (r != 0 || rowId != static_cast<int64_t>(id)) {
      return r;
    }
    uint16_t deleted = 0;
    r = XdsIsRecordDeleted(table_, &deleted);
    if (r != 0) {
      return r;
    }
    if (deleted == 0) {
      bool more = true;
      r = visit(&more);
      if (r != 0 || !more) {
        return r;
      }
    }
    r = XdsSkip(byId_, 1);
    if (r != 0) {
      return r == XDS_ERR_NO_CURRENT_RECORD ? 0 : r;
    }
  }
}

XDSRESULT WholeAddresses::Find(uint32_t id, std::string_view url, std::string* address) {
  address->assign(url);
  std::string whole;
  return ForEachRow(id, [&](bool* more) {
    XDSRESULT r = ReadFieldText(table_, addressField_, 0, &whole);
    if (r == 0 && WholeAddressMatches(whole, url)) {
      *address = std::move(whole);
      *more = false;
    }
    return r;
  });
}

XDSRESULT WholeAddresses::Stage(uint32_t id, std::string_view address) {
  if (!IsLongAddress(address)) {
    return 0;
  }
  XDSRESULT r = EnsureTable();
  if (r == 0) {
    r = XdsAppendRecord(table_);
  }
  if (r == 0) {
    const std::string key = std::to_string(id);
    r = XdsSetField(table_, idField_, key.data(), static_cast<uint32_t>(key.size()));
  }
  if (r == 0) {
    r = XdsSetField(table_, addressField_, address.data(), static_cast<uint32_t>(address.size()));
  }
  if (r == 0) {
    r = XdsWriteRecord(table_);
  } else {
    (void)XdsCancelUpdate(table_);
  }
  // In the file before the URL record is written.
  return r != 0 ? r : XdsFlushTable(table_);
}

XDSRESULT WholeAddresses::Settle(uint32_t id, std::string_view address) {
  // The row Stage added is the id's last one holding the address.
  uint32_t keep = 0;
  std::string whole;
  XDSRESULT r = 0;
  if (IsLongAddress(address)) {
    r = ForEachRow(id, [&](bool*) {
      XDSRESULT rr = ReadFieldText(table_, addressField_, 0, &whole);
      if (rr == 0 && whole == address) {
        rr = XdsGetRecordNum(table_, 0, &keep);
      }
      return rr;
    });
  }
  if (r != 0) {
    return r;
  }
  return ForEachRow(id, [&](bool*) {
    uint32_t recno = 0;
    XDSRESULT rr = XdsGetRecordNum(table_, 0, &recno);
    return rr != 0 || recno == keep ? rr : XdsDeleteRecord(table_);
  });
}

XDSRESULT WholeAddresses::Remove(uint32_t id) { return Settle(id, {}); }

XDSRESULT WholeAddresses::ReadAll(Rows* rows) {
  rows->clear();
  if (table_ == 0) {
    return 0;
  }
  XDSRESULT r = XdsGotoTop(byId_);
  std::string whole;
  for (bool end = false; r == 0 && !(r = AtEnd(table_, &end)) && !end;) {
    int64_t id = 0;
    uint16_t deleted = 0;
    r = XdsIsRecordDeleted(table_, &deleted);
    if (r == 0 && deleted == 0) {
      r = ReadId(table_, idField_, &id);
      r = r != 0 ? r : ReadFieldText(table_, addressField_, 0, &whole);
      if (r == 0 && IsLongAddress(whole)) {
        (*rows)[static_cast<uint32_t>(id)].push_back(whole);
      }
    }
    if (r == 0) {
      r = XdsSkip(byId_, 1);
      r = r == XDS_ERR_NO_CURRENT_RECORD ? 0 : r;
    }
  }
  return r;
}

std::string_view WholeAddresses::AddressIn(const Rows& rows, uint32_t id, std::string_view url) {
  auto it = rows.find(id);
  if (it != rows.end()) {
    for (const std::string& whole : it->second) {
      if (WholeAddressMatches(whole, url)) {
        return whole;
      }
    }
  }
  return url;
}

XDSRESULT WholeAddresses::Tidy(XDSHANDLE urls) {
  if (table_ == 0) {
    return 0;
  }
  XDSHANDLE urlsById = 0;
  uint16_t urlIdField = 0;
  uint16_t urlField = 0;
  XDSRESULT r = XdsGetIndexHandle(urls, "URL_ID", &urlsById);
  if (r == 0) {
    r = XdsGetFieldNumber(urls, "URL_ID", &urlIdField);
  }
  if (r == 0) {
    r = XdsGetFieldNumber(urls, "URL", &urlField);
  }
  // The ids that have rows, each once: a record's rows are settled together.
  std::vector<uint32_t> ids;
  if (r == 0) {
    r = XdsGotoTop(byId_);
  }
  for (bool end = false; r == 0 && !(r = AtEnd(table_, &end)) && !end;) {
    int64_t id = 0;
    r = ReadId(table_, idField_, &id);
    if (r == 0 && (ids.empty() || ids.back() != static_cast<uint32_t>(id))) {
      ids.push_back(static_cast<uint32_t>(id));
    }
    if (r == 0) {
      r = XdsSkip(byId_, 1);
      r = r == XDS_ERR_NO_CURRENT_RECORD ? 0 : r;
    }
  }
  std::string url;
  std::string whole;
  for (std::size_t i = 0; r == 0 && i < ids.size(); ++i) {
    // The id's live URL record, if any: its URL decides which row is used.
    bool live = false;
    const std::string key = std::to_string(ids[i]);
    uint16_t found = 0;
    r = XdsSeek(urlsById, key.data(), static_cast<uint16_t>(key.size()), XDS_KEY_STRING,
                XDS_SEEK_HARD, &found);
    for (bool end = false; r == 0 && found != 0 && !live && !(r = AtEnd(urls, &end)) && !end;) {
      int64_t id = 0;
      uint16_t deleted = 0;
      r = ReadId(urls, urlIdField, &id);
      if (r != 0 || id != static_cast<int64_t>(ids[i])) {
        break;
      }
      r = XdsIsRecordDeleted(urls, &deleted);
      if (r == 0 && deleted == 0) {
        live = true;
        r = ReadFieldText(urls, urlField, XDS_GET_TRIM, &url);
      } else if (r == 0) {
        r = XdsSkip(urlsById, 1);
        r = r == XDS_ERR_NO_CURRENT_RECORD ? 0 : r;
      }
    }
    bool used = false;
    if (r == 0) {
      r = ForEachRow(ids[i], [&](bool*) {
        XDSRESULT rr = 0;
        bool keep = false;
        if (live && !used) {
          rr = ReadFieldText(table_, addressField_, 0, &whole);
          keep = rr == 0 && WholeAddressMatches(whole, url);
        }
        used = used || keep;
        return rr != 0 || keep ? rr : XdsDeleteRecord(table_);
      });
    }
  }
  return r != 0 ? r : XdsPackTable(table_);
}

}  // namespace catalogue
