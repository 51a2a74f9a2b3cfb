// Changes to a table's records (append, field values, deletion, commit and
// cancel), its header's in-place fields, memo values and record locks.
#include <algorithm>
#include <cstring>

#include "codepage.h"
#include "in_place_change.h"
#include "table.h"

namespace xce {
namespace {

// Record locks are byte-range locks far past any data; the append lock sits
// just below the first record's byte.
constexpr uint64_t kRecordLockBase = 0x100000000ULL;
constexpr uint64_t kAppendLockOffset = kRecordLockBase;

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

}  // namespace

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
    return CommitSharedAppend();
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

Status Table::CommitSharedAppend() {
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
