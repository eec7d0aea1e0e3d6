#include "ui/ConnectionScreen.h"
#include "ui/WindowPlacement.h"

#include <QApplication>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QScopedValueRollback>
#include <QTimer>
#include <QVBoxLayout>
#include <QtDebug>

namespace hs {

namespace {

const QString kDefaultAddresses[2] = {QStringLiteral("192.168.1.5"), QStringLiteral("192.168.1.6")};
const QString kDefaultPort = QStringLiteral("8802");

} // namespace

// Routes the initialisation's messages to the screen's message function.
class ConnectionScreen::Observer : public EngineObserver {
public:
    explicit Observer(ConnectionScreen& screen) : screen_(screen) {}
    void message(const QString& text, const MessageSeverity& severity) override
    {
        screen_.message(text, severity);
    }

private:
    ConnectionScreen& screen_;
};

ConnectionScreen::ConnectionScreen(RecorderPair& recorders, const QString& addressFile,
                                   QWidget* parent)
    : QWidget(parent), recorders_(recorders), facts_(recorders.facts()), addressFile_(addressFile)
{
    setObjectName(QStringLiteral("TCPCont"));
    setWindowTitle(caption());
    buildControls();

    // Screen load: the addresses of the last successful initialisation, when the file holds them.
    if (!addressFile_.isEmpty()) {
        bool notAFile = false;
        const std::optional<AddressTexts> stored = readAddressFile(addressFile_, &notAFile);
        if (stored && !stored->addresses[0].isEmpty())
            setAddressTexts(*stored);
        // Told once the screen is up (and its message function set), not from the constructor.
        if (notAFile)
            QTimer::singleShot(0, this, [this] {
                message(QStringLiteral("「%1」は通常のファイルではないため、測定器のアドレスを"
                                       "読み込みませんでした。既定値が表示されます。")
                            .arg(addressFile_),
                        MessageSeverity::error());
            });
    }
    PlaceWindow(*this);
}

ConnectionScreen::~ConnectionScreen() = default;

void ConnectionScreen::buildControls()
{
    auto* outer = new QVBoxLayout(this);

    countFrame_ = new QGroupBox(QStringLiteral("測定機器数"), this);
    countFrame_->setObjectName(QStringLiteral("Frame1"));
    auto* countLayout = new QHBoxLayout(countFrame_);
    const QString countCaptions[2] = {QStringLiteral("１台"), QStringLiteral("２台")};
    for (int i = 0; i < 2; ++i) {
        countOption_[i] = new QRadioButton(countCaptions[i], countFrame_);
        countOption_[i]->setObjectName(QStringLiteral("Option1(%1)").arg(i));
        countLayout->addWidget(countOption_[i]);
    }
    countLayout->addStretch();
    countOption_[0]->setChecked(true);
    outer->addWidget(countFrame_);

    auto* grid = new QGridLayout;
    auto addLabel = [this](const QString& name, const QString& text) {
        auto* label = new QLabel(text, this);
        label->setObjectName(name);
        return label;
    };
    grid->addWidget(addLabel(QStringLiteral("Label4(0)"), QStringLiteral("IPｱﾄﾞﾚｽ")), 0, 1);
    grid->addWidget(addLabel(QStringLiteral("Label4(2)"), QStringLiteral("ポートNo.")), 0, 2);
    grid->addWidget(addLabel(QStringLiteral("Label4(1)"), QStringLiteral("検出機器･有効CH数")), 0,
                    3, 1, 2);

    const QString rowTitles[2] = {QStringLiteral("1台目"), QStringLiteral("2台目")};
    const QString addressTips[2] = {
        QStringLiteral("このアドレスは、ﾒﾓﾘｰﾊｲｺｰﾀﾞと合わせて下さい。(ﾒﾓﾘｰﾊｲｺｰﾀﾞのSTOPｷｰを押した"
                       "状態で電源を入れると｢5｣に設定されます)"),
        QStringLiteral("このアドレスは、ﾒﾓﾘｰﾊｲｺｰﾀﾞと合わせて下さい。1台目と2台目は別のｱﾄﾞﾚｽを"
                       "設定する必要があります。")};
    for (int i = 0; i < 2; ++i) {
        rowTitle_[i] = addLabel(QStringLiteral("Label2(%1)").arg(i), rowTitles[i]);
        addressBox_[i] = new QLineEdit(kDefaultAddresses[i], this);
        addressBox_[i]->setObjectName(QStringLiteral("IPAdrs(%1)").arg(i));
        addressBox_[i]->setToolTip(addressTips[i]);
        portBox_[i] = new QLineEdit(kDefaultPort, this);
        portBox_[i]->setObjectName(QStringLiteral("POTNo(%1)").arg(i));
        portBox_[i]->setMaximumWidth(80);
        portBox_[i]->installEventFilter(this);
        grid->addWidget(rowTitle_[i], i + 1, 0);
        grid->addWidget(addressBox_[i], i + 1, 1);
        grid->addWidget(portBox_[i], i + 1, 2);
    }
    for (int j = 0; j < 4; ++j) {
        foundLabel_[j] = addLabel(QStringLiteral("Label6(%1)").arg(j), QString());
        foundLabel_[j]->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        foundLabel_[j]->setMinimumWidth(60);
        foundLabel_[j]->setAlignment(Qt::AlignCenter);
        foundLabel_[j]->setToolTip(
            j < 2 ? QStringLiteral("ｲﾆｼｬﾗｲｽﾞ後に検出した機器を表示します")
                  : QStringLiteral("ｲﾆｼｬﾗｲｽﾞ後に検出した機器の有効ﾁｬﾝﾈﾙ数を表示します"));
        grid->addWidget(foundLabel_[j], (j % 2) + 1, 3 + j / 2);
    }
    outer->addLayout(grid);

    auto* hint = addLabel(QStringLiteral("Label1"),
                          QStringLiteral("測定器のＬＡＮカードはHIOKI 9578の他、RATOC "
                                         "REX-R280が使えます。"));
    outer->addWidget(hint);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    initButton_ = new QPushButton(QStringLiteral("ｲﾆｼｬﾗｲｽﾞ"), this);
    initButton_->setObjectName(QStringLiteral("CommandInit"));
    endButton_ = new QPushButton(QStringLiteral("終了"), this);
    endButton_->setObjectName(QStringLiteral("CommandEnd"));
    buttons->addWidget(initButton_);
    buttons->addWidget(endButton_);
    outer->addLayout(buttons);

    connect(initButton_, &QPushButton::clicked, this, [this] { initialise(); });
    connect(endButton_, &QPushButton::clicked, this, [this] {
        if (endProgram_)
            endProgram_(0);
        else
            QCoreApplication::exit(0);
    });

    for (QRadioButton* option : countOption_)
        connect(option, &QRadioButton::toggled, this, [this] { updateSecondRow(); });
    updateSecondRow();
}

void ConnectionScreen::updateSecondRow()
{
    const bool two = countOption_[1]->isChecked();
    rowTitle_[1]->setEnabled(two);
    addressBox_[1]->setEnabled(two);
    portBox_[1]->setEnabled(two);
}

ConnectionRequest ConnectionScreen::request() const
{
    ConnectionRequest r;
    for (int i = 0; i < 2; ++i) {
        r.addresses[i] = addressBox_[i]->text();
        r.ports[i] = portBox_[i]->text();
    }
    r.recorderCount = countOption_[1]->isChecked() ? 2 : 1;
    return r;
}

void ConnectionScreen::setAddressTexts(const AddressTexts& texts)
{
    for (int i = 0; i < 2; ++i) {
        addressBox_[i]->setText(texts.addresses[i]);
        portBox_[i]->setText(texts.ports[i]);
    }
}

void ConnectionScreen::setRecorderCount(int count)
{
    countOption_[count >= 2 ? 1 : 0]->setChecked(true);
}

void ConnectionScreen::message(const QString& text, const MessageSeverity& severity)
{
    showMessageBox(this, showMessage_, text, severity);
}

bool ConnectionScreen::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::FocusOut) {
        // Only a move of the focus inside the screen counts; a window that merely loses
        // activation (a message box opening, another program) leaves the box alone.
        const auto reason = static_cast<QFocusEvent*>(event)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            for (int i = 0; i < 2; ++i) {
                if (watched == portBox_[i])
                    checkPort(i);
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}

void ConnectionScreen::checkPort(int i)
{
    const QString problem = portTextMessage(portBox_[i]->text());
    if (problem.isEmpty())
        return;
    message(problem, MessageSeverity::error());
    // The focus goes back once the focus change in progress has finished.
    QTimer::singleShot(0, portBox_[i],
                       [box = portBox_[i]] { box->setFocus(Qt::OtherFocusReason); });
}

ConnectionStatus ConnectionScreen::initialise()
{
    // The buttons stay enabled while the initialisation waits; a second press meanwhile would
    // close the connections the running one is talking on, so it is ignored.
    if (initialising_)
        return ConnectionStatus::Failed;
    const QScopedValueRollback<bool> running(initialising_, true);
    setCursor(Qt::WaitCursor);

    Observer observer(*this);
    ConnectionSetup setup(recorders_, observer);
    ConnectionProgress progress;
    progress.modelFound = [this](int r, int model) {
        foundLabel_[r]->setText(QString::number(model));
    };
    progress.channelsFound = [this](int r, int count) {
        foundLabel_[r + 2]->setText(QString::number(count));
    };
    setup.setProgress(progress);

    const ConnectionRequest entries = request();
    const ConnectionStatus status = setup.initialise(entries);
    switch (status) {
    case ConnectionStatus::Failed:
        unsetCursor();
        break;
    case ConnectionStatus::EndProgram:
        unsetCursor();
        if (endProgram_)
            endProgram_(1);
        else
            QCoreApplication::exit(1);
        break;
    case ConnectionStatus::Ok: {
        hide();
        if (nextScreen_)
            nextScreen_();
        unsetCursor();
        if (!addressFile_.isEmpty()) {
            // The texts as they stand in the boxes now.
            const ConnectionRequest current = request();
            AddressTexts texts;
            texts.addresses = current.addresses;
            texts.ports = current.ports;
            if (!writeAddressFile(addressFile_, texts))
                message(QStringLiteral("測定器のアドレスを「%1」に保存できませんでした。次回の起動"
                                       "では前回のアドレスまたは既定値が表示されます。")
                            .arg(addressFile_),
                        MessageSeverity::error());
        }
        break;
    }
    }
    return status;
}

} // namespace hs
