#include "in_place_change.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <string_view>

#include "byte_order.h"
#include "table.h"

namespace xce {
namespace {

// Staged bytes are kept in pages of this size: an index page's, so that a
// change of scattered index pages journals and writes no more than them.
constexpr uint64_t kStagePage = 512;
// Staged bytes go to the files in writes of at most this size.
constexpr uint64_t kApplyChunk = 1 << 20;
constexpr std::size_t kPagesPerBlock = 2048;
constexpr char kJournalHead[] = "XCEUNDO1";
constexpr char kJournalTail[] = "XCEUNDOE";
constexpr std::size_t kMagicSize = 8;

// A checksum over the whole journal: a journal cut short or with pages that
// never reached the disk is told from a complete one. Fed in pieces of any
// size, it gives what it gives for the bytes in one piece.
class Checksum {
 public:
  explicit Checksum(uint64_t length) : h_(0x243F6A8885A308D3ull ^ length) {}
  void Add(const uint8_t* p, std::size_t n) {
    while (n > 0 && held_ > 0 && held_ < 8) {
      word_[held_++] = *p++;
      --n;
    }
    if (held_ == 8) {
      Word(word_);
      held_ = 0;
    }
    for (; n >= 8; p += 8, n -= 8) {
      Word(p);
    }
    for (; n > 0; --n) {
      word_[held_++] = *p++;
    }
  }
  uint64_t Finish() {
    for (std::size_t i = 0; i < held_; ++i) {
      h_ = (h_ ^ word_[i]) * 0x100000001B3ull;
    }
    held_ = 0;
    return h_;
  }

 private:
  void Word(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    h_ = (h_ ^ w) * 0x9E3779B97F4A7C15ull;
    h_ ^= h_ >> 29;
  }
  uint64_t h_;
  uint8_t word_[8] = {};
  std::size_t held_ = 0;
};

// [offset, offset + bytes.size()) of one file.
struct Run {
  uint64_t offset = 0;
  std::string bytes;
};

// What the journal holds for one file: its size and the bytes the change
// overwrites or cuts off.
struct FileUndo {
  std::string name;  // inside the table's folder
  uint64_t oldSize = 0;
  std::vector<Run> runs;
};

// False when the journal is not complete and intact.
[[nodiscard]] bool DecodeJournal(std::string_view in, std::vector<FileUndo>* files) {
  const auto* p = reinterpret_cast<const uint8_t*>(in.data());
  const std::size_t n = in.size();
  if (n < 2 * kMagicSize + 12 || std::memcmp(p, kJournalHead, kMagicSize) != 0 ||
      std::memcmp(p + n - kMagicSize, kJournalTail, kMagicSize) != 0) {
    return false;
  }
  const std::size_t body = n - kMagicSize - 8;
  const uint64_t sum = Le32(p + body) | uint64_t{Le32(p + body + 4)} << 32;
  Checksum check(body);
  check.Add(p, body);
  if (sum != check.Finish()) {
    return false;
  }
  std::size_t pos = kMagicSize;
  auto take = [&](std::size_t k) {
    if (body - pos < k) {
      return false;
    }
    pos += k;
    return true;
  };
  auto u64 = [&](std::size_t at) { return Le32(p + at) | uint64_t{Le32(p + at + 4)} << 32; };
  if (!take(4)) {
    return false;
  }
  const uint32_t count = Le32(p + pos - 4);
  for (uint32_t i = 0; i < count; ++i) {
    FileUndo f;
    if (!take(4)) {
      return false;
    }
    const uint32_t pathLen = Le32(p + pos - 4);
    if (!take(pathLen)) {
      return false;
    }
    f.name.assign(in.substr(pos - pathLen, pathLen));
    if (!take(12)) {
      return false;
    }
    f.oldSize = u64(pos - 12);
    const uint32_t runs = Le32(p + pos - 4);
    for (uint32_t r = 0; r < runs; ++r) {
      if (!take(16)) {
        return false;
      }
      Run run;
      run.offset = u64(pos - 16);
      const uint64_t len = u64(pos - 8);
      if (len > body - pos || run.offset > f.oldSize || len > f.oldSize - run.offset) {
        return false;
      }
      run.bytes.assign(in.substr(pos, static_cast<std::size_t>(len)));
      pos += static_cast<std::size_t>(len);
      f.runs.push_back(std::move(run));
    }
    files->push_back(std::move(f));
  }
  return pos == body;
}

Status ReadJournal(FileSystem* fs, const std::string& path, std::string* content) {
  std::unique_ptr<File> j;
  XCE_RETURN_IF_ERROR(fs->Open(path, OpenMode::kReadOnly, &j));
  uint64_t size = 0;
  XCE_RETURN_IF_ERROR(j->Size(&size));
  content->resize(static_cast<std::size_t>(size));
  std::size_t got = 0;
  XCE_RETURN_IF_ERROR(j->ReadAt(0, content->data(), content->size(), &got));
  content->resize(got);
  return Status::Ok();
}

// Writes the old bytes back and gives the file its old size.
Status Undo(File* file, const FileUndo& undo) {
  for (const Run& r : undo.runs) {
    XCE_RETURN_IF_ERROR(file->WriteAt(r.offset, r.bytes.data(), r.bytes.size()));
  }
  uint64_t size = 0;
  XCE_RETURN_IF_ERROR(file->Size(&size));
  if (size != undo.oldSize) {
    XCE_RETURN_IF_ERROR(file->Truncate(undo.oldSize));
  }
  return file->Sync();
}

}  // namespace

struct InPlaceChange::Staging {
  File* base = nullptr;
  // Pages staged in all files of the change, and how many they may grow to.
  std::shared_ptr<uint64_t> total;
  const uint64_t* limit = nullptr;
  uint64_t baseSize = 0;
  // Bytes below this come from the base where nothing is staged; a
  // truncation lowers it, so that a file cut and grown again reads zeros.
  uint64_t baseValid = 0;
  uint64_t size = 0;
  std::map<uint64_t, uint8_t*> pages;  // by page number
  // The pages' memory, handed out a block at a time.
  std::vector<std::unique_ptr<uint8_t[]>> blocks;
  std::size_t blockUsed = kPagesPerBlock;

  // The staged page, made from the file's bytes (unless `whole`, for a page
  // about to be overwritten completely) when it is not staged yet.
  uint8_t* Page(uint64_t number, bool whole, Status* s) {
    auto it = pages.find(number);
    if (it != pages.end()) {
      return it->second;
    }
    if ((*total + 1) * kStagePage > *limit) {
      *s = Status(kErrNotSupported, "The change of " + base->path() + " outgrows " +
                                        std::to_string(*limit) + " bytes");
      return nullptr;
    }
    ++*total;
    if (blockUsed == kPagesPerBlock) {
      blocks.push_back(std::make_unique<uint8_t[]>(kPagesPerBlock * kStagePage));
      blockUsed = 0;
    }
    uint8_t* page = blocks.back().get() + blockUsed++ * kStagePage;
    pages.emplace(number, page);
    const uint64_t start = number * kStagePage;
    std::size_t got = 0;
    if (!whole && start < baseValid) {
      *s = base->ReadAt(start, page,
                        static_cast<std::size_t>(std::min(kStagePage, baseValid - start)), &got);
    }
    std::memset(page + got, 0, static_cast<std::size_t>(kStagePage - got));
    return page;
  }

  // Runs of consecutive staged pages as [first, end) byte ranges.
  std::vector<std::pair<uint64_t, uint64_t>> StagedRanges() const {
    std::vector<std::pair<uint64_t, uint64_t>> out;
    for (const auto& [number, page] : pages) {
      (void)page;
      const uint64_t start = number * kStagePage;
      if (!out.empty() && out.back().second == start) {
        out.back().second += kStagePage;
      } else {
        out.emplace_back(start, start + kStagePage);
      }
    }
    return out;
  }
};

namespace {

class StagedFile : public File {
 public:
  explicit StagedFile(std::shared_ptr<InPlaceChange::Staging> s) : s_(std::move(s)) {}

  Status ReadAt(uint64_t offset, void* buf, std::size_t n, std::size_t* got) override {
    *got = 0;
    if (offset >= s_->size) {
      return Status::Ok();
    }
    n = static_cast<std::size_t>(std::min<uint64_t>(n, s_->size - offset));
    auto* out = static_cast<uint8_t*>(buf);
    for (std::size_t done = 0; done < n;) {
      const uint64_t at = offset + done;
      const uint64_t in = at % kStagePage;
      const std::size_t chunk = static_cast<std::size_t>(std::min<uint64_t>(kStagePage - in, n - done));
      auto it = s_->pages.find(at / kStagePage);
      if (it != s_->pages.end()) {
        std::memcpy(out + done, it->second + in, chunk);
      } else {
        std::size_t fromBase = at < s_->baseValid
                                   ? static_cast<std::size_t>(std::min<uint64_t>(chunk, s_->baseValid - at))
                                   : 0;
        std::size_t read = 0;
        if (fromBase > 0) {
          XCE_RETURN_IF_ERROR(s_->base->ReadAt(at, out + done, fromBase, &read));
        }
        std::memset(out + done + read, 0, chunk - read);
      }
      done += chunk;
    }
    *got = n;
    return Status::Ok();
  }

  Status WriteAt(uint64_t offset, const void* buf, std::size_t n) override {
    const auto* in = static_cast<const uint8_t*>(buf);
    for (std::size_t done = 0; done < n;) {
      const uint64_t at = offset + done;
      const uint64_t within = at % kStagePage;
      const std::size_t chunk =
          static_cast<std::size_t>(std::min<uint64_t>(kStagePage - within, n - done));
      Status s;
      uint8_t* page = s_->Page(at / kStagePage, chunk == kStagePage, &s);
      XCE_RETURN_IF_ERROR(s);
      if (page == nullptr) {
        return Status(kErrIo, "A staged change lost its page");  // not reached
      }
      std::memcpy(page + within, in + done, chunk);
      done += chunk;
    }
    s_->size = std::max(s_->size, offset + n);
    return Status::Ok();
  }

  Status Size(uint64_t* size) override {
    *size = s_->size;
    return Status::Ok();
  }

  Status Truncate(uint64_t size) override {
    if (size < s_->size) {
      // Whatever lies past the new end reads as zeros if the file grows again.
      const uint64_t keep = (size + kStagePage - 1) / kStagePage;
      const auto cut = s_->pages.lower_bound(keep);
      *s_->total -= static_cast<uint64_t>(std::distance(cut, s_->pages.end()));
      s_->pages.erase(cut, s_->pages.end());
      if (size % kStagePage != 0) {
        auto it = s_->pages.find(size / kStagePage);
        if (it != s_->pages.end()) {
          std::memset(it->second + size % kStagePage, 0,
                      static_cast<std::size_t>(kStagePage - size % kStagePage));
        }
      }
      s_->baseValid = std::min(s_->baseValid, size);
    }
    s_->size = size;
    return Status::Ok();
  }

  Status Sync() override { return Status::Ok(); }  // the commit syncs
  Status LockFile(LockKind kind) override { return s_->base->LockFile(kind); }
  Status UnlockFile() override { return s_->base->UnlockFile(); }
  Status LockRange(uint64_t offset, uint64_t length) override {
    return s_->base->LockRange(offset, length);
  }
  Status UnlockRange(uint64_t offset, uint64_t length) override {
    return s_->base->UnlockRange(offset, length);
  }
  const std::string& path() const override { return s_->base->path(); }

 private:
  std::shared_ptr<InPlaceChange::Staging> s_;
};

}  // namespace

InPlaceChange::InPlaceChange(FileSystem* fs, std::string journalPath, std::string dir)
    : fs_(fs), journalPath_(std::move(journalPath)), dir_(std::move(dir)) {}

InPlaceChange::~InPlaceChange() = default;

std::unique_ptr<File> InPlaceChange::Stage(File* base) {
  for (const auto& s : stagings_) {
    if (s->base == base) {
      return std::make_unique<StagedFile>(s);
    }
  }
  auto s = std::make_shared<Staging>();
  s->base = base;
  s->total = pages_;
  s->limit = &limit_;
  if (!base->Size(&s->baseSize).ok()) {
    s->baseSize = 0;  // Commit asks again and fails on the same error
  }
  s->baseValid = s->size = s->baseSize;
  stagings_.push_back(s);
  return std::make_unique<StagedFile>(std::move(s));
}

uint64_t InPlaceChange::staged_bytes() const { return *pages_ * kStagePage; }

uint64_t InPlaceChange::PageBytes(uint64_t offset, uint64_t n) {
  return n == 0 ? 0 : ((offset + n - 1) / kStagePage - offset / kStagePage + 1) * kStagePage;
}

Status InPlaceChange::Commit(bool* rolledBack) {
  *rolledBack = true;
  // The journal: for each file its size and the bytes the change overwrites
  // or cuts off.
  std::vector<std::vector<std::pair<uint64_t, uint64_t>>> undone(stagings_.size());
  std::size_t size = 3 * kMagicSize + 4;
  for (std::size_t i = 0; i < stagings_.size(); ++i) {
    const Staging& st = *stagings_[i];
    uint64_t now = 0;
    XCE_RETURN_IF_ERROR(st.base->Size(&now));
    if (now != st.baseSize) {
      return Status(kErrIo, "File " + st.base->path() + " changed during an in-place change");
    }
    std::vector<std::pair<uint64_t, uint64_t>> ranges = st.StagedRanges();
    if (st.baseValid < st.baseSize) {
      ranges.emplace_back(st.baseValid, st.baseSize);
      std::sort(ranges.begin(), ranges.end());
    }
    for (auto [first, end] : ranges) {
      end = std::min(end, st.baseSize);
      if (first >= end) {
        continue;
      }
      if (!undone[i].empty() && undone[i].back().second >= first) {
        undone[i].back().second = std::max(undone[i].back().second, end);
      } else {
        undone[i].emplace_back(first, end);
      }
    }
    size += 16 + NameOf(st.base->path()).size();
    for (const auto& [first, end] : undone[i]) {
      size += 16 + static_cast<std::size_t>(end - first);
    }
  }
  // Written in pieces through one buffer: a journal as large as the tail
  // of a table never sits in memory as a whole.
  Checksum sum(size - kMagicSize - 8);
  std::vector<uint8_t> buffer;
  buffer.reserve(kApplyChunk + 64);
  uint64_t written = 0;
  std::unique_ptr<File> j;
  auto flush = [&]() -> Status {
    if (buffer.empty()) {
      return Status::Ok();
    }
    sum.Add(buffer.data(), buffer.size());
    XCE_RETURN_IF_ERROR(j->WriteAt(written, buffer.data(), buffer.size()));
    written += buffer.size();
    buffer.clear();
    return Status::Ok();
  };
  auto put32 = [&](uint32_t v) {
    uint8_t b[4];
    PutLe32(b, v);
    buffer.insert(buffer.end(), b, b + 4);
  };
  auto put64 = [&](uint64_t v) {
    put32(static_cast<uint32_t>(v));
    put32(static_cast<uint32_t>(v >> 32));
  };
  Status s = [&]() -> Status {
    XCE_RETURN_IF_ERROR(fs_->Open(journalPath_, OpenMode::kCreate, &j));
    buffer.insert(buffer.end(), kJournalHead, kJournalHead + kMagicSize);
    put32(static_cast<uint32_t>(stagings_.size()));
    for (std::size_t i = 0; i < stagings_.size(); ++i) {
      const Staging& st = *stagings_[i];
      // Files are named inside the folder, so a folder moved after a crash
      // still has its journal.
      const std::string& path = st.base->path();
      const std::string name = NameOf(path);
      put32(static_cast<uint32_t>(name.size()));
      buffer.insert(buffer.end(), name.begin(), name.end());
      put64(st.baseSize);
      put32(static_cast<uint32_t>(undone[i].size()));
      for (const auto& [first, end] : undone[i]) {
        put64(first);
        put64(end - first);
        for (uint64_t at = first; at < end;) {
          const std::size_t n = static_cast<std::size_t>(std::min(end - at, kApplyChunk));
          const std::size_t held = buffer.size();
          buffer.resize(held + n);
          std::size_t got = 0;
          XCE_RETURN_IF_ERROR(st.base->ReadAt(at, buffer.data() + held, n, &got));
          if (got != n) {
            return Status(kErrIo, "File " + path + " is shorter than it says");
          }
          at += n;
          XCE_RETURN_IF_ERROR(flush());
        }
      }
    }
    XCE_RETURN_IF_ERROR(flush());
    put64(sum.Finish());
    buffer.insert(buffer.end(), kJournalTail, kJournalTail + kMagicSize);
    XCE_RETURN_IF_ERROR(j->WriteAt(written, buffer.data(), buffer.size()));
    XCE_RETURN_IF_ERROR(j->Sync());
    j.reset();
    return fs_->SyncDir(dir_);
  }();
  if (!s.ok()) {
    j.reset();
    (void)fs_->Remove(journalPath_);  // best effort: no file was touched yet
    return s;
  }
  // From here on the journal can put every file back.
  s = Apply();
  if (s.ok()) {
    s = fs_->Remove(journalPath_);
  }
  if (s.ok()) {
    s = fs_->SyncDir(dir_);
  }
  if (s.ok()) {
    stagings_.clear();
    return Status::Ok();
  }
  // The journal is read back from the disk it was made durable on.
  std::string content;
  std::vector<FileUndo> undo;
  *rolledBack = ReadJournal(fs_, journalPath_, &content).ok() && DecodeJournal(content, &undo) &&
                undo.size() == stagings_.size();
  for (std::size_t i = 0; i < stagings_.size() && *rolledBack; ++i) {
    *rolledBack = Undo(stagings_[i]->base, undo[i]).ok();
  }
  if (*rolledBack && fs_->Exists(journalPath_)) {
    *rolledBack = fs_->Remove(journalPath_).ok() && fs_->SyncDir(dir_).ok();
  }
  return s;
}

Status InPlaceChange::Apply() {
  for (const auto& s : stagings_) {
    // Pages staged one after the other usually sit side by side in memory
    // too: such runs go to the file straight from there. Pages side by side
    // in the file but not in memory (an index's pages, staged in the order
    // its tree was walked) are gathered, so a run is one write, not one a
    // page.
    const uint8_t* from = nullptr;
    uint64_t at = 0;
    uint64_t n = 0;
    std::vector<uint8_t> gathered;
    auto flush = [&]() -> Status {
      const uint8_t* bytes = gathered.empty() ? from : gathered.data();
      Status w = n > 0 ? s->base->WriteAt(at, bytes, static_cast<std::size_t>(n)) : Status::Ok();
      n = 0;
      gathered.clear();
      return w;
    };
    for (const auto& [number, page] : s->pages) {
      const uint64_t start = number * kStagePage;
      if (start >= s->size) {
        break;
      }
      const uint64_t bytes = std::min(kStagePage, s->size - start);
      if (n > 0 && (at + n != start || n >= kApplyChunk)) {
        XCE_RETURN_IF_ERROR(flush());
      }
      if (n == 0) {
        from = page;
        at = start;
      } else if (gathered.empty() && from + n != page) {
        gathered.reserve(kApplyChunk + kStagePage);
        gathered.assign(from, from + n);
      }
      if (!gathered.empty()) {
        gathered.insert(gathered.end(), page, page + bytes);
      }
      n += bytes;
    }
    XCE_RETURN_IF_ERROR(flush());
    uint64_t now = 0;
    XCE_RETURN_IF_ERROR(s->base->Size(&now));
    if (now != s->size) {
      XCE_RETURN_IF_ERROR(s->base->Truncate(s->size));
    }
  }
  for (const auto& s : stagings_) {
    XCE_RETURN_IF_ERROR(s->base->Sync());
  }
  return Status::Ok();
}

Status InPlaceChange::Recover(FileSystem* fs, const std::string& journalPath,
                              const std::string& dir,
                              const std::function<bool(const std::string&)>& belongs,
                              bool readOnly) {
  if (!fs->Exists(journalPath)) {
    return Status::Ok();
  }
  std::string content;
  XCE_RETURN_IF_ERROR(ReadJournal(fs, journalPath, &content));
  std::vector<FileUndo> files;
  bool valid = DecodeJournal(content, &files);
  for (const FileUndo& f : files) {
    valid = valid && f.name.find('/') == std::string::npos && belongs(f.name);
  }
  if (readOnly) {
    if (valid) {
      return Status(kErrLocked, "A pack of " +
                                    journalPath.substr(0, journalPath.size() - std::strlen(kUndoSuffix)) +
                                    " was interrupted; open the table for writing once to "
                                    "put it back");
    }
    return Status::Ok();  // an incomplete journal changed nothing
  }
  if (valid) {
    for (const FileUndo& f : files) {
      std::unique_ptr<File> file;
      XCE_RETURN_IF_ERROR(fs->Open(JoinPath(dir, f.name), OpenMode::kReadWrite, &file));
      XCE_RETURN_IF_ERROR(Undo(file.get(), f));
    }
  }
  XCE_RETURN_IF_ERROR(fs->Remove(journalPath));
  return fs->SyncDir(dir);
}

}  // namespace xce
