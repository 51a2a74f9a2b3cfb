#include <sys/stat.h>

#include <QApplication>
#include <QPointer>
#include <QPushButton>
#include <fstream>

#include "Unit3.h"
#include "app_test_support.h"
#include "shell.h"

namespace apptest {
namespace {

class AboutTest : public WorkingDirTest {
 protected:
  void TearDown() override {
    platform::SetShellOpenerForTesting("");
    WorkingDirTest::TearDown();
  }
  // A fake desktop opener that appends its arguments, one line each, to a log.
  std::string FakeOpener() {
    std::string path = dir_.path().toStdString() + "/opener";
    std::ofstream(path) << "#!/bin/sh\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" << Log()
                        << "'; done\n";
    chmod(path.c_str(), 0755);
    return path;
  }
  std::string Log() { return dir_.path().toStdString() + "/opened"; }
  std::string Opened() {
    std::ifstream in(Log());
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
};

TEST_F(AboutTest, EachClickShowsAFreshWindowAndDestroysIt) {
  TForm1* form = MakeForm();
  form->show();
  for (int click = 0; click < 3; ++click) {
    QPointer<TAbout> shown;
    guitest::ModalWatcher watcher([&](QWidget* w) {
      shown = qobject_cast<TAbout*>(w);
      ASSERT_NE(shown, nullptr);
      EXPECT_EQ(shown->parentWidget(), form);
      EXPECT_TRUE(form->isVisible());
      EXPECT_EQ(shown->pos(), QPoint(197, 122));
      // The OK button ends the first, the Enter key (default button) the
      // second, the title bar's close box the third.
      if (click == 0) {
        shown->BitBtn1->click();
      } else if (click == 1) {
        QTest::keyClick(shown, Qt::Key_Return);
      } else {
        shown->close();
      }
      EXPECT_FALSE(shown->isVisible());
    });
    QTest::mouseClick(form->ToolButton7, Qt::LeftButton);
    EXPECT_EQ(watcher.Seen(), 1);
    EXPECT_TRUE(shown.isNull()) << "the About window outlived its click";
    EXPECT_TRUE(form->findChildren<TAbout*>().isEmpty());
  }
}

TEST_F(AboutTest, DeclaredLayout) {
  TAbout about;
  EXPECT_EQ(about.windowTitle(), "About");
  EXPECT_EQ(about.size(), QSize(427, 212));
  EXPECT_EQ(about.minimumSize(), about.maximumSize());
  EXPECT_EQ(about.pos(), QPoint(197, 122));
  EXPECT_EQ(about.palette().color(QPalette::Window), QColor("#0E9C95"));
  EXPECT_EQ(about.Image1->geometry(), QRect(0, 0, 189, 173));
  EXPECT_EQ(about.Image1->pixmap().deviceIndependentSize(), QSizeF(188, 172));
  EXPECT_EQ(about.BitBtn1->geometry(), QRect(0, 176, 75, 25));
  EXPECT_EQ(about.BitBtn1->text(), "OK");
  EXPECT_TRUE(about.BitBtn1->isDefault());
  struct Label {
    QLabel* label;
    int top;
    const char* text;  // nullptr: the maker's own
    bool bold;
  } labels[] = {
      {about.Label1, 0, "Организация", false},
      {about.Org, 16, nullptr, true},
      {about.Label2, 36, "Программный продукт", false},
      {about.Label5, 52, "Tavo Url Manager", true},
      {about.Label3, 72, "Версия", false},
      {about.Label6, 88, "2.0", true},
      {about.Label4, 108, "Копирайт", false},
      {about.Label7, 124, nullptr, true},
      {about.Label8, 144, "E-mail", false},
      {about.Label9, 160, nullptr, true},
      {about.Label10, 180, nullptr, false},
      {about.Label11, 196, nullptr, true},
  };
  for (const Label& l : labels) {
    EXPECT_EQ(l.label->pos(), QPoint(192, l.top)) << l.label->objectName().toStdString();
    if (l.text) {
      EXPECT_EQ(l.label->text(), l.text);
    } else {
      EXPECT_FALSE(l.label->text().isEmpty());
    }
    EXPECT_EQ(l.label->font().bold(), l.bold) << l.label->objectName().toStdString();
  }
  EXPECT_EQ(about.Label9->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_EQ(about.Label11->cursor().shape(), Qt::PointingHandCursor);
  EXPECT_TRUE(about.Label11->text().startsWith("https://"));
}

TEST_F(AboutTest, LinksGoToTheDesktopOpener) {
  platform::SetShellOpenerForTesting(FakeOpener());
  TAbout about;
  about.show();
  QTest::mouseClick(about.Label9, Qt::LeftButton);
  QTest::mouseClick(about.Label11, Qt::LeftButton);
  EXPECT_EQ(Opened(), "mailto:" + about.Label9->text().toStdString() + "\n" +
                          about.Label11->text().toStdString() + "\n");
}

TEST_F(AboutTest, FailedLaunchShowsNothing) {
  platform::SetShellOpenerForTesting(dir_.path().toStdString() + "/no-such-opener");
  TForm1* form = MakeForm();
  form->show();
  bool stillShown = false;
  guitest::ModalWatcher watcher([&](QWidget* w) {
    auto* about = qobject_cast<TAbout*>(w);
    ASSERT_NE(about, nullptr);
    QTest::mouseClick(about->Label9, Qt::LeftButton);
    stillShown = QApplication::activeModalWidget() == about && about->isVisible();
    about->BitBtn1->click();
  });
  QTest::mouseClick(form->ToolButton7, Qt::LeftButton);
  EXPECT_EQ(watcher.Seen(), 1);
  EXPECT_TRUE(stillShown);
}

}  // namespace
}  // namespace apptest
