#include "cdx/cdx_header.h"

#include <algorithm>
#include <cstring>

#include "byte_order.h"

namespace xce::cdx {
namespace {

std::string PoolText(const uint8_t* pool, uint32_t start, uint32_t len) {
  std::string out;
  for (uint32_t i = start; i < kTagHeaderPoolSize && i < start + len; ++i) {
    if (pool[i] == 0) {
      break;
    }
    out.push_back(static_cast<char>(pool[i]));
  }
  return out;
}

}  // namespace

bool EncodeHeader(const HeaderFields& h, uint8_t* out) {
  std::memset(out, 0, kTagHeaderSize);
  if (h.keyExpr.size() + h.forExpr.size() + 2 > kTagHeaderPoolSize) {
    return false;
  }
  PutLe32(out + kTagHeaderRoot, h.root);
  PutLe32(out + kTagHeaderFreeHead, h.freeHead);
  PutBe32(out + kTagHeaderCounter, h.counter);
  PutLe16(out + kTagHeaderKeyLen, static_cast<uint16_t>(h.keyLen));
  out[kTagHeaderOptions] = h.options;
  out[kTagHeaderSignature] = kTagHeaderSignatureByte;
  std::memcpy(out + kTagHeaderCollation, h.collation.data(),
              std::min<std::size_t>(h.collation.size(), kTagHeaderCollationSize));
  PutLe16(out + kTagHeaderDescending, h.descending ? 1 : 0);
  const auto keyLen = static_cast<uint16_t>(h.keyExpr.size() + 1);
  PutLe16(out + kTagHeaderForStart, keyLen);
  PutLe16(out + kTagHeaderForLength, static_cast<uint16_t>(h.forExpr.size() + 1));
  PutLe16(out + kTagHeaderKeyStart, 0);
  PutLe16(out + kTagHeaderKeyLength, keyLen);
  std::memcpy(out + kTagHeaderPool, h.keyExpr.data(), h.keyExpr.size());
  std::memcpy(out + kTagHeaderPool + keyLen, h.forExpr.data(), h.forExpr.size());
  return true;
}

HeaderFields DecodeHeader(const uint8_t* in) {
  HeaderFields h;
  h.root = Le32(in + kTagHeaderRoot);
  h.freeHead = Le32(in + kTagHeaderFreeHead);
  h.counter = Be32(in + kTagHeaderCounter);
  h.keyLen = Le16(in + kTagHeaderKeyLen);
  h.options = in[kTagHeaderOptions];
  for (uint32_t i = 0; i < kTagHeaderCollationSize && in[kTagHeaderCollation + i] != 0; ++i) {
    h.collation.push_back(static_cast<char>(in[kTagHeaderCollation + i]));
  }
  h.descending = Le16(in + kTagHeaderDescending) != 0;
  const uint8_t* pool = in + kTagHeaderPool;
  h.forExpr = PoolText(pool, Le16(in + kTagHeaderForStart), Le16(in + kTagHeaderForLength));
  h.keyExpr = PoolText(pool, Le16(in + kTagHeaderKeyStart), Le16(in + kTagHeaderKeyLength));
  return h;
}

HeaderPatch RootPatch(uint32_t root) {
  HeaderPatch p;
  p.offset = kTagHeaderRoot;
  PutLe32(p.bytes, root);
  return p;
}

HeaderPatch FreeHeadPatch(uint32_t freeHead) {
  HeaderPatch p;
  p.offset = kTagHeaderFreeHead;
  PutLe32(p.bytes, freeHead);
  return p;
}

HeaderPatch CounterPatch(uint32_t counter) {
  HeaderPatch p;
  p.offset = kTagHeaderCounter;
  PutBe32(p.bytes, counter);
  return p;
}

}  // namespace xce::cdx
