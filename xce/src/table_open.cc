// Opening, creating and closing a table, the paths of its files, and the
// swap of rebuilt files into place.
#include <algorithm>
#include <cstring>

#include "in_place_change.h"
#include "table.h"

namespace xce {
namespace {

constexpr std::size_t kReadAheadBytes = 64 * 1024;

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

}  // namespace xce
