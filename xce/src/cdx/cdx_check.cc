#include "cdx/cdx_check.h"

#include <cstdio>
#include <set>

namespace xce::cdx {

namespace {

constexpr std::size_t kMaxProblems = 50;
constexpr int kMaxDepth = 32;

constexpr std::size_t kMaxInversions = 1000;

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

// A key as a reader of the report can compare it: character keys as quoted
// text without their trailing pad (bytes outside printable ASCII escaped),
// other keys as hex bytes.
std::string KeyText(const uint8_t* key, int len, uint8_t pad) {
  char buf[8];
  std::string out;
  if (pad != 0x20) {
    for (int i = 0; i < len; ++i) {
      std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", key[i]);
      out += buf;
    }
    return out;
  }
  while (len > 0 && key[len - 1] == pad) {
    --len;
  }
  out = "\"";
  for (int i = 0; i < len; ++i) {
    if (key[i] >= 0x20 && key[i] < 0x7F && key[i] != '"' && key[i] != '\\') {
      out += static_cast<char>(key[i]);
    } else {
      std::snprintf(buf, sizeof buf, "\\x%02X", key[i]);
      out += buf;
    }
  }
  return out + "\"";
}

class TreeChecker {
 public:
  TreeChecker(CdxTag* tag, uint32_t maxRecno, std::set<uint32_t>* used)
      : tag_(tag), maxRecno_(maxRecno), used_(used) {}

  TagCheck Run() {
    Visit(tag_->root(), 0, nullptr, 0);
    CheckSiblings();
    // Inversions are listed apart from the damage, and each one: a file
    // another program wrote with a few keys out of order is readable, and
    // the list tells which keys a seek may miss.
    for (std::string& p : inversions_) {
      result_.problems.push_back(std::move(p));
    }
    if (inversionCount_ > inversions_.size()) {
      result_.problems.push_back("tag " + tag_->name() + ": " +
                                 std::to_string(inversionCount_ - inversions_.size()) +
                                 " more pairs of keys out of order");
    }
    return std::move(result_);
  }

 private:
  struct PageLinks {
    uint32_t offset, left, right;
  };

  void Problem(const std::string& text) {
    if (result_.problems.size() < kMaxProblems) {
      result_.problems.push_back("tag " + tag_->name() + ": " + text);
    }
  }

  // Visits a page; `expected` is the parent's entry for it (null at the root).
  void Visit(uint32_t offset, int depth, const Node* parent, int parentIndex) {
    if (result_.problems.size() >= kMaxProblems) {
      return;
    }
    if (depth > kMaxDepth) {
      Problem("tree deeper than 32 levels");
      return;
    }
    if (!used_->insert(offset).second) {
      Problem("page " + Hex(offset) + " is reached twice (a loop or a shared page)");
      return;
    }
    std::shared_ptr<const Node> node;
    Status s = tag_->file()->ReadNode(offset, tag_->key_len(), tag_->pad(), &node);
    if (!s.ok()) {
      Problem(s.message());
      return;
    }
    if (node->root() != (depth == 0)) {
      Problem("page " + Hex(offset) +
              (depth == 0 ? " is the root without the root mark"
                          : " carries the root mark below the root"));
    }
    if (static_cast<int>(levels_.size()) <= depth) {
      levels_.resize(depth + 1);
    }
    levels_[depth].push_back({offset, node->left, node->right});
    const int n = node->size();
    if (n == 0 && depth > 0) {
      Problem("page " + Hex(offset) + " is empty");
    }
    for (int i = 1; i < n && !node->leaf(); ++i) {
      if (!EntryLess(*node, i - 1, *node, i)) {
        Problem("page " + Hex(offset) + " is out of order at entry " + std::to_string(i));
        break;
      }
    }
    if (parent != nullptr && n > 0 &&
        (CompareBytes(parent->key(parentIndex), node->key(n - 1), tag_->key_len()) != 0 ||
         parent->recnos[parentIndex] != node->recnos[n - 1])) {
      Problem("the parent entry of page " + Hex(offset) + " is not its last key");
    }
    if (!node->leaf()) {
      for (int i = 0; i < n; ++i) {
        Visit(node->children[i], depth + 1, node.get(), i);
      }
      return;
    }
    if (leafDepth_ < 0) {
      leafDepth_ = depth;
    } else if (leafDepth_ != depth) {
      Problem("leaves at different depths");
    }
    for (int i = 0; i < n; ++i) {
      uint32_t r = node->recnos[i];
      if (r == 0 || (maxRecno_ != 0 && r > maxRecno_)) {
        Problem("record number " + std::to_string(r) + " in page " + Hex(offset) +
                " names no record");
      }
      if (last_ != nullptr) {
        bool sameKey = CompareBytes(last_->key(lastIndex_), node->key(i), tag_->key_len()) == 0;
        if (!EntryLess(*last_, lastIndex_, *node, i)) {
          Inversion(*node, i);
        } else if (sameKey && tag_->unique()) {
          Problem("unique tag holds a key twice at page " + Hex(offset));
        }
      }
      last_ = node;
      lastIndex_ = i;
    }
    result_.entries += n;
  }

  // Entry i of leaf `node` is not after the entry walked before it.
  void Inversion(const Node& node, int i) {
    if (inversionCount_++ >= kMaxInversions) {
      return;
    }
    const int keyLen = tag_->key_len();
    std::string where = "page " + Hex(node.offset);
    if (last_->offset != node.offset) {
      where += " (after page " + Hex(last_->offset) + ")";
    }
    inversions_.push_back("tag " + tag_->name() + ": keys out of order in " + where + ": " +
                          KeyText(last_->key(lastIndex_), keyLen, tag_->pad()) + " (record " +
                          std::to_string(last_->recnos[lastIndex_]) + ") before " +
                          KeyText(node.key(i), keyLen, tag_->pad()) + " (record " +
                          std::to_string(node.recnos[i]) + ")");
  }

  void CheckSiblings() {
    for (std::size_t d = 0; d < levels_.size(); ++d) {
      const auto& level = levels_[d];
      for (std::size_t j = 0; j < level.size(); ++j) {
        uint32_t wantLeft = j == 0 ? kNoPage : level[j - 1].offset;
        uint32_t wantRight = j + 1 == level.size() ? kNoPage : level[j + 1].offset;
        if (level[j].left != wantLeft || level[j].right != wantRight) {
          Problem("sibling links of page " + Hex(level[j].offset) + " are wrong");
        }
      }
    }
  }

  CdxTag* tag_;
  uint32_t maxRecno_;
  std::set<uint32_t>* used_;
  TagCheck result_;
  std::vector<std::vector<PageLinks>> levels_;
  int leafDepth_ = -1;
  std::shared_ptr<const Node> last_;
  int lastIndex_ = 0;
  std::vector<std::string> inversions_;
  std::size_t inversionCount_ = 0;
};

}  // namespace

TagCheck CheckTag(CdxTag* tag, uint32_t maxRecno) {
  std::set<uint32_t> used;
  return TreeChecker(tag, maxRecno, &used).Run();
}

std::vector<std::string> CheckIndexFile(CdxFile* file, uint32_t maxRecno,
                                        std::vector<std::string>* notes) {
  std::vector<std::string> problems;
  std::set<uint32_t> used{0, kPageSize};
  auto add = [&](const std::vector<std::string>& more) {
    for (const auto& p : more) {
      problems.push_back(file->path() + ": " + p);
    }
  };
  TagCheck dir = TreeChecker(file->directory(), 0, &used).Run();
  for (auto& p : dir.problems) {
    problems.push_back(file->path() + ": directory" + p.substr(p.find(':')));
  }
  for (int i = 0; i < file->tag_count(); ++i) {
    CdxTag* tag = file->tag(i);
    used.insert(tag->header_offset());
    used.insert(tag->header_offset() + kPageSize);
    add(TreeChecker(tag, maxRecno, &used).Run().problems);
  }
  uint32_t free = file->free_head();
  uint32_t steps = 0;
  std::vector<uint8_t> page(kPageSize);
  while (free != 0 && free != kNoPage) {
    if (++steps > file->page_count() || !file->ValidPageOffset(free) || !used.insert(free).second) {
      problems.push_back(file->path() + ": the free page list is broken at " + Hex(free));
      break;
    }
    if (!file->ReadPage(free, page.data()).ok()) {
      problems.push_back(file->path() + ": free page " + Hex(free) + " cannot be read");
      break;
    }
    free = DecodeFreePageNext(page.data());
  }
  uint32_t lost = 0;
  for (uint32_t p = 0; p < file->page_count(); ++p) {
    if (used.count(p * kPageSize) == 0) {
      ++lost;
    }
  }
  if (lost > 0 && notes != nullptr) {
    notes->push_back(file->path() + ": " + std::to_string(lost) +
                     " pages belong to no tag and are not free");
  }
  return problems;
}

}  // namespace xce::cdx
