// UPPER(field) compared with a text, answered from a tag whose key is the
// field itself: the records the tag names are exactly those the evaluator
// accepts, in either code page, under either exact setting.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cdx/table_index.h"
#include "cdx_test_util.h"
#include "codepage.h"
#include "table.h"
#include "table_filter.h"
#include "test_util.h"

namespace xce::cdx {
namespace {

using xcetest::TempDir;

// Opens a table exclusively with its indexes, in the OEM code page when asked.
void Open(const std::string& path, bool oem, uint32_t raw, std::shared_ptr<Table>* t,
          std::shared_ptr<TableIndexes>* indexes) {
  OpenOptions o;
  o.exclusive = true;
  o.oem = oem;
  o.rawOptions = raw;
  ASSERT_TRUE(Table::Open(FileSystem::Default(), path, o, t).ok());
  ASSERT_TRUE(TableIndexes::Attach(*t, raw, indexes).ok());
  if (*indexes == nullptr) {
    *indexes = TableIndexes::Ensure(*t);
  }
}

// Writes NAME (8 characters, tag NAME on the field alone) with `names`,
// given in CP1251 and stored in the table's code page.
void MakeTable(const std::string& path, bool oem, const std::vector<std::string>& names) {
  ASSERT_TRUE(Table::Create(FileSystem::Default(), path, {{"NAME", 'C', 8, 0}}, oem).ok());
  std::shared_ptr<Table> t;
  std::shared_ptr<TableIndexes> indexes;
  Open(path, oem, 0, &t, &indexes);
  for (const std::string& name : names) {
    ASSERT_TRUE(t->StartAppend().ok());
    ASSERT_TRUE(t->SetFieldText(1, oem ? AnsiToOem(name) : name, false).ok());
    ASSERT_TRUE(t->CommitPending().ok());
  }
  ASSERT_TRUE(indexes->CreateTag({"NAME", "NAME", "", false, false}).ok());
  ASSERT_TRUE(t->Close().ok());
}

struct Answer {
  bool resolved = false;
  bool complete = false;
  std::vector<uint32_t> fromTag;
  std::vector<uint32_t> evaluated;  // every record the expression accepts
};

Answer Ask(Table& t, TableIndexes& indexes, const std::string& text) {
  Answer a;
  TableRecordSource src(t);
  std::unique_ptr<expr::Expression> e;
  Status s = CompileCondition(text, src, &e);
  EXPECT_TRUE(s.ok()) << s.message();
  if (!s.ok()) {
    return a;
  }
  RecordSet set;
  s = indexes.ResolveAof(t, *e, &set, &a.resolved, &a.complete);
  EXPECT_TRUE(s.ok()) << s.message();
  std::vector<char> image(t.recordLength());
  for (uint32_t r = 1; r <= t.RecordCount(); ++r) {
    if (set.Test(r)) {
      a.fromTag.push_back(r);
    }
    bool match = false;
    EXPECT_TRUE(t.ReadRecord(r, image.data()).ok());
    src.Bind(image.data(), r);
    EXPECT_TRUE(e->EvalLogical(src, &match).ok());
    if (match) {
      a.evaluated.push_back(r);
    }
  }
  return a;
}

// Records 13 to 16: Сайт, САЙТ, сАйТ, сайт1; then Ёлки, ёлки, ЁЛКИ 2 and елки
// (not a case of Ё).
const std::vector<std::string> kNames = {"ab",
                                         "AB",
                                         "Ab",
                                         "aB",
                                         "abc",
                                         "ABX",
                                         "abcdefgh",
                                         "ABCDEFGH",
                                         "a b",
                                         " ab",
                                         "",
                                         "   ",
                                         "\xD1\xE0\xE9\xF2",
                                         "\xD1\xC0\xC9\xD2",
                                         "\xF1\xC0\xE9\xD2",
                                         "\xF1\xE0\xE9\xF2"
                                         "1",
                                         "\xA8\xEB\xEA\xE8",
                                         "\xB8\xEB\xEA\xE8",
                                         "\xA8\xCB\xCA\xC8 2",
                                         "\xE5\xEB\xEA\xE8",
                                         "z",
                                         "Z9",
                                         "ab",
                                         "AB"};

TEST(CaseVariantFilterTest, TheTagNamesTheRecordsTheEvaluatorAccepts) {
  // Texts of expressions are CP1251 whatever the table's code page.
  const std::vector<std::string> filters = {
      "UPPER(NAME) = \"AB\"",
      "UPPER(NAME) = UPPER(\"aB\")",
      "UPPER(NAME) = \"\"",
      "UPPER(NAME) = \"   \"",
      "UPPER(NAME) = \"AB  \"",
      "UPPER(NAME) = \"A B\"",
      "UPPER(NAME) = \" AB\"",
      "UPPER(NAME) = \"ABCDEFGH\"",
      "UPPER(NAME) = \"ABCDEFGHI\"",  // longer than the key
      "UPPER(NAME) = \"ABCDEFGH \"",
      "UPPER(NAME) = \"ab\"",  // no upper case is a small letter
      "UPPER(NAME) == \"AB      \"",
      "UPPER(NAME) == \"AB\"",
      "UPPER(NAME) <> \"AB\"",
      "UPPER(NAME) = UPPER(\"\xF1\xC0\xE9\")",  // сАй
      "UPPER(NAME) = \"\xA8\xCB\"",             // ЁЛ
      "UPPER(NAME) = \"\xC5\xCB\"",             // ЕЛ
      "\"AB\" == UPPER(NAME)",
  };
  for (bool oem : {false, true}) {
    TempDir dir;
    const std::string path = dir.str() + "/cv.dbf";
    MakeTable(path, oem, kNames);
    std::shared_ptr<Table> t;
    std::shared_ptr<TableIndexes> indexes;
    Open(path, oem, 0, &t, &indexes);
    for (bool exact : {false, true}) {
      t->SetExact(exact);
      for (const std::string& f : filters) {
        SCOPED_TRACE(f + (oem ? " cp866" : " cp1251") + (exact ? " exact" : ""));
        Answer a = Ask(*t, *indexes, f);
        EXPECT_TRUE(a.resolved && a.complete);
        EXPECT_EQ(a.fromTag, a.evaluated);
      }
    }
    // The mixed cases of a Cyrillic word are found from the tag.
    t->SetExact(false);
    const std::string word = "UPPER(NAME) = \"\xD1\xC0\xC9\xD2\"";  // САЙТ
    Answer a = Ask(*t, *indexes, word);
    EXPECT_EQ(a.fromTag, (std::vector<uint32_t>{13, 14, 15, 16}));
    ASSERT_TRUE(t->Close().ok());
  }
}

// Keys sorted under another collation are not the field's bytes, and a
// text matching more records than are worth collecting from the tag (the
// records answer sooner): both are left to the records.
TEST(CaseVariantFilterTest, ForeignCollationsAndTooManyVariantsAreLeftToTheRecords) {
  TempDir dir;
  const std::string path = dir.str() + "/cv.dbf";
  std::vector<std::string> names;
  for (uint32_t mix = 0; mix < 17 * 256; ++mix) {  // each case mix of 8 letters 17 times
    std::string name = "abcdefgh";
    for (std::size_t i = 0; i < name.size(); ++i) {
      if ((mix >> i) & 1) {
        name[i] = static_cast<char>(name[i] - 'a' + 'A');
      }
    }
    names.push_back(name);
  }
  names.push_back("zz");
  MakeTable(path, false, names);
  std::shared_ptr<Table> t;
  std::shared_ptr<TableIndexes> indexes;
  Open(path, false, 0, &t, &indexes);
  EXPECT_FALSE(Ask(*t, *indexes, "UPPER(NAME) = \"ABCDEFGH\"").resolved);
  Answer few = Ask(*t, *indexes, "UPPER(NAME) = \"ABC\" OR UPPER(NAME) = \"Z\"");
  EXPECT_FALSE(few.complete);
  EXPECT_EQ(few.evaluated.size(), 17u * 256 + 1);
  EXPECT_TRUE(Ask(*t, *indexes, "UPPER(NAME) = \"ZZ\"").resolved);
  const uint32_t header = indexes->tag(indexes->FindTag("NAME")).tag->header_offset();
  ASSERT_TRUE(t->Close().ok());
  t.reset();
  indexes.reset();

  std::string cdx = xcetest::ReadBytes(dir.path() / "cv.cdx");
  cdx.replace(header + 494, 8, std::string("GENERAL\0", 8));
  xcetest::WriteBytes(dir.path() / "cv.cdx", cdx);
  Open(path, false, kOptIgnoreCollation, &t, &indexes);
  EXPECT_FALSE(Ask(*t, *indexes, "UPPER(NAME) = \"ZZ\"").resolved);
  EXPECT_FALSE(Ask(*t, *indexes, "NAME = \"zz\"").resolved);
  ASSERT_TRUE(t->Close().ok());
}

}  // namespace
}  // namespace xce::cdx
