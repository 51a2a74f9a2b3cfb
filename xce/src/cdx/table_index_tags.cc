// Creating, deleting and checking the tags of a table's indexes.
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

Status TableIndexes::CreateTag(const TagDefinition& def) { return CreateTags({def}); }

// The tags CreateTags makes: their specs, two compiled key makers per tag
// (one per core) and the nullable fields each key reads.
struct TableIndexes::NewTags {
  std::vector<std::unique_ptr<KeyMaker>> makers[2];
  std::vector<TagSpec> specs;
  std::vector<std::vector<uint16_t>> nullableFields;
};

Status TableIndexes::CreateTags(const std::vector<TagDefinition>& defs) {
  XCE_RETURN_IF_ERROR(FlushFiles());  // rebuilds read the files
  XCE_RETURN_IF_ERROR(table_->CheckWritable());
  if (defs.empty()) {
    return Status::Ok();
  }
  NewTags tags;
  XCE_RETURN_IF_ERROR(PrepareNewTags(defs, &tags));
  XCE_RETURN_IF_ERROR(GatherNewTagKeys(&tags));
  return StoreNewTags(std::move(tags.specs));
}

Status TableIndexes::PrepareNewTags(const std::vector<TagDefinition>& defs, NewTags* tags) {
  // Each tag gets two compiled key makers, one per core.
  const std::size_t tagCount = defs.size();
  auto& makers = tags->makers;
  std::vector<TagSpec>& specs = tags->specs;
  std::vector<std::vector<uint16_t>>& nullableFields = tags->nullableFields;
  specs.resize(tagCount);
  nullableFields.resize(tagCount);
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
  return Status::Ok();
}

Status TableIndexes::GatherNewTagKeys(NewTags* tags) {
  auto& makers = tags->makers;
  std::vector<TagSpec>& specs = tags->specs;
  const std::vector<std::vector<uint16_t>>& nullableFields = tags->nullableFields;
  const std::size_t tagCount = specs.size();
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
          failed[h] = specs[i].nullable ? MakeNullableKey(*table_, *makers[h][i], nullableFields[i],
                                                          src, key, &included)
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
  return Status::Ok();
}

Status TableIndexes::StoreNewTags(std::vector<TagSpec> specs) {
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

}  // namespace xce::cdx
