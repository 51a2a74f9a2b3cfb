// The C API of filters, the exact-comparison setting and Locate. Failures
// become result codes and the calling thread's last error (XdsSetLastError).
#include <cstring>
#include <new>
#include <string>

#include "api_guard.h"
#include "handles.h"
#include "table.h"
#include "table_filter.h"
#include "xce.h"

using xce::HandleKind;
using xce::Registry;
using xce::Status;
using xce::Table;
using xce::api::Guard;

namespace {

// A table or index handle: the table and the order it moves in, kept alive
// by the handle's object for the call.
struct Target {
  std::shared_ptr<xce::HandleObject> keep;
  Table* table = nullptr;
  xce::Order* order = nullptr;
};

Status Lookup(XDSHANDLE handle, Target* t) {
  t->keep = Registry::Get().Find(handle);
  xce::HandleTarget target = xce::TargetOfHandle(t->keep.get());
  t->table = target.table;
  t->order = target.order;
  if (t->table != nullptr && t->order != nullptr) {
    return Status::Ok();
  }
  return Status(xce::kErrInvalidHandle, "Invalid table handle " + std::to_string(handle));
}

Status Given(const void* p, const char* what) {
  return p != nullptr ? Status::Ok()
                      : Status(xce::kErrBadArgument, std::string("No ") + what + " given");
}

}  // namespace

extern "C" {

XDSRESULT XdsSetFilter(XDSHANDLE table, const char* expression) {
  return Guard([&]() -> Status {
    Target t;
    XCE_RETURN_IF_ERROR(Lookup(table, &t));
    XCE_RETURN_IF_ERROR(Given(expression, "filter expression"));
    return xce::SetTableFilter(*t.table, expression);
  });
}

XDSRESULT XdsClearFilter(XDSHANDLE table) {
  return Guard([&]() -> Status {
    Target t;
    XCE_RETURN_IF_ERROR(Lookup(table, &t));
    return xce::ClearTableFilter(*t.table);
  });
}

XDSRESULT XdsSetAOF(XDSHANDLE table, const char* expression, uint16_t option) {
  return Guard([&]() -> Status {
    Target t;
    XCE_RETURN_IF_ERROR(Lookup(table, &t));
    XCE_RETURN_IF_ERROR(Given(expression, "filter expression"));
    return xce::SetTableAof(*t.table, expression, option);
  });
}

XDSRESULT XdsClearAOF(XDSHANDLE table) {
  return Guard([&]() -> Status {
    Target t;
    XCE_RETURN_IF_ERROR(Lookup(table, &t));
    return xce::ClearTableAof(*t.table);
  });
}

XDSRESULT XdsGetAOF(XDSHANDLE table, char* buffer, uint16_t* length) {
  return Guard([&]() -> Status {
    Target t;
    XCE_RETURN_IF_ERROR(Lookup(table, &t));
    std::string text;
    XCE_RETURN_IF_ERROR(xce::GetTableAof(*t.table, &text));
    uint16_t room = length != nullptr ? *length : 0;
    if (length != nullptr) {
      *length = static_cast<uint16_t>(std::min<std::size_t>(text.size(), 0xFFFF));
    }
    if (buffer == nullptr || text.size() >= room) {
      return Status(xce::kErrNoBuffer, "A buffer of " + std::to_string(text.size() + 1) +
                                           " bytes is needed for the optimized filter of table " +
                                           t.table->path());
    }
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return Status::Ok();
  });
}

XDSRESULT XdsSetExact22(XDSHANDLE table, uint16_t exact) {
  return Guard([&]() -> Status {
    Target t;
    XCE_RETURN_IF_ERROR(Lookup(table, &t));
    t.table->SetExact(exact != 0);
    return Status::Ok();
  });
}

XDSRESULT XdsGetExact22(XDSHANDLE table, uint16_t* exact) {
  return Guard([&]() -> Status {
    Target t;
    XCE_RETURN_IF_ERROR(Given(exact, "result"));
    XCE_RETURN_IF_ERROR(Lookup(table, &t));
    *exact = t.table->exact() ? 1 : 0;
    return Status::Ok();
  });
}

XDSRESULT XdsLocate(XDSHANDLE handle, const char* expression, uint16_t forward, uint16_t* found) {
  return Guard([&]() -> Status {
    Target t;
    XCE_RETURN_IF_ERROR(Given(found, "result"));
    *found = 0;
    XCE_RETURN_IF_ERROR(Lookup(handle, &t));
    XCE_RETURN_IF_ERROR(Given(expression, "locate expression"));
    bool f = false;
    XCE_RETURN_IF_ERROR(xce::LocateRecord(*t.table, t.order, expression, forward != 0, &f));
    *found = f ? 1 : 0;
    return Status::Ok();
  });
}

}  // extern "C"
