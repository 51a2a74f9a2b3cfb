#include "images.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <cmath>

#include "controls.h"

namespace {

const QColor kOutline(0x40, 0x40, 0x40);
const QColor kGreen(0x2E, 0x9E, 0x3E);
const QColor kDarkGreen(0x1B, 0x6B, 0x27);
const QColor kRed(0xD3, 0x2F, 0x2F);
const QColor kDarkRed(0x8E, 0x1B, 0x1B);
const QColor kBlue(0x2F, 0x6F, 0xC0);
const QColor kTeal(0x0E, 0x9C, 0x95);

QPen Pen(const QColor& c, qreal width) {
  return QPen(c, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

void Page(QPainter& p) {
  QPolygonF page({{3.5, 1.5}, {10.5, 1.5}, {13.5, 4.5}, {13.5, 14.5}, {3.5, 14.5}});
  p.setPen(QPen(kOutline, 1));
  p.setBrush(Qt::white);
  p.drawPolygon(page);
  p.setBrush(QColor(0xDD, 0xDD, 0xDD));
  p.drawPolygon(QPolygonF({{10.5, 1.5}, {10.5, 4.5}, {13.5, 4.5}}));
}

void Pencil(QPainter& p) {
  p.setPen(Pen(QColor(0x80, 0x50, 0x10), 3.6));
  p.drawLine(QPointF(7.5, 12.5), QPointF(14, 6));
  p.setPen(Pen(QColor(0xF2, 0xB8, 0x2E), 2));
  p.drawLine(QPointF(7.5, 12.5), QPointF(14, 6));
  p.setPen(Pen(kOutline, 1.5));
  p.drawLine(QPointF(5.5, 14.5), QPointF(7, 13));
}

void Cross(QPainter& p) {
  p.setPen(Pen(kDarkRed, 4));
  p.drawLine(QPointF(4, 4), QPointF(12, 12));
  p.drawLine(QPointF(12, 4), QPointF(4, 12));
  p.setPen(Pen(kRed, 2.4));
  p.drawLine(QPointF(4, 4), QPointF(12, 12));
  p.drawLine(QPointF(12, 4), QPointF(4, 12));
}

void Diskette(QPainter& p) {
  p.setPen(QPen(QColor(0x1A, 0x3C, 0x6E), 1));
  p.setBrush(kBlue);
  p.drawPolygon(QPolygonF({{1.5, 1.5}, {12.5, 1.5}, {14.5, 3.5}, {14.5, 14.5}, {1.5, 14.5}}));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xC8, 0xCC, 0xD2));
  p.drawRect(QRectF(4, 2, 7, 4));
  p.setBrush(kBlue);
  p.drawRect(QRectF(8, 2.5, 2, 3));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(3, 8, 10, 6));
  p.setPen(QPen(QColor(0x90, 0x90, 0x90), 1));
  p.drawLine(QPointF(4.5, 10.5), QPointF(11.5, 10.5));
  p.drawLine(QPointF(4.5, 12.5), QPointF(11.5, 12.5));
}

void List(QPainter& p) {
  for (int row = 0; row < 3; ++row) {
    qreal y = 3.5 + row * 4.5;
    p.setPen(Qt::NoPen);
    p.setBrush(kBlue);
    p.drawRect(QRectF(2, y - 1.5, 3, 3));
    p.setPen(QPen(kOutline, 2, Qt::SolidLine, Qt::FlatCap));
    p.drawLine(QPointF(7, y), QPointF(14, y));
  }
}

void Globe(QPainter& p, const QRectF& r, qreal line) {
  QRadialGradient sea(r.center() - QPointF(r.width() / 5, r.height() / 5), r.width() * 0.7);
  sea.setColorAt(0, QColor(0x9F, 0xD8, 0xFF));
  sea.setColorAt(1, QColor(0x2F, 0x7F, 0xD0));
  p.setPen(QPen(QColor(0x1A, 0x4C, 0x8E), line));
  p.setBrush(sea);
  p.drawEllipse(r);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(0xFF, 0xFF, 0xFF, 0xC0), line * 0.8));
  QPointF c = r.center();
  p.drawEllipse(c, r.width() / 4.5, r.height() / 2);
  p.drawLine(QPointF(c.x(), r.top()), QPointF(c.x(), r.bottom()));
  p.drawLine(QPointF(r.left(), c.y()), QPointF(r.right(), c.y()));
  for (qreal k : {-0.28, 0.28}) {
    qreal y = c.y() + k * r.height();
    qreal half = r.width() / 2 * std::sqrt(1 - 4 * k * k);
    p.drawLine(QPointF(c.x() - half, y), QPointF(c.x() + half, y));
  }
}

void QuestionMark(QPainter& p) {
  p.setPen(QPen(QColor(0x1A, 0x3C, 0x6E), 1));
  p.setBrush(kBlue);
  p.drawEllipse(QRectF(1.5, 1.5, 13, 13));
  QPainterPath path;
  path.moveTo(5.8, 6.2);
  path.cubicTo(5.8, 3.6, 10.4, 3.6, 10.4, 6.2);
  path.cubicTo(10.4, 7.8, 8, 7.9, 8, 9.6);
  p.setBrush(Qt::NoBrush);
  p.setPen(Pen(Qt::white, 1.8));
  p.drawPath(path);
  p.setPen(Qt::NoPen);
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(8, 12), 1.1, 1.1);
}

void CheckBox(QPainter& p, const QColor& face, const QColor* tick) {
  p.setPen(QPen(QColor(0x55, 0x55, 0x55), 1));
  p.setBrush(face);
  p.drawRect(QRectF(2.5, 2.5, 11, 11));
  if (tick) {
    p.setPen(Pen(*tick, 2));
    p.drawPolyline(QPolygonF({{5, 8}, {7.2, 10.3}, {11, 5.5}}));
  }
}

void Plus(QPainter& p, const QRectF& r) {
  qreal t = r.width() / 3.6;
  QPainterPath path;
  path.addRect(QRectF(r.center().x() - t / 2, r.top(), t, r.height()));
  path.addRect(QRectF(r.left(), r.center().y() - t / 2, r.width(), t));
  path.setFillRule(Qt::WindingFill);
  p.setPen(QPen(kDarkGreen, 1));
  p.setBrush(kGreen);
  p.drawPath(path.simplified());
}

void Folder(QPainter& p) {
  p.setPen(QPen(QColor(0x8A, 0x6A, 0x10), 1));
  p.setBrush(QColor(0xF0, 0xC8, 0x48));
  p.drawPolygon(
      QPolygonF({{5.5, 7.5}, {8.5, 7.5}, {9.5, 8.5}, {14.5, 8.5}, {14.5, 14.5}, {5.5, 14.5}}));
  p.setBrush(QColor(0xF8, 0xDC, 0x78));
  p.drawRect(QRectF(5.5, 10, 9, 4.5));
}

// A tree outline: a node box with its sign and, for the expanded form, two
// child rows hanging from it.
void TreeOutline(QPainter& p, bool expanded) {
  p.setPen(QPen(QColor(0x80, 0x80, 0x80), 1, Qt::DotLine));
  if (expanded) {
    p.drawLine(QPointF(4.5, 8), QPointF(4.5, 13.5));
    p.drawLine(QPointF(4.5, 10.5), QPointF(8, 10.5));
    p.drawLine(QPointF(4.5, 13.5), QPointF(8, 13.5));
  }
  p.setPen(QPen(kOutline, 1));
  p.setBrush(Qt::white);
  p.drawRect(QRectF(1.5, 1.5, 6, 6));
  p.setPen(QPen(kOutline, 1, Qt::SolidLine, Qt::FlatCap));
  p.drawLine(QPointF(3, 4.5), QPointF(6, 4.5));
  if (!expanded) {
    p.drawLine(QPointF(4.5, 3), QPointF(4.5, 6));
  }
  p.setPen(QPen(kBlue, 2, Qt::SolidLine, Qt::FlatCap));
  if (expanded) {
    p.drawLine(QPointF(9, 10.5), QPointF(14, 10.5));
    p.drawLine(QPointF(9, 13.5), QPointF(14, 13.5));
  }
  // The arrow says which way the whole tree goes.
  p.setPen(Pen(kDarkGreen, 1.6));
  if (expanded) {
    p.drawPolyline(QPolygonF({{10, 3}, {12, 5.5}, {14, 3}}));
  } else {
    p.drawPolyline(QPolygonF({{10, 11}, {12, 8.5}, {14, 11}}));
    p.drawPolyline(QPolygonF({{10, 14.5}, {12, 12}, {14, 14.5}}));
  }
}

}  // namespace

void DrawCheckMark(QPainter& p) {
  p.setPen(Pen(kDarkGreen, 3.6));
  p.drawPolyline(QPolygonF({{3, 8.5}, {6.5, 12}, {13, 4}}));
  p.setPen(Pen(kGreen, 2));
  p.drawPolyline(QPolygonF({{3, 8.5}, {6.5, 12}, {13, 4}}));
}

void FillUrlToolBarImages(TImageList* list) {
  list->Add(Page);
  list->Add([](QPainter& p) {
    Page(p);
    Pencil(p);
  });
  list->Add(Cross);
  list->Add(Diskette);
  list->Add(DrawCheckMark);
  list->Add(List);
  list->Add([](QPainter& p) { Globe(p, QRectF(1.5, 1.5, 13, 13), 1); });
  list->Add(QuestionMark);
}

void FillSectionMarkImages(TImageList* list) {
  static const QColor kBlack(Qt::black), kGreyTick(0x70, 0x70, 0x70);
  list->Add([](QPainter& p) { CheckBox(p, Qt::white, nullptr); });
  list->Add([](QPainter& p) { CheckBox(p, QColor(0xD0, 0xD0, 0xD0), &kGreyTick); });
  list->Add([](QPainter& p) { CheckBox(p, Qt::white, &kBlack); });
}

void FillSectionToolBarImages(TImageList* list) {
  list->Add([](QPainter& p) { Plus(p, QRectF(2, 2, 12, 12)); });
  list->Add([](QPainter& p) {
    Folder(p);
    Plus(p, QRectF(1, 1, 8.5, 8.5));
  });
  list->Add([](QPainter& p) {
    p.setPen(QPen(kDarkRed, 1));
    p.setBrush(kRed);
    p.drawRect(QRectF(2.5, 6.5, 11, 3));
  });
  list->Add([](QPainter& p) { TreeOutline(p, true); });
  list->Add([](QPainter& p) { TreeOutline(p, false); });
}

QPixmap AboutPicture(qreal devicePixelRatio) {
  const QSizeF size(188, 172);
  QPixmap pixmap((size * devicePixelRatio).toSize());
  pixmap.setDevicePixelRatio(devicePixelRatio);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);

  QLinearGradient sky(0, 0, 0, size.height());
  sky.setColorAt(0, QColor(0x12, 0x3A, 0x5E));
  sky.setColorAt(1, kTeal);
  p.fillRect(QRectF(QPointF(0, 0), size), sky);

  // Rows of a catalogue behind the globe.
  p.setPen(Qt::NoPen);
  for (int i = 0; i < 6; ++i) {
    p.setBrush(QColor(255, 255, 255, 28 + 8 * i));
    p.drawRoundedRect(QRectF(14, 20 + i * 15, 160 - i * 14, 8), 3, 3);
  }

  Globe(p, QRectF(44, 30, 100, 100), 2);

  // Two chain links across the globe: the addresses the program keeps.
  p.setBrush(Qt::NoBrush);
  p.translate(94, 82);
  p.rotate(-35);
  for (qreal dx : {-17.0, 17.0}) {
    p.setPen(QPen(QColor(0x20, 0x20, 0x20, 0x90), 9));
    p.drawRoundedRect(QRectF(dx - 22, -9, 44, 18), 9, 9);
    p.setPen(QPen(QColor(0xF5, 0xF5, 0xF5), 5));
    p.drawRoundedRect(QRectF(dx - 22, -9, 44, 18), 9, 9);
  }
  p.resetTransform();

  QFont font("Sans Serif");
  font.setStyleHint(QFont::SansSerif);
  font.setBold(true);
  font.setPixelSize(17);
  p.setFont(font);
  p.setPen(Qt::white);
  p.drawText(QRectF(0, 134, size.width(), 20), Qt::AlignCenter, "Tavo Url Manager");
  font.setBold(false);
  font.setPixelSize(11);
  p.setFont(font);
  p.setPen(QColor(0xD8, 0xF2, 0xF0));
  p.drawText(QRectF(0, 153, size.width(), 14), Qt::AlignCenter, "2.0");
  return pixmap;
}
