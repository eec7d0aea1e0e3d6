#include "ui/MeasurementScreen.h"
#include "ui/WindowPlacement.h"

#include "engine/HarmonicAnalysis.h"
#include "engine/RunLoop.h"
#include "render/PictureViews.h"
#include "ui/RunNoticePanel.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QCloseEvent>
#include <QFontDatabase>
#include <QFrame>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QTableView>
#include <QTimer>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace hs {

namespace {

// Positions and sizes are kept in twips, as the screen was designed: 15 twips to a pixel.
constexpr double kTwipsPerPixel = 15.0;
int px(int twips)
{
    return static_cast<int>(std::lround(twips / kTwipsPerPixel));
}
int twips(int pixels)
{
    return static_cast<int>(std::lround(pixels * kTwipsPerPixel));
}

// The design client area, and what the window frame adds to it (the layout rule works on the
// outer size).
constexpr int kClientWidth = 9510;
constexpr int kClientHeight = 6855;
constexpr int kFrameWidth = 120;
constexpr int kFrameHeight = 405;

// The button row: nine view buttons, the channel switch wide enough for two halves an operator
// can aim at, then the start/end button. A press on the switch right of its middle is the "next"
// half.
constexpr int kViewButtonPitch = 800;
constexpr int kViewButtonWidth = 760;
constexpr int kChannelSwitchLeft = 60 + 9 * kViewButtonPitch + 5;
constexpr int kChannelSwitchWidth = 8355 - kChannelSwitchLeft;
constexpr int kChannelSwitchSplit = kChannelSwitchWidth / 2;

struct ViewButton {
    const char16_t* caption;
    const char16_t* tip;
};
constexpr ViewButton kViewButtons[9] = {
    {u"グラフ", nullptr},
    {u"数値Σ", u"電圧・電流・位相差を表示します"},
    {u"数値Ｖ", u"三相の相別電圧を表示します。"},
    {u"数値Ｉ", u"三相の相別電流を表示します。"},
    {u"数値Ｒ", u"電圧と電流の位相差、重畳の位相差を表示します"},
    {u"波形", u"入力波形を表示します"},
    {u"歪波形", u"入力波形から基本波分を取り除いた高調波成分を表示します"},
    {u"波＋歪", u"入力波形と高調波成分の双方を表示します"},
    {u"ﾍﾞｸﾄﾙ", u"基本波と高調波の電圧・電流ベクトルを表示します"},
};

Qt::Alignment qtAlignment(CellAlignment a)
{
    switch (a) {
    case CellAlignment::Centre:
        return Qt::AlignHCenter | Qt::AlignVCenter;
    case CellAlignment::Right:
        return Qt::AlignRight | Qt::AlignVCenter;
    default:
        return Qt::AlignLeft | Qt::AlignVCenter;
    }
}

void setBold(QWidget* w, bool bold)
{
    QFont f = w->font();
    f.setBold(bold);
    w->setFont(f);
}

// "ＭＳ ゴシック", or the first monospaced Japanese font that is installed (its half-width
// digits keep the columns as narrow as designed), at 9 pt: at the designed 9.75 pt "6600.0V"
// fills a 700-twip column to the last pixel.
QFont gridFontOf()
{
    QFont font;
    for (const QString& family :
         {QStringLiteral("ＭＳ ゴシック"), QStringLiteral("MS Gothic"),
          QStringLiteral("Noto Sans Mono CJK JP"), QStringLiteral("Noto Sans CJK JP")})
        if (QFontDatabase::hasFamily(family)) {
            font.setFamily(family);
            break;
        }
    font.setPointSizeF(9.0);
    return font;
}

// A run that returned with this status was stopped by an error.
bool stoppedByError(int runStatus)
{
    return runStatus == RunFileError || runStatus == RunAnalysisError ||
           runStatus == RunRecorderChanged;
}

QString channelCaption(int channel)
{
    return QStringLiteral("◀ ") + FeederName(channel) + QStringLiteral(" ▶");
}

// The stale mark over the views: why no new shot comes, and the time of the shot shown.
const QString kStaleLinkLostText = QStringLiteral("測定器との接続が切れています。");
const QString kStaleShotsFailingText = QStringLiteral("測定器の記録が完了しません。");
const QString kStaleShotText = QStringLiteral("表示は %1 のショットの値です");
const QString kStaleNoShotText = QStringLiteral("表示できる値はまだありません");
constexpr int kStaleMarkHeight = 22; // pixels
const QColor kStaleGrey(150, 150, 150);

// Events that tell of trouble: red in the notice list.
bool isTrouble(const RunEvent& e)
{
    return e.display() == RunEventDisplay::Message || e.is<run::LinkLost>() ||
           e.is<run::RecordsMissing>() || e.is<run::Stalled>() || e.is<run::RunLogFailed>();
}

} // namespace

// A result grid shown by a table view: row 0 of the grid is the view's header, column 0 its
// fixed column of order labels.
class ResultGridModel : public QAbstractTableModel {
public:
    ResultGridModel(const ResultGrid& grid, QObject* parent)
        : QAbstractTableModel(parent), grid_(grid)
    {
    }

    int rowCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : std::max(grid_.rowCount() - 1, 0);
    }
    int columnCount(const QModelIndex& parent = {}) const override
    {
        return parent.isValid() ? 0 : grid_.columnCount();
    }
    QVariant data(const QModelIndex& index, int role) const override
    {
        const int column = index.column();
        switch (role) {
        case Qt::DisplayRole:
            return grid_.text(index.row() + 1, column);
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(
                qtAlignment(column == 0 ? grid_.fixedAlignment(0) : grid_.dataAlignment(column)));
        case Qt::BackgroundRole:
            if (column == 0)
                return QApplication::palette().button();
            return {};
        case Qt::ForegroundRole:
            if (greyed_)
                return QBrush(kStaleGrey);
            return {};
        default:
            return {};
        }
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal)
            return {};
        if (role == Qt::DisplayRole)
            return grid_.text(0, section);
        if (role == Qt::TextAlignmentRole)
            return QVariant::fromValue(qtAlignment(grid_.fixedAlignment(section)));
        return {};
    }

    // The texts drawn grey: they are of an old shot.
    void setGreyed(bool greyed)
    {
        greyed_ = greyed;
        refresh();
    }

    // The grid has been written: a new shape resets the view, new texts repaint it.
    void refresh()
    {
        if (grid_.rowCount() != rows_ || grid_.columnCount() != columns_) {
            beginResetModel();
            rows_ = grid_.rowCount();
            columns_ = grid_.columnCount();
            endResetModel();
            return;
        }
        if (rows_ > 1 && columns_ > 0)
            emit dataChanged(index(0, 0), index(rows_ - 2, columns_ - 1));
        if (columns_ > 0)
            emit headerDataChanged(Qt::Horizontal, 0, columns_ - 1);
    }

private:
    const ResultGrid& grid_;
    bool greyed_ = false;
    int rows_ = -1;
    int columns_ = -1;
};

// The cells of a result grid, drawn with a margin of one pixel as the grid of the original
// design did: the widths in twips hold "6600.0V" in the grid font.
class GridCellDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override
    {
        const QVariant background = index.data(Qt::BackgroundRole);
        if (background.canConvert<QBrush>())
            painter->fillRect(option.rect, background.value<QBrush>());
        const auto alignment =
            Qt::Alignment(index.data(Qt::TextAlignmentRole).value<Qt::Alignment>());
        const QString text = index.data(Qt::DisplayRole).toString();
        const QRect area = option.rect.adjusted(1, 0, -1, 0);
        // A label wider than its cell ("実効値" in the 500-twip order column) is drawn
        // narrower rather than cut.
        QFont font = option.font;
        const int width = QFontMetrics(font).horizontalAdvance(text);
        if (width > area.width() && area.width() > 0) {
            font.setPixelSize(
                std::max(8, QFontInfo(font).pixelSize() * area.width() / std::max(width, 1)));
        }
        painter->setFont(font);
        const QVariant foreground = index.data(Qt::ForegroundRole);
        painter->setPen(foreground.canConvert<QBrush>() ? foreground.value<QBrush>().color()
                                                        : option.palette.color(QPalette::Text));
        painter->drawText(area, int(alignment), text);
    }
};

// Picture1: shows the last drawing made for it, replayed onto a 640 by 360 logical surface
// scaled to the widget, so that a repaint never reads results that a running analysis is
// still writing.
class PictureWidget : public QWidget {
public:
    explicit PictureWidget(QWidget* parent) : QWidget(parent)
    {
        setAutoFillBackground(true);
        QPalette p = palette();
        p.setColor(QPalette::Window, Qt::white);
        setPalette(p);
    }

    void setDrawing(std::vector<CanvasOp> ops)
    {
        ops_ = std::move(ops);
        update();
    }
    const std::vector<CanvasOp>& drawing() const { return ops_; }
    // Drawn faded: the drawing is of an old shot.
    void setDimmed(bool dimmed)
    {
        dimmed_ = dimmed;
        update();
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        PainterCanvas canvas(painter, QSizeF(640, 360), QSizeF(size()));
        canvas.clear();
        for (const CanvasOp& op : ops_)
            replay(canvas, op);
        if (dimmed_)
            painter.fillRect(rect(), QColor(255, 255, 255, 150));
    }

private:
    static void replay(Canvas& canvas, const CanvasOp& op)
    {
        canvas.setColour(op.colour);
        canvas.setLineStyle(op.style);
        switch (op.kind) {
        case CanvasOp::Clear:
            canvas.clear();
            break;
        case CanvasOp::Point:
            canvas.point(op.a);
            break;
        case CanvasOp::Line:
            canvas.line(op.a, op.b, op.colour);
            break;
        case CanvasOp::Box:
            canvas.box(op.a, op.b);
            break;
        case CanvasOp::FilledBox:
            canvas.filledBox(op.a, op.b);
            break;
        case CanvasOp::Text:
            canvas.PrintAt(op.a, op.text, op.anchor);
            break;
        }
    }

    std::vector<CanvasOp> ops_;
    bool dimmed_ = false;
};

MeasurementScreen::MeasurementScreen(Station& station, MessageFunction messages, QWidget* parent)
    : QWidget(parent), station_(station), flow_(station, *this), showMessage_(std::move(messages))
{
    setObjectName(QStringLiteral("Form03"));
    setWindowTitle(caption());
    buildControls();
    resize(px(kClientWidth), px(kClientHeight) + RunNoticePanel::kHeight);
    applyLayout(kClientHeight + kFrameHeight, kClientWidth + kFrameWidth);
    load();
}

MeasurementScreen::~MeasurementScreen() = default;

void MeasurementScreen::buildControls()
{
    setAutoFillBackground(true);
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);

    picture_ = new PictureWidget(this);
    picture_->setObjectName(QStringLiteral("Picture1"));
    picture_->setGeometry(0, px(360), px(9510), px(5715));

    summaryLabel_ = new QLabel(this);
    summaryLabel_->setObjectName(QStringLiteral("Label1"));
    summaryLabel_->setAutoFillBackground(true);
    summaryLabel_->setPalette(white);
    summaryLabel_->setGeometry(0, px(60), px(9495), px(255));
    summaryLabel_->setIndent(px(60));

    buildGrids();

    statusLabel_ = new QLabel(this);
    statusLabel_->setObjectName(QStringLiteral("Label2"));
    statusLabel_->move(px(60), px(6105));

    buildButtons();

    // Below the designed area: what is saved and when, and the run's notices.
    notices_ = new RunNoticePanel(this);
    staleMark_ = new QLabel(this);
    staleMark_->setObjectName(QStringLiteral("StaleMark"));
    staleMark_->setStyleSheet(
        QStringLiteral("QLabel { background: #fff0c0; color: #b00000; border: 1px solid #b00000; "
                       "font-weight: bold; padding-left: 4px; }"));
    staleMark_->hide();
}

void MeasurementScreen::buildGrids()
{
    const QFont gridFont = gridFontOf();
    const int gridLeft[2] = {300, 4860};
    for (std::size_t g = 0; g < 2; ++g) {
        auto* view = new QTableView(this);
        view->setObjectName(QStringLiteral("Grid1(%1)").arg(g));
        view->setFont(gridFont);
        view->horizontalHeader()->setFont(gridFont);
        view->setGeometry(px(gridLeft[g]), px(300), px(4275), px(5535));
        view->verticalHeader()->hide();
        view->verticalHeader()->setDefaultSectionSize(px(255));
        view->horizontalHeader()->setMinimumSectionSize(1);
        view->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
        view->horizontalHeader()->setHighlightSections(false);
        view->setSelectionMode(QAbstractItemView::NoSelection);
        view->setEditTriggers(QAbstractItemView::NoEditTriggers);
        view->setFocusPolicy(Qt::NoFocus);
        view->setCornerButtonEnabled(false);
        view->setWordWrap(false);
        view->setTextElideMode(Qt::ElideNone);
        view->setItemDelegate(new GridCellDelegate(view));
        // A thin frame and scroll bar, so that the widest view (500 + 3 x 1200 twips) fits.
        view->setFrameStyle(QFrame::Box | QFrame::Plain);
        view->setLineWidth(1);
        view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
        view->setStyleSheet(QStringLiteral(
            "QScrollBar:vertical { width: 10px; background: #e8e8e8; }"
            "QScrollBar::handle:vertical { background: #a0a0a0; min-height: 20px; }"
            "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical { height: 0px; }"));
        gridModel_[g] = new ResultGridModel(grids_[g], view);
        view->setModel(gridModel_[g]);
        view->hide();
        gridView_[g] = view;
    }
}

void MeasurementScreen::buildButtons()
{
    buttonFrame_ = new QFrame(this);
    buttonFrame_->setObjectName(QStringLiteral("Frame1"));
    buttonFrame_->setGeometry(0, px(6300), px(9435), px(555));
    for (int i = 0; i < 9; ++i) {
        auto* b = new QPushButton(QString::fromUtf16(kViewButtons[i].caption), buttonFrame_);
        b->setObjectName(QStringLiteral("Command3(%1)").arg(i));
        if (kViewButtons[i].tip != nullptr)
            b->setToolTip(QString::fromUtf16(kViewButtons[i].tip));
        b->setGeometry(px(60 + kViewButtonPitch * i), px(120), px(kViewButtonWidth), px(375));
        connect(b, &QPushButton::clicked, this, [this, i] { selectView(i + 1); });
        viewButton_[static_cast<std::size_t>(i)] = b;
    }
    channelSwitch_ = new QPushButton(channelCaption(0), buttonFrame_);
    channelSwitch_->setObjectName(QStringLiteral("Command4"));
    channelSwitch_->setToolTip(QStringLiteral("入力チャンネルを切り替えます。"));
    channelSwitch_->setGeometry(px(kChannelSwitchLeft), px(120), px(kChannelSwitchWidth), px(375));
    channelSwitch_->installEventFilter(this);

    startButton_ = new QPushButton(QStringLiteral("測定開始"), buttonFrame_);
    startButton_->setObjectName(QStringLiteral("Command2"));
    startButton_->setGeometry(px(8400), px(120), px(975), px(375));
    connect(startButton_, &QPushButton::clicked, this, [this] { startMeasurement(); });

    endButton_ = new QPushButton(QStringLiteral("測定終了"), buttonFrame_);
    endButton_->setObjectName(QStringLiteral("Command1"));
    endButton_->setToolTip(QStringLiteral("測定を強制的に終了します"));
    endButton_->setGeometry(px(8400), px(120), px(975), px(375));
    endButton_->hide();
    connect(endButton_, &QPushButton::clicked, this, [this] { endMeasurement(); });
}

void MeasurementScreen::load()
{
    // Sizing, transform tables, view 1 of feeder 1, and the gauge list with its wait when
    // the recorders print.
    loaded_ = flow_.load().ok();
    PrepareResultGrids(grids_, station_.settings.MaxHarmonicOrder);
    for (ResultGridModel* m : gridModel_)
        m->refresh();
    PlaceWindow(*this, QPoint(0, 0));
    if (station_.settings.LastFeeder == 0)
        channelSwitch_->hide();
    selectView(1);
    showSaving();
}

void MeasurementScreen::applyLayout(int outerHeightTwips, int outerWidthTwips)
{
    const int h = outerHeightTwips;
    const int w = outerWidthTwips;
    if (!(h > 2000 && w - 120 > 0))
        return;
    picture_->resize(px(w - 120), picture_->height());
    picture_->resize(picture_->width(), px(h - 1605));
    buttonFrame_->move(buttonFrame_->x(), px(h - 960));
    statusLabel_->move(statusLabel_->x(), px(h - 1250));
    for (QTableView* g : gridView_)
        g->resize(g->width(), px(h - 1725));
}

void MeasurementScreen::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    // The designed area keeps its layout rule; the notice strip takes the bottom.
    const int designed = std::max(height() - RunNoticePanel::kHeight, 0);
    applyLayout(twips(designed) + kFrameHeight, twips(width()) + kFrameWidth);
    notices_->setGeometry(0, designed, width(), height() - designed);
    placeStaleMark();
}

void MeasurementScreen::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // The run starts as soon as the screen is shown, whether or not the window system makes
    // it the active window.
    queueActivation();
}

void MeasurementScreen::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && isActiveWindow())
        queueActivation();
}

void MeasurementScreen::queueActivation()
{
    // Activation runs the measurement, which returns only at its end: it is started from the
    // event loop rather than inside the event that announced the activation.
    if (activationQueued_ || startButton_->isHidden())
        return;
    activationQueued_ = true;
    QTimer::singleShot(0, this, [this] {
        activationQueued_ = false;
        activate();
    });
}

void MeasurementScreen::activate()
{
    if (!startButton_->isHidden())
        startMeasurement();
}

void MeasurementScreen::startMeasurement()
{
    if (startButton_->isHidden())
        return;
    endButton_->show();
    startButton_->hide();
    // A measurement that could not be loaded does not start (the operator was told at load).
    if (!loaded_)
        return;
    RunLoopHooks hooks;
    hooks.stopRequested = [this] { return endRequested_; };
    running_ = true;
    showSaving();
    runStatus_ = flow_.start(hooks);
    running_ = false;
    if (!flow_.notStartedReason().isEmpty() && runNotStarted_) {
        runNotStarted_(flow_.notStartedReason());
        return;
    }
    // The end time ends the program. A run stopped by an error leaves the screen with its end
    // button, so that the operator can see what happened.
    if (endRequested_ || stoppedByError(runStatus_) ||
        station_.settings.EndDateTime > station_.clock.now())
        return;
    if (runStatus_ == RunEndedIncomplete) {
        // A run that lost records does not end as if it were complete: the operator reads
        // which save times have no record before the program ends.
        const QString account = RunAccountText(flow_.measurement().State());
        status(RunStatus::trouble(account.section(QStringLiteral("\r\n"), 0, 0)));
        message(kRunIncompleteText + QStringLiteral("\r\n") + account, MessageSeverity::error());
        endProgram(RunExitStatus(runStatus_));
        return;
    }
    endProgram(0);
}

void MeasurementScreen::endMeasurement()
{
    endRequested_ = true;
    flow_.end();
    // A run stopped by an error does not end the program as if it had gone well.
    endProgram(stoppedByError(runStatus_) ? RunExitStatus(runStatus_) : 0);
}

void MeasurementScreen::endProgram(int code)
{
    if (endProgram_) {
        endProgram_(code);
        return;
    }
    std::fflush(nullptr);
    std::_Exit(code);
}

void MeasurementScreen::selectView(int view)
{
    if (view < 1 || view > 9)
        return;
    flow_.measurement().State().CurrentView = static_cast<std::int16_t>(view);
    for (QPushButton* b : viewButton_) {
        setBold(b, false);
        b->setDefault(false);
    }
    QPushButton* pressed = viewButton_[static_cast<std::size_t>(view - 1)];
    pressed->setDefault(true);
    setBold(pressed, true);
    if (DataExist())
        DrawResults(view);
}

void MeasurementScreen::pressChannelSwitch(int xTwips)
{
    const int last = std::clamp<int>(station_.settings.LastFeeder, 0, 8);
    std::int16_t& channel = flow_.measurement().State().CurrentChannel;
    int next = std::clamp<int>(channel, 0, last);
    if (xTwips > kChannelSwitchSplit)
        next = (next + 1) % (last + 1);
    else
        next = next == 0 ? last : next - 1;
    channel = static_cast<std::int16_t>(next);
    channelSwitch_->setText(channelCaption(next));
    if (DataExist())
        DrawResults(CurrentView());
}

bool MeasurementScreen::eventFilter(QObject* watched, QEvent* event)
{
    // The channel switch answers the press itself, of any mouse button (a quick second press
    // arrives as a double click).
    if (watched == channelSwitch_ && (event->type() == QEvent::MouseButtonPress ||
                                      event->type() == QEvent::MouseButtonDblClick)) {
        const auto* mouse = static_cast<QMouseEvent*>(event);
        pressChannelSwitch(static_cast<int>(std::lround(mouse->position().x() * kTwipsPerPixel)));
    }
    return QWidget::eventFilter(watched, event);
}

void MeasurementScreen::keyPressEvent(QKeyEvent* event)
{
    // Enter presses the default button, the view button pressed last.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        for (QPushButton* b : viewButton_)
            if (b->isDefault()) {
                b->click();
                return;
            }
    }
    QWidget::keyPressEvent(event);
}

void MeasurementScreen::closeEvent(QCloseEvent* event)
{
    // Closing the window would leave the run going on unseen, with no way to end it: during a
    // run the window stays, and the end button ends it. Otherwise closing is the end button.
    if (running_ && !endRequested_) {
        event->ignore();
        return;
    }
    event->accept();
    if (!endRequested_)
        endMeasurement();
}

bool MeasurementScreen::DataExist() const
{
    if (!lastShot_)
        return false;
    const std::vector<float>& v = lastShot_->Data.VoltByOrder;
    return v.size() > 1 && v[1] > 0.0f;
}

void MeasurementScreen::DrawResults(int view)
{
    if (!lastShot_)
        return;
    const MeasurementSettings& settings = lastShot_->Settings;
    const MeasurementData& results = lastShot_->Data;
    const int channel = CurrentChannel();
    picture_->setDrawing({});
    if (FillResultTables(grids_, view, settings, results, channel)) {
        for (std::size_t g = 0; g < 2; ++g) {
            gridModel_[g]->refresh();
            QHeaderView* header = gridView_[g]->horizontalHeader();
            for (int c = 0; c < grids_[g].columnCount(); ++c)
                header->resizeSection(c, px(grids_[g].columnWidth(c)));
        }
        showGrids(true);
        return;
    }
    showGrids(false);
    RecordingCanvas canvas(QSizeF(640, 360));
    DrawPictureView(canvas, view, settings, results, channel);
    picture_->setDrawing(canvas.ops());
}

void MeasurementScreen::showGrids(bool shown)
{
    for (QTableView* g : gridView_)
        g->setVisible(shown);
}

// ---- What the engine reports ---------------------------------------------------------------

void MeasurementScreen::showStatus(const QString& text)
{
    statusLabel_->setText(text);
    statusLabel_->adjustSize();
    emit statusTextChanged(text);
}

void MeasurementScreen::showMessage(const QString& text, const MessageSeverity& severity)
{
    showMessageBox(this, showMessage_, text, severity);
}

void MeasurementScreen::status(const RunStatus& status)
{
    showStatus(status.text);
    if (tap_)
        tap_->status(status);
}

// An event of the run shows in the summary line, the status line or a message box; an analysed
// shot becomes the snapshot the views draw from, and the current view is drawn from it.
void MeasurementScreen::runEvent(const RunEvent& event)
{
    // The listener hears of it before a message box waits for the operator.
    if (tap_)
        tap_->runEvent(event);
    switch (event.display()) {
    case RunEventDisplay::Summary:
        summaryLabel_->setText(event.text);
        emit summaryTextChanged(event.text);
        break;
    case RunEventDisplay::Notice:
    case RunEventDisplay::Status:
        showStatus(event.text);
        break;
    case RunEventDisplay::Message:
        showMessage(event.text, event.severity);
        break;
    case RunEventDisplay::None:
        break;
    }
    if (const QString line = event.noticeLine(station_.clock.now()); !line.isEmpty())
        notices_->addNotice(line, isTrouble(event));
    if (event.is<run::LinkLost>())
        markStale(kStaleLinkLostText);
    else if (event.is<run::Stalled>())
        markStale(kStaleShotsFailingText);
    else if (event.is<run::RunEnded>())
        runEnded_ = true;
    if (const auto* shot = event.as<run::ShotAnalysed>()) {
        lastShot_ = shot->snapshot;
        clearStale();
        DrawResults(CurrentView());
    }
    showSaving();
    emit runEventReported(event);
}

void MeasurementScreen::message(const QString& text, const MessageSeverity& severity)
{
    if (tap_)
        tap_->message(text, severity);
    notices_->addNotice(messageLine(station_.clock.now(), text, severity), true);
    showMessage(text, severity);
}

// ---- Saving and stale views ----------------------------------------------------------------

void MeasurementScreen::showSaving()
{
    notices_->showSaving(SavingText(station_.settings, flow_.measurement().State(),
                                    station_.clock.now(), flow_.measurement().Started(),
                                    runEnded_));
}

void MeasurementScreen::markStale(const QString& why)
{
    stale_ = true;
    const QString shown =
        lastShot_
            ? kStaleShotText.arg(lastShot_->Time.toString(QStringLiteral("yyyy/MM/dd HH:mm:ss")))
            : kStaleNoShotText;
    staleMark_->setText(why + shown);
    greyViews(true);
    placeStaleMark();
    staleMark_->show();
    staleMark_->raise();
}

void MeasurementScreen::clearStale()
{
    if (!stale_)
        return;
    stale_ = false;
    staleMark_->hide();
    greyViews(false);
}

void MeasurementScreen::greyViews(bool grey)
{
    const QPalette normal = QApplication::palette();
    for (ResultGridModel* m : gridModel_)
        m->setGreyed(grey);
    QPalette summary = summaryLabel_->palette();
    summary.setColor(QPalette::WindowText, grey ? kStaleGrey : normal.color(QPalette::WindowText));
    summaryLabel_->setPalette(summary);
    picture_->setDimmed(grey);
}

// Along the bottom edge of the views, over the grids' last rows.
void MeasurementScreen::placeStaleMark()
{
    if (!staleMark_ || !picture_)
        return;
    const QRect views = picture_->geometry();
    staleMark_->setGeometry(views.x(), views.bottom() + 1 - kStaleMarkHeight, views.width(),
                            kStaleMarkHeight);
}

} // namespace hs
