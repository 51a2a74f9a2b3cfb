#include "xds/xdscnnct.h"

#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <mutex>

#include "current_dir.h"
#include "profile.h"
#include "xds/xce_calls.h"
#include "xds/xdsdata.h"
#include "xds/xdserror.h"
#include "xds/xdstable.h"
#include "xds_internal.h"

namespace {

std::mutex& ConnectionsLock() {
  static std::mutex lock;
  return lock;
}
std::vector<TXdsConnection*>& Connections() {
  static std::vector<TXdsConnection*> list;
  return list;
}

TXdsConnection::TLoginDialog& LoginDialog() {
  static TXdsConnection::TLoginDialog dialog;
  return dialog;
}

constexpr size_t kMaxPath = 254;
constexpr size_t kMaxCredential = 260;

// A path names a data dictionary when it holds ".XDD" in any case.
bool IsDictionaryPath(const std::string& path) {
  return xds::UpperCase(path).find(".XDD") != std::string::npos;
}

}  // namespace

std::string XdsIniFileName() {
  std::string dir = platform::ExecutableDirectory();
  if (!dir.empty()) {
    std::string inProgramDir = dir + "xds.ini";
    std::error_code ec;
    if (std::filesystem::exists(inProgramDir, ec)) {
      return inProgramDir;
    }
  }
  return "xds.ini";
}

TXdsAlias ReadXdsAlias(const std::string& aliasName) {
  TXdsAlias alias;
  // A value no entry can hold tells a missing entry from an empty one.
  const char kMissing[] = "\x01";
  std::string value =
      platform::GetPrivateProfileString("Databases", aliasName, kMissing, XdsIniFileName());
  if (value == kMissing) {
    return alias;
  }
  alias.found = true;
  size_t semi = value.find(';');
  alias.path = value.substr(0, semi);
  if (semi != std::string::npos && semi + 1 < value.size()) {
    switch (value[semi + 1]) {
      case 'N':
      case 'n':
        alias.tableType = 1;
        break;
      case 'C':
      case 'c':
        alias.tableType = 2;
        break;
      case 'X':
      case 'x':
        alias.tableType = 3;
        break;
      default:
        break;
    }
  }
  return alias;
}

TXdsConnection::TXdsConnection(std::string ownerName)
    : ownerName_(std::move(ownerName)), creatorThread_(std::this_thread::get_id()) {
  std::lock_guard<std::mutex> lock(ConnectionsLock());
  Connections().push_back(this);
}

TXdsConnection::~TXdsConnection() {
  std::vector<TXdsDataSet*> dataSets = dataSets_;
  dataSets_.clear();
  try {
    if (handle_ != 0) {
      for (TXdsDataSet* ds : dataSets) {
        ds->connection_ = nullptr;
        try {
          ds->Close();
          ds->FreeStatement();
        } catch (...) {
          HandleApplicationException(std::current_exception());
        }
      }
      XDSRESULT r = Xce().XdsDisconnect(handle_);
      handle_ = 0;
      if (r != 0 && r != XDS_ERR_DISCONNECT) {
        throw XdsError::FromLastError();
      }
      Fire(OnDisconnect);
    } else {
      for (TXdsDataSet* ds : dataSets) {
        ds->connection_ = nullptr;
      }
    }
  } catch (...) {
    // Thrown out of a destructor it would end the program.
    HandleApplicationException(std::current_exception());
  }
  std::lock_guard<std::mutex> lock(ConnectionsLock());
  auto& list = Connections();
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

std::vector<TXdsConnection*> TXdsConnection::AllConnections() {
  std::lock_guard<std::mutex> lock(ConnectionsLock());
  return Connections();
}

void TXdsConnection::SetLoginDialog(TLoginDialog dialog) { LoginDialog() = std::move(dialog); }

void TXdsConnection::SetName(const std::string& name) {
  std::string old = name_;
  name_ = name;
  if (old.empty() || old == name) {
    return;
  }
  for (TXdsTable* table : TXdsTable::AllTables()) {
    const std::string& db = table->DatabaseName();
    if (xds::SameText(db, old)) {
      table->databaseName_ = name;
    } else if (!ownerName_.empty() && xds::SameText(db, ownerName_ + "." + old)) {
      table->databaseName_ = ownerName_ + "." + name;
    }
  }
}

void TXdsConnection::SetConnectPath(const std::string& path) {
  if (IsConnected()) {
    throw XdsConnectionError(xdsmsg::kConnectPathConnected);
  }
  connectPath_ = path;
  dictionary_ = IsDictionaryPath(path);
  aliasName_.clear();
  aliasPath_.clear();
  aliasTableType_ = 0;
}

void TXdsConnection::ApplyAlias(const TXdsAlias& alias) {
  connectPath_.clear();
  aliasPath_ = alias.path;
  aliasTableType_ = alias.tableType;
  dictionary_ = IsDictionaryPath(alias.path);
  if (alias.tableType == 0) {
    return;
  }
  TXdsTableTypes type = alias.tableType == 1 ? ttXdsNTX : alias.tableType == 2 ? ttXdsCDX : ttXdsXDT;
  for (TXdsDataSet* ds : dataSets_) {
    if (ds->OwnerName() == ownerName_ &&
        (ds->DatabaseName().empty() || xds::SameText(ds->DatabaseName(), name_))) {
      ds->tableType_ = type;
      ds->engineTableType_ = EngineTableType(type);
    }
  }
}

void TXdsConnection::SetAliasName(const std::string& name) {
  if (IsConnected()) {
    throw XdsConnectionError(xdsmsg::kAliasNameConnected);
  }
  aliasName_ = name;
  if (name.empty()) {
    aliasPath_.clear();
    aliasTableType_ = 0;
    aliasValid_ = true;
    return;
  }
  TXdsAlias alias = ReadXdsAlias(name);
  if (alias.found) {
    aliasValid_ = true;
    ApplyAlias(alias);
  } else {
    aliasValid_ = false;
  }
}

void TXdsConnection::SetIsConnected(bool value) {
  if (value == IsConnected()) {
    return;
  }
  if (loading_) {
    streamedConnected_ = value;
    return;
  }
  if (value) {
    Connect();
  } else {
    Disconnect();
  }
}

void TXdsConnection::Loaded() {
  loading_ = false;
  if (!streamedConnected_ || IsConnected()) {
    return;
  }
  try {
    Connect();
  } catch (...) {
    if (!Designing) {
      throw;
    }
    HandleApplicationException(std::current_exception());
  }
}

std::string TXdsConnection::ConnectionPath() const {
  return !connectPath_.empty() ? connectPath_ : aliasPath_;
}

std::string TXdsConnection::TableDirectory() const {
  std::string path = ConnectionPath();
  size_t n = path.size();
  if (n > 4 && path[n - 4] == '.' && xds::UpperCase(path.substr(n - 3)) == "XDD") {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) {
      slash = path.rfind('\\');
    }
    return slash == std::string::npos ? std::string(".\\") : path.substr(0, slash);
  }
  return path;
}

void TXdsConnection::Connect() {
  Fire(BeforeConnect);
  if (!aliasValid_) {
    SetAliasName(aliasName_);
    if (!aliasValid_) {
      throw XdsConnectionError(xdsmsg::kAliasNotValid);
    }
  }
  std::string path = ConnectionPath();
  if (path.empty()) {
    throw XdsConnectionError(xdsmsg::kNoConnectPath);
  }
  DoConnect(path.substr(0, kMaxPath));
  if (dictionary_) {
    // A local engine has no data dictionaries, so there is no default index
    // to read for the registered datasets.
  }
  Fire(AfterConnect);
  Fire(OnConnect);
}

void TXdsConnection::DoConnect(const std::string& path) {
  std::string user;
  std::string password;
  if (dictionary_) {
    if (LoginPrompt) {
      std::string u;
      std::string p;
      if (OnLogin) {
        OnLogin(*this, u, p);
      } else {
        u = Username;
        if (!LoginDialog() || !LoginDialog()(name_, u, p)) {
          throw EDatabaseError("Cannot connect to database '" + name_ + "'");
        }
      }
      Username = u;
      Password = p;
    }
    user = Username.substr(0, kMaxCredential);
    password = Password.substr(0, kMaxCredential);
  }
  uint16_t serverTypes = static_cast<uint16_t>(XdsServerTypes & (stXDS_LOCAL | stXDS_REMOTE | stXDS_XIS));
  uint32_t options = 0;
  if (MiddleTierConnection) {
    options += 1;
  }
  if (StoredProcedureConnection) {
    options += 2;
  }
  switch (Compression) {
    case 1:
      options += 0xC;
      break;
    case 2:
      options += 4;
      break;
    case 3:
      options += 8;
      break;
    default:
      break;
  }
  XDSHANDLE handle = 0;
  CheckXceResult(nullptr, Xce().XdsConnect60(path.c_str(), serverTypes, user.c_str(),
                                             password.c_str(), options, &handle));
  handle_ = handle;
}

void TXdsConnection::Disconnect() {
  Fire(BeforeDisconnect);
  std::vector<TXdsDataSet*> dataSets = dataSets_;
  for (TXdsDataSet* ds : dataSets) {
    try {
      ds->Close();
    } catch (...) {
      // Every table must go before the connection does.
    }
    ds->FreeStatement();
  }
  FreeCachedStatements();
  XDSRESULT r = Xce().XdsDisconnect(handle_);
  handle_ = 0;
  Fire(AfterDisconnect);
  Fire(OnDisconnect);
  if (r != 0) {
    throw XdsError::FromLastError();
  }
}

std::string TXdsConnection::ServerName() const {
  if (!IsConnected()) {
    if (Designing) {
      return {};
    }
    throw XdsConnectionError(xdsmsg::kServerNameNotConnected);
  }
  // A local engine serves the connection's own directory.
  return ConnectionPath();
}

std::string TXdsConnection::ConnectionType() const {
  if (!IsConnected()) {
    return {};
  }
  // The engine runs in this process on local files only.
  return "Local";
}

bool TXdsConnection::TransactionActive() const {
  if (!IsConnected()) {
    throw XdsConnectionError(xdsmsg::kNoServerConnection);
  }
  return transactionActive_;
}

namespace {
[[noreturn]] void NotSupportedLocally(const std::string& what) {
  Xce().XdsSetLastError(XDS_ERR_NOT_SUPPORTED,
                        (what + " is not supported by the local engine").c_str());
  CheckXceResult(nullptr, XDS_ERR_NOT_SUPPORTED);
  throw XdsError(what + " is not supported by the local engine");
}
}  // namespace

void TXdsConnection::BeginTransaction() {
  if (!IsConnected()) {
    throw XdsConnectionError(xdsmsg::kNoServerConnection);
  }
  NotSupportedLocally("Transactions");
}

void TXdsConnection::Commit() {
  if (!IsConnected()) {
    throw XdsConnectionError(xdsmsg::kNoServerConnection);
  }
  Fire(BeforeCommit);
  FreeCachedStatements();
  NotSupportedLocally("Transactions");
}

void TXdsConnection::Rollback() {
  if (!IsConnected()) {
    throw XdsConnectionError(xdsmsg::kNoServerConnection);
  }
  Fire(BeforeRollback);
  FreeCachedStatements();
  NotSupportedLocally("Transactions");
}

void TXdsConnection::ExecuteSQL(const std::string&) { NotSupportedLocally("SQL"); }

std::vector<std::string> TXdsConnection::ListTables(bool xdt) const {
  std::vector<std::string> names;
  std::error_code ec;
  std::string want = xdt ? ".XDT" : ".DBF";
  for (const auto& entry : std::filesystem::directory_iterator(TableDirectory(), ec)) {
    std::string name = entry.path().filename().string();
    if (name.size() > 4 && xds::UpperCase(name.substr(name.size() - 4)) == want) {
      names.push_back(name);
    }
  }
  std::sort(names.begin(), names.end());
  return names;
}

void TXdsConnection::RegisterDataSet(TXdsDataSet* dataSet) {
  if (std::find(dataSets_.begin(), dataSets_.end(), dataSet) == dataSets_.end()) {
    dataSets_.push_back(dataSet);
  }
}

void TXdsConnection::UnregisterDataSet(TXdsDataSet* dataSet) {
  dataSets_.erase(std::remove(dataSets_.begin(), dataSets_.end(), dataSet), dataSets_.end());
}
