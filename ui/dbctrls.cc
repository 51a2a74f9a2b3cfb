#include "dbctrls.h"

#include <QKeyEvent>

#include "db/datasource.h"
#include "exception_handler.h"
#include "qt_text.h"

namespace {

// Stored memo lines end in CR LF; the memo control works with LF alone.
QString MemoShown(const std::string& stored, const TField& field) {
  QString text = ui::ToQString(stored, field);
  text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  return text;
}

std::string MemoStored(QString shown, const TField& field) {
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
  return ui::FromQString(shown, field);
}

}  // namespace

// ---------------------------------------------------------------------------
// TFieldControlLink

TFieldControlLink::TFieldControlLink() : link_(std::make_unique<TFieldDataLink>()) {}

TFieldControlLink::~TFieldControlLink() = default;

TField* TFieldControlLink::Field() const { return link_->Field(); }

bool TFieldControlLink::CanModify() const {
  TField* field = link_->Field();
  if (!link_->Active() || field == nullptr || link_->ReadOnly() || field->ReadOnly()) {
    return false;
  }
  TDataSet* dataSet = link_->DataSet();
  if (dataSet == nullptr || !dataSet->CanModify()) {
    return false;
  }
  return !field->Calculated() || field->Lookup();
}

bool TFieldControlLink::StartEditing() {
  if (!CanModify()) {
    return false;
  }
  if (!link_->Editing()) {
    starting_ = true;
    try {
      link_->Edit();
    } catch (...) {
      starting_ = false;
      throw;
    }
    starting_ = false;
  }
  return link_->Editing();
}

// ---------------------------------------------------------------------------
// TDBFieldControl

template <class Widget>
TDBFieldControl<Widget>::TDBFieldControl(QWidget* parent) : Widget(parent) {
  TFieldDataLink& link = control_.Link();
  link.OnDataChange = [this](TFieldDataLink&) { ShowValue(); };
  link.OnActiveChange = [this](TFieldDataLink&) {
    LinkChanged();
    ShowValue();
  };
  link.OnUpdateData = [this](TFieldDataLink&) { WriteValue(); };
  if constexpr (requires(Widget& widget) { widget.setReadOnly(true); }) {
    link.OnEditingChange = [this](TFieldDataLink&) { this->setReadOnly(!control_.CanModify()); };
    this->setReadOnly(true);
  }
}

template <class Widget>
TDBFieldControl<Widget>::~TDBFieldControl() {
  // No notification may reach the control once it is being destroyed.
  control_.Link().SetDataSource(nullptr);
}

template <class Widget>
TDataSource* TDBFieldControl<Widget>::DataSource() const {
  return control_.Link().DataSource();
}

template <class Widget>
void TDBFieldControl<Widget>::SetDataSource(TDataSource* source) {
  control_.Link().SetDataSource(source);
  LinkChanged();
  ShowValue();
}

template <class Widget>
QString TDBFieldControl<Widget>::DataField() const {
  return ui::ToQString(control_.Link().FieldName());
}

template <class Widget>
void TDBFieldControl<Widget>::SetDataField(const QString& field) {
  control_.Link().SetFieldName(ui::FromQString(field));
  LinkChanged();
  ShowValue();
}

template <class Widget>
void TDBFieldControl<Widget>::Edited() {
  if (loading_) {
    return;
  }
  if (!control_.StartEditing()) {
    ShowValue();
    return;
  }
  control_.Link().SetModified();
}

template <class Widget>
bool TDBFieldControl<Widget>::ResetPending() {
  if (!control_.Link().Modified()) {
    return false;
  }
  control_.Link().Reset();
  return true;
}

template <class Widget>
void TDBFieldControl<Widget>::WritePendingOnExit() {
  if (!control_.Link().Modified()) {
    return;
  }
  try {
    control_.Link().UpdateRecord();
  } catch (...) {
    ui::HandleException();
    this->setFocus();
  }
}

template class TDBFieldControl<QLineEdit>;
template class TDBFieldControl<QPlainTextEdit>;
template class TDBFieldControl<QComboBox>;

// ---------------------------------------------------------------------------
// TDBEdit

int EditLength(const TField* field) {
  if (field != nullptr && field->OnSetText) {
    return kLongTextLength;
  }
  return field != nullptr && field->DataType() == ftString ? std::max(1, field->Size()) : 32767;
}

TDBEdit::TDBEdit(QWidget* parent) : TDBFieldControl(parent) {
  connect(this, &QLineEdit::textEdited, this, [this] {
    ui::CallGuarded([this] {
      KeepStoredSize();
      Edited();
    });
  });
}

// A string field holds bytes, and a character its table lacks takes several
// (its reference): the box refuses what would not fit, as its length limit
// refuses a character too many, so nothing is cut unsaid.
void TDBEdit::KeepStoredSize() {
  TField* field = Field();
  QString shown = text();
  int cursor = cursorPosition();
  if (field != nullptr && ui::FitStoredText(&shown, &cursor, *field)) {
    setText(shown);
    setCursorPosition(cursor);
    emit inputRejected();
  }
}

// The value for editing while the box has the focus, formatted for showing
// otherwise.
void TDBEdit::ShowValue() {
  if (control_.Starting()) {
    return;
  }
  TField* field = Field();
  loading_ = true;
  setMaxLength(EditLength(field));
  QString text;
  if (field != nullptr) {
    try {
      text = ui::ToQString(hasFocus() || field->OnSetText ? field->Text() : field->DisplayText(),
                           *field);
    } catch (const std::exception&) {
      // Nothing to show for a value that does not convert.
    }
  }
  setText(text);
  loading_ = false;
  setReadOnly(!control_.CanModify());
}

void TDBEdit::WriteValue() {
  if (TField* field = Field()) {
    field->SetText(ui::FromQString(text(), *field));
  }
}

void TDBEdit::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && ResetPending()) {
    selectAll();
    event->accept();
    return;
  }
  QLineEdit::keyPressEvent(event);
}

void TDBEdit::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  if (!control_.Link().Modified()) {
    ShowValue();
  }
}

void TDBEdit::focusOutEvent(QFocusEvent* event) {
  QLineEdit::focusOutEvent(event);
  WritePendingOnExit();
  if (!control_.Link().Modified() && !hasFocus()) {
    ShowValue();
  }
}

// ---------------------------------------------------------------------------
// TDBMemo

TDBMemo::TDBMemo(QWidget* parent) : TDBFieldControl(parent) {
  connect(this, &QPlainTextEdit::textChanged, this,
          [this] { ui::CallGuarded([this] { Edited(); }); });
}

void TDBMemo::ShowValue() {
  if (control_.Starting()) {
    return;
  }
  TField* field = Field();
  QString text;
  if (field != nullptr) {
    try {
      text = field->IsBlob() ? MemoShown(field->AsString(), *field)
                             : ui::ToQString(field->Text(), *field);
    } catch (const std::exception&) {
      // An unreadable value shows as nothing rather than stop the window.
    }
  }
  loading_ = true;
  if (text != toPlainText()) {
    setPlainText(text);
  }
  loading_ = false;
  setReadOnly(!control_.CanModify());
}

void TDBMemo::WriteValue() {
  if (TField* field = Field()) {
    if (field->IsBlob()) {
      field->SetAsString(MemoStored(toPlainText(), *field));
    } else {
      field->SetText(ui::FromQString(toPlainText(), *field));
    }
  }
}

void TDBMemo::keyPressEvent(QKeyEvent* event) {
  if (event->key() == Qt::Key_Escape && ResetPending()) {
    event->accept();
    return;
  }
  QPlainTextEdit::keyPressEvent(event);
}

void TDBMemo::focusOutEvent(QFocusEvent* event) {
  QPlainTextEdit::focusOutEvent(event);
  WritePendingOnExit();
}

// ---------------------------------------------------------------------------
// TDBLookupComboBox

TDBLookupComboBox::TDBLookupComboBox(QWidget* parent) : TDBFieldControl(parent) {
  setEditable(false);
  connect(this, &QComboBox::activated, this,
          [this](int index) { ui::CallGuarded([this, index] { Chosen(index); }); });
}

void TDBLookupComboBox::RefreshList() {
  TField* field = Field();
  items_ = field != nullptr && field->Lookup() ? ReadLookupList(*field)
                                               : std::vector<TLookupItem>();
  listRead_ = field != nullptr;
  loading_ = true;
  FillLookupBox(*this, items_);
  loading_ = false;
}

// Shows the name of the record's key; a key the list does not hold (yet)
// makes the list be read again once, since the lookup table may have grown.
void TDBLookupComboBox::ShowValue() {
  if (control_.Starting()) {
    return;
  }
  TField* field = Field();
  int index = -1;
  try {
    if (field != nullptr && field->Lookup()) {
      TVariant key = LookupKeyValue(*field);
      if (!listRead_) {
        RefreshList();
      }
      index = FindLookupItem(items_, key);
      if (index < 0 && !key.IsNull()) {
        RefreshList();
        index = FindLookupItem(items_, key);
      }
    } else if (count() > 0) {
      items_.clear();
      RefreshList();
    }
  } catch (const std::exception&) {
    // A lookup table that cannot be read leaves the box empty.
  }
  loading_ = true;
  setCurrentIndex(index);
  loading_ = false;
}

void TDBLookupComboBox::showPopup() {
  if (!control_.CanModify()) {
    return;
  }
  ui::CallGuarded([this] {
    RefreshList();
    TField* field = Field();
    loading_ = true;
    setCurrentIndex(field != nullptr ? FindLookupItem(items_, LookupKeyValue(*field)) : -1);
    loading_ = false;
  });
  QComboBox::showPopup();
}

void TDBLookupComboBox::Chosen(int index) {
  if (loading_ || index < 0 || index >= static_cast<int>(items_.size())) {
    return;
  }
  if (!control_.StartEditing()) {
    ShowValue();
    return;
  }
  if (TField* field = Field()) {
    field->SetLookupKey(items_[static_cast<size_t>(index)].key);
  }
}

void TDBLookupComboBox::keyPressEvent(QKeyEvent* event) {
  if (!control_.CanModify()) {
    // Tab and the window's keys still travel on.
    event->ignore();
    return;
  }
  QComboBox::keyPressEvent(event);
}

void TDBLookupComboBox::wheelEvent(QWheelEvent* event) {
  if (!control_.CanModify()) {
    event->ignore();
    return;
  }
  QComboBox::wheelEvent(event);
}
