#include "db/variant.h"

#include <cmath>
#include <limits>

#include "db/db_error.h"
#include "db/format.h"

TVariant TVariant::FromDateTime(TDateTime value) {
  TVariant v(value);
  v.kind_ = vkDateTime;
  return v;
}

std::string TVariant::AsString() const {
  switch (kind_) {
    case vkNull:
      return {};
    case vkBoolean:
      return int_ != 0 ? "True" : "False";
    case vkInteger:
      return std::to_string(int_);
    case vkFloat:
      return FloatToStr(float_);
    case vkDateTime:
      return FormatDateTime("c", float_);
    case vkString:
      return string_;
    case vkArray:
      break;
  }
  throw EConvertError("Could not convert variant array to string");
}

int64_t TVariant::AsInteger() const {
  switch (kind_) {
    case vkNull:
      return 0;
    case vkBoolean:
    case vkInteger:
      return int_;
    case vkFloat:
    case vkDateTime: {
      int64_t result = 0;
      if (!DoubleToInt(float_, std::numeric_limits<int64_t>::min() / 2,
                       std::numeric_limits<int64_t>::max() / 2, result)) {
        throw EConvertError(Format(dbmsg::kInvalidInteger, FloatToStr(float_).c_str()));
      }
      return result;
    }
    case vkString:
      return StrToInt(string_);
    case vkArray:
      break;
  }
  throw EConvertError("Could not convert variant array to integer");
}

double TVariant::AsFloat() const {
  switch (kind_) {
    case vkNull:
      return 0;
    case vkBoolean:
    case vkInteger:
      return static_cast<double>(int_);
    case vkFloat:
    case vkDateTime:
      return float_;
    case vkString:
      return StrToFloat(string_);
    case vkArray:
      break;
  }
  throw EConvertError("Could not convert variant array to float");
}

bool TVariant::AsBoolean() const {
  switch (kind_) {
    case vkNull:
      return false;
    case vkBoolean:
    case vkInteger:
      return int_ != 0;
    case vkFloat:
    case vkDateTime:
      return float_ != 0;
    case vkString: {
      std::string s = AnsiUpperCase(Trim(string_));
      if (s == "TRUE" || s == "T" || s == "Y" || s == "YES") {
        return true;
      }
      if (s == "FALSE" || s == "F" || s == "N" || s == "NO") {
        return false;
      }
      throw EConvertError(Format(dbmsg::kInvalidBoolean, string_.c_str()));
    }
    case vkArray:
      break;
  }
  throw EConvertError("Could not convert variant array to boolean");
}

TDateTime TVariant::AsDateTime() const {
  if (kind_ == vkString) {
    return StrToDateTime(string_);
  }
  return AsFloat();
}

bool TVariant::operator==(const TVariant& other) const {
  if (kind_ == vkNull || other.kind_ == vkNull) {
    return kind_ == other.kind_;
  }
  if (kind_ == vkArray || other.kind_ == vkArray) {
    return kind_ == other.kind_ && items_ == other.items_;
  }
  if (kind_ == vkString || other.kind_ == vkString) {
    return AsString() == other.AsString();
  }
  if ((kind_ == vkInteger || kind_ == vkBoolean) &&
      (other.kind_ == vkInteger || other.kind_ == vkBoolean)) {
    return int_ == other.int_;
  }
  return AsFloat() == other.AsFloat();
}
