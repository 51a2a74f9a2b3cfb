// Pack, zap and the rewrite of a table: in place for a few removed records
// under an undo journal, or into new files swapped in whole.
#include <algorithm>
#include <cstring>

#include "in_place_change.h"
#include "table.h"

namespace xce {

namespace {

// A pack removing at most this share of the records (or any from a small
// table) changes the files in place; more, and writing them anew is cheaper
// than taking each removed record's keys out of the tags one by one.
constexpr uint32_t kInPlaceShare = 1024;
constexpr uint32_t kSmallTable = 1024;
// A pack compacts the memo when more than this share of its blocks is unused.
constexpr uint64_t kMemoSlack = 8;
constexpr uint32_t kScanBatch = 4096;

}  // namespace

Status Table::Pack() {
  if (!options_.exclusive) {
    return Rebuild(true);  // which refuses, naming the exclusive open
  }
  XCE_RETURN_IF_ERROR(CheckWritable());
  XCE_RETURN_IF_ERROR(CommitPending());
  XCE_RETURN_IF_ERROR(FlushAppends());
  std::vector<uint32_t> deleted;
  XCE_RETURN_IF_ERROR(FindDeleted(&deleted));
  // The memo is compacted by the rewrite only once a good share of it is
  // unused (values replaced, or left by removed records): below that, the
  // few blocks are not worth rewriting a large memo and its table for.
  uint64_t unused = 0;
  uint64_t handedOut = 0;
  if (memo_ != nullptr && memo_->kind() == MemoKind::kFpt) {
    XCE_RETURN_IF_ERROR(MemoUnusedBlocks(&unused, &handedOut));
  }
  const bool compact = unused * kMemoSlack > handedOut;
  if (deleted.empty()) {
    return compact ? Rebuild(true) : GotoTop(&recnoOrder_);
  }
  const bool few = deleted.size() < count_ &&
                   (deleted.size() <= count_ / kInPlaceShare || count_ <= kSmallTable);
  if (!compact && few) {
    bool done = false;
    XCE_RETURN_IF_ERROR(PackInPlace(deleted, &done));
    if (done) {
      return GotoTop(&recnoOrder_);
    }
  }
  return Rebuild(true);
}

Status Table::FindDeleted(std::vector<uint32_t>* deleted) {
  const std::size_t len = layout_.recordLength;
  std::vector<char> images(len * kScanBatch);
  for (uint32_t first = 1; first <= count_; first += kScanBatch) {
    const uint32_t n = std::min(kScanBatch, count_ - first + 1);
    XCE_RETURN_IF_ERROR(ScanRecords(first, n, images.data()));
    for (uint32_t j = 0; j < n; ++j) {
      if (images[j * len] == static_cast<char>(kDeletedFlag)) {
        deleted->push_back(first + j);
      }
    }
  }
  return Status::Ok();
}

Status Table::MemoUnusedBlocks(uint64_t* unused, uint64_t* handedOut) {
  // The blocks of the values live records point at, against the blocks the
  // memo has handed out.
  const std::size_t len = layout_.recordLength;
  const uint32_t blockSize = memo_->blockSize();
  std::vector<char> images(len * kScanBatch);
  uint64_t used = 0;
  for (uint32_t first = 1; first <= count_; first += kScanBatch) {
    const uint32_t n = std::min(kScanBatch, count_ - first + 1);
    XCE_RETURN_IF_ERROR(ScanRecords(first, n, images.data()));
    for (uint32_t j = 0; j < n; ++j) {
      const char* image = images.data() + j * len;
      if (image[0] == static_cast<char>(kDeletedFlag)) {
        continue;
      }
      for (const FieldInfo& f : layout_.fields) {
        const uint32_t block = f.isMemo ? MemoBlock(f, image) : 0;
        if (block == 0) {
          continue;
        }
        uint32_t length = 0;
        uint32_t type = 0;
        XCE_RETURN_IF_ERROR(memo_->Length(block, &length, &type));
        used += (uint64_t{length} + 8 + blockSize - 1) / blockSize;
      }
    }
  }
  *handedOut = memo_->nextFree() > memo_->firstDataBlock()
                   ? memo_->nextFree() - memo_->firstDataBlock()
                   : 0;
  *unused = *handedOut > used ? *handedOut - used : 0;
  return Status::Ok();
}

Status Table::PackInPlace(const std::vector<uint32_t>& deleted, bool* done) {
  *done = false;
  InPlaceChange change(fs_, path_ + kUndoSuffix, dir_);
  for (const auto& ext : extensions_) {
    bool staged = false;
    XCE_RETURN_IF_ERROR(ext->OnPackInPlace(*this, deleted, change, &staged));
    if (!staged) {
      return Status::Ok();
    }
  }
  // Records before the first removed one stay; the rest move down over the
  // removed ones, the end mark follows and the file ends there.
  const uint32_t len = layout_.recordLength;
  const uint32_t first = deleted.front();
  const uint32_t newCount = count_ - static_cast<uint32_t>(deleted.size());
  std::unique_ptr<File> dbf = change.Stage(dbf_.get());
  uint64_t at = layout_.headerLength + static_cast<uint64_t>(first - 1) * len;
  std::vector<char> images(static_cast<std::size_t>(len) * kScanBatch);
  for (uint32_t from = first; from <= count_; from += kScanBatch) {
    const uint32_t n = std::min(kScanBatch, count_ - from + 1);
    XCE_RETURN_IF_ERROR(ScanRecords(from, n, images.data()));
    std::size_t kept = 0;
    for (uint32_t j = 0; j < n; ++j) {
      const char* image = images.data() + static_cast<std::size_t>(j) * len;
      if (image[0] != static_cast<char>(kDeletedFlag)) {
        std::memmove(images.data() + kept, image, len);
        kept += len;
      }
    }
    XCE_RETURN_IF_ERROR(dbf->WriteAt(at, images.data(), kept));
    at += kept;
  }
  const uint8_t eof = kEofByte;
  XCE_RETURN_IF_ERROR(dbf->WriteAt(at, &eof, 1));
  XCE_RETURN_IF_ERROR(dbf->Truncate(at + 1));
  std::vector<uint8_t> header = headerBytes_;
  DbfFileHeader fh = DecodeDbfHeader(header.data());
  TodayHeaderDate(fh.date);
  fh.recordCount = newCount;
  EncodeDbfHeader(fh, header.data());
  XCE_RETURN_IF_ERROR(dbf->WriteAt(0, header.data(), kHeaderSize));
  bool rolledBack = true;
  Status s = change.Commit(&rolledBack);
  if (!s.ok()) {
    cacheCount_ = 0;  // whatever the file holds now, it is read from there
    if (!rolledBack) {
      // The next open puts the files back from the journal; until then this
      // handle must not be trusted.
      broken_ = Status(s.code(), "Table " + path_ + " must be closed and opened again: pack failed: " +
                                     s.message());
    }
    return s;
  }
  headerBytes_ = header;
  *done = true;
  return TakeNewCount(newCount);
}

Status Table::TakeNewCount(uint32_t newCount) {
  layout_.recordCount = newCount;
  count_ = diskCount_ = newCount;
  cacheCount_ = 0;
  lastRead_ = 0;
  dateWritten_ = true;
  locks_.clear();
  for (const auto& ext : extensions_) {
    XCE_RETURN_IF_ERROR(ext->AfterRebuild(*this));
  }
  return Status::Ok();
}
Status Table::Zap() { return Rebuild(false); }

Status Table::RewriteFrom(Table& source) {
  if (&source == this) {
    return Status(kErrBadArgument, "Cannot rewrite table " + path_ + " from itself");
  }
  const std::vector<FieldInfo>& mine = layout_.fields;
  const std::vector<FieldInfo>& theirs = source.layout_.fields;
  bool same = mine.size() == theirs.size() && layout_.recordLength == source.layout_.recordLength;
  for (std::size_t i = 0; same && i < mine.size(); ++i) {
    same = mine[i].name == theirs[i].name && mine[i].type == theirs[i].type &&
           mine[i].offset == theirs[i].offset && mine[i].length == theirs[i].length &&
           mine[i].decimals == theirs[i].decimals && mine[i].isMemo == theirs[i].isMemo &&
           mine[i].binaryMemoPointer == theirs[i].binaryMemoPointer &&
           mine[i].nullBit == theirs[i].nullBit && mine[i].varBit == theirs[i].varBit;
  }
  if (!same) {
    return Status(kErrBadArgument, "Cannot rewrite table " + path_ + " from " + source.path_ +
                                       ": their fields differ");
  }
  XCE_RETURN_IF_ERROR(source.CommitPending());
  return Rebuild(true, &source);
}

Status Table::Rebuild(bool keepRecords, Table* source) {
  const char* what = source != nullptr ? "rewrite" : keepRecords ? "pack" : "zap";
  if (!options_.exclusive) {
    return Status(kErrExclusiveRequired, std::string("Cannot ") + what + " table " + path_ +
                                             ": it must be opened exclusively");
  }
  XCE_RETURN_IF_ERROR(CheckWritable());
  XCE_RETURN_IF_ERROR(CommitPending());
  XCE_RETURN_IF_ERROR(FlushAppends());
  const uint32_t len = layout_.recordLength;
  const std::string tmpDbf = path_ + kRebuildSuffix;
  const bool newMemo = memo_ != nullptr && memo_->kind() == MemoKind::kFpt;
  const std::string tmpMemo = newMemo ? memoPath_ + kRebuildSuffix : std::string();
  auto cleanup = [&]() {
    (void)fs_->Remove(tmpDbf);  // best effort after a failure
    if (newMemo) {
      (void)fs_->Remove(tmpMemo);
    }
  };
  std::unique_ptr<File> nd;
  std::unique_ptr<MemoFile> nm;
  uint32_t newCount = 0;
  Status s = [&]() -> Status {
    XCE_RETURN_IF_ERROR(fs_->Open(tmpDbf, OpenMode::kCreate, &nd));
    XCE_RETURN_IF_ERROR(nd->LockFile(LockKind::kExclusive));
    if (newMemo) {
      std::unique_ptr<File> mf;
      XCE_RETURN_IF_ERROR(fs_->Open(tmpMemo, OpenMode::kCreate, &mf));
      XCE_RETURN_IF_ERROR(MemoFile::WriteEmptyFpt(mf.get(), memo_->blockSize()));
      XCE_RETURN_IF_ERROR(MemoFile::Open(std::move(mf), MemoKind::kFpt, &nm));
    }
    std::vector<uint8_t> header = headerBytes_;
    DbfFileHeader fh = DecodeDbfHeader(header.data());
    TodayHeaderDate(fh.date);
    fh.recordCount = 0;
    EncodeDbfHeader(fh, header.data());
    XCE_RETURN_IF_ERROR(nd->WriteAt(0, header.data(), header.size()));
    std::vector<char> out;
    std::vector<char> rec(len);
    uint64_t offset = layout_.headerLength;
    std::string data;
    Table& from = source != nullptr ? *source : *this;
    uint32_t released = 0;  // records whose mapped pages are let go
    for (uint32_t r = 1; keepRecords && r <= from.count_; ++r) {
      XCE_RETURN_IF_ERROR(from.ReadRecord(r, rec.data()));
      if (rec[0] == static_cast<char>(kDeletedFlag)) {
        continue;
      }
      if (newMemo) {
        for (const FieldInfo& f : layout_.fields) {
          uint32_t block = f.isMemo ? MemoBlock(f, rec.data()) : 0;
          if (block == 0) {
            continue;
          }
          uint32_t type = 0;
          if (from.memo_ == nullptr) {
            return Status(kErrCorrupt, "Table " + from.path_ + " has no memo file");
          }
          XCE_RETURN_IF_ERROR(from.memo_->Read(block, &data, &type));
          uint32_t nb = 0;
          XCE_RETURN_IF_ERROR(nm->Write(0, data, type, false, &nb));
          SetMemoBlock(f, rec.data(), nb);
        }
      }
      out.insert(out.end(), rec.begin(), rec.end());
      ++newCount;
      if (out.size() >= kAppendBatchBytes) {
        XCE_RETURN_IF_ERROR(nd->WriteAt(offset, out.data(), out.size()));
        offset += out.size();
        out.clear();
        from.ReleaseScanned(released + 1, r - released);
        released = r;
      }
    }
    out.push_back(static_cast<char>(kEofByte));
    XCE_RETURN_IF_ERROR(nd->WriteAt(offset, out.data(), out.size()));
    fh.recordCount = newCount;
    EncodeDbfHeader(fh, header.data());
    XCE_RETURN_IF_ERROR(nd->WriteAt(0, header.data(), header.size()));
    XCE_RETURN_IF_ERROR(nd->Sync());
    if (newMemo) {
      XCE_RETURN_IF_ERROR(nm->file()->Sync());
    }
    headerBytes_ = header;
    return Status::Ok();
  }();
  if (!s.ok()) {
    nd.reset();
    nm.reset();
    cleanup();
    return s;
  }
  SwapSet swap;
  if (newMemo) {
    swap.Add(tmpMemo, memoPath_);
  }
  swap.Add(tmpDbf, path_);
  RebuildContext ctx;
  ctx.recordCount = newCount;
  ctx.swap = &swap;
  ctx.tmpSuffix = kRebuildSuffix;
  ctx.keptRecords = keepRecords && source == nullptr;
  File* ndRaw = nd.get();
  ctx.readRecord = [ndRaw, this, newCount, len](uint32_t recno, char* image) -> Status {
    if (recno < 1 || recno > newCount) {
      return Status(kErrBadRecordNumber, "Record " + std::to_string(recno) +
                                             " does not exist in the rebuilt table " + path_);
    }
    std::size_t got = 0;
    XCE_RETURN_IF_ERROR(ndRaw->ReadAt(layout_.headerLength + static_cast<uint64_t>(recno - 1) * len,
                                      image, len, &got));
    return got == len ? Status::Ok()
                      : Status(kErrCorrupt, "Rebuilt table " + path_ + " is truncated");
  };
  for (const auto& ext : extensions_) {
    s = ext->OnRebuild(*this, ctx);
    if (!s.ok()) {
      nd.reset();
      nm.reset();
      for (const auto& [tmp, fin] : swap.pairs()) {
        (void)fin;
        (void)fs_->Remove(tmp);  // best effort after a failure
      }
      return s;
    }
  }
  s = swap.Commit(fs_, path_ + kSwapSuffix, dir_);
  if (!s.ok()) {
    // Whether the old or the new files are in place is settled by the next
    // open, which finishes or discards the journal; this handle is done.
    broken_ = Status(s.code(), std::string("Table ") + path_ +
                                   " must be closed and opened again: " + what +
                                   " failed: " + s.message());
    return s;
  }
  // Open the swapped-in files under their own names, then drop the old ones.
  std::unique_ptr<File> fresh;
  Status r = fs_->Open(path_, OpenMode::kReadWrite, &fresh);
  nd.reset();
  if (r.ok()) {
    dbf_ = std::move(fresh);
    r = dbf_->LockFile(LockKind::kExclusive);
    if (r.ok()) {
      dbf_->EnableMappedReads();
    }
  }
  if (r.ok() && newMemo) {
    nm.reset();
    std::unique_ptr<File> mf;
    r = fs_->Open(memoPath_, OpenMode::kReadWrite, &mf);
    if (r.ok()) {
      mf->EnableMappedReads();
      r = MemoFile::Open(std::move(mf), MemoKind::kFpt, &memo_);
    }
  }
  if (!r.ok()) {
    broken_ =
        Status(r.code(), "Table " + path_ + " must be closed and opened again: " + r.message());
    return r;
  }
  XCE_RETURN_IF_ERROR(TakeNewCount(newCount));
  return GotoTop(&recnoOrder_);
}

}  // namespace xce
