// Filters, index order and scopes on real tables.

#include <set>

#include "db/datasource.h"
#include "engine_rows.h"
#include "recording_engine.h"

using namespace xdstest;

namespace {

using Rows = std::vector<std::string>;

class XdsFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WriteTable(dir_.str(), "NAMES.DBF", {{"ID", 'N', 5, 0}, {"NAME", 'C', 20, 0}},
               {{"1", "abc"},
                {"2", "abd"},
                {"3", "xyz"},
                {"4", "abcde"},
                {"5", "a*b"},
                {"6", "*"},
                {"7", "x'y"},
                {"8", "dead", "*"}},
               {{"ID", "ID", nullptr, 0, 0},
                {"NAME", "NAME", nullptr, 0, 0},
                {"ID_NAME", "STR(ID,5)+NAME", nullptr, 0, 0}});
    conn_ = Connect(dir_.str());
    t_ = Table(*conn_, "HDSNames", "NAMES.DBF");
  }

  Rows Names() {
    t_->First();
    return Column(*t_, "NAME");
  }

  TempDir dir_;
  std::unique_ptr<TXdsConnection> conn_;
  std::unique_ptr<TXdsTable> t_;
};

TEST_F(XdsFilterTest, TrailingWildcardBecomesAPrefixTestOtherStarsStay) {
  t_->Open();
  RecordingEngine rec;
  const std::string h = std::to_string(t_->TableHandle());
  struct Case {
    const char* filter;
    const char* sent;
    int exact;
    Rows names;
  } cases[] = {
      {R"(NAME="ab*")", R"(NAME="ab")", 0, {"abc", "abd", "abcde"}},
      {R"(NAME="*")", R"(NAME="*")", 1, {"*"}},
      {R"(NAME="a*b")", R"(NAME="a*b")", 1, {"a*b"}},
      {R"(NAME="ab**")", R"(NAME="ab*")", 0, {}},
      // Each quote character closes only its own literal.
      {R"(NAME='x"y*' OR NAME="x'*")", R"(NAME='x"y' OR NAME="x'")", 0, {"x'y"}},
  };
  for (const Case& c : cases) {
    t_->SetFiltered(false);
    t_->SetFilter(c.filter);
    t_->SetFiltered(true);
    EXPECT_EQ(rec.Take({"XdsSetExact22", "XdsSetAOF"}),
              (Rows{"XdsSetExact22(" + h + ", " + std::to_string(c.exact) + ")",
                    "XdsSetAOF(" + h + ", \"" + c.sent + "\", 2)"}))
        << c.filter;
    EXPECT_EQ(Names(), c.names) << c.filter;
  }
}

TEST_F(XdsFilterTest, EmptyFilterSetsNoEngineFilterAndLeavesTheHandlerAlone) {
  t_->SetOnFilterRecord(
      [](TDataSet& d, bool& accept) { accept = d.FieldByName("ID")->AsInteger() % 2 == 1; });
  t_->Open();
  EXPECT_EQ(Names(), (Rows{"abc", "abd", "xyz", "abcde", "a*b", "*", "x'y", "dead"}))
      << "the handler has no say while Filtered is off";
  RecordingEngine rec;
  t_->SetFiltered(true);
  EXPECT_EQ(rec.Take({"XdsSetAOF", "XdsSetFilter", "XdsClearAOF"}),
            Rows{"XdsClearAOF(" + std::to_string(t_->TableHandle()) + ")"});
  EXPECT_EQ(Names(), (Rows{"abc", "xyz", "a*b", "x'y"}));
}

// A handler that keeps a set of record numbers (a search's matches) asks the
// number of the record it judges, not the current record's; in index order
// too. A caller that moves the engine's cursor itself says so, and the next
// step goes on from the current record.
TEST_F(XdsFilterTest, HandlerJudgesByTheRecordNumberOfTheRecordItIsOffered) {
  std::vector<uint32_t> offered;
  t_->SetOnFilterRecord([&](TDataSet&, bool& accept) {
    offered.push_back(t_->StateRecNo());
    accept = offered.back() % 2 == 0;
  });
  t_->SetIndexName("NAME");
  t_->SetFiltered(true);
  t_->Open();
  EXPECT_EQ(Names(), (Rows{"*", "abcde", "abd", "dead"}));
  t_->First();
  EXPECT_EQ(t_->StateRecNo(), 6u);
  EXPECT_EQ(std::set<uint32_t>(offered.begin(), offered.end()),
            (std::set<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8}));
  ASSERT_EQ(XdsGotoRecord(t_->TableHandle(), 7), 0);
  t_->EngineCursorMoved();
  t_->Next();
  EXPECT_EQ(t_->FieldByName("NAME")->AsString(), "abcde");
  EXPECT_EQ(t_->StateRecNo(), 4u);
}

TEST_F(XdsFilterTest, SwitchingFilteredOnAgainReappliesAndReturnsToTheFirstRecord) {
  t_->SetFilter("not deleted()");
  t_->SetFiltered(true);
  t_->Open();
  t_->MoveBy(3);
  ASSERT_EQ(t_->FieldByName("NAME")->AsString(), "abcde");
  RecordingEngine rec;
  t_->SetFiltered(true);
  EXPECT_EQ(rec.Take({"XdsSetAOF"}).size(), 1u);
  EXPECT_EQ(t_->FieldByName("NAME")->AsString(), "abc");
  EXPECT_EQ(Names().size(), 7u);
  t_->SetFiltered(false);
  EXPECT_EQ(EngineAof(t_->TableHandle()), "");
  EXPECT_EQ(Names().size(), 8u);
}

TEST_F(XdsFilterTest, InvalidExpressionRaisesTheEngineErrorAndStaysFiltered) {
  t_->Open();
  t_->SetFilter("NAME=");
  try {
    t_->SetFiltered(true);
    FAIL() << "an invalid expression was accepted";
  } catch (const EXDSDatabaseError& e) {
    EXPECT_EQ(e.ErrorCode(), XDS_ERR_EXPRESSION);
    EXPECT_EQ(std::string(e.what()).rfind("HDSNames: ", 0), 0u) << e.what();
  }
  EXPECT_TRUE(t_->Filtered());
}

TEST_F(XdsFilterTest, PlainOrOptimizedFilterFollowsTheOptionAlsoWhileOpen) {
  t_->XdsTableOptions().SetXdsOptimizedFilters(false);
  t_->SetFilter(R"(NAME="ab*")");
  t_->SetFiltered(true);
  RecordingEngine rec;
  t_->Open();
  const std::string h = std::to_string(t_->TableHandle());
  EXPECT_EQ(rec.Take({"XdsSetFilter", "XdsSetAOF"}), Rows{"XdsSetFilter(" + h + ", \"NAME=\"ab\"\")"});
  t_->MoveBy(1);
  t_->XdsTableOptions().SetXdsOptimizedFilters(true);
  EXPECT_EQ(rec.Take({"XdsClearFilter", "XdsSetAOF", "XdsClearAOF"}),
            (Rows{"XdsClearFilter(" + h + ")", "XdsSetAOF(" + h + ", \"NAME=\"ab\"\", 2)"}));
  EXPECT_TRUE(t_->XdsTableOptions().XdsOptimizedFilters());
  EXPECT_EQ(t_->FieldByName("NAME")->AsString(), "abc");
  EXPECT_EQ(Column(*t_, "NAME"), (Rows{"abc", "abd", "abcde"}));

  // A change that fails puts the old kind of filter back.
  rec.fail = [](const std::string& call) -> std::optional<XDSRESULT> {
    if (call.rfind("XdsSetFilter", 0) == 0) {
      return XDS_ERR_IO;
    }
    return std::nullopt;
  };
  EXPECT_THROW(t_->XdsTableOptions().SetXdsOptimizedFilters(false), EXDSDatabaseError);
  rec.fail = nullptr;
  EXPECT_TRUE(t_->XdsTableOptions().XdsOptimizedFilters());
  EXPECT_EQ(EngineAof(t_->TableHandle()), R"(NAME="ab")");
}

TEST_F(XdsFilterTest, ChangingTheIndexKeepsTheCurrentRecordAndAFailedChangeKeepsTheOld) {
  t_->SetIndexName("ID");
  t_->Open();
  t_->MoveBy(3);
  ASSERT_EQ(t_->FieldByName("NAME")->AsString(), "abcde");
  t_->SetIndexName("NAME");
  EXPECT_EQ(t_->FieldByName("NAME")->AsString(), "abcde");
  t_->Next();
  EXPECT_EQ(t_->FieldByName("NAME")->AsString(), "abd");

  EXPECT_THROW(t_->SetIndexName("NOSUCHTAG"), EXDSDatabaseError);
  EXPECT_EQ(t_->IndexName(), "NAME");
  EXPECT_EQ(t_->IndexKind(), ikIndexName);
  EXPECT_EQ(t_->FieldByName("NAME")->AsString(), "abd");
  t_->Next();
  EXPECT_EQ(t_->FieldByName("NAME")->AsString(), "dead");

  t_->SetIndexName("");
  EXPECT_EQ(t_->OrderHandle(), t_->TableHandle());
  EXPECT_EQ(Names().front(), "abc");
}

TEST_F(XdsFilterTest, IndexFieldNamesTakesAnEqualKeyThenOneItBegins) {
  t_->Open();
  auto handle = [&](const char* tag) {
    XDSHANDLE h = 0;
    EXPECT_EQ(XdsGetIndexHandle(t_->TableHandle(), tag, &h), 0);
    return h;
  };
  t_->SetIndexFieldNames("  name ");
  EXPECT_EQ(t_->IndexFieldNames(), "name");
  EXPECT_EQ(t_->IndexName(), "");
  EXPECT_EQ(t_->IndexKind(), ikIndexFieldNames);
  EXPECT_EQ(t_->OrderHandle(), handle("NAME"));
  t_->SetIndexFieldNames("ID");
  EXPECT_EQ(t_->OrderHandle(), handle("ID"));
  t_->SetIndexFieldNames("id;Name");
  EXPECT_EQ(t_->OrderHandle(), handle("ID_NAME"));
  try {
    t_->SetIndexFieldNames("NAME;ID");
    FAIL() << "no tag has that key";
  } catch (const EXDSDatabaseError& e) {
    EXPECT_STREQ(e.what(), "HDSNames: Not a valid index field name:NAME;ID");
    EXPECT_EQ(e.ErrorCode(), 5121);
  }
  EXPECT_EQ(t_->IndexFieldNames(), "id;Name");
  EXPECT_EQ(t_->OrderHandle(), handle("ID_NAME"));
}

TEST_F(XdsFilterTest, IndexFieldNamesTakesATagWhoseKeyBeginsWithTheFields) {
  // Without a tag on ID alone, the compound one serves.
  TempDir other;
  WriteTable(other.str(), "PAIRS.DBF", {{"ID", 'N', 5, 0}, {"NAME", 'C', 20, 0}},
             {{"2", "b"}, {"1", "a"}}, {{"ID_NAME", "STR(ID,5)+NAME", nullptr, 0, 0}});
  auto c = Connect(other.str());
  auto t = Table(*c, "HDSPairs", "PAIRS.DBF");
  t->SetIndexFieldNames("ID");
  t->Open();
  EXPECT_EQ(Column(*t, "NAME"), (Rows{"a", "b"}));
}

TEST_F(XdsFilterTest, ScopeTextsAndTheirLimits) {
  EXPECT_NO_THROW(t_->SetScopeBegin(std::string(256, 'a')));
  try {
    t_->SetScopeEnd(std::string(257, 'a'));
    FAIL() << "257 characters were taken";
  } catch (const EXDSDatabaseError& e) {
    EXPECT_STREQ(e.what(), "HDSNames: Scope text length exceeded 256");
  }
  EXPECT_EQ(t_->ScopeEnd(), "");
  t_->SetScopeBegin("abc");
  t_->Open();
  try {
    t_->SetScoped(true);
    FAIL() << "a scope without an index";
  } catch (const EXDSDatabaseError& e) {
    EXPECT_STREQ(e.what(), "HDSNames: Cannot activate scope when there is no active index.");
  }
}

TEST_F(XdsFilterTest, ScopeNarrowsTheOrderAndSwitchingItOffReturnsToTheRecord) {
  t_->SetIndexName("NAME");
  t_->SetScopeBegin("abc");
  t_->SetScopeEnd("abd");
  t_->SetScoped(true);
  t_->Open();
  EXPECT_EQ(Names(), (Rows{"abc", "abcde", "abd"}));
  t_->First();
  t_->Next();
  t_->SetScoped(false);
  EXPECT_EQ(t_->FieldByName("NAME")->AsString(), "abcde");
  EXPECT_EQ(Names().size(), 8u);

  // Switched on with the current record outside it: the first in scope.
  t_->Last();
  t_->SetScoped(true);
  EXPECT_EQ(t_->FieldByName("NAME")->AsString(), "abc");
  // A new index drops the scope.
  t_->SetIndexName("ID");
  EXPECT_FALSE(t_->Scoped());
  EXPECT_EQ(Names().size(), 8u);
}

TEST_F(XdsFilterTest, RangeFromKeyBuffersAndItsRefusals) {
  t_->Open();
  try {
    t_->EditRangeStart();
    FAIL() << "a range without an index";
  } catch (const EXDSDatabaseError& e) {
    EXPECT_STREQ(e.what(), "HDSNames: Index is not set.");
  }
  t_->SetIndexName("ID");
  t_->EditRangeStart();
  EXPECT_EQ(t_->State(), dsSetKey);
  t_->FieldByName("ID")->SetAsInteger(3);
  t_->EditRangeEnd();
  t_->FieldByName("ID")->SetAsInteger(5);
  t_->ApplyRange();
  EXPECT_EQ(t_->State(), dsBrowse);
  EXPECT_EQ(Names(), (Rows{"xyz", "abcde", "a*b"}));
  // Cancel in the set-key state puts the key from before the edit back,
  // Post keeps the new one; neither touches the records.
  t_->EditRangeEnd();
  t_->FieldByName("ID")->SetAsInteger(7);
  t_->Cancel();
  EXPECT_EQ(t_->State(), dsBrowse);
  t_->ApplyRange();
  EXPECT_EQ(Names(), (Rows{"xyz", "abcde", "a*b"}));
  t_->EditRangeEnd();
  t_->FieldByName("ID")->SetAsInteger(4);
  t_->Post();
  EXPECT_EQ(t_->State(), dsBrowse);
  t_->ApplyRange();
  EXPECT_EQ(Names(), (Rows{"xyz", "abcde"}));
  t_->SetScopeBegin("1");
  EXPECT_THROW(t_->SetScoped(true), EXDSDatabaseError) << "a scope over an applied range";
  t_->CancelRange();
  EXPECT_EQ(Names().size(), 8u);
}

// A detail follows its master's key through every move of the master, a
// change of its own order and a new record.
TEST(XdsMasterDetail, DetailShowsTheMastersRowsAndTakesItsKey) {
  TempDir dir;
  WriteTable(dir.str(), "TEM.DBF", {{"INID", 'N', 5, 0}, {"INNAME", 'C', 10, 0}},
             {{"1", "one"}, {"2", "two"}, {"3", "empty"}}, {{"INID", "INID", nullptr, 0, 0}});
  WriteTable(dir.str(), "LINKS.DBF", {{"URL_ID", 'N', 5, 0}, {"TEM_ID", 'N', 5, 0}},
             {{"10", "2"}, {"11", "1"}, {"12", "2"}, {"13", "1"}, {"14", "2"}},
             {{"TEM_ID", "TEM_ID", nullptr, 0, 0},
              {"TEM_URL", "STR(TEM_ID,5)+STR(URL_ID,5)", nullptr, 0, 0}});
  auto conn = Connect(dir.str());
  auto master = Table(*conn, "HDSTem", "TEM.DBF");
  auto detail = Table(*conn, "HDSLinks", "LINKS.DBF");
  master->SetIndexName("INID");
  master->Open();
  TDataSource source;
  source.SetDataSet(master.get());
  detail->MasterSource = &source;
  detail->MasterFields = "INID";
  detail->SetIndexFieldNames("TEM_ID");
  detail->Open();
  auto urls = [&] {
    detail->First();
    return Column(*detail, "URL_ID");
  };
  EXPECT_EQ(urls(), (Rows{"11", "13"}));
  master->Next();
  EXPECT_EQ(urls(), (Rows{"10", "12", "14"}));
  // An order by name: the range is set again on the new index; an index
  // with further key fields is refused and the order stays.
  detail->SetIndexName("TEM_ID");
  EXPECT_EQ(urls(), (Rows{"10", "12", "14"}));
  EXPECT_THROW(detail->SetIndexName("TEM_URL"), EXDSDatabaseError);
  EXPECT_EQ(detail->IndexName(), "TEM_ID");
  EXPECT_EQ(urls(), (Rows{"10", "12", "14"}));
  master->Next();
  EXPECT_EQ(urls(), Rows{});
  detail->Append();
  EXPECT_EQ(detail->FieldByName("TEM_ID")->AsInteger(), 3);
  detail->FieldByName("URL_ID")->SetAsInteger(15);
  detail->Post();
  EXPECT_EQ(urls(), Rows{"15"});
  master->First();
  EXPECT_EQ(urls(), (Rows{"11", "13"}));
  detail->Close();
  master->Next();  // a closed detail no longer follows
  detail->MasterSource = nullptr;
  detail->Open();
  EXPECT_EQ(urls().size(), 6u);
}

}  // namespace
