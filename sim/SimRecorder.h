#pragma once

#include "common/Clock.h"
#include "sim/FaultPlan.h"
#include "sim/Scenario.h"

#include <QByteArray>
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringList>
#include <QVector>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace hs::sim {

// One entry of a recorder's command log: when a line arrived, the line, and what the recorder
// made of it when that is worth saying (unknown command, refused value, discarded line).
struct CommandLogEntry {
    QDateTime time;
    QString line;
    QString note;
};

// A waveform file stored on the recorder's floppy disk by ":FDISK:SAVE".
struct FloppyFile {
    QString name;
    QString format; // "W" or "BIN"
    QString what;   // "ALL" or "CH n"
    int samples = 0;
    QDateTime time;
};

// What the transport has to do with the outcome of one command line.
struct LineOutcome {
    QByteArray reply;        // bytes to send, possibly empty
    qint64 replyDelayMs = 0; // nominal wait before the reply goes out
    qint64 busyMs = 0;       // nominal time the recorder needs before its next command
    int segmentBytes = 0;    // > 0: send the reply in segments of this size
    bool drop = false;       // close the connection once the reply is out
};

// One simulated HIOKI memory recorder (8840, 8841 or 8835): its settings, trigger, memory and
// command interpreter. It knows nothing of sockets: SimServer feeds it lines and sends what it
// answers. Time is grid time, the seconds since the shared epoch on the station's Clock, so
// that two recorders of one simulator see the same signal instants.
class SimRecorder {
public:
    static constexpr int kChannels = 16;

    // index: 0 for recorder 1, 1 for recorder 2. The scenario and clock must outlive it.
    SimRecorder(int index, const Scenario& scenario, const Clock& clock, const QDateTime& epoch);

    int index() const { return index_; }
    int model() const { return setup_.model; }
    // 0 for model 8840, 2 for 8835, 1 otherwise.
    int modelClass() const;
    int countsPerDivision() const { return modelClass() == 2 ? 160 : 80; }
    int unitCode(int channel) const;

    // The identity can change while nothing is connected (tests, command-line overrides).
    void setModel(int model);
    void setUnits(const QVector<int>& units);

    // The fault plan; setting it restarts its counters.
    const FaultPlan& faults() const { return faults_; }
    void setFaults(const FaultPlan& plan);

    // Recorder 1's trigger output drives the external trigger input of the others.
    void setPeers(const QVector<SimRecorder*>& peers) { peers_ = peers; }

    // Executes one command line (without its line feed) and logs it.
    LineOutcome executeLine(const QByteArray& line);
    // Logs an event that is not a command (a discarded over-long line, a dropped connection).
    void logEvent(const QString& line, const QString& note);

    const QVector<CommandLogEntry>& commandLog() const { return log_; }
    QStringList commandLines() const; // the lines alone, in order of arrival
    void clearLog() { log_.clear(); }
    // Called for every new log entry (the --log file and -v printing).
    void setLogListener(std::function<void(int index, const CommandLogEntry&)> listener)
    {
        listener_ = std::move(listener);
    }

    // --- State, for tests and the operator ---
    bool headerOn() const { return header_; }
    double range(int channel) const;
    double divisor(int channel) const;
    int shotSamples() const { return shotDivisions_ * 100; }
    double sampleRate() const { return 100.0 / timePerDivision_; }
    // Samples stored by the last completed shot (what ":MEM:MAXP?" answers now).
    int storedSamples();
    // Grid time (s) of stored sample 0, when a shot is stored.
    std::optional<double> storedStartTime();
    // Count of stored sample i of a channel, as the recorder would send it (0 past the end).
    int storedCount(int channel, int i);
    const QVector<FloppyFile>& floppyFiles() const { return floppy_; }
    int errorCount() const { return errors_; }
    double gridSeconds() const;

    // The count a channel reads at grid time t with a given range (V/div), before clipping.
    double countAt(int channel, double range, double t, std::uint64_t key) const;

    // Receives recorder 1's trigger instant (grid seconds) on the external trigger input.
    void externalTrigger(double t);

private:
    struct Channel {
        int unit = 0;
        double range = 1.0;
        double divisor = 1.0;
        bool levelTrigger = false;
        double level = 0.0;
        bool slopeUp = true;
        int position = 50;
        int graph = 1;
        QString draw = QStringLiteral("OFF");
    };
    // A shot: armed by ":STAR", triggered at a sample of this recorder's grid, complete when the
    // last sample has been taken.
    struct Shot {
        double armTime = 0.0;
        double rate = 200000.0;
        int total = 0;
        int pre = 0;
        std::optional<std::int64_t> trigger; // grid sample index of the trigger point
        std::array<double, kChannels> ranges{};
        std::array<double, kChannels> lift{};
        std::array<QVector<Scenario::Term>, kChannels> terms;
        // Counts of a stored shot, each worked out on its first read.
        std::array<std::vector<std::int16_t>, kChannels> stored;
    };
    struct Parsed;
    struct Reply;

    void reset();
    void autoSetup();
    void arm();
    void abortShot();
    void settle(); // moves a finished shot into memory
    std::optional<std::int64_t> findLevelTrigger(const Shot& shot) const;
    double triggerTime(const Shot& shot) const;
    int shotCount(const Shot& shot, int channel, std::int64_t sample) const;
    QByteArray encodeSample(int count) const;
    bool voltageUnit(int channel) const;
    double rangeMax(int channel) const;
    double rangeMin(int channel) const;

    QString headerFor(const Parsed& cmd) const;
    // Counts a query's reply and applies the reply faults; false when the reply is withheld.
    bool replyGoesOut(const Parsed& cmd, Reply& reply, QStringList& notes);
    // Joins the replies of one line into the bytes to send and applies the line faults.
    void sendReplies(const QVector<Reply>& replies, LineOutcome& out, QStringList& notes);

    // One command being executed: the command, its arguments not yet read, the channel of a
    // per-channel command, and what the recorder makes of it (a refusal, a busy time).
    struct Call {
        const Parsed& cmd;
        QString args;
        int channel = 0;
        QString note;
        qint64 busyMs = 0;
    };
    using Handler = std::optional<Reply> (SimRecorder::*)(Call&);
    struct Command {
        Handler handler = nullptr;
        bool perChannel = false; // the arguments begin with "CHn"
    };
    // The command interpreter: full header -> handler.
    static const QHash<QString, Command>& commands();
    std::optional<Reply> execute(Call& call);
    std::optional<Reply> refuse(Call& call, const QString& why);
    std::optional<Reply> text(const Call& call, const QString& value, bool withHeader = true) const;
    std::optional<Reply> onOff(Call& call, bool& flag);
    std::optional<Reply> oneOf(Call& call, const QStringList& words, QString& target,
                               const QString& refusal);
    Channel& channelOf(const Call& call);
    static QString channelText(const Call& call);
    bool channelNumber(Call& call, double& v);
    std::optional<Reply> setCalendar(Call& call, bool date);

    // The handlers, one per command.
    std::optional<Reply> identify(Call& call);
    std::optional<Reply> options(Call& call);
    std::optional<Reply> clearErrors(Call& call);
    std::optional<Reply> resetCommand(Call& call);
    std::optional<Reply> eventStatus(Call& call);
    std::optional<Reply> setHeader(Call& call);
    std::optional<Reply> headerQuery(Call& call);
    std::optional<Reply> acceptArgument(Call& call);
    std::optional<Reply> setFunction(Call& call);
    std::optional<Reply> functionQuery(Call& call);
    std::optional<Reply> setTimePerDivision(Call& call);
    std::optional<Reply> timePerDivisionQuery(Call& call);
    std::optional<Reply> setShot(Call& call);
    std::optional<Reply> shotQuery(Call& call);
    std::optional<Reply> setFormat(Call& call);
    std::optional<Reply> setTimeMagnification(Call& call);
    std::optional<Reply> setDate(Call& call);
    std::optional<Reply> setTime(Call& call);
    std::optional<Reply> dateQuery(Call& call);
    std::optional<Reply> timeQuery(Call& call);
    std::optional<Reply> autoSetupCommand(Call& call);
    std::optional<Reply> abortCommand(Call& call);
    std::optional<Reply> zeroAdjust(Call& call);
    std::optional<Reply> print(Call& call);
    std::optional<Reply> printList(Call& call);
    std::optional<Reply> setDrawing(Call& call);
    std::optional<Reply> setTriggerKind(Call& call);
    std::optional<Reply> triggerKindQuery(Call& call);
    std::optional<Reply> setPosition(Call& call);
    std::optional<Reply> setGraph(Call& call);
    std::optional<Reply> setLevel(Call& call);
    std::optional<Reply> setSlope(Call& call);
    std::optional<Reply> setRange(Call& call);
    std::optional<Reply> rangeQuery(Call& call);
    std::optional<Reply> setMagnification(Call& call);
    std::optional<Reply> magnificationQuery(Call& call);
    std::optional<Reply> setTriggerMode(Call& call);
    std::optional<Reply> setPretrigger(Call& call);
    std::optional<Reply> setExternal(Call& call);
    std::optional<Reply> start(Call& call);
    std::optional<Reply> storedQuery(Call& call);
    std::optional<Reply> setPointer(Call& call);
    std::optional<Reply> readSamples(Call& call);
    std::optional<Reply> setFloppyMode(Call& call);
    std::optional<Reply> setMedium(Call& call);
    std::optional<Reply> floppySave(Call& call);
    std::optional<Reply> floppyDirectory(Call& call);

    int index_;
    const Scenario& scenario_;
    const Clock& clock_;
    QDateTime epoch_;
    RecorderSetup setup_;
    QVector<SimRecorder*> peers_;
    FaultPlan faults_;
    int lineCount_ = 0, queryCount_ = 0, replyCount_ = 0, blockCount_ = 0;
    QVector<CommandLogEntry> log_;
    std::function<void(int, const CommandLogEntry&)> listener_;

    std::array<Channel, kChannels> channels_;
    bool header_ = true;
    double timePerDivision_ = 5e-4;
    int shotDivisions_ = 50;
    double pretrigger_ = 0.0; // percent
    bool external_ = false;
    QString triggerMode_ = QStringLiteral("SING");
    QString function_ = QStringLiteral("MEM");
    QString format_ = QStringLiteral("SING");
    QString xmag_ = QStringLiteral("X1");
    bool floppyEnabled_ = false;
    qint64 calendarOffsetMs_ = 0;
    int errors_ = 0;

    std::optional<Shot> running_;
    std::optional<Shot> memory_;
    int memoryCount_ = 0;
    int pointerChannel_ = 1;
    qint64 pointer_ = 0;
    QVector<FloppyFile> floppy_;
};

} // namespace hs::sim
