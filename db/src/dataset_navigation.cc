// The dataset's navigation (first, last, move by, record position) and its bookmarks.
#include "db/dataset.h"

#include <algorithm>
#include <cstring>

#include "db/datasource.h"
#include "db/format.h"
#include "dataset_internal.h"

// ---------------------------------------------------------------------------
// Navigation

void TDataSet::DoBeforeScroll() { Fire(BeforeScroll); }
void TDataSet::DoAfterScroll() { Fire(AfterScroll); }

void TDataSet::First() { MoveToEnd(false); }
void TDataSet::Last() { MoveToEnd(true); }

// First: the cursor before the first record, the window filled forwards.
// Last: the cursor after the last record, the window filled backwards.
void TDataSet::MoveToEnd(bool last) {
  CheckBrowseMode();
  DoBeforeScroll();
  ClearBuffers();
  auto finish = [&] {
    (last ? eof_ : bof_) = true;
    DataEvent(deDataSetChange);
  };
  try {
    if (last) {
      InternalLast();
      GetPriorRecord();
      GetPriorRecords();
    } else {
      InternalFirst();
      GetNextRecord();
      GetNextRecords();
    }
  } catch (...) {
    finish();
    throw;
  }
  finish();
  DoAfterScroll();
}

int TDataSet::MoveBy(int distance) {
  CheckBrowseMode();
  int moved = 0;
  DoBeforeScroll();
  if ((distance > 0 && !eof_) || (distance < 0 && !bof_)) {
    bof_ = false;
    eof_ = false;
    int oldCount = recordCount_;
    int scrolled = 0;
    auto notify = [&] {
      if (recordCount_ != oldCount) {
        DataEvent(deDataSetChange);
      } else {
        DataEvent(deDataSetScroll, nullptr, scrolled);
      }
    };
    try {
      while (distance > 0) {
        if (activeRecord_ < recordCount_ - 1) {
          ++activeRecord_;
        } else {
          bool full = recordCount_ == bufferCount_;
          if (!GetNextRecord()) {
            eof_ = true;
            break;
          }
          if (full) {
            --scrolled;
          }
          activeRecord_ = recordCount_ - 1;
        }
        --distance;
        ++moved;
      }
      while (distance < 0) {
        if (activeRecord_ > 0) {
          --activeRecord_;
        } else {
          if (!GetPriorRecord()) {
            bof_ = true;
            break;
          }
          ++scrolled;
          activeRecord_ = 0;
        }
        ++distance;
        --moved;
      }
    } catch (...) {
      notify();
      throw;
    }
    notify();
  }
  DoAfterScroll();
  return moved;
}

int TDataSet::RecNo() const {
  CheckActive();
  // An empty dataset has no current record; its first buffer may still hold
  // a record from before the refill, whose number must not be reported.
  if (state_ == dsBrowse && recordCount_ == 0) {
    return -1;
  }
  return GetRecNo();
}

void TDataSet::SetRecNo(int) {}

int TDataSet::RecordCount() const {
  CheckActive();
  return GetRecordCount();
}

double TDataSet::RecordPosition() {
  if (state_ == dsInactive || state_ == dsInsert || recordCount_ == 0) {
    return -1;
  }
  int recNo = GetRecNo();
  int count = GetRecordCount();
  if (recNo < 1 || count < 1) {
    return -1;
  }
  if (count == 1) {
    return 0;
  }
  return std::clamp(static_cast<double>(recNo - 1) / (count - 1), 0.0, 1.0);
}

void TDataSet::SetRecordPosition(double position) {
  int count = RecordCount();
  if (count < 1) {
    return;
  }
  position = std::clamp(position, 0.0, 1.0);
  SetRecNo(1 + static_cast<int>(position * (count - 1) + 0.5));
}

void TDataSet::Resync(TResyncModes modes) {
  CheckActive();
  TRecordBuffer* target = BufferAt(recordCount_ < bufferCount_ ? recordCount_ : bufferCount_);
  if ((modes & rmExact) != 0) {
    CursorPosChanged();
    if (GetRecord(target, gmCurrent, true) != grOK) {
      Error(dbmsg::kRecordNotFound);
    }
  } else if (GetRecord(target, gmCurrent, false) != grOK &&
             GetRecord(target, gmNext, false) != grOK &&
             GetRecord(target, gmPrior, false) != grOK) {
    CheckWindowSurvived();
    ClearBuffers();
    DataEvent(deDataSetChange);
    return;
  }
  CheckWindowSurvived();
  int row = (modes & rmCenter) != 0 ? (bufferCount_ - 1) / 2 : activeRecord_;
  row = std::clamp(row, 0, bufferCount_ - 1);
  // The fetched record becomes a one-record window; records before it are
  // fetched up to its row, then the window is filled after and before it.
  auto it = std::find_if(buffers_.begin(), buffers_.end(),
                         [target](const TRecordBufferPtr& b) { return b.get() == target; });
  std::iter_swap(buffers_.begin(), it);
  ActivateBuffers();
  try {
    int before = 0;
    while (before < row && GetPriorRecord()) {
      ++before;
    }
    activeRecord_ = before;
    GetNextRecords();
    GetPriorRecords();
  } catch (...) {
    DataEvent(deDataSetChange);
    throw;
  }
  DataEvent(deDataSetChange);
}

void TDataSet::Refresh() {
  CheckBrowseMode();
  UpdateCursorPos();
  InternalRefresh();
  Resync(0);
}

// ---------------------------------------------------------------------------
// Bookmarks

// A record being inserted has none: its buffer carries the bookmark of the
// record it was inserted before, for Cancel to return to.
bool TDataSet::BookmarkAvailable() const {
  return (state_ == dsBrowse || state_ == dsEdit) && recordCount_ > 0 &&
         GetBookmarkFlag(ActiveBuffer()) == bfCurrent;
}

TBookmark TDataSet::GetBookmark() const {
  TBookmark bookmark;
  if (BookmarkAvailable()) {
    GetBookmarkData(ActiveBuffer(), bookmark);
  }
  return bookmark;
}

void TDataSet::GotoBookmark(const TBookmark& bookmark) {
  if (bookmark.empty()) {
    return;
  }
  CheckBrowseMode();
  DoBeforeScroll();
  InternalGotoBookmark(bookmark);
  Resync(rmExact | rmCenter);
  DoAfterScroll();
}

int TDataSet::CompareBookmarks(const TBookmark& a, const TBookmark& b) const {
  if (a.empty() || b.empty()) {
    return a.empty() == b.empty() ? 0 : (a.empty() ? -1 : 1);
  }
  int c = std::memcmp(a.data(), b.data(), std::min(a.size(), b.size()));
  if (c == 0) {
    c = a.size() < b.size() ? -1 : (a.size() > b.size() ? 1 : 0);
  }
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool TDataSet::BookmarkValid(const TBookmark&) { return false; }

bool TDataSet::GetCurrentRecord(TRecordBuffer*) { return false; }

std::unique_ptr<TStream> TDataSet::CreateBlobStream(TField& field, TBlobStreamMode) {
  Error(Format(dbmsg::kNotBlobField, field.DisplayName().c_str()));
}
