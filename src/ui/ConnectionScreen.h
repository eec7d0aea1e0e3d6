#pragma once

#include "recorder/AddressFile.h"
#include "recorder/ConnectionSetup.h"
#include "ui/MessageBox.h"

#include <QWidget>

#include <array>
#include <functional>

class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace hs {

// The connection screen TCPCont: the number of recorders, their addresses and ports, and the
// initialise button. It hosts the initialisation (ConnectionSetup) and, once it succeeds, hides
// itself and hands over to the next screen. Control objectNames are the screen names.
class ConnectionScreen : public QWidget {
    Q_OBJECT
public:
    // Shows a message box with an OK button (text, title). Replaceable so that tests and
    // unattended runs never block on a modal box.
    using MessageFunction = hs::MessageFunction;

    // addressFile: where the addresses persist ("IPDT.DAT" in the working folder); read here, at
    // screen load, and written after a successful initialisation. Empty: no address file.
    ConnectionScreen(RecorderPair& recorders, const QString& addressFile,
                     QWidget* parent = nullptr);
    ~ConnectionScreen() override;

    void setMessageFunction(MessageFunction f) { showMessage_ = std::move(f); }
    // Opens the screen that follows a successful initialisation.
    void setNextScreen(std::function<void()> f) { nextScreen_ = std::move(f); }
    // Ends the program with an exit code (CommandEnd: 0; a recorder without usable inputs: 1).
    void setEndProgram(std::function<void(int)> f) { endProgram_ = std::move(f); }

    // The four text boxes and the recorder count, as the operator entered them.
    ConnectionRequest request() const;
    // Puts texts into the four boxes (address file, demo addresses).
    void setAddressTexts(const AddressTexts& texts);
    void setRecorderCount(int count);

    // CommandInit: the initialisation with the entries as they stand. A call while one is running
    // (a press seen inside one of its waits) does nothing and returns Failed.
    ConnectionStatus initialise();

    static QString caption() { return QStringLiteral("TCP/IPの設定"); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void updateSecondRow();
    void checkPort(int i);
    void message(const QString& text, const MessageSeverity& severity);

    class Observer;

    RecorderPair& recorders_;
    RecorderFacts& facts_;
    QString addressFile_;
    MessageFunction showMessage_;
    std::function<void()> nextScreen_;
    std::function<void(int)> endProgram_;

    QGroupBox* countFrame_ = nullptr;
    std::array<QRadioButton*, 2> countOption_{};
    std::array<QLabel*, 2> rowTitle_{};
    std::array<QLineEdit*, 2> addressBox_{};
    std::array<QLineEdit*, 2> portBox_{};
    std::array<QLabel*, 4> foundLabel_{}; // Label6: models 0, 1; usable channels 2, 3
    QPushButton* initButton_ = nullptr;
    QPushButton* endButton_ = nullptr;
    bool initialising_ = false;
};

} // namespace hs
