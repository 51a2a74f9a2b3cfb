// A plausible catalogue of any size, the same bytes on every run: sections in
// two levels with Russian names, link types with prefixes, URL records with
// names and descriptions, and their memberships. Benchmarks and screenshots
// are made on it.
#pragma once

#include <cstdint>
#include <string>

#include "xce.h"

namespace catalogue {

struct DemoCounts {
  uint32_t sections = 0;
  uint32_t types = 0;
  uint32_t urls = 0;
  uint32_t memberships = 0;
  uint32_t longAddresses = 0;  // kept whole beside the URL table
};

// What a catalogue of `urls` URL records holds: one section per hundred URL
// records (at least ten), a twentieth of them at the top level, and three
// memberships per URL record on average (one to five each); one URL record
// in 250 has an address longer than the URL field, kept whole.
DemoCounts DemoCountsFor(uint32_t urls);

// Writes the four tables and the table of whole addresses with their tags
// into `dir` (created when missing). Refuses a folder that already holds
// catalogue files (XDS_ERR_EXISTS, with the engine's last error set).
// `progress`, when given, is called now and then with a short text of what
// is being written. `describe`, when given, writes the description of every
// URL record (of URL id `id`, in the program's character set) instead of the
// demo's own short ones, which seven records in ten have; the rest stays as
// it would be.
[[nodiscard]] XDSRESULT WriteDemoCatalogue(const std::string& dir, uint32_t urls,
                                           void (*progress)(const char* step) = nullptr,
                                           std::string (*describe)(uint32_t id) = nullptr);

}  // namespace catalogue
