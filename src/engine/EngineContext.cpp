#include "engine/EngineContext.h"

#include "common/Clock.h"
#include "model/EngineObserver.h"
#include "recorder/Recorder.h"

namespace hs {

Recorder& EngineContext::recorder(int recorder)
{
    return recorders[recorder];
}

int EngineContext::modelClass(int recorder) const
{
    return recorders.modelClass(recorder);
}

int EngineContext::lastRecorder() const
{
    return recorders.lastInUse();
}

void EngineContext::status(const QString& text)
{
    observer.status(RunStatus::usual(text));
    Clock::pumpEvents();
}

} // namespace hs
