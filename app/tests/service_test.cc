// The "Сервис" menu through the real windows: bookmark import with its
// progress, Cancel and summary, export, and the merge of duplicate addresses,
// each checked in the catalogue's tables afterwards.
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "app_test_support.h"
#include "bookmark_tree.h"
#include "catalogue/schema.h"
#include "catalogue_io.h"
#include "service_windows.h"
#include "xce.h"

namespace apptest {
namespace {

namespace fs = std::filesystem;

std::map<std::string, std::string> FolderBytes(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    if (e.is_regular_file()) {
      std::ifstream in(e.path(), std::ios::binary);
      std::stringstream bytes;
      bytes << in.rdbuf();
      files[e.path().filename().string()] = bytes.str();
    }
  }
  return files;
}

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// A link as the catalogue holds it: the address, its name and description,
// and the sections it is filed under, by name.
struct Stored {
  std::string title;
  std::string description;
  std::set<std::string> sections;
};

// The catalogue of `dir` read back by the export's reader, by address.
std::map<std::string, Stored> ReadBack(const fs::path& dir) {
  bookmarks::Tree tree;
  std::string error;
  EXPECT_TRUE(bookmarks::ReadCatalogue(dir.string(), &tree, &error)) << error;
  std::map<std::string, Stored> links;
  for (const bookmarks::Link& l : tree.links) {
    Stored& s = links[l.href];
    s.title = l.title;
    s.description = l.description;
    const bookmarks::Folder& f = tree.folders[static_cast<std::size_t>(l.folder)];
    if (!f.unfiled) {
      s.sections.insert(f.name);
    }
  }
  return links;
}

class ServiceTest : public WorkingDirTest {
 protected:
  void SetUp() override {
    WorkingDirTest::SetUp();
    ASSERT_TRUE(files_.isValid());
    ChooseFileToOpen = [this](QWidget*, const QString&, const QString&) { return chosen_; };
    ChooseFileToSave = ChooseFileToOpen;
    ImportProgressDelayMs = 60000;
  }
  void TearDown() override {
    ChooseFileToOpen = nullptr;
    ChooseFileToSave = nullptr;
    ImportProgressObserver = nullptr;
    ImportProgressDelayMs = 500;
    WorkingDirTest::TearDown();
  }
  fs::path FilePath(const std::string& name) { return fs::path(files_.path().toStdString()) / name; }
  // Closes the main window as the user does, so its tables are written and
  // let go.
  void CloseForm() {
    ASSERT_TRUE(form_->close());
    form_.reset();
  }

  QTemporaryDir files_;
  QString chosen_;
};

constexpr char kNested[] = R"(<!DOCTYPE NETSCAPE-Bookmark-file-1>
<META HTTP-EQUIV="Content-Type" CONTENT="text/html; charset=UTF-8">
<TITLE>Bookmarks</TITLE>
<H1>Bookmarks</H1>
<DL><p>
    <DT><H3>Работа</H3>
    <DL><p>
        <DT><A HREF="https://example.com/a" ADD_DATE="1600000000">Пример А</A>
        <DD>Первое описание
        <DT><H3>Проекты</H3>
        <DL><p>
            <DT><A HREF="https://example.org/b">Пример Б</A>
            <DT><A HREF="https://EXAMPLE.com:443/a">Пример А снова</A>
        </DL><p>
    </DL><p>
    <DT><A HREF="просто текст">Не ссылка</A>
</DL><p>
)";

TEST_F(ServiceTest, ImportShowsItsSummaryAndTheNewSectionsAndRecordsAtOnce) {
  TWatchedForm* form = MakeForm();
  form->show();
  WriteFile(FilePath("bookmarks.html"), kNested);
  chosen_ = QString::fromStdString(FilePath("bookmarks.html").string());
  QString counts;
  QString skipped;
  guitest::ModalWatcher watcher([&](QWidget* w) {
    auto* summary = qobject_cast<TImportSummaryForm*>(w);
    ASSERT_NE(summary, nullptr) << w->metaObject()->className();
    counts = summary->CountsLabel->text();
    skipped = summary->SkippedList->toPlainText();
    EXPECT_TRUE(summary->CopyButton->isEnabled());
    summary->CopyButton->click();
    summary->OkButton->click();
  });
  form->actionImportBookmarks->trigger();
  EXPECT_EQ(watcher.Seen(), 1);
  // The command line's counts: 4 links read, 2 sections, 2 records, the
  // second "a" joined to the first, 3 memberships, 1 skipped.
  for (const char* row : {"Прочитано ссылок:</td><td align=right>&nbsp;4",
                          "Создано разделов:</td><td align=right>&nbsp;2",
                          "Добавлено URL:</td><td align=right>&nbsp;2",
                          "Повторы адреса в других папках файла:</td><td align=right>&nbsp;1",
                          "Добавлено включений в разделы:</td><td align=right>&nbsp;3",
                          "Пропущено ссылок:</td><td align=right>&nbsp;1"}) {
    EXPECT_TRUE(counts.contains(QString::fromUtf8(row))) << row << "\n" << counts.toStdString();
  }
  EXPECT_TRUE(skipped.contains(QString::fromUtf8("просто текст"))) << skipped.toStdString();
  EXPECT_EQ(QApplication::clipboard()->text(), skipped);

  // The window shows the result as it is: the nested sections in the tree,
  // both records in the list, and the window accepts edits again.
  ASSERT_EQ(form->TreeView1->topLevelItemCount(), 1);
  QTreeWidgetItem* work = form->TreeView1->topLevelItem(0);
  EXPECT_EQ(work->text(0), QString::fromUtf8("Работа"));
  ASSERT_EQ(work->childCount(), 1);
  EXPECT_EQ(work->child(0)->text(0), QString::fromUtf8("Проекты"));
  EXPECT_EQ(form->HDSUrls->RecordCount(), 2);
  EXPECT_FALSE(form->DBGrid1->ReadOnly());

  CloseForm();
  std::map<std::string, Stored> links = ReadBack(Dir());
  ASSERT_EQ(links.size(), 2u);
  EXPECT_EQ(links["https://example.com/a"].sections,
            (std::set<std::string>{"Работа", "Проекты"}));
  EXPECT_EQ(links["https://example.com/a"].title, "Пример А");
  EXPECT_EQ(links["https://example.org/b"].sections, (std::set<std::string>{"Проекты"}));
}

TEST_F(ServiceTest, ImportOfAFileThatIsNoBookmarksChangesNothing) {
  TWatchedForm* form = MakeForm();
  const auto before = FolderBytes(Dir());
  WriteFile(FilePath("notes.txt"), "plain text, no bookmarks");
  chosen_ = QString::fromStdString(FilePath("notes.txt").string());
  QString error;
  guitest::ModalWatcher watcher([&](QWidget* w) {
    if (auto* box = qobject_cast<QMessageBox*>(w)) {
      error = box->text();
    }
  });
  form->actionImportBookmarks->trigger();
  EXPECT_TRUE(error.startsWith(QString::fromUtf8("Закладки не импортированы"))) << error.toStdString();
  EXPECT_EQ(FolderBytes(Dir()), before);
  EXPECT_TRUE(form->HDSUrls->Active());
  // A chooser closed without a name does nothing at all.
  chosen_.clear();
  form->actionImportBookmarks->trigger();
  form->actionExportBookmarks->trigger();
  EXPECT_EQ(watcher.Seen(), 1);
}

// A file of `links` links in 10 folders, each address once.
std::string LargeFile(int links) {
  std::string text = "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n<DL><p>\n";
  for (int f = 0; f < 10; ++f) {
    text += "<DT><H3>Папка " + std::to_string(f) + "</H3>\n<DL><p>\n";
    for (int i = f; i < links; i += 10) {
      text += "<DT><A HREF=\"https://site" + std::to_string(i) + ".example/\">Ссылка " +
              std::to_string(i) + "</A>\n";
    }
    text += "</DL><p>\n";
  }
  return text + "</DL><p>\n";
}

TEST_F(ServiceTest, CancelHalfWayLeavesTheCatalogueAsItWas) {
  // A catalogue with records already, so that the import appends in place.
  TWatchedForm* form = MakeForm();
  WriteFile(FilePath("small.html"), kNested);
  chosen_ = QString::fromStdString(FilePath("small.html").string());
  {
    guitest::ModalWatcher ok([](QWidget*) {});
    form->actionImportBookmarks->trigger();
  }
  const auto before = FolderBytes(Dir());
  const int recordsBefore = form->HDSUrls->RecordCount();

  WriteFile(FilePath("large.html"), LargeFile(20000));
  chosen_ = QString::fromStdString(FilePath("large.html").string());
  ImportProgressDelayMs = 0;
  // The import waits at half-way until Cancel has been pressed.
  std::atomic<bool> halfway{false};
  std::atomic<bool> pressed{false};
  ImportProgressObserver = [&](std::size_t done, std::size_t total) {
    if (done * 2 >= total && !halfway.exchange(true)) {
      for (int i = 0; i < 10000 && !pressed.load(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  };
  QString message;
  int progressShown = 0;
  guitest::ModalWatcher watcher([&](QWidget* w) {
    if (auto* progress = qobject_cast<TImportProgressForm*>(w)) {
      ++progressShown;
      EXPECT_TRUE(QTest::qWaitFor([&] { return halfway.load(); }, 10000));
      EXPECT_TRUE(QTest::qWaitFor([&] { return progress->ProgressBar1->value() >= 500; }, 2000));
      QTest::mouseClick(progress->CancelButton, Qt::LeftButton);
      EXPECT_FALSE(progress->CancelButton->isEnabled());
      pressed = true;
      // The window stays until the catalogue is back.
      EXPECT_TRUE(QTest::qWaitFor([&] { return !progress->isVisible(); }, 10000));
    } else if (auto* box = qobject_cast<QMessageBox*>(w)) {
      message = box->text();
    }
  });
  form->actionImportBookmarks->trigger();
  EXPECT_EQ(progressShown, 1);
  EXPECT_EQ(message, QString::fromUtf8("Импорт прерван: каталог не изменился."));
  EXPECT_EQ(form->HDSUrls->RecordCount(), recordsBefore);
  EXPECT_EQ(FolderBytes(Dir()), before);
  EXPECT_FALSE(form->DBGrid1->ReadOnly());
}

TEST_F(ServiceTest, ExportedBookmarksImportBackIntoAnEmptyCatalogue) {
  TWatchedForm* form = MakeForm();
  WriteFile(FilePath("bookmarks.html"), kNested);
  chosen_ = QString::fromStdString(FilePath("bookmarks.html").string());
  {
    guitest::ModalWatcher ok([](QWidget*) {});
    form->actionImportBookmarks->trigger();
  }
  for (const char* name : {"out.xbel", "out.html"}) {
    chosen_ = QString::fromStdString(FilePath(name).string());
    QString message;
    guitest::ModalWatcher watcher([&](QWidget* w) {
      if (auto* box = qobject_cast<QMessageBox*>(w)) {
        message = box->text();
      }
    });
    form->actionExportBookmarks->trigger();
    EXPECT_TRUE(message.contains(chosen_)) << message.toStdString();
  }
  std::ifstream xbel(FilePath("out.xbel"));
  std::string head(200, '\0');
  xbel.read(head.data(), 200);
  EXPECT_NE(head.find("<xbel"), std::string::npos) << head;
  EXPECT_TRUE(form->HDSUrls->Active());
  CloseForm();
  const auto exported = ReadBack(Dir());

  // Each file into a catalogue of its own gives back the same links.
  for (const char* name : {"out.xbel", "out.html"}) {
    for (const auto& e : fs::directory_iterator(Dir())) {
      fs::remove_all(e.path());
    }
    cattest::CreateCatalogue(Dir());
    form = MakeForm();
    chosen_ = QString::fromStdString(FilePath(name).string());
    {
      guitest::ModalWatcher ok([](QWidget*) {});
      form->actionImportBookmarks->trigger();
    }
    EXPECT_EQ(form->HDSUrls->RecordCount(), 2) << name;
    CloseForm();
    const auto back = ReadBack(Dir());
    ASSERT_EQ(back.size(), exported.size()) << name;
    for (const auto& [href, link] : exported) {
      EXPECT_EQ(back.at(href).title, link.title) << name << " " << href;
      EXPECT_EQ(back.at(href).description, link.description) << name << " " << href;
      EXPECT_EQ(back.at(href).sections, link.sections) << name << " " << href;
    }
  }
}

// --- Duplicates ---------------------------------------------------------------

struct UrlRow {
  int id;
  std::string url;
  std::string name;
  std::string description;
};

void AppendUrls(const fs::path& dir, const std::vector<UrlRow>& rows) {
  cattest::EngineConnection c(dir);
  XDSHANDLE type = 0;
  ASSERT_EQ(catalogue::OpenCatalogueTable(c.handle(), catalogue::CatalogueTables()[catalogue::kType],
                                        false, &type),
            0);
  ASSERT_EQ(XdsAppendRecord(type), 0);
  for (auto [field, value] : {std::pair{"TYPE_ID", "1"}, {"TYPE_NAME", "https"}}) {
    uint16_t f = 0;
    ASSERT_EQ(XdsGetFieldNumber(type, field, &f), 0);
    ASSERT_EQ(XdsSetField(type, f, value, static_cast<uint32_t>(std::strlen(value))), 0);
  }
  ASSERT_EQ(XdsWriteRecord(type), 0);
  ASSERT_EQ(XdsCloseTable(type), 0);
  XDSHANDLE t = 0;
  ASSERT_EQ(catalogue::OpenCatalogueTable(c.handle(), catalogue::CatalogueTables()[catalogue::kUrls],
                                        false, &t),
            0);
  for (const UrlRow& row : rows) {
    ASSERT_EQ(XdsAppendRecord(t), 0);
    const std::pair<const char*, std::string> fields[] = {
        {"URL_ID", std::to_string(row.id)},
        {"URL", row.url},
        {"NAME", cattest::Cp1251(row.name)},
        {"DESCR", cattest::Cp1251(row.description)},
        {"ADRESTYPE", "1"}};
    for (const auto& [field, value] : fields) {
      if (value.empty()) {
        continue;
      }
      uint16_t f = 0;
      ASSERT_EQ(XdsGetFieldNumber(t, field, &f), 0);
      ASSERT_EQ(XdsSetField(t, f, value.data(), static_cast<uint32_t>(value.size())), 0);
    }
    ASSERT_EQ(XdsWriteRecord(t), 0);
  }
  ASSERT_EQ(XdsCloseTable(t), 0);
}

class DuplicatesTest : public ServiceTest {
 protected:
  void SetUp() override {
    ServiceTest::SetUp();
    cattest::AppendSections(Dir(), {{10, 0, cattest::Cp1251("Раздел А")},
                                    {11, 0, cattest::Cp1251("Раздел Б")},
                                    {12, 10, cattest::Cp1251("Раздел В")}});
    AppendUrls(Dir(), {{1, "https://Example.com/page", "Первая", "Описание один"},
                       {2, "https://example.com:443/page", "Вторая", "Описание два"},
                       {3, "https://example.com/page", "Третья", "Описание один"},
                       {4, "https://other.example/", "Другая", ""},
                       {5, "http://dup.example/x", "Пятая", ""},
                       {6, "HTTP://DUP.EXAMPLE:80/x", "Шестая", "Шестое описание"}});
    cattest::AppendMemberships(Dir(), {{10, 1}, {11, 2}, {10, 2}, {12, 3}, {11, 4}, {12, 6}});
  }
  // Opens the duplicates window and hands it to `act`.
  void WithDuplicates(TForm1* form, const std::function<void(TDuplicatesForm*)>& act) {
    int seen = 0;
    guitest::ModalWatcher watcher([&](QWidget* w) {
      auto* window = qobject_cast<TDuplicatesForm*>(w);
      ASSERT_NE(window, nullptr) << w->metaObject()->className();
      ++seen;
      act(window);
    });
    form->actionFindDuplicates->trigger();
    EXPECT_EQ(seen, 1);
  }
};

TEST_F(DuplicatesTest, ListsEachAddressGroupWithNamesTypesAndSections) {
  TWatchedForm* form = MakeForm();
  WithDuplicates(form, [](TDuplicatesForm* window) {
    QTreeWidget* tree = window->DuplicatesTree;
    ASSERT_EQ(tree->topLevelItemCount(), 2);
    QTreeWidgetItem* first = tree->topLevelItem(0);
    ASSERT_EQ(first->childCount(), 3);
    EXPECT_EQ(first->child(0)->text(0), QString::fromUtf8("Первая"));
    EXPECT_EQ(first->child(0)->text(1), "https");
    EXPECT_EQ(first->child(0)->text(3), "1");
    EXPECT_EQ(first->child(1)->text(2), QString::fromUtf8("Раздел Б, Раздел А"));
    EXPECT_EQ(first->child(2)->text(2), QString::fromUtf8("Раздел В"));
    QTreeWidgetItem* second = tree->topLevelItem(1);
    ASSERT_EQ(second->childCount(), 2);
    EXPECT_EQ(second->child(1)->text(0), QString::fromUtf8("Шестая"));
    EXPECT_TRUE(window->Label1->text().contains("2"));
  });
}

TEST_F(DuplicatesTest, MergeKeepsTheOldestRecordWithEverySectionAndDescription) {
  TWatchedForm* form = MakeForm();
  WithDuplicates(form, [](TDuplicatesForm* window) {
    // One group first, chosen by one of its records.
    window->DuplicatesTree->setCurrentItem(window->DuplicatesTree->topLevelItem(0)->child(2));
    QTest::mouseClick(window->MergeButton, Qt::LeftButton);
    ASSERT_EQ(window->DuplicatesTree->topLevelItemCount(), 1);
    EXPECT_EQ(window->DuplicatesTree->topLevelItem(0)->child(0)->text(3), "5");
    QTest::mouseClick(window->MergeAllButton, Qt::LeftButton);
    EXPECT_EQ(window->DuplicatesTree->topLevelItemCount(), 0);
    EXPECT_FALSE(window->MergeAllButton->isEnabled());
    window->CloseButton->click();
  });
  // Nothing is left to merge.
  WithDuplicates(form, [](TDuplicatesForm* window) {
    EXPECT_EQ(window->DuplicatesTree->topLevelItemCount(), 0);
  });
  CloseForm();
  EXPECT_EQ(cattest::StoredUrlRecords(Dir()), 3u);  // packed at the close
  std::map<std::string, Stored> links = ReadBack(Dir());
  ASSERT_EQ(links.size(), 3u);
  const Stored& page = links.at("https://Example.com/page");
  EXPECT_EQ(page.title, "Первая");
  EXPECT_EQ(page.description, "Описание один\r\nОписание два");
  EXPECT_EQ(page.sections, (std::set<std::string>{"Раздел А", "Раздел Б", "Раздел В"}));
  const Stored& dup = links.at("http://dup.example/x");
  EXPECT_EQ(dup.title, "Пятая");
  EXPECT_EQ(dup.description, "Шестое описание");
  EXPECT_EQ(dup.sections, (std::set<std::string>{"Раздел В"}));
  EXPECT_EQ(links.at("https://other.example/").sections, (std::set<std::string>{"Раздел Б"}));
  // No membership of a deleted record is left: five rows in all, none
  // marked deleted (the delete packs them away).
  cattest::EngineConnection c(Dir());
  XDSHANDLE in = 0;
  ASSERT_EQ(catalogue::OpenCatalogueTable(c.handle(), catalogue::CatalogueTables()[catalogue::kUrlIn],
                                        true, &in),
            0);
  uint32_t rows = 0;
  EXPECT_EQ(XdsGetRecordCount(in, XDS_COUNT_IGNORE_FILTERS, &rows), 0);
  EXPECT_EQ(rows, 5u);
  EXPECT_EQ(XdsCloseTable(in), 0);
}

}  // namespace
}  // namespace apptest
