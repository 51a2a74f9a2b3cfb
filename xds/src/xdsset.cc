#include "xds/xdsset.h"

#include <algorithm>

#include "xds/xdsdata.h"
#include "xds_internal.h"

int EngineTableType(TXdsTableTypes type) {
  switch (type) {
    case ttXdsCDX:
      return XDS_TABLE_CDX;
    case ttXdsNTX:
      return XDS_TABLE_NTX;
    default:
      return XDS_TABLE_XDT;
  }
}

namespace {
void CheckTableClosed(const TXdsDataSet& owner) {
  if (owner.Active()) {
    XdsDatabaseError(&owner, xdsmsg::kTableMustNotBeActive);
  }
}
}  // namespace

void TXdsTableOptions::SetXdsLockType(TXdsLockTypes value) {
  CheckTableClosed(owner_);
  lockType_ = value;
}

void TXdsTableOptions::SetXdsCharType(TXdsCharTypes value) {
  CheckTableClosed(owner_);
  charType_ = value;
}

void TXdsTableOptions::SetXdsRightsCheck(bool value) {
  CheckTableClosed(owner_);
  rightsCheck_ = value;
}

void TXdsTableOptions::SetXdsOptimizedFilters(bool value) {
  if (owner_.IsCursorOpen() && owner_.Filtered() && !owner_.Loading()) {
    owner_.OptimizedFiltersChanging(value);
    return;
  }
  optimizedFilters_ = value;
}

void TXdsTableOptions::SetXdsRecordCache(TXdsRecordCacheTypes value) {
  if (owner_.IsCursorOpen()) {
    owner_.RecordCacheChanged(value);
  }
  recordCache_ = value;
}

TXdsIndexFiles::TXdsIndexFiles(TXdsDataSet* owner) : owner_(owner) {
  if (owner == nullptr) {
    throw EDatabaseError(xdsmsg::kIndexFilesOwner);
  }
}

int TXdsIndexFiles::IndexOf(const std::string& name) const {
  for (size_t i = 0; i < names_.size(); ++i) {
    if (xds::SameText(names_[i], name)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

int TXdsIndexFiles::Add(const std::string& name) {
  int present = IndexOf(name);
  if (present >= 0) {
    return present;
  }
  if (owner_->IsCursorOpen()) {
    std::string path = owner_->TableDirectory() + "\\" + name;
    CheckXceResult(owner_, Xce().XdsOpenIndex(owner_->TableHandle(), path.c_str()));
  }
  std::string upper = xds::UpperCase(name);
  auto at = std::find_if(names_.begin(), names_.end(),
                         [&](const std::string& n) { return xds::UpperCase(n) > upper; });
  at = names_.insert(at, name);
  owner_->IndexDefsOutOfDate();
  return static_cast<int>(at - names_.begin());
}

namespace {
// The engine opens further index files but cannot close one while its table
// stays open; refusing is better than a list that no longer says what is open.
void CheckCanCloseIndexFiles(TXdsDataSet* owner) {
  if (owner->TableHandle() != kNoXdsHandle) {
    RaiseXceError(owner, XDS_ERR_NOT_SUPPORTED,
                  "An index file cannot be closed while its table is open");
  }
}
}  // namespace

void TXdsIndexFiles::Delete(int index) {
  if (index < 0 || index >= Count()) {
    return;
  }
  CheckCanCloseIndexFiles(owner_);
  names_.erase(names_.begin() + index);
  owner_->IndexDefsOutOfDate();
}

void TXdsIndexFiles::Clear() {
  if (names_.empty()) {
    return;
  }
  CheckCanCloseIndexFiles(owner_);
  names_.clear();
  owner_->IndexDefsOutOfDate();
}
