#pragma once

#include "model/MessageSeverity.h"
#include "model/RunEvents.h"

#include <QString>

namespace hs {

// How the engine reports to whoever runs it (the screens, the status page, or stdout for the
// subcommands). The engine never touches a widget; every operator-visible text goes through
// here. Listeners decide on the type of a status or an event and its fields, never on its text.
class EngineObserver {
public:
    virtual ~EngineObserver() = default;
    // The status line (the measurement screen's Label2, the preparation screen's status label).
    virtual void status(const RunStatus& status) { (void)status; }
    // An event of the run. By default it is shown as RunEvent::display() says, through the
    // presentation functions below.
    virtual void runEvent(const RunEvent& event);
    // A message box with an OK button, an error or information. The set-up's and the load's
    // problems come here; the run's come as events.
    virtual void message(const QString& text, const MessageSeverity& severity)
    {
        (void)text;
        (void)severity;
    }

protected:
    // The one-line summary of the last shot (the measurement screen's Label1).
    virtual void summaryText(const QString& text) { (void)text; }
    // An event the operator must be able to find later, with its station time in the text: a
    // recorder lost or back, intervals without a record, a late record, the end of the run. It
    // never waits for the operator (a station left alone must go on). By default the status
    // line shows it.
    virtual void notice(const QString& text) { status(RunStatus::usual(text)); }
};

// Discards everything; for callers that do not listen.
class NullObserver : public EngineObserver {};

} // namespace hs
