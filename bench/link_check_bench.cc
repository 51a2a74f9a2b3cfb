// The link check's own cost: N addresses (default 10000) of a catalogue
// checked through the link check window against a local server that answers
// at once, spread over eight loopback hosts, from the window's start to its
// last result; the longest the window's thread went without a timer tick or
// a paint of the window meanwhile; and, in the same run, the same requests
// made by a bare network client with the same eight at once and nothing
// else (no catalogue, no window), the floor the window's overhead is
// measured against.
//
//   link_check_bench [N]
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProgressBar>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>

#include "../app/tests/http_test_server.h"
#include "Unit1.h"
#include "bench_util.h"
#include "catalogue/schema.h"
#include "exception_handler.h"
#include "link_check_window.h"

namespace {

namespace fs = std::filesystem;

constexpr int kHosts = 8;

void Fail(const std::string& what) {
  std::fprintf(stderr, "link_check_bench: %s\n", what.c_str());
  std::exit(1);
}

std::string Address(int i, quint16 port) {
  return "127.0.0." + std::to_string(1 + i % kHosts) + ":" + std::to_string(port) + "/page/" +
         std::to_string(i);
}

// A fresh catalogue of n records, link type 1 ("http://") each.
void WriteCatalogue(const std::string& dir, int n, quint16 port) {
  fs::remove_all(dir);
  fs::create_directories(dir);
  XDSHANDLE c = 0;
  bench::Check(XdsConnect60(dir.c_str(), XDS_SERVER_LOCAL, "", "", 0, &c), "connect");
  bench::Check(catalogue::CreateCatalogue(c), "create catalogue");
  auto put = [&](XDSHANDLE t, uint16_t field, const std::string& text) {
    bench::Check(XdsSetField(t, field, text.data(), static_cast<uint32_t>(text.size())), "set");
  };
  XDSHANDLE t = 0;
  bench::Check(
      catalogue::OpenCatalogueTable(c, catalogue::CatalogueTables()[catalogue::kType], false, &t),
      "open types");
  bench::Check(XdsAppendRecord(t), "append type");
  put(t, 1, "1");
  put(t, 2, "Web");
  put(t, 3, "http://");
  bench::Check(XdsWriteRecord(t), "write type");
  bench::Check(XdsCloseTable(t), "close types");
  bench::Check(
      catalogue::OpenCatalogueTable(c, catalogue::CatalogueTables()[catalogue::kUrls], false, &t),
      "open urls");
  uint16_t id = 0, url = 0, name = 0, type = 0;
  bench::Check(XdsGetFieldNumber(t, "URL_ID", &id), "field");
  bench::Check(XdsGetFieldNumber(t, "URL", &url), "field");
  bench::Check(XdsGetFieldNumber(t, "NAME", &name), "field");
  bench::Check(XdsGetFieldNumber(t, "ADRESTYPE", &type), "field");
  for (int i = 0; i < n; ++i) {
    bench::Check(XdsAppendRecord(t), "append url");
    put(t, id, std::to_string(i + 1));
    put(t, url, Address(i, port));
    put(t, name, "Page " + std::to_string(i));
    put(t, type, "1");
    bench::Check(XdsWriteRecord(t), "write url");
  }
  bench::Check(XdsCloseTable(t), "close urls");
  bench::Check(XdsDisconnect(c), "disconnect");
}

// The longest stretch the event loop went without running a 10 ms timer or
// painting the watched window, from Start() on.
class GapWatch : public QObject {
 public:
  explicit GapWatch(QWidget* watched) : watched_(watched) {
    connect(&timer_, &QTimer::timeout, this, [this] { tickGap_ = Mark(lastTick_, tickGap_); });
    watched_->installEventFilter(this);
    for (QWidget* child : watched_->findChildren<QWidget*>()) {
      child->installEventFilter(this);
    }
  }
  void Start() {
    clock_.start();
    lastTick_ = lastPaint_ = 0;
    tickGap_ = paintGap_ = 0;
    paints_ = 0;
    timer_.start(10);
  }
  void Stop() {
    timer_.stop();
    tickGap_ = Mark(lastTick_, tickGap_);
    paintGap_ = Mark(lastPaint_, paintGap_);
  }
  qint64 TickGap() const { return tickGap_; }
  qint64 PaintGap() const { return paintGap_; }
  int Paints() const { return paints_; }

 protected:
  bool eventFilter(QObject* o, QEvent* e) override {
    if (e->type() == QEvent::Paint && clock_.isValid()) {
      ++paints_;
      paintGap_ = Mark(lastPaint_, paintGap_);
    }
    return QObject::eventFilter(o, e);
  }

 private:
  qint64 Mark(qint64& last, qint64 gap) {
    const qint64 now = clock_.elapsed();
    gap = std::max(gap, now - last);
    last = now;
    return gap;
  }
  QWidget* watched_;
  QTimer timer_;
  QElapsedTimer clock_;
  qint64 lastTick_ = 0, lastPaint_ = 0, tickGap_ = 0, paintGap_ = 0;
  int paints_ = 0;
};

// Runs the event loop until `done` is called, as the program's own loop runs
// between events: it sleeps until the next one arrives. (QTest's waiting
// sleeps 10 ms between rounds of events, which would time that sleep: eight
// requests at once would then finish at most eight every 10 ms.) False when
// `limitMs` passed first.
bool RunUntil(const std::function<void(std::function<void()>)>& start, int limitMs) {
  QEventLoop loop;
  bool finished = false;
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
  limit.start(limitMs);
  start([&] {
    finished = true;
    loop.quit();
  });
  if (!finished) {
    loop.exec();
  }
  return finished;
}

// The same HEAD requests, eight at once, by a bare client.
double BareClient(int n, quint16 port) {
  QNetworkAccessManager network;
  std::deque<int> waiting;
  for (int i = 0; i < n; ++i) {
    waiting.push_back(i);
  }
  int running = 0;
  int done = 0;
  std::function<void()> allDone;
  std::function<void()> pump = [&] {
    while (running < 8 && !waiting.empty()) {
      const int i = waiting.front();
      waiting.pop_front();
      ++running;
      QNetworkReply* reply =
          network.head(QNetworkRequest(QUrl(QString::fromStdString("http://" + Address(i, port)))));
      QObject::connect(reply, &QNetworkReply::finished, reply, [&, reply] {
        reply->deleteLater();
        --running;
        if (++done == n) {
          allDone();
        }
        pump();
      });
    }
  };
  const bench::Span start = bench::Now();
  const bool finished = RunUntil(
      [&](std::function<void()> finish) {
        allDone = std::move(finish);
        pump();
      },
      600000);
  if (!finished) {
    Fail("the bare client did not finish");
  }
  return bench::Seconds(start).wall;
}

}  // namespace

int main(int argc, char** argv) {
  bench::gProgram = "link_check_bench";
  const int n = argc > 1 ? std::stoi(argv[1]) : 10000;
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  ui::TApplication app(argc, argv);
  apptest::THttpTestServer server;
  const std::string dir = "/tmp/tavo_link_check_bench_" + std::to_string(n);
  WriteCatalogue(dir, n, server.Port());
  fs::current_path(dir);

  TForm1 form;
  if (!form.CatalogueOpen()) {
    Fail("start-up did not open the catalogue");
  }
  form.show();
  if (!QTest::qWaitForWindowExposed(&form)) {
    Fail("the main window was not shown");
  }

  // Taking the list: done at once, before the window shows.
  bench::Span start = bench::Now();
  const std::vector<TListedUrl> listed = ListedWebUrls(&form);
  const bench::Span listing = bench::Seconds(start);
  if (static_cast<int>(listed.size()) != n) {
    Fail("the list holds " + std::to_string(listed.size()) + " web addresses");
  }

  auto* check = new TLinkCheckForm(&form, listed);
  check->show();
  if (!QTest::qWaitForWindowExposed(check)) {
    Fail("the check window was not shown");
  }
  GapWatch watch(check);
  watch.Start();
  start = bench::Now();
  const bool finished = RunUntil(
      [&](std::function<void()> finish) {
        QObject::connect(check, &TLinkCheckForm::CheckDone, finish);
        check->Start();
      },
      600000);
  if (!finished) {
    Fail("the check did not finish");
  }
  const bench::Span checking = bench::Seconds(start);
  watch.Stop();
  int ok = 0;
  for (int r = 0; r < check->RowCount(); ++r) {
    ok += check->ResultAt(r).State == TLinkState::Ok ? 1 : 0;
  }
  if (ok != n) {
    Fail(std::to_string(n - ok) + " addresses were not found working");
  }
  const double bare = BareClient(n, server.Port());

  std::printf("%d addresses on %d loopback hosts, a server answering at once\n", n, kHosts);
  std::printf("list taken from the catalogue     %8.1f ms (cpu %8.1f ms)\n", listing.wall * 1e3,
              listing.cpu * 1e3);
  std::printf("check through the window          %8.2f s  (cpu %8.2f s, all threads)\n",
              checking.wall, checking.cpu);
  std::printf("bare client, same requests        %8.2f s\n", bare);
  std::printf("window's thread: longest gap between 10 ms timer ticks %lld ms, between paints "
              "%lld ms (%d paints)\n",
              static_cast<long long>(watch.TickGap()), static_cast<long long>(watch.PaintGap()),
              watch.Paints());
  delete check;
  return 0;
}
