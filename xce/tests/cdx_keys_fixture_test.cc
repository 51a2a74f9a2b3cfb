// Keys computed from the fixture records with the expression language equal
// the keys other software stored in their tags.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>

#include "cdx/key_maker.h"
#include "cdx_test_util.h"

namespace xce::cdx {
namespace {

namespace fs = std::filesystem;

// Just enough of a DBF reader for the fixtures: fields and record images.
class FixtureTable : public expr::ExprSource {
 public:
  FixtureTable(const fs::path& path, CodePage cp) : cp_(cp) {
    bytes_ = testing::ReadBytes(path);
    headerLen_ = Le16(bytes_.data() + 8);
    recordLen_ = Le16(bytes_.data() + 10);
    count_ = Le32(bytes_.data() + 4);
    uint32_t offset = 1;
    for (std::size_t p = 32; p + 32 <= headerLen_ && bytes_[p] != 0x0D; p += 32) {
      expr::FieldInfo f;
      f.name = std::string(reinterpret_cast<const char*>(&bytes_[p]),
                           strnlen(reinterpret_cast<const char*>(&bytes_[p]), 11));
      f.type = static_cast<char>(bytes_[p + 11]);
      if (f.type == '@') {
        f.type = 'T';  // this writer marks datetimes so; the bytes are the same
      }
      f.offset = offset;
      f.length = bytes_[p + 16];
      f.decimals = bytes_[p + 17];
      offset += f.length;
      fields_.push_back(f);
    }
  }
  uint32_t count() const { return count_; }
  void Go(uint32_t recno) { recno_ = recno; }

  const std::vector<expr::FieldInfo>& Fields() const override { return fields_; }
  CodePage TableCodePage() const override { return cp_; }
  const char* RecordImage() const override {
    return reinterpret_cast<const char*>(bytes_.data()) + headerLen_ +
           std::size_t{recno_ - 1} * recordLen_;
  }
  uint32_t RecordNumber() const override { return recno_; }
  bool ExactCompare() const override { return false; }
  Status ReadMemo(int, std::string* text) const override {
    text->clear();
    return Status::Ok();
  }

 private:
  std::vector<uint8_t> bytes_;
  std::vector<expr::FieldInfo> fields_;
  CodePage cp_;
  uint32_t headerLen_ = 0, recordLen_ = 0, count_ = 0, recno_ = 1;
};

TEST(CdxKeysFixtureTest, ComputedKeysEqualTheStoredKeys) {
  const fs::path dir = testing::FixturesDir();
  if (!fs::exists(dir / "big")) {
    GTEST_SKIP() << "fixtures not found at " << dir;
  }
  struct Set {
    const char* dbf;
    const char* cdx;
    CodePage cp;
  } sets[] = {
      {"catalogue/TEM.dbf", "catalogue/TEM.cdx", CodePage::kCp1251},
      {"catalogue/TYPE.DBF", "catalogue/TYPE.cdx", CodePage::kCp1251},
      {"catalogue/urls.DBF", "catalogue/urls.cdx", CodePage::kCp866},
      {"catalogue/URLIN.DBF", "catalogue/URLIN.cdx", CodePage::kCp1251},
      {"types/ALLTYPES.DBF", "types/ALLTYPES.cdx", CodePage::kCp1251},
      {"big/BIG.DBF", "big/BIG.cdx", CodePage::kCp866},
  };
  for (const Set& set : sets) {
    SCOPED_TRACE(set.cdx);
    FixtureTable table(dir / set.dbf, set.cp);
    std::unique_ptr<CdxFile> cdx;
    ASSERT_TRUE(testing::OpenBytes(set.cdx, testing::ReadBytes(dir / set.cdx), &cdx).ok());
    for (int i = 0; i < cdx->tag_count(); ++i) {
      CdxTag* tag = cdx->tag(i);
      SCOPED_TRACE(tag->name());
      std::unique_ptr<KeyMaker> maker;
      Status s = KeyMaker::Create(tag->key_expr(), tag->for_expr(), table, tag->key_len(), &maker);
      ASSERT_TRUE(s.ok()) << s.message();
      ASSERT_EQ(maker->key_len(), tag->key_len());
      tag->SetKeyType(maker->type());
      std::map<uint32_t, std::vector<uint8_t>> stored;
      auto c = tag->NewCursor();
      for (c->SeekToFirst(); c->Valid(); c->Next()) {
        stored[c->recno()] = std::vector<uint8_t>(c->key(), c->key() + tag->key_len());
      }
      std::vector<uint8_t> key(tag->key_len());
      std::map<std::vector<uint8_t>, int> firstSeen;
      for (uint32_t r = 1; r <= table.count(); ++r) {
        table.Go(r);
        bool included = false;
        ASSERT_TRUE(maker->Make(table, key.data(), &included).ok());
        bool first = firstSeen.emplace(key, r).second;
        bool want = included && (!tag->unique() || first);
        ASSERT_EQ(stored.count(r), want ? 1u : 0u) << "record " << r;
        if (want) {
          EXPECT_EQ(stored[r], key) << "record " << r;
        }
      }
    }
  }
}

}  // namespace
}  // namespace xce::cdx
