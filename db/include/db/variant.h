// TVariant: a field value of any kind, or null, or an array of values (the
// several values of a multi-field Locate or Lookup).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "db/db_types.h"

class TVariant {
 public:
  enum Kind { vkNull, vkBoolean, vkInteger, vkFloat, vkDateTime, vkString, vkArray };

  TVariant() = default;
  TVariant(bool value) : kind_(vkBoolean), int_(value ? 1 : 0) {}                      // NOLINT
  TVariant(int value) : kind_(vkInteger), int_(value) {}                               // NOLINT
  TVariant(int64_t value) : kind_(vkInteger), int_(value) {}                           // NOLINT
  TVariant(double value) : kind_(vkFloat), float_(value) {}                            // NOLINT
  TVariant(const char* value) : kind_(vkString), string_(value) {}                     // NOLINT
  TVariant(std::string value) : kind_(vkString), string_(std::move(value)) {}          // NOLINT
  TVariant(std::vector<TVariant> items) : kind_(vkArray), items_(std::move(items)) {}  // NOLINT
  static TVariant FromDateTime(TDateTime value);

  Kind GetKind() const { return kind_; }
  bool IsNull() const { return kind_ == vkNull; }
  bool IsArray() const { return kind_ == vkArray; }
  const std::vector<TVariant>& Items() const { return items_; }

  // Conversions; a null gives "", 0 or false. A string that does not
  // convert raises EConvertError.
  std::string AsString() const;
  int64_t AsInteger() const;
  double AsFloat() const;
  bool AsBoolean() const;
  TDateTime AsDateTime() const;

  // Equal kinds compare by value; numbers compare numerically; a string and
  // a number compare as text. Null equals only null.
  bool operator==(const TVariant& other) const;

 private:
  Kind kind_ = vkNull;
  int64_t int_ = 0;
  double float_ = 0;
  std::string string_;
  std::vector<TVariant> items_;
};
