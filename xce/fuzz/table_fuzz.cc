// Fuzz target over opening and reading a table. The input is a DBF file and
// its FPT memo file: two little-endian bytes give the DBF part's length, the
// DBF bytes follow, the rest is the memo file. Every record is read, every
// field decoded and every memo followed; the check runs over the files too.
// Then the table is written to: a record and memo change, an append, a pack.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "table.h"

namespace {

class Scratch {
 public:
  Scratch() {
    dir_ = (std::filesystem::temp_directory_path() / ("table_fuzz." + std::to_string(::getpid())))
               .string();
    std::filesystem::create_directories(dir_);
  }
  ~Scratch() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    return;
  }
  if (size > 0) {
    std::fwrite(data, 1, size, f);
  }
  std::fclose(f);
}

void ReadEverything(xce::Table& t) {
  std::string memo;
  for (int i = 0; i < 2000 && !t.eof(); ++i) {
    const char* image = t.image();
    for (uint16_t f = 1; f <= t.fields().size(); ++f) {
      const xce::FieldInfo& fi = t.fields()[f - 1];
      (void)xce::FieldIsEmpty(fi, image);
      if (fi.isMemo) {
        uint32_t type = 0;
        (void)t.ReadMemo(f, &memo, &type);
      } else {
        (void)xce::FieldDisplayText(fi, image);
      }
    }
    if (!t.Skip(t.recnoOrder(), 1).ok()) {
      break;
    }
  }
  (void)t.GotoBottom(t.recnoOrder());
  (void)t.Skip(t.recnoOrder(), -3);
  uint32_t n = 0;
  t.SetShowDeleted(false);
  (void)t.Count(t.recnoOrder(), true, false, &n);
}

// Writes into the table the way callers do: a changed first record with a
// new memo value, an appended record, a pack. Whatever the input, that either
// fails with an error or leaves a table that opens again.
void WriteSome(xce::FileSystem* fs, const std::string& dbf) {
  xce::OpenOptions options;
  options.exclusive = true;
  std::shared_ptr<xce::Table> t;
  if (!xce::Table::Open(fs, dbf, options, &t).ok()) {
    return;
  }
  bool ok = true;
  const std::string memo(100, 'm');
  auto fill = [&]() {
    for (uint16_t f = 1; ok && f <= t->fields().size(); ++f) {
      const xce::FieldInfo& fi = t->fields()[f - 1];
      if (fi.isMemo) {
        ok = t->SetFieldText(f, memo, false).ok();
      } else if (fi.engineType != xce::kTypeUnknown && fi.engineType != xce::kTypeRaw) {
        (void)t->SetFieldText(f, fi.engineType == xce::kTypeDate ? "20240229" : "1", false);
      }
    }
  };
  if (t->GotoRecord(1).ok()) {
    fill();
    ok = ok && t->SetDeleted(true).ok() && t->CommitPending().ok();
  }
  ok = ok && t->StartAppend().ok();
  fill();
  ok = ok && t->CommitPending().ok() && t->Pack().ok();
  ok = t->Close().ok() && ok;
  if (ok) {
    xce::OpenOptions readOnly;
    readOnly.readOnly = true;
    if (!xce::Table::Open(fs, dbf, readOnly, &t).ok()) {
      __builtin_trap();  // the engine wrote a table it cannot open
    }
    ReadEverything(*t);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Scratch scratch;
  if (size < 2) {
    return 0;
  }
  size_t dbfSize = static_cast<size_t>(data[0] | (data[1] << 8));
  if (dbfSize > size - 2) {
    dbfSize = size - 2;
  }
  const std::string dbf = scratch.dir() + "/t.dbf";
  const std::string fpt = scratch.dir() + "/t.fpt";
  WriteFile(dbf, data + 2, dbfSize);
  WriteFile(fpt, data + 2 + dbfSize, size - 2 - dbfSize);
  xce::FileSystem* fs = xce::FileSystem::Default();
  xce::OpenOptions options;
  options.readOnly = true;
  std::shared_ptr<xce::Table> t;
  if (xce::Table::Open(fs, dbf, options, &t).ok()) {
    ReadEverything(*t);
    (void)t->Close();
  }
  std::string report;
  (void)xce::CheckTableFiles(fs, dbf, &report);
  WriteSome(fs, dbf);
  return 0;
}
