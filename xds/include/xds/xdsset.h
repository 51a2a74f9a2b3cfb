// The table component's option types: engine options (TXdsTableOptions) and
// the list of extra index files (TXdsIndexFiles).
#pragma once

#include <string>
#include <vector>

class TXdsDataSet;

enum TXdsTableTypes { ttXdsCDX, ttXdsNTX, ttXdsXDT, ttXdsDefault };
enum TIndexCollationMismatchOptions { icmError, icmIgnore, icmReindex };
enum TXdsLockTypes { Proprietary, Compatible };
enum TXdsCharTypes { ANSI, OEM };
enum TXdsRespectFilters { IGNORE_WHEN_COUNTING, RESPECT_WHEN_COUNTING };
enum TXdsRespectScopes { IGNORE_SCOPES_WHEN_COUNTING, RESPECT_SCOPES_WHEN_COUNTING };
enum TXdsRecordCacheTypes { rcNone, rcStandard, rcAggressive };
// 512 to 8192.
using TXdsIndexPageSizes = int;

// The engine table type of a TableType: CDX 2, NTX 1, XDT (and default) 3.
int EngineTableType(TXdsTableTypes type);

// Engine options of one table component, which owns it. Setters that the
// open call depends on refuse while the table is open.
class TXdsTableOptions {
 public:
  explicit TXdsTableOptions(TXdsDataSet& owner) : owner_(owner) {}

  TXdsLockTypes XdsLockType() const { return lockType_; }
  void SetXdsLockType(TXdsLockTypes value);
  TXdsCharTypes XdsCharType() const { return charType_; }
  void SetXdsCharType(TXdsCharTypes value);
  TXdsRespectFilters XdsFilterOptions = IGNORE_WHEN_COUNTING;
  bool XdsFreshRecordCount = false;
  TXdsRespectScopes XdsScopeOptions = IGNORE_SCOPES_WHEN_COUNTING;
  bool XdsAOFResolveImmediate = false;
  bool XdsRightsCheck() const { return rightsCheck_; }
  void SetXdsRightsCheck(bool value);
  bool XdsOptimizedFilters() const { return optimizedFilters_; }
  // While the table is open and filtered: the filter is taken off, the value
  // stored, the filter put back and the table moved to its first record; on
  // failure the old value is restored and the error passed on.
  void SetXdsOptimizedFilters(bool value);
  TXdsIndexPageSizes XdsIndexPageSize = 512;
  TXdsRecordCacheTypes XdsRecordCache() const { return recordCache_; }
  // While the table is open, the engine's read-ahead changes at once.
  void SetXdsRecordCache(TXdsRecordCacheTypes value);

 private:
  friend class TXdsDataSet;
  TXdsDataSet& owner_;
  TXdsLockTypes lockType_ = Proprietary;
  TXdsCharTypes charType_ = ANSI;
  bool rightsCheck_ = true;
  bool optimizedFilters_ = true;
  TXdsRecordCacheTypes recordCache_ = rcStandard;
};

// A sorted list of index file names without duplicates, opened with the
// table. Changes while the table is open open or close the files at once.
class TXdsIndexFiles {
 public:
  // owner must not be null ("TXdsIndexFiles instances require a non-nil owner").
  explicit TXdsIndexFiles(TXdsDataSet* owner);

  int Count() const { return static_cast<int>(names_.size()); }
  const std::string& operator[](int index) const { return names_.at(static_cast<size_t>(index)); }
  const std::vector<std::string>& Names() const { return names_; }
  // Adds name in its sorted place (nothing when present); returns its index.
  int Add(const std::string& name);
  void Insert(int index, const std::string& name) {
    (void)index;  // a sorted list puts the name where it belongs
    Add(name);
  }
  void Delete(int index);
  void Clear();
  int IndexOf(const std::string& name) const;

 private:
  TXdsDataSet* owner_;
  std::vector<std::string> names_;
};
