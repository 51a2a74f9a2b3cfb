#include "catalogue/catalogue_check.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

#include "catalogue/field_text.h"
#include "catalogue/folder_lock.h"
#include "catalogue/schema.h"
#include "catalogue/whole_address.h"
#include "catalogue_check_internal.h"
#include "xce.h"

namespace catalogue {
namespace check {

// ------------------------------------------------------------------ reading

std::string EngineError() {
  int32_t code = 0;
  char text[600] = {};
  uint16_t length = sizeof text;
  (void)XdsGetLastError(&code, text, &length);  // always succeeds
  return std::string(text, std::min<std::size_t>(length, sizeof text));
}

int64_t ParseNumber(std::string_view text) {
  while (!text.empty() && text.front() == ' ') {
    text.remove_prefix(1);
  }
  while (!text.empty() && text.back() == ' ') {
    text.remove_suffix(1);
  }
  if (text.empty()) {
    return 0;  // a blank number reads as 0, as the program reads it
  }
  bool negative = false;
  if (text.front() == '-' || text.front() == '+') {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 18) {
    return kNotANumber;
  }
  int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return kNotANumber;
    }
    value = value * 10 + (c - '0');
  }
  return negative ? -value : value;
}

std::string NumberText(int64_t value) {
  return value == kNotANumber ? std::string("that is no whole number") : std::to_string(value);
}

namespace {

// Why an id that is not a positive 32-bit whole number cannot stay.
std::string IdProblem(const char* what, int64_t id) {
  const std::string name = std::string(what) + " id";
  if (id == kNotANumber) {
    return name + " is not a whole number";
  }
  return name + " " + std::to_string(id) + (id > INT32_MAX ? " is too large" : " is not positive");
}

}  // namespace

OpenedTables::~OpenedTables() {
  for (XDSHANDLE t : tables_) {
    if (t != 0) {
      (void)XdsCloseTable(t);  // only read
    }
  }
  if (connection_ != 0) {
    (void)XdsDisconnect(connection_);
  }
}

XDSRESULT OpenedTables::Open(const std::string& dir, bool withWholeAddresses, uint32_t options) {
  XDSRESULT r = XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &connection_);
  std::vector<const CatalogueTable*> defs;
  for (const CatalogueTable& def : CatalogueTables()) {
    defs.push_back(&def);
  }
  if (withWholeAddresses) {
    defs.push_back(&WholeAddressTable());
  }
  tables_.assign(defs.size(), 0);
  for (std::size_t i = 0; r == 0 && i < defs.size(); ++i) {
    r = XdsOpenTable(connection_, defs[i]->file, nullptr, XDS_TABLE_CDX, defs[i]->charType,
                     XDS_LOCK_PROPRIETARY, XDS_RIGHTS_CHECK, options, &tables_[i]);
  }
  return r;
}

XDSRESULT TableReader::Init() {
  uint32_t length = 0;
  XDSRESULT r = XdsGetRecordLength(table_, &length);
  image_.assign(length, '\0');
  return r;
}

XDSRESULT TableReader::Field(const char* name, FieldAt* at) {
  uint16_t number = 0;
  XDSRESULT r = XdsGetFieldNumber(table_, name, &number);
  r = r != 0 ? r : XdsGetFieldOffset(table_, number, &at->offset);
  r = r != 0 ? r : XdsGetFieldLength(table_, number, &at->length);
  at->number = number;
  if (r == 0 && at->offset + at->length > image_.size()) {
    XdsSetLastError(XDS_ERR_CORRUPT, (file_ + ": field " + name + " lies outside the record").c_str());
    r = XDS_ERR_CORRUPT;
  }
  return r;
}

XDSRESULT TableReader::GetText(uint16_t field, std::string* out) {
  return ReadFieldText(table_, field, XDS_GET_TRIM, out);
}

// ------------------------------------------------------------------ the ids

void IdSet::Build(std::vector<int64_t> ids) {
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  sorted_ = std::move(ids);
  bits_.clear();
  // Dense positive ids (the usual case) are looked up in a bitmap.
  if (!sorted_.empty() && sorted_.front() >= 0 &&
      sorted_.back() < static_cast<int64_t>(sorted_.size()) * 64 + 4096) {
    bits_.assign(static_cast<std::size_t>(sorted_.back() / 64 + 1), 0);
    for (int64_t id : sorted_) {
      bits_[static_cast<std::size_t>(id / 64)] |= uint64_t{1} << (id % 64);
    }
  }
}

bool IdSet::Contains(int64_t id) const {
  if (!bits_.empty()) {
    return id >= 0 && static_cast<std::size_t>(id / 64) < bits_.size() &&
           (bits_[static_cast<std::size_t>(id / 64)] >> (id % 64) & 1) != 0;
  }
  return std::binary_search(sorted_.begin(), sorted_.end(), id);
}

int64_t IdAllocator::Next() {
  if (top_ < INT32_MAX) {
    return ++top_;
  }
  while (gap_ < INT32_MAX) {
    if (!used_(++gap_)) {
      return gap_;
    }
  }
  exhausted_ = true;
  return 0;
}

namespace {

bool Positive(int64_t id) { return id >= 1 && id <= INT32_MAX; }

std::string Where(const char* file, uint32_t recno) {
  return std::string(file) + " record " + std::to_string(recno) + ": ";
}

// Up to ten record numbers, then how many more.
std::string RecordList(const std::vector<uint32_t>& recnos, std::size_t total) {
  std::string out;
  for (uint32_t r : recnos) {
    out += (out.empty() ? "" : ", ") + std::to_string(r);
  }
  if (total > recnos.size()) {
    out += " and " + std::to_string(total - recnos.size()) + " more";
  }
  return out;
}

}  // namespace

// ------------------------------------------------------------------ the scan

XDSRESULT Scan::Read(const std::vector<XDSHANDLE>& tables) {
  const auto& defs = CatalogueTables();
  auto read = [&](std::size_t at, const char* file, XDSRESULT (Scan::*how)(TableReader&)) {
    TableReader t(tables[at], file);
    XDSRESULT r = t.Init();
    return r != 0 ? r : (this->*how)(t);
  };
  XDSRESULT r = read(kTem, defs[kTem].file, &Scan::ReadSections);
  r = r != 0 ? r : read(kType, defs[kType].file, &Scan::ReadTypes);
  r = r != 0 ? r : read(kUrls, defs[kUrls].file, &Scan::ReadUrls);
  r = r != 0 ? r : read(kUrlIn, defs[kUrlIn].file, &Scan::ReadMemberships);
  hasWholeAddresses = tables.size() > kWholeAddressesAt;
  if (r == 0 && hasWholeAddresses) {
    r = read(kWholeAddressesAt, WholeAddressTable().file, &Scan::ReadWholeAddresses);
  }
  return r;
}

// Every row of the sections table, deleted ones too: the tree loader reads
// them all and the next save writes them back.
XDSRESULT Scan::ReadSections(TableReader& t) {
  FieldAt id;
  FieldAt parent;
  XDSRESULT r = t.Field(kSectionId, &id);
  r = r != 0 ? r : t.Field(kSectionParent, &parent);
  return r != 0 ? r : t.Each([&](uint32_t recno, const char* image) {
    sections.push_back({t.Number(image, id), t.Number(image, parent), recno});
  });
}

// Every link type's code, deleted ones too: the program reads them all.
XDSRESULT Scan::ReadTypes(TableReader& t) {
  FieldAt code;
  XDSRESULT r = t.Field("TYPE_ID", &code);
  std::string text;
  XDSRESULT read = 0;
  r = r != 0 ? r : t.Each([&](uint32_t, const char* image) {
    if (read == 0 && !t.Text(image, code).empty()) {
      read = t.GetText(code.number, &text);
      typeCodes.insert(text);
    }
  });
  return r != 0 ? r : read;
}

// The live URL records' ids, the ids of records marked deleted, and the link
// type codes in use (read as text once per distinct stored code).
XDSRESULT Scan::ReadUrls(TableReader& t) {
  FieldAt id;
  FieldAt type;
  XDSRESULT r = t.Field("URL_ID", &id);
  r = r != 0 ? r : t.Field("ADRESTYPE", &type);
  std::vector<int64_t> deleted;
  std::string stored;
  UsedType* last = nullptr;
  XDSRESULT read = 0;
  r = r != 0 ? r : t.Each([&](uint32_t recno, const char* image) {
    if (image[0] == '*') {
      if (t.Number(image, id) != kNotANumber) {
        deleted.push_back(t.Number(image, id));
      }
      return;
    }
    urls.push_back({t.Number(image, id), recno});
    std::string_view code = t.Text(image, type);
    if (code.empty()) {
      return;  // no link type
    }
    if (last == nullptr || stored != code) {
      stored.assign(code);
      auto [it, added] = usedTypes.try_emplace(stored);
      last = &it->second;
      if (added && read == 0) {
        read = t.GetText(type.number, &last->code);
      }
    }
    ++last->count;
    if (last->recnos.size() < 10) {
      last->recnos.push_back(recno);
    }
  });
  for (const UrlRow& u : urls) {
    largestUrlId = u.id >= 1 && u.id <= INT32_MAX ? std::max(largestUrlId, u.id) : largestUrlId;
  }
  for (int64_t id : deleted) {
    largestUrlId = id >= 1 && id <= INT32_MAX ? std::max(largestUrlId, id) : largestUrlId;
  }
  deletedUrlIds.Build(std::move(deleted));
  return r != 0 ? r : read;
}

// The live memberships; the ones marked deleted are gone at the next pack.
XDSRESULT Scan::ReadMemberships(TableReader& t) {
  FieldAt section;
  FieldAt url;
  XDSRESULT r = t.Field("TEM_ID", &section);
  r = r != 0 ? r : t.Field("URL_ID", &url);
  return r != 0 ? r : t.Each([&](uint32_t recno, const char* image) {
    if (image[0] != '*') {
      memberships.push_back({Narrow(t.Number(image, section)), Narrow(t.Number(image, url)), recno});
    }
  });
}

XDSRESULT Scan::ReadWholeAddresses(TableReader& t) {
  FieldAt id;
  FieldAt address;
  XDSRESULT r = t.Field("URL_ID", &id);
  r = r != 0 ? r : t.Field("ADDRESS", &address);
  std::string text;
  XDSRESULT read = 0;
  r = r != 0 ? r : t.Each([&](uint32_t recno, const char* image) {
    if (image[0] != '*' && read == 0) {
      read = t.GetText(address.number, &text);
      wholeAddresses.push_back({t.Number(image, id), recno, text});
    }
  });
  return r != 0 ? r : read;
}

int32_t Scan::Narrow(int64_t value) {
  // Memberships keep their ids in 32 bits: a value no id can have names
  // nothing, whatever it is.
  return value >= INT32_MIN + 1 && value <= INT32_MAX ? static_cast<int32_t>(value) : INT32_MIN;
}

// ------------------------------------------------------------------ the plan

namespace {

// Where the tree loader puts each section row (see LoadTreeFromTable): rows
// are placed in rounds, in record order, each once no row still waiting has
// the id its parent names, under the first node (in tree order) of that id,
// or at the top level when no row has it. When the rows left all wait on
// each other, the first of them goes to the top level.
struct Placement {
  std::vector<int> parentRow;  // -1: top level
  std::vector<bool> forced;    // put at the top level to break a cycle
};

Placement PlaceSections(const std::vector<SectionRow>& rows) {
  const int n = static_cast<int>(rows.size());
  Placement p{std::vector<int>(rows.size(), -1), std::vector<bool>(rows.size(), false)};
  std::unordered_map<int64_t, int> waiting;
  std::unordered_map<int64_t, std::vector<int>> placedById;
  for (const SectionRow& row : rows) {
    if (row.id != kNotANumber) {
      ++waiting[row.id];
    }
  }
  std::vector<std::vector<int>> children(rows.size());
  std::vector<int> topLevel;
  // The first placed row of `id` in tree order: depth first from the top.
  auto firstInTreeOrder = [&](int64_t id) -> int {
    auto it = placedById.find(id);
    if (it == placedById.end()) {
      return -1;
    }
    if (it->second.size() == 1) {
      return it->second.front();
    }
    std::vector<int> stack(topLevel.rbegin(), topLevel.rend());
    while (!stack.empty()) {
      int row = stack.back();
      stack.pop_back();
      if (rows[static_cast<std::size_t>(row)].id == id) {
        return row;
      }
      const auto& c = children[static_cast<std::size_t>(row)];
      stack.insert(stack.end(), c.rbegin(), c.rend());
    }
    return -1;
  };
  auto place = [&](int row, bool forceTop) {
    const SectionRow& s = rows[static_cast<std::size_t>(row)];
    int parent = forceTop || s.parent == kNotANumber ? -1 : firstInTreeOrder(s.parent);
    p.parentRow[static_cast<std::size_t>(row)] = parent;
    p.forced[static_cast<std::size_t>(row)] = forceTop;
    (parent >= 0 ? children[static_cast<std::size_t>(parent)] : topLevel).push_back(row);
    if (s.id != kNotANumber) {
      placedById[s.id].push_back(row);
      --waiting[s.id];
    }
  };
  std::vector<int> items(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    items[static_cast<std::size_t>(i)] = i;
  }
  while (!items.empty()) {
    std::vector<int> left;
    for (int row : items) {
      auto w = waiting.find(rows[static_cast<std::size_t>(row)].parent);
      if (rows[static_cast<std::size_t>(row)].parent != kNotANumber && w != waiting.end() &&
          w->second > 0) {
        left.push_back(row);
      } else {
        place(row, false);
      }
    }
    if (left.size() == items.size()) {
      place(left.front(), true);
      left.erase(left.begin());
    }
    items = std::move(left);
  }
  return p;
}

}  // namespace

bool Plan::Make(const Scan& scan, std::string* error) {
  findings.clear();
  auto add = [this](FindingKind kind, std::string text) {
    findings.push_back({kind, std::move(text)});
  };
  const char* temFile = CatalogueTables()[kTem].file;
  const char* urlsFile = CatalogueTables()[kUrls].file;
  const char* typeFile = CatalogueTables()[kType].file;
  const char* urlInFile = CatalogueTables()[kUrlIn].file;
  const char* wholeFile = WholeAddressTable().file;

  // Sections: ids, then where the loader puts each row.
  const auto& sections = scan.sections;
  sectionIds.assign(sections.size(), 0);
  sectionParents.assign(sections.size(), 0);
  std::unordered_map<int64_t, std::size_t> sectionHolder;  // id -> first row
  int64_t largestSection = 0;
  for (std::size_t i = 0; i < sections.size(); ++i) {
    sectionHolder.try_emplace(sections[i].id, i);
    largestSection = Positive(sections[i].id) ? std::max(largestSection, sections[i].id)
                                              : largestSection;
  }
  IdAllocator newSectionIds(largestSection,
                            [&](int64_t id) { return sectionHolder.contains(id); });
  auto newSectionId = [&]() -> int64_t { return newSectionIds.Next(); };
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const SectionRow& s = sections[i];
    const auto it = sectionHolder.find(s.id);
    const bool first = it->second == i;
    if (!Positive(s.id)) {
      sectionIds[i] = newSectionId();
      add(FindingKind::kSectionIdNotPositive, Where(temFile, s.recno) + IdProblem("section", s.id));
      if (first && s.id != kNotANumber) {
        sectionRemap[s.id] = sectionIds[i];
      }
    } else if (!first) {
      sectionIds[i] = newSectionId();
      add(FindingKind::kSectionIdRepeated,
          Where(temFile, s.recno) + "section id " + std::to_string(s.id) + " repeats record " +
              std::to_string(sections[it->second].recno));
    } else {
      sectionIds[i] = s.id;
    }
  }
  if (newSectionIds.exhausted()) {
    *error = std::string(temFile) + ": no section id is left to give";
    return false;
  }
  const Placement placement = PlaceSections(sections);
  for (std::size_t i = 0; i < sections.size(); ++i) {
    const SectionRow& s = sections[i];
    const int parentRow = placement.parentRow[i];
    sectionParents[i] = parentRow < 0 ? 0 : sectionIds[static_cast<std::size_t>(parentRow)];
    if (placement.forced[i]) {
      // The rows its parents lead through, up to the first met twice.
      std::vector<uint32_t> chain;
      std::set<std::size_t> seen;
      std::size_t at = i;
      while (seen.insert(at).second && chain.size() < 10) {
        chain.push_back(sections[at].recno);
        auto h = sectionHolder.find(sections[at].parent);
        if (sections[at].parent == kNotANumber || h == sectionHolder.end()) {
          break;
        }
        at = h->second;
      }
      add(FindingKind::kSectionParentCycle,
          Where(temFile, s.recno) + "the parents of section " + NumberText(s.id) +
              " lead round in a cycle (records " + RecordList(chain, chain.size()) + ")");
    } else if (parentRow < 0 && s.parent != 0) {
      add(FindingKind::kSectionParentMissing,
          Where(temFile, s.recno) + "the parent of section " + NumberText(s.id) +
              (s.parent == kNotANumber ? " is not a whole number"
                                       : ", " + std::to_string(s.parent) + ", names no section"));
    }
  }

  // URL records: the oldest record of an id keeps it.
  const auto& urls = scan.urls;
  urlIds.assign(urls.size(), 0);
  std::vector<int64_t> liveUrls;
  liveUrls.reserve(urls.size());
  for (const UrlRow& u : urls) {
    if (u.id != kNotANumber) {
      liveUrls.push_back(u.id);
    }
  }
  IdSet urlSet;
  urlSet.Build(std::move(liveUrls));
  IdAllocator newUrlIds(scan.largestUrlId, [&](int64_t id) {
    return urlSet.Contains(id) || scan.deletedUrlIds.Contains(id);
  });
  std::vector<std::pair<int64_t, std::size_t>> byId;
  byId.reserve(urls.size());
  for (std::size_t i = 0; i < urls.size(); ++i) {
    byId.emplace_back(urls[i].id, i);
  }
  std::sort(byId.begin(), byId.end());
  std::size_t kept = 0;  // the record of the id's group that keeps it
  for (std::size_t k = 0; k < byId.size(); ++k) {
    const std::size_t i = byId[k].second;
    const UrlRow& u = urls[i];
    const bool first = k == 0 || byId[k - 1].first != u.id;
    kept = first ? i : kept;
    if (!Positive(u.id)) {
      urlIds[i] = newUrlIds.Next();
      renumbered.push_back(i);
      add(FindingKind::kUrlIdNotPositive, Where(urlsFile, u.recno) + IdProblem("URL", u.id));
      if (first && u.id != kNotANumber) {
        urlRemap[u.id] = urlIds[i];
      }
    } else if (!first) {
      urlIds[i] = newUrlIds.Next();
      renumbered.push_back(i);
      add(FindingKind::kUrlIdRepeated,
          Where(urlsFile, u.recno) + "URL id " + std::to_string(u.id) + " repeats record " +
              std::to_string(urls[kept].recno));
    } else {
      urlIds[i] = u.id;
    }
  }
  if (newUrlIds.exhausted()) {
    *error = std::string(urlsFile) + ": no URL id is left to give";
    return false;
  }

  // Link types in use that TYPE.DBF lacks.
  for (const auto& [stored, used] : scan.usedTypes) {
    if (!scan.typeCodes.contains(used.code) &&
        std::find(missingTypes.begin(), missingTypes.end(), used.code) == missingTypes.end()) {
      missingTypes.push_back(used.code);
      add(FindingKind::kLinkTypeMissing,
          Where(urlsFile, used.recnos.front()) + "link type \"" + used.code + "\" is not in " +
              typeFile + " (used by records " + RecordList(used.recnos, used.count) + ")");
    }
  }

  // Memberships, in record order: the first of equal rows stays.
  const auto& members = scan.memberships;
  std::vector<uint32_t> order(members.size());
  for (uint32_t i = 0; i < order.size(); ++i) {
    order[i] = i;
  }
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    const MembershipRow& x = members[a];
    const MembershipRow& y = members[b];
    return x.section != y.section ? x.section < y.section
           : x.url != y.url       ? x.url < y.url
                                  : x.recno < y.recno;
  });
  std::vector<uint32_t> repeatOf(members.size(), 0);
  for (std::size_t k = 1; k < order.size(); ++k) {
    const MembershipRow& prev = members[order[k - 1]];
    const MembershipRow& m = members[order[k]];
    if (prev.section == m.section && prev.url == m.url) {
      repeatOf[order[k]] = repeatOf[order[k - 1]] != 0 ? repeatOf[order[k - 1]] : prev.recno;
    }
  }
  std::vector<uint32_t>().swap(order);
  for (std::size_t i = 0; i < members.size(); ++i) {
    const MembershipRow& m = members[i];
    const bool hasSection = m.section != INT32_MIN && sectionHolder.contains(m.section);
    const bool hasUrl = m.url != INT32_MIN && urlSet.Contains(m.url);
    std::optional<FindingKind> kind;
    std::string text;
    if (!hasSection) {
      kind = FindingKind::kMembershipNoSection;
      text = "names section " + NumberText(m.section == INT32_MIN ? kNotANumber : m.section) +
             ", which no section has";
    } else if (!hasUrl && m.url != INT32_MIN && scan.deletedUrlIds.Contains(m.url)) {
      kind = FindingKind::kMembershipOfDeletedUrl;
      text = "names URL id " + std::to_string(m.url) + ", whose record is marked deleted";
    } else if (!hasUrl) {
      kind = FindingKind::kMembershipNoUrl;
      text = "names URL id " + NumberText(m.url == INT32_MIN ? kNotANumber : m.url) +
             ", which no URL record has";
    } else if (repeatOf[i] != 0) {
      kind = FindingKind::kMembershipRepeated;
      text = "repeats record " + std::to_string(repeatOf[i]) + " (section " +
             std::to_string(m.section) + ", URL id " + std::to_string(m.url) + ")";
    }
    if (kind) {
      droppedMemberships.push_back(m.recno);
      add(*kind, Where(urlInFile, m.recno) + text);
      continue;
    }
    auto s = sectionRemap.find(m.section);
    auto u = urlRemap.find(m.url);
    if (s != sectionRemap.end() || u != urlRemap.end()) {
      remappedMemberships.push_back(
          {static_cast<int32_t>(s != sectionRemap.end() ? s->second : m.section),
           static_cast<int32_t>(u != urlRemap.end() ? u->second : m.url), m.recno});
    }
  }

  // Rows of the table of whole addresses.
  std::map<std::pair<int64_t, std::string>, uint32_t> firstRow;
  for (const WholeAddressRow& w : scan.wholeAddresses) {
    auto [it, added] = firstRow.try_emplace({w.id, w.address}, w.recno);
    if (w.id == kNotANumber || !urlSet.Contains(w.id)) {
      droppedWholeAddresses.push_back(w.recno);
      add(FindingKind::kWholeAddressNoUrl, Where(wholeFile, w.recno) + "names URL id " +
                                               NumberText(w.id) + ", which no URL record has");
    } else if (!added) {
      droppedWholeAddresses.push_back(w.recno);
      add(FindingKind::kWholeAddressRepeated,
          Where(wholeFile, w.recno) + "repeats record " + std::to_string(it->second) +
              " (URL id " + std::to_string(w.id) + ")");
    } else if (urlRemap.contains(w.id)) {
      // The id goes with its record's new one; the row is given again below.
      droppedWholeAddresses.push_back(w.recno);
    }
  }
  return true;
}

}  // namespace check

// ------------------------------------------------------------------ the check

bool CheckCatalogue(const std::string& dir, std::vector<Finding>* findings, std::string* error) {
  findings->clear();
  FolderLock hold(dir);
  if (!hold.ok()) {
    *error = hold.error();
    return false;
  }
  if (!FinishInterruptedRepair(xce::FileSystem::Default(), dir, error)) {
    return false;
  }
  check::OpenedTables tables;
  check::Scan scan;
  if (tables.Open(dir, HasWholeAddressTable(dir), XDS_OPEN_READONLY) != 0 ||
      scan.Read(tables.tables()) != 0) {
    *error = check::EngineError();
    return false;
  }
  check::Plan plan;
  if (!plan.Make(scan, error)) {
    return false;
  }
  *findings = std::move(plan.findings);
  return true;
}

}  // namespace catalogue
