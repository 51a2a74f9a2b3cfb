// Direct table operations: pack, zap, reindex, goto record, locate by
// expression. They call the engine outside the framework's insert, edit and
// delete cycle and then bring the buffer window in line with wherever the
// engine cursor ended up.

#include "xds_internal.h"

using xds::kXceBadRecordNumber;
using xds::kXceNoCurrentRecord;

void TXdsDataSet::CheckXceMoveResult(XDSRESULT result) {
  // Running off either end is how a move reports that nothing is there.
  if (result != 0 && result != kXceNoCurrentRecord) {
    CheckXceResult(this, result);
  }
}

void TXdsDataSet::SyncEngineToActiveRecord() {
  CheckActive();
  if (State() == dsCalcFields) {
    return;
  }
  if (WindowRecordCount() == 0) {
    // A window without records has no active record, whatever its first
    // buffer still holds from before. The table may hold records its
    // filters hide all the same: the engine goes to the top of the order,
    // which for such a table is past its end, and not to a hidden record
    // an operation would then act on.
    CheckXceMoveResult(Xce().XdsGotoTop(orderHandle_));
    CursorPosChanged();
    return;
  }
  try {
    CheckXceResult(this, Xce().XdsGotoRecord(tableHandle_, BufBookmarkRecNo(ActiveBuffer())));
  } catch (const EXDSDatabaseError& e) {
    // A table that shows no record has no active record to go to.
    uint16_t bof = 0;
    uint16_t eof = 0;
    if (e.ErrorCode() != kXceBadRecordNumber || Xce().XdsAtBOF(tableHandle_, &bof) != 0 ||
        Xce().XdsAtEOF(tableHandle_, &eof) != 0 || bof != 1 || eof != 1) {
      throw;
    }
  }
  CursorPosChanged();
}

void TXdsDataSet::ResyncAfterEngineMove() {
  uint16_t eof = 0;
  uint16_t bof = 0;
  CheckXceMoveResult(Xce().XdsAtEOF(tableHandle_, &eof));
  CheckXceMoveResult(Xce().XdsAtBOF(tableHandle_, &bof));
  CursorPosChanged();
  if (bof != 0) {
    First();
  } else if (eof != 0) {
    Last();
  } else {
    Resync(0);
  }
}

void TXdsDataSet::DeleteCurrentRecord() {
  CheckBrowseMode();
  SyncEngineToActiveRecord();
  CheckXceMoveResult(Xce().XdsDeleteRecord(tableHandle_));
  ResyncAfterEngineMove();
}

void TXdsDataSet::GotoRecord(int32_t recNo) {
  CheckBrowseMode();
  if (recNo < 0) {
    throw ERangeError();
  }
  CheckXceMoveResult(Xce().XdsGotoRecord(tableHandle_, static_cast<uint32_t>(recNo)));
  ResyncAfterEngineMove();
}

void TXdsDataSet::GotoTop() {
  CheckBrowseMode();
  CheckXceMoveResult(Xce().XdsGotoTop(orderHandle_));
  ResyncAfterEngineMove();
}

bool TXdsDataSet::LocateExpression(const std::string& expression, bool forward) {
  CheckBrowseMode();
  SyncEngineToActiveRecord();
  // The search runs in the order the component shows (the active index's),
  // not in record-number order: started from the first record of that
  // order, a record-number search would miss every match stored before it,
  // and a delete loop built on it would leave those records behind.
  std::string text = expression;  // NUL-terminated copy
  uint16_t found = 0;
  CheckXceMoveResult(Xce().XdsLocate(orderHandle_, text.c_str(), forward ? 1 : 0, &found));
  ResyncAfterEngineMove();
  return found != 0;
}

void TXdsDataSet::PackTable() {
  CheckBrowseMode();
  CheckXceMoveResult(Xce().XdsPackTable(tableHandle_));
  GotoTop();
}

void TXdsDataSet::ReindexTable() {
  CheckBrowseMode();
  // A table whose indexes reported no page size is rebuilt with the smallest.
  int pageSize = options_.XdsIndexPageSize;
  if (pageSize <= 0 || pageSize > 0xFFFF) {
    pageSize = 512;
  }
  CheckXceMoveResult(Xce().XdsReindex61(tableHandle_, static_cast<uint16_t>(pageSize)));
  ResyncAfterEngineMove();
}

void TXdsDataSet::ZapTable() {
  CheckBrowseMode();
  CheckXceMoveResult(Xce().XdsZapTable(tableHandle_));
  GotoTop();
}
