// The catalogue's files as the import handles them: copies, syncs, the order
// of a swap, and undo records of files that take appends in place.
#include "catalogue_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "catalogue/schema.h"
#include "xce/append_point.h"

namespace bookmarks {
namespace {

constexpr const char* kUndoHead = "tavo-bookmarks-undo 1\n";
// Bytes of a file past its data that an undo record keeps at most; a file
// with more is copied aside instead of being appended to in place.
constexpr uint64_t kMaxUndoTail = 1 << 20;

bool ReadBytes(xce::File* f, uint64_t at, uint64_t n, std::string* out) {
  out->resize(static_cast<std::size_t>(n));
  std::size_t got = 0;
  return f->ReadAt(at, out->data(), out->size(), &got).ok() && got == out->size();
}

}  // namespace

std::string Join(const std::string& dir, const std::string& name) {
  return (std::filesystem::path(dir) / name).string();
}

// --------------------------------------------------------------- file work

bool CopyFile(const std::string& from, const std::string& to, std::string* error) {
  int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) {
    *error = "cannot read " + from + ": " + std::strerror(errno);
    return false;
  }
  int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (out < 0) {
    *error = "cannot create " + to + ": " + std::strerror(errno);
    ::close(in);
    return false;
  }
  bool ok = true;
  while (true) {
    ssize_t n = ::copy_file_range(in, nullptr, out, nullptr, 1 << 30, 0);
    if (n == 0) {
      break;
    }
    if (n < 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL)) {
      // No kernel copy between these files: copy through a buffer.
      std::vector<char> buf(1 << 20);
      ssize_t got = 0;
      while (ok && (got = ::read(in, buf.data(), buf.size())) > 0) {
        ok = ::write(out, buf.data(), static_cast<std::size_t>(got)) == got;
      }
      ok = ok && got == 0;
      break;
    }
    if (n < 0) {
      ok = false;
      break;
    }
  }
  if (!ok) {
    *error = "cannot copy " + from + " to " + to + ": " + std::strerror(errno);
  }
  ::close(in);
  ::close(out);
  return ok;
}

bool SyncFile(xce::FileSystem* fsys, const std::string& path, std::string* error) {
  std::unique_ptr<xce::File> f;
  xce::Status s = fsys->Open(path, xce::OpenMode::kReadOnly, &f);
  if (s.ok()) {
    s = f->Sync();
  }
  if (!s.ok()) {
    *error = s.message();
  }
  return s.ok();
}

bool IsCatalogueFileName(const std::string& name) {
  if (name.find('/') != std::string::npos || name.empty()) {
    return false;
  }
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const char* stem : {"tem", "type", "urlin", "urls", "urlfull"}) {
    for (const char* ext : {".dbf", ".cdx", ".fpt"}) {
      if (lower == std::string(stem) + ext) {
        return true;
      }
    }
  }
  return false;
}

int SwapRank(const std::string& name) {
  std::string ext = name.size() > 4 ? name.substr(name.size() - 4) : name;
  std::transform(ext.begin(), ext.end(), ext.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return ext == ".fpt" ? 0 : ext == ".cdx" ? 1 : 2;
}

bool ReadWholeFile(xce::FileSystem* fsys, const std::string& path, std::string* out,
                   uint64_t limit) {
  std::unique_ptr<xce::File> f;
  uint64_t size = 0;
  if (!fsys->Open(path, xce::OpenMode::kReadOnly, &f).ok() || !f->Size(&size).ok() ||
      size > limit) {
    return false;
  }
  out->resize(static_cast<std::size_t>(size));
  std::size_t got = 0;
  if (!f->ReadAt(0, out->data(), out->size(), &got).ok()) {
    return false;
  }
  out->resize(got);
  return true;
}

xce::Status WriteFileAtomically(xce::FileSystem* fsys, const std::string& dir,
                                const std::string& path, const std::string& content) {
  std::unique_ptr<xce::File> f;
  xce::Status s = fsys->Open(path + ".tmp", xce::OpenMode::kCreate, &f);
  if (s.ok()) {
    s = f->WriteAt(0, content.data(), content.size());
  }
  if (s.ok()) {
    s = f->Sync();
  }
  f.reset();
  if (s.ok()) {
    s = fsys->Rename(path + ".tmp", path);
  }
  if (s.ok()) {
    s = fsys->SyncDir(dir);
  }
  if (!s.ok()) {
    (void)fsys->Remove(path + ".tmp");
  }
  return s;
}

// ------------------------------------------------------------ undo records



bool MakeUndoRecord(xce::FileSystem* fsys, const std::string& dir, const std::string& name,
                    UndoRecord* out) {
  std::unique_ptr<xce::File> f;
  uint64_t size = 0;
  if (!fsys->Open(Join(dir, name), xce::OpenMode::kReadOnly, &f).ok() || !f->Size(&size).ok()) {
    return false;
  }
  out->name = name;
  out->size = size;
  xce::AppendPoint at;
  const xce::Status s = SwapRank(name) == 2 ? xce::ReadTableAppendPoint(fsys, Join(dir, name), &at)
                                            : xce::ReadMemoAppendPoint(fsys, Join(dir, name), &at);
  if (!s.ok()) {
    return false;
  }
  const uint64_t headLength = std::min(at.headerLength, size);
  out->tailAt = std::clamp(at.dataEnd, headLength, size);
  return headLength <= (1 << 16) && size - out->tailAt <= kMaxUndoTail &&
         ReadBytes(f.get(), 0, headLength, &out->head) &&
         ReadBytes(f.get(), out->tailAt, size - out->tailAt, &out->tail);
}

std::string EncodeUndo(const std::vector<UndoRecord>& records) {
  std::string out = kUndoHead;
  for (const UndoRecord& r : records) {
    out += r.name + "\n" + std::to_string(r.size) + " " + std::to_string(r.head.size()) + " " +
           std::to_string(r.tailAt) + " " + std::to_string(r.tail.size()) + "\n" + r.head + r.tail;
  }
  return out + "end\n";
}

bool DecodeUndo(const std::string& text, std::vector<UndoRecord>* records) {
  const std::string head = kUndoHead;
  if (text.compare(0, head.size(), head) != 0 || text.size() < head.size() + 4 ||
      text.compare(text.size() - 4, 4, "end\n") != 0) {
    return false;
  }
  const std::size_t end = text.size() - 4;
  std::size_t pos = head.size();
  while (pos < end) {
    UndoRecord r;
    std::size_t nl = text.find('\n', pos);
    if (nl == std::string::npos || nl >= end) {
      return false;
    }
    r.name = text.substr(pos, nl - pos);
    pos = nl + 1;
    nl = text.find('\n', pos);
    if (nl == std::string::npos || nl >= end) {
      return false;
    }
    unsigned long long size = 0, headLength = 0, tailAt = 0, tailLength = 0;
    char extra = 0;
    if (std::sscanf(text.substr(pos, nl - pos).c_str(), "%llu %llu %llu %llu%c", &size,
                    &headLength, &tailAt, &tailLength, &extra) != 4 ||
        !IsCatalogueFileName(r.name) || SwapRank(r.name) == 1 || headLength > size ||
        tailAt > size || tailAt + tailLength != size || headLength + tailLength > end - nl - 1) {
      return false;
    }
    pos = nl + 1;
    r.size = size;
    r.tailAt = tailAt;
    r.head = text.substr(pos, headLength);
    r.tail = text.substr(pos + headLength, tailLength);
    pos += headLength + tailLength;
    records->push_back(std::move(r));
  }
  return pos == end;
}

bool RollBack(xce::FileSystem* fsys, const std::string& dir,
              const std::vector<UndoRecord>& records, std::string* error) {
  for (const UndoRecord& r : records) {
    const std::string path = Join(dir, r.name);
    if (!fsys->Exists(path)) {
      continue;
    }
    std::unique_ptr<xce::File> f;
    xce::Status s = fsys->Open(path, xce::OpenMode::kReadWrite, &f);
    s = s.ok() ? f->Truncate(r.size) : s;
    s = s.ok() ? f->WriteAt(0, r.head.data(), r.head.size()) : s;
    s = s.ok() ? f->WriteAt(r.tailAt, r.tail.data(), r.tail.size()) : s;
    s = s.ok() ? f->Sync() : s;
    if (!s.ok()) {
      *error = "cannot put " + path + " back: " + s.message();
      return false;
    }
  }
  return true;
}

std::string Fingerprint(const std::string& dir) {
  std::string out;
  std::vector<std::string> names = catalogue::CatalogueFilesIn(dir);
  std::sort(names.begin(), names.end());
  for (const std::string& name : names) {
    struct stat st {};
    if (::stat(Join(dir, name).c_str(), &st) != 0) {
      out += name + " ?\n";
      continue;
    }
    out += name + " " + std::to_string(st.st_ino) + " " + std::to_string(st.st_size) + " " +
           std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec) + " " +
           std::to_string(st.st_ctim.tv_sec) + "." + std::to_string(st.st_ctim.tv_nsec) + "\n";
  }
  return out;
}

}  // namespace bookmarks
