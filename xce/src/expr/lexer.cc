#include "expr/lexer.h"

#include <algorithm>
#include <cctype>

#include "ascii.h"

namespace xce::expr {
namespace {

bool IsIdentStart(char ch) { return std::isalpha(static_cast<unsigned char>(ch)) || ch == '_'; }
bool IsIdentChar(char ch) { return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_'; }

}  // namespace

void Lexer::Lex(Token* t) {
  std::size_t i = pos_;
  while (i < text_.size() &&
         (text_[i] == ' ' || text_[i] == '\t' || text_[i] == '\r' || text_[i] == '\n')) {
    ++i;
  }
  *t = Token{};
  t->pos = i;
  if (i >= text_.size()) {
    t->kind = Tok::kEnd;
    pos_ = t->end = i;
    return;
  }
  char ch = text_[i];
  char next = i + 1 < text_.size() ? text_[i + 1] : '\0';
  auto single = [&](Tok k, std::size_t len) {
    t->kind = k;
    pos_ = t->end = i + len;
  };
  switch (ch) {
    case '(':
      return single(Tok::kLParen, 1);
    case ')':
      return single(Tok::kRParen, 1);
    case ',':
      return single(Tok::kComma, 1);
    case '+':
      return single(Tok::kPlus, 1);
    case '-':
      if (next == '>') {
        break;  // alias arrows are not supported; reported below
      }
      return single(Tok::kMinus, 1);
    case '*':
      return next == '*' ? single(Tok::kPower, 2) : single(Tok::kStar, 1);
    case '^':
      return single(Tok::kPower, 1);
    case '/':
      return single(Tok::kSlash, 1);
    case '%':
      return single(Tok::kPercent, 1);
    case '$':
      return single(Tok::kDollar, 1);
    case '#':
      return single(Tok::kNe, 1);
    case '=':
      return next == '=' ? single(Tok::kExactEq, 2) : single(Tok::kEq, 1);
    case '!':
      return next == '=' ? single(Tok::kNe, 2) : single(Tok::kNot, 1);
    case '<':
      if (next == '>') {
        return single(Tok::kNe, 2);
      }
      return next == '=' ? single(Tok::kLe, 2) : single(Tok::kLt, 1);
    case '>':
      return next == '=' ? single(Tok::kGe, 2) : single(Tok::kGt, 1);
    case '"':
    case '\'':
    case '[':
      return LexString(t, i, ch == '[' ? ']' : ch);
    case '{':
      return LexDate(t, i);
    default:
      break;
  }
  if (std::isdigit(static_cast<unsigned char>(ch)) ||
      (ch == '.' && std::isdigit(static_cast<unsigned char>(next)))) {
    return LexNumber(t, i);
  }
  if (ch == '.') {
    return LexDotWord(t, i);
  }
  if (IsIdentStart(ch)) {
    return LexName(t, i);
  }
  std::string shown =
      static_cast<unsigned char>(ch) < 0x20 || static_cast<unsigned char>(ch) >= 0x7F
          ? "byte " + std::to_string(static_cast<unsigned char>(ch))
          : std::string("\"") + ch + "\"";
  Fail(i, "unexpected character " + shown);
  t->kind = Tok::kEnd;
}

// A name, or one of the words AND, OR and NOT.
void Lexer::LexName(Token* t, std::size_t i) {
  std::size_t j = i;
  while (j < text_.size() && IsIdentChar(text_[j])) {
    ++j;
  }
  t->text = AsciiUpper(text_.substr(i, j - i));
  pos_ = t->end = j;
  if (t->text == "AND") {
    t->kind = Tok::kAnd;
  } else if (t->text == "OR") {
    t->kind = Tok::kOr;
  } else if (t->text == "NOT") {
    t->kind = Tok::kNot;
  } else {
    t->kind = Tok::kIdent;
  }
  if (j + 1 < text_.size() && t->kind == Tok::kIdent &&
      ((text_[j] == '.' && IsIdentStart(text_[j + 1]) && !IsDotWord(j)) ||
       (text_[j] == '-' && text_[j + 1] == '>'))) {
    // A name qualified by a table alias; everything here reads one table.
    Fail(i, "table aliases are not supported");
  }
}

void Lexer::LexString(Token* t, std::size_t i, char close) {
  std::size_t j = text_.find(close, i + 1);
  if (j == std::string_view::npos) {
    Fail(i, "the string is not terminated");
    t->kind = Tok::kEnd;
    return;
  }
  t->kind = Tok::kString;
  t->text.assign(text_.substr(i + 1, j - i - 1));
  if (codePage_ == CodePage::kCp866) {
    ConvertAnsiToOem(t->text.data(), t->text.size());
  }
  pos_ = t->end = j + 1;
}

void Lexer::LexNumber(Token* t, std::size_t i) {
  std::size_t j = i;
  while (j < text_.size() && std::isdigit(static_cast<unsigned char>(text_[j]))) {
    ++j;
  }
  if (j + 1 < text_.size() && text_[j] == '.' &&
      std::isdigit(static_cast<unsigned char>(text_[j + 1]))) {
    ++j;
    while (j < text_.size() && std::isdigit(static_cast<unsigned char>(text_[j]))) {
      ++j;
    }
  }
  if (j < text_.size() && (text_[j] == 'e' || text_[j] == 'E')) {
    std::size_t k = j + 1;
    if (k < text_.size() && (text_[k] == '+' || text_[k] == '-')) {
      ++k;
    }
    if (k < text_.size() && std::isdigit(static_cast<unsigned char>(text_[k]))) {
      while (k < text_.size() && std::isdigit(static_cast<unsigned char>(text_[k]))) {
        ++k;
      }
      j = k;
    }
  }
  t->kind = Tok::kNumber;
  t->num = ParseNumber(text_.data() + i, j - i);
  pos_ = t->end = j;
}

// True when a dotted keyword such as .AND. starts at i.
bool Lexer::IsDotWord(std::size_t i) const {
  std::size_t j = i + 1;
  while (j < text_.size() && std::isalpha(static_cast<unsigned char>(text_[j]))) {
    ++j;
  }
  if (j >= text_.size() || text_[j] != '.') {
    return false;
  }
  std::string word = AsciiUpper(text_.substr(i + 1, j - i - 1));
  return word == "AND" || word == "OR" || word == "NOT" || word == "T" || word == "F" ||
         word == "TRUE" || word == "FALSE" || word == "Y" || word == "N";
}

// .T. .F. .TRUE. .FALSE. .AND. .OR. .NOT. in any letter case.
void Lexer::LexDotWord(Token* t, std::size_t i) {
  std::size_t j = i + 1;
  while (j < text_.size() && std::isalpha(static_cast<unsigned char>(text_[j]))) {
    ++j;
  }
  std::string word = AsciiUpper(text_.substr(i + 1, j - i - 1));
  if (j >= text_.size() || text_[j] != '.' || word.empty()) {
    Fail(i, "unexpected character \".\"");
    t->kind = Tok::kEnd;
    return;
  }
  pos_ = t->end = j + 1;
  if (word == "T" || word == "TRUE" || word == "Y") {
    t->kind = Tok::kLogical;
    t->logical = true;
  } else if (word == "F" || word == "FALSE" || word == "N") {
    t->kind = Tok::kLogical;
    t->logical = false;
  } else if (word == "AND") {
    t->kind = Tok::kAnd;
  } else if (word == "OR") {
    t->kind = Tok::kOr;
  } else if (word == "NOT") {
    t->kind = Tok::kNot;
  } else {
    Fail(i, "unknown keyword ." + word + ".");
    t->kind = Tok::kEnd;
  }
}

// {^yyyy-mm-dd}, {^yyyy-mm-dd hh:mm[:ss]} and the empty date {}.
void Lexer::LexDate(Token* t, std::size_t i) {
  std::size_t j = text_.find('}', i + 1);
  if (j == std::string_view::npos) {
    Fail(i, "the date literal is not terminated");
    t->kind = Tok::kEnd;
    return;
  }
  pos_ = t->end = j + 1;
  std::string_view body = text_.substr(i + 1, j - i - 1);
  while (!body.empty() && body.front() == ' ') {
    body.remove_prefix(1);
  }
  while (!body.empty() && body.back() == ' ') {
    body.remove_suffix(1);
  }
  if (body.empty() || body == "/ /" || body == "//" || body == "^") {
    t->kind = Tok::kDate;
    return;
  }
  if (body.front() != '^') {
    Fail(i, "a date literal is written {^yyyy-mm-dd}");
    t->kind = Tok::kEnd;
    return;
  }
  body.remove_prefix(1);
  bool hasTime = body.find_first_of(" Tt:") != std::string_view::npos;
  bool digitsFirst = body.size() >= 4 && std::all_of(body.begin(), body.begin() + 4, [](char c) {
                       return std::isdigit(static_cast<unsigned char>(c));
                     });
  int64_t v = !digitsFirst ? 0 : (hasTime ? ParseDateTimeText(body) : ParseDateText(body));
  if (v == 0) {
    Fail(i, "invalid date literal");
    t->kind = Tok::kEnd;
    return;
  }
  t->kind = hasTime ? Tok::kDateTime : Tok::kDate;
  t->date = v;
}

}  // namespace xce::expr
