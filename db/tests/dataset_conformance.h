// The behaviour every dataset kind owes the framework's users, as a typed
// test suite. A kind joins with a Kind type offering:
//
//   // An open dataset named "T" with the fields ID (float) and NAME (string
//   // of 10) holding the ids 1..count named "n1".."nN", in stored order,
//   // the first record current; deleted records are hidden.
//   static std::unique_ptr<TDataSet> Make(int count);
//   // Makes the kind's own filter (a filter expression) hide the records
//   // with odd ids while Filtered is true.
//   static void HideOddIds(TDataSet& ds);
//
// and instantiates it: INSTANTIATE_TYPED_TEST_SUITE_P(Name, DataSetConformance, Kind).
//
// A kind that does not carry every operation yet declares what it lacks,
//   static constexpr bool kEditing = false;  // Insert, Append, Edit, Post, Cancel, Delete
//   static constexpr bool kFinding = false;  // Locate, Lookup and its own filter
// and the cases that need them are skipped for it, saying why.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "conformance_util.h"
#include "db/datasource.h"

namespace conformance {
template <class Kind>
constexpr bool KindEdits() {
  if constexpr (requires { Kind::kEditing; }) {
    return Kind::kEditing;
  } else {
    return true;
  }
}
template <class Kind>
constexpr bool KindFinds() {
  if constexpr (requires { Kind::kFinding; }) {
    return Kind::kFinding;
  } else {
    return true;
  }
}
}  // namespace conformance

#define CONFORMANCE_REQUIRES_EDITING()                              \
  if (!conformance::KindEdits<TypeParam>()) {                        \
    GTEST_SKIP() << "this dataset kind does not edit records yet";   \
  }
#define CONFORMANCE_REQUIRES_FINDING()                                     \
  if (!conformance::KindFinds<TypeParam>()) {                               \
    GTEST_SKIP() << "this dataset kind does not locate or filter by itself yet"; \
  }

template <class Kind>
class DataSetConformance : public ::testing::Test {
 protected:
  // Six records, the second current, events recorded from here on.
  void Prepare(int count = 6) {
    ds_ = Kind::Make(count);
    ds_->Next();
    conformance::RecordEvents(*ds_, log_);
  }
  conformance::Log Take() {
    conformance::Log result;
    result.swap(log_);
    return result;
  }
  conformance::Log log_;
  std::unique_ptr<TDataSet> ds_;
};

TYPED_TEST_SUITE_P(DataSetConformance);

using conformance::Id;
using conformance::IdsToEnd;
using conformance::Log;

TYPED_TEST_P(DataSetConformance, InsertEventsAndNewRecordBeforeCurrent) {
  CONFORMANCE_REQUIRES_EDITING();
  this->Prepare();
  TDataSet& ds = *this->ds_;
  TDataSetState inBefore = dsInactive, inAfter = dsInactive;
  ds.BeforeInsert = [&](TDataSet& d) {
    inBefore = d.State();
    this->log_.push_back("BeforeInsert");
  };
  ds.AfterInsert = [&](TDataSet& d) {
    inAfter = d.State();
    this->log_.push_back("AfterInsert");
  };
  ds.Insert();
  EXPECT_EQ(this->Take(),
            (Log{"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll"}));
  EXPECT_EQ(inBefore, dsBrowse);
  EXPECT_EQ(inAfter, dsInsert);
  EXPECT_TRUE(ds.FieldByName("ID")->IsNull());
  EXPECT_EQ(ds.RecNo(), -1);
  ds.FieldByName("ID")->SetAsInteger(10);
  ds.Post();
  EXPECT_EQ(this->Take(), (Log{"BeforePost", "AfterPost"}));
  EXPECT_EQ(Id(ds), 10);
  EXPECT_EQ(ds.RecNo(), 7);
}

TYPED_TEST_P(DataSetConformance, InsertCancelReturnsToFormerRecord) {
  CONFORMANCE_REQUIRES_EDITING();
  this->Prepare();
  TDataSet& ds = *this->ds_;
  ds.Insert();
  ds.FieldByName("NAME")->SetAsString("new");
  this->Take();
  ds.Cancel();
  EXPECT_EQ(this->Take(), (Log{"BeforeCancel", "BeforeScroll", "AfterCancel", "AfterScroll"}));
  EXPECT_EQ(Id(ds), 2);
  EXPECT_EQ(IdsToEnd(ds), (std::vector<int>{2, 3, 4, 5, 6}));
}

TYPED_TEST_P(DataSetConformance, AppendCancelLeavesLastRecordCurrent) {
  CONFORMANCE_REQUIRES_EDITING();
  this->Prepare();
  TDataSet& ds = *this->ds_;
  ds.Append();
  EXPECT_EQ(this->Take(),
            (Log{"BeforeInsert", "BeforeScroll", "OnNewRecord", "AfterInsert", "AfterScroll"}));
  ds.Cancel();
  EXPECT_EQ(Id(ds), 6);
  ds.First();
  EXPECT_EQ(IdsToEnd(ds).size(), 6u);
}

TYPED_TEST_P(DataSetConformance, AppendPostAddsOneRecordAfterBeforeInsertMoved) {
  CONFORMANCE_REQUIRES_EDITING();
  this->Prepare();
  TDataSet& ds = *this->ds_;
  int lastId = 0;
  ds.BeforeInsert = [&](TDataSet& d) {
    d.Last();
    lastId = Id(d);
  };
  ds.AfterInsert = [&](TDataSet& d) { d.FieldByName("ID")->SetAsInteger(lastId + 1); };
  ds.Append();
  ds.Post();
  EXPECT_EQ(Id(ds), 7);
  ds.First();
  EXPECT_EQ(IdsToEnd(ds), (std::vector<int>{1, 2, 3, 4, 5, 6, 7}));
}

TYPED_TEST_P(DataSetConformance, EditPostAndEditCancel) {
  CONFORMANCE_REQUIRES_EDITING();
  this->Prepare();
  TDataSet& ds = *this->ds_;
  ds.Edit();
  EXPECT_EQ(this->Take(), (Log{"BeforeEdit", "AfterEdit"}));
  ds.Edit();
  EXPECT_TRUE(this->Take().empty());
  ds.FieldByName("NAME")->SetAsString("two");
  EXPECT_TRUE(ds.Modified());
  ds.Post();
  EXPECT_EQ(this->Take(), (Log{"BeforePost", "AfterPost"}));
  EXPECT_EQ(ds.FieldByName("NAME")->AsString(), "two");
  ds.Edit();
  ds.FieldByName("NAME")->SetAsString("changed");
  this->Take();
  ds.Cancel();
  EXPECT_EQ(this->Take(), (Log{"BeforeCancel", "AfterCancel"}));
  EXPECT_EQ(ds.FieldByName("NAME")->AsString(), "two");
  EXPECT_EQ(Id(ds), 2);
}

TYPED_TEST_P(DataSetConformance, DeleteEventsAndFollowingRecord) {
  CONFORMANCE_REQUIRES_EDITING();
  this->Prepare();
  TDataSet& ds = *this->ds_;
  int current = 0;
  ds.BeforeDelete = [&](TDataSet& d) {
    current = Id(d);
    this->log_.push_back("BeforeDelete");
  };
  TDataSetState after = dsInactive;
  ds.AfterDelete = [&](TDataSet& d) {
    after = d.State();
    this->log_.push_back("AfterDelete");
  };
  ds.Delete();
  EXPECT_EQ(this->Take(), (Log{"BeforeDelete", "BeforeScroll", "AfterDelete", "AfterScroll"}));
  EXPECT_EQ(current, 2);
  EXPECT_EQ(after, dsBrowse);
  EXPECT_EQ(Id(ds), 3);
  ds.Last();
  ds.Delete();
  EXPECT_EQ(Id(ds), 5);
  ds.First();
  EXPECT_EQ(IdsToEnd(ds), (std::vector<int>{1, 3, 4, 5}));
}

TYPED_TEST_P(DataSetConformance, BrowseModeCheckPostsModifiedAndCancelsUnmodified) {
  CONFORMANCE_REQUIRES_EDITING();
  this->Prepare();
  TDataSet& ds = *this->ds_;
  ds.Edit();
  ds.FieldByName("NAME")->SetAsString("kept");
  this->Take();
  ds.Next();
  EXPECT_EQ(this->Take(), (Log{"BeforePost", "AfterPost", "BeforeScroll", "AfterScroll"}));
  ds.Prior();
  EXPECT_EQ(ds.FieldByName("NAME")->AsString(), "kept");
  ds.Edit();
  this->Take();
  ds.Last();
  EXPECT_EQ(this->Take(), (Log{"BeforeCancel", "AfterCancel", "BeforeScroll", "AfterScroll"}));
}

TYPED_TEST_P(DataSetConformance, NavigationAndEndFlags) {
  this->Prepare();
  TDataSet& ds = *this->ds_;
  ds.First();
  EXPECT_TRUE(ds.Bof());
  EXPECT_FALSE(ds.Eof());
  EXPECT_EQ(Id(ds), 1);
  ds.Last();
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(Id(ds), 6);
  this->Take();
  ds.Next();
  EXPECT_EQ(Id(ds), 6);
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(this->Take(), (Log{"BeforeScroll", "AfterScroll"}));
  EXPECT_EQ(ds.MoveBy(-3), -3);
  EXPECT_EQ(Id(ds), 3);
  EXPECT_EQ(ds.MoveBy(-10), -2);
  EXPECT_TRUE(ds.Bof());
  EXPECT_EQ(ds.RecordCount(), 6);
}

TYPED_TEST_P(DataSetConformance, FilterRecordRejectingAllGivesEmptyDataset) {
  this->Prepare();
  TDataSet& ds = *this->ds_;
  ds.SetOnFilterRecord([](TDataSet&, bool& accept) { accept = false; });
  ds.SetFiltered(true);
  EXPECT_TRUE(ds.IsEmpty());
  EXPECT_TRUE(ds.Bof());
  EXPECT_TRUE(ds.Eof());
  EXPECT_EQ(ds.RecordCount(), 6);
  EXPECT_THROW(ds.Delete(), EDatabaseError);
}

TYPED_TEST_P(DataSetConformance, FilterRecordSkipsInDirectionOfTravel) {
  this->Prepare();
  TDataSet& ds = *this->ds_;
  ds.SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = Id(d) % 3 != 0; });
  ds.SetFiltered(true);
  EXPECT_EQ(IdsToEnd(ds), (std::vector<int>{1, 2, 4, 5}));
  ds.Last();
  std::vector<int> backwards;
  while (!ds.Bof()) {
    backwards.push_back(Id(ds));
    ds.Prior();
  }
  EXPECT_EQ(backwards, (std::vector<int>{5, 4, 2, 1}));
}

TYPED_TEST_P(DataSetConformance, RejectedRefetchOfCurrentMovesForward) {
  this->Prepare();
  TDataSet& ds = *this->ds_;
  bool rejectTwo = false;
  ds.SetOnFilterRecord([&](TDataSet& d, bool& accept) { accept = !(rejectTwo && Id(d) == 2); });
  ds.SetFiltered(true);
  ds.Next();
  rejectTwo = true;
  ds.Refresh();
  EXPECT_EQ(Id(ds), 3);
}

TYPED_TEST_P(DataSetConformance, OwnFilterHidesRecords) {
  CONFORMANCE_REQUIRES_FINDING();
  this->Prepare();
  TDataSet& ds = *this->ds_;
  TypeParam::HideOddIds(ds);
  ds.SetFiltered(true);
  EXPECT_EQ(Id(ds), 2);
  EXPECT_EQ(IdsToEnd(ds), (std::vector<int>{2, 4, 6}));
  ds.SetFiltered(false);
  EXPECT_EQ(IdsToEnd(ds).size(), 6u);
}

TYPED_TEST_P(DataSetConformance, LocateAndLookup) {
  CONFORMANCE_REQUIRES_FINDING();
  this->Prepare();
  TDataSet& ds = *this->ds_;
  this->Take();
  EXPECT_FALSE(ds.Locate("ID", TVariant(42.0), 0));
  EXPECT_EQ(this->Take(), (Log{"BeforeScroll"}));
  EXPECT_EQ(Id(ds), 2);
  EXPECT_TRUE(ds.Locate("NAME", TVariant("N5"), loCaseInsensitive | loPartialKey));
  EXPECT_EQ(this->Take(), (Log{"BeforeScroll", "AfterScroll"}));
  EXPECT_EQ(Id(ds), 5);
  EXPECT_EQ(ds.Lookup("ID", TVariant(3), "NAME").AsString(), "n3");
  EXPECT_TRUE(ds.Lookup("ID", TVariant(99), "NAME").IsNull());
  EXPECT_TRUE(ds.Lookup("ID", TVariant(), "NAME").IsNull());
  EXPECT_TRUE(this->Take().empty());
  EXPECT_EQ(Id(ds), 5);
  ds.Next();
  EXPECT_EQ(Id(ds), 6);
}

// OnFilterRecord has no say in which record Lookup finds, so it must not
// make Lookup read the values of a neighbour instead.
TYPED_TEST_P(DataSetConformance, LookupReadsFoundRecordWhateverOnFilterRecordSays) {
  CONFORMANCE_REQUIRES_FINDING();
  this->Prepare();
  TDataSet& ds = *this->ds_;
  ds.SetOnFilterRecord([](TDataSet& d, bool& accept) { accept = Id(d) != 3; });
  ds.SetFiltered(true);
  ds.Next();
  EXPECT_EQ(ds.Lookup("ID", TVariant(3), "NAME").AsString(), "n3");
  EXPECT_EQ(ds.Lookup("ID", TVariant(4), "NAME").AsString(), "n4");
  EXPECT_EQ(Id(ds), 2);
  ds.Next();
  EXPECT_EQ(Id(ds), 4);
}

// Clearing all fields empties the values but not the record's place: Post
// still writes the record being edited, Cancel still returns to where the
// new record was started.
TYPED_TEST_P(DataSetConformance, ClearFieldsKeepsTheRecordsPlace) {
  CONFORMANCE_REQUIRES_EDITING();
  this->Prepare();
  TDataSet& ds = *this->ds_;
  ds.Edit();
  ds.ClearFields();
  EXPECT_TRUE(ds.FieldByName("NAME")->IsNull());
  ds.FieldByName("ID")->SetAsInteger(42);
  ds.Post();
  EXPECT_EQ(Id(ds), 42);
  ds.Insert();
  ds.ClearFields();
  ds.Cancel();
  EXPECT_EQ(Id(ds), 42);
  ds.Append();
  ds.ClearFields();
  ds.Cancel();
  EXPECT_EQ(Id(ds), 6);
  ds.First();
  EXPECT_EQ(IdsToEnd(ds), (std::vector<int>{1, 42, 3, 4, 5, 6}));
}

TYPED_TEST_P(DataSetConformance, BookmarksReturnToRecords) {
  this->Prepare();
  TDataSet& ds = *this->ds_;
  TBookmark two = ds.GetBookmark();
  ds.MoveBy(2);
  TBookmark four = ds.GetBookmark();
  ds.Last();
  ds.GotoBookmark(two);
  EXPECT_EQ(Id(ds), 2);
  EXPECT_EQ(ds.CompareBookmarks(two, four), -1);
  EXPECT_EQ(ds.CompareBookmarks(four, four), 0);
  EXPECT_TRUE(ds.BookmarkValid(four));
  ds.GotoBookmark(four);
  EXPECT_EQ(Id(ds), 4);
}

TYPED_TEST_P(DataSetConformance, LinkNotificationsInOrder) {
  CONFORMANCE_REQUIRES_EDITING();
  this->Prepare();
  TDataSet& ds = *this->ds_;
  ds.Close();
  TDataSource source;
  Log log;
  conformance::RecordingLink link(log);
  source.SetDataSet(&ds);
  link.SetDataSource(&source);
  ds.Open();
  EXPECT_EQ(log, (Log{"active"}));
  log.clear();
  ds.Next();
  EXPECT_EQ(log, (Log{"check", "scrolled:-1"}));
  log.clear();
  ds.Edit();
  EXPECT_EQ(log, (Log{"check", "editing", "record"}));
  log.clear();
  ds.FieldByName("NAME")->SetAsString("x");
  EXPECT_EQ(log, (Log{"record:NAME"}));
  log.clear();
  ds.Post();
  EXPECT_EQ(log, (Log{"update", "check", "browsing", "dataset"}));
  log.clear();
  ds.Close();
  EXPECT_EQ(log, (Log{"inactive"}));
}

TYPED_TEST_P(DataSetConformance, WindowStaysConsistentUnderRandomMovesAndEdits) {
  CONFORMANCE_REQUIRES_EDITING();
  CONFORMANCE_REQUIRES_FINDING();
  struct Case {
    int records;
    int rows;
    bool filtered;
  };
  for (Case c : {Case{1, 1, false}, Case{12, 1, false}, Case{12, 4, true}, Case{3, 5, false},
                 Case{20, 7, true}}) {
    std::unique_ptr<TDataSet> ds = TypeParam::Make(c.records);
    conformance::Grid shown(*ds, c.rows);
    TDataLink& grid = shown.link;
    TypeParam::HideOddIds(*ds);
    ds->SetFiltered(c.filtered);
    std::vector<int> visible;
    for (int id = 1; id <= c.records; ++id) {
      if (!c.filtered || id % 2 == 0) {
        visible.push_back(id);
      }
    }
    int n = static_cast<int>(visible.size());
    int at = 0;
    int nextId = c.records + 2 - c.records % 2;
    std::mt19937 random(c.records * 31 + c.rows);
    for (int step = 0; step < 300; ++step) {
      int op = static_cast<int>(random() % 9);
      int distance = static_cast<int>(random() % 11) - 5;
      int target = static_cast<int>(random() % static_cast<unsigned>(n));
      switch (op) {
        case 0:
          ds->Next();
          at = std::min(at + 1, n - 1);
          break;
        case 1:
          ds->Prior();
          at = std::max(at - 1, 0);
          break;
        case 2:
          ds->MoveBy(distance);
          at = std::clamp(at + distance, 0, n - 1);
          break;
        case 3:
          ds->First();
          at = 0;
          break;
        case 4:
          ds->Last();
          at = n - 1;
          break;
        case 5:
          ASSERT_TRUE(ds->Locate("ID", TVariant(visible[static_cast<size_t>(target)]), 0));
          at = target;
          break;
        case 6:
          ds->Insert();
          ds->Cancel();
          break;
        case 7:  // a new record, visible under the filter too
          ds->Append();
          ds->FieldByName("ID")->SetAsInteger(nextId);
          ds->Post();
          visible.push_back(nextId);
          nextId += 2;
          at = n++;
          break;
        case 8:
          if (n > 1) {
            ds->Delete();
            visible.erase(visible.begin() + at);
            at = std::min(at, --n - 1);
          }
          break;
      }
      ASSERT_EQ(Id(*ds), visible[static_cast<size_t>(at)]) << "step " << step << " op " << op;
      std::vector<int> rows = conformance::GridRows(grid, *ds);
      ASSERT_EQ(rows.size(), static_cast<size_t>(std::min(n, c.rows))) << "step " << step;
      auto first = std::find(visible.begin(), visible.end(), rows.front());
      ASSERT_NE(first, visible.end());
      ASSERT_TRUE(std::equal(rows.begin(), rows.end(), first)) << "step " << step;
      ASSERT_EQ(rows[static_cast<size_t>(grid.ActiveRecord())], Id(*ds));
    }
  }
}

REGISTER_TYPED_TEST_SUITE_P(DataSetConformance, InsertEventsAndNewRecordBeforeCurrent,
                            InsertCancelReturnsToFormerRecord, AppendCancelLeavesLastRecordCurrent,
                            AppendPostAddsOneRecordAfterBeforeInsertMoved, EditPostAndEditCancel,
                            DeleteEventsAndFollowingRecord,
                            BrowseModeCheckPostsModifiedAndCancelsUnmodified, NavigationAndEndFlags,
                            FilterRecordRejectingAllGivesEmptyDataset,
                            FilterRecordSkipsInDirectionOfTravel,
                            RejectedRefetchOfCurrentMovesForward, OwnFilterHidesRecords,
                            LocateAndLookup, LookupReadsFoundRecordWhateverOnFilterRecordSays,
                            ClearFieldsKeepsTheRecordsPlace, BookmarksReturnToRecords,
                            LinkNotificationsInOrder,
                            WindowStaysConsistentUnderRandomMovesAndEdits);
