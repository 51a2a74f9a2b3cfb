// Helpers shared by the layer's source files.
#pragma once

#include <string>

#include "db/datasource.h"
#include "xds/xce_calls.h"
#include "xds/xdsdata.h"
#include "xds/xdserror.h"

namespace xds {

// A refusal for an operation this build of the layer does not carry yet.
[[noreturn]] inline void NotAvailableYet(const TXdsDataSet* dataSet, const std::string& what) {
  XdsDatabaseError(dataSet, what + " is not available yet");
}

// Letter case folded the way names compare (ASCII only: names of fields,
// tags, components and aliases).
std::string UpperCase(std::string text);
bool SameText(const std::string& a, const std::string& b);

// Leading and trailing blanks removed.
std::string Trim(const std::string& text);

}  // namespace xds

namespace xds {
// Engine results the layer passes over by name.
inline constexpr XDSRESULT kXceNoCurrentRecord = XDS_ERR_NO_CURRENT_RECORD;  // 5068
inline constexpr XDSRESULT kXceBadRecordNumber = XDS_ERR_BAD_RECORD_NUMBER;  // 5022
inline constexpr XDSRESULT kXceNoFilter = XDS_ERR_NO_FILTER;              // 5037
inline constexpr XDSRESULT kXceNoScope = XDS_ERR_NO_SCOPE;                // 5038
inline constexpr XDSRESULT kXceNoKeyPosition = XDS_ERR_NO_KEY_POSITION;  // 5041
}  // namespace xds

// A detail table's link to its master: a move of the master brings the
// detail's range to the master's key.
class TXdsMasterLink : public TDataLink {
 public:
  explicit TXdsMasterLink(TXdsDataSet& detail) : detail_(detail) {}

 protected:
  void ActiveChanged() override { detail_.MasterChanged(); }
  // A field changed while the master is edited: its key takes effect when
  // the master is posted.
  void RecordChanged(TField* field) override {
    if (field == nullptr) {
      detail_.MasterChanged();
    }
  }

 private:
  TXdsDataSet& detail_;
};
