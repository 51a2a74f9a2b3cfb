// Field and index definitions: what the stored table holds, as opposed to the
// field objects through which values are read and written.
#pragma once

#include <string>
#include <vector>

#include "db/db_types.h"

class TFieldDef {
 public:
  TFieldDef(std::string name, TFieldType dataType, int size, bool required, int fieldNo)
      : name_(std::move(name)),
        dataType_(dataType),
        size_(size),
        required_(required),
        fieldNo_(fieldNo) {}
  const std::string& Name() const { return name_; }
  TFieldType DataType() const { return dataType_; }
  int Size() const { return size_; }
  bool Required() const { return required_; }
  // Number of the stored field, from 1.
  int FieldNo() const { return fieldNo_; }

 private:
  std::string name_;
  TFieldType dataType_;
  int size_;
  bool required_;
  int fieldNo_;
};

class TFieldDefs {
 public:
  // Adds a definition; its field number is the given one, or the next free
  // number when 0 is passed.
  TFieldDef& Add(const std::string& name, TFieldType dataType, int size = 0, bool required = false,
                 int fieldNo = 0);
  void Clear() { items_.clear(); }
  int Count() const { return static_cast<int>(items_.size()); }
  const TFieldDef& operator[](int index) const { return items_.at(static_cast<size_t>(index)); }
  // Case-insensitive; nullptr when absent.
  const TFieldDef* Find(const std::string& name) const;
  int IndexOf(const std::string& name) const;

 private:
  std::vector<TFieldDef> items_;
};

enum TIndexOption {
  ixPrimary = 1,
  ixUnique = 2,
  ixDescending = 4,
  ixCaseInsensitive = 8,
  ixExpression = 16
};
using TIndexOptions = unsigned;

class TIndexDef {
 public:
  TIndexDef(std::string name, std::string fields, TIndexOptions options)
      : name_(std::move(name)), fields_(std::move(fields)), options_(options) {}
  const std::string& Name() const { return name_; }
  // Field names joined with ";".
  const std::string& Fields() const { return fields_; }
  TIndexOptions Options() const { return options_; }

 private:
  std::string name_;
  std::string fields_;
  TIndexOptions options_;
};

class TIndexDefs {
 public:
  TIndexDef& Add(const std::string& name, const std::string& fields, TIndexOptions options = 0);
  void Clear() { items_.clear(); }
  int Count() const { return static_cast<int>(items_.size()); }
  const TIndexDef& operator[](int index) const { return items_.at(static_cast<size_t>(index)); }
  const TIndexDef* Find(const std::string& name) const;
  // The first index whose field list equals fields (letter case ignored).
  const TIndexDef* FindByFields(const std::string& fields) const;

 private:
  std::vector<TIndexDef> items_;
};
