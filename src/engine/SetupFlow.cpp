#include "engine/SetupFlow.h"

#include "engine/Acquisition.h"
#include "engine/HarmonicAnalysis.h"
#include "engine/InstrumentPreparation.h"
#include "engine/ResultFiles.h"
#include "engine/RunLoop.h"
#include "recorder/ConnectionSetup.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace hs {

SetupFlow::SetupFlow(Station& station, EngineObserver& observer)
    : station_(station), ctx_{station.recorders, station.facts, station.settings,
                              station.data,      station.clock, observer},
      measurement_(ctx_)
{
}

void SetupFlow::startAutomaticSetup()
{
    for (int r = 0; r <= station_.recorders.lastInUse(); ++r)
        station_.recorders[r].autoSetup();
}

Result<void> SetupFlow::waitLockOut(const std::function<bool()>& stopRequested)
{
    WaitMilliseconds(station_.clock, static_cast<std::int16_t>(kLockOutMs));
    if (stopRequested && stopRequested()) {
        abort();
        return fail(Error{SetupStopped, QString()});
    }
    return {};
}

Result<PreparationResult> SetupFlow::prepare(const PreparationHooks& hooks)
{
    InstrumentPreparation preparation(ctx_);
    preparation.onShotStarted = hooks.shotStarted;
    preparation.stopRequested = hooks.stopRequested;
    PreparationResult result;
    const Result<void> prepared = preparation.Run(result);
    if (!prepared)
        return fail(prepared.error());
    return result;
}

void SetupFlow::acceptWiring()
{
    station_.settings.StartConfirmed = true;
}

void SetupFlow::rejectWiring()
{
    InstrumentPreparation(ctx_).Cancel();
}

namespace {

QString systemReason(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

// Whether this process may write to path (as the file system decides it: permissions, ACLs,
// a read-only mount); the system's reason when not.
QString writeRefusal(const QString& path, int mode)
{
    if (::faccessat(AT_FDCWD, QFile::encodeName(path).constData(), mode, AT_EACCESS) == 0)
        return {};
    return systemReason(errno);
}

// The folder made with its parents; the system's reason when it cannot be.
QString makeFolder(const QString& folder)
{
    std::error_code error;
    std::filesystem::create_directories(
        std::filesystem::path(QFile::encodeName(folder).toStdString()), error);
    if (!error && QFileInfo(folder).isDir())
        return {};
    return error ? QString::fromLocal8Bit(error.message().c_str()) : systemReason(ENOTDIR);
}

} // namespace

Result<void> SetupFlow::readyOutputFile(const QString& outputFile, int measureType)
{
    if (outputFile.isEmpty())
        return fail(
            Error{SetupOutputFileRefused, QStringLiteral("出力ファイル名を設定して下さい")});
    const QString folder = QFileInfo(outputFile).absolutePath();
    if (const QString why = makeFolder(folder); !why.isEmpty())
        return fail(
            Error{SetupNoOutputFolder,
                  QStringLiteral("結果ファイルのフォルダ「%1」を作れません: %2").arg(folder, why)});
    if (const QString why = writeRefusal(folder, W_OK | X_OK); !why.isEmpty())
        return fail(Error{
            SetupNoOutputFolder,
            QStringLiteral("結果ファイルのフォルダ「%1」に書き込めません: %2").arg(folder, why)});
    for (const QString& name : ResultFileNames(outputFile, measureType)) {
        const QFileInfo file(name);
        if (!file.exists())
            continue;
        const QString why = file.isDir() ? systemReason(EISDIR) : writeRefusal(name, W_OK);
        if (!why.isEmpty())
            return fail(Error{SetupOutputFileRefused,
                              QStringLiteral("結果ファイル「%1」を開けません: %2").arg(name, why)});
    }
    // Only a look: the run takes the lock itself when it opens the files.
    ResultFileLock lock;
    if (const Result<void> taken = lock.take(outputFile); !taken)
        return fail(Error{SetupOutputFileInUse, taken.error().text});
    return {};
}

Result<void> SetupFlow::readyOutputFolder()
{
    return readyOutputFile(station_.settings.OutputFile, station_.settings.MeasureType());
}

namespace {

QString recorderLostText(int r)
{
    return QStringLiteral("測定器%1との接続が切れています。測定器の電源とLANケーブルを確認して"
                          "下さい。")
        .arg(r + 1);
}

} // namespace

Result<void> SetupFlow::checkLinks()
{
    RecorderPair& recorders = station_.recorders;
    const int last = recorders.lastInUse();
    // The links found lost, opened again at their addresses (a link never opened has none).
    std::vector<int> lost;
    for (int r = 0; r <= last; ++r) {
        if (recorders[r].isOpen() && !recorders[r].linkLost())
            continue;
        recorders[r].close();
        if (recorders[r].reopen())
            lost.push_back(r);
    }
    if (lost.empty())
        return {};
    const auto allUp = [&] {
        return std::all_of(lost.begin(), lost.end(), [&](int r) { return recorders[r].isOpen(); });
    };
    station_.clock.waitUntil(allUp, kReconnectWaitMs);
    ConnectionSetup setup(recorders, ctx_.observer);
    for (int r : lost) {
        if (!recorders[r].isOpen())
            return fail(Error{SetupRecorderLost, recorderLostText(r)});
        const Result<void> again = setup.reinitialise(r);
        if (!again && again.error().is(ReinitialiseFailure::Different))
            return fail(Error{SetupRecorderLost,
                              QStringLiteral("測定器%1が接続した時の測定器と違います（%2）。"
                                             "プログラムを終了して、接続からやり直して下さい。")
                                  .arg(r + 1)
                                  .arg(again.error().text)});
        if (!again || !recorders[r].isOpen())
            return fail(Error{SetupRecorderLost, recorderLostText(r)});
    }
    return fail(Error{SetupRecorderBack,
                      QStringLiteral("測定器との接続が切れていたため、接続し直しました。")});
}

Result<void> SetupFlow::load()
{
    if (measurement_.Load() != AnalysisOk)
        return fail(Error{SetupNotLoaded, QString()});
    return {};
}

int SetupFlow::start(const RunLoopHooks& hooks)
{
    notStarted_.clear();
    const int status = measurement_.Start(hooks);
    // A file error before any shot was analysed: the files could not be opened (or made
    // again at once); nothing was measured, so nothing is lost by starting over.
    if (status == RunFileError && measurement_.State().ShotsAnalysed == 0) {
        notStarted_ = measurement_.Files().ErrorText();
        if (notStarted_.isEmpty())
            notStarted_ =
                QStringLiteral("結果ファイル「%1」を開けません").arg(station_.settings.OutputFile);
    }
    return status;
}

void SetupFlow::end()
{
    measurement_.End();
}

void SetupFlow::abort()
{
    AbortRecorders(ctx_);
}

} // namespace hs
