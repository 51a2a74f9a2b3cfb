// Addresses longer than the URL table's URL field, kept whole.
//
// The URL field holds the first 100 characters of an address. An address
// longer than that is kept whole in one more table beside the catalogue's
// four, URLFULL.DBF: the URL id and a memo with the whole address, with a tag
// on the id. The four tables keep their structure, so other programs still
// read the catalogue (they see the first 100 characters), and a catalogue
// without the extra table is sound: it is made when the first long address
// is saved.
//
// A row is used only while its address's first 100 characters equal the URL
// field of its record: a record whose URL another program changed shows its
// URL field again, and the row no longer used goes at the next Tidy. Of the
// rows of one id, the first in the id tag's order (the oldest) that matches
// is used. A save adds the new row before the URL record is written and
// drops the old rows after it (Stage, then Settle): a save killed at any
// point leaves the record with its old address or its new one, whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "catalogue/schema.h"
#include "xce.h"

namespace catalogue {

// URLFULL.DBF: URL_ID N(10,0), ADDRESS memo, tag URL_ID; OEM text like the
// URL table, so an address converts the same way in both.
const CatalogueTable& WholeAddressTable();

// Whether the address does not fit the URL field.
inline bool IsLongAddress(std::string_view address) { return address.size() > kUrlFieldLength; }

// What the URL field stores of an address: its first 100 characters.
std::string UrlFieldPart(std::string_view address);

// Whether `whole`, a long address, is the one a record whose URL field reads
// `url` stands for (trailing blanks aside, which the field does not keep).
bool WholeAddressMatches(std::string_view whole, std::string_view url);

// Whether the folder holds the extra table (letter case aside).
bool HasWholeAddressTable(const std::string& dir);

// The extra table of one open catalogue. Holds no table until one is opened
// or the first long address is staged; then owns the handle.
class WholeAddresses {
 public:
  // `connection`: the catalogue's; the table is opened exclusively unless
  // `shared`.
  explicit WholeAddresses(XDSHANDLE connection = 0, bool shared = false)
      : connection_(connection), shared_(shared) {}
  ~WholeAddresses();
  WholeAddresses(const WholeAddresses&) = delete;
  WholeAddresses& operator=(const WholeAddresses&) = delete;

  // Opens the table when the connection's folder has one; nothing when not.
  [[nodiscard]] XDSRESULT OpenIfPresent(const std::string& dir);
  // Rebuilds its tag (start-up rebuilds every index).
  [[nodiscard]] XDSRESULT Reindex();
  [[nodiscard]] XDSRESULT Close();
  XDSHANDLE table() const { return table_; }
  bool open() const { return table_ != 0; }

  // The address of URL record `id` whose URL field reads `url`: the whole
  // address kept for it, or `url` when none is (or none matches).
  [[nodiscard]] XDSRESULT Find(uint32_t id, std::string_view url, std::string* address);

  // Before URL record `id` is written with `address`: a long address gets a
  // new row, made durable before the record is written (the table is made
  // first when the folder has none). Nothing for one that fits the field.
  [[nodiscard]] XDSRESULT Stage(uint32_t id, std::string_view address);
  // After the record was written with `address`: the id's other rows go, so
  // the staged one is used; all of them when the address fits the field.
  [[nodiscard]] XDSRESULT Settle(uint32_t id, std::string_view address);
  // The record was deleted: every row of the id goes.
  [[nodiscard]] XDSRESULT Remove(uint32_t id);

  // Every live row, each id's in the tag's order: for readers of a whole
  // catalogue (an export, an import's comparison), which then look records
  // up with AddressIn instead of a seek each.
  using Rows = std::unordered_map<uint32_t, std::vector<std::string>>;
  [[nodiscard]] XDSRESULT ReadAll(Rows* rows);
  // The address of record `id` whose URL field reads `url`, by `rows`.
  static std::string_view AddressIn(const Rows& rows, uint32_t id, std::string_view url);

  // With the URL table `urls` (open, its tag URL_ID): drops every row that no
  // live URL record uses, then packs the table. A close does it.
  [[nodiscard]] XDSRESULT Tidy(XDSHANDLE urls);

 private:
  // Visits the live rows of `id` in the tag's order; `visit` returns false
  // to stop.
  template <class Visit>
  XDSRESULT ForEachRow(uint32_t id, Visit&& visit);
  XDSRESULT EnsureTable();
  XDSRESULT Fields();

  XDSHANDLE connection_;
  bool shared_;
  std::string dir_;
  XDSHANDLE table_ = 0;
  XDSHANDLE byId_ = 0;
  uint16_t idField_ = 0;
  uint16_t addressField_ = 0;
};

}  // namespace catalogue
