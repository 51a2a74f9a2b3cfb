// The grid's link to its data source, shared by the grid's source files.
#pragma once

#include "db/datasource.h"
#include "dbgrid.h"

// The grid's link to its data source: the dataset's notifications become
// the grid's.
class TGridDataLink : public TDataLink {
 public:
  explicit TGridDataLink(TDBGrid* grid) : grid_(grid) {}

 protected:
  void ActiveChanged() override { grid_->LinkActiveChanged(); }
  void EditingChanged() override { grid_->LinkEditingChanged(); }
  void RecordChanged(TField* field) override { grid_->LinkRecordChanged(field); }
  // A change may have added or removed records; a scroll has not.
  void DataSetChanged() override { grid_->LinkDataChanged(true); }
  void DataSetScrolled(int) override { grid_->LinkDataChanged(false); }
  void LayoutChanged() override { grid_->LinkActiveChanged(); }
  void UpdateData() override { grid_->LinkUpdateData(); }
  void FocusControl(TField* field) override { grid_->LinkFocusControl(field); }

 private:
  TDBGrid* grid_;
};
