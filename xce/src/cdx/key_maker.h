// Computes a tag's key (and whether its FOR condition admits the record)
// from a record, with the expression language.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "cdx/cdx_key.h"
#include "expr/expr.h"
#include "xce/status.h"

namespace xce::cdx {

class KeyMaker {
 public:
  // Compiles a tag's key and FOR expressions against the table's fields.
  // storedKeyLen is the key length of an existing tag (0 for a new one): it
  // tells 4-byte integer keys from 8-byte ones, and a character key keeps it.
  static Status Create(const std::string& keyExpr, const std::string& forExpr,
                       const expr::ExprSource& schema, int storedKeyLen,
                       std::unique_ptr<KeyMaker>* out);

  KeyType type() const { return type_; }
  int key_len() const { return keyLen_; }
  // True when the key or the FOR condition reads the deletion flag, so that
  // deleting or recalling a record changes the tag.
  bool uses_deleted() const { return usesDeleted_; }
  // True when the key or the FOR condition reads the record number, so that
  // renumbering records (pack) changes the tag.
  bool uses_recno() const { return usesRecno_; }
  // The compiled key expression.
  const expr::Expression& key_expr() const { return *keyExpr_; }
  // The field indexes of a key made only of character fields joined by "+",
  // in order; false (fields empty) for any other key.
  [[nodiscard]] bool CharacterFields(std::vector<int>* fields) const;
  bool has_for() const { return forExpr_ != nullptr; }
  // Fields the key expression names, in order (the key's segments).
  const std::vector<std::string>& segments() const { return keyExpr_->FieldNames(); }

  // Key of the source's current record into key (key_len() bytes); *included
  // is false when the FOR condition rejects the record.
  Status Make(const expr::ExprSource& src, uint8_t* key, bool* included) const;
  // True when the key is read straight off the record image by MakeDirect:
  // character fields and STR() of numeric fields joined by "+", or one
  // numeric field. Such keys cannot fail, so bulk builds take them without
  // the evaluator's context and status on every record.
  bool direct() const { return !direct_.empty(); }
  // The key of a record image, as Make gives it. REQUIRES: direct().
  void MakeDirect(const char* image, uint8_t* key) const;
  // Encodes a value of the key's type (as a seek or a scope gives it).
  void Encode(const expr::Value& value, uint8_t* key) const;

 private:
  // One piece of a direct key: a character field copied, or a numeric field
  // as STR() formats it (strLen >= 0), or the numeric field that is the key.
  struct Piece {
    const expr::Node* field;
    int strLen = -1;
    int strDec = 0;
  };
  void EncodeNumber(double number, uint8_t* key) const;
  // Fills direct_ when the compiled key has one of the direct forms.
  void FindDirectForm();
  [[nodiscard]] bool AddDirectPieces(const expr::Node& n);

  std::unique_ptr<expr::Expression> keyExpr_;
  std::vector<Piece> direct_;
  std::unique_ptr<expr::Expression> forExpr_;
  KeyType type_ = KeyType::kCharacter;
  int keyLen_ = 0;
  bool usesDeleted_ = false;
  bool usesRecno_ = false;
  mutable expr::Value value_;
};

}  // namespace xce::cdx
