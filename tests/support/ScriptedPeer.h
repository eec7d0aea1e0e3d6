#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace hs {

// A recorder stand-in on a loopback port: it records what it is sent and writes scripted bytes,
// at once or after a real-time delay.
class ScriptedPeer {
public:
    ScriptedPeer()
    {
        server.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server, &QTcpServer::newConnection, [this] {
            conn = server.nextPendingConnection();
            QObject::connect(conn, &QTcpSocket::readyRead, [this] { received += conn->readAll(); });
        });
    }
    quint16 port() const { return server.serverPort(); }
    void send(const QByteArray& bytes)
    {
        conn->write(bytes);
        conn->flush();
    }
    void sendAfter(int realMs, const QByteArray& bytes)
    {
        QTimer::singleShot(realMs, conn, [this, bytes] { send(bytes); });
    }

    QTcpServer server;
    QTcpSocket* conn = nullptr;
    QByteArray received;
};

// n bytes of a pattern that never repeats within a block.
inline QByteArray pattern(int n)
{
    QByteArray bytes(n, '\0');
    for (int i = 0; i < n; ++i)
        bytes[i] = static_cast<char>((i * 7 + 3) % 251);
    return bytes;
}

} // namespace hs
