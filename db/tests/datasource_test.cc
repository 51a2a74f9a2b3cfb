// Data sources and links: the notifications a control receives, in order.

#include "db/datasource.h"

#include <gtest/gtest.h>

#include "test_util.h"

namespace {

using conformance::RecordingLink;

class DataSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    FillTable(ds_, 6);
    ds_.Close();
    source_.SetDataSet(&ds_);
    link_.SetDataSource(&source_);
  }
  TMemDataSet ds_;
  TDataSource source_;
  Log log_;
  RecordingLink link_{log_};
};

TEST_F(DataSourceTest, ScrollInsideWindowReportsRowShift) {
  link_.SetBufferCount(3);
  ds_.Open();
  log_.clear();
  ds_.Next();
  ds_.Next();
  EXPECT_EQ(log_, (Log{"check", "scrolled:0", "check", "scrolled:0"}));
  EXPECT_EQ(link_.ActiveRecord(), 2);
  log_.clear();
  ds_.Next();  // the window moves by one record
  EXPECT_EQ(log_, (Log{"check", "scrolled:-1"}));
  EXPECT_EQ(link_.ActiveRecord(), 2);
  EXPECT_EQ(link_.RecordCount(), 3);
}

TEST_F(DataSourceTest, GridReadsOtherRowsWithoutMovingCursor) {
  link_.SetBufferCount(4);
  ds_.Open();
  std::vector<std::string> names;
  int active = link_.ActiveRecord();
  for (int row = 0; row < link_.RecordCount(); ++row) {
    link_.SetActiveRecord(row);
    names.push_back(ds_.FieldByName("NAME")->AsString());
  }
  link_.SetActiveRecord(active);
  EXPECT_EQ(names, (std::vector<std::string>{"n1", "n2", "n3", "n4"}));
  EXPECT_EQ(CurrentId(ds_), 1);
  ds_.Next();
  EXPECT_EQ(CurrentId(ds_), 2);
}

TEST_F(DataSourceTest, StateChangesReachSourceAndDisabledSourceDeactivatesLinks) {
  std::vector<TDataSetState> states;
  source_.OnStateChange = [&](TDataSource& s) { states.push_back(s.State()); };
  ds_.Open();
  ds_.Edit();
  ds_.Cancel();
  EXPECT_EQ(states, (std::vector<TDataSetState>{dsBrowse, dsEdit, dsBrowse}));
  log_.clear();
  source_.SetEnabled(false);
  EXPECT_EQ(log_, (Log{"inactive"}));
  EXPECT_FALSE(link_.Active());
  ds_.Next();
  EXPECT_EQ(log_.size(), 1u);
  source_.SetEnabled(true);
  EXPECT_TRUE(link_.Active());
}

TEST_F(DataSourceTest, EnablingControlsSendsStateChangeThenOneDatasetChange) {
  link_.SetBufferCount(3);
  ds_.Open();
  log_.clear();
  ds_.DisableControls();
  ds_.Edit();
  ds_.FieldByName("NAME")->SetAsString("x");
  ds_.Next();
  ds_.Insert();
  EXPECT_TRUE(log_.empty());
  ds_.EnableControls();
  EXPECT_EQ(log_, (Log{"editing", "dataset"}));
  log_.clear();
  ds_.DisableControls();
  ds_.Close();  // from insert state
  ds_.EnableControls();
  EXPECT_EQ(log_, (Log{"inactive", "browsing"}));
}

TEST_F(DataSourceTest, FieldLinkWritesPendingInputBeforePost) {
  TFieldDataLink edit;
  edit.SetDataSource(&source_);
  edit.SetFieldName("NAME");
  std::string shown;
  edit.OnDataChange = [&](TFieldDataLink& l) {
    shown = l.Field() != nullptr ? l.Field()->AsString() : "";
  };
  edit.OnUpdateData = [](TFieldDataLink& l) { l.Field()->SetAsString("typed"); };
  ds_.Open();
  EXPECT_EQ(shown, "n1");
  ASSERT_TRUE(edit.Edit());
  edit.SetModified();
  ds_.Post();
  EXPECT_EQ(ds_.FieldByName("NAME")->AsString(), "typed");
  EXPECT_FALSE(edit.Modified());
  ds_.Next();
  EXPECT_EQ(shown, "n2");
  source_.SetAutoEdit(false);
  EXPECT_FALSE(edit.Edit());
}

TEST_F(DataSourceTest, DestroyingEitherEndDetachesSafely) {
  auto dataSet = std::make_unique<TMemDataSet>();
  FillTable(*dataSet, 2, "Gone");
  auto source = std::make_unique<TDataSource>();
  source->SetDataSet(dataSet.get());
  RecordingLink link(log_);
  link.SetDataSource(source.get());
  ASSERT_TRUE(link.Active());
  dataSet.reset();
  EXPECT_FALSE(link.Active());
  EXPECT_EQ(source->DataSet(), nullptr);
  source.reset();
  EXPECT_EQ(link.DataSource(), nullptr);
}

TEST_F(DataSourceTest, LinkBufferCountSizesTheWindow) {
  ds_.Open();
  int fetches = ds_.FetchCount();
  link_.SetBufferCount(6);
  EXPECT_EQ(link_.RecordCount(), 6);
  EXPECT_EQ(ds_.FetchCount(), fetches + 5);  // only the five records now shown
  link_.SetBufferCount(2);
  EXPECT_EQ(link_.RecordCount(), 2);
  EXPECT_EQ(CurrentId(ds_), 1);
}

}  // namespace
