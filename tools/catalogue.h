// The catalogue's four empty tables, as a first run needs them.
#pragma once

#include <string>

#include "xce.h"

namespace xcetool {

// Creates TEM.dbf, TYPE.DBF, URLIN.DBF and urls.DBF (with urls.FPT) in the
// connection's directory. Stops at the first failure and returns its result.
XDSRESULT CreateCatalogue(XDSHANDLE connection);

}  // namespace xcetool
