#include "bookmark_write.h"

#include <set>

#include "bookmark_text.h"

namespace bookmarks {
namespace {

// One step of a depth-first walk: entering a folder, a link, leaving a folder.
struct Step {
  enum Kind { kEnter, kLink, kLeave } kind;
  int index;  // folder or link
  int depth;  // of the folder entered or left, or of the link's folder
};

// Every folder's subfolders first, then its links, each in tree order; links
// of no folder at the top after the folders. Iterative: depth is unbounded.
std::vector<Step> Walk(const Tree& tree) {
  const std::size_t n = tree.folders.size();
  std::vector<std::vector<int>> subfolders(n + 1);  // slot n: the top level
  std::vector<std::vector<int>> links(n + 1);
  auto slot = [n](int f) { return f < 0 ? n : static_cast<std::size_t>(f); };
  for (std::size_t f = 0; f < n; ++f) {
    subfolders[slot(tree.folders[f].parent)].push_back(static_cast<int>(f));
  }
  for (std::size_t l = 0; l < tree.links.size(); ++l) {
    links[slot(tree.links[l].folder)].push_back(static_cast<int>(l));
  }
  std::vector<Step> steps;
  struct Frame {
    int folder;
    std::size_t next;
    int depth;
  };
  std::vector<Frame> stack = {{-1, 0, 0}};
  while (!stack.empty()) {
    Frame& top = stack.back();
    const std::vector<int>& subs = subfolders[slot(top.folder)];
    if (top.next < subs.size()) {
      int f = subs[top.next++];
      int depth = top.depth + 1;
      steps.push_back({Step::kEnter, f, depth});
      stack.push_back({f, 0, depth});
      continue;
    }
    for (int l : links[slot(top.folder)]) {
      steps.push_back({Step::kLink, l, top.depth});
    }
    if (top.folder >= 0) {
      steps.push_back({Step::kLeave, top.folder, top.depth});
    }
    stack.pop_back();
  }
  return steps;
}

std::string Indent(int depth) {
  return std::string(static_cast<std::size_t>(4 * std::min(depth, 16)), ' ');
}

// Line breaks of a description become references, so the text stays on the
// line of its <DD> and reads back exactly.
std::string EscapeOneLine(const std::string& text) {
  std::string out;
  for (char c : EscapeMarkup(text)) {
    if (c == '\n') {
      out += "&#10;";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

std::string WriteNetscape(const Tree& tree) {
  std::string out =
      "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n"
      "<!-- This is an automatically generated file.\n"
      "     It will be read and overwritten.\n"
      "     DO NOT EDIT! -->\n"
      "<META HTTP-EQUIV=\"Content-Type\" CONTENT=\"text/html; charset=UTF-8\">\n"
      "<TITLE>Bookmarks</TITLE>\n"
      "<H1>Bookmarks</H1>\n"
      "<DL><p>\n";
  for (const Step& s : Walk(tree)) {
    if (s.kind == Step::kEnter) {
      const Folder& f = tree.folders[static_cast<std::size_t>(s.index)];
      out += Indent(s.depth) + "<DT><H3" + (f.unfiled ? " TAVO_UNFILED=\"true\"" : "") + ">" +
             EscapeOneLine(f.name) + "</H3>\n" + Indent(s.depth) + "<DL><p>\n";
    } else if (s.kind == Step::kLeave) {
      out += Indent(s.depth) + "</DL><p>\n";
    } else {
      const Link& l = tree.links[static_cast<std::size_t>(s.index)];
      out += Indent(s.depth + 1) + "<DT><A HREF=\"" + EscapeOneLine(l.href) + "\"";
      if (l.catalogue.present) {
        out += " TAVO_URL=\"" + EscapeOneLine(l.catalogue.url) + "\" TAVO_ID=\"" +
               EscapeOneLine(l.catalogue.id) + "\"";
        if (l.catalogue.typed) {
          out += " TAVO_TYPE=\"" + EscapeOneLine(l.catalogue.typeName) + "\" TAVO_PREFIX=\"" +
                 EscapeOneLine(l.catalogue.typePrefix) + "\"";
        }
      }
      out += ">" + EscapeOneLine(l.title) + "</A>\n";
      if (!l.description.empty()) {
        out += Indent(s.depth + 1) + "<DD>" + EscapeOneLine(l.description) + "\n";
      }
    }
  }
  out += "</DL><p>\n";
  return out;
}

std::string WriteXbel(const Tree& tree) {
  std::string out =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<!DOCTYPE xbel PUBLIC \"+//IDN python.org//DTD XML Bookmark Exchange Language 1.0//EN//XML\" "
      "\"http://pyxml.sourceforge.net/topics/dtds/xbel.dtd\">\n"
      "<xbel version=\"1.0\">\n";
  std::set<std::string> written;
  for (const Step& s : Walk(tree)) {
    if (s.kind == Step::kEnter) {
      const Folder& f = tree.folders[static_cast<std::size_t>(s.index)];
      out += Indent(s.depth) + "<folder>\n" + Indent(s.depth + 1) + "<title>" +
             EscapeOneLine(f.name) + "</title>\n";
      if (f.unfiled) {
        out += Indent(s.depth + 1) +
               "<info><metadata owner=\"tavo-url-manager\" unfiled=\"yes\"/></info>\n";
      }
    } else if (s.kind == Step::kLeave) {
      out += Indent(s.depth) + "</folder>\n";
    } else {
      const Link& l = tree.links[static_cast<std::size_t>(s.index)];
      std::string id = l.catalogue.present ? "u" + l.catalogue.id : "";
      if (!id.empty() && written.count(id) != 0) {
        out += Indent(s.depth + 1) + "<alias ref=\"" + EscapeOneLine(id) + "\"/>\n";
        continue;
      }
      if (!id.empty()) {
        written.insert(id);
      }
      out += Indent(s.depth + 1) + "<bookmark href=\"" + EscapeOneLine(l.href) + "\"" +
             (id.empty() ? "" : " id=\"" + EscapeOneLine(id) + "\"") + ">\n";
      out += Indent(s.depth + 2) + "<title>" + EscapeOneLine(l.title) + "</title>\n";
      if (l.catalogue.present) {
        out += Indent(s.depth + 2) + "<info><metadata owner=\"tavo-url-manager\" url=\"" +
               EscapeOneLine(l.catalogue.url) + "\" id=\"" + EscapeOneLine(l.catalogue.id) + "\"";
        if (l.catalogue.typed) {
          out += " type=\"" + EscapeOneLine(l.catalogue.typeName) + "\" prefix=\"" +
                 EscapeOneLine(l.catalogue.typePrefix) + "\"";
        }
        out += "/></info>\n";
      }
      if (!l.description.empty()) {
        out += Indent(s.depth + 2) + "<desc>" + EscapeOneLine(l.description) + "</desc>\n";
      }
      out += Indent(s.depth + 1) + "</bookmark>\n";
    }
  }
  out += "</xbel>\n";
  return out;
}

}  // namespace bookmarks
