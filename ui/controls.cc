#include "controls.h"

#include <QApplication>
#include <QChildEvent>
#include <QCollator>
#include <QIconEngine>
#include <QImage>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QToolButton>
#include <QToolTip>

#include "qt_text.h"

namespace {

class TPaintedIconEngine : public QIconEngine {
 public:
  explicit TPaintedIconEngine(TPictureFn draw) : draw_(std::move(draw)) {}

  void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State) override {
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->translate(rect.topLeft());
    painter->scale(rect.width() / 16.0, rect.height() / 16.0);
    if (mode == QIcon::Disabled) {
      painter->setOpacity(0.4);
    }
    draw_(*painter);
    painter->restore();
  }

  QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
      QPainter p(&image);
      paint(&p, QRect(QPoint(0, 0), size), mode, state);
    }
    return QPixmap::fromImage(image);
  }

  QIconEngine* clone() const override { return new TPaintedIconEngine(draw_); }

 private:
  TPictureFn draw_;
};

// Whether a release ends a click: the left button, released inside the
// control, after a single press. The second press of a double click starts
// no click, so a double click is one click.
bool EndsClick(QWidget* control, QMouseEvent* release, bool* pressed) {
  bool click = *pressed && release->button() == Qt::LeftButton &&
               control->rect().contains(release->position().toPoint());
  if (release->button() == Qt::LeftButton) {
    *pressed = false;
  }
  return click;
}

}  // namespace

QIcon PaintedIcon(TPictureFn draw) {
  // QIcon takes ownership of its engine.
  return QIcon(new TPaintedIconEngine(std::move(draw)));
}

QIcon TImageList::Icon(int index) const {
  return index >= 0 && index < icons_.size() ? icons_[index] : QIcon();
}

TPanel::TPanel(QWidget* parent) : QFrame(parent) {}

void TPanel::SetColor(const QColor& color) {
  color_ = color;
  QPalette pal = palette();
  pal.setColor(QPalette::Window, color);
  setPalette(pal);
  setAutoFillBackground(color.isValid());
}

void TPanel::SetCaption(const QString& caption) {
  caption_ = caption;
  update();
}

void TPanel::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  if (!caption_.isEmpty()) {
    QPainter p(this);
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(contentsRect(), Qt::AlignCenter, caption_);
  }
}

void TPanel::mousePressEvent(QMouseEvent* event) {
  QFrame::mousePressEvent(event);
  pressed_ = pressed_ || event->button() == Qt::LeftButton;
}

void TPanel::mouseDoubleClickEvent(QMouseEvent* event) { event->accept(); }

void TPanel::mouseReleaseEvent(QMouseEvent* event) {
  QFrame::mouseReleaseEvent(event);
  if (EndsClick(this, event, &pressed_)) {
    emit Click();
  }
}

void TPanel::resizeEvent(QResizeEvent* event) {
  QFrame::resizeEvent(event);
  emit Resize();
}

void TLabel::mousePressEvent(QMouseEvent* event) {
  QLabel::mousePressEvent(event);
  pressed_ = pressed_ || event->button() == Qt::LeftButton;
}

void TLabel::mouseDoubleClickEvent(QMouseEvent* event) { event->accept(); }

void TLabel::mouseReleaseEvent(QMouseEvent* event) {
  QLabel::mouseReleaseEvent(event);
  if (EndsClick(this, event, &pressed_)) {
    emit Click();
  }
}

TToolBar::TToolBar(QWidget* parent) : QFrame(parent) {
  // The system's button face, whatever colour the window around it has.
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QApplication::palette().color(QPalette::Button));
  setPalette(pal);
  setAutoFillBackground(true);
}

void TToolBar::childEvent(QChildEvent* event) {
  QFrame::childEvent(event);
  // A button added after the bar got its pictures, once it is complete.
  if (event->type() == QEvent::ChildPolished) {
    if (auto* button = qobject_cast<QToolButton*>(event->child())) {
      button->setFocusPolicy(Qt::NoFocus);
    }
  }
}

namespace {

bool HasHyphens(const QString& text) {
  return text.contains(QChar('-')) || text.contains(QChar('\''));
}

// A text without the characters the word order passes over.
QString WithoutHyphens(const QString& text) {
  QString out = text;
  out.remove(QChar('-'));
  out.remove(QChar('\''));
  return out;
}

}  // namespace

bool TTreeNode::HasHyphensIn(int column, const QString& shown) const {
  // Held here, the kept text's characters stay allocated, so characters at
  // the same address are the same text.
  if (column != hyphensColumn_ || shown.constData() != hyphensText_.constData() ||
      shown.size() != hyphensText_.size()) {
    hyphensText_ = shown;
    hyphensColumn_ = column;
    hyphens_ = HasHyphens(shown);
  }
  return hyphens_;
}

bool TTreeNode::operator<(const QTreeWidgetItem& other) const {
  // The common collation: Latin before Cyrillic, as on the first platform.
  static const QCollator collator(QLocale(QLocale::English, QLocale::UnitedStates));
  int column = treeWidget() ? treeWidget()->sortColumn() : 0;
  const QString a = text(column);
  const QString b = other.text(column);
  const auto* node = dynamic_cast<const TTreeNode*>(&other);
  // Most names have neither character: one comparison, no copies (a sort of
  // ten thousand sections makes some hundred thousand of them).
  if (!HasHyphensIn(column, a) && !(node ? node->HasHyphensIn(column, b) : HasHyphens(b))) {
    return collator.compare(a, b) < 0;
  }
  const int words = collator.compare(WithoutHyphens(a), WithoutHyphens(b));
  return words != 0 ? words < 0 : collator.compare(a, b) < 0;
}

namespace {

// Where a node keeps its data slot and image indices.
constexpr int kDataRole = Qt::UserRole;
constexpr int kImageIndexRole = Qt::UserRole + 1;
constexpr int kSelectedIndexRole = Qt::UserRole + 2;

}  // namespace

uint32_t TTreeNode::Data() const { return data(0, kDataRole).toUInt(); }

void TTreeNode::SetData(uint32_t value) { setData(0, kDataRole, value); }

int TTreeNode::ImageIndex() const { return data(0, kImageIndexRole).toInt(); }

void TTreeNode::SetImageIndex(int index) {
  setData(0, kImageIndexRole, index);
  UpdateIcon();
}

int TTreeNode::SelectedIndex() const { return data(0, kSelectedIndexRole).toInt(); }

void TTreeNode::SetSelectedIndex(int index) {
  setData(0, kSelectedIndexRole, index);
  UpdateIcon();
}

void TTreeNode::UpdateIcon() {
  auto* tree = qobject_cast<TTreeView*>(treeWidget());
  if (tree == nullptr || tree->Images() == nullptr) {
    return;
  }
  setIcon(0, tree->Images()->Icon(isSelected() ? SelectedIndex() : ImageIndex()));
}

TTreeView::TTreeView(QWidget* parent) : QTreeWidget(parent) {
  // The picture follows the selection, as the selected-image index says.
  connect(this, &QTreeWidget::currentItemChanged, this,
          [](QTreeWidgetItem* current, QTreeWidgetItem* previous) {
            for (QTreeWidgetItem* item : {current, previous}) {
              if (auto* node = dynamic_cast<TTreeNode*>(item)) {
                node->UpdateIcon();
              }
            }
          });
}

void TTreeView::SetLabelLength(int chars, const QString& notice) {
  labelLength_ = chars;
  labelNotice_ = notice;
}

bool TTreeView::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
  // A click on the selected node's picture is not a click on its text.
  if (trigger == SelectedClicked && event != nullptr) {
    if (auto* mouse = dynamic_cast<QMouseEvent*>(event)) {
      auto* node = dynamic_cast<TTreeNode*>(itemFromIndex(index));
      if (node == nullptr || !LabelRect(node).contains(mouse->position().toPoint())) {
        return false;
      }
    }
  }
  const bool editing = QTreeWidget::edit(index, trigger, event);
  auto* line = qobject_cast<QLineEdit*>(indexWidget(index));
  if (editing && line != nullptr && labelLength_ > 0 && line->maxLength() != labelLength_) {
    line->setMaxLength(labelLength_);
    connect(line, &QLineEdit::inputRejected, line, [line, notice = labelNotice_] {
      if (!line->property("noticeShown").toBool()) {
        line->setProperty("noticeShown", true);
        QToolTip::showText(line->mapToGlobal(QPoint(0, line->height())), notice, line);
      }
    });
    // The length counts stored bytes, where a character the program's
    // character set lacks takes several (its reference).
    connect(line, &QLineEdit::textEdited, line, [line, length = labelLength_] {
      QString shown = line->text();
      int cursor = line->cursorPosition();
      if (ui::FitStoredText(&shown, &cursor, static_cast<std::size_t>(length), false)) {
        line->setText(shown);
        line->setCursorPosition(cursor);
        emit line->inputRejected();
      }
    });
  }
  return editing;
}

void TTreeView::commitData(QWidget* editor) {
  // An editor already closed may still commit as it loses the focus on its
  // way out; that changes no text and must not sort.
  const bool open = editor != nullptr && indexWidget(currentIndex()) == editor;
  QTreeWidget::commitData(editor);
  // A label edited in place is the one way a node's text changes.
  QTreeWidgetItem* item = currentItem();
  if (open && sortedByText_ && item != nullptr) {
    QTreeWidgetItem* parent = item->parent() ? item->parent() : invisibleRootItem();
    parent->sortChildren(0, Qt::AscendingOrder);
    scrollToItem(item);
  }
}

namespace {

// Whether the tree's own handling of a mouse press may select: only a left
// press on a node does. A press of another button or on blank space takes
// the focus and nothing else, so the node the commands act on stays.
bool SelectsNode(QTreeWidget* tree, QMouseEvent* event) {
  return event->button() == Qt::LeftButton && tree->indexAt(event->position().toPoint()).isValid();
}

}  // namespace

void TTreeView::mousePressEvent(QMouseEvent* event) {
  if (SelectsNode(this, event)) {
    QTreeWidget::mousePressEvent(event);
  } else {
    setFocus(Qt::MouseFocusReason);
    event->accept();
  }
  QPoint at = event->position().toPoint();
  emit MouseDown(event->button(), event->modifiers(), at.x(), at.y());
}

void TTreeView::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    QTreeWidget::mouseReleaseEvent(event);
  } else {
    event->accept();
  }
}

void TTreeView::mouseDoubleClickEvent(QMouseEvent* event) {
  if (SelectsNode(this, event)) {
    QTreeWidget::mouseDoubleClickEvent(event);
  } else {
    event->accept();
  }
  QPoint at = event->position().toPoint();
  emit MouseDown(event->button(), event->modifiers(), at.x(), at.y());
}


void TTreeView::SetImages(TImageList* images) {
  images_ = images;
  setIconSize(QSize(TImageList::kWidth, TImageList::kHeight));
}

TTreeNode* TTreeView::NodeAtRow(int y) const {
  // Any point of the row counts, left of the node's indentation included.
  QModelIndex index = indexAt(QPoint(viewport()->width() / 2, y));
  for (int x = 0; !index.isValid() && x < viewport()->width(); x += 8) {
    index = indexAt(QPoint(x, y));
  }
  return dynamic_cast<TTreeNode*>(itemFromIndex(index));
}

QRect TTreeView::LabelRect(TTreeNode* node) const {
  QModelIndex index = indexFromItem(node);
  QRect row = visualRect(index);
  if (!index.isValid() || row.isEmpty()) {
    return {};
  }
  QStyleOptionViewItem option;
  initViewItemOption(&option);
  option.rect = row;
  option.index = index;
  option.text = node->text(0);
  option.icon = node->icon(0);
  option.features |= QStyleOptionViewItem::HasDisplay;
  if (!option.icon.isNull()) {
    option.features |= QStyleOptionViewItem::HasDecoration;
  }
  return style()->subElementRect(QStyle::SE_ItemViewItemText, &option, this);
}

void TToolBar::SetImages(TImageList* images) {
  images_ = images;
  for (QToolButton* button : findChildren<QToolButton*>(Qt::FindDirectChildrenOnly)) {
    button->setFocusPolicy(Qt::NoFocus);
    QVariant index = button->property("imageIndex");
    if (images_ && index.isValid()) {
      button->setIcon(images_->Icon(index.toInt()));
      button->setIconSize(QSize(TImageList::kWidth, TImageList::kHeight));
    }
  }
}
