// Index key encodings: every key is a byte string that sorts correctly under
// plain unsigned byte comparison, so the tree code never needs to know the
// key's type beyond its pad byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace xce::cdx {

// The type a tag's key expression yields; it fixes the key length and the
// byte that fills the end of a short key.
enum class KeyType : uint8_t {
  kCharacter,  // raw bytes, right padded with blanks
  kNumeric,    // order-preserving double (N, F, B, Y and numeric expressions)
  kDate,       // julian day number as an order-preserving double
  kDateTime,   // julian day plus fraction of day as an order-preserving double
  kInteger,    // 4-byte big-endian with the sign bit flipped
  kLogical,    // 'T' or 'F'
};

// The byte that compact leaves leave out at a key's end: blanks for character
// keys, zero bytes for every other key type.
inline uint8_t PadByte(KeyType type) { return type == KeyType::kCharacter ? 0x20 : 0x00; }

// Key length for a non-character type (character keys take the expression width).
int FixedKeyLength(KeyType type);

// Writes the 8 order-preserving bytes of a double; -0 sorts as +0. NaN is
// written as +0 so a damaged record cannot break the tree's order.
void EncodeDouble(double value, uint8_t out[8]);
double DecodeDouble(const uint8_t in[8]);

void EncodeInt32(int32_t value, uint8_t out[4]);
int32_t DecodeInt32(const uint8_t in[4]);

// Julian day number of a civil date (proleptic Gregorian); 2000-01-01 is 2451545.
int64_t JulianDay(int year, int month, int day);

// A character key of the given width: the text, cut or padded with blanks.
void EncodeCharacter(std::string_view text, int width, uint8_t* out);

}  // namespace xce::cdx
