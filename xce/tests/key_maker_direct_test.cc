// Keys that bulk builds read straight off the record image equal the keys
// the expression evaluator gives, for every field kind and value they take.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "cdx/cdx_node.h"
#include "cdx/key_maker.h"
#include "expr_fake_source.h"

namespace xce::cdx {
namespace {

using expr::FakeSource;

TEST(KeyMakerDirectTest, DirectKeysEqualEvaluatedKeys) {
  FakeSource src(FakeSource::CatalogueSpecs());
  struct Form {
    const char* expr;
    int storedKeyLen;  // 0: a new tag
    bool direct;
  } forms[] = {
      {"URL", 0, true},
      {"URL+NAME", 0, true},
      {"URL+NAME", 45, true},  // an older tag keeps a shorter key
      {"STR(TEM_ID,10)+STR(URL_ID,10)", 0, true},
      {"STR(URL_ID)", 0, true},
      {"STR(URL_ID,3)", 0, true},  // too wide: asterisks
      {"STR(PRICE,8,2)+NAME", 0, true},
      {"STR(PRICE,5,3)", 0, true},  // decimals dropped to fit
      {"STR(I,6)+STR(B,12,3)+STR(Y,14,4)", 0, true},
      {"NAME+STR(URL_ID,10)", 25, true},  // cut inside the number
      {"URL_ID", 0, true},
      {"PRICE", 0, true},
      {"URL_ID", 4, true},  // integer keys of an older tag
      {"I", 0, true},
      {"B", 0, true},
      {"Y", 0, true},
      {"UPPER(URL)", 0, false},
      {"TRIM(URL)+NAME", 0, false},
      {"URL-NAME", 0, false},
      {"STR(URL_ID+1,10)", 0, false},
      {"DTOS(D)", 0, false},
      {"URL_ID+TEM_ID", 0, false},
  };
  struct Values {
    const char* text;  // URL, NAME, URL_ID, TEM_ID, PRICE as stored
    int32_t i;
    double b;
    int64_t y;
  } values[] = {
      {"", 0, 0, 0},  // a blank record
      {"http://a.example/x", 1, 1.5, 10000},
      {"-", -2147483647, -0.0004, -123456789},
      {"\xc0\xff\x01", 2147483647, 1e300, INT64_MAX},
      {"9999999999", -1, -2.5, 5},
      {"  007", 42, 0.125, -5},
      {"1.5e3", 7, -1e-9, 1},
      {"-12.345", -7, 123456.0005, 99},
      {"12a", 0, 2.675, 0},
  };
  std::vector<uint8_t> evaluated(kMaxKeyLength + 1), direct(kMaxKeyLength + 1);
  for (const Form& form : forms) {
    SCOPED_TRACE(std::string(form.expr) + " key length " + std::to_string(form.storedKeyLen));
    std::unique_ptr<KeyMaker> maker;
    Status s = KeyMaker::Create(form.expr, "", src, form.storedKeyLen, &maker);
    ASSERT_TRUE(s.ok()) << s.message();
    ASSERT_EQ(maker->direct(), form.direct);
    if (!form.direct) {
      continue;
    }
    for (const Values& v : values) {
      SCOPED_TRACE(v.text);
      src.Clear();
      src.SetRaw("URL", v.text);
      src.SetRaw("NAME", v.text);
      src.SetNumber("URL_ID", std::string(v.text).substr(0, 10));
      src.SetRaw("TEM_ID", std::string(v.text).substr(0, 10));  // left aligned
      src.SetNumber("PRICE", std::string(v.text).substr(0, 8));
      src.SetBinary<int32_t>("I", v.i);
      src.SetBinary<double>("B", v.b);
      src.SetBinary<int64_t>("Y", v.y);
      bool included = false;
      ASSERT_TRUE(maker->Make(src, evaluated.data(), &included).ok());
      ASSERT_TRUE(included);
      std::fill(direct.begin(), direct.end(), 0xEE);
      maker->MakeDirect(src.RecordImage(), direct.data());
      const auto n = static_cast<std::ptrdiff_t>(maker->key_len());
      EXPECT_EQ(std::vector<uint8_t>(direct.begin(), direct.begin() + n),
                std::vector<uint8_t>(evaluated.begin(), evaluated.begin() + n));
      EXPECT_EQ(direct[maker->key_len()], 0xEE) << "written past the key";
    }
  }
}

}  // namespace
}  // namespace xce::cdx
