#include "common/Clock.h"
#include "model/MeasurementData.h"
#include "engine/ResultFiles.h"
#include "files/ResultExport.h"
#include "files/ResultFileReader.h"
#include "files/WaveformFile.h"
#include "model/MeasurementSettings.h"

#include <QBuffer>
#include <QFile>
#include <QJsonDocument>
#include <QtEndian>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include <sys/resource.h>

using namespace hs;

namespace {

// A measurement whose interval record the station's own writer saves; the reader must give
// back what the writer was handed.
struct Writer {
    MeasurementSettings settings;
    MeasurementData data;
    Clock clock{1.0};
    QTemporaryDir dir;
    QRandomGenerator random{12345};

    Writer(int measureType, int saveOption, int lastFeeder, const QString& extension)
    {
        settings.MeasureType() = static_cast<std::int16_t>(measureType);
        settings.SaveOption() = static_cast<std::int16_t>(saveOption);
        settings.LastFeeder = static_cast<std::int16_t>(lastFeeder);
        settings.Orders256 = saveOption == 4;
        settings.MaxHarmonicOrder = saveOption == 4 ? 256 : 99;
        settings.SampleCount = 256;
        settings.StartDateTime = QDateTime(QDate(2004, 2, 7), QTime(23, 50, 1));
        settings.OutputFile = dir.filePath(QStringLiteral("run") + extension);
        settings.OutputFolder = dir.path();
        data.sizeForPreparation(settings);
        data.sizeForMeasurement(settings);
    }
    float value(double scale)
    {
        return static_cast<float>((random.generateDouble() - 0.3) * scale);
    }
    void fill()
    {
        for (std::size_t k = 0; k < data.IntVoltByOrder.size(); ++k) {
            data.IntVoltByOrder[k] = value(6600);
            data.IntVoltSuperRe[k] = value(10);
            data.IntVoltSuperIm[k] = value(10);
            for (std::size_t f = 0; f < data.IntCurByOrder.dim0(); ++f) {
                data.IntCurByOrder(f, k) = value(300);
                data.IntActivePower(f, k) = value(1e6);
                data.IntReactivePower(f, k) = value(1e6);
                data.IntCurSuperRe(f, k) = value(5);
                data.IntCurSuperIm(f, k) = value(5);
                for (std::size_t slot = 3; slot < 6; ++slot) {
                    data.CurCos(f, slot, k) = value(100);
                    data.CurSin(f, slot, k) = value(100);
                }
            }
            for (std::size_t slot = 3; slot < 6; ++slot) {
                data.VoltCos(slot, k) = value(1000);
                data.VoltSin(slot, k) = value(1000);
            }
        }
        for (std::size_t c = 0; c < 3; ++c) {
            data.IntVoltRms[c] = value(6600);
            for (std::size_t f = 0; f < 9; ++f)
                data.IntCurRms(f, c) = value(300);
        }
    }
};

} // namespace

TEST(ResultFileReader, KindsFromExtensions)
{
    auto kind = ResultFileKindFromName(QStringLiteral("/x.hiro/0207.hv3"));
    ASSERT_TRUE(kind);
    EXPECT_EQ(kind->saveOption, 3);
    EXPECT_EQ(kind->feeders, 3);
    EXPECT_TRUE(kind->phase.isNull());
    kind = ResultFileKindFromName(QStringLiteral("a.Thn9"));
    ASSERT_TRUE(kind);
    EXPECT_EQ(kind->saveOption, 4);
    EXPECT_EQ(kind->feeders, 9);
    EXPECT_EQ(kind->phase, QLatin1Char('T'));
    kind = ResultFileKindFromName(QStringLiteral("a.ha5"));
    ASSERT_TRUE(kind);
    EXPECT_EQ(kind->saveOption, 2);
    EXPECT_EQ(kind->feeders, 0);
    EXPECT_EQ(ResultFileKindFromName(QStringLiteral("a.hm1"))->saveOption, 0);
    EXPECT_EQ(ResultFileKindFromName(QStringLiteral("a.ha4"))->saveOption, 1);
    for (const char* bad : {"a.hv0", "a.ha3", "a.hx2", "a.txt", "hv3", "a.Xhv3", "a.hv10"})
        EXPECT_FALSE(ResultFileKindFromName(QString::fromLatin1(bad))) << bad;
}

TEST(ResultFileReader, SingleFilesOfEveryOptionReadBackAsWritten)
{
    const char* extensions[5] = {".hm%1", ".ha4", ".ha5", ".hv%1", ".hn%1"};
    for (int option = 0; option <= 4; ++option) {
        for (int lastFeeder : {0, 2, 8}) {
            SCOPED_TRACE(testing::Message()
                         << "option " << option << " feeders " << lastFeeder + 1);
            QString ext = QString::fromLatin1(extensions[option]);
            if (ext.contains(QLatin1Char('%')))
                ext = ext.arg(lastFeeder + 1);
            Writer w(2, option, lastFeeder, ext);
            ResultFiles files(w.settings, w.data, w.clock);
            ASSERT_EQ(files.Open(), ResultFiles::kOk);
            std::vector<MeasurementData> saved;
            std::vector<std::int16_t> counts;
            for (int r = 0; r < 3; ++r) {
                w.fill();
                saved.push_back(w.data);
                std::int16_t shots = static_cast<std::int16_t>(r + 2);
                counts.push_back(shots);
                ASSERT_EQ(files.WriteResultRecord(shots), ResultFiles::kOk);
            }

            ResultFile file;
            QString error;
            ASSERT_TRUE(ReadResultFile(w.settings.OutputFile, file, error)) << error.toStdString();
            ASSERT_EQ(file.records.size(), 3u);
            EXPECT_FALSE(file.truncated());
            EXPECT_EQ(file.layout.feeders, lastFeeder + 1); // found from the file for .ha4/.ha5
            const std::vector<int>& orders = file.orders;
            ASSERT_EQ(orders.size(), option == 4 ? 256u : 25u);
            for (std::size_t r = 0; r < 3; ++r) {
                const ResultRecord& rec = file.records[r];
                const MeasurementData& d = saved[r];
                const double D = counts[r];
                EXPECT_EQ(
                    rec.time,
                    QDateTime(QDate(2004, 2, 7), QTime(23, 50)).addSecs(300 * static_cast<int>(r)));
                for (std::size_t i = 0; i < orders.size(); ++i) {
                    const std::size_t k = static_cast<std::size_t>(orders[i]);
                    ASSERT_EQ(rec.voltage[i], static_cast<float>(d.IntVoltByOrder[k] / D));
                    for (std::size_t f = 0; f <= static_cast<std::size_t>(lastFeeder); ++f) {
                        ASSERT_EQ(rec.current[f][i], static_cast<float>(d.IntCurByOrder(f, k) / D));
                        ASSERT_EQ(rec.powerAngle[f][i],
                                  RecordAngleA(d.IntActivePower(f, k), d.IntReactivePower(f, k)));
                    }
                    if (option == 1 || option == 3 || option == 4) {
                        ASSERT_EQ(rec.voltSuperAngle[i],
                                  RecordAngleA(d.IntVoltSuperRe[k], d.IntVoltSuperIm[k]));
                    }
                    if (option == 1) {
                        ASSERT_EQ(rec.curSuperAngle[i],
                                  RecordAngleA(d.IntCurSuperRe(0, k), d.IntCurSuperIm(0, k)));
                    }
                }
                EXPECT_EQ(rec.hasRms, option == 2 || option == 3);
                EXPECT_EQ(rec.voltSuperAngle.empty(), !(option == 1 || option == 3 || option == 4));
                EXPECT_EQ(rec.curSuperAngle.empty(), option != 1);
                if (rec.hasRms) {
                    EXPECT_EQ(rec.voltRms[2], static_cast<float>(d.IntVoltRms[2] / D));
                    const std::size_t f = static_cast<std::size_t>(lastFeeder);
                    EXPECT_EQ(rec.curRms[f][0], static_cast<float>(d.IntCurRms(f, 0) / D));
                    EXPECT_EQ(rec.curRms[f][1], static_cast<float>(d.IntCurRms(f, 2) / D)); // S
                    EXPECT_EQ(rec.curRms[f][2], static_cast<float>(d.IntCurRms(f, 1) / D)); // T
                }
            }
        }
    }
}

TEST(ResultFileReader, PhaseFilesReadBackWithTheirLetters)
{
    Writer w(4, 3, 1, QStringLiteral(".hv2"));
    ResultFiles files(w.settings, w.data, w.clock);
    ASSERT_EQ(files.Open(), ResultFiles::kOk);
    w.fill();
    const MeasurementData before = w.data;
    std::int16_t shots = 5;
    ASSERT_EQ(files.WritePhaseRecords(shots), ResultFiles::kOk);
    const QStringList names = files.FileNames();
    for (int p = 0; p < 3; ++p) {
        ResultFile file;
        QString error;
        ASSERT_TRUE(ReadResultFile(names[p], file, error)) << error.toStdString();
        EXPECT_EQ(file.kind.phase, QString("RTS").at(p));
        ASSERT_EQ(file.records.size(), 1u);
        const ResultRecord& rec = file.records[0];
        const std::size_t slot = static_cast<std::size_t>(p + 3);
        const double vc = before.VoltCos(slot, 7), vs = before.VoltSin(slot, 7);
        EXPECT_EQ(rec.voltage[3], static_cast<float>(std::sqrt(vc * vc + vs * vs) / 5)); // order 7
        const double ic = before.CurCos(1, slot, 49), is = before.CurSin(1, slot, 49);
        EXPECT_EQ(rec.current[1][24], static_cast<float>(std::sqrt(ic * ic + is * is) / 5));
        EXPECT_EQ(rec.voltRms[1], static_cast<float>(before.IntVoltRms[1] / 5));
    }
}

TEST(ResultFileReader, TruncatedFileKeepsItsWholeRecordsAndWrongLayoutIsRefused)
{
    Writer w(2, 3, 1, QStringLiteral(".hv2"));
    ResultFiles files(w.settings, w.data, w.clock);
    ASSERT_EQ(files.Open(), ResultFiles::kOk);
    for (int r = 0; r < 4; ++r) {
        w.fill();
        std::int16_t shots = 1;
        ASSERT_EQ(files.WriteResultRecord(shots), ResultFiles::kOk);
    }
    files.Close();
    const int length = RecordLayout{3, 2, false}.recordLength();
    QFile raw(w.settings.OutputFile);
    ASSERT_TRUE(raw.resize(3 * length + 100));

    ResultFile file;
    QString error;
    ASSERT_TRUE(ReadResultFile(w.settings.OutputFile, file, error)) << error.toStdString();
    EXPECT_EQ(file.records.size(), 3u);
    EXPECT_EQ(file.trailingBytes, 100);
    EXPECT_TRUE(file.truncationNote().contains(QStringLiteral("3 whole records")))
        << file.truncationNote().toStdString();

    // The same bytes under a name announcing three feeders: refused, with the name.
    const QString wrong = w.dir.filePath(QStringLiteral("run.hv3"));
    ASSERT_TRUE(QFile::copy(w.settings.OutputFile, wrong));
    EXPECT_FALSE(ReadResultFile(wrong, file, error));
    EXPECT_TRUE(error.contains(wrong)) << error.toStdString();
    EXPECT_TRUE(error.contains(QStringLiteral("not a file of the layout"))) << error.toStdString();
    // Or the wrong option.
    const QString wrongOption = w.dir.filePath(QStringLiteral("run.hm2"));
    ASSERT_TRUE(QFile::copy(w.settings.OutputFile, wrongOption));
    EXPECT_FALSE(ReadResultFile(wrongOption, file, error));
    // An explicit, wrong feeder count is refused too.
    EXPECT_FALSE(ReadResultFile(w.settings.OutputFile, file, error, 3));
    EXPECT_TRUE(ReadResultFile(w.settings.OutputFile, file, error, 2));
}

namespace {

// A run's file of `records` records of one feeder (".hv1"), saved a minute apart from 23:50.
QString writeRun(Writer& w, int records)
{
    ResultFiles files(w.settings, w.data, w.clock);
    EXPECT_EQ(files.Open(), ResultFiles::kOk);
    for (int r = 0; r < records; ++r) {
        w.fill();
        std::int16_t shots = 1;
        EXPECT_EQ(files.WriteResultRecord(shots), ResultFiles::kOk);
    }
    files.Close();
    return w.settings.OutputFile;
}

void setRecordTime(const QString& path, int record, float yymmdd, std::int16_t hhmm)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.seek(qint64(record) * RecordLayout{3, 1, false}.recordLength()));
    char field[6];
    std::uint32_t bits;
    std::memcpy(&bits, &yymmdd, sizeof bits);
    qToLittleEndian(bits, field);
    qToLittleEndian(hhmm, field + 4);
    ASSERT_EQ(f.write(field, 6), 6);
}

long peakKilobytes()
{
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

// Zero bytes (a sparse file, a stretch never written) carry no date: they are no records. Such
// a file is refused at its first zero record, without reading gigabytes into memory.
TEST(ResultFileReader, ASparseStretchIsRefusedAtItsFirstRecordInLittleMemory)
{
    Writer w(2, 3, 0, QStringLiteral(".hv1"));
    const QString path = writeRun(w, 2);
    ASSERT_TRUE(QFile(path).resize(3LL << 30));
    const long before = peakKilobytes();
    ResultFile file;
    QString error;
    EXPECT_FALSE(ReadResultFile(path, file, error));
    EXPECT_TRUE(error.contains(QStringLiteral("record 3 at byte 660"))) << error.toStdString();
    EXPECT_LT(peakKilobytes() - before, 64 * 1024);
}

// Two-digit years follow the file's first record: a run from 2029 into 2030 stays in order.
TEST(ResultFileReader, ACenturyTurnInsideAFileKeepsTheRecordsInOrder)
{
    Writer w(2, 3, 0, QStringLiteral(".hv1"));
    const QString path = writeRun(w, 3);
    setRecordTime(path, 0, 291231.0f, 2359);
    setRecordTime(path, 1, 300101.0f, 0);
    setRecordTime(path, 2, 300101.0f, 1);
    ResultFile file;
    QString error;
    ASSERT_TRUE(ReadResultFile(path, file, error)) << error.toStdString();
    ASSERT_EQ(file.records.size(), 3u);
    EXPECT_EQ(file.records[0].time, QDateTime(QDate(2029, 12, 31), QTime(23, 59)));
    EXPECT_EQ(file.records[1].time, QDateTime(QDate(2030, 1, 1), QTime(0, 0)));
    // A later record that goes back in time is still refused.
    setRecordTime(path, 2, 291231.0f, 2358);
    EXPECT_FALSE(ReadResultFile(path, file, error));
}

// The export written record by record is the same text as the one made in memory (and the JSON
// is the document Qt itself writes).
TEST(ResultFileReader, StreamedExportsEqualTheInMemoryOnes)
{
    Writer w(2, 3, 0, QStringLiteral(".hv1"));
    const QString path = writeRun(w, 3);
    ResultFile file;
    QString error;
    ASSERT_TRUE(ReadResultFile(path, file, error)) << error.toStdString();
    const QByteArray json = ResultJson(file, {});
    EXPECT_EQ(QJsonDocument::fromJson(json).toJson(QJsonDocument::Indented), json);
    for (const ExportFormat format : {ExportFormat::Csv, ExportFormat::Json}) {
        ResultRecordReader reader;
        ASSERT_TRUE(reader.open(path, error)) << error.toStdString();
        QBuffer out;
        out.open(QIODevice::WriteOnly);
        ASSERT_TRUE(WriteResultExport(reader, {}, format, out, error)) << error.toStdString();
        EXPECT_EQ(out.data(), format == ExportFormat::Csv ? ResultCsv(file, {}) : json);
    }
}

TEST(ResultFileReader, WaveformFileReadsBackAndWrongSizeIsRefused)
{
    Writer w(2, 0, 2, QStringLiteral(".hm3"));
    w.settings.SaveWaveforms = true;
    for (std::size_t c = 0; c < w.data.WaveData.dim0(); ++c)
        for (std::size_t i = 0; i < w.data.WaveData.dim1(); ++i)
            w.data.WaveData(c, i) = static_cast<std::int16_t>(w.random.bounded(-2048, 2048));
    for (std::size_t k = 0; k < 21; ++k)
        w.data.InputRange[k] = 0.1f * static_cast<float>(k + 1);
    ResultFiles files(w.settings, w.data, w.clock);
    ASSERT_EQ(files.Open(), ResultFiles::kOk);
    std::int16_t shots = 1;
    ASSERT_EQ(files.WriteResultRecord(shots), ResultFiles::kOk);
    const QString path = files.LastWaveformFile();

    WaveformFile wave;
    QString error;
    ASSERT_TRUE(ReadWaveformFile(path, wave, error)) << error.toStdString();
    EXPECT_EQ(wave.lastChannel, 11);
    EXPECT_EQ(wave.feeders(), 3);
    EXPECT_EQ(wave.sampleCount, 256);
    ASSERT_EQ(wave.wave.size(), w.data.WaveData.size());
    EXPECT_TRUE(
        std::equal(wave.wave.data(), wave.wave.data() + wave.wave.size(), w.data.WaveData.data()));
    EXPECT_EQ(wave.inputRange, w.data.InputRange);
    const auto stamp = WaveformFileTime(path);
    ASSERT_TRUE(stamp);
    EXPECT_EQ(wave.time, *stamp);

    QFile raw(path);
    ASSERT_TRUE(raw.resize(raw.size() - 2));
    EXPECT_FALSE(ReadWaveformFile(path, wave, error));
    EXPECT_TRUE(error.contains(path));
    EXPECT_EQ(AnalysisChannelName(0), "V1");
    EXPECT_EQ(AnalysisChannelName(2), "V3");
    EXPECT_EQ(AnalysisChannelName(3), "I1-1");
    EXPECT_EQ(AnalysisChannelName(29), "I9-3");
    EXPECT_EQ(AnalysisChannelInput(4), 3);
    EXPECT_EQ(AnalysisChannelInput(5), 2);
    EXPECT_EQ(AnalysisChannelInput(7), 5);
}
