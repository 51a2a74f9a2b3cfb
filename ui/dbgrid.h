// The data-aware grid and memo. Until the table layer binds them to a data
// source they show what is declared: the grid its columns and their titles
// with no rows, the memo nothing.
#pragma once

#include <QAbstractTableModel>
#include <QPlainTextEdit>
#include <QStringList>
#include <QTableView>

class TDBGridColumnsModel;

// A grid of records. Columns are declared by three parallel lists: the field
// each column shows, its title, and its width in pixels (empty for the
// toolkit's default width). Column titles, the record indicator column and
// resizing columns by dragging their borders are always on.
class TDBGrid : public QTableView {
  Q_OBJECT
  Q_PROPERTY(QStringList columnFields READ ColumnFields WRITE SetColumnFields)
  Q_PROPERTY(QStringList columnTitles READ ColumnTitles WRITE SetColumnTitles)
  Q_PROPERTY(QStringList columnWidths READ DeclaredWidths WRITE SetColumnWidths)

 public:
  explicit TDBGrid(QWidget* parent = nullptr);

  QStringList ColumnFields() const { return fields_; }
  void SetColumnFields(const QStringList& fields);
  QStringList ColumnTitles() const { return titles_; }
  void SetColumnTitles(const QStringList& titles);
  QStringList DeclaredWidths() const { return widths_; }
  void SetColumnWidths(const QStringList& widths);

  int ColumnCount() const { return static_cast<int>(fields_.size()); }
  QString ColumnTitle(int index) const;
  int ColumnWidth(int index) const;
  // A negative width is taken as 0: the header cannot show less.
  void SetColumnWidth(int index, int width);

 signals:
  // A click on the title of column `index`.
  void TitleClick(int index);

 private:
  void Rebuild();

  QStringList fields_, titles_, widths_;
  TDBGridColumnsModel* model_;
};

// A memo showing one memo field of the current record.
class TDBMemo : public QPlainTextEdit {
  Q_OBJECT
  Q_PROPERTY(QString dataField READ DataField WRITE SetDataField)

 public:
  explicit TDBMemo(QWidget* parent = nullptr) : QPlainTextEdit(parent) {}

  QString DataField() const { return dataField_; }
  void SetDataField(const QString& field) { dataField_ = field; }

 private:
  QString dataField_;
};
