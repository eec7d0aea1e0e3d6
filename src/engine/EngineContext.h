#pragma once

#include <QString>

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

    // The link as every engine operation uses it. A recorder number other than 1 means
    // recorder 1 (number 0). Results are stored in LinkResult.
    static int recorderNumber(int recorder) { return recorder == 1 ? 1 : 0; }
    const QString& id(int recorder) const;
    int modelClass(int recorder) const;
    // Sends a command line without a reply.
    void send(int recorder, const QString& line);
    // A query: the reply text is emptied, the command sent and the reply collected (empty on
    // a time-out).
    const QString& query(int recorder, const QString& line);
    // A status-line text of the usual course, followed by one event pump so that it shows at
    // once.
    void status(const QString& text);
};

} // namespace hs
