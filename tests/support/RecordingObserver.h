#pragma once

// The engine observer of the tests: keeps everything the engine reports, in order.

#include "model/EngineObserver.h"

#include <QString>
#include <QStringList>

#include <algorithm>
#include <utility>
#include <vector>

namespace hs::testing {

struct RecordingObserver : EngineObserver {
    void status(const RunStatus& s) override
    {
        statuses << s.text;
        statusKinds.push_back(s.kind);
    }
    void runEvent(const RunEvent& e) override { events.push_back(e); }
    void message(const QString& text, const MessageSeverity& severity) override
    {
        messages.emplace_back(text, severity.title());
    }

    bool saw(const QString& text) const { return statuses.contains(text); }
    bool sawStarting(const QString& prefix) const
    {
        return std::any_of(statuses.begin(), statuses.end(),
                           [&prefix](const QString& s) { return s.startsWith(prefix); });
    }
    // The events of one type, in order.
    template <typename T> std::vector<RunEvent> eventsOf() const
    {
        std::vector<RunEvent> found;
        std::copy_if(events.begin(), events.end(), std::back_inserter(found),
                     [](const RunEvent& e) { return e.is<T>(); });
        return found;
    }
    template <typename T> int count() const { return static_cast<int>(eventsOf<T>().size()); }
    // The summary lines of the analysed shots.
    QStringList summaries() const
    {
        QStringList lines;
        for (const RunEvent& e : eventsOf<run::ShotAnalysed>())
            lines << e.text;
        return lines;
    }

    QStringList statuses;
    std::vector<RunStatus::Kind> statusKinds;
    std::vector<RunEvent> events;
    std::vector<std::pair<QString, QString>> messages; // text, title
};

} // namespace hs::testing
