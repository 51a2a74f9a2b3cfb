// The windows of the "Сервис" menu: the bookmark import's progress and
// summary, and the duplicate addresses of the catalogue.
#pragma once

#include <QDialog>
#include <QObject>
#include <QString>
#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "catalogue_io.h"

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QTreeWidget;
class TForm1;

// The file names the service commands ask the user for: the desktop's file
// dialogs, or what a test puts in their place. An empty name: none chosen.
using TFileChooser =
    std::function<QString(QWidget* parent, const QString& caption, const QString& filter)>;
extern TFileChooser ChooseFileToOpen;
extern TFileChooser ChooseFileToSave;

// An import running longer than this shows its progress and a Cancel button.
extern int ImportProgressDelayMs;

// Called on an import's own thread with each step of its progress (tests
// hold the import there to cancel it at a known point).
extern std::function<void(std::size_t done, std::size_t total)> ImportProgressObserver;

// Gives a window of the service menu the program's font and colours.
void StyleServiceWindow(QWidget* window);

// One bookmark import off the GUI thread: reading and parsing the file,
// then the all-or-nothing import into the catalogue folder. The GUI thread
// watches the counters and may ask it to stop.
class TImportRun {
 public:
  TImportRun(std::string file, std::string dir);
  ~TImportRun();
  TImportRun(const TImportRun&) = delete;
  TImportRun& operator=(const TImportRun&) = delete;

  void Start();
  // Waits for the run's end; its results are read after this.
  void Join();
  // Called on the GUI thread, from its event loop, as soon as the run has
  // ended, so that a window waiting for the end goes on at once instead of
  // at its next look. Set and cleared on the GUI thread; none: nothing.
  void OnFinished(std::function<void()> callback) { onFinished_ = std::move(callback); }
  bool Finished() const { return finished_.load(); }
  void Cancel() { cancel_.store(true); }
  bool CancelAsked() const { return cancel_.load(); }
  std::size_t Done() const { return done_.load(); }
  std::size_t Total() const { return total_.load(); }

  const std::string& File() const { return file_; }
  bool Ok() const { return ok_; }
  bool Cancelled() const { return cancelled_; }
  const std::string& Error() const { return error_; }
  const bookmarks::ImportSummary& Summary() const { return summary_; }
  // What the file held that has no place in the catalogue.
  const bookmarks::Tree& Leftovers() const { return leftovers_; }

 private:
  void Run();

  std::string file_;
  std::string dir_;
  // Lives on the GUI thread: the run's end is posted to it.
  QObject finishedNotice_;
  std::function<void()> onFinished_;
  std::thread thread_;
  std::atomic<bool> finished_{false};
  std::atomic<bool> cancel_{false};
  std::atomic<std::size_t> done_{0};
  std::atomic<std::size_t> total_{0};
  bool ok_ = false;
  bool cancelled_ = false;
  std::string error_;
  bookmarks::ImportSummary summary_;
  bookmarks::Tree leftovers_;
};

// The progress of a running import with its Cancel button; closes itself
// when the run ends. Cancel (or closing the window) asks the run to stop,
// and the window stays until it has put the catalogue back.
class TImportProgressForm : public QDialog {
  Q_OBJECT

 public:
  TImportProgressForm(TImportRun* run, QWidget* parent);
  ~TImportProgressForm() override;

  QLabel* Label1;
  QProgressBar* ProgressBar1;
  QPushButton* CancelButton;

  void CancelButtonClick();

 protected:
  void reject() override;

 private:
  void Poll();

  TImportRun* run_;
};

// What an import did: the counts, and the links it skipped in a list that
// can be copied.
class TImportSummaryForm : public QDialog {
  Q_OBJECT

 public:
  TImportSummaryForm(const TImportRun& run, QWidget* parent);

  QLabel* CountsLabel;
  QPlainTextEdit* SkippedList;
  QPushButton* CopyButton;
  QPushButton* OkButton;
};

// The summary's lines: label and value, in the order the command line
// prints its counts.
std::vector<std::pair<QString, QString>> ImportSummaryRows(const bookmarks::ImportSummary& s,
                                                           const bookmarks::Tree& leftovers);

// The groups of URL records with the same address, and the merge of each
// into its oldest record.
class TDuplicatesForm : public QDialog {
  Q_OBJECT

 public:
  TDuplicatesForm(TForm1* form, std::vector<bookmarks::DuplicateGroup> groups, QWidget* parent);

  QLabel* Label1;
  QTreeWidget* DuplicatesTree;
  QPushButton* MergeButton;
  QPushButton* MergeAllButton;
  QPushButton* CloseButton;

  // Merges the group of the selected row, or every group.
  void MergeButtonClick();
  void MergeAllButtonClick();

 private:
  void Fill();
  void ShowCount();

  TForm1* form_;
  std::vector<bookmarks::DuplicateGroup> groups_;
};

// Merges one group of URL records with the same address in the main
// window's tables: the oldest record (lowest id) is kept and filed under
// every section of the group, the others' descriptions that it lacks are
// appended to its own, and the others are deleted as the main window's
// delete command deletes a record (their memberships go with them).
void MergeDuplicates(TForm1& form, const bookmarks::DuplicateGroup& group);
