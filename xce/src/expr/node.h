// Compiled form of an expression: a tree of typed nodes, each evaluated by a
// switch over its operation. Character results are views into the record,
// into a constant, or into the node's own scratch buffer, which keeps its
// capacity between records, so evaluation allocates nothing once warm.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "expr/expr.h"

namespace xce::expr {

enum class Op : uint8_t {
  kConst,
  // Fields.
  kFieldC,
  kFieldMemo,
  kFieldN,
  kFieldI,
  kFieldB,
  kFieldY,
  kFieldD,
  kFieldT,
  kFieldL,
  // Logical.
  kNot,
  kAnd,
  kOr,
  kCompare,
  kContains,
  kDeleted,
  kEmpty,
  kIif,
  kBetween,
  kInList,
  // Numeric.
  kNeg,
  kAdd,
  kSub,
  kMul,
  kDiv,
  kMod,
  kPow,
  kRecno,
  kAsc,
  kLen,
  kAt,
  kVal,
  kYear,
  kMonth,
  kDay,
  kAbs,
  kInt,
  kRound,
  kMin,
  kMax,
  kDateDiff,  // date - date in days, datetime - datetime in seconds
  // Character.
  kConcat,
  kConcatTrim,
  kUpper,
  kLower,
  kChr,
  kSubstr,
  kLeft,
  kRight,
  kRtrim,
  kLtrim,
  kAlltrim,
  kSpace,
  kReplicate,
  kPadl,
  kPadr,
  kPadc,
  kStr,
  kDtos,
  kDtoc,
  kTtoc,
  // Date and datetime.
  kDateAdd,  // date/datetime + number (days / seconds)
  kDateSub,
  kCtod,
  kCtot,
  kStod,
  kToday,
  kNow,
  kDateToTime,
  kTimeToDate,
};

enum class CmpOp : uint8_t { kEq, kExactEq, kNe, kLt, kLe, kGt, kGe };

// Evaluation state for one call: the record and where the first error goes.
struct EvalContext {
  const ExprSource* src = nullptr;
  const char* record = nullptr;
  uint32_t recno = 0;
  bool exact = false;
  bool failed = false;
  Status* error = nullptr;  // may be null (constant folding)

  void Fail(Status s) {
    if (!failed) {
      failed = true;
      if (error != nullptr) {
        *error = std::move(s);
      }
    }
  }
};

class Node {
 public:
  Node(Op op, ValueType type) : op(op), type(type) {}

  Op op;
  ValueType type;
  CmpOp cmp = CmpOp::kEq;
  ValueType operandType = ValueType::kLogical;  // of kCompare/kMin/kMax/kBetween operands
  int height = 1;                               // levels of nodes from here down
  int width = 0;                                // character results
  bool fixedWidth = true;
  std::unique_ptr<Node> kid[3];
  std::unique_ptr<Node> next;  // kInList: further candidates as a chain

  // Field operand.
  int field = -1;
  uint32_t offset = 0;
  uint16_t length = 0;
  uint8_t decimals = 0;

  // Constant value, or the code page table of kUpper / kLower.
  std::string str;
  double num = 0;
  int64_t date = 0;
  bool logical = false;
  const unsigned char* fold = nullptr;
  CodePage codePage = CodePage::kCp1251;

  mutable std::string buf;

  bool IsConst() const { return op == Op::kConst; }
};

// True when two trees compiled against the same fields compute the same
// value the same way, however their texts were spelt (letter case, blanks,
// abbreviated function names).
bool SameTree(const Node& a, const Node& b);

bool EvalL(const Node& n, EvalContext& c);
double EvalN(const Node& n, EvalContext& c);
std::string_view EvalC(const Node& n, EvalContext& c);
int64_t EvalD(const Node& n, EvalContext& c);  // kDate and kDateTime

// Longest character value an operation may build; longer gives an error.
inline constexpr std::size_t kMaxStringLength = 1 << 20;

// Text helpers shared by the evaluator and the compiler's constant folding.
double ParseNumber(const char* p, std::size_t n);  // xBase VAL(): leading number, else 0
void FormatStr(double v, int len, int dec, std::string* out);
// FormatStr into exactly max(len, 0) characters at `out`.
void FormatStrInto(double v, int len, int dec, char* out);
// The length and decimals a kStr node gives its number, as STR() clamps them.
void StrLayout(const Node& str, EvalContext& c, int* len, int* dec);
double RoundHalfAway(double v, int dec);
int64_t ParseDateText(std::string_view s);      // CTOD forms; invalid gives 0
int64_t ParseDateTimeText(std::string_view s);  // CTOT forms; invalid gives 0

}  // namespace xce::expr
