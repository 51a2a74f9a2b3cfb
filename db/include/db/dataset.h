// TDataSet: a record-at-a-time view of stored records with states, a window
// of record buffers around the current record, field objects and events.
//
// A dataset kind (the table layer, the in-memory dataset) supplies the
// record-level hooks declared protected below; the framework builds
// navigation, editing, refills and notifications on them.
//
// The buffer window: BufferCount() buffers for the records shown (as many as
// the largest attached link asks for, at least one), plus one spare that
// serves as the temporary buffer and as the target of every fetch. Buffers
// 0 .. WindowRecordCount()-1 hold consecutive records; ActiveRecordIndex()
// is the current one. Moving inside the window calls no hook. The engine
// cursor's position is kept as the index of the buffer whose record it is on
// (unknown after CursorPosChanged()); UpdateCursorPos() brings it back to the
// active record before any operation that needs it there.
//
// Writing a dataset kind (TMemDataSet is a complete example):
// - InternalOpen builds FieldDefs(), calls CreateAndBindFields() (field
//   objects made or checked, calculated-field area laid out; size record
//   buffers after it), and puts the cursor before the first record.
// - GetRecord fills the buffer, calls GetCalcFields(buffer), then asks
//   FilterRecordAccepted(buffer) and skips rejected records in the direction
//   of travel (forward for gmCurrent).
// - GetFieldData/SetFieldData read and write StateBuffer(); calculated and
//   lookup fields (FieldNo() <= 0) live in the calculated-field area
//   (ReadCalcFieldData with the buffer, which computes a lookup value left
//   for its first reading, and WriteCalcFieldData); a write in edit or insert state
//   runs field.Validate first, and every write ends with
//   NotifyFieldWritten(field).
// - InternalPost calls CheckRequiredFields() first.
// - A change of order: UpdateCursorPos(), change it, ReallocateBufferWindow()
//   (CloseWithoutEvents() if that fails), Resync(0).
// - Locate and Lookup: LocateSearchRecord finds the search record's values.
// - db/tests/dataset_conformance.h is the behaviour each kind must pass.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/db_error.h"
#include "db/db_types.h"
#include "db/field_defs.h"
#include "db/fields.h"
#include "db/stream.h"
#include "db/variant.h"

class TDataSource;
class TDataLink;

// One record buffer. What it holds is the dataset kind's business, except
// whether its lookup values are still to be computed (the framework's).
class TRecordBuffer {
 public:
  virtual ~TRecordBuffer() = default;

 private:
  friend class TDataSet;
  bool lookupsPending_ = false;
};
using TRecordBufferPtr = std::unique_ptr<TRecordBuffer>;

class TDataSet {
 public:
  using TDataSetNotifyEvent = std::function<void(TDataSet&)>;
  using TFilterRecordEvent = std::function<void(TDataSet&, bool& accept)>;
  using TDataSetErrorEvent = std::function<void(TDataSet&, EDatabaseError&, TDataAction&)>;
  using TUpdateRecordEvent = std::function<void(TDataSet&, TUpdateKind, TUpdateAction&)>;

  TDataSet();
  virtual ~TDataSet();
  TDataSet(const TDataSet&) = delete;
  TDataSet& operator=(const TDataSet&) = delete;

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }

  // --- Opening and state ---------------------------------------------------
  // Open: BeforeOpen, the kind's open, the first window of records, browse
  // state, AfterOpen, and AfterScroll when there is a record. When opening
  // fails the dataset stays closed and the error passes on.
  void Open() { SetActive(true); }
  // Close: BeforeClose, inactive state (an unposted edit is dropped), the
  // kind's close, AfterClose.
  void Close() { SetActive(false); }
  bool Active() const { return state_ != dsInactive; }
  void SetActive(bool value);
  TDataSetState State() const { return state_; }

  // --- Navigation ----------------------------------------------------------
  // Each posts or cancels a pending edit and fires BeforeScroll first and
  // AfterScroll last.
  void First();
  void Last();
  void Next() { MoveBy(1); }
  void Prior() { MoveBy(-1); }
  // Moves up to distance records; returns how far it moved (negative when
  // backwards). Running off an end sets Eof or Bof and stays.
  int MoveBy(int distance);
  bool Eof() const { return eof_; }
  bool Bof() const { return bof_; }
  bool IsEmpty() const { return bof_ && eof_ && state_ != dsInsert; }
  // The kind's record number of the current record; -1 when there is none.
  int RecNo() const;
  virtual void SetRecNo(int value);
  int RecordCount() const;
  // Where the current record stands in the current order, from 0 (the
  // first record) to 1 (the last), for a scroll bar; negative when there is
  // no current record or the kind cannot tell. The default reads the record
  // number against the record count: the place in record order.
  virtual double RecordPosition();
  // Goes to the record at that place (0 to 1) of the current order, or the
  // nearest one shown, centring the window on it. The default sets the
  // record number.
  virtual void SetRecordPosition(double position);
  // Reads the current record again and refills the window around it.
  void Refresh();
  // Refills the window around the cursor's record: it keeps the current
  // record's row, or centres it with rmCenter; with rmExact the record must
  // still be there ("Record not found" otherwise).
  void Resync(TResyncModes modes);

  bool BookmarkAvailable() const;
  // The current record's bookmark; empty when there is none (also while a
  // new record is being inserted).
  TBookmark GetBookmark() const;
  void GotoBookmark(const TBookmark& bookmark);
  // -1, 0, 1 in the current order; an empty bookmark sorts first.
  virtual int CompareBookmarks(const TBookmark& a, const TBookmark& b) const;
  virtual bool BookmarkValid(const TBookmark& bookmark);

  // --- Editing -------------------------------------------------------------
  void Insert();
  void Append();
  void Edit();
  virtual void Post();
  virtual void Cancel();
  void Delete();
  // Insert or append, set the fields in order from values, post.
  void InsertRecord(const std::vector<TVariant>& values);
  void AppendRecord(const std::vector<TVariant>& values);
  bool Modified() const { return modified_; }
  // Posts a pending edit when fields were changed, cancels it otherwise.
  void CheckBrowseMode();
  // Asks the attached controls to write their pending input into fields.
  void UpdateRecord();
  virtual bool CanModify() const { return true; }
  // Whether the text fields are stored in the OEM code page (866), which
  // holds only part of the program's character set.
  virtual bool StoresOemText() const { return false; }
  void ClearFields();

  // --- Fields --------------------------------------------------------------
  TFields& Fields() { return fields_; }
  const TFields& Fields() const { return fields_; }
  int FieldCount() const { return fields_.Count(); }
  TField* FindField(const std::string& fieldName) const { return fields_.FindField(fieldName); }
  // Raises "Name: Field 'X' not found".
  TField* FieldByName(const std::string& fieldName) const;
  // Field names separated by ";".
  std::vector<TField*> GetFieldList(const std::string& fieldNames) const;
  // One value, or an array for several fields.
  TVariant FieldValues(const std::string& fieldNames) const;
  void SetFieldValues(const std::string& fieldNames, const TVariant& values);
  TFieldDefs& FieldDefs() { return fieldDefs_; }
  const TFieldDefs& FieldDefs() const { return fieldDefs_; }
  TIndexDefs& IndexDefs() { return indexDefs_; }
  const TIndexDefs& IndexDefs() const { return indexDefs_; }
  // True while the field objects were made at open because none were declared.
  bool DefaultFields() const { return defaultFields_; }
  bool AutoCalcFields() const { return autoCalcFields_; }
  void SetAutoCalcFields(bool value) { autoCalcFields_ = value; }

  // --- Finding -------------------------------------------------------------
  // Moves to the first record whose fields equal the values: BeforeScroll,
  // the search, and when found a window centred on it and AfterScroll.
  virtual bool Locate(const std::string& keyFields, const TVariant& keyValues,
                      TLocateOptions options);
  // The result fields of the first record whose key fields equal the values,
  // without moving the current record; null when none or when the key is null.
  virtual TVariant Lookup(const std::string& keyFields, const TVariant& keyValues,
                          const std::string& resultFields);

  // Steps to the first, last, next or prior record that the Filter text
  // accepts, even while Filtered is false; the kind supplies them (none
  // here: they find nothing). Found() tells whether the last one moved.
  virtual bool FindFirst() { return SetFound(false); }
  virtual bool FindLast() { return SetFound(false); }
  virtual bool FindNext() { return SetFound(false); }
  virtual bool FindPrior() { return SetFound(false); }
  bool Found() const { return found_; }

  // --- Filtering (each kind decides what a change does) --------------------
  virtual bool Filtered() const { return filtered_; }
  virtual void SetFiltered(bool value) { filtered_ = value; }
  virtual const std::string& Filter() const { return filter_; }
  virtual void SetFilter(const std::string& value) { filter_ = value; }
  virtual const TFilterRecordEvent& OnFilterRecord() const { return onFilterRecord_; }
  virtual void SetOnFilterRecord(TFilterRecordEvent handler) {
    onFilterRecord_ = std::move(handler);
  }

  // --- Controls ------------------------------------------------------------
  // While disabled no notification reaches the data sources; enabling again
  // sends one state change (if the state changed) and one dataset change.
  void DisableControls();
  void EnableControls();
  bool ControlsDisabled() const { return disableCount_ > 0; }

  // --- Field data (the kind's) ---------------------------------------------
  // Reads a field of the buffer the state reads into dest (may be null);
  // false when the field has no value.
  virtual bool GetFieldData(const TField& field, void* dest) const = 0;
  // Writes a field of the state's buffer; a null source empties it.
  virtual void SetFieldData(TField& field, const void* source) = 0;
  // A stream on a blob field of the state's buffer.
  virtual std::unique_ptr<TStream> CreateBlobStream(TField& field, TBlobStreamMode mode);
  // Copies the current record into dest; false when there is none.
  virtual bool GetCurrentRecord(TRecordBuffer* dest);

  // Sends a notification to the data sources (see TDataEvent). The
  // field-change notification also marks the record modified, recomputes
  // calculated fields and runs the field's OnChange. A kind may override it
  // to react to notifications (state changes) and then call this one.
  virtual void DataEvent(TDataEvent event, TField* field = nullptr, int scrolled = 0);

  // --- Events --------------------------------------------------------------
  TDataSetNotifyEvent BeforeOpen, AfterOpen, BeforeClose, AfterClose;
  TDataSetNotifyEvent BeforeInsert, AfterInsert, BeforeEdit, AfterEdit;
  TDataSetNotifyEvent BeforePost, AfterPost, BeforeCancel, AfterCancel;
  TDataSetNotifyEvent BeforeDelete, AfterDelete, BeforeScroll, AfterScroll;
  TDataSetNotifyEvent OnCalcFields, OnNewRecord;
  TDataSetErrorEvent OnEditError, OnPostError, OnDeleteError;
  TUpdateRecordEvent OnUpdateRecord;

 protected:
  // --- Hooks of the dataset kind -------------------------------------------
  virtual TRecordBufferPtr AllocRecordBuffer() = 0;
  virtual void FreeRecordBuffer(TRecordBufferPtr& buffer) { buffer.reset(); }
  // A blank new record: no values (or the defaults), no calculated values,
  // record number -1, bookmark flag bfCurrent, no bookmark.
  virtual void InternalInitRecord(TRecordBuffer* buffer) = 0;
  // Fetches the current, next or prior record that the filters let through
  // into buffer, computing its calculated fields (GetCalcFields) and asking
  // OnFilterRecord (FilterRecordAccepted).
  virtual TGetResult GetRecord(TRecordBuffer* buffer, TGetMode mode, bool doCheck) = 0;
  // Cursor before the first record / after the last record.
  virtual void InternalFirst() = 0;
  virtual void InternalLast() = 0;
  // Cursor to the record a buffer holds.
  virtual void InternalSetToRecord(TRecordBuffer* buffer) = 0;
  virtual void InternalGotoBookmark(const TBookmark& bookmark) = 0;
  virtual void GetBookmarkData(const TRecordBuffer* buffer, TBookmark& data) const = 0;
  virtual void SetBookmarkData(TRecordBuffer* buffer, const TBookmark& data) = 0;
  virtual TBookmarkFlag GetBookmarkFlag(const TRecordBuffer* buffer) const = 0;
  virtual void SetBookmarkFlag(TRecordBuffer* buffer, TBookmarkFlag flag) = 0;
  virtual int GetRecordSize() const { return 0; }
  virtual int GetRecNo() const { return -1; }
  virtual int GetRecordCount() const { return -1; }
  virtual bool IsSequenced() const { return true; }
  virtual void InternalRefresh() {}
  // Opens the cursor (building field definitions, then CreateAndBindFields)
  // and positions it before the first record; on failure it leaves nothing
  // open. Close releases the cursor; the framework unbinds the fields.
  virtual void InternalOpen() = 0;
  virtual void InternalClose() = 0;
  virtual bool IsCursorOpen() const = 0;
  virtual void InternalInsert() {}
  virtual void InternalEdit() {}
  // Writes the active buffer (edit or insert) and leaves the cursor on the
  // written record. Calls CheckRequiredFields first.
  virtual void InternalPost() = 0;
  // Deletes the cursor's record and leaves the cursor where the refill
  // should find the next current record.
  virtual void InternalDelete() = 0;
  virtual void InternalCancel() {}
  // The new-record hook: runs in insert state; the default fires OnNewRecord.
  virtual void DoOnNewRecord();
  virtual void ClearCalcFields(TRecordBuffer* buffer);
  // The search of Locate and Lookup: the search record (FilterBuffer(), in
  // the filter state) holds the values in the given fields. Positions the
  // cursor on the first matching record in the current order that the
  // kind's own filter lets through and returns true; false when none.
  virtual bool LocateSearchRecord(const std::vector<TField*>& fields, TLocateOptions options);
  // The buffer the current state reads and writes.
  virtual TRecordBuffer* StateBuffer() const;

  // --- Services for the kinds ----------------------------------------------
  TRecordBuffer* ActiveBuffer() const;
  TRecordBuffer* TempBuffer() const;
  TRecordBuffer* CalcBuffer() const { return calcBuffer_; }
  TRecordBuffer* FilterBuffer() const { return filterBuffer_; }
  TRecordBuffer* BufferAt(int index) const { return buffers_.at(static_cast<size_t>(index)).get(); }
  int BufferCount() const { return bufferCount_; }
  int WindowRecordCount() const { return recordCount_; }
  int ActiveRecordIndex() const { return activeRecord_; }

  void SetState(TDataSetState value);
  // Switches state without notifications; RestoreState undoes it.
  TDataSetState SetTempState(TDataSetState value);
  void RestoreState(TDataSetState saved);
  void CheckActive() const;
  void CheckInactive() const;
  void CheckCanModify() const;
  [[noreturn]] void Error(const std::string& message) const { DatabaseError(message, name_); }

  void CursorPosChanged() { currentRecord_ = -1; }
  bool SetFound(bool value) { return found_ = value; }
  void UpdateCursorPos();
  // Frees the buffer window and allocates it again (after the buffer layout
  // changed), keeping the active row for the Resync that follows.
  void ReallocateBufferWindow();

  // InternalInitRecord and ClearCalcFields.
  void InitRecord(TRecordBuffer* buffer);
  // Computes the calculated and lookup fields of buffer (calculated-fields
  // state, buffer as the calculation buffer): lookups, then OnCalcFields.
  // Without an OnCalcFields handler on either side, and while every lookup
  // dataset is browsing, the lookups are left for the first reading of a
  // lookup field of that buffer: a fetch whose record OnFilterRecord turns
  // down, or that no control shows, then looks nothing up. Looking up in a
  // browsing dataset has no effect anyone sees but the value itself.
  void GetCalcFields(TRecordBuffer* buffer);
  virtual void CalculateFields(TRecordBuffer* buffer);
  // Asks OnFilterRecord about buffer while Filtered is true (filter state,
  // buffer as the filter buffer); accepts without asking while Lookup reads
  // the record its search found. An exception from the handler goes to the
  // application's exception report and the flag keeps its value; without a
  // report it passes on.
  bool FilterRecordAccepted(TRecordBuffer* buffer);
  // A required data field without a value fails naming the field.
  void CheckRequiredFields();
  // Runs op, asking errorEvent on an EDatabaseError whether to fail, abort
  // or retry.
  void CheckOperation(const std::function<void()>& op, const TDataSetErrorEvent& errorEvent);

  // Field objects at open: default fields when none are declared, then
  // binding every field to its definition (type and size checked) and
  // laying out the calculated-field area.
  void CreateAndBindFields();
  void CreateFields();
  void DestroyFields();
  void BindFields(bool binding);
  int CalcFieldsSize() const { return calcFieldsSize_; }
  // The calculated-field area: per field a flag byte, then its native value.
  // buffer is the record buffer the area belongs to (a lookup value left for
  // its first reading is computed into it now).
  bool ReadCalcFieldData(const TField& field, const TRecordBuffer* buffer, const uint8_t* area,
                         void* dest) const;
  void WriteCalcFieldData(const TField& field, uint8_t* area, const void* source) const;
  // The field-change notification after a write, except in the states that
  // only fill a buffer (calculated-fields, filter, new-value).
  void NotifyFieldWritten(TField& field);

  // The scroll events, for kinds that move on their own (record number set).
  void DoBeforeScroll();
  void DoAfterScroll();
  // The search of Locate and Lookup (browse-mode check, search record, the
  // kind's LocateSearchRecord); the cursor position is unknown afterwards.
  bool LocateRecord(const std::string& keyFields, const TVariant& keyValues,
                    TLocateOptions options);
  // Closes without events: for the destructors of dataset kinds, and for a
  // kind that cannot go on after a failure (its buffer window could not be
  // rebuilt).
  void CloseWithoutEvents() noexcept;

 private:
  friend class TDataSource;
  friend class TDataLink;
  friend class TField;
  friend class TFields;

  void Fire(const TDataSetNotifyEvent& event) {
    if (event) {
      event(*this);
    }
  }
  void OpenCursor();
  void CloseCursor();
  void AllocateBufferWindow();
  void FreeBufferWindow();
  void ClearBuffers();
  void ActivateBuffers();
  void SetCurrentRecord(int index);
  void CheckWindowSurvived() const;
  void MoveToEnd(bool last);
  bool FetchBeyondWindow(TGetMode mode);
  bool GetNextRecord();
  bool GetPriorRecord();
  int GetNextRecords();
  int GetPriorRecords();
  void SetBufferCount(int value);
  void UpdateBufferCount();
  void SetActiveRecord(int index);
  void BeginInsertAppend();
  void AbandonNewRecord(const TBookmark& current, int row);
  void EndInsertAppend();
  TVariant ReadLookupResult(const std::string& resultFields);
  void CalcLookupValue(TField& field);
  bool LookupsMayWait() const;
  void CalcPendingLookups(TRecordBuffer* buffer);
  void AddDataSource(TDataSource* source);
  void RemoveDataSource(TDataSource* source);
  void AddLookupUser(TField* field);
  void RemoveLookupUser(TField* field);

  std::string name_;
  TDataSetState state_ = dsInactive;
  TFields fields_;
  TFieldDefs fieldDefs_;
  TIndexDefs indexDefs_;
  bool defaultFields_ = false;
  bool autoCalcFields_ = true;
  int calcFieldsSize_ = 0;
  std::vector<TField*> lookupFields_;  // bound lookup fields, in field order
  // The field list of the last Locate or Lookup: a search repeated for every
  // record of a list names the same fields each time. Bound fields stay
  // until the dataset closes.
  std::string locateKeyFields_;
  std::shared_ptr<const std::vector<TField*>> locateFields_;
  bool filtered_ = false;
  bool found_ = false;
  bool readingLookupRecord_ = false;  // Lookup fetching the record its search found
  std::string filter_;
  TFilterRecordEvent onFilterRecord_;

  std::vector<TRecordBufferPtr> buffers_;  // bufferCount_ + 1 while open
  int bufferCount_ = 1;
  int recordCount_ = 0;
  int activeRecord_ = 0;
  int currentRecord_ = -1;
  bool bof_ = true;
  bool eof_ = true;
  bool modified_ = false;
  TRecordBuffer* calcBuffer_ = nullptr;
  TRecordBuffer* filterBuffer_ = nullptr;

  int disableCount_ = 0;
  TDataSetState disableState_ = dsInactive;
  TDataEvent enableEvent_ = deDataSetChange;

  std::vector<TDataSource*> dataSources_;
  std::vector<TField*> lookupUsers_;  // fields of other datasets that look up here
};

// Declares a field object of class T on a dataset (which owns it).
template <class T, class... Args>
T* AddField(TDataSet& dataSet, const std::string& fieldName, Args&&... args) {
  auto field = std::make_unique<T>(std::forward<Args>(args)...);
  field->SetFieldName(fieldName);
  T* result = field.get();
  dataSet.Fields().Add(std::move(field));
  return result;
}
