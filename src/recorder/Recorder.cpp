#include "recorder/Recorder.h"

#include "common/DateText.h"
#include "model/RecorderFacts.h"

#include <cmath>

namespace hs {

template <typename R> R Recorder::noted(R result)
{
    if (!result.ok() && isLinkLoss(result.error().kind))
        lost_ = true;
    return result;
}

LinkStatus Recorder::send(const QString& line)
{
    return noted(link_.send(index_, line));
}

LinkReply<QString> Recorder::query(const QString& line)
{
    const LinkStatus sent = send(line);
    LinkReply<QString> reply = noted(link_.receiveLine(index_));
    // A line that never went out cannot be answered: its error is the one that counts.
    if (!sent.ok() && !reply.ok())
        return fail(sent.error());
    return reply;
}

// --- Identification and set-up ---

LinkStatus Recorder::clearStatus()
{
    return send(cmd::clearStatus());
}

LinkReply<std::int16_t> Recorder::identify()
{
    const LinkReply<QString> reply = query(cmd::identify());
    if (!reply)
        return fail(reply.error());
    return cmd::parseModel(*reply);
}

LinkReply<std::array<std::int16_t, 16>> Recorder::unitCodes()
{
    const LinkReply<QString> reply = query(cmd::options());
    if (!reply)
        return fail(reply.error());
    return cmd::parseUnitCodes(*reply);
}

LinkStatus Recorder::reset()
{
    return send(cmd::reset());
}

LinkStatus Recorder::idleSetup()
{
    return send(cmd::idleSetup());
}

LinkStatus Recorder::headerOff()
{
    return send(cmd::headerOff());
}

LinkStatus Recorder::setClock(const QDateTime& now)
{
    const LinkStatus date = send(cmd::systemDate(now.date()));
    const LinkStatus time = send(cmd::systemTime(now.time()));
    return date.ok() ? time : date;
}

LinkStatus Recorder::autoSetup()
{
    return send(cmd::autoSetup());
}

LinkStatus Recorder::abort()
{
    return send(cmd::abort());
}

// --- Configuration ---

LinkStatus Recorder::setDrawMode(int ch, DrawMode mode)
{
    return send(cmd::displayDraw(ch, mode));
}

LinkStatus Recorder::channel1TriggerOff()
{
    return send(cmd::triggerKindChannel1Off());
}

LinkStatus Recorder::setMemoryFormat(bool quad)
{
    return send(cmd::configureMeasurement(quad));
}

LinkStatus Recorder::setZeroPosition(int ch)
{
    return send(cmd::unitPosition(ch));
}

LinkStatus Recorder::triggerOff(int ch)
{
    return send(cmd::triggerKindOff(ch));
}

LinkStatus Recorder::setGraph(int ch, int graph)
{
    return send(cmd::displayGraph(ch, graph));
}

LinkStatus Recorder::triggerOnRisingZero(int ch)
{
    LinkStatus result = send(cmd::triggerKindLevel(ch));
    for (const QString& line : {cmd::triggerLevelSlope(ch), cmd::triggerModeSingle()}) {
        const LinkStatus sent = send(line);
        if (result.ok())
            result = sent;
    }
    return result;
}

LinkStatus Recorder::followExternalTrigger()
{
    LinkStatus result;
    for (const QString& line : {cmd::triggerKindCh1Level(), cmd::triggerModeSingle(),
                                cmd::triggerExternalOn(), cmd::triggerKindCh1Off()}) {
        const LinkStatus sent = send(line);
        if (result.ok())
            result = sent;
    }
    return result;
}

LinkStatus Recorder::zeroAdjust()
{
    return send(cmd::unitAdjust());
}

// --- Ranges ---

LinkReply<double> Recorder::readRange(int ch)
{
    const LinkReply<QString> reply = query(cmd::unitRangeQuery(ch));
    if (!reply)
        return fail(reply.error());
    const double range = cmd::parseRangeReply(*reply, ch);
    if (range == 0 || !std::isfinite(range))
        return fail(linkError(LinkErrorKind::Garbled));
    return range;
}

LinkReply<double> Recorder::readMagnification(int ch)
{
    const LinkReply<QString> reply = query(cmd::displayYMagQuery(ch));
    if (!reply)
        return fail(reply.error());
    const std::optional<double> divisor = cmd::parseMagnificationReply(*reply);
    if (!divisor)
        return fail(linkError(LinkErrorKind::Garbled));
    return *divisor;
}

LinkStatus Recorder::setRange(int ch, double range)
{
    return send(cmd::unitRange(ch, range));
}

LinkStatus Recorder::setMagnification(int ch, double divisor)
{
    return send(cmd::displayYMag(ch, divisor));
}

// --- Shots and data ---

LinkStatus Recorder::start()
{
    return send(cmd::start());
}

LinkReply<double> Recorder::storedSamples()
{
    const LinkReply<QString> reply = query(cmd::memMaxPoint());
    if (!reply)
        return fail(reply.error());
    return cmd::parseMaxPoint(*reply);
}

LinkStatus Recorder::pointAt(int ch, int point, bool spaced)
{
    return send(cmd::memPoint(ch, point, spaced));
}

LinkStatus Recorder::requestBlock(int samples)
{
    return send(cmd::memBinaryData(samples));
}

LinkReply<std::span<const std::uint8_t>> Recorder::receiveBlock(int bytes)
{
    LinkReply<std::span<const std::uint8_t>> block = noted(link_.receiveBlock(index_, bytes));
    if (block.ok() && block->size() != static_cast<std::size_t>(bytes) + 1)
        block = fail(linkError(LinkErrorKind::Garbled, static_cast<int>(block->size()) - 1));
    if (!block.ok())
        link_.discardReceived(index_);
    return block;
}

LinkStatus Recorder::requestAscii()
{
    return send(cmd::memAsciiData());
}

LinkReply<std::array<std::int16_t, cmd::kAsciiSamples>> Recorder::receiveAscii(int modelClass)
{
    const LinkReply<QString> reply = noted(link_.receiveLine(index_));
    if (!reply)
        return fail(reply.error());
    const auto values = cmd::parseAsciiData(*reply, modelClass);
    if (!values)
        return fail(linkError(LinkErrorKind::Garbled));
    return *values;
}

void Recorder::drainReply()
{
    noted(link_.receiveLine(index_));
}

void Recorder::clearReceived()
{
    link_.clearReceived(index_);
}

// --- Printing and the floppy disk ---

LinkStatus Recorder::print()
{
    return send(cmd::print());
}

LinkStatus Recorder::listGauge()
{
    return send(cmd::listGauge());
}

LinkStatus Recorder::configureShot50()
{
    return send(cmd::configureShot50());
}

LinkStatus Recorder::configureShot100()
{
    return send(cmd::configureShot100());
}

LinkStatus Recorder::enableFloppy(int modelClass)
{
    return send(cmd::fdiskEnable(modelClass));
}

LinkStatus Recorder::floppyOff()
{
    return send(cmd::fdiskModeOff());
}

QString FloppySaveLine(const QDateTime& saveTime, int modelClass, int fdSaveMode)
{
    return cmd::fdiskSave(recorderFloppyFileName(saveTime), modelClass, fdSaveMode);
}

LinkStatus Recorder::saveToFloppy(const QDateTime& saveTime, int modelClass, int fdSaveMode)
{
    return send(FloppySaveLine(saveTime, modelClass, fdSaveMode));
}

// --- The link ---

LinkStatus Recorder::open(const QString& host, quint16 port)
{
    lost_ = false;
    return link_.open(index_, host, port);
}

void Recorder::close()
{
    link_.close(index_);
}

bool Recorder::reopen()
{
    lost_ = false;
    return link_.reopen(index_);
}

// --- The pair ---

RecorderPair::RecorderPair(Transport& link, RecorderFacts& facts)
    : link_(link), facts_(facts), recorders_{Recorder(link, 0), Recorder(link, 1)}
{
}

int RecorderPair::lastInUse() const
{
    return facts_.LastRecorder == 1 ? 1 : 0;
}

int RecorderPair::modelClass(int recorder) const
{
    return facts_.ModelClass[static_cast<std::size_t>(indexOf(recorder))];
}

bool RecorderPair::anyLost() const
{
    for (int r = 0; r <= lastInUse(); ++r)
        if (recorders_[static_cast<std::size_t>(r)].linkLost())
            return true;
    return false;
}

} // namespace hs
