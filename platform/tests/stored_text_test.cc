#include "stored_text.h"

#include <gtest/gtest.h>

#include <string>

#include "cp1251.h"
#include "utf8.h"

namespace platform {
namespace {

constexpr bool kAnsi = false;
constexpr bool kOem = true;

TEST(StoredTextTest, CharactersTheCodePageLacksBecomeReferences) {
  const std::u16string typed = u"Test 中文 😀 € №";
  // "€" is in the program's character set but not in 866; "№" is in both.
  EXPECT_EQ(EncodeText(typed, kAnsi), "Test &#20013;&#25991; &#128512; \x88 \xb9");
  EXPECT_EQ(EncodeText(typed, kOem), "Test &#20013;&#25991; &#128512; &#8364; \xb9");
  for (bool oem : {kAnsi, kOem}) {
    EXPECT_EQ(DecodeText(EncodeText(typed, oem), oem), typed);
  }
  // Russian text, quotes and dashes the OEM page lacks.
  EXPECT_EQ(EncodeText(u"«Привет» — Ёж", kAnsi), Utf8ToCp1251("«Привет» — Ёж"));
  EXPECT_EQ(EncodeText(u"«Привет» — Ёж", kOem),
            "&#171;" + Utf8ToCp1251("Привет") + "&#187; &#8212; " + Utf8ToCp1251("Ёж"));
  EXPECT_EQ(DecodeText(EncodeText(u"«Привет» — Ёж", kOem), kOem), u"«Привет» — Ёж");
  EXPECT_EQ(EncodeText(u"München Straße", kOem), "M&#252;nchen Stra&#223;e");
}

TEST(StoredTextTest, SurrogatePairsAndLoneHalves) {
  // A pair is one character; a half without its partner cannot be stored.
  EXPECT_EQ(EncodeText(u"\U0001F600\U0010FFFF", kAnsi), "&#128512;&#1114111;");
  EXPECT_EQ(DecodeText("&#128512;&#1114111;", kAnsi), u"\U0001F600\U0010FFFF");
  const char16_t lone[] = {u'a', 0xD83D, u'b', 0xDE00, 0xD83D};
  EXPECT_EQ(EncodeText(std::u16string_view(lone, 5), kAnsi), "a?b??");
  const char16_t reversed[] = {0xDE00, 0xD83D};
  EXPECT_EQ(EncodeText(std::u16string_view(reversed, 2), kAnsi), "??");
}

TEST(StoredTextTest, ATypedAmpersandHashRoundTrips) {
  for (std::u16string typed :
       {u"&#", u"&#252;", u"&#38;", u"&#38;#", u"a&&#b", u"&amp;", u"x&#", u"&", u"#&"}) {
    for (bool oem : {kAnsi, kOem}) {
      EXPECT_EQ(DecodeText(EncodeText(typed, oem), oem), typed) << EncodeText(typed, oem);
    }
  }
  EXPECT_EQ(EncodeText(u"&#252;", kAnsi), "&#38;#252;");
  EXPECT_EQ(EncodeText(u"A & B &amp; C", kAnsi), "A & B &amp; C");  // only "&#" is guarded
  EXPECT_EQ(EncodeTextUtf8("&#ü", kOem), "&#38;#&#252;");
}

TEST(StoredTextTest, TextThatIsNoReferenceReadsAsItStands) {
  // Text from the first platform's program: each "&" that EncodeText would
  // not have written stays as typed.
  for (std::string stored :
       {"A & B", "&amp;", "&#38;", "&#38; x", "&#065;", "&#0252;", "&#x fc;", "&#xFC;", "&#252",
        "&#;", "&#", "&", "&#12345678;", "&#1114112;", "&#55357;", "&#65;", "&#0;"}) {
    std::u16string plain;
    for (char c : stored) {
      plain.push_back(static_cast<char16_t>(static_cast<unsigned char>(c)));
    }
    EXPECT_EQ(DecodeText(stored, kAnsi), plain) << stored;
    EXPECT_EQ(DecodeText(stored, kOem), plain) << stored;
  }
  // A character the table holds is never written as a reference, so its
  // reference is someone's text: "&#1081;" is й, which both pages hold.
  EXPECT_EQ(DecodeText("&#1081;", kOem), u"&#1081;");
  // "€" is a reference only where the table cannot hold it.
  EXPECT_EQ(DecodeText("&#8364;", kAnsi), u"&#8364;");
  EXPECT_EQ(DecodeText("&#8364;", kOem), u"€");
  EXPECT_EQ(DecodeTextToUtf8("M&#252;nchen &#38;#1; &#8364;", kOem), "München &#1; €");
  EXPECT_EQ(DecodeTextToUtf8(Utf8ToCp1251("Ёж"), kOem), "Ёж");
}

TEST(StoredTextTest, Utf8InputMatchesUtf16Input) {
  bool referenced = true;
  EXPECT_EQ(EncodeTextUtf8("plain ASCII & Кириллица", kOem, &referenced),
            EncodeText(u"plain ASCII & Кириллица", kOem));
  EXPECT_FALSE(referenced);
  EXPECT_EQ(EncodeTextUtf8("Test 中文 😀 € №", kOem, &referenced),
            EncodeText(u"Test 中文 😀 € №", kOem));
  EXPECT_TRUE(referenced);
  // A malformed byte is the replacement character, one byte at a time.
  EXPECT_EQ(EncodeTextUtf8("a\xff\xc3", kAnsi), "a&#65533;&#65533;");
  EXPECT_EQ(EncodeTextUtf8("\xed\xa0\x80", kAnsi), "&#65533;&#65533;&#65533;");  // a surrogate
}

TEST(StoredTextTest, AddressesPercentEncodeWhatTheTableLacks) {
  EXPECT_EQ(EncodeAddress(u"https://пример.рф/путь?q=1&x=%20#top", kOem),
            Utf8ToCp1251("https://пример.рф/путь?q=1&x=%20#top"));
  EXPECT_EQ(EncodeAddress(u"https://example.com/München?€=😀", kOem),
            "https://example.com/M%C3%BCnchen?%E2%82%AC=%F0%9F%98%80");
  // "€" is in the program's character set, so an ANSI table keeps it.
  EXPECT_EQ(EncodeAddress(u"http://a/€", kAnsi), "http://a/\x88");
  EXPECT_EQ(EncodeAddress(u"http://a/&#1;", kOem), "http://a/&#1;");  // no references here
  const char16_t lone[] = {u'/', 0xD800};
  EXPECT_EQ(EncodeAddress(std::u16string_view(lone, 2), kOem), "/%EF%BF%BD");
}

TEST(StoredTextTest, CutsNeverSplitAReference) {
  const std::string stored = "ab&#20013;&#38;#c";  // "ab中&#c"
  // Cuts inside the reference fall back to before it.
  for (std::size_t limit = 2; limit < 10; ++limit) {
    EXPECT_EQ(TextCut(stored, limit, kAnsi), 2u) << limit;
  }
  EXPECT_EQ(TextCut(stored, 10, kAnsi), 10u);
  // The guarded "&" goes with its "#" or not at all.
  for (std::size_t limit = 10; limit < 16; ++limit) {
    EXPECT_EQ(TextCut(stored, limit, kAnsi), 10u) << limit;
  }
  EXPECT_EQ(TextCut(stored, 16, kAnsi), 16u);
  EXPECT_EQ(TextCut(stored, 17, kAnsi), 17u);
  EXPECT_EQ(TextCut(stored, 100, kAnsi), stored.size());
  EXPECT_EQ(TextCut(stored, 0, kAnsi), 0u);
  // Text that is no reference is cut where the limit falls.
  EXPECT_EQ(TextCut("a &#8364; b", 5, kAnsi), 5u);
  EXPECT_EQ(TextCut("a &#8364; b", 5, kOem), 2u);
  // A cut of a name of 100 characters of references keeps whole ones.
  std::u16string name(100, u'中');
  const std::string encoded = EncodeText(name, kOem);
  const std::size_t cut = TextCut(encoded, 100, kOem);
  EXPECT_EQ(cut, 96u);  // twelve references of eight bytes
  EXPECT_EQ(DecodeText(encoded.substr(0, cut), kOem), std::u16string(12, u'中'));
}

TEST(StoredTextTest, HeldCharacters) {
  EXPECT_TRUE(HoldsCharacter('?', kOem));
  EXPECT_TRUE(HoldsCharacter(U'я', kOem));
  EXPECT_TRUE(HoldsCharacter(U'№', kOem));
  EXPECT_TRUE(HoldsCharacter(U'€', kAnsi));
  EXPECT_FALSE(HoldsCharacter(U'€', kOem));
  EXPECT_FALSE(HoldsCharacter(U'ü', kAnsi));
  EXPECT_FALSE(HoldsCharacter(0xFFFD, kAnsi));
  EXPECT_FALSE(HoldsCharacter(0x1F600, kAnsi));
}

}  // namespace
}  // namespace platform
