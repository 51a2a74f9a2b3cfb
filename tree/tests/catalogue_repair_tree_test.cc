// The catalogue repair puts the sections whose parents are missing or lead
// round in a cycle where the tree loader puts them, so the program shows the
// same tree before and after it.
#include <functional>

#include "catalogue/catalogue_check.h"
#include "catalogue_test_util.h"
#include "gui_test_support.h"
#include "section_tree.h"
#include "temp_dir.h"
#include "xds/xds.h"

namespace {

using cattest::Row;

// The tree loaded from dir's sections table as "name(id)[child ...]".
std::string LoadedShape(const std::string& dir) {
  TXdsConnection connection;
  connection.XdsServerTypes = stXDS_LOCAL;
  connection.LoginPrompt = false;
  connection.SetConnectPath(dir);
  connection.SetIsConnected(true);
  TXdsTable table;
  table.SetName("HDSTem");
  table.SetXdsConnection(&connection);
  table.SetTableName("TEM.dbf");
  table.SetTableType(ttXdsCDX);
  table.Open();
  TTreeView tree;
  LoadTreeFromTable(table, &tree, "INID", "PREIN", "INNAME");
  table.Close();
  std::string out;
  std::function<void(QTreeWidgetItem*)> walk = [&](QTreeWidgetItem* item) {
    auto* node = static_cast<TTreeNode*>(item);
    out += node->text(0).toStdString() + "(" + std::to_string(node->Data()) + ")";
    if (node->childCount() > 0) {
      out += "[";
      for (int i = 0; i < node->childCount(); ++i) {
        out += i ? " " : "";
        walk(node->child(i));
      }
      out += "]";
    }
  };
  for (int i = 0; i < tree.topLevelItemCount(); ++i) {
    out += i ? " " : "";
    walk(tree.topLevelItem(i));
  }
  return out;
}

TEST(CatalogueRepairOfSections, TheTreeLooksAsTheProgramShowedIt) {
  testsupport::TempDir tmp("treerepair");
  const std::string dir = tmp.str();
  cattest::CreateCatalogue(dir);
  // A row below a cycle stored first, a two-row cycle, a row its own parent,
  // a parent that names no row, and a sound branch.
  cattest::AppendSections(dir, {{7, 5, "below"}, {1, 0, "x"}, {5, 6, "A"}, {6, 5, "B"},
                                {9, 9, "self"}, {4, 77, "lost"}, {2, 1, "y"}});
  const std::string shown = LoadedShape(dir);
  std::vector<catalogue::Finding> findings;
  std::vector<std::string> done;
  std::string error;
  ASSERT_TRUE(catalogue::RepairCatalogue(dir, {}, &findings, &done, &error)) << error;
  EXPECT_EQ(findings.size(), 4u);
  EXPECT_EQ(LoadedShape(dir), shown);
  EXPECT_EQ(cattest::Sections(dir),
            (std::vector<Row>{{7, 0, "below"}, {1, 0, "x"}, {5, 0, "A"}, {6, 5, "B"},
                              {9, 0, "self"}, {4, 0, "lost"}, {2, 1, "y"}}));
  ASSERT_TRUE(catalogue::CheckCatalogue(dir, &findings, &error)) << error;
  EXPECT_TRUE(findings.empty());
}

}  // namespace
