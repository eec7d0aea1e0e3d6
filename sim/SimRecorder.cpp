#include "sim/SimRecorder.h"

#include <QHash>
#include <QRegularExpression>

#include <algorithm>
#include <cmath>
#include <limits>

namespace hs::sim {

namespace {

// Ranges of the input units, volts per division (1-2-5 series).
constexpr double kRangeSeries[] = {0.005, 0.01, 0.02, 0.05, 0.1,  0.2, 0.5,
                                   1.0,   2.0,  5.0,  10.0, 20.0, 50.0};
// Vertical magnifications as divisors of the display scale (x1/10 ... x100).
constexpr double kDivisors[] = {10.0, 5.0, 4.0, 2.0, 1.0, 0.5, 0.2, 0.1, 0.05, 0.02, 0.01};

constexpr int kMaxBlockSamples = 2000;
constexpr int kMaxAsciiSamples = 400;
constexpr double kTriggerSearchSeconds = 1.0;  // a level trigger is sought this far ahead
constexpr double kTriggerTimeoutSeconds = 0.1; // shots without crossing (fault) trigger here

// Nominal durations of the recorder's slow operations.
constexpr qint64 kFloppySaveMs = 8000;
constexpr qint64 kPrintMs = 6000;
constexpr qint64 kGaugePrintMs = 4000;
constexpr qint64 kAutoSetupMs = 2000;
constexpr qint64 kResetMs = 1000;
constexpr qint64 kZeroAdjustMs = 300;

// Long forms of the command nodes, folded onto the short forms the station uses.
const QHash<QString, QString>& longForms()
{
    static const QHash<QString, QString> map = {
        {QStringLiteral("CONFIGURE"), QStringLiteral("CONF")},
        {QStringLiteral("MEMORY"), QStringLiteral("MEM")},
        {QStringLiteral("TRIGGER"), QStringLiteral("TRIG")},
        {QStringLiteral("DISPLAY"), QStringLiteral("DISP")},
        {QStringLiteral("SYSTEM"), QStringLiteral("SYST")},
        {QStringLiteral("HEADER"), QStringLiteral("HEAD")},
        {QStringLiteral("POINT"), QStringLiteral("POIN")},
        {QStringLiteral("MAXPOINT"), QStringLiteral("MAXP")},
        {QStringLiteral("LEVEL"), QStringLiteral("LEVE")},
        {QStringLiteral("SLOPE"), QStringLiteral("SLOP")},
        {QStringLiteral("PRETRIG"), QStringLiteral("PRET")},
        {QStringLiteral("EXTERNAL"), QStringLiteral("EXTE")},
        {QStringLiteral("POSITION"), QStringLiteral("POSI")},
        {QStringLiteral("RANGE"), QStringLiteral("RANG")},
        {QStringLiteral("GRAPH"), QStringLiteral("GRAP")},
        {QStringLiteral("CHANNEL"), QStringLiteral("CHAN")},
        {QStringLiteral("START"), QStringLiteral("STAR")},
        {QStringLiteral("PRINT"), QStringLiteral("PRIN")},
        {QStringLiteral("FORMAT"), QStringLiteral("FORM")},
        {QStringLiteral("ADJ"), QStringLiteral("ADJUST")},
        {QStringLiteral("ABOR"), QStringLiteral("ABORT")},
    };
    return map;
}

// A number at the front of s: [sign] digits [. digits] [E [sign] digits], blanks before it
// skipped. Consumes it (and a following "," with blanks) on success.
bool takeNumber(QString& s, double& value)
{
    static const QRegularExpression re(
        QStringLiteral("^\\s*([+-]?(?:\\d+\\.?\\d*|\\.\\d+)(?:[eE][+-]?\\d+)?)\\s*(?:,\\s*)?"));
    const QRegularExpressionMatch m = re.match(s);
    if (!m.hasMatch())
        return false;
    bool ok = false;
    value = m.captured(1).toDouble(&ok);
    if (!ok || !std::isfinite(value))
        return false;
    s = s.mid(m.capturedLength(0));
    return true;
}

// "CH" [blanks] n, both the plain ("CH3") and the spaced ("CH 3") form; consumes the following
// "," as well.
bool takeChannel(QString& s, int& channel)
{
    static const QRegularExpression re(QStringLiteral("^\\s*CH\\s*(\\d{1,2})\\s*(?:,\\s*)?"),
                                       QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = re.match(s);
    if (!m.hasMatch())
        return false;
    channel = m.captured(1).toInt();
    if (channel < 1 || channel > SimRecorder::kChannels)
        return false;
    s = s.mid(m.capturedLength(0));
    return true;
}

QString word(const QString& s)
{
    return s.trimmed().toUpper();
}

bool sameValue(double a, double b)
{
    return std::abs(a - b) <= 1e-3 * std::max(std::abs(a), std::abs(b));
}

QString rangeText(double range)
{
    return QString::asprintf("%+.3E", range);
}

QString magnificationText(double divisor)
{
    if (sameValue(divisor, 1.0))
        return QStringLiteral("X1");
    if (divisor > 1.0)
        return QStringLiteral("X1_") + QString::number(divisor, 'g', 6);
    return QStringLiteral("X") + QString::number(1.0 / divisor, 'g', 6);
}

} // namespace

// One command of a line: the header folded to its short form ("MEM:BDAT?", "*IDN?"), the
// arguments as sent, and whether it is a query.
struct SimRecorder::Parsed {
    QString header;
    QString args;
    bool query = false;
};

// What one command answers: text (header added when headers are on) or a binary block.
struct SimRecorder::Reply {
    QByteArray bytes;
    bool binary = false;
};

SimRecorder::SimRecorder(int index, const Scenario& scenario, const Clock& clock,
                         const QDateTime& epoch)
    : index_(index), scenario_(scenario), clock_(clock), epoch_(epoch)
{
    setup_ = scenario.recorders[static_cast<std::size_t>(index == 1 ? 1 : 0)];
    setUnits(setup_.units);
    reset();
    header_ = true;
}

int SimRecorder::modelClass() const
{
    if (setup_.model == 8840)
        return 0;
    if (setup_.model == 8835)
        return 2;
    return 1;
}

int SimRecorder::unitCode(int channel) const
{
    return channel >= 1 && channel <= kChannels ? channels_[channel - 1].unit : 0;
}

void SimRecorder::setModel(int model)
{
    setup_.model = model;
    for (int ch = 1; ch <= kChannels; ++ch)
        channels_[ch - 1].range = voltageUnit(ch) ? rangeMax(ch) : 1.0;
}

void SimRecorder::setUnits(const QVector<int>& units)
{
    setup_.units = units.mid(0, kChannels);
    for (int k = 0; k < kChannels; ++k) {
        channels_[k].unit = k < setup_.units.size() ? setup_.units[k] : 0;
        channels_[k].range = voltageUnit(k + 1) ? rangeMax(k + 1) : 1.0;
    }
}

void SimRecorder::setFaults(const FaultPlan& plan)
{
    faults_ = plan;
    lineCount_ = queryCount_ = replyCount_ = blockCount_ = 0;
}

double SimRecorder::gridSeconds() const
{
    return static_cast<double>(epoch_.msecsTo(clock_.now())) / 1000.0;
}

bool SimRecorder::voltageUnit(int channel) const
{
    const int c = unitCode(channel);
    return c == 7 || c == 4 || c == 1 || (c == 3 && setup_.model == 8840);
}

double SimRecorder::rangeMax(int channel) const
{
    if (!voltageUnit(channel))
        return 0.0;
    const bool low = unitCode(channel) == 7;
    if (setup_.model == 8835)
        return low ? 5.0 : 50.0;
    return low ? 2.0 : 20.0;
}

double SimRecorder::rangeMin(int channel) const
{
    if (!voltageUnit(channel))
        return 0.0;
    const bool low = unitCode(channel) == 7;
    if (setup_.model == 8835)
        return low ? 0.02 : 0.01;
    return low ? 0.01 : 0.005;
}

double SimRecorder::range(int channel) const
{
    return channel >= 1 && channel <= kChannels ? channels_[channel - 1].range : 0.0;
}

double SimRecorder::divisor(int channel) const
{
    return channel >= 1 && channel <= kChannels ? channels_[channel - 1].divisor : 0.0;
}

void SimRecorder::reset()
{
    // The power-on settings of everything but the header (see resetCommand()).
    for (int k = 0; k < kChannels; ++k) {
        Channel& c = channels_[k];
        const int unit = c.unit;
        c = Channel{};
        c.unit = unit;
        c.range = voltageUnit(k + 1) ? rangeMax(k + 1) : 1.0;
    }
    timePerDivision_ = 5e-4;
    shotDivisions_ = 50;
    pretrigger_ = 0.0;
    external_ = false;
    triggerMode_ = QStringLiteral("SING");
    function_ = QStringLiteral("MEM");
    format_ = QStringLiteral("SING");
    xmag_ = QStringLiteral("X1");
    floppyEnabled_ = false;
    running_.reset();
    memory_.reset();
    memoryCount_ = 0;
    pointerChannel_ = 1;
    pointer_ = 0;
}

void SimRecorder::autoSetup()
{
    // The automatic set-up picks, for every voltage input with a signal, the smallest range
    // on which the signal's peak stays within about 700 counts, and magnification x1.
    const double target = 700.0;
    for (int ch = 1; ch <= kChannels; ++ch) {
        if (!voltageUnit(ch))
            continue;
        Channel& c = channels_[ch - 1];
        c.divisor = 1.0;
        const double peak = scenario_.inputPeakBound(index_ + 1, ch);
        if (peak <= 0.0)
            continue;
        double chosen = rangeMax(ch);
        for (double r : kRangeSeries) {
            if (r < rangeMin(ch) * 0.999 || r > rangeMax(ch) * 1.001)
                continue;
            if (peak / r * countsPerDivision() <= target) {
                chosen = r;
                break;
            }
        }
        c.range = chosen;
    }
}

double SimRecorder::countAt(int channel, double rangeVolts, double t, std::uint64_t key) const
{
    if (rangeVolts <= 0.0)
        return 0.0;
    const double v = scenario_.inputVolts(index_ + 1, channel, t, key);
    return v / rangeVolts * countsPerDivision();
}

int SimRecorder::shotCount(const Shot& shot, int channel, std::int64_t sample) const
{
    if (unitCode(channel) == 0)
        return 0;
    const std::size_t k = static_cast<std::size_t>(channel - 1);
    const double r = shot.ranges[k];
    if (r <= 0.0)
        return 0;
    const double t = static_cast<double>(sample) / shot.rate;
    const double v =
        scenario_.volts(shot.terms[k], t, static_cast<std::uint64_t>(sample)) + shot.lift[k];
    const double c = std::nearbyint(v / r * countsPerDivision());
    return static_cast<int>(std::clamp(c, -2048.0, 2047.0));
}

std::optional<std::int64_t> SimRecorder::findLevelTrigger(const Shot& shot) const
{
    // The first sample, after the pre-trigger part has been filled, at which a level-trigger
    // channel passes its level in the chosen direction (previous sample strictly on the other
    // side), compared in counts as the recorder's comparator does.
    QVector<int> sources;
    for (int ch = 1; ch <= kChannels; ++ch) {
        if (channels_[ch - 1].levelTrigger && unitCode(ch) != 0)
            sources.push_back(ch);
    }
    if (sources.isEmpty())
        return std::nullopt;
    const std::int64_t first =
        static_cast<std::int64_t>(std::ceil(shot.armTime * shot.rate)) + shot.pre;
    const std::int64_t last = first + static_cast<std::int64_t>(kTriggerSearchSeconds * shot.rate);
    std::optional<std::int64_t> best;
    for (int ch : sources) {
        const Channel& c = channels_[ch - 1];
        const double r = shot.ranges[static_cast<std::size_t>(ch - 1)];
        const double level = std::nearbyint(c.level / r * countsPerDivision());
        int previous = shotCount(shot, ch, first - 1);
        const std::int64_t stop = best ? std::min(*best, last) : last;
        for (std::int64_t k = first; k <= stop; ++k) {
            const int now = shotCount(shot, ch, k);
            const bool fired =
                c.slopeUp ? (previous < level && now >= level) : (previous > level && now <= level);
            if (fired) {
                best = k;
                break;
            }
            previous = now;
        }
    }
    return best;
}

double SimRecorder::triggerTime(const Shot& shot) const
{
    return shot.trigger ? static_cast<double>(*shot.trigger) / shot.rate : 0.0;
}

void SimRecorder::arm()
{
    Shot shot;
    shot.armTime = gridSeconds();
    shot.rate = sampleRate();
    shot.total = shotSamples();
    shot.pre = static_cast<int>(std::nearbyint(shot.total * pretrigger_ / 100.0));
    for (int k = 0; k < kChannels; ++k) {
        shot.ranges[static_cast<std::size_t>(k)] = channels_[k].range;
        shot.terms[static_cast<std::size_t>(k)] = scenario_.terms(index_ + 1, k + 1);
        if (faults_.noZeroCrossing)
            shot.lift[static_cast<std::size_t>(k)] =
                scenario_.inputPeakBound(index_ + 1, k + 1) + 0.5 * channels_[k].range;
    }
    const std::int64_t armSample = static_cast<std::int64_t>(std::ceil(shot.armTime * shot.rate));
    bool anySource = external_;
    for (const Channel& c : channels_)
        anySource = anySource || c.levelTrigger;

    if (faults_.noTrigger) {
        // Armed for ever: the shot never starts.
    } else if (faults_.noZeroCrossing) {
        shot.trigger =
            armSample + shot.pre + static_cast<std::int64_t>(kTriggerTimeoutSeconds * shot.rate);
    } else if (!anySource) {
        // Without a trigger source the recorder starts at once.
        shot.trigger = armSample + shot.pre;
    } else {
        shot.trigger = findLevelTrigger(shot);
        // An external trigger already announced by recorder 1 may come first.
        if (external_ && index_ != 0) {
            for (SimRecorder* peer : peers_) {
                if (peer == nullptr || peer->index_ != 0 || !peer->running_ ||
                    !peer->running_->trigger)
                    continue;
                const double t = peer->triggerTime(*peer->running_);
                const auto k = static_cast<std::int64_t>(std::nearbyint(t * shot.rate));
                if (k - shot.pre >= armSample && (!shot.trigger || k < *shot.trigger))
                    shot.trigger = k;
            }
        }
    }
    running_ = shot;
    memory_.reset();
    memoryCount_ = 0;
    // Recorder 1's trigger output feeds the others' external trigger inputs.
    if (index_ == 0 && running_->trigger) {
        const double t = triggerTime(*running_);
        for (SimRecorder* peer : peers_) {
            if (peer != nullptr && peer != this)
                peer->externalTrigger(t);
        }
    }
}

void SimRecorder::externalTrigger(double t)
{
    settle();
    if (!running_ || !external_ || faults_.noTrigger || faults_.noZeroCrossing)
        return;
    Shot& shot = *running_;
    const auto k = static_cast<std::int64_t>(std::nearbyint(t * shot.rate));
    const auto armSample = static_cast<std::int64_t>(std::ceil(shot.armTime * shot.rate));
    if (k - shot.pre < armSample)
        return; // the pre-trigger part could not have been filled yet
    if (!shot.trigger || k < *shot.trigger)
        shot.trigger = k;
}

void SimRecorder::settle()
{
    if (!running_ || !running_->trigger)
        return;
    const Shot& shot = *running_;
    const double end = static_cast<double>(*shot.trigger - shot.pre + shot.total) / shot.rate;
    if (gridSeconds() >= end) {
        memory_ = shot;
        memoryCount_ = shot.total;
        running_.reset();
    }
}

void SimRecorder::abortShot()
{
    settle();
    if (!running_)
        return;
    // A shot stopped after its trigger keeps what it has taken; before it, nothing.
    const Shot shot = *running_;
    running_.reset();
    if (!shot.trigger)
        return;
    const double start = static_cast<double>(*shot.trigger - shot.pre) / shot.rate;
    const double taken = (gridSeconds() - start) * shot.rate;
    if (taken <= 0.0)
        return;
    memory_ = shot;
    memoryCount_ = static_cast<int>(std::min<double>(std::floor(taken), shot.total));
}

int SimRecorder::storedSamples()
{
    settle();
    return memory_ ? memoryCount_ : 0;
}

std::optional<double> SimRecorder::storedStartTime()
{
    settle();
    if (!memory_ || !memory_->trigger)
        return std::nullopt;
    return static_cast<double>(*memory_->trigger - memory_->pre) / memory_->rate;
}

int SimRecorder::storedCount(int channel, int i)
{
    settle();
    if (!memory_ || !memory_->trigger || i < 0 || i >= memoryCount_ || channel < 1 ||
        channel > kChannels)
        return 0;
    // Each sample is worked out on its first read and kept; counts lie in -2048..2047, so
    // the int16 minimum marks one not yet worked out.
    constexpr std::int16_t notYet = std::numeric_limits<std::int16_t>::min();
    auto& counts = memory_->stored[static_cast<std::size_t>(channel - 1)];
    if (counts.size() != static_cast<std::size_t>(memoryCount_))
        counts.assign(static_cast<std::size_t>(memoryCount_), notYet);
    std::int16_t& count = counts[static_cast<std::size_t>(i)];
    if (count == notYet)
        count = static_cast<std::int16_t>(
            shotCount(*memory_, channel, *memory_->trigger - memory_->pre + i));
    return count;
}

QByteArray SimRecorder::encodeSample(int count) const
{
    QByteArray b(2, '\0');
    unsigned raw = 0;
    if (modelClass() == 0)
        raw = static_cast<unsigned>(count + 2048) & 0x0FFFu; // offset binary
    else
        raw = static_cast<unsigned>(count) & 0x0FFFu; // two's complement, sign in bit 11
    b[0] = static_cast<char>(raw >> 8);
    b[1] = static_cast<char>(raw & 0xFFu);
    return b;
}

QStringList SimRecorder::commandLines() const
{
    QStringList lines;
    for (const CommandLogEntry& e : log_)
        lines << e.line;
    return lines;
}

void SimRecorder::logEvent(const QString& line, const QString& note)
{
    log_.push_back({clock_.now(), line, note});
    if (listener_)
        listener_(index_, log_.back());
}

QString SimRecorder::headerFor(const Parsed& cmd) const
{
    QString h = cmd.header;
    if (h.endsWith(QLatin1Char('?')))
        h.chop(1);
    return QLatin1Char(':') + h + QLatin1Char(' ');
}

namespace {

// A line split at ";" outside quotes.
QStringList splitCommands(const QString& line)
{
    QStringList pieces;
    QString current;
    bool quoted = false;
    for (QChar c : line) {
        if (c == QLatin1Char('"'))
            quoted = !quoted;
        if (c == QLatin1Char(';') && !quoted) {
            pieces << current;
            current.clear();
        } else {
            current += c;
        }
    }
    pieces << current;
    return pieces;
}

// The full header of a command head ("TDIV", ":CONF:TDIV?"), its nodes folded to their short
// forms; nullopt when it is malformed. A head that does not begin with ":" or "*" continues the
// subsystem of the command before it (":CONF:TDIV 5E-4;SHOT 50" sets CONF:SHOT); prefix holds
// that subsystem and moves on.
std::optional<QString> fullHeader(const QString& head, QStringList& prefix)
{
    if (head.startsWith(QLatin1Char('*')))
        return head.toUpper();
    QStringList nodes = head.toUpper().split(QLatin1Char(':'));
    const bool absolute = head.startsWith(QLatin1Char(':'));
    if (absolute)
        nodes.removeFirst();
    bool bad = nodes.isEmpty();
    for (QString& n : nodes) {
        const bool q = n.endsWith(QLatin1Char('?'));
        if (q)
            n.chop(1);
        if (n.isEmpty() || n.contains(QLatin1Char('?')))
            bad = true;
        n = longForms().value(n, n);
        if (q)
            n += QLatin1Char('?');
    }
    if (bad)
        return std::nullopt;
    if (!absolute)
        nodes = prefix + nodes;
    prefix = nodes.mid(0, nodes.size() - 1);
    return nodes.join(QLatin1Char(':'));
}

// Bytes that stand for line noise before a reply: reproducible, never a line feed.
QByteArray garbage(int replyNumber, int size)
{
    QByteArray junk;
    std::uint32_t x = 0x2545F491u ^ static_cast<std::uint32_t>(replyNumber);
    for (int i = 0; i < size; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        char c = static_cast<char>(x & 0xFFu);
        if (c == '\n')
            c = '\x7F';
        junk += c;
    }
    return junk;
}

} // namespace

LineOutcome SimRecorder::executeLine(const QByteArray& rawLine)
{
    QByteArray bytes = rawLine;
    while (bytes.endsWith('\r') || bytes.endsWith('\n'))
        bytes.chop(1);
    const QString line = QString::fromLatin1(bytes);
    log_.push_back({clock_.now(), line, QString()});
    const int entry = static_cast<int>(log_.size()) - 1;
    ++lineCount_;
    LineOutcome out;
    QStringList notes;
    QStringList prefix;
    QVector<Reply> replies;
    const QStringList pieces = splitCommands(line);
    for (const QString& rawPiece : pieces) {
        const QString piece = rawPiece.trimmed();
        if (piece.isEmpty()) {
            if (pieces.size() > 1 || !line.trimmed().isEmpty()) {
                notes << QStringLiteral("empty command");
                ++errors_;
            }
            continue;
        }
        const int blank = piece.indexOf(QRegularExpression(QStringLiteral("\\s")));
        const QString head = blank < 0 ? piece : piece.left(blank);
        const std::optional<QString> header = fullHeader(head, prefix);
        if (!header) {
            notes << QStringLiteral("malformed header \"%1\"").arg(head);
            ++errors_;
            continue;
        }
        Parsed cmd{*header, blank < 0 ? QString() : piece.mid(blank + 1),
                   head.endsWith(QLatin1Char('?'))};
        Call call{cmd, cmd.args, 0, {}, 0};
        std::optional<Reply> reply = execute(call);
        if (!call.note.isEmpty())
            notes << call.note;
        out.busyMs = std::max(out.busyMs, call.busyMs);
        if (cmd.query && reply && replyGoesOut(cmd, *reply, notes))
            replies.push_back(*reply);
    }
    sendReplies(replies, out, notes);
    if (faults_.dropAfterCommands > 0 && lineCount_ == faults_.dropAfterCommands) {
        out.drop = true;
        notes << QStringLiteral("fault: connection dropped");
    }
    if (!notes.isEmpty())
        log_[entry].note = notes.join(QStringLiteral("; "));
    if (listener_)
        listener_(index_, log_[entry]);
    return out;
}

bool SimRecorder::replyGoesOut(const Parsed& cmd, Reply& reply, QStringList& notes)
{
    ++queryCount_;
    bool silent = faults_.silentQuery == queryCount_;
    if (!faults_.silentCommand.isEmpty()) {
        QString wanted = faults_.silentCommand.trimmed().toUpper();
        if (wanted.startsWith(QLatin1Char(':')))
            wanted.remove(0, 1);
        silent = silent || wanted == cmd.header;
    }
    if (silent) {
        notes << QStringLiteral("fault: no reply");
        return false;
    }
    if (reply.binary) {
        ++blockCount_;
        if (faults_.shortBlock == blockCount_) {
            reply.bytes.truncate(faults_.shortBlockBytes);
            notes << QStringLiteral("fault: block cut to %1 bytes").arg(reply.bytes.size());
        }
    }
    return true;
}

void SimRecorder::sendReplies(const QVector<Reply>& replies, LineOutcome& out, QStringList& notes)
{
    // Text replies of one line are joined with ";" and end in one line feed; binary blocks
    // carry their own line feed.
    QByteArray text;
    bool anyText = false;
    bool binary = false;
    for (const Reply& r : replies) {
        binary = binary || r.binary;
        if (r.binary) {
            if (anyText) {
                out.reply += text + '\n';
                text.clear();
                anyText = false;
            }
            out.reply += r.bytes;
        } else {
            if (anyText)
                text += ';';
            text += r.bytes;
            anyText = true;
        }
    }
    if (anyText)
        out.reply += text + '\n';
    if (out.reply.isEmpty())
        return;
    ++replyCount_;
    if (faults_.garbageReply == replyCount_) {
        const QByteArray junk = garbage(replyCount_, faults_.garbageBytes);
        out.reply.prepend(junk);
        notes << QStringLiteral("fault: %1 garbage bytes").arg(junk.size());
    }
    out.replyDelayMs = faults_.replyDelayMs;
    if (binary && faults_.splitBlockBytes > 0)
        out.segmentBytes = faults_.splitBlockBytes;
}

// --- The command table ---

const QHash<QString, SimRecorder::Command>& SimRecorder::commands()
{
    using S = SimRecorder;
    static const QHash<QString, Command> table = {
        // Common commands
        {QStringLiteral("*IDN?"), {&S::identify}},
        {QStringLiteral("*OPT?"), {&S::options}},
        {QStringLiteral("*CLS"), {&S::clearErrors}},
        {QStringLiteral("*RST"), {&S::resetCommand}},
        {QStringLiteral("*ESR?"), {&S::eventStatus}},
        // Set-up
        {QStringLiteral("HEAD"), {&S::setHeader}},
        {QStringLiteral("HEAD?"), {&S::headerQuery}},
        {QStringLiteral("DISP:CHAN"), {&S::acceptArgument}},
        {QStringLiteral("FUNM"), {&S::setFunction}},
        {QStringLiteral("FUNM?"), {&S::functionQuery}},
        {QStringLiteral("CONF:TDIV"), {&S::setTimePerDivision}},
        {QStringLiteral("CONF:TDIV?"), {&S::timePerDivisionQuery}},
        {QStringLiteral("CONF:SHOT"), {&S::setShot}},
        {QStringLiteral("CONF:SHOT?"), {&S::shotQuery}},
        {QStringLiteral("CONF:FORM"), {&S::setFormat}},
        {QStringLiteral("DISP:XMAG"), {&S::setTimeMagnification}},
        {QStringLiteral("SYST:DATE"), {&S::setDate}},
        {QStringLiteral("SYST:TIME"), {&S::setTime}},
        {QStringLiteral("SYST:DATE?"), {&S::dateQuery}},
        {QStringLiteral("SYST:TIME?"), {&S::timeQuery}},
        {QStringLiteral("AUTO"), {&S::autoSetupCommand}},
        {QStringLiteral("ABORT"), {&S::abortCommand}},
        {QStringLiteral("UNIT:ADJUST"), {&S::zeroAdjust}},
        {QStringLiteral("PRIN"), {&S::print}},
        {QStringLiteral("SYST:LIST"), {&S::printList}},
        // Per-channel settings: the arguments begin with the channel
        {QStringLiteral("DISP:DRAW"), {&S::setDrawing, true}},
        {QStringLiteral("TRIG:KIND"), {&S::setTriggerKind, true}},
        {QStringLiteral("TRIG:KIND?"), {&S::triggerKindQuery, true}},
        {QStringLiteral("UNIT:POSI"), {&S::setPosition, true}},
        {QStringLiteral("DISP:GRAP"), {&S::setGraph, true}},
        {QStringLiteral("TRIG:LEVE"), {&S::setLevel, true}},
        {QStringLiteral("TRIG:SLOP"), {&S::setSlope, true}},
        {QStringLiteral("UNIT:RANG"), {&S::setRange, true}},
        {QStringLiteral("UNIT:RANG?"), {&S::rangeQuery, true}},
        {QStringLiteral("DISP:YMAG"), {&S::setMagnification, true}},
        {QStringLiteral("DISP:YMAG?"), {&S::magnificationQuery, true}},
        // Trigger
        {QStringLiteral("TRIG:MODE"), {&S::setTriggerMode}},
        {QStringLiteral("TRIG:PRET"), {&S::setPretrigger}},
        {QStringLiteral("TRIG:EXTE"), {&S::setExternal}},
        {QStringLiteral("STAR"), {&S::start}},
        // Memory
        {QStringLiteral("MEM:MAXP?"), {&S::storedQuery}},
        {QStringLiteral("MEM:POIN"), {&S::setPointer}},
        {QStringLiteral("MEM:BDAT?"), {&S::readSamples}},
        {QStringLiteral("MEM:ADAT?"), {&S::readSamples}},
        // Floppy disk
        {QStringLiteral("FDISK:MODE"), {&S::setFloppyMode}},
        {QStringLiteral("FDISK:MEDIA"), {&S::setMedium}},
        {QStringLiteral("FDISK:SAVE"), {&S::floppySave}},
        {QStringLiteral("FDISK:DIR?"), {&S::floppyDirectory}},
    };
    return table;
}

std::optional<SimRecorder::Reply> SimRecorder::execute(Call& call)
{
    settle();
    const auto it = commands().constFind(call.cmd.header);
    if (it == commands().constEnd())
        return refuse(call, QStringLiteral("unknown command %1").arg(call.cmd.header));
    if (it->perChannel && !takeChannel(call.args, call.channel))
        return refuse(call, QStringLiteral("channel CH1 to CH16 expected"));
    return (this->*(it->handler))(call);
}

std::optional<SimRecorder::Reply> SimRecorder::refuse(Call& call, const QString& why)
{
    call.note = why;
    ++errors_;
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::text(const Call& call, const QString& value,
                                                    bool withHeader) const
{
    Reply r;
    r.bytes = ((header_ && withHeader ? headerFor(call.cmd) : QString()) + value).toLatin1();
    return r;
}

std::optional<SimRecorder::Reply> SimRecorder::onOff(Call& call, bool& flag)
{
    const QString w = word(call.args);
    if (w == QLatin1String("ON") || w == QLatin1String("1"))
        flag = true;
    else if (w == QLatin1String("OFF") || w == QLatin1String("0"))
        flag = false;
    else
        return refuse(call, QStringLiteral("ON or OFF expected"));
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::oneOf(Call& call, const QStringList& words,
                                                     QString& target, const QString& refusal)
{
    const QString w = word(call.args);
    if (!words.contains(w))
        return refuse(call, refusal);
    target = w;
    return std::nullopt;
}

// --- Common commands ---

std::optional<SimRecorder::Reply> SimRecorder::identify(Call& call)
{
    return text(call, QStringLiteral("HIOKI,%1,0,V1.20").arg(setup_.model), false);
}

std::optional<SimRecorder::Reply> SimRecorder::options(Call& call)
{
    QStringList codes;
    for (int u : setup_.units)
        codes << QString::number(u);
    return text(call, codes.join(QLatin1Char(',')), false);
}

std::optional<SimRecorder::Reply> SimRecorder::clearErrors(Call&)
{
    errors_ = 0;
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::resetCommand(Call& call)
{
    // Settings back to power-on values; the header setting is part of the interface set-up
    // and stays.
    reset();
    call.busyMs = kResetMs;
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::eventStatus(Call& call)
{
    return text(call, QString::number(errors_ > 0 ? 32 : 0), false);
}

// --- Set-up ---

std::optional<SimRecorder::Reply> SimRecorder::setHeader(Call& call)
{
    return onOff(call, header_);
}

std::optional<SimRecorder::Reply> SimRecorder::headerQuery(Call& call)
{
    return text(call, header_ ? QStringLiteral("ON") : QStringLiteral("OFF"));
}

std::optional<SimRecorder::Reply> SimRecorder::acceptArgument(Call& call)
{
    if (word(call.args).isEmpty())
        return refuse(call, QStringLiteral("argument missing"));
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::setFunction(Call& call)
{
    if (word(call.args).isEmpty())
        return refuse(call, QStringLiteral("argument missing"));
    function_ = word(call.args);
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::functionQuery(Call& call)
{
    return text(call, function_);
}

std::optional<SimRecorder::Reply> SimRecorder::setTimePerDivision(Call& call)
{
    double v = 0.0;
    if (!takeNumber(call.args, v) || !(v >= 1e-6 && v <= 100.0))
        return refuse(call, QStringLiteral("time per division refused"));
    timePerDivision_ = v;
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::timePerDivisionQuery(Call& call)
{
    return text(call, QString::asprintf("%+.3E", timePerDivision_));
}

std::optional<SimRecorder::Reply> SimRecorder::setShot(Call& call)
{
    double v = 0.0;
    if (!takeNumber(call.args, v) || v != std::floor(v) || v < 1 || v > 2000)
        return refuse(call, QStringLiteral("shot length refused"));
    shotDivisions_ = static_cast<int>(v);
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::shotQuery(Call& call)
{
    return text(call, QString::number(shotDivisions_));
}

std::optional<SimRecorder::Reply> SimRecorder::setFormat(Call& call)
{
    static const QStringList formats = {"SING", "DUAL", "QUAD", "OCT"};
    return oneOf(call, formats, format_, QStringLiteral("screen format refused"));
}

std::optional<SimRecorder::Reply> SimRecorder::setTimeMagnification(Call& call)
{
    if (!word(call.args).startsWith(QLatin1Char('X')))
        return refuse(call, QStringLiteral("magnification refused"));
    xmag_ = word(call.args);
    return std::nullopt;
}

// Moves the calendar so that its date or time of day reads as given; the rest stays.
std::optional<SimRecorder::Reply> SimRecorder::setCalendar(Call& call, bool date)
{
    double a = 0, b = 0, c = 0;
    if (!takeNumber(call.args, a) || !takeNumber(call.args, b) || !takeNumber(call.args, c))
        return refuse(call, QStringLiteral("three numbers expected"));
    const QDateTime now = clock_.now().addMSecs(calendarOffsetMs_);
    QDateTime set = now;
    if (date) {
        const QDate d(2000 + static_cast<int>(a) % 100, static_cast<int>(b), static_cast<int>(c));
        if (!d.isValid())
            return refuse(call, QStringLiteral("date refused"));
        set.setDate(d);
    } else {
        const QTime t(static_cast<int>(a), static_cast<int>(b), static_cast<int>(c));
        if (!t.isValid())
            return refuse(call, QStringLiteral("time refused"));
        set.setTime(t);
    }
    calendarOffsetMs_ += now.msecsTo(set);
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::setDate(Call& call)
{
    return setCalendar(call, true);
}

std::optional<SimRecorder::Reply> SimRecorder::setTime(Call& call)
{
    return setCalendar(call, false);
}

std::optional<SimRecorder::Reply> SimRecorder::dateQuery(Call& call)
{
    const QDate d = clock_.now().addMSecs(calendarOffsetMs_).date();
    return text(call, QStringLiteral("%1,%2,%3").arg(d.year() % 100).arg(d.month()).arg(d.day()));
}

std::optional<SimRecorder::Reply> SimRecorder::timeQuery(Call& call)
{
    const QTime t = clock_.now().addMSecs(calendarOffsetMs_).time();
    return text(call, QStringLiteral("%1,%2,%3").arg(t.hour()).arg(t.minute()).arg(t.second()));
}

std::optional<SimRecorder::Reply> SimRecorder::autoSetupCommand(Call& call)
{
    autoSetup();
    call.busyMs = kAutoSetupMs;
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::abortCommand(Call&)
{
    abortShot();
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::zeroAdjust(Call& call)
{
    call.busyMs = kZeroAdjustMs;
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::print(Call& call)
{
    call.busyMs = kPrintMs;
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::printList(Call& call)
{
    call.busyMs = kGaugePrintMs;
    if (word(call.args).isEmpty())
        return refuse(call, QStringLiteral("list kind missing"));
    return std::nullopt;
}

// --- Per-channel settings (call.channel read by execute) ---

SimRecorder::Channel& SimRecorder::channelOf(const Call& call)
{
    return channels_[static_cast<std::size_t>(call.channel - 1)];
}

QString SimRecorder::channelText(const Call& call)
{
    return QStringLiteral("CH%1,").arg(call.channel);
}

std::optional<SimRecorder::Reply> SimRecorder::setDrawing(Call& call)
{
    static const QStringList modes = {"OFF", "NORM", "DARK", "C1", "C2", "C3", "C4"};
    return oneOf(call, modes, channelOf(call).draw, QStringLiteral("drawing mode refused"));
}

std::optional<SimRecorder::Reply> SimRecorder::setTriggerKind(Call& call)
{
    const QString w = word(call.args);
    if (w == QLatin1String("OFF"))
        channelOf(call).levelTrigger = false;
    else if (w == QLatin1String("LEVE") || w == QLatin1String("LEVEL"))
        channelOf(call).levelTrigger = true;
    else
        return refuse(call, QStringLiteral("trigger kind refused"));
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::triggerKindQuery(Call& call)
{
    return text(call, channelText(call) + (channelOf(call).levelTrigger ? QStringLiteral("LEVE")
                                                                        : QStringLiteral("OFF")));
}

// The one number after the channel; false (command refused) when there is none or more.
bool SimRecorder::channelNumber(Call& call, double& v)
{
    if (takeNumber(call.args, v) && word(call.args).isEmpty())
        return true;
    refuse(call, QStringLiteral("number expected"));
    return false;
}

std::optional<SimRecorder::Reply> SimRecorder::setPosition(Call& call)
{
    double v = 0.0;
    if (!channelNumber(call, v))
        return std::nullopt;
    if (v < -50 || v > 150)
        return refuse(call, QStringLiteral("zero position refused"));
    channelOf(call).position = static_cast<int>(v);
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::setGraph(Call& call)
{
    double v = 0.0;
    if (!channelNumber(call, v))
        return std::nullopt;
    if (v < 1 || v > 8 || v != std::floor(v))
        return refuse(call, QStringLiteral("graph refused"));
    channelOf(call).graph = static_cast<int>(v);
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::setLevel(Call& call)
{
    double v = 0.0;
    if (channelNumber(call, v))
        channelOf(call).level = v;
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::setSlope(Call& call)
{
    const QString w = word(call.args);
    if (w == QLatin1String("UP"))
        channelOf(call).slopeUp = true;
    else if (w == QLatin1String("DOWN"))
        channelOf(call).slopeUp = false;
    else
        return refuse(call, QStringLiteral("slope refused"));
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::setRange(Call& call)
{
    const int ch = call.channel;
    double v = 0.0;
    if (!takeNumber(call.args, v) || !word(call.args).isEmpty())
        return refuse(call, QStringLiteral("range value expected"));
    if (!voltageUnit(ch))
        return refuse(call, QStringLiteral("CH%1 has no voltage unit, range kept").arg(ch));
    for (double r : kRangeSeries) {
        if (sameValue(r, v) && r >= rangeMin(ch) * 0.999 && r <= rangeMax(ch) * 1.001) {
            channelOf(call).range = r;
            return std::nullopt;
        }
    }
    return refuse(call, QStringLiteral("range %1 refused on CH%2 (%3 to %4), range kept")
                            .arg(v)
                            .arg(ch)
                            .arg(rangeMin(ch))
                            .arg(rangeMax(ch)));
}

std::optional<SimRecorder::Reply> SimRecorder::rangeQuery(Call& call)
{
    if (unitCode(call.channel) == 0)
        return refuse(call, QStringLiteral("CH%1 has no unit").arg(call.channel));
    return text(call, channelText(call) + rangeText(channelOf(call).range));
}

std::optional<SimRecorder::Reply> SimRecorder::setMagnification(Call& call)
{
    // "X1_f" (divisor f, also spaced: "X1_ 4") or "Xn" (factor n).
    QString w = call.args.trimmed().toUpper();
    double d = 0.0;
    if (w.startsWith(QLatin1String("X1_"))) {
        w = w.mid(3);
        if (!takeNumber(w, d) || !w.trimmed().isEmpty() || d <= 0.0)
            return refuse(call, QStringLiteral("magnification refused"));
    } else if (w.startsWith(QLatin1Char('X'))) {
        w = w.mid(1);
        double f = 0.0;
        if (!takeNumber(w, f) || !w.trimmed().isEmpty() || f <= 0.0)
            return refuse(call, QStringLiteral("magnification refused"));
        d = 1.0 / f;
    } else {
        return refuse(call, QStringLiteral("magnification refused"));
    }
    for (double allowed : kDivisors) {
        if (sameValue(allowed, d)) {
            channelOf(call).divisor = allowed;
            return std::nullopt;
        }
    }
    return refuse(call, QStringLiteral("magnification 1/%1 refused, kept").arg(d));
}

std::optional<SimRecorder::Reply> SimRecorder::magnificationQuery(Call& call)
{
    return text(call, channelText(call) + magnificationText(channelOf(call).divisor));
}

// --- Trigger ---

std::optional<SimRecorder::Reply> SimRecorder::setTriggerMode(Call& call)
{
    static const QStringList modes = {"SING", "REP", "AUTO"};
    return oneOf(call, modes, triggerMode_, QStringLiteral("trigger mode refused"));
}

std::optional<SimRecorder::Reply> SimRecorder::setPretrigger(Call& call)
{
    double v = 0.0;
    if (!takeNumber(call.args, v) || v < 0 || v > 100)
        return refuse(call, QStringLiteral("pre-trigger refused"));
    pretrigger_ = v;
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::setExternal(Call& call)
{
    return onOff(call, external_);
}

std::optional<SimRecorder::Reply> SimRecorder::start(Call&)
{
    arm();
    return std::nullopt;
}

// --- Memory ---

std::optional<SimRecorder::Reply> SimRecorder::storedQuery(Call& call)
{
    return text(call, QString::number(storedSamples()));
}

std::optional<SimRecorder::Reply> SimRecorder::setPointer(Call& call)
{
    int ch = 0;
    double p = 0.0;
    if (!takeChannel(call.args, ch) || !takeNumber(call.args, p) || !word(call.args).isEmpty() ||
        p < 0 || p != std::floor(p) || p > 1e9)
        return refuse(call, QStringLiteral("CHn,position expected"));
    pointerChannel_ = ch;
    pointer_ = static_cast<qint64>(p);
    return std::nullopt;
}

// MEM:BDAT? (a binary block) and MEM:ADAT? (numbers): samples from the pointer on.
std::optional<SimRecorder::Reply> SimRecorder::readSamples(Call& call)
{
    const bool binary = call.cmd.header == QLatin1String("MEM:BDAT?");
    double n = 0.0;
    const int limit = binary ? kMaxBlockSamples : kMaxAsciiSamples;
    if (!takeNumber(call.args, n) || !word(call.args).isEmpty() || n < 1 || n > limit ||
        n != std::floor(n))
        return refuse(call, QStringLiteral("sample count 1 to %1 expected").arg(limit));
    const int count = static_cast<int>(n);
    Reply r;
    r.binary = binary;
    QStringList values;
    if (binary)
        r.bytes = QByteArrayLiteral("#0");
    // Samples past the stored ones read as zero; the pointer moves on regardless.
    for (int i = 0; i < count; ++i) {
        const qint64 pos = pointer_ + i;
        const int value =
            pos < memoryCount_ ? storedCount(pointerChannel_, static_cast<int>(pos)) : 0;
        if (binary)
            r.bytes += encodeSample(value);
        else
            values << QString::number(modelClass() == 0 ? value + 2048 : value);
    }
    pointer_ += count;
    if (binary) {
        r.bytes += '\n';
        return r;
    }
    return text(call, values.join(QLatin1Char(',')));
}

// --- Floppy disk ---

std::optional<SimRecorder::Reply> SimRecorder::setFloppyMode(Call& call)
{
    return onOff(call, floppyEnabled_);
}

std::optional<SimRecorder::Reply> SimRecorder::setMedium(Call& call)
{
    const QString w = word(call.args);
    if (w != QLatin1String("FD") && w != QLatin1String("PC") && w != QLatin1String("HD"))
        return refuse(call, QStringLiteral("medium refused"));
    floppyEnabled_ = w == QLatin1String("FD");
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::floppySave(Call& call)
{
    static const QRegularExpression re(
        QStringLiteral(
            "^\\s*\"([^\"]{1,64})\"\\s*,\\s*(W|BIN|TEXT)\\s*,\\s*(ALL|CH\\s*(\\d{1,2}))\\s*$"),
        QRegularExpression::CaseInsensitiveOption);
    const QRegularExpressionMatch m = re.match(call.args);
    if (!m.hasMatch())
        return refuse(call, QStringLiteral("\"name\",format,what expected"));
    if (!floppyEnabled_)
        return refuse(call, QStringLiteral("floppy disk not selected"));
    if (storedSamples() == 0)
        return refuse(call, QStringLiteral("no waveform to save"));
    FloppyFile f;
    f.name = m.captured(1);
    f.format = m.captured(2).toUpper();
    f.what = m.captured(4).isEmpty() ? QStringLiteral("ALL")
                                     : QStringLiteral("CH %1").arg(m.captured(4).toInt());
    f.samples = memoryCount_;
    f.time = clock_.now().addMSecs(calendarOffsetMs_);
    floppy_.erase(std::remove_if(floppy_.begin(), floppy_.end(),
                                 [&](const FloppyFile& o) { return o.name == f.name; }),
                  floppy_.end());
    floppy_.push_back(f);
    call.busyMs = kFloppySaveMs;
    return std::nullopt;
}

std::optional<SimRecorder::Reply> SimRecorder::floppyDirectory(Call& call)
{
    QStringList names;
    for (const FloppyFile& f : floppy_)
        names << f.name;
    return text(call, names.join(QLatin1Char(',')));
}

} // namespace hs::sim
