// TXdsDataSet: an open engine table as a dataset of the record-set framework.
// It supplies the framework's record-level hooks (record buffers, fetch,
// bookmarks, record numbers and counts, field data) and the table layer's
// filters, index order, scopes, editing, direct operations and locate.
//
// Which source file holds what:
//   xdsdata.cc          buffers, fetch, navigation, bookmarks, counts
//   xdsdata_fields.cc   field values read from and written to record buffers
//   xdstable.cc         properties, opening, definitions, closing
//   xdstable_filter.cc  filters, index order, scopes and ranges
//   xdstable_edit.cc    new records, edit, post, cancel, delete, blob streams
//   xdstable_direct.cc  pack, zap, reindex, goto record, locate expression
//   xdstable_locate.cc  Locate, Lookup, the find operations
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "db/dataset.h"
#include "db/stream.h"
#include "xds/xdserror.h"
#include "xds/xdsset.h"
#include "xce.h"

class TXdsConnection;
struct TXdsLocatePlans;

// A handle the component does not hold (closed table).
inline constexpr XDSHANDLE kNoXdsHandle = 0xFFFFFFFFu;
// Index definitions read from a table at most.
inline constexpr int kMaxXdsIndexes = 50;

// The bytes of one blob field value of one record buffer, loaded on demand.
class TXdsBlobCache : public TMemoryStream {
 public:
  // Empties it: no table, no field, no record, not modified.
  void Reset() {
    Clear();
    table = kNoXdsHandle;
    fieldNo = 0;
    recNo = 0;
    modified = false;
  }
  XDSHANDLE table = kNoXdsHandle;
  uint16_t fieldNo = 0;
  uint32_t recNo = 0;  // 0: holds no stored record
  bool modified = false;
};

// One record buffer: the record image, the calculated-field area, the record
// info (record number, a reserved byte, the bookmark flag) and the bookmark,
// in this order in one block of bytes, plus one blob cache per blob field.
class TXdsRecordBuffer : public TRecordBuffer {
 public:
  TXdsRecordBuffer(int bufferSize, int blobCount);

  uint8_t* Bytes() { return bytes_.data(); }
  const uint8_t* Bytes() const { return bytes_.data(); }
  std::vector<std::unique_ptr<TXdsBlobCache>>& BlobCaches() { return blobs_; }

 private:
  std::vector<uint8_t> bytes_;
  std::vector<std::unique_ptr<TXdsBlobCache>> blobs_;
};

// The engine's description of one field.
struct TXCEFieldDef {
  std::string name;
  uint16_t number = 0;  // from 1
  uint16_t offset = 0;  // in the record image
  uint16_t length = 0;
  uint16_t type = 0;  // engine type code
  uint16_t decimals = 0;
  uint16_t permissions = 0;  // 2 update allowed, 4 insert allowed
  bool modified = false;     // written since editing started
};

// The engine field list, kept in step with FieldDefs; looked up by engine
// field number.
class TXCEFieldDefs {
 public:
  void Clear() {
    items_.clear();
    byNumber_.clear();
  }
  void Add(TXCEFieldDef def);
  int Count() const { return static_cast<int>(items_.size()); }
  TXCEFieldDef& operator[](int index) { return items_.at(static_cast<size_t>(index)); }
  const TXCEFieldDef& operator[](int index) const { return items_.at(static_cast<size_t>(index)); }
  // The field of that engine number; null when it is not in the list.
  TXCEFieldDef* ByNumber(int number) {
    return number > 0 && number < static_cast<int>(byNumber_.size()) && byNumber_[number] >= 0
               ? &items_[static_cast<size_t>(byNumber_[number])]
               : nullptr;
  }
  const TXCEFieldDef* ByNumber(int number) const {
    return const_cast<TXCEFieldDefs*>(this)->ByNumber(number);
  }
  void ClearModified() {
    for (TXCEFieldDef& d : items_) {
      d.modified = false;
    }
  }

 private:
  std::vector<TXCEFieldDef> items_;
  std::vector<int> byNumber_;
};

// A key buffer of range and set-key editing: a header, a record image and
// one length per engine field (0xFFFF not set).
struct TXdsKeyBuffer {
  bool modified = false;
  bool exclusive = false;
  uint16_t fieldCount = 0;
  std::vector<uint8_t> image;
  std::vector<uint16_t> lengths;
};
enum TXdsKeyIndex {
  kiSearch,
  kiRangeStart,
  kiRangeEnd,
  kiAppliedRangeStart,
  kiAppliedRangeEnd,
  kiSave
};

// Which property chose the active index.
enum TXdsIndexKind { ikNone, ikIndexName, ikIndexFieldNames, ikDefault };

class TXdsMasterLink;

class TXdsDataSet : public TDataSet {
 public:
  TXdsDataSet();
  ~TXdsDataSet() override;

  // --- Component --------------------------------------------------------------
  // Name of the component that owns this one ("" for none).
  const std::string& OwnerName() const { return ownerName_; }
  void SetOwnerName(std::string name) { ownerName_ = std::move(name); }
  // Between BeginLoading and Loaded a declared Active only remembers the
  // wish (LoadActive); Loaded opens the table then.
  void BeginLoading() { loading_ = true; }
  void LoadActive(bool value);
  virtual void Loaded();
  bool Loading() const { return loading_; }
  bool Designing = false;

  // --- Published properties ---------------------------------------------------
  const std::string& DatabaseName() const { return databaseName_; }
  virtual void SetDatabaseName(const std::string& name);
  std::string InfoStructure;
  const std::string& IndexName() const { return indexName_; }
  void SetIndexName(const std::string& name);
  const std::string& IndexFieldNames() const { return indexFieldNames_; }
  void SetIndexFieldNames(const std::string& names);
  std::string MasterFields;
  TDataSource* MasterSource = nullptr;
  bool Sequenced = false;
  bool Scoped() const { return scoped_; }
  void SetScoped(bool value);
  const std::string& ScopeBegin() const { return scopeBegin_; }
  void SetScopeBegin(const std::string& text);
  const std::string& ScopeEnd() const { return scopeEnd_; }
  void SetScopeEnd(const std::string& text);
  bool StoreActive = true;
  // "6.2 (XCE <engine version>)"; writing it does nothing.
  std::string Version() const;
  void SetVersion(const std::string&) {}

  TXdsTableOptions& XdsTableOptions() { return options_; }
  const TXdsTableOptions& XdsTableOptions() const { return options_; }
  TXdsIndexFiles& IndexFiles() { return indexFiles_; }
  const TXdsIndexFiles& IndexFiles() const { return indexFiles_; }
  TXdsConnection* XdsConnection() const { return connection_; }
  void SetXdsConnection(TXdsConnection* connection);
  const std::string& TableName() const { return tableName_; }
  void SetTableName(const std::string& name);
  TXdsTableTypes TableType() const { return tableType_; }
  virtual void SetTableType(TXdsTableTypes type);
  bool Exclusive() const { return exclusive_; }
  void SetExclusive(bool value);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value);
  TIndexCollationMismatchOptions IndexCollationMismatch() const { return collationMismatch_; }
  void SetIndexCollationMismatch(TIndexCollationMismatchOptions value);
  bool StoreDefs = false;
  std::string InfoExpression;

  // --- Filters (the framework's properties, with the engine behind them) ------
  void SetFiltered(bool value) override;
  void SetFilter(const std::string& value) override;
  void SetOnFilterRecord(TFilterRecordEvent handler) override;

  // --- State the layer exposes -----------------------------------------------
  XDSHANDLE TableHandle() const { return tableHandle_; }
  XDSHANDLE OrderHandle() const { return orderHandle_; }
  int EngineTableType() const { return engineTableType_; }
  TXdsIndexKind IndexKind() const { return indexKind_; }
  // The table directory as it resolves now (see TXdsTable's opening).
  std::string TableDirectory();
  const TXCEFieldDefs& XCEFieldDefs() const { return xceFields_; }
  bool CanModify() const override { return modifiable_ && !readOnly_; }
  bool StoresOemText() const override { return options_.XdsCharType() == OEM; }
  // Marks the index definitions out of date (read again when next needed).
  void IndexDefsOutOfDate() {
    indexDefsUpToDate_ = false;
    ++indexGeneration_;
  }
  // Builds the definitions from the open table, or from the table opened for
  // the purpose and closed again.
  void UpdateFieldDefs();
  void UpdateIndexDefs();

  // The physical record number of the record whose fields are read now: in
  // an OnFilterRecord handler the record it judges, else the current one
  // (0 when there is none, as on a new record).
  uint32_t StateRecNo() const;
  // After a caller moved the engine's cursor through TableHandle() (a search
  // reading the table): the next move goes back to the current record first.
  void EngineCursorMoved() { CursorPosChanged(); }

  // --- Framework operations the layer answers --------------------------------
  void SetRecNo(int value) override;
  // The place a scroll bar shows: the key position in index order, the
  // physical record number against the record count in record order.
  double RecordPosition() override;
  // In record order a jump goes straight to the record number (the record
  // after it when the filters hide it), not by skipping from the top.
  void SetRecordPosition(double position) override;
  int CompareBookmarks(const TBookmark& a, const TBookmark& b) const override;
  bool BookmarkValid(const TBookmark& bookmark) override;
  bool GetCurrentRecord(TRecordBuffer* dest) override;
  bool GetFieldData(const TField& field, void* dest) const override;
  void SetFieldData(TField& field, const void* source) override;
  std::unique_ptr<TStream> CreateBlobStream(TField& field, TBlobStreamMode mode) override;
  void DataEvent(TDataEvent event, TField* field = nullptr, int scrolled = 0) override;

  // --- Ranges (key buffers) ---------------------------------------------------
  void EditRangeStart();
  void EditRangeEnd();
  void ApplyRange();
  void CancelRange();
  // In the set-key state Post keeps the edited key and Cancel puts the one
  // from before the edit back; otherwise the record-set's own.
  void Post() override;
  void Cancel() override;
  // Whether a field is a key segment of the active index.
  bool IsIndexField(const TField& field) const;

  // --- Locate and find ---------------------------------------------------------
  // While Filtered is on, passes over matches that OnFilterRecord rejects.
  bool Locate(const std::string& keyFields, const TVariant& keyValues,
              TLocateOptions options) override;
  bool FindFirst() override;
  bool FindLast() override;
  bool FindNext() override;
  bool FindPrior() override;
  // The Locate expression for the search record's fields; only in the filter
  // state.
  std::string BuildFilterString(const std::vector<TField*>& fields, bool caseInsensitive);

  // --- Direct table operations -------------------------------------------------
  void DeleteCurrentRecord();
  void GotoRecord(int32_t recNo);
  void GotoTop();
  bool LocateExpression(const std::string& expression, bool forward);
  void PackTable();
  void ReindexTable();
  void ZapTable();
  // Replaces every row of the table, open exclusively, with `rows`: each the
  // texts of the fields named in `fields`, in that order (other fields are
  // blank). A text longer than its character field keeps the characters
  // that fit whole. The rows are replaced in one step: after a failure or a
  // crash the table holds its old rows or all the new ones (the dataset's
  // buffers may hold neither: close it). Afterwards the dataset is on its
  // first record.
  void RewriteRows(const std::vector<std::string>& fields,
                   const std::vector<std::vector<std::string>>& rows);

  // --- Unsupported ---------------------------------------------------------------
  [[noreturn]] void BatchMove();
  [[noreturn]] void RenameTable(const std::string& newName);
  [[noreturn]] void UpdateStatus() const;
  virtual void FreeStatement() {}
  // The last automatic increment value (the table's).
  virtual int32_t LastAutoIncValue() = 0;

 protected:
  friend class TXdsConnection;
  friend class TXdsTableOptions;
  friend class TXdsIndexFiles;

  // --- Record buffer layout -----------------------------------------------------
  // Offsets inside TXdsRecordBuffer::Bytes().
  int CalcAreaOffset() const { return recordSize_; }
  int RecInfoOffset() const { return recordSize_ + calcAreaSize_; }
  int BookmarkOffset() const { return RecInfoOffset() + 6; }
  static TXdsRecordBuffer& Buf(TRecordBuffer* buffer) {
    return *static_cast<TXdsRecordBuffer*>(buffer);
  }
  static const TXdsRecordBuffer& Buf(const TRecordBuffer* buffer) {
    return *static_cast<const TXdsRecordBuffer*>(buffer);
  }
  int32_t BufRecNo(const TRecordBuffer* buffer) const;
  void SetBufRecNo(TRecordBuffer* buffer, int32_t recNo) const;
  // The physical record number: the bookmark's first 32 bits.
  uint32_t BufBookmarkRecNo(const TRecordBuffer* buffer) const;
  void SetBufBookmarkRecNo(TRecordBuffer* buffer, uint32_t recNo) const;
  // Computes record size, calculated-field area, blob count, bookmark size and
  // buffer size.
  void ComputeLayout();
  // Record number, reserved byte, bookmark flag and bookmark of a new buffer.
  void ResetRecInfo(TRecordBuffer* buffer) const;
  // The record fetch, also used by editing and Lookup.
  TGetResult FetchRecord(TRecordBuffer* buffer, TGetMode mode);
  // What a fetched record needs before it is shown: its blob markers and, on
  // an OEM table, its string fields in the program's code page. With
  // checkPosition it first makes sure the engine stands on that record.
  void FinishFetch(TRecordBuffer* buffer, bool checkPosition);
  // Finishes the fetch still running into buffer before a field of the type
  // that needs it is read or written there.
  void FinishFetchBeforeRead(const TRecordBuffer* buffer, uint16_t type) const;
  // Empties every blob cache of buffer in the states that show a record.
  void ResetBlobCaches(TXdsRecordBuffer& buffer);
  bool HasBlobs() const { return blobCount_ > 0; }
  // The bookmark size of the order handle, else the table handle.
  uint16_t ReadBookmarkLength() const;

  // --- Hooks of the framework ----------------------------------------------------
  TRecordBufferPtr AllocRecordBuffer() override;
  void FreeRecordBuffer(TRecordBufferPtr& buffer) override;
  void InternalInitRecord(TRecordBuffer* buffer) override;
  TGetResult GetRecord(TRecordBuffer* buffer, TGetMode mode, bool doCheck) override;
  void InternalFirst() override;
  void InternalLast() override;
  void InternalSetToRecord(TRecordBuffer* buffer) override;
  void InternalGotoBookmark(const TBookmark& bookmark) override;
  void GetBookmarkData(const TRecordBuffer* buffer, TBookmark& data) const override;
  void SetBookmarkData(TRecordBuffer* buffer, const TBookmark& data) override;
  TBookmarkFlag GetBookmarkFlag(const TRecordBuffer* buffer) const override;
  void SetBookmarkFlag(TRecordBuffer* buffer, TBookmarkFlag flag) override;
  int GetRecordSize() const override { return recordSize_; }
  int GetRecNo() const override;
  int GetRecordCount() const override;
  bool IsSequenced() const override { return Sequenced; }
  void InternalRefresh() override;
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() const override { return tableHandle_ != kNoXdsHandle; }
  void InternalInsert() override;
  void InternalEdit() override;
  void InternalPost() override;
  void InternalDelete() override;
  void InternalCancel() override;
  void DoOnNewRecord() override;
  void ClearCalcFields(TRecordBuffer* buffer) override;
  bool LocateSearchRecord(const std::vector<TField*>& fields, TLocateOptions options) override;
  // The insert-with-values hook: buffer must be the active buffer.
  void InternalAddRecord(TRecordBuffer* buffer, bool append);

  // --- Opening (TXdsTable supplies the engine open) ------------------------------
  virtual XDSHANDLE OpenEngineTable() = 0;
  // XdsCloseTable with its failure swallowed; both handles become -1.
  void CloseEngineTable() noexcept;
  void SetTableTypeValue(TXdsTableTypes type);
  // "Cannot perform this operation on an open dataset" (5121) while active.
  void CheckClosedForOpenCall() const;

  // --- Filters, index order, scopes ------------------------------------------------
  void ActivateFilter();
  void DeactivateFilter();
  // The Filter text as the engine takes it and the exact-comparison setting
  // it needs (a trailing "*" inside a literal turns exact comparison off).
  std::string PrepareFilterText(const std::string& text, bool& exact);
  void ApplyIndexOrder();
  // IndexName and IndexFieldNames set (one of them empty).
  void ChangeIndexOrder(const std::string& name, const std::string& fieldNames,
                        TXdsIndexKind kind);
  void ActivateScope();
  void DeactivateScope();
  // XdsOptimizedFilters set to value while the table is open and filtered:
  // stores it (options_.optimizedFilters_) with the filter taken off and put
  // back.
  void OptimizedFiltersChanging(bool value);
  void RecordCacheChanged(TXdsRecordCacheTypes value);
  // True when a top or bottom scope is set on the order handle.
  bool ScopeSet() const;
  // Range internals.
  void EditRangeBuffer(TXdsKeyIndex which);
  bool ApplyRangeBuffers();
  bool CancelRangeBuffers();
  void ResetKeyBuffer(TXdsKeyBuffer& key);
  // Post (keep) and Cancel in the set-key state.
  void FinishKeyEdit(bool keep);
  // Master and detail: the master's dataset when a link with fields is
  // active; the detail's key fields that take the master's values (from
  // IndexFieldNames, else the active index's segments); the range of the
  // master's key put into the range buffers and applied (true when it
  // changed); what the link does when the master moves.
  TDataSet* ActiveMaster() const;
  std::vector<TField*> DetailKeyFields(size_t count);
  bool ApplyMasterRangeBuffers();
  void MasterChanged();
  friend class TXdsMasterLink;

  // --- Direct operations -----------------------------------------------------------
  void SyncEngineToActiveRecord();
  void ResyncAfterEngineMove();
  void CheckXceMoveResult(XDSRESULT result);

  // --- Locate ----------------------------------------------------------------------
  // Whether the key of index covers the fields; remembers the last segment.
  bool IndexMatchesFields(XDSHANDLE index, const std::vector<TField*>& fields);
  bool IsPlainIndex(XDSHANDLE index);
  bool FindRecord(bool restart, bool goForward);
  XDSHANDLE LocateIndex(const std::vector<TField*>& fields, TLocateOptions options);
  bool SeekSearchRecord(XDSHANDLE index, const std::vector<TField*>& fields,
                        TLocateOptions options);
  bool FilterSearchRecord(const std::vector<TField*>& fields, TLocateOptions options);
  bool AcceptedByFilterRecord(bool mayMoveOn);
  // Forgets the indexes searches chose (an index or scope changed).
  void ForgetLocatePlans();

  // --- Field values ------------------------------------------------------------------
  // The record image fields are read from in the current state and the
  // record buffer it belongs to (null for a key buffer or the old record);
  // null when there is none.
  const uint8_t* StateImage(const TRecordBuffer*& buffer) const;
  // Whether the field's bytes hold no value, by the table's type.
  bool FieldIsEmpty(const TXCEFieldDef& def, const uint8_t* bytes) const;
  // Converts a field's bytes (not empty) into the field object's native form.
  void ReadFieldValue(const TField& field, const TXCEFieldDef& def, const uint8_t* bytes,
                      void* dest) const;
  // Encodes a native value (null: empty) into the field's bytes.
  void EncodeFieldValue(const TField& field, const TXCEFieldDef& def, uint8_t* bytes,
                        const void* source) const;
  void EncodeEmptyValue(const TXCEFieldDef& def, uint8_t* bytes) const;
  // The blob cache of an engine field in a buffer; null when it has none.
  TXdsBlobCache* BlobCacheOf(TRecordBuffer* buffer, int fieldNo) const;

  // --- State --------------------------------------------------------------------------
  TXdsConnection* connection_ = nullptr;
  std::string ownerName_;
  bool loading_ = false;
  bool streamedActive_ = false;
  std::string databaseName_;
  std::string aliasPath_;  // cached alias path
  std::string tableName_;
  TXdsTableTypes tableType_ = ttXdsXDT;
  int engineTableType_ = 3;
  bool exclusive_ = false;
  bool readOnly_ = false;
  TIndexCollationMismatchOptions collationMismatch_ = icmError;
  TXdsTableOptions options_;
  TXdsIndexFiles indexFiles_;

  XDSHANDLE tableHandle_ = kNoXdsHandle;
  XDSHANDLE orderHandle_ = kNoXdsHandle;
  uint32_t openOptions_ = 0;
  bool modifiable_ = false;
  bool indexDefsUpToDate_ = false;

  // Layout values.
  int recordSize_ = 0;
  int calcAreaSize_ = 0;
  int blobCount_ = 0;
  int bookmarkSize_ = 4;
  int bufferSize_ = 0;
  TXCEFieldDefs xceFields_;
  std::vector<uint16_t> blobFieldNos_;  // engine numbers of blob fields, in order
  std::vector<uint16_t> oemStringFields_;  // string fields re-read on an OEM table
  std::vector<uint8_t> blankRecord_;       // the engine's blank record, once asked

  // Index order, scopes, ranges.
  TXdsIndexKind indexKind_ = ikNone;
  std::string indexName_;
  std::string indexFieldNames_;
  std::string defaultIndexName_;
  bool scoped_ = false;
  std::string scopeBegin_;
  std::string scopeEnd_;
  std::array<TXdsKeyBuffer, 6> keyBuffers_;
  TXdsKeyIndex keyBuffer_ = kiSearch;  // the one edited in set-key state
  std::string lastKeySegment_;
  bool locating_ = false;  // a Locate's search (not a Lookup's) is running
  // Which index recent searches chose, kept while indexes and scopes stay.
  std::shared_ptr<TXdsLocatePlans> locatePlans_;
  uint32_t indexGeneration_ = 0;  // counts IndexDefsOutOfDate

  std::unique_ptr<TXdsMasterLink> masterLink_;  // follows MasterSource while open

  // Editing.
  std::vector<uint8_t> oldRecord_;
  // Where Cancel returns to from a new record: after the last record (an
  // append), or the physical record number it was inserted before (0: none).
  bool insertAtEnd_ = false;
  uint32_t insertBeforeRecNo_ = 0;

  // Positioning before the first (after the last) record is GotoTop
  // (GotoBottom) and a step off that end; the fetch that follows steps back
  // on. Where a filter hides many records at that end each step walks all of
  // them, so the step off is left to the next fetch, which skips both steps
  // when it goes straight back to the record the engine found (endRecNo_).
  enum class TPendingEnd : uint8_t { kNone, kBeforeFirst, kAfterLast };
  TPendingEnd pendingEnd_ = TPendingEnd::kNone;
  uint32_t endRecNo_ = 0;
  // The buffer a fetch is judging through OnFilterRecord before FinishFetch.
  TRecordBuffer* unfinishedFetch_ = nullptr;
  void PositionAtEnd(TPendingEnd end);
  bool TakePendingEnd(TGetMode mode, TRecordBuffer* buffer, XDSFETCHINFO& at);
};

// The two classes between TXdsDataSet and TXdsTable add nothing.
class TXdsExtendedDataSet : public TXdsDataSet {};
