// Editing records: new records with defaults, Edit, Post, Cancel, Delete,
// the events around them and memo values through blob streams.

#include <algorithm>

#include "recording_engine.h"
#include "xds_test_util.h"

using namespace xdstest;

namespace {

std::unique_ptr<TXdsTable> Urls(TXdsConnection& c, const std::string& tag = "URL_ID",
                                bool exclusive = true) {
  auto t = UrlTable(c, exclusive);
  t->SetIndexName(tag);
  t->Open();
  return t;
}

size_t CountCalls(const std::vector<std::string>& calls, const std::string& prefix) {
  return static_cast<size_t>(std::count_if(calls.begin(), calls.end(), [&](const std::string& c) {
    return c.rfind(prefix, 0) == 0;
  }));
}

std::string Message(const std::function<void()>& op) {
  try {
    op();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "(no error)";
}

// The highest URL id of the catalogue fixture.
int LastUrlId() { return std::stoi(ReadCsv("catalogue", "urls.URL_ID.csv").back()[6]); }

// "Привет, мир" in CP1251, the layer's code page.
const std::string kCyrillic = "\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0";

}  // namespace

class XdsEdit : public CatalogueTest {};

TEST_F(XdsEdit, PostRetriedAfterAFailureAppendsOneRecord) {
  auto t = Urls(*c);
  const int before = t->RecordCount();
  RecordingEngine rec;
  bool failed = false;
  rec.fail = [&](const std::string& call) -> std::optional<XDSRESULT> {
    if (!failed && call.rfind("XdsWriteRecord", 0) == 0) {
      failed = true;
      return XDS_ERR_IO;
    }
    return std::nullopt;
  };
  t->Append();
  t->FieldByName("URL")->SetAsString("retry.example.com");
  t->FieldByName("URL_ID")->SetAsInteger(100);
  try {
    t->Post();
    FAIL() << "the injected failure did not surface";
  } catch (const EXDSDatabaseError& e) {
    EXPECT_EQ(e.ErrorCode(), XDS_ERR_IO);
  }
  EXPECT_EQ(t->State(), dsInsert);
  t->Post();
  EXPECT_EQ(t->State(), dsBrowse);
  EXPECT_EQ(CountCalls(rec.calls, "XdsAppendRecord"), 1u);
  EXPECT_EQ(t->RecordCount(), before + 1);
  EXPECT_EQ(t->FieldByName("URL")->AsString(), "retry.example.com");
  EXPECT_EQ(t->RecNo(), before + 1);
  t->Close();
  t->Open();
  t->Last();
  EXPECT_EQ(t->FieldByName("URL_ID")->AsInteger(), 100);
  EXPECT_EQ(t->RecordCount(), before + 1);
}

// The URL table's insert handlers: the before-insert handler reads the last
// record by URL id in browse state; the after-insert handler numbers the new
// record, which is current and in insert state.
TEST_F(XdsEdit, InsertHandlersSeeTheStatesTheCatalogueReliesOn) {
  auto t = Urls(*c);
  t->First();
  const int count = t->RecordCount();
  RecordingEngine rec;
  std::vector<std::string> log;
  int lastId = -1;
  auto note = [&](const std::string& event) {
    return [&, event](TDataSet&) {
      log.push_back(event + (CountCalls(rec.calls, "XdsAppendRecord") > 0 ? " appended" : ""));
    };
  };
  t->BeforeInsert = [&](TDataSet& d) {
    log.push_back("BeforeInsert");
    EXPECT_EQ(d.State(), dsBrowse);
    d.Last();
    lastId = d.FieldByName("URL_ID")->AsInteger();
  };
  t->AfterInsert = [&](TDataSet& d) {
    log.push_back("AfterInsert");
    EXPECT_EQ(d.State(), dsInsert);
    d.FieldByName("URL_ID")->SetAsInteger(lastId + 1);
  };
  t->BeforeScroll = note("BeforeScroll");
  t->AfterScroll = note("AfterScroll");
  t->OnNewRecord = note("OnNewRecord");
  t->BeforePost = note("BeforePost");
  t->AfterPost = note("AfterPost");
  t->Append();
  t->FieldByName("NAME")->SetAsString(kCyrillic);
  t->Post();
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeInsert", "BeforeScroll", "AfterScroll",
                                           "BeforeScroll", "OnNewRecord", "AfterInsert",
                                           "AfterScroll", "BeforePost", "AfterPost appended"}));
  EXPECT_EQ(lastId, LastUrlId());
  EXPECT_EQ(t->FieldByName("URL_ID")->AsInteger(), LastUrlId() + 1);
  EXPECT_EQ(t->RecNo(), count + 1);
  EXPECT_EQ(t->FieldByName("NAME")->AsString(), kCyrillic);
  // The OEM table stores the name in its own code page and gives it back.
  t->Close();
  t->Open();
  t->Last();
  EXPECT_EQ(t->FieldByName("NAME")->AsString(), kCyrillic);
}

TEST_F(XdsEdit, CancelReturnsToTheRecordBeforeOrToTheLast) {
  auto t = Urls(*c);
  const int count = t->RecordCount();
  t->First();
  t->Next();
  t->Next();
  const int current = t->RecNo();
  t->Insert();
  EXPECT_EQ(t->State(), dsInsert);
  t->FieldByName("URL")->SetAsString("dropped");
  t->Cancel();
  EXPECT_EQ(t->State(), dsBrowse);
  EXPECT_EQ(t->RecNo(), current);

  t->First();
  t->Append();
  t->Cancel();
  EXPECT_EQ(t->FieldByName("URL_ID")->AsInteger(), LastUrlId());  // last in URL_ID order
  EXPECT_EQ(t->RecordCount(), count);

  // A Post that failed after the append is cancelled without a trace.
  RecordingEngine rec;
  rec.fail = [](const std::string& call) -> std::optional<XDSRESULT> {
    return call.rfind("XdsWriteRecord", 0) == 0 ? std::optional<XDSRESULT>(XDS_ERR_IO)
                                                 : std::nullopt;
  };
  t->Append();
  t->FieldByName("URL_ID")->SetAsInteger(50);
  EXPECT_THROW(t->Post(), EXDSDatabaseError);
  rec.fail = nullptr;
  t->Cancel();
  EXPECT_EQ(t->FieldByName("URL_ID")->AsInteger(), LastUrlId());
  EXPECT_EQ(t->RecordCount(), count);
}

TEST_F(XdsEdit, PostWritesOnlyTheChangedFieldsThenMemosThenTheRecord) {
  auto t = Urls(*c, "URL_ID");
  t->First();
  const std::string h = std::to_string(t->TableHandle());
  const std::string r = std::to_string(t->RecNo());
  const std::vector<std::string> writes = {"XdsSet", "XdsWriteRecord", "XdsAppendRecord",
                                           "XdsGotoRecord"};
  RecordingEngine rec;
  t->Edit();
  rec.Take();
  t->Post();
  EXPECT_EQ(rec.Take(writes), (std::vector<std::string>{"XdsGotoRecord(" + h + ", " + r + ")",
                                                       "XdsWriteRecord(" + h + ")"}));
  t->Edit();
  t->FieldByName("DESCR")->SetAsString("only the memo");
  rec.Take();
  t->Post();
  EXPECT_EQ(rec.Take(writes),
            (std::vector<std::string>{"XdsGotoRecord(" + h + ", " + r + ")",
                                      "XdsSetField(" + h + ", 3, *, 13)",
                                      "XdsWriteRecord(" + h + ")"}));
  // Fields from the last to the first; blanks are stored as an empty field.
  t->Edit();
  t->FieldByName("URL")->SetAsString("   ");
  t->FieldByName("DESCR")->SetAsString(kCyrillic);
  t->FieldByName("URL_ID")->SetAsInteger(1);
  t->FieldByName("NAME")->SetAsString(kCyrillic);
  rec.Take();
  t->Post();
  EXPECT_EQ(rec.Take(writes), (std::vector<std::string>{
                                  "XdsGotoRecord(" + h + ", " + r + ")",
                                  "XdsSetFieldRaw(" + h + ", 5, *, 10)",
                                  "XdsSetField(" + h + ", 2, *, 100)",
                                  "XdsSetEmpty(" + h + ", 1)",
                                  "XdsSetField(" + h + ", 3, *, " +
                                      std::to_string(kCyrillic.size()) + ")",
                                  "XdsWriteRecord(" + h + ")"}));
  EXPECT_TRUE(t->FieldByName("URL")->IsNull());
  t->Close();
  t->Open();
  t->First();
  EXPECT_EQ(t->FieldByName("DESCR")->AsString(), kCyrillic);
  EXPECT_EQ(t->FieldByName("NAME")->AsString(), kCyrillic);
  EXPECT_EQ(t->FieldByName("URL")->AsString(), "");
}

TEST_F(XdsEdit, MemoIsReadOnceAndANewRecordsStreamReadsNothing) {
  auto t = Urls(*c, "URL_ID");
  auto csv = ReadCsv("catalogue", "urls.URL_ID.csv");
  // The first record with a description.
  t->First();
  size_t row = 0;
  while (csv[row][4].empty()) {
    t->Next();
    ++row;
  }
  RecordingEngine rec;
  std::string first = t->FieldByName("DESCR")->AsString();
  std::string second = t->FieldByName("DESCR")->AsString();
  EXPECT_EQ(first, second);
  EXPECT_FALSE(first.empty());
  EXPECT_EQ(CountCalls(rec.Take(), "XdsGetMemoLength"), 1u);

  t->Append();
  rec.Take();
  {
    auto stream = t->CreateBlobStream(*t->FieldByName("DESCR"), bmWrite);
    EXPECT_EQ(stream->Size(), 0);
    stream->WriteString(kCyrillic + "\r\n\"quoted\"");
  }
  EXPECT_TRUE(t->Modified());
  auto calls = rec.Take();
  EXPECT_EQ(CountCalls(calls, "XdsGetMemoLength") + CountCalls(calls, "XdsGetField") +
                CountCalls(calls, "XdsGotoRecord"),
            0u);
  t->FieldByName("URL_ID")->SetAsInteger(77);
  t->Post();
  EXPECT_EQ(t->FieldByName("DESCR")->AsString(), kCyrillic + "\r\n\"quoted\"");
  t->Close();
  t->Open();
  t->Last();
  EXPECT_EQ(t->FieldByName("URL_ID")->AsInteger(), 77);
  EXPECT_EQ(t->FieldByName("DESCR")->AsString(), kCyrillic + "\r\n\"quoted\"");
}

TEST_F(XdsEdit, BlobStreamRefusals) {
  auto t = Urls(*c);
  TField& descr = *t->FieldByName("DESCR");
  EXPECT_EQ(Message([&] { t->CreateBlobStream(descr, bmWrite); }),
            "HDSUrls: Table must be in Edit or Insert state to open blob stream in Write Mode.");
  EXPECT_EQ(Message([&] { t->CreateBlobStream(descr, bmReadWrite); }),
            "HDSUrls: Table must be in Edit or Insert state to open blob stream in Write Mode.");
  EXPECT_EQ(Message([&] { t->CreateBlobStream(*t->FieldByName("NAME"), bmRead); }),
            "HDSUrls: Invalid blob open on non-blob field.");
  auto reading = t->CreateBlobStream(descr, bmRead);
  EXPECT_EQ(Message([&] { reading->WriteString("x"); }), "Error modifying read only blob.");
  reading.reset();
  // A read-write stream while editing starts from the stored value.
  t->Edit();
  std::string stored = descr.AsString();
  {
    auto rw = t->CreateBlobStream(descr, bmReadWrite);
    EXPECT_EQ(rw->ReadAll(), stored);
    rw->WriteString("+");
  }
  EXPECT_EQ(descr.AsString(), stored + "+");
  t->Cancel();
  EXPECT_EQ(descr.AsString(), stored);
}

TEST_F(XdsEdit, FieldDefaultsOfANewRecord) {
  CreateTable(dir.str(), "DEF.DBF",
              {{"S", 'C', 10, 0}, {"Q", 'C', 10, 0}, {"B", 'L', 1, 0}, {"N", 'N', 8, 2},
               {"D", 'D', 8, 0}, {"I", 'I', 4, 0}});
  auto t = Table(*c, "HDSDef", "DEF.DBF");
  t->Open();
  t->FieldByName("S")->SetDefaultExpression("  'abc'  ");
  t->FieldByName("Q")->SetDefaultExpression("abc");
  t->FieldByName("B")->SetDefaultExpression(".t.");
  t->FieldByName("N")->SetDefaultExpression("12.5");
  t->FieldByName("D")->SetDefaultExpression("03.02.2001");
  t->FieldByName("I")->SetDefaultExpression("-7");
  t->Append();
  EXPECT_EQ(t->FieldByName("S")->AsString(), "abc");
  EXPECT_TRUE(t->FieldByName("Q")->IsNull());
  EXPECT_TRUE(t->FieldByName("B")->AsBoolean());
  EXPECT_DOUBLE_EQ(t->FieldByName("N")->AsFloat(), 12.5);
  EXPECT_EQ(t->FieldByName("D")->AsString(), "03.02.2001");
  EXPECT_EQ(t->FieldByName("I")->AsInteger(), -7);
  EXPECT_FALSE(t->Modified());
  RecordingEngine rec;
  t->Post();
  // Fields with defaults are written though nothing was typed.
  EXPECT_EQ(CountCalls(rec.calls, "XdsSetField") + CountCalls(rec.calls, "XdsSetEmpty"), 6u);
  t->Close();
  t->Open();
  EXPECT_EQ(t->FieldByName("S")->AsString(), "abc");
  EXPECT_TRUE(t->FieldByName("B")->AsBoolean());
  EXPECT_EQ(t->FieldByName("I")->AsInteger(), -7);

  t->FieldByName("I")->SetDefaultExpression("-2147483648");
  EXPECT_EQ(Message([&] { t->Append(); }),
            "HDSDef: Error setting default field value. (I)\r\nNumeric out of range:-2147483648");
  EXPECT_EQ(t->State(), dsBrowse);
  t->FieldByName("I")->SetDefaultExpression("");
  t->FieldByName("N")->SetDefaultExpression("twelve");
  try {
    t->Append();
    FAIL();
  } catch (const EXDSDatabaseError& e) {
    EXPECT_EQ(e.ErrorCode(), 0);
    EXPECT_EQ(std::string(e.what()).rfind("HDSDef: Error setting default field value. (N)\r\n", 0),
              0u)
        << e.what();
  }
  EXPECT_EQ(t->State(), dsBrowse);
  EXPECT_EQ(t->RecordCount(), 1);
}

TEST_F(XdsEdit, DeleteEventsAndAFailingDelete) {
  auto t = Table(*c, "HDSUrlIn", "URLIN.DBF");
  t->Open();
  t->GotoRecord(4);
  std::vector<std::string> log;
  t->BeforeDelete = [&](TDataSet& d) { log.push_back("BeforeDelete " + std::to_string(d.RecNo())); };
  t->AfterDelete = [&](TDataSet& d) {
    log.push_back("AfterDelete " + std::to_string(d.State() == dsBrowse));
  };
  RecordingEngine rec;
  rec.fail = [](const std::string& call) -> std::optional<XDSRESULT> {
    return call.rfind("XdsWriteRecord", 0) == 0 ? std::optional<XDSRESULT>(XDS_ERR_IO)
                                                 : std::nullopt;
  };
  try {
    t->Delete();
    FAIL();
  } catch (const EXDSDatabaseError& e) {
    EXPECT_EQ(e.ErrorCode(), XDS_ERR_IO);
    EXPECT_NE(std::string(e.what()).find("injected failure of XdsWriteRecord"), std::string::npos)
        << e.what();
  }
  EXPECT_EQ(CountCalls(rec.Take(), "XdsCancelUpdate"), 1u);
  rec.fail = nullptr;
  t->Refresh();
  uint16_t deleted = 1;
  ASSERT_EQ(XdsIsRecordDeleted(t->TableHandle(), &deleted), 0);
  EXPECT_EQ(deleted, 0);

  t->Delete();
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeDelete 4", "BeforeDelete 4", "AfterDelete 1"}));
  // Deleted records are shown here: the deleted one stays current, marked.
  EXPECT_EQ(t->RecNo(), 4);
  ASSERT_EQ(XdsIsRecordDeleted(t->TableHandle(), &deleted), 0);
  EXPECT_EQ(deleted, 1);
}

TEST_F(XdsEdit, SharedTableLocksTheEditedRecord) {
  auto t = Table(*c, "HDSUrlIn", "URLIN.DBF", /*exclusive=*/false);
  t->Open();
  t->GotoRecord(2);
  const std::string h = std::to_string(t->TableHandle());
  RecordingEngine rec;
  const std::vector<std::string> locks = {"XdsLockRecord", "XdsUnlockRecord"};
  t->Edit();
  t->FieldByName("TEM_ID")->SetAsInteger(9);
  t->Post();
  EXPECT_EQ(rec.Take(locks), (std::vector<std::string>{"XdsLockRecord(" + h + ", 2)",
                                                      "XdsUnlockRecord(" + h + ", 2)"}));
  t->Edit();
  t->Cancel();
  EXPECT_EQ(rec.Take(locks), (std::vector<std::string>{"XdsLockRecord(" + h + ", 2)",
                                                      "XdsUnlockRecord(" + h + ", 2)"}));
  // A refused lock keeps the record in browse state.
  rec.fail = [](const std::string& call) -> std::optional<XDSRESULT> {
    return call.rfind("XdsLockRecord", 0) == 0 ? std::optional<XDSRESULT>(5064) : std::nullopt;
  };
  EXPECT_EQ(Message([&] { t->Edit(); }),
            "HDSUrlIn: This table is based on a static VIEW. Static VIEWs can not be updated.");
  EXPECT_EQ(t->State(), dsBrowse);
}

TEST_F(XdsEdit, EditStartsFromTheStoredValues) {
  auto t = Table(*c, "HDSUrlIn", "URLIN.DBF");
  t->Open();
  t->GotoRecord(3);
  // Another handle changes the record behind the component's back.
  ASSERT_EQ(XdsGotoRecord(t->TableHandle(), 3), 0);
  const char value[] = "        42";
  ASSERT_EQ(XdsSetField(t->TableHandle(), 1, value, 10), 0);
  ASSERT_EQ(XdsWriteRecord(t->TableHandle()), 0);
  EXPECT_EQ(t->FieldByName("TEM_ID")->AsInteger(), 2);
  t->Edit();
  EXPECT_EQ(t->FieldByName("TEM_ID")->AsInteger(), 42);
  t->FieldByName("TEM_ID")->SetAsInteger(43);
  t->Post();
  EXPECT_EQ(t->FieldByName("TEM_ID")->AsInteger(), 43);
}

TEST_F(XdsEdit, UnsupportedOperations) {
  auto t = Urls(*c);
  EXPECT_EQ(Message([&] { t->BatchMove(); }),
            "HDSUrls: The method BatchMove in TXdsDataSet is not supported.");
  EXPECT_EQ(Message([&] { t->RenameTable("x"); }),
            "HDSUrls: The method RenameTable in TXdsDataSet is not supported.");
  EXPECT_EQ(Message([&] { t->UpdateStatus(); }),
            "HDSUrls: The method UpdateStatus in TXdsDataSet is not supported.");
}
