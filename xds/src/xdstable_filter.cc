// Filters, index order, scopes and ranges.

#include <cstring>

#include "xds_internal.h"

namespace {

constexpr char kNotValidIndexFieldName[] = "Not a valid index field name:";
constexpr char kScopeNoIndex[] = "Cannot activate scope when there is no active index.";
constexpr char kScopeWithRange[] = "Cannot activate scope when there is an active range.";
constexpr char kScopeTextLength[] = "Scope text length exceeded ";
constexpr char kIndexNotSet[] = "Index is not set.";
constexpr char kMasterFieldsMismatch[] =
    "The detail's index key must be made of the fields matching MasterFields: ";
constexpr char kRangeWithScope[] = "Cannot set range on table when there is an active scope.";

constexpr size_t kMaxScopeText = 256;
constexpr uint16_t kScopeTop = XDS_SCOPE_TOP;
constexpr uint16_t kScopeBottom = XDS_SCOPE_BOTTOM;
constexpr uint16_t kNotSet = 0xFFFF;

bool SameKeyBuffer(const TXdsKeyBuffer& a, const TXdsKeyBuffer& b) {
  return a.modified == b.modified && a.exclusive == b.exclusive && a.fieldCount == b.fieldCount &&
         a.image == b.image && a.lengths == b.lengths;
}

}  // namespace

// --- Filter -----------------------------------------------------------------------

void TXdsDataSet::SetFiltered(bool value) {
  TDataSet::SetFiltered(value);
  if (IsCursorOpen()) {
    if (value) {
      ActivateFilter();
    } else {
      DeactivateFilter();
    }
  }
  if (Active()) {
    First();
  }
}

void TXdsDataSet::SetFilter(const std::string& value) {
  TDataSet::SetFilter(value);
  if (Active() && Filtered()) {
    SetFiltered(true);
  }
}

void TXdsDataSet::SetOnFilterRecord(TFilterRecordEvent handler) {
  TDataSet::SetOnFilterRecord(std::move(handler));
}

// A "*" that ends a quoted literal means "begins with": the engine has no
// wildcard, but its inexact string comparison is exactly a prefix test, so the
// "*" goes and exact comparison goes off for this filter.
std::string TXdsDataSet::PrepareFilterText(const std::string& text, bool& exact) {
  exact = true;
  // The engine opens every table type with the same expression language, so
  // there are no long names to shorten and lengthen around the scan.
  std::string out;
  out.reserve(text.size());
  char quote = 0;
  size_t opening = 0;  // index in text of the quote that opened the literal
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quote == 0) {
      if (c == '"' || c == '\'') {
        quote = c;
        opening = i;
      }
      out += c;
      continue;
    }
    if (c == quote) {
      quote = 0;
    } else if (c == '*' && i + 1 < text.size() && text[i + 1] == quote) {
      size_t j = i;
      while (j > opening && text[j] == '*') {
        --j;
      }
      if (j != opening) {
        exact = false;
        continue;  // this one "*" goes; the closing quote follows
      }
    }
    out += c;
  }
  return out;
}

void TXdsDataSet::ActivateFilter() {
  if (Filter().empty()) {
    DeactivateFilter();
    return;
  }
  bool exact = true;
  const std::string text = PrepareFilterText(Filter(), exact);
  CheckXceResult(this, Xce().XdsSetExact22(tableHandle_, exact ? 1 : 0));
  if (options_.XdsOptimizedFilters()) {
    CheckXceResult(this, Xce().XdsSetAOF(tableHandle_, text.c_str(),
                                         options_.XdsAOFResolveImmediate ? 1 : 2));
  } else {
    CheckXceResult(this, Xce().XdsSetFilter(tableHandle_, text.c_str()));
  }
}

void TXdsDataSet::DeactivateFilter() {
  XDSRESULT r = options_.XdsOptimizedFilters() ? Xce().XdsClearAOF(tableHandle_)
                                               : Xce().XdsClearFilter(tableHandle_);
  if (r != xds::kXceNoFilter) {
    CheckXceResult(this, r);
  }
}

void TXdsDataSet::OptimizedFiltersChanging(bool value) {
  const bool old = options_.optimizedFilters_;
  DeactivateFilter();
  try {
    options_.optimizedFilters_ = value;
    ActivateFilter();
    First();
  } catch (...) {
    // Back to the kind of filter the property names: neither kind left in
    // the engine, then the old one put back as well as it goes.
    options_.optimizedFilters_ = old;
    (void)Xce().XdsClearAOF(tableHandle_);
    (void)Xce().XdsClearFilter(tableHandle_);
    try {
      ActivateFilter();
    } catch (...) {
    }
    throw;
  }
}

// --- Index order ---------------------------------------------------------------------

void TXdsDataSet::SetIndexName(const std::string& name) {
  const TXdsIndexKind kind = xds::UpperCase(name) == "XDS_DEFAULT" ? ikDefault
                             : name.empty()                         ? ikNone
                                                                    : ikIndexName;
  ChangeIndexOrder(name, "", kind);
}

void TXdsDataSet::SetIndexFieldNames(const std::string& names) {
  if (scoped_ && IsCursorOpen()) {
    SetScoped(false);
  }
  const std::string trimmed = xds::Trim(names);
  ChangeIndexOrder("", trimmed, trimmed.empty() ? ikNone : ikIndexFieldNames);
}

// Stores the new choice and, on an open table, applies it and refills the
// window around the same record; a failure puts the old choice back.
void TXdsDataSet::ChangeIndexOrder(const std::string& name, const std::string& fieldNames,
                                   TXdsIndexKind kind) {
  const std::string oldName = indexName_;
  const std::string oldFieldNames = indexFieldNames_;
  const TXdsIndexKind oldKind = indexKind_;
  indexName_ = name;
  indexFieldNames_ = fieldNames;
  indexKind_ = kind;
  if (!IsCursorOpen()) {
    return;
  }
  bool applied = false;
  try {
    // Reallocating the window would drop a record being edited.
    if (Active()) {
      CheckBrowseMode();
    }
    if (fieldNames.empty()) {
      if (scoped_) {
        SetScoped(false);
      } else {
        (void)CancelRangeBuffers();
      }
    }
    ApplyIndexOrder();
    applied = true;
    // The master's range belonged to the old order: set it on the new one.
    if (ActiveMaster() != nullptr) {
      (void)CancelRangeBuffers();
      (void)ApplyMasterRangeBuffers();
    }
  } catch (...) {
    indexName_ = oldName;
    indexFieldNames_ = oldFieldNames;
    indexKind_ = oldKind;
    if (applied) {
      // The new order was set before the failure: the old one comes back.
      ApplyIndexOrder();
      if (ActiveMaster() != nullptr) {
        (void)CancelRangeBuffers();
        (void)ApplyMasterRangeBuffers();
      }
      if (Active()) {
        Resync(0);
      }
    }
    throw;
  }
  if (Active()) {
    Resync(0);
  }
}

void TXdsDataSet::ApplyIndexOrder() {
  // At open there is no window yet; later the engine cursor must stand on the
  // active record so that the refill after the change keeps it current.
  const bool active = Active();
  if (active) {
    UpdateCursorPos();
  }
  XDSHANDLE order = tableHandle_;
  switch (indexKind_) {
    case ikNone:
      break;
    case ikIndexName:
      CheckXceResult(this, Xce().XdsGetIndexHandle(tableHandle_, indexName_.c_str(), &order));
      break;
    case ikDefault:
      CheckXceResult(this,
                     Xce().XdsGetIndexHandle(tableHandle_, defaultIndexName_.c_str(), &order));
      break;
    case ikIndexFieldNames: {
      if (!indexDefsUpToDate_) {
        UpdateIndexDefs();
      }
      const std::string wanted = xds::UpperCase(indexFieldNames_);
      const TIndexDef* chosen = nullptr;
      for (int pass = 0; pass < 2 && chosen == nullptr; ++pass) {
        for (int i = 0; i < IndexDefs().Count(); ++i) {
          const TIndexDef& def = IndexDefs()[i];
          if ((def.Options() & (ixDescending | ixExpression)) != 0) {
            continue;
          }
          const std::string fields = xds::UpperCase(def.Fields());
          const bool match = pass == 0 ? fields == wanted
                                       : fields.size() > wanted.size() &&
                                             fields.compare(0, wanted.size(), wanted) == 0 &&
                                             fields[wanted.size()] == ';';
          if (match) {
            chosen = &def;
            break;
          }
        }
      }
      if (chosen == nullptr) {
        XdsDatabaseError(this, kNotValidIndexFieldName + indexFieldNames_);
      }
      CheckXceResult(this, Xce().XdsGetIndexHandle(tableHandle_, chosen->Name().c_str(), &order));
      break;
    }
  }
  orderHandle_ = order;
  ForgetLocatePlans();
  if (active) {
    try {
      ComputeLayout();
      ReallocateBufferWindow();
    } catch (...) {
      CloseWithoutEvents();
      throw;
    }
  }
}

bool TXdsDataSet::IsIndexField(const TField& field) const {
  uint16_t segments = 0;
  if (indexKind_ != ikNone) {
    CheckXceResult(this, Xce().XdsGetNumSegments(orderHandle_, &segments));
  }
  if (State() == dsSetKey && segments == 0) {
    return true;
  }
  if (field.FieldNo() <= 0) {
    return false;
  }
  for (uint16_t s = 1; s <= segments; ++s) {
    char name[129] = {};
    uint16_t length = 128;
    CheckXceResult(this, Xce().XdsGetSegmentFieldname(orderHandle_, s, name, &length));
    uint16_t number = 0;
    if (Xce().XdsGetFieldNumber(tableHandle_, name, &number) == 0 && number == field.FieldNo()) {
      return true;
    }
  }
  return false;
}

// --- Scopes -----------------------------------------------------------------------------

void TXdsDataSet::SetScopeBegin(const std::string& text) {
  if (text.size() > kMaxScopeText) {
    XdsDatabaseError(this, kScopeTextLength + std::to_string(kMaxScopeText));
  }
  scopeBegin_ = text;
}

void TXdsDataSet::SetScopeEnd(const std::string& text) {
  if (text.size() > kMaxScopeText) {
    XdsDatabaseError(this, kScopeTextLength + std::to_string(kMaxScopeText));
  }
  scopeEnd_ = text;
}

bool TXdsDataSet::ScopeSet() const {
  if (indexKind_ == ikNone) {
    return false;
  }
  for (uint16_t which : {kScopeTop, kScopeBottom}) {
    char key[256];
    uint16_t length = sizeof key;
    if (Xce().XdsGetScope(orderHandle_, which, key, &length) == 0) {
      return true;
    }
  }
  return false;
}

void TXdsDataSet::ActivateScope() {
  ForgetLocatePlans();
  if (indexKind_ == ikNone) {
    XdsDatabaseError(this, kScopeNoIndex);
  }
  if (ScopeSet()) {
    XdsDatabaseError(this, kScopeWithRange);
  }
  if (!scopeBegin_.empty()) {
    CheckXceResult(this, Xce().XdsSetScope(orderHandle_, kScopeTop, scopeBegin_.data(),
                                           static_cast<uint16_t>(scopeBegin_.size()),
                                           XDS_KEY_STRING));
  }
  if (!scopeEnd_.empty()) {
    CheckXceResult(this, Xce().XdsSetScope(orderHandle_, kScopeBottom, scopeEnd_.data(),
                                           static_cast<uint16_t>(scopeEnd_.size()),
                                           XDS_KEY_STRING));
  }
}

void TXdsDataSet::DeactivateScope() {
  ForgetLocatePlans();
  if (indexKind_ == ikNone) {
    return;
  }
  for (uint16_t which : {kScopeTop, kScopeBottom}) {
    XDSRESULT r = Xce().XdsClearScope(orderHandle_, which);
    if (r != xds::kXceNoScope) {
      CheckXceResult(this, r);
    }
  }
}

void TXdsDataSet::SetScoped(bool value) {
  if (value == scoped_) {
    return;
  }
  if (Active()) {
    // A refill would overwrite a record being edited: settle it first.
    CheckBrowseMode();
    UpdateCursorPos();
    const uint32_t remembered = IsEmpty() ? 0 : BufBookmarkRecNo(ActiveBuffer());
    if (value) {
      ActivateScope();
      uint16_t visible = 0;
      XDSRESULT r = Xce().XdsIsRecordVisible(orderHandle_, &visible);
      if (r == xds::kXceNoCurrentRecord) {
        visible = 0;
      } else {
        CheckXceResult(this, r);
      }
      scoped_ = true;
      if (visible != 0 && !IsEmpty()) {
        Resync(0);
      } else {
        First();
      }
      return;
    }
    DeactivateScope();
    scoped_ = false;
    if (IsEmpty()) {
      First();
      return;
    }
    XDSRESULT r = Xce().XdsGotoRecord(tableHandle_, remembered);
    if (r == xds::kXceBadRecordNumber) {
      r = Xce().XdsSkip(orderHandle_, 1);
      if (r == xds::kXceNoCurrentRecord) {
        r = 0;
      }
    }
    CheckXceResult(this, r);
    CursorPosChanged();
    Resync(0);
    return;
  }
  scoped_ = value;
}

// --- Ranges -----------------------------------------------------------------------------

void TXdsDataSet::ResetKeyBuffer(TXdsKeyBuffer& key) {
  key.modified = false;
  key.exclusive = false;
  key.fieldCount = 0;
  key.image.assign(static_cast<size_t>(recordSize_) + 1, 0);
  key.lengths.assign(static_cast<size_t>(xceFields_.Count()) + 1, kNotSet);
}

void TXdsDataSet::EditRangeStart() { EditRangeBuffer(kiRangeStart); }
void TXdsDataSet::EditRangeEnd() { EditRangeBuffer(kiRangeEnd); }

// Leaves the set-key state: keep (as Post does) marks the edited key buffer
// modified when the dataset was; otherwise (as Cancel does) the copy saved
// when the edit began is put back.
void TXdsDataSet::FinishKeyEdit(bool keep) {
  if (State() != dsSetKey) {
    return;
  }
  TXdsKeyBuffer& key = keyBuffers_[keyBuffer_];
  if (keep) {
    key.modified = Modified();
  } else {
    key = keyBuffers_[kiSave];
  }
  SetState(dsBrowse);
}

void TXdsDataSet::Post() {
  if (State() != dsSetKey) {
    TDataSet::Post();
    return;
  }
  UpdateRecord();
  FinishKeyEdit(true);
}

void TXdsDataSet::Cancel() {
  if (State() != dsSetKey) {
    TDataSet::Cancel();
    return;
  }
  FinishKeyEdit(false);
}

TDataSet* TXdsDataSet::ActiveMaster() const {
  TDataSet* master = MasterSource != nullptr ? MasterSource->DataSet() : nullptr;
  if (master == nullptr || master == this || !master->Active() || xds::Trim(MasterFields).empty()) {
    return nullptr;
  }
  return master;
}

std::vector<TField*> TXdsDataSet::DetailKeyFields(size_t count) {
  std::vector<TField*> fields;
  if (!indexFieldNames_.empty()) {
    fields = GetFieldList(indexFieldNames_);
  } else if (indexKind_ != ikNone) {
    uint16_t segments = 0;
    CheckXceResult(this, Xce().XdsGetNumSegments(orderHandle_, &segments));
    for (uint16_t s = 1; s <= segments && fields.size() < count; ++s) {
      char name[129] = {};
      uint16_t length = 128;
      CheckXceResult(this, Xce().XdsGetSegmentFieldname(orderHandle_, s, name, &length));
      TField* field = FindField(name);
      if (field == nullptr) {
        break;
      }
      fields.push_back(field);
    }
  }
  if (fields.size() > count) {
    fields.resize(count);
  }
  return fields;
}

bool TXdsDataSet::ApplyMasterRangeBuffers() {
  TDataSet* master = ActiveMaster();
  if (master == nullptr || indexKind_ == ikNone) {
    return false;
  }
  const std::vector<TField*> from = master->GetFieldList(MasterFields);
  const std::vector<TField*> to = DetailKeyFields(from.size());
  // The range bounds whole keys: a key with further fields would be bounded
  // by their empty values and show nothing.
  uint16_t segments = 0;
  CheckXceResult(this, Xce().XdsGetNumSegments(orderHandle_, &segments));
  if (to.size() != from.size() || segments != from.size()) {
    XdsDatabaseError(this, kMasterFieldsMismatch + MasterFields);
  }
  for (TXdsKeyIndex which : {kiRangeStart, kiRangeEnd}) {
    TXdsKeyBuffer& key = keyBuffers_[which];
    ResetKeyBuffer(key);
    CheckXceResult(this, Xce().XdsClearRecordBuffer(tableHandle_, key.image.data(),
                                                    static_cast<uint32_t>(key.image.size())));
    key.modified = true;
    keyBuffer_ = which;
    // The key is written as a user's set-key edit writes it, without
    // announcing the state to the detail's controls.
    const TDataSetState saved = SetTempState(dsSetKey);
    try {
      for (size_t i = 0; i < from.size(); ++i) {
        if (from[i]->IsNull()) {
          to[i]->Clear();
        } else {
          to[i]->SetAsVariant(from[i]->AsVariant());
        }
      }
    } catch (...) {
      RestoreState(saved);
      throw;
    }
    RestoreState(saved);
  }
  return ApplyRangeBuffers();
}

void TXdsDataSet::MasterChanged() {
  if (!Active() || State() != dsBrowse || ActiveMaster() == nullptr) {
    return;
  }
  if (ApplyMasterRangeBuffers()) {
    First();
  }
}

void TXdsDataSet::EditRangeBuffer(TXdsKeyIndex which) {
  CheckActive();
  if (indexKind_ == ikNone) {
    XdsDatabaseError(this, kIndexNotSet);
  }
  if (State() == dsSetKey) {
    FinishKeyEdit(true);
  } else {
    CheckBrowseMode();
  }
  TXdsKeyBuffer& key = keyBuffers_[which];
  keyBuffers_[kiSave] = key;
  ResetKeyBuffer(key);
  CheckXceResult(this, Xce().XdsClearRecordBuffer(tableHandle_, key.image.data(),
                                                  static_cast<uint32_t>(key.image.size())));
  keyBuffer_ = which;
  SetState(dsSetKey);
  key.modified = true;
}

bool TXdsDataSet::ApplyRangeBuffers() {
  if (scoped_) {
    XdsDatabaseError(this, kRangeWithScope);
  }
  FinishKeyEdit(true);
  if (SameKeyBuffer(keyBuffers_[kiRangeStart], keyBuffers_[kiAppliedRangeStart]) &&
      SameKeyBuffer(keyBuffers_[kiRangeEnd], keyBuffers_[kiAppliedRangeEnd])) {
    return false;
  }
  ForgetLocatePlans();
  uint16_t segments = 0;
  CheckXceResult(this, Xce().XdsGetNumSegments(orderHandle_, &segments));
  for (TXdsKeyIndex which : {kiRangeStart, kiRangeEnd}) {
    TXdsKeyBuffer& key = keyBuffers_[which];
    if (!key.modified) {
      continue;
    }
    CheckXceResult(this, Xce().XdsInitRawKey(orderHandle_));
    for (uint16_t s = 1; s <= segments; ++s) {
      char name[129] = {};
      uint16_t nameLength = 128;
      CheckXceResult(this, Xce().XdsGetSegmentFieldname(orderHandle_, s, name, &nameLength));
      uint16_t number = 0;
      CheckXceResult(this, Xce().XdsGetFieldNumber(tableHandle_, name, &number));
      const TXCEFieldDef* def = xceFields_.ByNumber(number);
      if (def == nullptr) {
        continue;
      }
      const uint16_t set = number <= key.lengths.size() ? key.lengths[number - 1u] : kNotSet;
      if (set == kNotSet) {
        if (key.fieldCount == 0) {
          CheckXceResult(this, Xce().XdsSetEmpty(orderHandle_, number));
        }
        continue;
      }
      const uint8_t* bytes = key.image.data() + def->offset;
      if (def->type == XDS_TYPE_STRING) {
        CheckXceResult(this, Xce().XdsSetField(orderHandle_, number, bytes, set));
      } else {
        CheckXceResult(this, Xce().XdsSetFieldRaw(orderHandle_, number, bytes, def->length));
      }
    }
    uint8_t raw[256];
    uint16_t rawLength = sizeof raw;
    CheckXceResult(this, Xce().XdsBuildRawKey(orderHandle_, raw, &rawLength));
    if (key.exclusive && engineTableType_ == XDS_TABLE_XDT) {
      CheckXceResult(this, Xce().XdsStepIndexKey(orderHandle_, raw, rawLength,
                                                 which == kiRangeStart ? 1 : -1));
    }
    CheckXceResult(this, Xce().XdsSetScope(orderHandle_,
                                           which == kiRangeStart ? kScopeTop : kScopeBottom, raw,
                                           rawLength, XDS_KEY_RAW));
    keyBuffers_[which == kiRangeStart ? kiAppliedRangeStart : kiAppliedRangeEnd] = key;
  }
  return true;
}

void TXdsDataSet::ApplyRange() {
  CheckActive();
  if (State() != dsSetKey) {
    CheckBrowseMode();
  }
  (void)ApplyRangeBuffers();
  First();
}

bool TXdsDataSet::CancelRangeBuffers() {
  if (scoped_ ||
      (!keyBuffers_[kiAppliedRangeStart].modified && !keyBuffers_[kiAppliedRangeEnd].modified)) {
    return false;
  }
  ForgetLocatePlans();
  CheckXceResult(this, Xce().XdsClearAllScopes(tableHandle_));
  uint16_t bof = 0;
  uint16_t eof = 0;
  CheckXceResult(this, Xce().XdsAtBOF(orderHandle_, &bof));
  CheckXceResult(this, Xce().XdsAtEOF(orderHandle_, &eof));
  if (bof != 0 && eof != 0) {
    XDSRESULT r = Xce().XdsGotoTop(orderHandle_);
    if (r != xds::kXceNoCurrentRecord) {
      CheckXceResult(this, r);
    }
  }
  ResetKeyBuffer(keyBuffers_[kiAppliedRangeStart]);
  ResetKeyBuffer(keyBuffers_[kiAppliedRangeEnd]);
  return true;
}

void TXdsDataSet::CancelRange() {
  CheckActive();
  CheckBrowseMode();
  UpdateCursorPos();
  if (CancelRangeBuffers()) {
    CursorPosChanged();
    Resync(0);
  }
}
