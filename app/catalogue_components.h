// The catalogue's non-visual components made from their declarations: the
// connection and the four table components with their options, filters,
// field objects and event bindings. Made with the main window; nothing
// opens them here.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "xds/xds.h"

struct TCatalogueComponents {
  // The connection first: it outlives the tables that name it.
  std::unique_ptr<TXdsConnection> XdsConnection1;
  std::unique_ptr<TXdsTable> HDSTem;
  std::unique_ptr<TXdsTable> HDSType;
  std::unique_ptr<TXdsTable> HDSUrlIn;
  std::unique_ptr<TXdsTable> HDSUrls;

  // The table component of that name, or nullptr.
  TXdsTable* Table(std::string_view name) const;
};

// The owner's handlers by the names the declarations bind them with; an
// empty function for a name the owner does not have.
struct TCatalogueHandlers {
  std::function<TDataSet::TDataSetNotifyEvent(const std::string& name)> notify;
  std::function<TDataSet::TFilterRecordEvent(const std::string& name)> filterRecord;
};

// Makes the components as reading them from the owner's declaration does:
// properties set while loading, then each component's loading completes (a
// declared connected connection connects then, a declared active table
// opens). A failing connect or open is handed to the application's
// exception report, so the owner is still made. A handler name the owner
// does not have fails at once: the declarations and the owner disagree.
std::unique_ptr<TCatalogueComponents> CreateCatalogueComponents(
    const std::string& ownerName, const TCatalogueHandlers& handlers);
