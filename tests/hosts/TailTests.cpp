// How much tail orvane-render renders after the input.

#include "hosts/render/RenderLoop.h"

#include <gtest/gtest.h>

#include <limits>

namespace orvane::render {

TEST(Tail, AutomaticTailsFollowTheUnitUpToThirtySeconds) {
    EXPECT_EQ(tailFrameCount(std::nullopt, 1.5, 48000.0), 72000);
    EXPECT_EQ(tailFrameCount(std::nullopt, 29.99, 48000.0), 1439520);
    EXPECT_EQ(tailFrameCount(std::nullopt, 100.0, 48000.0), 30 * 48000) << "capped at 30 s";
    EXPECT_EQ(tailFrameCount(std::nullopt, std::numeric_limits<double>::quiet_NaN(), 44100.0), 0);
    EXPECT_EQ(tailFrameCount(2.0, 100.0, 48000.0), 96000) << "an asked-for tail is not capped";
    EXPECT_EQ(tailFrameCount(0.00001, 0.0, 48000.0), 1) << "rounded up to whole frames";
}

} // namespace orvane::render
