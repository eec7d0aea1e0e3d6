#pragma once

#include <QString>

#include <array>
#include <cstdint>

namespace hs {

// What the connection set-up found out about the recorders; read by every later stage.
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

// Whether an input unit can be measured with: codes 1, 4 and 7, and 3 on the model 8840. The
// one rule for the connection set-up, the channel map and the screens.
inline bool isUsableUnit(int unitCode, int recorderModel)
{
    return unitCode == 1 || unitCode == 4 || unitCode == 7 ||
           (unitCode == 3 && recorderModel == 8840);
}

} // namespace hs
