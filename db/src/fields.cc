#include "db/fields.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "db/dataset.h"
#include "db/db_error.h"
#include "db/format.h"

// ---------------------------------------------------------------------------
// TField

TField::TField(TFieldType dataType, int size) : dataType_(dataType), size_(size) {}

TField::~TField() {
  if (lookupDataSet_ != nullptr) {
    lookupDataSet_->RemoveLookupUser(this);
  }
}

void TField::CheckInactive() const {
  if (dataSet_ != nullptr) {
    dataSet_->CheckInactive();
  }
}

void TField::SetFieldName(const std::string& fieldName) {
  CheckInactive();
  fieldName_ = fieldName;
}

void TField::SetFieldKind(TFieldKind kind) {
  CheckInactive();
  fieldKind_ = kind;
}

void TField::SetSize(int size) {
  CheckInactive();
  size_ = std::max(size, 0);
}

void TField::SetKeyFields(const std::string& fields) {
  CheckInactive();
  keyFields_ = fields;
}

void TField::SetLookupKeyFields(const std::string& fields) {
  CheckInactive();
  lookupKeyFields_ = fields;
}

void TField::SetLookupResultField(const std::string& field) {
  CheckInactive();
  lookupResultField_ = field;
}

void TField::SetLookupDataSet(TDataSet* dataSet) {
  CheckInactive();
  if (lookupDataSet_ == dataSet) {
    return;
  }
  if (lookupDataSet_ != nullptr) {
    lookupDataSet_->RemoveLookupUser(this);
  }
  lookupDataSet_ = dataSet;
  if (lookupDataSet_ != nullptr) {
    lookupDataSet_->AddLookupUser(this);
  }
}

int TField::Index() const { return dataSet_ != nullptr ? dataSet_->Fields().IndexOf(this) : -1; }

const std::string& TField::DisplayName() const {
  return displayLabel_.empty() ? fieldName_ : displayLabel_;
}

void TField::AccessError(const char* typeName) const {
  DatabaseError(Format(dbmsg::kFieldAccessError, DisplayName().c_str(), typeName));
}

void TField::RangeError(const std::string& value, const std::string& min,
                        const std::string& max) const {
  DatabaseError(Format(dbmsg::kFieldRangeError, value.c_str(), DisplayName().c_str(), min.c_str(),
                       max.c_str()));
}

std::string TField::ReadString() const { AccessError("String"); }
void TField::WriteString(const std::string&) { AccessError("String"); }
int32_t TField::ReadInteger() const { AccessError("Integer"); }
void TField::WriteInteger(int32_t) { AccessError("Integer"); }
double TField::ReadFloat() const { AccessError("Float"); }
void TField::WriteFloat(double) { AccessError("Float"); }
bool TField::ReadBoolean() const { AccessError("Boolean"); }
void TField::WriteBoolean(bool) { AccessError("Boolean"); }
TDateTime TField::ReadDateTime() const { AccessError("DateTime"); }
void TField::WriteDateTime(TDateTime) { AccessError("DateTime"); }
TVariant TField::ReadVariant() const { AccessError("Variant"); }
void TField::WriteVariant(const TVariant&) { AccessError("Variant"); }

std::string TField::GetText(bool) const { return ReadString(); }
void TField::SetTextValue(const std::string& text) { WriteString(text); }

bool TField::GetData(void* destination) const {
  if (validating_) {
    if (validateBuffer_ == nullptr) {
      return false;
    }
    if (destination != nullptr) {
      std::memcpy(destination, validateBuffer_, static_cast<size_t>(DataSize()));
    }
    return true;
  }
  if (dataSet_ == nullptr) {
    return false;
  }
  return dataSet_->GetFieldData(*this, destination);
}

void TField::SetData(const void* source) {
  if (dataSet_ == nullptr) {
    DatabaseError(Format("Field '%s' has no dataset", DisplayName().c_str()));
  }
  dataSet_->SetFieldData(*this, source);
}

void TField::Validate(const void* newValue) {
  if (!OnValidate) {
    return;
  }
  validating_ = true;
  validateBuffer_ = newValue;
  try {
    OnValidate(*this);
  } catch (...) {
    validating_ = false;
    throw;
  }
  validating_ = false;
}

void TField::Change() {
  if (OnChange) {
    OnChange(*this);
  }
}

void TField::FocusControl() {
  if (dataSet_ != nullptr) {
    dataSet_->DataEvent(deFocusControl, this);
  }
}

bool TField::IsNull() const { return !GetData(nullptr); }

// A lookup field written outside the states that fill buffers chooses the
// lookup record: the key goes into the key fields.
bool TField::LookupWrite() const {
  if (fieldKind_ != fkLookup || dataSet_ == nullptr) {
    return false;
  }
  TDataSetState state = dataSet_->State();
  return state != dsCalcFields && state != dsFilter && state != dsInternalCalc;
}

void TField::WriteLookup(const TVariant& value) {
  if (value.IsNull()) {
    dataSet_->SetFieldValues(keyFields_, TVariant());
    return;
  }
  if (lookupDataSet_ == nullptr || keyFields_.empty() || lookupKeyFields_.empty() ||
      lookupResultField_.empty()) {
    DatabaseError(Format(dbmsg::kLookupInfoError, DisplayName().c_str()), dataSet_->Name());
  }
  TVariant key = lookupDataSet_->Lookup(lookupResultField_, value, lookupKeyFields_);
  if (key.IsNull()) {
    DatabaseError(
        Format(dbmsg::kLookupValueNotFound, value.AsString().c_str(), DisplayName().c_str()),
        dataSet_->Name());
  }
  dataSet_->SetFieldValues(keyFields_, key);
}

void TField::SetLookupKey(const TVariant& key) {
  if (dataSet_ == nullptr || keyFields_.empty()) {
    DatabaseError(Format(dbmsg::kLookupInfoError, DisplayName().c_str()));
  }
  dataSet_->SetFieldValues(keyFields_, key);
}

void TField::Clear() {
  if (LookupWrite()) {
    WriteLookup(TVariant());
  } else if (IsBlob()) {
    WriteString(std::string());
  } else {
    SetData(nullptr);
  }
}

void TField::SetAsString(const std::string& value) {
  if (LookupWrite()) {
    WriteLookup(TVariant(value));
  } else {
    WriteString(value);
  }
}

void TField::SetAsInteger(int32_t value) {
  if (LookupWrite()) {
    WriteLookup(TVariant(value));
  } else {
    WriteInteger(value);
  }
}

void TField::SetAsFloat(double value) {
  if (LookupWrite()) {
    WriteLookup(TVariant(value));
  } else {
    WriteFloat(value);
  }
}

void TField::SetAsBoolean(bool value) {
  if (LookupWrite()) {
    WriteLookup(TVariant(value));
  } else {
    WriteBoolean(value);
  }
}

void TField::SetAsDateTime(TDateTime value) {
  if (LookupWrite()) {
    WriteLookup(TVariant::FromDateTime(value));
  } else {
    WriteDateTime(value);
  }
}

void TField::SetAsVariant(const TVariant& value) {
  if (LookupWrite()) {
    WriteLookup(value);
  } else if (value.IsNull()) {
    Clear();
  } else {
    WriteVariant(value);
  }
}

std::string TField::Text() const {
  std::string text;
  if (OnGetText) {
    OnGetText(const_cast<TField&>(*this), text, false);
    return text;
  }
  return GetText(false);
}

std::string TField::DisplayText() const {
  std::string text;
  if (OnGetText) {
    OnGetText(const_cast<TField&>(*this), text, true);
    return text;
  }
  return GetText(true);
}

void TField::SetText(const std::string& text) {
  if (OnSetText) {
    OnSetText(*this, text);
  } else if (LookupWrite()) {
    WriteLookup(text.empty() ? TVariant() : TVariant(text));
  } else {
    SetTextValue(text);
  }
}

// ---------------------------------------------------------------------------
// TStringField

TStringField::TStringField(int size) : TField(ftString, size) {}

std::string TStringField::ReadString() const {
  // One allocation per read: the value is read straight into the string.
  std::string value(static_cast<size_t>(DataSize()), '\0');
  if (!GetData(value.data())) {
    return {};
  }
  value.resize(std::strlen(value.c_str()));
  return value;
}

void TStringField::WriteString(const std::string& value) {
  // The value is cut to the field's size (and at an embedded NUL).
  std::vector<char> buffer(static_cast<size_t>(DataSize()), '\0');
  size_t length = std::min(value.size(), static_cast<size_t>(Size()));
  length = std::min(length, std::strlen(value.c_str()));
  std::memcpy(buffer.data(), value.data(), length);
  SetData(buffer.data());
}

int32_t TStringField::ReadInteger() const {
  std::string text = ReadString();
  if (text.empty()) {
    return 0;
  }
  int64_t value = StrToInt(text);
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    throw EConvertError(Format(dbmsg::kInvalidInteger, text.c_str()));
  }
  return static_cast<int32_t>(value);
}

void TStringField::WriteInteger(int32_t value) { WriteString(std::to_string(value)); }

double TStringField::ReadFloat() const {
  std::string text = ReadString();
  return text.empty() ? 0 : StrToFloat(text);
}

void TStringField::WriteFloat(double value) { WriteString(FloatToStr(value)); }

bool TStringField::ReadBoolean() const {
  std::string text = ReadString();
  return text.empty() ? false : TVariant(text).AsBoolean();
}

void TStringField::WriteBoolean(bool value) { WriteString(value ? "T" : "F"); }

TDateTime TStringField::ReadDateTime() const {
  std::string text = ReadString();
  return text.empty() ? 0 : StrToDateTime(text);
}

void TStringField::WriteDateTime(TDateTime value) { WriteString(FormatDateTime("c", value)); }

// ---------------------------------------------------------------------------
// Numbers

TNumericField::TNumericField(TFieldType dataType, int size) : TField(dataType, size) {
  SetAlignment(taRightJustify);
}

std::string TNumericField::GetText(bool displayText) const {
  if (IsNull()) {
    return {};
  }
  const std::string& format = displayText || EditFormat().empty() ? DisplayFormat() : EditFormat();
  if (!format.empty()) {
    return FormatFloat(format, ReadFloat());
  }
  return PlainText();
}

TIntegerField::TIntegerField()
    : TIntegerField(ftInteger, std::numeric_limits<int32_t>::min(),
                    std::numeric_limits<int32_t>::max()) {}

TIntegerField::TIntegerField(TFieldType dataType, int64_t nativeMin, int64_t nativeMax)
    : TNumericField(dataType, 0), nativeMin_(nativeMin), nativeMax_(nativeMax) {}

void TIntegerField::CheckRange(int64_t value) const {
  int64_t min = nativeMin_;
  int64_t max = nativeMax_;
  if (minValue_ != 0 || maxValue_ != 0) {
    min = std::max(min, minValue_);
    max = std::min(max, maxValue_);
  }
  if (value < min || value > max) {
    RangeError(std::to_string(value), std::to_string(min), std::to_string(max));
  }
}

int32_t TIntegerField::ReadInteger() const {
  int32_t value = 0;
  return LoadInteger(value) ? value : 0;
}

void TIntegerField::WriteInteger(int32_t value) {
  CheckRange(value);
  StoreInteger(value);
}

std::string TIntegerField::ReadString() const {
  int32_t value = 0;
  return LoadInteger(value) ? std::to_string(value) : std::string();
}

void TIntegerField::WriteString(const std::string& value) {
  if (Trim(value).empty()) {
    Clear();
    return;
  }
  int64_t parsed = StrToInt(value);
  CheckRange(parsed);
  StoreInteger(static_cast<int32_t>(parsed));
}

void TIntegerField::WriteFloat(double value) {
  int64_t rounded = 0;
  if (!DoubleToInt(value, std::numeric_limits<int64_t>::min() / 2,
                   std::numeric_limits<int64_t>::max() / 2, rounded)) {
    RangeError(FloatToStr(value), std::to_string(nativeMin_), std::to_string(nativeMax_));
  }
  CheckRange(rounded);
  StoreInteger(static_cast<int32_t>(rounded));
}

void TIntegerField::WriteVariant(const TVariant& value) {
  if (value.GetKind() == TVariant::vkString) {
    WriteString(value.AsString());
  } else if (value.GetKind() == TVariant::vkFloat || value.GetKind() == TVariant::vkDateTime) {
    WriteFloat(value.AsFloat());
  } else {
    int64_t v = value.AsInteger();
    CheckRange(v);
    StoreInteger(static_cast<int32_t>(v));
  }
}

TAutoIncField::TAutoIncField() : TIntegerField() { SetDataType(ftAutoInc); }

TFloatField::TFloatField() : TNumericField(ftFloat, 0) {}

TCurrencyField::TCurrencyField() {
  SetDataType(ftCurrency);
  SetCurrency(true);
}

double TFloatField::ReadFloat() const {
  double value = 0;
  return ReadNative(value) ? value : 0;
}

void TFloatField::WriteFloat(double value) {
  if (!std::isfinite(value)) {
    throw EConvertError(Format(dbmsg::kInvalidFloat, FloatToStr(value).c_str()));
  }
  if ((minValue_ != 0 || maxValue_ != 0) && (value < minValue_ || value > maxValue_)) {
    RangeError(FloatToStr(value), FloatToStr(minValue_), FloatToStr(maxValue_));
  }
  WriteNative(value);
}

int32_t TFloatField::ReadInteger() const {
  double value = ReadFloat();
  int64_t result = 0;
  if (!DoubleToInt(value, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(),
                   result)) {
    throw EConvertError(Format(dbmsg::kInvalidInteger, FloatToStr(value).c_str()));
  }
  return static_cast<int32_t>(result);
}

std::string TFloatField::ReadString() const {
  double value = 0;
  return ReadNative(value) ? FloatToStr(value, precision_) : std::string();
}

void TFloatField::WriteString(const std::string& value) {
  if (Trim(value).empty()) {
    Clear();
  } else {
    WriteFloat(StrToFloat(value));
  }
}

void TFloatField::WriteVariant(const TVariant& value) {
  if (value.GetKind() == TVariant::vkString) {
    WriteString(value.AsString());
  } else {
    WriteFloat(value.AsFloat());
  }
}

std::string TFloatField::PlainText() const {
  if (currency_) {
    return FormatFloat("0.00", ReadFloat());
  }
  return FloatToStr(ReadFloat(), precision_);
}

// ---------------------------------------------------------------------------
// TBooleanField

TBooleanField::TBooleanField() : TField(ftBoolean, 0) {}

std::string TBooleanField::TrueText() const {
  return displayValues_.substr(0, displayValues_.find(';'));
}

std::string TBooleanField::FalseText() const {
  size_t semicolon = displayValues_.find(';');
  return semicolon == std::string::npos ? std::string() : displayValues_.substr(semicolon + 1);
}

bool TBooleanField::ReadBoolean() const {
  int16_t value = 0;
  return ReadNative(value) && value != 0;
}

void TBooleanField::WriteBoolean(bool value) { WriteNative(static_cast<int16_t>(value ? -1 : 0)); }

std::string TBooleanField::ReadString() const {
  int16_t value = 0;
  if (!ReadNative(value)) {
    return {};
  }
  return value != 0 ? TrueText() : FalseText();
}

void TBooleanField::WriteString(const std::string& value) {
  std::string text = Trim(value);
  if (text.empty()) {
    Clear();
  } else if (SameText(text, TrueText())) {
    WriteBoolean(true);
  } else if (SameText(text, FalseText())) {
    WriteBoolean(false);
  } else {
    WriteBoolean(TVariant(text).AsBoolean());
  }
}

void TBooleanField::WriteVariant(const TVariant& value) {
  if (value.GetKind() == TVariant::vkString) {
    WriteString(value.AsString());
  } else {
    WriteBoolean(value.AsBoolean());
  }
}

// ---------------------------------------------------------------------------
// Dates and times

TDateTimeField::TDateTimeField() : TDateTimeField(ftDateTime) {}
TDateTimeField::TDateTimeField(TFieldType dataType) : TField(dataType, 0) {}

TDateTime TDateTimeField::ReadDateTime() const {
  double ms = 0;
  return ReadNative(ms) ? ms / kMSecsPerDay - kDateDelta : 0;
}

void TDateTimeField::WriteDateTime(TDateTime value) {
  if (!std::isfinite(value)) {
    throw EConvertError(Format(dbmsg::kInvalidDateTime, FloatToStr(value).c_str()));
  }
  double ms = std::round((value + kDateDelta) * kMSecsPerDay);
  WriteNative(ms);
}

std::string TDateTimeField::DefaultFormat() const { return "c"; }

TDateTime TDateTimeField::ParseText(const std::string& text) const { return StrToDateTime(text); }

std::string TDateTimeField::GetText(bool displayText) const {
  if (IsNull()) {
    return {};
  }
  const std::string& format = displayText ? DisplayFormat() : std::string();
  return FormatDateTime(format.empty() ? DefaultFormat() : format, ReadDateTime());
}

void TDateTimeField::WriteString(const std::string& value) {
  if (Trim(value).empty()) {
    Clear();
  } else {
    WriteDateTime(ParseText(value));
  }
}

void TDateTimeField::WriteVariant(const TVariant& value) {
  if (value.GetKind() == TVariant::vkString) {
    WriteString(value.AsString());
  } else {
    WriteDateTime(value.AsDateTime());
  }
}

TDateField::TDateField() : TDateTimeField(ftDate) {}

TDateTime TDateField::ReadDateTime() const {
  int32_t days = 0;
  return ReadNative(days) ? static_cast<double>(days) - kDateDelta : 0;
}

void TDateField::WriteDateTime(TDateTime value) {
  int64_t days = 0;
  if (!DoubleToInt(std::floor(value) + kDateDelta, 1, 3652059, days)) {
    throw EConvertError(Format(dbmsg::kInvalidDate, FloatToStr(value).c_str()));
  }
  WriteNative(static_cast<int32_t>(days));
}

std::string TDateField::DefaultFormat() const { return FormatSettings().ShortDateFormat; }

TDateTime TDateField::ParseText(const std::string& text) const { return StrToDate(text); }

TTimeField::TTimeField() : TDateTimeField(ftTime) {}

TDateTime TTimeField::ReadDateTime() const {
  int32_t ms = 0;
  return ReadNative(ms) ? ms / kMSecsPerDay : 0;
}

void TTimeField::WriteDateTime(TDateTime value) {
  if (!std::isfinite(value)) {
    throw EConvertError(Format(dbmsg::kInvalidTime, FloatToStr(value).c_str()));
  }
  double fraction = std::fabs(value - std::trunc(value));
  auto ms = static_cast<int32_t>(std::min(std::round(fraction * kMSecsPerDay), kMSecsPerDay - 1));
  WriteNative(ms);
}

std::string TTimeField::DefaultFormat() const { return FormatSettings().LongTimeFormat; }

TDateTime TTimeField::ParseText(const std::string& text) const { return StrToTime(text); }

// ---------------------------------------------------------------------------
// Bytes and blobs

TBytesField::TBytesField(int size) : TField(ftBytes, size) {}

std::string TBytesField::ReadString() const {
  std::string buffer(static_cast<size_t>(DataSize()), '\0');
  return GetData(buffer.data()) ? buffer : std::string();
}

void TBytesField::WriteString(const std::string& value) {
  std::string buffer(static_cast<size_t>(DataSize()), '\0');
  std::memcpy(buffer.data(), value.data(), std::min(value.size(), buffer.size()));
  SetData(buffer.data());
}

TBlobField::TBlobField() : TBlobField(ftBlob) {}
TBlobField::TBlobField(TFieldType dataType) : TField(dataType, 0), blobType_(dataType) {}
TMemoField::TMemoField() : TBlobField(ftMemo) {}
TGraphicField::TGraphicField() : TBlobField(ftGraphic) {}

std::string TBlobField::ReadString() const {
  if (DataSet() == nullptr || IsNull()) {
    return {};
  }
  auto stream = DataSet()->CreateBlobStream(const_cast<TBlobField&>(*this), bmRead);
  return stream ? stream->ReadAll() : std::string();
}

void TBlobField::WriteString(const std::string& value) {
  if (DataSet() == nullptr) {
    DatabaseError(Format("Field '%s' has no dataset", DisplayName().c_str()));
  }
  auto stream = DataSet()->CreateBlobStream(*this, bmWrite);
  if (stream) {
    stream->WriteString(value);
  }
}

int64_t TBlobField::BlobSize() const {
  if (DataSet() == nullptr || IsNull()) {
    return 0;
  }
  auto stream = DataSet()->CreateBlobStream(const_cast<TBlobField&>(*this), bmRead);
  return stream ? stream->Size() : 0;
}

std::string TBlobField::GetText(bool displayText) const {
  if (!displayText) {
    return ReadString();
  }
  std::string name = FieldTypeName(DataType());
  return IsNull() ? "(" + name + ")" : "(" + AnsiUpperCase(name) + ")";
}

std::unique_ptr<TField> CreateFieldOfType(TFieldType type, int size) {
  switch (type) {
    case ftString:
      return std::make_unique<TStringField>(size);
    case ftSmallint:
      return std::make_unique<TSmallintField>();
    case ftInteger:
      return std::make_unique<TIntegerField>();
    case ftWord:
      return std::make_unique<TWordField>();
    case ftAutoInc:
      return std::make_unique<TAutoIncField>();
    case ftBoolean:
      return std::make_unique<TBooleanField>();
    case ftFloat:
      return std::make_unique<TFloatField>();
    case ftCurrency:
      return std::make_unique<TCurrencyField>();
    case ftDate:
      return std::make_unique<TDateField>();
    case ftTime:
      return std::make_unique<TTimeField>();
    case ftDateTime:
      return std::make_unique<TDateTimeField>();
    case ftBytes:
      return std::make_unique<TBytesField>(size);
    case ftBlob:
      return std::make_unique<TBlobField>();
    case ftMemo:
      return std::make_unique<TMemoField>();
    case ftGraphic:
      return std::make_unique<TGraphicField>();
    default:
      return nullptr;
  }
}

// ---------------------------------------------------------------------------
// TFields

TField* TFields::Add(std::unique_ptr<TField> field) {
  if (!field) {
    return nullptr;
  }
  owner_->CheckInactive();
  if (field->dataSet_ != nullptr && field->dataSet_ != owner_) {
    DatabaseError("Field belongs to another dataset");
  }
  if (!field->FieldName().empty() && FindField(field->FieldName()) != nullptr) {
    DatabaseError(Format(dbmsg::kDuplicateFieldName, field->FieldName().c_str()), owner_->Name());
  }
  field->dataSet_ = owner_;
  items_.push_back(std::move(field));
  return items_.back().get();
}

void TFields::Remove(TField* field) {
  owner_->CheckInactive();
  auto it = std::find_if(items_.begin(), items_.end(),
                         [field](const std::unique_ptr<TField>& f) { return f.get() == field; });
  if (it != items_.end()) {
    items_.erase(it);
  }
}

void TFields::Clear() { items_.clear(); }

int TFields::IndexOf(const TField* field) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    if (items_[i].get() == field) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

TField* TFields::FindField(const std::string& fieldName) const {
  for (const auto& field : items_) {
    if (SameText(field->FieldName(), fieldName)) {
      return field.get();
    }
  }
  return nullptr;
}

std::vector<TField*> TFields::List() const {
  std::vector<TField*> result;
  result.reserve(items_.size());
  for (const auto& field : items_) {
    result.push_back(field.get());
  }
  return result;
}
