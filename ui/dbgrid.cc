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

namespace {

constexpr int kIndicatorWidth = 12;
constexpr char kDeleteQuestion[] = "Delete record?";

bool IsPrintable(const QKeyEvent* event) {
  if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) {
    return false;
  }
  QString text = event->text();
  return !text.isEmpty() && text[0].isPrint();
}

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

// The grid's link to its data source: the dataset's notifications become
// the grid's.
class TGridDataLink : public TDataLink {
 public:
  explicit TGridDataLink(TDBGrid* grid) : grid_(grid) {}

 protected:
  void ActiveChanged() override { grid_->LinkActiveChanged(); }
  void EditingChanged() override { grid_->LinkEditingChanged(); }
  void RecordChanged(TField* field) override { grid_->LinkRecordChanged(field); }
  // A change may have added or removed records; a scroll has not.
  void DataSetChanged() override { grid_->LinkDataChanged(true); }
  void DataSetScrolled(int) override { grid_->LinkDataChanged(false); }
  void LayoutChanged() override { grid_->LinkActiveChanged(); }
  void UpdateData() override { grid_->LinkUpdateData(); }
  void FocusControl(TField* field) override { grid_->LinkFocusControl(field); }

 private:
  TDBGrid* grid_;
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

// ---------------------------------------------------------------------------
// Keys and the mouse

bool TDBGrid::focusNextPrevChild(bool next) {
  // Tab moves between the cells while there are records to move in.
  if (link_->Active()) {
    return false;
  }
  return QAbstractScrollArea::focusNextPrevChild(next);
}

void TDBGrid::keyPressEvent(QKeyEvent* event) {
  // A key whose operation failed was the grid's all the same.
  bool handled = true;
  ui::CallGuarded([&] { handled = HandleKey(event, false); });
  if (handled) {
    event->accept();
  } else {
    QAbstractScrollArea::keyPressEvent(event);
  }
}

bool TDBGrid::eventFilter(QObject* watched, QEvent* event) {
  if (watched == verticalScrollBar() && event->type() == QEvent::Wheel) {
    wheelEvent(static_cast<QWheelEvent*>(event));
    return true;
  }
  if ((watched == lineEditor_ || watched == listEditor_) && event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    bool handled = true;
    ui::CallGuarded([&] { handled = HandleKey(key, true); });
    return handled;
  }
  return QAbstractScrollArea::eventFilter(watched, event);
}

// The grid's keys, from the grid itself or from its in-place editor. Keys
// that edit text belong to the editor.
bool TDBGrid::HandleKey(QKeyEvent* event, bool fromEditor) {
  if (!link_->Active()) {
    return false;
  }
  TDataSet* dataSet = link_->DataSet();
  Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
  const bool ctrl = (mods & Qt::ControlModifier) != 0;
  const bool alt = (mods & Qt::AltModifier) != 0;
  switch (event->key()) {
    case Qt::Key_Up:
      if (alt) {
        return false;
      }
      PriorRow();
      return true;
    case Qt::Key_Down:
      if (alt) {
        return false;  // opens a drop-down list
      }
      NextRow();
      return true;
    case Qt::Key_PageUp:
      MoveRows(-visibleRows_);
      return true;
    case Qt::Key_PageDown:
      MoveRows(visibleRows_);
      return true;
    case Qt::Key_Home:
    case Qt::Key_End:
      if (ctrl) {
        WriteEditor();
        if (event->key() == Qt::Key_Home) {
          dataSet->First();
        } else {
          dataSet->Last();
        }
        return true;
      }
      if (fromEditor && lineEditor_ != nullptr && lineEditor_->isVisible()) {
        return false;
      }
      SetSelectedIndex(event->key() == Qt::Key_Home ? 0 : ColumnCount() - 1);
      return true;
    case Qt::Key_Left:
    case Qt::Key_Right:
      if (fromEditor) {
        return false;
      }
      MoveColumn(event->key() == Qt::Key_Left ? -1 : 1, false);
      return true;
    case Qt::Key_Tab:
    case Qt::Key_Backtab:
      if (ctrl || alt) {
        return false;
      }
      MoveColumn(event->key() == Qt::Key_Backtab || (mods & Qt::ShiftModifier) ? -1 : 1, true);
      return true;
    case Qt::Key_Insert:
      if (fromEditor || mods != Qt::NoModifier) {
        return false;
      }
      InsertRecord();
      return true;
    case Qt::Key_Delete:
      if (!ctrl) {
        return false;
      }
      DeleteRecord();
      return true;
    case Qt::Key_Escape:
      EscapePressed();
      return true;
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (editorMode_) {
        WriteEditor();
        HideEditor();
      } else {
        ShowEditor();
      }
      return true;
    case Qt::Key_F2:
      ShowEditor();
      return true;
    default:
      break;
  }
  if (!fromEditor && IsPrintable(event) && CanEditCell()) {
    // Typing on a cell opens the editor with what was typed in place of
    // the value.
    bool opening = !editorMode_;
    ShowEditor();
    if (QWidget* editor = InplaceEditor(); editorMode_ && editor != nullptr) {
      if (opening && editor == lineEditor_) {
        lineEditor_->selectAll();
      }
      QKeyEvent copy(QEvent::KeyPress, event->key(), event->modifiers(), event->text());
      QApplication::sendEvent(editor, &copy);
    }
    return true;
  }
  return false;
}

void TDBGrid::MoveRows(int distance) {
  if (link_->Active() && distance != 0) {
    link_->MoveBy(distance);
  }
}

// Down: the next record; past the last one a new record is appended, but
// an appended record nobody touched is not left for another.
void TDBGrid::NextRow() {
  TDataSet* dataSet = link_->DataSet();
  if (dataSet->State() == dsInsert && !dataSet->Modified() && !EditorPending()) {
    if (dataSet->Eof()) {
      return;
    }
    dataSet->Cancel();
  } else {
    MoveRows(1);
  }
  if (dataSet->Eof() && dataSet->State() == dsBrowse && !readOnly_ && !link_->ReadOnly() &&
      dataSet->CanModify()) {
    dataSet->Append();
  }
}

// Up: the prior record; an untouched appended record is only cancelled.
void TDBGrid::PriorRow() {
  TDataSet* dataSet = link_->DataSet();
  if (dataSet->State() == dsInsert && !dataSet->Modified() && dataSet->Eof() &&
      !EditorPending()) {
    dataSet->Cancel();
  } else {
    MoveRows(-1);
  }
}

void TDBGrid::MoveColumn(int distance, bool wrapRows) {
  if (ColumnCount() == 0) {
    return;
  }
  WriteEditor();
  int column = selectedIndex_ + distance;
  if (column >= ColumnCount()) {
    if (!wrapRows) {
      return;
    }
    NextRow();
    column = 0;
  } else if (column < 0) {
    if (!wrapRows) {
      return;
    }
    PriorRow();
    column = ColumnCount() - 1;
  }
  SetSelectedIndex(column);
}

void TDBGrid::SetSelectedIndex(int column) {
  if (ColumnCount() == 0) {
    return;
  }
  column = std::clamp(column, 0, ColumnCount() - 1);
  if (column != selectedIndex_) {
    WriteEditor();
    selectedIndex_ = column;
    if (editorMode_) {
      if (CanEditCell()) {
        LoadEditor();
      } else {
        HideEditor();
      }
    }
  }
  // The selected column is scrolled into view.
  QScrollBar* bar = horizontalScrollBar();
  int left = header_->sectionPosition(column);
  int right = left + header_->sectionSize(column);
  if (left < bar->value()) {
    bar->setValue(left);
  } else if (right > bar->value() + viewport()->width()) {
    bar->setValue(std::min(left, right - viewport()->width()));
  }
  PlaceEditor();
  viewport()->update();
}

void TDBGrid::InsertRecord() {
  TDataSet* dataSet = link_->DataSet();
  if (!readOnly_ && !link_->ReadOnly() && dataSet->CanModify()) {
    WriteEditor();
    dataSet->Insert();
  }
}

void TDBGrid::DeleteRecord() {
  TDataSet* dataSet = link_->DataSet();
  if (readOnly_ || link_->ReadOnly() || !dataSet->CanModify() || dataSet->IsEmpty()) {
    return;
  }
  if (ui::ConfirmBox(this, QString::fromLatin1(kDeleteQuestion))) {
    editorModified_ = false;
    dataSet->Delete();
  }
}

// Esc drops the editor's pending text when there is some, else the
// record's pending edit.
void TDBGrid::EscapePressed() {
  if (EditorPending()) {
    LoadEditor();
    HideEditor();
    return;
  }
  HideEditor();
  TDataSet* dataSet = link_->DataSet();
  if (dataSet->State() == dsEdit || dataSet->State() == dsInsert) {
    dataSet->Cancel();
  }
}

void TDBGrid::mousePressEvent(QMouseEvent* event) {
  if (!hasFocus() && !(editorMode_ && InplaceEditor() && InplaceEditor()->hasFocus())) {
    setFocus(Qt::MouseFocusReason);
  }
  if (event->button() != Qt::LeftButton || !link_->Active()) {
    return;
  }
  const QPoint at = event->position().toPoint();
  const int row = at.y() / rowHeight_;
  const int column = ColumnAt(at.x());
  if (row >= RowCount()) {
    return;
  }
  const bool sameCell = row == Row() && column == selectedIndex_;
  ui::CallGuarded([&] {
    if (row != Row()) {
      WriteEditor();
      TDataSet* dataSet = link_->DataSet();
      if (dataSet->State() == dsInsert && !dataSet->Modified()) {
        // Leaving an untouched new record drops it; the rows close up.
        dataSet->Cancel();
      }
      if (row < RowCount()) {
        MoveRows(row - Row());
      }
    }
    if (column >= 0) {
      SetSelectedIndex(column);
    }
    if (sameCell) {
      ShowEditor();
    }
  });
}

void TDBGrid::mouseDoubleClickEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    ui::CallGuarded([&] { ShowEditor(); });
  }
}

void TDBGrid::wheelEvent(QWheelEvent* event) {
  event->accept();
  wheelRemainder_ += event->angleDelta().y();
  int notches = wheelRemainder_ / 120;
  if (notches == 0) {
    return;
  }
  wheelRemainder_ -= notches * 120;
  ui::CallGuarded([&] { MoveRows(-notches * QApplication::wheelScrollLines()); });
}

// ---------------------------------------------------------------------------
// The in-place editor

bool TDBGrid::CanEditCell() const {
  if (!link_->Active() || readOnly_ || link_->ReadOnly() || !link_->DataSet()->CanModify()) {
    return false;
  }
  TField* field = ColumnField(selectedIndex_);
  if (field == nullptr || field->ReadOnly() || field->IsBlob()) {
    return false;
  }
  return !field->Calculated() || field->Lookup();
}

QWidget* TDBGrid::InplaceEditor() const {
  TField* field = ColumnField(selectedIndex_);
  if (field != nullptr && field->Lookup()) {
    return listEditor_;
  }
  return lineEditor_;
}

void TDBGrid::ShowEditor() {
  if (!CanEditCell() || RowCount() == 0) {
    return;
  }
  if (editorMode_) {
    if (QWidget* editor = InplaceEditor()) {
      editor->setFocus();
    }
    return;
  }
  if (lineEditor_ == nullptr) {
    lineEditor_ = new QLineEdit(viewport());
    lineEditor_->setObjectName("InplaceEdit");
    lineEditor_->setFrame(false);
    lineEditor_->installEventFilter(this);
    connect(lineEditor_, &QLineEdit::textEdited, this,
            [this] { ui::CallGuarded([this] { EditorEdited(); }); });
    connect(lineEditor_, &QLineEdit::inputRejected, this, [this] {
      if (!lengthNotice_.isEmpty() && !lengthNoticeShown_) {
        lengthNoticeShown_ = true;
        QToolTip::showText(lineEditor_->mapToGlobal(QPoint(0, lineEditor_->height())),
                           lengthNotice_.arg(lineEditor_->maxLength()), lineEditor_);
      }
    });
    listEditor_ = new QComboBox(viewport());
    listEditor_->setObjectName("InplaceList");
    listEditor_->setFrame(false);
    listEditor_->installEventFilter(this);
    connect(listEditor_, &QComboBox::activated, this,
            [this] { ui::CallGuarded([this] { EditorEdited(); }); });
  }
  editorMode_ = true;
  LoadEditor();
  PlaceEditor();
  if (QWidget* editor = InplaceEditor()) {
    editor->setFocus();
  }
}

void TDBGrid::HideEditor() {
  if (!editorMode_) {
    return;
  }
  bool hadFocus = (lineEditor_ != nullptr && lineEditor_->hasFocus()) ||
                  (listEditor_ != nullptr && listEditor_->hasFocus());
  editorMode_ = false;
  editorModified_ = false;
  lineEditor_->hide();
  listEditor_->hide();
  if (hadFocus) {
    setFocus();
  }
  viewport()->update();
}

// Shows the current cell's value in the editor that suits its field.
void TDBGrid::LoadEditor() {
  if (!editorMode_ || lineEditor_ == nullptr) {
    return;
  }
  TField* field = ColumnField(selectedIndex_);
  loadingEditor_ = true;
  try {
    if (field != nullptr && field->Lookup()) {
      listItems_ = ReadLookupList(*field);
      FillLookupBox(*listEditor_, listItems_);
      listEditor_->setCurrentIndex(FindLookupItem(listItems_, LookupKeyValue(*field)));
      lineEditor_->hide();
    } else {
      lineEditor_->setMaxLength(EditLength(field));
      lengthNoticeShown_ = false;
      lineEditor_->setText(field != nullptr ? ui::ToQString(field->Text(), *field) : QString());
      lineEditor_->selectAll();
      listEditor_->hide();
    }
  } catch (...) {
    loadingEditor_ = false;
    throw;
  }
  loadingEditor_ = false;
  editorModified_ = false;
}

void TDBGrid::PlaceEditor() {
  if (!editorMode_ || lineEditor_ == nullptr) {
    return;
  }
  QWidget* editor = InplaceEditor();
  int row = Row();
  if (row < 0) {
    editor->hide();
    return;
  }
  editor->setGeometry(CellRect(row, selectedIndex_).adjusted(1, 0, -1, -1));
  editor->show();
}

// The first change of the editor's text puts the record into edit state;
// when the dataset refuses, the editor shows the field's value again.
void TDBGrid::EditorEdited() {
  if (loadingEditor_) {
    return;
  }
  if (!StartEditing()) {
    LoadEditor();
    return;
  }
  editorModified_ = true;
  if (InplaceEditor() == listEditor_) {
    // A choice from the list is taken at once: the cell shows its text.
    WriteEditor();
  }
}

bool TDBGrid::StartEditing() {
  if (!CanEditCell()) {
    return false;
  }
  if (link_->Editing()) {
    return true;
  }
  startingEdit_ = true;
  try {
    link_->Edit();
  } catch (...) {
    startingEdit_ = false;
    throw;
  }
  startingEdit_ = false;
  return link_->Editing();
}

void TDBGrid::WriteEditor() {
  if (!EditorPending()) {
    return;
  }
  link_->UpdateRecord();
  // The link does not hear its own write; the row shows the new values
  // (and the lookup values that follow them).
  ReadCells();
  viewport()->update();
}
