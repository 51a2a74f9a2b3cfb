// Reading a field's whole value through the engine's C API, whatever its
// length: the one helper the catalogue's readers share.
#pragma once

#include <string>

#include "xce.h"

namespace catalogue {

// The current record's field as text (the table's code page), with the
// engine's get options (XDS_GET_TRIM to drop trailing blanks). The buffer
// grows to what the value needs and keeps its room for the next call; on a
// failure `out` is left empty.
[[nodiscard]] XDSRESULT ReadFieldText(XDSHANDLE t, uint16_t field, uint16_t options,
                                      std::string* out);

}  // namespace catalogue
