// Direct table operations: locate by expression, delete, pack, zap, reindex,
// goto record, on the catalogue's own tables.

#include <algorithm>
#include <set>

#include "recording_engine.h"
#include "xds_test_util.h"

using namespace xdstest;

namespace {

// The membership table opened exclusively in the order of tag (none: record
// order).
std::unique_ptr<TXdsTable> Memberships(TXdsConnection& c, const std::string& tag) {
  auto t = Table(c, "HDSUrlIn", "URLIN.DBF");
  if (!tag.empty()) {
    t->SetIndexName(tag);
  }
  t->Open();
  return t;
}

// (TEM_ID, URL_ID) of every row, in the component's order.
std::vector<std::pair<int, int>> Rows(TXdsTable& t) {
  std::vector<std::pair<int, int>> rows;
  t.First();
  while (!t.Eof()) {
    rows.emplace_back(t.FieldByName("TEM_ID")->AsInteger(), t.FieldByName("URL_ID")->AsInteger());
    t.Next();
  }
  return rows;
}

void AddRow(TXdsTable& t, int section, int url) {
  t.Append();
  t.FieldByName("TEM_ID")->SetAsInteger(section);
  t.FieldByName("URL_ID")->SetAsInteger(url);
  t.Post();
}

// The catalogue's loop that removes the memberships of one URL record.
int DeleteMemberships(TXdsTable& t, int url) {
  int removed = 0;
  t.First();
  while (t.LocateExpression("URL_ID=" + std::to_string(url), true)) {
    t.DeleteCurrentRecord();
    t.PackTable();
    ++removed;
  }
  return removed;
}

std::string CheckReport(const std::string& dir, const std::string& table) {
  XDSHANDLE c = 0;
  EXPECT_EQ(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), 0);
  char report[4096] = {};
  uint32_t length = sizeof report - 1;
  XDSRESULT r = XdsCheckTable(c, table.c_str(), report, &length);
  EXPECT_EQ(XdsDisconnect(c), 0);
  return r == 0 ? std::string(report, length) : "check failed " + std::to_string(r);
}

}  // namespace

class XdsDirect : public CatalogueTest {};

// The memberships of a URL record are found in the order the component
// shows, wherever they are stored: here the first row in TEM_ID order is the
// last one stored, so a search in record order from it would find nothing.
TEST_F(XdsDirect, DeleteLoopRemovesEveryMembershipWhateverTheStoredOrder) {
  auto t = Memberships(*c, "TEM_ID");
  AddRow(*t, 0, 5);  // record 10, first in TEM_ID order
  auto before = Rows(*t);
  ASSERT_EQ(before.front(), std::make_pair(0, 5));

  // URL 9's rows (records 8 and 9) are stored before record 10.
  EXPECT_EQ(DeleteMemberships(*t, 9), 2);
  // URL 5's rows are the first one in the order and record 7.
  EXPECT_EQ(DeleteMemberships(*t, 5), 2);

  auto after = Rows(*t);
  std::vector<std::pair<int, int>> expected;
  for (auto row : before) {
    if (row.second != 9 && row.second != 5) {
      expected.push_back(row);
    }
  }
  EXPECT_EQ(after, expected);  // the other rows untouched, in TEM_ID order
  EXPECT_EQ(after.size(), 6u);
  t->Close();
  EXPECT_EQ(CheckReport(dir.str(), "URLIN.DBF"), "");
}

TEST_F(XdsDirect, DeleteLoopInTheCatalogueOrderOfSaveUrlSections) {
  auto t = Memberships(*c, "TEM_URL");
  EXPECT_EQ(DeleteMemberships(*t, 1), 2);
  EXPECT_EQ(DeleteMemberships(*t, 1), 0);
  EXPECT_EQ(Rows(*t).size(), 7u);
}

TEST_F(XdsDirect, LocateExpressionMovesOnlyInTheGivenDirection) {
  auto t = Memberships(*c, "TEM_ID");
  // TEM_ID order: 1 7 3 2 5 4 6 9 8 (record numbers).
  t->GotoRecord(5);
  ASSERT_EQ(t->RecNo(), 5);
  // Backward from record 5 the rows of URL 1 are records 2 and 1.
  ASSERT_TRUE(t->LocateExpression("URL_ID=1", false));
  EXPECT_EQ(t->RecNo(), 2);
  // The search starts on the current row itself.
  ASSERT_TRUE(t->LocateExpression("URL_ID=1", false));
  EXPECT_EQ(t->RecNo(), 2);
  t->Prior();
  ASSERT_TRUE(t->LocateExpression("URL_ID=1", false));
  EXPECT_EQ(t->RecNo(), 1);
  t->GotoRecord(7);  // URL 3 (record 4) comes after it in TEM_ID order
  EXPECT_FALSE(t->LocateExpression("URL_ID=3", false));
  t->GotoRecord(9);
  ASSERT_TRUE(t->LocateExpression("URL_ID=9", true));
  EXPECT_EQ(t->RecNo(), 9);
  t->Next();
  ASSERT_TRUE(t->LocateExpression("URL_ID=9", true));
  EXPECT_EQ(t->RecNo(), 8);
}

TEST_F(XdsDirect, LocateExpressionWithoutMatchEndsOnTheLastRecord) {
  auto t = Memberships(*c, "TEM_ID");
  t->First();
  EXPECT_FALSE(t->LocateExpression("URL_ID=12345", true));
  EXPECT_EQ(t->RecNo(), 8);  // last in TEM_ID order
  EXPECT_TRUE(t->Eof());
  EXPECT_FALSE(t->LocateExpression("URL_ID=12345", false));
  EXPECT_EQ(t->RecNo(), 1);
  EXPECT_TRUE(t->Bof());
}

TEST_F(XdsDirect, BadExpressionRaisesTheEngineErrorAndLeavesTheWindow) {
  auto t = Memberships(*c, "");
  t->GotoRecord(4);
  try {
    t->LocateExpression("URL_ID=", true);
    FAIL() << "a broken expression was accepted";
  } catch (const EXDSDatabaseError& e) {
    EXPECT_EQ(e.ErrorCode(), XDS_ERR_EXPRESSION);
    EXPECT_EQ(std::string(e.what()).rfind("HDSUrlIn: ", 0), 0u) << e.what();
  }
  EXPECT_EQ(t->RecNo(), 4);
  t->Next();
  EXPECT_EQ(t->RecNo(), 5);
}

TEST_F(XdsDirect, DeletingAndPackingTheOnlyRecordLeavesAnEmptyTable) {
  CreateTable(dir.str(), "ONE.DBF", {{"ID", 'N', 10, 0}});
  auto t = Table(*c, "HDSOne", "ONE.DBF");
  t->SetTableType(ttXdsCDX);
  t->Open();
  t->Append();
  t->FieldByName("ID")->SetAsInteger(7);
  t->Post();
  t->DeleteCurrentRecord();
  t->PackTable();
  EXPECT_TRUE(t->IsEmpty());
  EXPECT_TRUE(t->Bof());
  EXPECT_TRUE(t->Eof());
  EXPECT_EQ(t->RecordCount(), 0);
  // Every operation copes with the empty table.
  t->GotoTop();
  EXPECT_FALSE(t->LocateExpression("ID=7", true));
  t->DeleteCurrentRecord();
  t->ZapTable();
  EXPECT_TRUE(t->IsEmpty());
}

TEST_F(XdsDirect, OperationsOnATableItsFilterHidesWhollyTouchNoHiddenRecord) {
  auto t = Memberships(*c, "TEM_URL");
  AddRow(*t, 900, 77);
  AddRow(*t, 901, 77);
  t->SetFilter("URL_ID=77");
  t->SetFiltered(true);
  // The loop's last pack leaves the filter nothing to show.
  EXPECT_EQ(DeleteMemberships(*t, 77), 2);
  EXPECT_TRUE(t->IsEmpty());
  const int hidden = t->RecordCount();
  t->DeleteCurrentRecord();
  t->SetFiltered(false);
  EXPECT_EQ(t->RecordCount(), hidden);
  EXPECT_GT(t->RecordCount(), 0);
}

TEST_F(XdsDirect, PackAndZapEndOnTheFirstRecordInIndexOrder) {
  auto urls = UrlTable(*c);
  urls->SetIndexName("URL");
  urls->Open();
  urls->Last();
  urls->PackTable();  // drops the one deleted record
  auto csv = ReadCsv("catalogue", "urls.URL.csv");
  std::string firstUrl = FromHex(csv[0][2]);
  if (csv[0][1] == "*") {
    firstUrl = FromHex(csv[1][2]);
  }
  EXPECT_EQ(urls->FieldByName("URL")->AsString(), firstUrl.substr(0, firstUrl.find_last_not_of(' ') + 1));
  EXPECT_FALSE(urls->Bof() && urls->Eof());
  EXPECT_EQ(urls->RecordCount(), static_cast<int>(csv.size()) - 1);

  auto t = Memberships(*c, "TEM_URL");
  t->Last();
  t->ZapTable();
  EXPECT_TRUE(t->IsEmpty());
  AddRow(*t, 5, 3);
  AddRow(*t, 6, 1);
  t->Last();
  t->PackTable();
  EXPECT_EQ(t->FieldByName("URL_ID")->AsInteger(), 1);
  EXPECT_EQ(t->RecNo(), 2);
}

TEST_F(XdsDirect, PendingEditIsPostedWhenChangedAndCancelledOtherwise) {
  auto t = Memberships(*c, "");
  t->Edit();
  t->FieldByName("TEM_ID")->SetAsInteger(42);
  t->GotoTop();
  EXPECT_EQ(t->State(), dsBrowse);
  EXPECT_EQ(t->FieldByName("TEM_ID")->AsInteger(), 42);

  RecordingEngine rec;
  t->Edit();
  t->GotoRecord(3);
  EXPECT_EQ(t->State(), dsBrowse);
  EXPECT_TRUE(rec.Take({"XdsWriteRecord", "XdsSetField"}).empty());
  EXPECT_EQ(t->RecNo(), 3);
}

TEST_F(XdsDirect, NegativeRecordNumberIsRefusedBeforeTheEngineIsCalled) {
  auto t = Memberships(*c, "");
  t->GotoRecord(6);
  RecordingEngine rec;
  EXPECT_THROW(t->GotoRecord(-1), ERangeError);
  EXPECT_TRUE(rec.Take({"XdsGotoRecord"}).empty());
  EXPECT_EQ(t->RecNo(), 6);
  // A number that names no record is the engine's refusal.
  try {
    t->GotoRecord(1000);
    FAIL();
  } catch (const EXDSDatabaseError& e) {
    EXPECT_EQ(e.ErrorCode(), XDS_ERR_BAD_RECORD_NUMBER);
  }
  EXPECT_EQ(t->RecNo(), 6);
}

TEST_F(XdsDirect, ClosedTableIsRefusedWithTheFrameworkMessage) {
  auto t = Table(*c, "HDSUrlIn", "URLIN.DBF");
  for (auto op : std::vector<std::function<void()>>{
           [&] { t->PackTable(); }, [&] { t->ZapTable(); }, [&] { t->ReindexTable(); },
           [&] { t->GotoTop(); }, [&] { t->GotoRecord(1); }, [&] { t->DeleteCurrentRecord(); },
           [&] { (void)t->LocateExpression("URL_ID=1", true); }}) {
    try {
      op();
      ADD_FAILURE() << "no refusal";
    } catch (const EDatabaseError& e) {
      EXPECT_STREQ(e.what(), "HDSUrlIn: Cannot perform this operation on a closed dataset");
    }
  }
}

TEST_F(XdsDirect, EngineCallsAndTheirHandles) {
  auto t = Memberships(*c, "TEM_ID");
  const std::string table = std::to_string(t->TableHandle());
  const std::string order = std::to_string(t->OrderHandle());
  t->GotoRecord(4);
  RecordingEngine rec;
  t->ReindexTable();
  t->GotoTop();
  (void)t->LocateExpression("URL_ID=3", true);
  t->DeleteCurrentRecord();
  EXPECT_EQ(rec.Take({"XdsReindex61", "XdsGotoTop", "XdsLocate", "XdsDeleteRecord"}),
            (std::vector<std::string>{"XdsReindex61(" + table + ", 512)",
                                      "XdsGotoTop(" + order + ")",
                                      "XdsLocate(" + order + ", \"URL_ID=3\", 1, *)",
                                      "XdsDeleteRecord(" + table + ")"}));
  // A table whose indexes reported no page size is rebuilt with 512-byte pages.
  t->XdsTableOptions().XdsIndexPageSize = 0;
  t->ReindexTable();
  EXPECT_EQ(rec.Take({"XdsReindex61"}),
            std::vector<std::string>{"XdsReindex61(" + table + ", 512)"});
  // The deleted record is still shown (deleted records are not hidden) and
  // stays current.
  EXPECT_EQ(t->RecNo(), 4);
  EXPECT_EQ(t->FieldByName("URL_ID")->AsInteger(), 3);
}

TEST_F(XdsDirect, FailingEngineCallLeavesTheWindowAsItWas) {
  auto t = Table(*c, "HDSUrlIn", "URLIN.DBF", /*exclusive=*/false);
  t->Open();
  t->GotoRecord(3);
  try {
    t->PackTable();
    FAIL();
  } catch (const EXDSDatabaseError& e) {
    EXPECT_EQ(e.ErrorCode(), XDS_ERR_EXCLUSIVE_REQUIRED);
  }
  EXPECT_EQ(t->RecNo(), 3);
  RecordingEngine rec;
  rec.fail = [](const std::string& call) -> std::optional<XDSRESULT> {
    if (call.rfind("XdsDeleteRecord", 0) == 0) {
      return XDS_ERR_IO;
    }
    return std::nullopt;
  };
  EXPECT_THROW(t->DeleteCurrentRecord(), EXDSDatabaseError);
  EXPECT_TRUE(rec.Take({"XdsAtEOF", "XdsAtBOF"}).empty());
  rec.fail = nullptr;
  EXPECT_EQ(t->RecNo(), 3);
}

namespace {

using SectionRow = std::tuple<std::string, std::string, std::string>;

// (INID, INNAME, PREIN) of every row of the sections table in INNAME order,
// through a component of its own.
std::vector<SectionRow> Sections(TXdsConnection& c) {
  auto t = Table(c, "HDSTem", "TEM.dbf");
  t->SetIndexName("INNAME");
  t->Open();
  std::vector<SectionRow> rows;
  for (t->First(); !t->Eof(); t->Next()) {
    rows.emplace_back(t->FieldByName("INID")->AsString(), t->FieldByName("INNAME")->AsString(),
                      t->FieldByName("PREIN")->AsString());
  }
  return rows;
}

}  // namespace

// A rewrite replaces every row with the given texts of the named fields, in
// the order given; a field not named stays blank, a name over its field's 50
// characters is cut before a character reference that would not fit, and
// the index tags follow the new rows.
TEST_F(XdsDirect, RewriteRowsReplacesEveryRow) {
  auto t = Table(*c, "HDSTem", "TEM.dbf");
  t->SetIndexName("INNAME");
  t->Open();
  const std::string longName = std::string(48, 'z') + "&#20013;";
  t->RewriteRows({"INNAME", "INID", "PREIN"},
                 {{"beta", "2", "1"}, {longName, "3", "1"}, {"alpha", "1"}});
  EXPECT_EQ(t->FieldByName("INNAME")->AsString(), "alpha");  // on the first row
  EXPECT_EQ(t->RecordCount(), 3);
  t->Close();
  EXPECT_EQ(Sections(*c),
            (std::vector<SectionRow>{
                {"1", "alpha", ""}, {"2", "beta", "1"}, {"3", std::string(48, 'z'), "1"}}));
  EXPECT_EQ(CheckReport(dir.str(), "TEM.dbf"), "");
  EXPECT_FALSE(fs::exists(dir / "TEM.dbf.rewrite.tmp"));
}

// Each engine call of a rewrite fails in turn: the table then holds its old
// rows or all the new ones, checks clean, and no scratch table is left.
TEST_F(XdsDirect, AFailedRewriteLeavesTheOldRowsOrTheNewOnes) {
  TempDir base;
  XDS_REQUIRE_FIXTURES("catalogue", base);
  const std::vector<std::vector<std::string>> newRows = {{"1", "one", "0"}, {"2", "two", "1"}};
  std::vector<SectionRow> oldStored;
  {
    auto c = Connect(base.str());
    oldStored = Sections(*c);
  }
  const std::vector<SectionRow> newStored = {{"1", "one", "0"}, {"2", "two", "1"}};
  int total = 0;
  int failures = 0;
  for (int n = 0; n == 0 || n <= total; ++n) {
    TempDir dir;
    for (const auto& e : fs::directory_iterator(base / "")) {
      fs::copy_file(e.path(), dir / e.path().filename().string());
    }
    auto c = Connect(dir.str());
    auto t = Table(*c, "HDSTem", "TEM.dbf");
    t->Open();
    int calls = 0;
    const bool failed = xdstest::RunWithCallFailing(n, &calls, [&] {
      t->RewriteRows({"INID", "INNAME", "PREIN"}, newRows);
    });
    t->Close();
    const std::vector<SectionRow> got = Sections(*c);
    if (n == 0) {
      ASSERT_FALSE(failed);
      ASSERT_EQ(got, newStored);
      total = calls;
    }
    EXPECT_TRUE(got == oldStored || got == newStored) << "call " << n << " failed";
    EXPECT_EQ(CheckReport(dir.str(), "TEM.dbf"), "") << "call " << n;
    EXPECT_FALSE(fs::exists(dir / "TEM.dbf.rewrite.tmp")) << "call " << n;
    failures += failed ? 1 : 0;
  }
  EXPECT_GT(failures, 10);
}
