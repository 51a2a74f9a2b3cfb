// The index layer against files written by other software.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "cdx/cdx_check.h"
#include "cdx_test_util.h"

namespace xce::cdx {
namespace {

namespace fs = std::filesystem;
using testing::FixturesDir;
using testing::OpenBytes;
using testing::ReadBytes;
using testing::WalkRecnos;

std::vector<uint32_t> CsvRecnos(const fs::path& csv) {
  std::vector<uint32_t> out;
  std::ifstream in(csv);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty()) {
      out.push_back(static_cast<uint32_t>(std::stoul(line.substr(0, line.find(';')))));
    }
  }
  return out;
}

std::string Upper(std::string s) {
  for (char& c : s) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return s;
}

// Key types of the written sets' tags (the pad byte of their leaves).
KeyType FixtureKeyType(const std::string& tag) {
  static const std::map<std::string, KeyType> kTypes = {
      {"INID", KeyType::kNumeric},    {"URL_ID", KeyType::kNumeric}, {"TEM_ID", KeyType::kNumeric},
      {"TEM_URL", KeyType::kNumeric}, {"N82", KeyType::kNumeric},    {"N82D", KeyType::kNumeric},
      {"N3ODD", KeyType::kNumeric},   {"B", KeyType::kNumeric},      {"ID", KeyType::kNumeric},
      {"GRP", KeyType::kNumeric},     {"D", KeyType::kDate},         {"T", KeyType::kDateTime},
      {"I", KeyType::kInteger},       {"L", KeyType::kLogical}};
  auto it = kTypes.find(tag);
  return it == kTypes.end() ? KeyType::kCharacter : it->second;
}

// Every tag of every structural index in the three written sets walks in the
// order of its CSV, forwards and backwards, and the files check clean.
TEST(CdxFixtureTest, EveryTagWalksInTheOrderOfItsCsv) {
  if (!fs::exists(FixturesDir() / "big")) {
    GTEST_SKIP() << "fixtures not found at " << FixturesDir();
  }
  int tagsSeen = 0;
  for (const char* set : {"catalogue", "types", "big"}) {
    for (const auto& entry : fs::directory_iterator(FixturesDir() / set)) {
      if (Upper(entry.path().extension().string()) != ".CDX") {
        continue;
      }
      const std::string table = entry.path().stem().string();
      SCOPED_TRACE(entry.path().string());
      std::unique_ptr<CdxFile> cdx;
      ASSERT_TRUE(OpenBytes(entry.path().string(), ReadBytes(entry.path()), &cdx).ok());
      // One CSV per tag besides the record-number one.
      std::map<std::string, fs::path> csvs;
      for (const auto& f : fs::directory_iterator(FixturesDir() / set)) {
        std::string name = f.path().filename().string();
        if (name.rfind(table + ".", 0) == 0 && f.path().extension() == ".csv") {
          std::string tag = name.substr(table.size() + 1, name.size() - table.size() - 5);
          if (tag != "RECNO") {
            csvs[Upper(tag)] = f.path();
          }
        }
      }
      ASSERT_EQ(cdx->tag_count(), static_cast<int>(csvs.size()));
      for (int i = 0; i < cdx->tag_count(); ++i) {
        cdx->tag(i)->SetKeyType(FixtureKeyType(cdx->tag(i)->name()));
      }
      for (int i = 0; i < cdx->tag_count(); ++i) {
        CdxTag* tag = cdx->tag(i);
        SCOPED_TRACE(tag->name());
        ASSERT_EQ(csvs.count(Upper(tag->name())), 1u);
        std::vector<uint32_t> want = CsvRecnos(csvs[Upper(tag->name())]);
        Status s;
        EXPECT_EQ(WalkRecnos(tag, &s), want);
        EXPECT_TRUE(s.ok()) << s.message();
        std::vector<uint32_t> back;
        auto c = tag->NewCursor();
        for (c->SeekToLast(); c->Valid(); c->Prev()) {
          back.push_back(c->recno());
        }
        std::reverse(back.begin(), back.end());
        EXPECT_EQ(back, want);
        uint64_t count = 0;
        ASSERT_TRUE(tag->Count(&count).ok());
        EXPECT_EQ(count, want.size());
        ++tagsSeen;
      }
      std::vector<std::string> problems = CheckIndexFile(cdx.get());
      EXPECT_TRUE(problems.empty()) << problems.front();
    }
  }
  EXPECT_EQ(tagsSeen, 2 + 2 + 4 + 3 + 12 + 6);
}

// Index files from other libraries' test suites open and walk, or fail with
// an error naming the file; nothing crashes or hangs.
TEST(CdxFixtureTest, RealWorldIndexesOpenAndWalkOrFailClearly) {
  if (!fs::exists(FixturesDir() / "realworld")) {
    GTEST_SKIP() << "fixtures not found at " << FixturesDir();
  }
  int files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(FixturesDir() / "realworld")) {
    if (!entry.is_regular_file() || Upper(entry.path().extension().string()) != ".CDX") {
      continue;
    }
    ++files;
    const std::string path = entry.path().string();
    std::unique_ptr<CdxFile> cdx;
    Status s = OpenBytes(path, ReadBytes(entry.path()), &cdx);
    if (!s.ok()) {
      EXPECT_NE(s.message().find(path), std::string::npos) << s.message();
      continue;
    }
    for (int i = 0; i < cdx->tag_count(); ++i) {
      Status walk;
      WalkRecnos(cdx->tag(i), &walk);
      if (!walk.ok()) {
        EXPECT_NE(walk.message().find(path), std::string::npos) << walk.message();
      }
    }
    CheckIndexFile(cdx.get());
  }
  EXPECT_GT(files, 0);
}

}  // namespace
}  // namespace xce::cdx
