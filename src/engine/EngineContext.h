#pragma once

#include <QString>

namespace hs {

class Clock;
class EngineObserver;
class Recorder;
class RecorderPair;
struct MeasurementData;
struct MeasurementSettings;
struct RecorderFacts;

// The shared state an engine operation works on, handed down by reference. The station owns
// every part; the context only names them so that operations need one argument instead of six.
struct EngineContext {
    RecorderPair& recorders;
    RecorderFacts& facts;
    MeasurementSettings& settings;
    MeasurementData& data;
    const Clock& clock;
    EngineObserver& observer;

    // A recorder number other than 1 means recorder 1 (number 0).
    Recorder& recorder(int recorder);
    int modelClass(int recorder) const;
    // The index of the last recorder in use (0 or 1).
    int lastRecorder() const;
    // A status-line text of the usual course, followed by one event pump so that it shows at
    // once.
    void status(const QString& text);
};

} // namespace hs
