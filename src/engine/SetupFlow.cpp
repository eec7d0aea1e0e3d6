#include "engine/SetupFlow.h"

#include "engine/Acquisition.h"
#include "engine/HarmonicAnalysis.h"
#include "engine/InstrumentPreparation.h"
#include "engine/RunLoop.h"

#include <QDir>
#include <QFileInfo>

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

Result<void> SetupFlow::readyOutputFolder()
{
    const QString folder = QFileInfo(station_.settings.OutputFile).absolutePath();
    if (!QDir().mkpath(folder))
        return fail(Error{SetupNoOutputFolder,
                          QStringLiteral("cannot create the output folder ") + folder});
    return {};
}

Result<void> SetupFlow::load()
{
    if (measurement_.Load() != AnalysisOk)
        return fail(Error{SetupNotLoaded, QString()});
    return {};
}

int SetupFlow::start(const RunLoopHooks& hooks)
{
    return measurement_.Start(hooks);
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
