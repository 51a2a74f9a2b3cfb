// Filters, index order, scopes and ranges.
//
// Placeholder: what the rest of the layer needs to open and walk a table
// works (no filter text, index chosen by name or default, filter flag and
// OnFilterRecord kept); the rest refuses clearly until it is built.

#include "xds_internal.h"

using xds::NotAvailableYet;

void TXdsDataSet::SetFiltered(bool value) {
  TDataSet::SetFiltered(value);
  if (IsCursorOpen()) {
    if (value) {
      ActivateFilter();
    } else {
      DeactivateFilter();
    }
  }
  if (Active()) {
    First();
  }
}

void TXdsDataSet::SetFilter(const std::string& value) {
  TDataSet::SetFilter(value);
  if (Active() && Filtered()) {
    SetFiltered(true);
  }
}

void TXdsDataSet::SetOnFilterRecord(TFilterRecordEvent handler) {
  TDataSet::SetOnFilterRecord(std::move(handler));
}

void TXdsDataSet::SetIndexName(const std::string& name) {
  if (IsCursorOpen()) {
    NotAvailableYet(this, "Changing the index of an open table");
  }
  indexName_ = name;
  indexFieldNames_.clear();
  indexKind_ = name.empty() ? ikNone : ikIndexName;
  if (xds::UpperCase(name) == "XDS_DEFAULT") {
    indexKind_ = ikDefault;
  }
}

void TXdsDataSet::SetIndexFieldNames(const std::string& names) {
  if (IsCursorOpen()) {
    NotAvailableYet(this, "Changing the index of an open table");
  }
  indexFieldNames_ = xds::Trim(names);
  indexName_.clear();
  indexKind_ = indexFieldNames_.empty() ? ikNone : ikIndexFieldNames;
}

void TXdsDataSet::SetScoped(bool) { NotAvailableYet(this, "Scoped"); }
void TXdsDataSet::SetScopeBegin(const std::string&) { NotAvailableYet(this, "ScopeBegin"); }
void TXdsDataSet::SetScopeEnd(const std::string&) { NotAvailableYet(this, "ScopeEnd"); }
void TXdsDataSet::EditRangeStart() { NotAvailableYet(this, "EditRangeStart"); }
void TXdsDataSet::EditRangeEnd() { NotAvailableYet(this, "EditRangeEnd"); }
void TXdsDataSet::ApplyRange() { NotAvailableYet(this, "ApplyRange"); }
void TXdsDataSet::CancelRange() { NotAvailableYet(this, "CancelRange"); }
bool TXdsDataSet::IsIndexField(const TField&) const { NotAvailableYet(this, "IsIndexField"); }

void TXdsDataSet::ActivateFilter() {
  if (Filter().empty()) {
    DeactivateFilter();
    return;
  }
  NotAvailableYet(this, "A filter expression");
}

void TXdsDataSet::DeactivateFilter() {
  XDSRESULT r = options_.XdsOptimizedFilters() ? Xce().XdsClearAOF(tableHandle_)
                                               : Xce().XdsClearFilter(tableHandle_);
  if (r != xds::kXceNoFilter) {
    CheckXceResult(this, r);
  }
}

std::string TXdsDataSet::PrepareFilterText(const std::string&, bool&) {
  NotAvailableYet(this, "A filter expression");
}

void TXdsDataSet::ApplyIndexOrder() {
  switch (indexKind_) {
    case ikNone:
      orderHandle_ = tableHandle_;
      break;
    case ikIndexName:
      CheckXceResult(this, Xce().XdsGetIndexHandle(tableHandle_, indexName_.c_str(), &orderHandle_));
      break;
    case ikDefault:
      CheckXceResult(this,
                     Xce().XdsGetIndexHandle(tableHandle_, defaultIndexName_.c_str(), &orderHandle_));
      break;
    case ikIndexFieldNames:
      NotAvailableYet(this, "IndexFieldNames");
  }
}

void TXdsDataSet::ActivateScope() { NotAvailableYet(this, "Scoped"); }
void TXdsDataSet::DeactivateScope() { NotAvailableYet(this, "Scoped"); }

void TXdsDataSet::OptimizedFiltersChanging(bool) {
  NotAvailableYet(this, "Changing XdsOptimizedFilters of a filtered open table");
}

bool TXdsDataSet::ScopeSet() const {
  if (indexKind_ == ikNone) {
    return false;
  }
  for (uint16_t which : {uint16_t{1}, uint16_t{2}}) {
    char key[256];
    uint16_t length = sizeof key;
    if (Xce().XdsGetScope(orderHandle_, which, key, &length) == 0) {
      return true;
    }
  }
  return false;
}

void TXdsDataSet::EditRangeBuffer(TXdsKeyIndex) { NotAvailableYet(this, "Ranges"); }
bool TXdsDataSet::ApplyRangeBuffers() { NotAvailableYet(this, "Ranges"); }
bool TXdsDataSet::CancelRangeBuffers() { return false; }

void TXdsDataSet::ResetKeyBuffer(TXdsKeyBuffer& key) {
  key.modified = false;
  key.exclusive = false;
  key.fieldCount = 0;
  key.image.assign(static_cast<size_t>(recordSize_) + 1, 0);
  key.lengths.assign(static_cast<size_t>(xceFields_.Count()) + 1, 0xFFFF);
}
