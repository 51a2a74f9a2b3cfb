/* The client engine's C API. Every function returns a 32-bit result, 0 on
   success; on failure XdsGetLastError gives the code and an English text.
   Handles are 32-bit, 0 is none. */
#ifndef XCE_H_
#define XCE_H_

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef int32_t XDSRESULT;
typedef uint32_t XDSHANDLE;

/* Errors */
XDSRESULT XdsGetLastError(int32_t* code, char* text, uint16_t* length);

#ifdef __cplusplus
}
#endif

#endif /* XCE_H_ */
