#include "message_box.h"

#include <QApplication>
#include <QMessageBox>

namespace ui {
namespace {

void RunBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text) {
  QMessageBox box(icon, title, text, QMessageBox::Ok,
                  parent ? parent : QApplication::activeWindow());
  box.setObjectName("MessageBox");
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
}

}  // namespace

bool ConfirmBox(QWidget* parent, const QString& text) {
  QMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), text,
                  QMessageBox::Ok | QMessageBox::Cancel,
                  parent ? parent : QApplication::activeWindow());
  box.setObjectName("MessageBox");
  box.setDefaultButton(QMessageBox::Ok);
  box.setWindowModality(Qt::ApplicationModal);
  return box.exec() == QMessageBox::Ok;
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
