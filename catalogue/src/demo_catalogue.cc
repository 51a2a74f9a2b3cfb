#include "catalogue/demo_catalogue.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

#include "catalogue/schema.h"
#include "catalogue/whole_address.h"
#include "cp1251.h"

namespace catalogue {
namespace {

// splitmix64: small, fast and the same sequence on every machine.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }

 private:
  uint64_t state_;
};

// Texts are written here in UTF-8 and stored in the program's character set.
std::vector<std::string> Ansi(std::initializer_list<std::string_view> words) {
  std::vector<std::string> out;
  for (std::string_view w : words) {
    out.push_back(platform::Utf8ToCp1251(w));
  }
  return out;
}

const std::vector<std::string>& Topics() {
  static const std::vector<std::string> v = Ansi(
      {"Новости", "Наука", "Программирование", "Музыка", "Кино", "Спорт", "Путешествия",
       "Кулинария", "Здоровье", "Финансы", "Образование", "Игры", "Фотография", "Автомобили",
       "Дом и сад", "Книги", "История", "Искусство", "Работа", "Разное"});
  return v;
}

const std::vector<std::string>& Subtopics() {
  static const std::vector<std::string> v = Ansi(
      {"Статьи", "Форумы", "Блоги", "Справочники", "Видео", "Обзоры", "Учебники", "Магазины",
       "Сообщества", "Документация", "Архивы", "Каталоги", "Журналы", "Подкасты", "Рассылки",
       "Инструменты", "Библиотеки", "Курсы", "Конференции", "Вакансии", "Карты", "Словари",
       "Галереи", "Избранное"});
  return v;
}

const std::vector<std::string>& Adjectives() {
  static const std::vector<std::string> v =
      Ansi({"Полезный", "Новый", "Старый", "Лучший", "Интересный", "Подробный", "Краткий",
            "Официальный", "Любимый", "Ёмкий", "Быстрый", "Удобный"});
  return v;
}

const std::vector<std::string>& Nouns() {
  static const std::vector<std::string> v =
      Ansi({"сайт", "справочник", "обзор", "форум", "каталог", "блог", "архив", "портал",
            "учебник", "журнал", "сервис", "проект"});
  return v;
}

constexpr std::array<const char*, 20> kHostWords = {
    "news",  "science", "code",  "music", "kino", "sport", "travel", "food", "health", "money",
    "edu",   "games",   "photo", "auto",  "home", "books", "history", "art", "jobs",   "misc"};
constexpr std::array<const char*, 6> kDomains = {".ru", ".com", ".org", ".net", ".su", ".info"};
constexpr std::array<const char*, 8> kLatinWords = {"Daily", "Open", "Free", "Global",
                                                    "Smart", "Quick", "Best", "Simple"};
constexpr std::array<const char*, 8> kLatinNouns = {"Guide", "Forum",  "Wiki",  "Archive",
                                                    "Blog",  "Portal", "Store", "Reference"};

struct LinkType {
  const char* code;
  std::string_view name;  // UTF-8
  const char* prefix;
};
constexpr std::array<LinkType, 5> kTypes = {{{"1", "Веб-страница", "http://"},
                                             {"2", "Защищённая страница", "https://"},
                                             {"3", "Почта", "mailto:"},
                                             {"4", "Файловый архив FTP", "ftp://"},
                                             {"5", "Без префикса", ""}}};

constexpr uint32_t kLongEvery = 250;

// Right-aligned decimal in the 10 bytes of an N(10,0) field.
void SetNumber(char (&field)[10], uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%10u", v);
  std::memcpy(field, text, sizeof field);
}

class Writer {
 public:
  Writer(void (*progress)(const char*), std::string (*describe)(uint32_t))
      : progress_(progress), describe_(describe) {}
  // Run closes every table it finished with and reports a failed close. A
  // table still open here was left by a failure that Run reports already, and
  // disconnecting after that has nothing of the catalogue left to write: the
  // results of this clean-up add nothing a caller could act on.
  ~Writer() {
    for (XDSHANDLE t : tables_) {
      if (t != 0) {
        (void)XdsCloseTable(t);
      }
    }
    if (connection_ != 0) {
      (void)XdsDisconnect(connection_);
    }
  }

  XDSRESULT Run(const std::string& dir, uint32_t urls) {
    counts_ = DemoCountsFor(urls);
    XDSRESULT r = XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &connection_);
    if (r == 0) {
      r = CreateCatalogueTables(connection_);
    }
    if (r == 0) {
      const CatalogueTable& whole = WholeAddressTable();
      r = XdsCreateTable(connection_, whole.file, whole.charType,
                         static_cast<uint16_t>(whole.fields.size()), whole.fields.data());
    }
    for (std::size_t i = 0; r == 0 && i < tables_.size(); ++i) {
      r = OpenCatalogueTable(connection_, TableDef(i), false, &tables_[i]);
    }
    if (r == 0) {
      Step("writing sections and link types");
      r = WriteSections();
    }
    if (r == 0) {
      r = WriteTypes();
    }
    if (r == 0) {
      Step("writing URL records and memberships");
      r = WriteUrls();
    }
    for (std::size_t i = 0; r == 0 && i < tables_.size(); ++i) {
      Step(std::string("index tags of ") + TableDef(i).file);
      r = CreateCatalogueTags(tables_[i], TableDef(i));
      XDSRESULT closed = XdsCloseTable(tables_[i]);
      tables_[i] = 0;
      r = r != 0 ? r : closed;
    }
    return r;
  }

 private:
  // The four tables, then the one that keeps long addresses whole.
  static const CatalogueTable& TableDef(std::size_t i) {
    return i < CatalogueTables().size() ? CatalogueTables()[i] : WholeAddressTable();
  }

  void Step(const std::string& what) {
    if (progress_ != nullptr) {
      progress_(what.c_str());
    }
  }

  XDSRESULT WriteSections() {
    XDSHANDLE t = tables_[kTem];
    const uint32_t tops = counts_.sections / 20 > 2 ? counts_.sections / 20 : 2;
    const uint32_t children = counts_.sections - tops;
    uint32_t id = 0;
    char number[10];
    for (uint32_t top = 0; top < tops; ++top) {
      const std::vector<std::string>& topics = Topics();
      std::string name = topics[top % topics.size()];
      if (top >= topics.size()) {
        name += " " + std::to_string(top / topics.size() + 1);
      }
      const uint32_t parent = ++id;
      XDSRESULT r = AppendSection(t, parent, name, 0, number);
      const uint32_t mine = children / tops + (top < children % tops ? 1 : 0);
      for (uint32_t j = 0; r == 0 && j < mine; ++j) {
        const std::vector<std::string>& subs = Subtopics();
        std::string child = subs[j % subs.size()];
        if (j >= subs.size()) {
          child += " " + std::to_string(j / subs.size() + 1);
        }
        r = AppendSection(t, ++id, child, parent, number);
      }
      if (r != 0) {
        return r;
      }
    }
    return 0;
  }

  static XDSRESULT AppendSection(XDSHANDLE t, uint32_t id, const std::string& name,
                                 uint32_t parent, char (&number)[10]) {
    XDSRESULT r = XdsAppendRecord(t);
    if (r == 0) {
      SetNumber(number, id);
      r = XdsSetFieldRaw(t, 1, number, 10);
    }
    if (r == 0) {
      r = XdsSetField(t, 2, name.data(), static_cast<uint32_t>(name.size()));
    }
    if (r == 0) {
      SetNumber(number, parent);
      r = XdsSetFieldRaw(t, 3, number, 10);
    }
    return r != 0 ? r : XdsWriteRecord(t);
  }

  XDSRESULT WriteTypes() {
    XDSHANDLE t = tables_[kType];
    for (const LinkType& type : kTypes) {
      std::string name = platform::Utf8ToCp1251(type.name);
      XDSRESULT r = XdsAppendRecord(t);
      if (r == 0) {
        r = XdsSetField(t, 1, type.code, static_cast<uint32_t>(std::strlen(type.code)));
      }
      if (r == 0) {
        r = XdsSetField(t, 2, name.data(), static_cast<uint32_t>(name.size()));
      }
      if (r == 0) {
        r = XdsSetField(t, 3, type.prefix, static_cast<uint32_t>(std::strlen(type.prefix)));
      }
      if (r == 0) {
        r = XdsWriteRecord(t);
      }
      if (r != 0) {
        return r;
      }
    }
    return 0;
  }

  // One URL record's address for its link type (without the type's prefix).
  std::string Address(uint32_t id, std::size_t type) {
    std::string word = kHostWords[rng_.Below(kHostWords.size())];
    std::string domain = kDomains[rng_.Below(kDomains.size())];
    std::string n = std::to_string(id);
    switch (type) {
      case 2:
        return "user" + n + "@" + word + domain;
      case 3:
        return "ftp." + word + n + domain + "/pub/file" + std::to_string(rng_.Below(1000)) +
               ".zip";
      case 4:
        return "https://" + word + n + domain + "/";
      default: {
        std::string host = "www." + word + n + domain;
        switch (rng_.Below(4)) {
          case 0:
            return host;
          case 1:
            return host + "/index.html";
          case 2:
            return host + "/articles/" + std::to_string(rng_.Below(100000));
          default:
            return host + "/forum/topic" + std::to_string(rng_.Below(100000)) + ".html";
        }
      }
    }
  }

  // One record in every kLongEvery gets an address longer than the URL
  // field: a query string with %-escapes, as search results and shop pages
  // have. Made from the id alone, so the other records stay as they were.
  static std::string LongQuery(uint32_t id) {
    const std::string n = std::to_string(id);
    std::string q = "?q=%D0%B7%D0%B0%D0%BA%D0%BB%D0%B0%D0%B4%D0%BA%D0%B8+" + n +
                    "&utm_source=newsletter&utm_medium=email&utm_campaign=demo" + n + "&ref=";
    for (uint32_t k = 0; k < 8 + id % 8; ++k) {
      q += "%2F" + std::to_string((id * 2654435761u + k) % 100000) + "-section";
    }
    return q;
  }

  XDSRESULT AppendWholeAddress(uint32_t id, const std::string& address) {
    XDSHANDLE t = tables_[kWhole];
    const std::string key = std::to_string(id);
    XDSRESULT r = XdsAppendRecord(t);
    if (r == 0) {
      r = XdsSetField(t, 1, key.data(), static_cast<uint32_t>(key.size()));
    }
    if (r == 0) {
      r = XdsSetField(t, 2, address.data(), static_cast<uint32_t>(address.size()));
    }
    return r != 0 ? r : XdsWriteRecord(t);
  }

  std::string Name(uint32_t id) {
    if (rng_.Below(2) == 0) {
      return Adjectives()[rng_.Below(Adjectives().size())] + " " +
             Nouns()[rng_.Below(Nouns().size())] + " " + std::to_string(id);
    }
    return std::string(kLatinWords[rng_.Below(kLatinWords.size())]) + " " +
           kLatinNouns[rng_.Below(kLatinNouns.size())] + " " + std::to_string(id);
  }

  std::string Description(uint32_t id) {
    static const std::string kFirst = platform::Utf8ToCp1251("Запись номер ");
    static const std::string kSecond = platform::Utf8ToCp1251(
        ". Добавлена при разборе закладок; стоит перечитать и разложить по разделам.");
    static const std::string kThird =
        platform::Utf8ToCp1251("\r\nСм. также соседние записи этого раздела.");
    std::string d = kFirst + std::to_string(id) + kSecond;
    if (rng_.Below(3) == 0) {
      d += kThird;
    }
    return d;
  }

  XDSRESULT WriteUrls() {
    XDSHANDLE urls = tables_[kUrls];
    XDSHANDLE urlIn = tables_[kUrlIn];
    char number[10];
    char section[10];
    int extra = 0;
    for (uint32_t id = 1; id <= counts_.urls; ++id) {
      const uint32_t pick = rng_.Below(100);
      const std::size_t type = pick < 55 ? 0 : pick < 85 ? 1 : pick < 90 ? 2 : pick < 95 ? 3 : 4;
      std::string address = Address(id, type);
      std::string name = Name(id);
      XDSRESULT r = 0;
      if (id % kLongEvery == kLongEvery / 2) {
        address += LongQuery(id);
        r = AppendWholeAddress(id, address);
        address = UrlFieldPart(address);
      }
      if (r == 0) {
        r = XdsAppendRecord(urls);
      }
      if (r == 0) {
        r = XdsSetField(urls, 1, address.data(), static_cast<uint32_t>(address.size()));
      }
      if (r == 0) {
        r = XdsSetField(urls, 2, name.data(), static_cast<uint32_t>(name.size()));
      }
      // The demo's own description draws from the same sequence whether or
      // not another is written, so the other fields stay as they are.
      if (r == 0 && rng_.Below(10) < 7) {
        std::string descr = Description(id);
        if (describe_ == nullptr) {
          r = XdsSetField(urls, 3, descr.data(), static_cast<uint32_t>(descr.size()));
        }
      }
      if (r == 0 && describe_ != nullptr) {
        std::string descr = describe_(id);
        r = XdsSetField(urls, 3, descr.data(), static_cast<uint32_t>(descr.size()));
      }
      if (r == 0) {
        r = XdsSetField(urls, 4, kTypes[type].code, 1);
      }
      if (r == 0) {
        SetNumber(number, id);
        r = XdsSetFieldRaw(urls, 5, number, 10);
      }
      if (r == 0) {
        r = XdsWriteRecord(urls);
      }
      // Odd ids draw 1 to 5 memberships, the even id after gives back the
      // difference from three; an odd last id keeps three.
      int members = 3;
      if (id % 2 == 0) {
        members = 3 - extra;
      } else if (id < counts_.urls) {
        extra = static_cast<int>(rng_.Below(5)) - 2;
        members = 3 + extra;
      }
      uint32_t chosen[5] = {};
      for (int m = 0; r == 0 && m < members; ++m) {
        uint32_t s = 0;
        bool again = true;
        while (again) {
          s = 1 + rng_.Below(counts_.sections);
          again = false;
          for (int k = 0; k < m; ++k) {
            again = again || chosen[k] == s;
          }
        }
        chosen[m] = s;
        r = XdsAppendRecord(urlIn);
        if (r == 0) {
          SetNumber(section, s);
          r = XdsSetFieldRaw(urlIn, 1, section, 10);
        }
        if (r == 0) {
          r = XdsSetFieldRaw(urlIn, 2, number, 10);
        }
        if (r == 0) {
          r = XdsWriteRecord(urlIn);
        }
      }
      if (r != 0) {
        return r;
      }
      if (id % 200000 == 0) {
        Step(std::to_string(id) + " URL records written");
      }
    }
    return 0;
  }

  void (*progress_)(const char*);
  std::string (*describe_)(uint32_t);
  DemoCounts counts_;
  Random rng_{20261207};
  XDSHANDLE connection_ = 0;
  static constexpr std::size_t kWhole = 4;
  std::array<XDSHANDLE, 5> tables_ = {};
};

}  // namespace

DemoCounts DemoCountsFor(uint32_t urls) {
  DemoCounts c;
  c.longAddresses = (urls + kLongEvery / 2) / kLongEvery;
  c.urls = urls;
  c.sections = urls / 100 > 10 ? urls / 100 : 10;
  c.types = static_cast<uint32_t>(kTypes.size());
  c.memberships = 3 * urls;
  return c;
}

XDSRESULT WriteDemoCatalogue(const std::string& dir, uint32_t urls,
                             void (*progress)(const char* step),
                             std::string (*describe)(uint32_t id)) {
  std::vector<std::string> present = CatalogueFilesIn(dir);
  if (!present.empty()) {
    XdsSetLastError(XDS_ERR_EXISTS, (dir + " already holds catalogue files (" + present[0] +
                                     "); name an empty or new folder")
                                        .c_str());
    return XDS_ERR_EXISTS;
  }
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    XdsSetLastError(XDS_ERR_IO, ("Cannot create " + dir + ": " + ec.message()).c_str());
    return XDS_ERR_IO;
  }
  Writer w(progress, describe);
  return w.Run(dir, urls);
}

}  // namespace catalogue
