#include "cdx/cdx_key.h"

#include <cmath>
#include <cstring>

namespace xce::cdx {

int FixedKeyLength(KeyType type) {
  switch (type) {
    case KeyType::kInteger:
      return 4;
    case KeyType::kLogical:
      return 1;
    case KeyType::kNumeric:
    case KeyType::kDate:
    case KeyType::kDateTime:
      return 8;
    case KeyType::kCharacter:
      break;
  }
  return 0;
}

void EncodeDouble(double value, uint8_t out[8]) {
  if (value == 0.0 || std::isnan(value)) {
    value = 0.0;
  }
  uint64_t bits;
  std::memcpy(&bits, &value, 8);
  if (bits >> 63) {
    bits = ~bits;
  } else {
    bits ^= uint64_t{1} << 63;
  }
  for (int i = 0; i < 8; ++i) {
    out[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
  }
}

double DecodeDouble(const uint8_t in[8]) {
  uint64_t bits = 0;
  for (int i = 0; i < 8; ++i) {
    bits = (bits << 8) | in[i];
  }
  if (bits >> 63) {
    bits ^= uint64_t{1} << 63;
  } else {
    bits = ~bits;
  }
  double value;
  std::memcpy(&value, &bits, 8);
  return value;
}

void EncodeInt32(int32_t value, uint8_t out[4]) {
  uint32_t u = static_cast<uint32_t>(value) ^ 0x80000000u;
  for (int i = 0; i < 4; ++i) {
    out[i] = static_cast<uint8_t>(u >> (24 - 8 * i));
  }
}

int32_t DecodeInt32(const uint8_t in[4]) {
  uint32_t u = (uint32_t{in[0]} << 24) | (uint32_t{in[1]} << 16) | (uint32_t{in[2]} << 8) | in[3];
  return static_cast<int32_t>(u ^ 0x80000000u);
}

int64_t JulianDay(int year, int month, int day) {
  // The usual civil-to-julian formula; a and m shift the year to start in March.
  int64_t a = (14 - month) / 12;
  int64_t y = int64_t{year} + 4800 - a;
  int64_t m = month + 12 * a - 3;
  return day + (153 * m + 2) / 5 + 365 * y + y / 4 - y / 100 + y / 400 - 32045;
}

void EncodeCharacter(std::string_view text, int width, uint8_t* out) {
  std::size_t n = text.size() < static_cast<std::size_t>(width) ? text.size() : width;
  std::memcpy(out, text.data(), n);
  std::memset(out + n, 0x20, width - n);
}

}  // namespace xce::cdx
