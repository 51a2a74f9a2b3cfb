// Whole addresses beside the URL table: made on the first long address,
// used only while they match the URL field, settled by a save, dropped with
// their record, tidied at a close, and agreeing after a save killed at any
// step.
#include "catalogue/whole_address.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "catalogue/schema.h"
#include "temp_dir.h"

namespace {

namespace fs = std::filesystem;
using catalogue::WholeAddresses;

// 300 characters: a query string, %-escapes and Cyrillic (one byte each in
// the program's character set).
std::string LongAddress(char tail) {
  std::string a =
      "https://example.org/search?q=%D0%BF%D1%80%D0%B8%D0%B2%D0%B5%D1%82&lang=ru&"
      "\xef\xf0\xe8\xec\xe5\xf0=1&page=";
  while (a.size() < 299) {
    a += static_cast<char>('a' + a.size() % 26);
  }
  return a + tail;
}

class WholeAddressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    XDSHANDLE c = 0;
    ASSERT_EQ(XdsConnect60(dir_.c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), 0);
    ASSERT_EQ(catalogue::CreateCatalogue(c), 0);
    EXPECT_EQ(XdsDisconnect(c), 0);
    Connect();
  }
  void TearDown() override { Disconnect(); }
  void Connect() {
    ASSERT_EQ(XdsConnect60(dir_.c_str(), XDS_SERVER_LOCAL, "", "", 0, &connection_), 0);
    ASSERT_EQ(catalogue::OpenCatalogueTable(
                  connection_, catalogue::CatalogueTables()[catalogue::kUrls], false, &urls_),
              0);
    ASSERT_EQ(XdsGetFieldNumber(urls_, "URL", &urlField_), 0);
    ASSERT_EQ(XdsGetFieldNumber(urls_, "URL_ID", &idField_), 0);
    whole_ = std::make_unique<WholeAddresses>(connection_);
    ASSERT_EQ(whole_->OpenIfPresent(dir_.string()), 0);
  }
  void Disconnect() {
    whole_.reset();
    if (urls_ != 0) {
      EXPECT_EQ(XdsCloseTable(urls_), 0);
      urls_ = 0;
    }
    if (connection_ != 0) {
      EXPECT_EQ(XdsDisconnect(connection_), 0);
      connection_ = 0;
    }
  }
  void Reopen() {
    Disconnect();
    Connect();
  }

  // Writes the URL field of record `recno` (appending when past the end).
  void WriteUrl(uint32_t recno, uint32_t id, const std::string& url) {
    uint32_t count = 0;
    ASSERT_EQ(XdsGetRecordCount(urls_, XDS_COUNT_IGNORE_FILTERS, &count), 0);
    if (recno > count) {
      ASSERT_EQ(XdsAppendRecord(urls_), 0);
      const std::string key = std::to_string(id);
      ASSERT_EQ(XdsSetField(urls_, idField_, key.data(), static_cast<uint32_t>(key.size())), 0);
    } else {
      ASSERT_EQ(XdsGotoRecord(urls_, recno), 0);
    }
    ASSERT_EQ(XdsSetField(urls_, urlField_, url.data(), static_cast<uint32_t>(url.size())), 0);
    ASSERT_EQ(XdsWriteRecord(urls_), 0);
    ASSERT_EQ(XdsFlushTable(urls_), 0);
  }
  // A save as the program does it; `steps` stops it early (0 to 3).
  void Save(uint32_t recno, uint32_t id, const std::string& address, int steps = 3) {
    if (steps >= 1) {
      ASSERT_EQ(whole_->Stage(id, address), 0);
    }
    if (steps >= 2) {
      WriteUrl(recno, id, catalogue::UrlFieldPart(address));
    }
    if (steps >= 3) {
      ASSERT_EQ(whole_->Settle(id, address), 0);
    }
  }
  std::string UrlOf(uint32_t recno) {
    EXPECT_EQ(XdsGotoRecord(urls_, recno), 0);
    char text[128];
    uint32_t length = sizeof text;
    EXPECT_EQ(XdsGetField(urls_, urlField_, text, &length, XDS_GET_TRIM), 0);
    return std::string(text, length);
  }
  std::string Address(uint32_t recno, uint32_t id) {
    std::string a;
    EXPECT_EQ(whole_->Find(id, UrlOf(recno), &a), 0);
    return a;
  }
  uint32_t Rows() {
    uint32_t count = 0;
    if (whole_->open()) {
      EXPECT_EQ(XdsGetRecordCount(whole_->table(), XDS_COUNT_IGNORE_FILTERS, &count), 0);
    }
    return count;
  }
  // What the engine's check says of a table, with the tables closed for it.
  std::string Check(const char* table) {
    Disconnect();
    XDSHANDLE c = 0;
    EXPECT_EQ(XdsConnect60(dir_.c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), 0);
    std::vector<char> report(1 << 14);
    uint32_t length = static_cast<uint32_t>(report.size());
    EXPECT_EQ(XdsCheckTable(c, table, report.data(), &length), 0);
    EXPECT_EQ(XdsDisconnect(c), 0);
    Connect();
    return std::string(report.data(), length);
  }

  testsupport::TempDir tmp_{"wholeaddr"};
  fs::path dir_ = tmp_.path();
  XDSHANDLE connection_ = 0;
  XDSHANDLE urls_ = 0;
  uint16_t urlField_ = 0;
  uint16_t idField_ = 0;
  std::unique_ptr<WholeAddresses> whole_;
};

TEST_F(WholeAddressTest, MadeOnTheFirstLongAddressAndUsedWhileItMatches) {
  // Short addresses make no table and cost nothing.
  Save(1, 1, "example.org/short");
  EXPECT_FALSE(whole_->open());
  EXPECT_FALSE(catalogue::HasWholeAddressTable(dir_.string()));
  EXPECT_EQ(Address(1, 1), "example.org/short");

  const std::string a = LongAddress('A');
  ASSERT_EQ(a.size(), 300u);
  Save(2, 2, a);
  ASSERT_TRUE(whole_->open());
  EXPECT_EQ(UrlOf(2), a.substr(0, 100));
  EXPECT_EQ(Address(2, 2), a);
  EXPECT_EQ(Address(1, 1), "example.org/short");
  Reopen();
  ASSERT_TRUE(whole_->open());
  EXPECT_EQ(Address(2, 2), a);
  ASSERT_EQ(whole_->Reindex(), 0);
  EXPECT_EQ(Address(2, 2), a);
  EXPECT_EQ(Check("URLFULL.DBF"), "");

  // A new tail, same first 100: the new address, one row.
  const std::string b = LongAddress('B');
  Save(2, 2, b);
  EXPECT_EQ(Address(2, 2), b);
  EXPECT_EQ(Rows(), 2u);  // the old one marked deleted until the tidy
  ASSERT_EQ(whole_->Tidy(urls_), 0);
  EXPECT_EQ(Rows(), 1u);
  EXPECT_EQ(Address(2, 2), b);

  // Another program writes a URL of its own: that URL is the address again,
  // and the tidy drops the row no record uses.
  WriteUrl(2, 2, "other.example/");
  EXPECT_EQ(Address(2, 2), "other.example/");
  ASSERT_EQ(whole_->Tidy(urls_), 0);
  EXPECT_EQ(Rows(), 0u);
  EXPECT_EQ(Check("URLFULL.DBF"), "");

  // A long address made short again leaves no row behind.
  Save(2, 2, a);
  EXPECT_EQ(Address(2, 2), a);
  Save(2, 2, "short.example/");
  ASSERT_EQ(whole_->Tidy(urls_), 0);
  EXPECT_EQ(Rows(), 0u);
  EXPECT_EQ(Address(2, 2), "short.example/");
}

TEST_F(WholeAddressTest, DeletedRecordsLoseTheirRows) {
  const std::string a = LongAddress('A');
  const std::string b = LongAddress('B');
  Save(1, 1, a);
  Save(2, 2, b);
  Save(3, 3, LongAddress('C'));
  ASSERT_EQ(whole_->Remove(1), 0);
  EXPECT_EQ(Address(1, 1), a.substr(0, 100));
  EXPECT_EQ(Address(2, 2), b);
  // A record deleted by another program: its row goes at the tidy.
  ASSERT_EQ(XdsGotoRecord(urls_, 3), 0);
  ASSERT_EQ(XdsDeleteRecord(urls_), 0);
  ASSERT_EQ(whole_->Tidy(urls_), 0);
  EXPECT_EQ(Rows(), 1u);
  EXPECT_EQ(Address(2, 2), b);
  // A tidy with nothing to drop writes nothing.
  const auto before = fs::last_write_time(dir_ / "URLFULL.DBF");
  const auto size = fs::file_size(dir_ / "URLFULL.DBF");
  ASSERT_EQ(whole_->Tidy(urls_), 0);
  EXPECT_EQ(fs::last_write_time(dir_ / "URLFULL.DBF"), before);
  EXPECT_EQ(fs::file_size(dir_ / "URLFULL.DBF"), size);
}

TEST_F(WholeAddressTest, AnAddressOfAnyLengthUpTo64KiBIsKept) {
  std::string huge = "https://example.org/?q=";
  huge.resize(70000, 'x');
  Save(1, 1, huge);
  Reopen();
  EXPECT_EQ(Address(1, 1), huge);
  EXPECT_EQ(Check("URLFULL.DBF"), "");
}

// A process killed after each step of a save: the URL table and the extra
// table agree (the record has its old address or its new one, whole), both
// are sound, and the next close leaves one row.
TEST_F(WholeAddressTest, ASaveKilledAtAnyStepLeavesTheTablesAgreeing) {
  const std::string old = LongAddress('O');
  for (const std::string& next :
       {LongAddress('N'), std::string("https://example.org/new-") + std::string(120, 'n'),
        std::string("short.example/")}) {
    for (int steps = 0; steps <= 3; ++steps) {
      Save(1, 1, old);
      ASSERT_EQ(whole_->Tidy(urls_), 0);
      Disconnect();
      pid_t child = fork();
      ASSERT_GE(child, 0);
      if (child == 0) {
        Connect();
        Save(1, 1, next, steps);
        // No close, no destructor: what the process wrote is all there is.
        raise(SIGKILL);
        _exit(3);
      }
      int status = 0;
      waitpid(child, &status, 0);
      ASSERT_TRUE(WIFSIGNALED(status)) << "step " << steps;
      Connect();
      EXPECT_EQ(Check("urls.DBF"), "") << steps;
      EXPECT_EQ(Check("URLFULL.DBF"), "") << steps;
      const std::string address = Address(1, 1);
      EXPECT_TRUE(address == old || address == next) << steps << ": " << address;
      if (steps == 3) {
        EXPECT_EQ(address, next);
      }
      ASSERT_EQ(whole_->Tidy(urls_), 0);
      EXPECT_EQ(Rows(), catalogue::IsLongAddress(address) ? 1u : 0u) << steps;
      EXPECT_EQ(Address(1, 1), address);
    }
  }
}

TEST_F(WholeAddressTest, ADamagedOrHalfMadeTableIsNotTakenForSound) {
  Save(1, 1, LongAddress('A'));
  Disconnect();
  // A table made and killed before its rename leaves files that are not
  // the table; the next long address makes the table anew over them.
  fs::rename(dir_ / "URLFULL.DBF", dir_ / "URLFULLN.DBF");
  Connect();
  EXPECT_FALSE(whole_->open());
  Save(2, 2, LongAddress('B'));
  EXPECT_TRUE(whole_->open());
  EXPECT_FALSE(fs::exists(dir_ / "URLFULLN.DBF"));
  EXPECT_EQ(Address(2, 2), LongAddress('B'));
  Disconnect();
  // A damaged table fails to open.
  fs::resize_file(dir_ / "URLFULL.DBF", 10);
  ASSERT_EQ(XdsConnect60(dir_.c_str(), XDS_SERVER_LOCAL, "", "", 0, &connection_), 0);
  WholeAddresses w(connection_);
  EXPECT_NE(w.OpenIfPresent(dir_.string()), 0);
  EXPECT_FALSE(w.open());
}

}  // namespace
