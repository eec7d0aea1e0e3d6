#pragma once

// Headless Chromium for the tests of the pages: its path, and a run with a fresh profile.

#include <QByteArray>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <unistd.h>

namespace webtest {

inline QString chromiumPath()
{
    for (const char* name : {"chromium", "chromium-browser"}) {
        const QString path = QStandardPaths::findExecutable(QString::fromLatin1(name));
        if (!path.isEmpty())
            return path;
    }
    return {};
}

// Runs headless Chromium with a fresh profile; its standard output, or a failure.
inline QByteArray runChromium(const QString& program, const QStringList& args,
                              const QString& profile, int* exitCode)
{
    QStringList all{QStringLiteral("--headless"),
                    QStringLiteral("--disable-gpu"),
                    QStringLiteral("--disable-background-networking"),
                    QStringLiteral("--disable-component-update"),
                    QStringLiteral("--disable-sync"),
                    QStringLiteral("--no-first-run"),
                    QStringLiteral("--user-data-dir=") + profile};
    if (::getuid() == 0)
        all << QStringLiteral("--no-sandbox");
    QProcess chromium;
    chromium.start(program, all + args);
    if (!chromium.waitForFinished(90000)) {
        chromium.kill();
        chromium.waitForFinished(5000);
        *exitCode = -1;
        return {};
    }
    *exitCode = chromium.exitStatus() == QProcess::NormalExit ? chromium.exitCode() : -1;
    return chromium.readAllStandardOutput();
}

} // namespace webtest
