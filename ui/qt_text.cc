#include "qt_text.h"

#include "cp1251.h"
#include "db/dataset.h"
#include "db/fields.h"
#include "stored_text.h"

namespace ui {
namespace {

std::u16string_view Utf16Of(const QString& text) {
  return {reinterpret_cast<const char16_t*>(text.utf16()), static_cast<std::size_t>(text.size())};
}

// Each byte as its character.
QString Plain(std::string_view stored) {
  QString out;
  out.reserve(static_cast<qsizetype>(stored.size()));
  for (char c : stored) {
    out += QChar(static_cast<char16_t>(platform::Cp1251ToUnicode(static_cast<unsigned char>(c))));
  }
  return out;
}

QString Decoded(std::string_view stored, bool oem) {
  if (!platform::MayHoldReferences(stored)) {
    return Plain(stored);
  }
  const std::u16string text = platform::DecodeText(stored, oem);
  return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

// Whether the table the field's value comes from stores OEM text; a lookup
// field shows the lookup table's value.
bool OemField(const TField& field) {
  const TDataSet* source = field.Lookup() ? field.LookupDataSet() : field.DataSet();
  return source != nullptr && source->StoresOemText();
}

}  // namespace

QString ToQString(std::string_view cp1251) { return Decoded(cp1251, false); }

std::string FromQString(const QString& text) { return platform::EncodeText(Utf16Of(text), false); }

QString ToQString(std::string_view stored, const TField& field) {
  return field.TextKind() == tkAddress ? Plain(stored) : Decoded(stored, OemField(field));
}

std::string StoredText(const QString& text, const TField& field) {
  return field.TextKind() == tkAddress ? platform::EncodeAddress(Utf16Of(text), OemField(field))
                                       : platform::EncodeText(Utf16Of(text), OemField(field));
}

std::size_t StoredLength(const QString& text, const TField& field) {
  return StoredText(text, field).size();
}

std::string FromQString(const QString& text, const TField& field) {
  std::string stored = StoredText(text, field);
  if (field.TextKind() == tkText && field.DataType() == ftString && field.Size() > 0) {
    stored.resize(platform::TextCut(stored, static_cast<std::size_t>(field.Size()), OemField(field)));
  }
  return stored;
}

bool FitStoredText(QString* text, int* cursor, std::size_t limit, bool oem) {
  auto stored = [&] { return platform::EncodeText(Utf16Of(*text), oem).size(); };
  if (stored() <= limit) {
    return false;
  }
  while (*cursor > 0 && stored() > limit) {
    const int at = *cursor;
    const int n = at >= 2 && text->at(at - 1).isLowSurrogate() && text->at(at - 2).isHighSurrogate()
                      ? 2
                      : 1;
    text->remove(at - n, n);
    *cursor = at - n;
  }
  return true;
}

bool FitStoredText(QString* text, int* cursor, const TField& field) {
  if (field.TextKind() != tkText || field.DataType() != ftString || field.Size() <= 0 ||
      field.OnSetText) {
    return false;
  }
  return FitStoredText(text, cursor, static_cast<std::size_t>(field.Size()), OemField(field));
}

}  // namespace ui
