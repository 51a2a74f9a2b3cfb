// The link type window and the link type table's handlers, driven through
// the real windows on a catalogue folder.
#include "Unit4.h"

#include <sys/stat.h>

#include <QApplication>
#include <QComboBox>
#include <QAbstractItemView>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>

#include "Unit1.h"
#include "app_test_support.h"
#include "Unit2.h"
#include "catalogue_test_util.h"
#include "cp1251.h"
#include "dbgrid.h"
#include "gui_test_support.h"
#include "shell.h"
#include "xds/xdstable.h"

namespace {

namespace fs = std::filesystem;

// A main window whose link type posts can be made to fail.
class TTypeForm : public TForm1 {
 public:
  bool failTypePost = false;
  void HDSTypeBeforePost(TDataSet& DataSet) override {
    if (failTypePost) {
      throw std::runtime_error("Table HDSType: cannot write");
    }
    TForm1::HDSTypeBeforePost(DataSet);
  }
};

class LinkTypesTest : public apptest::CatalogueFolderTest<TTypeForm> {
 protected:
  // The program started in the folder, shown.
  TTypeForm* Start() {
    form_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    form_ = std::make_unique<TTypeForm>();
    EXPECT_TRUE(form_->HDSType->Active());
    form_->show();
    return form_.get();
  }
  // The button "Справочник типов ссылок" clicked: the new dictionary window.
  TForm4* OpenDictionary() {
    const auto before = form_->findChildren<TForm4*>();
    QTest::mouseClick(form_->ToolButton6, Qt::LeftButton);
    for (TForm4* w : form_->findChildren<TForm4*>()) {
      if (!before.contains(w)) {
        return w;
      }
    }
    ADD_FAILURE() << "no dictionary window";
    return nullptr;
  }
  // A type added as a user does: Insert, the name, Tab, the prefix, Return,
  // and the cursor moved off the row, which posts it.
  static void AddType(TDBGrid* grid, const QString& name, const QString& prefix) {
    QTest::keyClick(grid, Qt::Key_Home);
    QTest::keyClick(grid, Qt::Key_Insert);
    Type(grid, name);
    QTest::keyClick(At(grid), Qt::Key_Tab);
    Type(grid, prefix);
    QTest::keyClick(At(grid), Qt::Key_Return);
    QTest::keyClick(grid, Qt::Key_Up);
  }
  // Where the grid's keys go: its in-place editor while that is open.
  static QWidget* At(TDBGrid* grid) {
    return grid->EditorMode() && grid->InplaceEditor() ? grid->InplaceEditor() : grid;
  }
  static void Type(TDBGrid* grid, const QString& text) {
    for (QChar c : text) {
      QTest::sendKeyEvent(QTest::Click, At(grid), Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
  }
  static void Type(QWidget* w, const QString& text) {
    for (QChar c : text) {
      QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, QString(c), Qt::NoModifier);
    }
  }
  // The link type rows as "code|name|prefix" (UTF-8) in the table's order;
  // the table goes back to its first row.
  std::vector<std::string> Types() {
    std::vector<std::string> rows;
    TXdsTable* t = form_->HDSType;
    for (t->First(); !t->Eof(); t->Next()) {
      rows.push_back(t->FieldByName("TYPE_ID")->AsString() + "|" +
                     platform::Cp1251ToUtf8(t->FieldByName("TYPE_NAME")->AsString()) + "|" +
                     platform::Cp1251ToUtf8(t->FieldByName("TYPRPRESTR")->AsString()));
    }
    t->First();
    return rows;
  }
  // How many records TYPE.DBF holds, deleted ones included (its header).
  uint32_t StoredTypeRecords() {
    std::ifstream in(dir_ / "TYPE.DBF", std::ios::binary);
    unsigned char h[8] = {};
    in.read(reinterpret_cast<char*>(h), sizeof h);
    return h[4] | h[5] << 8 | h[6] << 16 | static_cast<uint32_t>(h[7]) << 24;
  }
  // A URL record of link type `code` put straight through the table.
  void PutUrl(int id, const std::string& code) {
    TXdsTable* urls = form_->HDSUrls;
    NewRecordFlag = true;
    urls->Append();
    urls->FieldByName("URL")->SetAsString("site" + std::to_string(id) + ".example");
    urls->FieldByName("ADRESTYPE")->SetAsString(code);
    urls->Post();
    ASSERT_EQ(urls->FieldByName("URL_ID")->AsInteger(), id);
  }
  // Deletes the type with code `code` in the dictionary's grid, as a user
  // does: its row, Ctrl+Delete, the question answered.
  void DeleteType(TForm4* dictionary, const std::string& code) {
    ASSERT_TRUE(form_->HDSType->Locate("TYPE_ID", TVariant(code), 0));
    guitest::ModalWatcher watcher([&](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      ASSERT_NE(box, nullptr);
      box->button(QMessageBox::Ok)->click();
    });
    dictionary->DBGrid1->setFocus();
    QTest::keyClick(dictionary->DBGrid1, Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_EQ(watcher.Seen(), 1);
  }
  // Appends a type with the given code straight through the table: the
  // insert handlers give it a code, which an edit then replaces.
  void PutType(const std::string& code, const std::string& name) {
    TXdsTable* t = form_->HDSType;
    t->Append();
    t->FieldByName("TYPE_NAME")->SetAsString(name);
    t->Post();
    t->Edit();
    t->FieldByName("TYPE_ID")->SetAsString(code);
    t->Post();
  }

};

TEST_F(LinkTypesTest, TheWindowIsBuiltAsDeclaredAndGivesTheMainWindowBack) {
  TTypeForm* form = Start();
  TForm4* dictionary = OpenDictionary();
  ASSERT_NE(dictionary, nullptr);
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(dictionary->isVisible());
  EXPECT_FALSE(dictionary->isModal());
  EXPECT_TRUE(dictionary->isWindow());
  EXPECT_EQ(dictionary->windowTitle(), "Tavo Url Manager 2.0");
  EXPECT_EQ(dictionary->size(), QSize(477, 249));
  EXPECT_EQ(dictionary->palette().color(QPalette::Window), QColor(14, 156, 149));
  EXPECT_EQ(dictionary->DataSource1->DataSet(), form->HDSType);
  TDBGrid* grid = dictionary->DBGrid1;
  ASSERT_EQ(grid->ColumnCount(), 2);
  EXPECT_EQ(grid->ColumnTitle(0), "Название типа");
  EXPECT_EQ(grid->ColumnTitle(1), "Строка перед URL для данного типа");
  EXPECT_EQ(grid->ColumnField(0)->FieldName(), "TYPE_NAME");
  EXPECT_EQ(grid->ColumnField(1)->FieldName(), "TYPRPRESTR");
  EXPECT_GT(grid->ColumnWidth(1), grid->ColumnWidth(0));  // 36 characters against 31

  // Closed while a row is being typed: the row is saved, the main window is
  // back, and the next click makes a new window.
  AddType(grid, "Сайт", "http://");
  QTest::keyClick(grid, Qt::Key_Home);
  QTest::keyClick(grid, Qt::Key_Insert);
  Type(grid, "Почта");
  EXPECT_EQ(form->HDSType->State(), dsInsert);
  QPointer<TForm4> closed = dictionary;
  dictionary->close();
  EXPECT_TRUE(form->isVisible());
  EXPECT_FALSE(dictionary->isVisible());
  EXPECT_EQ(Types(), (std::vector<std::string>{"1|Сайт|http://", "2|Почта|"}));
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(closed.isNull());
  TForm4* again = OpenDictionary();
  ASSERT_NE(again, nullptr);
  EXPECT_FALSE(form->isVisible());
  again->close();
  EXPECT_TRUE(form->isVisible());
}

TEST_F(LinkTypesTest, AFailedPostKeepsTheDictionaryOpen) {
  TTypeForm* form = Start();
  TForm4* dictionary = OpenDictionary();
  ASSERT_NE(dictionary, nullptr);
  TDBGrid* grid = dictionary->DBGrid1;
  grid->setFocus();
  QTest::keyClick(grid, Qt::Key_Insert);
  Type(grid, "Сайт");
  form->failTypePost = true;
  QString shown;
  {
    guitest::ModalWatcher watcher([&](QWidget* w) {
      if (auto* box = qobject_cast<QMessageBox*>(w)) {
        shown = box->text();
      }
    });
    dictionary->close();
  }
  EXPECT_EQ(shown, "Table HDSType: cannot write");
  EXPECT_TRUE(dictionary->isVisible());
  EXPECT_FALSE(form->isVisible());
  // Once the table takes the row, the close goes through.
  form->failTypePost = false;
  dictionary->close();
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(Types(), (std::vector<std::string>{"1|Сайт|"}));
}

// The index orders codes as text: "9" after "10". Codes must never repeat.
TEST_F(LinkTypesTest, CodesStayUniqueBeyondNineTypes) {
  Start();
  TForm4* dictionary = OpenDictionary();
  ASSERT_NE(dictionary, nullptr);
  TDBGrid* grid = dictionary->DBGrid1;
  for (int i = 1; i <= 12; ++i) {
    AddType(grid, QString("Тип %1").arg(i), QString("p%1://").arg(i));
  }
  std::vector<std::string> codes;
  TXdsTable* t = form_->HDSType;
  for (t->First(); !t->Eof(); t->Next()) {
    codes.push_back(t->FieldByName("TYPE_ID")->AsString() + "=" +
                    platform::Cp1251ToUtf8(t->FieldByName("TYPE_NAME")->AsString()));
  }
  // Each type has its own code, in the order added; listed in text order.
  EXPECT_EQ(codes, (std::vector<std::string>{"1=Тип 1", "10=Тип 10", "11=Тип 11", "12=Тип 12",
                                             "2=Тип 2", "3=Тип 3", "4=Тип 4", "5=Тип 5",
                                             "6=Тип 6", "7=Тип 7", "8=Тип 8", "9=Тип 9"}));

  // An insert cancelled with Esc uses up no code; an edit keeps its code.
  grid->setFocus();
  QTest::keyClick(grid, Qt::Key_Insert);
  Type(grid, "Брошенный");
  QTest::keyClick(At(grid), Qt::Key_Escape);
  QTest::keyClick(grid, Qt::Key_Escape);
  EXPECT_EQ(t->State(), dsBrowse);
  ASSERT_TRUE(t->Locate("TYPE_ID", TVariant(std::string("9")), 0));
  t->Edit();
  t->FieldByName("TYPE_NAME")->SetAsString(cattest::Cp1251("Девятый"));
  t->Post();
  AddType(grid, "Тринадцатый", "");
  ASSERT_TRUE(t->Locate("TYPE_ID", TVariant(std::string("13")), 0));
  EXPECT_EQ(platform::Cp1251ToUtf8(t->FieldByName("TYPE_NAME")->AsString()), "Тринадцатый");
  ASSERT_TRUE(t->Locate("TYPE_ID", TVariant(std::string("9")), 0));
  EXPECT_EQ(platform::Cp1251ToUtf8(t->FieldByName("TYPE_NAME")->AsString()), "Девятый");

  // Codes written by other software out of step: one above the highest.
  PutType("99", "old");
  PutType("100", "older");
  AddType(grid, "Новый", "");
  EXPECT_TRUE(t->Locate("TYPE_ID", TVariant(std::string("101")), 0));
  dictionary->close();
}

TEST_F(LinkTypesTest, ACodeThatIsNoWholeNumberRefusesTheInsert) {
  Start();
  PutType("1", "one");
  PutType("abc", "bad");
  TForm4* dictionary = OpenDictionary();
  ASSERT_NE(dictionary, nullptr);
  const uint32_t stored = StoredTypeRecords();
  QString shown;
  {
    guitest::ModalWatcher watcher([&](QWidget* w) {
      if (auto* box = qobject_cast<QMessageBox*>(w)) {
        shown = box->text();
      }
    });
    dictionary->DBGrid1->setFocus();
    QTest::keyClick(dictionary->DBGrid1, Qt::Key_Insert);
  }
  EXPECT_EQ(shown, "'abc' is not a valid integer value");
  EXPECT_EQ(form_->HDSType->State(), dsBrowse);
  EXPECT_EQ(StoredTypeRecords(), stored);
  EXPECT_TRUE(dictionary->isVisible());
  // Beyond the code's range is no whole number of it either.
  form_->HDSType->First();
  form_->HDSType->Edit();
  form_->HDSType->FieldByName("TYPE_ID")->SetAsString("9999999999");
  form_->HDSType->Post();
  EXPECT_THROW(form_->HDSType->Insert(), EConvertError);
  EXPECT_EQ(LinkTypeCode(" 42 "), 42);
  dictionary->close();
}

// A user's session: three types, URLs of those types, each opened, a type
// deleted, and everything read back after a restart.
TEST_F(LinkTypesTest, AUsersSessionWithLinkTypes) {
  TTypeForm* form = Start();
  TForm4* dictionary = OpenDictionary();
  ASSERT_NE(dictionary, nullptr);
  AddType(dictionary->DBGrid1, "Сайт", "http://");
  AddType(dictionary->DBGrid1, "Архив", "ftp://");
  AddType(dictionary->DBGrid1, "Прочее", "");
  dictionary->close();
  ASSERT_TRUE(form->isVisible());

  struct Url {
    QString url, type;
  };
  const Url urls[] = {{"пример.рф", "Сайт"}, {"files.example.org", "Архив"},
                      {"mailto:кто@пример.рф", "Прочее"}};
  for (const Url& u : urls) {
    guitest::ModalWatcher watcher([&](QWidget* w) {
      auto* editor = qobject_cast<TForm2*>(w);
      ASSERT_NE(editor, nullptr);
      editor->DBEdit1->setFocus();
      Type(static_cast<QWidget*>(editor->DBEdit1), u.url);
      QComboBox* box = editor->DBLookupComboBox1;
      box->setFocus();
      box->showPopup();
      const int row = box->findText(u.type);
      ASSERT_GE(row, 0) << u.type.toStdString();
      QAbstractItemView* view = box->view();
      QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                        view->visualRect(view->model()->index(row, 0)).center());
      QTest::mouseClick(editor->Button1, Qt::LeftButton);
    });
    QTest::mouseClick(form->ToolButton1, Qt::LeftButton);
    ASSERT_EQ(watcher.Seen(), 1);
  }
  auto typeShown = [&](int id) {
    EXPECT_TRUE(form_->HDSUrls->Locate("URL_ID", TVariant(id), 0));
    return form_->DBGrid1->CellText(form_->DBGrid1->Row(), 2);
  };
  EXPECT_EQ(typeShown(1), "Сайт");
  EXPECT_EQ(typeShown(2), "Архив");
  EXPECT_EQ(typeShown(3), "Прочее");

  const fs::path opener = dir_ / "opener";
  std::ofstream(opener) << "#!/bin/sh\nprintf '%s' \"$1\" > '" << (dir_ / "args").string()
                        << "'\n";
  chmod(opener.c_str(), 0755);
  platform::SetShellOpenerForTesting(opener.string());
  auto opened = [&](int id) {
    fs::remove(dir_ / "args");
    EXPECT_TRUE(form_->HDSUrls->Locate("URL_ID", TVariant(id), 0));
    QTest::mouseClick(form_->ToolButton5, Qt::LeftButton);
    EXPECT_TRUE(apptest::OpenersDone(form_.get()));
    std::ifstream in(dir_ / "args");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  };
  EXPECT_EQ(opened(1), "http://пример.рф");
  EXPECT_EQ(opened(2), "ftp://files.example.org");
  EXPECT_EQ(opened(3), "mailto:кто@пример.рф");

  // "Архив" deleted in the dictionary: gone from the file at once; its URL
  // shows no type and opens nothing.
  dictionary = OpenDictionary();
  ASSERT_NE(dictionary, nullptr);
  ASSERT_TRUE(form->HDSType->Locate("TYPE_ID", TVariant(std::string("2")), 0));
  QString question;
  {
    guitest::ModalWatcher watcher([&](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      ASSERT_NE(box, nullptr);
      question = box->text();
      box->button(QMessageBox::Ok)->click();
    });
    dictionary->DBGrid1->setFocus();
    QTest::keyClick(dictionary->DBGrid1, Qt::Key_Delete, Qt::ControlModifier);
  }
  EXPECT_EQ(question, "Delete record?");
  EXPECT_EQ(StoredTypeRecords(), 2u);
  dictionary->close();
  EXPECT_EQ(typeShown(2), "");
  EXPECT_EQ(opened(2), "");
  // A type added after the delete takes a code of its own.
  dictionary = OpenDictionary();
  ASSERT_NE(dictionary, nullptr);
  AddType(dictionary->DBGrid1, "Новости", "news:");
  dictionary->close();

  form->close();
  Start();
  EXPECT_EQ(Types(), (std::vector<std::string>{"1|Сайт|http://", "3|Прочее|", "4|Новости|news:"}));
  EXPECT_EQ(typeShown(1), "Сайт");
  EXPECT_EQ(typeShown(2), "");
  EXPECT_EQ(typeShown(3), "Прочее");
}

// A new type's code is above every code the URL records still carry, the
// deleted records' too: a record of a deleted type keeps no type, and is
// not taken over by the next new one.
TEST_F(LinkTypesTest, ACodeTheUrlRecordsStillCarryIsNotGivenAgain) {
  TTypeForm* form = Start();
  PutType("1", cattest::Cp1251("Сайт"));
  PutType("2", cattest::Cp1251("Почта"));
  PutType("3", cattest::Cp1251("Архив"));
  PutUrl(1, "3");
  PutUrl(2, "1");
  const fs::path opener = dir_ / "opener";
  std::ofstream(opener) << "#!/bin/sh\nprintf '%s' \"$1\" > '" << (dir_ / "args").string()
                        << "'\n";
  chmod(opener.c_str(), 0755);
  platform::SetShellOpenerForTesting(opener.string());
  auto typeOfCurrent = [&] { return form->DBGrid1->CellText(form->DBGrid1->Row(), 2); };
  ASSERT_TRUE(form->HDSUrls->Locate("URL_ID", TVariant(1), 0));
  EXPECT_EQ(typeOfCurrent(), "Архив");

  // The highest type deleted: the list shows the record's type as gone as
  // soon as the dictionary closes, without a move of its own.
  TForm4* dictionary = OpenDictionary();
  ASSERT_NE(dictionary, nullptr);
  DeleteType(dictionary, "3");
  dictionary->close();
  EXPECT_EQ(typeOfCurrent(), "");
  EXPECT_EQ(form->DBGrid1->CellText(1, 2), "Сайт");

  // The next new type takes a code of its own, so the record stays without
  // a type and opens nothing.
  dictionary = OpenDictionary();
  ASSERT_NE(dictionary, nullptr);
  AddType(dictionary->DBGrid1, "Новый", "new://");
  dictionary->close();
  EXPECT_EQ(Types(), (std::vector<std::string>{"1|Сайт|", "2|Почта|", "4|Новый|new://"}));
  ASSERT_TRUE(form->HDSUrls->Locate("URL_ID", TVariant(1), 0));
  EXPECT_EQ(typeOfCurrent(), "");
  QTest::mouseClick(form->ToolButton5, Qt::LeftButton);
  EXPECT_TRUE(apptest::OpenersDone(form));
  EXPECT_FALSE(fs::exists(dir_ / "args"));

  // A deleted record, not yet packed away, still carries its code.
  PutUrl(3, "9");
  ASSERT_TRUE(form->HDSUrls->Locate("URL_ID", TVariant(3), 0));
  form->HDSUrls->Delete();
  ASSERT_TRUE(form->HDSUrls->Locate("URL_ID", TVariant(2), 0));
  dictionary = OpenDictionary();
  ASSERT_NE(dictionary, nullptr);
  AddType(dictionary->DBGrid1, "Ещё", "");
  dictionary->close();
  const auto types = Types();
  EXPECT_NE(std::find(types.begin(), types.end(), "10|Ещё|"), types.end());
  // The list is where it was, in its order, with its filter.
  EXPECT_EQ(form->HDSUrls->FieldByName("URL_ID")->AsInteger(), 2);
  EXPECT_EQ(form->HDSUrls->IndexName(), "URL_ID");
  EXPECT_TRUE(form->HDSUrls->Filtered());
}

}  // namespace
