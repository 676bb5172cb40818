#include "blocks/SimpleDelayKernel.h"

#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <iterator>
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

TEST(SimpleDelayKernel, AllocationSizesTheBufferZeroesTheDelayAndTargetsAreClampedToIt) {
    SimpleDelayKernel line(0.25f);
    EXPECT_EQ(std::bit_cast<std::uint32_t>(line.smoothing), 0x3F7FF972u);
    line.setDelaySeconds(0.1f);
    line.allocate(44100.0);
    EXPECT_EQ(line.bufferLength, 11026);
    EXPECT_EQ(line.delaySeconds, 0.0f);
    EXPECT_EQ(line.currentDelay, 0.0);
    EXPECT_EQ(line.targetDelay, 0.0);
    line.allocate(48000.0);
    line.setDelaySeconds(3.0f);
    EXPECT_EQ(line.delaySeconds, 3.0f);
    EXPECT_EQ(line.targetDelay, static_cast<double>(12000.0f / 48000.0f));
    line.setDelaySeconds(0.1f);
    EXPECT_EQ(line.targetDelay, static_cast<double>(0.1f));
}

TEST(SimpleDelayKernel, SettledWholeSampleDelaysShiftTheSignalAndZeroPassesItThrough) {
    for (int samples : {0, 10}) {
        SimpleDelayKernel d = settledAt(1000.0, 0.001f * float(samples));
        // At zero the current input is read before feedback is written.
        d.feedback = samples == 0 ? 0.9f : 0.0f;
        auto x = noise(300, 2);
        const auto input = x;
        d.process(x.data(), 300);
        for (std::size_t j = 0; j < x.size(); ++j) {
            const float expected = j < std::size_t(samples) ? 0.0f : input[j - std::size_t(samples)];
            ASSERT_NEAR(x[j], expected, samples == 0 ? 0.0f : 1e-5f) << samples << " samples, sample " << j;
        }
    }
}

TEST(SimpleDelayKernel, GlidesTowardTheTargetExponentiallyAndAHalfSampleReadAtTheStartWrapsToTheEnd) {
    SimpleDelayKernel d(0.5f);
    d.allocate(48000.0);
    d.setDelaySeconds(0.1f);
    std::vector<float> x(5000, 0.0f);
    d.process(x.data(), 5000);
    const double target = static_cast<double>(0.1f) * 48000.0;
    const double expected = target * (1.0 - std::pow(static_cast<double>(d.smoothing), 5000.0));
    EXPECT_NEAR(d.currentDelay * 48000.0, expected, 1e-6 * target);

    SimpleDelayKernel half = settledAt(1000.0, 0.0005f);
    half.buffer[static_cast<std::size_t>(half.bufferLength - 1)] = 2.0f;
    float y = 4.0f;
    half.process(&y, 1);
    EXPECT_NEAR(y, 3.0f, 1e-4f); // 0.5 x 2 (buffer end) + 0.5 x 4 (current input)
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

/// The line sample by sample, as plainly as it can be written.
void referenceProcess(SimpleDelayKernel& line, float* x, std::int64_t n) {
    const std::int64_t len = line.bufferLength;
    const double s = line.smoothing, rate = line.sampleRate, k = (1.0 - s) * line.targetDelay * rate;
    double d = line.currentDelay * rate;
    for (std::int64_t i = 0; i < n; ++i) {
        const float v = x[i];
        auto& at = line.buffer[static_cast<std::size_t>(line.writePos)];
        at = std::isfinite(v) ? v : 0.0f;
        d = k + d * s;
        const double r = static_cast<double>(line.writePos) - d;
        const double f = std::floor(r);
        const std::int64_t a = ((static_cast<std::int64_t>(f) % len) + len) % len;
        const float frac = static_cast<float>(r - f);
        const float y = (1.0f - frac) * line.buffer[static_cast<std::size_t>(a)] +
                        line.buffer[static_cast<std::size_t>((a + 1) % len)] * frac;
        if (line.feedback > 0.0f) at = std::isfinite(v + line.feedback * y) ? v + line.feedback * y : 0.0f;
        x[i] = y;
        line.writePos = (line.writePos + 1) % len;
    }
    line.currentDelay = d / rate;
}

TEST(SimpleDelayKernel, MatchesTheSampleBySampleLineBitForBit) {
    // A 1000-sample line through: settled and gliding delays, jumps across
    // the whole line, delays under a sample, a few samples and negative
    // (reads among the samples being written), reads wrapping at the end,
    // feedback off and on, -0 and non-finite input, blocks of every length.
    const float seconds[] = {0.3f, 0.3f, 0.0f, 0.004f, 0.0005f, 0.998f, 0.2f, -0.003f, 0.9f, 0.0123f, 0.5f};
    const float feedbacks[] = {0.0f, 0.6f, 0.95f};
    const std::int64_t blocks[] = {1, 7, 8, 13, 64, 333, 512};
    for (float fb : feedbacks) {
        SimpleDelayKernel line(1.0f), reference(1.0f);
        for (auto* l : {&line, &reference}) {
            l->allocate(1000.0);
            l->feedback = fb;
        }
        auto x = noise(20000, 11);
        x[100] = -0.0f;
        x[2000] = std::numeric_limits<float>::infinity();
        x[7001] = std::numeric_limits<float>::quiet_NaN();
        auto expected = x;
        std::int64_t at = 0;
        for (std::size_t b = 0; at < 20000; ++b) {
            const std::int64_t n = std::min<std::int64_t>(blocks[b % std::size(blocks)], 20000 - at);
            const float delay = seconds[b / 5 % std::size(seconds)];
            line.setDelaySeconds(delay);
            reference.setDelaySeconds(delay);
            line.process(x.data() + at, n);
            referenceProcess(reference, expected.data() + at, n);
            at += n;
        }
        for (std::size_t j = 0; j < x.size(); ++j) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(x[j]), std::bit_cast<std::uint32_t>(expected[j]))
                << "feedback " << fb << " sample " << j;
        }
        EXPECT_EQ(line.buffer, reference.buffer);
        EXPECT_EQ(line.currentDelay, reference.currentDelay);
    }
}

} // namespace
} // namespace orvane
