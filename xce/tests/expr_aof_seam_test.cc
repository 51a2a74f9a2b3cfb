// The seam where indexes resolve optimized filters: a complete answer is
// used as it is, a candidate set is narrowed by evaluating the expression,
// and no answer falls back to evaluating every record.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "fault_file.h"
#include "table.h"
#include "table_filter.h"

namespace {

using xce::AofIndexResolver;
using xce::RecordSet;
using xce::Status;
using xce::Table;

class FakeIndex : public xce::TableExtension, public AofIndexResolver {
 public:
  enum class Answer { kNone, kComplete, kCandidates };
  FakeIndex(Answer a, std::vector<uint32_t> records) : answer_(a), records_(std::move(records)) {}

  Status ResolveAof(Table& t, const xce::expr::Expression& e, RecordSet* set, bool* resolved,
                    bool* complete) override {
    (void)t;
    asked.push_back(e.Text());
    *resolved = answer_ != Answer::kNone;
    *complete = answer_ == Answer::kComplete;
    for (uint32_t r : records_) {
      set->Set(r, true);
    }
    return Status::Ok();
  }
  Status OnRecordWrite(Table&, uint32_t, const char*, const char*) override { return Status::Ok(); }
  Status OnRebuild(Table&, xce::RebuildContext&) override { return Status::Ok(); }
  Status AfterRebuild(Table&) override { return Status::Ok(); }

  std::vector<std::string> asked;

 private:
  Answer answer_;
  std::vector<uint32_t> records_;
};

class AofSeamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/xce_seam_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
    std::string path = dir_ + "/s.dbf";
    ASSERT_TRUE(
        Table::Create(xce::FileSystem::Default(), path, {{"TEM_ID", 'N', 10, 0}}, false).ok());
    xce::OpenOptions o;
    o.exclusive = true;
    ASSERT_TRUE(Table::Open(xce::FileSystem::Default(), path, o, &table_).ok());
    // Records 1..6 with TEM_ID 1 2 1 2 1 2.
    for (int i = 1; i <= 6; ++i) {
      ASSERT_TRUE(table_->StartAppend().ok());
      std::string v = std::to_string(2 - i % 2);
      ASSERT_TRUE(table_->SetFieldText(1, v, false).ok());
      ASSERT_TRUE(table_->CommitPending().ok());
    }
  }
  void TearDown() override {
    if (table_) {
      EXPECT_TRUE(table_->Close().ok());
    }
    std::filesystem::remove_all(dir_);
  }

  std::vector<uint32_t> VisibleRecords() {
    std::vector<uint32_t> out;
    for (uint32_t r = 1; r <= table_->RecordCount(); ++r) {
      bool v = false;
      EXPECT_TRUE(table_->IsVisible(table_->recnoOrder(), r, &v).ok());
      if (v) {
        out.push_back(r);
      }
    }
    return out;
  }

  std::string dir_;
  std::shared_ptr<Table> table_;
};

TEST_F(AofSeamTest, IndexAnswersAreUsedAsTheyClaim) {
  struct Case {
    FakeIndex::Answer answer;
    std::vector<uint32_t> records;
    std::vector<uint32_t> want;
  };
  const Case cases[] = {
      // Complete: taken as it is, nothing evaluated.
      {FakeIndex::Answer::kComplete, {3, 5}, {3, 5}},
      // Candidates: only those that really match (TEM_ID = 1 is 1, 3, 5).
      {FakeIndex::Answer::kCandidates, {2, 3, 4, 5}, {3, 5}},
      // No answer: every record is evaluated.
      {FakeIndex::Answer::kNone, {}, {1, 3, 5}},
  };
  for (const Case& c : cases) {
    auto index = std::make_shared<FakeIndex>(c.answer, c.records);
    table_->AddExtension(index);
    ASSERT_TRUE(xce::SetTableAof(*table_, "TEM_ID = 1", 1).ok());
    EXPECT_EQ(index->asked, std::vector<std::string>{"TEM_ID = 1"});
    EXPECT_EQ(VisibleRecords(), c.want);
    ASSERT_TRUE(xce::ClearTableAof(*table_).ok());
    TearDown();
    SetUp();
  }
}

TEST_F(AofSeamTest, RecordsTheAnswerTurnsDownAreNotRead) {
  constexpr uint32_t kProbe = 20000;  // beyond what a read ahead of record 1 holds
  for (std::vector<uint32_t> matches : {std::vector<uint32_t>{2}, std::vector<uint32_t>{}}) {
    for (uint32_t r = table_->RecordCount(); r < kProbe; ++r) {
      ASSERT_TRUE(table_->StartAppend().ok());
      ASSERT_TRUE(table_->SetFieldText(1, "2", false).ok());
      ASSERT_TRUE(table_->CommitPending().ok());
    }
    // The table again, its reads counted.
    ASSERT_TRUE(table_->Close().ok());
    xce::FaultInjectingFileSystem fs(xce::FileSystem::Default());
    xce::OpenOptions o;
    o.exclusive = true;
    ASSERT_TRUE(Table::Open(&fs, dir_ + "/s.dbf", o, &table_).ok());
    table_->AddExtension(std::make_shared<FakeIndex>(FakeIndex::Answer::kComplete, matches));
    ASSERT_TRUE(xce::SetTableAof(*table_, "TEM_ID = 2", 1).ok());
    const uint64_t reads = fs.reads();
    bool visible = true;
    ASSERT_TRUE(table_->IsVisible(table_->recnoOrder(), kProbe, &visible).ok());
    EXPECT_FALSE(visible);
    // A filter that passes nothing settles at the end without a walk.
    if (matches.empty()) {
      ASSERT_TRUE(table_->GotoTop(table_->recnoOrder()).ok());
      EXPECT_TRUE(table_->eof());
    }
    EXPECT_EQ(fs.reads(), reads);
    EXPECT_EQ(VisibleRecords(), matches);  // the answer, not the stored values
    TearDown();
    SetUp();
  }
}

// The set keeps its count through every change rather than counting its
// bits when asked; a count gone astray would make a filtered table look
// empty (or not) to every step.
TEST(RecordSetCount, FollowsEveryChange) {
  RecordSet a;
  a.Set(3, true);
  a.Set(3, true);    // already in: no second count
  a.Set(200, true);  // grows the bitmap
  a.Set(7, false);   // never in
  EXPECT_EQ(a.Count(), 2u);
  a.Set(3, false);
  EXPECT_EQ(a.Count(), 1u);
  RecordSet b;
  b.Fill(130);
  EXPECT_EQ(b.Count(), 130u);
  b.Set(200, true);
  a.Set(64, true);
  a.IntersectWith(b);  // {64, 200}
  EXPECT_EQ(a.Count(), 2u);
  b.IntersectWith(RecordSet());
  EXPECT_EQ(b.Count(), 0u);
  b.Fill(64);
  b.Clear();
  EXPECT_EQ(b.Count(), 0u);
  EXPECT_EQ(b.NextAfter(0), 0u);
}

}  // namespace
