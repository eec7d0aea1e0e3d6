#pragma once

// A loopback TCP proxy in front of a recorder that can stop forwarding: while frozen the
// connections stay up (new ones are accepted too) but no byte goes either way, as with a
// recorder that hangs or a switch that stops passing frames. Thawed, what waited goes on.

#include <QHostAddress>
#include <QObject>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>

#include <vector>

namespace hs::testing {

class FreezingProxy : public QObject {
public:
    explicit FreezingProxy(quint16 targetPort) : target_(targetPort)
    {
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { accept(); });
    }

    // The sockets close as the server goes, and tell it: nothing may reach a half-destroyed
    // partner then.
    ~FreezingProxy() override
    {
        for (const Pair& p : pairs_) {
            if (p.client)
                QObject::disconnect(p.client, nullptr, this, nullptr);
            if (p.upstream)
                QObject::disconnect(p.upstream, nullptr, this, nullptr);
        }
    }

    bool listen() { return server_.listen(QHostAddress::LocalHost, 0); }
    quint16 port() const { return server_.serverPort(); }

    void freeze(bool frozen)
    {
        frozen_ = frozen;
        if (!frozen_)
            for (const Pair& p : pairs_)
                pump(p);
    }
    bool frozen() const { return frozen_; }

private:
    struct Pair {
        QPointer<QTcpSocket> client;
        QPointer<QTcpSocket> upstream;
    };

    void accept()
    {
        while (QTcpSocket* client = server_.nextPendingConnection()) {
            auto* upstream = new QTcpSocket(client);
            const Pair p{client, upstream};
            pairs_.push_back(p);
            const auto forward = [this, p] { pump(p); };
            QObject::connect(client, &QTcpSocket::readyRead, this, forward);
            QObject::connect(upstream, &QTcpSocket::readyRead, this, forward);
            QObject::connect(upstream, &QTcpSocket::connected, this, forward);
            QObject::connect(client, &QTcpSocket::disconnected, this, [p] {
                if (p.upstream)
                    p.upstream->disconnectFromHost();
            });
            QObject::connect(upstream, &QTcpSocket::disconnected, this, [p] {
                if (p.client)
                    p.client->disconnectFromHost();
            });
            QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
            upstream->connectToHost(QHostAddress::LocalHost, target_);
        }
    }

    void pump(const Pair& p) const
    {
        if (frozen_ || !p.client || !p.upstream ||
            p.upstream->state() != QAbstractSocket::ConnectedState)
            return;
        if (p.client->bytesAvailable() > 0)
            p.upstream->write(p.client->readAll());
        if (p.upstream->bytesAvailable() > 0)
            p.client->write(p.upstream->readAll());
    }

    QTcpServer server_;
    quint16 target_;
    bool frozen_ = false;
    std::vector<Pair> pairs_;
};

} // namespace hs::testing
