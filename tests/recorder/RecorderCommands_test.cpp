#include "recorder/RecorderCommands.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

using namespace hs;

namespace {

std::string s(const QString& text)
{
    return text.toStdString();
}

} // namespace

TEST(RecorderCommands, FixedCommandLines)
{
    const std::pair<QString, const char*> lines[] = {
        {cmd::clearStatus(), "*CLS"},
        {cmd::identify(), "*IDN?"},
        {cmd::options(), "*OPT?"},
        {cmd::reset(), "*RST"},
        {cmd::idleSetup(), ":DISP:CHAN DISP;:FUNM MEM;:CONF:TDIV 5E-4;SHOT 50"},
        {cmd::headerOff(), ":HEAD OFF"},
        {cmd::autoSetup(), ":AUTO"},
        {cmd::abort(), ":ABORT"},
        {cmd::triggerKindChannel1Off(), ":TRIG:KIND CH 1,OFF"},
        {cmd::configureMeasurement(true), ":CONF:TDIV +500E-6;SHOT 100;FORM QUAD;:DISP:XMAG X1_5"},
        {cmd::configureMeasurement(false), ":CONF:TDIV +500E-6;SHOT 100;FORM DUAL;:DISP:XMAG X1_5"},
        {cmd::triggerModeSingle(), ":TRIG:MODE SING;PRET 2"},
        {cmd::triggerKindCh1Level(), ":TRIG:KIND CH1,LEVE"},
        {cmd::triggerExternalOn(), ":TRIG:EXTE ON"},
        {cmd::triggerKindCh1Off(), ":TRIG:KIND CH1,OFF"},
        {cmd::unitAdjust(), ":UNIT:ADJUST"},
        {cmd::start(), ":STAR"},
        {cmd::memMaxPoint(), ":MEM:MAXP?"},
        {cmd::memAsciiData(), ":MEM:ADAT? 40"},
        {cmd::print(), ":PRIN"},
        {cmd::listGauge(), ":SYST:LIST GAUGE"},
        {cmd::configureShot50(), ":CONF:TDIV +500E-6;SHOT 50"},
        {cmd::configureShot100(), ":CONF:TDIV +500E-6;SHOT 100"},
        {cmd::fdiskModeOn(), ":FDISK:MODE ON"},
        {cmd::fdiskMediaFd(), ":FDISK:MEDIA FD"},
        {cmd::fdiskModeOff(), ":FDISK:MODE OFF"},
    };
    for (const auto& [line, expected] : lines)
        EXPECT_EQ(s(line), expected);
}

TEST(RecorderCommands, ArgumentsInSpacedAndPlainForms)
{
    const std::pair<QString, const char*> lines[] = {
        {cmd::memPoint(3, 400, true), ":MEM:POIN CH 3, 400"},
        {cmd::memPoint(3, 0, false), ":MEM:POIN CH3,0"},
        {cmd::memPoint(12, 4150, true), ":MEM:POIN CH 12, 4150"},
        {cmd::memPoint(16, 0, true), ":MEM:POIN CH 16, 0"},
        {cmd::memBinaryData(125), ":MEM:BDAT? 125"},
        {cmd::memBinaryData(200), ":MEM:BDAT? 200"},
        {cmd::memBinaryData(100), ":MEM:BDAT? 100"},
        {cmd::displayDraw(1, cmd::DrawMode::Norm), ":DISP:DRAW CH 1,NORM"},
        {cmd::displayDraw(2, cmd::DrawMode::Dark), ":DISP:DRAW CH 2,DARK"},
        {cmd::displayDraw(9, cmd::DrawMode::Off), ":DISP:DRAW CH 9,OFF"},
        {cmd::displayDraw(10, cmd::DrawMode::C4), ":DISP:DRAW CH 10,C4"},
        {cmd::displayDraw(3, cmd::DrawMode::C1), ":DISP:DRAW CH 3,C1"},
        {cmd::unitPosition(4), ":UNIT:POSI CH 4,50"},
        {cmd::triggerKindOff(5), ":TRIG:KIND CH 5,OFF"},
        {cmd::displayGraph(3, 2), ":DISP:GRAP CH 3, 2"},
        {cmd::triggerKindLevel(1), ":TRIG:KIND CH1,LEVE"},
        {cmd::triggerLevelSlope(3), ":TRIG:LEVE CH 3,0 ;SLOP CH 3,UP"},
        {cmd::unitRange(3, 0.5), ":UNIT:RANG CH 3, .5"},
        {cmd::unitRange(11, static_cast<double>(0.005f)), ":UNIT:RANG CH 11, .005"},
        {cmd::unitRange(1, 20), ":UNIT:RANG CH 1, 20"},
        {cmd::displayYMag(3, 4), ":DISP:YMAG CH 3,X1_ 4"},
        {cmd::displayYMag(3, 0.5), ":DISP:YMAG CH 3,X1_ .5"},
        {cmd::unitRangeQuery(7), ":UNIT:RANG? CH 7"},
        {cmd::displayYMagQuery(14), ":DISP:YMAG? CH 14"},
        {cmd::systemDate(QDate(2004, 2, 7)), ":SYST:DATE 4,2,7"},
        {cmd::systemDate(QDate(2012, 11, 30)), ":SYST:DATE 12,11,30"},
        {cmd::systemTime(QTime(9, 5, 3)), ":SYST:TIME 9,5,3"},
        {cmd::systemTime(QTime(0, 0, 0)), ":SYST:TIME 0,0,0"},
        {cmd::fdiskEnable(0), ":FDISK:MODE ON"},
        {cmd::fdiskEnable(1), ":FDISK:MEDIA FD"},
        {cmd::fdiskEnable(2), ":FDISK:MEDIA FD"},
        {cmd::fdiskSave("07D9H05.WAV", 0, 5), ":FDISK:SAVE \"07D9H05.WAV\",W,ALL"},
        {cmd::fdiskSave("07D14H30.WAV", 1, 3), ":FDISK:SAVE \"07D14H30.WAV\",Bin,CH 3"},
    };
    for (const auto& [line, expected] : lines)
        EXPECT_EQ(s(line), expected);
}

TEST(RecorderCommands, IdentificationAndOptionReplies)
{
    EXPECT_EQ(cmd::parseModel(u"HIOKI,8841,0,V1.00\n"), 8841);
    EXPECT_EQ(cmd::parseModel(u"HIOKI,8840,0,V2.10\n"), 8840);
    EXPECT_EQ(cmd::parseModel(u"HIOKI, 8835\n"), 883); // characters 7..10 only
    EXPECT_EQ(cmd::parseModel(u""), 0);                // timed out
    EXPECT_EQ(cmd::parseModel(u"HIOKI\n"), 0);
    EXPECT_EQ(cmd::parseModel(u"HIOKI,ABCD\n"), 0);
    EXPECT_EQ(cmd::parseModel(u"HIOKI,9E99\n"), 0); // no int16: not a model
    EXPECT_EQ(cmd::parseModel(u"HIOKI,88.5,\n"), 88);
    EXPECT_EQ(cmd::modelClassOf(8840), 0);
    EXPECT_EQ(cmd::modelClassOf(8835), 2);
    EXPECT_EQ(cmd::modelClassOf(8841), 1);
    EXPECT_EQ(cmd::modelClassOf(0), 1);

    const auto codes = cmd::parseUnitCodes(u"1,1,4,4,7,0\n");
    const std::array<std::int16_t, 16> expected{1, 1, 4, 4, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(codes, expected);
    const auto full = cmd::parseUnitCodes(u"1,2,3,4,5,6,7,8,9,1,2,3,4,5,6,7\n");
    EXPECT_EQ(full[0], 1);
    EXPECT_EQ(full[8], 9);
    EXPECT_EQ(full[15], 7);
    EXPECT_EQ(cmd::parseUnitCodes(u""), (std::array<std::int16_t, 16>{}));
    // A reply cut after the line feed position: the line feed and padding read as 0.
    const auto shortReply = cmd::parseUnitCodes(u"4\n");
    EXPECT_EQ(shortReply[0], 4);
    EXPECT_EQ(shortReply[1], 0);
    EXPECT_EQ(cmd::parseUnitCodes(u"X,-,.,7")[3], 7);
}

TEST(RecorderCommands, RangeMagnificationAndCountReplies)
{
    EXPECT_DOUBLE_EQ(cmd::parseRangeReply(u"CH3, 20\n", 3), 20.0);
    EXPECT_DOUBLE_EQ(cmd::parseRangeReply(u"CH3,+5.000E-03\n", 3), 0.005);
    EXPECT_DOUBLE_EQ(cmd::parseRangeReply(u"CH12,.5\n", 12), 0.5);
    EXPECT_DOUBLE_EQ(cmd::parseRangeReply(u"CH12,.5\n", 2), 0.0); // position 5 is ","
    EXPECT_DOUBLE_EQ(cmd::parseRangeReply(u"", 3), 0.0);
    EXPECT_DOUBLE_EQ(cmd::parseRangeReply(u"CH3", 3), 0.0);

    EXPECT_EQ(cmd::parseMagnificationReply(u"CH3,X1_2\n"), 2.0);
    EXPECT_EQ(cmd::parseMagnificationReply(u"X1_4\n"), 4.0);
    EXPECT_EQ(cmd::parseMagnificationReply(u"X2\n"), 0.5);
    EXPECT_EQ(cmd::parseMagnificationReply(u"X1\n"), 1.0);
    EXPECT_EQ(cmd::parseMagnificationReply(u"CH 3,X5\n"), 0.2);
    EXPECT_EQ(cmd::parseMagnificationReply(u"OFF\n"), std::nullopt);
    EXPECT_EQ(cmd::parseMagnificationReply(u""), std::nullopt);
    EXPECT_EQ(cmd::parseMagnificationReply(u"X\n"), std::nullopt);   // 1 / 0
    EXPECT_EQ(cmd::parseMagnificationReply(u"X1_\n"), std::nullopt); // divisor 0
    EXPECT_EQ(cmd::parseMagnificationReply(u"X-2\n"), std::nullopt);

    EXPECT_DOUBLE_EQ(cmd::parseMaxPoint(u"5000\n"), 5000.0);
    EXPECT_DOUBLE_EQ(cmd::parseMaxPoint(u" +5.001E+03\n"), 5001.0);
    EXPECT_DOUBLE_EQ(cmd::parseMaxPoint(u""), 0.0);
    EXPECT_DOUBLE_EQ(cmd::parseMaxPoint(u"ERR\n"), 0.0);
}

namespace {

QString asciiReply(const std::vector<int>& values, const char* end = "\n")
{
    QStringList parts;
    for (int v : values)
        parts << QString::number(v);
    return parts.join(u',') + QLatin1String(end);
}

} // namespace

TEST(RecorderCommands, AsciiDataReplies)
{
    std::vector<int> raw(40);
    for (int k = 0; k < 40; ++k)
        raw[static_cast<std::size_t>(k)] = k * 100; // 0..3900
    const auto class0 = cmd::parseAsciiData(asciiReply(raw), 0);
    ASSERT_TRUE(class0.has_value());
    EXPECT_EQ((*class0)[0], -2048);
    EXPECT_EQ((*class0)[39], 3900 - 2048);

    std::vector<int> signedValues(40);
    for (int k = 0; k < 40; ++k)
        signedValues[static_cast<std::size_t>(k)] = (k - 20) * 100;
    const auto class1 = cmd::parseAsciiData(asciiReply(signedValues, "\r\n"), 1);
    ASSERT_TRUE(class1.has_value());
    EXPECT_EQ((*class1)[0], -2000);
    EXPECT_EQ((*class1)[39], 1900);
    EXPECT_TRUE(cmd::parseAsciiData(QLatin1String("\n") + asciiReply(signedValues), 2));

    // Bad replies.
    std::vector<int> thirtyNine(raw.begin(), raw.end() - 1);
    std::vector<int> fortyOne(raw);
    fortyOne.push_back(1);
    EXPECT_FALSE(cmd::parseAsciiData(asciiReply(thirtyNine), 0));
    EXPECT_FALSE(cmd::parseAsciiData(asciiReply(fortyOne), 0));
    EXPECT_FALSE(cmd::parseAsciiData(asciiReply(raw, ""), 0)); // no line feed yet
    EXPECT_FALSE(cmd::parseAsciiData(asciiReply(raw, ",\n"), 0));
    EXPECT_FALSE(cmd::parseAsciiData(u"", 0));
    EXPECT_FALSE(cmd::parseAsciiData(u"\n", 0));
    EXPECT_FALSE(cmd::parseAsciiData(asciiReply(signedValues), 0)); // negative raw for class 0
    std::vector<int> tooLarge(raw);
    tooLarge[5] = 4096;
    EXPECT_FALSE(cmd::parseAsciiData(asciiReply(tooLarge), 0));
    EXPECT_FALSE(cmd::parseAsciiData(asciiReply(raw), 1)); // 3900 is no signed 12-bit value
    QString withText = asciiReply(raw);
    withText.replace(QStringLiteral(",300,"), QStringLiteral(",3O0,"));
    EXPECT_FALSE(cmd::parseAsciiData(withText, 0));
}

TEST(RecorderCommands, SampleEncodingsByModelClass)
{
    // The bytes 0x08 0x00: mid-scale for offset binary, most negative for two's complement.
    EXPECT_EQ(cmd::decodeSample(0x08, 0x00, 0), 0);
    EXPECT_EQ(cmd::decodeSample(0x08, 0x00, 1), -2048);
    EXPECT_EQ(cmd::decodeSample(0x08, 0x00, 2), -2048);
    EXPECT_EQ(cmd::decodeSample(0x0F, 0xFF, 0), 2047);
    EXPECT_EQ(cmd::decodeSample(0x00, 0x00, 0), -2048);
    EXPECT_EQ(cmd::decodeSample(0x07, 0xFF, 1), 2047);
    EXPECT_EQ(cmd::decodeSample(0x0F, 0xFF, 1), -1);
    // Bits 4..7 of the high byte carry nothing.
    EXPECT_EQ(cmd::decodeSample(0xF8, 0x00, 0), 0);
    EXPECT_EQ(cmd::decodeSample(0xA7, 0x10, 1), 0x710);
    EXPECT_EQ(cmd::decodeSample(0x58, 0x01, 2), -2047);

    for (int cls = 0; cls <= 2; ++cls) {
        for (int v = -2048; v <= 2047; ++v) {
            const auto b = cmd::encodeSample(v, cls);
            ASSERT_EQ(cmd::decodeSample(b[0], b[1], cls), v) << "class " << cls;
            ASSERT_EQ(b[0] & 0xF0, 0);
        }
        EXPECT_EQ(cmd::decodeSample(cmd::encodeSample(5000, cls)[0],
                                    cmd::encodeSample(5000, cls)[1], cls),
                  2047);
    }
    EXPECT_EQ(cmd::blockSamples(0), 125);
    EXPECT_EQ(cmd::blockSamples(1), 200);
    EXPECT_EQ(cmd::blockSamples(2), 200);
    EXPECT_EQ(cmd::blockByteCount(125), 253);
    EXPECT_EQ(cmd::blockByteCount(200), 403);
    EXPECT_EQ(cmd::blockByteCount(100), 203);
}

TEST(RecorderCommands, BlockBufferLayout)
{
    // A 253-byte block in a 405-byte buffer at positions 1..253.
    std::array<std::uint8_t, 405> buffer{};
    std::vector<std::int16_t> samples(125);
    for (int i = 0; i < 125; ++i)
        samples[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(i * 31 - 2000);
    samples[0] = 0;
    const QByteArray wire = cmd::encodeBlock(samples, 0);
    ASSERT_EQ(wire.size(), 253);
    EXPECT_EQ(wire.back(), '\n');
    std::copy(wire.begin(), wire.end(), buffer.begin() + 1);
    EXPECT_EQ(buffer[3], 0x08);
    EXPECT_EQ(buffer[4], 0x00);

    const std::span<const std::uint8_t> received(buffer.data(), 254); // positions 0..253
    EXPECT_EQ(cmd::blockSampleCount(received), 125);
    std::vector<std::int16_t> out(200, 77);
    EXPECT_EQ(cmd::decodeBlock(received, 0, out), 125);
    EXPECT_TRUE(std::equal(samples.begin(), samples.end(), out.begin()));
    EXPECT_EQ(out[125], 77) << "nothing written past the samples available";
    EXPECT_EQ(cmd::blockSample(received, 0, 1), -2048); // same bytes, other class
    EXPECT_EQ(cmd::blockSample(received, 124, 0), samples[124]);
    EXPECT_EQ(cmd::blockSample(received, 125, 0), std::nullopt);
    EXPECT_EQ(cmd::blockSample(received, -1, 0), std::nullopt);

    // The whole 405-byte buffer holds 201 sample slots; a 403-byte block fills 200 of them.
    EXPECT_EQ(cmd::blockSampleCount(buffer), 201);
    // Short and empty buffers.
    EXPECT_EQ(cmd::blockSampleCount(std::span<const std::uint8_t>(buffer.data(), 4)), 0);
    EXPECT_EQ(cmd::blockSampleCount(std::span<const std::uint8_t>(buffer.data(), 5)), 1);
    EXPECT_EQ(cmd::blockSampleCount(std::span<const std::uint8_t>(buffer.data(), 6)), 1);
    EXPECT_EQ(cmd::blockSampleCount(std::span<const std::uint8_t>()), 0);
    EXPECT_EQ(cmd::decodeBlock(std::span<const std::uint8_t>(), 0, out), 0);
    EXPECT_EQ(cmd::decodeBlock(received, 0, std::span<std::int16_t>(out.data(), 3)), 3);
}

TEST(RecorderCommands, ParsersSurviveRandomAndTruncatedInput)
{
    std::mt19937 gen(20040207);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(0, 120);
    const QString alphabet = QStringLiteral("0123456789,.-+eEX_ \n\rCHab");
    std::uniform_int_distribution<int> pick(0, static_cast<int>(alphabet.size()) - 1);

    std::vector<int> good(40, 2048);
    const QString goodReply = asciiReply(good);
    for (int iter = 0; iter < 4000; ++iter) {
        QString text;
        const int n = length(gen);
        for (int k = 0; k < n; ++k)
            text +=
                iter % 3 == 0 ? QChar(static_cast<char16_t>(byte(gen) + 1)) : alphabet[pick(gen)];
        const int ch = 1 + iter % 16;
        (void)cmd::parseModel(text);
        const auto codes = cmd::parseUnitCodes(text);
        for (const auto c : codes) {
            ASSERT_TRUE(c >= 0 && c <= 9);
        }
        (void)cmd::parseRangeReply(text, ch);
        if (const auto d = cmd::parseMagnificationReply(text)) {
            ASSERT_TRUE(std::isfinite(*d) && *d > 0);
        }
        (void)cmd::parseMaxPoint(text);
        for (int cls = 0; cls <= 2; ++cls) {
            if (const auto values = cmd::parseAsciiData(text, cls)) {
                for (const auto v : *values) {
                    ASSERT_TRUE(v >= -2048 && v <= 2047);
                }
            }
        }
        // Every truncation of a good reply is bad, except the whole reply.
        const auto cut = static_cast<qsizetype>(iter % goodReply.size());
        ASSERT_FALSE(cmd::parseAsciiData(QStringView(goodReply).first(cut), 0)) << cut;
    }
    ASSERT_TRUE(cmd::parseAsciiData(goodReply, 0));

    // Blocks of random length and content: decoded values stay in range and the count never
    // exceeds what the bytes hold.
    std::vector<std::uint8_t> bytes;
    std::vector<std::int16_t> out(201);
    for (int iter = 0; iter < 4000; ++iter) {
        bytes.resize(static_cast<std::size_t>(std::uniform_int_distribution<int>(0, 405)(gen)));
        for (auto& b : bytes)
            b = static_cast<std::uint8_t>(byte(gen));
        const int cls = iter % 3;
        const int count = cmd::decodeBlock(bytes, cls, out);
        const int last = static_cast<int>(bytes.size()) - 1; // highest position held
        if (count > 0) {
            ASSERT_LE(2 * (count - 1) + 4, last); // the last sample's low byte is inside
        }
        ASSERT_GT(2 * count + 4, last); // the next sample would not be
        ASSERT_EQ(count, cmd::blockSampleCount(bytes));
        for (int i = 0; i < count; ++i) {
            ASSERT_TRUE(out[static_cast<std::size_t>(i)] >= -2048 &&
                        out[static_cast<std::size_t>(i)] <= 2047);
        }
        ASSERT_FALSE(cmd::blockSample(bytes, count, cls).has_value());
    }
}
