// The grid's keys, its mouse and its in-place editor.
#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QScrollBar>
#include <QToolTip>

#include "dbctrls.h"
#include "dbgrid.h"
#include "dbgrid_link.h"
#include "dblookup.h"
#include "exception_handler.h"
#include "message_box.h"
#include "qt_text.h"

namespace {

constexpr char kDeleteQuestion[] = "Delete record?";

bool IsPrintable(const QKeyEvent* event) {
  if (event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) {
    return false;
  }
  QString text = event->text();
  return !text.isEmpty() && text[0].isPrint();
}

}  // namespace

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
  if (std::optional<bool> moved = HandleMoveKey(event, fromEditor)) {
    return *moved;
  }
  Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
  const bool ctrl = (mods & Qt::ControlModifier) != 0;
  switch (event->key()) {
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
  return !fromEditor && IsPrintable(event) && CanEditCell() && TypeIntoCell(event);
}

// The keys that move between rows and columns: whether the grid took the
// key, or nothing when the key is not one of them.
std::optional<bool> TDBGrid::HandleMoveKey(QKeyEvent* event, bool fromEditor) {
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
          link_->DataSet()->First();
        } else {
          link_->DataSet()->Last();
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
    default:
      return std::nullopt;
  }
}

// Typing on a cell opens the editor with what was typed in place of the
// value.
bool TDBGrid::TypeIntoCell(QKeyEvent* event) {
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
