// Renders pictures of the program's real windows for the README:
//   tavo-screenshots OUTPUT_DIR [CATALOGUE_DIR]
// Run it on a display (for instance under xvfb-run; scripts/screenshots.sh
// does it all); it writes main-window.png (the section filter on), editor-window.png,
// link-types-window.png and about-window.png. The main
// window starts in a fresh temporary folder: empty, as on a first run, or
// holding a copy of the catalogue in CATALOGUE_DIR, which stays as it was.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdio>

#include "Unit1.h"
#include "Unit2.h"
#include "Unit3.h"
#include "Unit4.h"
#include "exception_handler.h"
#include "message_box.h"
#include "section_edit.h"
#include "section_tree.h"
#include "url_catalogue.h"

int main(int argc, char** argv) {
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR [CATALOGUE_DIR]\n", argv[0]);
    return 2;
  }
  ui::TApplication app(argc, argv);
  ui::SetApplicationTitle("Tavo Url Manager 2.0");
  QDir out(QDir(QString::fromLocal8Bit(argv[1])).absolutePath());
  QTemporaryDir work;
  if (!work.isValid() || !QDir::setCurrent(work.path())) {
    std::fprintf(stderr, "cannot make a working folder\n");
    return 1;
  }
  if (argc == 3) {
    // The program writes to its catalogue as it starts and closes; a copy
    // keeps the given one as it was.
    QDir catalogue(QString::fromLocal8Bit(argv[2]));
    if (!catalogue.exists()) {
      std::fprintf(stderr, "no folder %s\n", argv[2]);
      return 1;
    }
    for (const QString& name : catalogue.entryList(QDir::Files)) {
      if (!QFile::copy(catalogue.filePath(name), work.filePath(name))) {
        std::fprintf(stderr, "cannot copy %s\n", qPrintable(catalogue.filePath(name)));
        return 1;
      }
    }
  }

  TForm1 form;
  // A display without a window manager cannot maximize; show the window at
  // a size that fits the README instead.
  form.setWindowState(Qt::WindowNoState);
  form.resize(860, 520);
  form.show();
  if (!QTest::qWaitForWindowExposed(&form)) {
    std::fprintf(stderr, "the main window was not shown\n");
    return 1;
  }
  // Over a catalogue, the section filter on: the first section's first two
  // subsections marked, as a user's clicks on their pictures mark them.
  if (QTreeWidgetItem* first = form.TreeView1->topLevelItem(0); first != nullptr) {
    first->setExpanded(true);
    for (int i = 0; i < std::min(2, first->childCount()); ++i) {
      SetSectionMark(static_cast<TTreeNode*>(first->child(i)), kSectionMarked);
    }
    form.TreeView1->setCurrentItem(first->childCount() > 0 ? first->child(0) : first);
    form.Panel2Click();
  }
  QTest::qWait(300);
  bool ok = form.grab().save(out.filePath("main-window.png"));

  // The editor window as the edit command shows it: the current record and
  // the sections table's tree.
  auto* editor = new TForm2(&form);
  Form2 = editor;
  if (form.HDSTem->Active()) {
    LoadSections(*form.HDSTem, editor->TreeView1);
    editor->TreeView1->expandAll();
    MarkUrlSections();
  }
  editor->setWindowState(Qt::WindowNoState);
  editor->resize(700, 420);
  editor->show();
  ok = QTest::qWaitForWindowExposed(editor) && ok;
  QTest::qWait(300);
  ok = editor->grab().save(out.filePath("editor-window.png")) && ok;
  delete editor;

  // The link type window as its button shows it, over the link type table.
  auto* dictionary = new TForm4(&form);
  dictionary->show();
  ok = QTest::qWaitForWindowExposed(dictionary) && ok;
  QTest::qWait(300);
  ok = dictionary->grab().save(out.filePath("link-types-window.png")) && ok;
  delete dictionary;

  TAbout about(&form);
  about.show();
  ok = QTest::qWaitForWindowExposed(&about) && ok;
  QTest::qWait(300);
  ok = about.grab().save(out.filePath("about-window.png")) && ok;

  // The settings file the first run leaves behind goes with the folder.
  form.close();
  return ok ? 0 : 1;
}
