#pragma once

// A `harmonic-station measure --simulate --serve` run in a child process, and a plain HTTP
// client over QTcpSocket that sends exactly the bytes it is given.

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include <sys/socket.h>

namespace webtest {

struct HttpReply {
    int status = 0;                       // 0: no answer
    QMap<QByteArray, QByteArray> headers; // names in lower case
    QByteArray body;
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// Sends raw bytes and reads the answer until the server closes or the body is complete.
inline HttpReply sendRaw(quint16 port, const QByteArray& request, int timeoutMs = 10000)
{
    HttpReply reply;
    QTcpSocket socket;
    socket.connectToHost(QStringLiteral("127.0.0.1"), port);
    if (!socket.waitForConnected(timeoutMs))
        return reply;
    socket.write(request);
    socket.waitForBytesWritten(timeoutMs);
    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    qsizetype headerEnd = -1;
    qint64 length = -1;
    while (timer.elapsed() < timeoutMs) {
        if (headerEnd >= 0 && length >= 0 && data.size() >= headerEnd + 4 + length)
            break;
        if (!socket.waitForReadyRead(200)) {
            if (socket.state() != QAbstractSocket::ConnectedState)
                break;
            continue;
        }
        data += socket.readAll();
        if (headerEnd < 0 && (headerEnd = data.indexOf("\r\n\r\n")) >= 0) {
            const QList<QByteArray> lines = data.left(headerEnd).split('\n');
            for (qsizetype i = 1; i < lines.size(); ++i) {
                const qsizetype colon = lines[i].indexOf(':');
                if (colon > 0)
                    reply.headers[lines[i].left(colon).trimmed().toLower()] =
                        lines[i].mid(colon + 1).trimmed();
            }
            length = reply.headers.value("content-length", "-1").toLongLong();
        }
    }
    data += socket.readAll();
    headerEnd = data.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return reply;
    const QList<QByteArray> statusLine = data.left(data.indexOf("\r\n")).split(' ');
    reply.status = statusLine.size() > 1 ? statusLine[1].toInt() : 0;
    reply.body = data.mid(headerEnd + 4);
    return reply;
}

inline HttpReply get(quint16 port, const QByteArray& path, const QByteArray& extraHeaders = {})
{
    return sendRaw(port, "GET " + path +
                             " HTTP/1.1\r\nHost: 127.0.0.1:" + QByteArray::number(port) + "\r\n" +
                             extraHeaders + "Connection: close\r\n\r\n");
}

// The answers on one connection: the requests are written at once (pipelined), then answers
// are read until `answers` of them are whole, the server closes or the time-out passes.
struct Exchange {
    std::vector<HttpReply> replies;
    bool closedByServer = false;
};

// Splits whole answers off the front of data.
inline std::vector<HttpReply> parseAnswers(QByteArray& data)
{
    std::vector<HttpReply> replies;
    for (;;) {
        const qsizetype headerEnd = data.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            return replies;
        HttpReply reply;
        const QList<QByteArray> lines = data.left(headerEnd).split('\n');
        const QList<QByteArray> statusLine = lines[0].split(' ');
        reply.status = statusLine.size() > 1 ? statusLine[1].toInt() : 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0)
                reply.headers[lines[i].left(colon).trimmed().toLower()] =
                    lines[i].mid(colon + 1).trimmed();
        }
        const qint64 length = reply.headers.value("content-length", "0").toLongLong();
        if (data.size() < headerEnd + 4 + length)
            return replies;
        reply.body = data.mid(headerEnd + 4, length);
        data.remove(0, headerEnd + 4 + length);
        replies.push_back(reply);
    }
}

// halfClose: the client closes its side once the requests are out, as `nc` and scripts do.
inline Exchange exchange(QTcpSocket& socket, const QByteArray& requests, std::size_t answers,
                         int timeoutMs = 10000, bool halfClose = false)
{
    Exchange result;
    socket.write(requests);
    socket.waitForBytesWritten(timeoutMs);
    if (halfClose)
        ::shutdown(int(socket.socketDescriptor()), SHUT_WR);
    QByteArray data;
    QElapsedTimer timer;
    timer.start();
    while (result.replies.size() < answers && !timer.hasExpired(timeoutMs)) {
        if (!socket.waitForReadyRead(100) && socket.state() != QAbstractSocket::ConnectedState)
            break;
        data += socket.readAll();
        for (HttpReply& r : parseAnswers(data))
            result.replies.push_back(std::move(r));
    }
    data += socket.readAll();
    for (HttpReply& r : parseAnswers(data))
        result.replies.push_back(std::move(r));
    result.closedByServer = socket.state() != QAbstractSocket::ConnectedState;
    return result;
}

// Whether the server closes socket within timeoutMs.
inline bool closedWithin(QTcpSocket& socket, int timeoutMs)
{
    QElapsedTimer timer;
    timer.start();
    while (socket.state() == QAbstractSocket::ConnectedState && !timer.hasExpired(timeoutMs)) {
        socket.waitForReadyRead(50);
        socket.readAll();
    }
    return socket.state() != QAbstractSocket::ConnectedState;
}

inline quint16 freePort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// The program: CTest names it in HS_BINARY; else the one beside the test programs' folder.
inline QString programPath()
{
    const QString binary = qEnvironmentVariable("HS_BINARY");
    if (!binary.isEmpty())
        return binary;
    return QDir(QCoreApplication::applicationDirPath() + QStringLiteral("/.."))
        .absoluteFilePath(QStringLiteral("harmonic-station"));
}

// One measurement against the simulated recorders with the status page on, stdout and stderr
// into files. Times are nominal minutes from the start.
class ServedStation {
public:
    struct Setup {
        double timeScale = 0.01;
        int endMin = 20;
        int saveIntervalMin = 2;
        QString serve = QStringLiteral("0");
        QByteArray token; // written to a token file when not empty
        // When not empty: the recorder is a separate `simulate` process given these faults
        // ("short-block=3000", ...) instead of the one `measure --simulate` starts.
        QStringList faults;
        QStringList extraArgs; // further options of `measure`
    };

    explicit ServedStation(const Setup& setup) : setup_(setup)
    {
        output_ = dir_.path() + QStringLiteral("/out/run.hv3");
        const QString settings = dir_.path() + QStringLiteral("/settings.json");
        const quint16 recorderPort = freePort();
        if (!setup.faults.isEmpty()) {
            QStringList simArgs{QStringLiteral("simulate"), QStringLiteral("--port1"),
                                QString::number(recorderPort), QStringLiteral("--time-scale"),
                                QString::number(setup.timeScale)};
            for (const QString& fault : setup.faults)
                simArgs << QStringLiteral("--fault") << fault;
            simulator_.setStandardOutputFile(QProcess::nullDevice());
            simulator_.start(programPath(), simArgs);
            simulator_.waitForStarted(10000);
            QThread::msleep(500); // listening
        }
        QFile file(settings);
        if (!file.open(QIODevice::WriteOnly))
            return;
        file.write(QStringLiteral(R"({
  "recorders": [ { "address": "127.0.0.1", "port": %1 } ],
  "MeasureType": 2, "LastFeeder": 2, "SampleCount": 512, "SaveFormat": 1, "SaveOption": 3,
  "SyncMode": 0, "PtRatio": 60, "CtRatio": [1, 1, 1], "CurrentScale": [0.1, 0.1, 0.1],
  "SaveIntervalMin": %2, "StartDateTime": "+0", "EndDateTime": "+%3", "OutputFile": "%4"
})")
                       .arg(recorderPort)
                       .arg(setup.saveIntervalMin)
                       .arg(setup.endMin)
                       .arg(output_)
                       .toUtf8());
        file.close();
        QStringList args{QStringLiteral("measure"),
                         QStringLiteral("--settings"),
                         settings,
                         QStringLiteral("--time-scale"),
                         QString::number(setup.timeScale),
                         QStringLiteral("--serve"),
                         setup.serve};
        if (setup.faults.isEmpty())
            args << QStringLiteral("--simulate");
        if (!setup.token.isEmpty()) {
            const QString tokenFile = dir_.path() + QStringLiteral("/token");
            QFile t(tokenFile);
            if (t.open(QIODevice::WriteOnly))
                t.write(setup.token + "\n");
            args << QStringLiteral("--serve-token") << tokenFile;
        }
        args << setup.extraArgs;
        process_.setStandardOutputFile(dir_.path() + QStringLiteral("/stdout.txt"));
        process_.setStandardErrorFile(dir_.path() + QStringLiteral("/stderr.txt"));
        process_.start(programPath(), args);
    }
    ~ServedStation()
    {
        for (QProcess* p : {&process_, &simulator_}) {
            if (p->state() == QProcess::NotRunning)
                continue;
            p->terminate();
            if (!p->waitForFinished(10000))
                p->kill();
            p->waitForFinished(5000);
        }
    }

    // Waits for the "status page: http://ADDRESS:PORT/" line; 0 when it did not come.
    quint16 waitForPage(int timeoutMs = 60000)
    {
        static const QRegularExpression line(QStringLiteral("status page: http://\\S+:(\\d+)/"));
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < timeoutMs && process_.state() != QProcess::NotRunning) {
            const QRegularExpressionMatch m = line.match(stdoutText());
            if (m.hasMatch())
                return static_cast<quint16>(m.captured(1).toUInt());
            QThread::msleep(100);
        }
        return 0;
    }
    // Polls /api/status until done(status) holds; the last status document.
    template <typename Done> QJsonObject waitForStatus(quint16 port, Done done, int timeoutMs)
    {
        QElapsedTimer timer;
        timer.start();
        QJsonObject last;
        while (timer.elapsed() < timeoutMs) {
            const HttpReply r = get(port, "/api/status", headers_);
            if (r.status == 200) {
                last = r.json();
                if (done(last))
                    break;
            }
            QThread::msleep(100);
        }
        return last;
    }
    // The exit status after the run ends by itself; -1 when it did not end in time.
    int waitForEnd(int timeoutMs = 120000)
    {
        if (!process_.waitForFinished(timeoutMs))
            return -1;
        return process_.exitStatus() == QProcess::NormalExit ? process_.exitCode() : -1;
    }

    QString stdoutText() const { return readText(QStringLiteral("/stdout.txt")); }
    QString stderrText() const { return readText(QStringLiteral("/stderr.txt")); }
    QString outputFile() const { return output_; }
    QString folder() const { return dir_.path(); }
    bool running() const { return process_.state() != QProcess::NotRunning; }
    // Headers every request of waitForStatus carries (the token).
    void setHeaders(const QByteArray& headers) { headers_ = headers; }

private:
    QString readText(const QString& name) const
    {
        QFile f(dir_.path() + name);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    Setup setup_;
    QTemporaryDir dir_;
    QString output_;
    QProcess process_;
    QProcess simulator_;
    QByteArray headers_;
};

} // namespace webtest
