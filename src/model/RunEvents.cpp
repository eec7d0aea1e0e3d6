#include "model/RunEvents.h"

#include "model/EngineObserver.h"

namespace hs {

RunEventDisplay RunEvent::display() const
{
    if (text.isEmpty())
        return RunEventDisplay::None;
    if (is<run::ShotAnalysed>())
        return RunEventDisplay::Summary;
    if (is<run::ReconnectAttempt>())
        return RunEventDisplay::Status;
    if (is<run::RecorderChanged>() || is<run::WriteFailed>() || is<run::AnalysisFailed>())
        return RunEventDisplay::Message;
    return RunEventDisplay::Notice;
}

void EngineObserver::runEvent(const RunEvent& e)
{
    switch (e.display()) {
    case RunEventDisplay::Summary:
        summaryText(e.text);
        break;
    case RunEventDisplay::Notice:
        notice(e.text);
        break;
    case RunEventDisplay::Message:
        message(e.text, e.title);
        break;
    case RunEventDisplay::Status:
        status(RunStatus::trouble(e.text));
        break;
    case RunEventDisplay::None:
        break;
    }
}

} // namespace hs
