#pragma once

#include "web/RunFeed.h"
#include "web/PageServer.h"
#include "web/RunFiles.h"
#include "web/WebAccess.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QElapsedTimer>
#include <QHash>
#include <QPointer>
#include <QTcpServer>
#include <QTimer>

#include <deque>
#include <map>
#include <memory>
#include <tuple>

class QHttpServerResponder;

namespace hs {
class LimitWatch;
} // namespace hs

namespace hs::web {

// The listening socket of the status page. It bounds what the network can cost the station:
// at most maxConnections open connections, connections idle beyond idleTimeoutMs closed, and a
// request that grows beyond maxRequestBytes or kMaxHeaderLines header lines answered with 431
// and its connection closed. A new connection beyond the bound pushes out the one idle the
// longest among those that never sent an authorised request, so that idle strangers cannot
// push out the station's clients; only when every connection is an authorised one does the
// longest idle of them give way.
//
// It reads the byte stream of every connection alongside the HTTP server (without taking
// anything from it) to see where each request ends, whether it asks for the connection to be
// closed after its answer (HTTP/1.0 without keep-alive, "Connection: close", a request with a
// body, which the page never reads) and whether requests were sent ahead of their answers:
// those are answered in order, one at a time.
class GuardedTcpServer : public QTcpServer {
    Q_OBJECT
public:
    static constexpr int kMaxHeaderLines = 100;
    static constexpr int kMaxPipelined = 16; // requests sent ahead; more closes the connection

    explicit GuardedTcpServer(const ServeOptions& options, QObject* parent = nullptr);
    ~GuardedTcpServer() override;

    // A whole request arrived on socket and is being answered; authorised says whether it
    // carried what the page asks for (token or loopback host). Whether the connection stays
    // open after the answer.
    bool requestHandled(QTcpSocket* socket, bool authorised);
    // The answer to the request is written: sends it out, and closes the connection when it is
    // not to stay open (once the answer has gone out).
    void answered(QTcpSocket* socket, bool keepOpen);
    int openConnections() const { return static_cast<int>(connections_.size()); }
    // Whether socket may have another view picture now (and takes it): each connection gets
    // at most kPicturesPerSecond of them (bursts of kPictureBurst), however cheap they are to
    // draw, so that one client asking without pause keeps no more than its share of the
    // station's time. A request for a picture beyond that waits, unread, until the connection
    // may have it; the client waits for its answer and costs the station nothing meanwhile.
    bool takePicture(QTcpSocket* socket);
    static constexpr double kPicturesPerSecond = 10;
    static constexpr double kPictureBurst = 20;

    // The answer when a request is too large, with the headers every answer of the page carries.
    static QByteArray tooLargeAnswer();
    // Headers every answer of the page carries, whatever its status.
    static const QList<QPair<QByteArray, QByteArray>>& securityHeaders();

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    // Where the reading of one connection's byte stream stands.
    struct Connection {
        QElapsedTimer lastActive;
        bool authorised = false;
        // Bytes waiting in the socket that were read here already, and how many waited then.
        qint64 unreadScanned = 0;
        qint64 availableAtScan = 0;
        // The request being read.
        qint64 requestBytes = 0;
        int lines = 0;   // request line and header lines so far
        QByteArray line; // the line being read (bounded by maxRequestBytes)
        bool http10 = false;
        bool close = false; // "Connection: close"
        bool keepAlive = false;
        bool body = false;  // a content length or a transfer encoding
        qint64 bodyLeft = 0; // bytes of the body still to come; -1: of unknown length
        bool picture = false; // GET /view/...
        // Requests read whole (or whose answer does not wait for the rest) and not answered
        // yet: whether each closes its connection and whether it asks for a picture.
        struct Waiting {
            bool close = false;
            bool picture = false;
        };
        std::deque<Waiting> closeAfter;
        // While the next request asks for a picture beyond the connection's share, its bytes
        // are kept from the HTTP server (read inside a transaction that is rolled back later).
        bool held = false;
        std::size_t waitingBeforeServer = 0; // closeAfter's size before the server read
        double pictures = kPictureBurst; // view pictures it may have now
        QElapsedTimer pictureClock;
    };
    void onReadyRead(QTcpSocket* socket);
    void afterReadyRead(QTcpSocket* socket);
    double picturesNow(Connection& c) const;
    void release(QTcpSocket* socket);
    // Reads bytes of the stream; false when the request is too large.
    bool scan(Connection& c, QByteArrayView bytes) const;
    void endRequest(Connection& c) const;
    void refuseTooLarge(QTcpSocket* socket);
    void dropIdle();
    void evictOne();

    ServeOptions options_;
    QHash<QTcpSocket*, Connection> connections_;
    QTimer idleTimer_;
};

// The drawing time the page may take from the station: a bucket of milliseconds that fills at
// msPerSecond (real time) up to burstMs. A picture is drawn only while some time is left, and
// what it took is taken out after, so a costly picture leaves the bucket below zero and the
// pictures after it wait longer.
class DrawBudget {
public:
    DrawBudget(double msPerSecond, double burstMs);
    // Whether a picture may be drawn at nowMs (milliseconds of any steady clock).
    bool available(qint64 nowMs);
    void spend(double ms) { level_ -= ms; }
    // Whole seconds until a picture may be drawn again, at least 1.
    int retryAfterSeconds() const;

private:
    void refill(qint64 nowMs);
    double rate_;
    double burst_;
    double level_;
    qint64 last_ = -1;
};

// The read-only status page of a running station and its JSON API, served on the station's
// own event loop (requests are answered while the measurement waits). It reads the station's
// state and the run's feed and never changes either. See the notes of the status page for the
// paths.
class StatusServer : public PageServer {
    Q_OBJECT
public:
    static constexpr int kViewRedrawMs = 2000; // real time: the page's own refresh period
    static constexpr int kStatusReuseMs = 200; // real time
    // The page's drawing of view pictures as a whole, however many clients ask for however many
    // sizes: at most kDrawMsPerSecond of the station's processor time on average (bursts up to
    // kDrawBurstMs), and at most kViewCacheEntries pictures kept. A picture that may not be
    // drawn is answered from the cache (the same size for an older shot, else the nearest size
    // of the same view and feeder), or with 503 and Retry-After when none is there.
    static constexpr double kDrawMsPerSecond = 10;
    static constexpr double kDrawBurstMs = 250;
    static constexpr int kViewCacheEntries = 12;

    StatusServer(RunFeed& feed, const ServeOptions& options, QObject* parent = nullptr);
    ~StatusServer() override;

    // The run's limit watch for /api/compliance and the page's compliance panel (none: the
    // answer says it is not active).
    void setCompliance(const LimitWatch* watch) { compliance_ = watch; }

protected:
    Reply route(const QHttpServerRequest& request) override;
    // A view picture beyond the connection's share waits (see GuardedTcpServer::takePicture).
    std::optional<Reply> refuse(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    Reply viewImage(const QString& path, const QHttpServerRequest& request);
    Reply download(const QString& path);
    Reply records(const QHttpServerRequest& request);

    RunFeed& feed_;
    RunFiles files_;
    const LimitWatch* compliance_ = nullptr;
    // Rendered views: (view, feeder, width, height) -> PNG of a shot. A view is drawn again
    // for a newer shot at most every kViewRedrawMs, however many clients ask.
    using ViewKey = std::tuple<int, int, int, int>;
    struct RenderedView {
        qint64 shot = -1;
        QElapsedTimer age;
        qint64 lastUsed = 0; // on clock_
        QByteArray png;
    };
    // The picture of the same view and feeder nearest in size; nullptr when none is kept.
    RenderedView* nearestView(const ViewKey& key);
    std::map<ViewKey, RenderedView> views_;
    QElapsedTimer clock_;
    DrawBudget drawBudget_{kDrawMsPerSecond, kDrawBurstMs};
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
