#include "cdx/cdx_key.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <vector>

namespace xce::cdx {
namespace {

std::vector<uint8_t> Bytes(std::initializer_list<int> b) {
  return std::vector<uint8_t>(b.begin(), b.end());
}

TEST(CdxKeyTest, DoublesEncodeToTheDocumentedBytes) {
  struct Case {
    double value;
    std::vector<uint8_t> bytes;
  } cases[] = {
      {0.0, Bytes({0x80, 0, 0, 0, 0, 0, 0, 0})},
      {-0.0, Bytes({0x80, 0, 0, 0, 0, 0, 0, 0})},
      {1.0, Bytes({0xBF, 0xF0, 0, 0, 0, 0, 0, 0})},
      {-1.0, Bytes({0x40, 0x0F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
      {100.5, Bytes({0xC0, 0x59, 0x20, 0, 0, 0, 0, 0})},
      {-100.5, Bytes({0x3F, 0xA6, 0xDF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF})},
      {static_cast<double>(JulianDay(2000, 1, 1)), Bytes({0xC1, 0x42, 0xB4, 0x2C, 0x80, 0, 0, 0})},
  };
  for (const Case& c : cases) {
    uint8_t out[8];
    EncodeDouble(c.value, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 8), c.bytes) << c.value;
    EXPECT_EQ(DecodeDouble(out), c.value == 0 ? 0.0 : c.value);
  }
}

TEST(CdxKeyTest, IntegersEncodeToTheDocumentedBytes) {
  struct Case {
    int32_t value;
    std::vector<uint8_t> bytes;
  } cases[] = {{1, Bytes({0x80, 0, 0, 1})},
               {0, Bytes({0x80, 0, 0, 0})},
               {-1, Bytes({0x7F, 0xFF, 0xFF, 0xFF})}};
  for (const Case& c : cases) {
    uint8_t out[4];
    EncodeInt32(c.value, out);
    EXPECT_EQ(std::vector<uint8_t>(out, out + 4), c.bytes);
    EXPECT_EQ(DecodeInt32(out), c.value);
  }
}

TEST(CdxKeyTest, EncodedNumbersSortLikeTheNumbers) {
  const double values[] = {-1e300, -12345.5, -1, -0.25, 0, 1e-300, 0.5, 1, 99.99, 1e300};
  for (std::size_t i = 1; i < std::size(values); ++i) {
    uint8_t a[8], b[8];
    EncodeDouble(values[i - 1], a);
    EncodeDouble(values[i], b);
    EXPECT_LT(std::memcmp(a, b, 8), 0) << values[i - 1] << " " << values[i];
  }
  const int32_t ints[] = {INT32_MIN, -70000, -1, 0, 1, 65536, INT32_MAX};
  for (std::size_t i = 1; i < std::size(ints); ++i) {
    uint8_t a[4], b[4];
    EncodeInt32(ints[i - 1], a);
    EncodeInt32(ints[i], b);
    EXPECT_LT(std::memcmp(a, b, 4), 0);
  }
}

}  // namespace
}  // namespace xce::cdx
