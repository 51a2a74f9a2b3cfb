#include "exception_handler.h"

#include <exception>
#include <new>

#include "db/db_error.h"
#include "message_box.h"
#include "qt_text.h"

namespace ui {

void HandleException() noexcept {
  try {
    try {
      throw;
    } catch (const EAbort&) {
      // The silent exception: the operation ends without a box.
    } catch (const std::exception& e) {
      ShowExceptionBox(ToQString(e.what()));
    } catch (...) {
      ShowExceptionBox(QStringLiteral("Unknown exception"));
    }
  } catch (...) {
    // Showing the box failed (out of memory, most likely): the program goes
    // on without it rather than end here.
  }
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    HandleException();
    return false;
  }
}

}  // namespace ui
