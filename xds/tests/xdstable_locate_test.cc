// Locate, Lookup and the find operations on real tables, with the calls the
// catalogue makes.

#include <algorithm>
#include <map>
#include <numeric>
#include <random>

#include "db/format.h"
#include "engine_rows.h"
#include "recording_engine.h"

using namespace xdstest;

namespace {

using Rows = std::vector<std::string>;

// The membership table with its three tags, rows stored out of URL order.
void WriteMemberships(const std::string& dir, bool withUrlTag = true) {
  std::vector<XDSTAGDEF> tags = {{"TEMURL", "STR(TEM_ID,10)+STR(URL_ID,10)", nullptr, 0, 0},
                                 {"TEM_ID", "TEM_ID", nullptr, 0, 0}};
  if (withUrlTag) {
    tags.push_back({"TEM_URL", "URL_ID", nullptr, 0, 0});
  }
  WriteTable(dir, "URLIN.DBF", {{"TEM_ID", 'N', 10, 0}, {"URL_ID", 'N', 10, 0}},
             {{"3", "12"}, {"1", "12"}, {"2", "5"}, {"7", "9"}, {"1", "9"}}, tags);
}

// A URL table in the OEM character set, as the catalogue declares it.
void WriteUrls(const std::string& dir) {
  WriteTable(dir, "urls.DBF",
             {{"URL", 'C', 30, 0},
              {"NAME", 'C', 20, 0},
              {"ADRESTYPE", 'C', 10, 0},
              {"URL_ID", 'N', 10, 0}},
             {{"www.zeta.org", Ansi("Ёлки"), "1", "1"},
              {"ab\"c.example", Ansi("Сайт погоды"), "2", "2"},
              {"gone.example", Ansi("сайт удалён"), "1", "3", "*"},
              {"AB.example", Ansi("САЙТ новостей"), "1", "4"},
              {"abx.example", "", "2", "5"},
              {"abc.example", "Latin", "", "6"}},
             {{"URL", "URL", nullptr, 0, 0},
              {"URL_ID", "URL_ID", nullptr, 0, 0},
              {"NAME", "NAME", nullptr, 0, 0}},
             /*oem=*/true);
}

class XdsLocateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteMemberships(dir_.str());
    WriteUrls(dir_.str());
    conn_ = Connect(dir_.str());
    urlIn_ = Table(*conn_, "HDSUrlIn", "URLIN.DBF");
    urls_ = Table(*conn_, "HDSUrls", "urls.DBF");
    urls_->XdsTableOptions().SetXdsCharType(OEM);
    urls_->SetFilter("not deleted()");
    urls_->SetFiltered(true);
    urls_->SetIndexName("URL_ID");
  }

  XDSHANDLE Tag(TXdsTable& t, const char* name) {
    XDSHANDLE h = 0;
    EXPECT_EQ(XdsGetIndexHandle(t.TableHandle(), name, &h), 0);
    return h;
  }
  int Id(TXdsTable& t) { return t.FieldByName("URL_ID")->AsInteger(); }

  TempDir dir_;
  std::unique_ptr<TXdsConnection> conn_;
  std::unique_ptr<TXdsTable> urlIn_;
  std::unique_ptr<TXdsTable> urls_;
};

TEST_F(XdsLocateTest, UrlIdSeeksThroughTheUrlTagWhileTheSectionTagIsTheOrder) {
  urlIn_->SetIndexName("TEM_ID");
  urlIn_->Open();
  RecordingEngine rec;
  EXPECT_TRUE(urlIn_->Locate("URL_ID", TVariant(9.0), 0));
  const std::string seek = "XdsSeek(" + std::to_string(Tag(*urlIn_, "TEM_URL")) + ", ";
  auto calls = rec.Take({"XdsSeek", "XdsSetAOF"});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].rfind(seek, 0), 0u) << calls[0];
  EXPECT_EQ(Id(*urlIn_), 9);
  EXPECT_EQ(urlIn_->FieldByName("TEM_ID")->AsInteger(), 7) << "first in the URL tag's order";

  // The membership filter counts: only rows of the marked sections are found.
  urlIn_->SetFilter("(TEM_ID=1) OR (TEM_ID=2)");
  urlIn_->SetFiltered(true);
  EXPECT_TRUE(urlIn_->Locate("URL_ID", TVariant(12.0), 0));
  EXPECT_EQ(urlIn_->FieldByName("TEM_ID")->AsInteger(), 1);
  EXPECT_FALSE(urlIn_->Locate("URL_ID", TVariant(7.0), 0));
  urlIn_->SetFilter("(TEM_ID=3)");
  urlIn_->SetFiltered(true);
  EXPECT_FALSE(urlIn_->Locate("URL_ID", TVariant(5.0), 0)) << "hidden by the filter";
  EXPECT_EQ(Id(*urlIn_), 12) << "a miss leaves the current record";
}

TEST(XdsLocate, OnlyACompoundTagLeavesTheFilterPath) {
  TempDir dir;
  WriteMemberships(dir.str(), /*withUrlTag=*/false);
  auto c = Connect(dir.str());
  auto t = Table(*c, "HDSUrlIn", "URLIN.DBF");
  t->SetIndexName("TEM_ID");
  t->Open();
  RecordingEngine rec;
  EXPECT_TRUE(t->Locate("URL_ID", TVariant(5.0), 0));
  const std::string h = std::to_string(t->TableHandle());
  EXPECT_EQ(rec.Take({"XdsSeek", "XdsSetAOF", "XdsClearAOF", "XdsSetExact22"}),
            (Rows{"XdsSetExact22(" + h + ", 1)", "XdsSetAOF(" + h + ", \"(URL_ID=5)\", 2)",
                  "XdsClearAOF(" + h + ")", "XdsSetExact22(" + h + ", 0)"}));
  EXPECT_EQ(t->FieldByName("TEM_ID")->AsInteger(), 2);
  // A key covering the compound tag's segments from the first seeks.
  EXPECT_TRUE(t->Locate("URL_ID;TEM_ID", TVariant(std::vector<TVariant>{TVariant(9.0), TVariant(1.0)}), 0));
  EXPECT_EQ(rec.Take({"XdsSeek"}).size(), 1u);
  EXPECT_EQ(t->RecNo(), 5);
}

// The compound tag STR(TEM_ID,10)+STR(URL_ID,10) comes first and starts with
// the section id, but a seek builds a whole key: it must not answer a locate
// of the section id alone (it would seek URL id 0 and miss).
TEST_F(XdsLocateTest, ASectionIdIsFoundThoughACompoundTagStartsWithIt) {
  urlIn_->SetIndexName("TEM_ID");
  urlIn_->Open();
  for (bool ordered : {true, false}) {
    if (!ordered) {
      urlIn_->SetIndexName("");
    }
    urlIn_->First();
    EXPECT_TRUE(urlIn_->Locate("TEM_ID", TVariant(7.0), 0)) << ordered;
    EXPECT_EQ(Id(*urlIn_), 9) << ordered;
    EXPECT_TRUE(urlIn_->Locate("TEM_ID", TVariant(int32_t{3}), 0)) << ordered;
    EXPECT_EQ(Id(*urlIn_), 12) << ordered;
    EXPECT_FALSE(urlIn_->Locate("TEM_ID", TVariant(4.0), 0)) << ordered;
  }
}

TEST_F(XdsLocateTest, SearchBoxFindsCyrillicAndLatinPrefixesInAnyCase) {
  urls_->Open();
  struct Case {
    const char* field;
    std::string text;
    int id;  // 0: not found
  } cases[] = {
      {"NAME", Ansi("сайт"), 2},  // "Сайт погоды"; the deleted "сайт удалён" is hidden
      {"NAME", Ansi("САЙТ Н"), 4},
      {"NAME", Ansi("ёл"), 1},
      {"URL", "ab", 2},
      {"URL", "ABX", 5},
      {"URL", "gone", 0},
      {"URL", "ab\"c", 2},
      {"URL", std::string(40, 'a'), 0},  // longer than the field
  };
  for (const Case& c : cases) {
    urls_->Last();
    int before = Id(*urls_);
    bool found = urls_->Locate(c.field, TVariant(c.text), loCaseInsensitive | loPartialKey);
    EXPECT_EQ(found, c.id != 0) << c.field << " " << c.text;
    EXPECT_EQ(Id(*urls_), c.id != 0 ? c.id : before) << c.field << " " << c.text;
    // The table's own filter and exact setting are back.
    EXPECT_EQ(EngineAof(urls_->TableHandle()), "not deleted()");
    EXPECT_EQ(EngineExact(urls_->TableHandle()), 1);
  }
}

TEST_F(XdsLocateTest, LocateExpressionsForQuotesEmptyValuesAndOtherTypes) {
  urls_->Open();
  RecordingEngine rec;
  auto sent = [&]() {
    for (const std::string& call : rec.Take({"XdsSetAOF"})) {
      if (call.find("not deleted()") != std::string::npos &&
          call.find(" AND ") != std::string::npos) {
        return call.substr(call.find('"') + 1, call.find(" AND (not deleted())") -
                                                   call.find('"') - 1);
      }
    }
    return std::string();
  };
  EXPECT_TRUE(urls_->Locate("URL", TVariant(std::string("ab\"c")), loCaseInsensitive | loPartialKey));
  EXPECT_EQ(sent(), "(UPPER(URL)=UPPER(\"ab\"+ Chr(34) + \"c\"))");
  // A cleared search box looks for an empty field.
  EXPECT_FALSE(urls_->Locate("URL", TVariant(std::string()), loCaseInsensitive | loPartialKey));
  EXPECT_EQ(sent(), "(empty(URL))");
  EXPECT_TRUE(urls_->Locate("NAME", TVariant(std::string()), loCaseInsensitive));
  EXPECT_EQ(sent(), "(empty(NAME))");
  EXPECT_EQ(Id(*urls_), 5);
  // Trailing blanks of a value are lost; several fields are joined.
  EXPECT_TRUE(urls_->Locate("ADRESTYPE;URL_ID", TVariant(std::vector<TVariant>{TVariant("1  "), TVariant(4.0)}),
                            loCaseInsensitive));
  EXPECT_EQ(sent(), "(UPPER(ADRESTYPE)=UPPER(\"1\")) AND (URL_ID=4)");
  EXPECT_EQ(Id(*urls_), 4);

  TempDir dir;
  WriteTable(dir.str(), "KINDS.DBF", {{"OK", 'L', 1, 0}, {"DAY", 'D', 8, 0}, {"PRICE", 'N', 8, 2}},
             {{"T", "20240229", "12.5"}, {"F", "20240301", "3"}}, {});
  auto c = Connect(dir.str());
  auto k = Table(*c, "HDSKinds", "KINDS.DBF");
  k->Open();
  TVariant values = TVariant(std::vector<TVariant>
      {TVariant(true), TVariant::FromDateTime(EncodeDate(2024, 2, 29)), TVariant(12.5)});
  EXPECT_TRUE(k->Locate("OK;DAY;PRICE", values, loCaseInsensitive));
  auto calls = rec.Take({"XdsSetAOF"});
  ASSERT_FALSE(calls.empty());
  EXPECT_NE(calls[0].find("(OK=.TRUE.) AND (DAY=ctod(\"2024-02-29\")) AND (PRICE=12.5)"),
            std::string::npos)
      << calls[0];
  EXPECT_EQ(k->RecNo(), 1);
  EXPECT_FALSE(k->Locate("OK;PRICE", TVariant(std::vector<TVariant>{TVariant(false), TVariant(12.5)}),
                         loCaseInsensitive));

  try {
    std::vector<TField*> fields = {urls_->FieldByName("URL")};
    (void)urls_->BuildFilterString(fields, false);
    FAIL() << "built outside the filter state";
  } catch (const EXDSDatabaseError& e) {
    EXPECT_STREQ(e.what(), "HDSUrls: Internal Error, << BuildFilterString >>");
  }
}

// The same search repeated (a membership looked up for each record of a
// list) keeps its field list and stands in the tag's leaf between seeks; what
// is kept must follow a written key, another order, another filter and a
// reopening whose field objects are new.
TEST_F(XdsLocateTest, ARepeatedLocateFollowsWritesOrderFilterAndReopening) {
  urlIn_->SetIndexName("TEM_ID");
  urlIn_->Open();
  auto temOf = [&](double urlId) {
    return urlIn_->Locate("URL_ID", TVariant(urlId), 0)
               ? urlIn_->FieldByName("TEM_ID")->AsInteger()
               : 0;
  };
  EXPECT_EQ(temOf(5), 2);
  EXPECT_EQ(temOf(9), 7);
  EXPECT_EQ(temOf(12), 3);
  urlIn_->Edit();
  urlIn_->FieldByName("URL_ID")->SetAsFloat(8);
  urlIn_->Post();
  EXPECT_EQ(temOf(12), 1) << "the written row left key 12";
  EXPECT_EQ(temOf(8), 3);
  urlIn_->SetIndexName("TEMURL");
  EXPECT_EQ(temOf(9), 7);
  urlIn_->SetFilter("(TEM_ID=1)");
  urlIn_->SetFiltered(true);
  EXPECT_EQ(temOf(9), 1);
  EXPECT_EQ(temOf(8), 0);
  urlIn_->Close();
  urlIn_->Open();
  EXPECT_EQ(temOf(12), 1);
  EXPECT_EQ(temOf(5), 0);
}

TEST_F(XdsLocateTest, PartialKeySeekOnTheLastSegmentAndMissesStayPut) {
  urls_->Open();
  urls_->Last();
  int scrolledBefore = 0;
  int scrolledAfter = 0;
  urls_->BeforeScroll = [&](TDataSet&) { ++scrolledBefore; };
  urls_->AfterScroll = [&](TDataSet&) { ++scrolledAfter; };
  RecordingEngine rec;
  EXPECT_TRUE(urls_->Locate("URL", TVariant(std::string("ab")), loPartialKey));
  EXPECT_EQ(rec.Take({"XdsSeek"}).size(), 1u) << "a prefix through the URL tag";
  EXPECT_EQ(urls_->FieldByName("URL")->AsString(), "ab\"c.example");
  EXPECT_EQ(std::make_pair(scrolledBefore, scrolledAfter), std::make_pair(1, 1));
  EXPECT_FALSE(urls_->Locate("URL", TVariant(std::string("ab")), 0)) << "exact without the option";
  EXPECT_FALSE(urls_->Locate("URL", TVariant(std::string("gone")), loPartialKey));
  EXPECT_EQ(Id(*urls_), 2);
  EXPECT_EQ(std::make_pair(scrolledBefore, scrolledAfter), std::make_pair(3, 1));
}

// While Filtered is on, a match that OnFilterRecord turns down is passed over
// for the next match; with none left the Locate finds nothing and stays.
TEST_F(XdsLocateTest, LocatePassesOverMatchesTheFilterHandlerRejects) {
  std::vector<int> hidden = {2};
  urls_->SetOnFilterRecord([&](TDataSet& d, bool& accept) {
    int id = d.FieldByName("URL_ID")->AsInteger();
    accept = std::find(hidden.begin(), hidden.end(), id) == hidden.end();
  });
  urls_->Open();
  // Filter path: "ab"... matches 2, 4, 5, 6 in URL_ID order.
  EXPECT_TRUE(urls_->Locate("URL", TVariant(std::string("AB")), loCaseInsensitive | loPartialKey));
  EXPECT_EQ(Id(*urls_), 4);
  // Seek path: the URL tag's first "ab" is 2 (hidden), the next match in the
  // current order is 5.
  urls_->First();
  EXPECT_TRUE(urls_->Locate("URL", TVariant(std::string("ab")), loPartialKey));
  EXPECT_EQ(Id(*urls_), 5);
  EXPECT_TRUE(urls_->Locate("URL_ID", TVariant(6.0), 0));
  EXPECT_EQ(Id(*urls_), 6);
  hidden = {2, 4, 5, 6};
  int scrolledAfter = 0;
  urls_->AfterScroll = [&](TDataSet&) { ++scrolledAfter; };
  EXPECT_FALSE(urls_->Locate("URL", TVariant(std::string("ab")), loCaseInsensitive | loPartialKey));
  EXPECT_FALSE(urls_->Locate("URL_ID", TVariant(5.0), 0));
  EXPECT_EQ(Id(*urls_), 6);
  EXPECT_EQ(scrolledAfter, 0);
  // Lookup reads whatever record its search finds, as before.
  EXPECT_EQ(urls_->Lookup("URL_ID", TVariant(5.0), "URL").AsString(), "abx.example");
  // With Filtered off the handler has no say.
  urls_->SetFiltered(false);
  EXPECT_TRUE(urls_->Locate("URL_ID", TVariant(2.0), 0));
  EXPECT_EQ(Id(*urls_), 2);
}

// The search box's case-insensitive prefix on an OEM table with a tag on the
// searched field, searched in another order (the indexes may answer it from
// the field's tag): the row found is the first match in that order that the
// deleted mark, the table's filter, OnFilterRecord and a scope let through.
TEST(XdsLocate, SearchBoxInAnotherOrderFindsTheFirstMatchOfThatOrder) {
  // Letters in both cases (UTF-8); a row's URL is a string of them.
  const char* lower[] = {"a", "b", "\u0451", "\u044F", "."};
  const char* upper[] = {"A", "B", "\u0401", "\u042F", "."};
  std::mt19937 rng(11);
  struct Row {
    std::vector<int> letters;
    int id;
    bool deleted;
  };
  std::vector<Row> rows;
  std::vector<std::vector<std::string>> cells;
  std::vector<int> ids(400);
  std::iota(ids.begin(), ids.end(), 1);
  std::shuffle(ids.begin(), ids.end(), rng);
  auto spell = [&](const std::vector<int>& letters) {
    std::string text;
    for (int l : letters) {
      text += rng() % 2 ? lower[l] : upper[l];
    }
    return Ansi(text);
  };
  for (int id : ids) {
    Row r{{}, id, rng() % 9 == 0};
    for (size_t n = 1 + rng() % 6; n > 0; --n) {
      r.letters.push_back(static_cast<int>(rng() % 5));
    }
    rows.push_back(r);
    cells.push_back({spell(r.letters), std::to_string(id)});
    if (r.deleted) {
      cells.back().push_back("*");
    }
  }
  TempDir dir;
  WriteTable(dir.str(), "urls.DBF", {{"URL", 'C', 6, 0}, {"URL_ID", 'N', 10, 0}}, cells,
             {{"URL", "URL", nullptr, 0, 0}, {"URL_ID", "URL_ID", nullptr, 0, 0}},
             /*oem=*/true);
  auto conn = Connect(dir.str());
  auto urls = Table(*conn, "HDSUrls", "urls.DBF");
  urls->XdsTableOptions().SetXdsCharType(OEM);
  urls->SetFilter("not deleted()");
  urls->SetFiltered(true);
  urls->SetOnFilterRecord(
      [](TDataSet& d, bool& accept) { accept = d.FieldByName("URL_ID")->AsInteger() % 7 != 0; });
  urls->SetIndexName("URL_ID");
  urls->Open();
  std::sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) { return a.id < b.id; });
  for (bool scoped : {false, true}) {
    if (scoped) {
      urls->SetScopeBegin("100");
      urls->SetScopeEnd("300");
      urls->SetScoped(true);
    }
    for (int i = 0; i < 60; ++i) {
      std::vector<int> typed(rows[rng() % rows.size()].letters);
      typed.resize(std::min<size_t>(typed.size(), 1 + rng() % 4));
      if (i % 10 == 0) {
        typed.push_back(static_cast<int>(rng() % 5));  // mostly a miss
      }
      int expected = 0;
      for (const Row& r : rows) {
        if (!r.deleted && r.id % 7 != 0 && (!scoped || (r.id >= 100 && r.id <= 300)) &&
            std::equal(typed.begin(), typed.end(), r.letters.begin(),
                       r.letters.begin() + std::min(r.letters.size(), typed.size())) &&
            r.letters.size() >= typed.size()) {
          expected = r.id;
          break;
        }
      }
      urls->Last();
      const int before = urls->FieldByName("URL_ID")->AsInteger();
      const std::string text = spell(typed);
      EXPECT_EQ(urls->Locate("URL", TVariant(text), loCaseInsensitive | loPartialKey),
                expected != 0)
          << i;
      EXPECT_EQ(urls->FieldByName("URL_ID")->AsInteger(), expected != 0 ? expected : before) << i;
    }
  }
}

TEST_F(XdsLocateTest, AFailingStepLeavesTheTablesFilterAndExactSettingInForce) {
  urls_->SetFilter("URL=\"www*\" OR NOT deleted()");
  urls_->SetFiltered(true);
  urls_->Open();
  const XDSHANDLE h = urls_->TableHandle();
  ASSERT_EQ(EngineExact(h), 0);
  urls_->MoveBy(1);
  for (const char* failing : {"XdsGotoTop", "XdsSetAOF", "XdsAtEOF"}) {
    RecordingEngine rec;
    bool failed = false;
    rec.fail = [&](const std::string& call) -> std::optional<XDSRESULT> {
      // The Locate's own filter, not the table's being put back.
      bool hit = call.rfind(failing, 0) == 0 &&
                 (std::string(failing) != "XdsSetAOF" || call.find("UPPER") != std::string::npos);
      if (!failed && hit) {
        failed = true;
        return XDS_ERR_IO;
      }
      return std::nullopt;
    };
    EXPECT_THROW(urls_->Locate("URL", TVariant(std::string("ab")), loCaseInsensitive | loPartialKey),
                 EXDSDatabaseError)
        << failing;
    EXPECT_TRUE(failed) << failing;
    rec.fail = nullptr;
    EXPECT_EQ(EngineAof(h), "URL=\"www\" OR NOT deleted()") << failing;
    EXPECT_EQ(EngineExact(h), 0) << failing;
    EXPECT_EQ(urls_->State(), dsBrowse);
    EXPECT_EQ(Id(*urls_), 2) << failing;
  }
  // Without a filter of its own the table is left with none.
  urls_->SetFiltered(false);
  EXPECT_TRUE(urls_->Locate("URL", TVariant(std::string("AB")), loCaseInsensitive | loPartialKey));
  EXPECT_EQ(EngineAof(h), "");
}

TEST(XdsLookup, UrlTypeOfEveryFetchedCatalogueRecord) {
  TempDir dir;
  XDS_REQUIRE_FIXTURES("catalogue", dir);
  auto c = Connect(dir.str());
  auto types = Table(*c, "HDSType", "TYPE.DBF");
  auto urls = Table(*c, "HDSUrls", "urls.DBF");
  urls->XdsTableOptions().SetXdsCharType(OEM);
  types->Open();
  AddField<TStringField>(*urls, "URL", 100);
  AddField<TStringField>(*urls, "ADRESTYPE", 10);
  auto* urlType = AddField<TStringField>(*urls, "URL_TYPE", 100);
  urlType->SetFieldKind(fkLookup);
  urlType->SetKeyFields("ADRESTYPE");
  urlType->SetLookupDataSet(types.get());
  urlType->SetLookupKeyFields("TYPE_ID");
  urlType->SetLookupResultField("TYPE_NAME");
  urls->Open();
  std::map<std::string, std::string> names;  // type id -> name, from the fixture
  for (const auto& row : ReadCsv("catalogue", "TYPE.RECNO.csv")) {
    std::string id = FromHex(row[2]);
    std::string name = FromHex(row[3]);
    names[id.substr(0, id.find(' '))] = name.substr(0, name.find_last_not_of(' ') + 1);
  }
  int rows = 0;
  int named = 0;
  for (; !urls->Eof(); urls->Next(), ++rows) {
    std::string type = urls->FieldByName("ADRESTYPE")->AsString();
    auto it = names.find(type);
    EXPECT_EQ(urlType->AsString(), it == names.end() ? "" : it->second) << "type " << type;
    named += it != names.end();
  }
  EXPECT_EQ(rows, static_cast<int>(ReadCsv("catalogue", "urls.RECNO.csv").size()));
  EXPECT_GT(named, 0);
  EXPECT_LT(named, rows) << "the fixture has records without a known type";
  EXPECT_EQ(types->RecNo(), 1) << "Lookup leaves its table's current record";

  RecordingEngine rec;
  EXPECT_TRUE(types->Lookup("TYPE_ID", TVariant(), "TYPE_NAME").IsNull());
  EXPECT_TRUE(rec.Take().empty()) << "a null key touches no engine";
}

TEST_F(XdsLocateTest, FindOperationsHonourTheFilterTextWhileNotFiltered) {
  urls_->SetFiltered(false);
  urls_->SetFilter(R"(URL="ab*")");
  std::vector<int> seen;
  urls_->SetOnFilterRecord([&](TDataSet&, bool& accept) { accept = false; });
  urls_->Open();
  ASSERT_TRUE(urls_->FindFirst());
  seen.push_back(Id(*urls_));
  while (urls_->FindNext()) {
    seen.push_back(Id(*urls_));
  }
  EXPECT_EQ(seen, (std::vector<int>{2, 5, 6}));
  EXPECT_FALSE(urls_->Found());
  EXPECT_EQ(Id(*urls_), 6);
  ASSERT_TRUE(urls_->FindLast());
  EXPECT_EQ(Id(*urls_), 6);
  ASSERT_TRUE(urls_->FindPrior());
  EXPECT_EQ(Id(*urls_), 5);
  EXPECT_EQ(EngineAof(urls_->TableHandle()), "") << "the filter was lent for the moves only";
  EXPECT_EQ(Column(*urls_, "URL_ID").size(), 2u);
}

}  // namespace
