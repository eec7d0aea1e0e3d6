#include "engine/RunLog.h"

#include "common/Clock.h"
#include "common/DateText.h"
#include "engine/RunLoop.h"
#include "model/MeasurementSettings.h"

#include <unistd.h>

#include <cerrno>

namespace hs {

namespace {

const QString kLogStartText = QStringLiteral("測定開始: 結果ファイル ");
const QString kLogStoppedText = QStringLiteral("測定を中断しました: ");
const QString kLogFailedText = QStringLiteral("測定ログ「%1」を書けません: ");
const QString kLogGoesOnText = QStringLiteral("（測定は続けます）");

} // namespace

RunLog::RunLog(const MeasurementSettings& settings, const RunLoopState& state, const Clock& clock,
               EngineObserver& next)
    : settings_(settings), state_(state), clock_(clock), next_(next),
      file_(pathFor(settings.OutputFile))
{
}

QString RunLog::pathFor(const QString& outputFile)
{
    return outputFile + QStringLiteral(".log");
}

void RunLog::started(const QStringList& resultFiles)
{
    // Appended: a run started again on the same file keeps the earlier runs' lines.
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered)) {
        fail();
        return;
    }
    write(noticeStampText(clock_.now()) + u' ' + kLogStartText +
          resultFiles.join(QStringLiteral("、")) + QStringLiteral("、保存間隔 ") +
          QString::number(settings_.SaveIntervalMin) + QStringLiteral("分、測定期間 ") +
          noticeStampText(settings_.StartDateTime) + QStringLiteral("～") +
          noticeStampText(settings_.EndDateTime));
}

void RunLog::stopped()
{
    endSummary(nullptr);
}

void RunLog::status(const RunStatus& status)
{
    next_.status(status);
}

void RunLog::runEvent(const RunEvent& event)
{
    // Written before it is passed on: a message box may wait for the operator.
    if (event.is<run::RunEnded>())
        endSummary(&event);
    else if (const QString line = event.noticeLine(clock_.now()); !line.isEmpty())
        write(line);
    next_.runEvent(event);
}

void RunLog::message(const QString& text, const MessageSeverity& severity)
{
    write(messageLine(clock_.now(), text, severity));
    next_.message(text, severity);
}

// The end of the run: its notice (or, for a run stopped before its end, a line that says so)
// and every stretch of save times without a record.
void RunLog::endSummary(const RunEvent* end)
{
    if (ended_ || !file_.isOpen())
        return;
    ended_ = true;
    const QStringList account = RunAccountText(state_).split(QStringLiteral("\r\n"));
    const QString line = end ? end->noticeLine(clock_.now()) : QString();
    write(line.isEmpty() ? noticeStampText(clock_.now()) + u' ' + kLogStoppedText + account[0]
                         : line);
    for (qsizetype i = 1; i < account.size(); ++i)
        write(QStringLiteral("  ") + account[i]);
}

void RunLog::write(const QString& line)
{
    if (failed_ || !file_.isOpen())
        return;
    // On disk with the record it tells of: a power cut leaves the log in step with the file.
    const QByteArray bytes = line.toUtf8() + '\n';
    if (file_.write(bytes) == bytes.size() &&
        (::fsync(file_.handle()) == 0 || errno == EINVAL || errno == EROFS))
        return;
    fail();
}

void RunLog::fail()
{
    failed_ = true;
    const QString reason = file_.errorString();
    file_.close();
    next_.runEvent({run::RunLogFailed{file_.fileName(), reason},
                    noticeStampText(clock_.now()) + u' ' + kLogFailedText.arg(file_.fileName()) +
                        reason + kLogGoesOnText,
                    {}});
}

} // namespace hs
