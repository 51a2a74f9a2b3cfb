// xcetool: create, inspect, dump, check and pack tables through the engine.
// A failure is one line on stderr and a non-zero exit status.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "catalogue/catalogue_check.h"
#include "catalogue/demo_catalogue.h"
#include "catalogue/schema.h"
#include "csv_dump.h"
#include "xce.h"

namespace {

constexpr const char* kUsage =
    "usage: xcetool COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  create-catalogue DIR [--if-missing]\n"
    "                         create the catalogue's four empty tables and their tags in DIR\n"
    "  demo-catalogue DIR --urls N\n"
    "                         write a made-up catalogue of N URL records into DIR\n"
    "  info FILE              show a table's fields and record count\n"
    "  dump FILE              print every record as CSV (recno;deleted;fields...)\n"
    "  count FILE             print the number of records\n"
    "  check FILE             check header, record count, end mark, memo pointers and\n"
    "                         every index tag; exit status 1 when a problem is found\n"
    "  pack FILE              remove deleted records (needs exclusive use)\n"
    "  check-catalogue DIR [--repair]\n"
    "                         check the catalogue's tables against each other; exit status\n"
    "                         1 when something is found, 2 when a table cannot be read;\n"
    "                         --repair mends every finding, all or nothing\n"
    "  reindex FILE           rebuild every index tag (needs exclusive use)\n"
    "\n"
    "pack and reindex accept --sort-memory MB: the memory for sorting index keys\n"
    "(default 128); larger tables are sorted in parts through scratch files in\n"
    "the table's folder.\n"
    "\n"
    "Every command accepts --help.\n";

int Fail(const std::string& message) {
  std::cerr << "xcetool: " << message << "\n";
  return 1;
}

int EngineFail() { return Fail(xcetool::LastErrorText()); }

bool WantsHelp(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      return true;
    }
  }
  return false;
}

void SplitPath(const std::string& path, std::string* dir, std::string* name) {
  std::filesystem::path p(path);
  *dir = p.has_parent_path() ? p.parent_path().string() : std::string(1, '.');
  *name = p.filename().string();
}

// Takes "--sort-memory MB" out of args and applies it; false (with the
// message in *error) when its value is not a whole number of megabytes.
bool TakeSortMemory(std::vector<std::string>* args, std::string* error) {
  for (std::size_t i = 0; i < args->size(); ++i) {
    if ((*args)[i] != "--sort-memory") {
      continue;
    }
    const std::string value = i + 1 < args->size() ? (*args)[i + 1] : std::string();
    char* end = nullptr;
    const unsigned long mb = std::strtoul(value.c_str(), &end, 10);
    if (value.empty() || value[0] < '0' || value[0] > '9' || *end != '\0' || mb < 1 ||
        mb > 4194303) {
      *error = "--sort-memory needs a number of megabytes from 1 to 4194303";
      return false;
    }
    if (XdsSetIndexSortMemory(static_cast<uint32_t>(mb << 10)) != 0) {
      *error = xcetool::LastErrorText();
      return false;
    }
    args->erase(args->begin() + static_cast<std::ptrdiff_t>(i),
                args->begin() + static_cast<std::ptrdiff_t>(i) + 2);
    return true;
  }
  return true;
}

// Connection plus table, closed on every way out. A command that writes
// closes its table itself and reports a failed close (Close); what is left
// open here was only read, or a failure the command reports already left it.
class OpenTable {
 public:
  ~OpenTable() {
    if (table_ != 0) {
      (void)XdsCloseTable(table_);
    }
    if (connection_ != 0) {
      (void)XdsDisconnect(connection_);
    }
  }
  XDSRESULT Connect(const std::string& dir) {
    return XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &connection_);
  }
  XDSRESULT Open(const std::string& path, uint32_t options, uint16_t charType = XDS_CHAR_ANSI) {
    std::string dir;
    std::string name;
    SplitPath(path, &dir, &name);
    XDSRESULT r = Connect(dir);
    if (r == 0) {
      r = XdsOpenTable(connection_, name.c_str(), nullptr, XDS_TABLE_CDX, charType,
                       XDS_LOCK_PROPRIETARY, XDS_RIGHTS_CHECK, options, &table_);
    }
    return r;
  }
  XDSRESULT Close() {
    XDSRESULT r = XdsCloseTable(table_);
    table_ = 0;
    return r;
  }
  XDSHANDLE connection() const { return connection_; }
  XDSHANDLE table() const { return table_; }

 private:
  XDSHANDLE connection_ = 0;
  XDSHANDLE table_ = 0;
};

int CreateCatalogue(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::cout << "usage: xcetool create-catalogue DIR [--if-missing]\n"
                 "Creates TEM.dbf, TYPE.DBF, URLIN.DBF and urls.DBF (with its memo file) in DIR,\n"
                 "each with its index tags. Refuses, changing nothing, when DIR holds any of\n"
                 "these files or their index and memo files; with --if-missing such a folder\n"
                 "is left as it is and the command succeeds (for a program's first start).\n";
    return 0;
  }
  std::vector<std::string> dirs;
  bool ifMissing = false;
  for (const std::string& a : args) {
    if (a == "--if-missing") {
      ifMissing = true;
    } else {
      dirs.push_back(a);
    }
  }
  if (dirs.size() != 1) {
    return Fail("create-catalogue needs exactly one directory");
  }
  // All or nothing: a folder holding any catalogue file is somebody's
  // catalogue, or what is left of one, and is not written to.
  const std::vector<std::string> present = catalogue::CatalogueFilesIn(dirs[0]);
  if (!present.empty()) {
    if (ifMissing) {
      return 0;
    }
    return Fail("cannot create the catalogue in " + dirs[0] + ": " + present.front() +
                " exists there");
  }
  OpenTable t;
  if (t.Connect(dirs[0]) != 0 || catalogue::CreateCatalogue(t.connection()) != 0) {
    return EngineFail();
  }
  return 0;
}

int DemoCatalogue(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::cout << "usage: xcetool demo-catalogue DIR --urls N\n"
                 "Writes a made-up catalogue into DIR (created when missing; refused when it\n"
                 "already holds catalogue files): N URL records with names, descriptions and\n"
                 "link types, N/100 sections (at least 10) in two levels, 3*N memberships\n"
                 "(1 to 5 per URL record). The same N gives the same files.\n";
    return 0;
  }
  std::vector<std::string> dirs;
  long long urls = -1;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--urls") {
      if (i + 1 >= args.size()) {
        return Fail("--urls needs a number");
      }
      char* end = nullptr;
      urls = std::strtoll(args[++i].c_str(), &end, 10);
      if (*end != '\0' || args[i].empty() || urls < 1 || urls > 100000000) {
        return Fail("--urls needs a whole number from 1 to 100000000");
      }
    } else {
      dirs.push_back(args[i]);
    }
  }
  if (dirs.size() != 1 || urls < 0) {
    return Fail("demo-catalogue needs a directory and --urls N");
  }
  auto progress = [](const char* step) { std::cerr << "xcetool: " << step << "\n"; };
  if (catalogue::WriteDemoCatalogue(dirs[0], static_cast<uint32_t>(urls), progress) != 0) {
    return EngineFail();
  }
  catalogue::DemoCounts c = catalogue::DemoCountsFor(static_cast<uint32_t>(urls));
  std::cout << dirs[0] << ": " << c.sections << " sections, " << c.types << " link types, "
            << c.urls << " URL records, " << c.memberships << " memberships\n";
  return 0;
}

int Info(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::cout << "usage: xcetool info FILE\nShows the table's record count and fields.\n";
    return 0;
  }
  if (args.size() != 1) {
    return Fail("info needs exactly one table file");
  }
  OpenTable t;
  if (t.Open(args[0], XDS_OPEN_READONLY) != 0) {
    return EngineFail();
  }
  uint32_t count = 0;
  uint32_t length = 0;
  uint16_t fields = 0;
  uint32_t options = 0;
  if (XdsGetRecordCount(t.table(), XDS_COUNT_IGNORE_FILTERS, &count) != 0 ||
      XdsGetRecordLength(t.table(), &length) != 0 || XdsGetNumFields(t.table(), &fields) != 0) {
    return EngineFail();
  }
  std::cout << "table: " << args[0] << "\nrecords: " << count << "\nrecord length: " << length
            << "\nfields: " << fields << "\n";
  for (uint16_t f = 1; f <= fields; ++f) {
    char name[32];
    uint16_t nameLength = sizeof name;
    char letter = 0;
    uint16_t type = 0;
    uint16_t len = 0;
    uint16_t dec = 0;
    if (XdsGetFieldName(t.table(), f, name, &nameLength) != 0 ||
        XdsGetFieldTypeLetter(t.table(), f, &letter) != 0 ||
        XdsGetFieldType(t.table(), f, &type) != 0 || XdsGetFieldLength(t.table(), f, &len) != 0 ||
        XdsGetFieldDecimals(t.table(), f, &dec) != 0) {
      return EngineFail();
    }
    std::printf("  %-10s %c(%u,%u)  engine type %u\n", name, letter, len, dec, type);
  }
  (void)options;
  return 0;
}

constexpr const char* kFilterHelp =
    "  --filter EXPR   only records for which the expression is true\n"
    "  --oem           the table's text is OEM (866): literals are converted to it,\n"
    "                  and character values are shown converted to 1251\n";

// Options shared by dump and count: --filter EXPR and --oem.
struct FilterOptions {
  std::string filter;
  uint16_t charType = XDS_CHAR_ANSI;
};

bool TakeFilterOption(const std::vector<std::string>& args, std::size_t* i, FilterOptions* o) {
  if (args[*i] == "--oem") {
    o->charType = XDS_CHAR_OEM;
    return true;
  }
  if (args[*i] == "--filter" && *i + 1 < args.size()) {
    o->filter = args[++*i];
    return true;
  }
  return false;
}

int Dump(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::cout << "usage: xcetool dump FILE [--order TAG] [--filter EXPR] [--oem]\n"
                 "Prints every record in record-number order (or in the order of index tag\n"
                 "TAG) as recno;deleted;field;...\n"
                 "Character and memo fields are written as the hex of their stored bytes.\n"
              << kFilterHelp;
    return 0;
  }
  std::vector<std::string> files;
  FilterOptions filter;
  std::string tag;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--order") {
      if (i + 1 >= args.size()) {
        return Fail("--order needs a tag name");
      }
      tag = args[++i];
      continue;
    }
    if (!TakeFilterOption(args, &i, &filter)) {
      files.push_back(args[i]);
    }
  }
  if (files.size() != 1) {
    return Fail("dump needs exactly one table file");
  }
  OpenTable t;
  XDSHANDLE order = 0;
  if (t.Open(files[0], XDS_OPEN_READONLY, filter.charType) != 0 ||
      (!tag.empty() && XdsGetIndexHandle(t.table(), tag.c_str(), &order) != 0) ||
      (!filter.filter.empty() && XdsSetFilter(t.table(), filter.filter.c_str()) != 0) ||
      xcetool::DumpCsv(t.table(), std::cout, order) != 0) {
    return EngineFail();
  }
  std::cout.flush();
  return std::cout.good() ? 0 : Fail("cannot write the dump");
}

int Count(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::cout << "usage: xcetool count FILE [--filter EXPR] [--oem]\n"
                 "Prints the number of records (deleted ones included).\n"
              << kFilterHelp;
    return 0;
  }
  std::vector<std::string> files;
  FilterOptions filter;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (!TakeFilterOption(args, &i, &filter)) {
      files.push_back(args[i]);
    }
  }
  if (files.size() != 1) {
    return Fail("count needs exactly one table file");
  }
  OpenTable t;
  uint32_t count = 0;
  if (t.Open(files[0], XDS_OPEN_READONLY, filter.charType) != 0 ||
      (!filter.filter.empty() && XdsSetAOF(t.table(), filter.filter.c_str(), 1) != 0) ||
      XdsGetRecordCount(t.table(), XDS_COUNT_RESPECT_FILTERS, &count) != 0) {
    return EngineFail();
  }
  std::cout << count << "\n";
  return 0;
}

int Check(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::cout << "usage: xcetool check FILE\n"
                 "Checks the header, the record count against the file size, the end mark,\n"
                 "the memo pointers and every index tag (order, count, each key against its\n"
                 "record, sibling chains, reachable pages). Exit status 1 with a message when\n"
                 "a problem is found.\n";
    return 0;
  }
  if (args.size() != 1) {
    return Fail("check needs exactly one table file");
  }
  std::string dir;
  std::string name;
  SplitPath(args[0], &dir, &name);
  OpenTable t;
  if (t.Connect(dir) != 0) {
    return EngineFail();
  }
  std::vector<char> report(1 << 16);
  uint32_t length = static_cast<uint32_t>(report.size());
  XDSRESULT r = XdsCheckTable(t.connection(), name.c_str(), report.data(), &length);
  if (r != 0 && length > 0 && length < report.size()) {
    std::string text(report.data(), length);
    std::cerr << text;
    return Fail(args[0] + " has problems");
  }
  if (r != 0) {
    return EngineFail();
  }
  std::cout << args[0] << ": ok\n";
  return 0;
}

// Exit statuses of check-catalogue: like diff's, 1 says what was looked for
// was found, 2 that the catalogue could not be looked at.
constexpr int kFound = 1;
constexpr int kCannotCheck = 2;

int CheckCatalogue(const std::vector<std::string>& args) {
  if (WantsHelp(args)) {
    std::cout
        << "usage: xcetool check-catalogue DIR [--repair]\n"
           "Checks the catalogue's tables against each other: memberships naming a\n"
           "missing URL record or section, repeated memberships, memberships of URL\n"
           "records marked deleted, URL and section ids that repeat or are not positive,\n"
           "sections whose parent is missing or whose parents lead round in a cycle,\n"
           "link type codes no link type has, and rows of URLFULL.DBF naming no URL\n"
           "record or repeating another. One line per finding, with record numbers.\n"
           "Exit status 0 when nothing is found, 1 when something is, 2 when a table\n"
           "cannot be read (the engine's message; nothing is written).\n"
           "\n"
           "--repair mends every finding without losing a URL record or a section:\n"
           "drops those memberships, gives the newer of two records with one id and a\n"
           "record whose id is not positive a new id, adds the missing link types,\n"
           "puts the sections whose parent is missing or in a cycle at the top level\n"
           "(where the program shows them). All or nothing; the tables must not be in\n"
           "use. Prints what it found and what it did; exit status 0 when done.\n";
    return 0;
  }
  std::vector<std::string> dirs;
  bool repair = false;
  for (const std::string& a : args) {
    if (a == "--repair") {
      repair = true;
    } else {
      dirs.push_back(a);
    }
  }
  if (dirs.size() != 1) {
    Fail("check-catalogue needs exactly one directory");
    return kCannotCheck;
  }
  std::vector<catalogue::Finding> findings;
  std::vector<std::string> done;
  std::string error;
  const bool ok = repair ? catalogue::RepairCatalogue(dirs[0], catalogue::RepairOptions(),
                                                      &findings, &done, &error)
                         : catalogue::CheckCatalogue(dirs[0], &findings, &error);
  if (!ok) {
    Fail(error);
    return kCannotCheck;
  }
  for (const catalogue::Finding& f : findings) {
    std::cout << f.text << "\n";
  }
  for (const std::string& line : done) {
    std::cout << "repaired: " << line << "\n";
  }
  if (findings.empty()) {
    std::cout << dirs[0] << ": ok\n";
  }
  std::cout.flush();
  if (!std::cout.good()) {
    Fail("cannot write the report");
    return kCannotCheck;
  }
  return findings.empty() || repair ? 0 : kFound;
}

int Pack(std::vector<std::string> args) {
  if (WantsHelp(args)) {
    std::cout << "usage: xcetool pack [--sort-memory MB] FILE\n"
                 "Removes deleted records; the table must not be in use. Index keys are\n"
                 "sorted in MB megabytes (default 128).\n";
    return 0;
  }
  if (std::string error; !TakeSortMemory(&args, &error)) {
    return Fail(error);
  }
  if (args.size() != 1) {
    return Fail("pack needs exactly one table file");
  }
  OpenTable t;
  if (t.Open(args[0], XDS_OPEN_EXCLUSIVE) != 0 || XdsPackTable(t.table()) != 0 || t.Close() != 0) {
    return EngineFail();
  }
  return 0;
}

int Reindex(std::vector<std::string> args) {
  if (WantsHelp(args)) {
    std::cout << "usage: xcetool reindex [--sort-memory MB] FILE\n"
                 "Rebuilds every index tag of the table into a new index file that replaces\n"
                 "the old one when complete; the table must not be in use. Keys are sorted\n"
                 "in MB megabytes (default 128), larger tables in parts through scratch\n"
                 "files in the table's folder.\n";
    return 0;
  }
  if (std::string error; !TakeSortMemory(&args, &error)) {
    return Fail(error);
  }
  if (args.size() != 1) {
    return Fail("reindex needs exactly one table file");
  }
  OpenTable t;
  if (t.Open(args[0], XDS_OPEN_EXCLUSIVE | XDS_OPEN_REINDEX_ON_COLLATION_MISMATCH) != 0 ||
      XdsReindex61(t.table(), 512) != 0 || t.Close() != 0) {
    return EngineFail();
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << kUsage;
    return 2;
  }
  std::string command = argv[1];
  std::vector<std::string> args(argv + 2, argv + argc);
  if (command == "--help" || command == "-h" || command == "help") {
    std::cout << kUsage;
    return 0;
  }
  if (command == "create-catalogue") {
    return CreateCatalogue(args);
  }
  if (command == "demo-catalogue") {
    return DemoCatalogue(args);
  }
  if (command == "info") {
    return Info(args);
  }
  if (command == "dump") {
    return Dump(args);
  }
  if (command == "count") {
    return Count(args);
  }
  if (command == "check") {
    return Check(args);
  }
  if (command == "pack") {
    return Pack(args);
  }
  if (command == "check-catalogue") {
    return CheckCatalogue(args);
  }
  if (command == "reindex") {
    return Reindex(args);
  }
  return Fail("unknown command \"" + command + "\" (see xcetool --help)");
}
