#include "dbgrid.h"

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLineEdit>
#include <QScrollBar>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>

#include "numbered_dataset.h"
#include "qt_text.h"
#include "ui_tables.h"

namespace {

using uitest::UrlTables;

// A grid over the URL table's URL, NAME and URL_TYPE, shown offscreen.
struct GridFixture {
  UrlTables tables;
  TDBGrid grid;

  explicit GridFixture(int count, int height = 300) : tables(count) {
    grid.SetColumnFields({"URL", "NAME", "URL_TYPE"});
    grid.SetColumnTitles({"URL", "", ""});
    grid.SetColumnWidths({"120", "120", ""});
    grid.SetDataSource(&tables.source);
    grid.resize(500, height);
    grid.show();
    grid.setFocus();
    QApplication::processEvents();
  }
  TMemDataSet& Urls() { return tables.urls; }
  QString Current(const char* field) { return ui::ToQString(Urls().FieldByName(field)->AsString()); }
  void Key(Qt::Key key, Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QWidget* target = grid.EditorMode() ? grid.InplaceEditor() : &grid;
    QTest::keyClick(target, key, mods);
  }
  void Type(const QString& text) {
    for (QChar c : text) {
      uitest::TypeText(grid.EditorMode() ? grid.InplaceEditor() : &grid, QString(c));
    }
  }
  void ClickCell(int row, int column) {
    QTest::mouseClick(grid.viewport(), Qt::LeftButton, {}, grid.CellRect(row, column).center());
  }
};

TEST(DBGridTest, ShowsTheWindowOfRecordsWithLabelsAndLookupValues) {
  GridFixture f(100);
  TDBGrid& grid = f.grid;
  ASSERT_GT(grid.VisibleRowCount(), 3);
  EXPECT_EQ(grid.RowCount(), grid.VisibleRowCount());
  EXPECT_EQ(grid.ColumnTitle(0), "URL");
  EXPECT_EQ(grid.ColumnTitle(1), "Название");  // the field's display label
  EXPECT_EQ(grid.ColumnTitle(2), "Тип");
  EXPECT_EQ(grid.CellText(0, 0), "u1");
  EXPECT_EQ(grid.CellText(1, 1), "name2");
  EXPECT_EQ(grid.CellText(0, 2), "Сайт");
  EXPECT_EQ(grid.CellText(1, 2), "Почта");
  EXPECT_EQ(grid.Row(), 0);
  // The column without a declared width takes its field's display width.
  EXPECT_GT(grid.ColumnWidth(2), grid.fontMetrics().horizontalAdvance('0') * 100);

  // Without declared columns every visible field has one.
  TDBGrid all;
  f.tables.urls.FieldByName("DESCR")->SetVisible(false);
  all.SetDataSource(&f.tables.source);
  ASSERT_EQ(all.ColumnCount(), 4);
  EXPECT_EQ(all.ColumnTitle(3), "Тип");

  // Closing empties the grid; opening fills it again.
  f.tables.urls.Close();
  EXPECT_EQ(grid.RowCount(), 0);
  EXPECT_EQ(all.ColumnCount(), 0);
  f.tables.urls.Open();
  EXPECT_EQ(grid.CellText(0, 0), "u1");
  EXPECT_EQ(all.ColumnCount(), 4);
}

// The scroll bar's thumb centre, for dragging it as a user would.
QPoint ThumbCentre(QScrollBar* bar) {
  QStyleOptionSlider option;
  option.initFrom(bar);
  option.subControls = QStyle::SC_All;
  option.orientation = bar->orientation();
  option.minimum = bar->minimum();
  option.maximum = bar->maximum();
  option.sliderPosition = bar->sliderPosition();
  option.sliderValue = bar->value();
  option.singleStep = bar->singleStep();
  option.pageStep = bar->pageStep();
  option.upsideDown = bar->invertedAppearance();
  return bar->style()
      ->subControlRect(QStyle::CC_ScrollBar, &option, QStyle::SC_ScrollBarSlider, bar)
      .center();
}

TEST(DBGridTest, ScrollingAMillionRecordsReadsOnlyTheRowsShown) {
  const int kCount = 1000000;
  TNumberedDataSet numbers(kCount);
  TDataSource source;
  source.SetDataSet(&numbers);
  numbers.Open();
  TDBGrid grid;
  grid.SetColumnFields({"ID", "URL"});
  grid.SetDataSource(&source);
  grid.resize(400, 500);
  grid.show();
  grid.setFocus();
  QApplication::processEvents();
  const int rows = grid.VisibleRowCount();
  ASSERT_GT(rows, 10);
  QScrollBar* bar = grid.verticalScrollBar();
  EXPECT_EQ(bar->maximum(), kCount - 1);

  // Page Down from the top to the end: every record is read about once.
  QTest::keyClick(&grid, Qt::Key_Home, Qt::ControlModifier);
  numbers.ResetFetchCount();
  int pages = 0;
  while (!numbers.Eof()) {
    QTest::keyClick(&grid, Qt::Key_PageDown);
    ++pages;
  }
  EXPECT_EQ(numbers.RecNo(), kCount);
  EXPECT_EQ(pages, (kCount - 1) / rows + 1);
  EXPECT_LE(numbers.FetchCount(), kCount + 2 * pages);
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_EQ(grid.CellText(grid.Row(), 0), "1000000");

  // Ctrl+Home and Ctrl+End read one window each.
  numbers.ResetFetchCount();
  QTest::keyClick(&grid, Qt::Key_Home, Qt::ControlModifier);
  EXPECT_EQ(numbers.RecNo(), 1);
  EXPECT_EQ(bar->value(), 0);
  QTest::keyClick(&grid, Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(numbers.RecNo(), kCount);
  EXPECT_EQ(grid.CellText(rows - 1, 1), "http://site1000000.example/");
  EXPECT_LE(numbers.FetchCount(), 2 * (rows + 2));

  // Page Up from the end reads one page.
  numbers.ResetFetchCount();
  QTest::keyClick(&grid, Qt::Key_PageUp);
  EXPECT_EQ(numbers.RecNo(), kCount - rows);
  EXPECT_LE(numbers.FetchCount(), rows + 2);

  // Dragging the thumb to the middle jumps there, reading one window.
  numbers.ResetFetchCount();
  QPoint from = ThumbCentre(bar);
  QPoint to(from.x(), bar->height() / 2);
  QTest::mousePress(bar, Qt::LeftButton, {}, from);
  QTest::mouseMove(bar, to);
  QTest::mouseRelease(bar, Qt::LeftButton, {}, to);
  EXPECT_NEAR(numbers.RecNo(), kCount / 2, kCount / 20);
  EXPECT_LE(numbers.FetchCount(), 2 * (rows + 2));
  EXPECT_NEAR(bar->value(), bar->maximum() / 2, bar->maximum() / 20);
  EXPECT_EQ(grid.CellText(grid.Row(), 0).toInt(), numbers.RecNo());

  // The wheel moves by lines, reading only the rows that come into view.
  numbers.ResetFetchCount();
  int before = numbers.RecNo();
  QPoint centre = grid.viewport()->rect().center();
  QWheelEvent down(centre, grid.viewport()->mapToGlobal(centre), QPoint(), QPoint(0, -240),
                   Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(grid.viewport(), &down);
  EXPECT_EQ(numbers.RecNo(), before + 2 * QApplication::wheelScrollLines());
  EXPECT_LE(numbers.FetchCount(), 2 * QApplication::wheelScrollLines());

  // A click below the thumb pages on; the bar follows the record.
  int value = bar->value();
  bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
  EXPECT_GT(numbers.RecNo(), before + rows);
  EXPECT_GT(bar->value(), value);
}

TEST(DBGridTest, EditingACellPostsWhenTheRecordIsLeft) {
  GridFixture f(5);
  f.ClickCell(1, 1);
  EXPECT_EQ(f.Current("NAME"), "name2");
  EXPECT_EQ(f.grid.SelectedIndex(), 1);
  f.Type("Новое имя");
  ASSERT_TRUE(f.grid.EditorMode());
  EXPECT_EQ(f.Urls().State(), dsEdit);
  EXPECT_EQ(f.Current("NAME"), "name2");  // pending in the editor
  f.Key(Qt::Key_Down);
  EXPECT_EQ(f.Urls().State(), dsBrowse);
  EXPECT_EQ(f.Urls().RecNo(), 3);
  EXPECT_EQ(f.grid.CellText(1, 1), "Новое имя");
  f.Urls().Prior();
  // CP1251 in the record; what the code page cannot hold becomes "?".
  EXPECT_EQ(f.Urls().FieldByName("NAME")->AsString(), "\xcd\xee\xe2\xee\xe5 \xe8\xec\xff");

  // A second edit with a character outside the code page, posted by Enter
  // then a move by the mouse.
  f.ClickCell(1, 1);
  f.Key(Qt::Key_F2);
  f.Type("x中");
  f.Key(Qt::Key_Return);
  EXPECT_FALSE(f.grid.EditorMode());
  EXPECT_EQ(f.Urls().State(), dsEdit);
  f.ClickCell(0, 0);
  EXPECT_EQ(f.Urls().State(), dsBrowse);
  f.Urls().Next();
  EXPECT_EQ(f.Urls().FieldByName("NAME")->AsString(), "\xcd\xee\xe2\xee\xe5 \xe8\xec\xffx&#20013;");
}

TEST(DBGridTest, EscapeDropsTheTypedTextThenTheEdit) {
  GridFixture f(3);
  f.Type("abc");
  ASSERT_TRUE(f.grid.EditorMode());
  f.Key(Qt::Key_Escape);  // the text goes, the edit stays
  EXPECT_FALSE(f.grid.EditorMode());
  EXPECT_EQ(f.Urls().State(), dsEdit);
  EXPECT_EQ(f.grid.CellText(0, 0), "u1");
  f.Key(Qt::Key_Escape);  // the edit goes
  EXPECT_EQ(f.Urls().State(), dsBrowse);
  EXPECT_EQ(f.Current("URL"), "u1");

  // Pending text is handed in when the dataset posts on its own.
  f.Type("zz");
  f.Urls().Post();
  EXPECT_EQ(f.Current("URL"), "zz");
}

TEST(DBGridTest, CtrlDeleteAsksBeforeDeleting) {
  GridFixture f(3);
  f.Urls().Next();
  QString text;
  {
    auto watcher = uitest::AnswerBox(QMessageBox::Cancel, &text);
    f.Key(Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_EQ(watcher.Seen(), 1);
  }
  EXPECT_EQ(text, "Delete record?");
  EXPECT_EQ(f.Urls().StoredRecordCount(), 3);
  EXPECT_EQ(f.Current("URL"), "u2");
  {
    auto watcher = uitest::AnswerBox(QMessageBox::Ok, &text);
    f.Key(Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_EQ(watcher.Seen(), 1);
  }
  EXPECT_EQ(f.Urls().StoredRecordCount(), 2);
  EXPECT_EQ(f.grid.CellText(1, 0), "u3");
  // Delete alone belongs to the cell, not the record.
  f.Key(Qt::Key_Delete);
  EXPECT_EQ(f.Urls().StoredRecordCount(), 2);
}

TEST(DBGridTest, TabMovesAlongTheCellsAndOnToTheNextRecord) {
  GridFixture f(3);
  EXPECT_EQ(f.grid.SelectedIndex(), 0);
  f.Key(Qt::Key_Tab);
  EXPECT_EQ(f.grid.SelectedIndex(), 1);
  f.Key(Qt::Key_Tab);
  EXPECT_EQ(f.grid.SelectedIndex(), 2);
  f.Key(Qt::Key_Tab);
  EXPECT_EQ(f.grid.SelectedIndex(), 0);
  EXPECT_EQ(f.Urls().RecNo(), 2);
  f.Key(Qt::Key_Backtab, Qt::ShiftModifier);
  EXPECT_EQ(f.grid.SelectedIndex(), 2);
  EXPECT_EQ(f.Urls().RecNo(), 1);
  f.Key(Qt::Key_Left);
  EXPECT_EQ(f.grid.SelectedIndex(), 1);
  f.Key(Qt::Key_End);
  EXPECT_EQ(f.grid.SelectedIndex(), 2);
  f.Key(Qt::Key_Home);
  EXPECT_EQ(f.grid.SelectedIndex(), 0);
  // The focus stays in the grid.
  EXPECT_TRUE(f.grid.hasFocus());

  // Tab out of the editor hands its text to the field and keeps editing.
  f.Type("new");
  f.Key(Qt::Key_Tab);
  EXPECT_EQ(f.Current("URL"), "new");
  EXPECT_EQ(f.grid.SelectedIndex(), 1);
  EXPECT_EQ(f.Urls().State(), dsEdit);
}

TEST(DBGridTest, AnUntouchedAppendedRowIsCancelledOnLeaving) {
  GridFixture f(3);
  f.Key(Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(f.Urls().RecNo(), 3);
  f.Key(Qt::Key_Down);  // past the last row: a new record
  EXPECT_EQ(f.Urls().State(), dsInsert);
  EXPECT_EQ(f.grid.RowCount(), 4);
  f.Key(Qt::Key_Down);  // no second one
  EXPECT_EQ(f.grid.RowCount(), 4);
  f.Key(Qt::Key_Up);
  EXPECT_EQ(f.Urls().State(), dsBrowse);
  EXPECT_EQ(f.Urls().StoredRecordCount(), 3);
  EXPECT_EQ(f.grid.RowCount(), 3);
  EXPECT_EQ(f.Current("URL"), "u3");

  // Left by the mouse too; a touched one is posted instead.
  f.Key(Qt::Key_Down);
  f.ClickCell(0, 0);
  EXPECT_EQ(f.Urls().StoredRecordCount(), 3);
  EXPECT_EQ(f.Current("URL"), "u1");
  f.Key(Qt::Key_End, Qt::ControlModifier);
  f.Key(Qt::Key_Down);
  f.Type("u4");
  f.Key(Qt::Key_Up);
  EXPECT_EQ(f.Urls().StoredRecordCount(), 4);

  // Insert starts a record before the current one; Esc drops it.
  f.Key(Qt::Key_Home, Qt::ControlModifier);
  f.Key(Qt::Key_Insert);
  EXPECT_EQ(f.Urls().State(), dsInsert);
  EXPECT_EQ(f.grid.CellText(1, 0), "u1");
  f.Key(Qt::Key_Escape);
  EXPECT_EQ(f.Urls().State(), dsBrowse);
  EXPECT_EQ(f.Urls().StoredRecordCount(), 4);
  EXPECT_EQ(f.grid.CellText(0, 0), "u1");
}

TEST(DBGridTest, TheScrollBarRangeFollowsTheRecordCount) {
  GridFixture f(30, 150);
  QScrollBar* bar = f.grid.verticalScrollBar();
  ASSERT_LT(f.grid.VisibleRowCount(), 30);
  EXPECT_EQ(bar->maximum(), 29);
  f.Key(Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(bar->value(), 29);
  f.Key(Qt::Key_Down);
  f.Type("u31");
  f.Key(Qt::Key_Up);
  EXPECT_EQ(bar->maximum(), 30);
  EXPECT_EQ(bar->value(), 29);
  QString text;
  auto watcher = uitest::AnswerBox(QMessageBox::Ok, &text);
  f.Key(Qt::Key_Delete, Qt::ControlModifier);
  EXPECT_EQ(bar->maximum(), 29);
}

TEST(DBGridTest, LookupColumnListsNamesAndStoresTheCode) {
  GridFixture f(3);
  f.Urls().Next();
  EXPECT_EQ(f.grid.CellText(1, 2), "Почта");
  f.grid.SetSelectedIndex(2);
  f.Key(Qt::Key_F2);
  ASSERT_TRUE(f.grid.EditorMode());
  auto* list = qobject_cast<QComboBox*>(f.grid.InplaceEditor());
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->count(), 3);
  EXPECT_EQ(list->itemText(0), "Сайт");
  EXPECT_EQ(list->currentText(), "Почта");
  // Picking "FTP" from the list: the code goes into ADRESTYPE.
  list->setFocus();
  QTest::keyClicks(list, "F");
  EXPECT_EQ(f.Urls().State(), dsEdit);
  EXPECT_EQ(f.Current("ADRESTYPE"), "3");
  EXPECT_EQ(f.grid.CellText(1, 2), "FTP");
  f.Key(Qt::Key_Down);
  EXPECT_EQ(f.Urls().State(), dsBrowse);
  f.Urls().Prior();
  EXPECT_EQ(f.Current("ADRESTYPE"), "3");
  EXPECT_EQ(f.Current("URL_TYPE"), "FTP");
  // The lookup table keeps its place.
  EXPECT_EQ(f.tables.types.RecNo(), 1);
}

TEST(DBGridTest, ReadOnlyGridsAndFieldsAreNotEdited) {
  GridFixture f(3);
  f.Urls().FieldByName("URL")->SetReadOnly(true);
  f.Type("x");
  EXPECT_FALSE(f.grid.EditorMode());
  EXPECT_EQ(f.Urls().State(), dsBrowse);
  f.Key(Qt::Key_Tab);
  f.Type("y");
  EXPECT_TRUE(f.grid.EditorMode());
  f.Key(Qt::Key_Escape);
  f.Key(Qt::Key_Escape);

  f.grid.SetReadOnly(true);
  f.Type("z");
  f.Key(Qt::Key_Insert);
  f.Key(Qt::Key_End, Qt::ControlModifier);
  f.Key(Qt::Key_Down);
  EXPECT_EQ(f.Urls().State(), dsBrowse);
  EXPECT_EQ(f.Urls().StoredRecordCount(), 3);
  QString text;
  auto watcher = uitest::AnswerBox(QMessageBox::Ok, &text);
  f.Key(Qt::Key_Delete, Qt::ControlModifier);
  EXPECT_EQ(watcher.Seen(), 0);
  EXPECT_EQ(f.Urls().StoredRecordCount(), 3);
}

TEST(DBGridTest, ARefusedValueKeepsTheCellAndItsText) {
  UrlTables tables(2);
  TMemDataSet numbers;
  numbers.SetName("N");
  numbers.FieldDefs().Add("ID", ftFloat);
  numbers.Open();
  numbers.AppendRecord({TVariant(1.0)});
  numbers.First();
  TDataSource source;
  source.SetDataSet(&numbers);
  TDBGrid grid;
  grid.SetDataSource(&source);
  grid.resize(300, 200);
  grid.show();
  grid.setFocus();
  QString text;
  {
    auto watcher = uitest::AnswerBox(QMessageBox::Ok, &text);
    uitest::TypeText(&grid, "1");
    uitest::TypeText(grid.InplaceEditor(), "x");
    QTest::keyClick(grid.InplaceEditor(), Qt::Key_Down);
    EXPECT_EQ(watcher.Seen(), 1);
  }
  EXPECT_EQ(text, "'1x' is not a valid floating point value");
  EXPECT_TRUE(grid.EditorMode());
  EXPECT_EQ(qobject_cast<QLineEdit*>(grid.InplaceEditor())->text(), "1x");
  EXPECT_EQ(numbers.State(), dsEdit);
}

TEST(DBGridTest, ColumnBordersDragToNewWidths) {
  GridFixture f(3);
  QHeaderView* titles = f.grid.TitleRow();
  int border = titles->sectionViewportPosition(0) + titles->sectionSize(0) - 1;
  QPoint press(border, titles->height() / 2);
  QTest::mousePress(titles->viewport(), Qt::LeftButton, {}, press);
  QTest::mouseMove(titles->viewport(), press + QPoint(40, 0));
  QTest::mouseRelease(titles->viewport(), Qt::LeftButton, {}, press + QPoint(40, 0));
  EXPECT_EQ(f.grid.ColumnWidth(0), 160);
  f.grid.SetColumnWidth(1, 77);
  EXPECT_EQ(f.grid.ColumnWidth(1), 77);
  // A width given survives the dataset's reopening.
  f.Urls().Close();
  f.Urls().Open();
  EXPECT_EQ(f.grid.ColumnWidth(0), 160);
  EXPECT_EQ(f.grid.ColumnWidth(1), 77);
}

}  // namespace
