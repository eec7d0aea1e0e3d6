#include "ui/RcComplementScreen.h"

#include "engine/Station.h"
#include "model/RcComplement.h"
#include "ui/SettingsScreen.h"

#include <QApplication>
#include <QCheckBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>
#include <utility>
#include <vector>

namespace {

class RcComplementScreenTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        screen = std::make_unique<hs::RcComplementScreen>(settings);
        screen->setMessageFunction(
            [this](const QString& text, const QString&) { messages.push_back(text); });
        screen->show();
        QApplication::setActiveWindow(screen.get());
        QApplication::processEvents();
    }

    template <typename T> T* w(const QString& name)
    {
        T* found = screen->findChild<T*>(name);
        EXPECT_NE(found, nullptr) << qPrintable(name);
        return found;
    }
    static QString at(const char* name, int i)
    {
        return QStringLiteral("%1(%2)").arg(QLatin1String(name)).arg(i);
    }
    void tick(const QString& name)
    {
        auto* box = w<QCheckBox>(name);
        QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    }
    void type(const QString& name, const QString& text)
    {
        auto* box = w<QLineEdit>(name);
        box->setFocus(Qt::MouseFocusReason);
        QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(box, Qt::Key_Delete);
        QTest::keyClicks(box, text);
        w<QCheckBox>(QStringLiteral("Check2(8)"))->setFocus(Qt::TabFocusReason);
    }

    hs::MeasurementSettings settings;
    std::unique_ptr<hs::RcComplementScreen> screen;
    std::vector<QString> messages;
};

TEST_F(RcComplementScreenTest, CaptionsTipsAndTheUntickedStart)
{
    EXPECT_EQ(screen->objectName(), QStringLiteral("Form04"));
    EXPECT_EQ(screen->windowTitle(), QStringLiteral("高次調波R-C入力補完設定"));
    EXPECT_EQ(w<QCheckBox>(QStringLiteral("Check1(0)"))->text(), QStringLiteral("電圧入力"));
    EXPECT_EQ(w<QCheckBox>(QStringLiteral("Check1(9)"))->text(), QStringLiteral("電流 9"));
    EXPECT_EQ(
        w<QCheckBox>(QStringLiteral("Check1(4)"))->toolTip(),
        QStringLiteral("含有量の少ない高次高調波を正確に計るためＲ－Ｃのフィルタと組み合わせて"
                       "測定する特にチェックします"));
    EXPECT_EQ(w<QCheckBox>(QStringLiteral("Check2(0)"))->text(), QStringLiteral("Ｖ電圧"));
    EXPECT_EQ(w<QCheckBox>(QStringLiteral("Check2(8)"))->toolTip(),
              QStringLiteral("電圧を測定するときにチェックします。"));
    EXPECT_EQ(w<QLabel>(QStringLiteral("Label3"))->text(), QStringLiteral("Ｒ"));
    EXPECT_EQ(w<QLabel>(QStringLiteral("Label4"))->text(), QStringLiteral("Ｃ"));
    EXPECT_EQ(w<QLabel>(QStringLiteral("Label5"))->text(), QStringLiteral("Ｖ結線電圧計算補完"));
    EXPECT_EQ(w<QPushButton>(QStringLiteral("Command1"))->text(), QStringLiteral("設定終了"));
    for (int row = 0; row < 10; ++row) {
        EXPECT_FALSE(w<QCheckBox>(at("Check1", row))->isChecked());
        EXPECT_EQ(w<QLineEdit>(at("Text1", row))->text(), QStringLiteral("1"));
        EXPECT_EQ(w<QLineEdit>(at("Text2", row))->text(), QStringLiteral("0.1"));
        EXPECT_FALSE(w<QLineEdit>(at("Text1", row))->isEnabled());
        EXPECT_FALSE(w<QLabel>(at("UnitC", row))->isEnabled());
    }
}

TEST_F(RcComplementScreenTest, ATickEnablesOnlyItsRowAndReachesTheSettings)
{
    tick(QStringLiteral("Check1(3)"));
    EXPECT_TRUE(settings.RcRows[3].ticked);
    for (const char* name : {"Text1", "Text2", "UnitR", "UnitC"}) {
        EXPECT_TRUE(w<QWidget>(at(name, 3))->isEnabled()) << name;
        EXPECT_FALSE(w<QWidget>(at(name, 2))->isEnabled()) << name;
        EXPECT_FALSE(w<QWidget>(at(name, 4))->isEnabled()) << name;
    }
    tick(QStringLiteral("Check1(3)"));
    EXPECT_FALSE(settings.RcRows[3].ticked);
    EXPECT_FALSE(w<QWidget>(at("Text2", 3))->isEnabled());

    tick(QStringLiteral("Check2(1)"));
    EXPECT_TRUE(settings.VConnection[1]);
    EXPECT_FALSE(settings.VConnection[0]);
}

TEST_F(RcComplementScreenTest, RAndCAreTakenAsTypedAndAZeroIsRefused)
{
    tick(QStringLiteral("Check1(0)"));
    type(QStringLiteral("Text1(0)"), QStringLiteral("2.2"));
    type(QStringLiteral("Text2(0)"), QStringLiteral("0.047"));
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(settings.RcRows[0].rText, QStringLiteral("2.2"));
    EXPECT_EQ(settings.RcRows[0].cText, QStringLiteral("0.047"));
    // The analysis takes these values: X = 1 / (1e-6 C w), F = sqrt((1e3 R)^2 + X^2) / (1e3 R).
    const double omega = 1256640.0 * 3 / 4000;
    const double x = 1.0 / (1e-6 * 0.047 * omega);
    EXPECT_NEAR(hs::rcComplementFactor(settings.RcRows[0], 3, 4000),
                std::sqrt(2200.0 * 2200.0 + x * x) / 2200.0, 1e-4);

    // A zero would divide by zero in the factor: refused when the box is left.
    type(QStringLiteral("Text2(0)"), QStringLiteral("0"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], hs::positiveNumberMessage());
    EXPECT_EQ(w<QLineEdit>(QStringLiteral("Text2(0)"))->text(), QStringLiteral("0.047"));
    EXPECT_EQ(settings.RcRows[0].cText, QStringLiteral("0.047"));
    // Not a number: refused at once.
    type(QStringLiteral("Text1(0)"), QStringLiteral("k"));
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1], QStringLiteral("数値を入力して下さい"));
    EXPECT_EQ(w<QLineEdit>(QStringLiteral("Text1(0)"))->text(), QStringLiteral("2.2"));
    EXPECT_EQ(settings.RcRows[0].rText, QStringLiteral("2.2"));
}

TEST_F(RcComplementScreenTest, SettingsFromAFileAreShown)
{
    settings.RcRows[5] = hs::RcRow{true, QStringLiteral("4.7"), QStringLiteral("0.01")};
    settings.VConnection[4] = true;
    screen->showSettings();
    EXPECT_TRUE(w<QCheckBox>(at("Check1", 5))->isChecked());
    EXPECT_EQ(w<QLineEdit>(at("Text1", 5))->text(), QStringLiteral("4.7"));
    EXPECT_TRUE(w<QLineEdit>(at("Text1", 5))->isEnabled());
    EXPECT_TRUE(w<QCheckBox>(at("Check2", 4))->isChecked());
}

// Double-clicking the 256-order option opens the screen modally; "設定終了" hides it, and the
// settings screen is activated again (its lock-out restarts).
TEST(RcComplementFromSettings, OpenedByDoubleClickAndClosedWithItsButton)
{
    hs::Station station(0.01);
    station.facts.UsableChannelTotal = 4;
    hs::SettingsScreen settingsScreen(station);
    settingsScreen.setMessageFunction([](const QString&, const QString&) {});
    settingsScreen.show();
    settingsScreen.activate();
    station.clock.waitUntil([&] { return !settingsScreen.lockOutRunning(); }, 20000);

    bool wasModal = false;
    QTimer::singleShot(0, [&] {
        auto* form = qobject_cast<hs::RcComplementScreen*>(QApplication::activeModalWidget());
        ASSERT_NE(form, nullptr);
        wasModal = form->isVisible() && form->isModal();
        auto* tickBox = form->findChild<QCheckBox*>(QStringLiteral("Check1(1)"));
        QTest::mouseClick(tickBox, Qt::LeftButton, {}, QPoint(8, tickBox->height() / 2));
        auto* close = form->findChild<QPushButton*>(QStringLiteral("Command1"));
        QTest::mouseClick(close, Qt::LeftButton);
    });
    auto* option = settingsScreen.findChild<QRadioButton*>(QStringLiteral("Option8(4)"));
    QTest::mouseDClick(option, Qt::LeftButton, {}, QPoint(8, option->height() / 2));

    EXPECT_TRUE(wasModal);
    ASSERT_NE(settingsScreen.rcComplementScreen(), nullptr);
    EXPECT_FALSE(settingsScreen.rcComplementScreen()->isVisible());
    EXPECT_TRUE(station.settings.RcRows[1].ticked);
    EXPECT_TRUE(option->isChecked());
    EXPECT_TRUE(settingsScreen.lockOutRunning()) << "activated again";
}

// With HS_SCREENSHOT_DIR set the picture is saved there (docs/rc-complement-screen.png).
TEST_F(RcComplementScreenTest, RendersOffscreen)
{
    tick(QStringLiteral("Check1(0)"));
    tick(QStringLiteral("Check1(2)"));
    tick(QStringLiteral("Check2(1)"));
    QApplication::processEvents();
    const QImage image = screen->grab().toImage();
    EXPECT_LE(image.width(), 1024);
    EXPECT_LE(image.height(), 768);
    const QString out = qEnvironmentVariable("HS_SCREENSHOT_DIR");
    if (!out.isEmpty()) {
        EXPECT_TRUE(image.save(out + QStringLiteral("/rc-complement-screen.png")));
    }
}

} // namespace
