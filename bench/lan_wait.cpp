// CPU cost of the link waits: a reply wait that times out (5 s) and WaitSeconds(4), each as CPU
// seconds per wall second, next to a spinning wait (pump events in a loop) measured in the same
// run. A station that waits for hours must stay near zero.
//
//   bench_lan_wait [spin-seconds]      (default 1 s of spinning for the baseline)

#include "common/Clock.h"
#include "recorder/LanModule.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>

namespace {

double processCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

struct Figure {
    double cpu = 0;
    double wall = 0;
    double perWall() const { return wall > 0 ? cpu / wall : 0; }
};

Figure measure(const std::function<void()>& work)
{
    QElapsedTimer wall;
    const double cpu0 = processCpuSeconds();
    wall.start();
    work();
    Figure f;
    f.wall = static_cast<double>(wall.nsecsElapsed()) * 1e-9;
    f.cpu = processCpuSeconds() - cpu0;
    return f;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const double spinSeconds = argc > 1 ? std::atof(argv[1]) : 1.0;

    // A recorder that accepts the connection and never answers.
    QTcpServer silent;
    if (!silent.listen(QHostAddress::LocalHost, 0)) {
        std::fprintf(stderr, "cannot listen on loopback\n");
        return 1;
    }
    QObject::connect(&silent, &QTcpServer::newConnection,
                     [&silent] { silent.nextPendingConnection(); });

    hs::Clock clock(1.0);
    hs::LanModule lan(clock);
    lan.connectToRecorder(0, QStringLiteral("127.0.0.1"), silent.serverPort());
    if (!clock.waitUntil([&lan] { return lan.LinkConnected(0); }, 5000)) {
        std::fprintf(stderr, "no connection\n");
        return 1;
    }

    // Baseline: the spinning wait the blocking design replaces.
    const Figure spin = measure([spinSeconds] {
        QElapsedTimer t;
        t.start();
        while (static_cast<double>(t.nsecsElapsed()) * 1e-9 < spinSeconds)
            hs::Clock::pumpEvents();
    });

    lan.setReplyTimeout(0); // 5 s
    bool timedOut = false;
    const Figure receive = measure([&] {
        lan.send(0, QStringLiteral("*IDN?"));
        const hs::LinkReply<QString> reply = lan.receiveLine(0);
        timedOut = !reply.ok() && reply.error().kind == hs::LinkErrorKind::Timeout;
    });
    const Figure waitSeconds = measure([&lan] { lan.waitSeconds(4); });

    std::printf("%-34s %8s %8s %12s %14s\n", "wait", "wall s", "cpu s", "cpu/wall", "vs spinning");
    auto row = [&spin](const char* name, const Figure& f) {
        std::printf("%-34s %8.3f %8.4f %12.5f %14.5f\n", name, f.wall, f.cpu, f.perWall(),
                    spin.perWall() > 0 ? f.perWall() / spin.perWall() : 0.0);
    };
    row("spinning baseline (measured)", spin);
    row("reply time-out (5 s)", receive);
    row("WaitSeconds(4)", waitSeconds);
    std::printf("nominal spinning baseline 1.0 cpu/wall; target below 0.02\n");
    std::printf("reply wait %s\n", timedOut ? "timed out" : "did not time out");

    const bool ok = timedOut && receive.perWall() < 0.02 && waitSeconds.perWall() < 0.02;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
