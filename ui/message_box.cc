#include "message_box.h"

#include <QApplication>
#include <QMessageBox>
#include <QPointer>

namespace ui {
namespace {

// Shows a box over `parent`, or over the active window when it is shown. A
// window closed a moment ago may still be the active one, on its way out:
// it is released once control is back in an event loop, which may be the
// box's own, taking its children with it. So the box lives on the heap and
// is left alone if its parent takes it along.
int RunModal(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
             QMessageBox::StandardButtons buttons, QMessageBox::StandardButton defaultButton) {
  QWidget* owner = parent;
  if (owner == nullptr) {
    owner = QApplication::activeWindow();
    if (owner != nullptr && !owner->isVisible()) {
      owner = nullptr;
    }
  }
  QPointer<QMessageBox> box = new QMessageBox(icon, title, text, buttons, owner);
  box->setObjectName("MessageBox");
  if (defaultButton != QMessageBox::NoButton) {
    box->setDefaultButton(defaultButton);
  }
  box->setWindowModality(Qt::ApplicationModal);
  const int result = box->exec();
  delete box.data();
  return result;
}

void RunBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text) {
  RunModal(parent, icon, title, text, QMessageBox::Ok, QMessageBox::NoButton);
}

}  // namespace

void SetApplicationTitle(const QString& title) { QCoreApplication::setApplicationName(title); }

bool ConfirmBox(QWidget* parent, const QString& text) {
  return RunModal(parent, QMessageBox::Question, QStringLiteral("Confirm"), text,
                  QMessageBox::Ok | QMessageBox::Cancel, QMessageBox::Ok) == QMessageBox::Ok;
}

void ShowErrorBox(QWidget* parent, const QString& text) {
  RunBox(parent, QMessageBox::Critical, QStringLiteral("Error"), text);
}

void ShowMessage(const QString& text) {
  RunBox(nullptr, QMessageBox::NoIcon, QGuiApplication::applicationDisplayName(), text);
}

void ShowExceptionBox(const QString& text) {
  RunBox(nullptr, QMessageBox::Critical, QGuiApplication::applicationDisplayName(), text);
}

}  // namespace ui
