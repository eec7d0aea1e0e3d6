#include "ui/DesktopScreens.h"
#include "app/CollectCommand.h"
#include "app/ExportCommand.h"
#include "app/MeasureCommand.h"
#include "app/ReportCommand.h"
#include "app/SimulateCommand.h"
#include "app/Subcommands.h"

#include <QApplication>
#include <QDir>
#include <QGuiApplication>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

const std::vector<hs::Subcommand> kSubcommands = {
    {"measure", "one measurement without screens (unattended runs, the demo)",
     hs::runMeasureCommand},
    {"simulate", "simulated recorders on loopback addresses", hs::runSimulateCommand},
    {"export", "result and waveform files to CSV, JSON, COMTRADE or PNG", hs::runExportCommand},
    {"report", "result files against harmonic limits: HTML, PDF and CSV report",
     hs::runReportCommand},
    {"collect", "the fleet's published records into a database; the fleet page",
     hs::runCollectCommand},
};

void printUsage()
{
    std::printf("Usage: harmonic-station [SUBCOMMAND] [OPTIONS]\n\n"
                "Without a subcommand, opens the operator's desktop program on the connection "
                "screen.\n\nSubcommands:\n");
    for (const auto& s : kSubcommands)
        std::printf("  %-10s %s\n", s.name, s.summary);
    std::printf("\n`harmonic-station SUBCOMMAND --help` describes each one.\n\n%s",
                qPrintable(hs::desktopOptionsHelp()));
}

// Without a desktop session XDG_RUNTIME_DIR is unset and Qt warns on every start; a private
// folder under the temporary directory serves the offscreen platform as well.
void provideRuntimeDir()
{
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return;
    const QByteArray dir = QDir::tempPath().toLocal8Bit() + "/runtime-" +
                           QByteArray::number(static_cast<qulonglong>(::getuid()));
    if (::mkdir(dir.constData(), 0700) == 0 || errno == EEXIST)
        qputenv("XDG_RUNTIME_DIR", dir);
}

} // namespace

int main(int argc, char** argv)
{
    // A file-size limit (ulimit -f) would otherwise kill the program in the middle of a write,
    // without a word and with a torn record; ignored, the write fails with EFBIG and is handled
    // as every other failed write.
    std::signal(SIGXFSZ, SIG_IGN);
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        printUsage();
        return 0;
    }
    if (argc > 1 && argv[1][0] != '-') {
        for (const auto& s : kSubcommands) {
            if (std::strcmp(argv[1], s.name) != 0)
                continue;
            // Subcommands need no display; painting into images still works offscreen.
            if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
                qputenv("QT_QPA_PLATFORM", "offscreen");
            provideRuntimeDir();
            QGuiApplication app(argc, argv);
            QStringList args = QCoreApplication::arguments();
            args.erase(args.begin(), args.begin() + 2);
            return s.run(args);
        }
        std::fprintf(stderr, "harmonic-station: unknown subcommand '%s'\n\n", argv[1]);
        printUsage();
        return 2;
    }
    // The desktop program's options are checked before any window system is needed, so a
    // mistyped option gets its usage text even where no display is available.
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);
    QString error;
    const std::optional<hs::DesktopOptions> options = hs::parseDesktopOptions(args, &error);
    if (!options) {
        std::fprintf(stderr, "harmonic-station: %s\n\n%s", qPrintable(error),
                     qPrintable(hs::desktopOptionsHelp()));
        return 2;
    }
    provideRuntimeDir();
    QApplication app(argc, argv);
    return hs::runDesktopProgram(*options);
}
