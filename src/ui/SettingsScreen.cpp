#include "ui/SettingsScreen.h"
#include "ui/WindowPlacement.h"

#include "common/DateText.h"
#include "engine/ResultFiles.h"
#include "engine/RunLoop.h"
#include "engine/Station.h"
#include "model/EngineObserver.h"
#include "ui/RcComplementScreen.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QFocusEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSaveFile>
#include <QScopedValueRollback>
#include <QSignalBlocker>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace hs {

namespace {

QString indexed(const char* name, int i)
{
    return QStringLiteral("%1(%2)").arg(QLatin1String(name)).arg(i);
}

QLabel* namedLabel(const QString& text, const QString& name, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setObjectName(name);
    return label;
}

QLineEdit* namedBox(const QString& name, int width, QWidget* parent)
{
    auto* box = new QLineEdit(parent);
    box->setObjectName(name);
    box->setFixedWidth(width);
    return box;
}

QPushButton* namedButton(const QString& text, const QString& name, QWidget* parent, int width = 0)
{
    auto* button = new QPushButton(text, parent);
    button->setObjectName(name);
    button->setAutoDefault(false);
    if (width > 0)
        button->setFixedWidth(width);
    return button;
}

// A frame of option buttons laid out in rows of perRow, each button named name(i).
template <std::size_t N>
QGroupBox* optionFrame(const QString& title, const QString& frameName, const char* name,
                       const std::array<const char*, N>& captions,
                       std::array<QRadioButton*, N>& buttons, int perRow, QWidget* parent)
{
    auto* frame = new QGroupBox(title, parent);
    frame->setObjectName(frameName);
    auto* grid = new QGridLayout(frame);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setVerticalSpacing(2);
    for (std::size_t i = 0; i < N; ++i) {
        buttons[i] = new QRadioButton(QString::fromUtf8(captions[i]), frame);
        buttons[i]->setObjectName(indexed(name, static_cast<int>(i)));
        grid->addWidget(buttons[i], static_cast<int>(i) / perRow, static_cast<int>(i) % perRow);
    }
    return frame;
}

void setShown(QWidget* w, bool shown)
{
    if (w->isHidden() == shown)
        w->setVisible(shown);
}

// Controls that are hidden and shown again keep their place, so their neighbours never move.
void keepPlaceWhenHidden(std::initializer_list<QWidget*> widgets)
{
    for (QWidget* w : widgets) {
        QSizePolicy policy = w->sizePolicy();
        policy.setRetainSizeWhenHidden(true);
        w->setSizePolicy(policy);
    }
}

void setBoxText(QLineEdit* box, const QString& text)
{
    if (box->text() != text)
        box->setText(text);
}

} // namespace

// A numeric box and the rules that take its entries.
struct SettingsScreen::NumberBox {
    QLineEdit* box = nullptr;
    std::function<QString()> accepted;                 // the text the model holds
    std::function<EntryResult(const QString&)> check;  // what any entry must be
    std::function<EntryResult(const QString&)> change; // null: taken when the box is left
    std::function<void(const QString&)> leave;         // leaving the box
};

SettingsScreen::SettingsScreen(Station& station, QWidget* parent)
    : QWidget(parent), station_(station), rules_(station.settings, view_)
{
    setObjectName(QStringLiteral("Form01"));
    setWindowTitle(caption());
    setAttribute(Qt::WA_DeleteOnClose, false);

    askQuestion_ = [this](const QString& text) {
        return QMessageBox::question(this, caption(), text) == QMessageBox::Yes;
    };
    outputDialog_ = [this] {
        QString filter = QStringLiteral("harm ファイル (*.h*)");
        return QFileDialog::getSaveFileName(
            this, QStringLiteral("出力ファイル名"), station_.settings.OutputFolder,
            QStringLiteral("すべてのファイル (*.*);;harm ファイル (*.h*)"), &filter,
            QFileDialog::DontConfirmOverwrite);
    };
    openSettingsDialog_ = [this] {
        return QFileDialog::getOpenFileName(
            this, QStringLiteral("設定読込"), QString(),
            QStringLiteral("設定ファイル (*.json);;すべてのファイル (*.*)"));
    };
    saveSettingsDialog_ = [this] {
        return QFileDialog::getSaveFileName(
            this, QStringLiteral("設定保存"), QString(),
            QStringLiteral("設定ファイル (*.json);;すべてのファイル (*.*)"));
    };

    lockOut_.setSingleShot(true);
    connect(&lockOut_, &QTimer::timeout, this, [this] { lockOutTick(); });

    // Screen load: the defaults, the clock's date and time, the feeder list.
    station_.settings = MeasurementSettings{};
    rules_.applyClockDefaults(station_.clock.now());
    rules_.fillFeederCountList(station_.facts);

    buildControls();
    showView();
    PlaceWindow(*this, QPoint(0, 0));
}

SettingsScreen::~SettingsScreen() = default;

// ---- Building ------------------------------------------------------------------------------

void SettingsScreen::buildControls()
{
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(8, 8, 8, 8);
    auto* columns = new QHBoxLayout;
    columns->addWidget(buildLeftColumn(), 0, Qt::AlignTop);
    columns->addWidget(buildMiddleColumn(), 0, Qt::AlignTop);
    columns->addWidget(buildRightColumn(), 0, Qt::AlignTop);
    outer->addLayout(columns);
    outer->addWidget(buildFileRow());
    connectNumberBoxes();
    connectDateBoxes();
}

QWidget* SettingsScreen::buildLeftColumn()
{
    auto* column = new QWidget(this);
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);

    auto* measureType =
        optionFrame<5>(QStringLiteral("測定種別"), QStringLiteral("Frame2"), "Option2",
                       {"単相２線", "単相３線", "三相２Ｍ", "三相１Ｍ", "三相３Ｍ"},
                       measureTypeOption_, 1, column);
    measureTypeOption_[2]->setToolTip(QStringLiteral(
        "三相回路を２電力計法で測定します。ただし、内部では３相とも演算により計測しています。"));
    measureTypeOption_[3]->setToolTip(
        QStringLiteral("三相の内どれか１相のみで計測する簡易測定法です"));
    measureTypeOption_[4]->setToolTip(
        QStringLiteral("三相の各相別に出力ファイルが作られる最も高精度の測定法です"));
    layout->addWidget(measureType);

    auto* sampling = optionFrame<3>(QStringLiteral("ｻﾝﾌﾟﾘﾝｸﾞ数"), QStringLiteral("Frame1"),
                                    "Option1", {"256", "512", "1024"}, samplingOption_, 3, column);
    sampling->setToolTip(QStringLiteral("サンプリング数が多いほど精度が上がります"));
    layout->addWidget(sampling);

    auto* sync =
        optionFrame<4>(QStringLiteral("同期検出"), QStringLiteral("Frame17"), "Option13",
                       {"ｾﾞﾛｸﾛｽ", "50Hz固定", "60Hz固定", "ﾌｰﾘｴ演算"}, syncOption_, 2, column);
    sync->setToolTip(QStringLiteral("測定電圧にノイズが多いとき固定を選択して下さい"));
    syncOption_[0]->setToolTip(QStringLiteral("標準"));
    syncOption_[1]->setToolTip(QStringLiteral("測定電圧にノイズが多いとき指定します"));
    syncOption_[2]->setToolTip(QStringLiteral("測定電圧にノイズが多いとき指定します"));
    layout->addWidget(sync);

    phaseShiftFrame_ =
        optionFrame<5>(QStringLiteral("位相補正"), QStringLiteral("Frame9"), "Option9",
                       {"-９０", "-３０", "　０", "+３０", "+９０"}, phaseShiftOption_, 3, column);
    for (QRadioButton* b : phaseShiftOption_)
        b->setToolTip(QStringLiteral("線間電圧に対する測定電流の位相差を指定します。"));
    layout->addWidget(phaseShiftFrame_);

    auto* formats = optionFrame<4>(QStringLiteral("ﾃﾞｰﾀ保存形式"), QStringLiteral("Frame7"),
                                   "Option7", {"平均値", "瞬時値", "電圧歪最大", "電流歪最大"},
                                   saveFormatOption_, 2, column);
    const char* formatTips[] = {
        "保存間隔内にｻﾝﾌﾟﾘﾝｸﾞされたデータを平均化して保存します",
        "保存間隔で指定された時間にｻﾝﾌﾟﾘﾝｸﾞされたデータを保存します",
        "保存間隔内でｻﾝﾌﾟﾘﾝｸﾞされたデータの内、電圧歪みが最大となったときの値を保存します",
        "保存間隔内でｻﾝﾌﾟﾘﾝｸﾞされたデータの内、電流歪みが最大となったときの値を保存します"};
    for (std::size_t i = 0; i < 4; ++i)
        saveFormatOption_[i]->setToolTip(QString::fromUtf8(formatTips[i]));
    layout->addWidget(formats);
    layout->addStretch();

    for (int i = 0; i < 5; ++i) {
        connect(measureTypeOption_[i], &QRadioButton::clicked, this, [this, i] {
            rules_.chooseMeasureType(i);
            showView();
        });
        connect(phaseShiftOption_[i], &QRadioButton::clicked, this, [this, i] {
            rules_.choosePhaseShift(i);
            showView();
        });
    }
    for (int i = 0; i < 3; ++i)
        connect(samplingOption_[i], &QRadioButton::clicked, this, [this, i] {
            rules_.chooseSampling(i);
            showView();
        });
    for (int i = 0; i < 4; ++i) {
        connect(syncOption_[i], &QRadioButton::clicked, this, [this, i] {
            rules_.chooseSyncMode(i);
            showView();
        });
        connect(saveFormatOption_[i], &QRadioButton::clicked, this, [this, i] {
            rules_.chooseSaveFormat(i);
            showView();
        });
    }
    return column;
}

QWidget* SettingsScreen::buildInputChannelFrames()
{
    inputChannelBlock_ = new QWidget(this);
    auto* layout = new QGridLayout(inputChannelBlock_);
    layout->setContentsMargins(0, 0, 0, 0);
    inputChannelHeading_ =
        namedLabel(QStringLiteral("入力チャンネル"), QStringLiteral("Label14"), inputChannelBlock_);
    layout->addWidget(inputChannelHeading_, 0, 0, 1, 2);
    const char* titles[] = {"電圧１", "電圧２", "電流１", "電流２"};
    const char* phases[] = {"(R-S相)", "(T-S相)", "(Ｒ相)", "(Ｔ相)"};
    const char* names[] = {"Option3", "Option4", "Option5", "Option6"};
    for (int input = 0; input < 4; ++input) {
        auto* frame = new QGroupBox(QString::fromUtf8(titles[input]), inputChannelBlock_);
        frame->setObjectName(QStringLiteral("Frame%1").arg(3 + input));
        auto* grid = new QGridLayout(frame);
        grid->setContentsMargins(6, 2, 6, 2);
        grid->setVerticalSpacing(0);
        grid->addWidget(new QLabel(QString::fromUtf8(phases[input]), frame), 0, 0, 1, 2);
        const char* channelCaptions[] = {"１ch", "２ch", "３ch", "４ch"};
        for (int c = 0; c < 4; ++c) {
            auto* button = new QRadioButton(QString::fromUtf8(channelCaptions[c]), frame);
            button->setObjectName(indexed(names[input], c));
            inputChannelOption_[input][c] = button;
            grid->addWidget(button, 1 + c / 2, c % 2);
            connect(button, &QRadioButton::clicked, this, [this, input, c] {
                rules_.chooseInputChannel(input, c + 1);
                showView();
            });
        }
        inputChannelFrame_[input] = frame;
        layout->addWidget(frame, 1 + input / 2, input % 2);
    }
    return inputChannelBlock_;
}

QWidget* SettingsScreen::buildChannelTable()
{
    channelTable_ = new QGroupBox(QStringLiteral("入力チャンネル設定"), this);
    channelTable_->setObjectName(QStringLiteral("Frame15"));
    auto* layout = new QVBoxLayout(channelTable_);
    layout->setContentsMargins(6, 2, 6, 2);
    layout->setSpacing(1);
    for (int i = 0; i < 10; ++i) {
        channelCaption_[i] = namedLabel(QString(), indexed("Label23", i), channelTable_);
        layout->addWidget(channelCaption_[i]);
    }
    return channelTable_;
}

QWidget* SettingsScreen::buildOneFeederFrame()
{
    oneFeederFrame_ = new QGroupBox(QStringLiteral("入力変換値"), this);
    oneFeederFrame_->setObjectName(QStringLiteral("Frame11"));
    auto* grid = new QGridLayout(oneFeederFrame_);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setVerticalSpacing(3);
    const char* sensorCaptions[] = {"ｼｬﾝﾄ", "ｸﾗﾝﾌﾟ"};
    const char* labelCaptions[] = {"ｼｬﾝﾄ抵抗", "ｸﾗﾝﾌﾟﾚﾝｼﾞ"};
    const char* units[] = {"Ω", "Ａ"};
    const char* tips[] = {"出力電圧／入力電流", "レンジ設定値に対する出力電圧は0.2Vで計算します"};
    for (int i = 0; i < 2; ++i) {
        sensorOption_[i] = new QRadioButton(QString::fromUtf8(sensorCaptions[i]), oneFeederFrame_);
        sensorOption_[i]->setObjectName(indexed("Option12", i));
        grid->addWidget(sensorOption_[i], 0, i * 2, 1, 2);
        sensorLabel_[i] =
            namedLabel(QString::fromUtf8(labelCaptions[i]), indexed("Label1", i), oneFeederFrame_);
        sensorBox_[i] = namedBox(indexed("Text1", i), 70, oneFeederFrame_);
        sensorBox_[i]->setToolTip(QString::fromUtf8(tips[i]));
        grid->addWidget(sensorLabel_[i], 1 + i, 0, 1, 2);
        grid->addWidget(sensorBox_[i], 1 + i, 2);
        grid->addWidget(new QLabel(QString::fromUtf8(units[i]), oneFeederFrame_), 1 + i, 3);
        connect(sensorOption_[i], &QRadioButton::clicked, this, [this, i] {
            rules_.chooseSensor(i);
            showView();
        });
    }
    ctBox_ = namedBox(QStringLiteral("Text3"), 70, oneFeederFrame_);
    ctBox_->setToolTip(QStringLiteral("1次電流／2次電流"));
    grid->addWidget(new QLabel(QStringLiteral("ＣＴ比"), oneFeederFrame_), 3, 0, 1, 2);
    grid->addWidget(ctBox_, 3, 2);
    grid->addWidget(new QLabel(QStringLiteral("倍"), oneFeederFrame_), 3, 3);
    ptBox_[0] = namedBox(QStringLiteral("Text2(0)"), 70, oneFeederFrame_);
    ptBox_[0]->setToolTip(QStringLiteral("1次電圧／2次電圧"));
    grid->addWidget(new QLabel(QStringLiteral("ＰＴ比"), oneFeederFrame_), 4, 0, 1, 2);
    grid->addWidget(ptBox_[0], 4, 2);
    grid->addWidget(new QLabel(QStringLiteral("倍"), oneFeederFrame_), 4, 3);
    grid->setColumnStretch(4, 1);
    return oneFeederFrame_;
}

QWidget* SettingsScreen::buildSeveralFeedersFrame()
{
    severalFeedersFrame_ = new QGroupBox(QStringLiteral("入力変換値"), this);
    severalFeedersFrame_->setObjectName(QStringLiteral("Frame16"));
    auto* grid = new QGridLayout(severalFeedersFrame_);
    grid->setContentsMargins(6, 2, 6, 2);
    grid->setVerticalSpacing(1);
    grid->addWidget(new QLabel(QStringLiteral("CT比"), severalFeedersFrame_), 0, 1);
    grid->addWidget(new QLabel(QStringLiteral("ｸﾗﾝﾌﾟﾚﾝｼﾞ"), severalFeedersFrame_), 0, 2);
    for (int i = 0; i < 9; ++i) {
        feederLabel_[i] = namedLabel(QStringLiteral("ﾌｨｰﾀﾞ%1").arg(i + 1), indexed("Label27", i),
                                     severalFeedersFrame_);
        feederCtBox_[i] = namedBox(indexed("Text10", i), 60, severalFeedersFrame_);
        feederCtBox_[i]->setToolTip(QStringLiteral("1次電流／2次電流"));
        feederClampBox_[i] = namedBox(indexed("Text11", i), 60, severalFeedersFrame_);
        feederClampBox_[i]->setToolTip(
            QStringLiteral("レンジ設定値に対する出力電圧は0.2Vで計算します"));
        grid->addWidget(feederLabel_[i], i + 1, 0);
        grid->addWidget(feederCtBox_[i], i + 1, 1);
        grid->addWidget(feederClampBox_[i], i + 1, 2);
    }
    ptBox_[1] = namedBox(QStringLiteral("Text2(1)"), 60, severalFeedersFrame_);
    ptBox_[1]->setToolTip(QStringLiteral("1次電圧／2次電圧"));
    grid->addWidget(new QLabel(QStringLiteral("ＰＴ比"), severalFeedersFrame_), 10, 0);
    grid->addWidget(ptBox_[1], 10, 1);
    grid->addWidget(new QLabel(QStringLiteral("倍"), severalFeedersFrame_), 10, 2);
    grid->setColumnStretch(3, 1);
    return severalFeedersFrame_;
}

QWidget* SettingsScreen::buildMiddleColumn()
{
    auto* column = new QWidget(this);
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);

    auto* countRow = new QHBoxLayout;
    countRow->addWidget(
        namedLabel(QStringLiteral("測定ﾌｨｰﾀﾞ数"), QStringLiteral("Label24"), column));
    feederCountBox_ = new QComboBox(column);
    feederCountBox_->setObjectName(QStringLiteral("Combo1"));
    feederCountBox_->setToolTip(QStringLiteral("測定するフィーダ数を指定します"));
    feederCountBox_->setMinimumWidth(60);
    countRow->addWidget(feederCountBox_);
    countRow->addStretch();
    layout->addLayout(countRow);
    connect(feederCountBox_, &QComboBox::activated, this,
            [this](int index) { chooseFeederCount(index); });

    // One feeder: the channel buttons and the sensor frame; several: the channel table and the
    // feeder rows. Both sets share the place, so the screen keeps its size when they switch.
    feederPages_ = new QStackedWidget(column);
    auto* one = new QWidget(feederPages_);
    auto* oneLayout = new QVBoxLayout(one);
    oneLayout->setContentsMargins(0, 0, 0, 0);
    oneLayout->addWidget(buildInputChannelFrames());
    oneLayout->addWidget(buildOneFeederFrame());
    oneLayout->addStretch();
    auto* several = new QWidget(feederPages_);
    auto* severalLayout = new QVBoxLayout(several);
    severalLayout->setContentsMargins(0, 0, 0, 0);
    severalLayout->addWidget(buildChannelTable());
    severalLayout->addWidget(buildSeveralFeedersFrame());
    severalLayout->addStretch();
    feederPages_->addWidget(one);
    feederPages_->addWidget(several);
    // The place is as large as the several-feeder page with its longest captions, so the screen
    // keeps its size whichever page shows.
    const QString widest = QStringLiteral("電流F9：R相=ch16,T相=ch16(2台目8841)");
    for (QLabel* caption : channelCaption_)
        caption->setText(widest);
    feederPages_->setMinimumSize(several->sizeHint().expandedTo(one->sizeHint()));
    for (QLabel* caption : channelCaption_)
        caption->clear();
    layout->addWidget(feederPages_);
    layout->addStretch();
    return column;
}

QWidget* SettingsScreen::buildPeriodFrame()
{
    auto* frame = new QGroupBox(QStringLiteral("測定期間"), this);
    frame->setObjectName(QStringLiteral("Frame12"));
    auto* grid = new QGridLayout(frame);
    grid->setContentsMargins(6, 4, 6, 4);
    grid->setVerticalSpacing(3);
    const char* dateCaptions[] = {"開始日", "終了日"};
    const char* timeCaptions[] = {"開始時間", "終了時間"};
    const char* dateTips[] = {"測定開始日を入力してください",
                              "測定開始日かそれ以降の日にちを入力してください"};
    const char* timeTips[] = {"測定開始時間を入力してください", "測定終了時間を入力してください"};
    for (int i = 0; i < 2; ++i) {
        const int row = i * 2;
        dateBox_[i] = namedBox(indexed("Text5", i), 100, frame);
        dateBox_[i]->setToolTip(QString::fromUtf8(dateTips[i]));
        dateMinus_[i] = namedButton(QStringLiteral("-"), indexed("Command8", i), frame, 28);
        datePlus_[i] = namedButton(QStringLiteral("+"), indexed("Command3", i), frame, 28);
        grid->addWidget(new QLabel(QString::fromUtf8(dateCaptions[i]), frame), row, 0);
        grid->addWidget(dateBox_[i], row, 1);
        grid->addWidget(dateMinus_[i], row, 2);
        grid->addWidget(datePlus_[i], row, 3);
        timeBox_[i] = namedBox(indexed("Text6", i), 100, frame);
        timeBox_[i]->setToolTip(QString::fromUtf8(timeTips[i]));
        timeMinus_[i] = namedButton(QStringLiteral("-"), indexed("Command1", i), frame, 28);
        timePlus_[i] = namedButton(QStringLiteral("+"), indexed("Command2", i), frame, 28);
        grid->addWidget(new QLabel(QString::fromUtf8(timeCaptions[i]), frame), row + 1, 0);
        grid->addWidget(timeBox_[i], row + 1, 1);
        grid->addWidget(timeMinus_[i], row + 1, 2);
        grid->addWidget(timePlus_[i], row + 1, 3);
        connect(dateMinus_[i], &QPushButton::clicked, this, [this, i] {
            rules_.stepDate(i, -1);
            showView();
        });
        connect(datePlus_[i], &QPushButton::clicked, this, [this, i] {
            rules_.stepDate(i, 1);
            showView();
        });
        connect(timeMinus_[i], &QPushButton::clicked, this, [this, i] {
            rules_.stepTime(i, -1);
            showView();
        });
        connect(timePlus_[i], &QPushButton::clicked, this, [this, i] {
            rules_.stepTime(i, 1);
            showView();
        });
    }
    saveIntervalBox_ = namedBox(QStringLiteral("Text7"), 60, frame);
    saveIntervalBox_->setToolTip(QStringLiteral("データの保存間隔を入力してください"));
    saveStep_[0] = namedButton(QStringLiteral("+"), QStringLiteral("Command6(0)"), frame, 28);
    saveStep_[1] = namedButton(QStringLiteral("-"), QStringLiteral("Command6(1)"), frame, 28);
    grid->addWidget(new QLabel(QStringLiteral("データ保存間隔:"), frame), 4, 0);
    grid->addWidget(saveIntervalBox_, 4, 1);
    grid->addWidget(saveStep_[1], 4, 2);
    grid->addWidget(saveStep_[0], 4, 3);
    grid->addWidget(new QLabel(QStringLiteral("分"), frame), 4, 4);
    grid->setColumnStretch(5, 1);
    return frame;
}

QWidget* SettingsScreen::buildFdSaveFrame()
{
    auto* frame = optionFrame<6>(QStringLiteral("FD保存"), QStringLiteral("Frame10"), "Option10",
                                 {"しない", "電圧１", "電圧２", "電流１", "電流２", "全ｃｈ"},
                                 fdSaveOption_, 3, this);
    frame->setToolTip(QStringLiteral("一定間隔ごとに波形データを測定器のＦＤに出力します"));
    auto* grid = static_cast<QGridLayout*>(frame->layout());
    auto* row = new QHBoxLayout;
    fdIntervalCaption_ =
        namedLabel(QStringLiteral("保存間隔"), QStringLiteral("FdIntervalCaption"), frame);
    fdIntervalBox_ = namedBox(QStringLiteral("Text8"), 60, frame);
    fdStep_[0] = namedButton(QStringLiteral("+"), QStringLiteral("Command7(0)"), frame, 28);
    fdStep_[1] = namedButton(QStringLiteral("-"), QStringLiteral("Command7(1)"), frame, 28);
    fdIntervalUnit_ = namedLabel(QStringLiteral("分"), QStringLiteral("FdIntervalUnit"), frame);
    row->addWidget(fdIntervalBox_);
    row->addWidget(fdStep_[1]);
    row->addWidget(fdStep_[0]);
    row->addWidget(fdIntervalUnit_);
    row->addStretch();
    // The caption under the first column of buttons, which is wide enough for it.
    grid->addWidget(fdIntervalCaption_, 2, 0);
    grid->addLayout(row, 2, 1, 1, 2);
    keepPlaceWhenHidden({fdIntervalBox_, fdStep_[0], fdStep_[1]});
    for (int i = 0; i < 6; ++i)
        connect(fdSaveOption_[i], &QRadioButton::clicked, this, [this, i] {
            rules_.chooseFdSaveMode(i);
            showView();
        });
    return frame;
}

QWidget* SettingsScreen::buildPrintFrame()
{
    auto* frame = optionFrame<2>(QStringLiteral("オートプリント"), QStringLiteral("Frame14"),
                                 "Option11", {"出力する", "出力しない"}, printOption_, 2, this);
    frame->setToolTip(QStringLiteral("一定間隔ごとにプリント出力します"));
    auto* grid = static_cast<QGridLayout*>(frame->layout());
    auto* row = new QHBoxLayout;
    printIntervalCaption_ =
        namedLabel(QStringLiteral("印刷間隔"), QStringLiteral("PrintIntervalCaption"), frame);
    printIntervalBox_ = namedBox(QStringLiteral("Text9"), 60, frame);
    printStep_[0] = namedButton(QStringLiteral("+"), QStringLiteral("Command9(0)"), frame, 28);
    printStep_[1] = namedButton(QStringLiteral("-"), QStringLiteral("Command9(1)"), frame, 28);
    printIntervalUnit_ =
        namedLabel(QStringLiteral("分"), QStringLiteral("PrintIntervalUnit"), frame);
    row->addWidget(printIntervalBox_);
    row->addWidget(printStep_[1]);
    row->addWidget(printStep_[0]);
    row->addWidget(printIntervalUnit_);
    row->addStretch();
    grid->addWidget(printIntervalCaption_, 1, 0);
    grid->addLayout(row, 1, 1);
    keepPlaceWhenHidden({printIntervalBox_, printStep_[0], printStep_[1]});
    for (int i = 0; i < 2; ++i)
        connect(printOption_[i], &QRadioButton::clicked, this, [this, i] {
            rules_.choosePrint(i);
            showView();
        });
    return frame;
}

QWidget* SettingsScreen::buildRightColumn()
{
    auto* column = new QWidget(this);
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(buildPeriodFrame());

    auto* options = optionFrame<5>(
        QStringLiteral("オプション"), QStringLiteral("Frame8"), "Option8",
        {"なし", "重畳角保存", "三相不平衡", "重畳角･　不平衡保存", "高次(256次)調波+重畳位相"},
        saveOptionOption_, 1, column);
    const char* optionTips[] = {
        nullptr, "基本波に対して各次調波の重畳する位相差を保存します。", "相別の実行値を保存します",
        "基本波に対して各次調波の重畳する位相差と相別の実行値を保存します。",
        "偶数時も含み256次までの測定を行います。"};
    for (int i = 1; i < 5; ++i)
        saveOptionOption_[i]->setToolTip(QString::fromUtf8(optionTips[i]));
    for (int i = 0; i < 5; ++i)
        connect(saveOptionOption_[i], &QRadioButton::clicked, this, [this, i] {
            rules_.chooseSaveOption(i);
            showView();
        });
    saveOptionOption_[4]->installEventFilter(this);
    layout->addWidget(options);
    layout->addWidget(buildFdSaveFrame());
    layout->addWidget(buildPrintFrame());
    layout->addStretch();
    return column;
}

QWidget* SettingsScreen::buildFileRow()
{
    auto* row = new QWidget(this);
    auto* grid = new QGridLayout(row);
    grid->setContentsMargins(0, 4, 0, 0);
    grid->addWidget(new QLabel(QStringLiteral("出力ファイル名"), row), 0, 0);
    outputFileLabel_ = namedLabel(QString(), QStringLiteral("Label7"), row);
    outputFileLabel_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    outputFileLabel_->setMinimumWidth(480);
    // A long path must not widen the screen; the whole of it is in the tip.
    outputFileLabel_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    outputFileLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    grid->addWidget(outputFileLabel_, 0, 1, 1, 3);
    fileButton_ = namedButton(QStringLiteral("ファイル名設定"), QStringLiteral("Command10"), row);
    grid->addWidget(fileButton_, 0, 4);
    saveWaveforms_ = new QCheckBox(QStringLiteral("波形データを同一フォルダに保存"), row);
    saveWaveforms_->setObjectName(QStringLiteral("Check1"));
    grid->addWidget(saveWaveforms_, 1, 1);

    auto* buttons = new QHBoxLayout;
    loadButton_ = namedButton(QStringLiteral("設定読込"), QStringLiteral("Command11"), row);
    saveButton_ = namedButton(QStringLiteral("設定保存"), QStringLiteral("Command12"), row);
    startButton_ = namedButton(QStringLiteral("測定開始"), QStringLiteral("Command4"), row, 120);
    endButton_ = namedButton(QStringLiteral("終　　了"), QStringLiteral("Command5"), row, 120);
    buttons->addWidget(loadButton_);
    buttons->addWidget(saveButton_);
    buttons->addStretch();
    buttons->addWidget(startButton_);
    buttons->addWidget(endButton_);
    grid->addLayout(buttons, 2, 0, 1, 5);
    grid->setColumnStretch(3, 1);

    connect(fileButton_, &QPushButton::clicked, this, [this] { chooseOutputFile(); });
    connect(saveWaveforms_, &QCheckBox::toggled, this,
            [this](bool on) { station_.settings.SaveWaveforms = on; });
    connect(startButton_, &QPushButton::clicked, this, [this] { startMeasurement(); });
    connect(endButton_, &QPushButton::clicked, this, [this] { endProgram(); });
    connect(loadButton_, &QPushButton::clicked, this, [this] {
        const QString path = openSettingsDialog_ ? openSettingsDialog_() : QString();
        if (!path.isEmpty())
            loadSettingsFile(path);
    });
    connect(saveButton_, &QPushButton::clicked, this, [this] {
        const QString path = saveSettingsDialog_ ? saveSettingsDialog_() : QString();
        if (!path.isEmpty())
            saveSettingsFile(path);
    });
    return row;
}

// ---- Text boxes ----------------------------------------------------------------------------

void SettingsScreen::connectNumberBoxes()
{
    SettingsView& v = view_;
    SettingsRules& r = rules_;
    auto integerBox = [](QLineEdit* box, std::function<QString()> accepted,
                         std::function<EntryResult(const QString&)> change,
                         std::function<void(const QString&)> leave) {
        return NumberBox{box, std::move(accepted), checkNumberEntry, std::move(change),
                         std::move(leave)};
    };
    for (int i = 0; i < 2; ++i) {
        numberBoxes_.push_back(NumberBox{sensorBox_[i], [&v, i] { return v.sensorText[i]; },
                                         checkSensorEntry, nullptr,
                                         [&r, i](const QString& t) { r.leaveSensorBox(i, t); }});
        numberBoxes_.push_back(integerBox(
            ptBox_[i], [&v, i] { return v.ptText[i]; },
            [&r, i](const QString& t) { return r.changePtText(i, t); },
            [&r, i](const QString&) { r.leavePtBox(i); }));
    }
    numberBoxes_.push_back(integerBox(
        ctBox_, [&v] { return v.ctText; }, [&r](const QString& t) { return r.changeCtText(t); },
        [&r](const QString&) { r.leaveCtBox(); }));
    for (int i = 0; i < 9; ++i) {
        numberBoxes_.push_back(integerBox(
            feederCtBox_[i], [&v, i] { return v.feederCtText[i]; },
            [&r, i](const QString& t) { return r.changeFeederCtText(i, t); },
            [&r, i](const QString&) { r.leaveFeederCtBox(i); }));
        numberBoxes_.push_back(NumberBox{feederClampBox_[i],
                                         [&v, i] { return v.feederClampText[i]; }, checkSensorEntry,
                                         [&r, i](const QString& t) {
                                             r.changeFeederClampText(i, t);
                                             return EntryResult{};
                                         },
                                         [&r, i](const QString&) { r.leaveFeederClampBox(i); }});
    }
    numberBoxes_.push_back(integerBox(
        saveIntervalBox_, [&v] { return v.saveIntervalText; },
        [&r](const QString& t) { return r.changeSaveIntervalText(t); }, nullptr));
    numberBoxes_.push_back(integerBox(
        fdIntervalBox_, [&v] { return v.fdIntervalText; },
        [&r](const QString& t) { return r.changeFdIntervalText(t); }, nullptr));
    numberBoxes_.push_back(integerBox(
        printIntervalBox_, [&v] { return v.printIntervalText; },
        [&r](const QString& t) { return r.changePrintIntervalText(t); }, nullptr));

    for (const NumberBox& box : numberBoxes_) {
        box.box->installEventFilter(this);
        connect(box.box, &QLineEdit::textEdited, this,
                [this, &box](const QString& text) { numberEdited(box, text); });
    }

    auto step = [this](std::array<QPushButton*, 2>& buttons,
                       EntryResult (SettingsRules::*op)(int)) {
        for (int i = 0; i < 2; ++i)
            connect(buttons[i], &QPushButton::clicked, this, [this, op, i] {
                const EntryResult result = (rules_.*op)(i == 0 ? 1 : -1);
                if (!result.accepted)
                    message(result.message);
                showView();
            });
    };
    step(saveStep_, &SettingsRules::stepSaveInterval);
    step(fdStep_, &SettingsRules::stepFdInterval);
    step(printStep_, &SettingsRules::stepPrintInterval);
}

void SettingsScreen::connectDateBoxes()
{
    for (int i = 0; i < 2; ++i) {
        dateBox_[i]->installEventFilter(this);
        timeBox_[i]->installEventFilter(this);
        connect(dateBox_[i], &QLineEdit::textEdited, this,
                [this, i](const QString& text) { rules_.changeDateText(i, text); });
        connect(timeBox_[i], &QLineEdit::textEdited, this,
                [this, i](const QString& text) { rules_.changeTimeText(i, text); });
    }
}

void SettingsScreen::numberEdited(const NumberBox& box, const QString& text)
{
    if (refusing_ || isUnfinishedNumber(text))
        return;
    EntryResult result = box.check(text);
    if (result.accepted && box.change)
        result = box.change(text);
    if (!result.accepted) {
        refuse(result.message);
        return;
    }
    if (box.change)
        showView();
}

void SettingsScreen::numberLeft(const NumberBox& box)
{
    const QString text = box.box->text();
    const EntryResult entry = box.check(text);
    if (!entry.accepted || (box.change && text != box.accepted())) {
        // Not a number, or an edit that was never taken (a lone "-", an emptied box).
        refuse(entry.accepted ? integerRangeMessage() : entry.message);
        return;
    }
    if (box.leave)
        box.leave(text);
    showView();
}

void SettingsScreen::dateLeft(int index, bool isTime)
{
    QLineEdit* box = isTime ? timeBox_[index] : dateBox_[index];
    const EntryResult result = isTime ? checkTimeEntry(box->text()) : checkDateEntry(box->text());
    // A refused entry puts back the date and time the boxes held before it was typed (a
    // half-typed text may have passed through a valid one on its way).
    const QDateTime& before = periodBefore_[static_cast<std::size_t>(index)];
    if (!result.accepted && before.isValid()) {
        rules_.changeDateText(index, dateBoxText(before.date()));
        rules_.changeTimeText(index, timeBoxText(before.time()));
    }
    // Both boxes of the pair show what the model holds.
    rules_.leaveDateBox(index);
    rules_.leaveTimeBox(index);
    if (!result.accepted)
        refuse(result.message);
    else
        showView();
}

void SettingsScreen::refuse(const QString& text)
{
    const QScopedValueRollback<bool> guard(refusing_, true);
    showView();
    message(text);
}

void SettingsScreen::message(const QString& text, const MessageSeverity& severity)
{
    showMessageBox(this, showMessage_, text, severity, QMessageBox::Information);
}

// ---- Showing the state ---------------------------------------------------------------------

void SettingsScreen::showView()
{
    showChoices();
    showTexts();
    updateCommandButtons();
}

void SettingsScreen::showChoices()
{
    const SettingsView& v = view_;
    auto select = [](auto& buttons, int choice) {
        for (std::size_t i = 0; i < buttons.size(); ++i) {
            if (static_cast<int>(i) == choice && !buttons[i]->isChecked())
                buttons[i]->setChecked(true);
        }
    };
    select(samplingOption_, v.samplingChoice);
    for (std::size_t i = 0; i < 3; ++i)
        samplingOption_[i]->setEnabled(v.samplingEnabled[i]);
    select(measureTypeOption_, v.measureTypeChoice);
    inputChannelFrame_[1]->setEnabled(v.secondInputsEnabled);
    inputChannelFrame_[3]->setEnabled(v.secondInputsEnabled);
    select(phaseShiftOption_, v.phaseShiftChoice);
    phaseShiftFrame_->setEnabled(v.phaseShiftEnabled);
    for (QRadioButton* b : phaseShiftOption_)
        b->setEnabled(v.phaseShiftEnabled);
    for (std::size_t input = 0; input < 4; ++input)
        select(inputChannelOption_[input], v.inputChannelChoice[input]);
    select(saveFormatOption_, v.saveFormatChoice);
    for (std::size_t i = 0; i < 4; ++i)
        saveFormatOption_[i]->setEnabled(v.saveFormatEnabled[i]);
    select(saveOptionOption_, v.saveOptionChoice);
    for (std::size_t i = 0; i < 5; ++i)
        saveOptionOption_[i]->setEnabled(v.saveOptionEnabled[i]);
    select(fdSaveOption_, v.fdSaveChoice);
    fdIntervalCaption_->setEnabled(v.fdIntervalShown);
    fdIntervalUnit_->setEnabled(v.fdIntervalShown);
    setShown(fdIntervalBox_, v.fdIntervalShown);
    setShown(fdStep_[0], v.fdIntervalShown);
    setShown(fdStep_[1], v.fdIntervalShown);
    select(printOption_, v.printChoice);
    printIntervalCaption_->setEnabled(v.printIntervalShown);
    printIntervalUnit_->setEnabled(v.printIntervalShown);
    setShown(printIntervalBox_, v.printIntervalShown);
    setShown(printStep_[0], v.printIntervalShown);
    setShown(printStep_[1], v.printIntervalShown);
    select(sensorOption_, v.sensorChoice);
    for (std::size_t i = 0; i < 2; ++i) {
        sensorLabel_[i]->setEnabled(v.sensorTextEnabled[i]);
        sensorBox_[i]->setEnabled(v.sensorTextEnabled[i]);
    }
    select(syncOption_, v.syncChoice);

    if (feederCountBox_->count() != v.feederCounts.size()) {
        const QSignalBlocker block(feederCountBox_);
        feederCountBox_->clear();
        feederCountBox_->addItems(v.feederCounts);
    }
    {
        const QSignalBlocker block(feederCountBox_);
        // Before a count is chosen the settings hold one feeder: the list says so.
        feederCountBox_->setCurrentIndex(v.feederCount > 0 ? v.feederCount - 1
                                                           : station_.settings.LastFeeder);
    }
    setShown(channelTable_, v.channelTableShown);
    setShown(inputChannelHeading_, v.channelHeadingShown);
    // The one-feeder channel frames belong with their heading.
    setShown(inputChannelBlock_, v.channelHeadingShown);
    setShown(severalFeedersFrame_, v.severalFeedersFrameShown);
    setShown(oneFeederFrame_, v.oneFeederFrameShown);
    feederPages_->setCurrentIndex(v.channelTableShown ? 1 : 0);
    for (std::size_t i = 0; i < 10; ++i) {
        channelCaption_[i]->setText(v.channelCaptions[i]);
        channelCaption_[i]->setEnabled(v.channelCaptionEnabled[i]);
    }
    for (std::size_t i = 0; i < 9; ++i) {
        feederLabel_[i]->setEnabled(v.feederRowEnabled[i]);
        feederCtBox_[i]->setEnabled(v.feederRowEnabled[i]);
        feederClampBox_[i]->setEnabled(v.feederRowEnabled[i]);
    }
}

void SettingsScreen::showTexts()
{
    const SettingsView& v = view_;
    for (std::size_t i = 0; i < 2; ++i) {
        setBoxText(sensorBox_[i], v.sensorText[i]);
        setBoxText(ptBox_[i], v.ptText[i]);
        setBoxText(dateBox_[i], v.dateText[i]);
        setBoxText(timeBox_[i], v.timeText[i]);
    }
    setBoxText(ctBox_, v.ctText);
    setBoxText(saveIntervalBox_, v.saveIntervalText);
    setBoxText(fdIntervalBox_, v.fdIntervalText);
    setBoxText(printIntervalBox_, v.printIntervalText);
    for (std::size_t i = 0; i < 9; ++i) {
        setBoxText(feederCtBox_[i], v.feederCtText[i]);
        setBoxText(feederClampBox_[i], v.feederClampText[i]);
    }
    outputFileLabel_->setText(station_.settings.OutputFile);
    outputFileLabel_->setToolTip(QDir::toNativeSeparators(station_.settings.OutputFile));
    if (saveWaveforms_->isChecked() != station_.settings.SaveWaveforms)
        saveWaveforms_->setChecked(station_.settings.SaveWaveforms);
}

void SettingsScreen::updateCommandButtons()
{
    const bool locked = lockOut_.isActive();
    startButton_->setEnabled(!locked && lockOutExpiredOnce_ && rules_.startAllowed());
    endButton_->setEnabled(!locked && lockOutExpiredOnce_);
    // A greyed start button says why.
    QString why;
    if (locked || !lockOutExpiredOnce_)
        why = QStringLiteral("測定器の自動設定中です。しばらくお待ち下さい。");
    else if (!rules_.startAllowed())
        why = QStringLiteral("出力ファイル名を設定して下さい（ファイル名設定）");
    startButton_->setToolTip(why);
}

// ---- Events --------------------------------------------------------------------------------

bool SettingsScreen::eventFilter(QObject* watched, QEvent* e)
{
    if (e->type() == QEvent::MouseButtonDblClick && watched == saveOptionOption_[4]) {
        // The first click of the double-click chose the option; make sure of it, whatever
        // the platform delivered, before the R-C complement screen opens.
        if (saveOptionOption_[4]->isEnabled()) {
            if (view_.saveOptionChoice != 4) {
                rules_.chooseSaveOption(4);
                showView();
            }
            openRcComplement();
        }
        return true;
    }
    if (e->type() == QEvent::FocusIn) {
        for (std::size_t i = 0; i < 2; ++i) {
            if (watched == dateBox_[i] || watched == timeBox_[i])
                periodBefore_[i] =
                    i == 0 ? station_.settings.StartDateTime : station_.settings.EndDateTime;
        }
    }
    if (e->type() == QEvent::FocusOut && !refusing_) {
        // Only a move of the focus inside the screen leaves a box; a message box or another
        // window taking the activation does not.
        const auto reason = static_cast<QFocusEvent*>(e)->reason();
        if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
            for (const NumberBox& box : numberBoxes_) {
                if (watched == box.box)
                    numberLeft(box);
            }
            for (int i = 0; i < 2; ++i) {
                if (watched == dateBox_[i])
                    dateLeft(i, false);
                if (watched == timeBox_[i])
                    dateLeft(i, true);
            }
        }
    }
    return QWidget::eventFilter(watched, e);
}

bool SettingsScreen::event(QEvent* e)
{
    // The activation that counts is the first showing and the return from a screen opened here;
    // message boxes and other programs taking the focus for a moment do not. Nor does one that
    // arrives while that screen is still up (the window system may deliver an activation it had
    // under way when the button was clicked): the return runs the activation itself.
    if (e->type() == QEvent::WindowActivate && activationPending_ && !modalOpen_)
        activate();
    return QWidget::event(e);
}

void SettingsScreen::closeEvent(QCloseEvent* e)
{
    e->accept();
    if (endProgram_)
        endProgram_(0);
}

void SettingsScreen::activate()
{
    activationPending_ = false;
    lockOut_.start(station_.clock.realMs(SetupFlow::kLockOutMs));
    updateCommandButtons();
    if (station_.settings.StartConfirmed) {
        // The measurement screen takes over; what it runs may not return before the program
        // ends, so this screen is out of the way first.
        hide();
        if (openMeasurement_)
            openMeasurement_();
        return;
    }
    flow_.startAutomaticSetup();
}

void SettingsScreen::lockOutTick()
{
    lockOut_.stop();
    lockOutExpiredOnce_ = true;
    updateCommandButtons();
}

void SettingsScreen::startMeasurement()
{
    if (lockOut_.isActive() || !rules_.startAllowed())
        return;
    const EntryResult period = rules_.checkPeriod();
    if (!period.accepted) {
        message(period.message);
        return;
    }
    if (PeriodOver(station_.settings, station_.clock.now())) {
        message(kPeriodOverText);
        return;
    }
    if (!readyToPrepare())
        return;
    // The feeders or options may have changed the name since it was chosen.
    if (!overwriteAllowed(station_.settings.OutputFile))
        return;
    setCursor(Qt::WaitCursor);
    activationPending_ = true;
    if (openPreparation_) {
        const QScopedValueRollback<bool> open(modalOpen_, true);
        openPreparation_();
    }
    unsetCursor();
    // The preparation screen is modal: when it has closed, this screen is active again.
    if (activationPending_ && isVisible())
        activate();
}

bool SettingsScreen::readyToPrepare()
{
    if (const Result<void> ready = flow_.readyOutputFolder(); !ready) {
        message(ready.error().text);
        return false;
    }
    const Result<void> links = flow_.checkLinks();
    if (links)
        return true;
    if (links.error().is(SetupRecorderBack)) {
        // Reset by its set-up: the automatic set-up and the lock-out as when the screen opened.
        activate();
        message(links.error().text + QStringLiteral("\r\n測定器の自動設定が終わってから、もう一度"
                                                    "測定開始を押して下さい。"),
                MessageSeverity::information());
    } else {
        message(links.error().text +
                QStringLiteral("\r\n測定器の準備ができたら、もう一度測定開始を押して下さい。"));
    }
    return false;
}

void SettingsScreen::returnFromMeasurement(const QString& why)
{
    station_.settings.StartConfirmed = false;
    show();
    // Set up for the run by the preparation: back to the idle set-up, as after キャンセル.
    flow_.rejectWiring();
    activate();
    message(QStringLiteral("測定を開始できません。\r\n") + why +
            QStringLiteral("\r\n設定はそのままです。出力ファイル名を確かめて、もう一度測定開始を"
                           "押して下さい。"));
}

void SettingsScreen::endProgram()
{
    flow_.abort();
    if (endProgram_)
        endProgram_(0);
}

bool SettingsScreen::overwriteAllowed(const QString& outputFile)
{
    const QStringList names = ResultFileNames(outputFile, station_.settings.MeasureType());
    for (const QString& name : names) {
        if (!QFileInfo::exists(name) || overwriteConfirmed_.contains(name))
            continue;
        if (askQuestion_ && !askQuestion_(QStringLiteral("%1 は既にあります。\r\n上書きしますか？")
                                              .arg(QDir::toNativeSeparators(name))))
            return false;
        overwriteConfirmed_ = names;
        return true;
    }
    return true;
}

void SettingsScreen::chooseOutputFile()
{
    const QString path = outputDialog_ ? outputDialog_() : QString();
    if (path.isEmpty())
        return;
    const QString chosen = QDir::fromNativeSeparators(path);
    const QString outputFile = outputFileFromPath(chosen, rules_.currentExtension());
    if (const Result<void> ready =
            SetupFlow::readyOutputFile(outputFile, station_.settings.MeasureType());
        !ready) {
        message(ready.error().text);
        return;
    }
    if (!overwriteAllowed(outputFile))
        return;
    rules_.chooseOutputFile(chosen);
    showView();
}

void SettingsScreen::chooseFeederCount(int comboIndex)
{
    if (comboIndex < 0 || comboIndex >= view_.feederCounts.size())
        return;
    rules_.chooseFeederCount(view_.feederCounts[comboIndex].toInt(), station_.facts);
    showView();
}

// ---- R-C complement and settings files -----------------------------------------------------

void SettingsScreen::openRcComplement()
{
    if (!rcScreen_) {
        rcScreen_ = std::make_unique<RcComplementScreen>(station_.settings, this);
        rcScreen_->setMessageFunction(
            // The complement screen's messages are all refused entries.
            [this](const QString& text, const QString&) {
                message(text, MessageSeverity::error());
            });
    }
    activationPending_ = true;
    {
        const QScopedValueRollback<bool> open(modalOpen_, true);
        rcScreen_->exec();
    }
    if (activationPending_ && isVisible())
        activate();
}

bool SettingsScreen::loadSettingsFile(const QString& path)
{
    SettingsFileResult read = readSettingsFile(path, station_.clock.now());
    if (read.ok) {
        const QString refused = applyChannelMap(read.content, station_.facts);
        if (!refused.isEmpty()) {
            read.ok = false;
            read.error = refused;
        }
    }
    if (!read.ok) {
        message(QStringLiteral("設定ファイルを読み込めません。\r\n") + read.error);
        return false;
    }
    applyLoaded(read.content);
    return true;
}

bool SettingsScreen::saveSettingsFile(const QString& path)
{
    const EntryResult period = rules_.checkPeriod();
    if (!rules_.startAllowed() || !period.accepted) {
        message(!rules_.startAllowed() ? QStringLiteral("出力ファイル名を設定して下さい")
                                       : period.message);
        return false;
    }
    QSaveFile file(path);
    const QByteArray json = settingsJson(station_.settings, addresses_);
    if (!file.open(QIODevice::WriteOnly) || file.write(json) != json.size() || !file.commit()) {
        message(QStringLiteral("設定ファイルを書き込めません。\r\n") + path +
                QStringLiteral("\r\n") + file.errorString());
        return false;
    }
    return true;
}

void SettingsScreen::applyLoaded(const SettingsFileContent& content)
{
    rules_.applySettings(content.settings, station_.facts, content.channelMapExplicit);
    if (rcScreen_)
        rcScreen_->showSettings();
    showView();
}

} // namespace hs
