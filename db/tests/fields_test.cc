// Field objects: conversions, display properties, persistent and default
// fields, calculated and lookup fields, blobs.

#include <gtest/gtest.h>

#include "db/format.h"
#include "test_util.h"

namespace {

// A link-type table and a URL table with a lookup field over it.
class LookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    types_.SetName("HDSType");
    types_.FieldDefs().Add("TYPE_ID", ftString, 10);
    types_.FieldDefs().Add("TYPE_NAME", ftString, 100);
    types_.Open();
    types_.AppendRecord({TVariant("1"), TVariant("http")});
    types_.AppendRecord({TVariant("2"), TVariant(std::string(25, 'x') + "tail")});

    urls_.SetName("HDSUrls");
    urls_.FieldDefs().Add("URL", ftString, 100);
    urls_.FieldDefs().Add("ADRESTYPE", ftString, 10);
    urlType_ = AddField<TStringField>(urls_, "URL_TYPE", 20);
    urlType_->SetFieldKind(fkLookup);
    urlType_->SetKeyFields("ADRESTYPE");
    urlType_->SetLookupDataSet(&types_);
    urlType_->SetLookupKeyFields("TYPE_ID");
    urlType_->SetLookupResultField("TYPE_NAME");
    urlType_->SetDisplayLabel("Type");
    AddField<TStringField>(urls_, "URL", 100);
    AddField<TStringField>(urls_, "ADRESTYPE", 10);
    urls_.Open();
    urls_.AppendRecord({TVariant(), TVariant("a.example"), TVariant("1")});
    urls_.AppendRecord({TVariant(), TVariant("b.example"), TVariant("2")});
    urls_.AppendRecord({TVariant(), TVariant("c.example"), TVariant("7")});
    urls_.AppendRecord({TVariant(), TVariant("d.example"), TVariant()});
    urls_.First();
  }
  TMemDataSet types_;
  TMemDataSet urls_;
  TStringField* urlType_ = nullptr;
};

TEST_F(LookupTest, ShowsLookedUpNameCutToItsSizeAndEmptyWithoutMatch) {
  const std::pair<const char*, std::string> expected[] = {
      {"a.example", "http"},
      {"b.example", std::string(20, 'x')},
      {"c.example", ""},
      {"d.example", ""},
  };
  for (const auto& [url, type] : expected) {
    ASSERT_FALSE(urls_.Eof());
    EXPECT_EQ(urls_.FieldByName("URL")->AsString(), url);
    EXPECT_EQ(urlType_->AsString(), type) << url;
    EXPECT_EQ(urlType_->IsNull(), type.empty()) << url;
    urls_.Next();
  }
}

TEST_F(LookupTest, WritingLookupFieldWritesKeyIntoKeyField) {
  urls_.Last();  // no type
  urls_.Edit();
  urlType_->SetAsString("http");
  EXPECT_EQ(urls_.FieldByName("ADRESTYPE")->AsString(), "1");
  EXPECT_EQ(urlType_->AsString(), "http");
  EXPECT_THROW(urlType_->SetAsString("gopher"), EDatabaseError);
  urlType_->SetLookupKey(TVariant("2"));
  EXPECT_EQ(urlType_->AsString(), std::string(20, 'x'));
  urls_.Post();
  EXPECT_EQ(urls_.FieldByName("ADRESTYPE")->AsString(), "2");
  urls_.Edit();
  urlType_->Clear();
  EXPECT_TRUE(urls_.FieldByName("ADRESTYPE")->IsNull());
  urls_.Cancel();
}

TEST_F(LookupTest, LookupDatasetPositionUntouched) {
  types_.First();
  urls_.First();
  urls_.Next();
  EXPECT_EQ(types_.FieldByName("TYPE_ID")->AsString(), "1");
}

// A lookup value is looked up when first read, not at every fetch, as long
// as nothing could tell the difference; OnFilterRecord reading it sees the
// right value. With an OnCalcFields handler, or a lookup dataset that is not
// browsing, every fetch looks up as before.
TEST_F(LookupTest, LookedUpWhenReadUnlessSomethingElseCouldTell) {
  const int before = types_.FetchCount();
  urls_.First();
  while (!urls_.Eof()) {
    urls_.Next();
  }
  EXPECT_EQ(types_.FetchCount(), before);
  urls_.First();
  EXPECT_EQ(urlType_->AsString(), "http");
  EXPECT_EQ(urlType_->AsString(), "http");
  EXPECT_EQ(types_.FetchCount(), before + 1);

  urls_.SetOnFilterRecord([&](TDataSet&, bool& accept) { accept = urlType_->IsNull(); });
  urls_.SetFiltered(true);
  std::string shown;
  for (urls_.First(); !urls_.Eof(); urls_.Next()) {
    shown += urls_.FieldByName("URL")->AsString() + " ";
  }
  EXPECT_EQ(shown, "c.example d.example ");
  urls_.SetFiltered(false);

  std::vector<std::string> seen;
  urls_.OnCalcFields = [&](TDataSet&) { seen.push_back(urlType_->AsString()); };
  urls_.First();
  urls_.Next();
  EXPECT_EQ(seen, (std::vector<std::string>{"http", std::string(20, 'x')}));
  urls_.OnCalcFields = nullptr;

  // Looking up in an editing dataset ends its edit, at the fetch as ever.
  types_.Edit();
  urls_.Next();
  EXPECT_EQ(types_.State(), dsBrowse);
}

TEST_F(LookupTest, DestroyedLookupDatasetIsForgotten) {
  auto other = std::make_unique<TMemDataSet>();
  urls_.Close();
  urlType_->SetLookupDataSet(other.get());
  other.reset();
  EXPECT_EQ(urlType_->LookupDataSet(), nullptr);
}

TEST(FieldBindingTest, PersistentFieldTypeMismatchFailsOpen) {
  TMemDataSet ds;
  ds.SetName("HDSTem");
  ds.FieldDefs().Add("INID", ftSmallint);
  AddField<TFloatField>(ds, "INID");
  try {
    ds.Open();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(),
              "HDSTem: Type mismatch for field 'INID', expecting: Float actual: SmallInt");
  }
  EXPECT_FALSE(ds.Active());
  EXPECT_EQ(ds.FieldCount(), 1);
}

TEST(FieldBindingTest, PersistentFieldWithoutDefinitionOrOfOtherSizeFailsOpen) {
  TMemDataSet ds;
  ds.SetName("D");
  ds.FieldDefs().Add("NAME", ftString, 50);
  auto* name = AddField<TStringField>(ds, "NAME", 40);
  EXPECT_THROW(ds.Open(), EDatabaseError);
  name->SetSize(50);
  AddField<TFloatField>(ds, "GONE");
  try {
    ds.Open();
    FAIL();
  } catch (const EDatabaseError& e) {
    EXPECT_EQ(e.Message(), "D: Field 'GONE' not found");
  }
}

TEST(FieldBindingTest, DefaultFieldsMadeAtOpenAndDroppedAtClose) {
  TMemDataSet ds;
  ds.FieldDefs().Add("A", ftInteger);
  ds.FieldDefs().Add("B", ftMemo);
  ds.FieldDefs().Add("C", ftDate);
  ds.Open();
  ASSERT_EQ(ds.FieldCount(), 3);
  EXPECT_TRUE(ds.DefaultFields());
  EXPECT_EQ(ds.Fields()[0]->DataType(), ftInteger);
  EXPECT_TRUE(ds.Fields()[1]->IsBlob());
  EXPECT_EQ(ds.FieldByName("c")->DataType(), ftDate);
  ds.Close();
  EXPECT_EQ(ds.FieldCount(), 0);
}

class FieldValueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ds_.SetName("V");
    ds_.FieldDefs().Add("S", ftString, 10);
    ds_.FieldDefs().Add("F", ftFloat);
    ds_.FieldDefs().Add("I", ftSmallint);
    ds_.FieldDefs().Add("B", ftBoolean);
    ds_.FieldDefs().Add("D", ftDate);
    ds_.FieldDefs().Add("T", ftTime);
    ds_.FieldDefs().Add("DT", ftDateTime);
    ds_.FieldDefs().Add("M", ftMemo);
    ds_.Open();
    ds_.Append();
  }
  TField* F(const char* name) { return ds_.FieldByName(name); }
  TMemDataSet ds_;
};

TEST_F(FieldValueTest, StringIsCutToSize) {
  F("S")->SetAsString("abcdefghijklmno");
  EXPECT_EQ(F("S")->AsString(), "abcdefghij");
  F("S")->SetAsString("  ");
  EXPECT_TRUE(F("S")->IsNull());
  EXPECT_EQ(F("S")->DisplayWidth(), 10);
}

TEST_F(FieldValueTest, FloatConversionsAndRanges) {
  TField* f = F("F");
  f->SetAsInteger(12);
  EXPECT_EQ(f->AsString(), "12");
  f->SetAsString("12.5");
  EXPECT_DOUBLE_EQ(f->AsFloat(), 12.5);
  EXPECT_EQ(f->AsInteger(), 12);  // nearest, ties to even
  f->SetAsFloat(41.9999999);
  EXPECT_EQ(f->AsInteger(), 42);
  f->SetAsFloat(1e30);
  EXPECT_THROW(f->AsInteger(), EConvertError);
  EXPECT_THROW(f->SetAsString("twelve"), EConvertError);
  f->Clear();
  EXPECT_EQ(f->AsInteger(), 0);
  EXPECT_EQ(f->AsString(), "");

  TField* small = F("I");
  small->SetAsInteger(-32768);
  EXPECT_EQ(small->AsInteger(), -32768);
  EXPECT_THROW(small->SetAsInteger(40000), EDatabaseError);
  EXPECT_THROW(small->SetAsFloat(1e12), EDatabaseError);
  EXPECT_EQ(small->AsInteger(), -32768);
}

TEST_F(FieldValueTest, DisplayFormatsAndLabels) {
  TField* f = F("F");
  f->SetAsFloat(12.5);
  const std::pair<std::string, std::string> formats[] = {
      {"0.00", "12.50"},
      {"#", "13"},
      {"000", "013"},
      {"\xD0\xE0\xE7\xE4\xE5\xEB", "\xD0\xE0\xE7\xE4\xE5\xEB"},  // text without placeholders
      {"", "12.5"},
  };
  for (const auto& [format, text] : formats) {
    f->SetDisplayFormat(format);
    EXPECT_EQ(f->DisplayText(), text) << format;
  }
  EXPECT_EQ(f->Text(), "12.5");
  EXPECT_EQ(f->DisplayName(), "F");
  f->SetDisplayLabel("Amount");
  EXPECT_EQ(f->DisplayName(), "Amount");
  EXPECT_EQ(f->Alignment(), taRightJustify);
}

TEST_F(FieldValueTest, BooleanDateAndTimeValues) {
  F("B")->SetAsString("True");
  EXPECT_TRUE(F("B")->AsBoolean());
  EXPECT_EQ(F("B")->DisplayText(), "True");
  F("D")->SetAsString("29.02.2024");
  int y = 0, m = 0, d = 0;
  DecodeDate(F("D")->AsDateTime(), y, m, d);
  EXPECT_EQ((std::vector<int>{y, m, d}), (std::vector<int>{2024, 2, 29}));
  EXPECT_EQ(F("D")->DisplayText(), "29.02.2024");
  EXPECT_THROW(F("D")->SetAsString("30.02.2024"), EConvertError);
  F("T")->SetAsString("13:45:07");
  EXPECT_EQ(F("T")->AsString(), "13:45:07");
  F("DT")->SetAsDateTime(EncodeDate(1999, 12, 31) + EncodeTime(23, 59, 58, 0));
  EXPECT_EQ(F("DT")->AsString(), "31.12.1999 23:59:58");
  EXPECT_EQ(F("DT")->AsVariant().GetKind(), TVariant::vkDateTime);
}

TEST_F(FieldValueTest, MemoValueThroughBlobStream) {
  TField* memo = F("M");
  EXPECT_TRUE(memo->IsNull());
  EXPECT_EQ(memo->DisplayText(), "(Memo)");
  memo->SetAsString(std::string(5000, 'm'));
  EXPECT_TRUE(ds_.Modified());
  F("F")->SetAsInteger(1);
  ds_.Post();
  EXPECT_EQ(memo->AsString().size(), 5000u);
  EXPECT_EQ(memo->DisplayText(), "(MEMO)");
  EXPECT_THROW(memo->SetAsString("x"), EDatabaseError);  // browse state
}

TEST_F(FieldValueTest, ValidateSeesNewValueAndMayRefuse) {
  std::string seen;
  F("S")->OnValidate = [&](TField& field) {
    seen = field.AsString();
    if (seen == "bad") {
      throw EDatabaseError("refused");
    }
  };
  int changes = 0;
  F("S")->OnChange = [&](TField&) { ++changes; };
  F("S")->SetAsString("good");
  EXPECT_EQ(seen, "good");
  EXPECT_THROW(F("S")->SetAsString("bad"), EDatabaseError);
  EXPECT_EQ(F("S")->AsString(), "good");
  EXPECT_EQ(changes, 1);
}

TEST_F(FieldValueTest, ReadOnlyFieldIsRefused) {
  F("S")->SetReadOnly(true);
  EXPECT_THROW(F("S")->SetAsString("x"), EDatabaseError);
  EXPECT_TRUE(F("S")->IsNull());
}

TEST(CalcFieldTest, CalculatedFieldComputedPerRecord) {
  TMemDataSet ds;
  ds.FieldDefs().Add("ID", ftFloat);
  ds.FieldDefs().Add("NAME", ftString, 10);
  auto* twice = AddField<TIntegerField>(ds, "TWICE");
  twice->SetFieldKind(fkCalculated);
  AddField<TFloatField>(ds, "ID");
  AddField<TStringField>(ds, "NAME", 10);
  ds.OnCalcFields = [&](TDataSet& d) { twice->SetAsInteger(d.FieldByName("ID")->AsInteger() * 2); };
  ds.Open();
  ds.AppendRecord({TVariant(), TVariant(3), TVariant("a")});
  ds.AppendRecord({TVariant(), TVariant(5), TVariant("b")});
  ds.First();
  EXPECT_EQ(twice->AsInteger(), 6);
  ds.Next();
  EXPECT_EQ(twice->AsInteger(), 10);
  ds.Edit();
  ds.FieldByName("ID")->SetAsInteger(7);
  EXPECT_EQ(twice->AsInteger(), 14);  // follows the field while editing
  EXPECT_THROW(twice->AsDateTime(), EDatabaseError);
  ds.Cancel();
}

TEST(DefaultValueTest, DefaultExpressionsFillNewRecord) {
  TMemDataSet ds;
  ds.FieldDefs().Add("S", ftString, 10);
  ds.FieldDefs().Add("U", ftString, 10);
  ds.FieldDefs().Add("B", ftBoolean);
  AddField<TStringField>(ds, "S", 10)->SetDefaultExpression("'abc'");
  AddField<TStringField>(ds, "U", 10)->SetDefaultExpression("abc");
  AddField<TBooleanField>(ds, "B")->SetDefaultExpression(".T.");
  ds.Open();
  ds.Append();
  EXPECT_EQ(ds.FieldByName("S")->AsString(), "abc");
  EXPECT_TRUE(ds.FieldByName("U")->IsNull());
  EXPECT_TRUE(ds.FieldByName("B")->AsBoolean());
}

}  // namespace
