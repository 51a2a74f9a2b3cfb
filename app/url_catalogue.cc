// The URL list (section filter, search, order), the URL commands with the
// editor window, the URL table's insert and delete handlers, and opening an
// address.
#include "url_catalogue.h"

#include <cmath>

#include "Unit1.h"
#include "Unit2.h"
#include "catalogue.h"
#include "current_dir.h"
#include "exception_handler.h"
#include "message_box.h"
#include "qt_text.h"
#include "section_edit.h"
#include "section_tree.h"
#include "shell.h"

int32_t LastUrlId = 0;

const char* const kFilterOffCaption = "Фильтр выключен";
const char* const kFilterOnCaption = "Фильтр включен";
const char* const kCutToField = "Поле вмещает %1 знаков: лишнее не сохраняется";
const char* const kNoProgramForLink = "Нет программы связанной с этой ссылкой -- ошибка № %d";

// The sections table's id, parent and name fields, named here only.
void LoadSections(TXdsTable& sections, TTreeView* tree) {
  LoadTreeFromTable(sections, tree, "INID", "PREIN", "INNAME");
}

void SaveSections(TXdsTable& sections, TTreeView* tree) {
  SaveTreeToTable(sections, tree, "INID", "PREIN", "INNAME");
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

// Removes, one row at a time, the membership rows from the current row on
// that the expression finds; each removal compacts the table, which moves it
// to its first row, so the search starts again from there.
void RemoveMemberships(TXdsTable& memberships, const std::string& expression) {
  while (memberships.LocateExpression(expression, true)) {
    memberships.DeleteCurrentRecord();
    memberships.PackTable();
  }
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

// A step of a recovery after a failure: the first failure is the one the
// user is shown, so a later one is dropped.
template <class F>
void Quietly(F&& f) noexcept {
  try {
    f();
  } catch (...) {
  }
}

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
  RefreshUrlFilter();
}

void TForm1::Panel2Click() {
  if (Panel2->Caption() == QString::fromUtf8(kFilterOffCaption)) {
    FilterFlag = true;
    ApplySectionFilter();
    Panel2->SetCaption(QString::fromUtf8(kFilterOnCaption));
  } else {
    FilterFlag = false;
    RefreshUrlFilter();
    Panel2->SetCaption(QString::fromUtf8(kFilterOffCaption));
  }
}

void TForm1::HDSUrls_old2FilterRecord(TDataSet& DataSet, bool& Accept) {
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

void TForm1::ToolButton1Click() {
  int recNo = HDSUrls->RecNo();
  SaveSections(TreeView1);
  QPointer<TForm2> editor = NewEditor(this);
  hide();
  try {
    NewRecordFlag = true;
    HDSUrls->SetFiltered(false);
    HDSUrls->Append();
    if (editor->exec() == 1) {
      SaveSections(editor->TreeView1);
      SaveUrlSections();
      HDSUrls->Post();
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
  if (HDSUrls->RecNo() <= 0) {
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
      HDSUrls->Edit();
      if (editor->exec() == 1) {
        SaveSections(editor->TreeView1);
        SaveUrlSections();
        HDSUrls->Post();
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
  if (!HDSUrls->IsEmpty()) {
    HDSUrls->Delete();
  }
}

void TForm1::ToolButton4Click() {
  if (Editing(*HDSUrls)) {
    HDSUrls->Post();
  }
}

void TForm1::ToolButton5Click() {
  const std::string type = HDSUrls->FieldByName("ADRESTYPE")->AsString();
  if (!HDSType->Locate("TYPE_ID", TVariant(type), 0)) {
    return;
  }
  const std::string command = HDSType->FieldByName("TYPRPRESTR")->AsString() + CurrentAddress();
  const int result = platform::ShellExecute(command, platform::ExecutableDirectory());
  if (result <= 32) {
    ui::ShowMessage(QString::asprintf(kNoProgramForLink, result));
  }
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
  HDSUrlIn->SetFiltered(false);
  HDSUrlIn->First();
  RemoveMemberships(*HDSUrlIn, MembershipsOf(DataSet));
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
  memberships.SetIndexName("TEM_URL");
  memberships.First();
  RemoveMemberships(memberships, MembershipsOf(urls));
  const int32_t id = UrlIdOf(urls);
  for (TTreeNode* node : TreeNodes(Form2->TreeView1)) {
    if (node->ImageIndex() == kSectionMarked) {
      memberships.Append();
      memberships.FieldByName("TEM_ID")->SetAsInteger(static_cast<int32_t>(node->Data()));
      memberships.FieldByName("URL_ID")->SetAsInteger(id);
      memberships.Post();
    }
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
