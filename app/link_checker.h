// Checks web addresses over HTTP in the background of the event loop: a
// HEAD request for each, then GET when the server refuses HEAD; redirects
// followed one hop at a time, so that a permanent move can be told from a
// temporary one. Never more than a few requests at once, fewer to one host,
// and nothing of the user's is sent: no cookies, no credentials.
#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QUrl>
#include <deque>
#include <memory>
#include <vector>

class QNetworkAccessManager;
class QNetworkReply;
class QTimer;

// What a check found, in the order the results window groups them.
enum class TLinkState {
  Pending,      // not checked (yet, or the check was cancelled)
  Unreachable,  // no answer: name not found, connection refused, timeout, TLS
  Gone,         // 404, 410
  Failing,      // any other 4xx or 5xx, a redirect loop or a bad redirect
  Moved,        // a permanent redirect (301, 308) to an address that answers
  Ok,
};

struct TLinkResult {
  TLinkState State = TLinkState::Pending;
  int Status = 0;   // the HTTP status that decided, 0 without an answer
  QUrl Target;      // Moved: the address the permanent redirects lead to
  QString Detail;   // what went wrong, in the user's words; a redirect's end
};

struct TLinkCheckLimits {
  int MaxRequests = 8;
  int MaxPerHost = 2;
  int TimeoutMs = 15000;  // one request's whole time, from its start
  int MaxRedirects = 10;
};

// The User-Agent every request carries.
extern const char* const kLinkCheckUserAgent;

class TLinkChecker : public QObject {
  Q_OBJECT

 public:
  explicit TLinkChecker(const TLinkCheckLimits& limits, QObject* parent = nullptr);
  ~TLinkChecker() override;

  // Queues `url` under the caller's `key`; Checked(key, ...) reports it.
  // An address that is not http or https, or has no host, is reported at
  // once, the next time the event loop runs.
  void Add(int key, const QUrl& url);
  // Drops what is queued and aborts what runs; nothing more is reported.
  void Cancel();
  bool Busy() const { return open_ > 0; }
  int Running() const { return running_; }

 signals:
  void Checked(int key, const TLinkResult& result);
  // Emitted when the last queued address has been reported.
  void Finished();

 private:
  struct Job;
  void Pump();
  void Enqueue(int job, bool first);
  void Send(int job);
  void OnHeaders(int job);
  void OnFinished(int job);
  void OnTimeout(int job);
  // Ends the job's request and lets its host's slot go.
  void Release(Job& job);
  void Report(int job, TLinkResult result);
  void Answer(int job, int status, const QUrl& location);
  void Redirect(int job, const QUrl& target);

  TLinkCheckLimits limits_;
  QNetworkAccessManager* network_;
  std::vector<std::unique_ptr<Job>> jobs_;
  // Jobs waiting, per host; hosts that may start one now, in turn.
  QHash<QString, std::deque<int>> queued_;
  QHash<QString, int> hostRunning_;
  std::deque<QString> ready_;
  QHash<QString, bool> inReady_;
  int running_ = 0;
  int open_ = 0;  // jobs not yet reported
};
