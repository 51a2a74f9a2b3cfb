// Reading browsers' bookmark files and XBEL, and hostile input.
#include <gtest/gtest.h>

#include "bookmark_text.h"
#include "cp1251.h"
#include "bookmark_tree.h"
#include "bookmark_write.h"
#include "test_data.h"

namespace bookmarks {
namespace {

using bookmarks_test::ReadData;

Tree Parse(const std::string& text) {
  Tree t;
  std::string error;
  EXPECT_TRUE(ParseBookmarks(text, &t, &error)) << error;
  return t;
}

std::string FolderPath(const Tree& t, int f) {
  std::string path;
  for (; f >= 0; f = t.folders[static_cast<std::size_t>(f)].parent) {
    path = "/" + t.folders[static_cast<std::size_t>(f)].name + path;
  }
  return path.empty() ? "/" : path;
}

TEST(ParseBookmarks, FirefoxExport) {
  Tree t = Parse(ReadData("firefox.html"));
  EXPECT_EQ(t.format, Tree::Format::kNetscape);
  ASSERT_EQ(t.folders.size(), 2u);
  EXPECT_EQ(t.folders[0].name, "Новости");
  EXPECT_EQ(t.folders[1].name, "Bookmarks Toolbar");
  ASSERT_EQ(t.links.size(), 5u);
  const Link& first = t.links[0];
  EXPECT_EQ(first.folder, -1);  // the menu's own links belong to no folder
  EXPECT_EQ(first.href, "https://www.mozilla.org/ru/firefox/");
  EXPECT_EQ(first.title, "Firefox — браузер");
  EXPECT_EQ(first.description, "Домашняя страница «Firefox»");
  EXPECT_EQ(first.tags, "mozilla,браузер");
  EXPECT_EQ(first.added, "2023-11-14 22:13:20");
  EXPECT_EQ(first.modified, "2023-11-14 22:15:00");
  EXPECT_EQ(FolderPath(t, t.links[1].folder), "/Новости");
  EXPECT_EQ(t.links[3].href, "place:sort=8&maxResults=10");
  EXPECT_EQ(FolderPath(t, t.links[4].folder), "/Bookmarks Toolbar");
  EXPECT_EQ(t.links[4].title, "Lenta again & more");
  EXPECT_EQ(t.links[4].keyword, "lenta");
  EXPECT_EQ(t.separators, 1u);
  EXPECT_EQ(t.folderDescriptions, 1u);
}

TEST(ParseBookmarks, ChromiumExport) {
  Tree t = Parse(ReadData("chromium.html"));
  ASSERT_EQ(t.folders.size(), 4u);
  EXPECT_EQ(FolderPath(t, 1), "/Bookmarks bar/Работа");
  EXPECT_EQ(FolderPath(t, 3), "/Other bookmarks");
  ASSERT_EQ(t.links.size(), 6u);
  EXPECT_EQ(FolderPath(t, t.links[0].folder), "/Bookmarks bar");
  EXPECT_EQ(FolderPath(t, t.links[2].folder), "/Bookmarks bar/Работа");
  EXPECT_EQ(t.links[2].href, "mailto:boss@example.com");
  EXPECT_EQ(FolderPath(t, t.links[3].folder), "/Новости");
  EXPECT_EQ(t.links[0].description, "");
}

TEST(ParseBookmarks, XbelWithAliasesAndSeparators) {
  Tree t = Parse(ReadData("aliases.xbel"));
  EXPECT_EQ(t.format, Tree::Format::kXbel);
  ASSERT_EQ(t.folders.size(), 3u);
  EXPECT_EQ(FolderPath(t, 1), "/Программирование/Qt");
  EXPECT_EQ(t.separators, 1u);
  EXPECT_EQ(t.folderDescriptions, 1u);
  // Four bookmarks, and the two aliases of bookmarks filed where they stand
  // (one of them before the bookmark it names).
  ASSERT_EQ(t.links.size(), 6u);
  std::multiset<std::string> filed;
  for (const Link& l : t.links) {
    filed.insert(l.href + " in " + FolderPath(t, l.folder));
  }
  EXPECT_EQ(filed, (std::multiset<std::string>{
                       "https://cppreference.com/ in /Программирование",
                       "https://cppreference.com/ in /Программирование/Qt",
                       "https://doc.qt.io/ in /Программирование/Qt",
                       "https://doc.qt.io/ in /Программирование",
                       "https://example.com/ in /Разное",
                       "https://top.example.com/ in /",
                   }));
  EXPECT_EQ(t.links[0].title, "C++ & справка");
  EXPECT_EQ(t.links[0].description, "Справочник по языку");
  EXPECT_EQ(t.links[0].added, "2021-02-03T04:05:06Z");
  EXPECT_EQ(t.links[2].title, "A <b>bold</b> & title");  // CDATA is literal
  // An alias of a folder cannot be a second parent; a dangling one names nothing.
  ASSERT_EQ(t.unresolved.size(), 2u);
}

TEST(ParseBookmarks, RecognisedByContentNotName) {
  Tree t;
  std::string error;
  EXPECT_FALSE(ParseBookmarks("", &t, &error));
  EXPECT_FALSE(ParseBookmarks("<html><body>hello</body></html>", &t, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(ParseBookmarks(std::string("\0\1\2<<<>>>", 9), &t, &error));
  // No doctype, but the lists of a bookmark file.
  t = Parse("<dl><dt><a href='http://a.ru'>A</a></dl>");
  EXPECT_EQ(t.links.size(), 1u);
  // A byte order mark and a 1251 file declared as such.
  t = Parse("\xEF\xBB\xBF<?xml version=\"1.0\"?><xbel><bookmark href=\"http://b.ru\"/></xbel>");
  ASSERT_EQ(t.links.size(), 1u);
  t = Parse("<!DOCTYPE NETSCAPE-Bookmark-file-1><META CONTENT=\"text/html; charset=windows-1251\">"
            "<DL><DT><A HREF=\"http://c.ru\">\xCF\xF0\xE8\xE2\xE5\xF2</A></DL>");
  ASSERT_EQ(t.links.size(), 1u);
  EXPECT_EQ(t.links[0].title, "Привет");
}

TEST(ParseBookmarks, BrokenMarkupIsReadAsFarAsItGoes) {
  // Unclosed anchors and headings, a stray </DL>, a heading with no list,
  // an attribute with no closing quote at the very end.
  Tree t = Parse(
      "<!DOCTYPE NETSCAPE-Bookmark-file-1></DL></DL><DL><p>"
      "<DT><A HREF=\"http://one.ru\">One"
      "<DT><H3>Empty folder"
      "<DT><H3>Full</H3><DL><p><DT><A HREF=http://two.ru>Two</A></DL>"
      "<DT><A HREF=\"http://three.ru\">Three</A><DD>line one<BR>line two"
      "</DL><DT><A HREF=\"http://four");
  ASSERT_EQ(t.folders.size(), 2u);
  EXPECT_EQ(t.folders[0].name, "Empty folder");
  ASSERT_EQ(t.links.size(), 4u);
  EXPECT_EQ(t.links[0].title, "One");
  EXPECT_EQ(t.links[1].folder, 1);
  EXPECT_EQ(t.links[1].href, "http://two.ru");
  EXPECT_EQ(t.links[2].description, "line one\nline two");
  EXPECT_EQ(t.links[3].href, "http://four");
}

TEST(ParseBookmarks, ScriptsAndReferencesStayText) {
  Tree t = Parse(
      "<!DOCTYPE NETSCAPE-Bookmark-file-1><DL>"
      "<DT><A HREF=\"javascript:alert(1)\">&lt;script&gt;alert(1)&lt;/script&gt;</A>"
      "<DT><A HREF=\"http://x.ru\">before<script>document.write('<A HREF=evil>')</script>after</A>"
      "<DT><A HREF=\"http://y.ru\">&#0;&#xD800;&#99999999;&bogus;&amp&#x41;&#1078;</A></DL>");
  ASSERT_EQ(t.links.size(), 3u);
  EXPECT_EQ(t.links[0].title, "<script>alert(1)</script>");
  EXPECT_EQ(t.links[1].title, "beforeafter");
  EXPECT_EQ(t.links[2].title, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD&bogus;&ampAж");
  // Written back, markup in titles is escaped, never live.
  std::string html = WriteNetscape(t);
  EXPECT_EQ(html.find("<script>"), std::string::npos);
  EXPECT_NE(html.find("&lt;script&gt;"), std::string::npos);
}

TEST(ParseBookmarks, DeepNestingIsCappedNotRecursed) {
  const int depth = 20000;
  std::string text = "<!DOCTYPE NETSCAPE-Bookmark-file-1><DL>";
  for (int i = 0; i < depth; ++i) {
    text += "<DT><H3>f" + std::to_string(i) + "</H3><DL>";
  }
  text += "<DT><A HREF=\"http://deep.ru\">deep</A>";
  for (int i = 0; i < depth; ++i) {
    text += "</DL>";
  }
  text += "<DT><A HREF=\"http://top.ru\">top</A></DL>";
  Tree t = Parse(text);
  EXPECT_EQ(t.folders.size(), static_cast<std::size_t>(kMaxFolderDepth));
  EXPECT_EQ(t.foldersTooDeep, static_cast<std::size_t>(depth - kMaxFolderDepth));
  ASSERT_EQ(t.links.size(), 2u);
  EXPECT_EQ(t.links[0].folder, kMaxFolderDepth - 1);
  EXPECT_EQ(t.links[1].folder, -1);
  // XBEL the same way.
  std::string xbel = "<xbel>";
  for (int i = 0; i < depth; ++i) {
    xbel += "<folder><title>x</title>";
  }
  xbel += "<bookmark href=\"http://deep.ru\"/>";
  t = Parse(xbel);  // never closed
  EXPECT_EQ(t.folders.size(), static_cast<std::size_t>(kMaxFolderDepth));
  ASSERT_EQ(t.links.size(), 1u);
}

// The sketch is a first test of equal compared forms: it must never tell two
// addresses apart that compare equal, whatever case, port or "/" they carry.
TEST(BookmarkText, AnAddressSketchesAsItsComparedForm) {
  for (const char* url :
       {"HTTP://Lenta.RU:80/", "http://a.ru:/", "HTTP://A.RU/?q", "http://a.ru/#top",
        "HTTP://User:Pw@Host.COM:8080/A?b#c", "http://a:1:80/x", "http://[::1]:80/",
        "http://[::1]/x", "http://a.com:abc/x", "ftp://a:b@C.d:21", "MAILTO:Boss@Example.com",
        "x-Y+z.w://H/", "www.example.com", "http://Some.Host//", "https://a.ru:443"}) {
    SCOPED_TRACE(url);
    EXPECT_EQ(AddressSketch(url), AddressSketch(ComparableUrl(url)));
  }
  EXPECT_NE(AddressSketch("http://a.ru/x"), AddressSketch("http://b.ru/x"));
  EXPECT_NE(AddressSketch("http://a.ru/x"), AddressSketch("http://a.ru/X"));
  EXPECT_NE(AddressSketch("mailto:a"), AddressSketch("mailto:b"));
}

TEST(BookmarkText, AddressesCompareNormalised) {
  EXPECT_EQ(ComparableUrl("HTTP://Lenta.RU:80/"), "http://lenta.ru");
  EXPECT_EQ(ComparableUrl("http://lenta.ru"), "http://lenta.ru");
  EXPECT_EQ(ComparableUrl("https://a.ru:443/?q=1"), "https://a.ru?q=1");
  EXPECT_EQ(ComparableUrl("https://a.ru:8443/"), "https://a.ru:8443");
  EXPECT_EQ(ComparableUrl("ftp://A.ru:21/Pub/"), "ftp://a.ru/Pub/");  // only an empty path loses "/"
  EXPECT_EQ(ComparableUrl("https://пример.РФ/"), "https://xn--e1afmkfd.xn--p1ai");
  EXPECT_EQ(ComparableUrl("MAILTO:Boss@Example.com"), "mailto:Boss@Example.com");
  EXPECT_EQ(ComparableUrl("www.example.com"), "www.example.com");
  // Addresses already lower-case, with and without what the form drops.
  EXPECT_EQ(ComparableUrl("http://a.ru/"), "http://a.ru");
  EXPECT_EQ(ComparableUrl("http://a.ru/#top"), "http://a.ru#top");
  EXPECT_EQ(ComparableUrl("http://a.ru/Path/"), "http://a.ru/Path/");
  EXPECT_EQ(ComparableUrl("http://a.ru:80/x"), "http://a.ru/x");
  EXPECT_EQ(ComparableUrl("http://me@a.ru/"), "http://me@a.ru");
  EXPECT_EQ(SchemeOf("Https://x"), "https");
  EXPECT_EQ(SchemeOf("1http://x"), "");
  std::string host;
  ASSERT_TRUE(HostToAscii("bücher.de", &host));
  EXPECT_EQ(host, "xn--bcher-kva.de");
  ASSERT_TRUE(HostToAscii("Яндекс.рф", &host));
  EXPECT_EQ(host, "xn--d1acpjx3f.xn--p1ai");
}

TEST(BookmarkText, WhatTheTablesCannotHold) {
  bool altered = false;
  // Cyrillic is kept; what the code page lacks becomes a reference.
  EXPECT_EQ(StorableText("Привет, мир", true, &altered), "\xCF\xF0\xE8\xE2\xE5\xF2, \xEC\xE8\xF0");
  EXPECT_FALSE(altered);
  EXPECT_EQ(StorableText("«Да» — нет…", true, &altered),
            "&#171;\xC4\xE0&#187; &#8212; \xED\xE5\xF2&#8230;");
  EXPECT_TRUE(altered);
  altered = false;
  EXPECT_EQ(StorableText("«Да»", false, &altered), "\xAB\xC4\xE0\xBB");  // 1251 holds them
  EXPECT_FALSE(altered);
  EXPECT_EQ(StorableText("München Straße", true, &altered), "M&#252;nchen Stra&#223;e");
  EXPECT_EQ(StorableText("x\xF0\x9F\x94\xA5y", true, &altered), "x&#128293;y");
  EXPECT_EQ(StorableText("bad\xFFtail", true, &altered), "bad&#65533;tail");
  // A title that reads "&#" keeps it: the program shows it as it was.
  EXPECT_EQ(StorableText("C&#", true, &altered), "C&#38;#");
  // Addresses: a host the table holds in its characters, what the table
  // lacks percent-encoded, Cyrillic kept.
  EXPECT_EQ(StorableUrl("https://пример.рф/путь café", true),
            "https://\xEF\xF0\xE8\xEC\xE5\xF0.\xF0\xF4/\xEF\xF3\xF2\xFC%20caf%C3%A9");
  altered = false;
  EXPECT_EQ(StorableAddress("http://a/?x=&#1;ü", true, &altered), "http://a/?x=&#1;%C3%BC");
  EXPECT_TRUE(altered);
}

TEST(BookmarkText, HostsInTheirCharactersWhereTheTableHoldsThem) {
  std::string host;
  ASSERT_TRUE(HostToUnicode("xn--e1afmkfd.xn--p1ai", true, &host));
  EXPECT_EQ(host, "пример.рф");
  ASSERT_TRUE(HostToUnicode("WWW.Пример.РФ", true, &host));
  EXPECT_EQ(host, "www.пример.рф");
  // A label with a character the table lacks stays in its ASCII form.
  ASSERT_TRUE(HostToUnicode("xn--bcher-kva.xn--p1ai", true, &host));
  EXPECT_EQ(host, "xn--bcher-kva.рф");
  ASSERT_TRUE(HostToUnicode("bücher.de", true, &host));
  EXPECT_EQ(host, "xn--bcher-kva.de");
  // What is not Punycode's own form stays as written: no characters beyond
  // ASCII, digits past the end, upper case that HostToAscii would lower.
  for (const char* odd : {"xn--abc-", "xn--", "xn--e1afmkfd9", "xn--zzzzzzzzzz", "xn--p1ai-"}) {
    ASSERT_TRUE(HostToUnicode(odd, true, &host)) << odd;
    EXPECT_EQ(host, odd);
  }
  EXPECT_EQ(StorableUrl("http://xn--e1afmkfd.xn--p1ai:8080/a?b#c", true),
            "http://\xEF\xF0\xE8\xEC\xE5\xF0.\xF0\xF4:8080/a?b#c");
  // Both forms of a host compare as one address.
  EXPECT_EQ(ComparableUrl(platform::Cp1251ToUtf8(StorableUrl("https://xn--e1afmkfd.xn--p1ai/", true))),
            ComparableUrl("https://XN--E1AFMKFD.xn--p1ai"));
}

}  // namespace
}  // namespace bookmarks
