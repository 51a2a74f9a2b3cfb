// The catalogue's components made from their declarations, and bound to
// real tables.

#include "catalogue_components.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

#include "app_test_support.h"
#include "catalogue.h"

namespace {

struct Recorder {
  std::vector<std::string> asked;
  std::vector<std::string> called;
  TCatalogueHandlers Handlers() {
    TCatalogueHandlers h;
    h.notify = [this](const std::string& name) -> TDataSet::TDataSetNotifyEvent {
      asked.push_back(name);
      return [this, name](TDataSet&) { called.push_back(name); };
    };
    h.filterRecord = [this](const std::string& name) -> TDataSet::TFilterRecordEvent {
      asked.push_back(name);
      return [this, name](TDataSet&, bool&) { called.push_back(name); };
    };
    return h;
  }
};

TEST(CatalogueComponentsTest, ComponentsCarryTheirDeclarations) {
  Recorder r;
  auto c = CreateCatalogueComponents("Form1", r.Handlers());
  TXdsConnection& conn = *c->XdsConnection1;
  EXPECT_EQ(conn.Name(), "XdsConnection1");
  EXPECT_EQ(conn.XdsServerTypes, static_cast<TXdsServerTypes>(stXDS_LOCAL));
  EXPECT_FALSE(conn.LoginPrompt);
  EXPECT_FALSE(conn.IsConnected());
  for (const catalogue::TTableDecl& decl : catalogue::Catalogue().Tables) {
    SCOPED_TRACE(decl.Name);
    TXdsTable* t = c->Table(decl.Name);
    ASSERT_NE(t, nullptr);
    EXPECT_FALSE(t->Active());
    EXPECT_EQ(t->XdsConnection(), &conn);
    EXPECT_EQ(t->TableName(), decl.TableName);
    EXPECT_EQ(t->TableType(), ttXdsCDX);
    EXPECT_TRUE(t->Exclusive());
    EXPECT_EQ(t->OwnerName(), "Form1");
    EXPECT_EQ(t->Filter(), decl.Filter);
    EXPECT_EQ(t->Filtered(), decl.Filtered);
    ASSERT_EQ(t->Fields().Count(), static_cast<int>(decl.Fields.size()));
    for (int i = 0; i < t->Fields().Count(); ++i) {
      const catalogue::TFieldDecl& f = decl.Fields[static_cast<size_t>(i)];
      TField* field = t->Fields()[i];
      EXPECT_EQ(field->Name(), f.Name);
      EXPECT_EQ(field->FieldName(), f.FieldName);
      EXPECT_EQ(field->DisplayName(), f.DisplayLabel.empty() ? f.FieldName : f.DisplayLabel);
      EXPECT_EQ(field->DisplayFormat(), f.DisplayFormat);
      if (f.DisplayWidth > 0) {
        EXPECT_EQ(field->DisplayWidth(), f.DisplayWidth);
      }
    }
  }
  TXdsTable& urls = *c->HDSUrls;
  EXPECT_EQ(urls.XdsTableOptions().XdsCharType(), OEM);
  EXPECT_EQ(urls.IndexCollationMismatch(), icmReindex);
  TField* type = urls.FindField("URL_TYPE");
  ASSERT_NE(type, nullptr);
  EXPECT_TRUE(type->Lookup());
  EXPECT_EQ(type->LookupDataSet(), c->HDSType.get());
  EXPECT_EQ(c->HDSType->FindField("TYPE_ID")->AutoGenerateValue(), arAutoInc);
  EXPECT_EQ(c->HDSTem->XdsTableOptions().XdsCharType(), ANSI);

  EXPECT_EQ(r.asked, (std::vector<std::string>{
                         "HDSTypeBeforeInsert", "HDSTypeBeforePost", "HDSTypeAfterDelete",
                         "HDSUrls_oldBeforeInsert", "HDSUrls_oldAfterInsert",
                         "HDSUrlsBeforeDelete", "HDSUrlsAfterDelete", "HDSUrls_old2FilterRecord"}));
  urls.BeforeInsert(urls);
  urls.AfterDelete(urls);
  bool accept = true;
  urls.OnFilterRecord()(urls, accept);
  c->HDSType->BeforePost(*c->HDSType);
  EXPECT_EQ(r.called,
            (std::vector<std::string>{"HDSUrls_oldBeforeInsert", "HDSUrlsAfterDelete",
                                      "HDSUrls_old2FilterRecord", "HDSTypeBeforePost"}));
}

TEST(CatalogueComponentsTest, AHandlerTheOwnerLacksFailsAtOnce) {
  TCatalogueHandlers none;
  EXPECT_THROW(CreateCatalogueComponents("Form1", none), std::logic_error);
}

TEST(CatalogueComponentsTest, DeclaredFieldsBindToTheCatalogueTables) {
  QTemporaryDir dir;
  std::filesystem::path fixtures(TAVO_FIXTURES_DIR);
  if (!std::filesystem::is_directory(fixtures / "catalogue")) {
    GTEST_SKIP() << "shared fixtures not found at " << fixtures;
  }
  for (const auto& entry : std::filesystem::directory_iterator(fixtures / "catalogue")) {
    if (entry.path().extension() != ".csv") {
      std::filesystem::copy_file(entry.path(),
                                 dir.path().toStdString() + "/" + entry.path().filename().string());
    }
  }
  Recorder r;
  auto c = CreateCatalogueComponents("Form1", r.Handlers());
  c->XdsConnection1->SetConnectPath(dir.path().toStdString());
  c->XdsConnection1->SetIsConnected(true);
  // The URL table's filter expression and its lookup of link types wait for
  // the filter and locate layer (it opens while the link types are closed);
  // its fields bind all the same.
  c->HDSUrls->SetFiltered(false);
  for (TXdsTable* t : {c->HDSUrls.get(), c->HDSTem.get(), c->HDSType.get(), c->HDSUrlIn.get()}) {
    SCOPED_TRACE(t->Name());
    ASSERT_NO_THROW(t->Open());
    EXPECT_FALSE(t->DefaultFields());
  }
  EXPECT_EQ(c->HDSUrls->FieldByName("URL_ID")->AsInteger(), 1);
  EXPECT_EQ(c->HDSUrls->FieldByName("URL")->AsString(), "www.example.com");
  EXPECT_FALSE(c->HDSUrls->FieldByName("DESCR")->IsNull());
  EXPECT_EQ(c->HDSTem->FieldByName("INID")->AsInteger(), 1);
  EXPECT_FALSE(c->HDSType->IsEmpty());
}

}  // namespace

namespace {

class MainWindowComponentsTest : public apptest::WorkingDirTest {};

TEST_F(MainWindowComponentsTest, TheWindowOwnsTheComponentsUnopened) {
  // No catalogue in the folder: start-up stops at the first table, before
  // any is open.
  for (const auto& e : std::filesystem::directory_iterator(Dir())) {
    std::filesystem::remove(e.path());
  }
  TForm1* form = MakeForm();
  ASSERT_NE(form->HDSUrls, nullptr);
  EXPECT_EQ(form->HDSUrls, form->Components->HDSUrls.get());
  EXPECT_EQ(form->HDSTem->Name(), "HDSTem");
  EXPECT_EQ(form->HDSUrlIn->XdsConnection(), form->XdsConnection1);
  for (TXdsTable* t : {form->HDSTem, form->HDSType, form->HDSUrlIn, form->HDSUrls}) {
    EXPECT_FALSE(t->Active()) << t->Name();
  }
}

}  // namespace
