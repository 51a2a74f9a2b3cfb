// The connection component: connect and disconnect orders, refusals,
// declared connections, and the tables it closes.

#include <unistd.h>

#include "recording_engine.h"
#include "xds_test_util.h"

using namespace xdstest;

namespace {

// Runs the test body in dir as the current directory, where "xds.ini" is
// looked for when the program's folder has none.
class InDirectory {
 public:
  explicit InDirectory(const std::string& dir) : old_(fs::current_path()) {
    fs::current_path(dir);
  }
  ~InDirectory() { fs::current_path(old_); }

 private:
  fs::path old_;
};

std::vector<std::string> EventsOf(TXdsConnection& c, std::vector<std::string>& log) {
  auto add = [&log](TXdsConnection::TNotifyEvent& e, const char* name) {
    e = [&log, name](TXdsConnection&) { log.push_back(name); };
  };
  add(c.BeforeConnect, "BeforeConnect");
  add(c.AfterConnect, "AfterConnect");
  add(c.OnConnect, "OnConnect");
  add(c.BeforeDisconnect, "BeforeDisconnect");
  add(c.AfterDisconnect, "AfterDisconnect");
  add(c.OnDisconnect, "OnDisconnect");
  return log;
}

}  // namespace

TEST(XdsConnection, LocalConnectSendsServerType1AndNoCredentials) {
  TempDir dir;
  TXdsConnection c;
  c.SetName("XdsConnection1");
  c.XdsServerTypes = stXDS_LOCAL;
  c.LoginPrompt = false;
  c.Username = "user";
  c.Password = "secret";
  c.SetConnectPath(dir.str());
  std::vector<std::string> log;
  EventsOf(c, log);
  RecordingEngine rec;
  c.SetIsConnected(true);
  c.SetIsConnected(true);
  EXPECT_EQ(rec.Take({"XdsConnect60"}),
            (std::vector<std::string>{"XdsConnect60(\"" + dir.str() + "\", 1, \"\", \"\", 0, *)"}));
  EXPECT_EQ(log, (std::vector<std::string>{"BeforeConnect", "AfterConnect", "OnConnect"}));
  EXPECT_NE(c.ConnectionHandle(), 0u);
  EXPECT_EQ(c.ConnectionType(), "Local");
  log.clear();
  XDSHANDLE handle = c.ConnectionHandle();
  c.SetIsConnected(false);
  EXPECT_EQ(rec.Take({"XdsDisconnect"}),
            (std::vector<std::string>{"XdsDisconnect(" + std::to_string(handle) + ")"}));
  EXPECT_EQ(log,
            (std::vector<std::string>{"BeforeDisconnect", "AfterDisconnect", "OnDisconnect"}));
  EXPECT_EQ(c.ConnectionHandle(), 0u);
}

TEST(XdsConnection, ConnectOptionsAddUp) {
  TempDir dir;
  TXdsConnection c;
  c.XdsServerTypes = stXDS_LOCAL | stXDS_REMOTE;
  c.MiddleTierConnection = true;
  c.StoredProcedureConnection = true;
  c.Compression = 1;
  c.SetConnectPath(dir.str());
  RecordingEngine rec;
  rec.fail = [](const std::string&) { return std::optional<XDSRESULT>(6009); };
  EXPECT_THROW(c.SetIsConnected(true), EXDSDatabaseError);
  EXPECT_EQ(rec.Take({"XdsConnect60"}),
            (std::vector<std::string>{"XdsConnect60(\"" + dir.str() + "\", 3, \"\", \"\", 15, *)"}));
  EXPECT_FALSE(c.IsConnected());
}

TEST(XdsConnection, ConnectPathAndAliasAreFixedWhileConnected) {
  TempDir dir;
  TempDir other;
  InDirectory in(dir.str());
  WriteBytes(dir / "xds.ini", "[Databases]\nCATALOG=" + other.str() + ";c\n");
  TXdsConnection c;
  c.XdsServerTypes = stXDS_LOCAL;
  c.SetAliasName("CATALOG");
  EXPECT_EQ(c.AliasTableType(), 2);
  EXPECT_EQ(c.ConnectionPath(), other.str());
  c.SetConnectPath(dir.str());
  EXPECT_EQ(c.AliasName(), "");
  EXPECT_EQ(c.AliasTableType(), 0);
  c.SetIsConnected(true);
  try {
    c.SetConnectPath(other.str());
    FAIL() << "accepted";
  } catch (const XdsConnectionError& e) {
    EXPECT_STREQ(e.what(),
                 "The TXdsConnection.ConnectPath may not be changed when IsConnected is TRUE");
  }
  EXPECT_EQ(c.ConnectPath(), dir.str());
  EXPECT_THROW(c.SetAliasName("CATALOG"), XdsConnectionError);
  c.SetIsConnected(false);
  c.SetConnectPath(other.str());
  EXPECT_EQ(c.ConnectPath(), other.str());
}

TEST(XdsConnection, RefusalsCarryTheirMessages) {
  TempDir dir;
  InDirectory in(dir.str());
  TXdsConnection c;
  c.XdsServerTypes = stXDS_LOCAL;
  try {
    c.SetIsConnected(true);
    FAIL() << "connected without a path";
  } catch (const XdsConnectionError& e) {
    EXPECT_STREQ(e.what(), "Must specify connection string before getting a server connection.");
  }
  EXPECT_FALSE(c.IsConnected());
  c.SetAliasName("NOWHERE");
  try {
    c.SetIsConnected(true);
    FAIL() << "connected with an unknown alias";
  } catch (const XdsConnectionError& e) {
    EXPECT_STREQ(e.what(), "TXdsConnection.AliasName is not valid");
  }
  EXPECT_THROW(c.BeginTransaction(), XdsConnectionError);
  EXPECT_THROW((void)c.TransactionActive(), XdsConnectionError);
  try {
    (void)c.ServerName();
    FAIL();
  } catch (const XdsConnectionError& e) {
    EXPECT_STREQ(e.what(), "Must be connected to get the database server name.");
  }
  c.SetAliasName("");
  c.SetConnectPath(dir.str());
  c.SetIsConnected(true);
  // What a local engine cannot do fails, never silently.
  EXPECT_THROW(c.BeginTransaction(), EXDSDatabaseError);
  EXPECT_THROW(c.ExecuteSQL("select 1"), EXDSDatabaseError);
}

TEST(XdsConnection, EngineRefusalHasTheEnginesTextWithoutPrefix) {
  TempDir dir;
  TXdsConnection c;
  c.SetName("XdsConnection1");
  c.XdsServerTypes = 0;  // the engine insists on local
  c.SetConnectPath(dir.str());
  try {
    c.SetIsConnected(true);
    FAIL() << "connected";
  } catch (const EXDSDatabaseError& e) {
    int32_t code = 0;
    char text[600];
    uint16_t length = sizeof text;
    XdsGetLastError(&code, text, &length);
    EXPECT_EQ(e.ErrorCode(), code);
    EXPECT_NE(code, 0);
    EXPECT_EQ(e.Message(), std::string(text, length));
    EXPECT_EQ(e.DataSetName(), "");
    EXPECT_EQ(e.TableName(), "");
  }
}

TEST(XdsConnection, DisconnectClosesEveryTableEvenWhenOneFailsToClose) {
  TempDir dir;
  CreateTable(dir.str(), "A.DBF", {{"X", 'C', 5, 0}});
  auto c = CreateAndConnect(dir, "B.DBF", {{"X", 'C', 5, 0}});
  auto a = Table(*c, "HDSA", "A.DBF");
  auto b = Table(*c, "HDSB", "B.DBF");
  a->Open();
  b->Open();
  a->BeforeClose = [](TDataSet&) { throw EDatabaseError("refused"); };
  c->SetIsConnected(false);
  EXPECT_TRUE(a->Active());  // its own handler refused
  EXPECT_FALSE(b->Active());
  a->BeforeClose = nullptr;
  a->Close();
  // Opening again connects first.
  b->Open();
  EXPECT_TRUE(c->IsConnected());
  EXPECT_TRUE(b->Active());
}

TEST(XdsConnection, DeclaredConnectedStateConnectsWhenLoadingCompletes) {
  TempDir dir;
  TXdsConnection c;
  c.BeginLoading();
  c.XdsServerTypes = stXDS_LOCAL;
  c.SetConnectPath(dir.str());
  c.SetIsConnected(true);
  EXPECT_FALSE(c.IsConnected());
  c.Loaded();
  EXPECT_TRUE(c.IsConnected());

  TXdsConnection broken;
  broken.BeginLoading();
  broken.SetIsConnected(true);
  EXPECT_THROW(broken.Loaded(), XdsConnectionError);
  EXPECT_FALSE(broken.IsConnected());
}

TEST(XdsConnection, DestroyingClosesTablesAndFiresOnlyOnDisconnect) {
  TempDir dir;
  auto c = CreateAndConnect(dir, "A.DBF", {{"X", 'C', 5, 0}});
  auto a = Table(*c, "HDSA", "A.DBF");
  a->Open();
  std::vector<std::string> log;
  EventsOf(*c, log);
  c.reset();
  EXPECT_EQ(log, (std::vector<std::string>{"OnDisconnect"}));
  EXPECT_FALSE(a->Active());
  EXPECT_EQ(a->XdsConnection(), nullptr);
}

TEST(XdsConnection, RenamingCarriesTheTablesThatNameIt) {
  TempDir dir;
  auto c = Connect(dir.str());
  TXdsTable t;
  t.SetDatabaseName("XdsConnection1");
  EXPECT_EQ(t.XdsConnection(), c.get());
  TXdsTable qualified;
  qualified.SetDatabaseName("form1.xdsconnection1");
  EXPECT_EQ(qualified.XdsConnection(), c.get());
  c->SetIsConnected(false);
  c->SetName("Main");
  EXPECT_EQ(t.DatabaseName(), "Main");
  EXPECT_EQ(qualified.DatabaseName(), "Form1.Main");
}
