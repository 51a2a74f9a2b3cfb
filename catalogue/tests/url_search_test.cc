// The search for words in the URL records: folding, where a word may be
// found (address, its long tail, name, description), deleted records, and a
// search taken a part at a time giving what one pass gives.
#include "catalogue/url_search.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "catalogue/schema.h"
#include "catalogue/whole_address.h"
#include "stored_text.h"
#include "temp_dir.h"

namespace {

using catalogue::FoldSearchText;
using catalogue::SearchWords;

TEST(SearchFoldTest, LatinAndCyrillicCaseAndYoFold) {
  EXPECT_EQ(FoldSearchText("CDX Index"), "cdx index");
  EXPECT_EQ(FoldSearchText("ПРИВЕТ Мир"), "привет мир");
  EXPECT_EQ(FoldSearchText("Ёлка ёж"), "елка еж");
  EXPECT_EQ(FoldSearchText("ЄЇІЎЂ"), "єїіўђ");
  EXPECT_EQ(FoldSearchText("MÜNCHEN STRAßE ŁÓDŹ"), "münchen straße łódź");
  // Characters without case stay as they are.
  EXPECT_EQ(FoldSearchText("中文 😀 € № 123"), "中文 😀 € № 123");
}

TEST(SearchFoldTest, WordsSplitAtBlanksOnly) {
  EXPECT_EQ(SearchWords("  Foo\tБАР\u00a0baz\n"), (std::vector<std::string>{"foo", "бар", "baz"}));
  EXPECT_EQ(SearchWords("a.b/c?d=1"), (std::vector<std::string>{"a.b/c?d=1"}));
  EXPECT_TRUE(SearchWords(" \t ").empty());
  EXPECT_TRUE(SearchWords("").empty());
}

TEST(SearchFoldTest, StoredReferencesFoldAsTheirCharacters) {
  EXPECT_EQ(catalogue::FoldStoredText(platform::EncodeTextUtf8("MÜNCHEN Ёж", true)),
            "münchen еж");
  // A typed "&#" is kept guarded and reads back as typed.
  EXPECT_EQ(catalogue::FoldStoredText(platform::EncodeTextUtf8("A&#1;", true)), "a&#1;");
}

struct Row {
  std::string url;  // UTF-8; longer than the field: kept whole beside it
  std::string name;
  std::string descr;
  bool deleted = false;
};

class UrlSearchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(XdsConnect60(dir_.c_str(), XDS_SERVER_LOCAL, "", "", 0, &connection_), 0);
    ASSERT_EQ(catalogue::CreateCatalogue(connection_), 0);
    ASSERT_EQ(catalogue::OpenCatalogueTable(
                  connection_, catalogue::CatalogueTables()[catalogue::kUrls], false, &urls_),
              0);
    whole_ = std::make_unique<catalogue::WholeAddresses>(connection_);
    ASSERT_EQ(whole_->OpenIfPresent(dir_), 0);
  }
  void TearDown() override {
    whole_.reset();
    EXPECT_EQ(XdsCloseTable(urls_), 0);
    EXPECT_EQ(XdsDisconnect(connection_), 0);
  }

  void Set(const char* field, const std::string& stored) {
    uint16_t number = 0;
    ASSERT_EQ(XdsGetFieldNumber(urls_, field, &number), 0);
    ASSERT_EQ(XdsSetField(urls_, number, stored.data(), static_cast<uint32_t>(stored.size())),
              0);
  }

  void Add(const std::vector<Row>& rows) {
    for (const Row& row : rows) {
      const uint32_t id = ++lastId_;
      const std::string address = platform::EncodeTextUtf8(row.url, true);
      ASSERT_EQ(whole_->Stage(id, address), 0);
      ASSERT_EQ(XdsAppendRecord(urls_), 0);
      Set("URL", catalogue::UrlFieldPart(address));
      Set("NAME", platform::EncodeTextUtf8(row.name, true));
      Set("DESCR", platform::EncodeTextUtf8(row.descr, true));
      Set("URL_ID", std::to_string(id));
      ASSERT_EQ(XdsWriteRecord(urls_), 0);
      ASSERT_EQ(whole_->Settle(id, address), 0);
      if (row.deleted) {
        ASSERT_EQ(XdsDeleteRecord(urls_), 0);
        ASSERT_EQ(XdsWriteRecord(urls_), 0);
      }
    }
  }

  std::vector<uint32_t> Find(const std::string& text) {
    std::vector<uint32_t> found;
    EXPECT_EQ(catalogue::FindAllUrlRecords(urls_, *whole_, text, &found), 0);
    return found;
  }

  testsupport::TempDir tmp_{"urlsearch"};
  std::string dir_ = tmp_.str();
  XDSHANDLE connection_ = 0;
  XDSHANDLE urls_ = 0;
  std::unique_ptr<catalogue::WholeAddresses> whole_;
  uint32_t lastId_ = 0;
};

std::string LongUrl(const std::string& tail) {
  std::string a = "https://example.org/search?q=";
  while (a.size() < 150) {
    a += "x";
  }
  return a + tail;
}

TEST_F(UrlSearchTest, EveryWordAnywhereInAddressNameOrDescription) {
  Add({{"http://www.cdxindex.org/a", "Первая запись", "about btrees"},
       {"http://example.com/", "CDX Indexes Explained", "Ёмкий обзор"},
       {"ftp://files.net/pub", "Архив", "Long text about the CDX format, ЁЛКИ"},
       {LongUrl("&tail=quokka"), "Длинный адрес", ""},
       {"http://gone.org/cdx", "Удалённая", "quokka", true},
       {"http://m.de/", "M\u00fcnchen Stra\u00dfe", "\u4e2d\u6587 \U0001F600"}});
  EXPECT_EQ(Find("cdx"), (std::vector<uint32_t>{1, 2, 3}));
  EXPECT_EQ(Find("CDX explained"), (std::vector<uint32_t>{2}));
  EXPECT_EQ(Find("explained CDX"), (std::vector<uint32_t>{2}));
  EXPECT_EQ(Find("ёмкий"), (std::vector<uint32_t>{2}));
  EXPECT_EQ(Find("ЕМКИЙ"), (std::vector<uint32_t>{2}));
  EXPECT_EQ(Find("елки format"), (std::vector<uint32_t>{3}));
  // Only the whole address holds it; the deleted record never shows.
  EXPECT_EQ(Find("quokka"), (std::vector<uint32_t>{4}));
  EXPECT_EQ(Find("MÜNCHEN"), (std::vector<uint32_t>{6}));
  EXPECT_EQ(Find("straße"), (std::vector<uint32_t>{6}));
  EXPECT_EQ(Find("\U0001F600"), (std::vector<uint32_t>{6}));
  // Words may be in different fields; one word does not run from one field
  // into the next.
  EXPECT_EQ(Find("запись about"), (std::vector<uint32_t>{1}));
  EXPECT_TRUE(Find("org/aпервая").empty());
  EXPECT_TRUE(Find("zzz cdx").empty());
  EXPECT_EQ(Find("   "), (std::vector<uint32_t>{1, 2, 3, 4, 6}));
}

TEST_F(UrlSearchTest, PartsGiveWhatOnePassGivesAndTheCursorStays) {
  std::vector<Row> rows;
  for (int i = 0; i < 57; ++i) {
    rows.push_back({"http://site" + std::to_string(i) + ".org/", i % 3 == 0 ? "Alpha" : "Beta",
                    i % 5 == 0 ? "gamma" : "", i % 7 == 0});
  }
  Add(rows);
  ASSERT_EQ(XdsGotoRecord(urls_, 20), 0);
  const std::vector<uint32_t> whole = Find("alpha gamma");
  EXPECT_EQ(whole, (std::vector<uint32_t>{16, 31, 46}));
  std::vector<uint32_t> parts;
  catalogue::UrlSearchProgress progress;
  int calls = 0;
  while (!progress.done) {
    ASSERT_EQ(catalogue::FindUrlRecords(urls_, *whole_, "GAMMA alpha", &progress, 10, &parts), 0);
    ++calls;
  }
  EXPECT_EQ(parts, whole);
  EXPECT_EQ(calls, 6);
  uint32_t recno = 0;
  ASSERT_EQ(XdsGetRecordNum(urls_, XDS_COUNT_IGNORE_FILTERS, &recno), 0);
  EXPECT_EQ(recno, 20u);
  // A finished search finds nothing more.
  ASSERT_EQ(catalogue::FindUrlRecords(urls_, *whole_, "alpha", &progress, 10, &parts), 0);
  EXPECT_EQ(parts, whole);
}

}  // namespace
