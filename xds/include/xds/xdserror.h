// The table layer's exceptions and the check that turns a failed engine call
// into one of them.
#pragma once

#include <cstdint>
#include <string>

#include "db/db_error.h"
#include "xce.h"

class TXdsDataSet;

// Code of the layer's own refusals.
inline constexpr int32_t kXdsLayerError = 5121;
// Code the engine's last error is set to when a field or table refuses a
// write for lack of permission.
inline constexpr int32_t kXdsPermissionError = XDS_ERR_NO_PERMISSION;  // 5054

// A failure of the engine, or a refusal of the layer, concerning a dataset or
// none. The message is the dataset's Name, ": " and the text, or the text
// alone without a dataset.
class EXDSDatabaseError : public EDatabaseError {
 public:
  // Builds the error; while another one is being built on this thread it is
  // left empty (message and fields), which keeps error reporting from
  // recursing.
  EXDSDatabaseError(const TXdsDataSet* dataSet, const std::string& message, int32_t code);
  ~EXDSDatabaseError() override;
  EXDSDatabaseError(const EXDSDatabaseError&) = default;
  EXDSDatabaseError& operator=(const EXDSDatabaseError&) = default;

  int32_t ErrorCode() const { return errorCode_; }
  int32_t SQLErrorCode() const { return sqlErrorCode_; }
  const std::string& DataSetName() const { return dataSetName_; }
  const std::string& DataSetOwnerName() const { return dataSetOwnerName_; }
  const std::string& DatabaseName() const { return databaseName_; }
  const std::string& DatabasePath() const { return databasePath_; }
  const std::string& TableName() const { return tableName_; }
  const std::string& ColumnName() const { return columnName_; }

 private:
  int32_t errorCode_ = 0;
  int32_t sqlErrorCode_ = 0;
  std::string dataSetName_;
  std::string dataSetOwnerName_;
  std::string databaseName_;
  std::string databasePath_;
  std::string tableName_;
  std::string columnName_;
};

// The runtime's refusal of a whole number outside the range an operation
// accepts (a negative record number).
class ERangeError : public Exception {
 public:
  ERangeError() : Exception("Range check error") {}
};

// An engine failure without a dataset (disconnecting): the engine's text.
class XdsError : public Exception {
 public:
  using Exception::Exception;
  // The text of the engine's last error; empty when even that cannot be read.
  static XdsError FromLastError();
};

// A refusal of the connection component.
class XdsConnectionError : public Exception {
 public:
  using Exception::Exception;
};

// True while an EXDSDatabaseError is being built on this thread.
bool XdsErrorGuardSet();

// Returns when result is 0 or an error is already being built on this
// thread; otherwise raises EXDSDatabaseError with the engine's last error
// code and text, concerning dataSet (may be null).
void CheckXceFailure(const TXdsDataSet* dataSet, XDSRESULT result);
// Every engine call of the layer goes through it: success costs a compare.
inline void CheckXceResult(const TXdsDataSet* dataSet, XDSRESULT result) {
  if (result != 0) {
    CheckXceFailure(dataSet, result);
  }
}

// Sets the engine's last error to code and text and raises it through
// CheckXceResult: for refusals the engine would make itself (permissions).
[[noreturn]] void RaiseXceError(const TXdsDataSet* dataSet, int32_t code, const std::string& text);

// The layer's own refusal: code 5121 with message, concerning dataSet.
[[noreturn]] void XdsDatabaseError(const TXdsDataSet* dataSet, const std::string& message,
                                   int32_t code = kXdsLayerError);

// Messages of the layer.
namespace xdsmsg {
inline constexpr const char kTableMustNotBeActive[] = "Table must not be Active.";
inline constexpr const char kTableAlreadyOpen[] = "Table is already open.";
inline constexpr const char kMissingTableName[] = "Missing TableName property";
inline constexpr const char kNoDatabase[] =
    "One of the DatabaseName property or the XdsConnection property must have a value.";
inline constexpr const char kInvalidConnectionHandle[] =
    "Internal Error: invalid connection handle.";
inline constexpr const char kTableTypeAlias[] =
    "The table type must remain identical to the table type associated with the alias.";
inline constexpr const char kBatchMove[] = "The method BatchMove in TXdsDataSet is not supported.";
inline constexpr const char kRenameTable[] =
    "The method RenameTable in TXdsDataSet is not supported.";
inline constexpr const char kUpdateStatus[] =
    "The method UpdateStatus in TXdsDataSet is not supported.";
inline constexpr const char kNumericOutOfRange[] = "Numeric out of range.";
inline constexpr const char kDateFunctions[] = "Something's wrong with XDS date functions";
inline constexpr const char kUpdatePermissionField[] =
    "Update permission not granted on this field: ";
inline constexpr const char kInsertPermissionField[] =
    "Insert permission not granted on this field: ";
inline constexpr const char kIndexFilesOwner[] = "TXdsIndexFiles instances require a non-nil owner";

inline constexpr const char kConnectPathConnected[] =
    "The TXdsConnection.ConnectPath may not be changed when IsConnected is TRUE";
inline constexpr const char kAliasNameConnected[] =
    "The TXdsConnection.AliasName may not be changed when IsConnected is TRUE";
inline constexpr const char kAliasNotValid[] = "TXdsConnection.AliasName is not valid";
inline constexpr const char kNoConnectPath[] =
    "Must specify connection string before getting a server connection.";
inline constexpr const char kNoServerConnection[] = "No connection to the database server.";
inline constexpr const char kServerNameNotConnected[] =
    "Must be connected to get the database server name.";

// Editing and blob streams.
inline constexpr const char kInsertPermissionTable[] = "Insert permission not granted on this table.";
inline constexpr const char kUpdatePermissionTable[] = "Update permission not granted on this table.";
inline constexpr const char kStaticView[] =
    "This table is based on a static VIEW. Static VIEWs can not be updated.";
inline constexpr const char kDefaultValue[] = "Error setting default field value. (";
inline constexpr const char kDefaultOutOfRange[] = "Numeric out of range:";
inline constexpr const char kInternalAddRecord[] = "Unexpected error in InternalAddRecord.";
inline constexpr const char kBlobWriteState[] =
    "Table must be in Edit or Insert state to open blob stream in Write Mode.";
inline constexpr const char kInvalidBlobOpen[] = "Invalid blob open on non-blob field.";
inline constexpr const char kReadOnlyBlob[] = "Error modifying read only blob.";
inline constexpr const char kBlobNoCache[] = "Cannot write to blob in current state.";
}  // namespace xdsmsg
