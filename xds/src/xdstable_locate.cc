// Locate, Lookup and the find operations.
//
// Placeholder: refuses clearly until it is built.

#include "xds_internal.h"

using xds::NotAvailableYet;

bool TXdsDataSet::FindFirst() { NotAvailableYet(this, "FindFirst"); }
bool TXdsDataSet::FindLast() { NotAvailableYet(this, "FindLast"); }
bool TXdsDataSet::FindNext() { NotAvailableYet(this, "FindNext"); }
bool TXdsDataSet::FindPrior() { NotAvailableYet(this, "FindPrior"); }

std::string TXdsDataSet::BuildFilterString(const std::vector<TField*>&, bool) {
  NotAvailableYet(this, "BuildFilterString");
}

bool TXdsDataSet::LocateSearchRecord(const std::vector<TField*>&, TLocateOptions) {
  NotAvailableYet(this, "Locate");
}

bool TXdsDataSet::IndexMatchesFields(XDSHANDLE, const std::vector<TField*>&) {
  NotAvailableYet(this, "Locate");
}
bool TXdsDataSet::IsPlainIndex(XDSHANDLE) { NotAvailableYet(this, "Locate"); }
bool TXdsDataSet::FindRecord(bool, bool) { NotAvailableYet(this, "FindFirst"); }
