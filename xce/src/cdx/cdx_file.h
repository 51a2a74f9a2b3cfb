// A compound index file: a tag directory plus one B+tree per tag, all in
// 512-byte pages addressed by byte offset. CdxFile owns the file and a cache
// of decoded pages; CdxTag reads and maintains one tag's tree; TagCursor walks
// a tag in key order in the iterator manner.
//
// Every offset, count and width read from the file is checked before use and
// every walk is bounded by the file's page count, so a damaged file gives an
// error naming the file, never a crash or a hang.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "cdx/cdx_header.h"
#include "cdx/cdx_key.h"
#include "cdx/cdx_node.h"
#include "xce/file.h"
#include "xce/status.h"

namespace xce::cdx {

// Result codes of the index layer.
enum IndexErrorCode : int32_t {
  kErrIndexCorrupt = 6020,      // the file's bytes contradict the format
  kErrIndexIo = 6021,           // reading or writing the file failed
  kErrTagNotFound = 6022,       // no tag of that name
  kErrTagExists = 6023,         // a tag of that name exists already
  kErrBadTagDefinition = 6024,  // name, key length or expression unusable
  kErrIndexReadOnly = 6025,     // the file was opened for reading only
  kErrCollation = 6026,         // a tag was built under another collation
};

// Options byte of a tag header.
enum TagOption : uint8_t {
  kOptUnique = 0x01,
  kOptNullable = 0x02,
  kOptCustom = 0x04,
  kOptHasFor = 0x08,
  kOptCompact = 0x20,
  kOptCompound = 0x40,
  kOptDirectory = 0x80,
};

class KeySorter;
class EntrySink;

// A tag to build: its definition and its entries (any order; the builder
// sorts), given in keys and recnos, by a sorter that gathered them, or by a
// stream that hands them over in order.
struct TagSpec {
  std::string name;  // up to 10 characters, stored in upper case
  std::string keyExpr;
  std::string forExpr;  // empty: every record
  KeyType keyType = KeyType::kCharacter;
  int keyLen = 0;
  bool unique = false;
  bool descending = false;
  bool nullable = false;      // keys carry a leading null mark byte (kept on rebuilds)
  bool sorted = false;        // entries already in (key, recno) order
  std::vector<uint8_t> keys;  // recnos.size() * keyLen bytes
  std::vector<uint32_t> recnos;
  std::shared_ptr<KeySorter> sorter;  // when set, the entries (keys and recnos stay empty)
  // When set, the entries: handed to the sink in (key, recno) order as the
  // tree is written, nothing gathered. A stream that finds its source cannot
  // be trusted sets *trusted false; the tag is then written again from the
  // sorter `gather` fills.
  std::function<Status(EntrySink* sink, bool* trusted)> stream;
  std::function<Status(std::shared_ptr<KeySorter>* sorter)> gather;

  void Add(const uint8_t* key, uint32_t recno) {
    keys.insert(keys.end(), key, key + keyLen);
    recnos.push_back(recno);
  }
};

class CdxFile;
class TagCursor;

class CdxTag {
 public:
  const std::string& name() const { return name_; }
  const std::string& key_expr() const { return keyExpr_; }
  const std::string& for_expr() const { return forExpr_; }
  int key_len() const { return keyLen_; }
  uint8_t options() const { return options_; }
  bool unique() const { return (options_ & kOptUnique) != 0; }
  bool custom() const { return (options_ & kOptCustom) != 0; }
  bool descending() const { return descending_; }
  // The collation name stored in the header; empty or "MACHINE" is byte order.
  const std::string& collation() const { return collation_; }
  bool machine_collation() const { return collation_.empty() || collation_ == "MACHINE"; }
  uint32_t header_offset() const { return headerOffset_; }
  uint32_t root() const { return root_; }
  uint8_t pad() const { return pad_; }
  // The key type decides the pad byte of compact leaves; it follows from the
  // key expression, which this layer does not evaluate. Character by default.
  void SetKeyType(KeyType type);
  CdxFile* file() const { return file_; }

  // Adds (key, recno). A unique tag keeps only the first entry of a key value:
  // *added is false when the key is present already (or the entry exists).
  Status Insert(const uint8_t* key, uint32_t recno, bool* added = nullptr);
  // Adds n entries (keys: n * key_len() bytes) given in ascending (key,
  // recno) order without repeats, in one pass over the tree: each page they
  // reach is read once and written once, cut into as many pages as it then
  // needs, and the pages above take the new pages in the same pass. Entries
  // present already are left as they are. A unique tag takes them one by one
  // (the first holder of a key value keeps it). A failure leaves the tag part
  // changed, as a failed Insert may: the caller's own undo covers it.
  Status InsertSorted(const uint8_t* keys, const uint32_t* recnos, std::size_t n);
  // Keeps (key, recno) back, to be added with the other held entries in one
  // sorted pass (InsertSorted) before the tree is next read or its file
  // flushed: a writer appending many records then pays one pass over the
  // pages they reach instead of a descent and a page write per key. A unique
  // tag adds the entry at once.
  Status Hold(const uint8_t* key, uint32_t recno);
  // Adds the held entries now. They stay held after a failure, so that the
  // next read or flush tries again (an entry present already is skipped).
  Status Settle();
  // Removes (key, recno); *removed is false when the entry is absent.
  Status Delete(const uint8_t* key, uint32_t recno, bool* removed = nullptr);
  // True when the exact entry is present.
  Status Contains(const uint8_t* key, uint32_t recno, bool* found);
  // Number of entries (walks the leaf level once per change of the tag).
  Status Count(uint64_t* n);
  // Lowers every entry's record number by the count of `removed`
  // (ascending) below it, on every page of the tree where one changes, in
  // place: what follows the removal of records from a table whose entries
  // for them are gone already. Damage fails with kErrIndexCorrupt.
  Status Renumber(const std::vector<uint32_t>& removed);

  std::unique_ptr<TagCursor> NewCursor();

  // Bumped by every change of the tree; cursors re-find their entry after one.
  uint64_t version() const { return version_; }

 private:
  friend class CdxFile;
  friend class TagCursor;
  friend class Checker;

  struct PathStep {
    std::shared_ptr<const Node> node;
    int index;
  };
  // Where a descent goes: to the first entry not before the target.
  struct Target {
    enum Mode { kEntry, kPrefixLower, kPrefixUpper } mode;
    const uint8_t* key;
    int len;
    uint32_t recno;
  };
  struct LeafIndex {
    uint64_t version = ~uint64_t{0};
    std::vector<uint32_t> offsets;
    std::vector<uint64_t> before;  // entries in the leaves before each leaf
    std::unordered_map<uint32_t, std::size_t> ordinal;
    uint64_t total = 0;
  };

  CdxTag(CdxFile* file, uint32_t headerOffset) : file_(file), headerOffset_(headerOffset) {}

  static bool Before(const Node& node, int i, const Target& t);
  static int LowerBound(const Node& node, const Target& t);
  // Descends from the root to the leaf where the target belongs.
  Status Descend(const Target& t, std::vector<PathStep>* path);
  // The same for readers that need only the leaf and the entry's index in it.
  Status DescendToLeaf(const Target& t, std::shared_ptr<const Node>* leaf, int* index);
  // Writes a changed node at path depth `depth`: splits it when it overflows,
  // drops it when it emptied, and carries a changed last key up to the parent.
  Status Store(std::vector<PathStep>* path, int depth, Node* node);
  // Store's steps: an emptied page below the root leaves its level and its
  // parent; an overfull page splits, its upper part going to a new page on
  // the right (a new root above a split root).
  Status DropEmptied(std::vector<PathStep>* path, int depth, Node* node);
  Status Split(std::vector<PathStep>* path, int depth, Node* node);
  // Moves the end entry of an overfull interior page at path depth `depth`
  // (> 0) to a neighbour under the same parent that has room, and stores the
  // parent; *moved is false when neither neighbour has room.
  Status ShiftToNeighbour(std::vector<PathStep>* path, int depth, Node* node, bool* moved);
  // Pages that stand where one page stood after a batch reached it, each
  // with its last entry, in key order.
  struct Pieces {
    std::vector<uint8_t> keys;
    std::vector<uint32_t> recnos;
    std::vector<uint32_t> offsets;
    std::size_t size() const { return offsets.size(); }
  };
  struct Batch {
    const uint8_t* keys;
    const uint32_t* recnos;
    // Pages whose left neighbour split: the page that is their left one now.
    std::map<uint32_t, uint32_t> leftOf;
  };
  Status MergeBatch(const uint8_t* keys, const uint32_t* recnos, std::size_t n);
  // Merges batch entries [lo, hi) into the subtree at `offset`.
  Status MergeSubtree(uint32_t offset, int depth, std::size_t lo, std::size_t hi, Batch* b,
                      Pieces* out);
  // Writes a merged page as the pages it needs, the first at its own offset
  // (a new page when `fresh`), linked to each other and to its neighbours.
  Status WriteCut(Node* merged, bool fresh, Batch* b, Pieces* out);
  // Where a merged page is cut: as few pages as hold it, the entries spread
  // evenly over them.
  std::vector<int> Cuts(const Node& node) const;
  Status SetRoot(uint32_t offset);
  Status BuildLeafIndex();

  CdxFile* file_;
  uint32_t headerOffset_;
  std::string name_;
  std::string keyExpr_;
  std::string forExpr_;
  std::string collation_;
  int keyLen_ = 0;
  uint8_t options_ = 0;
  bool descending_ = false;
  uint32_t root_ = 0;
  uint8_t pad_ = 0x20;
  uint64_t version_ = 0;
  LeafIndex leafIndex_;
  std::vector<uint8_t> heldKeys_;
  std::vector<uint32_t> heldRecnos_;
};

class CdxFile {
 public:
  ~CdxFile();
  CdxFile(const CdxFile&) = delete;
  CdxFile& operator=(const CdxFile&) = delete;

  // Opens an existing compound index and reads its directory and tag headers.
  static Status Open(std::unique_ptr<File> file, bool readOnly, std::unique_ptr<CdxFile>* out);
  // Writes a complete new compound index holding `tags` into `file` (which is
  // truncated) and opens it. Each tag's entries are sorted once and its pages
  // written bottom-up as they are completed, tag after tag.
  static Status Create(std::unique_ptr<File> file, std::vector<TagSpec> tags,
                       std::unique_ptr<CdxFile>* out);

  const std::string& path() const { return file_->path(); }
  File* file() const { return file_.get(); }
  bool read_only() const { return readOnly_; }
  // Tags in creation order (ascending header offset).
  int tag_count() const { return static_cast<int>(tags_.size()); }
  CdxTag* tag(int i) const { return tags_[i].get(); }
  // Tag by name, letter case ignored; null when absent.
  CdxTag* FindTag(std::string_view name) const;
  CdxTag* directory() const { return directory_.get(); }

  // Builds a new tag from its entries at the end of the file and enters it
  // into the directory.
  Status AddTag(TagSpec tagSpec, CdxTag** out);
  // Removes a tag from the directory and frees its pages.
  Status DropTag(std::string_view name);

  // Adds the entries each tag holds back (CdxTag::Hold), writes the pages
  // held back (see SetDeferWrites), then the change counter when anything
  // changed since the last flush.
  Status Flush();
  // With `defer`, whole pages written are held in memory until Flush (or
  // until many are held) and reads see them there: a writer that appends
  // many keys then writes each changed page once instead of on every change.
  // The file lags behind the tags until Flush, so only a writer that has the
  // file to itself and keeps it safe by other means (a copy of it, say) asks
  // for this.
  void SetDeferWrites(bool defer) { deferWrites_ = defer; }
  std::size_t held_pages() const { return held_.size(); }
  // Between these, held pages are not written out however many there are:
  // a batch of inserts (CdxTag::InsertSorted) then either completes in memory
  // or stops on a fault of its own, never on a write, and a flush tried
  // again writes the whole of it.
  void BeginBatch();
  Status EndBatch();
  // Pages in the file (the bound of every walk).
  uint32_t page_count() const { return fileEnd_ / kPageSize; }
  uint32_t free_head() const { return freeHead_; }

  // Page access for tags and the checker.
  Status ReadNode(uint32_t offset, int keyLen, uint8_t pad, std::shared_ptr<const Node>* out);
  // Like ReadNode, but the page stays owned by the cache: *out is valid until
  // the next page is read or written.
  Status PeekNode(uint32_t offset, int keyLen, uint8_t pad, const Node** out);
  Status WriteNode(const Node& node, uint8_t pad);
  Status AllocPage(uint32_t* offset);
  Status FreePage(uint32_t offset);
  Status ReadPage(uint32_t offset, uint8_t* page);
  // Writes an encoded page as it stands.
  Status WritePage(uint32_t offset, const uint8_t* page);
  // Writes a 4-byte field of the header at `header` (the file's or a tag's);
  // held back with the pages while writes are deferred.
  Status PatchHeader(uint32_t header, const HeaderPatch& patch);
  bool ValidPageOffset(uint32_t offset) const;
  Status Corrupt(const std::string& what) const;
  Status IoError(const Status& cause) const;
  std::size_t cached_pages() const { return cached_; }
  void ClearCache() {
    cache_.clear();
    cached_ = 0;
  }
  Status CheckWritable() const;

 private:
  CdxFile(std::unique_ptr<File> file, bool readOnly)
      : file_(std::move(file)), readOnly_(readOnly) {}
  Status Load();
  Status LoadTagHeader(CdxTag* tag);
  Status WriteFileHeaderField(const HeaderPatch& patch);
  // A whole page to the file, or held back while writes are deferred.
  Status PutPage(uint32_t offset, const uint8_t* page);
  // Writes the held pages in file order, neighbours in one write each.
  Status WriteHeld();
  const std::shared_ptr<const Node>* CachedNode(uint32_t offset) const;
  void CacheNode(std::shared_ptr<const Node> node);
  void ForgetNode(uint32_t offset);

  std::unique_ptr<File> file_;
  bool readOnly_;
  bool deferWrites_ = false;
  std::map<uint32_t, std::array<uint8_t, kPageSize>> held_;  // by offset
  std::map<uint32_t, std::array<uint8_t, 4>> heldPatches_;   // header fields, by offset
  int batches_ = 0;
  uint32_t fileEnd_ = 0;
  uint32_t freeHead_ = 0;
  uint32_t counter_ = 0;
  bool dirty_ = false;
  std::unique_ptr<CdxTag> directory_;
  std::vector<std::unique_ptr<CdxTag>> tags_;
  // Decoded pages by page number (offset / page size); null where not cached.
  std::vector<std::shared_ptr<const Node>> cache_;
  std::size_t cached_ = 0;
  std::shared_ptr<const Node> peeked_;  // keeps a page PeekNode could not cache
};

// Walks one tag in its order (descending tags backwards), as the entries are
// stored: keys another program left out of byte order are walked past, not
// refused (a seek near them may miss). A cursor whose tag changed under it
// finds its entry again on the next move.
class TagCursor {
 public:
  explicit TagCursor(CdxTag* tag) : tag_(tag) {}

  bool Valid() const { return leaf_ != nullptr && status_.ok(); }
  const Status& status() const { return status_; }
  void SeekToFirst();
  void SeekToLast();
  void Next();
  void Prev();
  // Moves to the first entry, in the tag's order, at or after `key`: the
  // first whose key is >= key in an ascending tag, <= key in a descending one.
  // A partial seek compares only len bytes; a full one pads key to the key
  // length. Returns true when the entry reached matches key.
  bool Seek(const uint8_t* key, int len, bool partial);
  // Moves to the first entry, in the tag's order, beyond every entry whose
  // first len bytes equal key (the end of a scope).
  void SeekPast(const uint8_t* key, int len);
  // True while the tag has not changed since the cursor moved last.
  bool current() const { return version_ == tag_->version(); }
  // Moves in ascending key order whatever the tag's direction.
  void PhysicalFirst() { PhysFirst(); }
  void PhysicalNext() { PhysNext(); }
  void PhysicalPrev() { PhysPrev(); }
  // The first entry in ascending order whose first len bytes are >= key.
  void PhysicalSeek(const uint8_t* key, int len);
  // Moves to the exact entry; false (and the cursor at the next greater entry
  // in ascending order) when it is absent.
  bool SeekEntry(const uint8_t* key, uint32_t recno);
  // REQUIRES: Valid().
  const uint8_t* key() const { return leaf_->key(index_); }
  uint32_t recno() const { return leaf_->recnos[index_]; }
  // The record number `ahead` entries further in the tag's order when that
  // entry lies in the current leaf, else 0. Lets a reader fetch ahead.
  uint32_t PeekRecno(int ahead) const {
    const int i = tag_->descending_ ? index_ - ahead : index_ + ahead;
    return leaf_ != nullptr && i >= 0 && i < leaf_->size() ? leaf_->recnos[i] : 0;
  }
  int key_len() const { return tag_->key_len(); }
  // Position as a fraction from 0 (first in the tag's order) to 1 (last),
  // exact from the per-page key counts. REQUIRES: Valid().
  Status GetRelativePosition(double* fraction);
  // Position counted from 0 in the tag's order, and the tag's entry count.
  Status GetPosition(uint64_t* index, uint64_t* total);
  // Moves to the entry at that fraction; invalid when the tag is empty.
  void SetRelativePosition(double fraction);

 private:
  friend class CdxFile;
  void PhysFirst();
  void PhysLast();
  void PhysNext();
  void PhysPrev();
  // Descends to the leaf for t and settles on the first entry not before it.
  void PhysSeek(const CdxTag::Target& t);
  // Loads the leaf at offset; false (and status or invalid) on failure.
  [[nodiscard]] bool LoadLeaf(uint32_t offset);
  // Steps along the sibling chain until a non-empty leaf; forward or back.
  void SettleForward();
  void SettleBackward();
  // Counts a sibling hop of the current walk; false (and a failed status)
  // once the walk has hopped more often than the file has pages.
  bool CountHop(int direction);
  // After a change of the tag: re-finds the current entry; returns false when
  // the cursor now stands on the entry after it.
  [[nodiscard]] bool Resync();
  void Fail(Status s);
  void Invalidate() { leaf_.reset(); }

  CdxTag* tag_;
  std::shared_ptr<const Node> leaf_;
  int index_ = 0;
  Status status_;
  uint64_t version_ = 0;
  uint32_t hops_ = 0;
  int hopDirection_ = 0;  // 1 forward, -1 back, 0 since the last seek
};

}  // namespace xce::cdx
