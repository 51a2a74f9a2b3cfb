// The engine's expression language: filters, locate conditions and index
// keys are xBase expressions compiled once against a table's field list and
// then evaluated per record without re-parsing.
//
// Text given to the compiler is in the program's character set (CP1251).
// Literals are converted to the table's code page when compiled, so every
// character value an expression produces is in the table's code page, the
// same bytes the record holds.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "codepage.h"
#include "xce/status.h"

namespace xce::expr {

// Result code of every compile failure and of evaluation failures.
inline constexpr int32_t kErrExpression = 5190;

enum class ValueType : uint8_t { kCharacter, kNumeric, kDate, kLogical, kDateTime };

// English name of a type as error texts use it ("character", "numeric", ...).
const char* TypeName(ValueType t);

// One field of the table as an expression sees it.
struct FieldInfo {
  std::string name;     // upper or mixed case; matched without regard to case
  char type = 'C';      // DBF type letter: C N F D L M I B T Y (V Q read as C); Y is a
                        // 64-bit integer holding the number * 10^decimals
  uint32_t offset = 0;  // within the record image; byte 0 is the deletion flag
  uint16_t length = 0;
  uint8_t decimals = 0;
};

// What an expression reads. The schema part (fields, code page) is asked when
// compiling; the record part when evaluating. Evaluation asks RecordImage()
// once per call, so implementations may compute it.
class ExprSource {
 public:
  virtual ~ExprSource() = default;

  virtual const std::vector<FieldInfo>& Fields() const = 0;
  // kCp1251 for ANSI tables, kCp866 for OEM tables.
  virtual CodePage TableCodePage() const = 0;

  // The current record image, at least as long as the fields reach.
  virtual const char* RecordImage() const = 0;
  virtual uint32_t RecordNumber() const = 0;
  // The exact-comparison setting that string "=" follows.
  virtual bool ExactCompare() const = 0;
  // The text of memo field `field` (index into Fields()) of the current
  // record, in the table's code page; empty for an empty memo.
  virtual Status ReadMemo(int field, std::string* text) const = 0;
};

// A value an expression produced. Dates are julian day numbers (0 = empty);
// datetimes are milliseconds since julian day 0 (0 = empty).
struct Value {
  ValueType type = ValueType::kLogical;
  std::string text;
  double number = 0;
  int64_t date = 0;
  bool logical = false;
};

class Node;
struct EvalContext;

class Expression {
 public:
  // Compiles `text` against the fields and code page of `schema`. On failure
  // returns kErrExpression with a text that quotes the expression and names
  // the position (counted from 1) and the reason.
  static Status Compile(std::string_view text, const ExprSource& schema,
                        std::unique_ptr<Expression>* out);

  ~Expression();
  Expression(const Expression&) = delete;
  Expression& operator=(const Expression&) = delete;

  const std::string& Text() const { return text_; }
  ValueType Type() const;
  // Width of a character result: field widths, concatenations add up,
  // constant lengths of SUBSTR, LEFT, PADR, STR... For a result whose length
  // varies (TRIM of a field, a memo), the largest width known, and
  // FixedWidth() is false.
  int Width() const;
  bool FixedWidth() const;
  // Names of the fields referenced, upper case, in order of first appearance.
  const std::vector<std::string>& FieldNames() const { return fieldNames_; }
  // True when the value depends on nothing but constants.
  bool IsConstant() const;
  // Whether the value depends on the record number or on the deletion flag.
  // Taken from the compiled form, so every spelling counts (RECN(), dele()).
  bool UsesRecordNumber() const { return usesRecno_; }
  bool UsesDeletedFlag() const { return usesDeleted_; }
  // True when both compute the same value from the same fields, whatever
  // their spelling. REQUIRES: both compiled against the same field list.
  bool SameAs(const Expression& other) const;
  // The compiled tree, for code that takes an expression apart.
  const Node& Root() const { return *root_; }

  // Evaluates a logical expression on the source's current record.
  // REQUIRES: Type() == kLogical. Allocates nothing for the common forms.
  Status EvalLogical(const ExprSource& src, bool* result) const;
  // Evaluates to a value of Type(). `out` keeps its string capacity across calls.
  Status Evaluate(const ExprSource& src, Value* out) const;
  // Evaluates a character expression into a view that stays valid until the
  // next evaluation of this expression. REQUIRES: Type() == kCharacter.
  Status EvalCharacter(const ExprSource& src, std::string_view* out) const;

 private:
  Expression();
  // Prepares a context for one evaluation; false when the record is missing.
  [[nodiscard]] bool Begin(const ExprSource& src, EvalContext* c) const;
  Status WrongType(ValueType wanted) const;

  std::string text_;
  std::unique_ptr<Node> root_;
  std::vector<std::string> fieldNames_;
  bool usesRecno_ = false;
  bool usesDeleted_ = false;
  bool usesExact_ = false;
  bool readsRecord_ = false;
};

// Orders two character values as if the shorter were padded with blanks,
// as the string comparisons <, <=, >, >= do.
int ComparePadded(std::string_view a, std::string_view b);

// Calendar helpers shared with the table and index code.
int64_t JulianFromYmd(int year, int month, int day);  // 0 when the date is invalid
[[nodiscard]] bool YmdFromJulian(int64_t jd, int* year, int* month, int* day);
// "YYYYMMDD" of a stored date field; blanks or garbage give 0.
int64_t JulianFromDtos(std::string_view s);

}  // namespace xce::expr
