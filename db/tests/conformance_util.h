// Helpers shared by the framework's tests and the dataset conformance suite.
#pragma once

#include <string>
#include <vector>

#include "db/datasource.h"

namespace conformance {

using Log = std::vector<std::string>;

inline int Id(const TDataSet& ds) { return ds.FieldByName("ID")->AsInteger(); }

// Ids from the current record to the end, leaving the dataset at the end.
inline std::vector<int> IdsToEnd(TDataSet& ds) {
  std::vector<int> ids;
  while (!ds.Eof()) {
    ids.push_back(Id(ds));
    ds.Next();
  }
  return ids;
}

// Records every dataset event in order.
inline void RecordEvents(TDataSet& ds, Log& log) {
  auto add = [&log](TDataSet::TDataSetNotifyEvent& event, const std::string& name) {
    event = [&log, name](TDataSet&) { log.push_back(name); };
  };
  add(ds.BeforeOpen, "BeforeOpen");
  add(ds.AfterOpen, "AfterOpen");
  add(ds.BeforeClose, "BeforeClose");
  add(ds.AfterClose, "AfterClose");
  add(ds.BeforeInsert, "BeforeInsert");
  add(ds.AfterInsert, "AfterInsert");
  add(ds.BeforeEdit, "BeforeEdit");
  add(ds.AfterEdit, "AfterEdit");
  add(ds.BeforePost, "BeforePost");
  add(ds.AfterPost, "AfterPost");
  add(ds.BeforeCancel, "BeforeCancel");
  add(ds.AfterCancel, "AfterCancel");
  add(ds.BeforeDelete, "BeforeDelete");
  add(ds.AfterDelete, "AfterDelete");
  add(ds.BeforeScroll, "BeforeScroll");
  add(ds.AfterScroll, "AfterScroll");
  add(ds.OnNewRecord, "OnNewRecord");
}

// A control's link that writes every notification into a log.
class RecordingLink : public TDataLink {
 public:
  explicit RecordingLink(Log& log) : log_(log) {}

 protected:
  void ActiveChanged() override { log_.push_back(Active() ? "active" : "inactive"); }
  void EditingChanged() override { log_.push_back(Editing() ? "editing" : "browsing"); }
  void RecordChanged(TField* field) override {
    log_.push_back(field != nullptr ? "record:" + field->FieldName() : "record");
  }
  void DataSetChanged() override { log_.push_back("dataset"); }
  void DataSetScrolled(int distance) override {
    log_.push_back("scrolled:" + std::to_string(distance));
  }
  void LayoutChanged() override { log_.push_back("layout"); }
  void UpdateData() override { log_.push_back("update"); }
  void CheckBrowseMode() override { log_.push_back("check"); }

 private:
  Log& log_;
};

// A grid over a dataset: its data source and a link showing rows records.
struct Grid {
  Grid(TDataSet& ds, int rows) {
    source.SetDataSet(&ds);
    link.SetDataSource(&source);
    link.SetBufferCount(rows);
  }
  TDataSource source;
  TDataLink link;
};

// Ids of the rows a link shows, read the way a grid paints them.
inline std::vector<int> GridRows(TDataLink& grid, TDataSet& ds) {
  std::vector<int> ids;
  int active = grid.ActiveRecord();
  for (int row = 0; row < grid.RecordCount(); ++row) {
    grid.SetActiveRecord(row);
    ids.push_back(Id(ds));
  }
  grid.SetActiveRecord(active);
  return ids;
}

}  // namespace conformance
