// The C API edge: handles are looked up in the registry, Status values become
// result codes and the calling thread's last error. No exception crosses it.
#include <cstring>
#include <new>
#include <string>

#include "api_guard.h"
#include "cdx/table_index.h"
#include "codepage.h"
#include "handles.h"
#include "table.h"
#include "xce.h"

using xce::HandleKind;
using xce::Registry;
using xce::Status;
using xce::Table;
using xce::api::Guard;
using xce::api::NullArgument;

static_assert(XDS_ERR_INVALID_HANDLE == xce::kErrInvalidHandle && XDS_ERR_IO == xce::kErrIo &&
                  XDS_ERR_LOCKED == xce::kErrLocked && XDS_ERR_CORRUPT == xce::kErrCorrupt &&
                  XDS_ERR_BAD_ARGUMENT == xce::kErrBadArgument &&
                  XDS_ERR_READ_ONLY == xce::kErrReadOnly &&
                  XDS_ERR_INDEX_PROTECTED == xce::kErrIndexProtected &&
                  XDS_ERR_BUFFER_TOO_SMALL == xce::kErrBufferTooSmall &&
                  XDS_ERR_NOT_SUPPORTED == xce::kErrNotSupported &&
                  XDS_ERR_EXCLUSIVE_REQUIRED == xce::kErrExclusiveRequired &&
                  XDS_ERR_NUMERIC_OVERFLOW == xce::kErrNumericOverflow &&
                  XDS_ERR_BAD_FIELD == xce::kErrBadFieldNumber &&
                  XDS_ERR_EXISTS == xce::kErrAlreadyExists &&
                  XDS_ERR_FIELD_NOT_WRITABLE == xce::kErrFieldNotWritable &&
                  XDS_ERR_NO_CURRENT_RECORD == xce::kErrNoCurrentRecord &&
                  XDS_ERR_BAD_RECORD_NUMBER == xce::kErrBadRecordNumber &&
                  XDS_ERR_NOT_FOUND == xce::kErrTableNotFound &&
                  XDS_ERR_NO_FILTER == xce::kErrNoFilter && XDS_ERR_NO_SCOPE == xce::kErrNoScope &&
                  XDS_ERR_NO_KEY_POSITION == xce::kErrNoKeyPosition &&
                  XDS_ERR_NO_PERMISSION == xce::kErrNoPermission &&
                  XDS_ERR_STATIC_VIEW == xce::kErrStaticView,
              "the codes of xce.h and status.h agree");

namespace {

struct LastError {
  int32_t code = 0;
  std::string text;
};

LastError& ThreadError() {
  thread_local LastError error;
  return error;
}

// The table of a table or index handle. The pointer stays valid for the rest
// of the API call (see Registry::FindFast).
Status LookupTable(XDSHANDLE handle, Table** t) {
  *t = xce::TargetOfHandle(Registry::Get().FindFast(handle)).table;
  if (*t != nullptr) {
    return Status::Ok();
  }
  return Status(xce::kErrInvalidHandle, "Invalid table handle " + std::to_string(handle));
}

// A handle that moves: the table and the order it moves in.
struct Cursor {
  Table* table = nullptr;
  xce::Order* order = nullptr;
};

Status LookupCursor(XDSHANDLE handle, Cursor* c) {
  xce::HandleTarget target = xce::TargetOfHandle(Registry::Get().FindFast(handle));
  if (target.table != nullptr && target.order != nullptr) {
    c->table = target.table;
    c->order = target.order;
    return Status::Ok();
  }
  return Status(xce::kErrInvalidHandle, "Invalid table or index handle " + std::to_string(handle));
}

Status LookupConnection(XDSHANDLE handle, std::shared_ptr<xce::Connection>* c) {
  return Registry::Get().Lookup(handle, HandleKind::kConnection, c);
}

template <typename T>
Status Out(T* p, const char* what) {
  return p == nullptr ? NullArgument(what) : Status::Ok();
}

Status FieldOf(const Table& t, uint16_t field, const xce::FieldInfo** f) {
  return t.CheckField(field, f);
}

Status CloseTableHandle(XDSHANDLE handle, const std::shared_ptr<Table>& t) {
  Status s = t->Close();
  for (uint32_t dep : t->dependentHandles()) {
    Registry::Get().Remove(dep);
  }
  Registry::Get().Remove(handle);
  return s;
}

// Copies text with a NUL into a caller's buffer of *length bytes.
// `what` and `name` name the value in the error text; they are joined only
// when it is needed, since values are copied far more often than they fail.
Status CopyText(std::string_view text, void* buffer, uint32_t* length, std::string_view what,
                std::string_view name = {}) {
  if (buffer == nullptr || length == nullptr) {
    return NullArgument("buffer");
  }
  uint32_t room = *length;
  *length = static_cast<uint32_t>(text.size());
  if (room < text.size()) {
    return Status(xce::kErrBufferTooSmall, "A buffer of " + std::to_string(room) +
                                               " bytes cannot hold " + std::string(what) +
                                               std::string(name) + " (" +
                                               std::to_string(text.size()) + " bytes)");
  }
  if (!text.empty()) {
    std::memcpy(buffer, text.data(), text.size());
  }
  if (room > text.size()) {
    static_cast<char*>(buffer)[text.size()] = '\0';
  }
  return Status::Ok();
}

Status MemoCheck(Table& t, uint16_t field, uint32_t* length, uint32_t* type) {
  const xce::FieldInfo* f = nullptr;
  XCE_RETURN_IF_ERROR(FieldOf(t, field, &f));
  return t.MemoLength(field, length, type);
}

// The path of an existing table named relative to a connection.
Status ResolveExisting(const xce::Connection& c, const char* path, std::string* resolved) {
  bool found = false;
  XCE_RETURN_IF_ERROR(
      xce::ResolveTablePath(xce::FileSystem::Default(), c.dir, path, resolved, &found));
  if (!found) {
    return Status(xce::kErrTableNotFound, "Table " + *resolved + " does not exist");
  }
  return Status::Ok();
}

// 5068 unless the table is on a record (a record being appended counts
// unless `stored` asks for one that is in the file).
Status NeedRecord(const Table& t, bool stored = false) {
  if (!t.OnRecord() || (stored && t.AppendPending())) {
    return Status(xce::kErrNoCurrentRecord, "No current record in table " + t.path());
  }
  return Status::Ok();
}

Status NeedRecordBuffer(const Table& t, uint32_t length) {
  if (length < t.recordLength()) {
    return Status(xce::kErrBufferTooSmall, "A record of table " + t.path() + " needs " +
                                               std::to_string(t.recordLength()) + " bytes");
  }
  return Status::Ok();
}

// A query on a moving handle that fills one out value.
template <typename T, typename F>
XDSRESULT CursorQuery(XDSHANDLE handle, T* out, F&& value) {
  return Guard([&]() -> Status {
    Cursor c;
    XCE_RETURN_IF_ERROR(Out(out, "result"));
    XCE_RETURN_IF_ERROR(LookupCursor(handle, &c));
    *out = static_cast<T>(value(c));
    return Status::Ok();
  });
}

// A query on a table that fills one out value.
template <typename T, typename F>
XDSRESULT TableQuery(XDSHANDLE handle, T* out, F&& value) {
  return Guard([&]() -> Status {
    Table* t = nullptr;
    XCE_RETURN_IF_ERROR(Out(out, "result"));
    XCE_RETURN_IF_ERROR(LookupTable(handle, &t));
    *out = static_cast<T>(value(*t));
    return Status::Ok();
  });
}

// An operation on a table whose Status is the result.
template <typename F>
XDSRESULT TableAction(XDSHANDLE handle, F&& action) {
  return Guard([&]() -> Status {
    Table* t = nullptr;
    XCE_RETURN_IF_ERROR(LookupTable(handle, &t));
    return action(*t);
  });
}

}  // namespace

extern "C" {

// ---------------------------------------------------------------- connections

XDSRESULT XdsConnect60(const char* path, uint16_t serverTypes, const char* user,
                       const char* password, uint32_t options, XDSHANDLE* connection) {
  (void)user;
  (void)password;
  (void)options;
  return Guard([&]() -> Status {
    XCE_RETURN_IF_ERROR(Out(connection, "connection handle"));
    *connection = 0;
    if (path == nullptr || *path == '\0') {
      return NullArgument("directory");
    }
    if ((serverTypes & XDS_SERVER_LOCAL) == 0) {
      return Status(xce::kErrNotSupported, "Only local connections are supported (server type 1)");
    }
    std::string dir = path;
    std::replace(dir.begin(), dir.end(), '\\', '/');
    while (dir.size() > 1 && dir.back() == '/') {
      dir.pop_back();
    }
    std::vector<std::string> names;
    if (!xce::FileSystem::Default()->ListDir(dir, &names).ok()) {
      return Status(xce::kErrTableNotFound, "Directory " + dir + " does not exist");
    }
    auto c = std::make_shared<xce::Connection>();
    c->dir = dir;
    *connection = Registry::Get().Add(c);
    return *connection == 0 ? Status(xce::kErrIo, "Too many open handles") : Status::Ok();
  });
}

XDSRESULT XdsDisconnect(XDSHANDLE connection) {
  return Guard([&]() -> Status {
    std::shared_ptr<xce::Connection> c;
    if (!LookupConnection(connection, &c).ok()) {
      return Status(xce::kErrDisconnect,
                    "Handle " + std::to_string(connection) + " is no live connection");
    }
    Status first;
    for (uint32_t h : Registry::Get().Handles(HandleKind::kTable)) {
      std::shared_ptr<Table> t;
      if (Registry::Get().Lookup(h, HandleKind::kTable, &t).ok() && t->connection() == connection) {
        Status s = CloseTableHandle(h, t);
        if (first.ok()) {
          first = s;
        }
      }
    }
    Registry::Get().Remove(connection);
    return first;
  });
}

// ---------------------------------------------------------------- tables

XDSRESULT XdsOpenTable(XDSHANDLE connection, const char* path, const char* alias,
                       uint16_t tableType, uint16_t charType, uint16_t lockType, uint16_t rights,
                       uint32_t options, XDSHANDLE* table) {
  (void)alias;
  return Guard([&]() -> Status {
    XCE_RETURN_IF_ERROR(Out(table, "table handle"));
    *table = 0;
    std::shared_ptr<xce::Connection> c;
    XCE_RETURN_IF_ERROR(LookupConnection(connection, &c));
    if (path == nullptr || *path == '\0') {
      return NullArgument("table name");
    }
    if (tableType != 0 && tableType != XDS_TABLE_CDX) {
      return Status(xce::kErrNotSupported, std::string("Cannot open ") + path +
                                               ": only CDX tables (type 2) are supported");
    }
    if (charType > XDS_CHAR_OEM || lockType > 1 || rights > XDS_RIGHTS_IGNORE ||
        (options & ~0x703u) != 0 ||
        ((options & XDS_OPEN_DEFER_INDEX_WRITES) != 0 && (options & XDS_OPEN_EXCLUSIVE) == 0)) {
      return Status(xce::kErrBadArgument,
                    std::string("Cannot open ") + path +
                        ": invalid character type, lock type, rights or options");
    }
    std::string resolved;
    XCE_RETURN_IF_ERROR(ResolveExisting(*c, path, &resolved));
    xce::OpenOptions o;
    o.exclusive = (options & XDS_OPEN_EXCLUSIVE) != 0;
    o.readOnly = (options & XDS_OPEN_READONLY) != 0;
    o.oem = charType == XDS_CHAR_OEM;
    o.rawOptions = options;
    std::shared_ptr<Table> t;
    XCE_RETURN_IF_ERROR(Table::Open(xce::FileSystem::Default(), resolved, o, &t));
    std::shared_ptr<xce::cdx::TableIndexes> indexes;
    Status attached = xce::cdx::TableIndexes::Attach(t, options, &indexes);
    if (!attached.ok()) {
      (void)t->Close();  // the attach failure is the one to report
      return attached;
    }
    t->set_connection(connection);
    *table = Registry::Get().Add(t);
    return *table == 0 ? Status(xce::kErrIo, "Too many open handles") : Status::Ok();
  });
}

XDSRESULT XdsCloseTable(XDSHANDLE table) {
  return Guard([&]() -> Status {
    std::shared_ptr<Table> t;
    XCE_RETURN_IF_ERROR(Registry::Get().Lookup(table, HandleKind::kTable, &t));
    return CloseTableHandle(table, t);
  });
}

XDSRESULT XdsGetTableOpenOptions(XDSHANDLE table, uint32_t* options) {
  return TableQuery(table, options, [](Table& t) { return t.OpenOptionsWord(); });
}

XDSRESULT XdsGetTableType(XDSHANDLE table, uint16_t* tableType) {
  return TableQuery(table, tableType, [](Table&) { return XDS_TABLE_CDX; });
}

XDSRESULT XdsCreateTable(XDSHANDLE connection, const char* path, uint16_t charType,
                         uint16_t fieldCount, const XDSFIELDDEF* fields) {
  return Guard([&]() -> Status {
    std::shared_ptr<xce::Connection> c;
    XCE_RETURN_IF_ERROR(LookupConnection(connection, &c));
    if (path == nullptr || *path == '\0') {
      return NullArgument("table name");
    }
    if (fields == nullptr && fieldCount > 0) {
      return NullArgument("field definitions");
    }
    std::vector<xce::FieldSpec> specs;
    for (uint16_t i = 0; i < fieldCount; ++i) {
      xce::FieldSpec s;
      s.name = fields[i].name != nullptr ? fields[i].name : "";
      s.type = fields[i].type;
      s.length = fields[i].length;
      s.decimals = fields[i].decimals;
      specs.push_back(s);
    }
    std::string resolved;
    bool found = false;
    XCE_RETURN_IF_ERROR(
        xce::ResolveTablePath(xce::FileSystem::Default(), c->dir, path, &resolved, &found));
    if (found) {
      return Status(xce::kErrAlreadyExists,
                    "Cannot create table " + resolved + ": the file exists");
    }
    return Table::Create(xce::FileSystem::Default(), resolved, specs, charType == XDS_CHAR_OEM);
  });
}

// ---------------------------------------------------------------- description

XDSRESULT XdsGetNumFields(XDSHANDLE table, uint16_t* count) {
  return TableQuery(table, count,
                    [](Table& t) { return static_cast<uint16_t>(t.fields().size()); });
}

XDSRESULT XdsGetFieldName(XDSHANDLE table, uint16_t field, char* name, uint16_t* length) {
  return Guard([&]() -> Status {
    Table* t = nullptr;
    const xce::FieldInfo* f = nullptr;
    XCE_RETURN_IF_ERROR(Out(length, "length"));
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    XCE_RETURN_IF_ERROR(FieldOf(*t, field, &f));
    uint32_t n = *length;
    Status s = CopyText(f->name, name, &n, "the field name");
    *length = static_cast<uint16_t>(n);
    return s;
  });
}

XDSRESULT XdsGetFieldNumber(XDSHANDLE table, const char* name, uint16_t* field) {
  return Guard([&]() -> Status {
    Table* t = nullptr;
    XCE_RETURN_IF_ERROR(Out(field, "result"));
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    if (name == nullptr) {
      return NullArgument("field name");
    }
    *field = t->FieldNumber(name);
    if (*field == 0) {
      return Status(xce::kErrBadFieldNumber,
                    std::string("Table ") + t->path() + " has no field " + name);
    }
    return Status::Ok();
  });
}

#define XCE_FIELD_GETTER(Name, Type, expr)                     \
  XDSRESULT Name(XDSHANDLE table, uint16_t field, Type* out) { \
    return Guard([&]() -> Status {                             \
      Table* t = nullptr;                                      \
      const xce::FieldInfo* f = nullptr;                       \
      XCE_RETURN_IF_ERROR(Out(out, "result"));                 \
      XCE_RETURN_IF_ERROR(LookupTable(table, &t));             \
      XCE_RETURN_IF_ERROR(FieldOf(*t, field, &f));             \
      *out = static_cast<Type>(expr);                          \
      return Status::Ok();                                     \
    });                                                        \
  }

XCE_FIELD_GETTER(XdsGetFieldType, uint16_t, f->engineType)
XCE_FIELD_GETTER(XdsGetFieldTypeLetter, char, f->type)
XCE_FIELD_GETTER(XdsGetFieldLength, uint16_t, f->length)
XCE_FIELD_GETTER(XdsGetFieldDecimals, uint16_t, f->decimals)
XCE_FIELD_GETTER(XdsGetFieldOffset, uint16_t, f->offset)
// An autoincrement field is filled by the table, never by the caller.
XCE_FIELD_GETTER(XdsGetColumnPermissions, uint16_t,
                 XDS_PERMISSION_READ |
                     (t->CheckWritable().ok() && f->engineType != xce::kTypeAutoInc
                          ? XDS_PERMISSION_UPDATE | XDS_PERMISSION_INSERT
                          : 0))

XDSRESULT XdsGetRecordLength(XDSHANDLE table, uint32_t* length) {
  return TableQuery(table, length, [](Table& t) { return t.recordLength(); });
}

// ---------------------------------------------------------------- movement

XDSRESULT XdsGotoTop(XDSHANDLE handle) {
  return Guard([&]() -> Status {
    Cursor c;
    XCE_RETURN_IF_ERROR(LookupCursor(handle, &c));
    return c.table->GotoTop(c.order);
  });
}

XDSRESULT XdsGotoBottom(XDSHANDLE handle) {
  return Guard([&]() -> Status {
    Cursor c;
    XCE_RETURN_IF_ERROR(LookupCursor(handle, &c));
    return c.table->GotoBottom(c.order);
  });
}

XDSRESULT XdsSkip(XDSHANDLE handle, int32_t count) {
  if (count == 1) {
    xce::HandleObject* obj = Registry::Get().FindFast(handle);
    if (obj != nullptr && obj->kind() == HandleKind::kTable &&
        static_cast<Table*>(obj)->TryStepForward()) {
      return 0;
    }
  }
  return Guard([&]() -> Status {
    Cursor c;
    XCE_RETURN_IF_ERROR(LookupCursor(handle, &c));
    return c.table->Skip(c.order, count);
  });
}

XDSRESULT XdsGotoRecord(XDSHANDLE table, uint32_t recno) {
  return TableAction(table, [&](Table& t) { return t.GotoRecord(recno); });
}

XDSRESULT XdsGetRecordNum(XDSHANDLE handle, uint16_t option, uint32_t* recno) {
  (void)option;
  return CursorQuery(handle, recno, [](Cursor& c) { return c.table->recno(); });
}

XDSRESULT XdsAtEOF(XDSHANDLE handle, uint16_t* atEof) {
  return CursorQuery(handle, atEof, [](Cursor& c) { return c.table->eof() ? 1 : 0; });
}

XDSRESULT XdsAtBOF(XDSHANDLE handle, uint16_t* atBof) {
  return CursorQuery(handle, atBof, [](Cursor& c) { return c.table->bof() ? 1 : 0; });
}

XDSRESULT XdsGetBookmark(XDSHANDLE handle, uint32_t* bookmark) {
  return CursorQuery(handle, bookmark, [](Cursor& c) { return c.table->recno(); });
}

XDSRESULT XdsGetBookmarkLength(XDSHANDLE handle, uint16_t* length) {
  return CursorQuery(handle, length, [](Cursor& c) { return c.order->BookmarkLength(); });
}

XDSRESULT XdsGetBookmark60(XDSHANDLE handle, void* bookmark, uint16_t* length) {
  return Guard([&]() -> Status {
    Cursor c;
    XCE_RETURN_IF_ERROR(Out(length, "length"));
    XCE_RETURN_IF_ERROR(Out(bookmark, "bookmark buffer"));
    XCE_RETURN_IF_ERROR(LookupCursor(handle, &c));
    uint16_t need = c.order->BookmarkLength();
    if (*length < need) {
      *length = need;
      return Status(xce::kErrBufferTooSmall, "A bookmark of table " + c.table->path() + " needs " +
                                                 std::to_string(need) + " bytes");
    }
    *length = need;
    return c.order->FillBookmark(*c.table, c.table->recno(), static_cast<uint8_t*>(bookmark));
  });
}

XDSRESULT XdsGotoBookmark(XDSHANDLE handle, uint32_t bookmark) {
  return Guard([&]() -> Status {
    Cursor c;
    XCE_RETURN_IF_ERROR(LookupCursor(handle, &c));
    return c.table->GotoRecord(bookmark);
  });
}

XDSRESULT XdsCompareBookmarks(XDSHANDLE handle, const void* a, const void* b, int16_t* result) {
  return Guard([&]() -> Status {
    Cursor c;
    XCE_RETURN_IF_ERROR(Out(result, "result"));
    if (a == nullptr || b == nullptr) {
      return NullArgument("bookmark");
    }
    XCE_RETURN_IF_ERROR(LookupCursor(handle, &c));
    uint32_t ra;
    uint32_t rb;
    std::memcpy(&ra, a, 4);
    std::memcpy(&rb, b, 4);
    int r = 0;
    XCE_RETURN_IF_ERROR(c.order->CompareRecords(*c.table, ra, rb, &r));
    *result = static_cast<int16_t>(r);
    return Status::Ok();
  });
}

XDSRESULT XdsGetRecordCount(XDSHANDLE handle, uint16_t option, uint32_t* count) {
  return Guard([&]() -> Status {
    Cursor c;
    XCE_RETURN_IF_ERROR(Out(count, "result"));
    XCE_RETURN_IF_ERROR(LookupCursor(handle, &c));
    bool fresh = (option & XDS_COUNT_FRESH) != 0;
    uint16_t mode = option & 3;
    xce::HandleObject* obj = Registry::Get().FindFast(handle);
    if (mode == XDS_COUNT_RESPECT_SCOPES && obj != nullptr && obj->kind() == HandleKind::kIndex) {
      return static_cast<xce::IndexHandleObject*>(obj)->CountInScope(count);
    }
    return c.table->Count(c.order, mode == XDS_COUNT_RESPECT_FILTERS, fresh, count);
  });
}

XDSRESULT XdsIsRecordVisible(XDSHANDLE handle, uint16_t* visible) {
  return Guard([&]() -> Status {
    Cursor c;
    XCE_RETURN_IF_ERROR(Out(visible, "result"));
    XCE_RETURN_IF_ERROR(LookupCursor(handle, &c));
    XCE_RETURN_IF_ERROR(NeedRecord(*c.table, true));
    bool v = false;
    XCE_RETURN_IF_ERROR(c.table->IsVisible(c.order, c.table->recno(), &v));
    *visible = v ? 1 : 0;
    return Status::Ok();
  });
}

XDSRESULT XdsCacheRecords(XDSHANDLE handle, uint16_t count) {
  return Guard([&]() -> Status {
    Cursor c;
    XCE_RETURN_IF_ERROR(LookupCursor(handle, &c));
    c.table->SetReadAhead(count);
    return Status::Ok();
  });
}

// ---------------------------------------------------------------- reading

// The current record's image into out, currency fields as doubles.
static void CopyRecord(const Table& t, char* out) {
  std::memcpy(out, t.image(), t.recordLength());
  if (!t.hasCurrency()) {
    return;
  }
  for (const xce::FieldInfo& f : t.fields()) {
    if (f.engineType == xce::kTypeCurrency) {
      double d = std::strtod(xce::FieldDisplayText(f, t.image()).c_str(), nullptr);
      std::memcpy(out + f.offset, &d, 8);
    }
  }
}

XDSRESULT XdsGetRecord(XDSHANDLE table, void* buffer, uint32_t length) {
  {
    // The common case answered without building a Status.
    xce::HandleObject* obj = Registry::Get().FindFast(table);
    if (obj != nullptr && obj->kind() == HandleKind::kTable && buffer != nullptr) {
      const Table* t = static_cast<const Table*>(obj);
      if (length >= t->recordLength() && t->OnRecord() && !t->hasCurrency()) {
        std::memcpy(buffer, t->image(), t->recordLength());
        return 0;
      }
    }
  }
  return Guard([&]() -> Status {
    Table* t = nullptr;
    XCE_RETURN_IF_ERROR(Out(buffer, "buffer"));
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    XCE_RETURN_IF_ERROR(NeedRecordBuffer(*t, length));
    XCE_RETURN_IF_ERROR(NeedRecord(*t));
    CopyRecord(*t, static_cast<char*>(buffer));
    return Status::Ok();
  });
}

XDSRESULT XdsFetchRecord(XDSHANDLE handle, int32_t count, void* record, uint32_t length,
                         void* bookmark, XDSFETCHINFO* info) {
  if (count == 1 && record != nullptr && bookmark != nullptr && info != nullptr) {
    // A step of a walk in record order that nothing can hide, answered
    // without building a Status: the inner loop of every table scan.
    xce::HandleObject* obj = Registry::Get().FindFast(handle);
    if (obj != nullptr && obj->kind() == HandleKind::kTable) {
      Table* t = static_cast<Table*>(obj);
      const uint16_t need = t->recnoOrder()->BookmarkLength();
      if (length >= t->recordLength() && !t->hasCurrency() && info->bookmarkLength >= need &&
          t->TryStepForward()) {
        std::memcpy(record, t->image(), t->recordLength());
        (void)t->recnoOrder()->FillBookmark(*t, t->recno(), static_cast<uint8_t*>(bookmark));
        info->atEof = 0;
        info->atBof = 0;
        info->visible = 1;
        info->bookmarkLength = need;
        info->recno = t->recno();
        return 0;
      }
    }
  }
  return Guard([&]() -> Status {
    Cursor c;
    XCE_RETURN_IF_ERROR(Out(info, "fetch information"));
    XCE_RETURN_IF_ERROR(Out(record, "buffer"));
    XCE_RETURN_IF_ERROR(Out(bookmark, "bookmark buffer"));
    XCE_RETURN_IF_ERROR(LookupCursor(handle, &c));
    Table& t = *c.table;
    XCE_RETURN_IF_ERROR(NeedRecordBuffer(t, length));
    const uint16_t room = info->bookmarkLength;
    const uint16_t need = c.order->BookmarkLength();
    if (room < need) {
      info->bookmarkLength = need;
      return Status(xce::kErrBufferTooSmall,
                    "A bookmark of table " + t.path() + " needs " + std::to_string(need) + " bytes");
    }
    // A move that ends on a record has just found it visible.
    bool settled = false;
    if (count == 1 && c.order == t.recnoOrder() && t.TryStepForward()) {
      settled = true;
    } else if (count != 0) {
      Status moved = t.Skip(c.order, count);
      if (!moved.ok() && moved.code() != xce::kErrNoCurrentRecord) {
        return moved;
      }
      settled = moved.ok();
    }
    info->atEof = t.eof() ? 1 : 0;
    info->atBof = t.bof() ? 1 : 0;
    info->visible = 0;
    info->bookmarkLength = 0;
    info->recno = t.recno();
    if (t.eof() || t.bof()) {
      return Status::Ok();
    }
    XCE_RETURN_IF_ERROR(NeedRecord(t));
    // A record being appended is not stored yet: nothing can hide it.
    bool visible = true;
    if (!t.AppendPending() && !settled) {
      XCE_RETURN_IF_ERROR(t.IsVisible(c.order, t.recno(), &visible));
    }
    if (!visible) {
      return Status::Ok();
    }
    CopyRecord(t, static_cast<char*>(record));
    XCE_RETURN_IF_ERROR(c.order->FillBookmark(t, t.recno(), static_cast<uint8_t*>(bookmark)));
    info->bookmarkLength = need;
    info->visible = 1;
    return Status::Ok();
  });
}

XDSRESULT XdsGetField(XDSHANDLE table, uint16_t field, void* buffer, uint32_t* length,
                      uint16_t options) {
  return Guard([&]() -> Status {
    Table* t = nullptr;
    const xce::FieldInfo* f = nullptr;
    XCE_RETURN_IF_ERROR(Out(length, "length"));
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    XCE_RETURN_IF_ERROR(FieldOf(*t, field, &f));
    XCE_RETURN_IF_ERROR(NeedRecord(*t));
    std::string value;
    if (f->isMemo) {
      uint32_t type = 0;
      XCE_RETURN_IF_ERROR(t->ReadMemo(field, &value, &type));
      if (t->oem() && !f->binaryMemo && type == xce::kMemoItemText) {
        xce::ConvertOemToAnsi(value.data(), value.size());
      }
      // A binary value may fill the buffer exactly, without a NUL.
      if (buffer != nullptr && *length == value.size()) {
        std::memcpy(buffer, value.data(), value.size());
        return Status::Ok();
      }
      return CopyText(value, buffer, length, "the value of field ", f->name);
    }
    const bool trim = (options & XDS_GET_TRIM) != 0;
    if (xce::FieldIsNull(*f, t->image())) {
      return CopyText({}, buffer, length, "the value of field ", f->name);
    }
    if (f->engineType == xce::kTypeString) {
      // Straight from the record image into the caller's buffer.
      std::string_view text(t->image() + f->offset, xce::FieldValueLength(*f, t->image()));
      if (trim) {
        text = text.substr(0, text.find_last_not_of(' ') + 1);
      }
      XCE_RETURN_IF_ERROR(CopyText(text, buffer, length, "the value of field ", f->name));
      if (t->oem() && (f->flags & 0x04) == 0) {
        xce::ConvertOemToAnsi(static_cast<char*>(buffer), text.size());
      }
      return Status::Ok();
    }
    if (f->engineType == xce::kTypeNumeric) {
      char text[xce::kPlainNumberRoom];
      const std::size_t n = xce::PlainNumericText(
          std::string_view(t->image() + f->offset, f->length), std::min<int>(f->decimals, 30), text);
      if (n > 0) {  // plain numbers have no blanks to trim
        return CopyText(std::string_view(text, n), buffer, length, "the value of field ", f->name);
      }
    }
    value = xce::FieldDisplayText(*f, t->image());
    if (trim) {
      value.erase(value.find_last_not_of(' ') + 1);
    }
    return CopyText(value, buffer, length, "the value of field ", f->name);
  });
}

XDSRESULT XdsIsEmpty(XDSHANDLE table, uint16_t field, uint16_t* empty) {
  return Guard([&]() -> Status {
    Table* t = nullptr;
    const xce::FieldInfo* f = nullptr;
    XCE_RETURN_IF_ERROR(Out(empty, "result"));
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    XCE_RETURN_IF_ERROR(FieldOf(*t, field, &f));
    XCE_RETURN_IF_ERROR(NeedRecord(*t));
    if (f->isMemo) {
      uint32_t len = 0;
      uint32_t type = 0;
      XCE_RETURN_IF_ERROR(t->MemoLength(field, &len, &type));
      *empty = len == 0 ? 1 : 0;
      return Status::Ok();
    }
    *empty = xce::FieldIsEmpty(*f, t->image()) ? 1 : 0;
    return Status::Ok();
  });
}

// ---------------------------------------------------------------- writing

// An index handle building a raw key takes field writes into the key.
static xce::IndexHandleObject* RawKeyTarget(XDSHANDLE handle) {
  xce::HandleObject* obj = Registry::Get().FindFast(handle);
  if (obj == nullptr || obj->kind() != HandleKind::kIndex) {
    return nullptr;
  }
  auto* index = static_cast<xce::IndexHandleObject*>(obj);
  return index->RawKeyActive() ? index : nullptr;
}

XDSRESULT XdsSetField(XDSHANDLE table, uint16_t field, const void* data, uint32_t length) {
  return Guard([&]() -> Status {
    if (xce::IndexHandleObject* key = RawKeyTarget(table)) {
      if (data == nullptr && length > 0) {
        return NullArgument("value");
      }
      std::string_view text(static_cast<const char*>(data), data == nullptr ? 0 : length);
      std::size_t nul = text.find('\0');
      return key->SetRawKeyField(
          field, text.data(),
          static_cast<uint32_t>(nul == std::string_view::npos ? text.size() : nul), true);
    }
    Table* t = nullptr;
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    if (data == nullptr && length > 0) {
      return NullArgument("value");
    }
    std::string_view text(static_cast<const char*>(data), data == nullptr ? 0 : length);
    const xce::FieldInfo* f = nullptr;
    XCE_RETURN_IF_ERROR(FieldOf(*t, field, &f));
    if (!f->isMemo) {
      // Text ends at a NUL when the caller passed a C string's buffer.
      std::size_t nul = text.find('\0');
      if (nul != std::string_view::npos) {
        text = text.substr(0, nul);
      }
    }
    return t->SetFieldText(field, text, true);
  });
}

XDSRESULT XdsSetFieldRaw(XDSHANDLE table, uint16_t field, const void* data, uint32_t length) {
  return Guard([&]() -> Status {
    Table* t = nullptr;
    XCE_RETURN_IF_ERROR(Out(data, "value"));
    if (xce::IndexHandleObject* key = RawKeyTarget(table)) {
      return key->SetRawKeyField(field, data, length, false);
    }
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    return t->SetFieldRaw(field, data, length);
  });
}

XDSRESULT XdsSetEmpty(XDSHANDLE table, uint16_t field) {
  return Guard([&]() -> Status {
    if (xce::IndexHandleObject* key = RawKeyTarget(table)) {
      return key->SetRawKeyEmpty(field);
    }
    Table* t = nullptr;
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    return t->SetFieldEmpty(field);
  });
}

XDSRESULT XdsClearRecordBuffer(XDSHANDLE table, void* buffer, uint32_t length) {
  return Guard([&]() -> Status {
    Table* t = nullptr;
    XCE_RETURN_IF_ERROR(Out(buffer, "buffer"));
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    XCE_RETURN_IF_ERROR(NeedRecordBuffer(*t, length));
    xce::BlankRecord(t->layout(), static_cast<char*>(buffer));
    return Status::Ok();
  });
}

#define XCE_TABLE_ACTION(Name, call)               \
  XDSRESULT Name(XDSHANDLE table) {                \
    return Guard([&]() -> Status {                 \
      Table* t = nullptr;                          \
      XCE_RETURN_IF_ERROR(LookupTable(table, &t)); \
      return t->call;                              \
    });                                            \
  }

XCE_TABLE_ACTION(XdsAppendRecord, StartAppend())
XCE_TABLE_ACTION(XdsWriteRecord, CommitPending())
XCE_TABLE_ACTION(XdsDeleteRecord, SetDeleted(true))
XCE_TABLE_ACTION(XdsRecallRecord, SetDeleted(false))
XCE_TABLE_ACTION(XdsCancelUpdate, CancelPending())
XCE_TABLE_ACTION(XdsRefreshRecord, Refresh())
XCE_TABLE_ACTION(XdsPackTable, Pack())
XCE_TABLE_ACTION(XdsZapTable, Zap())
XCE_TABLE_ACTION(XdsFlushTable, Flush())

XDSRESULT XdsRewriteTable(XDSHANDLE table, XDSHANDLE source) {
  return Guard([&]() -> Status {
    Table* t = nullptr;
    Table* from = nullptr;
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    XCE_RETURN_IF_ERROR(LookupTable(source, &from));
    return t->RewriteFrom(*from);
  });
}

XDSRESULT XdsIsRecordDeleted(XDSHANDLE table, uint16_t* deleted) {
  return Guard([&]() -> Status {
    Table* t = nullptr;
    XCE_RETURN_IF_ERROR(Out(deleted, "result"));
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    XCE_RETURN_IF_ERROR(NeedRecord(*t));
    *deleted = t->CurrentDeleted() ? 1 : 0;
    return Status::Ok();
  });
}

XDSRESULT XdsGetDeleted(XDSHANDLE table, uint16_t* hidden) {
  return TableQuery(table, hidden, [](Table& t) { return t.ShowDeleted() ? 0 : 1; });
}

XDSRESULT XdsSetDeleted(XDSHANDLE table, uint16_t hidden) {
  return TableAction(table, [&](Table& t) {
    t.SetShowDeleted(hidden == 0);
    return Status::Ok();
  });
}

XDSRESULT XdsLockRecord(XDSHANDLE table, uint32_t recno) {
  return TableAction(table, [&](Table& t) { return t.LockRecord(recno); });
}

XDSRESULT XdsUnlockRecord(XDSHANDLE table, uint32_t recno) {
  return TableAction(table, [&](Table& t) { return t.UnlockRecord(recno); });
}

XDSRESULT XdsGetMemoLength(XDSHANDLE table, uint16_t field, uint32_t* length) {
  return Guard([&]() -> Status {
    Table* t = nullptr;
    uint32_t type = 0;
    XCE_RETURN_IF_ERROR(Out(length, "result"));
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    return MemoCheck(*t, field, length, &type);
  });
}

XDSRESULT XdsGetBinaryLength(XDSHANDLE table, uint16_t field, uint32_t* length) {
  return XdsGetMemoLength(table, field, length);
}

XDSRESULT XdsGetMemoDataType(XDSHANDLE table, uint16_t field, uint16_t* type) {
  return Guard([&]() -> Status {
    Table* t = nullptr;
    uint32_t length = 0;
    uint32_t item = 0;
    XCE_RETURN_IF_ERROR(Out(type, "result"));
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    XCE_RETURN_IF_ERROR(MemoCheck(*t, field, &length, &item));
    const xce::FieldInfo* f = nullptr;
    XCE_RETURN_IF_ERROR(FieldOf(*t, field, &f));
    if (length == 0) {
      *type = f->engineType;
    } else {
      *type = item == xce::kMemoItemText     ? XDS_TYPE_MEMO
              : item == xce::kMemoItemObject ? XDS_TYPE_IMAGE
                                             : XDS_TYPE_BINARY;
    }
    return Status::Ok();
  });
}

XDSRESULT XdsConvertStringToJulian(const char* text, int32_t* julian) {
  return Guard([&]() -> Status {
    XCE_RETURN_IF_ERROR(Out(julian, "result"));
    if (text == nullptr) {
      return NullArgument("date text");
    }
    int64_t jd = 0;
    if (!xce::JulianFromText(text, &jd)) {
      return Status(xce::kErrBadArgument, std::string("\"") + text + "\" is no date (YYYYMMDD)");
    }
    *julian = static_cast<int32_t>(jd);
    return Status::Ok();
  });
}

XDSRESULT XdsConvertJulianToString(int32_t julian, char* text, uint16_t* length) {
  return Guard([&]() -> Status {
    XCE_RETURN_IF_ERROR(Out(length, "length"));
    if (julian <= 0 || julian > 5373484) {
      return Status(xce::kErrBadArgument,
                    "Julian day " + std::to_string(julian) + " is outside years 1 to 9999");
    }
    uint32_t n = *length;
    Status s = CopyText(xce::TextFromJulian(julian), text, &n, "a date");
    *length = static_cast<uint16_t>(n);
    return s;
  });
}

XDSRESULT XdsCheckTable(XDSHANDLE connection, const char* path, char* report, uint32_t* length) {
  return Guard([&]() -> Status {
    std::shared_ptr<xce::Connection> c;
    XCE_RETURN_IF_ERROR(Out(length, "length"));
    XCE_RETURN_IF_ERROR(LookupConnection(connection, &c));
    if (path == nullptr) {
      return NullArgument("table name");
    }
    std::string resolved;
    XCE_RETURN_IF_ERROR(ResolveExisting(*c, path, &resolved));
    std::string text;
    XCE_RETURN_IF_ERROR(xce::CheckTableFiles(xce::FileSystem::Default(), resolved, &text));
    if (text.empty()) {
      XCE_RETURN_IF_ERROR(xce::cdx::CheckTableIndexes(xce::FileSystem::Default(), resolved, &text));
    }
    XCE_RETURN_IF_ERROR(CopyText(text, report, length, "the check report"));
    if (!text.empty()) {
      return Status(xce::kErrCorrupt, "Table " + resolved + " has problems");
    }
    return Status::Ok();
  });
}

// ---------------------------------------------------------------- errors

XDSRESULT XdsGetLastError(int32_t* code, char* text, uint16_t* length) {
  const LastError& e = ThreadError();
  if (code != nullptr) {
    *code = e.code;
  }
  if (text != nullptr && length != nullptr && *length > 0) {
    std::size_t n = std::min<std::size_t>(e.text.size(), *length - 1u);
    std::memcpy(text, e.text.data(), n);
    text[n] = '\0';
    *length = static_cast<uint16_t>(n);
  }
  return 0;
}

XDSRESULT XdsGetVersion(uint16_t* major, uint16_t* minor, char* letter) {
  return Guard([&]() -> Status {
    if (major == nullptr || minor == nullptr || letter == nullptr) {
      return NullArgument("version result");
    }
    *major = 6;
    *minor = 20;
    *letter = ' ';
    return Status::Ok();
  });
}

XDSRESULT XdsSetLastError(int32_t code, const char* text) {
  LastError& e = ThreadError();
  e.code = code;
  e.text = text != nullptr ? text : "";
  return 0;
}

}  // extern "C"
