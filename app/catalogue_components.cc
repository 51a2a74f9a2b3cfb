#include "catalogue_components.h"

#include <stdexcept>

#include "catalogue.h"

namespace {

using catalogue::TConnectionDecl;
using catalogue::TFieldDecl;
using catalogue::TTableDecl;

TFieldType FieldTypeOf(catalogue::TFieldType type) {
  switch (type) {
    case catalogue::TFieldType::ftString:
      return ftString;
    case catalogue::TFieldType::ftFloat:
      return ftFloat;
    case catalogue::TFieldType::ftMemo:
      return ftMemo;
  }
  return ftUnknown;
}

std::unique_ptr<TField> MakeField(const TFieldDecl& decl) {
  std::unique_ptr<TField> field;
  if (decl.ClassName == "TStringField") {
    field = std::make_unique<TStringField>(decl.Size);
  } else if (decl.ClassName == "TFloatField") {
    field = std::make_unique<TFloatField>();
  } else if (decl.ClassName == "TMemoField") {
    auto memo = std::make_unique<TMemoField>();
    if (decl.BlobType == catalogue::TBlobType::ftGraphic) {
      memo->SetBlobType(ftGraphic);
    }
    field = std::move(memo);
  } else {
    throw std::logic_error("No field class " + decl.ClassName + " for " + decl.Name);
  }
  field->SetName(decl.Name);
  field->SetFieldName(decl.FieldName);
  if (decl.FieldKind == catalogue::TFieldKind::fkLookup) {
    field->SetFieldKind(fkLookup);
    field->SetKeyFields(decl.KeyFields);
    field->SetLookupKeyFields(decl.LookupKeyFields);
    field->SetLookupResultField(decl.LookupResultField);
  }
  if (!decl.DisplayLabel.empty()) {
    field->SetDisplayLabel(decl.DisplayLabel);
  }
  if (decl.DisplayWidth > 0) {
    field->SetDisplayWidth(decl.DisplayWidth);
  }
  field->SetDisplayFormat(decl.DisplayFormat);
  if (decl.Address) {
    field->SetTextKind(tkAddress);
  }
  if (decl.AutoGenerateValue == catalogue::TAutoGenerateValue::arAutoInc) {
    field->SetAutoGenerateValue(arAutoInc);
  }
  return field;
}

void ReadConnection(TXdsConnection& c, const TConnectionDecl& decl) {
  c.BeginLoading();
  c.SetName(decl.Name);
  TXdsServerTypes types = 0;
  for (catalogue::TXdsServerType t : decl.XdsServerTypes) {
    if (t == catalogue::TXdsServerType::stXDS_LOCAL) {
      types |= stXDS_LOCAL;
    }
  }
  c.XdsServerTypes = types;
  c.LoginPrompt = decl.LoginPrompt;
  c.ReadOnly = decl.ReadOnly;
  c.MiddleTierConnection = decl.MiddleTierConnection;
  c.StoredProcedureConnection = decl.StoredProcedureConnection;
  if (!decl.ConnectPath.empty()) {
    c.SetConnectPath(decl.ConnectPath);
  }
  c.SetIsConnected(decl.IsConnected);
}

void BindEvent(TXdsTable& t, const catalogue::TEventBinding& binding,
               const TCatalogueHandlers& handlers) {
  auto missing = [&] {
    return std::logic_error(t.Name() + "." + binding.Event + ": the owner has no handler " +
                            binding.Handler);
  };
  if (binding.Event == "OnFilterRecord") {
    TDataSet::TFilterRecordEvent handler =
        handlers.filterRecord ? handlers.filterRecord(binding.Handler) : nullptr;
    if (!handler) {
      throw missing();
    }
    t.SetOnFilterRecord(std::move(handler));
    return;
  }
  TDataSet::TDataSetNotifyEvent TDataSet::*event = nullptr;
  static const std::pair<const char*, TDataSet::TDataSetNotifyEvent TDataSet::*> kEvents[] = {
      {"BeforeOpen", &TDataSet::BeforeOpen},     {"AfterOpen", &TDataSet::AfterOpen},
      {"BeforeClose", &TDataSet::BeforeClose},   {"AfterClose", &TDataSet::AfterClose},
      {"BeforeInsert", &TDataSet::BeforeInsert}, {"AfterInsert", &TDataSet::AfterInsert},
      {"BeforeEdit", &TDataSet::BeforeEdit},     {"AfterEdit", &TDataSet::AfterEdit},
      {"BeforePost", &TDataSet::BeforePost},     {"AfterPost", &TDataSet::AfterPost},
      {"BeforeCancel", &TDataSet::BeforeCancel}, {"AfterCancel", &TDataSet::AfterCancel},
      {"BeforeDelete", &TDataSet::BeforeDelete}, {"AfterDelete", &TDataSet::AfterDelete},
      {"BeforeScroll", &TDataSet::BeforeScroll}, {"AfterScroll", &TDataSet::AfterScroll},
      {"OnCalcFields", &TDataSet::OnCalcFields}, {"OnNewRecord", &TDataSet::OnNewRecord},
  };
  for (const auto& [name, member] : kEvents) {
    if (binding.Event == name) {
      event = member;
    }
  }
  TDataSet::TDataSetNotifyEvent handler =
      handlers.notify ? handlers.notify(binding.Handler) : nullptr;
  if (event == nullptr || !handler) {
    throw missing();
  }
  t.*event = std::move(handler);
}

void ReadTable(TXdsTable& t, const TTableDecl& decl, const std::string& ownerName,
               TXdsConnection& connection, const TCatalogueHandlers& handlers) {
  t.BeginLoading();
  t.SetName(decl.Name);
  t.SetOwnerName(ownerName);
  if (decl.XdsConnection == connection.Name()) {
    t.SetXdsConnection(&connection);
  }
  t.SetTableType(ttXdsCDX);
  t.SetExclusive(decl.Exclusive);
  t.XdsTableOptions().SetXdsCharType(decl.CharType == catalogue::TXdsCharType::OEM ? OEM : ANSI);
  t.SetIndexCollationMismatch(
      decl.IndexCollationMismatch == catalogue::TIndexCollationMismatch::icmReindex ? icmReindex
                                                                                     : icmError);
  t.SetTableName(decl.TableName);
  t.SetFilter(decl.Filter);
  t.SetFiltered(decl.Filtered);
  t.StoreDefs = decl.StoreDefs;
  t.StoreActive = decl.StoreActive;
  for (const catalogue::TFieldDefDecl& d : decl.FieldDefs) {
    TFieldType type = FieldTypeOf(d.DataType);
    t.FieldDefs().Add(d.Name, type, type == ftString ? d.Size : (type == ftMemo ? 1 : 0));
  }
  for (const catalogue::TIndexDefDecl& i : decl.IndexDefs) {
    t.IndexDefs().Add(i.Name, i.Expression);
  }
  for (const TFieldDecl& f : decl.Fields) {
    t.Fields().Add(MakeField(f));
  }
  for (const catalogue::TEventBinding& binding : decl.Events) {
    BindEvent(t, binding, handlers);
  }
  t.LoadActive(decl.Active);
}

}  // namespace

TXdsTable* TCatalogueComponents::Table(std::string_view name) const {
  for (TXdsTable* t : {HDSTem.get(), HDSType.get(), HDSUrlIn.get(), HDSUrls.get()}) {
    if (t != nullptr && t->Name() == name) {
      return t;
    }
  }
  return nullptr;
}

std::unique_ptr<TCatalogueComponents> CreateCatalogueComponents(
    const std::string& ownerName, const TCatalogueHandlers& handlers) {
  const catalogue::TCatalogueDecl& decl = catalogue::Catalogue();
  auto c = std::make_unique<TCatalogueComponents>();
  c->XdsConnection1 = std::make_unique<TXdsConnection>(ownerName);
  ReadConnection(*c->XdsConnection1, decl.Connection);
  std::unique_ptr<TXdsTable>* slots[] = {&c->HDSTem, &c->HDSType, &c->HDSUrlIn, &c->HDSUrls};
  const char* names[] = {"HDSTem", "HDSType", "HDSUrlIn", "HDSUrls"};
  for (size_t i = 0; i < 4; ++i) {
    const TTableDecl* table = catalogue::FindTable(names[i]);
    if (table == nullptr) {
      throw std::logic_error(std::string("No declaration of ") + names[i]);
    }
    *slots[i] = std::make_unique<TXdsTable>();
    ReadTable(**slots[i], *table, ownerName, *c->XdsConnection1, handlers);
  }
  // Lookup fields name their data set by component name.
  for (const TTableDecl& table : decl.Tables) {
    for (const TFieldDecl& f : table.Fields) {
      if (f.FieldKind == catalogue::TFieldKind::fkLookup) {
        c->Table(table.Name)->FindField(f.FieldName)->SetLookupDataSet(c->Table(f.LookupDataSet));
      }
    }
  }
  // Loading completes: the connection first, as it is declared first.
  try {
    c->XdsConnection1->Loaded();
  } catch (...) {
    HandleApplicationException(std::current_exception());
  }
  for (std::unique_ptr<TXdsTable>* slot : slots) {
    try {
      (*slot)->Loaded();
    } catch (...) {
      HandleApplicationException(std::current_exception());
    }
  }
  return c;
}
