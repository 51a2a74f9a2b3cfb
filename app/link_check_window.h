// The link check window: checks the web addresses of the main window's list
// in the background and lists what it found; the user then files the bad
// ones under a section, puts a moved one's new address in, deletes records,
// checks the failed ones again, opens one in the web archive or saves the
// results as text. Nothing in the catalogue changes but by those buttons.
#pragma once

#include <QWidget>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "link_checker.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTableView;
class QTimer;
class TForm1;
class TLinkResultModel;

// The section the bad links are filed under.
extern const char* const kUnreachableSection;  // UTF-8
// What the web archive's address list is opened at; the address follows.
extern const char* const kWebArchivePrefix;

// One record of the main list as the check takes it.
struct TListedUrl {
  int32_t Id = 0;
  std::string Address;  // the link type's prefix and the whole address, as stored
  QString Shown;        // the same as the user reads it
  QString Name;
};

// The records the main window's list shows now, in its order (the section
// filter applied), narrowed to those whose address begins with the address
// search box's text and whose name begins with the name search box's
// (letter case aside) when they hold any, whose address is http or https.
std::vector<TListedUrl> ListedWebUrls(TForm1* form);

class TLinkCheckForm : public QWidget {
  Q_OBJECT

 public:
  // A window of `owner` over the records `urls`; checking starts with Start.
  TLinkCheckForm(TForm1* owner, std::vector<TListedUrl> urls);
  ~TLinkCheckForm() override;

  // What the checks of every window made from now on keep to (tests shorten
  // the timeout).
  static TLinkCheckLimits Limits;

  void Start();
  bool Checking() const;
  int RowCount() const;
  const TListedUrl& UrlAt(int row) const;
  const TLinkResult& ResultAt(int row) const;
  // The user's word for a result's kind.
  static QString StateText(TLinkState state);

  QLabel* LabelSummary;
  QProgressBar* ProgressBar1;
  QPushButton* ButtonCancel;
  QTableView* ListResults;
  QLabel* LabelAction;
  QPushButton* ButtonFile;
  QPushButton* ButtonReplace;
  QPushButton* ButtonDelete;
  QPushButton* ButtonRecheck;
  QPushButton* ButtonArchive;
  QPushButton* ButtonSave;
  QPushButton* ButtonClose;

  virtual void ButtonCancelClick();
  virtual void ButtonFileClick();
  virtual void ButtonReplaceClick();
  virtual void ButtonDeleteClick();
  virtual void ButtonRecheckClick();
  virtual void ButtonArchiveClick();
  virtual void ButtonSaveClick();

  // The results as the saved text file holds them.
  QString ResultsText() const;

 signals:
  // The last address of a check (or a re-check) has its result, or the
  // check was cancelled.
  void CheckDone();

 private:
  std::vector<int> SelectedRows() const;
  void Check(const std::vector<int>& rows);
  void OnChecked(int row, const TLinkResult& result);
  void ShowProgress();
  void EndCheck();
  bool Refused();

  TForm1* owner_;
  std::unique_ptr<TLinkChecker> checker_;
  TLinkResultModel* model_;
  QTimer* progressTimer_;
  int toCheck_ = 0;
  int checked_ = 0;
};

// Opens the main window's link check window (the one already open, when
// there is one) and starts its check of the list.
TLinkCheckForm* ShowLinkCheck(TForm1* owner);
