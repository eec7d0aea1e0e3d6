#include "model/RecorderFacts.h"
#include "model/SettingsFile.h"
#include "support/BlockingFifo.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace hs;

namespace {

const QDateTime kNow(QDate(2004, 2, 2), QTime(11, 58, 42));

// The example of the settings file format, as an object the tests can change key by key.
QJsonObject exampleObject()
{
    return QJsonDocument::fromJson(R"({
      "recorders": [ { "address": "127.0.0.1", "port": 8802 } ],
      "MeasureType": 2, "SampleCount": 512, "SaveFormat": 1, "SaveOption": 3, "SyncMode": 0,
      "LastFeeder": 1, "PtRatio": 60, "CtRatio": [1, 1], "ClampRangeA": [2, 2],
      "SaveIntervalMin": 5, "PrintIntervalMin": 0, "FdSaveMode": 0, "FdSaveIntervalMin": 60,
      "StartDateTime": "+0", "EndDateTime": "+30",
      "OutputFile": "out/feeder.hv2", "SaveWaveforms": false,
      "RcComplement": [ { "row": 0, "R_kOhm": 1, "C_uF": 0.1 } ], "VConnection": []
    })")
        .object();
}

SettingsFileResult parse(const QJsonObject& o)
{
    return parseSettingsJson(QJsonDocument(o).toJson(), kNow);
}

// Parses the example with one key replaced (or removed when value is undefined).
SettingsFileResult withKey(const QString& key, const QJsonValue& value)
{
    QJsonObject o = exampleObject();
    if (value.isUndefined())
        o.remove(key);
    else
        o[key] = value;
    return parse(o);
}

RecorderFacts eightChannels()
{
    RecorderFacts f;
    f.RecorderModel = {8841, 0};
    for (std::size_t k = 0; k < 8; ++k)
        f.ChannelUnit[0][k] = 1;
    f.UsableChannelTotal = 8;
    return f;
}

} // namespace

TEST(SettingsFile, ExampleFileGivesEverySetting)
{
    const SettingsFileResult r = parse(exampleObject());
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    const MeasurementSettings& s = r.content.settings;
    ASSERT_EQ(r.content.recorders.size(), 1u);
    EXPECT_EQ(r.content.recorders[0].address, "127.0.0.1");
    EXPECT_EQ(r.content.recorders[0].port, 8802);
    EXPECT_EQ(s.MeasureType(), 2);
    EXPECT_EQ(s.SampleCount, 512);
    EXPECT_EQ(s.SampleCountLog2, 9);
    EXPECT_EQ(s.SaveFormat(), 1) << "given explicitly, kept with two feeders";
    EXPECT_EQ(s.SaveOption(), 3);
    EXPECT_EQ(s.MaxHarmonicOrder, 99);
    EXPECT_EQ(s.LastFeeder, 1);
    EXPECT_FLOAT_EQ(s.CurrentScale[0], 0.1f);
    EXPECT_FLOAT_EQ(s.CurrentScale[1], 0.1f);
    EXPECT_EQ(s.StartDateTime, QDateTime(QDate(2004, 2, 2), QTime(11, 58, 1)));
    EXPECT_EQ(s.EndDateTime, QDateTime(QDate(2004, 2, 2), QTime(12, 28, 1)));
    EXPECT_EQ(s.OutputFile, "out/feeder.hv2");
    EXPECT_EQ(s.OutputFolder, "out/");
    EXPECT_FALSE(s.SaveWaveforms);
    EXPECT_TRUE(s.RcRows[0].ticked);
    EXPECT_EQ(s.RcRows[0].rText, "1");
    EXPECT_EQ(s.RcRows[0].cText, "0.1");
    EXPECT_FALSE(s.RcRows[1].ticked);
    EXPECT_FALSE(r.content.channelMapExplicit);
}

TEST(SettingsFile, OtherFormsOfTheValues)
{
    QJsonObject o = exampleObject();
    o["recorders"] = QJsonArray{QJsonObject{{"address", "10.0.0.5"}},
                                QJsonObject{{"address", "10.0.0.6"}, {"port", 9000}}};
    o["MeasureType"] = 3;
    o["PhaseShift"] = 4;
    o["SaveOption"] = 4;
    o.remove("SampleCount");
    o["StartDateTime"] = "2004/02/03 08:00";
    o["EndDateTime"] = "2004/2/4 9:05";
    o["OutputFile"] = "/home/op/my.data/meas.txt";
    o.remove("ClampRangeA");
    o["ShuntOhm"] = QJsonArray{0.05};
    o["VConnection"] = QJsonArray{2};
    o["RcComplement"] =
        QJsonArray{QJsonObject{{"row", 2}, {"R_kOhm", 2.2}, {"C_uF", 0.047}, {"ticked", false}}};
    const SettingsFileResult r = parse(o);
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    const MeasurementSettings& s = r.content.settings;
    EXPECT_EQ(r.content.recorders[0].port, 8802) << "default port";
    EXPECT_EQ(r.content.recorders[1].port, 9000);
    EXPECT_EQ(s.PhaseShift(), 4);
    EXPECT_EQ(s.SampleCount, 1024) << "option 4 forces 1024";
    EXPECT_EQ(s.MaxHarmonicOrder, 256);
    EXPECT_TRUE(s.Orders256);
    EXPECT_EQ(s.StartDateTime, QDateTime(QDate(2004, 2, 3), QTime(8, 0, 1)));
    EXPECT_EQ(s.EndDateTime, QDateTime(QDate(2004, 2, 4), QTime(9, 5, 1)));
    EXPECT_EQ(s.OutputFile, "/home/op/my.data/meas.hn2");
    EXPECT_EQ(s.OutputFolder, "/home/op/my.data/");
    EXPECT_FLOAT_EQ(s.CurrentScale[0], 0.05f);
    EXPECT_FLOAT_EQ(s.CurrentScale[1], 0.1f);
    EXPECT_TRUE(s.VConnection[1]);
    EXPECT_FALSE(s.VConnection[0]);
    EXPECT_FALSE(s.RcRows[2].ticked);
    EXPECT_EQ(s.RcRows[2].rText, "2.2");
}

TEST(SettingsFile, MissingKeysTakeTheDefaults)
{
    const SettingsFileResult r =
        parseSettingsJson(R"({"recorders":[{"address":"127.0.0.1"}],"OutputFile":"m"})", kNow);
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    const MeasurementSettings& s = r.content.settings;
    const MeasurementSettings defaults;
    EXPECT_EQ(s.ModeTable, defaults.ModeTable);
    EXPECT_EQ(s.SampleCount, 512);
    EXPECT_EQ(s.PtRatio, 60);
    EXPECT_EQ(s.CtRatio, defaults.CtRatio);
    EXPECT_EQ(s.CurrentScale, defaults.CurrentScale);
    EXPECT_EQ(s.SaveIntervalMin, 5);
    EXPECT_EQ(s.FdSaveIntervalMin, 60);
    EXPECT_EQ(s.StartDateTime, QDateTime(QDate(2004, 2, 2), QTime(11, 58, 1)));
    EXPECT_EQ(s.EndDateTime, QDateTime(QDate(2004, 2, 3), QTime(11, 58, 1)));
    EXPECT_EQ(s.OutputFile, "m.hv1");
    EXPECT_EQ(s.OutputFolder, "");

    // Several feeders without a save format take 平均値 (0), as choosing them on the screen does.
    const SettingsFileResult several = parseSettingsJson(
        R"({"recorders":[{"address":"h"}],"OutputFile":"m","LastFeeder":2})", kNow);
    ASSERT_TRUE(several.ok);
    EXPECT_EQ(several.content.settings.SaveFormat(), 0);
}

TEST(SettingsFile, InvalidValuesAreRefusedNamingTheKey)
{
    struct Case {
        const char* key;
        QJsonValue value;
        const char* named;
    };
    const Case cases[] = {
        {"Colour", 1, "Colour"},
        {"MeasureType", 5, "MeasureType"},
        {"MeasureType", "2", "MeasureType"},
        {"SyncMode", 1.5, "SyncMode"},
        {"SampleCount", 300, "SampleCount"},
        {"SampleCountLog2", 10, "SampleCountLog2"},
        {"MaxHarmonicOrder", 256, "MaxHarmonicOrder"},
        {"SaveOption", 1, "SaveOption"}, // one feeder only, the example has two
        {"SaveFormat", 3, "SaveFormat"},
        {"PhaseShift", 0, "PhaseShift"}, // only with MeasureType 3
        {"LastFeeder", 9, "LastFeeder"},
        {"PtRatio", 0, "PtRatio"},
        {"PtRatio", 40000, "PtRatio"},
        {"CtRatio", QJsonArray{1, 32768}, "CtRatio[1]"},
        {"CtRatio", 1, "CtRatio"},
        {"ClampRangeA", QJsonArray{2, 0}, "ClampRangeA[1]"},
        {"ClampRangeA", QJsonArray{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}, "ClampRangeA"},
        {"CurrentScale", QJsonArray{0.1}, "CurrentScale"}, // together with ClampRangeA
        {"SaveIntervalMin", 0, "SaveIntervalMin"},
        {"PrintIntervalMin", -1, "PrintIntervalMin"},
        {"FdSaveMode", 6, "FdSaveMode"},
        {"StartDateTime", "2004/02/30 10:00", "StartDateTime"},
        {"StartDateTime", "tomorrow", "StartDateTime"},
        {"EndDateTime", "-5", "EndDateTime"},
        {"EndDateTime", "2004/02/01 10:00", "EndDateTime"}, // before the start
        {"OutputFile", "", "OutputFile"},
        {"OutputFile", QJsonValue(), "OutputFile"},
        {"OutputFile", "out/", "OutputFile"},
        {"SaveWaveforms", 1, "SaveWaveforms"},
        {"recorders", QJsonArray{}, "recorders"},
        {"recorders", QJsonArray{QJsonObject{{"address", "h"}, {"port", 70000}}},
         "recorders[0].port"},
        {"recorders", QJsonArray{QJsonObject{{"host", "h"}}}, "recorders[0].host"},
        {"RcComplement", QJsonArray{QJsonObject{{"row", 1}, {"R_kOhm", 0}, {"C_uF", 0.1}}},
         "RcComplement[0].R_kOhm"},
        {"RcComplement", QJsonArray{QJsonObject{{"row", 1}, {"R_kOhm", 1}}},
         "RcComplement[0].C_uF"},
        {"RcComplement",
         QJsonArray{QJsonObject{{"row", 1}, {"R_kOhm", 1}, {"C_uF", 1}},
                    QJsonObject{{"row", 1}, {"R_kOhm", 1}, {"C_uF", 1}}},
         "RcComplement[1].row"},
        {"VConnection", QJsonArray{10}, "VConnection[0]"},
        {"InputRecorder", QJsonArray{0, 0}, "InputRecorder"},
        {"InputChannel", QJsonArray{1, 17}, "InputChannel[1]"},
    };
    for (const Case& c : cases) {
        const SettingsFileResult r = withKey(QString::fromLatin1(c.key), c.value);
        EXPECT_FALSE(r.ok) << c.key;
        EXPECT_TRUE(r.error.startsWith(QString::fromLatin1(c.named) + ":"))
            << c.key << " gave: " << r.error.toStdString();
    }
    EXPECT_FALSE(withKey("recorders", QJsonValue()).ok);
}

TEST(SettingsFile, DuplicateKeysControlCharactersAndOverlongPathsAreRefused)
{
    // The example's text with more text put in front of its closing brace.
    auto withText = [](const QByteArray& more) {
        QByteArray json = QJsonDocument(exampleObject()).toJson(QJsonDocument::Compact);
        json.insert(json.lastIndexOf('}'), more);
        return parseSettingsJson(json, kNow);
    };
    auto refusedAs = [](const SettingsFileResult& r, const QString& key) {
        return !r.ok && r.error.startsWith(key + ": ")
                   ? testing::AssertionSuccess()
                   : testing::AssertionFailure() << r.error.toStdString();
    };
    EXPECT_TRUE(refusedAs(withText(R"(,"CtRatio":[5,5])"), "CtRatio"));
    EXPECT_TRUE(refusedAs(withText(R"(,"Ct\u0052atio":[5,5])"), "CtRatio")) << "escaped key";
    EXPECT_TRUE(refusedAs(
        withText(R"(,"VConnection":[1],"RcComplement":[{"row":1,"R_kOhm":1,"C_uF":1,"row":2}])"),
        "VConnection"))
        << "the first key given twice is named";
    EXPECT_TRUE(refusedAs(parseSettingsJson(R"({"recorders":[{"address":"h"}],"OutputFile":"m",
        "RcComplement":[{"row":1,"R_kOhm":1,"C_uF":1,"row":2}]})",
                                            kNow),
                          "RcComplement[0].row"));
    EXPECT_TRUE(refusedAs(parseSettingsJson(R"({"OutputFile":"m","recorders":[{"address":"h"},
        {"address":"h","port":1,"address":"\"}]"}]})",
                                            kNow),
                          "recorders[1].address"));
    // The same key in different objects, and brackets and quotes inside texts, are no duplicate.
    const SettingsFileResult two = parseSettingsJson(
        R"({"OutputFile":"a\"},{\"b","recorders":[{"address":"h"},{"address":"i"}]})", kNow);
    ASSERT_TRUE(two.ok) << two.error.toStdString();
    EXPECT_EQ(two.content.settings.OutputFile, "a\"},{\"b.hv1");

    EXPECT_TRUE(refusedAs(
        withKey("recorders",
                QJsonArray{QJsonObject{{"address", QString::fromLatin1("127.0.0.1\0x", 11)}}}),
        "recorders[0].address"));
    const SettingsFileResult tab = withKey("OutputFile", "out/a\tb.hv2");
    EXPECT_TRUE(refusedAs(tab, "OutputFile"));
    EXPECT_TRUE(tab.error.contains("U+0009")) << tab.error.toStdString();
    EXPECT_TRUE(refusedAs(withKey("OutputFolder", "wave\u0085/"), "OutputFolder"));

    // Paths: at most PATH_MAX - 1 bytes, each name at most NAME_MAX bytes (not characters).
    const SettingsFileResult huge = withKey("OutputFile", QString(50'000, 'a') + "/f.hv2");
    EXPECT_TRUE(refusedAs(huge, "OutputFile"));
    EXPECT_LT(huge.error.size(), 200);
    EXPECT_TRUE(withKey("OutputFile", "out/" + QString(251, 'n') + ".hv2").ok);
    EXPECT_TRUE(
        refusedAs(withKey("OutputFile", "out/" + QString(252, 'n') + ".hv2"), "OutputFile"));
    EXPECT_TRUE(refusedAs(withKey("OutputFile", QString(86, QChar(0x3042)) + ".hv2"), "OutputFile"))
        << "86 kana are 258 bytes";
    QJsonObject phases = exampleObject(); // a file per phase, one letter longer
    phases["MeasureType"] = 4;
    phases["OutputFile"] = "out/" + QString(251, 'n') + ".hv2";
    EXPECT_TRUE(refusedAs(parse(phases), "OutputFile"));
    QString deep;
    for (int i = 0; i < 25; ++i)
        deep += QString(200, 'd') + '/';
    EXPECT_TRUE(refusedAs(withKey("OutputFile", deep + "f.hv2"), "OutputFile"));
    EXPECT_TRUE(refusedAs(withKey("OutputFolder", deep), "OutputFolder"));
}

TEST(SettingsFile, BrokenOrMissingFilesAreRefused)
{
    EXPECT_FALSE(parseSettingsJson("{ \"recorders\": [", kNow).ok);
    EXPECT_FALSE(parseSettingsJson("[1, 2]", kNow).ok);
    const SettingsFileResult missing = readSettingsFile("/nonexistent/settings.json", kNow);
    EXPECT_FALSE(missing.ok);
    EXPECT_TRUE(missing.error.contains("/nonexistent/settings.json"));

    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QFile file(dir.filePath("s.json"));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(QJsonDocument(exampleObject()).toJson());
    file.close();
    EXPECT_TRUE(readSettingsFile(file.fileName(), kNow).ok);

    // Neither a FIFO nor a file of megabytes is read: the one would block for good, the other
    // fill memory.
    test::BlockingFifo fifo(dir.filePath("fifo.json"));
    ASSERT_TRUE(fifo.made());
    EXPECT_FALSE(readSettingsFile(dir.filePath("fifo.json"), kNow).ok);
    EXPECT_FALSE(fifo.readerBlocked());
    QFile big(dir.filePath("big.json"));
    ASSERT_TRUE(big.open(QIODevice::WriteOnly));
    big.write(QByteArray(2 * 1024 * 1024, ' ') + QJsonDocument(exampleObject()).toJson());
    big.close();
    const SettingsFileResult tooLarge = readSettingsFile(big.fileName(), kNow);
    EXPECT_FALSE(tooLarge.ok);
    EXPECT_TRUE(tooLarge.error.contains("larger than")) << qPrintable(tooLarge.error);
}

namespace {

QString sourceDir()
{
    const QByteArray root = qgetenv("HS_SOURCE_DIR");
    return root.isEmpty() ? QFileInfo(QStringLiteral(__FILE__)).absolutePath() + "/../.."
                          : QString::fromLocal8Bit(root);
}

} // namespace

TEST(SettingsFile, ReadmeExampleIsAValidFile)
{
    QFile readme(sourceDir() + "/README.md");
    ASSERT_TRUE(readme.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(readme.readAll());
    const qsizetype section = text.indexOf("## Settings files for `measure`");
    ASSERT_GE(section, 0);
    const qsizetype start = text.indexOf("```json\n", section);
    ASSERT_GE(start, 0);
    const qsizetype end = text.indexOf("```", start + 8);
    const QString json = text.mid(start + 8, end - start - 8);
    const SettingsFileResult r = parseSettingsJson(json.toUtf8(), kNow);
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.content.recorders.size(), 2u);
    // A start two minutes ahead: the first run measures every save time of its period.
    EXPECT_EQ(r.content.settings.StartDateTime, QDateTime(QDate(2004, 2, 2), QTime(12, 0, 1)));
    EXPECT_EQ(r.content.settings.EndDateTime, QDateTime(QDate(2004, 2, 3), QTime(12, 0, 1)));
    EXPECT_FLOAT_EQ(r.content.settings.CurrentScale[2], 0.01f);
    EXPECT_TRUE(r.content.settings.VConnection[2]);
}

TEST(SettingsFile, DemoSettingsOfTheRepository)
{
    const QString path = sourceDir() + "/examples/demo-settings.json";
    SettingsFileResult r = readSettingsFile(path, kNow);
    ASSERT_TRUE(r.ok) << r.error.toStdString();
    EXPECT_EQ(r.content.settings.feederCount(), 3);
    EXPECT_EQ(r.content.settings.OutputFile, "demo-out/feeder.hv3");
    EXPECT_EQ(r.content.settings.EndDateTime, QDateTime(QDate(2004, 2, 2), QTime(12, 28, 1)));
    EXPECT_TRUE(applyChannelMap(r.content, eightChannels()).isEmpty());
    EXPECT_EQ(r.content.settings.InputChannel[7], 8);
}

TEST(SettingsFile, ChannelMapIsBuiltOrCheckedOnceTheRecordersAreKnown)
{
    SettingsFileResult r = withKey("LastFeeder", 2);
    ASSERT_TRUE(r.ok);
    RecorderFacts facts = eightChannels();
    EXPECT_TRUE(applyChannelMap(r.content, facts).isEmpty());
    for (int k = 0; k < 8; ++k)
        EXPECT_EQ(r.content.settings.InputChannel[static_cast<std::size_t>(k)], k + 1);
    EXPECT_EQ(r.content.settings.InputChannel[8], 0);

    SettingsFileResult tooMany = withKey("LastFeeder", 3);
    ASSERT_TRUE(tooMany.ok);
    EXPECT_TRUE(applyChannelMap(tooMany.content, facts).startsWith("LastFeeder:"));

    SettingsFileResult given = withKey("InputChannel", QJsonArray{1, 2, 5, 6, 7, 8});
    ASSERT_TRUE(given.ok) << given.error.toStdString();
    EXPECT_TRUE(given.content.channelMapExplicit);
    EXPECT_TRUE(applyChannelMap(given.content, facts).isEmpty());
    EXPECT_EQ(given.content.settings.InputChannel[2], 5);
    EXPECT_EQ(given.content.settings.InputChannel[6], 0);
    facts.ChannelUnit[0][4] = 0; // channel 5 has no usable unit
    EXPECT_TRUE(applyChannelMap(given.content, facts).startsWith("InputChannel[2]:"));

    SettingsFileResult short_ = withKey("InputChannel", QJsonArray{1, 2, 3});
    ASSERT_TRUE(short_.ok);
    EXPECT_TRUE(applyChannelMap(short_.content, eightChannels()).startsWith("InputChannel[3]:"));
}

// What the settings screen saves, measure reads back to the same settings.
TEST(SettingsFile, AWrittenSetUpReadsBackTheSame)
{
    MeasurementSettings s;
    s.LastFeeder = 1;
    s.MeasureType() = 3;
    s.PhaseShift() = 0;
    s.SaveFormat() = 0;
    s.SyncMode = 2;
    s.PtRatio = -60;
    s.CtRatio = {5, 7, 1, 1, 1, 1, 1, 1, 1};
    s.CurrentScale = {0.2f / 3.0f, 0.04f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f, 0.1f};
    s.InputChannel = {1, 2, 3, 4, 5, 6};
    s.InputRecorder = {0, 0, 0, 0, 1, 1};
    s.PrintIntervalMin = 15;
    s.StartDateTime = QDateTime(QDate(2004, 2, 2), QTime(23, 59, 1));
    s.EndDateTime = QDateTime(QDate(2004, 2, 3), QTime(0, 1, 1));
    s.OutputFile = QStringLiteral("/data/feeders.hv2");
    s.OutputFolder = QStringLiteral("/data/");
    s.SaveWaveforms = true;
    s.RcRows[1] = RcRow{true, QStringLiteral("2.2"), QStringLiteral("0.047")};
    s.VConnection[1] = true;

    const QByteArray json =
        settingsJson(s, {{QStringLiteral("10.0.0.5"), 8802}, {QStringLiteral("10.0.0.6"), 8812}});
    const SettingsFileResult read = parseSettingsJson(json, kNow);
    ASSERT_TRUE(read.ok) << qPrintable(read.error);
    const MeasurementSettings& r = read.content.settings;
    EXPECT_TRUE(read.content.channelMapExplicit);
    ASSERT_EQ(read.content.recorders.size(), 2u);
    EXPECT_EQ(read.content.recorders[1].address, QStringLiteral("10.0.0.6"));
    EXPECT_EQ(read.content.recorders[1].port, 8812);
    EXPECT_EQ(r.ModeTable, s.ModeTable);
    EXPECT_EQ(r.SampleCount, s.SampleCount);
    EXPECT_EQ(r.SyncMode, 2);
    EXPECT_EQ(r.PtRatio, -60);
    EXPECT_EQ(r.CtRatio, s.CtRatio);
    EXPECT_EQ(r.CurrentScale, s.CurrentScale) << "floats back bit for bit";
    EXPECT_EQ(r.InputChannel, s.InputChannel);
    EXPECT_EQ(r.InputRecorder, s.InputRecorder);
    EXPECT_EQ(r.PrintIntervalMin, 15);
    EXPECT_EQ(r.StartDateTime, s.StartDateTime);
    EXPECT_EQ(r.EndDateTime, s.EndDateTime);
    EXPECT_EQ(r.OutputFile, s.OutputFile);
    EXPECT_EQ(r.OutputFolder, s.OutputFolder);
    EXPECT_TRUE(r.SaveWaveforms);
    EXPECT_TRUE(r.RcRows[1].ticked);
    EXPECT_EQ(r.RcRows[1].rText, QStringLiteral("2.2"));
    EXPECT_EQ(r.RcRows[1].cText, QStringLiteral("0.047"));
    EXPECT_FALSE(r.RcRows[0].ticked);
    EXPECT_EQ(r.VConnection, s.VConnection);
}
