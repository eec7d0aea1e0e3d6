#include "model/RunEvents.h"

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

} // namespace hs
