#include "Unit2.h"

#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QScreen>

#include "Unit1.h"
#include "exception_handler.h"
#include "section_edit.h"
#include "url_catalogue.h"

QPointer<TForm2> Form2;

TForm2::TForm2(TForm1* owner) : QDialog(owner), owner_(owner) {
  setupUi(this);
  DBEdit1->SetDataSource(owner->DataSource1);
  DBEdit2->SetDataSource(owner->DataSource1);
  DBLookupComboBox1->SetDataSource(owner->DataSource1);
  DBMemo1->SetDataSource(owner->DataSource1);
  TreeView1->SetImages(owner->ImageList2);
  LimitSectionNames(TreeView1);
  ToolBar2->SetImages(owner->ImageList3);

  // The tree's panel keeps its design width; the edit side takes the rest.
  Splitter1->setStretchFactor(0, 0);
  Splitter1->setStretchFactor(1, 1);
  Splitter1->setSizes({141, width() - 141 - Splitter1->handleWidth()});
  if (QScreen* screen = QGuiApplication::primaryScreen()) {
    QRect bounds = geometry();
    bounds.moveCenter(screen->availableGeometry().center());
    move(bounds.topLeft());
  }
  setWindowState(Qt::WindowMaximized);

  // A button ends the modal loop with the result it carries.
  for (QPushButton* button : {Button1, Button2}) {
    connect(button, &QPushButton::clicked, this,
            [this, button] { done(button->property("modalResult").toInt()); });
  }
  LabelNameCut =
      new QLabel(QString::fromUtf8("Название длиннее 100 знаков: сохраняются первые 100"), Panel2);
  LabelNameCut->setObjectName("LabelNameCut");
  LabelNameCut->setGeometry(Label2->x() + Label2->width() + 4, Label2->y(), 360, Label2->height());
  LabelNameCut->hide();
  connect(DBEdit2, &QLineEdit::inputRejected, LabelNameCut, &QLabel::show);
  connect(Panel2, &TPanel::Resize, this, ui::Guarded(this, &TForm2::Panel2Resize));
  connect(TreeView1, &TTreeView::MouseDown, this, ui::Guarded(this, &TForm2::TreeView1MouseDown));
  connect(ToolButton8, &QToolButton::clicked, this, ui::Guarded(this, &TForm2::ToolButton8Click));
  connect(ToolButton9, &QToolButton::clicked, this, ui::Guarded(this, &TForm2::ToolButton9Click));
  connect(ToolButton10, &QToolButton::clicked, this, ui::Guarded(this, &TForm2::ToolButton10Click));
  connect(ToolButton1, &QToolButton::clicked, this, ui::Guarded(this, &TForm2::ToolButton1Click));
  connect(ToolButton2, &QToolButton::clicked, this, ui::Guarded(this, &TForm2::ToolButton2Click));
  ui::CallGuarded([this] { FormCreate(); });
}

TForm2::~TForm2() {
  // The controls let go of the main window's data source, which stays.
  DBEdit1->SetDataSource(nullptr);
  DBEdit2->SetDataSource(nullptr);
  DBLookupComboBox1->SetDataSource(nullptr);
  DBMemo1->SetDataSource(nullptr);
}

void TForm2::FormCreate() { Panel2Resize(); }

void TForm2::FormClose(TCloseAction& Action) { Action = caFree; }

void TForm2::Panel2Resize() {
  const int width = Panel2->width();
  for (QWidget* w : {static_cast<QWidget*>(DBEdit1), static_cast<QWidget*>(DBEdit2),
                     static_cast<QWidget*>(DBLookupComboBox1)}) {
    w->resize(width, w->height());
  }
}

void TForm2::TreeView1MouseDown(Qt::MouseButton Button, Qt::KeyboardModifiers, int X, int Y) {
  ToggleSectionMark(TreeView1, Button, X, Y);
}

void TForm2::ToolButton8Click() { AddSectionAtCurrentLevel(TreeView1); }
void TForm2::ToolButton9Click() { AddChildSection(TreeView1); }
void TForm2::ToolButton10Click() { DeleteSection(TreeView1, *owner_->HDSUrlIn, this); }
void TForm2::ToolButton1Click() { ExpandAllSections(TreeView1); }
void TForm2::ToolButton2Click() { CollapseAllSections(TreeView1); }

void TForm2::done(int r) {
  QDialog::done(r);
  TCloseAction action = caHide;
  ui::CallGuarded([&] { FormClose(action); });
  if (action == caFree) {
    deleteLater();
  }
}

void TForm2::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Escape:
    case Qt::Key_Enter:
    case Qt::Key_Return:
      event->ignore();
      return;
    default:
      QDialog::keyPressEvent(event);
  }
}
