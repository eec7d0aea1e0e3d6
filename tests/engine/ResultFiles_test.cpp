#include "common/Clock.h"
#include "engine/ResultFiles.h"
#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtEndian>

#include <gtest/gtest.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <functional>

#include <cstdio>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

using namespace hs;

namespace {

float floatAt(const QByteArray& b, int offset)
{
    const std::uint32_t bits = qFromLittleEndian<std::uint32_t>(b.constData() + offset);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

int int16At(const QByteArray& b, int offset)
{
    return qFromLittleEndian<std::int16_t>(b.constData() + offset);
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return f.readAll();
}

struct Station {
    MeasurementSettings settings;
    MeasurementData data;
    Clock clock{1.0};
    QTemporaryDir dir;

    Station(int measureType, int saveOption, int lastFeeder, bool orders256 = false)
    {
        settings.MeasureType() = static_cast<std::int16_t>(measureType);
        settings.SaveOption() = static_cast<std::int16_t>(saveOption);
        settings.LastFeeder = static_cast<std::int16_t>(lastFeeder);
        settings.Orders256 = orders256;
        settings.MaxHarmonicOrder = orders256 ? 256 : 99;
        settings.SampleCount = orders256 ? 1024 : 512;
        settings.StartDateTime = QDateTime(QDate(2004, 2, 7), QTime(9, 5, 1));
        settings.OutputFile = dir.filePath(QStringLiteral("0207.hv%1").arg(lastFeeder + 1));
        settings.OutputFolder = dir.path() + QLatin1Char('/');
        data.sizeForPreparation(settings);
        data.sizeForMeasurement(settings);
        clock.setCalendar(QDateTime(QDate(2004, 2, 7), QTime(9, 6, 30)));
    }

    // An interval record of four shots whose averages encode feeder and order.
    void fillInterval(std::int16_t shots = 4)
    {
        const float d = shots;
        for (std::size_t n = 0; n < data.IntVoltByOrder.size(); ++n) {
            data.IntVoltByOrder[n] = d * (1000.0f + n);
            data.IntVoltSuperRe[n] = 0.0f; // angle 90 (x = 0, y > 0)
            data.IntVoltSuperIm[n] = 2.0f;
            for (std::size_t f = 0; f <= static_cast<std::size_t>(settings.LastFeeder); ++f) {
                data.IntCurByOrder(f, n) = d * (100.0f * f + n + 0.5f);
                // feeder 0: (-1, +1) -> 135; feeder 1: (-1, -1) -> -135; others (1, 1) -> 45
                data.IntActivePower(f, n) = f < 2 ? -1.0f : 1.0f;
                data.IntReactivePower(f, n) = f == 1 ? -1.0f : 1.0f;
                data.IntCurSuperRe(f, n) = -1.0f; // rule A: x < 0, y = 0 -> -180
                data.IntCurSuperIm(f, n) = 0.0f;
            }
        }
        for (std::size_t c = 0; c < 3; ++c) {
            data.IntVoltRms[c] = d * (230.0f + c);
            for (std::size_t f = 0; f < 9; ++f)
                data.IntCurRms(f, c) = d * (10.0f * f + c + 1);
        }
    }
};

} // namespace

TEST(ResultFiles, RecordLengthsFollowOptionFeedersAndOrderSet)
{
    EXPECT_EQ((RecordLayout{0, 1, false}.recordLength()), 256);
    EXPECT_EQ((RecordLayout{3, 3, false}.recordLength()), 654);
    EXPECT_EQ((RecordLayout{1, 1, false}.recordLength()), 256 + 100);
    EXPECT_EQ((RecordLayout{2, 2, false}.recordLength()), 6 + 100 + 300 + 12 + 24);
    EXPECT_EQ((RecordLayout{4, 1, true}.recordLength()), 6 + 1024 + 1536 + 512);
    EXPECT_EQ((RecordLayout{4, 9, true}.recordLength()), 6 + 1024 + 9 * 1536 + 512);
    const std::vector<int> odd = OrderSet(false);
    ASSERT_EQ(odd.size(), 25u);
    EXPECT_EQ(odd.front(), 1);
    EXPECT_EQ(odd[1], 3);
    EXPECT_EQ(odd.back(), 49);
    const std::vector<int> all = OrderSet(true);
    ASSERT_EQ(all.size(), 256u);
    EXPECT_EQ(all[1], 2);
    EXPECT_EQ(all.back(), 256);
}

TEST(ResultFiles, AngleRulesAndDateFields)
{
    EXPECT_EQ(RecordAngleA(-1, 1), 135);
    EXPECT_EQ(RecordAngleA(-1, -1), -135);
    EXPECT_EQ(RecordAngleA(-1, 0), -180);
    EXPECT_EQ(RecordAngleA(0, 0), 0);
    EXPECT_EQ(RecordAngleA(0, 5), 90);
    // Rule B: the fundamental angle (x < 0, y = 0 gives +pi) with 180 / 3.1415.
    EXPECT_EQ(RecordAngleB(-1, 0), 180);
    EXPECT_EQ(RecordAngleB(-1, -1), -135);
    EXPECT_EQ(RecordAngleB(1, 1), 45);

    // 180 / 3.1415 exactly: at 3.13282 rad pi would give 179 and at 3.1319 rad 3.14 would give 180.
    EXPECT_EQ(RecordAngleB(-1, static_cast<float>(std::tan(3.1415926 - 3.13282))), 180);
    EXPECT_EQ(RecordAngleB(-1, static_cast<float>(std::tan(3.1415926 - 3.1319))), 179);

    const QDateTime t(QDate(2004, 2, 7), QTime(9, 5, 1));
    EXPECT_EQ(RecordDateValue(t), 40207.0f);
    EXPECT_EQ(RecordTimeValue(t), 905);
    EXPECT_EQ(RecordDateValue(QDateTime(QDate(2012, 11, 30), QTime(23, 59, 1))), 121130.0f);
    EXPECT_EQ(RecordTimeValue(QDateTime(QDate(2012, 11, 30), QTime(23, 59, 1))), 2359);
}

TEST(ResultFiles, PhaseFileNamesInsertTheLetterAtTheExtension)
{
    EXPECT_EQ(ResultFileNames(QStringLiteral("/d/0101.hv2"), 4),
              (QStringList{"/d/0101.Rhv2", "/d/0101.Thv2", "/d/0101.Shv2"}));
    EXPECT_EQ(ResultFileNames(QStringLiteral("/d/a.hn3"), 4),
              (QStringList{"/d/a.Rhn3", "/d/a.Thn3", "/d/a.Shn3"}));
    EXPECT_EQ(ResultFileNames(QStringLiteral("/d/0101.hv2"), 2), QStringList{"/d/0101.hv2"});
    // A folder containing ".h" is never cut.
    EXPECT_EQ(ResultFileNames(QStringLiteral("/data.hiroshi/run.ha4"), 4)[1],
              "/data.hiroshi/run.Tha4");
    EXPECT_EQ(ResultFileNames(QStringLiteral("/data.hiroshi/run.txt"), 4)[2],
              "/data.hiroshi/Srun.txt");
    EXPECT_EQ(ResultFileNames(QStringLiteral("run"), 4)[0], "Rrun");
    EXPECT_EQ(
        WaveformFileName(QStringLiteral("/out/"), QDateTime(QDate(2004, 2, 7), QTime(9, 5, 59))),
        "/out/20040207-0905Wev.dat");
    EXPECT_EQ(WaveformFileName(QStringLiteral("/out"), QDateTime(QDate(2004, 2, 7), QTime(19, 5))),
              "/out/20040207-1905Wev.dat");
}

// Every save option, one and three feeders: the fields at their offsets, byte for byte.
TEST(ResultFiles, SingleFileRecordsAreByteExactForEveryOption)
{
    for (int option = 0; option <= 4; ++option) {
        for (int lastFeeder : {0, 2}) {
            SCOPED_TRACE(testing::Message()
                         << "option " << option << " feeders " << lastFeeder + 1);
            const bool wide = option == 4;
            Station s(2, option, lastFeeder, wide);
            s.fillInterval();
            ASSERT_EQ(s.data.IntCurRms.dim0(), 9u);
            ResultFiles files(s.settings, s.data, s.clock);
            ASSERT_EQ(files.Open(), ResultFiles::kOk) << files.ErrorText().toStdString();
            std::int16_t shots = 4;
            ASSERT_EQ(files.WriteResultRecord(shots), ResultFiles::kOk)
                << files.ErrorText().toStdString();

            const QByteArray b = readAll(s.settings.OutputFile);
            const int n = wide ? 256 : 25;
            const int feeders = lastFeeder + 1;
            int expectedLength = 6 + 4 * n + feeders * 6 * n;
            expectedLength += (option == 1 || option == 3 || option == 4) ? 2 * n : 0;
            expectedLength += option == 1 ? 2 * n : 0;
            expectedLength += (option == 2 || option == 3) ? 12 + 12 * feeders : 0;
            ASSERT_EQ(b.size(), expectedLength);

            EXPECT_EQ(floatAt(b, 0), 40207.0f);
            EXPECT_EQ(int16At(b, 4), 905);
            auto order = [&](int i) { return wide ? i + 1 : 2 * i + 1; };
            for (int i = 0; i < n; ++i)
                ASSERT_EQ(floatAt(b, 6 + 4 * i), 1000.0f + order(i)) << i;
            int at = 6 + 4 * n;
            for (int f = 0; f < feeders; ++f) {
                for (int i = 0; i < n; ++i)
                    ASSERT_EQ(floatAt(b, at + 4 * i), 100.0f * f + order(i) + 0.5f);
                at += 4 * n;
                const int angle = f == 0 ? 135 : f == 1 ? -135 : 45;
                for (int i = 0; i < n; ++i)
                    ASSERT_EQ(int16At(b, at + 2 * i), angle);
                at += 2 * n;
            }
            if (option == 1 || option == 3 || option == 4) {
                for (int i = 0; i < n; ++i)
                    ASSERT_EQ(int16At(b, at + 2 * i), 90);
                at += 2 * n;
            }
            if (option == 1) {
                for (int i = 0; i < n; ++i)
                    ASSERT_EQ(int16At(b, at + 2 * i), -180);
                at += 2 * n;
            }
            if (option == 2 || option == 3) {
                EXPECT_EQ(floatAt(b, at), 230.0f);
                EXPECT_EQ(floatAt(b, at + 4), 231.0f);
                EXPECT_EQ(floatAt(b, at + 8), 232.0f);
                at += 12;
                for (int f = 0; f < feeders; ++f) {
                    // phases 0, 2, 1 (R, S, T)
                    EXPECT_EQ(floatAt(b, at), 10.0f * f + 1);
                    EXPECT_EQ(floatAt(b, at + 4), 10.0f * f + 3);
                    EXPECT_EQ(floatAt(b, at + 8), 10.0f * f + 2);
                    at += 12;
                }
            }
            EXPECT_EQ(at, b.size());
        }
    }
}

TEST(ResultFiles, SaveClearsTheIntervalAdvancesTheTimeAndAppends)
{
    Station s(2, 3, 2);
    s.fillInterval();
    ResultFiles files(s.settings, s.data, s.clock);
    ASSERT_EQ(files.Open(), ResultFiles::kOk);
    std::int16_t shots = 4;
    ASSERT_EQ(files.WriteResultRecord(shots), ResultFiles::kOk);

    EXPECT_EQ(shots, 0);
    EXPECT_EQ(s.settings.StartDateTime, QDateTime(QDate(2004, 2, 7), QTime(9, 10, 1)));
    for (int n : OrderSet(false)) {
        const std::size_t k = static_cast<std::size_t>(n);
        ASSERT_EQ(s.data.IntVoltByOrder[k], 0.0f);
        ASSERT_EQ(s.data.IntVoltSuperRe[k] + s.data.IntVoltSuperIm[k], 0.0f);
        ASSERT_EQ(s.data.IntCurSuperIm(0, k) + s.data.IntCurSuperRe(0, k), 0.0f);
        for (std::size_t f = 0; f < 3; ++f)
            ASSERT_EQ(s.data.IntCurByOrder(f, k) + s.data.IntActivePower(f, k) +
                          s.data.IntReactivePower(f, k),
                      0.0f);
    }
    // Orders outside the set and the further feeders' superposition sums are not the record's.
    EXPECT_EQ(s.data.IntVoltByOrder[2], 4.0f * 1002);
    EXPECT_EQ(s.data.IntCurSuperRe(1, 1), -1.0f);
    EXPECT_EQ(s.data.IntVoltRms[1], 0.0f);
    EXPECT_EQ(s.data.IntCurRms(2, 2), 0.0f);
    EXPECT_EQ(s.data.IntCurRms(3, 0), 4.0f * 31); // beyond LastFeeder: untouched

    // The next save appends a second record at the next save time.
    s.fillInterval(2);
    shots = 2;
    ASSERT_EQ(files.WriteResultRecord(shots), ResultFiles::kOk);
    const QByteArray b = readAll(s.settings.OutputFile);
    ASSERT_EQ(b.size(), 2 * 654);
    EXPECT_EQ(int16At(b, 654 + 4), 910);
    EXPECT_EQ(floatAt(b, 654 + 6), 1001.0f);
}

// An interval without a shot has no record: neither the last analysed shot nor the empty
// interval record stands in for it; skipping it moves the save time on as a save does.
TEST(ResultFiles, AnIntervalWithoutAShotWritesNoRecord)
{
    for (int type : {2, 4}) {
        SCOPED_TRACE(type);
        Station s(type, 3, 0);
        for (std::size_t n = 0; n < s.data.VoltByOrder.size(); ++n)
            s.data.VoltByOrder[n] = 6600.0f + n;
        const QDateTime start = s.settings.StartDateTime;
        ResultFiles files(s.settings, s.data, s.clock);
        ASSERT_EQ(files.Open(), ResultFiles::kOk);
        std::int16_t shots = 0;
        EXPECT_EQ(files.WriteSave(shots), ResultFiles::kNoShot);
        EXPECT_EQ(s.settings.StartDateTime, start);
        files.SkipSave(shots);
        EXPECT_EQ(s.settings.StartDateTime, start.addSecs(60 * s.settings.SaveIntervalMin));
        for (const QString& name : files.FileNames())
            EXPECT_EQ(readAll(name).size(), 0) << qPrintable(name);
        EXPECT_TRUE(BuildResultRecord(s.settings, s.data, 0, start).isEmpty());
        EXPECT_TRUE(BuildPhaseRecord(s.settings, s.data, 0, start, 1).isEmpty());
    }
}

TEST(ResultFiles, PhaseFilesHoldEqualRecordsWithSharedRmsFields)
{
    for (int option : {1, 3, 4}) {
        SCOPED_TRACE(option);
        const bool wide = option == 4;
        Station s(4, option, 1, wide);
        s.fillInterval();
        // Referred sums: voltage (3, 4) per phase scaled by p + 1 -> magnitude 5 (p + 1) * 4 shots.
        for (std::size_t k = 0; k < s.data.VoltCos.dim1(); ++k) {
            for (std::size_t p = 0; p < 3; ++p) {
                const float scale = 4.0f * (p + 1);
                s.data.VoltCos(p + 3, k) = 3.0f * scale;
                s.data.VoltSin(p + 3, k) = 4.0f * scale;
                for (std::size_t f = 0; f < 2; ++f) {
                    s.data.CurCos(f, p + 3, k) = f == 0 ? 0.0f : -4.0f * (f + 1) * 4;
                    s.data.CurSin(f, p + 3, k) = f == 0 ? -8.0f : 0.0f;
                }
            }
        }
        ResultFiles files(s.settings, s.data, s.clock);
        ASSERT_EQ(files.Open(), ResultFiles::kOk);
        const QStringList names = files.FileNames();
        ASSERT_EQ(names.size(), 3);
        EXPECT_TRUE(names[0].endsWith(".Rhv2"));
        EXPECT_TRUE(names[2].endsWith(".Shv2"));
        std::int16_t shots = 4;
        ASSERT_EQ(files.WritePhaseRecords(shots), ResultFiles::kOk);

        const int n = wide ? 256 : 25;
        const RecordLayout layout{option, 2, wide};
        QByteArray records[3];
        for (int p = 0; p < 3; ++p) {
            records[p] = readAll(names[p]);
            ASSERT_EQ(records[p].size(), layout.recordLength());
            const QByteArray& b = records[p];
            EXPECT_EQ(floatAt(b, 0), 40207.0f);
            EXPECT_EQ(int16At(b, 4), 905);
            EXPECT_FLOAT_EQ(floatAt(b, 6), 5.0f * (p + 1));
            EXPECT_FLOAT_EQ(floatAt(b, 6 + 4 * (n - 1)), 5.0f * (p + 1));
            int at = 6 + 4 * n;
            EXPECT_FLOAT_EQ(floatAt(b, at), 2.0f); // feeder 0 current |(0, -8)| / 4
            // x = Is*Vs + Ic*Vc < 0, y = Ic*Vs - Is*Vc > 0
            const double vc = 3.0 * 4 * (p + 1), vs = 4.0 * 4 * (p + 1);
            const double x = -8.0 * vs, y = 8.0 * vc;
            const int expected =
                static_cast<int>(std::lround((std::atan(y / x) + 3.1415926) * 180 / 3.1415));
            EXPECT_EQ(int16At(b, at + 4 * n), expected);
            at += 6 * n;
            EXPECT_FLOAT_EQ(floatAt(b, at), 8.0f); // feeder 1 current |(-32, 0)| / 4
            at += 6 * n;
            // voltage superposition: rule B with x = sin, y = cos
            const int superV = static_cast<int>(std::lround(std::atan(vc / vs) * 180 / 3.1415));
            EXPECT_EQ(int16At(b, at), superV);
            at += 2 * n;
            if (option == 1) {
                EXPECT_EQ(int16At(b, at),
                          180); // x = -8, y = 0: rule B gives +180 where rule A gives -180
                at += 2 * n;
            }
            if (option == 3) {
                EXPECT_EQ(floatAt(b, at), 230.0f);
                EXPECT_EQ(b.mid(at), records[0].mid(at));
            }
        }
        EXPECT_EQ(shots, 0);
        // Slots 3..5 cleared for every order up to the last of the set, even orders included.
        const std::size_t last = wide ? 256 : 49;
        EXPECT_EQ(s.data.VoltCos(3, 2), 0.0f);
        EXPECT_EQ(s.data.CurSin(1, 5, last), 0.0f);
        EXPECT_EQ(s.data.CurSin(0, 4, last), 0.0f);
        if (!wide) {
            EXPECT_EQ(s.data.VoltSin(3, 50), 16.0f); // beyond the set: kept
        }
    }
}

TEST(ResultFiles, OpeningTruncatesAnOlderLongerFile)
{
    Station s(2, 0, 0);
    {
        QFile old(s.settings.OutputFile);
        ASSERT_TRUE(old.open(QIODevice::WriteOnly));
        old.write(QByteArray(10000, '\xff'));
    }
    s.fillInterval();
    ResultFiles files(s.settings, s.data, s.clock);
    ASSERT_EQ(files.Open(), ResultFiles::kOk);
    std::int16_t shots = 4;
    ASSERT_EQ(files.WriteResultRecord(shots), ResultFiles::kOk);
    EXPECT_EQ(readAll(s.settings.OutputFile).size(), 256);
}

TEST(ResultFiles, ASecondRunOnTheSameFilesIsRefusedUntilTheFirstEnds)
{
    Station s(2, 0, 0);
    s.fillInterval();
    ResultFiles first(s.settings, s.data, s.clock);
    ASSERT_EQ(first.Open(), ResultFiles::kOk);
    std::int16_t shots = 4;
    ASSERT_EQ(first.WriteResultRecord(shots), ResultFiles::kOk);

    // The second run neither truncates the first one's records nor writes between them.
    Station other(2, 0, 0);
    other.settings.OutputFile = s.settings.OutputFile;
    ResultFiles second(other.settings, other.data, other.clock);
    EXPECT_EQ(second.Open(), ResultFiles::kFileError);
    EXPECT_TRUE(second.ErrorText().contains(QStringLiteral("別の測定が使用中")))
        << second.ErrorText().toStdString();
    EXPECT_TRUE(second.ErrorText().contains(QString::number(QCoreApplication::applicationPid())));
    EXPECT_EQ(readAll(s.settings.OutputFile).size(), 256);

    first.Close();
    EXPECT_EQ(second.Open(), ResultFiles::kOk);
}

TEST(ResultFiles, FileErrorsNameTheFile)
{
    Station s(4, 3, 0);
    s.settings.OutputFile = s.dir.filePath(QStringLiteral("missing/run.hv1"));
    ResultFiles files(s.settings, s.data, s.clock);
    EXPECT_EQ(files.Open(), ResultFiles::kFileError);
    EXPECT_TRUE(files.ErrorText().contains(s.dir.filePath(QStringLiteral("missing/run.Rhv1"))))
        << files.ErrorText().toStdString();
    EXPECT_FALSE(files.IsOpen());
    std::int16_t shots = 1;
    EXPECT_NE(files.WritePhaseRecords(shots), ResultFiles::kOk);

    // A full disk: the write fails and says so; nothing is cleared or advanced.
    if (QFile::exists(QStringLiteral("/dev/full"))) {
        Station full(2, 3, 0);
        full.fillInterval();
        full.settings.OutputFile = QStringLiteral("/dev/full");
        ResultFiles diskFull(full.settings, full.data, full.clock);
        ASSERT_EQ(diskFull.Open(), ResultFiles::kOk);
        shots = 4;
        EXPECT_EQ(diskFull.WriteResultRecord(shots), ResultFiles::kFileError);
        EXPECT_TRUE(diskFull.ErrorText().contains(QStringLiteral("/dev/full")));
        EXPECT_EQ(shots, 4);
        EXPECT_EQ(full.settings.StartDateTime, QDateTime(QDate(2004, 2, 7), QTime(9, 5, 1)));
    }

    // The waveform file into a folder that is gone.
    Station w(2, 0, 0);
    w.fillInterval();
    w.settings.SaveWaveforms = true;
    w.settings.OutputFolder = w.dir.filePath(QStringLiteral("gone/"));
    ResultFiles wave(w.settings, w.data, w.clock);
    ASSERT_EQ(wave.Open(), ResultFiles::kOk);
    shots = 4;
    EXPECT_EQ(wave.WriteResultRecord(shots), ResultFiles::kFileError);
    EXPECT_TRUE(
        wave.ErrorText().contains(w.dir.filePath(QStringLiteral("gone/20040207-0906Wev.dat"))))
        << wave.ErrorText().toStdString();
}

namespace {

// Writes one record of a fresh interval; the file's bytes after it.
QByteArray writeOne(Station& s, ResultFiles& files)
{
    s.fillInterval();
    std::int16_t shots = 4;
    EXPECT_EQ(files.WriteResultRecord(shots), ResultFiles::kOk) << qPrintable(files.ErrorText());
    return readAll(s.settings.OutputFile);
}

void writeFile(const QString& path, const QByteArray& bytes, QIODevice::OpenMode mode)
{
    QFile f(path);
    ASSERT_TRUE(f.open(mode)) << qPrintable(path);
    f.write(bytes);
}

// The files beside the result file that the writer moved aside, with their bytes.
QList<QByteArray> movedAside(const QString& outputFile)
{
    const QFileInfo info(outputFile);
    QList<QByteArray> found;
    for (const QString& name :
         info.dir().entryList({info.fileName() + QStringLiteral(".*")}, QDir::Files, QDir::Name))
        if (!name.endsWith(QStringLiteral(".lock")))
            found << readAll(info.dir().filePath(name));
    return found;
}

} // namespace

// Whatever befalls the file between two records (its folder removed, another file renamed onto
// it, the file cut short, written over from its start or made empty and written anew) is found
// by the next record: what stood under the name is moved aside untouched, and the file made
// again holds every record of the run once, in order. A notice says so.
TEST(ResultFiles, AFileRemovedReplacedOrAlteredHoldsEveryRecordAgain)
{
    struct Case {
        const char* what;
        std::function<void(const QString& path, qint64 size)> act;
        std::function<QByteArray(const QByteArray& before)> aside; // null: nothing stood there
    };
    const QByteArray foreign("not ours");
    const std::vector<Case> cases = {
        {"folder removed",
         [](const QString& path, qint64) {
             ASSERT_TRUE(QFileInfo(path).dir().removeRecursively());
         },
         nullptr},
        {"renamed onto",
         [&](const QString& path, qint64) {
             writeFile(path + QStringLiteral("-other"), foreign, QIODevice::WriteOnly);
             ASSERT_EQ(::rename(qPrintable(path + QStringLiteral("-other")), qPrintable(path)), 0);
         },
         [&](const QByteArray&) { return foreign; }},
        {"cut short",
         [](const QString& path, qint64 size) { ASSERT_TRUE(QFile::resize(path, size - 110)); },
         [](const QByteArray& before) { return before.left(before.size() - 110); }},
        {"written over from its start",
         [&](const QString& path, qint64) { writeFile(path, foreign, QIODevice::ReadWrite); },
         [&](const QByteArray& before) { return foreign + before.mid(foreign.size()); }},
        {"emptied and written anew",
         [&](const QString& path, qint64) {
             writeFile(path, foreign, QIODevice::WriteOnly | QIODevice::Truncate);
         },
         [&](const QByteArray&) { return foreign; }},
    };
    const auto check = [](const Case& c) {
        SCOPED_TRACE(c.what);
        Station s(2, 0, 0);
        s.settings.OutputFile = s.dir.filePath(QStringLiteral("out/0207.hv1"));
        ASSERT_TRUE(QDir().mkpath(s.dir.filePath(QStringLiteral("out"))));
        ResultFiles files(s.settings, s.data, s.clock);
        ASSERT_EQ(files.Open(), ResultFiles::kOk);
        writeOne(s, files);
        const QByteArray before = writeOne(s, files);
        EXPECT_TRUE(files.TakeNotices().isEmpty());

        c.act(s.settings.OutputFile, before.size());
        const QByteArray after = writeOne(s, files);
        ASSERT_EQ(after.size(), before.size() * 3 / 2);
        EXPECT_EQ(after.left(before.size()), before);
        const QStringList notices = files.TakeNotices();
        ASSERT_EQ(notices.size(), 1);
        EXPECT_TRUE(notices[0].contains(s.settings.OutputFile)) << qPrintable(notices[0]);
        EXPECT_TRUE(notices[0].contains(QStringLiteral("記録 2件を書き直しました")))
            << qPrintable(notices[0]);
        const QList<QByteArray> aside = movedAside(s.settings.OutputFile);
        if (c.aside) {
            ASSERT_EQ(aside.size(), 1);
            EXPECT_EQ(aside[0], c.aside(before));
        } else {
            EXPECT_TRUE(aside.isEmpty());
        }
        EXPECT_EQ(files.RecordsLost(), 0);
        ResultFileLock second; // the run still holds its lock
        EXPECT_FALSE(second.take(s.settings.OutputFile));

        // Left alone, the file takes the next record after the others.
        EXPECT_EQ(writeOne(s, files).size(), before.size() * 2);
        EXPECT_TRUE(files.TakeNotices().isEmpty());
    };
    for (const Case& c : cases)
        check(c);
}

// Beyond the records kept, a removed file's records come back from the old file, which the
// writer still holds open; records of a file cut short in place cannot come back: they are
// counted lost, and the notice says how many.
TEST(ResultFiles, RecordsThatCannotBeWrittenAgainAreCountedLost)
{
    Station s(2, 0, 0);
    ResultFiles files(s.settings, s.data, s.clock);
    files.setKeptRecordBytes(0);
    ASSERT_EQ(files.Open(), ResultFiles::kOk);
    writeOne(s, files);
    const QByteArray before = writeOne(s, files);

    ASSERT_TRUE(QFile::remove(s.settings.OutputFile));
    const QByteArray after = writeOne(s, files);
    EXPECT_EQ(after.left(before.size()), before);
    EXPECT_EQ(after.size(), before.size() * 3 / 2);
    EXPECT_EQ(files.RecordsLost(), 0);
    files.TakeNotices();

    ASSERT_TRUE(QFile::resize(s.settings.OutputFile, 100));
    EXPECT_EQ(files.CheckFiles(), ResultFiles::kOk);
    const QStringList notices = files.TakeNotices();
    ASSERT_EQ(notices.size(), 1);
    EXPECT_TRUE(notices[0].contains(QStringLiteral("記録 3件は失われました")))
        << qPrintable(notices[0]);
    EXPECT_EQ(files.RecordsLost(), 3);
    EXPECT_EQ(readAll(s.settings.OutputFile).size(), 0);
}

// A device under the output file's name (a node like /dev/null, made in the test's folder)
// keeps no records to compare: it is written, never taken for an altered file and moved aside.
TEST(ResultFiles, ADeviceIsWrittenNotMovedAside)
{
    Station s(2, 0, 0);
    if (::mknod(qPrintable(s.settings.OutputFile), S_IFCHR | 0600, makedev(1, 3)) != 0)
        GTEST_SKIP() << "no device node can be made here";
    ResultFiles files(s.settings, s.data, s.clock);
    ASSERT_EQ(files.Open(), ResultFiles::kOk);
    for (int i = 0; i < 2; ++i) {
        s.fillInterval();
        std::int16_t shots = 4;
        EXPECT_EQ(files.WriteResultRecord(shots), ResultFiles::kOk)
            << qPrintable(files.ErrorText());
    }
    EXPECT_TRUE(files.TakeNotices().isEmpty());
    struct stat st {};
    ASSERT_EQ(::stat(qPrintable(s.settings.OutputFile), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

// A write that fails names the file and the system's reason, and the file is cut back to its
// last whole record.
TEST(ResultFiles, AFailedWriteNamesTheReasonAndLeavesWholeRecords)
{
    if (QFile::exists(QStringLiteral("/dev/full"))) {
        Station full(2, 3, 0);
        full.fillInterval();
        full.settings.OutputFile = QStringLiteral("/dev/full");
        ResultFiles diskFull(full.settings, full.data, full.clock);
        ASSERT_EQ(diskFull.Open(), ResultFiles::kOk);
        std::int16_t shots = 4;
        EXPECT_EQ(diskFull.WriteResultRecord(shots), ResultFiles::kFileError);
        EXPECT_TRUE(diskFull.ErrorText().contains(QString::fromLocal8Bit(std::strerror(ENOSPC))))
            << qPrintable(diskFull.ErrorText());
    }

    // A file-size limit that falls inside the second record: the write stops part-way.
    Station s(2, 3, 0);
    const int length = RecordLayout({3, 1, false}).recordLength();
    ResultFiles files(s.settings, s.data, s.clock);
    ASSERT_EQ(files.Open(), ResultFiles::kOk);
    std::int16_t shots = 4;
    s.fillInterval();
    ASSERT_EQ(files.WriteResultRecord(shots), ResultFiles::kOk);
    struct rlimit previous {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &previous), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = previous;
    limit.rlim_cur = static_cast<rlim_t>(length + length / 2);
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    s.fillInterval();
    shots = 4;
    const int status = files.WriteResultRecord(shots);
    ::setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(status, ResultFiles::kFileError);
    EXPECT_TRUE(files.ErrorText().contains(s.settings.OutputFile));
    EXPECT_TRUE(files.ErrorText().contains(QString::fromLocal8Bit(std::strerror(EFBIG))))
        << qPrintable(files.ErrorText());
    EXPECT_EQ(readAll(s.settings.OutputFile).size(), length);
    EXPECT_EQ(shots, 4); // nothing cleared: the interval is still there
}

TEST(ResultFiles, WaveformFileHoldsTheLastShotInStorageOrder)
{
    Station s(2, 0, 8, true); // nine feeders, N = 1024
    ASSERT_EQ(s.data.WaveData.dim0(), 30u);
    for (std::size_t c = 0; c < 30; ++c)
        for (std::size_t i = 0; i <= 1024; ++i)
            s.data.WaveData(c, i) = static_cast<std::int16_t>(c * 1000 + i % 1000 - 500);
    for (std::size_t k = 0; k < 21; ++k)
        s.data.InputRange[k] = 0.5f * (k + 1);
    s.settings.SaveWaveforms = true;
    s.fillInterval();
    ResultFiles files(s.settings, s.data, s.clock);
    ASSERT_EQ(files.Open(), ResultFiles::kOk);
    std::int16_t shots = 4;
    ASSERT_EQ(files.WriteResultRecord(shots), ResultFiles::kOk);
    const QString path = s.dir.filePath(QStringLiteral("20040207-0906Wev.dat"));
    EXPECT_EQ(files.LastWaveformFile(), path);
    const QByteArray b = readAll(path);
    ASSERT_EQ(b.size(), 61588);
    EXPECT_EQ(int16At(b, 0), 29);
    EXPECT_EQ(int16At(b, 2), 1024);
    EXPECT_EQ(int16At(b, 4), -500);             // channel 0, sample 0
    EXPECT_EQ(int16At(b, 6), 1000 - 500);       // channel 1, sample 0
    EXPECT_EQ(int16At(b, 4 + 2 * 30), 0 - 499); // channel 0, sample 1
    EXPECT_EQ(int16At(b, 4 + 2 * (30 * 1024 + 29)), 29000 + 24 - 500);
    EXPECT_EQ(floatAt(b, 4 + 2 * 1025 * 30), 0.5f);
    EXPECT_EQ(floatAt(b, 61588 - 4), 10.5f);
}
