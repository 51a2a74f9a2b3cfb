// Table contents as CSV: one line per record, "recno;deleted;field;...".
// Character and memo fields are the hex of their stored bytes (trailing
// blanks kept, an empty memo empty); other fields their plain text form.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

#include "xce.h"

namespace xcetool {

// Writes every record of an open table (opened with ANSI character type so
// that bytes come as stored) in record-number order, or in the order of the
// index handle `order` when one is given. Returns the engine result of the
// first failure, 0 on success.
XDSRESULT DumpCsv(XDSHANDLE table, std::ostream& out, XDSHANDLE order = 0);

// "code: text" of the calling thread's last engine error.
std::string LastErrorText();

}  // namespace xcetool
