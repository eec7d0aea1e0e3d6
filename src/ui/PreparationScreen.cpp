#include "ui/PreparationScreen.h"
#include "ui/WindowPlacement.h"

#include "model/EngineObserver.h"
#include "render/Canvas.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QShowEvent>
#include <QTimer>

#include <cmath>

namespace hs {

namespace {

constexpr double kTwipsPerPixel = 15.0;

QRect twips(int left, int top, int width, int height)
{
    const auto px = [](int t) { return static_cast<int>(std::lround(t / kTwipsPerPixel)); };
    return {px(left), px(top), px(width), px(height)};
}

// Where the controls sit in the result geometry (twips, inside the screen).
const QRect kTitleRect = twips(240, 90, 2600, 300);
const QRect kFrequencyRect = twips(3000, 90, 3600, 300);
const QRect kPictureRect =
    twips(90, 420, static_cast<int>(kWiringPictureWidth), static_cast<int>(kWiringPictureHeight));
const QRect kInputsRect = twips(240, 4290, 5500, 2130);
const QRect kOkRect = twips(5880, 4950, 1440, 450);
const QRect kCancelRect = twips(5880, 5640, 1440, 450);
const QRect kConfiguringLabelRect = twips(0, 0, 4200, 1500);

constexpr int kInputsFontPixels = 13;
constexpr int kSmallestFontPixels = 8;
constexpr int kPictureFontPixels = 12;

// The label's lines end in carriage returns; the widget breaks lines at line feeds.
QString labelText(const QString& text)
{
    QString out = text;
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return out;
}

// The largest font, up to the label's own size, at which all lines fit (nine feeders give
// eleven lines).
void fitFont(QLabel* label)
{
    QFont font = label->font();
    for (int px = kInputsFontPixels; px >= kSmallestFontPixels; --px) {
        font.setPixelSize(px);
        const QRect need = QFontMetrics(font).boundingRect(
            QRect(0, 0, label->width(), 100000), Qt::AlignLeft | Qt::TextWordWrap, label->text());
        if (need.height() <= label->height())
            break;
    }
    label->setFont(font);
}

} // namespace

// Routes the preparation's status texts to Label1 and its messages to the message function.
class PreparationScreen::Observer : public EngineObserver {
public:
    explicit Observer(PreparationScreen& screen) : screen_(screen) {}
    void status(const RunStatus& status) override
    {
        screen_.configuringLabel_->setText(status.text);
    }
    void message(const QString& text, const MessageSeverity& severity) override
    {
        screen_.lastMessage_ = text;
        screen_.message(text, severity);
    }

private:
    PreparationScreen& screen_;
};

// Picture1: clears itself and asks the diagram code to paint; mouse presses do nothing.
class PreparationScreen::Picture : public QWidget {
public:
    Picture(const PreparationScreen& screen, QWidget* parent) : QWidget(parent), screen_(screen) {}

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter painter(this);
        PainterCanvas canvas(painter, wiringPictureSize(), QSizeF(size()), kPictureFontPixels);
        canvas.clear();
        if (screen_.phase() == Phase::Confirm || screen_.phase() == Phase::Cancelling)
            DrawWiringDiagram(canvas, screen_.diagramInput());
    }
    void mousePressEvent(QMouseEvent*) override {}

private:
    const PreparationScreen& screen_;
};

PreparationScreen::PreparationScreen(Station& station, QWidget* parent)
    : QDialog(parent), station_(station), observer_(std::make_unique<Observer>(*this)),
      flow_(station, *observer_)
{
    setObjectName(QStringLiteral("Form02"));
    setWindowTitle(caption());
    setModal(true);
    buildControls();
    showConfiguring();
}

PreparationScreen::~PreparationScreen() = default;

QRect PreparationScreen::configuringGeometry()
{
    return twips(3330, 2500, 4200, 1500);
}

QRect PreparationScreen::resultGeometry()
{
    return twips(1000, 800, 7500, 6500);
}

void PreparationScreen::placeAt(const QRect& geometry)
{
    resize(geometry.size());
    PlaceWindow(*this, geometry.topLeft());
}

void PreparationScreen::buildControls()
{
    const auto label = [this](const QString& name, const QString& text, const QRect& rect) {
        auto* l = new QLabel(text, this);
        l->setObjectName(name);
        l->setGeometry(rect);
        return l;
    };
    configuringLabel_ = label(QStringLiteral("Label1"), kConfiguringText, kConfiguringLabelRect);
    configuringLabel_->setAlignment(Qt::AlignCenter);
    configuringLabel_->setWordWrap(true);
    titleLabel_ = label(QStringLiteral("Label3"), kDiagramTitle, kTitleRect);
    frequencyLabel_ = label(QStringLiteral("Label4"), kFrequencyCaption, kFrequencyRect);
    inputsLabel_ = label(QStringLiteral("Label2"), QString(), kInputsRect);
    inputsLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    inputsLabel_->setWordWrap(true);

    picture_ = new Picture(*this, this);
    picture_->setObjectName(QStringLiteral("Picture1"));
    picture_->setGeometry(kPictureRect);

    const QString captions[2] = {QStringLiteral("キャンセル"), QStringLiteral("ＯＫ")};
    const QRect rects[2] = {kCancelRect, kOkRect};
    for (int i = 0; i < 2; ++i) {
        buttons_[i] = new QPushButton(captions[i], this);
        buttons_[i]->setObjectName(QStringLiteral("Command1(%1)").arg(i));
        buttons_[i]->setGeometry(rects[i]);
        buttons_[i]->setAutoDefault(false);
    }
    connect(buttons_[1], &QPushButton::clicked, this, [this] { confirm(); });
    connect(buttons_[0], &QPushButton::clicked, this, [this] { cancel(); });
}

void PreparationScreen::message(const QString& text, const MessageSeverity& severity)
{
    showMessageBox(this, showMessage_, text, severity);
}

void PreparationScreen::setBusyPointer(bool busy)
{
    for (QWidget* w : {static_cast<QWidget*>(this), parentWidget()}) {
        if (!w)
            continue;
        if (busy)
            w->setCursor(Qt::WaitCursor);
        else
            w->unsetCursor();
    }
}

// The small screen that says the recorders are being set up: only Label1.
void PreparationScreen::showConfiguring()
{
    placeAt(configuringGeometry());
    picture_->hide();
    for (QWidget* w : {static_cast<QWidget*>(titleLabel_), static_cast<QWidget*>(frequencyLabel_),
                       static_cast<QWidget*>(inputsLabel_), static_cast<QWidget*>(buttons_[0]),
                       static_cast<QWidget*>(buttons_[1])})
        w->hide();
    configuringLabel_->show();
}

void PreparationScreen::showResult()
{
    placeAt(resultGeometry());
    configuringLabel_->hide();
    for (QWidget* w : {static_cast<QWidget*>(titleLabel_), static_cast<QWidget*>(frequencyLabel_),
                       static_cast<QWidget*>(inputsLabel_), static_cast<QWidget*>(buttons_[0]),
                       static_cast<QWidget*>(buttons_[1]), static_cast<QWidget*>(picture_)})
        w->show();
    for (QPushButton* b : buttons_)
        b->setEnabled(true);
    fitFont(inputsLabel_);
    picture_->update();
}

// The preparation gave up: what failed stays on the screen and only キャンセル is offered, which
// takes the operator back to the settings screen.
void PreparationScreen::showFailure()
{
    inputsLabel_->setText(lastMessage_.isEmpty() ? kCheckShotFailedText : lastMessage_);
    frequencyLabel_->setText(kFrequencyCaption);
    showResult();
    // No diagram and no frequency to title.
    for (QWidget* w : {static_cast<QWidget*>(picture_), static_cast<QWidget*>(titleLabel_),
                       static_cast<QWidget*>(frequencyLabel_)})
        w->hide();
    buttons_[1]->setEnabled(false);
    buttons_[0]->setFocus();
}

void PreparationScreen::showEvent(QShowEvent* event)
{
    QDialog::showEvent(event);
    // Activation runs the preparation once per opening (not when the window is merely restored).
    if (!event->spontaneous() && phase_ == Phase::Idle) {
        phase_ = Phase::Busy;
        QTimer::singleShot(0, this, [this] { runPreparation(); });
    }
}

void PreparationScreen::runPreparation()
{
    phase_ = Phase::Busy;
    lastMessage_.clear();
    configuringLabel_->setText(kConfiguringText);
    showConfiguring();
    setBusyPointer(true);

    PreparationHooks hooks;
    hooks.shotStarted = [this] {
        if (!isVisible())
            show();
        showConfiguring();
        setBusyPointer(true);
    };
    const Result<PreparationResult> prepared = flow_.prepare(hooks);
    result_ = prepared ? *prepared : PreparationResult{};
    status_ = prepared ? PreparationOk : prepared.error().code;

    if (status_ == PreparationOk) {
        const MeasurementSettings& s = station_.settings;
        diagram_ =
            wiringDiagramInput(result_, s.MeasureType(), station_.data.ElementLast, s.LastFeeder);
        frequencyLabel_->setText(result_.FrequencyText);
        inputsLabel_->setText(labelText(result_.InputText));
        phase_ = Phase::Confirm;
        showResult();
        buttons_[1]->setFocus();
    } else {
        phase_ = Phase::Failed;
        showFailure();
    }
    setBusyPointer(false);
}

void PreparationScreen::confirm()
{
    if (phase_ != Phase::Confirm)
        return;
    flow_.acceptWiring();
    closeScreen(QDialog::Accepted);
}

void PreparationScreen::cancel()
{
    if (phase_ != Phase::Confirm && phase_ != Phase::Failed)
        return;
    phase_ = Phase::Cancelling;
    for (QPushButton* b : buttons_)
        b->setEnabled(false);
    flow_.rejectWiring();
    closeScreen(QDialog::Rejected);
}

void PreparationScreen::closeScreen(int code)
{
    phase_ = Phase::Idle;
    setBusyPointer(false);
    // Back to the configuring look before hiding, so that the next opening starts from it.
    showConfiguring();
    done(code);
}

void PreparationScreen::reject()
{
    cancel();
}

void PreparationScreen::closeEvent(QCloseEvent* event)
{
    // The close button answers like キャンセル; while the recorders are being set up it waits.
    event->ignore();
    cancel();
}

} // namespace hs
