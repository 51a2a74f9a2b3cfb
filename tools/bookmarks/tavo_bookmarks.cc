// tavo-bookmarks: browser bookmark files into and out of the catalogue.
// A failure is one line on stderr and exit status 1.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "bookmark_tree.h"
#include "bookmark_write.h"
#include "catalogue_files.h"
#include "catalogue_io.h"

namespace {

// Files with more links than this show their progress on a terminal.
constexpr std::size_t kProgressFrom = 5000;

constexpr const char* kUsage =
    "usage: tavo-bookmarks import FILE [DIR]\n"
    "       tavo-bookmarks export DIR FILE [--format html|xbel]\n"
    "\n"
    "import  adds the bookmarks of FILE (the HTML file browsers export, or XBEL)\n"
    "        to the catalogue in DIR: folders become sections, links URL records;\n"
    "        a link already in the catalogue only gains the new sections.\n"
    "        Nothing changes unless the whole import succeeds.\n"
    "export  writes the whole catalogue in DIR to FILE as browser bookmarks\n"
    "        (html, the default, or xbel; also chosen by a .xbel name).\n"
    "\n"
    "DIR defaults to $XDG_DATA_HOME/tavo-url-manager (~/.local/share/tavo-url-manager),\n"
    "the program's catalogue folder.\n";

int Fail(const std::string& message) {
  std::cerr << "tavo-bookmarks: " << message << "\n";
  return 1;
}

std::string DefaultDir() {
  const char* data = std::getenv("XDG_DATA_HOME");
  if (data != nullptr && data[0] == '/') {
    return std::string(data) + "/tavo-url-manager";
  }
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] == '\0') {
    return "";
  }
  return std::string(home) + "/.local/share/tavo-url-manager";
}

void PrintSummary(const std::string& file, const std::string& dir,
                  const bookmarks::ImportSummary& s, const bookmarks::Tree& tree) {
  std::ostream& o = std::cout;
  o << "Imported " << file << " into " << dir
    << (s.createdCatalogue ? " (a new catalogue)" : "") << ":\n";
  o << "  links read:            " << s.links << "\n";
  o << "  sections created:      " << s.sectionsCreated << "\n";
  o << "  sections reused:       " << s.sectionsReused << "\n";
  o << "  URL records added:     " << s.urlsAdded << "\n";
  o << "  URLs merged:           " << s.urlsMerged << " (already in the catalogue)\n";
  o << "  links filed again:     " << s.linksJoined << " (the same address in another folder)\n";
  o << "  memberships added:     " << s.membershipsAdded << "\n";
  o << "  skipped:               " << s.skipped.size() << "\n";
  if (!s.typesCreated.empty()) {
    o << "  link types created:   ";
    for (const std::string& t : s.typesCreated) {
      o << " " << t;
    }
    o << "\n";
  }
  if (s.namesCut > 0) {
    o << "  names cut to 100 characters (full name kept in the description): " << s.namesCut
      << "\n";
  }
  if (s.textsAltered > 0) {
    o << "  texts with characters the tables' code pages lack (kept as &#N;, shown as the characters): "
      << s.textsAltered << "\n";
  }
  for (const std::string& name : s.sectionNamesCut) {
    o << "  section name cut to 50 characters: " << name << "\n";
  }
  if (tree.separators > 0) {
    o << "  separators left out:   " << tree.separators << "\n";
  }
  if (tree.folderDescriptions > 0) {
    o << "  folder descriptions left out (sections have none): " << tree.folderDescriptions
      << "\n";
  }
  if (tree.foldersTooDeep > 0) {
    o << "  folders nested deeper than " << bookmarks::kMaxFolderDepth
      << " levels, their links kept in the folder above: " << tree.foldersTooDeep << "\n";
  }
  for (const std::string& u : tree.unresolved) {
    o << "  left out: " << u << "\n";
  }
  if (!s.skipped.empty()) {
    o << "Skipped links:\n";
    for (const bookmarks::Skipped& k : s.skipped) {
      o << "  \"" << k.title << "\" " << k.href.substr(0, 300)
        << (k.href.size() > 300 ? "..." : "") << ": " << k.reason << "\n";
    }
  }
}

int Import(const std::vector<std::string>& args) {
  if (args.empty() || args.size() > 2) {
    return Fail("import needs a bookmark file and at most one catalogue folder");
  }
  std::string dir = args.size() == 2 ? args[1] : DefaultDir();
  if (dir.empty()) {
    return Fail("no catalogue folder given and neither XDG_DATA_HOME nor HOME is set");
  }
  std::string bytes;
  std::string error;
  if (!bookmarks::ReadBookmarkFile(args[0], &bytes, &error)) {
    return Fail(error);
  }
  bookmarks::Tree tree;
  if (!bookmarks::ParseBookmarks(bytes, &tree, &error)) {
    return Fail(args[0] + ": " + error);
  }
  bytes.clear();
  bookmarks::ImportOptions options;
  const bool terminal = ::isatty(2) != 0;
  if (terminal && tree.links.size() > kProgressFrom) {
    options.progress = [](std::size_t done, std::size_t total) {
      std::fprintf(stderr, "\rtavo-bookmarks: %zu of %zu addresses written", done, total);
      if (done == total) {
        std::fputc('\n', stderr);
      }
      std::fflush(stderr);
    };
  }
  bookmarks::ImportSummary summary;
  if (!bookmarks::ImportBookmarks(tree, dir, options, &summary, &error)) {
    return Fail(error);
  }
  PrintSummary(args[0], dir, summary, tree);
  return 0;
}

int Export(const std::vector<std::string>& args) {
  std::vector<std::string> plain;
  std::string format;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--format") {
      if (i + 1 >= args.size() || (args[i + 1] != "html" && args[i + 1] != "xbel")) {
        return Fail("--format needs html or xbel");
      }
      format = args[++i];
    } else {
      plain.push_back(args[i]);
    }
  }
  if (plain.size() != 2) {
    return Fail("export needs a catalogue folder and a file to write");
  }
  const std::string& dir = plain[0];
  const std::string& file = plain[1];
  if (format.empty()) {
    format = bookmarks::XbelByName(file) ? "xbel" : "html";
  }
  std::string error;
  if (!bookmarks::ExportBookmarks(dir, file, format == "xbel", &error)) {
    return Fail(error);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  for (const std::string& a : args) {
    if (a == "--help" || a == "-h") {
      std::cout << kUsage;
      return 0;
    }
  }
  if (args.empty()) {
    std::cerr << kUsage;
    return 2;
  }
  std::string command = args[0];
  args.erase(args.begin());
  if (command == "import") {
    return Import(args);
  }
  if (command == "export") {
    return Export(args);
  }
  return Fail("unknown command \"" + command + "\" (see tavo-bookmarks --help)");
}
