// The search everywhere of the main window: EditSearchAll narrows the URL
// list to the records that hold every word typed in their address (whole),
// name or description. The search itself is the catalogue's
// (catalogue/url_search.h); here it runs a part at a time between the
// window's events, and the URL table's filter handler lets through only the
// record numbers it found.
#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>
#include <algorithm>
#include <cmath>

#include "Unit1.h"
#include "catalogue/url_search.h"
#include "catalogue/whole_address.h"
#include "exception_handler.h"
#include "xds/xce_calls.h"
#include "xds/xdserror.h"
#include "xds/xdstable.h"

namespace {

// A part of the search takes about this long before the window's events
// are served again; each call of the catalogue's search looks at no more
// records than kSearchBudget.
constexpr qint64 kSliceMs = 15;
constexpr uint32_t kSearchBudget = 2048;

const char* const kFoundCaption = "Найдено: %1";
const char* const kStillSearchingCaption = "Найдено: %1…";

int32_t UrlIdOf(TDataSet& urls) {
  return static_cast<int32_t>(std::lround(urls.FieldByName("URL_ID")->AsFloat()));
}

// A set of record numbers as bits.
class TRecordBits {
 public:
  bool Test(uint32_t recNo) const {
    return recNo / 64 < bits_.size() && ((bits_[recNo / 64] >> (recNo % 64)) & 1) != 0;
  }
  void Set(uint32_t recNo, bool on) {
    if (recNo / 64 >= bits_.size()) {
      if (!on) {
        return;
      }
      bits_.resize(recNo / 64 + 1, 0);
    }
    const uint64_t mask = uint64_t{1} << (recNo % 64);
    bits_[recNo / 64] = on ? bits_[recNo / 64] | mask : bits_[recNo / 64] & ~mask;
  }
  void Clear() { bits_.clear(); }

 private:
  std::vector<uint64_t> bits_;
};

}  // namespace

struct TForm1::TSearchAll {
  // Forgets the search: the box is empty.
  void Reset() {
    timer.stop();
    text.clear();
    progress = {};
    found.clear();
    bits.Clear();
    narrowed = false;
    shown = false;
    shownBits.Clear();
    counted = 0;
    inSections = 0;
    idBefore = 0;
  }

  QTimer timer;
  // The search running (UTF-8): empty when there is none.
  std::string text;
  catalogue::UrlSearchProgress progress;
  // The live records found so far, ascending and as bits.
  std::vector<uint32_t> found;
  TRecordBits bits;
  // What the list shows: narrowed (to `shownBits`) or whole.
  bool narrowed = false;
  bool shown = false;  // this search's matches are shown
  TRecordBits shownBits;
  // With the section filter on, the matches looked at so far for the count
  // and how many of them are filed in a marked section.
  std::size_t counted = 0;
  uint32_t inSections = 0;
  // The record current when the search began: current again when the box
  // is emptied and the narrowed list had no record.
  int32_t idBefore = 0;
};

void TForm1::TSearchAllDeleter::operator()(TSearchAll* search) const { delete search; }

void TForm1::BindSearchAll() {
  searchAll_.reset(new TSearchAll);
  searchAll_->timer.setSingleShot(true);
  searchAll_->timer.setInterval(0);
  connect(&searchAll_->timer, &QTimer::timeout, this,
          [this] { ui::CallGuarded([this] { SearchAllStep(); }); });
  connect(EditSearchAll, &QLineEdit::textChanged, this,
          ui::Guarded(this, &TForm1::EditSearchAllChange));
  connect(PanelSearchAll, &TPanel::Resize, this, ui::Guarded(this, &TForm1::PanelSearchAllResize));
  // A record written or deleted may now match or no longer: it is looked at
  // again once its whole address is settled (the long addresses' handler
  // runs first).
  auto afterPost = HDSUrls->AfterPost;
  HDSUrls->AfterPost = [this, afterPost](TDataSet& DataSet) {
    if (afterPost) {
      afterPost(DataSet);
    }
    SearchAllRecordChanged(HDSUrls->StateRecNo());
  };
  auto beforeDelete = HDSUrls->BeforeDelete;
  auto afterDelete = HDSUrls->AfterDelete;
  auto deleting = std::make_shared<uint32_t>(0);
  HDSUrls->BeforeDelete = [this, beforeDelete, deleting](TDataSet& DataSet) {
    *deleting = HDSUrls->StateRecNo();
    if (beforeDelete) {
      beforeDelete(DataSet);
    }
  };
  HDSUrls->AfterDelete = [this, afterDelete, deleting](TDataSet& DataSet) {
    if (afterDelete) {
      afterDelete(DataSet);
    }
    SearchAllRecordChanged(*deleting);
  };
}

void TForm1::PanelSearchAllResize() {
  const int w = PanelSearchAll->width();
  EditSearchAll->resize(w, EditSearchAll->height());
  LabelSearchAllCount->setGeometry(LabelSearchAll->geometry().right() + 1, 2,
                                   std::max(0, w - LabelSearchAll->geometry().right() - 5), 14);
}

bool TForm1::SearchAllActive() const { return searchAll_ && searchAll_->narrowed; }

bool TForm1::SearchAllShown() const { return searchAll_->text.empty() || searchAll_->shown; }

bool TForm1::SearchAllDone() const {
  const TSearchAll& s = *searchAll_;
  return s.text.empty() ||
         (s.progress.done && (!FilterFlag || s.counted == s.found.size()) && s.shown);
}

uint32_t TForm1::SearchAllCount() const {
  const TSearchAll& s = *searchAll_;
  return FilterFlag ? s.inSections : static_cast<uint32_t>(s.found.size());
}

void TForm1::EditSearchAllChange() {
  TSearchAll& s = *searchAll_;
  const std::string text = EditSearchAll->text().toStdString();
  if (catalogue::SearchWords(text).empty()) {
    EndSearchAll();
    return;
  }
  if (s.text.empty() && !s.narrowed) {
    s.idBefore = HDSUrls->Active() && !HDSUrls->IsEmpty() ? UrlIdOf(*HDSUrls) : 0;
  }
  // The list keeps showing the search before until this one has a screen.
  s.text = text;
  s.progress = {};
  s.found.clear();
  s.bits.Clear();
  s.shown = false;
  s.counted = 0;
  s.inSections = 0;
  s.timer.start();
}

void TForm1::EndSearchAll() {
  TSearchAll& s = *searchAll_;
  const bool narrowed = s.narrowed;
  const int32_t idBefore = s.idBefore;
  s.Reset();
  LabelSearchAllCount->clear();
  if (!narrowed || !HDSUrls->Active() || catalogueReleased_) {
    return;
  }
  // The record current in the narrowed list stays current in the whole one;
  // when the narrowed list had none, the one current before the search.
  const int32_t keep = HDSUrls->IsEmpty() ? idBefore : UrlIdOf(*HDSUrls);
  RefreshUrlFilter();
  if (keep != 0) {
    (void)HDSUrls->Locate("URL_ID", TVariant(keep), 0);
  }
}

void TForm1::SearchAllStep() {
  TSearchAll& s = *searchAll_;
  if (s.text.empty() || catalogueReleased_ || !HDSUrls->Active() || !LongAddresses) {
    return;
  }
  QElapsedTimer clock;
  clock.start();
  if (HDSUrls->State() != dsBrowse) {
    // A record being edited in a window of its own waits for its command,
    // which takes the search up again; an edit in the grid is saved first,
    // as leaving the record would save it (the search reads the table
    // through its cursor).
    if (QApplication::activeModalWidget() != nullptr) {
      return;
    }
    HDSUrls->CheckBrowseMode();
  }
  if (!s.progress.done) {
    std::vector<uint32_t> found;
    XDSRESULT r = 0;
    do {
      r = catalogue::FindUrlRecords(HDSUrls->TableHandle(), *LongAddresses, s.text, &s.progress,
                                    kSearchBudget, &found);
    } while (r == 0 && !s.progress.done && clock.elapsed() < kSliceMs);
    HDSUrls->EngineCursorMoved();
    for (uint32_t recNo : found) {
      s.bits.Set(recNo, true);
      s.found.push_back(recNo);
    }
    if (r != 0) {
      // Said once; the records found so far are shown.
      s.progress.done = true;
      s.counted = s.found.size();
    }
    // The first screen of matches as soon as there is one; the list again,
    // keeping its current record, once every record was looked at.
    const bool screen =
        s.found.size() >= static_cast<std::size_t>(std::max(DBGrid1->VisibleRowCount(), 1));
    if (!s.shown && (s.progress.done || screen)) {
      ShowSearchAll(0);
    } else if (s.progress.done) {
      ShowSearchAll(HDSUrls->IsEmpty() ? 0 : UrlIdOf(*HDSUrls));
    }
    CheckXceResult(nullptr, r);
  }
  if (s.progress.done && FilterFlag && s.counted < s.found.size()) {
    // The list's count with the section filter on: each match filed in a
    // marked section, asked as the filter handler asks it.
    uint16_t idField = 0;
    CheckXceResult(nullptr, Xce().XdsGetFieldNumber(HDSUrls->TableHandle(), "URL_ID", &idField));
    try {
      while (s.counted < s.found.size() && clock.elapsed() < kSliceMs) {
        char text[32];
        uint32_t length = sizeof text - 1;
        CheckXceResult(nullptr,
                       Xce().XdsGotoRecord(HDSUrls->TableHandle(), s.found[s.counted]));
        CheckXceResult(nullptr, Xce().XdsGetField(HDSUrls->TableHandle(), idField, text,
                                                   &length, XDS_GET_TRIM));
        text[length] = '\0';
        const double id = std::strtod(text, nullptr);
        if (HDSUrlIn->Locate("URL_ID", TVariant(id), 0)) {
          ++s.inSections;
        }
        ++s.counted;
      }
    } catch (...) {
      HDSUrls->EngineCursorMoved();
      s.counted = s.found.size();
      throw;
    }
    HDSUrls->EngineCursorMoved();
  }
  if (!ShowSearchAllCount()) {
    s.timer.start();
  }
}

bool TForm1::ShowSearchAllCount() {
  const bool done = SearchAllDone();
  LabelSearchAllCount->setText(
      QString::fromUtf8(done ? kFoundCaption : kStillSearchingCaption).arg(SearchAllCount()));
  return done;
}

void TForm1::ShowSearchAll(int32_t keepId) {
  TSearchAll& s = *searchAll_;
  s.shownBits = s.bits;
  s.narrowed = true;
  s.shown = true;
  RefreshUrlFilter();
  if (keepId != 0) {
    (void)HDSUrls->Locate("URL_ID", TVariant(keepId), 0);
  }
}

bool TForm1::SearchAllPasses(uint32_t recNo) const {
  return !searchAll_ || !searchAll_->narrowed || searchAll_->shownBits.Test(recNo);
}

void TForm1::SearchAllRecordChanged(uint32_t recNo) {
  TSearchAll& s = *searchAll_;
  if (s.text.empty() || recNo == 0 || !LongAddresses) {
    return;
  }
  if (!s.progress.done && recNo >= s.progress.next) {
    return;  // the search has yet to come to it
  }
  catalogue::UrlSearchProgress one{recNo, false};
  std::vector<uint32_t> hit;
  const XDSRESULT r = catalogue::FindUrlRecords(HDSUrls->TableHandle(), *LongAddresses, s.text,
                                                &one, 1, &hit);
  HDSUrls->EngineCursorMoved();
  CheckXceResult(nullptr, r);
  const bool matches = !hit.empty();
  auto at = std::lower_bound(s.found.begin(), s.found.end(), recNo);
  const bool listed = at != s.found.end() && *at == recNo;
  if (matches && !listed) {
    s.found.insert(at, recNo);
  } else if (!matches && listed) {
    s.found.erase(at);
  }
  s.bits.Set(recNo, matches);
  if (s.shown) {
    s.shownBits.Set(recNo, matches);
  }
  RecountSearchAll();
}

void TForm1::RecountSearchAll() {
  if (!searchAll_) {
    return;
  }
  TSearchAll& s = *searchAll_;
  s.counted = 0;
  s.inSections = 0;
  if (!s.text.empty() && s.shown && !ShowSearchAllCount()) {
    s.timer.start();
  } else if (!s.text.empty() && !s.shown) {
    s.timer.start();
  }
}

void TForm1::RestartSearchAll() {
  if (searchAll_ && !searchAll_->text.empty()) {
    // The records may have been renumbered: nothing found before holds.
    searchAll_->shownBits.Clear();
    EditSearchAllChange();
  }
}
