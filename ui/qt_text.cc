#include "qt_text.h"

#include <QList>

#include "cp1251.h"

namespace ui {

QString ToQString(std::string_view cp1251) {
  QString out;
  out.reserve(static_cast<qsizetype>(cp1251.size()));
  for (char c : cp1251) {
    out += QChar(static_cast<char16_t>(platform::Cp1251ToUnicode(static_cast<unsigned char>(c))));
  }
  return out;
}

std::string FromQString(const QString& text) {
  std::string out;
  out.reserve(static_cast<std::size_t>(text.size()));
  for (char32_t u : text.toUcs4()) {
    out += platform::Cp1251FromUnicode(u);
  }
  return out;
}

}  // namespace ui
