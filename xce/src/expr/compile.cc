// The compiler: text to a checked, typed, constant-folded node tree.
//
// Precedence, loosest first: OR; AND; NOT; comparisons (= == <> # != < <= >
// >= $); + -; * / %; ** ^; unary - +. Binary operators group left to right.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>

#include "ascii.h"
#include "expr/functions.h"
#include "expr/lexer.h"
#include "expr/node.h"

namespace xce::expr {
namespace {

const char* OpText(Tok t) {
  switch (t) {
    case Tok::kPlus:
      return "+";
    case Tok::kMinus:
      return "-";
    case Tok::kStar:
      return "*";
    case Tok::kSlash:
      return "/";
    case Tok::kPercent:
      return "%";
    case Tok::kPower:
      return "**";
    case Tok::kEq:
      return "=";
    case Tok::kExactEq:
      return "==";
    case Tok::kNe:
      return "<>";
    case Tok::kLt:
      return "<";
    case Tok::kLe:
      return "<=";
    case Tok::kGt:
      return ">";
    case Tok::kGe:
      return ">=";
    case Tok::kDollar:
      return "$";
    case Tok::kNot:
      return "NOT";
    case Tok::kAnd:
      return "AND";
    case Tok::kOr:
      return "OR";
    default:
      return "?";
  }
}

constexpr int kMaxDepth = 200;
constexpr int kMaxHeight = 1000;

class Compiler {
 public:
  Compiler(std::string_view text, const ExprSource& schema)
      : text_(text),
        fields_(schema.Fields()),
        codePage_(schema.TableCodePage()),
        lexer_(text, codePage_) {
    for (int i = 0; i < 256; ++i) {
      auto u = static_cast<unsigned char>(i);
      upperMap_.push_back(static_cast<char>(UpperChar(codePage_, u)));
      lowerMap_.push_back(static_cast<char>(LowerChar(codePage_, u)));
    }
  }

  std::unique_ptr<Node> Run() {
    Advance();
    if (tok_.kind == Tok::kEnd && failed_ == false) {
      Fail(tok_.pos, "the expression is empty");
      return nullptr;
    }
    auto root = ParseOr();
    if (root && tok_.kind != Tok::kEnd) {
      Fail(tok_.pos,
           tok_.kind == Tok::kRParen ? "a ) has no matching (" : "an operator is expected");
    }
    return failed_ ? nullptr : std::move(root);
  }

  const Status& error() const { return error_; }
  std::vector<std::string> TakeFieldNames() { return std::move(fieldNames_); }

 private:
  // ---- Errors ----

  void Fail(std::size_t pos, const std::string& why) {
    if (failed_) {
      return;
    }
    failed_ = true;
    error_ =
        Status(kErrExpression, "Invalid expression \"" + std::string(text_) + "\" at position " +
                                   std::to_string(pos + 1) + ": " + why + ".");
  }

  // ---- Tokens ----

  void Advance() {
    if (failed_) {
      tok_ = Token{};
      tok_.pos = text_.size();
      return;
    }
    lexer_.Lex(&tok_);
    if (lexer_.failed()) {
      Fail(lexer_.failPos(), lexer_.failWhy());
    }
  }

  // ---- Node construction ----

  std::unique_ptr<Node> Make(Op op, ValueType type, std::unique_ptr<Node> a = nullptr,
                             std::unique_ptr<Node> b = nullptr, std::unique_ptr<Node> c = nullptr) {
    auto n = std::make_unique<Node>(op, type);
    n->kid[0] = std::move(a);
    n->kid[1] = std::move(b);
    n->kid[2] = std::move(c);
    n->codePage = codePage_;
    for (const auto& k : n->kid) {
      if (k) {
        n->height = std::max(n->height, k->height + 1);
      }
    }
    // Evaluation recurses once per level; long operator chains such as
    // A+A+A+... are bounded here as parentheses are in Enter().
    if (n->height > kMaxHeight) {
      Fail(tok_.pos, "the expression is too long");
    }
    return n;
  }

  static std::unique_ptr<Node> Const(ValueType type) {
    return std::make_unique<Node>(Op::kConst, type);
  }

  std::unique_ptr<Node> ConstString(std::string s) {
    auto n = Const(ValueType::kCharacter);
    n->width = static_cast<int>(std::min<std::size_t>(s.size(), kMaxStringLength));
    n->str = std::move(s);
    return n;
  }

  // Replaces a node whose operands are all constants by its value. Character
  // widths keep what the node declared (a folded SPACE(5) is still 5 wide).
  std::unique_ptr<Node> Fold(std::unique_ptr<Node> n, bool foldable) {
    if (!foldable) {
      return n;
    }
    for (const auto& k : n->kid) {
      if (k && !k->IsConst()) {
        return n;
      }
    }
    EvalContext c;
    auto out = Const(n->type);
    switch (n->type) {
      case ValueType::kCharacter:
        out->str.assign(EvalC(*n, c));
        out->width = static_cast<int>(out->str.size());
        break;
      case ValueType::kNumeric:
        out->num = EvalN(*n, c);
        break;
      case ValueType::kDate:
      case ValueType::kDateTime:
        out->date = EvalD(*n, c);
        break;
      case ValueType::kLogical:
        out->logical = EvalL(*n, c);
        break;
    }
    if (c.failed) {
      // Only building an oversized string can fail without a record.
      Fail(tok_.pos,
           "a constant part is longer than " + std::to_string(kMaxStringLength) + " characters");
      return n;
    }
    return out;
  }

  static constexpr std::size_t kFieldNameSignificant = 10;

  int FindField(const std::string& upperName) const {
    for (std::size_t i = 0; i < fields_.size(); ++i) {
      if (AsciiUpper(fields_[i].name) == upperName) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }

  std::unique_ptr<Node> FieldNode(const Token& name) {
    int index = FindField(name.text);
    if (index < 0 && name.text.size() > kFieldNameSignificant) {
      // Field names are significant to ten characters: a table written with
      // long column names keeps them cut to ten, and its index expressions
      // still use the long ones.
      index = FindField(name.text.substr(0, kFieldNameSignificant));
    }
    if (index < 0) {
      Fail(name.pos, "unknown field " + name.text);
      return nullptr;
    }
    const FieldInfo& f = fields_[static_cast<std::size_t>(index)];
    char type = static_cast<char>(std::toupper(static_cast<unsigned char>(f.type)));
    Op op;
    ValueType vt = ValueType::kNumeric;
    std::size_t need = 1;
    switch (type) {
      case 'C':
      case 'V':
      case 'Q':
        op = Op::kFieldC;
        vt = ValueType::kCharacter;
        need = 0;
        break;
      case 'M':
        op = Op::kFieldMemo;
        vt = ValueType::kCharacter;
        need = 0;
        break;
      case 'N':
      case 'F':
        op = Op::kFieldN;
        break;
      case 'I':
        op = Op::kFieldI;
        need = 4;
        break;
      case 'B':
        op = Op::kFieldB;
        need = 8;
        break;
      case 'Y':
        op = Op::kFieldY;
        need = 8;
        break;
      case 'D':
        op = Op::kFieldD;
        vt = ValueType::kDate;
        need = 8;
        break;
      case 'T':
        op = Op::kFieldT;
        vt = ValueType::kDateTime;
        need = 8;
        break;
      case 'L':
        op = Op::kFieldL;
        vt = ValueType::kLogical;
        break;
      default:
        Fail(name.pos, "field " + name.text + " of type " + std::string(1, type) +
                           " cannot be used in an expression");
        return nullptr;
    }
    if (f.length < need) {
      Fail(name.pos, "field " + name.text + " has an invalid length");
      return nullptr;
    }
    auto n = Make(op, vt);
    n->field = index;
    n->offset = f.offset;
    n->length = f.length;
    n->decimals = f.decimals;
    if (op == Op::kFieldY) {
      n->num = std::pow(10.0, std::min<int>(f.decimals, 18));  // stored value = number * 10^dec
    } else if (op == Op::kFieldC) {
      n->width = f.length;
    } else if (op == Op::kFieldMemo) {
      n->fixedWidth = false;
    }
    std::string upper = AsciiUpper(f.name);
    if (std::find(fieldNames_.begin(), fieldNames_.end(), upper) == fieldNames_.end()) {
      fieldNames_.push_back(upper);
    }
    return n;
  }

  // ---- Parser ----

  bool Enter() {
    if (++depth_ > kMaxDepth) {
      Fail(tok_.pos, "the expression is nested too deeply");
      return false;
    }
    return true;
  }

  bool Expect(const Node& n, uint8_t allowed, std::size_t pos, const std::string& what) {
    if ((Bit(n.type) & allowed) != 0) {
      return true;
    }
    Fail(pos, what + " must be " + TypeSetName(allowed) + ", not " + TypeName(n.type));
    return false;
  }

  using Parser = std::unique_ptr<Node> (Compiler::*)();

  struct BinaryOp {
    Tok tok;
    Op op;
  };

  // Left-grouping chain of binary operators over operands of one type.
  std::unique_ptr<Node> ParseChain(Parser operand, std::initializer_list<BinaryOp> ops,
                                   uint8_t allowed, ValueType result) {
    std::size_t leftPos = tok_.pos;
    auto left = (this->*operand)();
    while (left) {
      Tok kind = tok_.kind;
      const BinaryOp* match =
          std::find_if(ops.begin(), ops.end(), [kind](const BinaryOp& b) { return b.tok == kind; });
      if (match == ops.end()) {
        return left;
      }
      Advance();
      std::size_t rightPos = tok_.pos;
      auto right = (this->*operand)();
      if (!right) {
        return nullptr;
      }
      std::string what = std::string("the operands of ") + OpText(kind);
      if (!Expect(*left, allowed, leftPos, what) || !Expect(*right, allowed, rightPos, what)) {
        return nullptr;
      }
      left = Fold(Make(match->op, result, std::move(left), std::move(right)), true);
    }
    return nullptr;
  }

  std::unique_ptr<Node> ParseOr() {
    return ParseChain(&Compiler::ParseAnd, {{Tok::kOr, Op::kOr}}, kL, ValueType::kLogical);
  }
  std::unique_ptr<Node> ParseAnd() {
    return ParseChain(&Compiler::ParseNot, {{Tok::kAnd, Op::kAnd}}, kL, ValueType::kLogical);
  }

  std::unique_ptr<Node> ParseNot() {
    if (tok_.kind != Tok::kNot) {
      return ParseComparison();
    }
    if (!Enter()) {
      return nullptr;
    }
    Advance();
    std::size_t pos = tok_.pos;
    auto operand = ParseNot();
    --depth_;
    if (!operand || !Expect(*operand, kL, pos, "the operand of NOT")) {
      return nullptr;
    }
    return Fold(Make(Op::kNot, ValueType::kLogical, std::move(operand)), true);
  }

  std::unique_ptr<Node> ParseComparison() {
    std::size_t leftPos = tok_.pos;
    auto left = ParseAdditive();
    for (;;) {
      if (!left) {
        return nullptr;
      }
      Tok kind = tok_.kind;
      static constexpr std::pair<Tok, CmpOp> kComparisons[] = {
          {Tok::kEq, CmpOp::kEq}, {Tok::kExactEq, CmpOp::kExactEq}, {Tok::kNe, CmpOp::kNe},
          {Tok::kLt, CmpOp::kLt}, {Tok::kLe, CmpOp::kLe},           {Tok::kGt, CmpOp::kGt},
          {Tok::kGe, CmpOp::kGe}, {Tok::kDollar, CmpOp::kEq}};
      const auto* match = std::find_if(std::begin(kComparisons), std::end(kComparisons),
                                       [kind](const auto& p) { return p.first == kind; });
      if (match == std::end(kComparisons)) {
        return left;
      }
      CmpOp cmp = match->second;
      std::size_t opPos = tok_.pos;
      Advance();
      auto right = ParseAdditive();
      if (!right) {
        return nullptr;
      }
      if (kind == Tok::kDollar) {
        if (!Expect(*left, kC, leftPos, "the operands of $") ||
            !Expect(*right, kC, opPos + 1, "the operands of $")) {
          return nullptr;
        }
        left =
            Fold(Make(Op::kContains, ValueType::kLogical, std::move(left), std::move(right)), true);
        continue;
      }
      left = Compare(cmp, std::move(left), std::move(right), opPos, OpText(kind));
    }
  }

  // Dates compare with datetimes at midnight.
  std::unique_ptr<Node> Promote(std::unique_ptr<Node> n) {
    return Fold(Make(Op::kDateToTime, ValueType::kDateTime, std::move(n)), true);
  }

  std::unique_ptr<Node> Compare(CmpOp cmp, std::unique_ptr<Node> left, std::unique_ptr<Node> right,
                                std::size_t opPos, const char* opText) {
    if (left->type == ValueType::kDate && right->type == ValueType::kDateTime) {
      left = Promote(std::move(left));
    } else if (left->type == ValueType::kDateTime && right->type == ValueType::kDate) {
      right = Promote(std::move(right));
    }
    if (left->type != right->type) {
      Fail(opPos, std::string("operator ") + opText + " cannot compare " + TypeName(left->type) +
                      " with " + TypeName(right->type));
      return nullptr;
    }
    if (left->type == ValueType::kLogical && cmp != CmpOp::kEq && cmp != CmpOp::kExactEq &&
        cmp != CmpOp::kNe) {
      Fail(opPos, std::string("operator ") + opText + " cannot order logical values");
      return nullptr;
    }
    ValueType operand = left->type;
    auto n = Make(Op::kCompare, ValueType::kLogical, std::move(left), std::move(right));
    n->cmp = cmp;
    n->operandType = operand;
    // String "=" and "<>" follow the exact setting of the moment.
    bool foldable = operand != ValueType::kCharacter || (cmp != CmpOp::kEq && cmp != CmpOp::kNe);
    return Fold(std::move(n), foldable);
  }

  std::unique_ptr<Node> ParseAdditive() {
    std::size_t leftPos = tok_.pos;
    auto left = ParseMultiplicative();
    while (left && (tok_.kind == Tok::kPlus || tok_.kind == Tok::kMinus)) {
      Tok kind = tok_.kind;
      std::size_t opPos = tok_.pos;
      Advance();
      auto right = ParseMultiplicative();
      if (!right) {
        return nullptr;
      }
      left = Additive(kind, std::move(left), std::move(right), opPos);
    }
    (void)leftPos;
    return left;
  }

  std::unique_ptr<Node> Additive(Tok kind, std::unique_ptr<Node> a, std::unique_ptr<Node> b,
                                 std::size_t opPos) {
    ValueType ta = a->type;
    ValueType tb = b->type;
    bool plus = kind == Tok::kPlus;
    if (ta == ValueType::kNumeric && tb == ValueType::kNumeric) {
      return Fold(Make(plus ? Op::kAdd : Op::kSub, ValueType::kNumeric, std::move(a), std::move(b)),
                  true);
    }
    if (ta == ValueType::kCharacter && tb == ValueType::kCharacter) {
      int width = a->width + b->width;
      bool fixed = a->fixedWidth && b->fixedWidth;
      auto n = Fold(Make(plus ? Op::kConcat : Op::kConcatTrim, ValueType::kCharacter, std::move(a),
                         std::move(b)),
                    true);
      if (n && !n->IsConst()) {
        n->width = width;
        n->fixedWidth = fixed;
        n->buf.reserve(static_cast<std::size_t>(std::min<int>(width, 4096)));
      }
      return n;
    }
    bool datelike = ta == ValueType::kDate || ta == ValueType::kDateTime;
    if (datelike && tb == ValueType::kNumeric) {
      return Fold(Make(plus ? Op::kDateAdd : Op::kDateSub, ta, std::move(a), std::move(b)), true);
    }
    if (plus && ta == ValueType::kNumeric &&
        (tb == ValueType::kDate || tb == ValueType::kDateTime)) {
      return Fold(Make(Op::kDateAdd, tb, std::move(b), std::move(a)), true);
    }
    if (!plus && datelike && ta == tb) {
      return Fold(Make(Op::kDateDiff, ValueType::kNumeric, std::move(a), std::move(b)), true);
    }
    Fail(opPos, std::string("operator ") + (plus ? "+" : "-") + " cannot combine " + TypeName(ta) +
                    " and " + TypeName(tb));
    return nullptr;
  }

  std::unique_ptr<Node> ParseMultiplicative() {
    return ParseChain(&Compiler::ParsePower,
                      {{Tok::kStar, Op::kMul}, {Tok::kSlash, Op::kDiv}, {Tok::kPercent, Op::kMod}},
                      kN, ValueType::kNumeric);
  }
  std::unique_ptr<Node> ParsePower() {
    return ParseChain(&Compiler::ParseUnary, {{Tok::kPower, Op::kPow}}, kN, ValueType::kNumeric);
  }

  std::unique_ptr<Node> ParseUnary() {
    if (tok_.kind != Tok::kMinus && tok_.kind != Tok::kPlus) {
      return ParsePrimary();
    }
    bool minus = tok_.kind == Tok::kMinus;
    if (!Enter()) {
      return nullptr;
    }
    Advance();
    std::size_t pos = tok_.pos;
    auto operand = ParseUnary();
    --depth_;
    if (!operand || !Expect(*operand, kN, pos, minus ? "the operand of -" : "the operand of +")) {
      return nullptr;
    }
    if (!minus) {
      return operand;
    }
    return Fold(Make(Op::kNeg, ValueType::kNumeric, std::move(operand)), true);
  }

  std::unique_ptr<Node> ParsePrimary() {
    Token t = tok_;
    switch (t.kind) {
      case Tok::kNumber: {
        Advance();
        auto n = Const(ValueType::kNumeric);
        n->num = t.num;
        return n;
      }
      case Tok::kString:
        Advance();
        return ConstString(std::move(t.text));
      case Tok::kLogical: {
        Advance();
        auto n = Const(ValueType::kLogical);
        n->logical = t.logical;
        return n;
      }
      case Tok::kDate:
      case Tok::kDateTime: {
        Advance();
        auto n = Const(t.kind == Tok::kDate ? ValueType::kDate : ValueType::kDateTime);
        n->date = t.date;
        return n;
      }
      case Tok::kLParen: {
        if (!Enter()) {
          return nullptr;
        }
        Advance();
        auto inner = ParseOr();
        --depth_;
        if (!inner) {
          return nullptr;
        }
        if (tok_.kind != Tok::kRParen) {
          Fail(tok_.pos, "a ) is expected");
          return nullptr;
        }
        Advance();
        return inner;
      }
      case Tok::kIdent:
        Advance();
        if (tok_.kind == Tok::kLParen) {
          return ParseCall(t);
        }
        return FieldNode(t);
      case Tok::kEnd:
        Fail(t.pos, "an operand is expected at the end");
        return nullptr;
      default:
        Fail(t.pos, std::string("an operand is expected before ") + (t.kind == Tok::kRParen ? ")"
                                                                     : t.kind == Tok::kComma
                                                                         ? ","
                                                                         : OpText(t.kind)));
        return nullptr;
    }
  }

  std::unique_ptr<Node> ParseCall(const Token& name) {
    if (!Enter()) {
      return nullptr;
    }
    const FuncSpec* f = FindFunction(name.text);
    if (f == nullptr) {
      Fail(name.pos, "unknown function " + name.text);
      return nullptr;
    }
    Advance();  // (
    std::vector<std::unique_ptr<Node>> args;
    std::vector<std::size_t> argPos;
    if (tok_.kind != Tok::kRParen) {
      for (;;) {
        argPos.push_back(tok_.pos);
        auto a = ParseOr();
        if (!a) {
          return nullptr;
        }
        args.push_back(std::move(a));
        if (tok_.kind == Tok::kComma) {
          Advance();
          continue;
        }
        break;
      }
      if (tok_.kind != Tok::kRParen) {
        Fail(tok_.pos, "a , or ) is expected in the arguments of " + std::string(f->name));
        return nullptr;
      }
    }
    Advance();  // )
    --depth_;
    int count = static_cast<int>(args.size());
    if (count < f->minArgs || count > f->maxArgs) {
      std::string want = f->minArgs == f->maxArgs
                             ? std::to_string(f->minArgs)
                             : std::to_string(f->minArgs) + " to " + std::to_string(f->maxArgs);
      Fail(name.pos, std::string(f->name) + " takes " + want + " argument" +
                         (f->maxArgs == 1 && f->minArgs == 1 ? "" : "s") + ", not " +
                         std::to_string(count));
      return nullptr;
    }
    for (int i = 0; i < count; ++i) {
      if (!Expect(*args[static_cast<std::size_t>(i)], f->args[i],
                  argPos[static_cast<std::size_t>(i)],
                  "argument " + std::to_string(i + 1) + " of " + f->name)) {
        return nullptr;
      }
    }
    return BuildCall(*f, std::move(args), argPos, name.pos);
  }

  static bool ConstNumber(const std::unique_ptr<Node>& n, int64_t* v) {
    if (!n || !n->IsConst() || n->type != ValueType::kNumeric || !std::isfinite(n->num)) {
      return false;
    }
    *v = static_cast<int64_t>(std::clamp(n->num, -1e9, 1e9));
    return true;
  }

  // The width of a function's character result, and whether every value
  // has it, as far as constant arguments tell.
  static void CharacterWidth(const FuncSpec& f, const std::vector<std::unique_ptr<Node>>& args,
                             int* widthOut, bool* fixedOut) {
    int width = f.width;
    bool fixed = true;
    const Node* a = args[0].get();
    int64_t k = 0;
    switch (f.op) {
      case Op::kUpper:
      case Op::kLower:
        width = a->width;
        fixed = a->fixedWidth;
        break;
      case Op::kSubstr: {
        int64_t start = 0;
        width = a->width;
        fixed = false;
        if (ConstNumber(args[1], &start)) {
          start = std::max<int64_t>(start, 1);
          int64_t rest = std::max<int64_t>(0, a->width - start + 1);
          if (!args[2]) {
            width = static_cast<int>(rest);
            fixed = a->fixedWidth;
          } else if (ConstNumber(args[2], &k)) {
            width = static_cast<int>(std::clamp<int64_t>(k, 0, rest));
            fixed = a->fixedWidth && k <= rest;
          }
        }
        break;
      }
      case Op::kLeft:
      case Op::kRight:
        width = a->width;
        fixed = false;
        if (ConstNumber(args[1], &k)) {
          width = static_cast<int>(std::clamp<int64_t>(k, 0, a->width));
          fixed = a->fixedWidth || k <= 0;
        }
        break;
      case Op::kRtrim:
      case Op::kLtrim:
      case Op::kAlltrim:
        width = a->width;
        fixed = false;
        break;
      case Op::kSpace:
        fixed = ConstNumber(args[0], &k);
        width = static_cast<int>(std::clamp<int64_t>(k, 0, kMaxStringLength));
        break;
      case Op::kReplicate:
        fixed = a->fixedWidth && ConstNumber(args[1], &k);
        width = static_cast<int>(std::clamp<int64_t>(int64_t{a->width} * std::max<int64_t>(k, 0),
                                                     0, kMaxStringLength));
        break;
      case Op::kPadl:
      case Op::kPadr:
      case Op::kPadc:
        fixed = ConstNumber(args[1], &k);
        width = fixed ? static_cast<int>(std::clamp<int64_t>(k, 0, kMaxStringLength)) : a->width;
        break;
      case Op::kStr:
        k = 10;
        fixed = !args[1] || ConstNumber(args[1], &k);
        width = fixed ? static_cast<int>(std::clamp<int64_t>(k, 0, 255)) : 255;
        break;
      case Op::kIif:
      case Op::kMin:
      case Op::kMax: {
        std::size_t first = f.op == Op::kIif ? 1 : 0;
        const Node* x = args[first].get();
        const Node* y = args[first + 1].get();
        width = std::max(x->width, y->width);
        fixed = x->fixedWidth && y->fixedWidth && x->width == y->width;
        break;
      }
      default:
        break;
    }
    *widthOut = width;
    *fixedOut = fixed;
  }

  std::unique_ptr<Node> BuildCall(const FuncSpec& f, std::vector<std::unique_ptr<Node>> args,
                                  const std::vector<std::size_t>& argPos, std::size_t namePos) {
    args.resize(3);
    ValueType result = f.result;
    if (f.op == Op::kIif || f.op == Op::kMin || f.op == Op::kMax || f.op == Op::kBetween) {
      std::size_t first = f.op == Op::kIif ? 1 : 0;
      for (std::size_t i = first + 1; i < 3 && args[i]; ++i) {
        if (args[i]->type != args[first]->type) {
          Fail(argPos[i], "argument " + std::to_string(i + 1) + " of " + f.name + " must be " +
                              TypeName(args[first]->type) + ", not " + TypeName(args[i]->type));
          return nullptr;
        }
      }
      if (f.op != Op::kBetween) {
        result = args[first]->type;
      }
    }
    (void)namePos;
    int width = 0;
    bool fixed = true;
    if (result == ValueType::kCharacter) {
      CharacterWidth(f, args, &width, &fixed);
    }
    auto n = Make(f.op, result, std::move(args[0]), std::move(args[1]), std::move(args[2]));
    if (f.op == Op::kUpper) {
      n->str = upperMap_;
    } else if (f.op == Op::kLower) {
      n->str = lowerMap_;
    }
    n->width = width;
    n->fixedWidth = fixed;
    n = Fold(std::move(n), f.foldable);
    if (n->IsConst() && n->type == ValueType::kCharacter && result == ValueType::kCharacter) {
      n->width = static_cast<int>(n->str.size());
    } else if (n->type == ValueType::kCharacter && width > 0) {
      n->buf.reserve(static_cast<std::size_t>(std::min(width, 4096)));
    }
    return n;
  }

  std::string_view text_;
  const std::vector<FieldInfo>& fields_;
  CodePage codePage_;
  std::string upperMap_;
  std::string lowerMap_;
  Lexer lexer_;
  Token tok_;
  int depth_ = 0;
  bool failed_ = false;
  Status error_;
  std::vector<std::string> fieldNames_;
};

// Whether any node of the tree is `op`; INLIST candidates hang off `next`.
bool UsesOp(const Node& n, Op op) {
  if (n.op == op) {
    return true;
  }
  for (const auto& k : n.kid) {
    if (k && UsesOp(*k, op)) {
      return true;
    }
  }
  return n.next != nullptr && UsesOp(*n.next, op);
}

// Whether the value depends on the exact-comparison setting.
bool UsesExact(const Node& n) {
  if (n.op == Op::kCompare && n.operandType == ValueType::kCharacter &&
      (n.cmp == CmpOp::kEq || n.cmp == CmpOp::kNe)) {
    return true;
  }
  for (const auto& k : n.kid) {
    if (k && UsesExact(*k)) {
      return true;
    }
  }
  return n.next != nullptr && UsesExact(*n.next);
}

}  // namespace

Expression::Expression() = default;
Expression::~Expression() = default;

Status Expression::Compile(std::string_view text, const ExprSource& schema,
                           std::unique_ptr<Expression>* out) {
  Compiler compiler(text, schema);
  auto root = compiler.Run();
  if (!root) {
    return compiler.error();
  }
  std::unique_ptr<Expression> e(new Expression());
  e->text_.assign(text);
  e->root_ = std::move(root);
  e->fieldNames_ = compiler.TakeFieldNames();
  e->usesRecno_ = UsesOp(*e->root_, Op::kRecno);
  e->usesDeleted_ = UsesOp(*e->root_, Op::kDeleted);
  e->usesExact_ = UsesExact(*e->root_);
  e->readsRecord_ = !e->fieldNames_.empty() || e->usesDeleted_;
  *out = std::move(e);
  return Status::Ok();
}

bool SameTree(const Node& a, const Node& b) {
  if (a.op != b.op || a.type != b.type || a.cmp != b.cmp || a.operandType != b.operandType ||
      a.field != b.field || a.width != b.width || a.fixedWidth != b.fixedWidth ||
      a.decimals != b.decimals || a.str != b.str || a.date != b.date || a.logical != b.logical ||
      a.fold != b.fold || !(a.num == b.num || (a.num != a.num && b.num != b.num))) {
    return false;
  }
  for (int i = 0; i < 3; ++i) {
    if ((a.kid[i] == nullptr) != (b.kid[i] == nullptr) ||
        (a.kid[i] != nullptr && !SameTree(*a.kid[i], *b.kid[i]))) {
      return false;
    }
  }
  if ((a.next == nullptr) != (b.next == nullptr)) {
    return false;
  }
  return a.next == nullptr || SameTree(*a.next, *b.next);
}

bool Expression::SameAs(const Expression& other) const { return SameTree(*root_, *other.root_); }

ValueType Expression::Type() const { return root_->type; }
int Expression::Width() const { return root_->width; }
bool Expression::FixedWidth() const { return root_->fixedWidth; }
bool Expression::IsConstant() const { return root_->IsConst(); }

bool Expression::Begin(const ExprSource& src, EvalContext* c) const {
  c->src = &src;
  if (usesExact_) {
    c->exact = src.ExactCompare();
  }
  if (usesRecno_) {
    c->recno = src.RecordNumber();
  }
  if (readsRecord_) {
    c->record = src.RecordImage();
    if (c->record == nullptr) {
      c->Fail(
          Status(kErrExpression, "Expression \"" + text_ + "\" has no current record to read."));
      return false;
    }
  }
  return true;
}

Status Expression::WrongType(ValueType wanted) const {
  return Status(kErrExpression, "Expression \"" + text_ + "\" is " + TypeName(root_->type) +
                                    ", not " + TypeName(wanted) + ".");
}

Status Expression::EvalLogical(const ExprSource& src, bool* result) const {
  Status status;
  EvalContext c;
  c.error = &status;
  *result = false;
  if (root_->type != ValueType::kLogical) {
    return WrongType(ValueType::kLogical);
  }
  if (Begin(src, &c)) {
    *result = EvalL(*root_, c) && !c.failed;
  }
  return status;
}

Status Expression::EvalCharacter(const ExprSource& src, std::string_view* out) const {
  Status status;
  EvalContext c;
  c.error = &status;
  *out = {};
  if (root_->type != ValueType::kCharacter) {
    return WrongType(ValueType::kCharacter);
  }
  if (Begin(src, &c)) {
    *out = EvalC(*root_, c);
  }
  return status;
}

Status Expression::Evaluate(const ExprSource& src, Value* out) const {
  Status status;
  EvalContext c;
  c.error = &status;
  out->type = root_->type;
  out->text.clear();
  if (Begin(src, &c)) {
    switch (root_->type) {
      case ValueType::kCharacter:
        out->text.assign(EvalC(*root_, c));
        break;
      case ValueType::kNumeric:
        out->number = EvalN(*root_, c);
        break;
      case ValueType::kDate:
      case ValueType::kDateTime:
        out->date = EvalD(*root_, c);
        break;
      case ValueType::kLogical:
        out->logical = EvalL(*root_, c);
        break;
    }
  }
  return status;
}

}  // namespace xce::expr
