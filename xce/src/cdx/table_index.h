// A table's compound indexes: the structural CDX that opens with the table
// and any extra index files opened later. TableIndexes is a table extension,
// so every append, field write, delete-flag change, pack and zap reaches each
// tag in the same operation; IndexHandle moves the table's record pointer in
// one tag's order, within that tag's scopes.
#pragma once

#include <bit>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cdx/cdx_file.h"
#include "cdx/key_sorter.h"
#include "cdx/key_maker.h"
#include "expr/expr.h"
#include "table.h"
#include "table_filter.h"

namespace xce::cdx {

// Open options that decide what happens to a tag built under another collation.
constexpr uint32_t kOptReindexOnCollation = 0x100;
constexpr uint32_t kOptIgnoreCollation = 0x200;
// Open option of an exclusive writer: index pages are written at a flush of
// the table and at its close, not with every record (CdxFile::SetDeferWrites).
constexpr uint32_t kOptDeferIndexWrites = 0x400;

// The expression view of a table's records: fields, code page and one image.
class RecordSource : public expr::ExprSource {
 public:
  explicit RecordSource(const Table& table);
  void Set(const char* image, uint32_t recno) {
    image_ = image;
    recno_ = recno;
  }
  const std::vector<expr::FieldInfo>& Fields() const override { return fields_; }
  CodePage TableCodePage() const override { return codePage_; }
  void SetBlank() { Set(blank_.data(), 0); }
  const char* RecordImage() const override { return image_; }
  uint32_t RecordNumber() const override { return recno_; }
  // Keys never depend on the exact-comparison setting of the moment.
  bool ExactCompare() const override { return false; }
  Status ReadMemo(int field, std::string* text) const override;

 private:
  std::vector<expr::FieldInfo> fields_;
  CodePage codePage_;
  std::vector<char> blank_;
  const char* image_;
  uint32_t recno_ = 0;
};

// A tag's definition for creating it.
struct TagDefinition {
  std::string name;
  std::string keyExpr;
  std::string forExpr;
  bool unique = false;
  bool descending = false;
};

class TableIndexes : public TableExtension, public AofIndexResolver {
 public:
  struct Tag {
    CdxTag* tag = nullptr;
    std::unique_ptr<KeyMaker> maker;
    std::size_t file = 0;  // index into files_
    // Nullable fields the key reads: a record with any of them null has the
    // null key (nullable tags only).
    std::vector<uint16_t> nullableFields;  // field numbers
  };

  // Opens the table's structural index when the header flags one or a file
  // of the table's name with extension CDX (any letter case) exists, applies
  // the collation options, and attaches itself to the table. *out is null
  // when the table has no index.
  static Status Attach(const std::shared_ptr<Table>& table, uint32_t openOptions,
                       std::shared_ptr<TableIndexes>* out);
  // The indexes attached to a table, or null.
  static std::shared_ptr<TableIndexes> Of(Table& table);
  // The attached indexes, attaching an empty set when there are none yet.
  static std::shared_ptr<TableIndexes> Ensure(const std::shared_ptr<Table>& table);

  int tag_count() const { return static_cast<int>(tags_.size()); }
  Tag& tag(int i) { return tags_[i]; }
  // Tag number by name, letter case ignored; -1 when absent.
  int FindTag(std::string_view name) const;
  // Bumped whenever the files are reopened (after pack, zap, reindex): tag
  // pointers of an older generation are gone.
  uint64_t generation() const { return generation_; }
  const std::string& structural_path() const { return structuralPath_; }

  // Opens another index file; its tags are kept true while it is open.
  Status OpenExtraFile(const std::string& path);
  // Adds a tag to the structural index (creating the file when needed).
  Status CreateTag(const TagDefinition& def);
  // Creates several tags reading every record once.
  Status CreateTags(const std::vector<TagDefinition>& defs);
  // Removes a tag from whichever file holds it.
  Status DeleteTag(std::string_view name);
  // Rebuilds every tag into new files that replace the old ones when complete.
  Status Reindex();
  // Problems of every tag: structure, count and each key against its record.
  Status Check(std::vector<std::string>* problems);

  // Key of a record image for tag i; *included false when its FOR rejects it.
  // `source` (default: the indexes' own) lets threads compute keys of
  // different tags at once.
  Status KeyOf(int i, const char* image, uint32_t recno, uint8_t* key, bool* included,
               RecordSource* source = nullptr);

  // TableExtension
  Status OnRecordWrite(Table& t, uint32_t recno, const char* oldImage,
                       const char* newImage) override;
  Status OnRebuild(Table& t, RebuildContext& ctx) override;
  // Removes the removed records' keys and lowers the record numbers above
  // the first of them on the pages of each tag, through a second view of
  // the file; declines for tags whose keys a pack may change otherwise
  // (unique tags, keys reading the record number or the deletion mark),
  // index files other than the structural one, and damaged or stale tags.
  Status OnPackInPlace(Table& t, const std::vector<uint32_t>& deleted, InPlaceChange& change,
                       bool* staged) override;
  Status AfterRebuild(Table& t) override;
  // The index files as they are now, in proportion to the records kept: a
  // file built anew is as full as a reindex leaves it.
  uint64_t RebuildBytes(const Table& t, uint32_t newCount) override;
  Status OnFlush(Table& t) override;
  void OnClose(Table& t) override;
  bool MaintainsStructuralIndex() const override { return unbound_.ok(); }
  void OnAppendTakenBack(Table& t, uint32_t recno, const char* image) override;

  // AofIndexResolver: the filter's comparisons of a tag's key expression
  // with a constant are read off the tag's keys.
  Status ResolveAof(Table& t, const expr::Expression& e, RecordSet* set, bool* resolved,
                    bool* complete) override;
  // Why a tag of the files could not be bound to the table (ok when all were).
  const Status& unbound() const { return unbound_; }

  // Index handles already made for tags (one per tag), by tag name.
  std::map<std::string, uint32_t>& handles() { return handles_; }

 private:
  struct IndexFile {
    std::string path;
    std::unique_ptr<CdxFile> cdx;
    bool structural = false;
  };

  explicit TableIndexes(Table* table) : table_(table), source_(*table) {}
  // Index files of an exclusively opened table are read through a memory map.
  void MapIfExclusive(File* file) const;
  Status OpenFile(const std::string& path, bool structural, uint32_t openOptions);
  Status BindTags();
  // Reads records [first, first + n) into out, one after the other.
  using ReadRecords = std::function<Status(uint32_t first, uint32_t n, char* out)>;
  // The table's own records, for a one-time scan.
  ReadRecords TableScan();
  // Where a build's sorting runs go, and how many entries each tag may
  // buffer when the tags of files `which` are built from `count` records.
  ScratchPlace Scratch() const { return {table_->fs(), table_->dir()}; }
  std::size_t BufferEntriesFor(uint32_t count, const std::vector<std::size_t>& which) const;
  // Fills a sorter per tag of `which` (into (*sorters)[tag]) from `count`
  // records read by `read`, within the sort memory.
  Status GatherKeys(uint32_t count, const ReadRecords& read, const std::vector<std::size_t>& which,
                    std::vector<std::shared_ptr<KeySorter>>* sorters);
  // A pack's record numbers: the new number of each old one. A bit per
  // record and a count per 64 of them, so that the lookups of a tag in key
  // order, all over the table, stay within the processor's caches.
  class Renumbering {
   public:
    // Records 1 to `count`, of which `removed` (ascending) leave.
    Renumbering(uint32_t count, const std::vector<uint32_t>& removed);
    uint32_t count() const { return count_; }
    // The new number of old record r (1 to count), 0 for a removed one.
    uint32_t operator()(uint32_t r) const {
      const uint64_t word = removed_[r >> 6];
      const uint64_t bit = uint64_t{1} << (r & 63);
      return (word & bit) != 0 ? 0 : r - before_[r >> 6] - Ones(word & (bit - 1));
    }
    // Bits set in w, inline: std::popcount is a library call on processors
    // the build cannot assume have the instruction, and this runs per entry.
    static uint32_t Ones(uint64_t w) {
      w -= (w >> 1) & 0x5555555555555555u;
      w = (w & 0x3333333333333333u) + ((w >> 2) & 0x3333333333333333u);
      w = (w + (w >> 4)) & 0x0f0f0f0f0f0f0f0fu;
      return static_cast<uint32_t>((w * 0x0101010101010101u) >> 56);
    }

   private:
    uint32_t count_;
    std::vector<uint64_t> removed_;
    std::vector<uint32_t> before_;  // removed records in the words before
  };
  // Builds new files holding every tag for `count` records read by `read`,
  // under `suffix`, and lists them in `swap`. With a renumbering (a pack),
  // tags that allow it are streamed from their old entries instead.
  Status BuildFiles(uint32_t count, const ReadRecords& read, const std::string& suffix,
                    SwapSet* swap, const std::vector<std::size_t>& which,
                    const Renumbering* renumbering = nullptr);
  Status ReopenFiles();
  // Opened files hold their page writes back when the table was opened so.
  void DeferIfAsked(CdxFile* cdx) const;
  // Writes every file's held pages and change counter.
  Status FlushFiles();
  // Whether a pack may carry a tag's entries over renumbered.
  static bool Streamable(const Tag& t);
  // Hands tag i's entries to `sink` in order, renumbered, the removed
  // records' left out; *trusted false (and the sink given a part) when the
  // tag's entries are not in order, not the table's, or not all there.
  Status StreamRenumbered(std::size_t i, const Renumbering& renumbering, EntrySink* sink,
                          bool* trusted);
  Status WalkRenumbered(std::size_t i, const Renumbering& renumbering, EntrySink* sink,
                        bool* trusted);
  Status WriteFile(std::size_t f, std::vector<TagSpec> specs, const std::string& suffix,
                   SwapSet* swap);
  // The steps of CreateTags: the new tags checked and their key makers
  // compiled, their keys gathered from the records, the tags stored.
  struct NewTags;
  Status PrepareNewTags(const std::vector<TagDefinition>& defs, NewTags* tags);
  Status GatherNewTagKeys(NewTags* tags);
  Status StoreNewTags(std::vector<TagSpec> specs);
  // First record other than `except` whose key for unique tag i is `key`:
  // it takes over the key value's entry when its holder leaves, so a unique
  // tag always holds every key value (other writers leave it incomplete).
  Status FindHolder(int i, const std::vector<uint8_t>& key, uint32_t except, uint32_t* holder);

  Table* table_;
  RecordSource source_;
  std::string structuralPath_;
  std::vector<IndexFile> files_;
  std::vector<Tag> tags_;
  Status unbound_;
  uint64_t generation_ = 1;
  std::map<std::string, uint32_t> handles_;
  std::vector<uint8_t> oldKey_, newKey_;
};

// Checks every tag of a table's indexes against its records without changing
// a byte; appends one problem per line to *report.
Status CheckTableIndexes(FileSystem* fs, const std::string& path, std::string* report);

// Movement in one tag's order, limited to the tag's scopes.
class TagOrder : public Order {
 public:
  TagOrder(std::shared_ptr<TableIndexes> indexes, std::string tagName)
      : indexes_(std::move(indexes)), tagName_(std::move(tagName)) {}

  Status First(Table& t, uint32_t* recno) override;
  Status Last(Table& t, uint32_t* recno) override;
  Status Next(Table& t, uint32_t recno, uint32_t* next) override;
  Status Prev(Table& t, uint32_t recno, uint32_t* prev) override;
  Status InOrder(Table& t, uint32_t recno, bool* in) override;
  Status CompareRecords(Table& t, uint32_t a, uint32_t b, int* result) override;

  // The tag behind the order; fails when it no longer exists.
  Status Resolve(TableIndexes::Tag** tag) {
    if (tag_ != nullptr && generation_ == indexes_->generation()) {
      *tag = tag_;
      return Status::Ok();
    }
    return ResolveAnew(tag);
  }
  // Scopes: 1 top, 2 bottom; a key compared over its own length.
  void SetScope(int which, std::vector<uint8_t> key);
  bool ClearScope(int which);
  const std::optional<std::vector<uint8_t>>& scope(int which) const {
    return which == 1 ? top_ : bottom_;
  }
  bool InScope(const uint8_t* key) const {
    return tag_ == nullptr || (!top_ && !bottom_) || BetweenScopes(key);
  }
  // Positions the order's cursor on the table's current record (or where it
  // would stand); *exact false when the record is not in the tag.
  Status PositionOn(Table& t, uint32_t recno, bool* exact);
  TagCursor* cursor() { return cursor_.get(); }
  // Entries between the scopes (FOR conditions apply through membership).
  Status CountInScope(Table& t, uint32_t* n);
  const std::string& tag_name() const { return tagName_; }

 private:
  Status ResolveAnew(TableIndexes::Tag** tag);
  bool BetweenScopes(const uint8_t* key) const;
  Status Step(Table& t, uint32_t recno, bool forward, uint32_t* out);
  Status Answer(uint32_t* recno);
  // The tag's key of record `recno` into key_ (read from the table);
  // *included false when the tag's FOR condition leaves the record out.
  Status RecordKey(Table& t, uint32_t recno, const TableIndexes::Tag& tag, bool* included);

  std::shared_ptr<TableIndexes> indexes_;
  std::string tagName_;
  uint64_t generation_ = 0;
  TableIndexes::Tag* tag_ = nullptr;
  std::unique_ptr<TagCursor> cursor_;
  std::optional<std::vector<uint8_t>> top_, bottom_;
  std::vector<uint8_t> key_;
  std::vector<char> image_;
};

// An index handle of the C API.
class IndexHandle : public IndexHandleObject {
 public:
  IndexHandle(std::shared_ptr<Table> table, std::shared_ptr<TableIndexes> indexes,
              std::string tagName)
      : table_(std::move(table)), order_(std::move(indexes), std::move(tagName)) {}
  std::shared_ptr<Table> table() override { return table_; }
  Table* table_ptr() override { return table_.get(); }
  Order* order() override { return &order_; }
  TagOrder& tag_order() { return order_; }

  // Raw key building: InitRawKey starts a blank key record; fields are set
  // into it by name; BuildRawKey evaluates the key expression on it.
  bool RawKeyActive() const override { return rawActive_; }
  Status SetRawKeyField(uint16_t field, const void* data, uint32_t length, bool text) override;
  Status SetRawKeyEmpty(uint16_t field) override;
  Status CountInScope(uint32_t* n) override;
  void InitRawKey();
  Status BuildRawKey(std::vector<uint8_t>* key);
  // Room for the key of a seek or a raw key, kept between calls: a search per
  // record of a list comes through here.
  std::vector<uint8_t>& key_room() { return keyRoom_; }

 private:
  std::shared_ptr<Table> table_;
  TagOrder order_;
  bool rawActive_ = false;
  std::vector<char> rawImage_;
  std::vector<int> rawLength_;  // bytes set per field, -1 when not set
  std::vector<uint8_t> keyRoom_;
};

}  // namespace xce::cdx
