#pragma once

#include "model/MeasurementSettings.h"
#include "model/RecorderFacts.h"

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <array>
#include <vector>

namespace hs {

struct RecorderFacts;

// ---- Pure rules (text in, text out) ------------------------------------------------------

// Result file extension for a save option and a number of feeders: ".hm3", ".ha4", ".ha5",
// ".hv3", ".hn3". An option outside 0..4 gives an empty extension.
QString extensionFor(int saveOption, int feeders);

// Items of the feeder count list: "1".."n", n = (usableChannelTotal - 2) / 2, at most 9.
QStringList feederCountList(int usableChannelTotal);

// Whether an input unit code is usable: isUsableUnit of the recorder facts (link/RecorderFacts.h).

// ChannelMapBuild: assigns the usable recorder channels, recorder 1's first, to the logical
// inputs 0..19 in turn (InputChannel, InputRecorder). Entries the walk does not reach keep
// their values.
void ChannelMapBuild(MeasurementSettings& settings, const RecorderFacts& facts);

// The whole channel map of a feeder count: ChannelMapBuild, then the inputs of feeders above
// the count are unassigned (channel 0).
void buildFeederChannelMap(MeasurementSettings& settings, const RecorderFacts& facts, int count);

// Captions of Label23(0..9) for the current channel map.
std::array<QString, 10> channelCaptions(const MeasurementSettings& settings,
                                        const RecorderFacts& facts);

// ApplyExtension: the caption with its file name's extension replaced by ext. Only the file
// name (after the last "/") is looked at; its extension is the text from its last "." when
// that dot lies within the last five characters of the caption. Otherwise ext is appended.
// An empty caption becomes the bare extension.
QString ApplyExtension(const QString& caption, const QString& ext);

// The output file name for a chosen path: the path with its file name's extension (if any)
// replaced by ext. A dot in a folder name is never a cut point.
QString outputFileFromPath(const QString& path, const QString& ext);
// The folder part of a path, up to and including its last "/" (empty when there is none).
QString outputFolderOf(const QString& path);

// Name of a phase file of the three-meter type: the letter ("R", "T" or "S") inserted right
// after the dot that starts the file name's ".h" extension ("/d/0101.hv2" -> "/d/0101.Rhv2").
// A file name without such an extension gets the letter in front of it (never in front of a
// folder): "/d/run.txt" -> "/d/Rrun.txt". The result files are named by this rule.
QString phaseFileName(const QString& outputFile, QChar letter);

// A real written for a text box: plain decimal with up to 15 significant digits ("0.04").
QString numberText(double value);

// Copy-down of a feeder column (Text10 CT ratios, Text11 clamp ranges) when the box of `row` is
// left: the rows that follow it, i.e. the run of rows directly below it that still hold
// `previous`, the value the box held before the edit (compared as numbers). The run ends at the
// first row with another value: that value was entered for its own feeder and is never
// overwritten, nor is anything below it.
std::vector<int> followingRows(const std::array<QString, 9>& column, int row,
                               const QString& previous);

// ---- The settings screen's state --------------------------------------------------------

// What the settings screen shows: selected buttons, enabled and visible states, texts and
// captions. The rules below keep it consistent with MeasurementSettings; the screen only
// forwards control events to them and then shows this state.
struct SettingsView {
    // Option1: sampling count buttons "256", "512", "1024".
    int samplingChoice = 1;
    std::array<bool, 3> samplingEnabled{true, true, true};
    // Option2: measure type. Frames "電圧２" and "電流２" with their buttons.
    int measureTypeChoice = 2;
    bool secondInputsEnabled = true;
    // Option9: phase correction, and whether the frame "位相補正" can be used.
    int phaseShiftChoice = 2;
    bool phaseShiftEnabled = false;
    // Option3..Option6: the selected button (0..3 for "１ch".."４ch") of logical inputs 0..3.
    std::array<int, 4> inputChannelChoice{0, 1, 2, 3};
    // Option7: save format.
    int saveFormatChoice = 0;
    std::array<bool, 4> saveFormatEnabled{true, true, true, true};
    // Option8: save option.
    int saveOptionChoice = 3;
    std::array<bool, 5> saveOptionEnabled{true, true, true, true, true};
    // Option10: floppy save; its interval box, spinner and labels are shown when not "しない".
    int fdSaveChoice = 0;
    bool fdIntervalShown = false;
    // Option11: 0 "出力する", 1 "出力しない"; the print interval controls follow.
    int printChoice = 1;
    bool printIntervalShown = false;
    // Option12: 0 shunt, 1 clamp; Text1(i) and Label1(i) enabled.
    int sensorChoice = 0;
    std::array<bool, 2> sensorTextEnabled{true, false};
    // Option13: synchronisation.
    int syncChoice = 0;
    // Combo1: the feeder count list and the chosen count (0: none chosen yet).
    QStringList feederCounts;
    int feederCount = 0;
    // Frame15 (channel table), Label14 (one-feeder heading), Frame16 (several feeders),
    // Frame11 (one feeder).
    bool channelTableShown = false;
    bool channelHeadingShown = true;
    bool severalFeedersFrameShown = false;
    bool oneFeederFrameShown = true;
    // Label23(0..9) captions and enabled states; Label27(i), Text10(i), Text11(i) enabled.
    std::array<QString, 10> channelCaptions{};
    std::array<bool, 10> channelCaptionEnabled{true, true, true, true, true,
                                               true, true, true, true, true};
    std::array<bool, 9> feederRowEnabled{true, true, true, true, true, true, true, true, true};

    // Texts of the boxes.
    std::array<QString, 2> sensorText{QStringLiteral("0.1"), QStringLiteral("2")};       // Text1
    std::array<QString, 2> ptText{QStringLiteral("60"), QStringLiteral("60")};           // Text2
    QString ctText = QStringLiteral("1");                                                // Text3
    std::array<QString, 2> dateText{};                                                   // Text5
    std::array<QString, 2> timeText{};                                                   // Text6
    QString saveIntervalText = QStringLiteral("5");                                      // Text7
    QString fdIntervalText = QStringLiteral("60");                                       // Text8
    QString printIntervalText = QStringLiteral("60");                                    // Text9
    std::array<QString, 9> feederCtText{"1", "1", "1", "1", "1", "1", "1", "1", "1"};    // Text10
    std::array<QString, 9> feederClampText{"2", "2", "2", "2", "2", "2", "2", "2", "2"}; // Text11
    // Text10 and Text11 as they were when last left or loaded: where an edit started from.
    std::array<QString, 9> feederCtBefore = feederCtText;
    std::array<QString, 9> feederClampBefore = feederClampText;
};

// Outcome of an entry: refused entries keep the previous value and box text; message says why.
struct EntryResult {
    bool accepted = true;
    QString message;
};

// The message shown when an integer entry lies outside -32768..32767.
QString integerRangeMessage();

// The message shown when a value must be greater than 0 (sensor values, R and C of a filter).
QString positiveNumberMessage();

// The message shown when an interval (minutes) is negative: the run would save, print or store
// waveforms on every shot, and the settings file refuses it.
QString intervalMessage();

// A numeric box's text on its way to a number ("", "-", ".", "-."): not yet an entry.
bool isUnfinishedNumber(const QString& text);
// A numeric entry: the whole text (blanks around it allowed) is a decimal number.
EntryResult checkNumberEntry(const QString& text);
// A sensor entry (shunt resistance, clamp range): a number, and not negative. Zero is left to
// the zero replacement of the box.
EntryResult checkSensorEntry(const QString& text);
// A date box ("yyyy/MM/dd", a day that exists) and a time box ("HH:mm").
EntryResult checkDateEntry(const QString& text);
EntryResult checkTimeEntry(const QString& text);

// The setting rules of the settings screen, as operations on the settings and the screen state.
// Every operation is named after the control event that runs it.
class SettingsRules {
public:
    SettingsRules(MeasurementSettings& settings, SettingsView& view) : s_(settings), v_(view) {}

    MeasurementSettings& settings() { return s_; }
    SettingsView& view() { return v_; }

    // Screen load, part that needs the clock: both dates today, both times now ("HH:mm"), then
    // the end date one day forward. StartDateTime and EndDateTime get seconds 1.
    void applyClockDefaults(const QDateTime& now);
    // Screen load, part that needs the recorders: the feeder count list.
    void fillFeederCountList(const RecorderFacts& facts);

    void chooseSampling(int index);    // Option1(i)
    void chooseMeasureType(int index); // Option2(i)
    void choosePhaseShift(int index);  // Option9(i)
    // Option3..Option6: input 0..3 chooses channel 1..4; the input holding it takes the old one.
    void chooseInputChannel(int input, int channel);
    void chooseSaveFormat(int index); // Option7(i)
    void chooseSaveOption(int index); // Option8(i)
    void chooseFdSaveMode(int index); // Option10(i)
    void choosePrint(int index);      // Option11(i)
    void chooseSensor(int index);     // Option12(i)
    void chooseSyncMode(int index);   // Option13(i)
    // Combo1: a feeder count 1..9 from the list. Returns false (nothing changed) for a count the
    // recorders cannot serve.
    bool chooseFeederCount(int count, const RecorderFacts& facts);
    // The save choices a feeder count allows (part of chooseFeederCount): options 1 and 2 and
    // format 3 need a single feeder; several feeders select format 0.
    void limitSaveChoices(int count);

    // Text1(i) left with the given text: zero replacements, then shunt <-> clamp conversion.
    void leaveSensorBox(int index, const QString& text);
    EntryResult changePtText(int index, const QString& text); // Text2(i) change
    void leavePtBox(int index);
    EntryResult changeCtText(const QString& text); // Text3 change
    void leaveCtBox();
    EntryResult changeFeederCtText(int index, const QString& text); // Text10(i) change
    void changeFeederClampText(int index, const QString& text);     // Text11(i) change
    // Text10(i) / Text11(i) left: zero replacement, then copy-down to the rows that follow it.
    void leaveFeederCtBox(int index);
    void leaveFeederClampBox(int index);

    void changeDateText(int index, const QString& text); // Text5(i) change
    void changeTimeText(int index, const QString& text); // Text6(i) change
    void leaveDateBox(int index);
    void leaveTimeBox(int index);
    void stepDate(int index, int days);  // Command3(i) +1, Command8(i) -1
    void stepTime(int index, int delta); // Command2(i) +1, Command1(i) -1

    EntryResult changeSaveIntervalText(const QString& text);  // Text7 change
    EntryResult changeFdIntervalText(const QString& text);    // Text8 change
    EntryResult changePrintIntervalText(const QString& text); // Text9 change
    EntryResult stepSaveInterval(int delta);                  // Command6(0) +1, (1) -1
    EntryResult stepFdInterval(int delta);                    // Command7
    EntryResult stepPrintInterval(int delta);                 // Command9

    // Takes a whole set-up (read from a settings file): the settings become loaded, and the
    // screen state shows them, as if the operator had chosen each value. The channel map is the
    // loaded one when explicitMap, else built for the feeder count. The count must be one the
    // recorders can serve.
    void applySettings(const MeasurementSettings& loaded, const RecorderFacts& facts,
                       bool explicitMap);

    // ApplyExtension on the output file name (the caption of Label7).
    void applyExtension(const QString& ext);
    // ChooseOutputFile after the dialog returned a path: output file name and OutputFolder.
    void chooseOutputFile(const QString& path);
    // The extension of the selected save option for the current feeder count.
    QString currentExtension() const;
    // Command4 may be enabled (outside the lock-out): a file name longer than 4 characters.
    bool startAllowed() const { return s_.OutputFile.size() > 4; }
    // A measurement can start only when it ends after it begins.
    EntryResult checkPeriod() const;

private:
    void selectInputChannelButton(int input, int button, int depth);
    void rebuildDateTimes();

    MeasurementSettings& s_;
    SettingsView& v_;
};

} // namespace hs
