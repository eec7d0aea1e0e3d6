#pragma once

#include <QString>

#include <array>
#include <cstdint>

namespace hs {

// What the connection set-up found out about the recorders; read by every later stage.
// (The identifiers "0" and "1" of the two connections live in LanModule::InstrumentId.)
// Recorder index r is 0 (recorder 1) or 1 (recorder 2); channel index k is 0..15 for
// channel k + 1.
struct RecorderFacts {
    std::int16_t LastRecorder = 0;
    std::array<std::int16_t, 2> RecorderModel{};
    std::array<std::int16_t, 2> ModelClass{};
    std::array<std::array<std::int16_t, 16>, 2> ChannelUnit{};
    std::array<std::array<std::int16_t, 16>, 2> ChannelRangeMax{};
    std::array<std::array<float, 16>, 2> ChannelRangeMin{};
    std::int16_t UsableChannelTotal = 0;
};

} // namespace hs
