#include "model/SettingsRules.h"

#include "common/DateText.h"
#include "common/Numbers.h"
#include "model/RecorderFacts.h"

#include <QRegularExpression>

#include <cmath>

namespace hs {

namespace {

constexpr int kSlotsPerRecorder = 16;
constexpr int kLogicalInputs = 20;

// A sensor value (shunt ohms or clamp amperes) that would give a zero or unusable
// CurrentScale counts as zero and is replaced.
bool sensorValueIsZero(double value)
{
    if (value == 0.0 || !std::isfinite(value))
        return true;
    const float asFloat = static_cast<float>(value);
    const float converted = static_cast<float>(0.2 / value);
    return asFloat == 0.0f || converted == 0.0f || !std::isfinite(converted);
}

// The value of an integer box: the leading number rounded half to even; nullopt on overflow.
std::optional<std::int16_t> integerValue(const QString& text)
{
    return toInt16(readNumber(text));
}

// Position of the dot that starts the file name's extension, -1 when the file name has none.
qsizetype extensionDot(const QString& path)
{
    const qsizetype nameStart = path.lastIndexOf(QLatin1Char('/')) + 1;
    const qsizetype dot = path.lastIndexOf(QLatin1Char('.'));
    return dot >= nameStart ? dot : -1;
}

} // namespace

QString extensionFor(int saveOption, int feeders)
{
    const QString n = QString::number(feeders);
    switch (saveOption) {
    case 0:
        return QStringLiteral(".hm") + n;
    case 1:
        return QStringLiteral(".ha4");
    case 2:
        return QStringLiteral(".ha5");
    case 3:
        return QStringLiteral(".hv") + n;
    case 4:
        return QStringLiteral(".hn") + n;
    default:
        return {};
    }
}

QStringList feederCountList(int usableChannelTotal)
{
    const int n = std::min((usableChannelTotal - 2) / 2, 9);
    QStringList items;
    for (int i = 1; i <= n; ++i)
        items << QString::number(i);
    return items;
}

void ChannelMapBuild(MeasurementSettings& settings, const RecorderFacts& facts)
{
    // Only recorders in use carry channels: recorder 2's slots count when LastRecorder is 1.
    const int lastSlot = (facts.LastRecorder >= 1 ? 2 : 1) * kSlotsPerRecorder;
    int slot = 0;
    for (int k = 0; k < kLogicalInputs && slot < lastSlot; ++k) {
        const auto entry = static_cast<std::size_t>(k);
        while (slot < lastSlot) {
            const int recorder = slot / kSlotsPerRecorder;
            const int index = slot % kSlotsPerRecorder;
            ++slot;
            const auto r = static_cast<std::size_t>(recorder);
            if (isUsableUnit(facts.ChannelUnit[r][static_cast<std::size_t>(index)],
                             facts.RecorderModel[r])) {
                settings.InputChannel[entry] = static_cast<std::int16_t>(index + 1);
                settings.InputRecorder[entry] = static_cast<std::int16_t>(recorder);
                break;
            }
            settings.InputChannel[entry] = 0;
        }
    }
}

void buildFeederChannelMap(MeasurementSettings& settings, const RecorderFacts& facts, int count)
{
    ChannelMapBuild(settings, facts);
    for (int f = count + 1; f <= 9; ++f) {
        settings.InputChannel[static_cast<std::size_t>(2 * f)] = 0;
        settings.InputChannel[static_cast<std::size_t>(2 * f + 1)] = 0;
    }
}

std::array<QString, 10> channelCaptions(const MeasurementSettings& settings,
                                        const RecorderFacts& facts)
{
    auto model = [&facts](int recorder) {
        return QString::number(
            facts.RecorderModel[static_cast<std::size_t>(recorder == 1 ? 1 : 0)]);
    };
    auto channel = [&settings](int k) {
        return QString::number(settings.InputChannel[static_cast<std::size_t>(k)]);
    };
    auto recorderOf = [&settings](int k) {
        return static_cast<int>(settings.InputRecorder[static_cast<std::size_t>(k)]);
    };
    std::array<QString, 10> captions;
    captions[0] = QStringLiteral("電  圧：R-S相=ch") + channel(0) + QStringLiteral(",T-S相=ch") +
                  channel(1) + QStringLiteral("(") + QString::number(recorderOf(0) + 1) +
                  QStringLiteral("台目") + model(recorderOf(0)) + QStringLiteral(")");
    for (int f = 1; f <= 9; ++f) {
        const QString head = QStringLiteral("電流F") + QString::number(f);
        if (settings.InputChannel[static_cast<std::size_t>(2 * f)] < 1) {
            captions[static_cast<std::size_t>(f)] =
                head + QStringLiteral("：R相=ch-,T相=ch-(-台目----)");
        } else {
            captions[static_cast<std::size_t>(f)] =
                head + QStringLiteral("：R相=ch") + channel(2 * f) + QStringLiteral(",T相=ch") +
                channel(2 * f + 1) + QStringLiteral("(") + QString::number(recorderOf(2 * f) + 1) +
                QStringLiteral("台目") + model(recorderOf(2 * f)) + QStringLiteral(")");
        }
    }
    return captions;
}

QString ApplyExtension(const QString& caption, const QString& ext)
{
    const qsizetype dot = extensionDot(caption);
    if (dot >= 0 && dot >= caption.size() - 5)
        return caption.left(dot) + ext;
    return caption + ext;
}

QString outputFileFromPath(const QString& path, const QString& ext)
{
    const qsizetype dot = extensionDot(path);
    return (dot >= 0 ? path.left(dot) : path) + ext;
}

QString outputFolderOf(const QString& path)
{
    return path.left(path.lastIndexOf(QLatin1Char('/')) + 1);
}

QString phaseFileName(const QString& outputFile, QChar letter)
{
    // Only the file name part is searched, never the folders ('/' or '\\').
    const qsizetype slash = std::max(outputFile.lastIndexOf(QLatin1Char('/')),
                                     outputFile.lastIndexOf(QLatin1Char('\\')));
    const qsizetype dot = outputFile.lastIndexOf(QLatin1Char('.'));
    if (dot > slash && dot + 1 < outputFile.size() &&
        outputFile.at(dot + 1).toLower() == QLatin1Char('h'))
        return outputFile.left(dot + 1) + letter + outputFile.mid(dot + 1);
    return outputFile.left(slash + 1) + letter + outputFile.mid(slash + 1);
}

QString numberText(double value)
{
    return QString::number(value, 'g', 15);
}

std::vector<int> followingRows(const std::array<QString, 9>& column, int row,
                               const QString& previous)
{
    std::vector<int> rows;
    const double before = readNumber(previous);
    for (int below = row + 1; below >= 1 && below <= 8; ++below) {
        if (readNumber(column[static_cast<std::size_t>(below)]) != before)
            break;
        rows.push_back(below);
    }
    return rows;
}

QString integerRangeMessage()
{
    return QStringLiteral("-32768 から 32767 までの整数を入力して下さい");
}

QString positiveNumberMessage()
{
    return QStringLiteral("0 より大きい値を入力して下さい");
}

QString intervalMessage()
{
    return QStringLiteral("間隔は 1 から 32767 までの分数で入力して下さい");
}

bool isUnfinishedNumber(const QString& text)
{
    static const QStringList unfinished{
        QString(),           QStringLiteral("-"),  QStringLiteral("+"),
        QStringLiteral("."), QStringLiteral("-."), QStringLiteral("+.")};
    return unfinished.contains(text.trimmed());
}

EntryResult checkNumberEntry(const QString& text)
{
    static const QRegularExpression number(QStringLiteral("^\\s*[+-]?(\\d+\\.?\\d*|\\.\\d+)\\s*$"));
    if (!number.match(text).hasMatch() || !std::isfinite(readNumber(text)))
        return {false, QStringLiteral("数値を入力して下さい")};
    return {};
}

EntryResult checkSensorEntry(const QString& text)
{
    EntryResult result = checkNumberEntry(text);
    if (result.accepted && readNumber(text) < 0)
        return {false, positiveNumberMessage()};
    return result;
}

EntryResult checkDateEntry(const QString& text)
{
    if (!parseDateBox(text))
        return {false, QStringLiteral("日付を正しく入力して下さい（例 2004/02/02）")};
    return {};
}

EntryResult checkTimeEntry(const QString& text)
{
    if (!parseTimeBox(text))
        return {false, QStringLiteral("時刻を正しく入力して下さい（例 12:00）")};
    return {};
}

// ---- SettingsRules ---------------------------------------------------------------------

void SettingsRules::applyClockDefaults(const QDateTime& now)
{
    const QString date = dateBoxText(now.date());
    const QString time = timeBoxText(now.time());
    v_.dateText = {date, date};
    v_.timeText = {time, time};
    rebuildDateTimes();
    stepDate(1, 1);
}

void SettingsRules::fillFeederCountList(const RecorderFacts& facts)
{
    v_.feederCounts = feederCountList(facts.UsableChannelTotal);
}

void SettingsRules::chooseSampling(int index)
{
    if (index < 0 || index > 2 || !v_.samplingEnabled[static_cast<std::size_t>(index)])
        return;
    v_.samplingChoice = index;
    s_.setSampleCount(256 << index);
}

void SettingsRules::chooseMeasureType(int index)
{
    if (index < 0 || index > 4)
        return;
    v_.measureTypeChoice = index;
    v_.secondInputsEnabled = index == 1 || index == 2 || index == 4;
    v_.phaseShiftEnabled = index == 3;
    if (index != 3) {
        v_.phaseShiftChoice = 2;
        s_.PhaseShift() = 2;
    }
    s_.MeasureType() = static_cast<std::int16_t>(index);
}

void SettingsRules::choosePhaseShift(int index)
{
    if (index < 0 || index > 4 || !v_.phaseShiftEnabled)
        return;
    v_.phaseShiftChoice = index;
    s_.PhaseShift() = static_cast<std::int16_t>(index);
}

void SettingsRules::chooseInputChannel(int input, int channel)
{
    selectInputChannelButton(input, channel - 1, 0);
}

// Selecting a button that is already selected runs nothing, as with any option button; the
// input that held the chosen channel is given this input's old channel by selecting that
// button in its own group, which runs the same step for it.
void SettingsRules::selectInputChannelButton(int input, int button, int depth)
{
    if (input < 0 || input > 3 || button < 0 || button > 3 || depth > 8)
        return;
    const auto r = static_cast<std::size_t>(input);
    if (v_.inputChannelChoice[r] == button)
        return;
    v_.inputChannelChoice[r] = button;
    const int chosen = button + 1;
    const int old = s_.InputChannel[r];
    for (int other = 0; other < 4; ++other) {
        if (other != input && s_.InputChannel[static_cast<std::size_t>(other)] == chosen &&
            old >= 1 && old <= 4)
            selectInputChannelButton(other, old - 1, depth + 1);
    }
    s_.InputChannel[r] = static_cast<std::int16_t>(chosen);
}

void SettingsRules::chooseSaveFormat(int index)
{
    if (index < 0 || index > 3 || !v_.saveFormatEnabled[static_cast<std::size_t>(index)])
        return;
    v_.saveFormatChoice = index;
    s_.SaveFormat() = static_cast<std::int16_t>(index);
}

void SettingsRules::chooseSaveOption(int index)
{
    if (index < 0 || index > 4 || !v_.saveOptionEnabled[static_cast<std::size_t>(index)])
        return;
    v_.saveOptionChoice = index;
    s_.SaveOption() = static_cast<std::int16_t>(index);
    if (index == 4) {
        v_.samplingEnabled[2] = true;
        chooseSampling(2);
        v_.samplingEnabled[0] = false;
        v_.samplingEnabled[1] = false;
    } else {
        v_.samplingEnabled[0] = true;
        v_.samplingEnabled[1] = true;
    }
    s_.MaxHarmonicOrder = index == 4 ? 256 : 99;
    s_.Orders256 = index == 4;
    applyExtension(extensionFor(index, s_.feederCount()));
}

void SettingsRules::chooseFdSaveMode(int index)
{
    if (index < 0 || index > 5)
        return;
    v_.fdSaveChoice = index;
    v_.fdIntervalShown = index != 0;
    s_.FdSaveMode = static_cast<std::int16_t>(index);
}

void SettingsRules::choosePrint(int index)
{
    if (index < 0 || index > 1)
        return;
    v_.printChoice = index;
    v_.printIntervalShown = index == 0;
    if (index == 1) {
        s_.PrintIntervalMin = 0;
    } else {
        // The box only ever holds accepted texts, so the value fits.
        s_.PrintIntervalMin = integerValue(v_.printIntervalText).value_or(0);
    }
}

void SettingsRules::chooseSensor(int index)
{
    if (index < 0 || index > 1)
        return;
    v_.sensorChoice = index;
    v_.sensorTextEnabled[static_cast<std::size_t>(index)] = true;
    v_.sensorTextEnabled[static_cast<std::size_t>(1 - index)] = false;
}

void SettingsRules::chooseSyncMode(int index)
{
    if (index < 0 || index > 3)
        return;
    v_.syncChoice = index;
    s_.SyncMode = static_cast<std::int16_t>(index);
}

bool SettingsRules::chooseFeederCount(int count, const RecorderFacts& facts)
{
    if (count < 1 || count > feederCountList(facts.UsableChannelTotal).size())
        return false;

    ChannelMapBuild(s_, facts);
    v_.channelCaptions = channelCaptions(s_, facts);

    if (count == 1) {
        v_.channelTableShown = false;
        v_.channelHeadingShown = true;
        for (int input = 0; input < 4; ++input)
            selectInputChannelButton(input, input, 0);
        v_.severalFeedersFrameShown = false;
        v_.oneFeederFrameShown = true;
    } else {
        v_.channelTableShown = true;
        v_.channelHeadingShown = false;
        v_.severalFeedersFrameShown = true;
        v_.oneFeederFrameShown = false;
    }

    limitSaveChoices(count);
    for (int f = 1; f <= 9; ++f) {
        const bool used = f <= count;
        v_.channelCaptionEnabled[static_cast<std::size_t>(f)] = used;
        v_.feederRowEnabled[static_cast<std::size_t>(f - 1)] = used;
        if (!used) {
            s_.InputChannel[static_cast<std::size_t>(2 * f)] = 0;
            s_.InputChannel[static_cast<std::size_t>(2 * f + 1)] = 0;
        }
    }

    s_.LastFeeder = static_cast<std::int16_t>(count - 1);
    v_.feederCount = count;

    QString ext;
    switch (s_.SaveOption()) {
    case 0:
        ext = extensionFor(0, count);
        break;
    case 4:
        ext = extensionFor(4, count);
        break;
    default:
        chooseSaveOption(3);
        ext = extensionFor(3, count);
        break;
    }
    applyExtension(ext);
    return true;
}

void SettingsRules::limitSaveChoices(int count)
{
    const bool oneFeeder = count == 1;
    for (std::size_t i = 1; i <= 4; ++i)
        v_.saveOptionEnabled[i] = oneFeeder || i >= 3;
    v_.saveFormatEnabled[3] = oneFeeder;
    if (!oneFeeder) {
        v_.saveFormatChoice = 0;
        s_.SaveFormat() = 0;
    }
}

void SettingsRules::leaveSensorBox(int index, const QString& text)
{
    if (index < 0 || index > 1)
        return;
    v_.sensorText[static_cast<std::size_t>(index)] = text;
    if (sensorValueIsZero(readNumber(v_.sensorText[0])))
        v_.sensorText[0] = QStringLiteral("0.1");
    if (sensorValueIsZero(readNumber(v_.sensorText[1])))
        v_.sensorText[1] = QStringLiteral("20");
    if (index == 1) {
        v_.sensorText[0] = numberText(0.2 / readNumber(v_.sensorText[1]));
        s_.CurrentScale[0] = static_cast<float>(readNumber(v_.sensorText[0]));
    } else {
        s_.CurrentScale[0] = static_cast<float>(readNumber(v_.sensorText[0]));
        v_.sensorText[1] = numberText(0.2 / readNumber(v_.sensorText[0]));
    }
}

EntryResult SettingsRules::changePtText(int index, const QString& text)
{
    if (index < 0 || index > 1)
        return {};
    const auto value = integerValue(text);
    if (!value)
        return {false, integerRangeMessage()};
    v_.ptText[static_cast<std::size_t>(index)] = text;
    s_.PtRatio = *value;
    return {};
}

void SettingsRules::leavePtBox(int index)
{
    if (index < 0 || index > 1)
        return;
    if (integerValue(v_.ptText[static_cast<std::size_t>(index)]).value_or(1) == 0)
        changePtText(index, QStringLiteral("60"));
}

EntryResult SettingsRules::changeCtText(const QString& text)
{
    const auto value = integerValue(text);
    if (!value)
        return {false, integerRangeMessage()};
    v_.ctText = text;
    s_.CtRatio[0] = *value;
    return {};
}

void SettingsRules::leaveCtBox()
{
    if (integerValue(v_.ctText).value_or(1) == 0)
        changeCtText(QStringLiteral("1"));
}

EntryResult SettingsRules::changeFeederCtText(int index, const QString& text)
{
    if (index < 0 || index > 8)
        return {};
    const auto value = integerValue(text);
    if (!value)
        return {false, integerRangeMessage()};
    v_.feederCtText[static_cast<std::size_t>(index)] = text;
    s_.CtRatio[static_cast<std::size_t>(index)] = *value;
    return {};
}

void SettingsRules::changeFeederClampText(int index, const QString& text)
{
    if (index < 0 || index > 8)
        return;
    v_.feederClampText[static_cast<std::size_t>(index)] = text;
    const double value = readNumber(text);
    if (value > 0 && !sensorValueIsZero(value))
        s_.CurrentScale[static_cast<std::size_t>(index)] = static_cast<float>(0.2 / value);
}

void SettingsRules::leaveFeederCtBox(int index)
{
    if (index < 0 || index > 8)
        return;
    if (integerValue(v_.feederCtText[static_cast<std::size_t>(index)]).value_or(1) == 0)
        changeFeederCtText(index, QStringLiteral("1"));
    const auto row = static_cast<std::size_t>(index);
    const QString text = v_.feederCtText[row];
    for (const int below : followingRows(v_.feederCtText, index, v_.feederCtBefore[row])) {
        changeFeederCtText(below, text);
        v_.feederCtBefore[static_cast<std::size_t>(below)] = text;
    }
    v_.feederCtBefore[row] = text;
}

void SettingsRules::leaveFeederClampBox(int index)
{
    if (index < 0 || index > 8)
        return;
    if (sensorValueIsZero(readNumber(v_.feederClampText[static_cast<std::size_t>(index)])))
        changeFeederClampText(index, QStringLiteral("0.1"));
    const auto row = static_cast<std::size_t>(index);
    const QString text = v_.feederClampText[row];
    for (const int below : followingRows(v_.feederClampText, index, v_.feederClampBefore[row])) {
        changeFeederClampText(below, text);
        v_.feederClampBefore[static_cast<std::size_t>(below)] = text;
    }
    v_.feederClampBefore[row] = text;
}

void SettingsRules::rebuildDateTimes()
{
    if (const auto start = boxesDateTime(v_.dateText[0], v_.timeText[0]))
        s_.StartDateTime = *start;
    if (const auto end = boxesDateTime(v_.dateText[1], v_.timeText[1]))
        s_.EndDateTime = *end;
}

void SettingsRules::changeDateText(int index, const QString& text)
{
    if (index < 0 || index > 1)
        return;
    v_.dateText[static_cast<std::size_t>(index)] = text;
    rebuildDateTimes();
}

void SettingsRules::changeTimeText(int index, const QString& text)
{
    if (index < 0 || index > 1)
        return;
    v_.timeText[static_cast<std::size_t>(index)] = text;
    rebuildDateTimes();
}

void SettingsRules::leaveDateBox(int index)
{
    if (index < 0 || index > 1)
        return;
    const QDateTime& model = index == 0 ? s_.StartDateTime : s_.EndDateTime;
    if (model.isValid())
        v_.dateText[static_cast<std::size_t>(index)] = dateBoxText(model.date());
}

void SettingsRules::leaveTimeBox(int index)
{
    if (index < 0 || index > 1)
        return;
    const QDateTime& model = index == 0 ? s_.StartDateTime : s_.EndDateTime;
    if (model.isValid())
        v_.timeText[static_cast<std::size_t>(index)] = timeBoxText(model.time());
}

void SettingsRules::stepDate(int index, int days)
{
    if (index < 0 || index > 1)
        return;
    if (const auto stepped = stepDateText(v_.dateText[static_cast<std::size_t>(index)], days)) {
        changeDateText(index, *stepped);
        return;
    }
    // A box left half-typed steps from the last valid date of the model.
    const QDateTime& model = index == 0 ? s_.StartDateTime : s_.EndDateTime;
    if (model.isValid())
        changeDateText(index, dateBoxText(model.date().addDays(days)));
}

void SettingsRules::stepTime(int index, int delta)
{
    if (index < 0 || index > 1)
        return;
    changeTimeText(index, stepTimeText(v_.timeText[static_cast<std::size_t>(index)], delta));
}

namespace {

// The rule of the three interval boxes: a whole number of minutes, not negative; 0 stands for
// the box's default (whenZero). take receives the text and the minutes of an accepted entry.
template <typename Take>
EntryResult intervalEntry(const QString& text, const QString& whenZero, Take take)
{
    const auto value = integerValue(text);
    if (!value)
        return {false, integerRangeMessage()};
    if (*value < 0)
        return {false, intervalMessage()};
    if (*value == 0)
        return intervalEntry(whenZero, whenZero, take);
    take(text, *value);
    return {};
}

} // namespace

EntryResult SettingsRules::changeSaveIntervalText(const QString& text)
{
    return intervalEntry(text, QStringLiteral("1"), [this](const QString& t, std::int16_t v) {
        v_.saveIntervalText = t;
        s_.SaveIntervalMin = v;
    });
}

EntryResult SettingsRules::changeFdIntervalText(const QString& text)
{
    return intervalEntry(text, QStringLiteral("60"), [this](const QString& t, std::int16_t v) {
        v_.fdIntervalText = t;
        s_.FdSaveIntervalMin = v;
    });
}

EntryResult SettingsRules::changePrintIntervalText(const QString& text)
{
    return intervalEntry(text, QStringLiteral("60"), [this](const QString& t, std::int16_t v) {
        v_.printIntervalText = t;
        s_.PrintIntervalMin = v_.printChoice == 0 ? v : std::int16_t{0};
    });
}

EntryResult SettingsRules::stepSaveInterval(int delta)
{
    return changeSaveIntervalText(numberText(readNumber(v_.saveIntervalText) + delta));
}

EntryResult SettingsRules::stepFdInterval(int delta)
{
    return changeFdIntervalText(numberText(readNumber(v_.fdIntervalText) + delta));
}

EntryResult SettingsRules::stepPrintInterval(int delta)
{
    return changePrintIntervalText(numberText(readNumber(v_.printIntervalText) + delta));
}

void SettingsRules::applyExtension(const QString& ext)
{
    if (s_.OutputFile.isEmpty())
        return; // no file chosen yet: an extension alone names none
    s_.OutputFile = ApplyExtension(s_.OutputFile, ext);
}

void SettingsRules::chooseOutputFile(const QString& path)
{
    if (path.isEmpty())
        return; // dialog cancelled: name and folder stay
    s_.OutputFile = outputFileFromPath(path, currentExtension());
    s_.OutputFolder = outputFolderOf(path);
}

void SettingsRules::applySettings(const MeasurementSettings& loaded, const RecorderFacts& facts,
                                  bool explicitMap)
{
    auto floatText = [](double value) { return QString::number(value, 'g', 7); };
    s_.OutputFile.clear();
    chooseFeederCount(loaded.feederCount(), facts);
    if (explicitMap) {
        s_.InputChannel = loaded.InputChannel;
        s_.InputRecorder = loaded.InputRecorder;
        v_.channelCaptions = channelCaptions(s_, facts);
        for (std::size_t input = 0; input < 4; ++input) {
            const int channel = loaded.InputChannel[input];
            if (channel >= 1 && channel <= 4)
                v_.inputChannelChoice[input] = channel - 1;
        }
    }
    chooseMeasureType(loaded.MeasureType());
    choosePhaseShift(loaded.PhaseShift());
    chooseSaveOption(loaded.SaveOption());
    chooseSampling(loaded.SampleCountLog2 - 8);
    chooseSaveFormat(loaded.SaveFormat());
    chooseSyncMode(loaded.SyncMode);
    chooseFdSaveMode(loaded.FdSaveMode);

    v_.ptText = {QString::number(loaded.PtRatio), QString::number(loaded.PtRatio)};
    v_.ctText = QString::number(loaded.CtRatio[0]);
    for (std::size_t i = 0; i < 9; ++i) {
        v_.feederCtText[i] = QString::number(loaded.CtRatio[i]);
        v_.feederClampText[i] = floatText(0.2 / static_cast<double>(loaded.CurrentScale[i]));
    }
    v_.feederCtBefore = v_.feederCtText;
    v_.feederClampBefore = v_.feederClampText;
    chooseSensor(0);
    v_.sensorText = {floatText(static_cast<double>(loaded.CurrentScale[0])), v_.feederClampText[0]};
    s_.PtRatio = loaded.PtRatio;
    s_.CtRatio = loaded.CtRatio;
    s_.CurrentScale = loaded.CurrentScale;

    v_.saveIntervalText = QString::number(loaded.SaveIntervalMin);
    v_.fdIntervalText = QString::number(loaded.FdSaveIntervalMin);
    s_.SaveIntervalMin = loaded.SaveIntervalMin;
    s_.FdSaveIntervalMin = loaded.FdSaveIntervalMin;
    if (loaded.PrintIntervalMin != 0)
        v_.printIntervalText = QString::number(loaded.PrintIntervalMin);
    choosePrint(loaded.PrintIntervalMin != 0 ? 0 : 1);

    v_.dateText = {dateBoxText(loaded.StartDateTime.date()),
                   dateBoxText(loaded.EndDateTime.date())};
    v_.timeText = {timeBoxText(loaded.StartDateTime.time()),
                   timeBoxText(loaded.EndDateTime.time())};
    rebuildDateTimes();

    s_.OutputFile = loaded.OutputFile;
    s_.OutputFolder = loaded.OutputFolder;
    s_.SaveWaveforms = loaded.SaveWaveforms;
    s_.RcRows = loaded.RcRows;
    s_.VConnection = loaded.VConnection;
}

EntryResult SettingsRules::checkPeriod() const
{
    if (!s_.StartDateTime.isValid() || !s_.EndDateTime.isValid() ||
        s_.EndDateTime <= s_.StartDateTime)
        return {false, QStringLiteral("終了日時は開始日時より後にして下さい")};
    return {};
}

QString SettingsRules::currentExtension() const
{
    return extensionFor(v_.saveOptionChoice, s_.feederCount());
}

} // namespace hs
