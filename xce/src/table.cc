// One open table: its orders, reading records and moving among them. Opening,
// creating and closing are in table_open.cc, changes and locks in
// table_change.cc, pack and zap in table_pack.cc.
#include "table.h"

#include <algorithm>
#include <cstring>

#include "codepage.h"

namespace xce {
namespace {

// Going to an end of an index order under a filter that knows the few records
// it passes: comparing one record's place in the order costs about as much as
// this many steps of a walk through it.
constexpr uint32_t kMaxPlacesCompared = 4096;
constexpr uint32_t kStepsPerPlaceCompared = 8;

}  // namespace

Status NoCurrentRecord(const std::string& path) {
  return Status(kErrNoCurrentRecord, "No current record in table " + path);
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

}  // namespace xce
