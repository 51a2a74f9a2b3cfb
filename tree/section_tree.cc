#include "section_tree.h"

#include <filesystem>
#include <unordered_map>

#include "db/db_error.h"
#include "qt_text.h"
#include "xds/xdstable.h"

namespace {

// Appends node and its descendants to out in tree index order.
void CollectNodes(QTreeWidgetItem* node, std::vector<TTreeNode*>& out) {
  if (auto* n = dynamic_cast<TTreeNode*>(node)) {
    out.push_back(n);
  }
  for (int i = 0; i < node->childCount(); ++i) {
    CollectNodes(node->child(i), out);
  }
}

// Nodes built off the tree while it loads, looked up by id. An id that two
// rows share (which the program never writes) is resolved as the tree
// would: the first such node in tree index order.
class TPlacedNodes {
 public:
  void Add(TTreeNode* node, uint32_t id) {
    auto [it, added] = byId_.try_emplace(id, node);
    if (!added) {
      shared_.insert_or_assign(id, true);
    }
  }

  TTreeNode* Find(uint32_t id, const std::vector<TTreeNode*>& topLevel) const {
    auto it = byId_.find(id);
    if (it == byId_.end()) {
      return nullptr;
    }
    if (!shared_.contains(id)) {
      return it->second;
    }
    std::vector<TTreeNode*> order;
    for (TTreeNode* top : topLevel) {
      CollectNodes(top, order);
    }
    for (TTreeNode* node : order) {
      if (node->Data() == id) {
        return node;
      }
    }
    return nullptr;
  }

 private:
  std::unordered_map<uint32_t, TTreeNode*> byId_;
  std::unordered_map<uint32_t, bool> shared_;
};

// A new unmarked node for a section.
TTreeNode* NewSectionNode(const TMyItem& item) {
  auto* node = new TTreeNode();
  node->setText(0, ui::ToQString(item.Name));
  node->setFlags(node->flags() | Qt::ItemIsEditable);
  node->SetData(static_cast<uint32_t>(item.Id));
  node->SetImageIndex(0);
  node->SetSelectedIndex(0);
  return node;
}

}  // namespace

std::vector<TTreeNode*> TreeNodes(TTreeView* Tree) {
  std::vector<TTreeNode*> out;
  for (int i = 0; i < Tree->topLevelItemCount(); ++i) {
    CollectNodes(Tree->topLevelItem(i), out);
  }
  return out;
}

TTreeNode* FindNodeById(TTreeView* Tree, uint32_t Id) {
  for (TTreeNode* node : TreeNodes(Tree)) {
    if (node->Data() == Id) {
      return node;
    }
  }
  return nullptr;
}

uint32_t NextSectionId(TTreeView* Tree) {
  uint32_t largest = 0;
  for (TTreeNode* node : TreeNodes(Tree)) {
    largest = std::max(largest, node->Data());
  }
  return largest + 1;
}

void LoadTreeFromTable(TXdsTable& Table, TTreeView* Tree, const std::string& IdField,
                       const std::string& ParentField, const std::string& NameField) {
  // Every row is read before the tree is touched: a row that cannot be read
  // stops the load with the tree as it was, so no later save can write back
  // a tree that holds only part of the table.
  std::vector<TMyItem> items;
  Table.First();
  TField* id = Table.FieldByName(IdField);
  TField* parent = Table.FieldByName(ParentField);
  TField* name = Table.FieldByName(NameField);
  while (!Table.Eof()) {
    try {
      items.push_back({id->AsInteger(), parent->AsInteger(), name->AsString()});
    } catch (const EConvertError& e) {
      throw EConvertError(std::filesystem::path(Table.TableName()).filename().string() +
                          ", record " + std::to_string(Table.RecNo()) + ": " + e.Message());
    }
    Table.Next();
  }
  Tree->clear();

  // How many rows still waiting carry each id: a row waits while its parent
  // is among them.
  std::unordered_map<int32_t, int> waiting;
  for (const TMyItem& item : items) {
    ++waiting[item.Id];
  }
  std::vector<TTreeNode*> topLevel;
  TPlacedNodes placed;
  auto place = [&](const TMyItem& item, bool forceTop) {
    TTreeNode* node = NewSectionNode(item);
    TTreeNode* parentNode =
        forceTop ? nullptr : placed.Find(static_cast<uint32_t>(item.ParentId), topLevel);
    if (parentNode != nullptr) {
      parentNode->addChild(node);
    } else {
      topLevel.push_back(node);
    }
    placed.Add(node, static_cast<uint32_t>(item.Id));
    --waiting[item.Id];
  };
  while (!items.empty()) {
    std::vector<TMyItem> left;
    for (TMyItem& item : items) {
      auto w = waiting.find(item.ParentId);
      if (w != waiting.end() && w->second > 0) {
        left.push_back(std::move(item));
      } else {
        place(item, false);
      }
    }
    if (left.size() == items.size()) {
      // Nothing could be placed: the rows left wait on each other. Dropping
      // them would lose them at the next save; the first goes to the top.
      place(left.front(), true);
      left.erase(left.begin());
    }
    items = std::move(left);
  }

  // Nodes are built off the tree and put in at once, sorting off: a sorted
  // tree would sort each level again at every insert.
  bool sorting = Tree->isSortingEnabled();
  Tree->setSortingEnabled(false);
  QList<QTreeWidgetItem*> tops;
  tops.reserve(static_cast<qsizetype>(topLevel.size()));
  for (TTreeNode* node : topLevel) {
    tops.append(node);
  }
  Tree->addTopLevelItems(tops);
  Tree->sortItems(0, Qt::AscendingOrder);
  Tree->setSortingEnabled(sorting);
  for (TTreeNode* node : TreeNodes(Tree)) {
    node->UpdateIcon();
  }
}

std::vector<TSectionRow> TreeRows(TTreeView* Tree) {
  std::vector<TSectionRow> rows;
  for (TTreeNode* node : TreeNodes(Tree)) {
    auto* parent = dynamic_cast<TTreeNode*>(node->parent());
    rows.push_back({static_cast<int32_t>(node->Data()),
                    parent != nullptr ? static_cast<int32_t>(parent->Data()) : 0,
                    ui::FromQString(node->text(0))});
  }
  return rows;
}

void WriteSectionRows(TXdsTable& Table, const TSectionFields& fields,
                      const std::vector<TSectionRow>& rows) {
  Table.Close();
  Table.SetExclusive(true);
  Table.Open();
  std::vector<std::vector<std::string>> texts;
  texts.reserve(rows.size());
  for (const TSectionRow& row : rows) {
    // The table layer cuts a name over the field's size where a whole
    // character ends.
    texts.push_back({std::to_string(row.Id), std::to_string(row.ParentId), row.Name});
  }
  try {
    Table.RewriteRows({fields.Id, fields.Parent, fields.Name}, texts);
  } catch (...) {
    // The files hold the old rows or the new ones; the component's buffers
    // may hold neither, so it is closed.
    Table.Close();
    throw;
  }
  Table.Close();
  Table.SetExclusive(false);
  Table.Open();
  Table.Last();
}

void SaveTreeToTable(TXdsTable& Table, TTreeView* Tree, const std::string& IdField,
                     const std::string& ParentField, const std::string& NameField) {
  WriteSectionRows(Table, {IdField, ParentField, NameField}, TreeRows(Tree));
}
