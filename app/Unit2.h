// The editor window TForm2: edits the URL table's current record in place
// through the main window's data source, and files it into sections by the
// marks of a section tree of its own. Made afresh for every new or edited
// record, shown modally, and released once the command that showed it is
// done with it.
#pragma once

#include <QDialog>
#include <QPointer>

#include "ui_Unit2.h"

class QKeyEvent;
class QLabel;
class TForm1;

// What a window does once it has closed.
enum TCloseAction { caNone, caHide, caFree, caMinimize };

class TForm2 : public QDialog, public Ui::TForm2 {
  Q_OBJECT

 public:
  // Owned by `owner`, whose data source the controls edit and whose image
  // lists the tree and its tool bar show.
  explicit TForm2(TForm1* owner);
  ~TForm2() override;

  virtual void FormCreate();
  virtual void FormClose(TCloseAction& Action);
  virtual void Panel2Resize();
  virtual void TreeView1MouseDown(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X,
                                  int Y);
  virtual void ToolButton8Click();
  virtual void ToolButton9Click();
  virtual void ToolButton10Click();
  virtual void ToolButton1Click();
  virtual void ToolButton2Click();

  // Ends the modal loop with `r` and runs FormClose; a window whose close
  // action is caFree goes once control is back in the loop that showed it,
  // so the command that showed it can still read its tree.
  void done(int r) override;

  // Said beside the name's label once the name box refused characters past
  // the 100 the name field holds (typed or pasted): nothing is cut unsaid.
  QLabel* LabelNameCut;

 protected:
  // Enter and Escape do not close the window.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  TForm1* owner_;
};

// The editor window most recently made by the new or edit command; the
// section marks of its tree are what SaveUrlSections and MarkUrlSections
// read and write. Null once that window is gone.
extern QPointer<TForm2> Form2;
