#include "blocks/VelvetEchoes.h"

#include <gtest/gtest.h>

#include <cmath>

namespace orvane {
namespace {

std::uint32_t step(std::uint32_t s) { return s * 1664525u + 1013904223u; }

TEST(VelvetEchoes, PlacesOneEchoInEachCell) {
    struct Case { float rate; std::int64_t spacing; };
    for (auto c : {Case{44100.0f, 44}, Case{48000.0f, 48}, Case{96000.0f, 96}, Case{22050.0f, 22}}) {
        VelvetEchoes e(12345u, 67890u);
        e.configure(c.rate);
        EXPECT_EQ(e.spacing, c.spacing);
        EXPECT_EQ(e.loopLength, c.spacing * 1000);
        for (const auto* side : {&e.left, &e.right}) {
            ASSERT_EQ(side->size(), 1000u);
            for (std::int64_t i = 0; i < 1000; ++i) {
                const auto& echo = (*side)[static_cast<std::size_t>(i)];
                ASSERT_GE(echo.position, i * c.spacing + 1) << "echo " << i;
                ASSERT_LE(echo.position, (i + 1) * c.spacing) << "echo " << i;
                ASSERT_TRUE(echo.sign == 1.0f || echo.sign == -1.0f) << "echo " << i;
                ASSERT_EQ(echo.amplitude, 0.0f);
            }
        }
        EXPECT_EQ(e.lastKnownTime, -1.0f);
    }
}

TEST(VelvetEchoes, EachEchoTakesTwoGeneratorSteps) {
    VelvetEchoes e(1u, 2u);
    e.configure(44100.0f);
    std::uint32_t l = 1u, r = 2u;
    for (int i = 0; i < 2000; ++i) { l = step(l); r = step(r); }
    EXPECT_EQ(e.rngL, l);
    EXPECT_EQ(e.rngR, r);
    // First step from 1 is 1015568748: u = 0.2365, so the first echo sits at
    // offset trunc(0.2365 x 44) + 1 = 11; the second step decides the sign.
    EXPECT_EQ(e.left[0].position, 11);
    EXPECT_EQ(e.left[0].sign, (step(step(1u)) & 0x80000000u) ? 1.0f : -1.0f);

    // The states persist: configuring again draws a new pattern.
    const auto first = e.left;
    e.configure(44100.0f);
    bool differs = false;
    for (std::size_t i = 0; i < first.size(); ++i) differs |= first[i].position != e.left[i].position;
    EXPECT_TRUE(differs);
}

TEST(VelvetEchoes, DecayReachesSixtyDecibelsAtTheDecayTime) {
    VelvetEchoes e(7u, 8u);
    e.configure(48000.0f);
    e.left[999].position = 48000;
    e.left[100].position = 4800;
    e.setDecay(1.0f);
    EXPECT_FLOAT_EQ(std::fabs(e.left[999].amplitude), 0.001f);
    EXPECT_NEAR(std::fabs(e.left[100].amplitude), 0.501f, 0.001f);
    for (const auto* side : {&e.left, &e.right}) {
        for (const auto& echo : *side) {
            ASSERT_EQ(std::signbit(echo.amplitude), std::signbit(echo.sign));
            ASSERT_FLOAT_EQ(echo.amplitude, echo.sign * std::pow(0.001f, float(echo.position) / 48000.0f));
        }
    }
}

TEST(VelvetEchoes, RecomputesOnlyWhenTheTimeChanges) {
    VelvetEchoes e(3u, 4u);
    e.configure(44100.0f);
    e.setDecay(2.0f);
    e.left[0].amplitude = 42.0f; // a marker that a recomputation would overwrite
    e.setDecay(2.0f);
    EXPECT_EQ(e.left[0].amplitude, 42.0f);
    e.setDecay(2.5f);
    EXPECT_NE(e.left[0].amplitude, 42.0f);

    // After configure the first call always recomputes, even with the old time.
    e.configure(44100.0f);
    e.setDecay(2.5f);
    EXPECT_NE(e.left[0].amplitude, 0.0f);
}

TEST(VelvetEchoes, SeedsFromTheSystemAreNonZeroAndDiffer) {
    VelvetEchoes a, b;
    EXPECT_NE(a.rngL, 0u);
    EXPECT_NE(a.rngR, 0u);
    EXPECT_FALSE(a.rngL == b.rngL && a.rngR == b.rngR);
}

} // namespace
} // namespace orvane
