#include "expr/functions.h"

#include <cstring>

namespace xce::expr {
namespace {

constexpr ValueType C = ValueType::kCharacter;
constexpr ValueType N = ValueType::kNumeric;
constexpr ValueType D = ValueType::kDate;
constexpr ValueType L = ValueType::kLogical;
constexpr ValueType T = ValueType::kDateTime;

// Result types of IIF, MIN and MAX are resolved from the arguments.
constexpr FuncSpec kFunctions[] = {
    {"DELETED", 0, 0, {}, L, Op::kDeleted, false, 0},
    {"EMPTY", 1, 1, {kAny}, L, Op::kEmpty, true, 0},
    {"RECNO", 0, 0, {}, N, Op::kRecno, false, 0},
    {"UPPER", 1, 1, {kC}, C, Op::kUpper, true, -1},
    {"LOWER", 1, 1, {kC}, C, Op::kLower, true, -1},
    {"CHR", 1, 1, {kN}, C, Op::kChr, true, 1},
    {"ASC", 1, 1, {kC}, N, Op::kAsc, true, 0},
    {"LEN", 1, 1, {kC}, N, Op::kLen, true, 0},
    {"SUBSTR", 2, 3, {kC, kN, kN}, C, Op::kSubstr, true, -1},
    {"LEFT", 2, 2, {kC, kN}, C, Op::kLeft, true, -1},
    {"RIGHT", 2, 2, {kC, kN}, C, Op::kRight, true, -1},
    {"AT", 2, 3, {kC, kC, kN}, N, Op::kAt, true, 0},
    {"TRIM", 1, 1, {kC}, C, Op::kRtrim, true, -1},
    {"RTRIM", 1, 1, {kC}, C, Op::kRtrim, true, -1},
    {"LTRIM", 1, 1, {kC}, C, Op::kLtrim, true, -1},
    {"ALLTRIM", 1, 1, {kC}, C, Op::kAlltrim, true, -1},
    {"SPACE", 1, 1, {kN}, C, Op::kSpace, true, -1},
    {"REPLICATE", 2, 2, {kC, kN}, C, Op::kReplicate, true, -1},
    {"PADL", 2, 3, {kC, kN, kC}, C, Op::kPadl, true, -1},
    {"PADR", 2, 3, {kC, kN, kC}, C, Op::kPadr, true, -1},
    {"PADC", 2, 3, {kC, kN, kC}, C, Op::kPadc, true, -1},
    {"STR", 1, 3, {kN, kN, kN}, C, Op::kStr, true, -1},
    {"VAL", 1, 1, {kC}, N, Op::kVal, true, 0},
    {"IIF", 3, 3, {kL, kAny, kAny}, L, Op::kIif, true, -1},
    {"DTOS", 1, 1, {kDT}, C, Op::kDtos, true, 8},
    {"DTOC", 1, 1, {kDT}, C, Op::kDtoc, true, 10},
    {"TTOC", 1, 1, {kDT}, C, Op::kTtoc, true, 19},
    {"CTOD", 1, 1, {kC}, D, Op::kCtod, true, 0},
    {"CTOT", 1, 1, {kC}, T, Op::kCtot, true, 0},
    {"CTOTS", 1, 1, {kC}, T, Op::kCtot, true, 0},
    {"STOD", 1, 1, {kC}, D, Op::kStod, true, 0},
    {"DATE", 0, 0, {}, D, Op::kToday, false, 0},
    {"DATETIME", 0, 0, {}, T, Op::kNow, false, 0},
    {"TTOD", 1, 1, {kT}, D, Op::kTimeToDate, true, 0},
    {"DTOT", 1, 1, {kD}, T, Op::kDateToTime, true, 0},
    {"YEAR", 1, 1, {kDT}, N, Op::kYear, true, 0},
    {"MONTH", 1, 1, {kDT}, N, Op::kMonth, true, 0},
    {"DAY", 1, 1, {kDT}, N, Op::kDay, true, 0},
    {"ABS", 1, 1, {kN}, N, Op::kAbs, true, 0},
    {"INT", 1, 1, {kN}, N, Op::kInt, true, 0},
    {"ROUND", 2, 2, {kN, kN}, N, Op::kRound, true, 0},
    {"MOD", 2, 2, {kN, kN}, N, Op::kMod, true, 0},
    {"MIN", 2, 2, {kOrdered, kOrdered}, L, Op::kMin, true, -1},
    {"MAX", 2, 2, {kOrdered, kOrdered}, L, Op::kMax, true, -1},
    {"BETWEEN", 3, 3, {kOrdered, kOrdered, kOrdered}, L, Op::kBetween, true, 0},
};

}  // namespace

std::string TypeSetName(uint8_t set) {
  std::string out;
  const ValueType all[] = {ValueType::kCharacter, ValueType::kNumeric, ValueType::kDate,
                           ValueType::kLogical, ValueType::kDateTime};
  for (ValueType t : all) {
    if (set & Bit(t)) {
      out += out.empty() ? "" : " or ";
      out += TypeName(t);
    }
  }
  return out;
}

const FuncSpec* FindFunction(const std::string& upperName) {
  for (const FuncSpec& f : kFunctions) {
    if (upperName == f.name) {
      return &f;
    }
  }
  if (upperName.size() >= 4) {
    for (const FuncSpec& f : kFunctions) {
      if (std::strncmp(f.name, upperName.c_str(), upperName.size()) == 0) {
        return &f;
      }
    }
  }
  return nullptr;
}

}  // namespace xce::expr
