// The table component's properties, opening, definitions and closing.

#include "xds/xdstable.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "xds_internal.h"

namespace {

std::mutex& TablesLock() {
  static std::mutex lock;
  return lock;
}
std::vector<TXdsTable*>& Tables() {
  static std::vector<TXdsTable*> list;
  return list;
}

bool HasSlash(const std::string& text) { return text.find_first_of("/\\") != std::string::npos; }

TXdsTableTypes AliasTableType(int type) {
  return type == 1 ? ttXdsNTX : type == 2 ? ttXdsCDX : ttXdsXDT;
}

constexpr uint16_t kFieldNameSize = 128;
constexpr uint16_t kIndexNameSize = 260;

// Field type and size of an engine field; ftUnknown leaves it out.
TFieldType MapFieldType(const TXCEFieldDef& def, int& size) {
  size = 0;
  switch (def.type) {
    case 1:
      return ftBoolean;
    case 2:
      return def.decimals != 0 || def.length >= 5 ? ftFloat : ftSmallint;
    case 3:
    case 9:
      return ftDate;
    case 4:
      size = def.length;
      return ftString;
    case 5:
    case 8:
      size = 1;
      return ftMemo;
    case 6:
    case 7:
      size = 1;
      return ftBlob;
    case 10:
      return ftFloat;
    case 11:
      return ftInteger;
    case 12:
      return ftSmallint;
    case 13:
      return ftTime;
    case 14:
      return ftDateTime;
    case 15:
      return ftAutoInc;
    case 16:
      size = def.length;
      return ftBytes;
    case 17:
      return ftCurrency;
    default:
      return ftUnknown;
  }
}

// Connections made for tables that name a directory instead of a
// connection component, one per directory, for the life of the process.
TXdsConnection& DirectoryConnection(const std::string& directory) {
  static std::mutex lock;
  static std::map<std::string, std::unique_ptr<TXdsConnection>> connections;
  std::lock_guard<std::mutex> guard(lock);
  auto& c = connections[directory];
  if (!c) {
    c = std::make_unique<TXdsConnection>();
    c->XdsServerTypes = stXDS_LOCAL;
    c->SetConnectPath(directory);
  }
  return *c;
}

}  // namespace

// --- TXdsTable ----------------------------------------------------------------

TXdsTable::TXdsTable() {
  std::lock_guard<std::mutex> lock(TablesLock());
  Tables().push_back(this);
}

TXdsTable::~TXdsTable() {
  CloseWithoutEvents();
  std::lock_guard<std::mutex> lock(TablesLock());
  auto& list = Tables();
  list.erase(std::remove(list.begin(), list.end(), this), list.end());
}

std::vector<TXdsTable*> TXdsTable::AllTables() {
  std::lock_guard<std::mutex> lock(TablesLock());
  return Tables();
}

int32_t TXdsTable::LastAutoIncValue() {
  // The engine reads autoincrement fields but does not hand out values.
  RaiseXceError(this, XDS_ERR_NOT_SUPPORTED, "The engine keeps no automatic increment value");
}

XDSHANDLE TXdsTable::OpenEngineTable() {
  if (tableName_.empty()) {
    XdsDatabaseError(this, xdsmsg::kMissingTableName);
  }
  uint32_t options = (exclusive_ ? XDS_OPEN_EXCLUSIVE : 0) | (readOnly_ ? XDS_OPEN_READONLY : 0);
  if (connection_ != nullptr && connection_->ReadOnly) {
    // A bit, not a sum: a table already read-only must stay so.
    options |= XDS_OPEN_READONLY;
    if (!Designing) {
      readOnly_ = true;
    }
  }
  if (collationMismatch_ == icmIgnore) {
    options += XDS_OPEN_IGNORE_COLLATION_MISMATCH;
  } else if (collationMismatch_ == icmReindex) {
    options += XDS_OPEN_REINDEX_ON_COLLATION_MISMATCH;
  }
  uint16_t lockType = options_.XdsLockType() == Proprietary ? XDS_LOCK_PROPRIETARY
                                                            : XDS_LOCK_COMPATIBLE;
  uint16_t charType = options_.XdsCharType() == ANSI ? XDS_CHAR_ANSI : XDS_CHAR_OEM;
  uint16_t rights = options_.XdsRightsCheck() ? XDS_RIGHTS_CHECK : XDS_RIGHTS_IGNORE;
  std::string directory = TableDirectory();
  if (directory.empty()) {
    XdsDatabaseError(this, xdsmsg::kNoDatabase);
  }
  auto pathOf = [&]() {
    bool dictionary = connection_ != nullptr && connection_->IsDictionaryConnection();
    return dictionary ? tableName_ : TableDirectory() + "\\" + tableName_;
  };
  std::string path = pathOf();
  TXdsConnection* connection = connection_;
  if (connection != nullptr && !connection->IsConnected()) {
    connection->SetIsConnected(true);
    path = pathOf();
  } else if (connection == nullptr) {
    connection = &DirectoryConnection(directory);
    if (!connection->IsConnected()) {
      connection->SetIsConnected(true);
    }
  }
  XDSHANDLE handle = connection->ConnectionHandle();
  if (handle == 0) {
    XdsDatabaseError(this, xdsmsg::kInvalidConnectionHandle);
  }
  const bool dictionary = connection->IsDictionaryConnection();
  XDSHANDLE table = 0;
  XDSRESULT r =
      Xce().XdsOpenTable(handle, path.c_str(), nullptr,
                         static_cast<uint16_t>(dictionary ? 0 : engineTableType_), charType,
                         lockType, rights, options, &table);
  if (r == XDS_ERR_NOT_FOUND && dictionary) {
    std::string retry = directory + "\\" + tableName_;
    r = Xce().XdsOpenTable(handle, retry.c_str(), nullptr,
                           static_cast<uint16_t>(engineTableType_), charType, lockType, rights,
                           options, &table);
  }
  CheckXceResult(this, r);
  try {
    if (dictionary) {
      uint16_t type = 0;
      CheckXceResult(this, Xce().XdsGetTableType(table, &type));
      SetTableTypeValue(type == 2 ? ttXdsCDX : type == 1 ? ttXdsNTX : ttXdsXDT);
    }
    for (const std::string& name : indexFiles_.Names()) {
      std::string indexPath = directory + "\\" + name;
      CheckXceResult(this, Xce().XdsOpenIndex(table, indexPath.c_str()));
    }
  } catch (...) {
    (void)Xce().XdsCloseTable(table);
    throw;
  }
  return table;
}

// --- Properties ---------------------------------------------------------------

void TXdsDataSet::SetTableTypeValue(TXdsTableTypes type) {
  tableType_ = type;
  engineTableType_ = ::EngineTableType(type);
}

void TXdsDataSet::CheckClosedForOpenCall() const {
  if (Active()) {
    XdsDatabaseError(this, dbmsg::kDataSetOpen);
  }
}

void TXdsDataSet::SetTableName(const std::string& name) {
  CheckClosedForOpenCall();
  bool changed = name != tableName_;
  tableName_ = name;
  if (changed && !loading_) {
    indexFiles_.Clear();
  }
  IndexDefsOutOfDate();
}

void TXdsDataSet::SetTableType(TXdsTableTypes type) {
  CheckClosedForOpenCall();
  if (!databaseName_.empty() && !HasSlash(databaseName_)) {
    TXdsAlias alias = ReadXdsAlias(databaseName_);
    if (alias.found && AliasTableType(alias.tableType) != type) {
      XdsDatabaseError(this, xdsmsg::kTableTypeAlias);
    }
  }
  if (connection_ != nullptr && connection_->AliasTableType() != 0 &&
      AliasTableType(connection_->AliasTableType()) != type) {
    XdsDatabaseError(this, xdsmsg::kTableTypeAlias);
  }
  SetTableTypeValue(type);
}

void TXdsDataSet::SetIndexCollationMismatch(TIndexCollationMismatchOptions value) {
  CheckClosedForOpenCall();
  collationMismatch_ = value;
}

void TXdsDataSet::SetExclusive(bool value) {
  if (Designing && Active()) {
    Close();
  }
  CheckInactive();
  exclusive_ = value;
}

void TXdsDataSet::SetReadOnly(bool value) {
  if (Designing && Active()) {
    Close();
  }
  CheckInactive();
  readOnly_ = value;
}

void TXdsDataSet::SetXdsConnection(TXdsConnection* connection) {
  if (Active()) {
    XdsDatabaseError(this, xdsmsg::kTableMustNotBeActive);
  }
  if (connection_ != nullptr) {
    connection_->UnregisterDataSet(this);
  }
  connection_ = connection;
  if (connection_ != nullptr) {
    connection_->RegisterDataSet(this);
  }
  (void)TableDirectory();
}

void TXdsDataSet::SetDatabaseName(const std::string& name) {
  CheckClosedForOpenCall();
  databaseName_ = name;
  aliasPath_.clear();
  if (name.empty()) {
    (void)TableDirectory();
    return;
  }
  std::vector<TXdsConnection*> all = TXdsConnection::AllConnections();
  const auto here = std::this_thread::get_id();
  auto named = [&](const TXdsConnection* c) { return xds::SameText(c->Name(), name); };
  auto sameOwner = [&](const TXdsConnection* c) { return c->OwnerName() == ownerName_; };
  auto thisThread = [&](const TXdsConnection* c) { return c->CreatorThread() == here; };
  const std::function<bool(const TXdsConnection*)> rules[] = {
      [&](const TXdsConnection* c) { return named(c) && sameOwner(c) && thisThread(c); },
      [&](const TXdsConnection* c) { return named(c) && thisThread(c); },
      [&](const TXdsConnection* c) { return named(c) && sameOwner(c); },
      [&](const TXdsConnection* c) {
        return named(c) ||
               (!c->OwnerName().empty() && xds::SameText(c->OwnerName() + "." + c->Name(), name));
      },
  };
  for (const auto& rule : rules) {
    auto found = std::find_if(all.begin(), all.end(), rule);
    if (found != all.end()) {
      SetXdsConnection(*found);
      return;
    }
  }
  if (!HasSlash(name)) {
    TXdsAlias alias = ReadXdsAlias(name);
    if (alias.found) {
      aliasPath_ = alias.path;
      SetTableTypeValue(AliasTableType(alias.tableType));
    }
  }
}

std::string TXdsDataSet::TableDirectory() {
  std::string directory;
  auto namesConnection = [&]() {
    return connection_ != nullptr &&
           (databaseName_.empty() || xds::SameText(databaseName_, connection_->Name()) ||
            (!connection_->OwnerName().empty() &&
             xds::SameText(databaseName_, connection_->OwnerName() + "." + connection_->Name())));
  };
  if (!aliasPath_.empty()) {
    directory = aliasPath_;
  } else if (namesConnection()) {
    directory = connection_->TableDirectory();
    if (connection_->AliasTableType() != 0) {
      SetTableTypeValue(AliasTableType(connection_->AliasTableType()));
    }
  } else if (HasSlash(databaseName_)) {
    directory = databaseName_;
  } else if (!databaseName_.empty()) {
    TXdsAlias alias = ReadXdsAlias(databaseName_);
    if (alias.found) {
      aliasPath_ = alias.path;
      directory = alias.path;
      SetTableTypeValue(AliasTableType(alias.tableType));
    } else {
      directory = databaseName_;
    }
  }
  if (directory.size() > 1 && (directory.back() == '/' || directory.back() == '\\')) {
    directory.pop_back();
  }
  return directory;
}

std::string TXdsDataSet::Version() const {
  uint16_t major = 0;
  uint16_t minor = 0;
  char letter = ' ';
  CheckXceResult(this, Xce().XdsGetVersion(&major, &minor, &letter));
  char text[64];
  std::snprintf(text, sizeof text, "6.2 (XCE %u.%02u", major, minor);
  std::string version = text;
  if (letter != ' ' && letter != '\0') {
    version += letter;
  }
  return version + ")";
}

void TXdsDataSet::LoadActive(bool value) {
  if (loading_) {
    streamedActive_ = value;
  } else {
    SetActive(value);
  }
}

void TXdsDataSet::Loaded() {
  loading_ = false;
  if (streamedActive_ && StoreActive) {
    streamedActive_ = false;
    SetActive(true);
  }
}

// --- Definitions ----------------------------------------------------------------

namespace {
// The open table's handle, or the table opened for the purpose and closed
// when the reader goes.
class TDefinitionReader {
 public:
  TDefinitionReader(XDSHANDLE open, const std::function<XDSHANDLE()>& opener)
      : handle_(open), owned_(open == kNoXdsHandle) {
    if (owned_) {
      handle_ = opener();
    }
  }
  ~TDefinitionReader() {
    if (owned_) {
      (void)Xce().XdsCloseTable(handle_);
    }
  }
  XDSHANDLE Handle() const { return handle_; }

 private:
  XDSHANDLE handle_;
  bool owned_;
};
}  // namespace

void TXdsDataSet::UpdateFieldDefs() {
  TDefinitionReader reader(tableHandle_, [this] { return OpenEngineTable(); });
  XDSHANDLE t = reader.Handle();
  FieldDefs().Clear();
  xceFields_.Clear();
  oemStringFields_.clear();
  uint16_t count = 0;
  CheckXceResult(this, Xce().XdsGetNumFields(t, &count));
  for (uint16_t n = 1; n <= count; ++n) {
    TXCEFieldDef def;
    def.number = n;
    CheckXceResult(this, Xce().XdsGetFieldType(t, n, &def.type));
    CheckXceResult(this, Xce().XdsGetFieldLength(t, n, &def.length));
    char name[kFieldNameSize + 1] = {};
    uint16_t nameLength = kFieldNameSize;
    CheckXceResult(this, Xce().XdsGetFieldName(t, n, name, &nameLength));
    def.name.assign(name, std::min<size_t>(nameLength, kFieldNameSize));
    if (def.type == XDS_TYPE_NUMERIC) {
      CheckXceResult(this, Xce().XdsGetFieldDecimals(t, n, &def.decimals));
    }
    int size = 0;
    TFieldType type = MapFieldType(def, size);
    if (type == ftUnknown) {
      continue;
    }
    CheckXceResult(this, Xce().XdsGetFieldOffset(t, n, &def.offset));
    CheckXceResult(this, Xce().XdsGetColumnPermissions(t, n, &def.permissions));
    if (def.type != XDS_TYPE_NUMERIC) {
      (void)Xce().XdsGetFieldDecimals(t, n, &def.decimals);
    }
    FieldDefs().Add(def.name, type, size, false, n);
    if (def.type == XDS_TYPE_STRING) {
      oemStringFields_.push_back(n);
    }
    xceFields_.Add(std::move(def));
  }
  // The definitions were rewritten: a declaration keeps them from now on.
  StoreDefs = true;
}

void TXdsDataSet::UpdateIndexDefs() {
  TDefinitionReader reader(tableHandle_, [this] { return OpenEngineTable(); });
  XDSHANDLE t = reader.Handle();
  IndexDefs().Clear();
  XDSHANDLE indexes[kMaxXdsIndexes];
  uint16_t count = kMaxXdsIndexes;
  CheckXceResult(this, Xce().XdsGetAllIndexes(t, &count, indexes));
  for (uint16_t i = 0; i < std::min<uint16_t>(count, kMaxXdsIndexes); ++i) {
    XDSHANDLE index = indexes[i];
    char name[kIndexNameSize + 1] = {};
    uint16_t nameLength = kIndexNameSize;
    CheckXceResult(this, Xce().XdsGetIndexName(index, name, &nameLength));
    uint16_t segments = 0;
    CheckXceResult(this, Xce().XdsGetNumSegments(index, &segments));
    std::string fields;
    for (uint16_t s = 1; s <= segments; ++s) {
      char segment[kFieldNameSize + 1] = {};
      uint16_t segmentLength = kFieldNameSize;
      CheckXceResult(this, Xce().XdsGetSegmentFieldname(index, s, segment, &segmentLength));
      if (!fields.empty()) {
        fields += ';';
      }
      fields.append(segment, std::min<size_t>(segmentLength, kFieldNameSize));
    }
    uint16_t descending = 0;
    uint16_t unique = 0;
    CheckXceResult(this, Xce().XdsIsIndexDescending(index, &descending));
    CheckXceResult(this, Xce().XdsIsIndexUnique(index, &unique));
    TIndexOptions options = (descending == 1 ? ixDescending : 0) | (unique == 1 ? ixUnique : 0);
    IndexDefs().Add(std::string(name, std::min<size_t>(nameLength, kIndexNameSize)),
                    xds::UpperCase(fields), options);
  }
  indexDefsUpToDate_ = true;
  StoreDefs = true;
}

// --- Opening and closing ---------------------------------------------------------

void TXdsDataSet::InternalOpen() {
  if (tableHandle_ != kNoXdsHandle) {
    XdsDatabaseError(this, xdsmsg::kTableAlreadyOpen);
  }
  tableHandle_ = OpenEngineTable();
  orderHandle_ = tableHandle_;
  try {
    uint32_t length = 0;
    CheckXceResult(this, Xce().XdsGetRecordLength(tableHandle_, &length));
    recordSize_ = static_cast<int>(length);
    blankRecord_.clear();
    CheckXceResult(this, Xce().XdsGetTableOpenOptions(tableHandle_, &openOptions_));
    modifiable_ = (openOptions_ & XDS_OPEN_READONLY) == 0;
    if (options_.XdsRecordCache() == rcNone) {
      CheckXceResult(this, Xce().XdsCacheRecords(tableHandle_, 0));
    } else if (options_.XdsRecordCache() == rcAggressive) {
      CheckXceResult(this, Xce().XdsCacheRecords(tableHandle_, 100));
    }
    options_.XdsIndexPageSize = 512;
    XDSHANDLE first = 0;
    uint16_t one = 1;
    uint16_t pageSize = 0;
    if (Xce().XdsGetAllIndexes(tableHandle_, &one, &first) == 0 && one >= 1 &&
        Xce().XdsGetIndexPageSize(first, &pageSize) == 0) {
      options_.XdsIndexPageSize = pageSize;
    }
    UpdateFieldDefs();
    CreateAndBindFields();
    UpdateIndexDefs();
    for (TXdsKeyBuffer& key : keyBuffers_) {
      ResetKeyBuffer(key);
    }
    ApplyIndexOrder();
    ComputeLayout();
    if (scoped_) {
      ActivateScope();
    }
    if (Filtered()) {
      ActivateFilter();
    }
    if (MasterSource != nullptr) {
      (void)ApplyMasterRangeBuffers();
      masterLink_ = std::make_unique<TXdsMasterLink>(*this);
      masterLink_->SetDataSource(MasterSource);
    }
    InternalFirst();
  } catch (...) {
    masterLink_.reset();
    CloseEngineTable();
    throw;
  }
}

void TXdsDataSet::CloseEngineTable() noexcept {
  if (tableHandle_ != kNoXdsHandle) {
    XDSRESULT r = Xce().XdsCloseTable(tableHandle_);
    try {
      CheckXceResult(this, r);
    } catch (...) {
      // Closing goes on: the handle is gone either way.
    }
  }
  tableHandle_ = kNoXdsHandle;
  orderHandle_ = kNoXdsHandle;
  modifiable_ = false;
}

void TXdsDataSet::InternalClose() {
  masterLink_.reset();
  for (TXdsKeyBuffer& key : keyBuffers_) {
    key = TXdsKeyBuffer{};
  }
  oldRecord_.clear();
  oldRecord_.shrink_to_fit();
  CloseEngineTable();
}
