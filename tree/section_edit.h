// The section tree's editing commands and the section marks, written once
// for both windows: each window calls them on its own tree. Every change is
// made to the tree only; the sections table is rewritten from a whole tree
// later.
#pragma once

#include <Qt>

#include "controls.h"

class QString;
class QWidget;
class TXdsTable;

// The text of a section just added.
extern const char* const kNewSectionText;  // UTF-8
// The section mark's image indices.
inline constexpr int kSectionUnmarked = 0;
inline constexpr int kSectionMarked = 2;

// The node the tree shows as selected, or null.
TTreeNode* SelectedNode(TTreeView* Tree);

// A new section after the selected node's last sibling (the first node of an
// empty tree), selected, with the next free id. Nothing when the tree has
// nodes and none is selected.
void AddSectionAtCurrentLevel(TTreeView* Tree);
// A new section as the selected node's last child; nothing when none is
// selected.
void AddChildSection(TTreeView* Tree);
// A new unmarked section named Text, the last child of Parent (the last
// top-level section when null), with the next free id; the selection stays.
TTreeNode* NewSection(TTreeView* Tree, TTreeNode* Parent, const QString& Text);
// Deletes the selected section when it has no child sections and no URL
// record is filed under it (Memberships, its filter switched off for the
// check, holds no row for it); otherwise says why in the error box over
// Parent and changes nothing. The memberships' filter is on afterwards.
void DeleteSection(TTreeView* Tree, TXdsTable& Memberships, QWidget* Parent);
void ExpandAllSections(TTreeView* Tree);
void CollapseAllSections(TTreeView* Tree);

// A mouse press on the tree (after the tree's own handling of it). A left
// press on a node's image, from 18 to 5 pixels left of its label, marks the
// selected node when unmarked and unmarks it otherwise; a left press
// repaints the tree. True when a mark was toggled.
bool ToggleSectionMark(TTreeView* Tree, Qt::MouseButton Button, int X, int Y);

// Sets a node's image and selected-image index together.
void SetSectionMark(TTreeNode* Node, int Mark);
