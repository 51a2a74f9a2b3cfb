// Direct table operations: pack, zap, reindex, goto record, locate by
// expression, and bringing the buffers in line with the engine afterwards.
//
// Placeholder: refuses clearly until it is built.

#include "xds_internal.h"

using xds::NotAvailableYet;

void TXdsDataSet::DeleteCurrentRecord() { NotAvailableYet(this, "DeleteCurrentRecord"); }
void TXdsDataSet::GotoRecord(int32_t) { NotAvailableYet(this, "GotoRecord"); }
void TXdsDataSet::GotoTop() { NotAvailableYet(this, "GotoTop"); }
bool TXdsDataSet::LocateExpression(const std::string&, bool) {
  NotAvailableYet(this, "LocateExpression");
}
void TXdsDataSet::PackTable() { NotAvailableYet(this, "PackTable"); }
void TXdsDataSet::ReindexTable() { NotAvailableYet(this, "ReindexTable"); }
void TXdsDataSet::ZapTable() { NotAvailableYet(this, "ZapTable"); }
void TXdsDataSet::SyncEngineToActiveRecord() { NotAvailableYet(this, "SyncEngineToActiveRecord"); }
void TXdsDataSet::ResyncAfterEngineMove() { NotAvailableYet(this, "ResyncAfterEngineMove"); }
void TXdsDataSet::CheckXceMoveResult(XDSRESULT) { NotAvailableYet(this, "CheckXceMoveResult"); }
