#include <sys/stat.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QScreen>
#include <QSplitter>
#include <QToolButton>

#include "app_test_support.h"
#include "controls.h"
#include "dbgrid.h"

namespace apptest {
namespace {

using MainWindowTest = WorkingDirTest;

TEST_F(MainWindowTest, DeclaresEveryComponentByName) {
  TForm1* form = MakeForm();
  const char* widgets[] = {
      "Panel1",      "ToolBar2",    "TreeView1",   "Panel2",       "Splitter2",    "Panel3",
      "ToolBar1",    "Panel4",      "Panel5",      "Label1",       "Edit1",        "Splitter4",
      "Panel6",      "Label2",      "Edit2",       "DBGrid1",      "Splitter5",    "DBMemo1",
      "ToolButton1", "ToolButton2", "ToolButton3", "ToolButton4",  "ToolButton5",  "ToolButton6",
      "ToolButton7", "ToolButton8", "ToolButton9", "ToolButton10", "ToolButton11", "ToolButton12",
      "ToolButton13"};
  for (const char* name : widgets) {
    EXPECT_NE(form->findChild<QWidget*>(name), nullptr) << name;
  }
  ASSERT_NE(form->DataSource1, nullptr);
  EXPECT_EQ(form->DataSource1->Name(), "DataSource1");
  EXPECT_EQ(form->DataSource1->DataSet(), form->HDSUrls);
  EXPECT_EQ(form->DBGrid1->DataSource(), form->DataSource1);
  EXPECT_EQ(form->DBMemo1->DataSource(), form->DataSource1);
  struct ImageCount {
    const char* name;
    int count;
  } lists[] = {{"ImageList1", 8}, {"ImageList2", 3}, {"ImageList3", 5}};
  for (const ImageCount& l : lists) {
    auto* list = form->findChild<TImageList*>(l.name);
    ASSERT_NE(list, nullptr) << l.name;
    EXPECT_EQ(list->Count(), l.count) << l.name;
    for (int i = 0; i < l.count; ++i) {
      EXPECT_FALSE(list->Icon(i).pixmap(16, 16).isNull()) << l.name << " " << i;
    }
  }
  EXPECT_EQ(form->windowTitle(), "Tavo Url Manager 2.0");
  EXPECT_EQ(form->font().pointSize(), 8);
  EXPECT_EQ(form->objectName(), "Form1");
}

TEST_F(MainWindowTest, ToolButtonsShowHintsAndPictures) {
  TForm1* form = MakeForm();
  struct Button {
    const char* name;
    const char* bar;
    int left;  // from the bar's first button
    int width;
    int image;
    const char* hint;
  } buttons[] = {
      {"ToolButton1", "ToolBar1", 0, 28, 0, "Новый URL"},
      {"ToolButton2", "ToolBar1", 28, 28, 1, "Редактировать URL"},
      {"ToolButton3", "ToolBar1", 56, 28, 2, "Удалить URL"},
      {"ToolButton4", "ToolBar1", 84, 28, 3, "Сохранить URL"},
      {"ToolButton6", "ToolBar1", 112, 28, 5, "Справочник типов ссылок"},
      {"ToolButton5", "ToolBar1", 140, 28, 6, "Просмотреть URL в браузере"},
      {"ToolButton7", "ToolBar1", 168, 28, 7, "О программе"},
      {"ToolButton8", "ToolBar2", 0, 23, 0, "Добавить в текущий уровень"},
      {"ToolButton9", "ToolBar2", 23, 23, 1, "Добавить в дочерний уровень"},
      {"ToolButton10", "ToolBar2", 46, 23, 2, "Удалить"},
      {"ToolButton11", "ToolBar2", 69, 23, 3, "Развернуть все"},
      {"ToolButton12", "ToolBar2", 92, 23, 4, "Свернуть все"},
  };
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
  for (const Button& b : buttons) {
    auto* button = form->findChild<QToolButton*>(b.name);
    ASSERT_NE(button, nullptr) << b.name;
    auto* bar = form->findChild<TToolBar*>(b.bar);
    EXPECT_EQ(button->parentWidget(), bar) << b.name;
    auto* first = bar->findChildren<QToolButton*>().front();
    EXPECT_EQ(button->x() - first->x(), b.left) << b.name;
    EXPECT_EQ(button->width(), b.width) << b.name;
    EXPECT_EQ(button->toolTip(), b.hint) << b.name;
    EXPECT_EQ(button->property("imageIndex").toInt(), b.image) << b.name;
    EXPECT_EQ(button->icon().cacheKey(), bar->Images()->Icon(b.image).cacheKey()) << b.name;
  }
  EXPECT_EQ(form->ToolBar1->Images(), form->ImageList1);
  EXPECT_EQ(form->ToolBar2->Images(), form->ImageList3);
  EXPECT_EQ(form->TreeView1->Images(), form->ImageList2);
}

TEST_F(MainWindowTest, ServiceButtonComesLastWithItsMenu) {
  TForm1* form = MakeForm();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
  auto* service = form->findChild<QToolButton*>("ToolButton13");
  ASSERT_NE(service, nullptr);
  EXPECT_EQ(service->parentWidget(), form->ToolBar1);
  EXPECT_EQ(service->text(), "Сервис");
  EXPECT_FALSE(service->toolTip().isEmpty());
  // After the About button; the buttons before it keep their places.
  EXPECT_EQ(service->x(), form->ToolButton7->x() + form->ToolButton7->width());
  EXPECT_EQ(form->ToolButton7->x() - form->ToolButton1->x(), 168);
  EXPECT_GE(service->width(), service->fontMetrics().horizontalAdvance(service->text()));
  EXPECT_EQ(service->popupMode(), QToolButton::InstantPopup);
  ASSERT_EQ(service->menu(), form->ServiceMenu);
  const QList<QAction*> actions = form->ServiceMenu->actions();
  const std::pair<const char*, const char*> expected[] = {
      {"actionImportBookmarks", "Импорт закладок…"},
      {"actionExportBookmarks", "Экспорт закладок…"},
      {"actionFindDuplicates", "Найти дубликаты…"},
      {"actionCheckLinks", "Проверить ссылки…"},
  };
  ASSERT_EQ(actions.size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    EXPECT_EQ(actions[int(i)]->objectName(), expected[i].first);
    EXPECT_EQ(actions[int(i)]->text(), QString::fromUtf8(expected[i].second));
    EXPECT_FALSE(actions[int(i)]->toolTip().isEmpty()) << expected[i].first;
  }
}

TEST_F(MainWindowTest, LayoutFollowsTheDeclaration) {
  TForm1* form = MakeForm();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
  EXPECT_TRUE(form->windowState() & Qt::WindowMaximized);
  EXPECT_EQ(form->normalGeometry().size(), QSize(536, 374));

  // Panel1 on the left, Panel3 filling the rest beyond the 2-pixel splitter.
  EXPECT_EQ(form->Panel1->geometry().topLeft(), QPoint(0, 0));
  EXPECT_EQ(form->Panel1->width(), 137);
  EXPECT_EQ(form->Panel1->minimumWidth(), 115);
  EXPECT_EQ(form->Panel3->x(), 139);
  EXPECT_EQ(form->Panel3->x() + form->Panel3->width(), form->width());
  EXPECT_EQ(form->Splitter2->handleWidth(), 2);
  EXPECT_TRUE(form->Splitter2->opaqueResize());
  // In Panel1: the tool bar on top, the filter panel at the bottom, the tree between.
  EXPECT_EQ(form->ToolBar2->geometry(), QRect(0, 0, 137, 29));
  EXPECT_EQ(form->Panel2->height(), 23);
  EXPECT_EQ(form->Panel2->y() + 23, form->Panel1->height());
  EXPECT_EQ(form->TreeView1->y(), 29);
  EXPECT_EQ(form->TreeView1->y() + form->TreeView1->height(), form->Panel2->y());
  EXPECT_EQ(form->TreeView1->indentation(), 19);
  EXPECT_TRUE(form->TreeView1->SortedByText());
  // In Panel3: tool bar, search row, grid, splitter and memo from top to bottom.
  EXPECT_EQ(form->ToolBar1->geometry().topLeft(), QPoint(0, 0));
  EXPECT_EQ(form->ToolBar1->height(), 29);
  EXPECT_EQ(form->Panel4->geometry(), QRect(0, 29, form->Panel3->width(), 36));
  EXPECT_EQ(form->Splitter5->y(), 65);
  EXPECT_EQ(form->DBMemo1->height(), 55);
  EXPECT_EQ(form->Splitter5->handleWidth(), 2);
  EXPECT_EQ(form->Splitter5->orientation(), Qt::Vertical);
  // The search row.
  EXPECT_EQ(form->Panel5->width(), 200);
  EXPECT_EQ(form->Splitter4->handleWidth(), 2);
  EXPECT_FALSE(form->Splitter4->opaqueResize());
  EXPECT_EQ(form->Label1->pos(), QPoint(4, 2));
  EXPECT_EQ(form->Label2->pos(), QPoint(4, 2));
  EXPECT_EQ(form->Label1->text(), "Поиск по URL");
  EXPECT_EQ(form->Label2->text(), "Поиск по названию");
  EXPECT_EQ(form->Edit1->geometry(), QRect(0, 16, 200, 21));
  EXPECT_EQ(form->Edit2->geometry(), QRect(0, 16, form->Panel6->width(), 21));

  const QColor teal("#0E9C95");
  for (TPanel* p : {form->Panel1, form->Panel2, form->Panel3, form->Panel5, form->Panel6}) {
    EXPECT_EQ(p->Color(), teal) << p->objectName().toStdString();
    EXPECT_EQ(p->palette().color(QPalette::Window), teal) << p->objectName().toStdString();
  }
  EXPECT_EQ(form->palette().color(QPalette::Window), teal);
  EXPECT_EQ(form->Panel2->frameShape(), QFrame::Panel);
  EXPECT_EQ(form->Panel5->frameShape(), QFrame::NoFrame);

  EXPECT_EQ(form->DBGrid1->ColumnFields(), QStringList({"URL", "NAME", "URL_TYPE"}));
  EXPECT_EQ(form->DBGrid1->ColumnTitle(0), "URL");
  EXPECT_EQ(form->DBGrid1->ColumnTitle(1), "Название");
  EXPECT_EQ(form->DBGrid1->ColumnTitle(2), "Тип");
  EXPECT_EQ(form->DBGrid1->RowCount(), 0);
  EXPECT_EQ(form->DBMemo1->DataField(), "DESCR");
}

TEST_F(MainWindowTest, DraggingSplitter4MovesBothSearchBoxes) {
  TForm1* form = MakeForm();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
  int edit2Before = form->Edit2->width();
  QWidget* handle = form->Splitter4->handle(1);
  QPoint grip(handle->width() / 2, handle->height() / 2);
  QTest::mousePress(handle, Qt::LeftButton, {}, grip);
  QTest::mouseMove(handle, grip + QPoint(100, 0));
  QTest::mouseRelease(handle, Qt::LeftButton, {}, grip + QPoint(100, 0));
  int gained = form->Panel5->width() - 200;
  EXPECT_NEAR(gained, 100, 2);
  EXPECT_EQ(form->Edit1->width(), form->Panel5->width());
  EXPECT_EQ(form->Edit2->width(), form->Panel6->width());
  EXPECT_EQ(form->Edit2->width(), edit2Before - gained);
}

TEST_F(MainWindowTest, F4WithoutModifiersReachesTheWindowFirst) {
  TWatchedForm* form = MakeForm();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
  form->activateWindow();
  form->Edit1->setFocus();
  struct Case {
    Qt::Key key;
    Qt::KeyboardModifiers mods;
    int editCommands;
  } cases[] = {
      {Qt::Key_F4, Qt::NoModifier, 1},      {Qt::Key_F4, Qt::ShiftModifier, 0},
      {Qt::Key_F4, Qt::ControlModifier, 0}, {Qt::Key_F4, Qt::AltModifier, 0},
      {Qt::Key_F3, Qt::NoModifier, 0},
  };
  for (const Case& c : cases) {
    form->keys.clear();
    form->editUrlCommands = 0;
    QTest::keyClick(form->Edit1, c.key, c.mods);
    ASSERT_EQ(form->keys.size(), 1u) << c.key << " " << c.mods;
    EXPECT_EQ(form->keys[0].first, c.key);
    EXPECT_EQ(form->keys[0].second, c.mods);
    EXPECT_EQ(form->editUrlCommands, c.editCommands) << c.key << " " << c.mods;
  }
  // The window sees a key before the focused control does, and the control
  // still gets it; keys in the grid reach the window too.
  form->keys.clear();
  QTest::keyClick(form->Edit1, Qt::Key_A);
  ASSERT_EQ(form->edit1AtKey.size(), 6u);
  EXPECT_EQ(form->edit1AtKey.back(), "");
  EXPECT_EQ(form->Edit1->text(), "a");
  form->DBGrid1->setFocus();
  form->editUrlCommands = 0;
  QTest::keyClick(form->DBGrid1, Qt::Key_F4);
  EXPECT_EQ(form->editUrlCommands, 1);
}

TEST_F(MainWindowTest, EveryPressOnTheTreeReachesTreeView1MouseDown) {
  TWatchedForm* form = MakeForm();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
  QWidget* viewport = form->TreeView1->viewport();
  const QPoint at(10, 5);
  // Through the window system, as a real mouse: a click, then a double click,
  // whose second press counts as a press of its own.
  QPoint inWindow = viewport->mapTo(form, at);
  QTest::mouseClick(form->windowHandle(), Qt::LeftButton, {}, inWindow);
  EXPECT_EQ(form->treeMouseDowns, std::vector<QPoint>({at}));
  form->treeMouseDowns.clear();
  QTest::mouseDClick(form->windowHandle(), Qt::LeftButton, {}, inWindow);
  EXPECT_EQ(form->treeMouseDowns, std::vector<QPoint>({at, at}));
}

TEST_F(MainWindowTest, FailingHandlerIsShownAndTheProgramGoesOn) {
  TWatchedForm* form = MakeForm();
  form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(form));
  form->failNewUrl = true;
  QString text;
  {
    guitest::ModalWatcher watcher([&](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      ASSERT_NE(box, nullptr);
      text = box->text();
      EXPECT_EQ(box->icon(), QMessageBox::Critical);
      box->button(QMessageBox::Ok)->click();
    });
    QTest::mouseClick(form->ToolButton1, Qt::LeftButton);
    EXPECT_EQ(watcher.Seen(), 1);
  }
  EXPECT_EQ(text, "Table HDSUrls: cannot append");
  EXPECT_TRUE(form->isVisible());
  QTest::mouseClick(form->ToolButton2, Qt::LeftButton);
  EXPECT_EQ(form->editUrlCommands, 1);
}

TEST_F(MainWindowTest, WorkingDirectoryIsTheCurrentDirectory) {
  TForm1* form = MakeForm();
  EXPECT_EQ(Form1, form);
  EXPECT_EQ(std::filesystem::path(WorkingDirectory), std::filesystem::current_path());
  EXPECT_EQ(SettingsFileName(), WorkingDirectory + "/tavo.ini");
}

}  // namespace
}  // namespace apptest
