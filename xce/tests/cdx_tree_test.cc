// The tree code against an in-memory model: random inserts and deletes,
// bulk builds, seeks, key positions and damaged files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "cdx/bulk_memory.h"
#include "cdx/cdx_build.h"
#include "cdx/cdx_check.h"
#include "cdx/cdx_key.h"
#include "cdx/key_sorter.h"
#include "cdx_test_util.h"
#include "fault_file.h"
#include "test_util.h"

namespace xce::cdx {
namespace {

using Key = std::vector<uint8_t>;
using Entry = std::pair<Key, uint32_t>;

struct KeyShape {
  const char* name;
  KeyType type;
  int keyLen;
  int alphabet;  // distinct values drawn from; small gives many duplicates
};

// Keys of one shape: character keys of varying used length (Cyrillic bytes
// among them), numbers negative and positive, dates with empty ones.
Key MakeKey(const KeyShape& shape, std::mt19937& rng) {
  Key key(shape.keyLen, PadByte(shape.type));
  int v = static_cast<int>(rng() % shape.alphabet);
  switch (shape.type) {
    case KeyType::kCharacter: {
      std::mt19937 local(v);
      int used = 1 + static_cast<int>(local() % shape.keyLen);
      for (int i = 0; i < used; ++i) {
        int r = static_cast<int>(local() % 40);
        // Shared prefixes make the duplicate counts work; high bytes are Cyrillic.
        key[i] = static_cast<uint8_t>(i < 3 ? 'A' + (v % 3) : (r < 26 ? 'a' + r : 0xC0 + r));
      }
      break;
    }
    case KeyType::kNumeric:
      EncodeDouble((v - shape.alphabet / 2) * 0.5, key.data());
      break;
    case KeyType::kDate:
      EncodeDouble(v % 7 == 0 ? 0.0 : 2451545.0 + v, key.data());
      break;
    case KeyType::kInteger:
      EncodeInt32(v - shape.alphabet / 2, key.data());
      break;
    default:
      key[0] = (v & 1) ? 'T' : 'F';
  }
  return key;
}

TagSpec MakeTagSpec(const std::string& name, const KeyShape& shape, bool unique = false,
                    bool descending = false) {
  TagSpec tagSpec;
  tagSpec.name = name;
  tagSpec.keyExpr = "KEY";
  tagSpec.keyType = shape.type;
  tagSpec.keyLen = shape.keyLen;
  tagSpec.unique = unique;
  tagSpec.descending = descending;
  return tagSpec;
}

std::vector<Entry> Walk(CdxTag* tag, bool backwards = false) {
  std::vector<Entry> out;
  auto c = tag->NewCursor();
  if (backwards) {
    for (c->SeekToLast(); c->Valid(); c->Prev()) {
      out.emplace_back(Key(c->key(), c->key() + c->key_len()), c->recno());
    }
    std::reverse(out.begin(), out.end());
  } else {
    for (c->SeekToFirst(); c->Valid(); c->Next()) {
      out.emplace_back(Key(c->key(), c->key() + c->key_len()), c->recno());
    }
  }
  EXPECT_TRUE(c->status().ok()) << c->status().message();
  return out;
}

std::vector<Entry> Sorted(const std::set<Entry>& model, bool descending) {
  std::vector<Entry> v(model.begin(), model.end());
  if (descending) {
    std::reverse(v.begin(), v.end());
  }
  return v;
}

void ExpectSound(CdxFile* file) {
  std::vector<std::string> problems = CheckIndexFile(file);
  EXPECT_TRUE(problems.empty()) << problems.front();
}

int ModelOps() {
  const char* env = std::getenv("XCE_CDX_MODEL_OPS");
  return env != nullptr ? std::max(1, std::atoi(env)) : 20000;
}

const KeyShape kShapes[] = {
    {"short char, many duplicates", KeyType::kCharacter, 10, 40},
    {"long char", KeyType::kCharacter, 100, 5000},
    {"240-byte char", KeyType::kCharacter, 240, 300},
    {"numeric", KeyType::kNumeric, 8, 3000},
    {"date", KeyType::kDate, 8, 500},
    {"integer", KeyType::kInteger, 4, 100000},
    {"logical", KeyType::kLogical, 1, 2},
};

// Entries as a sorter hands them out.
struct Collector : EntrySink {
  std::vector<Entry> entries;
  Status Put(const uint8_t* key, uint32_t recno) override {
    entries.emplace_back(Key(key, key + keyLen), recno);
    return Status::Ok();
  }
  int keyLen = 0;
};

// The bulk sort against a plain comparison sort, on sets large enough to be
// shared between threads, in records given out of order: keys of every
// shape, keys alike in their first sixteen bytes, unique tags.
TEST(CdxTreeTest, BulkSortEqualsAComparisonSort) {
  std::vector<KeyShape> shapes(std::begin(kShapes), std::end(kShapes));
  shapes.push_back({"shared prefix", KeyType::kCharacter, 40, 1000});
  for (const KeyShape& shape : shapes) {
    for (bool unique : {false, true}) {
      SCOPED_TRACE(std::string(shape.name) + (unique ? ", unique" : ""));
      std::mt19937 rng(7);
      const uint32_t n = 70000;
      std::vector<uint32_t> recnos(n);
      for (uint32_t i = 0; i < n; ++i) {
        recnos[i] = i + 1;
      }
      std::shuffle(recnos.begin(), recnos.end(), rng);
      TagSpec tagSpec = MakeTagSpec("T", shape, unique);
      std::vector<Entry> expected;
      for (uint32_t r : recnos) {
        Key key = MakeKey(shape, rng);
        if (std::string(shape.name) == "shared prefix") {
          // Twenty equal bytes first, as in addresses of one site.
          std::memcpy(key.data() + 20, key.data(), 20);
          std::memset(key.data(), 'h', 20);
        }
        tagSpec.Add(key.data(), r);
        expected.emplace_back(key, r);
      }
      std::sort(expected.begin(), expected.end());
      xcetest::TempDir scratch;
      if (unique) {
        expected.erase(std::unique(expected.begin(), expected.end(),
                                   [](const Entry& a, const Entry& b) { return a.first == b.first; }),
                       expected.end());
      }
      // In memory, and through runs on disk merged with the last buffer.
      for (std::size_t capacity : {std::size_t{n}, std::size_t{9000}}) {
        SCOPED_TRACE(capacity == n ? "in memory" : "through runs");
        ScratchPlace place;
        if (capacity < n) {
          place = {FileSystem::Default(), scratch.str()};
        }
        KeySorter sorter(shape.keyLen, unique, false, capacity, place);
        for (std::size_t i = 0; i < tagSpec.recnos.size(); ++i) {
          if (sorter.MustSpill(1)) {
            ASSERT_TRUE(sorter.Spill().ok());
          }
          sorter.Add(tagSpec.keys.data() + i * shape.keyLen, tagSpec.recnos[i]);
        }
        EXPECT_EQ(sorter.runs(), capacity < n ? n / capacity : 0);
        Collector got;
        got.keyLen = shape.keyLen;
        ASSERT_TRUE(sorter.Drain(&got).ok());
        ASSERT_EQ(got.entries.size(), expected.size());
        for (std::size_t i = 0; i < expected.size(); ++i) {
          ASSERT_EQ(got.entries[i], expected[i]) << "entry " << i;
        }
      }
    }
  }
}

// A large drain feeds its sink from another thread: a sink that fails (a
// full disk under the tree writer) stops the drain with its own error, in
// the first block, at a block's edge or deep in the tree, and is given no
// entry after the one it refused.
TEST(CdxTreeTest, ASinkFailureStopsTheDrainWithItsError) {
  struct Failing : EntrySink {
    uint64_t failAt = 0;
    uint64_t puts = 0;
    uint64_t after = 0;
    Status Put(const uint8_t*, uint32_t) override {
      if (++puts > failAt) {
        ++after;
      }
      return puts >= failAt ? Status(kErrIo, "disk full") : Status::Ok();
    }
  };
  for (uint64_t failAt : {uint64_t{1}, uint64_t{8192}, uint64_t{8193}, uint64_t{69999}}) {
    SCOPED_TRACE(failAt);
    KeySorter sorter(8, false, false, 70000, ScratchPlace{});
    for (uint32_t r = 1; r <= 70000; ++r) {
      uint8_t key[8];
      PutBe64(key, (r * 2654435761u) % 1000);
      sorter.Add(key, r);
    }
    Failing sink;
    sink.failAt = failAt;
    Status s = sorter.Drain(&sink);
    EXPECT_EQ(s.code(), kErrIo);
    EXPECT_EQ(s.message(), "disk full");
    EXPECT_EQ(sink.after, 0u);
  }
}

// Sorts large enough for bulk memory, spilled three times in a row under a
// reuse scope: each sort after the first gets the work space the previous
// one freed, holding its entries, and the drain still gives every entry in
// order. Outside a scope nothing is kept.
TEST(CdxTreeTest, SpilledSortsReuseOneWorkSpaceAndStayExact) {
  {
    BulkReuse reuse;
    void* a = AllocateBulk(kBulkMinBytes);
    FreeBulk(a, kBulkMinBytes);
    void* b = AllocateBulk(kBulkMinBytes);
    EXPECT_EQ(a, b) << "a freed block of the same size is handed out again";
    void* c = AllocateBulk(kBulkMinBytes);
    EXPECT_NE(b, c);
    FreeBulk(b, kBulkMinBytes);
    FreeBulk(c, kBulkMinBytes);
  }
  const int keyLen = 20;
  const uint32_t capacity = 200000;  // 4.8 MB of sort items
  const uint32_t n = 3 * capacity + 12345;
  std::mt19937 rng(11);
  std::vector<Entry> expected;
  xcetest::TempDir scratch;
  BulkReuse reuse;
  KeySorter sorter(keyLen, false, false, capacity, {FileSystem::Default(), scratch.str()});
  for (uint32_t r = 1; r <= n; ++r) {
    Key key(keyLen, ' ');
    const std::string digits = std::to_string(rng() % 50000);
    std::memcpy(key.data() + keyLen - digits.size(), digits.data(), digits.size());
    key[3] = static_cast<uint8_t>('a' + rng() % 3);
    if (sorter.MustSpill(1)) {
      ASSERT_TRUE(sorter.Spill().ok());
    }
    sorter.Add(key.data(), r);
    expected.emplace_back(key, r);
  }
  EXPECT_EQ(sorter.runs(), 3u);
  std::sort(expected.begin(), expected.end());
  Collector got;
  got.keyLen = keyLen;
  ASSERT_TRUE(sorter.Drain(&got).ok());
  ASSERT_EQ(got.entries.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) {
    ASSERT_EQ(got.entries[i], expected[i]) << "entry " << i;
  }
}

// Random inserts and deletes against a sorted model; every tag also starts
// from a bulk build, so both ways of making pages are exercised together.
TEST(CdxTreeTest, RandomInsertsAndDeletesMatchASortedModel) {
  const int ops = ModelOps();
  for (const KeyShape& shape : kShapes) {
    for (bool unique : {false, true}) {
      SCOPED_TRACE(std::string(shape.name) + (unique ? ", unique" : ""));
      std::mt19937 rng(12345);
      TagSpec tagSpec = MakeTagSpec("T", shape, unique, shape.keyLen == 8);
      // Unique model: key -> the record that holds it in the tag.
      std::set<Entry> model;
      std::map<Key, uint32_t> firstOf;
      uint32_t nextRecno = 1;
      for (int i = 0; i < 300; ++i) {
        Key k = MakeKey(shape, rng);
        tagSpec.Add(k.data(), nextRecno);
        if (!unique || firstOf.emplace(k, nextRecno).second) {
          model.emplace(k, nextRecno);
        }
        ++nextRecno;
      }
      auto bytes = std::make_shared<std::vector<uint8_t>>();
      std::unique_ptr<CdxFile> cdx;
      ASSERT_TRUE(
          CdxFile::Create(std::make_unique<MemoryFile>("model.cdx", bytes), {tagSpec}, &cdx).ok());
      CdxTag* tag = cdx->tag(0);
      const int shapeOps = shape.keyLen >= 100 ? ops / 4 : ops;
      for (int op = 0; op < shapeOps; ++op) {
        bool remove = !model.empty() && rng() % 100 < 45;
        if (remove) {
          auto it = model.begin();
          std::advance(it, rng() % model.size());
          Entry e = *it;
          bool removed = false;
          ASSERT_TRUE(tag->Delete(e.first.data(), e.second, &removed).ok());
          ASSERT_TRUE(removed);
          model.erase(it);
          if (unique) {
            firstOf.erase(e.first);
          }
        } else {
          Key k = MakeKey(shape, rng);
          bool added = false;
          ASSERT_TRUE(tag->Insert(k.data(), nextRecno, &added).ok());
          bool want = !unique || firstOf.emplace(k, nextRecno).second;
          ASSERT_EQ(added, want);
          if (want) {
            model.emplace(k, nextRecno);
          }
          ++nextRecno;
        }
        if (op % 5000 == 4999) {
          ASSERT_EQ(Walk(tag), Sorted(model, tag->descending()));
        }
      }
      ASSERT_TRUE(cdx->Flush().ok());
      EXPECT_EQ(Walk(tag), Sorted(model, tag->descending()));
      EXPECT_EQ(Walk(tag, true), Sorted(model, tag->descending()));
      uint64_t count = 0;
      ASSERT_TRUE(tag->Count(&count).ok());
      EXPECT_EQ(count, model.size());
      ExpectSound(cdx.get());
      // What was written reads back the same from the bytes alone.
      std::unique_ptr<CdxFile> again;
      ASSERT_TRUE(testing::OpenBytes("model.cdx", *bytes, &again).ok());
      again->tag(0)->SetKeyType(shape.type);
      EXPECT_EQ(Walk(again->tag(0)), Sorted(model, tag->descending()));
      ExpectSound(again.get());
    }
  }
}

// A batch of entries (new ones at both ends and between, and some present
// already) merged in one pass holds what inserting them one by one holds:
// into an empty tag, whose root grows level after level (two keys of 240
// bytes fill an interior page), and into a filled one, ascending and
// descending; its pages pass the checker and read back from the bytes alone.
TEST(CdxTreeTest, ASortedBatchHoldsWhatInsertsOneByOneHold) {
  for (const KeyShape& shape : {kShapes[0], kShapes[1], kShapes[2], kShapes[3]}) {
    for (int existing : {0, 2000}) {
      SCOPED_TRACE(std::string(shape.name) + ", " + std::to_string(existing) + " entries before");
      std::mt19937 rng(7);
      TagSpec tagSpec = MakeTagSpec("T", shape, false, shape.keyLen == 8);
      std::set<Entry> model;
      uint32_t recno = 1;
      for (; recno <= static_cast<uint32_t>(existing); ++recno) {
        Key k = MakeKey(shape, rng);
        tagSpec.Add(k.data(), recno);
        model.emplace(k, recno);
      }
      std::set<Entry> batch;
      for (int i = 0; i < 3000; ++i, ++recno) {
        batch.emplace(MakeKey(shape, rng), recno);
      }
      for (auto it = model.begin(); it != model.end();
           std::advance(it, std::min<std::size_t>(40, std::distance(it, model.end())))) {
        batch.insert(*it);
      }
      std::vector<uint8_t> keys;
      std::vector<uint32_t> recnos;
      for (const Entry& e : batch) {
        keys.insert(keys.end(), e.first.begin(), e.first.end());
        recnos.push_back(e.second);
      }
      // A second batch lands in one place: one key value, many records.
      std::set<Entry> second;
      const Key one = MakeKey(shape, rng);
      for (int i = 0; i < 600; ++i, ++recno) {
        second.emplace(one, recno);
      }
      std::vector<uint8_t> keys2;
      std::vector<uint32_t> recnos2;
      for (const Entry& e : second) {
        keys2.insert(keys2.end(), e.first.begin(), e.first.end());
        recnos2.push_back(e.second);
      }
      auto bytes = std::make_shared<std::vector<uint8_t>>();
      std::unique_ptr<CdxFile> merged;
      std::unique_ptr<CdxFile> oneByOne;
      ASSERT_TRUE(
          CdxFile::Create(std::make_unique<MemoryFile>("m.cdx", bytes), {tagSpec}, &merged).ok());
      ASSERT_TRUE(CdxFile::Create(std::make_unique<MemoryFile>(
                                      "o.cdx", std::make_shared<std::vector<uint8_t>>()),
                                  {tagSpec}, &oneByOne)
                      .ok());
      Status s = merged->tag(0)->InsertSorted(keys.data(), recnos.data(), recnos.size());
      s = s.ok() ? merged->tag(0)->InsertSorted(keys2.data(), recnos2.data(), recnos2.size()) : s;
      ASSERT_TRUE(s.ok()) << s.message();
      batch.insert(second.begin(), second.end());
      // One by one in ascending order too: keys of 240 bytes, two to an
      // interior page, must not leave pages of one entry behind them.
      for (const Entry& e : batch) {
        ASSERT_TRUE(oneByOne->tag(0)->Insert(e.first.data(), e.second).ok());
      }
      model.insert(batch.begin(), batch.end());
      ASSERT_TRUE(merged->Flush().ok());
      const std::vector<Entry> want = Sorted(model, merged->tag(0)->descending());
      EXPECT_EQ(Walk(merged->tag(0)), want);
      EXPECT_EQ(Walk(merged->tag(0), true), want);
      EXPECT_EQ(Walk(oneByOne->tag(0)), want);
      ExpectSound(oneByOne.get());
      uint64_t count = 0;
      ASSERT_TRUE(merged->tag(0)->Count(&count).ok());
      EXPECT_EQ(count, model.size());
      ExpectSound(merged.get());
      std::unique_ptr<CdxFile> again;
      ASSERT_TRUE(testing::OpenBytes("m.cdx", *bytes, &again).ok());
      again->tag(0)->SetKeyType(shape.type);
      EXPECT_EQ(Walk(again->tag(0)), want);
      ExpectSound(again.get());
    }
  }
}

// Entries held back (CdxTag::Hold) are in the tree for every reader: a seek
// and a count before the flush find them. With each write failing in turn,
// a batch writing through reports the failure; one whose file holds its
// writes back reports it at the flush, and the flush tried again completes
// the tag.
TEST(CdxTreeTest, HeldEntriesAreReadAndAFailingWriteIsReported) {
  xcetest::TempDir dir;
  const std::string path = dir.str() + "/t.cdx";
  const KeyShape& shape = kShapes[1];
  std::mt19937 rng(3);
  TagSpec tagSpec = MakeTagSpec("T", shape);
  std::set<Entry> before;
  for (uint32_t r = 1; r <= 500; ++r) {
    Key k = MakeKey(shape, rng);
    tagSpec.Add(k.data(), r);
    before.emplace(k, r);
  }
  {
    std::unique_ptr<File> f;
    ASSERT_TRUE(FileSystem::Default()->Open(path, OpenMode::kCreate, &f).ok());
    std::unique_ptr<CdxFile> cdx;
    ASSERT_TRUE(CdxFile::Create(std::move(f), {tagSpec}, &cdx).ok());
  }
  std::vector<Entry> batch;
  for (uint32_t r = 501; r <= 1500; ++r) {
    batch.emplace_back(MakeKey(shape, rng), r);
  }
  std::set<Entry> after = before;
  after.insert(batch.begin(), batch.end());
  const std::string copy = dir.str() + "/w.cdx";
  for (bool defer : {false, true}) {
    for (uint64_t failAt = 1;; ++failAt) {
      SCOPED_TRACE(std::string(defer ? "held, write " : "write ") + std::to_string(failAt));
      std::filesystem::copy_file(path, copy, std::filesystem::copy_options::overwrite_existing);
      FaultInjectingFileSystem faulty(FileSystem::Default());
      std::unique_ptr<File> f;
      ASSERT_TRUE(faulty.Open(copy, OpenMode::kReadWrite, &f).ok());
      std::unique_ptr<CdxFile> cdx;
      ASSERT_TRUE(CdxFile::Open(std::move(f), false, &cdx).ok());
      CdxTag* tag = cdx->tag(0);
      tag->SetKeyType(shape.type);
      cdx->SetDeferWrites(defer);
      faulty.FailAtWrite(failAt, defer);
      Status s;
      if (defer) {
        for (const Entry& e : batch) {
          ASSERT_TRUE(tag->Hold(e.first.data(), e.second).ok());
        }
        auto c = tag->NewCursor();
        EXPECT_TRUE(c->SeekEntry(batch.back().first.data(), batch.back().second));
        uint64_t count = 0;
        ASSERT_TRUE(tag->Count(&count).ok());
        EXPECT_EQ(count, after.size());
        s = cdx->Flush();
        if (!s.ok()) {
          s = cdx->Flush();
          ASSERT_TRUE(s.ok()) << s.message();
          EXPECT_EQ(Walk(tag), Sorted(after, false));
          ExpectSound(cdx.get());
        }
      } else {
        std::vector<uint8_t> keys;
        std::vector<uint32_t> recnos;
        for (const Entry& e : std::set<Entry>(batch.begin(), batch.end())) {
          keys.insert(keys.end(), e.first.begin(), e.first.end());
          recnos.push_back(e.second);
        }
        s = tag->InsertSorted(keys.data(), recnos.data(), recnos.size());
        s = s.ok() ? cdx->Flush() : s;
      }
      const bool failed = faulty.writes() >= failAt;
      EXPECT_EQ(s.ok(), !failed || defer) << s.message();
      if (!failed) {
        EXPECT_EQ(Walk(tag), Sorted(after, false));
        ExpectSound(cdx.get());
        break;
      }
    }
  }
}

TEST(CdxTreeTest, DeletingEverythingLeavesAnEmptySoundTagAndReusesPages) {
  KeyShape shape{"char", KeyType::kCharacter, 20, 1000000};
  std::mt19937 rng(7);
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  std::unique_ptr<CdxFile> cdx;
  ASSERT_TRUE(CdxFile::Create(std::make_unique<MemoryFile>("e.cdx", bytes),
                              {MakeTagSpec("A", shape), MakeTagSpec("B", shape)}, &cdx)
                  .ok());
  std::vector<Entry> entries;
  for (uint32_t r = 1; r <= 3000; ++r) {
    entries.emplace_back(MakeKey(shape, rng), r);
    ASSERT_TRUE(cdx->tag(0)->Insert(entries.back().first.data(), r).ok());
  }
  const std::size_t grown = bytes->size();
  std::shuffle(entries.begin(), entries.end(), rng);
  for (const Entry& e : entries) {
    ASSERT_TRUE(cdx->tag(0)->Delete(e.first.data(), e.second).ok());
  }
  EXPECT_TRUE(Walk(cdx->tag(0)).empty());
  ExpectSound(cdx.get());
  // The freed pages serve the next growth instead of the file's end.
  for (const Entry& e : entries) {
    ASSERT_TRUE(cdx->tag(1)->Insert(e.first.data(), e.second).ok());
  }
  EXPECT_LE(bytes->size(), grown + grown / 8);
  ExpectSound(cdx.get());
}

TEST(CdxTreeTest, TagsCanBeAddedAndDroppedInAnExistingFile) {
  KeyShape shape{"char", KeyType::kCharacter, 12, 1000000};
  std::mt19937 rng(9);
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  std::unique_ptr<CdxFile> cdx;
  ASSERT_TRUE(CdxFile::Create(std::make_unique<MemoryFile>("t.cdx", bytes), {}, &cdx).ok());
  for (int t = 0; t < 40; ++t) {
    TagSpec tagSpec = MakeTagSpec("TAG" + std::to_string(t), shape);
    for (uint32_t r = 1; r <= 50; ++r) {
      Key k = MakeKey(shape, rng);
      tagSpec.Add(k.data(), r);
    }
    CdxTag* tag = nullptr;
    ASSERT_TRUE(cdx->AddTag(tagSpec, &tag).ok());
    EXPECT_EQ(tag->name(), "TAG" + std::to_string(t));
  }
  CdxTag* dup = nullptr;
  EXPECT_EQ(cdx->AddTag(MakeTagSpec("tag7", shape), &dup).code(), kErrTagExists);
  ASSERT_TRUE(cdx->DropTag("tag3").ok());
  EXPECT_EQ(cdx->DropTag("TAG3").code(), kErrTagNotFound);
  ExpectSound(cdx.get());
  std::unique_ptr<CdxFile> again;
  ASSERT_TRUE(testing::OpenBytes("t.cdx", *bytes, &again).ok());
  ASSERT_EQ(again->tag_count(), 39);
  EXPECT_EQ(again->tag(0)->name(), "TAG0");  // creation order, not name order
  EXPECT_EQ(again->tag(38)->name(), "TAG39");
  EXPECT_EQ(Walk(again->FindTag("Tag12")).size(), 50u);
  EXPECT_EQ(again->FindTag("TAG3"), nullptr);
  ExpectSound(again.get());
}

TEST(CdxTreeTest, HeadersCarryTheDefinition) {
  KeyShape shape{"num", KeyType::kNumeric, 8, 10};
  TagSpec tagSpec = MakeTagSpec("N3ODD", shape, true, true);
  tagSpec.keyExpr = "N3";
  tagSpec.forExpr = "N3 % 2 == 1";
  std::unique_ptr<CdxFile> cdx;
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  ASSERT_TRUE(CdxFile::Create(std::make_unique<MemoryFile>("h.cdx", bytes), {tagSpec}, &cdx).ok());
  std::unique_ptr<CdxFile> again;
  ASSERT_TRUE(testing::OpenBytes("h.cdx", *bytes, &again).ok());
  CdxTag* tag = again->FindTag("n3odd");
  ASSERT_NE(tag, nullptr);
  EXPECT_EQ(tag->key_expr(), "N3");
  EXPECT_EQ(tag->for_expr(), "N3 % 2 == 1");
  EXPECT_TRUE(tag->unique());
  EXPECT_TRUE(tag->descending());
  EXPECT_EQ(tag->options(), kOptCompound | kOptCompact | kOptUnique | kOptHasFor);
  EXPECT_EQ(tag->collation(), "MACHINE");
  EXPECT_EQ(tag->key_len(), 8);
  // The directory header as other writers expect it.
  EXPECT_EQ((*bytes)[14], 0xE0);
  EXPECT_EQ(Le16(bytes->data() + 12), 10);
}

// A tag of names "A".."Z" twice each, records 1..52, for the seek tests.
std::unique_ptr<CdxFile> LetterTag(bool descending) {
  KeyShape shape{"char", KeyType::kCharacter, 6, 1};
  TagSpec tagSpec = MakeTagSpec("L", shape, false, descending);
  for (uint32_t r = 1; r <= 52; ++r) {
    Key k(6, ' ');
    k[0] = static_cast<uint8_t>('A' + (r - 1) % 26);
    k[1] = 'X';
    tagSpec.Add(k.data(), r);
  }
  std::unique_ptr<CdxFile> cdx;
  EXPECT_TRUE(CdxFile::Create(std::make_unique<MemoryFile>("l.cdx", std::vector<uint8_t>()),
                              {tagSpec}, &cdx)
                  .ok());
  return cdx;
}

TEST(CdxTreeTest, SeekFindsExactAndPartialKeysInBothDirections) {
  struct Case {
    bool descending;
    const char* key;
    bool partial;
    bool found;
    uint32_t recno;  // 0: past the end
  } cases[] = {
      {false, "CX", false, true, 3}, {false, "C", true, true, 3},   {false, "C", false, false, 3},
      {false, "CY", true, false, 4}, {false, "ZZ", true, false, 0}, {false, "", true, true, 1},
      {true, "CX", false, true, 29}, {true, "C", true, true, 29},   {true, "CY", true, false, 29},
      {true, "C", false, false, 28}, {true, "A", false, false, 0},  {true, "ZZ", true, false, 52},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.key) + (c.descending ? " descending" : "") +
                 (c.partial ? " partial" : ""));
    auto cdx = LetterTag(c.descending);
    auto cursor = cdx->tag(0)->NewCursor();
    bool found = cursor->Seek(reinterpret_cast<const uint8_t*>(c.key),
                              static_cast<int>(std::strlen(c.key)), c.partial);
    EXPECT_EQ(found, c.found);
    ASSERT_EQ(cursor->Valid(), c.recno != 0);
    if (c.recno != 0) {
      EXPECT_EQ(cursor->recno(), c.recno);
    }
  }
}

// One cursor seeking again and again (in key order, the way a list looks up
// each of its records, and at random) stands where a fresh cursor's descent
// from the root stands: a seek that stays in the cursor's leaf must not miss
// an equal key in the leaf before it, also after the tag changed.
TEST(CdxTreeTest, RepeatedSeeksLandWhereAFreshDescentLands) {
  for (bool descending : {false, true}) {
    SCOPED_TRACE(descending ? "descending" : "ascending");
    KeyShape shape{"char", KeyType::kCharacter, 6, 1};
    TagSpec tagSpec = MakeTagSpec("L", shape, false, descending);
    auto keyOf = [](uint32_t v) {
      Key k(6, ' ');
      k[0] = static_cast<uint8_t>('A' + v / 26 % 26);
      k[1] = static_cast<uint8_t>('A' + v % 26);
      return k;
    };
    for (uint32_t r = 1; r <= 3000; ++r) {  // each key on 5 records, across leaves
      tagSpec.Add(keyOf((r - 1) / 5).data(), r);
    }
    std::unique_ptr<CdxFile> cdx;
    ASSERT_TRUE(CdxFile::Create(std::make_unique<MemoryFile>("s.cdx", std::vector<uint8_t>()),
                                {tagSpec}, &cdx)
                    .ok());
    CdxTag* tag = cdx->tag(0);
    auto reused = tag->NewCursor();
    std::mt19937 rng(7);
    for (int i = 0; i < 1500; ++i) {
      if (i == 900) {  // a change of the tag: the reused cursor's leaf is stale
        bool added = false;
        ASSERT_TRUE(tag->Insert(keyOf(300).data(), 9999, &added).ok());
      }
      const uint32_t v = i < 700 ? static_cast<uint32_t>(i) : rng() % 640;
      Key k = keyOf(v);
      const bool partial = i % 3 == 0;
      const int len = partial ? 1 + i % 2 : 6;
      auto fresh = tag->NewCursor();
      const bool found = reused->Seek(k.data(), len, partial);
      EXPECT_EQ(found, fresh->Seek(k.data(), len, partial)) << v;
      ASSERT_EQ(reused->Valid(), fresh->Valid()) << v;
      if (fresh->Valid()) {
        EXPECT_EQ(reused->recno(), fresh->recno()) << v;
      }
    }
  }
}

TEST(CdxTreeTest, RelativeKeyPositionsAreExact) {
  for (bool descending : {false, true}) {
    auto cdx = LetterTag(descending);
    auto cursor = cdx->tag(0)->NewCursor();
    double f = -1;
    EXPECT_EQ(cursor->GetRelativePosition(&f).code(), kErrNoKeyPosition);
    cursor->SeekToFirst();
    ASSERT_TRUE(cursor->GetRelativePosition(&f).ok());
    EXPECT_EQ(f, 0.0);
    cursor->SeekToLast();
    ASSERT_TRUE(cursor->GetRelativePosition(&f).ok());
    EXPECT_EQ(f, 1.0);
    // Every position maps to its own fraction and back.
    int i = 0;
    for (cursor->SeekToFirst(); cursor->Valid(); cursor->Next(), ++i) {
      ASSERT_TRUE(cursor->GetRelativePosition(&f).ok());
      EXPECT_NEAR(f, i / 51.0, 1e-12);
      auto other = cdx->tag(0)->NewCursor();
      other->SetRelativePosition(f);
      ASSERT_TRUE(other->Valid());
      EXPECT_EQ(other->recno(), cursor->recno());
    }
  }
}

TEST(CdxTreeTest, CursorFollowsChangesOfItsTag) {
  auto cdx = LetterTag(false);
  CdxTag* tag = cdx->tag(0);
  auto cursor = tag->NewCursor();
  ASSERT_TRUE(cursor->Seek(reinterpret_cast<const uint8_t*>("M"), 1, true));
  ASSERT_EQ(cursor->recno(), 13u);
  Key k = {'M', 'X', ' ', ' ', ' ', ' '};
  ASSERT_TRUE(tag->Delete(k.data(), 13).ok());
  cursor->Next();  // the entry left; Next lands on its successor
  ASSERT_TRUE(cursor->Valid());
  EXPECT_EQ(cursor->recno(), 39u);
  ASSERT_TRUE(tag->Insert(k.data(), 100).ok());
  cursor->Prev();
  ASSERT_TRUE(cursor->Valid());
  EXPECT_EQ(cursor->recno(), 38u);  // "LX" of record 38 precedes "MX" of record 39
}

// Builds a three-level file and returns its bytes and the tag's pages.
struct Damageable {
  std::vector<uint8_t> bytes;
  uint32_t root = 0;
  std::vector<uint32_t> leaves;
  uint32_t interior = 0;  // a non-root interior page
  uint32_t header = 0;
};

Damageable BuildDamageable() {
  KeyShape shape{"char", KeyType::kCharacter, 200, 1000000};
  std::mt19937 rng(3);
  TagSpec tagSpec = MakeTagSpec("BIG", shape);
  for (uint32_t r = 1; r <= 400; ++r) {
    Key k = MakeKey(shape, rng);
    tagSpec.Add(k.data(), r);
  }
  auto bytes = std::make_shared<std::vector<uint8_t>>();
  std::unique_ptr<CdxFile> cdx;
  EXPECT_TRUE(CdxFile::Create(std::make_unique<MemoryFile>("d.cdx", bytes), {tagSpec}, &cdx).ok());
  Damageable d;
  CdxTag* tag = cdx->tag(0);
  d.root = tag->root();
  std::shared_ptr<const Node> node;
  EXPECT_TRUE(cdx->ReadNode(d.root, 200, 0x20, &node).ok());
  EXPECT_FALSE(node->leaf());
  d.interior = node->children[0];
  EXPECT_TRUE(cdx->ReadNode(d.interior, 200, 0x20, &node).ok());
  EXPECT_FALSE(node->leaf());
  while (!node->leaf()) {
    EXPECT_TRUE(cdx->ReadNode(node->children[0], 200, 0x20, &node).ok());
  }
  d.header = tag->header_offset();
  uint32_t off = node->offset;
  while (off != kNoPage) {
    d.leaves.push_back(off);
    EXPECT_TRUE(cdx->ReadNode(off, 200, 0x20, &node).ok());
    off = node->right;
  }
  d.bytes = *bytes;
  return d;
}

// Every damage yields problems from the check and errors (not crashes, not
// hangs) from walking, seeking and changing the tag.
TEST(CdxTreeTest, DamagedFilesGiveErrorsNeverHangs) {
  const Damageable base = BuildDamageable();
  ASSERT_GE(base.leaves.size(), 10u);
  struct Damage {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> apply;
  } damages[] = {
      {"sibling chain loops back",
       [&](std::vector<uint8_t>& b) { PutLe32(b.data() + base.leaves[5] + 8, base.leaves[2]); }},
      {"sibling points to itself",
       [&](std::vector<uint8_t>& b) { PutLe32(b.data() + base.leaves[5] + 8, base.leaves[5]); }},
      {"child pointer loops to the root",
       [&](std::vector<uint8_t>& b) { PutBe32(b.data() + base.interior + 12 + 204, base.root); }},
      {"child pointer past the end",
       [&](std::vector<uint8_t>& b) { PutBe32(b.data() + base.interior + 12 + 204, 0x7FFFFE00); }},
      {"sibling past the end",
       [&](std::vector<uint8_t>& b) { PutLe32(b.data() + base.leaves[1] + 8, 0x10000000); }},
      {"key count beyond the page",
       [&](std::vector<uint8_t>& b) { PutLe16(b.data() + base.leaves[3] + 2, 400); }},
      {"bit widths cannot hold", [&](std::vector<uint8_t>& b) { b[base.leaves[4] + 20] = 60; }},
      {"entry width zero", [&](std::vector<uint8_t>& b) { b[base.leaves[4] + 23] = 0; }},
      {"counts exceed the key",
       [&](std::vector<uint8_t>& b) {
         int e = b[base.leaves[6] + 23];
         b[base.leaves[6] + 24 + 2 * e - 1] = 0xFF;
       }},
      {"root outside the file",
       [&](std::vector<uint8_t>& b) { PutLe32(b.data() + base.header, 0xFFFFFF00); }},
      {"truncated file", [&](std::vector<uint8_t>& b) { b.resize(b.size() - 700); }},
      {"interior order broken", [&](std::vector<uint8_t>& b) { b[base.interior + 12] = 0xFF; }},
      {"a leaf out of order inside is its own sibling",
       [&](std::vector<uint8_t>& b) {
         // Its last key is below its first, so each hop onto itself looks
         // like a step forward to a check of the leaf boundary alone.
         Node leaf;
         leaf.keyLen = 200;
         leaf.left = base.leaves[4];
         leaf.right = base.leaves[5];
         const Key high(200, 0xFE);
         const Key low(200, 0xFD);
         leaf.Insert(0, high.data(), 1, 0);
         leaf.Insert(1, low.data(), 2, 0);
         EncodeNode(leaf, 0x20, b.data() + base.leaves[5]);
       }},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.name);
    std::vector<uint8_t> bytes = base.bytes;
    damage.apply(bytes);
    std::unique_ptr<CdxFile> cdx;
    Status s = testing::OpenBytes("d.cdx", bytes, &cdx, false);
    if (!s.ok()) {
      EXPECT_NE(s.message().find("d.cdx"), std::string::npos);
      continue;
    }
    std::vector<std::string> problems = CheckIndexFile(cdx.get());
    EXPECT_FALSE(problems.empty());
    for (int i = 0; i < cdx->tag_count(); ++i) {
      CdxTag* tag = cdx->tag(i);
      // Walks may end in an error status; they must end.
      auto c = tag->NewCursor();
      for (c->SeekToFirst(); c->Valid(); c->Next()) {
      }
      for (c->SeekToLast(); c->Valid(); c->Prev()) {
      }
      c->SetRelativePosition(0.5);
      uint64_t n;
      (void)tag->Count(&n);
      Key k(200, 'q');
      (void)tag->Insert(k.data(), 9999);
      (void)tag->Delete(k.data(), 9999);
    }
  }
}

}  // namespace
}  // namespace xce::cdx
