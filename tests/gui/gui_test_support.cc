#include "gui_test_support.h"

#include <QApplication>
#include <QDialog>
#include <memory>

#include "exception_handler.h"

// Leaks the sanitizer reports from the system's font, X and graphics
// libraries, which keep caches for the life of the process.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n"
         "leak:libQt6Gui.so\n"
         "leak:libQt6Core.so\n"
         "leak:libQt6Widgets.so\n"
         "leak:libglib-2.0.so\n"
         "leak:libdbus-1.so\n";
}

namespace guitest {
namespace {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = std::make_unique<ui::TApplication>(argc_, argv_);
    QGuiApplication::setApplicationDisplayName("Tavo Url Manager 2.0");
  }
  void TearDown() override { app_.reset(); }

 private:
  int argc_ = 1;
  char name_[16] = "gui_tests";
  char* argv_[2] = {name_, nullptr};
  std::unique_ptr<ui::TApplication> app_;
};

}  // namespace

::testing::Environment* NewQtEnvironment() { return new QtEnvironment; }

ModalWatcher::ModalWatcher(std::function<void(QWidget*)> inspect) : inspect_(std::move(inspect)) {
  timer_.setInterval(10);
  QObject::connect(&timer_, &QTimer::timeout, [this] {
    QWidget* modal = QApplication::activeModalWidget();
    if (!modal || modal == last_) {
      return;
    }
    last_ = modal;
    ++seen_;
    QPointer<QWidget> guard(modal);
    inspect_(modal);
    if (auto* dialog = qobject_cast<QDialog*>(guard.data()); dialog && dialog->isVisible()) {
      dialog->reject();
    }
  });
  timer_.start();
}

ModalWatcher::~ModalWatcher() { timer_.stop(); }

}  // namespace guitest
