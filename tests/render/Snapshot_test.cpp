#include "render/Snapshot.h"

#include "app/MeasureCommand.h"
#include "common/Clock.h"
#include "model/EngineObserver.h"
#include "model/MeasurementData.h"
#include "model/MeasurementSettings.h"
#include "render/Canvas.h"
#include "sim/Scenario.h"
#include "sim/SimServer.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageReader>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace hs {
namespace {

// How many pixels of the image have exactly this colour.
int count(const QImage& image, const QColor& colour)
{
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            n += image.pixelColor(x, y) == colour;
    return n;
}

QImage readPng(const QString& path)
{
    QImageReader reader(path);
    EXPECT_EQ(reader.format(), QByteArray("png")) << qPrintable(path);
    return reader.read();
}

TEST(Snapshot, FileNamesSayViewAndFeeder)
{
    EXPECT_EQ(SnapshotFileName(1, 1), QStringLiteral("view1-graph-F1.png"));
    EXPECT_EQ(SnapshotFileName(2, 1), QStringLiteral("view2-sum-F1.png"));
    EXPECT_EQ(SnapshotFileName(5, 2), QStringLiteral("view5-angles-F2.png"));
    EXPECT_EQ(SnapshotFileName(6, 2), QStringLiteral("view6-waveforms-F2.png"));
    EXPECT_EQ(SnapshotFileName(7, 1), QStringLiteral("view7-distortion-F1.png"));
    EXPECT_EQ(SnapshotFileName(8, 3), QStringLiteral("view8-both-F3.png"));
    EXPECT_EQ(SnapshotFileName(9, 9), QStringLiteral("view9-vectors-F9.png"));
}

TEST(Snapshot, EveryPictureViewOfEveryFeederAsPng)
{
    MeasurementSettings settings;
    settings.MeasureType() = 2;
    settings.LastFeeder = 2;
    MeasurementData data;
    data.sizeForPreparation(settings);
    data.sizeForMeasurement(settings);
    data.VoltRatioMax = 2;
    data.VoltRatio[5] = 2;

    QTemporaryDir dir;
    const QString folder = dir.path() + QStringLiteral("/made/on/demand");
    const SnapshotResult result = WriteSnapshot(folder, settings, data, QSize(640, 360));
    EXPECT_TRUE(result.error.isEmpty()) << qPrintable(result.error);
    ASSERT_EQ(result.written.size(), 27);
    for (int f = 1; f <= 3; ++f)
        for (int view = 1; view <= 9; ++view) {
            const QString path = folder + QLatin1Char('/') + SnapshotFileName(view, f);
            EXPECT_TRUE(result.written.contains(path)) << qPrintable(path);
            const QImage image = readPng(path);
            if (view >= 2 && view <= 5) {
                // Every row of the grids, 18 pixels each: header, 49 or 50 orders, the total
                // row, and (not in view 5) the RMS row.
                EXPECT_EQ(image.height(), (view == 5 ? 51 : 52) * 18 + 1) << qPrintable(path);
                EXPECT_GT(count(image, QColor(192, 192, 192)), 1000) << qPrintable(path);
            } else {
                EXPECT_EQ(image.size(), QSize(640, 372)) << qPrintable(path); // with the band
            }
        }
    // The voltage bar of order 5 is in the graph picture.
    EXPECT_GT(count(readPng(folder + QStringLiteral("/view1-graph-F2.png")),
                    PaletteColour(palette::Blue)),
              100);
    // Only the picture files are left: no temporary files.
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 27);
    // The table cells are written: the voltage of feeder 2's sum view changes the picture.
    const QImage before = readPng(folder + QStringLiteral("/view2-sum-F2.png"));
    data.VoltByOrder[1] = 6600;
    ASSERT_TRUE(WriteSnapshot(folder, settings, data, QSize(640, 360)).error.isEmpty());
    EXPECT_NE(readPng(folder + QStringLiteral("/view2-sum-F2.png")), before);
    EXPECT_EQ(readPng(folder + QStringLiteral("/view9-vectors-F2.png")).size(), QSize(640, 372));
}

TEST(Snapshot, AFolderThatCannotBeMadeIsReportedAndTheRunGoesOn)
{
    QTemporaryDir dir;
    QFile blocker(dir.path() + QStringLiteral("/file"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    MeasurementSettings settings;
    MeasurementData data;
    const SnapshotResult result =
        WriteSnapshot(blocker.fileName() + QStringLiteral("/sub"), settings, data);
    EXPECT_TRUE(result.written.isEmpty());
    EXPECT_FALSE(result.error.isEmpty());

    struct Messages : EngineObserver {
        QStringList texts;
        void message(const QString& text, const MessageSeverity&) override { texts << text; }
    } observer;
    SaveSnapshot(blocker.fileName() + QStringLiteral("/sub"), settings, data, observer);
    ASSERT_EQ(observer.texts.size(), 1);
    EXPECT_TRUE(observer.texts[0].startsWith(QStringLiteral("snapshot: ")));
    SaveSnapshot(QString(), settings, data, observer); // no folder: nothing to do
    EXPECT_EQ(observer.texts.size(), 1);
}

TEST(Snapshot, MeasureOption)
{
    QString error;
    auto o = parseMeasureOptions({QStringLiteral("--settings"), QStringLiteral("s.json"),
                                  QStringLiteral("--snapshot"), QStringLiteral("pics")},
                                 &error);
    ASSERT_TRUE(o);
    EXPECT_EQ(o->snapshotDir, QStringLiteral("pics"));
    o = parseMeasureOptions(
        {QStringLiteral("--settings"), QStringLiteral("s.json"), QStringLiteral("--snapshot")},
        &error);
    EXPECT_FALSE(o);
    EXPECT_TRUE(error.contains(QStringLiteral("--snapshot")));
    EXPECT_TRUE(measureHelp().contains(QStringLiteral("--snapshot DIR")));
}

// `measure --snapshot` against the simulated recorders: ten simulated minutes with two
// feeders leave the pictures of the last shot.
TEST(Snapshot, MeasureWritesThePicturesOfTheLastShot)
{
    constexpr double kScale = 0.002;
    Clock clock(kScale);
    sim::SimServer sim(clock, sim::Scenario::defaultScenario(), 1);
    QString error;
    ASSERT_TRUE(sim.listen(0, QHostAddress::LocalHost, 0, &error)) << qPrintable(error);

    QTemporaryDir dir;
    const QString settings = dir.path() + QStringLiteral("/settings.json");
    QFile file(settings);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral(R"({
  "recorders": [ { "address": "127.0.0.1", "port": %1 } ],
  "MeasureType": 2, "LastFeeder": 1, "SampleCount": 512, "SaveFormat": 1, "SaveOption": 3,
  "SyncMode": 0, "PtRatio": 60, "CtRatio": [1, 1], "CurrentScale": [0.1, 0.1],
  "SaveIntervalMin": 5, "StartDateTime": "+0", "EndDateTime": "+10",
  "OutputFile": "%2"
})")
                   .arg(sim.port(0))
                   .arg(dir.path() + QStringLiteral("/out/run.hv2"))
                   .toUtf8());
    file.close();

    const QString pictures = dir.path() + QStringLiteral("/pictures");
    const int status =
        runMeasureCommand({QStringLiteral("--settings"), settings, QStringLiteral("--time-scale"),
                           QString::number(kScale), QStringLiteral("--snapshot"), pictures,
                           QStringLiteral("--quiet")});
    // At this time scale drawing the pictures after a save takes minutes of station time, so a
    // save interval may pass without a shot: the run then says so with status 3.
    ASSERT_TRUE(status == kMeasureComplete || status == kMeasureIncomplete) << status;

    QStringList expected;
    for (int f = 1; f <= 2; ++f)
        for (int view = 1; view <= 9; ++view)
            expected << SnapshotFileName(view, f);
    expected.sort();
    EXPECT_EQ(QDir(pictures).entryList(QDir::Files, QDir::Name), expected);
    for (const QString& name : expected) {
        const QImage image = readPng(pictures + QLatin1Char('/') + name);
        if (name.contains(QStringLiteral("graph")) || name.contains(QStringLiteral("vectors")))
            EXPECT_EQ(image.size(), QSize(1280, 744)) << qPrintable(name);
        else
            EXPECT_FALSE(image.isNull()) << qPrintable(name);
    }
    // The scenario's voltage harmonics (blue odd orders) and the feeder's phase angles.
    const QImage graph = readPng(pictures + QStringLiteral("/view1-graph-F1.png"));
    EXPECT_GT(count(graph, PaletteColour(palette::Blue)), 500);
    const QImage vectors = readPng(pictures + QStringLiteral("/view9-vectors-F2.png"));
    EXPECT_GT(count(vectors, PaletteColour(palette::LightGreen)), 50);
}

} // namespace
} // namespace hs
