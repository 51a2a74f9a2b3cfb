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
