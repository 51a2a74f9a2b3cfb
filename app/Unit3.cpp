#include "Unit3.h"

#include "controls.h"
#include "exception_handler.h"
#include "images.h"
#include "qt_text.h"
#include "shell.h"

namespace {

constexpr QPoint kDesignPosition(197, 122);

}  // namespace

TAbout::TAbout(QWidget* parent) : QDialog(parent) {
  setupUi(this);
  setObjectName("About");
  // A single-line border: the window keeps its declared size.
  setFixedSize(size());
  move(kDesignPosition);
  Image1->setPixmap(AboutPicture(devicePixelRatioF()));
  BitBtn1->setIcon(PaintedIcon(DrawCheckMark));
  connect(Label9, &TLabel::Click, this, ui::Guarded(this, &TAbout::Label9Click));
  connect(Label11, &TLabel::Click, this, ui::Guarded(this, &TAbout::Label11Click));
}

void TAbout::Label9Click() { platform::ShellExecute("mailto:" + ui::FromQString(Label9->text())); }

void TAbout::Label11Click() { platform::ShellExecute(ui::FromQString(Label11->text())); }
