// The widths of a grid's columns, kept in a profile (INI) file between runs:
// one key per column, its index in decimal, holding the width in pixels.
#pragma once

#include <string>

class TDBGrid;

// Sets every column's width from `section` of the file, last column first. A
// missing file, section or key, or a value that is no whole number, gives
// 200; values may be decimal or hexadecimal ("0x64", "$64").
void LoadGridWidths(TDBGrid* grid, const std::string& fileName, const std::string& section);

// Writes every column's width to `section` of the file, last column first,
// each at once; the file and the section are made when missing and the rest
// of the file is kept. A refused write raises platform::EIniFileException
// ("Unable to write to <path>"), the columns after it being already written.
void SaveGridWidths(TDBGrid* grid, const std::string& fileName, const std::string& section);
