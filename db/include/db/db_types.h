// Enumerations and small value types shared by datasets, fields and links.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

enum TDataSetState {
  dsInactive,
  dsBrowse,
  dsEdit,
  dsInsert,
  dsSetKey,
  dsCalcFields,
  dsFilter,
  dsNewValue,
  dsOldValue,
  dsCurValue,
  dsBlockRead,
  dsInternalCalc,
};

enum TFieldType {
  ftUnknown,
  ftString,
  ftSmallint,
  ftInteger,
  ftWord,
  ftBoolean,
  ftFloat,
  ftCurrency,
  ftBCD,
  ftDate,
  ftTime,
  ftDateTime,
  ftBytes,
  ftVarBytes,
  ftAutoInc,
  ftBlob,
  ftMemo,
  ftGraphic,
};

// The name of a field type as messages show it ("Float", "SmallInt").
const char* FieldTypeName(TFieldType type);
bool IsBlobType(TFieldType type);

enum TFieldKind { fkData, fkCalculated, fkLookup, fkInternalCalc };

enum TAutoRefreshFlag { arNone, arAutoInc, arDefault };

// Notifications a dataset sends to its data sources and their links.
enum TDataEvent {
  deFieldChange,
  deRecordChange,
  deDataSetChange,
  deDataSetScroll,
  deLayoutChange,
  deUpdateRecord,
  deUpdateState,
  deCheckBrowseMode,
  dePropertyChange,
  deFieldListChange,
  deFocusControl,
};

// Record fetch: what to fetch and how it went.
enum TGetMode { gmCurrent, gmNext, gmPrior };
enum TGetResult { grOK, grBOF, grEOF, grError };

// Where a record buffer stands relative to the stored records.
enum TBookmarkFlag { bfCurrent, bfBOF, bfEOF, bfInserted };

// The decision of an OnEditError, OnPostError or OnDeleteError handler.
enum TDataAction { daFail, daAbort, daRetry };

enum TUpdateKind { ukModify, ukInsert, ukDelete };
enum TUpdateAction { uaFail, uaAbort, uaSkip, uaRetry, uaApplied };

enum TLocateOption { loCaseInsensitive = 1, loPartialKey = 2 };
using TLocateOptions = unsigned;

// Refill options: rmExact fails when the cursor's record is gone, rmCenter
// puts the current record in the middle of the window instead of its row.
enum TResyncMode { rmExact = 1, rmCenter = 2 };
using TResyncModes = unsigned;

enum TBlobStreamMode { bmRead, bmWrite, bmReadWrite };

enum TAlignment { taLeftJustify, taRightJustify, taCenter };

// What a text field holds, for the controls that show and edit it: text,
// where a character the stored code page lacks is written as a numeric
// character reference, or an address, where it is percent-encoded.
enum TTextKind { tkText, tkAddress };

// Date and time values: days since 30 December 1899, time as the fraction.
using TDateTime = double;

// The engine's bookmark bytes; empty means no bookmark.
using TBookmark = std::vector<uint8_t>;

// Days from 1 January of year 1 (that day being 1) to 30 December 1899.
inline constexpr int32_t kDateDelta = 693594;
inline constexpr double kMSecsPerDay = 86400000.0;

// Number and date notation used when values become text and back.
struct TFormatSettings {
  char DecimalSeparator = '.';
  char DateSeparator = '.';
  char TimeSeparator = ':';
  std::string ShortDateFormat = "dd.mm.yyyy";
  std::string LongTimeFormat = "hh:nn:ss";
};
TFormatSettings& FormatSettings();
