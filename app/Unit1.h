// The main window TForm1: its declared layout (Unit1.ui), its handlers, and
// the program-wide state the other windows reach it through.
#pragma once

#include <QWidget>
#include <memory>
#include <string>

#include "catalogue_components.h"
#include "db/datasource.h"

#include "ui_Unit1.h"

class QAction;
class QKeyEvent;
class QMenu;
class TForm2;
namespace catalogue {
class WholeAddresses;
}
class TImageList;
class TXdsConnection;
class TXdsTable;

class TForm1 : public QWidget, public Ui::TForm1 {
  Q_OBJECT

 public:
  explicit TForm1(QWidget* parent = nullptr);
  ~TForm1() override;

  // The non-visual components: the data source feeding the grid and memo
  // (its dataset is the URL table once the tables exist), and the image
  // lists of the URL tool bar, the section marks and the section tool bar.
  TDataSource* DataSource1;
  TImageList* ImageList1;
  TImageList* ImageList2;
  TImageList* ImageList3;

  // The catalogue's connection and table components, made from their
  // declarations with the window (Components owns them; none is opened here).
  std::unique_ptr<TCatalogueComponents> Components;
  TXdsConnection* XdsConnection1;
  TXdsTable* HDSTem;
  TXdsTable* HDSType;
  TXdsTable* HDSUrlIn;
  TXdsTable* HDSUrls;
  // Addresses longer than the URL field, kept whole in a table beside the
  // four (made at start-up; holds no table while the catalogue has none).
  std::unique_ptr<catalogue::WholeAddresses> LongAddresses;
  // The URL table's current record's address: whole when one is kept for
  // it, its URL field otherwise.
  std::string CurrentAddress();

  // Handlers of the table components' events, bound by the names the
  // declarations give.
  virtual void HDSTypeBeforeInsert(TDataSet& DataSet);
  virtual void HDSTypeBeforePost(TDataSet& DataSet);
  virtual void HDSTypeAfterDelete(TDataSet& DataSet);
  virtual void HDSUrls_oldBeforeInsert(TDataSet& DataSet);
  virtual void HDSUrls_oldAfterInsert(TDataSet& DataSet);
  virtual void HDSUrlsBeforeDelete(TDataSet& DataSet);
  virtual void HDSUrlsAfterDelete(TDataSet& DataSet);
  virtual void HDSUrls_old2FilterRecord(TDataSet& DataSet, bool& Accept);

  // Handlers, bound to their events in the constructor. They are virtual so
  // that tests can watch which one an event reaches.
  virtual void FormCreate();
  virtual void FormCloseQuery(bool& CanClose);
  virtual void FormKeyDown(int Key, Qt::KeyboardModifiers Shift);
  virtual void TreeView1MouseDown(Qt::MouseButton Button, Qt::KeyboardModifiers Shift, int X,
                                  int Y);
  virtual void Panel2Click();
  virtual void Panel5Resize();
  virtual void Panel6Resize();
  virtual void PanelSearchAllResize();
  virtual void Edit1Change();
  virtual void Edit2Change();
  virtual void DBGrid1TitleClick(int Column);
  virtual void ToolButton1Click();
  virtual void ToolButton2Click();
  virtual void ToolButton3Click();
  virtual void ToolButton4Click();
  virtual void ToolButton5Click();
  virtual void ToolButton6Click();
  virtual void ToolButton7Click();
  virtual void ToolButton8Click();
  virtual void ToolButton9Click();
  virtual void ToolButton10Click();
  virtual void ToolButton11Click();
  virtual void ToolButton12Click();

  // ToolButton13's menu, "Сервис": commands over the whole catalogue, each
  // in a window of its own. An entry stays disabled until its command is
  // bound to it.
  QMenu* ServiceMenu;
  QAction* actionImportBookmarks;
  QAction* actionExportBookmarks;
  QAction* actionFindDuplicates;
  QAction* actionCheckLinks;
  // Bookmarks from a browser's file into the catalogue, the catalogue into
  // a bookmark file, and the records that share an address.
  virtual void ImportBookmarksClick();
  virtual void ExportBookmarksClick();
  virtual void FindDuplicatesClick();
  // "Проверить ссылки…": the link check window over the list.
  virtual void CheckLinksClick();

  // The URL list's filters: the URL table's filtering switched off and on
  // again, and the membership filter rebuilt from the main tree's marks.
  virtual void RefreshUrlFilter();
  virtual void ApplySectionFilter();

  // "Поиск везде" (EditSearchAll): the list narrowed, as the user types, to
  // the records holding every word typed anywhere in their address, name or
  // description, with the section filter as it is; an empty box gives the
  // whole list back. The search runs a part at a time between the window's
  // events, each keystroke replacing the search before; the list shows the
  // first screen of matches as soon as they are found, and LabelSearchAll-
  // Count how many the list holds.
  virtual void EditSearchAllChange();
  // Whether the list is narrowed by a search; whether it shows the search
  // of the box's text (its first screen at least); whether that search has
  // looked at every record (and counted the list).
  bool SearchAllActive() const;
  bool SearchAllShown() const;
  bool SearchAllDone() const;
  // How many records the narrowed list holds (known once SearchAllDone).
  uint32_t SearchAllCount() const;

  // Whether start-up opened the catalogue whole, so that it may be changed.
  bool CatalogueOpen() const { return catalogueOpen_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void BindHandlers();
  void CreateComponents();
  void CreateServiceMenu();
  void BindServiceMenu();
  // A command over the whole catalogue reads and writes it through a
  // connection of its own, which the tables held for exclusive use would
  // refuse: the window posts a pending edit, saves the tree and closes them
  // (refusing edits meanwhile), then opens them again and shows the list
  // and the tree afresh, as start-up shows them.
  void ReleaseCatalogue();
  void ReopenCatalogue();
  std::string urlIndexBeforeRelease_;
  // While the tables are away the window does not close.
  bool catalogueReleased_ = false;
  // After a URL command failed with the main window hidden.
  void RecoverFromCommand(TForm2* editor);
  // The whole addresses: the URL field's text handlers and the URL table's
  // post handlers; opening the table at start-up, a deleted record's rows,
  // and the rows no record uses dropped at the close.
  void BindLongAddresses();
  void OpenLongAddresses();
  void RemoveLongAddress(uint32_t id);
  void TidyLongAddresses();
  // The search everywhere: its state, a part of its work, the list shown
  // narrowed (keeping the record `keepId` current when it is in the list,
  // else the first), a record written or deleted looked at again, and the
  // count of the list's records started over (the section filter changed).
  struct TSearchAll;
  struct TSearchAllDeleter {
    void operator()(TSearchAll* search) const;
  };
  std::unique_ptr<TSearchAll, TSearchAllDeleter> searchAll_;
  void BindSearchAll();
  void SearchAllStep();
  void ShowSearchAll(int32_t keepId);
  void SearchAllRecordChanged(uint32_t recNo);
  void RecountSearchAll();
  void EndSearchAll();
  // LabelSearchAllCount says how many records the list holds, "…" after the
  // number while the search or the count goes on; true when done.
  bool ShowSearchAllCount();
  // Whether the search lets the record through the list's filter.
  bool SearchAllPasses(uint32_t recNo) const;
  // The search of the box's text run anew: the tables were closed and
  // opened again, and their records may have been renumbered.
  void RestartSearchAll();
  // After a start-up that stopped part-way, a command that would change the
  // catalogue says that it is not open and is refused: true then.
  bool RefusedWithoutCatalogue();
  // Whether start-up ran to its end: every table open and TreeView1 holding
  // the sections table's rows. Only then may the tree be written back (a
  // start-up that stopped earlier left it empty or stale).
  bool catalogueOpen_ = false;

  std::unique_ptr<TDataSource> dataSource1_;
};

// The main window, program-wide.
extern TForm1* Form1;

// The filter flag: on while the URL list is narrowed to the marked
// sections. The new-record flag: set by the first new-URL command; cleared
// at start-up.
extern bool FilterFlag;
extern bool NewRecordFlag;

// The working directory: the process's current directory at start-up. The
// catalogue's tables and the settings file are looked up in it.
extern std::string WorkingDirectory;

// The grid-width settings file: the working directory plus "/tavo.ini".
std::string SettingsFileName();
