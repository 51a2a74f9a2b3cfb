// Opening tables: the engine's open call, definitions, closing.

#include "recording_engine.h"
#include "xds_test_util.h"

using namespace xdstest;

TEST(XdsTableOpen, UrlTableOpensWithTheCatalogueArgumentsAndReadsOemText) {
  TempDir dir;
  XDS_REQUIRE_FIXTURES("catalogue", dir);
  auto c = Connect(dir.str());
  auto t = Table(*c, "HDSUrls", "urls.DBF");
  t->XdsTableOptions().SetXdsCharType(OEM);
  t->SetIndexCollationMismatch(icmReindex);
  RecordingEngine rec;
  t->Open();
  auto calls = rec.Take({"XdsOpenTable"});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0], "XdsOpenTable(" + std::to_string(c->ConnectionHandle()) + ", \"" +
                          dir.str() + "\\urls.DBF\", null, 2, 2, 1, 1, 257, *)");
  auto csv = ReadCsv("catalogue", "urls.RECNO.csv");
  size_t row = 0;
  while (!t->Eof()) {
    ASSERT_LT(row, csv.size());
    EXPECT_EQ(t->RecNo(), std::stoi(csv[row][0]));
    EXPECT_EQ(t->FieldByName("URL_ID")->AsInteger(), std::stoi(csv[row][6]));
    EXPECT_EQ(t->FieldByName("DESCR")->IsNull(), csv[row][4].empty());
    ++row;
    t->Next();
  }
  EXPECT_EQ(row, csv.size());
}
