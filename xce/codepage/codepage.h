// Single-byte code pages the engine deals with: the program's character set
// (Windows-1251) and the OEM set of Russian DOS tables (866).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace xce {

enum class CodePage { kCp1251, kCp866 };

unsigned char Cp866To1251(unsigned char c);
unsigned char Cp1251To866(unsigned char c);

// Case folding inside one code page: Latin and Cyrillic letters, yo included.
unsigned char UpperChar(CodePage cp, unsigned char c);
unsigned char LowerChar(CodePage cp, unsigned char c);

// In-place conversions over a byte range.
void ConvertOemToAnsi(char* data, std::size_t n);
void ConvertAnsiToOem(char* data, std::size_t n);

std::string OemToAnsi(std::string_view s);
std::string AnsiToOem(std::string_view s);

}  // namespace xce
