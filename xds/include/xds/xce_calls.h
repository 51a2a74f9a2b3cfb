// The engine calls the table layer makes, as one table of function pointers.
// The layer never calls an Xds function directly: it calls Xce().XdsName(...),
// so a test can put a recording wrapper or a double in place of any call
// (xds/tests/recording_engine.h) without touching the layer.
#pragma once

#include "xce.h"

// Every engine function the layer may call; X(name) once per function.
#define XDS_ENGINE_CALLS(X) \
  X(XdsConnect60) \
  X(XdsDisconnect) \
  X(XdsOpenTable) \
  X(XdsCloseTable) \
  X(XdsGetTableOpenOptions) \
  X(XdsGetTableType) \
  X(XdsCreateTable) \
  X(XdsGetNumFields) \
  X(XdsGetFieldName) \
  X(XdsGetFieldNumber) \
  X(XdsGetFieldType) \
  X(XdsGetFieldTypeLetter) \
  X(XdsGetFieldLength) \
  X(XdsGetFieldDecimals) \
  X(XdsGetFieldOffset) \
  X(XdsGetRecordLength) \
  X(XdsGetColumnPermissions) \
  X(XdsGotoTop) \
  X(XdsGotoBottom) \
  X(XdsSkip) \
  X(XdsGotoRecord) \
  X(XdsGetRecordNum) \
  X(XdsAtEOF) \
  X(XdsAtBOF) \
  X(XdsGetBookmark) \
  X(XdsGetBookmark60) \
  X(XdsGetBookmarkLength) \
  X(XdsGotoBookmark) \
  X(XdsCompareBookmarks) \
  X(XdsGetRecordCount) \
  X(XdsIsRecordVisible) \
  X(XdsFetchRecord) \
  X(XdsCacheRecords) \
  X(XdsGetRecord) \
  X(XdsGetField) \
  X(XdsIsEmpty) \
  X(XdsSetField) \
  X(XdsSetFieldRaw) \
  X(XdsSetEmpty) \
  X(XdsClearRecordBuffer) \
  X(XdsAppendRecord) \
  X(XdsWriteRecord) \
  X(XdsDeleteRecord) \
  X(XdsRecallRecord) \
  X(XdsIsRecordDeleted) \
  X(XdsGetDeleted) \
  X(XdsSetDeleted) \
  X(XdsLockRecord) \
  X(XdsUnlockRecord) \
  X(XdsCancelUpdate) \
  X(XdsRefreshRecord) \
  X(XdsGetMemoLength) \
  X(XdsGetMemoDataType) \
  X(XdsGetBinaryLength) \
  X(XdsConvertStringToJulian) \
  X(XdsConvertJulianToString) \
  X(XdsPackTable) \
  X(XdsZapTable) \
  X(XdsRewriteTable) \
  X(XdsFlushTable) \
  X(XdsCheckTable) \
  X(XdsSetFilter) \
  X(XdsClearFilter) \
  X(XdsSetAOF) \
  X(XdsClearAOF) \
  X(XdsGetAOF) \
  X(XdsSetExact22) \
  X(XdsGetExact22) \
  X(XdsLocate) \
  X(XdsGetAllIndexes) \
  X(XdsGetIndexHandle) \
  X(XdsGetIndexName) \
  X(XdsGetIndexCondition) \
  X(XdsGetIndexKeyExpression) \
  X(XdsGetIndexForExpression) \
  X(XdsGetNumSegments) \
  X(XdsGetSegmentFieldname) \
  X(XdsIsIndexDescending) \
  X(XdsIsIndexUnique) \
  X(XdsIsIndexCustom) \
  X(XdsGetIndexFlags) \
  X(XdsGetIndexPageSize) \
  X(XdsOpenIndex) \
  X(XdsCreateIndexTag) \
  X(XdsCreateIndexTags) \
  X(XdsDeleteIndexTag) \
  X(XdsInitRawKey) \
  X(XdsBuildRawKey) \
  X(XdsSeek) \
  X(XdsSetScope) \
  X(XdsGetScope) \
  X(XdsClearScope) \
  X(XdsClearAllScopes) \
  X(XdsStepIndexKey) \
  X(XdsGetRelKeyPos) \
  X(XdsSetRelKeyPos) \
  X(XdsReindex61) \
  X(XdsGetVersion) \
  X(XdsGetLastError) \
  X(XdsSetLastError) \

struct TXceCalls {
#define XDS_DECLARE_ENGINE_CALL(name) decltype(&::name) name = &::name;
  XDS_ENGINE_CALLS(XDS_DECLARE_ENGINE_CALL)
#undef XDS_DECLARE_ENGINE_CALL
};

// The calls in force for the whole process; the real engine unless a test
// replaced some (restore with Xce() = TXceCalls{}). A plain object, not a
// function-local static: it is read on every engine call.
extern TXceCalls gXceCalls;
inline TXceCalls& Xce() { return gXceCalls; }
