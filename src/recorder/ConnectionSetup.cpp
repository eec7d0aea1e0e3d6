#include "recorder/ConnectionSetup.h"

#include "common/Clock.h"
#include "common/Numbers.h"
#include "recorder/RecorderCommands.h"

#include <QDateTime>
#include <QStringList>

#include <cmath>

namespace hs {

namespace {

const QString kPowerCycleNote =
    QStringLiteral("測定器のアドレスは設定後、電源を入れ直すとセットされます．");

QString connectMessage(const QString& address, int port)
{
    return QStringLiteral("TCP/IPの初期化ができません.") + QStringLiteral("測定器のIPアドレスが") +
           address + QStringLiteral("であることと、ポート番号が") + QString::number(port) +
           QStringLiteral("であることを確認して下さい.") + QStringLiteral("\r\n") + kPowerCycleNote;
}

QString identifyMessage(int n)
{
    return QString::number(n) + QStringLiteral("台目の測定器が初期化できません.") +
           QStringLiteral("測定器のアドレスと設定があっているかを確認して下さい．") +
           QStringLiteral("\r\n") + kPowerCycleNote;
}

QString noChannelMessage(int n, int model)
{
    return QString::number(n) + QStringLiteral("台目の測定器") + QString::number(model) +
           QStringLiteral("で必要な入力チャンネルが確認できませんでした。") +
           QStringLiteral("プログラムを終了します。");
}

// Range limits of one input channel: the highest range and the lowest range the channel allows,
// both 0 when the channel cannot be used.
struct RangeLimits {
    std::int16_t max = 0;
    float min = 0.0f;
};

RangeLimits rangeLimitsOf(int model, int unit)
{
    if (!isUsableUnit(unit, model))
        return {};
    // Unit 7 has the finer ranges; the 8835 counts twice as many per division.
    if (model == 8835)
        return unit == 7 ? RangeLimits{5, 0.02f} : RangeLimits{50, 0.01f};
    return unit == 7 ? RangeLimits{2, 0.01f} : RangeLimits{20, 0.005f};
}

} // namespace

QString identityChange(const RecorderFacts& facts, int r, const RecorderIdentity& now)
{
    const std::size_t ri = r == 1 ? 1 : 0;
    QStringList changes;
    if (now.model != facts.RecorderModel[ri])
        changes << QStringLiteral("機種 %1→%2").arg(facts.RecorderModel[ri]).arg(now.model);
    for (std::size_t k = 0; k < 16; ++k) {
        if (now.units[k] != facts.ChannelUnit[ri][k])
            changes << QStringLiteral("CH%1 ユニット %2→%3")
                           .arg(k + 1)
                           .arg(facts.ChannelUnit[ri][k])
                           .arg(now.units[k]);
    }
    return changes.join(QStringLiteral("、"));
}

std::optional<quint16> portNumberOf(const QString& text)
{
    const double value = roundHalfEven(readNumber(text));
    if (!(value >= 1.0 && value <= 65535.0))
        return std::nullopt;
    return static_cast<quint16>(value);
}

bool portEndsInTwo(const QString& text)
{
    const double value = roundHalfEven(readNumber(text));
    return std::fmod(value, 10.0) == 2.0;
}

QString portMessage()
{
    return QStringLiteral("ポートＮｏ．の末尾は「２」として下さい.");
}

QString notAPortMessage()
{
    return QStringLiteral("ポートＮｏ．は１～６５５３５の数字で入力して下さい.");
}

QString portTextMessage(const QString& text)
{
    if (!portNumberOf(text))
        return notAPortMessage();
    return portEndsInTwo(text) ? QString() : portMessage();
}

ConnectionSetup::ConnectionSetup(RecorderPair& recorders, EngineObserver& observer)
    : recorders_(recorders), facts_(recorders.facts()), observer_(observer)
{
}

void ConnectionSetup::report(const QString& text)
{
    observer_.message(text, MessageSeverity::error());
}

ConnectionStatus ConnectionSetup::initialise(const ConnectionRequest& request)
{
    facts_.LastRecorder = request.recorderCount >= 2 ? 1 : 0;
    facts_.UsableChannelTotal = 0;

    if (!connectAll(request))
        return ConnectionStatus::Failed;

    Transport& link = recorders_.link();
    link.waitSeconds(2);
    link.setTerminators(10, 138);
    link.setReplyTimeout(30);
    link.clearAllReceived();

    for (int r = 0; r <= recorders_.lastInUse(); ++r) {
        const ConnectionStatus status = identify(r);
        if (status != ConnectionStatus::Ok)
            return status;
    }

    link.waitSeconds(3);
    for (int r = 0; r <= recorders_.lastInUse(); ++r)
        preconfigure(r);
    link.waitSeconds(1);
    for (int r = 0; r <= recorders_.lastInUse(); ++r)
        setRecorderClock(r);
    return ConnectionStatus::Ok;
}

void ConnectionSetup::preconfigure(int r)
{
    recorders_[r].idleSetup();
    recorders_[r].headerOff();
}

void ConnectionSetup::setRecorderClock(int r)
{
    // One reading of the calendar for both lines, so that they never straddle midnight.
    recorders_[r].setClock(recorders_.link().clock().now());
}

RecorderIdentity ConnectionSetup::readIdentity(int r)
{
    Recorder& recorder = recorders_[r];
    RecorderIdentity identity;
    recorder.clearStatus();
    identity.model = recorder.identify().valueOr(0);
    if (identity.model <= 8829)
        return identity;
    identity.units = recorder.unitCodes().valueOr({});
    return identity;
}

Result<void> ConnectionSetup::reinitialise(int r)
{
    Transport& link = recorders_.link();
    link.setTerminators(10, 138);
    link.setReplyTimeout(30);
    recorders_[r].clearReceived();
    const RecorderIdentity identity = readIdentity(r);
    if (identity.model <= 8829)
        return fail(Error{static_cast<int>(ReinitialiseFailure::NoAnswer), identifyMessage(r + 1)});
    const QString difference = identityChange(facts_, r, identity);
    if (!difference.isEmpty())
        return fail(Error{static_cast<int>(ReinitialiseFailure::Different), difference});
    recorders_[r].reset();
    link.waitSeconds(3);
    preconfigure(r);
    link.waitSeconds(1);
    setRecorderClock(r);
    return {};
}

bool ConnectionSetup::connectAll(const ConnectionRequest& request)
{
    // Whatever an earlier attempt left open is closed, so that every attempt starts cleanly.
    recorders_[0].close();
    recorders_[1].close();

    bool allConnected = true;
    for (int r = 0; r <= recorders_.lastInUse(); ++r) {
        const QString& address = request.addresses[r];
        const std::optional<quint16> port = portNumberOf(request.ports[r]);
        if (!port) {
            // No connection to a wrapped or zero port: the operator corrects the text first.
            report(notAPortMessage());
            allConnected = false;
            continue;
        }
        Clock::pumpEvents();
        if (!recorders_[r].open(address, *port)) {
            report(connectMessage(address, *port));
            allConnected = false;
        }
    }
    return allConnected;
}

ConnectionStatus ConnectionSetup::identify(int r)
{
    const int n = r + 1;

    const RecorderIdentity identity = readIdentity(r);
    const std::int16_t model = identity.model;
    facts_.RecorderModel[r] = model;
    if (progress_.modelFound)
        progress_.modelFound(r, model);
    Clock::pumpEvents();

    if (model <= 8829) {
        report(identifyMessage(n));
        return ConnectionStatus::Failed;
    }
    facts_.ModelClass[r] = cmd::modelClassOf(model);

    const std::array<std::int16_t, 16>& units = identity.units;

    std::int16_t usable = 0;
    for (int k = 0; k < 16; ++k) {
        const std::int16_t unit = units[static_cast<std::size_t>(k)];
        facts_.ChannelUnit[r][k] = unit;
        const RangeLimits limits = rangeLimitsOf(model, unit);
        facts_.ChannelRangeMax[r][k] = limits.max;
        facts_.ChannelRangeMin[r][k] = limits.min;
        if (isUsableUnit(unit, model))
            ++usable;
    }

    if (usable == 0) {
        report(noChannelMessage(n, model));
        return ConnectionStatus::EndProgram;
    }
    if (progress_.channelsFound)
        progress_.channelsFound(r, usable);
    Clock::pumpEvents();
    recorders_[r].reset();
    facts_.UsableChannelTotal = static_cast<std::int16_t>(facts_.UsableChannelTotal + usable);
    return ConnectionStatus::Ok;
}

} // namespace hs
