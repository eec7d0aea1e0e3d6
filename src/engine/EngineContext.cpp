#include "engine/EngineContext.h"

#include "common/Clock.h"
#include "model/EngineObserver.h"
#include "recorder/LanModule.h"
#include "model/RecorderFacts.h"

namespace hs {

const QString& EngineContext::id(int recorder) const
{
    return lan.InstrumentId[static_cast<std::size_t>(recorderNumber(recorder))];
}

int EngineContext::modelClass(int recorder) const
{
    return facts.ModelClass[static_cast<std::size_t>(recorderNumber(recorder))];
}

void EngineContext::send(int recorder, const QString& line)
{
    lan.LinkResult = lan.SendCommand(id(recorder), line);
}

const QString& EngineContext::query(int recorder, const QString& line)
{
    lan.Query(id(recorder), line);
    return lan.ReplyText;
}

void EngineContext::status(const QString& text)
{
    observer.status(RunStatus::usual(text));
    Clock::pumpEvents();
}

} // namespace hs
