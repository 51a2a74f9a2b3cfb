// The section tree and its stored form. A tree control holds the sections
// while the program runs: node text = section name, node data = section id,
// image index = section mark. The sections table is emptied and rewritten
// from a whole tree, and a tree is rebuilt from all of its rows.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "controls.h"

class TXdsTable;

// A row of the sections table not yet placed in the tree while it loads.
struct TMyItem {
  int32_t Id = 0;
  int32_t ParentId = 0;
  std::string Name;  // Windows-1251
};

// One stored row: the section, its parent (0 for a top-level section) and
// its name (Windows-1251).
struct TSectionRow {
  int32_t Id = 0;
  int32_t ParentId = 0;
  std::string Name;
};

// The names of the id, parent and name fields of a sections table.
struct TSectionFields {
  std::string Id;
  std::string Parent;
  std::string Name;
};

// Rebuilds Tree from every row of Table, read in stored order: each row goes
// under the node of its parent once that is in the tree, a row whose parent
// names no row goes to the top level, and every level is sorted by name.
// No row is left out: when the parents of the rows still waiting form a
// cycle, the first of them in table order goes to the top level, so the
// cycle is broken there and the next save stores a tree without it.
// A row whose id or parent is not a 32-bit whole number stops the load
// (EConvertError naming the table and the row's record number) before the
// tree is touched.
void LoadTreeFromTable(TXdsTable& Table, TTreeView* Tree, const std::string& IdField,
                       const std::string& ParentField, const std::string& NameField);

// Replaces every row of Table with one row per node of Tree in tree index
// order (parents before their children). The rows are replaced in one step:
// after a failure or a crash the table holds its old rows or all the new
// ones. Afterwards the table is open for shared use on its last row; after a
// failure it is closed.
void SaveTreeToTable(TXdsTable& Table, TTreeView* Tree, const std::string& IdField,
                     const std::string& ParentField, const std::string& NameField);

// The rows SaveTreeToTable writes for Tree, and the writing itself.
std::vector<TSectionRow> TreeRows(TTreeView* Tree);
void WriteSectionRows(TXdsTable& Table, const TSectionFields& fields,
                      const std::vector<TSectionRow>& rows);

// Every node of Tree in tree index order: depth-first, each node before its
// children.
std::vector<TTreeNode*> TreeNodes(TTreeView* Tree);

// The first node in tree index order whose data is Id; null when none.
TTreeNode* FindNodeById(TTreeView* Tree, uint32_t Id);

// 1 for an empty tree, else the largest node data (unsigned) plus 1.
uint32_t NextSectionId(TTreeView* Tree);
