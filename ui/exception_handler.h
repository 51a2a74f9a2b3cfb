// The default exception handler. Failures are exceptions, and the program's
// handlers catch none of them: an exception that leaves an event handler ends
// that handler, is shown in a box with its message, and the program goes on.
// Handlers are called through CallGuarded or Guarded, so no exception ever
// unwinds through Qt; TApplication::notify is the net for anything else.
#pragma once

#include <QApplication>
#include <utility>

namespace ui {

// Shows the exception being handled: the message of a std::exception (text in
// the program's character set) or a fixed text for anything else; EAbort
// ends its operation silently. Call only from inside a catch block.
void HandleException() noexcept;

template <class F>
void CallGuarded(F&& f) noexcept {
  try {
    std::forward<F>(f)();
  } catch (...) {
    HandleException();
  }
}

// A functor for connect() that runs obj->handler(args...) guarded.
template <class T, class... Args>
auto Guarded(T* obj, void (T::*handler)(Args...)) {
  return [obj, handler](Args... args) { CallGuarded([&] { (obj->*handler)(args...); }); };
}

// Asks a window's close-query handler, query(CanClose), whether the window
// may close. A handler that throws has its error shown and keeps the window
// open: whatever it was saving is still on screen.
template <class F>
bool CloseQueryGuarded(F&& query) noexcept {
  bool canClose = true;
  try {
    std::forward<F>(query)(canClose);
  } catch (...) {
    canClose = false;
    HandleException();
  }
  return canClose;
}

// The application object: Qt's, with the default exception handler around
// the delivery of every event.
class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv) : QApplication(argc, argv) {}
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace ui
