#include "service_windows.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <set>

#include "Unit1.h"
#include "bookmark_tree.h"
#include "controls.h"
#include "exception_handler.h"
#include "images.h"
#include "section_tree.h"
#include "xds/xdstable.h"

TFileChooser ChooseFileToOpen = [](QWidget* parent, const QString& caption,
                                   const QString& filter) {
  return QFileDialog::getOpenFileName(parent, caption, QString(), filter);
};

TFileChooser ChooseFileToSave = [](QWidget* parent, const QString& caption,
                                   const QString& filter) {
  return QFileDialog::getSaveFileName(parent, caption, QString(), filter);
};

int ImportProgressDelayMs = 500;
std::function<void(std::size_t done, std::size_t total)> ImportProgressObserver;

void StyleServiceWindow(QWidget* window) {
  QFont font("Sans Serif");
  font.setPointSize(8);
  window->setFont(font);
  QPalette pal = window->palette();
  pal.setColor(QPalette::Window, QColor(14, 156, 149));
  window->setPalette(pal);
  window->setAutoFillBackground(true);
  window->setWindowTitle("Tavo Url Manager 2.0");
}

namespace {

QString Utf8(const std::string& s) { return QString::fromStdString(s); }

QPushButton* Button(QWidget* parent, const char* name, const char* text, const char* hint) {
  auto* button = new QPushButton(QString::fromUtf8(text), parent);
  button->setObjectName(name);
  button->setToolTip(QString::fromUtf8(hint));
  return button;
}

}  // namespace

// --- The import run ---------------------------------------------------------

TImportRun::TImportRun(std::string file, std::string dir)
    : file_(std::move(file)), dir_(std::move(dir)) {}

TImportRun::~TImportRun() {
  if (thread_.joinable()) {
    cancel_.store(true);
    thread_.join();
  }
}

void TImportRun::Start() { thread_ = std::thread([this] { Run(); }); }

void TImportRun::Join() {
  if (thread_.joinable()) {
    thread_.join();
  }
}

void TImportRun::Run() {
  std::string bytes;
  bookmarks::Tree tree;
  const bool read = bookmarks::ReadBookmarkFile(file_, &bytes, &error_);
  if (read && !bookmarks::ParseBookmarks(bytes, &tree, &error_)) {
    error_ = file_ + ": " + error_;
  } else if (read) {
    bytes = std::string();
    total_.store(tree.links.size());
    bookmarks::ImportOptions options;
    options.progress = [this](std::size_t done, std::size_t total) {
      done_.store(done);
      total_.store(total);
      if (ImportProgressObserver) {
        ImportProgressObserver(done, total);
      }
    };
    options.cancelled = [this] { return cancel_.load(); };
    ok_ = bookmarks::ImportBookmarks(tree, dir_, options, &summary_, &error_);
    cancelled_ = !ok_ && error_ == bookmarks::kCancelled;
    leftovers_.separators = tree.separators;
    leftovers_.folderDescriptions = tree.folderDescriptions;
    leftovers_.foldersTooDeep = tree.foldersTooDeep;
    leftovers_.unresolved = std::move(tree.unresolved);
  }
  finished_.store(true);
  QMetaObject::invokeMethod(
      &finishedNotice_,
      [this] {
        if (onFinished_) {
          onFinished_();
        }
      },
      Qt::QueuedConnection);
}

// --- The progress window ----------------------------------------------------

TImportProgressForm::TImportProgressForm(TImportRun* run, QWidget* parent)
    : QDialog(parent), run_(run) {
  setObjectName("ImportProgressForm");
  StyleServiceWindow(this);
  setToolTip(QString::fromUtf8("Закладки добавляются в каталог"));
  auto* layout = new QVBoxLayout(this);
  Label1 = new QLabel(QString::fromUtf8("Импорт закладок из файла\n%1")
                          .arg(QString::fromStdString(run->File())),
                      this);
  Label1->setObjectName("Label1");
  Label1->setToolTip(QString::fromUtf8("Файл закладок"));
  layout->addWidget(Label1);
  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setObjectName("ProgressBar1");
  ProgressBar1->setToolTip(QString::fromUtf8("Сколько адресов уже записано"));
  // Counted in thousandths, whatever the number of links. A bar that only
  // says "busy" would repaint all the time and slow the import.
  ProgressBar1->setRange(0, 1000);
  ProgressBar1->setValue(0);
  ProgressBar1->setMinimumWidth(320);
  layout->addWidget(ProgressBar1);
  auto* row = new QHBoxLayout;
  row->addStretch();
  CancelButton = Button(this, "CancelButton", "Отмена",
                        "Прервать импорт: каталог останется таким, каким был");
  row->addWidget(CancelButton);
  layout->addLayout(row);
  connect(CancelButton, &QPushButton::clicked, this,
          ui::Guarded(this, &TImportProgressForm::CancelButtonClick));
  auto* timer = new QTimer(this);
  connect(timer, &QTimer::timeout, this, [this] { Poll(); });
  timer->start(40);
  run_->OnFinished([this] { Poll(); });
}

TImportProgressForm::~TImportProgressForm() { run_->OnFinished(nullptr); }

void TImportProgressForm::Poll() {
  if (run_->Finished()) {
    accept();
    return;
  }
  const std::size_t total = run_->Total();
  const std::size_t done = run_->Done();
  if (done > 0 && total > 0) {
    ProgressBar1->setValue(static_cast<int>(std::min<std::size_t>(1000, done * 1000 / total)));
  }
}

void TImportProgressForm::CancelButtonClick() {
  run_->Cancel();
  CancelButton->setEnabled(false);
  Label1->setText(QString::fromUtf8("Импорт прерывается, каталог восстанавливается…"));
}

void TImportProgressForm::reject() {
  // Escape and the window's close button cancel; the window goes when the
  // run has ended.
  if (!run_->Finished()) {
    CancelButtonClick();
    return;
  }
  QDialog::reject();
}

// --- The summary window -----------------------------------------------------

std::vector<std::pair<QString, QString>> ImportSummaryRows(const bookmarks::ImportSummary& s,
                                                           const bookmarks::Tree& leftovers) {
  std::vector<std::pair<QString, QString>> rows;
  auto add = [&rows](const char* label, std::size_t n) {
    rows.emplace_back(QString::fromUtf8(label), QString::number(n));
  };
  add("Прочитано ссылок:", s.links);
  add("Создано разделов:", s.sectionsCreated);
  add("Найдено разделов с тем же именем:", s.sectionsReused);
  add("Добавлено URL:", s.urlsAdded);
  add("Уже были в каталоге (добавлены только разделы):", s.urlsMerged);
  add("Повторы адреса в других папках файла:", s.linksJoined);
  add("Добавлено включений в разделы:", s.membershipsAdded);
  add("Пропущено ссылок:", s.skipped.size());
  if (!s.typesCreated.empty()) {
    QStringList types;
    for (const std::string& t : s.typesCreated) {
      types << Utf8(t);
    }
    rows.emplace_back(QString::fromUtf8("Созданы типы ссылок:"), types.join(", "));
  }
  if (s.namesCut > 0) {
    add("Названия длиннее 100 знаков (полное — в описании):", s.namesCut);
  }
  if (s.textsAltered > 0) {
    add("Тексты со знаками, записанными как &#N;:", s.textsAltered);
  }
  for (const std::string& name : s.sectionNamesCut) {
    rows.emplace_back(QString::fromUtf8("Имя раздела сокращено до 50 знаков:"), Utf8(name));
  }
  if (leftovers.separators > 0) {
    add("Пропущено разделителей:", leftovers.separators);
  }
  if (leftovers.folderDescriptions > 0) {
    add("Пропущено описаний папок:", leftovers.folderDescriptions);
  }
  if (leftovers.foldersTooDeep > 0) {
    rows.emplace_back(
        QString::fromUtf8("Папок глубже %1 уровней (их ссылки — в папке выше):")
            .arg(bookmarks::kMaxFolderDepth),
        QString::number(leftovers.foldersTooDeep));
  }
  for (const std::string& u : leftovers.unresolved) {
    rows.emplace_back(QString::fromUtf8("Пропущено:"), Utf8(u));
  }
  return rows;
}

TImportSummaryForm::TImportSummaryForm(const TImportRun& run, QWidget* parent) : QDialog(parent) {
  setObjectName("ImportSummaryForm");
  StyleServiceWindow(this);
  setToolTip(QString::fromUtf8("Итог импорта закладок"));
  auto* layout = new QVBoxLayout(this);
  QString counts = QString::fromUtf8("<b>Импортирован файл %1</b>%2<table>")
                       .arg(Utf8(run.File()).toHtmlEscaped(),
                            run.Summary().createdCatalogue
                                ? QString::fromUtf8(" (новый каталог)")
                                : QString());
  for (const auto& [label, value] : ImportSummaryRows(run.Summary(), run.Leftovers())) {
    counts += "<tr><td>" + label.toHtmlEscaped() + "</td><td align=right>&nbsp;" +
              value.toHtmlEscaped() + "</td></tr>";
  }
  counts += "</table>";
  CountsLabel = new QLabel(counts, this);
  CountsLabel->setObjectName("CountsLabel");
  CountsLabel->setToolTip(QString::fromUtf8("Что сделал импорт"));
  CountsLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(CountsLabel);
  auto* skippedCaption = new QLabel(QString::fromUtf8("Пропущенные ссылки:"), this);
  skippedCaption->setObjectName("Label2");
  skippedCaption->setToolTip(QString::fromUtf8("Ссылки, которые не попали в каталог, и почему"));
  layout->addWidget(skippedCaption);
  SkippedList = new QPlainTextEdit(this);
  SkippedList->setObjectName("SkippedList");
  SkippedList->setToolTip(
      QString::fromUtf8("Пропущенные ссылки: название, адрес и причина; текст можно копировать"));
  SkippedList->setReadOnly(true);
  SkippedList->setLineWrapMode(QPlainTextEdit::NoWrap);
  QStringList lines;
  for (const bookmarks::Skipped& k : run.Summary().skipped) {
    lines << QString("\"%1\" %2: %3").arg(Utf8(k.title), Utf8(k.href), Utf8(k.reason));
  }
  SkippedList->setPlainText(lines.join('\n'));
  SkippedList->setMinimumSize(480, 120);
  layout->addWidget(SkippedList);
  auto* row = new QHBoxLayout;
  CopyButton = Button(this, "CopyButton", "Копировать список",
                      "Скопировать список пропущенных ссылок в буфер обмена");
  CopyButton->setEnabled(!lines.isEmpty());
  connect(CopyButton, &QPushButton::clicked, this,
          [this] { QApplication::clipboard()->setText(SkippedList->toPlainText()); });
  row->addWidget(CopyButton);
  row->addStretch();
  OkButton = Button(this, "OkButton", "OK", "Закрыть окно");
  OkButton->setIcon(PaintedIcon(DrawCheckMark));
  OkButton->setDefault(true);
  connect(OkButton, &QPushButton::clicked, this, &QDialog::accept);
  row->addWidget(OkButton);
  layout->addLayout(row);
}

// --- Duplicates ---------------------------------------------------------------

namespace {

int32_t IdOf(TDataSet& urls) {
  return static_cast<int32_t>(std::lround(urls.FieldByName("URL_ID")->AsFloat()));
}

}  // namespace

void MergeDuplicates(TForm1& form, const bookmarks::DuplicateGroup& group) {
  if (group.records.size() < 2) {
    return;
  }
  TXdsTable& urls = *form.HDSUrls;
  TXdsTable& memberships = *form.HDSUrlIn;
  const bookmarks::DuplicateRecord& kept = group.records.front();
  const auto keptId = static_cast<int32_t>(kept.id);
  const bool filtered = urls.Filtered();
  const std::string membershipFilter = memberships.Filter();
  const bool membershipsFiltered = memberships.Filtered();
  const std::string membershipIndex = memberships.IndexName();
  auto restore = [&] {
    memberships.SetFiltered(false);
    memberships.SetIndexName(membershipIndex);
    memberships.SetFilter(membershipFilter);
    memberships.SetFiltered(membershipsFiltered);
    urls.SetFiltered(filtered);
  };
  try {
    urls.CheckBrowseMode();
    urls.SetFiltered(false);
    memberships.SetFiltered(false);
    // The sections the kept record lacks, in the order the group meets them.
    std::set<int64_t> filed(kept.sections.begin(), kept.sections.end());
    for (const bookmarks::DuplicateRecord& r : group.records) {
      for (int64_t section : r.sections) {
        if (filed.insert(section).second) {
          memberships.Append();
          memberships.FieldByName("TEM_ID")->SetAsInteger(static_cast<int32_t>(section));
          memberships.FieldByName("URL_ID")->SetAsInteger(keptId);
          memberships.Post();
        }
      }
    }
    // The others' descriptions it does not hold yet, each on lines of its own.
    if (!urls.Locate("URL_ID", TVariant(keptId), 0)) {
      throw Exception("URL " + std::to_string(keptId) + " is no longer in the catalogue");
    }
    std::string description = urls.FieldByName("DESCR")->AsString();
    std::vector<int32_t> others;
    for (std::size_t i = 1; i < group.records.size(); ++i) {
      const auto id = static_cast<int32_t>(group.records[i].id);
      if (!urls.Locate("URL_ID", TVariant(id), 0)) {
        continue;  // gone already
      }
      others.push_back(id);
      const std::string other = urls.FieldByName("DESCR")->AsString();
      if (!other.empty() && description.find(other) == std::string::npos) {
        description += (description.empty() ? "" : "\r\n") + other;
      }
    }
    if (!urls.Locate("URL_ID", TVariant(keptId), 0)) {
      throw Exception("URL " + std::to_string(keptId) + " is no longer in the catalogue");
    }
    if (description != urls.FieldByName("DESCR")->AsString()) {
      urls.Edit();
      urls.FieldByName("DESCR")->SetAsString(description);
      urls.Post();
    }
    // The others go the way the delete command takes a record (whose
    // handlers switch the list's filter back on).
    for (int32_t id : others) {
      urls.SetFiltered(false);
      if (urls.Locate("URL_ID", TVariant(id), 0) && IdOf(urls) == id) {
        urls.Delete();
      }
    }
  } catch (...) {
    try {
      restore();
    } catch (...) {
    }
    throw;
  }
  restore();
  form.RefreshUrlFilter();
  (void)urls.Locate("URL_ID", TVariant(keptId), 0);
}

TDuplicatesForm::TDuplicatesForm(TForm1* form, std::vector<bookmarks::DuplicateGroup> groups,
                                 QWidget* parent)
    : QDialog(parent), form_(form), groups_(std::move(groups)) {
  setObjectName("DuplicatesForm");
  StyleServiceWindow(this);
  setToolTip(QString::fromUtf8("Записи с одним и тем же адресом"));
  resize(640, 400);
  auto* layout = new QVBoxLayout(this);
  Label1 = new QLabel(this);
  Label1->setObjectName("Label1");
  Label1->setToolTip(QString::fromUtf8("Сколько адресов записано в каталоге больше одного раза"));
  layout->addWidget(Label1);
  DuplicatesTree = new QTreeWidget(this);
  DuplicatesTree->setObjectName("DuplicatesTree");
  DuplicatesTree->setToolTip(
      QString::fromUtf8("Группы записей с одним адресом; первой в группе идёт самая старая"));
  DuplicatesTree->setHeaderLabels({QString::fromUtf8("Название"), QString::fromUtf8("Тип ссылки"),
                                   QString::fromUtf8("Разделы"), QString::fromUtf8("Код")});
  DuplicatesTree->setRootIsDecorated(true);
  DuplicatesTree->setUniformRowHeights(true);
  layout->addWidget(DuplicatesTree);
  auto* row = new QHBoxLayout;
  MergeButton = Button(this, "MergeButton", "Объединить",
                       "Оставить самую старую запись выбранной группы, добавив ей разделы и "
                       "описания остальных; остальные удалить");
  MergeAllButton = Button(this, "MergeAllButton", "Объединить все",
                          "Объединить так каждую группу");
  CloseButton = Button(this, "CloseButton", "Закрыть", "Закрыть окно");
  row->addWidget(MergeButton);
  row->addWidget(MergeAllButton);
  row->addStretch();
  row->addWidget(CloseButton);
  layout->addLayout(row);
  connect(MergeButton, &QPushButton::clicked, this,
          ui::Guarded(this, &TDuplicatesForm::MergeButtonClick));
  connect(MergeAllButton, &QPushButton::clicked, this,
          ui::Guarded(this, &TDuplicatesForm::MergeAllButtonClick));
  connect(CloseButton, &QPushButton::clicked, this, &QDialog::accept);
  Fill();
}

void TDuplicatesForm::Fill() {
  DuplicatesTree->clear();
  for (std::size_t g = 0; g < groups_.size(); ++g) {
    const bookmarks::DuplicateGroup& group = groups_[g];
    auto* top = new QTreeWidgetItem(DuplicatesTree);
    top->setText(0, Utf8(group.records.front().address));
    top->setFirstColumnSpanned(true);
    top->setData(0, Qt::UserRole, static_cast<qulonglong>(g));
    for (const bookmarks::DuplicateRecord& r : group.records) {
      QStringList sections;
      for (int64_t id : r.sections) {
        TTreeNode* node = FindNodeById(form_->TreeView1, static_cast<uint32_t>(id));
        sections << (node != nullptr ? node->text(0) : QString::number(id));
      }
      auto* item = new QTreeWidgetItem(
          top, {Utf8(r.name), Utf8(r.typeName), sections.join(", "), QString::number(r.id)});
      item->setData(0, Qt::UserRole, static_cast<qulonglong>(g));
      item->setToolTip(0, Utf8(r.address));
    }
    top->setExpanded(true);
  }
  DuplicatesTree->header()->resizeSections(QHeaderView::ResizeToContents);
  ShowCount();
}

void TDuplicatesForm::ShowCount() {
  Label1->setText(groups_.empty()
                      ? QString::fromUtf8("Повторяющихся адресов нет")
                      : QString::fromUtf8("Адресов, записанных больше одного раза: %1")
                            .arg(groups_.size()));
  MergeButton->setEnabled(!groups_.empty());
  MergeAllButton->setEnabled(!groups_.empty());
}

void TDuplicatesForm::MergeButtonClick() {
  QTreeWidgetItem* item = DuplicatesTree->currentItem();
  if (item == nullptr) {
    return;
  }
  const auto g = static_cast<std::size_t>(item->data(0, Qt::UserRole).toULongLong());
  if (g >= groups_.size()) {
    return;
  }
  MergeDuplicates(*form_, groups_[g]);
  groups_.erase(groups_.begin() + static_cast<std::ptrdiff_t>(g));
  Fill();
}

void TDuplicatesForm::MergeAllButtonClick() {
  // After a failure the list shows the groups still to merge.
  std::size_t merged = 0;
  try {
    for (; merged < groups_.size(); ++merged) {
      MergeDuplicates(*form_, groups_[merged]);
    }
  } catch (...) {
    groups_.erase(groups_.begin(), groups_.begin() + static_cast<std::ptrdiff_t>(merged));
    Fill();
    throw;
  }
  groups_.clear();
  Fill();
}
