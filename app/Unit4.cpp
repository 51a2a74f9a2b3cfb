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
}

// --- The main window's part -------------------------------------------------

void TForm1::ToolButton6Click() {
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
