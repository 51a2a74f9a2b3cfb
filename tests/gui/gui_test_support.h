// Shared by the GUI tests: the application object, made once for the test
// binary on the offscreen platform, and a watcher that deals with the next
// modal window a test step opens.
#pragma once

#include <gtest/gtest.h>

#include <QPointer>
#include <QTimer>
#include <QWidget>
#include <functional>

namespace guitest {

::testing::Environment* NewQtEnvironment();

inline ::testing::Environment* const kQtEnvironment =
    ::testing::AddGlobalTestEnvironment(NewQtEnvironment());

// Watches for the next modal window. When one shows, `inspect` is called with
// it (inside the window's own modal loop) and the window is then dismissed
// unless `inspect` did so. Stops watching when destroyed.
class ModalWatcher {
 public:
  explicit ModalWatcher(std::function<void(QWidget*)> inspect);
  ~ModalWatcher();

  int Seen() const { return seen_; }

 private:
  std::function<void(QWidget*)> inspect_;
  QTimer timer_;
  int seen_ = 0;
  QPointer<QWidget> last_;
};

}  // namespace guitest
