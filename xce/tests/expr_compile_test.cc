// Expression compiler: error texts with positions, result types and widths,
// referenced field names.
#include <gtest/gtest.h>

#include "expr/expr.h"
#include "expr_fake_source.h"

namespace xce::expr {
namespace {

struct ErrorCase {
  std::string expr;
  int position;
  const char* reason;
};

TEST(ExprCompileTest, InvalidExpressionsNamePositionAndReason) {
  const ErrorCase cases[] = {
      {"TEM_ID=", 8, "an operand is expected at the end"},
      {"NAME = \"abc", 8, "the string is not terminated"},
      {"NAME = [abc", 8, "the string is not terminated"},
      {"FOO = 1", 1, "unknown field FOO"},
      {"BAR(1)", 1, "unknown function BAR"},
      {"UPPER(1)", 7, "argument 1 of UPPER must be character, not numeric"},
      {"UPPER(\"a\",\"b\")", 1, "UPPER takes 1 argument, not 2"},
      {"SUBSTR(\"a\")", 1, "SUBSTR takes 2 to 3 arguments, not 1"},
      {"deleted(1)", 1, "DELETED takes 0 arguments, not 1"},
      {"NAME + 1", 6, "operator + cannot combine character and numeric"},
      {"D + D", 3, "operator + cannot combine date and date"},
      {"URL_ID = \"12\"", 8, "operator = cannot compare numeric with character"},
      {"L < .T.", 3, "operator < cannot order logical values"},
      {"(1+2", 5, "a ) is expected"},
      {"1+2)", 4, "a ) has no matching ("},
      {"1 2", 3, "an operator is expected"},
      {"", 1, "the expression is empty"},
      {"   ", 4, "the expression is empty"},
      {".X.", 1, "unknown keyword .X."},
      {"{^2024-13-01}", 1, "invalid date literal"},
      {"{^2024-01-01", 1, "the date literal is not terminated"},
      {"NOT 1", 5, "the operand of NOT must be logical, not numeric"},
      {"1 AND .T.", 1, "the operands of AND must be logical, not numeric"},
      {".T. OR NAME", 8, "the operands of OR must be logical, not character"},
      {"-NAME", 2, "the operand of - must be numeric, not character"},
      {"NAME * 2", 1, "the operands of * must be numeric, not character"},
      {"1 $ NAME", 1, "the operands of $ must be character, not numeric"},
      {"IIF(.T., 1, \"a\")", 13, "argument 3 of IIF must be numeric, not character"},
      {"IIF(1, 1, 2)", 5, "argument 1 of IIF must be logical, not numeric"},
      {"A->NAME = 1", 1, "table aliases are not supported"},
      {"NAME @ 1", 6, "unexpected character \"@\""},
      {"UPPER(NAME", 11, "a , or ) is expected in the arguments of UPPER"},
      {"= 1", 1, "an operand is expected before ="},
      {"DESCR2 = 1", 1, "unknown field DESCR2"},
      {"G = 1", 1, "field G of type G cannot be used in an expression"},
      {std::string(300, '(') + "1" + std::string(300, ')'), 201,
       "the expression is nested too deeply"},
      {"LEN(REPLICATE(\"ab\", 9999999)) > 0", 0, "longer than"},
      {[] {
         std::string s = "URL_ID";
         for (int i = 0; i < 5000; ++i) {
           s += "+URL_ID";
         }
         return s;
       }(),
       0, "the expression is too long"},
  };
  std::vector<FakeSource::FieldSpec> specs = FakeSource::CatalogueSpecs();
  specs.push_back({"G", 'G', 10, 0});
  FakeSource src(specs);
  for (const ErrorCase& c : cases) {
    std::unique_ptr<Expression> e;
    Status s = Expression::Compile(c.expr, src, &e);
    ASSERT_FALSE(s.ok()) << c.expr;
    EXPECT_EQ(s.code(), kErrExpression);
    EXPECT_EQ(e, nullptr);
    const std::string& m = s.message();
    EXPECT_EQ(m.rfind("Invalid expression \"" + c.expr + "\"", 0), 0u) << m;
    if (c.position > 0) {
      EXPECT_NE(m.find("at position " + std::to_string(c.position) + ": " + c.reason + "."),
                std::string::npos)
          << m;
    } else {
      EXPECT_NE(m.find(c.reason), std::string::npos) << m;
    }
  }
}

struct ShapeCase {
  const char* expr;
  ValueType type;
  int width;  // character results only
  bool fixed;
  std::vector<std::string> fields;
};

TEST(ExprCompileTest, ResultTypeWidthAndFields) {
  const ShapeCase cases[] = {
      {"NAME", ValueType::kCharacter, 20, true, {"NAME"}},
      {"name", ValueType::kCharacter, 20, true, {"NAME"}},
      {"UPPER(NAME)", ValueType::kCharacter, 20, true, {"NAME"}},
      {"NAME+URL", ValueType::kCharacter, 60, true, {"NAME", "URL"}},
      {"NAME-URL", ValueType::kCharacter, 60, true, {"NAME", "URL"}},
      {"STR(TEM_ID,10)+STR(URL_ID,10)", ValueType::kCharacter, 20, true, {"TEM_ID", "URL_ID"}},
      {"STR(URL_ID)", ValueType::kCharacter, 10, true, {"URL_ID"}},
      {"STR(PRICE,8,2)", ValueType::kCharacter, 8, true, {"PRICE"}},
      {"DTOS(D)+NAME", ValueType::kCharacter, 28, true, {"D", "NAME"}},
      {"SUBSTR(NAME,3,5)", ValueType::kCharacter, 5, true, {"NAME"}},
      {"SUBSTR(NAME,3)", ValueType::kCharacter, 18, true, {"NAME"}},
      {"SUBSTR(NAME,18,5)", ValueType::kCharacter, 3, false, {"NAME"}},
      {"LEFT(NAME,4)", ValueType::kCharacter, 4, true, {"NAME"}},
      {"RIGHT(URL,4)", ValueType::kCharacter, 4, true, {"URL"}},
      {"PADR(TRIM(NAME),30)", ValueType::kCharacter, 30, true, {"NAME"}},
      {"PADL(NAME,5)", ValueType::kCharacter, 5, true, {"NAME"}},
      {"TRIM(NAME)", ValueType::kCharacter, 20, false, {"NAME"}},
      {"DESCR", ValueType::kCharacter, 0, false, {"DESCR"}},
      {"IIF(L,NAME,URL)", ValueType::kCharacter, 40, false, {"L", "NAME", "URL"}},
      {"UPPER(NAME)+NAME+URL+name", ValueType::kCharacter, 100, true, {"NAME", "URL"}},
      {"\"abc\"+SPACE(2)", ValueType::kCharacter, 5, true, {}},
      {"URL_ID", ValueType::kNumeric, 0, true, {"URL_ID"}},
      {"D", ValueType::kDate, 0, true, {"D"}},
      {"T", ValueType::kDateTime, 0, true, {"T"}},
      {"not deleted()", ValueType::kLogical, 0, true, {}},
      {"(TEM_ID=2) OR (TEM_ID=5)", ValueType::kLogical, 0, true, {"TEM_ID"}},
  };
  FakeSource src(FakeSource::CatalogueSpecs());
  for (const ShapeCase& c : cases) {
    std::unique_ptr<Expression> e;
    Status s = Expression::Compile(c.expr, src, &e);
    ASSERT_TRUE(s.ok()) << c.expr << ": " << s.message();
    EXPECT_EQ(e->Type(), c.type) << c.expr;
    if (c.type == ValueType::kCharacter) {
      EXPECT_EQ(e->Width(), c.width) << c.expr;
      EXPECT_EQ(e->FixedWidth(), c.fixed) << c.expr;
    }
    EXPECT_EQ(e->FieldNames(), c.fields) << c.expr;
  }
}

TEST(ExprCompileTest, ConstantsAreFoldedButNotRecordOrSettingDependentParts) {
  FakeSource src(FakeSource::CatalogueSpecs());
  const std::pair<const char*, bool> cases[] = {
      {"UPPER(\"ab\"+ Chr(34) + \"c\")", true},
      {"1+2*3 > 6", true},
      {"\"ab\" == \"ab\"", true},
      {"\"ab\" = \"a\"", false},  // follows the exact setting when evaluated
      {"deleted()", false},
      {"recno() > 0", false},
      {"date() > {^2000-01-01}", false},
  };
  for (const auto& [text, constant] : cases) {
    std::unique_ptr<Expression> e;
    ASSERT_TRUE(Expression::Compile(text, src, &e).ok()) << text;
    EXPECT_EQ(e->IsConstant(), constant) << text;
  }
}

// Tables written with long column names keep them cut to ten characters,
// while their index expressions name the long ones.
TEST(ExprCompileTest, LongFieldNamesMatchTheirFirstTenCharacters) {
  FakeSource src({{"DEPARTMENT", 'C', 30, 0}, {"ID", 'N', 4, 0}});
  std::unique_ptr<Expression> e;
  ASSERT_TRUE(Expression::Compile("UPPER(departmentname)", src, &e).ok());
  EXPECT_EQ(e->FieldNames(), std::vector<std::string>{"DEPARTMENT"});
  EXPECT_EQ(e->Width(), 30);
  EXPECT_FALSE(Expression::Compile("DEPARTMEN", src, &e).ok());
  EXPECT_FALSE(Expression::Compile("DEPARTMXNTNAME", src, &e).ok());
  EXPECT_FALSE(Expression::Compile("IDENTIFIER = 1", src, &e).ok());
}

TEST(ExprCompileTest, MissingRecordIsAnErrorNotACrash) {
  class NoRecord : public FakeSource {
   public:
    NoRecord() : FakeSource(CatalogueSpecs()) {}
    const char* RecordImage() const override { return nullptr; }
  } src;
  std::unique_ptr<Expression> e;
  ASSERT_TRUE(Expression::Compile("URL_ID = 1", src, &e).ok());
  bool r = true;
  EXPECT_EQ(e->EvalLogical(src, &r).code(), kErrExpression);
  EXPECT_FALSE(r);
  ASSERT_TRUE(Expression::Compile("1 = 1", src, &e).ok());
  EXPECT_TRUE(e->EvalLogical(src, &r).ok());
  EXPECT_TRUE(r);
}

}  // namespace
}  // namespace xce::expr
