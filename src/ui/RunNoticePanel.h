#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QWidget>

class QLabel;
class QListWidget;

namespace hs {

struct MeasurementSettings;
struct RunLoopState;

// What a run saves and when, as the measurement screen says it: the result file, the records
// written against the records the period asks for, the save times without a record, the next
// save time and the measurement period; before the first save time, that the shots are shown
// but nothing is saved until then. `runStarted`: the run has begun (before it, only the file,
// the interval and the period); `runEnded`: no save is due any more.
QString SavingText(const MeasurementSettings& settings, const RunLoopState& state,
                   const QDateTime& now, bool runStarted, bool runEnded);

// The strip below the measurement screen's views: the saving text (SaveInfo) and the list of
// the run's notices and messages (NoticeList), each with its station time, kept for the whole
// run (the newest shown; at most kNoticesKept, the oldest dropped first), so that what
// happened while nobody watched can be read later.
class RunNoticePanel : public QWidget {
public:
    static constexpr int kHeight = 124; // pixels
    static constexpr int kNoticesKept = 1000;

    explicit RunNoticePanel(QWidget* parent);

    void showSaving(const QString& text);
    QString savingText() const;
    // A line of the notice list; trouble (a recorder lost, records missing, an error) is red.
    void addNotice(const QString& line, bool trouble);
    QStringList notices() const;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    QLabel* saving_ = nullptr;
    QListWidget* list_ = nullptr;
};

} // namespace hs
