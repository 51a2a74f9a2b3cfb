// The catalogue's declarations: the connection, the four tables with their
// options, event bindings, field and index definitions, and the persistent
// field objects. Plain data, bound to the table components when the window
// creates them. Texts are in the program's character set (Windows-1251).
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace catalogue {

enum class TFieldType { ftString, ftFloat, ftMemo };
enum class TFieldKind { fkData, fkLookup };
enum class TAutoGenerateValue { arNone, arAutoInc };
enum class TBlobType { ftNone, ftGraphic };
enum class TXdsTableType { ttXdsCDX };
enum class TXdsCharType { ANSI, OEM };
enum class TIndexCollationMismatch { icmError, icmReindex };
enum class TXdsServerType { stXDS_LOCAL };

struct TFieldDefDecl {
  std::string Name;
  TFieldType DataType;
  int Size;       // characters; the declared size for a memo
  int Precision;  // whole digits of a numeric field
  int Decimals;
};

struct TIndexDefDecl {
  std::string Name;
  std::string Expression;  // the key in the engine's expression language
};

struct TFieldDecl {
  std::string Name;       // the component, e.g. HDSUrlsURL_ID
  std::string ClassName;  // TStringField, TFloatField or TMemoField
  std::string FieldName;
  TFieldKind FieldKind = TFieldKind::fkData;
  std::string DisplayLabel;  // empty: the field name is shown
  int DisplayWidth = 0;      // characters; 0: the class's default
  std::string DisplayFormat;
  int Size = 0;
  TAutoGenerateValue AutoGenerateValue = TAutoGenerateValue::arNone;
  TBlobType BlobType = TBlobType::ftNone;
  // An address (or a part of one): characters the table cannot hold are
  // percent-encoded rather than written as character references.
  bool Address = false;
  // Lookup fields only: the value of LookupResultField in the row of
  // LookupDataSet whose LookupKeyFields equal this record's KeyFields.
  std::string KeyFields;
  std::string LookupDataSet;
  std::string LookupKeyFields;
  std::string LookupResultField;
};

struct TEventBinding {
  std::string Event;    // e.g. BeforeInsert
  std::string Handler;  // the main window's handler bound to it
};

struct TTableDecl {
  std::string Name;       // the component
  std::string TableName;  // the file, in its letter case
  std::string XdsConnection;
  TXdsTableType TableType = TXdsTableType::ttXdsCDX;
  bool Exclusive = true;
  TXdsCharType CharType = TXdsCharType::ANSI;
  TIndexCollationMismatch IndexCollationMismatch = TIndexCollationMismatch::icmError;
  std::string Filter;
  bool Filtered = false;
  bool StoreDefs = true;
  bool StoreActive = true;
  bool Active = false;
  std::string Version;
  std::vector<TEventBinding> Events;
  std::vector<TFieldDefDecl> FieldDefs;
  std::vector<TIndexDefDecl> IndexDefs;
  std::vector<TFieldDecl> Fields;
};

struct TConnectionDecl {
  std::string Name;
  std::vector<TXdsServerType> XdsServerTypes;
  bool LoginPrompt = false;
  bool ReadOnly = false;
  bool MiddleTierConnection = false;
  bool StoredProcedureConnection = false;
  bool IsConnected = false;
  std::string ConnectPath;
};

struct TDataSourceDecl {
  std::string Name;
  std::string DataSet;
};

struct TCatalogueDecl {
  TConnectionDecl Connection;
  std::vector<TTableDecl> Tables;  // HDSTem, HDSType, HDSUrlIn, HDSUrls
  TDataSourceDecl DataSource;
};

const TCatalogueDecl& Catalogue();

// The table declared under component name `name`, or nullptr.
const TTableDecl* FindTable(std::string_view name);

// The field object declared under component name `name` in `table`, or nullptr.
const TFieldDecl* FindField(const TTableDecl& table, std::string_view name);

}  // namespace catalogue
