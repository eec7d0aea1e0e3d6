#include "web/StatusServer.h"

#include "compliance/LimitWatch.h"

#include "render/Canvas.h"
#include "render/PictureViews.h"
#include "render/ResultTables.h"
#include "render/TablePictures.h"
#include "files/ResultExport.h"
#include "web/StatusJson.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QImage>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QUrlQuery>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <utility>

namespace hs::web {

namespace {

// Query value i, or fallback when absent; nullopt when present but not a whole number in range.
std::optional<int> queryInt(const QUrlQuery& q, const QString& key, int fallback, int low, int high)
{
    if (!q.hasQueryItem(key))
        return fallback;
    bool ok = false;
    const int v = q.queryItemValue(key).toInt(&ok);
    if (!ok || v < low || v > high)
        return std::nullopt;
    return v;
}

// Processor time of this thread in milliseconds: what drawing costs the station itself, not
// the time other programs on a busy machine took meanwhile.
double threadCpuMs()
{
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

} // namespace

// ---- GuardedTcpServer -----------------------------------------------------------------------

const QList<QPair<QByteArray, QByteArray>>& GuardedTcpServer::securityHeaders()
{
    static const QList<QPair<QByteArray, QByteArray>> headers{
        {"Cache-Control", "no-store"},
        {"X-Content-Type-Options", "nosniff"},
        {"X-Frame-Options", "DENY"},
        {"Referrer-Policy", "no-referrer"},
        {"Content-Security-Policy",
         "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
         "connect-src 'self'; form-action 'self'; frame-ancestors 'none'"}};
    return headers;
}

namespace {

// How much of a connection's waiting bytes is read here at a time: far more than one request
// may be, so the request the HTTP server reads next has always been read here before.
// More waiting than that breaks the bounds on requests and on requests sent ahead.
constexpr qint64 kScanWindow = 256 * 1024;

} // namespace

GuardedTcpServer::GuardedTcpServer(const ServeOptions& options, QObject* parent)
    : QTcpServer(parent), options_(options)
{
    idleTimer_.setInterval(std::clamp(options_.idleTimeoutMs / 4, 50, 1000));
    connect(&idleTimer_, &QTimer::timeout, this, &GuardedTcpServer::dropIdle);
    idleTimer_.start();
}

GuardedTcpServer::~GuardedTcpServer()
{
    // The sockets outlive this part of the object (the base class closes them): they must not
    // report to it any more.
    for (QTcpSocket* socket : findChildren<QTcpSocket*>())
        disconnect(socket, nullptr, this, nullptr);
    for (QTcpSocket* socket : connections_.keys())
        disconnect(socket, nullptr, this, nullptr);
    connections_.clear();
}

QByteArray GuardedTcpServer::tooLargeAnswer()
{
    const QByteArray body = "request too large\n";
    QByteArray answer = "HTTP/1.1 431 Request Header Fields Too Large\r\n"
                        "Content-Type: text/plain; charset=utf-8\r\n"
                        "Content-Length: " +
                        QByteArray::number(body.size()) + "\r\n";
    for (const auto& [key, value] : securityHeaders())
        answer += key + ": " + value + "\r\n";
    return answer + "Connection: close\r\n\r\n" + body;
}

void GuardedTcpServer::incomingConnection(qintptr descriptor)
{
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (connections_.size() >= options_.maxConnections)
        evictOne();
    Connection c;
    c.lastActive.start();
    connections_.insert(socket, c);
    // Connected before the HTTP server's own handler, so the bounds are checked first.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
    connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] {
        if (auto it = connections_.find(socket); it != connections_.end())
            it->lastActive.start();
    });
    // The HTTP server deletes the socket once it is closed (and no request is being handled).
    connect(socket, &QTcpSocket::disconnected, this,
            [this, socket] { connections_.remove(socket); });
    connect(socket, &QObject::destroyed, this,
            [this, socket] { connections_.remove(static_cast<QTcpSocket*>(socket)); });
    addPendingConnection(socket); // the HTTP server connects its handler here
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { afterReadyRead(socket); });
}

void GuardedTcpServer::afterReadyRead(QTcpSocket* socket)
{
    auto it = connections_.find(socket);
    if (it == connections_.end() || it->held)
        return;
    // What the HTTP server took of the bytes read here: the bytes of one request at most, or
    // all there are while a request is incomplete.
    const qint64 left = socket->bytesAvailable();
    it->unreadScanned =
        std::clamp(it->unreadScanned - (it->availableAtScan - left), qint64(0), left);
    // The HTTP server answers one request at a time and hears of no new bytes for those sent
    // behind it; they are answered now, while the connection is surely open: a client that
    // sends its requests and then closes its side must still get every answer.
    if (!it->closeAfter.empty() && it->closeAfter.size() < it->waitingBeforeServer &&
        socket->state() == QAbstractSocket::ConnectedState)
        Q_EMIT socket->readyRead();
}

void GuardedTcpServer::onReadyRead(QTcpSocket* socket)
{
    auto it = connections_.find(socket);
    if (it == connections_.end())
        return;
    Connection& c = *it;
    c.lastActive.start();
    if (c.held) {
        // Everything before was read inside the held transaction: these bytes are new.
        const QByteArray bytes = socket->read(kScanWindow);
        if (!scan(c, bytes)) {
            refuseTooLarge(socket);
            return;
        }
        if (socket->bytesAvailable() > 0 || c.closeAfter.size() > std::size_t(kMaxPipelined)) {
            connections_.erase(it);
            socket->abort();
        }
        return;
    }
    const qint64 available = socket->bytesAvailable();
    c.availableAtScan = available;
    if (available > c.unreadScanned) {
        const QByteArray bytes = socket->peek(std::min(available, c.unreadScanned + kScanWindow));
        const bool fits = scan(c, QByteArrayView(bytes).sliced(c.unreadScanned));
        c.unreadScanned = bytes.size();
        if (!fits) {
            refuseTooLarge(socket);
            return;
        }
    }
    if (available > c.unreadScanned || c.closeAfter.size() > std::size_t(kMaxPipelined)) {
        connections_.erase(it);
        socket->abort();
        return;
    }
    c.waitingBeforeServer = c.closeAfter.size();
    // The HTTP server is between requests (it keeps a transaction open while one is only
    // partly in) and the next one asks for a picture the connection may not have yet.
    if (!c.closeAfter.empty() && c.closeAfter.front().picture && picturesNow(c) < 1 &&
        !socket->isTransactionStarted()) {
        socket->startTransaction();
        socket->read(available);
        c.held = true;
        const int waitMs =
            static_cast<int>(std::ceil((1 - c.pictures) / kPicturesPerSecond * 1000.0));
        QTimer::singleShot(std::max(waitMs, 1), this, [this, socket] { release(socket); });
    }
}

double GuardedTcpServer::picturesNow(Connection& c) const
{
    if (c.pictureClock.isValid())
        c.pictures = std::min(kPictureBurst, c.pictures + kPicturesPerSecond *
                                                              double(c.pictureClock.elapsed()) /
                                                              1000.0);
    c.pictureClock.start();
    return c.pictures;
}

void GuardedTcpServer::release(QTcpSocket* socket)
{
    auto it = connections_.find(socket);
    if (it == connections_.end() || !it->held)
        return;
    it->held = false;
    socket->rollbackTransaction();
    it->unreadScanned = it->availableAtScan = socket->bytesAvailable();
    Q_EMIT socket->readyRead();
}

bool GuardedTcpServer::scan(Connection& c, QByteArrayView bytes) const
{
    for (const char ch : bytes) {
        const bool between = c.lines == 0 && c.line.isEmpty() && c.bodyLeft == 0;
        if (++c.requestBytes > options_.maxRequestBytes)
            return false;
        if (between && (ch == '\r' || ch == '\n' || ch == ' ' || ch == '\t' || ch == '\v'))
            continue; // blanks before a request, as the HTTP server skips them
        if (c.bodyLeft < 0)
            continue; // a body of unknown length: the connection closes after the answer
        if (c.bodyLeft > 0) {
            if (--c.bodyLeft == 0)
                endRequest(c);
            continue;
        }
        if (ch != '\n') {
            c.line += ch;
            continue;
        }
        if (c.line.endsWith('\r'))
            c.line.chop(1);
        const QByteArray line = std::exchange(c.line, QByteArray());
        if (c.lines++ == 0) {
            c.http10 = line.endsWith(" HTTP/1.0");
            c.picture = line.startsWith("GET /view/");
            continue;
        }
        if (line.isEmpty()) { // the end of the header lines
            if (c.body)
                c.closeAfter.push_back({true, false}); // answered once its body is in, closed
            if (c.bodyLeft == 0 && !c.body)
                endRequest(c);
            else if (c.bodyLeft == 0) // a body of unknown length
                c.bodyLeft = -1;
            continue;
        }
        if (c.lines - 1 > kMaxHeaderLines)
            return false;
        const qsizetype colon = line.indexOf(':');
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed().toLower();
        if (colon <= 0)
            continue;
        if (name == "connection") {
            for (const QByteArray& token : value.split(',')) {
                c.close = c.close || token.trimmed() == "close";
                c.keepAlive = c.keepAlive || token.trimmed() == "keep-alive";
            }
        } else if (name == "content-length") {
            const qint64 length = value.toLongLong();
            if (length != 0)
                c.body = true;
            c.bodyLeft = std::max<qint64>(length, 0);
        } else if (name == "transfer-encoding") {
            c.body = true;
        }
    }
    return true;
}

void GuardedTcpServer::endRequest(Connection& c) const
{
    if (!c.body)
        c.closeAfter.push_back({c.close || (c.http10 && !c.keepAlive), c.picture});
    c.requestBytes = 0;
    c.lines = 0;
    c.http10 = c.close = c.keepAlive = c.body = c.picture = false;
    c.bodyLeft = 0;
}

void GuardedTcpServer::refuseTooLarge(QTcpSocket* socket)
{
    connections_.remove(socket);
    // The request is not read any further: the answer goes out as far as the socket takes it
    // at once, and the connection is closed with the rest unread.
    socket->write(tooLargeAnswer());
    socket->flush();
    socket->abort();
}

bool GuardedTcpServer::requestHandled(QTcpSocket* socket, bool authorised)
{
    auto it = connections_.find(socket);
    if (it == connections_.end())
        return false;
    it->authorised = it->authorised || authorised;
    if (it->closeAfter.empty())
        return true;
    const bool close = it->closeAfter.front().close;
    it->closeAfter.pop_front();
    return !close;
}

void GuardedTcpServer::answered(QTcpSocket* socket, bool keepOpen)
{
    // Out at once: the client may close its side right after its requests, and the socket
    // drops what it still holds when it sees that.
    socket->flush();
    if (!keepOpen) {
        // Whatever came behind the request is left unanswered: the connection closes once the
        // answer has gone out.
        connections_.remove(socket);
        disconnect(socket, &QTcpSocket::readyRead, nullptr, nullptr);
        socket->readAll();
        socket->disconnectFromHost();
    }
}

bool GuardedTcpServer::takePicture(QTcpSocket* socket)
{
    auto it = connections_.find(socket);
    if (it == connections_.end())
        return true;
    if (picturesNow(*it) < 1)
        return false;
    it->pictures -= 1;
    return true;
}

void GuardedTcpServer::dropIdle()
{
    std::vector<QTcpSocket*> idle;
    for (auto it = connections_.begin(); it != connections_.end(); ++it)
        if (it->lastActive.hasExpired(options_.idleTimeoutMs))
            idle.push_back(it.key());
    for (QTcpSocket* socket : idle)
        socket->abort();
}

void GuardedTcpServer::evictOne()
{
    // The longest idle of those that never sent an authorised request; only when there is
    // none, the longest idle of all.
    auto oldest = connections_.end();
    for (auto it = connections_.begin(); it != connections_.end(); ++it) {
        if (oldest == connections_.end()) {
            oldest = it;
            continue;
        }
        const bool stranger = !it->authorised && oldest->authorised;
        const bool sameKind = it->authorised == oldest->authorised;
        if (stranger || (sameKind && it->lastActive.elapsed() > oldest->lastActive.elapsed()))
            oldest = it;
    }
    if (oldest == connections_.end())
        return;
    QTcpSocket* socket = oldest.key();
    connections_.erase(oldest);
    socket->abort();
}

// ---- DrawBudget -----------------------------------------------------------------------------

DrawBudget::DrawBudget(double msPerSecond, double burstMs)
    : rate_(msPerSecond), burst_(burstMs), level_(burstMs)
{
}

void DrawBudget::refill(qint64 nowMs)
{
    if (last_ >= 0 && nowMs > last_)
        level_ = std::min(burst_, level_ + rate_ * double(nowMs - last_) / 1000.0);
    last_ = std::max(last_, nowMs);
}

bool DrawBudget::available(qint64 nowMs)
{
    refill(nowMs);
    return level_ > 0;
}

int DrawBudget::retryAfterSeconds() const
{
    if (level_ > 0 || rate_ <= 0)
        return 1;
    return std::max(1, static_cast<int>(std::ceil(-level_ / rate_)));
}

// ---- StatusServer ---------------------------------------------------------------------------

StatusServer::StatusServer(RunFeed& feed, const ServeOptions& options, QObject* parent)
    : PageServer(options, parent), feed_(feed), files_(feed.station().settings)
{
    clock_.start();
}

StatusServer::~StatusServer() = default;

std::optional<StatusServer::Reply> StatusServer::refuse(const QHttpServerRequest& request,
                                                        QTcpSocket* socket)
{
    if (!request.url().path().startsWith(QStringLiteral("/view/")) || !tcp_ ||
        tcp_->takePicture(socket))
        return std::nullopt;
    Reply reply = error(429, "too many pictures asked for; try again shortly\n");
    reply.headers.emplaceBack("Retry-After", "1");
    return reply;
}

StatusServer::Reply StatusServer::route(const QHttpServerRequest& request)
{
    const QString path = request.url().path();
    const QUrlQuery query = request.query();
    if (path == QStringLiteral("/") || path == QStringLiteral("/index.html"))
        return resource(QStringLiteral("index.html"), "text/html; charset=utf-8");
    if (path == QStringLiteral("/app.js"))
        return resource(QStringLiteral("app.js"), "text/javascript; charset=utf-8");
    if (path == QStringLiteral("/style.css"))
        return resource(QStringLiteral("style.css"), "text/css; charset=utf-8");
    if (path == QStringLiteral("/api/status")) {
        // Many clients polling cost one document per kStatusReuseMs.
        if (statusAge_.isValid() && !statusAge_.hasExpired(kStatusReuseMs))
            return statusReply_;
        statusReply_ = json(StatusDocument(feed_, files_));
        statusAge_.start();
        return statusReply_;
    }
    if (path == QStringLiteral("/api/compliance"))
        return json(compliance_ ? compliance_->toJson()
                                : QJsonObject{{QStringLiteral("active"), false}});
    if (path == QStringLiteral("/api/shot")) {
        const auto feeder = queryInt(query, QStringLiteral("feeder"), 1, 1, 9);
        if (!feeder)
            return error(400, "feeder: 1..9\n");
        const QJsonObject doc = ShotDocument(feed_, *feeder);
        return json(doc, doc.contains(QStringLiteral("error")) ? 404 : 200);
    }
    const bool runFile =
        path == QStringLiteral("/api/records") || path.startsWith(QStringLiteral("/download/"));
    if (runFile && feed_.waiting())
        return error(404, "the measurement has not started\n");
    if (path == QStringLiteral("/api/records"))
        return records(request);
    if (path.startsWith(QStringLiteral("/view/")))
        return viewImage(path, request);
    if (path.startsWith(QStringLiteral("/download/")))
        return download(path);
    return error(404, "not found\n");
}

StatusServer::Reply StatusServer::records(const QHttpServerRequest& request)
{
    const QUrlQuery query = request.query();
    QDateTime bounds[2];
    const QString keys[2] = {QStringLiteral("from"), QStringLiteral("to")};
    for (int i = 0; i < 2; ++i) {
        const QString text = query.queryItemValue(keys[i]);
        if (text.isEmpty())
            continue;
        bounds[i] = QDateTime::fromString(text, Qt::ISODate);
        if (!bounds[i].isValid())
            return error(400, "from, to: yyyy-MM-ddTHH:mm[:ss]\n");
    }
    const auto index = queryInt(query, QStringLiteral("file"), 0, 0, 2);
    if (!index)
        return error(400, "file: 0..2\n");
    QString why;
    const ResultFile* file = files_.file(*index, &why);
    if (!file)
        return json({{QStringLiteral("error"), why}}, 404);
    return json(RecordsDocument(*file, bounds[0], bounds[1]));
}

StatusServer::Reply StatusServer::viewImage(const QString& path, const QHttpServerRequest& request)
{
    static const QRegularExpression pattern(QStringLiteral("^/view/([1-9])\\.png$"));
    const QRegularExpressionMatch m = pattern.match(path);
    if (!m.hasMatch() ||
        !(IsPictureView(m.captured(1).toInt()) || IsTableView(m.captured(1).toInt())))
        return error(404, "no such view (1 to 9)\n");
    const int view = m.captured(1).toInt();
    const QUrlQuery query = request.query();
    const auto feeder = queryInt(query, QStringLiteral("feeder"), 1, 1, 9);
    const auto width = queryInt(query, QStringLiteral("w"), 640, 160, 1920);
    const auto height = queryInt(query, QStringLiteral("h"), 360, 90, 1080);
    if (!feeder || !width || !height)
        return error(400, "feeder: 1..9, w: 160..1920, h: 90..1080\n");
    if (!feed_.hasShot())
        return error(503, "no shot analysed yet\n");
    if (*feeder > feed_.shotSettings().LastFeeder + 1)
        return error(404, "no such feeder\n");
    const ViewKey key{view, *feeder, *width, *height};
    const qint64 now = clock_.elapsed();
    RenderedView* answer = nullptr;
    auto found = views_.find(key);
    if (found != views_.end() &&
        (found->second.shot == feed_.shots() || !found->second.age.hasExpired(kViewRedrawMs))) {
        answer = &found->second;
    } else if (drawBudget_.available(now)) {
        if (found == views_.end() && views_.size() >= std::size_t(kViewCacheEntries))
            views_.erase(std::min_element(views_.begin(), views_.end(), [](auto& a, auto& b) {
                return a.second.lastUsed < b.second.lastUsed;
            }));
        RenderedView& cached = views_[key];
        const double started = threadCpuMs();
        // A table view is as tall as its rows; its width follows w like a drawn view's.
        const QImage image =
            IsTableView(view)
                ? RenderTableView(view, feed_.shotSettings(), feed_.shot(), *feeder - 1,
                                  *width / 640.0)
                : RenderToImage(QSizeF(640, 360), *width, *height, [&](Canvas& canvas) {
                      canvas.clear();
                      DrawPictureView(canvas, view, feed_.shotSettings(), feed_.shot(),
                                      *feeder - 1);
                  });
        cached.png.clear();
        QBuffer buffer(&cached.png);
        buffer.open(QIODevice::WriteOnly);
        // Light compression: the pictures are few colours and large areas, and the time goes
        // from the station's own thread.
        image.save(&buffer, "PNG", 80);
        cached.shot = feed_.shots();
        cached.age.start();
        drawBudget_.spend(threadCpuMs() - started);
        answer = &cached;
    } else if (found != views_.end()) {
        answer = &found->second; // an older shot
    } else {
        answer = nearestView(key);
    }
    if (!answer) {
        Reply r = error(503, "the page is drawing as much as it may; try again shortly\n");
        r.headers.emplaceBack("Retry-After", QByteArray::number(drawBudget_.retryAfterSeconds()));
        return r;
    }
    answer->lastUsed = now;
    Reply r{200, "image/png", answer->png, {}};
    r.headers.emplaceBack("X-Shot", QByteArray::number(answer->shot));
    return r;
}

StatusServer::RenderedView* StatusServer::nearestView(const ViewKey& key)
{
    const auto [view, feeder, width, height] = key;
    RenderedView* nearest = nullptr;
    int distance = 0;
    for (auto& [other, rendered] : views_) {
        if (std::get<0>(other) != view || std::get<1>(other) != feeder)
            continue;
        const int d = std::abs(std::get<2>(other) - width) + std::abs(std::get<3>(other) - height);
        if (!nearest || d < distance) {
            nearest = &rendered;
            distance = d;
        }
    }
    return nearest;
}

StatusServer::Reply StatusServer::download(const QString& path)
{
    // Only /download/N and /download/N.csv with N the index of one of the run's own files:
    // nothing of the request ever becomes part of a file name.
    static const QRegularExpression pattern(QStringLiteral("^/download/([0-2])(\\.csv)?$"));
    const QRegularExpressionMatch m = pattern.match(path);
    const QStringList names = files_.names();
    if (!m.hasMatch() || m.captured(1).toInt() >= names.size())
        return error(404, "not found\n");
    const int index = m.captured(1).toInt();
    const QString name = QFileInfo(names[index]).fileName();
    // The name is the station's own; quotes and controls are left out all the same.
    QByteArray shown = name.toUtf8();
    shown.replace('"', '_').replace('\\', '_');
    Reply r;
    if (!m.captured(2).isEmpty()) {
        QString why;
        const ResultFile* file = files_.file(index, &why);
        if (!file)
            return json({{QStringLiteral("error"), why}}, 404);
        r = {200, "text/csv; charset=utf-8", ResultCsv(*file, ExportSelection{}), {}};
        shown += ".csv";
    } else {
        QFile file(names[index]);
        if (!file.open(QIODevice::ReadOnly))
            return error(404, "not written yet\n");
        r = {200, "application/octet-stream", file.readAll(), {}};
    }
    r.headers.emplaceBack("Content-Disposition", "attachment; filename=\"" + shown + '"');
    return r;
}

// ---- StatusPage -----------------------------------------------------------------------------

StatusPage::StatusPage(const ServeOptions& options, const StationRefs& station,
                       EngineObserver& next)
    : feed_(station, &next), server_(feed_, options)
{
}

std::unique_ptr<StatusPage> StatusPage::start(const ServeOptions& options,
                                              const StationRefs& station, EngineObserver& next,
                                              QString* error)
{
    std::unique_ptr<StatusPage> page(new StatusPage(options, station, next));
    if (!page->server_.start(error))
        return nullptr;
    return page;
}

} // namespace hs::web
