// Navigation, the buffer window, filters, bookmarks, Locate and Lookup.

#include <gtest/gtest.h>

#include "db/datasource.h"
#include "test_util.h"

namespace {

class NavigationTest : public ::testing::Test {
 protected:
  void SetUp() override { FillTable(ds_, 10); }
  TMemDataSet ds_;
};

TEST_F(NavigationTest, FilterRejectingEverythingGivesEmptyDatasetWithBothFlags) {
  ds_.SetRecordFilter([](const TMemDataSet::TRecordView&) { return false; });
  ds_.SetFiltered(true);
  EXPECT_TRUE(ds_.IsEmpty());
  EXPECT_TRUE(ds_.Bof());
  EXPECT_TRUE(ds_.Eof());
  EXPECT_TRUE(ds_.FieldByName("ID")->IsNull());
  EXPECT_EQ(ds_.RecordCount(), 10);  // the count ignores filters
  EXPECT_EQ(ds_.RecNo(), -1);        // not the number of the record shown before
  ds_.SetFiltered(false);
  EXPECT_EQ(CurrentId(ds_), 1);
}

TEST_F(NavigationTest, RecordFilterAppliesOnlyWhileFiltered) {
  ds_.SetRecordFilter(
      [](const TMemDataSet::TRecordView& r) { return r.Value("ID").AsInteger() % 2 == 0; });
  EXPECT_EQ(IdsToEnd(ds_), (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
  ds_.SetFiltered(true);
  EXPECT_EQ(IdsToEnd(ds_), (std::vector<int>{2, 4, 6, 8, 10}));
}

TEST_F(NavigationTest, OnFilterRecordSeesFilterStateAndIsIgnoredUnfiltered) {
  int calls = 0;
  TDataSetState seen = dsInactive;
  ds_.SetOnFilterRecord([&](TDataSet& ds, bool& accept) {
    ++calls;
    seen = ds.State();
    accept = false;
  });
  ds_.First();
  EXPECT_EQ(calls, 0);
  ds_.SetFiltered(true);
  EXPECT_GT(calls, 0);
  EXPECT_EQ(seen, dsFilter);
  EXPECT_TRUE(ds_.IsEmpty());
}

TEST_F(NavigationTest, FilterHandlerExceptionGoesToApplicationReport) {
  int reported = 0;
  SetApplicationExceptionHandler([&](std::exception_ptr) { ++reported; });
  ds_.SetOnFilterRecord([](TDataSet& ds, bool& accept) {
    if (CurrentId(ds) == 2) {
      accept = false;
      throw Exception("bad handler");
    }
  });
  ds_.SetFiltered(true);
  EXPECT_EQ(IdsToEnd(ds_).size(), 9u);  // the flag kept the value set before the throw
  EXPECT_EQ(reported, 1);
  SetApplicationExceptionHandler(nullptr);
  ds_.First();
  EXPECT_THROW(ds_.Next(), Exception);  // no report installed: passed on
}

TEST_F(NavigationTest, HandlerClosingDatasetDuringFetchFailsCleanly) {
  conformance::Grid grid(ds_, 3);
  ds_.SetOnFilterRecord([](TDataSet& ds, bool&) {
    if (CurrentId(ds) == 6) {
      ds.Close();
    }
  });
  ds_.SetFiltered(true);
  EXPECT_THROW(ds_.MoveBy(5), EDatabaseError);
  EXPECT_FALSE(ds_.Active());
}

TEST_F(NavigationTest, MovingInsideWindowCostsNoHookCall) {
  conformance::Grid shown(ds_, 5);
  TDataLink& grid = shown.link;
  ds_.First();
  int fetches = ds_.FetchCount();
  int moves = ds_.SetToRecordCount();
  ds_.MoveBy(4);
  ds_.MoveBy(-3);
  EXPECT_EQ(ds_.FetchCount(), fetches);
  EXPECT_EQ(ds_.SetToRecordCount(), moves);
  EXPECT_EQ(CurrentId(ds_), 2);
  ds_.MoveBy(4);  // past the window: one fetch
  EXPECT_EQ(ds_.FetchCount(), fetches + 1);
  EXPECT_EQ(CurrentId(ds_), 6);
  EXPECT_EQ(grid.ActiveRecord(), 4);
}

TEST_F(NavigationTest, RefillAfterOrderChangeKeepsCurrentRecordAndItsRow) {
  conformance::Grid shown(ds_, 4);
  TDataLink& grid = shown.link;
  // Names sort n1, n10, n2, ..., n9: a different order from the ids.
  ds_.First();
  ds_.MoveBy(2);  // id 3, row 2 of the window
  ASSERT_EQ(grid.ActiveRecord(), 2);
  ds_.SetIndexFieldNames("NAME");
  EXPECT_EQ(CurrentId(ds_), 3);
  EXPECT_EQ(grid.ActiveRecord(), 2);
  ds_.Prior();
  EXPECT_EQ(CurrentId(ds_), 2);
  ds_.Prior();
  EXPECT_EQ(CurrentId(ds_), 10);
  ds_.First();
  EXPECT_EQ(IdsToEnd(ds_), (std::vector<int>{1, 10, 2, 3, 4, 5, 6, 7, 8, 9}));
}

// The window cannot be rebuilt for the new order: the dataset closes rather
// than stay open without record buffers.
TEST(OrderChangeTest, FailedWindowRebuildClosesDataset) {
  class TightDataSet : public TMemDataSet {
   public:
    bool refuse = false;

   protected:
    TRecordBufferPtr AllocRecordBuffer() override {
      if (refuse) {
        throw EDatabaseError("Out of memory");
      }
      return TMemDataSet::AllocRecordBuffer();
    }
  };
  TightDataSet ds;
  FillTable(ds, 3);
  ds.refuse = true;
  EXPECT_THROW(ds.SetIndexFieldNames("NAME"), EDatabaseError);
  EXPECT_FALSE(ds.Active());
  ds.refuse = false;
  ds.Open();
  EXPECT_EQ(IdsToEnd(ds), (std::vector<int>{1, 2, 3}));
}

TEST_F(NavigationTest, BookmarksReturnToRecordAndCompareInOrder) {
  ds_.MoveBy(3);
  TBookmark four = ds_.GetBookmark();
  ds_.Next();
  TBookmark five = ds_.GetBookmark();
  ds_.Last();
  ds_.GotoBookmark(four);
  EXPECT_EQ(CurrentId(ds_), 4);
  EXPECT_EQ(ds_.CompareBookmarks(four, five), -1);
  EXPECT_EQ(ds_.CompareBookmarks(five, four), 1);
  EXPECT_EQ(ds_.CompareBookmarks(four, four), 0);
  EXPECT_EQ(ds_.CompareBookmarks(TBookmark(), four), -1);
  EXPECT_TRUE(ds_.BookmarkValid(five));
  ds_.GotoBookmark(five);
  ds_.Delete();
  EXPECT_FALSE(ds_.BookmarkValid(five));
  EXPECT_THROW(ds_.GotoBookmark(five), EDatabaseError);
  EXPECT_EQ(CurrentId(ds_), 6);
}

// A new record has no place among the stored ones yet: no bookmark until
// it is posted, then its own.
TEST_F(NavigationTest, NoBookmarkWhileInserting) {
  ds_.Next();
  for (bool append : {false, true}) {
    append ? ds_.Append() : ds_.Insert();
    EXPECT_FALSE(ds_.BookmarkAvailable()) << append;
    EXPECT_TRUE(ds_.GetBookmark().empty()) << append;
    ds_.FieldByName("ID")->SetAsInteger(append ? 21 : 20);
    ds_.Post();
    TBookmark posted = ds_.GetBookmark();
    ds_.First();
    ds_.GotoBookmark(posted);
    EXPECT_EQ(CurrentId(ds_), append ? 21 : 20);
  }
}

TEST_F(NavigationTest, RecNoReadsPhysicalNumberAndSetCentresWindow) {
  ds_.MoveBy(6);
  EXPECT_EQ(ds_.RecNo(), 7);
  ds_.SetRecNo(3);
  EXPECT_EQ(CurrentId(ds_), 3);
  EXPECT_THROW(ds_.SetRecNo(42), EDatabaseError);
}

TEST_F(NavigationTest, ClosedDatasetRefusesWithComponentName) {
  ds_.Close();
  try {
    ds_.RecordCount();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "T: Cannot perform this operation on a closed dataset");
  }
  ds_.Open();
  try {
    ds_.FieldDefs();
    ds_.Fields().Add(std::make_unique<TStringField>());
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "T: Cannot perform this operation on an open dataset");
  }
}

TEST_F(NavigationTest, LocateMovesOnlyWhenFound) {
  Log log;
  ds_.BeforeScroll = [&](TDataSet&) { log.push_back("BeforeScroll"); };
  ds_.AfterScroll = [&](TDataSet&) { log.push_back("AfterScroll"); };
  ds_.MoveBy(2);
  log.clear();
  EXPECT_FALSE(ds_.Locate("ID", TVariant(42.0), 0));
  EXPECT_EQ(log, (Log{"BeforeScroll"}));
  EXPECT_EQ(CurrentId(ds_), 3);
  log.clear();
  EXPECT_TRUE(ds_.Locate("ID", TVariant(8.0), 0));
  EXPECT_EQ(log, (Log{"BeforeScroll", "AfterScroll"}));
  EXPECT_EQ(CurrentId(ds_), 8);
  EXPECT_THROW(ds_.Locate("NOPE", TVariant(1), 0), EDatabaseError);
}

TEST_F(NavigationTest, LocateOptionsAndSeveralFields) {
  struct Case {
    const char* value;
    TLocateOptions options;
    int expected;  // 0: not found
  };
  const Case cases[] = {
      {"n7", 0, 7},
      {"N7", 0, 0},
      {"N7", loCaseInsensitive, 7},
      {"n1", loPartialKey, 1},
      {"N1", loCaseInsensitive | loPartialKey, 1},
      {"n", 0, 0},
  };
  for (const Case& c : cases) {
    ds_.First();
    bool found = ds_.Locate("NAME", TVariant(c.value), c.options);
    EXPECT_EQ(found, c.expected != 0) << c.value;
    EXPECT_EQ(CurrentId(ds_), found ? c.expected : 1) << c.value;
  }
  EXPECT_TRUE(
      ds_.Locate("ID;NAME", TVariant(std::vector<TVariant>{TVariant(4), TVariant("n4")}), 0));
  EXPECT_FALSE(
      ds_.Locate("ID;NAME", TVariant(std::vector<TVariant>{TVariant(4), TVariant("n5")}), 0));
}

TEST_F(NavigationTest, DisableControlsDefersNotificationsToOneChange) {
  TDataSource source;
  source.SetDataSet(&ds_);
  int changes = 0;
  source.OnDataChange = [&](TDataSource&, TField*) { ++changes; };
  ds_.DisableControls();
  ds_.Next();
  ds_.Next();
  ds_.Last();
  EXPECT_EQ(changes, 0);
  ds_.EnableControls();
  EXPECT_EQ(changes, 1);
}

}  // namespace
