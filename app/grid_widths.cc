#include "grid_widths.h"

#include "dbgrid.h"
#include "profile.h"

namespace {

constexpr int kDefaultWidth = 200;

}  // namespace

void LoadGridWidths(TDBGrid* grid, const std::string& fileName, const std::string& section) {
  platform::TIniFile ini(fileName);
  for (int i = grid->ColumnCount() - 1; i >= 0; --i) {
    grid->SetColumnWidth(i, ini.ReadInteger(section, std::to_string(i), kDefaultWidth));
  }
}

void SaveGridWidths(TDBGrid* grid, const std::string& fileName, const std::string& section) {
  platform::TIniFile ini(fileName);
  for (int i = grid->ColumnCount() - 1; i >= 0; --i) {
    ini.WriteInteger(section, std::to_string(i), grid->ColumnWidth(i));
  }
}
