// The 1024-byte header of a compound index: the file header (which also
// heads the tag directory) and every tag's header share one layout. Its
// offsets are named here once and read and written only through this codec.
// Layout described in docs/formats.md, "CDX headers".
#pragma once

#include <cstdint>
#include <string>

#include "cdx/cdx_page.h"

namespace xce::cdx {

constexpr uint32_t kTagHeaderSize = 2 * kPageSize;
constexpr uint32_t kTagHeaderRoot = 0;        // LE32
constexpr uint32_t kTagHeaderFreeHead = 4;    // LE32, file header only
constexpr uint32_t kTagHeaderCounter = 8;     // BE32, file header only
constexpr uint32_t kTagHeaderKeyLen = 12;     // LE16
constexpr uint32_t kTagHeaderOptions = 14;
constexpr uint32_t kTagHeaderSignature = 15;
constexpr uint32_t kTagHeaderCollation = 494;  // ASCII, NUL padded
constexpr uint32_t kTagHeaderCollationSize = 8;
constexpr uint32_t kTagHeaderDescending = 502;  // LE16, 1 = descending
constexpr uint32_t kTagHeaderForStart = 504;    // LE16, inside the pool
constexpr uint32_t kTagHeaderForLength = 506;   // LE16, NUL included
constexpr uint32_t kTagHeaderKeyStart = 508;    // LE16, inside the pool
constexpr uint32_t kTagHeaderKeyLength = 510;   // LE16, NUL included
constexpr uint32_t kTagHeaderPool = kPageSize;  // expression texts
constexpr uint32_t kTagHeaderPoolSize = kPageSize;
constexpr uint8_t kTagHeaderSignatureByte = 0x01;

// Fields of a 1024-byte header (the file header or a tag header).
struct HeaderFields {
  uint32_t root = 0;
  uint32_t freeHead = 0;
  uint32_t counter = 0;
  int keyLen = 0;
  uint8_t options = 0;
  bool descending = false;
  std::string collation;  // as stored, up to the first NUL
  std::string keyExpr;
  std::string forExpr;
  bool directory = false;
};

// Writes all kTagHeaderSize bytes of `out`: the key expression first in the
// pool, the FOR expression after it, zeros elsewhere. False when the
// expressions do not fit the pool.
[[nodiscard]] bool EncodeHeader(const HeaderFields& h, uint8_t* out);
// Reads kTagHeaderSize bytes. Expressions are read at whatever pool
// positions are stored, and end at their NUL, their length or the pool's end.
HeaderFields DecodeHeader(const uint8_t* in);

// A 4-byte header field rewritten in place: where it lies inside the header
// and its bytes.
struct HeaderPatch {
  uint32_t offset = 0;
  uint8_t bytes[4] = {0, 0, 0, 0};
};
HeaderPatch RootPatch(uint32_t root);
HeaderPatch FreeHeadPatch(uint32_t freeHead);
HeaderPatch CounterPatch(uint32_t counter);

}  // namespace xce::cdx
