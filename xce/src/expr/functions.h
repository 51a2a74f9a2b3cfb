// The functions an expression may call: their names, the types their
// arguments take and the type of their result.
#pragma once

#include <cstdint>
#include <string>

#include "expr/node.h"

namespace xce::expr {

// Type sets for argument checks.
enum : uint8_t {
  kC = 1,
  kN = 2,
  kD = 4,
  kL = 8,
  kT = 16,
  kDT = kD | kT,
  kAny = kC | kN | kD | kL | kT,
  kOrdered = kC | kN | kD | kT,
};

// The type set holding only `t`.
inline uint8_t Bit(ValueType t) {
  switch (t) {
    case ValueType::kCharacter:
      return kC;
    case ValueType::kNumeric:
      return kN;
    case ValueType::kDate:
      return kD;
    case ValueType::kLogical:
      return kL;
    case ValueType::kDateTime:
      return kT;
  }
  return 0;
}

// The types of a set as a reader says them ("C or N").
std::string TypeSetName(uint8_t set);

struct FuncSpec {
  const char* name;
  int minArgs;
  int maxArgs;
  uint8_t args[3];
  ValueType result;
  Op op;
  bool foldable;
  int width;  // character results of fixed width
};

// Exact name first; otherwise, as xBase allows, an abbreviation of at least
// four letters.
const FuncSpec* FindFunction(const std::string& upperName);

}  // namespace xce::expr
