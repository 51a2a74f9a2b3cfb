// The program's modal boxes.
#pragma once

#include <QString>

class QWidget;

namespace ui {

// Gives the application the title the boxes below show as their caption.
// It is the application's name, not a display name: the window system
// appends a display name to the title of every window that does not end
// with it, and the error box must read "Error" alone.
void SetApplicationTitle(const QString& title);

// The error box: error icon, caption "Error", one "OK" button, modal.
void ShowErrorBox(QWidget* parent, const QString& text);

// The plain message box: the application's title as caption, one "OK"
// button, modal.
void ShowMessage(const QString& text);

// The confirmation box: question icon, caption "Confirm", buttons "OK"
// (the default) and "Cancel", modal. True when the answer is OK.
bool ConfirmBox(QWidget* parent, const QString& text);

// The box the default exception handler shows: error icon, the
// application's title as caption, one "OK" button, modal.
void ShowExceptionBox(const QString& text);

}  // namespace ui
