// TXdsTable: the table component, a dataset over one table of the engine
// opened on a TXdsConnection.
#pragma once

#include <vector>

#include "xds/xdscnnct.h"
#include "xds/xdsdata.h"

class TXdsExtendedTable : public TXdsExtendedDataSet {};

class TXdsTable : public TXdsExtendedTable {
 public:
  TXdsTable();
  ~TXdsTable() override;

  int32_t LastAutoIncValue() override;

  // Every table component of the process (a copy of the list, taken under its
  // lock).
  static std::vector<TXdsTable*> AllTables();

 protected:
  XDSHANDLE OpenEngineTable() override;
};
