// The URL list (section filter, search, order), the URL commands with the
// editor window, the URL table's insert and delete handlers, and opening an
// address.
#include "url_catalogue.h"

#include <QSocketNotifier>
#include <algorithm>
#include <cmath>
#include <vector>

#include "Unit1.h"
#include "Unit2.h"
#include "catalogue.h"
#include "catalogue/schema.h"
#include "current_dir.h"
#include "exception_handler.h"
#include "message_box.h"
#include "qt_text.h"
#include "section_edit.h"
#include "section_tree.h"
#include "shell.h"
#include "xds/xce_calls.h"
#include "xds/xdserror.h"

int32_t LastUrlId = 0;

const char* const kFilterOffCaption = "Фильтр выключен";
const char* const kFilterOnCaption = "Фильтр включен";
const char* const kCutToField = "Поле вмещает %1 знаков: лишнее не сохраняется";
const char* const kNoProgramForLink = "Нет программы связанной с этой ссылкой -- ошибка № %d";
const char* const kOpenerWatchName = "OpenerWatch";
const char* const kCatalogueNotOpen =
    "Каталог не открыт: при запуске произошла ошибка. Изменения сохранить нельзя.";

// The sections table's id, parent and name fields, named here only.
void LoadSections(TXdsTable& sections, TTreeView* tree) {
  LoadTreeFromTable(sections, tree, catalogue::kSectionId, catalogue::kSectionParent,
                    catalogue::kSectionName);
}

void SaveSections(TXdsTable& sections, TTreeView* tree) {
  SaveTreeToTable(sections, tree, catalogue::kSectionId, catalogue::kSectionParent,
                  catalogue::kSectionName);
}

void LimitSectionNames(TTreeView* tree) {
  const int length = catalogue::FindField(*catalogue::FindTable("HDSTem"), "HDSTemINNAME")->Size;
  tree->SetLabelLength(length, QString::fromUtf8("Название раздела длиннее %1 знаков: "
                                                 "сохраняются первые %1")
                                   .arg(length));
}

namespace {

// What the before-delete handler puts back once the URL record is gone.
std::string SavedMembershipFilter;
bool SavedMembershipFiltered = false;
int SavedUrlRecNo = 0;
int32_t SavedUrlId = 0;

// An expression no membership satisfies: no section is marked.
constexpr char kNoMembership[] = "TEM_ID=1 and TEM_ID=2";

int32_t WholeNumber(double value) { return static_cast<int32_t>(std::lround(value)); }

int32_t UrlIdOf(TDataSet& urls) { return WholeNumber(urls.FieldByName("URL_ID")->AsFloat()); }

// The search for the membership rows of one URL record: URL_ID= and the id
// as the numeric field gives its text (plain digits for a whole number).
std::string MembershipsOf(TDataSet& urls) {
  return "URL_ID=" + urls.FieldByName("URL_ID")->AsString();
}

// A step of a recovery after a failure: the first failure is the one the
// user is shown, so a later one is dropped.
template <class F>
void Quietly(F&& f) noexcept {
  try {
    f();
  } catch (...) {
  }
}

// Files the URL record `urlId` under each of `sections`, one row each.
void AddMemberships(TXdsTable& memberships, int32_t urlId, const std::vector<int32_t>& sections) {
  for (int32_t section : sections) {
    memberships.Append();
    memberships.FieldByName("TEM_ID")->SetAsInteger(section);
    memberships.FieldByName("URL_ID")->SetAsInteger(urlId);
    memberships.Post();
  }
}

// Removes, one row at a time, the membership rows of the URL record `urlId`
// from the current row on; each removal compacts the table, which moves it
// to its first row, so the search starts again from there. Returns the
// sections of the rows removed. All or nothing: when a step fails, the rows
// already removed are put back (a row marked but not yet compacted away has
// its mark taken back) before the failure goes on to the caller.
std::vector<int32_t> RemoveMemberships(TXdsTable& memberships, int32_t urlId,
                                       const std::string& expression) {
  std::vector<int32_t> removed;
  int marked = 0;
  try {
    while (memberships.LocateExpression(expression, true)) {
      const int32_t section = WholeNumber(memberships.FieldByName("TEM_ID")->AsFloat());
      marked = memberships.RecNo();
      memberships.DeleteCurrentRecord();
      memberships.PackTable();
      marked = 0;
      removed.push_back(section);
    }
  } catch (...) {
    if (marked > 0) {
      Quietly([&] {
        memberships.GotoRecord(marked);
        CheckXceResult(&memberships, Xce().XdsRecallRecord(memberships.TableHandle()));
        memberships.GotoRecord(marked);
      });
    }
    Quietly([&] { AddMemberships(memberships, urlId, removed); });
    throw;
  }
  return removed;
}

// Puts the memberships of the URL record `urlId` back as they were: its rows
// now are removed and `sections` filed again. A step of a recovery.
void RestoreMemberships(TXdsTable& memberships, int32_t urlId, const std::string& expression,
                        const std::vector<int32_t>& sections) {
  Quietly([&] {
    memberships.First();
    while (memberships.LocateExpression(expression, true)) {
      memberships.DeleteCurrentRecord();
      memberships.PackTable();
    }
    AddMemberships(memberships, urlId, sections);
  });
}

void SaveSections(TTreeView* tree) { SaveSections(*Form1->HDSTem, tree); }

void LoadSections(TTreeView* tree) { LoadSections(*Form1->HDSTem, tree); }

// Makes a fresh editor window, the current one, with the sections table's
// tree in it.
TForm2* NewEditor(TForm1* owner) {
  auto* editor = new TForm2(owner);
  Form2 = editor;
  LoadSections(editor->TreeView1);
  return editor;
}

bool Editing(TDataSet& t) { return t.State() == dsEdit || t.State() == dsInsert; }

// The message of a launch that failed; nothing for one that did not.
void ReportLaunch(int result) {
  if (result <= 32) {
    ui::ShowMessage(QString::asprintf(kNoProgramForLink, result));
  }
}

// Waits, in the event loop, for the verdict of one launch of the opener.
// Gone with the window at the latest; the verdict is then not wanted.
class TOpenerWatch : public QSocketNotifier {
 public:
  TOpenerWatch(int fd, QObject* parent) : QSocketNotifier(fd, Read, parent), fd_(fd) {
    setObjectName(kOpenerWatchName);
  }
  ~TOpenerWatch() override {
    if (fd_ >= 0) {
      platform::CloseShellLaunch(fd_);
    }
  }
  int Result() {
    setEnabled(false);
    const int result = platform::ReadShellResult(fd_);
    fd_ = -1;
    return result;
  }

 private:
  int fd_;
};

}  // namespace

// --- The list ------------------------------------------------------------

void TForm1::RefreshUrlFilter() {
  HDSUrls->SetFiltered(false);
  HDSUrls->SetFiltered(true);
}

void TForm1::ApplySectionFilter() {
  if (TreeView1->topLevelItemCount() > 0) {
    std::string text;
    for (TTreeNode* node : TreeNodes(TreeView1)) {
      if (node->ImageIndex() == kSectionMarked) {
        text += (text.empty() ? "(TEM_ID=" : " OR (TEM_ID=") + std::to_string(node->Data()) + ")";
      }
    }
    HDSUrlIn->SetIndexName("TEM_ID");
    if (text.empty()) {
      text = kNoMembership;
    }
    HDSUrlIn->SetFiltered(false);
    HDSUrlIn->SetFilter(text);
    HDSUrlIn->SetFiltered(true);
  }
  RecountSearchAll();
  RefreshUrlFilter();
}

void TForm1::Panel2Click() {
  if (Panel2->Caption() == QString::fromUtf8(kFilterOffCaption)) {
    FilterFlag = true;
    ApplySectionFilter();
    Panel2->SetCaption(QString::fromUtf8(kFilterOnCaption));
  } else {
    FilterFlag = false;
    RecountSearchAll();
    RefreshUrlFilter();
    Panel2->SetCaption(QString::fromUtf8(kFilterOffCaption));
  }
}

void TForm1::HDSUrls_old2FilterRecord(TDataSet& DataSet, bool& Accept) {
  // The search everywhere narrows the list first: asking it costs nothing.
  if (!SearchAllPasses(HDSUrls->StateRecNo())) {
    Accept = false;
    return;
  }
  if (!FilterFlag) {
    Accept = true;
    return;
  }
  Accept = HDSUrlIn->Locate("URL_ID", TVariant(DataSet.FieldByName("URL_ID")->AsFloat()), 0);
}

namespace {

// One keystroke's search: the first record in the list's order whose field
// begins with the text, letter case aside. Nothing to search when start-up
// could not open the list: a box at every keystroke would tell the user
// nothing new.
void Search(TXdsTable& urls, const char* field, const QString& text) {
  if (urls.Active()) {
    // The text as the field stores it, so a name with characters the table
    // keeps as references is found by those characters.
    (void)urls.Locate(field, TVariant(ui::StoredText(text, *urls.FieldByName(field))),
                      loCaseInsensitive | loPartialKey);
  }
}

}  // namespace

// The URL field holds an address's first 100 characters: a longer search
// text, say a whole long address pasted, finds it by them.
void TForm1::Edit1Change() { Search(*HDSUrls, "URL", Edit1->text().left(100)); }

void TForm1::Edit2Change() { Search(*HDSUrls, "NAME", Edit2->text()); }

void TForm1::DBGrid1TitleClick(int Column) {
  TField* field = DBGrid1->ColumnField(Column);
  if (field == nullptr) {
    return;
  }
  // A lookup column shows another table's text; the list is ordered by the
  // key it looks that text up with.
  HDSUrls->SetIndexName(field->FieldKind() == fkLookup ? field->KeyFields() : field->FieldName());
}

// --- The commands --------------------------------------------------------

void TForm1::RecoverFromCommand(TForm2* editor) {
  // A command that failed with the main window hidden: whatever step failed,
  // the user gets the main window and a browsable list back. Each step is
  // tried on its own; the first failure is the one the user is shown.
  Quietly([&] {
    if (Editing(*HDSUrls)) {
      HDSUrls->Cancel();
    }
  });
  Quietly([&] {
    if (!HDSUrls->Filtered()) {
      HDSUrls->SetFiltered(true);
    }
  });
  if (editor != nullptr && !editor->isVisible()) {
    editor->deleteLater();
  }
  show();
}

namespace {

// The URL record's own fields, which an edit may change.
const char* const kRecordFields[] = {"URL", "NAME", "DESCR", "ADRESTYPE"};

// The address is taken and put back as its editing text: the whole address,
// which may be longer than the field.
std::vector<std::string> ValuesOf(TDataSet& urls) {
  std::vector<std::string> values;
  for (const char* name : kRecordFields) {
    TField* field = urls.FieldByName(name);
    values.push_back(std::string_view(name) == "URL" ? field->Text() : field->AsString());
  }
  return values;
}

void PutValues(TDataSet& urls, const std::vector<std::string>& values) {
  for (size_t i = 0; i < std::size(kRecordFields); ++i) {
    TField* field = urls.FieldByName(kRecordFields[i]);
    if (std::string_view(kRecordFields[i]) == "URL") {
      field->SetText(values[i]);
    } else {
      field->SetAsString(values[i]);
    }
  }
}

// Saves what the editor window holds: the sections table from its tree, the
// URL record, then the record's memberships from its marks. All or nothing
// over the record and its memberships: a failure before the post leaves both
// as they were (the caller's recovery cancels the pending insert or edit);
// a failure after it takes the post back (a new record is deleted, an edited
// one gets its old values) and puts the memberships back as they were.
void SaveEditorRecord(TForm2* editor, bool isNew, const std::vector<std::string>& before) {
  TXdsTable& urls = *Form1->HDSUrls;
  SaveSections(editor->TreeView1);
  urls.Post();
  try {
    SaveUrlSections();
  } catch (...) {
    Quietly([&] {
      if (isNew) {
        urls.DeleteCurrentRecord();
      } else {
        urls.Edit();
        PutValues(urls, before);
        urls.Post();
      }
    });
    throw;
  }
}

}  // namespace

void TForm1::ToolButton1Click() {
  if (RefusedWithoutCatalogue()) {
    return;
  }
  int recNo = HDSUrls->RecNo();
  SaveSections(TreeView1);
  QPointer<TForm2> editor = NewEditor(this);
  hide();
  try {
    NewRecordFlag = true;
    HDSUrls->SetFiltered(false);
    HDSUrls->Append();
    if (editor->exec() == 1) {
      SaveEditorRecord(editor, true, {});
      recNo = HDSUrls->RecNo();
    } else {
      HDSUrls->Cancel();
    }
    LoadSections(TreeView1);
    ApplySectionFilter();
    HDSUrls->SetFiltered(true);
    // An empty list had no record to come back to.
    if (recNo > 0) {
      HDSUrls->GotoRecord(recNo);
    }
  } catch (...) {
    RecoverFromCommand(editor);
    throw;
  }
  show();
}

void TForm1::ToolButton2Click() {
  if (RefusedWithoutCatalogue() || HDSUrls->RecNo() <= 0) {
    return;
  }
  const int32_t id = UrlIdOf(*HDSUrls);
  SaveSections(TreeView1);
  QPointer<TForm2> editor = NewEditor(this);
  try {
    MarkUrlSections();
    hide();
    HDSUrls->SetFiltered(false);
    if (HDSUrls->Locate("URL_ID", TVariant(id), 0)) {
      const std::vector<std::string> before = ValuesOf(*HDSUrls);
      HDSUrls->Edit();
      if (editor->exec() == 1) {
        SaveEditorRecord(editor, false, before);
      } else {
        HDSUrls->Cancel();
      }
    } else {
      // Never shown, so never closed: released all the same.
      editor->deleteLater();
    }
    LoadSections(TreeView1);
    ApplySectionFilter();
    HDSUrls->SetFiltered(true);
    (void)HDSUrls->Locate("URL_ID", TVariant(id), 0);
  } catch (...) {
    RecoverFromCommand(editor);
    throw;
  }
  show();
}

void TForm1::ToolButton3Click() {
  if (!RefusedWithoutCatalogue() && !HDSUrls->IsEmpty()) {
    HDSUrls->Delete();
  }
}

void TForm1::ToolButton4Click() {
  if (!RefusedWithoutCatalogue() && Editing(*HDSUrls)) {
    HDSUrls->Post();
  }
}

void TForm1::ToolButton5Click() {
  const std::string type = HDSUrls->FieldByName("ADRESTYPE")->AsString();
  if (!HDSType->Locate("TYPE_ID", TVariant(type), 0)) {
    return;
  }
  OpenWithOpener(HDSType->FieldByName("TYPRPRESTR")->AsString() + CurrentAddress());
}

void OpenWithOpener(const std::string& command) {
  const platform::ShellLaunch launch =
      platform::StartShellExecute(command, platform::ExecutableDirectory());
  if (launch.fd < 0) {
    ReportLaunch(launch.result);
    return;
  }
  // The opener's verdict comes when it exits, which may be long after (an
  // opener that runs the program itself): the window goes on meanwhile, and
  // a failure is reported when it is known.
  auto* watch = new TOpenerWatch(launch.fd, Form1);
  QObject::connect(watch, &QSocketNotifier::activated, watch, [watch] {
    const int result = watch->Result();
    watch->deleteLater();
    ui::CallGuarded([result] { ReportLaunch(result); });
  });
}

// --- The URL table's handlers -----------------------------------------------

void TForm1::HDSUrls_oldBeforeInsert(TDataSet&) {
  HDSUrls->SetIndexName("URL_ID");
  // The new id goes one above every id the table holds, the deleted records'
  // too until they are packed: the last record the filters let through need
  // not hold the highest, and an id given twice would file one URL's
  // memberships under another.
  const bool filtered = HDSUrls->Filtered();
  if (filtered) {
    HDSUrls->SetFiltered(false);
  }
  HDSUrls->Last();
  LastUrlId = HDSUrls->IsEmpty() ? 0 : UrlIdOf(*HDSUrls);
  if (filtered) {
    HDSUrls->SetFiltered(true);
    HDSUrls->Last();
  }
}

void TForm1::HDSUrls_oldAfterInsert(TDataSet&) {
  if (NewRecordFlag) {
    HDSUrls->FieldByName("URL_ID")->SetAsInteger(LastUrlId + 1);
  } else {
    HDSUrls->Cancel();
  }
}

void TForm1::HDSUrlsBeforeDelete(TDataSet& DataSet) {
  SavedMembershipFilter = HDSUrlIn->Filter();
  SavedMembershipFiltered = HDSUrlIn->Filtered();
  SavedUrlRecNo = HDSUrls->RecNo();
  SavedUrlId = UrlIdOf(DataSet);
  try {
    HDSUrlIn->SetFiltered(false);
    HDSUrlIn->First();
    (void)RemoveMemberships(*HDSUrlIn, UrlIdOf(DataSet), MembershipsOf(DataSet));
  } catch (...) {
    // The delete is refused (the record stays) and the after-delete handler
    // does not run: the membership filter goes back here, and the record's
    // memberships are back already.
    Quietly([&] {
      HDSUrlIn->SetFilter(SavedMembershipFilter);
      HDSUrlIn->SetFiltered(SavedMembershipFiltered);
    });
    throw;
  }
}

void TForm1::HDSUrlsAfterDelete(TDataSet&) {
  // Its whole address goes with the record (a row left by a failure here is
  // dropped at the close: no live record uses it).
  RemoveLongAddress(static_cast<uint32_t>(SavedUrlId));
  HDSUrlIn->SetFilter(SavedMembershipFilter);
  HDSUrlIn->SetFiltered(SavedMembershipFiltered);
  RefreshUrlFilter();
  HDSUrls->GotoRecord(SavedUrlRecNo);
}

// --- Memberships and the editor's marks ----------------------------------------

void SaveUrlSections() {
  TXdsTable& memberships = *Form1->HDSUrlIn;
  TDataSet& urls = *Form1->HDSUrls;
  const std::string index = memberships.IndexName();
  const std::string expression = MembershipsOf(urls);
  const int32_t id = UrlIdOf(urls);
  std::vector<int32_t> marked;
  for (TTreeNode* node : TreeNodes(Form2->TreeView1)) {
    if (node->ImageIndex() == kSectionMarked) {
      marked.push_back(static_cast<int32_t>(node->Data()));
    }
  }
  std::vector<int32_t> previous;
  bool removed = false;
  try {
    memberships.SetIndexName("TEM_URL");
    memberships.First();
    previous = RemoveMemberships(memberships, id, expression);
    removed = true;
    AddMemberships(memberships, id, marked);
  } catch (...) {
    // A failed removal has put its rows back itself.
    Quietly([&] { memberships.Cancel(); });
    if (removed) {
      RestoreMemberships(memberships, id, expression, previous);
    }
    Quietly([&] { memberships.SetIndexName(index); });
    throw;
  }
  memberships.SetIndexName(index);
}

void MarkUrlSections() {
  TXdsTable& memberships = *Form1->HDSUrlIn;
  memberships.SetFilter(MembershipsOf(*Form1->HDSUrls));
  memberships.SetFiltered(true);
  memberships.First();
  while (!memberships.Eof()) {
    // A membership of a section the tree does not have marks nothing.
    if (TTreeNode* node = FindNodeById(
            Form2->TreeView1,
            static_cast<uint32_t>(WholeNumber(memberships.FieldByName("TEM_ID")->AsFloat())))) {
      SetSectionMark(node, kSectionMarked);
    }
    memberships.Next();
  }
}

// --- Commands on records by id ----------------------------------------------

namespace {

// Makes the URL record `id` current: in the list when it shows it, else with
// the list's filtering off (the caller switches it on again). False, with the
// filtering as it was, when no live record has the id.
bool GoToUrlRecord(int32_t id) {
  TXdsTable& urls = *Form1->HDSUrls;
  urls.CheckBrowseMode();
  if (urls.Filtered() && urls.Locate("URL_ID", TVariant(id), 0)) {
    return true;
  }
  const bool filtered = urls.Filtered();
  urls.SetFiltered(false);
  urls.First();
  if (urls.LocateExpression("URL_ID=" + std::to_string(id) + " and not deleted()", true)) {
    return true;
  }
  urls.SetFiltered(filtered);
  return false;
}

// The list's filtering on again, the grid following it once more.
void BackToList() {
  Form1->HDSUrls->EnableControls();
  Quietly([] { Form1->RefreshUrlFilter(); });
}

bool StartsWithText(const QString& text, const QString& prefix) {
  return text.startsWith(prefix, Qt::CaseInsensitive);
}

}  // namespace

int FileUrlsUnderSection(const std::vector<int32_t>& ids, const QString& name) {
  TForm1& form = *Form1;
  TTreeNode* section = nullptr;
  for (int i = 0; i < form.TreeView1->topLevelItemCount(); ++i) {
    auto* node = dynamic_cast<TTreeNode*>(form.TreeView1->topLevelItem(i));
    if (node != nullptr && node->text(0) == name) {
      section = node;
      break;
    }
  }
  if (section == nullptr) {
    section = NewSection(form.TreeView1, nullptr, name);
    try {
      SaveSections(form.TreeView1);
    } catch (...) {
      delete section;
      throw;
    }
  }
  const int32_t sectionId = static_cast<int32_t>(section->Data());
  const std::string inSection = "TEM_ID=" + std::to_string(sectionId);
  TXdsTable& memberships = *form.HDSUrlIn;
  const std::string filter = memberships.Filter();
  const bool filtered = memberships.Filtered();
  const std::string index = memberships.IndexName();
  std::vector<int32_t> added;
  auto restore = [&] {
    memberships.SetFiltered(false);
    memberships.SetFilter(filter);
    memberships.SetIndexName(index);
    memberships.SetFiltered(filtered);
  };
  try {
    // The records filed there already, read once.
    std::vector<int32_t> present;
    memberships.SetFiltered(false);
    memberships.SetFilter(inSection);
    memberships.SetFiltered(true);
    memberships.First();
    while (!memberships.Eof()) {
      present.push_back(WholeNumber(memberships.FieldByName("URL_ID")->AsFloat()));
      memberships.Next();
    }
    std::sort(present.begin(), present.end());
    memberships.SetFiltered(false);
    for (int32_t id : ids) {
      if (std::binary_search(present.begin(), present.end(), id) ||
          std::find(added.begin(), added.end(), id) != added.end()) {
        continue;
      }
      AddMemberships(memberships, id, {sectionId});
      added.push_back(id);
    }
  } catch (...) {
    Quietly([&] { memberships.Cancel(); });
    for (int32_t id : added) {
      Quietly([&] {
        memberships.SetFiltered(false);
        memberships.First();
        (void)RemoveMemberships(memberships, id,
                                inSection + " and URL_ID=" + std::to_string(id));
      });
    }
    Quietly(restore);
    throw;
  }
  restore();
  form.RefreshUrlFilter();
  return static_cast<int>(added.size());
}

bool ReplaceUrlAddress(int32_t id, const QString& address) {
  TForm1& form = *Form1;
  TXdsTable& urls = *form.HDSUrls;
  TXdsTable& types = *form.HDSType;
  urls.DisableControls();
  try {
    if (!GoToUrlRecord(id)) {
      BackToList();
      return false;
    }
    // The record's own link type when the address begins with its prefix,
    // else the type with the longest prefix the address begins with.
    const std::string ownType = urls.FieldByName("ADRESTYPE")->AsString();
    std::string type;
    QString prefix;
    bool fits = false;
    if (types.Locate("TYPE_ID", TVariant(ownType), 0)) {
      prefix = ui::ToQString(types.FieldByName("TYPRPRESTR")->AsString());
      fits = StartsWithText(address, prefix);
    }
    if (!fits) {
      types.DisableControls();
      const TBookmark at = types.IsEmpty() ? TBookmark() : types.GetBookmark();
      int longest = -1;
      for (types.First(); !types.Eof(); types.Next()) {
        const QString p = ui::ToQString(types.FieldByName("TYPRPRESTR")->AsString());
        if (p.size() > longest && StartsWithText(address, p)) {
          longest = static_cast<int>(p.size());
          prefix = p;
          type = types.FieldByName("TYPE_ID")->AsString();
        }
      }
      if (!at.empty() && types.BookmarkValid(at)) {
        types.GotoBookmark(at);
      }
      types.EnableControls();
      if (longest < 0) {
        BackToList();
        return false;
      }
    }
    TField* url = urls.FieldByName("URL");
    urls.Edit();
    if (!type.empty()) {
      urls.FieldByName("ADRESTYPE")->SetAsString(type);
    }
    url->SetText(ui::FromQString(address.mid(prefix.size()), *url));
    urls.Post();
  } catch (...) {
    Quietly([&] {
      if (Editing(urls)) {
        urls.Cancel();
      }
    });
    BackToList();
    throw;
  }
  BackToList();
  return true;
}

bool DeleteUrlRecord(int32_t id) {
  TXdsTable& urls = *Form1->HDSUrls;
  urls.DisableControls();
  try {
    if (!GoToUrlRecord(id)) {
      BackToList();
      return false;
    }
    urls.Delete();
  } catch (...) {
    BackToList();
    throw;
  }
  BackToList();
  return true;
}
