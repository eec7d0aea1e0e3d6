#pragma once

// Whether a record came back from a message or the fleet's database exactly as the result file
// held it: every value bit for bit (a value that was not finite stays not finite).

#include "files/ResultFileReader.h"

#include <gtest/gtest.h>

#include <cmath>

namespace hs::test {

inline void expectSameValues(const ResultRecord& a, const ResultRecord& b)
{
    EXPECT_EQ(a.time, b.time);
    ASSERT_EQ(a.voltage.size(), b.voltage.size());
    for (std::size_t k = 0; k < a.voltage.size(); ++k)
        EXPECT_TRUE(a.voltage[k] == b.voltage[k] ||
                    (std::isnan(a.voltage[k]) && std::isnan(b.voltage[k])));
    EXPECT_EQ(a.current, b.current);
    EXPECT_EQ(a.powerAngle, b.powerAngle);
    EXPECT_EQ(a.voltSuperAngle, b.voltSuperAngle);
    EXPECT_EQ(a.curSuperAngle, b.curSuperAngle);
    EXPECT_EQ(a.voltRms, b.voltRms);
    EXPECT_EQ(a.curRms, b.curRms);
}

} // namespace hs::test
