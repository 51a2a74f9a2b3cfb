// Opening tables: the engine's open call, definitions, closing.

#include "recording_engine.h"
#include "xds_test_util.h"

using namespace xdstest;

TEST(XdsTableOpen, UrlTableOpensWithTheCatalogueArgumentsAndReadsOemText) {
  TempDir dir;
  XDS_REQUIRE_FIXTURES("catalogue", dir);
  auto c = Connect(dir.str());
  auto t = UrlTable(*c);
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

namespace {

std::string OpenCall(RecordingEngine& rec) {
  auto calls = rec.Take({"XdsOpenTable"});
  return calls.empty() ? "" : calls.back();
}

// The options argument of the last open call.
std::string OpenOptions(RecordingEngine& rec) {
  std::string call = OpenCall(rec);
  size_t end = call.rfind(", *)");
  size_t start = call.rfind(", ", end - 1);
  return call.substr(start + 2, end - start - 2);
}

}  // namespace

TEST(XdsTableOpen, OptionWordFollowsExclusiveReadOnlyAndCollation) {
  TempDir dir;
  auto c = CreateAndConnect(dir, "TEM.dbf", {{"INID", 'N', 10, 0}});
  auto t = Table(*c, "HDSTem", "TEM.dbf");
  RecordingEngine rec;
  struct Case {
    bool exclusive, readOnly;
    TIndexCollationMismatchOptions icm;
    const char* options;
  };
  for (Case k : {Case{true, false, icmError, "1"}, Case{false, false, icmError, "0"},
                 Case{true, true, icmError, "3"}, Case{false, true, icmIgnore, "514"},
                 Case{true, false, icmReindex, "257"}}) {
    t->SetExclusive(k.exclusive);
    t->SetReadOnly(k.readOnly);
    t->SetIndexCollationMismatch(k.icm);
    t->Open();
    EXPECT_EQ(OpenOptions(rec), k.options);
    EXPECT_EQ(t->CanModify(), !k.readOnly);
    t->Close();
  }
  t->SetReadOnly(false);
  t->XdsTableOptions().SetXdsLockType(Compatible);
  t->XdsTableOptions().SetXdsRightsCheck(false);
  t->SetIndexCollationMismatch(icmError);
  t->Open();
  EXPECT_NE(OpenCall(rec).find("\\TEM.dbf\", null, 2, 1, 0, 2, 1, *)"), std::string::npos);
}

// A read-only connection adds the read-only bit to every open, and the
// table's ReadOnly follows; opening again must not turn that bit into
// another one by adding it twice.
TEST(XdsTableOpen, ReadOnlyConnectionKeepsEveryOpenReadOnly) {
  TempDir dir;
  auto c = CreateAndConnect(dir, "TEM.dbf", {{"INID", 'N', 10, 0}});
  c->ReadOnly = true;
  auto t = Table(*c, "HDSTem", "TEM.dbf", /*exclusive=*/false);
  RecordingEngine rec;
  t->Open();
  EXPECT_EQ(OpenOptions(rec), "2");
  EXPECT_TRUE(t->ReadOnly());
  EXPECT_FALSE(t->CanModify());
  t->Close();
  t->Open();
  EXPECT_EQ(OpenOptions(rec), "2");
  EXPECT_FALSE(t->CanModify());
}

TEST(XdsTableOpen, DefinitionsFollowTheEngineTypeTable) {
  TempDir dir;
  XDS_REQUIRE_FIXTURES("catalogue", dir);
  auto c = Connect(dir.str());
  auto t = Table(*c, "HDSUrlIn", "URLIN.DBF");
  t->Open();
  ASSERT_EQ(t->FieldDefs().Count(), 2);
  EXPECT_EQ(t->FieldDefs()[1].Name(), "URL_ID");
  EXPECT_EQ(t->FieldDefs()[1].DataType(), ftFloat);
  EXPECT_EQ(t->FieldDefs()[1].FieldNo(), 2);
  ASSERT_EQ(t->IndexDefs().Count(), 3);
  EXPECT_EQ(t->IndexDefs()[0].Name(), "TEMURL");
  EXPECT_EQ(t->IndexDefs()[0].Fields(), "TEM_ID;URL_ID");
  EXPECT_EQ(t->IndexDefs()[2].Name(), "TEM_URL");
  EXPECT_EQ(t->IndexDefs()[2].Fields(), "URL_ID");
  EXPECT_EQ(t->XdsTableOptions().XdsIndexPageSize, 512);
  EXPECT_EQ(t->Version(), "6.2 (XCE 6.20)");
}

TEST(XdsTableOpen, ShortNumberIsSmallintAndADeclaredFloatForItFails) {
  TempDir dir;
  auto c = CreateAndConnect(dir, "N.DBF",
                            {{"SMALL", 'N', 4, 0}, {"BIG", 'N', 5, 0}, {"DEC", 'N', 4, 1}});
  auto t = Table(*c, "HDSN", "N.DBF");
  t->Open();
  EXPECT_EQ(t->FieldDefs()[0].DataType(), ftSmallint);
  EXPECT_EQ(t->FieldDefs()[1].DataType(), ftFloat);
  EXPECT_EQ(t->FieldDefs()[2].DataType(), ftFloat);
  t->Close();
  AddField<TFloatField>(*t, "SMALL");
  try {
    t->Open();
    FAIL() << "opened";
  } catch (const EDatabaseError& e) {
    EXPECT_STREQ(e.what(), "HDSN: Type mismatch for field 'SMALL', expecting: Float actual: SmallInt");
  }
  EXPECT_FALSE(t->Active());
  EXPECT_EQ(t->TableHandle(), kNoXdsHandle);
}

TEST(XdsTableOpen, OnlyTheFirstFiftyIndexesBecomeDefinitions) {
  TempDir dir;
  CreateTable(dir.str(), "MANY.DBF", {{"X", 'N', 10, 0}});
  {
    XDSHANDLE c = 0;
    XDSHANDLE h = 0;
    ASSERT_EQ(XdsConnect60(dir.str().c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), 0);
    ASSERT_EQ(XdsOpenTable(c, "MANY.DBF", nullptr, 2, 1, 1, 1, 1, &h), 0);
    std::vector<std::string> names;
    std::vector<XDSTAGDEF> tags;
    for (int i = 0; i < 52; ++i) {
      names.push_back("T" + std::to_string(i));
    }
    for (const std::string& n : names) {
      tags.push_back({n.c_str(), "X", "", 0, 0});
    }
    ASSERT_EQ(XdsCreateIndexTags(h, static_cast<uint16_t>(tags.size()), tags.data()), 0);
    EXPECT_EQ(XdsCloseTable(h), 0);
    EXPECT_EQ(XdsDisconnect(c), 0);
  }
  auto c = Connect(dir.str());
  auto t = Table(*c, "HDSMany", "MANY.DBF");
  t->Open();
  ASSERT_EQ(t->IndexDefs().Count(), 50);
  EXPECT_EQ(t->IndexDefs()[49].Name(), "T49");
}

TEST(XdsTableOpen, GuardedPropertiesRefuseWhileOpenWithTheirMessages) {
  TempDir dir;
  auto c = CreateAndConnect(dir, "urls.DBF", {{"URL", 'C', 10, 0}});
  auto t = Table(*c, "HDSUrls", "urls.DBF");
  t->Open();
  auto message = [](auto&& action) {
    try {
      action();
    } catch (const EXDSDatabaseError& e) {
      EXPECT_EQ(e.ErrorCode(), 5121);
      return std::string(e.what());
    } catch (const EDatabaseError& e) {
      return "EDatabaseError " + std::string(e.what());
    }
    return std::string("accepted");
  };
  const std::string open = "HDSUrls: Cannot perform this operation on an open dataset";
  const std::string active = "HDSUrls: Table must not be Active.";
  EXPECT_EQ(message([&] { t->SetTableName("x.dbf"); }), open);
  EXPECT_EQ(message([&] { t->SetTableType(ttXdsCDX); }), open);
  EXPECT_EQ(message([&] { t->SetIndexCollationMismatch(icmIgnore); }), open);
  EXPECT_EQ(message([&] { t->SetDatabaseName("x"); }), open);
  EXPECT_EQ(message([&] { t->SetXdsConnection(nullptr); }), active);
  EXPECT_EQ(message([&] { t->XdsTableOptions().SetXdsCharType(OEM); }), active);
  EXPECT_EQ(message([&] { t->XdsTableOptions().SetXdsLockType(Compatible); }), active);
  EXPECT_EQ(message([&] { t->XdsTableOptions().SetXdsRightsCheck(false); }), active);
  EXPECT_EQ(message([&] { t->SetExclusive(false); }), "EDatabaseError " + open);
  EXPECT_EQ(message([&] { t->SetReadOnly(true); }), "EDatabaseError " + open);
  EXPECT_EQ(message([&] { t->BatchMove(); }),
            "HDSUrls: The method BatchMove in TXdsDataSet is not supported.");
  EXPECT_EQ(message([&] { t->UpdateStatus(); }),
            "HDSUrls: The method UpdateStatus in TXdsDataSet is not supported.");
  EXPECT_EQ(t->TableName(), "urls.DBF");
  EXPECT_TRUE(t->Exclusive());
  t->Designing = true;
  t->SetExclusive(false);
  EXPECT_FALSE(t->Active());
  EXPECT_FALSE(t->Exclusive());
}

TEST(XdsTableOpen, RecordCacheTakesEffectAtOnceWhileOpen) {
  TempDir dir;
  auto c = CreateAndConnect(dir, "A.DBF", {{"X", 'C', 5, 0}});
  auto t = Table(*c, "HDSA", "A.DBF");
  RecordingEngine rec;
  t->Open();
  EXPECT_TRUE(rec.Take({"XdsCacheRecords"}).empty());
  std::string h = std::to_string(t->TableHandle());
  t->XdsTableOptions().SetXdsRecordCache(rcNone);
  t->XdsTableOptions().SetXdsRecordCache(rcAggressive);
  t->XdsTableOptions().SetXdsRecordCache(rcStandard);
  EXPECT_EQ(rec.Take({"XdsCacheRecords"}),
            (std::vector<std::string>{"XdsCacheRecords(" + h + ", 0)",
                                      "XdsCacheRecords(" + h + ", 100)",
                                      "XdsCacheRecords(" + h + ", 10)"}));
  t->Close();
  t->XdsTableOptions().SetXdsRecordCache(rcNone);
  EXPECT_TRUE(rec.Take({"XdsCacheRecords"}).empty());
  t->Open();
  EXPECT_EQ(rec.Take({"XdsCacheRecords"}).size(), 1u);
}

TEST(XdsTableOpen, TableDirectoryLosesOneTrailingSeparatorExceptTheRoot) {
  TXdsTable t;
  t.SetDatabaseName("/");
  EXPECT_EQ(t.TableDirectory(), "/");
  t.SetDatabaseName("/data/");
  EXPECT_EQ(t.TableDirectory(), "/data");
  t.SetDatabaseName("C:\\cat\\");
  EXPECT_EQ(t.TableDirectory(), "C:\\cat");
  t.SetDatabaseName("");
  t.SetTableName("x.dbf");
  try {
    t.Open();
    FAIL();
  } catch (const EXDSDatabaseError& e) {
    EXPECT_STREQ(e.what(),
                 "One of the DatabaseName property or the XdsConnection property must have a "
                 "value.");
  }
  t.SetTableName("");
  t.SetDatabaseName("/tmp");
  try {
    t.Open();
    FAIL();
  } catch (const EXDSDatabaseError& e) {
    EXPECT_STREQ(e.what(), "Missing TableName property");
  }
}
