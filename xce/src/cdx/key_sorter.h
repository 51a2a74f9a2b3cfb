// Sorting one tag's entries for a bulk build within a memory budget. Entries
// are gathered in a buffer of a fixed number of entries; a full buffer is
// sorted and written out as a run to a scratch file in the table's folder;
// at the end the runs and what is still buffered are merged into the tree
// builder. A buffer that never filled is sorted in memory and handed on
// without touching a disk.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cdx/bulk_memory.h"
#include "xce/file.h"
#include "xce/status.h"

namespace xce::cdx {

// Where sorted entries go: the tree builder, or a test.
class EntrySink {
 public:
  virtual ~EntrySink() = default;
  virtual Status Put(const uint8_t* key, uint32_t recno) = 0;
};

// Below this many entries a drain runs on one thread.
constexpr uint64_t kPipelineMinEntries = uint64_t{1} << 16;

// Takes entries on the calling thread and gives them to `target` on a
// thread of its own, a block at a time, so that producing the entries
// (gathering keys, merging runs, walking an old tag) and consuming them
// (filling the tree's pages) run on both cores. One block fills while the
// other is consumed; entries reach the target in the order they were put.
class PipelinedSink : public EntrySink {
 public:
  PipelinedSink(EntrySink* target, int keyLen);
  ~PipelinedSink() override;
  PipelinedSink(const PipelinedSink&) = delete;
  PipelinedSink& operator=(const PipelinedSink&) = delete;

  Status Put(const uint8_t* key, uint32_t recno) override;
  // Hands over what is left and waits for the target; its first failure.
  Status Finish();

 private:
  struct Block {
    std::vector<uint8_t> keys;
    std::vector<uint32_t> recnos;
    std::size_t n = 0;
  };
  // Gives the filled block to the consumer once it is free, and fills the other.
  Status HandOver();
  void Consume();

  EntrySink* target_;
  std::size_t keyLen_;
  Block blocks_[2];
  int filling_ = 0;
  int consuming_ = 1;
  std::mutex mu_;
  std::condition_variable cv_;
  bool busy_ = false;  // the consumer holds blocks_[consuming_]
  bool done_ = false;
  Status failure_;
  std::thread consumer_;
};

// Memory that bulk builds may use for sorting, for every table of the
// process: bytes, never below kMinSortMemory.
constexpr std::size_t kDefaultSortMemory = std::size_t{128} << 20;
constexpr std::size_t kMinSortMemory = 1024;
std::size_t SortMemory();
void SetSortMemory(std::size_t bytes);

// Bytes of sorting work space per buffered entry, besides the entry itself.
constexpr std::size_t kSortScratchPerEntry = 48;

// Entries per buffer when tags of these key lengths are built together from
// `count` records within `budget` bytes: every tag gets the same number, so
// all buffers together and the work space to sort one of them fit. `count`
// when everything fits (nothing goes to disk).
std::size_t BufferEntries(std::size_t budget, uint64_t count, const std::vector<int>& keyLens);

// Where a sorter may put its runs: a file system and the table's folder.
struct ScratchPlace {
  FileSystem* fs = nullptr;
  std::string dir;
};

class KeySorter {
 public:
  // Up to `capacity` entries are buffered; without a scratch place (fs null)
  // the buffer grows as needed and nothing goes to disk. A unique tag keeps
  // the first record of each key value. `presorted`: entries come in (key,
  // recno) order already and are never sorted.
  KeySorter(int keyLen, bool unique, bool presorted, std::size_t capacity, ScratchPlace place);
  ~KeySorter();
  KeySorter(const KeySorter&) = delete;
  KeySorter& operator=(const KeySorter&) = delete;

  int key_len() const { return keyLen_; }
  std::size_t buffered() const { return recnos_.size(); }
  std::size_t capacity() const { return capacity_; }
  // Runs written to disk so far.
  std::size_t runs() const { return runs_.size(); }
  // True when `more` entries would not fit the buffer: Spill first.
  bool MustSpill(std::size_t more) const {
    return place_.fs != nullptr && !recnos_.empty() && recnos_.size() + more > capacity_;
  }

  // Adds an entry to the buffer. REQUIRES: !MustSpill(1).
  void Add(const uint8_t* key, uint32_t recno) {
    keys_.insert(keys_.end(), key, key + keyLen_);
    recnos_.push_back(recno);
  }
  // Makes room for n more entries and tells where their keys and record
  // numbers go; the caller fills them (from any threads) before the sorter
  // is used again. REQUIRES: !MustSpill(n).
  void Extend(std::size_t n, uint8_t** keys, uint32_t** recnos) {
    const std::size_t had = recnos_.size();
    keys_.resize((had + n) * static_cast<std::size_t>(keyLen_));
    recnos_.resize(had + n);
    *keys = keys_.data() + had * static_cast<std::size_t>(keyLen_);
    *recnos = recnos_.data() + had;
  }
  // Takes entries gathered elsewhere as the buffer (no budget applies).
  void Adopt(std::vector<uint8_t> keys, std::vector<uint32_t> recnos);
  // Sorts the buffer and writes it to the scratch file as one run.
  Status Spill();
  // Drops every entry and run (the tag is to be built another way).
  void Clear();
  // Hands every entry to `sink` in (key, recno) order and frees the memory;
  // a large drain feeds the sink from a thread of its own while this one
  // produces the entries.
  Status Drain(EntrySink* sink);

 private:
  struct Run {
    uint64_t offset;
    uint64_t count;
  };
  class Sorted;
  Status DrainTo(EntrySink* sink);
  Status Merge(Sorted* last, EntrySink* sink);

  int keyLen_;
  bool unique_;
  bool presorted_;
  std::size_t capacity_;
  ScratchPlace place_;
  BulkVector<uint8_t> keys_;
  BulkVector<uint32_t> recnos_;
  std::unique_ptr<File> scratch_;
  uint64_t scratchEnd_ = 0;
  std::vector<Run> runs_;
};

}  // namespace xce::cdx
