// Expression language: values, operators, precedence, functions and the
// exact-comparison setting, evaluated against one in-memory record.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "expr/expr.h"
#include "expr_fake_source.h"

namespace xce::expr {
namespace {

// Renders a value compactly so cases can be written as text.
std::string Render(const Value& v) {
  char buf[64];
  switch (v.type) {
    case ValueType::kCharacter:
      return v.text;
    case ValueType::kNumeric:
      std::snprintf(buf, sizeof buf, "%.10g", v.number);
      return buf;
    case ValueType::kLogical:
      return v.logical ? ".T." : ".F.";
    case ValueType::kDate: {
      int y = 0, m = 0, d = 0;
      if (!YmdFromJulian(v.date, &y, &m, &d)) {
        return "{}";
      }
      std::snprintf(buf, sizeof buf, "%04d%02d%02d", y, m, d);
      return buf;
    }
    case ValueType::kDateTime: {
      int y = 0, m = 0, d = 0;
      if (!YmdFromJulian(v.date / 86400000, &y, &m, &d)) {
        return "{}";
      }
      int64_t s = v.date % 86400000 / 1000;
      std::snprintf(buf, sizeof buf, "%04d%02d%02d%02d%02d%02d", y, m, d,
                    static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                    static_cast<int>(s % 60));
      return buf;
    }
  }
  return "?";
}

class ExprEvalTest : public ::testing::Test {
 protected:
  ExprEvalTest() : src_(FakeSource::CatalogueSpecs()) {
    src_.SetRaw("URL", "http://ab\"c.example/");
    src_.SetRaw("NAME", "\xC8\xE2\xE0\xED\xEE\xE2");  // Иванов in CP1251
    src_.SetNumber("URL_ID", "12");
    src_.SetNumber("TEM_ID", "5");
    src_.SetNumber("PRICE", "12.50");
    src_.SetRaw("D", "20240315");
    src_.SetRaw("L", "T");
    src_.SetBinary<int32_t>("I", -7);
    src_.SetBinary<double>("B", 2.5);
    src_.SetBinary<int32_t>("T", static_cast<int32_t>(JulianFromYmd(2024, 3, 15)));
    src_.SetBinary<int32_t>("T", (10 * 3600 + 20 * 60 + 30) * 1000, 4);
    src_.SetBinary<int64_t>("Y", 123456);
    src_.SetMemo(2, "memo text");
  }

  std::string Eval(const std::string& text) {
    std::unique_ptr<Expression> e;
    Status s = Expression::Compile(text, src_, &e);
    if (!s.ok()) {
      return "error: " + s.message();
    }
    Value v;
    s = e->Evaluate(src_, &v);
    if (!s.ok()) {
      return "error: " + s.message();
    }
    return Render(v);
  }

  FakeSource src_;
};

struct Case {
  const char* expr;
  const char* want;
};

TEST_F(ExprEvalTest, ExpressionsTheCatalogueBuilds) {
  const Case cases[] = {
      {"not deleted()", ".T."},
      {"NOT DELETED()", ".T."},
      {"(TEM_ID=2) OR (TEM_ID=5) OR (TEM_ID=9)", ".T."},
      {"(TEM_ID=3) OR (TEM_ID=7)", ".F."},
      {"(TEM_ID=5)", ".T."},
      {"TEM_ID=1 and TEM_ID=2", ".F."},
      {"URL_ID=12", ".T."},
      {"URL_ID=13", ".F."},
      {"(empty(NAME))", ".F."},
      {"(UPPER(URL)=UPPER(\"HTTP://ab\"+ Chr(34) + \"c\"))", ".T."},
      {"(UPPER(URL)=UPPER(\"http://ab\"+ Chr(34) + \"d\"))", ".F."},
      {"(D=ctod(\"15.03.2024\"))", ".T."},
      {"(T=ctot(\"15.03.2024 10:20:30\"))", ".T."},
      {"(T=ctots(\"2024-03-15 10:20:30\"))", ".T."},
      {"(L=.TRUE.)", ".T."},
      {"(L=.FALSE.)", ".F."},
      {"(PRICE=12.5)", ".T."},
      {"(URL_ID=12) AND (TEM_ID=5)", ".T."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Eval(c.expr), c.want) << c.expr;
  }
}

TEST_F(ExprEvalTest, OperatorsPrecedenceAndAssociativity) {
  const Case cases[] = {
      {"1+2*3", "7"},
      {"(1+2)*3", "9"},
      {"10-4-3", "3"},
      {"12/4/3", "1"},
      {"2**3**2", "64"},
      {"2^3^2", "64"},
      {"-2^2", "4"},
      {"2^-1", "0.5"},
      {"- -3", "3"},
      {"+4", "4"},
      {"7%3", "1"},
      {"-7%3", "2"},
      {"7%-3", "-2"},
      {"1/0 > 1000", ".T."},
      {"2*3+4*5", "26"},
      {".T. OR .F. AND .F.", ".T."},
      {"(.T. OR .F.) AND .F.", ".F."},
      {"NOT .T. OR .T.", ".T."},
      {"NOT (.T. OR .T.)", ".F."},
      {"!.F.", ".T."},
      {".NOT. .F. .AND. .t.", ".T."},
      {".f. .or. .y.", ".T."},
      {"1 != 2", ".T."},
      {"1 # 1", ".F."},
      {"1 <> 2", ".T."},
      {"1 < 2 AND 2 <= 2 AND 3 > 2 AND 3 >= 3", ".T."},
      {"1+1=2", ".T."},
      {"\"bc\" $ \"abcd\"", ".T."},
      {"\"\" $ \"abcd\"", ".F."},
      {"\"ab  \"-\"cd\"", "abcd  "},
      {"\"ab\"+\"cd\"", "abcd"},
      {"D+20", "20240404"},
      {"20+D", "20240404"},
      {"D-15", "20240229"},
      {"D-{^2024-01-01}", "74"},
      {"T+30", "20240315102100"},
      {"T-{^2024-03-15 10:00:00}", "1230"},
      {"T > {^2024-03-15}", ".T."},
      {"{^2024-03-15} = D", ".T."},
      {"{} < D", ".T."},
      {"1.5e2", "150"},
      {".5+.25", "0.75"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Eval(c.expr), c.want) << c.expr;
  }
}

TEST_F(ExprEvalTest, Functions) {
  const Case cases[] = {
      {"STR(12)", "        12"},
      {"STR(URL_ID,10)", "        12"},
      {"STR(TEM_ID,10)+STR(URL_ID,10)", "         5        12"},
      {"STR(PRICE,6,2)", " 12.50"},
      {"STR(-3.14159,8,3)", "  -3.142"},
      {"STR(123456,3)", "***"},
      {"STR(123.456,5,2)", "123.5"},
      {"STR(2.5)", "         3"},
      {"STR(-2.5,3)", " -3"},
      {"STR(-0.001,5,2)", " 0.00"},
      {"STR(1/0,4)", "****"},
      {"SUBSTR(\"abcdef\",2,3)", "bcd"},
      {"SUBSTR(\"abcdef\",5)", "ef"},
      {"SUBSTR(\"abc\",9,2)", ""},
      {"LEFT(\"abc\",2)", "ab"},
      {"RIGHT(\"abc\",2)", "bc"},
      {"RIGHT(\"abc\",9)", "abc"},
      {"AT(\"b\",\"abcb\")", "2"},
      {"AT(\"b\",\"abcb\",2)", "4"},
      {"AT(\"x\",\"abcb\")", "0"},
      {"ALLTRIM(\"  x y  \")", "x y"},
      {"LTRIM(\"  x  \")", "x  "},
      {"TRIM(\"  x  \")", "  x"},
      {"RTRIM(\"x  \")", "x"},
      {"PADL(\"ab\",5,\"*\")", "***ab"},
      {"PADR(\"ab\",4)", "ab  "},
      {"PADC(\"ab\",6,\"-\")", "--ab--"},
      {"PADR(\"abcdef\",3)", "abc"},
      {"REPLICATE(\"ab\",3)", "ababab"},
      {"SPACE(3)+\"|\"", "   |"},
      {"LEN(NAME)", "20"},
      {"LEN(TRIM(NAME))", "6"},
      {"ASC(\"A\")", "65"},
      {"CHR(65)+CHR(34)", "A\""},
      {"VAL(\" 12.5abc\")", "12.5"},
      {"VAL(\"-7\")", "-7"},
      {"VAL(\"x\")", "0"},
      {"IIF(URL_ID>10,\"big\",\"small\")", "big"},
      {"IIF(URL_ID>20,1,2)", "2"},
      {"DTOS(D)", "20240315"},
      {"DTOC(D)", "15.03.2024"},
      {"DTOS(STOD(\"20240229\"))", "20240229"},
      {"STOD(\"20230229\")", "{}"},
      {"DTOS(CTOD(\"\"))+\"|\"", "        |"},
      {"CTOD(\"2024-03-15\")", "20240315"},
      {"CTOD(\"03/15/2024\")", "20240315"},
      {"CTOD(\"15.03.24\")", "20240315"},
      {"CTOD(\"31.02.2024\")", "{}"},
      {"CTOT(\"03/15/2024 01:05 PM\")", "20240315130500"},
      {"TTOC(T)", "15.03.2024 10:20:30"},
      {"TTOD(T) = D", ".T."},
      {"YEAR(D)*10000+MONTH(D)*100+DAY(D)", "20240315"},
      {"YEAR(T)", "2024"},
      {"ABS(-3)", "3"},
      {"INT(-3.7)", "-3"},
      {"ROUND(2.345,2)", "2.35"},
      {"ROUND(-2.5,0)", "-3"},
      {"ROUND(1234,-2)", "1200"},
      {"MOD(-7,3)", "2"},
      {"MIN(3,5)", "3"},
      {"MAX(\"a\",\"b\")", "b"},
      {"MAX(D,{^2030-01-01})", "20300101"},
      {"BETWEEN(URL_ID,10,20)", ".T."},
      {"BETWEEN(\"m\",\"a\",\"k\")", ".F."},
      {"UPPER(\"abc\")", "ABC"},
      {"LOWER(\"ABC\")", "abc"},
      {"I", "-7"},
      {"B", "2.5"},
      {"Y", "12.3456"},
      {"RECNO()", "1"},
      {"DESCR", "memo text"},
      {"\"text\" $ DESCR", ".T."},
      {"EMPTY(0) AND EMPTY(\" \") AND EMPTY({}) AND EMPTY(.F.) AND !EMPTY(D)", ".T."},
      {"SUBS(\"abcdef\",2,2)+UPPE(\"x\")", "bcX"},
      {"dele()", ".F."},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Eval(c.expr), c.want) << c.expr;
  }
}

struct ExactCase {
  const char* expr;
  bool off;  // result with exact comparison off
  bool on;   // and on
};

TEST_F(ExprEvalTest, StringEqualityFollowsExactSetting) {
  const ExactCase cases[] = {
      {"\"abc\" = \"abc\"", true, true},
      {"\"ab\" = \"abc\"", false, false},
      {"\"abc\" = \"ab\"", true, false},
      {"\"abc\" = \"ab \"", false, false},
      {"\"ab\" = \"ab \"", false, true},
      {"\"ab \" = \"ab\"", true, true},
      {"\"\" = \"ab\"", false, false},
      {"\"ab\" = \"\"", true, false},
      {"\"\" = \"\"", true, true},
      {"\" \" = \"\"", true, true},
      {"\"abc\" == \"abc\"", true, true},
      {"\"ab \" == \"ab\"", false, false},
      {"\"abc\" <> \"ab\"", false, true},
      {"\"abc\" >= \"abd\"", false, false},
      {"\"ab\" <= \"ab \"", true, true},
      {"NAME = \"\xC8\xE2\"", true, false},
      {"NAME = \"\xC8\xE2\xE0\xED\xEE\xE2\"", true, true},
      {"NAME == \"\xC8\xE2\xE0\xED\xEE\xE2\"", false, false},
      {"TRIM(NAME) == \"\xC8\xE2\xE0\xED\xEE\xE2\"", true, true},
      {"NAME = \"\"", true, false},
      {"UPPER(URL) = UPPER(\"http\")", true, false},
  };
  for (bool exact : {false, true}) {
    src_.SetExact(exact);
    for (const ExactCase& c : cases) {
      EXPECT_EQ(Eval(c.expr), (exact ? c.on : c.off) ? ".T." : ".F.")
          << c.expr << " exact " << exact;
    }
  }
}

TEST_F(ExprEvalTest, DeletedAndEmptyFollowTheRecord) {
  std::unique_ptr<Expression> e;
  ASSERT_TRUE(Expression::Compile("not deleted() and !empty(NAME)", src_, &e).ok());
  bool r = false;
  ASSERT_TRUE(e->EvalLogical(src_, &r).ok());
  EXPECT_TRUE(r);
  src_.SetDeleted(true);
  ASSERT_TRUE(e->EvalLogical(src_, &r).ok());
  EXPECT_FALSE(r);
  src_.SetDeleted(false);
  src_.SetRaw("NAME", "");
  ASSERT_TRUE(e->EvalLogical(src_, &r).ok());
  EXPECT_FALSE(r);
  // A blank numeric field is empty, and so is a blank date.
  EXPECT_EQ(Eval("EMPTY(URL_ID)"), ".F.");
  src_.SetRaw("URL_ID", "");
  src_.SetRaw("D", "");
  EXPECT_EQ(Eval("EMPTY(URL_ID) AND EMPTY(D) AND URL_ID = 0"), ".T.");
}

TEST_F(ExprEvalTest, CyrillicFoldsInTheTableCodePage) {
  // "Ёжик Иванов" and the literal "ёжик и" in CP1251.
  const std::string stored1251 = "\xA8\xE6\xE8\xEA \xC8\xE2\xE0\xED\xEE\xE2";
  const std::string expr = "UPPER(NAME) = UPPER(\"\xB8\xE6\xE8\xEA \xE8\")";
  for (CodePage cp : {CodePage::kCp1251, CodePage::kCp866}) {
    FakeSource src(FakeSource::CatalogueSpecs(), cp);
    src.SetRaw("NAME", cp == CodePage::kCp866 ? AnsiToOem(stored1251) : stored1251);
    for (const char* text : {expr.c_str(), "LOWER(NAME) = \"\xB8\xE6\xE8\xEA\"",
                             "ASC(NAME) = 168 AND CHR(168) = LEFT(NAME, 1)"}) {
      std::unique_ptr<Expression> e;
      ASSERT_TRUE(Expression::Compile(text, src, &e).ok()) << text;
      bool r = false;
      ASSERT_TRUE(e->EvalLogical(src, &r).ok());
      EXPECT_TRUE(r) << text << " code page " << static_cast<int>(cp);
    }
    // The literal reaches the record's bytes, not the program's.
    std::unique_ptr<Expression> e;
    ASSERT_TRUE(Expression::Compile("\"\xB8\"", src, &e).ok());
    Value v;
    ASSERT_TRUE(e->Evaluate(src, &v).ok());
    EXPECT_EQ(v.text, cp == CodePage::kCp866 ? "\xF1" : "\xB8");
  }
}

// Sums of dates and huge numbers saturate at the ends of the range instead of
// wrapping round (which would also be undefined behaviour).
TEST_F(ExprEvalTest, DateArithmeticSaturates) {
  EXPECT_EQ(Eval("D + 9e18 + 9e18 > D"), ".T.");
  EXPECT_EQ(Eval("T + 9e18 + 9e18 > T"), ".T.");
  EXPECT_EQ(Eval("EMPTY(D - 9e18 - 9e18)"), ".T.");
  EXPECT_EQ(Eval("D - -9e18 - -9e18 > D"), ".T.");
  EXPECT_EQ(Eval("D + 1 - 1 = D"), ".T.");
  EXPECT_EQ(Eval("DTOT(D + 9e18 + 9e18) > DTOT(D)"), ".T.");
  EXPECT_EQ(Eval("DTOS(D + 9e18)"), "        ");
}

TEST_F(ExprEvalTest, FailuresWhileEvaluatingAreReported) {
  std::unique_ptr<Expression> e;
  ASSERT_TRUE(Expression::Compile("\"x\" $ DESCR", src_, &e).ok());
  src_.FailMemos(true);
  bool r = true;
  Status s = e->EvalLogical(src_, &r);
  EXPECT_EQ(s.code(), 5999);
  EXPECT_FALSE(r);

  ASSERT_TRUE(Expression::Compile("LEN(REPLICATE(NAME, 1000000)) > 0", src_, &e).ok());
  s = e->EvalLogical(src_, &r);
  EXPECT_EQ(s.code(), kErrExpression);
  EXPECT_NE(s.message().find("longer than"), std::string::npos);

  ASSERT_TRUE(Expression::Compile("NAME", src_, &e).ok());
  EXPECT_EQ(e->EvalLogical(src_, &r).code(), kErrExpression);  // not logical
}

TEST(ExprCalendarTest, JulianDaysRoundTrip) {
  EXPECT_EQ(JulianFromYmd(2000, 1, 1), 2451545);
  EXPECT_EQ(JulianFromYmd(2024, 2, 30), 0);
  EXPECT_EQ(JulianFromYmd(1900, 2, 29), 0);
  EXPECT_EQ(JulianFromYmd(2000, 2, 29), 2451604);
  for (int64_t jd : {int64_t{1721426}, int64_t{2299161}, int64_t{2451545}, int64_t{5373484}}) {
    int y = 0, m = 0, d = 0;
    ASSERT_TRUE(YmdFromJulian(jd, &y, &m, &d));
    EXPECT_EQ(JulianFromYmd(y, m, d), jd);
  }
  int y = 0, m = 0, d = 0;
  EXPECT_FALSE(YmdFromJulian(0, &y, &m, &d));
  EXPECT_EQ(JulianFromDtos("20240315"), JulianFromYmd(2024, 3, 15));
  EXPECT_EQ(JulianFromDtos("        "), 0);
  EXPECT_EQ(JulianFromDtos("2024031"), 0);
}

}  // namespace
}  // namespace xce::expr
