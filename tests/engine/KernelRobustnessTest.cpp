#include "KernelTestSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace orvane {
namespace {

using testing::makeKernel;
using testing::render;
using testing::Settings;
using testing::stereoNoise;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

TEST(KernelRobustness, NonFiniteInputIsForgottenOnceItPasses) {
    Settings s{};
    s.premix = 0.8f;
    s.granularity = 0.7f;
    s.incoherence = 0.6f;
    s.impatience = 0.9f;
    s.nausea = 1.0f;
    s.gravitas = 0.6f;
    const double rate = 44100.0;
    auto in = stereoNoise(static_cast<std::size_t>(rate * 2), 1);
    auto cleaned = in;
    const std::size_t burst = 20000;
    for (std::size_t j = burst; j < burst + 300; ++j) {
        const float bad = j % 3 == 0 ? kNaN : (j % 3 == 1 ? kInf : -kInf);
        in.left[j] = bad;
        in.right[j] = (j % 2) ? kNaN : in.right[j];
        cleaned.left[j] = 0.0f;
        cleaned.right[j] = (j % 2) ? 0.0f : cleaned.right[j];
    }
    auto faulty = makeKernel(512, rate, s);
    auto clean = makeKernel(512, rate, s);
    const auto out = render(*faulty, in, 512);
    const auto expected = render(*clean, cleaned, 512);

    for (std::size_t j = 0; j < out.size(); ++j) {
        ASSERT_TRUE(std::isfinite(out.left[j]) && std::isfinite(out.right[j])) << "sample " << j;
    }
    const std::size_t settled = burst + 300 + static_cast<std::size_t>(0.25 * rate);
    for (std::size_t j = settled; j < out.size(); ++j) {
        ASSERT_EQ(out.left[j], expected.left[j]) << "sample " << j;
        ASSERT_EQ(out.right[j], expected.right[j]) << "sample " << j;
    }
}

TEST(KernelRobustness, NonFiniteInputSampleComesOutAsZero) {
    Settings s{};
    s.nausea = 0.0f;
    auto k = makeKernel(512, 44100.0, s);
    auto in = stereoNoise(2048, 7);
    in.left[1000] = kNaN;
    in.right[1001] = -kInf;
    const auto out = render(*k, in, 512);
    EXPECT_EQ(out.left[1000], 0.0f);
    EXPECT_EQ(out.right[1001], 0.0f);
    EXPECT_NE(out.left[1001], 0.0f);
}

TEST(KernelRobustness, NonFiniteParametersPoisonNothingAndAPremixSpoilsOnlyItsBlock) {
    Settings s{};
    s.nausea = 0.8f;
    auto k = makeKernel(512, 48000.0, s);
    render(*k, stereoNoise(8192, 2), 512);
    k->premix = kNaN;
    const auto spoiled = render(*k, stereoNoise(512, 3), 512);
    k->premix = 0.5f;
    const auto after = render(*k, stereoNoise(512, 4), 512);
    testing::set(*k, Settings{0.5f, kNaN, kInf, kNaN, kNaN, kNaN});
    const auto poisoned = render(*k, stereoNoise(8192, 5), 512);
    EXPECT_TRUE(std::isfinite(k->tailTime()));
    double energy = 0.0;
    for (std::size_t j = 0; j < 512; ++j) energy += double(after.left[j]) * after.left[j];
    EXPECT_GT(energy, 0.0) << "heard again from the next block";
    for (const auto* out : {&spoiled, &after, &poisoned})
        for (std::size_t j = 0; j < out->size(); ++j)
            ASSERT_TRUE(std::isfinite(out->left[j]) && std::isfinite(out->right[j])) << "sample " << j;
}

TEST(KernelRobustness, SilenceAfterSoundDecaysToExactZero) {
    Settings s{};
    s.gravitas = 0.0f;
    auto k = makeKernel(512, 48000.0, s);
    render(*k, stereoNoise(48000, 6), 512);
    const auto silence = render(*k, testing::Stereo{std::vector<float>(48000 * 8), std::vector<float>(48000 * 8)}, 512);
    // Flushing subnormals to zero lets the loops reach true silence.
    for (std::size_t j = silence.size() - 512; j < silence.size(); ++j) ASSERT_EQ(silence.left[j], 0.0f) << "sample " << j;
}

} // namespace
} // namespace orvane
