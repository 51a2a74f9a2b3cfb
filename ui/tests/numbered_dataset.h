// A read-only dataset of any number of records made up on the fly (record n
// has ID n and URL "http://site<n>.example/"), counting every record fetch:
// the grid's reading can be watched over a million records without holding
// them anywhere.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>

#include "db/dataset.h"

class TNumberedDataSet : public TDataSet {
 public:
  explicit TNumberedDataSet(int count) : count_(count) {
    SetName("Numbered");
    FieldDefs().Add("ID", ftInteger);
    FieldDefs().Add("URL", ftString, 40);
  }
  ~TNumberedDataSet() override { CloseWithoutEvents(); }

  int FetchCount() const { return fetches_; }
  void ResetFetchCount() { fetches_ = 0; }
  bool CanModify() const override { return false; }

  bool GetFieldData(const TField& field, void* dest) const override {
    const auto* b = static_cast<const Buffer*>(StateBuffer());
    if (b == nullptr || b->rec < 1) {
      return false;
    }
    if (field.FieldNo() == 1) {
      int32_t value = b->rec;
      if (dest != nullptr) {
        std::memcpy(dest, &value, sizeof value);
      }
      return true;
    }
    if (field.FieldNo() == 2) {
      std::string text = "http://site" + std::to_string(b->rec) + ".example/";
      if (dest != nullptr) {
        auto* out = static_cast<char*>(dest);
        size_t n = std::min(text.size(), static_cast<size_t>(field.Size()));
        std::memcpy(out, text.data(), n);
        out[n] = '\0';
      }
      return true;
    }
    return false;
  }
  void SetFieldData(TField&, const void*) override { Error(dbmsg::kDataSetReadOnly); }

  void SetRecNo(int value) override {
    CheckBrowseMode();
    DoBeforeScroll();
    pos_ = std::clamp(value, 1, count_);
    CursorPosChanged();
    Resync(rmCenter);
    DoAfterScroll();
  }

 protected:
  struct Buffer : TRecordBuffer {
    int rec = -1;
    TBookmarkFlag flag = bfCurrent;
  };

  TRecordBufferPtr AllocRecordBuffer() override { return std::make_unique<Buffer>(); }
  void InternalInitRecord(TRecordBuffer* buffer) override {
    *static_cast<Buffer*>(buffer) = Buffer();
  }
  TGetResult GetRecord(TRecordBuffer* buffer, TGetMode mode, bool) override {
    ++fetches_;
    if (mode == gmNext && pos_ <= count_) {
      ++pos_;
    } else if (mode == gmPrior && pos_ >= 1) {
      --pos_;
    }
    if (pos_ > count_) {
      return grEOF;
    }
    if (pos_ < 1) {
      return grBOF;
    }
    auto* b = static_cast<Buffer*>(buffer);
    b->rec = pos_;
    b->flag = bfCurrent;
    return grOK;
  }
  void InternalFirst() override { pos_ = 0; }
  void InternalLast() override { pos_ = count_ + 1; }
  void InternalSetToRecord(TRecordBuffer* buffer) override {
    pos_ = static_cast<Buffer*>(buffer)->rec;
  }
  void InternalGotoBookmark(const TBookmark& bookmark) override {
    if (bookmark.size() == sizeof(int32_t)) {
      std::memcpy(&pos_, bookmark.data(), sizeof(int32_t));
    }
  }
  void GetBookmarkData(const TRecordBuffer* buffer, TBookmark& data) const override {
    int32_t rec = static_cast<const Buffer*>(buffer)->rec;
    data.resize(sizeof rec);
    std::memcpy(data.data(), &rec, sizeof rec);
  }
  void SetBookmarkData(TRecordBuffer* buffer, const TBookmark& data) override {
    if (data.size() == sizeof(int32_t)) {
      std::memcpy(&static_cast<Buffer*>(buffer)->rec, data.data(), sizeof(int32_t));
    }
  }
  TBookmarkFlag GetBookmarkFlag(const TRecordBuffer* buffer) const override {
    return static_cast<const Buffer*>(buffer)->flag;
  }
  void SetBookmarkFlag(TRecordBuffer* buffer, TBookmarkFlag flag) override {
    static_cast<Buffer*>(buffer)->flag = flag;
  }
  int GetRecNo() const override {
    const auto* b = static_cast<const Buffer*>(ActiveBuffer());
    return b != nullptr ? b->rec : -1;
  }
  int GetRecordCount() const override { return count_; }
  void InternalOpen() override {
    CreateAndBindFields();
    pos_ = 0;
    open_ = true;
  }
  void InternalClose() override { open_ = false; }
  bool IsCursorOpen() const override { return open_; }
  void InternalPost() override { Error(dbmsg::kDataSetReadOnly); }
  void InternalDelete() override { Error(dbmsg::kDataSetReadOnly); }

 private:
  int count_;
  int pos_ = 0;
  int fetches_ = 0;
  bool open_ = false;
};
