// Loading a section tree from the sections table and saving it back, on
// real catalogue tables in a temporary folder.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <chrono>
#include <thread>

#include "catalogue_test_util.h"
#include "db/db_error.h"
#include "gui_test_support.h"
#include "qt_text.h"
#include "recording_engine.h"
#include "section_edit.h"
#include "section_tree.h"
#include "xds/xds.h"

namespace {

using cattest::Cp1251;
using cattest::Row;

// A catalogue folder with the sections table component on it, closed.
class SectionTable : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.isValid());
    dir_ = tmp_.path().toStdString();
    cattest::CreateCatalogue(dir_);
    connection_.XdsServerTypes = stXDS_LOCAL;
    connection_.LoginPrompt = false;
    connection_.SetConnectPath(dir_.string());
    connection_.SetIsConnected(true);
    table_.SetName("HDSTem");
    table_.SetXdsConnection(&connection_);
    table_.SetTableName("TEM.dbf");
    table_.SetTableType(ttXdsCDX);
    table_.SetExclusive(true);
  }
  void TearDown() override { table_.Close(); }

  void Load() {
    table_.Open();
    LoadTreeFromTable(table_, &tree_, "INID", "PREIN", "INNAME");
  }
  void Save() { SaveTreeToTable(table_, &tree_, "INID", "PREIN", "INNAME"); }

  // The tree as "name(id)[child ...]" in tree index order, names in UTF-8.
  std::string Shape() {
    std::string out;
    std::function<void(QTreeWidgetItem*)> walk = [&](QTreeWidgetItem* item) {
      auto* node = static_cast<TTreeNode*>(item);
      out += node->text(0).toStdString() + "(" + std::to_string(node->Data()) + ")";
      if (node->childCount() > 0) {
        out += "[";
        for (int i = 0; i < node->childCount(); ++i) {
          out += (i ? " " : "") ;
          walk(node->child(i));
        }
        out += "]";
      }
    };
    for (int i = 0; i < tree_.topLevelItemCount(); ++i) {
      out += i ? " " : "";
      walk(tree_.topLevelItem(i));
    }
    return out;
  }

  QTemporaryDir tmp_;
  std::filesystem::path dir_;
  TXdsConnection connection_;
  TXdsTable table_;
  TTreeView tree_;
};

TEST_F(SectionTable, EmptyTableGivesAnEmptyTreeAndAnEmptyTreeSavesNoRow) {
  Load();
  EXPECT_EQ(tree_.topLevelItemCount(), 0);
  Save();
  EXPECT_TRUE(table_.Active());
  EXPECT_FALSE(table_.Exclusive());
  table_.Close();
  EXPECT_TRUE(cattest::Sections(dir_).empty());
  EXPECT_EQ(cattest::CheckTable(dir_, "TEM.dbf"), "");
}

TEST_F(SectionTable, RowsInAnyOrderLoadUnderTheirParents) {
  // A child stored before its parent, a parent that names no row, and the
  // top level.
  cattest::AppendSections(dir_, {{3, 2, "c"}, {2, 1, "b"}, {1, 0, "a"}, {4, 77, "d"}});
  Load();
  EXPECT_EQ(Shape(), "a(1)[b(2)[c(3)]] d(4)");
  for (TTreeNode* node : TreeNodes(&tree_)) {
    EXPECT_EQ(node->ImageIndex(), 0);
    EXPECT_EQ(node->SelectedIndex(), 0);
  }
  EXPECT_TRUE(table_.Eof());
}

TEST_F(SectionTable, ParentCyclesAreBrokenSoNoRowIsLost) {
  cattest::AppendSections(dir_, {{1, 0, "x"}, {5, 6, "A"}, {6, 5, "B"}, {7, 5, "C"}, {9, 9, "S"},
                                 {10, 7, "D"}});
  Load();
  // The first row of the cycle in table order goes to the top level.
  EXPECT_EQ(Shape(), "A(5)[B(6) C(7)[D(10)]] S(9) x(1)");
  Save();
  table_.Close();
  EXPECT_EQ(cattest::Sections(dir_),
            (std::vector<Row>{{5, 0, "A"}, {6, 5, "B"}, {7, 5, "C"}, {10, 7, "D"}, {9, 0, "S"},
                              {1, 0, "x"}}));
}

TEST_F(SectionTable, EveryLevelIsSortedInTheReadersOrder) {
  std::vector<Row> rows;
  int id = 1;
  for (const char* name : {"ж", "Б", "ё", "б", "Apple", "е", "а", "apple", "Ель"}) {
    rows.push_back({id++, 0, Cp1251(name)});
  }
  for (const char* name : {"я", "Я", "Ёж", "Еж"}) {
    rows.push_back({id++, 3, Cp1251(name)});
  }
  cattest::AppendSections(dir_, rows);
  Load();
  EXPECT_EQ(Shape(),
            "apple(8) Apple(5) а(7) б(4) Б(2) е(6) ё(3)[Еж(13) Ёж(12) я(10) Я(11)] Ель(9) ж(1)");
}

TEST_F(SectionTable, SavedTreeLoadsAgainTheSameAndTheTableStaysOpenShared) {
  cattest::AppendSections(dir_, {{1, 0, Cp1251("Работа")}, {2, 1, Cp1251("Почта")},
                                 {3, 0, Cp1251("Дом")}, {4, 2, "x"}});
  Load();
  EXPECT_EQ(Shape(), "Дом(3) Работа(1)[Почта(2)[x(4)]]");
  static_cast<TTreeNode*>(tree_.topLevelItem(0))->setText(0, QString(60, QChar(u'щ')));
  SetSectionMark(static_cast<TTreeNode*>(tree_.topLevelItem(1)), kSectionMarked);
  Save();
  EXPECT_TRUE(table_.Active());
  EXPECT_FALSE(table_.Exclusive());
  EXPECT_TRUE(table_.Eof() || table_.RecNo() == 4);
  EXPECT_EQ(table_.FieldByName("INID")->AsInteger(), 4);
  LoadTreeFromTable(table_, &tree_, "INID", "PREIN", "INNAME");
  // Names longer than the field come back cut to 50 characters; marks are
  // not kept.
  EXPECT_EQ(Shape(), std::string("Работа(1)[Почта(2)[x(4)]] ") +
                         QString(50, QChar(u'щ')).toStdString() + "(3)");
  for (TTreeNode* node : TreeNodes(&tree_)) {
    EXPECT_EQ(node->ImageIndex(), 0);
  }
  table_.Close();
  EXPECT_EQ(cattest::CheckTable(dir_, "TEM.dbf"), "");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "TEM.dbf.rewrite.tmp"));
}

// Names in any alphabet come back as typed; what the code page lacks is
// stored as references, and a name over the field keeps whole ones.
TEST_F(SectionTable, NamesInAnyAlphabetAreCutBetweenReferences) {
  cattest::AppendSections(dir_, {{1, 0, "a"}, {2, 0, "b"}});
  Load();
  static_cast<TTreeNode*>(tree_.topLevelItem(0))->setText(0, "Straße &# 😀");
  static_cast<TTreeNode*>(tree_.topLevelItem(1))->setText(0, QString(10, QChar(0x4E2D)));
  Save();
  LoadTreeFromTable(table_, &tree_, "INID", "PREIN", "INNAME");
  EXPECT_EQ(Shape(), "Straße &# 😀(1) " + QString(6, QChar(0x4E2D)).toStdString() + "(2)");
  std::vector<std::string> stored;
  for (table_.First(); !table_.Eof(); table_.Next()) {
    stored.push_back(table_.FieldByName("INNAME")->AsString());
  }
  EXPECT_EQ(stored, (std::vector<std::string>{"Stra&#223;e &#38;# &#128512;",
                                              "&#20013;&#20013;&#20013;&#20013;&#20013;&#20013;"}));
}

TEST_F(SectionTable, FindNodeByIdAndNextSectionId) {
  EXPECT_EQ(NextSectionId(&tree_), 1u);
  EXPECT_EQ(FindNodeById(&tree_, 1), nullptr);
  cattest::AppendSections(dir_, {{1, 0, "b"}, {4, 0, "a"}, {2, 4, "c"}, {2, 0, "d"}});
  Load();
  EXPECT_EQ(NextSectionId(&tree_), 5u);
  // Two nodes with id 2: the first in tree index order (a's child).
  TTreeNode* found = FindNodeById(&tree_, 2);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->text(0), "c");
  EXPECT_EQ(FindNodeById(&tree_, 3), nullptr);
  static_cast<TTreeNode*>(tree_.topLevelItem(0))->SetData(0xFFFFFFF0u);
  EXPECT_EQ(NextSectionId(&tree_), 0xFFFFFFF1u);
}

// The save's engine calls fail one at a time, each in turn: the table then
// holds its old rows or all the new ones, and it opens and checks clean.
TEST_F(SectionTable, AFailedSaveLeavesTheOldRowsOrTheNewOnes) {
  const std::vector<Row> oldRows = {{1, 0, "a"}, {2, 1, "b"}, {3, 0, "c"}};
  cattest::AppendSections(dir_, oldRows);
  Load();
  delete tree_.topLevelItem(1);
  AddChildSection(&tree_);  // nothing selected: no change
  tree_.setCurrentItem(tree_.topLevelItem(0));
  AddChildSection(&tree_);
  const std::vector<Row> newRows = {{1, 0, "a"}, {2, 1, "b"}, {3, 1, "--Новая запись--"}};
  auto newStored = newRows;
  newStored[2].name = Cp1251(newRows[2].name);
  table_.Close();
  const std::filesystem::path base = dir_.string() + ".base";
  std::filesystem::copy(dir_, base);

  // n = 0 is the clean save that counts the calls; then each call fails
  // in turn.
  int failures = 0;
  int total = 0;
  for (int n = 0; n == 0 || n <= total; ++n) {
    table_.Close();
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      std::filesystem::remove(e.path());
    }
    for (const auto& e : std::filesystem::directory_iterator(base)) {
      std::filesystem::copy_file(e.path(), dir_ / e.path().filename());
    }
    table_.SetExclusive(true);
    table_.Open();
    int calls = 0;
    const bool failed = xdstest::RunWithCallFailing(n, &calls, [&] { Save(); });
    table_.Close();
    std::vector<Row> got = cattest::Sections(dir_);
    if (n == 0) {
      ASSERT_FALSE(failed);
      ASSERT_EQ(got, newStored);
      total = calls;
    }
    EXPECT_TRUE(got == oldRows || got == newStored) << "call " << n << " failed";
    EXPECT_EQ(cattest::CheckTable(dir_, "TEM.dbf"), "") << "call " << n;
    EXPECT_FALSE(std::filesystem::exists(dir_ / "TEM.dbf.rewrite.tmp")) << "call " << n;
    failures += failed ? 1 : 0;
  }
  EXPECT_GT(failures, 10);
  std::filesystem::remove_all(base);
}

// A process killed at any moment of a save of 10,000 sections leaves the
// old rows or the new ones, and the next open finishes what was committed.
TEST_F(SectionTable, AKilledSaveLeavesTheOldRowsOrTheNewOnes) {
  std::vector<Row> oldRows;
  for (int i = 1; i <= 10000; ++i) {
    oldRows.push_back({i, i > 100 ? i % 100 + 1 : 0, "old " + std::to_string(i)});
  }
  cattest::AppendSections(dir_, oldRows);
  std::vector<TSectionRow> newRows;
  std::vector<Row> newStored;
  for (int i = 1; i <= 10000; ++i) {
    newRows.push_back({i, i > 50 ? i % 50 + 1 : 0, "new " + std::to_string(i)});
    newStored.push_back({i, i > 50 ? i % 50 + 1 : 0, "new " + std::to_string(i)});
  }
  int sawOld = 0, sawNew = 0;
  for (int attempt = 0; attempt < 12; ++attempt) {
    table_.Close();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      // The child saves again and again until it is killed.
      for (;;) {
        try {
          WriteSectionRows(table_, {"INID", "PREIN", "INNAME"}, newRows);
        } catch (...) {
          _exit(3);
        }
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5 + attempt * 7));
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child stopped by itself: " << status;
    table_.SetExclusive(true);
    table_.Open();  // an exclusive open rolls an interrupted swap forward
    table_.Close();
    std::vector<Row> got = cattest::Sections(dir_);
    EXPECT_TRUE(got == oldRows || got == newStored) << "attempt " << attempt << ": "
                                                    << got.size() << " rows";
    EXPECT_EQ(cattest::CheckTable(dir_, "TEM.dbf"), "") << "attempt " << attempt;
    (got == oldRows ? sawOld : sawNew)++;
    if (got == newStored) {
      // Back to the old rows for the next attempt.
      WriteSectionRows(table_, {"INID", "PREIN", "INNAME"}, [&] {
        std::vector<TSectionRow> rows;
        for (const Row& r : oldRows) {
          rows.push_back({r.id, r.parent, r.name});
        }
        return rows;
      }());
    }
  }
  EXPECT_GT(sawOld + sawNew, 0);
}

}  // namespace

namespace {

// A row whose parent id does not fit 32 bits stops the load with its record
// number, and the tree keeps what it held.
TEST_F(SectionTable, AnUnreadableRowLeavesTheTreeAsItWas) {
  cattest::AppendSections(dir_, {{1, 0, "a"}, {2, 1, "b"}});
  Load();
  ASSERT_EQ(Shape(), "a(1)[b(2)]");
  table_.Append();
  table_.FieldByName("INID")->SetAsFloat(3);
  table_.FieldByName("PREIN")->SetAsFloat(3000000000.0);
  table_.FieldByName("INNAME")->SetAsString("c");
  table_.Post();
  try {
    LoadTreeFromTable(table_, &tree_, "INID", "PREIN", "INNAME");
    ADD_FAILURE() << "loaded";
  } catch (const EConvertError& e) {
    EXPECT_EQ(e.Message(), "TEM.dbf, record 3: '3000000000' is not a valid integer value");
  }
  EXPECT_EQ(Shape(), "a(1)[b(2)]");
}

}  // namespace
