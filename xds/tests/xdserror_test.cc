// Engine failures as exceptions: messages, codes, the dataset's details,
// and tables that cannot be opened leave their files as they were.

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "recording_engine.h"
#include "xds_test_util.h"

using namespace xdstest;

namespace {

std::pair<int32_t, std::string> LastError() {
  int32_t code = 0;
  char text[600];
  uint16_t length = sizeof text;
  XdsGetLastError(&code, text, &length);
  return {code, std::string(text, length)};
}

// Opens t, expecting the engine to refuse; the error as raised.
EXDSDatabaseError OpenFails(TXdsTable& t) {
  try {
    t.Open();
  } catch (const EXDSDatabaseError& e) {
    EXPECT_FALSE(t.Active());
    EXPECT_EQ(t.TableHandle(), kNoXdsHandle);
    return e;
  }
  ADD_FAILURE() << "opened";
  return EXDSDatabaseError(nullptr, "", 0);
}

}  // namespace

TEST(XdsErrors, EngineFailureOnOpenNamesTheTableComponent) {
  TempDir dir;
  auto c = Connect(dir.str());
  auto t = Table(*c, "HDSTem", "TEM.dbf");
  EXDSDatabaseError e = OpenFails(*t);
  auto [code, text] = LastError();
  EXPECT_EQ(code, XDS_ERR_NOT_FOUND);
  EXPECT_EQ(e.ErrorCode(), code);
  EXPECT_EQ(e.Message(), "HDSTem: " + text);
  EXPECT_EQ(e.DataSetName(), "HDSTem");
  EXPECT_EQ(e.DataSetOwnerName(), "Form1");
  EXPECT_EQ(e.TableName(), "TEM.dbf");
  EXPECT_EQ(e.DatabasePath(), dir.str());
  EXPECT_EQ(e.SQLErrorCode(), 0);
  EXPECT_EQ(e.ColumnName(), "");
}

TEST(XdsErrors, ReportedCodeIsTheLastErrorsNotTheResult) {
  TempDir dir;
  auto c = CreateAndConnect(dir, "A.DBF", {{"X", 'C', 5, 0}});
  auto t = Table(*c, "HDSA", "A.DBF");
  RecordingEngine rec;
  rec.fail = [](const std::string& call) -> std::optional<XDSRESULT> {
    return call.rfind("XdsGetRecordLength", 0) == 0 ? std::optional<XDSRESULT>(1) : std::nullopt;
  };
  rec.failLastError = 5147;
  EXDSDatabaseError e = OpenFails(*t);
  EXPECT_EQ(e.ErrorCode(), 5147);
  // The open was taken back.
  auto calls = rec.Take({"XdsOpenTable", "XdsCloseTable"});
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[1].rfind("XdsCloseTable(", 0), 0u);
}

TEST(XdsErrors, ColumnAndNativeCodeComeFromTheText) {
  TempDir dir;
  auto c = Connect(dir.str());
  auto t = Table(*c, "HDSUrls", "urls.DBF");
  EXDSDatabaseError column(t.get(), "Value too long for column \"URL_ID\" here", 5147);
  EXPECT_EQ(column.ColumnName(), "URL_ID");
  EXPECT_EQ(column.Message(), "HDSUrls: Value too long for column \"URL_ID\" here");
  EXDSDatabaseError other(t.get(), "Value too long for column \"URL_ID\" here", 5150);
  EXPECT_EQ(other.ColumnName(), "");
  EXDSDatabaseError native(nullptr, "Error 7200: AQE Error: State = S0000; NativeError = 3013; x",
                           7200);
  EXPECT_EQ(native.SQLErrorCode(), 3013);
  EXPECT_EQ(native.Message(), "Error 7200: AQE Error: State = S0000; NativeError = 3013; x");
  EXDSDatabaseError atEnd(nullptr, "ERROR 7200: nativeerror = 42", 7200);
  EXPECT_EQ(atEnd.SQLErrorCode(), 42);
  EXDSDatabaseError without(nullptr, "Error 7201: NativeError = 3013;", 7201);
  EXPECT_EQ(without.SQLErrorCode(), 0);
  EXDSDatabaseError garbled(nullptr, "Error 7200: NativeError = abc;", 7200);
  EXPECT_EQ(garbled.SQLErrorCode(), 0);
  EXPECT_EQ(garbled.ErrorCode(), 7200);
}

TEST(XdsErrors, CheckPassesSuccessAndReadsTheEnginesError) {
  EXPECT_NO_THROW(CheckXceResult(nullptr, 0));
  XdsSetLastError(6004, "The table is damaged");
  try {
    CheckXceResult(nullptr, 1);
    FAIL();
  } catch (const EXDSDatabaseError& e) {
    EXPECT_EQ(e.ErrorCode(), 6004);
    EXPECT_EQ(e.Message(), "The table is damaged");
  }
  EXPECT_FALSE(XdsErrorGuardSet());
}

TEST(XdsErrors, DamagedTableFailsToOpenAndIsNotWritten) {
  TempDir dir;
  CreateTable(dir.str(), "BAD.DBF", {{"NAME", 'C', 20, 0}});
  std::string bytes = ReadBytes(dir / "BAD.DBF");
  bytes[4] = '\x7f';  // a record count far beyond the file
  WriteBytes(dir / "BAD.DBF", bytes);
  auto c = Connect(dir.str());
  auto t = Table(*c, "HDSBad", "BAD.DBF");
  EXDSDatabaseError e = OpenFails(*t);
  EXPECT_EQ(e.ErrorCode(), XDS_ERR_CORRUPT);
  EXPECT_EQ(e.Message().rfind("HDSBad: ", 0), 0u);
  EXPECT_EQ(ReadBytes(dir / "BAD.DBF"), bytes);
}

TEST(XdsErrors, TableLockedByAnotherProcessIsRefused) {
  TempDir dir;
  CreateTable(dir.str(), "TEM.dbf", {{"INID", 'N', 10, 0}});
  int ready[2];
  int done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    XDSHANDLE cc = 0;
    XDSHANDLE h = 0;
    char ok = XdsConnect60(dir.str().c_str(), XDS_SERVER_LOCAL, "", "", 0, &cc) == 0 &&
                      XdsOpenTable(cc, "TEM.dbf", nullptr, 2, 1, 1, 1, 1, &h) == 0
                  ? 'y'
                  : 'n';
    (void)!write(ready[1], &ok, 1);
    char c;
    (void)!read(done[0], &c, 1);
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(ready[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');
  std::string before = ReadBytes(dir / "TEM.dbf");
  {
    auto c = Connect(dir.str());
    auto t = Table(*c, "HDSTem", "TEM.dbf");
    EXDSDatabaseError e = OpenFails(*t);
    EXPECT_EQ(e.ErrorCode(), XDS_ERR_LOCKED);
    EXPECT_EQ(e.Message(), "HDSTem: " + LastError().second);
  }
  (void)!write(done[1], "x", 1);
  int status = 0;
  waitpid(child, &status, 0);
  EXPECT_EQ(ReadBytes(dir / "TEM.dbf"), before);
}

TEST(XdsErrors, ReadOnlyFileOpensForReadingAndStaysUnchanged) {
  TempDir dir;
  XDS_REQUIRE_FIXTURES("catalogue", dir);
  std::vector<std::string> names = {"urls.DBF", "urls.cdx", "urls.fpt"};
  std::vector<std::string> before;
  for (const std::string& n : names) {
    chmod((dir / n).c_str(), 0444);
    before.push_back(ReadBytes(dir / n));
  }
  auto c = Connect(dir.str());
  auto t = Table(*c, "HDSUrls", "urls.DBF");
  t->XdsTableOptions().SetXdsCharType(OEM);
  if (geteuid() != 0) {
    // Asked for writing, the system refuses the file.
    EXDSDatabaseError e = OpenFails(*t);
    EXPECT_NE(e.ErrorCode(), 0);
  }
  t->SetReadOnly(true);
  t->Open();
  EXPECT_FALSE(t->CanModify());
  int n = 0;
  for (; !t->Eof(); t->Next()) {
    ++n;
  }
  EXPECT_EQ(n, 9);
  t->Close();
  for (size_t i = 0; i < names.size(); ++i) {
    EXPECT_EQ(ReadBytes(dir / names[i]), before[i]) << names[i];
  }
}
