// Pack, zap and the rewrite of a table: in place for a few removed records
// under an undo journal, or into new files swapped in whole.
#include <algorithm>
#include <cstring>
#include <future>
#include <thread>

#include "cdx/key_sorter.h"
#include "in_place_change.h"
#include "table.h"

namespace xce {

namespace {

// A pack compacts the memo when more than this share of its blocks is unused.
constexpr uint64_t kMemoSlack = 8;
constexpr uint32_t kScanBatch = 4096;
// What writing an index anew costs against writing as many bytes in place,
// in halves: each of its entries is decoded, renumbered and encoded into a
// new tree, where the tail move renumbers the entries in the pages it
// copies. (Measured on three million memberships and their tags: the rewrite
// took eight times the processor time of the tail move for two thirds of
// the table; by this weight the tail move is taken there, and a table whose
// first record goes is still written anew.)
constexpr uint64_t kIndexRebuildHalves = 5;
// Gaps between a batch's memo values up to this much (besides as many bytes
// as the values hold) still count as one stretch of the memo.
constexpr uint64_t kMemoSpanSlack = uint64_t{1} << 20;

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
  // The in-place way stages at most the bulk memory budget; when the table's
  // own tail is more than that, the files are written anew whatever the
  // memo holds, and the scan of the memo's use is spared.
  if (!deleted.empty() && InPlaceTailBytes(deleted.front()) > cdx::SortMemory()) {
    return Rebuild(true, nullptr, &deleted);
  }
  // The memo is compacted by the rewrite only once a good share of it is
  // unused (values replaced, or left by removed records): below that, the
  // few blocks are not worth rewriting a large memo and its table for.
  uint64_t used = 0;
  uint64_t handedOut = 0;
  const bool fpt = memo_ != nullptr && memo_->kind() == MemoKind::kFpt;
  if (fpt) {
    XCE_RETURN_IF_ERROR(MemoUsedBlocks(&used, &handedOut));
  }
  const bool compact = handedOut > used && (handedOut - used) * kMemoSlack > handedOut;
  if (deleted.empty()) {
    return compact ? Rebuild(true) : GotoTop(&recnoOrder_);
  }
  if (!compact) {
    // Writing the files anew writes the kept records, their memo values and
    // the index; moving the tail down in place writes every byte from the
    // first removed record on (and the index pages that change) twice, into
    // the undo journal and into the files, and holds them in memory until
    // the commit. The cheaper way is taken, within the bulk memory budget.
    const uint32_t newCount = count_ - static_cast<uint32_t>(deleted.size());
    uint64_t rewrite = layout_.headerLength + uint64_t{newCount} * layout_.recordLength + 1;
    if (fpt) {
      rewrite += (uint64_t{memo_->firstDataBlock()} + used) * memo_->blockSize();
    }
    for (const auto& ext : extensions_) {
      rewrite += ext->RebuildBytes(*this, newCount) * kIndexRebuildHalves / 2;
    }
    const uint64_t limit = std::min<uint64_t>(rewrite / 2, cdx::SortMemory());
    bool done = false;
    XCE_RETURN_IF_ERROR(PackInPlace(deleted, limit, &done));
    if (done) {
      return GotoTop(&recnoOrder_);
    }
  }
  return Rebuild(true, nullptr, &deleted);
}

uint64_t Table::InPlaceTailBytes(uint32_t first) const {
  const uint64_t at = layout_.headerLength + static_cast<uint64_t>(first - 1) * layout_.recordLength;
  return InPlaceChange::PageBytes(0, kHeaderSize) +
         InPlaceChange::PageBytes(at, uint64_t{count_ - first + 1} * layout_.recordLength + 1);
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

Status Table::MemoUsedBlocks(uint64_t* used, uint64_t* handedOut) {
  // The blocks of the values live records point at, against the blocks the
  // memo has handed out.
  const std::size_t len = layout_.recordLength;
  const uint32_t blockSize = memo_->blockSize();
  std::vector<char> images(len * kScanBatch);
  *used = 0;
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
        *used += (uint64_t{length} + 8 + blockSize - 1) / blockSize;
      }
    }
    memo_->file()->ReleaseMapped(0, UINT64_MAX);  // read once: need not stay
  }
  *handedOut = memo_->nextFree() > memo_->firstDataBlock()
                   ? memo_->nextFree() - memo_->firstDataBlock()
                   : 0;
  return Status::Ok();
}

Status Table::PackInPlace(const std::vector<uint32_t>& deleted, uint64_t limit, bool* done) {
  *done = false;
  // Records before the first removed one stay; the rest move down over the
  // removed ones, the end mark follows and the file ends there.
  const uint32_t len = layout_.recordLength;
  const uint32_t first = deleted.front();
  const uint32_t newCount = count_ - static_cast<uint32_t>(deleted.size());
  uint64_t at = layout_.headerLength + static_cast<uint64_t>(first - 1) * len;
  const uint64_t tail = InPlaceTailBytes(first);
  if (tail > limit) {
    return Status::Ok();
  }
  InPlaceChange change(fs_, path_ + kUndoSuffix, dir_);
  // The table's own pages are staged last; the extensions' stay within
  // what the limit leaves for them.
  change.SetLimit(limit - tail);
  for (const auto& ext : extensions_) {
    bool staged = false;
    XCE_RETURN_IF_ERROR(ext->OnPackInPlace(*this, deleted, change, &staged));
    if (!staged) {
      return Status::Ok();
    }
  }
  change.SetLimit(limit);
  std::unique_ptr<File> dbf = change.Stage(dbf_.get());
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

Status Table::Rebuild(bool keepRecords, Table* source, const std::vector<uint32_t>* deleted) {
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
  std::unique_ptr<File> nm;
  uint32_t newCount = 0;
  std::vector<uint32_t> removed;
  std::vector<uint8_t> header = headerBytes_;
  Status s = fs_->Open(tmpDbf, OpenMode::kCreate, &nd);
  if (s.ok()) {
    s = nd->LockFile(LockKind::kExclusive);
  }
  if (s.ok() && newMemo) {
    s = fs_->Open(tmpMemo, OpenMode::kCreate, &nm);
  }
  if (!s.ok()) {
    nd.reset();
    nm.reset();
    cleanup();
    return s;
  }
  // Writes the new table and memo file. It touches nothing an extension
  // reads while it builds its own files from its old ones, so a pack that
  // knows beforehand which records go runs it beside the extensions.
  auto copy = [&]() -> Status {
    std::unique_ptr<FptWriter> memoOut;
    if (newMemo) {
      memoOut = std::make_unique<FptWriter>(nm.get(), memo_->blockSize());
      XCE_RETURN_IF_ERROR(memoOut->Start());
    }
    DbfFileHeader fh = DecodeDbfHeader(header.data());
    TodayHeaderDate(fh.date);
    fh.recordCount = 0;
    EncodeDbfHeader(fh, header.data());
    XCE_RETURN_IF_ERROR(nd->WriteAt(0, header.data(), header.size()));
    uint64_t offset = layout_.headerLength;
    std::string data;
    Table& from = source != nullptr ? *source : *this;
    // Read a batch at a time; the kept records close up within the batch
    // and go out in one write.
    std::vector<char> images(static_cast<std::size_t>(len) * kScanBatch);
    // A pack's old files are read once and then replaced: their pages leave
    // the cache as they are passed, and the new files' pages take their
    // memory. A memo value read twice after that comes from the disk.
    const bool replaced = source == nullptr;
    for (uint32_t first = 1; keepRecords && first <= from.count_; first += kScanBatch) {
      const uint32_t n = std::min(kScanBatch, from.count_ - first + 1);
      XCE_RETURN_IF_ERROR(from.ScanRecords(first, n, images.data()));
      if (replaced) {
        dbf_->ForgetCached(layout_.headerLength + static_cast<uint64_t>(first - 1) * len,
                           uint64_t{n} * len);
      }
      // The span of the old memo the batch's values lie in, and their bytes.
      uint64_t memoFrom = UINT64_MAX;
      uint64_t memoTo = 0;
      uint64_t memoBytes = 0;
      std::size_t kept = 0;
      for (uint32_t j = 0; j < n; ++j) {
        char* rec = images.data() + static_cast<std::size_t>(j) * len;
        if (rec[0] == static_cast<char>(kDeletedFlag)) {
          removed.push_back(first + j);
          continue;
        }
        if (newMemo) {
          for (const FieldInfo& f : layout_.fields) {
            uint32_t block = f.isMemo ? MemoBlock(f, rec) : 0;
            if (block == 0) {
              continue;
            }
            uint32_t type = 0;
            if (from.memo_ == nullptr) {
              return Status(kErrCorrupt, "Table " + from.path_ + " has no memo file");
            }
            XCE_RETURN_IF_ERROR(from.memo_->Read(block, &data, &type));
            const uint64_t at = uint64_t{block} * from.memo_->blockSize();
            memoFrom = std::min(memoFrom, at);
            memoTo = std::max<uint64_t>(memoTo, at + 8 + data.size());
            memoBytes += 8 + data.size();
            uint32_t nb = 0;
            XCE_RETURN_IF_ERROR(memoOut->Add(data, type, &nb));
            SetMemoBlock(f, rec, nb);
          }
        }
        if (images.data() + kept != rec) {
          std::memmove(images.data() + kept, rec, len);
        }
        kept += len;
        ++newCount;
      }
      if (kept > 0) {
        XCE_RETURN_IF_ERROR(nd->WriteAt(offset, images.data(), kept));
        offset += kept;
      }
      if (newMemo && from.memo_ != nullptr) {
        // The values are read once: their mapped pages need not stay. Where
        // the batch's values lie close together (as values written in the
        // order of their records do), their pages leave the cache too.
        File* old = from.memo_->file();
        if (replaced && memoTo > memoFrom && memoTo - memoFrom <= 2 * memoBytes + kMemoSpanSlack) {
          old->ForgetCached(memoFrom, memoTo - memoFrom);
        }
        old->ReleaseMapped(0, UINT64_MAX);
      }
    }
    const uint8_t eof = kEofByte;
    XCE_RETURN_IF_ERROR(nd->WriteAt(offset, &eof, 1));
    if (newMemo) {
      XCE_RETURN_IF_ERROR(memoOut->Finish());
    }
    fh.recordCount = newCount;
    EncodeDbfHeader(fh, header.data());
    XCE_RETURN_IF_ERROR(nd->WriteAt(0, header.data(), header.size()));
    XCE_RETURN_IF_ERROR(nd->Sync());
    if (newMemo) {
      XCE_RETURN_IF_ERROR(nm->Sync());
    }
    return Status::Ok();
  };
  SwapSet swap;
  if (newMemo) {
    swap.Add(tmpMemo, memoPath_);
  }
  swap.Add(tmpDbf, path_);
  const bool alongside = keepRecords && source == nullptr && deleted != nullptr &&
                         !extensions_.empty() && deleted->size() <= count_;
  // Until the copy is done, an extension that reads the new records waits.
  std::promise<void> copyDone;
  std::shared_future<void> copied = copyDone.get_future().share();
  Status copyStatus;
  std::thread copier;
  if (alongside) {
    copier = std::thread([&] {
      copyStatus = copy();
      copyDone.set_value();
    });
  } else {
    copyStatus = copy();
    copyDone.set_value();
    if (!copyStatus.ok()) {
      nd.reset();
      nm.reset();
      cleanup();
      return copyStatus;
    }
  }
  RebuildContext ctx;
  ctx.recordCount = alongside ? count_ - static_cast<uint32_t>(deleted->size()) : newCount;
  ctx.swap = &swap;
  ctx.tmpSuffix = kRebuildSuffix;
  ctx.keptRecords = keepRecords && source == nullptr;
  ctx.removed = alongside ? deleted : &removed;
  File* ndRaw = nd.get();
  const uint32_t expected = ctx.recordCount;
  const Status* copyResult = &copyStatus;
  ctx.readRecord = [ndRaw, this, expected, len, copied, copyResult](uint32_t recno,
                                                                     char* image) -> Status {
    copied.wait();
    XCE_RETURN_IF_ERROR(*copyResult);
    if (recno < 1 || recno > expected) {
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
      break;
    }
  }
  if (copier.joinable()) {
    copier.join();
  }
  if (s.ok() && !copyStatus.ok()) {
    s = copyStatus;
  }
  if (s.ok() && (newCount != ctx.recordCount || removed != *ctx.removed)) {
    s = Status(kErrCorrupt, "Table " + path_ + " changed while it was packed");
  }
  if (!s.ok()) {
    nd.reset();
    nm.reset();
    for (const auto& [tmp, fin] : swap.pairs()) {
      (void)fin;
      (void)fs_->Remove(tmp);  // best effort after a failure
    }
    return s;
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
  headerBytes_ = header;
  XCE_RETURN_IF_ERROR(TakeNewCount(newCount));
  return GotoTop(&recnoOrder_);
}

}  // namespace xce
