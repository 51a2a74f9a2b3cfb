// Importing bookmark files into catalogues: what lands where, the merge
// rules, values that do not fit, and the round trip through an export.
#include <gtest/gtest.h>

#include <set>

#include "bookmark_tree.h"
#include "bookmark_write.h"
#include "catalogue_io.h"
#include "catalogue_util.h"
#include "test_data.h"

namespace bookmarks {
namespace {

using namespace bookmarks_test;

ImportSummary Import(const std::string& text, const std::string& dir) {
  Tree tree;
  std::string error;
  EXPECT_TRUE(ParseBookmarks(text, &tree, &error)) << error;
  ImportSummary summary;
  EXPECT_TRUE(ImportBookmarks(tree, dir, ImportOptions(), &summary, &error)) << error;
  return summary;
}

std::string Export(const std::string& dir, bool xbel) {
  Tree tree;
  std::string error;
  EXPECT_TRUE(ReadCatalogue(dir, &tree, &error)) << error;
  return xbel ? WriteXbel(tree) : WriteNetscape(tree);
}

void ExpectChecked(const std::string& dir) {
  for (const char* table : {"TEM.dbf", "TYPE.DBF", "URLIN.DBF", "urls.DBF"}) {
    RunResult r = Exec(XCETOOL_PATH, {"check", (fs::path(dir) / table).string()});
    EXPECT_EQ(r.status, 0) << table << ": " << r.err;
  }
}

TEST(Import, FirefoxFileIntoANewCatalogue) {
  TempDir tmp;
  const std::string dir = tmp.str("catalogue");
  ImportSummary s = Import(ReadData("firefox.html"), dir);
  EXPECT_TRUE(s.createdCatalogue);
  EXPECT_EQ(s.links, 5u);
  EXPECT_EQ(s.sectionsCreated, 2u);
  EXPECT_EQ(s.urlsAdded, 3u);
  EXPECT_EQ(s.linksJoined, 1u);  // lenta.ru in the menu's folder and on the toolbar
  EXPECT_EQ(s.membershipsAdded, 3u);
  ASSERT_EQ(s.skipped.size(), 1u);
  EXPECT_EQ(s.skipped[0].href, "place:sort=8&maxResults=10");
  EXPECT_EQ(s.typesCreated, (std::vector<std::string>{"https", "http"}));
  EXPECT_EQ(Snapshot(dir),
            "section /Bookmarks Toolbar#0\n"
            "section /Новости#0\n"
            "url HTTP://lenta.ru:80/ | Лента | добавлена 2020-09-13 12:26:41\r\n"
            "Другое название: Lenta again & more\r\n"
            "добавлена 2020-09-13 12:26:43; ключевое слово: lenta | type http| | in "
            "/Bookmarks Toolbar#0 /Новости#0\n"
            "url https://www.mozilla.org/ru/firefox/ | Firefox &#8212; браузер | Домашняя страница "
            "&#171;Firefox&#187;\r\nМетки: mozilla,браузер; добавлена 2023-11-14 22:13:20; изменена "
            "2023-11-14 22:15:00 | type https| | in\n"
            "url https://пример.рф/путь?q=1 | IDN | добавлена 2020-09-13 12:26:42 | "
            "type https| | in /Новости#0\n");
  // The names are stored in the URL table's own code page, 866.
  const std::string urls = Slurp(fs::path(dir) / "urls.DBF");
  EXPECT_NE(urls.find("\x8B\xA5\xAD\xE2\xA0"), std::string::npos);  // "Лента"
  ExpectChecked(dir);
}

TEST(Import, MergeRules) {
  TempDir tmp;
  const std::string dir = tmp.str("catalogue");
  Import(ReadData("firefox.html"), dir);
  ImportSummary s = Import(ReadData("chromium.html"), dir);
  EXPECT_FALSE(s.createdCatalogue);
  // "Новости" at the top level meets the section of that name; the others are new.
  EXPECT_EQ(s.sectionsReused, 1u);
  EXPECT_EQ(s.sectionsCreated, 3u);
  // lenta.ru, written two more ways, is one record: it gains only the
  // toolbar section it was not filed under.
  EXPECT_EQ(s.urlsMerged, 1u);
  EXPECT_EQ(s.linksJoined, 1u);
  EXPECT_EQ(s.urlsAdded, 4u);
  EXPECT_EQ(s.membershipsAdded, 5u);
  EXPECT_EQ(s.typesCreated, (std::vector<std::string>{"mailto", "ftp"}));  // http and https reused
  const std::string snapshot = Snapshot(dir);
  EXPECT_NE(snapshot.find("url HTTP://lenta.ru:80/ | Лента | "), std::string::npos);
  EXPECT_NE(snapshot.find("| type http| | in /Bookmarks Toolbar#0 /Bookmarks bar#0 /Новости#0\n"),
            std::string::npos)
      << snapshot;
  EXPECT_NE(snapshot.find("section /Bookmarks bar#0/Работа#0\n"), std::string::npos);
  // The same file again changes nothing.
  s = Import(ReadData("chromium.html"), dir);
  EXPECT_EQ(s.sectionsCreated, 0u);
  EXPECT_EQ(s.urlsAdded, 0u);
  EXPECT_EQ(s.membershipsAdded, 0u);
  EXPECT_EQ(s.urlsMerged, 5u);
  EXPECT_EQ(Snapshot(dir), snapshot);
  ExpectChecked(dir);
}

TEST(Import, AddressesOfTheCatalogueMatchWithTheirTypesPrefix) {
  TempDir tmp;
  const std::string dir = tmp.str();
  {
    Writer w(dir);
    w.Add(catalogue::kType, {"1", "Веб-страница", "http://"});
    w.Add(catalogue::kTem, {"1", "Старое", "0"});
    w.Add(catalogue::kUrls, {"www.example.com", "Пример", "", "1", "7"});
    w.Add(catalogue::kUrlIn, {"1", "7"});
  }
  ImportSummary s = Import(
      "<!DOCTYPE NETSCAPE-Bookmark-file-1><DL><DT><H3>Старое</H3><DL>"
      "<DT><A HREF=\"http://WWW.Example.com/\">x</A></DL>"
      "<DT><H3>Новое</H3><DL><DT><A HREF=\"http://www.example.com:80\">y</A></DL></DL>",
      dir);
  EXPECT_EQ(s.urlsMerged, 1u);
  EXPECT_EQ(s.urlsAdded, 0u);
  EXPECT_EQ(s.membershipsAdded, 1u);
  EXPECT_TRUE(s.typesCreated.empty());
  EXPECT_EQ(Snapshot(dir),
            "section /Новое#0\nsection /Старое#0\n"
            "url www.example.com | Пример |  | type Веб-страница|http:// | in /Новое#0 /Старое#0\n");
}

TEST(Import, ValuesThatDoNotFitAreNeverCutSilently) {
  TempDir tmp;
  const std::string dir = tmp.str();
  const std::string longUrl = "http://example.com/" + std::string(90, 'a');
  const std::string longName = "Очень длинное название " + std::string(100, 'x');
  const std::string longSection = "Раздел с очень длинным именем, длиннее пятидесяти знаков";
  ImportSummary s = Import("<!DOCTYPE NETSCAPE-Bookmark-file-1><DL><DT><H3>" + longSection +
                               "</H3><DL>"
                               "<DT><A HREF=\"" + longUrl + "\">long address</A>"
                               "<DT><A HREF=\"http://ok.ru\">" + longName + "</A><DD>text"
                               "<DT><A HREF=\"nothing here\">no scheme</A>"
                               "<DT><A>no href</A></DL></DL>",
                           dir);
  // The long address is kept whole, not skipped.
  ASSERT_EQ(s.skipped.size(), 2u);
  EXPECT_EQ(s.skipped[0].title, "no scheme");
  EXPECT_EQ(s.namesCut, 1u);
  ASSERT_EQ(s.sectionNamesCut.size(), 1u);
  EXPECT_EQ(s.sectionNamesCut[0], longSection);
  const std::string snapshot = Snapshot(dir);
  EXPECT_NE(snapshot.find("url " + longUrl + " | long address |"), std::string::npos) << snapshot;
  EXPECT_NE(snapshot.find("url " + longUrl + " | long address |"), std::string::npos) << snapshot;
  // The name is cut to its field, its whole text leads the description.
  const std::string cut = platform::Cp1251ToUtf8(platform::Utf8ToCp1251(longName).substr(0, 100));
  EXPECT_NE(snapshot.find("url http://ok.ru | " + cut + " | Название: " + longName + "\r\ntext |"),
            std::string::npos)
      << snapshot;
}

// Names in any alphabet are kept as references and exported as their
// characters; a Cyrillic host is stored in its letters and still meets the
// same address written in its ASCII form.
TEST(Import, TextInAnyAlphabetAndCyrillicHosts) {
  TempDir tmp;
  TempDir copies;
  const std::string dir = tmp.str();
  {
    Writer w(dir);
    w.Add(catalogue::kType, {"1", "http", ""});
    w.Add(catalogue::kUrls, {"http://xn--d1acpjx3f.xn--p1ai/", "Яндекс", "", "1", "7"});
  }
  const std::string file =
      "<!DOCTYPE NETSCAPE-Bookmark-file-1><DL><DT><H3>Straße 中文</H3><DL>"
      "<DT><A HREF=\"https://xn--e1afmkfd.xn--p1ai/путь\">München Straße 😀 &amp;#</A>"
      "<DD>Grüße € «x»"
      "<DT><A HREF=\"http://Яндекс.РФ\">Y</A>"
      "<DT><A HREF=\"http://xn--d1acpjx3f.xn--p1ai/\">Y2</A>"
      "<DT><A HREF=\"https://example.com/Café\">Café</A></DL></DL>";
  ImportSummary s = Import(file, dir);
  EXPECT_EQ(s.urlsAdded, 2u);
  EXPECT_EQ(s.urlsMerged, 1u);  // both ways of writing яндекс.рф meet record 7
  EXPECT_EQ(s.linksJoined, 1u);
  EXPECT_TRUE(s.skipped.empty());
  const std::string snapshot = Snapshot(dir);
  EXPECT_NE(snapshot.find("section /Stra&#223;e &#20013;&#25991;#0\n"), std::string::npos)
      << snapshot;
  EXPECT_NE(snapshot.find("url https://пример.рф/путь | M&#252;nchen Stra&#223;e &#128512; "
                          "&#38;# | Gr&#252;&#223;e &#8364; &#171;x&#187; | type https|"),
            std::string::npos)
      << snapshot;
  EXPECT_NE(snapshot.find("url https://example.com/Caf%C3%A9 | Caf&#233; |"), std::string::npos)
      << snapshot;
  EXPECT_NE(snapshot.find("url http://xn--d1acpjx3f.xn--p1ai/ | Яндекс |"), std::string::npos)
      << snapshot;
  // The same file again, and the host written in its letters: nothing new.
  s = Import(file, dir);
  EXPECT_EQ(s.urlsAdded, 0u);
  EXPECT_EQ(s.urlsMerged, 3u);
  EXPECT_EQ(Snapshot(dir), snapshot);

  // Exported as the characters, escaped once; imported again unchanged.
  for (bool xbel : {false, true}) {
    const std::string exported = Export(dir, xbel);
    for (const char* text : {"München Straße 😀 &amp;#", "Grüße € «x»", "Straße 中文", "Café",
                             "https://пример.рф/путь"}) {
      EXPECT_NE(exported.find(text), std::string::npos) << text << "\n" << exported;
    }
    EXPECT_EQ(exported.find("&amp;#252;"), std::string::npos) << exported;
    const std::string again = copies.str(xbel ? "xbel" : "html");
    Import(exported, again);
    EXPECT_EQ(Snapshot(again), snapshot);
  }
}

// Names of references cut to their field keep whole references.
TEST(Import, NamesAreCutBetweenReferences) {
  TempDir tmp;
  const std::string dir = tmp.str();
  std::string name;
  for (int i = 0; i < 30; ++i) {
    name += "中";
  }
  ImportSummary s = Import("<!DOCTYPE NETSCAPE-Bookmark-file-1><DL><DT><H3>" + name +
                               "</H3><DL><DT><A HREF=\"http://a.ru\">" + name + "</A></DL></DL>",
                           dir);
  EXPECT_EQ(s.namesCut, 1u);
  EXPECT_EQ(s.sectionNamesCut.size(), 1u);
  std::string twelve, six;
  for (int i = 0; i < 12; ++i) {
    twelve += "&#20013;";
  }
  six = twelve.substr(0, 48);
  const std::string snapshot = Snapshot(dir);
  EXPECT_NE(snapshot.find("section /" + six + "#0\n"), std::string::npos) << snapshot;
  EXPECT_NE(snapshot.find("url http://a.ru | " + twelve + " | "), std::string::npos) << snapshot;
}

// A catalogue with what a browser file cannot say by itself: a record with
// no link type, prefixes, two records of one address, siblings of one name,
// an empty section, records filed nowhere, descriptions with line breaks,
// markup characters and trailing blanks.
void MakeOddCatalogue(const std::string& dir) {
  Writer w(dir);
  w.Add(catalogue::kType, {"1", "Веб-страница", "http://"});
  w.Add(catalogue::kType, {"2", "Почта", "mailto:"});
  w.Add(catalogue::kType, {"3", "Без префикса", ""});
  w.Add(catalogue::kTem, {"1", "Работа", "0"});
  w.Add(catalogue::kTem, {"2", "Проекты", "1"});
  w.Add(catalogue::kTem, {"3", "Проекты", "1"});
  w.Add(catalogue::kTem, {"4", "Пустой", "0"});
  w.Add(catalogue::kTem, {"5", "Глубже", "2"});
  w.Add(catalogue::kUrls, {"www.example.com", "Пример", "строка\r\nвторая\nтретья  ", "1", "1"});
  w.Add(catalogue::kUrls, {"www.example.com", "Пример-близнец", "", "1", "2"});
  w.Add(catalogue::kUrls, {"boss@example.com", "Начальник <a&b> \"q\"", "", "2", "3"});
  w.Add(catalogue::kUrls, {"my site", "  с пробелами", "нигде", "", "4"});
  w.Add(catalogue::kUrls, {"https://x.ru/?a=1&b=2", "Без префикса", "", "3", "5"});
  w.Add(catalogue::kUrlIn, {"2", "1"});
  w.Add(catalogue::kUrlIn, {"3", "1"});
  w.Add(catalogue::kUrlIn, {"5", "2"});
  w.Add(catalogue::kUrlIn, {"1", "3"});
  w.Add(catalogue::kUrlIn, {"5", "5"});
  w.Add(catalogue::kUrlIn, {"1", "5"});
}

TEST(Import, RoundTripThroughBothFormatsKeepsTheCatalogue) {
  TempDir tmp;
  const std::string original = tmp.str("original");
  fs::create_directories(original);
  MakeOddCatalogue(original);
  const std::string before = Snapshot(original);
  ASSERT_NE(before.find("url my site |   с пробелами | нигде | type none: | in\n"), std::string::npos)
      << before;
  for (bool xbel : {false, true}) {
    const std::string file = Export(original, xbel);
    const std::string copy = tmp.str(xbel ? "from-xbel" : "from-html");
    ImportSummary s = Import(file, copy);
    EXPECT_TRUE(s.skipped.empty());
    EXPECT_EQ(s.urlsAdded, 5u);
    EXPECT_EQ(Snapshot(copy), before) << (xbel ? "xbel" : "html") << "\n" << file;
    EXPECT_EQ(Export(copy, xbel).size(), file.size());
    ExpectChecked(copy);
  }
  // A browser sees real addresses: the type's prefix in front.
  const std::string html = Export(original, false);
  EXPECT_NE(html.find("HREF=\"http://www.example.com\""), std::string::npos);
  EXPECT_NE(html.find("HREF=\"mailto:boss@example.com\""), std::string::npos);
  EXPECT_NE(html.find(">Без раздела</H3>"), std::string::npos);
  EXPECT_NE(html.find("<DT><H3>Пустой</H3>"), std::string::npos);
}

TEST(Import, ExportOfAnEmptyOrMissingCatalogue) {
  TempDir tmp;
  Tree tree;
  std::string error;
  EXPECT_FALSE(ReadCatalogue(tmp.str(), &tree, &error));
  EXPECT_NE(error.find("holds no catalogue"), std::string::npos);
  Writer w(tmp.str());
}

// Every address of a catalogue, whole, with its link type's prefix (UTF-8).
std::multiset<std::string> Addresses(const std::string& dir) {
  Tree tree;
  std::string error;
  EXPECT_TRUE(ReadCatalogue(dir, &tree, &error)) << error;
  std::multiset<std::string> out;
  for (const Link& link : tree.links) {
    out.insert(link.href);
  }
  return out;
}

// A browser file of `links` links, every `longEvery`th one with an address
// longer than the URL field: query strings, %-escapes, Cyrillic, up to 2 KiB.
std::string BrowserFile(int links, int longEvery, std::multiset<std::string>* hrefs) {
  std::string file = "<!DOCTYPE NETSCAPE-Bookmark-file-1>\n<DL><p>\n<DT><H3>Links</H3>\n<DL><p>\n";
  for (int i = 0; i < links; ++i) {
    std::string href =
        "https://site" + std::to_string(i % 997) + ".example/page/" + std::to_string(i);
    if (i % longEvery == 0) {
      href += "?q=%D0%BF%D0%BE%D0%B8%D1%81%D0%BA+" + std::to_string(i) + "&where=Москва&x=";
      href += std::string(static_cast<std::size_t>(40 + (i * 37) % 2000), 'a' + i % 26);
    }
    hrefs->insert(href);
    file += "<DT><A HREF=\"" + href + "\">Link " + std::to_string(i) + "</A>\n";
  }
  return file + "</DL><p>\n</DL><p>\n";
}

TEST(Import, LongAddressesGoInWholeAndComeOutWhole) {
  TempDir tmp;
  std::multiset<std::string> hrefs;
  const std::string file = BrowserFile(60, 3, &hrefs);
  ImportSummary s = Import(file, tmp.str("a"));
  EXPECT_TRUE(s.skipped.empty());
  EXPECT_EQ(s.urlsAdded, 60u);
  EXPECT_TRUE(fs::exists(tmp.path() / "a" / "URLFULL.DBF"));
  EXPECT_TRUE(Addresses(tmp.str("a")) == hrefs);
  ExpectChecked(tmp.str("a"));
  EXPECT_EQ(Exec(XCETOOL_PATH, {"check", tmp.str("a/URLFULL.DBF")}).status, 0);

  // The same file again finds every address, the long ones by their whole
  // text: nothing is added.
  s = Import(file, tmp.str("a"));
  EXPECT_EQ(s.urlsAdded, 0u);
  EXPECT_EQ(s.urlsMerged, 60u);
  // Two addresses that differ after their first 100 characters are two
  // records.
  std::multiset<std::string> more;
  s = Import("<!DOCTYPE NETSCAPE-Bookmark-file-1><DL><DT><A HREF=\"" + *hrefs.rbegin() +
                 "b\">longer</A></DL>",
             tmp.str("a"));
  EXPECT_EQ(s.urlsAdded, 1u);

  // Exported in either format and imported again: every address equal.
  for (bool xbel : {false, true}) {
    const std::string copy = tmp.str(xbel ? "xbel" : "html");
    s = Import(Export(tmp.str("a"), xbel), copy);
    EXPECT_TRUE(s.skipped.empty());
    EXPECT_TRUE(Addresses(copy) == Addresses(tmp.str("a"))) << (xbel ? "xbel" : "html");
    EXPECT_EQ(Snapshot(copy), Snapshot(tmp.str("a")));
    ExpectChecked(copy);
  }
}

// A Safari-sized export: 14,000 links, one in nine longer than the field.
TEST(Import, ASafariSizedFileRoundTripsWithEveryAddressEqual) {
  TempDir tmp;
  std::multiset<std::string> hrefs;
  ImportSummary s = Import(BrowserFile(14000, 9, &hrefs), tmp.str("a"));
  EXPECT_TRUE(s.skipped.empty());
  EXPECT_EQ(s.urlsAdded, 14000u);
  EXPECT_TRUE(Addresses(tmp.str("a")) == hrefs);
  s = Import(Export(tmp.str("a"), false), tmp.str("b"));
  EXPECT_EQ(s.urlsAdded, 14000u);
  EXPECT_TRUE(Addresses(tmp.str("b")) == hrefs);
  EXPECT_EQ(Exec(XCETOOL_PATH, {"check", tmp.str("b/URLFULL.DBF")}).status, 0);
}

}  // namespace
}  // namespace bookmarks
