// Conversions between values and text under FormatSettings().
#pragma once

#include <cstdint>
#include <string>

#include "db/db_types.h"

// Shortest text that reads back as the same value with the given number of
// significant digits (at most 15), using the decimal separator.
std::string FloatToStr(double value, int precision = 15);
// Parses a decimal number with the decimal separator (a "." is accepted too);
// leading and trailing blanks are ignored. Raises EConvertError.
double StrToFloat(const std::string& text);
bool TryStrToFloat(const std::string& text, double& value);
int64_t StrToInt(const std::string& text);
bool TryStrToInt(const std::string& text, int64_t& value);

// A number under a format of "0", "#", ".", "," placeholders with literal
// text, quoted text and up to three ";" sections (positive;negative;zero).
// A format without digit placeholders gives its literal text alone.
std::string FormatFloat(const std::string& format, double value);

// Dates and times: tokens d dd m mm yy yyyy h hh n nn s ss z zzz, quoted
// text and the separators "/" and ":" from FormatSettings().
std::string FormatDateTime(const std::string& format, TDateTime value);
TDateTime EncodeDate(int year, int month, int day);
void DecodeDate(TDateTime value, int& year, int& month, int& day);
TDateTime EncodeTime(int hour, int minute, int second, int msec);
void DecodeTime(TDateTime value, int& hour, int& minute, int& second, int& msec);
// Text in ShortDateFormat order (day, month, year for "dd.mm.yyyy").
TDateTime StrToDate(const std::string& text);
TDateTime StrToTime(const std::string& text);
TDateTime StrToDateTime(const std::string& text);

// Whole number of a double, refusing NaN and values outside [min, max].
bool DoubleToInt(double value, int64_t min, int64_t max, int64_t& result);

// Upper case of CP1251 text (Latin and Cyrillic letters, і є ї ґ ў and ё
// included), by the same table the engine's UPPER() uses.
std::string AnsiUpperCase(const std::string& text);
bool SameText(const std::string& a, const std::string& b);
std::string Trim(const std::string& text);
std::string TrimRight(const std::string& text);
