// The expression lexer: the text of an expression to its tokens, one at a
// time, with literals decoded (strings in the table's code page, numbers,
// dates and date-times, logical constants).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "expr/node.h"

namespace xce::expr {

enum class Tok : uint8_t {
  kEnd,
  kNumber,
  kString,
  kIdent,
  kLogical,
  kDate,
  kDateTime,
  kLParen,
  kRParen,
  kComma,
  kPlus,
  kMinus,
  kStar,
  kSlash,
  kPercent,
  kPower,
  kEq,
  kExactEq,
  kNe,
  kLt,
  kLe,
  kGt,
  kGe,
  kDollar,
  kNot,
  kAnd,
  kOr,
};

struct Token {
  Tok kind = Tok::kEnd;
  std::size_t pos = 0;  // 0-based offset into the text
  std::size_t end = 0;
  std::string text;  // identifier (upper case) or string literal
  double num = 0;
  int64_t date = 0;
  bool logical = false;
};

// Reads the tokens of `text` from its start. The first error met is kept:
// its position and reason. The token returned with it ends the expression,
// except where the token itself is sound (a name qualified by a table alias).
class Lexer {
 public:
  Lexer(std::string_view text, CodePage codePage) : text_(text), codePage_(codePage) {}

  void Lex(Token* t);

  bool failed() const { return failed_; }
  std::size_t failPos() const { return failPos_; }
  const std::string& failWhy() const { return failWhy_; }

 private:
  void Fail(std::size_t pos, const std::string& why) {
    if (failed_) {
      return;
    }
    failed_ = true;
    failPos_ = pos;
    failWhy_ = why;
  }

  void LexName(Token* t, std::size_t i);
  void LexString(Token* t, std::size_t i, char close);
  void LexNumber(Token* t, std::size_t i);
  bool IsDotWord(std::size_t i) const;
  void LexDotWord(Token* t, std::size_t i);
  void LexDate(Token* t, std::size_t i);

  std::string_view text_;
  CodePage codePage_;
  std::size_t pos_ = 0;
  bool failed_ = false;
  std::size_t failPos_ = 0;
  std::string failWhy_;
};

}  // namespace xce::expr
