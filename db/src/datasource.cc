#include "db/datasource.h"

#include <algorithm>

namespace {

// Calls fn for each item of a snapshot that is still in the live list, so
// an item detached by an earlier call is never touched.
template <class T, class Fn>
void ForEachStillAttached(const std::vector<T*>& live, Fn fn) {
  std::vector<T*> snapshot = live;
  for (T* item : snapshot) {
    if (std::find(live.begin(), live.end(), item) != live.end()) {
      fn(item);
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// TDataSource

TDataSource::~TDataSource() {
  if (dataSet_ != nullptr) {
    dataSet_->RemoveDataSource(this);
    dataSet_ = nullptr;
  }
  state_ = dsInactive;
  while (!links_.empty()) {
    TDataLink* link = links_.back();
    links_.pop_back();
    link->dataSource_ = nullptr;
    link->UpdateState();
  }
}

void TDataSource::SetDataSet(TDataSet* dataSet) {
  if (dataSet == dataSet_) {
    return;
  }
  if (dataSet_ != nullptr) {
    dataSet_->RemoveDataSource(this);
  }
  // Links see the old dataset go before the new one comes.
  SetState(dsInactive);
  dataSet_ = dataSet;
  if (dataSet_ != nullptr) {
    dataSet_->AddDataSource(this);
    SetState(enabled_ ? dataSet_->State() : dsInactive);
  }
}

void TDataSource::SetEnabled(bool value) {
  enabled_ = value;
  SetState(enabled_ && dataSet_ != nullptr ? dataSet_->State() : dsInactive);
}

void TDataSource::Edit() {
  if (autoEdit_ && state_ == dsBrowse && dataSet_ != nullptr) {
    dataSet_->Edit();
  }
}

void TDataSource::SetState(TDataSetState value) {
  if (state_ == value) {
    return;
  }
  state_ = value;
  NotifyLinks(deUpdateState, nullptr, 0);
  if (OnStateChange) {
    OnStateChange(*this);
  }
}

void TDataSource::DataEvent(TDataEvent event, TField* field, int scrolled) {
  if (event == deUpdateState) {
    SetState(enabled_ && dataSet_ != nullptr ? dataSet_->State() : dsInactive);
    return;
  }
  if (state_ == dsInactive) {
    return;
  }
  NotifyLinks(event, field, scrolled);
  switch (event) {
    case deFieldChange:
    case deRecordChange:
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange:
      if (OnDataChange) {
        OnDataChange(*this, field);
      }
      break;
    case deUpdateRecord:
      if (OnUpdateData) {
        OnUpdateData(*this);
      }
      break;
    default:
      break;
  }
}

void TDataSource::NotifyLinks(TDataEvent event, TField* field, int scrolled) {
  ForEachStillAttached(links_, [&](TDataLink* link) { link->DataEvent(event, field, scrolled); });
}

void TDataSource::AddLink(TDataLink* link) {
  links_.push_back(link);
  if (dataSet_ != nullptr) {
    dataSet_->UpdateBufferCount();
  }
}

void TDataSource::RemoveLink(TDataLink* link) {
  links_.erase(std::remove(links_.begin(), links_.end(), link), links_.end());
  if (dataSet_ != nullptr) {
    dataSet_->UpdateBufferCount();
  }
}

void TDataSource::DataSetDestroyed() {
  dataSet_ = nullptr;
  SetState(dsInactive);
}

// ---------------------------------------------------------------------------
// TDataLink

TDataLink::~TDataLink() {
  if (dataSource_ != nullptr) {
    dataSource_->RemoveLink(this);
    dataSource_ = nullptr;
  }
}

void TDataLink::SetDataSource(TDataSource* source) {
  if (source == dataSource_) {
    return;
  }
  if (dataSource_ != nullptr) {
    TDataSource* old = dataSource_;
    dataSource_ = nullptr;
    old->RemoveLink(this);
  }
  dataSource_ = source;
  if (dataSource_ != nullptr) {
    dataSource_->AddLink(this);
  }
  UpdateState();
}

void TDataLink::SetReadOnly(bool value) {
  if (readOnly_ != value) {
    readOnly_ = value;
    UpdateState();
  }
}

void TDataLink::UpdateState() {
  TDataSetState state = dataSource_ != nullptr ? dataSource_->State() : dsInactive;
  SetActive(state != dsInactive);
  SetEditing(!readOnly_ && (state == dsEdit || state == dsInsert || state == dsSetKey));
}

void TDataLink::SetActive(bool value) {
  if (active_ == value) {
    return;
  }
  active_ = value;
  firstRecord_ = 0;
  if (active_) {
    AdjustFirstRecord(0);
  }
  ActiveChanged();
}

void TDataLink::SetEditing(bool value) {
  if (editing_ != value) {
    editing_ = value;
    EditingChanged();
  }
}

// Keeps the link's rows a run of the dataset's window that holds the active
// record, shifted with the window when it scrolled.
void TDataLink::AdjustFirstRecord(int scrolled) {
  TDataSet* dataSet = DataSet();
  if (dataSet == nullptr) {
    firstRecord_ = 0;
    return;
  }
  firstRecord_ += scrolled;
  int active = dataSet->activeRecord_;
  int low = std::max(0, active - bufferCount_ + 1);
  int high = std::max(low, std::min(active, std::max(0, dataSet->recordCount_ - bufferCount_)));
  firstRecord_ = std::clamp(firstRecord_, low, high);
}

void TDataLink::DataEvent(TDataEvent event, TField* field, int scrolled) {
  switch (event) {
    case deUpdateState:
      UpdateState();
      StateChanged();
      break;
    case deFieldChange:
    case deRecordChange:
      if (!updating_) {
        RecordChanged(field);
      }
      break;
    case deDataSetChange:
    case deDataSetScroll:
    case deLayoutChange: {
      int old = firstRecord_;
      if (dataSource_->State() != dsSetKey) {
        AdjustFirstRecord(event == deDataSetScroll ? scrolled : 0);
      }
      if (event == deDataSetScroll) {
        // How far the link's rows moved: a record's row changes by the
        // window's shift less the change of the link's first row.
        DataSetScrolled(scrolled + old - firstRecord_);
      } else if (event == deDataSetChange) {
        DataSetChanged();
      } else {
        LayoutChanged();
      }
      break;
    }
    case deUpdateRecord:
      UpdateRecord();
      break;
    case deCheckBrowseMode:
      CheckBrowseMode();
      break;
    case deFocusControl:
      FocusControl(field);
      break;
    default:
      break;
  }
}

void TDataLink::SetBufferCount(int value) {
  value = std::max(value, 1);
  if (bufferCount_ == value) {
    return;
  }
  bufferCount_ = value;
  if (TDataSet* dataSet = DataSet()) {
    dataSet->UpdateBufferCount();
    if (active_) {
      AdjustFirstRecord(0);
    }
  }
}

int TDataLink::ActiveRecord() const {
  TDataSet* dataSet = DataSet();
  return active_ && dataSet != nullptr ? dataSet->activeRecord_ - firstRecord_ : 0;
}

void TDataLink::SetActiveRecord(int value) {
  if (TDataSet* dataSet = DataSet(); active_ && dataSet != nullptr) {
    dataSet->SetActiveRecord(value + firstRecord_);
  }
}

int TDataLink::RecordCount() const {
  TDataSet* dataSet = DataSet();
  if (!active_ || dataSet == nullptr) {
    return 0;
  }
  return std::clamp(dataSet->recordCount_ - firstRecord_, 0, bufferCount_);
}

bool TDataLink::Bof() const { return DataSet() != nullptr && DataSet()->Bof(); }
bool TDataLink::Eof() const { return DataSet() != nullptr && DataSet()->Eof(); }

int TDataLink::MoveBy(int distance) {
  return DataSet() != nullptr ? DataSet()->MoveBy(distance) : 0;
}

bool TDataLink::Edit() {
  if (!readOnly_ && dataSource_ != nullptr) {
    dataSource_->Edit();
  }
  return editing_;
}

void TDataLink::UpdateRecord() {
  updating_ = true;
  try {
    UpdateData();
  } catch (...) {
    updating_ = false;
    throw;
  }
  updating_ = false;
}

// ---------------------------------------------------------------------------
// TFieldDataLink

void TFieldDataLink::SetFieldName(const std::string& fieldName) {
  if (fieldName_ != fieldName) {
    fieldName_ = fieldName;
    UpdateField();
  }
}

void TFieldDataLink::UpdateField() {
  TField* field = nullptr;
  if (Active() && !fieldName_.empty() && DataSet() != nullptr) {
    field = DataSet()->FindField(fieldName_);
  }
  if (field != field_) {
    field_ = field;
    EditingChanged();
    RecordChanged(nullptr);
  }
}

void TFieldDataLink::Reset() { RecordChanged(nullptr); }

void TFieldDataLink::ActiveChanged() {
  UpdateField();
  if (OnActiveChange) {
    OnActiveChange(*this);
  }
}

void TFieldDataLink::EditingChanged() {
  if (OnEditingChange) {
    OnEditingChange(*this);
  }
}

void TFieldDataLink::RecordChanged(TField* field) {
  if (field == nullptr || field == field_) {
    modified_ = false;
    if (OnDataChange) {
      OnDataChange(*this);
    }
  }
}

void TFieldDataLink::LayoutChanged() { UpdateField(); }

void TFieldDataLink::UpdateData() {
  if (modified_) {
    if (field_ != nullptr && OnUpdateData) {
      OnUpdateData(*this);
    }
    modified_ = false;
  }
}
