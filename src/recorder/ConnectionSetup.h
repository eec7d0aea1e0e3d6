#pragma once

#include "model/EngineObserver.h"
#include "recorder/Recorder.h"
#include "model/RecorderFacts.h"

#include <QString>

#include <array>
#include <functional>
#include <optional>

namespace hs {

// What the operator entered on the connection screen (or what `measure` was given).
struct ConnectionRequest {
    std::array<QString, 2> addresses; // IPAdrs(0), IPAdrs(1)
    std::array<QString, 2> ports;     // POTNo(0), POTNo(1)
    int recorderCount = 1;            // 1 or 2
};

// Progress of an initialisation, for the screen's result labels (Label6). Both are called with
// the recorder index r (0 or 1); either may be left empty.
struct ConnectionProgress {
    std::function<void(int r, int model)> modelFound;             // Label6(r)
    std::function<void(int r, int usableChannels)> channelsFound; // Label6(r + 2)
};

// What a recorder says it is: its model ("*IDN?") and the unit code of each input ("*OPT?").
struct RecorderIdentity {
    std::int16_t model = 0; // 0 when the recorder did not answer
    std::array<std::int16_t, 16> units{};
};

// The operator text that says how a recorder that came back differs from the one the
// measurement was set up with ("機種 8841→8840", "CH3 ユニット 1→0"); empty when it does not.
QString identityChange(const RecorderFacts& facts, int r, const RecorderIdentity& now);

// Why a recorder could not be taken back after its link was opened again (the code of the
// reinitialisation's Error).
enum class ReinitialiseFailure {
    NoAnswer = 1,  // no identification reply
    Different = 2, // another model or other input units (the error's text says what changed)
};

enum class ConnectionStatus {
    Ok,         // every recorder in use is connected, identified, reset and its clock set
    Failed,     // a message was shown; the operator may correct the entries and try again
    EndProgram, // a recorder lacks the needed input channels; the program ends
};

// The port number of a port text: the text read as a number and rounded; nullopt when that is
// not a usable TCP port (1..65535), e.g. an empty text, letters or 70002.
std::optional<quint16> portNumberOf(const QString& text);

// Whether a port text passes the connection screen's check: its number ends in 2.
bool portEndsInTwo(const QString& text);

// The message shown when a port number does not end in 2.
QString portMessage();
// The message shown when a port text is no port number at all (empty, letters, 84342).
QString notAPortMessage();
// What is wrong with a port text, as the operator is told; empty when nothing is.
QString portTextMessage(const QString& text);

// The initialisation of the recorders: connects with the link timer, identifies each recorder
// ("*IDN?"), reads its input units ("*OPT?"), derives the usable channels and their range limits,
// resets ("*RST") and pre-configures the recorders and sets their clocks from the Clock's
// calendar. Writes RecorderFacts; every operator message goes to EngineObserver::message with the
// title "エラー". The program's single thread runs events during every wait.
class ConnectionSetup {
public:
    ConnectionSetup(RecorderPair& recorders, EngineObserver& observer);

    void setProgress(ConnectionProgress progress) { progress_ = std::move(progress); }

    // Runs the whole initialisation. A second call (after a failure) closes whatever the previous
    // call left open and starts UsableChannelTotal again from 0.
    ConnectionStatus initialise(const ConnectionRequest& request);

    // Recorder r again after its link was lost and opened again: identified as at set-up, and,
    // when it is the same model with the same input units, reset, pre-configured and its clock
    // set as at set-up. The facts are not changed.
    Result<void> reinitialise(int r);

private:
    bool connectAll(const ConnectionRequest& request);
    ConnectionStatus identify(int r);
    RecorderIdentity readIdentity(int r);
    void preconfigure(int r);
    void setRecorderClock(int r);
    void report(const QString& text);

    RecorderPair& recorders_;
    RecorderFacts& facts_;
    EngineObserver& observer_;
    ConnectionProgress progress_;
};

} // namespace hs
