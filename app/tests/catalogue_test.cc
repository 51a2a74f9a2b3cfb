#include "catalogue.h"

#include <gtest/gtest.h>

#include <set>

namespace catalogue {
namespace {

// The declarations must agree with themselves: every field object names a
// declared field (or, for a lookup, declared key and result fields), every
// simple index key is a field, and every table is where the others expect.
TEST(CatalogueTest, DeclarationsAreConsistent) {
  const TCatalogueDecl& c = Catalogue();
  ASSERT_EQ(c.Tables.size(), 4u);
  struct File {
    const char* component;
    const char* file;
  } files[] = {{"HDSTem", "TEM.dbf"},
               {"HDSType", "TYPE.DBF"},
               {"HDSUrlIn", "URLIN.DBF"},
               {"HDSUrls", "urls.DBF"}};
  for (const File& f : files) {
    const TTableDecl* t = FindTable(f.component);
    ASSERT_NE(t, nullptr) << f.component;
    EXPECT_EQ(t->TableName, f.file);
    EXPECT_EQ(t->XdsConnection, c.Connection.Name);
    EXPECT_TRUE(t->Exclusive);
    EXPECT_FALSE(t->Active);
    std::set<std::string> names;
    for (const TFieldDefDecl& d : t->FieldDefs) {
      EXPECT_TRUE(names.insert(d.Name).second) << d.Name;
      if (d.DataType == TFieldType::ftFloat) {
        EXPECT_GE(d.Precision, 10) << d.Name;  // holds 2 147 483 647
      }
    }
    for (const TIndexDefDecl& i : t->IndexDefs) {
      if (i.Expression.find('(') == std::string::npos) {
        EXPECT_TRUE(names.count(i.Expression)) << t->Name << "." << i.Name;
      }
    }
    for (const TFieldDecl& f : t->Fields) {
      EXPECT_EQ(f.Name, t->Name + f.FieldName);
      if (f.FieldKind == TFieldKind::fkData) {
        EXPECT_TRUE(names.count(f.FieldName)) << f.Name;
        continue;
      }
      EXPECT_TRUE(names.count(f.KeyFields)) << f.Name;
      const TTableDecl* lookup = FindTable(f.LookupDataSet);
      ASSERT_NE(lookup, nullptr) << f.Name;
      bool key = false, result = false;
      for (const TFieldDefDecl& d : lookup->FieldDefs) {
        key = key || d.Name == f.LookupKeyFields;
        result = result || d.Name == f.LookupResultField;
      }
      EXPECT_TRUE(key && result) << f.Name;
    }
  }
  EXPECT_EQ(FindTable(c.DataSource.DataSet), FindTable("HDSUrls"));
}

TEST(CatalogueTest, UrlTableDeclaration) {
  const TTableDecl& urls = *FindTable("HDSUrls");
  EXPECT_EQ(urls.CharType, TXdsCharType::OEM);
  EXPECT_EQ(urls.IndexCollationMismatch, TIndexCollationMismatch::icmReindex);
  EXPECT_EQ(urls.Filter, "not deleted()");
  EXPECT_TRUE(urls.Filtered);
  ASSERT_EQ(urls.Fields.size(), 6u);
  EXPECT_EQ(urls.Fields[0].Name, "HDSUrlsURL_TYPE");
  EXPECT_EQ(urls.Fields[0].DisplayLabel, "\xd2\xe8\xef");
  EXPECT_EQ(urls.Fields[0].Size, 20);
  EXPECT_EQ(FindField(urls, "HDSUrlsURL")->DisplayLabel, "");
  EXPECT_EQ(FindField(urls, "HDSUrlsNAME")->DisplayLabel, "\xcd\xe0\xe7\xe2\xe0\xed\xe8\xe5");
  EXPECT_EQ(FindTable("HDSTem")->CharType, TXdsCharType::ANSI);
  EXPECT_EQ(FindTable("HDSType")->IndexCollationMismatch, TIndexCollationMismatch::icmError);
}

}  // namespace
}  // namespace catalogue
