// Tags kept true by the table: random appends, writes, deletes, packs and
// zaps against a model computed from the records; faults during reindex,
// pack and zap; tags built under another collation.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "cdx/table_index.h"
#include "cdx_test_util.h"
#include "fault_file.h"
#include "table.h"
#include "test_util.h"

namespace xce::cdx {
namespace {

using testing::OpenTable;
using xcetest::TempDir;

const std::vector<FieldSpec> kFields = {{"NAME", 'C', 24, 0}, {"NUM", 'N', 8, 2}, {"D", 'D', 8, 0}};

const TagDefinition kTags[] = {
    {"NAME", "NAME", "", false, false},      {"LIVE", "NAME", ".NOT. DELETED()", false, false},
    {"NUMD", "NUM", "", false, true},        {"DN", "DTOS(D)+NAME", "", false, false},
    {"POS", "NUM", "NUM > 0", false, false}, {"UNAME", "UPPER(NAME)", "", true, false},
};

// Names long and short, duplicated, Latin and Cyrillic (CP1251).
std::string RandomName(std::mt19937& rng) {
  static const char* kNames[] = {"alpha",
                                 "Alpha",
                                 "beta",
                                 "\xC8\xE2\xE0\xED\xEE\xE2",
                                 "\xE8\xE2\xE0\xED",
                                 "a",
                                 "zeta zeta zeta zeta zeta",
                                 "\xDF\xF9\xE8\xEA",
                                 "",
                                 "gamma"};
  std::string n = kNames[rng() % std::size(kNames)];
  if (rng() % 3 == 0) {
    n += std::to_string(rng() % 50);
  }
  return n;
}

std::string RandomNum(std::mt19937& rng) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%.2f", (static_cast<int>(rng() % 2001) - 1000) / 4.0);
  return buf;
}

std::string RandomDate(std::mt19937& rng) {
  if (rng() % 4 == 0) {
    return "";  // empty date
  }
  char buf[16];
  std::snprintf(buf, sizeof buf, "20%02u%02u%02u", static_cast<unsigned>(rng() % 30),
                static_cast<unsigned>(1 + rng() % 12), static_cast<unsigned>(1 + rng() % 28));
  return buf;
}

Status Fill(Table& t, std::mt19937& rng) {
  XCE_RETURN_IF_ERROR(t.SetFieldText(1, RandomName(rng), false));
  XCE_RETURN_IF_ERROR(t.SetFieldText(2, RandomNum(rng), false));
  return t.SetFieldText(3, RandomDate(rng), false);
}

// Record numbers of tag i in its order, walked through the tag's order.
std::vector<uint32_t> Walk(Table& t, const std::shared_ptr<TableIndexes>& indexes, int i) {
  TagOrder order(indexes, indexes->tag(i).tag->name());
  std::vector<uint32_t> out;
  uint32_t r = 0;
  EXPECT_TRUE(order.First(t, &r).ok());
  while (r != 0) {
    out.push_back(r);
    Status s = order.Next(t, r, &r);
    EXPECT_TRUE(s.ok()) << s.message();
    if (!s.ok()) {
      break;
    }
  }
  return out;
}

// The order a non-unique tag must have: every admitted record by (key, recno).
std::vector<uint32_t> Expected(Table& t, const std::shared_ptr<TableIndexes>& indexes, int i) {
  std::vector<std::pair<std::vector<uint8_t>, uint32_t>> entries;
  std::vector<char> image(t.recordLength());
  const int keyLen = indexes->tag(i).tag->key_len();
  for (uint32_t r = 1; r <= t.RecordCount(); ++r) {
    EXPECT_TRUE(t.ReadRecord(r, image.data()).ok());
    std::vector<uint8_t> key(keyLen);
    bool included = false;
    EXPECT_TRUE(indexes->KeyOf(i, image.data(), r, key.data(), &included).ok());
    if (included) {
      entries.emplace_back(std::move(key), r);
    }
  }
  std::sort(entries.begin(), entries.end());
  std::vector<uint32_t> out;
  for (const auto& e : entries) {
    out.push_back(e.second);
  }
  if (indexes->tag(i).tag->descending()) {
    std::reverse(out.begin(), out.end());
  }
  return out;
}

void ExpectTrue(Table& t, const std::shared_ptr<TableIndexes>& indexes) {
  std::vector<std::string> problems;
  ASSERT_TRUE(indexes->Check(&problems).ok());
  EXPECT_TRUE(problems.empty()) << problems.front();
  for (int i = 0; i < indexes->tag_count(); ++i) {
    if (!indexes->tag(i).tag->unique()) {
      EXPECT_EQ(Walk(t, indexes, i), Expected(t, indexes, i)) << indexes->tag(i).tag->name();
    }
  }
}

// Every file of `from` into `to`, so that each round starts from the same files.
void CopyFiles(const TempDir& from, const TempDir& to) {
  for (const auto& e : std::filesystem::directory_iterator(from.path())) {
    std::filesystem::copy_file(e.path(), to.path() / e.path().filename());
  }
}

// Creates a table with `records` random records and every tag of kTags.
void MakeTable(const std::string& path, int records, std::mt19937& rng) {
  ASSERT_TRUE(Table::Create(FileSystem::Default(), path, kFields, false).ok());
  std::shared_ptr<Table> t;
  std::shared_ptr<TableIndexes> indexes;
  ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
  for (int i = 0; i < records; ++i) {
    ASSERT_TRUE(t->StartAppend().ok());
    ASSERT_TRUE(Fill(*t, rng).ok());
    ASSERT_TRUE(t->CommitPending().ok());
  }
  indexes = TableIndexes::Ensure(t);
  for (const TagDefinition& def : kTags) {
    Status s = indexes->CreateTag(def);
    ASSERT_TRUE(s.ok()) << s.message();
  }
  ASSERT_TRUE(t->Close().ok());
}

int ModelOps() {
  const char* env = std::getenv("XCE_CDX_TABLE_OPS");
  return env != nullptr ? std::max(1, std::atoi(env)) : 20000;
}

TEST(CdxTableTest, RandomChangesPacksAndZapsKeepEveryTagTrue) {
  TempDir dir;
  const std::string path = dir.str() + "/model.dbf";
  std::mt19937 rng(2024);
  MakeTable(path, 200, rng);
  std::shared_ptr<Table> t;
  std::shared_ptr<TableIndexes> indexes;
  ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
  ASSERT_NE(indexes, nullptr);
  ASSERT_EQ(indexes->tag_count(), static_cast<int>(std::size(kTags)));
  ExpectTrue(*t, indexes);
  const int ops = ModelOps();
  bool zapped = false;
  for (int op = 1; op <= ops; ++op) {
    uint32_t n = t->RecordCount();
    int dice = static_cast<int>(rng() % 1000);
    Status s;
    if (n == 0 || dice < 450) {
      s = t->StartAppend();
      if (s.ok()) {
        s = Fill(*t, rng);
      }
    } else if (dice < 750) {
      s = t->GotoRecord(1 + rng() % n);
      if (s.ok()) {
        s = rng() % 2 ? t->SetFieldText(1, RandomName(rng), false) : Fill(*t, rng);
      }
    } else if (dice < 995) {
      s = t->GotoRecord(1 + rng() % n);
      if (s.ok()) {
        s = t->SetDeleted(rng() % 3 != 0);
      }
    } else if (!zapped && op > ops / 2 && rng() % 4 == 0) {
      s = t->Zap();
      zapped = true;
    } else {
      s = t->Pack();
    }
    if (s.ok()) {
      s = t->CommitPending();
    }
    ASSERT_TRUE(s.ok()) << "operation " << op << ": " << s.message();
    if (op % 2500 == 0) {
      ExpectTrue(*t, indexes);
    }
  }
  ExpectTrue(*t, indexes);
  ASSERT_TRUE(t->Close().ok());
  ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
  ExpectTrue(*t, indexes);
}

// Every write of a reindex, pack or zap fails in turn, as a crash there
// would: afterwards the table opens with either the old or the new files,
// and every tag is true.
TEST(CdxTableTest, FaultsDuringReindexPackAndZapLeaveOldOrNewFiles) {
  enum Op { kReindex, kPack, kZap };
  for (Op op : {kReindex, kPack, kZap}) {
    SCOPED_TRACE(op == kReindex ? "reindex" : op == kPack ? "pack" : "zap");
    TempDir dir;
    const std::string path = dir.str() + "/small.dbf";
    std::mt19937 rng(7);
    MakeTable(path, 30, rng);
    {
      std::shared_ptr<Table> t;
      std::shared_ptr<TableIndexes> indexes;
      ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
      for (uint32_t r = 1; r <= 30; r += 3) {
        ASSERT_TRUE(t->GotoRecord(r).ok());
        ASSERT_TRUE(t->SetDeleted(true).ok());
        ASSERT_TRUE(t->CommitPending().ok());
      }
      ASSERT_TRUE(t->Close().ok());
    }
    for (uint64_t failAt = 1;; ++failAt) {
      SCOPED_TRACE(failAt);
      TempDir work;
      CopyFiles(dir, work);
      const std::string wpath = work.str() + "/small.dbf";
      FaultInjectingFileSystem faulty(FileSystem::Default());
      std::shared_ptr<Table> t;
      std::shared_ptr<TableIndexes> indexes;
      ASSERT_TRUE(OpenTable(&faulty, wpath, &t, &indexes).ok());
      faulty.Reset();
      faulty.FailAtWrite(failAt);
      Status s = op == kReindex ? indexes->Reindex() : op == kPack ? t->Pack() : t->Zap();
      bool done = s.ok() && faulty.writes() < failAt;
      (void)t->Close();  // may fail after the injected fault; the reopen below judges
      t.reset();
      indexes.reset();
      ASSERT_TRUE(OpenTable(FileSystem::Default(), wpath, &t, &indexes).ok());
      uint32_t count = t->RecordCount();
      uint32_t after = op == kReindex ? 30 : op == kPack ? 20 : 0;
      EXPECT_TRUE(count == 30 || count == after) << count;
      ExpectTrue(*t, indexes);
      if (done || failAt > 400) {
        EXPECT_TRUE(done);
        break;
      }
    }
  }
}

// A writer deferring its index writes holds its appends' keys back: the
// tags walked between appends already hold them, and records written again
// or deleted before the flush leave every tag true, there and after reopening.
TEST(CdxTableTest, HeldAppendKeysAreInTheTagsForEveryReader) {
  TempDir dir;
  const std::string path = dir.str() + "/small.dbf";
  std::mt19937 rng(17);
  MakeTable(path, 100, rng);
  std::shared_ptr<Table> t;
  std::shared_ptr<TableIndexes> indexes;
  ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes, kOptDeferIndexWrites).ok());
  for (int i = 0; i < 400; ++i) {
    ASSERT_TRUE(t->StartAppend().ok());
    ASSERT_TRUE(Fill(*t, rng).ok());
    ASSERT_TRUE(t->CommitPending().ok());
    if (i % 100 == 50) {
      for (int k = 0; k < indexes->tag_count(); ++k) {
        if (!indexes->tag(k).tag->unique()) {
          EXPECT_EQ(Walk(*t, indexes, k), Expected(*t, indexes, k)) << i;
        }
      }
    }
    if (i % 7 == 3) {
      const uint32_t back = t->RecordCount() - static_cast<uint32_t>(rng() % 3);
      ASSERT_TRUE(t->GotoRecord(back).ok());
      ASSERT_TRUE((i % 2 == 0 ? t->SetDeleted(true) : Fill(*t, rng)).ok());
      ASSERT_TRUE(t->CommitPending().ok());
    }
  }
  ExpectTrue(*t, indexes);
  ASSERT_TRUE(t->Close().ok());
  ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
  EXPECT_EQ(t->RecordCount(), 500u);
  ExpectTrue(*t, indexes);
}

// Deferred index writes: appends hold their keys and index pages back until
// the flush. With the writes failing from one on (a crash), some call says so;
// with one write of the flush failing once, the flush tried again writes
// every held page and the tags are true.
TEST(CdxTableTest, DeferredIndexWritesReachTheFilesAtTheFlushAndReportEveryFailure) {
  TempDir dir;
  const std::string path = dir.str() + "/small.dbf";
  std::mt19937 rng(11);
  MakeTable(path, 200, rng);
  constexpr int kAppends = 60;
  for (bool atFlush : {false, true}) {
    for (uint64_t failAt = 1;; ++failAt) {
      SCOPED_TRACE(std::string(atFlush ? "flush write " : "write ") + std::to_string(failAt));
      TempDir work;
      CopyFiles(dir, work);
      const std::string wpath = work.str() + "/small.dbf";
      FaultInjectingFileSystem faulty(FileSystem::Default());
      std::shared_ptr<Table> t;
      std::shared_ptr<TableIndexes> indexes;
      ASSERT_TRUE(OpenTable(&faulty, wpath, &t, &indexes, kOptDeferIndexWrites).ok());
      faulty.Reset();
      if (!atFlush) {
        faulty.FailAtWrite(failAt);
      }
      std::mt19937 values(5);
      bool failed = false;
      for (int i = 0; i < kAppends && !failed; ++i) {
        ASSERT_TRUE(t->StartAppend().ok());
        ASSERT_TRUE(Fill(*t, values).ok());
        failed = !t->CommitPending().ok();
      }
      if (atFlush) {
        ASSERT_GT(indexes->tag(0).tag->file()->held_pages(), 0u);
        faulty.Reset();
        faulty.FailAtWrite(failAt, true);
      }
      Status flushed = t->Flush();
      if (atFlush && !flushed.ok()) {
        flushed = t->Flush();
        ASSERT_TRUE(flushed.ok()) << flushed.message();
      }
      failed = failed || !flushed.ok();
      failed = !t->Close().ok() || failed;
      const bool refused = faulty.writes() >= failAt;
      if (atFlush) {
        EXPECT_FALSE(failed);
        t.reset();
        indexes.reset();
        ASSERT_TRUE(OpenTable(FileSystem::Default(), wpath, &t, &indexes).ok());
        EXPECT_EQ(t->RecordCount(), 200u + kAppends);
        ExpectTrue(*t, indexes);
      } else {
        EXPECT_EQ(failed, refused);
      }
      if (!refused) {
        break;
      }
    }
  }
}

TEST(CdxTableTest, TagsOfAnotherCollationAreRebuiltIgnoredOrRefused) {
  TempDir dir;
  const std::string path = dir.str() + "/coll.dbf";
  std::mt19937 rng(5);
  MakeTable(path, 40, rng);
  // Mark the NAME tag as built under another collation.
  std::string cdx = xcetest::ReadBytes(dir.path() / "coll.cdx");
  std::shared_ptr<Table> t;
  std::shared_ptr<TableIndexes> indexes;
  ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
  const uint32_t header = indexes->tag(indexes->FindTag("NAME")).tag->header_offset();
  ASSERT_TRUE(t->Close().ok());
  t.reset();
  indexes.reset();
  cdx.replace(header + 494, 8, std::string("GENERAL\0", 8));
  xcetest::WriteBytes(dir.path() / "coll.cdx", cdx);

  Status s = OpenTable(FileSystem::Default(), path, &t, &indexes);
  EXPECT_EQ(s.code(), kErrCollation);
  EXPECT_NE(s.message().find("NAME"), std::string::npos) << s.message();
  t.reset();

  ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes, kOptIgnoreCollation).ok());
  EXPECT_EQ(indexes->tag(indexes->FindTag("NAME")).tag->collation(), "GENERAL");
  ASSERT_TRUE(t->Close().ok());
  t.reset();
  indexes.reset();

  ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes, kOptReindexOnCollation).ok());
  EXPECT_EQ(indexes->tag(indexes->FindTag("NAME")).tag->collation(), "MACHINE");
  ExpectTrue(*t, indexes);
}

}  // namespace
}  // namespace xce::cdx
