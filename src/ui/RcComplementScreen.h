#pragma once

#include "model/MeasurementSettings.h"

#include <QDialog>

#include <array>
#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace hs {

// The R-C complement screen Form04: per row (0 the voltage input, 1..9 the feeders) whether an
// R-C filter sits in front of the recorder input, and its R (kΩ) and C (μF); per feeder whether
// its inputs carry V-connection voltages. Every change is mirrored into the settings at once.
// Opened modally from the settings screen; "設定終了" hides it.
class RcComplementScreen : public QDialog {
    Q_OBJECT
public:
    using MessageFunction = std::function<void(const QString& text, const QString& title)>;

    RcComplementScreen(MeasurementSettings& settings, QWidget* parent = nullptr);
    ~RcComplementScreen() override;

    static QString caption() { return QStringLiteral("高次調波R-C入力補完設定"); }

    void setMessageFunction(MessageFunction f) { showMessage_ = std::move(f); }
    // Shows the settings' rows and marks (after they were loaded from a file).
    void showSettings();

protected:
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void buildControls();
    void edited(int row, bool resistance, const QString& text);
    void left(int row, bool resistance);
    void showRow(int row);

    MeasurementSettings& settings_;
    MessageFunction showMessage_;
    bool refusing_ = false;

    std::array<QCheckBox*, 10> rowCheck_{};       // Check1
    std::array<QLineEdit*, 10> resistanceBox_{};  // Text1
    std::array<QLineEdit*, 10> capacitanceBox_{}; // Text2
    std::array<QLabel*, 10> resistanceUnit_{};    // "kΩ"
    std::array<QLabel*, 10> capacitanceUnit_{};   // "μF"
    std::array<QCheckBox*, 9> vConnection_{};     // Check2
    QPushButton* closeButton_ = nullptr;          // Command1
};

} // namespace hs
