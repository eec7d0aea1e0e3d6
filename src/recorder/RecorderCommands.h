#pragma once

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QStringView>
#include <QTime>

#include <array>
#include <cstdint>
#include <optional>
#include <span>

namespace hs::cmd {

// The recorder command set: every command line the station sends (without the line feed the
// link appends) and every reply parser. Pure functions: text in, value out.
//
// Channels are recorder input channels 1..16. "Spaced" arguments are written in the spaced
// number form (" 3", " .5"), so a spaced channel reads "CH 3"; "plain" arguments are bare
// integers ("CH3").

// --- Identification and set-up ---
QString clearStatus();                 // "*CLS"
QString identify();                    // "*IDN?"
QString options();                     // "*OPT?"
QString reset();                       // "*RST"
QString idleSetup();                   // ":DISP:CHAN DISP;:FUNM MEM;:CONF:TDIV 5E-4;SHOT 50"
QString headerOff();                   // ":HEAD OFF"
QString systemDate(const QDate& date); // ":SYST:DATE 4,2,7" (year mod 100, no leading zeros)
QString systemTime(const QTime& time); // ":SYST:TIME 9,5,3"
QString autoSetup();                   // ":AUTO"
QString abort();                       // ":ABORT"

// --- Instrument configuration ---
enum class DrawMode { Off, Norm, Dark, C1, C2, C3, C4 };
QString displayDraw(int ch, DrawMode mode); // ":DISP:DRAW CH 3,NORM"
QString triggerKindChannel1Off();           // ":TRIG:KIND CH 1,OFF"
// ":CONF:TDIV +500E-6;SHOT 100;FORM QUAD;:DISP:XMAG X1_5" (QUAD when quad, else DUAL)
QString configureMeasurement(bool quad);
QString unitPosition(int ch);            // ":UNIT:POSI CH 3,50"
QString triggerKindOff(int ch);          // ":TRIG:KIND CH 3,OFF"
QString displayGraph(int ch, int graph); // ":DISP:GRAP CH 3, 2"
QString triggerKindLevel(int ch);        // ":TRIG:KIND CH3,LEVE" (plain channel)
QString triggerLevelSlope(int ch);       // ":TRIG:LEVE CH 3,0 ;SLOP CH 3,UP"
QString triggerModeSingle();             // ":TRIG:MODE SING;PRET 2"
QString triggerKindCh1Level();           // ":TRIG:KIND CH1,LEVE"
QString triggerExternalOn();             // ":TRIG:EXTE ON"
QString triggerKindCh1Off();             // ":TRIG:KIND CH1,OFF"
QString unitAdjust();                    // ":UNIT:ADJUST"

// --- Shots and data ---
QString start();       // ":STAR"
QString memMaxPoint(); // ":MEM:MAXP?"
// ":MEM:POIN CH 3, 400" when spaced, ":MEM:POIN CH3,0" when plain.
QString memPoint(int ch, int point, bool spaced);
QString memBinaryData(int samples); // ":MEM:BDAT? 125" (100, 125 or 200)
QString memAsciiData();             // ":MEM:ADAT? 40"

// --- Ranges ---
QString unitRange(int ch, double range);     // ":UNIT:RANG CH 3, .5"
QString displayYMag(int ch, double divisor); // ":DISP:YMAG CH 3,X1_ 4"
QString unitRangeQuery(int ch);              // ":UNIT:RANG? CH 3"
QString displayYMagQuery(int ch);            // ":DISP:YMAG? CH 3"

// --- Printing ---
QString print();     // ":PRIN"
QString listGauge(); // ":SYST:LIST GAUGE"

// --- Floppy save ---
QString configureShot50();  // ":CONF:TDIV +500E-6;SHOT 50"
QString configureShot100(); // ":CONF:TDIV +500E-6;SHOT 100"
QString fdiskModeOn();      // ":FDISK:MODE ON"
QString fdiskMediaFd();     // ":FDISK:MEDIA FD"
QString fdiskModeOff();     // ":FDISK:MODE OFF"
// The floppy enabling command of a recorder: ":FDISK:MODE ON" for model class 0,
// ":FDISK:MEDIA FD" otherwise.
QString fdiskEnable(int modelClass);
// ":FDISK:SAVE \"07D9H05.WAV\",W,ALL" (class 0) or ",Bin," (other classes). fdSaveMode 5 saves
// all channels ("ALL"), 1..4 that channel ("CH 3").
QString fdiskSave(const QString& fileName, int modelClass, int fdSaveMode);

// --- Replies ---

// The model from an "*IDN?" reply: characters 7 to 10 read as a number, rounded. 0 when the
// reply is too short, holds no number there, or the number is no int16.
std::int16_t parseModel(QStringView reply);
// 0 for the 8840, 2 for the 8835, 1 for every other model.
std::int16_t modelClassOf(int model);
// Unit codes of channels 1..16 (index 0..15) from an "*OPT?" reply: the reply padded with 32
// zeros, channel k's code is the character at position 2k - 1 read as a number.
std::array<std::int16_t, 16> parseUnitCodes(QStringView reply);
// The range from a ":UNIT:RANG? CH" reply: read as a number from character position
// 5 + ch div 10 on (after the echoed channel). 0 when there is none.
double parseRangeReply(QStringView reply, int ch);
// The display divisor from a ":DISP:YMAG? CH" reply: the number after the first "_", else
// 1 / the number after the first "X". nullopt when the reply holds neither, or the divisor
// would be zero, negative or not finite: both queries are then asked again.
std::optional<double> parseMagnificationReply(QStringView reply);
// The sample count from a ":MEM:MAXP?" reply (0 when none).
double parseMaxPoint(QStringView reply);

// An ":MEM:ADAT? 40" reply: 40 decimal integers separated by "," and ended by a line feed
// (a carriage return before it, blanks around the values and blank lines or line feeds in
// front are tolerated). Values are 12-bit samples: 0..4095 less 2048 for model class 0,
// -2048..2047 as they are for the other classes. Anything else is a bad reply (nullopt).
inline constexpr int kAsciiSamples = 40;
std::optional<std::array<std::int16_t, kAsciiSamples>> parseAsciiData(QStringView reply,
                                                                      int modelClass);

// --- Binary sample blocks ---
// A block reply is two leading bytes, two bytes per sample (high byte first) and a line feed.
// The block buffer keeps the received bytes at positions 1..n (position 0 unused), so sample i
// lies at positions 2i + 3 (high) and 2i + 4 (low).
inline constexpr int kBlockSamplesClass0 = 125;
inline constexpr int kBlockSamplesOther = 200;
inline constexpr int kBlockSamplesSearch = 100;
// 125 for model class 0, 200 otherwise.
int blockSamples(int modelClass);
// Bytes of a block reply of that many samples: 2 + 2 x samples + 1 (253, 403, 203).
int blockByteCount(int samples);

// One sample from its two bytes: class 0 is 12-bit offset binary, (h AND 15) x 256 + l - 2048;
// classes 1 and 2 are 12-bit two's complement with the sign in bit 3 of h,
// ((h AND 7) - (h AND 8)) x 256 + l. Bits 4..7 of h are ignored. Always in -2048..2047.
std::int16_t decodeSample(std::uint8_t high, std::uint8_t low, int modelClass);
// The two bytes of a value (clamped to -2048..2047) in the encoding of the class.
std::array<std::uint8_t, 2> encodeSample(int value, int modelClass);

// The number of whole samples a block buffer holds (buffer covers positions 0..size-1).
int blockSampleCount(std::span<const std::uint8_t> buffer);
// Sample i of a block buffer; nullopt when i is negative or its bytes lie past the buffer.
std::optional<std::int16_t> blockSample(std::span<const std::uint8_t> buffer, int i,
                                        int modelClass);
// Decodes samples 0.. of a block buffer into out, as many as both hold; returns that number.
int decodeBlock(std::span<const std::uint8_t> buffer, int modelClass, std::span<std::int16_t> out);
// The bytes a recorder sends for these samples: two leading bytes, the samples, a line feed.
QByteArray encodeBlock(std::span<const std::int16_t> samples, int modelClass,
                       std::uint8_t lead1 = '#', std::uint8_t lead2 = '0');

} // namespace hs::cmd
