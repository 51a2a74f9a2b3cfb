// Optimized filters answered from tags: the comparisons of a tag's key
// expression with a constant (=, ==, <>, <, <=, >, >=) under AND, OR and NOT
// become record sets read off the tag's keys, and so do UPPER(field) =, ==
// and <> a text from a tag on the field itself; every other part of the filter
// marks its records as "maybe", to be evaluated record by record. The filter
// is taken apart in its compiled form, so any spelling of it serves.
#include <algorithm>
#include <array>
#include <cstring>

#include "cdx/table_index.h"
#include "expr/node.h"

namespace xce::cdx {

namespace {

std::string Trim(std::string_view s) {
  std::size_t b = s.find_first_not_of(" \t\r\n");
  if (b == std::string_view::npos) {
    return {};
  }
  std::size_t e = s.find_last_not_of(" \t\r\n");
  return std::string(s.substr(b, e - b + 1));
}

enum class Cmp { kEq, kExactEq, kNe, kLt, kLe, kGt, kGe };

Cmp FromCompiled(expr::CmpOp op) {
  switch (op) {
    case expr::CmpOp::kEq:
      return Cmp::kEq;
    case expr::CmpOp::kExactEq:
      return Cmp::kExactEq;
    case expr::CmpOp::kNe:
      return Cmp::kNe;
    case expr::CmpOp::kLt:
      return Cmp::kLt;
    case expr::CmpOp::kLe:
      return Cmp::kLe;
    case expr::CmpOp::kGt:
      return Cmp::kGt;
    case expr::CmpOp::kGe:
      return Cmp::kGe;
  }
  return Cmp::kEq;
}

expr::Value ConstantOf(const expr::Node& n) {
  expr::Value v;
  v.type = n.type;
  v.text = n.str;
  v.number = n.num;
  v.date = n.date;
  v.logical = n.logical;
  return v;
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

// Past this many seeks the case variants of a typed text are not worth
// walking: the records answer instead.
constexpr int kMaxVariantSeeks = 4096;

// Past this many matching keys (or a 64th of the table) the records answer
// sooner than the tag: a walk in any order meets one of so many matches
// within a few dozen records on average.
uint32_t MaxVariantRecords(uint32_t records) { return std::max<uint32_t>(4096, records / 64); }

// The records of a character tag whose keys, each byte read through a case
// table (the 256 bytes of a compiled UPPER), begin with `pattern`. At each
// position every byte whose upper case is the pattern's byte is tried, and a
// prefix is followed only while some key begins with it, so a text typed in
// one case finds keys stored in any mix of cases with a few seeks per
// character. Runs of positions with one variant (digits, punctuation) cost
// one seek together.
class CaseVariantWalk {
 public:
  CaseVariantWalk(CdxTag* tag, const std::string& caseTable, std::string_view pattern,
                  uint32_t maxRecords, Bits* out)
      : cursor_(tag), out_(out), recordsLeft_(maxRecords) {
    std::array<std::string, 256> variants;
    for (int b = 0; b < 256; ++b) {
      variants[static_cast<unsigned char>(caseTable[static_cast<std::size_t>(b)])].push_back(
          static_cast<char>(b));
    }
    for (char ch : pattern) {
      variants_.push_back(variants[static_cast<unsigned char>(ch)]);
    }
  }

  // False when the walk gave up (too many seeks or records) or failed
  // (status() tells which).
  [[nodiscard]] bool Run() {
    prefix_.clear();
    Walk(0);
    return !gaveUp_ && cursor_.status().ok();
  }
  const Status& status() const { return cursor_.status(); }

 private:
  // Whether some key begins with prefix_; the cursor stays on the first.
  bool SeekPrefix() {
    if (++seeks_ > kMaxVariantSeeks) {
      gaveUp_ = true;
      return false;
    }
    cursor_.PhysicalSeek(reinterpret_cast<const uint8_t*>(prefix_.data()),
                         static_cast<int>(prefix_.size()));
    return cursor_.Valid() && std::memcmp(cursor_.key(), prefix_.data(), prefix_.size()) == 0;
  }

  // REQUIRES: prefix_ holds `at` bytes; past the start, the cursor stands
  // on the first key that begins with it.
  void Walk(std::size_t at) {
    std::size_t i = at;
    while (i < variants_.size() && variants_[i].size() == 1) {
      prefix_ += variants_[i++][0];
    }
    if (i < variants_.size() && variants_[i].empty()) {
      return;  // no byte has that upper case
    }
    if ((i > at || at == 0) && !SeekPrefix()) {
      return;
    }
    if (i == variants_.size()) {
      // The cursor stands on the first key of the range.
      for (; cursor_.Valid() && std::memcmp(cursor_.key(), prefix_.data(), prefix_.size()) == 0;
           cursor_.PhysicalNext()) {
        if (recordsLeft_-- == 0) {
          gaveUp_ = true;
          return;
        }
        SetBit(*out_, cursor_.recno());
      }
      return;
    }
    for (char variant : variants_[i]) {
      prefix_.resize(i);
      prefix_ += variant;
      if (SeekPrefix()) {
        Walk(i + 1);
      }
      if (gaveUp_ || !cursor_.status().ok()) {
        return;
      }
    }
  }

  TagCursor cursor_;
  Bits* out_;
  uint32_t recordsLeft_;
  std::vector<std::string> variants_;
  std::string prefix_;
  int seeks_ = 0;
  bool gaveUp_ = false;
};

// Whether the filter holds a comparison under its AND, OR and NOT: one that
// holds none (the "not deleted()" a list keeps) is left to the records
// without building any set.
bool HasComparison(const expr::Node& n) {
  switch (n.op) {
    case expr::Op::kCompare:
      return true;
    case expr::Op::kNot:
      return HasComparison(*n.kid[0]);
    case expr::Op::kAnd:
    case expr::Op::kOr:
      return HasComparison(*n.kid[0]) || HasComparison(*n.kid[1]);
    default:
      return false;
  }
}

// Reads the records of a filter's comparisons off the tags and combines
// them under AND, OR and NOT, counting the comparisons a tag answered.
class AofResolver {
 public:
  // yes: records that match for sure; maybe: records still to be evaluated.
  struct Sets {
    Bits yes, maybe;
  };

  AofResolver(std::vector<TableIndexes::Tag>& tags, uint32_t records, bool exact)
      : tags_(tags),
        n_(records),
        words_((static_cast<std::size_t>(records) + 63) / 64),
        all_(words_, ~uint64_t{0}),
        exact_(exact) {
    if (n_ % 64 != 0 && words_ > 0) {
      all_.back() = (uint64_t{1} << (n_ % 64)) - 1;
    }
  }

  int termsResolved() const { return termsResolved_; }

  Status Eval(const expr::Node& n, Sets* out) {
    switch (n.op) {
      case expr::Op::kNot:
        return EvalNot(n, out);
      case expr::Op::kAnd:
      case expr::Op::kOr:
        return EvalAndOr(n, out);
      case expr::Op::kCompare: {
        Bits b;
        Status s = Term(n, &b);
        if (s.ok()) {
          out->yes = std::move(b);
          out->maybe.assign(words_, 0);
          return Status::Ok();
        }
        if (s.code() != kErrTagNotFound) {
          return s;
        }
        break;
      }
      default:
        break;
    }
    out->yes.assign(words_, 0);
    out->maybe = all_;
    return Status::Ok();
  }

 private:
  Status EvalNot(const expr::Node& n, Sets* out) {
    Sets k;
    XCE_RETURN_IF_ERROR(Eval(*n.kid[0], &k));
    out->yes.resize(words_);
    for (std::size_t w = 0; w < words_; ++w) {
      out->yes[w] = all_[w] & ~(k.yes[w] | k.maybe[w]);
    }
    out->maybe = std::move(k.maybe);
    return Status::Ok();
  }

  Status EvalAndOr(const expr::Node& n, Sets* out) {
    const bool isAnd = n.op == expr::Op::kAnd;
    Sets acc;
    Sets k;
    XCE_RETURN_IF_ERROR(Eval(*n.kid[0], &acc));
    XCE_RETURN_IF_ERROR(Eval(*n.kid[1], &k));
    for (std::size_t w = 0; w < words_; ++w) {
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
    *out = std::move(acc);
    return Status::Ok();
  }

  // A tag holding every record with `key` as its key, or -1; character keys
  // must be the value's own bytes, which keys sorted under another
  // collation are not.
  int PlainTag(const expr::Node& key) const {
    for (std::size_t i = 0; i < tags_.size(); ++i) {
      CdxTag* tag = tags_[i].tag;
      if (!tag->unique() && tag->for_expr().empty() && (tag->options() & kOptNullable) == 0 &&
          expr::SameTree(key, tags_[i].maker->key_expr().Root()) &&
          (key.type != expr::ValueType::kCharacter ||
           (key.fixedWidth && key.width == tag->key_len() && tag->machine_collation() &&
            tags_[i].maker->type() == KeyType::kCharacter))) {
        return static_cast<int>(i);
      }
    }
    return -1;
  }

  // The records of one comparison read off a tag; kErrTagNotFound when no
  // tag serves.
  Status Term(const expr::Node& compare, Bits* out) {
    Cmp op = FromCompiled(compare.cmp);
    const expr::Node* left = compare.kid[0].get();
    const expr::Node* right = compare.kid[1].get();
    if (left->IsConst() && !right->IsConst()) {
      // String "=" is not symmetric (the left side begins with the right).
      if (left->type == expr::ValueType::kCharacter && (op == Cmp::kEq || op == Cmp::kNe)) {
        return Status(kErrTagNotFound, "");
      }
      std::swap(left, right);
      op = Mirror(op);
    }
    if (!right->IsConst() || left->type != right->type) {
      return Status(kErrTagNotFound, "");
    }
    int which = PlainTag(*left);
    if (which < 0 && left->op == expr::Op::kUpper && left->str.size() == 256 &&
        left->kid[0]->op == expr::Op::kFieldC &&
        (op == Cmp::kEq || op == Cmp::kExactEq || op == Cmp::kNe)) {
      const int fieldTag = PlainTag(*left->kid[0]);
      if (fieldTag >= 0) {
        return UpperTerm(op, *left, right->str, tags_[fieldTag].tag, out);
      }
    }
    if (which < 0) {
      return Status(kErrTagNotFound, "");
    }
    const expr::Value constant = ConstantOf(*right);
    TableIndexes::Tag& tag = tags_[which];
    out->assign(words_, 0);
    if (tag.maker->type() != KeyType::kCharacter) {
      return ValueTerm(op, tag, constant, out);
    }
    return TextTerm(op, tag, constant.text, out);
  }

  // UPPER(field) compared with a text, from a tag whose key is the field:
  // the keys whose upper case matches are found by their case variants.
  // kErrTagNotFound when the variants are too many to walk.
  Status UpperTerm(Cmp op, const expr::Node& upper, std::string_view text, CdxTag* tag, Bits* out) {
    const auto width = static_cast<std::size_t>(tag->key_len());
    // What the key's upper case must begin with, as the evaluator compares:
    // with the exact setting off "=" asks for a prefix; with it on both sides
    // are compared blank padded; "==" asks for the same length and bytes.
    std::string pattern(text);
    bool none = false;
    if (op == Cmp::kExactEq) {
      none = pattern.size() != width;
    } else if (exact_) {
      pattern.erase(pattern.find_last_not_of(' ') + 1);
      none = pattern.size() > width;
      pattern.resize(width, ' ');
    } else {
      none = pattern.size() > width;
    }
    out->assign(words_, 0);
    if (pattern.empty()) {
      *out = all_;
    } else if (!none) {
      CaseVariantWalk walk(tag, upper.str, pattern, MaxVariantRecords(n_), out);
      if (!walk.Run()) {
        XCE_RETURN_IF_ERROR(walk.status());
        return Status(kErrTagNotFound, "");
      }
    }
    if (op == Cmp::kNe) {
      for (std::size_t w = 0; w < words_; ++w) {
        (*out)[w] = all_[w] & ~(*out)[w];
      }
    }
    ++termsResolved_;
    return Status::Ok();
  }

  // A comparison on a tag whose keys compare as their values do.
  Status ValueTerm(Cmp op, TableIndexes::Tag& tag, const expr::Value& constant, Bits* out) {
    const int keyLen = tag.tag->key_len();
    TagCursor c(tag.tag);
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
    ++termsResolved_;
    return Status::Ok();
  }

  // A comparison on a character tag: the record's value is its key (fixed
  // width, blank padded).
  Status TextTerm(Cmp op, TableIndexes::Tag& tag, const std::string& b, Bits* out) {
    const int keyLen = tag.tag->key_len();
    TagCursor c(tag.tag);
    auto holds = [&]() {
      std::string_view k(reinterpret_cast<const char*>(c.key()), keyLen);
      switch (op) {
        case Cmp::kEq:
        case Cmp::kNe: {
          bool eq = exact_ ? ComparePadded(k, b) == 0
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
    if (op == Cmp::kEq && exact_) {
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
    ++termsResolved_;
    return Status::Ok();
  }

  std::vector<TableIndexes::Tag>& tags_;
  const uint32_t n_;
  const std::size_t words_;
  Bits all_;
  const bool exact_;
  int termsResolved_ = 0;
};

}  // namespace

Status TableIndexes::ResolveAof(Table& t, const expr::Expression& e, RecordSet* set, bool* resolved,
                                bool* complete) {
  *resolved = false;
  *complete = false;
  if (!unbound_.ok() || tags_.empty() || !HasComparison(e.Root())) {
    return Status::Ok();
  }
  AofResolver resolver(tags_, t.RecordCount(), t.exact());
  AofResolver::Sets result;
  XCE_RETURN_IF_ERROR(resolver.Eval(e.Root(), &result));
  if (resolver.termsResolved() == 0) {
    return Status::Ok();
  }
  // One pass over the words without a branch: a keystroke resolves a filter
  // over every record of a large table.
  uint64_t anyMaybe = 0;
  for (std::size_t w = 0; w < result.yes.size(); ++w) {
    anyMaybe |= result.maybe[w];
    result.yes[w] |= result.maybe[w];
  }
  set->Assign(std::move(result.yes));
  *resolved = true;
  *complete = anyMaybe == 0;
  return Status::Ok();
}

}  // namespace xce::cdx
