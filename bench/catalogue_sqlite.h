// A demo catalogue read through the engine and loaded into SQLite with the
// indexes its tags stand for, for the benchmarks that time the same queries
// on both.
#pragma once

#include <sqlite3.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "bench_util.h"

namespace bench {

struct UrlRow {
  int id;
  std::string url;
  std::string name;
  std::string type;
};

// Reads the catalogue through the engine for SQLite's copy.
inline void ReadCatalogue(const std::string& dir, std::vector<UrlRow>& urls,
                          std::vector<std::pair<int, int>>& memberships,
                          std::vector<std::pair<std::string, std::string>>& types) {
  XDSHANDLE c = 0;
  bench::Check(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), "connect");
  auto text = [](XDSHANDLE t, uint16_t field) {
    char buffer[256];
    uint32_t length = sizeof buffer;
    bench::Check(XdsGetField(t, field, buffer, &length, XDS_GET_TRIM), "read field");
    return std::string(buffer, length);
  };
  auto each = [&](const char* file, uint16_t charType, auto&& row) {
    XDSHANDLE t = 0;
    bench::Check(XdsOpenTable(c, file, nullptr, XDS_TABLE_CDX, charType, XDS_LOCK_PROPRIETARY,
                              XDS_RIGHTS_CHECK, XDS_OPEN_EXCLUSIVE, &t),
                 file);
    XDSRESULT r = XdsGotoTop(t);
    for (uint16_t eof = 0; r == 0 && XdsAtEOF(t, &eof) == 0 && eof == 0; r = XdsSkip(t, 1)) {
      row(t);
    }
    bench::Check(r == 0 || r == XDS_ERR_NO_CURRENT_RECORD ? 0 : r, file);
    bench::Check(XdsCloseTable(t), file);
  };
  each("urls.DBF", XDS_CHAR_OEM, [&](XDSHANDLE t) {
    urls.push_back({std::stoi(text(t, 5)), text(t, 1), text(t, 2), text(t, 4)});
  });
  each("URLIN.DBF", XDS_CHAR_ANSI, [&](XDSHANDLE t) {
    memberships.emplace_back(std::stoi(text(t, 1)), std::stoi(text(t, 2)));
  });
  each("TYPE.DBF", XDS_CHAR_ANSI, [&](XDSHANDLE t) { types.emplace_back(text(t, 1), text(t, 2)); });
  bench::Check(XdsDisconnect(c), "disconnect");
}

inline sqlite3* LoadSqlite(const std::string& path, const std::vector<UrlRow>& urls,
                           const std::vector<std::pair<int, int>>& memberships,
                           const std::vector<std::pair<std::string, std::string>>& types) {
  std::filesystem::remove(path);
  sqlite3* db = nullptr;
  bench::CheckSql(sqlite3_open(path.c_str(), &db), db, "open");
  for (const char* sql :
       {"PRAGMA locking_mode=EXCLUSIVE", "PRAGMA journal_mode=OFF", "PRAGMA synchronous=OFF",
        "PRAGMA cache_size=-2000000", "PRAGMA temp_store=MEMORY",
        "CREATE TABLE urls(url_id INTEGER, url TEXT, name TEXT, adrestype TEXT)",
        "CREATE TABLE urlin(tem_id INTEGER, url_id INTEGER)",
        "CREATE TABLE types(type_id TEXT, type_name TEXT)", "BEGIN"}) {
    bench::CheckSql(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql);
  }
  sqlite3_stmt* st = nullptr;
  bench::CheckSql(sqlite3_prepare_v2(db, "INSERT INTO urls VALUES(?,?,?,?)", -1, &st, nullptr), db,
                  "prepare");
  for (const UrlRow& u : urls) {
    sqlite3_bind_int(st, 1, u.id);
    sqlite3_bind_text(st, 2, u.url.data(), static_cast<int>(u.url.size()), SQLITE_STATIC);
    sqlite3_bind_text(st, 3, u.name.data(), static_cast<int>(u.name.size()), SQLITE_STATIC);
    sqlite3_bind_text(st, 4, u.type.data(), static_cast<int>(u.type.size()), SQLITE_STATIC);
    bench::CheckSql(sqlite3_step(st), db, "insert");
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  bench::CheckSql(sqlite3_prepare_v2(db, "INSERT INTO urlin VALUES(?,?)", -1, &st, nullptr), db,
                  "prepare");
  for (auto [tem, url] : memberships) {
    sqlite3_bind_int(st, 1, tem);
    sqlite3_bind_int(st, 2, url);
    bench::CheckSql(sqlite3_step(st), db, "insert");
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  bench::CheckSql(sqlite3_prepare_v2(db, "INSERT INTO types VALUES(?,?)", -1, &st, nullptr), db,
                  "prepare");
  for (const auto& [id, name] : types) {
    sqlite3_bind_text(st, 1, id.data(), static_cast<int>(id.size()), SQLITE_STATIC);
    sqlite3_bind_text(st, 2, name.data(), static_cast<int>(name.size()), SQLITE_STATIC);
    bench::CheckSql(sqlite3_step(st), db, "insert");
    sqlite3_reset(st);
  }
  sqlite3_finalize(st);
  // The indexes the catalogue's tags stand for.
  for (const char* sql :
       {"COMMIT", "CREATE INDEX urls_id ON urls(url_id)", "CREATE INDEX urls_url ON urls(url)",
        "CREATE INDEX urls_name ON urls(name)", "CREATE INDEX urlin_tem ON urlin(tem_id)",
        "CREATE INDEX urlin_url ON urlin(url_id)", "CREATE INDEX types_id ON types(type_id)",
        "ANALYZE"}) {
    bench::CheckSql(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), db, sql);
  }
  return db;
}

}  // namespace bench
