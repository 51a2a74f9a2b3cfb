#include "xds/xce_calls.h"

// Only addresses: initialised before any code of the program runs.
TXceCalls gXceCalls;
