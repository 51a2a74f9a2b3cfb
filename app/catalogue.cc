#include "catalogue.h"

namespace catalogue {
namespace {

constexpr int kIdDigits = 10;  // whole numbers up to 2 147 483 647 and beyond
constexpr char kVersion[] = "6.2 (XCE 6.20)";

TFieldDefDecl Char(const char* name, int size) { return {name, TFieldType::ftString, size, 0, 0}; }
TFieldDefDecl Id(const char* name) { return {name, TFieldType::ftFloat, 0, kIdDigits, 0}; }

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

TTableDecl Table(const char* name, const char* file) {
  TTableDecl t;
  t.Name = name;
  t.TableName = file;
  t.XdsConnection = "XdsConnection1";
  t.Version = kVersion;
  return t;
}

TTableDecl Sections() {
  TTableDecl t = Table("HDSTem", "TEM.dbf");
  t.FieldDefs = {Id("INID"), Char("INNAME", 50), Id("PREIN")};
  t.IndexDefs = {{"INID", "INID"}, {"INNAME", "INNAME"}};
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
  TTableDecl t = Table("HDSType", "TYPE.DBF");
  t.Events = {{"BeforeInsert", "HDSTypeBeforeInsert"},
              {"BeforePost", "HDSTypeBeforePost"},
              {"AfterDelete", "HDSTypeAfterDelete"}};
  t.FieldDefs = {Char("TYPE_ID", 10), Char("TYPE_NAME", 100), Char("TYPRPRESTR", 30)};
  t.IndexDefs = {{"TYPE_ID", "TYPE_ID"}, {"TYPE_NAME", "TYPE_NAME"}};
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
  TTableDecl t = Table("HDSUrlIn", "URLIN.DBF");
  t.FieldDefs = {Id("TEM_ID"), Id("URL_ID")};
  // TEM_URL keys on URL_ID alone, whatever its name says.
  t.IndexDefs = {
      {"TEMURL", "STR(TEM_ID,10)+STR(URL_ID,10)"}, {"TEM_ID", "TEM_ID"}, {"TEM_URL", "URL_ID"}};
  TFieldDecl section = Data("HDSUrlInTEM_ID", "TFloatField", "TEM_ID", "");
  section.DisplayFormat = "\xd0\xe0\xe7\xe4\xe5\xeb";  // Раздел
  TFieldDecl url = Data("HDSUrlInURL_ID", "TFloatField", "URL_ID", "");
  url.DisplayFormat = "URL";
  t.Fields = {section, url};
  return t;
}

TTableDecl Urls() {
  TTableDecl t = Table("HDSUrls", "urls.DBF");
  t.CharType = TXdsCharType::OEM;
  t.IndexCollationMismatch = TIndexCollationMismatch::icmReindex;
  t.Filter = "not deleted()";
  t.Filtered = true;
  t.Events = {{"BeforeInsert", "HDSUrls_oldBeforeInsert"},
              {"AfterInsert", "HDSUrls_oldAfterInsert"},
              {"BeforeDelete", "HDSUrlsBeforeDelete"},
              {"AfterDelete", "HDSUrlsAfterDelete"},
              {"OnFilterRecord", "HDSUrls_old2FilterRecord"}};
  t.FieldDefs = {Char("URL", 100),
                 Char("NAME", 100),
                 {"DESCR", TFieldType::ftMemo, 1, 0, 0},
                 Char("ADRESTYPE", 10),
                 Id("URL_ID")};
  t.IndexDefs = {
      {"URL", "URL"}, {"URL_ID", "URL_ID"}, {"NAME", "NAME"}, {"ADRESTYPE", "ADRESTYPE"}};

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
