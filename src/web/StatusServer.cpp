#include "web/StatusServer.h"

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

// The page's files are compiled into this library; a static library needs them registered.
static void initialiseWebResources()
{
    Q_INIT_RESOURCE(web);
}

namespace hs::web {

namespace {

constexpr QByteArrayView kTokenCookie = "hs_token";
constexpr QByteArrayView kTokenHeader = "x-station-token";

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

QByteArray header(const QHttpServerRequest& request, QByteArrayView name)
{
    for (const auto& [key, value] : request.headers())
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

} // namespace

// ---- GuardedTcpServer -----------------------------------------------------------------------

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

void GuardedTcpServer::incomingConnection(qintptr descriptor)
{
    auto* socket = new QTcpSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (connections_.size() >= options_.maxConnections)
        evictOldest();
    Connection c;
    c.lastActive.start();
    connections_.insert(socket, c);
    // Connected before the HTTP server's own handler, so the bound is checked first.
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
    addPendingConnection(socket);
}

void GuardedTcpServer::requestHandled(QTcpSocket* socket)
{
    if (auto it = connections_.find(socket); it != connections_.end())
        it->requestBytes = 0;
}

void GuardedTcpServer::onReadyRead(QTcpSocket* socket)
{
    auto it = connections_.find(socket);
    if (it == connections_.end())
        return;
    it->lastActive.start();
    it->requestBytes += socket->bytesAvailable();
    if (it->requestBytes <= options_.maxRequestBytes)
        return;
    connections_.erase(it);
    // The request is not read any further: the answer goes out as far as the socket takes it
    // at once, and the connection is closed with the rest unread.
    socket->write("HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Type: text/plain\r\n"
                  "Content-Length: 18\r\nConnection: close\r\n\r\nrequest too large\n");
    socket->flush();
    socket->abort();
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

void GuardedTcpServer::evictOldest()
{
    auto oldest = connections_.end();
    for (auto it = connections_.begin(); it != connections_.end(); ++it)
        if (oldest == connections_.end() || it->lastActive.elapsed() > oldest->lastActive.elapsed())
            oldest = it;
    if (oldest == connections_.end())
        return;
    QTcpSocket* socket = oldest.key();
    connections_.erase(oldest);
    socket->abort();
}

// ---- StatusServer ---------------------------------------------------------------------------

StatusServer::StatusServer(RunFeed& feed, const ServeOptions& options, QObject* parent)
    : QAbstractHttpServer(parent), feed_(feed), options_(options), files_(feed.station().settings)
{
    initialiseWebResources();
}

StatusServer::~StatusServer() = default;

bool StatusServer::start(QString* error)
{
    tcp_ = new GuardedTcpServer(options_, this);
    if (!tcp_->listen(options_.address, options_.port)) {
        if (error)
            *error = QStringLiteral("cannot listen on %1:%2: %3")
                         .arg(options_.address.toString())
                         .arg(options_.port)
                         .arg(tcp_->errorString());
        delete tcp_;
        tcp_ = nullptr;
        return false;
    }
    bind(tcp_);
    return true;
}

quint16 StatusServer::port() const
{
    return tcp_ ? tcp_->serverPort() : 0;
}

QString StatusServer::url() const
{
    const QString host = options_.address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + options_.address.toString() + QLatin1Char(']')
                             : options_.address.toString();
    return QStringLiteral("http://%1:%2/").arg(host).arg(port());
}

bool StatusServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    if (tcp_)
        tcp_->requestHandled(socket);
    QHttpServerResponder responder = makeResponder(request, socket);
    Reply reply;
    if (request.method() != QHttpServerRequest::Method::Get) {
        reply = error(405, "only GET is served here\n");
        reply.headers.emplaceBack("Allow", "GET");
    } else if (request.url().path() == QStringLiteral("/login") && !options_.token.isEmpty()) {
        reply = login(request);
    } else if (!authorised(request)) {
        reply = options_.token.isEmpty() ? error(403, "forbidden\n")
                                         : error(401, "a token is required: send it in the "
                                                      "X-Station-Token header, or open "
                                                      "/login?token=...\n");
    } else {
        reply = route(request);
    }
    send(responder, reply);
    return true;
}

void StatusServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    QHttpServerResponder responder = makeResponder(request, socket);
    send(responder, error(404, "not found\n"));
}

bool StatusServer::authorised(const QHttpServerRequest& request) const
{
    if (options_.token.isEmpty())
        return IsLoopbackHost(header(request, "host"), port());
    QByteArray given = header(request, kTokenHeader);
    const QByteArray bearer = header(request, "authorization");
    if (given.isEmpty() && bearer.startsWith("Bearer "))
        given = bearer.mid(7).trimmed();
    if (given.isEmpty())
        given = CookieValue(header(request, "cookie"), kTokenCookie);
    return !given.isEmpty() && ConstantTimeEquals(given, options_.token);
}

StatusServer::Reply StatusServer::login(const QHttpServerRequest& request) const
{
    const QByteArray given = request.query().queryItemValue(QStringLiteral("token")).toUtf8();
    if (given.isEmpty() || !ConstantTimeEquals(given, options_.token))
        return error(401, "wrong token\n");
    Reply r;
    r.status = 303;
    r.type = "text/plain; charset=utf-8";
    r.body = "signed in\n";
    r.headers.emplaceBack("Location", "/");
    r.headers.emplaceBack("Set-Cookie", kTokenCookie.toByteArray() + '=' + options_.token +
                                            "; Path=/; HttpOnly; SameSite=Strict");
    return r;
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

StatusServer::Reply StatusServer::resource(const QString& name, const QByteArray& type) const
{
    QFile file(QStringLiteral(":/web/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return error(500, "the page is missing from this build\n");
    return {200, type, file.readAll(), {}};
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
    const auto key = std::make_tuple(view, *feeder, *width, *height);
    if (views_.size() >= 64 && views_.find(key) == views_.end())
        views_.clear(); // sizes asked for by no page: the cache stays small
    RenderedView& cached = views_[key];
    const bool fresh =
        cached.shot == feed_.shots() || (cached.shot >= 0 && !cached.age.hasExpired(kViewRedrawMs));
    if (!fresh) {
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
    }
    Reply r{200, "image/png", cached.png, {}};
    r.headers.emplaceBack("X-Shot", QByteArray::number(cached.shot));
    return r;
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

StatusServer::Reply StatusServer::error(int status, const QByteArray& text)
{
    return {status, "text/plain; charset=utf-8", text, {}};
}

StatusServer::Reply StatusServer::json(const QJsonObject& document, int status)
{
    return {status, "application/json", QJsonDocument(document).toJson(QJsonDocument::Compact), {}};
}

void StatusServer::send(QHttpServerResponder& responder, const Reply& reply)
{
    responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(reply.status));
    responder.writeHeader("Content-Type", reply.type);
    responder.writeHeader("Content-Length", QByteArray::number(reply.body.size()));
    responder.writeHeader("Cache-Control", "no-store");
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    responder.writeHeader("X-Frame-Options", "DENY");
    responder.writeHeader("Referrer-Policy", "no-referrer");
    responder.writeHeader("Content-Security-Policy",
                          "default-src 'none'; script-src 'self'; style-src 'self'; "
                          "img-src 'self'; connect-src 'self'; form-action 'self'; "
                          "frame-ancestors 'none'");
    for (const auto& [key, value] : reply.headers)
        responder.writeHeader(key, value);
    responder.writeBody(reply.body);
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
