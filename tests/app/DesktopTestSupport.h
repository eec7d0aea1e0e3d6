#pragma once

// The operator's hands on the desktop program's screens, for the tests that drive it: widgets
// found by their screen names, real clicks and key entry, and modal screens handled from
// inside their own loops (steps during a run: support/OperatorScript.h).

#include "sim/SimServer.h"
#include "support/SimulatedStation.h"

#include <QApplication>
#include <QHostAddress>
#include <QLineEdit>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <QWidget>

#include <gtest/gtest.h>

#include <functional>

namespace desktoptest {

template <typename T> T* child(const QWidget* root, const QString& name)
{
    T* found = root ? root->findChild<T*>(name) : nullptr;
    EXPECT_NE(found, nullptr) << qPrintable(name);
    return found;
}

// A click as the operator makes it: option buttons on their mark, other buttons in the middle.
inline void click(QWidget* target)
{
    ASSERT_NE(target, nullptr);
    ASSERT_TRUE(target->isVisible() && target->isEnabled()) << qPrintable(target->objectName());
    const QPoint at = qobject_cast<QRadioButton*>(target) ? QPoint(8, target->height() / 2)
                                                          : target->rect().center();
    QTest::mouseClick(target, Qt::LeftButton, {}, at);
}

// Click into a box, select what it holds, type the text.
inline void type(QLineEdit* box, const QString& text)
{
    ASSERT_NE(box, nullptr);
    box->setFocus(Qt::MouseFocusReason);
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(box, Qt::Key_Delete);
    QTest::keyClicks(box, text);
}

// Runs `act` on the modal screen named `name` once it is up and `ready` says so. Queued before
// the click that opens the screen; the polling timer then runs inside the screen's own loop.
inline void whenModal(const QString& name, std::function<bool(QWidget*)> ready,
                      std::function<void(QWidget*)> act)
{
    auto* poll = new QTimer;
    QObject::connect(poll, &QTimer::timeout, [=] {
        QWidget* modal = QApplication::activeModalWidget();
        if (modal == nullptr || modal->objectName() != name || !modal->isVisible() || !ready(modal))
            return;
        poll->stop();
        poll->deleteLater();
        act(modal);
    });
    poll->start(5);
}

using hs::testing::listenOnPortsEndingIn2;

} // namespace desktoptest
