#pragma once

#include "engine/SetupFlow.h"
#include "model/EngineObserver.h"
#include "model/SettingsFile.h"
#include "model/SettingsRules.h"
#include "ui/MessageBox.h"

#include <QStringList>
#include <QTimer>
#include <QWidget>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;
class QStackedWidget;

namespace hs {

struct Station;
class RcComplementScreen;

// The settings screen Form01: the operator's set-up of a measurement. Every control event is
// handed to SettingsRules, which changes the settings and the screen state (SettingsView); the
// screen then shows that state. It also starts the recorders' automatic set-up when it is
// activated, locks its start and end buttons while the recorders settle, and hands over to the
// preparation and measurement screens. Control objectNames are the screen names.
class SettingsScreen : public QWidget {
    Q_OBJECT
public:
    // Shows a message box with an OK button (text, title).
    using MessageFunction = hs::MessageFunction;
    // Asks a yes/no question; true for yes.
    using QuestionFunction = std::function<bool(const QString& text)>;
    // A file dialog: returns the chosen path, empty when cancelled.
    using FileDialogFunction = std::function<QString()>;

    explicit SettingsScreen(Station& station, QWidget* parent = nullptr);
    ~SettingsScreen() override;

    static QString caption() { return QStringLiteral("高調波測定．設定画面(2004/02/02) Win2000"); }

    void setMessageFunction(MessageFunction f) { showMessage_ = std::move(f); }
    void setQuestionFunction(QuestionFunction f) { askQuestion_ = std::move(f); }
    // The output file dialog of Command10.
    void setOutputFileDialog(FileDialogFunction f) { outputDialog_ = std::move(f); }
    // The dialogs of the settings-file buttons (open, save).
    void setSettingsFileDialogs(FileDialogFunction open, FileDialogFunction save)
    {
        openSettingsDialog_ = std::move(open);
        saveSettingsDialog_ = std::move(save);
    }
    // Opens the preparation screen; called by Command4 once its checks passed. Expected to
    // return when the preparation screen has closed (it is modal).
    void setOpenPreparation(std::function<void()> f) { openPreparation_ = std::move(f); }
    // Shows the measurement screen; called by the activation once the set-up was confirmed.
    void setOpenMeasurement(std::function<void()> f) { openMeasurement_ = std::move(f); }
    // Ends the program (Command5, closing the window).
    void setEndProgram(std::function<void(int)> f) { endProgram_ = std::move(f); }
    // Where the recorders are reached, written into saved settings files.
    void setRecorderAddresses(std::vector<RecorderAddress> addresses)
    {
        addresses_ = std::move(addresses);
    }

    // The activation: hands over to the measurement screen when the set-up was confirmed,
    // otherwise starts the recorders' automatic set-up (":AUTO", recorder 1 first); either way
    // the start and end buttons are locked for 9 s. Runs from the window's activation after a
    // screen this one opened, and may be called by the screen flow directly.
    void activate();
    bool lockOutRunning() const { return lockOut_.isActive(); }

    // Command4, Command5, Command10 as their clicks run them.
    void startMeasurement();
    void endProgram();
    void chooseOutputFile();
    // The measurement screen could not start the run (why): this screen again, every setting
    // as it was, the recorders back to their idle set-up and their automatic set-up, and the
    // operator told why.
    void returnFromMeasurement(const QString& why);
    // The settings-file buttons with a path; false (and a message) when refused.
    bool loadSettingsFile(const QString& path);
    bool saveSettingsFile(const QString& path);

    // Opens the R-C complement screen modally (double-click on Option8(4)).
    void openRcComplement();
    RcComplementScreen* rcComplementScreen() const { return rcScreen_.get(); }

    SettingsRules& rules() { return rules_; }
    const SettingsView& view() const { return view_; }

protected:
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    struct NumberBox;

    void buildControls();
    QWidget* buildLeftColumn();
    QWidget* buildMiddleColumn();
    QWidget* buildRightColumn();
    QWidget* buildInputChannelFrames();
    QWidget* buildChannelTable();
    QWidget* buildOneFeederFrame();
    QWidget* buildSeveralFeedersFrame();
    QWidget* buildPeriodFrame();
    QWidget* buildFdSaveFrame();
    QWidget* buildPrintFrame();
    QWidget* buildFileRow();
    void connectNumberBoxes();
    void connectDateBoxes();

    void showView();
    void showChoices();
    void showTexts();
    void updateCommandButtons();
    void lockOutTick();

    // A numeric box: edits are taken as they come when they are numbers; anything else is
    // refused with a message and the box shows its last accepted text again.
    void numberEdited(const NumberBox& box, const QString& text);
    void numberLeft(const NumberBox& box);
    void dateLeft(int index, bool isTime);
    void refuse(const QString& message);
    void message(const QString& text, const MessageSeverity& severity = MessageSeverity::error());
    void chooseFeederCount(int comboIndex);
    // Result files are written from their start: asks before existing ones would be, once per
    // set of names.
    bool overwriteAllowed(const QString& outputFile);
    // The result files can be written and the recorders answer, checked at 測定開始 before
    // the preparation; false (and the operator told) when not.
    bool readyToPrepare();
    void applyLoaded(const SettingsFileContent& content);

    Station& station_;
    // The automatic set-up when the screen opens and the recorders stopped at the program's
    // end; nothing of either is reported.
    NullObserver quiet_;
    SetupFlow flow_{station_, quiet_};
    SettingsView view_;
    SettingsRules rules_;
    QTimer lockOut_;
    bool lockOutExpiredOnce_ = false;
    bool activationPending_ = true;
    bool modalOpen_ = false; // a screen opened from here (modal) is up
    bool refusing_ = false;
    std::array<QDateTime, 2> periodBefore_; // start, end when their box took the focus
    std::vector<RecorderAddress> addresses_;
    QStringList overwriteConfirmed_;

    MessageFunction showMessage_;
    QuestionFunction askQuestion_;
    FileDialogFunction outputDialog_;
    FileDialogFunction openSettingsDialog_;
    FileDialogFunction saveSettingsDialog_;
    std::function<void()> openPreparation_;
    std::function<void()> openMeasurement_;
    std::function<void(int)> endProgram_;
    std::unique_ptr<RcComplementScreen> rcScreen_;

    // Option buttons, by group.
    std::array<QRadioButton*, 3> samplingOption_{};                    // Option1
    std::array<QRadioButton*, 5> measureTypeOption_{};                 // Option2
    std::array<std::array<QRadioButton*, 4>, 4> inputChannelOption_{}; // Option3..Option6
    std::array<QRadioButton*, 4> saveFormatOption_{};                  // Option7
    std::array<QRadioButton*, 5> saveOptionOption_{};                  // Option8
    std::array<QRadioButton*, 5> phaseShiftOption_{};                  // Option9
    std::array<QRadioButton*, 6> fdSaveOption_{};                      // Option10
    std::array<QRadioButton*, 2> printOption_{};                       // Option11
    std::array<QRadioButton*, 2> sensorOption_{};                      // Option12
    std::array<QRadioButton*, 4> syncOption_{};                        // Option13

    // Frames shown, hidden or greyed by the rules.
    QGroupBox* phaseShiftFrame_ = nullptr;          // Frame9
    std::array<QGroupBox*, 4> inputChannelFrame_{}; // Frame3..Frame6
    QLabel* inputChannelHeading_ = nullptr;         // Label14
    QWidget* inputChannelBlock_ = nullptr;          // Label14 with Frame3..Frame6
    QStackedWidget* feederPages_ = nullptr;         // one feeder / several feeders
    QGroupBox* channelTable_ = nullptr;             // Frame15
    QGroupBox* oneFeederFrame_ = nullptr;           // Frame11
    QGroupBox* severalFeedersFrame_ = nullptr;      // Frame16
    std::array<QLabel*, 10> channelCaption_{};      // Label23
    std::array<QLabel*, 9> feederLabel_{};          // Label27
    std::array<QLabel*, 2> sensorLabel_{};          // Label1
    QComboBox* feederCountBox_ = nullptr;           // Combo1
    QLabel* fdIntervalCaption_ = nullptr;           // "保存間隔"
    QLabel* fdIntervalUnit_ = nullptr;              // "分"
    QLabel* printIntervalCaption_ = nullptr;        // "印刷間隔"
    QLabel* printIntervalUnit_ = nullptr;           // "分"

    // Text boxes.
    std::array<QLineEdit*, 2> sensorBox_{};      // Text1
    std::array<QLineEdit*, 2> ptBox_{};          // Text2
    QLineEdit* ctBox_ = nullptr;                 // Text3
    std::array<QLineEdit*, 2> dateBox_{};        // Text5
    std::array<QLineEdit*, 2> timeBox_{};        // Text6
    QLineEdit* saveIntervalBox_ = nullptr;       // Text7
    QLineEdit* fdIntervalBox_ = nullptr;         // Text8
    QLineEdit* printIntervalBox_ = nullptr;      // Text9
    std::array<QLineEdit*, 9> feederCtBox_{};    // Text10
    std::array<QLineEdit*, 9> feederClampBox_{}; // Text11
    std::vector<NumberBox> numberBoxes_;

    // Command buttons.
    std::array<QPushButton*, 2> timeMinus_{}; // Command1
    std::array<QPushButton*, 2> timePlus_{};  // Command2
    std::array<QPushButton*, 2> datePlus_{};  // Command3
    std::array<QPushButton*, 2> dateMinus_{}; // Command8
    std::array<QPushButton*, 2> saveStep_{};  // Command6: +, -
    std::array<QPushButton*, 2> fdStep_{};    // Command7: +, -
    std::array<QPushButton*, 2> printStep_{}; // Command9: +, -
    QPushButton* startButton_ = nullptr;      // Command4
    QPushButton* endButton_ = nullptr;        // Command5
    QPushButton* fileButton_ = nullptr;       // Command10
    QPushButton* loadButton_ = nullptr;       // Command11 "設定読込"
    QPushButton* saveButton_ = nullptr;       // Command12 "設定保存"
    QLabel* outputFileLabel_ = nullptr;       // Label7
    QCheckBox* saveWaveforms_ = nullptr;      // Check1
};

} // namespace hs
