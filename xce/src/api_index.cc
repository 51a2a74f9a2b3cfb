// The C API of indexes: tags, index handles, seeks, scopes, key positions
// and reindexing. Errors reach the caller through XdsSetLastError, as every
// other engine call reports them.
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "api_guard.h"
#include "cdx/cdx_key.h"
#include "cdx/table_index.h"
#include "codepage.h"
#include "expr/expr.h"
#include "handles.h"
#include "table.h"
#include "xce.h"

using xce::HandleKind;
using xce::Registry;
using xce::Status;
using xce::Table;
using xce::api::Guard;
using xce::api::NullArgument;
using xce::cdx::IndexHandle;
using xce::cdx::TableIndexes;

namespace {

Status LookupTable(XDSHANDLE handle, std::shared_ptr<Table>* t) {
  *t = xce::OwnedTableOfHandle(Registry::Get().Find(handle));
  if (*t != nullptr) {
    return Status::Ok();
  }
  return Status(xce::kErrInvalidHandle, "Invalid table handle " + std::to_string(handle));
}

Status LookupIndex(XDSHANDLE handle, IndexHandle** out, TableIndexes::Tag** tag = nullptr) {
  // IndexHandle is the one kind of index handle object.
  xce::HandleObject* obj = Registry::Get().FindFast(handle);
  auto* index = obj != nullptr && obj->kind() == HandleKind::kIndex
                    ? static_cast<IndexHandle*>(static_cast<xce::IndexHandleObject*>(obj))
                    : nullptr;
  if (index == nullptr || index->table_ptr() == nullptr) {
    return Status(xce::kErrInvalidHandle, "Invalid index handle " + std::to_string(handle));
  }
  if (tag != nullptr) {
    XCE_RETURN_IF_ERROR(index->tag_order().Resolve(tag));
  }
  *out = index;
  return Status::Ok();
}

// The one handle of a tag, made on first use.
Status HandleFor(const std::shared_ptr<Table>& t, const std::shared_ptr<TableIndexes>& indexes,
                 const std::string& name, XDSHANDLE* out) {
  auto& handles = indexes->handles();
  auto it = handles.find(name);
  if (it != handles.end() && Registry::Get().Find(it->second) != nullptr) {
    *out = it->second;
    return Status::Ok();
  }
  auto handle = std::make_shared<IndexHandle>(t, indexes, name);
  XDSHANDLE h = Registry::Get().Add(handle);
  if (h == 0) {
    return Status(xce::kErrIo, "Too many open handles");
  }
  t->AddDependentHandle(h);
  handles[name] = h;
  *out = h;
  return Status::Ok();
}

Status CopyText(const std::string& text, char* buffer, uint16_t* length) {
  if (buffer == nullptr || length == nullptr) {
    return NullArgument("buffer");
  }
  uint16_t room = *length;
  *length = static_cast<uint16_t>(std::min<std::size_t>(text.size(), 0xFFFF));
  if (room < text.size() + 1) {
    return Status(xce::kErrBufferTooSmall,
                  "A buffer of " + std::to_string(room) + " bytes cannot hold \"" + text + "\"");
  }
  std::memcpy(buffer, text.data(), text.size());
  buffer[text.size()] = '\0';
  return Status::Ok();
}

Status Flag(uint16_t* out, bool value) {
  if (out == nullptr) {
    return NullArgument("flag");
  }
  *out = value ? 1 : 0;
  return Status::Ok();
}

// Key bytes from a caller's key: raw bytes as given, or text of the tag's
// type. *partial tells whether the key is shorter than the tag's keys.
Status CallerKey(const Table& t, TableIndexes::Tag* tag, const void* data, uint16_t length,
                 uint16_t keyType, std::vector<uint8_t>* key) {
  if (data == nullptr && length > 0) {
    return NullArgument("key");
  }
  const int keyLen = tag->tag->key_len();
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (keyType == XDS_KEY_RAW) {
    key->assign(bytes, bytes + std::min<int>(length, keyLen));
    return Status::Ok();
  }
  if (keyType != XDS_KEY_STRING) {
    return Status(xce::kErrBadArgument, "Key type " + std::to_string(keyType) + " is unknown");
  }
  std::string text(reinterpret_cast<const char*>(bytes), length);
  if (std::size_t nul = text.find('\0'); nul != std::string::npos) {
    text.resize(nul);
  }
  const bool nullable = (tag->tag->options() & xce::cdx::kOptNullable) != 0;
  key->clear();
  if (nullable) {
    key->push_back(0x80);
  }
  xce::expr::Value value;
  switch (tag->maker->type()) {
    case xce::cdx::KeyType::kCharacter:
      for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        key->push_back(t.oem() ? xce::Cp1251To866(u) : u);
      }
      if (static_cast<int>(key->size()) > keyLen) {
        key->resize(keyLen);
      }
      return Status::Ok();
    case xce::cdx::KeyType::kNumeric:
    case xce::cdx::KeyType::kInteger:
      value.number = std::strtod(text.c_str(), nullptr);
      break;
    case xce::cdx::KeyType::kDate:
    case xce::cdx::KeyType::kDateTime:
      value.date = xce::expr::JulianFromDtos(text);
      if (tag->maker->type() == xce::cdx::KeyType::kDateTime) {
        value.date *= 86400000;
      }
      break;
    case xce::cdx::KeyType::kLogical:
      value.logical =
          !text.empty() && (text[0] == 'T' || text[0] == 't' || text[0] == 'Y' || text[0] == 'y');
      break;
  }
  std::size_t at = key->size();
  key->resize(at + tag->maker->key_len());
  tag->maker->Encode(value, key->data() + at);
  return Status::Ok();
}

// Puts the table's pointer on `recno` or, when the filters hide it, on the
// next visible record in the order; off the end the pointer is at the end.
Status LandOn(Table& t, xce::Order* order, uint32_t recno) {
  if (recno == 0) {
    Status s = t.GotoBottom(order);
    if (s.ok() || s.code() == xce::kErrNoCurrentRecord) {
      s = t.Skip(order, 1);
    }
    return s.code() == xce::kErrNoCurrentRecord ? Status::Ok() : s;
  }
  XCE_RETURN_IF_ERROR(t.GotoRecord(recno));
  bool visible = false;
  if (t.ShowDeleted() && t.filters().empty()) {
    XCE_RETURN_IF_ERROR(order->InOrder(t, recno, &visible));
  } else {
    XCE_RETURN_IF_ERROR(t.IsVisible(order, recno, &visible));
  }
  if (!visible) {
    Status s = t.Skip(order, 1);
    if (!s.ok() && s.code() != xce::kErrNoCurrentRecord) {
      return s;
    }
  }
  return Status::Ok();
}

}  // namespace

extern "C" {

XDSRESULT XdsGetAllIndexes(XDSHANDLE table, uint16_t* count, XDSHANDLE* indexes) {
  return Guard([&]() -> Status {
    if (count == nullptr || (indexes == nullptr && *count > 0)) {
      return NullArgument("index array");
    }
    std::shared_ptr<Table> t;
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    auto idx = TableIndexes::Of(*t);
    uint16_t room = *count;
    *count = 0;
    for (int i = 0; idx != nullptr && i < idx->tag_count() && *count < room; ++i) {
      XCE_RETURN_IF_ERROR(HandleFor(t, idx, idx->tag(i).tag->name(), &indexes[*count]));
      ++*count;
    }
    return Status::Ok();
  });
}

XDSRESULT XdsGetIndexHandle(XDSHANDLE table, const char* name, XDSHANDLE* index) {
  return Guard([&]() -> Status {
    if (name == nullptr || index == nullptr) {
      return NullArgument("tag name");
    }
    *index = 0;
    std::shared_ptr<Table> t;
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    auto idx = TableIndexes::Of(*t);
    int i = idx == nullptr ? -1 : idx->FindTag(name);
    if (i < 0) {
      return Status(xce::cdx::kErrTagNotFound,
                    "Table " + t->path() + " has no index tag " + std::string(name));
    }
    return HandleFor(t, idx, idx->tag(i).tag->name(), index);
  });
}

#define XCE_INDEX_TEXT(Name, expr)                                \
  XDSRESULT Name(XDSHANDLE index, char* text, uint16_t* length) { \
    return Guard([&]() -> Status {                                \
      IndexHandle* h = nullptr;                                   \
      TableIndexes::Tag* tag = nullptr;                           \
      XCE_RETURN_IF_ERROR(LookupIndex(index, &h, &tag));          \
      return CopyText(expr, text, length);                        \
    });                                                           \
  }

XCE_INDEX_TEXT(XdsGetIndexName, tag->tag->name())
XCE_INDEX_TEXT(XdsGetIndexCondition, tag->tag->for_expr())
XCE_INDEX_TEXT(XdsGetIndexKeyExpression, tag->tag->key_expr())
XCE_INDEX_TEXT(XdsGetIndexForExpression, tag->tag->for_expr())

XDSRESULT XdsGetNumSegments(XDSHANDLE index, uint16_t* count) {
  return Guard([&]() -> Status {
    IndexHandle* h = nullptr;
    TableIndexes::Tag* tag = nullptr;
    XCE_RETURN_IF_ERROR(LookupIndex(index, &h, &tag));
    if (count == nullptr) {
      return NullArgument("count");
    }
    *count = static_cast<uint16_t>(tag->maker->segments().size());
    return Status::Ok();
  });
}

XDSRESULT XdsGetSegmentFieldname(XDSHANDLE index, uint16_t segment, char* name, uint16_t* length) {
  return Guard([&]() -> Status {
    IndexHandle* h = nullptr;
    TableIndexes::Tag* tag = nullptr;
    XCE_RETURN_IF_ERROR(LookupIndex(index, &h, &tag));
    const auto& segments = tag->maker->segments();
    if (segment < 1 || segment > segments.size()) {
      return Status(xce::kErrBadArgument,
                    "Tag " + tag->tag->name() + " has no segment " + std::to_string(segment));
    }
    return CopyText(segments[segment - 1], name, length);
  });
}

#define XCE_INDEX_FLAG(Name, value)                      \
  XDSRESULT Name(XDSHANDLE index, uint16_t* flag) {      \
    return Guard([&]() -> Status {                       \
      IndexHandle* h = nullptr;                          \
      TableIndexes::Tag* tag = nullptr;                  \
      XCE_RETURN_IF_ERROR(LookupIndex(index, &h, &tag)); \
      return Flag(flag, value);                          \
    });                                                  \
  }

XCE_INDEX_FLAG(XdsIsIndexDescending, tag->tag->descending())
XCE_INDEX_FLAG(XdsIsIndexUnique, tag->tag->unique())
XCE_INDEX_FLAG(XdsIsIndexCustom, tag->tag->custom())

XDSRESULT XdsGetIndexFlags(XDSHANDLE index, uint32_t* flags) {
  return Guard([&]() -> Status {
    IndexHandle* h = nullptr;
    TableIndexes::Tag* tag = nullptr;
    XCE_RETURN_IF_ERROR(LookupIndex(index, &h, &tag));
    if (flags == nullptr) {
      return NullArgument("flags");
    }
    const xce::cdx::CdxTag* t = tag->tag;
    *flags = (t->unique() ? XDS_INDEX_UNIQUE : 0) | (t->descending() ? XDS_INDEX_DESCENDING : 0) |
             (t->custom() ? XDS_INDEX_CUSTOM : 0) |
             (t->for_expr().empty() ? 0 : XDS_INDEX_CONDITION);
    return Status::Ok();
  });
}

XDSRESULT XdsGetIndexPageSize(XDSHANDLE index, uint16_t* size) {
  return Guard([&]() -> Status {
    IndexHandle* h = nullptr;
    TableIndexes::Tag* tag = nullptr;
    XCE_RETURN_IF_ERROR(LookupIndex(index, &h, &tag));
    if (size == nullptr) {
      return NullArgument("size");
    }
    *size = xce::cdx::kPageSize;
    return Status::Ok();
  });
}

XDSRESULT XdsOpenIndex(XDSHANDLE table, const char* path) {
  return Guard([&]() -> Status {
    if (path == nullptr || *path == '\0') {
      return NullArgument("index file name");
    }
    std::shared_ptr<Table> t;
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    std::string p(path);
    for (char& c : p) {
      c = c == '\\' ? '/' : c;
    }
    if (p[0] != '/') {
      p = t->dir() + "/" + p;
    }
    std::size_t slash = p.find_last_of('/');
    std::string actual;
    if (xce::FindNoCase(t->fs(), p.substr(0, slash), p.substr(slash + 1), &actual)) {
      p = p.substr(0, slash) + "/" + actual;
    }
    return TableIndexes::Ensure(t)->OpenExtraFile(p);
  });
}

XDSRESULT XdsCreateIndexTag(XDSHANDLE table, const char* name, const char* keyExpression,
                            const char* forExpression, uint16_t unique, uint16_t descending) {
  return Guard([&]() -> Status {
    if (name == nullptr || keyExpression == nullptr) {
      return NullArgument("tag name or key expression");
    }
    std::shared_ptr<Table> t;
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    xce::cdx::TagDefinition def;
    def.name = name;
    def.keyExpr = keyExpression;
    def.forExpr = forExpression == nullptr ? "" : forExpression;
    def.unique = unique != 0;
    def.descending = descending != 0;
    return TableIndexes::Ensure(t)->CreateTag(def);
  });
}

XDSRESULT XdsCreateIndexTags(XDSHANDLE table, uint16_t count, const XDSTAGDEF* tags) {
  return Guard([&]() -> Status {
    if (tags == nullptr && count > 0) {
      return NullArgument("tag definitions");
    }
    std::shared_ptr<Table> t;
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    std::vector<xce::cdx::TagDefinition> defs(count);
    for (uint16_t i = 0; i < count; ++i) {
      if (tags[i].name == nullptr || tags[i].keyExpression == nullptr) {
        return NullArgument("tag name or key expression");
      }
      defs[i].name = tags[i].name;
      defs[i].keyExpr = tags[i].keyExpression;
      defs[i].forExpr = tags[i].forExpression == nullptr ? "" : tags[i].forExpression;
      defs[i].unique = tags[i].unique != 0;
      defs[i].descending = tags[i].descending != 0;
    }
    return TableIndexes::Ensure(t)->CreateTags(defs);
  });
}

XDSRESULT XdsDeleteIndexTag(XDSHANDLE table, const char* name) {
  return Guard([&]() -> Status {
    if (name == nullptr) {
      return NullArgument("tag name");
    }
    std::shared_ptr<Table> t;
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    return TableIndexes::Ensure(t)->DeleteTag(name);
  });
}

XDSRESULT XdsInitRawKey(XDSHANDLE index) {
  return Guard([&]() -> Status {
    IndexHandle* h = nullptr;
    XCE_RETURN_IF_ERROR(LookupIndex(index, &h));
    h->InitRawKey();
    return Status::Ok();
  });
}

XDSRESULT XdsBuildRawKey(XDSHANDLE index, void* key, uint16_t* length) {
  return Guard([&]() -> Status {
    if (key == nullptr || length == nullptr) {
      return NullArgument("key buffer");
    }
    IndexHandle* h = nullptr;
    XCE_RETURN_IF_ERROR(LookupIndex(index, &h));
    std::vector<uint8_t>& built = h->key_room();
    XCE_RETURN_IF_ERROR(h->BuildRawKey(&built));
    uint16_t room = *length;
    *length = static_cast<uint16_t>(built.size());
    if (room < built.size()) {
      return Status(xce::kErrBufferTooSmall, "A key buffer of " + std::to_string(room) +
                                                 " bytes cannot hold a key of " +
                                                 std::to_string(built.size()));
    }
    std::memcpy(key, built.data(), built.size());
    return Status::Ok();
  });
}

XDSRESULT XdsSeek(XDSHANDLE index, const void* key, uint16_t length, uint16_t keyType,
                  uint16_t seekType, uint16_t* found) {
  return Guard([&]() -> Status {
    if (found == nullptr) {
      return NullArgument("found flag");
    }
    *found = 0;
    IndexHandle* h = nullptr;
    TableIndexes::Tag* tag = nullptr;
    XCE_RETURN_IF_ERROR(LookupIndex(index, &h, &tag));
    Table* t = h->table_ptr();
    XCE_RETURN_IF_ERROR(t->CommitPending());
    std::vector<uint8_t>& k = h->key_room();
    XCE_RETURN_IF_ERROR(CallerKey(*t, tag, key, length, keyType, &k));
    xce::cdx::TagOrder& order = h->tag_order();
    xce::cdx::TagCursor* c = order.cursor();
    const bool partial = static_cast<int>(k.size()) < tag->tag->key_len();
    c->Seek(k.data(), static_cast<int>(k.size()), partial);
    XCE_RETURN_IF_ERROR(c->status());
    if (seekType == XDS_SEEK_HARD) {
      // Only an entry under the key can be found, and a miss ends at the
      // end: looking at the matching entries alone spares the walk past
      // every hidden record to the next visible one, which under a narrow
      // filter is most of the tag.
      uint32_t hit = 0;
      while (hit == 0 && c->Valid() && order.InScope(c->key()) &&
             xce::cdx::CompareBytes(c->key(), k.data(), static_cast<int>(k.size())) == 0) {
        bool visible = false;
        XCE_RETURN_IF_ERROR(t->IsVisible(&order, c->recno(), &visible));
        if (visible) {
          hit = c->recno();
        } else {
          c->Next();
          XCE_RETURN_IF_ERROR(c->status());
        }
      }
      if (hit == 0) {
        return t->SetPosition(0);
      }
      XCE_RETURN_IF_ERROR(LandOn(*t, &order, hit));
      if (t->OnRecord()) {
        bool exact = false;
        XCE_RETURN_IF_ERROR(order.PositionOn(*t, t->recno(), &exact));
        *found = exact && t->recno() == hit ? 1 : 0;
      }
      return Status::Ok();
    }
    uint32_t recno = c->Valid() && order.InScope(c->key()) ? c->recno() : 0;
    XCE_RETURN_IF_ERROR(LandOn(*t, &order, recno));
    if (!t->OnRecord()) {
      return Status::Ok();
    }
    // The record reached may lie past the key when filters hid the match.
    bool exact = false;
    XCE_RETURN_IF_ERROR(order.PositionOn(*t, t->recno(), &exact));
    bool match = exact && c->Valid() &&
                 xce::cdx::CompareBytes(c->key(), k.data(), static_cast<int>(k.size())) == 0;
    *found = match ? 1 : 0;
    if (!match && seekType == XDS_SEEK_HARD) {
      XCE_RETURN_IF_ERROR(LandOn(*t, &order, 0));
    }
    return Status::Ok();
  });
}

XDSRESULT XdsSetScope(XDSHANDLE index, uint16_t which, const void* key, uint16_t length,
                      uint16_t keyType) {
  return Guard([&]() -> Status {
    IndexHandle* h = nullptr;
    TableIndexes::Tag* tag = nullptr;
    XCE_RETURN_IF_ERROR(LookupIndex(index, &h, &tag));
    if (which != XDS_SCOPE_TOP && which != XDS_SCOPE_BOTTOM) {
      return Status(xce::kErrBadArgument, "Scope " + std::to_string(which) + " is unknown");
    }
    std::vector<uint8_t> k;
    XCE_RETURN_IF_ERROR(CallerKey(*h->table(), tag, key, length, keyType, &k));
    h->tag_order().SetScope(which, std::move(k));
    return Status::Ok();
  });
}

XDSRESULT XdsGetScope(XDSHANDLE index, uint16_t which, void* key, uint16_t* length) {
  return Guard([&]() -> Status {
    IndexHandle* h = nullptr;
    XCE_RETURN_IF_ERROR(LookupIndex(index, &h));
    if (which != XDS_SCOPE_TOP && which != XDS_SCOPE_BOTTOM) {
      return Status(xce::kErrBadArgument, "Scope " + std::to_string(which) + " is unknown");
    }
    const auto& scope = h->tag_order().scope(which);
    if (!scope) {
      return Status(xce::kErrNoScope, "No scope is set");
    }
    if (length == nullptr || (key == nullptr && *length > 0)) {
      return NullArgument("key buffer");
    }
    uint16_t room = *length;
    *length = static_cast<uint16_t>(scope->size());
    if (room < scope->size()) {
      return Status(xce::kErrBufferTooSmall,
                    "A key buffer of " + std::to_string(room) + " bytes cannot hold the scope");
    }
    if (!scope->empty()) {
      std::memcpy(key, scope->data(), scope->size());
    }
    return Status::Ok();
  });
}

XDSRESULT XdsClearScope(XDSHANDLE index, uint16_t which) {
  return Guard([&]() -> Status {
    IndexHandle* h = nullptr;
    XCE_RETURN_IF_ERROR(LookupIndex(index, &h));
    if (!h->tag_order().ClearScope(which)) {
      return Status(xce::kErrNoScope, "No scope is set");
    }
    return Status::Ok();
  });
}

XDSRESULT XdsClearAllScopes(XDSHANDLE table) {
  return Guard([&]() -> Status {
    std::shared_ptr<Table> t;
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    for (uint32_t dep : t->dependentHandles()) {
      auto h = std::dynamic_pointer_cast<IndexHandle>(Registry::Get().Find(dep));
      if (h != nullptr) {
        h->tag_order().ClearScope(XDS_SCOPE_TOP);
        h->tag_order().ClearScope(XDS_SCOPE_BOTTOM);
      }
    }
    return Status::Ok();
  });
}

XDSRESULT XdsStepIndexKey(XDSHANDLE index, void* key, uint16_t length, int16_t step) {
  return Guard([&]() -> Status {
    IndexHandle* h = nullptr;
    XCE_RETURN_IF_ERROR(LookupIndex(index, &h));
    if (key == nullptr && length > 0) {
      return NullArgument("key");
    }
    auto* k = static_cast<uint8_t*>(key);
    // The next (or previous) byte string of the same length, with carry.
    for (int i = length - 1; i >= 0 && step != 0; --i) {
      if (step > 0) {
        if (++k[i] != 0) {
          break;
        }
      } else if (k[i]-- != 0) {
        break;
      }
    }
    return Status::Ok();
  });
}

XDSRESULT XdsGetRelKeyPos(XDSHANDLE index, double* position) {
  return Guard([&]() -> Status {
    if (position == nullptr) {
      return NullArgument("position");
    }
    *position = 0;
    IndexHandle* h = nullptr;
    XCE_RETURN_IF_ERROR(LookupIndex(index, &h));
    std::shared_ptr<Table> t = h->table();
    bool exact = false;
    if (t->OnRecord()) {
      XCE_RETURN_IF_ERROR(h->tag_order().PositionOn(*t, t->recno(), &exact));
    }
    if (!exact) {
      return Status(xce::kErrNoKeyPosition, "The current record of table " + t->path() +
                                                " has no position in tag " +
                                                h->tag_order().tag_name());
    }
    return h->tag_order().cursor()->GetRelativePosition(position);
  });
}

XDSRESULT XdsSetRelKeyPos(XDSHANDLE index, double position) {
  return Guard([&]() -> Status {
    IndexHandle* h = nullptr;
    TableIndexes::Tag* tag = nullptr;
    XCE_RETURN_IF_ERROR(LookupIndex(index, &h, &tag));
    std::shared_ptr<Table> t = h->table();
    XCE_RETURN_IF_ERROR(t->CommitPending());
    xce::cdx::TagCursor* c = h->tag_order().cursor();
    c->SetRelativePosition(position);
    XCE_RETURN_IF_ERROR(c->status());
    return LandOn(*t, h->order(), c->Valid() ? c->recno() : 0);
  });
}

XDSRESULT XdsReindex61(XDSHANDLE table, uint16_t pageSize) {
  return Guard([&]() -> Status {
    if (pageSize < 512 || pageSize > 8192 || (pageSize & (pageSize - 1)) != 0) {
      return Status(xce::kErrBadArgument,
                    "Index page size " + std::to_string(pageSize) + " is not 512 to 8192");
    }
    std::shared_ptr<Table> t;
    XCE_RETURN_IF_ERROR(LookupTable(table, &t));
    XCE_RETURN_IF_ERROR(t->CommitPending());
    auto idx = TableIndexes::Of(*t);
    if (idx == nullptr) {
      return Status::Ok();
    }
    return idx->Reindex();
  });
}

static_assert(xce::cdx::kDefaultSortMemory == std::size_t{XDS_DEFAULT_INDEX_SORT_MEMORY_KB} << 10);
static_assert(xce::cdx::kOptReindexOnCollation == XDS_OPEN_REINDEX_ON_COLLATION_MISMATCH &&
              xce::cdx::kOptIgnoreCollation == XDS_OPEN_IGNORE_COLLATION_MISMATCH &&
              xce::cdx::kOptDeferIndexWrites == XDS_OPEN_DEFER_INDEX_WRITES);

XDSRESULT XdsSetIndexSortMemory(uint32_t kilobytes) {
  return Guard([&]() -> Status {
    xce::cdx::SetSortMemory(kilobytes == 0 ? xce::cdx::kDefaultSortMemory
                                           : std::size_t{kilobytes} << 10);
    return Status::Ok();
  });
}

XDSRESULT XdsGetIndexSortMemory(uint32_t* kilobytes) {
  return Guard([&]() -> Status {
    if (kilobytes == nullptr) {
      return NullArgument("kilobytes");
    }
    *kilobytes = static_cast<uint32_t>(xce::cdx::SortMemory() >> 10);
    return Status::Ok();
  });
}

}  // extern "C"
