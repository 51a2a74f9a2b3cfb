#include "shell.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "cp1251.h"
#include "current_dir.h"
#include "temp_dir.h"

namespace platform {
namespace {

class ShellTest : public ::testing::Test {
 protected:
  void TearDown() override {
    SetShellOpenerForTesting("");
  }
  // A fake opener that records its arguments, one per line, and exits with `code`.
  std::string FakeOpener(int code) {
    std::string path = dir_ + "/opener";
    std::ofstream(path) << "#!/bin/sh\n"
                        << "echo \"$#\" > '" << dir_ << "/args'\n"
                        << "for a in \"$@\"; do printf '%s\\n' \"$a\" >> '" << dir_
                        << "/args'; done\n"
                        << "pwd > '" << dir_ << "/pwd'\n"
                        << "exit " << code << "\n";
    chmod(path.c_str(), 0755);
    return path;
  }
  std::string Args() {
    std::ifstream in(dir_ + "/args");
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
  }
  testsupport::TempDir tmp_{"tavo_shell"};
  std::string dir_ = tmp_.str();
};

TEST_F(ShellTest, HandsTheTextToTheOpenerAsOneArgument) {
  SetShellOpenerForTesting(FakeOpener(0));
  const std::string text = "http://x.test/a b;echo \"pwned\" 'q' $(id) `id` | > <";
  EXPECT_EQ(ShellExecute(text), kShellOk);
  EXPECT_EQ(Args(), "1\n" + text + "\n");
  EXPECT_FALSE(std::filesystem::exists(dir_ + "/pwned"));

  // The text is in the program's character set; the opener, like every
  // program of the desktop, takes UTF-8.
  EXPECT_EQ(ShellExecute("http://\xef\xf0\xe8\xec\xe5\xf0.\xf0\xf4/\xb9 1"), kShellOk);
  EXPECT_EQ(Args(), "1\nhttp://пример.рф/№ 1\n");
}

TEST_F(ShellTest, StartsTheOpenerInTheStartDirectory) {
  SetShellOpenerForTesting(FakeOpener(0));
  std::filesystem::create_directory(dir_ + "/start");
  // A leading dash is the opener's business: it gets the text as it is.
  EXPECT_EQ(ShellExecute("-x", dir_ + "/start/"), kShellOk);
  EXPECT_EQ(Args(), "1\n-x\n");
  std::ifstream pwd(dir_ + "/pwd");
  std::string line;
  std::getline(pwd, line);
  EXPECT_EQ(std::filesystem::canonical(line), std::filesystem::canonical(dir_ + "/start"));
  EXPECT_EQ(ShellExecute("-x", dir_ + "/missing/"), kShellPathNotFound);
  EXPECT_TRUE(ExecutableDirectory().ends_with("/"));
  EXPECT_TRUE(std::filesystem::exists(ExecutableDirectory() + "platform_tests"));
}

TEST_F(ShellTest, ReportsFailuresAsThirtyTwoOrLess) {
  struct Case {
    int exitCode;
    int want;
  } cases[] = {{0, kShellOk}, {1, 2}, {2, 2}, {3, 31}, {4, 31}};
  for (const Case& c : cases) {
    SetShellOpenerForTesting(FakeOpener(c.exitCode));
    EXPECT_EQ(ShellExecute("mailto:someone@tavo-software.example"), c.want) << c.exitCode;
  }
  SetShellOpenerForTesting(dir_ + "/no-such-opener");
  EXPECT_EQ(ShellExecute("http://x.test/"), kShellFileNotFound);
  SetShellOpenerForTesting("tavo-no-such-opener-in-path");
  EXPECT_LE(ShellExecute("http://x.test/"), 32);
  EXPECT_GT(kShellOk, 32);
}

// Started without waiting: the verdict comes on the pipe once the opener
// exits, and what waits for it keeps no file of the program open (a lock
// held through such a file would outlive the program).
TEST_F(ShellTest, AStartedLaunchReportsWhenTheOpenerExits) {
  const std::string opener = dir_ + "/slow";
  std::ofstream(opener) << "#!/bin/sh\nsleep 1\nexit 3\n";
  chmod(opener.c_str(), 0755);
  SetShellOpenerForTesting(opener);
  const std::string locked = dir_ + "/locked";
  int fd = ::open(locked.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);

  const auto start = std::chrono::steady_clock::now();
  ShellLaunch launch = StartShellExecute("http://x.test/");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
  ASSERT_GE(launch.fd, 0);
  pollfd ready{launch.fd, POLLIN, 0};
  EXPECT_EQ(::poll(&ready, 1, 0), 0);

  // The watcher lets go of its copies as soon as it runs, well before the
  // opener is done.
  ::close(fd);
  int again = ::open(locked.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(again, 0);
  bool locked_again = false;
  for (int i = 0; i < 50 && !locked_again; ++i) {
    locked_again = ::flock(again, LOCK_EX | LOCK_NB) == 0;
    if (!locked_again) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  EXPECT_TRUE(locked_again);
  ::close(again);

  EXPECT_EQ(ReadShellResult(launch.fd), kShellNoAssociation);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  // A missing start directory is a verdict too.
  launch = StartShellExecute("x", dir_ + "/missing/");
  ASSERT_GE(launch.fd, 0);
  EXPECT_EQ(ReadShellResult(launch.fd), kShellPathNotFound);
}

TEST(Cp1251Test, RoundTripsEveryByte) {
  for (int b = 0; b < 256; ++b) {
    std::string one(1, static_cast<char>(b));
    EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(one)), one) << b;
  }
  EXPECT_EQ(Cp1251ToUtf8("\xcd\xe0\xe7\xe2\xe0\xed\xe8\xe5"), "Название");
  EXPECT_EQ(Utf8ToCp1251("Тип №1 €"), "\xd2\xe8\xef \xb9\x31 \x88");
  // Characters outside the code page and malformed UTF-8 become '?'.
  EXPECT_EQ(Utf8ToCp1251("a\xe4\xb8\xad"
                         "b"),
            "a?b");
  EXPECT_EQ(Utf8ToCp1251("\xc0\xaf\xff\xd0"), "????");
  EXPECT_EQ(Utf8ToCp1251("\xed\xa0\x80"), "???");
}

TEST(CurrentDirTest, ReportsTheProcessDirectory) {
  auto old = std::filesystem::current_path();
  std::filesystem::current_path("/");
  EXPECT_EQ(GetCurrentDirectory(), "/");
  std::filesystem::current_path("/tmp");
  EXPECT_EQ(GetCurrentDirectory(), std::filesystem::canonical("/tmp").string());
  std::filesystem::current_path(old);
}

}  // namespace
}  // namespace platform
