// Where the current record stands in the current order, for scroll bars.
#include <algorithm>
#include <cmath>

#include "xds/xdsdata.h"
#include "xds/xdserror.h"
#include "xds_internal.h"

double TXdsDataSet::RecordPosition() {
  if (!Active() || State() == dsInsert || WindowRecordCount() == 0) {
    return -1;
  }
  if (indexKind_ == ikNone) {
    return TDataSet::RecordPosition();
  }
  // The key position is the engine cursor's; it must stand on the record
  // shown as current, not on the last one the window fetched.
  UpdateCursorPos();
  double position = 0;
  XDSRESULT r = Xce().XdsGetRelKeyPos(orderHandle_, &position);
  if (r == xds::kXceNoKeyPosition) {
    return -1;
  }
  CheckXceResult(this, r);
  return std::clamp(position, 0.0, 1.0);
}

void TXdsDataSet::SetRecordPosition(double position) {
  if (indexKind_ != ikNone) {
    TDataSet::SetRecordPosition(position);
    return;
  }
  CheckActive();
  CheckBrowseMode();
  uint32_t count = 0;
  CheckXceResult(this, Xce().XdsGetRecordCount(tableHandle_, XDS_COUNT_IGNORE_FILTERS, &count));
  if (count == 0) {
    return;
  }
  DoBeforeScroll();
  position = std::clamp(position, 0.0, 1.0);
  auto recNo = static_cast<uint32_t>(std::lround(position * (count - 1))) + 1;
  CheckXceResult(this, Xce().XdsGotoRecord(tableHandle_, recNo));
  CursorPosChanged();
  Resync(rmCenter);
  DoAfterScroll();
}
