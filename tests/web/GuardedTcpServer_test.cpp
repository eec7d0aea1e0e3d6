// The status page's listening socket: a bounded number of connections, the one idle the
// longest giving way to a new one, and idle connections closed.

#include "web/StatusServer.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

// Runs events until done() or the time-out (real milliseconds).
template <typename Done> bool pumpUntil(Done done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.hasExpired(timeoutMs))
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

TEST(GuardedTcpServer, BoundsConnectionsAndClosesIdleOnes)
{
    hs::web::ServeOptions options;
    options.maxConnections = 3;
    options.idleTimeoutMs = 600;
    hs::web::GuardedTcpServer server(options);
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));

    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < 5; ++i) {
        auto c = std::make_unique<QTcpSocket>();
        c->connectToHost(QHostAddress::LocalHost, server.serverPort());
        clients.push_back(std::move(c));
        // One at a time, so that "the longest idle" is well defined.
        ASSERT_TRUE(
            pumpUntil([&] { return server.openConnections() == std::min(i + 1, 3); }, 2000));
        pumpUntil([] { return false; }, 30);
    }
    // The first two gave way to the last two.
    ASSERT_TRUE(pumpUntil(
        [&] {
            return clients[0]->state() == QAbstractSocket::UnconnectedState &&
                   clients[1]->state() == QAbstractSocket::UnconnectedState;
        },
        2000));
    for (int i = 2; i < 5; ++i)
        EXPECT_EQ(clients[std::size_t(i)]->state(), QAbstractSocket::ConnectedState) << i;

    // Traffic keeps a connection; silence ends it.
    QElapsedTimer t;
    t.start();
    while (!t.hasExpired(900)) {
        clients[4]->write("x");
        pumpUntil([] { return false; }, 100);
    }
    EXPECT_EQ(clients[4]->state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(clients[2]->state(), QAbstractSocket::UnconnectedState);
    EXPECT_EQ(clients[3]->state(), QAbstractSocket::UnconnectedState);
    EXPECT_EQ(server.openConnections(), 1);
}

} // namespace
