// The main window's "Сервис" menu: bookmark import and export, and the
// duplicate addresses. Each runs over the whole catalogue through a
// connection of its own, so the window lets go of its tables (opened for
// exclusive use) while it runs and opens them again afterwards.
#include <QCursor>
#include <QEventLoop>
#include <QGuiApplication>
#include <QTimer>
#include <set>
#include <tuple>

#include "Unit1.h"
#include "exception_handler.h"
#include "message_box.h"
#include "section_tree.h"
#include "service_windows.h"
#include "url_catalogue.h"
#include "catalogue/whole_address.h"
#include "xds/xdserror.h"
#include "xds/xdstable.h"

namespace {

const char* const kBookmarkFiles =
    "Файлы закладок (*.html *.htm *.xbel *.xml);;Все файлы (*)";
const char* const kExportFiles = "Закладки HTML (*.html *.htm);;XBEL (*.xbel)";

// The main window's busy pointer while a command runs without a window of
// its own.
class TBusyCursor {
 public:
  TBusyCursor() { QGuiApplication::setOverrideCursor(Qt::WaitCursor); }
  ~TBusyCursor() { QGuiApplication::restoreOverrideCursor(); }
};

// Whether the sections table holds just the tree's sections (in any order).
// The tree is saved only when it does not: a command that changes nothing
// leaves the table's bytes as they were.
bool TreeIsStored(TXdsTable& sections, TTreeView* tree) {
  using Row = std::tuple<int32_t, int32_t, std::string>;
  std::multiset<Row> rows;
  for (const TSectionRow& r : TreeRows(tree)) {
    rows.emplace(r.Id, r.ParentId, r.Name);
  }
  std::multiset<Row> stored;
  sections.First();
  while (!sections.Eof()) {
    stored.emplace(sections.FieldByName("INID")->AsInteger(),
                   sections.FieldByName("PREIN")->AsInteger(),
                   sections.FieldByName("INNAME")->AsString());
    sections.Next();
  }
  return rows == stored;
}

}  // namespace

void TForm1::BindServiceMenu() {
  connect(actionImportBookmarks, &QAction::triggered, this,
          ui::Guarded(this, &TForm1::ImportBookmarksClick));
  connect(actionExportBookmarks, &QAction::triggered, this,
          ui::Guarded(this, &TForm1::ExportBookmarksClick));
  connect(actionFindDuplicates, &QAction::triggered, this,
          ui::Guarded(this, &TForm1::FindDuplicatesClick));
  actionImportBookmarks->setEnabled(true);
  actionExportBookmarks->setEnabled(true);
  actionFindDuplicates->setEnabled(true);
}

void TForm1::ReleaseCatalogue() {
  if (HDSUrls->State() == dsEdit || HDSUrls->State() == dsInsert) {
    HDSUrls->Post();
  }
  if (!TreeIsStored(*HDSTem, TreeView1)) {
    SaveSections(*HDSTem, TreeView1);
  }
  // Nothing is edited while the tables are away.
  catalogueOpen_ = false;
  DBGrid1->SetReadOnly(true);
  DataSource1->SetAutoEdit(false);
  urlIndexBeforeRelease_ = HDSUrls->IndexName();
  catalogueReleased_ = true;
  HDSUrls->Close();
  HDSUrlIn->Close();
  HDSTem->Close();
  HDSType->Close();
  if (LongAddresses) {
    CheckXceResult(nullptr, LongAddresses->Close());
  }
}

void TForm1::ReopenCatalogue() {
  // A failure here leaves the window as a start-up that stopped part-way
  // does: it may close, and refuses changes.
  catalogueReleased_ = false;
  // As start-up opens them, the lookup table first; the indexes are as the
  // command left them, so none is rebuilt.
  HDSType->Open();
  HDSUrlIn->Open();
  HDSUrls->Open();
  HDSTem->Open();
  OpenLongAddresses();
  HDSUrlIn->SetIndexName("TEM_ID");
  HDSUrls->SetIndexName(urlIndexBeforeRelease_.empty() ? "URL_ID" : urlIndexBeforeRelease_);
  LoadSections(*HDSTem, TreeView1);
  catalogueOpen_ = true;
  DBGrid1->SetReadOnly(false);
  DataSource1->SetAutoEdit(true);
  ApplySectionFilter();
  HDSUrls->First();
  RestartSearchAll();
}

void TForm1::ImportBookmarksClick() {
  if (RefusedWithoutCatalogue()) {
    return;
  }
  const QString file = ChooseFileToOpen(this, QString::fromUtf8("Импорт закладок"),
                                        QString::fromUtf8(kBookmarkFiles));
  if (file.isEmpty()) {
    return;
  }
  TImportRun run(file.toStdString(), WorkingDirectory);
  ReleaseCatalogue();
  try {
    run.Start();
    // A short import ends before anything is shown; the window's input
    // waits meanwhile. A longer one shows its progress and Cancel.
    if (ImportProgressDelayMs > 0) {
      QEventLoop wait;
      QTimer delay;
      delay.setSingleShot(true);
      connect(&delay, &QTimer::timeout, &wait, &QEventLoop::quit);
      delay.start(ImportProgressDelayMs);
      run.OnFinished([&wait] { wait.quit(); });
      wait.exec(QEventLoop::ExcludeUserInputEvents);
      run.OnFinished(nullptr);
    }
    if (!run.Finished()) {
      TImportProgressForm progress(&run, this);
      progress.exec();
    }
    run.Join();
  } catch (...) {
    run.OnFinished(nullptr);
    run.Cancel();
    run.Join();
    ReopenCatalogue();
    throw;
  }
  ReopenCatalogue();
  if (run.Cancelled()) {
    ui::ShowMessage(QString::fromUtf8("Импорт прерван: каталог не изменился."));
  } else if (!run.Ok()) {
    ui::ShowErrorBox(this, QString::fromUtf8("Закладки не импортированы: %1")
                               .arg(QString::fromStdString(run.Error())));
  } else {
    TImportSummaryForm summary(run, this);
    summary.exec();
  }
}

void TForm1::ExportBookmarksClick() {
  if (RefusedWithoutCatalogue()) {
    return;
  }
  const QString file = ChooseFileToSave(this, QString::fromUtf8("Экспорт закладок"),
                                        QString::fromUtf8(kExportFiles));
  if (file.isEmpty()) {
    return;
  }
  const std::string name = file.toStdString();
  std::string error;
  bool ok = false;
  ReleaseCatalogue();
  {
    TBusyCursor busy;
    ok = bookmarks::ExportBookmarks(WorkingDirectory, name, bookmarks::XbelByName(name), &error);
  }
  ReopenCatalogue();
  if (!ok) {
    ui::ShowErrorBox(this, QString::fromUtf8("Закладки не сохранены: %1")
                               .arg(QString::fromStdString(error)));
    return;
  }
  ui::ShowMessage(QString::fromUtf8("Каталог сохранён в файл закладок %1").arg(file));
}

void TForm1::FindDuplicatesClick() {
  if (RefusedWithoutCatalogue()) {
    return;
  }
  std::vector<bookmarks::DuplicateGroup> groups;
  std::string error;
  bool ok = false;
  ReleaseCatalogue();
  {
    TBusyCursor busy;
    ok = bookmarks::FindDuplicateUrls(WorkingDirectory, &groups, &error);
  }
  ReopenCatalogue();
  if (!ok) {
    ui::ShowErrorBox(this, QString::fromUtf8("Дубликаты не найдены: %1")
                               .arg(QString::fromStdString(error)));
    return;
  }
  TDuplicatesForm window(this, std::move(groups), this);
  window.exec();
}
