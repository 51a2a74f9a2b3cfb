// Exceptions of the record-set framework and the framework's own messages.
#pragma once

#include <functional>
#include <string>

#include "exception.h"

// The silent exception: ends an operation without an error box.
class EAbort : public Exception {
 public:
  EAbort() : Exception("Operation aborted") {}
};

// A text that does not convert to the asked type.
class EConvertError : public Exception {
 public:
  using Exception::Exception;
};

// A refusal of the record-set framework or of a dataset kind built on it.
class EDatabaseError : public Exception {
 public:
  using Exception::Exception;
};

// Messages of the framework, in the form the user sees them. Those with %s
// or %d are printf formats.
namespace dbmsg {
inline constexpr const char kDataSetClosed[] = "Cannot perform this operation on a closed dataset";
inline constexpr const char kDataSetOpen[] = "Cannot perform this operation on an open dataset";
inline constexpr const char kDataSetEmpty[] = "Cannot perform this operation on an empty dataset";
inline constexpr const char kNotEditing[] = "Dataset not in edit mode";
inline constexpr const char kDataSetReadOnly[] = "Cannot modify a read-only dataset";
inline constexpr const char kFieldNotFound[] = "Field '%s' not found";
inline constexpr const char kFieldRequired[] = "Field '%s' must have a value";
inline constexpr const char kFieldTypeMismatch[] =
    "Type mismatch for field '%s', expecting: %s actual: %s";
inline constexpr const char kFieldSizeMismatch[] =
    "Size mismatch for field '%s', expecting: %d actual: %d";
inline constexpr const char kFieldReadOnly[] = "Field '%s' cannot be modified";
inline constexpr const char kFieldAccessError[] = "Cannot access field '%s' as type %s";
inline constexpr const char kFieldRangeError[] =
    "%s is not a valid value for field '%s'. The allowed range is %s to %s";
inline constexpr const char kNotCalcField[] =
    "Calculated field '%s' cannot be modified in this state";
inline constexpr const char kLookupInfoError[] = "Lookup information for field '%s' is incomplete";
inline constexpr const char kLookupValueNotFound[] = "Value '%s' not found for lookup field '%s'";
inline constexpr const char kRecordNotFound[] = "Record not found";
inline constexpr const char kBookmarkNotFound[] = "Bookmark not found for this record";
inline constexpr const char kDuplicateFieldName[] = "Duplicate field name '%s'";
inline constexpr const char kInvalidBlobMode[] = "Invalid blob stream mode for field '%s'";
inline constexpr const char kNotBlobField[] = "Field '%s' is not a blob field";
inline constexpr const char kInvalidInteger[] = "'%s' is not a valid integer value";
inline constexpr const char kInvalidFloat[] = "'%s' is not a valid floating point value";
inline constexpr const char kInvalidBoolean[] = "'%s' is not a valid boolean value";
inline constexpr const char kInvalidDate[] = "'%s' is not a valid date";
inline constexpr const char kInvalidDateTime[] = "'%s' is not a valid date and time";
inline constexpr const char kInvalidTime[] = "'%s' is not a valid time";
}  // namespace dbmsg

// printf-style formatting into a std::string.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Raises EDatabaseError with the message prefixed by "Name: " when the
// component name is not empty.
[[noreturn]] void DatabaseError(const std::string& message, const std::string& componentName = {});

// The application's standard exception report (an error box in the program).
// The framework hands it exceptions that must not unwind through it, such as
// one raised by a filter-record handler. Returns false when none is installed.
using TApplicationExceptionHandler = std::function<void(std::exception_ptr)>;
void SetApplicationExceptionHandler(TApplicationExceptionHandler handler);
bool HandleApplicationException(std::exception_ptr error);
