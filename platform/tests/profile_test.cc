#include "profile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "temp_dir.h"

namespace platform {
namespace {

class ProfileTest : public ::testing::Test {
 protected:
  void SetUp() override { path_ = dir_ + "/tavo.ini"; }
  void TearDown() override {
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all);
  }
  void Put(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }
  std::string Get() {
    std::ifstream in(path_, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  testsupport::TempDir tmp_{"tavo_profile"};
  std::string dir_ = tmp_.str();
  std::string path_;
};

TEST_F(ProfileTest, ReadsValuesWithWindowsRules) {
  Put("; comment=ignored\n"
      "key0=outside any section\n"
      "[Other]\n0=7\n"
      "[ grid ]\r\n"
      "  0 =  164  \r\n"
      "1=\"quoted\"\r\n"
      "2='x'\r\n"
      "bare line\r\n"
      "[Grid]\n0=999\n");
  struct Case {
    const char* section;
    const char* key;
    const char* want;
  } cases[] = {
      {"Grid", "0", "164"},     // names ignore case and blanks; the first section wins
      {"GRID", "1", "quoted"},  // one pair of quotes is stripped
      {"Grid", "2", "x"},      {"Grid", "3", "def"},  // missing key
      {"Nope", "0", "def"},                           // missing section
      {"Other", "0", "7"},     {"Grid", "bare line", "def"}, {"Grid", "key0", "def"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(GetPrivateProfileString(c.section, c.key, "def", path_), c.want)
        << c.section << "/" << c.key;
  }
  EXPECT_EQ(GetPrivateProfileString("Grid", "0", "def", dir_ + "/missing.ini"), "def");
  EXPECT_EQ(GetPrivateProfileString("Grid", "0", "def", dir_), "def");  // a folder
  std::string fifo = dir_ + "/fifo.ini";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  EXPECT_EQ(GetPrivateProfileString("Grid", "0", "def", fifo), "def");
  EXPECT_FALSE(WritePrivateProfileString("Grid", "0", "1", fifo));
}

TEST_F(ProfileTest, NewFileListsKeysInWriteOrder) {
  TIniFile ini(path_);
  for (int i = 2; i >= 0; --i) {
    ini.WriteInteger("Grid", std::to_string(i), 200);
  }
  EXPECT_EQ(Get(), "[Grid]\n2=200\n1=200\n0=200\n");
}

TEST_F(ProfileTest, WriteKeepsOtherSectionsKeysAndComments) {
  Put("[Top]\r\na=1\r\n\r\n[Grid]\r\n; widths\r\n1=5\r\nx = keep \r\n\r\n[Tail]\r\nb=2");
  TIniFile ini(path_);
  ini.WriteInteger("Grid", "1", 77);  // replaced where it stands
  ini.WriteInteger("Grid", "0", 66);  // added after the section's last entry
  ini.WriteString("New", "k", "v");   // new section at the end
  EXPECT_EQ(Get(),
            "[Top]\r\na=1\r\n\r\n[Grid]\r\n; widths\r\n1=77\r\nx = keep \r\n0=66\r\n\r\n"
            "[Tail]\r\nb=2\r\n[New]\r\nk=v\r\n");
}

TEST_F(ProfileTest, RefusedWriteRaisesWithPathAndKeepsFile) {
  Put("[Grid]\n0=1\n");
  ASSERT_EQ(chmod(path_.c_str(), 0444), 0);
  TIniFile ini(path_);
  try {
    ini.WriteInteger("Grid", "0", 5);
    FAIL() << "write to a read-only file succeeded";
  } catch (const EIniFileException& e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + path_);
  }
  EXPECT_EQ(Get(), "[Grid]\n0=1\n");
  EXPECT_THROW(TIniFile(dir_ + "/no/such/dir/tavo.ini").WriteInteger("Grid", "0", 1),
               EIniFileException);
  EXPECT_FALSE(WritePrivateProfileString("Grid", "0", "1\n[Evil]", dir_ + "/other.ini"));
  EXPECT_FALSE(WritePrivateProfileString("Grid", "a=b", "1", dir_ + "/other.ini"));
}

TEST_F(ProfileTest, WriteFollowsSymlinkAndKeepsMode) {
  Put("[Grid]\n");
  ASSERT_EQ(chmod(path_.c_str(), 0600), 0);
  std::string link = dir_ + "/link.ini";
  std::filesystem::create_symlink(path_, link);
  WritePrivateProfileString("Grid", "0", "9", link);
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(Get(), "[Grid]\n0=9\n");
  struct stat st;
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST(StrToIntDefTest, AcceptsDecimalAndHexOnly) {
  struct Case {
    const char* text;
    int want;
  } cases[] = {
      {"164", 164},
      {"0x64", 100},
      {"0X64", 100},
      {"$64", 100},
      {"$ff", 255},
      {" 12", 12},
      {"-5", -5},
      {"+7", 7},
      {"abc", -1},
      {"", -1},
      {"12abc", -1},
      {"0x", -1},
      {"$", -1},
      {"1.5", -1},
      {"2147483647", 2147483647},
      {"2147483648", -1},
      {"-2147483648", -2147483647 - 1},
      {"$FFFFFFFF", -1},
      {"$100000000", -1},
      {"99999999999999999999", -1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StrToIntDef(c.text, -1), c.want) << c.text;
  }
  EXPECT_EQ(StrToIntDef("$FFFFFFFF", 3), -1);
  EXPECT_EQ(StrToIntDef("zz", 200), 200);
}

}  // namespace
}  // namespace platform
