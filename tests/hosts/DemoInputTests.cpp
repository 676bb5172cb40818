#include "hosts/render/AudioInput.h"
#include "hosts/render/DemoInput.h"
#include "hosts/render/SignalStats.h"

#include <gtest/gtest.h>

#include <cmath>

namespace orvane::render {
namespace {

TEST(DemoInput, IsAShortLoudEnoughStereoClip)
{
    auto path = demoInputPath();
    ASSERT_TRUE(path) << path.error().message;
    EXPECT_LT(std::filesystem::file_size(*path), 1024u * 1024u);
    auto demo = readAudioFile(*path);
    ASSERT_TRUE(demo) << demo.error().message;
    EXPECT_EQ(demo->fileChannels, 2);
    EXPECT_TRUE(demo->sampleRate == 44100 || demo->sampleRate == 48000) << demo->sampleRate;
    EXPECT_GE(demo->durationSeconds(), 6.0);
    EXPECT_LE(demo->durationSeconds(), 8.0);
    SignalStats levels;
    levels.add(demo->left, demo->right);
    EXPECT_NEAR(levels.peakDbfs(), -3.0, 0.2);
    // Not the same signal on both sides: the plucks are panned.
    double difference = 0.0;
    for (std::size_t i = 0; i < demo->left.size(); ++i)
        difference += std::abs(demo->left[i] - demo->right[i]);
    EXPECT_GT(difference / double(demo->left.size()), 1e-3);
}

} // namespace
} // namespace orvane::render
