// Display text of stored numbers: the one-pass rewriting of plain numbers
// against a reference computed through a double, and the forms it leaves to
// the general conversion.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "dbf_format.h"

namespace xce {
namespace {

FieldInfo NumericField(uint32_t length, uint8_t decimals) {
  FieldInfo f;
  f.name = "N";
  f.type = 'N';
  f.offset = 1;
  f.length = length;
  f.decimals = decimals;
  f.engineType = kTypeNumeric;
  return f;
}

std::string Shown(const std::string& stored, uint8_t decimals) {
  FieldInfo f = NumericField(static_cast<uint32_t>(stored.size()), decimals);
  std::string image = " " + stored;
  return FieldDisplayText(f, image.data());
}

// What the value reads as, printed with `decimals` places; no minus on zero.
std::string Reference(const std::string& stored, int decimals) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, std::strtod(stored.c_str(), nullptr));
  std::string s = buf;
  if (s[0] == '-' && s.find_first_not_of("-0.") == std::string::npos) {
    s.erase(0, 1);
  }
  return s;
}

TEST(NumericDisplayText, PlainNumbersMatchTheirValue) {
  std::mt19937 rng(3);
  for (int round = 0; round < 20000; ++round) {
    const int decimals = static_cast<int>(rng() % 5);
    const int intDigits = static_cast<int>(rng() % 9);
    const int fracDigits = decimals == 0 ? 0 : static_cast<int>(rng() % (decimals + 1));
    std::string text = rng() % 3 == 0 ? "-" : "";
    for (int i = 0; i < intDigits; ++i) {
      text += static_cast<char>('0' + (i == 0 && rng() % 2 ? 0 : rng() % 10));
    }
    if (fracDigits > 0 || rng() % 4 == 0) {
      text += '.';
    }
    for (int i = 0; i < fracDigits; ++i) {
      text += static_cast<char>('0' + rng() % 10);
    }
    const std::string stored = std::string(rng() % 4, ' ') + text + std::string(rng() % 2, ' ');
    SCOPED_TRACE("stored \"" + stored + "\", " + std::to_string(decimals) + " decimals");
    EXPECT_EQ(Shown(stored, static_cast<uint8_t>(decimals)), Reference(text, decimals));
  }
}

TEST(NumericDisplayText, OtherFormsTakeTheGeneralWay) {
  EXPECT_EQ(Shown("          ", 0), "0");
  EXPECT_EQ(Shown("      ", 2), "0.00");
  EXPECT_EQ(Shown("    -0", 0), "0");
  EXPECT_EQ(Shown(" -0.00", 2), "0.00");
  EXPECT_EQ(Shown("    +5", 0), "5");
  EXPECT_EQ(Shown("  1.26", 1), "1.3");  // more decimals stored than shown: rounded
  EXPECT_EQ(Shown(" 1.5E3", 0), "1500");
  EXPECT_EQ(Shown("******", 0), "******");
  EXPECT_EQ(Shown(std::string("  12\0\0", 6), 0), "12");
  EXPECT_EQ(Shown("000042", 0), "42");
}

}  // namespace
}  // namespace xce
