#include "blocks/SimpleDelayKernel.h"

#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <limits>
#include <vector>

namespace orvane {
namespace {

using testsignals::noise;

/// A line whose delay starts settled at the given number of samples.
SimpleDelayKernel settledAt(double rate, float seconds, float maxDelay = 0.5f) {
    SimpleDelayKernel d(maxDelay);
    d.allocate(rate);
    d.setDelaySeconds(seconds);
    d.reset();
    return d;
}

TEST(SimpleDelayKernel, AllocationSizesTheBufferAndZeroesTheDelay) {
    SimpleDelayKernel line(0.25f);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(line.smoothing), 0x3F7FF972u);
    line.setDelaySeconds(0.1f);
    line.allocate(44100.0);
    EXPECT_EQ(line.bufferLength, 11026);
    EXPECT_EQ(line.delaySeconds, 0.0f);
    EXPECT_EQ(line.currentDelay, 0.0);
    EXPECT_EQ(line.targetDelay, 0.0);
}

TEST(SimpleDelayKernel, ClampsTheTargetToWhatTheBufferHolds) {
    SimpleDelayKernel d(0.25f);
    d.allocate(48000.0);
    d.setDelaySeconds(3.0f);
    EXPECT_EQ(d.delaySeconds, 3.0f);
    EXPECT_EQ(d.targetDelay, static_cast<double>(12000.0f / 48000.0f));
    d.setDelaySeconds(0.1f);
    EXPECT_EQ(d.targetDelay, static_cast<double>(0.1f));
}

TEST(SimpleDelayKernel, ZeroDelayPassesTheSignalThrough) {
    SimpleDelayKernel d = settledAt(48000.0, 0.0f);
    d.feedback = 0.9f; // reads the current input before feedback is written
    auto x = noise(1000, 1);
    const auto input = x;
    d.process(x.data(), 1000);
    EXPECT_EQ(x, input);
}

TEST(SimpleDelayKernel, SettledWholeSampleDelayShiftsTheSignal) {
    const double rate = 1000.0;
    SimpleDelayKernel d = settledAt(rate, 0.01f); // 10 samples
    auto x = noise(300, 2);
    const auto input = x;
    d.process(x.data(), 300);
    for (std::size_t j = 0; j < x.size(); ++j) {
        const float expected = j < 10 ? 0.0f : input[j - 10];
        ASSERT_NEAR(x[j], expected, 1e-5f) << "sample " << j;
    }
}

TEST(SimpleDelayKernel, GlidesTowardTheTargetExponentially) {
    SimpleDelayKernel d(0.5f);
    d.allocate(48000.0);
    d.setDelaySeconds(0.1f);
    std::vector<float> x(5000, 0.0f);
    d.process(x.data(), 5000);
    const double target = static_cast<double>(0.1f) * 48000.0;
    const double expected = target * (1.0 - std::pow(static_cast<double>(d.smoothing), 5000.0));
    EXPECT_NEAR(d.currentDelay * 48000.0, expected, 1e-6 * target);
}

TEST(SimpleDelayKernel, FeedbackRepeatsAndNegativeFeedbackIsOff) {
    const double rate = 1000.0;
    SimpleDelayKernel d = settledAt(rate, 0.05f); // 50 samples
    d.feedback = 0.5f;
    std::vector<float> x(200, 0.0f);
    x[0] = 1.0f;
    d.process(x.data(), 200);
    EXPECT_NEAR(x[50], 1.0f, 1e-5f);
    EXPECT_NEAR(x[100], 0.5f, 1e-5f);
    EXPECT_NEAR(x[150], 0.25f, 1e-5f);

    SimpleDelayKernel off = settledAt(rate, 0.05f), negative = settledAt(rate, 0.05f);
    negative.feedback = -0.7f;
    auto a = noise(400, 3), b = a;
    off.process(a.data(), 400);
    negative.process(b.data(), 400);
    EXPECT_EQ(a, b);
}

TEST(SimpleDelayKernel, HalfSampleReadAtTheStartWrapsToTheEnd) {
    SimpleDelayKernel d = settledAt(1000.0, 0.0005f); // half a sample
    d.buffer[static_cast<std::size_t>(d.bufferLength - 1)] = 2.0f;
    float x = 4.0f;
    d.process(&x, 1);
    EXPECT_NEAR(x, 3.0f, 1e-4f); // 0.5 x 2 (buffer end) + 0.5 x 4 (current input)
}

TEST(SimpleDelayKernel, EmptyBlocksAndUnallocatedLinesChangeNothing) {
    SimpleDelayKernel never(0.5f);
    auto x = noise(32, 4);
    const auto input = x;
    never.process(x.data(), 32);
    EXPECT_EQ(x, input);

    SimpleDelayKernel d(0.5f);
    d.allocate(48000.0);
    d.setDelaySeconds(0.2f);
    d.process(x.data(), 0);
    EXPECT_EQ(x, input);
    EXPECT_EQ(d.currentDelay, 0.0);
    EXPECT_EQ(d.writePos, 0);
}

TEST(SimpleDelayKernel, NeverStoresNonFiniteValues) {
    SimpleDelayKernel d = settledAt(1000.0, 0.01f);
    d.feedback = 0.5f;
    std::vector<float> x(100, 0.25f);
    x[3] = std::numeric_limits<float>::quiet_NaN();
    x[4] = -std::numeric_limits<float>::infinity();
    d.process(x.data(), 100);
    for (std::size_t j = 0; j < x.size(); ++j) ASSERT_TRUE(std::isfinite(x[j])) << "sample " << j;
    for (float v : d.buffer) ASSERT_TRUE(std::isfinite(v));
}

} // namespace
} // namespace orvane
