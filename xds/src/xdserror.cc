#include "xds/xdserror.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "xds/xce_calls.h"
#include "xds/xdsdata.h"
#include "xds_internal.h"

namespace {

// Set while an EXDSDatabaseError is being built on this thread.
thread_local bool tErrorGuard = false;

constexpr uint16_t kErrorTextSize = 600;

// The engine's last error of this thread; false when even that fails.
bool ReadLastError(int32_t& code, std::string& text) {
  char buffer[kErrorTextSize + 1] = {};
  uint16_t length = kErrorTextSize;
  code = 0;
  if (Xce().XdsGetLastError(&code, buffer, &length) != 0) {
    return false;
  }
  text.assign(buffer, strnlen(buffer, kErrorTextSize));
  return true;
}

// The column an engine text names after the word column: column "NAME".
std::string ColumnNamed(const std::string& message) {
  std::string text = message.substr(0, 900);
  size_t at = text.find("column \"");
  if (at == std::string::npos) {
    return {};
  }
  at += 8;
  size_t end = text.find('"', at);
  return text.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

int32_t NativeErrorCode(const std::string& message) {
  std::string upper = xds::UpperCase(message);
  const std::string key = "NATIVEERROR = ";
  if (upper.find("ERROR 7200:") == std::string::npos) {
    return 0;
  }
  size_t at = upper.find(key);
  if (at == std::string::npos) {
    return 0;
  }
  at += key.size();
  size_t end = upper.find(';', at);
  std::string number = xds::Trim(upper.substr(at, end == std::string::npos ? end : end - at));
  char* stop = nullptr;
  long value = std::strtol(number.c_str(), &stop, 10);
  if (number.empty() || *stop != '\0') {
    throw EConvertError("'" + number + "' is not a valid integer value");
  }
  return static_cast<int32_t>(value);
}

}  // namespace

namespace xds {

std::string UpperCase(std::string text) {
  for (char& c : text) {
    c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return text;
}

bool SameText(const std::string& a, const std::string& b) {
  return a.size() == b.size() && UpperCase(a) == UpperCase(b);
}

std::string Trim(const std::string& text) {
  size_t begin = text.find_first_not_of(' ');
  if (begin == std::string::npos) {
    return {};
  }
  size_t end = text.find_last_not_of(' ');
  return text.substr(begin, end - begin + 1);
}

}  // namespace xds

EXDSDatabaseError::EXDSDatabaseError(const TXdsDataSet* dataSet, const std::string& message,
                                     int32_t code)
    : EDatabaseError("") {
  if (tErrorGuard) {
    return;
  }
  tErrorGuard = true;
  errorCode_ = code;
  try {
    if (dataSet != nullptr) {
      dataSetName_ = dataSet->Name();
      dataSetOwnerName_ = dataSet->OwnerName();
      databaseName_ = dataSet->DatabaseName();
      tableName_ = dataSet->TableName();
      databasePath_ = const_cast<TXdsDataSet*>(dataSet)->TableDirectory();
      if (code >= 5147 && code <= 5149) {
        columnName_ = ColumnNamed(message);
      }
    }
    sqlErrorCode_ = 0;
    sqlErrorCode_ = NativeErrorCode(message);
  } catch (...) {
    // What was gathered stays; the error itself must still be raised.
  }
  SetMessage(dataSetName_.empty() ? message : dataSetName_ + ": " + message);
  tErrorGuard = false;
}

EXDSDatabaseError::~EXDSDatabaseError() { tErrorGuard = false; }

XdsError XdsError::FromLastError() {
  int32_t code = 0;
  std::string text;
  if (!ReadLastError(code, text)) {
    HandleApplicationException(std::make_exception_ptr(Exception("Xds Exception Error")));
    return XdsError("");
  }
  return XdsError(text);
}

bool XdsErrorGuardSet() { return tErrorGuard; }

void CheckXceFailure(const TXdsDataSet* dataSet, XDSRESULT result) {
  if (result == 0 || tErrorGuard) {
    return;
  }
  int32_t code = result;
  std::string text;
  if (!ReadLastError(code, text)) {
    code = result;
  }
  throw EXDSDatabaseError(dataSet, text, code);
}

void RaiseXceError(const TXdsDataSet* dataSet, int32_t code, const std::string& text) {
  Xce().XdsSetLastError(code, text.c_str());
  CheckXceResult(dataSet, code);
  // Only while another error is being built does the check return; this
  // refusal must still end the operation.
  throw EXDSDatabaseError(dataSet, text, code);
}

void XdsDatabaseError(const TXdsDataSet* dataSet, const std::string& message, int32_t code) {
  throw EXDSDatabaseError(dataSet, message, code);
}
