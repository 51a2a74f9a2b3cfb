// Event orders of the editing operations and where they leave the cursor.

#include <gtest/gtest.h>

#include "test_util.h"

namespace {

class EditingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FillTable(ds_, 5);
    ds_.Next();  // current: 2
    log_ = std::make_unique<EventLog>(ds_);
  }
  std::unique_ptr<EventLog> log_;  // outlives ds_, whose hooks it records
  TMemDataSet ds_;
};

TEST_F(EditingTest, InsertFiresEventsInOrderAndPlacesNewRecordBeforeCurrent) {
  ds_.Insert();
  EXPECT_EQ(log_->Take(), (Log{"BeforeInsert", "BeforeScroll", "hook:insert", "OnNewRecord",
                               "AfterInsert", "AfterScroll"}));
  EXPECT_EQ(ds_.State(), dsInsert);
  EXPECT_TRUE(ds_.FieldByName("ID")->IsNull());
  EXPECT_EQ(ds_.RecNo(), -1);
  ds_.FieldByName("ID")->SetAsFloat(10);
  ds_.Post();
  EXPECT_EQ(log_->Take(), (Log{"BeforePost", "hook:post", "AfterPost"}));
  EXPECT_EQ(CurrentId(ds_), 10);
  EXPECT_EQ(ds_.RecNo(), 6);
  ds_.First();
  EXPECT_EQ(IdsToEnd(ds_), (std::vector<int>{1, 2, 3, 4, 5, 10}));
}

TEST_F(EditingTest, AppendFiresEventsInOrderAndCancelLeavesLastRecordCurrent) {
  ds_.Append();
  EXPECT_EQ(log_->Take(), (Log{"BeforeInsert", "BeforeScroll", "hook:insert", "OnNewRecord",
                               "AfterInsert", "AfterScroll"}));
  EXPECT_EQ(ds_.State(), dsInsert);
  ds_.Cancel();
  EXPECT_EQ(log_->Take(),
            (Log{"BeforeCancel", "BeforeScroll", "hook:cancel", "AfterCancel", "AfterScroll"}));
  EXPECT_EQ(ds_.State(), dsBrowse);
  EXPECT_EQ(CurrentId(ds_), 5);
  EXPECT_EQ(ds_.StoredRecordCount(), 5);
}

TEST_F(EditingTest, InsertOnEmptyTableThenCancelLeavesItEmpty) {
  TMemDataSet empty;
  FillTable(empty, 0);
  empty.Insert();
  EXPECT_FALSE(empty.IsEmpty());
  empty.Cancel();
  EXPECT_TRUE(empty.IsEmpty());
  EXPECT_TRUE(empty.Bof());
  EXPECT_TRUE(empty.Eof());
}

TEST_F(EditingTest, BeforeInsertSeesBrowseStateAndMayMove) {
  TDataSetState seen = dsInactive;
  ds_.BeforeInsert = [&](TDataSet& ds) {
    seen = ds.State();
    ds.Last();
  };
  ds_.AfterInsert = [&](TDataSet& ds) { ds.FieldByName("ID")->SetAsInteger(CurrentId(ds) + 1); };
  ds_.Append();
  EXPECT_EQ(seen, dsBrowse);
  EXPECT_EQ(ds_.FieldByName("ID")->AsInteger(), 1);  // the new record had no id yet
  ds_.Cancel();
  ds_.AfterInsert = nullptr;
  int lastId = 0;
  ds_.BeforeInsert = [&](TDataSet& ds) {
    ds.Last();
    lastId = CurrentId(ds);
  };
  ds_.AfterInsert = [&](TDataSet& ds) { ds.FieldByName("ID")->SetAsInteger(lastId + 1); };
  ds_.Append();
  ds_.Post();
  EXPECT_EQ(CurrentId(ds_), 6);
}

// The URL table's insert handlers: BeforeInsert chooses another order and
// moves to its last record; AfterInsert numbers the new record, or cancels
// it at once while inserts are not allowed yet.
TEST(InsertHandlersTest, BeforeInsertChangesOrderAndAfterInsertNumbersOrCancels) {
  TMemDataSet ds;
  FillTable(ds, 12);  // by NAME: n1, n10, n11, n12, n2, ..., n9
  conformance::Grid shown(ds, 3);
  ds.Next();
  bool allowed = false;
  int lastId = 0;
  ds.BeforeInsert = [&](TDataSet& d) {
    static_cast<TMemDataSet&>(d).SetIndexFieldNames("NAME");
    d.Last();
    lastId = CurrentId(d);
  };
  ds.AfterInsert = [&](TDataSet& d) {
    if (allowed) {
      d.FieldByName("ID")->SetAsInteger(lastId + 100);
    } else {
      d.Cancel();
    }
  };
  for (bool append : {false, true}) {
    append ? ds.Append() : ds.Insert();
    EXPECT_EQ(ds.State(), dsBrowse);
    EXPECT_EQ(CurrentId(ds), 9);
    EXPECT_EQ(conformance::GridRows(shown.link, ds), (std::vector<int>{7, 8, 9}));
    EXPECT_EQ(ds.StoredRecordCount(), 12);
  }
  allowed = true;
  for (bool append : {false, true}) {
    append ? ds.Append() : ds.Insert();
    EXPECT_EQ(ds.State(), dsInsert);
    ds.FieldByName("NAME")->SetAsString("x");  // sorts last
    ds.Post();
  }
  EXPECT_EQ(CurrentId(ds), 209);
  EXPECT_EQ(conformance::GridRows(shown.link, ds), (std::vector<int>{9, 109, 209}));
  EXPECT_EQ(shown.link.ActiveRecord(), 2);
}

TEST_F(EditingTest, EditAndPostFireEventsInOrder) {
  ds_.Edit();
  EXPECT_EQ(log_->Take(), (Log{"BeforeEdit", "hook:edit", "AfterEdit"}));
  EXPECT_EQ(ds_.State(), dsEdit);
  ds_.Edit();  // already editing: nothing
  EXPECT_TRUE(log_->Take().empty());
  ds_.FieldByName("NAME")->SetAsString("two");
  EXPECT_TRUE(ds_.Modified());
  ds_.Post();
  EXPECT_EQ(log_->Take(), (Log{"BeforePost", "hook:post", "AfterPost"}));
  EXPECT_EQ(ds_.FieldByName("NAME")->AsString(), "two");
  EXPECT_EQ(CurrentId(ds_), 2);
}

TEST_F(EditingTest, EditOnEmptyDatasetInserts) {
  TMemDataSet empty;
  FillTable(empty, 0);
  empty.Edit();
  EXPECT_EQ(empty.State(), dsInsert);
}

TEST_F(EditingTest, DeleteFiresEventsInOrderAndNextRecordBecomesCurrent) {
  int inBeforeDelete = 0;
  ds_.BeforeDelete = [&](TDataSet& ds) {
    inBeforeDelete = CurrentId(ds);
    log_->entries.push_back("BeforeDelete");
  };
  ds_.Delete();
  EXPECT_EQ(log_->Take(),
            (Log{"BeforeDelete", "BeforeScroll", "hook:delete", "AfterDelete", "AfterScroll"}));
  EXPECT_EQ(inBeforeDelete, 2);
  EXPECT_EQ(CurrentId(ds_), 3);
  ds_.Last();
  ds_.Delete();
  EXPECT_EQ(CurrentId(ds_), 4);  // the one before, when none follows
  EXPECT_EQ(ds_.StoredRecordCount(), 3);
}

TEST_F(EditingTest, DeleteInInsertStateCancelsAndDeleteOnEmptyFails) {
  ds_.Insert();
  log_->Take();
  ds_.Delete();
  EXPECT_EQ(log_->Take().front(), "BeforeCancel");
  EXPECT_EQ(ds_.StoredRecordCount(), 5);

  TMemDataSet empty;
  FillTable(empty, 0, "Empty");
  try {
    empty.Delete();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "Empty: Cannot perform this operation on an empty dataset");
  }
}

TEST_F(EditingTest, BrowseModeCheckPostsModifiedRecordAndCancelsUnmodified) {
  ds_.Edit();
  ds_.FieldByName("NAME")->SetAsString("kept");
  log_->Take();
  ds_.Next();
  EXPECT_EQ(log_->Take(),
            (Log{"BeforePost", "hook:post", "AfterPost", "BeforeScroll", "AfterScroll"}));
  ds_.Prior();
  EXPECT_EQ(ds_.FieldByName("NAME")->AsString(), "kept");

  ds_.Edit();
  log_->Take();
  ds_.First();
  EXPECT_EQ(log_->Take(),
            (Log{"BeforeCancel", "hook:cancel", "AfterCancel", "BeforeScroll", "AfterScroll"}));

  ds_.Append();  // only defaults: cancelled by the browse-mode check
  ds_.Last();
  EXPECT_EQ(ds_.StoredRecordCount(), 5);
}

TEST_F(EditingTest, PostErrorRetriedAsHandlerDecides) {
  int failures = 2;
  ds_.OnHook = [&](const std::string& hook) {
    if (hook == "post" && failures-- > 0) {
      throw EDatabaseError("disk full");
    }
  };
  int asked = 0;
  ds_.OnPostError = [&](TDataSet&, EDatabaseError& e, TDataAction& action) {
    EXPECT_EQ(e.Message(), "disk full");
    ++asked;
    action = daRetry;
  };
  ds_.Edit();
  ds_.FieldByName("NAME")->SetAsString("x");
  ds_.Post();
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(ds_.State(), dsBrowse);
  EXPECT_EQ(ds_.FieldByName("NAME")->AsString(), "x");
}

TEST_F(EditingTest, FailedPostLeavesEditStateAndAbortIsSilent) {
  ds_.OnHook = [](const std::string& hook) {
    if (hook == "post" || hook == "edit" || hook == "delete") {
      throw EDatabaseError("refused");
    }
  };
  ds_.Insert();
  EXPECT_THROW(ds_.Post(), EDatabaseError);
  EXPECT_EQ(ds_.State(), dsInsert);
  ds_.Cancel();

  ds_.OnEditError = [](TDataSet&, EDatabaseError&, TDataAction& action) { action = daAbort; };
  EXPECT_THROW(ds_.Edit(), EAbort);
  EXPECT_EQ(ds_.State(), dsBrowse);

  ds_.OnDeleteError = [](TDataSet&, EDatabaseError&, TDataAction& action) { action = daFail; };
  EXPECT_THROW(ds_.Delete(), EDatabaseError);
  EXPECT_EQ(ds_.StoredRecordCount(), 5);
  EXPECT_EQ(CurrentId(ds_), 2);
}

TEST_F(EditingTest, FailingNewRecordHookReturnsToBrowse) {
  ds_.OnNewRecord = [](TDataSet&) { throw EDatabaseError("no insert"); };
  EXPECT_THROW(ds_.Insert(), EDatabaseError);
  EXPECT_EQ(ds_.State(), dsBrowse);
  EXPECT_EQ(CurrentId(ds_), 2);
}

// A new record that cannot be set up (a default that does not convert, a
// failing insert hook) leaves the dataset browsing what it showed before.
TEST_F(EditingTest, FailedNewRecordSetUpLeavesWindowAsItWas) {
  conformance::Grid shown(ds_, 3);
  TDataLink& grid = shown.link;
  ds_.Next();
  ASSERT_EQ(conformance::GridRows(grid, ds_), (std::vector<int>{2, 3, 4}));
  ASSERT_EQ(grid.ActiveRecord(), 1);
  for (bool append : {false, true}) {
    for (bool badDefault : {true, false}) {
      SCOPED_TRACE(std::string(append ? "Append" : "Insert") + (badDefault ? " default" : " hook"));
      if (badDefault) {
        ds_.FieldByName("ID")->SetDefaultExpression("abc");
      } else {
        ds_.OnHook = [](const std::string& hook) {
          if (hook == "insert") {
            throw EDatabaseError("no insert");
          }
        };
      }
      EXPECT_THROW(append ? ds_.Append() : ds_.Insert(), EDatabaseError);
      ds_.FieldByName("ID")->SetDefaultExpression("");
      ds_.OnHook = nullptr;
      EXPECT_EQ(ds_.State(), dsBrowse);
      EXPECT_FALSE(ds_.IsEmpty());
      EXPECT_EQ(CurrentId(ds_), 3);
      EXPECT_EQ(conformance::GridRows(grid, ds_), (std::vector<int>{2, 3, 4}));
      EXPECT_EQ(grid.ActiveRecord(), 1);
    }
  }
  ds_.Next();
  EXPECT_EQ(CurrentId(ds_), 4);
  EXPECT_EQ(ds_.StoredRecordCount(), 5);
}

TEST_F(EditingTest, CancelInsideAfterInsertLeavesNoRecord) {
  ds_.AfterInsert = [](TDataSet& ds) { ds.Cancel(); };
  ds_.Append();
  EXPECT_EQ(ds_.State(), dsBrowse);
  EXPECT_EQ(ds_.StoredRecordCount(), 5);
  EXPECT_EQ(CurrentId(ds_), 5);
}

TEST_F(EditingTest, ReadOnlyDatasetRefusesEditing) {
  ds_.SetReadOnly(true);
  EXPECT_THROW(ds_.Edit(), EDatabaseError);
  EXPECT_THROW(ds_.Append(), EDatabaseError);
  EXPECT_EQ(ds_.State(), dsBrowse);
}

TEST_F(EditingTest, FieldWriteOutsideEditStateFails) {
  try {
    ds_.FieldByName("NAME")->SetAsString("x");
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "T: Dataset not in edit mode");
  }
}

TEST_F(EditingTest, RequiredFieldMustHaveValueAtPost) {
  ds_.FieldByName("NAME")->SetRequired(true);
  ds_.Append();
  ds_.FieldByName("ID")->SetAsInteger(9);
  try {
    ds_.Post();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "T: Field 'NAME' must have a value");
  }
  EXPECT_EQ(ds_.State(), dsInsert);
}

TEST_F(EditingTest, CloseDropsUnpostedEditAndRecordsSurviveReopen) {
  ds_.Edit();
  ds_.FieldByName("NAME")->SetAsString("lost");
  log_->Take();
  ds_.Close();
  EXPECT_EQ(log_->Take(), (Log{"BeforeClose", "hook:close", "AfterClose"}));
  ds_.Open();
  EXPECT_EQ(log_->Take(), (Log{"BeforeOpen", "hook:open", "AfterOpen", "AfterScroll"}));
  ds_.Next();
  EXPECT_EQ(ds_.FieldByName("NAME")->AsString(), "n2");
}

}  // namespace
