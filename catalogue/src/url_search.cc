#include "catalogue/url_search.h"

#include <array>
#include <cstdlib>

#include "catalogue/field_text.h"
#include "catalogue/schema.h"
#include "catalogue/whole_address.h"
#include "cp1251.h"
#include "stored_text.h"
#include "utf8.h"

namespace catalogue {
namespace {

bool IsBlank(char32_t c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v' ||
         c == 0xA0 || (c >= 0x2000 && c <= 0x200B) || c == 0x202F || c == 0x3000;
}

// Each byte of the program's character set as folded UTF-8: text without
// references is folded a byte at a time through this table.
const std::array<std::string, 256>& FoldedBytes() {
  static const std::array<std::string, 256> table = [] {
    std::array<std::string, 256> t;
    for (int b = 0; b < 256; ++b) {
      platform::AppendUtf8(FoldSearchChar(platform::Cp1251ToUnicode(static_cast<unsigned char>(b))),
                           &t[static_cast<size_t>(b)]);
    }
    return t;
  }();
  return table;
}

void AppendFoldedStored(std::string_view stored, std::string* out) {
  if (platform::MayHoldReferences(stored)) {
    // The URL table keeps its text in the OEM code page: references stand
    // for what that code page lacks.
    out->append(FoldSearchText(platform::DecodeTextToUtf8(stored, true)));
    return;
  }
  const std::array<std::string, 256>& table = FoldedBytes();
  for (char c : stored) {
    out->append(table[static_cast<unsigned char>(c)]);
  }
}

// A field's whole value; the buffer grows to what the value needs.
XDSRESULT ReadText(XDSHANDLE t, uint16_t field, std::string* out) {
  return ReadFieldText(t, field, XDS_GET_TRIM, out);
}

struct UrlFields {
  uint16_t url = 0;
  uint16_t name = 0;
  uint16_t descr = 0;
  uint16_t id = 0;
};

XDSRESULT FindFields(XDSHANDLE urls, UrlFields* f) {
  XDSRESULT r = XdsGetFieldNumber(urls, "URL", &f->url);
  if (r == 0) {
    r = XdsGetFieldNumber(urls, "NAME", &f->name);
  }
  if (r == 0) {
    r = XdsGetFieldNumber(urls, "DESCR", &f->descr);
  }
  if (r == 0) {
    r = XdsGetFieldNumber(urls, "URL_ID", &f->id);
  }
  return r;
}

// The folded text of the current record: address, name and description,
// a line end between them so that no word runs from one into the next.
class RecordText {
 public:
  RecordText(XDSHANDLE urls, WholeAddresses& whole, const UrlFields& fields)
      : urls_(urls), whole_(whole), fields_(fields) {}

  XDSRESULT Read(std::string* folded) {
    folded->clear();
    XDSRESULT r = ReadText(urls_, fields_.url, &field_);
    // Only a full URL field can stand for a longer address (or one whose
    // blanks at the field's end the field dropped).
    if (r == 0 && whole_.open() &&
        (field_.size() >= kUrlFieldLength || field_.find(' ') != std::string::npos)) {
      r = ReadText(urls_, fields_.id, &id_);
      if (r == 0) {
        r = whole_.Find(static_cast<uint32_t>(std::strtoul(id_.c_str(), nullptr, 10)), field_,
                        &address_);
      }
      if (r == 0) {
        field_.swap(address_);
      }
    }
    if (r == 0) {
      AppendFoldedStored(field_, folded);
      folded->push_back('\n');
      r = ReadText(urls_, fields_.name, &field_);
    }
    if (r == 0) {
      AppendFoldedStored(field_, folded);
      folded->push_back('\n');
      r = ReadText(urls_, fields_.descr, &field_);
    }
    if (r == 0) {
      AppendFoldedStored(field_, folded);
    }
    return r;
  }

 private:
  XDSHANDLE urls_;
  WholeAddresses& whole_;
  const UrlFields& fields_;
  std::string field_;
  std::string id_;
  std::string address_;
};

bool HasEveryWord(std::string_view folded, const std::vector<std::string>& words) {
  for (const std::string& w : words) {
    if (folded.find(w) == std::string_view::npos) {
      return false;
    }
  }
  return true;
}

// Puts the cursor back on the record it stood on when the search began.
class CursorKeeper {
 public:
  explicit CursorKeeper(XDSHANDLE urls) : urls_(urls) {
    uint16_t eof = 0;
    uint16_t bof = 0;
    if (XdsAtEOF(urls, &eof) == 0 && XdsAtBOF(urls, &bof) == 0 && eof == 0 && bof == 0) {
      if (XdsGetRecordNum(urls, XDS_COUNT_IGNORE_FILTERS, &recno_) != 0) {
        recno_ = 0;
      }
    }
  }
  // A record that cannot be gone back to leaves the cursor where the search
  // ended; the caller's own result comes first.
  ~CursorKeeper() {
    if (recno_ != 0) {
      (void)XdsGotoRecord(urls_, recno_);
    }
  }
  CursorKeeper(const CursorKeeper&) = delete;
  CursorKeeper& operator=(const CursorKeeper&) = delete;

 private:
  XDSHANDLE urls_;
  uint32_t recno_ = 0;
};

}  // namespace

char32_t FoldSearchChar(char32_t c) {
  if (c < 0x80) {
    return c >= 'A' && c <= 'Z' ? c + 0x20 : c;
  }
  if (c < 0x100) {
    return c >= 0xC0 && c <= 0xDE && c != 0xD7 ? c + 0x20 : c;
  }
  if (c < 0x180) {
    // Latin Extended-A: capitals pair with the small letter after them, on
    // even code points in most runs and odd ones in two.
    if (c == 0x130) {
      return 'i';
    }
    if (c == 0x178) {
      return 0xFF;
    }
    const bool oddCapitals = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    const bool evenCapitals = (c < 0x138) || (c >= 0x14A && c <= 0x177);
    if ((oddCapitals && (c & 1) != 0) || (evenCapitals && (c & 1) == 0)) {
      return c + 1;
    }
    return c;
  }
  if (c >= 0x400 && c <= 0x52F) {
    if (c >= 0x410 && c <= 0x42F) {
      c += 0x20;
    } else if (c <= 0x40F) {
      c += 0x50;
    } else if (c == 0x4C0) {
      c = 0x4CF;
    } else if (c >= 0x4C1 && c <= 0x4CE) {
      c += c & 1;
    } else if ((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || c >= 0x4D0) {
      c |= 1;
    }
    return c == 0x451 ? 0x435 : c;
  }
  return c;
}

std::string FoldSearchText(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t pos = 0; pos < utf8.size();) {
    const unsigned char b = static_cast<unsigned char>(utf8[pos]);
    if (b < 0x80) {
      out.push_back(b >= 'A' && b <= 'Z' ? static_cast<char>(b + 0x20) : static_cast<char>(b));
      ++pos;
      continue;
    }
    platform::AppendUtf8(FoldSearchChar(platform::NextUtf8(utf8, &pos)), &out);
  }
  return out;
}

std::vector<std::string> SearchWords(std::string_view utf8) {
  std::vector<std::string> words;
  std::string word;
  for (std::size_t pos = 0; pos < utf8.size();) {
    const char32_t c = platform::NextUtf8(utf8, &pos);
    if (IsBlank(c)) {
      if (!word.empty()) {
        words.push_back(std::move(word));
        word.clear();
      }
      continue;
    }
    platform::AppendUtf8(FoldSearchChar(c), &word);
  }
  if (!word.empty()) {
    words.push_back(std::move(word));
  }
  return words;
}

std::string FoldStoredText(std::string_view stored) {
  std::string out;
  AppendFoldedStored(stored, &out);
  return out;
}

XDSRESULT FindUrlRecords(XDSHANDLE urls, WholeAddresses& whole, std::string_view text,
                         UrlSearchProgress* progress, uint32_t budget,
                         std::vector<uint32_t>* recnos) {
  if (progress->done) {
    return 0;
  }
  const std::vector<std::string> words = SearchWords(text);
  UrlFields fields;
  XDSRESULT r = FindFields(urls, &fields);
  uint32_t count = 0;
  if (r == 0) {
    r = XdsGetRecordCount(urls, XDS_COUNT_IGNORE_FILTERS, &count);
  }
  if (r != 0) {
    return r;
  }
  CursorKeeper keeper(urls);
  RecordText record(urls, whole, fields);
  std::string folded;
  uint32_t recno = progress->next < 1 ? 1 : progress->next;
  for (uint32_t looked = 0; recno <= count && looked < budget; ++recno, ++looked) {
    r = XdsGotoRecord(urls, recno);
    uint16_t deleted = 0;
    if (r == 0) {
      r = XdsIsRecordDeleted(urls, &deleted);
    }
    if (r == 0 && deleted == 0 && !words.empty()) {
      r = record.Read(&folded);
    }
    if (r != 0) {
      return r;
    }
    if (deleted == 0 && HasEveryWord(folded, words)) {
      recnos->push_back(recno);
    }
  }
  progress->next = recno;
  progress->done = recno > count;
  return 0;
}

XDSRESULT FindAllUrlRecords(XDSHANDLE urls, WholeAddresses& whole, std::string_view text,
                            std::vector<uint32_t>* recnos) {
  UrlSearchProgress progress;
  XDSRESULT r = 0;
  while (r == 0 && !progress.done) {
    r = FindUrlRecords(urls, whole, text, &progress, UINT32_MAX, recnos);
  }
  return r;
}

}  // namespace catalogue
