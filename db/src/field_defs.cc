#include "db/field_defs.h"

#include <algorithm>

#include "db/format.h"

TFieldDef& TFieldDefs::Add(const std::string& name, TFieldType dataType, int size, bool required,
                           int fieldNo) {
  if (fieldNo <= 0) {
    fieldNo = 1;
    for (const auto& def : items_) {
      fieldNo = std::max(fieldNo, def.FieldNo() + 1);
    }
  }
  items_.emplace_back(name, dataType, size, required, fieldNo);
  return items_.back();
}

int TFieldDefs::IndexOf(const std::string& name) const {
  for (size_t i = 0; i < items_.size(); ++i) {
    if (SameText(items_[i].Name(), name)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

const TFieldDef* TFieldDefs::Find(const std::string& name) const {
  int index = IndexOf(name);
  return index < 0 ? nullptr : &items_[static_cast<size_t>(index)];
}

TIndexDef& TIndexDefs::Add(const std::string& name, const std::string& fields,
                           TIndexOptions options) {
  items_.emplace_back(name, fields, options);
  return items_.back();
}

const TIndexDef* TIndexDefs::Find(const std::string& name) const {
  for (const auto& def : items_) {
    if (SameText(def.Name(), name)) {
      return &def;
    }
  }
  return nullptr;
}

const TIndexDef* TIndexDefs::FindByFields(const std::string& fields) const {
  for (const auto& def : items_) {
    if (SameText(def.Fields(), fields)) {
      return &def;
    }
  }
  return nullptr;
}
