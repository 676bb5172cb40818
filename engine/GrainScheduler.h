#pragma once

#include <cstdint>

namespace orvane {

/// One crossfading grain: its gain is (1 - cos theta) / 2, and the angle is
/// turned each sample by a fixed rotation instead of being stored.
struct Grain {
    /// Stream 0, 1 or 2 that this grain feeds.
    std::int64_t stream = 0;
    float cosTheta = 1.0f;
    float sinTheta = 0.0f;
    /// Cosine and sine of the per-sample angle step pi / L.
    float rotC = 1.0f;
    float rotS = 0.0f;
};

/// The grain scheduler's state for one channel. Default construction is the
/// state after a reset: no grains, a new segment due, the fixed generator seed.
struct ChannelState {
    /// The grain of the current segment, fading in.
    Grain rising;
    /// The grain of the previous segment, fading out over the current one.
    Grain falling;
    bool hasRising = false;
    bool hasFalling = false;
    /// Samples left before the next segment starts.
    std::int64_t segmentRemaining = 0;
    /// Stream of the next segment, 0 to 2.
    std::int64_t nextStream = 0;
    /// Segment-length generator; both channels start here and stay in step.
    std::uint32_t rngState = 443669031u;
};

/// Cuts frameCount samples of one channel into segments of random length
/// (5 ms to just under 100 ms) with raised-cosine crossfades and deals them
/// in turn to three streams, streams[k * stride ...]. The three streams sum
/// to the input after the first segment. Non-finite input samples reach the
/// streams as 0. Render thread; never allocates.
void splitIntoStreams(ChannelState& state, const float* input, float* streams, std::int64_t stride,
                      std::int64_t frameCount, double sampleRate) noexcept;

} // namespace orvane
