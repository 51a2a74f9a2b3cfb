// Record buffers, the record fetch, navigation, bookmarks, record numbers
// and counts.

#include <algorithm>
#include <cstring>

#include "xds/xdscnnct.h"
#include "xds_internal.h"

using xds::kXceNoCurrentRecord;

// --- Record buffers -----------------------------------------------------------

TXdsRecordBuffer::TXdsRecordBuffer(int bufferSize, int blobCount)
    : bytes_(static_cast<size_t>(bufferSize), 0) {
  blobs_.reserve(static_cast<size_t>(blobCount));
  for (int i = 0; i < blobCount; ++i) {
    blobs_.push_back(std::make_unique<TXdsBlobCache>());
  }
}

void TXCEFieldDefs::Add(TXCEFieldDef def) {
  if (def.number >= byNumber_.size()) {
    byNumber_.resize(static_cast<size_t>(def.number) + 1, -1);
  }
  byNumber_[def.number] = static_cast<int>(items_.size());
  items_.push_back(std::move(def));
}

TXdsDataSet::TXdsDataSet() : options_(*this), indexFiles_(this) {}

TXdsDataSet::~TXdsDataSet() {
  CloseWithoutEvents();
  if (connection_ != nullptr) {
    connection_->UnregisterDataSet(this);
  }
}

int32_t TXdsDataSet::BufRecNo(const TRecordBuffer* buffer) const {
  int32_t n;
  std::memcpy(&n, Buf(buffer).Bytes() + RecInfoOffset(), 4);
  return n;
}

void TXdsDataSet::SetBufRecNo(TRecordBuffer* buffer, int32_t recNo) const {
  std::memcpy(Buf(buffer).Bytes() + RecInfoOffset(), &recNo, 4);
}

uint32_t TXdsDataSet::BufBookmarkRecNo(const TRecordBuffer* buffer) const {
  uint32_t n;
  std::memcpy(&n, Buf(buffer).Bytes() + BookmarkOffset(), 4);
  return n;
}

void TXdsDataSet::SetBufBookmarkRecNo(TRecordBuffer* buffer, uint32_t recNo) const {
  std::memcpy(Buf(buffer).Bytes() + BookmarkOffset(), &recNo, 4);
}

uint16_t TXdsDataSet::ReadBookmarkLength() const {
  uint16_t length = 0;
  if (orderHandle_ != kNoXdsHandle && orderHandle_ != 0) {
    CheckXceResult(this, Xce().XdsGetBookmarkLength(orderHandle_, &length));
  }
  if (length == 0) {
    CheckXceResult(this, Xce().XdsGetBookmarkLength(tableHandle_, &length));
  }
  return length;
}

void TXdsDataSet::ComputeLayout() {
  blankRecord_.clear();
  calcAreaSize_ = CalcFieldsSize();
  blobFieldNos_.clear();
  for (int i = 0; i < Fields().Count(); ++i) {
    const TField* f = Fields()[i];
    if (f->IsBlob() && f->FieldNo() > 0) {
      blobFieldNos_.push_back(static_cast<uint16_t>(f->FieldNo()));
    }
  }
  blobCount_ = static_cast<int>(blobFieldNos_.size());
  // The bookmark's first 32 bits are the record number, whatever the engine
  // says its bookmarks hold.
  bookmarkSize_ = std::max<int>(4, ReadBookmarkLength());
  bufferSize_ = BookmarkOffset() + bookmarkSize_;
}

void TXdsDataSet::ResetRecInfo(TRecordBuffer* buffer) const {
  uint8_t* info = Buf(buffer).Bytes() + RecInfoOffset();
  SetBufRecNo(buffer, -1);
  info[4] = 0;
  info[5] = bfCurrent;
  SetBufBookmarkRecNo(buffer, 0);
}

TRecordBufferPtr TXdsDataSet::AllocRecordBuffer() {
  auto buffer = std::make_unique<TXdsRecordBuffer>(bufferSize_, blobCount_);
  ResetRecInfo(buffer.get());
  return buffer;
}

void TXdsDataSet::FreeRecordBuffer(TRecordBufferPtr& buffer) {
  if (buffer) {
    Buf(buffer.get()).BlobCaches().clear();
  }
  buffer.reset();
}

void TXdsDataSet::ClearCalcFields(TRecordBuffer* buffer) {
  if (calcAreaSize_ > 0) {
    std::memset(Buf(buffer).Bytes() + CalcAreaOffset(), 0, static_cast<size_t>(calcAreaSize_));
  }
}

TXdsBlobCache* TXdsDataSet::BlobCacheOf(TRecordBuffer* buffer, int fieldNo) const {
  auto at = std::find(blobFieldNos_.begin(), blobFieldNos_.end(), fieldNo);
  if (buffer == nullptr || at == blobFieldNos_.end()) {
    return nullptr;
  }
  auto& caches = Buf(buffer).BlobCaches();
  size_t index = static_cast<size_t>(at - blobFieldNos_.begin());
  return index < caches.size() ? caches[index].get() : nullptr;
}

void TXdsDataSet::ResetBlobCaches(TXdsRecordBuffer& buffer) {
  switch (State()) {
    case dsBrowse:
    case dsEdit:
    case dsInsert:
    case dsCalcFields:
    case dsNewValue:
      for (auto& cache : buffer.BlobCaches()) {
        cache->Reset();
      }
      break;
    default:
      break;
  }
}

void TXdsDataSet::FinishFetch(TRecordBuffer* buffer, bool checkPosition) {
  unfinishedFetch_ = nullptr;
  TXdsRecordBuffer& b = Buf(buffer);
  // Both steps read the engine's current record. A handler may have moved
  // the table since the fetch (a Lookup of its own): then the engine goes to
  // the fetched record for them and back.
  uint32_t standing = 0;
  const uint32_t fetched = BufBookmarkRecNo(buffer);
  if (checkPosition) {
    CheckXceResult(this, Xce().XdsGetBookmark(tableHandle_, &standing));
    if (standing != fetched) {
      CheckXceResult(this, Xce().XdsGotoBookmark(tableHandle_, fetched));
    }
  }
  if (HasBlobs()) {
    for (int i = 0; i < xceFields_.Count(); ++i) {
      const TXCEFieldDef& def = xceFields_[i];
      if (def.type < XDS_TYPE_MEMO || def.type > XDS_TYPE_VARCHAR) {
        continue;
      }
      uint16_t empty = 0;
      CheckXceResult(this, Xce().XdsIsEmpty(tableHandle_, def.number, &empty));
      int32_t marker = empty != 0 ? 0 : -1;
      std::memcpy(b.Bytes() + def.offset, &marker, 4);
    }
  }
  if (options_.XdsCharType() == OEM) {
    for (uint16_t fieldNo : oemStringFields_) {
      const TXCEFieldDef& def = *xceFields_.ByNumber(fieldNo);
      // The engine ends the text with a NUL just past the field, which is
      // the next field's first byte: keep it.
      uint8_t* field = b.Bytes() + def.offset;
      uint8_t saved = field[def.length];
      uint32_t length = def.length + 1u;
      XDSRESULT fr = Xce().XdsGetField(tableHandle_, def.number, field, &length, XDS_GET_NO_TRIM);
      field[def.length] = saved;
      CheckXceResult(this, fr);
    }
  }
  if (checkPosition && standing != fetched) {
    XDSRESULT r = Xce().XdsGotoBookmark(tableHandle_, standing);
    if (r != xds::kXceBadRecordNumber) {
      CheckXceResult(this, r);
    }
  }
}

void TXdsDataSet::FinishFetchBeforeRead(const TRecordBuffer* buffer, uint16_t type) const {
  if (buffer == unfinishedFetch_ && buffer != nullptr &&
      (type == XDS_TYPE_STRING || (type >= XDS_TYPE_MEMO && type <= XDS_TYPE_VARCHAR))) {
    const_cast<TXdsDataSet*>(this)->FinishFetch(const_cast<TRecordBuffer*>(buffer), true);
  }
}

// --- The record fetch -------------------------------------------------------------

namespace {
// A move off either end is how the engine says there is nothing more there.
XDSRESULT MoveResult(XDSRESULT r) { return r == kXceNoCurrentRecord ? 0 : r; }
}  // namespace

TGetResult TXdsDataSet::FetchRecord(TRecordBuffer* buffer, TGetMode mode) {
  if (tableHandle_ == kNoXdsHandle || State() == dsInsert) {
    return grError;
  }
  int32_t step;
  switch (mode) {
    case gmNext:
      step = 1;
      break;
    case gmPrior:
      step = -1;
      break;
    case gmCurrent:
      step = 0;
      break;
    default:
      return grError;
  }
  TXdsRecordBuffer& b = Buf(buffer);
  // One engine call moves, tells where the cursor stands and delivers the
  // record and its bookmark: this is the inner loop of every walk and grid.
  XDSFETCHINFO at{};
  bool fetched = TakePendingEnd(mode, buffer, at);
  const bool judged = OnFilterRecord() && Filtered();
  // Whatever ends the fetch, a record left unfinished stays so only within
  // it; a fetch a handler runs (a Lookup) leaves the outer one's as it was.
  struct TUnfinishedGuard {
    TRecordBuffer*& unfinished;
    TRecordBuffer* outer;
    ~TUnfinishedGuard() { unfinished = outer; }
  } unfinishedGuard{unfinishedFetch_, unfinishedFetch_};
  for (;;) {
    if (!fetched) {
      at.bookmarkLength = static_cast<uint16_t>(bookmarkSize_);
      CheckXceResult(this, Xce().XdsFetchRecord(orderHandle_, step, b.Bytes(),
                                                static_cast<uint32_t>(recordSize_),
                                                b.Bytes() + BookmarkOffset(), &at));
    }
    fetched = false;
    if (at.atEof != 0 && mode != gmPrior) {
      return grEOF;
    }
    if (at.atBof != 0 && mode != gmNext) {
      return grBOF;
    }
    if (at.visible == 0) {
      return grError;
    }
    if (HasBlobs()) {
      ResetBlobCaches(b);
    }
    // A record the filter handler turns down is never shown, and most
    // records a section filter sees are: what only a shown or read record
    // needs waits until a field of that kind is read or the handler accepts.
    if (judged) {
      unfinishedFetch_ = buffer;
    } else {
      FinishFetch(buffer, false);
    }
    GetCalcFields(buffer);
    if (judged && !FilterRecordAccepted(buffer)) {
      step = mode == gmPrior ? -1 : 1;
      continue;
    }
    if (unfinishedFetch_ == buffer) {
      FinishFetch(buffer, true);
    }
    break;
  }
  uint8_t* info = b.Bytes() + RecInfoOffset();
  info[4] = 0;
  info[5] = bfCurrent;
  int32_t recNo = 0;
  if ((indexName_.empty() && indexFieldNames_.empty()) || !Sequenced) {
    recNo = static_cast<int32_t>(at.recno);
  } else {
    uint32_t count = 0;
    CheckXceResult(this,
                   Xce().XdsGetRecordCount(tableHandle_, XDS_COUNT_IGNORE_FILTERS, &count));
    double position = 0;
    XDSRESULT r = Xce().XdsGetRelKeyPos(orderHandle_, &position);
    if (r == xds::kXceNoKeyPosition) {
      position = 0;
    } else {
      CheckXceResult(this, r);
    }
    recNo = static_cast<int32_t>(count * position);
  }
  SetBufRecNo(buffer, recNo);
  return grOK;
}

TGetResult TXdsDataSet::GetRecord(TRecordBuffer* buffer, TGetMode mode, bool) {
  return FetchRecord(buffer, mode);
}

// --- Navigation -------------------------------------------------------------------------

void TXdsDataSet::InternalFirst() { PositionAtEnd(TPendingEnd::kBeforeFirst); }

void TXdsDataSet::InternalLast() { PositionAtEnd(TPendingEnd::kAfterLast); }

void TXdsDataSet::PositionAtEnd(TPendingEnd end) {
  pendingEnd_ = TPendingEnd::kNone;
  const bool first = end == TPendingEnd::kBeforeFirst;
  CheckXceResult(this, MoveResult(first ? Xce().XdsGotoTop(orderHandle_)
                                        : Xce().XdsGotoBottom(orderHandle_)));
  CheckXceResult(this, Xce().XdsGetRecordNum(tableHandle_, XDS_COUNT_IGNORE_FILTERS, &endRecNo_));
  pendingEnd_ = end;
}

// The step off the end that positioning left to the fetch; false when the
// engine is no longer on the record it found there (something else moved
// it, and the step is not wanted any more).
bool TXdsDataSet::TakePendingEnd(TGetMode mode, TRecordBuffer* buffer, XDSFETCHINFO& at) {
  const TPendingEnd end = pendingEnd_;
  pendingEnd_ = TPendingEnd::kNone;
  if (end == TPendingEnd::kNone) {
    return false;
  }
  at.bookmarkLength = static_cast<uint16_t>(bookmarkSize_);
  TXdsRecordBuffer& b = Buf(buffer);
  CheckXceResult(this, Xce().XdsFetchRecord(orderHandle_, 0, b.Bytes(),
                                            static_cast<uint32_t>(recordSize_),
                                            b.Bytes() + BookmarkOffset(), &at));
  const bool onFound = at.atEof == 0 && at.atBof == 0 && at.recno == endRecNo_;
  const bool straightBack = (end == TPendingEnd::kBeforeFirst && mode == gmNext) ||
                            (end == TPendingEnd::kAfterLast && mode == gmPrior);
  if (straightBack && (onFound || (at.atEof != 0 && at.atBof != 0))) {
    return true;  // `at` is what stepping off and back on would deliver
  }
  if (onFound || (at.atEof != 0 && at.atBof != 0)) {
    CheckXceResult(this, MoveResult(Xce().XdsSkip(
                             orderHandle_, end == TPendingEnd::kBeforeFirst ? -1 : 1)));
  }
  return false;
}

void TXdsDataSet::InternalSetToRecord(TRecordBuffer* buffer) {
  TBookmark bookmark;
  GetBookmarkData(buffer, bookmark);
  InternalGotoBookmark(bookmark);
}

void TXdsDataSet::InternalGotoBookmark(const TBookmark& bookmark) {
  pendingEnd_ = TPendingEnd::kNone;
  if (State() == dsInsert || bookmark.size() < 4) {
    return;
  }
  uint32_t recNo;
  std::memcpy(&recNo, bookmark.data(), 4);
  XDSRESULT r = Xce().XdsGotoBookmark(tableHandle_, recNo);
  if (r != XDS_ERR_BAD_RECORD_NUMBER) {
    CheckXceResult(this, r);
  }
}

void TXdsDataSet::GetBookmarkData(const TRecordBuffer* buffer, TBookmark& data) const {
  const uint8_t* at = Buf(buffer).Bytes() + BookmarkOffset();
  data.assign(at, at + bookmarkSize_);
}

void TXdsDataSet::SetBookmarkData(TRecordBuffer* buffer, const TBookmark& data) {
  uint8_t* at = Buf(buffer).Bytes() + BookmarkOffset();
  std::memset(at, 0, static_cast<size_t>(bookmarkSize_));
  std::memcpy(at, data.data(), std::min<size_t>(data.size(), static_cast<size_t>(bookmarkSize_)));
}

TBookmarkFlag TXdsDataSet::GetBookmarkFlag(const TRecordBuffer* buffer) const {
  return static_cast<TBookmarkFlag>(Buf(buffer).Bytes()[RecInfoOffset() + 5]);
}

void TXdsDataSet::SetBookmarkFlag(TRecordBuffer* buffer, TBookmarkFlag flag) {
  Buf(buffer).Bytes()[RecInfoOffset() + 5] = static_cast<uint8_t>(flag);
}

int TXdsDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) const {
  if (a.empty() && b.empty()) {
    return 0;
  }
  if (b.empty()) {
    return -1;
  }
  if (a.empty()) {
    return 1;
  }
  int16_t result = 0;
  XDSHANDLE handle =
      orderHandle_ != kNoXdsHandle && orderHandle_ != 0 ? orderHandle_ : tableHandle_;
  CheckXceResult(this, Xce().XdsCompareBookmarks(handle, a.data(), b.data(), &result));
  return result;
}

bool TXdsDataSet::BookmarkValid(const TBookmark& bookmark) {
  if (!Active() || bookmark.size() < 4) {
    return false;
  }
  CursorPosChanged();
  uint32_t recNo;
  std::memcpy(&recNo, bookmark.data(), 4);
  if (Xce().XdsGotoBookmark(tableHandle_, recNo) != 0) {
    return false;
  }
  uint16_t eof = 0;
  if (Xce().XdsAtEOF(tableHandle_, &eof) != 0 || eof != 0) {
    return false;
  }
  if (engineTableType_ == XDS_TABLE_CDX || engineTableType_ == XDS_TABLE_NTX) {
    uint16_t deleted = 0;
    CheckXceResult(this, Xce().XdsIsRecordDeleted(tableHandle_, &deleted));
    if (deleted != 0) {
      uint16_t hidden = 0;
      CheckXceResult(this, Xce().XdsGetDeleted(tableHandle_, &hidden));
      return hidden == 0;
    }
  }
  return true;
}

bool TXdsDataSet::GetCurrentRecord(TRecordBuffer* dest) {
  if (IsEmpty() || dest == nullptr || GetBookmarkFlag(ActiveBuffer()) != bfCurrent) {
    return false;
  }
  UpdateCursorPos();
  std::memcpy(Buf(dest).Bytes(), Buf(ActiveBuffer()).Bytes(), static_cast<size_t>(recordSize_));
  return true;
}

// --- Record numbers and counts -------------------------------------------------------------

int TXdsDataSet::GetRecNo() const {
  if (State() == dsCalcFields) {
    return static_cast<int>(BufBookmarkRecNo(CalcBuffer()));
  }
  const TRecordBuffer* active = ActiveBuffer();
  return active == nullptr ? -1 : BufRecNo(active);
}

void TXdsDataSet::SetRecNo(int value) {
  CheckActive();
  CheckBrowseMode();
  DoBeforeScroll();
  XDSRESULT r = 0;
  if (indexKind_ != ikNone) {
    uint32_t count = 0;
    CheckXceResult(this,
                   Xce().XdsGetRecordCount(tableHandle_, XDS_COUNT_IGNORE_FILTERS, &count));
    double fraction = count != 0 ? static_cast<double>(value) / count : 0.0;
    if (fraction >= 1.0) {
      fraction = 1.0;
    }
    r = Xce().XdsSetRelKeyPos(orderHandle_, fraction);
  } else if (Filtered()) {
    r = Xce().XdsGotoTop(tableHandle_);
    if (r == 0) {
      r = Xce().XdsSkip(tableHandle_, value - 1);
    }
  } else {
    r = Xce().XdsGotoRecord(tableHandle_, static_cast<uint32_t>(value));
  }
  CheckXceResult(this, r);
  CursorPosChanged();
  Resync(rmCenter);
  DoAfterScroll();
}

int TXdsDataSet::GetRecordCount() const {
  uint16_t option = XDS_COUNT_IGNORE_FILTERS;
  if (options_.XdsFilterOptions == RESPECT_WHEN_COUNTING) {
    option = XDS_COUNT_RESPECT_FILTERS;
  } else if (options_.XdsScopeOptions == RESPECT_SCOPES_WHEN_COUNTING) {
    option = XDS_COUNT_RESPECT_SCOPES;
  }
  XDSHANDLE handle = orderHandle_;
  if (option == XDS_COUNT_RESPECT_FILTERS && indexKind_ != ikNone) {
    char condition[511];
    uint16_t length = 510;
    CheckXceResult(this, Xce().XdsGetIndexCondition(orderHandle_, condition, &length));
    if (length == 0 && !ScopeSet()) {
      uint32_t flags = 0;
      if (engineTableType_ != XDS_TABLE_XDT) {
        CheckXceResult(this, Xce().XdsGetIndexFlags(orderHandle_, &flags));
      }
      if (engineTableType_ == XDS_TABLE_XDT || (flags & XDS_INDEX_UNIQUE) == 0) {
        handle = tableHandle_;
      }
    }
  }
  if (options_.XdsFreshRecordCount) {
    option = static_cast<uint16_t>(option + XDS_COUNT_FRESH);
  }
  uint32_t count = 0;
  CheckXceResult(this, Xce().XdsGetRecordCount(handle, option, &count));
  return static_cast<int>(count);
}

void TXdsDataSet::InternalRefresh() {
  XDSRESULT r = Xce().XdsRefreshRecord(tableHandle_);
  if (r != kXceNoCurrentRecord) {
    CheckXceResult(this, r);
  }
}

void TXdsDataSet::RecordCacheChanged(TXdsRecordCacheTypes value) {
  uint16_t records = value == rcNone ? 0 : value == rcStandard ? 10 : 100;
  CheckXceResult(this, Xce().XdsCacheRecords(tableHandle_, records));
}

// --- Unsupported operations ---------------------------------------------------------------

void TXdsDataSet::BatchMove() { XdsDatabaseError(this, xdsmsg::kBatchMove); }
void TXdsDataSet::RenameTable(const std::string&) { XdsDatabaseError(this, xdsmsg::kRenameTable); }
void TXdsDataSet::UpdateStatus() const { XdsDatabaseError(this, xdsmsg::kUpdateStatus); }
