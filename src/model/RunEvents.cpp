#include "model/RunEvents.h"

#include "common/DateText.h"

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

QString RunEvent::noticeLine(const QDateTime& now) const
{
    switch (display()) {
    case RunEventDisplay::Notice:
        return text;
    case RunEventDisplay::Message:
        return messageLine(now, text, severity);
    default:
        return {};
    }
}

QString messageLine(const QDateTime& now, const QString& text, const MessageSeverity& severity)
{
    const QString& title = severity.title();
    return noticeStampText(now) + u' ' +
           (title.isEmpty() ? text : title + QStringLiteral(": ") + text);
}

} // namespace hs
