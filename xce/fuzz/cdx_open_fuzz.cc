// Fuzzes opening, walking, seeking, checking and changing a compound index
// read from arbitrary bytes: every path must end with a result, never a
// crash, a hang or a read outside a buffer.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "cdx/cdx_check.h"
#include "cdx/cdx_file.h"
#include "cdx/memory_file.h"

using xce::cdx::CdxFile;
using xce::cdx::MemoryFile;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) {
    return 0;
  }
  std::unique_ptr<CdxFile> cdx;
  auto file = std::make_unique<MemoryFile>("fuzz.cdx", std::vector<uint8_t>(data, data + size));
  if (!CdxFile::Open(std::move(file), false, &cdx).ok()) {
    return 0;
  }
  for (int i = 0; i < cdx->tag_count(); ++i) {
    xce::cdx::CdxTag* tag = cdx->tag(i);
    // The first byte picks the key type, so both pad bytes are exercised.
    tag->SetKeyType(size > 0 && (data[0] & 1) ? xce::cdx::KeyType::kNumeric
                                              : xce::cdx::KeyType::kCharacter);
    auto c = tag->NewCursor();
    for (c->SeekToFirst(); c->Valid(); c->Next()) {
    }
    for (c->SeekToLast(); c->Valid(); c->Prev()) {
    }
    std::vector<uint8_t> key(tag->key_len(), 'M');
    c->Seek(key.data(), 1, true);
    double f = 0;
    if (c->Valid()) {
      (void)c->GetRelativePosition(&f);
    }
    c->SetRelativePosition(0.5);
    uint64_t n = 0;
    (void)tag->Count(&n);
  }
  xce::cdx::CheckIndexFile(cdx.get());
  if (cdx->tag_count() > 0) {
    xce::cdx::CdxTag* tag = cdx->tag(0);
    std::vector<uint8_t> key(tag->key_len(), 'K');
    for (uint32_t r = 1; r <= 40; ++r) {
      if (!tag->Insert(key.data(), r).ok()) {
        break;
      }
    }
    (void)tag->Delete(key.data(), 7);
    (void)cdx->DropTag(tag->name());
  }
  return 0;
}
