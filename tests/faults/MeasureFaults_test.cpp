// `measure` against the simulated recorder with the faults a station meets when it is left on a
// feeder for days: what the operator sees (lines, exit status) and what is on disk.

#include "app/MeasureCommand.h"

#include "common/Clock.h"
#include "engine/ResultFiles.h"
#include "sim/FaultPlan.h"
#include "sim/SimServer.h"
#include "support/UnwritableFolder.h"
#include "support/FreezingProxy.h"

#include <QDir>
#include <QFile>
#include <QEventLoop>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// A nominal minute passes in 0.6 s.
constexpr double kScale = 0.01;
// One feeder, SaveOption 3, odd orders 1..49: 6 + 4*25 + 6*25 + 2*25 + 12 + 12 bytes.
constexpr qint64 kRecordBytes = 330;

// stdout and stderr of the process while it lives, kept in files.
class CapturedOutput {
public:
    CapturedOutput()
    {
        std::fflush(stdout);
        std::fflush(stderr);
        savedOut_ = ::dup(1);
        savedErr_ = ::dup(2);
        out_ = std::tmpfile();
        err_ = std::tmpfile();
        ::dup2(::fileno(out_), 1);
        ::dup2(::fileno(err_), 2);
    }
    ~CapturedOutput() { restore(); }
    void restore()
    {
        if (savedOut_ < 0)
            return;
        std::fflush(stdout);
        std::fflush(stderr);
        ::dup2(savedOut_, 1);
        ::dup2(savedErr_, 2);
        ::close(savedOut_);
        ::close(savedErr_);
        savedOut_ = savedErr_ = -1;
        out = readAll(out_);
        err = readAll(err_);
    }
    QString out;
    QString err;

private:
    static QString readAll(std::FILE* f)
    {
        std::rewind(f);
        QByteArray bytes;
        char buffer[4096];
        std::size_t n = 0;
        while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
            bytes.append(buffer, static_cast<qsizetype>(n));
        std::fclose(f);
        return QString::fromUtf8(bytes);
    }
    int savedOut_ = -1;
    int savedErr_ = -1;
    std::FILE* out_ = nullptr;
    std::FILE* err_ = nullptr;
};

// Minutes since midnight of the station time at the front of a line ("yyyy/MM/dd HH:mm ...").
int lineMinute(const QString& line)
{
    static const QRegularExpression stamp(
        QStringLiteral("^\\d{4}/\\d\\d/\\d\\d (\\d\\d):(\\d\\d) "));
    const auto m = stamp.match(line);
    return m.hasMatch() ? m.captured(1).toInt() * 60 + m.captured(2).toInt() : -1;
}

// The save times (minutes since midnight) of the records of a result file.
std::vector<int> recordMinutes(const QString& path)
{
    QFile f(path);
    std::vector<int> minutes;
    if (!f.open(QIODevice::ReadOnly))
        return minutes;
    const QByteArray bytes = f.readAll();
    for (qsizetype at = 0; at + kRecordBytes <= bytes.size(); at += kRecordBytes) {
        const int hhmm =
            qFromLittleEndian<qint16>(reinterpret_cast<const uchar*>(bytes.constData() + at + 4));
        minutes.push_back(hhmm / 100 * 60 + hhmm % 100);
    }
    return minutes;
}

// The minute distance b - a, across midnight.
int minutesBetween(int a, int b)
{
    return ((b - a) % 1440 + 1440 + 720) % 1440 - 720;
}

class MeasureFaults : public ::testing::Test {
protected:
    void SetUp() override { startRecorder(); }

    void startRecorder()
    {
        sim = std::make_unique<hs::sim::SimServer>(clock, hs::sim::Scenario::defaultScenario(), 1);
        QString error;
        ASSERT_TRUE(sim->listen(0, QHostAddress::LocalHost, port, &error)) << qPrintable(error);
        port = sim->port(0);
    }

    void setFaults(const QString& option)
    {
        std::array<hs::sim::FaultPlan, 2> plans;
        QString error;
        ASSERT_TRUE(hs::sim::applyFaultOption(option, plans, &error)) << qPrintable(error);
        sim->recorder(0).setFaults(plans[0]);
    }

    QString writeSettings(int minutes, const QString& resultFile, int saveInterval)
    {
        const QString path = dir.filePath(QStringLiteral("settings.json"));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QStringLiteral(R"({
  "recorders": [ { "address": "127.0.0.1", "port": %1 } ],
  "MeasureType": 2, "LastFeeder": 0, "SampleCount": 512, "SaveFormat": 1, "SaveOption": 3,
  "SyncMode": 0, "PtRatio": 60, "CtRatio": [1], "CurrentScale": [0.1],
  "SaveIntervalMin": %4, "StartDateTime": "+0", "EndDateTime": "+%2",
  "OutputFile": "%3"
})")
                       .arg(port)
                       .arg(minutes)
                       .arg(resultFile)
                       .arg(saveInterval)
                       .toUtf8());
        return path;
    }

    // Once the result file holds `records` records, act (checked every few real milliseconds
    // while the measurement runs).
    void whenRecords(qint64 records, std::function<void()> act)
    {
        auto* timer = new QTimer(&owner);
        timer->setInterval(2);
        QObject::connect(timer, &QTimer::timeout, [this, timer, records, act] {
            if (QFileInfo(output).size() >= records * kRecordBytes) {
                timer->stop();
                act();
            }
        });
        timer->start();
    }

    // Runs measure for `minutes` station minutes, saving every saveInterval minutes; the output
    // is kept.
    int measure(int minutes, QStringList extra = {}, int saveInterval = 1)
    {
        const QString settings = writeSettings(minutes, output, saveInterval);
        QStringList args = {QStringLiteral("--settings"), settings, QStringLiteral("--time-scale"),
                            QString::number(kScale)};
        if (quiet)
            args << QStringLiteral("--quiet");
        args += extra;
        CapturedOutput captured;
        const int status = hs::runMeasureCommand(args);
        captured.restore();
        out = captured.out;
        err = captured.err;
        return status;
    }

    QStringList errLines(const QString& containing) const
    {
        return err.split(QLatin1Char('\n')).filter(containing);
    }
    // The final line "... N shots analysed, W of E records written, M missing".
    struct Outcome {
        int written = -1, expected = -1, missing = -1;
    };
    Outcome outcome() const
    {
        static const QRegularExpression line(
            QStringLiteral("(\\d+) of (\\d+) records written, (\\d+) missing"));
        const auto m = line.match(out);
        if (!m.hasMatch())
            return {};
        return {m.captured(1).toInt(), m.captured(2).toInt(), m.captured(3).toInt()};
    }
    // What the operator is told and what is on disk agree: the file holds exactly the records
    // written, whole, in increasing save times a minute or more apart.
    void expectFileMatchesOutcome()
    {
        const Outcome o = outcome();
        ASSERT_GE(o.written, 0) << qPrintable(out);
        EXPECT_EQ(o.expected, o.written + o.missing);
        EXPECT_EQ(QFileInfo(output).size(), o.written * kRecordBytes);
        const std::vector<int> minutes = recordMinutes(output);
        for (std::size_t i = 1; i < minutes.size(); ++i)
            EXPECT_GE(minutesBetween(minutes[i - 1], minutes[i]), 1) << "record " << i;
    }

    hs::Clock clock{kScale};
    std::unique_ptr<hs::sim::SimServer> sim;
    quint16 port = 0;
    QTemporaryDir dir;
    QString output = dir.filePath(QStringLiteral("out/run.hv1"));
    QObject owner;
    QString out;
    QString err;
    bool quiet = true;
};

// Faults the link already copes with (a block cut short, one too long, garbage in front of a
// reply, a query never answered) cost a repeated shot (up to about a minute of block time-outs),
// not a record.
TEST_F(MeasureFaults, TransferFaultsLoseNoRecord)
{
    const QStringList faults = {QStringLiteral("short-block=3/40"),
                                QStringLiteral("garbage=40/500"), QStringLiteral("garbage=7/20"),
                                QStringLiteral("silent-query=30")};
    for (const QString& fault : faults) {
        SCOPED_TRACE(qPrintable(fault));
        output = dir.filePath(QStringLiteral("out/%1.hv1").arg(faults.indexOf(fault)));
        sim->recorder(0).setFaults({});
        whenRecords(1, [this, fault] { setFaults(fault); });
        EXPECT_EQ(measure(6, {}, 3), hs::kMeasureComplete) << qPrintable(out + err);
        EXPECT_TRUE(out.contains(QStringLiteral("measurement complete"))) << qPrintable(out);
        EXPECT_EQ(outcome().missing, 0);
        expectFileMatchesOutcome();
        EXPECT_GE(QFileInfo(output).size(), 3 * kRecordBytes);
    }
}

// The connection closed by the recorder mid-run: seen at once, opened again, and the
// measurement goes on in the same file.
TEST_F(MeasureFaults, DroppedConnectionIsOpenedAgain)
{
    whenRecords(1, [this] { setFaults(QStringLiteral("drop-after=150")); });
    const int status = measure(5);
    EXPECT_TRUE(status == hs::kMeasureComplete || status == hs::kMeasureIncomplete)
        << status << qPrintable(out + err);
    ASSERT_EQ(errLines(QStringLiteral("測定器との接続が切れました: 測定器1")).size(), 1)
        << qPrintable(err);
    ASSERT_EQ(errLines(QStringLiteral("測定器と再接続しました")).size(), 1) << qPrintable(err);
    EXPECT_TRUE(
        out.contains(QStringLiteral("recorder links lost 1 times, connected again 1 times")))
        << qPrintable(out);
    expectFileMatchesOutcome();
    // Records after the recorder came back.
    const int back = lineMinute(errLines(QStringLiteral("再接続しました"))[0]);
    const std::vector<int> minutes = recordMinutes(output);
    ASSERT_FALSE(minutes.empty());
    EXPECT_GE(minutesBetween(back, minutes.back()), 1);
    EXPECT_EQ(status == hs::kMeasureComplete, outcome().missing == 0);
}

// The recorder process killed and started again minutes later on the same address: the
// outage is told as it happens and when it ends, no record is dated inside it, the records go
// on after it, and the run ends with the missing records and status 3.
TEST_F(MeasureFaults, RecorderKilledAndRestartedOnTheSameAddress)
{
    whenRecords(2, [this] {
        sim.reset();
        QTimer::singleShot(clock.realMs(4 * 60000), &owner, [this] { startRecorder(); });
    });
    EXPECT_EQ(measure(10), hs::kMeasureIncomplete) << qPrintable(out + err);
    if (qEnvironmentVariableIsSet("HS_SHOW_OUTPUT")) {
        std::printf("%s%s", qPrintable(err), qPrintable(out));
        for (int m : recordMinutes(output))
            std::printf("record %02d:%02d\n", m / 60, m % 60);
    }
    const QStringList lost = errLines(QStringLiteral("測定器との接続が切れました"));
    const QStringList back = errLines(QStringLiteral("測定器と再接続しました"));
    ASSERT_EQ(lost.size(), 1) << qPrintable(err);
    ASSERT_EQ(back.size(), 1) << qPrintable(err);
    const int lostAt = lineMinute(lost[0]);
    const int backAt = lineMinute(back[0]);
    EXPECT_GE(minutesBetween(lostAt, backAt), 3);
    EXPECT_FALSE(errLines(QStringLiteral("記録なし")).isEmpty()) << qPrintable(err);
    EXPECT_TRUE(out.contains(QStringLiteral("measurement ended with missing records")));
    EXPECT_TRUE(out.contains(QStringLiteral("no record for"))) << qPrintable(out);
    const Outcome o = outcome();
    EXPECT_GE(o.missing, 2);
    expectFileMatchesOutcome();

    const std::vector<int> minutes = recordMinutes(output);
    int before = 0, after = 0;
    for (int m : minutes) {
        // A record needs a shot in its minute: none can be dated a minute or more after the
        // recorder was lost and before it was back.
        EXPECT_FALSE(minutesBetween(lostAt, m) >= 2 && minutesBetween(m, backAt) >= 1)
            << "record of minute " << m << " inside the outage " << lostAt << ".." << backAt;
        before += minutesBetween(m, lostAt) >= 0 ? 1 : 0;
        after += minutesBetween(backAt, m) >= 1 ? 1 : 0;
    }
    EXPECT_GE(before, 2);
    EXPECT_GE(after, 2);

    // The trace outlives the program: the run's log beside the result file holds the start,
    // each notice as it was told, and the end with the records written and expected.
    const QString logPath = output + QStringLiteral(".log");
    EXPECT_TRUE(out.contains(QStringLiteral("run log: ") + logPath)) << qPrintable(out);
    QFile logFile(logPath);
    ASSERT_TRUE(logFile.open(QIODevice::ReadOnly));
    const QStringList log =
        QString::fromUtf8(logFile.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    ASSERT_FALSE(log.isEmpty());
    EXPECT_TRUE(log.first().contains(QStringLiteral("測定開始: 結果ファイル ") + output))
        << qPrintable(log.first());
    for (const QString& told : lost + back + errLines(QStringLiteral("記録なし")))
        EXPECT_TRUE(log.contains(told)) << qPrintable(told) << "\n" << qPrintable(log.join(u'\n'));
    EXPECT_EQ(log.filter(QStringLiteral("測定終了: 記録 %1件／予定 %2件、欠測 %3件")
                             .arg(o.written)
                             .arg(o.expected)
                             .arg(o.missing))
                  .size(),
              1)
        << qPrintable(log.join(u'\n'));
}

// A recorder that no longer completes shots (its memory count never answered, or no trigger):
// told after a bounded number of shots, the run keeps trying, and it ends with status 3 and
// the missing records; the records before the fault are whole.
TEST_F(MeasureFaults, ShotsThatNeverCompleteAreReported)
{
    struct Case {
        QString fault;
        int minutes;
    };
    const std::vector<Case> cases = {{QStringLiteral("no-trigger"), 4},
                                     {QStringLiteral("silent-command=:MEM:MAXP?"), 11}};
    for (const Case& c : cases) {
        SCOPED_TRACE(qPrintable(c.fault));
        output = dir.filePath(QStringLiteral("out/%1.hv1").arg(c.minutes));
        sim->recorder(0).setFaults({});
        whenRecords(1, [this, c] { setFaults(c.fault); });
        EXPECT_EQ(measure(c.minutes), hs::kMeasureIncomplete) << qPrintable(out + err);
        EXPECT_FALSE(errLines(QStringLiteral("測定器の記録が続けて完了しません: 回数")).isEmpty())
            << qPrintable(err);
        EXPECT_FALSE(errLines(QStringLiteral("記録なし")).isEmpty()) << qPrintable(err);
        EXPECT_TRUE(out.contains(QStringLiteral("no record for"))) << qPrintable(out);
        EXPECT_GE(outcome().missing, 2);
        EXPECT_GE(outcome().written, 1);
        expectFileMatchesOutcome();
    }
}

// A recorder that hangs with its link up (a proxy that stops forwarding): each record is told
// as it is written, not with the next shot minutes later, and one written more than a minute
// after its time is told late.
TEST_F(MeasureFaults, AHungRecorderTellsEachRecordWhenWritten)
{
    hs::testing::FreezingProxy proxy(port);
    ASSERT_TRUE(proxy.listen());
    port = proxy.port();
    // Mid-interval, when the next record already has shots.
    whenRecords(2, [&] {
        QTimer::singleShot(clock.realMs(30000), &owner, [&] { proxy.freeze(true); });
        QTimer::singleShot(clock.realMs(8 * 60000), &owner, [&] { proxy.freeze(false); });
    });
    quiet = false;
    EXPECT_EQ(measure(13), hs::kMeasureIncomplete) << qPrintable(out + err);
    expectFileMatchesOutcome();
    static const QRegularExpression saved(QStringLiteral(
        "^(\\d\\d):(\\d\\d):(\\d\\d)  saved the record of \\d{4}/\\d\\d/\\d\\d (\\d\\d):(\\d\\d)$"));
    int lines = 0;
    for (const QString& line : out.split(QLatin1Char('\n'))) {
        const auto m = saved.match(line);
        if (!m.hasMatch())
            continue;
        ++lines;
        const int printed = m.captured(1).toInt() * 3600 + m.captured(2).toInt() * 60 +
                            m.captured(3).toInt();
        const int saveTime = m.captured(4).toInt() * 3600 + m.captured(5).toInt() * 60 + 1;
        const int after = ((printed - saveTime) % 86400 + 86400) % 86400;
        if (after > 65) {
            EXPECT_FALSE(errLines(QStringLiteral("%1:%2の記録を遅れて保存しました")
                                      .arg(m.captured(4), m.captured(5)))
                             .isEmpty())
                << qPrintable(line) << " and not told late";
        }
    }
    EXPECT_EQ(lines, outcome().written) << qPrintable(out);
}

// A period already over is refused before a recorder is touched, with a message and status 1.
TEST_F(MeasureFaults, APeriodAlreadyOverIsRefused)
{
    const QString settings = writeSettings(60, output, 1);
    QFile file(settings);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    QByteArray text = file.readAll();
    file.close();
    text.replace("\"+0\"", "\"2020/01/01 01:00\"").replace("\"+60\"", "\"2020/01/01 02:00\"");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(text);
    file.close();
    CapturedOutput captured;
    const int status = hs::runMeasureCommand({QStringLiteral("--settings"), settings,
                                              QStringLiteral("--time-scale"),
                                              QString::number(kScale), QStringLiteral("--quiet")});
    captured.restore();
    EXPECT_EQ(status, hs::kMeasureFailed) << qPrintable(captured.out + captured.err);
    EXPECT_TRUE(captured.err.contains(QStringLiteral("2020/01/01 02:00"))) << qPrintable(captured.err);
    EXPECT_EQ(sim->connectionCount(0), 0);
    EXPECT_FALSE(QFileInfo::exists(output));
}

// Replies slower than the time-outs: shots fail or come late; every record is either written
// at its time or told late, and the end says what is missing.
TEST_F(MeasureFaults, SlowRepliesAreFailedShotsNotSilentLosses)
{
    whenRecords(1, [this] { setFaults(QStringLiteral("reply-delay=8000")); });
    const int status = measure(6);
    EXPECT_NE(status, hs::kMeasureComplete) << qPrintable(out + err);
    EXPECT_FALSE(errLines(QStringLiteral("記録なし")).isEmpty() &&
                 errLines(QStringLiteral("遅れて保存しました")).isEmpty())
        << qPrintable(err);
    expectFileMatchesOutcome();
}

// The result file removed with its folder, replaced by another file, or cut short mid-run: the
// writer says so, keeps what stood there aside, and the file made again holds every record of
// the run; the run ends complete.
TEST_F(MeasureFaults, AResultFileRemovedReplacedOrCutShortKeepsEveryRecord)
{
    struct Case {
        QString name;
        QString notice;
        std::function<void(const QString&)> act;
    };
    const std::vector<Case> cases = {
        {QStringLiteral("removed"), QStringLiteral("削除されていたため作り直して"),
         [](const QString& path) { QFileInfo(path).dir().removeRecursively(); }},
        {QStringLiteral("replaced"), QStringLiteral("別のファイルに置き換えられていたため"),
         [](const QString& path) {
             QFile other(path + QStringLiteral(".new"));
             if (other.open(QIODevice::WriteOnly))
                 other.write("another file");
             other.close();
             ::rename(qPrintable(other.fileName()), qPrintable(path));
         }},
        {QStringLiteral("cut"), QStringLiteral("別の書き込みで変えられていたため"),
         [](const QString& path) { QFile::resize(path, QFileInfo(path).size() - 146); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(qPrintable(c.name));
        output = dir.filePath(QStringLiteral("out/%1.hv1").arg(c.name));
        whenRecords(2, [this, c] { c.act(output); });
        // Two-minute saves: the set-up never outlasts the first interval, even on a loaded
        // machine, so every save time is the run's own.
        EXPECT_EQ(measure(6, {}, 2), hs::kMeasureComplete) << qPrintable(out + err);
        EXPECT_EQ(errLines(c.notice).size(), 1) << qPrintable(err);
        EXPECT_GE(outcome().written, 3) << qPrintable(out);
        EXPECT_EQ(outcome().missing, 0) << qPrintable(out);
        expectFileMatchesOutcome();
    }
}

// A full disk: the message names the file and the system's reason; the run stops with 1.
TEST_F(MeasureFaults, FullDiskNamesTheReason)
{
    if (!QFileInfo::exists(QStringLiteral("/dev/full")))
        GTEST_SKIP() << "no /dev/full";
    // The settings give the file its extension: the name is a link to the full device.
    ASSERT_TRUE(QDir().mkpath(dir.filePath(QStringLiteral("out"))));
    output = dir.filePath(QStringLiteral("out/full.hv1"));
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/full"), output));
    EXPECT_EQ(measure(3), hs::kMeasureFailed);
    EXPECT_TRUE(err.contains(output)) << qPrintable(err);
    EXPECT_TRUE(err.contains(QString::fromLocal8Bit(std::strerror(ENOSPC)))) << qPrintable(err);
    EXPECT_TRUE(out.contains(QStringLiteral("measurement stopped by an error")));
}

// A file-size limit (ulimit -f) is a write failure like a full disk, not the end of the process:
// the program itself runs under the limit, since it is the process that the signal would kill.
TEST_F(MeasureFaults, FileSizeLimitIsAWriteFailure)
{
    ASSERT_TRUE(QDir().mkpath(QFileInfo(output).path()));
    QProcess run;
    // Two records and part of a third fit.
    run.setChildProcessModifier([] {
        const rlimit limit{2 * kRecordBytes + 100, 2 * kRecordBytes + 100};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    });
    run.start(qEnvironmentVariable("HS_BINARY"),
              {QStringLiteral("measure"), QStringLiteral("--settings"), writeSettings(5, output, 1),
               QStringLiteral("--time-scale"), QString::number(kScale), QStringLiteral("--quiet")});
    QEventLoop loop; // the simulated recorder answers from this process's event loop
    QObject::connect(&run, &QProcess::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);
    loop.exec();
    ASSERT_EQ(run.state(), QProcess::NotRunning);
    err = QString::fromLocal8Bit(run.readAllStandardError());
    ASSERT_EQ(run.exitStatus(), QProcess::NormalExit) << "killed by signal " << run.exitCode();
    EXPECT_EQ(run.exitCode(), hs::kMeasureFailed) << qPrintable(err);
    EXPECT_TRUE(err.contains(output)) << qPrintable(err);
    EXPECT_TRUE(err.contains(QString::fromLocal8Bit(std::strerror(EFBIG)))) << qPrintable(err);
    EXPECT_EQ(QFileInfo(output).size(), 2 * kRecordBytes);
}

// Result files that cannot be written, in a folder this user may not write or held by another
// running measurement (--overwrite or not), are refused before any recorder is connected to.
TEST_F(MeasureFaults, AnUnwritableOrHeldResultFileIsRefusedBeforeTheRecorders)
{
    if (!hs::testing::AsAnotherUser::possible())
        GTEST_SKIP() << "no folder can be made unwritable for this user";
    int connections = 0;
    QObject::connect(sim.get(), &hs::sim::SimServer::connectionOpened, [&] { ++connections; });
    const QString readOnly = dir.filePath(QStringLiteral("ro"));
    ASSERT_TRUE(hs::testing::makeUnwritableFolder(readOnly));
    output = readOnly + QStringLiteral("/run.hv1");
    const QString settings = writeSettings(1, output, 1);
    {
        CapturedOutput captured;
        {
            hs::testing::AsAnotherUser nobody;
            EXPECT_EQ(hs::runMeasureCommand({QStringLiteral("--settings"), settings}),
                      hs::kMeasureFailed);
        }
        captured.restore();
        err = captured.err;
    }
    EXPECT_TRUE(err.contains(readOnly)) << qPrintable(err);
    EXPECT_TRUE(err.contains(QString::fromLocal8Bit(std::strerror(EACCES)))) << qPrintable(err);
    EXPECT_EQ(connections, 0);

    output = dir.filePath(QStringLiteral("out/run.hv1"));
    ASSERT_TRUE(QDir().mkpath(QFileInfo(output).path()));
    hs::ResultFileLock running;
    ASSERT_TRUE(running.take(output).ok());
    EXPECT_EQ(measure(1, {QStringLiteral("--overwrite")}), hs::kMeasureFailed);
    EXPECT_TRUE(err.contains(QStringLiteral("別の測定が使用中"))) << qPrintable(err);
    EXPECT_TRUE(err.contains(QString::number(::getpid()))) << qPrintable(err);
    EXPECT_EQ(connections, 0);
}

// A second run with the same settings does not truncate the first run's records unless asked.
TEST_F(MeasureFaults, AnExistingResultFileIsReplacedOnlyWhenAsked)
{
    ASSERT_TRUE(QDir().mkpath(QFileInfo(output).path()));
    {
        QFile earlier(output);
        ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
        earlier.write(QByteArray(kRecordBytes, '\1'));
    }
    EXPECT_EQ(measure(1), hs::kMeasureFailed);
    EXPECT_TRUE(err.contains(output)) << qPrintable(err);
    EXPECT_TRUE(err.contains(QStringLiteral("--overwrite")));
    EXPECT_EQ(QFileInfo(output).size(), kRecordBytes);
    EXPECT_EQ(sim->connectionCount(0), 0); // refused before connecting

    // One save time, at the start: it has not passed when measuring begins.
    EXPECT_EQ(measure(3, {QStringLiteral("--overwrite")}, 5), hs::kMeasureComplete)
        << qPrintable(out + err);
    expectFileMatchesOutcome();
}

} // namespace
