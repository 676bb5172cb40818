#include "blocks/IIRKernel.h"

#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace orvane {
namespace {

using testsignals::noise;

IIRKernel makeFilter(std::int64_t maxBlock, double rate, double cutoff) {
    IIRKernel f(maxBlock);
    f.sampleRate = rate;
    f.setLowpass(cutoff, 1.2);
    return f;
}

TEST(IIRKernel, HasUnitGainAtZeroHertzAndCapsTheCutoffAtFortyFivePercentOfTheSampleRate) {
    for (double cutoff : {220.0, 1000.0, 15000.0}) {
        IIRKernel f = makeFilter(4096, 44100.0, cutoff);
        const auto& c = f.coefficients;
        const double num = double(c[0]) + double(c[1]) + double(c[2]);
        const double den = 1.0 + double(c[3]) + double(c[4]);
        EXPECT_NEAR(num / den, 1.0, 1e-4) << "cutoff " << cutoff;
        EXPECT_EQ(c[0], c[2]);
        std::vector<float> dc(4096, 1.0f);
        f.process(dc.data(), 4096);
        EXPECT_NEAR(dc.back(), 1.0f, 1e-3f) << "cutoff " << cutoff;
    }
    EXPECT_EQ(makeFilter(16, 22050.0, 15000.0).coefficients, makeFilter(16, 22050.0, 9922.5).coefficients);
}

TEST(IIRKernel, GainAtTheCutoffIsQ) {
    // A cookbook low-pass answers a sine at its cutoff with gain Q.
    for (const double q : {0.707, 1.2, 3.0}) {
        IIRKernel f(48000);
        f.sampleRate = 48000.0;
        f.setLowpass(1000.0, q);
        std::vector<float> x(48000);
        for (std::size_t j = 0; j < x.size(); ++j) x[j] = static_cast<float>(std::sin(2.0 * M_PI * 1000.0 * double(j) / 48000.0));
        f.process(x.data(), 48000);
        float peak = 0.0f;
        for (std::size_t j = 24000; j < x.size(); ++j) peak = std::max(peak, std::fabs(x[j]));
        EXPECT_NEAR(peak, q, q * 2e-3) << "Q " << q;
    }
}

TEST(IIRKernel, BlockSizeDoesNotChangeTheResult) {
    const auto input = noise(20000, 2);
    auto whole = input;
    makeFilter(20000, 48000.0, 3000.0).process(whole.data(), 20000);
    for (std::int64_t block : {1, 7, 4096}) {
        IIRKernel f = makeFilter(4096, 48000.0, 3000.0);
        auto x = input;
        for (std::int64_t at = 0; at < 20000; at += block) f.process(x.data() + at, std::min<std::int64_t>(block, 20000 - at));
        for (std::size_t j = 0; j < x.size(); ++j) ASSERT_EQ(x[j], whole[j]) << "block " << block << " sample " << j;
    }
}

TEST(IIRKernel, RecoversFromNonFiniteInputAtTheNextBlock) {
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
        IIRKernel f = makeFilter(64, 44100.0, 5000.0);
        auto x = noise(64, 3);
        x[63] = bad;
        f.process(x.data(), 64);
        EXPECT_EQ(f.carryIn[1], 0.0f);
        for (float v : f.carryOut) EXPECT_TRUE(std::isfinite(v));
        auto clean = noise(64, 4);
        f.process(clean.data(), 64);
        for (std::size_t j = 0; j < clean.size(); ++j) ASSERT_TRUE(std::isfinite(clean[j])) << "sample " << j;
    }
}

TEST(IIRKernel, EmptyAndOversizedBlocks) {
    IIRKernel f = makeFilter(8, 44100.0, 2000.0);
    auto x = noise(16, 7);
    const auto original = x;
    f.process(x.data(), 0);
    EXPECT_EQ(x, original);
    EXPECT_EQ(f.carryIn, (std::array<float, 2>{0.0f, 0.0f}));

    // Only the first eight samples fit; the rest of the block is left as it was.
    f.process(x.data(), 16);
    for (std::size_t j = 8; j < 16; ++j) EXPECT_EQ(x[j], original[j]) << "sample " << j;
    EXPECT_EQ(f.carryIn[1], original[7]);
}

} // namespace
} // namespace orvane
