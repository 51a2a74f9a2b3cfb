// The grid and the memo editing a real table of the OEM code page: what the
// user types reaches the files in CP866 and comes back as typed; what
// CP1251 cannot hold arrives as "?".
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <memory>

#include "db/datasource.h"
#include "dbctrls.h"
#include "dbgrid.h"
#include "qt_text.h"
#include "ui_tables.h"
#include "xds_test_util.h"

namespace {

std::string Cp866(const QString& text) {
  std::string out;
  for (QChar c : text) {
    char16_t u = c.unicode();
    if (u < 0x80) {
      out.push_back(static_cast<char>(u));
    } else if (u >= 0x0410 && u <= 0x043F) {
      out.push_back(static_cast<char>(0x80 + (u - 0x0410)));
    } else if (u >= 0x0440 && u <= 0x044F) {
      out.push_back(static_cast<char>(0xE0 + (u - 0x0440)));
    } else if (u == 0x0401 || u == 0x0451) {
      out.push_back(static_cast<char>(u == 0x0401 ? 0xF0 : 0xF1));
    } else {
      out.push_back('?');
    }
  }
  return out;
}

struct OemTable {
  xdstest::TempDir dir;
  std::unique_ptr<TXdsConnection> connection;
  std::unique_ptr<TXdsTable> urls;
  TDataSource source;
  QWidget window;
  TDBGrid* grid = new TDBGrid(&window);
  TDBMemo* memo = new TDBMemo(&window);

  OemTable() {
    xdstest::CreateTable(dir.str(), "urls.DBF",
                         {{"URL", 'C', 40, 0}, {"NAME", 'C', 30, 0}, {"DESCR", 'M', 10, 0}},
                         /*oem=*/true);
    connection = xdstest::Connect(dir.str());
    urls = xdstest::Table(*connection, "HDSUrls", "urls.DBF");
    urls->XdsTableOptions().SetXdsCharType(OEM);
    urls->Open();
    for (const char* u : {"u1", "u2", "u3"}) {
      urls->AppendRecord({TVariant(u), TVariant(std::string("n") + u)});
    }
    urls->First();
    source.SetDataSet(urls.get());
    grid->SetColumnFields({"URL", "NAME"});
    grid->SetDataSource(&source);
    memo->SetDataField("DESCR");
    memo->SetDataSource(&source);
    grid->setGeometry(0, 0, 400, 200);
    memo->setGeometry(0, 210, 400, 80);
    window.resize(400, 300);
    window.show();
    grid->setFocus();
    QApplication::processEvents();
  }
  ~OemTable() {
    grid->SetDataSource(nullptr);
    memo->SetDataSource(nullptr);
  }
  std::string FileBytes(const char* name) { return xdstest::ReadBytes(dir / name); }
  uint32_t EngineCount() {
    uint32_t n = 0;
    EXPECT_EQ(XdsGetRecordCount(urls->TableHandle(), 2, &n), 0);
    return n;
  }
};

TEST(DBControlsTableTest, TypedCyrillicReachesTheOemFilesAndComesBack) {
  OemTable t;
  QTest::mouseClick(t.grid->viewport(), Qt::LeftButton, {}, t.grid->CellRect(1, 1).center());
  uitest::TypeText(t.grid, "П");
  uitest::TypeText(t.grid->InplaceEditor(), "ривет ё中");
  QTest::keyClick(t.grid->InplaceEditor(), Qt::Key_Down);
  EXPECT_EQ(t.urls->State(), dsBrowse);

  // The memo of the first record, posted when the grid moves on.
  QTest::mouseClick(t.grid->viewport(), Qt::LeftButton, {}, t.grid->CellRect(0, 0).center());
  t.memo->setFocus();
  uitest::TypeText(t.memo, "Описание\nвторая строка");
  EXPECT_EQ(t.urls->State(), dsEdit);
  t.grid->setFocus();
  QTest::keyClick(t.grid, Qt::Key_Down);
  EXPECT_EQ(t.urls->State(), dsBrowse);
  EXPECT_EQ(t.memo->toPlainText(), "");  // the second record has none

  t.urls->Close();
  // What neither code page holds is kept as its reference.
  EXPECT_NE(t.FileBytes("urls.DBF").find(Cp866("Привет ё") + "&#20013; "), std::string::npos);
  EXPECT_NE(t.FileBytes("urls.FPT").find(Cp866("Описание") + "\r\n" + Cp866("вторая строка")),
            std::string::npos);
  t.urls->Open();
  EXPECT_EQ(t.memo->toPlainText(), "Описание\nвторая строка");
  t.urls->Next();
  EXPECT_EQ(t.grid->CellText(1, 1), "Привет ё中");
}

TEST(DBControlsTableTest, DeleteQuestionAndUntouchedAppendOnARealTable) {
  OemTable t;
  t.urls->Next();
  QString text;
  {
    auto watcher = uitest::AnswerBox(QMessageBox::Cancel, &text);
    QTest::keyClick(t.grid, Qt::Key_Delete, Qt::ControlModifier);
  }
  EXPECT_EQ(text, "Delete record?");
  EXPECT_FALSE(t.urls->Eof() && t.urls->Bof());
  {
    auto watcher = uitest::AnswerBox(QMessageBox::Ok, &text);
    QTest::keyClick(t.grid, Qt::Key_Delete, Qt::ControlModifier);
    EXPECT_EQ(watcher.Seen(), 1);
  }
  t.urls->Close();
  std::string dbf = t.FileBytes("urls.DBF");
  uint16_t header = static_cast<uint8_t>(dbf[8]) | static_cast<uint8_t>(dbf[9]) << 8;
  uint16_t size = static_cast<uint8_t>(dbf[10]) | static_cast<uint8_t>(dbf[11]) << 8;
  EXPECT_EQ(dbf[header], ' ');
  EXPECT_EQ(dbf[header + size], '*');  // the second record is marked deleted
  EXPECT_EQ(dbf[header + 2 * size], ' ');

  // An appended record left untouched never reaches the table.
  t.urls->Open();
  t.grid->setFocus();
  QTest::keyClick(t.grid, Qt::Key_End, Qt::ControlModifier);
  QTest::keyClick(t.grid, Qt::Key_Down);
  EXPECT_EQ(t.urls->State(), dsInsert);
  QTest::keyClick(t.grid, Qt::Key_Up);
  EXPECT_EQ(t.urls->State(), dsBrowse);
  EXPECT_EQ(t.EngineCount(), 3u);
  // Typed into, it is posted on leaving.
  QTest::keyClick(t.grid, Qt::Key_Down);
  uitest::TypeText(t.grid, "u");
  uitest::TypeText(t.grid->InplaceEditor(), "4");
  QTest::keyClick(t.grid->InplaceEditor(), Qt::Key_Up);
  EXPECT_EQ(t.EngineCount(), 4u);
}

}  // namespace
