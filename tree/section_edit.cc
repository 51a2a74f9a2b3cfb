#include "section_edit.h"

#include "db/variant.h"
#include "message_box.h"
#include "section_tree.h"
#include "xds/xdstable.h"

const char* const kNewSectionText = "--Новая запись--";

namespace {

// The messages of the two refusals of a delete.
constexpr char kHasChildren[] = "Нужно удалить все дочерние ветки";
constexpr char kHasMemberships[] = "Нужно убрать входимость в этот раздел у всех записей";

// The image lies just left of the label: this range, both ends included.
constexpr int kImageFromLabel = 18;
constexpr int kImageToLabel = 5;

// Adds a new section under parent (the top level when null) and selects it.
void AddSection(TTreeView* Tree, TTreeNode* parent) {
  Tree->setCurrentItem(NewSection(Tree, parent, QString::fromUtf8(kNewSectionText)));
}

}  // namespace

TTreeNode* NewSection(TTreeView* Tree, TTreeNode* Parent, const QString& Text) {
  // The id is taken after the node is in the tree, where its data 0 does
  // not count.
  auto* node = new TTreeNode();
  node->setText(0, Text);
  node->setFlags(node->flags() | Qt::ItemIsEditable);
  if (Parent != nullptr) {
    Parent->addChild(node);
  } else {
    Tree->addTopLevelItem(node);
  }
  SetSectionMark(node, kSectionUnmarked);
  node->SetData(NextSectionId(Tree));
  return node;
}

void SetSectionMark(TTreeNode* Node, int Mark) {
  Node->SetImageIndex(Mark);
  Node->SetSelectedIndex(Mark);
}

TTreeNode* SelectedNode(TTreeView* Tree) {
  QTreeWidgetItem* current = Tree->currentItem();
  return current != nullptr && current->isSelected() ? dynamic_cast<TTreeNode*>(current) : nullptr;
}

void AddSectionAtCurrentLevel(TTreeView* Tree) {
  TTreeNode* selected = SelectedNode(Tree);
  if (selected == nullptr && Tree->topLevelItemCount() > 0) {
    return;
  }
  AddSection(Tree, selected != nullptr ? dynamic_cast<TTreeNode*>(selected->parent()) : nullptr);
}

void AddChildSection(TTreeView* Tree) {
  if (TTreeNode* selected = SelectedNode(Tree)) {
    AddSection(Tree, selected);
  }
}

void DeleteSection(TTreeView* Tree, TXdsTable& Memberships, QWidget* Parent) {
  TTreeNode* selected = SelectedNode(Tree);
  if (selected == nullptr) {
    return;
  }
  if (selected->childCount() > 0) {
    ui::ShowErrorBox(Parent, QString::fromUtf8(kHasChildren));
    return;
  }
  const int32_t id = static_cast<int32_t>(selected->Data());
  Memberships.SetFiltered(false);
  if (Memberships.Locate("TEM_ID", TVariant(id), 0)) {
    ui::ShowErrorBox(Parent, QString::fromUtf8(kHasMemberships));
  } else {
    delete selected;
  }
  Memberships.SetFiltered(true);
}

void ExpandAllSections(TTreeView* Tree) { Tree->expandAll(); }

void CollapseAllSections(TTreeView* Tree) { Tree->collapseAll(); }

bool ToggleSectionMark(TTreeView* Tree, Qt::MouseButton Button, int X, int Y) {
  if (Button != Qt::LeftButton) {
    return false;
  }
  bool toggled = false;
  if (TTreeNode* node = Tree->NodeAtRow(Y)) {
    const int left = Tree->LabelRect(node).left();
    if (X >= left - kImageFromLabel && X <= left - kImageToLabel) {
      const bool mark = node->ImageIndex() == kSectionUnmarked && SelectedNode(Tree) == node;
      SetSectionMark(node, mark ? kSectionMarked : kSectionUnmarked);
      toggled = true;
    }
  }
  Tree->viewport()->update();
  return toggled;
}
