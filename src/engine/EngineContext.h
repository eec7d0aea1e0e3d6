#pragma once

namespace hs {

class Clock;
class EngineObserver;
class LanModule;
struct MeasurementData;
struct MeasurementSettings;
struct RecorderFacts;

// The shared state an engine operation works on, handed down by reference. The station owns
// every part; the context only names them so that operations need one argument instead of six.
struct EngineContext {
    LanModule& lan;
    RecorderFacts& facts;
    MeasurementSettings& settings;
    MeasurementData& data;
    const Clock& clock;
    EngineObserver& observer;
};

} // namespace hs
