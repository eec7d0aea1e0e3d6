#include "ui/PreparationScreen.h"

#include "common/Numbers.h"
#include "render/Canvas.h"
#include "recorder/ConnectionSetup.h"
#include "model/SettingsRules.h"
#include "sim/SimServer.h"

#include <QHostAddress>
#include <QLabel>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace hs {
namespace {

// The screen's frame at the design position, its client area of the design size.
bool placedAt(const QWidget& screen, const QRect& design)
{
    return screen.frameGeometry().topLeft() == design.topLeft() && screen.size() == design.size();
}

// The desktop station connected to one simulated recorder of the default scenario.
class ScreenSim {
public:
    explicit ScreenSim(double timeScale, sim::Scenario sc = sim::Scenario::defaultScenario())
        : scenario(std::move(sc)), station(timeScale)
    {
        sim = std::make_unique<sim::SimServer>(station.clock, scenario, 1);
        QString error;
        listening = sim->listen(0, QHostAddress::LocalHost, 0, &error);
        EXPECT_TRUE(listening) << qPrintable(error);
    }

    bool connect(int feeders, int measureType)
    {
        if (!listening)
            return false;
        ConnectionRequest request;
        request.addresses[0] = QStringLiteral("127.0.0.1");
        request.ports[0] = QString::number(sim->port(0));
        request.recorderCount = 1;
        NullObserver observer;
        ConnectionSetup setup(station.recorders, observer);
        if (setup.initialise(request) != ConnectionStatus::Ok)
            return false;
        station.clock.waitUntil(
            [&] { return !lines().isEmpty() && lines().last().startsWith(u":SYST:TIME"); }, 5000);
        station.settings.MeasureType() = static_cast<std::int16_t>(measureType);
        buildFeederChannelMap(station.settings, station.facts, feeders);
        station.settings.LastFeeder = static_cast<std::int16_t>(feeders - 1);
        sim->recorder(0).clearLog();
        return true;
    }

    QStringList lines() const { return sim->recorder(0).commandLines(); }

    // Runs the screen modally; `answer` runs once the screen waits for the operator (or gave up).
    int exec(PreparationScreen& screen, const std::function<void()>& answer)
    {
        QTimer poll;
        poll.setInterval(5);
        QObject::connect(&poll, &QTimer::timeout, [&] {
            using Phase = PreparationScreen::Phase;
            if (screen.phase() == Phase::Confirm || screen.phase() == Phase::Failed) {
                poll.stop();
                answer();
            }
        });
        poll.start();
        return screen.exec();
    }

    sim::Scenario scenario;
    Station station;
    std::unique_ptr<sim::SimServer> sim;
    bool listening = false;
};

template <typename T> T* child(QWidget& w, const char* name)
{
    T* c = w.findChild<T*>(QString::fromLatin1(name));
    EXPECT_NE(c, nullptr) << name;
    return c;
}

// RMS of a scenario quantity with its harmonics (the noise is far below the tolerance).
double scenarioRms(const sim::Scenario& sc, const QString& name)
{
    for (const sim::Quantity& q : sc.quantities) {
        if (q.name != name)
            continue;
        double sum = 1.0;
        for (const sim::Harmonic& h : q.harmonics)
            sum += h.ratio * h.ratio;
        return q.rms * std::sqrt(sum);
    }
    ADD_FAILURE() << qPrintable(name);
    return 0.0;
}

double valueAfter(const QString& text, const QString& key)
{
    const qsizetype at = text.indexOf(key);
    EXPECT_GE(at, 0) << qPrintable(key);
    return readNumber(QStringView(text).mid(at + key.size()));
}

// Three feeders of the default scenario on the three-phase three-wire type: configuration in
// order, busy pointers, frequency, primary values, the diagram's rotation, and ＯＫ.
TEST(PreparationScreen, ConfirmedWiringOfTheDefaultScenario)
{
    ScreenSim st(0.01);
    ASSERT_TRUE(st.connect(3, 2));
    QWidget settingsScreen;
    settingsScreen.setCursor(Qt::WaitCursor); // as the settings screen's start button leaves it
    PreparationScreen screen(st.station, &settingsScreen);
    std::vector<std::pair<QString, QString>> messages;
    screen.setMessageFunction(
        [&](const QString& t, const QString& h) { messages.emplace_back(t, h); });
    EXPECT_EQ(screen.objectName(), QStringLiteral("Form02"));
    EXPECT_EQ(screen.windowTitle(), QStringLiteral("測定器の設定"));
    EXPECT_EQ(screen.geometry(), QRect(222, 167, 280, 100));

    // While busy: both pointers busy, only Label1 visible, and Escape does not close the screen.
    int busySamples = 0, busyPointerSamples = 0;
    bool rejectedWhileBusy = false;
    QTimer sampler;
    sampler.setInterval(3);
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (screen.phase() != PreparationScreen::Phase::Busy || !screen.isVisible())
            return;
        ++busySamples;
        if (screen.cursor().shape() == Qt::WaitCursor &&
            settingsScreen.cursor().shape() == Qt::WaitCursor &&
            child<QLabel>(screen, "Label1")->isVisible() &&
            !child<QWidget>(screen, "Picture1")->isVisible() &&
            placedAt(screen, PreparationScreen::configuringGeometry()))
            ++busyPointerSamples;
        if (!rejectedWhileBusy) {
            rejectedWhileBusy = true;
            screen.reject();
        }
    });
    sampler.start();

    QString inputs, frequency;
    const int code = st.exec(screen, [&] {
        EXPECT_TRUE(placedAt(screen, QRect(67, 53, 500, 433)));
        EXPECT_TRUE(child<QWidget>(screen, "Picture1")->isVisible());
        EXPECT_FALSE(child<QLabel>(screen, "Label1")->isVisible());
        EXPECT_EQ(child<QLabel>(screen, "Label3")->text(), QStringLiteral("基本波ベクトル"));
        EXPECT_EQ(screen.cursor().shape(), Qt::ArrowCursor);
        EXPECT_EQ(child<QPushButton>(screen, "Command1(0)")->text(), QStringLiteral("キャンセル"));
        inputs = child<QLabel>(screen, "Label2")->text();
        frequency = child<QLabel>(screen, "Label4")->text();
        if (const char* out = std::getenv("HS_PREPARATION_SHOT"))
            screen.grab().save(QString::fromLocal8Bit(out));
        child<QPushButton>(screen, "Command1(1)")->click();
    });
    sampler.stop();

    EXPECT_EQ(code, QDialog::Accepted);
    EXPECT_TRUE(st.station.settings.StartConfirmed);
    EXPECT_EQ(screen.preparationStatus(), PreparationOk);
    EXPECT_TRUE(messages.empty());
    EXPECT_GT(busySamples, 0);
    EXPECT_EQ(busyPointerSamples, busySamples);
    // Closed: hidden, pointers normal, back to the configuring look for the next opening.
    EXPECT_FALSE(screen.isVisible());
    EXPECT_EQ(settingsScreen.cursor().shape(), Qt::ArrowCursor);
    EXPECT_TRUE(placedAt(screen, PreparationScreen::configuringGeometry()));
    EXPECT_FALSE(child<QWidget>(screen, "Picture1")->isVisibleTo(&screen));
    EXPECT_TRUE(child<QLabel>(screen, "Label1")->isVisibleTo(&screen));

    // The configuration in its order, then the check shot.
    const QStringList log = st.lines();
    qsizetype last = -1;
    for (const char* line :
         {":ABORT", ":HEAD OFF", ":DISP:DRAW CH 1,C2", ":DISP:DRAW CH 8,C1",
          ":CONF:TDIV +500E-6;SHOT 100;FORM QUAD;:DISP:XMAG X1_5", ":UNIT:POSI CH 8,50",
          ":DISP:GRAP CH 8, 4", ":TRIG:LEVE CH 1,0 ;SLOP CH 1,UP", ":UNIT:ADJUST", ":STAR"}) {
        const qsizetype at = log.indexOf(QString::fromLatin1(line), last + 1);
        EXPECT_GT(at, last) << line;
        last = std::max(last, at);
    }
    EXPECT_FALSE(log.contains(QStringLiteral(":DISP:CHAN DISP;:FUNM MEM;:CONF:TDIV 5E-4;SHOT 50")));

    // Label4: 50.02 Hz from one period of 200 kHz samples.
    ASSERT_TRUE(frequency.startsWith(QStringLiteral("基本波周波数 "))) << qPrintable(frequency);
    ASSERT_TRUE(frequency.endsWith(QStringLiteral("Hz")));
    EXPECT_NEAR(valueAfter(frequency, QStringLiteral(" ")), 50.02, 0.03);

    // Label2: primary volts and amperes (PT 60 and CT / sensor 1 / 0.1 undo the wiring gains).
    const QStringList rows = inputs.split(QLatin1Char('\n'));
    ASSERT_EQ(rows.size(), 5) << qPrintable(inputs);
    EXPECT_EQ(rows[4], QStringLiteral("結線はこのままでよいですか"));
    const double volts = scenarioRms(st.scenario, QStringLiteral("V R-S"));
    EXPECT_NEAR(valueAfter(rows[0], QStringLiteral("Vr-s=")), volts, volts * 0.005);
    EXPECT_NEAR(valueAfter(rows[0], QStringLiteral("Vt-s=")), volts, volts * 0.005);
    for (int f = 1; f <= 3; ++f) {
        const QString row = rows[f];
        EXPECT_TRUE(row.startsWith(QStringLiteral("入力電流,I%1r= ").arg(f))) << qPrintable(row);
        for (const char* phase : {"R", "T"}) {
            const double amps =
                scenarioRms(st.scenario, QStringLiteral("F%1 I %2").arg(f).arg(phase));
            const QString key =
                QStringLiteral("I%1%2=").arg(f).arg(QString::fromLatin1(phase).toLower());
            EXPECT_NEAR(valueAfter(row, key), amps, amps * 0.005) << qPrintable(row);
        }
    }
    // T-S leads R-S: the diagram is turned by 60 degrees, and every vector points where the
    // scenario's phase (against R-S) plus those 60 degrees says.
    EXPECT_DOUBLE_EQ(screen.diagramInput().Rho, 1.05);
    EXPECT_EQ(screen.diagramInput().LastFeeder, 2);
    RecordingCanvas canvas(wiringPictureSize());
    DrawWiringDiagram(canvas, screen.diagramInput());
    const auto phaseOf = [&](const QString& name) {
        for (const sim::Quantity& q : st.scenario.quantities)
            if (q.name == name)
                return q.phaseDeg;
        ADD_FAILURE() << qPrintable(name);
        return 0.0;
    };
    const struct {
        int colour;
        QString quantity;
    } vectors[] = {{palette::LightGreen, QStringLiteral("V R-S")},
                   {palette::LightRed, QStringLiteral("V T-S")},
                   {palette::LightCyan, QStringLiteral("F%1 I R")},
                   {palette::LightMagenta, QStringLiteral("F%1 I T")}};
    for (const auto& v : vectors) {
        std::vector<CanvasOp> shafts;
        for (const CanvasOp& op : canvas.ofKind(CanvasOp::Line))
            if (op.colour == PaletteColour(v.colour) && op.style == LineStyle::Solid &&
                QLineF(op.a, op.b).length() > 50.5)
                shafts.push_back(op);
        ASSERT_EQ(shafts.size(), 3u) << qPrintable(v.quantity);
        for (int f = 0; f < 3; ++f) {
            const QString name = v.quantity.contains(u'%') ? v.quantity.arg(f + 1) : v.quantity;
            const QPointF a = shafts[static_cast<std::size_t>(f)].a;
            const QPointF b = shafts[static_cast<std::size_t>(f)].b;
            const double drawn = std::atan2(a.y() - b.y(), b.x() - a.x()) * 180 / 3.14159265;
            const double want = phaseOf(name) - phaseOf(QStringLiteral("V R-S")) + 60.0;
            EXPECT_LT(std::abs(std::remainder(drawn - want, 360.0)), 3.0)
                << qPrintable(name) << " drawn at " << drawn << ", expected " << want;
        }
    }
}

// キャンセル: the idle set-up after 3 s (nominal), no start, pointers normal.
TEST(PreparationScreen, CancelSendsTheRecordersBackToIdle)
{
    ScreenSim st(0.01);
    ASSERT_TRUE(st.connect(1, 2));
    QWidget settingsScreen;
    PreparationScreen screen(st.station, &settingsScreen);
    screen.setMessageFunction([](const QString&, const QString&) {});
    qint64 waitedMs = -1;
    qsizetype linesBefore = 0;
    const int code = st.exec(screen, [&] {
        linesBefore = st.lines().size();
        const QDateTime pressed = st.station.clock.now();
        child<QPushButton>(screen, "Command1(0)")->click();
        waitedMs = pressed.msecsTo(st.station.clock.now());
    });
    EXPECT_EQ(code, QDialog::Rejected);
    EXPECT_FALSE(st.station.settings.StartConfirmed);
    EXPECT_GE(waitedMs, 3000);
    st.station.clock.waitUntil([&] { return st.lines().size() >= linesBefore + 2; }, 5000);
    EXPECT_EQ(st.lines().mid(linesBefore),
              (QStringList{QStringLiteral(":DISP:CHAN DISP;:FUNM MEM;:CONF:TDIV 5E-4;SHOT 50"),
                           QStringLiteral(":HEAD OFF")}));
    EXPECT_FALSE(screen.isVisible());
    EXPECT_EQ(settingsScreen.cursor().shape(), Qt::ArrowCursor);
    EXPECT_TRUE(placedAt(screen, PreparationScreen::configuringGeometry()));

    // Opened again from the settings screen: configured afresh, and ＯＫ is offered again.
    st.sim->recorder(0).clearLog();
    EXPECT_EQ(st.exec(screen,
                      [&] {
                          EXPECT_EQ(screen.phase(), PreparationScreen::Phase::Confirm);
                          child<QPushButton>(screen, "Command1(1)")->click();
                      }),
              QDialog::Accepted);
    EXPECT_TRUE(st.station.settings.StartConfirmed);
    EXPECT_EQ(st.lines().value(0), QStringLiteral(":ABORT"));
}

// A feeder current that carries no signal: the label shows 0.0 for it and the diagram draws the
// rest, without NaN and without an arrow head on a vector of no length.
TEST(PreparationScreen, InputWithoutSignal)
{
    sim::Scenario sc = sim::Scenario::defaultScenario();
    sc.wiring.erase(
        std::remove_if(sc.wiring.begin(), sc.wiring.end(),
                       [](const sim::Wiring& w) { return w.quantity == QStringLiteral("F1 I T"); }),
        sc.wiring.end());
    ScreenSim st(0.01, sc);
    ASSERT_TRUE(st.connect(1, 2));
    PreparationScreen screen(st.station);
    screen.setMessageFunction([](const QString&, const QString&) {});
    QString inputs;
    st.exec(screen, [&] {
        inputs = child<QLabel>(screen, "Label2")->text();
        child<QPushButton>(screen, "Command1(1)")->click();
    });
    EXPECT_TRUE(inputs.contains(QStringLiteral(" ,I1t= 0.0A\n"))) << qPrintable(inputs);
    const double amps = scenarioRms(st.scenario, QStringLiteral("F1 I R"));
    EXPECT_NEAR(valueAfter(inputs, QStringLiteral("I1r=")), amps, amps * 0.005);

    RecordingCanvas canvas(wiringPictureSize());
    DrawWiringDiagram(canvas, screen.diagramInput());
    EXPECT_FALSE(canvas.hasNonFinite());
    const QPointF centre(3200, 3750 - 1866);
    int fromCentre = 0, headsAtCentre = 0;
    for (const CanvasOp& op : canvas.ofKind(CanvasOp::Line)) {
        fromCentre += op.a == centre && op.style == LineStyle::Solid;
        headsAtCentre += op.a == centre && std::abs(QLineF(op.a, op.b).length() - 50) < 1e-6;
    }
    EXPECT_EQ(fromCentre, 1); // the R current only
    EXPECT_EQ(headsAtCentre, 0);
}

// A recorder that never triggers: the check shot gives up after its bound with a message that
// says so, ＯＫ is not offered, and キャンセル goes back to the settings screen.
TEST(PreparationScreen, CheckShotThatNeverSucceedsEndsInAMessage)
{
    ScreenSim st(0.002);
    ASSERT_TRUE(st.connect(1, 2));
    sim::FaultPlan plan;
    plan.noTrigger = true;
    st.sim->recorder(0).setFaults(plan);
    QWidget settingsScreen;
    PreparationScreen screen(st.station, &settingsScreen);
    std::vector<std::pair<QString, QString>> messages;
    screen.setMessageFunction(
        [&](const QString& t, const QString& h) { messages.emplace_back(t, h); });
    const int code = st.exec(screen, [&] {
        EXPECT_EQ(screen.phase(), PreparationScreen::Phase::Failed);
        EXPECT_FALSE(child<QPushButton>(screen, "Command1(1)")->isEnabled());
        EXPECT_TRUE(child<QPushButton>(screen, "Command1(0)")->isEnabled());
        EXPECT_FALSE(child<QWidget>(screen, "Picture1")->isVisible());
        EXPECT_EQ(child<QLabel>(screen, "Label2")->text(), kCheckShotFailedText);
        EXPECT_EQ(screen.cursor().shape(), Qt::ArrowCursor);
        child<QPushButton>(screen, "Command1(1)")->click(); // disabled: nothing happens
        EXPECT_TRUE(screen.isVisible());
        child<QPushButton>(screen, "Command1(0)")->click();
    });
    EXPECT_EQ(code, QDialog::Rejected);
    EXPECT_FALSE(st.station.settings.StartConfirmed);
    EXPECT_EQ(screen.preparationStatus(), PreparationCheckShotFailed);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].first, kCheckShotFailedText);
    EXPECT_EQ(messages[0].second, QStringLiteral("エラー"));
    EXPECT_EQ(st.lines().count(QStringLiteral(":STAR")), kCheckShotAttempts);
    st.station.clock.waitUntil(
        [&] {
            return st.lines().contains(
                QStringLiteral(":DISP:CHAN DISP;:FUNM MEM;:CONF:TDIV 5E-4;SHOT 50"));
        },
        5000);
    EXPECT_TRUE(
        st.lines().contains(QStringLiteral(":DISP:CHAN DISP;:FUNM MEM;:CONF:TDIV 5E-4;SHOT 50")));
}

} // namespace
} // namespace hs
