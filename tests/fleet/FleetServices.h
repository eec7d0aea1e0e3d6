#pragma once

// The real pieces of a fleet, started by the tests on loopback ephemeral ports and stopped
// after: a mosquitto broker, a throw-away PostgreSQL cluster, and harmonic-station processes
// (measure --publish, collect).

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include <signal.h>
#include <unistd.h>

namespace hs::test {

inline quint16 freePort()
{
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

// Runs the event loop until done() or timeoutMs.
inline bool waitFor(const std::function<bool()>& done, int timeoutMs)
{
    QElapsedTimer t;
    t.start();
    while (!done()) {
        if (t.elapsed() > timeoutMs)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        ::usleep(10000);
    }
    return true;
}

inline bool accepts(quint16 port)
{
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    return s.waitForConnected(200);
}

inline void writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly)) << path.toStdString();
    f.write(bytes);
}

// A child process that is killed (SIGKILL) when the object goes.
class Child {
public:
    ~Child() { kill(); }
    void start(const QString& program, const QStringList& args, const QString& logFile)
    {
        process_ = std::make_unique<QProcess>();
        process_->setProcessChannelMode(QProcess::MergedChannels);
        process_->setStandardOutputFile(logFile, QIODevice::Append);
        process_->start(program, args);
        ASSERT_TRUE(process_->waitForStarted(5000)) << program.toStdString();
    }
    void kill()
    {
        if (process_ && process_->state() != QProcess::NotRunning) {
            process_->kill();
            process_->waitForFinished(5000);
        }
    }
    void terminate()
    {
        if (process_ && process_->state() != QProcess::NotRunning) {
            process_->terminate();
            process_->waitForFinished(10000);
        }
    }
    bool running() const { return process_ && process_->state() != QProcess::NotRunning; }
    // Waits for the end (running the event loop); the exit code, or -1 on time-out.
    int wait(int timeoutMs)
    {
        if (!waitFor([this] { return !running(); }, timeoutMs))
            return -1;
        return process_->exitStatus() == QProcess::NormalExit ? process_->exitCode() : -2;
    }

private:
    std::unique_ptr<QProcess> process_;
};

// A mosquitto broker on a loopback port of its own, with persistence in the folder, so that
// a restart keeps the sessions and queued messages (as a broker run as a service does).
class Broker {
public:
    explicit Broker(const QString& dir, const QByteArray& passwordLine = {})
        : dir_(dir), port_(freePort())
    {
        QByteArray conf = "listener " + QByteArray::number(port_) + " 127.0.0.1\n" +
                          "persistence true\npersistence_location " + dir.toUtf8() +
                          "/\nmax_queued_messages 100000\n" +
                          // Sessions and queued messages on disk at every change, so that a
                          // broker that is killed keeps them.
                          "autosave_on_changes true\nautosave_interval 1\n";
        // Started as root, the broker would switch to its own user, who cannot read here.
        if (::geteuid() == 0)
            conf += "user root\n";
        if (passwordLine.isEmpty()) {
            conf += "allow_anonymous true\n";
        } else {
            writeFile(dir + QStringLiteral("/passwd"), passwordLine + "\n");
            QProcess::execute(QStringLiteral("mosquitto_passwd"),
                              {QStringLiteral("-U"), dir + QStringLiteral("/passwd")});
            conf += "allow_anonymous false\npassword_file " + dir.toUtf8() + "/passwd\n";
        }
        writeFile(dir + QStringLiteral("/mosquitto.conf"), conf);
    }
    bool start()
    {
        process_.start(
            QStringLiteral("mosquitto"),
            {QStringLiteral("-c"), dir_ + QStringLiteral("/mosquitto.conf"), QStringLiteral("-v")},
            dir_ + QStringLiteral("/broker.log"));
        return waitFor([this] { return accepts(port_); }, 5000);
    }
    void kill() { process_.kill(); }
    quint16 port() const { return port_; }
    QString url(const QString& user = {}) const
    {
        return QStringLiteral("mqtt://") + (user.isEmpty() ? QString() : user + QLatin1Char('@')) +
               QStringLiteral("127.0.0.1:%1/fleet").arg(port_);
    }

private:
    QString dir_;
    quint16 port_;
    Child process_;
};

// A throw-away PostgreSQL cluster in a folder, on a loopback port of its own (trust
// authentication, user postgres). Run as the postgres user when the tests run as root, as
// the server refuses to run as root.
class PostgresCluster {
public:
    ~PostgresCluster() { stop(); }
    // Empty when the cluster runs, else why not.
    QString start(const QString& dir)
    {
        dir_ = dir + QStringLiteral("/pg");
        port_ = freePort();
        bin_ = binDir();
        if (bin_.isEmpty())
            return QStringLiteral("no PostgreSQL server programs (Debian package postgresql)");
        QDir().mkpath(dir_);
        if (::geteuid() == 0)
            QProcess::execute(QStringLiteral("chown"), {QStringLiteral("postgres"), dir_, dir});
        if (run(QStringLiteral("initdb"),
                {QStringLiteral("-D"), dir_ + QStringLiteral("/data"), QStringLiteral("-U"),
                 QStringLiteral("postgres"), QStringLiteral("--auth=trust"), QStringLiteral("-E"),
                 QStringLiteral("UTF8")}) != 0)
            return QStringLiteral("initdb failed");
        return resume() ? QString() : QStringLiteral("pg_ctl start failed");
    }
    bool resume()
    {
        return run(QStringLiteral("pg_ctl"),
                   {QStringLiteral("-D"), dir_ + QStringLiteral("/data"), QStringLiteral("-l"),
                    dir_ + QStringLiteral("/server.log"), QStringLiteral("-w"),
                    QStringLiteral("-o"),
                    QStringLiteral("-p %1 -k %2 -c listen_addresses=127.0.0.1 -c fsync=off")
                        .arg(port_)
                        .arg(dir_),
                    QStringLiteral("start")}) == 0;
    }
    void stop()
    {
        if (!dir_.isEmpty())
            run(QStringLiteral("pg_ctl"),
                {QStringLiteral("-D"), dir_ + QStringLiteral("/data"), QStringLiteral("-m"),
                 QStringLiteral("immediate"), QStringLiteral("-w"), QStringLiteral("stop")});
    }
    QString spec() const
    {
        return QStringLiteral("postgresql://postgres@127.0.0.1:%1/postgres").arg(port_);
    }

    // Fails the test when PostgreSQL cannot run under CI, skips it elsewhere.
    static void unavailable(const QString& why)
    {
        if (qEnvironmentVariable("CI") == QStringLiteral("true"))
            FAIL() << "PostgreSQL is needed: " << why.toStdString();
        GTEST_SKIP() << "PostgreSQL is not available: " << why.toStdString();
    }

private:
    static QString binDir()
    {
        const QStringList versions =
            QDir(QStringLiteral("/usr/lib/postgresql"))
                .entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::Reversed);
        for (const QString& v : versions)
            if (QFile::exists(QStringLiteral("/usr/lib/postgresql/%1/bin/pg_ctl").arg(v)))
                return QStringLiteral("/usr/lib/postgresql/%1/bin").arg(v);
        return {};
    }
    int run(const QString& tool, const QStringList& args)
    {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        const QString program = bin_ + QLatin1Char('/') + tool;
        if (::geteuid() == 0)
            p.start(QStringLiteral("runuser"),
                    QStringList{QStringLiteral("-u"), QStringLiteral("postgres"),
                                QStringLiteral("--"), program} +
                        args);
        else
            p.start(program, args);
        if (!p.waitForFinished(60000))
            return -1;
        if (p.exitCode() != 0)
            ADD_FAILURE() << tool.toStdString() << ": " << p.readAll().toStdString();
        return p.exitCode();
    }

    QString dir_, bin_;
    quint16 port_ = 0;
};

} // namespace hs::test
