// A pack that writes the files anew carries each tag's entries over from the
// old tag, renumbered, without computing or sorting a key: the index must
// come out byte for byte as a fresh build from the records makes it, on
// files another program wrote (a memo and several tags, unique, FOR and
// descending ones among them), and a tag whose entries cannot be trusted is
// built from the records instead. A failure or a kill at any point of such
// a pack leaves the old table or the packed one.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "cdx/table_index.h"
#include "cdx_test_util.h"
#include "dying_file_system.h"
#include "fault_file.h"
#include "table.h"
#include "test_util.h"

namespace xce::cdx {
namespace {

namespace fs = std::filesystem;
using testing::OpenTable;
using xcetest::DyingFileSystem;
using xcetest::TempDir;

// Every record as its image with the memo pointers blanked (a rewrite moves
// the values) followed by each memo field's value.
std::vector<std::string> Contents(Table& t) {
  std::vector<std::string> out;
  std::vector<char> image(t.recordLength());
  for (uint32_t r = 1; r <= t.RecordCount(); ++r) {
    EXPECT_TRUE(t.ReadRecord(r, image.data()).ok());
    std::string row(image.data(), image.size());
    EXPECT_TRUE(t.GotoRecord(r).ok());
    for (std::size_t f = 0; f < t.fields().size(); ++f) {
      const FieldInfo& field = t.fields()[f];
      if (field.isMemo) {
        row.replace(field.offset, field.length, field.length, '.');
        std::string value;
        uint32_t type = 0;
        EXPECT_TRUE(t.ReadMemo(static_cast<uint16_t>(f + 1), &value, &type).ok()) << r;
        row += "|" + value;
      }
    }
    out.push_back(std::move(row));
  }
  return out;
}

std::vector<std::string> Kept(const std::vector<std::string>& rows) {
  std::vector<std::string> kept;
  for (const std::string& r : rows) {
    if (r[0] != '*') {
      kept.push_back(r);
    }
  }
  return kept;
}

std::string Problems(const std::string& path) {
  std::string report;
  EXPECT_TRUE(CheckTableFiles(FileSystem::Default(), path, &report).ok());
  EXPECT_TRUE(CheckTableIndexes(FileSystem::Default(), path, &report).ok());
  return report;
}

ino_t Inode(const fs::path& p) {
  struct stat st {};
  EXPECT_EQ(::stat(p.c_str(), &st), 0);
  return st.st_ino;
}

// A table of the fixtures copied into `dir`; returns the table's path.
std::string CopyFixture(const char* set, const char* stem, const TempDir& dir) {
  std::string table;
  for (const auto& e : fs::directory_iterator(testing::FixturesDir() / set)) {
    const std::string name = e.path().filename().string();
    if (name.rfind(std::string(stem) + ".", 0) == 0 && e.path().extension() != ".csv") {
      fs::copy_file(e.path(), dir / name);
      fs::permissions(dir / name, fs::perms::owner_read | fs::perms::owner_write);
      if (e.path().extension() == ".DBF" || e.path().extension() == ".dbf") {
        table = (dir / name).string();
      }
    }
  }
  return table;
}

std::string IndexPath(const std::string& table) {
  for (const char* ext : {".cdx", ".CDX"}) {
    fs::path p = fs::path(table).replace_extension(ext);
    if (fs::exists(p)) {
      return p.string();
    }
  }
  return {};
}

// Marks the records `deleted` picks (all others recalled); a null pick
// keeps the marks the file came with.
using Pick = std::function<bool(uint32_t recno, uint32_t count)>;

void Mark(const std::string& path, const Pick& deleted) {
  std::shared_ptr<Table> t;
  std::shared_ptr<TableIndexes> indexes;
  ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
  for (uint32_t r = 1; deleted && r <= t->RecordCount(); ++r) {
    ASSERT_TRUE(t->GotoRecord(r).ok());
    ASSERT_TRUE(t->SetDeleted(deleted(r, t->RecordCount())).ok());
    ASSERT_TRUE(t->CommitPending().ok());
  }
  ASSERT_TRUE(t->Close().ok());
}

struct Shape {
  const char* name;
  Pick deleted;
};

const Shape kShapes[] = {
    {"as written", nullptr},
    {"every seventh", [](uint32_t r, uint32_t) { return r % 7 == 3; }},
    {"the first", [](uint32_t r, uint32_t) { return r == 1; }},
    {"the last three", [](uint32_t r, uint32_t n) { return r + 3 > n; }},
    {"all but one", [](uint32_t r, uint32_t n) { return r != n / 2; }},
    {"all", [](uint32_t, uint32_t) { return true; }},
};

TEST(PackRewrite, PeerFilesPackToTheBytesOfAFreshBuild) {
  if (!fs::exists(testing::FixturesDir() / "big")) {
    GTEST_SKIP() << "fixtures not found at " << testing::FixturesDir();
  }
  struct Peer {
    const char* set;
    const char* stem;
    const char* drop;  // a unique tag taken out first, so that a pack may go in place
  };
  const Peer tables[] = {{"catalogue", "urls", nullptr},
                         {"big", "BIG", nullptr},
                         {"big", "BIG", "NAMEU"},
                         {"types", "ALLTYPES", nullptr}};
  int rewritten = 0;
  int inPlace = 0;
  for (const Peer& peer : tables) {
    for (const Shape& shape : kShapes) {
      SCOPED_TRACE(std::string(peer.stem) + (peer.drop ? " without its unique tag, " : ", ") +
                   shape.name);
      TempDir dir;
      const std::string path = CopyFixture(peer.set, peer.stem, dir);
      ASSERT_FALSE(path.empty());
      const std::string index = IndexPath(path);
      Mark(path, shape.deleted);
      std::shared_ptr<Table> t;
      std::shared_ptr<TableIndexes> indexes;
      ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
      if (peer.drop != nullptr) {
        ASSERT_TRUE(indexes->DeleteTag(peer.drop).ok());
      }
      ASSERT_GE(indexes->tag_count(), 4);
      const std::vector<std::string> kept = Kept(Contents(*t));
      const ino_t before = Inode(index);
      Status s = t->Pack();
      ASSERT_TRUE(s.ok()) << s.message();
      EXPECT_EQ(Contents(*t), kept);
      ASSERT_TRUE(t->Close().ok());
      EXPECT_EQ(Problems(path), "");
      const std::string packed = xcetest::ReadBytes(index);
      const bool anew = Inode(index) != before;
      (anew ? rewritten : inPlace)++;
      ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
      std::vector<std::vector<uint32_t>> orders;
      for (int i = 0; i < indexes->tag_count(); ++i) {
        Status walk;
        orders.push_back(testing::WalkRecnos(indexes->tag(i).tag, &walk));
        EXPECT_TRUE(walk.ok());
      }
      ASSERT_TRUE(indexes->Reindex().ok());
      for (int i = 0; i < indexes->tag_count(); ++i) {
        Status walk;
        EXPECT_EQ(testing::WalkRecnos(indexes->tag(i).tag, &walk), orders[i])
            << indexes->tag(i).tag->name();
      }
      ASSERT_TRUE(t->Close().ok());
      if (anew) {
        EXPECT_TRUE(xcetest::ReadBytes(index) == packed) << "not the bytes of a fresh build";
      }
    }
  }
  EXPECT_GT(rewritten, 0);
  EXPECT_GT(inPlace, 0);
}

// The entries of every tag, in ascending (key, record number) order, as a
// new index file takes them.
std::vector<TagSpec> SpecsOf(TableIndexes& indexes) {
  std::vector<TagSpec> specs;
  for (int i = 0; i < indexes.tag_count(); ++i) {
    CdxTag* tag = indexes.tag(i).tag;
    TagSpec tagSpec;
    tagSpec.name = tag->name();
    tagSpec.keyExpr = tag->key_expr();
    tagSpec.forExpr = tag->for_expr();
    tagSpec.keyType = indexes.tag(i).maker->type();
    tagSpec.keyLen = tag->key_len();
    tagSpec.unique = tag->unique();
    tagSpec.descending = tag->descending();
    tagSpec.sorted = true;  // written as given, so that a test may give them out of order
    TagCursor c(tag);
    for (c.PhysicalFirst(); c.Valid(); c.PhysicalNext()) {
      tagSpec.Add(c.key(), c.recno());
    }
    EXPECT_TRUE(c.status().ok());
    specs.push_back(std::move(tagSpec));
  }
  return specs;
}

// Packs the table at `path`, then checks it and that its index is what a
// build from the packed records writes.
void PackEqualsReindex(const std::string& path) {
  const std::string cdxPath = path.substr(0, path.size() - 3) + "cdx";
  std::shared_ptr<Table> t;
  std::shared_ptr<TableIndexes> indexes;
  ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
  Status s = t->Pack();
  ASSERT_TRUE(s.ok()) << s.message();
  ASSERT_TRUE(t->Close().ok());
  EXPECT_EQ(Problems(path), "");
  const std::string packed = xcetest::ReadBytes(cdxPath);
  ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
  ASSERT_TRUE(indexes->Reindex().ok());
  ASSERT_TRUE(t->Close().ok());
  EXPECT_TRUE(xcetest::ReadBytes(cdxPath) == packed) << "not what a build from the records gives";
}

TEST(PackRewrite, ATagThatCannotBeTrustedIsBuiltFromTheRecords) {
  const std::vector<FieldSpec> fields = {{"NAME", 'C', 12, 0}, {"NUM", 'N', 6, 0}};
  const std::vector<TagDefinition> tags = {
      {"NAME", "NAME", "", false, false},
      {"NUMD", "NUM", "", false, true},
      {"BIG", "NUM", "NUM > 100", false, false},
  };
  TempDir base;
  const std::string basePath = base.str() + "/t.dbf";
  {
    ASSERT_TRUE(Table::Create(FileSystem::Default(), basePath, fields, false).ok());
    std::shared_ptr<Table> t;
    std::shared_ptr<TableIndexes> indexes;
    ASSERT_TRUE(OpenTable(FileSystem::Default(), basePath, &t, &indexes).ok());
    ASSERT_TRUE(indexes->CreateTags(tags).ok());
    for (int i = 1; i <= 2000; ++i) {
      ASSERT_TRUE(t->StartAppend().ok());
      ASSERT_TRUE(t->SetFieldText(1, "n" + std::to_string((i * 7919) % 501), false).ok());
      ASSERT_TRUE(t->SetFieldText(2, std::to_string((i * 31) % 250), false).ok());
      ASSERT_TRUE(t->SetDeleted(i % 10 == 1).ok());
      ASSERT_TRUE(t->CommitPending().ok());
    }
    ASSERT_TRUE(t->Close().ok());
  }
  // Ways a tag's entries can be wrong while its pages still read: each
  // changes the NAME tag's entries, given as (key, record number) pairs in
  // the order they are written.
  using Entries = std::vector<std::pair<std::string, uint32_t>>;
  const std::pair<const char*, std::function<void(Entries*)>> damages[] = {
      {"two entries out of order", [](Entries* e) { std::swap((*e)[10], (*e)[900]); }},
      {"a record left out", [](Entries* e) { e->erase(e->begin() + 500); }},
      {"a record that does not exist", [](Entries* e) { e->back().second = 2005; }},
      {"a record twice, another left out",
       [](Entries* e) { (*e)[700].second = (*e)[1300].second; }},
  };
  for (const auto& [what, damage] : damages) {
    SCOPED_TRACE(what);
    TempDir dir;
    for (const char* name : {"t.dbf", "t.cdx"}) {
      xcetest::WriteBytes(dir / name, xcetest::ReadBytes(base / name));
    }
    const std::string path = dir.str() + "/t.dbf";
    std::shared_ptr<Table> t;
    std::shared_ptr<TableIndexes> indexes;
    ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
    std::vector<TagSpec> specs = SpecsOf(*indexes);
    ASSERT_TRUE(t->Close().ok());
    TagSpec& name = specs[0];
    ASSERT_EQ(name.name, "NAME");
    Entries entries;
    for (std::size_t k = 0; k < name.recnos.size(); ++k) {
      entries.emplace_back(std::string(name.keys.begin() + k * name.keyLen,
                                       name.keys.begin() + (k + 1) * name.keyLen),
                           name.recnos[k]);
    }
    damage(&entries);
    name.keys.clear();
    name.recnos.clear();
    for (const auto& [key, recno] : entries) {
      name.Add(reinterpret_cast<const uint8_t*>(key.data()), recno);
    }
    {
      std::unique_ptr<File> file;
      ASSERT_TRUE(FileSystem::Default()->Open(dir.str() + "/t.cdx", OpenMode::kCreate, &file).ok());
      std::unique_ptr<CdxFile> cdx;
      ASSERT_TRUE(CdxFile::Create(std::move(file), std::move(specs), &cdx).ok());
    }
    PackEqualsReindex(path);
  }
  // Ways the NAME tag's chain of leaves can be broken: the last leaf's right
  // link turned back to the first leaf, or out of the file.
  const std::pair<const char*, bool> chains[] = {{"a chain that loops", true},
                                                 {"a link out of the file", false}};
  for (const auto& [what, loops] : chains) {
    SCOPED_TRACE(what);
    TempDir dir;
    for (const char* name : {"t.dbf", "t.cdx"}) {
      xcetest::WriteBytes(dir / name, xcetest::ReadBytes(base / name));
    }
    uint32_t first = 0;
    uint32_t last = 0;
    {
      std::unique_ptr<File> file;
      ASSERT_TRUE(FileSystem::Default()->Open(dir.str() + "/t.cdx", OpenMode::kReadWrite, &file).ok());
      std::unique_ptr<CdxFile> cdx;
      ASSERT_TRUE(CdxFile::Open(std::move(file), false, &cdx).ok());
      CdxTag* tag = cdx->FindTag("NAME");
      ASSERT_NE(tag, nullptr);
      for (uint32_t* end : {&first, &last}) {
        std::shared_ptr<const Node> node;
        ASSERT_TRUE(cdx->ReadNode(tag->root(), tag->key_len(), tag->pad(), &node).ok());
        while (!node->leaf()) {
          const uint32_t child = end == &first ? node->children.front() : node->children.back();
          ASSERT_TRUE(cdx->ReadNode(child, tag->key_len(), tag->pad(), &node).ok());
        }
        *end = node->offset;
      }
    }
    ASSERT_NE(first, last);
    std::string bytes = xcetest::ReadBytes(dir / "t.cdx");
    const uint32_t link = loops ? first : static_cast<uint32_t>(bytes.size() + 4 * kPageSize);
    for (int b = 0; b < 4; ++b) {
      bytes[last + 8 + b] = static_cast<char>(link >> (8 * b));
    }
    xcetest::WriteBytes(dir / "t.cdx", bytes);
    PackEqualsReindex(dir.str() + "/t.dbf");
  }
}

// The catalogue's URL table as another program wrote it (a memo and four
// tags), every seventh record deleted: a pack that writes it anew.
std::string PeerCatalogue(const TempDir& dir) {
  const std::string path = CopyFixture("catalogue", "urls", dir);
  Mark(path, [](uint32_t r, uint32_t) { return r % 7 == 2; });
  return path;
}

TEST(PackRewrite, AFailureAtAnyWriteLeavesThePeerTableOrItsPackedOne) {
  if (!fs::exists(testing::FixturesDir() / "catalogue")) {
    GTEST_SKIP() << "fixtures not found at " << testing::FixturesDir();
  }
  TempDir base;
  const std::string basePath = PeerCatalogue(base);
  std::vector<std::string> before;
  {
    std::shared_ptr<Table> t;
    std::shared_ptr<TableIndexes> indexes;
    ASSERT_TRUE(OpenTable(FileSystem::Default(), basePath, &t, &indexes).ok());
    before = Contents(*t);
  }
  const std::vector<std::string> after = Kept(before);
  ASSERT_NE(before, after);
  for (bool transient : {false, true}) {
    SCOPED_TRACE(transient ? "passing error" : "crash");
    for (uint64_t failAt = 1;; ++failAt) {
      SCOPED_TRACE(failAt);
      ASSERT_LT(failAt, 300u) << "the pack never completes";
      TempDir dir;
      for (const auto& e : fs::directory_iterator(base.path())) {
        fs::copy_file(e.path(), dir / e.path().filename());
      }
      const std::string path = (dir / fs::path(basePath).filename()).string();
      FaultInjectingFileSystem faulty(FileSystem::Default());
      std::shared_ptr<Table> t;
      std::shared_ptr<TableIndexes> indexes;
      ASSERT_TRUE(OpenTable(&faulty, path, &t, &indexes).ok());
      faulty.Reset();
      faulty.FailAtWrite(failAt, transient);
      Status s = t->Pack();
      const bool done = s.ok() && faulty.writes() < failAt;
      (void)t->Close();
      t.reset();
      indexes.reset();
      ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
      const std::vector<std::string> now = Contents(*t);
      EXPECT_TRUE(now == before || now == after);
      if (s.ok()) {
        EXPECT_EQ(now, after) << "a pack reported done was undone";
      }
      ASSERT_TRUE(t->Close().ok());
      EXPECT_EQ(Problems(path), "");
      if (done) {
        break;
      }
    }
  }
}

TEST(PackRewrite, AKilledPackOfAPeerTableIsFinishedOnTheNextOpen) {
  if (!fs::exists(testing::FixturesDir() / "catalogue")) {
    GTEST_SKIP() << "fixtures not found at " << testing::FixturesDir();
  }
  for (auto point : {DyingFileSystem::kBeforeRename, DyingFileSystem::kBeforeJournalRemoved}) {
    SCOPED_TRACE(point == DyingFileSystem::kBeforeRename ? "killed before the renames"
                                                         : "killed before the journal went");
    TempDir dir;
    const std::string path = PeerCatalogue(dir);
    std::vector<std::string> after;
    {
      std::shared_ptr<Table> t;
      std::shared_ptr<TableIndexes> indexes;
      ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
      after = Kept(Contents(*t));
    }
    pid_t pid = fork();
    if (pid == 0) {
      DyingFileSystem dying(point, kRebuildSuffix);
      std::shared_ptr<Table> t;
      std::shared_ptr<TableIndexes> indexes;
      if (!OpenTable(&dying, path, &t, &indexes).ok()) {
        _exit(2);
      }
      (void)t->Pack();
      _exit(3);  // not reached: the swap kills the process
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    ASSERT_TRUE(fs::exists(path + kSwapSuffix));
    std::shared_ptr<Table> t;
    std::shared_ptr<TableIndexes> indexes;
    ASSERT_TRUE(OpenTable(FileSystem::Default(), path, &t, &indexes).ok());
    EXPECT_EQ(Contents(*t), after);
    ASSERT_TRUE(t->Close().ok());
    EXPECT_EQ(Problems(path), "");
    for (const auto& e : fs::directory_iterator(dir.path())) {
      EXPECT_EQ(e.path().string().find(".tmp"), std::string::npos) << e.path();
    }
    EXPECT_FALSE(fs::exists(path + kSwapSuffix));
  }
}

}  // namespace
}  // namespace xce::cdx
