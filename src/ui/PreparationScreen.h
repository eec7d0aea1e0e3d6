#pragma once

#include "engine/InstrumentPreparation.h"
#include "engine/SetupFlow.h"
#include "engine/Station.h"
#include "render/WiringDiagram.h"
#include "ui/MessageBox.h"

#include <QDialog>
#include <QRect>

#include <array>
#include <functional>
#include <memory>

class QLabel;
class QPushButton;

namespace hs {

// The preparation screen Form02 ("測定器の設定"), shown modally over the settings screen. When it
// becomes visible it configures the recorders, takes the check shot and shows the measured
// inputs with their fundamental vectors; the operator answers ＯＫ (settings.StartConfirmed is set,
// exec() returns Accepted) or キャンセル (the recorders go back to their idle set-up, exec()
// returns Rejected). Control objectNames are the screen names.
class PreparationScreen : public QDialog {
    Q_OBJECT
public:
    // Shows a message box with an OK button (text, title). Replaceable so that tests never block
    // on a modal box.
    using MessageFunction = hs::MessageFunction;

    enum class Phase {
        Idle,      // not shown, or closed
        Busy,      // configuring and taking the check shot
        Confirm,   // results shown, waiting for ＯＫ or キャンセル
        Failed,    // the preparation gave up; only キャンセル is offered
        Cancelling // キャンセル pressed, waiting before the idle set-up
    };

    PreparationScreen(Station& station, QWidget* parent = nullptr);
    ~PreparationScreen() override;

    void setMessageFunction(MessageFunction f) { showMessage_ = std::move(f); }

    Phase phase() const { return phase_; }
    // The status of the last preparation (PreparationOk, ...) and what its check shot measured.
    int preparationStatus() const { return status_; }
    const PreparationResult& result() const { return result_; }
    // What the picture shows.
    const WiringDiagramInput& diagramInput() const { return diagram_; }

    // Geometries in pixels (15 twips a pixel): while configuring and while showing the result.
    static QRect configuringGeometry();
    static QRect resultGeometry();

    static QString caption() { return kPreparationCaption; }

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

public slots:
    // Escape and the window's close button: キャンセル once the operator has something to
    // answer, nothing while the recorders are being configured.
    void reject() override;

private:
    class Observer;
    class Picture;

    void buildControls();
    void runPreparation();
    // Sizes the screen and puts its frame at the design position on the screen's usable area.
    void placeAt(const QRect& geometry);
    void showConfiguring();
    void showResult();
    void showFailure();
    void setBusyPointer(bool busy);
    void confirm();
    void cancel();
    void closeScreen(int code);
    void message(const QString& text, const MessageSeverity& severity);

    Station& station_;
    std::unique_ptr<Observer> observer_;
    SetupFlow flow_;
    MessageFunction showMessage_;
    Phase phase_ = Phase::Idle;
    int status_ = PreparationOk;
    PreparationResult result_;
    WiringDiagramInput diagram_;
    QString lastMessage_;

    QLabel* configuringLabel_ = nullptr;    // Label1
    Picture* picture_ = nullptr;            // Picture1
    QLabel* titleLabel_ = nullptr;          // Label3
    QLabel* frequencyLabel_ = nullptr;      // Label4
    QLabel* inputsLabel_ = nullptr;         // Label2
    std::array<QPushButton*, 2> buttons_{}; // Command1(0) キャンセル, Command1(1) ＯＫ
};

} // namespace hs
