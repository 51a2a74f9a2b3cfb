// Shared set-up for the framework's tests: an in-memory table of numbered
// records and a log that events, hooks and link notifications write into.
#pragma once

#include <string>
#include <vector>

#include "conformance_util.h"
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

using conformance::IdsToEnd;
using conformance::Log;
inline int CurrentId(const TDataSet& ds) { return conformance::Id(ds); }

// Records every dataset event and hook in order.
class EventLog {
 public:
  explicit EventLog(TMemDataSet& ds) {
    conformance::RecordEvents(ds, entries);
    ds.OnHook = [this](const std::string& hook) { entries.push_back("hook:" + hook); };
  }
  std::vector<std::string> Take() {
    std::vector<std::string> result;
    result.swap(entries);
    return result;
  }
  std::vector<std::string> entries;
};
