// Value and text conversions.

#include "db/format.h"

#include <gtest/gtest.h>

#include "codepage.h"
#include "db/db_error.h"
#include "db/variant.h"

namespace {

TEST(FormatTest, FormatFloatPlaceholdersSectionsAndLiterals) {
  struct Case {
    const char* format;
    double value;
    const char* text;
  };
  const Case cases[] = {
      {"0.00", 2.005, "2.01"},   {"0.00", -1.5, "-1.50"},         {"#.##", 0.5, ".5"},
      {"0.##", 3, "3"},          {"#,##0", 1234567, "1 234 567"}, {"0;(0);zero", -7, "(7)"},
      {"0;(0);zero", 0, "zero"}, {"'N='0", 42, "N=42"},           {"0 kg", 3, "3 kg"},
      {"URL", 12, "URL"},        {"0.00", -0.001, "0.00"},        {"", 0.1, "0.1"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FormatFloat(c.format, c.value), c.text) << c.format << " " << c.value;
  }
}

TEST(FormatTest, NumbersFromTextRejectGarbage) {
  double d = 0;
  EXPECT_TRUE(TryStrToFloat(" 12.5 ", d));
  EXPECT_DOUBLE_EQ(d, 12.5);
  for (const char* bad : {"", "1,2", "12a", "1e400", "nan", "inf", "--1", "0x10"}) {
    EXPECT_FALSE(TryStrToFloat(bad, d)) << bad;
  }
  int64_t i = 0;
  EXPECT_TRUE(TryStrToInt("-42", i));
  EXPECT_EQ(i, -42);
  for (const char* bad : {"", "+", "4 2", "99999999999999999999", "1.0"}) {
    EXPECT_FALSE(TryStrToInt(bad, i)) << bad;
  }
  EXPECT_THROW(StrToFloat("x"), EConvertError);
  EXPECT_EQ(FloatToStr(1.0 / 3), "0.333333333333333");
  EXPECT_EQ(FloatToStr(-0.5), "-0.5");
}

TEST(FormatTest, DatesRoundTripAndInvalidDatesFail) {
  TDateTime date = EncodeDate(2024, 2, 29);
  EXPECT_DOUBLE_EQ(date, 45351);  // days since 30 December 1899
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd", date), "2024-02-29");
  EXPECT_EQ(FormatDateTime("d/m/yy", date), "29.2.24");
  EXPECT_DOUBLE_EQ(StrToDate("29.02.24"), date);
  EXPECT_DOUBLE_EQ(EncodeDate(1, 1, 1), 1 - kDateDelta);
  EXPECT_THROW(EncodeDate(2023, 2, 29), EConvertError);
  for (const char* bad : {"31.04.2024", "1.2", "aa.bb.cccc", "0.1.2000"}) {
    EXPECT_THROW(StrToDate(bad), EConvertError) << bad;
  }
  TDateTime moment = StrToDateTime("01.03.2000 07:08:09");
  EXPECT_EQ(FormatDateTime("c", moment), "01.03.2000 07:08:09");
  EXPECT_THROW(StrToTime("25:00"), EConvertError);
}

TEST(FormatTest, UpperCaseCoversCyrillic) {
  // "ёжик" -> "ЁЖИК" in CP1251.
  EXPECT_EQ(AnsiUpperCase("\xB8\xE6\xE8\xEA"), "\xA8\xC6\xC8\xCA");
  // і є ї ґ ў -> І Є Ї Ґ Ў, which a table of the Russian letters alone misses.
  EXPECT_EQ(AnsiUpperCase("\xB3\xBA\xBF\xB4\xA2"), "\xB2\xAA\xAF\xA5\xA1");
  EXPECT_TRUE(SameText("\xB3\xED\xF2\xE5\xF0\xED\xE5\xF2", "\xB2\xCD\xD2\xC5\xD0\xCD\xC5\xD2"));
  EXPECT_TRUE(SameText("Url_Id", "URL_ID"));
}

// The framework's case-insensitive matching and the engine's UPPER() must
// agree on every byte, or a search and a filter would find different rows.
TEST(FormatTest, UpperCaseAgreesWithTheEngineOnEveryByte) {
  for (int c = 0; c < 256; ++c) {
    const std::string one(1, static_cast<char>(c));
    EXPECT_EQ(static_cast<unsigned char>(AnsiUpperCase(one)[0]),
              xce::UpperChar(xce::CodePage::kCp1251, static_cast<unsigned char>(c)))
        << c;
  }
}

TEST(VariantTest, ConversionsAndEquality) {
  EXPECT_EQ(TVariant(12.0).AsString(), "12");
  EXPECT_EQ(TVariant("7").AsInteger(), 7);
  EXPECT_TRUE(TVariant("T").AsBoolean());
  EXPECT_THROW(TVariant("maybe").AsBoolean(), EConvertError);
  EXPECT_THROW(TVariant(1e300).AsInteger(), EConvertError);
  EXPECT_TRUE(TVariant(3) == TVariant(3.0));
  EXPECT_TRUE(TVariant("3") == TVariant(3));
  EXPECT_FALSE(TVariant() == TVariant(0));
  EXPECT_TRUE(TVariant() == TVariant());
  EXPECT_EQ(TVariant().AsString(), "");
}

}  // namespace
