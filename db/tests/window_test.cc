// The buffer window under long runs of mixed moves: the current record and
// every row a grid shows must always be the records a plain list says.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "db/datasource.h"
#include "test_util.h"

namespace {

// Ids of the rows the link shows, read the way a grid paints them.
std::vector<int> GridRows(TDataLink& grid, TDataSet& ds) {
  std::vector<int> ids;
  int active = grid.ActiveRecord();
  for (int row = 0; row < grid.RecordCount(); ++row) {
    grid.SetActiveRecord(row);
    ids.push_back(CurrentId(ds));
  }
  grid.SetActiveRecord(active);
  return ids;
}

struct WalkCase {
  int records;
  int gridRows;
  bool filtered;  // odd ids hidden
};

class WindowWalkTest : public ::testing::TestWithParam<WalkCase> {};

TEST_P(WindowWalkTest, RandomMovesKeepWindowConsistent) {
  const WalkCase& c = GetParam();
  TMemDataSet ds;
  FillTable(ds, c.records);
  TDataSource source;
  TDataLink grid;
  source.SetDataSet(&ds);
  grid.SetDataSource(&source);
  grid.SetBufferCount(c.gridRows);
  ds.SetRecordFilter(
      [](const TMemDataSet::TRecordView& r) { return r.Value("ID").AsInteger() % 2 == 0; });
  ds.SetFiltered(c.filtered);

  std::vector<int> visible;
  for (int id = 1; id <= c.records; ++id) {
    if (!c.filtered || id % 2 == 0) {
      visible.push_back(id);
    }
  }
  int n = static_cast<int>(visible.size());
  int at = 0;  // index into visible of the expected current record
  std::mt19937 random(12345 + c.records * 7 + c.gridRows);
  for (int step = 0; step < 400; ++step) {
    int op = static_cast<int>(random() % 7);
    switch (op) {
      case 0:
        ds.Next();
        at = std::min(at + 1, n - 1);
        break;
      case 1:
        ds.Prior();
        at = std::max(at - 1, 0);
        break;
      case 2: {
        int distance = static_cast<int>(random() % 11) - 5;
        ds.MoveBy(distance);
        at = std::clamp(at + distance, 0, n - 1);
        break;
      }
      case 3:
        ds.First();
        at = 0;
        break;
      case 4:
        ds.Last();
        at = n - 1;
        break;
      case 5: {
        int target = static_cast<int>(random() % static_cast<unsigned>(n));
        ASSERT_TRUE(ds.Locate("ID", TVariant(visible[static_cast<size_t>(target)]), 0));
        at = target;
        break;
      }
      case 6:
        ds.Insert();
        ds.Cancel();
        break;
    }
    ASSERT_EQ(CurrentId(ds), visible[static_cast<size_t>(at)]) << "step " << step << " op " << op;
    std::vector<int> rows = GridRows(grid, ds);
    ASSERT_EQ(rows.size(), static_cast<size_t>(std::min(n, c.gridRows))) << "step " << step;
    auto first = std::find(visible.begin(), visible.end(), rows.front());
    ASSERT_NE(first, visible.end());
    ASSERT_TRUE(std::equal(rows.begin(), rows.end(), first)) << "step " << step;
    ASSERT_EQ(rows[static_cast<size_t>(grid.ActiveRecord())], CurrentId(ds));
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, WindowWalkTest,
                         ::testing::Values(WalkCase{1, 1, false}, WalkCase{12, 1, false},
                                           WalkCase{12, 4, false}, WalkCase{12, 4, true},
                                           WalkCase{3, 5, false}, WalkCase{30, 7, true}));

}  // namespace
