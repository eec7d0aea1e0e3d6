#include "engine/Acquisition.h"

#include "EngineSimFixture.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>

using namespace hs;
using namespace hs::enginetest;

namespace {

class Acquisition : public EngineSim {
protected:
    // Settings for feeders 0..lastFeeder with inputs k on channel k + 1 of recorder 1, or, from
    // input firstOnSecond on, on channels 1.. of recorder 2.
    void wire(int lastFeeder, int elementLast, int firstOnSecond = 99)
    {
        settings.LastFeeder = static_cast<std::int16_t>(lastFeeder);
        settings.SampleCount = 512;
        for (int k = 0; k < 20; ++k) {
            const bool second = k >= firstOnSecond;
            settings.InputRecorder[static_cast<std::size_t>(k)] = second ? 1 : 0;
            settings.InputChannel[static_cast<std::size_t>(k)] =
                static_cast<std::int16_t>(second ? k - firstOnSecond + 1 : k + 1);
        }
        data.sizeForPreparation(settings);
        data.ElementLast = static_cast<std::int16_t>(elementLast);
    }

    // StartShot must have left a complete shot on every recorder.
    void shoot()
    {
        std::int16_t status = 0;
        StartShot(ctx, 0, status);
        ASSERT_EQ(status, 0);
        for (int r = 0; r <= facts.LastRecorder; ++r)
            ASSERT_EQ(rec(r).storedSamples(), 10000);
    }

    // Every downloaded point of input c equals the signal at its sample position.
    void expectWaveMatches(int c, int start)
    {
        const int r = settings.InputRecorder[static_cast<std::size_t>(c)];
        const int ch = settings.InputChannel[static_cast<std::size_t>(c)];
        int worst = 0;
        int peak = 0;
        for (int i = 0; i <= settings.SampleCount; ++i) {
            const int want =
                expectedCount(r, ch, start + data.SamplePosition[static_cast<std::size_t>(i)]);
            const int got =
                data.WaveData(static_cast<std::size_t>(c + c / 2), static_cast<std::size_t>(i));
            worst = std::max(worst, std::abs(want - got));
            peak = std::max(peak, std::abs(got));
        }
        EXPECT_LE(worst, 1) << "input " << c;
        EXPECT_EQ(data.InputPeak[static_cast<std::size_t>(c)], peak) << "input " << c;
        EXPECT_GT(peak, 100) << "input " << c << " carries no signal";
    }
};

} // namespace

class AcquisitionFrequency : public Acquisition, public ::testing::WithParamInterface<double> {};

TEST_P(AcquisitionFrequency, PeriodFoundByZeroCrossAndFourierWithinOneSample)
{
    TestSignal s;
    s.hz = GetParam();
    start(s);
    configureRecorders();
    shoot();
    const double period = 200000.0 / s.hz;

    std::int16_t pos = 150;
    const int begin = FindRisingCrossing(ctx, pos, 1, 0, 0);
    std::int16_t kept = kCrossingSearchHome;
    const int end = FindRisingCrossing(ctx, kept, 1, 0, 3000);
    EXPECT_NEAR(begin, kTriggerPosition, 1);
    EXPECT_NEAR(end - begin, period, 1.0);
    EXPECT_EQ(kept, end - 50);

    // The Fourier mode searches around the kept crossing position, as the run loop asks.
    std::int16_t fourierStart = 0;
    const int fourierEnd = FindPeriodEnd(ctx, kept + 50, 1, 0, fourierStart);
    EXPECT_EQ(fourierStart, kTriggerPosition);
    EXPECT_NEAR(fourierEnd - fourierStart, period, 1.0);
}

INSTANTIATE_TEST_SUITE_P(Frequencies, AcquisitionFrequency,
                         ::testing::Values(50.0, 60.0, 49.5, 50.3));

class AcquisitionModel : public Acquisition, public ::testing::WithParamInterface<int> {};

TEST_P(AcquisitionModel, WaveDataIsTheSignalAtTheSamplePositions)
{
    TestSignal s;
    s.hz = 50.3;
    start(s, 1, GetParam());
    wire(1, 1); // inputs 0..5 on channels 1..6
    configureRecorders();
    shoot();
    std::int16_t recorder = 7, errors = 0;
    DownloadWaveforms(ctx, 200, 4176, recorder, errors);
    EXPECT_EQ(errors, 0);
    EXPECT_EQ(recorder, 0);
    EXPECT_EQ(data.SamplePosition[512], 3976);
    for (int c = 0; c <= 5; ++c)
        expectWaveMatches(c, 200);
    EXPECT_EQ(lan.linkTimerPeriodMs(), 7000) << "reply time-out back to 7 s";
}

// 8841 and 8835: two's complement (8835 with 160 counts per division); 8840: offset binary.
INSTANTIATE_TEST_SUITE_P(Models, AcquisitionModel, ::testing::Values(8841, 8840, 8835));

TEST_F(Acquisition, TwoRecordersAndElementLastZero)
{
    TestSignal s;
    start(s, 2, 8841, 8840);
    wire(2, 0, 4); // inputs 0..3 on recorder 1 channels 1..4, inputs 4..7 on recorder 2 ch 1..4
    configureRecorders();
    shoot();
    for (std::size_t i = 0; i < data.WaveData.size(); ++i)
        data.WaveData.data()[i] = 1234;
    data.InputPeak.fill(77);

    std::int16_t recorder = 0, errors = 0;
    DownloadWaveforms(ctx, 200, 4200, recorder, errors);
    EXPECT_EQ(errors, 0);
    for (int c : {0, 2, 4, 6})
        expectWaveMatches(c, 200);
    // The second input of each pair is neither asked for nor touched.
    for (int c : {1, 3, 5, 7}) {
        const std::size_t channel = static_cast<std::size_t>(c + c / 2);
        for (std::size_t i = 0; i <= 512; ++i)
            ASSERT_EQ(data.WaveData(channel, i), 1234) << "input " << c;
        EXPECT_EQ(data.InputPeak[static_cast<std::size_t>(c)], 77);
    }
    EXPECT_FALSE(lines(0).contains(QStringLiteral(":MEM:POIN CH 2, 200")));
    EXPECT_TRUE(lines(1).contains(QStringLiteral(":MEM:POIN CH 1, 200")));
    EXPECT_TRUE(lines(1).contains(QStringLiteral(":MEM:POIN CH 3, 200")));
    EXPECT_FALSE(lines(1).contains(QStringLiteral(":MEM:POIN CH 2, 200")));
    // Recorder 2 (an 8840) is read in 125-sample blocks.
    EXPECT_EQ(lines(1).count(QStringLiteral(":MEM:BDAT? 125")), 2 * 33);
}

TEST_F(Acquisition, CommandLinesOfOneShotInOrder)
{
    TestSignal s;
    start(s, 2);
    wire(0, 1, 2); // voltages on recorder 1 channels 1, 2; feeder currents on recorder 2 ch 1, 2
    configureRecorders();

    std::int16_t status = 0;
    StartShot(ctx, 0, status);
    std::int16_t pos = 150;
    const int begin = FindRisingCrossing(ctx, pos, 1, 0, 0);
    std::int16_t kept = kCrossingSearchHome;
    const int end = FindRisingCrossing(ctx, kept, 1, 0, 3000);
    ASSERT_EQ(begin, 200);
    ASSERT_EQ(end, 4200);
    std::int16_t fstart = 0;
    ASSERT_EQ(FindPeriodEnd(ctx, kept + 50, 1, 0, fstart), 4200);
    std::int16_t recorder = 0, errors = 0;
    DownloadWaveforms(ctx, begin, end, recorder, errors);

    QStringList want0 = {
        ":STAR", ":MEM:MAXP?",
        // start of the period: one window from 150 holds the crossing
        ":MEM:POIN CH 1, 150", ":MEM:BDAT? 100",
        // end of the period: the window from 4150
        ":MEM:POIN CH 1, 4150", ":MEM:BDAT? 100",
        // Fourier mode: samples 0 .. 4250 in 200-sample blocks from a plain pointer
        ":MEM:POIN CH1,0"};
    for (int b = 0; b < 22; ++b)
        want0 << ":MEM:BDAT? 200";
    for (int ch : {1, 2}) {
        want0 << QStringLiteral(":MEM:POIN CH %1, 200").arg(ch);
        for (int b = 0; b < 21; ++b) // bases 0, 200, ..., 4000
            want0 << ":MEM:BDAT? 200";
    }
    EXPECT_EQ(lines(0), want0);

    QStringList want1 = {":STAR", ":MEM:MAXP?"};
    for (int ch : {1, 2}) {
        want1 << QStringLiteral(":MEM:POIN CH %1, 200").arg(ch);
        for (int b = 0; b < 21; ++b)
            want1 << ":MEM:BDAT? 200";
    }
    EXPECT_EQ(lines(1), want1);
    // Recorder 2 is started before recorder 1.
    EXPECT_LE(rec(1).commandLog().front().time, rec(0).commandLog().front().time);
}

TEST_F(Acquisition, LostBlockIsAskedForAgainFromItsPosition)
{
    TestSignal s;
    start(s);
    wire(0, 0);
    configureRecorders();
    shoot();
    sim::FaultPlan plan;
    plan.silentQuery = 3; // the block from sample 200 + 400
    rec(0).setFaults(plan);
    clearLogs();

    std::int16_t recorder = 0, errors = 0;
    DownloadWaveforms(ctx, 200, 4200, recorder, errors);
    EXPECT_EQ(errors, 0);
    EXPECT_TRUE(observer.saw(
        QStringLiteral("データ転送エラー CH=1ﾃﾞｰﾀ位置 600連続エラー数= 0受信データ数=0")))
        << observer.statuses.join('\n').toStdString();
    const QStringList l = lines(0);
    const int resent = static_cast<int>(l.indexOf(QStringLiteral(":MEM:POIN CH 1, 600")));
    ASSERT_GT(resent, 0);
    EXPECT_EQ(l[resent - 1], QStringLiteral(":MEM:BDAT? 200"));
    EXPECT_EQ(l[resent + 1], QStringLiteral(":MEM:BDAT? 200"));
    expectWaveMatches(0, 200);
    expectWaveMatches(2, 200);
}

TEST_F(Acquisition, BlockCutShortNeverLeavesItsBytesInFrontOfTheRetry)
{
    // A block that stops after 100 of its 253 bytes: its bytes must not be taken as the start
    // of the block asked for again (they would shift every sample of it).
    TestSignal s;
    start(s, 1, 8840);
    wire(0, 0);
    configureRecorders();
    shoot();
    for (int cut : {3, 7}) {
        sim::FaultPlan plan;
        plan.shortBlock = cut;
        plan.shortBlockBytes = 100;
        rec(0).setFaults(plan);
        std::int16_t recorder = 0, errors = 0;
        DownloadWaveforms(ctx, 200, 4200, recorder, errors);
        EXPECT_EQ(errors, 0);
        EXPECT_TRUE(observer.sawStarting(QStringLiteral("データ転送エラー CH=1")))
            << observer.statuses.join('\n').toStdString();
        EXPECT_EQ(observer.statusKinds.back(), RunStatus::Kind::Trouble);
        expectWaveMatches(0, 200);
        expectWaveMatches(2, 200);
    }
}

TEST_F(Acquisition, BlocksThatNeverArriveFallBackToTextForNewerRecorders)
{
    TestSignal s;
    start(s);
    wire(0, 0);
    configureRecorders();
    shoot();
    sim::FaultPlan plan;
    plan.silentCommand = QStringLiteral(":MEM:BDAT?");
    rec(0).setFaults(plan);
    clearLogs();

    std::int16_t recorder = 0, errors = 0;
    DownloadWaveforms(ctx, 200, 4200, recorder, errors);
    EXPECT_LE(errors, 3);
    EXPECT_TRUE(observer.saw(kAsciiTransferText));
    for (int count = 0; count <= 3; ++count)
        EXPECT_TRUE(observer.sawStarting(
            QStringLiteral("データ転送エラー CH=1ﾃﾞｰﾀ位置 200連続エラー数= %1").arg(count)));
    const QStringList l = lines(0);
    // Four attempts at the first block of input 0, then the text transfer from the start.
    EXPECT_EQ(l.count(QStringLiteral(":MEM:POIN CH 1, 200")), 5 + 1);
    EXPECT_GE(l.count(QStringLiteral(":MEM:ADAT? 40")), 2 * 101);
    expectWaveMatches(0, 200);
    expectWaveMatches(2, 200);
}

TEST_F(Acquisition, BlocksThatNeverArriveOnAn8840EndWithTheRecoveryCommands)
{
    TestSignal s;
    start(s, 2, 8840, 8840);
    wire(0, 0);
    configureRecorders();
    shoot();
    sim::FaultPlan plan;
    plan.silentCommand = QStringLiteral(":MEM:BDAT?");
    rec(0).setFaults(plan);
    clearLogs();

    std::int16_t recorder = 0, errors = 0;
    DownloadWaveforms(ctx, 200, 4200, recorder, errors);
    EXPECT_GT(errors, 3) << "the caller must see an incomplete shot";
    EXPECT_FALSE(observer.saw(kAsciiTransferText));
    // Let the last commands reach both recorders.
    const QString back = QStringLiteral(":CONF:TDIV +500E-6;SHOT 100");
    clock.waitUntil([&] { return lines(0).contains(back) && lines(1).contains(back); }, 100000);
    for (int r = 0; r < 2; ++r) {
        const QStringList l = lines(r);
        const auto off = l.indexOf(QStringLiteral(":FDISK:MODE OFF"));
        const auto shot = l.indexOf(QStringLiteral(":CONF:TDIV +500E-6;SHOT 100"));
        ASSERT_GE(off, 0) << r << l.join('|').toStdString();
        ASSERT_GT(shot, off) << r << l.join("|").toStdString();
        EXPECT_GE(rec(r).commandLog()[off].time.msecsTo(rec(r).commandLog()[shot].time), 2450);
    }
    EXPECT_FALSE(lines(0).contains(QStringLiteral(":MEM:POIN CH 3, 200")))
        << "the download stops at the failing input";
}

TEST_F(Acquisition, ShotThatNeverFillsMemoryFailsAfterTheFourthAttempt)
{
    TestSignal s;
    start(s, 2);
    configureRecorders();
    sim::FaultPlan plan;
    plan.noTrigger = true;
    rec(0).setFaults(plan);
    rec(1).setFaults(plan);
    std::int16_t status = 0;
    StartShot(ctx, 0, status);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(lines(0).count(QStringLiteral(":STAR")), 4);
    EXPECT_EQ(lines(1).count(QStringLiteral(":STAR")), 4);
    // Each attempt polls twice: the first empty poll is repeated once.
    EXPECT_EQ(lines(0).count(QStringLiteral(":MEM:MAXP?")), 8);
}

TEST_F(Acquisition, SignalWithoutCrossingGivesMinusOneAndTheHomePosition)
{
    TestSignal s;
    start(s);
    configureRecorders();
    sim::FaultPlan plan;
    plan.noZeroCrossing = true;
    rec(0).setFaults(plan);
    shoot();
    std::int16_t pos = 150;
    EXPECT_EQ(FindRisingCrossing(ctx, pos, 1, 0, 0), -1);
    EXPECT_EQ(pos, kCrossingSearchHome);
    std::int16_t kept = 3500;
    EXPECT_EQ(FindRisingCrossing(ctx, kept, 1, 0, 3000), -1);
    EXPECT_EQ(kept, kCrossingSearchHome);
}

TEST_F(Acquisition, CrossingSearchGivesUpOnTheFifthLostWindow)
{
    TestSignal s;
    start(s);
    configureRecorders();
    shoot();
    sim::FaultPlan plan;
    plan.silentCommand = QStringLiteral(":MEM:BDAT?");
    rec(0).setFaults(plan);
    clearLogs();
    lan.setReplyTimeout(1);
    std::int16_t pos = 150;
    EXPECT_EQ(FindRisingCrossing(ctx, pos, 1, 0, 0), -1);
    EXPECT_EQ(pos, kCrossingSearchHome);
    // The first request, then a re-send after the third and the fourth failure.
    EXPECT_EQ(lines(0).count(QStringLiteral(":MEM:POIN CH 1, 150")), 3);
    EXPECT_EQ(lines(0).count(QStringLiteral(":MEM:BDAT? 100")), 3);
}

TEST_F(Acquisition, FourierSearchOutsideItsRangeGivesMinusOne)
{
    TestSignal s;
    s.hz = 60.0;
    start(s);
    configureRecorders();
    shoot();
    std::int16_t fstart = 0;
    // A 60 Hz period (3333 samples) is not among the lengths 3900 .. 4050 searched for n = 4200.
    EXPECT_EQ(FindPeriodEnd(ctx, 4200, 1, 0, fstart), -1);
}

TEST_F(Acquisition, LaggingSecondRecorderIsRepeatedABoundedNumberOfTimes)
{
    TestSignal s;
    start(s, 2);
    configureRecorders();
    sim::FaultPlan plan;
    plan.noTrigger = true; // recorder 2 never stores; recorder 1 alone lifts the average
    rec(1).setFaults(plan);
    std::int16_t status = 0;
    StartShot(ctx, 0, status);
    EXPECT_EQ(status, -1);
    EXPECT_EQ(lines(1).count(QStringLiteral(":STAR")), kShotLaggingRecorderRepeats + 1);
    EXPECT_TRUE(observer.saw(kShotNotStoredText));
}

namespace {

// A recorder stand-in whose memory holds -500 before sample `edge` and +500 from it on, so
// that the rising step lies exactly between two 100-sample search windows.
class StepRecorder : public QObject {
public:
    StepRecorder(int edge, int modelClass) : edge_(edge), modelClass_(modelClass)
    {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
            socket_ = server_.nextPendingConnection();
            QObject::connect(socket_, &QTcpSocket::readyRead, this, [this] { serve(); });
        });
    }
    quint16 port() const { return server_.serverPort(); }
    int windows = 0;

private:
    void serve()
    {
        buffer_ += socket_->readAll();
        for (qsizetype lf; (lf = buffer_.indexOf('\n')) >= 0;) {
            const QString line = QString::fromLatin1(buffer_.left(lf));
            buffer_.remove(0, lf + 1);
            if (line.startsWith(QLatin1String(":MEM:POIN"))) {
                pointer_ = line.section(QLatin1Char(','), 1).trimmed().toInt();
            } else if (line == QLatin1String(":MEM:BDAT? 100")) {
                std::vector<std::int16_t> samples(100);
                for (int i = 0; i < 100; ++i)
                    samples[static_cast<std::size_t>(i)] = pointer_ + i < edge_ ? -500 : 500;
                pointer_ += 100;
                ++windows;
                socket_->write(cmd::encodeBlock(samples, modelClass_));
            }
        }
    }
    QTcpServer server_;
    QTcpSocket* socket_ = nullptr;
    QByteArray buffer_;
    int pointer_ = 0;
    int edge_;
    int modelClass_;
};

} // namespace

TEST_F(Acquisition, CrossingBetweenTwoWindowsEndsTheSearch)
{
    for (int model : {8841, 8840}) {
        SCOPED_TRACE(model);
        const int modelClass = cmd::modelClassOf(model);
        StepRecorder peer(4250, modelClass);
        facts.ModelClass[0] = static_cast<std::int16_t>(modelClass);
        lan.connectToRecorder(0, QStringLiteral("127.0.0.1"), peer.port());
        ASSERT_TRUE(clock.waitUntil([&] { return lan.LinkConnected(0); }, 100000));
        observer.statuses.clear();

        std::int16_t pos = kCrossingSearchHome;
        EXPECT_EQ(FindRisingCrossing(ctx, pos, 1, 0, 3000), -1);
        EXPECT_EQ(pos, kCrossingSearchHome);
        // The first window and then one per move, up to the limit of the class.
        EXPECT_EQ(peer.windows, 1 + (modelClass == 0 ? kCrossingMovesClass0 : kCrossingMovesOther));
        EXPECT_EQ(observer.saw(kCrossingGivenUpText), modelClass != 0);
    }
}
