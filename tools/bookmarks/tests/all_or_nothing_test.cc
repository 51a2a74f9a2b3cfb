// An import changes the catalogue whole or not at all: with the swap's
// writes failing one after another, with the process killed at any moment,
// and when the program holds the catalogue open.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "bookmark_tree.h"
#include "catalogue_io.h"
#include "catalogue_util.h"
#include "child_process.h"
#include "fault_file.h"
#include "test_data.h"

namespace bookmarks {
namespace {

using namespace bookmarks_test;

Tree Parse(const std::string& text) {
  Tree tree;
  std::string error;
  EXPECT_TRUE(ParseBookmarks(text, &tree, &error)) << error;
  return tree;
}

// The starting catalogue: the Firefox file imported into `dir`.
void MakeBase(const std::string& dir) {
  ImportSummary s;
  std::string error;
  ASSERT_TRUE(ImportBookmarks(Parse(ReadData("firefox.html")), dir, ImportOptions(), &s, &error))
      << error;
}

std::map<std::string, std::string> CatalogueFiles(const std::string& dir) {
  std::map<std::string, std::string> files = FilesOf(dir);
  std::erase_if(files, [](const auto& f) { return f.first.find("tavo-bookmarks") != std::string::npos; });
  return files;
}

// Imports `tree` into copies of the catalogue in `base` with the swap's
// writes failing from the 1st, the 2nd, ... on, until one import succeeds.
void ExpectEveryFailingWriteLeavesOldOrNew(const TempDir& tmp, const std::string& base,
                                           const Tree& tree) {
  const std::string before = Snapshot(base);
  const auto beforeFiles = CatalogueFiles(base);
  const std::string clean = tmp.str("clean");
  fs::remove_all(clean);
  CopyFolder(base, clean);
  ImportSummary s;
  std::string error;
  ASSERT_TRUE(ImportBookmarks(tree, clean, ImportOptions(), &s, &error)) << error;
  const std::string after = Snapshot(clean);
  ASSERT_NE(before, after);

  int old = 0;
  int committed = 0;
  for (uint64_t n = 1; n < 100; ++n) {
    const std::string dir = tmp.str("try" + std::to_string(n));
    fs::remove_all(dir);
    CopyFolder(base, dir);
    xce::FaultInjectingFileSystem faulty(xce::FileSystem::Default());
    faulty.FailAtWrite(n);
    ImportOptions options;
    options.fs = &faulty;
    const bool ok = ImportBookmarks(tree, dir, options, &s, &error);
    if (ok) {
      EXPECT_EQ(Snapshot(dir), after);
      break;
    }
    // The failure says whether the swap was committed: then the next run
    // completes it, otherwise the catalogue keeps every byte.
    const bool wasCommitted = error.find("next run") != std::string::npos;
    // Or the put-back failed as well (the writes fail from n on), and the
    // next run puts the catalogue back.
    const bool putBackLater = error.find("puts it back when it starts") != std::string::npos;
    if (!wasCommitted && !putBackLater) {
      EXPECT_TRUE(CatalogueFiles(dir) == beforeFiles) << "write " << n << ": " << error;
    }
    (wasCommitted ? committed : old) += 1;
    ASSERT_TRUE(FinishInterruptedImport(xce::FileSystem::Default(), dir, &error)) << error;
    EXPECT_EQ(Snapshot(dir), wasCommitted ? after : before) << "write " << n;
    EXPECT_FALSE(fs::exists(fs::path(dir) / ".tavo-bookmarks.import"));
    EXPECT_FALSE(fs::exists(fs::path(dir) / "tavo-bookmarks.journal"));
    fs::remove_all(dir);
  }
  EXPECT_GT(old, 0);
  EXPECT_GT(committed, 0);
}

TEST(AllOrNothing, EveryFailingWriteOfTheSwapLeavesOldOrNew) {
  TempDir tmp;
  const std::string base = tmp.str("base");
  MakeBase(base);
  ExpectEveryFailingWriteLeavesOldOrNew(tmp, base, Parse(ReadData("chromium.html")));
}

// The table of whole addresses is one of the set: made by the import, or
// appended to in place under the undo record like the others.
TEST(AllOrNothing, WholeAddressesChangeWithTheCatalogue) {
  auto file = [](int from, int to) {
    std::string text = "<!DOCTYPE NETSCAPE-Bookmark-file-1><DL>";
    for (int i = from; i < to; ++i) {
      text += "<DT><A HREF=\"https://example.org/" + std::to_string(i) +
              "?q=" + std::string(150, static_cast<char>('a' + i)) + "\">" + std::to_string(i) +
              "</A>";
    }
    return text + "</DL>";
  };
  TempDir tmp;
  const std::string base = tmp.str("base");
  MakeBase(base);
  ExpectEveryFailingWriteLeavesOldOrNew(tmp, base, Parse(file(0, 3)));
  ImportSummary s;
  std::string error;
  ASSERT_TRUE(ImportBookmarks(Parse(file(0, 3)), base, ImportOptions(), &s, &error)) << error;
  ASSERT_TRUE(fs::exists(fs::path(base) / "URLFULL.DBF"));
  ExpectEveryFailingWriteLeavesOldOrNew(tmp, base, Parse(file(2, 6)));
}

// Tables and memo files take the appends in place under an undo record.
// When the import fails before its commit and cannot put them back, the
// next run does; that put-back, cut short at any of its writes and run
// again, still ends with every old byte.
TEST(AllOrNothing, APutBackCutShortAtAnyWriteStillEndsOld) {
  TempDir tmp;
  const std::string base = tmp.str("base");
  MakeBase(base);
  const std::string before = Snapshot(base);
  const auto beforeFiles = CatalogueFiles(base);
  const Tree tree = Parse(ReadData("chromium.html"));
  int cut = 0;
  for (uint64_t n = 1; n < 100; ++n) {
    const std::string failed = tmp.str("failed");
    CopyFolder(base, failed);
    xce::FaultInjectingFileSystem faulty(xce::FileSystem::Default());
    faulty.FailAtWrite(n);
    ImportOptions options;
    options.fs = &faulty;
    ImportSummary s;
    std::string error;
    ASSERT_FALSE(ImportBookmarks(tree, failed, options, &s, &error)) << "write " << n;
    if (error.find("next run") != std::string::npos) {
      break;  // committed: the put-back is behind us
    }
    if (error.find("puts it back when it starts") == std::string::npos) {
      fs::remove_all(failed);
      continue;
    }
    ASSERT_FALSE(CatalogueFiles(failed) == beforeFiles) << "the appends were made in place";
    for (uint64_t m = 1;; ++m) {
      const std::string dir = tmp.str("cut" + std::to_string(m));
      CopyFolder(failed, dir);
      fs::create_directories(fs::path(dir) / ".tavo-bookmarks.import");
      xce::FaultInjectingFileSystem cutShort(xce::FileSystem::Default());
      cutShort.FailAtWrite(m);
      const bool finished = FinishInterruptedImport(&cutShort, dir, &error);
      ASSERT_TRUE(FinishInterruptedImport(xce::FileSystem::Default(), dir, &error)) << error;
      EXPECT_EQ(Snapshot(dir), before) << "put-back cut at write " << m;
      EXPECT_TRUE(CatalogueFiles(dir) == beforeFiles) << "put-back cut at write " << m;
      EXPECT_FALSE(fs::exists(fs::path(dir) / "tavo-bookmarks.undo"));
      fs::remove_all(dir);
      ++cut;
      if (finished) {
        break;
      }
    }
    fs::remove_all(failed);
  }
  EXPECT_GT(cut, 4);
}

// A bookmark file big enough that a kill lands in the middle of the work.
std::string BigFile(int links) {
  std::string text = "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n<DL><p>\n";
  for (int i = 0; i < links; ++i) {
    if (i % 100 == 0) {
      text += (i > 0 ? "</DL><p>\n" : "") + std::string("<DT><H3>Папка ") +
              std::to_string(i / 100) + "</H3>\n<DL><p>\n";
    }
    text += "<DT><A HREF=\"https://site" + std::to_string(i) + ".example.com/page\" ADD_DATE=\"" +
            std::to_string(1600000000 + i) + "\">Сайт номер " + std::to_string(i) +
            "</A>\n<DD>Описание сайта " + std::to_string(i) + "\n";
  }
  return text + "</DL><p>\n</DL><p>\n";
}

TEST(AllOrNothing, AKilledImportLeavesOldOrNew) {
  TempDir tmp;
  const std::string base = tmp.str("base");
  MakeBase(base);
  const std::string before = Snapshot(base);
  const std::string file = tmp.str("big.html");
  WriteText(file, BigFile(20000));
  const std::string clean = tmp.str("clean");
  CopyFolder(base, clean);
  RunResult r = Exec(TAVO_BOOKMARKS_PATH, {"import", file, clean});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string after = Snapshot(clean);
  // So many appends have the tags built afresh: the same tags, sound.
  for (const auto& def : catalogue::CatalogueTables()) {
    RunResult c = Exec(XCETOOL_PATH, {"check", (fs::path(clean) / def.file).string()});
    EXPECT_EQ(c.status, 0) << c.err;
    XDSHANDLE connection = 0;
    XDSHANDLE t = 0;
    ASSERT_EQ(XdsConnect60(clean.c_str(), 1, "", "", 0, &connection), 0);
    ASSERT_EQ(XdsOpenTable(connection, def.file, nullptr, 2, def.charType, 1, 1, XDS_OPEN_READONLY, &t), 0);
    XDSHANDLE handles[16];
    uint16_t count = 16;
    ASSERT_EQ(XdsGetAllIndexes(t, &count, handles), 0);
    ASSERT_EQ(count, def.tags.size()) << def.file;
    for (uint16_t i = 0; i < count; ++i) {
      char text[256];
      uint16_t length = sizeof text;
      ASSERT_EQ(XdsGetIndexKeyExpression(handles[i], text, &length), 0);
      EXPECT_EQ(std::string(text, length), def.tags[i].key);
    }
    EXPECT_EQ(XdsCloseTable(t), 0);
    EXPECT_EQ(XdsDisconnect(connection), 0);
  }

  std::set<std::string> outcomes;
  for (int delayMs : {1, 5, 20, 50, 100, 200, 300, 450, 700, 1000}) {
    const std::string dir = tmp.str("kill" + std::to_string(delayMs));
    CopyFolder(base, dir);
    const pid_t pid = testsupport::StartChild({TAVO_BOOKMARKS_PATH, "import", file, dir}, {});
    ASSERT_GT(pid, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    kill(pid, SIGKILL);
    (void)testsupport::WaitChild(pid);
    // Any later run finishes or clears what the killed one left.
    RunResult e = Exec(TAVO_BOOKMARKS_PATH, {"export", dir, tmp.str("out.html")});
    ASSERT_EQ(e.status, 0) << e.err;
    const std::string now = Snapshot(dir);
    ASSERT_TRUE(now == before || now == after) << "killed after " << delayMs << " ms: a mix";
    outcomes.insert(now == before ? "old" : "new");
    EXPECT_FALSE(fs::exists(fs::path(dir) / ".tavo-bookmarks.import"));
    fs::remove_all(dir);
  }
  EXPECT_EQ(outcomes.count("old"), 1u);  // some kills landed before the end
}

TEST(AllOrNothing, RefusesACatalogueTheProgramHasOpen) {
  TempDir tmp;
  const std::string dir = tmp.str("catalogue");
  MakeBase(dir);
  const auto files = FilesOf(dir);
  const std::string file = tmp.str("b.html");
  WriteText(file, ReadData("chromium.html"));
  for (int table : {catalogue::kUrls, catalogue::kTem}) {
    XDSHANDLE c = 0;
    XDSHANDLE t = 0;
    ASSERT_EQ(XdsConnect60(dir.c_str(), 1, "", "", 0, &c), 0);
    ASSERT_EQ(catalogue::OpenCatalogueTable(
                  c, catalogue::CatalogueTables()[static_cast<std::size_t>(table)], false, &t),
              0);
    RunResult r = Exec(TAVO_BOOKMARKS_PATH, {"import", file, dir});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(OneLine(r.err)) << r.err;
    EXPECT_NE(r.err.find("is open in another program"), std::string::npos) << r.err;
    r = Exec(TAVO_BOOKMARKS_PATH, {"export", dir, tmp.str("out.html")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(OneLine(r.err)) << r.err;
    EXPECT_EQ(XdsCloseTable(t), 0);
    EXPECT_EQ(XdsDisconnect(c), 0);
    EXPECT_TRUE(FilesOf(dir) == files);
  }
  EXPECT_EQ(Exec(TAVO_BOOKMARKS_PATH, {"import", file, dir}).status, 0);
}

}  // namespace
}  // namespace bookmarks
