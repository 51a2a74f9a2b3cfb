// tavo-bookmarks as a user runs it: help, one-line failures, the default
// catalogue folder, the summary and both export formats.
#include <gtest/gtest.h>

#include "catalogue_util.h"
#include "test_data.h"

namespace bookmarks {
namespace {

using namespace bookmarks_test;

TEST(Tool, HelpAndOneLineFailures) {
  TempDir tmp;
  RunResult r = Exec(TAVO_BOOKMARKS_PATH, {"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("usage: tavo-bookmarks import FILE [DIR]"), std::string::npos);
  WriteText(tmp.path() / "page.html", "<html><body>no bookmarks</body></html>");
  const std::vector<std::vector<std::string>> cases = {
      {"frobnicate"},
      {"import"},
      {"import", tmp.str("missing.html"), tmp.str("c")},
      {"import", tmp.str("page.html"), tmp.str("c")},
      {"export", tmp.str("c"), tmp.str("out.html")},
      {"export", tmp.str(), tmp.str("out.html")},
      {"export", tmp.str(), tmp.str("out.html"), "--format", "pdf"},
  };
  for (const auto& args : cases) {
    r = Exec(TAVO_BOOKMARKS_PATH, args);
    EXPECT_EQ(r.status, 1) << args[0];
    EXPECT_TRUE(OneLine(r.err)) << r.err;
    EXPECT_EQ(r.err.rfind("tavo-bookmarks: ", 0), 0u) << r.err;
  }
  EXPECT_FALSE(fs::exists(tmp.path() / "c"));  // a file that is no bookmark file creates nothing
  EXPECT_FALSE(fs::exists(tmp.path() / "out.html"));
}

TEST(Tool, ImportsIntoTheProgramsFolderAndExportsBothFormats) {
  TempDir tmp;
  const std::string file = tmp.str("ff.html");
  WriteText(file, ReadData("firefox.html"));
  RunResult r = Exec(TAVO_BOOKMARKS_PATH, {"import", file}, {"XDG_DATA_HOME=" + tmp.str("data")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  const std::string dir = tmp.str("data/tavo-url-manager");
  EXPECT_TRUE(fs::exists(fs::path(dir) / "urls.DBF"));
  EXPECT_NE(r.out.find("URL records added:     3"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Skipped links:\n  \"Recent Tags\" place:sort=8&maxResults=10: "),
            std::string::npos)
      << r.out;
  r = Exec(TAVO_BOOKMARKS_PATH, {"export", dir, tmp.str("out.xbel")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Slurp(tmp.path() / "out.xbel").rfind("<?xml", 0), 0u);
  r = Exec(TAVO_BOOKMARKS_PATH, {"export", dir, tmp.str("out.txt"), "--format", "html"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Slurp(tmp.path() / "out.txt").rfind("<!DOCTYPE NETSCAPE-Bookmark-file-1>", 0), 0u);
  // Both files import into an empty folder as the same catalogue.
  const std::string snapshot = Snapshot(dir);
  for (const char* name : {"out.xbel", "out.txt"}) {
    const std::string copy = tmp.str(std::string("copy-") + name);
    r = Exec(TAVO_BOOKMARKS_PATH, {"import", tmp.str(name), copy});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Snapshot(copy), snapshot) << name;
  }
}

}  // namespace
}  // namespace bookmarks
