// Locate, Lookup and the find operations.
//
// A search prefers a seek on an index whose key the searched fields cover;
// otherwise it puts an expression built from the search record on the table
// as a temporary optimized filter and goes to the first record of the
// current order, putting the table's own optimized filter and exact setting
// back afterwards whatever happens.

#include <algorithm>
#include <charconv>
#include <cstring>

#include "db/format.h"
#include "xds_internal.h"

namespace {

constexpr char kBuildFilterStringInternal[] = "Internal Error, << BuildFilterString >>";

constexpr XDSRESULT kXceNoIndexCondition = XDS_ERR_NO_BUFFER;  // "there is one": 5005
constexpr XDSRESULT kXceNotCustom = XDS_ERR_NOT_CUSTOM;
constexpr XDSRESULT kXceAofPresent = XDS_ERR_NO_BUFFER;  // asked without a buffer: 5005
constexpr uint16_t kMaxKeySegments = 100;
// A miss goes back to where the search started, so where the engine would
// stop after one does not matter; a hard seek is the one that does not walk
// past every record the filters hide to find that place.
constexpr uint16_t kSeekHard = XDS_SEEK_HARD;
constexpr uint16_t kAofResolveLater = 2;

// Sets a flag for the life of a scope.
class TFlagGuard {
 public:
  explicit TFlagGuard(bool& flag) : flag_(flag), saved_(flag) { flag = true; }
  ~TFlagGuard() { flag_ = saved_; }
  TFlagGuard(const TFlagGuard&) = delete;
  TFlagGuard& operator=(const TFlagGuard&) = delete;

 private:
  bool& flag_;
  bool saved_;
};

// Dates in the one form the engine's ctod reads the same under any settings.
std::string DateText(TDateTime value) {
  int year = 0;
  int month = 0;
  int day = 0;
  DecodeDate(value, year, month, day);
  char text[16];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
  return text;
}

std::string TimeText(TDateTime value) {
  int hour = 0;
  int minute = 0;
  int second = 0;
  int msec = 0;
  DecodeTime(value, hour, minute, second, msec);
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", hour, minute, second, msec);
  return text;
}

// The shortest text that reads back as the same number, with "." whatever
// the decimal separator of the settings is.
std::string NumberText(double value) {
  char text[64];
  auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  return ec == std::errc() ? std::string(text, end) : std::string("0");
}

// A string literal of the engine's expressions: double quotes around, and
// each double quote inside spelled as a concatenated Chr(34).
std::string StringLiteral(const std::string& value) {
  std::string out = "\"";
  for (char c : value) {
    if (c == '"') {
      out += "\"+ Chr(34) + \"";
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace

// Index choices of recent searches. A choice depends on the active order, on
// which tags the table has and on their scopes; ForgetLocatePlans runs where
// those change, and the index generation tells when index files came or went.
struct TXdsLocatePlans {
  struct TPlan {
    XDSHANDLE order;
    std::vector<const TField*> fields;  // field objects live as long as the open table
    XDSHANDLE index;     // 0: the filter path
    std::string lastKeySegment;
  };
  static constexpr size_t kMaxPlans = 8;
  uint32_t generation = 0;
  std::vector<TPlan> plans;
};

void TXdsDataSet::ForgetLocatePlans() {
  if (locatePlans_) {
    locatePlans_->plans.clear();
  }
}

// --- Locate ------------------------------------------------------------------------

bool TXdsDataSet::Locate(const std::string& keyFields, const TVariant& keyValues,
                         TLocateOptions options) {
  TFlagGuard guard(locating_);
  return TDataSet::Locate(keyFields, keyValues, options);
}

std::string TXdsDataSet::BuildFilterString(const std::vector<TField*>& fields,
                                           bool caseInsensitive) {
  if (State() != dsFilter) {
    XdsDatabaseError(this, kBuildFilterStringInternal);
  }
  std::string expression;
  for (TField* field : fields) {
    if (!expression.empty()) {
      expression += " AND ";
    }
    const std::string& name = field->FieldName();
    if (field->IsNull()) {
      expression += "(empty(" + name + "))";
      continue;
    }
    std::string value;
    switch (field->DataType()) {
      case ftBoolean:
        value = field->AsBoolean() ? ".TRUE." : ".FALSE.";
        break;
      case ftDate:
        value = "ctod(\"" + DateText(field->AsDateTime()) + "\")";
        break;
      case ftTime:
        value = "ctot(\"" + TimeText(field->AsDateTime()) + "\")";
        break;
      case ftDateTime:
        value = "ctots(\"" + DateText(field->AsDateTime()) + " " +
                TimeText(field->AsDateTime()) + "\")";
        break;
      case ftFloat:
      case ftCurrency:
      case ftBCD:
        value = NumberText(field->AsFloat());
        break;
      case ftString: {
        value = StringLiteral(field->AsString());
        if (caseInsensitive) {
          expression += "(UPPER(" + name + ")=UPPER(" + value + "))";
          continue;
        }
        break;
      }
      default:
        value = field->AsString();
        break;
    }
    expression += "(" + name + "=" + value + ")";
  }
  return expression;
}

bool TXdsDataSet::IndexMatchesFields(XDSHANDLE index, const std::vector<TField*>& fields) {
  uint16_t count = 0;
  CheckXceResult(this, Xce().XdsGetNumSegments(index, &count));
  count = std::min(count, kMaxKeySegments);
  std::vector<std::string> segments;
  segments.reserve(count);
  for (uint16_t s = 1; s <= count; ++s) {
    char name[129] = {};
    uint16_t length = 128;
    CheckXceResult(this, Xce().XdsGetSegmentFieldname(index, s, name, &length));
    segments.push_back(xds::UpperCase(std::string(name, std::min<uint16_t>(length, 128))));
  }
  std::vector<bool> covered(segments.size(), false);
  size_t highest = 0;
  for (const TField* field : fields) {
    auto at = std::find(segments.begin(), segments.end(), xds::UpperCase(field->FieldName()));
    if (at == segments.end()) {
      return false;
    }
    size_t position = static_cast<size_t>(at - segments.begin());
    covered[position] = true;
    highest = std::max(highest, position);
  }
  // The seek builds a whole key: a segment left out would be sought as an
  // empty value and miss every record that has one, so the fields must cover
  // every segment.
  if (fields.empty() || !std::all_of(covered.begin(), covered.end(), [](bool c) { return c; })) {
    return false;
  }
  lastKeySegment_ = segments[highest];
  return true;
}

bool TXdsDataSet::IsPlainIndex(XDSHANDLE index) {
  for (uint16_t which : {uint16_t{XDS_SCOPE_TOP}, uint16_t{XDS_SCOPE_BOTTOM}}) {
    uint8_t key[256];
    uint16_t length = sizeof key;
    XDSRESULT r = Xce().XdsGetScope(index, which, key, &length);
    if (r == xds::kXceNoScope) {
      continue;
    }
    CheckXceResult(this, r);
    if (length > 0) {
      return false;
    }
  }
  char condition[512];
  uint16_t conditionLength = sizeof condition - 1;
  XDSRESULT r = Xce().XdsGetIndexCondition(index, condition, &conditionLength);
  if (r == kXceNoIndexCondition) {
    return false;
  }
  CheckXceResult(this, r);
  if (conditionLength > 0) {
    return false;
  }
  if (engineTableType_ != XDS_TABLE_XDT) {
    uint16_t unique = 0;
    CheckXceResult(this, Xce().XdsIsIndexUnique(index, &unique));
    if (unique != 0) {
      return false;
    }
  }
  uint16_t custom = 0;
  r = Xce().XdsIsIndexCustom(index, &custom);
  if (r == kXceNotCustom) {
    return true;
  }
  CheckXceResult(this, r);
  return custom == 0;
}

// The index to seek on for the fields; 0 when the search takes the filter
// path.
XDSHANDLE TXdsDataSet::LocateIndex(const std::vector<TField*>& fields, TLocateOptions options) {
  if ((options & loCaseInsensitive) != 0) {
    return 0;
  }
  if (!locatePlans_) {
    locatePlans_ = std::make_shared<TXdsLocatePlans>();
  }
  TXdsLocatePlans& cache = *locatePlans_;
  if (cache.generation != indexGeneration_) {
    cache.plans.clear();
    cache.generation = indexGeneration_;
  }
  for (const TXdsLocatePlans::TPlan& plan : cache.plans) {
    if (plan.order == orderHandle_ &&
        std::equal(plan.fields.begin(), plan.fields.end(), fields.begin(), fields.end())) {
      if (lastKeySegment_ != plan.lastKeySegment) {
        lastKeySegment_ = plan.lastKeySegment;
      }
      return plan.index;
    }
  }
  XDSHANDLE chosen = 0;
  if (indexKind_ != ikNone && !IsPlainIndex(orderHandle_)) {
    // The active index narrows or reshapes what it holds: only it may answer.
    chosen = IndexMatchesFields(orderHandle_, fields) ? orderHandle_ : 0;
  } else {
    XDSHANDLE indexes[kMaxXdsIndexes];
    uint16_t count = kMaxXdsIndexes;
    CheckXceResult(this, Xce().XdsGetAllIndexes(tableHandle_, &count, indexes));
    for (uint16_t i = 0; i < std::min<uint16_t>(count, kMaxXdsIndexes) && chosen == 0; ++i) {
      if (IsPlainIndex(indexes[i]) && IndexMatchesFields(indexes[i], fields)) {
        chosen = indexes[i];
      }
    }
  }
  if (cache.plans.size() >= TXdsLocatePlans::kMaxPlans) {
    cache.plans.erase(cache.plans.begin());
  }
  cache.plans.push_back(
      {orderHandle_, std::vector<const TField*>(fields.begin(), fields.end()), chosen,
       lastKeySegment_});
  return chosen;
}

bool TXdsDataSet::SeekSearchRecord(XDSHANDLE index, const std::vector<TField*>& fields,
                                   TLocateOptions options) {
  const uint8_t* search = Buf(FilterBuffer()).Bytes();
  XDSRESULT r = Xce().XdsInitRawKey(index);
  if (r == XDS_ERR_INVALID_HANDLE) {
    // The engine rebuilt the table's indexes under a remembered choice.
    ForgetLocatePlans();
    index = LocateIndex(fields, options);
    if (index == 0) {
      return FilterSearchRecord(fields, options);
    }
    r = Xce().XdsInitRawKey(index);
  }
  CheckXceResult(this, r);
  for (const TField* field : fields) {
    const TXCEFieldDef* def = xceFields_.ByNumber(field->FieldNo());
    if (def == nullptr) {
      continue;
    }
    const uint8_t* bytes = search + def->offset;
    if (def->type == XDS_TYPE_STRING) {
      uint32_t length = def->length;
      if ((options & loPartialKey) != 0 && xds::UpperCase(def->name) == lastKeySegment_) {
        while (length > 0 && bytes[length - 1] == ' ') {
          --length;
        }
      }
      CheckXceResult(this, Xce().XdsSetField(index, def->number, bytes, length));
    } else {
      CheckXceResult(this, Xce().XdsSetFieldRaw(index, def->number, bytes, def->length));
    }
  }
  uint8_t key[256];
  uint16_t keyLength = sizeof key;
  CheckXceResult(this, Xce().XdsBuildRawKey(index, key, &keyLength));
  uint16_t found = 0;
  CheckXceResult(this, Xce().XdsSeek(index, key, keyLength, XDS_KEY_RAW, kSeekHard, &found));
  return found != 0;
}

// Whether the record the engine stands on may be the result: while Filtered
// is on, Locate lets OnFilterRecord judge it. With mayMoveOn a rejected record
// makes the fetch go on to the next record the engine lets through (under the
// Locate filter: the next match in the current order) and judge that one.
bool TXdsDataSet::AcceptedByFilterRecord(bool mayMoveOn) {
  if (!locating_ || !Filtered() || !OnFilterRecord()) {
    return true;
  }
  uint32_t standing = 0;
  CheckXceResult(this, Xce().XdsGetBookmark(tableHandle_, &standing));
  TRecordBufferPtr buffer = AllocRecordBuffer();
  return FetchRecord(buffer.get(), gmCurrent) == grOK &&
         (mayMoveOn || BufBookmarkRecNo(buffer.get()) == standing);
}

bool TXdsDataSet::FilterSearchRecord(const std::vector<TField*>& fields, TLocateOptions options) {
  std::string expression = BuildFilterString(fields, (options & loCaseInsensitive) != 0);
  bool hadFilter = false;
  std::string previous;
  uint16_t previousExact = 1;
  CheckXceResult(this, Xce().XdsGetExact22(tableHandle_, &previousExact));
  if (options_.XdsOptimizedFilters()) {
    uint16_t length = 0;
    XDSRESULT r = Xce().XdsGetAOF(tableHandle_, nullptr, &length);
    if (r == kXceAofPresent) {
      std::vector<char> text(static_cast<size_t>(length) + 1, '\0');
      uint16_t room = static_cast<uint16_t>(std::min<size_t>(text.size(), 0xFFFF));
      CheckXceResult(this, Xce().XdsGetAOF(tableHandle_, text.data(), &room));
      previous.assign(text.data(), std::min<size_t>(room, length));
      hadFilter = true;
      expression += " AND (" + previous + ")";
    } else if (r != xds::kXceNoFilter) {
      CheckXceResult(this, r);
    }
  }
  // What was in force before goes back whatever happened; after a failure
  // the first failure is the one reported.
  auto restore = [&](bool report) {
    XDSRESULT r = hadFilter ? Xce().XdsSetAOF(tableHandle_, previous.c_str(), kAofResolveLater)
                            : Xce().XdsClearAOF(tableHandle_);
    if (!hadFilter && r == xds::kXceNoFilter) {
      r = 0;
    }
    XDSRESULT e = Xce().XdsSetExact22(tableHandle_, previousExact);
    if (report) {
      CheckXceResult(this, r != 0 ? r : e);
    }
  };
  bool found = false;
  try {
    CheckXceResult(this,
                   Xce().XdsSetExact22(tableHandle_, (options & loPartialKey) != 0 ? 0 : 1));
    CheckXceResult(this, Xce().XdsSetAOF(tableHandle_, expression.c_str(), kAofResolveLater));
    XDSRESULT r = Xce().XdsGotoTop(orderHandle_);
    if (r != xds::kXceNoCurrentRecord) {
      CheckXceResult(this, r);
    }
    uint16_t eof = 0;
    CheckXceResult(this, Xce().XdsAtEOF(orderHandle_, &eof));
    found = eof == 0 && AcceptedByFilterRecord(true);
  } catch (...) {
    restore(false);
    throw;
  }
  restore(true);
  return found;
}

bool TXdsDataSet::LocateSearchRecord(const std::vector<TField*>& fields, TLocateOptions options) {
  uint32_t noted = 0;
  CheckXceResult(this, Xce().XdsGetBookmark(tableHandle_, &noted));
  bool found = false;
  const XDSHANDLE index = LocateIndex(fields, options);
  if (index != 0) {
    found = SeekSearchRecord(index, fields, options);
    // A seek knows nothing of OnFilterRecord; when the handler turns its
    // record down, the search goes on through the matches in the current
    // order as the filter path walks them.
    if (found && !AcceptedByFilterRecord(false)) {
      found = FilterSearchRecord(fields, options);
    }
  } else {
    found = FilterSearchRecord(fields, options);
  }
  if (!found) {
    XDSRESULT r = Xce().XdsGotoBookmark(tableHandle_, noted);
    if (r != xds::kXceBadRecordNumber) {
      CheckXceResult(this, r);
    }
  }
  return found;
}

// --- Find operations ----------------------------------------------------------------

bool TXdsDataSet::FindFirst() { return FindRecord(true, true); }
bool TXdsDataSet::FindLast() { return FindRecord(true, false); }
bool TXdsDataSet::FindNext() { return FindRecord(false, true); }
bool TXdsDataSet::FindPrior() { return FindRecord(false, false); }

bool TXdsDataSet::FindRecord(bool restart, bool goForward) {
  CheckActive();
  CheckBrowseMode();
  DoBeforeScroll();
  SetFound(false);
  UpdateCursorPos();
  // The Filter text counts for the move even while the dataset is not
  // filtered.
  const bool borrowFilter = !Filtered();
  if (borrowFilter) {
    ActivateFilter();
  }
  uint16_t atEnd = 0;
  try {
    XDSRESULT r = 0;
    if (goForward) {
      r = restart ? Xce().XdsGotoTop(orderHandle_) : Xce().XdsSkip(orderHandle_, 1);
    } else {
      r = restart ? Xce().XdsGotoBottom(orderHandle_) : Xce().XdsSkip(orderHandle_, -1);
    }
    CursorPosChanged();
    if (r != xds::kXceNoCurrentRecord) {
      CheckXceResult(this, r);
    }
    CheckXceResult(this, goForward ? Xce().XdsAtEOF(orderHandle_, &atEnd)
                                   : Xce().XdsAtBOF(orderHandle_, &atEnd));
  } catch (...) {
    if (borrowFilter) {
      try {
        DeactivateFilter();
      } catch (...) {
      }
    }
    throw;
  }
  if (borrowFilter) {
    DeactivateFilter();
  }
  if (atEnd == 0) {
    Resync(rmExact | rmCenter);
    SetFound(true);
    DoAfterScroll();
  }
  return Found();
}
