// Filters of a table: the plain filter (an expression tested on each record
// the cursor meets), the optimized filter (an expression resolved once into
// the set of matching record numbers), and Locate.
//
// Both filters plug into Table's visibility predicate as RecordFilters; one
// FilterState extension per table owns them and hears about every record
// write, so the optimized filter's set stays true across appends and edits.
//
// Indexes meet optimized filters in one place, AofFilter::Prepare: an index
// layer that can answer some or all of an expression from its tags
// implements AofIndexResolver on its TableExtension, and Prepare asks every
// such extension before records are evaluated one by one.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "expr/expr.h"
#include "table.h"

namespace xce {

// What expressions read from a table: its fields and code page, and one
// record image bound at a time. Memo fields are read from the memo file.
class TableRecordSource : public expr::ExprSource {
 public:
  explicit TableRecordSource(Table& t);

  void Bind(const char* image, uint32_t recno) {
    image_ = image;
    recno_ = recno;
  }

  const std::vector<expr::FieldInfo>& Fields() const override { return fields_; }
  CodePage TableCodePage() const override { return codePage_; }
  const char* RecordImage() const override { return image_; }
  uint32_t RecordNumber() const override { return recno_; }
  bool ExactCompare() const override { return table_.exact(); }
  Status ReadMemo(int field, std::string* text) const override;

 private:
  Table& table_;
  std::vector<expr::FieldInfo> fields_;
  CodePage codePage_;
  const char* image_ = nullptr;
  uint32_t recno_ = 0;
};

// Compiles a condition against the source's table; fails unless it is a
// logical expression.
Status CompileCondition(std::string_view text, const TableRecordSource& src,
                        std::unique_ptr<expr::Expression>* out);

// A set of record numbers (1-based) as a bitmap. It keeps its count, so
// asking how many records it holds costs nothing however large it is: a
// filtered step asks at every record.
class RecordSet {
 public:
  void Clear() {
    bits_.clear();
    count_ = 0;
  }
  uint32_t Limit() const { return static_cast<uint32_t>(bits_.size() * 64); }
  bool Test(uint32_t recno) const {
    uint32_t i = recno - 1;
    return recno >= 1 && i / 64 < bits_.size() && ((bits_[i / 64] >> (i % 64)) & 1) != 0;
  }
  void Set(uint32_t recno, bool on) {
    if (recno < 1) {
      return;
    }
    uint32_t i = recno - 1;
    if (i / 64 >= bits_.size()) {
      bits_.resize(i / 64 + 1, 0);
    }
    uint64_t mask = uint64_t{1} << (i % 64);
    uint64_t& word = bits_[i / 64];
    if (((word & mask) != 0) != on) {
      word ^= mask;
      count_ = on ? count_ + 1 : count_ - 1;
    }
  }
  // Sets records 1..n (and clears every other).
  void Fill(uint32_t n);
  // Takes a bitmap whose bit i stands for record i + 1.
  void Assign(std::vector<uint64_t> bits);
  void IntersectWith(const RecordSet& other);
  uint32_t Count() const { return count_; }
  // The first record in the set after `recno`; 0 when none.
  uint32_t NextAfter(uint32_t recno) const;

 private:
  std::vector<uint64_t> bits_;
  uint32_t count_ = 0;
};

// Implemented by index extensions that can resolve an optimized filter.
class AofIndexResolver {
 public:
  virtual ~AofIndexResolver() = default;
  // *resolved: false when the indexes cannot help at all. When true, *set
  // holds every record that may match; *complete tells whether exactly those
  // match, or whether each one is still to be evaluated.
  virtual Status ResolveAof(Table& t, const expr::Expression& e, RecordSet* set, bool* resolved,
                            bool* complete) = 0;
};

// A plain filter: the expression is tested on each record offered.
class ExpressionFilter : public RecordFilter {
 public:
  static Status Create(Table& t, std::string_view text, std::shared_ptr<ExpressionFilter>* out);
  Status Accept(Table& t, uint32_t recno, const char* image, bool* accept) override;
  const std::string& text() const { return expr_->Text(); }

 private:
  explicit ExpressionFilter(Table& t) : src_(t) {}
  TableRecordSource src_;
  std::unique_ptr<expr::Expression> expr_;
};

// An optimized filter. Option 1 resolves it at once into the set of
// matching records (from the indexes, else by reading every record). Option 2
// asks the indexes when the filter is first needed and otherwise learns the
// set record by record as records are offered, so a move that stops at the
// first match reads no further than a plain filter would. What is learnt is
// kept; a record that is written becomes unknown and is tested again the
// next time it is offered.
class AofFilter : public RecordFilter {
 public:
  static Status Create(Table& t, std::string_view text, std::shared_ptr<AofFilter>* out);
  Status Accept(Table& t, uint32_t recno, const char* image, bool* accept) override;
  // Known when every record's answer is known (as after resolving from tags).
  [[nodiscard]] bool KnownCount(Table& t, uint32_t n, uint32_t* count) override;
  Status RejectsUnread(Table& t, uint32_t recno, bool* rejected) override;
  [[nodiscard]] bool KnownRejected(const Table& t, uint32_t recno) const override {
    // The same answers Accept gives before it needs the record's image.
    return prepared_ && preparedExact_ == t.exact() &&
           (known_.Test(recno) ? !matches_.Test(recno)
                               : recno <= candidateLimit_ && !candidates_.Test(recno));
  }
  Status PassesNone(Table& t, bool* none) override;
  [[nodiscard]] bool KnownFew(Table& t, uint32_t limit, std::vector<uint32_t>* out) override;
  const std::string& text() const { return expr_->Text(); }

  // Computes the whole set now.
  Status Resolve(Table& t);
  // Forgets what is known about one record (it was written), or about all
  // (pack and zap renumber records).
  void Forget(uint32_t recno);
  void Invalidate() { Reset(); }

 private:
  explicit AofFilter(Table& t) : src_(t) {}
  void Reset();
  // Asks the indexes once; afterwards `known_` and `candidates_` hold what
  // they told. Checked at every record a walk or a seek looks at, so the
  // check is inline and the asking out of line.
  Status Prepare(Table& t) {
    if (prepared_ && preparedExact_ == t.exact()) {
      return Status::Ok();
    }
    return PrepareAnew(t);
  }
  Status PrepareAnew(Table& t);
  Status Evaluate(uint32_t recno, const char* image, bool* match);

  TableRecordSource src_;
  std::unique_ptr<expr::Expression> expr_;
  RecordSet matches_;
  RecordSet known_;
  // Records 1..candidateLimit_ outside candidates_ do not match (the indexes
  // said so); 0 when the indexes narrowed nothing.
  RecordSet candidates_;
  uint32_t candidateLimit_ = 0;
  bool prepared_ = false;
  bool preparedExact_ = false;
};

// The filters of one table. Attached on first use and kept for the table's
// lifetime.
class FilterState : public TableExtension {
 public:
  // The table's state; created and attached when `create` is true.
  static FilterState* Of(Table& t, bool create);

  Status OnRecordWrite(Table& t, uint32_t recno, const char* oldImage,
                       const char* newImage) override;
  Status OnRebuild(Table& t, RebuildContext& ctx) override;
  Status OnPackInPlace(Table& t, const std::vector<uint32_t>& deleted, InPlaceChange& change,
                       bool* staged) override;
  Status AfterRebuild(Table& t) override;

  std::shared_ptr<ExpressionFilter> plain;
  std::shared_ptr<AofFilter> aof;
};

// Filter operations behind the C API.
Status SetTableFilter(Table& t, std::string_view text);
Status ClearTableFilter(Table& t);
// option 1 resolves now, 2 when first needed.
Status SetTableAof(Table& t, std::string_view text, int option);
Status ClearTableAof(Table& t);
// The optimized filter's text; kErrNoFilter when none is set.
Status GetTableAof(Table& t, std::string* text);

// Moves to the first record, from the current one on, forward or backward in
// `order`, for which `text` is true and which the filters and the deleted
// setting let through. Not found: *found is false and the cursor is past the
// end of the search (EOF forward, BOF backward). When a tag tells the few
// records that may match, only their places in the order are compared;
// otherwise the records are walked in the order.
Status LocateRecord(Table& t, Order* order, std::string_view text, bool forward, bool* found);

}  // namespace xce
