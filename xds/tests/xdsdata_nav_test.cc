// Record fetch, navigation, record numbers, counts and bookmarks, with the
// engine calls they make.

#include "recording_engine.h"
#include "xds_test_util.h"

using namespace xdstest;

namespace {

// NAME C(10), NUM N(10), NOTE M with records a1..aN (NUM = i, NOTE set on
// even records).
std::unique_ptr<TXdsConnection> MakeTable(const TempDir& dir, int count, bool oem = false) {
  CreateTable(dir.str(), "T.DBF", {{"NAME", 'C', 10, 0}, {"NUM", 'N', 10, 0}, {"NOTE", 'M', 0, 0}},
              oem);
  XDSHANDLE c = 0;
  XDSHANDLE h = 0;
  EXPECT_EQ(XdsConnect60(dir.str().c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), 0);
  EXPECT_EQ(XdsOpenTable(c, "T.DBF", nullptr, 2, oem ? 2 : 1, 1, 1, 1, &h), 0);
  for (int i = 1; i <= count; ++i) {
    std::string name = "\xe0" + std::to_string(i);  // Cyrillic a
    std::string num = std::to_string(count + 1 - i);
    EXPECT_EQ(XdsAppendRecord(h), 0);
    EXPECT_EQ(XdsSetField(h, 1, name.data(), static_cast<uint32_t>(name.size())), 0);
    EXPECT_EQ(XdsSetField(h, 2, num.data(), static_cast<uint32_t>(num.size())), 0);
    if (i % 2 == 0) {
      EXPECT_EQ(XdsSetField(h, 3, "memo", 4), 0);
    }
    EXPECT_EQ(XdsWriteRecord(h), 0);
  }
  EXPECT_EQ(XdsCreateIndexTag(h, "NUM", "NUM", "", 0, 0), 0);
  EXPECT_EQ(XdsCloseTable(h), 0);
  EXPECT_EQ(XdsDisconnect(c), 0);
  return Connect(dir.str());
}

// Opens t with its character fields read as CP866.
template <class T>
std::unique_ptr<T> OpenOem(std::unique_ptr<T> t) {
  t->XdsTableOptions().SetXdsCharType(OEM);
  t->Open();
  return t;
}

std::string H(XDSHANDLE h) { return std::to_string(h); }

std::vector<int> NumsToEnd(TDataSet& t) {
  std::vector<int> nums;
  for (; !t.Eof(); t.Next()) {
    nums.push_back(t.FieldByName("NUM")->AsInteger());
  }
  return nums;
}

}  // namespace

TEST(XdsNavigation, NextFetchesWithTheEngineCallsInOrder) {
  TempDir dir;
  auto c = MakeTable(dir, 3);
  auto t = Table(*c, "HDST", "T.DBF");
  t->Open();
  RecordingEngine rec;
  t->Next();
  std::string th = H(t->TableHandle());
  // One engine call moves and delivers the record; the memo's emptiness is
  // asked separately.
  EXPECT_EQ(rec.Take(), (std::vector<std::string>{
                            "XdsFetchRecord(" + th + ", 1, *, 31, *, *)",
                            "XdsIsEmpty(" + th + ", 3, *)",
                        }));
  EXPECT_EQ(t->RecNo(), 2);
  EXPECT_TRUE(t->FieldByName("NOTE")->IsNull() == false);
  t->First();
  // The step off the top and back on is not taken: each would walk every
  // record a filter hides before the first.
  auto first = rec.Take({"XdsGotoTop", "XdsSkip", "XdsFetchRecord", "XdsGetRecordNum"});
  EXPECT_EQ(first, (std::vector<std::string>{"XdsGotoTop(" + th + ")",
                                             "XdsGetRecordNum(" + th + ", 2, *)",
                                             "XdsFetchRecord(" + th + ", 0, *, 31, *, *)"}));
  EXPECT_TRUE(t->FieldByName("NOTE")->IsNull());
  t->Last();
  auto last = rec.Take({"XdsGotoBottom", "XdsSkip", "XdsFetchRecord"});
  ASSERT_GE(last.size(), 2u);
  EXPECT_EQ(last[0], "XdsGotoBottom(" + th + ")");
  EXPECT_EQ(last[1], "XdsFetchRecord(" + th + ", 0, *, 31, *, *)");
  EXPECT_EQ(t->RecNo(), 3);
  t->Next();
  EXPECT_TRUE(t->Eof());
  EXPECT_EQ(t->RecNo(), 3);
}

// First and Last leave their step off the end to the fetch that follows;
// whatever comes instead of that fetch still finds the cursor off the end.
TEST(XdsNavigation, EndsReachedByAFilterBehaveAsStepsOffTheEnd) {
  TempDir dir;
  auto c = MakeTable(dir, 7);  // NUM 7..1 in record order
  auto t = Table(*c, "HDST", "T.DBF");
  t->SetFilter("NUM >= 3 .AND. NUM <= 5");
  t->SetFiltered(true);
  t->Open();
  EXPECT_EQ(NumsToEnd(*t), (std::vector<int>{5, 4, 3}));
  t->Last();
  EXPECT_EQ(t->FieldByName("NUM")->AsInteger(), 3);
  t->Prior();
  t->Prior();
  t->Prior();
  EXPECT_TRUE(t->Bof());
  EXPECT_EQ(t->FieldByName("NUM")->AsInteger(), 5);
  // The handler turns away the record the filter starts with.
  t->SetOnFilterRecord([](TDataSet& d, bool& accept) {
    accept = d.FieldByName("NUM")->AsInteger() != 5;
  });
  t->First();
  EXPECT_EQ(t->FieldByName("NUM")->AsInteger(), 4);
  t->SetOnFilterRecord(nullptr);
  // A new record before the first, given up: back on the first.
  t->First();
  t->Insert();
  t->Cancel();
  EXPECT_EQ(t->FieldByName("NUM")->AsInteger(), 5);
  t->Refresh();
  EXPECT_EQ(t->FieldByName("NUM")->AsInteger(), 5);
  t->SetFilter("NUM > 100");
  EXPECT_TRUE(t->Eof() && t->Bof());
  t->Last();
  EXPECT_TRUE(t->IsEmpty());
}

TEST(XdsNavigation, OemTableRereadsEachCharacterFieldConverted) {
  TempDir dir;
  auto c = MakeTable(dir, 2, /*oem=*/true);
  auto t = OpenOem(Probe(*c, "HDST", "T.DBF"));
  RecordingEngine rec;
  t->Next();
  EXPECT_EQ(rec.Take({"XdsGetField"}),
            (std::vector<std::string>{"XdsGetField(" + H(t->TableHandle()) + ", 1, *, *, 0)"}));
  EXPECT_EQ(t->FieldByName("NAME")->AsString(), "\xe0" "2");
  // The byte after the character field is the number's first, kept as it was.
  EXPECT_EQ(t->Image()[11], ' ');
  EXPECT_EQ(t->FieldByName("NUM")->AsInteger(), 1);
}

// A record OnFilterRecord turns down is never shown: its memo markers and
// converted text are read only when the handler reads such a field or
// accepts, and then from the judged record even if the handler moved the
// table (a Lookup of its own).
TEST(XdsNavigation, AJudgedRecordIsCompletedOnlyWhenReadOrAccepted) {
  TempDir dir;
  auto c = MakeTable(dir, 4, /*oem=*/true);
  auto t = OpenOem(Table(*c, "HDST", "T.DBF"));
  auto nameOf = [](int num) { return "\xe0" + std::to_string(5 - num); };
  t->SetOnFilterRecord([](TDataSet& d, bool& accept) {
    accept = d.FieldByName("NUM")->AsInteger() % 2 == 0;
  });
  RecordingEngine rec;
  t->SetFiltered(true);
  std::vector<std::string> seen;
  for (; !t->Eof(); t->Next()) {
    const int num = t->FieldByName("NUM")->AsInteger();
    EXPECT_EQ(t->FieldByName("NAME")->AsString(), nameOf(num));
    EXPECT_EQ(t->FieldByName("NOTE")->IsNull(), (5 - num) % 2 != 0);
    seen.push_back(t->FieldByName("NAME")->AsString());
  }
  EXPECT_EQ(seen.size(), 2u);
  // Two records accepted, two turned down unread: one text and one memo
  // question for each accepted record only.
  EXPECT_EQ(rec.Take({"XdsGetField", "XdsIsEmpty"}).size(), 4u);

  std::vector<std::pair<std::string, bool>> read;
  t->SetOnFilterRecord([&](TDataSet& d, bool& accept) {
    const int num = d.FieldByName("NUM")->AsInteger();
    (void)d.Lookup("NUM", TVariant(num == 1 ? 4 : 1), "NAME");
    read.emplace_back(d.FieldByName("NAME")->AsString(), d.FieldByName("NOTE")->IsNull());
    accept = read.back().first == nameOf(num) && read.back().second == ((5 - num) % 2 != 0);
  });
  t->First();
  ASSERT_FALSE(read.empty());
  EXPECT_EQ(read[0], std::make_pair(nameOf(4), true));
  EXPECT_EQ(t->FieldByName("NUM")->AsInteger(), 4);
  EXPECT_EQ(t->FieldByName("NAME")->AsString(), nameOf(4));
}

TEST(XdsNavigation, IndexOrderWalkAndRecordNumbers) {
  TempDir dir;
  auto c = MakeTable(dir, 5);
  auto t = Table(*c, "HDST", "T.DBF");
  t->SetIndexName("NUM");
  t->Open();
  EXPECT_EQ(NumsToEnd(*t), (std::vector<int>{1, 2, 3, 4, 5}));
  t->First();
  // Sequenced is false: the record number is the physical one.
  EXPECT_EQ(t->RecNo(), 5);
  RecordingEngine rec;
  t->SetRecNo(2);
  auto moves = rec.Take({"XdsGetRecordCount", "XdsSetRelKeyPos", "XdsGotoRecord"});
  ASSERT_EQ(moves.size(), 2u);
  EXPECT_EQ(moves[0], "XdsGetRecordCount(" + H(t->TableHandle()) + ", 2, *)");
  EXPECT_EQ(moves[1], "XdsSetRelKeyPos(" + H(t->OrderHandle()) + ", 0.4)");
}

TEST(XdsNavigation, RecordNumberSetWithoutIndexGoesToThePhysicalRecord) {
  TempDir dir;
  auto c = MakeTable(dir, 5);
  auto t = Table(*c, "HDST", "T.DBF");
  t->Open();
  std::vector<std::string> events;
  t->BeforeScroll = [&](TDataSet&) { events.push_back("BeforeScroll"); };
  t->AfterScroll = [&](TDataSet&) { events.push_back("AfterScroll"); };
  RecordingEngine rec;
  t->SetRecNo(4);
  EXPECT_EQ(rec.Take({"XdsGotoRecord"}),
            (std::vector<std::string>{"XdsGotoRecord(" + H(t->TableHandle()) + ", 4)"}));
  EXPECT_EQ(t->RecNo(), 4);
  EXPECT_EQ(t->FieldByName("NUM")->AsInteger(), 2);
  EXPECT_EQ(events, (std::vector<std::string>{"BeforeScroll", "AfterScroll"}));
  EXPECT_THROW(t->SetRecNo(99), EXDSDatabaseError);
}

TEST(XdsNavigation, RecordCountOptions) {
  TempDir dir;
  auto c = MakeTable(dir, 4);
  auto t = Table(*c, "HDST", "T.DBF");
  t->SetIndexName("NUM");
  t->Open();
  std::string th = H(t->TableHandle());
  std::string oh = H(t->OrderHandle());
  RecordingEngine rec;
  EXPECT_EQ(t->RecordCount(), 4);
  EXPECT_EQ(rec.Take({"XdsGetRecordCount"}),
            (std::vector<std::string>{"XdsGetRecordCount(" + oh + ", 2, *)"}));
  t->XdsTableOptions().XdsFilterOptions = RESPECT_WHEN_COUNTING;
  t->XdsTableOptions().XdsFreshRecordCount = true;
  EXPECT_EQ(t->RecordCount(), 4);
  // A plain index counts on the table itself.
  EXPECT_EQ(rec.Take({"XdsGetRecordCount"}),
            (std::vector<std::string>{"XdsGetRecordCount(" + th + ", 5, *)"}));
  t->XdsTableOptions().XdsFilterOptions = IGNORE_WHEN_COUNTING;
  t->XdsTableOptions().XdsScopeOptions = RESPECT_SCOPES_WHEN_COUNTING;
  t->XdsTableOptions().XdsFreshRecordCount = false;
  EXPECT_EQ(t->RecordCount(), 4);
  EXPECT_EQ(rec.Take({"XdsGetRecordCount"}),
            (std::vector<std::string>{"XdsGetRecordCount(" + oh + ", 3, *)"}));
}

TEST(XdsNavigation, PassedOverResults) {
  TempDir dir;
  auto c = MakeTable(dir, 3);
  auto t = Table(*c, "HDST", "T.DBF");
  t->Open();
  t->Next();
  TBookmark two = t->GetBookmark();
  RecordingEngine rec;
  rec.fail = [](const std::string& call) -> std::optional<XDSRESULT> {
    if (call.rfind("XdsRefreshRecord", 0) == 0) {
      return 5068;
    }
    return std::nullopt;
  };
  EXPECT_NO_THROW(t->Refresh());
  EXPECT_EQ(t->FieldByName("NUM")->AsInteger(), 2);
  rec.fail = [](const std::string& call) -> std::optional<XDSRESULT> {
    return call.rfind("XdsFetchRecord", 0) == 0 ? std::optional<XDSRESULT>(6002)
                                                     : std::nullopt;
  };
  EXPECT_THROW(t->Next(), EXDSDatabaseError);
  rec.fail = nullptr;
  t->First();
  t->GotoBookmark(two);
  EXPECT_EQ(t->RecNo(), 2);
}

TEST(XdsNavigation, BookmarksCompareAndValidate) {
  TempDir dir;
  auto c = MakeTable(dir, 3);
  auto t = Table(*c, "HDST", "T.DBF");
  t->Open();
  TBookmark one = t->GetBookmark();
  t->Next();
  TBookmark two = t->GetBookmark();
  EXPECT_EQ(t->CompareBookmarks({}, {}), 0);
  EXPECT_EQ(t->CompareBookmarks(one, {}), -1);
  EXPECT_EQ(t->CompareBookmarks({}, one), 1);
  EXPECT_EQ(t->CompareBookmarks(one, two), -1);
  EXPECT_EQ(t->CompareBookmarks(two, one), 1);
  EXPECT_TRUE(t->BookmarkValid(two));
  TBookmark nowhere = two;
  nowhere[0] = 99;
  EXPECT_FALSE(t->BookmarkValid(nowhere));
  // A deleted record's bookmark is valid while deleted records are shown.
  ASSERT_EQ(XdsGotoRecord(t->TableHandle(), 2), 0);
  ASSERT_EQ(XdsDeleteRecord(t->TableHandle()), 0);
  ASSERT_EQ(XdsWriteRecord(t->TableHandle()), 0);
  EXPECT_TRUE(t->BookmarkValid(two));
  ASSERT_EQ(XdsSetDeleted(t->TableHandle(), 1), 0);
  EXPECT_FALSE(t->BookmarkValid(two));
  t->Close();
  EXPECT_FALSE(t->BookmarkValid(one));
}

TEST(XdsNavigation, FixtureCatalogueInEveryTagOrder) {
  TempDir dir;
  XDS_REQUIRE_FIXTURES("catalogue", dir);
  auto c = Connect(dir.str());
  for (const char* tag : {"TEMURL", "TEM_ID", "TEM_URL"}) {
    SCOPED_TRACE(tag);
    auto t = Table(*c, "HDSUrlIn", "URLIN.DBF");
    t->SetIndexName(tag);
    t->Open();
    auto csv = ReadCsv("catalogue", std::string("URLIN.") + tag + ".csv");
    size_t row = 0;
    for (; !t->Eof(); t->Next(), ++row) {
      ASSERT_LT(row, csv.size());
      EXPECT_EQ(t->RecNo(), std::stoi(csv[row][0]));
      EXPECT_EQ(t->FieldByName("TEM_ID")->AsInteger(), std::stoi(csv[row][2]));
    }
    EXPECT_EQ(row, csv.size());
    // And backwards.
    t->Last();
    for (size_t back = csv.size(); back-- > 0; t->Prior()) {
      EXPECT_EQ(t->RecNo(), std::stoi(csv[back][0]));
      if (t->Bof()) {
        break;
      }
    }
  }
}
