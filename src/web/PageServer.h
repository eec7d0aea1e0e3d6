#pragma once

#include "web/WebAccess.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>

#include <optional>

class QHttpServerRequest;
class QHttpServerResponder;
class QTcpSocket;

namespace hs::web {

class GuardedTcpServer;

// A read-only page served on this thread's event loop with the status page's rules: GET only,
// loopback (by its Host header) unless a token is set, then the token in the X-Station-Token
// header, a Bearer authorisation or the cookie /login?token=... sets; the connection bounds of
// GuardedTcpServer; the security headers on every answer. A page says what its paths answer.
class PageServer : public QAbstractHttpServer {
    Q_OBJECT
public:
    explicit PageServer(const ServeOptions& options, QObject* parent = nullptr);
    ~PageServer() override;

    // Starts listening; false with the reason in error.
    bool start(QString* error);
    quint16 port() const;
    // "http://ADDRESS:PORT/".
    QString url() const;
    int openConnections() const;

protected:
    struct Reply {
        int status = 200;
        QByteArray type;
        QByteArray body;
        QList<QPair<QByteArray, QByteArray>> headers;
    };
    // The answer to an authorised GET request.
    virtual Reply route(const QHttpServerRequest& request) = 0;
    // An answer that comes before route() for an authorised request (a throttle), if any.
    virtual std::optional<Reply> refuse(const QHttpServerRequest& request, QTcpSocket* socket)
    {
        (void)request;
        (void)socket;
        return std::nullopt;
    }

    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

    static QByteArray header(const QHttpServerRequest& request, QByteArrayView name);
    static Reply error(int status, const QByteArray& text);
    static Reply json(const QJsonObject& document, int status = 200);
    // A file of the pages compiled into this library (":/web/NAME").
    static Reply resource(const QString& name, const QByteArray& type);

    ServeOptions options_;
    GuardedTcpServer* tcp_ = nullptr; // owned through the QObject tree

private:
    bool authorised(const QHttpServerRequest& request) const;
    Reply login(const QHttpServerRequest& request) const;
    static void send(QHttpServerResponder& responder, const Reply& reply);
};

} // namespace hs::web
