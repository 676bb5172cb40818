#include "blocks/VelvetReverberator.h"

#include "blocks/VelvetReverberatorKernels.h"
#include "tests/support/PlainLoops.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace orvane {
namespace {

using testsignals::noise;

/// Runs a signal through in blocks of the given size, returning the output.
std::vector<float> run(VelvetReverberator& r, const std::vector<VelvetEcho>& echoes, std::vector<float> x,
                       std::int64_t block) {
    for (std::int64_t at = 0; at < static_cast<std::int64_t>(x.size()); at += block) {
        r.process(echoes, x.data() + at, std::min<std::int64_t>(block, static_cast<std::int64_t>(x.size()) - at));
    }
    return x;
}

TEST(VelvetReverberator, ImpulseResponseIsTheTapPattern) {
    VelvetEchoes e(11u, 12u);
    e.configure(44100.0f);
    e.setDecay(1.5f);
    VelvetReverberator r;
    r.allocate(e.loopLength);
    r.reset();
    EXPECT_EQ(r.bufferSize, 2 * e.loopLength);
    EXPECT_EQ(r.feedbackPos, e.loopLength);

    std::vector<float> x(50000, 0.0f);
    x[0] = 1.0f;
    const auto y = run(r, e.left, x, 512);
    std::vector<float> expected(x.size(), 0.0f);
    for (const auto& echo : e.left) expected[static_cast<std::size_t>(echo.position)] = echo.amplitude * 0.09f;
    for (std::size_t j = 0; j < y.size(); ++j) ASSERT_EQ(y[j], expected[j]) << "sample " << j;
}

TEST(VelvetReverberator, EveryPathIsNoLessAccurateThanThePlainLoop) {
    // At 8 kHz: a loop of 8000 samples, taps 8 samples apart on average.
    VelvetEchoes e(31u, 32u);
    e.configure(8000.0f);
    e.setDecay(2.0f);
    VelvetEchoes other(33u, 34u);
    other.configure(8000.0f);
    // Besides the pattern: taps closer together than a tile, two at the same
    // place, signs mixed, a zero gain, the first at 0 and the last at the loop.
    std::vector<VelvetEcho> clustered;
    for (std::int64_t t = 0; t < 300; ++t) {
        const std::int64_t position = t == 299 ? e.loopLength : t * t % 7 + t * 25;
        clustered.push_back({position, t % 3 == 0 ? -1.0f : 1.0f, t == 5 ? 0.0f : (t % 3 == 0 ? -0.5f : 0.7f) / (1 + t % 5)});
        if (t == 100) clustered.push_back({position, 1.0f, 0.25f});
    }
    // Taps out of order, and a tap with an infinite gain.
    auto unordered = clustered;
    std::reverse(unordered.begin(), unordered.end());
    auto infinite = clustered;
    infinite[150].amplitude = std::numeric_limits<float>::infinity();
    // More taps than a pattern has.
    std::vector<VelvetEcho> crowded(VelvetEchoes::kEchoCount + 1);
    for (std::size_t t = 0; t < crowded.size(); ++t) crowded[t] = {static_cast<std::int64_t>(t) * 8 + 1, 1.0f, 0.3f};
    const auto input = noise(12000, 7);
    // Versions as the engine gives them: a new one whenever the gains change
    // (every 500 samples or so for the pattern), or 0 now and then for
    // "may have changed".
    const auto render = [&](auto& r, const std::vector<VelvetEcho>* echoes, std::int64_t block) {
        r.allocate(e.loopLength, block);
        r.reset();
        r.feedback = 0.7f;
        r.dampingCoef = 0.48f;
        auto y = input;
        std::uint64_t version = 1;
        for (std::int64_t at = 0; at < 12000; at += block) {
            if (echoes == &e.right && at % 500 < block) {
                other.setDecay(1.0f + static_cast<float>(at % 7));
                e.right = other.right;
                ++version;
            }
            r.process(*echoes, y.data() + at, std::min<std::int64_t>(block, 12000 - at), at % 3000 < block ? 0 : version);
        }
        return y;
    };
    for (const auto* echoes : {&e.right, &clustered, &unordered, &infinite, &crowded}) {
        // Blocks gathered into windows, and below and above where the tiles
        // start on every path.
        for (std::int64_t block : {1, 73, 96, 512, 777, 4096}) {
            DoubleVelvetReverberator exact;
            PlainVelvetReverberator plain;
            const auto expected = render(exact, echoes, block);
            const auto plainly = render(plain, echoes, block);
            const auto distance = [&](const std::vector<float>& y) {
                double largest = 0.0, squares = 0.0;
                for (std::size_t j = 0; j < y.size(); ++j) {
                    // Silence where a non-finite sum was read out, in all three.
                    EXPECT_EQ(y[j] == 0.0f, expected[j] == 0.0f) << "sample " << j;
                    const double d = std::abs(static_cast<double>(y[j]) - static_cast<double>(expected[j]));
                    largest = std::max(largest, d);
                    squares += d * d;
                }
                return std::pair{largest, std::sqrt(squares / static_cast<double>(y.size()))};
            };
            const auto [plainLargest, plainRms] = distance(plainly);
            for (std::int64_t path : runnableVectorPaths()) {
                useVectorPath(path);
                VelvetReverberator r;
                const auto [largest, rms] = distance(render(r, echoes, block));
                useVectorPath(0);
                // Rounding, not a lost or misplaced tap, which would be
                // about as large as the signal; no less accurate than the
                // plain loop, whose float sums it rounds in other places.
                EXPECT_LE(largest, 1e-5) << vectorPathName(path) << " taps " << echoes->size() << " block " << block;
                EXPECT_LE(rms, 1.1 * plainRms + 1e-9)
                    << vectorPathName(path) << " taps " << echoes->size() << " block " << block << ": largest " << largest
                    << ", plainly " << plainLargest;
            }
        }
    }
}

TEST(VelvetReverberator, FeedsBackOneLoopLaterAndATapAtTheLoopLengthAddsToTheFeedback) {
    // One tap at 10 samples; the loop is 100 samples long.
    VelvetReverberator r;
    r.allocate(100);
    r.reset();
    r.feedback = 0.5f;
    std::vector<float> x(400, 0.0f);
    x[0] = 1.0f;
    const auto y = run(r, {{10, 1.0f, 1.0f}}, x, 64);
    EXPECT_FLOAT_EQ(y[10], 0.09f);
    EXPECT_FLOAT_EQ(y[110], 0.045f);
    EXPECT_FLOAT_EQ(y[210], 0.0225f);
    EXPECT_EQ(y[111], 0.0f);

    VelvetReverberator whole;
    whole.allocate(100, 300);
    whole.reset();
    whole.feedback = 1.0f;
    x[100] = 1.0f; // arrives at 200 together with the first echo's return
    const auto z = run(whole, {{100, 1.0f, 1.0f}}, std::vector<float>(x.begin(), x.begin() + 300), 300);
    EXPECT_FLOAT_EQ(z[100], 0.09f);
    EXPECT_FLOAT_EQ(z[200], 0.18f);
}

TEST(VelvetReverberator, DampingKeepsTheLevelOfLowFrequencies) {
    // A damped pulse comes back smeared, but its sum (the gain at 0 Hz) is
    // only scaled by the feedback.
    const std::vector<VelvetEcho> echoes{{1, 1.0f, 1.0f}};
    VelvetReverberator r;
    r.allocate(1000);
    r.reset();
    r.feedback = 0.5f;
    r.dampingCoef = 0.4803f;
    std::vector<float> x(1990, 0.0f);
    x[0] = 1.0f;
    const auto y = run(r, echoes, x, 256);
    double firstPass = 0.0;
    for (std::size_t j = 1001; j < 1990; ++j) firstPass += y[j];
    EXPECT_NEAR(firstPass, 0.5 * 0.09, 1e-6);
    EXPECT_LT(y[1001], 0.5f * 0.09f); // the peak is spread out
}

TEST(VelvetReverberator, ResetLeavesNothingOfThePast) {
    // Loop buffer, damping state and position all start again: a reset
    // reverberator answers like a fresh one.
    VelvetEchoes e(5u, 6u);
    e.configure(48000.0f);
    e.setDecay(2.0f);
    VelvetReverberator used, fresh;
    for (auto* r : {&used, &fresh}) {
        r->allocate(e.loopLength);
        r->reset();
        r->feedback = 0.7f;
        r->dampingCoef = 0.4803f;
    }
    run(used, e.left, noise(30000, 9), 512);
    used.reset();
    const auto input = noise(20000, 10);
    const auto a = run(used, e.left, input, 512), b = run(fresh, e.left, input, 512);
    for (std::size_t j = 0; j < a.size(); ++j) ASSERT_EQ(a[j], b[j]) << "sample " << j;
}

TEST(VelvetReverberator, BlocksLongerThanTheBufferAllowsAreRenderedInPiecesThatMatchShortBlocks) {
    VelvetEchoes e(21u, 22u);
    e.configure(1000.0f); // a loop of 1000 samples
    e.setDecay(3.0f);
    const auto input = noise(12000, 2);
    VelvetReverberator small, tight;
    small.allocate(e.loopLength, 64);
    tight.allocate(e.loopLength);
    EXPECT_EQ(small.bufferSize, 2000);
    for (auto* r : {&small, &tight}) {
        r->reset();
        r->feedback = 0.6f;
    }
    // Taps add into each buffer sample in another order when the blocks
    // differ, so the results agree up to rounding; overwritten tail would
    // show as gross differences. (Blocks longer than the loop in a buffer
    // sized for them: the kernel's block-size test.)
    const auto a = run(small, e.left, input, 64);
    const auto c = run(tight, e.left, input, 12000);
    for (std::size_t j = 0; j < a.size(); ++j) ASSERT_NEAR(a[j], c[j], 1e-5f) << "sample " << j;
}

TEST(VelvetReverberator, UnsizedOrEmptyBlocksChangeNothing) {
    VelvetReverberator never;
    never.allocate(0);
    auto x = noise(16, 3);
    const auto input = x;
    never.process({{1, 1.0f, 1.0f}}, x.data(), 16);
    EXPECT_EQ(x, input);

    VelvetReverberator r;
    r.allocate(100);
    r.reset();
    r.process({{5, 1.0f, 1.0f}}, x.data(), 0);
    EXPECT_EQ(r.readPos, 0);
    EXPECT_EQ(x, input);
}

TEST(VelvetReverberator, NonFiniteSamplesNeverReachTheLoop) {
    const std::vector<VelvetEcho> echoes{{3, 1.0f, 1.0f}, {40, -1.0f, -0.5f}};
    VelvetReverberator r;
    r.allocate(100);
    r.reset();
    r.feedback = 0.9f;
    std::vector<float> x(1000, 0.1f);
    x[5] = std::numeric_limits<float>::quiet_NaN();
    x[6] = std::numeric_limits<float>::infinity();
    const auto y = run(r, echoes, x, 128);
    for (std::size_t j = 0; j < y.size(); ++j) ASSERT_TRUE(std::isfinite(y[j])) << "sample " << j;
    EXPECT_TRUE(std::isfinite(r.dampingState));
}

} // namespace
} // namespace orvane
