// The UI edge of the program's character set: text below the UI is
// Windows-1251 bytes, Qt wants Unicode.
#pragma once

#include <QString>
#include <string>
#include <string_view>

namespace ui {

QString ToQString(std::string_view cp1251);

// Characters that Windows-1251 cannot hold become '?'.
std::string FromQString(const QString& text);

}  // namespace ui
