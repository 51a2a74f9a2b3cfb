// Byte streams: blob values are read and written through them.
#pragma once

#include <cstdint>
#include <string>

class TStream {
 public:
  enum TSeekOrigin { soBeginning, soCurrent, soEnd };

  virtual ~TStream() = default;
  // Copies up to count bytes into buffer; returns how many were copied.
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes count bytes; returns how many were written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position; returns the new position.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size() = 0;

  int64_t Position() { return Seek(0, soCurrent); }
  // The whole content as a string, read from the start.
  std::string ReadAll();
  void WriteString(const std::string& text) {
    Write(text.data(), static_cast<int64_t>(text.size()));
  }
};

// A stream over bytes in memory.
class TMemoryStream : public TStream {
 public:
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }

  void Clear() {
    data_.clear();
    position_ = 0;
  }
  void SetSize(int64_t size);
  const std::string& Data() const { return data_; }
  std::string& Data() { return data_; }

 private:
  std::string data_;
  int64_t position_ = 0;
};
