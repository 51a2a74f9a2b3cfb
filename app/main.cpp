// Tavo Url Manager 2.0: a catalogue of Internet addresses. The program takes
// no arguments and reads no environment variable; its catalogue is the
// current directory.
#include <QIcon>

#include "Unit1.h"
#include "exception_handler.h"
#include "message_box.h"

int main(int argc, char** argv) {
  ui::TApplication app(argc, argv);
  ui::SetApplicationTitle("Tavo Url Manager 2.0");
  // The desktop pairs the window with its menu entry by this name, and the
  // installed icon theme holds the icon under it.
  QGuiApplication::setDesktopFileName(TAVO_APP_ID);
  QApplication::setWindowIcon(QIcon::fromTheme(TAVO_APP_ID));
  TForm1 form;  // becomes Form1 as it is made
  form.show();
  return app.exec();
}
