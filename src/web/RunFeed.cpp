#include "web/RunFeed.h"

#include "common/Clock.h"
#include "engine/Acquisition.h"
#include "engine/HarmonicAnalysis.h"
#include "engine/RangeAdjustment.h"
#include "engine/RunLoop.h"
#include "engine/InstrumentPreparation.h"

#include <algorithm>

namespace hs::web {

bool IsUsualStatusText(const QString& text)
{
    static const QString usual[] = {
        kMeasuringText,
        kCheckingFrequencyText,
        kDisplayingDataText,
        kRangeAdjustingText,
        kAsciiTransferText,
        kConfiguringText,
        QStringLiteral("ＦＦＴ演算中"),
        QStringLiteral("各種演算中"),
    };
    return text.isEmpty() || text.startsWith(kFundamentalFrequencyText) ||
           std::find(std::begin(usual), std::end(usual), text) != std::end(usual);
}

RunFeed::RunFeed(const StationRefs& station, EngineObserver* next) : station_(station), next_(next)
{
}

void RunFeed::setWaiting(const QString& text)
{
    waiting_ = true;
    status_ = text;
}

void RunFeed::statusText(const QString& text)
{
    status_ = text;
    if (!IsUsualStatusText(text))
        trouble(text);
    if (next_)
        next_->statusText(text);
}

void RunFeed::summaryText(const QString& text)
{
    summary_ = text;
    if (next_)
        next_->summaryText(text);
}

void RunFeed::drawResults()
{
    ++shots_;
    lastShotTime_ = station_.clock.now();
    shot_ = station_.data;
    shotSettings_ = station_.settings;
    if (!outages_.empty() && outages_.back().ongoing())
        outages_.back().to = lastShotTime_;
    if (next_)
        next_->drawResults();
}

void RunFeed::message(const QString& text, const QString& title)
{
    keep(text, title);
    trouble(title.isEmpty() ? text : title + QStringLiteral(": ") + text);
    if (next_)
        next_->message(text, title);
}

void RunFeed::notice(const QString& text)
{
    keep(text, QString());
    if (text.contains(kLinkLostText) || text.contains(kShotsFailingText))
        trouble(text);
    if (next_)
        next_->notice(text);
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
