// The link check through its window, against servers the test starts on
// the loopback addresses: what each kind of answer is reported as, what the
// requests carry and how many run at once, what part of the list is checked,
// and the window's commands, checked in the catalogue's tables afterwards.
#include <sys/stat.h>

#include <QFileDialog>
#include <QHeaderView>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTcpServer>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "catalogue/schema.h"
#include "Unit1.h"
#include "app_test_support.h"
#include "catalogue_rows.h"
#include "gui_test_support.h"
#include "http_test_server.h"
#include "link_check_window.h"
#include "section_edit.h"
#include "section_tree.h"
#include "shell.h"

namespace {

namespace fs = std::filesystem;
using apptest::THttpTestServer;
using Answer = THttpTestServer::Answer;

// A port nothing listens on: taken, then let go.
quint16 RefusedPort() {
  QTcpServer server;
  EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
  const quint16 port = server.serverPort();
  server.close();
  return port;
}

class LinkCheckTest : public apptest::CatalogueFolderTest<TForm1> {
 protected:
  void SetUp() override {
    apptest::CatalogueFolderTest<TForm1>::SetUp();
    TLinkCheckForm::Limits = {};
    TLinkCheckForm::Limits.TimeoutMs = 700;
    apptest::Put(dir_, catalogue::kType,
                 {{{"TYPE_ID", "1"}, {"TYPE_NAME", "Веб"}, {"TYPRPRESTR", "http://"}},
                  {{"TYPE_ID", "2"}, {"TYPE_NAME", "Без префикса"}, {"TYPRPRESTR", ""}},
                  {{"TYPE_ID", "3"}, {"TYPE_NAME", "Почта"}, {"TYPRPRESTR", "mailto:"}}});
    cattest::AppendSections(dir_, {{1, 0, cattest::Cp1251("Работа")}});
  }
  void TearDown() override {
    TLinkCheckForm::Limits = {};
    apptest::CatalogueFolderTest<TForm1>::TearDown();
  }

  // URL records with ids from 1, each {address, link type, name}.
  void PutUrls(const std::vector<std::array<std::string, 3>>& urls) {
    std::vector<apptest::Values> rows;
    for (const auto& [address, type, name] : urls) {
      rows.push_back({{"URL_ID", std::to_string(rows.size() + 1)},
                      {"URL", address},
                      {"ADRESTYPE", type},
                      {"NAME", name}});
    }
    apptest::Put(dir_, catalogue::kUrls, rows);
  }
  TForm1* Start() {
    form_ = std::make_unique<TForm1>();
    EXPECT_TRUE(form_->CatalogueOpen());
    form_->show();
    return form_.get();
  }
  // The check window over the main list, its check done.
  // Through the Сервис menu's entry.
  TLinkCheckForm* Check() {
    EXPECT_TRUE(form_->actionCheckLinks->isEnabled());
    form_->actionCheckLinks->trigger();
    auto* check = form_->findChild<TLinkCheckForm*>();
    EXPECT_NE(check, nullptr);
    EXPECT_TRUE(QTest::qWaitFor([&] { return !check->Checking(); }, 20000));
    return check;
  }
  static int RowOf(TLinkCheckForm* check, const QString& addressEnd) {
    for (int r = 0; r < check->RowCount(); ++r) {
      if (check->UrlAt(r).Shown.endsWith(addressEnd)) {
        return r;
      }
    }
    ADD_FAILURE() << "no row for " << addressEnd.toStdString();
    return -1;
  }
  // Selects the rows as a user does: a click, then Ctrl+clicks.
  static void Select(TLinkCheckForm* check, const std::vector<int>& rows) {
    QTableView* list = check->ListResults;
    bool first = true;
    for (int r : rows) {
      const QModelIndex index = list->model()->index(r, 2);
      list->scrollTo(index);
      QTest::mouseClick(list->viewport(), Qt::LeftButton,
                        first ? Qt::NoModifier : Qt::ControlModifier,
                        list->visualRect(index).center());
      first = false;
    }
    ASSERT_EQ(list->selectionModel()->selectedRows().size(), static_cast<qsizetype>(rows.size()));
  }
  std::vector<std::string> Urls() {
    return apptest::Stored(OnDisk(), catalogue::kUrls, {"URL_ID", "URL", "ADRESTYPE"});
  }
  std::vector<std::string> Memberships() {
    return apptest::Stored(OnDisk(), catalogue::kUrlIn, {"TEM_ID", "URL_ID"});
  }
};

TEST_F(LinkCheckTest, EachAnswerIsReportedAsItsKindAndNothingIsStoredBySending) {
  THttpTestServer server({
      {"/a", {301, "/b"}},
      {"/b", {301, "http://127.0.0.2:PORT/c"}},
      {"/c", {200}},
      {"/perm", {308, "/ok"}},
      {"/temp", {302, "/ok"}},
      {"/lost", {404}},
      {"/away", {410}},
      {"/broken", {500}},
      {"/forbidden", {403}},
      {"/nohead", {200, {}, 405}},
      {"/hang", {200, {}, 0, true}},
      {"/loop", {302, "/loop"}},
      {"/nowhere", {301, "/lost"}},
  });
  // The chain's second hop goes to another host of the same server.
  server.SetAnswer("/b", {301, server.Url("/c", "127.0.0.2").toUtf8()});
  const std::string host = "127.0.0.1:" + std::to_string(server.Port());
  const std::string refused = "127.0.0.1:" + std::to_string(RefusedPort());
  PutUrls({{host + "/ok", "1", "Работает"},
           {"http://" + host + "/a", "2", "Цепочка"},
           {host + "/perm", "1", "Постоянно"},
           {host + "/temp", "1", "Временно"},
           {host + "/lost", "1", "Нет"},
           {host + "/away", "1", "Ушла"},
           {host + "/broken", "1", "Сломана"},
           {host + "/forbidden", "1", "Закрыта"},
           {host + "/nohead", "1", "Без HEAD"},
           {host + "/hang", "1", "Молчит"},
           {refused + "/", "1", "Отказ"},
           {"http://no-such-host.invalid/", "2", "Нет имени"},
           {host + "/loop", "1", "Петля"},
           {host + "/nowhere", "1", "В никуда"},
           {"http://user:secret@" + host + "/private", "2", "С паролем"},
           {"user@example.org", "3", "Почта"},
           {"ftp://files.example.org/", "2", "FTP"}});
  Start();
  const std::vector<std::string> before = Urls();
  TLinkCheckForm* check = Check();
  if (qEnvironmentVariableIsSet("TAVO_LINK_CHECK_SHOT")) {
    check->grab().save(qEnvironmentVariable("TAVO_LINK_CHECK_SHOT"));
  }
  const std::string refusedEnd = refused + "/";

  // Mail and FTP addresses are not checked.
  ASSERT_EQ(check->RowCount(), 15);
  struct Expect {
    const char* end;
    TLinkState state;
    int status;
  };
  for (const Expect& e : std::initializer_list<Expect>{
           {"/ok", TLinkState::Ok, 200},
           {"/a", TLinkState::Moved, 301},
           {"/perm", TLinkState::Moved, 308},
           {"/temp", TLinkState::Ok, 200},
           {"/lost", TLinkState::Gone, 404},
           {"/away", TLinkState::Gone, 410},
           {"/broken", TLinkState::Failing, 500},
           {"/forbidden", TLinkState::Failing, 403},
           {"/nohead", TLinkState::Ok, 200},
           {"/hang", TLinkState::Unreachable, 0},
           {refusedEnd.c_str(), TLinkState::Unreachable, 0},
           {"no-such-host.invalid/", TLinkState::Unreachable, 0},
           {"/loop", TLinkState::Failing, 302},
           {"/nowhere", TLinkState::Gone, 404},
           {"/private", TLinkState::Ok, 200}}) {
    const int row = RowOf(check, QString::fromUtf8(e.end));
    ASSERT_GE(row, 0);
    EXPECT_EQ(check->ResultAt(row).State, e.state) << e.end << " " << check->ResultAt(row).Detail.toStdString();
    EXPECT_EQ(check->ResultAt(row).Status, e.status) << e.end;
  }
  // A moved address's target is where the permanent redirects end.
  EXPECT_EQ(check->ResultAt(RowOf(check, "/a")).Target.toString(), server.Url("/c", "127.0.0.2"));
  EXPECT_EQ(check->ResultAt(RowOf(check, "/perm")).Target.toString(), server.Url("/ok"));
  EXPECT_EQ(check->ProgressBar1->value(), check->ProgressBar1->maximum());

  std::map<QByteArray, std::vector<QByteArray>> methods;
  for (const auto& request : server.Requests()) {
    methods[request.Path].push_back(request.Method);
    // Every request names the program and carries nothing of the user's: the
    // server's cookie is not sent back, the address's password is not sent.
    EXPECT_TRUE(request.Head.contains("User-Agent: TavoUrlManager/2.0\r\n")) << request.Head.data();
    EXPECT_FALSE(request.Head.toLower().contains("\ncookie:")) << request.Head.data();
    EXPECT_FALSE(request.Head.toLower().contains("\nauthorization:")) << request.Head.data();
  }
  EXPECT_EQ(methods["/ok"], std::vector<QByteArray>({"HEAD", "HEAD", "HEAD"}));
  EXPECT_EQ(methods["/nohead"], std::vector<QByteArray>({"HEAD", "GET"}));
  EXPECT_EQ(methods["/lost"], std::vector<QByteArray>({"HEAD", "HEAD"}));
  // Ten redirects are followed, not more.
  EXPECT_EQ(methods["/loop"].size(), 11u);
  // Checking changed nothing in the catalogue.
  EXPECT_EQ(Urls(), before);
  EXPECT_TRUE(Memberships().empty());
}

TEST_F(LinkCheckTest, RequestsKeepToEightAtOnceAndTwoPerHost) {
  THttpTestServer server;
  std::vector<std::array<std::string, 3>> urls;
  for (int host = 1; host <= 6; ++host) {
    for (int i = 0; i < 8; ++i) {
      const std::string path = "/slow" + std::to_string(i);
      server.SetAnswer(path.c_str(), {200, {}, 0, false, 60});
      urls.push_back({"127.0.0." + std::to_string(host) + ":" + std::to_string(server.Port()) +
                          path,
                      "1", "x"});
    }
  }
  PutUrls(urls);
  Start();
  TLinkCheckForm* check = Check();
  for (int r = 0; r < check->RowCount(); ++r) {
    EXPECT_EQ(check->ResultAt(r).State, TLinkState::Ok);
  }
  EXPECT_EQ(server.PeakPerHost(), 2);
  EXPECT_EQ(server.PeakTotal(), 8);
}

TEST_F(LinkCheckTest, OnlyTheListShownIsCheckedAndCancelStopsTheRest) {
  THttpTestServer server;
  const std::string host = "127.0.0.1:" + std::to_string(server.Port());
  PutUrls({{host + "/one", "1", "Alpha one"},
           {host + "/two", "1", "Beta two"},
           {host + "/three", "1", "Alpha three"}});
  cattest::AppendMemberships(dir_, {{1, 1}, {1, 2}});
  TForm1* form = Start();
  // The section filter on with the section marked: records 1 and 2.
  form->Panel2Click();
  SetSectionMark(TreeNodes(form->TreeView1).front(), kSectionMarked);
  form->ApplySectionFilter();
  // And the name search: those whose name begins with "alpha".
  form->Edit2->setText("alpha");
  const std::vector<TListedUrl> listed = ListedWebUrls(form);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].Id, 1);

  // Without them, everything; a slow server's check cancelled half-way asks
  // for nothing more.
  form->Edit2->clear();
  form->Panel2Click();
  for (const char* path : {"/one", "/two", "/three"}) {
    server.SetAnswer(path, {200, {}, 0, false, 300});
  }
  TLinkCheckForm::Limits.MaxRequests = 1;
  TLinkCheckForm* check = ShowLinkCheck(form);
  ASSERT_EQ(check->RowCount(), 3);
  ASSERT_TRUE(QTest::qWaitFor([&] { return check->ResultAt(0).State != TLinkState::Pending; }));
  QTest::mouseClick(check->ButtonCancel, Qt::LeftButton);
  EXPECT_FALSE(check->Checking());
  // The request under way when Cancel came may still reach the server; the
  // one still queued never does, and nothing is reported after.
  QTest::qWait(700);
  for (const auto& request : server.Requests()) {
    EXPECT_NE(request.Path, "/three");
  }
  EXPECT_EQ(check->ResultAt(1).State, TLinkState::Pending);
  EXPECT_EQ(check->ResultAt(2).State, TLinkState::Pending);
  EXPECT_TRUE(check->LabelSummary->text().contains(QString::fromUtf8("Проверено 1 из 3")))
      << check->LabelSummary->text().toStdString();
}

TEST_F(LinkCheckTest, CommandsChangeTheCatalogueOnlyWhenAsked) {
  THttpTestServer server;
  const QByteArray longTarget = "/new/" + QByteArray(150, 'q');
  server.SetAnswer("/old", {301, "/c"});
  server.SetAnswer("/oldlong", {308, longTarget});
  server.SetAnswer("/lost", {404});
  server.SetAnswer("/gone", {410});
  server.SetAnswer("/flaky", {503});
  const std::string host = "127.0.0.1:" + std::to_string(server.Port());
  PutUrls({{host + "/old", "1", "Старый"},
           {"http://" + host + "/oldlong", "2", "Длинный"},
           {host + "/lost", "1", "Потерянный"},
           {host + "/gone", "1", "Ушедший"},
           {host + "/flaky", "1", "Капризный"},
           {host + "/fine", "1", "Хороший"}});
  cattest::AppendMemberships(dir_, {{1, 3}});
  TForm1* form = Start();
  TLinkCheckForm* check = Check();
  ASSERT_EQ(check->RowCount(), 6);

  // Filed twice under the section made for them: once each, at the top.
  Select(check, {RowOf(check, "/lost"), RowOf(check, "/gone")});
  QTest::mouseClick(check->ButtonFile, Qt::LeftButton);
  Select(check, {RowOf(check, "/gone"), RowOf(check, "/flaky")});
  QTest::mouseClick(check->ButtonFile, Qt::LeftButton);
  const auto sections = cattest::Sections(OnDisk());
  ASSERT_EQ(sections.size(), 2u);
  EXPECT_EQ(sections[1], (cattest::Row{2, 0, cattest::Cp1251("Недоступные ссылки")}));
  EXPECT_EQ(Memberships(), std::vector<std::string>({"1|3", "2|3", "2|4", "2|5"}));

  // The moved addresses take their targets: without the link type's prefix,
  // and whole when longer than the field.
  Select(check, {RowOf(check, "/old"), RowOf(check, "/oldlong"), RowOf(check, "/fine")});
  QTest::mouseClick(check->ButtonReplace, Qt::LeftButton);
  const std::vector<std::string> urls = Urls();
  EXPECT_EQ(urls[0], "1|" + host + "/c|1");
  const std::string whole = "http://" + host + longTarget.toStdString();
  EXPECT_EQ(urls[1], "2|" + whole.substr(0, 100) + "|2");
  EXPECT_EQ(urls[5], "6|" + host + "/fine|1");
  ASSERT_TRUE(form->HDSUrls->Locate("URL_ID", TVariant(2), 0));
  EXPECT_EQ(form->CurrentAddress(), whole);
  EXPECT_EQ(check->ResultAt(RowOf(check, "/c")).State, TLinkState::Ok);

  // The archive is opened through the desktop's opener, the address whole.
  const fs::path opener = dir_ / "opener";
  std::ofstream(opener) << "#!/bin/sh\n{ echo \"$#\"; printf '%s\\n' \"$1\"; } > '"
                        << (dir_ / "args").string() << "'\n";
  chmod(opener.c_str(), 0755);
  platform::SetShellOpenerForTesting(opener.string());
  Select(check, {RowOf(check, "/gone")});
  QTest::mouseClick(check->ButtonArchive, Qt::LeftButton);
  ASSERT_TRUE(apptest::OpenersDone(form));
  std::stringstream args;
  args << std::ifstream(dir_ / "args").rdbuf();
  EXPECT_EQ(args.str(), "1\nhttps://web.archive.org/web/*/http://" + host + "/gone\n");

  // Checked again: only what failed, and the flaky server answers now.
  server.SetAnswer("/flaky", {200});
  const size_t asked = server.Requests().size();
  QTest::mouseClick(check->ButtonRecheck, Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !check->Checking(); }));
  std::vector<QByteArray> again;
  for (size_t i = asked; i < server.Requests().size(); ++i) {
    again.push_back(server.Requests()[i].Path);
  }
  std::sort(again.begin(), again.end());
  EXPECT_EQ(again, std::vector<QByteArray>({"/flaky", "/gone", "/lost"}));
  EXPECT_EQ(check->ResultAt(RowOf(check, "/flaky")).State, TLinkState::Ok);

  // Deleted as the main window deletes: the records and their memberships;
  // refusing the question deletes nothing.
  Select(check, {RowOf(check, "/lost"), RowOf(check, "/gone")});
  {
    guitest::ModalWatcher no([](QWidget* w) {
      ASSERT_NE(qobject_cast<QMessageBox*>(w), nullptr);
      static_cast<QMessageBox*>(w)->button(QMessageBox::No)->click();
    });
    QTest::mouseClick(check->ButtonDelete, Qt::LeftButton);
    EXPECT_EQ(no.Seen(), 1);
  }
  EXPECT_EQ(check->RowCount(), 6);
  {
    guitest::ModalWatcher yes([](QWidget* w) {
      ASSERT_NE(qobject_cast<QMessageBox*>(w), nullptr);
      static_cast<QMessageBox*>(w)->button(QMessageBox::Yes)->click();
    });
    QTest::mouseClick(check->ButtonDelete, Qt::LeftButton);
    EXPECT_EQ(yes.Seen(), 1);
  }
  EXPECT_EQ(check->RowCount(), 4);
  const std::vector<std::string> left = Urls();
  EXPECT_EQ(left[2].front(), '*');
  EXPECT_EQ(left[3].front(), '*');
  EXPECT_EQ(Memberships(), std::vector<std::string>({"2|5"}));

  // Saved as text, one line a result.
  const QString saved = QString::fromStdString((dir_ / "results.txt").string());
  {
    guitest::ModalWatcher save([&](QWidget* w) {
      auto* dialog = qobject_cast<QFileDialog*>(w);
      ASSERT_NE(dialog, nullptr);
      dialog->selectFile(saved);
      static_cast<QDialog*>(dialog)->accept();
    });
    QTest::mouseClick(check->ButtonSave, Qt::LeftButton);
    EXPECT_EQ(save.Seen(), 1);
  }
  std::stringstream text;
  text << std::ifstream(saved.toStdString()).rdbuf();
  EXPECT_EQ(text.str(), check->ResultsText().toStdString());
  EXPECT_NE(text.str().find("Работает\t200\thttp://" + host + "/fine\tХороший\t\n"),
            std::string::npos)
      << text.str();
}

TEST_F(LinkCheckTest, ANewAddressTakesTheLinkTypeItsSchemeNeeds) {
  apptest::Put(dir_, catalogue::kType,
               {{{"TYPE_ID", "4"}, {"TYPE_NAME", "Защищённая"}, {"TYPRPRESTR", "https://"}}});
  PutUrls({{"old.example/page", "1", "Старый"}, {"other.example/", "3", "Почта"}});
  Start();
  // From http to https: the record takes the type whose prefix is https://.
  EXPECT_TRUE(ReplaceUrlAddress(1, "https://new.example/page"));
  // A record gone meanwhile changes nothing; an address only the type
  // without a prefix fits is stored whole under that type.
  EXPECT_FALSE(ReplaceUrlAddress(7, "http://new.example/"));
  EXPECT_TRUE(ReplaceUrlAddress(2, "gopher://old.example/"));
  EXPECT_EQ(Urls(), std::vector<std::string>(
                        {"1|new.example/page|4", "2|gopher://old.example/|2"}));
}

TEST_F(LinkCheckTest, TheWindowNamesAndExplainsEveryControl) {
  Start();
  TLinkCheckForm* check = Check();
  EXPECT_EQ(check->objectName(), "LinkCheckForm");
  EXPECT_FALSE(check->toolTip().isEmpty());
  for (QWidget* w : check->findChildren<QWidget*>()) {
    if (qobject_cast<QPushButton*>(w) || qobject_cast<QProgressBar*>(w) ||
        qobject_cast<QTableView*>(w)) {
      EXPECT_FALSE(w->objectName().isEmpty());
      EXPECT_FALSE(w->toolTip().isEmpty()) << w->objectName().toStdString();
    }
  }
  // A second request brings the same window back.
  EXPECT_EQ(ShowLinkCheck(form_.get()), check);
}

}  // namespace
