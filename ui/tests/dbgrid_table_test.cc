// The grid over a real URL table: what it reads is counted at the engine.
#include <QApplication>
#include <QScrollBar>
#include <QTest>
#include <memory>

#include "catalogue/demo_catalogue.h"
#include "db/datasource.h"
#include "dbgrid.h"
#include "qt_text.h"
#include "recording_engine.h"
#include "xds_test_util.h"

namespace {

struct TableGrid {
  xdstest::TempDir dir;
  std::unique_ptr<TXdsConnection> connection;
  std::unique_ptr<TXdsTable> urls;
  TDataSource source;
  TDBGrid grid;

  TableGrid(uint32_t count, const char* index) {
    EXPECT_EQ(catalogue::WriteDemoCatalogue(dir.str(), count), 0);
    connection = xdstest::Connect(dir.str());
    urls = xdstest::Table(*connection, "HDSUrls", "urls.DBF");
    urls->SetIndexName(index);
    urls->Open();
    source.SetDataSet(urls.get());
    grid.SetColumnFields({"URL", "NAME"});
    grid.SetDataSource(&source);
    grid.resize(500, 400);
    grid.show();
    grid.setFocus();
    QApplication::processEvents();
  }
  ~TableGrid() { grid.SetDataSource(nullptr); }
};

TEST(DBGridTableTest, ScrollingToTheEndReadsEachRecordOnce) {
  const int kCount = 20000;
  TableGrid t(kCount, "");
  const int rows = t.grid.VisibleRowCount();
  ASSERT_GT(rows, 5);
  xdstest::RecordingEngine engine;
  int pages = 0;
  while (!t.urls->Eof()) {
    QTest::keyClick(&t.grid, Qt::Key_PageDown);
    ++pages;
  }
  EXPECT_EQ(t.urls->RecNo(), kCount);
  // The first window was read before counting began.
  auto reads = static_cast<int>(engine.Take({"XdsFetchRecord("}).size());
  EXPECT_GE(reads, kCount - rows);
  EXPECT_LE(reads, kCount);
  EXPECT_EQ(t.grid.verticalScrollBar()->value(), t.grid.verticalScrollBar()->maximum());
  EXPECT_EQ(t.grid.CellText(t.grid.Row(), 0), ui::ToQString(t.urls->FieldByName("URL")->AsString()));

  // A jump by the scroll bar reads one window around the record there.
  engine.Take();
  QScrollBar* bar = t.grid.verticalScrollBar();
  bar->setSliderDown(true);
  bar->setSliderPosition(bar->maximum() / 2);
  bar->setSliderDown(false);
  EXPECT_NEAR(t.urls->RecNo(), kCount / 2, rows);
  EXPECT_LE(static_cast<int>(engine.Take({"XdsFetchRecord("}).size()), rows + 2);
}

TEST(DBGridTableTest, TheScrollBarFollowsTheKeyPositionInIndexOrder) {
  TableGrid t(5000, "NAME");
  QScrollBar* bar = t.grid.verticalScrollBar();
  QTest::keyClick(&t.grid, Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(bar->value(), bar->maximum());
  std::string last = t.urls->FieldByName("NAME")->AsString();
  QTest::keyClick(&t.grid, Qt::Key_Home, Qt::ControlModifier);
  EXPECT_EQ(bar->value(), 0);
  EXPECT_LE(t.urls->FieldByName("NAME")->AsString(), last);
  // Dragged to the middle, the grid shows the middle of the name order, and
  // the thumb stays there (the physical record number says nothing of it).
  bar->setSliderDown(true);
  bar->setSliderPosition(bar->maximum() / 2);
  bar->setSliderDown(false);
  EXPECT_NEAR(t.urls->RecordPosition(), 0.5, 0.01);
  EXPECT_NEAR(bar->value(), bar->maximum() / 2, bar->maximum() / 100 + 1);
  QTest::keyClick(&t.grid, Qt::Key_PageDown);
  EXPECT_GT(bar->value(), bar->maximum() / 2);
}

}  // namespace
