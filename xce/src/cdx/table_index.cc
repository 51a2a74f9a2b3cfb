#include "cdx/table_index.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>

#include "ascii.h"
#include "cdx/cdx_build.h"
#include "cdx/cdx_check.h"
#include "cdx/tag_keys.h"
#include "codepage.h"
#include "in_place_change.h"

namespace xce::cdx {

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
  auto load = [&](uint32_t offset) {
    return file->ValidPageOffset(offset) && file->ReadPage(offset, page).ok() &&
           DecodeNode(page, keyLen, tag->pad(), &node).ok();
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

}  // namespace xce::cdx
