#include "KernelTestSupport.h"

#include "AllocationCounter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace orvane {
namespace {

using testing::makeKernel;
using testing::render;
using testing::Settings;
using testing::Stereo;
using testing::stereoNoise;

constexpr Settings kDryOnly{0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};

TEST(KernelRender, DryMixIsTheSoftClippedInput) {
    auto k = makeKernel(512, 44100.0, kDryOnly);
    k->granularity = 1.0f; // the wet path runs but is not heard
    k->gravitas = 0.7f;
    const auto in = stereoNoise(20000, 1, 2.0f);
    const auto out = render(*k, in, 512);
    // Within two ulps of tanh, the soft clip's promise (values below 1).
    for (std::size_t j = 0; j < in.size(); ++j) {
        ASSERT_NEAR(out.left[j], std::tanh(in.left[j]), 1.2e-7f) << "sample " << j;
        ASSERT_NEAR(out.right[j], std::tanh(in.right[j]), 1.2e-7f) << "sample " << j;
    }
}

TEST(KernelRender, FullWetWithEverythingAtZeroIsTheFilteredInput) {
    Settings s = kDryOnly;
    s.premix = 1.0f;
    auto k = makeKernel(512, 44100.0, s);
    const auto in = stereoNoise(20000, 2, 0.3f);
    const auto out = render(*k, in, 512);

    IIRKernel reference(20000);
    reference.sampleRate = 44100.0;
    reference.setLowpass(15000.0, 1.2);
    auto filtered = in.left;
    reference.process(filtered.data(), 20000);
    // After the first grain segment (460 samples) and the filter's memory of
    // the fade-in, the streams sum back to the input.
    for (std::size_t j = 2000; j < in.size(); ++j) {
        ASSERT_NEAR(out.left[j], std::tanh(filtered[j]), 2e-5f) << "sample " << j;
    }
    EXPECT_EQ(out.left[0], 0.0f); // faded in from silence
}

TEST(KernelRender, GravitasOneIsReverberationAloneThroughTheDarkFilter) {
    Settings s = kDryOnly;
    s.premix = 1.0f;
    s.gravitas = 1.0f;
    auto k = makeKernel(512, 48000.0, s);
    const auto out = render(*k, stereoNoise(4096, 3), 512);
    EXPECT_EQ(k->velvetEchoes.lastKnownTime, 10.0f);
    EXPECT_EQ(k->reverbL.feedback, std::pow(0.001f, 48000.0f / (10.0f * 48000.0f)));
    IIRKernel dark(16);
    dark.sampleRate = 48000.0;
    dark.setLowpass(220.0, 1.2);
    for (int c = 0; c < 5; ++c) EXPECT_FLOAT_EQ(k->filterL.coefficients[c], dark.coefficients[c]);
    // The wet signal is only the reverberation, which is silent until the
    // first tap (at least one sample late).
    EXPECT_EQ(out.left[0], 0.0f);
}

TEST(KernelRender, PremixIsUsedUnclamped) {
    const auto in = stereoNoise(6000, 4, 0.05f);
    auto render0 = [&](float p) {
        Settings s{};
        s.premix = p;
        s.nausea = 0.0f;
        auto k = makeKernel(512, 44100.0, s);
        return render(*k, in, 512);
    };
    const Stereo dry = render0(0.0f), wet = render0(1.0f), twice = render0(2.0f);
    for (std::size_t j = 0; j < in.size(); ++j) {
        const float d = std::atanh(dry.left[j]), w = std::atanh(wet.left[j]);
        ASSERT_NEAR(std::atanh(twice.left[j]), d + 2.0f * (w - d), 1e-5f) << "sample " << j;
    }
}

TEST(KernelRender, StreamDelaysFollowGranularityAndIncoherenceAndImpatienceSetsTheirFeedback) {
    Settings s{};
    s.granularity = 1.0f;
    s.incoherence = 1.0f;
    auto k = makeKernel(512, 44100.0, s);
    render(*k, stereoNoise(512, 5), 512);
    const double left[3] = {0.025, 0.076651, 0.063349};
    const double right[3] = {0.085, 0.033349, 0.046651};
    for (int i = 0; i < 3; ++i) {
        EXPECT_NEAR(k->streamDelaysL[static_cast<std::size_t>(i)].delaySeconds, left[i], 1e-6) << "stream " << i;
        EXPECT_NEAR(k->streamDelaysR[static_cast<std::size_t>(i)].delaySeconds, right[i], 1e-6) << "stream " << i;
    }
    for (auto [impatience, feedback] : {std::pair{0.5f, 0.4875f}, {1.7f, 0.975f}, {0.0f, 0.0f}, {-1.0f, 0.0f}}) {
        k->impatience = impatience;
        render(*k, stereoNoise(64, 6), 64);
        EXPECT_FLOAT_EQ(k->streamDelaysL[0].feedback, feedback) << "impatience " << impatience;
        EXPECT_FLOAT_EQ(k->streamDelaysR[2].feedback, feedback) << "impatience " << impatience;
    }
}

TEST(KernelRender, LfosCompleteTheirCyclesOnTime) {
    Settings s{};
    s.incoherence = 0.0f;
    auto k = makeKernel(441, 44100.0, s);
    const auto block = stereoNoise(441, 7);
    for (int b = 0; b < 2000; ++b) render(*k, block, 441);
    const double start[3] = {0.0, 2.0943951023931953, 4.1887902047863905};
    for (int i = 0; i < 3; ++i) {
        const double drift = std::remainder(k->lfoPhases[static_cast<std::size_t>(i)] - start[i], 2.0 * std::numbers::pi);
        EXPECT_NEAR(drift, 0.0, 1e-9) << "stream " << i;
    }
    EXPECT_NEAR(k->outLFOPhaseL, std::fmod(2.0 * std::numbers::pi * 0.17 * 20.0, 2.0 * std::numbers::pi), 1e-9);
    EXPECT_NEAR(k->outLFOPhaseR, std::fmod(2.0 * std::numbers::pi * 0.2 * 20.0, 2.0 * std::numbers::pi), 1e-9);
}

TEST(KernelRender, BlockSizeDoesNotMatterWithoutModulation) {
    // Without reverberation the result is exact whatever the blocks; with
    // it, the taps add into each sample in another order, so it agrees up to
    // rounding (blocks longer than the reverberator's loop included).
    const auto in = stereoNoise(70000, 8);
    for (float gravitas : {0.0f, 0.8f}) {
        Settings s{};
        s.granularity = 0.0f;
        s.incoherence = 0.0f;
        s.nausea = 0.0f;
        s.gravitas = gravitas;
        s.impatience = 0.7f;
        auto reference = makeKernel(512, 48000.0, s);
        const auto expected = render(*reference, in, 512);
        const float tolerance = gravitas > 0.0f ? 1e-5f : 0.0f;
        for (std::int64_t block : {1, 7, 64, 4096, 65536}) {
            auto k = makeKernel(block, 48000.0, s);
            const auto out = render(*k, in, block);
            for (std::size_t j = 0; j < in.size(); ++j) {
                ASSERT_NEAR(out.left[j], expected.left[j], tolerance) << "block " << block << " sample " << j;
                ASSERT_NEAR(out.right[j], expected.right[j], tolerance) << "block " << block << " sample " << j;
            }
        }
    }
}

TEST(KernelRender, ProcessAllocatesNothing) {
    const Settings s{};
    auto k = makeKernel(4096, 96000.0, s);
    const auto in = stereoNoise(4096, 11);
    std::vector<float> buffer(2 * 4096);
    Stereo out{std::vector<float>(4096), std::vector<float>(4096)};
    testing::AllocationCounter counter;
    for (int b = 0; b < 20; ++b) {
        k->gravitas = 0.05f * static_cast<float>(b); // forces echo amplitudes to be recomputed
        k->process(in.left.data(), in.right.data(), out.left.data(), out.right.data(), 4096);
        k->processInterleaved(buffer.data(), 4096);
    }
    EXPECT_EQ(counter.count(), 0u);
}

TEST(KernelRender, TailTimeFollowsTheParameters) {
    OrvaneDSPKernel k;
    k.premix = 0.0f;
    k.nausea = 1.0f;
    EXPECT_EQ(k.tailTime(), 0.11999999731779099);

    // A wet tail ends with 25 ms of quiet after the last of its ring.
    constexpr double quiet = 0.025;
    k.premix = 0.5f;
    k.granularity = 1.0f;
    k.incoherence = 0.0f;
    k.impatience = 0.0f;
    k.gravitas = 0.0f;
    k.nausea = 0.0f;
    EXPECT_NEAR(k.tailTime(), 0.05 + quiet, 1e-12);
    k.gravitas = 1.0f;
    EXPECT_NEAR(k.tailTime(), 0.05 + 1.1 * 10.0 + quiet, 1e-6) << "the reverberation's 10 s and a tenth of headroom";

    // Feedback stretches the stream delays' ring-out: the streams build up to
    // 1/(1 - f) of the input, then fall 60 dB below the input.
    k.gravitas = 0.0f;
    k.impatience = 1.0f;
    const double f = 0.975;
    const double passes = (std::log(0.001) + std::log(1.0 - f)) / std::log(f);
    EXPECT_NEAR(k.tailTime(), 0.05 * passes + quiet, 1e-9);
    // Incoherence spreads the streams: its square counts 0.06 s.
    k.granularity = 0.5f;
    k.incoherence = 0.5f;
    const double d = 0.05 * 0.25 + 0.06 * 0.25;
    EXPECT_NEAR(k.tailTime(), d * passes + quiet, 1e-9);
    k.premix = 0.0f;
    EXPECT_EQ(k.tailTime(), 0.0);
}

/// Whether the last 20 ms of a render are 60 dB below its loudest sample.
::testing::AssertionResult endsQuiet(const Stereo& out, double rate) {
    float loudest = 0.0f, end = 0.0f;
    const auto last = out.size() - static_cast<std::size_t>(0.02 * rate);
    for (std::size_t j = 0; j < out.size(); ++j) {
        const float a = std::max(std::fabs(out.left[j]), std::fabs(out.right[j]));
        loudest = std::max(loudest, a);
        if (j >= last) end = std::max(end, a);
    }
    if (end <= loudest * 0.001f) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "the last 20 ms peak at " << end << ", the loudest is " << loudest;
}

TEST(KernelRender, TheTailHoldsWhatTheLinesHold) {
    constexpr double rate = 48000.0;
    const auto withTail = [&](Stereo in, double seconds) {
        const auto frames = in.size() + static_cast<std::size_t>(std::ceil(seconds * rate));
        in.left.resize(frames), in.right.resize(frames);
        return in;
    };
    // Half a second from a fresh unit, the tail read before rendering as a
    // file renderer reads it: a little stream delay with and without
    // feedback, none at all, and the output wander.
    const auto input = stereoNoise(24000, 31, 0.7f);
    for (const Settings s : {Settings{0.5f, 0.0f, 0.0f, 0.5f, 0.0f, 0.0f}, Settings{0.4f, 0.1f, 0.6f, 0.0f, 0.0f, 0.0f},
                             Settings{1.0f, 0.05f, 0.0f, 1.0f, 0.0f, 0.0f}, Settings{1.0f, 0.0f, 0.1f, 0.9f, 0.3f, 0.0f}}) {
        auto k = makeKernel(512, rate, s);
        const double tail = k->tailTime();
        EXPECT_TRUE(endsQuiet(render(*k, withTail(input, tail), 512), rate))
            << "premix " << s.premix << " granularity " << s.granularity << " incoherence " << s.incoherence
            << " impatience " << s.impatience << " nausea " << s.nausea << ": tail " << tail << " s";
    }
    // Stream delays and wander turned down just before the input ends: the
    // lines still glide down from where they were, and the tail counts that.
    auto k = makeKernel(512, rate, Settings{1.0f, 1.0f, 1.0f, 0.5f, 1.0f, 0.0f});
    render(*k, input, 512);
    k->granularity = 0.0f;
    k->incoherence = 0.0f;
    k->nausea = 0.0f;
    Stereo last{std::vector<float>(input.left.begin(), input.left.begin() + 2400),
                std::vector<float>(input.right.begin(), input.right.begin() + 2400)};
    const auto held = render(*k, last, 512);
    const double tail = k->tailTime();
    EXPECT_GT(k->heldStreamDelaySeconds.load(), 0.05f);
    EXPECT_GT(k->heldOutputDelaySeconds.load(), 0.0f);
    auto out = render(*k, withTail(Stereo{}, tail), 512);
    out.left.insert(out.left.begin(), held.left.begin(), held.left.end());
    out.right.insert(out.right.begin(), held.right.begin(), held.right.end());
    EXPECT_TRUE(endsQuiet(out, rate)) << "tail " << tail << " s";
    k->reset();
    EXPECT_EQ(k->heldStreamDelaySeconds.load(), 0.0f) << "after a reset the lines start at their targets, now 0";
}

// Each channel is its own effect: sound in on the left alone leaves the right
// silent whatever the settings, and the same sound in both wanders apart, the
// two output delays following their own LFOs.
TEST(KernelRender, EachChannelKeepsToItselfAndWandersOnItsOwn) {
    for (const Settings s : {Settings{1, 1, 1, 1, 1, 1}, Settings{1, 0.5f, 0.5f, 0.9f, 0.5f, 0.8f}}) {
        auto k = makeKernel(512, 48000.0, s);
        Stereo in = stereoNoise(48000, 9);
        std::fill(in.right.begin(), in.right.end(), 0.0f);
        const auto out = render(*k, in, 512);
        EXPECT_TRUE(std::all_of(out.right.begin(), out.right.end(), [](float x) { return x == 0.0f; }));
        EXPECT_NE(out.left, in.left);
    }
    Settings wander = kDryOnly;
    wander.nausea = 1.0f;
    auto k = makeKernel(512, 48000.0, wander);
    Stereo in = stereoNoise(96000, 10);
    in.right = in.left;
    const auto out = render(*k, in, 512);
    EXPECT_NE(out.left, out.right);
}

} // namespace
} // namespace orvane
