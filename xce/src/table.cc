#include "table.h"

#include <algorithm>
#include <cstring>

#include "codepage.h"
#include "in_place_change.h"

namespace xce {
namespace {

constexpr std::size_t kReadAheadBytes = 64 * 1024;
// Going to an end of an index order under a filter that knows the few records
// it passes: comparing one record's place in the order costs about as much as
// this many steps of a walk through it.
constexpr uint32_t kMaxPlacesCompared = 4096;
constexpr uint32_t kStepsPerPlaceCompared = 8;
// Record locks are byte-range locks far past any data; the append lock sits
// just below the first record's byte.
constexpr uint64_t kRecordLockBase = 0x100000000ULL;
constexpr uint64_t kAppendLockOffset = kRecordLockBase;

// Memo file name for a table: same base name, extension in the same letter
// case as the table's own.
std::string MemoNameFor(const std::string& tableName, MemoKind kind) {
  std::size_t dot = tableName.rfind('.');
  std::string base = dot == std::string::npos ? tableName : tableName.substr(0, dot);
  bool lower = dot != std::string::npos && dot + 1 < tableName.size() &&
               std::islower(static_cast<unsigned char>(tableName[dot + 1]));
  std::string ext = kind == MemoKind::kFpt ? "fpt" : "dbt";
  if (dot != std::string::npos && EqualsNoCase(tableName.substr(dot + 1), "dbc")) {
    ext = "dct";  // a database container keeps its memos in .dct
  }
  if (!lower) {
    for (char& c : ext) {
      c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
  }
  return base + "." + ext;
}

uint32_t MemoItemType(const FieldInfo& f) {
  switch (f.type) {
    case 'G':
      return kMemoItemObject;
    case 'W':
    case 'P':
      return kMemoItemBinary;
    default:
      return kMemoItemText;
  }
}

Status NoCurrentRecord(const std::string& path) {
  return Status(kErrNoCurrentRecord, "No current record in table " + path);
}

}  // namespace

std::string DirOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    return ".";
  }
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string JoinPath(const std::string& dir, const std::string& name) {
  if (dir.empty() || dir == ".") {
    return name;
  }
  return dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string StemOf(const std::string& path) {
  std::string name = NameOf(path);
  std::size_t dot = name.rfind('.');
  return dot == std::string::npos ? name : name.substr(0, dot);
}


// ---------------------------------------------------------------- orders

Status Order::FillBookmark(Table& t, uint32_t recno, uint8_t* out) {
  (void)t;
  std::memcpy(out, &recno, 4);
  return Status::Ok();
}

Status Order::CompareRecords(Table& t, uint32_t a, uint32_t b, int* result) {
  (void)t;
  *result = a < b ? -1 : (a > b ? 1 : 0);
  return Status::Ok();
}

Status RecnoOrder::First(Table& t, uint32_t* recno) {
  *recno = t.RecordCount() > 0 ? 1 : 0;
  return Status::Ok();
}

Status RecnoOrder::Last(Table& t, uint32_t* recno) {
  *recno = t.RecordCount();
  return Status::Ok();
}

Status RecnoOrder::Next(Table& t, uint32_t recno, uint32_t* next) {
  *next = recno < t.RecordCount() ? recno + 1 : 0;
  return Status::Ok();
}

Status RecnoOrder::Prev(Table& t, uint32_t recno, uint32_t* prev) {
  (void)t;
  *prev = recno > 1 ? recno - 1 : 0;
  return Status::Ok();
}

// ---------------------------------------------------------------- paths

bool FindNoCase(FileSystem* fs, const std::string& dir, const std::string& name,
                std::string* actual) {
  if (fs->Exists(JoinPath(dir, name))) {
    *actual = name;
    return true;
  }
  std::vector<std::string> names;
  if (!fs->ListDir(dir, &names).ok()) {
    return false;
  }
  std::sort(names.begin(), names.end());
  for (const std::string& n : names) {
    if (EqualsNoCase(n, name)) {
      *actual = n;
      return true;
    }
  }
  return false;
}

Status ResolveTablePath(FileSystem* fs, const std::string& dir, const std::string& given,
                        std::string* out, bool* found) {
  std::string p = given;
  std::replace(p.begin(), p.end(), '\\', '/');
  if (p.empty()) {
    return Status(kErrBadArgument, "No table name given");
  }
  if (p[0] != '/') {
    p = JoinPath(dir, p);
  }
  std::string d = DirOf(p);
  std::string name = NameOf(p);
  if (name.empty()) {
    return Status(kErrBadArgument, "No table name in path " + given);
  }
  if (name.find('.') == std::string::npos) {
    name += ".dbf";
  }
  std::string actual;
  *found = FindNoCase(fs, d, name, &actual);
  *out = JoinPath(d, *found ? actual : name);
  return Status::Ok();
}

// ---------------------------------------------------------------- swap

Status SwapSet::Commit(FileSystem* fs, const std::string& journalPath, const std::string& dir) {
  std::string content = "xce-swap 1\n";
  for (const auto& [tmp, fin] : pairs_) {
    content += tmp + "\t" + fin + "\n";
  }
  content += "end\n";
  {
    std::unique_ptr<File> j;
    XCE_RETURN_IF_ERROR(fs->Open(journalPath, OpenMode::kCreate, &j));
    XCE_RETURN_IF_ERROR(j->WriteAt(0, content.data(), content.size()));
    XCE_RETURN_IF_ERROR(j->Sync());
  }
  XCE_RETURN_IF_ERROR(fs->SyncDir(dir));
  for (const auto& [tmp, fin] : pairs_) {
    XCE_RETURN_IF_ERROR(fs->Rename(tmp, fin));
  }
  XCE_RETURN_IF_ERROR(fs->SyncDir(dir));
  return fs->Remove(journalPath);
}

Status SwapSet::Recover(FileSystem* fs, const std::string& journalPath, const std::string& dir,
                        bool readOnly) {
  if (!fs->Exists(journalPath)) {
    return Status::Ok();
  }
  std::string content;
  {
    std::unique_ptr<File> j;
    XCE_RETURN_IF_ERROR(fs->Open(journalPath, OpenMode::kReadOnly, &j));
    uint64_t size = 0;
    XCE_RETURN_IF_ERROR(j->Size(&size));
    content.resize(static_cast<std::size_t>(std::min<uint64_t>(size, 1 << 20)));
    std::size_t got = 0;
    XCE_RETURN_IF_ERROR(j->ReadAt(0, content.data(), content.size(), &got));
    content.resize(got);
  }
  const std::string head = "xce-swap 1\n";
  bool complete = content.size() >= head.size() + 4 && content.compare(0, head.size(), head) == 0 &&
                  content.compare(content.size() - 4, 4, "end\n") == 0;
  std::vector<std::pair<std::string, std::string>> pairs;
  std::size_t pos = content.compare(0, head.size(), head) == 0 ? head.size() : content.size();
  while (pos < content.size()) {
    std::size_t nl = content.find('\n', pos);
    if (nl == std::string::npos) {
      break;
    }
    std::string line = content.substr(pos, nl - pos);
    pos = nl + 1;
    std::size_t tab = line.find('\t');
    // Only ever a rebuild's or a reindex's "X.<suffix>" over "X", as Commit
    // writes them: a journal planted beside a table must not rename or
    // remove other files.
    if (tab != std::string::npos && tab > 0) {
      const std::string fin = line.substr(tab + 1);
      for (const char* suffix : {kRebuildSuffix, kReindexSuffix}) {
        if (line.compare(0, tab, fin + suffix) == 0) {
          pairs.emplace_back(line.substr(0, tab), fin);
        }
      }
    }
  }
  if (readOnly) {
    if (complete) {
      return Status(kErrLocked, "A pack, zap or reindex of " +
                                    journalPath.substr(0, journalPath.size() - std::strlen(kSwapSuffix)) +
                                    " was interrupted; open the table for writing once to "
                                    "complete it");
    }
    return Status::Ok();  // an unfinished journal changed nothing yet
  }
  if (complete) {
    for (const auto& [tmp, fin] : pairs) {
      if (fs->Exists(tmp)) {
        XCE_RETURN_IF_ERROR(fs->Rename(tmp, fin));
      }
    }
    XCE_RETURN_IF_ERROR(fs->SyncDir(dir));
  } else {
    for (const auto& [tmp, fin] : pairs) {
      (void)fin;
      (void)fs->Remove(tmp);  // best effort: an unfinished swap's files change nothing
    }
  }
  return fs->Remove(journalPath);
}

// ---------------------------------------------------------------- open/close

Table::~Table() { (void)Close(); }  // a destructor has no one to tell

Status Table::Open(FileSystem* fs, const std::string& path, const OpenOptions& options,
                   std::shared_ptr<Table>* out) {
  auto t = std::make_shared<Table>(PrivateTag());
  t->fs_ = fs;
  t->path_ = path;
  t->dir_ = DirOf(path);
  t->options_ = options;
  // A pack interrupted in place is put back; only this table's own files
  // (its name with any extension) are ever touched for it.
  const std::string stem = StemOf(path);
  XCE_RETURN_IF_ERROR(InPlaceChange::Recover(
      fs, path + kUndoSuffix, t->dir_,
      [&](const std::string& name) { return EqualsNoCase(StemOf(name), stem); }, options.readOnly));
  XCE_RETURN_IF_ERROR(SwapSet::Recover(fs, path + kSwapSuffix, t->dir_, options.readOnly));
  XCE_RETURN_IF_ERROR(
      fs->Open(path, options.readOnly ? OpenMode::kReadOnly : OpenMode::kReadWrite, &t->dbf_));
  Status locked = t->dbf_->LockFile(options.exclusive ? LockKind::kExclusive : LockKind::kShared);
  if (!locked.ok()) {
    if (locked.code() == kErrLocked) {
      return Status(kErrLocked, "Table " + path + " is in use by another program" +
                                    (options.exclusive ? "" : " (opened exclusively)"));
    }
    return locked;
  }
  if (options.exclusive) {
    // No other process can change the file: random record reads (index
    // order, seeks) come from a memory map instead of a read each.
    t->dbf_->EnableMappedReads();
  }
  uint64_t size = 0;
  XCE_RETURN_IF_ERROR(t->dbf_->Size(&size));
  std::vector<uint8_t> head(static_cast<std::size_t>(std::min<uint64_t>(size, 65536)));
  std::size_t got = 0;
  XCE_RETURN_IF_ERROR(t->dbf_->ReadAt(0, head.data(), head.size(), &got));
  XCE_RETURN_IF_ERROR(ParseDbfHeader(path, head.data(), got, size, &t->layout_));
  t->headerBytes_.assign(head.begin(), head.begin() + t->layout_.headerLength);
  t->count_ = t->diskCount_ = t->layout_.recordCount;
  if (t->layout_.hasMemoFields) {
    std::string memoName = MemoNameFor(NameOf(path), t->layout_.memoKind);
    std::string actual;
    if (!FindNoCase(fs, t->dir_, memoName, &actual)) {
      return Status(kErrTableNotFound, "Memo file " + JoinPath(t->dir_, memoName) + " of table " +
                                           path + " does not exist");
    }
    t->memoPath_ = JoinPath(t->dir_, actual);
    std::unique_ptr<File> mf;
    XCE_RETURN_IF_ERROR(
        fs->Open(t->memoPath_, options.readOnly ? OpenMode::kReadOnly : OpenMode::kReadWrite, &mf));
    if (options.exclusive) {
      mf->EnableMappedReads();  // as the table's own file, for a pack's walk of every value
    }
    XCE_RETURN_IF_ERROR(MemoFile::Open(std::move(mf), t->layout_.memoKind, &t->memo_));
    t->memo_->SetSoleWriter(options.exclusive && !options.readOnly);
  }
  t->cur_.assign(t->layout_.recordLength, ' ');
  t->scratch_.assign(t->layout_.recordLength, ' ');
  BlankRecord(t->layout_, t->cur_.data());
  t->blank_ = t->cur_;
  t->readAhead_ = std::max<uint32_t>(1, kReadAheadBytes / t->layout_.recordLength);
  t->hasCurrency_ = std::any_of(t->layout_.fields.begin(), t->layout_.fields.end(),
                                [](const FieldInfo& f) { return f.engineType == kTypeCurrency; });
  XCE_RETURN_IF_ERROR(t->GotoTop(&t->recnoOrder_));
  *out = std::move(t);
  return Status::Ok();
}

Status Table::Create(FileSystem* fs, const std::string& path, const std::vector<FieldSpec>& fields,
                     bool oem) {
  std::vector<uint8_t> header;
  DbfLayout layout;
  XCE_RETURN_IF_ERROR(BuildDbfHeader(path, fields, oem, &header, &layout));
  std::string dir = DirOf(path);
  const std::string name = NameOf(path);
  const std::string stem = StemOf(path);
  // A new table never takes over files it finds: a leftover memo or index
  // of the same name (in any letter case) may be someone's data.
  const std::string memoName = MemoNameFor(name, MemoKind::kFpt);
  for (const std::string& n : {name, memoName, stem + ".cdx"}) {
    std::string actual;
    if (FindNoCase(fs, dir, n, &actual)) {
      return Status(kErrAlreadyExists,
                    "Cannot create table " + path + ": " + JoinPath(dir, actual) + " exists");
    }
  }
  // Both files are written under temporary names and appear under their own
  // names only when complete; a failure leaves neither behind.
  const std::string tmp = path + kRebuildSuffix;
  const std::string memoPath = JoinPath(dir, memoName);
  const std::string memoTmp = memoPath + kRebuildSuffix;
  Status s = [&]() -> Status {
    if (layout.hasMemoFields) {
      std::unique_ptr<File> mf;
      XCE_RETURN_IF_ERROR(fs->Open(memoTmp, OpenMode::kCreate, &mf));
      XCE_RETURN_IF_ERROR(MemoFile::WriteEmptyFpt(mf.get(), kDefaultMemoBlockSize));
      XCE_RETURN_IF_ERROR(mf->Sync());
    }
    std::unique_ptr<File> f;
    XCE_RETURN_IF_ERROR(fs->Open(tmp, OpenMode::kCreate, &f));
    header.push_back(kEofByte);
    XCE_RETURN_IF_ERROR(f->WriteAt(0, header.data(), header.size()));
    XCE_RETURN_IF_ERROR(f->Sync());
    if (layout.hasMemoFields) {
      XCE_RETURN_IF_ERROR(fs->Rename(memoTmp, memoPath));
    }
    Status renamed = fs->Rename(tmp, path);
    if (!renamed.ok() && layout.hasMemoFields) {
      (void)fs->Remove(memoPath);  // the table's failure is what the caller hears of
    }
    return renamed;
  }();
  if (!s.ok()) {
    // Best effort: the temporary files are useless, and the first failure
    // is what the caller needs to hear of.
    (void)fs->Remove(tmp);
    (void)fs->Remove(memoTmp);
    return s;
  }
  return fs->SyncDir(dir);
}

Status Table::Close() {
  if (closed_) {
    return Status::Ok();
  }
  Status s;
  if (broken_.ok() && dbf_ != nullptr) {
    s = CommitPending();
    Status f = FlushAppends();
    if (s.ok()) {
      s = f;
    }
    for (const auto& ext : extensions_) {
      f = ext->OnFlush(*this);
      s = s.ok() ? f : s;
    }
  }
  for (const auto& ext : extensions_) {
    ext->OnClose(*this);
  }
  extensions_.clear();
  filters_.clear();
  memo_.reset();
  dbf_.reset();  // closing the descriptor releases every lock it holds
  closed_ = true;
  return s;
}

// ---------------------------------------------------------------- description

uint16_t Table::FieldNumber(std::string_view name) const {
  for (std::size_t i = 0; i < layout_.fields.size(); ++i) {
    if (EqualsNoCase(layout_.fields[i].name, name)) {
      return static_cast<uint16_t>(i + 1);
    }
  }
  return 0;
}

Status Table::CheckField(uint16_t number, const FieldInfo** f) const {
  if (number < 1 || number > layout_.fields.size()) {
    return Status(kErrBadFieldNumber,
                  "Field number " + std::to_string(number) + " does not exist in table " + path_);
  }
  *f = &layout_.fields[number - 1];
  return Status::Ok();
}

Status Table::CheckWritable() const {
  if (!broken_.ok()) {
    return broken_;
  }
  if (options_.readOnly) {
    return Status(kErrReadOnly, "Table " + path_ + " is open read-only");
  }
  if (layout_.hasStructuralCdx()) {
    bool maintained = std::any_of(extensions_.begin(), extensions_.end(),
                                  [](const auto& e) { return e->MaintainsStructuralIndex(); });
    if (!maintained) {
      return Status(kErrIndexProtected,
                    "Table " + path_ +
                        " has a structural index that is not kept up to date by this engine; "
                        "it can only be read");
    }
  }
  return Status::Ok();
}

uint32_t Table::OpenOptionsWord() const {
  return options_.rawOptions | (CheckWritable().ok() ? 0x60u : 0u);
}

// ---------------------------------------------------------------- reading

void Table::SetReadAhead(uint32_t records) {
  readAhead_ = records;
  cacheCount_ = 0;
}

Status Table::ScanRecords(uint32_t first, uint32_t n, char* out) {
  const uint32_t len = layout_.recordLength;
  if (n > 0 && first >= 1 && first <= diskCount_ && n <= diskCount_ - first + 1) {
    // All on disk: one read, not a call per record.
    const std::size_t bytes = static_cast<std::size_t>(n) * len;
    std::size_t got = 0;
    XCE_RETURN_IF_ERROR(
        dbf_->ReadAt(layout_.headerLength + static_cast<uint64_t>(first - 1) * len, out, bytes, &got));
    if (got < bytes) {
      return Status(kErrCorrupt, "Table " + path_ + " is damaged: record " +
                                     std::to_string(first + got / len) +
                                     " lies past the end of the file");
    }
    ReleaseScanned(first, n);
    return Status::Ok();
  }
  for (uint32_t j = 0; j < n; ++j) {
    XCE_RETURN_IF_ERROR(ReadRecord(first + j, out + static_cast<std::size_t>(j) * len));
  }
  ReleaseScanned(first, n);
  return Status::Ok();
}

void Table::ReleaseScanned(uint32_t first, uint32_t n) {
  if (n > 0 && first >= 1 && first <= diskCount_) {
    const uint32_t onDisk = std::min(n, diskCount_ - first + 1);
    dbf_->ReleaseMapped(layout_.headerLength + static_cast<uint64_t>(first - 1) * layout_.recordLength,
                        static_cast<uint64_t>(onDisk) * layout_.recordLength);
  }
}

Status Table::ReadRecord(uint32_t recno, char* out) {
  const uint32_t len = layout_.recordLength;
  if (recno < 1 || recno > count_) {
    return Status(kErrBadRecordNumber,
                  "Record " + std::to_string(recno) + " does not exist in table " + path_);
  }
  if (recno > diskCount_) {
    std::memcpy(out, appendBuf_.data() + static_cast<std::size_t>(recno - diskCount_ - 1) * len,
                len);
    return Status::Ok();
  }
  if (cacheCount_ > 0 && recno >= cacheFirst_ && recno < cacheFirst_ + cacheCount_) {
    std::memcpy(out, cache_.data() + static_cast<std::size_t>(recno - cacheFirst_) * len, len);
    lastRead_ = recno;
    return Status::Ok();
  }
  bool forward = recno == lastRead_ + 1;
  bool backward = lastRead_ > 0 && recno + 1 == lastRead_;
  lastRead_ = recno;
  std::size_t got = 0;
  if (readAhead_ > 1 && (forward || backward)) {
    uint32_t first = recno;
    uint32_t n = std::min(readAhead_, diskCount_ - recno + 1);
    if (backward) {
      first = recno > readAhead_ ? recno - readAhead_ + 1 : 1;
      n = recno - first + 1;
    }
    cache_.resize(static_cast<std::size_t>(n) * len);
    cacheCount_ = 0;
    XCE_RETURN_IF_ERROR(dbf_->ReadAt(layout_.headerLength + static_cast<uint64_t>(first - 1) * len,
                                     cache_.data(), cache_.size(), &got));
    if (got < cache_.size()) {
      return Status(kErrCorrupt, "Table " + path_ + " is damaged: record " +
                                     std::to_string(first + got / len) +
                                     " lies past the end of the file");
    }
    cacheFirst_ = first;
    cacheCount_ = n;
    std::memcpy(out, cache_.data() + static_cast<std::size_t>(recno - first) * len, len);
    return Status::Ok();
  }
  XCE_RETURN_IF_ERROR(
      dbf_->ReadAt(layout_.headerLength + static_cast<uint64_t>(recno - 1) * len, out, len, &got));
  if (got < len) {
    return Status(kErrCorrupt, "Table " + path_ + " is damaged: record " + std::to_string(recno) +
                                   " lies past the end of the file");
  }
  return Status::Ok();
}

Status Table::LoadCurrent() { return ReadRecord(recno_, cur_.data()); }

Status Table::ReloadCount() {
  if (options_.exclusive || !appendBuf_.empty()) {
    return Status::Ok();  // nobody else can have changed it
  }
  uint8_t b[kHeaderSize];
  std::size_t got = 0;
  XCE_RETURN_IF_ERROR(dbf_->ReadAt(0, b, kHeaderSize, &got));
  uint64_t size = 0;
  XCE_RETURN_IF_ERROR(dbf_->Size(&size));
  uint32_t n = got == kHeaderSize ? DecodeDbfHeader(b).recordCount : diskCount_;
  uint64_t fits =
      size > layout_.headerLength ? (size - layout_.headerLength) / layout_.recordLength : 0;
  if (n > fits) {
    n = static_cast<uint32_t>(fits);
  }
  count_ = diskCount_ = n;
  cacheCount_ = 0;
  return Status::Ok();
}

// ---------------------------------------------------------------- movement

void Table::SetEof() {
  eof_ = true;
  bof_ = count_ == 0;
  recno_ = count_ + 1;
  std::memcpy(cur_.data(), blank_.data(), cur_.size());
}

void Table::PrefetchRecord(uint32_t recno) {
  if (recno < 1 || recno > diskCount_) {
    return;
  }
  for (const auto& filter : filters_) {
    if (filter->KnownRejected(*this, recno)) {
      return;
    }
  }
  dbf_->Prefetch(layout_.headerLength + static_cast<uint64_t>(recno - 1) * layout_.recordLength,
                 layout_.recordLength);
}

Status Table::IsVisible(Order* order, uint32_t recno, bool* visible) {
  *visible = true;
  scratchRecno_ = 0;
  if (showDeleted_ && filters_.empty() && order->IsRecnoOrder()) {
    return Status::Ok();
  }
  // A record a filter has already turned down is passed over unread: an
  // optimized filter that keeps few records (or none) then costs a walk of
  // the order's keys, not a read of every record.
  for (const auto& filter : filters_) {
    bool rejected = false;
    XCE_RETURN_IF_ERROR(filter->RejectsUnread(*this, recno, &rejected));
    if (rejected) {
      *visible = false;
      return Status::Ok();
    }
  }
  XCE_RETURN_IF_ERROR(ReadRecord(recno, scratch_.data()));
  scratchRecno_ = recno;
  if (!showDeleted_ && scratch_[0] == static_cast<char>(kDeletedFlag)) {
    *visible = false;
    return Status::Ok();
  }
  XCE_RETURN_IF_ERROR(order->InOrder(*this, recno, visible));
  for (std::size_t i = 0; *visible && i < filters_.size(); ++i) {
    XCE_RETURN_IF_ERROR(filters_[i]->Accept(*this, recno, scratch_.data(), visible));
  }
  return Status::Ok();
}

Status Table::SettlePosition(Order* order, uint32_t start, bool forward, bool* found,
                             uint32_t steps, uint32_t* stoppedAt) {
  *found = false;
  if (stoppedAt != nullptr) {
    *stoppedAt = 0;
  }
  // A filter known to pass nothing ends the search before it walks the
  // order: the sentinel filter that stands for "no section marked" is one.
  for (std::size_t i = 0; start != 0 && i < filters_.size(); ++i) {
    bool none = false;
    XCE_RETURN_IF_ERROR(filters_[i]->PassesNone(*this, &none));
    if (none) {
      return Status::Ok();
    }
  }
  uint32_t r = start;
  for (; r != 0 && steps > 0; --steps) {
    bool visible = false;
    XCE_RETURN_IF_ERROR(IsVisible(order, r, &visible));
    if (visible) {
      recno_ = r;
      eof_ = bof_ = false;
      *found = true;
      // The image IsVisible has just read is the record's.
      if (scratchRecno_ == r) {
        std::memcpy(cur_.data(), scratch_.data(), cur_.size());
        return Status::Ok();
      }
      return LoadCurrent();
    }
    XCE_RETURN_IF_ERROR(forward ? order->Next(*this, r, &r) : order->Prev(*this, r, &r));
  }
  if (stoppedAt != nullptr) {
    *stoppedAt = r;
  }
  return Status::Ok();
}

Status Table::NearestVisible(Order* order, const std::vector<uint32_t>& records, bool top,
                             uint32_t* nearest) {
  *nearest = 0;
  for (uint32_t r : records) {
    bool visible = false;
    XCE_RETURN_IF_ERROR(IsVisible(order, r, &visible));
    if (!visible) {
      continue;
    }
    int c = 0;
    if (*nearest != 0) {
      XCE_RETURN_IF_ERROR(order->CompareRecords(*this, r, *nearest, &c));
    }
    if (*nearest == 0 || (top ? c < 0 : c > 0)) {
      *nearest = r;
    }
  }
  return Status::Ok();
}

Status Table::GotoTop(Order* order) { return GotoEnd(order, true); }

Status Table::GotoBottom(Order* order) { return GotoEnd(order, false); }

Status Table::GotoEnd(Order* order, bool top) {
  XCE_RETURN_IF_ERROR(Settle());
  XCE_RETURN_IF_ERROR(ReloadCount());
  uint32_t r = 0;
  XCE_RETURN_IF_ERROR(top ? order->First(*this, &r) : order->Last(*this, &r));
  bool found = false;
  // A narrow optimized filter over an index order (the sections marked in a
  // large membership table) may keep its first record far down the order:
  // past a walk as long as comparing the few records' places would take,
  // their places are compared instead.
  std::vector<uint32_t> few;
  bool narrow = false;
  for (std::size_t i = 0; r != 0 && !order->IsRecnoOrder() && !narrow && i < filters_.size(); ++i) {
    narrow = filters_[i]->KnownFew(*this, kMaxPlacesCompared, &few);
  }
  if (narrow) {
    const uint32_t walk = kStepsPerPlaceCompared * static_cast<uint32_t>(few.size()) + 64;
    XCE_RETURN_IF_ERROR(SettlePosition(order, r, top, &found, walk, &r));
    if (!found && r != 0) {
      XCE_RETURN_IF_ERROR(NearestVisible(order, few, top, &r));
      XCE_RETURN_IF_ERROR(SettlePosition(order, r, top, &found));
    }
  } else {
    XCE_RETURN_IF_ERROR(SettlePosition(order, r, top, &found));
  }
  if (!found) {
    SetEof();
    bof_ = true;
  }
  return Status::Ok();
}

Status Table::Skip(Order* order, int32_t n) {
  if (n == 1 && pending_ == Pending::kNone && appendBuf_.empty() && !eof_ && !bof_ &&
      showDeleted_ && filters_.empty() && order->IsRecnoOrder()) {
    // Plain forward step in record order: nothing can hide the next record.
    if (recno_ >= count_) {
      SetEof();
      return NoCurrentRecord(path_);
    }
    ++recno_;
    return LoadCurrent();
  }
  XCE_RETURN_IF_ERROR(Settle());
  if (n == 0) {
    return OnRecord() ? LoadCurrent() : Status::Ok();
  }
  int64_t steps = n > 0 ? n : -static_cast<int64_t>(n);
  for (int64_t i = 0; i < steps; ++i) {
    uint32_t r = 0;
    if (n > 0) {
      if (eof_ && !bof_) {
        return NoCurrentRecord(path_);
      }
      if (bof_) {
        XCE_RETURN_IF_ERROR(order->First(*this, &r));
      } else {
        XCE_RETURN_IF_ERROR(order->Next(*this, recno_, &r));
      }
    } else {
      if (bof_ && !eof_) {
        return NoCurrentRecord(path_);
      }
      if (eof_) {
        XCE_RETURN_IF_ERROR(order->Last(*this, &r));
      } else {
        XCE_RETURN_IF_ERROR(order->Prev(*this, recno_, &r));
      }
    }
    bool found = false;
    // Only the last step needs the record image; the others just find the way.
    XCE_RETURN_IF_ERROR(SettlePosition(order, r, n > 0, &found));
    if (!found) {
      if (n > 0) {
        SetEof();
      } else {
        eof_ = count_ == 0;
        bof_ = true;
        recno_ = 0;
        std::memcpy(cur_.data(), blank_.data(), cur_.size());
      }
      return NoCurrentRecord(path_);
    }
  }
  return Status::Ok();
}

Status Table::GotoRecord(uint32_t n) {
  XCE_RETURN_IF_ERROR(Settle());
  if (n > count_) {
    XCE_RETURN_IF_ERROR(ReloadCount());
  }
  if (n < 1 || n > count_) {
    return Status(kErrBadRecordNumber,
                  "Record " + std::to_string(n) + " does not exist in table " + path_);
  }
  if (!options_.exclusive) {
    cacheCount_ = 0;
  }
  uint32_t old = recno_;
  bool oldEof = eof_;
  bool oldBof = bof_;
  recno_ = n;
  eof_ = bof_ = false;
  Status s = LoadCurrent();
  if (!s.ok()) {
    recno_ = old;
    eof_ = oldEof;
    bof_ = oldBof;
  }
  return s;
}

Status Table::SetPosition(uint32_t n) {
  if (n != 0) {
    return GotoRecord(n);
  }
  XCE_RETURN_IF_ERROR(Settle());
  SetEof();
  return Status::Ok();
}

Status Table::Refresh() {
  if (pending_ == Pending::kAppend || !OnRecord()) {
    return NoCurrentRecord(path_);
  }
  pending_ = Pending::kNone;
  pendingMemos_.clear();
  cacheCount_ = 0;
  return LoadCurrent();
}

Status Table::Count(Order* order, bool respectFilters, bool fresh, uint32_t* n) {
  if (fresh) {
    XCE_RETURN_IF_ERROR(ReloadCount());
  }
  if (!respectFilters || (showDeleted_ && filters_.empty() && order->IsRecnoOrder())) {
    *n = count_;
    return Status::Ok();
  }
  if (showDeleted_ && order->IsRecnoOrder() && filters_.size() == 1 &&
      filters_[0]->KnownCount(*this, count_, n)) {
    return Status::Ok();
  }
  uint32_t c = 0;
  uint32_t r = 0;
  XCE_RETURN_IF_ERROR(order->First(*this, &r));
  while (r != 0) {
    bool visible = false;
    XCE_RETURN_IF_ERROR(IsVisible(order, r, &visible));
    c += visible ? 1 : 0;
    XCE_RETURN_IF_ERROR(order->Next(*this, r, &r));
  }
  *n = c;
  return Status::Ok();
}

void Table::RemoveFilter(const RecordFilter* f) {
  filters_.erase(
      std::remove_if(filters_.begin(), filters_.end(), [f](const auto& p) { return p.get() == f; }),
      filters_.end());
}

// ---------------------------------------------------------------- changes

Status Table::BeginChange() {
  if (pending_ == Pending::kAppend) {
    return Status::Ok();
  }
  if (!OnRecord()) {
    return NoCurrentRecord(path_);
  }
  XCE_RETURN_IF_ERROR(CheckWritable());
  pending_ = Pending::kUpdate;
  return Status::Ok();
}

Status Table::StartAppend() {
  XCE_RETURN_IF_ERROR(CheckWritable());
  XCE_RETURN_IF_ERROR(CommitPending());
  if (count_ == UINT32_MAX) {
    return Status(kErrNotSupported, "Table " + path_ + " is full");
  }
  savedRecno_ = recno_;
  savedEof_ = eof_;
  savedBof_ = bof_;
  pending_ = Pending::kAppend;
  pendingMemos_.clear();
  recno_ = count_ + 1;
  eof_ = bof_ = false;
  std::memcpy(cur_.data(), blank_.data(), cur_.size());
  // Shown while the record is being filled; the value is taken for good,
  // and the counter moved on, when the record is written.
  for (const FieldInfo& f : layout_.fields) {
    if (f.engineType == kTypeAutoInc) {
      PutLe32(reinterpret_cast<uint8_t*>(cur_.data() + f.offset), static_cast<uint32_t>(f.autoNext));
    }
  }
  return Status::Ok();
}

Status Table::TakeAutoValues() {
  for (FieldInfo& f : layout_.fields) {
    if (f.engineType != kTypeAutoInc) {
      continue;
    }
    uint8_t desc[kDescriptorSize];
    if (!options_.exclusive) {
      // Another process appends too; under the append lock the file's
      // counter is the one to take.
      std::size_t got = 0;
      XCE_RETURN_IF_ERROR(dbf_->ReadAt(f.descriptorOffset, desc, kDescriptorSize, &got));
      if (got == kDescriptorSize) {
        const DbfFieldDescriptor d = DecodeFieldDescriptor(desc);
        f.autoNext = static_cast<int32_t>(d.autoNext);
        f.autoStep = d.autoStep;
      }
    }
    // A step of 0 would give every record the same value.
    const int64_t step = f.autoStep == 0 ? 1 : f.autoStep;
    const int64_t next = static_cast<int64_t>(f.autoNext) + step;
    if (next > INT32_MAX) {
      return Status(kErrNumericOverflow, "Autoincrement field " + f.name + " of table " + path_ +
                                             " has given its last value");
    }
    // Only the next value changes; the rest of the descriptor is left
    // alone on disk.
    DbfFieldDescriptor d;
    d.autoNext = static_cast<uint32_t>(next);
    EncodeFieldDescriptor(d, desc);
    const uint8_t* counter = desc + kDescriptorAutoNext;
    XCE_RETURN_IF_ERROR(dbf_->WriteAt(f.descriptorOffset + kDescriptorAutoNext, counter, 4));
    if (f.descriptorOffset + kDescriptorAutoNext + 4 <= headerBytes_.size()) {
      std::memcpy(&headerBytes_[f.descriptorOffset + kDescriptorAutoNext], counter, 4);
    }
    PutLe32(reinterpret_cast<uint8_t*>(cur_.data() + f.offset), static_cast<uint32_t>(f.autoNext));
    f.autoNext = static_cast<int32_t>(next);
  }
  return Status::Ok();
}

Status Table::RefuseAutoValue(const FieldInfo& f) const {
  if (f.engineType != kTypeAutoInc) {
    return Status::Ok();
  }
  return Status(kErrFieldNotWritable, "Field " + f.name + " of table " + path_ +
                                          " is an autoincrement field: the table gives its values");
}

Status Table::SetFieldText(uint16_t field, std::string_view text, bool convert) {
  const FieldInfo* f = nullptr;
  XCE_RETURN_IF_ERROR(CheckField(field, &f));
  XCE_RETURN_IF_ERROR(RefuseAutoValue(*f));
  XCE_RETURN_IF_ERROR(BeginChange());
  bool translate = convert && options_.oem;
  if (f->isMemo) {
    if (memo_ == nullptr || memo_->kind() != MemoKind::kFpt) {
      return Status(kErrNotSupported, "Memo field " + f->name + " of table " + path_ +
                                          " cannot be written: its memo file is not an FPT file");
    }
    pendingMemos_[field] = translate && !f->binaryMemo ? AnsiToOem(text) : std::string(text);
    return Status::Ok();
  }
  ClearNullAndVarBits(*f, cur_.data());
  if (f->engineType == kTypeString) {
    std::size_t n = std::min<std::size_t>(text.size(), f->length);
    char* p = cur_.data() + f->offset;
    std::memcpy(p, text.data(), n);
    std::memset(p + n, ' ', f->length - n);
    if (translate && (f->flags & 0x04) == 0) {
      ConvertAnsiToOem(p, n);
    }
    return Status::Ok();
  }
  std::vector<char> copy(cur_);
  Status s = EncodeFieldText(path_, *f, text, copy.data());
  if (s.ok()) {
    std::memcpy(cur_.data() + f->offset, copy.data() + f->offset, f->length);
  }
  return s;
}

Status Table::SetFieldRaw(uint16_t field, const void* data, std::size_t n) {
  const FieldInfo* f = nullptr;
  XCE_RETURN_IF_ERROR(CheckField(field, &f));
  XCE_RETURN_IF_ERROR(RefuseAutoValue(*f));
  if (f->isMemo) {
    return Status(kErrBadArgument, "Memo field " + f->name + " of table " + path_ +
                                       " takes its value through XdsSetField");
  }
  if (n != f->length) {
    return Status(kErrBadArgument, "Field " + f->name + " of table " + path_ + " is " +
                                       std::to_string(f->length) + " bytes long, not " +
                                       std::to_string(n));
  }
  XCE_RETURN_IF_ERROR(BeginChange());
  ClearNullAndVarBits(*f, cur_.data());
  char* p = cur_.data() + f->offset;
  if (f->engineType == kTypeCurrency) {
    // Callers hand currency values over as doubles; the file keeps a scaled integer.
    double d;
    std::memcpy(&d, data, 8);
    char text[64];
    std::snprintf(text, sizeof text, "%.4f", d);
    return EncodeFieldText(path_, *f, text, cur_.data());
  }
  std::memcpy(p, data, n);
  return Status::Ok();
}

Status Table::SetFieldEmpty(uint16_t field) {
  const FieldInfo* f = nullptr;
  XCE_RETURN_IF_ERROR(CheckField(field, &f));
  XCE_RETURN_IF_ERROR(RefuseAutoValue(*f));
  XCE_RETURN_IF_ERROR(BeginChange());
  if (f->isMemo) {
    pendingMemos_[field].clear();
    return Status::Ok();
  }
  BlankField(*f, cur_.data());
  ClearNullAndVarBits(*f, cur_.data());
  return Status::Ok();
}

Status Table::SetDeleted(bool deleted) {
  XCE_RETURN_IF_ERROR(BeginChange());
  cur_[0] = static_cast<char>(deleted ? kDeletedFlag : kLiveFlag);
  return Status::Ok();
}

Status Table::TouchHeaderDate() {
  if (dateWritten_) {
    return Status::Ok();
  }
  DbfFileHeader h = DecodeDbfHeader(headerBytes_.data());
  TodayHeaderDate(h.date);
  XCE_RETURN_IF_ERROR(WriteHeaderRange(h, kHeaderDate, kHeaderDate + kHeaderDateSize));
  dateWritten_ = true;
  return Status::Ok();
}

Status Table::WriteHeaderRange(const DbfFileHeader& h, std::size_t from, std::size_t to) {
  uint8_t bytes[kHeaderSize];
  std::memcpy(bytes, headerBytes_.data(), kHeaderSize);
  EncodeDbfHeader(h, bytes);
  XCE_RETURN_IF_ERROR(dbf_->WriteAt(from, bytes + from, to - from));
  std::memcpy(&headerBytes_[from], bytes + from, to - from);
  return Status::Ok();
}

Status Table::SetStructuralIndexFlag(bool present) {
  if (!broken_.ok()) {
    return broken_;
  }
  if (options_.readOnly) {
    return Status(kErrReadOnly, "Table " + path_ + " is open read-only");
  }
  uint8_t flags = static_cast<uint8_t>(present ? (layout_.tableFlags | kTableFlagCdx)
                                               : (layout_.tableFlags & ~kTableFlagCdx));
  DbfFileHeader h = DecodeDbfHeader(headerBytes_.data());
  h.tableFlags = flags;
  XCE_RETURN_IF_ERROR(WriteHeaderRange(h, kHeaderTableFlags, kHeaderTableFlags + 1));
  layout_.tableFlags = flags;
  return Status::Ok();
}

Status Table::WriteHeaderCount(uint32_t count) {
  // The date and the count sit side by side: one write covers both.
  static_assert(kHeaderDate + kHeaderDateSize == kHeaderRecordCount);
  DbfFileHeader h = DecodeDbfHeader(headerBytes_.data());
  TodayHeaderDate(h.date);
  h.recordCount = count;
  XCE_RETURN_IF_ERROR(WriteHeaderRange(h, kHeaderDate, kHeaderRecordCount + 4));
  dateWritten_ = true;
  return Status::Ok();
}

Status Table::FlushAppends() {
  if (appendBuf_.empty()) {
    return Status::Ok();
  }
  const uint64_t offset =
      layout_.headerLength + static_cast<uint64_t>(diskCount_) * layout_.recordLength;
  // What the batch overwrites past the counted records (normally the end
  // mark alone), so that a failure can put the file back as it was.
  uint64_t oldSize = 0;
  XCE_RETURN_IF_ERROR(dbf_->Size(&oldSize));
  std::vector<char> overwritten(oldSize > offset ? static_cast<std::size_t>(std::min<uint64_t>(
                                                       oldSize - offset, appendBuf_.size() + 1))
                                                 : 0);
  std::size_t got = 0;
  XCE_RETURN_IF_ERROR(dbf_->ReadAt(offset, overwritten.data(), overwritten.size(), &got));
  appendBuf_.push_back(static_cast<char>(kEofByte));
  // Records and the end mark first, the count last: a failure in between
  // leaves bytes past the counted records, which readers ignore and which
  // are taken back when the file still lets us write.
  Status s = dbf_->WriteAt(offset, appendBuf_.data(), appendBuf_.size());
  if (s.ok()) {
    s = WriteHeaderCount(count_);
  }
  appendBuf_.clear();
  if (!s.ok()) {
    if (dbf_->Truncate(oldSize).ok() && got > 0) {
      (void)dbf_->WriteAt(offset, overwritten.data(), got);
    }
    count_ = diskCount_;
    // A record being appended keeps its values for the next attempt.
    if (recno_ > count_ && pending_ != Pending::kAppend) {
      SetEof();
    }
    return s;
  }
  diskCount_ = count_;
  return Status::Ok();
}

Status Table::Flush() {
  XCE_RETURN_IF_ERROR(CommitPending());
  XCE_RETURN_IF_ERROR(FlushAppends());
  for (const auto& ext : extensions_) {
    XCE_RETURN_IF_ERROR(ext->OnFlush(*this));
  }
  return Status::Ok();
}

Status Table::CommitChange() {
  XCE_RETURN_IF_ERROR(CheckWritable());
  const uint32_t len = layout_.recordLength;
  const bool append = pending_ == Pending::kAppend;
  std::vector<char> old;
  if (!append) {
    old.resize(len);
    XCE_RETURN_IF_ERROR(ReadRecord(recno_, old.data()));
  }
  if (!pendingMemos_.empty()) {
    // Overwriting a memo in place is one write, so it is only done when that
    // write is the whole change; otherwise the value goes to new blocks and
    // the record write that points at them makes the change.
    bool inPlace =
        !append && pendingMemos_.size() == 1 && std::memcmp(old.data(), cur_.data(), len) == 0;
    for (const auto& [field, data] : pendingMemos_) {
      const FieldInfo& f = layout_.fields[field - 1];
      uint32_t block = 0;
      XCE_RETURN_IF_ERROR(
          memo_->Write(MemoBlock(f, cur_.data()), data, MemoItemType(f), inPlace, &block));
      SetMemoBlock(f, cur_.data(), block);
    }
    pendingMemos_.clear();
    if (inPlace && std::memcmp(old.data(), cur_.data(), len) == 0) {
      for (const auto& ext : extensions_) {
        XCE_RETURN_IF_ERROR(ext->OnRecordWrite(*this, recno_, old.data(), cur_.data()));
      }
      pending_ = Pending::kNone;
      return TouchHeaderDate();
    }
  }
  if (append && !options_.exclusive) {
    // Another process may append too: take the append lock and the count
    // from disk, then write record, end mark and count before letting go.
    XCE_RETURN_IF_ERROR(dbf_->LockRange(kAppendLockOffset, 1));
    Status s = ReloadCount();
    if (s.ok()) {
      s = TakeAutoValues();
    }
    if (s.ok()) {
      recno_ = count_ + 1;
      for (const auto& ext : extensions_) {
        if (s.ok()) {
          s = ext->OnRecordWrite(*this, recno_, nullptr, cur_.data());
        }
      }
    }
    if (s.ok()) {
      appendBuf_.assign(cur_.begin(), cur_.end());
      count_ = diskCount_ + 1;
      s = FlushAppends();
    }
    (void)dbf_->UnlockRange(kAppendLockOffset, 1);  // the flush result is what counts
    XCE_RETURN_IF_ERROR(s);
    pending_ = Pending::kNone;
    return Status::Ok();
  }
  if (append) {
    XCE_RETURN_IF_ERROR(TakeAutoValues());
  }
  for (const auto& ext : extensions_) {
    XCE_RETURN_IF_ERROR(
        ext->OnRecordWrite(*this, recno_, append ? nullptr : old.data(), cur_.data()));
  }
  if (append) {
    appendBuf_.insert(appendBuf_.end(), cur_.begin(), cur_.end());
    ++count_;
    // Index keys are written through at once, so with indexes attached the
    // record follows in the same call: table and indexes never disagree
    // beyond one operation, even when the process dies before the next move.
    const bool indexed = std::any_of(extensions_.begin(), extensions_.end(),
                                     [](const auto& e) { return e->MaintainsStructuralIndex(); });
    if (indexed || appendBuf_.size() >= kAppendBatchBytes) {
      Status s = FlushAppends();
      if (!s.ok()) {
        // The batch was taken back; so are the new record's keys, and the
        // record stays pending with its values for another attempt.
        for (const auto& ext : extensions_) {
          ext->OnAppendTakenBack(*this, recno_, cur_.data());
        }
        return s;
      }
    }
    pending_ = Pending::kNone;
    return Status::Ok();
  }
  if (recno_ > diskCount_) {
    std::memcpy(appendBuf_.data() + static_cast<std::size_t>(recno_ - diskCount_ - 1) * len,
                cur_.data(), len);
    pending_ = Pending::kNone;
    return Status::Ok();
  }
  XCE_RETURN_IF_ERROR(TouchHeaderDate());
  XCE_RETURN_IF_ERROR(dbf_->WriteAt(layout_.headerLength + static_cast<uint64_t>(recno_ - 1) * len,
                                    cur_.data(), len));
  if (cacheCount_ > 0 && recno_ >= cacheFirst_ && recno_ < cacheFirst_ + cacheCount_) {
    std::memcpy(cache_.data() + static_cast<std::size_t>(recno_ - cacheFirst_) * len, cur_.data(),
                len);
  }
  pending_ = Pending::kNone;
  return Status::Ok();
}

Status Table::CancelPending() {
  if (pending_ == Pending::kNone) {
    return Status(kErrNoUpdatePending, "No update pending on table " + path_);
  }
  Pending was = pending_;
  pending_ = Pending::kNone;
  pendingMemos_.clear();
  if (was == Pending::kAppend) {
    recno_ = savedRecno_;
    eof_ = savedEof_;
    bof_ = savedBof_;
    if (!OnRecord()) {
      std::memcpy(cur_.data(), blank_.data(), cur_.size());
      return Status::Ok();
    }
  }
  return LoadCurrent();
}

Status Table::MemoField(uint16_t field, const FieldInfo** f, const std::string** pending) {
  XCE_RETURN_IF_ERROR(CheckField(field, f));
  if (!(*f)->isMemo) {
    return Status(kErrBadArgument, "Field " + (*f)->name + " of table " + path_ + " is no memo");
  }
  if (!OnRecord()) {
    return NoCurrentRecord(path_);
  }
  auto it = pendingMemos_.find(field);
  *pending = it != pendingMemos_.end() ? &it->second : nullptr;
  return Status::Ok();
}

Status Table::ReadMemo(uint16_t field, std::string* data, uint32_t* itemType) {
  const FieldInfo* f = nullptr;
  const std::string* pending = nullptr;
  XCE_RETURN_IF_ERROR(MemoField(field, &f, &pending));
  if (pending != nullptr) {
    *data = *pending;
    *itemType = MemoItemType(*f);
    return Status::Ok();
  }
  return memo_->Read(MemoBlock(*f, cur_.data()), data, itemType);
}

Status Table::MemoLength(uint16_t field, uint32_t* length, uint32_t* itemType) {
  const FieldInfo* f = nullptr;
  const std::string* pending = nullptr;
  XCE_RETURN_IF_ERROR(MemoField(field, &f, &pending));
  if (pending != nullptr) {
    *length = static_cast<uint32_t>(pending->size());
    *itemType = MemoItemType(*f);
    return Status::Ok();
  }
  return memo_->Length(MemoBlock(*f, cur_.data()), length, itemType);
}

// ---------------------------------------------------------------- locks

Status Table::LockRecord(uint32_t recno) {
  XCE_RETURN_IF_ERROR(Settle());
  if (recno < 1 || recno > count_) {
    return Status(kErrBadRecordNumber,
                  "Record " + std::to_string(recno) + " does not exist in table " + path_);
  }
  if (options_.exclusive || locks_.count(recno) != 0) {
    return Status::Ok();
  }
  Status s = dbf_->LockRange(kRecordLockBase + recno, 1);
  if (!s.ok()) {
    if (s.code() == kErrLocked) {
      return Status(kErrLocked, "Record " + std::to_string(recno) + " of table " + path_ +
                                    " is locked by another user");
    }
    return s;
  }
  locks_.insert(recno);
  return Status::Ok();
}

Status Table::UnlockRecord(uint32_t recno) {
  if (locks_.erase(recno) == 0) {
    return Status::Ok();
  }
  return dbf_->UnlockRange(kRecordLockBase + recno, 1);
}

}  // namespace xce
