// Optimized filters answered from tags: the comparisons of a tag's key
// expression with a constant (=, ==, <>, <, <=, >, >=) under AND, OR and NOT
// become record sets read off the tag's keys; every other part of the filter
// marks its records as "maybe", to be evaluated record by record.
#include <algorithm>
#include <cstring>
#include <functional>

#include "cdx/table_index.h"

namespace xce::cdx {

namespace {

// A filter taken apart at its logical operators.
struct Part {
  enum Kind { kAnd, kOr, kNot, kAtom } kind = kAtom;
  std::vector<Part> kids;
  std::string text;
};

bool IdentChar(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_';
}

std::string Trim(std::string_view s) {
  std::size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) {
    return {};
  }
  std::size_t e = s.find_last_not_of(" \t\r\n");
  return std::string(s.substr(b, e - b + 1));
}

bool MatchWordAt(std::string_view s, std::size_t i, std::string_view word) {
  if (i + word.size() > s.size()) {
    return false;
  }
  for (std::size_t k = 0; k < word.size(); ++k) {
    char c = s[i + k];
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
    if (c != word[k]) {
      return false;
    }
  }
  if (word.front() == '.') {
    return true;
  }
  bool before = i == 0 || !IdentChar(s[i - 1]);
  bool after = i + word.size() >= s.size() || !IdentChar(s[i + word.size()]);
  return before && after;
}

// Calls visit(i) for every position at paren depth 0 outside strings;
// visit returns how many characters to skip (0: one).
template <typename F>
void ScanTopLevel(std::string_view s, F visit) {
  int depth = 0;
  char quote = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (quote != 0) {
      if (c == quote) {
        quote = 0;
      }
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '[') {
      quote = ']';
    } else if (c == '(') {
      ++depth;
    } else if (c == ')') {
      --depth;
    } else if (depth == 0) {
      std::size_t skip = visit(i);
      if (skip > 0) {
        i += skip - 1;
      }
    }
  }
}

// Splits at the top-level occurrences of an operator word.
std::vector<std::string> SplitAt(std::string_view s, std::string_view word,
                                 std::string_view dotted) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  ScanTopLevel(s, [&](std::size_t i) -> std::size_t {
    for (std::string_view w : {dotted, word}) {
      if (MatchWordAt(s, i, w)) {
        parts.push_back(std::string(s.substr(start, i - start)));
        start = i + w.size();
        return w.size();
      }
    }
    return 0;
  });
  parts.push_back(std::string(s.substr(start)));
  return parts;
}

bool WrappedInParens(const std::string& s) {
  if (s.size() < 2 || s.front() != '(' || s.back() != ')') {
    return false;
  }
  int depth = 0;
  char quote = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (quote != 0) {
      quote = c == quote ? 0 : quote;
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '[') {
      quote = ']';
    } else if (c == '(') {
      ++depth;
    } else if (c == ')' && --depth == 0 && i + 1 < s.size()) {
      return false;
    }
  }
  return true;
}

Part Parse(const std::string& text, int level = 0);

Part ParseUnary(const std::string& raw, int level) {
  std::string s = Trim(raw);
  if (level > 64) {
    return Part{Part::kAtom, {}, s};
  }
  for (std::string_view w : {std::string_view(".NOT."), std::string_view("NOT")}) {
    if (MatchWordAt(s, 0, w)) {
      Part p{Part::kNot, {}, {}};
      p.kids.push_back(ParseUnary(s.substr(w.size()), level + 1));
      return p;
    }
  }
  if (!s.empty() && s[0] == '!' && (s.size() < 2 || s[1] != '=')) {
    Part p{Part::kNot, {}, {}};
    p.kids.push_back(ParseUnary(s.substr(1), level + 1));
    return p;
  }
  if (WrappedInParens(s)) {
    return Parse(s.substr(1, s.size() - 2), level + 1);
  }
  return Part{Part::kAtom, {}, s};
}

Part Parse(const std::string& text, int level) {
  std::vector<std::string> ors = SplitAt(text, "OR", ".OR.");
  if (ors.size() > 1) {
    Part p{Part::kOr, {}, {}};
    for (const std::string& o : ors) {
      p.kids.push_back(Parse(o, level + 1));
    }
    return p;
  }
  std::vector<std::string> ands = SplitAt(text, "AND", ".AND.");
  if (ands.size() > 1) {
    Part p{Part::kAnd, {}, {}};
    for (const std::string& a : ands) {
      p.kids.push_back(ParseUnary(a, level + 1));
    }
    return p;
  }
  return ParseUnary(text, level);
}

enum class Cmp { kEq, kExactEq, kNe, kLt, kLe, kGt, kGe };

// The one top-level comparison of an atom, if it has exactly one.
bool SplitComparison(const std::string& s, std::string* lhs, Cmp* op, std::string* rhs) {
  int found = 0;
  std::size_t at = 0;
  std::size_t len = 0;
  ScanTopLevel(s, [&](std::size_t i) -> std::size_t {
    char c = s[i];
    char n = i + 1 < s.size() ? s[i + 1] : '\0';
    std::size_t l = 0;
    if (c == '=' && n == '=') {
      *op = Cmp::kExactEq, l = 2;
    } else if (c == '=') {
      *op = Cmp::kEq, l = 1;
    } else if ((c == '<' && n == '>') || (c == '!' && n == '=')) {
      *op = Cmp::kNe, l = 2;
    } else if (c == '#') {
      *op = Cmp::kNe, l = 1;
    } else if (c == '<' && n == '=') {
      *op = Cmp::kLe, l = 2;
    } else if (c == '>' && n == '=') {
      *op = Cmp::kGe, l = 2;
    } else if (c == '<') {
      *op = Cmp::kLt, l = 1;
    } else if (c == '>') {
      *op = Cmp::kGt, l = 1;
    }
    if (l > 0) {
      ++found;
      at = i;
      len = l;
    }
    return l;
  });
  if (found != 1) {
    return false;
  }
  *lhs = Trim(std::string_view(s).substr(0, at));
  *rhs = Trim(std::string_view(s).substr(at + len));
  return !lhs->empty() && !rhs->empty();
}

Cmp Mirror(Cmp op) {
  switch (op) {
    case Cmp::kLt:
      return Cmp::kGt;
    case Cmp::kLe:
      return Cmp::kGe;
    case Cmp::kGt:
      return Cmp::kLt;
    case Cmp::kGe:
      return Cmp::kLe;
    default:
      return op;
  }
}

using expr::ComparePadded;

bool Holds(Cmp op, int c) {
  switch (op) {
    case Cmp::kEq:
    case Cmp::kExactEq:
      return c == 0;
    case Cmp::kNe:
      return c != 0;
    case Cmp::kLt:
      return c < 0;
    case Cmp::kLe:
      return c <= 0;
    case Cmp::kGt:
      return c > 0;
    case Cmp::kGe:
      return c >= 0;
  }
  return false;
}

using Bits = std::vector<uint64_t>;

void SetBit(Bits& b, uint32_t recno) {
  if (recno >= 1 && (recno - 1) / 64 < b.size()) {
    b[(recno - 1) / 64] |= uint64_t{1} << ((recno - 1) % 64);
  }
}

}  // namespace

Status TableIndexes::ResolveAof(Table& t, const expr::Expression& e, RecordSet* set, bool* resolved,
                                bool* complete) {
  *resolved = false;
  *complete = false;
  if (!unbound_.ok() || tags_.empty()) {
    return Status::Ok();
  }
  const uint32_t n = t.RecordCount();
  const std::size_t words = (static_cast<std::size_t>(n) + 63) / 64;
  Bits all(words, ~uint64_t{0});
  if (n % 64 != 0 && words > 0) {
    all.back() = (uint64_t{1} << (n % 64)) - 1;
  }
  int termsResolved = 0;
  const bool exact = t.exact();

  // The records of one comparison read off a tag; false when no tag serves.
  auto term = [&](const std::string& atom, Bits* out) -> Status {
    std::string lhs, rhs;
    Cmp op = Cmp::kEq;
    if (!SplitComparison(atom, &lhs, &op, &rhs)) {
      return Status(kErrTagNotFound, "");
    }
    std::unique_ptr<expr::Expression> left, right;
    if (!expr::Expression::Compile(lhs, source_, &left).ok() ||
        !expr::Expression::Compile(rhs, source_, &right).ok()) {
      return Status(kErrTagNotFound, "");
    }
    if (left->IsConstant() && !right->IsConstant()) {
      // String "=" is not symmetric (the left side begins with the right).
      if (left->Type() == expr::ValueType::kCharacter && (op == Cmp::kEq || op == Cmp::kNe)) {
        return Status(kErrTagNotFound, "");
      }
      std::swap(left, right);
      op = Mirror(op);
    }
    if (!right->IsConstant() || left->Type() != right->Type()) {
      return Status(kErrTagNotFound, "");
    }
    const std::string wanted = NormalizedExpression(left->Text());
    int which = -1;
    for (std::size_t i = 0; i < tags_.size() && which < 0; ++i) {
      CdxTag* tag = tags_[i].tag;
      if (!tag->unique() && tag->for_expr().empty() && (tag->options() & kOptNullable) == 0 &&
          NormalizedExpression(tag->key_expr()) == wanted &&
          (left->Type() != expr::ValueType::kCharacter ||
           (left->FixedWidth() && left->Width() == tag->key_len()))) {
        which = static_cast<int>(i);
      }
    }
    if (which < 0) {
      return Status(kErrTagNotFound, "");
    }
    expr::Value constant;
    source_.SetBlank();
    XCE_RETURN_IF_ERROR(right->Evaluate(source_, &constant));
    Tag& tag = tags_[which];
    const int keyLen = tag.tag->key_len();
    TagCursor c(tag.tag);
    out->assign(words, 0);
    if (tag.maker->type() != KeyType::kCharacter) {
      // Keys of these types compare as their values do.
      std::vector<uint8_t> key(keyLen);
      tag.maker->Encode(constant, key.data());
      auto holds = [&]() { return Holds(op, CompareBytes(c.key(), key.data(), keyLen)); };
      if (op == Cmp::kLt || op == Cmp::kLe || op == Cmp::kNe) {
        c.PhysicalFirst();
      } else {
        c.PhysicalSeek(key.data(), keyLen);
      }
      for (; c.Valid(); c.PhysicalNext()) {
        if (holds()) {
          SetBit(*out, c.recno());
        } else if (op == Cmp::kEq || op == Cmp::kExactEq || op == Cmp::kLt || op == Cmp::kLe) {
          break;  // past the contiguous range
        }
      }
      XCE_RETURN_IF_ERROR(c.status());
      ++termsResolved;
      return Status::Ok();
    }
    // Character keys: the record's value is its key (fixed width, blank padded).
    std::string b = constant.text;
    auto holds = [&]() {
      std::string_view k(reinterpret_cast<const char*>(c.key()), keyLen);
      switch (op) {
        case Cmp::kEq:
        case Cmp::kNe: {
          bool eq = exact ? ComparePadded(k, b) == 0
                          : k.size() >= b.size() && k.compare(0, b.size(), b) == 0;
          return op == Cmp::kEq ? eq : !eq;
        }
        case Cmp::kExactEq:
          return k == b;
        default:
          return Holds(op, ComparePadded(k, b));
      }
    };
    std::string start = b.substr(0, std::min<std::size_t>(b.size(), keyLen));
    if (op == Cmp::kEq && exact) {
      start = Trim(start) == "" ? std::string() : start.substr(0, start.find_last_not_of(' ') + 1);
    }
    if (op == Cmp::kLt || op == Cmp::kLe || op == Cmp::kNe) {
      c.PhysicalFirst();
    } else {
      c.PhysicalSeek(reinterpret_cast<const uint8_t*>(start.data()),
                     static_cast<int>(start.size()));
      if (op == Cmp::kGt || op == Cmp::kGe) {
        // Keys just below the start may still compare greater when padded.
        while (c.Valid()) {
          c.PhysicalPrev();
          if (!c.Valid() || !holds()) {
            break;
          }
        }
        if (c.Valid()) {
          c.PhysicalNext();
        } else if (c.status().ok()) {
          c.PhysicalFirst();
        }
      }
    }
    for (; c.Valid(); c.PhysicalNext()) {
      if (holds()) {
        SetBit(*out, c.recno());
      } else if (op == Cmp::kEq || op == Cmp::kExactEq || op == Cmp::kLt || op == Cmp::kLe) {
        // Past the matching range: prefix ranges and lower ranges are contiguous.
        if (op != Cmp::kEq ||
            std::memcmp(c.key(), start.data(), std::min<std::size_t>(start.size(), keyLen)) != 0) {
          break;
        }
      }
    }
    XCE_RETURN_IF_ERROR(c.status());
    ++termsResolved;
    return Status::Ok();
  };

  // yes: records that match for sure; maybe: records still to be evaluated.
  struct Sets {
    Bits yes, maybe;
  };
  std::function<Status(const Part&, Sets*)> eval = [&](const Part& p, Sets* out) -> Status {
    switch (p.kind) {
      case Part::kAtom: {
        Bits b;
        Status s = term(p.text, &b);
        if (s.ok()) {
          out->yes = std::move(b);
          out->maybe.assign(words, 0);
          return Status::Ok();
        }
        if (s.code() != kErrTagNotFound) {
          return s;
        }
        out->yes.assign(words, 0);
        out->maybe = all;
        return Status::Ok();
      }
      case Part::kNot: {
        Sets k;
        XCE_RETURN_IF_ERROR(eval(p.kids[0], &k));
        out->yes.resize(words);
        for (std::size_t w = 0; w < words; ++w) {
          out->yes[w] = all[w] & ~(k.yes[w] | k.maybe[w]);
        }
        out->maybe = std::move(k.maybe);
        return Status::Ok();
      }
      case Part::kAnd:
      case Part::kOr: {
        const bool isAnd = p.kind == Part::kAnd;
        Sets acc;
        for (std::size_t i = 0; i < p.kids.size(); ++i) {
          Sets k;
          XCE_RETURN_IF_ERROR(eval(p.kids[i], &k));
          if (i == 0) {
            acc = std::move(k);
            continue;
          }
          for (std::size_t w = 0; w < words; ++w) {
            uint64_t yes, possible;
            if (isAnd) {
              yes = acc.yes[w] & k.yes[w];
              possible = (acc.yes[w] | acc.maybe[w]) & (k.yes[w] | k.maybe[w]);
            } else {
              yes = acc.yes[w] | k.yes[w];
              possible = yes | acc.maybe[w] | k.maybe[w];
            }
            acc.yes[w] = yes;
            acc.maybe[w] = possible & ~yes;
          }
        }
        *out = std::move(acc);
        return Status::Ok();
      }
    }
    return Status::Ok();
  };

  Sets result;
  XCE_RETURN_IF_ERROR(eval(Parse(e.Text()), &result));
  if (termsResolved == 0) {
    return Status::Ok();
  }
  bool anyMaybe = false;
  set->Clear();
  for (std::size_t w = 0; w < words; ++w) {
    uint64_t bits = result.yes[w] | result.maybe[w];
    anyMaybe = anyMaybe || result.maybe[w] != 0;
    for (uint64_t v = bits; v != 0; v &= v - 1) {
      set->Set(static_cast<uint32_t>(w * 64 + __builtin_ctzll(v) + 1), true);
    }
  }
  *resolved = true;
  *complete = !anyMaybe;
  return Status::Ok();
}

}  // namespace xce::cdx
