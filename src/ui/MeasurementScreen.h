#pragma once

#include "engine/SetupFlow.h"
#include "engine/Station.h"
#include "model/EngineObserver.h"
#include "render/Canvas.h"
#include "render/ResultTables.h"
#include "ui/MessageBox.h"

#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class QFrame;
class QLabel;
class QPushButton;
class QTableView;

namespace hs {

class ResultGridModel;
class PictureWidget;
class RunNoticePanel;

// The measurement screen Form03: the summary and status lines, the picture with the two result
// grids over it, the nine view buttons, the channel switch and the start and end buttons. It
// loads the measurement when it is built, starts the run on its own when it is activated, shows
// what the engine reports and ends the program with its end button. Control objectNames are
// the screen names.
class MeasurementScreen : public QWidget, private EngineObserver {
    Q_OBJECT
public:
    // Shows a message box with an OK button (text, title); replaceable so that tests and
    // unattended runs never block on a modal box.
    using MessageFunction = hs::MessageFunction;

    // Performs the load: sizes the result arrays, prepares the grids, asks the recorders for
    // their gauge list when printing (with its 2000 ms wait), hides the channel switch for one
    // feeder, builds the transform tables and selects view 1. Messages of the load go to
    // `messages` (default: a message box).
    explicit MeasurementScreen(Station& station, MessageFunction messages = {},
                               QWidget* parent = nullptr);
    ~MeasurementScreen() override;

    void setMessageFunction(MessageFunction f) { showMessage_ = std::move(f); }
    // Ends the program with an exit code (the end button; the end time of the run). The default
    // ends the process at once. A function that returns (tests) leaves a run going on to stop
    // at its next look at the request.
    void setEndProgram(std::function<void(int)> f) { endProgram_ = std::move(f); }
    // The run could not start (its result files could not be opened) and nothing was
    // measured: called with the reason instead of staying on this screen. Default: the screen
    // stays with its end button, and the program ends with a failure status.
    void setRunNotStarted(std::function<void(const QString&)> f) { runNotStarted_ = std::move(f); }

    // Another listener of the run (the status page): it receives every report of the engine
    // after the screen has taken it. Reports of the load, made while the screen is built, come
    // before any listener can be set. nullptr: none.
    void setObserverTap(EngineObserver* tap) { tap_ = tap; }
    // What the engine reports to while this screen runs it.
    EngineObserver& observer() { return *this; }

    // Activation: starts the run when the start button is still shown. Returns when the run is
    // over (or at once when it has already started). Showing the screen activates it from the
    // event loop.
    void activate();
    // Command2, "測定開始": opens the result files and runs the measurement to its end.
    // Does nothing unless Command2 is shown.
    void startMeasurement();
    // Command1, "測定終了": ":ABORT" to each recorder and its link closed, result files closed,
    // then the program ends.
    void endMeasurement();

    // Command3(view - 1): selects a view (1..9) and draws it when data exist.
    void selectView(int view);
    // Command4 pressed at x twips from its left edge: "+" right of 362 twips, "- ch" else.
    void pressChannelSwitch(int xTwips);

    // Redraws the picture or the grids for a view from the snapshot of the last analysed shot.
    void DrawResults(int view);

    int CurrentView() const { return flow_.measurement().State().CurrentView; }
    int CurrentChannel() const { return flow_.measurement().State().CurrentChannel; }
    // A shot has been analysed (its fundamental voltage is above 0).
    bool DataExist() const;
    // The snapshot the views draw from; nullptr before the first analysed shot.
    const ShotSnapshot* lastShot() const { return lastShot_.get(); }
    const ResultGridPair& grids() const { return grids_; }
    Measurement& measurement() { return flow_.measurement(); }
    // The status of the run once it has returned (a RunLoopStatus), -1 before.
    int runStatus() const { return runStatus_; }
    // The views show the last good shot while the recorders give no new one (a recorder lost,
    // shots that keep failing): they are greyed and StaleMark says since when.
    bool viewsStale() const { return stale_; }
    // The strip below the views: what is saved and when, and the run's notices.
    const RunNoticePanel& noticePanel() const { return *notices_; }

    static QString caption() { return QStringLiteral("高調波測定中"); }
    // The program's exit status when the end time came with save times left without a record.
    static constexpr int kEndIncomplete = kExitRunIncomplete;
    // The first line of the message that says so.
    inline static const QString kRunIncompleteText =
        QStringLiteral("測定期間が終了しましたが、記録のない保存時刻があります。");
    // The layout rule for an outer window size in twips; nothing changes unless the height is
    // above 2000 and the width above 120.
    void applyLayout(int outerHeightTwips, int outerWidthTwips);

signals:
    // Each text the engine writes into the status line (Label2) and the summary line (Label1).
    void statusTextChanged(const QString& text);
    void summaryTextChanged(const QString& text);
    // Each event of the run, once the screen has shown it.
    void runEventReported(const hs::RunEvent& event);

protected:
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // EngineObserver
    void status(const RunStatus& status) override;
    void runEvent(const RunEvent& event) override;
    void message(const QString& text, const MessageSeverity& severity) override;
    // The status line (Label2) and its signal.
    void showStatus(const QString& text);
    void showMessage(const QString& text, const MessageSeverity& severity);

    void buildControls();
    void buildGrids();
    void buildButtons();
    void load();
    void queueActivation();
    void showGrids(bool shown);
    void endProgram(int code);
    // The views marked as showing an old shot (why: what keeps new ones away), or not.
    void markStale(const QString& why);
    void clearStale();
    void greyViews(bool grey);
    void placeStaleMark();
    void showSaving();

    Station& station_;
    SetupFlow flow_;
    ResultGridPair grids_;
    MessageFunction showMessage_;
    std::function<void(int)> endProgram_;
    std::function<void(const QString&)> runNotStarted_;
    EngineObserver* tap_ = nullptr;
    std::shared_ptr<const ShotSnapshot> lastShot_;
    bool endRequested_ = false;
    bool activationQueued_ = false;
    bool running_ = false;
    int runStatus_ = -1;
    bool loaded_ = false;
    bool stale_ = false;
    bool runEnded_ = false;

    QLabel* summaryLabel_ = nullptr; // Label1
    QLabel* statusLabel_ = nullptr;  // Label2
    PictureWidget* picture_ = nullptr;
    std::array<QTableView*, 2> gridView_{};
    std::array<ResultGridModel*, 2> gridModel_{};
    QFrame* buttonFrame_ = nullptr;
    std::array<QPushButton*, 9> viewButton_{};
    QPushButton* channelSwitch_ = nullptr;
    QPushButton* startButton_ = nullptr;
    QPushButton* endButton_ = nullptr;
    QLabel* staleMark_ = nullptr;
    RunNoticePanel* notices_ = nullptr;
};

} // namespace hs
