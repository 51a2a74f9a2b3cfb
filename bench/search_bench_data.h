// The catalogue the search benches share: a demo catalogue whose every URL
// record has a description of about 200 characters of real Russian and
// English words (common words often, as in real text, a few rare ones
// seldom), the same bytes for the same size on every run; the searches the
// benches time on it; and its records read back for a peer's copy.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "bench_util.h"
#include "catalogue/demo_catalogue.h"
#include "catalogue/whole_address.h"
#include "cp1251.h"
#include "stored_text.h"

namespace bench {

// Words by how often they come, the most frequent first.
inline constexpr std::string_view kRussianWords =
    "и в не на я что он с как а то все она так его но да ты к у же вы за бы по только ее мне "
    "было вот от меня еще нет о из ему теперь когда даже ну вдруг ли если уже или ни быть был "
    "него до вас нибудь опять уж вам ведь там потом себя ничего ей может они тут где есть надо "
    "ней для мы тебя их чем была сам чтоб без будто чего раз тоже себе под будет ж тогда кто "
    "этот того потому этого какой совсем ним здесь этом один почти мой тем чтобы нее сейчас "
    "были куда зачем всех никогда можно при наконец два об другой хоть после над больше тот "
    "через эти нас про всего них какая много разве три эту моя впрочем хорошо свою этой перед "
    "иногда лучше чуть том нельзя такой им более всегда конечно всю между время человек год "
    "работа слово место жизнь день рука дело глаз страна город вопрос дом сторона друг голова "
    "система вид история книга статья библиотека программа документ поиск сайт страница ссылка "
    "новости наука музыка кино спорт путешествие кулинария здоровье финансы образование игра "
    "фотография автомобиль искусство описание справочник учебник журнал форум каталог обзор "
    "архив портал сервис проект разработка таблица индекс запись поле файл память скорость "
    "сеть сервер клиент данные база запрос ответ ошибка пример задача решение метод модель "
    "товар магазин цена доставка заказ погода карта маршрут гостиница билет расписание рецепт "
    "ужин завтрак новый старый полезный интересный подробный краткий официальный любимый "
    "быстрый удобный русский английский большой маленький главный последний первый важный "
    "ёлка ёмкость актёр учёба зелёный жёлтый всё ещё её";

inline constexpr std::string_view kEnglishWords =
    "the of and to a in is it you that he was for on are with as i his they be at one have "
    "this from or had by not word but what some we can out other were all there when up use "
    "your how said an each she which do their time if will way about many then them write "
    "would like so these her long make thing see him two has look more day could go come did "
    "number sound no most people my over know water than call first who may down side been "
    "now find any new work part take get place made live where after back little only round "
    "man year came show every good me give our under name very through just form sentence "
    "great think say help low line differ turn cause much mean before move right boy old too "
    "same tell does set three want air well also play small end put home read hand port large "
    "spell add even land here must big high such follow act why ask men change went light "
    "kind off need house picture try us again animal point mother world near build self earth "
    "father head stand own page should country found answer school grow study still learn "
    "plant cover food sun four between state keep eye never last let thought city tree cross "
    "farm hard start might story saw far sea draw left late run while press close night real "
    "life few north open seem together next white children begin got walk example ease paper "
    "group always music those both mark often letter until mile river car feet care second "
    "book carry took science eat room friend began idea fish mountain stop once base hear "
    "horse cut sure watch color face wood main enough plain girl usual young ready above ever "
    "red list though feel talk bird soon body dog family direct pose leave song measure door "
    "product black short numeral class wind question happen complete ship area half rock "
    "order fire south problem piece told knew pass since top whole king space heard best hour "
    "better true during hundred five remember step early hold west ground interest reach fast "
    "verb sing listen six table travel less morning ten simple several vowel toward war lay "
    "against pattern slow center love person money serve appear road map rain rule govern "
    "pull cold notice voice unit power town fine certain fly fall lead cry dark machine note "
    "wait plan figure star box noun field rest correct able pound done beauty drive stood "
    "contain front teach week final gave green quick develop ocean warm free minute strong "
    "special mind behind clear tail produce fact street inch multiply nothing course stay "
    "wheel full force blue object decide surface deep moon island foot system busy test "
    "record boat common gold possible plane stead dry wonder laugh thousand ago ran check "
    "game shape equate miss brought heat snow tire bring yes distant fill east paint language "
    "among index database search browser bookmark article tutorial review download software "
    "internet network server library document archive history reference encyclopedia recipe "
    "weather forecast museum gallery journal magazine podcast video channel forum blog";

// Words that come about once in a thousand records.
inline constexpr std::string_view kRareWords =
    "квазар пеликан аккордеон калейдоскоп гобелен эскимо баобаб дирижабль метеорит "
    "зеппелин флюгер ксилофон тромбон палимпсест "
    "zeppelin xylophone quokka pangolin accordion kaleidoscope tapestry palimpsest "
    "weathervane trombone narwhal axolotl platypus marzipan origami";

inline std::vector<std::string> SplitWords(std::string_view text) {
  std::vector<std::string> out;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find(' ', at);
    if (end == std::string_view::npos) {
      end = text.size();
    }
    if (end > at) {
      out.push_back(platform::Utf8ToCp1251(text.substr(at, end - at)));
    }
    at = end + 1;
  }
  return out;
}

// Word lists in the program's character set, with the cumulative weights
// of a Zipf distribution (the word of rank k weighs 1/k).
struct BenchVocabulary {
  std::vector<std::string> words;
  std::vector<double> cumulative;
  explicit BenchVocabulary(std::string_view text) : words(SplitWords(text)) {
    double sum = 0;
    for (std::size_t k = 0; k < words.size(); ++k) {
      sum += 1.0 / static_cast<double>(k + 1);
      cumulative.push_back(sum);
    }
  }
  const std::string& Draw(uint64_t random) const {
    const double x = static_cast<double>(random >> 11) * 0x1.0p-53 * cumulative.back();
    std::size_t lo = 0;
    std::size_t hi = cumulative.size() - 1;
    while (lo < hi) {
      const std::size_t mid = (lo + hi) / 2;
      if (cumulative[mid] < x) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return words[lo];
  }
};

// The description of URL id `id`, in the program's character set: sentences
// of one alphabet each (three in five Russian), 150 to 250 characters, made
// from the id alone.
inline std::string SearchBenchDescription(uint32_t id) {
  static const BenchVocabulary russian(kRussianWords);
  static const BenchVocabulary english(kEnglishWords);
  static const std::vector<std::string> rare = SplitWords(kRareWords);
  uint64_t state = 0x5EA2C4ULL * 0x9E3779B97F4A7C15ULL + id;
  auto next = [&state] {
    uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  };
  const std::size_t length = 150 + next() % 101;
  const std::size_t rareAt = next() % 1000 == 0 ? next() % 20 : SIZE_MAX;
  std::string text;
  std::size_t words = 0;
  while (text.size() < length) {
    const BenchVocabulary& language = next() % 5 < 3 ? russian : english;
    const std::size_t sentence = 4 + next() % 9;
    for (std::size_t w = 0; w < sentence && text.size() < length; ++w, ++words) {
      std::string word =
          words == rareAt ? rare[next() % rare.size()] : language.Draw(next());
      if (w == 0 && !word.empty()) {
        // A capital letter: Latin, or Cyrillic in 1251 ("а".."я" at 0xE0..0xFF, "ё" 0xB8).
        unsigned char& c = reinterpret_cast<unsigned char&>(word[0]);
        c = c >= 'a' && c <= 'z' ? c - 0x20 : c >= 0xE0 ? c - 0x20 : c == 0xB8 ? 0xA8 : c;
      }
      if (!text.empty()) {
        text += w == 0 ? ". " : next() % 8 == 0 ? ", " : " ";
      }
      text += word;
    }
  }
  return text + ".";
}

// A search and what kind of word it is.
struct BenchSearch {
  const char* kind;
  const char* text;  // UTF-8
};

// Words of 2 to 10 characters, common and rare, both alphabets, two words,
// and one that matches nothing.
inline const std::vector<BenchSearch>& SearchBenchSearches() {
  static const std::vector<BenchSearch> searches = {
      {"2 chars, common", "то"},        {"2 chars, Latin", "th"},
      {"3 chars, common", "для"},       {"4 chars, Latin", "book"},
      {"5 chars, mid", "архив"},        {"6 chars, Latin", "travel"},
      {"7 chars, Latin", "weather"},    {"8 chars, mid", "document"},
      {"10 chars", "библиотека"},       {"9 chars, rare", "дирижабль"},
      {"7 chars, rare", "narwhal"},     {"two words", "новый сайт"},
      {"with ё, any case", "ЁЛКА"},    {"nothing", "щъщъщ"},
  };
  return searches;
}

// Writes the catalogue of `urls` URL records into `dir` unless the folder
// holds one already (a catalogue made by an earlier run is used again).
inline void EnsureSearchBenchCatalogue(const std::string& dir, uint32_t urls) {
  if (std::filesystem::exists(std::filesystem::path(dir) / "urls.DBF")) {
    return;
  }
  std::printf("writing a catalogue of %u URL records into %s\n", urls, dir.c_str());
  std::fflush(stdout);
  Check(catalogue::WriteDemoCatalogue(dir, urls, nullptr, SearchBenchDescription),
        "write the search bench catalogue");
}

// One URL record as a peer stores it, in UTF-8: the whole address, the name
// and the description (stored references read back as their characters).
struct SearchBenchRow {
  uint32_t recno;
  std::string address;
  std::string name;
  std::string descr;
};

// Every live URL record of the catalogue in `dir`, in record order.
inline std::vector<SearchBenchRow> ReadSearchBenchRows(const std::string& dir) {
  XDSHANDLE c = 0;
  Check(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), "connect");
  XDSHANDLE t = 0;
  Check(XdsOpenTable(c, "urls.DBF", nullptr, XDS_TABLE_CDX, XDS_CHAR_OEM, XDS_LOCK_PROPRIETARY,
                     XDS_RIGHTS_CHECK, XDS_OPEN_EXCLUSIVE, &t),
        "open urls.DBF");
  catalogue::WholeAddresses whole(c);
  Check(whole.OpenIfPresent(dir), "open the whole addresses");
  std::string buffer(1 << 16, '\0');
  auto text = [&](uint16_t field) {
    uint32_t length = static_cast<uint32_t>(buffer.size());
    Check(XdsGetField(t, field, buffer.data(), &length, XDS_GET_TRIM), "read field");
    return buffer.substr(0, length);
  };
  std::vector<SearchBenchRow> rows;
  uint32_t count = 0;
  Check(XdsGetRecordCount(t, XDS_COUNT_IGNORE_FILTERS, &count), "count");
  for (uint32_t recno = 1; recno <= count; ++recno) {
    Check(XdsGotoRecord(t, recno), "go to record");
    uint16_t deleted = 0;
    Check(XdsIsRecordDeleted(t, &deleted), "deleted flag");
    if (deleted != 0) {
      continue;
    }
    std::string address;
    Check(whole.Find(static_cast<uint32_t>(std::stoul(text(5))), text(1), &address),
          "find the whole address");
    rows.push_back({recno, platform::DecodeTextToUtf8(address, true),
                    platform::DecodeTextToUtf8(text(2), true),
                    platform::DecodeTextToUtf8(text(3), true)});
  }
  Check(whole.Close(), "close the whole addresses");
  Check(XdsCloseTable(t), "close urls.DBF");
  Check(XdsDisconnect(c), "disconnect");
  return rows;
}

}  // namespace bench
