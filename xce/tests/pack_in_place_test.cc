// A pack that changes the files in place from the first removed record on
// (when that writes fewer bytes than writing them anew): its tags must hold
// exactly what a fresh reindex gives, the files must pass the check, a
// failure or crash at any write must leave the table as before the pack or
// as after it, and a pack with nothing to remove must write nothing.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <utility>
#include <vector>

#include "cdx/table_index.h"
#include "cdx_test_util.h"
#include "fault_file.h"
#include "in_place_change.h"
#include "table.h"
#include "test_util.h"

namespace xce::cdx {
namespace {

using xcetest::TempDir;

const std::vector<FieldSpec> kFields = {{"NAME", 'C', 12, 0}, {"GRP", 'N', 3, 0}, {"NUM", 'N', 6, 0}};

// Plain, compound, descending and FOR tags are followed in place.
const std::vector<TagDefinition> kTags = {
    {"NAME", "NAME", "", false, false},
    {"GRPNAME", "STR(GRP,3)+NAME", "", false, false},
    {"NUMD", "NUM", "", false, true},
    {"BIG", "NUM", "NUM > 100", false, false},
};

using testing::OpenTable;

// `records` records with repeated names and groups; those for which
// `deleted` is true are marked deleted.
template <typename Deleted>
void MakeTable(const std::string& path, int records, const std::vector<TagDefinition>& tags,
               Deleted deleted, bool memo = false) {
  std::vector<FieldSpec> fields = kFields;
  if (memo) {
    fields.push_back({"NOTE", 'M', 4, 0});
  }
  ASSERT_TRUE(Table::Create(FileSystem::Default(), path, fields, false).ok());
  std::shared_ptr<Table> t;
  std::shared_ptr<TableIndexes> indexes;
  ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
  ASSERT_TRUE(indexes->CreateTags(tags).ok());
  for (int i = 1; i <= records; ++i) {
    ASSERT_TRUE(t->StartAppend().ok());
    ASSERT_TRUE(t->SetFieldText(1, "n" + std::to_string((i * 7919) % 97), false).ok());
    ASSERT_TRUE(t->SetFieldText(2, std::to_string(i % 11), false).ok());
    ASSERT_TRUE(t->SetFieldText(3, std::to_string((i * 31) % 250), false).ok());
    if (memo) {
      ASSERT_TRUE(t->SetFieldText(4, "note " + std::to_string(i), false).ok());
    }
    ASSERT_TRUE(t->SetDeleted(deleted(i)).ok());
    ASSERT_TRUE(t->CommitPending().ok());
  }
  ASSERT_TRUE(t->Close().ok());
}

// Every record image, in record order.
std::vector<std::string> Records(Table& t) {
  std::vector<std::string> out;
  std::vector<char> image(t.recordLength());
  for (uint32_t r = 1; r <= t.RecordCount(); ++r) {
    EXPECT_TRUE(t.ReadRecord(r, image.data()).ok());
    out.emplace_back(image.data(), image.size());
  }
  return out;
}

// Every tag's entries in its order.
std::vector<std::vector<std::pair<std::string, uint32_t>>> Entries(TableIndexes& indexes) {
  std::vector<std::vector<std::pair<std::string, uint32_t>>> out;
  for (int i = 0; i < indexes.tag_count(); ++i) {
    CdxTag* tag = indexes.tag(i).tag;
    auto c = tag->NewCursor();
    out.emplace_back();
    for (c->SeekToFirst(); c->Valid(); c->Next()) {
      out.back().emplace_back(std::string(c->key(), c->key() + tag->key_len()), c->recno());
    }
    EXPECT_TRUE(c->status().ok());
  }
  return out;
}

ino_t Inode(const xcetest::fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0);
  return st.st_ino;
}

std::string Problems(const std::string& path) {
  std::string report;
  EXPECT_TRUE(CheckTableFiles(FileSystem::Default(), path, &report).ok());
  EXPECT_TRUE(CheckTableIndexes(FileSystem::Default(), path, &report).ok());
  return report;
}

// Which way a pack is expected to go: in place (the files keep their
// identity), anew, or either (the bytes are close).
enum class Way { kInPlace, kAnew, kEither };

struct Case {
  const char* name;
  bool (*deleted)(int);
  Way way;
};

TEST(PackInPlace, TagsHoldWhatAFreshReindexGives) {
  constexpr int kRecords = 6000;
  const Case cases[] = {
      {"the first", [](int i) { return i == 1; }, Way::kAnew},
      {"one in the middle", [](int i) { return i == 3000; }, Way::kEither},
      {"the last", [](int i) { return i == kRecords; }, Way::kInPlace},
      {"a few near the end", [](int i) { return i == 5950 || i == 5951 || i == 5990; },
       Way::kInPlace},
      {"scattered", [](int i) { return i % 97 == 5; }, Way::kAnew},
      {"a run near the end", [](int i) { return i >= 5900 && i < 5960; }, Way::kInPlace},
      {"all", [](int) { return true; }, Way::kAnew},
  };
  for (const Case& c : cases) {
    for (bool unique : {false, true}) {
      SCOPED_TRACE(std::string(c.name) + (unique ? ", with a unique tag" : ""));
      TempDir dir;
      const std::string path = dir.str() + "/t.dbf";
      std::vector<TagDefinition> tags = kTags;
      if (unique) {
        tags.push_back({"UNAME", "NAME", "", true, false});
      }
      MakeTable(path, kRecords, tags, c.deleted);
      std::shared_ptr<Table> t;
      std::shared_ptr<TableIndexes> indexes;
      ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
      std::vector<std::string> kept;
      for (const std::string& r : Records(*t)) {
        if (r[0] != '*') {
          kept.push_back(r);
        }
      }
      const ino_t dbf = Inode(dir / "t.dbf");
      const ino_t cdx = Inode(dir / "t.cdx");
      Status s = t->Pack();
      ASSERT_TRUE(s.ok()) << s.message();
      // A unique tag may need another holder for a removed record's key:
      // such a pack always writes the files anew.
      const Way way = unique ? Way::kAnew : c.way;
      const bool inPlace = Inode(dir / "t.dbf") == dbf && Inode(dir / "t.cdx") == cdx;
      if (way != Way::kEither) {
        EXPECT_EQ(inPlace, way == Way::kInPlace);
      }
      EXPECT_EQ(Records(*t), kept);
      const auto packed = Entries(*indexes);
      ASSERT_TRUE(t->Close().ok());
      EXPECT_EQ(Problems(path), "");
      ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
      EXPECT_EQ(Entries(*indexes), packed) << "not what the file holds";
      ASSERT_TRUE(indexes->Reindex().ok());
      EXPECT_EQ(Entries(*indexes), packed) << "not what a reindex gives";
      ASSERT_TRUE(t->Close().ok());
    }
  }
}

// A table of two numbers and three tags over them, as the catalogue files a
// URL under a section: removing one row a third of the way down (what
// removing a URL from a section does) moves the tail in place, as writing
// every tag anew costs several times more; removing the first row, where the
// move would journal the whole table, writes the files anew.
TEST(PackInPlace, ARowOfANumbersTableGoesInPlaceUnlessItIsTheFirst) {
  constexpr int kRows = 30000;
  for (const int removed : {kRows / 3, 1}) {
    SCOPED_TRACE(removed);
    TempDir dir;
    const std::string path = dir.str() + "/m.dbf";
    ASSERT_TRUE(Table::Create(FileSystem::Default(), path,
                              {{"TEM_ID", 'N', 10, 0}, {"URL_ID", 'N', 10, 0}}, false)
                    .ok());
    std::shared_ptr<Table> t;
    std::shared_ptr<TableIndexes> indexes;
    ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
    ASSERT_TRUE(indexes
                    ->CreateTags({{"TEMURL", "STR(TEM_ID,10)+STR(URL_ID,10)", "", false, false},
                                  {"TEM_ID", "TEM_ID", "", false, false},
                                  {"TEM_URL", "URL_ID", "", false, false}})
                    .ok());
    for (int i = 1; i <= kRows; ++i) {
      ASSERT_TRUE(t->StartAppend().ok());
      ASSERT_TRUE(t->SetFieldText(1, std::to_string((i * 7919) % 1000 + 1), false).ok());
      ASSERT_TRUE(t->SetFieldText(2, std::to_string((i + 2) / 3), false).ok());
      ASSERT_TRUE(t->SetDeleted(i == removed).ok());
      ASSERT_TRUE(t->CommitPending().ok());
    }
    const ino_t dbf = Inode(dir / "m.dbf");
    ASSERT_TRUE(t->Pack().ok());
    EXPECT_EQ(Inode(dir / "m.dbf") == dbf, removed != 1);
    EXPECT_EQ(t->RecordCount(), static_cast<uint32_t>(kRows - 1));
    ASSERT_TRUE(t->Close().ok());
    EXPECT_EQ(Problems(path), "");
  }
}

TEST(PackInPlace, AFailureOrCrashAtAnyWriteLeavesTheOldTableOrThePackedOne) {
  TempDir base;
  const std::string basePath = base.str() + "/t.dbf";
  MakeTable(basePath, 4000, kTags, [](int i) { return i == 3950 || i == 3951 || i == 3990; });
  std::vector<std::string> before, after;
  {
    std::shared_ptr<Table> t;
    std::shared_ptr<TableIndexes> indexes;
    ASSERT_TRUE(OpenTable(FileSystem::Default(), basePath, &t, &indexes).ok());
    before = Records(*t);
  }
  for (const std::string& r : before) {
    if (r[0] != '*') {
      after.push_back(r);
    }
  }
  for (bool transient : {false, true}) {
    SCOPED_TRACE(transient ? "passing error" : "crash");
    for (uint64_t failAt = 1;; ++failAt) {
      SCOPED_TRACE(failAt);
      ASSERT_LT(failAt, 200u) << "the pack never completes";
      TempDir dir;
      for (const char* name : {"t.dbf", "t.cdx"}) {
        xcetest::WriteBytes(dir / name, xcetest::ReadBytes(base / name));
      }
      const std::string path = dir.str() + "/t.dbf";
      FaultInjectingFileSystem faulty(FileSystem::Default());
      std::shared_ptr<Table> t;
      std::shared_ptr<TableIndexes> indexes;
      ASSERT_TRUE(OpenTable(&faulty, path, &t, &indexes).ok());
      faulty.Reset();
      faulty.FailAtWrite(failAt, transient);
      const ino_t dbf = Inode(dir / "t.dbf");
      Status s = t->Pack();
      const bool done = s.ok() && faulty.writes() < failAt;
      EXPECT_EQ(Inode(dir / "t.dbf"), dbf) << "not packed in place";
      if (s.ok()) {
        EXPECT_EQ(Records(*t), after);
      } else if (transient) {
        EXPECT_EQ(Records(*t), before) << "not put back at once";
      }
      (void)t->Close();
      t.reset();
      indexes.reset();
      ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
      const std::vector<std::string> now = Records(*t);
      EXPECT_TRUE(now == before || now == after);
      if (s.ok()) {
        EXPECT_EQ(now, after) << "a pack reported done was undone";
      }
      ASSERT_TRUE(t->Close().ok());
      EXPECT_EQ(Problems(path), "");
      EXPECT_FALSE(std::filesystem::exists(path + kUndoSuffix));
      if (done) {
        break;
      }
    }
  }
}

// A journal only ever puts back the files of the table it lies beside: one
// naming another table's files is dropped unused.
TEST(PackInPlace, AJournalNamingAnotherTablesFilesIsDropped) {
  TempDir base;
  MakeTable(base.str() + "/t.dbf", 3000, kTags, [](int i) { return i == 2980; });
  MakeTable(base.str() + "/u.dbf", 10, kTags, [](int) { return false; });
  auto copy = [&](const TempDir& to) {
    for (const char* name : {"t.dbf", "t.cdx", "u.dbf", "u.cdx"}) {
      xcetest::WriteBytes(to / name, xcetest::ReadBytes(base / name));
    }
  };
  // How many writes a pack takes: the last one removes the journal.
  uint64_t writes = 0;
  {
    TempDir dir;
    copy(dir);
    FaultInjectingFileSystem counting(FileSystem::Default());
    std::shared_ptr<Table> t;
    std::shared_ptr<TableIndexes> indexes;
    ASSERT_TRUE(OpenTable(&counting, dir.str() + "/t.dbf", &t, &indexes).ok());
    counting.Reset();
    ASSERT_TRUE(t->Pack().ok());
    writes = counting.writes();
  }
  // A crash just before the journal goes: the files hold the packed table.
  TempDir dir;
  copy(dir);
  {
    FaultInjectingFileSystem faulty(FileSystem::Default());
    std::shared_ptr<Table> t;
    std::shared_ptr<TableIndexes> indexes;
    ASSERT_TRUE(OpenTable(&faulty, dir.str() + "/t.dbf", &t, &indexes).ok());
    faulty.Reset();
    faulty.FailAtWrite(writes);
    ASSERT_FALSE(t->Pack().ok());
    (void)t->Close();
  }
  const std::string packed = xcetest::ReadBytes(dir / "t.dbf");
  const std::string packedIndex = xcetest::ReadBytes(dir / "t.cdx");
  ASSERT_NE(packed, xcetest::ReadBytes(base / "t.dbf"));
  {
    // Beside its own table, even in another folder, the journal puts the
    // table back.
    TempDir moved;
    for (const char* name : {"t.dbf", "t.cdx", "t.dbf.undo"}) {
      xcetest::WriteBytes(moved / name, xcetest::ReadBytes(dir / name));
    }
    std::shared_ptr<Table> t;
    std::shared_ptr<TableIndexes> indexes;
    ASSERT_TRUE(OpenTable(FileSystem::Default(), moved.str() + "/t.dbf", &t, &indexes).ok());
    ASSERT_TRUE(t->Close().ok());
    EXPECT_EQ(xcetest::ReadBytes(moved / "t.dbf"), xcetest::ReadBytes(base / "t.dbf"));
    EXPECT_EQ(xcetest::ReadBytes(moved / "t.cdx"), xcetest::ReadBytes(base / "t.cdx"));
  }
  std::filesystem::rename(dir / "t.dbf.undo", dir / "u.dbf.undo");
  std::shared_ptr<Table> u;
  std::shared_ptr<TableIndexes> indexes;
  ASSERT_TRUE(OpenTable(FileSystem::Default(), dir.str() + "/u.dbf", &u, &indexes).ok());
  ASSERT_TRUE(u->Close().ok());
  EXPECT_FALSE(std::filesystem::exists(dir / "u.dbf.undo"));
  EXPECT_EQ(xcetest::ReadBytes(dir / "t.dbf"), packed);
  EXPECT_EQ(xcetest::ReadBytes(dir / "t.cdx"), packedIndex);
}

// The memo is compacted only once more than an eighth of it is unused: a
// few replaced values, or a removed record's, stay in place.
TEST(PackInPlace, TheMemoIsCompactedOnlyWhenMuchOfItIsUnused) {
  constexpr uint32_t kRecords = 2000;
  TempDir dir;
  const std::string path = dir.str() + "/t.dbf";
  MakeTable(path, kRecords, kTags, [](int) { return false; }, true);
  FaultInjectingFileSystem counting(FileSystem::Default());
  std::shared_ptr<Table> t;
  std::shared_ptr<TableIndexes> indexes;
  ASSERT_TRUE(OpenTable(&counting, path, &t, &indexes).ok());
  counting.Reset();
  ASSERT_TRUE(t->Pack().ok());
  EXPECT_EQ(counting.writes(), 0u) << "nothing to remove, nothing to write";
  const std::string longer(100, 'x');
  auto replace = [&](uint32_t recno) {
    ASSERT_TRUE(t->GotoRecord(recno).ok());
    ASSERT_TRUE(t->SetFieldText(4, longer, false).ok());
    ASSERT_TRUE(t->CommitPending().ok());
  };
  replace(7);  // its old block is left unused
  const auto grown = std::filesystem::file_size(dir / "t.fpt");
  counting.Reset();
  ASSERT_TRUE(t->Pack().ok());
  EXPECT_EQ(counting.writes(), 0u);
  ASSERT_TRUE(t->GotoRecord(kRecords - 3).ok());
  ASSERT_TRUE(t->SetDeleted(true).ok());
  ASSERT_TRUE(t->CommitPending().ok());
  const ino_t dbf = Inode(dir / "t.dbf");
  ASSERT_TRUE(t->Pack().ok());
  EXPECT_EQ(t->RecordCount(), kRecords - 1);
  EXPECT_EQ(Inode(dir / "t.dbf"), dbf) << "not packed in place";
  EXPECT_EQ(std::filesystem::file_size(dir / "t.fpt"), grown);
  for (uint32_t r = 10; r < 510; ++r) {
    replace(r);
  }
  const auto wasteful = std::filesystem::file_size(dir / "t.fpt");
  ASSERT_TRUE(t->Pack().ok());
  EXPECT_LT(std::filesystem::file_size(dir / "t.fpt"), wasteful);
  std::string note;
  uint32_t type = 0;
  for (uint32_t r : {7u, 10u, 509u}) {
    ASSERT_TRUE(t->GotoRecord(r).ok());
    ASSERT_TRUE(t->ReadMemo(4, &note, &type).ok());
    EXPECT_EQ(note, longer) << r;
  }
  for (uint32_t r : {510u, kRecords - 4, kRecords - 3}) {
    ASSERT_TRUE(t->GotoRecord(r).ok());
    ASSERT_TRUE(t->ReadMemo(4, &note, &type).ok());
    EXPECT_EQ(note, "note " + std::to_string(r < kRecords - 3 ? r : r + 1)) << r;
  }
  ASSERT_TRUE(t->Close().ok());
  EXPECT_EQ(Problems(path), "");
}

}  // namespace
}  // namespace xce::cdx
