// Addresses longer than the URL field, through the real windows: typed and
// pasted into the editor, saved, shown, searched, opened, deleted and
// packed, with the files checked after each step; what other programs see,
// and what the program does when another one changed a record.
#include <sys/stat.h>

#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QToolTip>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "Unit1.h"
#include "Unit2.h"
#include "app_test_support.h"
#include "catalogue/schema.h"
#include "catalogue/whole_address.h"
#include "catalogue_test_util.h"
#include "cp1251.h"
#include "dbgrid.h"
#include "gui_test_support.h"
#include "qt_text.h"
#include "section_tree.h"
#include "shell.h"

namespace {

namespace fs = std::filesystem;

// 300 characters with a query string, %-escapes and Cyrillic, UTF-8.
QString LongAddress(QChar tail = 'z') {
  QString a = QString::fromUtf8(
      "пример.рф/поиск?q=%D0%BF%D1%80%D0%B8%D0%B2%D0%B5%D1%82+мир&lang=ru&sort=desc&page=");
  while (a.size() < 299) {
    a += QChar(static_cast<char16_t>('a' + a.size() % 26));
  }
  return a + tail;
}

std::string Ansi(const QString& s) { return ui::FromQString(s); }

class LongAddressTest : public apptest::CatalogueFolderTest<TForm1> {
 protected:
  void SetUp() override {
    apptest::CatalogueFolderTest<TForm1>::SetUp();
    cattest::AppendSections(dir_, {{1, 0, cattest::Cp1251("Поиск")}});
    cattest::EngineConnection c(dir_);
    XDSHANDLE t = 0;
    ASSERT_EQ(catalogue::OpenCatalogueTable(
                  c.handle(), catalogue::CatalogueTables()[catalogue::kType], false, &t),
              0);
    ASSERT_EQ(XdsAppendRecord(t), 0);
    for (auto [field, text] :
         {std::pair<uint16_t, const char*>{1, "1"}, {2, "Site"}, {3, "http://"}}) {
      ASSERT_EQ(XdsSetField(t, field, text, static_cast<uint32_t>(strlen(text))), 0);
    }
    ASSERT_EQ(XdsWriteRecord(t), 0);
    ASSERT_EQ(XdsCloseTable(t), 0);
  }

  TForm1* Start() {
    form_ = std::make_unique<TForm1>();
    EXPECT_TRUE(form_->HDSUrls->Active());
    form_->show();
    return form_.get();
  }
  void Close() {
    ASSERT_TRUE(form_->close());
    form_.reset();
  }
  // Runs `command` with `inside` done in the editor's modal loop; no other
  // box may show.
  void WithEditor(const std::function<void()>& command,
                  const std::function<void(TForm2*)>& inside) {
    guitest::ModalWatcher watcher([&](QWidget* w) {
      if (auto* box = qobject_cast<QMessageBox*>(w)) {
        ADD_FAILURE() << box->text().toStdString();
        box->reject();
        return;
      }
      auto* editor = qobject_cast<TForm2*>(w);
      ASSERT_NE(editor, nullptr);
      inside(editor);
    });
    command();
    EXPECT_EQ(watcher.Seen(), 1);
  }
  static void Type(QWidget* w, const QString& text) {
    w->setFocus();
    for (QChar c : text) {
      QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
  }
  static void Paste(QWidget* w, const QString& text) {
    QGuiApplication::clipboard()->setText(text);
    w->setFocus();
    QTest::keyClick(w, Qt::Key_V, Qt::ControlModifier);
  }
  // What the engine's check says of every catalogue table as on disk.
  std::string Checked() {
    const fs::path copy = OnDisk();
    std::string problems;
    for (const char* table : {"TEM.dbf", "TYPE.DBF", "URLIN.DBF", "urls.DBF", "URLFULL.DBF"}) {
      if (std::string("URLFULL.DBF") == table && !fs::exists(copy / table)) {
        continue;
      }
      problems += cattest::CheckTable(copy, table);
    }
    return problems;
  }
  // The rows of the extra table on disk, the deleted ones too.
  uint32_t WholeRows() {
    const fs::path copy = OnDisk();
    if (!fs::exists(copy / "URLFULL.DBF")) {
      return 0;
    }
    cattest::EngineConnection c(copy);
    XDSHANDLE t = 0;
    uint32_t count = 0;
    EXPECT_EQ(catalogue::OpenCatalogueTable(c.handle(), catalogue::WholeAddressTable(), true, &t),
              0);
    EXPECT_EQ(XdsGetRecordCount(t, XDS_COUNT_IGNORE_FILTERS, &count), 0);
    EXPECT_EQ(XdsCloseTable(t), 0);
    return count;
  }
  // A recording opener: its arguments, one per line, land in "args".
  void RecordOpener() {
    const fs::path opener = dir_ / "opener";
    std::ofstream(opener) << "#!/bin/sh\n{ echo \"$#\"; printf '%s\\n' \"$1\"; } > '"
                          << (dir_ / "args").string() << "'\n";
    chmod(opener.c_str(), 0755);
    platform::SetShellOpenerForTesting(opener.string());
  }
  // What the last opener was given, once every opener launched has exited.
  std::string OpenerArgs() {
    EXPECT_TRUE(apptest::OpenersDone(form_.get()));
    std::ifstream in(dir_ / "args");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
};

TEST_F(LongAddressTest, ALongAddressFromTheEditorToTheClose) {
  const QString address = LongAddress();
  const std::string whole = Ansi(address);
  ASSERT_EQ(whole.size(), 300u);
  TForm1* form = Start();

  // Typed in part and pasted in part: the box takes it all, and it is saved.
  WithEditor([&] { QTest::mouseClick(form->ToolButton1, Qt::LeftButton); },
             [&](TForm2* editor) {
               Type(editor->DBEdit1, address.left(120));
               Paste(editor->DBEdit1, address.mid(120));
               EXPECT_EQ(editor->DBEdit1->text(), address);
               Type(editor->DBEdit2, "Long");
               form->HDSUrls->FieldByName("ADRESTYPE")->SetAsString("1");
               EXPECT_FALSE(editor->LabelNameCut->isVisible());
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  EXPECT_EQ(Checked(), "");
  EXPECT_EQ(WholeRows(), 1u);
  form->HDSUrls->First();
  EXPECT_EQ(form->HDSUrls->FieldByName("URL")->AsString(), whole.substr(0, 100));

  // Shown: the grid's cell has the first 100 characters, its tool tip and
  // the editor the whole address.
  EXPECT_EQ(form->DBGrid1->CellText(0, 0), address.left(100));
  EXPECT_EQ(form->DBGrid1->CellToolTip(0, 0), address);
  EXPECT_EQ(form->DBGrid1->CellToolTip(0, 1), "");
  WithEditor([&] { QTest::mouseClick(form->ToolButton2, Qt::LeftButton); },
             [&](TForm2* editor) {
               EXPECT_EQ(editor->DBEdit1->text(), address);
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  EXPECT_EQ(WholeRows(), 1u);  // saved unchanged: nothing new written
  EXPECT_EQ(Checked(), "");

  // Searched by its first characters, in other letter case too; a search
  // text as long as the whole address finds it by its first 100.
  RecordOpener();
  Type(form->Edit1, address.left(25).toUpper());
  EXPECT_EQ(form->HDSUrls->FieldByName("NAME")->AsString(), "Long");
  form->Edit1->setText(address);
  EXPECT_EQ(form->HDSUrls->FieldByName("NAME")->AsString(), "Long");

  // Opened: the prefix and the whole address, one argument.
  QTest::mouseClick(form->ToolButton5, Qt::LeftButton);
  EXPECT_EQ(OpenerArgs(), "1\nhttp://" + address.toStdString() + "\n");
  Close();
  EXPECT_EQ(Checked(), "");

  // Other programs read the first 100 characters.
  if (auto records = cattest::PythonDbfRecords(dir_, "urls.DBF", "cp866")) {
    EXPECT_EQ(*records, address.left(100).toStdString() + "|Long||1|1\n");
  }

  // Deleted: the row goes with the record, and the close packs both.
  form = Start();
  EXPECT_EQ(form->CurrentAddress(), whole);
  QTest::mouseClick(form->ToolButton3, Qt::LeftButton);
  EXPECT_EQ(Checked(), "");
  Close();
  EXPECT_EQ(cattest::StoredUrlRecords(dir_), 0u);
  EXPECT_EQ(WholeRows(), 0u);
  EXPECT_EQ(Checked(), "");
}

TEST_F(LongAddressTest, TheEditorSaysWhenANameIsCutAndKeepsWhatWasPasted) {
  TForm1* form = Start();
  const QString name = QString(100, 'n');
  WithEditor([&] { QTest::mouseClick(form->ToolButton1, Qt::LeftButton); },
             [&](TForm2* editor) {
               Paste(editor->DBEdit1, LongAddress('p'));
               Paste(editor->DBEdit2, name + "cut");
               EXPECT_TRUE(editor->LabelNameCut->isVisible());
               EXPECT_EQ(editor->LabelNameCut->text(),
                         QString::fromUtf8("Название длиннее 100 знаков: сохраняются первые 100"));
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  form->HDSUrls->First();
  EXPECT_EQ(form->HDSUrls->FieldByName("NAME")->AsString(), Ansi(name));
  EXPECT_EQ(form->CurrentAddress(), Ansi(LongAddress('p')));

  // Edited to a short address: the row goes, the URL is the address.
  WithEditor([&] { QTest::mouseClick(form->ToolButton2, Qt::LeftButton); },
             [&](TForm2* editor) {
               // Selected by the keyboard once the box has the focus: a
               // selection made before can be gone when the box takes it.
               editor->DBEdit1->setFocus();
               QTest::keyClick(editor->DBEdit1, Qt::Key_A, Qt::ControlModifier);
               Type(editor->DBEdit1, "example.org/short");
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  EXPECT_EQ(form->CurrentAddress(), "example.org/short");
  EXPECT_EQ(form->DBGrid1->CellToolTip(0, 0), "");
  Close();
  EXPECT_EQ(WholeRows(), 0u);
  EXPECT_EQ(Checked(), "");
}

TEST_F(LongAddressTest, ASectionNameEditedPastItsFieldSaysSo) {
  TForm1* form = Start();
  TTreeNode* node = TreeNodes(form->TreeView1).front();
  form->TreeView1->setCurrentItem(node);
  form->TreeView1->editItem(node);
  auto* line =
      qobject_cast<QLineEdit*>(form->TreeView1->indexWidget(form->TreeView1->currentIndex()));
  ASSERT_NE(line, nullptr);
  line->selectAll();
  Type(line, QString(49, 's'));
  EXPECT_FALSE(QToolTip::isVisible());
  Type(line, "sss");
  EXPECT_EQ(line->text(), QString(50, 's'));
  EXPECT_EQ(QToolTip::text(),
            QString::fromUtf8("Название раздела длиннее 50 знаков: сохраняются первые 50"));
}

TEST_F(LongAddressTest, AGridCellSaysWhenItRefusesCharactersPastItsField) {
  TForm1* form = Start();
  WithEditor([&] { QTest::mouseClick(form->ToolButton1, Qt::LeftButton); },
             [&](TForm2* editor) {
               Paste(editor->DBEdit1, LongAddress());
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  form->DBGrid1->SetSelectedIndex(1);  // the name
  form->DBGrid1->ShowEditor();
  auto* line = qobject_cast<QLineEdit*>(form->DBGrid1->InplaceEditor());
  ASSERT_NE(line, nullptr);
  Type(line, QString(100, 'n'));
  EXPECT_FALSE(QToolTip::isVisible());
  Type(line, "x");
  EXPECT_EQ(line->text(), QString(100, 'n'));
  EXPECT_EQ(QToolTip::text(), QString::fromUtf8("Поле вмещает 100 знаков: лишнее не сохраняется"));
  // The URL cell's editor takes the whole address and keeps it.
  QTest::keyClick(line, Qt::Key_Escape);
  form->DBGrid1->HideEditor();
  form->DBGrid1->SetSelectedIndex(0);
  form->DBGrid1->ShowEditor();
  line = qobject_cast<QLineEdit*>(form->DBGrid1->InplaceEditor());
  ASSERT_NE(line, nullptr);
  EXPECT_EQ(line->text(), LongAddress());
}

TEST_F(LongAddressTest, ARecordAnotherProgramChangedShowsItsNewUrl) {
  TForm1* form = Start();
  WithEditor([&] { QTest::mouseClick(form->ToolButton1, Qt::LeftButton); },
             [&](TForm2* editor) {
               Paste(editor->DBEdit1, LongAddress());
               form->HDSUrls->FieldByName("ADRESTYPE")->SetAsString("1");
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  Close();
  {
    // Another writer puts a URL of its own into the record.
    cattest::EngineConnection c(dir_);
    XDSHANDLE t = 0;
    ASSERT_EQ(catalogue::OpenCatalogueTable(
                  c.handle(), catalogue::CatalogueTables()[catalogue::kUrls], false, &t),
              0);
    ASSERT_EQ(XdsGotoRecord(t, 1), 0);
    ASSERT_EQ(XdsSetField(t, 1, "changed.example/", 16), 0);
    ASSERT_EQ(XdsWriteRecord(t), 0);
    ASSERT_EQ(XdsCloseTable(t), 0);
  }
  RecordOpener();
  form = Start();
  EXPECT_EQ(form->CurrentAddress(), "changed.example/");
  EXPECT_EQ(form->DBGrid1->CellToolTip(0, 0), "");
  QTest::mouseClick(form->ToolButton5, Qt::LeftButton);
  EXPECT_EQ(OpenerArgs(), "1\nhttp://changed.example/\n");
  EXPECT_EQ(WholeRows(), 1u);
  Close();
  EXPECT_EQ(WholeRows(), 0u);
  EXPECT_EQ(Checked(), "");
}

TEST_F(LongAddressTest, StartUpWithoutTheTableMakesNoneAndADamagedOneStopsIt) {
  Start();
  EXPECT_FALSE(form_->LongAddresses->open());
  Close();
  EXPECT_FALSE(fs::exists(dir_ / "URLFULL.DBF"));

  form_ = std::make_unique<TForm1>();
  WithEditor([&] { QTest::mouseClick(form_->ToolButton1, Qt::LeftButton); },
             [&](TForm2* editor) {
               Paste(editor->DBEdit1, LongAddress());
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  Close();
  ASSERT_TRUE(fs::exists(dir_ / "URLFULL.DBF"));
  fs::resize_file(dir_ / "URLFULL.DBF", 20);
  std::map<std::string, std::string> before;
  for (const auto& e : fs::directory_iterator(dir_)) {
    std::ifstream in(e.path(), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    before[e.path().filename().string()] = s.str();
  }
  std::vector<std::string> errors;
  {
    guitest::ModalWatcher watcher([&](QWidget* w) {
      if (auto* box = qobject_cast<QMessageBox*>(w)) {
        errors.push_back(box->text().toStdString());
      }
    });
    form_ = std::make_unique<TForm1>();
  }
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find("URLFULL"), std::string::npos) << errors[0];
  form_.reset();
  for (const auto& [name, bytes] : before) {
    std::ifstream in(dir_ / name, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    EXPECT_EQ(s.str(), bytes) << name << " was written";
  }
}

}  // namespace
