#include "catalogue.h"

#include "catalogue/schema.h"

namespace catalogue {
namespace {

constexpr char kVersion[] = "6.2 (XCE 6.20)";

// A field of the table's files as the component declares it: a number is a
// float of its digits, a memo is declared with size 1.
TFieldDefDecl FieldDefOf(const XDSFIELDDEF& f) {
  switch (f.type) {
    case 'N':
      return {f.name, TFieldType::ftFloat, 0, f.length, f.decimals};
    case 'M':
      return {f.name, TFieldType::ftMemo, 1, 0, 0};
    default:
      return {f.name, TFieldType::ftString, f.length, 0, 0};
  }
}

TFieldDecl Data(const char* name, const char* cls, const char* field, const char* label,
                int size = 0) {
  TFieldDecl f;
  f.Name = name;
  f.ClassName = cls;
  f.FieldName = field;
  f.DisplayLabel = label;
  f.Size = size;
  return f;
}

// The component `name` over catalogue table `table`: its file, code page,
// fields and index tags are the table's own.
TTableDecl Table(const char* name, CatalogueTableIndex table) {
  const CatalogueTable& def = CatalogueTables()[table];
  TTableDecl t;
  t.Name = name;
  t.TableName = def.file;
  t.XdsConnection = "XdsConnection1";
  t.CharType = def.charType == XDS_CHAR_OEM ? TXdsCharType::OEM : TXdsCharType::ANSI;
  t.Version = kVersion;
  for (const XDSFIELDDEF& f : def.fields) {
    t.FieldDefs.push_back(FieldDefOf(f));
  }
  for (const CatalogueTag& tag : def.tags) {
    t.IndexDefs.push_back({tag.name, tag.key});
  }
  return t;
}

TTableDecl Sections() {
  TTableDecl t = Table("HDSTem", kTem);
  t.Fields = {
      Data("HDSTemINID", "TFloatField", "INID",
           "\xca\xee\xe4 \xf0\xe0\xe7\xe4\xe5\xeb\xe0"),  // Код раздела
      Data("HDSTemINNAME", "TStringField", "INNAME",
           "\xcd\xe0\xe7\xe2\xe0\xed\xe8\xe5 \xf0\xe0\xe7\xe4\xe5\xeb\xe0",  // Название раздела
           50),
      Data(
          "HDSTemPREIN", "TFloatField", "PREIN",
          "\xd0\xee\xe4\xe8\xf2\xe5\xeb\xfc\xf1\xea\xe8\xe9 \xf0\xe0\xe7\xe4\xe5\xeb"),  // Родительский
                                                                                         // раздел
  };
  return t;
}

TTableDecl LinkTypes() {
  TTableDecl t = Table("HDSType", kType);
  t.Events = {{"BeforeInsert", "HDSTypeBeforeInsert"},
              {"BeforePost", "HDSTypeBeforePost"},
              {"AfterDelete", "HDSTypeAfterDelete"}};
  TFieldDecl id = Data("HDSTypeTYPE_ID", "TStringField", "TYPE_ID", "\xca\xee\xe4 \xf2\xe8\xef\xe0",
                       10);  // Код типа
  id.DisplayWidth = 12;
  // Only a mark: the code is given by the before-post handler, not the engine.
  id.AutoGenerateValue = TAutoGenerateValue::arAutoInc;
  TFieldDecl name =
      Data("HDSTypeTYPE_NAME", "TStringField", "TYPE_NAME",
           "\xcd\xe0\xe7\xe2\xe0\xed\xe8\xe5 \xf2\xe8\xef\xe0", 100);  // Название типа
  name.DisplayWidth = 31;
  TFieldDecl prefix = Data("HDSTypeTYPRPRESTR", "TStringField", "TYPRPRESTR",
                           // Строка перед URL для данного типа
                           "\xd1\xf2\xf0\xee\xea\xe0 \xef\xe5\xf0\xe5\xe4 URL \xe4\xeb\xff "
                           "\xe4\xe0\xed\xed\xee\xe3\xee \xf2\xe8\xef\xe0",
                           30);
  prefix.DisplayWidth = 36;
  prefix.Address = true;
  t.Fields = {id, name, prefix};
  return t;
}

TTableDecl Memberships() {
  TTableDecl t = Table("HDSUrlIn", kUrlIn);
  TFieldDecl section = Data("HDSUrlInTEM_ID", "TFloatField", "TEM_ID", "");
  section.DisplayFormat = "\xd0\xe0\xe7\xe4\xe5\xeb";  // Раздел
  TFieldDecl url = Data("HDSUrlInURL_ID", "TFloatField", "URL_ID", "");
  url.DisplayFormat = "URL";
  t.Fields = {section, url};
  return t;
}

TTableDecl Urls() {
  TTableDecl t = Table("HDSUrls", kUrls);
  t.IndexCollationMismatch = TIndexCollationMismatch::icmReindex;
  t.Filter = "not deleted()";
  t.Filtered = true;
  t.Events = {{"BeforeInsert", "HDSUrls_oldBeforeInsert"},
              {"AfterInsert", "HDSUrls_oldAfterInsert"},
              {"BeforeDelete", "HDSUrlsBeforeDelete"},
              {"AfterDelete", "HDSUrlsAfterDelete"},
              {"OnFilterRecord", "HDSUrls_old2FilterRecord"}};

  TFieldDecl type = Data("HDSUrlsURL_TYPE", "TStringField", "URL_TYPE", "\xd2\xe8\xef", 20);  // Тип
  type.FieldKind = TFieldKind::fkLookup;
  type.KeyFields = "ADRESTYPE";
  type.LookupDataSet = "HDSType";
  type.LookupKeyFields = "TYPE_ID";
  type.LookupResultField = "TYPE_NAME";
  TFieldDecl descr = Data("HDSUrlsDESCR", "TMemoField", "DESCR", "\xce\xef\xe8\xf1\xe0\xed\xe8\xe5",
                          1);  // Описание
  descr.BlobType = TBlobType::ftGraphic;
  TFieldDecl url = Data("HDSUrlsURL", "TStringField", "URL", "", 100);
  url.Address = true;
  t.Fields = {
      type,
      url,
      Data("HDSUrlsNAME", "TStringField", "NAME", "\xcd\xe0\xe7\xe2\xe0\xed\xe8\xe5",
           100),  // Название
      descr,
      Data("HDSUrlsADRESTYPE", "TStringField", "ADRESTYPE",
           "\xca\xee\xe4 \xf2\xe8\xef\xe0 \xe0\xe4\xf0\xe5\xf1\xe0", 10),  // Код типа адреса
      Data("HDSUrlsURL_ID", "TFloatField", "URL_ID", "\xca\xee\xe4 URL"),  // Код URL
  };
  return t;
}

TCatalogueDecl Declare() {
  TCatalogueDecl c;
  c.Connection.Name = "XdsConnection1";
  c.Connection.XdsServerTypes = {TXdsServerType::stXDS_LOCAL};
  // Declared disconnected with no path: start-up connects to the working
  // directory before any table opens, and a declared folder that does not
  // exist on this machine must not stop the window from being created.
  c.Connection.IsConnected = false;
  c.Tables = {Sections(), LinkTypes(), Memberships(), Urls()};
  c.DataSource = {"DataSource1", "HDSUrls"};
  return c;
}

}  // namespace

const TCatalogueDecl& Catalogue() {
  static const TCatalogueDecl catalogue = Declare();
  return catalogue;
}

const TTableDecl* FindTable(std::string_view name) {
  for (const TTableDecl& t : Catalogue().Tables) {
    if (t.Name == name) {
      return &t;
    }
  }
  return nullptr;
}

const TFieldDecl* FindField(const TTableDecl& table, std::string_view name) {
  for (const TFieldDecl& f : table.Fields) {
    if (f.Name == name) {
      return &f;
    }
  }
  return nullptr;
}

}  // namespace catalogue
