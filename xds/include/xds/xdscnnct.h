// TXdsConnection: one engine connection to a directory of tables, and the
// list of table components that open their tables on it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "xce.h"

class TXdsDataSet;

// Each value is what the connect call adds to its server types.
enum TXdsServerType : unsigned { stXDS_LOCAL = 1, stXDS_REMOTE = 2, stXDS_XIS = 4 };
// A set of TXdsServerType values.
using TXdsServerTypes = unsigned;

// Reads an alias of section "Databases" of "xds.ini" (the program's folder
// when the file is there, else "xds.ini" as a plain path). Found: the path
// without its ";N", ";C" or ";X" suffix and the table type the suffix names
// (1 NTX, 2 CDX, 3 XDT, 0 none).
struct TXdsAlias {
  bool found = false;
  std::string path;
  int tableType = 0;
};
TXdsAlias ReadXdsAlias(const std::string& aliasName);
// The "xds.ini" that alias look-ups read.
std::string XdsIniFileName();

class TXdsConnection {
 public:
  using TNotifyEvent = std::function<void(TXdsConnection&)>;
  using TXdsDatabaseLoginEvent =
      std::function<void(TXdsConnection&, std::string& user, std::string& password)>;
  // The toolkit's database login dialog: false when cancelled.
  using TLoginDialog =
      std::function<bool(const std::string& databaseName, std::string& user,
                         std::string& password)>;

  // ownerName: Name of the component that owns this one ("" for none).
  explicit TXdsConnection(std::string ownerName = {});
  // Closes the registered datasets and disconnects (see the source for the
  // exact order); leaves the process-wide list. A failure on the way goes to
  // the application's exception report: a destructor must not throw.
  ~TXdsConnection();
  TXdsConnection(const TXdsConnection&) = delete;
  TXdsConnection& operator=(const TXdsConnection&) = delete;

  const std::string& Name() const { return name_; }
  // Renames; table components whose DatabaseName held the old name follow.
  void SetName(const std::string& name);
  const std::string& OwnerName() const { return ownerName_; }

  // --- Published properties --------------------------------------------------
  const std::string& AliasName() const { return aliasName_; }
  void SetAliasName(const std::string& name);
  bool IsConnected() const { return handle_ != 0; }
  void SetIsConnected(bool value);
  const std::string& ConnectPath() const { return connectPath_; }
  void SetConnectPath(const std::string& path);
  std::string ServerName() const;
  XDSHANDLE ConnectionHandle() const { return handle_; }
  TXdsServerTypes XdsServerTypes = 0;
  bool LoginPrompt = true;
  std::string Username;
  std::string Password;
  bool MiddleTierConnection = false;
  bool StoreConnected = true;
  bool StoredProcedureConnection = false;
  bool ReadOnly = false;

  TNotifyEvent AfterCommit, BeforeCommit, AfterRollback, BeforeRollback;
  TNotifyEvent OnConnect, OnDisconnect, AfterConnect, BeforeConnect;
  TNotifyEvent AfterDisconnect, BeforeDisconnect;
  TXdsDatabaseLoginEvent OnLogin;

  // --- Loading from a declaration ---------------------------------------------
  // Between BeginLoading and Loaded, SetIsConnected(true) only remembers the
  // wish; Loaded connects then. In the form designer (Designing) a failing
  // connect is reported through the application's exception report instead.
  void BeginLoading() { loading_ = true; }
  void Loaded();
  bool Loading() const { return loading_; }
  bool Designing = false;

  // --- Operations ---------------------------------------------------------------
  std::string ConnectionType() const;  // "Local", "Remote", "Internet" or ""
  bool TransactionActive() const;
  void BeginTransaction();
  void Commit();
  void Rollback();
  void FreeCachedStatements() {}
  bool IsDictionaryConnection() const { return dictionary_; }
  // The path tables are found under: ConnectPath, else the alias path.
  std::string ConnectionPath() const;
  // The directory of the tables: the connection path, or the folder of a
  // data dictionary file.
  std::string TableDirectory() const;
  int AliasTableType() const { return aliasTableType_; }
  // The "*.dbf" (or "*.xdt") files of the table directory, sorted.
  std::vector<std::string> ListTables(bool xdt = false) const;
  void ExecuteSQL(const std::string& sql);

  int RegisteredDataSetCount() const { return static_cast<int>(dataSets_.size()); }
  TXdsDataSet* RegisteredDataSet(int index) const { return dataSets_.at(static_cast<size_t>(index)); }
  void RegisterDataSet(TXdsDataSet* dataSet);
  void UnregisterDataSet(TXdsDataSet* dataSet);

  // Not published: 0 not set, 1 to 3 the connect option's compression.
  int Compression = 0;

  // The login dialog used when a dictionary connection prompts and OnLogin is
  // not assigned (installed by the user interface).
  static void SetLoginDialog(TLoginDialog dialog);

  // Every connection of the process (a copy of the list, taken under its lock).
  static std::vector<TXdsConnection*> AllConnections();
  std::thread::id CreatorThread() const { return creatorThread_; }

 private:
  void Connect();
  void Disconnect();
  void DoConnect(const std::string& path);
  void ApplyAlias(const TXdsAlias& alias);
  void Fire(const TNotifyEvent& event) {
    if (event) {
      event(*this);
    }
  }

  std::string name_;
  std::string ownerName_;
  std::string aliasName_;
  std::string connectPath_;
  XDSHANDLE handle_ = 0;
  bool aliasValid_ = true;
  bool streamedConnected_ = false;
  bool dictionary_ = false;
  std::string aliasPath_;
  int aliasTableType_ = 0;
  std::vector<TXdsDataSet*> dataSets_;  // not owned
  bool transactionActive_ = false;
  std::thread::id creatorThread_;
  bool loading_ = false;
};
