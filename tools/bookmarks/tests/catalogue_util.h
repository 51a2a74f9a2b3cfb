// Catalogues for the import and export tests: temporary folders, a canonical
// text of a catalogue's content, and running the programs.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "catalogue/schema.h"
#include "catalogue/whole_address.h"
#include "child_process.h"
#include "cp1251.h"
#include "temp_dir.h"
#include "xce.h"

namespace bookmarks_test {

namespace fs = std::filesystem;

using TempDir = testsupport::TempDir;

inline std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void WriteText(const fs::path& p, const std::string& text) {
  std::ofstream(p, std::ios::binary) << text;
}

// Every file of a folder with its bytes.
inline std::map<std::string, std::string> FilesOf(const fs::path& dir) {
  std::map<std::string, std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) {
    out[e.path().filename().string()] = e.is_regular_file() ? Slurp(e.path()) : "<folder>";
  }
  return out;
}

inline void CopyFolder(const fs::path& from, const fs::path& to) {
  fs::create_directories(to);
  for (const auto& e : fs::directory_iterator(from)) {
    fs::copy_file(e.path(), to / e.path().filename(), fs::copy_options::overwrite_existing);
  }
}

using RunResult = testsupport::ChildRun;

// Runs a program without a shell; `env` entries are added to the environment.
inline RunResult Exec(const std::string& program, std::vector<std::string> args,
                      const std::vector<std::string>& env = {}) {
  args.insert(args.begin(), program);
  return testsupport::RunChild(args, env);
}

inline bool OneLine(const std::string& s) {
  return !s.empty() && s.back() == '\n' && s.find('\n') == s.size() - 1;
}

// Writes records straight into a catalogue's tables, for states an import
// would not make by itself.
class Writer {
 public:
  explicit Writer(const std::string& dir) {
    EXPECT_EQ(XdsConnect60(dir.c_str(), 1, "", "", 0, &c_), 0);
    if (catalogue::CatalogueFilesIn(dir).empty()) {
      EXPECT_EQ(catalogue::CreateCatalogue(c_), 0);
    }
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(catalogue::OpenCatalogueTable(
                    c_, catalogue::CatalogueTables()[static_cast<std::size_t>(i)], false, &t_[i]),
                0);
    }
  }
  ~Writer() {
    for (XDSHANDLE t : t_) {
      EXPECT_EQ(XdsCloseTable(t), 0);
    }
    EXPECT_EQ(XdsDisconnect(c_), 0);
  }
  // Values are UTF-8.
  void Add(int table, const std::vector<std::string>& values) {
    XDSHANDLE t = t_[table];
    ASSERT_EQ(XdsAppendRecord(t), 0);
    for (std::size_t i = 0; i < values.size(); ++i) {
      std::string v = platform::Utf8ToCp1251(values[i]);
      if (!v.empty()) {
        ASSERT_EQ(XdsSetField(t, static_cast<uint16_t>(i + 1), v.data(), static_cast<uint32_t>(v.size())), 0);
      }
    }
    ASSERT_EQ(XdsWriteRecord(t), 0);
  }

 private:
  XDSHANDLE c_ = 0;
  XDSHANDLE t_[4] = {};
};

// The catalogue's content with its ids taken out: sections as paths of names
// (a name that repeats among siblings numbered by record order), each URL
// record as its fields, link type and the paths of its sections. Two
// catalogues with the same text hold the same things.
inline std::string Snapshot(const std::string& dir) {
  XDSHANDLE c = 0;
  if (XdsConnect60(dir.c_str(), 1, "", "", 0, &c) != 0) {
    return "cannot connect";
  }
  std::vector<std::vector<std::vector<std::string>>> rows(4);
  for (int i = 0; i < 4; ++i) {
    const auto& def = catalogue::CatalogueTables()[static_cast<std::size_t>(i)];
    XDSHANDLE t = 0;
    if (XdsOpenTable(c, def.file, nullptr, 2, def.charType, 1, 1, XDS_OPEN_READONLY, &t) != 0) {
      EXPECT_EQ(XdsDisconnect(c), 0);
      return std::string("cannot open ") + def.file;
    }
    uint32_t count = 0;
    EXPECT_EQ(XdsGetRecordCount(t, XDS_COUNT_IGNORE_FILTERS, &count), 0);
    for (uint32_t r = 1; r <= count; ++r) {
      EXPECT_EQ(XdsGotoRecord(t, r), 0);
      uint16_t deleted = 0;
      EXPECT_EQ(XdsIsRecordDeleted(t, &deleted), 0);
      if (deleted != 0) {
        continue;
      }
      std::vector<std::string> row;
      for (uint16_t f = 1; f <= def.fields.size(); ++f) {
        std::vector<char> buf(1 << 16);
        uint32_t len = static_cast<uint32_t>(buf.size());
        EXPECT_EQ(XdsGetField(t, f, buf.data(), &len, XDS_GET_TRIM), 0);
        row.push_back(platform::Cp1251ToUtf8(std::string(buf.data(), len)));
      }
      rows[static_cast<std::size_t>(i)].push_back(row);
    }
    EXPECT_EQ(XdsCloseTable(t), 0);
  }
  // A URL record shows its whole address where one is kept.
  catalogue::WholeAddresses::Rows wholes;
  {
    catalogue::WholeAddresses whole(c, true);
    if (whole.OpenIfPresent(dir) != 0 || whole.ReadAll(&wholes) != 0) {
      EXPECT_EQ(XdsDisconnect(c), 0);
      return "cannot read the whole addresses";
    }
  }
  for (auto& r : rows[catalogue::kUrls]) {
    const std::string url = platform::Utf8ToCp1251(r[0]);
    std::string_view w = catalogue::WholeAddresses::AddressIn(
        wholes, static_cast<uint32_t>(std::strtoul(r[4].c_str(), nullptr, 10)), url);
    if (w.data() != url.data()) {
      r[0] = platform::Cp1251ToUtf8(std::string(w));
    }
  }
  EXPECT_EQ(XdsDisconnect(c), 0);
  std::map<std::string, std::pair<std::string, std::string>> sections;  // id -> name, parent
  for (const auto& r : rows[catalogue::kTem]) {
    sections[r[0]] = {r[1], r[2]};
  }
  std::map<std::string, std::string> paths;
  std::map<std::string, int> seen;  // parent + name -> how many so far
  std::map<std::string, int> rank;
  for (const auto& r : rows[catalogue::kTem]) {
    rank[r[0]] = seen[r[2] + "\n" + r[1]]++;
  }
  for (const auto& [id, s] : sections) {
    std::string path;
    std::string at = id;
    for (int guard = 0; guard < 1000 && sections.count(at) != 0; ++guard) {
      path = "/" + sections[at].first + "#" + std::to_string(rank[at]) + path;
      at = sections[at].second;
    }
    paths[id] = path;
  }
  std::map<std::string, std::string> types;
  for (const auto& r : rows[catalogue::kType]) {
    types[r[0]] = r[1] + "|" + r[2];
  }
  std::map<std::string, std::vector<std::string>> filed;
  for (const auto& r : rows[catalogue::kUrlIn]) {
    filed[r[1]].push_back(paths.count(r[0]) != 0 ? paths[r[0]] : "?" + r[0]);
  }
  std::vector<std::string> lines;
  for (const auto& [id, path] : paths) {
    lines.push_back("section " + path);
  }
  for (const auto& r : rows[catalogue::kUrls]) {
    std::vector<std::string> in = filed[r[4]];
    std::sort(in.begin(), in.end());
    std::string line = "url " + r[0] + " | " + r[1] + " | " + r[2] + " | type " +
                       (types.count(r[3]) != 0 ? types[r[3]] : "none:" + r[3]) + " | in";
    for (const std::string& p : in) {
      line += " " + p;
    }
    lines.push_back(line);
  }
  std::sort(lines.begin(), lines.end());
  std::string out;
  for (const std::string& l : lines) {
    out += l + "\n";
  }
  return out;
}

}  // namespace bookmarks_test
