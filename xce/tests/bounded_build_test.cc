// Index builds within a small sort memory: sorted runs spilled to scratch
// files and merged must give the very bytes of a build held in memory, for
// every kind of tag and every way a build happens (creating tags, reindex,
// pack); a failure part-way leaves the old index and no scratch file; the
// scratch files live in the table's folder and nowhere else.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cdx/key_sorter.h"
#include "cdx/table_index.h"
#include "cdx_test_util.h"
#include "fault_file.h"
#include "table.h"
#include "test_util.h"

namespace xce::cdx {
namespace {

using xcetest::TempDir;

const std::vector<FieldSpec> kFields = {
    {"NAME", 'C', 30, 0}, {"NUM", 'N', 8, 2}, {"D", 'D', 8, 0}, {"OK", 'L', 1, 0}};

// Every kind of tag: plain, descending, unique, FOR, compound, and keys of
// every width from one byte to the whole name.
const std::vector<TagDefinition> kTags = {
    {"NAME", "NAME", "", false, false},
    {"NUMD", "NUM", "", false, true},
    {"UNAME", "UPPER(NAME)", "", true, false},
    {"POS", "NUM", "NUM > 0", false, false},
    {"LIVE", "NAME", ".NOT. DELETED()", false, false},
    {"DN", "DTOS(D)+STR(NUM,8,2)+NAME", "", false, false},
    {"UDATE", "D", "", true, true},
    {"OK", "OK", "", false, false},
};

// Sort memory for the duration of a test.
class SortMemoryScope {
 public:
  explicit SortMemoryScope(std::size_t bytes) : saved_(SortMemory()) { SetSortMemory(bytes); }
  ~SortMemoryScope() { SetSortMemory(saved_); }

 private:
  std::size_t saved_;
};

using testing::OpenTable;

// A table of `records` records with many equal names and numbers, names
// sharing long beginnings, empty dates, and every fifth record deleted.
void MakeTable(const std::string& path, int records) {
  ASSERT_TRUE(Table::Create(FileSystem::Default(), path, kFields, false).ok());
  std::shared_ptr<Table> t;
  std::shared_ptr<TableIndexes> indexes;
  ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
  std::mt19937 rng(99);
  for (int i = 0; i < records; ++i) {
    std::string name = rng() % 3 == 0 ? "http://www.example.com/a/" : "n";
    name += std::to_string(rng() % (records / 4 + 1));
    char num[16];
    std::snprintf(num, sizeof num, "%.2f", (static_cast<int>(rng() % 401) - 200) / 4.0);
    char date[16];
    std::snprintf(date, sizeof date, "20%02u%02u%02u", static_cast<unsigned>(rng() % 20),
                  static_cast<unsigned>(1 + rng() % 12), static_cast<unsigned>(1 + rng() % 28));
    ASSERT_TRUE(t->StartAppend().ok());
    ASSERT_TRUE(t->SetFieldText(1, name, false).ok());
    ASSERT_TRUE(t->SetFieldText(2, num, false).ok());
    ASSERT_TRUE(t->SetFieldText(3, rng() % 5 == 0 ? "" : date, false).ok());
    ASSERT_TRUE(t->SetFieldText(4, rng() % 2 ? "T" : "F", false).ok());
    ASSERT_TRUE(t->SetDeleted(i % 5 == 4).ok());
    ASSERT_TRUE(t->CommitPending().ok());
  }
  ASSERT_TRUE(t->Close().ok());
}

void CopyDir(const std::filesystem::path& from, const std::filesystem::path& to) {
  for (const auto& e : std::filesystem::directory_iterator(from)) {
    std::filesystem::copy_file(e.path(), to / e.path().filename(),
                               std::filesystem::copy_options::overwrite_existing);
  }
}

std::set<std::string> Names(const std::filesystem::path& dir) {
  std::set<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(dir)) {
    out.insert(e.path().filename().string());
  }
  return out;
}

// The index file after each way of building, in one folder, under a sort
// memory: tags created on the filled table, a reindex, a pack.
struct Built {
  std::string created, reindexed, packed;
  std::size_t scratchFiles = 0;
};

Built BuildAll(const TempDir& base, std::size_t sortMemory) {
  Built out;
  TempDir dir;
  CopyDir(base.path(), dir.path());
  const std::string path = dir.str() + "/t.dbf";
  SortMemoryScope scope(sortMemory);
  FaultInjectingFileSystem fs(FileSystem::Default());  // fails nothing; sees scratch files
  std::shared_ptr<Table> t;
  std::shared_ptr<TableIndexes> indexes;
  EXPECT_TRUE(OpenTable(&fs, path, &t, &indexes).ok());
  Status s = indexes->CreateTags(kTags);
  EXPECT_TRUE(s.ok()) << s.message();
  EXPECT_TRUE(t->Close().ok());
  out.created = xcetest::ReadBytes(dir / "t.cdx");
  EXPECT_TRUE(OpenTable(&fs, path, &t, &indexes).ok());
  s = indexes->Reindex();
  EXPECT_TRUE(s.ok()) << s.message();
  EXPECT_TRUE(t->Close().ok());
  out.reindexed = xcetest::ReadBytes(dir / "t.cdx");
  EXPECT_TRUE(OpenTable(&fs, path, &t, &indexes).ok());
  s = t->Pack();
  EXPECT_TRUE(s.ok()) << s.message();
  EXPECT_TRUE(t->Close().ok());
  out.packed = xcetest::ReadBytes(dir / "t.cdx");
  for (const std::string& d : fs.scratch_dirs()) {
    EXPECT_EQ(d, dir.str()) << "a scratch file outside the table's folder";
  }
  out.scratchFiles = fs.scratch_dirs().size();
  std::set<std::string> names = Names(base.path());
  names.insert("t.cdx");
  EXPECT_EQ(Names(dir.path()), names);
  return out;
}

TEST(BoundedBuildTest, ATinySortMemoryGivesTheSameIndexBytes) {
  TempDir base;
  MakeTable(base.str() + "/t.dbf", 3000);
  const Built inMemory = BuildAll(base, kDefaultSortMemory);
  EXPECT_EQ(inMemory.scratchFiles, 0u);
  for (std::size_t budget : {std::size_t{1024}, std::size_t{6000}, std::size_t{100000}}) {
    SCOPED_TRACE(budget);
    const Built spilled = BuildAll(base, budget);
    // Every tag of every build went through scratch files, except those a
    // pack carries over from the old tag: all but the unique ones and the
    // one reading DELETED().
    constexpr std::size_t kGatheredByPack = 3;
    EXPECT_GE(spilled.scratchFiles, 2 * kTags.size() + kGatheredByPack - 1);
    EXPECT_TRUE(spilled.created == inMemory.created) << "creating the tags";
    EXPECT_TRUE(spilled.reindexed == inMemory.reindexed) << "reindex";
    EXPECT_TRUE(spilled.packed == inMemory.packed) << "pack";
  }
  // The tags are true: what the check finds in the in-memory build.
  std::shared_ptr<Table> t;
  std::shared_ptr<TableIndexes> indexes;
  TempDir dir;
  CopyDir(base.path(), dir.path());
  xcetest::WriteBytes(dir / "t.cdx", inMemory.reindexed);
  ASSERT_TRUE(OpenTable(FileSystem::Default(), dir.str() + "/t.dbf", &t, &indexes).ok());
  ASSERT_EQ(indexes->tag_count(), static_cast<int>(kTags.size()));
  std::vector<std::string> problems;
  ASSERT_TRUE(indexes->Check(&problems).ok());
  EXPECT_TRUE(problems.empty()) << problems.front();
}

// Every write of a spilled reindex and pack fails in turn, once as a crash
// (that write and every later one fail) and once as a passing error: the
// table keeps its old index or gets the new one whole, and no scratch file
// is ever left behind (they have no name to leave).
TEST(BoundedBuildTest, FaultsDuringASpilledBuildLeaveTheOldIndexAndNoScratchFiles) {
  TempDir base;
  MakeTable(base.str() + "/t.dbf", 400);
  {
    std::shared_ptr<Table> t;
    std::shared_ptr<TableIndexes> indexes;
    ASSERT_TRUE(OpenTable(FileSystem::Default(), base.str() + "/t.dbf", &t, &indexes).ok());
    ASSERT_TRUE(indexes->CreateTags(kTags).ok());
    ASSERT_TRUE(t->Close().ok());
  }
  const std::string oldIndex = xcetest::ReadBytes(base / "t.cdx");
  const std::set<std::string> names = Names(base.path());
  SortMemoryScope scope(2048);
  for (bool pack : {false, true}) {
    SCOPED_TRACE(pack ? "pack" : "reindex");
    for (bool transient : {false, true}) {
      SCOPED_TRACE(transient ? "passing error" : "crash");
      for (uint64_t failAt = 1;; ++failAt) {
        SCOPED_TRACE(failAt);
        ASSERT_LT(failAt, 2000u) << "the build never completes";
        TempDir dir;
        CopyDir(base.path(), dir.path());
        const std::string path = dir.str() + "/t.dbf";
        FaultInjectingFileSystem faulty(FileSystem::Default());
        std::shared_ptr<Table> t;
        std::shared_ptr<TableIndexes> indexes;
        ASSERT_TRUE(OpenTable(&faulty, path, &t, &indexes).ok());
        faulty.Reset();
        faulty.FailAtWrite(failAt, transient);
        Status s = pack ? t->Pack() : indexes->Reindex();
        const bool done = s.ok() && faulty.writes() < failAt;
        (void)t->Close();
        t.reset();
        indexes.reset();
        for (const std::string& d : faulty.scratch_dirs()) {
          EXPECT_EQ(d, dir.str());
        }
        ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
        // Once the table is open again (an interrupted swap finished), only
        // files the engine names itself may stay: the new index or table
        // when the failure hit their swap, or after a crash, as after a real
        // one. Scratch files never do.
        for (const std::string& n : Names(dir.path())) {
          if (names.count(n) == 0) {
            EXPECT_TRUE(n.size() > 4 && n.substr(n.size() - 4) == ".tmp") << n;
          }
        }
        if (!s.ok() && !pack) {
          const std::string now = xcetest::ReadBytes(dir / "t.cdx");
          // A reindex that failed before its swap leaves the old file untouched.
          if (now != oldIndex) {
            EXPECT_GT(faulty.writes(), 1u);
          }
        }
        std::vector<std::string> problems;
        ASSERT_TRUE(indexes->Check(&problems).ok());
        EXPECT_TRUE(problems.empty()) << problems.front();
        ASSERT_TRUE(t->Close().ok());
        if (done) {
          EXPECT_GT(faulty.scratch_dirs().size(), 0u) << "the build did not spill";
          break;
        }
      }
    }
  }
}

// The sort memory through the C API: 0 restores the default, the least is
// one kilobyte, and a spilled build leaves nothing in the folder or in the
// system's temporary folder.
TEST(BoundedBuildTest, SortMemoryThroughTheApi) {
  uint32_t kb = 0;
  EXPECT_EQ(XdsGetIndexSortMemory(nullptr), 6005);
  ASSERT_EQ(XdsSetIndexSortMemory(1), 0);
  ASSERT_EQ(XdsGetIndexSortMemory(&kb), 0);
  EXPECT_EQ(kb, 1u);
  TempDir dir;
  TempDir tmp;
  const char* oldTmp = std::getenv("TMPDIR");
  const std::string savedTmp = oldTmp != nullptr ? oldTmp : "";
  ::setenv("TMPDIR", tmp.str().c_str(), 1);
  {
    xcetest::ApiTable t(dir.str());
    ASSERT_EQ(t.Create("a.dbf", {{"NAME", 'C', 20, 0}, {"N", 'N', 6, 0}}), 0);
    ASSERT_EQ(t.Open("a.dbf"), 0);
    for (int i = 0; i < 500; ++i) {
      ASSERT_EQ(t.Append({"name " + std::to_string(i * 7919 % 500), std::to_string(i % 37)}), 0);
    }
    const XDSTAGDEF tags[] = {{"NAME", "NAME", "", 0, 0}, {"N", "N", "", 0, 1}};
    ASSERT_EQ(XdsCreateIndexTags(t.table(), 2, tags), 0) << xcetest::LastError();
    ASSERT_EQ(XdsReindex61(t.table(), 512), 0) << xcetest::LastError();
    XDSHANDLE byName = 0;
    ASSERT_EQ(XdsGetIndexHandle(t.table(), "NAME", &byName), 0);
    ASSERT_EQ(XdsGotoTop(byName), 0);
    EXPECT_EQ(t.Field(1), "name 0              ");
    ASSERT_EQ(XdsGotoBottom(byName), 0);
    EXPECT_EQ(t.Field(1), "name 99             ");
  }
  if (oldTmp != nullptr) {
    ::setenv("TMPDIR", savedTmp.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  EXPECT_EQ(Names(dir.path()), (std::set<std::string>{"a.cdx", "a.dbf"}));
  EXPECT_TRUE(Names(tmp.path()).empty());
  ASSERT_EQ(XdsSetIndexSortMemory(0), 0);
  ASSERT_EQ(XdsGetIndexSortMemory(&kb), 0);
  EXPECT_EQ(kb, uint32_t{XDS_DEFAULT_INDEX_SORT_MEMORY_KB});
}

}  // namespace
}  // namespace xce::cdx
