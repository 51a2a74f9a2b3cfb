// The About window TAbout: the maker, the product and its version, and links
// to the maker's mail and web site (Unit3.ui).
#pragma once

#include <QDialog>

#include "ui_Unit3.h"

class TAbout : public QDialog, public Ui::TAbout {
  Q_OBJECT

 public:
  explicit TAbout(QWidget* parent = nullptr);

  // Hand the maker's e-mail address (as a mailto: link) and web address to
  // the desktop. A failed launch shows nothing.
  void Label9Click();
  void Label11Click();
};
