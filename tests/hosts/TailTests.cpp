// How much tail orvane-render renders after the input.

#include "hosts/render/ProgressBar.h"
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

TEST(Tail, AutomaticTailsGoOnUntilQuietForAtMostTwiceTheirTimeAndTwoSecondsMore) {
    const auto plan = automaticTail(1.5, 48000.0);
    EXPECT_EQ(plan.minimumFrames, 72000);
    EXPECT_EQ(plan.maximumFrames, 2 * 72000 + 96000);
    EXPECT_EQ(plan.quietFrames, 4800) << "100 ms";
    EXPECT_FLOAT_EQ(plan.quietLevel, 1e-4f) << "-80 dBFS";
    EXPECT_EQ(automaticTail(100.0, 48000.0).maximumFrames, 2 * 30 * 48000 + 96000) << "from the capped tail";
}

TEST(Tail, AStreamOfUnknownLengthShowsTheTimeRendered) {
    EXPECT_EQ(ProgressBar::render(72000, 0, 48000.0), "1.5 s rendered");
}

} // namespace orvane::render
