#include "cdx/key_maker.h"

#include <algorithm>
#include <cstring>

#include "cdx/cdx_file.h"

namespace xce::cdx {

namespace {

bool MentionsDeleted(const std::string& text) {
  std::string upper(text);
  for (char& c : upper) {
    c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  }
  return upper.find("DELETED") != std::string::npos;
}

// True when the expression is exactly one field of type I.
bool IsPlainIntegerField(const expr::Expression& e, const expr::ExprSource& schema) {
  if (e.FieldNames().size() != 1) {
    return false;
  }
  std::string text;
  for (char c : e.Text()) {
    if (c != ' ') {
      text.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
    }
  }
  if (text != e.FieldNames()[0]) {
    return false;
  }
  for (const auto& f : schema.Fields()) {
    std::string name(f.name);
    for (char& c : name) {
      c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    }
    if (name == text) {
      return f.type == 'I';
    }
  }
  return false;
}

}  // namespace

Status KeyMaker::Create(const std::string& keyExpr, const std::string& forExpr,
                        const expr::ExprSource& schema, int storedKeyLen,
                        std::unique_ptr<KeyMaker>* out) {
  auto maker = std::unique_ptr<KeyMaker>(new KeyMaker());
  XCE_RETURN_IF_ERROR(expr::Expression::Compile(keyExpr, schema, &maker->keyExpr_));
  std::string trimmedFor = forExpr;
  while (!trimmedFor.empty() && trimmedFor.back() == ' ') {
    trimmedFor.pop_back();
  }
  if (!trimmedFor.empty()) {
    XCE_RETURN_IF_ERROR(expr::Expression::Compile(trimmedFor, schema, &maker->forExpr_));
    if (maker->forExpr_->Type() != expr::ValueType::kLogical) {
      return Status(kErrBadTagDefinition,
                    "The FOR condition \"" + trimmedFor + "\" is not a logical expression");
    }
  }
  maker->usesDeleted_ = MentionsDeleted(keyExpr) || MentionsDeleted(trimmedFor);
  const expr::Expression& e = *maker->keyExpr_;
  switch (e.Type()) {
    case expr::ValueType::kCharacter:
      maker->type_ = KeyType::kCharacter;
      maker->keyLen_ = storedKeyLen > 0 ? storedKeyLen : e.Width();
      break;
    case expr::ValueType::kNumeric:
      maker->type_ = (storedKeyLen == 4 || (storedKeyLen == 0 && IsPlainIntegerField(e, schema)))
                         ? KeyType::kInteger
                         : KeyType::kNumeric;
      maker->keyLen_ = FixedKeyLength(maker->type_);
      break;
    case expr::ValueType::kDate:
      maker->type_ = KeyType::kDate;
      maker->keyLen_ = 8;
      break;
    case expr::ValueType::kDateTime:
      maker->type_ = KeyType::kDateTime;
      maker->keyLen_ = 8;
      break;
    case expr::ValueType::kLogical:
      maker->type_ = KeyType::kLogical;
      maker->keyLen_ = 1;
      break;
  }
  if (maker->keyLen_ < 1 || maker->keyLen_ > kMaxKeyLength) {
    return Status(kErrBadTagDefinition, "The key expression \"" + keyExpr + "\" gives keys of " +
                                            std::to_string(maker->keyLen_) +
                                            " bytes; a key holds 1 to 240");
  }
  *out = std::move(maker);
  return Status::Ok();
}

void KeyMaker::Encode(const expr::Value& value, uint8_t* key) const {
  switch (type_) {
    case KeyType::kCharacter: {
      std::size_t n = std::min<std::size_t>(value.text.size(), keyLen_);
      std::memcpy(key, value.text.data(), n);
      std::memset(key + n, 0x20, keyLen_ - n);
      break;
    }
    case KeyType::kNumeric:
      EncodeDouble(value.number, key);
      break;
    case KeyType::kInteger: {
      double v = std::clamp(value.number, -2147483648.0, 2147483647.0);
      EncodeInt32(static_cast<int32_t>(v), key);
      break;
    }
    case KeyType::kDate:
      EncodeDouble(static_cast<double>(value.date), key);
      break;
    case KeyType::kDateTime:
      // Julian day plus the fraction of the day.
      EncodeDouble(static_cast<double>(value.date) / 86400000.0, key);
      break;
    case KeyType::kLogical:
      key[0] = value.logical ? 'T' : 'F';
      break;
  }
}

Status KeyMaker::Make(const expr::ExprSource& src, uint8_t* key, bool* included) const {
  *included = true;
  if (forExpr_ != nullptr) {
    XCE_RETURN_IF_ERROR(forExpr_->EvalLogical(src, included));
    if (!*included) {
      return Status::Ok();
    }
  }
  if (type_ == KeyType::kCharacter) {
    std::string_view text;
    XCE_RETURN_IF_ERROR(keyExpr_->EvalCharacter(src, &text));
    std::size_t n = std::min<std::size_t>(text.size(), keyLen_);
    std::memcpy(key, text.data(), n);
    std::memset(key + n, 0x20, keyLen_ - n);
    return Status::Ok();
  }
  XCE_RETURN_IF_ERROR(keyExpr_->Evaluate(src, &value_));
  Encode(value_, key);
  return Status::Ok();
}

}  // namespace xce::cdx
