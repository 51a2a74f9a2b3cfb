// The repair: the plan of the check applied to copies of the tables it
// changes, swapped in under one journal (see catalogue_check.h).
#include <strings.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <system_error>

#include "catalogue/catalogue_check.h"
#include "catalogue/folder_lock.h"
#include "catalogue/schema.h"
#include "catalogue/whole_address.h"
#include "catalogue_check_internal.h"

namespace catalogue {
namespace {

namespace fs = std::filesystem;

constexpr const char* kStaging = ".check-catalogue.repair";
constexpr const char* kJournal = "check-catalogue.journal";
constexpr const char* kJournalHead = "tavo-catalogue-repair 1\n";

std::string Join(const std::string& dir, const std::string& name) {
  return (fs::path(dir) / name).string();
}

bool Fail(std::string* error, std::string text) {
  *error = std::move(text);
  return false;
}

// Writes `content` so that `path` appears whole or not at all.
xce::Status WriteWhole(xce::FileSystem* fsys, const std::string& dir, const std::string& path,
                       const std::string& content) {
  std::unique_ptr<xce::File> f;
  xce::Status s = fsys->Open(path + ".tmp", xce::OpenMode::kCreate, &f);
  s = s.ok() ? f->WriteAt(0, content.data(), content.size()) : s;
  s = s.ok() ? f->Sync() : s;
  f.reset();
  s = s.ok() ? fsys->Rename(path + ".tmp", path) : s;
  s = s.ok() ? fsys->SyncDir(dir) : s;
  if (!s.ok()) {
    (void)fsys->Remove(path + ".tmp");  // best effort: it names nothing yet
  }
  return s;
}

// The files of one table in `dir` (the table, its memo and index files).
std::vector<std::string> FilesOf(const std::string& dir, const CatalogueTable& def) {
  std::string stem = def.file;
  stem = stem.substr(0, stem.find('.'));
  std::vector<std::string> out;
  for (const std::string& name : CatalogueFilesIn(dir)) {
    if (name.size() == stem.size() + 4 && strncasecmp(name.c_str(), stem.c_str(), stem.size()) == 0) {
      out.push_back(name);
    }
  }
  return out;
}

XDSRESULT SetNumber(XDSHANDLE t, uint16_t field, int64_t value) {
  const std::string text = std::to_string(value);
  return XdsSetField(t, field, text.data(), static_cast<uint32_t>(text.size()));
}

XDSRESULT SetText(XDSHANDLE t, uint16_t field, const std::string& text) {
  return XdsSetField(t, field, text.data(), static_cast<uint32_t>(text.size()));
}

// One table's copy in the staging folder, open for the repair's changes.
class StagedTable {
 public:
  ~StagedTable() { (void)Close(); }
  XDSRESULT Open(XDSHANDLE stagingConnection, const CatalogueTable& def) {
    return OpenCatalogueTable(stagingConnection, def, false, &table_);
  }
  XDSRESULT Close() {
    XDSRESULT r = 0;
    if (table_ != 0) {
      r = XdsCloseTable(table_);
      table_ = 0;
    }
    return r;
  }
  XDSHANDLE table() const { return table_; }
  // Marks the records deleted and packs them away.
  XDSRESULT Drop(const std::vector<uint32_t>& recnos) {
    XDSRESULT r = 0;
    for (std::size_t i = 0; r == 0 && i < recnos.size(); ++i) {
      r = XdsGotoRecord(table_, recnos[i]);
      r = r != 0 ? r : XdsDeleteRecord(table_);
      r = r != 0 ? r : XdsWriteRecord(table_);
    }
    return r != 0 || recnos.empty() ? r : XdsPackTable(table_);
  }

 private:
  XDSHANDLE table_ = 0;
};

}  // namespace

bool FinishInterruptedRepair(xce::FileSystem* fsys, const std::string& dir, std::string* error) {
  const std::string journal = Join(dir, kJournal);
  const std::string staging = Join(dir, kStaging);
  if (fsys->Exists(journal)) {
    std::string content;
    std::unique_ptr<xce::File> f;
    xce::Status s = fsys->Open(journal, xce::OpenMode::kReadOnly, &f);
    uint64_t size = 0;
    s = s.ok() ? f->Size(&size) : s;
    if (s.ok()) {
      content.resize(static_cast<std::size_t>(std::min<uint64_t>(size, 1 << 16)));
      std::size_t got = 0;
      s = f->ReadAt(0, content.data(), content.size(), &got);
      content.resize(got);
    }
    f.reset();
    const std::string head = kJournalHead;
    const bool complete = s.ok() && content.compare(0, head.size(), head) == 0 &&
                          content.size() >= head.size() + 4 &&
                          content.compare(content.size() - 4, 4, "end\n") == 0;
    if (complete) {
      // Done: every copy still in the staging folder goes into place.
      for (std::size_t pos = head.size(); s.ok() && pos < content.size() - 4;) {
        const std::size_t nl = content.find('\n', pos);
        const std::string name = content.substr(pos, nl - pos);
        pos = nl + 1;
        // Only a catalogue file named plainly: a planted journal moves
        // nothing else.
        if (IsCatalogueFileName(name) && fsys->Exists(Join(staging, name))) {
          s = fsys->Rename(Join(staging, name), Join(dir, name));
        }
      }
      s = s.ok() ? fsys->SyncDir(dir) : s;
    }
    s = s.ok() ? fsys->Remove(journal) : s;
    s = s.ok() ? fsys->SyncDir(dir) : s;
    if (!s.ok()) {
      return Fail(error, "cannot finish the catalogue repair interrupted in " + dir + ": " +
                             s.message());
    }
  }
  if (fsys->Exists(journal + ".tmp")) {
    (void)fsys->Remove(journal + ".tmp");  // never renamed: the repair was not done
  }
  std::error_code ec;
  fs::remove_all(staging, ec);
  return true;
}

bool RepairCatalogue(const std::string& dir, const RepairOptions& options,
                     std::vector<Finding>* findings, std::vector<std::string>* done,
                     std::string* error) {
  xce::FileSystem* fsys = options.fs != nullptr ? options.fs : xce::FileSystem::Default();
  findings->clear();
  done->clear();
  FolderLock hold(dir);
  if (!hold.ok()) {
    return Fail(error, hold.error());
  }
  if (!FinishInterruptedRepair(fsys, dir, error)) {
    return false;
  }
  const bool withWhole = HasWholeAddressTable(dir);
  // Held exclusively to the end, so the program cannot open the tables
  // half-way.
  check::OpenedTables held;
  check::Scan scan;
  if (held.Open(dir, withWhole, XDS_OPEN_EXCLUSIVE) != 0 || scan.Read(held.tables()) != 0) {
    return Fail(error, check::EngineError());
  }
  check::Plan plan;
  if (!plan.Make(scan, error)) {
    return false;
  }
  *findings = plan.findings;
  if (plan.findings.empty()) {
    return true;
  }
  const auto& defs = CatalogueTables();
  const char* const temFile = defs[kTem].file;
  const char* const urlsFile = defs[kUrls].file;
  const char* const urlInFile = defs[kUrlIn].file;
  const char* const wholeFile = WholeAddressTable().file;

  // What changes where.
  bool sectionsChange = false;
  for (std::size_t i = 0; i < scan.sections.size(); ++i) {
    sectionsChange = sectionsChange || plan.sectionIds[i] != scan.sections[i].id ||
                     plan.sectionParents[i] != scan.sections[i].parent;
  }
  // A record given a new id keeps its whole address: the row its URL field
  // matches is given again under the new id.
  std::vector<std::pair<int64_t, std::string>> wholeAdded;
  if (withWhole && !plan.renumbered.empty()) {
    XDSHANDLE urls = held.tables()[kUrls];
    uint16_t urlField = 0;
    std::string url;
    XDSRESULT r = XdsGetFieldNumber(urls, "URL", &urlField);
    for (std::size_t k = 0; r == 0 && k < plan.renumbered.size(); ++k) {
      const check::UrlRow& u = scan.urls[plan.renumbered[k]];
      r = XdsGotoRecord(urls, u.recno);
      uint32_t length = 0;
      char buffer[256];
      length = sizeof buffer;
      r = r != 0 ? r : XdsGetField(urls, urlField, buffer, &length, XDS_GET_TRIM);
      url.assign(buffer, r == 0 ? length : 0);
      for (const check::WholeAddressRow& w : scan.wholeAddresses) {
        if (r == 0 && w.id == u.id && WholeAddressMatches(w.address, url)) {
          wholeAdded.emplace_back(plan.urlIds[plan.renumbered[k]], w.address);
          break;
        }
      }
    }
    if (r != 0) {
      return Fail(error, check::EngineError());
    }
  }
  struct Change {
    const CatalogueTable* def = nullptr;
    bool needed = false;
  };
  // In the order of CatalogueTables, then the table of whole addresses.
  std::vector<Change> changes(check::kWholeAddressesAt + 1);
  changes[kTem] = {&defs[kTem], sectionsChange};
  changes[kType] = {&defs[kType], !plan.missingTypes.empty()};
  changes[kUrls] = {&defs[kUrls], !plan.renumbered.empty()};
  changes[kUrlIn] = {&defs[kUrlIn],
                     !plan.droppedMemberships.empty() || !plan.remappedMemberships.empty()};
  changes[check::kWholeAddressesAt] = {
      &WholeAddressTable(),
      withWhole && (!plan.droppedWholeAddresses.empty() || !wholeAdded.empty())};

  // The copies, changed through the engine.
  const std::string staging = Join(dir, kStaging);
  std::error_code ec;
  fs::remove_all(staging, ec);
  fs::create_directory(staging, ec);
  auto abandon = [&](std::string why) {
    fs::remove_all(staging, ec);
    return Fail(error, why + "; the catalogue is unchanged");
  };
  if (ec) {
    return abandon("cannot create " + staging + ": " + ec.message());
  }
  std::vector<std::string> swapped;
  for (const Change& c : changes) {
    if (!c.needed) {
      continue;
    }
    for (const std::string& name : FilesOf(dir, *c.def)) {
      fs::copy_file(Join(dir, name), Join(staging, name), ec);
      if (ec) {
        return abandon("cannot copy " + name + ": " + ec.message());
      }
      swapped.push_back(name);
    }
  }
  XDSHANDLE stagingConnection = 0;
  if (XdsConnect60(staging.c_str(), XDS_SERVER_LOCAL, "", "", 0, &stagingConnection) != 0) {
    return abandon(check::EngineError());
  }
  struct Disconnect {
    XDSHANDLE c;
    ~Disconnect() { (void)XdsDisconnect(c); }  // each table was closed and checked before
  } disconnect{stagingConnection};
  XDSRESULT r = 0;
  if (changes[kTem].needed) {
    StagedTable t;
    uint16_t idField = 0;
    uint16_t parentField = 0;
    r = t.Open(stagingConnection, defs[kTem]);
    r = r != 0 ? r : XdsGetFieldNumber(t.table(), kSectionId, &idField);
    r = r != 0 ? r : XdsGetFieldNumber(t.table(), kSectionParent, &parentField);
    for (std::size_t i = 0; r == 0 && i < scan.sections.size(); ++i) {
      const check::SectionRow& s = scan.sections[i];
      const int64_t id = plan.sectionIds[i];
      const int64_t parent = plan.sectionParents[i];
      if (id == s.id && parent == s.parent) {
        continue;
      }
      r = XdsGotoRecord(t.table(), s.recno);
      const std::string where = std::string(temFile) + " record " + std::to_string(s.recno) + ": ";
      if (r == 0 && id != s.id) {
        r = SetNumber(t.table(), idField, id);
        done->push_back(where + "section id " + check::NumberText(s.id) + " replaced by " +
                        std::to_string(id));
      }
      if (r == 0 && parent != s.parent) {
        r = SetNumber(t.table(), parentField, parent);
        done->push_back(where + (parent == 0 ? "put at the top level"
                                             : "parent " + check::NumberText(s.parent) +
                                                   " replaced by " + std::to_string(parent)));
      }
      r = r != 0 ? r : XdsWriteRecord(t.table());
    }
    r = r != 0 ? r : t.Close();
  }
  if (r == 0 && changes[kType].needed) {
    StagedTable t;
    uint16_t code = 0;
    uint16_t name = 0;
    r = t.Open(stagingConnection, defs[kType]);
    r = r != 0 ? r : XdsGetFieldNumber(t.table(), "TYPE_ID", &code);
    r = r != 0 ? r : XdsGetFieldNumber(t.table(), "TYPE_NAME", &name);
    for (std::size_t i = 0; r == 0 && i < plan.missingTypes.size(); ++i) {
      r = XdsAppendRecord(t.table());
      r = r != 0 ? r : SetText(t.table(), code, plan.missingTypes[i]);
      r = r != 0 ? r : SetText(t.table(), name, plan.missingTypes[i]);
      r = r != 0 ? r : XdsWriteRecord(t.table());
      done->push_back(std::string(defs[kType].file) + ": link type \"" + plan.missingTypes[i] +
                      "\" added, named by its code, with no prefix");
    }
    r = r != 0 ? r : t.Close();
  }
  if (r == 0 && changes[kUrls].needed) {
    StagedTable t;
    uint16_t idField = 0;
    r = t.Open(stagingConnection, defs[kUrls]);
    r = r != 0 ? r : XdsGetFieldNumber(t.table(), "URL_ID", &idField);
    for (std::size_t k = 0; r == 0 && k < plan.renumbered.size(); ++k) {
      const check::UrlRow& u = scan.urls[plan.renumbered[k]];
      const int64_t id = plan.urlIds[plan.renumbered[k]];
      r = XdsGotoRecord(t.table(), u.recno);
      r = r != 0 ? r : SetNumber(t.table(), idField, id);
      r = r != 0 ? r : XdsWriteRecord(t.table());
      done->push_back(std::string(urlsFile) + " record " + std::to_string(u.recno) + ": URL id " +
                      check::NumberText(u.id) + " replaced by " + std::to_string(id));
    }
    r = r != 0 ? r : t.Close();
  }
  if (r == 0 && changes[kUrlIn].needed) {
    StagedTable t;
    uint16_t sectionField = 0;
    uint16_t urlField = 0;
    r = t.Open(stagingConnection, defs[kUrlIn]);
    r = r != 0 ? r : XdsGetFieldNumber(t.table(), "TEM_ID", &sectionField);
    r = r != 0 ? r : XdsGetFieldNumber(t.table(), "URL_ID", &urlField);
    for (std::size_t k = 0; r == 0 && k < plan.remappedMemberships.size(); ++k) {
      const check::MembershipRow& m = plan.remappedMemberships[k];
      r = XdsGotoRecord(t.table(), m.recno);
      r = r != 0 ? r : SetNumber(t.table(), sectionField, m.section);
      r = r != 0 ? r : SetNumber(t.table(), urlField, m.url);
      r = r != 0 ? r : XdsWriteRecord(t.table());
      done->push_back(std::string(urlInFile) + " record " + std::to_string(m.recno) +
                      ": now names section " + std::to_string(m.section) + " and URL id " +
                      std::to_string(m.url));
    }
    r = r != 0 ? r : t.Drop(plan.droppedMemberships);
    r = r != 0 ? r : t.Close();
    if (!plan.droppedMemberships.empty()) {
      done->push_back(std::string(urlInFile) + ": " +
                      std::to_string(plan.droppedMemberships.size()) + " memberships dropped");
    }
  }
  if (r == 0 && changes[check::kWholeAddressesAt].needed) {
    StagedTable t;
    uint16_t idField = 0;
    uint16_t addressField = 0;
    r = t.Open(stagingConnection, WholeAddressTable());
    r = r != 0 ? r : XdsGetFieldNumber(t.table(), "URL_ID", &idField);
    r = r != 0 ? r : XdsGetFieldNumber(t.table(), "ADDRESS", &addressField);
    r = r != 0 ? r : t.Drop(plan.droppedWholeAddresses);
    for (std::size_t k = 0; r == 0 && k < wholeAdded.size(); ++k) {
      r = XdsAppendRecord(t.table());
      r = r != 0 ? r : SetNumber(t.table(), idField, wholeAdded[k].first);
      r = r != 0 ? r : SetText(t.table(), addressField, wholeAdded[k].second);
      r = r != 0 ? r : XdsWriteRecord(t.table());
      done->push_back(std::string(wholeFile) + ": the whole address of URL id " +
                      std::to_string(wholeAdded[k].first) + " kept under its new id");
    }
    r = r != 0 ? r : t.Close();
    if (!plan.droppedWholeAddresses.empty()) {
      done->push_back(std::string(wholeFile) + ": " +
                      std::to_string(plan.droppedWholeAddresses.size()) + " rows dropped");
    }
  }
  if (r != 0) {
    return abandon(check::EngineError());
  }

  // Every copy durable, then the journal: from its rename on, the repair is
  // done, and a run cut short is finished by the next.
  std::string content = kJournalHead;
  for (const std::string& name : swapped) {
    std::unique_ptr<xce::File> f;
    xce::Status s = fsys->Open(Join(staging, name), xce::OpenMode::kReadOnly, &f);
    s = s.ok() ? f->Sync() : s;
    if (!s.ok()) {
      return abandon("cannot write " + name + ": " + s.message());
    }
    content += name + "\n";
  }
  content += "end\n";
  xce::Status s = fsys->SyncDir(staging);
  s = s.ok() ? WriteWhole(fsys, dir, Join(dir, kJournal), content) : s;
  if (!s.ok()) {
    return abandon("cannot write the repair's journal: " + s.message());
  }
  for (std::size_t i = 0; s.ok() && i < swapped.size(); ++i) {
    s = fsys->Rename(Join(staging, swapped[i]), Join(dir, swapped[i]));
  }
  s = s.ok() ? fsys->SyncDir(dir) : s;
  s = s.ok() ? fsys->Remove(Join(dir, kJournal)) : s;
  s = s.ok() ? fsys->SyncDir(dir) : s;
  if (!s.ok()) {
    return Fail(error, "the repair is done but its files were not all moved into place (" +
                           s.message() +
                           "); the next check-catalogue or the program's start finishes it");
  }
  fs::remove_all(staging, ec);
  return true;
}

}  // namespace catalogue
