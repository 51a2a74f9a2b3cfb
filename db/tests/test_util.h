// Shared set-up for the framework's tests: an in-memory table of numbered
// records and a log that events, hooks and link notifications write into.
#pragma once

#include <string>
#include <vector>

#include "db/mem_dataset.h"

// A table with ID (float) and NAME (string of 10) holding ids 1..count and
// names "n1".."nN", opened, with the log empty.
inline void FillTable(TMemDataSet& ds, int count, const std::string& name = "T") {
  ds.SetName(name);
  ds.FieldDefs().Add("ID", ftFloat);
  ds.FieldDefs().Add("NAME", ftString, 10);
  ds.Open();
  for (int i = 1; i <= count; ++i) {
    ds.AppendRecord({TVariant(static_cast<double>(i)), TVariant("n" + std::to_string(i))});
  }
  ds.First();
}

inline int CurrentId(const TDataSet& ds) { return ds.FieldByName("ID")->AsInteger(); }

// Ids from the current record to the end, leaving the dataset at the end.
inline std::vector<int> IdsToEnd(TDataSet& ds) {
  std::vector<int> ids;
  while (!ds.Eof()) {
    ids.push_back(CurrentId(ds));
    ds.Next();
  }
  return ids;
}

// Records every dataset event and hook in order.
class EventLog {
 public:
  explicit EventLog(TMemDataSet& ds) {
    auto add = [this](TDataSet::TDataSetNotifyEvent& event, const std::string& name) {
      event = [this, name](TDataSet&) { entries.push_back(name); };
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
    ds.OnHook = [this](const std::string& hook) { entries.push_back("hook:" + hook); };
  }
  std::vector<std::string> Take() {
    std::vector<std::string> result;
    result.swap(entries);
    return result;
  }
  std::vector<std::string> entries;
};

using Log = std::vector<std::string>;
