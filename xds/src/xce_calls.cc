#include "xds/xce_calls.h"

TXceCalls& Xce() {
  static TXceCalls calls;
  return calls;
}
