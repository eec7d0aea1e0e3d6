#pragma once

#include "model/MeasurementSettings.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <cstdint>
#include <vector>

namespace hs {

struct RecorderFacts;

// Where one recorder is reached.
struct RecorderAddress {
    QString address;
    std::uint16_t port = 8802;
};

// A measurement set up from a settings file (the JSON file of `harmonic-station measure`).
// The channel map is either given by the file (InputChannel/InputRecorder) or built once the
// recorders are connected and their input units known: see applyChannelMap.
struct SettingsFileContent {
    std::vector<RecorderAddress> recorders;
    MeasurementSettings settings;
    bool channelMapExplicit = false;
};

// Outcome of reading a settings file: ok, or an error message that names the offending key.
struct SettingsFileResult {
    bool ok = false;
    QString error;
    SettingsFileContent content;
};

// Reads and validates a settings file. now is the program start (hs::Clock::now()); times
// "+N" are N minutes from it. Keys that are not given keep their defaults.
SettingsFileResult readSettingsFile(const QString& path, const QDateTime& now);
// The same, from the file's bytes.
SettingsFileResult parseSettingsJson(const QByteArray& json, const QDateTime& now);

// The settings file of a measurement set up on the screen: every key readSettingsFile reads
// back to the same settings (the channel map explicitly, times as "yyyy/MM/dd HH:mm").
QByteArray settingsJson(const MeasurementSettings& settings,
                        const std::vector<RecorderAddress>& recorders);

// Completes the channel map once the recorder facts are known: built by the same rule as the
// feeder count choice of the settings screen, or, when the file gave it, checked against the
// recorders. Returns an empty text on success, else a message naming the key.
QString applyChannelMap(SettingsFileContent& content, const RecorderFacts& facts);

} // namespace hs
