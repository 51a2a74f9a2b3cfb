// Field objects: they read and write one field of the dataset's current
// record (the buffer of the dataset's state) in the field's native form and
// convert it to and from text, numbers, dates and variants.
//
// Native forms: strings are Size()+1 bytes ending in NUL; booleans 16-bit
// (true -1); smallint and word 16-bit; integer and autoinc 32-bit; float and
// currency 64-bit doubles; dates 32-bit day numbers (1 January of year 1 is
// day 1); times 32-bit milliseconds since midnight; date-times 64-bit double
// milliseconds counted from the same day 1; bytes Size() raw bytes. Blob
// values go through streams (TDataSet::CreateBlobStream).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "db/db_types.h"
#include "db/variant.h"

class TDataSet;
class TFields;

class TField {
 public:
  using TFieldNotifyEvent = std::function<void(TField&)>;
  using TFieldGetTextEvent = std::function<void(TField&, std::string& text, bool displayText)>;
  using TFieldSetTextEvent = std::function<void(TField&, const std::string& text)>;

  virtual ~TField();
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  // Component name ("HDSUrlsURL_ID") and the stored field it stands for.
  const std::string& Name() const { return name_; }
  void SetName(std::string name) { name_ = std::move(name); }
  const std::string& FieldName() const { return fieldName_; }
  void SetFieldName(const std::string& fieldName);
  TDataSet* DataSet() const { return dataSet_; }
  TFieldType DataType() const { return dataType_; }
  TFieldKind FieldKind() const { return fieldKind_; }
  void SetFieldKind(TFieldKind kind);
  bool Calculated() const { return fieldKind_ == fkCalculated || fieldKind_ == fkLookup; }
  bool Lookup() const { return fieldKind_ == fkLookup; }
  virtual bool IsBlob() const { return false; }
  // Number of the stored field (from 1) while bound; 0 or less otherwise.
  int FieldNo() const { return fieldNo_; }
  // Position among the dataset's fields.
  int Index() const;
  int Size() const { return size_; }
  void SetSize(int size);
  // Bytes of the native value.
  virtual int DataSize() const = 0;
  // Offset of the flag byte of a calculated or lookup field in the
  // calculated-field area of a record buffer.
  int Offset() const { return offset_; }

  // Display properties.
  const std::string& DisplayLabel() const { return displayLabel_; }
  void SetDisplayLabel(std::string label) { displayLabel_ = std::move(label); }
  // The label, or the field name when there is no label.
  const std::string& DisplayName() const;
  int DisplayWidth() const { return displayWidth_ > 0 ? displayWidth_ : DefaultDisplayWidth(); }
  void SetDisplayWidth(int width) { displayWidth_ = width; }
  const std::string& DisplayFormat() const { return displayFormat_; }
  void SetDisplayFormat(std::string format) { displayFormat_ = std::move(format); }
  const std::string& EditFormat() const { return editFormat_; }
  void SetEditFormat(std::string format) { editFormat_ = std::move(format); }
  bool Visible() const { return visible_; }
  void SetVisible(bool visible) { visible_ = visible; }
  TAlignment Alignment() const { return alignment_; }
  void SetAlignment(TAlignment alignment) { alignment_ = alignment; }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }
  bool Required() const { return required_; }
  void SetRequired(bool required) { required_ = required; }
  TTextKind TextKind() const { return textKind_; }
  void SetTextKind(TTextKind kind) { textKind_ = kind; }
  TAutoRefreshFlag AutoGenerateValue() const { return autoGenerateValue_; }
  void SetAutoGenerateValue(TAutoRefreshFlag flag) { autoGenerateValue_ = flag; }
  const std::string& DefaultExpression() const { return defaultExpression_; }
  void SetDefaultExpression(std::string expression) { defaultExpression_ = std::move(expression); }

  // Lookup: the value is LookupResultField of the LookupDataSet record whose
  // LookupKeyFields equal this dataset's KeyFields.
  const std::string& KeyFields() const { return keyFields_; }
  void SetKeyFields(const std::string& fields);
  TDataSet* LookupDataSet() const { return lookupDataSet_; }
  void SetLookupDataSet(TDataSet* dataSet);
  const std::string& LookupKeyFields() const { return lookupKeyFields_; }
  void SetLookupKeyFields(const std::string& fields);
  const std::string& LookupResultField() const { return lookupResultField_; }
  void SetLookupResultField(const std::string& field);
  // Writes the key fields of a lookup field directly (a lookup list that
  // knows the chosen key).
  void SetLookupKey(const TVariant& key);

  // Values. Reading a field without a value gives "", 0, false or null.
  // Writing a lookup field writes the key of the lookup record whose result
  // field equals the value into the key fields.
  bool IsNull() const;
  void Clear();
  std::string AsString() const { return ReadString(); }
  void SetAsString(const std::string& value);
  int32_t AsInteger() const { return ReadInteger(); }
  void SetAsInteger(int32_t value);
  double AsFloat() const { return ReadFloat(); }
  void SetAsFloat(double value);
  bool AsBoolean() const { return ReadBoolean(); }
  void SetAsBoolean(bool value);
  TDateTime AsDateTime() const { return ReadDateTime(); }
  void SetAsDateTime(TDateTime value);
  TVariant AsVariant() const { return IsNull() ? TVariant() : ReadVariant(); }
  void SetAsVariant(const TVariant& value);
  TVariant Value() const { return AsVariant(); }
  void SetValue(const TVariant& value) { SetAsVariant(value); }
  // Text for editing, and text for showing (DisplayFormat applied).
  std::string Text() const;
  void SetText(const std::string& text);
  std::string DisplayText() const;

  // Raw access in the native form through the dataset. GetData with a null
  // destination only answers whether the field has a value; SetData with a
  // null source empties the field.
  bool GetData(void* destination) const;
  void SetData(const void* source);

  // Runs OnValidate with the new value readable through the field; called
  // by the dataset before a value is stored in edit or insert state.
  void Validate(const void* newValue);
  // Runs OnChange; called by the dataset after a value was stored.
  void Change();
  // Asks the control that shows this field to take the focus.
  void FocusControl();

  TFieldNotifyEvent OnValidate;
  TFieldNotifyEvent OnChange;
  TFieldGetTextEvent OnGetText;
  TFieldSetTextEvent OnSetText;

 protected:
  TField(TFieldType dataType, int size);

  // Conversions each kind supplies; the defaults refuse with "Cannot access
  // field '%s' as type %s".
  virtual std::string ReadString() const;
  virtual void WriteString(const std::string& value);
  virtual int32_t ReadInteger() const;
  virtual void WriteInteger(int32_t value);
  virtual double ReadFloat() const;
  virtual void WriteFloat(double value);
  virtual bool ReadBoolean() const;
  virtual void WriteBoolean(bool value);
  virtual TDateTime ReadDateTime() const;
  virtual void WriteDateTime(TDateTime value);
  virtual TVariant ReadVariant() const;
  virtual void WriteVariant(const TVariant& value);
  virtual std::string GetText(bool displayText) const;
  virtual void SetTextValue(const std::string& text);
  virtual int DefaultDisplayWidth() const { return 10; }

  [[noreturn]] void AccessError(const char* typeName) const;
  [[noreturn]] void RangeError(const std::string& value, const std::string& min,
                               const std::string& max) const;
  void SetDataType(TFieldType type) { dataType_ = type; }

  // Reads a fixed-size native value; false when the field has no value.
  template <class T>
  bool ReadNative(T& value) const {
    return GetData(&value);
  }
  template <class T>
  void WriteNative(const T& value) {
    SetData(&value);
  }

 private:
  friend class TDataSet;
  friend class TFields;

  bool LookupWrite() const;
  void WriteLookup(const TVariant& value);
  void CheckInactive() const;

  std::string name_;
  std::string fieldName_;
  TDataSet* dataSet_ = nullptr;
  TFieldType dataType_;
  TFieldKind fieldKind_ = fkData;
  int size_;
  int fieldNo_ = 0;
  int offset_ = 0;
  std::string displayLabel_;
  int displayWidth_ = 0;
  std::string displayFormat_;
  std::string editFormat_;
  bool visible_ = true;
  TAlignment alignment_ = taLeftJustify;
  bool readOnly_ = false;
  bool required_ = false;
  TTextKind textKind_ = tkText;
  TAutoRefreshFlag autoGenerateValue_ = arNone;
  std::string defaultExpression_;
  std::string keyFields_;
  TDataSet* lookupDataSet_ = nullptr;
  std::string lookupKeyFields_;
  std::string lookupResultField_;
  // While OnValidate runs, reads return the value being validated.
  bool validating_ = false;
  const void* validateBuffer_ = nullptr;
};

class TStringField : public TField {
 public:
  explicit TStringField(int size = 20);
  int DataSize() const override { return Size() + 1; }

 protected:
  std::string ReadString() const override;
  void WriteString(const std::string& value) override;
  int32_t ReadInteger() const override;
  void WriteInteger(int32_t value) override;
  double ReadFloat() const override;
  void WriteFloat(double value) override;
  bool ReadBoolean() const override;
  void WriteBoolean(bool value) override;
  TDateTime ReadDateTime() const override;
  void WriteDateTime(TDateTime value) override;
  TVariant ReadVariant() const override { return TVariant(ReadString()); }
  void WriteVariant(const TVariant& value) override { WriteString(value.AsString()); }
  int DefaultDisplayWidth() const override { return Size(); }
};

// Numbers: right-aligned, with DisplayFormat and EditFormat as FormatFloat
// formats.
class TNumericField : public TField {
 protected:
  TNumericField(TFieldType dataType, int size);
  std::string GetText(bool displayText) const override;
  // The value as text when no format applies.
  virtual std::string PlainText() const = 0;
};

class TIntegerField : public TNumericField {
 public:
  TIntegerField();
  int DataSize() const override { return 4; }
  // A range of 0 to 0 means the native range.
  void SetRange(int64_t minValue, int64_t maxValue) {
    minValue_ = minValue;
    maxValue_ = maxValue;
  }

 protected:
  TIntegerField(TFieldType dataType, int64_t nativeMin, int64_t nativeMax);
  std::string ReadString() const override;
  void WriteString(const std::string& value) override;
  int32_t ReadInteger() const override;
  void WriteInteger(int32_t value) override;
  double ReadFloat() const override { return ReadInteger(); }
  void WriteFloat(double value) override;
  TVariant ReadVariant() const override { return TVariant(ReadInteger()); }
  void WriteVariant(const TVariant& value) override;
  std::string PlainText() const override { return ReadString(); }
  int DefaultDisplayWidth() const override { return 11; }
  // Stores a value already checked against the range.
  virtual void StoreInteger(int32_t value) { WriteNative(value); }
  virtual bool LoadInteger(int32_t& value) const { return ReadNative(value); }
  void CheckRange(int64_t value) const;

 private:
  int64_t nativeMin_;
  int64_t nativeMax_;
  int64_t minValue_ = 0;
  int64_t maxValue_ = 0;
};

// An integer stored in 16 bits: T is int16_t (smallint) or uint16_t (word).
template <class T>
class TShortIntegerField : public TIntegerField {
 public:
  int DataSize() const override { return 2; }

 protected:
  TShortIntegerField(TFieldType dataType, int64_t min, int64_t max)
      : TIntegerField(dataType, min, max) {}
  void StoreInteger(int32_t value) override { WriteNative(static_cast<T>(value)); }
  bool LoadInteger(int32_t& value) const override {
    T stored = 0;
    if (!ReadNative(stored)) {
      return false;
    }
    value = stored;
    return true;
  }
  int DefaultDisplayWidth() const override { return 6; }
};

class TSmallintField : public TShortIntegerField<int16_t> {
 public:
  TSmallintField() : TShortIntegerField(ftSmallint, -32768, 32767) {}
};

class TWordField : public TShortIntegerField<uint16_t> {
 public:
  TWordField() : TShortIntegerField(ftWord, 0, 65535) {}
};

class TAutoIncField : public TIntegerField {
 public:
  TAutoIncField();
};

class TFloatField : public TNumericField {
 public:
  TFloatField();
  int DataSize() const override { return 8; }
  bool Currency() const { return currency_; }
  void SetCurrency(bool currency) { currency_ = currency; }
  int Precision() const { return precision_; }
  void SetPrecision(int precision) { precision_ = precision; }
  // A range of 0 to 0 means no check.
  void SetRange(double minValue, double maxValue) {
    minValue_ = minValue;
    maxValue_ = maxValue;
  }

 protected:
  std::string ReadString() const override;
  void WriteString(const std::string& value) override;
  int32_t ReadInteger() const override;
  void WriteInteger(int32_t value) override { WriteFloat(value); }
  double ReadFloat() const override;
  void WriteFloat(double value) override;
  TVariant ReadVariant() const override { return TVariant(ReadFloat()); }
  void WriteVariant(const TVariant& value) override;
  std::string PlainText() const override;

 private:
  bool currency_ = false;
  int precision_ = 15;
  double minValue_ = 0;
  double maxValue_ = 0;
};

class TCurrencyField : public TFloatField {
 public:
  TCurrencyField();
};

class TBooleanField : public TField {
 public:
  TBooleanField();
  int DataSize() const override { return 2; }
  // "True;False": the texts for true and false.
  const std::string& DisplayValues() const { return displayValues_; }
  void SetDisplayValues(std::string values) { displayValues_ = std::move(values); }

 protected:
  std::string ReadString() const override;
  void WriteString(const std::string& value) override;
  bool ReadBoolean() const override;
  void WriteBoolean(bool value) override;
  int32_t ReadInteger() const override { return ReadBoolean() ? 1 : 0; }
  void WriteInteger(int32_t value) override { WriteBoolean(value != 0); }
  TVariant ReadVariant() const override { return TVariant(ReadBoolean()); }
  void WriteVariant(const TVariant& value) override;
  int DefaultDisplayWidth() const override { return 5; }

 private:
  std::string TrueText() const;
  std::string FalseText() const;
  std::string displayValues_ = "True;False";
};

// Date, time and date-time fields share the conversions; each kind stores
// its own native form.
class TDateTimeField : public TField {
 public:
  TDateTimeField();
  int DataSize() const override { return 8; }

 protected:
  explicit TDateTimeField(TFieldType dataType);
  std::string ReadString() const override { return GetText(false); }
  void WriteString(const std::string& value) override;
  double ReadFloat() const override { return ReadDateTime(); }
  void WriteFloat(double value) override { WriteDateTime(value); }
  TDateTime ReadDateTime() const override;
  void WriteDateTime(TDateTime value) override;
  TVariant ReadVariant() const override { return TVariant::FromDateTime(ReadDateTime()); }
  void WriteVariant(const TVariant& value) override;
  std::string GetText(bool displayText) const override;
  int DefaultDisplayWidth() const override { return 18; }
  virtual std::string DefaultFormat() const;
  virtual TDateTime ParseText(const std::string& text) const;
};

class TDateField : public TDateTimeField {
 public:
  TDateField();
  int DataSize() const override { return 4; }

 protected:
  TDateTime ReadDateTime() const override;
  void WriteDateTime(TDateTime value) override;
  int DefaultDisplayWidth() const override { return 10; }
  std::string DefaultFormat() const override;
  TDateTime ParseText(const std::string& text) const override;
};

class TTimeField : public TDateTimeField {
 public:
  TTimeField();
  int DataSize() const override { return 4; }

 protected:
  TDateTime ReadDateTime() const override;
  void WriteDateTime(TDateTime value) override;
  int DefaultDisplayWidth() const override { return 10; }
  std::string DefaultFormat() const override;
  TDateTime ParseText(const std::string& text) const override;
};

class TBytesField : public TField {
 public:
  explicit TBytesField(int size = 16);
  int DataSize() const override { return Size(); }

 protected:
  std::string ReadString() const override;
  void WriteString(const std::string& value) override;
  TVariant ReadVariant() const override { return TVariant(ReadString()); }
  void WriteVariant(const TVariant& value) override { WriteString(value.AsString()); }
  int DefaultDisplayWidth() const override { return Size() * 2; }
};

// Blob values are read and written whole through the dataset's blob stream.
class TBlobField : public TField {
 public:
  TBlobField();
  int DataSize() const override { return 0; }
  bool IsBlob() const override { return true; }
  // The declared kind of the stored blob (ftMemo, ftGraphic, ftBlob).
  TFieldType BlobType() const { return blobType_; }
  void SetBlobType(TFieldType type) { blobType_ = type; }
  int64_t BlobSize() const;

 protected:
  explicit TBlobField(TFieldType dataType);
  std::string ReadString() const override;
  void WriteString(const std::string& value) override;
  TVariant ReadVariant() const override { return TVariant(ReadString()); }
  void WriteVariant(const TVariant& value) override { WriteString(value.AsString()); }
  std::string GetText(bool displayText) const override;

 private:
  TFieldType blobType_;
};

class TMemoField : public TBlobField {
 public:
  TMemoField();
};

class TGraphicField : public TBlobField {
 public:
  TGraphicField();
};

// A new field object of the class that shows the given type.
std::unique_ptr<TField> CreateFieldOfType(TFieldType type, int size);

// The dataset's field objects, in order. The dataset owns them.
class TFields {
 public:
  explicit TFields(TDataSet* owner) : owner_(owner) {}
  int Count() const { return static_cast<int>(items_.size()); }
  TField* operator[](int index) const { return items_.at(static_cast<size_t>(index)).get(); }
  // Takes ownership; the dataset must be inactive.
  TField* Add(std::unique_ptr<TField> field);
  void Remove(TField* field);
  void Clear();
  int IndexOf(const TField* field) const;
  // Case-insensitive; nullptr when absent.
  TField* FindField(const std::string& fieldName) const;
  std::vector<TField*> List() const;

 private:
  TDataSet* owner_;
  std::vector<std::unique_ptr<TField>> items_;
};
