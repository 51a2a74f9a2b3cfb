// The catalogue checked as a whole: catalogues broken on purpose, one fault
// each, give one line naming it; the repair mends it without losing a URL
// record or a section, and a repair cut short at any write leaves the
// catalogue as it was or wholly repaired.
#include "catalogue/catalogue_check.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "catalogue/schema.h"
#include "catalogue/whole_address.h"
#include "fault_file.h"
#include "temp_dir.h"
#include "xce.h"

namespace {

namespace fs = std::filesystem;
using catalogue::Finding;
using catalogue::FindingKind;
using Row = std::vector<std::string>;

// A catalogue's tables opened on one connection, for writing rows as they
// are stored (fields in the schema's order).
class Writer {
 public:
  explicit Writer(const std::string& dir) : dir_(dir) {
    EXPECT_EQ(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &connection_), 0);
  }
  ~Writer() { (void)XdsDisconnect(connection_); }
  XDSHANDLE connection() const { return connection_; }

  void Append(int table, const std::vector<Row>& rows) {
    const catalogue::CatalogueTable& def = catalogue::CatalogueTables()[table];
    XDSHANDLE t = 0;
    ASSERT_EQ(catalogue::OpenCatalogueTable(connection_, def, false, &t), 0) << Error();
    for (const Row& row : rows) {
      ASSERT_EQ(XdsAppendRecord(t), 0);
      for (std::size_t f = 0; f < row.size(); ++f) {
        ASSERT_EQ(XdsSetField(t, static_cast<uint16_t>(f + 1), row[f].data(),
                              static_cast<uint32_t>(row[f].size())),
                  0)
            << Error();
      }
      ASSERT_EQ(XdsWriteRecord(t), 0) << Error();
    }
    ASSERT_EQ(XdsCloseTable(t), 0);
  }

  // Sets field `field` (1-based) of record `recno`, or marks it deleted when
  // `field` is 0.
  void Change(int table, uint32_t recno, uint16_t field, const std::string& value = "") {
    const catalogue::CatalogueTable& def = catalogue::CatalogueTables()[table];
    XDSHANDLE t = 0;
    ASSERT_EQ(catalogue::OpenCatalogueTable(connection_, def, false, &t), 0) << Error();
    ASSERT_EQ(XdsGotoRecord(t, recno), 0);
    if (field == 0) {
      ASSERT_EQ(XdsDeleteRecord(t), 0);
    } else {
      ASSERT_EQ(XdsSetField(t, field, value.data(), static_cast<uint32_t>(value.size())), 0);
    }
    ASSERT_EQ(XdsWriteRecord(t), 0);
    ASSERT_EQ(XdsCloseTable(t), 0);
  }

  // Adds rows to URLFULL.DBF (made when missing) as a save does.
  void AddWholeAddress(uint32_t id, const std::string& address) {
    catalogue::WholeAddresses whole(connection_);
    ASSERT_EQ(whole.OpenIfPresent(dir_), 0) << Error();
    ASSERT_EQ(whole.Stage(id, address), 0) << Error();
    ASSERT_EQ(whole.Close(), 0);
  }

  static std::string Error() {
    int32_t code = 0;
    char text[600];
    uint16_t length = sizeof text;
    (void)XdsGetLastError(&code, text, &length);
    return std::string(text, length);
  }

 private:
  std::string dir_;
  XDSHANDLE connection_ = 0;
};

// Every live record of one table, its fields as trimmed text.
std::vector<Row> Records(const std::string& dir, const catalogue::CatalogueTable& def) {
  std::vector<Row> out;
  XDSHANDLE c = 0;
  XDSHANDLE t = 0;
  EXPECT_EQ(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), 0);
  EXPECT_EQ(XdsOpenTable(c, def.file, nullptr, XDS_TABLE_CDX, def.charType, XDS_LOCK_PROPRIETARY,
                         XDS_RIGHTS_CHECK, XDS_OPEN_READONLY, &t),
            0)
      << Writer::Error();
  uint32_t count = 0;
  EXPECT_EQ(XdsGetRecordCount(t, XDS_COUNT_IGNORE_FILTERS, &count), 0);
  for (uint32_t recno = 1; recno <= count; ++recno) {
    EXPECT_EQ(XdsGotoRecord(t, recno), 0);
    uint16_t deleted = 0;
    EXPECT_EQ(XdsIsRecordDeleted(t, &deleted), 0);
    if (deleted != 0) {
      continue;
    }
    Row row;
    for (uint16_t f = 1; f <= def.fields.size(); ++f) {
      char text[1024];
      uint32_t length = sizeof text;
      EXPECT_EQ(XdsGetField(t, f, text, &length, XDS_GET_TRIM), 0);
      row.emplace_back(text, length);
    }
    out.push_back(row);
  }
  (void)XdsDisconnect(c);
  return out;
}

std::vector<Row> Records(const std::string& dir, int table) {
  return Records(dir, catalogue::CatalogueTables()[table]);
}

// The bytes of every catalogue file in the folder.
std::map<std::string, std::string> Snapshot(const std::string& dir) {
  std::map<std::string, std::string> out;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (!catalogue::IsCatalogueFileName(entry.path().filename().string())) {
      continue;
    }
    std::ifstream in(entry.path(), std::ios::binary);
    out[entry.path().filename().string()] =
        std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  return out;
}

std::vector<Finding> Check(const std::string& dir) {
  std::vector<Finding> findings;
  std::string error;
  EXPECT_TRUE(catalogue::CheckCatalogue(dir, &findings, &error)) << error;
  return findings;
}

std::vector<std::string> Texts(const std::vector<Finding>& findings) {
  std::vector<std::string> out;
  for (const Finding& f : findings) {
    out.push_back(f.text);
  }
  return out;
}

using catalogue::kTem;
using catalogue::kType;
using catalogue::kUrlIn;
using catalogue::kUrls;

// A sound catalogue: two top-level sections and one under the first, one
// link type, three URL records and four memberships.
void MakeSound(const std::string& dir) {
  fs::create_directories(dir);
  Writer w(dir);
  ASSERT_EQ(catalogue::CreateCatalogue(w.connection()), 0) << Writer::Error();
  w.Append(kTem, {{"1", "News", "0"}, {"2", "Science", "1"}, {"3", "Music", "0"}});
  w.Append(kType, {{"http", "Web", "http://"}});
  w.Append(kUrls, {{"example.org/a", "A", "", "http", "1"},
                   {"example.org/b", "B", "", "http", "2"},
                   {"example.org/c", "C", "", "http", "3"}});
  w.Append(kUrlIn, {{"1", "1"}, {"2", "1"}, {"2", "2"}, {"3", "3"}});
}

class CatalogueCheck : public ::testing::Test {
 protected:
  void SetUp() override { MakeSound(dir_); }

  // Repairs; afterwards the check finds nothing and no URL record or
  // section is lost.
  std::vector<std::string> RepairKeepingEverything() {
    const std::size_t urls = Records(dir_, kUrls).size();
    const std::size_t sections = Records(dir_, kTem).size();
    std::vector<Finding> findings;
    std::vector<std::string> done;
    std::string error;
    EXPECT_TRUE(catalogue::RepairCatalogue(dir_, {}, &findings, &done, &error)) << error;
    EXPECT_FALSE(findings.empty());
    EXPECT_FALSE(done.empty());
    EXPECT_EQ(Texts(Check(dir_)), std::vector<std::string>{});
    EXPECT_EQ(Records(dir_, kUrls).size(), urls);
    EXPECT_EQ(Records(dir_, kTem).size(), sections);
    EXPECT_FALSE(fs::exists(fs::path(dir_) / ".check-catalogue.repair"));
    EXPECT_FALSE(fs::exists(fs::path(dir_) / "check-catalogue.journal"));
    for (const char* file : {"TEM.dbf", "TYPE.DBF", "URLIN.DBF", "urls.DBF"}) {
      std::vector<char> report(1 << 14);
      uint32_t length = static_cast<uint32_t>(report.size());
      XDSHANDLE c = 0;
      EXPECT_EQ(XdsConnect60(dir_.c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), 0);
      EXPECT_EQ(XdsCheckTable(c, file, report.data(), &length), 0)
          << file << ": " << std::string(report.data(), length);
      (void)XdsDisconnect(c);
    }
    return done;
  }

  testsupport::TempDir tmp_{"catcheck"};
  std::string dir_ = tmp_.str("catalogue");
};

TEST_F(CatalogueCheck, ASoundCatalogueGivesNothing) {
  EXPECT_TRUE(Check(dir_).empty());
  const auto before = Snapshot(dir_);
  std::vector<Finding> findings;
  std::vector<std::string> done;
  std::string error;
  ASSERT_TRUE(catalogue::RepairCatalogue(dir_, {}, &findings, &done, &error)) << error;
  EXPECT_TRUE(findings.empty());
  EXPECT_TRUE(done.empty());
  EXPECT_EQ(Snapshot(dir_), before);
}

// One fault each: the one line the check gives for it, and the repair.
struct Fault {
  const char* name;
  std::function<void(Writer&)> make;
  FindingKind kind;
  std::string line;
};

TEST_F(CatalogueCheck, EachFaultIsFoundOnItsOwnLineAndRepaired) {
  const std::string longAddress = "https://example.org/" + std::string(120, 'q');
  const std::vector<Fault> faults = {
      {"membership of a missing URL", [](Writer& w) { w.Append(kUrlIn, {{"1", "99"}}); },
       FindingKind::kMembershipNoUrl,
       "URLIN.DBF record 5: names URL id 99, which no URL record has"},
      {"membership of a missing section", [](Writer& w) { w.Append(kUrlIn, {{"77", "1"}}); },
       FindingKind::kMembershipNoSection,
       "URLIN.DBF record 5: names section 77, which no section has"},
      {"repeated membership", [](Writer& w) { w.Append(kUrlIn, {{"2", "2"}}); },
       FindingKind::kMembershipRepeated,
       "URLIN.DBF record 5: repeats record 3 (section 2, URL id 2)"},
      {"membership of a deleted URL", [](Writer& w) { w.Change(kUrls, 3, 0); },
       FindingKind::kMembershipOfDeletedUrl,
       "URLIN.DBF record 4: names URL id 3, whose record is marked deleted"},
      {"repeated URL id",
       [](Writer& w) { w.Append(kUrls, {{"example.org/d", "D", "", "http", "2"}}); },
       FindingKind::kUrlIdRepeated, "urls.DBF record 4: URL id 2 repeats record 2"},
      {"URL id not positive",
       [](Writer& w) { w.Append(kUrls, {{"example.org/d", "D", "", "http", "-4"}}); },
       FindingKind::kUrlIdNotPositive, "urls.DBF record 4: URL id -4 is not positive"},
      {"blank URL id", [](Writer& w) { w.Append(kUrls, {{"example.org/d", "D", "", "http"}}); },
       FindingKind::kUrlIdNotPositive, "urls.DBF record 4: URL id 0 is not positive"},
      {"repeated section id", [](Writer& w) { w.Append(kTem, {{"2", "Twin", "0"}}); },
       FindingKind::kSectionIdRepeated, "TEM.dbf record 4: section id 2 repeats record 2"},
      {"section id not positive", [](Writer& w) { w.Append(kTem, {{"-1", "Minus", "3"}}); },
       FindingKind::kSectionIdNotPositive, "TEM.dbf record 4: section id -1 is not positive"},
      {"section id too large", [](Writer& w) { w.Append(kTem, {{"5000000000", "Big", "0"}}); },
       FindingKind::kSectionIdNotPositive, "TEM.dbf record 4: section id 5000000000 is too large"},
      {"missing parent", [](Writer& w) { w.Append(kTem, {{"4", "Lost", "50"}}); },
       FindingKind::kSectionParentMissing,
       "TEM.dbf record 4: the parent of section 4, 50, names no section"},
      {"section its own parent", [](Writer& w) { w.Append(kTem, {{"4", "Self", "4"}}); },
       FindingKind::kSectionParentCycle,
       "TEM.dbf record 4: the parents of section 4 lead round in a cycle (records 4)"},
      {"missing link type",
       [](Writer& w) { w.Append(kUrls, {{"ftp.example.org", "F", "", "ftp", "4"}}); },
       FindingKind::kLinkTypeMissing,
       "urls.DBF record 4: link type \"ftp\" is not in TYPE.DBF (used by records 4)"},
      {"whole address of no URL",
       [&](Writer& w) { w.AddWholeAddress(99, longAddress); }, FindingKind::kWholeAddressNoUrl,
       "URLFULL.DBF record 1: names URL id 99, which no URL record has"},
      {"repeated whole address",
       [&](Writer& w) {
         w.Change(kUrls, 1, 1, longAddress.substr(0, 100));
         w.AddWholeAddress(1, longAddress);
         w.AddWholeAddress(1, longAddress);
       },
       FindingKind::kWholeAddressRepeated, "URLFULL.DBF record 2: repeats record 1 (URL id 1)"},
  };
  for (const Fault& fault : faults) {
    SCOPED_TRACE(fault.name);
    fs::remove_all(dir_);
    MakeSound(dir_);
    {
      Writer w(dir_);
      fault.make(w);
    }
    const std::vector<Finding> found = Check(dir_);
    ASSERT_EQ(found.size(), 1u) << ::testing::PrintToString(Texts(found));
    EXPECT_EQ(found[0].kind, fault.kind);
    EXPECT_EQ(found[0].text, fault.line);
    RepairKeepingEverything();
  }
}

// The oldest of two records with one id keeps it, with the memberships and
// its whole address; the newer one gets the next free id and a copy of the
// whole address its URL field stands for.
TEST_F(CatalogueCheck, ARepeatedUrlIdGoesToTheNewerRecord) {
  const std::string longAddress = "https://example.org/b?" + std::string(120, 'x');
  {
    Writer w(dir_);
    w.Change(kUrls, 2, 1, longAddress.substr(0, 100));
    w.AddWholeAddress(2, longAddress);
    w.Append(kUrls, {{longAddress.substr(0, 100), "B again", "", "http", "2"}});
  }
  const std::vector<std::string> done = RepairKeepingEverything();
  const std::vector<Row> urls = Records(dir_, kUrls);
  ASSERT_EQ(urls.size(), 4u);
  EXPECT_EQ(urls[1][4], "2");
  EXPECT_EQ(urls[3][1], "B again");
  EXPECT_EQ(urls[3][4], "4");
  EXPECT_EQ(Records(dir_, kUrlIn),
            (std::vector<Row>{{"1", "1"}, {"2", "1"}, {"2", "2"}, {"3", "3"}}));
  const std::vector<Row> whole = Records(dir_, catalogue::WholeAddressTable());
  ASSERT_EQ(whole.size(), 2u);
  EXPECT_EQ(whole[0], (Row{"2", longAddress}));
  EXPECT_EQ(whole[1], (Row{"4", longAddress}));
  EXPECT_NE(std::find(done.begin(), done.end(), "urls.DBF record 4: URL id 2 replaced by 4"),
            done.end());
}

// Ids that are not positive are replaced, and what names them follows: the
// memberships of the URL record and of the section, and the subsections.
TEST_F(CatalogueCheck, WhatNamesAnIdThatIsNotPositiveFollowsItsNewId) {
  {
    Writer w(dir_);
    w.Append(kTem, {{"-2", "Negative", "0"}, {"5", "Child", "-2"}});
    w.Append(kUrls, {{"example.org/z", "Z", "", "http", "0"}});
    w.Append(kUrlIn, {{"-2", "0"}});
  }
  const std::vector<Finding> found = Check(dir_);
  ASSERT_EQ(found.size(), 2u) << ::testing::PrintToString(Texts(found));
  RepairKeepingEverything();
  const std::vector<Row> tem = Records(dir_, kTem);
  ASSERT_EQ(tem.size(), 5u);
  EXPECT_EQ(tem[3], (Row{"6", "Negative", "0"}));  // the largest id was 5
  EXPECT_EQ(tem[4], (Row{"5", "Child", "6"}));
  EXPECT_EQ(Records(dir_, kUrls)[3][4], "4");
  EXPECT_EQ(Records(dir_, kUrlIn).back(), (Row{"6", "4"}));
}

// The tree loader places rows in record order and, when the rows left all
// wait on each other, puts the first of them at the top level: here a row
// below the cycle, then one of the cycle. The repair leaves the tree as the
// program showed it.
TEST_F(CatalogueCheck, ACycleIsBrokenWhereTheTreeLoaderBreaksIt) {
  {
    Writer w(dir_);
    w.Append(kTem, {{"6", "Below", "4"}, {"4", "A", "5"}, {"5", "B", "4"}});
  }
  EXPECT_EQ(Texts(Check(dir_)),
            (std::vector<std::string>{
                "TEM.dbf record 4: the parents of section 6 lead round in a cycle (records 4, 5, "
                "6)",
                "TEM.dbf record 5: the parents of section 4 lead round in a cycle (records 5, 6)"}));
  RepairKeepingEverything();
  const std::vector<Row> tem = Records(dir_, kTem);
  EXPECT_EQ(tem[3], (Row{"6", "Below", "0"}));
  EXPECT_EQ(tem[4], (Row{"4", "A", "0"}));
  EXPECT_EQ(tem[5], (Row{"5", "B", "4"}));
}

// A membership that is both repeated and of a missing URL is one finding;
// memberships marked deleted are no findings; codes compare trimmed.
TEST_F(CatalogueCheck, FindingsAreNotCountedTwice) {
  {
    Writer w(dir_);
    w.Append(kUrlIn, {{"1", "42"}, {"1", "42"}, {"1", "1"}});
    w.Change(kUrlIn, 7, 0);
    w.Append(kUrls, {{"x.org", "X", "", "ftp", "4"}, {"y.org", "Y", "", "ftp", "5"}});
  }
  EXPECT_EQ(Texts(Check(dir_)),
            (std::vector<std::string>{
                "urls.DBF record 4: link type \"ftp\" is not in TYPE.DBF (used by records 4, 5)",
                "URLIN.DBF record 5: names URL id 42, which no URL record has",
                "URLIN.DBF record 6: names URL id 42, which no URL record has"}));
  RepairKeepingEverything();
  EXPECT_EQ(Records(dir_, kType).back(), (Row{"ftp", "ftp", ""}));
}

// A table that cannot be read stops the check and the repair with the
// engine's message, writing nothing.
TEST_F(CatalogueCheck, ADamagedTableStopsBoth) {
  {
    Writer w(dir_);
    w.Append(kUrlIn, {{"1", "42"}});
  }
  {
    std::fstream f(fs::path(dir_) / "urls.DBF", std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(8);
    f.put('\x01');  // the header's length no longer holds the fields
  }
  const auto before = Snapshot(dir_);
  std::vector<Finding> findings;
  std::vector<std::string> done;
  std::string error;
  EXPECT_FALSE(catalogue::CheckCatalogue(dir_, &findings, &error));
  EXPECT_NE(error.find("urls.DBF"), std::string::npos) << error;
  error.clear();
  EXPECT_FALSE(catalogue::RepairCatalogue(dir_, {}, &findings, &done, &error));
  EXPECT_NE(error.find("urls.DBF"), std::string::npos) << error;
  EXPECT_EQ(Snapshot(dir_), before);
}

// A repair whose writes fail from the Nth on, for every N: before its
// journal is in place the catalogue is as it was, byte for byte; after, the
// next run finishes it. Both happen.
TEST_F(CatalogueCheck, ARepairCutShortAtAnyWriteLeavesTheOldCatalogueOrTheNew) {
  {
    Writer w(dir_);
    w.Append(kTem, {{"4", "A", "5"}, {"5", "B", "4"}});
    w.Append(kUrls, {{"example.org/d", "D", "", "ftp", "2"}});
    w.Append(kUrlIn, {{"9", "1"}});
    w.AddWholeAddress(99, "https://example.org/" + std::string(120, 'w'));
  }
  const std::string base = tmp_.str("base");
  fs::rename(dir_, base);
  const std::size_t faults = Check(base).size();
  ASSERT_EQ(faults, 5u);
  const auto before = Snapshot(base);
  int asBefore = 0;
  int finished = 0;
  for (uint64_t n = 1;; ++n) {
    ASSERT_LT(n, 200u);
    fs::remove_all(dir_);
    fs::copy(base, dir_);
    xce::FaultInjectingFileSystem faulty(xce::FileSystem::Default());
    faulty.FailAtWrite(n);
    catalogue::RepairOptions options;
    options.fs = &faulty;
    std::vector<Finding> findings;
    std::vector<std::string> done;
    std::string error;
    if (catalogue::RepairCatalogue(dir_, options, &findings, &done, &error)) {
      EXPECT_TRUE(Check(dir_).empty());
      break;
    }
    SCOPED_TRACE("write " + std::to_string(n) + ": " + error);
    if (error.find("unchanged") != std::string::npos) {
      EXPECT_EQ(Snapshot(dir_), before);
      EXPECT_EQ(Check(dir_).size(), faults);
      ++asBefore;
    } else {
      EXPECT_NE(error.find("next"), std::string::npos);
      EXPECT_TRUE(Check(dir_).empty());  // the check finishes it first
      ++finished;
    }
    // Whatever the cut-short run left beside the tables is gone too.
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator(dir_)) {
      if (!catalogue::IsCatalogueFileName(entry.path().filename().string())) {
        left.push_back(entry.path().filename().string());
      }
    }
    EXPECT_EQ(left, std::vector<std::string>{});
  }
  EXPECT_GT(asBefore, 0);
  EXPECT_GT(finished, 0);
}

}  // namespace
