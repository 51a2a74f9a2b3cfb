#include "Unit1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScreen>

#include "Unit3.h"
#include "catalogue.h"
#include "controls.h"
#include "current_dir.h"
#include "exception_handler.h"
#include "grid_widths.h"
#include "images.h"
#include "qt_text.h"

TForm1* Form1 = nullptr;
std::string WorkingDirectory;
bool FilterFlag = false;
bool NewRecordFlag = false;

namespace {

constexpr char kGridSection[] = "Grid";

}  // namespace

std::string SettingsFileName() {
  if (!WorkingDirectory.empty() && WorkingDirectory.back() == '/') {
    return WorkingDirectory + "tavo.ini";
  }
  return WorkingDirectory + "/tavo.ini";
}

TForm1::TForm1(QWidget* parent) : QWidget(parent) {
  // The program's one main window: the start-up handler below, and every
  // handler after it, reach the window through Form1.
  Form1 = this;
  setupUi(this);

  dataSource1_ = std::make_unique<TDataSource>();
  DataSource1 = dataSource1_.get();
  DataSource1->SetName(catalogue::Catalogue().DataSource.Name);
  DBGrid1->SetDataSource(DataSource1);
  DBMemo1->SetDataSource(DataSource1);
  ImageList1 = new TImageList(this);
  ImageList1->setObjectName("ImageList1");
  FillUrlToolBarImages(ImageList1);
  ImageList2 = new TImageList(this);
  ImageList2->setObjectName("ImageList2");
  FillSectionMarkImages(ImageList2);
  ImageList3 = new TImageList(this);
  ImageList3->setObjectName("ImageList3");
  FillSectionToolBarImages(ImageList3);
  ToolBar1->SetImages(ImageList1);
  ToolBar2->SetImages(ImageList3);
  TreeView1->SetImages(ImageList2);
  TreeView1->sortByColumn(0, Qt::AscendingOrder);

  // Declared sizes the splitters hand out: the section panel 137 pixels
  // wide, the address search 200, the description 55 high. The other side of
  // each splitter takes what the window gains or loses.
  Splitter2->setStretchFactor(0, 0);
  Splitter2->setStretchFactor(1, 1);
  Splitter2->setSizes({137, width() - 137 - Splitter2->handleWidth()});
  Splitter4->setStretchFactor(0, 0);
  Splitter4->setStretchFactor(1, 1);
  Splitter4->setSizes({200, width() - 139 - 200 - Splitter4->handleWidth()});
  Splitter5->setStretchFactor(0, 1);
  Splitter5->setStretchFactor(1, 0);
  Splitter5->setSizes({height() - 65 - 55 - Splitter5->handleWidth(), 55});

  // Restored from maximized, the window takes its design size, centred on
  // the desktop.
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect bounds = geometry();
    bounds.moveCenter(screen->availableGeometry().center());
    move(bounds.topLeft());
  }
  setWindowState(Qt::WindowMaximized);

  CreateComponents();
  DataSource1->SetDataSet(HDSUrls);
  BindHandlers();
  ui::CallGuarded([this] { FormCreate(); });
}

TForm1::~TForm1() {
  // The controls let go of the data source before it goes.
  DBGrid1->SetDataSource(nullptr);
  DBMemo1->SetDataSource(nullptr);
  if (Form1 == this) {
    Form1 = nullptr;
  }
}

void TForm1::CreateComponents() {
  using Notify = void (TForm1::*)(TDataSet&);
  static const std::pair<const char*, Notify> kNotify[] = {
      {"HDSTypeBeforeInsert", &TForm1::HDSTypeBeforeInsert},
      {"HDSTypeBeforePost", &TForm1::HDSTypeBeforePost},
      {"HDSTypeAfterDelete", &TForm1::HDSTypeAfterDelete},
      {"HDSUrls_oldBeforeInsert", &TForm1::HDSUrls_oldBeforeInsert},
      {"HDSUrls_oldAfterInsert", &TForm1::HDSUrls_oldAfterInsert},
      {"HDSUrlsBeforeDelete", &TForm1::HDSUrlsBeforeDelete},
      {"HDSUrlsAfterDelete", &TForm1::HDSUrlsAfterDelete},
  };
  TCatalogueHandlers handlers;
  handlers.notify = [this](const std::string& name) -> TDataSet::TDataSetNotifyEvent {
    for (const auto& [handlerName, member] : kNotify) {
      if (name == handlerName) {
        return [this, member](TDataSet& DataSet) { (this->*member)(DataSet); };
      }
    }
    return nullptr;
  };
  handlers.filterRecord = [this](const std::string& name) -> TDataSet::TFilterRecordEvent {
    if (name == "HDSUrls_old2FilterRecord") {
      return [this](TDataSet& DataSet, bool& Accept) { HDSUrls_old2FilterRecord(DataSet, Accept); };
    }
    return nullptr;
  };
  Components = CreateCatalogueComponents("Form1", handlers);
  XdsConnection1 = Components->XdsConnection1.get();
  HDSTem = Components->HDSTem.get();
  HDSType = Components->HDSType.get();
  HDSUrlIn = Components->HDSUrlIn.get();
  HDSUrls = Components->HDSUrls.get();
}

// The link type table's handlers come with the link type window.
void TForm1::HDSTypeBeforeInsert(TDataSet&) {}
void TForm1::HDSTypeBeforePost(TDataSet&) {}
void TForm1::HDSTypeAfterDelete(TDataSet&) {}

void TForm1::BindHandlers() {
  // Every key press in the window reaches FormKeyDown before the control
  // that has the focus, and every press on the tree TreeView1MouseDown. One
  // filter over the whole application sees each event once per receiver.
  qApp->installEventFilter(this);

  connect(Panel2, &TPanel::Click, this, ui::Guarded(this, &TForm1::Panel2Click));
  connect(Panel5, &TPanel::Resize, this, ui::Guarded(this, &TForm1::Panel5Resize));
  connect(Panel6, &TPanel::Resize, this, ui::Guarded(this, &TForm1::Panel6Resize));
  connect(Edit1, &QLineEdit::textChanged, this, ui::Guarded(this, &TForm1::Edit1Change));
  connect(Edit2, &QLineEdit::textChanged, this, ui::Guarded(this, &TForm1::Edit2Change));
  connect(DBGrid1, &TDBGrid::TitleClick, this, ui::Guarded(this, &TForm1::DBGrid1TitleClick));
  connect(ToolButton1, &QToolButton::clicked, this, ui::Guarded(this, &TForm1::ToolButton1Click));
  connect(ToolButton2, &QToolButton::clicked, this, ui::Guarded(this, &TForm1::ToolButton2Click));
  connect(ToolButton3, &QToolButton::clicked, this, ui::Guarded(this, &TForm1::ToolButton3Click));
  connect(ToolButton4, &QToolButton::clicked, this, ui::Guarded(this, &TForm1::ToolButton4Click));
  connect(ToolButton5, &QToolButton::clicked, this, ui::Guarded(this, &TForm1::ToolButton5Click));
  connect(ToolButton6, &QToolButton::clicked, this, ui::Guarded(this, &TForm1::ToolButton6Click));
  connect(ToolButton7, &QToolButton::clicked, this, ui::Guarded(this, &TForm1::ToolButton7Click));
  connect(ToolButton8, &QToolButton::clicked, this, ui::Guarded(this, &TForm1::ToolButton8Click));
  connect(ToolButton9, &QToolButton::clicked, this, ui::Guarded(this, &TForm1::ToolButton9Click));
  connect(ToolButton10, &QToolButton::clicked, this, ui::Guarded(this, &TForm1::ToolButton10Click));
  connect(ToolButton11, &QToolButton::clicked, this, ui::Guarded(this, &TForm1::ToolButton11Click));
  connect(ToolButton12, &QToolButton::clicked, this, ui::Guarded(this, &TForm1::ToolButton12Click));
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress && watched->isWidgetType()) {
    // A key press travels from the focused control up to its parents; the
    // window previews it once, when the focused control is about to get it.
    auto* target = static_cast<QWidget*>(watched);
    QWidget* focused = focusWidget() ? focusWidget() : this;
    if (target == focused && target->window() == this) {
      auto* key = static_cast<QKeyEvent*>(event);
      ui::CallGuarded([&] { FormKeyDown(key->key(), key->modifiers()); });
    }
  } else if ((event->type() == QEvent::MouseButtonPress ||
              event->type() == QEvent::MouseButtonDblClick) &&
             watched == TreeView1->viewport()) {
    // The second press of a double click arrives as a double click; it is a
    // press all the same.
    auto* mouse = static_cast<QMouseEvent*>(event);
    QPoint at = mouse->position().toPoint();
    ui::CallGuarded(
        [&] { TreeView1MouseDown(mouse->button(), mouse->modifiers(), at.x(), at.y()); });
  }
  return QWidget::eventFilter(watched, event);
}

void TForm1::closeEvent(QCloseEvent* event) {
  bool canClose = true;
  try {
    FormCloseQuery(canClose);
  } catch (...) {
    // The close is abandoned and the window stays open.
    canClose = false;
    ui::HandleException();
  }
  if (canClose) {
    event->accept();
  } else {
    event->ignore();
  }
}

void TForm1::FormCreate() {
  WorkingDirectory = platform::GetCurrentDirectory();
  LoadGridWidths(DBGrid1, SettingsFileName(), kGridSection);
}

void TForm1::FormCloseQuery(bool& /*CanClose*/) {
  // Without a working directory (start-up failed before it was known) there
  // is no settings file to write, and failing here would keep the window
  // from ever closing.
  if (!WorkingDirectory.empty()) {
    SaveGridWidths(DBGrid1, SettingsFileName(), kGridSection);
  }
}

void TForm1::FormKeyDown(int Key, Qt::KeyboardModifiers Shift) {
  if (Key == Qt::Key_F4 && Shift == Qt::NoModifier) {
    ToolButton2Click();
  }
}

void TForm1::Panel5Resize() { Edit1->resize(Panel5->width(), Edit1->height()); }

void TForm1::Panel6Resize() { Edit2->resize(Panel6->width(), Edit2->height()); }

void TForm1::ToolButton7Click() {
  TAbout about(this);
  about.exec();
}

// The section tree and the link types come with their windows; until then
// their handlers do nothing.
void TForm1::TreeView1MouseDown(Qt::MouseButton, Qt::KeyboardModifiers, int, int) {}
void TForm1::ToolButton6Click() {}
void TForm1::ToolButton8Click() {}
void TForm1::ToolButton9Click() {}
void TForm1::ToolButton10Click() {}
void TForm1::ToolButton11Click() {}
void TForm1::ToolButton12Click() {}
