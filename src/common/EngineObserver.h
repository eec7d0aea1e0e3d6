#pragma once

#include <QString>

namespace hs {

// How the engine reports to whoever runs it (the screens, or stdout for the subcommands).
// The engine never touches a widget; every operator-visible text goes through here.
class EngineObserver {
public:
    virtual ~EngineObserver() = default;
    // The status line (the measurement screen's Label2, the preparation screen's status label).
    virtual void statusText(const QString& text) { (void)text; }
    // The one-line summary of the last shot (the measurement screen's Label1).
    virtual void summaryText(const QString& text) { (void)text; }
    // The results of a shot are ready to be drawn in the current view.
    virtual void drawResults() {}
    // An event of the run that the operator must be able to find later, with its station time
    // in the text: a recorder lost or back, intervals without a record, a late record, the end
    // of the run. It never waits for the operator (a station left alone must go on). The
    // measurement screen lists these lines; by default the status line shows them.
    virtual void notice(const QString& text) { statusText(text); }
    // A message box with an OK button; title "エラー" for errors, empty when none is given.
    virtual void message(const QString& text, const QString& title)
    {
        (void)text;
        (void)title;
    }
};

// Discards everything; for callers that do not listen.
class NullObserver : public EngineObserver {};

} // namespace hs
