// The check's reading of the tables and the plan it makes from them, shared
// by the check and the repair.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "catalogue/catalogue_check.h"
#include "catalogue/schema.h"
#include "xce.h"

namespace catalogue::check {

// The calling thread's last engine failure as text.
std::string EngineError();

// A numeric field's stored text as a number: blanks read as 0, anything but
// an optional sign and digits as kNotANumber.
inline constexpr int64_t kNotANumber = std::numeric_limits<int64_t>::min();
int64_t ParseNumber(std::string_view text);
std::string NumberText(int64_t value);

struct FieldAt {
  uint16_t number = 0;
  uint16_t offset = 0;
  uint16_t length = 0;
};

// The catalogue's tables open together: the four in the order of
// CatalogueTables, then URLFULL.DBF when it is there. Closed with the object.
class OpenedTables {
 public:
  OpenedTables() = default;
  ~OpenedTables();
  OpenedTables(const OpenedTables&) = delete;
  OpenedTables& operator=(const OpenedTables&) = delete;
  // options: XDS_OPEN_READONLY to read beside others, XDS_OPEN_EXCLUSIVE to
  // keep everyone else out.
  XDSRESULT Open(const std::string& dir, bool withWholeAddresses, uint32_t options);
  const std::vector<XDSHANDLE>& tables() const { return tables_; }

 private:
  XDSHANDLE connection_ = 0;
  std::vector<XDSHANDLE> tables_;
};
inline constexpr std::size_t kWholeAddressesAt = 4;

// One open table read in record order, a whole record image per engine call.
class TableReader {
 public:
  TableReader(XDSHANDLE table, const char* file) : file_(file), table_(table) {}
  XDSRESULT Init();
  XDSRESULT Field(const char* name, FieldAt* at);
  // Calls visit(recno, image) for every record, deleted ones too (their
  // image begins with '*'); the record is the table's current one meanwhile.
  template <class Visit>
  XDSRESULT Each(Visit&& visit) {
    XDSRESULT r = XdsGotoTop(table_);
    char bookmark[16];
    for (int32_t step = 0; r == 0; step = 1) {
      XDSFETCHINFO info{};
      info.bookmarkLength = sizeof bookmark;
      r = XdsFetchRecord(table_, step, image_.data(), static_cast<uint32_t>(image_.size()),
                         bookmark, &info);
      if (r != 0 || info.atEof != 0) {
        break;
      }
      visit(info.recno, static_cast<const char*>(image_.data()));
    }
    return r;
  }
  int64_t Number(const char* image, const FieldAt& at) const {
    return ParseNumber(std::string_view(image + at.offset, at.length));
  }
  // A character field's stored bytes without trailing blanks.
  std::string_view Text(const char* image, const FieldAt& at) const {
    std::string_view v(image + at.offset, at.length);
    while (!v.empty() && (v.back() == ' ' || v.back() == '\0')) {
      v.remove_suffix(1);
    }
    return v;
  }
  // A field of the current record as text (converted, trimmed, any length).
  XDSRESULT GetText(uint16_t field, std::string* out);
  XDSHANDLE table() const { return table_; }

 private:
  std::string file_;
  XDSHANDLE table_ = 0;
  std::string image_;
};

// A set of ids, looked up in a bitmap when they are dense.
class IdSet {
 public:
  void Build(std::vector<int64_t> ids);
  bool Contains(int64_t id) const;

 private:
  std::vector<int64_t> sorted_;
  std::vector<uint64_t> bits_;
};

// New ids: after the largest in use, as the program gives them; once the
// largest possible id is given, the smallest ids not in use.
class IdAllocator {
 public:
  IdAllocator(int64_t largest, std::function<bool(int64_t)> used)
      : top_(largest), used_(std::move(used)) {}
  int64_t Next();
  bool exhausted() const { return exhausted_; }

 private:
  int64_t top_;
  int64_t gap_ = 0;
  std::function<bool(int64_t)> used_;
  bool exhausted_ = false;
};

struct SectionRow {
  int64_t id;
  int64_t parent;
  uint32_t recno;
};

struct UrlRow {
  int64_t id;
  uint32_t recno;
};

// 12 bytes a row: a catalogue holds three per URL record.
struct MembershipRow {
  int32_t section;  // INT32_MIN: no id at all
  int32_t url;
  uint32_t recno;
};

struct WholeAddressRow {
  int64_t id;
  uint32_t recno;
  std::string address;
};

// A link type code as URL records store it.
struct UsedType {
  std::string code;  // as the program reads it
  std::size_t count = 0;
  std::vector<uint32_t> recnos;  // the first few
  bool failed = false;
};

// What the check needs of the catalogue's tables, each read once.
struct Scan {
  std::vector<SectionRow> sections;  // every row, in record order
  std::set<std::string> typeCodes;
  std::vector<UrlRow> urls;  // live records, in record order
  IdSet deletedUrlIds;
  int64_t largestUrlId = 0;  // of every record, deleted ones too
  std::map<std::string, UsedType> usedTypes;
  std::vector<MembershipRow> memberships;  // live rows, in record order
  bool hasWholeAddresses = false;
  std::vector<WholeAddressRow> wholeAddresses;  // live rows, in record order

  // `tables` as OpenedTables gives them.
  XDSRESULT Read(const std::vector<XDSHANDLE>& tables);

 private:
  XDSRESULT ReadSections(TableReader& t);
  XDSRESULT ReadTypes(TableReader& t);
  XDSRESULT ReadUrls(TableReader& t);
  XDSRESULT ReadMemberships(TableReader& t);
  XDSRESULT ReadWholeAddresses(TableReader& t);
  static int32_t Narrow(int64_t value);
};

// The findings, and what the repair changes to mend them.
struct Plan {
  std::vector<Finding> findings;
  // Per row of Scan::sections: its id and parent as the repair leaves them.
  std::vector<int64_t> sectionIds;
  std::vector<int64_t> sectionParents;
  // Per row of Scan::urls: its id as the repair leaves it; the rows given a
  // new one.
  std::vector<int64_t> urlIds;
  std::vector<std::size_t> renumbered;
  // A replaced id that is not positive, held by a row: the new id of its
  // first row, which the memberships naming it follow.
  std::unordered_map<int64_t, int64_t> sectionRemap;
  std::unordered_map<int64_t, int64_t> urlRemap;
  std::vector<std::string> missingTypes;
  std::vector<uint32_t> droppedMemberships;
  std::vector<MembershipRow> remappedMemberships;  // the new ids, by record
  std::vector<uint32_t> droppedWholeAddresses;

  // False with the reason when no new id is left to give.
  bool Make(const Scan& scan, std::string* error);
};

}  // namespace catalogue::check
