// The C API edge: Status values become result codes here.
#include <cstring>

#include "xce.h"

extern "C" XDSRESULT XdsGetLastError(int32_t* code, char* text, uint16_t* length) {
  if (code != nullptr) {
    *code = 0;
  }
  if (text != nullptr && length != nullptr && *length > 0) {
    text[0] = '\0';
    *length = 0;
  }
  return 0;
}
