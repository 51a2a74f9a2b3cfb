// A small HTTP server for the link check's tests and bench: canned answers by
// path, served from a thread of its own (so the window under test keeps its
// event loop to itself), on 127.0.0.1 and any other loopback address.
#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QMetaObject>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QCoreApplication>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <map>
#include <memory>
#include <vector>

namespace apptest {

class THttpTestServer {
 public:
  struct Answer {
    Answer() = default;
    Answer(int status, QByteArray location = {}, int headStatus = 0, bool silent = false,
           int delayMs = 0)
        : Status(status),
          Location(std::move(location)),
          HeadStatus(headStatus),
          Silent(silent),
          DelayMs(delayMs) {}
    int Status = 200;
    QByteArray Location;  // sent when not empty
    int HeadStatus = 0;   // what HEAD gets instead, when not 0
    bool Silent = false;  // the request is read and never answered
    int DelayMs = 0;      // the answer waits this long
  };
  // One request as the server read it.
  struct Request {
    QByteArray Method;
    QByteArray Path;
    QByteArray Host;
    QByteArray Head;  // the request line and headers, as sent
  };

  // `answers` by path; any other path gets 200.
  explicit THttpTestServer(std::map<QByteArray, Answer> answers = {})
      : answers_(std::move(answers)) {
    thread_.start();
    context_.moveToThread(&thread_);
    QMetaObject::invokeMethod(
        &context_,
        [this] {
          server_ = std::make_unique<Server>(this);
          server_->listen(QHostAddress::AnyIPv4, 0);
          port_ = server_->serverPort();
        },
        Qt::BlockingQueuedConnection);
  }
  ~THttpTestServer() {
    QMetaObject::invokeMethod(
        &context_,
        [this] {
          server_.reset();
          context_.moveToThread(QCoreApplication::instance()->thread());
        },
        Qt::BlockingQueuedConnection);
    thread_.quit();
    thread_.wait();
  }

  quint16 Port() const { return port_; }
  // "http://HOST:PORT" + path.
  QString Url(const QString& path, const QString& host = "127.0.0.1") const {
    return QString("http://%1:%2%3").arg(host).arg(port_).arg(path);
  }
  void SetAnswer(const QByteArray& path, const Answer& answer) {
    QMutexLocker lock(&mutex_);
    answers_[path] = answer;
  }
  std::vector<Request> Requests() const {
    QMutexLocker lock(&mutex_);
    return requests_;
  }
  // The most requests one host (by its Host header) had unanswered at once,
  // and the most of all hosts together.
  int PeakPerHost() const {
    QMutexLocker lock(&mutex_);
    return peakPerHost_;
  }
  int PeakTotal() const {
    QMutexLocker lock(&mutex_);
    return peakTotal_;
  }

 private:
  class Server : public QTcpServer {
   public:
    explicit Server(THttpTestServer* owner) : owner_(owner) {}

   protected:
    void incomingConnection(qintptr descriptor) override {
      auto* socket = new QTcpSocket(this);
      socket->setSocketDescriptor(descriptor);
      socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
      auto buffer = std::make_shared<QByteArray>();
      connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
        buffer->append(socket->readAll());
        for (;;) {
          const int end = static_cast<int>(buffer->indexOf("\r\n\r\n"));
          if (end < 0) {
            return;
          }
          const QByteArray head = buffer->left(end + 4);
          buffer->remove(0, end + 4);
          owner_->Serve(socket, head);
        }
      });
      connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    }

   private:
    THttpTestServer* owner_;
  };

  void Serve(QTcpSocket* socket, const QByteArray& head) {
    Request request;
    request.Head = head;
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> first = lines.value(0).trimmed().split(' ');
    request.Method = first.value(0);
    request.Path = first.value(1);
    for (const QByteArray& line : lines) {
      if (line.toLower().startsWith("host:")) {
        request.Host = line.mid(5).trimmed();
      }
    }
    Answer answer;
    {
      QMutexLocker lock(&mutex_);
      requests_.push_back(request);
      auto found = answers_.find(request.Path);
      if (found != answers_.end()) {
        answer = found->second;
      }
      const int onHost = ++open_[request.Host];
      peakPerHost_ = std::max(peakPerHost_, onHost);
      int total = 0;
      for (const auto& [host, n] : open_) {
        total += n;
      }
      peakTotal_ = std::max(peakTotal_, total);
    }
    if (answer.Silent) {
      return;
    }
    const bool isHead = request.Method == "HEAD";
    const int status = isHead && answer.HeadStatus != 0 ? answer.HeadStatus : answer.Status;
    QByteArray body = "page " + request.Path + "\n";
    QByteArray response = "HTTP/1.1 " + QByteArray::number(status) + " Canned\r\n";
    response += "Content-Type: text/plain\r\nContent-Length: " + QByteArray::number(body.size()) +
                "\r\nSet-Cookie: visit=1; Path=/\r\n";
    if (!answer.Location.isEmpty()) {
      response += "Location: " + answer.Location + "\r\n";
    }
    response += "\r\n";
    if (!isHead) {
      response += body;
    }
    QPointer<QTcpSocket> alive(socket);
    auto send = [this, alive, response, host = request.Host] {
      {
        QMutexLocker lock(&mutex_);
        --open_[host];
      }
      if (alive) {
        alive->write(response);
      }
    };
    if (answer.DelayMs > 0) {
      QTimer::singleShot(answer.DelayMs, socket, send);
    } else {
      send();
    }
  }

  std::map<QByteArray, Answer> answers_;
  QThread thread_;
  QObject context_;
  std::unique_ptr<Server> server_;
  quint16 port_ = 0;
  mutable QMutex mutex_;
  std::vector<Request> requests_;
  std::map<QByteArray, int> open_;
  int peakPerHost_ = 0;
  int peakTotal_ = 0;
};

}  // namespace apptest
