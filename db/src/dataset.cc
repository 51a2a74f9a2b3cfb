#include "db/dataset.h"

#include <algorithm>
#include <cstring>

#include "db/datasource.h"
#include "db/format.h"
#include "dataset_internal.h"

TDataSet::TDataSet() : fields_(this) {}

TDataSet::~TDataSet() {
  for (TField* user : lookupUsers_) {
    user->lookupDataSet_ = nullptr;
  }
  lookupUsers_.clear();
  std::vector<TDataSource*> sources = dataSources_;
  for (TDataSource* source : sources) {
    source->DataSetDestroyed();
  }
  // Fields that look up in other datasets unregister as they are destroyed.
  fields_.Clear();
}

void TDataSet::CloseWithoutEvents() noexcept {
  if (state_ == dsInactive) {
    return;
  }
  try {
    SetState(dsInactive);
  } catch (...) {
    state_ = dsInactive;
  }
  try {
    CloseCursor();
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------
// State

void TDataSet::SetState(TDataSetState value) {
  if (state_ != value) {
    state_ = value;
    modified_ = false;
    DataEvent(deUpdateState);
  }
}

TDataSetState TDataSet::SetTempState(TDataSetState value) {
  TDataSetState saved = state_;
  state_ = value;
  return saved;
}

void TDataSet::RestoreState(TDataSetState saved) {
  // A dataset closed meanwhile stays closed.
  if (state_ != dsInactive) {
    state_ = saved;
  }
}

void TDataSet::CheckActive() const {
  if (state_ == dsInactive) {
    Error(dbmsg::kDataSetClosed);
  }
}

void TDataSet::CheckInactive() const {
  if (state_ != dsInactive) {
    Error(dbmsg::kDataSetOpen);
  }
}

void TDataSet::CheckCanModify() const {
  if (!CanModify()) {
    Error(dbmsg::kDataSetReadOnly);
  }
}

// ---------------------------------------------------------------------------
// Opening and closing

void TDataSet::SetActive(bool value) {
  if (value == Active()) {
    return;
  }
  if (value) {
    Fire(BeforeOpen);
    OpenCursor();
    SetState(dsBrowse);
    Fire(AfterOpen);
    if (!IsEmpty()) {
      DoAfterScroll();
    }
  } else {
    Fire(BeforeClose);
    SetState(dsInactive);
    CloseCursor();
    Fire(AfterClose);
  }
}

void TDataSet::OpenCursor() {
  defaultFields_ = fields_.Count() == 0;
  try {
    InternalOpen();
  } catch (...) {
    BindFields(false);
    if (defaultFields_) {
      DestroyFields();
    }
    throw;
  }
  try {
    UpdateBufferCount();
    AllocateBufferWindow();
    GetNextRecords();
    bof_ = true;
    eof_ = recordCount_ == 0;
  } catch (...) {
    CloseCursor();
    throw;
  }
}

void TDataSet::CloseCursor() {
  FreeBufferWindow();
  try {
    if (IsCursorOpen()) {
      InternalClose();
    }
  } catch (...) {
    BindFields(false);
    if (defaultFields_) {
      DestroyFields();
    }
    throw;
  }
  BindFields(false);
  if (defaultFields_) {
    DestroyFields();
  }
}

// ---------------------------------------------------------------------------
// Fields

void TDataSet::CreateAndBindFields() {
  if (defaultFields_) {
    CreateFields();
  }
  BindFields(true);
}

void TDataSet::CreateFields() {
  for (int i = 0; i < fieldDefs_.Count(); ++i) {
    const TFieldDef& def = fieldDefs_[i];
    std::unique_ptr<TField> field = CreateFieldOfType(def.DataType(), def.Size());
    if (!field) {
      continue;
    }
    field->fieldName_ = def.Name();
    field->SetRequired(def.Required());
    fields_.Add(std::move(field));
  }
}

void TDataSet::DestroyFields() { fields_.Clear(); }

namespace {
bool CompatibleTypes(TFieldType fieldType, TFieldType defType) {
  return fieldType == defType || (IsBlobType(fieldType) && IsBlobType(defType));
}
}  // namespace

void TDataSet::BindFields(bool binding) {
  calcFieldsSize_ = 0;
  lookupFields_.clear();
  locateKeyFields_.clear();
  locateFields_.reset();
  for (int i = 0; i < fields_.Count(); ++i) {
    TField* field = fields_[i];
    field->fieldNo_ = 0;
    field->offset_ = 0;
    if (!binding) {
      continue;
    }
    if (field->FieldKind() == fkData) {
      const TFieldDef* def = fieldDefs_.Find(field->FieldName());
      if (def == nullptr) {
        Error(Format(dbmsg::kFieldNotFound, field->FieldName().c_str()));
      }
      if (!CompatibleTypes(field->DataType(), def->DataType())) {
        Error(Format(dbmsg::kFieldTypeMismatch, field->DisplayName().c_str(),
                     FieldTypeName(field->DataType()), FieldTypeName(def->DataType())));
      }
      if ((field->DataType() == ftString || field->DataType() == ftBytes) &&
          field->Size() != def->Size()) {
        Error(Format(dbmsg::kFieldSizeMismatch, field->DisplayName().c_str(), field->Size(),
                     def->Size()));
      }
      field->fieldNo_ = def->FieldNo();
    } else {
      if (field->Lookup() &&
          (field->KeyFields().empty() || field->LookupDataSet() == nullptr ||
           field->LookupKeyFields().empty() || field->LookupResultField().empty())) {
        Error(Format(dbmsg::kLookupInfoError, field->DisplayName().c_str()));
      }
      field->fieldNo_ = -(i + 1);
      field->offset_ = calcFieldsSize_;
      calcFieldsSize_ += 1 + field->DataSize();
      if (field->Lookup()) {
        lookupFields_.push_back(field);
      }
    }
  }
}

TField* TDataSet::FieldByName(const std::string& fieldName) const {
  TField* field = fields_.FindField(fieldName);
  if (field == nullptr) {
    Error(Format(dbmsg::kFieldNotFound, fieldName.c_str()));
  }
  return field;
}

std::vector<TField*> TDataSet::GetFieldList(const std::string& fieldNames) const {
  std::vector<TField*> result;
  size_t start = 0;
  while (start <= fieldNames.size()) {
    size_t end = fieldNames.find(';', start);
    if (end == std::string::npos) {
      end = fieldNames.size();
    }
    std::string name = Trim(fieldNames.substr(start, end - start));
    if (!name.empty()) {
      result.push_back(FieldByName(name));
    }
    start = end + 1;
  }
  return result;
}

TVariant TDataSet::FieldValues(const std::string& fieldNames) const {
  std::vector<TField*> fields = GetFieldList(fieldNames);
  if (fields.size() == 1) {
    return fields[0]->AsVariant();
  }
  std::vector<TVariant> values;
  for (TField* field : fields) {
    values.push_back(field->AsVariant());
  }
  return TVariant(std::move(values));
}

void TDataSet::SetFieldValues(const std::string& fieldNames, const TVariant& values) {
  std::vector<TField*> fields = GetFieldList(fieldNames);
  for (size_t i = 0; i < fields.size(); ++i) {
    if (values.IsArray()) {
      fields[i]->SetAsVariant(i < values.Items().size() ? values.Items()[i] : TVariant());
    } else {
      fields[i]->SetAsVariant(i == 0 ? values : TVariant());
    }
  }
}

bool TDataSet::ReadCalcFieldData(const TField& field, const TRecordBuffer* buffer,
                                 const uint8_t* area, void* dest) const {
  if (buffer != nullptr && buffer->lookupsPending_ && field.Lookup()) {
    // Reading computes what the fetch left; the dataset and the buffer are
    // never const objects, only this reader's view of them is.
    const_cast<TDataSet*>(this)->CalcPendingLookups(const_cast<TRecordBuffer*>(buffer));
  }
  if (area == nullptr || field.Offset() + 1 + field.DataSize() > calcFieldsSize_) {
    return false;
  }
  const uint8_t* slot = area + field.Offset();
  if (slot[0] == 0) {
    return false;
  }
  if (dest != nullptr) {
    std::memcpy(dest, slot + 1, static_cast<size_t>(field.DataSize()));
  }
  return true;
}

void TDataSet::WriteCalcFieldData(const TField& field, uint8_t* area, const void* source) const {
  if (area == nullptr || field.Offset() + 1 + field.DataSize() > calcFieldsSize_) {
    return;
  }
  uint8_t* slot = area + field.Offset();
  slot[0] = source != nullptr ? 1 : 0;
  if (source != nullptr) {
    std::memcpy(slot + 1, source, static_cast<size_t>(field.DataSize()));
  } else {
    std::memset(slot + 1, 0, static_cast<size_t>(field.DataSize()));
  }
}

void TDataSet::NotifyFieldWritten(TField& field) {
  if (state_ != dsCalcFields && state_ != dsFilter && state_ != dsNewValue) {
    DataEvent(deFieldChange, &field);
  }
}

void TDataSet::CheckRequiredFields() {
  for (int i = 0; i < fields_.Count(); ++i) {
    TField* field = fields_[i];
    if (field->Required() && !field->ReadOnly() && field->FieldKind() == fkData &&
        field->AutoGenerateValue() != arAutoInc && field->IsNull()) {
      field->FocusControl();
      Error(Format(dbmsg::kFieldRequired, field->DisplayName().c_str()));
    }
  }
}

void TDataSet::ClearFields() {
  if (state_ != dsEdit && state_ != dsInsert) {
    Error(dbmsg::kNotEditing);
  }
  // The values go, the record's place stays: Post must still write the
  // record being edited, and Cancel must still return to where the new
  // record was started.
  TRecordBuffer* buffer = ActiveBuffer();
  TBookmark bookmark;
  GetBookmarkData(buffer, bookmark);
  TBookmarkFlag flag = GetBookmarkFlag(buffer);
  buffer->lookupsPending_ = false;
  InternalInitRecord(buffer);
  SetBookmarkData(buffer, bookmark);
  SetBookmarkFlag(buffer, flag);
  ClearCalcFields(buffer);
  DataEvent(deRecordChange);
}

// ---------------------------------------------------------------------------
// Calculated fields and the record filter

TRecordBuffer* TDataSet::StateBuffer() const {
  switch (state_) {
    case dsBrowse:
    case dsBlockRead:
      return recordCount_ == 0 ? nullptr : ActiveBuffer();
    case dsEdit:
    case dsInsert:
    case dsNewValue:
      return ActiveBuffer();
    case dsCalcFields:
      return calcBuffer_;
    case dsFilter:
      return filterBuffer_;
    default:
      return nullptr;
  }
}

void TDataSet::ClearCalcFields(TRecordBuffer*) {}

void TDataSet::InitRecord(TRecordBuffer* buffer) {
  buffer->lookupsPending_ = false;
  InternalInitRecord(buffer);
  ClearCalcFields(buffer);
}

void TDataSet::GetCalcFields(TRecordBuffer* buffer) {
  buffer->lookupsPending_ = false;
  if (calcFieldsSize_ == 0 && !OnCalcFields) {
    return;
  }
  if (!OnCalcFields && LookupsMayWait()) {
    // What CalculateFields would leave, less the lookups: without a handler
    // the calculated fields stay empty.
    ClearCalcFields(buffer);
    buffer->lookupsPending_ = !lookupFields_.empty();
    return;
  }
  TTempStateGuard guard(state_, calcBuffer_, dsCalcFields, buffer);
  CalculateFields(buffer);
}

// Whether looking up later gives what looking up now would, with nothing
// else to see: every lookup dataset browses (looking up in one that edits
// would post or cancel its edit) and has no OnCalcFields handler to run.
bool TDataSet::LookupsMayWait() const {
  for (const TField* field : lookupFields_) {
    const TDataSet* lookup = field->LookupDataSet();
    if (lookup == nullptr || lookup == this || lookup->state_ != dsBrowse || lookup->OnCalcFields) {
      return false;
    }
  }
  return true;
}

void TDataSet::CalcPendingLookups(TRecordBuffer* buffer) {
  // Computed once, also when a lookup fails: the failure is reported to this
  // reader, and the fields stay empty rather than fail at every reading.
  buffer->lookupsPending_ = false;
  TTempStateGuard guard(state_, calcBuffer_, dsCalcFields, buffer);
  for (TField* field : lookupFields_) {
    CalcLookupValue(*field);
  }
}

void TDataSet::CalculateFields(TRecordBuffer* buffer) {
  ClearCalcFields(buffer);
  for (int i = 0; i < fields_.Count(); ++i) {
    if (fields_[i]->Lookup()) {
      CalcLookupValue(*fields_[i]);
    }
  }
  Fire(OnCalcFields);
}

void TDataSet::CalcLookupValue(TField& field) {
  TDataSet* lookup = field.LookupDataSet();
  if (lookup == nullptr || !lookup->Active() || lookup == this) {
    return;
  }
  TVariant key = FieldValues(field.KeyFields());
  if (key.IsNull()) {
    return;
  }
  if (key.IsArray()) {
    for (const TVariant& item : key.Items()) {
      if (item.IsNull()) {
        return;
      }
    }
  }
  TVariant value = lookup->Lookup(field.LookupKeyFields(), key, field.LookupResultField());
  if (!value.IsNull()) {
    field.SetAsVariant(value);
  }
}

bool TDataSet::FilterRecordAccepted(TRecordBuffer* buffer) {
  const TFilterRecordEvent& handler = OnFilterRecord();
  if (!Filtered() || !handler || readingLookupRecord_) {
    return true;
  }
  bool accept = true;
  TTempStateGuard guard(state_, filterBuffer_, dsFilter, buffer);
  try {
    handler(*this, accept);
  } catch (...) {
    if (!HandleApplicationException(std::current_exception())) {
      throw;
    }
  }
  return accept;
}

// ---------------------------------------------------------------------------
// The buffer window

TRecordBuffer* TDataSet::ActiveBuffer() const {
  if (buffers_.empty()) {
    return nullptr;
  }
  return buffers_[static_cast<size_t>(activeRecord_)].get();
}

TRecordBuffer* TDataSet::TempBuffer() const {
  if (buffers_.empty()) {
    return nullptr;
  }
  return buffers_[static_cast<size_t>(bufferCount_)].get();
}

void TDataSet::AllocateBufferWindow() {
  FreeBufferWindow();
  // All or nothing: a failed allocation leaves no window behind.
  std::vector<TRecordBufferPtr> buffers;
  for (int i = 0; i <= bufferCount_; ++i) {
    buffers.push_back(AllocRecordBuffer());
  }
  buffers_ = std::move(buffers);
  ClearBuffers();
}

void TDataSet::FreeBufferWindow() {
  for (auto& buffer : buffers_) {
    FreeRecordBuffer(buffer);
  }
  buffers_.clear();
  ClearBuffers();
}

void TDataSet::ReallocateBufferWindow() {
  int row = activeRecord_;
  AllocateBufferWindow();
  activeRecord_ = std::min(row, bufferCount_ - 1);
}

void TDataSet::ClearBuffers() {
  recordCount_ = 0;
  activeRecord_ = 0;
  currentRecord_ = -1;
  bof_ = true;
  eof_ = true;
}

void TDataSet::ActivateBuffers() {
  recordCount_ = 1;
  activeRecord_ = 0;
  currentRecord_ = 0;
  bof_ = false;
  eof_ = false;
}

// A handler run by a fetch (a filter or calculation handler) may close the
// dataset; the window it was filling is gone then.
void TDataSet::CheckWindowSurvived() const {
  if (buffers_.empty()) {
    Error(dbmsg::kDataSetClosed);
  }
}

void TDataSet::SetCurrentRecord(int index) {
  if (currentRecord_ == index) {
    return;
  }
  TRecordBuffer* buffer = BufferAt(index);
  switch (GetBookmarkFlag(buffer)) {
    case bfCurrent:
    case bfInserted:
      InternalSetToRecord(buffer);
      break;
    case bfBOF:
      InternalFirst();
      break;
    case bfEOF:
      InternalLast();
      break;
  }
  currentRecord_ = index;
}

void TDataSet::UpdateCursorPos() {
  if (recordCount_ > 0) {
    SetCurrentRecord(activeRecord_);
  }
}

// Fetches the record after the window's last one (gmNext) or before its
// first one (gmPrior) into the free buffer at WindowRecordCount().
bool TDataSet::FetchBeyondWindow(TGetMode mode) {
  if (recordCount_ > 0) {
    SetCurrentRecord(mode == gmNext ? recordCount_ - 1 : 0);
  }
  TGetResult result = grError;
  try {
    result = GetRecord(BufferAt(recordCount_), mode, true);
  } catch (...) {
    CursorPosChanged();
    throw;
  }
  CheckWindowSurvived();
  if (result != grOK) {
    CursorPosChanged();
    return false;
  }
  return true;
}

// Adds the next record at the end; a full window drops its first record.
bool TDataSet::GetNextRecord() {
  if (!FetchBeyondWindow(gmNext)) {
    return false;
  }
  if (recordCount_ == 0) {
    ActivateBuffers();
  } else if (recordCount_ < bufferCount_) {
    ++recordCount_;
  } else {
    std::rotate(buffers_.begin(), buffers_.begin() + 1, buffers_.end());
  }
  currentRecord_ = recordCount_ - 1;
  return true;
}

// Inserts the prior record at the front; a full window drops its last record.
bool TDataSet::GetPriorRecord() {
  if (!FetchBeyondWindow(gmPrior)) {
    return false;
  }
  if (recordCount_ == 0) {
    ActivateBuffers();
  } else {
    std::rotate(buffers_.begin(), buffers_.begin() + recordCount_,
                buffers_.begin() + recordCount_ + 1);
    if (recordCount_ < bufferCount_) {
      ++recordCount_;
    }
  }
  currentRecord_ = 0;
  return true;
}

int TDataSet::GetNextRecords() {
  int count = 0;
  while (recordCount_ < bufferCount_ && GetNextRecord()) {
    ++count;
  }
  return count;
}

// Fills the window backwards; the active record moves down with its record.
int TDataSet::GetPriorRecords() {
  int count = 0;
  while (recordCount_ < bufferCount_) {
    bool wasEmpty = recordCount_ == 0;
    if (!GetPriorRecord()) {
      break;
    }
    if (!wasEmpty) {
      ++activeRecord_;
    }
    ++count;
  }
  return count;
}

void TDataSet::SetActiveRecord(int index) {
  if (index >= 0 && index < recordCount_) {
    activeRecord_ = index;
  }
}

void TDataSet::UpdateBufferCount() {
  int count = 1;
  for (TDataSource* source : dataSources_) {
    for (TDataLink* link : source->links_) {
      count = std::max(count, link->BufferCount());
    }
  }
  SetBufferCount(count);
}

void TDataSet::SetBufferCount(int value) {
  if (value == bufferCount_) {
    return;
  }
  if (buffers_.empty()) {
    bufferCount_ = value;
    return;
  }
  if (value > bufferCount_) {
    for (int i = bufferCount_; i < value; ++i) {
      buffers_.push_back(AllocRecordBuffer());
    }
    bufferCount_ = value;
    if (recordCount_ > 0) {
      GetNextRecords();
      GetPriorRecords();
    }
  } else {
    // Drop records from the front until the active one fits, then from the end.
    int drop = activeRecord_ - (value - 1);
    if (drop > 0) {
      std::rotate(buffers_.begin(), buffers_.begin() + drop, buffers_.end());
      recordCount_ -= drop;
      activeRecord_ -= drop;
    }
    recordCount_ = std::min(recordCount_, value);
    for (size_t i = static_cast<size_t>(value) + 1; i < buffers_.size(); ++i) {
      FreeRecordBuffer(buffers_[i]);
    }
    buffers_.resize(static_cast<size_t>(value) + 1);
    bufferCount_ = value;
    CursorPosChanged();
  }
}

// ---------------------------------------------------------------------------
// Notifications

void TDataSet::DisableControls() {
  if (disableCount_ == 0) {
    disableState_ = state_;
    enableEvent_ = deDataSetChange;
  }
  ++disableCount_;
}

void TDataSet::EnableControls() {
  if (disableCount_ == 0) {
    return;
  }
  if (--disableCount_ == 0) {
    if (disableState_ != state_) {
      DataEvent(deUpdateState);
    }
    if (disableState_ != dsInactive && state_ != dsInactive) {
      DataEvent(enableEvent_);
    }
  }
}

void TDataSet::DataEvent(TDataEvent event, TField* field, int scrolled) {
  bool recalculated = false;
  if (event == deFieldChange && field != nullptr) {
    if (field->FieldKind() == fkData || field->FieldKind() == fkInternalCalc) {
      modified_ = true;
      // Lookup and calculated values follow their key fields while editing.
      if ((state_ == dsEdit || state_ == dsInsert) && calcFieldsSize_ > 0 && autoCalcFields_) {
        GetCalcFields(ActiveBuffer());
        recalculated = true;
      }
    }
    field->Change();
  }
  if (disableCount_ > 0) {
    if (event == deLayoutChange || (event == deUpdateState && state_ == dsInactive)) {
      enableEvent_ = deLayoutChange;
    }
    return;
  }
  std::vector<TDataSource*> sources = dataSources_;
  for (TDataSource* source : sources) {
    if (std::find(dataSources_.begin(), dataSources_.end(), source) != dataSources_.end()) {
      source->DataEvent(event, field, scrolled);
    }
  }
  if (recalculated) {
    // Controls showing calculated or lookup fields learn of their new values.
    for (int i = 0; i < fields_.Count(); ++i) {
      if (fields_[i]->Calculated()) {
        DataEvent(deFieldChange, fields_[i]);
      }
    }
  }
}

void TDataSet::AddDataSource(TDataSource* source) {
  dataSources_.push_back(source);
  UpdateBufferCount();
}

void TDataSet::RemoveDataSource(TDataSource* source) {
  dataSources_.erase(std::remove(dataSources_.begin(), dataSources_.end(), source),
                     dataSources_.end());
  UpdateBufferCount();
}

void TDataSet::AddLookupUser(TField* field) { lookupUsers_.push_back(field); }

void TDataSet::RemoveLookupUser(TField* field) {
  lookupUsers_.erase(std::remove(lookupUsers_.begin(), lookupUsers_.end(), field),
                     lookupUsers_.end());
}
