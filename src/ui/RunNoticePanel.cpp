#include "ui/RunNoticePanel.h"

#include "common/DateText.h"
#include "engine/RunLoop.h"
#include "model/MeasurementSettings.h"
#include "web/RunFeed.h"

#include <QFileInfo>
#include <QLabel>
#include <QListWidget>

#include <algorithm>

namespace hs {

namespace {

const QString kFileText = QStringLiteral("結果ファイル ");
const QString kPeriodText = QStringLiteral("測定期間 ");
const QString kNotYetSavingText = QStringLiteral("　開始時刻までは表示のみで、記録は保存しません");

constexpr int kMargin = 4;
constexpr int kSavingHeight = 34; // two lines

} // namespace

QString SavingText(const MeasurementSettings& settings, const RunLoopState& state,
                   const QDateTime& now, bool runStarted, bool runEnded)
{
    const int intervalMin = std::max<int>(settings.SaveIntervalMin, 1);
    const qint64 passed = state.SavesWritten + state.RecordsMissing;
    // Every save time the run passes moves StartDateTime on by one interval.
    const QDateTime& next = settings.StartDateTime;
    const QDateTime first = next.addSecs(-60LL * intervalMin * passed);
    const QDateTime& end = settings.EndDateTime;

    QString line = kFileText + QFileInfo(settings.OutputFile).fileName();
    if (!runStarted) {
        line += QStringLiteral("　保存間隔 %1分").arg(intervalMin);
    } else {
        line += QStringLiteral("　記録 %1件／予定 %2件")
                    .arg(state.SavesWritten)
                    .arg(web::ScheduledSaves(first, end, intervalMin));
        if (state.RecordsMissing > 0)
            line += QStringLiteral("、欠測 %1件").arg(state.RecordsMissing);
        line += QStringLiteral("　次の保存 ") + (runEnded || !next.isValid() || next > end
                                                     ? QStringLiteral("なし")
                                                     : noticeStampText(next));
    }
    line +=
        u'\n' + kPeriodText + noticeStampText(first) + QStringLiteral("～") + noticeStampText(end);
    if (runStarted && !runEnded && passed == 0 && now < first)
        line += kNotYetSavingText;
    return line;
}

RunNoticePanel::RunNoticePanel(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("RunNoticePanel"));
    saving_ = new QLabel(this);
    saving_->setObjectName(QStringLiteral("SaveInfo"));
    saving_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    list_ = new QListWidget(this);
    list_->setObjectName(QStringLiteral("NoticeList"));
    list_->setSelectionMode(QAbstractItemView::NoSelection);
    list_->setFocusPolicy(Qt::NoFocus);
    list_->setUniformItemSizes(true);
    list_->setToolTip(QStringLiteral("測定中のお知らせ（時刻つき）"));
}

void RunNoticePanel::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    saving_->setGeometry(kMargin, 0, width() - 2 * kMargin, kSavingHeight);
    list_->setGeometry(kMargin, kSavingHeight, width() - 2 * kMargin,
                       height() - kSavingHeight - kMargin);
}

void RunNoticePanel::showSaving(const QString& text)
{
    saving_->setText(text);
}

QString RunNoticePanel::savingText() const
{
    return saving_->text();
}

void RunNoticePanel::addNotice(const QString& line, bool trouble)
{
    auto* item = new QListWidgetItem(line, list_);
    if (trouble)
        item->setForeground(Qt::red);
    while (list_->count() > kNoticesKept)
        delete list_->takeItem(0);
    list_->scrollToBottom();
}

QStringList RunNoticePanel::notices() const
{
    QStringList lines;
    for (int i = 0; i < list_->count(); ++i)
        lines << list_->item(i)->text();
    return lines;
}

} // namespace hs
