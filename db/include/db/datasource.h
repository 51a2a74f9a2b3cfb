// Data sources and data links: how data-aware controls follow a dataset.
//
// A control owns a TDataLink (or a TFieldDataLink for one field) and points
// it at a TDataSource, which points at a dataset. The dataset's
// notifications reach each link, in the order the links were attached, as
// calls of the link's virtual methods: ActiveChanged, EditingChanged,
// RecordChanged, DataSetChanged, DataSetScrolled, LayoutChanged,
// UpdateData (write pending input before Post), CheckBrowseMode and
// FocusControl. A link's BufferCount is the number of records its control
// shows; the dataset keeps at least as many record buffers.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "db/dataset.h"

class TDataSource {
 public:
  using TNotifyEvent = std::function<void(TDataSource&)>;
  using TDataChangeEvent = std::function<void(TDataSource&, TField* field)>;

  TDataSource() = default;
  ~TDataSource();
  TDataSource(const TDataSource&) = delete;
  TDataSource& operator=(const TDataSource&) = delete;

  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  TDataSet* DataSet() const { return dataSet_; }
  void SetDataSet(TDataSet* dataSet);
  bool Enabled() const { return enabled_; }
  void SetEnabled(bool value);
  // Whether a control's typing may put the dataset into edit state.
  bool AutoEdit() const { return autoEdit_; }
  void SetAutoEdit(bool value) { autoEdit_ = value; }
  // The dataset's state as the links see it (inactive while disabled).
  TDataSetState State() const { return state_; }
  // Puts the dataset into edit state when AutoEdit allows it.
  void Edit();

  TNotifyEvent OnStateChange;
  TDataChangeEvent OnDataChange;
  TNotifyEvent OnUpdateData;

 private:
  friend class TDataSet;
  friend class TDataLink;

  void DataEvent(TDataEvent event, TField* field, int scrolled);
  void SetState(TDataSetState value);
  void NotifyLinks(TDataEvent event, TField* field, int scrolled);
  void AddLink(TDataLink* link);
  void RemoveLink(TDataLink* link);
  void DataSetDestroyed();

  std::string name_;
  TDataSet* dataSet_ = nullptr;
  bool enabled_ = true;
  bool autoEdit_ = true;
  TDataSetState state_ = dsInactive;
  std::vector<TDataLink*> links_;
};

class TDataLink {
 public:
  TDataLink() = default;
  virtual ~TDataLink();
  TDataLink(const TDataLink&) = delete;
  TDataLink& operator=(const TDataLink&) = delete;

  TDataSource* DataSource() const { return dataSource_; }
  void SetDataSource(TDataSource* source);
  TDataSet* DataSet() const { return dataSource_ != nullptr ? dataSource_->DataSet() : nullptr; }
  // Active while the source is enabled and its dataset open.
  bool Active() const { return active_; }
  // Editing while the dataset is in edit, insert or set-key state.
  bool Editing() const { return editing_; }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value);
  int BufferCount() const { return bufferCount_; }
  void SetBufferCount(int value);
  // The row of the current record among the link's rows; setting it makes
  // another row's record the one fields read (a grid painting its rows)
  // without moving the cursor.
  int ActiveRecord() const;
  void SetActiveRecord(int value);
  // Records available to the link's rows (at most BufferCount).
  int RecordCount() const;
  bool Bof() const;
  bool Eof() const;
  int MoveBy(int distance);
  // Puts the dataset into edit state through the source; true when editing.
  bool Edit();
  // Runs UpdateData without the link's own RecordChanged echo.
  void UpdateRecord();

 protected:
  virtual void ActiveChanged() {}
  virtual void EditingChanged() {}
  // Every change of the source's state, after ActiveChanged and
  // EditingChanged have run for it.
  virtual void StateChanged() {}
  virtual void RecordChanged(TField* /*field*/) {}
  virtual void DataSetChanged() { RecordChanged(nullptr); }
  virtual void DataSetScrolled(int /*distance*/) { DataSetChanged(); }
  virtual void LayoutChanged() { DataSetChanged(); }
  virtual void UpdateData() {}
  virtual void CheckBrowseMode() {}
  virtual void FocusControl(TField* /*field*/) {}

 private:
  friend class TDataSource;
  friend class TDataSet;

  void DataEvent(TDataEvent event, TField* field, int scrolled);
  void UpdateState();
  void SetActive(bool value);
  void SetEditing(bool value);
  void AdjustFirstRecord(int scrolled);

  TDataSource* dataSource_ = nullptr;
  bool active_ = false;
  bool editing_ = false;
  bool readOnly_ = false;
  bool updating_ = false;
  int bufferCount_ = 1;
  int firstRecord_ = 0;
};

// A link for one field, the way an edit box or a memo uses it.
class TFieldDataLink : public TDataLink {
 public:
  using TNotifyEvent = std::function<void(TFieldDataLink&)>;

  const std::string& FieldName() const { return fieldName_; }
  void SetFieldName(const std::string& fieldName);
  // The field while the link is active and the dataset has it.
  TField* Field() const { return field_; }
  // Whether the control holds input not yet written to the field.
  bool Modified() const { return modified_; }
  void SetModified() { modified_ = true; }
  // Drops pending input: the control shows the field's value again.
  void Reset();

  TNotifyEvent OnDataChange;
  TNotifyEvent OnEditingChange;
  TNotifyEvent OnUpdateData;
  TNotifyEvent OnActiveChange;

 protected:
  void ActiveChanged() override;
  void EditingChanged() override;
  void RecordChanged(TField* field) override;
  void LayoutChanged() override;
  void UpdateData() override;

 private:
  void UpdateField();

  std::string fieldName_;
  TField* field_ = nullptr;
  bool modified_ = false;
};
