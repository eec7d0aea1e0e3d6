#include <QApplication>

#include <gtest/gtest.h>

// Every test program runs inside a QApplication (offscreen platform, set by CTest) so that
// sockets, timers and widgets all work on the one thread, as in the station itself.
int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
