// check-catalogue as a user runs it: its lines and exit statuses, a repair
// followed by a clean check, a damaged table, and a repair killed at any
// moment, which leaves the catalogue as it was or repaired.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "child_process.h"
#include "temp_dir.h"
#include "xce.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ChildRun;

ChildRun Tool(std::vector<std::string> args) {
  args.insert(args.begin(), XCETOOL_PATH);
  return testsupport::RunChild(args);
}

// Appends (TEM_ID, URL_ID) rows to the memberships.
void AddMemberships(const std::string& dir, const std::vector<std::pair<int, int>>& rows) {
  XDSHANDLE c = 0;
  XDSHANDLE t = 0;
  ASSERT_EQ(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), 0);
  ASSERT_EQ(XdsOpenTable(c, "URLIN.DBF", nullptr, XDS_TABLE_CDX, XDS_CHAR_ANSI,
                         XDS_LOCK_PROPRIETARY, XDS_RIGHTS_CHECK, XDS_OPEN_EXCLUSIVE, &t),
            0);
  for (const auto& [section, url] : rows) {
    const std::string s = std::to_string(section);
    const std::string u = std::to_string(url);
    ASSERT_EQ(XdsAppendRecord(t), 0);
    ASSERT_EQ(XdsSetField(t, 1, s.data(), static_cast<uint32_t>(s.size())), 0);
    ASSERT_EQ(XdsSetField(t, 2, u.data(), static_cast<uint32_t>(u.size())), 0);
    ASSERT_EQ(XdsWriteRecord(t), 0);
  }
  ASSERT_EQ(XdsDisconnect(c), 0);
}

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class CheckCatalogueTool : public ::testing::Test {
 protected:
  void MakeDemo(const std::string& dir, int urls) {
    ChildRun r = Tool({"demo-catalogue", dir, "--urls", std::to_string(urls)});
    ASSERT_EQ(r.status, 0) << r.err;
  }

  testsupport::TempDir tmp_{"checkcat"};
  std::string dir_ = tmp_.str("catalogue");
};

TEST_F(CheckCatalogueTool, TheDemoCatalogueChecksClean) {
  MakeDemo(dir_, 3000);
  ChildRun r = Tool({"check-catalogue", dir_});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, dir_ + ": ok\n");
  EXPECT_EQ(r.err, "");
}

TEST_F(CheckCatalogueTool, FindingsThenRepairThenClean) {
  MakeDemo(dir_, 500);
  // The demo's memberships are 1500 rows; its first names section 1 (or so)
  // and some URL record: an orphan, a record of no section, and a repeat.
  AddMemberships(dir_, {{1, 7777}, {9999, 1}});
  ChildRun r = Tool({"check-catalogue", dir_});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.out,
            "URLIN.DBF record 1501: names URL id 7777, which no URL record has\n"
            "URLIN.DBF record 1502: names section 9999, which no section has\n");
  EXPECT_EQ(r.err, "");

  r = Tool({"check-catalogue", dir_, "--repair"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            "URLIN.DBF record 1501: names URL id 7777, which no URL record has\n"
            "URLIN.DBF record 1502: names section 9999, which no section has\n"
            "repaired: URLIN.DBF: 2 memberships dropped\n");

  r = Tool({"check-catalogue", dir_});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  r = Tool({"check", (fs::path(dir_) / "URLIN.DBF").string()});
  EXPECT_EQ(r.status, 0) << r.err;
  r = Tool({"count", (fs::path(dir_) / "URLIN.DBF").string()});
  EXPECT_EQ(r.out, "1500\n");
}

TEST_F(CheckCatalogueTool, ADamagedTableIsExitStatusTwoAndNothingIsWritten) {
  MakeDemo(dir_, 200);
  AddMemberships(dir_, {{1, 7777}});
  const fs::path urlin = fs::path(dir_) / "URLIN.DBF";
  fs::resize_file(urlin, fs::file_size(urlin) - 100);  // records cut off
  const std::string before = Slurp(urlin);
  for (bool repair : {false, true}) {
    std::vector<std::string> args = {"check-catalogue", dir_};
    if (repair) {
      args.push_back("--repair");
    }
    ChildRun r = Tool(args);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("xcetool: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("URLIN.DBF"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_EQ(Slurp(urlin), before);
  }
  EXPECT_EQ(Tool({"check-catalogue", tmp_.str("nowhere")}).status, 2);
  EXPECT_EQ(Tool({"check-catalogue"}).status, 2);
}

// The repair killed at moments spread over its run: afterwards the
// catalogue shows the same findings as before or none, and every URL record
// is still there.
TEST_F(CheckCatalogueTool, ARepairKilledAtAnyMomentLeavesTheOldCatalogueOrTheNew) {
  const std::string base = tmp_.str("base");
  MakeDemo(base, 20000);
  AddMemberships(base, {{1, 777777}, {999999, 1}, {2, 888888}});
  const ChildRun found = Tool({"check-catalogue", base});
  ASSERT_EQ(found.status, 1) << found.err;
  const std::string urlCount = Tool({"count", base + "/urls.DBF"}).out;

  // How long a whole repair takes here.
  fs::copy(base, dir_);
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Tool({"check-catalogue", dir_, "--repair"}).status, 0);
  const double whole =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::mt19937 random(28);
  int old = 0;
  int repaired = 0;
  for (int kill = 0; kill < 24; ++kill) {
    fs::remove_all(dir_);
    fs::copy(base, dir_);
    const pid_t pid = testsupport::StartChild({XCETOOL_PATH, "check-catalogue", dir_, "--repair"},
                                              {"", ""});
    ASSERT_GT(pid, 0);
    const double at = std::uniform_real_distribution<double>(0, whole * 1.5)(random);
    const timespec pause{static_cast<time_t>(at), static_cast<long>((at - static_cast<long>(at)) * 1e9)};
    nanosleep(&pause, nullptr);
    ::kill(pid, SIGKILL);
    (void)testsupport::WaitChild(pid);

    const ChildRun after = Tool({"check-catalogue", dir_});
    ASSERT_NE(after.status, 2) << "kill " << kill << ": " << after.err;
    if (after.status == 1) {
      EXPECT_EQ(after.out, found.out) << "kill " << kill;
      ++old;
    } else {
      ++repaired;
    }
    EXPECT_EQ(Tool({"count", dir_ + "/urls.DBF"}).out, urlCount);
    EXPECT_EQ(Tool({"check", dir_ + "/URLIN.DBF"}).status, 0) << "kill " << kill;
  }
  EXPECT_GT(old, 0);
  EXPECT_GT(repaired, 0);
}

}  // namespace
