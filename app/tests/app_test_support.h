// A main window for tests, made in a fresh temporary working directory, that
// records which handlers its events reach.
#pragma once

#include <QCoreApplication>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "Unit1.h"
#include "url_catalogue.h"
#include "catalogue_test_util.h"
#include "gui_test_support.h"
#include "shell.h"

namespace apptest {

class TWatchedForm : public TForm1 {
 public:
  std::vector<std::pair<int, Qt::KeyboardModifiers>> keys;
  std::vector<QString> edit1AtKey;  // Edit1's text when each key was previewed
  int editUrlCommands = 0;
  std::vector<QPoint> treeMouseDowns;
  bool failNewUrl = false;

  void FormKeyDown(int Key, Qt::KeyboardModifiers Shift) override {
    // Test key clicks press the modifier keys themselves first.
    if (Key == Qt::Key_Shift || Key == Qt::Key_Control || Key == Qt::Key_Alt) {
      return;
    }
    keys.emplace_back(Key, Shift);
    edit1AtKey.push_back(Edit1->text());
    TForm1::FormKeyDown(Key, Shift);
  }
  void ToolButton2Click() override { ++editUrlCommands; }
  void TreeView1MouseDown(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X,
                          int Y) override {
    treeMouseDowns.emplace_back(X, Y);
    TForm1::TreeView1MouseDown(Button, Shift, X, Y);
  }
  int sectionFilterApplied = 0;
  void ApplySectionFilter() override {
    ++sectionFilterApplied;
    TForm1::ApplySectionFilter();
  }
  void ToolButton1Click() override {
    if (failNewUrl) {
      throw std::runtime_error("Table HDSUrls: cannot append");
    }
  }
};

// Turns of the event loop until every opener `form` launched has given its
// verdict (and a failure has been reported); false on the timeout.
inline bool OpenersDone(QWidget* form, int timeoutMs = 10000) {
  return QTest::qWaitFor([&] { return form->findChildren<QObject*>(kOpenerWatchName).isEmpty(); },
                         timeoutMs);
}

// A fresh catalogue folder as the current directory for each test, and the
// program's main window (a Form) started there by the test; the directory,
// the opener and the filter state go back afterwards.
template <class Form>
class CatalogueFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.isValid());
    dir_ = tmp_.path().toStdString();
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_);
    cattest::CreateCatalogue(dir_);
  }
  void TearDown() override {
    form_.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    std::filesystem::current_path(old_);
    platform::SetShellOpenerForTesting("");
    FilterFlag = false;
  }

  // The folder's files as they are on disk now, copied aside: the program
  // holds its tables open for exclusive use.
  std::filesystem::path OnDisk() {
    namespace fs = std::filesystem;
    const fs::path copy = dir_ / "on-disk";
    fs::remove_all(copy);
    fs::create_directory(copy);
    for (const auto& e : fs::directory_iterator(dir_)) {
      if (e.is_regular_file()) {
        fs::copy_file(e.path(), copy / e.path().filename());
      }
    }
    return copy;
  }

  QTemporaryDir tmp_;
  std::filesystem::path dir_;
  std::filesystem::path old_;
  std::unique_ptr<Form> form_;
};

// Runs each test in its own current directory, restored afterwards, which
// holds an empty catalogue to begin with.
class WorkingDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    old_ = std::filesystem::current_path();
    std::filesystem::current_path(dir_.path().toStdString());
    ini_ = dir_.path().toStdString() + "/tavo.ini";
    cattest::CreateCatalogue(Dir());
  }
  std::filesystem::path Dir() const { return dir_.path().toStdString(); }
  void TearDown() override {
    form_.reset();
    std::filesystem::current_path(old_);
  }
  // The window, made as the program makes it; the texts of the error boxes
  // its start-up showed are in startupErrors_.
  TWatchedForm* MakeForm() {
    form_.reset();
    startupErrors_.clear();
    guitest::ModalWatcher watcher([this](QWidget* w) {
      if (auto* box = qobject_cast<QMessageBox*>(w)) {
        startupErrors_.push_back(box->text().toStdString());
      }
    });
    form_ = std::make_unique<TWatchedForm>();
    return form_.get();
  }
  void PutIni(const std::string& text) { std::ofstream(ini_, std::ios::binary) << text; }
  std::string GetIni() {
    std::ifstream in(ini_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }

  QTemporaryDir dir_;
  std::filesystem::path old_;
  std::string ini_;
  std::unique_ptr<TWatchedForm> form_;
  std::vector<std::string> startupErrors_;
};

}  // namespace apptest
