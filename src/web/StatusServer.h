#pragma once

#include "web/RunFeed.h"
#include "web/RunFiles.h"
#include "web/WebAccess.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>

#include <map>
#include <memory>
#include <tuple>

class QHttpServerResponder;

namespace hs::web {

// The listening socket of the status page. It bounds what the network can cost the station:
// at most maxConnections open connections (a new one pushes out the one idle the longest),
// connections idle beyond idleTimeoutMs closed, and a request that grows beyond
// maxRequestBytes answered with 431 and its connection closed.
class GuardedTcpServer : public QTcpServer {
    Q_OBJECT
public:
    explicit GuardedTcpServer(const ServeOptions& options, QObject* parent = nullptr);
    ~GuardedTcpServer() override;

    // A whole request arrived on socket: its byte count starts again.
    void requestHandled(QTcpSocket* socket);
    int openConnections() const { return static_cast<int>(connections_.size()); }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct Connection {
        QElapsedTimer lastActive;
        qint64 requestBytes = 0;
    };
    void onReadyRead(QTcpSocket* socket);
    void dropIdle();
    void evictOldest();

    ServeOptions options_;
    QHash<QTcpSocket*, Connection> connections_;
    QTimer idleTimer_;
};

// The read-only status page of a running station and its JSON API, served on the station's
// own event loop (requests are answered while the measurement waits). It reads the station's
// state and the run's feed and never changes either. See the notes of the status page for the
// paths.
class StatusServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    static constexpr int kViewRedrawMs = 2000; // real time: the page's own refresh period
    static constexpr int kStatusReuseMs = 200; // real time

    StatusServer(RunFeed& feed, const ServeOptions& options, QObject* parent = nullptr);
    ~StatusServer() override;

    // Starts listening; false with the reason in error.
    bool start(QString* error);
    quint16 port() const;
    // "http://ADDRESS:PORT/".
    QString url() const;
    int openConnections() const { return tcp_ ? tcp_->openConnections() : 0; }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct Reply {
        int status = 200;
        QByteArray type;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
    };
    bool authorised(const QHttpServerRequest& request) const;
    Reply route(const QHttpServerRequest& request);
    Reply login(const QHttpServerRequest& request) const;
    Reply resource(const QString& name, const QByteArray& type) const;
    Reply viewImage(const QString& path, const QHttpServerRequest& request);
    Reply download(const QString& path);
    Reply records(const QHttpServerRequest& request);
    static Reply error(int status, const QByteArray& text);
    static Reply json(const QJsonObject& document, int status = 200);
    static void send(QHttpServerResponder& responder, const Reply& reply);

    RunFeed& feed_;
    ServeOptions options_;
    RunFiles files_;
    GuardedTcpServer* tcp_ = nullptr; // owned through the QObject tree
    // Rendered views: (view, feeder, width, height) -> PNG of a shot. A view is drawn again
    // for a newer shot at most every kViewRedrawMs, however many clients ask.
    struct RenderedView {
        qint64 shot = -1;
        QElapsedTimer age;
        QByteArray png;
    };
    std::map<std::tuple<int, int, int, int>, RenderedView> views_;
    Reply statusReply_;
    QElapsedTimer statusAge_;
};

// The status page of one run of `measure`: the feed in front of the console's observer and
// the server. The engine is given observer() so that the page sees what the console sees.
class StatusPage {
public:
    // Starts serving; nullptr with the reason in error.
    static std::unique_ptr<StatusPage> start(const ServeOptions& options,
                                             const StationRefs& station, EngineObserver& next,
                                             QString* error);
    EngineObserver& observer() { return feed_; }
    StatusServer& server() { return server_; }
    QString url() const { return server_.url(); }

private:
    StatusPage(const ServeOptions& options, const StationRefs& station, EngineObserver& next);

    RunFeed feed_;
    StatusServer server_;
};

} // namespace hs::web
