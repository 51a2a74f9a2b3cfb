// Writes that fail part-way (a full disk, a crash) leave a table that opens
// with its old content or its new content, never a mix. Every operation is
// run again and again with the Nth write failing, for every N.
#include <functional>

#include "fault_file.h"
#include "table.h"
#include "test_util.h"

namespace xcetest {
namespace {

using xce::FaultInjectingFileSystem;
using xce::FileSystem;
using xce::OpenOptions;
using xce::Status;
using xce::Table;

// Everything a reader can see: records, flags, field texts and memo values.
std::string Content(const fs::path& dbf) {
  OpenOptions o;
  o.exclusive = true;  // a writable open finishes an interrupted pack or zap
  std::shared_ptr<Table> t;
  Status s = Table::Open(FileSystem::Default(), dbf.string(), o, &t);
  if (!s.ok()) {
    return "cannot open: " + s.message();
  }
  std::string out;
  std::vector<char> rec(t->recordLength());
  for (uint32_t r = 1; r <= t->RecordCount(); ++r) {
    EXPECT_TRUE(t->GotoRecord(r).ok());
    out += std::to_string(r) + (t->CurrentDeleted() ? "*" : " ");
    for (uint16_t f = 1; f <= t->fields().size(); ++f) {
      const xce::FieldInfo& fi = t->fields()[f - 1];
      if (fi.isMemo) {
        std::string memo;
        uint32_t type = 0;
        Status m = t->ReadMemo(f, &memo, &type);
        out += "|" + (m.ok() ? memo : "memo error: " + m.message());
      } else {
        out += "|" + std::string(t->image() + fi.offset, fi.length);
      }
    }
    out += "\n";
  }
  EXPECT_TRUE(t->Close().ok());
  return out;
}

using Operation = std::function<Status(FileSystem* fs, const std::string& dbf)>;

// Builds the starting table in `dir`.
void MakeBase(const TempDir& dir) {
  ApiTable t(dir.str());
  ASSERT_EQ(t.Create("f.dbf", {{"ID", 'N', 4, 0}, {"NAME", 'C', 8, 0}, {"DESCR", 'M', 0, 0}}), 0);
  ASSERT_EQ(t.Open("f.dbf"), 0);
  for (int i = 1; i <= 4; ++i) {
    ASSERT_EQ(t.Append({std::to_string(i), "n" + std::to_string(i), "memo " + std::to_string(i)}),
              0);
  }
  ASSERT_EQ(XdsGotoRecord(t.table(), 2), 0);
  ASSERT_EQ(XdsDeleteRecord(t.table()), 0);
  ASSERT_EQ(XdsWriteRecord(t.table()), 0);
}

void CopyDir(const fs::path& from, const fs::path& to) {
  for (const auto& e : fs::directory_iterator(from)) {
    fs::copy_file(e.path(), to / e.path().filename(), fs::copy_options::overwrite_existing);
  }
}

Status WithTable(FileSystem* fs, const std::string& dbf, bool exclusive,
                 const std::function<Status(Table&)>& body) {
  OpenOptions o;
  o.exclusive = exclusive;
  std::shared_ptr<Table> t;
  XCE_RETURN_IF_ERROR(Table::Open(fs, dbf, o, &t));
  Status s = body(*t);
  if (!s.ok()) {
    (void)t->CancelPending();  // a caller that gets an error gives the change up
  }
  Status c = t->Close();
  return s.ok() ? c : s;
}

// Problems the check finds in the table's files, minus bytes left past the
// last counted record when `crashed` (a crash after the records were written
// but before the count cannot take them back; later appends overwrite them).
std::string CheckProblems(const fs::path& dbf, bool crashed) {
  std::string report;
  Status s = xce::CheckTableFiles(FileSystem::Default(), dbf.string(), &report);
  if (!s.ok()) {
    return s.message();
  }
  std::string kept;
  std::size_t pos = 0;
  while (pos < report.size()) {
    std::size_t nl = report.find('\n', pos);
    std::string line = report.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? report.size() : nl + 1;
    if (!(crashed && line.find("follow the last counted record") != std::string::npos)) {
      kept += line + "\n";
    }
  }
  return kept;
}

// Runs `op` with the Nth write failing, for every N: once as a crash (that
// write and every later one fail) and once as a transient error (only that
// write fails, so the engine's own clean-up can run). Each time the table
// must open with its old or its new content, and the check must find no
// memo pointer outside the used part of the memo file; after a transient
// error it must find nothing at all.
void RunEveryFailurePoint(const Operation& op) {
  TempDir base;
  MakeBase(base);
  const std::string oldContent = Content(base / "f.dbf");
  std::string newContent;
  {
    TempDir clean;
    CopyDir(base.path(), clean.path());
    ASSERT_TRUE(op(FileSystem::Default(), (clean / "f.dbf").string()).ok());
    newContent = Content(clean / "f.dbf");
  }
  ASSERT_NE(oldContent, newContent);
  for (bool transient : {false, true}) {
    for (uint64_t n = 1;; ++n) {
      ASSERT_LT(n, 500u) << "the operation never completes";
      TempDir dir;
      CopyDir(base.path(), dir.path());
      FaultInjectingFileSystem faulty(FileSystem::Default());
      faulty.FailAtWrite(n, transient);
      Status s = op(&faulty, (dir / "f.dbf").string());
      std::string got = Content(dir / "f.dbf");
      const char* mode = transient ? "transient" : "crash";
      EXPECT_TRUE(got == oldContent || got == newContent)
          << mode << ": write " << n << " failed (" << s.message() << ") and left:\n"
          << got << "old:\n"
          << oldContent << "new:\n"
          << newContent;
      EXPECT_EQ(CheckProblems(dir / "f.dbf", !transient), "")
          << mode << ": write " << n << " failed (" << s.message() << ")";
      if (s.ok() && faulty.writes() < n) {
        EXPECT_EQ(got, newContent);
        EXPECT_GT(n, 2u) << "the operation should need several writes";
        break;
      }
    }
  }
}

TEST(FaultInjection, AppendInAnExclusiveOpen) {
  RunEveryFailurePoint([](FileSystem* fs, const std::string& dbf) {
    return WithTable(fs, dbf, true, [](Table& t) {
      XCE_RETURN_IF_ERROR(t.StartAppend());
      XCE_RETURN_IF_ERROR(t.SetFieldText(1, "5", false));
      XCE_RETURN_IF_ERROR(t.SetFieldText(3, "appended memo", false));
      XCE_RETURN_IF_ERROR(t.CommitPending());
      XCE_RETURN_IF_ERROR(t.StartAppend());
      XCE_RETURN_IF_ERROR(t.SetFieldText(1, "6", false));
      return t.Flush();
    });
  });
}

TEST(FaultInjection, FailedBatchOfAppendsIsReportedAndTakenBack) {
  // Appends on an exclusive open wait in memory for the next move; when that
  // write fails, the move reports it and the table file is as before.
  TempDir base;
  MakeBase(base);
  const std::string before = ReadBytes(base / "f.dbf");
  for (uint64_t n = 1; n <= 3; ++n) {
    TempDir dir;
    CopyDir(base.path(), dir.path());
    FaultInjectingFileSystem faulty(FileSystem::Default());
    OpenOptions o;
    o.exclusive = true;
    std::shared_ptr<Table> t;
    ASSERT_TRUE(Table::Open(&faulty, (dir / "f.dbf").string(), o, &t).ok());
    for (int i = 0; i < 3; ++i) {
      ASSERT_TRUE(t->StartAppend().ok());
      ASSERT_TRUE(t->SetFieldText(2, "batch", false).ok());
      ASSERT_TRUE(t->CommitPending().ok());
    }
    faulty.FailAtWrite(faulty.writes() + n, /*once=*/true);
    Status moved = t->GotoRecord(1);
    if (moved.ok()) {
      EXPECT_GE(n, 3u) << "the batch needs more than " << n << " writes";
      EXPECT_EQ(t->RecordCount(), 7u);
      break;
    }
    EXPECT_EQ(t->RecordCount(), 4u) << "write " << n;
    ASSERT_TRUE(t->Close().ok());
    EXPECT_EQ(ReadBytes(dir / "f.dbf"), before) << "write " << n;
  }
}

TEST(FaultInjection, AppendInASharedOpen) {
  RunEveryFailurePoint([](FileSystem* fs, const std::string& dbf) {
    return WithTable(fs, dbf, false, [](Table& t) {
      XCE_RETURN_IF_ERROR(t.StartAppend());
      XCE_RETURN_IF_ERROR(t.SetFieldText(2, "shared", false));
      XCE_RETURN_IF_ERROR(t.SetFieldText(3, "appended memo", false));
      return t.CommitPending();
    });
  });
}

TEST(FaultInjection, MemoRewriteInPlace) {
  RunEveryFailurePoint([](FileSystem* fs, const std::string& dbf) {
    return WithTable(fs, dbf, true, [](Table& t) {
      XCE_RETURN_IF_ERROR(t.GotoRecord(3));
      XCE_RETURN_IF_ERROR(t.SetFieldText(3, "short", false));
      return t.CommitPending();
    });
  });
}

TEST(FaultInjection, MemoGrowthWithAFieldChange) {
  RunEveryFailurePoint([](FileSystem* fs, const std::string& dbf) {
    return WithTable(fs, dbf, true, [](Table& t) {
      XCE_RETURN_IF_ERROR(t.GotoRecord(3));
      XCE_RETURN_IF_ERROR(t.SetFieldText(2, "renamed", false));
      XCE_RETURN_IF_ERROR(t.SetFieldText(3, std::string(300, 'g'), false));
      return t.CommitPending();
    });
  });
}

TEST(FaultInjection, RecordChangeAndDelete) {
  RunEveryFailurePoint([](FileSystem* fs, const std::string& dbf) {
    return WithTable(fs, dbf, true, [](Table& t) {
      XCE_RETURN_IF_ERROR(t.GotoRecord(4));
      XCE_RETURN_IF_ERROR(t.SetDeleted(true));
      XCE_RETURN_IF_ERROR(t.SetFieldText(1, "44", false));
      return t.CommitPending();
    });
  });
}

TEST(FaultInjection, Pack) {
  RunEveryFailurePoint([](FileSystem* fs, const std::string& dbf) {
    return WithTable(fs, dbf, true, [](Table& t) { return t.Pack(); });
  });
}

TEST(FaultInjection, Zap) {
  RunEveryFailurePoint([](FileSystem* fs, const std::string& dbf) {
    return WithTable(fs, dbf, true, [](Table& t) { return t.Zap(); });
  });
}

TEST(FaultInjection, Rewrite) {
  // The records come from another table of the same fields, memos included.
  TempDir src;
  {
    ApiTable t(src.str());
    ASSERT_EQ(t.Create("s.dbf", {{"ID", 'N', 4, 0}, {"NAME", 'C', 8, 0}, {"DESCR", 'M', 0, 0}}),
              0);
    ASSERT_EQ(t.Open("s.dbf"), 0);
    for (int i = 7; i <= 9; ++i) {
      ASSERT_EQ(t.Append({std::to_string(i), "s" + std::to_string(i), "new " + std::to_string(i)}),
                0);
    }
  }
  const std::string source = (src / "s.dbf").string();
  RunEveryFailurePoint([&](FileSystem* fs, const std::string& dbf) {
    return WithTable(fs, dbf, true, [&](Table& t) {
      std::shared_ptr<Table> from;
      XCE_RETURN_IF_ERROR(Table::Open(FileSystem::Default(), source, OpenOptions{}, &from));
      Status s = t.RewriteFrom(*from);
      Status c = from->Close();
      return s.ok() ? c : s;
    });
  });
}

TEST(FaultInjection, ShortWritesDuringPack) {
  // A write cut short after N bytes, as on a full disk.
  TempDir base;
  MakeBase(base);
  const std::string oldContent = Content(base / "f.dbf");
  for (uint64_t limit = 0; limit < 2000; limit += 97) {
    TempDir dir;
    CopyDir(base.path(), dir.path());
    FaultInjectingFileSystem faulty(FileSystem::Default());
    faulty.FailAfterBytes(limit);
    Status s =
        WithTable(&faulty, (dir / "f.dbf").string(), true, [](Table& t) { return t.Pack(); });
    std::string got = Content(dir / "f.dbf");
    if (!s.ok()) {
      EXPECT_EQ(got, oldContent) << "limit " << limit;
    }
  }
}

TEST(FaultInjection, TransientFailureKeepsTheChangePending) {
  // When the Nth write of a commit fails once, the change stays pending with
  // its values and the next commit stores it, exactly once.
  struct Case {
    const char* name;
    bool exclusive;
    bool append;
  };
  for (const Case& c : {Case{"update", true, false}, Case{"exclusive append", true, true},
                        Case{"shared append", false, true}}) {
    for (uint64_t n = 1;; ++n) {
      ASSERT_LT(n, 50u) << c.name;
      TempDir dir;
      MakeBase(dir);
      FaultInjectingFileSystem faulty(FileSystem::Default());
      OpenOptions o;
      o.exclusive = c.exclusive;
      std::shared_ptr<Table> t;
      ASSERT_TRUE(Table::Open(&faulty, (dir / "f.dbf").string(), o, &t).ok());
      if (c.append) {
        ASSERT_TRUE(t->StartAppend().ok());
      } else {
        ASSERT_TRUE(t->GotoRecord(1).ok());
      }
      ASSERT_TRUE(t->SetFieldText(2, "again", false).ok());
      ASSERT_TRUE(t->SetFieldText(3, "again memo", false).ok());
      const uint64_t start = faulty.writes();
      faulty.FailAtWrite(start + n, /*once=*/true);
      Status first = t->CommitPending();
      if (!first.ok()) {
        EXPECT_TRUE(t->Settle().ok()) << c.name << ", write " << n;
      }
      // An exclusive open keeps appends in memory until the next move; when
      // writing them fails, they are reported lost and the table is as before.
      Status batch = t->Settle();
      ASSERT_TRUE(t->Close().ok());
      const std::string content = Content(dir / "f.dbf");
      EXPECT_EQ(content.find("|again   |again memo\n") != std::string::npos, batch.ok())
          << c.name << ", write " << n << ":\n"
          << content;
      EXPECT_EQ(content.find("again", content.find("again memo") + 1), std::string::npos)
          << c.name << ", write " << n << ":\n"
          << content;
      if (first.ok() && faulty.writes() < start + n) {
        break;
      }
    }
  }
}

}  // namespace
}  // namespace xcetest
