// The plain controls windows are declared with: panels, labels that answer a
// click, tool bars, trees with an image list, and image lists of pictures
// drawn in code.
#pragma once

#include <QColor>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QList>
#include <QObject>
#include <QTreeWidget>
#include <cstdint>
#include <functional>

class QPainter;

// A panel: a frame that may carry a colour and a centred caption, and tells
// its owner when it is clicked or resized. A click is a left press and its
// release inside the panel; a double click counts as one click.
class TPanel : public QFrame {
  Q_OBJECT
  Q_PROPERTY(QColor color READ Color WRITE SetColor)
  Q_PROPERTY(QString caption READ Caption WRITE SetCaption)

 public:
  explicit TPanel(QWidget* parent = nullptr);

  QColor Color() const { return color_; }
  void SetColor(const QColor& color);
  QString Caption() const { return caption_; }
  void SetCaption(const QString& caption);

 signals:
  void Click();
  void Resize();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  QColor color_;
  QString caption_;
  bool pressed_ = false;  // a left press whose release is a click
};

// A label that tells its owner when it is clicked, as a panel does.
class TLabel : public QLabel {
  Q_OBJECT

 public:
  explicit TLabel(QWidget* parent = nullptr) : QLabel(parent) {}

 signals:
  void Click();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  bool pressed_ = false;
};

class TImageList;

// A tool bar: a row of tool buttons on the system's button face. Each button
// shows picture number `imageIndex` (a property of the button) of the bar's
// image list. The buttons take no keyboard focus: a click leaves the focus
// where it was, and Tab passes over them to the window's input controls.
class TToolBar : public QFrame {
  Q_OBJECT

 public:
  explicit TToolBar(QWidget* parent = nullptr);

  TImageList* Images() const { return images_; }
  void SetImages(TImageList* images);

 protected:
  void childEvent(QChildEvent* event) override;

 private:
  TImageList* images_ = nullptr;
};

// A node of a TTreeView. Sorted trees order their nodes by text as a reader
// of Russian expects: letters alphabetically, lower case before upper case of
// the same letter, and Ё with Е, not by character code (which puts every
// capital first and Ё before А). Hyphens and apostrophes are passed over, as
// the desktop's word order does ("--Новая запись--" goes among the "Н"
// names); texts that differ only in them keep an order all the same.
//
// Each node carries a data slot (a 32-bit number here) and an image index and
// a selected-image index into its tree's image list; the picture shown is the
// selected one while the node is selected.
class TTreeNode : public QTreeWidgetItem {
 public:
  using QTreeWidgetItem::QTreeWidgetItem;

  bool operator<(const QTreeWidgetItem& other) const override;

  uint32_t Data() const;
  void SetData(uint32_t value);
  int ImageIndex() const;
  void SetImageIndex(int index);
  int SelectedIndex() const;
  void SetSelectedIndex(int index);
  // Shows the picture of the index that applies now.
  void UpdateIcon();

 private:
  // Whether the node's text in `column` holds a hyphen or an apostrophe,
  // which the word order passes over. Found once per text: the text last
  // looked at is kept, so the same text (the same shared characters) is
  // known at once, and a sort, which compares each node many times, does
  // not search it again each time.
  bool HasHyphensIn(int column, const QString& shown) const;
  mutable QString hyphensText_;
  mutable int hyphensColumn_ = -1;
  mutable bool hyphens_ = false;
};

// A tree view whose nodes (TTreeNode) show pictures of an image list.
class TTreeView : public QTreeWidget {
  Q_OBJECT

 public:
  explicit TTreeView(QWidget* parent = nullptr);

  TImageList* Images() const { return images_; }
  void SetImages(TImageList* images);

  // Sorted by text: the tree keeps a node's siblings in text order when the
  // node's text changes (nodes added later stay where they are put until
  // then). Qt's own sorting, which sorts at every insert, stays off.
  bool SortedByText() const { return sortedByText_; }
  void SetSortedByText(bool value) { sortedByText_ = value; }

  // A label edited in place takes at most `chars` characters (0: any), and
  // no more than `chars` bytes stored in the program's character set (where
  // a character it lacks is a reference of several); once it refuses more,
  // typed or pasted, `notice` shows beside it, once per edit, so that
  // nothing is cut unsaid.
  void SetLabelLength(int chars, const QString& notice);

  // The node shown at the row of point y (client coordinates), or null.
  TTreeNode* NodeAtRow(int y) const;
  // Where the node's text is drawn, in client (viewport) coordinates; empty
  // when the node is not shown.
  QRect LabelRect(TTreeNode* node) const;

 signals:
  // Every mouse press on the tree, the second press of a double click
  // included, after the tree's own handling of it: button, modifiers and the
  // point in client coordinates. The tree's own handling of a left press on
  // a node selects that node; a press of another button, or on blank space,
  // leaves the selection as it was.
  void MouseDown(Qt::MouseButton button, Qt::KeyboardModifiers modifiers, int x, int y);

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void commitData(QWidget* editor) override;
  // A click on the selected node starts a label edit only when it lies on
  // the label: a click on the node's picture is not a click on its text.
  bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;

 private:
  TImageList* images_ = nullptr;
  bool sortedByText_ = false;
  int labelLength_ = 0;
  QString labelNotice_;
};

// Draws one picture into a 16 x 16 square of logical units; the painter is
// scaled to the size asked for, so the picture is sharp at any scale.
using TPictureFn = std::function<void(QPainter&)>;

// An icon drawn by `draw` at every size it is asked for.
QIcon PaintedIcon(TPictureFn draw);

// A list of 16 x 16 pictures, addressed by index.
class TImageList : public QObject {
  Q_OBJECT

 public:
  explicit TImageList(QObject* parent = nullptr) : QObject(parent) {}

  void Add(TPictureFn draw) { icons_.append(PaintedIcon(std::move(draw))); }
  int Count() const { return static_cast<int>(icons_.size()); }
  // An empty icon for an index outside the list.
  QIcon Icon(int index) const;

  static constexpr int kWidth = 16;
  static constexpr int kHeight = 16;

 private:
  QList<QIcon> icons_;
};
