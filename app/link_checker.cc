#include "link_checker.h"

#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkCookieJar>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>

const char* const kLinkCheckUserAgent = "TavoUrlManager/2.0";

namespace {

// A jar that keeps nothing and offers nothing: the requests also ask for no
// cookie handling, so this only guards against a default one.
class TNoCookies : public QNetworkCookieJar {
 public:
  using QNetworkCookieJar::QNetworkCookieJar;
  QList<QNetworkCookie> cookiesForUrl(const QUrl&) const override { return {}; }
  bool setCookiesFromUrl(const QList<QNetworkCookie>&, const QUrl&) override { return false; }
};

// Answers to HEAD that say the server will not take HEAD, rather than that
// the page is missing: GET is asked instead.
bool RefusesHead(int status) {
  return status == 400 || status == 403 || status == 405 || status == 406 || status == 500 ||
         status == 501;
}

bool IsRedirect(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

bool IsPermanent(int status) { return status == 301 || status == 308; }

bool IsWeb(const QUrl& url) {
  const QString scheme = url.scheme().toLower();
  return (scheme == "http" || scheme == "https") && !url.host().isEmpty();
}

// An address as it is requested: without user name and password (no
// credentials leave the program) and without the fragment.
QUrl Requestable(QUrl url) {
  url.setUserInfo({});
  url.setFragment({});
  return url;
}

// Where a redirect points, as sent (it may be relative to the address).
QUrl LocationOf(QNetworkReply* reply) {
  return QUrl(QString::fromUtf8(reply->rawHeader("Location").trimmed()), QUrl::TolerantMode);
}

QString HostOf(const QUrl& url) { return url.host().toLower(); }

QString Why(QNetworkReply::NetworkError error, const QString& text) {
  switch (error) {
    case QNetworkReply::HostNotFoundError:
      return QString::fromUtf8("Имя сервера не найдено");
    case QNetworkReply::ConnectionRefusedError:
      return QString::fromUtf8("Сервер отклонил соединение");
    case QNetworkReply::SslHandshakeFailedError:
      return QString::fromUtf8("Ошибка TLS: ") + text;
    case QNetworkReply::RemoteHostClosedError:
      return QString::fromUtf8("Сервер закрыл соединение без ответа");
    default:
      return text;
  }
}

}  // namespace

struct TLinkChecker::Job {
  int Key = 0;
  QUrl Url;           // the address being asked now
  QString Host;       // whose slot it holds or waits for
  int Redirects = 0;  // hops followed so far
  bool Get = false;   // asking with GET: the server refused HEAD
  // Permanent redirects met before any other answer, and where they lead.
  bool PermanentRun = true;
  int FirstStatus = 0;
  QUrl Permanent;
  QNetworkReply* Reply = nullptr;
  QTimer* Timer = nullptr;
  bool Done = false;
};

TLinkChecker::TLinkChecker(const TLinkCheckLimits& limits, QObject* parent)
    : QObject(parent), limits_(limits), network_(new QNetworkAccessManager(this)) {
  network_->setCookieJar(new TNoCookies(network_));
  network_->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
  network_->setStrictTransportSecurityEnabled(false);
  // A server that asks for a password gets none: its 401 is the answer.
}

TLinkChecker::~TLinkChecker() { Cancel(); }

void TLinkChecker::Add(int key, const QUrl& url) {
  auto job = std::make_unique<Job>();
  job->Key = key;
  job->Url = Requestable(url);
  job->Host = HostOf(job->Url);
  const int id = static_cast<int>(jobs_.size());
  jobs_.push_back(std::move(job));
  ++open_;
  if (!url.isValid() || !IsWeb(url)) {
    QTimer::singleShot(0, this, [this, id] {
      if (!jobs_.empty() && id < static_cast<int>(jobs_.size()) && !jobs_[id]->Done) {
        Report(id, {TLinkState::Unreachable, 0, {}, QString::fromUtf8("Адрес не разобран")});
      }
    });
    return;
  }
  Enqueue(id, false);
  Pump();
}

void TLinkChecker::Enqueue(int id, bool first) {
  const QString& host = jobs_[id]->Host;
  std::deque<int>& queue = queued_[host];
  if (first) {
    queue.push_front(id);
  } else {
    queue.push_back(id);
  }
  if (hostRunning_.value(host) < limits_.MaxPerHost && !inReady_.value(host)) {
    ready_.push_back(host);
    inReady_[host] = true;
  }
}

void TLinkChecker::Pump() {
  while (running_ < limits_.MaxRequests && !ready_.empty()) {
    const QString host = ready_.front();
    ready_.pop_front();
    inReady_.remove(host);
    auto queue = queued_.find(host);
    if (queue == queued_.end() || queue->empty() ||
        hostRunning_.value(host) >= limits_.MaxPerHost) {
      continue;
    }
    const int id = queue->front();
    queue->pop_front();
    const bool more = !queue->empty();
    if (!more) {
      queued_.erase(queue);
    }
    ++hostRunning_[host];
    ++running_;
    // Hosts take turns, so one with thousands of addresses does not hold up
    // the others.
    if (more && hostRunning_.value(host) < limits_.MaxPerHost) {
      ready_.push_back(host);
      inReady_[host] = true;
    }
    Send(id);
  }
}

void TLinkChecker::Send(int id) {
  Job& job = *jobs_[id];
  QNetworkRequest request(job.Url);
  request.setHeader(QNetworkRequest::UserAgentHeader, QString::fromLatin1(kLinkCheckUserAgent));
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::ManualRedirectPolicy);
  request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
  request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
  request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
  request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                       QNetworkRequest::AlwaysNetwork);
  request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
  job.Reply = job.Get ? network_->get(request) : network_->head(request);
  connect(job.Reply, &QNetworkReply::metaDataChanged, this, [this, id] { OnHeaders(id); });
  connect(job.Reply, &QNetworkReply::finished, this, [this, id] { OnFinished(id); });
  if (job.Timer == nullptr) {
    job.Timer = new QTimer(this);
    job.Timer->setSingleShot(true);
    connect(job.Timer, &QTimer::timeout, this, [this, id] { OnTimeout(id); });
  }
  job.Timer->start(limits_.TimeoutMs);
}

void TLinkChecker::Release(Job& job) {
  if (job.Timer != nullptr) {
    job.Timer->stop();
  }
  if (job.Reply != nullptr) {
    QNetworkReply* reply = job.Reply;
    job.Reply = nullptr;
    reply->disconnect(this);
    // Gone, it ends its request (a GET's body is not read); aborted from
    // inside its own signal it would report its end twice.
    reply->deleteLater();
    --running_;
    int& onHost = hostRunning_[job.Host];
    if (--onHost <= 0) {
      hostRunning_.remove(job.Host);
    }
    if (queued_.contains(job.Host) && !inReady_.value(job.Host)) {
      ready_.push_back(job.Host);
      inReady_[job.Host] = true;
    }
  }
}

void TLinkChecker::OnHeaders(int id) {
  // The headers of a GET are all that is wanted: its body is not fetched.
  Job& job = *jobs_[id];
  if (job.Reply == nullptr || !job.Get) {
    return;
  }
  const QVariant status = job.Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  if (!status.isValid()) {
    return;
  }
  const QUrl location = LocationOf(job.Reply);
  Release(job);
  Answer(id, status.toInt(), location);
  Pump();
}

void TLinkChecker::OnFinished(int id) {
  Job& job = *jobs_[id];
  if (job.Reply == nullptr) {
    return;
  }
  QNetworkReply* reply = job.Reply;
  const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
  const QUrl location = LocationOf(reply);
  const QNetworkReply::NetworkError error = reply->error();
  const QString text = reply->errorString();
  Release(job);
  if (status.isValid() && status.toInt() > 0) {
    Answer(id, status.toInt(), location);
  } else {
    Report(id, {TLinkState::Unreachable, 0, {}, Why(error, text)});
  }
  Pump();
}

void TLinkChecker::OnTimeout(int id) {
  Job& job = *jobs_[id];
  if (job.Reply == nullptr) {
    return;
  }
  Release(job);
  Report(id, {TLinkState::Unreachable, 0, {},
              QString::fromUtf8("Нет ответа за %1 с").arg(limits_.TimeoutMs / 1000.0)});
  Pump();
}

void TLinkChecker::Answer(int id, int status, const QUrl& location) {
  Job& job = *jobs_[id];
  if (!job.Get && RefusesHead(status)) {
    job.Get = true;
    Enqueue(id, true);
    return;
  }
  if (IsRedirect(status)) {
    if (job.FirstStatus == 0) {
      job.FirstStatus = status;
    }
    if (!location.isValid() || location.isEmpty()) {
      Report(id, {TLinkState::Failing, status, {},
                  QString::fromUtf8("Перенаправление без нового адреса")});
      return;
    }
    const QUrl target = job.Url.resolved(location);
    if (job.PermanentRun && IsPermanent(status)) {
      job.Permanent = target;
    } else {
      job.PermanentRun = false;
    }
    Redirect(id, target);
    return;
  }
  TLinkResult result;
  result.Status = status;
  if (status == 404 || status == 410) {
    result.State = TLinkState::Gone;
  } else if (status >= 400) {
    result.State = TLinkState::Failing;
  } else if (status >= 200 && status < 300) {
    if (job.Permanent.isValid() && !job.Permanent.isEmpty()) {
      result.State = TLinkState::Moved;
      result.Status = job.FirstStatus;
      result.Target = job.Permanent;
    } else {
      result.State = TLinkState::Ok;
    }
  } else {
    result.State = TLinkState::Failing;
  }
  if (job.Redirects > 0 && result.State != TLinkState::Moved && result.State != TLinkState::Ok) {
    result.Detail = QString::fromUtf8("После перенаправления на ") + job.Url.toString();
  }
  Report(id, result);
}

void TLinkChecker::Redirect(int id, const QUrl& target) {
  Job& job = *jobs_[id];
  if (!IsWeb(target)) {
    Report(id, {TLinkState::Failing, job.FirstStatus, {},
                QString::fromUtf8("Перенаправление на ") + target.toString()});
    return;
  }
  if (job.Redirects >= limits_.MaxRedirects) {
    Report(id, {TLinkState::Failing, job.FirstStatus, {},
                QString::fromUtf8("Больше %1 перенаправлений").arg(limits_.MaxRedirects)});
    return;
  }
  ++job.Redirects;
  job.Url = Requestable(target);
  job.Host = HostOf(job.Url);
  job.Get = false;
  Enqueue(id, true);
}

void TLinkChecker::Report(int id, TLinkResult result) {
  Job& job = *jobs_[id];
  job.Done = true;
  if (job.Timer != nullptr) {
    job.Timer->deleteLater();
    job.Timer = nullptr;
  }
  --open_;
  emit Checked(job.Key, result);
  if (open_ == 0) {
    emit Finished();
  }
}

void TLinkChecker::Cancel() {
  queued_.clear();
  ready_.clear();
  inReady_.clear();
  for (auto& job : jobs_) {
    if (!job->Done) {
      job->Done = true;
      Release(*job);
      if (job->Timer != nullptr) {
        job->Timer->deleteLater();
        job->Timer = nullptr;
      }
    }
  }
  hostRunning_.clear();
  running_ = 0;
  open_ = 0;
}
