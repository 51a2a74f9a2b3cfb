#include "catalogue/field_text.h"

namespace catalogue {

XDSRESULT ReadFieldText(XDSHANDLE t, uint16_t field, uint16_t options, std::string* out) {
  out->resize(out->capacity() > 512 ? out->capacity() : 512);
  uint32_t length = static_cast<uint32_t>(out->size());
  XDSRESULT r = XdsGetField(t, field, out->data(), &length, options);
  if (r != 0 && length + 1 > out->size()) {
    out->resize(length + 1);
    length = static_cast<uint32_t>(out->size());
    r = XdsGetField(t, field, out->data(), &length, options);
  }
  out->resize(r == 0 ? length : 0);
  return r;
}

}  // namespace catalogue
