// What the files of a table's indexes share about a tag's keys: whether a
// build can read them straight off the record images, and the stored form
// of a key in a tag whose key may be null.
#pragma once

#include <cstdint>
#include <vector>

#include "cdx/table_index.h"

namespace xce::cdx {

constexpr uint8_t kNullableMark = 0x80;  // first key byte of a non-null nullable key
constexpr uint32_t kBuildChunk = 4096;   // records read per batch when building

inline bool Nullable(const CdxTag* tag) { return (tag->options() & kOptNullable) != 0; }

// Keys a bulk build reads straight off the record images: every record is
// in the tag and no field of the key can be null.
inline bool DirectKeys(const KeyMaker& maker, bool nullable) {
  return !nullable && !maker.has_for() && maker.direct();
}
inline bool DirectKeys(const TableIndexes::Tag& t) { return DirectKeys(*t.maker, Nullable(t.tag)); }

// The table's nullable fields that a key expression reads.
std::vector<uint16_t> NullableFieldsOf(const Table& table, const KeyMaker& maker);

// The stored key of a record in a nullable tag: all zeros for a null value
// (so it sorts first), else the non-null mark and the value's key.
Status MakeNullableKey(const Table& table, const KeyMaker& maker,
                       const std::vector<uint16_t>& nullable, const expr::ExprSource& src,
                       uint8_t* key, bool* included);

}  // namespace xce::cdx
