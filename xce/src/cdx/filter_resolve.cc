// Optimized filters answered from tags: the comparisons of a tag's key
// expression with a constant (=, ==, <>, <, <=, >, >=) under AND, OR and NOT
// become record sets read off the tag's keys; every other part of the filter
// marks its records as "maybe", to be evaluated record by record. The filter
// is taken apart in its compiled form, so any spelling of it serves.
#include <algorithm>
#include <cstring>
#include <functional>

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

  // The records of one comparison read off a tag; kErrTagNotFound when no
  // tag serves.
  auto term = [&](const expr::Node& compare, Bits* out) -> Status {
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
    int which = -1;
    for (std::size_t i = 0; i < tags_.size() && which < 0; ++i) {
      CdxTag* tag = tags_[i].tag;
      if (!tag->unique() && tag->for_expr().empty() && (tag->options() & kOptNullable) == 0 &&
          expr::SameTree(*left, tags_[i].maker->key_expr().Root()) &&
          (left->type != expr::ValueType::kCharacter ||
           (left->fixedWidth && left->width == tag->key_len()))) {
        which = static_cast<int>(i);
      }
    }
    if (which < 0) {
      return Status(kErrTagNotFound, "");
    }
    const expr::Value constant = ConstantOf(*right);
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
  std::function<Status(const expr::Node&, Sets*)> eval = [&](const expr::Node& n,
                                                              Sets* out) -> Status {
    switch (n.op) {
      case expr::Op::kNot: {
        Sets k;
        XCE_RETURN_IF_ERROR(eval(*n.kid[0], &k));
        out->yes.resize(words);
        for (std::size_t w = 0; w < words; ++w) {
          out->yes[w] = all[w] & ~(k.yes[w] | k.maybe[w]);
        }
        out->maybe = std::move(k.maybe);
        return Status::Ok();
      }
      case expr::Op::kAnd:
      case expr::Op::kOr: {
        const bool isAnd = n.op == expr::Op::kAnd;
        Sets acc;
        Sets k;
        XCE_RETURN_IF_ERROR(eval(*n.kid[0], &acc));
        XCE_RETURN_IF_ERROR(eval(*n.kid[1], &k));
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
        *out = std::move(acc);
        return Status::Ok();
      }
      case expr::Op::kCompare: {
        Bits b;
        Status s = term(n, &b);
        if (s.ok()) {
          out->yes = std::move(b);
          out->maybe.assign(words, 0);
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
    out->yes.assign(words, 0);
    out->maybe = all;
    return Status::Ok();
  };

  Sets result;
  XCE_RETURN_IF_ERROR(eval(e.Root(), &result));
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
