#include "cdx/key_maker.h"

#include <algorithm>
#include <cstring>

#include "cdx/cdx_file.h"
#include "expr/node.h"

namespace xce::cdx {

namespace {

// Appends the fields of a key made only of character fields joined by "+",
// in order; false for any other key.
bool CharacterFieldChain(const expr::Node& n, std::vector<int>* fields) {
  if (n.op == expr::Op::kFieldC) {
    fields->push_back(n.field);
    return true;
  }
  return n.op == expr::Op::kConcat && CharacterFieldChain(*n.kid[0], fields) &&
         CharacterFieldChain(*n.kid[1], fields);
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
  const expr::Expression* forE = maker->forExpr_.get();
  maker->usesDeleted_ =
      maker->keyExpr_->UsesDeletedFlag() || (forE != nullptr && forE->UsesDeletedFlag());
  maker->usesRecno_ =
      maker->keyExpr_->UsesRecordNumber() || (forE != nullptr && forE->UsesRecordNumber());
  const expr::Expression& e = *maker->keyExpr_;
  switch (e.Type()) {
    case expr::ValueType::kCharacter:
      maker->type_ = KeyType::kCharacter;
      maker->keyLen_ = storedKeyLen > 0 ? storedKeyLen : e.Width();
      break;
    case expr::ValueType::kNumeric:
      maker->type_ = (storedKeyLen == 4 || (storedKeyLen == 0 && e.Root().op == expr::Op::kFieldI))
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

bool KeyMaker::CharacterFields(std::vector<int>* fields) const {
  fields->clear();
  return CharacterFieldChain(keyExpr_->Root(), fields);
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
