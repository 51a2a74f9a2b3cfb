// The data-aware controls for one field: edit box, memo and lookup combo
// box. Each shows its field in the current record of its data source's
// dataset, puts the dataset into edit state at the user's first change,
// and hands its pending input to the field before Post and before any move
// (the dataset asks its controls for it). A field that cannot be changed
// (read-only field, dataset or control, calculated field) cannot be typed
// into.
#pragma once

#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <memory>
#include <vector>

#include "dblookup.h"

class TDataSource;
class TField;
class TFieldDataLink;

// The part every field control has: its link, and the first change that
// starts the edit.
class TFieldControlLink {
 public:
  TFieldControlLink();
  ~TFieldControlLink();
  TFieldControlLink(const TFieldControlLink&) = delete;
  TFieldControlLink& operator=(const TFieldControlLink&) = delete;

  TFieldDataLink& Link() const { return *link_; }
  TField* Field() const;
  // Whether the user may change the field now or after Edit.
  bool CanModify() const;
  // Puts the dataset into edit state (or insert, on an empty dataset) for the
  // user's first change; true when it is editing. While it runs the control
  // must not show the field again over the user's change (Starting()).
  bool StartEditing();
  bool Starting() const { return starting_; }

 private:
  std::unique_ptr<TFieldDataLink> link_;
  bool starting_ = false;
};

// What every field control shares over its Qt widget: the data source and
// field it shows, the link's notifications, and the first change that
// starts the edit. The controls below differ only in how they show and
// write a value.
template <class Widget>
class TDBFieldControl : public Widget {
 public:
  explicit TDBFieldControl(QWidget* parent);
  ~TDBFieldControl() override;

  TDataSource* DataSource() const;
  void SetDataSource(TDataSource* source);
  QString DataField() const;
  void SetDataField(const QString& field);
  TField* Field() const { return control_.Field(); }

 protected:
  virtual void ShowValue() = 0;
  // Called when the source or field changes, before the value is shown.
  virtual void LinkChanged() {}
  // Hands the control's text to the field before Post or a move; controls
  // that write through their own choice leave it empty.
  virtual void WriteValue() {}
  // The user changed the text: starts the edit, or shows the stored value
  // again when the field cannot be changed.
  void Edited();
  // Esc takes back the pending change; true when there was one.
  bool ResetPending();
  // Writes the pending input when the control loses the focus; a value the
  // field refuses is shown and the control keeps the focus.
  void WritePendingOnExit();

  TFieldControlLink control_;
  bool loading_ = false;
};

// How many characters a box editing `field` takes: a string field's size,
// unless the field's OnSetText takes its text (which may keep more than the
// field holds: a whole address); then any text up to kLongTextLength.
inline constexpr int kLongTextLength = 1 << 20;
int EditLength(const TField* field);

// A one-line edit box for a field; its length is limited as EditLength
// says. A field whose OnSetText takes its text shows its text for editing
// with or without the focus (its display text is what lists show).
class TDBEdit : public TDBFieldControl<QLineEdit> {
  Q_OBJECT
  Q_PROPERTY(QString dataField READ DataField WRITE SetDataField)

 public:
  explicit TDBEdit(QWidget* parent = nullptr);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void ShowValue() override;
  void WriteValue() override;
  void KeepStoredSize();
};

// A memo for a memo (or string) field. Lines end in CR LF in the stored
// value, as memo text always has in these tables.
class TDBMemo : public TDBFieldControl<QPlainTextEdit> {
  Q_OBJECT
  Q_PROPERTY(QString dataField READ DataField WRITE SetDataField)

 public:
  explicit TDBMemo(QWidget* parent = nullptr);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void ShowValue() override;
  void WriteValue() override;
};

// A drop-down list for a lookup field: it lists the lookup dataset's
// result values and stores the chosen record's key in the key fields.
class TDBLookupComboBox : public TDBFieldControl<QComboBox> {
  Q_OBJECT
  Q_PROPERTY(QString dataField READ DataField WRITE SetDataField)

 public:
  explicit TDBLookupComboBox(QWidget* parent = nullptr);
  // Reads the lookup dataset's records again (the list is read when the
  // field is first shown and each time the list drops down).
  void RefreshList();

  void showPopup() override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;

 private:
  void ShowValue() override;
  void LinkChanged() override { listRead_ = false; }
  void Chosen(int index);

  std::vector<TLookupItem> items_;
  bool listRead_ = false;
};

extern template class TDBFieldControl<QLineEdit>;
extern template class TDBFieldControl<QPlainTextEdit>;
extern template class TDBFieldControl<QComboBox>;
