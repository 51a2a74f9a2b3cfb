// The command-line tool as a user runs it: exit statuses, one-line errors,
// the catalogue it creates, dump, check and pack.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "temp_dir.h"
#include "xce.h"

namespace {

namespace fs = std::filesystem;

using ToolRun = testsupport::ChildRun;

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

class Tool : public ::testing::Test {
 protected:
  ToolRun Exec(std::vector<std::string> args) {
    args.insert(args.begin(), XCETOOL_PATH);
    return testsupport::RunChild(args);
  }

  static bool OneLine(const std::string& s) {
    return !s.empty() && s.back() == '\n' && s.find('\n') == s.size() - 1;
  }

  testsupport::TempDir tmp_{"xcetool"};
  fs::path dir_ = tmp_.path();
};

TEST_F(Tool, HelpEverywhere) {
  ToolRun r = Exec({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("create-catalogue"), std::string::npos);
  for (const char* cmd :
       {"create-catalogue", "demo-catalogue", "info", "dump", "check", "pack", "reindex",
        "check-catalogue"}) {
    r = Exec({cmd, "--help"});
    EXPECT_EQ(r.status, 0) << cmd;
    EXPECT_NE(r.out.find("usage: xcetool"), std::string::npos) << cmd;
  }
}

TEST_F(Tool, FailuresAreOneLineOnStderr) {
  const std::vector<std::vector<std::string>> cases = {
      {"frobnicate"},
      {"dump", (dir_ / "missing.dbf").string()},
      {"info"},
      {"create-catalogue", (dir_ / "no" / "such").string()},
      {"pack", (dir_ / "missing.dbf").string()},
  };
  for (const auto& args : cases) {
    ToolRun r = Exec(args);
    EXPECT_NE(r.status, 0) << args[0];
    EXPECT_TRUE(OneLine(r.err)) << args[0] << ": " << r.err;
    EXPECT_EQ(r.err.rfind("xcetool: ", 0), 0u) << r.err;
  }
}

struct FieldDef {
  std::string name;
  char type;
  uint16_t length;
  uint16_t decimals;
  bool operator==(const FieldDef&) const = default;
};

std::vector<FieldDef> Fields(const fs::path& dir, const std::string& table, uint16_t* mark) {
  std::vector<FieldDef> out;
  XDSHANDLE c = 0;
  XDSHANDLE t = 0;
  EXPECT_EQ(XdsConnect60(dir.c_str(), 1, "", "", 0, &c), 0);
  if (XdsOpenTable(c, table.c_str(), nullptr, 2, 1, 1, 1, XDS_OPEN_READONLY, &t) == 0) {
    uint16_t n = 0;
    EXPECT_EQ(XdsGetNumFields(t, &n), 0);
    for (uint16_t f = 1; f <= n; ++f) {
      char name[16];
      uint16_t len = sizeof name;
      FieldDef d;
      EXPECT_EQ(XdsGetFieldName(t, f, name, &len), 0);
      d.name.assign(name, len);
      EXPECT_EQ(XdsGetFieldTypeLetter(t, f, &d.type), 0);
      EXPECT_EQ(XdsGetFieldLength(t, f, &d.length), 0);
      EXPECT_EQ(XdsGetFieldDecimals(t, f, &d.decimals), 0);
      out.push_back(d);
    }
    EXPECT_EQ(XdsCloseTable(t), 0);
  }
  EXPECT_EQ(XdsDisconnect(c), 0);
  std::string bytes = Slurp(dir / table);
  *mark = bytes.size() > 29 ? static_cast<uint8_t>(bytes[29]) : 0;
  return out;
}

TEST_F(Tool, CreatesTheCatalogueTables) {
  ToolRun r = Exec({"create-catalogue", dir_.string()});
  ASSERT_EQ(r.status, 0) << r.err;
  uint16_t mark = 0;
  EXPECT_EQ(
      Fields(dir_, "TEM.dbf", &mark),
      (std::vector<FieldDef>{{"INID", 'N', 10, 0}, {"INNAME", 'C', 50, 0}, {"PREIN", 'N', 10, 0}}));
  EXPECT_EQ(mark, 0xC9);
  EXPECT_EQ(Fields(dir_, "TYPE.DBF", &mark),
            (std::vector<FieldDef>{
                {"TYPE_ID", 'C', 10, 0}, {"TYPE_NAME", 'C', 100, 0}, {"TYPRPRESTR", 'C', 30, 0}}));
  EXPECT_EQ(Fields(dir_, "URLIN.DBF", &mark),
            (std::vector<FieldDef>{{"TEM_ID", 'N', 10, 0}, {"URL_ID", 'N', 10, 0}}));
  EXPECT_EQ(Fields(dir_, "urls.DBF", &mark), (std::vector<FieldDef>{{"URL", 'C', 100, 0},
                                                                    {"NAME", 'C', 100, 0},
                                                                    {"DESCR", 'M', 10, 0},
                                                                    {"ADRESTYPE", 'C', 10, 0},
                                                                    {"URL_ID", 'N', 10, 0}}));
  EXPECT_EQ(mark, 0x65);                       // the URL table holds 866 text
  EXPECT_TRUE(fs::exists(dir_ / "urls.FPT"));  // memo extension follows the table's case
  r = Exec({"info", (dir_ / "urls.DBF").string()});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("records: 0"), std::string::npos);
  r = Exec({"create-catalogue", dir_.string()});  // never over existing tables
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(OneLine(r.err)) << r.err;

  fs::path fresh = dir_ / "fresh";
  fs::create_directory(fresh);
  r = Exec({"create-catalogue", "--if-missing", fresh.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(fs::exists(fresh / "urls.DBF"));
}

// A folder holding any one catalogue file, in any letter case, is left
// exactly as it was: a leftover memo or index is somebody's data.
TEST_F(Tool, CreateCatalogueRefusesAFolderWithAnyCatalogueFile) {
  for (const char* present : {"URLS.fpt", "tem.CDX", "Urlin.dbf", "type.DBF", "urls.cdx"}) {
    SCOPED_TRACE(present);
    fs::path sub = dir_ / "cat";
    fs::create_directory(sub);
    {
      std::ofstream out(sub / present, std::ios::binary);
      out << "kept";
    }
    ToolRun r = Exec({"create-catalogue", sub.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(OneLine(r.err)) << r.err;
    EXPECT_NE(r.err.find(present), std::string::npos) << r.err;
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(sub)) {
      names.push_back(e.path().filename().string());
    }
    EXPECT_EQ(names, std::vector<std::string>{present});
    EXPECT_EQ(Slurp(sub / present), "kept");
    // A first start's creation: such a folder is fine and stays as it is.
    r = Exec({"create-catalogue", sub.string(), "--if-missing"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(fs::directory_iterator(sub)->path().filename().string(), present);
    EXPECT_EQ(std::distance(fs::directory_iterator(sub), fs::directory_iterator()), 1);
    EXPECT_EQ(Slurp(sub / present), "kept");
    fs::remove_all(sub);
  }
}

TEST_F(Tool, DumpCheckAndPack) {
  XDSHANDLE c = 0;
  XDSHANDLE t = 0;
  ASSERT_EQ(XdsConnect60(dir_.c_str(), 1, "", "", 0, &c), 0);
  XDSFIELDDEF defs[] = {{"ID", 'N', 3, 0}, {"NOTE", 'M', 0, 0}};
  ASSERT_EQ(XdsCreateTable(c, "p.dbf", 1, 2, defs), 0);
  ASSERT_EQ(XdsOpenTable(c, "p.dbf", nullptr, 2, 1, 1, 1, XDS_OPEN_EXCLUSIVE, &t), 0);
  for (const char* id : {"1", "2", "3"}) {
    ASSERT_EQ(XdsAppendRecord(t), 0);
    ASSERT_EQ(XdsSetField(t, 1, id, 1), 0);
    ASSERT_EQ(XdsSetField(t, 2, "ab", 2), 0);
    ASSERT_EQ(XdsWriteRecord(t), 0);
  }
  ASSERT_EQ(XdsGotoRecord(t, 2), 0);
  ASSERT_EQ(XdsDeleteRecord(t), 0);
  ASSERT_EQ(XdsCloseTable(t), 0);
  EXPECT_EQ(XdsDisconnect(c), 0);
  const std::string table = (dir_ / "p.dbf").string();
  ToolRun r = Exec({"dump", table});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "1; ;1;6162\n2;*;2;6162\n3; ;3;6162\n");
  r = Exec({"check", table});
  EXPECT_EQ(r.status, 0) << r.err;
  r = Exec({"pack", table});
  EXPECT_EQ(r.status, 0) << r.err;
  r = Exec({"dump", table});
  EXPECT_EQ(r.out, "1; ;1;6162\n2; ;3;6162\n");
  std::ofstream(table, std::ios::binary | std::ios::app) << "junk";
  r = Exec({"check", table});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("bytes follow the last counted record"), std::string::npos) << r.err;
}

// A sort memory far below what the keys need: the same index bytes, and a
// value that is no number of megabytes is refused in one line.
TEST_F(Tool, ReindexWithASortMemory) {
  XDSHANDLE c = 0;
  XDSHANDLE t = 0;
  ASSERT_EQ(XdsConnect60(dir_.c_str(), 1, "", "", 0, &c), 0);
  XDSFIELDDEF defs[] = {{"NAME", 'C', 100, 0}};
  ASSERT_EQ(XdsCreateTable(c, "r.dbf", 1, 1, defs), 0);
  ASSERT_EQ(XdsOpenTable(c, "r.dbf", nullptr, 2, 1, 1, 1, XDS_OPEN_EXCLUSIVE, &t), 0);
  for (int i = 0; i < 30000; ++i) {
    const std::string name = "http://www.example.com/" + std::to_string(i * 7919 % 30000);
    ASSERT_EQ(XdsAppendRecord(t), 0);
    ASSERT_EQ(XdsSetField(t, 1, name.data(), static_cast<uint32_t>(name.size())), 0);
    ASSERT_EQ(XdsWriteRecord(t), 0);
  }
  ASSERT_EQ(XdsCreateIndexTag(t, "NAME", "NAME", "", 0, 0), 0);
  ASSERT_EQ(XdsCloseTable(t), 0);
  EXPECT_EQ(XdsDisconnect(c), 0);
  const std::string table = (dir_ / "r.dbf").string();
  const std::string built = Slurp(dir_ / "r.cdx");
  ToolRun r = Exec({"reindex", "--sort-memory", "1", table});  // 30000 keys need about 4 MB
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(Slurp(dir_ / "r.cdx") == built);
  r = Exec({"check", table});
  EXPECT_EQ(r.status, 0) << r.err;
  for (const char* bad : {"0", "x", "-5", "12MB"}) {
    r = Exec({"reindex", "--sort-memory", bad, table});
    EXPECT_NE(r.status, 0) << bad;
    EXPECT_TRUE(OneLine(r.err)) << r.err;
  }
  r = Exec({"pack", table, "--sort-memory"});
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(OneLine(r.err)) << r.err;
}

TEST_F(Tool, DumpOfAFixtureMatchesItsCsv) {
  fs::path table = fs::path(TAVO_FIXTURES_DIR) / "catalogue" / "urls.DBF";
  if (!fs::exists(table)) {
    GTEST_SKIP() << "fixtures not found";
  }
  ToolRun r = Exec({"dump", table.string()});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, Slurp(table.parent_path() / "urls.RECNO.csv"));
}

}  // namespace

// Every record of a table as its trimmed field texts (the URL table's 866
// text converted to 1251 by the engine).
std::vector<std::vector<std::string>> Rows(const fs::path& dir, const std::string& table,
                                           uint16_t charType) {
  std::vector<std::vector<std::string>> rows;
  XDSHANDLE c = 0;
  XDSHANDLE t = 0;
  EXPECT_EQ(XdsConnect60(dir.c_str(), 1, "", "", 0, &c), 0);
  if (XdsOpenTable(c, table.c_str(), nullptr, 2, charType, 1, 1, XDS_OPEN_READONLY, &t) == 0) {
    uint16_t n = 0;
    EXPECT_EQ(XdsGetNumFields(t, &n), 0);
    for (XDSRESULT r = XdsGotoTop(t); r == 0; r = XdsSkip(t, 1)) {
      uint16_t eof = 0;
      if (XdsAtEOF(t, &eof) != 0 || eof != 0) {
        break;
      }
      std::vector<std::string> row;
      for (uint16_t f = 1; f <= n; ++f) {
        std::vector<char> buf(4096);
        uint32_t len = static_cast<uint32_t>(buf.size());
        EXPECT_EQ(XdsGetField(t, f, buf.data(), &len, XDS_GET_TRIM), 0);
        row.emplace_back(buf.data(), len);
      }
      rows.push_back(row);
    }
    EXPECT_EQ(XdsCloseTable(t), 0);
  }
  EXPECT_EQ(XdsDisconnect(c), 0);
  return rows;
}

std::map<std::string, std::string> FilesOf(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    files[e.path().filename().string()] = Slurp(e.path());
  }
  return files;
}

TEST_F(Tool, DemoCatalogueIsSoundAndTheSameOnEveryRun) {
  const fs::path a = dir_ / "a";
  const fs::path b = dir_ / "b";
  ToolRun r = Exec({"demo-catalogue", a.string(), "--urls", "1001"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("10 sections, 5 link types, 1001 URL records, 3003 memberships"),
            std::string::npos)
      << r.out;
  ASSERT_EQ(Exec({"demo-catalogue", "--urls", "1001", b.string()}).status, 0);
  const auto files = FilesOf(a);
  // Four tables and the table of whole addresses, their five index files,
  // two memo files.
  EXPECT_EQ(files.size(), 12u);
  EXPECT_TRUE(files == FilesOf(b)) << "two runs wrote different bytes";
  for (const char* table : {"TEM.dbf", "TYPE.DBF", "URLIN.DBF", "urls.DBF", "URLFULL.DBF"}) {
    r = Exec({"check", (a / table).string()});
    EXPECT_EQ(r.status, 0) << table << ": " << r.err;
  }

  // Two levels of sections: parents come before their children.
  std::set<std::string> sections;
  std::set<std::string> tops;
  for (const auto& row : Rows(a, "TEM.dbf", XDS_CHAR_ANSI)) {
    ASSERT_EQ(row.size(), 3u);
    EXPECT_FALSE(row[1].empty());
    EXPECT_TRUE(row[2] == "0" || tops.count(row[2]) == 1) << "section " << row[0];
    if (row[2] == "0") {
      tops.insert(row[0]);
    }
    EXPECT_TRUE(sections.insert(row[0]).second) << "section id twice: " << row[0];
  }
  EXPECT_EQ(sections.size(), 10u);
  EXPECT_EQ(tops.size(), 2u);
  std::set<std::string> types;
  for (const auto& row : Rows(a, "TYPE.DBF", XDS_CHAR_ANSI)) {
    types.insert(row[0]);
  }
  EXPECT_EQ(types.size(), 5u);
  std::set<std::string> urls;
  int described = 0;
  for (const auto& row : Rows(a, "urls.DBF", XDS_CHAR_OEM)) {
    ASSERT_EQ(row.size(), 5u);
    EXPECT_FALSE(row[0].empty());
    EXPECT_FALSE(row[1].empty());
    described += row[2].empty() ? 0 : 1;
    EXPECT_EQ(types.count(row[3]), 1u) << "unknown link type " << row[3];
    EXPECT_TRUE(urls.insert(row[4]).second) << "URL id twice: " << row[4];
  }
  EXPECT_EQ(urls.size(), 1001u);
  // A few addresses are longer than the URL field: each is whole beside its
  // record, which holds its first 100 characters.
  std::map<std::string, std::string> urlOf;
  for (const auto& row : Rows(a, "urls.DBF", XDS_CHAR_OEM)) {
    urlOf[row[4]] = row[0];
  }
  std::size_t whole = 0;
  for (const auto& row : Rows(a, "URLFULL.DBF", XDS_CHAR_OEM)) {
    ASSERT_EQ(row.size(), 2u);
    ++whole;
    EXPECT_GT(row[1].size(), 100u) << row[1];
    EXPECT_EQ(urlOf[row[0]], row[1].substr(0, 100)) << row[0];
  }
  EXPECT_EQ(whole, 4u);
  r = Exec({"dump", (a / "URLFULL.DBF").string(), "--order", "URL_ID", "--oem"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 4) << r.out;
  EXPECT_GT(described, 500);
  EXPECT_LT(described, 1001);
  std::map<std::string, std::set<std::string>> memberships;
  std::size_t rows = 0;
  for (const auto& row : Rows(a, "URLIN.DBF", XDS_CHAR_ANSI)) {
    ++rows;
    EXPECT_EQ(sections.count(row[0]), 1u) << "membership of a missing section " << row[0];
    EXPECT_EQ(urls.count(row[1]), 1u) << "membership of a missing URL " << row[1];
    EXPECT_TRUE(memberships[row[1]].insert(row[0]).second) << "URL " << row[1] << " filed twice";
  }
  EXPECT_EQ(rows, 3003u);
  EXPECT_EQ(memberships.size(), 1001u);  // every URL record is filed somewhere
  for (const auto& [url, in] : memberships) {
    EXPECT_LE(in.size(), 5u) << url;
  }

  // Never over a catalogue, and nothing is touched when refused.
  r = Exec({"demo-catalogue", a.string(), "--urls", "5"});
  EXPECT_NE(r.status, 0);
  EXPECT_TRUE(OneLine(r.err)) << r.err;
  EXPECT_TRUE(files == FilesOf(a));
  for (const std::vector<std::string>& bad :
       {std::vector<std::string>{"demo-catalogue", (dir_ / "c").string()},
        {"demo-catalogue", (dir_ / "c").string(), "--urls", "0"},
        {"demo-catalogue", (dir_ / "c").string(), "--urls", "12x"},
        {"demo-catalogue", "--urls", "3"}}) {
    r = Exec(bad);
    EXPECT_NE(r.status, 0) << bad.back();
    EXPECT_TRUE(OneLine(r.err)) << r.err;
  }
  EXPECT_FALSE(fs::exists(dir_ / "c"));
}
