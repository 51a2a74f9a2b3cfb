#include "gui_test_support.h"

#include <QApplication>
#include <QDialog>
#include <memory>

#include "exception_handler.h"
#include "message_box.h"

// The font library keeps caches for the life of the process, which the
// leak checker would report on machines with other font set-ups.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace guitest {
namespace {

class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    app_ = std::make_unique<ui::TApplication>(argc_, argv_);
    ui::SetApplicationTitle("Tavo Url Manager 2.0");
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
