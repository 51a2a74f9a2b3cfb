#include "cdx/table_index.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "ascii.h"
#include "cdx/cdx_build.h"
#include "cdx/cdx_check.h"
#include "codepage.h"
#include "in_place_change.h"

namespace xce::cdx {

namespace {

constexpr uint8_t kNullableMark = 0x80;  // first key byte of a non-null nullable key
constexpr uint32_t kBuildChunk = 4096;   // records read per batch when building

}  // namespace


namespace {

bool Nullable(const CdxTag* tag) { return (tag->options() & kOptNullable) != 0; }

// Keys a bulk build reads straight off the record images: every record is
// in the tag and no field of the key can be null.
bool DirectKeys(const KeyMaker& maker, bool nullable) {
  return !nullable && !maker.has_for() && maker.direct();
}
bool DirectKeys(const TableIndexes::Tag& t) { return DirectKeys(*t.maker, Nullable(t.tag)); }

// The table's nullable fields that a key expression reads.
std::vector<uint16_t> NullableFieldsOf(const Table& table, const KeyMaker& maker) {
  std::vector<uint16_t> out;
  for (const std::string& name : maker.key_expr().FieldNames()) {
    const uint16_t number = table.FieldNumber(name);
    if (number > 0 && table.fields()[number - 1].nullBit >= 0) {
      out.push_back(number);
    }
  }
  return out;
}

// The stored key of a record in a nullable tag: all zeros for a null value
// (so it sorts first), else the non-null mark and the value's key.
Status MakeNullableKey(const Table& table, const KeyMaker& maker,
                       const std::vector<uint16_t>& nullable, const expr::ExprSource& src,
                       uint8_t* key, bool* included) {
  const char* image = src.RecordImage();
  for (uint16_t number : nullable) {
    if (image != nullptr && FieldIsNull(table.fields()[number - 1], image)) {
      *included = true;
      std::memset(key, 0, static_cast<std::size_t>(maker.key_len()) + 1);
      // The FOR condition still decides whether the record is in the tag.
      if (maker.has_for()) {
        uint8_t scratch[kMaxKeyLength];
        return maker.Make(src, scratch, included);
      }
      return Status::Ok();
    }
  }
  key[0] = kNullableMark;
  return maker.Make(src, key + 1, included);
}

}  // namespace

// ---------------------------------------------------------------- RecordSource

RecordSource::RecordSource(const Table& table)
    : codePage_(table.oem() ? CodePage::kCp866 : CodePage::kCp1251) {
  for (const FieldInfo& f : table.fields()) {
    expr::FieldInfo e;
    e.name = f.name;
    e.type = f.type == '@' ? 'T' : f.type;
    e.offset = f.offset;
    e.length = static_cast<uint16_t>(f.length);
    e.decimals = f.decimals;
    fields_.push_back(e);
  }
  blank_.assign(std::max<uint32_t>(table.recordLength(), 1), ' ');
  image_ = blank_.data();
}

Status RecordSource::ReadMemo(int field, std::string* text) const {
  (void)field;
  text->clear();  // keys are computed from record images alone
  return Status::Ok();
}

// ---------------------------------------------------------------- TableIndexes

std::shared_ptr<TableIndexes> TableIndexes::Of(Table& table) {
  for (const auto& ext : table.extensions()) {
    if (auto indexes = std::dynamic_pointer_cast<TableIndexes>(ext)) {
      return indexes;
    }
  }
  return nullptr;
}

std::shared_ptr<TableIndexes> TableIndexes::Ensure(const std::shared_ptr<Table>& table) {
  std::shared_ptr<TableIndexes> indexes = Of(*table);
  if (indexes == nullptr) {
    indexes.reset(new TableIndexes(table.get()));
    table->AddExtension(indexes);
  }
  return indexes;
}

Status TableIndexes::Attach(const std::shared_ptr<Table>& table, uint32_t openOptions,
                            std::shared_ptr<TableIndexes>* out) {
  out->reset();
  const std::string stem = StemOf(table->path());
  std::string actual;
  bool found = FindNoCase(table->fs(), table->dir(), stem + ".cdx", &actual);
  if (!found) {
    // A flagged table whose index is missing stays readable; the table
    // itself refuses writes, since no tag could be kept true.
    return Status::Ok();
  }
  std::shared_ptr<TableIndexes> indexes(new TableIndexes(table.get()));
  indexes->structuralPath_ = table->dir() + "/" + actual;
  Status s = indexes->OpenFile(indexes->structuralPath_, true, openOptions);
  if (!s.ok()) {
    return Status(s.code(), "Table " + table->path() + ": " + s.message());
  }
  table->AddExtension(indexes);
  *out = std::move(indexes);
  return Status::Ok();
}

void TableIndexes::MapIfExclusive(File* file) const {
  if (table_->options().exclusive) {
    // Nobody else opens the table, so nobody else changes its index files.
    file->EnableMappedReads();
  }
}

Status TableIndexes::OpenFile(const std::string& path, bool structural, uint32_t openOptions) {
  const bool readOnly = table_->options().readOnly;
  std::unique_ptr<File> file;
  Status s = table_->fs()->Open(path, readOnly ? OpenMode::kReadOnly : OpenMode::kReadWrite, &file);
  if (!s.ok()) {
    return Status(s.code(), "Cannot open index file " + path + ": " + s.message());
  }
  MapIfExclusive(file.get());
  std::unique_ptr<CdxFile> cdx;
  XCE_RETURN_IF_ERROR(CdxFile::Open(std::move(file), readOnly, &cdx));
  DeferIfAsked(cdx.get());
  bool rebuild = false;
  for (int i = 0; i < cdx->tag_count(); ++i) {
    CdxTag* tag = cdx->tag(i);
    if (tag->machine_collation() || (openOptions & kOptIgnoreCollation) != 0) {
      continue;
    }
    if ((openOptions & kOptReindexOnCollation) == 0 || readOnly) {
      return Status(kErrCollation, "Tag " + tag->name() + " of index file " + path +
                                       " was built with collation " + tag->collation() +
                                       "; open the table with the option to rebuild it (0x100) "
                                       "or to ignore the collation (0x200)");
    }
    rebuild = true;
  }
  files_.push_back({path, std::move(cdx), structural});
  XCE_RETURN_IF_ERROR(BindTags());
  if (rebuild && unbound_.ok()) {
    // Rebuilt with machine collation, as every tag this engine writes.
    SwapSet swap;
    std::size_t which = files_.size() - 1;
    XCE_RETURN_IF_ERROR(
        BuildFiles(table_->RecordCount(),
                   TableScan(), kReindexSuffix, &swap, {which}));
    XCE_RETURN_IF_ERROR(swap.Commit(table_->fs(), table_->path() + kSwapSuffix, table_->dir()));
    XCE_RETURN_IF_ERROR(ReopenFiles());
  }
  return Status::Ok();
}

Status TableIndexes::BindTags() {
  std::vector<Tag> tags;
  unbound_ = Status::Ok();
  for (std::size_t f = 0; f < files_.size(); ++f) {
    CdxFile* cdx = files_[f].cdx.get();
    for (int i = 0; i < cdx->tag_count(); ++i) {
      CdxTag* tag = cdx->tag(i);
      Tag t;
      t.tag = tag;
      t.file = f;
      const int stored = tag->key_len() - (Nullable(tag) ? 1 : 0);
      Status s = KeyMaker::Create(tag->key_expr(), tag->for_expr(), source_, stored, &t.maker);
      if (s.ok() && t.maker->key_len() != stored) {
        s = Status(kErrBadTagDefinition, "it holds keys of " + std::to_string(stored) +
                                             " bytes, but its expression gives " +
                                             std::to_string(t.maker->key_len()));
      }
      if (!s.ok()) {
        // A tag whose keys cannot be computed can be neither used nor kept
        // true: it is left out, and the table refuses writes.
        if (unbound_.ok()) {
          unbound_ = Status(s.code(), "Table " + table_->path() + ": tag " + tag->name() +
                                          " of index file " + files_[f].path +
                                          " cannot be kept up to date: " + s.message());
        }
        continue;
      }
      tag->SetKeyType(t.maker->type());
      t.nullableFields = NullableFieldsOf(*table_, *t.maker);
      tags.push_back(std::move(t));
    }
  }
  tags_ = std::move(tags);
  ++generation_;
  return Status::Ok();
}

int TableIndexes::FindTag(std::string_view name) const {
  // Asked at every key built for a seek: compared in place, no copies.
  for (std::size_t i = 0; i < tags_.size(); ++i) {
    if (AsciiSameUpper(tags_[i].tag->name(), name)) {
      return static_cast<int>(i);
    }
  }
  return -1;
}

Status TableIndexes::KeyOf(int i, const char* image, uint32_t recno, uint8_t* key, bool* included,
                           RecordSource* source) {
  Tag& t = tags_[i];
  RecordSource& src = source != nullptr ? *source : source_;
  src.Set(image, recno);
  Status s = Nullable(t.tag) ? MakeNullableKey(*table_, *t.maker, t.nullableFields, src, key, included)
                             : t.maker->Make(src, key, included);
  if (!s.ok()) {
    return Status(s.code(), "Tag " + t.tag->name() + ": " + s.message());
  }
  return Status::Ok();
}

void TableIndexes::OnAppendTakenBack(Table& t, uint32_t recno, const char* image) {
  (void)t;
  if (!unbound_.ok()) {
    return;
  }
  // Removes exactly the entries the append made: (key, record number) pairs
  // name no other record, and a unique tag that kept another holder's entry
  // has none for this record.
  for (int i = 0; i < tag_count(); ++i) {
    std::vector<uint8_t> key(tags_[i].tag->key_len());
    bool in = false;
    bool removed = false;
    if (KeyOf(i, image, recno, key.data(), &in).ok() && in) {
      (void)tags_[i].tag->Delete(key.data(), recno, &removed);
    }
  }
}

Status TableIndexes::OnRecordWrite(Table& t, uint32_t recno, const char* oldImage,
                                   const char* newImage) {
  (void)t;
  XCE_RETURN_IF_ERROR(unbound_);
  struct Applied {
    int tag;
    bool inserted;
    std::vector<uint8_t> key;
    uint32_t recno = 0;  // 0: the record being written
  };
  std::vector<Applied> applied;
  Status s;
  for (int i = 0; s.ok() && i < tag_count(); ++i) {
    CdxTag* tag = tags_[i].tag;
    const int keyLen = tag->key_len();
    oldKey_.resize(keyLen);
    newKey_.resize(keyLen);
    bool oldIn = false;
    bool newIn = false;
    if (oldImage != nullptr) {
      s = KeyOf(i, oldImage, recno, oldKey_.data(), &oldIn);
    }
    if (s.ok()) {
      s = KeyOf(i, newImage, recno, newKey_.data(), &newIn);
    }
    if (!s.ok() || (oldIn && newIn && oldKey_ == newKey_)) {
      continue;
    }
    if (oldIn) {
      bool removed = false;
      s = tag->Delete(oldKey_.data(), recno, &removed);
      if (s.ok() && removed) {
        applied.push_back({i, false, oldKey_});
        if (tag->unique()) {
          // The key value keeps its entry when another record holds it.
          uint32_t holder = 0;
          s = FindHolder(i, oldKey_, recno, &holder);
          if (s.ok() && holder != 0) {
            s = tag->Insert(oldKey_.data(), holder);
            if (s.ok()) {
              applied.push_back({i, true, oldKey_, holder});
            }
          }
        }
      }
    }
    if (s.ok() && newIn) {
      bool added = true;
      // A writer that holds its page writes back holds an append's keys
      // too: they go in at the flush, or before a tag is read, in one
      // sorted pass per tag.
      s = oldImage == nullptr && (table_->options().rawOptions & kOptDeferIndexWrites) != 0
              ? tag->Hold(newKey_.data(), recno)
              : tag->Insert(newKey_.data(), recno, &added);
      if (s.ok() && added) {
        applied.push_back({i, true, newKey_});
      }
    }
  }
  if (!s.ok()) {
    // The record change is refused, so the tags go back to what they held.
    for (auto it = applied.rbegin(); it != applied.rend(); ++it) {
      CdxTag* tag = tags_[it->tag].tag;
      uint32_t r = it->recno != 0 ? it->recno : recno;
      if (it->inserted) {
        (void)tag->Delete(it->key.data(), r);
      } else {
        (void)tag->Insert(it->key.data(), r);
      }
    }
  }
  if ((table_->options().rawOptions & kOptDeferIndexWrites) == 0) {
    Status fs = FlushFiles();
    s = s.ok() ? fs : s;
  }
  return s;
}

void TableIndexes::DeferIfAsked(CdxFile* cdx) const {
  cdx->SetDeferWrites((table_->options().rawOptions & kOptDeferIndexWrites) != 0);
}

Status TableIndexes::FlushFiles() {
  Status s;
  for (IndexFile& f : files_) {
    Status fs = f.cdx->Flush();
    s = s.ok() ? fs : s;
  }
  return s;
}

Status TableIndexes::OnFlush(Table& t) {
  (void)t;
  return FlushFiles();
}

Status TableIndexes::FindHolder(int i, const std::vector<uint8_t>& key, uint32_t except,
                                uint32_t* holder) {
  *holder = 0;
  std::vector<char> image(table_->recordLength());
  std::vector<uint8_t> k(key.size());
  const uint32_t count = table_->RecordCount();
  for (uint32_t r = 1; r <= count; ++r) {
    if (r == except) {
      continue;
    }
    XCE_RETURN_IF_ERROR(table_->ReadRecord(r, image.data()));
    bool included = false;
    XCE_RETURN_IF_ERROR(KeyOf(i, image.data(), r, k.data(), &included));
    if (included && k == key) {
      *holder = r;
      return Status::Ok();
    }
  }
  return Status::Ok();
}

TableIndexes::ReadRecords TableIndexes::TableScan() {
  return [this](uint32_t first, uint32_t n, char* out) {
    return table_->ScanRecords(first, n, out);
  };
}

std::size_t TableIndexes::BufferEntriesFor(uint32_t count,
                                           const std::vector<std::size_t>& which) const {
  std::vector<int> keyLens;
  for (const Tag& t : tags_) {
    if (std::find(which.begin(), which.end(), t.file) != which.end()) {
      keyLens.push_back(t.tag->key_len());
    }
  }
  return BufferEntries(SortMemory(), count, keyLens);
}

Status TableIndexes::GatherKeys(uint32_t count, const ReadRecords& read,
                                const std::vector<std::size_t>& which,
                                std::vector<std::shared_ptr<KeySorter>>* sorters) {
  // Every tag's entries go to a sorter of its own; all of them together stay
  // within the sort memory, spilling sorted runs to scratch files when the
  // table is larger than that.
  std::vector<int> keyLens;
  for (std::size_t i : which) {
    keyLens.push_back(tags_[i].tag->key_len());
  }
  const std::size_t capacity = BufferEntries(SortMemory(), count, keyLens);
  // Tags whose keys are read straight off the records share each batch
  // between the cores by records; every other tag takes one core for it.
  std::vector<std::size_t> direct;
  std::vector<std::size_t> building;
  for (std::size_t i : which) {
    const CdxTag* tag = tags_[i].tag;
    (*sorters)[i] =
        std::make_shared<KeySorter>(tag->key_len(), tag->unique(), false, capacity, Scratch());
    (DirectKeys(tags_[i]) ? direct : building).push_back(i);
  }
  if (which.empty()) {
    return Status::Ok();
  }
  const uint32_t len = table_->recordLength();
  const uint32_t chunkRecords = static_cast<uint32_t>(std::min<std::size_t>(kBuildChunk, capacity));
  std::vector<char> chunk(static_cast<std::size_t>(chunkRecords) * len);
  // Records are read once, in batches; each tag computes its keys from the
  // batch on its own thread (every tag has its own expressions and source).
  std::vector<std::unique_ptr<RecordSource>> sources;
  std::vector<Status> failures(tags_.size());
  for (std::size_t i = 0; i < tags_.size(); ++i) {
    sources.push_back(std::make_unique<RecordSource>(*table_));
  }
  std::vector<uint8_t*> directKeys(direct.size());
  std::vector<uint32_t*> directRecnos(direct.size());
  for (uint32_t first = 1; first <= count; first += chunkRecords) {
    const uint32_t n = std::min(chunkRecords, count - first + 1);
    // A full buffer is sorted and written out before the batch: one at a
    // time, so that the work space of one sort is all that comes on top.
    for (std::size_t i : which) {
      if ((*sorters)[i]->MustSpill(n)) {
        XCE_RETURN_IF_ERROR((*sorters)[i]->Spill());
      }
    }
    XCE_RETURN_IF_ERROR(read(first, n, chunk.data()));
    if (!direct.empty()) {
      for (std::size_t d = 0; d < direct.size(); ++d) {
        (*sorters)[direct[d]]->Extend(n, &directKeys[d], &directRecnos[d]);
      }
      ParallelFor(2, [&](std::size_t h) {
        for (uint32_t j = h == 0 ? 0 : n / 2; j < (h == 0 ? n / 2 : n); ++j) {
          const char* image = chunk.data() + static_cast<std::size_t>(j) * len;
          for (std::size_t d = 0; d < direct.size(); ++d) {
            const std::size_t i = direct[d];
            const std::size_t keyLen = static_cast<std::size_t>(tags_[i].tag->key_len());
            tags_[i].maker->MakeDirect(image, directKeys[d] + static_cast<std::size_t>(j) * keyLen);
            directRecnos[d][j] = first + j;
          }
        }
      });
    }
    ParallelFor(building.size(), [&](std::size_t b) {
      const std::size_t i = building[b];
      KeySorter& sorter = *(*sorters)[i];
      uint8_t key[kMaxKeyLength + 1];
      for (uint32_t j = 0; j < n && failures[i].ok(); ++j) {
        bool included = false;
        failures[i] = KeyOf(static_cast<int>(i), chunk.data() + static_cast<std::size_t>(j) * len,
                            first + j, key, &included, sources[i].get());
        if (failures[i].ok() && included) {
          sorter.Add(key, first + j);
        }
      }
    });
    for (const Status& f : failures) {
      XCE_RETURN_IF_ERROR(f);
    }
  }
  return Status::Ok();
}

Status TableIndexes::BuildFiles(uint32_t count, const ReadRecords& read, const std::string& suffix,
                                SwapSet* swap, const std::vector<std::size_t>& which,
                                const Renumbering* renumbering) {
  BulkReuse reuse;
  std::vector<TagSpec> specs(tags_.size());
  std::vector<std::size_t> gathered;
  for (std::size_t i = 0; i < tags_.size(); ++i) {
    CdxTag* tag = tags_[i].tag;
    TagSpec& tagSpec = specs[i];
    tagSpec.name = tag->name();
    tagSpec.keyExpr = tag->key_expr();
    tagSpec.forExpr = tag->for_expr();
    tagSpec.keyType = tags_[i].maker->type();
    tagSpec.keyLen = tag->key_len();
    tagSpec.unique = tag->unique();
    tagSpec.descending = tag->descending();
    tagSpec.nullable = Nullable(tag);
    if (std::find(which.begin(), which.end(), tags_[i].file) == which.end()) {
      continue;
    }
    if (renumbering != nullptr && Streamable(tags_[i])) {
      // The entries go from the old tag straight into the new one as its
      // pages are written; a tag that turns out untrustworthy on the way is
      // built from the records after all.
      tagSpec.stream = [this, i, renumbering](EntrySink* sink, bool* trusted) {
        return StreamRenumbered(i, *renumbering, sink, trusted);
      };
      tagSpec.gather = [this, i, count, &read](std::shared_ptr<KeySorter>* sorter) {
        std::vector<std::shared_ptr<KeySorter>> one(tags_.size());
        XCE_RETURN_IF_ERROR(GatherKeys(count, read, {i}, &one));
        *sorter = std::move(one[i]);
        return Status::Ok();
      };
      continue;
    }
    gathered.push_back(i);
  }
  std::vector<std::shared_ptr<KeySorter>> sorters(tags_.size());
  XCE_RETURN_IF_ERROR(GatherKeys(count, read, gathered, &sorters));
  for (std::size_t i : gathered) {
    specs[i].sorter = std::move(sorters[i]);
  }
  sorters.clear();
  for (std::size_t f : which) {
    std::vector<TagSpec> fileSpecs;
    for (std::size_t i = 0; i < tags_.size(); ++i) {
      if (tags_[i].file == f) {
        fileSpecs.push_back(std::move(specs[i]));
      }
    }
    XCE_RETURN_IF_ERROR(WriteFile(f, std::move(fileSpecs), suffix, swap));
  }
  return Status::Ok();
}

Status TableIndexes::ReopenFiles() {
  for (IndexFile& f : files_) {
    std::unique_ptr<File> file;
    XCE_RETURN_IF_ERROR(table_->fs()->Open(f.path, OpenMode::kReadWrite, &file));
    MapIfExclusive(file.get());
    XCE_RETURN_IF_ERROR(CdxFile::Open(std::move(file), false, &f.cdx));
    DeferIfAsked(f.cdx.get());
  }
  return BindTags();
}

Status TableIndexes::OnRebuild(Table& t, RebuildContext& ctx) {
  (void)t;
  XCE_RETURN_IF_ERROR(unbound_);
  XCE_RETURN_IF_ERROR(FlushFiles());  // rebuilds read the files
  // A pack keeps the records not marked deleted, in their order, so each
  // true tag stays in order when its entries are renumbered: its pages are
  // written again straight from its own entries, without computing,
  // gathering or sorting a key.
  std::unique_ptr<Renumbering> renumbering;
  if (ctx.keptRecords && ctx.removed != nullptr && ctx.recordCount > 0 &&
      uint64_t{ctx.recordCount} + ctx.removed->size() == table_->RecordCount()) {
    renumbering = std::make_unique<Renumbering>(table_->RecordCount(), *ctx.removed);
  }
  std::vector<std::size_t> all;
  for (std::size_t f = 0; f < files_.size(); ++f) {
    all.push_back(f);
  }
  const uint32_t len = table_->recordLength();
  auto read = [&ctx, len](uint32_t first, uint32_t n, char* out) {
    for (uint32_t j = 0; j < n; ++j) {
      XCE_RETURN_IF_ERROR(ctx.readRecord(first + j, out + static_cast<std::size_t>(j) * len));
    }
    return Status::Ok();
  };
  XCE_RETURN_IF_ERROR(
      BuildFiles(ctx.recordCount, read, ctx.tmpSuffix, ctx.swap, all, renumbering.get()));
  if (ctx.keptRecords) {
    // The old files are replaced once the table is: their cached pages go
    // now, on this thread, instead of when they are dropped at the end.
    for (IndexFile& f : files_) {
      f.cdx->ClearCache();
      f.cdx->file()->ForgetCached(0, UINT64_MAX);
    }
  }
  return Status::Ok();
}

TableIndexes::Renumbering::Renumbering(uint32_t count, const std::vector<uint32_t>& removed)
    : count_(count), removed_(count / 64 + 1, 0), before_(count / 64 + 1, 0) {
  for (uint32_t r : removed) {
    removed_[r >> 6] |= uint64_t{1} << (r & 63);
  }
  uint32_t before = 0;
  for (std::size_t w = 0; w < removed_.size(); ++w) {
    before_[w] = before;
    before += static_cast<uint32_t>(std::popcount(removed_[w]));
  }
}

Status TableIndexes::OnPackInPlace(Table& t, const std::vector<uint32_t>& deleted,
                                   InPlaceChange& change, bool* staged) {
  (void)t;
  *staged = false;
  XCE_RETURN_IF_ERROR(FlushFiles());  // the change is staged from the files
  if (!unbound_.ok() || deleted.empty()) {
    return Status::Ok();
  }
  for (const IndexFile& f : files_) {
    if (!f.structural) {
      return Status::Ok();
    }
  }
  for (const Tag& tag : tags_) {
    if (!Streamable(tag)) {
      return Status::Ok();
    }
  }
  std::vector<std::unique_ptr<CdxFile>> views(files_.size());
  for (std::size_t f = 0; f < files_.size(); ++f) {
    if (!CdxFile::Open(change.Stage(files_[f].cdx->file()), false, &views[f]).ok()) {
      return Status::Ok();  // the rebuild reports what is wrong with the file
    }
  }
  std::vector<char> image(table_->recordLength());
  std::vector<uint8_t> key(kMaxKeyLength + 1);
  for (int i = 0; i < tag_count(); ++i) {
    CdxTag* tag = views[tags_[i].file]->FindTag(tags_[i].tag->name());
    if (tag == nullptr) {
      return Status::Ok();
    }
    tag->SetKeyType(tags_[i].maker->type());
    for (uint32_t r : deleted) {
      XCE_RETURN_IF_ERROR(table_->ReadRecord(r, image.data()));
      bool included = false;
      XCE_RETURN_IF_ERROR(KeyOf(i, image.data(), r, key.data(), &included));
      bool removed = false;
      if (included && (!tag->Delete(key.data(), r, &removed).ok() || !removed)) {
        return Status::Ok();  // a stale or damaged tag is built afresh instead
      }
    }
    if (!tag->Renumber(deleted).ok()) {
      return Status::Ok();
    }
  }
  for (auto& view : views) {
    if (!view->Flush().ok()) {
      return Status::Ok();
    }
  }
  *staged = true;
  return Status::Ok();
}

bool TableIndexes::Streamable(const Tag& t) {
  // A unique tag may need another holder for a key whose holder leaves;
  // expressions that read the record number or the deletion flag change
  // their keys.
  return !t.tag->unique() && !t.maker->uses_recno() && !t.maker->uses_deleted();
}

Status TableIndexes::StreamRenumbered(std::size_t i, const Renumbering& renumbering,
                                      EntrySink* sink, bool* trusted) {
  *trusted = false;
  // A large tag is walked on this thread while another fills the new pages.
  std::unique_ptr<PipelinedSink> pipe;
  if (renumbering.count() >= kPipelineMinEntries && Cores() >= 2) {
    pipe = std::make_unique<PipelinedSink>(sink, tags_[i].tag->key_len());
  }
  Status s = WalkRenumbered(i, renumbering, pipe != nullptr ? pipe.get() : sink, trusted);
  if (pipe != nullptr) {
    Status consumed = pipe->Finish();
    if (s.ok()) {
      s = consumed;
    }
  }
  return s;
}

Status TableIndexes::WalkRenumbered(std::size_t i, const Renumbering& renumbering,
                                    EntrySink* sink, bool* trusted) {
  CdxTag* tag = tags_[i].tag;
  CdxFile* file = tag->file();
  const int keyLen = tag->key_len();
  // The new tree is only as good as the order of the entries it is given:
  // each must follow the one before in (key, record number) order and name
  // a record of the table once; a tag of every record must name them all.
  // A tag that breaks any of that, or whose pages are damaged, is built from
  // the records instead.
  std::vector<uint8_t> prev(static_cast<std::size_t>(keyLen));
  uint32_t prevRecno = 0;
  std::vector<bool> seen(static_cast<std::size_t>(renumbering.count()) + 1);
  uint64_t walked = 0;
  // Each page is read once: the leaves are decoded one after the other into
  // one node along their right links, past the file's cache of pages, and
  // the mapped file is let go of now and then.
  constexpr uint32_t kReleaseEvery = 1 << 12;
  Node node;
  uint8_t page[kPageSize];
  std::string error;
  auto load = [&](uint32_t offset) {
    return file->ValidPageOffset(offset) && file->ReadPage(offset, page).ok() &&
           DecodeNode(page, keyLen, tag->pad(), &node, &error);
  };
  // Down the first entries to the first leaf (a tree is never this deep).
  uint32_t offset = tag->root();
  for (int depth = 0;; ++depth) {
    if (depth > 64 || !load(offset)) {
      return Status::Ok();
    }
    if (node.leaf()) {
      break;
    }
    offset = node.children[0];
  }
  for (uint32_t leaves = 1;; ++leaves) {
    for (int e = 0; e < node.size(); ++e) {
      const uint32_t r = node.recnos[e];
      const uint8_t* key = node.key(e);
      if (r == 0 || r > renumbering.count() || seen[r]) {
        return Status::Ok();
      }
      if (walked > 0) {
        const int order = std::memcmp(prev.data(), key, static_cast<std::size_t>(keyLen));
        if (order > 0 || (order == 0 && prevRecno > r)) {
          return Status::Ok();
        }
      }
      seen[r] = true;
      std::memcpy(prev.data(), key, static_cast<std::size_t>(keyLen));
      prevRecno = r;
      ++walked;
      if (const uint32_t renumbered = renumbering(r); renumbered != 0) {
        XCE_RETURN_IF_ERROR(sink->Put(key, renumbered));
      }
    }
    if (node.right == kNoPage) {
      break;
    }
    // A chain of more leaves than the file has pages loops.
    if (leaves >= file->page_count() || !load(node.right) || !node.leaf()) {
      return Status::Ok();
    }
    if (leaves % kReleaseEvery == 0) {
      file->file()->ReleaseMapped(0, UINT64_MAX);
    }
  }
  *trusted = tags_[i].maker->has_for() || walked == renumbering.count();
  return Status::Ok();
}

Status TableIndexes::WriteFile(std::size_t f, std::vector<TagSpec> specs, const std::string& suffix,
                               SwapSet* swap) {
  const std::string tmp = files_[f].path + suffix;
  std::unique_ptr<File> file;
  XCE_RETURN_IF_ERROR(table_->fs()->Open(tmp, OpenMode::kCreate, &file));
  swap->Add(tmp, files_[f].path);
  File* raw = file.get();
  std::unique_ptr<CdxFile> built;
  XCE_RETURN_IF_ERROR(CdxFile::Create(std::move(file), std::move(specs), &built));
  return raw->Sync();
}

uint64_t TableIndexes::RebuildBytes(const Table& t, uint32_t newCount) {
  uint64_t bytes = 0;
  for (IndexFile& f : files_) {
    uint64_t size = 0;
    if (f.cdx->file()->Size(&size).ok()) {
      bytes += size;
    }
  }
  const uint32_t count = t.RecordCount();
  return count == 0 ? bytes : static_cast<uint64_t>(static_cast<double>(bytes) * newCount / count);
}

Status TableIndexes::AfterRebuild(Table& t) {
  (void)t;
  return ReopenFiles();
}

void TableIndexes::OnClose(Table& t) {
  (void)t;
  for (IndexFile& f : files_) {
    (void)f.cdx->Flush();
  }
  tags_.clear();
  files_.clear();
  ++generation_;
}

Status TableIndexes::Reindex() {
  XCE_RETURN_IF_ERROR(FlushFiles());  // rebuilds read the files
  XCE_RETURN_IF_ERROR(table_->CheckWritable());
  XCE_RETURN_IF_ERROR(unbound_);
  if (files_.empty()) {
    return Status::Ok();
  }
  std::vector<std::size_t> all;
  for (std::size_t f = 0; f < files_.size(); ++f) {
    all.push_back(f);
  }
  SwapSet swap;
  Status s = BuildFiles(table_->RecordCount(), TableScan(), kReindexSuffix, &swap, all);
  if (s.ok()) {
    s = swap.Commit(table_->fs(), table_->path() + kSwapSuffix, table_->dir());
  } else {
    for (const auto& [tmp, fin] : swap.pairs()) {
      (void)fin;
      (void)table_->fs()->Remove(tmp);  // best effort: the build already failed
    }
  }
  XCE_RETURN_IF_ERROR(s);
  return ReopenFiles();
}

Status TableIndexes::OpenExtraFile(const std::string& path) {
  for (const IndexFile& f : files_) {
    if (f.path == path) {
      return Status::Ok();
    }
  }
  return OpenFile(path, false, table_->options().rawOptions);
}

Status TableIndexes::CreateTag(const TagDefinition& def) { return CreateTags({def}); }

Status TableIndexes::CreateTags(const std::vector<TagDefinition>& defs) {
  XCE_RETURN_IF_ERROR(FlushFiles());  // rebuilds read the files
  XCE_RETURN_IF_ERROR(table_->CheckWritable());
  if (defs.empty()) {
    return Status::Ok();
  }
  // Each tag gets two compiled key makers, one per core.
  const std::size_t tagCount = defs.size();
  std::vector<std::unique_ptr<KeyMaker>> makers[2];
  std::vector<TagSpec> specs(tagCount);
  std::vector<std::vector<uint16_t>> nullableFields(tagCount);
  for (std::size_t i = 0; i < tagCount; ++i) {
    const TagDefinition& def = defs[i];
    if (FindTag(def.name) >= 0) {
      return Status(kErrTagExists,
                    "Table " + table_->path() + " already has a tag " + AsciiUpper(def.name));
    }
    for (std::size_t k = 0; k < i; ++k) {
      if (AsciiUpper(defs[k].name) == AsciiUpper(def.name)) {
        return Status(kErrTagExists,
                      "Table " + table_->path() + ": two tags are named " + AsciiUpper(def.name));
      }
    }
    for (auto& m : makers) {
      m.emplace_back();
      XCE_RETURN_IF_ERROR(KeyMaker::Create(def.keyExpr, def.forExpr, source_, 0, &m.back()));
    }
    TagSpec& tagSpec = specs[i];
    tagSpec.name = AsciiUpper(def.name);
    tagSpec.keyExpr = def.keyExpr;
    tagSpec.forExpr = def.forExpr;
    tagSpec.keyType = makers[0][i]->type();
    // A key that reads nullable fields keeps null values apart: its keys
    // carry the null mark, as such tables expect.
    nullableFields[i] = NullableFieldsOf(*table_, *makers[0][i]);
    tagSpec.nullable = !nullableFields[i].empty();
    tagSpec.keyLen = makers[0][i]->key_len() + (tagSpec.nullable ? 1 : 0);
    tagSpec.unique = def.unique;
    tagSpec.descending = def.descending;
    std::string error = ValidateSpec(tagSpec);
    if (!error.empty()) {
      return Status(kErrBadTagDefinition, "Table " + table_->path() + ": " + error);
    }
  }
  // Records are read once, in batches; two threads compute every tag's keys
  // for each half of a batch, and each tag's sorter takes them in record
  // order, within the sort memory.
  BulkReuse reuse;
  RecordSource otherSource(*table_);
  const uint32_t len = table_->recordLength();
  const uint32_t count = table_->RecordCount();
  std::vector<int> keyLens;
  for (const TagSpec& tagSpec : specs) {
    keyLens.push_back(tagSpec.keyLen);
  }
  const std::size_t capacity = BufferEntries(SortMemory(), count, keyLens);
  for (TagSpec& tagSpec : specs) {
    tagSpec.sorter =
        std::make_shared<KeySorter>(tagSpec.keyLen, tagSpec.unique, false, capacity, Scratch());
  }
  const uint32_t chunkRecords = static_cast<uint32_t>(std::min<std::size_t>(kBuildChunk, capacity));
  std::vector<char> chunk(static_cast<std::size_t>(chunkRecords) * len);
  std::vector<TagSpec> halves[2];
  Status failed[2];
  for (auto& h : halves) {
    h.resize(tagCount);
    for (std::size_t i = 0; i < tagCount; ++i) {
      h[i].keyLen = specs[i].keyLen;
    }
  }
  for (uint32_t first = 1; first <= count; first += chunkRecords) {
    const uint32_t n = std::min(chunkRecords, count - first + 1);
    for (TagSpec& tagSpec : specs) {
      if (tagSpec.sorter->MustSpill(n)) {
        XCE_RETURN_IF_ERROR(tagSpec.sorter->Spill());
      }
    }
    XCE_RETURN_IF_ERROR(table_->ScanRecords(first, n, chunk.data()));
    ParallelFor(2, [&](std::size_t h) {
      RecordSource& src = h == 0 ? source_ : otherSource;
      uint8_t key[kMaxKeyLength + 1];  // a nullable key's mark comes first
      for (TagSpec& part : halves[h]) {
        part.keys.clear();
        part.recnos.clear();
      }
      for (uint32_t j = h == 0 ? 0 : n / 2; j < (h == 0 ? n / 2 : n) && failed[h].ok(); ++j) {
        src.Set(chunk.data() + std::size_t{j} * len, first + j);
        for (std::size_t i = 0; i < tagCount && failed[h].ok(); ++i) {
          if (DirectKeys(*makers[h][i], specs[i].nullable)) {
            makers[h][i]->MakeDirect(chunk.data() + std::size_t{j} * len, key);
            halves[h][i].Add(key, first + j);
            continue;
          }
          bool included = false;
          failed[h] = specs[i].nullable
                          ? MakeNullableKey(*table_, *makers[h][i], nullableFields[i], src, key,
                                            &included)
                          : makers[h][i]->Make(src, key, &included);
          if (failed[h].ok() && included) {
            halves[h][i].Add(key, first + j);
          }
        }
      }
    });
    for (int h = 0; h < 2; ++h) {
      XCE_RETURN_IF_ERROR(failed[h]);
      for (std::size_t i = 0; i < tagCount; ++i) {
        const TagSpec& part = halves[h][i];
        for (std::size_t e = 0; e < part.recnos.size(); ++e) {
          specs[i].sorter->Add(part.keys.data() + e * part.keyLen, part.recnos[e]);
        }
      }
    }
  }
  auto structural =
      std::find_if(files_.begin(), files_.end(), [](const IndexFile& f) { return f.structural; });
  if (structural == files_.end()) {
    // The first tags make the structural file, named like the table; the
    // tags are sorted and built on both cores.
    const std::string& tp = table_->path();
    std::size_t dot = tp.find_last_of('.');
    bool upperExt =
        dot != std::string::npos && tp.size() > dot + 1 && tp[dot + 1] >= 'A' && tp[dot + 1] <= 'Z';
    structuralPath_ = table_->dir() + "/" + StemOf(tp) + (upperExt ? ".CDX" : ".cdx");
    std::string found;
    if (FindNoCase(table_->fs(), table_->dir(), NameOf(structuralPath_), &found)) {
      // An index file the table does not announce is not ours to replace.
      return Status(kErrAlreadyExists, "Cannot create the index of table " + tp + ": " +
                                           JoinPath(table_->dir(), found) +
                                           " exists and is not the table's index");
    }
    std::unique_ptr<File> file;
    XCE_RETURN_IF_ERROR(table_->fs()->Open(structuralPath_, OpenMode::kCreate, &file));
    MapIfExclusive(file.get());
    std::unique_ptr<CdxFile> cdx;
    XCE_RETURN_IF_ERROR(CdxFile::Create(std::move(file), std::move(specs), &cdx));
    XCE_RETURN_IF_ERROR(table_->SetStructuralIndexFlag(true));
    files_.insert(files_.begin(), IndexFile{structuralPath_, std::move(cdx), true});
  } else {
    for (TagSpec& tagSpec : specs) {
      CdxTag* added = nullptr;
      Status s = structural->cdx->AddTag(std::move(tagSpec), &added);
      if (!s.ok()) {
        // The tags added so far stay; bind them so the table keeps them true.
        (void)BindTags();
        return s;
      }
    }
  }
  return BindTags();
}

Status TableIndexes::DeleteTag(std::string_view name) {
  XCE_RETURN_IF_ERROR(FlushFiles());  // rebuilds read the files
  XCE_RETURN_IF_ERROR(table_->CheckWritable());
  int i = FindTag(name);
  if (i < 0) {
    return Status(kErrTagNotFound, "Table " + table_->path() + " has no tag " + AsciiUpper(name));
  }
  IndexFile& f = files_[tags_[i].file];
  XCE_RETURN_IF_ERROR(f.cdx->DropTag(name));
  if (f.structural && f.cdx->tag_count() == 0) {
    // Without tags the structural file goes, and so does the table's flag.
    XCE_RETURN_IF_ERROR(table_->SetStructuralIndexFlag(false));
    std::string path = f.path;
    files_.erase(files_.begin() + static_cast<std::ptrdiff_t>(tags_[i].file));
    XCE_RETURN_IF_ERROR(table_->fs()->Remove(path));
  }
  return BindTags();
}

Status TableIndexes::Check(std::vector<std::string>* problems) {
  XCE_RETURN_IF_ERROR(FlushFiles());  // the checks read the files
  const uint32_t count = table_->RecordCount();
  if (!unbound_.ok()) {
    problems->push_back(unbound_.message());
  }
  for (IndexFile& f : files_) {
    for (std::string& p : CheckIndexFile(f.cdx.get(), count)) {
      problems->push_back(std::move(p));
    }
  }
  std::vector<char> image(table_->recordLength());
  std::vector<uint8_t> key(kMaxKeyLength + 1);
  for (int i = 0; i < tag_count(); ++i) {
    CdxTag* tag = tags_[i].tag;
    const std::string where = files_[tags_[i].file].path + ": tag " + tag->name() + ": ";
    std::vector<std::vector<uint8_t>> stored(count + 1);
    std::vector<bool> has(count + 1, false);
    auto c = tag->NewCursor();
    std::size_t reported = 0;
    auto report = [&](const std::string& text) {
      if (reported++ < 20) {
        problems->push_back(where + text);
      }
    };
    for (c->SeekToFirst(); c->Valid(); c->Next()) {
      uint32_t r = c->recno();
      if (r < 1 || r > count) {
        continue;  // reported by the structural check
      }
      if (has[r]) {
        report("record " + std::to_string(r) + " has two entries");
      }
      has[r] = true;
      stored[r].assign(c->key(), c->key() + tag->key_len());
    }
    if (!c->status().ok()) {
      continue;  // the structural check names the damage
    }
    std::set<std::string> uniqueKeys;
    for (uint32_t r = 1; r <= count; ++r) {
      XCE_RETURN_IF_ERROR(table_->ReadRecord(r, image.data()));
      bool included = false;
      XCE_RETURN_IF_ERROR(KeyOf(i, image.data(), r, key.data(), &included));
      std::vector<uint8_t> want(key.begin(), key.begin() + tag->key_len());
      if (!included) {
        if (has[r]) {
          report("record " + std::to_string(r) + " is indexed though its FOR condition is false");
        }
        continue;
      }
      if (tag->unique()) {
        // One entry per key value, held by a record that has that key.
        if (has[r] && stored[r] != want) {
          report("record " + std::to_string(r) + " is indexed under a wrong key");
        }
        uniqueKeys.emplace(reinterpret_cast<const char*>(want.data()), want.size());
        continue;
      }
      if (!has[r]) {
        report("record " + std::to_string(r) + " is missing");
      } else if (stored[r] != want) {
        report("record " + std::to_string(r) + " is indexed under a wrong key");
      }
    }
    if (tag->unique()) {
      uint64_t n = 0;
      XCE_RETURN_IF_ERROR(tag->Count(&n));
      if (n != uniqueKeys.size()) {
        report("holds " + std::to_string(n) + " keys for " + std::to_string(uniqueKeys.size()) +
               " distinct key values");
      }
    }
  }
  return Status::Ok();
}

Status CheckTableIndexes(FileSystem* fs, const std::string& path, std::string* report) {
  OpenOptions options;
  options.readOnly = true;
  std::shared_ptr<Table> table;
  XCE_RETURN_IF_ERROR(Table::Open(fs, path, options, &table));
  std::shared_ptr<TableIndexes> indexes;
  Status s = TableIndexes::Attach(table, kOptIgnoreCollation, &indexes);
  std::vector<std::string> problems;
  if (!s.ok()) {
    problems.push_back(s.message());
  } else if (indexes != nullptr) {
    s = indexes->Check(&problems);
    if (!s.ok()) {
      problems.push_back(s.message());
    }
  }
  (void)table->Close();  // a read-only check: nothing to write back
  for (const std::string& p : problems) {
    *report += p + "\n";
  }
  return Status::Ok();
}

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
  image_.resize(t.recordLength());
  XCE_RETURN_IF_ERROR(t.ReadRecord(recno, image_.data()));
  key_.resize(tag->tag->key_len());
  bool included = false;
  int i = indexes_->FindTag(tagName_);
  XCE_RETURN_IF_ERROR(indexes_->KeyOf(i, image_.data(), recno, key_.data(), &included));
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
  image_.resize(t.recordLength());
  XCE_RETURN_IF_ERROR(t.ReadRecord(recno, image_.data()));
  key_.resize(tag->tag->key_len());
  bool included = false;
  XCE_RETURN_IF_ERROR(
      indexes_->KeyOf(indexes_->FindTag(tagName_), image_.data(), recno, key_.data(), &included));
  *in = included && InScope(key_.data());
  return Status::Ok();
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
