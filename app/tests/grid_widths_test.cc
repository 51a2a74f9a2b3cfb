#include "grid_widths.h"

#include <sys/stat.h>

#include <QAbstractButton>
#include <QMessageBox>

#include "app_test_support.h"
#include "dbgrid.h"
#include "profile.h"

namespace apptest {
namespace {

using GridWidthsTest = WorkingDirTest;

std::vector<int> Widths(TForm1* form) {
  std::vector<int> w;
  for (int i = 0; i < form->DBGrid1->ColumnCount(); ++i) {
    w.push_back(form->DBGrid1->ColumnWidth(i));
  }
  return w;
}

TEST_F(GridWidthsTest, StartUpReadsTheSettingsFile) {
  struct Case {
    const char* name;
    const char* file;  // nullptr: no file
    std::vector<int> widths;
  } cases[] = {
      {"no file", nullptr, {200, 200, 200}},
      {"empty file", "", {200, 200, 200}},
      {"other section only", "[Columns]\n0=50\n", {200, 200, 200}},
      {"stored widths", "[Grid]\n0=150\n1=120\n2=90\n", {150, 120, 90}},
      {"key 1 holds abc", "[Grid]\n0=150\n1=abc\n2=90\n", {150, 200, 90}},
      {"key 0 holds 0x64", "[Grid]\n0=0x64\n", {100, 200, 200}},
      {"dollar hex and blanks", "[grid]\r\n 2 = $20 \r\n", {200, 200, 32}},
      {"negative width", "[Grid]\n1=-7\n", {200, 0, 200}},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(ini_);
    if (c.file) {
      PutIni(c.file);
    }
    EXPECT_EQ(Widths(MakeForm()), c.widths) << c.name;
  }
}

TEST_F(GridWidthsTest, ClosingWritesEveryColumnLastFirst) {
  TForm1* form = MakeForm();
  form->show();
  EXPECT_TRUE(form->close());
  EXPECT_EQ(GetIni(), "[Grid]\n2=200\n1=200\n0=200\n");

  PutIni("; kept\n[Other]\nx=1\n\n[Grid]\n1=120\n[Tail]\ny=2\n");
  form = MakeForm();
  form->DBGrid1->SetColumnWidth(0, 333);
  form->show();
  EXPECT_TRUE(form->close());
  EXPECT_EQ(GetIni(), "; kept\n[Other]\nx=1\n\n[Grid]\n1=120\n2=200\n0=333\n[Tail]\ny=2\n");
}

TEST_F(GridWidthsTest, RefusedWriteKeepsTheWindowOpen) {
  PutIni("[Grid]\n0=150\n");
  TForm1* form = MakeForm();
  form->show();
  ASSERT_EQ(chmod(ini_.c_str(), 0444), 0);
  QString text, title;
  {
    guitest::ModalWatcher watcher([&](QWidget* w) {
      auto* box = qobject_cast<QMessageBox*>(w);
      ASSERT_NE(box, nullptr);
      text = box->text();
      box->button(QMessageBox::Ok)->click();
    });
    EXPECT_FALSE(form->close());
    EXPECT_EQ(watcher.Seen(), 1);
  }
  EXPECT_EQ(text.toStdString(), "Unable to write to " + ini_);
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(GetIni(), "[Grid]\n0=150\n");

  // Once the file may be written again, the next close goes through.
  ASSERT_EQ(chmod(ini_.c_str(), 0644), 0);
  EXPECT_TRUE(form->close());
  EXPECT_EQ(GetIni(), "[Grid]\n0=150\n2=200\n1=200\n");
}

TEST_F(GridWidthsTest, SaveStopsAtTheRefusedColumn) {
  TDBGrid grid;
  grid.SetColumnFields({"A", "B"});
  std::string missing = ini_ + ".d/tavo.ini";
  try {
    SaveGridWidths(&grid, missing, "Grid");
    FAIL() << "saving into a missing folder succeeded";
  } catch (const platform::EIniFileException& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + missing);
  }
}

}  // namespace
}  // namespace apptest
