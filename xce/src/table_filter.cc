#include "table_filter.h"

#include <algorithm>
#include <bit>

#include "memo_file.h"

namespace xce {
namespace {

// Sequential scans read this many records per file read unless the table
// already reads ahead further.
constexpr uint32_t kScanReadAhead = 512;

class ScopedReadAhead {
 public:
  explicit ScopedReadAhead(Table& t) : table_(t), old_(t.readAhead()) {
    if (old_ < kScanReadAhead) {
      t.SetReadAhead(kScanReadAhead);
    }
  }
  ~ScopedReadAhead() {
    if (old_ < kScanReadAhead) {
      table_.SetReadAhead(old_);
    }
  }
  ScopedReadAhead(const ScopedReadAhead&) = delete;
  ScopedReadAhead& operator=(const ScopedReadAhead&) = delete;

 private:
  Table& table_;
  uint32_t old_;
};

// The type letter an expression reads a field as, from how the table
// decodes it (foreign writers use other letters for the same layouts, such as
// '@' for datetimes and 8-byte 'I' for scaled integers).
char ExpressionType(const FieldInfo& f, uint8_t* decimals) {
  switch (f.engineType) {
    case kTypeLogical:
      return 'L';
    case kTypeNumeric:
      return 'N';
    case kTypeDate:
      return 'D';
    case kTypeString:
    case kTypeVarchar:
      return 'C';
    case kTypeMemo:
      return f.binaryMemo ? 'G' : 'M';
    case kTypeDouble:
      return 'B';
    case kTypeInteger:
    case kTypeAutoInc:
      return 'I';
    case kTypeTimestamp:
      return 'T';
    case kTypeCurrency:
      *decimals = f.type == 'Y' ? 4 : std::min<uint8_t>(f.decimals, 18);
      return 'Y';
    default:
      return f.isMemo ? 'G' : '?';  // binary or unknown: not readable
  }
}

Status NoFilter(const Table& t, const char* what) {
  return Status(kErrNoFilter, std::string("No ") + what + " is set on table " + t.path());
}

}  // namespace

// ---------------------------------------------------------------- source

TableRecordSource::TableRecordSource(Table& t)
    : table_(t), codePage_(t.oem() ? CodePage::kCp866 : CodePage::kCp1251) {
  for (const FieldInfo& f : t.fields()) {
    expr::FieldInfo e;
    e.name = f.name;
    e.offset = f.offset;
    e.length = static_cast<uint16_t>(std::min<uint32_t>(f.length, 0xFFFF));
    e.decimals = f.decimals;
    e.type = ExpressionType(f, &e.decimals);
    fields_.push_back(std::move(e));
  }
}

Status TableRecordSource::ReadMemo(int field, std::string* text) const {
  text->clear();
  MemoFile* memo = table_.memo();
  if (memo == nullptr || image_ == nullptr || field < 0 ||
      static_cast<std::size_t>(field) >= table_.fields().size()) {
    return Status::Ok();
  }
  uint32_t block = MemoBlock(table_.fields()[static_cast<std::size_t>(field)], image_);
  if (block == 0) {
    return Status::Ok();
  }
  uint32_t itemType = 0;
  return memo->Read(block, text, &itemType);
}

Status CompileCondition(std::string_view text, const TableRecordSource& src,
                        std::unique_ptr<expr::Expression>* out) {
  XCE_RETURN_IF_ERROR(expr::Expression::Compile(text, src, out));
  if ((*out)->Type() != expr::ValueType::kLogical) {
    std::string type = expr::TypeName((*out)->Type());
    out->reset();
    return Status(expr::kErrExpression, "Invalid expression \"" + std::string(text) +
                                            "\": a condition must be logical, not " + type + ".");
  }
  return Status::Ok();
}

// ---------------------------------------------------------------- record sets

void RecordSet::Fill(uint32_t n) {
  bits_.assign((static_cast<std::size_t>(n) + 63) / 64, ~uint64_t{0});
  if (n % 64 != 0) {
    bits_.back() = (uint64_t{1} << (n % 64)) - 1;
  }
  count_ = n;
}

void RecordSet::Assign(std::vector<uint64_t> bits) {
  bits_ = std::move(bits);
  count_ = 0;
  for (uint64_t w : bits_) {
    if (w != 0) {  // mostly none: a filter's set is sparse
      count_ += static_cast<uint32_t>(std::popcount(w));
    }
  }
}

void RecordSet::IntersectWith(const RecordSet& other) {
  if (bits_.size() > other.bits_.size()) {
    bits_.resize(other.bits_.size());
  }
  count_ = 0;
  for (std::size_t i = 0; i < bits_.size(); ++i) {
    bits_[i] &= other.bits_[i];
    count_ += static_cast<uint32_t>(std::popcount(bits_[i]));
  }
}

uint32_t RecordSet::NextAfter(uint32_t recno) const {
  // Bit i stands for record i + 1: the search starts at bit `recno`.
  std::size_t word = recno / 64;
  if (word >= bits_.size()) {
    return 0;
  }
  uint64_t w = bits_[word] & (~uint64_t{0} << (recno % 64));
  while (w == 0) {
    if (++word >= bits_.size()) {
      return 0;
    }
    w = bits_[word];
  }
  return static_cast<uint32_t>(word * 64 + static_cast<std::size_t>(std::countr_zero(w)) + 1);
}

// ---------------------------------------------------------------- filters

Status ExpressionFilter::Create(Table& t, std::string_view text,
                                std::shared_ptr<ExpressionFilter>* out) {
  std::shared_ptr<ExpressionFilter> f(new ExpressionFilter(t));
  XCE_RETURN_IF_ERROR(CompileCondition(text, f->src_, &f->expr_));
  *out = std::move(f);
  return Status::Ok();
}

Status ExpressionFilter::Accept(Table& t, uint32_t recno, const char* image, bool* accept) {
  (void)t;
  src_.Bind(image, recno);
  return expr_->EvalLogical(src_, accept);
}

Status AofFilter::Create(Table& t, std::string_view text, std::shared_ptr<AofFilter>* out) {
  std::shared_ptr<AofFilter> f(new AofFilter(t));
  XCE_RETURN_IF_ERROR(CompileCondition(text, f->src_, &f->expr_));
  *out = std::move(f);
  return Status::Ok();
}

Status AofFilter::Evaluate(uint32_t recno, const char* image, bool* match) {
  src_.Bind(image, recno);
  return expr_->EvalLogical(src_, match);
}

void AofFilter::Reset() {
  matches_.Clear();
  known_.Clear();
  candidates_.Clear();
  candidateLimit_ = 0;
  prepared_ = false;
}

void AofFilter::Forget(uint32_t recno) {
  known_.Set(recno, false);
  if (recno <= candidateLimit_) {
    candidates_.Set(recno, true);  // its key may have changed: test it again
  }
}

Status AofFilter::PrepareAnew(Table& t) {
  // The set depends on the exact setting: another one starts it afresh.
  Reset();
  prepared_ = true;
  preparedExact_ = t.exact();
  const uint32_t n = t.RecordCount();
  for (const auto& ext : t.extensions()) {
    auto* resolver = dynamic_cast<AofIndexResolver*>(ext.get());
    if (resolver == nullptr) {
      continue;
    }
    bool done = false;
    bool complete = false;
    RecordSet set;
    Status s = resolver->ResolveAof(t, *expr_, &set, &done, &complete);
    if (!s.ok()) {
      prepared_ = false;
      return s;
    }
    if (done && complete) {
      matches_ = std::move(set);
      known_.Fill(n);
      return Status::Ok();
    }
    if (done) {
      candidates_ = std::move(set);
      candidateLimit_ = n;
      return Status::Ok();
    }
  }
  return Status::Ok();
}

Status AofFilter::Resolve(Table& t) {
  XCE_RETURN_IF_ERROR(Prepare(t));
  const uint32_t n = t.RecordCount();
  if (known_.Count() == n) {
    return Status::Ok();  // the indexes answered for every record
  }
  std::vector<char> image(t.recordLength());
  ScopedReadAhead readAhead(t);
  for (uint32_t r = 1; r <= n; ++r) {
    if (known_.Test(r)) {
      continue;
    }
    bool match = false;
    if (r > candidateLimit_ || candidates_.Test(r)) {
      XCE_RETURN_IF_ERROR(t.ReadRecord(r, image.data()));
      XCE_RETURN_IF_ERROR(Evaluate(r, image.data(), &match));
    }
    matches_.Set(r, match);
    known_.Set(r, true);
  }
  return Status::Ok();
}

Status AofFilter::Accept(Table& t, uint32_t recno, const char* image, bool* accept) {
  XCE_RETURN_IF_ERROR(Prepare(t));
  if (known_.Test(recno)) {
    *accept = matches_.Test(recno);
    return Status::Ok();
  }
  if (recno <= candidateLimit_ && !candidates_.Test(recno)) {
    *accept = false;
    return Status::Ok();
  }
  XCE_RETURN_IF_ERROR(Evaluate(recno, image, accept));
  matches_.Set(recno, *accept);
  known_.Set(recno, true);
  return Status::Ok();
}

Status AofFilter::RejectsUnread(Table& t, uint32_t recno, bool* rejected) {
  XCE_RETURN_IF_ERROR(Prepare(t));
  *rejected = KnownRejected(t, recno);
  return Status::Ok();
}

Status AofFilter::PassesNone(Table& t, bool* none) {
  XCE_RETURN_IF_ERROR(Prepare(t));
  uint32_t count = 0;
  *none = KnownCount(t, t.RecordCount(), &count) && count == 0;
  return Status::Ok();
}

bool AofFilter::KnownCount(Table& t, uint32_t n, uint32_t* count) {
  if (!prepared_ || preparedExact_ != t.exact() || known_.Count() != n || known_.Limit() < n) {
    return false;
  }
  *count = matches_.Count();
  return true;
}

bool AofFilter::KnownFew(Table& t, uint32_t limit, std::vector<uint32_t>* out) {
  if (!Prepare(t).ok()) {
    return false;  // the walk that follows meets the failure and reports it
  }
  const uint32_t n = t.RecordCount();
  uint32_t count = 0;
  const RecordSet* few = &matches_;
  if (!KnownCount(t, n, &count)) {
    // Candidates the indexes named for every record (a typed text ANDed
    // with a condition no tag answers): only they may pass.
    if (candidateLimit_ < n) {
      return false;
    }
    few = &candidates_;
    count = candidates_.Count();
  }
  if (count > limit) {
    return false;
  }
  out->clear();
  for (uint32_t r = few->NextAfter(0); r != 0; r = few->NextAfter(r)) {
    out->push_back(r);
  }
  return true;
}

// ---------------------------------------------------------------- state

FilterState* FilterState::Of(Table& t, bool create) {
  for (const auto& ext : t.extensions()) {
    if (auto* s = dynamic_cast<FilterState*>(ext.get())) {
      return s;
    }
  }
  if (!create) {
    return nullptr;
  }
  auto s = std::make_shared<FilterState>();
  FilterState* raw = s.get();
  t.AddExtension(std::move(s));
  return raw;
}

Status FilterState::OnRecordWrite(Table& t, uint32_t recno, const char* oldImage,
                                  const char* newImage) {
  (void)t;
  (void)oldImage;
  (void)newImage;
  // The write may still fail after this point, so the record is not
  // evaluated here: it becomes unknown and is tested on its stored image
  // when it is next offered.
  if (aof) {
    aof->Forget(recno);
  }
  return Status::Ok();
}

Status FilterState::OnRebuild(Table& t, RebuildContext& ctx) {
  (void)t;
  (void)ctx;
  if (aof) {
    aof->Invalidate();  // record numbers change
  }
  return Status::Ok();
}

Status FilterState::OnPackInPlace(Table& t, const std::vector<uint32_t>& deleted,
                                  InPlaceChange& change, bool* staged) {
  (void)t;
  (void)deleted;
  (void)change;
  if (aof) {
    aof->Invalidate();  // record numbers change
  }
  *staged = true;  // no files of its own
  return Status::Ok();
}

Status FilterState::AfterRebuild(Table& t) {
  (void)t;
  return Status::Ok();
}

Status SetTableFilter(Table& t, std::string_view text) {
  std::shared_ptr<ExpressionFilter> f;
  XCE_RETURN_IF_ERROR(ExpressionFilter::Create(t, text, &f));
  FilterState* s = FilterState::Of(t, true);
  if (s->plain) {
    t.RemoveFilter(s->plain.get());
  }
  s->plain = std::move(f);
  t.AddFilter(s->plain);
  return Status::Ok();
}

Status ClearTableFilter(Table& t) {
  FilterState* s = FilterState::Of(t, false);
  if (s == nullptr || !s->plain) {
    return NoFilter(t, "filter");
  }
  t.RemoveFilter(s->plain.get());
  s->plain.reset();
  return Status::Ok();
}

Status SetTableAof(Table& t, std::string_view text, int option) {
  if (option != 1 && option != 2) {
    return Status(kErrBadArgument, "Optimized filter option " + std::to_string(option) +
                                       " is neither 1 (resolve now) nor 2 (when needed)");
  }
  std::shared_ptr<AofFilter> f;
  XCE_RETURN_IF_ERROR(AofFilter::Create(t, text, &f));
  if (option == 1) {
    XCE_RETURN_IF_ERROR(f->Resolve(t));
  }
  FilterState* s = FilterState::Of(t, true);
  if (s->aof) {
    t.RemoveFilter(s->aof.get());
  }
  // The set answers before the plain filter evaluates anything.
  if (s->plain) {
    t.RemoveFilter(s->plain.get());
  }
  s->aof = std::move(f);
  t.AddFilter(s->aof);
  if (s->plain) {
    t.AddFilter(s->plain);
  }
  return Status::Ok();
}

Status ClearTableAof(Table& t) {
  FilterState* s = FilterState::Of(t, false);
  if (s == nullptr || !s->aof) {
    return NoFilter(t, "optimized filter");
  }
  t.RemoveFilter(s->aof.get());
  s->aof.reset();
  return Status::Ok();
}

Status GetTableAof(Table& t, std::string* text) {
  FilterState* s = FilterState::Of(t, false);
  if (s == nullptr || !s->aof) {
    return NoFilter(t, "optimized filter");
  }
  *text = s->aof->text();
  return Status::Ok();
}

// ---------------------------------------------------------------- locate

namespace {

// Above this many records that may match, walking the order from the start
// costs no more than comparing each one's place in it.
constexpr uint32_t kMaxLocateCandidates = 256;

// The records a tag says may match the expression, in record order, when
// they are few; *used is false when the records are to be walked.
// *complete: exactly those match.
Status LocateCandidates(Table& t, const expr::Expression& e, std::vector<uint32_t>* out,
                        bool* complete, bool* used) {
  *used = false;
  for (const auto& ext : t.extensions()) {
    auto* resolver = dynamic_cast<AofIndexResolver*>(ext.get());
    if (resolver == nullptr) {
      continue;
    }
    RecordSet set;
    bool resolved = false;
    XCE_RETURN_IF_ERROR(resolver->ResolveAof(t, e, &set, &resolved, complete));
    if (!resolved) {
      continue;
    }
    if (set.Count() > kMaxLocateCandidates) {
      return Status::Ok();
    }
    for (uint32_t r = set.NextAfter(0); r != 0; r = set.NextAfter(r)) {
      out->push_back(r);
    }
    *used = true;
    return Status::Ok();
  }
  return Status::Ok();
}

}  // namespace

Status LocateRecord(Table& t, Order* order, std::string_view text, bool forward, bool* found) {
  *found = false;
  TableRecordSource src(t);
  std::unique_ptr<expr::Expression> e;
  XCE_RETURN_IF_ERROR(CompileCondition(text, src, &e));
  XCE_RETURN_IF_ERROR(t.CommitPending());

  uint32_t r = 0;
  if (t.OnRecord()) {
    r = t.recno();
  } else if (forward && t.bof() && !t.eof()) {
    XCE_RETURN_IF_ERROR(order->First(t, &r));
  } else if (!forward && t.eof() && !t.bof()) {
    XCE_RETURN_IF_ERROR(order->Last(t, &r));
  }
  std::vector<char> image(t.recordLength());
  std::vector<uint32_t> candidates;
  bool complete = false;
  bool fromTags = false;
  if (r != 0) {
    XCE_RETURN_IF_ERROR(LocateCandidates(t, *e, &candidates, &complete, &fromTags));
  }
  if (fromTags) {
    // The match nearest to the start in the direction of the search, the
    // start itself included.
    uint32_t best = 0;
    for (uint32_t c : candidates) {
      int fromStart = 0;
      XCE_RETURN_IF_ERROR(order->CompareRecords(t, c, r, &fromStart));
      if (forward ? fromStart < 0 : fromStart > 0) {
        continue;
      }
      if (best != 0) {
        int fromBest = 0;
        XCE_RETURN_IF_ERROR(order->CompareRecords(t, c, best, &fromBest));
        if (forward ? fromBest >= 0 : fromBest <= 0) {
          continue;
        }
      }
      bool match = complete;
      if (!match) {
        XCE_RETURN_IF_ERROR(t.ReadRecord(c, image.data()));
        src.Bind(image.data(), c);
        XCE_RETURN_IF_ERROR(e->EvalLogical(src, &match));
      }
      bool visible = false;
      if (match) {
        XCE_RETURN_IF_ERROR(t.IsVisible(order, c, &visible));
      }
      if (visible) {
        best = c;
      }
    }
    if (best != 0) {
      *found = true;
      return t.GotoRecord(best);
    }
    // Past the end of the search, where a walk through the order ends.
    XCE_RETURN_IF_ERROR(forward ? t.GotoBottom(order) : t.GotoTop(order));
    Status s = t.Skip(order, forward ? 1 : -1);
    return s.ok() || s.code() == kErrNoCurrentRecord ? Status::Ok() : s;
  }
  uint32_t last = 0;
  {
    ScopedReadAhead readAhead(t);
    while (r != 0) {
      XCE_RETURN_IF_ERROR(t.ReadRecord(r, image.data()));
      src.Bind(image.data(), r);
      bool match = false;
      XCE_RETURN_IF_ERROR(e->EvalLogical(src, &match));
      if (match) {
        bool visible = false;
        XCE_RETURN_IF_ERROR(t.IsVisible(order, r, &visible));
        if (visible) {
          *found = true;
          break;
        }
      }
      last = r;
      if (forward) {
        XCE_RETURN_IF_ERROR(order->Next(t, r, &r));
      } else {
        XCE_RETURN_IF_ERROR(order->Prev(t, r, &r));
      }
    }
  }
  if (*found) {
    return t.GotoRecord(r);
  }
  if (last != 0) {
    // Past the end of the search, as a move off that end leaves it.
    XCE_RETURN_IF_ERROR(t.GotoRecord(last));
    Status s = t.Skip(order, forward ? 1 : -1);
    if (!s.ok() && s.code() != kErrNoCurrentRecord) {
      return s;
    }
  }
  return Status::Ok();
}

}  // namespace xce
