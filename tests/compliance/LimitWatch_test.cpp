#include "compliance/LimitWatch.h"

#include "files/ResultFormat.h"
#include "model/MeasurementData.h"
#include "support/RecordingObserver.h"

#include <QFile>
#include <QJsonArray>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

// The watch reads each saved record back from the result file: a feeder whose 5th order goes
// over its limit is reported once when it goes over, not again while it stays over, and again
// after it came back under; every report passes on unchanged; a save whose record did not
// reach the file checks nothing (the previous record is not counted twice).
TEST(LimitWatch, ReportsEachGoingOverOnceFromTheSavedRecords)
{
    QTemporaryDir dir;
    hs::MeasurementSettings settings;
    settings.SaveOption() = 3;
    settings.LastFeeder = 0;
    settings.OutputFile = dir.filePath(QStringLiteral("run.hv1"));
    hs::MeasurementData data;
    data.sizeForMeasurement(settings);
    data.IntVoltByOrder[1] = 6600;
    data.IntCurByOrder(0, 1) = 200;

    hs::LimitSelection selection{hs::builtInProfile(QStringLiteral("jp-guideline")).value(), {}};
    selection.params.kv = 6.6;
    selection.params.contractKw = {2400}; // 8.4 A on the 5th order
    hs::testing::RecordingObserver next;
    hs::LimitWatch watch(selection, settings, &next);

    const QDateTime start(QDate(2026, 12, 7), QTime(10, 0));
    const float fifth[] = {4, 12, 12, 4, 12};
    for (int i = 0; i < 5; ++i) {
        const QDateTime t = start.addSecs(300 * (i + 1));
        data.IntCurByOrder(0, 5) = fifth[i];
        QFile file(settings.OutputFile);
        ASSERT_TRUE(file.open(QIODevice::Append));
        file.write(hs::BuildResultRecord(settings, data, 1, t));
        file.close();
        watch.runEvent({hs::run::RecordSaved{t}, {}, {}});
    }
    // A save time whose record is not in the file.
    watch.runEvent({hs::run::RecordSaved{start.addSecs(1800)}, {}, {}});

    EXPECT_EQ(next.count<hs::run::RecordSaved>(), 6);
    const auto over = next.eventsOf<hs::run::LimitExceeded>();
    ASSERT_EQ(over.size(), 2u);
    const auto* first = over[0].as<hs::run::LimitExceeded>();
    EXPECT_EQ(first->saveTime, start.addSecs(600));
    EXPECT_EQ(first->feeder, 1);
    EXPECT_EQ(first->order, 5);
    EXPECT_FLOAT_EQ(first->value, 12.0f);
    EXPECT_DOUBLE_EQ(first->limit, 8.4);
    EXPECT_EQ(first->unit, QStringLiteral("A"));
    EXPECT_EQ(over[0].text, QStringLiteral("2026/12/07 10:10 限度値超過 フィーダ1 5次 12.00A (限度値 8.40A)"));
    EXPECT_EQ(over[1].as<hs::run::LimitExceeded>()->saveTime, start.addSecs(1500));

    const QJsonObject panel = watch.toJson();
    EXPECT_EQ(panel.value(QStringLiteral("records")).toInt(), 5);
    const QJsonObject feeder = panel.value(QStringLiteral("subjects")).toArray()[1].toObject();
    EXPECT_EQ(feeder.value(QStringLiteral("exceedances")).toArray().size(), 3);
    EXPECT_EQ(feeder.value(QStringLiteral("worst")).toObject().value(QStringLiteral("order")).toInt(), 5);
}

} // namespace
