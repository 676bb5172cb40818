#include "engine/GrainScheduler.h"
#include "tests/support/Signals.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace orvane {
namespace {

struct Segment {
    std::int64_t length;
    std::uint32_t rngState;
    std::int64_t stream;
};

/// Steps the scheduler one sample at a time and records each new segment.
std::vector<Segment> firstSegments(double rate, std::size_t count) {
    ChannelState s;
    std::vector<float> streams(3, 0.0f);
    const float one = 1.0f;
    std::vector<Segment> out;
    while (out.size() < count) {
        const auto before = s.rngState;
        splitIntoStreams(s, &one, streams.data(), 1, 1, rate);
        if (s.rngState != before) out.push_back({s.segmentRemaining + 1, s.rngState, s.rising.stream});
    }
    return out;
}

TEST(GrainScheduler, FirstSegmentsHaveTheKnownLengths) {
    const auto at44 = firstSegments(44100.0, 3);
    EXPECT_EQ(at44[0].length, 460);
    EXPECT_EQ(at44[1].length, 3046);
    EXPECT_EQ(at44[2].length, 1066);
    EXPECT_EQ(at44[0].rngState, 1056018778u);
    EXPECT_EQ(at44[1].rngState, 3764859121u);
    EXPECT_EQ(at44[2].rngState, 2260039068u);
    for (std::int64_t k = 0; k < 3; ++k) EXPECT_EQ(at44[static_cast<std::size_t>(k)].stream, k);

    const auto at48 = firstSegments(48000.0, 3);
    EXPECT_EQ(at48[0].length, 501);
    EXPECT_EQ(at48[1].length, 3316);
    EXPECT_EQ(at48[2].length, 1160);
}

TEST(GrainScheduler, SegmentsNeverShorterThanEightSamples) {
    // At 1000 Hz the lengths run from 8 to 99 samples; at 90 Hz or below
    // every one is 8.
    const auto at1000 = firstSegments(1000.0, 200);
    std::int64_t shortest = 1000, longest = 0;
    for (const auto& s : at1000) {
        shortest = std::min(shortest, s.length);
        longest = std::max(longest, s.length);
    }
    EXPECT_EQ(shortest, 8);
    EXPECT_GT(longest, 8);
    EXPECT_LE(longest, 99);
    for (const auto& s : firstSegments(90.0, 100)) ASSERT_EQ(s.length, 8);
}

TEST(GrainScheduler, StreamsSumToTheInputAfterTheFirstSegment) {
    const std::int64_t n = 20000;
    std::vector<float> input(static_cast<std::size_t>(n), 1.0f);
    std::vector<float> streams(static_cast<std::size_t>(3 * n));
    ChannelState s;
    splitIntoStreams(s, input.data(), streams.data(), n, n, 44100.0);
    EXPECT_EQ(streams[0], 0.0f); // the first sample of a segment has gain 0
    for (std::int64_t j = 460; j < n; ++j) {
        const float sum = streams[static_cast<std::size_t>(j)] + streams[static_cast<std::size_t>(n + j)] +
                          streams[static_cast<std::size_t>(2 * n + j)];
        ASSERT_NEAR(sum, 1.0f, 1e-5f) << "sample " << j;
        int active = 0;
        for (int k = 0; k < 3; ++k) active += streams[static_cast<std::size_t>(k * n + j)] != 0.0f;
        ASSERT_LE(active, 2) << "sample " << j;
    }
    // The fading-in part goes to streams 0, 1, 2, 0, ... : at the start of
    // the second segment (460) stream 1 starts from silence.
    EXPECT_EQ(streams[static_cast<std::size_t>(n + 460)], 0.0f);
    EXPECT_GT(streams[static_cast<std::size_t>(n + 461)], 0.0f);
    EXPECT_EQ(streams[static_cast<std::size_t>(2 * n + 460 + 3046)], 0.0f);
    EXPECT_GT(streams[static_cast<std::size_t>(2 * n + 460 + 3047)], 0.0f);
}

TEST(GrainScheduler, BlockSizeDoesNotChangeTheStreams) {
    const std::int64_t total = 30000;
    const auto input = testsignals::noise(static_cast<std::size_t>(total), 9);

    std::vector<float> whole(static_cast<std::size_t>(3 * total));
    ChannelState one;
    splitIntoStreams(one, input.data(), whole.data(), total, total, 48000.0);

    for (std::int64_t block : {1, 7, 64, 4096}) {
        ChannelState s;
        std::vector<float> scratch(static_cast<std::size_t>(3 * block));
        for (std::int64_t at = 0; at < total; at += block) {
            const std::int64_t n = std::min(block, total - at);
            splitIntoStreams(s, input.data() + at, scratch.data(), block, n, 48000.0);
            for (std::int64_t k = 0; k < 3; ++k) {
                for (std::int64_t j = 0; j < n; ++j) {
                    ASSERT_EQ(scratch[static_cast<std::size_t>(k * block + j)],
                              whole[static_cast<std::size_t>(k * total + at + j)])
                        << "block " << block << " stream " << k << " sample " << at + j;
                }
            }
        }
    }
}

TEST(GrainScheduler, EmptyBlocksLeaveEverythingUntouchedAndNonFiniteInputReachesTheStreamsAsSilence) {
    const std::int64_t n = 2000;
    std::vector<float> input(static_cast<std::size_t>(n), 0.5f);
    input[600] = std::numeric_limits<float>::quiet_NaN();
    input[601] = std::numeric_limits<float>::infinity();
    std::vector<float> streams(static_cast<std::size_t>(3 * n), 7.0f);
    ChannelState s;
    splitIntoStreams(s, input.data(), streams.data(), n, 0, 44100.0);
    EXPECT_EQ(streams, std::vector<float>(3 * n, 7.0f));
    EXPECT_EQ(s.rngState, 443669031u);
    splitIntoStreams(s, input.data(), streams.data(), n, n, 44100.0);
    for (std::size_t j = 0; j < streams.size(); ++j) ASSERT_TRUE(std::isfinite(streams[j])) << "index " << j;
    EXPECT_EQ(streams[600] + streams[n + 600] + streams[2 * n + 600], 0.0f);
}

} // namespace
} // namespace orvane
