#include "link_check_window.h"

#include <QAbstractTableModel>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <map>

#include "Unit1.h"
#include "exception_handler.h"
#include "message_box.h"
#include "qt_text.h"
#include "url_catalogue.h"
#include "xds/xdstable.h"

const char* const kUnreachableSection = "Недоступные ссылки";
const char* const kWebArchivePrefix = "https://web.archive.org/web/*/";

TLinkCheckLimits TLinkCheckForm::Limits;

namespace {

QString U(const char* utf8) { return QString::fromUtf8(utf8); }

bool Failed(TLinkState state) {
  return state == TLinkState::Pending || state == TLinkState::Unreachable ||
         state == TLinkState::Gone || state == TLinkState::Failing;
}

}  // namespace

// The results, one row per address checked, in the list's order; a row keeps
// its place while its result comes in.
class TLinkResultModel : public QAbstractTableModel {
 public:
  struct Row {
    TListedUrl Url;
    TLinkResult Result;
  };
  enum Column { kState, kStatus, kAddress, kName, kDetail, kColumns };

  explicit TLinkResultModel(std::vector<TListedUrl> urls, QObject* parent)
      : QAbstractTableModel(parent) {
    rows_.reserve(urls.size());
    for (TListedUrl& url : urls) {
      rows_.push_back({std::move(url), {}});
    }
  }

  int rowCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
  }
  int columnCount(const QModelIndex& parent = {}) const override {
    return parent.isValid() ? 0 : kColumns;
  }
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
      return QAbstractTableModel::headerData(section, orientation, role);
    }
    static const char* const kTitles[] = {"Результат", "Код", "Адрес", "Название",
                                          "Новый адрес или причина"};
    return U(kTitles[section]);
  }
  QVariant data(const QModelIndex& index, int role) const override {
    if (!index.isValid() || index.row() >= rowCount()) {
      return {};
    }
    const Row& row = rows_[static_cast<size_t>(index.row())];
    if (role == Qt::ForegroundRole && index.column() == kState) {
      switch (row.Result.State) {
        case TLinkState::Ok:
          return QColor(0, 110, 0);
        case TLinkState::Moved:
          return QColor(0, 0, 160);
        case TLinkState::Pending:
          return QColor(110, 110, 110);
        default:
          return QColor(170, 0, 0);
      }
    }
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole) {
      return {};
    }
    switch (index.column()) {
      case kState:
        return TLinkCheckForm::StateText(row.Result.State);
      case kStatus:
        return row.Result.Status > 0 ? QVariant(row.Result.Status) : QVariant();
      case kAddress:
        return row.Url.Shown;
      case kName:
        return row.Url.Name;
      case kDetail:
        return Detail(row.Result);
    }
    return {};
  }

  static QString Detail(const TLinkResult& result) {
    return result.State == TLinkState::Moved ? result.Target.toString() : result.Detail;
  }

  const Row& at(int row) const { return rows_[static_cast<size_t>(row)]; }
  void SetResult(int row, const TLinkResult& result) {
    rows_[static_cast<size_t>(row)].Result = result;
    emit dataChanged(index(row, 0), index(row, kColumns - 1));
  }
  void SetAddress(int row, const QString& shown) {
    rows_[static_cast<size_t>(row)].Url.Shown = shown;
    emit dataChanged(index(row, 0), index(row, kColumns - 1));
  }
  // Drops the rows, given in ascending order.
  void Remove(const std::vector<int>& rows) {
    for (auto r = rows.rbegin(); r != rows.rend(); ++r) {
      beginRemoveRows({}, *r, *r);
      rows_.erase(rows_.begin() + *r);
      endRemoveRows();
    }
  }

 private:
  std::vector<Row> rows_;
};

std::vector<TListedUrl> ListedWebUrls(TForm1* form) {
  std::vector<TListedUrl> listed;
  TXdsTable& urls = *form->HDSUrls;
  TXdsTable& types = *form->HDSType;
  if (!urls.Active() || !types.Active()) {
    return listed;
  }
  // What the opener would be given: the link type's prefix first.
  std::map<std::string, std::string> prefixes;
  types.CheckBrowseMode();
  types.DisableControls();
  const TBookmark typeAt = types.IsEmpty() ? TBookmark() : types.GetBookmark();
  for (types.First(); !types.Eof(); types.Next()) {
    prefixes[types.FieldByName("TYPE_ID")->AsString()] =
        types.FieldByName("TYPRPRESTR")->AsString();
  }
  if (!typeAt.empty() && types.BookmarkValid(typeAt)) {
    types.GotoBookmark(typeAt);
  }
  types.EnableControls();

  const QString byUrl = form->Edit1->text().left(100);
  const QString byName = form->Edit2->text();
  urls.CheckBrowseMode();
  TField* url = urls.FieldByName("URL");
  TField* name = urls.FieldByName("NAME");
  TField* type = urls.FieldByName("ADRESTYPE");
  urls.DisableControls();
  const TBookmark at = urls.IsEmpty() ? TBookmark() : urls.GetBookmark();
  auto restore = [&] {
    if (!at.empty() && urls.BookmarkValid(at)) {
      urls.GotoBookmark(at);
    }
    urls.EnableControls();
  };
  try {
    for (urls.First(); !urls.Eof(); urls.Next()) {
      if (!byUrl.isEmpty() &&
          !ui::ToQString(url->AsString(), *url).startsWith(byUrl, Qt::CaseInsensitive)) {
        continue;
      }
      TListedUrl item;
      item.Name = ui::ToQString(name->AsString(), *name);
      if (!byName.isEmpty() && !item.Name.startsWith(byName, Qt::CaseInsensitive)) {
        continue;
      }
      const auto prefix = prefixes.find(type->AsString());
      const std::string whole = form->CurrentAddress();
      item.Address = (prefix != prefixes.end() ? prefix->second : std::string()) + whole;
      item.Shown = (prefix != prefixes.end() ? ui::ToQString(prefix->second) : QString()) +
                   ui::ToQString(whole, *url);
      const QString scheme = QUrl(item.Shown, QUrl::TolerantMode).scheme().toLower();
      if (scheme != "http" && scheme != "https") {
        continue;
      }
      item.Id = static_cast<int32_t>(std::lround(urls.FieldByName("URL_ID")->AsFloat()));
      listed.push_back(std::move(item));
    }
  } catch (...) {
    restore();
    throw;
  }
  restore();
  return listed;
}

TLinkCheckForm::TLinkCheckForm(TForm1* owner, std::vector<TListedUrl> urls)
    : QWidget(owner, Qt::Window), owner_(owner) {
  setObjectName("LinkCheckForm");
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(U("Проверка ссылок"));
  setToolTip(U("Проверка веб-адресов списка"));
  // The program's look: its teal and its small font.
  setFont(owner->font());
  QPalette teal = palette();
  teal.setColor(QPalette::Window, QColor(14, 156, 149));
  setPalette(teal);
  setAutoFillBackground(true);
  resize(760, 460);

  model_ = new TLinkResultModel(std::move(urls), this);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  layout->setSpacing(4);

  auto* progressRow = new QHBoxLayout();
  LabelSummary = new QLabel(this);
  LabelSummary->setObjectName("LabelSummary");
  LabelSummary->setToolTip(U("Сколько адресов проверено и что найдено"));
  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setToolTip(U("Ход проверки"));
  ButtonCancel = new QPushButton(U("Прервать"), this);
  ButtonCancel->setObjectName("ButtonCancel");
  ButtonCancel->setToolTip(U("Остановить проверку; проверенное остаётся в списке"));
  progressRow->addWidget(ProgressBar1, 1);
  progressRow->addWidget(ButtonCancel);
  layout->addWidget(LabelSummary);
  layout->addLayout(progressRow);

  ListResults = new QTableView(this);
  ListResults->setObjectName("ListResults");
  ListResults->setToolTip(U("Результаты проверки; действия относятся к выделенным строкам"));
  ListResults->setModel(model_);
  ListResults->setSelectionBehavior(QAbstractItemView::SelectRows);
  ListResults->setSelectionMode(QAbstractItemView::ExtendedSelection);
  ListResults->setEditTriggers(QAbstractItemView::NoEditTriggers);
  ListResults->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  ListResults->verticalHeader()->hide();
  ListResults->horizontalHeader()->setStretchLastSection(true);
  ListResults->setColumnWidth(TLinkResultModel::kState, 150);
  ListResults->setColumnWidth(TLinkResultModel::kStatus, 40);
  ListResults->setColumnWidth(TLinkResultModel::kAddress, 240);
  ListResults->setColumnWidth(TLinkResultModel::kName, 140);
  layout->addWidget(ListResults, 1);

  LabelAction = new QLabel(this);
  LabelAction->setObjectName("LabelAction");
  LabelAction->setToolTip(U("Что сделало последнее действие"));
  layout->addWidget(LabelAction);

  auto* buttons = new QHBoxLayout();
  auto button = [&](QPushButton*& b, const char* name, const char* text, const char* hint) {
    b = new QPushButton(U(text), this);
    b->setObjectName(name);
    b->setToolTip(U(hint));
    b->setAutoDefault(false);
    buttons->addWidget(b);
  };
  button(ButtonFile, "ButtonFile", "В раздел", "Поместить выделенные ссылки в раздел «Недоступные ссылки»");
  button(ButtonReplace, "ButtonReplace", "Заменить адрес",
         "Записать перемещённым ссылкам их новый адрес");
  button(ButtonDelete, "ButtonDelete", "Удалить", "Удалить выделенные записи из каталога");
  button(ButtonRecheck, "ButtonRecheck", "Проверить ещё раз",
         "Проверить снова те ссылки, что не ответили как следует");
  button(ButtonArchive, "ButtonArchive", "Открыть в веб-архиве",
         "Открыть выделенные адреса в веб-архиве");
  button(ButtonSave, "ButtonSave", "Сохранить…", "Сохранить результаты в текстовый файл");
  buttons->addStretch(1);
  button(ButtonClose, "ButtonClose", "Закрыть", "Закрыть окно; проверка прекращается");
  layout->addLayout(buttons);

  connect(ButtonCancel, &QPushButton::clicked, this,
          ui::Guarded(this, &TLinkCheckForm::ButtonCancelClick));
  connect(ButtonFile, &QPushButton::clicked, this,
          ui::Guarded(this, &TLinkCheckForm::ButtonFileClick));
  connect(ButtonReplace, &QPushButton::clicked, this,
          ui::Guarded(this, &TLinkCheckForm::ButtonReplaceClick));
  connect(ButtonDelete, &QPushButton::clicked, this,
          ui::Guarded(this, &TLinkCheckForm::ButtonDeleteClick));
  connect(ButtonRecheck, &QPushButton::clicked, this,
          ui::Guarded(this, &TLinkCheckForm::ButtonRecheckClick));
  connect(ButtonArchive, &QPushButton::clicked, this,
          ui::Guarded(this, &TLinkCheckForm::ButtonArchiveClick));
  connect(ButtonSave, &QPushButton::clicked, this,
          ui::Guarded(this, &TLinkCheckForm::ButtonSaveClick));
  connect(ButtonClose, &QPushButton::clicked, this, &QWidget::close);

  // Progress is shown twenty times a second, not at every answer.
  progressTimer_ = new QTimer(this);
  progressTimer_->setInterval(50);
  connect(progressTimer_, &QTimer::timeout, this, [this] { ShowProgress(); });
  ButtonCancel->setEnabled(false);
  ShowProgress();
}

TLinkCheckForm::~TLinkCheckForm() {
  if (checker_) {
    checker_->disconnect(this);
    checker_->Cancel();
  }
}

QString TLinkCheckForm::StateText(TLinkState state) {
  switch (state) {
    case TLinkState::Pending:
      return U("Не проверена");
    case TLinkState::Unreachable:
      return U("Недоступна");
    case TLinkState::Gone:
      return U("Удалена");
    case TLinkState::Failing:
      return U("Ошибка");
    case TLinkState::Moved:
      return U("Перемещена навсегда");
    case TLinkState::Ok:
      return U("Работает");
  }
  return {};
}

int TLinkCheckForm::RowCount() const { return model_->rowCount(); }
const TListedUrl& TLinkCheckForm::UrlAt(int row) const { return model_->at(row).Url; }
const TLinkResult& TLinkCheckForm::ResultAt(int row) const { return model_->at(row).Result; }
bool TLinkCheckForm::Checking() const { return checker_ && checker_->Busy(); }

void TLinkCheckForm::Start() {
  std::vector<int> rows(static_cast<size_t>(RowCount()));
  for (int r = 0; r < RowCount(); ++r) {
    rows[static_cast<size_t>(r)] = r;
  }
  Check(rows);
}

void TLinkCheckForm::Check(const std::vector<int>& rows) {
  // A fresh checker each time: the rows are its keys, which a delete moves.
  checker_ = std::make_unique<TLinkChecker>(Limits);
  connect(checker_.get(), &TLinkChecker::Checked, this, &TLinkCheckForm::OnChecked);
  connect(checker_.get(), &TLinkChecker::Finished, this, &TLinkCheckForm::EndCheck);
  toCheck_ = static_cast<int>(rows.size());
  checked_ = 0;
  for (int r : rows) {
    model_->SetResult(r, {});
  }
  for (int r : rows) {
    checker_->Add(r, QUrl(model_->at(r).Url.Shown, QUrl::TolerantMode));
  }
  ButtonCancel->setEnabled(toCheck_ > 0);
  ButtonRecheck->setEnabled(false);
  ButtonDelete->setEnabled(false);
  if (toCheck_ == 0) {
    EndCheck();
    return;
  }
  progressTimer_->start();
  ShowProgress();
}

void TLinkCheckForm::OnChecked(int row, const TLinkResult& result) {
  model_->SetResult(row, result);
  ++checked_;
}

void TLinkCheckForm::EndCheck() {
  progressTimer_->stop();
  ButtonCancel->setEnabled(false);
  ButtonRecheck->setEnabled(true);
  ButtonDelete->setEnabled(true);
  ShowProgress();
  emit CheckDone();
}

void TLinkCheckForm::ShowProgress() {
  int counts[6] = {};
  for (int r = 0; r < RowCount(); ++r) {
    ++counts[static_cast<int>(ResultAt(r).State)];
  }
  ProgressBar1->setRange(0, std::max(toCheck_, 1));
  ProgressBar1->setValue(toCheck_ > 0 ? checked_ : 1);
  LabelSummary->setText(
      U("Проверено %1 из %2. Работают: %3, перемещены: %4, удалены: %5, с ошибкой: %6, "
        "недоступны: %7.")
          .arg(checked_)
          .arg(toCheck_)
          .arg(counts[static_cast<int>(TLinkState::Ok)])
          .arg(counts[static_cast<int>(TLinkState::Moved)])
          .arg(counts[static_cast<int>(TLinkState::Gone)])
          .arg(counts[static_cast<int>(TLinkState::Failing)])
          .arg(counts[static_cast<int>(TLinkState::Unreachable)]));
}

void TLinkCheckForm::ButtonCancelClick() {
  if (checker_ && checker_->Busy()) {
    checker_->Cancel();
    EndCheck();
  }
}

std::vector<int> TLinkCheckForm::SelectedRows() const {
  std::vector<int> rows;
  for (const QModelIndex& index : ListResults->selectionModel()->selectedRows()) {
    rows.push_back(index.row());
  }
  std::sort(rows.begin(), rows.end());
  return rows;
}

bool TLinkCheckForm::Refused() {
  if (owner_->CatalogueOpen()) {
    return false;
  }
  ui::ShowErrorBox(this, QString::fromUtf8(kCatalogueNotOpen));
  return true;
}

void TLinkCheckForm::ButtonFileClick() {
  const std::vector<int> rows = SelectedRows();
  if (rows.empty() || Refused()) {
    return;
  }
  std::vector<int32_t> ids;
  for (int r : rows) {
    ids.push_back(UrlAt(r).Id);
  }
  const int filed = FileUrlsUnderSection(ids, U(kUnreachableSection));
  LabelAction->setText(U("В раздел «%1» помещено ссылок: %2.").arg(U(kUnreachableSection)).arg(filed));
}

void TLinkCheckForm::ButtonReplaceClick() {
  if (Refused()) {
    return;
  }
  int replaced = 0;
  int refused = 0;
  for (int r : SelectedRows()) {
    const TLinkResult& result = ResultAt(r);
    if (result.State != TLinkState::Moved) {
      continue;
    }
    const QString target = result.Target.toString();
    if (ReplaceUrlAddress(UrlAt(r).Id, target)) {
      ++replaced;
      model_->SetAddress(r, target);
      model_->SetResult(r, {TLinkState::Ok, 0, {}, U("Адрес заменён")});
    } else {
      ++refused;
    }
  }
  QString text = U("Заменено адресов: %1.").arg(replaced);
  if (refused > 0) {
    text += U(" Не заменено %1: запись удалена или ни один тип ссылки не подходит к новому адресу.")
                .arg(refused);
  }
  LabelAction->setText(text);
}

void TLinkCheckForm::ButtonDeleteClick() {
  const std::vector<int> rows = SelectedRows();
  if (rows.empty() || Checking() || Refused()) {
    return;
  }
  if (QMessageBox::question(this, windowTitle(),
                            U("Удалить из каталога выделенные записи (%1)?").arg(rows.size()),
                            QMessageBox::Yes | QMessageBox::No,
                            QMessageBox::No) != QMessageBox::Yes) {
    return;
  }
  std::vector<int> gone;
  try {
    for (int r : rows) {
      (void)DeleteUrlRecord(UrlAt(r).Id);
      gone.push_back(r);
    }
  } catch (...) {
    model_->Remove(gone);
    throw;
  }
  model_->Remove(gone);
  LabelAction->setText(U("Удалено записей: %1.").arg(gone.size()));
  ShowProgress();
}

void TLinkCheckForm::ButtonRecheckClick() {
  if (Checking()) {
    return;
  }
  std::vector<int> rows;
  for (int r = 0; r < RowCount(); ++r) {
    if (Failed(ResultAt(r).State)) {
      rows.push_back(r);
    }
  }
  Check(rows);
}

void TLinkCheckForm::ButtonArchiveClick() {
  for (int r : SelectedRows()) {
    OpenWithOpener(kWebArchivePrefix + UrlAt(r).Address);
  }
}

QString TLinkCheckForm::ResultsText() const {
  QString text;
  for (int r = 0; r < RowCount(); ++r) {
    const TLinkResult& result = ResultAt(r);
    text += StateText(result.State) + '\t' +
            (result.Status > 0 ? QString::number(result.Status) : QString()) + '\t' +
            UrlAt(r).Shown + '\t' + UrlAt(r).Name + '\t' + TLinkResultModel::Detail(result) +
            '\n';
  }
  return text;
}

void TLinkCheckForm::ButtonSaveClick() {
  QFileDialog dialog(this, U("Сохранить результаты проверки"), {},
                     U("Текстовые файлы (*.txt);;Все файлы (*)"));
  dialog.setObjectName("SaveResultsDialog");
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setDefaultSuffix("txt");
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
    return;
  }
  const QString path = dialog.selectedFiles().front();
  QSaveFile file(path);
  const QByteArray bytes = ResultsText().toUtf8();
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
    ui::ShowErrorBox(this, U("Не удалось записать файл %1: %2").arg(path, file.errorString()));
    return;
  }
  LabelAction->setText(U("Результаты сохранены в %1.").arg(path));
}

TLinkCheckForm* ShowLinkCheck(TForm1* owner) {
  if (auto* open = owner->findChild<TLinkCheckForm*>(QString(), Qt::FindDirectChildrenOnly)) {
    open->showNormal();
    open->raise();
    open->activateWindow();
    return open;
  }
  auto* form = new TLinkCheckForm(owner, ListedWebUrls(owner));
  form->show();
  form->Start();
  return form;
}

void TForm1::CheckLinksClick() { ShowLinkCheck(this); }
