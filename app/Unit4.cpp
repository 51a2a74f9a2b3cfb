#include "Unit4.h"

#include <QCloseEvent>
#include <algorithm>
#include <limits>

#include "Unit1.h"
#include "url_catalogue.h"
#include "db/db_error.h"
#include "db/format.h"
#include "exception_handler.h"
#include "xds/xdstable.h"

int32_t LastTypeCode = 0;

namespace {

constexpr char kTypeId[] = "TYPE_ID";

bool Editing(const TDataSet& t) { return t.State() == dsEdit || t.State() == dsInsert; }

// The code a URL record's link type text holds, or 0 for a text that is no
// code the numbering could ever give.
int32_t CodeOrZero(const std::string& text) {
  try {
    return std::max(0, LinkTypeCode(text));
  } catch (const EConvertError&) {
    return 0;
  }
}

// The smallest key of the "ADRESTYPE" order above every key that begins
// with `code`: the code padded to the field's width with its last character
// stepped up. Empty when there is none.
std::string KeyAfter(const std::string& code, size_t width) {
  std::string key = code;
  key.resize(std::max(width, key.size()), ' ');
  while (!key.empty() && static_cast<unsigned char>(key.back()) == 0xFF) {
    key.pop_back();
  }
  if (!key.empty()) {
    key.back() = static_cast<char>(static_cast<unsigned char>(key.back()) + 1);
  }
  return key;
}

// The highest link type code the URL records carry, the deleted records'
// included (they are packed away only at shutdown, and could be recalled
// until then). The "ADRESTYPE" order is walked from one code to the next
// through a scope, so the work grows with the number of codes in use, not
// with the number of records. The list's order, filter and record are put
// back afterwards.
int32_t HighestCodeInUrls(TXdsTable& urls) {
  if (!urls.Active()) {
    return 0;
  }
  constexpr size_t kCodeWidth = 10;
  urls.CheckBrowseMode();
  const std::string index = urls.IndexName();
  const bool filtered = urls.Filtered();
  const TBookmark at = urls.IsEmpty() ? TBookmark() : urls.GetBookmark();
  int32_t highest = 0;
  urls.DisableControls();
  auto restore = [&] {
    urls.SetScoped(false);
    urls.SetScopeBegin("");
    urls.SetIndexName(index);
    urls.SetFiltered(filtered);
    if (!at.empty() && urls.BookmarkValid(at)) {
      urls.GotoBookmark(at);
    }
  };
  try {
    urls.SetFiltered(false);
    urls.SetIndexName("ADRESTYPE");
    urls.First();
    while (!urls.Eof()) {
      const std::string code = urls.FieldByName("ADRESTYPE")->AsString();
      highest = std::max(highest, CodeOrZero(code));
      const std::string next = KeyAfter(code, kCodeWidth);
      if (next.empty()) {
        break;
      }
      urls.SetScoped(false);
      urls.SetScopeBegin(next);
      urls.SetScoped(true);
      urls.First();
      if (!urls.Eof() && urls.FieldByName("ADRESTYPE")->AsString() == code) {
        // A key the scope could not step over: on by one record instead.
        urls.SetScoped(false);
        (void)urls.Locate("ADRESTYPE", TVariant(code), 0);
        urls.Next();
        while (!urls.Eof() && urls.FieldByName("ADRESTYPE")->AsString() == code) {
          urls.Next();
        }
      }
    }
    restore();
  } catch (...) {
    try {
      restore();
    } catch (...) {
    }
    urls.EnableControls();
    throw;
  }
  urls.EnableControls();
  return highest;
}

}  // namespace

int32_t LinkTypeCode(const std::string& text) {
  const int64_t value = StrToInt(text);
  if (value < std::numeric_limits<int32_t>::min() || value > std::numeric_limits<int32_t>::max()) {
    throw EConvertError(Format(dbmsg::kInvalidInteger, text.c_str()));
  }
  return static_cast<int32_t>(value);
}

TForm4::TForm4(TForm1* owner) : QWidget(owner, Qt::Window), owner_(owner) {
  setupUi(this);
  dataSource1_ = std::make_unique<TDataSource>();
  DataSource1 = dataSource1_.get();
  DataSource1->SetName("DataSource1");
  DataSource1->SetDataSet(owner->HDSType);
  DBGrid1->SetDataSource(DataSource1);
  DBGrid1->SetLengthNotice(QString::fromUtf8(kCutToField));
}

TForm4::~TForm4() {
  // The grid lets go of the data source before it goes.
  DBGrid1->SetDataSource(nullptr);
}

void TForm4::closeEvent(QCloseEvent* event) {
  if (ui::CloseQueryGuarded([this](bool& CanClose) { FormCloseQuery(CanClose); })) {
    event->accept();
    // Each use of the button makes a new window: a closed one would only
    // keep listening to the table.
    deleteLater();
  } else {
    event->ignore();
  }
}

void TForm4::FormCloseQuery(bool& CanClose) {
  TDataSet* types = DataSource1->DataSet();
  if (types != nullptr && Editing(*types)) {
    types->Post();
  }
  CanClose = true;
  owner_->show();
  // The list's "Тип" column shows each record's type as the dictionary now
  // holds it: a deleted type's name goes, a renamed one changes.
  TXdsTable* urls = owner_->HDSUrls;
  if (urls->Active() && urls->State() == dsBrowse) {
    urls->Refresh();
  }
}

// --- The main window's part -------------------------------------------------

void TForm1::ToolButton6Click() {
  if (RefusedWithoutCatalogue()) {
    return;
  }
  // Made before the main window goes: a window that cannot be made leaves
  // the main window where it was.
  auto* dictionary = new TForm4(this);
  hide();
  dictionary->show();
}

void TForm1::HDSTypeBeforeInsert(TDataSet&) {
  HDSType->SetIndexName(kTypeId);
  // The index orders codes as text, so its last row holds the highest code
  // only while all codes have as many digits ("9" sorts after "10"). The
  // dictionary is small: every code is read, and the new one goes above
  // them all, so no two types ever share a code.
  int32_t highest = 0;
  HDSType->DisableControls();
  try {
    for (HDSType->First(); !HDSType->Eof(); HDSType->Next()) {
      highest = std::max(highest, LinkTypeCode(HDSType->FieldByName(kTypeId)->AsString()));
    }
    HDSType->Last();
  } catch (...) {
    HDSType->EnableControls();
    throw;
  }
  HDSType->EnableControls();
  // A code the URL records still carry is not given again, though its type
  // is gone: those records would take the new type's name and prefix.
  highest = std::max(highest, HighestCodeInUrls(*HDSUrls));
  if (highest == std::numeric_limits<int32_t>::max()) {
    DatabaseError("No link type code is left above " + std::to_string(highest),
                  HDSType->Name());
  }
  LastTypeCode = highest;
}

void TForm1::HDSTypeBeforePost(TDataSet&) {
  // An edited row keeps its code: URL records refer to the type by it.
  if (HDSType->State() == dsInsert) {
    HDSType->FieldByName(kTypeId)->SetAsString(std::to_string(LastTypeCode + 1));
  }
}

void TForm1::HDSTypeAfterDelete(TDataSet&) { HDSType->PackTable(); }
