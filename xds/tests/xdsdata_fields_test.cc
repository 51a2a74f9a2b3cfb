// Field values read from and written into record buffers.

#include <cmath>
#include <cstring>

#include "xds_test_util.h"

using namespace xdstest;

namespace {

// Days of the framework's date-time (30 December 1899 is 0) for YYYYMMDD.
double DateOf(const std::string& yyyymmdd) {
  int32_t julian = 0;
  EXPECT_EQ(XdsConvertStringToJulian(yyyymmdd.c_str(), &julian), 0);
  return julian - 2415019;
}

std::string Bytes(const ProbeTable& t, const TField& f) {
  const TXCEFieldDef* def = t.XCEFieldDefs().ByNumber(f.FieldNo());
  return std::string(reinterpret_cast<const char*>(t.Image()) + def->offset, def->length);
}

struct NumbersTable {
  TempDir dir;
  std::unique_ptr<TXdsConnection> c;
  std::unique_ptr<ProbeTable> t;
  explicit NumbersTable(bool readOnly = false) {
    CreateTable(dir.str(), "NUM.DBF",
                {{"AMOUNT", 'N', 6, 2}, {"NAME", 'C', 10, 0}, {"QTY", 'N', 4, 0}, {"D", 'D', 0, 0}});
    XDSHANDLE cc = 0;
    XDSHANDLE h = 0;
    EXPECT_EQ(XdsConnect60(dir.str().c_str(), XDS_SERVER_LOCAL, "", "", 0, &cc), 0);
    EXPECT_EQ(XdsOpenTable(cc, "NUM.DBF", nullptr, 2, 1, 1, 1, 1, &h), 0);
    EXPECT_EQ(XdsAppendRecord(h), 0);  // every field blank
    EXPECT_EQ(XdsWriteRecord(h), 0);
    EXPECT_EQ(XdsAppendRecord(h), 0);
    EXPECT_EQ(XdsSetField(h, 1, "12.5", 4), 0);
    EXPECT_EQ(XdsSetField(h, 2, "abc", 3), 0);
    EXPECT_EQ(XdsSetField(h, 3, "-12", 3), 0);
    EXPECT_EQ(XdsSetField(h, 4, "20240229", 8), 0);
    EXPECT_EQ(XdsWriteRecord(h), 0);
    EXPECT_EQ(XdsCloseTable(h), 0);
    EXPECT_EQ(XdsDisconnect(cc), 0);
    c = Connect(dir.str());
    t = Probe(*c, "HDSNum", "NUM.DBF");
    t->SetReadOnly(readOnly);
    t->Open();
  }
};

}  // namespace

TEST(XdsFields, EveryFieldOfAVisualTableReadsAsItsFixture) {
  TempDir dir;
  XDS_REQUIRE_FIXTURES("types", dir);
  auto c = Connect(dir.str());
  auto t = Table(*c, "HDSTypes", "ALLTYPES.DBF");
  t->Open();
  EXPECT_EQ(t->FieldByName("N3")->DataType(), ftSmallint);
  EXPECT_EQ(t->FieldByName("N5")->DataType(), ftFloat);
  EXPECT_EQ(t->FieldByName("I")->DataType(), ftInteger);
  EXPECT_EQ(t->FieldByName("T")->DataType(), ftDateTime);
  EXPECT_EQ(t->FieldByName("Y")->DataType(), ftCurrency);
  EXPECT_EQ(t->FieldByName("M")->DataType(), ftMemo);
  auto csv = ReadCsv("types", "ALLTYPES.RECNO.csv");
  ASSERT_FALSE(csv.empty());
  size_t row = 0;
  auto number = [&](const char* name, size_t cell) {
    SCOPED_TRACE(name);
    const std::string text = RightTrim(csv[row][cell]);
    TField* f = t->FieldByName(name);
    if (text.empty()) {
      EXPECT_TRUE(f->IsNull());
    } else {
      EXPECT_NEAR(f->AsFloat(), std::stod(text), 1e-9);
    }
  };
  for (; !t->Eof(); t->Next(), ++row) {
    ASSERT_LT(row, csv.size());
    SCOPED_TRACE("record " + csv[row][0]);
    EXPECT_EQ(t->FieldByName("C10")->AsString(), RightTrim(FromHex(csv[row][2])));
    number("N82", 3);
    number("N5", 4);
    number("N3", 5);
    number("F124", 6);
    if (RightTrim(csv[row][7]).empty()) {
      EXPECT_TRUE(t->FieldByName("D")->IsNull());
    } else {
      EXPECT_EQ(t->FieldByName("D")->AsDateTime(), DateOf(csv[row][7]));
    }
    if (!RightTrim(csv[row][8]).empty()) {
      EXPECT_EQ(t->FieldByName("L")->AsBoolean(), csv[row][8] == "T");
    }
    EXPECT_EQ(t->FieldByName("M")->IsNull(), csv[row][9].empty());
    number("I", 10);
    number("B", 11);
    const std::string ts = RightTrim(csv[row][12]);
    // A zeroed date-time is how a blank one is stored.
    if (ts.empty() || ts == "00000000000000000") {
      EXPECT_TRUE(t->FieldByName("T")->IsNull());
    } else {
      double ms = std::stod(ts.substr(8, 2)) * 3600000 + std::stod(ts.substr(10, 2)) * 60000 +
                  std::stod(ts.substr(12, 2)) * 1000 + std::stod(ts.substr(14, 3));
      EXPECT_NEAR(t->FieldByName("T")->AsDateTime(), DateOf(ts.substr(0, 8)) + ms / 86400000.0,
                  1e-9);
    }
    number("Y", 13);
  }
  EXPECT_EQ(row, csv.size());
}

TEST(XdsFields, OemTextArrivesConvertedAndEveryNeighbourIntact) {
  TempDir dir;
  XDS_REQUIRE_FIXTURES("catalogue", dir);
  auto c = Connect(dir.str());
  auto t = Probe(*c, "HDSUrls", "urls.DBF");
  t->XdsTableOptions().SetXdsCharType(OEM);
  t->Open();
  auto csv = ReadCsv("catalogue", "urls.RECNO.csv");
  size_t row = 0;
  for (; !t->Eof(); t->Next(), ++row) {
    ASSERT_LT(row, csv.size());
    EXPECT_EQ(t->FieldByName("URL")->AsString(), RightTrim(Cp866To1251(FromHex(csv[row][2]))));
    EXPECT_EQ(t->FieldByName("NAME")->AsString(), RightTrim(Cp866To1251(FromHex(csv[row][3]))));
    EXPECT_EQ(t->FieldByName("ADRESTYPE")->AsString(), RightTrim(FromHex(csv[row][5])));
    EXPECT_EQ(t->FieldByName("URL_ID")->AsInteger(), std::stoi(csv[row][6]));
  }
  EXPECT_EQ(row, csv.size());
}

TEST(XdsFields, BlankFieldsHaveNoValue) {
  NumbersTable n;
  ProbeTable& t = *n.t;
  EXPECT_TRUE(t.FieldByName("NAME")->IsNull());
  EXPECT_EQ(t.FieldByName("NAME")->AsString(), "");
  EXPECT_TRUE(t.FieldByName("AMOUNT")->IsNull());
  EXPECT_EQ(t.FieldByName("AMOUNT")->AsFloat(), 0);
  EXPECT_TRUE(t.FieldByName("D")->IsNull());
  t.Next();
  EXPECT_EQ(t.FieldByName("AMOUNT")->AsFloat(), 12.5);
  EXPECT_EQ(t.FieldByName("QTY")->DataType(), ftSmallint);
  EXPECT_EQ(t.FieldByName("QTY")->AsInteger(), -12);
  EXPECT_EQ(t.FieldByName("D")->AsDateTime(), DateOf("20240229"));
}

TEST(XdsFields, NumbersAreWrittenInFixedNotationRightAligned) {
  NumbersTable n;
  ProbeTable& t = *n.t;
  TField* amount = t.FieldByName("AMOUNT");
  struct Case {
    double value;
    const char* stored;  // null: refused
  };
  for (Case k : {Case{12.5, " 12.50"}, Case{123.456, "123.46"}, Case{-1.5, " -1.50"},
                 Case{0, "  0.00"}, Case{999.99, "999.99"}, Case{1234567, nullptr},
                 Case{1234.5, nullptr}, Case{-999.99, nullptr}}) {
    SCOPED_TRACE(k.value);
    std::string before = Bytes(t, *amount);
    t.InState(dsNewValue, [&] {
      if (k.stored != nullptr) {
        amount->SetAsFloat(k.value);
        EXPECT_EQ(Bytes(t, *amount), k.stored);
      } else {
        try {
          amount->SetAsFloat(k.value);
          ADD_FAILURE() << "accepted";
        } catch (const EXDSDatabaseError& e) {
          EXPECT_EQ(e.Message(), "HDSNum: Numeric out of range.");
          EXPECT_EQ(e.ErrorCode(), 5121);
          EXPECT_EQ(Bytes(t, *amount), before);
        }
      }
    });
  }
  TField* qty = t.FieldByName("QTY");
  t.InState(dsNewValue, [&] {
    qty->SetAsInteger(-999);
    EXPECT_EQ(Bytes(t, *qty), "-999");
    qty->SetAsInteger(42);
    EXPECT_EQ(Bytes(t, *qty), "  42");
    EXPECT_THROW(qty->SetAsInteger(12345), EXDSDatabaseError);
    EXPECT_THROW(qty->SetAsInteger(-1000), EXDSDatabaseError) << "the sign needs room too";
    EXPECT_EQ(Bytes(t, *qty), "  42");
  });
}

TEST(XdsFields, StringsDatesAndEmptiesEncodeAsADbfHoldsThem) {
  NumbersTable n;
  ProbeTable& t = *n.t;
  t.Next();
  t.InState(dsNewValue, [&] {
    t.FieldByName("NAME")->SetAsString("");
    EXPECT_EQ(Bytes(t, *t.FieldByName("NAME")), std::string(10, ' '));
    t.FieldByName("NAME")->SetAsString("xy");
    EXPECT_EQ(Bytes(t, *t.FieldByName("NAME")), "xy        ");
    t.FieldByName("D")->SetAsDateTime(DateOf("19991231"));
    EXPECT_EQ(Bytes(t, *t.FieldByName("D")), "19991231");
    t.FieldByName("D")->Clear();
    EXPECT_EQ(Bytes(t, *t.FieldByName("D")), std::string(8, ' '));
    t.FieldByName("AMOUNT")->Clear();
    EXPECT_EQ(Bytes(t, *t.FieldByName("AMOUNT")), std::string(6, ' '));
  });
  EXPECT_EQ(t.FieldByName("NAME")->AsString(), "xy");
  EXPECT_TRUE(t.FieldByName("D")->IsNull());
}

TEST(XdsFields, WritesOutsideEditingStatesAreRefused) {
  NumbersTable n;
  try {
    n.t->FieldByName("NAME")->SetAsString("x");
    FAIL() << "accepted";
  } catch (const EXDSDatabaseError& e) {
    EXPECT_EQ(e.Message(), "HDSNum: Dataset not in edit mode");
    EXPECT_EQ(e.ErrorCode(), 5121);
  }
  n.t->InState(dsCalcFields, [&] {
    EXPECT_THROW(n.t->FieldByName("NAME")->SetAsString("x"), EXDSDatabaseError);
  });
}

TEST(XdsFields, ReadOnlyTableRefusesFieldWritesWithTheEnginesPermissionError) {
  NumbersTable n(/*readOnly=*/true);
  ProbeTable& t = *n.t;
  t.Next();
  std::string before = Bytes(t, *t.FieldByName("NAME"));
  for (auto [state, text] : {std::pair{dsEdit, "Update"}, std::pair{dsInsert, "Insert"}}) {
    t.InState(state, [&, text = std::string(text)] {
      try {
        t.FieldByName("NAME")->SetAsString("changed");
        ADD_FAILURE() << "accepted";
      } catch (const EXDSDatabaseError& e) {
        EXPECT_EQ(e.ErrorCode(), 5054);
        EXPECT_EQ(e.Message(), "HDSNum: " + text + " permission not granted on this field: NAME.");
      }
    });
  }
  EXPECT_EQ(Bytes(t, *t.FieldByName("NAME")), before);
}
