// New records, Edit, Post, Cancel, Delete and blob streams.
//
// Records are edited in the active record buffer; nothing reaches the engine
// before Post, except the record lock Edit takes on a shared table. Post
// writes only the fields that were written since editing started (and the
// defaults of a new record), then the changed memo values, then the record.

#include <cmath>
#include <cstdint>
#include <cstring>

#include "db/datasource.h"
#include "db/format.h"
#include "xds_internal.h"

using xds::kXceBadRecordNumber;
using xds::kXceNoCurrentRecord;

namespace {

constexpr XDSRESULT kXceStaticView = XDS_ERR_STATIC_VIEW;  // 5064
constexpr XDSRESULT kXceNoUpdatePending = XDS_ERR_NO_UPDATE_PENDING;  // 5085

// Engine types the public header does not name.
constexpr uint16_t kTypeCompactDate = 9;
constexpr uint16_t kTypeShortInteger = 12;
constexpr uint16_t kTypeTime = 13;

bool IsBlobType(uint16_t type) { return type >= XDS_TYPE_MEMO && type <= XDS_TYPE_VARCHAR; }

// A string field's bytes that hold no text (blanks, or zeros on tables that
// pad with them).
bool AllBlank(const uint8_t* bytes, int length) {
  for (int i = 0; i < length; ++i) {
    if (bytes[i] != ' ' && bytes[i] != 0) {
      return false;
    }
  }
  return true;
}

// The native value a default expression gives a field of the engine type;
// false when the expression gives none (a string default not in quotes).
// Raises what the conversion raises.
bool DefaultNativeValue(const TField& field, uint16_t type, const std::string& expression,
                        std::vector<uint8_t>& native) {
  auto put = [&native](const auto& value) {
    native.resize(sizeof value);
    std::memcpy(native.data(), &value, sizeof value);
  };
  switch (type) {
    case XDS_TYPE_LOGICAL: {
      std::string upper = AnsiUpperCase(expression);
      bool value = upper == "TRUE" || upper == "T" || upper == ".T." || upper == "1";
      put(static_cast<int16_t>(value ? -1 : 0));
      return true;
    }
    case XDS_TYPE_NUMERIC:
    case XDS_TYPE_DOUBLE:
    case XDS_TYPE_CURRENCY: {
      double value = StrToFloat(expression);
      if (type == XDS_TYPE_NUMERIC && field.DataType() == ftSmallint) {
        int64_t whole = 0;
        if (!DoubleToInt(value, -32768, 32767, whole)) {
          throw Exception(std::string(xdsmsg::kDefaultOutOfRange) + expression);
        }
        put(static_cast<int16_t>(whole));
      } else {
        put(value);
      }
      return true;
    }
    case XDS_TYPE_DATE:
    case kTypeCompactDate:
      put(static_cast<int32_t>(std::floor(StrToDate(expression))) + kDateDelta);
      return true;
    case XDS_TYPE_STRING: {
      if (expression.size() < 2 || expression.front() != '\'' || expression.back() != '\'') {
        return false;
      }
      std::string text = expression.substr(1, expression.size() - 2);
      native.assign(text.begin(), text.end());
      native.push_back(0);
      return true;
    }
    case XDS_TYPE_INTEGER:
    case kTypeShortInteger: {
      int64_t value = StrToInt(expression);
      bool outOfRange = value <= INT32_MIN || value > INT32_MAX;
      if (type == kTypeShortInteger) {
        outOfRange = outOfRange || value > 32767 || value <= -32768;
      }
      if (outOfRange) {
        throw Exception(std::string(xdsmsg::kDefaultOutOfRange) + expression);
      }
      if (type == kTypeShortInteger) {
        put(static_cast<int16_t>(value));
      } else {
        put(static_cast<int32_t>(value));
      }
      return true;
    }
    case kTypeTime:
      put(static_cast<int32_t>(std::lround(StrToTime(expression) * kMSecsPerDay)));
      return true;
    case XDS_TYPE_TIMESTAMP:
      put(std::round((StrToDateTime(expression) + kDateDelta) * kMSecsPerDay));
      return true;
    default:
      return false;
  }
}

// Fills a blob cache with one field value of one record, unless it holds it
// already (then it is only rewound). The engine cursor may move.
void LoadBlobCache(TXdsBlobCache& cache, XDSHANDLE table, uint16_t fieldNo, bool force,
                   uint32_t recNo) {
  if (!force && cache.table == table && cache.recNo == recNo && cache.fieldNo == fieldNo) {
    cache.Seek(0, TStream::soBeginning);
    return;
  }
  cache.Reset();
  cache.table = table;
  cache.recNo = recNo;
  cache.fieldNo = fieldNo;
  if (recNo == 0) {
    return;  // a new record: the value is empty
  }
  try {
    uint32_t current = 0;
    CheckXceResult(nullptr, Xce().XdsGetRecordNum(table, XDS_COUNT_IGNORE_FILTERS, &current));
    if (current != recNo) {
      CheckXceResult(nullptr, Xce().XdsGotoRecord(table, recNo));
    }
    uint16_t type = 0;
    CheckXceResult(nullptr, Xce().XdsGetFieldType(table, fieldNo, &type));
    bool text = type == XDS_TYPE_MEMO || type == XDS_TYPE_VARCHAR;
    if (type == XDS_TYPE_MEMO) {
      uint16_t memoType = XDS_TYPE_MEMO;
      CheckXceResult(nullptr, Xce().XdsGetMemoDataType(table, fieldNo, &memoType));
      text = memoType == XDS_TYPE_MEMO;
    }
    uint32_t length = 0;
    XDSRESULT r = text ? Xce().XdsGetMemoLength(table, fieldNo, &length)
                       : Xce().XdsGetBinaryLength(table, fieldNo, &length);
    if (r == kXceNoCurrentRecord) {
      cache.recNo = 0;
      return;
    }
    CheckXceResult(nullptr, r);
    if (text) {
      ++length;  // room for the terminating NUL
    }
    cache.SetSize(length);
    uint32_t got = length;
    CheckXceResult(nullptr, Xce().XdsGetField(table, fieldNo, cache.Data().data(), &got,
                                              XDS_GET_NO_TRIM));
    if (got != length) {
      cache.SetSize(got);
    }
    cache.Seek(0, TStream::soBeginning);
  } catch (const EXDSDatabaseError& e) {
    cache.recNo = 0;
    cache.Clear();
    if (e.ErrorCode() != kXceNoCurrentRecord && e.ErrorCode() != kXceBadRecordNumber) {
      throw;
    }
  }
}

// A stream over one blob field's cache in one record buffer.
class TXdsBlobStream : public TStream {
 public:
  TXdsBlobStream(TDataSet& dataSet, TField& field, TBlobStreamMode mode, TXdsBlobCache* cache)
      : dataSet_(dataSet), field_(field), mode_(mode), cache_(cache) {
    if (mode_ == bmWrite && cache_ != nullptr) {
      cache_->Clear();
      cache_->modified = true;
      modified_ = true;
    }
  }
  ~TXdsBlobStream() override {
    if (!modified_) {
      return;
    }
    try {
      dataSet_.DataEvent(deFieldChange, &field_);
    } catch (...) {
      HandleApplicationException(std::current_exception());
    }
  }
  int64_t Read(void* buffer, int64_t count) override {
    return cache_ == nullptr ? 0 : cache_->Read(buffer, count);
  }
  int64_t Write(const void* buffer, int64_t count) override {
    if (mode_ == bmRead) {
      XdsDatabaseError(nullptr, xdsmsg::kReadOnlyBlob);
    }
    if (cache_ == nullptr) {
      XdsDatabaseError(nullptr, xdsmsg::kBlobNoCache);
    }
    int64_t written = cache_->Write(buffer, count);
    cache_->modified = true;
    modified_ = true;
    return written;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    return cache_ == nullptr ? 0 : cache_->Seek(offset, origin);
  }
  int64_t Size() override { return cache_ == nullptr ? 0 : cache_->Size(); }

 private:
  TDataSet& dataSet_;
  TField& field_;
  TBlobStreamMode mode_;
  TXdsBlobCache* cache_;
  bool modified_ = false;
};

}  // namespace

// --- New records ----------------------------------------------------------------

void TXdsDataSet::InternalInitRecord(TRecordBuffer* buffer) {
  TXdsRecordBuffer& b = Buf(buffer);
  // The blank record depends on the table's fields alone: asked once per
  // layout, as every Locate's search record starts from it.
  if (blankRecord_.size() == static_cast<size_t>(recordSize_)) {
    std::memcpy(b.Bytes(), blankRecord_.data(), blankRecord_.size());
  } else {
    CheckXceResult(this, Xce().XdsClearRecordBuffer(tableHandle_, b.Bytes(),
                                                    static_cast<uint32_t>(recordSize_)));
    blankRecord_.assign(b.Bytes(), b.Bytes() + recordSize_);
  }
  // Most tables declare no defaults: the search record of every Locate is
  // made here, so the field objects are gathered only when some have one.
  std::vector<TField*> objects;  // field object by engine number
  for (int i = 0; i < Fields().Count(); ++i) {
    TField* f = Fields()[i];
    if (f->FieldNo() > 0 && f->FieldKind() == fkData && !f->DefaultExpression().empty()) {
      if (objects.size() <= static_cast<size_t>(f->FieldNo())) {
        objects.resize(static_cast<size_t>(f->FieldNo()) + 1, nullptr);
      }
      objects[static_cast<size_t>(f->FieldNo())] = f;
    }
  }
  std::vector<uint8_t> native;
  for (int i = 0; i < xceFields_.Count(); ++i) {
    TXCEFieldDef& def = xceFields_[i];
    if (State() == dsEdit) {
      def.modified = true;
    }
    uint8_t* bytes = b.Bytes() + def.offset;
    if (def.type == XDS_TYPE_AUTOINC) {
      const int32_t none = -1;
      std::memcpy(bytes, &none, sizeof none);
      continue;
    }
    TField* field = def.number < objects.size() ? objects[def.number] : nullptr;
    if (field == nullptr || IsBlobType(def.type) || field->DefaultExpression().empty()) {
      continue;
    }
    try {
      if (DefaultNativeValue(*field, def.type, xds::Trim(field->DefaultExpression()), native)) {
        EncodeFieldValue(*field, def, bytes, native.data());
      }
    } catch (const std::exception& e) {
      XdsDatabaseError(this,
                       xdsmsg::kDefaultValue + field->DisplayName() + ")\r\n" + e.what(), 0);
    }
  }
  if (HasBlobs()) {
    ResetBlobCaches(b);
  }
  ClearCalcFields(buffer);
  ResetRecInfo(buffer);
}

void TXdsDataSet::InternalInsert() {
  TRecordBuffer* active = ActiveBuffer();
  // The framework left the bookmark of the record the new one goes before
  // (none for an append or an empty table); Cancel returns there.
  insertAtEnd_ = GetBookmarkFlag(active) == bfEOF;
  insertBeforeRecNo_ = GetBookmarkFlag(active) == bfCurrent ? BufBookmarkRecNo(active) : 0;
  SetBufBookmarkRecNo(active, 0);
}

void TXdsDataSet::DoOnNewRecord() {
  if ((openOptions_ & XDS_OPEN_INSERT_ALLOWED) == 0) {
    RaiseXceError(this, kXdsPermissionError, xdsmsg::kInsertPermissionTable);
  }
  // A detail table's new record starts with the master's key.
  if (TDataSet* master = ActiveMaster(); master != nullptr) {
    std::vector<TField*> from = master->GetFieldList(MasterFields);
    std::vector<TField*> to = DetailKeyFields(from.size());
    for (size_t i = 0; i < from.size() && i < to.size(); ++i) {
      to[i]->SetAsVariant(from[i]->AsVariant());
    }
  }
  TDataSet::DoOnNewRecord();
}

// --- Edit ---------------------------------------------------------------------------

void TXdsDataSet::InternalEdit() {
  if ((openOptions_ & XDS_OPEN_UPDATE_ALLOWED) == 0) {
    RaiseXceError(this, kXdsPermissionError, xdsmsg::kUpdatePermissionTable);
  }
  TRecordBuffer* active = ActiveBuffer();
  if (!exclusive_) {
    XDSRESULT r = Xce().XdsLockRecord(tableHandle_, BufBookmarkRecNo(active));
    if (r == kXceStaticView) {
      XdsDatabaseError(this, xdsmsg::kStaticView, kXceStaticView);
    }
    CheckXceResult(this, r);
  }
  // The edit starts from the values as stored now.
  if (FetchRecord(active, gmCurrent) != grOK) {
    if (!exclusive_) {
      (void)Xce().XdsUnlockRecord(tableHandle_, BufBookmarkRecNo(active));
    }
    Error(dbmsg::kRecordNotFound);
  }
  if (oldRecord_.empty()) {
    oldRecord_.resize(static_cast<size_t>(recordSize_) + 1);
  }
  std::memcpy(oldRecord_.data(), Buf(active).Bytes(), static_cast<size_t>(recordSize_));
  xceFields_.ClearModified();
}

// --- Post -------------------------------------------------------------------------------

void TXdsDataSet::InternalPost() {
  const TDataSetState state = State();
  if (state != dsEdit && state != dsInsert) {
    return;
  }
  CheckRequiredFields();
  TRecordBuffer* active = ActiveBuffer();
  TXdsRecordBuffer& b = Buf(active);
  if (state == dsEdit) {
    CheckXceResult(this, Xce().XdsGotoRecord(tableHandle_, BufBookmarkRecNo(active)));
  } else if (GetBookmarkFlag(active) != bfInserted) {
    // Flagged at once: a Post retried after a later step failed writes into
    // the record appended here instead of appending another.
    CheckXceResult(this, Xce().XdsAppendRecord(tableHandle_));
    SetBookmarkFlag(active, bfInserted);
    uint32_t recNo = 0;
    CheckXceResult(this, Xce().XdsGetRecordNum(tableHandle_, XDS_COUNT_IGNORE_FILTERS, &recNo));
    SetBufBookmarkRecNo(active, recNo);
  }
  std::vector<bool> hasDefault;
  if (state == dsInsert) {
    for (int i = 0; i < Fields().Count(); ++i) {
      const TField* f = Fields()[i];
      if (f->FieldNo() > 0 && f->FieldKind() == fkData && !f->DefaultExpression().empty()) {
        if (hasDefault.size() <= static_cast<size_t>(f->FieldNo())) {
          hasDefault.resize(static_cast<size_t>(f->FieldNo()) + 1, false);
        }
        hasDefault[static_cast<size_t>(f->FieldNo())] = true;
      }
    }
  }
  for (int i = xceFields_.Count() - 1; i >= 0; --i) {
    const TXCEFieldDef& def = xceFields_[i];
    bool write = def.modified || (def.number < hasDefault.size() && hasDefault[def.number]);
    if (!write || IsBlobType(def.type) || def.type == XDS_TYPE_AUTOINC) {
      continue;
    }
    const uint8_t* bytes = b.Bytes() + def.offset;
    XDSRESULT r;
    if (def.type == XDS_TYPE_STRING) {
      r = AllBlank(bytes, def.length)
              ? Xce().XdsSetEmpty(tableHandle_, def.number)
              : Xce().XdsSetField(tableHandle_, def.number, bytes, def.length);
    } else {
      r = Xce().XdsSetFieldRaw(tableHandle_, def.number, bytes, def.length);
    }
    CheckXceResult(this, r);
  }
  auto& caches = b.BlobCaches();
  for (size_t i = 0; i < caches.size() && i < blobFieldNos_.size(); ++i) {
    TXdsBlobCache& cache = *caches[i];
    if (!cache.modified) {
      continue;
    }
    const TXCEFieldDef* def = xceFields_.ByNumber(blobFieldNos_[i]);
    if (def != nullptr) {
      int32_t marker = cache.Data().empty() ? 0 : -1;
      std::memcpy(b.Bytes() + def->offset, &marker, sizeof marker);
    }
    CheckXceResult(this, Xce().XdsSetField(tableHandle_, blobFieldNos_[i], cache.Data().data(),
                                           static_cast<uint32_t>(cache.Data().size())));
    cache.modified = false;
  }
  CheckXceResult(this, Xce().XdsWriteRecord(tableHandle_));
  if (state == dsEdit && !exclusive_) {
    CheckXceResult(this, Xce().XdsUnlockRecord(tableHandle_, BufBookmarkRecNo(active)));
  }
}

void TXdsDataSet::InternalAddRecord(TRecordBuffer* buffer, bool) {
  if (buffer != ActiveBuffer()) {
    XdsDatabaseError(this, xdsmsg::kInternalAddRecord);
  }
  InternalPost();
}

// --- Cancel -------------------------------------------------------------------------------

void TXdsDataSet::InternalCancel() {
  XDSRESULT r = Xce().XdsCancelUpdate(tableHandle_);
  if (r != kXceNoCurrentRecord && r != kXceNoUpdatePending) {
    CheckXceResult(this, r);
  }
  TRecordBuffer* active = ActiveBuffer();
  if (State() == dsInsert) {
    if (insertAtEnd_) {
      InternalLast();
      return;
    }
    if (insertBeforeRecNo_ == 0) {
      InternalFirst();
      return;
    }
    CheckXceResult(this, Xce().XdsGotoBookmark(tableHandle_, insertBeforeRecNo_));
    // The refill that follows reads the record back.
    return;
  }
  const uint32_t recNo = BufBookmarkRecNo(active);
  (void)FetchRecord(active, gmCurrent);
  if (State() == dsEdit && !exclusive_) {
    CheckXceResult(this, Xce().XdsUnlockRecord(tableHandle_, recNo));
  }
}

// --- Delete ---------------------------------------------------------------------------------

void TXdsDataSet::InternalDelete() {
  try {
    CheckXceResult(this, Xce().XdsDeleteRecord(tableHandle_));
    CheckXceResult(this, Xce().XdsWriteRecord(tableHandle_));
  } catch (const EXDSDatabaseError&) {
    // The error is built (with the engine's text) before the cancel can
    // change the engine's last error.
    (void)Xce().XdsCancelUpdate(tableHandle_);
    throw;
  }
  uint16_t hidden = 0;
  CheckXceResult(this, Xce().XdsGetDeleted(tableHandle_, &hidden));
  if (hidden != 0) {
    XDSRESULT r = Xce().XdsSkip(orderHandle_, 1);
    if (r != kXceNoCurrentRecord) {
      CheckXceResult(this, r);
    }
  }
}

// --- Blob streams -----------------------------------------------------------------------------

std::unique_ptr<TStream> TXdsDataSet::CreateBlobStream(TField& field, TBlobStreamMode mode) {
  const TDataSetState state = State();
  const bool editing = state == dsEdit || state == dsInsert;
  if (mode != bmRead && !editing) {
    XdsDatabaseError(this, xdsmsg::kBlobWriteState);
  }
  TXdsBlobCache* cache = nullptr;
  TRecordBuffer* buffer = nullptr;
  switch (state) {
    case dsBrowse:
    case dsEdit:
    case dsInsert:
    case dsCalcFields:
    case dsNewValue:
      buffer = StateBuffer();
      break;
    default:
      break;
  }
  if (buffer != nullptr) {
    const TXCEFieldDef* def = xceFields_.ByNumber(field.FieldNo());
    if (def == nullptr || !IsBlobType(def->type)) {
      XdsDatabaseError(this, xdsmsg::kInvalidBlobOpen);
    }
    cache = BlobCacheOf(buffer, def->number);
    if (cache != nullptr) {
      bool force = editing && mode == bmReadWrite && !cache->modified;
      try {
        LoadBlobCache(*cache, tableHandle_, def->number, force, BufBookmarkRecNo(buffer));
      } catch (...) {
        CursorPosChanged();
        throw;
      }
      CursorPosChanged();
    }
  }
  return std::make_unique<TXdsBlobStream>(*this, field, mode, cache);
}

// --- Notifications ------------------------------------------------------------------------------

void TXdsDataSet::DataEvent(TDataEvent event, TField* field, int scrolled) {
  if (event == dePropertyChange) {
    IndexDefsOutOfDate();
  } else if (event == deUpdateState && State() == dsInsert) {
    // Defaults written by the new record's initialisation are not changes;
    // Post writes them because their fields have default expressions.
    xceFields_.ClearModified();
  }
  TDataSet::DataEvent(event, field, scrolled);
}
