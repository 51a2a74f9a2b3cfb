// New records, Edit, Post, Cancel, Delete and blob streams.
//
// Placeholder: a new buffer is initialised as the engine's blank record
// (without field defaults), so the framework can prepare buffers and search
// records; every change of stored data refuses clearly until it is built.

#include "xds_internal.h"

using xds::NotAvailableYet;

void TXdsDataSet::InternalInitRecord(TRecordBuffer* buffer) {
  TXdsRecordBuffer& b = Buf(buffer);
  CheckXceResult(this, Xce().XdsClearRecordBuffer(tableHandle_, b.Bytes(),
                                                  static_cast<uint32_t>(recordSize_)));
  if (HasBlobs()) {
    ResetBlobCaches(b);
  }
  ClearCalcFields(buffer);
  ResetRecInfo(buffer);
}

void TXdsDataSet::InternalInsert() { NotAvailableYet(this, "Insert"); }
void TXdsDataSet::InternalEdit() { NotAvailableYet(this, "Edit"); }
void TXdsDataSet::InternalPost() { NotAvailableYet(this, "Post"); }
void TXdsDataSet::InternalDelete() { NotAvailableYet(this, "Delete"); }
void TXdsDataSet::InternalCancel() { NotAvailableYet(this, "Cancel"); }
void TXdsDataSet::DoOnNewRecord() { NotAvailableYet(this, "Insert"); }

void TXdsDataSet::InternalAddRecord(TRecordBuffer*, bool) {
  NotAvailableYet(this, "InternalAddRecord");
}

std::unique_ptr<TStream> TXdsDataSet::CreateBlobStream(TField&, TBlobStreamMode) {
  NotAvailableYet(this, "A blob stream");
}

void TXdsDataSet::DataEvent(TDataEvent event, TField* field, int scrolled) {
  if (event == dePropertyChange) {
    IndexDefsOutOfDate();
  }
  TDataSet::DataEvent(event, field, scrolled);
}
