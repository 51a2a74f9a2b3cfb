// The engine's result codes pass the API edge unchanged, so each one is the
// code xce.h declares for it; a code changed on one side only fails the build.
#include "cdx/cdx_file.h"
#include "expr/expr.h"
#include "xce.h"
#include "xce/status.h"

namespace xce {

static_assert(kOk == 0);
static_assert(kErrNoBuffer == XDS_ERR_NO_BUFFER);
static_assert(kErrNotCustom == XDS_ERR_NOT_CUSTOM);
static_assert(kErrBadRecordNumber == XDS_ERR_BAD_RECORD_NUMBER);
static_assert(kErrDisconnect == XDS_ERR_DISCONNECT);
static_assert(kErrNoFilter == XDS_ERR_NO_FILTER);
static_assert(kErrNoScope == XDS_ERR_NO_SCOPE);
static_assert(kErrNoKeyPosition == XDS_ERR_NO_KEY_POSITION);
static_assert(kErrNoPermission == XDS_ERR_NO_PERMISSION);
static_assert(kErrStaticView == XDS_ERR_STATIC_VIEW);
static_assert(kErrNoCurrentRecord == XDS_ERR_NO_CURRENT_RECORD);
static_assert(kErrNoUpdatePending == XDS_ERR_NO_UPDATE_PENDING);
static_assert(kErrTableNotFound == XDS_ERR_NOT_FOUND);
static_assert(kErrInvalidHandle == XDS_ERR_INVALID_HANDLE);
static_assert(kErrIo == XDS_ERR_IO);
static_assert(kErrLocked == XDS_ERR_LOCKED);
static_assert(kErrCorrupt == XDS_ERR_CORRUPT);
static_assert(kErrBadArgument == XDS_ERR_BAD_ARGUMENT);
static_assert(kErrReadOnly == XDS_ERR_READ_ONLY);
static_assert(kErrIndexProtected == XDS_ERR_INDEX_PROTECTED);
static_assert(kErrBufferTooSmall == XDS_ERR_BUFFER_TOO_SMALL);
static_assert(kErrNotSupported == XDS_ERR_NOT_SUPPORTED);
static_assert(kErrExclusiveRequired == XDS_ERR_EXCLUSIVE_REQUIRED);
static_assert(kErrNumericOverflow == XDS_ERR_NUMERIC_OVERFLOW);
static_assert(kErrBadFieldNumber == XDS_ERR_BAD_FIELD);
static_assert(kErrAlreadyExists == XDS_ERR_EXISTS);
static_assert(kErrFieldNotWritable == XDS_ERR_FIELD_NOT_WRITABLE);

static_assert(cdx::kErrIndexCorrupt == XDS_ERR_INDEX_CORRUPT);
static_assert(cdx::kErrIndexIo == XDS_ERR_INDEX_IO);
static_assert(cdx::kErrTagNotFound == XDS_ERR_TAG_NOT_FOUND);
static_assert(cdx::kErrTagExists == XDS_ERR_TAG_EXISTS);
static_assert(cdx::kErrBadTagDefinition == XDS_ERR_BAD_TAG_DEFINITION);
static_assert(cdx::kErrIndexReadOnly == XDS_ERR_INDEX_READ_ONLY);
static_assert(cdx::kErrCollation == XDS_ERR_COLLATION);

static_assert(expr::kErrExpression == XDS_ERR_EXPRESSION);

}  // namespace xce
