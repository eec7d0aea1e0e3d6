#include "model/EngineObserver.h"

namespace hs {

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
        message(e.text, e.severity);
        break;
    case RunEventDisplay::Status:
        status(RunStatus::trouble(e.text));
        break;
    case RunEventDisplay::None:
        break;
    }
}

} // namespace hs
