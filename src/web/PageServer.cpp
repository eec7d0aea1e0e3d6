#include "web/PageServer.h"

#include "web/StatusServer.h"

#include <QFile>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonDocument>
#include <QTcpSocket>

// The pages' files are compiled into this library; a static library needs them registered.
static void initialiseWebResources()
{
    Q_INIT_RESOURCE(web);
}

namespace hs::web {

namespace {

constexpr QByteArrayView kTokenCookie = "hs_token";
constexpr QByteArrayView kTokenHeader = "x-station-token";

} // namespace

PageServer::PageServer(const ServeOptions& options, QObject* parent)
    : QAbstractHttpServer(parent), options_(options)
{
    initialiseWebResources();
}

PageServer::~PageServer() = default;

bool PageServer::start(QString* error)
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

quint16 PageServer::port() const
{
    return tcp_ ? tcp_->serverPort() : 0;
}

QString PageServer::url() const
{
    const QString host = options_.address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + options_.address.toString() + QLatin1Char(']')
                             : options_.address.toString();
    return QStringLiteral("http://%1:%2/").arg(host).arg(port());
}

int PageServer::openConnections() const
{
    return tcp_ ? tcp_->openConnections() : 0;
}

bool PageServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket)
{
    const bool get = request.method() == QHttpServerRequest::Method::Get;
    const bool allowed = get && authorised(request);
    const bool keepOpen = tcp_ ? tcp_->requestHandled(socket, allowed) : true;
    Reply reply;
    if (!get) {
        reply = error(405, "only GET is served here\n");
        reply.headers.emplaceBack("Allow", "GET");
    } else if (request.url().path() == QStringLiteral("/login") && !options_.token.isEmpty()) {
        reply = login(request);
    } else if (!allowed) {
        reply = options_.token.isEmpty() ? error(403, "forbidden\n")
                                         : error(401, "a token is required: send it in the "
                                                      "X-Station-Token header, or open "
                                                      "/login?token=...\n");
    } else if (std::optional<Reply> refused = refuse(request, socket)) {
        reply = *refused;
    } else {
        reply = route(request);
    }
    if (!keepOpen)
        reply.headers.emplaceBack("Connection", "close");
    {
        QHttpServerResponder responder = makeResponder(request, socket);
        send(responder, reply);
    }
    if (tcp_)
        tcp_->answered(socket, keepOpen);
    return true;
}

void PageServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket)
{
    QHttpServerResponder responder = makeResponder(request, socket);
    send(responder, error(404, "not found\n"));
}

QByteArray PageServer::header(const QHttpServerRequest& request, QByteArrayView name)
{
    for (const auto& [key, value] : request.headers())
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    return {};
}

bool PageServer::authorised(const QHttpServerRequest& request) const
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

PageServer::Reply PageServer::login(const QHttpServerRequest& request) const
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

PageServer::Reply PageServer::resource(const QString& name, const QByteArray& type)
{
    QFile file(QStringLiteral(":/web/") + name);
    if (!file.open(QIODevice::ReadOnly))
        return error(500, "the page is missing from this build\n");
    return {200, type, file.readAll(), {}};
}

PageServer::Reply PageServer::error(int status, const QByteArray& text)
{
    return {status, "text/plain; charset=utf-8", text, {}};
}

PageServer::Reply PageServer::json(const QJsonObject& document, int status)
{
    return {status, "application/json", QJsonDocument(document).toJson(QJsonDocument::Compact), {}};
}

void PageServer::send(QHttpServerResponder& responder, const Reply& reply)
{
    responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(reply.status));
    responder.writeHeader("Content-Type", reply.type);
    responder.writeHeader("Content-Length", QByteArray::number(reply.body.size()));
    for (const auto& [key, value] : GuardedTcpServer::securityHeaders())
        responder.writeHeader(key, value);
    for (const auto& [key, value] : reply.headers)
        responder.writeHeader(key, value);
    responder.writeBody(reply.body);
}

} // namespace hs::web
