#include "Unit1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>
#include <QScreen>


#include "Unit3.h"
#include "catalogue_io.h"
#include "catalogue.h"
#include "catalogue/whole_address.h"
#include "controls.h"
#include "current_dir.h"
#include "exception_handler.h"
#include "grid_widths.h"
#include "images.h"
#include "message_box.h"
#include "qt_text.h"
#include "section_edit.h"
#include "section_tree.h"
#include "url_catalogue.h"
#include "xds/xdserror.h"
#include "xds/xdstable.h"

TForm1* Form1 = nullptr;
std::string WorkingDirectory;
bool FilterFlag = false;
bool NewRecordFlag = false;

namespace {

constexpr char kGridSection[] = "Grid";

// A bookmark import (or a catalogue repair) killed after it committed its
// swap leaves the folder with some tables new and some old; it is finished
// before any table is opened. While an import runs (it holds the folder) nothing is touched here:
// the tables it holds then refuse to open.
void FinishInterruptedBookmarkImport(const std::string& dir) {
  bookmarks::FolderLock lock(dir);
  std::string error;
  if (lock.ok() && !bookmarks::FinishInterruptedImport(xce::FileSystem::Default(), dir, &error)) {
    throw Exception("Cannot finish the bookmark import interrupted in " + dir + ": " +
                             error);
  }
}

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
  DBGrid1->SetLengthNotice(QString::fromUtf8(kCutToField));
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
  // Sorted by text: siblings go back into name order when a label is
  // edited; sections just added stay last until then.
  TreeView1->setSortingEnabled(false);
  TreeView1->SetSortedByText(true);
  LimitSectionNames(TreeView1);

  // Declared sizes the splitters hand out: the section panel 137 pixels
  // wide, the address search 200, the description 55 high. The other side of
  // each splitter takes what the window gains or loses.
  Splitter2->setStretchFactor(0, 0);
  Splitter2->setStretchFactor(1, 1);
  Splitter2->setSizes({137, width() - 137 - Splitter2->handleWidth()});
  // The search everywhere keeps 200 pixels at the row's end.
  Splitter4->setStretchFactor(0, 0);
  Splitter4->setStretchFactor(1, 1);
  Splitter4->setStretchFactor(2, 0);
  Splitter4->setSizes(
      {200, width() - 139 - 200 - 200 - 2 * Splitter4->handleWidth(), 200});
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
  CreateServiceMenu();
  DataSource1->SetDataSet(HDSUrls);
  BindHandlers();
  BindLongAddresses();
  BindSearchAll();
  // Nothing is edited in the list until start-up has opened the catalogue
  // whole: an edit that start-up left no way to save would be lost.
  DBGrid1->SetReadOnly(true);
  DataSource1->SetAutoEdit(false);
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

void TForm1::CreateServiceMenu() {
  ServiceMenu = new QMenu(this);
  ServiceMenu->setObjectName("ServiceMenu");
  ServiceMenu->setToolTipsVisible(true);
  auto add = [this](const char* name, const char* text, const char* hint) {
    QAction* action = ServiceMenu->addAction(QString::fromUtf8(text));
    action->setObjectName(name);
    action->setToolTip(QString::fromUtf8(hint));
    action->setEnabled(false);
    return action;
  };
  actionImportBookmarks =
      add("actionImportBookmarks", "Импорт закладок…",
          "Добавить в каталог закладки из файла браузера (HTML или XBEL)");
  actionExportBookmarks = add("actionExportBookmarks", "Экспорт закладок…",
                              "Сохранить каталог в файл закладок (HTML или XBEL)");
  actionFindDuplicates = add("actionFindDuplicates", "Найти дубликаты…",
                             "Найти и объединить записи с одним и тем же адресом");
  actionCheckLinks = add("actionCheckLinks", "Проверить ссылки…",
                         "Проверить, открываются ли адреса текущего списка");
  ToolButton13->setMenu(ServiceMenu);
}

void TForm1::BindHandlers() {
  // Every key press in the window reaches FormKeyDown before the control
  // that has the focus. One filter over the whole application sees each
  // event once per receiver.
  qApp->installEventFilter(this);

  connect(TreeView1, &TTreeView::MouseDown, this, ui::Guarded(this, &TForm1::TreeView1MouseDown));
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
  BindServiceMenu();
  connect(actionCheckLinks, &QAction::triggered, this,
          ui::Guarded(this, &TForm1::CheckLinksClick));
  actionCheckLinks->setEnabled(true);
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
  }
  return QWidget::eventFilter(watched, event);
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (catalogueReleased_) {
    event->ignore();
    return;
  }
  if (ui::CloseQueryGuarded([this](bool& CanClose) { FormCloseQuery(CanClose); })) {
    event->accept();
  } else {
    event->ignore();
  }
}

void TForm1::FormCreate() {
  WorkingDirectory = platform::GetCurrentDirectory();
  FinishInterruptedBookmarkImport(WorkingDirectory);
  XdsConnection1->SetIsConnected(false);
  XdsConnection1->SetConnectPath(WorkingDirectory);
  XdsConnection1->SetIsConnected(true);
  LoadGridWidths(DBGrid1, SettingsFileName(), kGridSection);
  NewRecordFlag = false;
  Panel2->SetCaption(QString::fromUtf8(kFilterOffCaption));
  // Every table is opened before any is reindexed: a missing, locked (by a
  // second running copy) or damaged table then stops start-up before
  // anything has been written to the folder.
  HDSType->Open();
  HDSUrlIn->Open();
  HDSUrls->Open();
  HDSTem->Open();
  OpenLongAddresses();
  HDSType->ReindexTable();
  HDSUrlIn->ReindexTable();
  HDSUrlIn->SetIndexName("TEM_ID");
  HDSUrls->ReindexTable();
  HDSUrls->SetIndexName("URL_ID");
  HDSTem->ReindexTable();
  CheckXceResult(nullptr, LongAddresses->Reindex());
  LoadSections(*HDSTem, TreeView1);
  catalogueOpen_ = true;
  DBGrid1->SetReadOnly(false);
  DataSource1->SetAutoEdit(true);
}

bool TForm1::RefusedWithoutCatalogue() {
  if (catalogueOpen_) {
    return false;
  }
  ui::ShowErrorBox(this, QString::fromUtf8(kCatalogueNotOpen));
  return true;
}

void TForm1::FormCloseQuery(bool& /*CanClose*/) {
  // After a start-up that stopped part-way, the steps whose table is not
  // open (or whose tree was never loaded) are skipped and write nothing:
  // packing needs an open table, and saving a tree that was never loaded
  // would empty the sections table. Failing there would also keep the
  // window from ever closing.
  if (HDSUrls->Active()) {
    if (HDSUrls->State() == dsEdit || HDSUrls->State() == dsInsert) {
      HDSUrls->Post();
    }
    HDSUrls->SetFiltered(false);
    HDSUrls->PackTable();
    TidyLongAddresses();
  }
  if (catalogueOpen_) {
    SaveSections(*HDSTem, TreeView1);
  }
  // Without a working directory there is no settings file to write.
  if (!WorkingDirectory.empty()) {
    SaveGridWidths(DBGrid1, SettingsFileName(), kGridSection);
  }
}

void TForm1::FormKeyDown(int Key, Qt::KeyboardModifiers Shift) {
  if (Key == Qt::Key_F4 && Shift == Qt::NoModifier) {
    ToolButton2Click();
  }
  // Ctrl+F from anywhere in the window goes to the search everywhere; in
  // it, Esc empties it (the whole list back) and Enter goes to the list.
  if (Key == Qt::Key_F && Shift == Qt::ControlModifier) {
    EditSearchAll->setFocus(Qt::ShortcutFocusReason);
    EditSearchAll->selectAll();
  } else if (focusWidget() == EditSearchAll && (Shift & ~Qt::KeypadModifier) == Qt::NoModifier) {
    if (Key == Qt::Key_Escape) {
      EditSearchAll->clear();
    } else if (Key == Qt::Key_Return || Key == Qt::Key_Enter) {
      DBGrid1->setFocus(Qt::OtherFocusReason);
    }
  }
}

void TForm1::Panel5Resize() { Edit1->resize(Panel5->width(), Edit1->height()); }

void TForm1::Panel6Resize() { Edit2->resize(Panel6->width(), Edit2->height()); }

void TForm1::ToolButton7Click() {
  TAbout about(this);
  about.exec();
}

void TForm1::TreeView1MouseDown(Qt::MouseButton Button, Qt::KeyboardModifiers, int X, int Y) {
  if (ToggleSectionMark(TreeView1, Button, X, Y)) {
    ApplySectionFilter();
  }
}

void TForm1::ToolButton8Click() {
  if (!RefusedWithoutCatalogue()) {
    AddSectionAtCurrentLevel(TreeView1);
  }
}

void TForm1::ToolButton9Click() {
  if (!RefusedWithoutCatalogue()) {
    AddChildSection(TreeView1);
  }
}

void TForm1::ToolButton10Click() {
  if (!RefusedWithoutCatalogue()) {
    DeleteSection(TreeView1, *HDSUrlIn, this);
  }
}
void TForm1::ToolButton11Click() { ExpandAllSections(TreeView1); }
void TForm1::ToolButton12Click() { CollapseAllSections(TreeView1); }
