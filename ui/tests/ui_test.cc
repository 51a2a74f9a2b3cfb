#include <QAbstractButton>
#include <QCollator>
#include <QApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <algorithm>
#include <stdexcept>

#include "controls.h"
#include "dbgrid.h"
#include "exception_handler.h"
#include "gui_test_support.h"
#include "message_box.h"
#include "qt_text.h"
#include "ui_tables.h"

namespace {

struct BoxSeen {
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  int buttons = 0;
  bool modal = false;
};

guitest::ModalWatcher WatchBox(BoxSeen* seen) {
  return guitest::ModalWatcher([seen](QWidget* w) {
    auto* box = qobject_cast<QMessageBox*>(w);
    ASSERT_NE(box, nullptr);
    seen->title = box->windowTitle();
    seen->text = box->text();
    seen->icon = box->icon();
    seen->buttons = static_cast<int>(box->buttons().size());
    seen->modal = box->isModal();
    box->button(QMessageBox::Ok)->click();
  });
}

TEST(MessageBoxTest, ErrorAndPlainBoxes) {
  BoxSeen seen;
  {
    auto watcher = WatchBox(&seen);
    ui::ShowErrorBox(nullptr, "Раздел содержит подразделы");
    EXPECT_EQ(watcher.Seen(), 1);
  }
  EXPECT_EQ(seen.title, "Error");
  EXPECT_EQ(seen.text, "Раздел содержит подразделы");
  EXPECT_EQ(seen.icon, QMessageBox::Critical);
  EXPECT_EQ(seen.buttons, 1);
  EXPECT_TRUE(seen.modal);
  {
    auto watcher = WatchBox(&seen);
    ui::ShowMessage("ошибка № 2");
  }
  EXPECT_EQ(seen.title, "Tavo Url Manager 2.0");
  EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
  EXPECT_EQ(seen.buttons, 1);
}

// An object whose event handler fails, as a control's handler may.
class TThrower : public QObject {
 public:
  bool event(QEvent* e) override {
    if (e->type() == QEvent::User) {
      throw std::runtime_error("\xce\xf8\xe8\xe1\xea\xe0 in event");
    }
    return QObject::event(e);
  }
};

TEST(ExceptionHandlerTest, HandlerFailureIsShownAndTheProgramGoesOn) {
  BoxSeen seen;
  int after = 0;
  {
    auto watcher = WatchBox(&seen);
    QTimer timer;
    timer.setSingleShot(true);
    QObject::connect(&timer, &QTimer::timeout, [] {
      ui::CallGuarded([] { throw std::runtime_error("Table HDSUrls: file not found"); });
    });
    timer.start(0);
    QTest::qWait(50);
    ++after;
    EXPECT_EQ(watcher.Seen(), 1);
  }
  EXPECT_EQ(after, 1);
  EXPECT_EQ(seen.text, "Table HDSUrls: file not found");
  EXPECT_EQ(seen.icon, QMessageBox::Critical);

  // The application's own net, for an exception leaving an event handler.
  {
    auto watcher = WatchBox(&seen);
    TThrower thrower;
    QEvent e(QEvent::User);
    EXPECT_FALSE(QApplication::sendEvent(&thrower, &e));
    EXPECT_EQ(watcher.Seen(), 1);
  }
  EXPECT_EQ(seen.text, "Ошибка in event");

  {
    auto watcher = WatchBox(&seen);
    ui::CallGuarded([] { throw 42; });
  }
  EXPECT_EQ(seen.text, "Unknown exception");
}

TEST(TextTest, ConvertsAtTheEdge) {
  EXPECT_EQ(ui::ToQString("\xd2\xe8\xef"), "Тип");
  EXPECT_EQ(ui::FromQString("Тип 中"), "\xd2\xe8\xef &#20013;");
  EXPECT_EQ(ui::ToQString("\xd2\xe8\xef &#20013; &#38;#"), "Тип 中 &#");
}

// A field's text by its kind: references cut whole to the field's size, an
// address percent-encoded and shown as stored.
TEST(TextTest, FieldsCutTextBetweenReferences) {
  uitest::UrlTables tables(1);
  TField& name = *tables.urls.FieldByName("NAME");  // 30 bytes
  TField& url = *tables.urls.FieldByName("URL");
  url.SetTextKind(tkAddress);
  const QString han = QString(8, QChar(0x4E2D));  // 64 bytes as references
  EXPECT_EQ(ui::StoredLength(han, name), 64u);
  EXPECT_EQ(ui::FromQString(han, name), std::string("&#20013;&#20013;&#20013;"));
  EXPECT_EQ(ui::FromQString("abcdefghijklmnopqrstuvwxyz&#", name), "abcdefghijklmnopqrstuvwxyz");
  EXPECT_EQ(ui::FromQString("http://a/ü&#1;", url), "http://a/%C3%BC&#1;");
  EXPECT_EQ(ui::ToQString("http://a/&#252;", url), "http://a/&#252;");
  EXPECT_EQ(ui::ToQString("M&#252;nchen", name), "München");
  // A lookup field shows its lookup table's text.
  EXPECT_EQ(ui::ToQString("&#20013;", *tables.urlType), "中");
}

// A tree label's length counts stored bytes too; an emoji goes or stays whole.
TEST(TextTest, ATreeLabelKeepsToItsStoredLength) {
  TTreeView tree;
  auto* node = new TTreeNode();
  node->setText(0, "x");
  node->setFlags(node->flags() | Qt::ItemIsEditable);
  tree.addTopLevelItem(node);
  tree.SetLabelLength(20, "too long");
  tree.show();
  tree.setCurrentItem(node);
  tree.editItem(node);
  auto* line = qobject_cast<QLineEdit*>(tree.indexWidget(tree.currentIndex()));
  ASSERT_NE(line, nullptr);
  QSignalSpy rejected(line, &QLineEdit::inputRejected);
  line->selectAll();
  QTest::keyClicks(line, "ab");
  // "ab" and two references of nine bytes: 20; the third does not fit.
  for (const QString c : {"😀", "😀", "😀"}) {
    QTest::sendKeyEvent(QTest::Click, line, Qt::Key_unknown, c, Qt::NoModifier);
  }
  EXPECT_EQ(line->text(), "ab😀😀");
  EXPECT_EQ(rejected.count(), 1);
  EXPECT_EQ(ui::FromQString(line->text()), "ab&#128512;&#128512;");
}

TEST(DBGridTest, ShowsDeclaredColumnsWithoutRows) {
  TDBGrid grid;
  grid.SetColumnFields({"URL", "NAME", "URL_TYPE"});
  grid.SetColumnTitles({"", "Название", "Тип"});
  grid.SetColumnWidths({"164", "147", ""});
  ASSERT_EQ(grid.ColumnCount(), 3);
  EXPECT_EQ(grid.ColumnTitle(0), "URL");
  EXPECT_EQ(grid.ColumnTitle(1), "Название");
  EXPECT_EQ(grid.ColumnTitle(2), "Тип");
  EXPECT_EQ(grid.ColumnWidth(0), 164);
  EXPECT_EQ(grid.ColumnWidth(1), 147);
  EXPECT_EQ(grid.ColumnWidth(2), grid.TitleRow()->defaultSectionSize());
  EXPECT_EQ(grid.RowCount(), 0);
  grid.SetColumnWidth(1, -5);
  EXPECT_EQ(grid.ColumnWidth(1), 0);

  QSignalSpy spy(&grid, &TDBGrid::TitleClick);
  grid.resize(600, 200);
  grid.show();
  QHeaderView* header = grid.TitleRow();
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                    QPoint(header->sectionViewportPosition(2) + 5, 5));
  ASSERT_EQ(spy.count(), 1);
  EXPECT_EQ(spy[0][0].toInt(), 2);
}

TEST(ControlsTest, PanelReportsClickAndResize) {
  TPanel panel;
  panel.SetColor(QColor(14, 156, 149));
  EXPECT_EQ(panel.palette().color(QPalette::Window), QColor("#0E9C95"));
  QSignalSpy clicks(&panel, &TPanel::Click);
  QSignalSpy resizes(&panel, &TPanel::Resize);
  panel.resize(100, 30);
  panel.show();
  panel.resize(120, 30);
  QTest::mouseClick(&panel, Qt::LeftButton);
  EXPECT_EQ(clicks.count(), 1);
  EXPECT_GE(resizes.count(), 1);
}

// A double click is one click, as the first platform's controls report it: a
// double click on the filter panel switches the filter once, one on a link
// label opens its link once.
TEST(ControlsTest, DoubleClickIsOneClick) {
  QWidget window;
  window.resize(200, 60);
  auto* panel = new TPanel(&window);
  panel->setGeometry(0, 0, 100, 30);
  auto* label = new TLabel(&window);
  label->setText("link");
  label->setGeometry(0, 30, 100, 30);
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  QSignalSpy panelClicks(panel, &TPanel::Click);
  QSignalSpy labelClicks(label, &TLabel::Click);
  // Through the window system, as a real mouse.
  QTest::mouseDClick(window.windowHandle(), Qt::LeftButton, {}, QPoint(50, 15));
  QTest::mouseDClick(window.windowHandle(), Qt::LeftButton, {}, QPoint(50, 45));
  EXPECT_EQ(panelClicks.count(), 1);
  EXPECT_EQ(labelClicks.count(), 1);
  QTest::mouseClick(window.windowHandle(), Qt::LeftButton, {}, QPoint(50, 15));
  EXPECT_EQ(panelClicks.count(), 2);
}

TEST(ControlsTest, SortedTreeOrdersNodesAlphabetically) {
  TTreeView tree;
  tree.setColumnCount(1);
  tree.setSortingEnabled(true);
  tree.sortByColumn(0, Qt::AscendingOrder);
  for (const char* name : {"Ёлки", "банк", "Авто", "Банк", "Ель", "apple", "Zoo"}) {
    new TTreeNode(&tree, QStringList{QString::fromUtf8(name)});
  }
  auto order = [&tree] {
    QStringList names;
    for (int i = 0; i < tree.topLevelItemCount(); ++i) {
      names.append(tree.topLevelItem(i)->text(0));
    }
    return names;
  };
  EXPECT_EQ(order(), QStringList({"apple", "Zoo", "Авто", "банк", "Банк", "Ёлки", "Ель"}));
  // A node whose text changes moves to its new place among its siblings.
  tree.topLevelItem(0)->setText(0, "Яблоко");
  EXPECT_EQ(order(), QStringList({"Zoo", "Авто", "банк", "Банк", "Ёлки", "Ель", "Яблоко"}));
}

// The word order (hyphens and apostrophes passed over, then the name as it
// stands) holds for a sort of many names and for names renamed after it,
// whether the new name gains or loses a hyphen.
TEST(ControlsTest, SortedTreeKeepsTheWordOrderThroughRenames) {
  const QCollator collator(QLocale(QLocale::English, QLocale::UnitedStates));
  auto words = [](QString s) { return s.remove('-').remove('\''); };
  auto before = [&](const QString& a, const QString& b) {
    const int w = collator.compare(words(a), words(b));
    return w != 0 ? w < 0 : collator.compare(a, b) < 0;
  };
  QStringList names;
  const char* stems[] = {"Нов", "нов", "Мир", "O'Brien", "obrien", "Ob-rien", "--Новая", "ёж", "Еж"};
  const char* tails[] = {"", "-ая", "ости", "'s", " запись--", "1", "10", "2"};
  for (const char* stem : stems) {
    for (const char* tail : tails) {
      names.append(QString::fromUtf8(stem) + QString::fromUtf8(tail));
    }
  }
  TTreeView tree;
  tree.setColumnCount(1);
  tree.setSortingEnabled(true);
  tree.sortByColumn(0, Qt::AscendingOrder);
  for (const QString& name : names) {
    new TTreeNode(&tree, QStringList{name});
  }
  auto order = [&tree] {
    QStringList shown;
    for (int i = 0; i < tree.topLevelItemCount(); ++i) {
      shown.append(tree.topLevelItem(i)->text(0));
    }
    return shown;
  };
  auto expected = [&] {
    QStringList sorted = names;
    std::stable_sort(sorted.begin(), sorted.end(), before);
    return sorted;
  };
  EXPECT_EQ(order(), expected());
  // Renamed after the sort: two gain leading hyphens or an apostrophe (which
  // would put them first if they counted), one loses its hyphen, one only
  // changes case; each goes where its new name belongs.
  const std::pair<const char*, const char*> renames[] = {
      {"Мир", "--Мир"}, {"ёж2", "'ёж2"}, {"Ob-rien10", "Obrien10"}, {"нов", "НОВ"}};
  for (const auto& [from, to] : renames) {
    QTreeWidgetItem* node = tree.findItems(QString::fromUtf8(from), Qt::MatchExactly).value(0);
    ASSERT_NE(node, nullptr) << from;
    node->setText(0, QString::fromUtf8(to));
    names.replace(names.indexOf(QString::fromUtf8(from)), QString::fromUtf8(to));
  }
  EXPECT_EQ(order(), expected());
}

TEST(ControlsTest, PaintedIconsAreSharpAtDoubleScale) {
  TImageList list;
  list.Add([](QPainter& p) { p.fillRect(QRectF(0, 0, 8, 8), Qt::black); });
  ASSERT_EQ(list.Count(), 1);
  EXPECT_TRUE(list.Icon(5).isNull());
  QImage one = list.Icon(0).pixmap(QSize(16, 16), 1.0).toImage();
  QImage two = list.Icon(0).pixmap(QSize(16, 16), 2.0).toImage();
  ASSERT_EQ(one.size(), QSize(16, 16));
  ASSERT_EQ(two.size(), QSize(32, 32));
  EXPECT_EQ(qAlpha(one.pixel(7, 7)), 255);
  EXPECT_EQ(qAlpha(one.pixel(8, 8)), 0);
  EXPECT_EQ(qAlpha(two.pixel(15, 15)), 255);
  EXPECT_EQ(qAlpha(two.pixel(16, 16)), 0);

  TToolBar bar;
  auto* button = new QToolButton(&bar);
  button->setProperty("imageIndex", 0);
  bar.SetImages(&list);
  EXPECT_FALSE(button->icon().isNull());
}

}  // namespace
