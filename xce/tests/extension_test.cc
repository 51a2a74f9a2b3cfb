// The hooks the expression and index layers build on: filters decide
// visibility, other orders drive movement, extensions see every durable
// change and take part in pack and zap.
#include "table.h"
#include "test_util.h"

namespace xcetest {
namespace {

using xce::Order;
using xce::RecordFilter;
using xce::Status;
using xce::Table;
using xce::TableExtension;

std::shared_ptr<Table> OpenTable(const fs::path& path, bool exclusive = true) {
  xce::OpenOptions o;
  o.exclusive = exclusive;
  std::shared_ptr<Table> t;
  Status s = Table::Open(xce::FileSystem::Default(), path.string(), o, &t);
  EXPECT_TRUE(s.ok()) << s.message();
  return t;
}

void MakeNumbers(const TempDir& dir, int n) {
  ApiTable t(dir.str());
  ASSERT_EQ(t.Create("n.dbf", {{"ID", 'N', 4, 0}}), 0);
  ASSERT_EQ(t.Open("n.dbf"), 0);
  for (int i = 1; i <= n; ++i) {
    ASSERT_EQ(t.Append({std::to_string(i)}), 0);
  }
}

int Id(const Table& t) { return std::atoi(std::string(t.image() + 1, 4).c_str()); }

class EvenIds : public RecordFilter {
 public:
  Status Accept(Table&, uint32_t, const char* image, bool* accept) override {
    *accept = std::atoi(std::string(image + 1, 4).c_str()) % 2 == 0;
    return Status::Ok();
  }
};

// Record numbers from the last to the first, as a descending tag would go.
class Reverse : public Order {
 public:
  Status First(Table& t, uint32_t* r) override { return forward_.Last(t, r); }
  Status Last(Table& t, uint32_t* r) override { return forward_.First(t, r); }
  Status Next(Table& t, uint32_t recno, uint32_t* r) override { return forward_.Prev(t, recno, r); }
  Status Prev(Table& t, uint32_t recno, uint32_t* r) override { return forward_.Next(t, recno, r); }

 private:
  xce::RecnoOrder forward_;
};

std::vector<int> Walk(Table& t, Order* order) {
  std::vector<int> ids;
  EXPECT_TRUE(t.GotoTop(order).ok());
  while (!t.eof()) {
    ids.push_back(Id(t));
    if (!t.Skip(order, 1).ok()) {
      break;
    }
  }
  return ids;
}

TEST(Extensions, FiltersDecideVisibilityForMovesAndCounts) {
  TempDir dir;
  MakeNumbers(dir, 7);
  auto t = OpenTable(dir / "n.dbf");
  auto filter = std::make_shared<EvenIds>();
  t->AddFilter(filter);
  EXPECT_EQ(Walk(*t, t->recnoOrder()), (std::vector<int>{2, 4, 6}));
  uint32_t n = 0;
  ASSERT_TRUE(t->Count(t->recnoOrder(), true, false, &n).ok());
  EXPECT_EQ(n, 3u);
  ASSERT_TRUE(t->Count(t->recnoOrder(), false, false, &n).ok());
  EXPECT_EQ(n, 7u);
  ASSERT_TRUE(t->GotoBottom(t->recnoOrder()).ok());
  EXPECT_EQ(Id(*t), 6);
  bool visible = true;
  ASSERT_TRUE(t->IsVisible(t->recnoOrder(), 3, &visible).ok());
  EXPECT_FALSE(visible);
  Reverse reverse;
  EXPECT_EQ(Walk(*t, &reverse), (std::vector<int>{6, 4, 2}));
  t->RemoveFilter(filter.get());
  EXPECT_EQ(Walk(*t, &reverse), (std::vector<int>{7, 6, 5, 4, 3, 2, 1}));
}

struct WriteLog : public TableExtension {
  Status OnRecordWrite(Table&, uint32_t recno, const char* oldImage,
                       const char* newImage) override {
    std::string entry = std::to_string(recno) + ":" +
                        (oldImage == nullptr ? std::string("new") : std::string(oldImage, 5)) +
                        ">" + std::string(newImage, 5);
    log.push_back(entry);
    return failWrites ? Status(xce::kErrIo, "index update failed") : Status::Ok();
  }
  Status OnRebuild(Table&, xce::RebuildContext& ctx) override {
    rebuiltCount = ctx.recordCount;
    for (uint32_t r = 1; r <= ctx.recordCount; ++r) {
      std::vector<char> rec(5);
      XCE_RETURN_IF_ERROR(ctx.readRecord(r, rec.data()));
      rebuilt.emplace_back(rec.data(), 5);
    }
    return Status::Ok();
  }
  Status AfterRebuild(Table&) override {
    ++afterRebuild;
    return Status::Ok();
  }
  bool MaintainsStructuralIndex() const override { return maintains; }

  std::vector<std::string> log;
  std::vector<std::string> rebuilt;
  uint32_t rebuiltCount = 0;
  int afterRebuild = 0;
  bool failWrites = false;
  bool maintains = false;
};

TEST(Extensions, SeeEveryDurableChangeWithOldAndNewImages) {
  TempDir dir;
  MakeNumbers(dir, 3);
  auto t = OpenTable(dir / "n.dbf");
  auto log = std::make_shared<WriteLog>();
  t->AddExtension(log);
  ASSERT_TRUE(t->GotoRecord(2).ok());
  ASSERT_TRUE(t->SetFieldText(1, "20", false).ok());
  ASSERT_TRUE(t->SetDeleted(true).ok());
  ASSERT_TRUE(t->CommitPending().ok());
  ASSERT_TRUE(t->StartAppend().ok());
  ASSERT_TRUE(t->SetFieldText(1, "4", false).ok());
  ASSERT_TRUE(t->CommitPending().ok());
  EXPECT_EQ(log->log, (std::vector<std::string>{"2:    2>*  20", "4:new>    4"}));
  log->failWrites = true;  // a failing index update stores nothing
  ASSERT_TRUE(t->GotoRecord(1).ok());
  ASSERT_TRUE(t->SetFieldText(1, "99", false).ok());
  EXPECT_FALSE(t->CommitPending().ok());
  ASSERT_TRUE(t->CancelPending().ok());
  EXPECT_EQ(Id(*t), 1);
  log->failWrites = false;
  ASSERT_TRUE(t->Pack().ok());
  EXPECT_EQ(log->rebuiltCount, 3u);
  EXPECT_EQ(log->rebuilt, (std::vector<std::string>{"    1", "    3", "    4"}));
  EXPECT_EQ(log->afterRebuild, 1);
  ASSERT_TRUE(t->Close().ok());
}

TEST(Extensions, AMaintainedStructuralIndexLiftsTheWriteRefusal) {
  TempDir dir;
  MakeNumbers(dir, 1);
  std::string bytes = ReadBytes(dir / "n.dbf");
  bytes[28] = 0x01;  // the header now announces a structural CDX
  WriteBytes(dir / "n.dbf", bytes);
  auto t = OpenTable(dir / "n.dbf");
  EXPECT_EQ(t->StartAppend().code(), xce::kErrIndexProtected);
  auto ext = std::make_shared<WriteLog>();
  ext->maintains = true;
  t->AddExtension(ext);
  EXPECT_EQ(t->OpenOptionsWord() & 0x60u, 0x60u);
  ASSERT_TRUE(t->StartAppend().ok());
  ASSERT_TRUE(t->CommitPending().ok());
  EXPECT_EQ(ext->log.size(), 1u);
}

}  // namespace
}  // namespace xcetest
