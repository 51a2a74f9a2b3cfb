// The main window over real catalogue folders: start-up and shutdown, the
// section tree's commands and marks, as a user drives them.
#include <QAbstractItemView>
#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "app_test_support.h"
#include "bookmark_tree.h"
#include "catalogue/demo_catalogue.h"
#include "catalogue_io.h"
#include "fault_file.h"
#include "grid_widths.h"
#include "qt_text.h"
#include "section_edit.h"
#include "section_tree.h"
#include "url_catalogue.h"
#include "xds/xds.h"

namespace apptest {
namespace {

namespace fs = std::filesystem;
using cattest::Cp1251;
using cattest::Row;

// Every file of a folder with its bytes, to tell whether anything was written.
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    std::ifstream in(e.path(), std::ios::binary);
    std::stringstream bytes;
    bytes << in.rdbuf();
    files[e.path().filename().string()] = bytes.str();
  }
  return files;
}

// The tree as "name[child ...]" in tree index order, with "*" after a marked
// node's name.
std::string Shape(TTreeView* tree) {
  std::function<std::string(QTreeWidgetItem*)> walk = [&](QTreeWidgetItem* item) {
    auto* node = static_cast<TTreeNode*>(item);
    std::string out = node->text(0).toStdString();
    if (node->ImageIndex() == kSectionMarked) {
      out += "*";
    }
    if (node->childCount() > 0) {
      out += "[";
      for (int i = 0; i < node->childCount(); ++i) {
        out += (i ? " " : "") + walk(node->child(i));
      }
      out += "]";
    }
    return out;
  };
  std::string out;
  for (int i = 0; i < tree->topLevelItemCount(); ++i) {
    out += (i ? " " : "") + walk(tree->topLevelItem(i));
  }
  return out;
}

// A window's title as the window system shows it: Qt's platform windows
// append the application's display name, when one was set, to every title
// that does not end with it. Whether one was set shows in whether the
// display name follows a change of the application's name.
QString ShownTitle(const QString& title) {
  const QString name = QCoreApplication::applicationName();
  QCoreApplication::setApplicationName(name + "~");
  const QString display = QGuiApplication::applicationDisplayName();
  const bool displayNameSet = display != name + "~";
  QCoreApplication::setApplicationName(name);
  if (!displayNameSet || title.endsWith(display)) {
    return title;
  }
  return title + QString::fromUtf8(" \u2014 ") + display;
}

class CatalogueWindowTest : public WorkingDirTest {
 protected:
  // Selects the first node with that text.
  TTreeNode* Select(TForm1* form, const char* text) {
    for (TTreeNode* node : TreeNodes(form->TreeView1)) {
      if (node->text(0) == QString::fromUtf8(text)) {
        form->TreeView1->setCurrentItem(node);
        return node;
      }
    }
    ADD_FAILURE() << "no node " << text;
    return nullptr;
  }
  // Renames the selected node by editing its label in place.
  void Rename(TForm1* form, const char* text) {
    TTreeView* tree = form->TreeView1;
    tree->editItem(tree->currentItem(), 0);
    auto* editor = qobject_cast<QLineEdit*>(tree->indexWidget(tree->currentIndex()));
    ASSERT_NE(editor, nullptr);
    editor->setText(QString::fromUtf8(text));
    QTest::keyClick(editor, Qt::Key_Return);
    // The view takes the text on its next turn of the event loop.
    QCoreApplication::processEvents();
  }
  // A left press (with its release) x pixels right of the label's left edge.
  void PressBesideLabel(TForm1* form, TTreeNode* node, int x,
                        Qt::MouseButton button = Qt::LeftButton) {
    QRect label = form->TreeView1->LabelRect(node);
    ASSERT_FALSE(label.isEmpty());
    QTest::mouseClick(form->TreeView1->viewport(), button, {},
                      QPoint(label.left() + x, label.center().y()));
  }
  // Runs a command that shows one error box; its text.
  std::string ErrorBoxOf(const std::function<void()>& command) {
    std::string text;
    guitest::ModalWatcher watcher([&](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      ASSERT_NE(box, nullptr);
      EXPECT_EQ(box->windowTitle(), "Error");
      EXPECT_EQ(ShownTitle(box->windowTitle()), "Error");
      EXPECT_EQ(box->icon(), QMessageBox::Critical);
      text = box->text().toStdString();
      box->button(QMessageBox::Ok)->click();
    });
    command();
    EXPECT_EQ(watcher.Seen(), 1);
    return text;
  }
  // Every table of the folder passes the engine's check and opens in
  // python3-dbf.
  void ExpectSoundTables() {
    for (const char* table : {"TEM.dbf", "TYPE.DBF", "URLIN.DBF", "urls.DBF"}) {
      EXPECT_EQ(cattest::CheckTable(Dir(), table), "") << table;
      auto records = cattest::PythonDbfRecords(Dir(), table, "cp1251");
      if (records) {
        EXPECT_EQ(records->rfind("error:", 0), std::string::npos) << table << ": " << *records;
      }
    }
  }
};

TEST_F(CatalogueWindowTest, StartUpOpensTheTablesAndLoadsTheSortedTree) {
  cattest::AppendSections(Dir(), {{2, 1, Cp1251("Почта")}, {1, 0, Cp1251("Работа")},
                                  {3, 0, Cp1251("Дом")}});
  TWatchedForm* form = MakeForm();
  EXPECT_TRUE(startupErrors_.empty()) << startupErrors_.front();
  EXPECT_EQ(form->XdsConnection1->ConnectPath(), Dir().string());
  for (TXdsTable* t : {form->HDSType, form->HDSUrlIn, form->HDSUrls, form->HDSTem}) {
    EXPECT_TRUE(t->Active()) << t->Name();
  }
  EXPECT_TRUE(form->HDSTem->Exclusive());
  EXPECT_EQ(form->HDSUrlIn->IndexName(), "TEM_ID");
  EXPECT_EQ(form->HDSUrls->IndexName(), "URL_ID");
  EXPECT_TRUE(form->HDSUrls->Filtered());
  EXPECT_EQ(form->Panel2->Caption(), "Фильтр выключен");
  EXPECT_EQ(Shape(form->TreeView1), "Дом Работа[Почта]");
  EXPECT_FALSE(NewRecordFlag);
}

TEST_F(CatalogueWindowTest, AUserShapesSectionsAndFindsThemAgainAfterARestart) {
  // A URL record is filed under section 3, the third section the user adds.
  cattest::AppendMemberships(Dir(), {{3, 7}});
  TWatchedForm* form = MakeForm();
  ASSERT_TRUE(startupErrors_.empty()) << startupErrors_.front();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
  TTreeView* tree = form->TreeView1;

  // Nothing selected in an empty tree: a child or a delete does nothing.
  QTest::mouseClick(form->ToolButton9, Qt::LeftButton);
  QTest::mouseClick(form->ToolButton10, Qt::LeftButton);
  EXPECT_EQ(tree->topLevelItemCount(), 0);
  QTest::mouseClick(form->ToolButton8, Qt::LeftButton);
  ASSERT_NE(SelectedNode(tree), nullptr);
  EXPECT_EQ(SelectedNode(tree)->text(0), "--Новая запись--");
  EXPECT_EQ(SelectedNode(tree)->Data(), 1u);
  Rename(form, "Работа");
  QTest::mouseClick(form->ToolButton8, Qt::LeftButton);
  EXPECT_EQ(SelectedNode(tree)->Data(), 2u);
  // A new section stays last until it is named.
  EXPECT_EQ(Shape(tree), "Работа --Новая запись--");
  Rename(form, "Дом");
  EXPECT_EQ(Shape(tree), "Дом Работа");
  Select(form, "Работа");
  QTest::mouseClick(form->ToolButton9, Qt::LeftButton);
  EXPECT_EQ(SelectedNode(tree)->Data(), 3u);
  Rename(form, "Почта");
  Select(form, "Почта");
  QTest::mouseClick(form->ToolButton8, Qt::LeftButton);
  Rename(form, "Архив");
  EXPECT_EQ(Shape(tree), "Дом Работа[Архив Почта]");

  // Marks: a press on the image toggles, and each toggle re-applies the
  // section filter.
  TTreeNode* mail = FindNodeById(tree, 3);
  tree->setCurrentItem(nullptr);
  PressBesideLabel(form, mail, -10);
  EXPECT_EQ(Shape(tree), "Дом Работа[Архив Почта*]");
  EXPECT_EQ(form->sectionFilterApplied, 1);
  PressBesideLabel(form, mail, -10);
  EXPECT_EQ(Shape(tree), "Дом Работа[Архив Почта]");
  EXPECT_EQ(form->sectionFilterApplied, 2);
  PressBesideLabel(form, mail, -10);
  tree->collapseAll();
  QTest::mouseClick(form->ToolButton11, Qt::LeftButton);
  EXPECT_TRUE(tree->topLevelItem(1)->isExpanded());
  QTest::mouseClick(form->ToolButton12, Qt::LeftButton);
  EXPECT_FALSE(tree->topLevelItem(1)->isExpanded());
  QTest::mouseClick(form->ToolButton11, Qt::LeftButton);

  // Deletes: refused with a child, refused with a membership, done without.
  Select(form, "Работа");
  EXPECT_EQ(ErrorBoxOf([&] { QTest::mouseClick(form->ToolButton10, Qt::LeftButton); }),
            "Нужно удалить все дочерние ветки");
  Select(form, "Почта");
  EXPECT_EQ(ErrorBoxOf([&] { QTest::mouseClick(form->ToolButton10, Qt::LeftButton); }),
            "Нужно убрать входимость в этот раздел у всех записей");
  EXPECT_TRUE(form->HDSUrlIn->Filtered());
  Select(form, "Дом");
  QTest::mouseClick(form->ToolButton10, Qt::LeftButton);
  EXPECT_EQ(Shape(tree), "Работа[Архив Почта*]");
  EXPECT_TRUE(form->HDSUrlIn->Filtered());

  form->DBGrid1->SetColumnWidth(0, 123);
  form->DBGrid1->SetColumnWidth(2, 77);
  EXPECT_TRUE(form->close());
  form_.reset();
  ExpectSoundTables();
  EXPECT_EQ(cattest::Sections(Dir()),
            (std::vector<Row>{{1, 0, Cp1251("Работа")},
                              {4, 1, Cp1251("Архив")},
                              {3, 1, Cp1251("Почта")}}));
  auto python = cattest::PythonDbfRecords(Dir(), "TEM.dbf", "cp1251");
  if (python) {
    EXPECT_EQ(*python, "1|Работа|0\n4|Архив|1\n3|Почта|1\n");
  }

  form = MakeForm();
  ASSERT_TRUE(startupErrors_.empty()) << startupErrors_.front();
  EXPECT_EQ(Shape(form->TreeView1), "Работа[Архив Почта]");
  EXPECT_EQ(form->DBGrid1->ColumnWidth(0), 123);
  EXPECT_EQ(form->DBGrid1->ColumnWidth(1), 200);
  EXPECT_EQ(form->DBGrid1->ColumnWidth(2), 77);
}

TEST_F(CatalogueWindowTest, NothingSelectedDoesNothingAndIdsFollowTheLargestLeft) {
  cattest::AppendSections(Dir(), {{1, 0, "a"}, {2, 1, "b"}, {41, 0, "c"}});
  TWatchedForm* form = MakeForm();
  ASSERT_TRUE(startupErrors_.empty()) << startupErrors_.front();
  form->show();
  TTreeView* tree = form->TreeView1;
  tree->setCurrentItem(nullptr);
  {
    guitest::ModalWatcher watcher([](QWidget*) {});
    for (QToolButton* b : {form->ToolButton8, form->ToolButton9, form->ToolButton10}) {
      QTest::mouseClick(b, Qt::LeftButton);
    }
    QTest::qWait(30);
    EXPECT_EQ(watcher.Seen(), 0);
  }
  EXPECT_EQ(Shape(tree), "a[b] c");
  // Below b, at depth 2: a sibling goes last under a, with the next id.
  Select(form, "b");
  QTest::mouseClick(form->ToolButton8, Qt::LeftButton);
  EXPECT_EQ(SelectedNode(tree)->Data(), 42u);
  EXPECT_EQ(Shape(tree), "a[b --Новая запись--] c");
  // With 41 and 42 gone, the next id is 3.
  for (uint32_t id : {42u, 41u}) {
    tree->setCurrentItem(FindNodeById(tree, id));
    QTest::mouseClick(form->ToolButton10, Qt::LeftButton);
  }
  Select(form, "a");
  QTest::mouseClick(form->ToolButton9, Qt::LeftButton);
  EXPECT_EQ(SelectedNode(tree)->Data(), 3u);
  EXPECT_EQ(Shape(tree), "a[b --Новая запись--]");
}

TEST_F(CatalogueWindowTest, OnlyAPressOnTheImageTogglesAMark) {
  cattest::AppendSections(Dir(), {{1, 0, "a"}, {2, 0, "b"}});
  TWatchedForm* form = MakeForm();
  ASSERT_TRUE(startupErrors_.empty()) << startupErrors_.front();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
  TTreeNode* a = FindNodeById(form->TreeView1, 1);
  for (int x : {-19, -4, 0, 5}) {
    PressBesideLabel(form, a, x);
    EXPECT_EQ(a->ImageIndex(), kSectionUnmarked) << x;
  }
  PressBesideLabel(form, a, -10, Qt::RightButton);
  EXPECT_EQ(a->ImageIndex(), kSectionUnmarked);
  EXPECT_EQ(form->sectionFilterApplied, 0);
  PressBesideLabel(form, a, -18);
  EXPECT_EQ(a->ImageIndex(), kSectionMarked);
  EXPECT_EQ(a->SelectedIndex(), kSectionMarked);
  PressBesideLabel(form, a, -5);
  EXPECT_EQ(a->ImageIndex(), kSectionUnmarked);
  // A double click, through the window system as a real mouse gives it: two
  // presses, the mark as it was, the filter twice.
  QRect label = form->TreeView1->LabelRect(a);
  form->sectionFilterApplied = 0;
  QTest::mouseDClick(form->windowHandle(), Qt::LeftButton, {},
                     form->TreeView1->viewport()->mapTo(
                         form, QPoint(label.left() - 10, label.center().y())));
  EXPECT_EQ(a->ImageIndex(), kSectionUnmarked);
  EXPECT_EQ(form->sectionFilterApplied, 2);
}

TEST_F(CatalogueWindowTest, AMissingTableStopsStartUpWritesNothingAndTheWindowCloses) {
  fs::remove(Dir() / "TYPE.DBF");
  fs::remove(Dir() / "TYPE.cdx");
  fs::remove(Dir() / "TYPE.CDX");
  auto before = Snapshot(Dir());
  TWatchedForm* form = MakeForm();
  ASSERT_EQ(startupErrors_.size(), 1u);
  for (TXdsTable* t : {form->HDSType, form->HDSUrlIn, form->HDSUrls, form->HDSTem}) {
    EXPECT_FALSE(t->Active()) << t->Name();
  }
  EXPECT_EQ(form->Panel2->Caption(), "Фильтр выключен");
  EXPECT_EQ(form->TreeView1->topLevelItemCount(), 0);
  // The window refuses to add a section it could not save, and closes,
  // writing only the grid widths.
  EXPECT_EQ(ErrorBoxOf([&] { QTest::mouseClick(form->ToolButton8, Qt::LeftButton); }),
            kCatalogueNotOpen);
  EXPECT_EQ(form->TreeView1->topLevelItemCount(), 0);
  EXPECT_TRUE(form->close());
  form_.reset();
  auto after = Snapshot(Dir());
  after.erase("tavo.ini");
  EXPECT_EQ(after, before);
}

TEST_F(CatalogueWindowTest, ASecondCopyLeavesTheFirstCopysFilesAlone) {
  cattest::AppendSections(Dir(), {{1, 0, "a"}});
  auto before = Snapshot(Dir());
  // The first copy holds every table of the folder.
  TXdsConnection first;
  first.XdsServerTypes = stXDS_LOCAL;
  first.LoginPrompt = false;
  first.SetConnectPath(Dir().string());
  first.SetIsConnected(true);
  std::vector<std::unique_ptr<TXdsTable>> held;
  for (const char* name : {"TYPE.DBF", "URLIN.DBF", "urls.DBF", "TEM.dbf"}) {
    held.push_back(std::make_unique<TXdsTable>());
    held.back()->SetXdsConnection(&first);
    held.back()->SetTableName(name);
    held.back()->SetTableType(ttXdsCDX);
    held.back()->SetExclusive(true);
    held.back()->Open();
  }
  TWatchedForm* form = MakeForm();
  EXPECT_EQ(startupErrors_.size(), 1u);
  EXPECT_FALSE(form->HDSType->Active());
  // Every command that would change the catalogue says it is not open, and
  // opens no window; the list takes no edit.
  form->show();
  for (QToolButton* command :
       {form->ToolButton3, form->ToolButton4, form->ToolButton6,
        form->ToolButton8, form->ToolButton9, form->ToolButton10}) {
    EXPECT_EQ(ErrorBoxOf([&] { QTest::mouseClick(command, Qt::LeftButton); }), kCatalogueNotOpen)
        << command->objectName().toStdString();
    EXPECT_TRUE(form->isVisible());
  }
  // The new and edit commands (the watching window only counts clicks on
  // them; the real handlers refuse).
  EXPECT_EQ(ErrorBoxOf([&] { form->TForm1::ToolButton1Click(); }), kCatalogueNotOpen);
  EXPECT_EQ(ErrorBoxOf([&] { form->TForm1::ToolButton2Click(); }), kCatalogueNotOpen);
  EXPECT_TRUE(form->DBGrid1->ReadOnly());
  EXPECT_FALSE(form->DataSource1->AutoEdit());
  EXPECT_TRUE(form->findChildren<QDialog*>().isEmpty());
  EXPECT_TRUE(form->close());
  form_.reset();
  held.clear();
  auto after = Snapshot(Dir());
  after.erase("tavo.ini");
  EXPECT_EQ(after, before);
}

TEST_F(CatalogueWindowTest, ADamagedIndexStopsStartUpAndNoTableIsWritten) {
  cattest::AppendSections(Dir(), {{1, 0, "a"}, {2, 1, "b"}});
  fs::path cdx;
  for (const auto& e : fs::directory_iterator(Dir())) {
    if (e.path().filename().string() == "TEM.cdx" || e.path().filename().string() == "TEM.CDX") {
      cdx = e.path();
    }
  }
  ASSERT_FALSE(cdx.empty());
  {
    std::fstream f(cdx, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(0);
    f.write("\xFF\xFF\xFF\x7F\xFF\xFF\xFF\x7F", 8);
  }
  auto before = Snapshot(Dir());
  TWatchedForm* form = MakeForm();
  EXPECT_EQ(startupErrors_.size(), 1u);
  EXPECT_EQ(form->TreeView1->topLevelItemCount(), 0);
  EXPECT_TRUE(form->close());
  form_.reset();
  auto after = Snapshot(Dir());
  after.erase("tavo.ini");
  EXPECT_EQ(after, before);
}

TEST_F(CatalogueWindowTest, AFailedCloseKeepsTheWindowOpenAndAFurtherCloseRunsAgain) {
  cattest::AppendSections(Dir(), {{1, 0, "a"}});
  TWatchedForm* form = MakeForm();
  ASSERT_TRUE(startupErrors_.empty()) << startupErrors_.front();
  form->show();
  form->TreeView1->setCurrentItem(form->TreeView1->topLevelItem(0));
  QTest::mouseClick(form->ToolButton9, Qt::LeftButton);
  // The settings file cannot be written: a folder stands in its place.
  fs::create_directory(ini_);
  std::string text;
  {
    guitest::ModalWatcher watcher([&](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      ASSERT_NE(box, nullptr);
      text = box->text().toStdString();
      box->button(QMessageBox::Ok)->click();
    });
    EXPECT_FALSE(form->close());
    EXPECT_EQ(watcher.Seen(), 1);
  }
  EXPECT_EQ(text, "Unable to write to " + ini_);
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(form->HDSUrls->Filtered());
  // The tree was saved before the failing step.
  EXPECT_EQ(cattest::Sections(Dir()).size(), 2u);
  fs::remove(ini_);
  EXPECT_TRUE(form->close());
  form_.reset();
  ExpectSoundTables();
  EXPECT_EQ(cattest::Sections(Dir()),
            (std::vector<Row>{{1, 0, "a"}, {2, 1, Cp1251("--Новая запись--")}}));
}

TEST_F(CatalogueWindowTest, APendingEditIsSavedAndDeletedRecordsAreGoneAfterAClose) {
  for (const auto& e : fs::directory_iterator(Dir())) {
    fs::remove(e.path());
  }
  ASSERT_EQ(catalogue::WriteDemoCatalogue(Dir().string(), 20), 0);
  TWatchedForm* form = MakeForm();
  ASSERT_TRUE(startupErrors_.empty()) << startupErrors_.front();
  TXdsTable* urls = form->HDSUrls;
  urls->First();
  urls->Next();
  const std::string deleted = urls->FieldByName("URL")->AsString();
  urls->Delete();
  urls->First();
  urls->Edit();
  urls->FieldByName("NAME")->SetAsString("edited before the close");
  ASSERT_EQ(urls->State(), dsEdit);
  EXPECT_TRUE(form->close());
  form_.reset();
  ExpectSoundTables();
  // The deleted record is gone from the file, not only marked.
  EXPECT_EQ(cattest::StoredUrlRecords(Dir()), 19u);
  auto records = cattest::PythonDbfRecords(Dir(), "urls.DBF", "cp866");
  if (records) {
    EXPECT_NE(records->find("|edited before the close|"), std::string::npos) << *records;
    EXPECT_EQ(records->find(deleted + "|"), std::string::npos) << deleted;
  }
}

TEST_F(CatalogueWindowTest, ABookmarkImportKilledAfterItsCommitIsFinishedAtStartUp) {
  bookmarks::Tree tree;
  std::string error;
  ASSERT_TRUE(bookmarks::ParseBookmarks(
      "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n<DL><p>\n<DT><H3>Imported</H3>\n<DL><p>\n"
      "<DT><A HREF=\"https://a.example/\">A</A>\n</DL><p>\n</DL><p>\n",
      &tree, &error))
      << error;
  // The first write after the commit fails, as if the process died there:
  // the journal says the swap is done, no index file has been swapped in
  // yet (the tables took their new rows in place).
  bool committed = false;
  for (uint64_t n = 1; n < 400 && !committed; ++n) {
    for (const auto& e : fs::directory_iterator(Dir())) {
      fs::remove_all(e.path());
    }
    cattest::CreateCatalogue(Dir());
    xce::FaultInjectingFileSystem faulty(xce::FileSystem::Default());
    faulty.FailAtWrite(n);
    bookmarks::ImportOptions options;
    options.fs = &faulty;
    bookmarks::ImportSummary summary;
    ASSERT_FALSE(bookmarks::ImportBookmarks(tree, Dir().string(), options, &summary, &error));
    committed = error.find("next run") != std::string::npos;
  }
  ASSERT_TRUE(committed);
  ASSERT_TRUE(fs::exists(Dir() / "tavo-bookmarks.journal"));
  TWatchedForm* form = MakeForm();
  ASSERT_TRUE(startupErrors_.empty()) << startupErrors_.front();
  EXPECT_EQ(Shape(form->TreeView1), "Imported");
  EXPECT_EQ(form->HDSUrls->RecordCount(), 1);
  EXPECT_TRUE(form->close());
  form_.reset();
  ExpectSoundTables();
}

TEST_F(CatalogueWindowTest, TheSharedFixtureCatalogueStartsAndClosesSound) {
  fs::path from = fs::path(TAVO_FIXTURES_DIR) / "catalogue";
  if (!fs::is_directory(from)) {
    GTEST_SKIP() << "the shared fixtures are not beside this checkout";
  }
  for (const auto& e : fs::directory_iterator(Dir())) {
    fs::remove(e.path());
  }
  for (const auto& e : fs::directory_iterator(from)) {
    if (e.path().extension() != ".csv") {
      fs::copy_file(e.path(), Dir() / e.path().filename());
    }
  }
  const std::vector<Row> rows = cattest::Sections(Dir());
  ASSERT_FALSE(rows.empty());
  TWatchedForm* form = MakeForm();
  ASSERT_TRUE(startupErrors_.empty()) << startupErrors_.front();
  EXPECT_EQ(TreeNodes(form->TreeView1).size(), rows.size());
  for (const Row& row : rows) {
    TTreeNode* node = FindNodeById(form->TreeView1, static_cast<uint32_t>(row.id));
    ASSERT_NE(node, nullptr) << row.id;
    EXPECT_EQ(ui::FromQString(node->text(0)), row.name);
    auto* parent = static_cast<TTreeNode*>(node->parent());
    EXPECT_EQ(parent ? static_cast<int32_t>(parent->Data()) : 0, row.parent) << row.id;
  }
  EXPECT_TRUE(form->close());
  form_.reset();
  ExpectSoundTables();
  std::vector<Row> saved = cattest::Sections(Dir());
  std::sort(saved.begin(), saved.end(), [](const Row& a, const Row& b) { return a.id < b.id; });
  std::vector<Row> sorted = rows;
  std::sort(sorted.begin(), sorted.end(), [](const Row& a, const Row& b) { return a.id < b.id; });
  EXPECT_EQ(saved, sorted);
}

// A sections row whose id is no 32-bit whole number stops start-up with its
// record number, and nothing writes the sections table afterwards.
TEST_F(CatalogueWindowTest, AnUnreadableSectionRowStopsStartUpAndTheTableIsKept) {
  cattest::AppendSections(Dir(), {{1, 0, "a"}});
  {
    cattest::EngineConnection c(Dir());
    XDSHANDLE t = 0;
    ASSERT_EQ(XdsOpenTable(c.handle(), "TEM.dbf", nullptr, XDS_TABLE_CDX, XDS_CHAR_ANSI,
                           XDS_LOCK_PROPRIETARY, XDS_RIGHTS_CHECK, XDS_OPEN_EXCLUSIVE, &t),
              0);
    for (const char* id : {"3000000000", "2"}) {
      ASSERT_EQ(XdsAppendRecord(t), 0);
      uint16_t no = 0;
      ASSERT_EQ(XdsGetFieldNumber(t, "INID", &no), 0);
      ASSERT_EQ(XdsSetField(t, no, id, static_cast<uint32_t>(strlen(id))), 0);
      ASSERT_EQ(XdsGetFieldNumber(t, "INNAME", &no), 0);
      ASSERT_EQ(XdsSetField(t, no, "b", 1), 0);
      ASSERT_EQ(XdsWriteRecord(t), 0);
    }
    ASSERT_EQ(XdsCloseTable(t), 0);
  }
  auto before = Snapshot(Dir());
  TWatchedForm* form = MakeForm();
  ASSERT_EQ(startupErrors_.size(), 1u);
  EXPECT_EQ(startupErrors_[0], "TEM.dbf, record 2: '3000000000' is not a valid integer value");
  form->show();
  // The URL commands would save the tree first: refused.
  EXPECT_EQ(ErrorBoxOf([&] { form->TForm1::ToolButton1Click(); }), kCatalogueNotOpen);
  EXPECT_EQ(ErrorBoxOf([&] { form->TForm1::ToolButton2Click(); }), kCatalogueNotOpen);
  EXPECT_TRUE(form->close());
  form_.reset();
  // The rows are as they were (start-up rebuilt only the index).
  auto after = Snapshot(Dir());
  ASSERT_TRUE(before.contains("TEM.dbf"));
  EXPECT_EQ(after["TEM.dbf"], before["TEM.dbf"]);
}

// A click on the mark of the selected section only toggles the mark; a click
// on its text still opens the name for editing.
TEST_F(CatalogueWindowTest, AClickOnTheSelectedSectionsMarkRenamesNothing) {
  cattest::AppendSections(Dir(), {{1, 0, "a"}, {2, 0, "b"}});
  TWatchedForm* form = MakeForm();
  ASSERT_TRUE(startupErrors_.empty()) << startupErrors_.front();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
  TTreeView* tree = form->TreeView1;
  TTreeNode* a = FindNodeById(tree, 1);
  tree->setCurrentItem(a);
  const int settle = QApplication::doubleClickInterval() * 2 + 50;
  QTest::qWait(settle);
  PressBesideLabel(form, a, -10);
  QTest::qWait(settle);
  EXPECT_EQ(a->ImageIndex(), kSectionMarked);
  EXPECT_EQ(tree->indexWidget(tree->currentIndex()), nullptr);
  PressBesideLabel(form, a, 3);
  QTest::qWait(settle);
  EXPECT_NE(qobject_cast<QLineEdit*>(tree->indexWidget(tree->currentIndex())), nullptr);
}

// A right press and a press on blank space leave the selection where it was,
// so the next command acts on the section the user chose.
TEST_F(CatalogueWindowTest, OnlyALeftPressOnASectionSelects) {
  cattest::AppendSections(Dir(), {{1, 0, "a"}, {2, 0, "b"}});
  TWatchedForm* form = MakeForm();
  ASSERT_TRUE(startupErrors_.empty()) << startupErrors_.front();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
  TTreeView* tree = form->TreeView1;
  TTreeNode* a = FindNodeById(tree, 1);
  TTreeNode* b = FindNodeById(tree, 2);
  PressBesideLabel(form, a, 3);
  ASSERT_EQ(SelectedNode(tree), a);
  PressBesideLabel(form, b, 3, Qt::RightButton);
  EXPECT_EQ(SelectedNode(tree), a);
  EXPECT_EQ(b->ImageIndex(), kSectionUnmarked);
  const QRect last = tree->visualItemRect(b);
  QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, QPoint(last.center().x(), last.bottom() + 40));
  EXPECT_EQ(SelectedNode(tree), a);
  QTest::mouseClick(form->ToolButton9, Qt::LeftButton);
  EXPECT_EQ(Shape(tree), "a[--Новая запись--] b");
}

// Names are ordered as the user's word order has them: hyphens pass over.
TEST_F(CatalogueWindowTest, HyphensDoNotMoveANameToTheFront) {
  cattest::AppendSections(Dir(), {{1, 0, Cp1251("Новости")},
                                  {2, 0, Cp1251("Альфа")},
                                  {3, 0, Cp1251("--Новая запись--")},
                                  {4, 0, Cp1251("Мир")},
                                  {5, 0, Cp1251("Нов-ая")}});
  TWatchedForm* form = MakeForm();
  ASSERT_TRUE(startupErrors_.empty()) << startupErrors_.front();
  EXPECT_EQ(Shape(form->TreeView1), "Альфа Мир Нов-ая --Новая запись-- Новости");
}

// Tool bar buttons take no keyboard focus: Tab goes from input control to
// input control.
TEST_F(CatalogueWindowTest, ToolBarButtonsTakeNoFocus) {
  TWatchedForm* form = MakeForm();
  ASSERT_TRUE(startupErrors_.empty()) << startupErrors_.front();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
  for (QToolButton* button : form->findChildren<QToolButton*>()) {
    EXPECT_EQ(button->focusPolicy(), Qt::NoFocus) << button->objectName().toStdString();
  }
  form->Edit1->setFocus();
  QTest::mouseClick(form->ToolButton11, Qt::LeftButton);
  EXPECT_EQ(QApplication::focusWidget(), form->Edit1);
}

}  // namespace
}  // namespace apptest
