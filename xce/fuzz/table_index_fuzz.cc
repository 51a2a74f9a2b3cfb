// Fuzz target over a sound table whose compound index file is the input.
// The table (three fields, forty records, tags of several kinds) is made once;
// each input is written beside it as its CDX. Opening binds the tags to the
// table; then every tag is walked through the table's own movement, an
// optimized filter is resolved from the tags, a record is changed, one is
// appended and one deleted (each keeping the tags true or failing), the check
// runs, and the table is reindexed. Whatever the input, every path ends in a
// result; a reindex that succeeds must leave tags that pass the check.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "cdx/table_index.h"
#include "table.h"
#include "table_filter.h"

namespace {

using xce::FileSystem;
using xce::Status;
using xce::Table;
using xce::cdx::TableIndexes;
using xce::cdx::TagDefinition;
using xce::cdx::TagOrder;

std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
}

void WriteAll(const std::string& path, const uint8_t* data, size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

Status OpenIndexed(const std::string& path, uint32_t options, std::shared_ptr<Table>* t,
                   std::shared_ptr<TableIndexes>* indexes) {
  xce::OpenOptions o;
  o.exclusive = true;
  o.rawOptions = options;
  Status s = Table::Open(FileSystem::Default(), path, o, t);
  return s.ok() ? TableIndexes::Attach(*t, options, indexes) : s;
}

// The sound table, made once per process: its DBF bytes stay as they are.
class Scratch {
 public:
  Scratch() {
    dir_ = (std::filesystem::temp_directory_path() /
            ("table_index_fuzz." + std::to_string(::getpid())))
               .string();
    std::filesystem::create_directories(dir_);
    dbf_ = dir_ + "/t.dbf";
    cdx_ = dir_ + "/t.cdx";
    const std::vector<xce::FieldSpec> fields = {
        {"ID", 'N', 6, 0}, {"NAME", 'C', 12, 0}, {"D", 'D', 8, 0}};
    if (!Table::Create(FileSystem::Default(), dbf_, fields, false).ok()) {
      __builtin_trap();
    }
    std::shared_ptr<Table> t;
    std::shared_ptr<TableIndexes> indexes;
    if (!OpenIndexed(dbf_, 0, &t, &indexes).ok()) {
      __builtin_trap();
    }
    static const char* kNames[] = {"alpha", "Bravo", "charlie", "Delta", "echo"};
    for (int i = 1; i <= 40; ++i) {
      bool ok = t->StartAppend().ok() &&
                t->SetFieldText(1, std::to_string((i * 37) % 50 - 10), false).ok() &&
                t->SetFieldText(2, kNames[i % 5], false).ok() &&
                t->SetFieldText(3, i % 7 == 0 ? "" : "202401" + std::to_string(10 + i % 19),
                                false)
                    .ok() &&
                t->CommitPending().ok();
      if (!ok) {
        __builtin_trap();
      }
    }
    indexes = TableIndexes::Ensure(t);
    const std::vector<TagDefinition> tags = {
        {"ID", "ID", "", false, false},
        {"NAME", "UPPER(NAME)", "ID > 0", false, true},
        {"D", "DTOS(D)+NAME", "", true, false},
        {"DEL", "DELETED()", "", false, false}};
    if (!indexes->CreateTags(tags).ok() || !t->Close().ok()) {
      __builtin_trap();
    }
    table_ = ReadAll(dbf_);
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  const std::string& dbf() const { return dbf_; }
  const std::string& cdx() const { return cdx_; }
  const std::vector<uint8_t>& table() const { return table_; }

 private:
  std::string dir_;
  std::string dbf_;
  std::string cdx_;
  std::vector<uint8_t> table_;
};

void WalkEveryTag(Table& t, const std::shared_ptr<TableIndexes>& indexes) {
  for (int i = 0; i < indexes->tag_count(); ++i) {
    TagOrder order(indexes, indexes->tag(i).tag->name());
    int steps = 0;
    for (Status s = t.GotoTop(&order); s.ok() && !t.eof() && steps < 200; ++steps) {
      s = t.Skip(&order, 1);
    }
    for (Status s = t.GotoBottom(&order); s.ok() && !t.bof() && steps < 400; ++steps) {
      s = t.Skip(&order, -1);
    }
    uint32_t n = 0;
    (void)t.Count(&order, true, false, &n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Scratch scratch;
  if (size > (1u << 18)) {
    return 0;
  }
  WriteAll(scratch.dbf(), scratch.table().data(), scratch.table().size());
  WriteAll(scratch.cdx(), data, size);
  // The last byte picks the collation option, so all three ways are taken.
  const uint32_t options = size == 0 ? 0 : (data[size - 1] % 3 == 0   ? 0
                                            : data[size - 1] % 3 == 1 ? 0x100
                                                                      : 0x200);
  std::shared_ptr<Table> t;
  std::shared_ptr<TableIndexes> indexes;
  if (!OpenIndexed(scratch.dbf(), options, &t, &indexes).ok() || indexes == nullptr) {
    if (t != nullptr) {
      (void)t->Close();
    }
    return 0;
  }
  WalkEveryTag(*t, indexes);
  if (xce::SetTableAof(*t, "ID > 5 AND UPPER(NAME) = 'C'", 1).ok()) {
    uint32_t n = 0;
    (void)t->Count(t->recnoOrder(), true, false, &n);
    (void)xce::ClearTableAof(*t);
  }
  if (t->GotoRecord(3).ok()) {
    (void)t->SetFieldText(2, "zulu", false);
    (void)t->CommitPending();
  }
  if (t->StartAppend().ok()) {
    (void)t->SetFieldText(1, "7", false);
    (void)t->CommitPending();
  }
  if (t->GotoRecord(5).ok()) {
    (void)t->SetDeleted(true);
    (void)t->CommitPending();
  }
  std::vector<std::string> problems;
  (void)indexes->Check(&problems);
  if (indexes->Reindex().ok()) {
    indexes = TableIndexes::Of(*t);
    problems.clear();
    if (indexes != nullptr && (!indexes->Check(&problems).ok() || !problems.empty())) {
      __builtin_trap();  // a rebuilt index must be sound
    }
    if (indexes != nullptr) {
      WalkEveryTag(*t, indexes);
    }
  }
  (void)t->Close();
  return 0;
}
