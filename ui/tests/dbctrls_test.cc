#include "dbctrls.h"

#include <QApplication>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include "db/datasource.h"
#include "qt_text.h"
#include "ui_tables.h"

namespace {

using uitest::TypeText;
using uitest::UrlTables;

// The editor window's controls over the URL table: URL, NAME, the type's
// lookup list and the description.
struct EditorFixture {
  UrlTables tables;
  QWidget window;
  TDBEdit* url = new TDBEdit(&window);
  TDBEdit* name = new TDBEdit(&window);
  TDBLookupComboBox* type = new TDBLookupComboBox(&window);
  TDBMemo* descr = new TDBMemo(&window);

  explicit EditorFixture(int count) : tables(count) {
    auto* layout = new QVBoxLayout(&window);
    for (QWidget* w : std::initializer_list<QWidget*>{url, name, type, descr}) {
      layout->addWidget(w);
    }
    url->SetDataField("URL");
    name->SetDataField("NAME");
    type->SetDataField("URL_TYPE");
    descr->SetDataField("DESCR");
    for (auto* edit : {url, name}) {
      edit->SetDataSource(&tables.source);
    }
    type->SetDataSource(&tables.source);
    descr->SetDataSource(&tables.source);
    window.resize(300, 300);
    window.show();
    QApplication::processEvents();
  }
  ~EditorFixture() {
    // The controls go before the tables they show.
    for (auto* edit : {url, name}) {
      edit->SetDataSource(nullptr);
    }
    type->SetDataSource(nullptr);
    descr->SetDataSource(nullptr);
  }
  TMemDataSet& Urls() { return tables.urls; }
  std::string Stored(const char* field) { return Urls().FieldByName(field)->AsString(); }
};

// The name field holds 30 bytes: a character its table lacks takes eight
// (its reference), and the box refuses one that would not fit, saying so as
// its length limit does.
TEST(DBControlsTest, TheBoxRefusesWhatItsFieldCannotStore) {
  EditorFixture f(1);
  QSignalSpy rejected(f.name, &QLineEdit::inputRejected);
  f.name->setFocus();
  f.name->selectAll();
  TypeText(f.name, "abc中中中中");
  EXPECT_EQ(f.name->text(), "abc中中中");
  EXPECT_EQ(rejected.count(), 1);
  TypeText(f.name, "xyz");  // 30 bytes: fits
  EXPECT_EQ(rejected.count(), 1);
  f.name->setCursorPosition(3);
  TypeText(f.name, "w");  // refused where it was typed
  EXPECT_EQ(f.name->text(), "abc中中中xyz");
  EXPECT_EQ(f.name->cursorPosition(), 3);
  EXPECT_EQ(rejected.count(), 2);
  f.Urls().Post();
  EXPECT_EQ(f.Stored("NAME"), "abc&#20013;&#20013;&#20013;xyz");
}

TEST(DBControlsTest, ShowTheCurrentRecordAndFollowIt) {
  EditorFixture f(3);
  EXPECT_EQ(f.url->text(), "u1");
  EXPECT_EQ(f.name->text(), "name1");
  EXPECT_EQ(f.type->currentText(), "Сайт");
  EXPECT_EQ(f.descr->toPlainText(), "d1");
  f.Urls().Next();
  EXPECT_EQ(f.url->text(), "u2");
  EXPECT_EQ(f.type->currentText(), "Почта");
  EXPECT_EQ(f.descr->toPlainText(), "d2");
  // A string field's size limits the box.
  EXPECT_EQ(f.url->maxLength(), 40);
  EXPECT_EQ(f.name->maxLength(), 30);
  // A closed dataset shows nothing.
  f.Urls().Close();
  EXPECT_EQ(f.url->text(), "");
  EXPECT_EQ(f.type->currentIndex(), -1);
  EXPECT_EQ(f.descr->toPlainText(), "");
  EXPECT_TRUE(f.url->isReadOnly());
}

TEST(DBControlsTest, TypingEditsAndPostHandsTheInputIn) {
  EditorFixture f(3);
  f.name->setFocus();
  f.name->selectAll();
  TypeText(f.name, "Ёлка ű");
  EXPECT_EQ(f.Urls().State(), dsEdit);
  EXPECT_EQ(f.Stored("NAME"), "name1");  // still pending in the box
  f.descr->setFocus();
  f.descr->selectAll();
  TypeText(f.descr, "строка 1\nстрока 2");
  // Post with both inputs still pending in the controls.
  f.Urls().Post();
  EXPECT_EQ(f.Urls().State(), dsBrowse);
  EXPECT_EQ(f.Stored("NAME"), "\xa8\xeb\xea\xe0 &#369;");
  EXPECT_EQ(f.Stored("DESCR"), "\xf1\xf2\xf0\xee\xea\xe0 1\r\n\xf1\xf2\xf0\xee\xea\xe0 2");
  // Shown back as typed, one line per stored line.
  EXPECT_EQ(f.name->text(), "Ёлка ű");
  EXPECT_EQ(f.descr->toPlainText(), "строка 1\nстрока 2");
  EXPECT_EQ(f.descr->document()->blockCount(), 2);

  // A move hands pending input in too (and posts it).
  f.url->setFocus();
  f.url->selectAll();
  TypeText(f.url, "moved");
  f.Urls().Next();
  f.Urls().Prior();
  EXPECT_EQ(f.Stored("URL"), "moved");
}

TEST(DBControlsTest, EscapeDropsPendingInputAndRefusedFieldsTakeNone) {
  EditorFixture f(2);
  f.url->setFocus();
  TypeText(f.url, "xyz");
  QTest::keyClick(f.url, Qt::Key_Escape);
  EXPECT_EQ(f.url->text(), "u1");
  f.Urls().Post();  // in edit state, nothing pending: nothing changes
  EXPECT_EQ(f.Stored("URL"), "u1");

  f.Urls().FieldByName("NAME")->SetReadOnly(true);
  f.Urls().Next();
  EXPECT_TRUE(f.name->isReadOnly());
  EXPECT_FALSE(f.url->isReadOnly());
  f.Urls().SetReadOnly(true);
  f.Urls().First();
  EXPECT_TRUE(f.url->isReadOnly());
  EXPECT_TRUE(f.descr->isReadOnly());
  f.type->setFocus();
  QTest::keyClick(f.type, Qt::Key_Down);
  EXPECT_EQ(f.Urls().State(), dsBrowse);
  EXPECT_EQ(f.Stored("ADRESTYPE"), "1");
}

TEST(DBControlsTest, LookupComboListsNamesAndStoresTheCode) {
  EditorFixture f(2);
  ASSERT_EQ(f.type->count(), 3);
  EXPECT_EQ(f.type->itemText(2), "FTP");
  f.type->setFocus();
  QTest::keyClick(f.type, Qt::Key_Down);  // the next name in the list
  EXPECT_EQ(f.Urls().State(), dsEdit);
  EXPECT_EQ(f.Stored("ADRESTYPE"), "2");
  EXPECT_EQ(f.Stored("URL_TYPE"), "\xcf\xee\xf7\xf2\xe0");
  f.Urls().Post();
  EXPECT_EQ(f.type->currentText(), "Почта");

  // A type added to the lookup table shows up when a record uses it.
  f.tables.types.AppendRecord({TVariant("4"), TVariant("News")});
  f.Urls().Edit();
  f.Urls().FieldByName("ADRESTYPE")->SetAsString("4");
  EXPECT_EQ(f.type->currentText(), "News");
  // A code with no type shows an empty box.
  f.Urls().FieldByName("ADRESTYPE")->SetAsString("99");
  EXPECT_EQ(f.type->currentIndex(), -1);
  f.Urls().Cancel();
}

TEST(DBControlsTest, TypingIntoAnEmptyTableStartsARecord) {
  EditorFixture f(0);
  EXPECT_EQ(f.url->text(), "");
  f.url->setFocus();
  TypeText(f.url, "first");
  EXPECT_EQ(f.Urls().State(), dsInsert);
  EXPECT_EQ(f.url->text(), "first");
  f.Urls().Post();
  EXPECT_EQ(f.Urls().StoredRecordCount(), 1);
  EXPECT_EQ(f.Stored("URL"), "first");
}

}  // namespace
