// Profile (INI) files with the semantics programs of the first platform expect:
// every call reads or writes the file itself, section and key names compare
// without regard to ASCII letter case, a missing file, section or key reads as
// the caller's default, and a write keeps every other section, key, comment
// and blank line of the file as it was.
#pragma once

#include "exception.h"
#include <string>
#include <string_view>

namespace platform {

// Returns the value of `key` in `section` of the file at `path`, with the
// surrounding blanks removed and one pair of matching quotes stripped; returns
// `def` when the file, the section or the key is missing or unreadable.
std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view def, const std::string& path);

// Sets `key` in `section` to `value`, creating the file, the section and the
// key when missing; a new section goes to the end of the file and a new key
// after the last entry of its section. The file is replaced as a whole, so a
// failed write leaves the old contents in place. Returns false when the file
// system refuses the write (a file without write permission included).
bool WritePrivateProfileString(std::string_view section, std::string_view key,
                               std::string_view value, const std::string& path);

// Reads a whole number the way the toolkit's integer conversion does: optional
// blanks and sign, then decimal digits, or hexadecimal digits after "$" or
// "0x"/"0X". Returns `def` for anything else or a value outside 32 bits.
int StrToIntDef(std::string_view text, int def);

// Raised when a profile file cannot be written; the message is
// "Unable to write to <path>" in the program's character set.
class EIniFileException : public Exception {
 public:
  using Exception::Exception;
};

// A profile file opened by name. Holds nothing but the name: each read and
// write goes to the file at once.
class TIniFile {
 public:
  explicit TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

  const std::string& FileName() const { return fileName_; }

  std::string ReadString(std::string_view section, std::string_view ident,
                         std::string_view def) const;
  int ReadInteger(std::string_view section, std::string_view ident, int def) const;

  // Both throw EIniFileException when the write is refused.
  void WriteString(std::string_view section, std::string_view ident, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view ident, int value);

 private:
  std::string fileName_;
};

}  // namespace platform
