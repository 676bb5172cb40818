#include "KernelTestSupport.h"

#include <gtest/gtest.h>


namespace orvane {
namespace {

using testing::makeKernel;
using testing::render;
using testing::Settings;
using testing::stereoNoise;

TEST(KernelLifecycle, FreshKernelHoldsInitialValuesAndPassesThrough) {
    OrvaneDSPKernel k;
    EXPECT_EQ(k.premix.load(), 0.5f);
    EXPECT_EQ(k.granularity.load(), 0.0f);
    EXPECT_EQ(k.incoherence.load(), 0.0f);
    EXPECT_EQ(k.impatience.load(), 0.5f);
    EXPECT_EQ(k.nausea.load(), 0.0f);
    EXPECT_EQ(k.gravitas.load(), 0.0f);
    EXPECT_FALSE(k.bypass.load());
    EXPECT_EQ(k.sampleRate, 44100.0);
    EXPECT_EQ(k.maxFrames, 0);

    const auto in = stereoNoise(5000, 1);
    const auto out = render(k, in, 5000);
    EXPECT_EQ(out.left, in.left);
    EXPECT_EQ(out.right, in.right);
}

TEST(KernelLifecycle, AllocateSizesEverythingAndReplacesTheOldSizes) {
    OrvaneDSPKernel k;
    k.allocate(512, 48000.0);
    EXPECT_EQ(k.streamBase.size(), 3072u);
    EXPECT_EQ(k.wetBase.size(), 2048u);
    EXPECT_EQ(k.deinterleaveBase.size(), 1024u);
    EXPECT_EQ(k.streamDelaysR[2].bufferLength, 24001);
    EXPECT_EQ(k.outDelayL.bufferLength, 12001);
    EXPECT_EQ(k.filterR.maxFrames, 514);
    EXPECT_EQ(k.filterR.sampleRate, 48000.0);
    EXPECT_EQ(k.velvetEchoes.loopLength, 48000);
    EXPECT_EQ(k.reverbL.bufferSize, 96000);
    EXPECT_NEAR(k.reverbR.dampingCoef, 0.4803f, 1e-4f);

    k.allocate(512, 44100.0);
    EXPECT_EQ(k.streamDelaysL[0].bufferLength, 22051);
    EXPECT_EQ(k.outDelayL.bufferLength, 11026);
    EXPECT_NEAR(k.reverbL.dampingCoef, 0.5095f, 1e-4f);

    k.allocate(4096, 96000.0);
    k.allocate(64, 22050.0);
    EXPECT_EQ(k.maxFrames, 64);
    EXPECT_EQ(k.streamBase.capacity(), 384u);
    EXPECT_EQ(k.streamDelaysR[1].buffer.capacity(), 11026u);
    EXPECT_EQ(k.reverbL.buffer.capacity(), 44000u);

    // Sized for nothing, it passes the signal through in either layout.
    k.allocate(0, 48000.0);
    EXPECT_TRUE(k.streamBase.empty());
    const auto in = stereoNoise(100, 2);
    EXPECT_EQ(render(k, in, 100).left, in.left);
    std::vector<float> interleaved{1.0f, 2.0f};
    k.processInterleaved(interleaved.data(), 1);
    EXPECT_EQ(interleaved, (std::vector<float>{1.0f, 2.0f}));
}

TEST(KernelLifecycle, ResetClearsSignalStateKeepsSettingsAndTwiceLeavesWhatOnceLeaves) {
    auto k = makeKernel(512, 44100.0, Settings{});
    const auto pattern = k->velvetEchoes.left;
    render(*k, stereoNoise(30000, 3), 512);
    k->reset();
    EXPECT_EQ(k->lfoPhases, (std::array<double, 3>{0.0, 2.0943951023931953, 4.1887902047863905}));
    EXPECT_EQ(k->stateL.rngState, 443669031u);
    EXPECT_EQ(k->stateR.rngState, 443669031u);
    EXPECT_EQ(k->outLFOPhaseL, 0.0);
    for (const auto* d : {&k->streamDelaysL[0], &k->streamDelaysR[2], &k->outDelayL}) {
        for (float v : d->buffer) ASSERT_EQ(v, 0.0f);
        EXPECT_EQ(d->currentDelay, d->targetDelay);
    }
    for (float v : k->reverbL.buffer) ASSERT_EQ(v, 0.0f);
    EXPECT_EQ(k->reverbR.feedbackPos, k->reverbR.loopLength);
    EXPECT_EQ(k->premix.load(), 0.5f);
    EXPECT_EQ(k->gravitas.load(), 0.5f);
    ASSERT_EQ(k->velvetEchoes.left.size(), pattern.size());
    for (std::size_t i = 0; i < pattern.size(); ++i) ASSERT_EQ(k->velvetEchoes.left[i].position, pattern[i].position);

    auto twice = makeKernel(512, 44100.0, Settings{});
    render(*twice, stereoNoise(30000, 3), 512);
    twice->reset();
    twice->reset();
    const auto in = stereoNoise(20000, 5);
    EXPECT_EQ(render(*k, in, 512).left, render(*twice, in, 512).left) << "two resets leave what one leaves";
}

TEST(KernelLifecycle, BypassFreezesAllStateAndResumes) {
    const Settings s{};
    auto plain = makeKernel(512, 44100.0, s);
    auto bypassed = makeKernel(512, 44100.0, s);
    const auto before = stereoNoise(4096, 6), during = stereoNoise(2048, 7), after = stereoNoise(4096, 8);
    render(*plain, before, 512);
    render(*bypassed, before, 512);

    bypassed->bypass = true;
    const auto phases = bypassed->lfoPhases;
    const auto pos = bypassed->streamDelaysL[0].writePos;
    const auto out = render(*bypassed, during, 512);
    EXPECT_EQ(out.left, during.left);
    EXPECT_EQ(out.right, during.right);
    EXPECT_EQ(bypassed->lfoPhases, phases);
    EXPECT_EQ(bypassed->streamDelaysL[0].writePos, pos);

    bypassed->bypass = false;
    const auto a = render(*plain, after, 512);
    const auto b = render(*bypassed, after, 512);
    EXPECT_EQ(a.left, b.left);
    EXPECT_EQ(a.right, b.right);
}

TEST(KernelLifecycle, FramesBeyondTheMaximumAreLeftAlone) {
    auto k = makeKernel(64, 44100.0, Settings{});
    auto in = stereoNoise(100, 9);
    std::vector<float> outL(100, 7.0f), outR(100, 7.0f);
    k->process(in.left.data(), in.right.data(), outL.data(), outR.data(), 100);
    for (std::size_t j = 64; j < 100; ++j) ASSERT_EQ(outL[j], 7.0f) << "sample " << j;

    // Bypass copies only what fits as well. (In place, the unprocessed frames
    // keep their input: the unit's render test, where hosts meet it.)
    k->bypass = true;
    k->process(in.left.data(), in.right.data(), outL.data(), outR.data(), 100);
    for (std::size_t j = 64; j < 100; ++j) ASSERT_EQ(outL[j], 7.0f) << "sample " << j;
}

} // namespace
} // namespace orvane
