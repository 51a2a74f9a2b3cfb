#include "dbgrid.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QScrollBar>
#include <QToolTip>
#include <algorithm>
#include <climits>
#include <cmath>

#include "db/datasource.h"
#include "dbctrls.h"
#include "dblookup.h"
#include "exception_handler.h"
#include "message_box.h"
#include "qt_text.h"
#include "dbgrid_link.h"

namespace {

constexpr int kIndicatorWidth = 12;

Qt::Alignment AlignmentOf(const TField* field) {
  if (field == nullptr) {
    return Qt::AlignLeft;
  }
  switch (field->Alignment()) {
    case taRightJustify:
      return Qt::AlignRight;
    case taCenter:
      return Qt::AlignHCenter;
    default:
      return Qt::AlignLeft;
  }
}

}  // namespace

// The titles of the columns, for the title row; the grid paints the cells.
class TDBGridColumnsModel : public QAbstractTableModel {
 public:
  explicit TDBGridColumnsModel(QObject* parent) : QAbstractTableModel(parent) {}

  void SetTitles(const QStringList& titles) {
    if (titles.size() == titles_.size()) {
      titles_ = titles;
      emit headerDataChanged(Qt::Horizontal, 0, static_cast<int>(titles_.size()) - 1);
      return;
    }
    beginResetModel();
    titles_ = titles;
    endResetModel();
  }

  int rowCount(const QModelIndex&) const override { return 0; }
  int columnCount(const QModelIndex& parent) const override {
    return parent.isValid() ? 0 : static_cast<int>(titles_.size());
  }
  QVariant data(const QModelIndex&, int) const override { return {}; }
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 &&
        section < titles_.size()) {
      return titles_[section];
    }
    return QAbstractTableModel::headerData(section, orientation, role);
  }

 private:
  QStringList titles_;
};

// The record indicator column: an arrow at the current record while
// browsing, an I-beam while it is edited, a star while it is inserted.
class TGridIndicator : public QWidget {
 public:
  explicit TGridIndicator(TDBGrid* grid) : QWidget(grid), grid_(grid) {}

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    grid_->PaintIndicator(painter, rect());
  }
  void mousePressEvent(QMouseEvent* event) override { event->accept(); }

 private:
  TDBGrid* grid_;
};

TDBGrid::TDBGrid(QWidget* parent)
    : QAbstractScrollArea(parent),
      link_(std::make_unique<TGridDataLink>(this)),
      model_(new TDBGridColumnsModel(this)),
      header_(new QHeaderView(Qt::Horizontal, this)),
      indicator_(new TGridIndicator(this)) {
  // Title cells and the space beside them on the system's button face, not
  // in the colour of the window around the grid.
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QApplication::palette().color(QPalette::Button));
  setPalette(pal);
  setFocusPolicy(Qt::StrongFocus);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);

  header_->setModel(model_);
  header_->setSectionsClickable(true);
  header_->setSectionResizeMode(QHeaderView::Interactive);
  header_->setHighlightSections(false);
  header_->setStretchLastSection(false);
  header_->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  header_->setFocusPolicy(Qt::NoFocus);
  connect(header_, &QHeaderView::sectionClicked, this, &TDBGrid::TitleClick);
  connect(header_, &QHeaderView::sectionResized, this, [this] {
    UpdateScrollBars();
    PlaceEditor();
    viewport()->update();
  });

  verticalScrollBar()->setRange(0, 0);
  connect(verticalScrollBar(), &QScrollBar::actionTriggered, this, &TDBGrid::ScrollBarAction);
  connect(verticalScrollBar(), &QScrollBar::sliderReleased, this, [this] { UpdateVerticalBar(); });
  // A wheel over the bar moves the records as a wheel over the rows does.
  verticalScrollBar()->installEventFilter(this);

  rowHeight_ = fontMetrics().height() + 4;
  LayoutChildren();
}

TDBGrid::~TDBGrid() {
  // The link goes first, so no notification reaches a half-destroyed grid.
  link_.reset();
}

TDataSource* TDBGrid::DataSource() const { return link_->DataSource(); }

void TDBGrid::SetDataSource(TDataSource* source) {
  link_->SetDataSource(source);
  LinkActiveChanged();
}

void TDBGrid::SetReadOnly(bool value) {
  readOnly_ = value;
  if (readOnly_) {
    HideEditor();
  }
}

// ---------------------------------------------------------------------------
// Columns

void TDBGrid::SetColumnFields(const QStringList& fields) {
  fields_ = fields;
  Rebuild();
}

void TDBGrid::SetColumnTitles(const QStringList& titles) {
  titles_ = titles;
  Rebuild();
}

void TDBGrid::SetColumnWidths(const QStringList& widths) {
  widths_ = widths;
  Rebuild();
}

void TDBGrid::Rebuild() {
  columns_.clear();
  for (int i = 0; i < fields_.size(); ++i) {
    Column column;
    column.fieldName = fields_[i];
    column.title = i < titles_.size() ? titles_[i] : QString();
    columns_.push_back(column);
  }
  BindColumns();
  for (int i = 0; i < fields_.size(); ++i) {
    bool ok = false;
    int width = i < widths_.size() ? widths_[i].toInt(&ok) : 0;
    if (ok) {
      header_->resizeSection(i, std::max(width, 0));
      columns_[static_cast<size_t>(i)].widthSet = true;
    }
  }
  ReadCells();
  UpdateScrollBars();
  viewport()->update();
}

// Binds each column to its field while the dataset is open. Without
// declared columns every visible field gets one.
void TDBGrid::BindColumns() {
  TDataSet* dataSet = link_->Active() ? link_->DataSet() : nullptr;
  if (fields_.isEmpty()) {
    columns_.clear();
    if (dataSet != nullptr) {
      for (int i = 0; i < dataSet->FieldCount(); ++i) {
        TField* field = dataSet->Fields()[i];
        if (field->Visible()) {
          columns_.push_back({ui::ToQString(field->FieldName()), QString(), false});
        }
      }
    }
  }
  bound_.assign(columns_.size(), nullptr);
  if (dataSet != nullptr) {
    for (size_t i = 0; i < columns_.size(); ++i) {
      bound_[i] = dataSet->FindField(ui::FromQString(columns_[i].fieldName));
    }
  }
  ApplyTitles();
  // A column whose width nobody gave takes its field's display width.
  for (size_t i = 0; i < columns_.size(); ++i) {
    if (columns_[i].widthSet) {
      continue;
    }
    int width = header_->defaultSectionSize();
    if (bound_[i] != nullptr) {
      QFontMetrics metrics = fontMetrics();
      width = std::max(bound_[i]->DisplayWidth() * metrics.horizontalAdvance('0') + 4,
                       metrics.horizontalAdvance(ColumnTitle(static_cast<int>(i))) + 8);
    }
    header_->resizeSection(static_cast<int>(i), width);
  }
  selectedIndex_ = std::clamp(selectedIndex_, 0, std::max(0, ColumnCount() - 1));
}

void TDBGrid::ApplyTitles() {
  QStringList shown;
  for (int i = 0; i < ColumnCount(); ++i) {
    shown.append(ColumnTitle(i));
  }
  model_->SetTitles(shown);
}

QString TDBGrid::ColumnTitle(int index) const {
  if (index < 0 || index >= ColumnCount()) {
    return {};
  }
  const Column& column = columns_[static_cast<size_t>(index)];
  if (!column.title.isEmpty()) {
    return column.title;
  }
  if (TField* field = ColumnField(index)) {
    return ui::ToQString(field->DisplayName());
  }
  return column.fieldName;
}

TField* TDBGrid::ColumnField(int index) const {
  return index >= 0 && index < static_cast<int>(bound_.size()) ? bound_[static_cast<size_t>(index)]
                                                               : nullptr;
}

int TDBGrid::ColumnWidth(int index) const { return header_->sectionSize(index); }

void TDBGrid::SetColumnWidth(int index, int width) {
  if (index < 0 || index >= ColumnCount()) {
    return;
  }
  columns_[static_cast<size_t>(index)].widthSet = true;
  header_->resizeSection(index, std::max(width, 0));
}

// ---------------------------------------------------------------------------
// Rows and the link's notifications

void TDBGrid::LinkActiveChanged() {
  if (!link_->Active()) {
    HideEditor();
  }
  BindColumns();
  UpdateRowCount();
  ReadCells();
  UpdateScrollBars();
  viewport()->update();
  indicator_->update();
}

void TDBGrid::LinkDataChanged(bool recount) {
  ReadCells();
  if (recount) {
    UpdateScrollBars();
  } else {
    UpdateVerticalBar();
  }
  if (editorMode_) {
    if (RowCount() == 0) {
      HideEditor();
    } else if (!startingEdit_) {
      LoadEditor();
    }
    PlaceEditor();
  }
  viewport()->update();
  indicator_->update();
}

void TDBGrid::LinkRecordChanged(TField* field) {
  ReadCells();
  if (editorMode_ && !startingEdit_) {
    TField* shown = ColumnField(selectedIndex_);
    if (field == nullptr || field == shown ||
        (shown != nullptr && shown->Lookup() && !EditorPending())) {
      LoadEditor();
    }
  }
  viewport()->update();
  indicator_->update();
}

void TDBGrid::LinkEditingChanged() { indicator_->update(); }

// The editor's pending text goes into its field: before Post, before a
// move, and when the cell is left.
void TDBGrid::LinkUpdateData() {
  if (!EditorPending()) {
    return;
  }
  TField* field = ColumnField(selectedIndex_);
  if (field != nullptr) {
    if (field->Lookup()) {
      int index = listEditor_ != nullptr ? listEditor_->currentIndex() : -1;
      if (index >= 0 && index < static_cast<int>(listItems_.size())) {
        field->SetLookupKey(listItems_[static_cast<size_t>(index)].key);
      } else {
        field->SetLookupKey(TVariant());
      }
    } else {
      field->SetText(ui::FromQString(lineEditor_->text(), *field));
    }
  }
  editorModified_ = false;
}

void TDBGrid::LinkFocusControl(TField* field) {
  for (int i = 0; i < ColumnCount(); ++i) {
    if (ColumnField(i) == field && field != nullptr) {
      SetSelectedIndex(i);
      setFocus();
      return;
    }
  }
}

// Reads the texts of the rows shown: each row's record is made the one the
// fields read, without moving the dataset.
void TDBGrid::ReadCells() {
  cells_.clear();
  if (!link_->Active()) {
    return;
  }
  int count = link_->RecordCount();
  int saved = link_->ActiveRecord();
  cells_.reserve(static_cast<size_t>(count));
  for (int row = 0; row < count; ++row) {
    link_->SetActiveRecord(row);
    QStringList texts;
    for (TField* field : bound_) {
      QString text;
      if (field != nullptr) {
        try {
          text = ui::ToQString(field->DisplayText(), *field);
        } catch (const std::exception&) {
          // A value that cannot be shown leaves its cell empty; the grid
          // must go on painting the others.
        }
      }
      texts.append(text);
    }
    cells_.push_back(texts);
  }
  link_->SetActiveRecord(saved);
}

void TDBGrid::UpdateRowCount() {
  rowHeight_ = std::max(1, fontMetrics().height() + 4);
  visibleRows_ = std::max(1, viewport()->height() / rowHeight_);
  if (link_->BufferCount() != visibleRows_) {
    // The dataset fills or trims its window without telling its links.
    link_->SetBufferCount(visibleRows_);
    ReadCells();
    UpdateVerticalBar();
    PlaceEditor();
  }
  verticalScrollBar()->setPageStep(visibleRows_);
}

QString TDBGrid::CellText(int row, int column) const {
  if (row < 0 || row >= RowCount() || column < 0 ||
      column >= cells_[static_cast<size_t>(row)].size()) {
    return {};
  }
  return cells_[static_cast<size_t>(row)][column];
}

int TDBGrid::Row() const { return link_->Active() && RowCount() > 0 ? link_->ActiveRecord() : -1; }

// ---------------------------------------------------------------------------
// Scroll bars

void TDBGrid::UpdateScrollBars() {
  QScrollBar* bar = horizontalScrollBar();
  int width = viewport()->width();
  bar->setRange(0, std::max(0, header_->length() - width));
  bar->setPageStep(std::max(1, width));
  bar->setSingleStep(20);
  header_->setOffset(bar->value());

  // The bar's range is the record count; it is asked again only when the
  // dataset's records may have changed, not at every scroll.
  barMaximum_ = 0;
  if (link_->Active()) {
    int count = link_->DataSet()->RecordCount();
    barMaximum_ = count > visibleRows_ ? std::min(count - 1, INT_MAX / 2) : 0;
  }
  settingBar_ = true;
  verticalScrollBar()->setRange(0, barMaximum_);
  settingBar_ = false;
  UpdateVerticalBar();
}

// The bar's thumb follows the dataset's place in its current order, except
// while the user drags it.
void TDBGrid::UpdateVerticalBar() {
  QScrollBar* bar = verticalScrollBar();
  if (bar->isSliderDown() || !link_->Active()) {
    return;
  }
  TDataSet* dataSet = link_->DataSet();
  double position = dataSet->RecordPosition();
  int value = bar->value();
  if (dataSet->State() == dsInsert && dataSet->Eof()) {
    value = barMaximum_;
  } else if (RowCount() == 0) {
    value = 0;
  } else if (position >= 0) {
    value = static_cast<int>(std::lround(position * barMaximum_));
  }
  settingBar_ = true;
  bar->setValue(value);
  bar->setSliderPosition(value);
  settingBar_ = false;
}

void TDBGrid::ScrollBarAction(int action) {
  if (!link_->Active() || settingBar_) {
    return;
  }
  QScrollBar* bar = verticalScrollBar();
  ui::CallGuarded([&] {
    int active = link_->ActiveRecord();
    switch (action) {
      case QAbstractSlider::SliderSingleStepAdd:
        // The record under the last row becomes current: the rows move by one.
        MoveRows(link_->RecordCount() - active);
        break;
      case QAbstractSlider::SliderSingleStepSub:
        MoveRows(-active - 1);
        break;
      case QAbstractSlider::SliderPageStepAdd:
        MoveRows(visibleRows_ - active + link_->RecordCount() - 1);
        break;
      case QAbstractSlider::SliderPageStepSub:
        MoveRows(-active - visibleRows_ + 1);
        break;
      case QAbstractSlider::SliderToMinimum:
        link_->DataSet()->First();
        break;
      case QAbstractSlider::SliderToMaximum:
        link_->DataSet()->Last();
        break;
      case QAbstractSlider::SliderMove:
        if (barMaximum_ > 0) {
          link_->DataSet()->SetRecordPosition(static_cast<double>(bar->sliderPosition()) /
                                              barMaximum_);
        }
        break;
      default:
        break;
    }
  });
  if (action != QAbstractSlider::SliderMove) {
    // The bar would otherwise take the place it computed itself.
    UpdateVerticalBar();
  }
}

void TDBGrid::scrollContentsBy(int dx, int) {
  // Only the columns scroll by pixels; the rows scroll by moving the dataset.
  if (dx != 0) {
    header_->setOffset(horizontalScrollBar()->value());
    viewport()->update();
    PlaceEditor();
  }
}

void TDBGrid::LayoutChildren() {
  int titleHeight = header_->sizeHint().height();
  setViewportMargins(kIndicatorWidth, titleHeight, 0, 0);
  QRect area = viewport()->geometry();
  header_->setGeometry(area.left(), area.top() - titleHeight, area.width(), titleHeight);
  indicator_->setGeometry(area.left() - kIndicatorWidth, area.top() - titleHeight,
                          kIndicatorWidth, titleHeight + area.height());
}

QString TDBGrid::CellToolTip(int row, int column) const {
  TField* field = ColumnField(column);
  if (field == nullptr || !field->OnGetText || row < 0 || row >= RowCount()) {
    return {};
  }
  QString tip;
  const int saved = link_->ActiveRecord();
  link_->SetActiveRecord(row);
  try {
    const std::string text = field->Text();
    if (text != field->DisplayText()) {
      tip = ui::ToQString(text, *field);
    }
  } catch (const std::exception&) {
    // No tip for a value that cannot be read.
  }
  link_->SetActiveRecord(saved);
  return tip;
}

bool TDBGrid::viewportEvent(QEvent* event) {
  if (event->type() == QEvent::ToolTip) {
    const QPoint at = static_cast<QHelpEvent*>(event)->pos();
    const QString tip = CellToolTip(at.y() / rowHeight_, ColumnAt(at.x()));
    if (tip.isEmpty()) {
      QToolTip::hideText();
      event->ignore();
    } else {
      QToolTip::showText(static_cast<QHelpEvent*>(event)->globalPos(), tip, viewport());
    }
    return true;
  }
  if (event->type() == QEvent::Resize) {
    LayoutChildren();
    UpdateRowCount();
    UpdateScrollBars();
    PlaceEditor();
  }
  return QAbstractScrollArea::viewportEvent(event);
}

bool TDBGrid::event(QEvent* event) {
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
    header_->setFont(font());
    LayoutChildren();
    UpdateRowCount();
  }
  return QAbstractScrollArea::event(event);
}

// ---------------------------------------------------------------------------
// Painting

QRect TDBGrid::CellRect(int row, int column) const {
  if (column < 0 || column >= ColumnCount()) {
    return {};
  }
  return QRect(header_->sectionViewportPosition(column), row * rowHeight_,
               header_->sectionSize(column), rowHeight_);
}

int TDBGrid::ColumnAt(int x) const { return header_->logicalIndexAt(x); }

void TDBGrid::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  painter.fillRect(event->rect(), palette().color(QPalette::Base));
  const QColor lines = palette().color(QPalette::Midlight).darker(115);
  const int current = Row();
  const bool focused = hasFocus() || (editorMode_ && InplaceEditor() != nullptr &&
                                      InplaceEditor()->hasFocus());
  for (int row = 0; row < RowCount(); ++row) {
    for (int column = 0; column < ColumnCount(); ++column) {
      QRect cell = CellRect(row, column);
      if (cell.width() <= 0 || !cell.intersects(event->rect())) {
        continue;
      }
      bool selected = row == current && column == selectedIndex_;
      QColor text = palette().color(QPalette::Text);
      if (selected) {
        painter.fillRect(cell.adjusted(0, 0, -1, -1),
                         palette().color(focused ? QPalette::Active : QPalette::Inactive,
                                         QPalette::Highlight));
        text = palette().color(focused ? QPalette::Active : QPalette::Inactive,
                               QPalette::HighlightedText);
      }
      painter.setPen(text);
      painter.drawText(cell.adjusted(2, 0, -3, -1),
                       static_cast<int>(AlignmentOf(ColumnField(column)) | Qt::AlignVCenter),
                       cells_[static_cast<size_t>(row)].value(column));
      painter.setPen(lines);
      painter.drawLine(cell.right(), cell.top(), cell.right(), cell.bottom());
      painter.drawLine(cell.left(), cell.bottom(), cell.right(), cell.bottom());
    }
  }
}

void TDBGrid::PaintIndicator(QPainter& painter, const QRect& area) {
  const int titleHeight = header_->height();
  const QColor face = palette().color(QPalette::Button);
  painter.fillRect(area, face);
  painter.setPen(palette().color(QPalette::Mid));
  painter.drawRect(QRect(0, 0, area.width() - 1, titleHeight - 1));
  for (int row = 0; row < RowCount(); ++row) {
    QRect cell(0, titleHeight + row * rowHeight_, area.width(), rowHeight_);
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawLine(cell.left(), cell.bottom(), cell.right(), cell.bottom());
    painter.drawLine(cell.right(), cell.top(), cell.right(), cell.bottom());
    if (row != Row()) {
      continue;
    }
    QPoint centre = cell.center();
    painter.setPen(palette().color(QPalette::ButtonText));
    switch (link_->DataSet()->State()) {
      case dsEdit:
        painter.drawLine(centre.x(), centre.y() - 4, centre.x(), centre.y() + 4);
        painter.drawLine(centre.x() - 2, centre.y() - 4, centre.x() + 2, centre.y() - 4);
        painter.drawLine(centre.x() - 2, centre.y() + 4, centre.x() + 2, centre.y() + 4);
        break;
      case dsInsert:
        painter.drawText(cell, Qt::AlignCenter, QStringLiteral("*"));
        break;
      default: {
        QPainterPath arrow;
        arrow.moveTo(centre.x() - 2, centre.y() - 4);
        arrow.lineTo(centre.x() + 2, centre.y());
        arrow.lineTo(centre.x() - 2, centre.y() + 4);
        arrow.closeSubpath();
        painter.fillPath(arrow, palette().color(QPalette::ButtonText));
        break;
      }
    }
  }
}

void TDBGrid::focusInEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusInEvent(event);
  viewport()->update();
}

void TDBGrid::focusOutEvent(QFocusEvent* event) {
  QAbstractScrollArea::focusOutEvent(event);
  viewport()->update();
}
