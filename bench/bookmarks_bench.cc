// Importing a browser's bookmark file into the catalogue: 100,000 links in
// 2,000 folders, into an empty catalogue and into one of N URL records
// (default 1,000,000), against the same import into SQLite (one transaction
// of prepared statements, the same lookups) in the same run.
//   bookmarks_bench [N] [DIR]
// DIR keeps the catalogue of N URL records for the next run (each run imports
// into a copy of it).
// The catalogue import is all or nothing: its time includes copying the
// index files aside, the undo record of the tables it appends to, making
// every file durable and swapping the index files in. SQLite
// runs with the standing peer settings (no journal, no sync).
#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unordered_map>
#include <vector>

#include "bench_util.h"
#include "bookmark_bench_file.h"
#include "bookmark_text.h"
#include "bookmark_tree.h"
#include "catalogue/demo_catalogue.h"
#include "catalogue/schema.h"
#include "catalogue_io.h"
#include "cp1251.h"

namespace fs = std::filesystem;
using bench::CheckSql;
using bench::Now;
using bench::Seconds;
using bench::Span;

namespace {

// ------------------------------------------------------------------ SQLite

class Sql {
 public:
  explicit Sql(const std::string& path) {
    fs::remove(path);
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
      std::fprintf(stderr, "bookmarks_bench: cannot open %s\n", path.c_str());
      std::exit(1);
    }
    Exec("PRAGMA locking_mode=EXCLUSIVE; PRAGMA journal_mode=OFF; PRAGMA synchronous=OFF;"
         "PRAGMA cache_size=-2000000; PRAGMA temp_store=MEMORY;"
         "CREATE TABLE tem(inid INTEGER, inname TEXT, prein INTEGER);"
         "CREATE TABLE type(type_id TEXT, type_name TEXT, typrprestr TEXT);"
         "CREATE TABLE urlin(tem_id INTEGER, url_id INTEGER);"
         "CREATE TABLE urls(url TEXT, name TEXT, descr TEXT, adrestype TEXT, url_id INTEGER,"
         " ukey TEXT);");
  }
  ~Sql() {
    for (auto* s : statements_) {
      sqlite3_finalize(s);
    }
    sqlite3_close(db_);
  }
  // The catalogue's tags as indexes, plus what the import looks up by.
  void Index() {
    Exec("CREATE INDEX tem_inid ON tem(inid); CREATE INDEX tem_name ON tem(prein, inname);"
         "CREATE INDEX type_id ON type(type_id); CREATE INDEX type_name ON type(type_name);"
         "CREATE UNIQUE INDEX urlin_temurl ON urlin(tem_id, url_id);"
         "CREATE INDEX urlin_url ON urlin(url_id);"
         "CREATE INDEX urls_url ON urls(url); CREATE INDEX urls_id ON urls(url_id);"
         "CREATE INDEX urls_name ON urls(name); CREATE INDEX urls_type ON urls(adrestype);"
         "CREATE INDEX urls_key ON urls(ukey);");
  }
  void Exec(const char* sql) { CheckSql(sqlite3_exec(db_, sql, nullptr, nullptr, nullptr), db_, sql); }
  sqlite3_stmt* Prepare(const char* sql) {
    sqlite3_stmt* s = nullptr;
    CheckSql(sqlite3_prepare_v2(db_, sql, -1, &s, nullptr), db_, sql);
    statements_.push_back(s);
    return s;
  }
  void Step(sqlite3_stmt* s) {
    CheckSql(sqlite3_step(s), db_, "step");
    sqlite3_reset(s);
  }
  // The first column of the first row, or -1.
  int64_t Lookup(sqlite3_stmt* s) {
    int rc = sqlite3_step(s);
    CheckSql(rc, db_, "lookup");
    int64_t v = rc == SQLITE_ROW ? sqlite3_column_int64(s, 0) : -1;
    sqlite3_reset(s);
    return v;
  }
  sqlite3* db() { return db_; }

 private:
  sqlite3* db_ = nullptr;
  std::vector<sqlite3_stmt*> statements_;
};

void BindText(sqlite3_stmt* s, int i, const std::string& v) {
  sqlite3_bind_text(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
}

// Copies a catalogue's records into SQLite (not timed).
void LoadCatalogue(const std::string& dir, Sql* sql) {
  XDSHANDLE c = 0;
  bench::Check(XdsConnect60(dir.c_str(), 1, "", "", 0, &c), "connect");
  sqlite3_stmt* ins[4] = {sql->Prepare("INSERT INTO tem VALUES(?,?,?)"),
                          sql->Prepare("INSERT INTO type VALUES(?,?,?)"),
                          sql->Prepare("INSERT INTO urlin VALUES(?,?)"),
                          sql->Prepare("INSERT INTO urls VALUES(?,?,?,?,?,?)")};
  sql->Exec("BEGIN");
  std::unordered_map<std::string, std::string> prefixes;
  for (int i : {catalogue::kType, catalogue::kTem, catalogue::kUrlIn, catalogue::kUrls}) {
    const auto& def = catalogue::CatalogueTables()[static_cast<std::size_t>(i)];
    XDSHANDLE t = 0;
    bench::Check(XdsOpenTable(c, def.file, nullptr, 2, def.charType, 1, 1, XDS_OPEN_READONLY, &t),
                 "open");
    uint32_t count = 0;
    bench::Check(XdsGetRecordCount(t, XDS_COUNT_IGNORE_FILTERS, &count), "count");
    std::vector<char> buf(1 << 16);
    for (uint32_t r = 1; r <= count; ++r) {
      bench::Check(XdsGotoRecord(t, r), "goto");
      std::vector<std::string> v;
      for (uint16_t f = 1; f <= def.fields.size(); ++f) {
        uint32_t len = static_cast<uint32_t>(buf.size());
        bench::Check(XdsGetField(t, f, buf.data(), &len, XDS_GET_TRIM), "field");
        v.emplace_back(buf.data(), len);
        BindText(ins[i], f, v.back());
      }
      if (i == catalogue::kType) {
        prefixes[v[0]] = v[2];
      }
      if (i == catalogue::kUrls) {
        BindText(ins[i], 6, bookmarks::ComparableUrl(platform::Cp1251ToUtf8(prefixes[v[3]] + v[0])));
      }
      sql->Step(ins[i]);
    }
    bench::Check(XdsCloseTable(t), "close");
  }
  sql->Exec("COMMIT");
  bench::Check(XdsDisconnect(c), "disconnect");
}

// The import as SQLite does it: the same folders met or made, the same
// addresses looked up by their compared form, one transaction.
Span ImportIntoSqlite(const bookmarks::Tree& tree, Sql* sql, std::size_t* added) {
  sqlite3_stmt* findSection = sql->Prepare("SELECT inid FROM tem WHERE prein=? AND inname=?");
  sqlite3_stmt* maxSection = sql->Prepare("SELECT coalesce(max(inid),0) FROM tem");
  sqlite3_stmt* addSection = sql->Prepare("INSERT INTO tem VALUES(?,?,?)");
  sqlite3_stmt* findType = sql->Prepare("SELECT type_id FROM type WHERE type_name=? AND typrprestr=''");
  sqlite3_stmt* maxType = sql->Prepare("SELECT coalesce(max(CAST(type_id AS INTEGER)),0) FROM type");
  sqlite3_stmt* addType = sql->Prepare("INSERT INTO type VALUES(?,?,'')");
  sqlite3_stmt* findUrl = sql->Prepare("SELECT url_id FROM urls WHERE ukey=?");
  sqlite3_stmt* maxUrl = sql->Prepare("SELECT coalesce(max(url_id),0) FROM urls");
  sqlite3_stmt* addUrl = sql->Prepare("INSERT INTO urls VALUES(?,?,?,?,?,?)");
  sqlite3_stmt* addIn = sql->Prepare("INSERT OR IGNORE INTO urlin VALUES(?,?)");
  Span start = Now();
  sql->Exec("BEGIN");
  int64_t nextSection = sql->Lookup(maxSection);
  int64_t nextType = sql->Lookup(maxType);
  int64_t nextUrl = sql->Lookup(maxUrl);
  std::vector<int64_t> sectionOf(tree.folders.size());
  for (std::size_t i = 0; i < tree.folders.size(); ++i) {
    const bookmarks::Folder& f = tree.folders[i];
    int64_t parent = f.parent >= 0 ? sectionOf[static_cast<std::size_t>(f.parent)] : 0;
    std::string name = platform::Utf8ToCp1251(f.name);
    sqlite3_bind_int64(findSection, 1, parent);
    BindText(findSection, 2, name);
    int64_t id = sql->Lookup(findSection);
    if (id < 0) {
      id = ++nextSection;
      sqlite3_bind_int64(addSection, 1, id);
      BindText(addSection, 2, name);
      sqlite3_bind_int64(addSection, 3, parent);
      sql->Step(addSection);
    }
    sectionOf[i] = id;
  }
  std::unordered_map<std::string, std::string> types;
  for (const bookmarks::Link& l : tree.links) {
    std::string key = bookmarks::ComparableUrl(l.href);
    BindText(findUrl, 1, key);
    int64_t id = sql->Lookup(findUrl);
    if (id < 0) {
      std::string scheme = bookmarks::SchemeOf(l.href);
      auto t = types.find(scheme);
      if (t == types.end()) {
        BindText(findType, 1, scheme);
        int64_t code = sql->Lookup(findType);
        if (code < 0) {
          code = ++nextType;
          BindText(addType, 1, std::to_string(code));
          BindText(addType, 2, scheme);
          sql->Step(addType);
        }
        t = types.emplace(scheme, std::to_string(code)).first;
      }
      id = ++nextUrl;
      bool altered = false;
      BindText(addUrl, 1, bookmarks::StorableUrl(l.href, true));
      BindText(addUrl, 2, bookmarks::StorableText(l.title, true, &altered));
      BindText(addUrl, 3, bookmarks::StorableText(l.description, true, &altered));
      BindText(addUrl, 4, t->second);
      sqlite3_bind_int64(addUrl, 5, id);
      BindText(addUrl, 6, key);
      sql->Step(addUrl);
      ++*added;
    }
    if (l.folder >= 0) {
      sqlite3_bind_int64(addIn, 1, sectionOf[static_cast<std::size_t>(l.folder)]);
      sqlite3_bind_int64(addIn, 2, id);
      sql->Step(addIn);
    }
  }
  sql->Exec("COMMIT");
  return Seconds(start);
}

// One import on both sides; `seed` is the catalogue both start from ("" for none).
void RunCase(const char* title, const std::string& dir, const std::string& sqlitePath,
             const bookmarks::Tree& tree, const std::string& seed) {
  std::printf("%s\n", title);
  bookmarks::ImportSummary summary;
  std::string error;
  Span start = Now();
  if (!bookmarks::ImportBookmarks(tree, dir, bookmarks::ImportOptions(), &summary, &error)) {
    std::fprintf(stderr, "bookmarks_bench: %s\n", error.c_str());
    std::exit(1);
  }
  bench::ReportSeconds("catalogue import (all or nothing)", Seconds(start));
  Sql sql(sqlitePath);
  if (!seed.empty()) {
    LoadCatalogue(seed, &sql);
  }
  sql.Index();
  std::size_t added = 0;
  bench::ReportSeconds("SQLite import (one transaction)", ImportIntoSqlite(tree, &sql, &added));
  std::printf("  URL records added: catalogue %zu, SQLite %zu; memberships added %zu\n",
              summary.urlsAdded, added, summary.membershipsAdded);
}

}  // namespace

int main(int argc, char** argv) {
  bench::gProgram = "bookmarks_bench";
  const uint32_t urls = argc > 1 ? static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 10)) : 1000000;
  const std::string root = (fs::temp_directory_path() / ("bookmarks_bench." + std::to_string(getpid()))).string();
  fs::create_directories(root);

  const std::string file = bench::MakeBookmarkFile();
  bookmarks::Tree tree;
  std::string error;
  Span start = Now();
  if (!bookmarks::ParseBookmarks(file, &tree, &error)) {
    std::fprintf(stderr, "bookmarks_bench: %s\n", error.c_str());
    return 1;
  }
  std::printf("bookmark file: %zu bytes, %zu folders, %zu links\n", file.size(), tree.folders.size(),
              tree.links.size());
  bench::ReportSeconds("reading the file (both sides share it)", Seconds(start));

  RunCase("into an empty catalogue", root + "/empty", root + "/empty.sqlite", tree, "");

  // The seed is made once and copied, so that SQLite loads what the catalogue held before.
  const std::string seed = argc > 2 ? argv[2] : root + "/seed";
  if (!fs::exists(seed)) {
    std::printf("(making a catalogue of %u URL records)\n", urls);
    bench::Check(catalogue::WriteDemoCatalogue(seed, urls), "demo catalogue");
  }
  fs::create_directories(root + "/big");
  for (const auto& e : fs::directory_iterator(seed)) {
    const std::string to = root + "/big/" + e.path().filename().string();
    fs::copy_file(e.path(), to);
    // A user's catalogue is on the disk before an import starts: the copy's
    // writing back is not the import's to pay for.
    int fd = ::open(to.c_str(), O_RDONLY);
    if (fd < 0 || ::fsync(fd) != 0) {
      std::fprintf(stderr, "bookmarks_bench: cannot sync %s\n", to.c_str());
      return 1;
    }
    ::close(fd);
  }
  char title[80];
  std::snprintf(title, sizeof title, "into a catalogue of %u URL records", urls);
  RunCase(title, root + "/big", root + "/big.sqlite", tree, seed);
  fs::remove_all(root);
  return 0;
}
