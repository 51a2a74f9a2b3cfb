// The open table: one DBF file, its memo file, the field list, the record
// buffer and the one record pointer that the table handle and all of its
// index handles share.
//
// Extension points for the expression and index layers
// ----------------------------------------------------
// * Visibility. Every movement (GotoTop, GotoBottom, Skip), the EOF/BOF
//   flags, XdsIsRecordVisible and filtered counting ask IsVisible(order,
//   recno). It hides deleted records while ShowDeleted() is false, asks the
//   order's InOrder (scopes, FOR conditions) and then every RecordFilter in
//   filters() in turn. Filters plug in with AddFilter/RemoveFilter; the
//   exact-comparison setting they need is exact()/SetExact().
// * Orders. Movement is always "in an order": RecnoOrder (record-number
//   order, O(1) per step) belongs to the table; an index handle supplies its
//   own Order (tag order). The table keeps the current record number;
//   Order::Next/Prev get it and answer the neighbour in their order.
// * Durability. CommitPending() is the single place where a record change
//   (append, field changes, delete flag, recall) becomes part of the table.
//   Just before the change is stored it calls every TableExtension's
//   OnRecordWrite(recno, oldImage or nullptr for an append, newImage); a
//   failure there aborts the change with nothing stored.
// * Pack and zap build complete new files beside the old ones and swap them
//   in with SwapSet (a journal plus renames, rolled forward on the next open
//   after a crash). Extensions add their own rebuilt files to the same swap
//   in OnRebuild and reopen them in AfterRebuild. A pack may change the
//   files in place instead, from the first removed record on, under an
//   undo journal (InPlaceChange, rolled back on the next open); extensions
//   stage their part in OnPackInPlace; the memo is left as it is. It does
//   so when that writes fewer bytes than the rewrite (the journal holds
//   every byte it changes, so it writes them twice) within the bulk memory
//   budget. A pack that finds nothing to remove writes nothing. Either way
//   the memo is compacted (by the rewrite) once more than an eighth of its
//   blocks is unused.
// * A table whose header says it has a structural CDX refuses every write
//   until an extension that MaintainsStructuralIndex() is attached. The
//   index layer attaches its extension right after Table::Open (in
//   XdsOpenTable), before the handle is handed out.
// * Handles. Table derives from HandleObject so the registry can hold it;
//   index handles are other HandleObjects that keep a shared_ptr<Table> and
//   register themselves with AddDependentHandle so closing the table frees
//   them.
//
// A Table is used by one thread at a time (the registry itself is
// thread-safe).
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "dbf_format.h"
#include "xce/file.h"
#include "handles.h"
#include "memo_file.h"
#include "xce/status.h"

namespace xce {

class Table;
class InPlaceChange;

// A movement order over a table's records.
class Order {
 public:
  virtual ~Order() = default;
  // First / last record of the order, 0 when the order holds none.
  virtual Status First(Table& t, uint32_t* recno) = 0;
  virtual Status Last(Table& t, uint32_t* recno) = 0;
  // The neighbour of `recno` (the table's current record), 0 when none.
  virtual Status Next(Table& t, uint32_t recno, uint32_t* next) = 0;
  virtual Status Prev(Table& t, uint32_t recno, uint32_t* prev) = 0;
  // Whether the record belongs to the order's current range (scopes, FOR).
  virtual Status InOrder(Table& t, uint32_t recno, bool* in) {
    (void)t;
    (void)recno;
    *in = true;
    return Status::Ok();
  }
  // Bookmarks: the first 4 bytes are always the record number.
  virtual uint16_t BookmarkLength() const { return 4; }
  virtual Status FillBookmark(Table& t, uint32_t recno, uint8_t* out);
  // -1, 0, 1 by position in this order.
  virtual Status CompareRecords(Table& t, uint32_t a, uint32_t b, int* result);
  // Whether counting can be answered without visiting records.
  virtual bool IsRecnoOrder() const { return false; }
};

class RecnoOrder : public Order {
 public:
  Status First(Table& t, uint32_t* recno) override;
  Status Last(Table& t, uint32_t* recno) override;
  Status Next(Table& t, uint32_t recno, uint32_t* next) override;
  Status Prev(Table& t, uint32_t recno, uint32_t* prev) override;
  bool IsRecnoOrder() const override { return true; }
};

// A condition records must meet to be visible (a filter expression).
class RecordFilter {
 public:
  virtual ~RecordFilter() = default;
  virtual Status Accept(Table& t, uint32_t recno, const char* image, bool* accept) = 0;
  // How many of records 1..n pass, when that is known without reading them
  // (an optimized filter resolved from indexes); false otherwise.
  [[nodiscard]] virtual bool KnownCount(Table& t, uint32_t n, uint32_t* count) {
    (void)t;
    (void)n;
    (void)count;
    return false;
  }
  // Whether record `recno` is rejected whatever its image holds, because
  // the answer is known already (an optimized filter's set): the record then
  // need not be read to be passed over.
  virtual Status RejectsUnread(Table& t, uint32_t recno, bool* rejected) {
    (void)t;
    (void)recno;
    *rejected = false;
    return Status::Ok();
  }
  // RejectsUnread answered from what the filter knows already, without
  // asking anything (a hint's question: false when unsure).
  [[nodiscard]] virtual bool KnownRejected(const Table& t, uint32_t recno) const {
    (void)t;
    (void)recno;
    return false;
  }
  // Whether the filter is known to let no record of the table through.
  virtual Status PassesNone(Table& t, bool* none) {
    (void)t;
    *none = false;
    return Status::Ok();
  }
  // The records that may pass (every one that passes, perhaps with some that
  // do not), in record order, when they are known without reading any and
  // are at most `limit`; false otherwise.
  [[nodiscard]] virtual bool KnownFew(Table& t, uint32_t limit, std::vector<uint32_t>* out) {
    (void)t;
    (void)limit;
    (void)out;
    return false;
  }
};

// Files that replace a table's files in one step. Complete and synced
// temporary files are listed in a journal beside the table; the renames
// follow; the journal is removed last. Open() finishes an interrupted swap.
class SwapSet {
 public:
  void Add(std::string tmpPath, std::string finalPath) {
    pairs_.emplace_back(std::move(tmpPath), std::move(finalPath));
  }
  const std::vector<std::pair<std::string, std::string>>& pairs() const { return pairs_; }
  Status Commit(FileSystem* fs, const std::string& journalPath, const std::string& dir);
  // Rolls a complete journal forward, or discards an incomplete one. With
  // `readOnly` nothing is changed and a pending journal is an error.
  static Status Recover(FileSystem* fs, const std::string& journalPath, const std::string& dir,
                        bool readOnly);

 private:
  std::vector<std::pair<std::string, std::string>> pairs_;
};

// What pack and zap give extensions to rebuild from.
struct RebuildContext {
  uint32_t recordCount = 0;  // records of the new table
  // Reads record `recno` (1-based) of the new table into `image`.
  std::function<Status(uint32_t recno, char* image)> readRecord;
  SwapSet* swap = nullptr;
  std::string tmpSuffix;  // suffix to give temporary files
  // True when the new records are the old ones not marked deleted, in their
  // order (a pack); false when they come from elsewhere (a rewrite) or there
  // are none (a zap).
  bool keptRecords = false;
  // With keptRecords, the records left out, ascending, when known.
  const std::vector<uint32_t>* removed = nullptr;
};

class TableExtension {
 public:
  virtual ~TableExtension() = default;
  virtual Status OnRecordWrite(Table& t, uint32_t recno, const char* oldImage,
                               const char* newImage) = 0;
  virtual Status OnRebuild(Table& t, RebuildContext& ctx) = 0;
  // A pack done in place: records `deleted` (ascending) leave the table and
  // the records after each move down by the number removed before them. The
  // extension stages the change of its own files in `change` and sets
  // *staged; left false, the pack rebuilds every file instead (OnRebuild).
  // AfterRebuild follows a committed change.
  virtual Status OnPackInPlace(Table& t, const std::vector<uint32_t>& deleted,
                               InPlaceChange& change, bool* staged) {
    (void)t;
    (void)deleted;
    (void)change;
    *staged = false;
    return Status::Ok();
  }
  virtual Status AfterRebuild(Table& t) = 0;
  // About how many bytes OnRebuild would write for a table of `newCount`
  // records: a pack weighs them against changing the files in place.
  virtual uint64_t RebuildBytes(const Table& t, uint32_t newCount) {
    (void)t;
    (void)newCount;
    return 0;
  }
  // The table's flush (and close): what the extension holds back goes out.
  virtual Status OnFlush(Table& t) {
    (void)t;
    return Status::Ok();
  }
  virtual void OnClose(Table& t) { (void)t; }
  virtual bool MaintainsStructuralIndex() const { return false; }
  // The append of `image` as record `recno`, already passed to OnRecordWrite,
  // did not reach the table: forget what was done for it.
  virtual void OnAppendTakenBack(Table& t, uint32_t recno, const char* image) {
    (void)t;
    (void)recno;
    (void)image;
  }
};

struct OpenOptions {
  bool exclusive = false;
  bool readOnly = false;
  bool oem = false;
  uint32_t rawOptions = 0;  // as given to the open call
};

class Table : public HandleObject {
  struct PrivateTag {};

 public:
  explicit Table(PrivateTag) : HandleObject(HandleKind::kTable) {}
  ~Table() override;

  // Opens `path` (already resolved, see ResolveTablePath).
  static Status Open(FileSystem* fs, const std::string& path, const OpenOptions& options,
                     std::shared_ptr<Table>* out);
  // Creates a new empty table (and its memo file when it has memo fields).
  static Status Create(FileSystem* fs, const std::string& path,
                       const std::vector<FieldSpec>& fields, bool oem);
  // Writes what is buffered and releases the files. Safe to call twice.
  Status Close();

  // --- description
  const std::string& path() const { return path_; }
  const DbfLayout& layout() const { return layout_; }
  const std::vector<FieldInfo>& fields() const { return layout_.fields; }
  uint32_t recordLength() const { return layout_.recordLength; }
  const OpenOptions& options() const { return options_; }
  bool oem() const { return options_.oem; }
  // Field number (1-based) by name, letter case ignored; 0 when none.
  uint16_t FieldNumber(std::string_view name) const;
  Status CheckField(uint16_t number, const FieldInfo** f) const;
  // Open-options word: given options plus update 0x20 and insert 0x40 when
  // the table may be written.
  uint32_t OpenOptionsWord() const;
  Status CheckWritable() const;
  MemoFile* memo() { return memo_.get(); }
  // Whether a field needs converting when the record image is handed out.
  bool hasCurrency() const { return hasCurrency_; }

  // --- record pointer
  uint32_t RecordCount() const { return count_; }
  uint32_t recno() const { return recno_; }
  bool eof() const { return eof_; }
  bool bof() const { return bof_; }
  // On a record (not at either end, or on a record being appended).
  bool OnRecord() const { return !eof_ && !bof_ && recno_ >= 1; }
  RecnoOrder* recnoOrder() { return &recnoOrder_; }

  // One step forward in record order, done on the spot when nothing can
  // hide the next record and it sits in the read-ahead window; false when
  // the full Skip is needed. This is the inner loop of every sequential read.
  [[nodiscard]] bool TryStepForward() {
    const uint32_t next = recno_ + 1;
    if (pending_ != Pending::kNone || eof_ || bof_ || !showDeleted_ || !filters_.empty() ||
        !appendBuf_.empty() || cacheCount_ == 0 || next < cacheFirst_ ||
        next - cacheFirst_ >= cacheCount_ || next > count_) {
      return false;
    }
    const std::size_t len = layout_.recordLength;
    std::memcpy(cur_.data(), cache_.data() + static_cast<std::size_t>(next - cacheFirst_) * len,
                len);
    recno_ = next;
    lastRead_ = next;
    return true;
  }

  Status GotoTop(Order* order);
  Status GotoBottom(Order* order);
  // Moves n visible records; off either end sets EOF/BOF and fails with 5068.
  Status Skip(Order* order, int32_t n);
  // Goes to record n whatever its visibility; 5022 when n names no record.
  Status GotoRecord(uint32_t n);
  // For orders that find their own record (a seek): record n, or with 0 the
  // position after the last record (EOF).
  Status SetPosition(uint32_t n);
  // Re-reads the current record from disk.
  Status Refresh();
  Status IsVisible(Order* order, uint32_t recno, bool* visible);
  // Count of records: all of them, or the visible ones in `order`.
  Status Count(Order* order, bool respectFilters, bool fresh, uint32_t* n);

  // --- visibility settings
  bool ShowDeleted() const { return showDeleted_; }
  void SetShowDeleted(bool show) { showDeleted_ = show; }
  bool exact() const { return exact_; }
  void SetExact(bool exact) { exact_ = exact; }
  void AddFilter(std::shared_ptr<RecordFilter> f) { filters_.push_back(std::move(f)); }
  void RemoveFilter(const RecordFilter* f);
  const std::vector<std::shared_ptr<RecordFilter>>& filters() const { return filters_; }

  // --- record buffer of the current record
  const char* image() const { return cur_.data(); }
  char* mutableImage() { return cur_.data(); }
  bool HasPending() const { return pending_ != Pending::kNone; }
  bool AppendPending() const { return pending_ == Pending::kAppend; }
  // Marks the buffer changed (after a caller wrote into mutableImage()).
  Status BeginChange();
  Status StartAppend();
  Status SetFieldText(uint16_t field, std::string_view text, bool convert);
  Status SetFieldRaw(uint16_t field, const void* data, std::size_t n);
  Status SetFieldEmpty(uint16_t field);
  Status SetDeleted(bool deleted);
  bool CurrentDeleted() const { return cur_[0] == static_cast<char>(kDeletedFlag); }
  // The single place where a change becomes part of the table. Every move
  // and seek asks first: with nothing pending that costs a compare.
  Status CommitPending() { return pending_ == Pending::kNone ? Status::Ok() : CommitChange(); }
  Status CancelPending();

  // Memo value of a field of the current record (pending value if changed).
  Status ReadMemo(uint16_t field, std::string* data, uint32_t* itemType);
  Status MemoLength(uint16_t field, uint32_t* length, uint32_t* itemType);

  // Record image of any record (buffered appends included).
  Status ReadRecord(uint32_t recno, char* out);
  // Records [first, first + n) one after the other, for a one-time scan
  // (index builds): the mapped pages they came from leave the process's
  // memory afterwards, so a scan of a large table does not keep it resident.
  Status ScanRecords(uint32_t first, uint32_t n, char* out);
  // A hint that the record will be read soon (orders walking the table out of
  // record order call it for the records ahead). A record a filter is known
  // to pass over unread is not fetched: under a narrow optimized filter that
  // is nearly every record of the walk.
  void PrefetchRecord(uint32_t recno);
  void SetReadAhead(uint32_t records);
  uint32_t readAhead() const { return readAhead_; }

  // --- locks between processes
  Status LockRecord(uint32_t recno);
  Status UnlockRecord(uint32_t recno);

  // --- maintenance (exclusive opens only)
  Status Pack();
  Status Zap();
  // Replaces every record with the records of `source` (a table of the same
  // fields), in the same one step as a pack: after a failure or a crash the
  // table holds its old records or all the new ones. Deleted records of the
  // source are left out; memo values are copied.
  Status RewriteFrom(Table& source);
  // Sets or clears the header flag that says a structural index exists.
  Status SetStructuralIndexFlag(bool present);
  // Writes buffered appended records to disk.
  Status Flush();
  // Writes the pending change and buffered appends: every move does this
  // first, so records appended in a row reach the disk in one batch, at the
  // latest when the table pointer moves on.
  Status Settle() {
    XCE_RETURN_IF_ERROR(CommitPending());
    return appendBuf_.empty() ? Status::Ok() : FlushAppends();
  }

  // --- extensions and dependent handles
  void AddExtension(std::shared_ptr<TableExtension> ext) { extensions_.push_back(std::move(ext)); }
  const std::vector<std::shared_ptr<TableExtension>>& extensions() const { return extensions_; }
  void AddDependentHandle(uint32_t handle) { dependents_.push_back(handle); }
  const std::vector<uint32_t>& dependentHandles() const { return dependents_; }
  uint32_t connection() const { return connection_; }
  void set_connection(uint32_t c) { connection_ = c; }
  FileSystem* fs() { return fs_; }
  const std::string& dir() const { return dir_; }

 private:
  enum class Pending { kNone, kUpdate, kAppend };
  // Appends and rewrites gather this many bytes of records per file write.
  static constexpr std::size_t kAppendBatchBytes = 1 << 20;

  Status LoadCurrent();
  void SetEof();
  Status FlushAppends();
  Status WriteHeaderCount(uint32_t count);
  Status TouchHeaderDate();
  // Encodes `h` and writes its bytes [from, to) to the file, then to the
  // header copy kept in memory (only once the file has them).
  Status WriteHeaderRange(const DbfFileHeader& h, std::size_t from, std::size_t to);
  Status ReloadCount();
  // Gives a record being appended the next value of each autoincrement
  // field and moves the field's counter in the header on by its step.
  Status TakeAutoValues();
  // kErrFieldNotWritable for an autoincrement field, else Ok.
  Status RefuseAutoValue(const FieldInfo& f) const;
  // Record numbers of the records marked deleted, ascending.
  Status FindDeleted(std::vector<uint32_t>* deleted);
  // Blocks of the FPT memo the live records' values use, and all blocks it
  // has handed out.
  Status MemoUsedBlocks(uint64_t* used, uint64_t* handedOut);
  // Removes `deleted` in place, staging at most `limit` bytes; *done false
  // when an extension cannot follow or the change would outgrow the limit.
  Status PackInPlace(const std::vector<uint32_t>& deleted, uint64_t limit, bool* done);
  // What the in-place way stages of the table's own file when `first` is
  // the first record removed: the header page and every page from it on.
  uint64_t InPlaceTailBytes(uint32_t first) const;
  // After new files took the old ones' place: the table holds `newCount`
  // records, nothing read before is kept, and the extensions reopen theirs.
  Status TakeNewCount(uint32_t newCount);
  // Builds the new files from this table's records (keepRecords), from
  // `source`'s, or from none (a zap), and swaps them in. `deleted`, when
  // given, names the records marked deleted (ascending): the extensions
  // then build their files while the table's are written.
  Status Rebuild(bool keepRecords, Table* source = nullptr,
                 const std::vector<uint32_t>* deleted = nullptr);
  // Lets the mapped pages of records [first, first + n) go (see ScanRecords).
  void ReleaseScanned(uint32_t first, uint32_t n);
  // CommitPending with a change pending.
  Status CommitChange();
  // Appends the pending record to a table other processes may append to.
  Status CommitSharedAppend();
  // Puts the pointer on the first visible record from `start` on in the
  // direction; with `steps` it gives up after that many records
  // (*stoppedAt: the next one to look at, 0 at the end of the order).
  Status SettlePosition(Order* order, uint32_t start, bool forward, bool* found,
                        uint32_t steps = UINT32_MAX, uint32_t* stoppedAt = nullptr);
  Status GotoEnd(Order* order, bool top);
  // The visible record of `records` nearest to the start of the order (to
  // its end when !top); 0 when none is visible.
  Status NearestVisible(Order* order, const std::vector<uint32_t>& records, bool top,
                        uint32_t* nearest);
  // The memo field's description and its pending value (null when none).
  Status MemoField(uint16_t field, const FieldInfo** f, const std::string** pending);

  FileSystem* fs_ = nullptr;
  std::string path_;
  std::string dir_;
  std::string memoPath_;
  OpenOptions options_;
  std::unique_ptr<File> dbf_;
  std::unique_ptr<MemoFile> memo_;
  DbfLayout layout_;
  std::vector<uint8_t> headerBytes_;
  uint32_t connection_ = 0;
  Status broken_;  // set when a failed swap left the files behind this handle

  uint32_t count_ = 0;      // records including buffered appends
  uint32_t diskCount_ = 0;  // records the header on disk counts
  std::vector<char> appendBuf_;
  bool dateWritten_ = false;

  uint32_t recno_ = 0;
  bool eof_ = true;
  bool bof_ = true;
  RecnoOrder recnoOrder_;
  std::vector<char> cur_;
  std::vector<char> scratch_;
  uint32_t scratchRecno_ = 0;  // the record IsVisible last read into scratch_, or 0
  std::vector<char> blank_;    // the blank record, copied wherever the pointer leaves the records
  Pending pending_ = Pending::kNone;
  std::map<uint16_t, std::string> pendingMemos_;
  uint32_t savedRecno_ = 0;
  bool savedEof_ = true;
  bool savedBof_ = true;

  bool showDeleted_ = true;
  bool exact_ = false;
  std::vector<std::shared_ptr<RecordFilter>> filters_;

  // Read-ahead window of whole records.
  std::vector<char> cache_;
  uint32_t cacheFirst_ = 0;
  uint32_t cacheCount_ = 0;
  uint32_t readAhead_ = 0;  // records per window; 0 = none
  uint32_t lastRead_ = 0;

  std::set<uint32_t> locks_;
  std::vector<std::shared_ptr<TableExtension>> extensions_;
  std::vector<uint32_t> dependents_;
  bool closed_ = false;
  bool hasCurrency_ = false;
};

// Base of index handles (added by the index layer): an index handle moves
// its table's record pointer in its own order.
class IndexHandleObject : public HandleObject {
 public:
  IndexHandleObject() : HandleObject(HandleKind::kIndex) {}
  virtual std::shared_ptr<Table> table() = 0;
  // The same without touching the reference count, for use within one call.
  virtual Table* table_ptr() = 0;
  virtual Order* order() = 0;
  // While a raw key is being built (XdsInitRawKey to XdsBuildRawKey), field
  // writes through the index handle go into the key's record, not the table's.
  virtual bool RawKeyActive() const { return false; }
  virtual Status SetRawKeyField(uint16_t field, const void* data, uint32_t length, bool text) {
    (void)field;
    (void)data;
    (void)length;
    (void)text;
    return Status::Ok();
  }
  virtual Status SetRawKeyEmpty(uint16_t field) {
    (void)field;
    return Status::Ok();
  }
  // Records in the order between its scopes, filters aside.
  virtual Status CountInScope(uint32_t* n) = 0;
};

// What a table or index handle moves: the table, and the order it moves in
// (a table handle moves in record order). Null where the object is neither,
// or an index that has lost its table or order. The pointers live as long as
// the handle's object.
struct HandleTarget {
  Table* table = nullptr;
  Order* order = nullptr;
};

inline HandleTarget TargetOfHandle(HandleObject* obj) {
  if (obj != nullptr && obj->kind() == HandleKind::kTable) {
    auto* table = static_cast<Table*>(obj);
    return {table, table->recnoOrder()};
  }
  if (obj != nullptr && obj->kind() == HandleKind::kIndex) {
    auto* index = static_cast<IndexHandleObject*>(obj);
    return {index->table_ptr(), index->order()};
  }
  return {};
}

// The table a table or index handle names, owned, for callers that keep it
// beyond the call; null where it names none.
inline std::shared_ptr<Table> OwnedTableOfHandle(const std::shared_ptr<HandleObject>& obj) {
  if (obj != nullptr && obj->kind() == HandleKind::kTable) {
    return std::static_pointer_cast<Table>(obj);
  }
  if (obj != nullptr && obj->kind() == HandleKind::kIndex) {
    return static_cast<IndexHandleObject*>(obj.get())->table();
  }
  return nullptr;
}

// Checks a table's files without changing a byte; one problem per line in
// *report. Fails only when the files cannot be read at all.
Status CheckTableFiles(FileSystem* fs, const std::string& path, std::string* report);

// Resolves a table path given to the open call: backslashes become slashes, a
// relative path is taken inside `dir`, the extension .dbf is added when
// missing, and the file name is matched without regard to letter case.
// *found is false when no such file exists (out then holds the exact path).
Status ResolveTablePath(FileSystem* fs, const std::string& dir, const std::string& given,
                        std::string* out, bool* found);
// Suffixes of the files a rebuild writes beside a table: the journal that
// lists the replacements (after the table's own name), and each replacement
// until it takes its place (a pack's and a reindex's).
inline constexpr const char* kSwapSuffix = ".swap";
inline constexpr const char* kRebuildSuffix = ".rebuild.tmp";
inline constexpr const char* kReindexSuffix = ".reindex.tmp";

// Paths as the engine spells them ("/" only): the folder ("." for none), the
// file name, the file name without its extension, and a name inside a folder.
std::string DirOf(const std::string& path);
std::string NameOf(const std::string& path);
std::string StemOf(const std::string& path);
std::string JoinPath(const std::string& dir, const std::string& name);
// The error of a move or an edit when the table has no current record.
Status NoCurrentRecord(const std::string& path);
// Finds `name` inside `dir` ignoring letter case; false when absent.
[[nodiscard]] bool FindNoCase(FileSystem* fs, const std::string& dir, const std::string& name,
                std::string* actual);

}  // namespace xce
