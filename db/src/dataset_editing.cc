// The dataset's editing (insert, append, edit, post, cancel, delete) and Locate and Lookup.
#include "db/dataset.h"

#include <algorithm>
#include <cstring>

#include "db/datasource.h"
#include "db/format.h"
#include "dataset_internal.h"

// ---------------------------------------------------------------------------
// Editing

void TDataSet::CheckBrowseMode() {
  CheckActive();
  DataEvent(deCheckBrowseMode);
  switch (state_) {
    case dsEdit:
    case dsInsert:
      UpdateRecord();
      if (Modified()) {
        Post();
      } else {
        Cancel();
      }
      break;
    case dsSetKey:
      Post();
      break;
    default:
      break;
  }
}

void TDataSet::UpdateRecord() {
  if (state_ != dsEdit && state_ != dsInsert && state_ != dsSetKey) {
    Error(dbmsg::kNotEditing);
  }
  DataEvent(deUpdateRecord);
}

void TDataSet::CheckOperation(const std::function<void()>& op,
                              const TDataSetErrorEvent& errorEvent) {
  for (;;) {
    try {
      UpdateCursorPos();
      op();
      return;
    } catch (EDatabaseError& error) {
      TDataAction action = daFail;
      if (errorEvent) {
        errorEvent(*this, error, action);
      }
      if (action == daFail) {
        throw;
      }
      if (action == daAbort) {
        throw EAbort();
      }
    }
  }
}

void TDataSet::BeginInsertAppend() {
  CheckBrowseMode();
  CheckCanModify();
  Fire(BeforeInsert);
  DoBeforeScroll();
}

void TDataSet::EndInsertAppend() {
  SetState(dsInsert);
  try {
    DoOnNewRecord();
  } catch (...) {
    UpdateCursorPos();
    SetState(dsBrowse);
    Resync(0);
    throw;
  }
  modified_ = false;
  DataEvent(deDataSetChange);
  Fire(AfterInsert);
  DoAfterScroll();
}

void TDataSet::DoOnNewRecord() { Fire(OnNewRecord); }

// A new record that could not be set up (a default that does not convert, a
// failing insert hook): the window is refilled around the record that was
// current, in its row, and the dataset goes on browsing.
void TDataSet::AbandonNewRecord(const TBookmark& current, int row) {
  CursorPosChanged();
  if (current.empty()) {
    InternalFirst();
  } else {
    InternalGotoBookmark(current);
  }
  activeRecord_ = row;
  Resync(0);
}

void TDataSet::Insert() {
  BeginInsertAppend();
  TBookmark oldCurrent = GetBookmark();
  int row = activeRecord_;
  try {
    // The new buffer is placed before the current record, which moves down a
    // row (a full window drops its last record).
    std::rotate(buffers_.begin() + activeRecord_, buffers_.begin() + recordCount_,
                buffers_.begin() + recordCount_ + 1);
    CursorPosChanged();
    TRecordBuffer* buffer = ActiveBuffer();
    InitRecord(buffer);
    if (recordCount_ == 0) {
      SetBookmarkFlag(buffer, bfBOF);
    } else {
      SetBookmarkData(buffer, oldCurrent);
      SetBookmarkFlag(buffer, bfCurrent);
    }
    if (recordCount_ < bufferCount_) {
      ++recordCount_;
    }
    InternalInsert();
  } catch (...) {
    AbandonNewRecord(oldCurrent, row);
    throw;
  }
  EndInsertAppend();
}

void TDataSet::Append() {
  BeginInsertAppend();
  TBookmark oldCurrent = GetBookmark();
  int row = activeRecord_;
  try {
    ClearBuffers();
    TRecordBuffer* buffer = BufferAt(0);
    InitRecord(buffer);
    SetBookmarkFlag(buffer, bfEOF);
    recordCount_ = 1;
    activeRecord_ = 0;
    bof_ = false;
    GetPriorRecords();
    InternalInsert();
  } catch (...) {
    AbandonNewRecord(oldCurrent, row);
    throw;
  }
  EndInsertAppend();
}

void TDataSet::Edit() {
  if (state_ == dsEdit || state_ == dsInsert) {
    return;
  }
  if (recordCount_ == 0) {
    Insert();
    return;
  }
  CheckBrowseMode();
  CheckCanModify();
  Fire(BeforeEdit);
  CheckOperation([this] { InternalEdit(); }, OnEditError);
  GetCalcFields(ActiveBuffer());
  SetState(dsEdit);
  DataEvent(deRecordChange);
  Fire(AfterEdit);
}

void TDataSet::Post() {
  UpdateRecord();
  if (state_ != dsEdit && state_ != dsInsert) {
    return;
  }
  DataEvent(deCheckBrowseMode);
  Fire(BeforePost);
  CheckOperation([this] { InternalPost(); }, OnPostError);
  SetState(dsBrowse);
  Resync(0);
  Fire(AfterPost);
}

void TDataSet::Cancel() {
  if (state_ != dsEdit && state_ != dsInsert) {
    return;
  }
  DataEvent(deCheckBrowseMode);
  Fire(BeforeCancel);
  bool inserting = state_ == dsInsert;
  if (inserting) {
    DoBeforeScroll();
  }
  UpdateCursorPos();
  InternalCancel();
  SetState(dsBrowse);
  Resync(0);
  Fire(AfterCancel);
  if (inserting) {
    DoAfterScroll();
  }
}

void TDataSet::Delete() {
  CheckActive();
  if (state_ == dsInsert || state_ == dsSetKey) {
    Cancel();
    return;
  }
  if (recordCount_ == 0) {
    Error(dbmsg::kDataSetEmpty);
  }
  DataEvent(deCheckBrowseMode);
  Fire(BeforeDelete);
  DoBeforeScroll();
  CheckOperation([this] { InternalDelete(); }, OnDeleteError);
  SetState(dsBrowse);
  Resync(0);
  Fire(AfterDelete);
  DoAfterScroll();
}

void TDataSet::InsertRecord(const std::vector<TVariant>& values) {
  Insert();
  for (size_t i = 0; i < values.size() && i < static_cast<size_t>(fields_.Count()); ++i) {
    fields_[static_cast<int>(i)]->SetAsVariant(values[i]);
  }
  Post();
}

void TDataSet::AppendRecord(const std::vector<TVariant>& values) {
  Append();
  for (size_t i = 0; i < values.size() && i < static_cast<size_t>(fields_.Count()); ++i) {
    fields_[static_cast<int>(i)]->SetAsVariant(values[i]);
  }
  Post();
}

// ---------------------------------------------------------------------------
// Locate and Lookup

bool TDataSet::LocateSearchRecord(const std::vector<TField*>&, TLocateOptions) { return false; }

bool TDataSet::LocateRecord(const std::string& keyFields, const TVariant& keyValues,
                            TLocateOptions options) {
  CheckBrowseMode();
  if (!locateFields_ || locateFields_->empty() || keyFields != locateKeyFields_) {
    locateFields_ = std::make_shared<const std::vector<TField*>>(GetFieldList(keyFields));
    locateKeyFields_ = keyFields;
  }
  // Held here: a search run from a handler inside this one may name others.
  const std::shared_ptr<const std::vector<TField*>> held = locateFields_;
  const std::vector<TField*>& fields = *held;
  bool found = false;
  try {
    TTempStateGuard guard(state_, filterBuffer_, dsFilter, TempBuffer());
    InitRecord(TempBuffer());
    for (size_t i = 0; i < fields.size(); ++i) {
      if (keyValues.IsArray()) {
        const auto& items = keyValues.Items();
        fields[i]->SetAsVariant(i < items.size() ? items[i] : TVariant());
      } else {
        fields[i]->SetAsVariant(i == 0 ? keyValues : TVariant());
      }
    }
    found = LocateSearchRecord(fields, options);
  } catch (...) {
    CursorPosChanged();
    throw;
  }
  CursorPosChanged();
  return found;
}

bool TDataSet::Locate(const std::string& keyFields, const TVariant& keyValues,
                      TLocateOptions options) {
  CheckActive();
  DoBeforeScroll();
  bool found = LocateRecord(keyFields, keyValues, options);
  if (found) {
    Resync(rmExact | rmCenter);
    DoAfterScroll();
  }
  return found;
}

TVariant TDataSet::Lookup(const std::string& keyFields, const TVariant& keyValues,
                          const std::string& resultFields) {
  CheckActive();
  if (keyValues.IsNull()) {
    return {};
  }
  TVariant result;
  if (LocateRecord(keyFields, keyValues, 0)) {
    result = ReadLookupResult(resultFields);
  }
  CursorPosChanged();
  return result;
}

// Fetches the cursor's record into a buffer of its own and reads the result
// fields from it in the calculated-fields state.
TVariant TDataSet::ReadLookupResult(const std::string& resultFields) {
  TRecordBufferPtr buffer = AllocRecordBuffer();
  TVariant result;
  try {
    TTempStateGuard guard(state_, calcBuffer_, dsCalcFields, buffer.get());
    // OnFilterRecord had no say in the search; were it asked now, a record
    // it rejects would make the fetch pass on to a neighbour's values.
    readingLookupRecord_ = true;
    TGetResult fetched = GetRecord(buffer.get(), gmCurrent, false);
    readingLookupRecord_ = false;
    if (fetched == grOK) {
      result = FieldValues(resultFields);
    }
  } catch (...) {
    readingLookupRecord_ = false;
    FreeRecordBuffer(buffer);
    throw;
  }
  FreeRecordBuffer(buffer);
  return result;
}
