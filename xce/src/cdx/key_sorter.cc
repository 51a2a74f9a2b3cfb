#include "cdx/key_sorter.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "cdx/cdx_build.h"
#include "cdx/cdx_node.h"

namespace xce::cdx {

namespace {

std::atomic<std::size_t> gSortMemory{kDefaultSortMemory};

// Eight key bytes from `from` as a big-endian integer (zeros past the key).
uint64_t Prefix8(const uint8_t* key, int keyLen, int from = 0) {
  if (std::endian::native == std::endian::little && from + 8 <= keyLen) {
    uint64_t v;
    std::memcpy(&v, key + from, 8);
    return __builtin_bswap64(v);
  }
  uint64_t v = 0;
  for (int i = from; i < from + 8; ++i) {
    v = (v << 8) | (i < keyLen ? key[i] : 0);
  }
  return v;
}

// An entry while sorting: the first sixteen key bytes as two big-endian
// integers decide most comparisons without touching the key array.
struct SortItem {
  uint64_t prefix;
  uint64_t prefix2;
  uint32_t recno;
  uint32_t index;
};

uint8_t PrefixByte(const SortItem& item, int depth) {
  const uint64_t v = depth < 8 ? item.prefix : item.prefix2;
  return static_cast<uint8_t>(v >> (56 - 8 * (depth & 7)));
}

// Below this many entries a group is finished by comparison.
constexpr std::size_t kRadixCutoff = 64;

// Items [first, first + count) that share their first `depth` prefix bytes.
struct SortGroup {
  std::size_t first;
  std::size_t count;
  int depth;
};

template <typename Less>
void SortBuckets(SortItem* a, SortItem* tmp, const std::size_t* start, const std::size_t* count,
                 int depth, int maxDepth, const Less& less, std::vector<SortGroup>* groups,
                 std::size_t shareLimit);

// Most significant byte first: distributes items [0, n) by the prefix byte at
// `depth` into groups, then each group by the next byte, up to `maxDepth`
// bytes; small groups and groups whose prefix bytes are all equal are
// finished by `less`, which compares the whole key and the record number.
// `tmp` has room for n items. With `groups`, groups of at most `shareLimit`
// items are handed back unsorted, for the caller to share out; larger ones
// are split further first, so that no one group holds most of the work.
template <typename Less>
void RadixSort(SortItem* a, SortItem* tmp, std::size_t n, int depth, int maxDepth,
               const Less& less, std::vector<SortGroup>* groups, std::size_t shareLimit = 0) {
  if (n <= kRadixCutoff) {
    std::sort(a, a + n, less);
    return;
  }
  // Bytes every item has alike are passed over: one pass finds the first
  // byte that differs, from the bits where the union and the intersection of
  // the prefixes disagree.
  uint64_t any1 = 0, all1 = ~uint64_t{0}, any2 = 0, all2 = ~uint64_t{0};
  for (std::size_t i = 0; i < n; ++i) {
    any1 |= a[i].prefix;
    all1 &= a[i].prefix;
    any2 |= a[i].prefix2;
    all2 &= a[i].prefix2;
  }
  const SortItem differ{any1 ^ all1, any2 ^ all2, 0, 0};
  while (depth < maxDepth && PrefixByte(differ, depth) == 0) {
    ++depth;
  }
  if (depth >= maxDepth) {
    // Alike in every prefix byte: often a run of one key, already in record
    // order, since distributing keeps the order items came in.
    if (!std::is_sorted(a, a + n, less)) {
      std::sort(a, a + n, less);
    }
    return;
  }
  std::size_t count[256] = {};
  for (std::size_t i = 0; i < n; ++i) {
    ++count[PrefixByte(a[i], depth)];
  }
  std::size_t start[256];
  std::size_t at = 0;
  for (int b = 0; b < 256; ++b) {
    start[b] = at;
    at += count[b];
  }
  std::size_t next[256];
  std::memcpy(next, start, sizeof next);
  for (std::size_t i = 0; i < n; ++i) {
    tmp[next[PrefixByte(a[i], depth)]++] = a[i];
  }
  std::memcpy(a, tmp, n * sizeof(SortItem));
  SortBuckets(a, tmp, start, count, depth, maxDepth, less, groups, shareLimit);
}

// The groups one distribution made, by the byte after `depth`: sorted here,
// or (with `groups`) split while larger than `shareLimit` and handed back.
template <typename Less>
void SortBuckets(SortItem* a, SortItem* tmp, const std::size_t* start, const std::size_t* count,
                 int depth, int maxDepth, const Less& less, std::vector<SortGroup>* groups,
                 std::size_t shareLimit) {
  for (int b = 0; b < 256; ++b) {
    if (count[b] < 2) {
      continue;
    }
    if (groups == nullptr) {
      RadixSort(a + start[b], tmp + start[b], count[b], depth + 1, maxDepth, less, nullptr);
    } else if (count[b] > shareLimit) {
      std::vector<SortGroup> inner;
      RadixSort(a + start[b], tmp + start[b], count[b], depth + 1, maxDepth, less, &inner,
                shareLimit);
      for (SortGroup g : inner) {
        g.first += start[b];
        groups->push_back(g);
      }
    } else {
      groups->push_back({start[b], count[b], depth + 1});
    }
  }
}

// The first distribution of a large sort on both cores: each takes half of
// the items (keeping their order, so runs already in record order stay so),
// finds where the prefixes differ, counts and places its half; the
// distributed groups are then handed back as RadixSort hands them back.
template <typename Less>
void SharedRadixSort(SortItem* a, SortItem* tmp, std::size_t n, int maxDepth, const Less& less,
                     std::vector<SortGroup>* groups, std::size_t shareLimit) {
  struct Half {
    std::size_t first, end;
    uint64_t any1 = 0, all1 = ~uint64_t{0}, any2 = 0, all2 = ~uint64_t{0};
    std::size_t count[256] = {};
    std::size_t next[256];
  };
  Half halves[2];
  halves[0].first = 0;
  halves[0].end = halves[1].first = n / 2;
  halves[1].end = n;
  ParallelFor(2, [&](std::size_t h) {
    Half& half = halves[h];
    for (std::size_t i = half.first; i < half.end; ++i) {
      half.any1 |= a[i].prefix;
      half.all1 &= a[i].prefix;
      half.any2 |= a[i].prefix2;
      half.all2 &= a[i].prefix2;
    }
  });
  const SortItem differ{(halves[0].any1 | halves[1].any1) ^ (halves[0].all1 & halves[1].all1),
                        (halves[0].any2 | halves[1].any2) ^ (halves[0].all2 & halves[1].all2), 0,
                        0};
  int depth = 0;
  while (depth < maxDepth && PrefixByte(differ, depth) == 0) {
    ++depth;
  }
  if (depth >= maxDepth) {
    RadixSort(a, tmp, n, depth, maxDepth, less, groups, shareLimit);
    return;
  }
  ParallelFor(2, [&](std::size_t h) {
    Half& half = halves[h];
    for (std::size_t i = half.first; i < half.end; ++i) {
      ++half.count[PrefixByte(a[i], depth)];
    }
  });
  std::size_t start[256];
  std::size_t count[256];
  std::size_t at = 0;
  for (int b = 0; b < 256; ++b) {
    start[b] = at;
    halves[0].next[b] = at;
    halves[1].next[b] = at + halves[0].count[b];
    count[b] = halves[0].count[b] + halves[1].count[b];
    at += count[b];
  }
  ParallelFor(2, [&](std::size_t h) {
    Half& half = halves[h];
    for (std::size_t i = half.first; i < half.end; ++i) {
      tmp[half.next[PrefixByte(a[i], depth)]++] = a[i];
    }
  });
  ParallelFor(2, [&](std::size_t h) {
    std::memcpy(a + halves[h].first, tmp + halves[h].first,
                (halves[h].end - halves[h].first) * sizeof(SortItem));
  });
  SortBuckets(a, tmp, start, count, depth, maxDepth, less, groups, shareLimit);
}

// Passes every entry, or for a unique tag only the first of each key value
// (entries come in key order); the last key kept is held by value, since a
// sorted buffer's key pointers last only until the next key is asked for.
class UniqueFilter {
 public:
  UniqueFilter(bool unique, int keyLen)
      : unique_(unique), keyLen_(static_cast<std::size_t>(keyLen)) {
    if (unique) {
      prev_.resize(keyLen_);
    }
  }
  bool Keep(const uint8_t* key) {
    if (!unique_) {
      return true;
    }
    if (any_ && std::memcmp(prev_.data(), key, keyLen_) == 0) {
      return false;
    }
    std::memcpy(prev_.data(), key, keyLen_);
    any_ = true;
    return true;
  }

 private:
  bool unique_;
  std::size_t keyLen_;
  bool any_ = false;
  std::vector<uint8_t> prev_;
};

// Bytes read from a run at a time, at most.
constexpr std::size_t kRunReadBytes = 64 << 10;
// Bytes gathered before a run is written.
constexpr std::size_t kRunWriteBytes = 256 << 10;

}  // namespace

std::size_t SortMemory() { return gSortMemory.load(std::memory_order_relaxed); }

void SetSortMemory(std::size_t bytes) {
  gSortMemory.store(std::max(bytes, kMinSortMemory), std::memory_order_relaxed);
}

std::size_t BufferEntries(std::size_t budget, uint64_t count, const std::vector<int>& keyLens) {
  std::size_t perEntry = kSortScratchPerEntry;
  for (int keyLen : keyLens) {
    perEntry += static_cast<std::size_t>(keyLen) + sizeof(uint32_t);
  }
  const std::size_t fit = std::max<std::size_t>(budget / perEntry, 1);
  return count <= fit ? static_cast<std::size_t>(std::max<uint64_t>(count, 1)) : fit;
}

// The buffer in (key, recno) order. Sorting goes through items that carry
// the first sixteen key bytes, so most comparisons never touch the keys;
// keys that fit in those bytes are given back from the items, which are read
// in order, instead of gathered from all over the buffer. Entries given in
// order are taken as they are.
class KeySorter::Sorted {
 public:
  Sorted(const uint8_t* keys, const uint32_t* recnos, std::size_t n, int keyLen, bool presorted)
      : keys_(keys), recnos_(recnos), n_(n), keyLen_(keyLen), presorted_(presorted),
        inlineKeys_(!presorted && keyLen <= 16) {
    if (!presorted) {
      Sort();
    }
  }
  std::size_t size() const { return n_; }
  // Entry i's key; valid until the next call.
  const uint8_t* key(std::size_t i) {
    if (inlineKeys_) {
      PutBe64(held_, items_[i].prefix);
      PutBe64(held_ + 8, items_[i].prefix2);
      return held_;
    }
    return keys_ + (presorted_ ? i : std::size_t{items_[i].index}) * keyLen_;
  }
  uint32_t recno(std::size_t i) const { return presorted_ ? recnos_[i] : items_[i].recno; }
  // Asks for the key of entry i ahead of its turn (reads all over the buffer).
  void Prefetch(std::size_t i) const {
    if (!presorted_ && !inlineKeys_ && i < n_) {
      __builtin_prefetch(keys_ + std::size_t{items_[i].index} * keyLen_);
    }
  }

 private:
  void Sort();

  const uint8_t* keys_;
  const uint32_t* recnos_;
  std::size_t n_;
  int keyLen_;
  bool presorted_;
  bool inlineKeys_;
  BulkVector<SortItem> items_;
  uint8_t held_[16];
};

void KeySorter::Sorted::Sort() {
  const int keyLen = keyLen_;
  const std::size_t n = n_;
  const uint8_t* keys = keys_;
  const bool shared = n >= (1u << 16) && Cores() >= 2;
  items_.resize(n);  // left unwritten: every item is set below
  ParallelFor(shared ? 2 : 1, [&](std::size_t h) {
    const std::size_t from = h == 0 ? 0 : n / 2;
    const std::size_t to = h == 0 && shared ? n / 2 : n;
    for (std::size_t i = from; i < to; ++i) {
      const uint8_t* key = keys + i * keyLen;
      items_[i] = {Prefix8(key, keyLen), keyLen > 8 ? Prefix8(key, keyLen, 8) : 0, recnos_[i],
                   static_cast<uint32_t>(i)};
    }
  });
  auto less = [keys, keyLen](const SortItem& a, const SortItem& b) {
    if (a.prefix != b.prefix) {
      return a.prefix < b.prefix;
    }
    if (a.prefix2 != b.prefix2) {
      return a.prefix2 < b.prefix2;
    }
    if (keyLen > 16) {
      const int c = std::memcmp(keys + std::size_t{a.index} * keyLen + 16,
                                keys + std::size_t{b.index} * keyLen + 16, keyLen - 16);
      if (c != 0) {
        return c < 0;
      }
    }
    return a.recno < b.recno;
  };
  if (n == 0) {
    return;
  }
  BulkVector<SortItem> tmp(n);
  const int maxDepth = std::min(keyLen, 16);
  std::vector<SortGroup> groups;
  if (shared) {
    SharedRadixSort(items_.data(), tmp.data(), n, maxDepth, less, &groups, n / 16);
  } else {
    RadixSort(items_.data(), tmp.data(), n, 0, maxDepth, less, nullptr);
  }
  // The groups are independent: both cores take them in turn, largest first.
  std::sort(groups.begin(), groups.end(),
            [](const SortGroup& x, const SortGroup& y) { return x.count > y.count; });
  ParallelFor(groups.size(), [&](std::size_t i) {
    const SortGroup& g = groups[i];
    RadixSort(items_.data() + g.first, tmp.data() + g.first, g.count, g.depth, maxDepth, less,
              nullptr);
  });
}

KeySorter::KeySorter(int keyLen, bool unique, bool presorted, std::size_t capacity,
                     ScratchPlace place)
    : keyLen_(keyLen),
      unique_(unique),
      presorted_(presorted),
      capacity_(std::max<std::size_t>(capacity, 1)),
      place_(std::move(place)) {
  if (place_.fs != nullptr) {
    // Reserved, not touched: memory is taken as entries arrive.
    keys_.reserve(capacity_ * static_cast<std::size_t>(keyLen_));
    recnos_.reserve(capacity_);
  }
}

KeySorter::~KeySorter() = default;

void KeySorter::Adopt(std::vector<uint8_t> keys, std::vector<uint32_t> recnos) {
  keys_.assign(keys.begin(), keys.end());
  recnos_.assign(recnos.begin(), recnos.end());
}

void KeySorter::Clear() {
  keys_.clear();
  recnos_.clear();
  runs_.clear();
  scratch_.reset();
  scratchEnd_ = 0;
}

Status KeySorter::Spill() {
  if (recnos_.empty()) {
    return Status::Ok();
  }
  if (scratch_ == nullptr) {
    XCE_RETURN_IF_ERROR(place_.fs->OpenTemporary(place_.dir, &scratch_));
  }
  const std::size_t width = static_cast<std::size_t>(keyLen_) + 4;
  Sorted sorted(keys_.data(), recnos_.data(), recnos_.size(), keyLen_, presorted_);
  std::vector<uint8_t> out(std::min(kRunWriteBytes, sorted.size() * width) + width);
  std::size_t used = 0;
  const uint64_t first = scratchEnd_;
  uint64_t count = 0;
  UniqueFilter unique(unique_, keyLen_);
  constexpr std::size_t kAhead = 16;
  for (std::size_t i = 0; i < sorted.size(); ++i) {
    sorted.Prefetch(i + kAhead);
    const uint8_t* key = sorted.key(i);
    if (!unique.Keep(key)) {
      continue;
    }
    std::memcpy(out.data() + used, key, static_cast<std::size_t>(keyLen_));
    PutLe32(out.data() + used + keyLen_, sorted.recno(i));
    used += width;
    ++count;
    if (used >= kRunWriteBytes) {
      XCE_RETURN_IF_ERROR(scratch_->WriteAt(scratchEnd_, out.data(), used));
      scratchEnd_ += used;
      used = 0;
    }
  }
  if (used > 0) {
    XCE_RETURN_IF_ERROR(scratch_->WriteAt(scratchEnd_, out.data(), used));
    scratchEnd_ += used;
  }
  runs_.push_back({first, count});
  keys_.clear();
  recnos_.clear();
  return Status::Ok();
}

namespace {

// Entries handed from one thread to the other at a time.
constexpr std::size_t kPipelineBlock = 8192;

}  // namespace

PipelinedSink::PipelinedSink(EntrySink* target, int keyLen)
    : target_(target), keyLen_(static_cast<std::size_t>(keyLen)) {
  for (Block& b : blocks_) {
    b.keys.resize(kPipelineBlock * keyLen_);
    b.recnos.resize(kPipelineBlock);
  }
  consumer_ = std::thread([this] { Consume(); });
}

PipelinedSink::~PipelinedSink() { (void)Finish(); }

Status PipelinedSink::Put(const uint8_t* key, uint32_t recno) {
  Block& b = blocks_[filling_];
  std::memcpy(b.keys.data() + b.n * keyLen_, key, keyLen_);
  b.recnos[b.n] = recno;
  if (++b.n == kPipelineBlock) {
    return HandOver();
  }
  return Status::Ok();
}

Status PipelinedSink::Finish() {
  if (consumer_.joinable()) {
    (void)HandOver();
    {
      std::lock_guard<std::mutex> lock(mu_);
      done_ = true;
    }
    cv_.notify_all();
    consumer_.join();
  }
  std::lock_guard<std::mutex> lock(mu_);
  return failure_;
}

Status PipelinedSink::HandOver() {
  std::unique_lock<std::mutex> lock(mu_);
  cv_.wait(lock, [this] { return !busy_; });
  if (!failure_.ok()) {
    blocks_[filling_].n = 0;
    return failure_;  // the producer stops at the target's first failure
  }
  if (blocks_[filling_].n > 0) {
    consuming_ = filling_;
    filling_ ^= 1;
    busy_ = true;
    lock.unlock();
    cv_.notify_all();
  }
  return Status::Ok();
}

void PipelinedSink::Consume() {
  std::unique_lock<std::mutex> lock(mu_);
  for (;;) {
    cv_.wait(lock, [this] { return busy_ || done_; });
    if (!busy_) {
      return;
    }
    Block& b = blocks_[consuming_];
    lock.unlock();
    Status s;
    for (std::size_t i = 0; s.ok() && i < b.n; ++i) {
      s = target_->Put(b.keys.data() + i * keyLen_, b.recnos[i]);
    }
    b.n = 0;
    lock.lock();
    if (!s.ok() && failure_.ok()) {
      failure_ = std::move(s);
    }
    busy_ = false;
    cv_.notify_all();
  }
}

Status KeySorter::Drain(EntrySink* sink) {
  uint64_t total = recnos_.size();
  for (const Run& run : runs_) {
    total += run.count;
  }
  if (total < kPipelineMinEntries || Cores() < 2) {
    return DrainTo(sink);
  }
  PipelinedSink pipe(sink, keyLen_);
  Status s = DrainTo(&pipe);
  Status consumed = pipe.Finish();
  return s.ok() ? consumed : s;
}

Status KeySorter::DrainTo(EntrySink* sink) {
  Status s;
  {
    Sorted last(keys_.data(), recnos_.data(), recnos_.size(), keyLen_, presorted_);
    if (!runs_.empty()) {
      s = Merge(&last, sink);
    } else {
      constexpr std::size_t kAhead = 16;
      UniqueFilter unique(unique_, keyLen_);
      for (std::size_t i = 0; s.ok() && i < last.size(); ++i) {
        last.Prefetch(i + kAhead);
        const uint8_t* key = last.key(i);
        if (unique.Keep(key)) {
          s = sink->Put(key, last.recno(i));
        }
      }
    }
  }
  keys_ = {};
  recnos_ = {};
  Clear();
  return s;
}

namespace {

// One input of the merge: a run on the scratch file, read in slices, or the
// buffer's sorted entries. `key` is its current entry; its first sixteen
// bytes are compared first, since keys of numbers kept as text often share
// their first eight.
struct MergeSource {
  const uint8_t* key = nullptr;
  uint64_t head = 0;
  uint64_t head2 = 0;
  uint32_t recno = 0;
  // Runs: what is left on disk, and the slice read from it.
  uint64_t offset = 0;
  uint64_t left = 0;
  std::vector<uint8_t> slice;
  std::size_t at = 0;
  std::size_t held = 0;
  std::size_t index = 0;  // the buffer: next entry

  void Take(const uint8_t* entry, uint32_t entryRecno, int keyLen) {
    key = entry;
    head = Prefix8(entry, keyLen);
    head2 = keyLen > 8 ? Prefix8(entry, keyLen, 8) : 0;
    recno = entryRecno;
  }
};

// Moves a run to its next entry, reading the next slice of at most `slice`
// entries when the one held is used up; false in *has when the run is done.
Status NextFromRun(File& scratch, int keyLen, std::size_t slice, MergeSource& src, bool* has) {
  const std::size_t width = static_cast<std::size_t>(keyLen) + 4;
  if (src.at == src.held) {
    if (src.left == 0) {
      *has = false;
      return Status::Ok();
    }
    const std::size_t n = static_cast<std::size_t>(std::min<uint64_t>(src.left, slice));
    std::size_t got = 0;
    XCE_RETURN_IF_ERROR(scratch.ReadAt(src.offset, src.slice.data(), n * width, &got));
    if (got != n * width) {
      return Status(kErrIo, "Scratch file " + scratch.path() + " came back short");
    }
    src.offset += n * width;
    src.left -= n;
    src.at = 0;
    src.held = n;
  }
  const uint8_t* p = src.slice.data() + src.at * width;
  src.Take(p, Le32(p + keyLen), keyLen);
  ++src.at;
  *has = true;
  return Status::Ok();
}

// The merge heap's order: the greater entry sinks, so the smallest key (and
// among equal keys the lowest record number) comes out first.
bool MergeGreater(const MergeSource& x, const MergeSource& y, int keyLen) {
  if (x.head != y.head) {
    return x.head > y.head;
  }
  if (x.head2 != y.head2) {
    return x.head2 > y.head2;
  }
  const int c = keyLen > 16 ? std::memcmp(x.key + 16, y.key + 16, keyLen - 16) : 0;
  return c != 0 ? c > 0 : x.recno > y.recno;
}

}  // namespace

Status KeySorter::Merge(Sorted* last, EntrySink* sink) {
  // One source per run plus the buffer; each run is read in slices small
  // enough that all slices together stay within what the buffer was allowed.
  const std::size_t width = static_cast<std::size_t>(keyLen_) + 4;
  const std::size_t allowed = capacity_ * (width + kSortScratchPerEntry) / 2;
  const std::size_t slice =
      std::clamp(allowed / runs_.size() / width, std::size_t{1}, kRunReadBytes / width);
  std::vector<MergeSource> sources(runs_.size() + 1);
  for (std::size_t i = 0; i < runs_.size(); ++i) {
    sources[i].offset = runs_[i].offset;
    sources[i].left = runs_[i].count;
    sources[i].slice.resize(slice * width);
  }
  const std::size_t mem = runs_.size();
  // Moves source i to its next entry; false when it has none.
  auto advance = [&](std::size_t i, bool* has) -> Status {
    MergeSource& src = sources[i];
    if (i != mem) {
      return NextFromRun(*scratch_, keyLen_, slice, src, has);
    }
    *has = src.index < last->size();
    if (*has) {
      last->Prefetch(src.index + 16);
      src.Take(last->key(src.index), last->recno(src.index), keyLen_);
      ++src.index;
    }
    return Status::Ok();
  };
  auto greater = [&](std::size_t a, std::size_t b) {
    return MergeGreater(sources[a], sources[b], keyLen_);
  };
  std::vector<std::size_t> heap;
  for (std::size_t i = 0; i < sources.size(); ++i) {
    bool has = false;
    XCE_RETURN_IF_ERROR(advance(i, &has));
    if (has) {
      heap.push_back(i);
    }
  }
  std::make_heap(heap.begin(), heap.end(), greater);
  UniqueFilter unique(unique_, keyLen_);
  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), greater);
    const std::size_t i = heap.back();
    const MergeSource& src = sources[i];
    if (unique.Keep(src.key)) {
      XCE_RETURN_IF_ERROR(sink->Put(src.key, src.recno));
    }
    bool has = false;
    XCE_RETURN_IF_ERROR(advance(i, &has));
    if (has) {
      std::push_heap(heap.begin(), heap.end(), greater);
    } else {
      heap.pop_back();
    }
  }
  return Status::Ok();
}

}  // namespace xce::cdx
