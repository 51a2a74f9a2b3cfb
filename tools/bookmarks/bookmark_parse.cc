// Reading bookmark files: one forgiving tokenizer for both formats, then a
// reader for each that keeps only what it understands.
#include <algorithm>
#include <map>
#include <utility>

#include "bookmark_text.h"
#include "bookmark_tree.h"
#include "cp1251.h"

namespace bookmarks {
namespace {

constexpr std::size_t kSniffBytes = 1 << 16;

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
bool IsAlpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f'; }

std::string Lowered(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(), Lower);
  return out;
}

// Leading line breaks and tabs and trailing white space go: they come from
// the file's layout, not from the title.
std::string Clean(std::string_view s) {
  while (!s.empty() && (s.front() == '\r' || s.front() == '\n' || s.front() == '\t')) {
    s.remove_prefix(1);
  }
  while (!s.empty() && IsSpace(s.back())) {
    s.remove_suffix(1);
  }
  return std::string(s);
}

std::string Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) {
    s.remove_prefix(1);
  }
  while (!s.empty() && IsSpace(s.back())) {
    s.remove_suffix(1);
  }
  return std::string(s);
}

struct Token {
  enum Kind { kText, kOpen, kClose } kind = kText;
  std::string name;  // lower case
  std::vector<std::pair<std::string, std::string>> attrs;  // names lower case, values decoded
  bool selfClosing = false;
  std::string raw;  // text as written (references not decoded)

  const std::string* Attr(std::string_view n) const {
    for (const auto& [k, v] : attrs) {
      if (k == n) {
        return &v;
      }
    }
    return nullptr;
  }
  std::string AttrOr(std::string_view n) const {
    const std::string* v = Attr(n);
    return v != nullptr ? *v : std::string();
  }
};

class Lexer {
 public:
  Lexer(std::string_view s, bool html) : s_(s), html_(html) {}

  bool Next(Token* t) {
    t->attrs.clear();
    t->selfClosing = false;
    t->raw.clear();
    t->name.clear();
    while (pos_ < s_.size()) {
      if (s_[pos_] != '<') {
        std::size_t lt = s_.find('<', pos_);
        if (lt == std::string_view::npos) {
          lt = s_.size();
        }
        t->kind = Token::kText;
        t->raw.assign(s_.substr(pos_, lt - pos_));
        pos_ = lt;
        return true;
      }
      std::string_view rest = s_.substr(pos_);
      if (rest.substr(0, 4) == "<!--") {
        SkipPast("-->", 4);
        continue;
      }
      if (rest.substr(0, 9) == "<![CDATA[") {
        std::size_t end = s_.find("]]>", pos_ + 9);
        std::size_t stop = end == std::string_view::npos ? s_.size() : end;
        t->kind = Token::kText;
        // CDATA is literal: escape its ampersands so decoding gives it back.
        for (char c : s_.substr(pos_ + 9, stop - pos_ - 9)) {
          t->raw += c == '&' ? std::string("&amp;") : std::string(1, c);
        }
        pos_ = end == std::string_view::npos ? s_.size() : end + 3;
        return true;
      }
      if (rest.size() >= 2 && (rest[1] == '!' || rest[1] == '?')) {
        SkipPast(">", 2);
        continue;
      }
      bool closing = rest.size() >= 2 && rest[1] == '/';
      std::size_t nameAt = pos_ + (closing ? 2 : 1);
      if (nameAt >= s_.size() || !IsAlpha(s_[nameAt])) {
        t->kind = Token::kText;
        t->raw = "&lt;";
        ++pos_;
        return true;
      }
      std::size_t i = nameAt;
      while (i < s_.size() && !IsSpace(s_[i]) && s_[i] != '>' && s_[i] != '/') {
        ++i;
      }
      t->name = Lowered(s_.substr(nameAt, i - nameAt));
      t->kind = closing ? Token::kClose : Token::kOpen;
      pos_ = i;
      ReadAttributes(t);
      if (html_ && t->kind == Token::kOpen && (t->name == "script" || t->name == "style")) {
        SkipRawText(t->name);  // never text of a title or description
        continue;
      }
      return true;
    }
    return false;
  }

 private:
  void SkipPast(std::string_view end, std::size_t from) {
    std::size_t at = s_.find(end, pos_ + from);
    pos_ = at == std::string_view::npos ? s_.size() : at + end.size();
  }

  void SkipRawText(const std::string& name) {
    std::string close = "</" + name;
    while (pos_ < s_.size()) {
      std::size_t lt = s_.find("</", pos_);
      if (lt == std::string_view::npos) {
        pos_ = s_.size();
        return;
      }
      if (Lowered(s_.substr(lt, close.size())) == close) {
        pos_ = lt;
        SkipPast(">", 0);
        return;
      }
      pos_ = lt + 2;
    }
  }

  void ReadAttributes(Token* t) {
    while (pos_ < s_.size()) {
      char c = s_[pos_];
      if (c == '>') {
        ++pos_;
        return;
      }
      if (c == '/' || IsSpace(c)) {
        t->selfClosing = c == '/';
        ++pos_;
        continue;
      }
      t->selfClosing = false;
      std::size_t start = pos_;
      while (pos_ < s_.size() && !IsSpace(s_[pos_]) && s_[pos_] != '=' && s_[pos_] != '>' &&
             s_[pos_] != '/') {
        ++pos_;
      }
      std::string name = Lowered(s_.substr(start, pos_ - start));
      if (name.empty()) {  // a stray "=": step over it
        ++pos_;
        continue;
      }
      while (pos_ < s_.size() && IsSpace(s_[pos_])) {
        ++pos_;
      }
      std::string value;
      if (pos_ < s_.size() && s_[pos_] == '=') {
        ++pos_;
        while (pos_ < s_.size() && IsSpace(s_[pos_])) {
          ++pos_;
        }
        if (pos_ < s_.size() && (s_[pos_] == '"' || s_[pos_] == '\'')) {
          char quote = s_[pos_++];
          std::size_t end = s_.find(quote, pos_);
          if (end == std::string_view::npos) {
            end = s_.size();
          }
          value = DecodeReferences(s_.substr(pos_, end - pos_));
          pos_ = end < s_.size() ? end + 1 : end;
        } else {
          std::size_t vs = pos_;
          while (pos_ < s_.size() && !IsSpace(s_[pos_]) && s_[pos_] != '>') {
            ++pos_;
          }
          value = DecodeReferences(s_.substr(vs, pos_ - vs));
        }
      }
      t->attrs.emplace_back(std::move(name), std::move(value));
    }
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  bool html_;
};

int64_t ParseSeconds(const std::string& text) {
  if (text.empty() || text.size() > 18) {
    return 0;
  }
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') {
      return 0;
    }
    v = v * 10 + (c - '0');
  }
  // Some browsers write microseconds; a bookmark is not from the year 5000.
  while (v > 253402300799LL) {
    v /= 1000;
  }
  return v;
}

class Reader {
 public:
  explicit Reader(Tree* tree) : tree_(tree) {}

  int Depth(int folder) const {
    int d = 0;
    for (int f = folder; f >= 0; f = tree_->folders[static_cast<std::size_t>(f)].parent) {
      ++d;
    }
    return d;
  }

  // A new folder under `parent`, or `parent` itself when too deep.
  int AddFolder(int parent, std::string name, bool unfiled) {
    if (Depth(parent) >= kMaxFolderDepth) {
      ++tree_->foldersTooDeep;
      return parent;
    }
    tree_->folders.push_back({std::move(name), parent, unfiled});
    return static_cast<int>(tree_->folders.size() - 1);
  }

  // Title and description as the link's origin wants them: a catalogue
  // export's exactly, a browser's without the file's layout around them.
  void AddLink(Link link, const std::string& rawTitle, const std::string& rawDescription,
               bool firstLineOnly) {
    bool exact = link.catalogue.present;
    std::string title = DecodeReferences(rawTitle);
    link.title = exact ? title : Clean(title);
    std::string_view d = rawDescription;
    if (exact && firstLineOnly) {
      d = d.substr(0, d.find('\n'));
    }
    std::string description = DecodeReferences(d);
    link.description = exact ? description : Trim(description);
    tree_->links.push_back(std::move(link));
  }

 protected:
  Tree* tree_;
};

void ReadCatalogueFacts(const Token& t, const char* url, const char* id, const char* type,
                        const char* prefix, Link* link) {
  const std::string* u = t.Attr(url);
  if (u == nullptr) {
    return;
  }
  link->catalogue.present = true;
  link->catalogue.url = *u;
  link->catalogue.id = t.AttrOr(id);
  const std::string* tn = t.Attr(type);
  link->catalogue.typed = tn != nullptr;
  if (tn != nullptr) {
    link->catalogue.typeName = *tn;
    link->catalogue.typePrefix = t.AttrOr(prefix);
  }
}

class NetscapeReader : public Reader {
 public:
  using Reader::Reader;

  void Run(std::string_view text) {
    Lexer lexer(text, true);
    Token t;
    while (lexer.Next(&t)) {
      if (t.kind == Token::kText) {
        if (capture_ != kNone) {
          buffer_ += t.raw;
        }
        continue;
      }
      const std::string& n = t.name;
      if (t.kind == Token::kOpen) {
        if (n == "h3") {
          End();
          pending_ = kNoFolder;
          capture_ = kFolderName;
          unfiled_ = t.Attr("tavo_unfiled") != nullptr;
        } else if (n == "dl") {
          End();
          stack_.push_back(current_);
          if (pending_ != kNoFolder) {
            current_ = pending_;
          }
          pending_ = kNoFolder;
        } else if (n == "a") {
          End();
          pending_ = kNoFolder;
          StartLink(t);
        } else if (n == "dd") {
          End();
          capture_ = kDescription;
        } else if (n == "br") {
          if (capture_ != kNone) {
            buffer_ += "&#10;";
          }
        } else if (n == "dt" || n == "hr") {
          End();
          pending_ = kNoFolder;
          tree_->separators += n == "hr" ? 1 : 0;
        }
        continue;
      }
      if ((n == "h3" && capture_ == kFolderName) || (n == "a" && capture_ == kLinkTitle)) {
        End();
      } else if (n == "dl") {
        End();
        pending_ = kNoFolder;
        if (!stack_.empty()) {
          current_ = stack_.back();
          stack_.pop_back();
        }
      }
    }
    End();
  }

 private:
  static constexpr int kNoFolder = -2;
  enum Capture { kNone, kFolderName, kLinkTitle, kDescription };

  void StartLink(const Token& t) {
    link_ = Link();
    link_.folder = current_;
    link_.href = t.AttrOr("href");
    link_.tags = t.AttrOr("tags");
    link_.keyword = t.AttrOr("shortcuturl");
    link_.added = FormatUnixTime(ParseSeconds(t.AttrOr("add_date")));
    link_.modified = FormatUnixTime(ParseSeconds(t.AttrOr("last_modified")));
    ReadCatalogueFacts(t, "tavo_url", "tavo_id", "tavo_type", "tavo_prefix", &link_);
    capture_ = kLinkTitle;
  }

  // Ends what is being read: a folder's name, a link's title or a description.
  void End() {
    switch (capture_) {
      case kFolderName:
        pending_ = AddFolder(current_, Clean(DecodeReferences(buffer_)), unfiled_);
        last_ = kFolder;
        break;
      case kLinkTitle:
        AddLink(link_, buffer_, "", false);
        last_ = kLink;
        break;
      case kDescription:
        if (last_ == kLink) {
          Link& l = tree_->links.back();
          std::string_view d = buffer_;
          if (l.catalogue.present) {
            d = d.substr(0, d.find('\n'));
            l.description = DecodeReferences(d);
          } else {
            l.description = Trim(DecodeReferences(d));
          }
        } else if (last_ == kFolder && !Trim(buffer_).empty()) {
          ++tree_->folderDescriptions;
        }
        last_ = kNothing;
        break;
      case kNone:
        break;
    }
    capture_ = kNone;
    buffer_.clear();
  }

  enum Last { kNothing, kFolder, kLink };
  Capture capture_ = kNone;
  std::string buffer_;
  Link link_;
  bool unfiled_ = false;
  int current_ = -1;
  int pending_ = kNoFolder;
  Last last_ = kNothing;
  std::vector<int> stack_;
};

class XbelReader : public Reader {
 public:
  using Reader::Reader;

  void Run(std::string_view text) {
    Lexer lexer(text, false);
    Token t;
    std::map<std::string, std::size_t> ids;  // bookmark id -> its first link
    std::map<std::string, bool> folderIds;
    std::vector<std::pair<std::string, int>> aliases;
    while (lexer.Next(&t)) {
      if (t.kind == Token::kText) {
        if (!open_.empty() && (open_.back().kind == kTitle || open_.back().kind == kDesc)) {
          open_.back().text += t.raw;
        }
        continue;
      }
      const std::string& n = t.name;
      if (t.kind == Token::kOpen) {
        Element e;
        if (n == "folder") {
          e.kind = kFolderElement;
          e.saved = current_;
          current_ = AddFolder(current_, "", false);
          e.folder = current_;
          if (t.Attr("id") != nullptr) {
            folderIds[t.AttrOr("id")] = true;
          }
        } else if (n == "bookmark") {
          e.kind = kBookmark;
          e.link.folder = current_;
          e.link.href = t.AttrOr("href");
          e.link.added = t.AttrOr("added");
          e.link.modified = t.AttrOr("modified");
          e.id = t.AttrOr("id");
        } else if (n == "title" || n == "desc") {
          e.kind = n == "title" ? kTitle : kDesc;
        } else if (n == "metadata") {
          Metadata(t);
          continue;
        } else if (n == "separator") {
          ++tree_->separators;
          continue;
        } else if (n == "alias") {
          aliases.emplace_back(t.AttrOr("ref"), current_);
          continue;
        } else {
          continue;
        }
        open_.push_back(std::move(e));
        if (t.selfClosing) {
          Close(open_.back().kind, &ids);
        }
        continue;
      }
      Kind k = n == "folder"     ? kFolderElement
               : n == "bookmark" ? kBookmark
               : n == "title"    ? kTitle
               : n == "desc"     ? kDesc
                                 : kOther;
      if (k != kOther) {
        Close(k, &ids);
      }
    }
    while (!open_.empty()) {
      Close(open_.back().kind, &ids);
    }
    for (const auto& [ref, folder] : aliases) {
      auto it = ids.find(ref);
      if (it != ids.end()) {
        Link copy = tree_->links[it->second];
        copy.folder = folder;
        tree_->links.push_back(std::move(copy));
      } else {
        tree_->unresolved.push_back(folderIds.count(ref) != 0
                                        ? "alias of folder \"" + ref + "\" (only links can be filed twice)"
                                        : "alias of \"" + ref + "\", which names no bookmark");
      }
    }
  }

 private:
  enum Kind { kFolderElement, kBookmark, kTitle, kDesc, kOther };
  struct Element {
    Kind kind = kOther;
    int saved = -1;   // folder before a folder element
    int folder = -1;  // the folder element's own folder
    Link link;
    std::string id;
    std::string title;
    std::string desc;
    std::string text;  // title or desc being read
    bool titled = false;
  };

  void Metadata(const Token& t) {
    if (t.AttrOr("owner") != "tavo-url-manager") {
      return;
    }
    for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
      if (it->kind == kBookmark) {
        ReadCatalogueFacts(t, "url", "id", "type", "prefix", &it->link);
        return;
      }
      if (it->kind == kFolderElement) {
        if (t.AttrOr("unfiled") == "yes" && it->folder >= 0 && it->folder != it->saved) {
          tree_->folders[static_cast<std::size_t>(it->folder)].unfiled = true;
        }
        return;
      }
    }
  }

  // Closes the innermost open element of kind k (and any left open inside it).
  void Close(Kind k, std::map<std::string, std::size_t>* ids) {
    auto match = std::find_if(open_.rbegin(), open_.rend(),
                              [k](const Element& e) { return e.kind == k; });
    if (match == open_.rend()) {
      return;
    }
    while (true) {
      Element e = std::move(open_.back());
      open_.pop_back();
      Finish(&e, ids);
      if (e.kind == k) {
        return;
      }
    }
  }

  void Finish(Element* e, std::map<std::string, std::size_t>* ids) {
    Element* parent = open_.empty() ? nullptr : &open_.back();
    switch (e->kind) {
      case kTitle:
        if (parent != nullptr && parent->kind == kFolderElement && !parent->titled &&
            parent->folder != parent->saved) {
          tree_->folders[static_cast<std::size_t>(parent->folder)].name =
              Clean(DecodeReferences(e->text));
          parent->titled = true;
        } else if (parent != nullptr && parent->kind == kBookmark && !parent->titled) {
          parent->title = e->text;
          parent->titled = true;
        }
        break;
      case kDesc:
        if (parent != nullptr && parent->kind == kBookmark) {
          parent->desc = e->text;
        } else if (parent != nullptr && parent->kind == kFolderElement &&
                   !Trim(e->text).empty()) {
          ++tree_->folderDescriptions;
        }
        break;
      case kFolderElement:
        current_ = e->saved;
        break;
      case kBookmark:
        AddLink(e->link, e->title, e->desc, false);
        if (!e->id.empty() && ids->count(e->id) == 0) {
          (*ids)[e->id] = tree_->links.size() - 1;
        }
        break;
      case kOther:
        break;
    }
  }

  std::vector<Element> open_;
  int current_ = -1;
};

// The declared character set, when the file says it is Windows-1251.
bool DeclaresCp1251(std::string_view head) {
  std::string h = Lowered(head.substr(0, std::min(head.size(), kSniffBytes)));
  for (const char* name : {"windows-1251", "cp1251", "x-cp1251"}) {
    std::size_t at = h.find(name);
    if (at != std::string::npos) {
      std::string before = h.substr(at > 20 ? at - 20 : 0, at > 20 ? 20 : at);
      if (before.find("charset") != std::string::npos ||
          before.find("encoding") != std::string::npos) {
        return true;
      }
    }
  }
  return false;
}

}  // namespace

bool ParseBookmarks(std::string_view bytes, Tree* tree, std::string* error) {
  *tree = Tree();
  if (bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    bytes.remove_prefix(3);
  }
  std::string converted;
  if (DeclaresCp1251(bytes)) {
    converted = platform::Cp1251ToUtf8(bytes);
    bytes = converted;
  }
  std::string head = Lowered(bytes.substr(0, std::min(bytes.size(), kSniffBytes)));
  std::size_t netscape = head.find("<!doctype netscape-bookmark-file");
  std::size_t xbel = head.find("<xbel");
  if (xbel == std::string::npos) {
    xbel = head.find("<!doctype xbel");
  }
  if (xbel != std::string::npos && (netscape == std::string::npos || xbel < netscape)) {
    tree->format = Tree::Format::kXbel;
    XbelReader(tree).Run(bytes);
    return true;
  }
  if (netscape != std::string::npos ||
      (head.find("<dl") != std::string::npos && head.find("<dt") != std::string::npos)) {
    tree->format = Tree::Format::kNetscape;
    NetscapeReader(tree).Run(bytes);
    return true;
  }
  *error = "not a bookmark file: neither the HTML that browsers export nor XBEL";
  return false;
}

}  // namespace bookmarks
