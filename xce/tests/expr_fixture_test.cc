// Expressions over tables written by other software: every field type reads
// as the reference CSV says, and filters on the OEM table select what the
// CSV predicts.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "codepage.h"
#include "xce.h"

namespace fs = std::filesystem;

namespace {

std::vector<std::vector<std::string>> ReadCsv(const fs::path& p) {
  std::vector<std::vector<std::string>> rows;
  std::ifstream in(p, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) {
    std::vector<std::string> cols;
    std::stringstream ss(line);
    std::string c;
    while (std::getline(ss, c, ';')) {
      cols.push_back(c);
    }
    if (!line.empty() && line.back() == ';') {
      cols.emplace_back();
    }
    rows.push_back(cols);
  }
  return rows;
}

std::string Unhex(const std::string& h) {
  std::string out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16)));
  }
  return out;
}

class FixtureFilterTest : public ::testing::Test {
 protected:
  void Open(const std::string& set, const std::string& file, uint16_t charType) {
    dir_ = fs::path(TAVO_FIXTURES_DIR) / set;
    if (!fs::exists(dir_ / file)) {
      GTEST_SKIP() << "fixtures not found at " << TAVO_FIXTURES_DIR;
    }
    ASSERT_EQ(XdsConnect60(dir_.c_str(), 1, "", "", 0, &conn_), 0);
    ASSERT_EQ(XdsOpenTable(conn_, file.c_str(), nullptr, 2, charType, 0, 1, 2, &table_), 0);
  }
  void TearDown() override {
    if (conn_ != 0) {
      EXPECT_EQ(XdsDisconnect(conn_), 0);
    }
  }

  std::vector<uint32_t> Visible() {
    std::vector<uint32_t> seen;
    XDSRESULT rc = XdsGotoTop(table_);
    uint16_t eof = 0;
    while (rc == 0 && XdsAtEOF(table_, &eof) == 0 && eof == 0) {
      uint32_t r = 0;
      EXPECT_EQ(XdsGetRecordNum(table_, 1, &r), 0);
      seen.push_back(r);
      rc = XdsSkip(table_, 1);
    }
    return seen;
  }

  fs::path dir_;
  XDSHANDLE conn_ = 0;
  XDSHANDLE table_ = 0;
};

// One filter per record that checks every field against the CSV's value
// selects exactly that record.
TEST_F(FixtureFilterTest, EveryFieldTypeReadsAsStored) {
  Open("types", "ALLTYPES.DBF", 1);
  if (table_ == 0) {
    return;
  }
  auto rows = ReadCsv(dir_ / "ALLTYPES.RECNO.csv");
  ASSERT_FALSE(rows.empty());
  for (const auto& c : rows) {
    ASSERT_EQ(c.size(), 14u);
    auto num = [](const std::string& v) { return v.empty() ? std::string("0") : v; };
    std::string e = "C10 == \"" + Unhex(c[2]) + "\"";
    e += " AND N82 = " + num(c[3]) + " AND N5 = " + num(c[4]) + " AND N3 = " + num(c[5]);
    e += " AND F124 = " + num(c[6]);
    e += c[7].find_first_not_of(' ') == std::string::npos ? " AND EMPTY(D)"
                                                          : " AND DTOS(D) = \"" + c[7] + "\"";
    e += std::string(" AND L = ") + (c[8] == "T" ? ".T." : ".F.");
    e += " AND LEN(M) = " + std::to_string(c[9].size() / 2);
    e += " AND I = " + num(c[10]) + " AND B = " + num(c[11]);
    if (c[12].size() >= 14 && c[12].find_first_not_of("0 ") != std::string::npos) {
      const std::string& t = c[12];
      e += " AND TTOC(T) = \"" + t.substr(6, 2) + "." + t.substr(4, 2) + "." + t.substr(0, 4) +
           " " + t.substr(8, 2) + ":" + t.substr(10, 2) + ":" + t.substr(12, 2) + "\"";
    } else {
      e += " AND EMPTY(T)";
    }
    e += " AND Y = " + num(c[13]);
    ASSERT_EQ(XdsSetFilter(table_, e.c_str()), 0) << e;
    EXPECT_EQ(Visible(), std::vector<uint32_t>{static_cast<uint32_t>(std::stoul(c[0]))}) << e;
  }
}

TEST_F(FixtureFilterTest, OemTableFiltersMatchTheCsv) {
  Open("big", "BIG.DBF", 2);
  if (table_ == 0) {
    return;
  }
  auto rows = ReadCsv(dir_ / "BIG.RECNO.csv");
  ASSERT_EQ(rows.size(), 20000u);
  // NAME's first bytes (866) of a few records, as a 1251 literal.
  for (std::size_t pick : {0u, 777u, 19999u}) {
    std::string raw = Unhex(rows[pick][3]).substr(0, 6);
    std::string upper;
    for (char ch : raw) {
      upper.push_back(static_cast<char>(xce::UpperChar(xce::CodePage::kCp866, ch)));
    }
    uint32_t wantPrefix = 0;
    uint32_t wantUpper = 0;
    uint32_t wantGroup = 0;
    for (const auto& c : rows) {
      std::string name = Unhex(c[3]);
      std::string folded;
      for (char ch : name) {
        folded.push_back(static_cast<char>(xce::UpperChar(xce::CodePage::kCp866, ch)));
      }
      bool live = c[1] != "*";
      wantPrefix += live && name.compare(0, raw.size(), raw) == 0;
      wantUpper += folded.compare(0, upper.size(), upper) == 0;
      wantGroup += live && std::stoi(c[4]) == std::stoi(rows[pick][4]);
    }
    const std::pair<std::string, uint32_t> cases[] = {
        {"NAME = \"" + xce::OemToAnsi(raw) + "\" AND NOT DELETED()", wantPrefix},
        {"UPPER(NAME) = UPPER(\"" + xce::OemToAnsi(raw) + "\")", wantUpper},
        {"GRP = " + rows[pick][4] + " .AND. !DELETED()", wantGroup},
    };
    for (const auto& [expr, want] : cases) {
      for (uint16_t option : {1, 2}) {
        ASSERT_EQ(XdsSetAOF(table_, expr.c_str(), option), 0) << expr;
        uint32_t n = 0;
        ASSERT_EQ(XdsGetRecordCount(table_, 1, &n), 0);
        EXPECT_EQ(n, want) << expr;
      }
    }
  }
}

}  // namespace
