#include "dblookup.h"

#include <QComboBox>

#include "db/dataset.h"
#include "qt_text.h"

namespace {

TVariant ValuesOf(const std::vector<TField*>& fields) {
  if (fields.size() == 1) {
    return fields[0]->AsVariant();
  }
  std::vector<TVariant> values;
  for (TField* field : fields) {
    values.push_back(field->AsVariant());
  }
  return TVariant(std::move(values));
}

}  // namespace

std::vector<TLookupItem> ReadLookupList(const TField& lookupField) {
  std::vector<TLookupItem> items;
  TDataSet* lookup = lookupField.LookupDataSet();
  if (lookup == nullptr || !lookup->Active()) {
    return items;
  }
  std::vector<TField*> keys = lookup->GetFieldList(lookupField.LookupKeyFields());
  TField* result = lookup->FieldByName(lookupField.LookupResultField());
  TBookmark mark = lookup->GetBookmark();
  lookup->DisableControls();
  try {
    lookup->First();
    while (!lookup->Eof()) {
      items.push_back({ValuesOf(keys), ui::ToQString(result->DisplayText(), *result)});
      lookup->Next();
    }
    if (!mark.empty()) {
      lookup->GotoBookmark(mark);
    } else {
      lookup->First();
    }
  } catch (...) {
    lookup->EnableControls();
    throw;
  }
  lookup->EnableControls();
  return items;
}

TVariant LookupKeyValue(const TField& lookupField) {
  TDataSet* dataSet = lookupField.DataSet();
  if (dataSet == nullptr || !dataSet->Active() || lookupField.KeyFields().empty()) {
    return {};
  }
  return ValuesOf(dataSet->GetFieldList(lookupField.KeyFields()));
}

int FindLookupItem(const std::vector<TLookupItem>& items, const TVariant& key) {
  if (key.IsNull()) {
    return -1;
  }
  for (size_t i = 0; i < items.size(); ++i) {
    if (items[i].key == key) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

void FillLookupBox(QComboBox& box, const std::vector<TLookupItem>& items) {
  QSignalBlocker block(&box);
  box.clear();
  for (const TLookupItem& item : items) {
    box.addItem(item.text);
  }
}
