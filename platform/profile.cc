#include "profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "cp1251.h"

namespace platform {
namespace {

// Larger profile files are not ours; reading them would only waste memory.
constexpr std::size_t kMaxProfileSize = 4 << 20;
constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

struct Line {
  std::string text;  // without its line ending
  std::string eol;   // "\n", "\r\n", or empty for a last line without one
};

struct Profile {
  std::string bom;
  std::vector<Line> lines;
};

std::string_view Trim(std::string_view s) {
  const char* kBlanks = " \t\r\v\f";
  std::size_t b = s.find_first_not_of(kBlanks);
  if (b == std::string_view::npos) {
    return {};
  }
  std::size_t e = s.find_last_not_of(kBlanks);
  return s.substr(b, e - b + 1);
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.size(); ++i) {
    unsigned char x = static_cast<unsigned char>(a[i]);
    unsigned char y = static_cast<unsigned char>(b[i]);
    if (x >= 'A' && x <= 'Z') {
      x = static_cast<unsigned char>(x - 'A' + 'a');
    }
    if (y >= 'A' && y <= 'Z') {
      y = static_cast<unsigned char>(y - 'A' + 'a');
    }
    if (x != y) {
      return false;
    }
  }
  return true;
}

// The section name of a "[name]" line, or false when the line is no header.
bool SectionOf(std::string_view text, std::string_view* name) {
  std::string_view t = Trim(text);
  if (t.empty() || t.front() != '[') {
    return false;
  }
  t.remove_prefix(1);
  std::size_t close = t.find(']');
  *name = Trim(close == std::string_view::npos ? t : t.substr(0, close));
  return true;
}

// The key and value of a "key=value" line; comments and other lines are no entry.
bool EntryOf(std::string_view text, std::string_view* key, std::string_view* value) {
  std::string_view t = Trim(text);
  if (t.empty() || t.front() == ';') {
    return false;
  }
  std::size_t eq = t.find('=');
  if (eq == std::string_view::npos) {
    return false;
  }
  *key = Trim(t.substr(0, eq));
  *value = Trim(t.substr(eq + 1));
  return true;
}

Profile Parse(std::string_view data) {
  Profile p;
  if (data.substr(0, kUtf8Bom.size()) == kUtf8Bom) {
    p.bom = kUtf8Bom;
    data.remove_prefix(kUtf8Bom.size());
  }
  while (!data.empty()) {
    std::size_t nl = data.find('\n');
    Line line;
    if (nl == std::string_view::npos) {
      line.text = data;
      data = {};
    } else {
      std::string_view text = data.substr(0, nl);
      line.eol = "\n";
      if (!text.empty() && text.back() == '\r') {
        text.remove_suffix(1);
        line.eol = "\r\n";
      }
      line.text = text;
      data.remove_prefix(nl + 1);
    }
    p.lines.push_back(std::move(line));
  }
  return p;
}

std::string Serialize(const Profile& p) {
  std::string out = p.bom;
  for (const Line& l : p.lines) {
    out += l.text;
    out += l.eol;
  }
  return out;
}

// Reads the whole file; false when it is missing, unreadable or too large.
bool ReadWholeFile(const std::string& path, std::string* out) {
  // Not blocking: a FIFO in place of the file must not hang the program.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    return false;
  }
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
            static_cast<std::uint64_t>(st.st_size) <= kMaxProfileSize;
  out->clear();
  char buf[8192];
  while (ok) {
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n < 0 || out->size() + static_cast<std::size_t>(n) > kMaxProfileSize) {
      ok = false;
    } else if (n == 0) {
      break;
    } else {
      out->append(buf, static_cast<std::size_t>(n));
    }
  }
  close(fd);
  return ok;
}

bool WriteAll(int fd, const std::string& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n < 0 && errno == EINTR) {
      continue;
    }
    if (n <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// Replaces the file's contents: a new file beside it renamed over it, so a
// failure part way leaves the old contents; when the folder refuses new files
// but the file itself is writable, the file is rewritten in place.
bool ReplaceFile(const std::string& path, const std::string& data, bool exists, mode_t mode) {
  std::size_t slash = path.rfind('/');
  std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string tmp = dir + (dir.back() == '/' ? "" : "/") + "." + base + ".XXXXXX";
  std::vector<char> tmpName(tmp.begin(), tmp.end());
  tmpName.push_back('\0');
  int fd = mkstemp(tmpName.data());
  if (fd >= 0) {
    bool ok = fchmod(fd, mode & 07777) == 0 && WriteAll(fd, data) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (ok && rename(tmpName.data(), path.c_str()) == 0) {
      return true;
    }
    unlink(tmpName.data());
    return false;
  }
  if (!exists) {
    return false;
  }
  fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    return false;
  }
  bool ok = WriteAll(fd, data) && ftruncate(fd, static_cast<off_t>(data.size())) == 0;
  return close(fd) == 0 && ok;
}

bool HasLineBreak(std::string_view s) { return s.find_first_of("\r\n") != std::string_view::npos; }

}  // namespace

std::string GetPrivateProfileString(std::string_view section, std::string_view key,
                                    std::string_view def, const std::string& path) {
  std::string data;
  if (!ReadWholeFile(path, &data)) {
    return std::string(def);
  }
  Profile p = Parse(data);
  bool inSection = false;
  for (const Line& l : p.lines) {
    std::string_view name, k, v;
    if (SectionOf(l.text, &name)) {
      if (inSection) {
        break;  // only the first section of that name counts
      }
      inSection = SameName(name, Trim(section));
    } else if (inSection && EntryOf(l.text, &k, &v) && SameName(k, Trim(key))) {
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v = v.substr(1, v.size() - 2);
      }
      return std::string(v);
    }
  }
  return std::string(def);
}

bool WritePrivateProfileString(std::string_view section, std::string_view key,
                               std::string_view value, const std::string& path) {
  section = Trim(section);
  key = Trim(key);
  // Names and values that would break the line structure cannot be stored.
  if (section.empty() || key.empty() || HasLineBreak(section) || HasLineBreak(key) ||
      HasLineBreak(value) || section.find(']') != std::string_view::npos ||
      key.find('=') != std::string_view::npos || key.front() == '[' || key.front() == ';') {
    return false;
  }

  std::string target = path;
  mode_t mode = 0644;
  struct stat st;
  bool exists = stat(path.c_str(), &st) == 0;
  std::string data;
  if (exists) {
    // A file with no write permission at all is read-only even for the
    // superuser, as a read-only file is on the first platform.
    if (!S_ISREG(st.st_mode) || (st.st_mode & 0222) == 0 || access(path.c_str(), W_OK) != 0) {
      return false;
    }
    std::unique_ptr<char, decltype(&std::free)> real(realpath(path.c_str(), nullptr), &std::free);
    if (!real || !ReadWholeFile(path, &data)) {
      return false;
    }
    target = real.get();
    mode = st.st_mode;
  } else if (errno != ENOENT) {
    return false;
  }

  Profile p = Parse(data);
  std::string eol = p.lines.empty() ? "\n" : p.lines.front().eol;
  if (eol.empty()) {
    eol = "\n";
  }
  std::string entry = std::string(key) + "=" + std::string(value);

  // Find the section and, inside it, the key or the place after its last line.
  std::size_t sectionLine = p.lines.size();
  std::size_t insertAt = 0;
  for (std::size_t i = 0; i < p.lines.size(); ++i) {
    std::string_view name, k, v;
    if (SectionOf(p.lines[i].text, &name)) {
      if (sectionLine != p.lines.size()) {
        break;
      }
      if (SameName(name, section)) {
        sectionLine = i;
        insertAt = i + 1;
      }
    } else if (sectionLine != p.lines.size()) {
      if (EntryOf(p.lines[i].text, &k, &v) && SameName(k, key)) {
        p.lines[i].text = entry;
        return ReplaceFile(target, Serialize(p), exists, mode);
      }
      if (!Trim(p.lines[i].text).empty()) {
        insertAt = i + 1;
      }
    }
  }
  if (!p.lines.empty() && p.lines.back().eol.empty()) {
    p.lines.back().eol = eol;
  }
  if (sectionLine == p.lines.size()) {
    p.lines.push_back({"[" + std::string(section) + "]", eol});
    p.lines.push_back({entry, eol});
  } else {
    p.lines.insert(p.lines.begin() + static_cast<std::ptrdiff_t>(insertAt), Line{entry, eol});
  }
  return ReplaceFile(target, Serialize(p), exists, mode);
}

int StrToIntDef(std::string_view text, int def) {
  std::string_view s = text;
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  unsigned base = 10;
  if (!s.empty() && s.front() == '$') {
    base = 16;
    s.remove_prefix(1);
  } else if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  }
  if (s.empty()) {
    return def;
  }
  std::uint64_t v = 0;
  for (char c : s) {
    unsigned d;
    if (c >= '0' && c <= '9') {
      d = static_cast<unsigned>(c - '0');
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      d = static_cast<unsigned>(c - 'a' + 10);
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      d = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return def;
    }
    v = v * base + d;
    if (v > 0xFFFFFFFFull) {
      return def;
    }
  }
  if (base == 16) {
    // Hexadecimal text gives the 32-bit pattern, so $FFFFFFFF reads as -1.
    auto bits = static_cast<std::uint32_t>(v);
    if (negative) {
      bits = 0u - bits;
    }
    return bits > INT32_MAX ? static_cast<int>(static_cast<std::int64_t>(bits) - 0x100000000ll)
                            : static_cast<int>(bits);
  }
  std::int64_t sv = negative ? -static_cast<std::int64_t>(v) : static_cast<std::int64_t>(v);
  if (sv < INT32_MIN || sv > INT32_MAX) {
    return def;
  }
  return static_cast<int>(sv);
}

std::string TIniFile::ReadString(std::string_view section, std::string_view ident,
                                 std::string_view def) const {
  return GetPrivateProfileString(section, ident, def, fileName_);
}

int TIniFile::ReadInteger(std::string_view section, std::string_view ident, int def) const {
  std::string text = ReadString(section, ident, "");
  return text.empty() ? def : StrToIntDef(text, def);
}

void TIniFile::WriteString(std::string_view section, std::string_view ident,
                           std::string_view value) {
  if (!WritePrivateProfileString(section, ident, value, fileName_)) {
    // File names are bytes of the file system (UTF-8); messages are in the
    // program's character set.
    throw EIniFileException("Unable to write to " + Utf8ToCp1251(fileName_));
  }
}

void TIniFile::WriteInteger(std::string_view section, std::string_view ident, int value) {
  WriteString(section, ident, std::to_string(value));
}

}  // namespace platform
