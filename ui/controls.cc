#include "controls.h"

#include <QApplication>
#include <QCollator>
#include <QIconEngine>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QToolButton>

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

bool TTreeNode::operator<(const QTreeWidgetItem& other) const {
  // The common collation: Latin before Cyrillic, as on the first platform.
  static const QCollator collator(QLocale(QLocale::English, QLocale::UnitedStates));
  int column = treeWidget() ? treeWidget()->sortColumn() : 0;
  return collator.compare(text(column), other.text(column)) < 0;
}

void TToolBar::SetImages(TImageList* images) {
  images_ = images;
  for (QToolButton* button : findChildren<QToolButton*>(Qt::FindDirectChildrenOnly)) {
    QVariant index = button->property("imageIndex");
    if (images_ && index.isValid()) {
      button->setIcon(images_->Icon(index.toInt()));
      button->setIconSize(QSize(TImageList::kWidth, TImageList::kHeight));
    }
  }
}
