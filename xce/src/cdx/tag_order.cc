// A table's order by one tag (TagOrder), with its scopes, and the handle a
// caller holds on it (IndexHandle).
#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "ascii.h"
#include "cdx/cdx_build.h"
#include "cdx/cdx_check.h"
#include "cdx/table_index.h"
#include "cdx/tag_keys.h"
#include "codepage.h"
#include "in_place_change.h"

namespace xce::cdx {

// ---------------------------------------------------------------- TagOrder

Status TagOrder::ResolveAnew(TableIndexes::Tag** tag) {
  int i = indexes_->FindTag(tagName_);
  if (i < 0) {
    tag_ = nullptr;
    return Status(kErrTagNotFound, "Tag " + tagName_ + " no longer exists");
  }
  tag_ = &indexes_->tag(i);
  cursor_ = tag_->tag->NewCursor();
  generation_ = indexes_->generation();
  *tag = tag_;
  return Status::Ok();
}

void TagOrder::SetScope(int which, std::vector<uint8_t> key) {
  (which == 1 ? top_ : bottom_) = std::move(key);
}

bool TagOrder::ClearScope(int which) {
  auto& s = which == 1 ? top_ : bottom_;
  bool had = s.has_value();
  s.reset();
  return had;
}

bool TagOrder::BetweenScopes(const uint8_t* key) const {
  const int keyLen = tag_->tag->key_len();
  const bool desc = tag_->tag->descending();
  auto cmp = [&](const std::vector<uint8_t>& bound) {
    int n = std::min<int>(static_cast<int>(bound.size()), keyLen);
    return CompareBytes(key, bound.data(), n);
  };
  if (top_ && (desc ? cmp(*top_) > 0 : cmp(*top_) < 0)) {
    return false;
  }
  if (bottom_ && (desc ? cmp(*bottom_) < 0 : cmp(*bottom_) > 0)) {
    return false;
  }
  return true;
}

Status TagOrder::Answer(uint32_t* recno) {
  *recno = 0;
  if (!cursor_->Valid()) {
    return cursor_->status();
  }
  if ((top_ || bottom_) && !InScope(cursor_->key())) {
    return Status::Ok();
  }
  *recno = cursor_->recno();
  return Status::Ok();
}

Status TagOrder::First(Table& t, uint32_t* recno) {
  (void)t;
  TableIndexes::Tag* tag = nullptr;
  XCE_RETURN_IF_ERROR(Resolve(&tag));
  if (top_) {
    cursor_->Seek(top_->data(), static_cast<int>(top_->size()), true);
  } else {
    cursor_->SeekToFirst();
  }
  return Answer(recno);
}

Status TagOrder::Last(Table& t, uint32_t* recno) {
  (void)t;
  TableIndexes::Tag* tag = nullptr;
  XCE_RETURN_IF_ERROR(Resolve(&tag));
  if (bottom_) {
    cursor_->SeekPast(bottom_->data(), static_cast<int>(bottom_->size()));
    if (cursor_->Valid()) {
      cursor_->Prev();
    } else if (cursor_->status().ok()) {
      cursor_->SeekToLast();
    }
  } else {
    cursor_->SeekToLast();
  }
  return Answer(recno);
}

Status TagOrder::PositionOn(Table& t, uint32_t recno, bool* exact) {
  TableIndexes::Tag* tag = nullptr;
  XCE_RETURN_IF_ERROR(Resolve(&tag));
  if (cursor_->Valid() && cursor_->recno() == recno && cursor_->current()) {
    *exact = true;
    return Status::Ok();
  }
  bool included = false;
  XCE_RETURN_IF_ERROR(RecordKey(t, recno, *tag, &included));
  *exact = cursor_->SeekEntry(key_.data(), recno) && included;
  return cursor_->status();
}

namespace {
constexpr int kPrefetchDistance = 8;
}  // namespace

Status TagOrder::Step(Table& t, uint32_t recno, bool forward, uint32_t* out) {
  *out = 0;
  bool exact = false;
  XCE_RETURN_IF_ERROR(PositionOn(t, recno, &exact));
  const bool desc = tag_->tag->descending();
  if (exact) {
    forward ? cursor_->Next() : cursor_->Prev();
    // A walk in key order visits records in no order of the file: ask for the
    // record a few steps ahead now, so that it is at hand when reached.
    if (cursor_->Valid()) {
      t.PrefetchRecord(cursor_->PeekRecno(forward ? kPrefetchDistance : -kPrefetchDistance));
    }
  } else if (forward == desc) {
    // The cursor stands on the entry after the record's place in ascending
    // order: that is the neighbour only in the other direction.
    if (cursor_->Valid()) {
      forward ? cursor_->Next() : cursor_->Prev();
    } else if (cursor_->status().ok()) {
      forward ? cursor_->SeekToFirst() : cursor_->SeekToLast();
    }
  }
  return Answer(out);
}

Status TagOrder::Next(Table& t, uint32_t recno, uint32_t* next) {
  return Step(t, recno, true, next);
}

Status TagOrder::Prev(Table& t, uint32_t recno, uint32_t* prev) {
  return Step(t, recno, false, prev);
}

Status TagOrder::InOrder(Table& t, uint32_t recno, bool* in) {
  *in = true;
  TableIndexes::Tag* tag = nullptr;
  XCE_RETURN_IF_ERROR(Resolve(&tag));
  if (!top_ && !bottom_ && !tag->maker->has_for()) {
    return Status::Ok();
  }
  if (cursor_->Valid() && cursor_->recno() == recno && cursor_->current()) {
    *in = InScope(cursor_->key());
    return Status::Ok();
  }
  bool included = false;
  XCE_RETURN_IF_ERROR(RecordKey(t, recno, *tag, &included));
  *in = included && InScope(key_.data());
  return Status::Ok();
}

Status TagOrder::RecordKey(Table& t, uint32_t recno, const TableIndexes::Tag& tag, bool* included) {
  image_.resize(t.recordLength());
  XCE_RETURN_IF_ERROR(t.ReadRecord(recno, image_.data()));
  key_.resize(tag.tag->key_len());
  return indexes_->KeyOf(indexes_->FindTag(tagName_), image_.data(), recno, key_.data(), included);
}

Status TagOrder::CompareRecords(Table& t, uint32_t a, uint32_t b, int* result) {
  TableIndexes::Tag* tag = nullptr;
  XCE_RETURN_IF_ERROR(Resolve(&tag));
  const int keyLen = tag->tag->key_len();
  const int i = indexes_->FindTag(tagName_);
  std::vector<uint8_t> ka(keyLen), kb(keyLen);
  image_.resize(t.recordLength());
  bool in = false;
  XCE_RETURN_IF_ERROR(t.ReadRecord(a, image_.data()));
  XCE_RETURN_IF_ERROR(indexes_->KeyOf(i, image_.data(), a, ka.data(), &in));
  XCE_RETURN_IF_ERROR(t.ReadRecord(b, image_.data()));
  XCE_RETURN_IF_ERROR(indexes_->KeyOf(i, image_.data(), b, kb.data(), &in));
  int c = CompareBytes(ka.data(), kb.data(), keyLen);
  if (c == 0) {
    c = a < b ? -1 : (a > b ? 1 : 0);
  }
  c = c < 0 ? -1 : (c > 0 ? 1 : 0);
  *result = tag->tag->descending() ? -c : c;
  return Status::Ok();
}

Status TagOrder::CountInScope(Table& t, uint32_t* n) {
  *n = 0;
  uint32_t first = 0;
  XCE_RETURN_IF_ERROR(First(t, &first));
  if (first == 0) {
    return Status::Ok();
  }
  uint64_t from = 0, to = 0, total = 0;
  XCE_RETURN_IF_ERROR(cursor_->GetPosition(&from, &total));
  uint32_t last = 0;
  XCE_RETURN_IF_ERROR(Last(t, &last));
  if (last == 0) {
    return Status::Ok();
  }
  XCE_RETURN_IF_ERROR(cursor_->GetPosition(&to, &total));
  *n = to >= from ? static_cast<uint32_t>(to - from + 1) : 0;
  return Status::Ok();
}

// ---------------------------------------------------------------- IndexHandle

Status IndexHandle::CountInScope(uint32_t* n) { return order_.CountInScope(*table_, n); }

void IndexHandle::InitRawKey() {
  rawImage_.assign(table_->recordLength(), ' ');
  rawLength_.assign(table_->fields().size(), -1);
  rawActive_ = true;
}

Status IndexHandle::SetRawKeyField(uint16_t field, const void* data, uint32_t length, bool text) {
  const FieldInfo* f = nullptr;
  XCE_RETURN_IF_ERROR(table_->CheckField(field, &f));
  uint32_t n = std::min(length, f->length);
  char* at = rawImage_.data() + f->offset;
  std::memcpy(at, data, n);
  std::memset(at + n, ' ', f->length - n);
  if (text && table_->oem()) {
    for (uint32_t i = 0; i < n; ++i) {
      at[i] = static_cast<char>(Cp1251To866(static_cast<unsigned char>(at[i])));
    }
  }
  rawLength_[field - 1] = static_cast<int>(n);
  return Status::Ok();
}

Status IndexHandle::SetRawKeyEmpty(uint16_t field) {
  const FieldInfo* f = nullptr;
  XCE_RETURN_IF_ERROR(table_->CheckField(field, &f));
  std::memset(rawImage_.data() + f->offset, ' ', f->length);
  rawLength_[field - 1] = static_cast<int>(f->length);
  return Status::Ok();
}

Status IndexHandle::BuildRawKey(std::vector<uint8_t>* key) {
  if (!rawActive_) {
    InitRawKey();
  }
  rawActive_ = false;
  TableIndexes::Tag* tag = nullptr;
  XCE_RETURN_IF_ERROR(order_.Resolve(&tag));
  const int keyLen = tag->tag->key_len();
  if (DirectKeys(*tag)) {
    // Read straight off the key's record as a bulk build reads its keys: a
    // search per record of a list builds its key here.
    key->resize(keyLen);
    tag->maker->MakeDirect(rawImage_.data(), key->data());
  } else {
    auto indexes = TableIndexes::Of(*table_);
    if (indexes == nullptr) {
      return Status(kErrTagNotFound, "Table " + table_->path() + " has no indexes");
    }
    key->assign(keyLen, 0);
    bool included = false;
    XCE_RETURN_IF_ERROR(indexes->KeyOf(indexes->FindTag(order_.tag_name()), rawImage_.data(), 0,
                                       key->data(), &included));
  }
  // A key made only of character fields ends where the last field given
  // ends: a value set without its trailing blanks then matches as a prefix.
  std::vector<int> fields;
  if (!tag->maker->CharacterFields(&fields)) {
    return Status::Ok();
  }
  int used = 0;
  for (int field : fields) {
    const FieldInfo* f = nullptr;
    XCE_RETURN_IF_ERROR(table_->CheckField(static_cast<uint16_t>(field + 1), &f));
    if (f->type != 'C') {
      return Status::Ok();
    }
    int set = rawLength_[field];
    if (set < 0) {
      break;
    }
    used += set;
    if (set < static_cast<int>(f->length)) {
      break;
    }
  }
  key->resize(std::min(used, keyLen));
  return Status::Ok();
}

}  // namespace xce::cdx
