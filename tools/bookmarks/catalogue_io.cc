#include "catalogue_io.h"

#include <strings.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "bookmark_text.h"
#include "bookmark_write.h"
#include "catalogue/catalogue_check.h"
#include "catalogue/field_text.h"
#include "catalogue/schema.h"
#include "catalogue/whole_address.h"
#include "catalogue_files.h"
#include "cp1251.h"
#include "stored_text.h"
#include "xce.h"

namespace bookmarks {

const char* const kUnfiledFolder = "Без раздела";
const char* const kCancelled = "the import was cancelled";

namespace {

namespace fs = std::filesystem;
using catalogue::CatalogueTable;
using catalogue::CatalogueTables;

constexpr const char* kStaging = ".tavo-bookmarks.import";
constexpr const char* kJournal = "tavo-bookmarks.journal";
constexpr const char* kJournalHead = "tavo-bookmarks-journal 1\n";
constexpr const char* kUndo = "tavo-bookmarks.undo";
// Longer addresses than this are taken for damage, not addresses.
constexpr std::size_t kLongestAddress = 1 << 20;
constexpr std::size_t kNameLength = catalogue::kUrlNameLength;
constexpr std::size_t kSectionNameLength = catalogue::kSectionNameLength;
// Bigger files than this are not bookmark files a browser writes.
constexpr std::uintmax_t kMaxFileSize = 256u << 20;

std::string EngineError() {
  int32_t code = 0;
  char text[600];
  uint16_t length = sizeof text;
  if (XdsGetLastError(&code, text, &length) != 0) {
    return "engine error";
  }
  return std::string(text, length);
}

// Why the catalogue's tables did not open: held by the program, or the
// engine's own reason.
std::string OpenFailure(const std::string& dir) {
  int32_t code = 0;
  char text[600];
  uint16_t length = sizeof text;
  if (XdsGetLastError(&code, text, &length) != 0) {
    length = 0;
  }
  if (code == XDS_ERR_LOCKED) {
    return "the catalogue in " + dir + " is open in another program (close Tavo Url Manager first)";
  }
  return "cannot open the catalogue in " + dir + ": " + std::string(text, length);
}

// Stored text as UTF-8; plain ASCII, what most addresses are, as it is.
std::string Utf8Of(const std::string& ansi) {
  for (char c : ansi) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      return platform::Cp1251ToUtf8(ansi);
    }
  }
  return ansi;
}

// The form a stored address (in the program's character set, after its link
// type's prefix) is compared in, by the import and the duplicate search.
std::string AddressKey(std::string_view prefix, std::string_view url) {
  return ComparableUrl(Utf8Of(std::string(prefix).append(url)));
}

// ------------------------------------------------------------ table access

// The catalogue's tables on one connection, closed on every way out.
class Catalogue {
 public:
  ~Catalogue() { Close(); }

  XDSRESULT Connect(const std::string& dir) {
    dir_ = dir;
    return XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &connection_);
  }

  enum Mode {
    kRead,   // shared, read-only
    kHold,   // exclusive, only to keep the program out: nothing is changed
    kWrite,  // exclusive, for writing the staged copies
  };

  XDSRESULT Open(Mode mode) {
    for (std::size_t i = 0; i < tables_.size(); ++i) {
      const CatalogueTable& def = CatalogueTables()[i];
      uint32_t options = mode == kRead ? XDS_OPEN_READONLY : XDS_OPEN_EXCLUSIVE;
      if (mode == kHold) {
        options |= XDS_OPEN_IGNORE_COLLATION_MISMATCH;
      } else if (mode == kWrite) {
        // Only the import writes the copies, and a failed import drops them:
        // index pages need to reach them at the end only.
        options |= XDS_OPEN_DEFER_INDEX_WRITES;
        if (i == catalogue::kUrls) {
          options |= XDS_OPEN_REINDEX_ON_COLLATION_MISMATCH;  // as the program opens it
        }
      }
      XDSRESULT r = XdsOpenTable(connection_, def.file, nullptr, XDS_TABLE_CDX, def.charType,
                                 XDS_LOCK_PROPRIETARY, XDS_RIGHTS_CHECK, options, &tables_[i]);
      if (r != 0) {
        return r;
      }
    }
    // The whole addresses of long ones, when the catalogue keeps any; a
    // hold needs none (the program opens the four tables first).
    if (mode != kHold) {
      whole_ = std::make_unique<catalogue::WholeAddresses>(connection_, mode == kRead);
      return whole_->OpenIfPresent(dir_);
    }
    return 0;
  }

  XDSRESULT CloseTables() {
    XDSRESULT result = whole_ ? whole_->Close() : 0;
    for (XDSHANDLE& t : tables_) {
      if (t != 0) {
        XDSRESULT r = XdsCloseTable(t);
        result = result != 0 ? result : r;
        t = 0;
      }
    }
    return result;
  }

  // Writes what the engine buffers, keeping the tables open.
  XDSRESULT Flush() {
    for (XDSHANDLE t : {tables_[0], tables_[1], tables_[2], tables_[3], whole().table()}) {
      if (t != 0) {
        XDSRESULT r = XdsFlushTable(t);
        if (r != 0) {
          return r;
        }
      }
    }
    return 0;
  }

  // What the import wrote is flushed and checked (Flush) before any close;
  // closing and disconnecting afterwards have nothing left to lose.
  void Close() {
    (void)CloseTables();
    if (connection_ != 0) {
      (void)XdsDisconnect(connection_);
      connection_ = 0;
    }
  }

  XDSHANDLE connection() const { return connection_; }
  XDSHANDLE table(int i) const { return tables_[static_cast<std::size_t>(i)]; }
  // Holds no table before Open, or when the catalogue keeps no whole address.
  catalogue::WholeAddresses& whole() const { return whole_ ? *whole_ : none_; }

 private:
  XDSHANDLE connection_ = 0;
  std::string dir_;
  std::array<XDSHANDLE, 4> tables_ = {};
  std::unique_ptr<catalogue::WholeAddresses> whole_;
  mutable catalogue::WholeAddresses none_;
};

// A field of the current record as trimmed text (1251), any length.
XDSRESULT GetText(XDSHANDLE t, uint16_t field, std::string* out) {
  return catalogue::ReadFieldText(t, field, XDS_GET_TRIM, out);
}

XDSRESULT GetNumber(XDSHANDLE t, uint16_t field, int64_t* out) {
  char text[64];
  uint32_t length = sizeof text;
  XDSRESULT r = XdsGetField(t, field, text, &length, XDS_GET_TRIM);
  *out = r == 0 ? std::strtoll(std::string(text, length).c_str(), nullptr, 10) : 0;
  return r;
}

XDSRESULT FieldNumbers(XDSHANDLE t, std::initializer_list<const char*> names,
                       std::vector<uint16_t>* out) {
  out->clear();
  for (const char* n : names) {
    uint16_t f = 0;
    XDSRESULT r = XdsGetFieldNumber(t, n, &f);
    if (r != 0) {
      return r;
    }
    out->push_back(f);
  }
  return 0;
}

// Calls `visit` on every record in record-number order, deleted ones left
// out unless `withDeleted`; `visit` returns a result too.
template <typename Visit>
XDSRESULT EachRecord(XDSHANDLE t, bool withDeleted, Visit visit) {
  uint32_t count = 0;
  XDSRESULT r = XdsGetRecordCount(t, XDS_COUNT_IGNORE_FILTERS, &count);
  for (uint32_t recno = 1; r == 0 && recno <= count; ++recno) {
    r = XdsGotoRecord(t, recno);
    uint16_t deleted = 0;
    if (r == 0) {
      r = XdsIsRecordDeleted(t, &deleted);
    }
    if (r == 0) {
      r = visit(deleted != 0);
    }
    (void)withDeleted;
  }
  return r;
}

XDSRESULT SetText(XDSHANDLE t, uint16_t field, const std::string& value) {
  return XdsSetField(t, field, value.data(), static_cast<uint32_t>(value.size()));
}

XDSRESULT IndexText(XDSRESULT (*get)(XDSHANDLE, char*, uint16_t*), XDSHANDLE index,
                    std::string* out) {
  char text[512];
  uint16_t length = sizeof text;
  XDSRESULT r = get(index, text, &length);
  out->assign(text, r == 0 ? length : 0);
  return r;
}

// --------------------------------------------------------------- the plan

struct Type {
  std::string code;  // trimmed TYPE_ID
  std::string name;
  std::string prefix;
};

// One URL record to add, or an existing one gaining memberships.
struct Group {
  int64_t existingId = 0;  // the catalogue's record, or 0 for a new one
  int64_t newId = 0;
  std::string url;         // 1251
  std::string key;         // the address as compared (UTF-8)
  Type type;               // of a new record
  bool typed = false;
  std::size_t first = 0;   // the link that made the group
  std::vector<std::size_t> joined;  // links of the same address after it
  std::string typeCode;
  std::string name;
  std::string description;
  std::vector<int64_t> sections;  // in the order met, no repeats
};

class Importer {
 public:
  Importer(const Tree& tree, ImportSummary* summary) : tree_(tree), summary_(summary) {}

  // Reads the staged catalogue's sections and link types.
  XDSRESULT ReadSectionsAndTypes(const Catalogue& c) {
    std::vector<uint16_t> f;
    XDSHANDLE tem = c.table(catalogue::kTem);
    XDSRESULT r = FieldNumbers(
        tem, {catalogue::kSectionId, catalogue::kSectionName, catalogue::kSectionParent}, &f);
    if (r == 0) {
      r = EachRecord(tem, false, [&](bool deleted) {
        int64_t id = 0;
        int64_t parent = 0;
        std::string name;
        XDSRESULT q = GetNumber(tem, f[0], &id);
        if (q == 0) {
          q = GetText(tem, f[1], &name);
        }
        if (q == 0) {
          q = GetNumber(tem, f[2], &parent);
        }
        maxSection_ = std::max(maxSection_, id);
        if (q == 0 && !deleted) {
          sections_[{parent, name}].push_back(id);
        }
        return q;
      });
    }
    XDSHANDLE type = c.table(catalogue::kType);
    if (r == 0) {
      r = FieldNumbers(type, {"TYPE_ID", "TYPE_NAME", "TYPRPRESTR"}, &f);
    }
    if (r == 0) {
      r = EachRecord(type, false, [&](bool deleted) {
        Type t;
        XDSRESULT q = GetText(type, f[0], &t.code);
        if (q == 0) {
          q = GetText(type, f[1], &t.name);
        }
        if (q == 0) {
          q = GetText(type, f[2], &t.prefix);
        }
        maxType_ = std::max<int64_t>(maxType_, std::strtoll(t.code.c_str(), nullptr, 10));
        if (q == 0 && !deleted) {
          types_.push_back(t);
        }
        return q;
      });
    }
    return r;
  }

  // Gathers the links into records to be: one per address (or per record
  // of a catalogue export), each with the sections it is filed under.
  void Plan() {
    PlanSections();
    std::unordered_map<std::string, std::size_t> byAddress;
    std::unordered_map<std::string, std::size_t> byCatalogueId;
    summary_->links = tree_.links.size();
    for (std::size_t i = 0; i < tree_.links.size(); ++i) {
      const Link& link = tree_.links[i];
      int64_t section = link.folder >= 0 ? sectionOf_[static_cast<std::size_t>(link.folder)] : 0;
      Group g;
      std::string reason;
      if (!Address(link, &g.url, &g.type, &g.typed, &reason)) {
        summary_->skipped.push_back({link.title, link.href, reason});
        continue;
      }
      g.key = AddressKey(g.type.prefix, g.url);
      std::size_t* found = nullptr;
      if (link.catalogue.present) {
        auto it = byCatalogueId.find(link.catalogue.id);
        found = it != byCatalogueId.end() ? &it->second : nullptr;
      } else {
        auto it = byAddress.find(g.key);
        found = it != byAddress.end() ? &it->second : nullptr;
      }
      if (found != nullptr) {
        ++summary_->linksJoined;
        AddSection(&groups_[*found], section);
        groups_[*found].joined.push_back(i);
        continue;
      }
      g.first = i;
      AddSection(&g, section);
      const std::size_t index = groups_.size();
      byAddress.emplace(g.key, index);
      if (link.catalogue.present) {
        byCatalogueId.emplace(link.catalogue.id, index);
      }
      groups_.push_back(std::move(g));
    }
  }

  // Finds the addresses already in the catalogue (the link type's prefix in
  // front of each stored address), and the highest URL id. The records are
  // read as stored in one pass; an address in ASCII is put in its compared
  // form only when its sketch may be a wanted one, any other one always.
  XDSRESULT MatchExisting(const Catalogue& c) {
    constexpr int kFilterBits = 23;
    std::vector<uint64_t> filter((std::size_t{1} << kFilterBits) / 64);
    auto slot = [](std::string_view url) { return AddressSketch(url) >> (64 - kFilterBits); };
    std::unordered_map<std::string, std::vector<std::size_t>> wanted;
    wanted.reserve(groups_.size());
    for (std::size_t i = 0; i < groups_.size(); ++i) {
      wanted[groups_[i].key].push_back(i);
      const uint64_t bit = slot(groups_[i].key);
      filter[bit / 64] |= uint64_t{1} << (bit % 64);
    }
    std::map<std::string, std::string, std::less<>> prefixes;
    for (const Type& t : types_) {
      prefixes.emplace(t.code, t.prefix);
    }
    auto prefixOf = [&](std::string_view code) -> std::string_view {
      auto p = prefixes.find(code);
      return p != prefixes.end() ? std::string_view(p->second) : std::string_view();
    };
    auto match = [&](const std::string& key, int64_t id) {
      auto it = wanted.find(key);
      if (it != wanted.end()) {
        // Every group of that address goes to the first such record.
        for (std::size_t g : it->second) {
          groups_[g].existingId = id;
        }
        wanted.erase(it);
      }
    };
    XDSHANDLE urls = c.table(catalogue::kUrls);
    std::vector<uint16_t> f;
    // A record whose address is kept whole is compared by it.
    catalogue::WholeAddresses::Rows wholes;
    XDSRESULT r = c.whole().ReadAll(&wholes);
    auto wholeOf = [&](int64_t id, std::string_view url) {
      return wholes.empty()
                 ? url
                 : catalogue::WholeAddresses::AddressIn(wholes, static_cast<uint32_t>(id), url);
    };
    r = r != 0 ? r : FieldNumbers(urls, {"URL", "ADRESTYPE", "URL_ID"}, &f);
    // Where the fields lie in the record image, when they have the types the
    // program gives them.
    std::array<uint16_t, 3> at = {};
    std::array<uint16_t, 3> width = {};
    bool stored = r == 0;
    for (std::size_t i = 0; r == 0 && i < 3; ++i) {
      char letter = 0;
      r = XdsGetFieldOffset(urls, f[i], &at[i]);
      r = r != 0 ? r : XdsGetFieldLength(urls, f[i], &width[i]);
      r = r != 0 ? r : XdsGetFieldTypeLetter(urls, f[i], &letter);
      stored = stored && letter == (i < 2 ? 'C' : 'N');
    }
    uint16_t hidden = 0;
    uint32_t length = 0;
    r = r != 0 ? r : XdsGetDeleted(urls, &hidden);
    r = r != 0 ? r : XdsSetDeleted(urls, 0);  // deleted records hold ids too
    r = r != 0 ? r : XdsGetRecordLength(urls, &length);
    std::vector<char> image(length);
    auto field = [&](int i) {
      std::string_view v(image.data() + at[static_cast<std::size_t>(i)],
                         width[static_cast<std::size_t>(i)]);
      while (!v.empty() && v.back() == ' ') {
        v.remove_suffix(1);
      }
      return v;
    };
    auto ascii = [](std::string_view v) {
      unsigned char any = 0;
      for (char ch : v) {
        any |= static_cast<unsigned char>(ch);
      }
      return any < 0x80;
    };
    // Most records share a few link types: the last one's prefix is kept.
    std::string lastCode;
    std::string_view lastPrefix = prefixOf(lastCode);
    std::string url;
    std::string code;
    std::string address;
    r = r != 0 ? r : XdsGotoTop(urls);
    for (int32_t step = 0; r == 0; step = 1) {
      char bookmark[64];
      XDSFETCHINFO info{};
      info.bookmarkLength = sizeof bookmark;
      r = XdsFetchRecord(urls, step, image.data(), length, bookmark, &info);
      if (r != 0 || info.atEof != 0) {
        break;
      }
      int64_t id = 0;
      char* end = nullptr;
      const std::string idText(stored ? field(2) : std::string_view());
      id = std::strtoll(idText.c_str(), &end, 10);
      if (!stored || *end != '\0' || idText.empty()) {
        r = GetNumber(urls, f[2], &id);  // what the API reads of it
      }
      maxUrl_ = std::max(maxUrl_, id);
      if (r != 0 || image[0] == '*') {
        continue;
      }
      const std::string_view storedUrl = stored ? field(0) : std::string_view();
      const std::string_view storedCode = stored ? field(1) : std::string_view();
      if (stored && storedCode != lastCode) {
        lastCode.assign(storedCode);
        lastPrefix = prefixOf(storedCode);
      }
      if (stored && wholeOf(id, storedUrl).data() != storedUrl.data()) {
        match(AddressKey(lastPrefix, wholeOf(id, storedUrl)), id);
        continue;
      }
      if (stored && ascii(storedUrl) && ascii(storedCode) && ascii(lastPrefix)) {
        // Stored ASCII reads the same in every code page.
        if (storedUrl.empty()) {
          continue;
        }
        address.assign(lastPrefix).append(storedUrl);
        const uint64_t bit = slot(address);
        if ((filter[bit / 64] >> (bit % 64) & 1) != 0) {
          match(ComparableUrl(address), id);
        }
        continue;
      }
      r = GetText(urls, f[0], &url);
      r = r != 0 ? r : GetText(urls, f[1], &code);
      if (r == 0 && !url.empty()) {
        match(AddressKey(prefixOf(code), wholeOf(id, url)), id);
      }
    }
    XDSRESULT restored = XdsSetDeleted(urls, hidden);
    return r != 0 ? r : restored;
  }

  // Gives new records their ids, link types, names and descriptions; folds
  // groups that met the same catalogue record into one.
  void Finalize() {
    std::unordered_map<int64_t, std::size_t> byRecord;
    for (std::size_t i = 0; i < groups_.size(); ++i) {
      Group& g = groups_[i];
      if (g.existingId != 0) {
        auto [it, fresh] = byRecord.emplace(g.existingId, i);
        if (fresh) {
          ++summary_->urlsMerged;
        } else {
          for (int64_t s : g.sections) {
            AddSection(&groups_[it->second], s);
          }
          g.sections.clear();
        }
        continue;
      }
      g.newId = ++maxUrl_;
      g.typeCode = g.typed ? TypeFor(g.type.name, g.type.prefix) : "";
      ++summary_->urlsAdded;
      Describe(tree_.links[g.first], &g);
      for (std::size_t j : g.joined) {
        NoteDifferences(tree_.links[j], &g);
      }
    }
  }

  // Leaves out memberships the catalogue already holds (for records that
  // were in it before).
  XDSRESULT DropKnownMemberships(const Catalogue& c) {
    std::unordered_map<int64_t, Group*> merged;
    for (Group& g : groups_) {
      if (g.existingId != 0) {
        merged.emplace(g.existingId, &g);
      }
    }
    if (merged.empty()) {
      return 0;
    }
    XDSHANDLE in = c.table(catalogue::kUrlIn);
    std::vector<uint16_t> f;
    XDSRESULT r = FieldNumbers(in, {"TEM_ID", "URL_ID"}, &f);
    XDSHANDLE byUrl = 0;
    if (r == 0 && UrlIdOrder(in, &byUrl)) {
      // Each record's memberships, found through the tag.
      for (const auto& [id, group] : merged) {
        const std::string key = std::to_string(id);
        uint16_t found = 0;
        r = XdsSeek(byUrl, key.data(), static_cast<uint16_t>(key.size()), XDS_KEY_STRING,
                    XDS_SEEK_HARD, &found);
        while (r == 0 && found != 0) {
          int64_t url = 0;
          int64_t section = 0;
          uint16_t deleted = 0;
          r = GetNumber(in, f[1], &url);
          if (r != 0 || url != id) {
            break;
          }
          r = XdsIsRecordDeleted(in, &deleted);
          r = r != 0 ? r : GetNumber(in, f[0], &section);
          if (r == 0 && deleted == 0) {
            auto& s = group->sections;
            s.erase(std::remove(s.begin(), s.end(), section), s.end());
          }
          uint16_t eof = 0;
          r = r != 0 ? r : XdsSkip(byUrl, 1);
          if (r != 0 && XdsAtEOF(byUrl, &eof) == 0 && eof != 0) {
            r = 0;  // a step past the last record
            break;
          }
        }
      }
      return r;
    }
    if (r == 0) {
      r = EachRecord(in, false, [&](bool deleted) {
        int64_t url = 0;
        XDSRESULT q = GetNumber(in, f[1], &url);
        auto it = merged.find(url);
        if (q != 0 || deleted || it == merged.end()) {
          return q;
        }
        int64_t section = 0;
        q = GetNumber(in, f[0], &section);
        auto& s = it->second->sections;
        s.erase(std::remove(s.begin(), s.end(), section), s.end());
        return q;
      });
    }
    return r;
  }

  // The membership table's order by URL id: its tag of that key, with no
  // condition. False when it has none (the memberships are then read all).
  static bool UrlIdOrder(XDSHANDLE in, XDSHANDLE* order) {
    std::string key;
    std::string condition;
    return XdsGetIndexHandle(in, "TEM_URL", order) == 0 &&
           IndexText(XdsGetIndexKeyExpression, *order, &key) == 0 &&
           IndexText(XdsGetIndexCondition, *order, &condition) == 0 &&
           strcasecmp(key.c_str(), "URL_ID") == 0 && condition.empty();
  }

  // Stops early with *cancelled set when the options ask it to.
  XDSRESULT Write(const Catalogue& c, const ImportOptions& options, bool* cancelled) {
    XDSHANDLE type = c.table(catalogue::kType);
    XDSRESULT r = 0;
    for (const Type& t : newTypes_) {
      r = XdsAppendRecord(type);
      r = r != 0 ? r : SetText(type, 1, t.code);
      r = r != 0 ? r : SetText(type, 2, t.name);
      r = r != 0 ? r : SetText(type, 3, t.prefix);
      r = r != 0 ? r : XdsWriteRecord(type);
      if (r != 0) {
        return r;
      }
    }
    XDSHANDLE tem = c.table(catalogue::kTem);
    std::vector<uint16_t> f;
    r = FieldNumbers(
        tem, {catalogue::kSectionId, catalogue::kSectionName, catalogue::kSectionParent}, &f);
    for (std::size_t i = 0; r == 0 && i < newSections_.size(); ++i) {
      const NewSection& s = newSections_[i];
      r = XdsAppendRecord(tem);
      r = r != 0 ? r : SetText(tem, f[0], std::to_string(s.id));
      r = r != 0 ? r : SetText(tem, f[1], s.name);
      r = r != 0 ? r : SetText(tem, f[2], std::to_string(s.parent));
      r = r != 0 ? r : XdsWriteRecord(tem);
    }
    XDSHANDLE urls = c.table(catalogue::kUrls);
    XDSHANDLE in = c.table(catalogue::kUrlIn);
    std::vector<uint16_t> u;
    std::vector<uint16_t> m;
    r = r != 0 ? r : FieldNumbers(urls, {"URL", "NAME", "DESCR", "ADRESTYPE", "URL_ID"}, &u);
    r = r != 0 ? r : FieldNumbers(in, {"TEM_ID", "URL_ID"}, &m);
    std::size_t done = 0;
    for (const Group& g : groups_) {
      if (r != 0) {
        break;
      }
      if (options.cancelled && done % 256 == 0 && options.cancelled()) {
        *cancelled = true;
        return 0;
      }
      const int64_t id = g.existingId != 0 ? g.existingId : g.newId;
      if (g.existingId == 0) {
        // A long address whole beside the record, its first 100 characters in it.
        r = c.whole().Stage(static_cast<uint32_t>(id), g.url);
        r = r != 0 ? r : XdsAppendRecord(urls);
        r = r != 0 ? r : SetText(urls, u[0], catalogue::UrlFieldPart(g.url));
        r = r != 0 ? r : SetText(urls, u[1], g.name);
        if (r == 0 && !g.description.empty()) {
          r = SetText(urls, u[2], g.description);
        }
        r = r != 0 ? r : SetText(urls, u[3], g.typeCode);
        r = r != 0 ? r : SetText(urls, u[4], std::to_string(id));
        r = r != 0 ? r : XdsWriteRecord(urls);
      }
      for (std::size_t k = 0; r == 0 && k < g.sections.size(); ++k) {
        r = XdsAppendRecord(in);
        r = r != 0 ? r : SetText(in, m[0], std::to_string(g.sections[k]));
        r = r != 0 ? r : SetText(in, m[1], std::to_string(id));
        r = r != 0 ? r : XdsWriteRecord(in);
        ++summary_->membershipsAdded;
      }
      if (++done % 2000 == 0 && options.progress) {
        options.progress(done, groups_.size());
      }
    }
    if (r == 0 && options.progress) {
      options.progress(groups_.size(), groups_.size());
    }
    return r;
  }

 private:
  struct NewSection {
    int64_t id;
    int64_t parent;
    std::string name;
  };

  // Folders become sections: a folder meets the section of the same name and
  // parent (the second folder of a name the second such section, and so on),
  // or a new section is made.
  void PlanSections() {
    std::map<std::pair<int64_t, std::string>, std::size_t> used;
    sectionOf_.assign(tree_.folders.size(), 0);
    for (std::size_t i = 0; i < tree_.folders.size(); ++i) {
      const Folder& folder = tree_.folders[i];
      if (folder.unfiled) {
        continue;  // its links are filed under no section
      }
      int64_t parent = folder.parent >= 0 ? sectionOf_[static_cast<std::size_t>(folder.parent)] : 0;
      bool altered = false;
      std::string name = StorableText(OneLine(folder.name), false, &altered);
      summary_->textsAltered += altered ? 1 : 0;
      if (name.size() > kSectionNameLength) {
        summary_->sectionNamesCut.push_back(folder.name);
        name.resize(platform::TextCut(name, kSectionNameLength, false));
      }
      while (!name.empty() && name.back() == ' ') {
        name.pop_back();  // the field keeps no trailing blanks
      }
      std::pair<int64_t, std::string> key(parent, name);
      std::size_t nth = used[key]++;
      auto it = sections_.find(key);
      if (it != sections_.end() && nth < it->second.size()) {
        sectionOf_[i] = it->second[nth];
        ++summary_->sectionsReused;
        continue;
      }
      sectionOf_[i] = ++maxSection_;
      newSections_.push_back({maxSection_, parent, name});
      ++summary_->sectionsCreated;
    }
  }

  static std::string OneLine(const std::string& s) {
    std::string out = s;
    for (char& c : out) {
      if (c == '\r' || c == '\n' || c == '\t') {
        c = ' ';
      }
    }
    return out;
  }

  // The address as stored and the name and prefix of its link type, or why
  // the link is skipped.
  bool Address(const Link& link, std::string* url, Type* type, bool* typed, std::string* reason) {
    if (link.catalogue.present) {
      bool altered = false;
      *url = StorableAddress(link.catalogue.url, true, &altered);
      if (altered) {
        *reason = "holds characters the URL table cannot hold";
        return false;
      }
      *typed = link.catalogue.typed;
      if (link.catalogue.typed) {
        bool a = false;
        type->name = StorableText(link.catalogue.typeName, false, &a);
        type->prefix = StorableAddress(link.catalogue.typePrefix, false, &a);
      }
    } else {
      std::string_view href = link.href;
      while (!href.empty() && (href.front() == ' ' || href.front() == '\t' ||
                               href.front() == '\r' || href.front() == '\n')) {
        href.remove_prefix(1);
      }
      while (!href.empty() && (href.back() == ' ' || href.back() == '\t' || href.back() == '\r' ||
                               href.back() == '\n')) {
        href.remove_suffix(1);
      }
      if (href.empty()) {
        *reason = "no address";
        return false;
      }
      std::string scheme = SchemeOf(href);
      if (scheme.empty()) {
        *reason = "not an address (no scheme such as http:)";
        return false;
      }
      if (scheme == "place") {
        *reason = "a browser's saved search, not an address";
        return false;
      }
      *url = StorableUrl(href, true);
      *typed = true;
      type->name = scheme;  // a type per scheme, with no prefix
    }
    if (url->empty()) {
      *reason = "no address";
      return false;
    }
    if (url->size() > kLongestAddress) {
      *reason = "longer than any address (" + std::to_string(url->size()) + " characters)";
      return false;
    }
    return true;
  }

  // The code of the link type with this name and prefix, made when missing.
  std::string TypeFor(const std::string& name, const std::string& prefix) {
    auto same = [](const std::string& a, const std::string& b) {
      if (a.size() != b.size()) {
        return false;
      }
      for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i]))) {
          return false;
        }
      }
      return true;
    };
    for (const Type& t : types_) {
      if (same(t.name, name) && t.prefix == prefix) {
        return t.code;
      }
    }
    Type t{std::to_string(++maxType_), name, prefix};
    types_.push_back(t);
    newTypes_.push_back(t);
    summary_->typesCreated.push_back(platform::Cp1251ToUtf8(name));
    return t.code;
  }

  static void AddSection(Group* g, int64_t section) {
    if (section != 0 && std::find(g->sections.begin(), g->sections.end(), section) == g->sections.end()) {
      g->sections.push_back(section);
    }
  }

  // Description text in the URL table: bare line breaks become the
  // program's CR LF; what the table cannot hold is written as references.
  std::string MemoText(const std::string& utf8, bool lineBreaks) {
    bool altered = false;
    std::string text = StorableText(utf8, true, &altered);
    summary_->textsAltered += altered ? 1 : 0;
    if (!lineBreaks) {
      return text;
    }
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) {
        out += '\r';
      }
      out += text[i];
    }
    return out;
  }

  void Describe(const Link& link, Group* g) {
    const bool browser = !link.catalogue.present;
    bool altered = false;
    std::string name = StorableText(browser ? OneLine(link.title) : link.title, true, &altered);
    summary_->textsAltered += altered ? 1 : 0;
    std::vector<std::string> lines;
    if (name.size() > kNameLength) {
      lines.push_back(platform::Utf8ToCp1251("Название: ") + name);
      name.resize(platform::TextCut(name, kNameLength, true));
      ++summary_->namesCut;
    }
    g->name = name;
    if (!link.description.empty()) {
      lines.push_back(MemoText(link.description, browser));
    }
    if (browser) {
      std::string facts = Facts(link);
      if (!facts.empty()) {
        lines.push_back(MemoText(facts, false));
      }
    }
    for (std::size_t i = 0; i < lines.size(); ++i) {
      g->description += (i > 0 ? "\r\n" : "") + lines[i];
    }
  }

  // Tags, dates and keyword of a browser's bookmark as one readable line.
  static std::string Facts(const Link& link) {
    std::vector<std::string> parts;
    if (!link.tags.empty()) {
      parts.push_back("Метки: " + link.tags);
    }
    if (!link.added.empty()) {
      parts.push_back("добавлена " + link.added);
    }
    if (!link.modified.empty()) {
      parts.push_back("изменена " + link.modified);
    }
    if (!link.keyword.empty()) {
      parts.push_back("ключевое слово: " + link.keyword);
    }
    std::string line;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      line += (i > 0 ? "; " : "") + parts[i];
    }
    return OneLine(line);
  }

  // A link met again under another title or with another description keeps
  // them in the description of the one record.
  void NoteDifferences(const Link& link, Group* g) {
    if (link.catalogue.present) {
      return;
    }
    bool altered = false;
    std::string title = StorableText(OneLine(link.title), true, &altered);
    std::string extra;
    if (!title.empty() && title != g->name &&
        g->description.find(title) == std::string::npos) {
      extra = platform::Utf8ToCp1251("Другое название: ") + title;
    }
    if (!link.description.empty()) {
      std::string d = MemoText(link.description, true);
      if (g->description.find(d) == std::string::npos) {
        extra += (extra.empty() ? "" : "\r\n") + d;
      }
    }
    std::string facts = Facts(link);
    if (!facts.empty()) {
      std::string f = MemoText(facts, false);
      if (g->description.find(f) == std::string::npos) {
        extra += (extra.empty() ? "" : "\r\n") + f;
      }
    }
    if (!extra.empty()) {
      g->description += (g->description.empty() ? "" : "\r\n") + extra;
    }
  }

  const Tree& tree_;
  ImportSummary* summary_;
  std::map<std::pair<int64_t, std::string>, std::vector<int64_t>> sections_;
  std::vector<Type> types_;
  std::vector<Type> newTypes_;
  std::vector<int64_t> sectionOf_;
  std::vector<NewSection> newSections_;
  std::vector<Group> groups_;
  int64_t maxSection_ = 0;
  int64_t maxType_ = 0;
  int64_t maxUrl_ = 0;
};

// The link types of a catalogue by their trimmed codes.
XDSRESULT ReadTypes(const Catalogue& c, std::unordered_map<std::string, Type>* types) {
  std::vector<uint16_t> f;
  XDSHANDLE type = c.table(catalogue::kType);
  XDSRESULT r = FieldNumbers(type, {"TYPE_ID", "TYPE_NAME", "TYPRPRESTR"}, &f);
  return r != 0 ? r : EachRecord(type, false, [&](bool deleted) {
    Type t;
    XDSRESULT q = GetText(type, f[0], &t.code);
    q = q != 0 ? q : GetText(type, f[1], &t.name);
    q = q != 0 ? q : GetText(type, f[2], &t.prefix);
    if (q == 0 && !deleted) {
      types->emplace(t.code, t);
    }
    return q;
  });
}

// Removes the staging folder and everything in it.
void RemoveStaging(const std::string& dir) {
  std::error_code ec;
  fs::remove_all(Join(dir, kStaging), ec);
}

bool Fail(std::string* error, std::string text) {
  *error = std::move(text);
  return false;
}

}  // namespace

// ---------------------------------------------------------------- recovery

bool FinishInterruptedImport(xce::FileSystem* fsys, const std::string& dir, std::string* error) {
  // A catalogue repair cut short after it was done is finished first: an
  // import into its half-swapped tables would be overwritten by it later.
  if (!catalogue::FinishInterruptedRepair(fsys, dir, error)) {
    return false;
  }
  const std::string journal = Join(dir, kJournal);
  const std::string staging = Join(dir, kStaging);
  const std::string undo = Join(dir, kUndo);
  auto failed = [&](const xce::Status& s) {
    return Fail(error, "cannot finish the interrupted import: " + s.message());
  };
  bool committed = false;
  if (fsys->Exists(journal)) {
    std::string content;
    if (!ReadWholeFile(fsys, journal, &content)) {
      return Fail(error, "cannot read " + journal);
    }
    const std::string head = kJournalHead;
    committed = content.compare(0, head.size(), head) == 0 && content.size() >= head.size() + 4 &&
                content.compare(content.size() - 4, 4, "end\n") == 0;
    if (committed) {
      std::size_t pos = head.size();
      std::vector<std::string> names;
      while (pos < content.size() - 4) {
        std::size_t nl = content.find('\n', pos);
        std::string name = content.substr(pos, nl - pos);
        pos = nl + 1;
        if (IsCatalogueFileName(name)) {
          names.push_back(name);
        }
      }
      for (const std::string& name : names) {
        const std::string from = Join(staging, name);
        if (fsys->Exists(from)) {
          xce::Status s = fsys->Rename(from, Join(dir, name));
          if (!s.ok()) {
            return failed(s);
          }
        }
      }
      xce::Status s = fsys->SyncDir(dir);
      // The import stands, so the records it appended in place stay: the
      // undo record goes before the journal that says so.
      if (s.ok() && fsys->Exists(undo)) {
        s = fsys->Remove(undo);
        s = s.ok() ? fsys->SyncDir(dir) : s;
      }
      if (!s.ok()) {
        return failed(s);
      }
    }
    xce::Status s = fsys->Remove(journal);
    if (!s.ok()) {
      return failed(s);
    }
  }
  if (!committed && fsys->Exists(undo)) {
    std::string content;
    std::vector<UndoRecord> records;
    if (!ReadWholeFile(fsys, undo, &content, uint64_t{64} << 20) || !DecodeUndo(content, &records)) {
      return Fail(error, "cannot read " + undo +
                             ": the catalogue may hold part of an interrupted bookmark import");
    }
    if (!RollBack(fsys, dir, records, error)) {
      return Fail(error, "cannot undo the interrupted import: " + *error);
    }
    xce::Status s = fsys->Remove(undo);
    s = s.ok() ? fsys->SyncDir(dir) : s;
    if (!s.ok()) {
      return Fail(error, "cannot undo the interrupted import: " + s.message());
    }
  }
  for (const std::string& temporary : {journal + ".tmp", undo + ".tmp"}) {
    if (fsys->Exists(temporary)) {
      (void)fsys->Remove(temporary);
    }
  }
  RemoveStaging(dir);
  return true;
}

// ------------------------------------------------------------------ import

bool ImportBookmarks(const Tree& tree, const std::string& dir, const ImportOptions& options,
                     ImportSummary* summary, std::string* error) {
  xce::FileSystem* fsys = options.fs != nullptr ? options.fs : xce::FileSystem::Default();
  *summary = ImportSummary();
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) {
    return Fail(error, "cannot create " + dir + ": " + ec.message());
  }
  FolderLock lock(dir);
  if (!lock.ok()) {
    return Fail(error, lock.error());
  }
  if (!FinishInterruptedImport(fsys, dir, error)) {
    return false;
  }
  auto cancelled = [&options] { return options.cancelled && options.cancelled(); };
  if (cancelled()) {
    return Fail(error, kCancelled);
  }
  std::vector<std::string> files = catalogue::CatalogueFilesIn(dir);
  const bool fresh = files.empty();
  summary->createdCatalogue = fresh;

  const std::string staging = Join(dir, kStaging);
  fs::create_directory(staging, ec);
  if (ec) {
    return Fail(error, "cannot create " + staging + ": " + ec.message());
  }
  Catalogue work;
  const std::string undoPath = Join(dir, kUndo);
  std::vector<UndoRecord> undo;
  bool undoWritten = false;
  // Before the commit a failure closes the copy and puts back what the
  // appends changed in place; when that fails too, the undo record stays for
  // the next run (or the program's start) to finish the job.
  auto abandon = [&](const std::string& text) {
    work.Close();
    RemoveStaging(dir);
    std::string why;
    if (undoWritten && !RollBack(fsys, dir, undo, &why)) {
      return Fail(error, text + "; the catalogue could not be put back yet (" + why +
                             "): tavo-bookmarks or the program puts it back when it starts");
    }
    if (undoWritten) {
      (void)fsys->Remove(undoPath);
    }
    return Fail(error, text);
  };

  // The staging folder gets a copy of each index file and a second name of
  // each table and memo file: appends go to those in place, under an undo
  // record. The catalogue is held meanwhile, so that the program cannot open
  // it; the copy's tables are then opened for exclusive use in its place,
  // and a catalogue changed in the moment between is refused.
  std::set<std::string> inPlace;
  std::string before;
  if (!fresh) {
    Catalogue held;
    if (held.Connect(dir) != 0 || held.Open(Catalogue::kHold) != 0) {
      std::string text = OpenFailure(dir);
      RemoveStaging(dir);
      return Fail(error, text);
    }
    for (const std::string& name : files) {
      UndoRecord r;
      if (SwapRank(name) != 1 && MakeUndoRecord(fsys, dir, name, &r) &&
          ::link(Join(dir, name).c_str(), Join(staging, name).c_str()) == 0) {
        undo.push_back(std::move(r));
        inPlace.insert(name);
      } else if (!CopyFile(Join(dir, name), Join(staging, name), error)) {
        return abandon(*error);
      }
    }
    before = Fingerprint(dir);
  }
  if (work.Connect(staging) != 0 ||
      (fresh && catalogue::CreateCatalogueTables(work.connection()) != 0)) {
    return abandon("cannot prepare the catalogue copy: " + EngineError());
  }
  if (work.Open(Catalogue::kWrite) != 0) {
    int32_t code = 0;
    char text[600];
    uint16_t length = sizeof text;
    (void)XdsGetLastError(&code, text, &length);
    return abandon(code == XDS_ERR_LOCKED ? OpenFailure(dir)
                                          : "cannot prepare the catalogue copy: " + EngineError());
  }
  if (!fresh && Fingerprint(dir) != before) {
    return abandon("the catalogue in " + dir + " changed while the import began; run it again");
  }
  if (!undo.empty()) {
    xce::Status s = WriteFileAtomically(fsys, dir, undoPath, EncodeUndo(undo));
    if (!s.ok()) {
      return abandon("cannot write the import's undo record: " + s.message());
    }
    undoWritten = true;
  }

  Importer importer(tree, summary);
  if (importer.ReadSectionsAndTypes(work) != 0) {
    return abandon("cannot read the catalogue: " + EngineError());
  }
  importer.Plan();
  if (cancelled()) {
    return abandon(kCancelled);
  }
  if (importer.MatchExisting(work) != 0) {
    return abandon("cannot read the catalogue: " + EngineError());
  }
  importer.Finalize();
  if (importer.DropKnownMemberships(work) != 0) {
    return abandon("cannot read the catalogue: " + EngineError());
  }
  bool stopped = false;
  // Tables opened for writing here hold their appended records' keys and
  // add them to each tag in one sorted pass at the flush; a new catalogue
  // gets its tags built once, after the appends.
  if (importer.Write(work, options, &stopped) != 0) {
    return abandon("cannot add the bookmarks: " + EngineError());
  }
  if (stopped || cancelled()) {
    return abandon(kCancelled);
  }
  for (int i = 0; fresh && i < 4; ++i) {
    if (catalogue::CreateCatalogueTags(work.table(i),
                                       CatalogueTables()[static_cast<std::size_t>(i)]) != 0) {
      return abandon("cannot build the index tags: " + EngineError());
    }
  }
  // The tables stay open (and the program out) to the end of the swap.
  if (work.Flush() != 0) {
    return abandon("cannot write the catalogue copy: " + EngineError());
  }

  // Every file durable, the ones appended to in place as well.
  std::vector<std::string> staged;
  for (const auto& entry : fs::directory_iterator(staging, ec)) {
    staged.push_back(entry.path().filename().string());
  }
  std::sort(staged.begin(), staged.end(), [](const std::string& a, const std::string& b) {
    return SwapRank(a) != SwapRank(b) ? SwapRank(a) < SwapRank(b) : a < b;
  });
  std::vector<std::string> swapped;
  for (std::string& name : staged) {
    if (!IsCatalogueFileName(name)) {
      return abandon("unexpected file " + name + " in " + staging);
    }
    if (!inPlace.contains(name)) {
      // A file made afresh takes the letter case of the one it replaces, so
      // that no second spelling of it is left beside the new one.
      for (const std::string& old : files) {
        if (old != name && strcasecmp(old.c_str(), name.c_str()) == 0) {
          fs::rename(Join(staging, name), Join(staging, old), ec);
          if (ec) {
            return abandon("cannot rename " + name + " in " + staging + ": " + ec.message());
          }
          name = old;
        }
      }
      swapped.push_back(name);
    }
    if (!SyncFile(fsys, Join(staging, name), error)) {
      return abandon(*error);
    }
  }

  // The journal's rename is the moment the import is done: the last moment
  // to cancel it.
  if (cancelled()) {
    return abandon(kCancelled);
  }
  std::string content = kJournalHead;
  for (const std::string& name : swapped) {
    content += name + "\n";
  }
  content += "end\n";
  const std::string journal = Join(dir, kJournal);
  xce::Status s = WriteFileAtomically(fsys, dir, journal, content);
  if (!s.ok()) {
    return abandon("cannot write the import journal: " + s.message());
  }
  auto unfinished = [&](const xce::Status& s) {
    return Fail(error, "the import is complete but its files were not all moved into place (" +
                           s.message() + "); the next run of tavo-bookmarks finishes it");
  };
  for (std::size_t i = 0; s.ok() && i < swapped.size(); ++i) {
    s = fsys->Rename(Join(staging, swapped[i]), Join(dir, swapped[i]));
  }
  if (s.ok()) {
    s = fsys->SyncDir(dir);
  }
  if (s.ok() && undoWritten) {
    s = fsys->Remove(undoPath);
    s = s.ok() ? fsys->SyncDir(dir) : s;
  }
  if (s.ok()) {
    s = fsys->Remove(journal);
  }
  work.Close();
  if (!s.ok()) {
    return unfinished(s);
  }
  RemoveStaging(dir);
  return true;
}

// ------------------------------------------------------------------ export

bool ReadBookmarkFile(const std::string& path, std::string* bytes, std::string* error) {
  std::error_code ec;
  if (!fs::is_regular_file(path, ec)) {
    return Fail(error, path + " is not a file");
  }
  std::uintmax_t size = fs::file_size(path, ec);
  if (ec || size > kMaxFileSize) {
    return Fail(error, ec ? "cannot read " + path + ": " + ec.message()
                          : path + " is larger than 256 MB, more than any bookmark file");
  }
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  if (!in.good() && !in.eof()) {
    return Fail(error, "cannot read " + path);
  }
  *bytes = ss.str();
  return true;
}

bool XbelByName(const std::string& path) {
  const std::string ext = fs::path(path).extension().string();
  return strcasecmp(ext.c_str(), ".xbel") == 0;
}

bool ExportBookmarks(const std::string& dir, const std::string& file, bool xbel,
                     std::string* error) {
  std::error_code ec;
  if (!fs::is_directory(dir, ec)) {
    return Fail(error, dir + " is not a folder");
  }
  FolderLock lock(dir);
  if (!lock.ok()) {
    return Fail(error, lock.error());
  }
  if (!FinishInterruptedImport(xce::FileSystem::Default(), dir, error)) {
    return false;
  }
  Tree tree;
  if (!ReadCatalogue(dir, &tree, error)) {
    return false;
  }
  const std::string text = xbel ? WriteXbel(tree) : WriteNetscape(tree);
  const std::string parent = fs::path(file).parent_path().string();
  if (!WriteFileAtomically(xce::FileSystem::Default(), parent.empty() ? "." : parent, file, text)
           .ok()) {
    return Fail(error, "cannot write " + file);
  }
  return true;
}

bool ReadCatalogue(const std::string& dir, Tree* tree, std::string* error) {
  *tree = Tree();
  std::vector<std::string> files = catalogue::CatalogueFilesIn(dir);
  if (files.empty()) {
    return Fail(error, dir + " holds no catalogue");
  }
  Catalogue c;
  if (c.Connect(dir) != 0 || c.Open(Catalogue::kRead) != 0) {
    return Fail(error, OpenFailure(dir));
  }
  auto engineFail = [&]() { return Fail(error, "cannot read the catalogue: " + EngineError()); };

  // Sections: a parent that is missing, or a loop of parents, puts a section
  // at the top level.
  struct Section {
    int64_t id;
    int64_t parent;
    std::string name;
  };
  std::vector<Section> sections;
  std::vector<uint16_t> f;
  XDSHANDLE tem = c.table(catalogue::kTem);
  if (FieldNumbers(tem, {catalogue::kSectionId, catalogue::kSectionName, catalogue::kSectionParent},
                   &f) != 0 ||
      EachRecord(tem, false, [&](bool deleted) {
        Section s{0, 0, ""};
        XDSRESULT q = GetNumber(tem, f[0], &s.id);
        q = q != 0 ? q : GetText(tem, f[1], &s.name);
        q = q != 0 ? q : GetNumber(tem, f[2], &s.parent);
        if (q == 0 && !deleted) {
          sections.push_back(s);
        }
        return q;
      }) != 0) {
    return engineFail();
  }
  std::unordered_map<int64_t, int> folderOf;
  for (const Section& s : sections) {
    if (folderOf.emplace(s.id, static_cast<int>(folderOf.size())).second) {
      tree->folders.push_back({platform::DecodeTextToUtf8(s.name, false), -1, false});
    }
  }
  for (const Section& s : sections) {
    int self = folderOf[s.id];
    auto p = folderOf.find(s.parent);
    if (s.parent == 0 || p == folderOf.end() || p->second == self) {
      continue;
    }
    // A loop through this section would make it its own ancestor.
    bool loop = false;
    int steps = 0;
    for (int a = p->second; a >= 0 && !loop; a = tree->folders[static_cast<std::size_t>(a)].parent) {
      loop = a == self || ++steps > static_cast<int>(tree->folders.size());
    }
    if (!loop) {
      tree->folders[static_cast<std::size_t>(self)].parent = p->second;
    }
  }

  std::unordered_map<std::string, Type> types;
  if (ReadTypes(c, &types) != 0) {
    return engineFail();
  }

  std::unordered_map<int64_t, std::vector<int>> filedUnder;
  XDSHANDLE in = c.table(catalogue::kUrlIn);
  if (FieldNumbers(in, {"TEM_ID", "URL_ID"}, &f) != 0 ||
      EachRecord(in, false, [&](bool deleted) {
        int64_t section = 0;
        int64_t url = 0;
        XDSRESULT q = GetNumber(in, f[0], &section);
        q = q != 0 ? q : GetNumber(in, f[1], &url);
        auto folder = folderOf.find(section);
        if (q == 0 && !deleted && folder != folderOf.end()) {
          std::vector<int>& v = filedUnder[url];
          if (std::find(v.begin(), v.end(), folder->second) == v.end()) {
            v.push_back(folder->second);
          }
        }
        return q;
      }) != 0) {
    return engineFail();
  }

  int unfiled = -1;
  XDSHANDLE urls = c.table(catalogue::kUrls);
  std::string url, name, descr, code;
  catalogue::WholeAddresses::Rows wholes;
  if (c.whole().ReadAll(&wholes) != 0) {
    return engineFail();
  }
  if (FieldNumbers(urls, {"URL", "NAME", "DESCR", "ADRESTYPE", "URL_ID"}, &f) != 0 ||
      EachRecord(urls, false, [&](bool deleted) {
        if (deleted) {
          return 0;
        }
        int64_t id = 0;
        XDSRESULT q = GetText(urls, f[0], &url);
        q = q != 0 ? q : GetText(urls, f[1], &name);
        q = q != 0 ? q : GetText(urls, f[2], &descr);
        q = q != 0 ? q : GetText(urls, f[3], &code);
        q = q != 0 ? q : GetNumber(urls, f[4], &id);
        if (q != 0) {
          return q;
        }
        if (std::string_view w =
                catalogue::WholeAddresses::AddressIn(wholes, static_cast<uint32_t>(id), url);
            w.data() != url.data()) {
          url.assign(w);
        }
        Link link;
        auto t = types.find(code);
        link.href = platform::Cp1251ToUtf8((t != types.end() ? t->second.prefix : "") + url);
        // Names and descriptions as the characters their references stand for.
        link.title = platform::DecodeTextToUtf8(name, true);
        link.description = platform::DecodeTextToUtf8(descr, true);
        link.catalogue.present = true;
        link.catalogue.url = platform::Cp1251ToUtf8(url);
        link.catalogue.id = std::to_string(id);
        if (t != types.end()) {
          link.catalogue.typed = true;
          link.catalogue.typeName = platform::DecodeTextToUtf8(t->second.name, false);
          link.catalogue.typePrefix = platform::Cp1251ToUtf8(t->second.prefix);
        }
        auto where = filedUnder.find(id);
        if (where == filedUnder.end()) {
          if (unfiled < 0) {
            tree->folders.push_back({kUnfiledFolder, -1, true});
            unfiled = static_cast<int>(tree->folders.size() - 1);
          }
          link.folder = unfiled;
          tree->links.push_back(std::move(link));
          return 0;
        }
        for (int folder : where->second) {
          link.folder = folder;
          tree->links.push_back(link);
        }
        return 0;
      }) != 0) {
    return engineFail();
  }
  return true;
}

// -------------------------------------------------------------- duplicates

bool FindDuplicateUrls(const std::string& dir, std::vector<DuplicateGroup>* groups,
                       std::string* error) {
  groups->clear();
  if (catalogue::CatalogueFilesIn(dir).empty()) {
    return Fail(error, dir + " holds no catalogue");
  }
  Catalogue c;
  if (c.Connect(dir) != 0 || c.Open(Catalogue::kRead) != 0) {
    return Fail(error, OpenFailure(dir));
  }
  auto engineFail = [&]() { return Fail(error, "cannot read the catalogue: " + EngineError()); };
  std::unordered_map<std::string, Type> types;
  catalogue::WholeAddresses::Rows wholes;
  if (ReadTypes(c, &types) != 0 || c.whole().ReadAll(&wholes) != 0) {
    return engineFail();
  }
  XDSHANDLE urls = c.table(catalogue::kUrls);
  std::vector<uint16_t> f;
  if (FieldNumbers(urls, {"URL", "ADRESTYPE", "URL_ID", "NAME"}, &f) != 0) {
    return engineFail();
  }
  // A stored address as it is compared: the prefix of its link type before
  // it, the whole address for a long one.
  std::string url;
  std::string code;
  int64_t id = 0;
  auto readAddress = [&](std::string* address) {
    XDSRESULT q = GetText(urls, f[0], &url);
    q = q != 0 ? q : GetText(urls, f[1], &code);
    q = q != 0 ? q : GetNumber(urls, f[2], &id);
    if (q == 0) {
      auto t = types.find(code);
      address->assign(t != types.end() ? t->second.prefix : "");
      address->append(wholes.empty() ? std::string_view(url)
                                     : catalogue::WholeAddresses::AddressIn(
                                           wholes, static_cast<uint32_t>(id), url));
    }
    return q;
  };
  // First pass: each live record under the sketch of its compared address
  // (records with equal compared addresses share one); only records that
  // share a sketch are read again.
  std::unordered_map<uint64_t, std::vector<uint32_t>> bySketch;
  std::string address;
  uint32_t recno = 0;
  if (EachRecord(urls, false, [&](bool deleted) {
        ++recno;
        if (deleted) {
          return 0;
        }
        XDSRESULT q = readAddress(&address);
        if (q == 0 && !url.empty()) {
          // An address in ASCII has the sketch of its compared form.
          const bool ascii = std::all_of(address.begin(), address.end(),
                                         [](char ch) { return static_cast<unsigned char>(ch) < 0x80; });
          bySketch[AddressSketch(ascii ? address : AddressKey("", address))].push_back(recno);
        }
        return q;
      }) != 0) {
    return engineFail();
  }
  std::string name;
  for (auto& [sketch, records] : bySketch) {
    if (records.size() < 2) {
      continue;
    }
    std::unordered_map<std::string, DuplicateGroup> byKey;
    for (uint32_t r : records) {
      if (XdsGotoRecord(urls, r) != 0 || readAddress(&address) != 0 ||
          GetText(urls, f[3], &name) != 0) {
        return engineFail();
      }
      DuplicateRecord d;
      d.id = id;
      d.address = Utf8Of(address);
      d.name = platform::DecodeTextToUtf8(name, true);
      if (auto t = types.find(code); t != types.end()) {
        d.typeName = platform::DecodeTextToUtf8(t->second.name, false);
      }
      byKey[AddressKey("", address)].records.push_back(std::move(d));
    }
    for (auto& [key, group] : byKey) {
      if (group.records.size() > 1) {
        std::sort(group.records.begin(), group.records.end(),
                  [](const DuplicateRecord& a, const DuplicateRecord& b) { return a.id < b.id; });
        groups->push_back(std::move(group));
      }
    }
  }
  std::sort(groups->begin(), groups->end(), [](const DuplicateGroup& a, const DuplicateGroup& b) {
    return a.records.front().id < b.records.front().id;
  });
  std::unordered_map<int64_t, DuplicateRecord*> recordOf;
  for (DuplicateGroup& g : *groups) {
    for (DuplicateRecord& r : g.records) {
      recordOf.emplace(r.id, &r);
    }
  }
  if (recordOf.empty()) {
    return true;
  }
  XDSHANDLE in = c.table(catalogue::kUrlIn);
  if (FieldNumbers(in, {"TEM_ID", "URL_ID"}, &f) != 0 ||
      EachRecord(in, false, [&](bool deleted) {
        int64_t section = 0;
        int64_t owner = 0;
        XDSRESULT q = GetNumber(in, f[1], &owner);
        auto it = recordOf.find(owner);
        if (q != 0 || deleted || it == recordOf.end()) {
          return q;
        }
        q = GetNumber(in, f[0], &section);
        std::vector<int64_t>& s = it->second->sections;
        if (q == 0 && std::find(s.begin(), s.end(), section) == s.end()) {
          s.push_back(section);
        }
        return q;
      }) != 0) {
    return engineFail();
  }
  return true;
}

}  // namespace bookmarks
