// The data-aware grid. It shows the records of its data source's dataset
// one row each, reading only what it shows: the rows are the dataset's
// window of record buffers, as many as fit, and scrolling moves the dataset.
// The vertical scroll bar follows the dataset's place in its current order.
#pragma once

#include <QAbstractScrollArea>
#include <QPointer>
#include <QStringList>
#include <memory>
#include <optional>
#include <vector>

class QComboBox;
class QHeaderView;
class QLineEdit;
class TDataSource;
class TField;
class TDBGridColumnsModel;
class TGridDataLink;
class TGridIndicator;
struct TLookupItem;

// A grid of records. Columns are declared by three parallel lists: the field
// each column shows, its title (empty: the field's display label) and its
// width in pixels (empty: the field's display width). With no columns
// declared, every visible field of the dataset gets one. The grid keeps the
// standard options: titles, the record indicator column, column resizing by
// dragging, grid lines, editing in place, Tab and the arrow keys between
// cells, Insert to insert a record, Ctrl+Delete to delete one after the
// question "Delete record?", and an appended record left untouched is
// cancelled when the cursor leaves it.
class TDBGrid : public QAbstractScrollArea {
  Q_OBJECT
  Q_PROPERTY(QStringList columnFields READ ColumnFields WRITE SetColumnFields)
  Q_PROPERTY(QStringList columnTitles READ ColumnTitles WRITE SetColumnTitles)
  Q_PROPERTY(QStringList columnWidths READ DeclaredWidths WRITE SetColumnWidths)

 public:
  explicit TDBGrid(QWidget* parent = nullptr);
  ~TDBGrid() override;

  TDataSource* DataSource() const;
  void SetDataSource(TDataSource* source);
  // A read-only grid never edits, inserts or deletes.
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value);

  QStringList ColumnFields() const { return fields_; }
  void SetColumnFields(const QStringList& fields);
  QStringList ColumnTitles() const { return titles_; }
  void SetColumnTitles(const QStringList& titles);
  QStringList DeclaredWidths() const { return widths_; }
  void SetColumnWidths(const QStringList& widths);

  int ColumnCount() const { return static_cast<int>(columns_.size()); }
  QString ColumnTitle(int index) const;
  // The field column `index` shows while the dataset is open; else null.
  TField* ColumnField(int index) const;
  int ColumnWidth(int index) const;
  // A negative width is taken as 0: the title row cannot show less.
  void SetColumnWidth(int index, int width);

  // Rows that fit (the records the grid asks the dataset to keep) and rows
  // that hold a record now.
  int VisibleRowCount() const { return visibleRows_; }
  int RowCount() const { return static_cast<int>(cells_.size()); }
  // The text shown in a cell; empty outside the rows that hold records.
  QString CellText(int row, int column) const;
  // A cell's tool tip: its field's text for editing where that says more
  // than the cell shows (a whole address whose field holds its beginning);
  // empty otherwise.
  QString CellToolTip(int row, int column) const;
  // The current cell: the current record's row and the selected column.
  int Row() const;
  int SelectedIndex() const { return selectedIndex_; }
  void SetSelectedIndex(int column);
  // Whether the in-place editor is open, and the editor itself (a line edit,
  // or a drop-down list for a lookup column).
  bool EditorMode() const { return editorMode_; }
  QWidget* InplaceEditor() const;
  // Opens or closes the in-place editor on the current cell.
  void ShowEditor();
  void HideEditor();

  // Said beside the in-place editor, once per edit, when it refuses
  // characters past its field's size (typed or pasted); %1 is that size.
  // Empty: nothing is said.
  void SetLengthNotice(const QString& notice) { lengthNotice_ = notice; }

  QHeaderView* TitleRow() const { return header_; }
  int RowHeight() const { return rowHeight_; }
  // The rectangle of a cell in the viewport's coordinates.
  QRect CellRect(int row, int column) const;

 signals:
  // A click on the title of column `index`.
  void TitleClick(int index);

 protected:
  bool event(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  bool focusNextPrevChild(bool next) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void wheelEvent(QWheelEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  bool viewportEvent(QEvent* event) override;
  void scrollContentsBy(int dx, int dy) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  friend class TGridDataLink;
  friend class TGridIndicator;

  struct Column {
    QString fieldName;
    QString title;       // declared; empty: the field's display label
    bool widthSet = false;  // declared or set: the field's width does not apply
  };

  // Link notifications.
  void LinkActiveChanged();
  void LinkDataChanged(bool recount);
  void LinkRecordChanged(TField* field);
  void LinkEditingChanged();
  void LinkUpdateData();
  void LinkFocusControl(TField* field);

  void Rebuild();
  void BindColumns();
  void ApplyTitles();
  void ReadCells();
  void UpdateRowCount();
  void UpdateScrollBars();
  void UpdateVerticalBar();
  void ScrollBarAction(int action);
  void LayoutChildren();
  void PaintIndicator(QPainter& painter, const QRect& area);

  bool HandleKey(QKeyEvent* event, bool fromEditor);
  std::optional<bool> HandleMoveKey(QKeyEvent* event, bool fromEditor);
  bool TypeIntoCell(QKeyEvent* event);
  void MoveRows(int distance);
  void NextRow();
  void PriorRow();
  void MoveColumn(int distance, bool wrapRows);
  void InsertRecord();
  void DeleteRecord();
  void EscapePressed();
  bool CanEditCell() const;
  bool EditorPending() const { return editorMode_ && editorModified_; }
  void LoadEditor();
  void PlaceEditor();
  void EditorEdited();
  void WriteEditor();
  bool StartEditing();
  int ColumnAt(int x) const;

  std::unique_ptr<TGridDataLink> link_;
  TDBGridColumnsModel* model_;
  QHeaderView* header_;
  TGridIndicator* indicator_;
  QLineEdit* lineEditor_ = nullptr;
  QString lengthNotice_;
  bool lengthNoticeShown_ = false;
  QComboBox* listEditor_ = nullptr;
  QStringList fields_, titles_, widths_;
  std::vector<Column> columns_;
  std::vector<TField*> bound_;           // per column, while the dataset is open
  std::vector<QStringList> cells_;        // per row shown, the columns' texts
  std::vector<TLookupItem> listItems_;   // the list editor's keys and texts
  int visibleRows_ = 1;
  int rowHeight_ = 18;
  int selectedIndex_ = 0;
  int wheelRemainder_ = 0;
  int barMaximum_ = 0;
  bool readOnly_ = false;
  bool editorMode_ = false;
  bool editorModified_ = false;
  bool loadingEditor_ = false;
  bool startingEdit_ = false;  // the grid's own Edit: its notifications keep the editor's text
  bool settingBar_ = false;
};
