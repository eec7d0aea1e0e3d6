#include "web/RunFeed.h"

#include "common/Clock.h"

#include <algorithm>

namespace hs::web {

namespace {

// An outage's reason when a message began it.
QString messageReason(const QString& text, const QString& title)
{
    return title.isEmpty() ? text : title + QStringLiteral(": ") + text;
}

} // namespace

RunFeed::RunFeed(const StationRefs& station, EngineObserver* next) : station_(station), next_(next)
{
}

void RunFeed::setWaiting(const QString& text)
{
    waiting_ = true;
    status_ = text;
}

void RunFeed::status(const RunStatus& status)
{
    status_ = status.text;
    if (status.isTrouble())
        trouble(status.text);
    if (next_)
        next_->status(status);
}

const ShotSnapshot& RunFeed::lastShot() const
{
    static const ShotSnapshot none;
    return shot_ ? *shot_ : none;
}

void RunFeed::shotAnalysed(const RunEvent& event)
{
    ++shots_;
    lastShotTime_ = station_.clock.now();
    shot_ = event.as<run::ShotAnalysed>()->snapshot;
    summary_ = event.text;
    if (!outages_.empty() && outages_.back().ongoing())
        outages_.back().to = lastShotTime_;
}

void RunFeed::runEvent(const RunEvent& event)
{
    switch (event.display()) {
    case RunEventDisplay::Notice:
        keep(event.text, QString());
        break;
    case RunEventDisplay::Message:
        keep(event.text, event.severity.title());
        break;
    case RunEventDisplay::Status:
        status_ = event.text;
        break;
    default:
        break;
    }
    if (event.is<run::ShotAnalysed>())
        shotAnalysed(event);
    else if (event.display() == RunEventDisplay::Message)
        trouble(messageReason(event.text, event.severity.title()));
    else if (event.is<run::LinkLost>() || event.is<run::Stalled>() ||
             event.is<run::ReconnectAttempt>())
        trouble(event.text);
    if (next_)
        next_->runEvent(event);
}

void RunFeed::message(const QString& text, const MessageSeverity& severity)
{
    const QString& title = severity.title();
    keep(text, title);
    trouble(messageReason(text, title));
    if (next_)
        next_->message(text, severity);
}

void RunFeed::keep(const QString& text, const QString& title)
{
    messages_.push_back({station_.clock.now(), title, text});
    if (messages_.size() > kMessagesKept)
        messages_.pop_front();
}

void RunFeed::trouble(const QString& reason)
{
    // Trouble before the first shot belongs to the set-up, which reports it by itself; later
    // reports of the same outage add nothing to it.
    if (shots_ == 0 || (!outages_.empty() && outages_.back().ongoing()))
        return;
    outages_.push_back({station_.clock.now(), QDateTime(), reason});
    if (outages_.size() > kOutagesKept)
        outages_.pop_front();
}

qint64 ScheduledSaves(const QDateTime& first, const QDateTime& until, int intervalMin)
{
    if (!first.isValid() || !until.isValid() || until < first)
        return 0;
    if (intervalMin <= 0)
        return 1;
    return first.secsTo(until) / (60 * static_cast<qint64>(intervalMin)) + 1;
}

std::vector<RecordGap> FindRecordGaps(const std::vector<QDateTime>& times, int intervalMin)
{
    std::vector<RecordGap> gaps;
    if (intervalMin <= 0)
        return gaps;
    const qint64 interval = 60 * static_cast<qint64>(intervalMin);
    for (std::size_t i = 1; i < times.size(); ++i) {
        const qint64 apart = times[i - 1].secsTo(times[i]);
        if (apart > interval)
            gaps.push_back({times[i - 1], times[i], (apart - 1) / interval});
    }
    return gaps;
}

RunHealth DeriveRunHealth(const std::vector<QDateTime>& recordTimes,
                          const MeasurementSettings& settings, const QDateTime& now)
{
    RunHealth h;
    const int interval = settings.SaveIntervalMin;
    h.recordsWritten = static_cast<qint64>(recordTimes.size());
    // Every save moves StartDateTime on by one interval: the run's first save time is the
    // first record's, or, before any record, StartDateTime itself.
    h.firstSave = recordTimes.empty() ? settings.StartDateTime : recordTimes.front();
    const QDateTime& end = settings.EndDateTime;
    h.recordsExpectedTotal = ScheduledSaves(h.firstSave, end, interval);
    h.recordsExpectedByNow = ScheduledSaves(h.firstSave, std::min(now, end), interval);
    if (settings.StartDateTime.isValid() && settings.StartDateTime <= end)
        h.nextSave = settings.StartDateTime;
    h.gaps = FindRecordGaps(recordTimes, interval);
    return h;
}

} // namespace hs::web
