// The URL list, the URL commands with the editor window, and opening an
// address, driven through the real windows on catalogue folders.
#include "url_catalogue.h"

#include <sys/stat.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSplitter>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include "../../xds/tests/recording_engine.h"
#include "Unit1.h"
#include "Unit2.h"
#include "Unit4.h"
#include "app_test_support.h"
#include "bookmark_write.h"
#include "catalogue/schema.h"
#include "catalogue/whole_address.h"
#include "catalogue_io.h"
#include "catalogue_rows.h"
#include "catalogue_test_util.h"
#include "cp1251.h"
#include "current_dir.h"
#include "dbgrid.h"
#include "gui_test_support.h"
#include "qt_text.h"
#include "section_edit.h"
#include "section_tree.h"
#include "shell.h"
#include "stored_text.h"

namespace {

namespace fs = std::filesystem;

using apptest::Put;
using apptest::Stored;
using apptest::Values;

std::string Utf8(const std::string& cp1251) { return platform::Cp1251ToUtf8(cp1251); }

// The bytes of every file of `dir` whose name begins with `prefix` (letter
// case aside): a table with its index and memo files.
std::map<std::string, std::string> TableFiles(const fs::path& dir, const std::string& prefix) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    const std::string name = e.path().filename().string();
    if (QString::fromStdString(name).startsWith(QString::fromStdString(prefix),
                                                 Qt::CaseInsensitive)) {
      std::ifstream in(e.path(), std::ios::binary);
      std::stringstream bytes;
      bytes << in.rdbuf();
      files[name] = bytes.str();
    }
  }
  return files;
}

// The engine with a chosen call made to fail once, as a passing file system
// error (a full disk, a write error) would make it fail.
class FaultyEngine {
 public:
  FaultyEngine() {
    engine_.fail = [this](const std::string& call) -> std::optional<XDSRESULT> {
      engine_.calls.clear();
      for (const std::string& c : failing_) {
        if (call == c && ++seen_ == nth_) {
          ++failed_;
          return XDSRESULT{7008};
        }
      }
      return std::nullopt;
    };
  }
  // The nth of these calls from now on (counted together) fails.
  void Fail(std::vector<std::string> calls, int nth = 1) {
    failing_ = std::move(calls);
    nth_ = nth;
    seen_ = 0;
    failed_ = 0;
  }
  void Heal() { failing_.clear(); }
  int Failed() const { return failed_; }
  // The log line of a call on one handle.
  static std::string Call(const char* name, XDSHANDLE handle) {
    return std::string(name) + "(" + std::to_string(handle) + ")";
  }

 private:
  xdstest::RecordingEngine engine_;
  std::vector<std::string> failing_;
  int nth_ = 1;
  int seen_ = 0;
  int failed_ = 0;
};

class UrlCatalogueTest : public apptest::CatalogueFolderTest<TForm1> {
 protected:
  // Sections 2 "Новости" with the child 5 "Погода", 9 "Работа" and 7
  // "Юмор"; link types 1 (prefix "http://") and 2 (no prefix); URL records
  // 1 to 4, record 1 filed under 2 and 5, 2 under 5, 3 under 9, 4 nowhere.
  void PutSample() {
    cattest::AppendSections(dir_, {{2, 0, cattest::Cp1251("Новости")},
                                   {5, 2, cattest::Cp1251("Погода")},
                                   {9, 0, cattest::Cp1251("Работа")},
                                   {7, 0, cattest::Cp1251("Юмор")}});
    Put(dir_, catalogue::kType,
        {{{"TYPE_ID", "1"}, {"TYPE_NAME", "Сайт"}, {"TYPRPRESTR", "http://"}},
         {{"TYPE_ID", "2"}, {"TYPE_NAME", "Почта"}, {"TYPRPRESTR", ""}}});
    Put(dir_, catalogue::kUrls,
        {{{"URL_ID", "1"},
          {"URL", "яндекс.рф/погода"},
          {"NAME", "Погода в Москве"},
          {"ADRESTYPE", "1"}},
         {{"URL_ID", "2"}, {"URL", "www.example.org"}, {"NAME", "Example"}, {"ADRESTYPE", "1"}},
         {{"URL_ID", "3"},
          {"URL", "mailto:hr@example.org"},
          {"NAME", "Отдел кадров"},
          {"ADRESTYPE", "2"}},
         {{"URL_ID", "4"}, {"URL", "Яблоко.рф"}, {"NAME", "apple"}, {"ADRESTYPE", "3"}}});
    cattest::AppendMemberships(dir_, {{2, 1}, {5, 1}, {5, 2}, {9, 3}});
  }

  TForm1* Start() {
    form_ = std::make_unique<TForm1>();
    EXPECT_TRUE(form_->HDSUrls->Active());
    form_->show();
    return form_.get();
  }
  // The URL ids the list shows, in its order; the list goes back to its
  // first record.
  std::vector<int> Shown() {
    std::vector<int> ids;
    TXdsTable* urls = form_->HDSUrls;
    for (urls->First(); !urls->Eof(); urls->Next()) {
      ids.push_back(urls->FieldByName("URL_ID")->AsInteger());
    }
    urls->First();
    return ids;
  }
  int CurrentId() { return form_->HDSUrls->FieldByName("URL_ID")->AsInteger(); }
  // Turns of the event loop until every opener launched has given its
  // verdict (and a failure has been reported).
  bool OpenersDone(int timeoutMs = 10000) { return apptest::OpenersDone(form_.get(), timeoutMs); }

  // The membership rows as "section:url", sorted; the membership table's
  // filter, switch and order are put back.
  std::vector<std::string> Memberships() {
    TXdsTable* in = form_->HDSUrlIn;
    const std::string filter = in->Filter();
    const bool filtered = in->Filtered();
    in->SetFiltered(false);
    std::vector<std::string> rows;
    for (in->First(); !in->Eof(); in->Next()) {
      rows.push_back(std::to_string(in->FieldByName("TEM_ID")->AsInteger()) + ":" +
                     std::to_string(in->FieldByName("URL_ID")->AsInteger()));
    }
    std::sort(rows.begin(), rows.end());
    in->SetFilter(filter);
    in->SetFiltered(filtered);
    return rows;
  }

  static void Mark(TTreeView* tree, uint32_t id, bool marked = true) {
    TTreeNode* node = FindNodeById(tree, id);
    ASSERT_NE(node, nullptr) << id;
    SetSectionMark(node, marked ? kSectionMarked : kSectionUnmarked);
  }
  // A user's click on a node's picture: selects it and toggles its mark.
  static void ClickMark(TTreeView* tree, uint32_t id) {
    TTreeNode* node = FindNodeById(tree, id);
    ASSERT_NE(node, nullptr) << id;
    tree->scrollToItem(node);
    QRect label = tree->LabelRect(node);
    QTest::mouseClick(tree->viewport(), Qt::LeftButton, {},
                      QPoint(label.left() - 10, label.center().y()));
  }
  void ClickTitle(int column) {
    QHeaderView* titles = form_->DBGrid1->TitleRow();
    QTest::mouseClick(titles->viewport(), Qt::LeftButton, {},
                      QPoint(titles->sectionViewportPosition(column) + 5, titles->height() / 2));
  }
  // Runs `command` (a click that opens the editor window) with `inside` done
  // in the editor's modal loop.
  void WithEditor(const std::function<void()>& command,
                  const std::function<void(TForm2*)>& inside) {
    guitest::ModalWatcher watcher([&](QWidget* w) {
      auto* editor = qobject_cast<TForm2*>(w);
      if (auto* box = qobject_cast<QMessageBox*>(w)) {
        ADD_FAILURE() << box->text().toStdString();
      }
      ASSERT_NE(editor, nullptr);
      EXPECT_FALSE(form_->isVisible());
      inside(editor);
    });
    command();
    EXPECT_EQ(watcher.Seen(), 1);
    EXPECT_TRUE(form_->isVisible());
  }
  // A user's choice in a drop-down list: the list opened, the item clicked.
  static void Choose(QComboBox* box, const QString& text) {
    box->setFocus();
    box->showPopup();
    const int row = box->findText(text);
    ASSERT_GE(row, 0) << text.toStdString();
    QAbstractItemView* view = box->view();
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {},
                      view->visualRect(view->model()->index(row, 0)).center());
  }
  // Key presses carrying the text's characters, Cyrillic ones included; the
  // two halves of a character beyond 16 bits go in one press.
  static void Type(QWidget* w, const QString& text) {
    w->setFocus();
    for (qsizetype i = 0; i < text.size(); ++i) {
      const qsizetype n = text[i].isHighSurrogate() && i + 1 < text.size() ? 2 : 1;
      if (text[i] == '\n') {
        QTest::keyClick(w, Qt::Key_Return);
      } else {
        QTest::sendKeyEvent(QTest::Click, w, Qt::Key_unknown, text.mid(i, n), Qt::NoModifier);
      }
      i += n - 1;
    }
  }
  // A section made in the editor's tree and named there in place.
  static void AddSection(TForm2* editor, const QString& name) {
    editor->TreeView1->setFocus();
    QTest::mouseClick(editor->ToolButton8, Qt::LeftButton);
    TTreeNode* node = SelectedNode(editor->TreeView1);
    ASSERT_NE(node, nullptr);
    editor->TreeView1->editItem(node);  // the tree's own label editor
    QLineEdit* line = nullptr;
    for (QLineEdit* open : editor->TreeView1->findChildren<QLineEdit*>()) {
      line = open->isVisible() ? open : line;
    }
    ASSERT_NE(line, nullptr);
    line->selectAll();
    Type(line, name);
    QTest::keyClick(line, Qt::Key_Return);
    QTest::qWait(10);  // the tree takes the text after the key
    ASSERT_EQ(node->text(0), name) << line->text().toStdString();
  }
  // The main window closed as the user closes it, and gone.
  void CloseMain() {
    form_->close();
    form_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
  static std::vector<std::string> Sorted(std::vector<std::string> rows) {
    std::sort(rows.begin(), rows.end());
    return rows;
  }

};

TEST_F(UrlCatalogueTest, TheEditorWindowIsBuiltAsDeclared) {
  TForm1* form = Start();
  auto* editor = new TForm2(form);
  EXPECT_TRUE(editor->windowState() & Qt::WindowMaximized);
  editor->setWindowState(Qt::WindowNoState);
  editor->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(editor));
  EXPECT_EQ(editor->parent(), form);
  EXPECT_EQ(editor->windowTitle(), "Tavo Url Manager 2.0");
  EXPECT_EQ(editor->palette().color(QPalette::Window), QColor(14, 156, 149));
  EXPECT_EQ(editor->normalGeometry().size(), QSize(544, 344));
  struct Button {
    QToolButton* button;
    const char* hint;
    int image;
  } buttons[] = {{editor->ToolButton8, "Добавить в текущий уровень", 0},
                 {editor->ToolButton9, "Добавить в дочерний уровень", 1},
                 {editor->ToolButton10, "Удалить", 2},
                 {editor->ToolButton1, "Развернуть все", 3},
                 {editor->ToolButton2, "Свернуть все", 4}};
  for (const Button& b : buttons) {
    EXPECT_EQ(b.button->toolTip(), b.hint);
    EXPECT_EQ(b.button->icon().cacheKey(), form->ImageList3->Icon(b.image).cacheKey()) << b.hint;
  }
  EXPECT_EQ(editor->ToolBar2->Images(), form->ImageList3);
  EXPECT_EQ(editor->TreeView1->Images(), form->ImageList2);
  EXPECT_EQ(editor->TreeView1->indentation(), 19);
  EXPECT_FALSE(editor->TreeView1->SortedByText());
  EXPECT_EQ(editor->Panel5->width(), 141);
  EXPECT_EQ(editor->Panel5->minimumWidth(), 115);
  EXPECT_EQ(editor->ToolBar2->height(), 25);
  EXPECT_EQ(editor->Splitter1->handleWidth(), 2);
  EXPECT_EQ(editor->Panel4->height(), 33);
  EXPECT_EQ(editor->Panel4->width(), editor->width());
  EXPECT_EQ(editor->Panel2->height(), 125);
  EXPECT_EQ(editor->Button1->geometry(), QRect(4, 4, 75, 25));
  EXPECT_EQ(editor->Button2->geometry(), QRect(88, 4, 75, 25));
  EXPECT_EQ(editor->Button1->text(), "Сохранить");
  EXPECT_EQ(editor->Button2->text(), "Отменить");
  EXPECT_FALSE(editor->Button1->isDefault() || editor->Button1->autoDefault());
  EXPECT_FALSE(editor->Button2->isDefault() || editor->Button2->autoDefault());
  struct Label {
    QLabel* label;
    const char* text;
    int top;
  } labels[] = {{editor->Label1, "URL", 4},
                {editor->Label2, "Название", 40},
                {editor->Label3, "Тип", 76},
                {editor->Label4, "Описание", 112}};
  for (const Label& l : labels) {
    EXPECT_EQ(l.label->text(), l.text);
    EXPECT_EQ(l.label->pos(), QPoint(0, l.top)) << l.text;
  }
  // The single-line controls span the panel, the memo fills the rest; all
  // edit the URL table's record through the main window's data source.
  struct Control {
    QWidget* widget;
    TDataSource* source;
    QString field;
    int top;
  } controls[] = {
      {editor->DBEdit1, editor->DBEdit1->DataSource(), editor->DBEdit1->DataField(), 16},
      {editor->DBEdit2, editor->DBEdit2->DataSource(), editor->DBEdit2->DataField(), 52},
      {editor->DBLookupComboBox1, editor->DBLookupComboBox1->DataSource(),
       editor->DBLookupComboBox1->DataField(), 88}};
  const char* fields[] = {"URL", "NAME", "URL_TYPE"};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(controls[i].source, form->DataSource1);
    EXPECT_EQ(controls[i].field, fields[i]);
    EXPECT_EQ(controls[i].widget->geometry(),
              QRect(0, controls[i].top, editor->Panel2->width(), 21));
  }
  EXPECT_EQ(editor->DBMemo1->DataSource(), form->DataSource1);
  EXPECT_EQ(editor->DBMemo1->DataField(), "DESCR");
  EXPECT_EQ(editor->DBMemo1->parentWidget(), editor->Panel3);
  editor->resize(editor->width() + 100, editor->height());
  QTest::qWait(20);
  EXPECT_EQ(editor->DBEdit1->width(), editor->Panel2->width());
  delete editor;
}

TEST_F(UrlCatalogueTest, SectionFilterFollowsTheMarks) {
  PutSample();
  TForm1* form = Start();
  ASSERT_EQ(Shown(), (std::vector<int>{1, 2, 3, 4}));

  // On with nothing marked: no membership can match, the list is empty.
  QTest::mouseClick(form->Panel2, Qt::LeftButton);
  EXPECT_EQ(form->Panel2->Caption(), "Фильтр включен");
  EXPECT_EQ(form->HDSUrlIn->Filter(), "TEM_ID=1 and TEM_ID=2");
  EXPECT_TRUE(form->HDSUrlIn->Filtered());
  EXPECT_EQ(Shown(), std::vector<int>{});

  // A marked parent stands for itself only.
  Mark(form->TreeView1, 2);
  form->ApplySectionFilter();
  EXPECT_EQ(form->HDSUrlIn->Filter(), "(TEM_ID=2)");
  EXPECT_EQ(Shown(), std::vector<int>{1});
  // Two marked sections holding the same record show it once; the terms
  // follow the tree's order, and the current record is the first shown.
  Mark(form->TreeView1, 9);
  Mark(form->TreeView1, 5);
  form->HDSUrls->Last();
  form->ApplySectionFilter();
  EXPECT_EQ(CurrentId(), 1);
  EXPECT_EQ(form->HDSUrlIn->Filter(), "(TEM_ID=2) OR (TEM_ID=5) OR (TEM_ID=9)");
  EXPECT_EQ(Shown(), (std::vector<int>{1, 2, 3}));

  // A search box finds only what the filter shows.
  Type(form->Edit2, "EXA");
  EXPECT_EQ(CurrentId(), 2);
  Mark(form->TreeView1, 5, false);
  Mark(form->TreeView1, 2, false);
  form->ApplySectionFilter();
  form->Edit2->clear();
  Type(form->Edit2, "EXA");
  EXPECT_EQ(CurrentId(), 3);

  // Any caption but the off one switches the filter off; the membership
  // filter stays as it was.
  form->Panel2->SetCaption("?");
  QTest::mouseClick(form->Panel2, Qt::LeftButton);
  EXPECT_FALSE(FilterFlag);
  EXPECT_EQ(form->Panel2->Caption(), "Фильтр выключен");
  EXPECT_EQ(form->HDSUrlIn->Filter(), "(TEM_ID=9)");
  EXPECT_EQ(Shown(), (std::vector<int>{1, 2, 3, 4}));

  // With no sections at all the membership filter is left alone.
  form->TreeView1->clear();
  QTest::mouseClick(form->Panel2, Qt::LeftButton);
  EXPECT_EQ(form->HDSUrlIn->Filter(), "(TEM_ID=9)");
  EXPECT_EQ(Shown(), std::vector<int>{3});
}

TEST_F(UrlCatalogueTest, SearchBoxesAndTitleClicks) {
  PutSample();
  TForm1* form = Start();
  // Capitals find lower case, Cyrillic and Latin alike; each change of the
  // text searches again for the whole text.
  Type(form->Edit1, "ЯНД");
  EXPECT_EQ(CurrentId(), 1);
  Type(form->Edit1, "ЕКС.РФ/П");
  EXPECT_EQ(CurrentId(), 1);
  form->Edit1->clear();
  Type(form->Edit1, "яб");
  EXPECT_EQ(CurrentId(), 4);
  Type(form->Edit1, "z");  // no match: the current record stays
  EXPECT_EQ(CurrentId(), 4);
  Type(form->Edit2, "отдел К");
  EXPECT_EQ(CurrentId(), 3);
  EXPECT_EQ(form->Edit1->text(), "ябz");  // the boxes are independent

  // Each title orders the list by its column; the type column by the code.
  ClickTitle(0);
  EXPECT_EQ(form->HDSUrls->IndexName(), "URL");
  ClickTitle(1);
  EXPECT_EQ(form->HDSUrls->IndexName(), "NAME");
  EXPECT_EQ(Shown(), (std::vector<int>{2, 4, 3, 1}));  // the engine's order: Latin capitals first
  ASSERT_EQ(form->DBGrid1->ColumnTitle(2), "Тип");
  ClickTitle(2);
  EXPECT_EQ(form->HDSUrls->IndexName(), "ADRESTYPE");
  EXPECT_EQ(Shown(), (std::vector<int>{1, 2, 3, 4}));
  // The lookup column shows the type's name, nothing for a missing type.
  EXPECT_EQ(form->DBGrid1->CellText(0, 2), "Сайт");
  EXPECT_EQ(form->DBGrid1->CellText(2, 2), "Почта");
  EXPECT_EQ(form->DBGrid1->CellText(3, 2), "");
}

TEST_F(UrlCatalogueTest, NewUrlThroughTheEditor) {
  PutSample();
  Put(dir_, catalogue::kUrls, {{{"URL_ID", "41"}, {"URL", "zzz"}, {"NAME", "Последняя"}}});
  TForm1* form = Start();
  ClickTitle(1);  // ordered by name
  QTest::mouseClick(form->Panel2, Qt::LeftButton);
  Mark(form->TreeView1, 9);
  form->ApplySectionFilter();
  ASSERT_EQ(Shown(), std::vector<int>{3});

  QPointer<TForm2> seen;
  WithEditor([&] { QTest::mouseClick(form->ToolButton1, Qt::LeftButton); },
             [&](TForm2* editor) {
               seen = editor;
               EXPECT_EQ(Form2, editor);
               EXPECT_EQ(editor->windowTitle(), "Tavo Url Manager 2.0");
               EXPECT_EQ(form->HDSUrls->State(), dsInsert);
               EXPECT_EQ(form->HDSUrls->FieldByName("URL_ID")->AsInteger(), 42);
               // The editor's tree is the sections table's, unmarked.
               EXPECT_EQ(TreeNodes(editor->TreeView1).size(), 4u);
               Type(editor->DBEdit1, "пример.рф/страница");
               Type(editor->DBEdit2, "Пример");
               Choose(editor->DBLookupComboBox1, "Почта");
               Type(editor->DBMemo1, "Описание\nв две строки");
               ClickMark(editor->TreeView1, 7);
               ClickMark(editor->TreeView1, 2);
               // A section made in the editor is kept by a save.
               editor->TreeView1->setCurrentItem(FindNodeById(editor->TreeView1, 7));
               QTest::mouseClick(editor->ToolButton8, Qt::LeftButton);
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  // The list is back in id order with its marks cleared: with the filter
  // on it is empty; the new record is the current one once the filter is off.
  EXPECT_EQ(form->HDSUrls->IndexName(), "URL_ID");
  EXPECT_EQ(Shown(), std::vector<int>{});
  EXPECT_EQ(form->Panel2->Caption(), "Фильтр включен");
  EXPECT_EQ(Memberships(), (std::vector<std::string>{"2:1", "2:42", "5:1", "5:2", "7:42", "9:3"}));
  EXPECT_EQ(FindNodeById(form->TreeView1, 10) != nullptr, true);  // the section made in the editor
  QTest::mouseClick(form->Panel2, Qt::LeftButton);
  form->HDSUrls->Locate("URL_ID", TVariant(42), 0);
  EXPECT_EQ(Utf8(form->HDSUrls->FieldByName("URL")->AsString()), "пример.рф/страница");
  EXPECT_EQ(Utf8(form->HDSUrls->FieldByName("ADRESTYPE")->AsString()), "2");
  EXPECT_EQ(Utf8(form->HDSUrls->FieldByName("DESCR")->AsString()), "Описание\r\nв две строки");
  // The editor window goes once control is back in the event loop.
  ASSERT_FALSE(seen.isNull());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(seen.isNull());

  // A cancelled new record leaves nothing, and neither does the section the
  // editor made; the list returns to the record it was on.
  form->HDSUrls->Locate("URL_ID", TVariant(2), 0);
  WithEditor([&] { QTest::mouseClick(form->ToolButton1, Qt::LeftButton); },
             [&](TForm2* editor) {
               Type(editor->DBEdit1, "отменённая");
               ClickMark(editor->TreeView1, 9);
               QTest::mouseClick(editor->ToolButton8, Qt::LeftButton);
               QTest::mouseClick(editor->Button2, Qt::LeftButton);
             });
  EXPECT_EQ(CurrentId(), 2);
  EXPECT_EQ(Shown(), (std::vector<int>{1, 2, 3, 4, 41, 42}));
  EXPECT_EQ(Memberships().size(), 6u);
  EXPECT_EQ(TreeNodes(form->TreeView1).size(), 5u);
}

TEST_F(UrlCatalogueTest, FirstNewUrlOfAnEmptyCatalogue) {
  TForm1* form = Start();
  // Cancelled on an empty list: nothing to come back to, and no error box
  // (the watcher would see a second modal window).
  WithEditor([&] { QTest::mouseClick(form->ToolButton1, Qt::LeftButton); },
             [&](TForm2* editor) { QTest::mouseClick(editor->Button2, Qt::LeftButton); });
  WithEditor([&] { QTest::mouseClick(form->ToolButton1, Qt::LeftButton); },
             [&](TForm2* editor) {
               Type(editor->DBEdit1, "a");
               // Enter and Escape do not close the window.
               QTest::keyClick(editor->DBEdit1, Qt::Key_Escape);
               QTest::keyClick(editor->DBEdit1, Qt::Key_Return);
               EXPECT_TRUE(editor->isVisible());
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  EXPECT_EQ(Shown(), std::vector<int>{1});
}

TEST_F(UrlCatalogueTest, EditMovesMembershipsAndF4NeedsNoModifiers) {
  PutSample();
  TForm1* form = Start();
  form->HDSUrls->Locate("URL_ID", TVariant(1), 0);
  form->DBGrid1->setFocus();
  {
    guitest::ModalWatcher none([](QWidget* w) { ADD_FAILURE() << w->metaObject()->className(); });
    for (auto mod : {Qt::ShiftModifier, Qt::ControlModifier, Qt::AltModifier}) {
      QTest::keyClick(form->DBGrid1, Qt::Key_F4, mod);
    }
    QTest::qWait(30);
  }
  WithEditor([&] { QTest::keyClick(form->DBGrid1, Qt::Key_F4); },
             [&](TForm2* editor) {
               EXPECT_EQ(form->HDSUrls->State(), dsEdit);
               EXPECT_EQ(editor->DBEdit1->text(), "яндекс.рф/погода");
               EXPECT_EQ(editor->DBLookupComboBox1->currentText(), "Сайт");
               // The record's sections are marked, and only they.
               std::vector<uint32_t> marked;
               for (TTreeNode* n : TreeNodes(editor->TreeView1)) {
                 if (n->ImageIndex() == kSectionMarked) {
                   marked.push_back(n->Data());
                 }
               }
               EXPECT_EQ(marked, (std::vector<uint32_t>{2, 5}));
               ClickMark(editor->TreeView1, 2);  // off
               ClickMark(editor->TreeView1, 5);  // off
               ClickMark(editor->TreeView1, 7);
               ClickMark(editor->TreeView1, 9);
               // As a user replaces a box's text: into the box, select
               // all, type. (Clearing it behind its back would be undone
               // by the box showing the stored value when it gets the focus.)
               editor->DBEdit2->setFocus();
               QTest::keyClick(editor->DBEdit2, Qt::Key_A, Qt::ControlModifier);
               Type(editor->DBEdit2, "Погода");
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  EXPECT_EQ(Memberships(), (std::vector<std::string>{"5:2", "7:1", "9:1", "9:3"}));
  EXPECT_EQ(CurrentId(), 1);
  EXPECT_EQ(Utf8(form->HDSUrls->FieldByName("NAME")->AsString()), "Погода");

  // Saved with nothing marked: no membership is left, and the section
  // filter no longer shows the record.
  WithEditor([&] { QTest::mouseClick(form->ToolButton2, Qt::LeftButton); },
             [&](TForm2* editor) {
               ClickMark(editor->TreeView1, 7);
               ClickMark(editor->TreeView1, 9);
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  EXPECT_EQ(Memberships(), (std::vector<std::string>{"5:2", "9:3"}));
  QTest::mouseClick(form->Panel2, Qt::LeftButton);
  Mark(form->TreeView1, 9);
  Mark(form->TreeView1, 7);
  form->ApplySectionFilter();
  EXPECT_EQ(Shown(), std::vector<int>{3});
}

TEST_F(UrlCatalogueTest, DeleteTakesTheMembershipsAlong) {
  PutSample();
  cattest::AppendMemberships(dir_, {{7, 1}, {9, 1}});
  TForm1* form = Start();
  form->HDSUrlIn->SetFilter("(TEM_ID=5)");
  form->HDSUrlIn->SetFiltered(true);
  form->HDSUrls->Locate("URL_ID", TVariant(1), 0);
  QTest::mouseClick(form->ToolButton3, Qt::LeftButton);
  EXPECT_EQ(Shown(), (std::vector<int>{2, 3, 4}));
  EXPECT_EQ(Memberships(), (std::vector<std::string>{"5:2", "9:3"}));
  EXPECT_EQ(form->HDSUrlIn->Filter(), "(TEM_ID=5)");
  EXPECT_TRUE(form->HDSUrlIn->Filtered());

  // The next id is above the deleted one's until the table is packed, so
  // the deleted record's id is not given again.
  form->HDSUrls->Locate("URL_ID", TVariant(4), 0);
  QTest::mouseClick(form->ToolButton3, Qt::LeftButton);
  WithEditor([&] { QTest::mouseClick(form->ToolButton1, Qt::LeftButton); },
             [&](TForm2* editor) { QTest::mouseClick(editor->Button1, Qt::LeftButton); });
  EXPECT_EQ(Shown(), (std::vector<int>{2, 3, 5}));

  for (int i = 0; i < 3; ++i) {
    QTest::mouseClick(form->ToolButton3, Qt::LeftButton);
  }
  EXPECT_EQ(Shown(), std::vector<int>{});
  QTest::mouseClick(form->ToolButton3, Qt::LeftButton);  // an empty list: nothing
  EXPECT_EQ(Memberships(), std::vector<std::string>{});
}

TEST_F(UrlCatalogueTest, InsertsOutsideTheNewCommand) {
  PutSample();
  Put(dir_, catalogue::kUrls, {{{"URL_ID", "41"}, {"URL", "zzz"}}});
  TForm1* form = Start();
  NewRecordFlag = false;
  form->DBGrid1->setFocus();
  QTest::keyClick(form->DBGrid1, Qt::Key_Insert);
  EXPECT_EQ(form->HDSUrls->State(), dsBrowse);
  EXPECT_EQ(Shown(), (std::vector<int>{1, 2, 3, 4, 41}));

  // After the first new command, with the section filter hiding the
  // highest id: the insert still gets an id no record holds.
  NewRecordFlag = true;
  QTest::mouseClick(form->Panel2, Qt::LeftButton);
  Mark(form->TreeView1, 5);
  form->ApplySectionFilter();
  ASSERT_EQ(Shown(), (std::vector<int>{1, 2}));
  QTest::keyClick(form->DBGrid1, Qt::Key_Insert);
  ASSERT_EQ(form->HDSUrls->State(), dsInsert);
  EXPECT_EQ(CurrentId(), 42);
  EXPECT_EQ(form->HDSUrls->IndexName(), "URL_ID");
  form->HDSUrls->Cancel();
}

// A main window whose section filter fails on demand.
class TFailingForm : public TForm1 {
 public:
  bool failFilter = false;
  void ApplySectionFilter() override {
    if (failFilter) {
      throw std::runtime_error("Table HDSUrlIn: cannot filter");
    }
    TForm1::ApplySectionFilter();
  }
};

TEST_F(UrlCatalogueTest, AFailedCommandGivesTheMainWindowBack) {
  PutSample();
  auto* form = new TFailingForm;
  form_.reset(form);
  form->show();
  auto runFailing = [&](QToolButton* button, const std::function<void(TForm2*)>& inside) {
    int boxes = 0;
    guitest::ModalWatcher watcher([&](QWidget* w) {
      if (auto* editor = qobject_cast<TForm2*>(w)) {
        inside(editor);
      } else {
        ++boxes;
        auto* box = qobject_cast<QMessageBox*>(w);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), "Table HDSUrlIn: cannot filter");
      }
    });
    QTest::mouseClick(button, Qt::LeftButton);
    QTest::qWait(50);
    EXPECT_EQ(boxes, 1);
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(form->HDSUrls->Filtered());
    EXPECT_EQ(form->HDSUrls->State(), dsBrowse);
  };
  // Failing after the save: the record stays saved.
  runFailing(form->ToolButton1, [&](TForm2* editor) {
    Type(editor->DBEdit1, "новая");
    form->failFilter = true;
    QTest::mouseClick(editor->Button1, Qt::LeftButton);
  });
  form->failFilter = false;
  EXPECT_EQ(Shown(), (std::vector<int>{1, 2, 3, 4, 5}));

  // Failing while the record is still being edited: the edit is cancelled.
  form->HDSUrls->BeforePost = [](TDataSet&) {
    throw std::runtime_error("Table HDSUrlIn: cannot filter");
  };
  runFailing(form->ToolButton2, [&](TForm2* editor) {
    Type(editor->DBEdit1, "изменено");
    QTest::mouseClick(editor->Button1, Qt::LeftButton);
  });
  form->HDSUrls->BeforePost = nullptr;
  EXPECT_EQ(Utf8(form->HDSUrls->FieldByName("URL")->AsString()), "яндекс.рф/погода");
}

TEST_F(UrlCatalogueTest, OpeningAnAddress) {
  PutSample();
  const std::string hostile = "-a b;c \"q\" 'r' $(id) `id` | > <";
  Put(dir_, catalogue::kUrls, {{{"URL_ID", "5"}, {"URL", hostile}, {"ADRESTYPE", "2"}}});
  const fs::path opener = dir_ / "opener";
  std::ofstream(opener) << "#!/bin/sh\n"
                        << "{ echo \"$#\"; printf '%s\\n' \"$1\"; pwd; } > '"
                        << (dir_ / "args").string() << "'\nexit \"$(cat '"
                        << (dir_ / "code").string() << "' 2>/dev/null || echo 0)\"\n";
  chmod(opener.c_str(), 0755);
  platform::SetShellOpenerForTesting(opener.string());
  auto args = [&] {
    std::ifstream in(dir_ / "args");
    std::stringstream s;
    s << in.rdbuf();
    fs::remove(dir_ / "args");
    return s.str();
  };
  const std::string exeDir =
      fs::canonical(platform::ExecutableDirectory()).string();  // not the working directory
  TForm1* form = Start();

  form->HDSUrls->Locate("URL_ID", TVariant(1), 0);
  QTest::mouseClick(form->ToolButton5, Qt::LeftButton);
  ASSERT_TRUE(OpenersDone());
  EXPECT_EQ(args(), "1\nhttp://яндекс.рф/погода\n" + exeDir + "\n");
  // No prefix: the address as stored; a hostile text is one argument that
  // nothing interprets.
  form->HDSUrls->Locate("URL_ID", TVariant(5), 0);
  QTest::mouseClick(form->ToolButton5, Qt::LeftButton);
  ASSERT_TRUE(OpenersDone());
  EXPECT_EQ(args(), "1\n" + hostile + "\n" + exeDir + "\n");
  // A type that is not in the dictionary: nothing happens.
  form->HDSUrls->Locate("URL_ID", TVariant(4), 0);
  QTest::mouseClick(form->ToolButton5, Qt::LeftButton);
  EXPECT_TRUE(form->findChildren<QObject*>(kOpenerWatchName).isEmpty());
  EXPECT_EQ(args(), "");

  // A refused launch says so with its number.
  std::ofstream(dir_ / "code") << "2\n";
  form->HDSUrls->Locate("URL_ID", TVariant(3), 0);
  QString text;
  {
    guitest::ModalWatcher watcher([&](QWidget* w) {
      if (auto* box = qobject_cast<QMessageBox*>(w)) {
        text = box->text();
      }
    });
    QTest::mouseClick(form->ToolButton5, Qt::LeftButton);
    ASSERT_TRUE(OpenersDone());
  }
  EXPECT_EQ(text, "Нет программы связанной с этой ссылкой -- ошибка № 2");
  EXPECT_EQ(args(), "1\nmailto:hr@example.org\n" + exeDir + "\n");
}

// A user's session on a new catalogue folder, then the folder read back.
TEST_F(UrlCatalogueTest, AUsersSessionIsKeptAcrossARestart) {
  Put(dir_, catalogue::kType,
      {{{"TYPE_ID", "1"}, {"TYPE_NAME", "Сайт"}, {"TYPRPRESTR", "https://"}},
       {{"TYPE_ID", "2"}, {"TYPE_NAME", "Почта"}, {"TYPRPRESTR", "mailto:"}}});
  TForm1* form = Start();
  struct Url {
    QString url, name, descr, type;
    std::vector<uint32_t> sections;
  };
  const Url urls[] = {
      {"яндекс.рф", "Поисковик", "Русский поиск", "Сайт", {1, 2}},
      {"почта@пример.рф", "Письма Ивану", "Адрес для писем", "Почта", {2, 3}},
      {"Example.org/Путь", "Пример", "Страница с примером", "Сайт", {1, 3}},
      {"новости.рф", "Новости дня", "Лента новостей", "Сайт", {1, 2}},
      {"рецепты.рф", "Кухня", "Рецепты борща", "Сайт", {2, 3}},
  };
  bool first = true;
  for (const Url& u : urls) {
    WithEditor([&] { QTest::mouseClick(form->ToolButton1, Qt::LeftButton); },
               [&](TForm2* editor) {
                 if (first) {
                   AddSection(editor, "Работа");  // 1
                   AddSection(editor, "Дом");     // 2
                   AddSection(editor, "Учёба");   // 3
                   first = false;
                 }
                 Type(editor->DBEdit1, u.url);
                 Type(editor->DBEdit2, u.name);
                 Choose(editor->DBLookupComboBox1, u.type);
                 Type(editor->DBMemo1, u.descr);
                 for (uint32_t id : u.sections) {
                   ClickMark(editor->TreeView1, id);
                 }
                 QTest::mouseClick(editor->Button1, Qt::LeftButton);
               });
  }
  ASSERT_EQ(Shown(), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(TreeNodes(form->TreeView1).size(), 3u);

  // Filtered by "Учёба": records 2, 3 and 5; searched in any letter case.
  QTest::mouseClick(form->Panel2, Qt::LeftButton);
  Mark(form->TreeView1, 3);
  form->ApplySectionFilter();
  EXPECT_EQ(Shown(), (std::vector<int>{2, 3, 5}));
  Type(form->Edit1, "EXAMPLE.ORG/п");
  EXPECT_EQ(CurrentId(), 3);
  Type(form->Edit2, "кУХ");
  EXPECT_EQ(CurrentId(), 5);
  form->Edit1->clear();
  form->Edit2->clear();
  ClickTitle(0);
  EXPECT_EQ(Shown(), (std::vector<int>{3, 2, 5}));
  ClickTitle(1);
  EXPECT_EQ(Shown(), (std::vector<int>{5, 2, 3}));
  ClickTitle(2);
  EXPECT_EQ(Shown().size(), 3u);
  QTest::mouseClick(form->Panel2, Qt::LeftButton);

  // Record 4 moves from "Работа" and "Дом" to "Учёба" only; record 2 goes.
  form->HDSUrls->Locate("URL_ID", TVariant(4), 0);
  WithEditor([&] { QTest::keyClick(form->DBGrid1, Qt::Key_F4); },
             [&](TForm2* editor) {
               ClickMark(editor->TreeView1, 1);
               ClickMark(editor->TreeView1, 2);
               ClickMark(editor->TreeView1, 3);
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  form->HDSUrls->Locate("URL_ID", TVariant(2), 0);
  QTest::mouseClick(form->ToolButton3, Qt::LeftButton);

  // Opened with the link type's prefix, as one argument.
  const fs::path opener = dir_ / "opener";
  std::ofstream(opener) << "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > '" << (dir_ / "args").string()
                        << "'\n";
  chmod(opener.c_str(), 0755);
  platform::SetShellOpenerForTesting(opener.string());
  form->HDSUrls->Locate("URL_ID", TVariant(1), 0);
  QTest::mouseClick(form->ToolButton5, Qt::LeftButton);
  ASSERT_TRUE(OpenersDone());
  std::ifstream in(dir_ / "args");
  std::string args((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(args, "1|https://яндекс.рф");

  CloseMain();
  // The close packed the deleted record away.
  EXPECT_EQ(Sorted(Stored(dir_, catalogue::kUrls, {"URL_ID", "URL", "NAME", "ADRESTYPE", "DESCR"})),
            (std::vector<std::string>{"1|яндекс.рф|Поисковик|1|Русский поиск",
                                      "3|Example.org/Путь|Пример|1|Страница с примером",
                                      "4|новости.рф|Новости дня|1|Лента новостей",
                                      "5|рецепты.рф|Кухня|1|Рецепты борща"}));
  EXPECT_EQ(Sorted(Stored(dir_, catalogue::kUrlIn, {"TEM_ID", "URL_ID"})),
            (std::vector<std::string>{"1|1", "1|3", "2|1", "2|5", "3|3", "3|4", "3|5"}));

  // Started again: the same list, sections and memberships.
  TForm1* again = Start();
  EXPECT_EQ(Shown(), (std::vector<int>{1, 3, 4, 5}));
  EXPECT_EQ(TreeNodes(again->TreeView1).size(), 3u);
  again->HDSUrls->Locate("URL_ID", TVariant(3), 0);
  EXPECT_EQ(Utf8(again->HDSUrls->FieldByName("DESCR")->AsString()), "Страница с примером");
  EXPECT_EQ(again->DBGrid1->CellText(again->DBGrid1->Row(), 2), "Сайт");
}


// Names in any alphabet, typed into the real windows: stored as the tables'
// code pages allow (references for the rest), shown, searched and exported
// as typed.
TEST_F(UrlCatalogueTest, TextInAnyAlphabetIsKeptAsTyped) {
  Put(dir_, catalogue::kType,
      {{{"TYPE_ID", "1"}, {"TYPE_NAME", "Сайт €"}, {"TYPRPRESTR", ""}},
       // As another program's import wrote it.
       {{"TYPE_ID", "2"}, {"TYPE_NAME", "Typ &#20013;"}, {"TYPRPRESTR", ""}}});
  Put(dir_, catalogue::kUrls,
      {{{"URL_ID", "1"}, {"URL", "example.de"}, {"NAME", "M&#252;nchen Stra&#223;e"}},
       {{"URL_ID", "2"}, {"URL", "example.org"}, {"NAME", "A &#38; B &amp; &#1081;"}}});
  TForm1* form = Start();
  const QString name = "Test 中文 😀 € №";
  const QString section = "Straße 中文 😀";
  WithEditor([&] { QTest::mouseClick(form->ToolButton1, Qt::LeftButton); },
             [&](TForm2* editor) {
               AddSection(editor, section);
               Type(editor->DBEdit1, "https://пример.рф/München?€");
               Type(editor->DBEdit2, name);
               EXPECT_EQ(editor->DBEdit2->text(), name);
               Choose(editor->DBLookupComboBox1, "Typ 中");
               Type(editor->DBMemo1, "Grüße &#252;\n«Привет» 😀");
               ClickMark(editor->TreeView1, 1);
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  // A literal "&#" typed in the name box of the grid's record 2 as well.
  form->HDSUrls->Locate("URL_ID", TVariant(2), 0);
  form->DBGrid1->setFocus();
  WithEditor([&] { QTest::keyClick(form->DBGrid1, Qt::Key_F4); },
             [&](TForm2* editor) {
               EXPECT_EQ(editor->DBEdit2->text(), "A &#38; B &amp; &#1081;");  // not ours: as stored
               // Thirteen characters of eight bytes each do not fit in 100:
               // the box keeps twelve and says so.
               // The box shows its editing text once it has the focus: take
               // the focus first, so the selection is not reset under the typing.
               editor->DBEdit2->setFocus();
               QApplication::processEvents();
               editor->DBEdit2->selectAll();
               Type(editor->DBEdit2, QString(13, QChar(0x4E2D)));
               EXPECT_EQ(editor->DBEdit2->text(), QString(12, QChar(0x4E2D)));
               EXPECT_TRUE(editor->LabelNameCut->isVisible());
               editor->DBEdit2->selectAll();
               Type(editor->DBEdit2, "Tom &# Jerry &#252;");
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  CloseMain();

  // The bytes in the files: what the code page lacks as references ("€" too
  // in the URL table, whose code page is 866), the address percent-encoded
  // but for its Cyrillic.
  EXPECT_EQ(
      Sorted(Stored(dir_, catalogue::kUrls, {"URL_ID", "URL", "NAME", "ADRESTYPE", "DESCR"})),
      (std::vector<std::string>{
          "1|example.de|M&#252;nchen Stra&#223;e||", "2|example.org|Tom &#38;# Jerry &#38;#252;||",
          "3|https://пример.рф/M%C3%BCnchen?%E2%82%AC|Test &#20013;&#25991; &#128512; &#8364; "
          "№|2|Gr&#252;&#223;e &#38;#252;\r\n&#171;Привет&#187; &#128512;"}));
  EXPECT_EQ(Stored(dir_, catalogue::kTem, {"INID", "INNAME"}),
            std::vector<std::string>{"1|Stra&#223;e &#20013;&#25991; &#128512;"});

  // Started again: shown as typed in the grid, the memo, the tree and the
  // type window, and found by the name box.
  TForm1* again = Start();
  again->HDSUrls->Locate("URL_ID", TVariant(3), 0);
  TDBGrid* grid = again->DBGrid1;
  EXPECT_EQ(grid->CellText(grid->Row(), 0), "https://пример.рф/M%C3%BCnchen?%E2%82%AC");
  EXPECT_EQ(grid->CellText(grid->Row(), 1), name);
  EXPECT_EQ(grid->CellText(grid->Row(), 2), "Typ 中");
  EXPECT_EQ(again->DBMemo1->toPlainText(), "Grüße &#252;\n«Привет» 😀");
  ASSERT_NE(FindNodeById(again->TreeView1, 1), nullptr);
  EXPECT_EQ(FindNodeById(again->TreeView1, 1)->text(0), section);
  again->HDSUrls->Locate("URL_ID", TVariant(2), 0);
  EXPECT_EQ(grid->CellText(grid->Row(), 1), "Tom &# Jerry &#252;");
  Type(again->Edit2, "münch");
  EXPECT_EQ(CurrentId(), 1);
  again->Edit2->clear();
  Type(again->Edit2, "test 中文 😀 €");
  EXPECT_EQ(CurrentId(), 3);
  again->Edit2->clear();
  Type(again->Edit2, "tom &#");
  EXPECT_EQ(CurrentId(), 2);
  Type(again->Edit1, "https://пример.рф/münchen");
  EXPECT_EQ(CurrentId(), 3);
  QTest::mouseClick(again->ToolButton6, Qt::LeftButton);
  TForm4* types = again->findChild<TForm4*>();
  ASSERT_NE(types, nullptr);
  EXPECT_EQ(types->DBGrid1->CellText(0, 0), "Сайт €");
  EXPECT_EQ(types->DBGrid1->CellText(1, 0), "Typ 中");
  types->close();
  CloseMain();

  // Exported with the characters themselves, escaped once.
  bookmarks::Tree tree;
  std::string error;
  ASSERT_TRUE(bookmarks::ReadCatalogue(dir_.string(), &tree, &error)) << error;
  const std::string html = bookmarks::WriteNetscape(tree);
  EXPECT_NE(html.find(">Test 中文 😀 € №</A>"), std::string::npos) << html;
  EXPECT_NE(html.find(">München Straße</A>"), std::string::npos) << html;
  EXPECT_NE(html.find(">Tom &amp;# Jerry &amp;#252;</A>"), std::string::npos) << html;
  EXPECT_NE(html.find(">Straße 中文 😀</H3>"), std::string::npos) << html;
  EXPECT_NE(html.find("<DD>Grüße &amp;#252;&#13;&#10;«Привет» 😀"), std::string::npos) << html;
}

// A save that fails leaves the record's memberships as they were: when the
// record itself cannot be written, the membership files are not touched at
// all; when the memberships cannot be written, the record goes back too.
TEST_F(UrlCatalogueTest, ASaveIsAllOrNothingOverTheRecordAndItsMemberships) {
  PutSample();
  TForm1* form = Start();
  FaultyEngine engine;
  const XDSHANDLE urls = form->HDSUrls->TableHandle();
  const XDSHANDLE in = form->HDSUrlIn->TableHandle();
  // Saves in the editor with `fault` armed; the error box's text.
  auto saveFailing = [&](QToolButton* command, const std::vector<std::string>& fault) {
    std::string error;
    guitest::ModalWatcher watcher([&](QWidget* w) {
      if (auto* editor = qobject_cast<TForm2*>(w)) {
        Type(editor->DBEdit1, "изменено");
        ClickMark(editor->TreeView1, 7);
        ClickMark(editor->TreeView1, 9);
        engine.Fail(fault);
        QTest::mouseClick(editor->Button1, Qt::LeftButton);
      } else if (auto* box = qobject_cast<QMessageBox*>(w)) {
        error = box->text().toStdString();
      }
    });
    QTest::mouseClick(command, Qt::LeftButton);
    QTest::qWait(50);
    engine.Heal();
    EXPECT_EQ(watcher.Seen(), 2);
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->HDSUrls->State(), dsBrowse);
    EXPECT_EQ(form->HDSUrlIn->State(), dsBrowse);
    return error;
  };
  const std::vector<std::string> sample = {"2:1", "5:1", "5:2", "9:3"};

  // The record's post fails: nothing of the memberships is written.
  auto files = TableFiles(dir_, "URLIN");
  ASSERT_EQ(files.size(), 2u);
  EXPECT_NE(saveFailing(form->ToolButton1, {FaultyEngine::Call("XdsAppendRecord", urls)}), "");
  EXPECT_EQ(TableFiles(dir_, "URLIN"), files);
  EXPECT_EQ(Shown(), (std::vector<int>{1, 2, 3, 4}));
  form->HDSUrls->Locate("URL_ID", TVariant(1), 0);
  EXPECT_NE(saveFailing(form->ToolButton2, {FaultyEngine::Call("XdsWriteRecord", urls)}), "");
  EXPECT_EQ(TableFiles(dir_, "URLIN"), files);
  form->HDSUrls->Locate("URL_ID", TVariant(1), 0);
  EXPECT_EQ(Utf8(form->HDSUrls->FieldByName("URL")->AsString()), "яндекс.рф/погода");
  EXPECT_EQ(Memberships(), sample);

  // The next new record, saved, gets the id no failed save took and only
  // the sections marked for it.
  WithEditor([&] { QTest::mouseClick(form->ToolButton1, Qt::LeftButton); },
             [&](TForm2* editor) {
               ClickMark(editor->TreeView1, 2);
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  EXPECT_EQ(Shown(), (std::vector<int>{1, 2, 3, 4, 5}));
  EXPECT_EQ(Memberships(), (std::vector<std::string>{"2:1", "2:5", "5:1", "5:2", "9:3"}));

  // The record is written, its memberships are not: the record goes back.
  form->HDSUrls->Locate("URL_ID", TVariant(1), 0);
  EXPECT_NE(saveFailing(form->ToolButton2, {FaultyEngine::Call("XdsWriteRecord", in)}), "");
  EXPECT_EQ(Memberships(), (std::vector<std::string>{"2:1", "2:5", "5:1", "5:2", "9:3"}));
  form->HDSUrls->Locate("URL_ID", TVariant(1), 0);
  EXPECT_EQ(Utf8(form->HDSUrls->FieldByName("URL")->AsString()), "яндекс.рф/погода");
  EXPECT_NE(saveFailing(form->ToolButton1, {FaultyEngine::Call("XdsWriteRecord", in)}), "");
  EXPECT_EQ(Memberships(), (std::vector<std::string>{"2:1", "2:5", "5:1", "5:2", "9:3"}));
  EXPECT_EQ(Shown(), (std::vector<int>{1, 2, 3, 4, 5}));
}

// A delete whose membership removal fails is refused whole: the record, its
// memberships and the membership filter are as before.
TEST_F(UrlCatalogueTest, AFailingMembershipPackRefusesTheDeleteWhole) {
  PutSample();
  TForm1* form = Start();
  FaultyEngine engine;
  form->HDSUrlIn->SetFilter("(TEM_ID=9)");
  form->HDSUrlIn->SetFiltered(true);
  const std::vector<std::string> sample = {"2:1", "5:1", "5:2", "9:3"};
  // Record 1 has two rows: the first pack fails, then the second (the first
  // row already packed away).
  for (int nth : {1, 2}) {
    SCOPED_TRACE(nth);
    form->HDSUrls->Locate("URL_ID", TVariant(1), 0);
    engine.Fail({FaultyEngine::Call("XdsPackTable", form->HDSUrlIn->TableHandle())}, nth);
    std::string error;
    {
      guitest::ModalWatcher watcher([&](QWidget* w) {
        if (auto* box = qobject_cast<QMessageBox*>(w)) {
          error = box->text().toStdString();
        }
      });
      QTest::mouseClick(form->ToolButton3, Qt::LeftButton);
      EXPECT_EQ(watcher.Seen(), 1);
    }
    engine.Heal();
    EXPECT_NE(error.find("injected failure"), std::string::npos) << error;
    EXPECT_EQ(form->HDSUrlIn->Filter(), "(TEM_ID=9)");
    EXPECT_TRUE(form->HDSUrlIn->Filtered());
    EXPECT_EQ(Memberships(), sample);
    EXPECT_EQ(Shown(), (std::vector<int>{1, 2, 3, 4}));
  }
  // Healed, the delete goes through.
  form->HDSUrls->Locate("URL_ID", TVariant(1), 0);
  QTest::mouseClick(form->ToolButton3, Qt::LeftButton);
  EXPECT_EQ(Memberships(), (std::vector<std::string>{"5:2", "9:3"}));
  EXPECT_EQ(Shown(), (std::vector<int>{2, 3, 4}));
}

// An opener that runs for a while before it fails: the window goes on
// meanwhile, and the failure is reported once the opener has exited.
TEST_F(UrlCatalogueTest, ASlowOpenerNeverHoldsTheWindow) {
  PutSample();
  const fs::path opener = dir_ / "opener";
  std::ofstream(opener) << "#!/bin/sh\nsleep 5\nexit 3\n";
  chmod(opener.c_str(), 0755);
  platform::SetShellOpenerForTesting(opener.string());
  TForm1* form = Start();
  form->HDSUrls->Locate("URL_ID", TVariant(1), 0);
  QString text;
  guitest::ModalWatcher watcher([&](QWidget* w) {
    if (auto* box = qobject_cast<QMessageBox*>(w)) {
      text = box->text();
    }
  });
  QElapsedTimer clock;
  clock.start();
  QTest::mouseClick(form->ToolButton5, Qt::LeftButton);
  EXPECT_LT(clock.elapsed(), 1000);
  // Input is taken and the window repaints while the opener runs.
  int painted = 0;
  struct PaintCounter : QObject {
    int* count;
    explicit PaintCounter(int* c) : count(c) {}
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Paint) {
        ++*count;
      }
      return false;
    }
  } counter(&painted);
  form->Edit2->installEventFilter(&counter);
  Type(form->Edit2, "Отдел");
  QTest::qWait(100);
  EXPECT_EQ(CurrentId(), 3);
  EXPECT_GT(painted, 0);
  EXPECT_TRUE(text.isEmpty());
  EXPECT_LT(clock.elapsed(), 4000);
  form->Edit2->removeEventFilter(&counter);
  ASSERT_TRUE(OpenersDone(15000));
  EXPECT_GE(clock.elapsed(), 4900);
  EXPECT_EQ(text, "Нет программы связанной с этой ссылкой -- ошибка № 31");
  EXPECT_EQ(watcher.Seen(), 1);
}

// The editor opens with its first input control focused, the tree's tool
// buttons taking no focus: Tab goes from the tree to the address box, and
// typed text lands there.
TEST_F(UrlCatalogueTest, TheEditorsFirstTabStopIsItsFirstInputControl) {
  PutSample();
  TForm1* form = Start();
  WithEditor([&] { QTest::mouseClick(form->ToolButton1, Qt::LeftButton); },
             [&](TForm2* editor) {
               QTest::qWait(20);
               for (QToolButton* button : editor->findChildren<QToolButton*>()) {
                 EXPECT_EQ(button->focusPolicy(), Qt::NoFocus);
               }
               EXPECT_EQ(QApplication::focusWidget(), editor->TreeView1);
               QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
               ASSERT_EQ(QApplication::focusWidget(), editor->DBEdit1);
               QTest::keyClicks(QApplication::focusWidget(), "abc");
               EXPECT_EQ(editor->DBEdit1->text(), "abc");
               QTest::mouseClick(editor->Button2, Qt::LeftButton);
             });
}

// --- The search everywhere ---------------------------------------------------

// One URL record of the search's catalogue, as the user sees its text.
struct SearchRecord {
  int id;
  std::string address;  // whole; longer than the URL field: kept whole beside it
  std::string name;
  std::string descr;
  std::string type;
  std::vector<int> sections;
  bool deleted = false;
};

// The list narrowed by the search everywhere, checked against a brute-force
// answer over the records: Qt's own lower-casing of each record's text, "ё"
// as "е", every word contained.
class SearchAllTest : public UrlCatalogueTest {
 protected:
  static QString Folded(const std::string& utf8) {
    return QString::fromStdString(utf8).toLower().replace(QChar(0x451), QChar(0x435));
  }
  bool Matches(const SearchRecord& r, const QString& text) const {
    const QStringList words = Folded(text.toStdString()).split(' ', Qt::SkipEmptyParts);
    for (const QString& w : words) {
      if (!Folded(r.address).contains(w) && !Folded(r.name).contains(w) &&
          !Folded(r.descr).contains(w)) {
        return false;
      }
    }
    return !r.deleted;
  }
  // Text as the tables store it, handed to Put as the UTF-8 it converts.
  static std::string AsStored(const std::string& utf8) {
    return platform::Cp1251ToUtf8(platform::EncodeTextUtf8(utf8, true));
  }

  // Sections 1 to 3 at the top level; records made up from a few words in
  // both alphabets, one address whose tail alone holds a word, one record
  // deleted and not yet packed, one name with characters the table keeps as
  // references.
  void PutRecords() {
    cattest::AppendSections(dir_, {{1, 0, cattest::Cp1251("Первый")},
                                   {2, 0, cattest::Cp1251("Второй")},
                                   {3, 0, cattest::Cp1251("Третий")}});
    Put(dir_, catalogue::kType,
        {{{"TYPE_ID", "1"}, {"TYPE_NAME", "Сайт"}, {"TYPRPRESTR", "http://"}},
         {{"TYPE_ID", "2"}, {"TYPE_NAME", "Архив"}, {"TYPRPRESTR", "ftp://"}}});
    const char* names[] = {"Индекс статей", "Ёлочные игрушки", "Weather in МОСКВА",
                           "CDX format guide", "Форум любителей", "Рецепт борща"};
    const char* descrs[] = {"", "Описание про ёлку и индекс", "погода, москва, weather",
                            "compound index files", "обсуждение: Форум и ЕЛКА", "вкусно"};
    for (int id = 1; id <= 30; ++id) {
      records_.push_back({id,
                          "www.site" + std::to_string(id) + ".example/" +
                              (id % 4 == 0 ? "cdx-index" : "page"),
                          names[id % 6] + std::string(" ") + std::to_string(id),
                          descrs[(id * 7) % 6],
                          id % 3 == 0 ? "2" : "1",
                          {1 + id % 3},
                          false});
    }
    std::string whole = "www.long.example/search?q=";
    whole.append(120, 'x');
    whole += "&tail=quokka";
    records_.push_back({31, whole, "Длинный адрес", "", "1", {2}, false});
    records_.push_back({32, "www.gone.example/", "Индекс удалённый", "индекс ёлка", "1", {1},
                        true});
    records_.push_back({33, "www.m.example/", "München Straße", "", "1", {3}, false});
    records_.push_back({34, "www.note.example/", "Заметка", "только здесь: палимпсест", "1",
                        {}, false});
    std::vector<apptest::Values> rows;
    std::vector<std::pair<int, int>> memberships;
    for (const SearchRecord& r : records_) {
      rows.push_back({{"URL_ID", std::to_string(r.id)},
                      {"URL", r.address.substr(0, catalogue::kUrlFieldLength)},
                      {"NAME", AsStored(r.name)},
                      {"DESCR", AsStored(r.descr)},
                      {"ADRESTYPE", r.type}});
      for (int section : r.sections) {
        memberships.emplace_back(section, r.id);
      }
    }
    Put(dir_, catalogue::kUrls, rows);
    cattest::AppendMemberships(dir_, memberships);
    cattest::EngineConnection c(dir_);
    catalogue::WholeAddresses longOnes(c.handle());
    ASSERT_EQ(longOnes.OpenIfPresent(dir_.string()), 0);
    ASSERT_EQ(longOnes.Stage(31, platform::Utf8ToCp1251(whole)), 0);
    ASSERT_EQ(longOnes.Close(), 0);
    XDSHANDLE urls = 0;
    ASSERT_EQ(catalogue::OpenCatalogueTable(
                  c.handle(), catalogue::CatalogueTables()[catalogue::kUrls], false, &urls),
              0);
    ASSERT_EQ(XdsGotoRecord(urls, 32), 0);
    ASSERT_EQ(XdsDeleteRecord(urls), 0);
    ASSERT_EQ(XdsWriteRecord(urls), 0);
    ASSERT_EQ(XdsCloseTable(urls), 0);
  }

  // Types `text` into the box as it stands (replacing what it holds) and
  // waits for the search to finish.
  void Search(const QString& text) {
    form_->EditSearchAll->setText(text);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form_->SearchAllDone(); }, 10000));
  }
  // What the list must show for `text`: the records of the whole list, in
  // its order, that match; `marked`: with the section filter on, the marked
  // sections.
  std::vector<int> Expected(const std::vector<int>& whole, const QString& text) const {
    std::vector<int> ids;
    for (int id : whole) {
      for (const SearchRecord& r : records_) {
        if (r.id == id && Matches(r, text)) {
          ids.push_back(id);
        }
      }
    }
    return ids;
  }
  std::vector<int> WholeList() {
    const QString text = form_->EditSearchAll->text();
    form_->EditSearchAll->clear();
    std::vector<int> ids = Shown();
    form_->EditSearchAll->setText(text);
    EXPECT_TRUE(QTest::qWaitFor([&] { return form_->SearchAllDone(); }, 10000));
    return ids;
  }
  SearchRecord& Record(int id) {
    for (SearchRecord& r : records_) {
      if (r.id == id) {
        return r;
      }
    }
    throw std::out_of_range("no record " + std::to_string(id));
  }
  QString Count() const { return form_->LabelSearchAllCount->text(); }

  std::vector<SearchRecord> records_;
};

TEST_F(SearchAllTest, NarrowsToEveryWordInEveryOrderWithTheSectionFilterOffAndOn) {
  PutRecords();
  TForm1* form = Start();
  std::vector<int> initial = Shown();
  std::sort(initial.begin(), initial.end());
  const QString texts[] = {
      "индекс",      "ИНДЕКС форум", "ёлка",   "ЕЛКА",        "москва WEATHER", "cdx",
      "index  cdx",  "example",      "quokka", "палимпсест",  "MÜNCHEN",        "straße",
      "site1",       "1 site",       "нетакого", "e"};
  struct Order {
    int column;  // -1: the id order start-up leaves
    const char* index;
  } orders[] = {{-1, "URL_ID"}, {0, "URL"}, {1, "NAME"}, {2, "ADRESTYPE"}};
  for (bool filter : {false, true}) {
    if (filter) {
      QTest::mouseClick(form->Panel2, Qt::LeftButton);
      ClickMark(form->TreeView1, 1);
      ClickMark(form->TreeView1, 3);
    }
    form->HDSUrls->SetIndexName("URL_ID");
    for (const Order& order : orders) {
      if (order.column >= 0) {
        form->DBGrid1TitleClick(order.column);
      }
      ASSERT_EQ(form->HDSUrls->IndexName(), order.index);
      const std::vector<int> whole = WholeList();
      for (const QString& text : texts) {
        Search(text);
        const std::vector<int> expected = Expected(whole, text);
        EXPECT_EQ(Shown(), expected) << text.toStdString() << " in " << order.index
                                     << (filter ? " with the filter on" : "");
        EXPECT_EQ(Count(), QString("Найдено: %1").arg(expected.size())) << text.toStdString();
        EXPECT_TRUE(form->SearchAllActive());
      }
    }
  }
  // A word only in the whole address's tail, beyond the URL field.
  QTest::mouseClick(form->Panel2, Qt::LeftButton);
  Search("quokka");
  EXPECT_EQ(Shown(), std::vector<int>{31});
  form->EditSearchAll->clear();
  EXPECT_FALSE(form->SearchAllActive());
  EXPECT_EQ(Count(), "");
  std::vector<int> after = Shown();
  std::sort(after.begin(), after.end());
  EXPECT_EQ(after, initial);
}

TEST_F(SearchAllTest, KeysFindTheBoxNarrowAndGiveTheListBackWithItsCurrentRecord) {
  PutRecords();
  TForm1* form = Start();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
  form->DBGrid1->setFocus();
  const std::vector<int> whole = Shown();
  QTest::keyClick(form->DBGrid1, Qt::Key_F, Qt::ControlModifier);
  ASSERT_EQ(QApplication::focusWidget(), form->EditSearchAll);
  // Each key replaces the search before; the list shows the last one's.
  Type(form->EditSearchAll, "форум ел");
  QTest::keyClick(form->EditSearchAll, Qt::Key_Backspace);
  Type(form->EditSearchAll, "лка");
  ASSERT_TRUE(QTest::qWaitFor([&] { return form->SearchAllDone(); }, 10000));
  const std::vector<int> narrowed = Expected(whole, "форум елка");
  ASSERT_GE(narrowed.size(), 2u);
  EXPECT_EQ(Shown(), narrowed);
  form->HDSUrls->Next();
  const int current = CurrentId();
  ASSERT_EQ(current, narrowed[1]);
  // Esc: the whole list, the same record current.
  QTest::keyClick(form->EditSearchAll, Qt::Key_Escape);
  EXPECT_EQ(form->EditSearchAll->text(), "");
  EXPECT_FALSE(form->SearchAllActive());
  EXPECT_EQ(CurrentId(), current);
  EXPECT_EQ(Shown(), whole);
  // A search that finds nothing, then emptied: the record current before it.
  ASSERT_TRUE(form->HDSUrls->Locate("URL_ID", TVariant(7), 0));
  Type(form->EditSearchAll, "нетакогослова");
  ASSERT_TRUE(QTest::qWaitFor([&] { return form->SearchAllDone(); }, 10000));
  EXPECT_TRUE(form->HDSUrls->IsEmpty());
  EXPECT_EQ(Count(), "Найдено: 0");
  QTest::keyClick(form->EditSearchAll, Qt::Key_Escape);
  EXPECT_EQ(CurrentId(), 7);
  // Enter goes to the list.
  Type(form->EditSearchAll, "cdx");
  QTest::keyClick(form->EditSearchAll, Qt::Key_Return);
  EXPECT_EQ(QApplication::focusWidget(), form->DBGrid1);
  EXPECT_TRUE(QTest::qWaitFor([&] { return form->SearchAllDone(); }, 10000));
  EXPECT_EQ(Shown(), Expected(whole, "cdx"));
}

TEST_F(SearchAllTest, CommandsWorkOnTheNarrowedListAndTheNarrowingHoldsAfterThem) {
  PutRecords();
  TForm1* form = Start();
  Search("индекс");
  std::vector<int> whole = WholeList();
  ASSERT_EQ(Shown(), Expected(whole, "индекс"));
  // A new record that matches joins the list and is current.
  WithEditor([&] { QTest::mouseClick(form->ToolButton1, Qt::LeftButton); },
             [&](TForm2* editor) {
               Type(editor->DBEdit1, "www.new.example/");
               Type(editor->DBEdit2, "Новый");
               Type(editor->DBMemo1, "Ещё один ИНДЕКС");
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  records_.push_back({35, "www.new.example/", "Новый", "Ещё один ИНДЕКС", "", {}, false});
  ASSERT_TRUE(QTest::qWaitFor([&] { return form->SearchAllDone(); }, 10000));
  EXPECT_EQ(CurrentId(), 35);
  whole = WholeList();
  EXPECT_EQ(Shown(), Expected(whole, "индекс"));
  EXPECT_EQ(Count(), QString("Найдено: %1").arg(Expected(whole, "индекс").size()));
  // An edit that takes the word away takes the record out of the list.
  ASSERT_TRUE(form->HDSUrls->Locate("URL_ID", TVariant(6), 0));
  WithEditor([&] { QTest::mouseClick(form->ToolButton2, Qt::LeftButton); },
             [&](TForm2* editor) {
               editor->DBEdit2->setFocus();
               editor->DBEdit2->selectAll();
               QTest::sendKeyEvent(QTest::Click, editor->DBEdit2, Qt::Key_unknown,
                                   QString("Без слова"), Qt::NoModifier);
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  Record(6).name = "Без слова";
  ASSERT_TRUE(QTest::qWaitFor([&] { return form->SearchAllDone(); }, 10000));
  EXPECT_EQ(Shown(), Expected(whole, "индекс"));
  // An edit that gives a record of the narrowed list one more word: found
  // by it too.
  const int edited = Shown().front();
  ASSERT_TRUE(form->HDSUrls->Locate("URL_ID", TVariant(edited), 0));
  WithEditor([&] { QTest::mouseClick(form->ToolButton2, Qt::LeftButton); },
             [&](TForm2* editor) {
               Type(editor->DBMemo1, " палимпсест");
               QTest::mouseClick(editor->Button1, Qt::LeftButton);
             });
  Record(edited).descr += " палимпсест";
  ASSERT_TRUE(QTest::qWaitFor([&] { return form->SearchAllDone(); }, 10000));
  EXPECT_EQ(Shown(), Expected(whole, "индекс"));
  Search("палимпсест");
  EXPECT_EQ(Shown(), Expected(whole, "палимпсест"));
  EXPECT_EQ(Shown().size(), 2u);
  // A delete from the narrowed list: gone, and the count follows.
  Search("индекс");
  const std::vector<int> before = Shown();
  ASSERT_GE(before.size(), 2u);
  ASSERT_TRUE(form->HDSUrls->Locate("URL_ID", TVariant(before[1]), 0));
  QTest::mouseClick(form->ToolButton3, Qt::LeftButton);
  Record(before[1]).deleted = true;
  ASSERT_TRUE(QTest::qWaitFor([&] { return form->SearchAllDone(); }, 10000));
  EXPECT_EQ(Shown(), Expected(whole, "индекс"));
  EXPECT_EQ(Count(), QString("Найдено: %1").arg(before.size() - 1));
  // The section commands on the narrowed list: marking a section with the
  // filter on narrows it further, and the count with it.
  QTest::mouseClick(form->Panel2, Qt::LeftButton);
  ClickMark(form->TreeView1, 2);
  ASSERT_TRUE(QTest::qWaitFor([&] { return form->SearchAllDone(); }, 10000));
  whole = WholeList();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form->SearchAllDone(); }, 10000));
  EXPECT_EQ(Shown(), Expected(whole, "индекс"));
  EXPECT_EQ(Count(), QString("Найдено: %1").arg(Expected(whole, "индекс").size()));
}

}  // namespace
