#include "dbgrid.h"

#include <QApplication>
#include <QHeaderView>

// The declared columns, with no rows until a data source feeds the grid.
class TDBGridColumnsModel : public QAbstractTableModel {
 public:
  explicit TDBGridColumnsModel(QObject* parent) : QAbstractTableModel(parent) {}

  void SetTitles(const QStringList& titles) {
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

TDBGrid::TDBGrid(QWidget* parent) : QTableView(parent), model_(new TDBGridColumnsModel(this)) {
  setModel(model_);
  // Title cells and the space beside them on the system's button face, not
  // in the colour of the window around the grid.
  QPalette pal = palette();
  pal.setColor(QPalette::Window, QApplication::palette().color(QPalette::Button));
  setPalette(pal);
  horizontalHeader()->setSectionsClickable(true);
  horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  horizontalHeader()->setHighlightSections(false);
  // The record indicator column stays visible on an empty grid.
  verticalHeader()->setMinimumWidth(12);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  connect(horizontalHeader(), &QHeaderView::sectionClicked, this, &TDBGrid::TitleClick);
}

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

QString TDBGrid::ColumnTitle(int index) const {
  return model_->headerData(index, Qt::Horizontal, Qt::DisplayRole).toString();
}

int TDBGrid::ColumnWidth(int index) const { return columnWidth(index); }

void TDBGrid::SetColumnWidth(int index, int width) { setColumnWidth(index, width < 0 ? 0 : width); }

void TDBGrid::Rebuild() {
  // A column without a title shows its field's name.
  QStringList shown;
  for (int i = 0; i < fields_.size(); ++i) {
    shown.append(i < titles_.size() && !titles_[i].isEmpty() ? titles_[i] : fields_[i]);
  }
  model_->SetTitles(shown);
  for (int i = 0; i < fields_.size(); ++i) {
    bool ok = false;
    int width = i < widths_.size() ? widths_[i].toInt(&ok) : 0;
    setColumnWidth(i, ok ? width : horizontalHeader()->defaultSectionSize());
  }
}
