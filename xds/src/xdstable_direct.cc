// Direct table operations: pack, zap, reindex, rewrite, goto record, locate
// by expression. They call the engine outside the framework's insert, edit
// and delete cycle and then bring the buffer window in line with wherever
// the engine cursor ended up.

#include <filesystem>
#include <string_view>

#include "stored_text.h"
#include "xds/xdscnnct.h"
#include "xds_internal.h"

using xds::kXceBadRecordNumber;
using xds::kXceNoCurrentRecord;

namespace {

// A rewrite's scratch table and its memo file.
void RemoveScratch(const std::filesystem::path& dbf) {
  std::error_code ignored;
  std::filesystem::remove(dbf, ignored);
  std::filesystem::path memo = dbf;
  std::filesystem::remove(memo.replace_extension(".fpt"), ignored);
}

}  // namespace

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

void TXdsDataSet::RewriteRows(const std::vector<std::string>& fields,
                              const std::vector<std::vector<std::string>>& rows) {
  CheckBrowseMode();
  // The new rows go to a scratch table of the same fields beside the table;
  // the engine then swaps them in for the old rows in one step, the way it
  // packs. A crash before the swap leaves the old table and a scratch file
  // that the next rewrite removes.
  const XDSHANDLE connection = XdsConnection()->ConnectionHandle();
  const std::filesystem::path scratch =
      std::filesystem::path(TableDirectory()) /
      (std::filesystem::path(TableName()).filename().string() + ".rewrite.tmp");
  const bool oem = options_.XdsCharType() == OEM;
  const uint16_t charType = oem ? XDS_CHAR_OEM : XDS_CHAR_ANSI;
  XDSHANDLE rowsTable = 0;
  try {
    auto check = [&](XDSRESULT r) { CheckXceResult(this, r); };
    uint16_t count = 0;
    check(Xce().XdsGetNumFields(tableHandle_, &count));
    std::vector<std::string> names(count);
    std::vector<XDSFIELDDEF> defs(count);
    for (uint16_t f = 1; f <= count; ++f) {
      char name[64] = {};
      uint16_t length = sizeof name;
      check(Xce().XdsGetFieldName(tableHandle_, f, name, &length));
      names[f - 1].assign(name, length);
      XDSFIELDDEF& def = defs[f - 1];
      check(Xce().XdsGetFieldTypeLetter(tableHandle_, f, &def.type));
      check(Xce().XdsGetFieldLength(tableHandle_, f, &def.length));
      check(Xce().XdsGetFieldDecimals(tableHandle_, f, &def.decimals));
      def.name = names[f - 1].c_str();
    }
    RemoveScratch(scratch);
    check(Xce().XdsCreateTable(connection, scratch.c_str(), charType, count, defs.data()));
    check(Xce().XdsOpenTable(connection, scratch.c_str(), nullptr, XDS_TABLE_CDX, charType,
                             XDS_LOCK_PROPRIETARY, XDS_RIGHTS_CHECK, XDS_OPEN_EXCLUSIVE,
                             &rowsTable));
    std::vector<uint16_t> numbers(fields.size());
    for (std::size_t i = 0; i < fields.size(); ++i) {
      check(Xce().XdsGetFieldNumber(rowsTable, fields[i].c_str(), &numbers[i]));
    }
    for (const std::vector<std::string>& row : rows) {
      check(Xce().XdsAppendRecord(rowsTable));
      for (std::size_t i = 0; i < numbers.size() && i < row.size(); ++i) {
        const XDSFIELDDEF& def = defs[numbers[i] - 1u];
        std::string_view text = row[i];
        if (def.type == 'C') {
          text = text.substr(0, platform::TextCut(text, def.length, oem));
        }
        check(Xce().XdsSetField(rowsTable, numbers[i], text.data(),
                                static_cast<uint32_t>(text.size())));
      }
      check(Xce().XdsWriteRecord(rowsTable));
    }
    check(Xce().XdsRewriteTable(tableHandle_, rowsTable));
    check(Xce().XdsCloseTable(rowsTable));
    rowsTable = 0;
    RemoveScratch(scratch);
  } catch (...) {
    if (rowsTable != 0) {
      (void)Xce().XdsCloseTable(rowsTable);
    }
    RemoveScratch(scratch);
    throw;
  }
  GotoTop();
}
