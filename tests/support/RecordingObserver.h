#pragma once

// The engine observer of the tests: keeps everything the engine reports, in order.

#include "common/EngineObserver.h"

#include <QString>
#include <QStringList>

#include <algorithm>
#include <utility>
#include <vector>

namespace hs::testing {

struct RecordingObserver : EngineObserver {
    void statusText(const QString& text) override { statuses << text; }
    void summaryText(const QString& text) override { summaries << text; }
    void drawResults() override { ++draws; }
    void notice(const QString& text) override { notices << text; }
    void message(const QString& text, const QString& title) override
    {
        messages.emplace_back(text, title);
    }

    bool saw(const QString& text) const { return statuses.contains(text); }
    bool sawStarting(const QString& prefix) const
    {
        return std::any_of(statuses.begin(), statuses.end(),
                           [&prefix](const QString& s) { return s.startsWith(prefix); });
    }

    QStringList statuses;
    QStringList summaries;
    int draws = 0;
    QStringList notices;
    std::vector<std::pair<QString, QString>> messages; // text, title
};

} // namespace hs::testing
