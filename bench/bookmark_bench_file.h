// The bookmark file the import benches read: 100,000 links in 2,000 folders.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace bench {

constexpr int kBookmarkLinks = 100000;
constexpr int kBookmarkFolders = 2000;

// 40 top folders of 49 subfolders each (2,000 in all), 50 links a folder;
// every tenth link repeats an address filed in another folder.
inline std::string MakeBookmarkFile() {
  std::string text =
      "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n<META HTTP-EQUIV=\"Content-Type\" "
      "CONTENT=\"text/html; charset=UTF-8\">\n<TITLE>Bookmarks</TITLE>\n<H1>Bookmarks</H1>\n"
      "<DL><p>\n";
  int link = 0;
  int folder = 0;
  auto links = [&](int count) {
    for (int i = 0; i < count && link < kBookmarkLinks; ++i, ++link) {
      int address = link % 10 == 9 ? link / 2 : link;
      text += "        <DT><A HREF=\"https://site" + std::to_string(address) +
              ".example.com/articles/" + std::to_string(address % 977) + "\" ADD_DATE=\"" +
              std::to_string(1600000000 + link) + "\">Статья номер " + std::to_string(address) +
              "</A>\n";
      if (link % 3 == 0) {
        text += "        <DD>Описание закладки " + std::to_string(link) + "\n";
      }
    }
  };
  for (int top = 0; top < 40; ++top) {
    text += "    <DT><H3>Раздел " + std::to_string(top) + "</H3>\n    <DL><p>\n";
    ++folder;
    links(kBookmarkLinks / kBookmarkFolders);
    for (int sub = 0; sub < 49; ++sub) {
      text += "        <DT><H3>Подраздел " + std::to_string(sub) + "</H3>\n        <DL><p>\n";
      ++folder;
      links(kBookmarkLinks / kBookmarkFolders);
      text += "        </DL><p>\n";
    }
    text += "    </DL><p>\n";
  }
  text += "</DL><p>\n";
  if (folder != kBookmarkFolders || link != kBookmarkLinks) {
    std::fprintf(stderr, "bookmark bench file: made %d folders and %d links\n", folder, link);
    std::exit(1);
  }
  return text;
}

}  // namespace bench
