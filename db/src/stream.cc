#include "db/stream.h"

#include <algorithm>
#include <cstring>

std::string TStream::ReadAll() {
  Seek(0, soBeginning);
  std::string result;
  char chunk[4096];
  for (;;) {
    int64_t n = Read(chunk, sizeof chunk);
    if (n <= 0) {
      break;
    }
    result.append(chunk, static_cast<size_t>(n));
  }
  return result;
}

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  int64_t available = static_cast<int64_t>(data_.size()) - position_;
  int64_t n = std::clamp<int64_t>(count, 0, std::max<int64_t>(available, 0));
  if (n > 0) {
    std::memcpy(buffer, data_.data() + position_, static_cast<size_t>(n));
    position_ += n;
  }
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) {
    return 0;
  }
  auto end = static_cast<size_t>(position_ + count);
  if (end > data_.size()) {
    data_.resize(end);
  }
  std::memcpy(data_.data() + position_, buffer, static_cast<size_t>(count));
  position_ += count;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  int64_t base = origin == soBeginning ? 0 : origin == soCurrent ? position_ : Size();
  position_ = std::max<int64_t>(0, base + offset);
  return position_;
}

void TMemoryStream::SetSize(int64_t size) {
  data_.resize(static_cast<size_t>(std::max<int64_t>(size, 0)));
  position_ = std::min(position_, Size());
}
