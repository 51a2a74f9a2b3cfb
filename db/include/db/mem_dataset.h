// TMemDataSet: a dataset whose records live in memory. It implements every
// hook of the framework the way a table does (stored order or the order of
// one field, a record filter standing in for an engine filter, records that
// stay in place when deleted), so it serves as the reference the table
// layer is compared against and as the test bed of the framework.
//
// Declare the fields with FieldDefs() before Open; the records stay while
// the dataset is closed and opened again with the same definitions.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/dataset.h"

class TMemDataSet : public TDataSet {
 public:
  // A stored record as the record filter sees it.
  class TRecordView {
   public:
    // Physical record number, from 1.
    int RecNo() const { return row_ + 1; }
    TVariant Value(const std::string& fieldName) const;

   private:
    friend class TMemDataSet;
    TRecordView(const TMemDataSet& owner, int row) : owner_(owner), row_(row) {}
    const TMemDataSet& owner_;
    int row_;
  };
  using TRecordFilter = std::function<bool(const TRecordView&)>;

  TMemDataSet() = default;
  ~TMemDataSet() override;

  // The record filter applies while Filtered is true, like a filter
  // expression; setting it while filtered moves to the first record.
  void SetRecordFilter(TRecordFilter filter);
  // The order: one field's values, ties in stored order; empty for the
  // stored order. Changing it on an open dataset keeps the current record.
  const std::string& IndexFieldNames() const { return indexFieldNames_; }
  void SetIndexFieldNames(const std::string& fieldName);
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value) { readOnly_ = value; }
  bool CanModify() const override { return !readOnly_; }

  // Switching Filtered or changing Filter while filtered moves to the first
  // record of the new view.
  void SetFiltered(bool value) override;
  void SetFilter(const std::string& value) override;
  // Goes to the physical record number and centres the window on it.
  void SetRecNo(int value) override;
  // The place in the current order (stored or by the index field), so a
  // scroll bar follows the order the records are shown in.
  double RecordPosition() override;
  void SetRecordPosition(double position) override;

  bool GetFieldData(const TField& field, void* dest) const override;
  void SetFieldData(TField& field, const void* source) override;
  std::unique_ptr<TStream> CreateBlobStream(TField& field, TBlobStreamMode mode) override;
  bool GetCurrentRecord(TRecordBuffer* dest) override;
  int CompareBookmarks(const TBookmark& a, const TBookmark& b) const override;
  bool BookmarkValid(const TBookmark& bookmark) override;

  // Instrumentation for tests: every hook the framework calls is reported
  // by name ("open", "close", "insert", "edit", "post", "cancel", "delete")
  // before it runs; a handler may throw to make the hook fail.
  std::function<void(const std::string& hook)> OnHook;
  // Record fetches and cursor moves to a buffer's record so far.
  int FetchCount() const { return fetchCount_; }
  int SetToRecordCount() const { return setToRecordCount_; }
  // Stored records not deleted.
  int StoredRecordCount() const;

 protected:
  TRecordBufferPtr AllocRecordBuffer() override;
  void InternalInitRecord(TRecordBuffer* buffer) override;
  TGetResult GetRecord(TRecordBuffer* buffer, TGetMode mode, bool doCheck) override;
  void InternalFirst() override { at_ = kBof; }
  void InternalLast() override { at_ = kEof; }
  void InternalSetToRecord(TRecordBuffer* buffer) override;
  void InternalGotoBookmark(const TBookmark& bookmark) override;
  void GetBookmarkData(const TRecordBuffer* buffer, TBookmark& data) const override;
  void SetBookmarkData(TRecordBuffer* buffer, const TBookmark& data) override;
  TBookmarkFlag GetBookmarkFlag(const TRecordBuffer* buffer) const override;
  void SetBookmarkFlag(TRecordBuffer* buffer, TBookmarkFlag flag) override;
  int GetRecordSize() const override { return imageSize_; }
  int GetRecNo() const override;
  int GetRecordCount() const override { return StoredRecordCount(); }
  bool IsSequenced() const override { return false; }
  void InternalOpen() override;
  void InternalClose() override;
  bool IsCursorOpen() const override { return open_; }
  void InternalInsert() override { Probe("insert"); }
  void InternalEdit() override;
  void InternalPost() override;
  void InternalDelete() override;
  void InternalCancel() override { Probe("cancel"); }
  void ClearCalcFields(TRecordBuffer* buffer) override;
  bool LocateSearchRecord(const std::vector<TField*>& fields, TLocateOptions options) override;

 private:
  class BlobStream;
  struct Buffer;
  struct Column {
    TFieldType type;
    int size;
    int offset;    // flag byte, then dataSize bytes
    int dataSize;  // native size; 0 for blobs
    int blob;      // index among the blob values, -1 for others
  };
  struct Row {
    std::vector<uint8_t> image;
    std::vector<std::string> blobs;
    bool deleted = false;
  };
  enum CursorAt { kBof, kRow, kEof };

  void Probe(const char* hook) {
    if (OnHook) {
      OnHook(hook);
    }
  }
  void BuildLayout();
  const Column* ColumnOf(const TField& field) const;
  TVariant ColumnValue(int column, const std::vector<uint8_t>& image,
                       const std::vector<std::string>& blobs) const;
  void StoreColumn(int column, std::vector<uint8_t>& image, const TVariant& value) const;
  void ApplyDefaults(Buffer& buffer);
  void FillBuffer(Buffer& buffer, int row);
  bool Visible(int row) const;
  void EnsureOrder() const;
  void MoveNext();
  void MovePrior();
  void BlobWritten(TField& field) { NotifyFieldWritten(field); }

  std::vector<Column> columns_;
  std::string layoutSignature_;
  int imageSize_ = 0;
  int blobCount_ = 0;
  std::vector<Row> rows_;
  bool open_ = false;
  bool readOnly_ = false;
  CursorAt at_ = kBof;
  int row_ = -1;
  std::string indexFieldNames_;
  int indexColumn_ = -1;
  mutable bool orderDirty_ = true;
  mutable std::vector<int> order_;     // rows in the current order
  mutable std::vector<int> position_;  // row -> its place in order_
  TRecordFilter recordFilter_;
  int fetchCount_ = 0;
  int setToRecordCount_ = 0;
};
