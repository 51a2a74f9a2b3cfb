// Compiles and evaluates arbitrary expression text against a record of
// arbitrary bytes. Input: one flag byte (bit 0 OEM table, bit 1 exact
// comparison, bit 2 deleted), the expression, a NUL, then record bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "expr/expr.h"

namespace {

using xce::CodePage;
using xce::Status;
using xce::expr::ExprSource;
using xce::expr::FieldInfo;

class FuzzSource : public ExprSource {
 public:
  FuzzSource() {
    const struct {
      const char* name;
      char type;
      uint16_t length;
      uint8_t decimals;
    } specs[] = {{"NAME", 'C', 20, 0},  {"URL", 'C', 40, 0}, {"GRP", 'N', 6, 0},
                 {"PRICE", 'N', 10, 2}, {"D", 'D', 8, 0},    {"L", 'L', 1, 0},
                 {"I", 'I', 4, 0},      {"B", 'B', 8, 2},    {"T", 'T', 8, 0},
                 {"Y", 'Y', 8, 4},      {"NOTE", 'M', 10, 0}};
    uint32_t offset = 1;
    for (const auto& s : specs) {
      fields_.push_back(FieldInfo{s.name, s.type, offset, s.length, s.decimals});
      offset += s.length;
    }
    record_.assign(offset, ' ');
  }

  void Load(const uint8_t* data, std::size_t n) {
    std::memcpy(record_.data() + 1, data, std::min(n, record_.size() - 1));
    memo_.assign(reinterpret_cast<const char*>(data), std::min<std::size_t>(n, 64));
  }

  const std::vector<FieldInfo>& Fields() const override { return fields_; }
  CodePage TableCodePage() const override { return cp_; }
  const char* RecordImage() const override { return record_.data(); }
  uint32_t RecordNumber() const override { return 7; }
  bool ExactCompare() const override { return exact_; }
  Status ReadMemo(int, std::string* text) const override {
    text->assign(memo_);
    return Status::Ok();
  }

  std::vector<FieldInfo> fields_;
  std::string record_;
  std::string memo_;
  CodePage cp_ = CodePage::kCp1251;
  bool exact_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) {
    return 0;
  }
  FuzzSource src;
  uint8_t flags = data[0];
  src.cp_ = (flags & 1) ? CodePage::kCp866 : CodePage::kCp1251;
  src.exact_ = (flags & 2) != 0;
  src.record_[0] = (flags & 4) ? '*' : ' ';
  const char* text = reinterpret_cast<const char*>(data + 1);
  std::size_t rest = size - 1;
  const void* nul = std::memchr(text, 0, rest);
  std::size_t textLen = nul ? static_cast<const char*>(nul) - text : rest;
  if (nul) {
    src.Load(data + 1 + textLen + 1, rest - textLen - 1);
  }

  std::unique_ptr<xce::expr::Expression> e;
  Status s = xce::expr::Expression::Compile(std::string_view(text, textLen), src, &e);
  if (!s.ok()) {
    if (s.message().empty()) {
      std::abort();
    }
    return 0;
  }
  xce::expr::Value v;
  for (int pass = 0; pass < 2; ++pass) {
    s = e->Evaluate(src, &v);
    // A fixed-width character result has exactly its declared width: index
    // keys rely on it.
    if (s.ok() && v.type == xce::expr::ValueType::kCharacter && e->FixedWidth() &&
        v.text.size() != static_cast<std::size_t>(e->Width())) {
      std::abort();
    }
    if (e->Type() == xce::expr::ValueType::kLogical) {
      bool r = false;
      Status s2 = e->EvalLogical(src, &r);
      if (s.ok() != s2.ok() || (s.ok() && r != v.logical)) {
        std::abort();
      }
    }
    src.exact_ = !src.exact_;
  }
  return 0;
}
