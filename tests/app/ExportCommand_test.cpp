#include "app/ExportCommand.h"
#include "app/ExportPlot.h"
#include "common/Clock.h"
#include "model/MeasurementData.h"
#include "engine/ResultFiles.h"
#include "files/ResultExport.h"
#include "files/ResultFileReader.h"
#include "files/WaveformFile.h"
#include "model/MeasurementSettings.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <cmath>

using namespace hs;

namespace {

QString readText(const QString& path)
{
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::ReadOnly)) << path.toStdString();
    return QString::fromUtf8(f.readAll());
}

// A run of six saves written by the station's own writer: option 3, two feeders, a waveform
// file at the last save. The fundamental is 6600 V + record, order k is 6600 / k V.
class ExportTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        settings.MeasureType() = 2;
        settings.SaveOption() = 3;
        settings.LastFeeder = 1;
        settings.SampleCount = 256;
        settings.StartDateTime = QDateTime(QDate(2004, 2, 7), QTime(9, 0, 1));
        settings.OutputFile = dir.filePath(QStringLiteral("0207.hv2"));
        settings.OutputFolder = dir.path();
        data.sizeForPreparation(settings);
        data.sizeForMeasurement(settings);
        clock.setCalendar(QDateTime(QDate(2004, 2, 7), QTime(9, 25, 10)));
        ResultFiles files(settings, data, clock);
        ASSERT_EQ(files.Open(), ResultFiles::kOk);
        for (int r = 0; r < 6; ++r) {
            for (std::size_t k = 1; k <= 99; ++k) {
                data.IntVoltByOrder[k] = k == 1 ? 6600.0f + r : 6600.0f / k / 10;
                data.IntCurByOrder(0, k) = 100.0f / k;
                data.IntCurByOrder(1, k) = 50.0f / k;
                data.IntActivePower(1, k) = -1.0f;
                data.IntReactivePower(1, k) = 1.0f;
            }
            data.IntVoltRms = {6601.5f, 6602.5f, 6603.5f};
            data.IntCurRms(1, 2) = 12.25f;
            settings.SaveWaveforms = r == 5;
            if (r == 5) {
                for (std::size_t c = 0; c < data.WaveData.dim0(); ++c)
                    for (std::size_t i = 0; i <= 256; ++i)
                        data.WaveData(c, i) = static_cast<std::int16_t>(std::lround(
                            (c < 3 ? 1600 : 800) *
                            std::sin(2 * M_PI * (i / 256.0 + static_cast<double>(c) / 3))));
                for (std::size_t k = 0; k < 21; ++k)
                    data.InputRange[k] = k < 2 ? 20.0f : 0.5f;
                data.InputRange[3] = 1.0f; // T current of feeder 1 on a coarser range
            }
            std::int16_t shots = 1;
            ASSERT_EQ(files.WriteResultRecord(shots), ResultFiles::kOk)
                << files.ErrorText().toStdString();
        }
        waveFile = files.LastWaveformFile();
        ASSERT_FALSE(waveFile.isEmpty());
        out = dir.filePath(QStringLiteral("out"));
    }

    MeasurementSettings settings;
    MeasurementData data;
    Clock clock{1.0};
    QTemporaryDir dir;
    QString waveFile;
    QString out;
};

} // namespace

TEST_F(ExportTest, CsvHasNamedColumnsAndOneRowPerRecord)
{
    ASSERT_EQ(runExportCommand({settings.OutputFile, QStringLiteral("--out"), out}), 0);
    const QStringList lines =
        readText(out + QStringLiteral("/0207.hv2.csv")).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 7);
    const QStringList header = lines[0].split(',');
    // time + V(25) + 2 feeders x (I 25 + PA 25) + VSA 25 + Vrms 3 + 2 x 3
    EXPECT_EQ(header.size(), 1 + 25 + 100 + 25 + 3 + 6);
    EXPECT_EQ(header[0], "time");
    EXPECT_EQ(header[1], "V_h1");
    EXPECT_EQ(header[3], "V_h5");
    const QStringList row = lines[2].split(',');
    ASSERT_EQ(row.size(), header.size());
    EXPECT_EQ(row[0], "2004-02-07T09:05:00");
    EXPECT_EQ(row[1], "6601");
    EXPECT_EQ(row[header.indexOf("I2_h7")].toFloat(), 50.0f / 7);
    EXPECT_EQ(row[header.indexOf("PA2_h7")], "135");
    EXPECT_EQ(row[header.indexOf("PA1_h7")], "0");
    EXPECT_EQ(row[header.indexOf("Vrms_2")], "6602.5");
    EXPECT_EQ(row[header.indexOf("I2rms_S")], "12.25");
    EXPECT_TRUE(header.contains("VSA_h49"));
    EXPECT_FALSE(header.contains("ISA1_h1"));
}

TEST_F(ExportTest, SelectionAndJson)
{
    ASSERT_EQ(runExportCommand({settings.OutputFile, "--out", out, "--orders", "1,5-7", "--feeder",
                                "2", "--format", "json"}),
              0);
    const QJsonObject root =
        QJsonDocument::fromJson(readText(out + "/0207.hv2.json").toUtf8()).object();
    EXPECT_EQ(root["feeders"].toInt(), 2);
    EXPECT_EQ(root["orders"].toArray(), (QJsonArray{1, 5, 7}));
    const QJsonArray records = root["records"].toArray();
    ASSERT_EQ(records.size(), 6);
    const QJsonObject last = records[5].toObject();
    EXPECT_EQ(last["time"].toString(), "2004-02-07T09:25:00");
    EXPECT_EQ(last["V"].toArray()[0].toDouble(), 6605.0);
    EXPECT_TRUE(last["I"].toObject().contains("2"));
    EXPECT_FALSE(last["I"].toObject().contains("1"));
    EXPECT_EQ(static_cast<float>(last["I"].toObject()["2"].toArray()[2].toDouble()), 50.0f / 7);
    EXPECT_EQ(last["Irms"].toObject()["2"].toArray()[1].toDouble(), 12.25);

    // An order the file does not hold, and wrong usage.
    EXPECT_EQ(runExportCommand({settings.OutputFile, "--out", out, "--orders", "2"}), 1);
    EXPECT_EQ(runExportCommand({settings.OutputFile, "--orders", "x"}), 2);
    EXPECT_EQ(runExportCommand({settings.OutputFile, "--format", "xml"}), 2);
}

TEST_F(ExportTest, TruncatedFileExportsWholeRecordsAndAWrongFileIsRefused)
{
    QFile raw(settings.OutputFile);
    ASSERT_TRUE(raw.resize(raw.size() - 10));
    const QString wrong = dir.filePath("other.hv3");
    ASSERT_TRUE(QFile::copy(settings.OutputFile, wrong));
    EXPECT_EQ(runExportCommand({settings.OutputFile, wrong, "--out", out}), 1);
    EXPECT_EQ(readText(out + "/0207.hv2.csv").count('\n'), 1 + 5);
    EXPECT_FALSE(QFile::exists(out + "/other.hv3.csv"));
}

// A file without one whole record has nothing to export: refused, with a non-zero status.
TEST_F(ExportTest, AFileWithoutAWholeRecordIsRefused)
{
    const QString empty = dir.filePath("empty.hv2");
    const QString stub = dir.filePath("stub.hv2");
    QFile(empty).open(QIODevice::WriteOnly);
    {
        QFile f(stub);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(100, '\0'));
    }
    for (const QString& path : {empty, stub}) {
        SCOPED_TRACE(qPrintable(path));
        ResultFile file;
        QString error;
        EXPECT_FALSE(ReadResultFile(path, file, error));
        EXPECT_TRUE(error.contains("no whole record")) << qPrintable(error);
        EXPECT_EQ(runExportCommand({path, "--out", out}), 1);
        EXPECT_FALSE(QFile::exists(out + "/" + QFileInfo(path).fileName() + ".csv"));
        EXPECT_EQ(runExportCommand({"--plot", path, "--out", out}), 1);
    }
}

// The waveform file may be named without its ".dat", as the help shows.
TEST_F(ExportTest, ComtradeTakesTheWaveformFileWithoutItsExtension)
{
    ASSERT_EQ(runExportCommand({"--comtrade", waveFile.chopped(4), "--out", out}), 0);
    const QString base = out + "/" + QFileInfo(waveFile).fileName().chopped(4);
    EXPECT_TRUE(QFile::exists(base + ".cfg"));
    EXPECT_TRUE(QFile::exists(base + ".dat"));
}

// An independent COMTRADE 1999 reader: the cfg fields by position, the dat lines, scaled back.
TEST_F(ExportTest, ComtradeRecordReadsBackToTheWaveform)
{
    ASSERT_EQ(runExportCommand({"--comtrade", waveFile, "--out", out}), 0);
    const QString base = out + "/" + QFileInfo(waveFile).fileName().chopped(4);
    const QString cfgText = readText(base + ".cfg");
    ASSERT_TRUE(cfgText.contains("\r\n"));
    QStringList cfg = cfgText.split("\r\n");
    ASSERT_GE(cfg.size(), 2);
    const QStringList station = cfg[0].split(',');
    ASSERT_EQ(station.size(), 3);
    EXPECT_EQ(station[2], "1999");
    const QStringList counts = cfg[1].split(',');
    ASSERT_EQ(counts.size(), 3);
    const int total = counts[0].toInt();
    EXPECT_EQ(total, 9);
    EXPECT_EQ(counts[1], "9A");
    EXPECT_EQ(counts[2], "0D");
    std::vector<double> a(total), b(total);
    for (int c = 0; c < total; ++c) {
        const QStringList f = cfg[2 + c].split(',');
        ASSERT_EQ(f.size(), 13) << cfg[2 + c].toStdString();
        EXPECT_EQ(f[0].toInt(), c + 1);
        EXPECT_EQ(f[1], AnalysisChannelName(c));
        EXPECT_EQ(f[4], "V");
        a[c] = f[5].toDouble();
        b[c] = f[6].toDouble();
        EXPECT_EQ(f[12], "S");
    }
    int line = 2 + total;
    EXPECT_EQ(cfg[line++].toDouble(), 50.0);
    EXPECT_EQ(cfg[line++].toInt(), 1);
    const QStringList rate = cfg[line++].split(',');
    EXPECT_EQ(rate[0].toDouble(), 256 * 50.0);
    const int samples = rate[1].toInt();
    EXPECT_EQ(samples, 257);
    const QString stamp = QFileInfo(waveFile).fileName().left(13); // yyyymmdd-hhmm
    const QDateTime nameTime = QDateTime::fromString(stamp, "yyyyMMdd-HHmm");
    EXPECT_EQ(cfg[line++], nameTime.toString("dd/MM/yyyy,HH:mm:ss.000000"));
    line++;
    EXPECT_EQ(cfg[line++], "ASCII");
    EXPECT_EQ(cfg[line++].toDouble(), 1.0);

    const QStringList dat = readText(base + ".dat").split("\r\n", Qt::SkipEmptyParts);
    ASSERT_EQ(dat.size(), samples);
    for (int i = 0; i < samples; ++i) {
        const QStringList f = dat[i].split(',');
        ASSERT_EQ(f.size(), 2 + total);
        EXPECT_EQ(f[0].toInt(), i + 1);
        EXPECT_NEAR(f[1].toDouble(), i * 1e6 / 12800.0, 0.5);
        for (int c = 0; c < total; ++c) {
            const std::size_t cu = static_cast<std::size_t>(c);
            const int input =
                c < 3 ? (c == 1 ? 1 : 0) : 2 * ((c - 3) / 3) + 2 + ((c - 3) % 3 == 1 ? 1 : 0);
            const double volts = data.WaveData(cu, static_cast<std::size_t>(i)) *
                                 data.InputRange[static_cast<std::size_t>(input)] / 80.0;
            ASSERT_NEAR(a[cu] * f[2 + c].toDouble() + b[cu], volts, 1e-9)
                << "channel " << c << " sample " << i;
        }
    }

    // Primary values: voltages times the PT ratio, currents in amperes.
    ASSERT_EQ(runExportCommand({"--comtrade", waveFile, "--out", out, "--primary", "--pt", "100",
                                "--ct", "20,40", "--current-scale", "0.2"}),
              0);
    cfg = readText(base + ".cfg").split("\r\n");
    EXPECT_DOUBLE_EQ(cfg[2].split(',')[5].toDouble(), 20.0 / 80 * 100);
    EXPECT_EQ(cfg[2 + 6].split(',')[4], "A");
    EXPECT_DOUBLE_EQ(cfg[2 + 6].split(',')[5].toDouble(), 0.5 / 80 * 40 / 0.2); // I2-1
    EXPECT_EQ(cfg[2 + 6].split(',')[12], "P");

    // A damaged waveform file is refused.
    QFile raw(waveFile);
    ASSERT_TRUE(raw.resize(100));
    EXPECT_EQ(runExportCommand({"--comtrade", waveFile, "--out", out}), 1);
}

TEST_F(ExportTest, PlotPaintsTheTrend)
{
    ASSERT_EQ(runExportCommand({"--plot", settings.OutputFile, "--out", out, "--orders", "5,7"}),
              0);
    QImage image(out + "/0207.hv2.png");
    ASSERT_FALSE(image.isNull());
    EXPECT_EQ(image.size(), QSize(1200, 720));
    // The fundamental's line (first series colour) is painted in the upper panel.
    int blue = 0;
    for (int y = 50; y < 300; ++y)
        for (int x = 80; x < 1180; ++x)
            if (image.pixelColor(x, y) == QColor(0, 0, 170))
                ++blue;
    EXPECT_GT(blue, 200);

    ResultFile file;
    QString error;
    ASSERT_TRUE(ReadResultFile(settings.OutputFile, file, error));
    ExportSelection selection;
    selection.orders = {5, 7};
    const auto series = TrendDistortionSeries(file, selection);
    ASSERT_EQ(series.size(), 4u);
    EXPECT_NEAR(series[2].values[0], 6600.0 / 5 / 10 / 6600 * 100, 1e-4);
    double rss = 0;
    for (int k = 3; k <= 49; k += 2)
        rss += std::pow(100.0 / k, 2);
    EXPECT_NEAR(series[1].values[3], std::sqrt(rss) / 100 * 100, 1e-3);

    const AxisTicks ticks = NiceTicks(6600, 6605);
    EXPECT_DOUBLE_EQ(ticks.step, 1.0);
    EXPECT_DOUBLE_EQ(ticks.first, 6600);
    EXPECT_DOUBLE_EQ(ticks.last, 6605);
    EXPECT_DOUBLE_EQ(NiceTicks(0, 37).step, 10);
}
