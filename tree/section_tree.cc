#include "section_tree.h"

#include <filesystem>
#include <unordered_map>

#include "db/db_error.h"
#include "qt_text.h"
#include "stored_text.h"
#include "xds/xce_calls.h"
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

// Removes the scratch table of a rewrite (and a memo file it may have had).
void RemoveScratch(const std::filesystem::path& dbf) {
  std::error_code ignored;
  std::filesystem::remove(dbf, ignored);
  std::filesystem::path memo = dbf;
  std::filesystem::remove(memo.replace_extension(".fpt"), ignored);
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
  // The new rows go to a scratch table of the same fields beside the table;
  // the engine then swaps them in for the old rows in one step, the way it
  // packs. A crash before the swap leaves the old table and a scratch file
  // that the next save removes.
  Table.Close();
  Table.SetExclusive(true);
  Table.Open();
  const XDSHANDLE table = Table.TableHandle();
  const XDSHANDLE connection = Table.XdsConnection()->ConnectionHandle();
  const std::filesystem::path scratch =
      std::filesystem::path(Table.TableDirectory()) /
      (std::filesystem::path(Table.TableName()).filename().string() + ".rewrite.tmp");
  const uint16_t charType = Table.XdsTableOptions().XdsCharType() == OEM ? XDS_CHAR_OEM
                                                                          : XDS_CHAR_ANSI;
  XDSHANDLE rows_table = 0;
  try {
    auto check = [&](XDSRESULT r) { CheckXceResult(&Table, r); };
    uint16_t count = 0;
    check(Xce().XdsGetNumFields(table, &count));
    std::vector<std::string> names(count);
    std::vector<XDSFIELDDEF> defs(count);
    for (uint16_t f = 1; f <= count; ++f) {
      char name[64] = {};
      uint16_t length = sizeof name;
      check(Xce().XdsGetFieldName(table, f, name, &length));
      names[f - 1].assign(name, length);
      XDSFIELDDEF& def = defs[f - 1];
      check(Xce().XdsGetFieldTypeLetter(table, f, &def.type));
      check(Xce().XdsGetFieldLength(table, f, &def.length));
      check(Xce().XdsGetFieldDecimals(table, f, &def.decimals));
      def.name = names[f - 1].c_str();
    }
    RemoveScratch(scratch);
    check(Xce().XdsCreateTable(connection, scratch.c_str(), charType, count, defs.data()));
    check(Xce().XdsOpenTable(connection, scratch.c_str(), nullptr, XDS_TABLE_CDX, charType,
                             XDS_LOCK_PROPRIETARY, XDS_RIGHTS_CHECK, XDS_OPEN_EXCLUSIVE,
                             &rows_table));
    uint16_t idNo = 0, parentNo = 0, nameNo = 0;
    check(Xce().XdsGetFieldNumber(rows_table, fields.Id.c_str(), &idNo));
    check(Xce().XdsGetFieldNumber(rows_table, fields.Parent.c_str(), &parentNo));
    check(Xce().XdsGetFieldNumber(rows_table, fields.Name.c_str(), &nameNo));
    auto set = [&](uint16_t field, const std::string& text) {
      check(Xce().XdsSetField(rows_table, field, text.data(), static_cast<uint32_t>(text.size())));
    };
    for (const TSectionRow& row : rows) {
      check(Xce().XdsAppendRecord(rows_table));
      set(idNo, std::to_string(row.Id));
      set(parentNo, std::to_string(row.ParentId));
      // A name over the field's size keeps the characters that fit whole.
      const std::size_t fits = platform::TextCut(row.Name, defs[nameNo - 1u].length,
                                                 charType == XDS_CHAR_OEM);
      set(nameNo, row.Name.substr(0, fits));
      check(Xce().XdsWriteRecord(rows_table));
    }
    check(Xce().XdsRewriteTable(table, rows_table));
    check(Xce().XdsCloseTable(rows_table));
    rows_table = 0;
    RemoveScratch(scratch);
  } catch (...) {
    if (rows_table != 0) {
      (void)Xce().XdsCloseTable(rows_table);
    }
    RemoveScratch(scratch);
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
