// An in-memory record for expression tests: fields laid out as a DBF record
// (byte 0 the deletion flag), set from text the way a table stores them.
#pragma once

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "expr/expr.h"

namespace xce::expr {

class FakeSource : public ExprSource {
 public:
  struct FieldSpec {
    const char* name;
    char type;
    int length;
    int decimals;
  };

  explicit FakeSource(std::vector<FieldSpec> specs, CodePage cp = CodePage::kCp1251) : cp_(cp) {
    uint32_t offset = 1;
    for (const FieldSpec& s : specs) {
      FieldInfo f;
      f.name = s.name;
      f.type = s.type;
      f.offset = offset;
      f.length = static_cast<uint16_t>(s.length);
      f.decimals = static_cast<uint8_t>(s.decimals);
      offset += f.length;
      fields_.push_back(f);
    }
    record_.assign(offset, ' ');
  }

  // The fields of the catalogue's URL table plus one of every other kind.
  static std::vector<FieldSpec> CatalogueSpecs() {
    return {{"URL", 'C', 40, 0},    {"NAME", 'C', 20, 0},   {"DESCR", 'M', 10, 0},
            {"URL_ID", 'N', 10, 0}, {"TEM_ID", 'N', 10, 0}, {"PRICE", 'N', 8, 2},
            {"D", 'D', 8, 0},       {"L", 'L', 1, 0},       {"I", 'I', 4, 0},
            {"B", 'B', 8, 2},       {"T", 'T', 8, 0},       {"Y", 'Y', 8, 4}};
  }

  void Clear() {
    record_.assign(record_.size(), ' ');
    memos_.clear();
  }
  void SetDeleted(bool d) { record_[0] = d ? '*' : ' '; }
  void SetRecno(uint32_t n) { recno_ = n; }
  void SetExact(bool e) { exact_ = e; }
  void SetMemo(int field, std::string text) { memos_[field] = std::move(text); }
  void FailMemos(bool f) { failMemos_ = f; }

  // Raw bytes into a field, left aligned and blank padded.
  void SetRaw(const std::string& name, const std::string& bytes) {
    const FieldInfo& f = Field(name);
    std::string padded = bytes;
    padded.resize(f.length, ' ');
    std::memcpy(&record_[f.offset], padded.data(), f.length);
  }
  // A number right aligned in an N field.
  void SetNumber(const std::string& name, const std::string& text) {
    const FieldInfo& f = Field(name);
    std::string padded(f.length - text.size(), ' ');
    padded += text;
    std::memcpy(&record_[f.offset], padded.data(), f.length);
  }
  template <typename T>
  void SetBinary(const std::string& name, T v, int at = 0) {
    const FieldInfo& f = Field(name);
    std::memcpy(&record_[f.offset + at], &v, sizeof v);
  }

  const FieldInfo& Field(const std::string& name) const {
    for (const FieldInfo& f : fields_) {
      if (f.name == name) {
        return f;
      }
    }
    std::abort();
  }

  const std::vector<FieldInfo>& Fields() const override { return fields_; }
  CodePage TableCodePage() const override { return cp_; }
  const char* RecordImage() const override { return record_.data(); }
  uint32_t RecordNumber() const override { return recno_; }
  bool ExactCompare() const override { return exact_; }
  Status ReadMemo(int field, std::string* text) const override {
    if (failMemos_) {
      return Status(5999, "memo file damaged");
    }
    auto it = memos_.find(field);
    text->assign(it == memos_.end() ? std::string() : it->second);
    return Status::Ok();
  }

 private:
  std::vector<FieldInfo> fields_;
  CodePage cp_;
  std::string record_;
  std::map<int, std::string> memos_;
  uint32_t recno_ = 1;
  bool exact_ = false;
  bool failMemos_ = false;
};

}  // namespace xce::expr
