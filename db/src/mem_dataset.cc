#include "db/mem_dataset.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "db/format.h"

struct TMemDataSet::Buffer : TRecordBuffer {
  std::vector<uint8_t> image;
  std::vector<std::string> blobs;
  std::vector<uint8_t> calc;
  int row = -1;  // the bookmark: index of the stored record
  int recNo = -1;
  TBookmarkFlag flag = bfCurrent;
};

namespace {

int NativeSize(TFieldType type, int size) {
  switch (type) {
    case ftString:
      return size + 1;
    case ftSmallint:
    case ftWord:
    case ftBoolean:
      return 2;
    case ftInteger:
    case ftAutoInc:
    case ftDate:
    case ftTime:
      return 4;
    case ftFloat:
    case ftCurrency:
    case ftDateTime:
      return 8;
    case ftBytes:
      return size;
    default:
      return 0;
  }
}

template <class T>
T Load(const uint8_t* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

template <class T>
void Store(uint8_t* p, T value) {
  std::memcpy(p, &value, sizeof value);
}

int CompareValues(const TVariant& a, const TVariant& b) {
  if (a.IsNull() || b.IsNull()) {
    return a.IsNull() == b.IsNull() ? 0 : (a.IsNull() ? -1 : 1);
  }
  if (a.GetKind() == TVariant::vkString || b.GetKind() == TVariant::vkString) {
    int c = a.AsString().compare(b.AsString());
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
  }
  double x = a.AsFloat();
  double y = b.AsFloat();
  return x < y ? -1 : (x > y ? 1 : 0);
}

}  // namespace

// A blob value of one record buffer, read and written in place.
class TMemDataSet::BlobStream : public TStream {
 public:
  BlobStream(TMemDataSet& dataSet, TField& field, std::string* value, TBlobStreamMode mode)
      : dataSet_(dataSet), field_(field), value_(value), mode_(mode) {
    if (mode_ == bmWrite && value_ != nullptr) {
      value_->clear();
      modified_ = true;
    }
  }
  ~BlobStream() override {
    if (!modified_) {
      return;
    }
    try {
      dataSet_.BlobWritten(field_);
    } catch (...) {
      HandleApplicationException(std::current_exception());
    }
  }
  int64_t Read(void* buffer, int64_t count) override {
    if (value_ == nullptr || count <= 0 || position_ >= static_cast<int64_t>(value_->size())) {
      return 0;
    }
    int64_t n = std::min<int64_t>(count, static_cast<int64_t>(value_->size()) - position_);
    std::memcpy(buffer, value_->data() + position_, static_cast<size_t>(n));
    position_ += n;
    return n;
  }
  int64_t Write(const void* buffer, int64_t count) override {
    if (mode_ == bmRead) {
      DatabaseError(Format(dbmsg::kInvalidBlobMode, field_.DisplayName().c_str()), dataSet_.Name());
    }
    if (value_ == nullptr) {
      DatabaseError(dbmsg::kNotEditing, dataSet_.Name());
    }
    if (count <= 0) {
      return 0;
    }
    auto end = static_cast<size_t>(position_ + count);
    if (end > value_->size()) {
      value_->resize(end);
    }
    std::memcpy(value_->data() + position_, buffer, static_cast<size_t>(count));
    position_ += count;
    modified_ = true;
    return count;
  }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? position_ : Size();
    position_ = std::max<int64_t>(0, base + offset);
    return position_;
  }
  int64_t Size() override { return value_ != nullptr ? static_cast<int64_t>(value_->size()) : 0; }

 private:
  TMemDataSet& dataSet_;
  TField& field_;
  std::string* value_;
  TBlobStreamMode mode_;
  int64_t position_ = 0;
  bool modified_ = false;
};

TMemDataSet::~TMemDataSet() { CloseWithoutEvents(); }

// ---------------------------------------------------------------------------
// Layout and values

void TMemDataSet::BuildLayout() {
  columns_.clear();
  imageSize_ = 0;
  blobCount_ = 0;
  std::string signature;
  int maxFieldNo = 0;
  for (int i = 0; i < FieldDefs().Count(); ++i) {
    maxFieldNo = std::max(maxFieldNo, FieldDefs()[i].FieldNo());
  }
  columns_.assign(static_cast<size_t>(maxFieldNo), Column{ftUnknown, 0, 0, 0, -1});
  for (int i = 0; i < FieldDefs().Count(); ++i) {
    const TFieldDef& def = FieldDefs()[i];
    Column& column = columns_[static_cast<size_t>(def.FieldNo() - 1)];
    column.type = def.DataType();
    column.size = def.Size();
    column.offset = imageSize_;
    column.dataSize = NativeSize(def.DataType(), def.Size());
    column.blob = IsBlobType(def.DataType()) ? blobCount_++ : -1;
    imageSize_ += 1 + column.dataSize;
    signature +=
        def.Name() + ':' + std::to_string(def.DataType()) + ':' + std::to_string(def.Size()) + ';';
  }
  if (signature != layoutSignature_) {
    rows_.clear();
    layoutSignature_ = signature;
  }
}

const TMemDataSet::Column* TMemDataSet::ColumnOf(const TField& field) const {
  int index = field.FieldNo() - 1;
  if (index < 0 || index >= static_cast<int>(columns_.size()) ||
      columns_[static_cast<size_t>(index)].type == ftUnknown) {
    return nullptr;
  }
  return &columns_[static_cast<size_t>(index)];
}

TVariant TMemDataSet::ColumnValue(int column, const std::vector<uint8_t>& image,
                                  const std::vector<std::string>& blobs) const {
  const Column& c = columns_[static_cast<size_t>(column)];
  if (c.blob >= 0) {
    const std::string& value = blobs[static_cast<size_t>(c.blob)];
    return value.empty() ? TVariant() : TVariant(value);
  }
  const uint8_t* p = image.data() + c.offset;
  if (p[0] == 0) {
    return {};
  }
  const uint8_t* data = p + 1;
  switch (c.type) {
    case ftString:
      return TVariant(std::string(reinterpret_cast<const char*>(data)));
    case ftSmallint:
      return TVariant(static_cast<int>(Load<int16_t>(data)));
    case ftWord:
      return TVariant(static_cast<int>(Load<uint16_t>(data)));
    case ftBoolean:
      return TVariant(Load<int16_t>(data) != 0);
    case ftInteger:
    case ftAutoInc:
      return TVariant(static_cast<int>(Load<int32_t>(data)));
    case ftFloat:
    case ftCurrency:
      return TVariant(Load<double>(data));
    case ftDate:
      return TVariant::FromDateTime(static_cast<double>(Load<int32_t>(data)) - kDateDelta);
    case ftTime:
      return TVariant::FromDateTime(Load<int32_t>(data) / kMSecsPerDay);
    case ftDateTime:
      return TVariant::FromDateTime(Load<double>(data) / kMSecsPerDay - kDateDelta);
    case ftBytes:
      return TVariant(
          std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(c.size)));
    default:
      return {};
  }
}

// Encodes a value into a column of a record image (used for defaults).
void TMemDataSet::StoreColumn(int column, std::vector<uint8_t>& image,
                              const TVariant& value) const {
  const Column& c = columns_[static_cast<size_t>(column)];
  uint8_t* p = image.data() + c.offset;
  std::memset(p, 0, static_cast<size_t>(1 + c.dataSize));
  if (value.IsNull() || c.blob >= 0) {
    return;
  }
  uint8_t* data = p + 1;
  switch (c.type) {
    case ftString: {
      std::string text = TrimRight(value.AsString()).substr(0, static_cast<size_t>(c.size));
      if (text.empty()) {
        return;
      }
      std::memcpy(data, text.data(), text.size());
      break;
    }
    case ftBoolean:
      Store<int16_t>(data, value.AsBoolean() ? -1 : 0);
      break;
    case ftSmallint:
      Store<int16_t>(data,
                     static_cast<int16_t>(std::clamp<int64_t>(value.AsInteger(), -32768, 32767)));
      break;
    case ftWord:
      Store<uint16_t>(data,
                      static_cast<uint16_t>(std::clamp<int64_t>(value.AsInteger(), 0, 65535)));
      break;
    case ftInteger:
    case ftAutoInc: {
      int64_t v = value.AsInteger();
      if (v < INT32_MIN || v > INT32_MAX) {
        throw EConvertError(Format(dbmsg::kInvalidInteger, value.AsString().c_str()));
      }
      Store<int32_t>(data, static_cast<int32_t>(v));
      break;
    }
    case ftFloat:
    case ftCurrency:
      Store<double>(data, value.AsFloat());
      break;
    case ftDate:
      Store<int32_t>(data, static_cast<int32_t>(std::floor(value.AsDateTime()) + kDateDelta));
      break;
    case ftTime:
      Store<int32_t>(data,
                     static_cast<int32_t>(std::round(
                         (value.AsDateTime() - std::floor(value.AsDateTime())) * kMSecsPerDay)));
      break;
    case ftDateTime:
      Store<double>(data, std::round((value.AsDateTime() + kDateDelta) * kMSecsPerDay));
      break;
    default:
      return;
  }
  p[0] = 1;
}

TVariant TMemDataSet::TRecordView::Value(const std::string& fieldName) const {
  const TFieldDef* def = owner_.FieldDefs().Find(fieldName);
  if (def == nullptr) {
    DatabaseError(Format(dbmsg::kFieldNotFound, fieldName.c_str()), owner_.Name());
  }
  const Row& row = owner_.rows_[static_cast<size_t>(row_)];
  return owner_.ColumnValue(def->FieldNo() - 1, row.image, row.blobs);
}

// ---------------------------------------------------------------------------
// Opening

void TMemDataSet::InternalOpen() {
  Probe("open");
  if (FieldDefs().Count() == 0) {
    Error("No field definitions");
  }
  CreateAndBindFields();
  BuildLayout();
  indexColumn_ = -1;
  if (!indexFieldNames_.empty()) {
    const TFieldDef* def = FieldDefs().Find(indexFieldNames_);
    if (def == nullptr) {
      Error(Format(dbmsg::kFieldNotFound, indexFieldNames_.c_str()));
    }
    indexColumn_ = def->FieldNo() - 1;
  }
  orderDirty_ = true;
  at_ = kBof;
  row_ = -1;
  open_ = true;
}

void TMemDataSet::InternalClose() {
  Probe("close");
  open_ = false;
}

// ---------------------------------------------------------------------------
// Buffers

TRecordBufferPtr TMemDataSet::AllocRecordBuffer() {
  auto buffer = std::make_unique<Buffer>();
  buffer->image.assign(static_cast<size_t>(imageSize_), 0);
  buffer->blobs.assign(static_cast<size_t>(blobCount_), std::string());
  buffer->calc.assign(static_cast<size_t>(CalcFieldsSize()), 0);
  return buffer;
}

void TMemDataSet::ClearCalcFields(TRecordBuffer* buffer) {
  auto* b = static_cast<Buffer*>(buffer);
  std::fill(b->calc.begin(), b->calc.end(), 0);
}

void TMemDataSet::ApplyDefaults(Buffer& buffer) {
  for (int i = 0; i < Fields().Count(); ++i) {
    TField* field = Fields()[i];
    const Column* column = ColumnOf(*field);
    std::string expression = Trim(field->DefaultExpression());
    if (column == nullptr || column->blob >= 0 || expression.empty()) {
      continue;
    }
    try {
      TVariant value;
      if (column->type == ftString) {
        if (expression.size() < 2 || expression.front() != '\'' || expression.back() != '\'') {
          continue;
        }
        value = TVariant(expression.substr(1, expression.size() - 2));
      } else if (column->type == ftBoolean) {
        std::string upper = AnsiUpperCase(expression);
        value = TVariant(upper == "TRUE" || upper == "T" || upper == ".T." || upper == "1");
      } else if (column->type == ftDate || column->type == ftDateTime) {
        value = TVariant::FromDateTime(StrToDateTime(expression));
      } else if (column->type == ftTime) {
        value = TVariant::FromDateTime(StrToTime(expression));
      } else {
        value = TVariant(StrToFloat(expression));
      }
      StoreColumn(field->FieldNo() - 1, buffer.image, value);
    } catch (const Exception& e) {
      throw EDatabaseError("Error setting default field value. (" + field->DisplayName() + ")\r\n" +
                           e.Message());
    }
  }
}

void TMemDataSet::InternalInitRecord(TRecordBuffer* buffer) {
  auto* b = static_cast<Buffer*>(buffer);
  std::fill(b->image.begin(), b->image.end(), 0);
  for (auto& blob : b->blobs) {
    blob.clear();
  }
  std::fill(b->calc.begin(), b->calc.end(), 0);
  b->row = -1;
  b->recNo = -1;
  b->flag = bfCurrent;
  ApplyDefaults(*b);
}

void TMemDataSet::FillBuffer(Buffer& buffer, int row) {
  const Row& stored = rows_[static_cast<size_t>(row)];
  buffer.image = stored.image;
  buffer.blobs = stored.blobs;
  buffer.row = row;
  buffer.recNo = row + 1;
  buffer.flag = bfCurrent;
  GetCalcFields(&buffer);
}

// ---------------------------------------------------------------------------
// Cursor

bool TMemDataSet::Visible(int row) const {
  if (rows_[static_cast<size_t>(row)].deleted) {
    return false;
  }
  return !Filtered() || !recordFilter_ || recordFilter_(TRecordView(*this, row));
}

void TMemDataSet::EnsureOrder() const {
  if (!orderDirty_ && order_.size() == rows_.size()) {
    return;
  }
  order_.resize(rows_.size());
  for (size_t i = 0; i < order_.size(); ++i) {
    order_[i] = static_cast<int>(i);
  }
  if (indexColumn_ >= 0) {
    std::vector<TVariant> keys;
    keys.reserve(rows_.size());
    for (const Row& row : rows_) {
      keys.push_back(ColumnValue(indexColumn_, row.image, row.blobs));
    }
    std::stable_sort(order_.begin(), order_.end(), [&keys](int a, int b) {
      return CompareValues(keys[static_cast<size_t>(a)], keys[static_cast<size_t>(b)]) < 0;
    });
  }
  position_.resize(rows_.size());
  for (size_t i = 0; i < order_.size(); ++i) {
    position_[static_cast<size_t>(order_[i])] = static_cast<int>(i);
  }
  orderDirty_ = false;
}

void TMemDataSet::MoveNext() {
  EnsureOrder();
  int n = static_cast<int>(order_.size());
  int p = at_ == kBof ? 0 : at_ == kEof ? n : position_[static_cast<size_t>(row_)] + 1;
  while (p < n && !Visible(order_[static_cast<size_t>(p)])) {
    ++p;
  }
  if (p < n) {
    at_ = kRow;
    row_ = order_[static_cast<size_t>(p)];
  } else {
    at_ = kEof;
  }
}

void TMemDataSet::MovePrior() {
  EnsureOrder();
  int n = static_cast<int>(order_.size());
  int p = at_ == kEof ? n - 1 : at_ == kBof ? -1 : position_[static_cast<size_t>(row_)] - 1;
  while (p >= 0 && !Visible(order_[static_cast<size_t>(p)])) {
    --p;
  }
  if (p >= 0) {
    at_ = kRow;
    row_ = order_[static_cast<size_t>(p)];
  } else {
    at_ = kBof;
  }
}

TGetResult TMemDataSet::GetRecord(TRecordBuffer* buffer, TGetMode mode, bool) {
  ++fetchCount_;
  if (!open_ || State() == dsInsert) {
    return grError;
  }
  if (mode == gmNext) {
    MoveNext();
  } else if (mode == gmPrior) {
    MovePrior();
  }
  for (;;) {
    if (at_ == kEof && mode != gmPrior) {
      return grEOF;
    }
    if (at_ == kBof && mode != gmNext) {
      return grBOF;
    }
    if (at_ != kRow || !Visible(row_)) {
      return grError;
    }
    auto* b = static_cast<Buffer*>(buffer);
    FillBuffer(*b, row_);
    if (FilterRecordAccepted(b)) {
      return grOK;
    }
    // Rejected records are passed over in the direction of travel; a
    // rejected current record moves forward.
    if (mode == gmPrior) {
      MovePrior();
    } else {
      MoveNext();
    }
  }
}

void TMemDataSet::InternalSetToRecord(TRecordBuffer* buffer) {
  ++setToRecordCount_;
  const auto* b = static_cast<const Buffer*>(buffer);
  if (b->row >= 0 && b->row < static_cast<int>(rows_.size())) {
    at_ = kRow;
    row_ = b->row;
  }
}

void TMemDataSet::InternalGotoBookmark(const TBookmark& bookmark) {
  if (bookmark.size() != sizeof(int32_t)) {
    return;
  }
  int32_t row = Load<int32_t>(bookmark.data());
  if (row >= 0 && row < static_cast<int>(rows_.size())) {
    at_ = kRow;
    row_ = row;
  }
}

void TMemDataSet::GetBookmarkData(const TRecordBuffer* buffer, TBookmark& data) const {
  data.resize(sizeof(int32_t));
  Store<int32_t>(data.data(), static_cast<const Buffer*>(buffer)->row);
}

void TMemDataSet::SetBookmarkData(TRecordBuffer* buffer, const TBookmark& data) {
  auto* b = static_cast<Buffer*>(buffer);
  b->row = data.size() == sizeof(int32_t) ? Load<int32_t>(data.data()) : -1;
}

TBookmarkFlag TMemDataSet::GetBookmarkFlag(const TRecordBuffer* buffer) const {
  return static_cast<const Buffer*>(buffer)->flag;
}

void TMemDataSet::SetBookmarkFlag(TRecordBuffer* buffer, TBookmarkFlag flag) {
  static_cast<Buffer*>(buffer)->flag = flag;
}

int TMemDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) const {
  if (a.size() != sizeof(int32_t) || b.size() != sizeof(int32_t)) {
    return TDataSet::CompareBookmarks(a, b);
  }
  auto ra = Load<int32_t>(a.data());
  auto rb = Load<int32_t>(b.data());
  int n = static_cast<int>(rows_.size());
  if (ra < 0 || rb < 0 || ra >= n || rb >= n) {
    return ra < rb ? -1 : (ra > rb ? 1 : 0);
  }
  EnsureOrder();
  int pa = position_[static_cast<size_t>(ra)];
  int pb = position_[static_cast<size_t>(rb)];
  return pa < pb ? -1 : (pa > pb ? 1 : 0);
}

bool TMemDataSet::BookmarkValid(const TBookmark& bookmark) {
  CursorPosChanged();
  if (!Active() || bookmark.size() != sizeof(int32_t)) {
    return false;
  }
  auto row = Load<int32_t>(bookmark.data());
  return row >= 0 && row < static_cast<int>(rows_.size()) &&
         !rows_[static_cast<size_t>(row)].deleted;
}

int TMemDataSet::GetRecNo() const {
  const auto* b =
      static_cast<const Buffer*>(State() == dsCalcFields ? CalcBuffer() : ActiveBuffer());
  return b != nullptr ? b->recNo : -1;
}

void TMemDataSet::SetRecNo(int value) {
  CheckBrowseMode();
  DoBeforeScroll();
  if (value < 1 || value > static_cast<int>(rows_.size()) ||
      rows_[static_cast<size_t>(value - 1)].deleted) {
    Error(dbmsg::kRecordNotFound);
  }
  at_ = kRow;
  row_ = value - 1;
  CursorPosChanged();
  Resync(rmCenter);
  DoAfterScroll();
}

double TMemDataSet::RecordPosition() {
  const auto* b = static_cast<const Buffer*>(ActiveBuffer());
  if (State() == dsInactive || State() == dsInsert || WindowRecordCount() == 0 ||
      b == nullptr || b->row < 0 || b->row >= static_cast<int>(rows_.size())) {
    return -1;
  }
  EnsureOrder();
  if (order_.size() < 2) {
    return 0;
  }
  return static_cast<double>(position_[static_cast<size_t>(b->row)]) /
         static_cast<double>(order_.size() - 1);
}

void TMemDataSet::SetRecordPosition(double position) {
  CheckBrowseMode();
  DoBeforeScroll();
  EnsureOrder();
  if (order_.empty()) {
    InternalFirst();
  } else {
    position = std::clamp(position, 0.0, 1.0);
    auto place = static_cast<size_t>(position * static_cast<double>(order_.size() - 1) + 0.5);
    at_ = kRow;
    row_ = order_[place];
  }
  // A hidden record there gives way to the next one shown, or the prior.
  CursorPosChanged();
  Resync(rmCenter);
  DoAfterScroll();
}

int TMemDataSet::StoredRecordCount() const {
  return static_cast<int>(
      std::count_if(rows_.begin(), rows_.end(), [](const Row& row) { return !row.deleted; }));
}

bool TMemDataSet::GetCurrentRecord(TRecordBuffer* dest) {
  if (IsEmpty() || WindowRecordCount() == 0 || GetBookmarkFlag(ActiveBuffer()) != bfCurrent) {
    return false;
  }
  UpdateCursorPos();
  auto* d = static_cast<Buffer*>(dest);
  const auto* a = static_cast<const Buffer*>(ActiveBuffer());
  d->image = a->image;
  d->blobs = a->blobs;
  return true;
}

// ---------------------------------------------------------------------------
// Filters and order

void TMemDataSet::SetRecordFilter(TRecordFilter filter) {
  recordFilter_ = std::move(filter);
  if (Active() && Filtered()) {
    First();
  }
}

void TMemDataSet::SetFiltered(bool value) {
  TDataSet::SetFiltered(value);
  if (Active()) {
    First();
  }
}

void TMemDataSet::SetFilter(const std::string& value) {
  TDataSet::SetFilter(value);
  if (Active() && Filtered()) {
    First();
  }
}

void TMemDataSet::SetIndexFieldNames(const std::string& fieldName) {
  if (!Active()) {
    indexFieldNames_ = Trim(fieldName);
    return;
  }
  int column = -1;
  std::string name = Trim(fieldName);
  if (!name.empty()) {
    const TFieldDef* def = FieldDefs().Find(name);
    if (def == nullptr) {
      Error(Format(dbmsg::kFieldNotFound, name.c_str()));
    }
    column = def->FieldNo() - 1;
  }
  CheckBrowseMode();
  // The cursor goes to the current record, the order changes, and the
  // window is rebuilt around that same record.
  UpdateCursorPos();
  indexFieldNames_ = name;
  indexColumn_ = column;
  orderDirty_ = true;
  try {
    ReallocateBufferWindow();
  } catch (...) {
    // No window to show the records in: closed rather than open without one.
    CloseWithoutEvents();
    throw;
  }
  Resync(0);
}

bool TMemDataSet::LocateSearchRecord(const std::vector<TField*>& fields, TLocateOptions options) {
  const auto* search = static_cast<const Buffer*>(FilterBuffer());
  std::vector<int> columns;
  std::vector<TVariant> wanted;
  for (TField* field : fields) {
    const Column* column = ColumnOf(*field);
    if (column == nullptr) {
      return false;  // calculated fields are not stored
    }
    int index = field->FieldNo() - 1;
    columns.push_back(index);
    wanted.push_back(ColumnValue(index, search->image, search->blobs));
  }
  bool caseInsensitive = (options & loCaseInsensitive) != 0;
  bool partial = (options & loPartialKey) != 0;
  EnsureOrder();
  for (int row : order_) {
    if (!Visible(row)) {
      continue;
    }
    const Row& stored = rows_[static_cast<size_t>(row)];
    bool match = true;
    for (size_t i = 0; i < columns.size() && match; ++i) {
      TVariant value = ColumnValue(columns[i], stored.image, stored.blobs);
      if (wanted[i].IsNull() || value.IsNull()) {
        match = wanted[i].IsNull() && value.IsNull();
      } else if (wanted[i].GetKind() == TVariant::vkString) {
        std::string have = value.AsString();
        std::string want = wanted[i].AsString();
        if (caseInsensitive) {
          have = AnsiUpperCase(have);
          want = AnsiUpperCase(want);
        }
        match = partial ? have.compare(0, want.size(), want) == 0 : have == want;
      } else {
        match = CompareValues(value, wanted[i]) == 0;
      }
    }
    if (match) {
      at_ = kRow;
      row_ = row;
      return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------
// Field data

bool TMemDataSet::GetFieldData(const TField& field, void* dest) const {
  const auto* b = static_cast<const Buffer*>(StateBuffer());
  if (b == nullptr) {
    return false;
  }
  if (field.FieldNo() <= 0) {
    TDataSetState state = State();
    if (state != dsBrowse && state != dsEdit && state != dsInsert && state != dsCalcFields &&
        state != dsFilter) {
      return false;
    }
    return ReadCalcFieldData(field, b, b->calc.data(), dest);
  }
  const Column* column = ColumnOf(field);
  if (column == nullptr) {
    return false;
  }
  if (column->blob >= 0) {
    return !b->blobs[static_cast<size_t>(column->blob)].empty();
  }
  const uint8_t* p = b->image.data() + column->offset;
  if (p[0] == 0) {
    return false;
  }
  if (dest != nullptr) {
    std::memcpy(dest, p + 1, static_cast<size_t>(std::min(column->dataSize, field.DataSize())));
  }
  return true;
}

void TMemDataSet::SetFieldData(TField& field, const void* source) {
  TDataSetState state = State();
  if (state != dsEdit && state != dsInsert && state != dsSetKey && state != dsCalcFields &&
      state != dsFilter && state != dsNewValue && state != dsInternalCalc) {
    Error(dbmsg::kNotEditing);
  }
  auto* b = static_cast<Buffer*>(StateBuffer());
  if (b == nullptr) {
    Error(dbmsg::kNotEditing);
  }
  if (field.FieldNo() <= 0) {
    if (state == dsSetKey) {
      Error(Format(dbmsg::kNotCalcField, field.DisplayName().c_str()));
    }
    WriteCalcFieldData(field, b->calc.data(), source);
    NotifyFieldWritten(field);
    return;
  }
  if (state == dsCalcFields) {
    Error(dbmsg::kNotEditing);
  }
  if (field.ReadOnly() && state != dsSetKey && state != dsFilter) {
    Error(Format(dbmsg::kFieldReadOnly, field.DisplayName().c_str()));
  }
  const Column* column = ColumnOf(field);
  if (column == nullptr) {
    Error(Format(dbmsg::kFieldNotFound, field.FieldName().c_str()));
  }
  if (state == dsEdit || state == dsInsert) {
    field.Validate(source);
  }
  if (column->blob >= 0) {
    if (source == nullptr) {
      b->blobs[static_cast<size_t>(column->blob)].clear();
    }
  } else {
    uint8_t* p = b->image.data() + column->offset;
    std::memset(p, 0, static_cast<size_t>(1 + column->dataSize));
    if (source != nullptr) {
      std::memcpy(p + 1, source, static_cast<size_t>(column->dataSize));
      p[0] = 1;
      if (column->type == ftString) {
        // Like a character field: trailing blanks are not kept, and a value
        // of blanks is no value.
        char* text = reinterpret_cast<char*>(p + 1);
        text[column->size] = '\0';
        size_t length = std::strlen(text);
        while (length > 0 && text[length - 1] == ' ') {
          text[--length] = '\0';
        }
        p[0] = length > 0 ? 1 : 0;
      }
    }
  }
  NotifyFieldWritten(field);
}

std::unique_ptr<TStream> TMemDataSet::CreateBlobStream(TField& field, TBlobStreamMode mode) {
  const Column* column = ColumnOf(field);
  if (column == nullptr || column->blob < 0) {
    Error(Format(dbmsg::kNotBlobField, field.DisplayName().c_str()));
  }
  if (mode != bmRead && State() != dsEdit && State() != dsInsert) {
    Error(dbmsg::kNotEditing);
  }
  auto* b = static_cast<Buffer*>(StateBuffer());
  std::string* value = b != nullptr ? &b->blobs[static_cast<size_t>(column->blob)] : nullptr;
  return std::make_unique<BlobStream>(*this, field, value, mode);
}

// ---------------------------------------------------------------------------
// Editing

void TMemDataSet::InternalEdit() {
  Probe("edit");
  if (at_ == kRow) {
    FillBuffer(*static_cast<Buffer*>(ActiveBuffer()), row_);
  }
}

void TMemDataSet::InternalPost() {
  Probe("post");
  CheckRequiredFields();
  auto* b = static_cast<Buffer*>(ActiveBuffer());
  int row = b->row;
  if (State() == dsEdit) {
    Row& stored = rows_.at(static_cast<size_t>(row));
    stored.image = b->image;
    stored.blobs = b->blobs;
  } else {
    rows_.push_back(Row{b->image, b->blobs, false});
    row = static_cast<int>(rows_.size()) - 1;
    b->row = row;
    b->recNo = row + 1;
    b->flag = bfInserted;
  }
  orderDirty_ = true;
  at_ = kRow;
  row_ = row;
}

void TMemDataSet::InternalDelete() {
  Probe("delete");
  if (at_ != kRow) {
    Error(dbmsg::kRecordNotFound);
  }
  rows_[static_cast<size_t>(row_)].deleted = true;
  MoveNext();
}
