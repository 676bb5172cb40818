#include "hosts/render/SignalStats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace orvane::render {
namespace {

TEST(SignalStats, FullScaleSineAndSilenceHaveTheirKnownLevels)
{
    constexpr double kNegativeInfinity = -std::numeric_limits<double>::infinity();
    // 1 kHz at 48 kHz: whole periods of 48 samples, and a sample on each crest.
    std::vector<float> sine(48000);
    for (std::size_t i = 0; i < sine.size(); ++i)
        sine[i] = static_cast<float>(std::sin(2.0 * std::numbers::pi * 1000.0 * double(i) / 48000.0));
    const std::vector<float> silence(sine.size(), 0.0f);

    SignalStats levels;
    levels.add(sine, sine);
    EXPECT_NEAR(levels.peakDbfs(), 0.0, 1e-6);
    EXPECT_NEAR(levels.rmsDbfs(), -3.0103, 1e-3);
    // Levels gather over every block: as much silence again halves the power.
    levels.add(silence, silence);
    EXPECT_NEAR(levels.peakDbfs(), 0.0, 1e-6);
    EXPECT_NEAR(levels.rmsDbfs(), -6.0206, 1e-3);

    SignalStats quiet;
    quiet.add(silence, silence);
    EXPECT_EQ(quiet.peakDbfs(), kNegativeInfinity);
    EXPECT_EQ(quiet.rmsDbfs(), kNegativeInfinity);
}

} // namespace
} // namespace orvane::render
