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
  Status c = t->Close();
  return s.ok() ? c : s;
}

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
  for (uint64_t n = 1;; ++n) {
    ASSERT_LT(n, 500u) << "the operation never completes";
    TempDir dir;
    CopyDir(base.path(), dir.path());
    FaultInjectingFileSystem faulty(FileSystem::Default());
    faulty.FailAtWrite(n);
    Status s = op(&faulty, (dir / "f.dbf").string());
    std::string got = Content(dir / "f.dbf");
    EXPECT_TRUE(got == oldContent || got == newContent)
        << "write " << n << " failed (" << s.message() << ") and left:\n"
        << got << "old:\n"
        << oldContent << "new:\n"
        << newContent;
    if (s.ok() && faulty.writes() < n) {
      EXPECT_EQ(got, newContent);
      EXPECT_GT(n, 2u) << "the operation should need several writes";
      break;
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

TEST(FaultInjection, TransientFailureKeepsTheHandleUsable) {
  TempDir dir;
  MakeBase(dir);
  FaultInjectingFileSystem faulty(FileSystem::Default());
  OpenOptions o;
  o.exclusive = true;
  std::shared_ptr<Table> t;
  ASSERT_TRUE(Table::Open(&faulty, (dir / "f.dbf").string(), o, &t).ok());
  faulty.FailAtWrite(faulty.writes() + 1, /*once=*/true);
  ASSERT_TRUE(t->GotoRecord(1).ok());
  ASSERT_TRUE(t->SetFieldText(2, "again", false).ok());
  EXPECT_FALSE(t->CommitPending().ok());
  EXPECT_TRUE(t->CommitPending().ok());  // the change is still pending and goes through now
  ASSERT_TRUE(t->Close().ok());
  EXPECT_NE(Content(dir / "f.dbf").find("again"), std::string::npos);
}

}  // namespace
}  // namespace xcetest
