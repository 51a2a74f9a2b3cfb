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
  maker->FindDirectForm();
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
    case KeyType::kInteger:
      EncodeNumber(value.number, key);
      break;
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

void KeyMaker::EncodeNumber(double number, uint8_t* key) const {
  if (type_ == KeyType::kInteger) {
    EncodeInt32(static_cast<int32_t>(std::clamp(number, -2147483648.0, 2147483647.0)), key);
  } else {
    EncodeDouble(number, key);
  }
}

namespace {

bool IsNumericField(const expr::Node& n) {
  return n.op == expr::Op::kFieldN || n.op == expr::Op::kFieldI || n.op == expr::Op::kFieldB ||
         n.op == expr::Op::kFieldY;
}

}  // namespace

bool KeyMaker::AddDirectPieces(const expr::Node& n) {
  if (n.op == expr::Op::kFieldC) {
    direct_.push_back({&n});
    return true;
  }
  if (n.op == expr::Op::kStr && IsNumericField(*n.kid[0]) &&
      (n.kid[1] == nullptr || n.kid[1]->IsConst()) &&
      (n.kid[2] == nullptr || n.kid[2]->IsConst())) {
    Piece piece{n.kid[0].get()};
    expr::EvalContext constants;
    expr::StrLayout(n, constants, &piece.strLen, &piece.strDec);
    direct_.push_back(piece);
    return true;
  }
  return n.op == expr::Op::kConcat && AddDirectPieces(*n.kid[0]) && AddDirectPieces(*n.kid[1]);
}

void KeyMaker::FindDirectForm() {
  direct_.clear();
  const expr::Node& root = keyExpr_->Root();
  if (type_ == KeyType::kCharacter) {
    if (!AddDirectPieces(root)) {
      direct_.clear();
    }
  } else if ((type_ == KeyType::kNumeric || type_ == KeyType::kInteger) && IsNumericField(root)) {
    direct_.push_back({&root});
  }
}

void KeyMaker::MakeDirect(const char* image, uint8_t* key) const {
  expr::EvalContext c;
  c.record = image;
  if (type_ != KeyType::kCharacter) {
    EncodeNumber(expr::EvalN(*direct_[0].field, c), key);
    return;
  }
  // Pieces are written in place up to the key length; the rest is padding.
  int at = 0;
  for (const Piece& piece : direct_) {
    if (at >= keyLen_) {
      break;
    }
    const int room = keyLen_ - at;
    if (piece.strLen < 0) {
      const int n = std::min<int>(piece.field->length, room);
      std::memcpy(key + at, image + piece.field->offset, static_cast<std::size_t>(n));
      at += n;
      continue;
    }
    const double v = expr::EvalN(*piece.field, c);
    if (piece.strLen <= room) {
      expr::FormatStrInto(v, piece.strLen, piece.strDec, reinterpret_cast<char*>(key + at));
      at += piece.strLen;
    } else {
      char text[256];
      expr::FormatStrInto(v, piece.strLen, piece.strDec, text);
      std::memcpy(key + at, text, static_cast<std::size_t>(room));
      at = keyLen_;
    }
  }
  std::memset(key + at, 0x20, static_cast<std::size_t>(keyLen_ - at));
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
